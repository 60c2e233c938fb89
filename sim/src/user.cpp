// USER of the simulated machine: window classes, one table of windows, one
// message queue per thread on the virtual clock, timers, focus and enable
// state, and message boxes answered by a scripted user.  Dialogs and the
// predefined controls live in dialogs.cpp and controls.cpp.
//
// Window procedures always run on the thread that owns the window and never
// with big_lock() held (they may block: a message box, a nested loop).  A
// message sent to another thread's window waits in that thread's queue until
// the owner takes it in GetMessageA or PeekMessageA, as on Windows.
#include "user.h"

#include "processes.h"
#include "rcfile.h"
#include "threads.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <set>
#include <sstream>

namespace winsim {

namespace {

constexpr uintptr_t kFirstWindow = 0x10010;
constexpr ATOM kFirstAtom = 0xC000;
// The desktop window: outside the window table (it is never created or
// destroyed), the size of the screen.
const HWND kDesktop = (HWND)(uintptr_t)0x1000C;
constexpr uintptr_t kFirstDc = 0x01010000;
constexpr uintptr_t kFirstIcon = 0x00050000; // icons loaded from our libraries' resources

struct WindowClass {
    std::string name;
    ATOM atom = 0;
    DWORD pid = 0;
    UINT style = 0;
    WNDPROC proc = nullptr;
    HINSTANCE instance = nullptr;
    std::string menu_name;
    int wnd_extra = 0;
    int windows = 0;
};

struct Window {
    HWND hwnd = nullptr;
    std::string class_name;
    ATOM atom = 0;
    WNDPROC proc = nullptr;
    std::string title;
    DWORD style = 0, ex_style = 0;
    HWND parent = nullptr, owner = nullptr;
    HMENU menu = nullptr;
    HINSTANCE instance = nullptr;
    DWORD tid = 0, pid = 0;
    bool visible = false;
    bool destroying = false;
    RECT rect{};
    RECT inset{};               // frame around the client area (a dialog's border and caption)
    LONG_PTR user_data = 0;     // GWLP_USERDATA
    std::vector<BYTE> extra;    // the class's window extra bytes
};

// A SetTimer timer.  Due times stay on the grid of its period from when it was
// set; a timer that is late delivers one WM_TIMER, not a backlog, as on Windows.
struct Timer {
    HWND hwnd = nullptr;       // null: a thread timer
    UINT_PTR id = 0;
    UINT period = 0;
    TIMERPROC proc = nullptr;
    DWORD tid = 0, pid = 0;
    uint64_t due = 0;
    uint64_t serial = 0;       // creation order, for equal due times
};

struct Sent {
    HWND hwnd;
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
    LRESULT result = 0;
    bool done = false;
};

struct Queue {
    DWORD pid = 0;
    HWND focus = nullptr;
    std::deque<MSG> posted;
    bool quit = false;
    int quit_code = 0;
    std::deque<std::shared_ptr<Sent>> sent;
};

struct Rule {
    std::string caption, text;
    int answer;
};

struct State {
    std::vector<WindowClass> classes;
    std::map<uintptr_t, Window> windows; // by handle value: creation order
    std::map<DWORD, Queue> queues;       // by thread id
    uintptr_t next_window = kFirstWindow;
    ATOM next_atom = kFirstAtom;
    std::vector<Rule> rules;
    std::function<int(const user::ShownBox &)> hook;
    int default_answer = 0;
    std::vector<user::ShownBox> shown;
    int screen_width = 1024, screen_height = 768;
    std::set<uintptr_t> dcs; // device contexts handed out by GetDC
    uintptr_t next_dc = kFirstDc;
    std::vector<Timer> timers;
    uint64_t next_timer_serial = 1;
    UINT_PTR next_thread_timer = 1;
    std::vector<std::string> icons; // loaded resource icons, by handle order
    long beeps = 0;
};

State &U() {
    static State *s = new State; // parked threads may outlive static destruction
    return *s;
}

void set_window_count() { extra_counts()[HandleKind::Window] = (long)U().windows.size(); }
void set_timer_count() { extra_counts()[HandleKind::Timer] = (long)U().timers.size(); }

Window *find_window(HWND h) {
    auto it = U().windows.find((uintptr_t)h);
    return it == U().windows.end() ? nullptr : &it->second;
}

// A window's rectangle in screen coordinates (a child's is kept relative to
// its parent's client area).
RECT screen_rect(const Window &w) {
    RECT r = w.rect;
    for (Window *p = find_window(w.parent); p; p = find_window(p->parent)) {
        LONG dx = p->rect.left + p->inset.left, dy = p->rect.top + p->inset.top;
        r.left += dx, r.right += dx;
        r.top += dy, r.bottom += dy;
    }
    return r;
}

WindowClass *find_class(LPCSTR name, DWORD pid) {
    for (auto &c : U().classes) {
        if (c.pid != pid && c.pid != 0) continue;
        if (IS_INTRESOURCE(name) ? c.atom == (ATOM)(uintptr_t)name : iequals(c.name, name)) return &c;
    }
    return nullptr;
}

bool is_descendant(HWND child, HWND ancestor) {
    for (Window *w = find_window(child); w && w->parent; w = find_window(w->parent))
        if (w->parent == ancestor) return true;
    return false;
}

Queue &queue_of(DWORD tid) {
    auto it = U().queues.find(tid);
    if (it != U().queues.end()) return it->second;
    Queue &q = U().queues[tid];
    q.pid = process_id();
    return q;
}

std::string hex(uintptr_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llx", (unsigned long long)v);
    return b;
}

// Calls a window procedure on the current thread, without the lock.
LRESULT call_proc(HWND h, UINT message, WPARAM w, LPARAM l) {
    WNDPROC proc;
    {
        WINSIM_LOCK();
        Window *win = find_window(h);
        if (!win) return 0;
        proc = win->proc;
    }
    return proc ? proc(h, message, w, l) : DefWindowProcA(h, message, w, l);
}

// Runs the messages other threads sent to this one.
void run_sent_messages(DWORD tid) {
    for (;;) {
        std::shared_ptr<Sent> s;
        {
            WINSIM_LOCK();
            auto it = U().queues.find(tid);
            if (it == U().queues.end() || it->second.sent.empty()) return;
            s = it->second.sent.front();
            it->second.sent.pop_front();
        }
        LRESULT r = call_proc(s->hwnd, s->message, s->wparam, s->lparam);
        {
            WINSIM_LOCK();
            s->result = r;
            s->done = true;
        }
        sched::notify();
    }
}

bool filter_matches(const MSG &m, HWND filter, UINT min, UINT max) {
    if ((min || max) && (m.message < min || m.message > max)) return false;
    if (!filter) return true;
    if (filter == (HWND)-1) return m.hwnd == nullptr;
    return m.hwnd == filter || is_descendant(m.hwnd, filter);
}

// Takes (or, with `remove` false, copies) the next message a filter lets
// through; false when there is none.  Hold the lock.
bool take_message(Queue &q, LPMSG out, HWND filter, UINT min, UINT max, bool remove) {
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (!filter_matches(*it, filter, min, max)) continue;
        *out = *it;
        if (remove) q.posted.erase(it);
        return true;
    }
    bool quit_wanted = (!min && !max) || (WM_QUIT >= min && WM_QUIT <= max);
    if (q.quit && quit_wanted) {
        std::memset(out, 0, sizeof *out);
        out->message = WM_QUIT;
        out->wParam = (WPARAM)q.quit_code;
        out->time = (DWORD)sched::now();
        if (remove) q.quit = false;
        return true;
    }
    // Timers come last, and only when due: WM_TIMER is made when it is taken.
    if ((min || max) && (WM_TIMER < min || WM_TIMER > max)) return false;
    uint64_t now = sched::now();
    Timer *due = nullptr;
    for (Timer &t : U().timers) {
        auto tq = U().queues.find(t.tid);
        if (tq == U().queues.end() || &tq->second != &q || t.due > now) continue;
        MSG m{};
        m.hwnd = t.hwnd;
        if (!filter_matches(m, filter, 0, 0)) continue;
        if (!due || t.due < due->due || (t.due == due->due && t.serial < due->serial)) due = &t;
    }
    if (!due) return false;
    std::memset(out, 0, sizeof *out);
    out->hwnd = due->hwnd;
    out->message = WM_TIMER;
    out->wParam = due->id;
    out->lParam = (LPARAM)due->proc;
    out->time = (DWORD)now;
    if (remove)
        while (due->due <= now) due->due += due->period;
    return true;
}

// The earliest due time of the thread's timers a filter lets through.
uint64_t next_timer_due(DWORD tid, HWND filter, UINT min, UINT max) {
    if ((min || max) && (WM_TIMER < min || WM_TIMER > max)) return sched::kForever;
    uint64_t best = sched::kForever;
    for (const Timer &t : U().timers) {
        MSG m{};
        m.hwnd = t.hwnd;
        if (t.tid == tid && filter_matches(m, filter, 0, 0)) best = std::min(best, t.due);
    }
    return best;
}

bool has_message(DWORD tid, HWND filter, UINT min, UINT max) {
    WINSIM_LOCK();
    auto it = U().queues.find(tid);
    if (it == U().queues.end()) return false;
    MSG m;
    return !it->second.sent.empty() || take_message(it->second, &m, filter, min, max, false);
}

bool post(DWORD tid, HWND h, UINT message, WPARAM w, LPARAM l) {
    {
        WINSIM_LOCK();
        MSG m;
        std::memset(&m, 0, sizeof m);
        m.hwnd = h;
        m.message = message;
        m.wParam = w;
        m.lParam = l;
        m.time = (DWORD)sched::now();
        queue_of(tid).posted.push_back(m);
    }
    sched::notify();
    return true;
}

// The buttons of a message box type, in order; empty for a type Windows refuses.
std::vector<int> buttons_of(UINT type) {
    switch (type & MB_TYPEMASK) {
    case MB_OK: return {IDOK};
    case MB_OKCANCEL: return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO: return {IDYES, IDNO};
    case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
    default: return {};
    }
}

const char *button_name(int id) {
    switch (id) {
    case IDOK: return "OK";
    case IDCANCEL: return "Cancel";
    case IDABORT: return "Abort";
    case IDRETRY: return "Retry";
    case IDIGNORE: return "Ignore";
    case IDYES: return "Yes";
    case IDNO: return "No";
    default: return "?";
    }
}

const char *icon_name(UINT type) {
    switch (type & MB_ICONMASK) {
    case MB_ICONHAND: return "error";
    case MB_ICONQUESTION: return "question";
    case MB_ICONEXCLAMATION: return "warning";
    case MB_ICONASTERISK: return "information";
    default: return nullptr;
    }
}

// Removes one window (its children are gone already): no messages.
void forget_window(HWND h) {
    Window *w = find_window(h);
    if (!w) return;
    for (auto &c : U().classes)
        if (c.atom == w->atom) c.windows--;
    auto q = U().queues.find(w->tid);
    if (q != U().queues.end()) {
        auto &posted = q->second.posted;
        posted.erase(std::remove_if(posted.begin(), posted.end(), [h](const MSG &m) { return m.hwnd == h; }),
                     posted.end());
    }
    auto &timers = U().timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(), [h](const Timer &t) { return t.hwnd == h; }),
                 timers.end());
    set_timer_count();
    for (auto &kv : U().queues)
        if (kv.second.focus == h) kv.second.focus = nullptr;
    U().windows.erase((uintptr_t)h);
    set_window_count();
}

