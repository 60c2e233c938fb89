// The predefined controls: "Edit", "Static", "Button" and "ListBox", and the
// common controls' progress bar, each a window class with its own procedure
// and its state kept here by window.
// Notifications go to the parent as WM_COMMAND(MAKEWPARAM(id, code), hwnd),
// sent without the lock held, as the parent may do anything in return.
#include "controls.h"

#include "threads.h"

#include <commctrl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

namespace winsim {
namespace controls {
namespace {

constexpr int kDefaultLimit = 30000; // a new edit's text limit

struct Row {
    std::string text;
    LPARAM data = 0;
};

struct Control {
    enum Kind { Edit, Static, Button, ListBox, Progress } kind = Static;
    // Edit
    std::string text;
    int limit = kDefaultLimit;
    bool limit_set = false;
    char password = 0;
    int sel_start = 0, sel_end = 0;
    bool modified = false;
    // Static
    HICON icon = nullptr;
    // Button
    int check = BST_UNCHECKED;
    // ListBox
    std::vector<Row> rows;
    int current = -1;
    // Progress bar: comctl32's defaults
    int low = 0, high = 100, pos = 0, step = 10;
};

std::map<HWND, Control> &all() {
    static auto *m = new std::map<HWND, Control>; // parked threads may outlive static destruction
    return *m;
}

// Hold the lock.
Control *find(HWND h) {
    auto it = all().find(h);
    return it == all().end() ? nullptr : &it->second;
}

DWORD style_of(HWND h) { return (DWORD)GetWindowLongA(h, GWL_STYLE); }

void notify(HWND h, WORD code) {
    WindowView v;
    if (!view_window(h, &v) || !v.parent) return;
    SendMessageA(v.parent, WM_COMMAND, MAKEWPARAM((WORD)v.id, code), (LPARAM)h);
}

// Copies text into a WM_GETTEXT buffer of `size` characters.
LRESULT copy_text(const std::string &text, WPARAM size, LPARAM buffer) {
    if (!size || !buffer) return 0;
    size_t n = std::min(text.size(), (size_t)size - 1);
    std::memcpy((LPSTR)buffer, text.data(), n);
    ((LPSTR)buffer)[n] = '\0';
    return (LRESULT)n;
}

void created(HWND h, Control::Kind kind, const CREATESTRUCTA *cs) {
    WINSIM_LOCK();
    Control &c = all()[h];
    c = Control();
    c.kind = kind;
    if (kind == Control::Edit) {
        if (cs && cs->lpszName && !IS_INTRESOURCE(cs->lpszName)) c.text = cs->lpszName;
        if (cs && (cs->style & ES_PASSWORD)) c.password = '*';
    }
}

LRESULT destroyed(HWND h, UINT m, WPARAM w, LPARAM l) {
    {
        WINSIM_LOCK();
        all().erase(h);
    }
    return DefWindowProcA(h, m, w, l);
}

// ------------------------------------------------------------------- edit

// Keeps the window text (what other threads and the window list read) equal
// to the edit's own text.
void mirror(HWND h) {
    std::string text;
    {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return;
        text = c->text;
    }
    DefWindowProcA(h, WM_SETTEXT, 0, (LPARAM)text.c_str());
}

void changed(HWND h) {
    mirror(h);
    notify(h, EN_UPDATE);
    notify(h, EN_CHANGE);
}

void edit_char(HWND h, unsigned char ch) {
    DWORD style = style_of(h);
    bool multiline = (style & ES_MULTILINE) != 0;
    bool beep = false, max_text = false, change = false;
    {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return;
        int a = std::min(c->sel_start, c->sel_end), b = std::max(c->sel_start, c->sel_end);
        if (ch == '\b') {
            if (style & ES_READONLY) {
                beep = true;
            } else if (a < b) {
                c->text.erase((size_t)a, (size_t)(b - a));
                change = true;
            } else if (a > 0) {
                c->text.erase((size_t)--a, 1);
                change = true;
            }
            c->sel_start = c->sel_end = a;
        } else if (ch < 0x20 && !(multiline && ch == '\r')) {
            return; // other control characters do nothing in an edit
        } else if ((style & ES_READONLY) || ((style & ES_NUMBER) && !std::isdigit(ch))) {
            beep = true;
        } else {
            std::string insert = ch == '\r' ? std::string("\r\n") : std::string(1, (char)ch);
            if (style & ES_UPPERCASE) insert[0] = (char)std::toupper(ch);
            if (style & ES_LOWERCASE) insert[0] = (char)std::tolower(ch);
            // The limit holds for what the user types; extra characters are dropped.
            if (c->text.size() - (size_t)(b - a) + insert.size() > (size_t)c->limit) {
                beep = max_text = true;
            } else {
                c->text.replace((size_t)a, (size_t)(b - a), insert);
                c->sel_start = c->sel_end = a + (int)insert.size();
                change = true;
            }
        }
        if (change) c->modified = true;
    }
    if (beep) MessageBeep(MB_OK);
    if (max_text) notify(h, EN_MAXTEXT);
    if (change) changed(h);
}

LRESULT CALLBACK edit_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
    case WM_NCCREATE: {
        LRESULT r = DefWindowProcA(h, m, w, l);
        created(h, Control::Edit, (const CREATESTRUCTA *)l);
        return r;
    }
    case WM_NCDESTROY: return destroyed(h, m, w, l);
    case WM_SETTEXT: {
        {
            WINSIM_LOCK();
            Control *c = find(h);
            if (!c) return FALSE;
            c->text = l ? (LPCSTR)l : "";
            c->sel_start = c->sel_end = 0;
            c->modified = false;
        }
        // A multi-line edit does not report text set by the program.
        if (style_of(h) & ES_MULTILINE)
            mirror(h);
        else
            changed(h);
        return TRUE;
    }
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH: {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return 0;
        return m == WM_GETTEXT ? copy_text(c->text, w, l) : (LRESULT)c->text.size();
    }
    case WM_CHAR: edit_char(h, (unsigned char)w); return 0;
    case WM_SETFOCUS: notify(h, EN_SETFOCUS); return 0;
    case WM_KILLFOCUS: notify(h, EN_KILLFOCUS); return 0;
    case EM_LIMITTEXT: {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return 0;
        bool nt = M().profile->nt();
        // 0 lifts the limit as far as the system allows; 9x caps single-line edits.
        long v = (long)w == 0 ? (nt ? 0x7FFFFFFE : 0x7FFE) : (long)std::min<WPARAM>(w, 0x7FFFFFFE);
        if (!nt && v > 0x7FFE && !(style_of(h) & ES_MULTILINE)) v = 0x7FFE;
        c->limit = (int)v;
        c->limit_set = true;
        return 0;
    }
    case EM_GETLIMITTEXT: {
        WINSIM_LOCK();
        Control *c = find(h);
        return c ? c->limit : 0;
    }
    case EM_SETPASSWORDCHAR: {
        {
            WINSIM_LOCK();
            Control *c = find(h);
            if (!c) return 0;
            c->password = (char)w;
        }
        DWORD style = style_of(h);
        SetWindowLongA(h, GWL_STYLE, (LONG)(w ? style | ES_PASSWORD : style & ~(DWORD)ES_PASSWORD));
        return 0;
    }
    case EM_GETPASSWORDCHAR: {
        WINSIM_LOCK();
        Control *c = find(h);
        return c ? (unsigned char)c->password : 0;
    }
    case EM_SETSEL: {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return 0;
        int len = (int)c->text.size(), s = (int)w, e = (int)l;
        if (s == -1) { // deselects, the caret stays
            c->sel_start = c->sel_end;
            return 0;
        }
        if (s < 0 || s > len) s = len;
        if (e < 0 || e > len) e = len;
        c->sel_start = std::min(s, e);
        c->sel_end = std::max(s, e);
        return 0;
    }
    case EM_GETSEL: {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return 0;
        DWORD s = (DWORD)std::min(c->sel_start, c->sel_end), e = (DWORD)std::max(c->sel_start, c->sel_end);
        if (w) *(LPDWORD)w = s;
        if (l) *(LPDWORD)l = e;
        return s > 0xFFFF || e > 0xFFFF ? -1 : (LRESULT)MAKELONG(s, e);
    }
    case EM_REPLACESEL: {
        bool change = false;
        {
            WINSIM_LOCK();
            Control *c = find(h);
            if (!c) return 0;
            std::string insert = l ? (LPCSTR)l : "";
            int a = std::min(c->sel_start, c->sel_end), b = std::max(c->sel_start, c->sel_end);
            size_t room = (size_t)c->limit - std::min((size_t)c->limit, c->text.size() - (size_t)(b - a));
            if (insert.size() > room) insert.resize(room);
            c->text.replace((size_t)a, (size_t)(b - a), insert);
            c->sel_start = c->sel_end = a + (int)insert.size();
            change = true;
        }
        if (change) changed(h);
        return 0;
    }
    case EM_GETMODIFY:
    case EM_SETMODIFY: {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return 0;
        if (m == EM_SETMODIFY) c->modified = w != 0;
        return c->modified;
    }
    case EM_SETREADONLY: {
        DWORD style = style_of(h);
        SetWindowLongA(h, GWL_STYLE, (LONG)(w ? style | ES_READONLY : style & ~(DWORD)ES_READONLY));
        return TRUE;
    }
    case EM_GETLINECOUNT: {
        WINSIM_LOCK();
        Control *c = find(h);
        return c ? 1 + (LRESULT)std::count(c->text.begin(), c->text.end(), '\n') : 1;
    }
    default: return DefWindowProcA(h, m, w, l);
    }
}

// ----------------------------------------------------------------- static

LRESULT CALLBACK static_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
    case WM_NCCREATE: {
        auto *cs = (const CREATESTRUCTA *)l;
        bool icon = cs && (cs->style & SS_TYPEMASK) == SS_ICON;
        // An icon static names its icon resource in its text ("#1": an ordinal).
        std::string name = cs && cs->lpszName && !IS_INTRESOURCE(cs->lpszName) ? cs->lpszName : "";
        CREATESTRUCTA copy{};
        if (cs) copy = *cs;
        if (icon) copy.lpszName = "";
        LRESULT r = DefWindowProcA(h, m, w, cs ? (LPARAM)&copy : l);
        created(h, Control::Static, cs);
        if (icon && !name.empty()) {
            LPCSTR res = name[0] == '#' ? MAKEINTRESOURCEA(std::atoi(name.c_str() + 1)) : name.c_str();
            HICON loaded = LoadIconA(cs->hInstance, res);
            WINSIM_LOCK();
            if (Control *c = find(h)) c->icon = loaded;
        }
        return r;
    }
    case WM_NCDESTROY: return destroyed(h, m, w, l);
    case STM_SETICON:
    case STM_SETIMAGE: {
        if (m == STM_SETIMAGE && w != IMAGE_ICON) return 0;
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return 0;
        HICON old = c->icon;
        c->icon = (HICON)(m == STM_SETICON ? w : (WPARAM)l);
        return (LRESULT)old;
    }
    case STM_GETICON:
    case STM_GETIMAGE: {
        WINSIM_LOCK();
        Control *c = find(h);
        return c && (m == STM_GETICON || w == IMAGE_ICON) ? (LRESULT)c->icon : 0;
    }
    default: return DefWindowProcA(h, m, w, l);
    }
}

