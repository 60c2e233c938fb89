// The installer's own dialogs: the reader-status dialog that runs while an
// install waits for its virtual readers, and the wait-for-device dialog.
// Both listen for device-interface arrivals and centre themselves over their
// parent.
#include "internal.h"
#include "quva_common.h"
#include "quvadi.h"

#include <commctrl.h>
#include <dbt.h>

#include <cstring>

ReaderStatusParams quvadi_reader_status_params;
ReaderStatusRun quvadi_reader_status_run;

namespace {

const int k_reader_status_template = 3007;
const int k_wait_template = 3005;
const int k_message_template = 3006;
const int k_label = 103;     // IDC_LABEL1: the message
const int k_progress = 1003;

// The device-interface classes the wait-for-device dialog listens to.
const GUID k_device_class = {0x2B8F4C61, 0xA3D7, 0x11D2, {0x8E, 0x5C, 0x4F, 0x6A, 0x7B, 0x8C, 0x9D, 0x0E}};
const GUID k_token_driver_class = {0x7D3E9B14, 0x62A8, 0x4C51, {0x9E, 0x07, 0x3F, 0x5B, 0x1A, 0x2C, 0x8D, 0x90}};

const DWORD k_end_on_arrival = 0x2 | 0x4;
const DWORD k_message_only = 0x1;

// The wait-for-device dialog's arguments and registrations, for one call.
struct WaitState {
    HWND parent;
    DWORD flags;
    LPCSTR caption, message, ok_text, cancel_text;
    HDEVNOTIFY first, second;
};
WaitState g_wait;

LPCSTR text_or_empty(LPCSTR s) { return s ? s : ""; }

void make_topmost(HWND dialog) { SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE); }

void withdraw(HDEVNOTIFY *notify) {
    if (*notify) UnregisterDeviceNotification(*notify);
    *notify = nullptr;
}

// Copies at most size - 1 characters of a caller's string; FALSE (the target
// emptied) when any byte of it cannot be read.  Readability is asked again
// only where the string enters a new page.
BOOL guarded_copy(char *target, size_t size, LPCSTR source) {
    target[0] = '\0';
    if (!source || IsBadReadPtr(source, 1)) return FALSE;
    size_t n = 0;
    for (; n + 1 < size; n++) {
        if (n && ((uintptr_t)(source + n) & 0xFFF) == 0 && IsBadReadPtr(source + n, 1)) {
            target[0] = '\0';
            return FALSE;
        }
        if (!(target[n] = source[n])) return TRUE;
    }
    target[n] = '\0'; // longer texts are cut
    return TRUE;
}

// ------------------------------------------------------------ reader status

void reader_status_start(HWND dialog) {
    ReaderStatusRun &run = quvadi_reader_status_run;
    run.Notify = RegisterInterfaceArrivals(dialog, &quvadi_reader_interface_class);
    if (!run.Notify) EndDialog(dialog, 0);
    SetDlgItemTextA(dialog, IDCANCEL, run.CancelText);
    SetDlgItemTextA(dialog, k_label, run.Message);
    SetWindowTextA(dialog, run.Caption);
    SendDlgItemMessageA(dialog, k_progress, PBM_SETRANGE, 0, MAKELPARAM(0, (WORD)run.Expected));
    SendDlgItemMessageA(dialog, k_progress, PBM_SETSTEP, 1, 0);
    centre_dialog(run.Parent, dialog);
    make_topmost(dialog);
    SetEvent(run.Ready);
}

void reader_status_arrival(HWND dialog) {
    ReaderStatusRun &run = quvadi_reader_status_run;
    SendDlgItemMessageA(dialog, k_progress, PBM_STEPIT, 0, 0);
    if (++run.Arrivals == run.Expected) {
        PostMessageA(GetDlgItem(dialog, k_progress), PBM_STEPIT, 0, 0);
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
}

INT_PTR CALLBACK reader_status_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: reader_status_start(dialog); return TRUE;
    case WM_DEVICECHANGE:
        if (wparam == DBT_DEVICEARRIVAL) reader_status_arrival(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            withdraw(&quvadi_reader_status_run.Notify);
            EndDialog(dialog, LOWORD(wparam) == IDOK ? 1 : 0);
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY: withdraw(&quvadi_reader_status_run.Notify); return FALSE;
    default: return FALSE;
    }
}

// ----------------------------------------------------------- wait for device

