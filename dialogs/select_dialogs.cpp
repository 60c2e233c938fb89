// The token selection dialog and the wait-for-token dialog.
#include "ui_internal.h"

#include "quva_common.h"
#include "quvaui.h"

#include <cstdlib>
#include <cstring>

namespace {

// Results the two dialogs act on.
const DWORD k_ok = QUVA_OK;
const DWORD k_not_found = QUVA_ERR_DEVICE_NOT_FOUND;
const DWORD k_removed = QUVA_ERR_DEVICE_REMOVED;
const DWORD k_invalid = QUVA_ERR_INVALID_PARAMETER;
const DWORD k_in_use = QUVA_ERR_DEVICE_IN_USE;
const DWORD k_cancelled = QUVA_ERR_ABORTED;
const DWORD k_no_dialog = QUVA_ERR_NOT_ENOUGH_MEMORY; // the template or the resources for it are missing

const DWORD k_serial_size = QUVA_SERIAL_SIZE;
const DWORD k_name_size = QUVA_NAME_SIZE;

// Templates, controls, strings and timers.
const int k_select_template = 3004;
const int k_wait_template = 3005;
const int k_prompt = 3100;
const int k_list_label = 3101;
const int k_list = 3107;
const UINT k_str_select_caption = 96;
const UINT k_str_select_prompt = 97;
const UINT k_str_select_label = 98;
const UINT k_str_insert_caption = 99;
const UINT k_str_insert_text = 100;
const UINT k_str_remove_caption = 101;
const UINT k_str_remove_text = 102;
const UINT k_str_unnamed = 103;
const UINT k_str_ok = 107;
const UINT k_str_cancel = 108;
const UINT_PTR k_refresh_timer = 100; // selection: the list; wait: the insertion poll
const UINT_PTR k_blink_timer = LED_TIMER_ID;
const UINT k_refresh_ms = 2000;
const UINT k_poll_ms = 1000;
const UINT k_blink_ms = LED_TIMER_MS;

const DWORD k_select_low_bits = 0x00000003;
const DWORD k_wait_rejected = 0x3FFFF0F8;
const DWORD k_wait_direction = WAIT_INSERT | WAIT_REMOVE;
const DWORD k_no_limit = 0xFFFFFFFF;
// A token held elsewhere is asked again at most this often within one
// presence check; the next poll tick asks afresh.
const int k_max_busy_retries = 32;

void set_text(HWND dialog, int id, UINT string_id) {
    char text[256];
    load_ui_string(string_id, text, sizeof text);
    SetDlgItemTextA(dialog, id, text);
}

void set_caption(HWND dialog, UINT string_id) {
    char text[256];
    load_ui_string(string_id, text, sizeof text);
    SetWindowTextA(dialog, text);
}

// DialogBoxParamA's answer as a status: -1, or 0 without a window, means the
// dialog never came up.
DWORD dialog_result(INT_PTR r) {
    if (r == IDOK) return k_ok;
    return r == -1 || r == 0 ? k_no_dialog : k_cancelled;
}

void make_topmost(HWND dialog) {
    if (ui_window_params.topmost) SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

// ---------------------------------------------------------------- selection

// One dialog at a time per process; filled by the export before the dialog runs.
struct SelectState {
    QUVA_CONTEXT context; // the caller's
    QUVA_CONTEXT scan;    // private, for enumerating and probing
    DWORD open_flags;     // ORed into every first/next open of the scan
    LPVOID open_param;
    BOOL show_serial;
    LPCSTR title, prompt;
    HWND parent;
    CRITICAL_SECTION lock;
    BYTE selected[k_serial_size];
    BOOL has_selection;
};
SelectState g_select;
DWORD g_select_led = LED_TOGGLE_START;

class Locked {
public:
    explicit Locked(CRITICAL_SECTION *cs) : cs_(cs) { EnterCriticalSection(cs_); }
    ~Locked() { LeaveCriticalSection(cs_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    CRITICAL_SECTION *cs_;
};

// "%04X-%04X-%04X-%04X": the second little-endian word first, high halves first.
void serial_text(const BYTE *s, char *out) {
    DWORD w0 = (DWORD)s[0] | (DWORD)s[1] << 8 | (DWORD)s[2] << 16 | (DWORD)s[3] << 24;
    DWORD w1 = (DWORD)s[4] | (DWORD)s[5] << 8 | (DWORD)s[6] << 16 | (DWORD)s[7] << 24;
    wsprintfA(out, "%04X-%04X-%04X-%04X", (unsigned)(w1 >> 16), (unsigned)(w1 & 0xFFFF), (unsigned)(w0 >> 16),
              (unsigned)(w0 & 0xFFFF));
}

int row_count(HWND list) { return (int)SendMessageA(list, LB_GETCOUNT, 0, 0); }

const BYTE *row_serial(HWND list, int row) {
    LRESULT data = SendMessageA(list, LB_GETITEMDATA, (WPARAM)row, 0);
    return data == LB_ERR ? nullptr : reinterpret_cast<const BYTE *>(data);
}

bool listed(HWND list, const BYTE *serial) {
    for (int i = row_count(list) - 1; i >= 0; i--) {
        const BYTE *s = row_serial(list, i);
        if (s && std::memcmp(s, serial, k_serial_size) == 0) return true;
    }
    return false;
}

void add_row(HWND list, const BYTE *serial, const char *name) {
    char shown[k_name_size + 1];
    if (name[0])
        lstrcpynA(shown, name, sizeof shown);
    else
        load_ui_string(k_str_unnamed, shown, sizeof shown);
    char text[k_name_size + 64];
    if (g_select.show_serial) {
        char s[24];
        serial_text(serial, s);
        wsprintfA(text, "%s (S/N:%s)", shown, s);
    } else {
        wsprintfA(text, "%s", shown);
    }
    BYTE *copy = static_cast<BYTE *>(std::malloc(k_serial_size));
    if (!copy) return;
    std::memcpy(copy, serial, k_serial_size);
    LRESULT row = SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)text);
    if (row == LB_ERR || row == LB_ERRSPACE) {
        std::free(copy);
        return;
    }
    SendMessageA(list, LB_SETITEMDATA, (WPARAM)row, (LPARAM)copy);
}

void free_rows(HWND list) {
    for (int i = row_count(list) - 1; i >= 0; i--) std::free(const_cast<BYTE *>(row_serial(list, i)));
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
}

// Lists every free token that tells its serial and is not listed yet.
bool add_pass(HWND list) {
    bool added = false;
    DWORD r = quvaapi::OpenDevice(g_select.scan, QUVA_OPEN_FIRST | g_select.open_flags, g_select.open_param);
    while (r == k_ok || r == k_in_use) {
        BYTE serial[k_serial_size];
        if (r == k_ok && quvaapi::GetProperty(g_select.scan, QUVA_PROP_SERIAL, 0, serial, sizeof serial) == k_ok &&
            !listed(list, serial)) {
            char name[k_name_size + 1];
            std::memset(name, 0, sizeof name);
            quvaapi::GetProperty(g_select.scan, QUVA_PROP_NAME, 0, name, k_name_size);
            name[k_name_size] = '\0';
            add_row(list, serial, name);
            added = true;
        }
        quvaapi::CloseDevice(g_select.scan);
        r = quvaapi::OpenDevice(g_select.scan, QUVA_OPEN_NEXT | g_select.open_flags, g_select.open_param);
    }
    quvaapi::CloseDevice(g_select.scan);
    return added;
}

// Deletes the rows of tokens that are gone.
bool remove_pass(HWND dialog, HWND list) {
    bool deleted = false;
    for (int i = row_count(list) - 1; i >= 0; i--) {
        BYTE *serial = const_cast<BYTE *>(row_serial(list, i));
        if (!serial) continue;
        DWORD r = quvaapi::OpenDevice(g_select.scan, QUVA_OPEN_BY_ID, serial);
        quvaapi::CloseDevice(g_select.scan);
        if (r != k_not_found && r != k_removed) continue;
        if (std::memcmp(serial, g_select.selected, k_serial_size) == 0) {
            g_select.has_selection = FALSE;
            std::memset(g_select.selected, 0, sizeof g_select.selected);
        }
        std::free(serial);
        SendMessageA(list, LB_DELETESTRING, (WPARAM)i, 0);
        EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
        deleted = true;
    }
    return deleted;
}

void repaint(HWND list) {
    InvalidateRect(list, nullptr, TRUE);
    UpdateWindow(list);
}

void select_start(HWND dialog) {
    set_caption(dialog, k_str_select_caption);
    set_text(dialog, k_prompt, k_str_select_prompt);
    set_text(dialog, k_list_label, k_str_select_label);
    set_text(dialog, IDOK, k_str_ok);
    set_text(dialog, IDCANCEL, k_str_cancel);
    if (g_select.title) SetWindowTextA(dialog, g_select.title);
    if (g_select.prompt) SetDlgItemTextA(dialog, k_prompt, g_select.prompt);
    HWND list = GetDlgItem(dialog, k_list);
    SetFocus(list);
    centre_dialog(g_select.parent, dialog);
    EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
    add_pass(list);
    repaint(list);
    SetTimer(dialog, k_refresh_timer, k_refresh_ms, nullptr);
    SetTimer(dialog, k_blink_timer, k_blink_ms, nullptr);
    make_topmost(dialog);
}

void select_refresh(HWND dialog) {
    Locked hold(&g_select.lock);
    HWND list = GetDlgItem(dialog, k_list);
    // A token plugged in during a tick that also saw one go waits for the next tick.
    bool changed = remove_pass(dialog, list);
    if (!changed) changed = add_pass(list);
    if (changed) repaint(list);
}

void select_blink() {
    Locked hold(&g_select.lock);
    if (!g_select.has_selection) return;
    quvaapi::OpenDevice(g_select.context, QUVA_OPEN_LAST, nullptr);
    quvaapi::SetProperty(g_select.context, led_next_state(&g_select_led), 0, 0, 0);
    quvaapi::CloseDevice(g_select.context);
}

void select_row(HWND dialog) {
    Locked hold(&g_select.lock);
    HWND list = GetDlgItem(dialog, k_list);
    LRESULT row = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (row == LB_ERR) return;
    const BYTE *serial = row_serial(list, (int)row);
    if (!serial) return;
    // The token pointed at before goes back to rest.
    quvaapi::OpenDevice(g_select.context, QUVA_OPEN_LAST, nullptr);
    quvaapi::SetProperty(g_select.context, QUVA_PROP_LED_ON, 0, 0, 0);
    quvaapi::CloseDevice(g_select.context);
    // The caller's context remembers the chosen token for the reopen by mode 2.
    quvaapi::OpenDevice(g_select.context, QUVA_OPEN_BY_ID, const_cast<BYTE *>(serial));
    quvaapi::CloseDevice(g_select.context);
    std::memcpy(g_select.selected, serial, k_serial_size);
    g_select.has_selection = TRUE;
    EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
}

void select_end(HWND dialog, bool confirmed) {
    KillTimer(dialog, k_refresh_timer);
    KillTimer(dialog, k_blink_timer);
    quvaapi::OpenDevice(g_select.context, QUVA_OPEN_LAST, nullptr);
    quvaapi::SetProperty(g_select.context, QUVA_PROP_LED_ON, 0, 0, 0);
    if (!confirmed) quvaapi::CloseDevice(g_select.context);
    free_rows(GetDlgItem(dialog, k_list));
    if (!confirmed) std::memset(g_select.selected, 0, sizeof g_select.selected);
    EndDialog(dialog, confirmed ? IDOK : IDCANCEL);
}

INT_PTR CALLBACK select_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: select_start(dialog); return FALSE; // the focus is set
    case WM_TIMER:
        if (wparam == k_refresh_timer) select_refresh(dialog);
        if (wparam == k_blink_timer) select_blink();
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case k_list: select_row(dialog); return TRUE;
        case IDOK: select_end(dialog, true); return TRUE;
        case IDCANCEL: select_end(dialog, false); return TRUE;
        default: return FALSE;
        }
    case WM_DESTROY:
        // Rows left by an end other than OK or Cancel.
        free_rows(GetDlgItem(dialog, k_list));
        return FALSE;
    default: return FALSE;
    }
}

