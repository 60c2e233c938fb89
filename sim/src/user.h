// USER of the simulated machine: what other pieces of the simulator need.
#ifndef WINSIM_USER_H
#define WINSIM_USER_H

#include "core.h"

#include <functional>
#include <string>
#include <vector>

namespace winsim {

// Drops what an ended simulated process left: its windows (no messages are
// sent, its threads are gone), its window classes and its threads' queues.
void user_process_ended(DWORD pid);
// Forgets the windows, queue and timers of a thread that has ended.
void user_thread_ended(DWORD tid);

// ---- for the dialog manager and the predefined controls (dialogs.cpp, controls.cpp)

// A class every process sees (the system's "Button", "#32770", ...); `atom`
// 0 takes the next free one.  Registered again after each new machine.
void register_system_class(const char *name, ATOM atom, WNDPROC proc, int wnd_extra);

// A window as it stands, read under the lock from any thread.
struct WindowView {
    HWND hwnd = nullptr;
    std::string class_name, title;
    DWORD style = 0, ex_style = 0; // style with WS_VISIBLE as the window shows
    HWND parent = nullptr, owner = nullptr;
    DWORD tid = 0, pid = 0;
    bool visible = false;
    RECT rect{};                   // screen coordinates
    LONG_PTR id = 0;               // a child's control id
    HINSTANCE instance = nullptr;
};
bool view_window(HWND h, WindowView *out);
// A window's children, in creation order.
std::vector<HWND> child_windows(HWND parent);
// The keyboard focus of a thread (null when none).
HWND focus_of_thread(DWORD tid);
// The frame around a window's client area: children are placed in the client area.
void set_client_inset(HWND h, const RECT &inset);
// Waits until done() holds, running meanwhile what other threads send to
// the caller's windows (a modal loop's end, a thread that must finish).
void serve_sent_until(const std::function<bool()> &done, const std::string &what);
// PostMessageA without its fault point, for the system's own wake-ups.
bool post_message(HWND h, UINT message, WPARAM w, LPARAM l);
// A readable name for an icon handle ("" when unknown).
std::string icon_name(HICON icon);
// MessageBeep calls so far on this machine.
long beep_count();

} // namespace winsim

#endif
