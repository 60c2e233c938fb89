// The PIN, new PIN, change PIN and token name dialogs.
#include "quva_common.h"
#include "quvaui.h"
#include "ui_internal.h"

#include <cstring>

namespace {

const int k_template_get = 3000, k_template_new = 3001, k_template_change = 3002, k_template_name = 3003;
const int k_prompt = 3100;                        // IDC_LABEL1
const int k_labels[3] = {3101, 3102, 3103};       // IDC_LABEL2..4
const int k_edits[3] = {3104, 3105, 3106};
const UINT k_string_ok = 107, k_string_cancel = 108;

const DWORD k_max_buffer = 128;
// A field holds at most 2 * 128 characters plus the terminator; the check of
// a new secret reads up to 259 characters of each field.
const int k_check_room = 260;
const int k_entry_room = 260;
const int k_name_max = 32;
const int k_text_room = 512; // any caption, prompt or message of the table
const DWORD k_failed = QUVA_ERR_NOT_ENOUGH_MEMORY;

enum class Pin { Get, New, Change };

// One PIN dialog kind's state: filled by its export before the dialog runs.
struct PinDialog {
    Pin which;
    int template_id;
    QUVA_CONTEXT context;
    HWND parent;
    LPCSTR title, prompt;
    int fields;            // entry fields 3104... in use
    DWORD min_length[3];   // per field
    int capacity[3];       // per field: characters with the terminator
    DWORD kind;            // kind field of the (new) flags word
    DWORD cls;             // effective class of the (new) flags word
    bool plain;
    DWORD led_state;       // survives between calls
    char entry[2][k_entry_room];
};

PinDialog g_get = {Pin::Get, k_template_get, nullptr, nullptr, nullptr, nullptr, 1, {}, {}, 0, 0, false,
                   LED_TOGGLE_START, {}};
PinDialog g_new = {Pin::New, k_template_new, nullptr, nullptr, nullptr, nullptr, 2, {}, {}, 0, 0, false,
                   LED_TOGGLE_START, {}};
PinDialog g_change = {Pin::Change, k_template_change, nullptr, nullptr, nullptr, nullptr, 3, {}, {}, 0, 0, false,
                      LED_TOGGLE_START, {}};

struct NameDialog {
    QUVA_CONTEXT context;
    HWND parent;
    LPCSTR title, prompt;
    int limit;             // characters the field takes
    DWORD led_state;
    char name[k_name_max + 1];
};
NameDialog g_name = {nullptr, nullptr, nullptr, nullptr, 0, LED_TOGGLE_START, {}};

// Zeroing that the compiler may not drop as a dead store.
void wipe(void *p, size_t n) {
    volatile unsigned char *b = static_cast<volatile unsigned char *>(p);
    while (n--) *b++ = 0;
}

void wipe_entries(PinDialog &d) { wipe(d.entry, sizeof d.entry); }

HWND dialog_parent() { return ui_window_params.parent ? ui_window_params.parent : GetDesktopWindow(); }

// ---- flags ----

DWORD effective_class(DWORD flags) {
    DWORD cls = flags & PIN_CLASS_MASK;
    if (flags & PIN_BINARY) {
        cls &= ~PIN_CLASS_ALPHA;
        if (!(cls & (PIN_CLASS_NUMERIC | PIN_CLASS_HEX | PIN_CLASS_PACKED))) cls = PIN_CLASS_HEX;
    }
    return cls;
}

// Characters with the terminator a field takes for a buffer of `length` bytes.
int capacity_of(DWORD flags, DWORD length) { return (flags & PIN_BINARY) ? (int)(2 * length + 1) : (int)length; }

// A text needs room for one character and its terminator, an encoded entry
// for one byte; anything smaller could take no entry at all.
bool too_small(DWORD flags, DWORD length) { return length < ((flags & PIN_BINARY) ? 1u : 2u); }

BYTE encode_mode(DWORD flags, DWORD cls) {
    return (BYTE)(((flags & (PIN_WORDS | PIN_BINARY)) | cls) >> 24);
}

// Index of the class in the prompt and message columns: 0 any, 1 numeric
// or packed, 2 alphabetical, 3 alphanumeric, 4 hexadecimal.
int class_column(DWORD cls) {
    switch (cls) {
    case PIN_CLASS_NUMERIC:
    case PIN_CLASS_PACKED: return 1;
    case PIN_CLASS_ALPHA: return 2;
    case PIN_CLASS_ALNUM: return 3;
    case PIN_CLASS_HEX: return 4;
    default: return 0;
    }
}

bool in_class(char ch, int column) {
    unsigned char c = (unsigned char)ch;
    bool digit = c >= '0' && c <= '9';
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    bool hex = digit || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    switch (column) {
    case 1: return digit;
    case 2: return letter;
    case 3: return digit || letter;
    case 4: return hex;
    default: return true;
    }
}

// ---- texts ----

// String ids of one dialog kind for one secret kind.
struct Texts {
    UINT caption;
    UINT labels[3];
    UINT prompts[5]; // by class column; get dialog: prompts[0] only
};

Texts texts_for(Pin which, DWORD kind) {
    switch (which) {
    case Pin::Get:
        switch (kind) {
        case PIN_KIND_PASSWORD: return {66, {68}, {67}};
        case PIN_KIND_UNBLOCK: return {3, {5}, {4}};
        case PIN_KIND_SO: return {26, {28}, {27}};
        case PIN_KIND_USER: return {6, {8}, {7}};
        default: return {46, {48}, {47}};
        }
    case Pin::New:
        switch (kind) {
        case PIN_KIND_PASSWORD: return {69, {70, 71}, {72, 73, 74, 75, 76}};
        case PIN_KIND_SO: return {29, {30, 31}, {32, 33, 34, 35, 36}};
        case PIN_KIND_USER: return {9, {10, 11}, {12, 13, 14, 15, 16}};
        default: return {49, {50, 51}, {52, 53, 54, 55, 56}};
        }
    case Pin::Change:
        switch (kind) {
        // The table holds this group's numeric and alphabetical texts the
        // other way round; the choice follows what the text says.
        case PIN_KIND_PASSWORD: return {77, {78, 79, 80}, {81, 83, 82, 84, 85}};
        case PIN_KIND_SO: return {37, {38, 39, 40}, {41, 42, 43, 44, 45}};
        case PIN_KIND_USER: return {17, {18, 19, 20}, {21, 22, 23, 24, 25}};
        default: return {57, {58, 59, 60}, {61, 62, 63, 64, 65}};
        }
    }
    return {};
}

void set_text_from_table(HWND dialog, int control, UINT id) {
    char text[k_text_room];
    load_ui_string(id, text, sizeof text);
    SetDlgItemTextA(dialog, control, text);
}

// OK and Cancel labels, caller's overrides, placement over the parent.
void finish_texts(HWND dialog, HWND parent, LPCSTR title, LPCSTR prompt) {
    if (title) SetWindowTextA(dialog, title);
    if (prompt) SetDlgItemTextA(dialog, k_prompt, prompt);
    centre_dialog(parent, dialog);
}

void start_common(HWND dialog, QUVA_CONTEXT context) {
    if (context) SetTimer(dialog, LED_TIMER_ID, LED_TIMER_MS, nullptr);
    if (ui_window_params.topmost) SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void end_dialog(HWND dialog, QUVA_CONTEXT context, INT_PTR result) {
    KillTimer(dialog, LED_TIMER_ID);
    led_rest(context);
    EndDialog(dialog, result);
}

// ---- the PIN dialogs ----

void pin_init(PinDialog &d, HWND dialog) {
    set_text_from_table(dialog, IDOK, k_string_ok);
    set_text_from_table(dialog, IDCANCEL, k_string_cancel);
    Texts t = texts_for(d.which, d.kind);
    char text[k_text_room];
    load_ui_string(t.caption, text, sizeof text);
    SetWindowTextA(dialog, text);
    for (int i = 0; i < d.fields; i++) set_text_from_table(dialog, k_labels[i], t.labels[i]);
    if (d.which == Pin::Get) {
        set_text_from_table(dialog, k_prompt, t.prompts[0]);
    } else {
        char format[k_text_room];
        load_ui_string(t.prompts[class_column(d.cls)], format, sizeof format);
        // The new secret's field: the last one.
        wsprintfA(text, format, (int)d.min_length[d.fields - 1], d.capacity[d.fields - 1] - 1);
        SetDlgItemTextA(dialog, k_prompt, text);
    }
    finish_texts(dialog, d.parent, d.title, d.prompt);
    for (int i = 0; i < d.fields; i++) {
        SendDlgItemMessageA(dialog, k_edits[i], EM_SETPASSWORDCHAR, d.plain ? 0 : '*', 0);
        SendDlgItemMessageA(dialog, k_edits[i], EM_LIMITTEXT, (WPARAM)(d.capacity[i] - 1), 0);
    }
    EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
    SetFocus(GetDlgItem(dialog, k_edits[0]));
    start_common(dialog, d.context);
}

void pin_update_ok(PinDialog &d, HWND dialog) {
    bool enough = true;
    for (int i = 0; i < d.fields; i++)
        if ((DWORD)GetWindowTextLengthA(GetDlgItem(dialog, k_edits[i])) < d.min_length[i]) enough = false;
    EnableWindow(GetDlgItem(dialog, IDOK), enough);
}

// The message id for a refused new secret, 0 when it is accepted.
UINT check_new_secret(PinDialog &d, HWND dialog) {
    const int n_field = d.fields - 2, c_field = d.fields - 1;
    const DWORD min = d.min_length[c_field];
    char n[k_check_room], c[k_check_room];
    GetDlgItemTextA(dialog, k_edits[n_field], n, sizeof n);
    GetDlgItemTextA(dialog, k_edits[c_field], c, sizeof c);
    const bool password = (d.kind & PIN_KIND_PASSWORD) != 0;
    // The class messages follow the mismatch message in column order.
    const UINT mismatch = password ? 86 : 91;
    UINT result = 0;
    size_t n_len = std::strlen(n), c_len = std::strlen(c);
    if (n_len == 0 || c_len == 0 || n_len < min || c_len < min || std::strcmp(n, c) != 0) {
        result = mismatch;
    } else {
        int column = class_column(d.cls);
        for (size_t i = 0; i < n_len && column; i++)
            if (!in_class(n[i], column)) {
                result = mismatch + (UINT)column;
                break;
            }
    }
    wipe(n, sizeof n);
    wipe(c, sizeof c);
    return result;
}

void refuse_entry(HWND dialog, UINT message, int fields) {
    char caption[k_text_room], text[k_text_room];
    GetWindowTextA(dialog, caption, sizeof caption);
    load_ui_string(message, text, sizeof text);
    MessageBoxA(dialog, text, caption, MB_ICONEXCLAMATION | MB_OK);
    for (int i = 0; i < fields; i++) SetDlgItemTextA(dialog, k_edits[i], "");
    EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
    SetFocus(GetDlgItem(dialog, k_edits[0]));
}

void pin_confirm(PinDialog &d, HWND dialog) {
    if (d.which != Pin::Get) {
        if (UINT message = check_new_secret(d, dialog)) {
            refuse_entry(dialog, message, d.fields);
            return;
        }
    }
    KillTimer(dialog, LED_TIMER_ID);
    switch (d.which) {
    case Pin::Get: GetDlgItemTextA(dialog, k_edits[0], d.entry[0], d.capacity[0]); break;
    case Pin::New: GetDlgItemTextA(dialog, k_edits[1], d.entry[0], d.capacity[1]); break;
    case Pin::Change:
        GetDlgItemTextA(dialog, k_edits[0], d.entry[0], d.capacity[0]);
        GetDlgItemTextA(dialog, k_edits[1], d.entry[1], d.capacity[1]);
        break;
    }
    end_dialog(dialog, d.context, IDOK);
}

INT_PTR pin_proc(PinDialog &d, HWND dialog, UINT message, WPARAM wparam) {
    switch (message) {
    case WM_INITDIALOG: pin_init(d, dialog); return FALSE; // the focus is set
    case WM_TIMER:
        if (wparam == LED_TIMER_ID) led_blink(d.context, &d.led_state);
        return TRUE;
    case WM_COMMAND: {
        int id = LOWORD(wparam);
        for (int i = 0; i < d.fields; i++)
            if (id == k_edits[i]) {
                pin_update_ok(d, dialog);
                return TRUE;
            }
        if (id == IDOK) {
            pin_confirm(d, dialog);
            return TRUE;
        }
        if (id == IDCANCEL) {
            end_dialog(dialog, d.context, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    }
    }
    return FALSE;
}

INT_PTR CALLBACK get_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    return pin_proc(g_get, dialog, message, wparam);
}
INT_PTR CALLBACK new_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    return pin_proc(g_new, dialog, message, wparam);
}
INT_PTR CALLBACK change_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    return pin_proc(g_change, dialog, message, wparam);
}

// Runs the kind's dialog: 0 confirmed, 25 cancelled, 16 not shown.
DWORD run_pin_dialog(PinDialog &d, DLGPROC proc) {
    INT_PTR r = DialogBoxParamA((HINSTANCE)quva_module(), MAKEINTRESOURCEA(d.template_id), d.parent, proc, 0);
    if (r == IDOK) return QUVA_OK;
    if (r == IDCANCEL) return QUVA_ERR_ABORTED;
    return k_failed;
}

// Copies or encodes one confirmed entry into the caller's buffer.
DWORD return_entry(const char *entry, DWORD flags, BYTE mode, LPBYTE buffer, DWORD size) {
    if (flags & PIN_BINARY) return encode_entry(mode, entry, buffer, size);
    size_t n = std::strlen(entry); // below size: the field is limited to size - 1
    std::memcpy(buffer, entry, n + 1);
    return (DWORD)n;
}

// The checks and set-up the get and new dialogs share; 0 to go on.
DWORD check_single(DWORD flags, DWORD invalid, LPBYTE buffer, LPDWORD length) {
    if (!buffer || !length) return QUVA_ERR_INVALID_PARAMETER;
    if (*length > k_max_buffer) return QUVA_ERR_INVALID_PARAMETER;
    std::memset(buffer, 0, *length);
    if ((flags & invalid) || ((flags & PIN_WORDS) && *length % 4) || too_small(flags, *length)) {
        *length = 0;
        return QUVA_ERR_INVALID_PARAMETER;
    }
    return QUVA_OK;
}

void prepare(PinDialog &d, QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt) {
    d.context = context;
    d.parent = dialog_parent();
    d.title = title;
    d.prompt = prompt;
    d.kind = flags & PIN_KIND_MASK;
    d.cls = effective_class(flags);
    d.plain = (flags & PIN_PLAIN) != 0;
    wipe_entries(d);
}

DWORD single_pin(PinDialog &d, DLGPROC proc, QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt,
                 DWORD min_length, LPBYTE buffer, LPDWORD length, DWORD invalid) {
    if (DWORD e = check_single(flags, invalid, buffer, length)) return e;
    prepare(d, context, flags, title, prompt);
    for (int i = 0; i < d.fields; i++) {
        d.min_length[i] = min_length;
        d.capacity[i] = capacity_of(flags, *length);
    }
    DWORD result = run_pin_dialog(d, proc);
    if (result == QUVA_OK) {
        // The new dialog always encodes as hexadecimal.
        BYTE mode = d.which == Pin::New ? encode_mode(flags, PIN_CLASS_MASK) : encode_mode(flags, d.cls);
        *length = return_entry(d.entry[0], flags, mode, buffer, *length);
    } else {
        *length = 0;
    }
    wipe_entries(d);
    return result;
}

// ---- the name dialog ----

void name_init(HWND dialog) {
    NameDialog &d = g_name;
    set_text_from_table(dialog, IDOK, k_string_ok);
    set_text_from_table(dialog, IDCANCEL, k_string_cancel);
    char text[k_text_room], format[k_text_room];
    load_ui_string(0, text, sizeof text);
    SetWindowTextA(dialog, text);
    set_text_from_table(dialog, k_labels[0], 1);
    load_ui_string(2, format, sizeof format);
    wsprintfA(text, format, d.limit);
    SetDlgItemTextA(dialog, k_prompt, text);
    finish_texts(dialog, d.parent, d.title, d.prompt);
    HWND edit = GetDlgItem(dialog, k_edits[0]);
    SetWindowTextA(edit, d.name);
    // A limit of 0 would mean no limit at all; such a field keeps nothing.
    SendMessageA(edit, EM_LIMITTEXT, (WPARAM)(d.limit > 0 ? d.limit : 1), 0);
    SetFocus(edit);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    start_common(dialog, d.context);
}

INT_PTR CALLBACK name_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    NameDialog &d = g_name;
    switch (message) {
    case WM_INITDIALOG: name_init(dialog); return FALSE;
    case WM_TIMER:
        if (wparam == LED_TIMER_ID) led_blink(d.context, &d.led_state);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK) {
            KillTimer(dialog, LED_TIMER_ID);
            std::memset(d.name, 0, sizeof d.name);
            GetDlgItemTextA(dialog, k_edits[0], d.name, d.limit + 1);
            led_rest(d.context);
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wparam) == IDCANCEL) {
            end_dialog(dialog, d.context, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

} // namespace

extern "C" DWORD WINAPI quvaUI_DlgGetPINA(QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt,
                                          DWORD minLength, LPBYTE pinBuffer, LPDWORD pinLength) {
    return single_pin(g_get, get_proc, context, flags, title, prompt, minLength, pinBuffer, pinLength,
                      PIN_INVALID_GET);
}

extern "C" DWORD WINAPI quvaUI_DlgNewPINA(QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt,
                                          DWORD minLength, LPBYTE pinBuffer, LPDWORD pinLength) {
    return single_pin(g_new, new_proc, context, flags, title, prompt, minLength, pinBuffer, pinLength,
                      PIN_INVALID_NEW);
}

extern "C" DWORD WINAPI quvaUI_DlgChangePINA(QUVA_CONTEXT context, DWORD currentFlags, DWORD newFlags, LPCSTR title,
                                             LPCSTR prompt, DWORD minCurrentLength, LPBYTE currentBuffer,
                                             LPDWORD currentLength, DWORD minNewLength, LPBYTE newBuffer,
                                             LPDWORD newLength) {
    if (!currentBuffer || !currentLength || *currentLength > k_max_buffer) return QUVA_ERR_INVALID_PARAMETER;
    if (!newBuffer || !newLength || *newLength > k_max_buffer) return QUVA_ERR_INVALID_PARAMETER;
    std::memset(currentBuffer, 0, *currentLength);
    std::memset(newBuffer, 0, *newLength);
    auto refused = [](DWORD flags, DWORD length) {
        return (flags & PIN_INVALID_NEW) || ((flags & PIN_WORDS) && length % 4) || too_small(flags, length);
    };
    if (refused(currentFlags, *currentLength) || refused(newFlags, *newLength)) {
        *currentLength = 0;
        *newLength = 0;
        return QUVA_ERR_INVALID_PARAMETER;
    }
    PinDialog &d = g_change;
    prepare(d, context, newFlags, title, prompt);
    d.plain = ((currentFlags | newFlags) & PIN_PLAIN) != 0;
    d.min_length[0] = minCurrentLength;
    d.min_length[1] = d.min_length[2] = minNewLength;
    d.capacity[0] = capacity_of(currentFlags, *currentLength);
    d.capacity[1] = d.capacity[2] = capacity_of(newFlags, *newLength);
    DWORD result = run_pin_dialog(d, change_proc);
    if (result == QUVA_OK) {
        *currentLength = return_entry(d.entry[0], currentFlags, encode_mode(currentFlags, effective_class(currentFlags)),
                                      currentBuffer, *currentLength);
        *newLength = return_entry(d.entry[1], newFlags, encode_mode(newFlags, d.cls), newBuffer, *newLength);
    } else {
        *currentLength = 0;
        *newLength = 0;
    }
    wipe_entries(d);
    return result;
}

extern "C" DWORD WINAPI quvaUI_DlgGetTokenNameA(QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt,
                                                LPSTR nameBuffer, DWORD nameSize) {
    if (!nameBuffer || nameSize == 0 || flags != 0) return QUVA_ERR_INVALID_PARAMETER;
    NameDialog &d = g_name;
    d.context = context;
    d.parent = dialog_parent();
    d.title = title;
    d.prompt = prompt;
    d.limit = nameSize - 1 < (DWORD)k_name_max ? (int)(nameSize - 1) : k_name_max;
    // The current name as far as the field takes it, read no further than
    // the caller's buffer reaches.
    std::memset(d.name, 0, sizeof d.name);
    for (int i = 0; i < d.limit && nameBuffer[i]; i++) d.name[i] = nameBuffer[i];
    INT_PTR r = DialogBoxParamA((HINSTANCE)quva_module(), MAKEINTRESOURCEA(k_template_name), d.parent, name_proc, 0);
    DWORD result = r == IDOK ? QUVA_OK : r == IDCANCEL ? QUVA_ERR_ABORTED : k_failed;
    if (result == QUVA_OK) std::memcpy(nameBuffer, d.name, std::strlen(d.name) + 1);
    wipe(d.name, sizeof d.name);
    return result;
}