// ----------------------------------------------------------------- button

LRESULT CALLBACK button_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
    case WM_NCCREATE: {
        LRESULT r = DefWindowProcA(h, m, w, l);
        created(h, Control::Button, (const CREATESTRUCTA *)l);
        return r;
    }
    case WM_NCDESTROY: return destroyed(h, m, w, l);
    case BM_CLICK: {
        // A disabled button takes no clicks; a group box is no button to click.
        DWORD style = style_of(h);
        DWORD type = style & BS_TYPEMASK;
        if ((style & WS_DISABLED) || type == BS_GROUPBOX) return 0;
        if (GetFocus() != h) SetFocus(h);
        if (!IsWindow(h) || !IsWindowEnabled(h)) return 0;
        {
            WINSIM_LOCK();
            Control *c = find(h);
            if (c && (type == BS_AUTOCHECKBOX || type == BS_AUTO3STATE))
                c->check = type == BS_AUTO3STATE ? (c->check + 1) % 3 : !c->check;
            if (c && type == BS_AUTORADIOBUTTON) c->check = BST_CHECKED;
        }
        notify(h, BN_CLICKED);
        return 0;
    }
    case BM_GETCHECK: {
        WINSIM_LOCK();
        Control *c = find(h);
        return c ? c->check : 0;
    }
    case BM_SETCHECK: {
        WINSIM_LOCK();
        if (Control *c = find(h)) c->check = (int)w;
        return 0;
    }
    case BM_SETSTYLE: {
        DWORD style = style_of(h);
        SetWindowLongA(h, GWL_STYLE, (LONG)((style & 0xFFFF0000) | LOWORD(w)));
        return 0;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        if (style_of(h) & BS_NOTIFY) notify(h, m == WM_SETFOCUS ? BN_SETFOCUS : BN_KILLFOCUS);
        return 0;
    default: return DefWindowProcA(h, m, w, l);
    }
}