// Counts the tokens that answer (free or held elsewhere); *ending gets the
// status that ended the enumeration.
int count_tokens(DWORD *ending) {
    int n = 0;
    DWORD r = quvaapi::OpenDevice(g_select.scan, QUVA_OPEN_FIRST | g_select.open_flags, g_select.open_param);
    while (r == k_ok || r == k_in_use) {
        n++;
        quvaapi::CloseDevice(g_select.scan);
        r = quvaapi::OpenDevice(g_select.scan, QUVA_OPEN_NEXT | g_select.open_flags, g_select.open_param);
    }
    quvaapi::CloseDevice(g_select.scan);
    *ending = r;
    return n;
}

// -------------------------------------------------------------------- wait

struct WaitState {
    QUVA_CONTEXT context;
    DWORD direction; // WAIT_INSERT, WAIT_REMOVE, both or neither
    DWORD mode;      // 0 any token, 2 one particular token
    LPVOID open_param;
    LPCSTR title, prompt;
    DWORD remaining; // seconds (or poll ticks) left; k_no_limit: none
};
WaitState g_wait;
DWORD g_wait_led = LED_TOGGLE_START;
// Counts blink ticks to whole seconds; library-wide, carried from one dialog
// run to the next.
int g_wait_ticks = 0;

// The open that asks whether the awaited token is still there.  "Any token"
// asks for the first one: the next-token open would step past the token
// already open and call it removed while it is still plugged in.
DWORD removal_mode() { return g_wait.mode == 0 ? QUVA_OPEN_FIRST : g_wait.mode; }

