// Dialogs from .rc templates, the predefined controls, timers on the virtual
// clock and the scripted user.
#include "../src/rcfile.h"
#include "../src/user.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/sim.h>

#include <string>
#include <vector>

namespace {

using winsim::Machine;
using winsim::Os;
namespace user = winsim::user;

const std::string kRc = R"(#include <windows.h>
#define IDC_PROMPT 100
#define IDC_PIN 101
#define IDC_LIST 102
1 ICON "app.ico"
200 DIALOGEX 10, 20, 200, 100
STYLE DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU
CAPTION "Enter PIN"
FONT 8, "MS Sans Serif"
BEGIN
    ICON 1, -1, 7, 7, 21, 20
    LTEXT "&PIN:", IDC_PROMPT, 7, 30, 40, 8
    EDITTEXT IDC_PIN, 50, 28, 100, 12, ES_PASSWORD | ES_AUTOHSCROLL
    LISTBOX IDC_LIST, 7, 45, 100, 40, LBS_SORT | WS_VSCROLL | NOT WS_BORDER
    CONTROL "Remember", 103, "Button", BS_AUTOCHECKBOX | WS_TABSTOP, 7, 88, 60, 10
    DEFPUSHBUTTON "OK", IDOK, 90, 80, 50, 14, WS_DISABLED
    PUSHBUTTON "Cancel", IDCANCEL, 145, 80, 50, 14
END
201 DIALOG DISCARDABLE 0, 0, 100, 50
CAPTION "Plain"
BEGIN
    CTEXT "Waiting", 100, 0, 0, 100, 20
END
)";
constexpr int IDC_PIN = 101, IDC_LIST = 102;

struct Seen {
    LPARAM init_param = 0;
    int changes = 0;
    std::string entered;
    std::vector<std::string> events;
    std::vector<std::pair<UINT_PTR, DWORD>> ticks;
    DWORD start = 0;
} g;

INT_PTR CALLBACK pin_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    switch (m) {
    case WM_INITDIALOG:
        g.init_param = l;
        SendDlgItemMessageA(h, IDC_PIN, EM_LIMITTEXT, 4, 0);
        for (const char *row : {"beta", "Alpha", "_x", "10", "alpha"}) {
            LRESULT i = SendDlgItemMessageA(h, IDC_LIST, LB_ADDSTRING, 0, (LPARAM)row);
            SendDlgItemMessageA(h, IDC_LIST, LB_SETITEMDATA, (WPARAM)i, (LPARAM)row[0]);
        }
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(w) == IDC_PIN && HIWORD(w) == EN_CHANGE) {
            g.changes++;
            EnableWindow(GetDlgItem(h, IDOK), GetWindowTextLengthA((HWND)l) >= 4);
        } else if (LOWORD(w) == IDC_LIST && (HIWORD(w) == LBN_SELCHANGE || HIWORD(w) == LBN_DBLCLK)) {
            g.events.push_back((HIWORD(w) == LBN_DBLCLK ? "dbl " : "sel ") +
                               std::to_string(SendMessageA((HWND)l, LB_GETCURSEL, 0, 0)));
        } else if (LOWORD(w) == IDOK || LOWORD(w) == IDCANCEL) {
            char text[16];
            GetDlgItemTextA(h, IDC_PIN, text, sizeof text);
            g.entered = text;
            EndDialog(h, LOWORD(w));
        }
        return TRUE;
    case WM_TIMER:
        g.ticks.push_back({w, GetTickCount() - g.start});
        if (w == 101 && g.ticks.size() == 3) {
            EXPECT_TRUE(KillTimer(h, 101));
        }
        if (w == 100 && g.ticks.back().second == 2000) EndDialog(h, 7);
        return TRUE;
    default: return FALSE;
    }
}

INT_PTR CALLBACK timer_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_INITDIALOG) {
        g.start = GetTickCount();
        SetTimer(h, 100, 1000, nullptr);
        SetTimer(h, 101, 250, nullptr);
        EXPECT_EQ(winsim::handles::open()[winsim::HandleKind::Timer], 2);
        return TRUE;
    }
    return m == WM_TIMER ? pin_proc(h, m, w, l) : FALSE;
}

struct DialogsTest : ::testing::Test {
    void SetUp() override {
        machine = Machine::temporary(Os::WinXp);
        g = Seen();
        winsim::rc::set_module_text(GetModuleHandleA(nullptr), &kRc);
        before = winsim::handles::open();
    }
    void TearDown() override {
        EXPECT_EQ(winsim::handles::leaks_since(before), "");
        winsim::rc::set_module_text(GetModuleHandleA(nullptr), nullptr);
    }
    std::unique_ptr<Machine> machine;
    winsim::handles::Counts before;
};