// --------------------------------------------------------------- list box

// Classes of characters in the order a case-insensitive sort puts them:
// blanks and controls, punctuation, digits, letters, then anything above 0x7F.
int weight(unsigned char c) {
    int cls = c >= 0x80 ? 4 : std::isalpha(c) ? 3 : std::isdigit(c) ? 2 : (c <= 0x20 || c == 0x7F) ? 0 : 1;
    return cls << 8 | (c < 0x80 ? std::tolower(c) : c);
}

int compare_weights(const std::string &a, const std::string &b, bool skip_marks) {
    size_t i = 0, j = 0;
    for (;;) {
        // Hyphens and apostrophes count only when the rest is the same ("word sort").
        if (skip_marks) {
            while (i < a.size() && (a[i] == '-' || a[i] == '\'')) i++;
            while (j < b.size() && (b[j] == '-' || b[j] == '\'')) j++;
        }
        if (i == a.size() || j == b.size()) return (i == a.size() ? 0 : 1) - (j == b.size() ? 0 : 1);
        int d = weight((unsigned char)a[i]) - weight((unsigned char)b[j]);
        if (d) return d < 0 ? -1 : 1;
        i++, j++;
    }
}

bool has_strings(DWORD style) {
    return !(style & (LBS_OWNERDRAWFIXED | LBS_OWNERDRAWVARIABLE)) || (style & LBS_HASSTRINGS);
}

