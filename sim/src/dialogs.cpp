// The dialog manager: dialogs built from the DIALOG/DIALOGEX templates of a
// module's .rc text, the modal loop, the dialog procedure protocol, the
// keyboard's Enter and Esc, and the scripted user who answers dialogs.
//
// Sizes: a template is in dialog units of its font, "MS Sans Serif" 8 point,
// whose base units at 96 dpi are 6 x 13 pixels; a dialog unit is a quarter of
// the base width and an eighth of its height, so x * 1.5 and y * 1.625
// (rounded).  A dialog frame is 3 pixels, a caption 18 (the classic look).
//
// The scripted user runs on a simulated thread of its own and acts by
// sending the dialog a private message that runs the action on the dialog's
// thread, as input would arrive there.  A script may block in the host (a
// terminal user typing on stdin): while it runs it holds the scheduler's
// baton, so every other simulated thread waits, virtual time stands still
// and no deadlock can be reported until the script waits again.
#include "controls.h"
#include "rcfile.h"
#include "threads.h"
#include "user.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace winsim {
namespace {

constexpr int kBaseX = 6, kBaseY = 13;
constexpr int kDialogFrame = 3, kBorder = 1, kCaption = 18;
constexpr ATOM kDialogAtom = 0x8002;       // WC_DIALOG
constexpr UINT kInvoke = 0x03FE;           // private: runs a scripted action on the dialog's thread
const int kDialogExtra = std::max<int>(DLGWINDOWEXTRA, DWLP_USER + (int)sizeof(LONG_PTR));

struct Dialog {
    int template_id = 0;
    std::string module;
    bool modal = false;
    bool ended = false;
    INT_PTR result = 0;
    LONG_PTR default_id = IDOK;
    HWND disabled_owner = nullptr;
    long record = -1; // index in State::shown
    std::shared_ptr<ThreadObject> script;
};

struct Rule {
    int template_id;
    user::DialogScript script;
};

struct State {
    std::map<HWND, Dialog> dialogs;
    std::vector<user::ShownDialog> shown;
    std::vector<Rule> rules;
};

State &S() {
    static State *s = new State; // parked threads may outlive static destruction
    return *s;
}

// Hold the lock.
Dialog *find_dialog(HWND h) {
    auto it = S().dialogs.find(h);
    return it == S().dialogs.end() ? nullptr : &it->second;
}

int scale(int v, int num, int den) {
    long long p = (long long)v * num;
    return (int)((p >= 0 ? p + den / 2 : p - den / 2) / den);
}

std::string hex(uintptr_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%llx", (unsigned long long)v);
    return b;
}

bool is_class(const WindowView &v, const char *name) { return iequals(v.class_name, name); }

user::DialogInfo snapshot(HWND h) {
    user::DialogInfo d;
    WindowView v;
    if (!view_window(h, &v)) return d;
    d.hwnd = h;
    {
        WINSIM_LOCK();
        if (Dialog *x = find_dialog(h)) {
            d.template_id = x->template_id;
            d.module = x->module;
        }
    }
    d.caption = v.title;
    d.owner = v.owner;
    d.rect = v.rect;
    d.topmost = (v.ex_style & WS_EX_TOPMOST) != 0;
    HWND focus = focus_of_thread(v.tid);
    for (HWND c : child_windows(h)) {
        WindowView cv;
        if (!view_window(c, &cv)) continue;
        user::ControlInfo ci;
        ci.id = (int)cv.id;
        ci.class_name = cv.class_name;
        ci.style = cv.style;
        ci.enabled = !(cv.style & WS_DISABLED);
        ci.visible = cv.visible;
        ci.focused = c == focus;
        ci.rect = cv.rect;
        controls::describe(c, cv, &ci);
        d.controls.push_back(ci);
    }
    return d;
}

// Notes the dialog's look as it ends.
void record_end(HWND h, INT_PTR result) {
    user::DialogInfo now = snapshot(h);
    WINSIM_LOCK();
    Dialog *d = find_dialog(h);
    if (!d || d->record < 0) return;
    S().shown[(size_t)d->record].ended = now;
    S().shown[(size_t)d->record].result = result;
}

// Records the dialog as shown and starts its scripted user, if a rule has one.
void shown(HWND h) {
    user::DialogInfo now = snapshot(h);
    user::DialogScript script;
    int id;
    {
        WINSIM_LOCK();
        Dialog *d = find_dialog(h);
        if (!d) return;
        id = d->template_id;
        d->record = (long)S().shown.size();
        S().shown.push_back({now, {}, -1});
        const Rule *any = nullptr, *exact = nullptr;
        for (const Rule &r : S().rules) {
            if (r.template_id == 0) any = &r;
            if (id && r.template_id == id) exact = &r;
        }
        if (exact || any) script = (exact ? exact : any)->script;
    }
    if (!script) return;
    sched::SpawnOptions options;
    options.name = "scripted user of dialog " + std::to_string(id);
    auto thread = sched::spawn(
        [script, h]() -> DWORD {
            user::DialogUser person(h);
            script(person);
            return 0;
        },
        options);
    WINSIM_LOCK();
    if (Dialog *d = find_dialog(h)) d->script = thread;
}

void focus_control(HWND c) {
    SetFocus(c);
    WindowView v;
    // Moving into an edit selects its text, as the dialog manager does.
    if (view_window(c, &v) && is_class(v, "Edit")) SendMessageA(c, EM_SETSEL, 0, -1);
}

HWND first_tab_stop(HWND dialog) {
    for (HWND c : child_windows(dialog)) {
        WindowView v;
        if (view_window(c, &v) && (v.style & WS_TABSTOP) && v.visible && !(v.style & WS_DISABLED)) return c;
    }
    return nullptr;
}

// Enter: the focused push button, else the default button; a disabled one beeps.
void press_return(HWND dialog) {
    HWND focus = GetFocus();
    WindowView fv;
    LONG_PTR id;
    HWND ctl;
    DWORD type = 0;
    if (focus && view_window(focus, &fv) && fv.parent == dialog && is_class(fv, "Button") &&
        ((type = fv.style & BS_TYPEMASK) == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON)) {
        id = fv.id;
        ctl = focus;
    } else {
        id = LOWORD(SendMessageA(dialog, DM_GETDEFID, 0, 0));
        ctl = GetDlgItem(dialog, (int)id);
    }
    if (ctl && !IsWindowEnabled(ctl)) {
        MessageBeep(MB_OK);
        return;
    }
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM((WORD)id, BN_CLICKED), (LPARAM)ctl);
}