TEST(DialogTemplates, StatementsDefaultsAndStyleExpressions) {
    auto f = winsim::rc::parse(kRc);
    ASSERT_EQ(f.dialogs.count("#200"), 1u);
    EXPECT_EQ(f.icons["#1"], "app.ico");
    const auto &d = f.dialogs["#200"];
    EXPECT_TRUE(d.ex);
    EXPECT_EQ(d.style, (DWORD)(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT));
    EXPECT_EQ(d.font_face, "MS Sans Serif");
    ASSERT_EQ(d.items.size(), 7u);
    const DWORD base = WS_CHILD | WS_VISIBLE;
    EXPECT_EQ(d.items[0].text, "#1");
    EXPECT_EQ(d.items[0].style, base | SS_ICON);
    EXPECT_EQ(d.items[1].style, base | SS_LEFT | WS_GROUP);
    EXPECT_EQ(d.items[2].style, base | ES_LEFT | WS_BORDER | WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL);
    EXPECT_EQ(d.items[3].style, base | LBS_NOTIFY | LBS_SORT | WS_VSCROLL); // NOT took the default border away
    EXPECT_EQ(d.items[4].class_name, "Button");
    EXPECT_EQ(d.items[4].style, base | BS_AUTOCHECKBOX | WS_TABSTOP);
    EXPECT_EQ(d.items[5].id, IDOK);
    EXPECT_EQ(d.items[5].style, base | BS_DEFPUSHBUTTON | WS_TABSTOP | WS_DISABLED);
    // DIALOG without STYLE: the compiler's default, with the caption bar added.
    EXPECT_EQ(f.dialogs["#201"].style, (DWORD)(WS_POPUP | WS_BORDER | WS_SYSMENU | WS_CAPTION));
    EXPECT_EQ(f.dialogs["#201"].items.at(0).style, base | SS_CENTER | WS_GROUP);
}

TEST_F(DialogsTest, ModalPinEntryByTheScriptedUser) {
    HWND owner = user::create_window(RECT{100, 100, 700, 500}, "App");
    user::on_dialog(200, [owner](user::DialogUser &u) {
        user::DialogInfo i = u.info();
        EXPECT_EQ(i.caption, "Enter PIN");
        EXPECT_EQ(i.module, "APP"); // the program's own resources
        const user::ControlInfo *pin = i.control(IDC_PIN);
        ASSERT_NE(pin, nullptr);
        EXPECT_TRUE(pin->focused); // the first tab stop
        EXPECT_EQ(pin->password_char, '*');
        EXPECT_EQ(pin->limit, 4);
        EXPECT_FALSE(IsWindowEnabled(owner));
        EXPECT_FALSE(u.click(IDOK)); // disabled
        long beeps = winsim::beep_count();
        // The fifth character is over the limit: a beep, and it is dropped.
        EXPECT_TRUE(u.type(IDC_PIN, "12345\b6"));
        EXPECT_EQ(winsim::beep_count(), beeps + 1);
        i = u.info();
        EXPECT_EQ(i.control(IDC_PIN)->text, "1236");
        EXPECT_EQ(i.control(IDC_PIN)->shown, "****");
        std::string drawing = u.render();
        EXPECT_NE(drawing.find("| Enter PIN"), std::string::npos) << drawing;
        EXPECT_NE(drawing.find("[****"), std::string::npos) << drawing;
        EXPECT_NE(drawing.find("[OK]  default"), std::string::npos) << drawing;
        EXPECT_NE(drawing.find("[Cancel]"), std::string::npos) << drawing;
        EXPECT_NE(drawing.find("<icon "), std::string::npos) << drawing;
        EXPECT_NE(drawing.find("PIN:"), std::string::npos) << drawing;
        EXPECT_NE(drawing.find("  _x"), std::string::npos) << drawing;
        EXPECT_NE(drawing.find("[ ] Remember"), std::string::npos) << drawing;
        EXPECT_EQ(drawing.find(" > "), std::string::npos) << drawing; // no row selected yet
        EXPECT_TRUE(u.click(IDOK));
        EXPECT_FALSE(u.alive());
        EXPECT_FALSE(u.type(IDC_PIN, "x"));
    });
    INT_PTR r = DialogBoxParamA(nullptr, MAKEINTRESOURCEA(200), owner, pin_proc, 42);
    EXPECT_EQ(r, IDOK);
    EXPECT_EQ(g.init_param, 42);
    EXPECT_EQ(g.entered, "1236");
    EXPECT_EQ(g.changes, 6); // four characters, the backspace, one more; nothing for the dropped one
    EXPECT_TRUE(IsWindowEnabled(owner));
    auto shown = user::dialogs();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].result, IDOK);
    EXPECT_EQ(shown[0].shown.template_id, 200);
    EXPECT_FALSE(shown[0].shown.control(IDOK)->enabled);
    EXPECT_TRUE(shown[0].ended.control(IDOK)->enabled);
    EXPECT_EQ(shown[0].ended.control(IDC_PIN)->text, "1236");
    // 200 x 100 dialog units: 300 x 163 pixels of client area, a 3-pixel frame and an 18-pixel caption,
    // placed 10 x 20 units from the owner's corner.
    const RECT &rc = shown[0].shown.rect;
    EXPECT_EQ(rc.right - rc.left, 306);
    EXPECT_EQ(rc.bottom - rc.top, 187);
    EXPECT_EQ(rc.left, 100 + 15);
    EXPECT_EQ(rc.top, 100 + 33);
    EXPECT_EQ(shown[0].shown.control(IDC_PIN)->rect.left, 100 + 15 + 3 + 75);
    EXPECT_TRUE(DestroyWindow(owner));
}