// The row found from `start` + 1 on, wrapping around; LB_ERR when none.
LRESULT find_row(const Control &c, WPARAM start, LPCSTR text, bool exact) {
    int n = (int)c.rows.size();
    if (!n || !text) return LB_ERR;
    std::string want = text;
    int first = ((int)start < 0 || (int)start >= n) ? 0 : (int)start + 1;
    for (int k = 0; k < n; k++) {
        int i = (first + k) % n;
        const std::string &row = c.rows[(size_t)i].text;
        if (exact ? iequals(row, want) : (row.size() >= want.size() && iequals(row.substr(0, want.size()), want)))
            return i;
    }
    return LB_ERR;
}

LRESULT CALLBACK listbox_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
    case WM_NCCREATE: {
        LRESULT r = DefWindowProcA(h, m, w, l);
        created(h, Control::ListBox, (const CREATESTRUCTA *)l);
        return r;
    }
    case WM_NCDESTROY: return destroyed(h, m, w, l);
    case WM_SETFOCUS: notify(h, LBN_SETFOCUS); return 0;
    case WM_KILLFOCUS: notify(h, LBN_KILLFOCUS); return 0;
    default: break;
    }
    if (m < LB_ADDSTRING || m > LB_FINDSTRINGEXACT) return DefWindowProcA(h, m, w, l);
    DWORD style = style_of(h);
    WINSIM_LOCK();
    Control *c = find(h);
    if (!c) return LB_ERR;
    auto &rows = c->rows;
    int n = (int)rows.size();
    int index = (int)w;
    bool valid = index >= 0 && index < n;
    switch (m) {
    case LB_ADDSTRING:
    case LB_INSERTSTRING: {
        Row row;
        if (has_strings(style))
            row.text = l ? (LPCSTR)l : "";
        else
            row.data = l;
        int at;
        if (m == LB_INSERTSTRING) {
            if (index == -1) index = n;
            if (index < 0 || index > n) return LB_ERR;
            at = index;
        } else if ((style & LBS_SORT) && has_strings(style)) {
            at = n; // after the rows that sort equal
            while (at > 0 && compare_rows(rows[(size_t)at - 1].text, row.text) > 0) at--;
        } else {
            at = n;
        }
        rows.insert(rows.begin() + at, row);
        if (c->current >= at) c->current++;
        return at;
    }
    case LB_DELETESTRING:
        if (!valid) return LB_ERR;
        rows.erase(rows.begin() + index);
        if (c->current == index)
            c->current = -1;
        else if (c->current > index)
            c->current--;
        return (LRESULT)rows.size();
    case LB_RESETCONTENT:
        rows.clear();
        c->current = -1;
        return TRUE;
    case LB_GETCOUNT: return n;
    case LB_GETCURSEL: return c->current >= 0 ? c->current : LB_ERR;
    case LB_SETCURSEL:
        // -1 clears the selection and still answers LB_ERR, as documented.
        if (index == -1) c->current = -1;
        if (!valid) return LB_ERR;
        c->current = index;
        return index;
    case LB_GETSEL: return valid ? (c->current == index) : LB_ERR;
    case LB_GETTEXT:
        if (!valid || !l) return LB_ERR;
        if (!has_strings(style)) {
            std::memcpy((void *)l, &rows[(size_t)index].data, sizeof(LPARAM));
            return sizeof(LPARAM);
        }
        // The caller's buffer must hold LB_GETTEXTLEN + 1 characters: no size is given.
        std::memcpy((LPSTR)l, rows[(size_t)index].text.c_str(), rows[(size_t)index].text.size() + 1);
        return (LRESULT)rows[(size_t)index].text.size();
    case LB_GETTEXTLEN:
        if (!valid) return LB_ERR;
        return has_strings(style) ? (LRESULT)rows[(size_t)index].text.size() : (LRESULT)sizeof(LPARAM);
    case LB_GETITEMDATA: return valid ? rows[(size_t)index].data : LB_ERR;
    case LB_SETITEMDATA:
        if (!valid) return LB_ERR;
        rows[(size_t)index].data = l;
        return TRUE;
    case LB_FINDSTRING:
    case LB_FINDSTRINGEXACT: return find_row(*c, w, (LPCSTR)l, m == LB_FINDSTRINGEXACT);
    case LB_SELECTSTRING: {
        LRESULT i = find_row(*c, w, (LPCSTR)l, false);
        if (i != LB_ERR) c->current = (int)i;
        return i;
    }
    case LB_GETTOPINDEX:
    case LB_SETTOPINDEX: return 0;
    default: return 0;
    }
}