void press_escape(HWND dialog) {
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(dialog, IDCANCEL));
}

// The module's name without its extension ("QUVAUI").
std::string module_name(HMODULE module) {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(module, path, sizeof path);
    std::string name = file_part(path);
    size_t dot = name.rfind('.');
    return upper(dot == std::string::npos ? name : name.substr(0, dot));
}

HWND create_dialog(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param, bool modal,
                   bool *visible = nullptr) {
    HMODULE module = instance ? (HMODULE)instance : GetModuleHandleA(nullptr);
    const rc::File *f = rc::of_module(module);
    if (!f || f->dialogs.empty()) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    std::string key = rc::resource_key(name);
    auto it = f->dialogs.find(key);
    if (it == f->dialogs.end()) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    const rc::DialogTemplate &t = it->second;
    // A dialog is owned by the top-level window of the one given.
    WindowView ov;
    while (owner && owner != GetDesktopWindow() && view_window(owner, &ov) && ov.parent) owner = ov.parent;
    if (owner && !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    DWORD style = t.style;
    if (visible) *visible = (style & WS_VISIBLE) != 0;
    int frame = (style & (WS_DLGFRAME | DS_MODALFRAME)) ? kDialogFrame : (style & WS_BORDER) ? kBorder : 0;
    RECT inset{frame, frame + ((style & WS_CAPTION) == WS_CAPTION ? kCaption : 0), frame, frame};
    int width = scale(t.cx, kBaseX, 4) + inset.left + inset.right;
    int height = scale(t.cy, kBaseY, 8) + inset.top + inset.bottom;
    int x = scale(t.x, kBaseX, 4), y = scale(t.y, kBaseY, 8);
    if (style & DS_CENTER) {
        x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
        y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    } else if (owner && owner != GetDesktopWindow() && !(style & DS_ABSALIGN)) {
        RECT o;
        GetWindowRect(owner, &o); // placed from the owner's corner
        x += o.left;
        y += o.top;
    }
    instance = (HINSTANCE)module; // controls load their icons from it
    HWND h = CreateWindowExA(t.ex_style, MAKEINTATOM(kDialogAtom), t.caption.c_str(), style & ~(DWORD)WS_VISIBLE, x, y,
                             width, height, owner, nullptr, instance, nullptr);
    if (!h) return nullptr;
    set_client_inset(h, inset);
    SetWindowLongPtrA(h, DWLP_DLGPROC, (LONG_PTR)proc);
    {
        WINSIM_LOCK();
        Dialog &d = S().dialogs[h];
        d.template_id = key[0] == '#' ? std::atoi(key.c_str() + 1) : 0;
        d.module = module_name(module);
        d.modal = modal;
    }
    bool have_default = false;
    LONG_PTR default_id = IDOK;
    for (const rc::DialogItem &item : t.items) {
        // DIALOG keeps 16-bit control ids, DIALOGEX 32-bit ones.
        LONG_PTR id = t.ex ? (LONG_PTR)(LONG)item.id : (LONG_PTR)(WORD)item.id;
        HWND c = CreateWindowExA(item.ex_style, item.class_name.c_str(), item.text.c_str(), item.style | WS_CHILD,
                                 scale(item.x, kBaseX, 4), scale(item.y, kBaseY, 8), scale(item.cx, kBaseX, 4),
                                 scale(item.cy, kBaseY, 8), h, (HMENU)id, instance, nullptr);
        if (!c) {
            DWORD e = GetLastError();
            DestroyWindow(h);
            WINSIM_LOCK();
            S().dialogs.erase(h);
            SetLastError(e);
            return nullptr;
        }
        if (!have_default && iequals(item.class_name, "Button") && (item.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            default_id = id;
            have_default = true;
        }
    }
    {
        WINSIM_LOCK();
        if (Dialog *d = find_dialog(h)) d->default_id = default_id;
    }
    HWND first = first_tab_stop(h);
    LRESULT focus_it = SendMessageA(h, WM_INITDIALOG, (WPARAM)first, param);
    if (!IsWindow(h)) {
        WINSIM_LOCK();
        S().dialogs.erase(h);
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (focus_it && first && IsWindow(first)) focus_control(first);
    return h;
}

bool dialog_ended(HWND h) {
    WINSIM_LOCK();
    Dialog *d = find_dialog(h);
    return !d || d->ended;
}

void machine_started(bool) {
    register_system_class("#32770", kDialogAtom, DefDlgProcA, kDialogExtra);
    controls::register_classes();
}

void machine_ended() {
    WINSIM_LOCK();
    S() = State();
    controls::forget_all();
}

const bool registered = add_life_cycle({machine_started, machine_ended});

// Strips the '&' of keyboard mnemonics ("&&" is one '&').
std::string label(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '&' && i + 1 < s.size()) i++;
        out += s[i];
    }
    return out;
}

std::vector<std::string> lines_of(const std::string &s) {
    std::vector<std::string> out;
    std::string line;
    for (char c : s) {
        if (c == '\r') continue;
        if (c == '\n') {
            out.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    out.push_back(line);
    return out;
}

} // namespace

// ------------------------------------------------------------ control API

namespace user {

const ControlInfo *DialogInfo::control(int id) const {
    for (const ControlInfo &c : controls)
        if (c.id == id) return &c;
    return nullptr;
}

void on_dialog(int template_id, DialogScript script) {
    WINSIM_LOCK();
    S().rules.push_back({template_id, std::move(script)});
}

void clear_dialog_rules() {
    WINSIM_LOCK();
    S().rules.clear();
}

std::vector<ShownDialog> dialogs() {
    WINSIM_LOCK();
    return S().shown;
}

void clear_dialogs() {
    WINSIM_LOCK();
    S().shown.clear();
    for (auto &kv : S().dialogs) kv.second.record = -1;
}

std::string render(const DialogInfo &d) {
    std::vector<std::string> body;
    for (const ControlInfo &c : d.controls) {
        if (!c.visible) continue;
        char idbuf[16] = "";
        if (c.id != -1 && c.id != 0xFFFF) std::snprintf(idbuf, sizeof idbuf, "%d", c.id);
        std::string id = idbuf;
        std::string pad = std::string(6 - std::min<size_t>(6, id.size()), ' ') + id + "  ";
        std::string blank(pad.size(), ' ');
        std::string focus = c.focused ? "  <- focus" : "";
        DWORD type = c.style & BS_TYPEMASK;
        if (iequals(c.class_name, "Edit")) {
            size_t width = std::max<size_t>(std::min<size_t>((size_t)(c.rect.right - c.rect.left) / 6, 40), 8);
            std::string field = c.shown + std::string(width > c.shown.size() ? width - c.shown.size() : 0, '_');
            body.push_back(pad + (c.enabled ? "[" + field + "]" : "(" + field + ")") + focus);
        } else if (iequals(c.class_name, "Button") && type == BS_GROUPBOX) {
            body.push_back(pad + "-- " + label(c.text) + " --");
        } else if (iequals(c.class_name, "Button") && type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON) {
            body.push_back(pad + label(c.shown) + (c.enabled ? "" : "  (disabled)") + focus);
        } else if (iequals(c.class_name, "Button")) {
            std::string text = label(c.text);
            body.push_back(pad + (c.enabled ? "[" + text + "]" : "(" + text + ")") + (c.is_default ? "  default" : "") +
                           focus);
        } else if (iequals(c.class_name, "ListBox")) {
            body.push_back(pad + "list of " + std::to_string(c.rows.size()) + (c.enabled ? "" : ", disabled") + focus);
            for (size_t i = 0; i < c.rows.size(); i++)
                body.push_back(blank + ((int)i == c.selected ? "> " : "  ") + c.rows[i]);
        } else if (iequals(c.class_name, "msctls_progress32")) {
            // Twenty cells, filled in proportion to the position within the range.
            long long span = (long long)c.range_max - c.range_min, at = (long long)c.position - c.range_min;
            int filled = span > 0 ? (int)(std::max(0LL, std::min(at, span)) * 20 / span) : 0;
            body.push_back(pad + "[" + std::string(filled, '#') + std::string(20 - filled, '.') + "] " +
                           std::to_string(c.position) + " of " + std::to_string(c.range_min) + ".." +
                           std::to_string(c.range_max));
        } else if (!c.shown.empty() && c.text.empty() && c.shown.compare(0, 5, "icon ") == 0) {
            body.push_back(pad + "<" + c.shown + ">");
        } else {
            bool prefix = !(c.style & SS_NOPREFIX);
            std::vector<std::string> ls = lines_of(prefix ? label(c.shown) : c.shown);
            for (size_t i = 0; i < ls.size(); i++)
                body.push_back((i ? blank : pad) + (ls[i].empty() && ls.size() == 1 ? "\"\"" : ls[i]));
        }
    }
    std::string title = d.caption;
    std::string where = "at (" + std::to_string(d.rect.left) + ", " + std::to_string(d.rect.top) + ") " +
                        std::to_string(d.rect.right - d.rect.left) + "x" + std::to_string(d.rect.bottom - d.rect.top);
    if (d.topmost) where += ", topmost";
    std::string name = "dialog " + std::to_string(d.template_id) + (d.module.empty() ? "" : " of " + d.module);
    size_t width = std::max(title.size() + 4, name.size());
    for (auto &l : body) width = std::max(width, l.size());
    auto row = [width](const std::string &s) { return "| " + s + std::string(width - s.size(), ' ') + " |\n"; };
    std::string rule = "+" + std::string(width + 2, '-') + "+\n";
    std::string out = rule + row(title + std::string(width - title.size() - 3, ' ') + "[x]") + rule;
    for (auto &l : body) out += row(l);
    out += rule;
    out += "  " + name + ", " + where + "\n";
    return out;
}

bool DialogUser::alive() const {
    if (!IsWindow(dialog_)) return false;
    return !dialog_ended(dialog_);
}

DialogInfo DialogUser::info() const {
    if (IsWindow(dialog_)) return snapshot(dialog_);
    WINSIM_LOCK();
    for (auto it = S().shown.rbegin(); it != S().shown.rend(); ++it)
        if (it->shown.hwnd == dialog_) return it->ended.hwnd ? it->ended : it->shown;
    return DialogInfo();
}

std::string DialogUser::render() const { return user::render(info()); }

namespace {
// Runs `action` on the dialog's thread; false when the dialog has ended.
bool invoke(HWND dialog, const std::function<bool()> &action) {
    if (!IsWindow(dialog) || dialog_ended(dialog)) return false;
    return SendMessageA(dialog, kInvoke, 0, (LPARAM)&action) != 0;
}

// The control if it is of the class, visible and enabled; on the dialog's thread.
HWND usable(HWND dialog, int id, const char *cls) {
    HWND c = GetDlgItem(dialog, id);
    WindowView v;
    if (!c || !view_window(c, &v) || !is_class(v, cls) || !IsWindowVisible(c) || !IsWindowEnabled(c)) return nullptr;
    return c;
}
} // namespace

bool DialogUser::type(int edit_id, const std::string &chars) {
    HWND dlg = dialog_;
    for (char ch : chars) {
        bool ok = invoke(dlg, [dlg, edit_id, ch] {
            HWND e = usable(dlg, edit_id, "Edit");
            if (!e) return false;
            if (GetFocus() != e) {
                SetFocus(e);
                controls::caret_to_end(e); // as if clicked behind the text
            }
            DWORD style = (DWORD)GetWindowLongA(e, GWL_STYLE);
            if ((ch == '\r' || ch == '\n') && !((style & ES_MULTILINE) && (style & ES_WANTRETURN)))
                press_return(dlg);
            else if (ch == '\x1b')
                press_escape(dlg);
            else
                SendMessageA(e, WM_CHAR, (WPARAM)(unsigned char)(ch == '\n' ? '\r' : ch), 1);
            return true;
        });
        if (!ok) return false;
    }
    return true;
}

bool DialogUser::clear(int edit_id) {
    HWND dlg = dialog_;
    return invoke(dlg, [dlg, edit_id] {
        HWND e = usable(dlg, edit_id, "Edit");
        if (!e) return false;
        if (GetFocus() != e) SetFocus(e);
        SendMessageA(e, EM_SETSEL, 0, -1);
        SendMessageA(e, WM_CHAR, '\b', 1);
        return true;
    });
}

bool DialogUser::click(int button_id) {
    HWND dlg = dialog_;
    return invoke(dlg, [dlg, button_id] {
        HWND b = usable(dlg, button_id, "Button");
        if (!b) return false;
        SendMessageA(b, BM_CLICK, 0, 0);
        return true;
    });
}

bool DialogUser::select_row(int list_id, int row) {
    HWND dlg = dialog_;
    return invoke(dlg, [dlg, list_id, row] {
        HWND l = usable(dlg, list_id, "ListBox");
        return l && controls::click_row(l, row, false);
    });
}

bool DialogUser::select_row(int list_id, const std::string &text_part) {
    DialogInfo now = info();
    const ControlInfo *c = now.control(list_id);
    if (!c) return false;
    for (size_t i = 0; i < c->rows.size(); i++)
        if (c->rows[i].find(text_part) != std::string::npos) return select_row(list_id, (int)i);
    return false;
}

bool DialogUser::double_click_row(int list_id, int row) {
    HWND dlg = dialog_;
    return invoke(dlg, [dlg, list_id, row] {
        HWND l = usable(dlg, list_id, "ListBox");
        return l && controls::click_row(l, row, true);
    });
}

bool DialogUser::close() {
    HWND dlg = dialog_;
    return invoke(dlg, [dlg] {
        if (!(GetWindowLongA(dlg, GWL_STYLE) & WS_SYSMENU)) return false; // no close box
        SendMessageA(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        return true;
    });
}

bool DialogUser::wait_ms(DWORD ms) {
    HWND dlg = dialog_;
    sched::wait_until([dlg] { return !IsWindow(dlg) || dialog_ended(dlg); }, sched::deadline_after(ms),
                      "scripted user of dialog " + hex((uintptr_t)dlg) + " waiting");
    return alive();
}

bool DialogUser::wait_until(const std::function<bool(const DialogInfo &)> &pred, DWORD timeout_ms) {
    HWND dlg = dialog_;
    bool held = false;
    sched::wait_until(
        [&] {
            if (!IsWindow(dlg) || dialog_ended(dlg)) return true;
            held = pred(snapshot(dlg));
            return held;
        },
        sched::deadline_after(timeout_ms), "scripted user of dialog " + hex((uintptr_t)dlg) + " waiting for a state");
    return held && alive();
}

} // namespace user

} // namespace winsim

using namespace winsim;

// ------------------------------------------------------------ Win32 calls

extern "C" LRESULT WINAPI DefDlgProcA(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == kInvoke) {
        if (dialog_ended(h)) return FALSE;
        return (*(const std::function<bool()> *)l)() ? TRUE : FALSE;
    }
    auto proc = (DLGPROC)GetWindowLongPtrA(h, DWLP_DLGPROC);
    if (proc && m != WM_NCCREATE && m != WM_CREATE) {
        INT_PTR r = proc(h, m, w, l);
        if (m == WM_INITDIALOG) return r;
        if (r) return GetWindowLongPtrA(h, DWLP_MSGRESULT);
    }
    switch (m) {
    case WM_CLOSE: {
        // The close box is the Cancel button: nothing while that is disabled.
        HWND cancel = GetDlgItem(h, IDCANCEL);
        if (cancel && !IsWindowEnabled(cancel)) {
            MessageBeep(MB_OK);
            return 0;
        }
        SendMessageA(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)cancel);
        return 0;
    }
    case WM_SYSCOMMAND:
        if ((w & 0xFFF0) == SC_CLOSE) SendMessageA(h, WM_CLOSE, 0, 0);
        return 0;
    case DM_GETDEFID: {
        WINSIM_LOCK();
        Dialog *d = find_dialog(h);
        return d ? MAKELRESULT((WORD)d->default_id, DC_HASDEFID) : 0;
    }
    case DM_SETDEFID: {
        LONG_PTR old;
        {
            WINSIM_LOCK();
            Dialog *d = find_dialog(h);
            if (!d) return FALSE;
            old = d->default_id;
            d->default_id = (LONG_PTR)w;
        }
        HWND was = GetDlgItem(h, (int)old), now = GetDlgItem(h, (int)w);
        if (was && (GetWindowLongA(was, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
            SendMessageA(was, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
        if (now && (GetWindowLongA(now, GWL_STYLE) & BS_TYPEMASK) == BS_PUSHBUTTON)
            SendMessageA(now, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
        return TRUE;
    }
    case WM_NEXTDLGCTL: {
        if (LOWORD(l)) {
            if (IsChild(h, (HWND)w)) focus_control((HWND)w);
            return 0;
        }
        // The next (or previous) tab stop after the focus, wrapping.
        std::vector<HWND> stops;
        for (HWND c : child_windows(h)) {
            WindowView v;
            if (view_window(c, &v) && (v.style & WS_TABSTOP) && v.visible && !(v.style & WS_DISABLED))
                stops.push_back(c);
        }
        if (stops.empty()) return 0;
        auto at = std::find(stops.begin(), stops.end(), GetFocus());
        size_t i = at == stops.end() ? 0 : (size_t)(at - stops.begin());
        size_t n = stops.size();
        focus_control(stops[at == stops.end() ? 0 : (w ? (i + n - 1) % n : (i + 1) % n)]);
        return 0;
    }
    case WM_DESTROY: {
        bool record;
        {
            WINSIM_LOCK();
            Dialog *d = find_dialog(h);
            record = d && !d->ended && d->record >= 0;
            if (d) d->ended = true;
        }
        if (record) record_end(h, 0); // a modeless dialog: its children are still there
        return 0;
    }
    case WM_NCDESTROY: {
        {
            WINSIM_LOCK();
            Dialog *d = find_dialog(h);
            if (d && !d->modal) S().dialogs.erase(h);
        }
        return DefWindowProcA(h, m, w, l);
    }
    default: return DefWindowProcA(h, m, w, l);
    }
}

extern "C" HWND WINAPI CreateDialogParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param) {
    if (DWORD e = fault("CreateDialogParamA")) {
        SetLastError(e);
        return nullptr;
    }
    bool visible = false;
    HWND h = create_dialog(instance, name, owner, proc, param, false, &visible);
    if (!h) return nullptr;
    if (visible && !dialog_ended(h)) ShowWindow(h, SW_SHOW);
    if (IsWindow(h)) shown(h);
    return h;
}

extern "C" INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR name, HWND owner, DLGPROC proc, LPARAM param) {
    if (DWORD e = fault("DialogBoxParamA")) {
        SetLastError(e);
        return -1;
    }
    HWND h = create_dialog(instance, name, owner, proc, param, true);
    if (!h) return -1;
    WindowView v;
    view_window(h, &v);
    int id;
    {
        WINSIM_LOCK();
        id = find_dialog(h)->template_id;
    }
    if (!dialog_ended(h)) {
        // The owner takes no input while its modal dialog runs.
        if (v.owner && IsWindowEnabled(v.owner)) {
            EnableWindow(v.owner, FALSE);
            WINSIM_LOCK();
            find_dialog(h)->disabled_owner = v.owner;
        }
        ShowWindow(h, SW_SHOW);
        shown(h);
    }
    MSG msg;
    while (IsWindow(h) && !dialog_ended(h)) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            // WM_QUIT ends the dialog and goes on to the thread's own loop.
            if (got == 0) PostQuitMessage((int)msg.wParam);
            EndDialog(h, got == 0 ? 0 : -1);
            break;
        }
        if (!IsDialogMessageA(h, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    INT_PTR result = 0;
    std::shared_ptr<ThreadObject> script;
    HWND owner_to_enable = nullptr;
    {
        WINSIM_LOCK();
        Dialog *d = find_dialog(h);
        if (d) {
            result = d->result;
            script = d->script;
            owner_to_enable = d->disabled_owner;
            d->disabled_owner = nullptr;
        }
    }
    if (owner_to_enable) EnableWindow(owner_to_enable, TRUE);
    // The scripted user finishes before the call returns, so that a test
    // goes on from a settled machine.
    if (script)
        serve_sent_until([&] { return script->exited.load(); },
                         "DialogBoxParamA waiting for the scripted user of dialog " + std::to_string(id) + " to return");
    if (IsWindow(h)) DestroyWindow(h);
    WINSIM_LOCK();
    S().dialogs.erase(h);
    return result;
}

extern "C" BOOL WINAPI EndDialog(HWND h, INT_PTR result) {
    HWND owner_to_enable = nullptr;
    {
        WINSIM_LOCK();
        Dialog *d = find_dialog(h);
        if (!d || !IsWindow(h)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        d->ended = true;
        d->result = result;
        owner_to_enable = d->disabled_owner;
        d->disabled_owner = nullptr;
    }
    record_end(h, result);
    if (owner_to_enable) EnableWindow(owner_to_enable, TRUE);
    WindowView v;
    if (view_window(h, &v) && v.tid == sched::current_thread_id()) ShowWindow(h, SW_HIDE);
    // Wakes the modal loop, which may be waiting for a posted message.
    post_message(h, WM_NULL, 0, 0);
    return TRUE;
}

extern "C" BOOL WINAPI IsDialogMessageA(HWND h, LPMSG msg) {
    if (!h || !msg || !msg->hwnd) return FALSE;
    if (msg->hwnd != h && !IsChild(h, msg->hwnd)) return FALSE;
    if (msg->message == WM_KEYDOWN) {
        HWND focus = GetFocus();
        WindowView fv;
        bool wants_return = focus && view_window(focus, &fv) && is_class(fv, "Edit") &&
                            (fv.style & ES_MULTILINE) && (fv.style & ES_WANTRETURN);
        switch (msg->wParam) {
        case VK_RETURN:
            if (wants_return) break;
            press_return(h);
            return TRUE;
        case VK_ESCAPE: press_escape(h); return TRUE;
        case VK_TAB: SendMessageA(h, WM_NEXTDLGCTL, 0, 0); return TRUE;
        default: break;
        }
    }
    DispatchMessageA(msg);
    return TRUE;
}

extern "C" HWND WINAPI GetDlgItem(HWND h, int id) {
    if (!IsWindow(h)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    for (HWND c : child_windows(h)) {
        WindowView v;
        if (view_window(c, &v) && (int)v.id == id) return c;
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

extern "C" int WINAPI GetDlgCtrlID(HWND h) {
    WindowView v;
    if (!view_window(h, &v)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return v.parent ? (int)v.id : 0;
}

extern "C" BOOL WINAPI SetDlgItemTextA(HWND h, int id, LPCSTR text) {
    HWND c = GetDlgItem(h, id);
    return c ? SetWindowTextA(c, text) : FALSE;
}

extern "C" UINT WINAPI GetDlgItemTextA(HWND h, int id, LPSTR buffer, int size) {
    HWND c = GetDlgItem(h, id);
    if (!c) {
        if (buffer && size > 0) *buffer = '\0';
        return 0;
    }
    return (UINT)GetWindowTextA(c, buffer, size);
}

extern "C" BOOL WINAPI SetDlgItemInt(HWND h, int id, UINT value, BOOL is_signed) {
    char text[16];
    if (is_signed)
        std::snprintf(text, sizeof text, "%d", (int)value);
    else
        std::snprintf(text, sizeof text, "%u", value);
    return SetDlgItemTextA(h, id, text);
}

extern "C" UINT WINAPI GetDlgItemInt(HWND h, int id, BOOL *translated, BOOL is_signed) {
    if (translated) *translated = FALSE;
    char text[64];
    HWND c = GetDlgItem(h, id);
    if (!c) return 0;
    GetWindowTextA(c, text, sizeof text);
    const char *p = text;
    while (*p == ' ' || *p == '\t') p++;
    bool negative = is_signed && *p == '-';
    if (negative) p++;
    if (*p < '0' || *p > '9') return 0;
    unsigned long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + (unsigned)(*p - '0');
        if (v > 0xFFFFFFFFull) return 0;
    }
    while (*p == ' ' || *p == '\t') p++;
    if (*p) return 0;
    if (is_signed && v > (negative ? 0x80000000ull : 0x7FFFFFFFull)) return 0;
    if (translated) *translated = TRUE;
    return negative ? (UINT)(0 - (UINT)v) : (UINT)v;
}

extern "C" LRESULT WINAPI SendDlgItemMessageA(HWND h, int id, UINT m, WPARAM w, LPARAM l) {
    HWND c = GetDlgItem(h, id);
    return c ? SendMessageA(c, m, w, l) : 0;
}

extern "C" BOOL WINAPI CheckDlgButton(HWND h, int id, UINT check) {
    HWND c = GetDlgItem(h, id);
    if (!c) return FALSE;
    SendMessageA(c, BM_SETCHECK, check, 0);
    return TRUE;
}

extern "C" UINT WINAPI IsDlgButtonChecked(HWND h, int id) {
    HWND c = GetDlgItem(h, id);
    return c ? (UINT)SendMessageA(c, BM_GETCHECK, 0, 0) : 0;
}

extern "C" BOOL WINAPI MapDialogRect(HWND h, LPRECT rect) {
    WINSIM_LOCK();
    if (!find_dialog(h)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!rect) return FALSE;
    rect->left = scale(rect->left, kBaseX, 4);
    rect->right = scale(rect->right, kBaseX, 4);
    rect->top = scale(rect->top, kBaseY, 8);
    rect->bottom = scale(rect->bottom, kBaseY, 8);
    return TRUE;
}