std::vector<HWND> windows_where(const std::function<bool(const Window &)> &pred) {
    std::vector<HWND> out;
    for (auto &kv : U().windows)
        if (pred(kv.second)) out.push_back(kv.second.hwnd);
    return out;
}

// WM_DESTROY to the window and then to its children, WM_NCDESTROY the other
// way round, as Windows orders them.
void destroy_tree(HWND h) {
    {
        WINSIM_LOCK();
        Window *w = find_window(h);
        if (!w) return;
        w->destroying = true;
        w->visible = false;
    }
    call_proc(h, WM_DESTROY, 0, 0);
    std::vector<HWND> children;
    {
        WINSIM_LOCK();
        children = windows_where([h](const Window &w) { return w.parent == h; });
    }
    for (HWND c : children) destroy_tree(c);
    call_proc(h, WM_NCDESTROY, 0, 0);
    WINSIM_LOCK();
    forget_window(h);
}

void machine_ended() {
    WINSIM_LOCK();
    U() = State();
}

const bool registered = add_life_cycle({nullptr, machine_ended});

} // namespace

void user_process_ended(DWORD pid) {
    WINSIM_LOCK();
    State &s = U();
    for (HWND h : windows_where([pid](const Window &w) { return w.pid == pid; })) forget_window(h);
    s.classes.erase(std::remove_if(s.classes.begin(), s.classes.end(), [pid](const WindowClass &c) { return c.pid == pid; }),
                    s.classes.end());
    for (auto it = s.queues.begin(); it != s.queues.end();)
        it = it->second.pid == pid ? s.queues.erase(it) : std::next(it);
    s.timers.erase(std::remove_if(s.timers.begin(), s.timers.end(), [pid](const Timer &t) { return t.pid == pid; }),
                   s.timers.end());
    set_timer_count();
}

