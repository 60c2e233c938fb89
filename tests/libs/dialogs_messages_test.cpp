// The dialogs library's status-code messages, window parameters and the
// placement its dialogs give themselves; and the simulator's string loader.
#include "kit.h"

#include <quvaui.h>

#include <cstring>

using winsim::Os;

namespace {

using GetErrorMsg = DWORD(WINAPI *)(DWORD, LPSTR, DWORD);

struct Msg {
    DWORD result;
    std::string text;
};

Msg message(const kit::Library &lib, DWORD code, DWORD size) {
    std::vector<char> buf(size + 8, '#');
    Msg m{lib.fn<GetErrorMsg>("quvaUI_GetErrorMsgA")(code, buf.data(), size), ""};
    for (DWORD i = size; i < size + 8; i++) EXPECT_EQ(buf[i], '#') << "written past the buffer, code " << code;
    m.text.assign(buf.data(), size ? strnlen(buf.data(), size) : 0);
    return m;
}

RECT rect_of(HWND h) {
    RECT r{};
    EXPECT_TRUE(GetWindowRect(h, &r));
    return r;
}

} // namespace

// The placement rule is internal to each library: build the same source into
// the test, against the same simulated USER the libraries use.
#include "../../common/centre.cpp"

TEST(DialogsMessages, StatusCodeTexts) {
    kit::Machine m(Os::WinXp);
    kit::Library lib("QUVAUI.DLL");
    Msg r = message(lib, 0, 64);
    EXPECT_EQ(r.text, "Success");
    EXPECT_EQ(r.result, 7u);
    r = message(lib, 255, 64);
    EXPECT_EQ(r.text, "Invalid status returned from the device.");
    EXPECT_EQ(r.result, 40u);
    EXPECT_EQ(message(lib, 3, 64).text, "Invalid command pass to API.");
    EXPECT_EQ(message(lib, 25, 64).text, "Communication error, command aborted.");
    // No fallback text; and no wrap of 2000 + code onto another string id.
    for (DWORD code : {26u, 254u, 256u, 63536u, 0xFFFFF830u}) {
        r = message(lib, code, 64);
        EXPECT_EQ(r.result, 0u) << code;
        EXPECT_EQ(r.text, "") << code;
    }
    // Size counts the terminator: cut to size - 1, size 1 gives "", size 0 writes nothing.
    r = message(lib, 0, 4);
    EXPECT_EQ(r.text, "Suc");
    EXPECT_EQ(r.result, 3u);
    r = message(lib, 0, 1);
    EXPECT_EQ(r.text, "");
    EXPECT_EQ(r.result, 0u);
    EXPECT_EQ(message(lib, 0, 0).result, 0u);
    EXPECT_EQ(lib.fn<GetErrorMsg>("quvaUI_GetErrorMsgA")(0, nullptr, 64), 0u);
}

TEST(DialogsMessages, WindowParameters) {
    kit::Machine m(Os::Win98);
    kit::Library lib("QUVAUI.DLL");
    auto set = lib.fn<DWORD(WINAPI *)(HWND, DWORD)>("quvaUI_SetWindowParams");
    auto get = lib.fn<void(WINAPI *)(HWND *, DWORD *)>("quvaUI_GetWindowParams");
    HWND parent = (HWND)1;
    DWORD topmost = 9;
    get(&parent, &topmost);
    EXPECT_EQ(parent, nullptr);
    EXPECT_EQ(topmost, 0u);

    EXPECT_EQ(set(nullptr, 5), 5u);
    get(&parent, &topmost);
    EXPECT_EQ(parent, GetDesktopWindow());
    EXPECT_EQ(topmost, 5u);

    HWND w = winsim::user::create_window({10, 10, 200, 100});
    EXPECT_EQ(set(w, 0), 0u);
    // Unwritable or missing outputs are skipped, the other one is still written.
    get(nullptr, &topmost);
    EXPECT_EQ(topmost, 0u);
    get(&parent, (DWORD *)(void *)"read-only");
    EXPECT_EQ(parent, w);
    DestroyWindow(w);
}