bool wait_present() {
    QUVA_CONTEXT c = g_wait.context;
    bool met = false;
    if (g_wait.direction == WAIT_INSERT) {
        DWORD r = quvaapi::OpenDevice(c, g_wait.mode | QUVA_OPEN_FIRST, g_wait.open_param);
        for (int tries = 0; r == k_in_use && tries < k_max_busy_retries; tries++)
            r = quvaapi::OpenDevice(c, g_wait.mode, g_wait.open_param);
        met = r == k_ok;
    } else if (g_wait.direction == WAIT_REMOVE) {
        DWORD r = quvaapi::OpenDevice(c, removal_mode(), g_wait.open_param);
        met = r == k_not_found || r == k_removed;
    }
    if (!met || g_wait.direction == WAIT_REMOVE) quvaapi::CloseDevice(c);
    return met;
}

// Reopens the awaited token and puts its LED to rest, if it is still there.
void wait_rest_led() {
    if (quvaapi::OpenDevice(g_wait.context, removal_mode(), g_wait.open_param) == k_ok)
        quvaapi::SetProperty(g_wait.context, QUVA_PROP_LED_ON, 0, 0, 0);
}

void wait_start(HWND dialog) {
    set_text(dialog, IDCANCEL, k_str_cancel);
    if (g_wait.direction == WAIT_INSERT) {
        set_caption(dialog, k_str_insert_caption);
        set_text(dialog, k_prompt, k_str_insert_text);
    } else if (g_wait.direction == WAIT_REMOVE) {
        set_caption(dialog, k_str_remove_caption);
        set_text(dialog, k_prompt, k_str_remove_text);
    }
    if (g_wait.title) SetWindowTextA(dialog, g_wait.title);
    if (g_wait.prompt) SetDlgItemTextA(dialog, k_prompt, g_wait.prompt);
    centre_dialog(ui_window_params.parent, dialog);
    if (g_wait.direction & WAIT_REMOVE)
        SetTimer(dialog, k_blink_timer, k_blink_ms, nullptr);
    else
        SetTimer(dialog, k_refresh_timer, k_poll_ms, nullptr);
    make_topmost(dialog);
}