// A thread's windows die with it, without messages: nobody is left to
// answer them.  Its queue and timers go too.
void user_thread_ended(DWORD tid) {
    WINSIM_LOCK();
    State &s = U();
    for (HWND h : windows_where([tid](const Window &w) { return w.tid == tid; })) forget_window(h);
    s.queues.erase(tid);
    s.timers.erase(std::remove_if(s.timers.begin(), s.timers.end(), [tid](const Timer &t) { return t.tid == tid; }),
                   s.timers.end());
    set_timer_count();
}

// ------------------------------------------------ for dialogs and controls

void register_system_class(const char *name, ATOM atom, WNDPROC proc, int wnd_extra) {
    WINSIM_LOCK();
    for (auto &c : U().classes)
        if (c.pid == 0 && iequals(c.name, name)) return;
    WindowClass c;
    c.name = name;
    c.atom = atom ? atom : U().next_atom++;
    c.proc = proc;
    c.wnd_extra = wnd_extra;
    U().classes.push_back(c);
}

bool view_window(HWND h, WindowView *out) {
    WINSIM_LOCK();
    Window *w = find_window(h);
    if (!w) return false;
    out->hwnd = h;
    out->class_name = w->class_name;
    out->title = w->title;
    out->style = w->style | (w->visible ? WS_VISIBLE : 0);
    out->ex_style = w->ex_style;
    out->parent = w->parent;
    out->owner = w->owner;
    out->tid = w->tid;
    out->pid = w->pid;
    out->visible = w->visible;
    out->rect = screen_rect(*w);
    out->id = (LONG_PTR)w->menu;
    out->instance = w->instance;
    return true;
}

std::vector<HWND> child_windows(HWND parent) {
    WINSIM_LOCK();
    return windows_where([parent](const Window &w) { return w.parent == parent && !w.destroying; });
}

HWND focus_of_thread(DWORD tid) {
    WINSIM_LOCK();
    auto it = U().queues.find(tid);
    return it == U().queues.end() ? nullptr : it->second.focus;
}

void set_client_inset(HWND h, const RECT &inset) {
    WINSIM_LOCK();
    if (Window *w = find_window(h)) w->inset = inset;
}

void serve_sent_until(const std::function<bool()> &done, const std::string &what) {
    DWORD tid = sched::current_thread_id();
    for (;;) {
        run_sent_messages(tid);
        if (done()) return;
        sched::wait_until(
            [&] {
                if (done()) return true;
                WINSIM_LOCK();
                auto q = U().queues.find(tid);
                return q != U().queues.end() && !q->second.sent.empty();
            },
            sched::kForever, what);
    }
}

std::string icon_name(HICON icon) {
    uintptr_t v = (uintptr_t)icon;
    static const char *const standard[] = {"application", "hand", "question", "exclamation", "asterisk", "winlogo"};
    if (v >= (0x20000 | 32512) && v <= (0x20000 | 32517)) return standard[v - (0x20000 | 32512)];
    WINSIM_LOCK();
    if (v >= kFirstIcon && (v - kFirstIcon) / 4 < U().icons.size()) return U().icons[(v - kFirstIcon) / 4];
    return std::string();
}

bool post_message(HWND h, UINT message, WPARAM w, LPARAM l) {
    DWORD tid;
    {
        WINSIM_LOCK();
        Window *win = find_window(h);
        if (!win) return false;
        tid = win->tid;
    }
    return post(tid, h, message, w, l);
}

long beep_count() {
    WINSIM_LOCK();
    return U().beeps;
}

// ------------------------------------------------------------ control API

namespace user {

void on_message_box(const std::string &caption_part, const std::string &text_part, int answer) {
    WINSIM_LOCK();
    U().rules.push_back({caption_part, text_part, answer});
}

void on_message_box_shown(std::function<int(const ShownBox &box)> hook) {
    WINSIM_LOCK();
    U().hook = std::move(hook);
}

void set_default_answer(int answer) {
    WINSIM_LOCK();
    U().default_answer = answer;
}

void clear_message_box_rules() {
    WINSIM_LOCK();
    U().rules.clear();
    U().default_answer = 0;
    U().hook = nullptr;
}

std::vector<ShownBox> message_boxes() {
    WINSIM_LOCK();
    return U().shown;
}

void clear_message_boxes() {
    WINSIM_LOCK();
    U().shown.clear();
}

std::string render(const ShownBox &box) {
    std::vector<std::string> lines;
    std::istringstream in(box.text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    const char *icon = icon_name(box.type);
    std::string buttons;
    for (int b : buttons_of(box.type)) {
        std::string label = std::string("[ ") + button_name(b) + " ]";
        if (b == box.answer) label = std::string("[*") + button_name(b) + "*]";
        buttons += (buttons.empty() ? "" : "  ") + label;
    }
    std::string title = box.caption + (icon ? std::string("  (") + icon + ")" : std::string());
    size_t width = std::max(title.size(), buttons.size());
    for (auto &l : lines) width = std::max(width, l.size());
    auto row = [width](const std::string &s) { return "| " + s + std::string(width - s.size(), ' ') + " |\n"; };
    std::string rule = "+" + std::string(width + 2, '-') + "+\n";
    std::string out = rule + row(title) + rule;
    for (auto &l : lines) out += row(l);
    out += row("");
    out += row(std::string((width - buttons.size()) / 2, ' ') + buttons);
    out += rule;
    return out;
}

void set_screen_size(int width, int height) {
    WINSIM_LOCK();
    U().screen_width = width;
    U().screen_height = height;
}

HWND create_window(const RECT &rect, const std::string &title) {
    {
        WINSIM_LOCK();
        if (!find_class("WinsimFrame", 0)) {
            WindowClass c;
            c.name = "WinsimFrame";
            c.atom = U().next_atom++;
            U().classes.push_back(c);
        }
    }
    return CreateWindowExA(0, "WinsimFrame", title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, rect.left, rect.top,
                           rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, nullptr, nullptr);
}

std::vector<WindowInfo> windows() {
    WINSIM_LOCK();
    std::vector<WindowInfo> out;
    for (auto &kv : U().windows) {
        const Window &w = kv.second;
        WindowInfo i;
        i.hwnd = w.hwnd;
        i.class_name = w.class_name;
        i.title = w.title;
        i.visible = w.visible;
        i.parent = w.parent;
        i.process_id = w.pid;
        i.thread_id = w.tid;
        i.rect = screen_rect(w);
        i.topmost = (w.ex_style & WS_EX_TOPMOST) != 0;
        out.push_back(i);
    }
    return out;
}

} // namespace user

} // namespace winsim

using namespace winsim;

// ----------------------------------------------------------------- classes