// ---------------------------------------------------------------- progress

int clamp_to(const Control &c, long long v) {
    if (v < c.low) return c.low;
    if (v > c.high) return c.high;
    return (int)v;
}

LRESULT CALLBACK progress_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
    case WM_NCCREATE: {
        LRESULT r = DefWindowProcA(h, m, w, l);
        created(h, Control::Progress, (const CREATESTRUCTA *)l);
        return r;
    }
    case WM_NCDESTROY: return destroyed(h, m, w, l);
    case PBM_SETRANGE:
    case PBM_SETRANGE32: {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return 0;
        LRESULT old = MAKELONG((WORD)c->low, (WORD)c->high);
        if (m == PBM_SETRANGE) {
            c->low = LOWORD(l);
            c->high = HIWORD(l);
        } else {
            c->low = (int)w;
            c->high = (int)l;
        }
        return old;
    }
    case PBM_GETRANGE: {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return 0;
        if (l) {
            ((PPBRANGE)l)->iLow = c->low;
            ((PPBRANGE)l)->iHigh = c->high;
        }
        return w ? c->low : c->high;
    }
    case PBM_SETPOS:
    case PBM_DELTAPOS: {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return 0;
        int old = c->pos;
        c->pos = clamp_to(*c, m == PBM_SETPOS ? (long long)(int)w : (long long)c->pos + (int)w);
        return old;
    }
    case PBM_SETSTEP: {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return 0;
        int old = c->step;
        c->step = (int)w;
        return old;
    }
    case PBM_STEPIT: {
        WINSIM_LOCK();
        Control *c = find(h);
        if (!c) return 0;
        int old = c->pos;
        // Past either end the bar starts over from the beginning.
        long long next = (long long)c->pos + c->step;
        c->pos = next > c->high ? c->low : next < c->low ? c->high : (int)next;
        return old;
    }
    case PBM_GETPOS: {
        WINSIM_LOCK();
        Control *c = find(h);
        return c ? c->pos : 0;
    }
    default: return DefWindowProcA(h, m, w, l);
    }
}

} // namespace