void wait_start(HWND dialog) {
    g_wait.first = RegisterInterfaceArrivals(dialog, &k_device_class);
    if (!g_wait.first) {
        EndDialog(dialog, 0);
        return;
    }
    g_wait.second = RegisterInterfaceArrivals(dialog, &k_token_driver_class);
    if (!g_wait.second) {
        withdraw(&g_wait.first);
        EndDialog(dialog, 0);
        return;
    }
    SetDlgItemTextA(dialog, IDCANCEL, text_or_empty(g_wait.cancel_text));
    SetDlgItemTextA(dialog, k_label, text_or_empty(g_wait.message));
    SetWindowTextA(dialog, text_or_empty(g_wait.caption));
    centre_dialog(g_wait.parent, dialog);
    make_topmost(dialog);
}

// Registrations are withdrawn on every platform: one left behind on 98/ME
// would outlive its window.
void wait_end(HWND dialog, INT_PTR result) {
    withdraw(&g_wait.first);
    withdraw(&g_wait.second);
    EndDialog(dialog, result);
}

INT_PTR CALLBACK wait_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: wait_start(dialog); return TRUE;
    case WM_DEVICECHANGE:
        // Any arrival that reaches the dialog ends it; its kind is not looked at.
        if (wparam == DBT_DEVICEARRIVAL && (g_wait.flags & k_end_on_arrival)) wait_end(dialog, 1);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDCANCEL) {
            wait_end(dialog, 0);
            return TRUE;
        }
        return FALSE;
    case WM_DESTROY:
        withdraw(&g_wait.first);
        withdraw(&g_wait.second);
        return FALSE;
    default: return FALSE;
    }
}

INT_PTR CALLBACK message_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetDlgItemTextA(dialog, IDOK, text_or_empty(g_wait.ok_text));
        SetDlgItemTextA(dialog, k_label, text_or_empty(g_wait.message));
        SetWindowTextA(dialog, text_or_empty(g_wait.caption));
        centre_dialog(g_wait.parent, dialog);
        return TRUE;
    case WM_COMMAND:
        // OK confirms; the close box (IDCANCEL) does not.
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wparam) == IDOK ? 1 : 0);
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}

} // namespace

DWORD WINAPI ReaderStatusThread(LPVOID) {
    InitCommonControls(); // the progress bar's class
    ReaderStatusRun &run = quvadi_reader_status_run;
    INT_PTR r = DialogBoxParamA((HINSTANCE)quva_module(), MAKEINTRESOURCEA(k_reader_status_template), run.Parent,
                                reader_status_proc, 0);
    // A dialog that could not be built never signalled: free the starter now.
    SetEvent(run.Ready);
    // Not built (-1) counts as a run in which the readers did not all arrive.
    return r == 1 ? 1 : 0;
}

extern "C" BOOL WINAPI quvaDI_DlgSetReaderStatusParamsA(HWND hwndParent, LPCSTR pszCaption, LPCSTR pszMessage,
                                                        LPCSTR pszCancelText) {
    ReaderStatusParams &p = quvadi_reader_status_params;
    p.Parent = hwndParent ? hwndParent : GetDesktopWindow();
    if (!guarded_copy(p.Caption, sizeof p.Caption, pszCaption)) return FALSE;
    if (!guarded_copy(p.Message, sizeof p.Message, pszMessage)) return FALSE;
    if (!guarded_copy(p.CancelText, sizeof p.CancelText, pszCancelText)) return FALSE;
    return TRUE;
}

extern "C" int WINAPI quvaDI_DlgWaitForDeviceA(HWND hwndParent, DWORD dwFlags, LPCSTR pszCaption, LPCSTR pszMessage,
                                               LPCSTR pszOkText, LPCSTR pszCancelText) {
    std::memset(&g_wait, 0, sizeof g_wait);
    g_wait.parent = hwndParent ? hwndParent : GetDesktopWindow();
    g_wait.flags = dwFlags;
    g_wait.caption = pszCaption;
    g_wait.message = pszMessage;
    g_wait.ok_text = pszOkText;
    g_wait.cancel_text = pszCancelText;
    OSVERSIONINFOA v;
    if (!quva_get_os_version(&v)) return 0;
    int template_id;
    bool version_40_or_below = v.dwMajorVersion < 4 || (v.dwMajorVersion == 4 && v.dwMinorVersion == 0);
    if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        template_id = version_40_or_below ? k_message_template
                                          : (dwFlags & k_message_only) ? k_message_template : k_wait_template;
    else if (v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion > 4)
        template_id = (dwFlags & k_message_only) ? k_message_template : k_wait_template;
    else if (v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion == 4)
        template_id = k_message_template;
    else
        return 0;
    INT_PTR r = DialogBoxParamA((HINSTANCE)quva_module(), MAKEINTRESOURCEA(template_id), g_wait.parent,
                                template_id == k_wait_template ? wait_proc : message_proc, 0);
    // A dialog that could not be built (-1) answers 0, not a device.
    return r == 1 ? 1 : 0;
}
