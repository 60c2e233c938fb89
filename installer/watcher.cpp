// The reader wait of the Windows 2000/XP installs: a hidden window on a
// thread of its own counts smart-card reader arrivals while the enumerator
// creates the virtual readers; or the reader-status dialog does the same in
// view of the user.  One waiter at a time per process.
#include "internal.h"
#include "quva_common.h"

#include <dbt.h>

#include <cstring>

const GUID quvadi_reader_interface_class = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

HDEVNOTIFY RegisterInterfaceArrivals(HWND window, const GUID *interfaceClass) {
    static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "the filter is 32 bytes");
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof filter);
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = *interfaceClass;
    return RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

namespace {

const char k_class_name[] = "Quva Driver Installer";
const char k_window_title[] = "Quva DI Device Notification Hook Window";
const DWORD k_ready_wait_ms = 5000;
const DWORD k_per_reader_ms = 30000;
const DWORD k_stop_wait_ms = 5000;

// The watcher's state.  The arrival count and the status are written only by
// the watcher's thread and read by the caller after that thread has ended.
struct Watcher {
    DWORD expected;
    DWORD arrivals;
    HANDLE thread;
    DWORD thread_id;
    HWND window;
    HDEVNOTIFY notify;
    DWORD status;
    HANDLE ready;
};
Watcher g_watch;

// The dialog's thread; its run state is quvadi_reader_status_run.
HANDLE g_dialog_thread;
DWORD g_dialog_thread_id;

void close_handle(HANDLE *h) {
    if (*h) CloseHandle(*h);
    *h = nullptr;
}

// Waits for the object while answering what other threads send to this one:
// the reader-status dialog disables its owner, which may be a window of the
// installing thread, and would hang on a thread that does not answer.
DWORD wait_answering(HANDLE object, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        DWORD left = ms == INFINITE ? INFINITE : elapsed >= ms ? 0 : ms - elapsed;
        DWORD r = MsgWaitForMultipleObjects(1, &object, FALSE, left, QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + 1) return r;
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    }
}

LRESULT CALLBACK watcher_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        g_watch.arrivals = 0;
        g_watch.notify = RegisterInterfaceArrivals(window, &quvadi_reader_interface_class);
        if (g_watch.notify) {
            g_watch.status = 0;
        } else {
            g_watch.status = GetLastError();
            DestroyWindow(window);
        }
        return 1;
    case WM_DESTROY:
        if (g_watch.notify) {
            UnregisterDeviceNotification(g_watch.notify);
            g_watch.notify = nullptr;
        }
        PostQuitMessage((int)g_watch.status);
        return 1;
    case WM_DEVICECHANGE:
        if (wparam == DBT_DEVICEARRIVAL && ++g_watch.arrivals == g_watch.expected) {
            g_watch.status = 0;
            DestroyWindow(window);
        }
        return 1;
    default: return DefWindowProcA(window, message, wparam, lparam);
    }
}

DWORD WINAPI watcher_thread(LPVOID) {
    HINSTANCE module = (HINSTANCE)quva_module();
    WNDCLASSEXA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = watcher_proc;
    wc.hInstance = module;
    wc.lpszClassName = k_class_name;
    // A class left by a watcher that had to be stopped by force is reused.
    if (!RegisterClassExA(&wc)) {
        DWORD error = GetLastError();
        if (error != ERROR_CLASS_ALREADY_EXISTS) return error;
    }
    HWND window = CreateWindowExA(0, k_class_name, k_window_title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, module, nullptr);
    if (!window) {
        DWORD error = GetLastError();
        UnregisterClassA(k_class_name, module);
        return error;
    }
    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    g_watch.window = window;
    SetEvent(g_watch.ready);
    MSG msg;
    std::memset(&msg, 0, sizeof msg);
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0 && got != -1) DispatchMessageA(&msg);
    // The class goes with its window, so the next install can register it
    // again and an unloaded library leaves no class behind.
    UnregisterClassA(k_class_name, module);
    return (DWORD)msg.wParam;
}

} // namespace