TEST_F(DialogsTest, KeyboardAndCloseBox) {
    // Enter with the default button disabled only beeps; Esc cancels.
    user::on_dialog(0, [](user::DialogUser &u) {
        long beeps = winsim::beep_count();
        EXPECT_TRUE(u.type(IDC_PIN, "12\r"));
        EXPECT_TRUE(u.alive());
        EXPECT_EQ(winsim::beep_count(), beeps + 1);
        EXPECT_FALSE(u.type(IDC_PIN, "\x1b" "3")); // the dialog is gone after Esc
    });
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(200), nullptr, pin_proc, 0), IDCANCEL);
    EXPECT_EQ(g.entered, "12");
    // Enter presses the enabled default button.
    user::on_dialog(200, [](user::DialogUser &u) { EXPECT_TRUE(u.type(IDC_PIN, "9876\r")); });
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(200), nullptr, pin_proc, 0), IDOK);
    EXPECT_EQ(g.entered, "9876");
    // The close box is Cancel.
    user::on_dialog(200, [](user::DialogUser &u) { EXPECT_TRUE(u.close()); });
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(200), nullptr, pin_proc, 0), IDCANCEL);
    EXPECT_EQ(user::dialogs().size(), 3u);
}

TEST_F(DialogsTest, ListBoxSortItemDataAndClicks) {
    HWND h = CreateDialogParamA(nullptr, MAKEINTRESOURCEA(200), nullptr, pin_proc, 0);
    ASSERT_NE(h, nullptr);
    user::DialogUser u(h);
    EXPECT_FALSE(u.select_row(IDC_LIST, 0)); // nobody clicks a hidden dialog
    ShowWindow(h, SW_SHOW);
    HWND list = GetDlgItem(h, IDC_LIST);
    EXPECT_EQ(GetDlgCtrlID(list), IDC_LIST);
    // Punctuation, digits, then letters, case ignored; equal rows keep their arrival order.
    EXPECT_EQ(u.info().control(IDC_LIST)->rows, (std::vector<std::string>{"_x", "10", "Alpha", "alpha", "beta"}));
    for (int i = 0; i < 5; i++) {
        char text[16];
        ASSERT_EQ(SendMessageA(list, LB_GETTEXT, (WPARAM)i, (LPARAM)text), SendMessageA(list, LB_GETTEXTLEN, i, 0));
        EXPECT_EQ(SendMessageA(list, LB_GETITEMDATA, (WPARAM)i, 0), text[0]); // the data moved with its row
    }
    EXPECT_EQ(SendMessageA(list, LB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)"ALPHA"), 2);
    EXPECT_EQ(SendMessageA(list, LB_FINDSTRINGEXACT, 2, (LPARAM)"alpha"), 3);
    EXPECT_EQ(SendMessageA(list, LB_FINDSTRINGEXACT, 0, (LPARAM)"alp"), LB_ERR);
    EXPECT_EQ(SendMessageA(list, LB_GETITEMDATA, 5, 0), LB_ERR);
    EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);

    // Clicks notify; the program's own selection does not.
    EXPECT_TRUE(u.select_row(IDC_LIST, "beta"));
    EXPECT_TRUE(u.double_click_row(IDC_LIST, 3));
    EXPECT_FALSE(u.select_row(IDC_LIST, 5));
    EXPECT_EQ(g.events, (std::vector<std::string>{"sel 4", "sel 3", "dbl 3"}));
    EXPECT_TRUE(u.info().control(IDC_LIST)->focused);
    EXPECT_EQ(SendMessageA(list, LB_SETCURSEL, 4, 0), 4);
    // Rows before the selection move it; deleting it clears it.
    EXPECT_EQ(SendMessageA(list, LB_DELETESTRING, 0, 0), 4);
    EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 3);
    EXPECT_EQ(SendMessageA(list, LB_INSERTSTRING, 0, (LPARAM)"zz"), 0); // no sorting on insert
    EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 4);
    EXPECT_EQ(SendMessageA(list, LB_DELETESTRING, 4, 0), 4);
    EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);
    EXPECT_EQ(SendMessageA(list, LB_SETCURSEL, (WPARAM)-1, 0), LB_ERR);
    EXPECT_EQ(SendMessageA(list, LB_RESETCONTENT, 0, 0), TRUE);
    EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(g.events.size(), 3u);

    // Text set by the program is reported too, and is not held to the typing limit.
    int changes = g.changes;
    EXPECT_TRUE(SetDlgItemTextA(h, IDC_PIN, "-0123456"));
    EXPECT_EQ(g.changes, changes + 1);
    BOOL ok = FALSE;
    EXPECT_EQ((int)GetDlgItemInt(h, IDC_PIN, &ok, TRUE), -123456);
    EXPECT_TRUE(ok);
    EXPECT_EQ(GetDlgItemInt(h, IDC_PIN, &ok, FALSE), 0u);
    EXPECT_FALSE(ok);

    // The auto check box toggles on a click; a disabled control takes none.
    EXPECT_TRUE(u.click(103));
    EXPECT_EQ(IsDlgButtonChecked(h, 103), (UINT)BST_CHECKED);
    EnableWindow(GetDlgItem(h, 103), FALSE);
    EXPECT_FALSE(u.click(103));
    EXPECT_EQ(IsDlgButtonChecked(h, 103), (UINT)BST_CHECKED);
    EXPECT_TRUE(DestroyWindow(h));
    EXPECT_FALSE(u.alive());
    ASSERT_EQ(user::dialogs().size(), 1u);
    EXPECT_EQ(user::dialogs()[0].ended.control(103)->enabled, false);
}