void wait_removal_tick(HWND dialog) {
    if (++g_wait_ticks >= 4) {
        g_wait_ticks = 0;
        if (g_wait.remaining != k_no_limit && --g_wait.remaining == 0) {
            wait_rest_led();
            KillTimer(dialog, k_blink_timer);
            EndDialog(dialog, IDCANCEL);
            return;
        }
    }
    led_next_state(&g_wait_led);
    DWORD r = quvaapi::OpenDevice(g_wait.context, removal_mode(), g_wait.open_param);
    if (r == k_ok) quvaapi::SetProperty(g_wait.context, g_wait_led, 0, 0, 0);
    if (r == k_not_found || r == k_removed) {
        wait_rest_led();
        quvaapi::CloseDevice(g_wait.context);
        KillTimer(dialog, k_blink_timer);
        EndDialog(dialog, IDOK);
    }
}

void wait_poll_tick(HWND dialog) {
    if (wait_present()) {
        KillTimer(dialog, k_refresh_timer);
        EndDialog(dialog, IDOK);
        return;
    }
    if (g_wait.remaining != k_no_limit && --g_wait.remaining == 0) {
        KillTimer(dialog, k_refresh_timer);
        EndDialog(dialog, IDCANCEL);
    }
}

INT_PTR CALLBACK wait_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: wait_start(dialog); return TRUE;
    case WM_TIMER:
        if (wparam == k_blink_timer) wait_removal_tick(dialog);
        if (wparam == k_refresh_timer) wait_poll_tick(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) != IDCANCEL) return FALSE;
        if (g_wait.direction & WAIT_REMOVE) wait_rest_led();
        KillTimer(dialog, (g_wait.direction & WAIT_REMOVE) ? k_blink_timer : k_refresh_timer);
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    default: return FALSE;
    }
}

} // namespace