TEST(DialogsMessages, CentreDialog) {
    kit::Machine m(Os::Win2000);
    HWND dialog = winsim::user::create_window({0, 0, 300, 200});
    // No reference: over the desktop (1024x768 by default).
    ASSERT_TRUE(centre_dialog(nullptr, dialog));
    RECT r = rect_of(dialog);
    EXPECT_EQ(r.left, 362);
    EXPECT_EQ(r.top, 284);
    EXPECT_EQ(r.right - r.left, 300) << "size kept";

    // Halving truncates toward zero: (301 - 300) / 2 = 0, (199 - 300) / 2 = -50.
    HWND parent = winsim::user::create_window({100, 100, 401, 301});
    ASSERT_TRUE(centre_dialog(parent, dialog));
    r = rect_of(dialog);
    EXPECT_EQ(r.left, 100);
    EXPECT_EQ(r.top, 100);
    HWND small = winsim::user::create_window({200, 200, 399, 399});
    ASSERT_TRUE(centre_dialog(small, dialog));
    EXPECT_EQ(rect_of(dialog).left, 200 - 50);

    // Near the right and bottom edges: pushed back so the edge meets the screen's.
    HWND right = winsim::user::create_window({900, 650, 1020, 760});
    ASSERT_TRUE(centre_dialog(right, dialog));
    r = rect_of(dialog);
    EXPECT_EQ(r.right, 1024);
    EXPECT_EQ(r.bottom, 768);
    // Off the left and top: 0.
    HWND left = winsim::user::create_window({-400, -300, -200, -100});
    ASSERT_TRUE(centre_dialog(left, dialog));
    r = rect_of(dialog);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 0);

    // Larger than the screen: at 0 on that axis, also when pushed in from the right.
    winsim::user::set_screen_size(640, 480);
    SetWindowPos(dialog, nullptr, 0, 0, 700, 200, SWP_NOMOVE | SWP_NOZORDER);
    ASSERT_TRUE(centre_dialog(nullptr, dialog));
    r = rect_of(dialog);
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 140);
    ASSERT_TRUE(centre_dialog(right, dialog));
    EXPECT_EQ(rect_of(dialog).left, 0);

    EXPECT_FALSE(centre_dialog(nullptr, (HWND)0x7777));
    for (HWND h : {dialog, parent, small, right, left}) DestroyWindow(h);
}

TEST(DialogsMessages, SetWindowPosAndTopmost) {
    kit::Machine m(Os::WinXp);
    HWND w = winsim::user::create_window({10, 20, 110, 70});
    auto info = [w] {
        for (auto &i : winsim::user::windows())
            if (i.hwnd == w) return i;
        return winsim::user::WindowInfo();
    };
    // Raising to the topmost band neither moves nor sizes.
    ASSERT_TRUE(SetWindowPos(w, HWND_TOPMOST, 500, 500, 1, 1, SWP_NOMOVE | SWP_NOSIZE));
    EXPECT_TRUE(info().topmost);
    EXPECT_EQ(info().rect.left, 10);
    EXPECT_EQ(info().rect.bottom, 70);
    // SWP_NOZORDER leaves the band alone.
    ASSERT_TRUE(SetWindowPos(w, HWND_NOTOPMOST, 5, 6, 0, 0, SWP_NOSIZE | SWP_NOZORDER));
    EXPECT_TRUE(info().topmost);
    RECT r = rect_of(w);
    EXPECT_EQ(r.left, 5);
    EXPECT_EQ(r.top, 6);
    EXPECT_EQ(r.right, 105);
    EXPECT_EQ(r.bottom, 56);
    ASSERT_TRUE(SetWindowPos(w, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE));
    EXPECT_FALSE(info().topmost);
    EXPECT_FALSE(SetWindowPos((HWND)0x7777, nullptr, 0, 0, 0, 0, SWP_NOSIZE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);

    // The desktop is the screen; a DC reads its resolution and must be released.
    r = rect_of(GetDesktopWindow());
    EXPECT_EQ(r.right, 1024);
    EXPECT_EQ(r.bottom, 768);
    HDC dc = GetDC(w);
    EXPECT_EQ(GetDeviceCaps(dc, HORZRES), 1024);
    EXPECT_EQ(GetDeviceCaps(dc, VERTRES), 768);
    EXPECT_EQ(ReleaseDC(w, dc), 1);
    EXPECT_EQ(ReleaseDC(w, dc), 0);
    DestroyWindow(w);
}

TEST(DialogsMessages, LoadStringSizeRules) {
    kit::Machine m(Os::WinXp);
    kit::Library lib("QUVAUI.DLL");
    HINSTANCE ui = (HINSTANCE)lib.handle();
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(LoadStringA(ui, 108, buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "Cancel");
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(LoadStringA(ui, 108, buf, 4), 3);
    EXPECT_STREQ(buf, "Can");
    EXPECT_EQ(buf[4], '#');
    EXPECT_EQ(LoadStringA(ui, 108, buf, 1), 0);
    EXPECT_STREQ(buf, "");
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(LoadStringA(ui, 104, buf, sizeof buf), 0) << "no such string";
    EXPECT_STREQ(buf, "");
    // Only the low word of an id names a string; escapes are decoded.
    EXPECT_EQ(LoadStringA(ui, 0x10000 + 107, buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "OK");
    char prompt[200];
    ASSERT_GT(LoadStringA(ui, 2, prompt, sizeof prompt), 0);
    EXPECT_EQ(std::string(prompt).substr(0, 22), "Enter the Quva name.\n\n");
    // A module without resources beside it.
    EXPECT_EQ(LoadStringA(nullptr, 107, buf, sizeof buf), 0);
}