TEST_F(DialogsTest, TimersRunOnTheVirtualClock) {
    INT_PTR r = DialogBoxParamA(nullptr, MAKEINTRESOURCEA(201), nullptr, timer_proc, 0);
    EXPECT_EQ(r, 7);
    using T = std::pair<UINT_PTR, DWORD>;
    EXPECT_EQ(g.ticks, (std::vector<T>{{101, 250}, {101, 500}, {101, 750}, {100, 1000}, {100, 2000}}));
    // Timer 100 was never killed: it went with the dialog (the fixture checks nothing is left).
    EXPECT_EQ(winsim::handles::open()[winsim::HandleKind::Timer], 0);

    // A thread timer with a callback, through the thread's own loop.
    static int calls;
    calls = 0;
    DWORD t0 = GetTickCount();
    UINT_PTR id = SetTimer(nullptr, 0, 50, [](HWND, UINT, UINT_PTR, DWORD) { calls++; });
    ASSERT_NE(id, 0u);
    MSG msg;
    ASSERT_TRUE(GetMessageA(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, (UINT)WM_TIMER);
    DispatchMessageA(&msg);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(GetTickCount() - t0, 50u);
    EXPECT_TRUE(KillTimer(nullptr, id));
    EXPECT_FALSE(KillTimer(nullptr, id));
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(DialogsTest, MissingTemplatesAndIcons) {
    SetLastError(0);
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(999), nullptr, pin_proc, 0), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(CreateDialogParamA(nullptr, "NOSUCH", nullptr, pin_proc, 0), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    HMODULE self = GetModuleHandleA(nullptr);
    HICON icon = LoadIconA(self, MAKEINTRESOURCEA(1));
    EXPECT_NE(icon, nullptr);
    EXPECT_EQ(LoadIconA(self, "#1"), icon); // shared
    EXPECT_EQ(LoadIconA(self, MAKEINTRESOURCEA(2)), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    // Resources without any dialog (or none at all).
    const std::string strings_only = "STRINGTABLE\nBEGIN\n 1 \"x\"\nEND\n";
    winsim::rc::set_module_text(self, &strings_only);
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(200), nullptr, pin_proc, 0), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_EQ(LoadIconA(self, MAKEINTRESOURCEA(1)), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_TRUE(user::dialogs().empty());
}

} // namespace