extern "C" DWORD WINAPI quvaUI_DlgSelectDeviceA(QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt,
                                                LPVOID openParam) {
    if (!context || (flags & k_select_low_bits)) return k_invalid;
    g_select.context = context;
    g_select.scan = nullptr;
    g_select.open_flags = flags & ~(SELECT_SHOW_SERIAL | k_select_low_bits);
    g_select.open_param = openParam;
    g_select.show_serial = (flags & SELECT_SHOW_SERIAL) != 0;
    g_select.title = title;
    g_select.prompt = prompt;
    g_select.parent = ui_window_params.parent ? ui_window_params.parent : GetDesktopWindow();
    std::memset(g_select.selected, 0, sizeof g_select.selected);
    g_select.has_selection = FALSE;

    InitializeCriticalSection(&g_select.lock);
    quvaapi::CloseDevice(context);
    // A failure leaves the scanning context null; the first open then says 17.
    quvaapi::CreateContext(&g_select.scan, 0, 512);

    DWORD result;
    DWORD ending = k_ok;
    int n = count_tokens(&ending);
    if (n == 0) {
        result = ending;
    } else if (n == 1) {
        result = quvaapi::OpenDevice(context, g_select.open_flags | QUVA_OPEN_FIRST, openParam);
    } else {
        INT_PTR r = DialogBoxParamA((HINSTANCE)quva_module(), MAKEINTRESOURCEA(k_select_template), g_select.parent,
                                    select_proc, 0);
        result = dialog_result(r);
    }
    if (g_select.scan) quvaapi::DeleteContext(g_select.scan);
    g_select.scan = nullptr;
    DeleteCriticalSection(&g_select.lock);
    return result;
}

extern "C" DWORD WINAPI quvaUI_DlgWaitForDeviceA(QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt,
                                                 LPVOID openParam, DWORD count) {
    const DWORD direction = flags & k_wait_direction;
    const DWORD mode = flags & ~(k_wait_direction | 1u);
    if (!context || count == 0 || (flags & k_wait_rejected)) return k_invalid;
    if (direction != 0 && mode != 0 && mode != QUVA_OPEN_LAST) return k_invalid;
    g_wait.context = context;
    g_wait.direction = direction;
    g_wait.mode = mode;
    g_wait.open_param = openParam;
    g_wait.title = title;
    g_wait.prompt = prompt;
    g_wait.remaining = count;
    if (wait_present()) return k_ok;
    INT_PTR r = DialogBoxParamA((HINSTANCE)quva_module(), MAKEINTRESOURCEA(k_wait_template), GetDesktopWindow(),
                                wait_proc, 0);
    return dialog_result(r);
}