extern "C" ATOM WINAPI RegisterClassA(const WNDCLASSA *wc) {
    if (DWORD e = fault("RegisterClassA")) {
        SetLastError(e);
        return 0;
    }
    if (!wc || !wc->lpszClassName || (!IS_INTRESOURCE(wc->lpszClassName) && !*wc->lpszClassName) ||
        IS_INTRESOURCE(wc->lpszClassName) || wc->cbClsExtra < 0 || wc->cbWndExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WINSIM_LOCK();
    DWORD pid = process_id();
    for (auto &c : U().classes)
        if (c.pid == pid && iequals(c.name, wc->lpszClassName)) {
            SetLastError(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    WindowClass c;
    c.name = wc->lpszClassName;
    c.atom = U().next_atom++;
    c.pid = pid;
    c.style = wc->style;
    c.proc = wc->lpfnWndProc;
    c.instance = wc->hInstance;
    c.wnd_extra = wc->cbWndExtra;
    if (wc->lpszMenuName)
        c.menu_name = IS_INTRESOURCE(wc->lpszMenuName) ? "#" + std::to_string((uintptr_t)wc->lpszMenuName)
                                                       : wc->lpszMenuName;
    U().classes.push_back(c);
    return c.atom;
}

extern "C" ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *wc) {
    if (DWORD e = fault("RegisterClassExA")) {
        SetLastError(e);
        return 0;
    }
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WNDCLASSA plain = {wc->style,  wc->lpfnWndProc, wc->cbClsExtra,    wc->cbWndExtra,   wc->hInstance,
                       wc->hIcon,  wc->hCursor,     wc->hbrBackground, wc->lpszMenuName, wc->lpszClassName};
    return RegisterClassA(&plain);
}

extern "C" BOOL WINAPI UnregisterClassA(LPCSTR name, HINSTANCE) {
    WINSIM_FAULT_BOOL("UnregisterClassA");
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WINSIM_LOCK();
    DWORD pid = process_id();
    auto &v = U().classes;
    for (auto it = v.begin(); it != v.end(); ++it) {
        if (it->pid != pid) continue;
        if (IS_INTRESOURCE(name) ? it->atom != (ATOM)(uintptr_t)name : !iequals(it->name, name)) continue;
        if (it->windows > 0) {
            SetLastError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
        v.erase(it);
        return TRUE;
    }
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
}

// ----------------------------------------------------------------- windows

extern "C" HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y,
                                       int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                       LPVOID param) {
    if (DWORD e = fault("CreateWindowExA")) {
        SetLastError(e);
        return nullptr;
    }
    if (!class_name) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    DWORD tid = sched::current_thread_id();
    HWND h;
    CREATESTRUCTA cs;
    {
        WINSIM_LOCK();
        DWORD pid = process_id();
        WindowClass *cls = find_class(class_name, pid);
        if (!cls) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (parent == kDesktop && !(style & WS_CHILD)) parent = nullptr; // owned by the desktop: no owner
        if (parent && parent != HWND_MESSAGE && !find_window(parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        if ((style & WS_CHILD) && !parent) {
            SetLastError(ERROR_TLW_WITH_WSCHILD);
            return nullptr;
        }
        Window w;
        w.hwnd = h = (HWND)U().next_window;
        U().next_window += 4;
        w.class_name = cls->name;
        w.atom = cls->atom;
        w.proc = cls->proc;
        w.extra.assign((size_t)cls->wnd_extra, 0);
        w.style = style & ~WS_VISIBLE;
        w.ex_style = ex_style;
        if (style & WS_CHILD)
            w.parent = parent;
        else
            w.owner = parent == HWND_MESSAGE ? nullptr : parent;
        w.menu = menu;
        w.instance = instance;
        w.tid = tid;
        w.pid = pid;
        // Windows' default placement, fixed so that every run is the same.
        bool child = (style & WS_CHILD) != 0;
        if (x == CW_USEDEFAULT) {
            x = child ? 0 : 0x16;
            y = child ? 0 : 0x16;
        }
        if (width == CW_USEDEFAULT) {
            width = child ? 0 : 640;
            height = child ? 0 : 480;
        }
        w.rect = RECT{x, y, x + width, y + height};
        cls->windows++;
        U().windows[(uintptr_t)h] = w;
        set_window_count();
        cs.lpCreateParams = param;
        cs.hInstance = instance;
        cs.hMenu = menu;
        cs.hwndParent = parent;
        cs.cy = height;
        cs.cx = width;
        cs.y = y;
        cs.x = x;
        cs.style = (LONG)style;
        cs.lpszName = title;
        cs.lpszClass = class_name;
        cs.dwExStyle = ex_style;
    }
    if (!call_proc(h, WM_NCCREATE, 0, (LPARAM)&cs)) {
        call_proc(h, WM_NCDESTROY, 0, 0);
        WINSIM_LOCK();
        forget_window(h);
        return nullptr;
    }
    if (call_proc(h, WM_CREATE, 0, (LPARAM)&cs) == -1) {
        DestroyWindow(h);
        return nullptr;
    }
    if (style & WS_VISIBLE) ShowWindow(h, SW_SHOW);
    return IsWindow(h) ? h : nullptr;
}

extern "C" BOOL WINAPI DestroyWindow(HWND h) {
    WINSIM_FAULT_BOOL("DestroyWindow");
    std::vector<HWND> owned;
    {
        WINSIM_LOCK();
        Window *w = find_window(h);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (w->tid != sched::current_thread_id()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (w->destroying) return TRUE;
        w->destroying = true;
        owned = windows_where([h](const Window &o) { return o.owner == h && !o.destroying; });
    }
    // Owned windows go first, as on Windows.
    for (HWND o : owned) DestroyWindow(o);
    {
        WINSIM_LOCK();
        if (Window *w = find_window(h)) w->destroying = false;
    }
    destroy_tree(h);
    return TRUE;
}

extern "C" BOOL WINAPI ShowWindow(HWND h, int cmd) {
    bool was, now = cmd != SW_HIDE;
    {
        WINSIM_LOCK();
        Window *w = find_window(h);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        was = w->visible;
        if (was == now) return was;
        w->visible = now;
    }
    call_proc(h, WM_SHOWWINDOW, now, 0);
    return was;
}

extern "C" BOOL WINAPI IsWindow(HWND h) {
    WINSIM_LOCK();
    return h == kDesktop || find_window(h) != nullptr;
}

extern "C" BOOL WINAPI IsWindowVisible(HWND h) {
    WINSIM_LOCK();
    for (Window *w = find_window(h); w; w = find_window(w->parent)) {
        if (!w->visible) return FALSE;
        if (!w->parent) return TRUE;
    }
    return FALSE;
}

extern "C" HWND WINAPI GetParent(HWND h) {
    WINSIM_LOCK();
    Window *w = find_window(h);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return w->parent ? w->parent : w->owner;
}

extern "C" int WINAPI GetWindowTextA(HWND h, LPSTR buffer, int size) {
    bool own;
    std::string title;
    {
        WINSIM_LOCK();
        Window *w = find_window(h);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            if (buffer && size > 0) *buffer = '\0';
            return 0;
        }
        own = w->tid == sched::current_thread_id();
        title = w->title;
    }
    if (!buffer || size <= 0) return 0;
    if (own) return (int)call_proc(h, WM_GETTEXT, (WPARAM)size, (LPARAM)buffer);
    size_t n = std::min(title.size(), (size_t)size - 1);
    std::memcpy(buffer, title.data(), n);
    buffer[n] = '\0';
    return (int)n;
}

extern "C" BOOL WINAPI SetWindowTextA(HWND h, LPCSTR text) {
    if (!IsWindow(h)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return (BOOL)SendMessageA(h, WM_SETTEXT, 0, (LPARAM)text);
}

extern "C" LRESULT WINAPI DefWindowProcA(HWND h, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
    case WM_NCCREATE: {
        auto *cs = (const CREATESTRUCTA *)l;
        WINSIM_LOCK();
        if (Window *win = find_window(h))
            win->title = cs && cs->lpszName && !IS_INTRESOURCE(cs->lpszName) ? cs->lpszName : "";
        return TRUE;
    }
    case WM_CLOSE:
        DestroyWindow(h);
        return 0;
    case WM_SETTEXT: {
        WINSIM_LOCK();
        Window *win = find_window(h);
        if (!win) return FALSE;
        win->title = l ? (LPCSTR)l : "";
        return TRUE;
    }
    case WM_GETTEXT: {
        WINSIM_LOCK();
        Window *win = find_window(h);
        if (!win || w == 0 || !l) return 0;
        size_t n = std::min(win->title.size(), (size_t)w - 1);
        std::memcpy((LPSTR)l, win->title.data(), n);
        ((LPSTR)l)[n] = '\0';
        return (LRESULT)n;
    }
    case WM_GETTEXTLENGTH: {
        WINSIM_LOCK();
        Window *win = find_window(h);
        return win ? (LRESULT)win->title.size() : 0;
    }
    default:
        return 0;
    }
}

// ---------------------------------------------------------------- messages

extern "C" void WINAPI PostQuitMessage(int code) {
    DWORD tid = sched::current_thread_id();
    {
        WINSIM_LOCK();
        Queue &q = queue_of(tid);
        q.quit = true;
        q.quit_code = code;
    }
    sched::notify();
}

extern "C" BOOL WINAPI PostMessageA(HWND h, UINT message, WPARAM w, LPARAM l) {
    WINSIM_FAULT_BOOL("PostMessageA");
    if (!h) return post(sched::current_thread_id(), nullptr, message, w, l);
    std::vector<std::pair<DWORD, HWND>> targets;
    {
        WINSIM_LOCK();
        if (h == HWND_BROADCAST) {
            for (auto &kv : U().windows)
                if (!kv.second.parent) targets.push_back({kv.second.tid, kv.second.hwnd});
        } else {
            Window *win = find_window(h);
            if (!win) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return FALSE;
            }
            targets.push_back({win->tid, h});
        }
    }
    for (auto &t : targets) post(t.first, t.second, message, w, l);
    return TRUE;
}

extern "C" BOOL WINAPI PostThreadMessageA(DWORD tid, UINT message, WPARAM w, LPARAM l) {
    WINSIM_FAULT_BOOL("PostThreadMessageA");
    if (!sched::thread_alive(tid)) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return post(tid, nullptr, message, w, l);
}

extern "C" LRESULT WINAPI SendMessageA(HWND h, UINT message, WPARAM w, LPARAM l) {
    DWORD me = sched::current_thread_id();
    std::vector<std::pair<DWORD, HWND>> targets;
    {
        WINSIM_LOCK();
        if (h == HWND_BROADCAST) {
            for (auto &kv : U().windows)
                if (!kv.second.parent) targets.push_back({kv.second.tid, kv.second.hwnd});
        } else {
            Window *win = find_window(h);
            if (!win) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return 0;
            }
            targets.push_back({win->tid, h});
        }
    }
    LRESULT result = 0;
    for (auto &t : targets) {
        if (t.first == me) {
            result = call_proc(t.second, message, w, l);
            continue;
        }
        if (!sched::thread_alive(t.first)) continue;
        auto s = std::make_shared<Sent>(Sent{t.second, message, w, l});
        {
            WINSIM_LOCK();
            queue_of(t.first).sent.push_back(s);
        }
        sched::notify();
        std::string what = "SendMessageA(window " + hex((uintptr_t)t.second) + ", message " + hex(message) +
                           ") to thread " + hex(t.first);
        for (;;) {
            // While it waits, the sender still answers what is sent to it.
            sched::wait_until(
                [&] {
                    WINSIM_LOCK();
                    auto q = U().queues.find(me);
                    return s->done || !sched::thread_alive(t.first) || (q != U().queues.end() && !q->second.sent.empty());
                },
                sched::kForever, what);
            run_sent_messages(me);
            WINSIM_LOCK();
            if (s->done || !sched::thread_alive(t.first)) break;
        }
        WINSIM_LOCK();
        result = s->result;
    }
    return result;
}

extern "C" BOOL WINAPI GetMessageA(LPMSG msg, HWND h, UINT min, UINT max) {
    if (DWORD e = fault("GetMessageA")) {
        SetLastError(e);
        return -1;
    }
    if (!msg) {
        SetLastError(ERROR_NOACCESS);
        return -1;
    }
    if (h && h != (HWND)-1 && !IsWindow(h)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    DWORD tid = sched::current_thread_id();
    for (;;) {
        run_sent_messages(tid);
        {
            WINSIM_LOCK();
            if (take_message(queue_of(tid), msg, h, min, max, true)) return msg->message != WM_QUIT;
        }
        uint64_t due;
        {
            WINSIM_LOCK();
            due = next_timer_due(tid, h, min, max);
        }
        sched::wait_until([&] { return has_message(tid, h, min, max); }, due, "GetMessageA(thread " + hex(tid) + ")");
    }
}

extern "C" BOOL WINAPI PeekMessageA(LPMSG msg, HWND h, UINT min, UINT max, UINT flags) {
    if (DWORD e = fault("PeekMessageA")) {
        SetLastError(e);
        return FALSE;
    }
    if (!msg) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (h && h != (HWND)-1 && !IsWindow(h)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    DWORD tid = sched::current_thread_id();
    run_sent_messages(tid);
    {
        WINSIM_LOCK();
        if (take_message(queue_of(tid), msg, h, min, max, (flags & PM_REMOVE) != 0)) return TRUE;
    }
    // An empty queue lets the other threads run, as Windows does unless told not to.
    if (!(flags & PM_NOYIELD)) sched::yield();
    return FALSE;
}

// Waits for the objects or for input of the mask's kinds: sent messages
// (QS_SENDMESSAGE), posted ones (QS_POSTMESSAGE, QS_ALLPOSTMESSAGE) and due
// timers (QS_TIMER).  Input already in the queue counts at once (Windows
// counts only what arrived since the queue was last looked at).
extern "C" DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL wait_all, DWORD ms,
                                                  DWORD mask) {
    if (DWORD e = fault("MsgWaitForMultipleObjects")) {
        SetLastError(e);
        return WAIT_FAILED;
    }
    if (count >= MAXIMUM_WAIT_OBJECTS || (count && !handles)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Waitable>> w(count);
    for (DWORD i = 0; i < count; i++) {
        w[i] = std::dynamic_pointer_cast<Waitable>(handle_table::get(handles[i]));
        if (!w[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    DWORD tid = sched::current_thread_id();
    auto input = [&] {
        WINSIM_LOCK();
        auto it = U().queues.find(tid);
        if (it == U().queues.end()) return false;
        MSG m;
        if ((mask & QS_SENDMESSAGE) && !it->second.sent.empty()) return true;
        if ((mask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) && take_message(it->second, &m, nullptr, 0, 0, false))
            return true;
        return (mask & QS_TIMER) && next_timer_due(tid, nullptr, 0, 0) <= sched::now();
    };
    auto objects = [&] {
        if (count == 0) return false;
        if (wait_all) return std::all_of(w.begin(), w.end(), [](auto &x) { return x->signaled(); });
        return std::any_of(w.begin(), w.end(), [](auto &x) { return x->signaled(); });
    };
    std::string what = "MsgWaitForMultipleObjects(" + std::to_string(count) + " objects, mask " + hex(mask) + ")";
    uint64_t deadline = sched::deadline_after(ms);
    for (;;) {
        uint64_t due;
        {
            WINSIM_LOCK();
            due = (mask & QS_TIMER) ? std::min(deadline, next_timer_due(tid, nullptr, 0, 0)) : deadline;
        }
        bool woke = sched::wait_until([&] { return objects() || input(); }, due, what);
        if (objects()) {
            if (wait_all) {
                for (auto &x : w) x->acquired();
                return WAIT_OBJECT_0;
            }
            for (DWORD i = 0; i < count; i++)
                if (w[i]->signaled()) {
                    w[i]->acquired();
                    return WAIT_OBJECT_0 + i;
                }
        }
        if (input()) return WAIT_OBJECT_0 + count;
        if (!woke && sched::now() >= deadline) return WAIT_TIMEOUT;
    }
}

extern "C" BOOL WINAPI TranslateMessage(const MSG *) {
    // No keyboard on the simulated machine yet: nothing to translate.
    return FALSE;
}

extern "C" LRESULT WINAPI DispatchMessageA(const MSG *msg) {
    if (msg && msg->message == WM_TIMER && msg->lParam) {
        // A timer with a callback: the callback runs instead of the window procedure.
        if (msg->hwnd && !IsWindow(msg->hwnd)) return 0;
        ((TIMERPROC)msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, (DWORD)sched::now());
        return 0;
    }
    if (!msg || !msg->hwnd) return 0;
    if (!IsWindow(msg->hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return call_proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

// ------------------------------------------------- placement and the screen

extern "C" HWND WINAPI GetDesktopWindow(void) { return kDesktop; }

namespace {
// GetWindowRect and GetClientRect: the desktop is the screen; `measure` gives
// the rectangle of a real window.  Caller holds the lock.
template <class F> BOOL window_rect(HWND h, LPRECT rect, F measure) {
    Window *w = find_window(h);
    if (!w && h != kDesktop) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!rect) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *rect = w ? measure(*w) : RECT{0, 0, U().screen_width, U().screen_height};
    return TRUE;
}
} // namespace

extern "C" BOOL WINAPI GetWindowRect(HWND h, LPRECT rect) {
    WINSIM_FAULT_BOOL("GetWindowRect");
    WINSIM_LOCK();
    return window_rect(h, rect, [](const Window &w) { return screen_rect(w); });
}

extern "C" BOOL WINAPI SetWindowPos(HWND h, HWND after, int x, int y, int cx, int cy, UINT flags) {
    WINSIM_FAULT_BOOL("SetWindowPos");
    WINSIM_LOCK();
    Window *w = find_window(h);
    if (!w) {
        SetLastError(h == kDesktop ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    RECT &r = w->rect;
    if (!(flags & SWP_NOMOVE)) {
        // Coordinates are the parent's for a child, the screen's otherwise.
        r.right += x - r.left, r.bottom += y - r.top;
        r.left = x, r.top = y;
    }
    if (!(flags & SWP_NOSIZE)) {
        r.right = r.left + std::max(cx, 0);
        r.bottom = r.top + std::max(cy, 0);
    }
    if (!(flags & SWP_NOZORDER) && !w->parent) {
        // Only the topmost band is modelled, not the order inside a band.
        if (after == HWND_TOPMOST) w->ex_style |= WS_EX_TOPMOST;
        if (after == HWND_NOTOPMOST) w->ex_style &= ~(DWORD)WS_EX_TOPMOST;
    }
    if (flags & SWP_SHOWWINDOW) w->visible = true;
    if (flags & SWP_HIDEWINDOW) w->visible = false;
    return TRUE;
}

extern "C" int WINAPI GetSystemMetrics(int index) {
    WINSIM_LOCK();
    switch (index) {
    case SM_CXSCREEN: return U().screen_width;
    case SM_CYSCREEN: return U().screen_height;
    default: return 0;
    }
}

extern "C" HDC WINAPI GetDC(HWND h) {
    if (DWORD e = fault("GetDC")) {
        SetLastError(e);
        return nullptr;
    }
    WINSIM_LOCK();
    if (h && h != kDesktop && !find_window(h)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    uintptr_t dc = U().next_dc++;
    U().dcs.insert(dc);
    extra_counts()[HandleKind::Other]++;
    return (HDC)dc;
}

extern "C" int WINAPI ReleaseDC(HWND, HDC dc) {
    WINSIM_LOCK();
    if (!U().dcs.erase((uintptr_t)dc)) return 0;
    extra_counts()[HandleKind::Other]--;
    return 1;
}

extern "C" int WINAPI GetDeviceCaps(HDC dc, int index) {
    WINSIM_LOCK();
    if (!U().dcs.count((uintptr_t)dc)) return 0;
    switch (index) {
    case HORZRES: return U().screen_width;
    case VERTRES: return U().screen_height;
    case BITSPIXEL: return 32;
    case PLANES: return 1;
    case LOGPIXELSX:
    case LOGPIXELSY: return 96;
    default: return 0;
    }
}

// -------------------------------------------------------- icons and cursors

extern "C" HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name) {
    if (DWORD e = fault("LoadIconA")) {
        SetLastError(e);
        return nullptr;
    }
    uintptr_t id = (uintptr_t)name;
    if (!instance) {
        if (IS_INTRESOURCE(name) && id >= 32512 && id <= 32517) return (HICON)(0x20000 | id);
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    // Our libraries' icons are the ICON statements of the .rc beside them;
    // like LoadIcon's, the handle is shared and stays valid.
    const rc::File *f = rc::of_module((HMODULE)instance);
    if (!f || f->icons.empty()) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    std::string key = rc::resource_key(name);
    auto it = f->icons.find(key);
    if (it == f->icons.end()) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    char module[MAX_PATH] = "";
    GetModuleFileNameA((HMODULE)instance, module, sizeof module);
    std::string label = file_part(module) + " " + key + " (" + it->second + ")";
    WINSIM_LOCK();
    auto &icons = U().icons;
    auto found = std::find(icons.begin(), icons.end(), label);
    size_t index = (size_t)(found - icons.begin());
    if (found == icons.end()) icons.push_back(label);
    return (HICON)(kFirstIcon + 4 * index);
}

extern "C" BOOL WINAPI DestroyIcon(HICON icon) {
    // Shared icons (all of ours) are not destroyed; Windows answers TRUE.
    if (!icon) {
        SetLastError(ERROR_INVALID_CURSOR_HANDLE);
        return FALSE;
    }
    return TRUE;
}

extern "C" HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name) {
    if (DWORD e = fault("LoadCursorA")) {
        SetLastError(e);
        return nullptr;
    }
    uintptr_t id = (uintptr_t)name;
    if (!instance && IS_INTRESOURCE(name) && ((id >= 32512 && id <= 32516) || (id >= 32640 && id <= 32651)))
        return (HCURSOR)(0x30000 | id);
    SetLastError(instance ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

// ------------------------------------------------------------ message boxes

extern "C" int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (DWORD e = fault("MessageBoxA")) {
        SetLastError(e);
        return 0;
    }
    std::vector<int> buttons = buttons_of(type);
    if (buttons.empty()) {
        SetLastError(ERROR_INVALID_MSGBOX_STYLE);
        return 0;
    }
    DWORD tid = sched::current_thread_id();
    user::ShownBox box;
    std::function<int(const user::ShownBox &)> hook;
    {
        WINSIM_LOCK();
        if (owner && owner != kDesktop && !find_window(owner)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        box.owner = owner;
        box.caption = caption ? caption : "Error";
        box.text = text ? text : "";
        box.type = type;
        box.process_id = process_id();
        box.thread_id = tid;
        box.time_ms = sched::now();
        hook = U().hook;
    }
    // The hook looks at the machine while the box is up, so no lock is held.
    int answer = hook ? hook(box) : 0;
    WINSIM_LOCK();
    for (size_t i = 0; !answer && i < U().rules.size(); i++) {
        const Rule &r = U().rules[i];
        if (box.caption.find(r.caption) != std::string::npos && box.text.find(r.text) != std::string::npos)
            answer = r.answer;
    }
    if (!answer) answer = U().default_answer;
    if (!answer) {
        size_t def = (type & MB_DEFMASK) >> 8;
        answer = buttons[def < buttons.size() ? def : 0];
    }
    if (std::find(buttons.begin(), buttons.end(), answer) == buttons.end())
        fatal("the scripted user answered " + std::to_string(answer) + " to the message box \"" + box.caption +
              "\", which has no such button");
    box.answer = answer;
    U().shown.push_back(box);
    return answer;
}

extern "C" BOOL WINAPI MessageBeep(UINT) {
    // No sound on the simulated machine; counted so tests can see it.
    WINSIM_LOCK();
    U().beeps++;
    return TRUE;
}

// ------------------------------------------------------ enable state, focus

extern "C" BOOL WINAPI IsWindowEnabled(HWND h) {
    WINSIM_LOCK();
    if (h == kDesktop) return TRUE;
    Window *w = find_window(h);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return (w->style & WS_DISABLED) == 0;
}

extern "C" BOOL WINAPI EnableWindow(HWND h, BOOL enable) {
    bool was_disabled;
    HWND lost_focus = nullptr;
    {
        WINSIM_LOCK();
        Window *w = find_window(h);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        was_disabled = (w->style & WS_DISABLED) != 0;
        if (was_disabled == !enable) return was_disabled;
        if (enable) {
            w->style &= ~(DWORD)WS_DISABLED;
        } else {
            w->style |= WS_DISABLED;
            // A disabled window cannot keep the keyboard focus.
            auto q = U().queues.find(w->tid);
            if (q != U().queues.end() && (q->second.focus == h || is_descendant(q->second.focus, h)))
                lost_focus = q->second.focus;
        }
    }
    if (lost_focus && GetFocus() == lost_focus) SetFocus(nullptr);
    SendMessageA(h, WM_ENABLE, (WPARAM)enable, 0);
    return was_disabled;
}

extern "C" HWND WINAPI GetFocus(void) {
    DWORD tid = sched::current_thread_id();
    WINSIM_LOCK();
    auto it = U().queues.find(tid);
    return it == U().queues.end() ? nullptr : it->second.focus;
}

extern "C" HWND WINAPI SetFocus(HWND h) {
    DWORD tid = sched::current_thread_id();
    HWND old;
    {
        WINSIM_LOCK();
        if (h) {
            Window *w = find_window(h);
            if (!w) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
            // The focus is the calling thread's own (no attached input queues).
            if (w->tid != tid) {
                SetLastError(ERROR_ACCESS_DENIED);
                return nullptr;
            }
        }
        Queue &q = queue_of(tid);
        old = q.focus;
        if (old == h) return old;
        q.focus = h;
    }
    if (old && IsWindow(old)) call_proc(old, WM_KILLFOCUS, (WPARAM)h, 0);
    if (h && IsWindow(h) && GetFocus() == h) call_proc(h, WM_SETFOCUS, (WPARAM)old, 0);
    return old;
}

extern "C" BOOL WINAPI SetForegroundWindow(HWND h) { return IsWindow(h); }

extern "C" BOOL WINAPI IsChild(HWND parent, HWND h) {
    WINSIM_LOCK();
    return is_descendant(h, parent);
}

extern "C" BOOL WINAPI GetClientRect(HWND h, LPRECT rect) {
    WINSIM_FAULT_BOOL("GetClientRect");
    WINSIM_LOCK();
    return window_rect(h, rect, [](const Window &w) {
        LONG width = w.rect.right - w.rect.left - w.inset.left - w.inset.right;
        LONG height = w.rect.bottom - w.rect.top - w.inset.top - w.inset.bottom;
        return RECT{0, 0, std::max<LONG>(width, 0), std::max<LONG>(height, 0)};
    });
}

extern "C" BOOL WINAPI MoveWindow(HWND h, int x, int y, int width, int height, BOOL) {
    return SetWindowPos(h, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

extern "C" int WINAPI GetWindowTextLengthA(HWND h) {
    bool own;
    size_t n;
    {
        WINSIM_LOCK();
        Window *w = find_window(h);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        own = w->tid == sched::current_thread_id();
        n = w->title.size();
    }
    return own ? (int)call_proc(h, WM_GETTEXTLENGTH, 0, 0) : (int)n;
}

extern "C" BOOL WINAPI InvalidateRect(HWND h, const RECT *, BOOL) {
    // Nothing is painted; the drawing is made from the state when asked for.
    if (!h) return TRUE;
    if (!IsWindow(h)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI UpdateWindow(HWND h) {
    if (!IsWindow(h)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// ------------------------------------------------------------- window words

namespace {

// Reads or writes a window word; `set` null reads.  Positive offsets are the
// class's extra bytes, as many as the value's size.
bool window_word(HWND h, int index, size_t size, const LONG_PTR *set, LONG_PTR *old) {
    WINSIM_LOCK();
    Window *w = find_window(h);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (index >= 0) {
        if ((size_t)index + size > w->extra.size()) {
            SetLastError(ERROR_INVALID_INDEX);
            return false;
        }
        if (size == sizeof(LONG)) {
            LONG v;
            std::memcpy(&v, &w->extra[(size_t)index], sizeof v);
            *old = v;
            if (set) {
                v = (LONG)*set;
                std::memcpy(&w->extra[(size_t)index], &v, sizeof v);
            }
        } else {
            std::memcpy(old, &w->extra[(size_t)index], sizeof *old);
            if (set) std::memcpy(&w->extra[(size_t)index], set, sizeof *set);
        }
        return true;
    }
    switch (index) {
    case GWL_STYLE:
        *old = (LONG_PTR)(LONG)(w->style | (w->visible ? WS_VISIBLE : 0));
        if (set) {
            w->style = (DWORD)*set & ~(DWORD)WS_VISIBLE;
            w->visible = (*set & WS_VISIBLE) != 0;
        }
        return true;
    case GWL_EXSTYLE:
        *old = (LONG_PTR)(LONG)w->ex_style;
        if (set) w->ex_style = (DWORD)*set;
        return true;
    case GWLP_ID:
        *old = (LONG_PTR)w->menu;
        if (set) w->menu = (HMENU)*set;
        return true;
    case GWLP_USERDATA:
        *old = w->user_data;
        if (set) w->user_data = *set;
        return true;
    case GWLP_WNDPROC:
        *old = (LONG_PTR)w->proc;
        if (set) w->proc = (WNDPROC)*set;
        return true;
    case GWLP_HINSTANCE:
        *old = (LONG_PTR)w->instance;
        if (set) w->instance = (HINSTANCE)*set;
        return true;
    case GWLP_HWNDPARENT:
        *old = (LONG_PTR)(w->parent ? w->parent : w->owner);
        if (set && !w->parent) w->owner = (HWND)*set;
        return true;
    default:
        SetLastError(ERROR_INVALID_INDEX);
        return false;
    }
}

} // namespace

extern "C" LONG_PTR WINAPI GetWindowLongPtrA(HWND h, int index) {
    LONG_PTR v = 0;
    return window_word(h, index, sizeof(LONG_PTR), nullptr, &v) ? v : 0;
}

extern "C" LONG_PTR WINAPI SetWindowLongPtrA(HWND h, int index, LONG_PTR value) {
    LONG_PTR old = 0;
    return window_word(h, index, sizeof(LONG_PTR), &value, &old) ? old : 0;
}

extern "C" LONG WINAPI GetWindowLongA(HWND h, int index) {
    LONG_PTR v = 0;
    return window_word(h, index, sizeof(LONG), nullptr, &v) ? (LONG)v : 0;
}

extern "C" LONG WINAPI SetWindowLongA(HWND h, int index, LONG value) {
    LONG_PTR old = 0, set = value;
    return window_word(h, index, sizeof(LONG), &set, &old) ? (LONG)old : 0;
}

// ------------------------------------------------------------------- timers

extern "C" UINT_PTR WINAPI SetTimer(HWND h, UINT_PTR id, UINT elapse, TIMERPROC proc) {
    if (DWORD e = fault("SetTimer")) {
        SetLastError(e);
        return 0;
    }
    DWORD tid = sched::current_thread_id();
    WINSIM_LOCK();
    if (h) {
        Window *w = find_window(h);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (w->tid != tid) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    // Out-of-range periods are clamped, as Windows XP does.
    UINT period = std::min<UINT>(std::max<UINT>(elapse, USER_TIMER_MINIMUM), USER_TIMER_MAXIMUM);
    auto &timers = U().timers;
    Timer *t = nullptr;
    if (h) {
        for (Timer &x : timers)
            if (x.hwnd == h && x.id == id) t = &x; // the same timer again: restarted
    } else {
        // A thread timer: a new id, unless it names one of this thread's own.
        for (Timer &x : timers)
            if (!x.hwnd && id && x.id == id && x.tid == tid) t = &x;
    }
    if (!t) {
        timers.push_back(Timer());
        t = &timers.back();
        t->hwnd = h;
        t->id = h ? id : U().next_thread_timer++;
        t->tid = tid;
        t->pid = process_id();
        t->serial = U().next_timer_serial++;
    }
    t->period = period;
    t->proc = proc;
    t->due = sched::now() + period;
    set_timer_count();
    return h ? (id ? id : 1) : t->id;
}

extern "C" BOOL WINAPI KillTimer(HWND h, UINT_PTR id) {
    WINSIM_FAULT_BOOL("KillTimer");
    DWORD tid = sched::current_thread_id();
    WINSIM_LOCK();
    auto &timers = U().timers;
    for (auto it = timers.begin(); it != timers.end(); ++it) {
        if (it->hwnd != h || it->id != id || (!h && it->tid != tid)) continue;
        timers.erase(it);
        set_timer_count();
        return TRUE;
    }
    SetLastError(h && !find_window(h) ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
}