int compare_rows(const std::string &a, const std::string &b) {
    int d = compare_weights(a, b, true);
    return d ? d : compare_weights(a, b, false);
}

void register_classes() {
    register_system_class("Button", 0, button_proc, 0);
    register_system_class("Edit", 0, edit_proc, 0);
    register_system_class("Static", 0, static_proc, 0);
    register_system_class("ListBox", 0, listbox_proc, 0);
    register_system_class(PROGRESS_CLASSA, 0, progress_proc, 0);
}

void forget_all() {
    WINSIM_LOCK();
    all().clear();
}

void describe(HWND h, const WindowView &view, user::ControlInfo *info) {
    info->text = info->shown = view.title;
    WINSIM_LOCK();
    Control *c = find(h);
    if (!c) return;
    switch (c->kind) {
    case Control::Edit:
        info->text = c->text;
        info->shown = c->password ? std::string(c->text.size(), c->password) : c->text;
        info->password_char = c->password;
        info->limit = c->limit_set ? c->limit : 0;
        break;
    case Control::Static:
        if (c->icon) info->shown = "icon " + icon_name(c->icon);
        break;
    case Control::Button: {
        DWORD type = view.style & BS_TYPEMASK;
        info->is_default = type == BS_DEFPUSHBUTTON;
        if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON && type != BS_GROUPBOX)
            info->shown = std::string(c->check == BST_CHECKED ? "[x] " : c->check ? "[-] " : "[ ] ") + view.title;
        break;
    }
    case Control::ListBox:
        for (auto &r : c->rows) info->rows.push_back(r.text);
        info->selected = c->current;
        break;
    case Control::Progress:
        info->range_min = c->low;
        info->range_max = c->high;
        info->position = c->pos;
        break;
    }
}

bool click_row(HWND list, int row, bool double_click) {
    {
        WINSIM_LOCK();
        Control *c = find(list);
        if (!c || c->kind != Control::ListBox || row < 0 || row >= (int)c->rows.size()) return false;
    }
    if (GetFocus() != list) SetFocus(list);
    {
        WINSIM_LOCK();
        Control *c = find(list);
        if (!c || row >= (int)c->rows.size()) return false;
        c->current = row;
    }
    // Every click reports the selection, also one on the row already selected.
    bool notify_parent = (style_of(list) & LBS_NOTIFY) != 0;
    if (notify_parent) notify(list, LBN_SELCHANGE);
    if (double_click && notify_parent && IsWindow(list)) notify(list, LBN_DBLCLK);
    return true;
}

void caret_to_end(HWND edit) {
    WINSIM_LOCK();
    Control *c = find(edit);
    if (c && c->kind == Control::Edit) c->sel_start = c->sel_end = (int)c->text.size();
}

} // namespace controls
} // namespace winsim

// ------------------------------------------------------------------ comctl32

// The classes above are registered for every machine; these only check
// their argument as comctl32 does.
extern "C" void WINAPI InitCommonControls(void) {}

extern "C" BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX *icc) {
    if (winsim::fault("InitCommonControlsEx")) return FALSE;
    return icc && icc->dwSize == sizeof(INITCOMMONCONTROLSEX);
}