DWORD StartArrivalWatcher(DWORD expected) {
    g_watch.expected = expected;
    // A run whose thread never gets to its window must not report the last
    // run's arrivals.
    g_watch.arrivals = 0;
    g_watch.status = 0;
    g_watch.window = nullptr;
    g_watch.notify = nullptr;
    g_watch.ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_watch.thread = CreateThread(nullptr, 0, watcher_thread, nullptr, 0, &g_watch.thread_id);
    if (!g_watch.thread) {
        DWORD error = GetLastError();
        close_handle(&g_watch.ready);
        return error;
    }
    WaitForSingleObject(g_watch.ready, k_ready_wait_ms);
    return 0;
}

BOOL WaitArrivalWatcher(DWORD expected, LPDWORD count) {
    if (count) *count = 0;
    if (!g_watch.thread) return FALSE;
    // 30 seconds a reader, kept short of INFINITE however many are expected.
    unsigned long long limit = (unsigned long long)expected * k_per_reader_ms;
    DWORD first = limit >= INFINITE ? INFINITE - 1 : (DWORD)limit;
    if (WaitForSingleObject(g_watch.thread, first) == WAIT_TIMEOUT) {
        // Closing the window withdraws the registration and ends the loop.
        PostMessageA(g_watch.window, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(g_watch.thread, k_stop_wait_ms) == WAIT_TIMEOUT) {
            DestroyWindow(g_watch.window);
            TerminateThread(g_watch.thread, ERROR_CANCELLED);
            WaitForSingleObject(g_watch.thread, k_stop_wait_ms);
            // The stopped thread can no longer withdraw what it registered.
            if (g_watch.notify) {
                UnregisterDeviceNotification(g_watch.notify);
                g_watch.notify = nullptr;
            }
            UnregisterClassA(k_class_name, (HINSTANCE)quva_module());
        }
    }
    DWORD exit_code = 0;
    GetExitCodeThread(g_watch.thread, &exit_code);
    close_handle(&g_watch.thread);
    close_handle(&g_watch.ready);
    g_watch.window = nullptr;
    if (count) *count = g_watch.arrivals;
    return g_watch.arrivals != 0;
}

BOOL StartReaderStatusDialog(HWND owner, LPCSTR caption, LPCSTR message, LPCSTR cancelText, DWORD expected) {
    ReaderStatusRun &run = quvadi_reader_status_run;
    run.Parent = owner;
    lstrcpynA(run.Caption, caption ? caption : "", sizeof run.Caption);
    lstrcpynA(run.Message, message ? message : "", sizeof run.Message);
    lstrcpynA(run.CancelText, cancelText ? cancelText : "", sizeof run.CancelText);
    run.Expected = expected;
    run.Arrivals = 0;
    run.Notify = nullptr;
    run.Ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_dialog_thread = CreateThread(nullptr, 0, ReaderStatusThread, nullptr, 0, &g_dialog_thread_id);
    if (!g_dialog_thread) {
        close_handle(&run.Ready);
        return FALSE;
    }
    wait_answering(run.Ready, k_ready_wait_ms);
    return TRUE;
}

DWORD WaitReaderStatusDialog(LPDWORD count) {
    if (!g_dialog_thread) return 0;
    DWORD waited = wait_answering(g_dialog_thread, INFINITE);
    DWORD exit_code = 0;
    GetExitCodeThread(g_dialog_thread, &exit_code);
    close_handle(&g_dialog_thread);
    // The ready event outlives the dialog until here, so a late signal never
    // reaches a closed handle.
    close_handle(&quvadi_reader_status_run.Ready);
    if (waited == WAIT_OBJECT_0 && count) *count = quvadi_reader_status_run.Arrivals;
    return exit_code;
}
