// USER: classes, windows and their messages, the per-thread queues on the
// virtual clock, and message boxes answered by the scripted user.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/sim.h>

#include <string>
#include <vector>

namespace {

using winsim::Machine;
using winsim::Os;
namespace user = winsim::user;

// Every message a test window saw, as "NAME hwnd-tag".
std::vector<std::string> g_log;
HWND g_parent;
bool g_fail_nccreate, g_fail_create;
DWORD g_proc_thread;

std::string name_of(UINT m) {
    switch (m) {
    case WM_NCCREATE: return "NCCREATE";
    case WM_CREATE: return "CREATE";
    case WM_DESTROY: return "DESTROY";
    case WM_NCDESTROY: return "NCDESTROY";
    case WM_SHOWWINDOW: return "SHOWWINDOW";
    case WM_USER: return "USER";
    case WM_USER + 1: return "USER+1";
    default: return "other";
    }
}

LRESULT CALLBACK logging_proc(HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == WM_NCCREATE || m == WM_CREATE || m == WM_DESTROY || m == WM_NCDESTROY || m == WM_SHOWWINDOW ||
        m == WM_USER || m == WM_USER + 1)
        g_log.push_back(name_of(m) + (h == g_parent ? " parent" : " child"));
    if (m == WM_NCCREATE && g_fail_nccreate) return FALSE;
    if (m == WM_CREATE && g_fail_create) return -1;
    if (m == WM_USER) {
        g_proc_thread = GetCurrentThreadId();
        return (LRESULT)(w * 2);
    }
    return DefWindowProcA(h, m, w, l);
}

struct UserTest : ::testing::Test {
    void SetUp() override {
        machine = Machine::temporary(Os::WinXp);
        g_log.clear();
        g_parent = nullptr;
        g_fail_nccreate = g_fail_create = false;
        before = winsim::handles::open();
        WNDCLASSA wc{};
        wc.lpfnWndProc = logging_proc;
        wc.lpszClassName = "Logging";
        ASSERT_NE(RegisterClassA(&wc), 0);
    }
    void TearDown() override { EXPECT_EQ(winsim::handles::leaks_since(before), ""); }
    std::unique_ptr<Machine> machine;
    winsim::handles::Counts before;
};

TEST_F(UserTest, ClassesAndCreation) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = logging_proc;
    wc.lpszClassName = "LOGGING";
    SetLastError(0);
    EXPECT_EQ(RegisterClassA(&wc), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_ALREADY_EXISTS);
    EXPECT_EQ(CreateWindowExA(0, "Nothing", "x", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CANNOT_FIND_WND_CLASS);
    EXPECT_EQ(CreateWindowExA(0, "Logging", "x", WS_CHILD, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TLW_WITH_WSCHILD);

    HWND h = CreateWindowA("logging", "Title", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    g_parent = h;
    EXPECT_EQ(g_log, (std::vector<std::string>{"NCCREATE child", "CREATE child"})); // g_parent was set after
    EXPECT_EQ(winsim::handles::open()[winsim::HandleKind::Window], 1);
    char title[16];
    EXPECT_EQ(GetWindowTextA(h, title, sizeof title), 5);
    EXPECT_STREQ(title, "Title");
    EXPECT_EQ(GetWindowTextA(h, title, 3), 2);
    EXPECT_STREQ(title, "Ti");
    EXPECT_TRUE(SetWindowTextA(h, "New"));
    EXPECT_EQ(user::windows().at(0).title, "New");
    EXPECT_EQ(UnregisterClassA("Logging", nullptr), FALSE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_HAS_WINDOWS);

    // WM_NCCREATE answering FALSE, or WM_CREATE answering -1, ends the creation.
    g_log.clear();
    g_fail_nccreate = true;
    EXPECT_EQ(CreateWindowA("Logging", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(g_log, (std::vector<std::string>{"NCCREATE child", "NCDESTROY child"}));
    g_fail_nccreate = false;
    g_fail_create = true;
    g_log.clear();
    EXPECT_EQ(CreateWindowA("Logging", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(g_log,
              (std::vector<std::string>{"NCCREATE child", "CREATE child", "DESTROY child", "NCDESTROY child"}));
    EXPECT_EQ(user::windows().size(), 1u);
    EXPECT_TRUE(DestroyWindow(h));
    EXPECT_TRUE(UnregisterClassA("Logging", nullptr));
}

TEST_F(UserTest, ShowAndDestroyInWindowsOrder) {
    g_parent = (HWND)0x10010; // the first window handle of a machine
    HWND p = CreateWindowA("Logging", "P", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(p, g_parent);
    HWND c = CreateWindowA("Logging", "C", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, p, nullptr, nullptr, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(GetParent(c), p);
    EXPECT_FALSE(IsWindowVisible(c)); // the parent is hidden
    g_log.clear();
    EXPECT_FALSE(ShowWindow(p, SW_SHOW));
    EXPECT_TRUE(ShowWindow(p, SW_SHOWNORMAL));
    EXPECT_TRUE(IsWindowVisible(c));
    EXPECT_TRUE(ShowWindow(p, SW_HIDE));
    EXPECT_EQ(g_log, (std::vector<std::string>{"SHOWWINDOW parent", "SHOWWINDOW parent"}));

    // Another thread may not destroy them.
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID w) -> DWORD { return DestroyWindow((HWND)w) ? 0 : GetLastError(); }, p, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    CloseHandle(t);
    EXPECT_EQ(code, (DWORD)ERROR_ACCESS_DENIED);

    g_log.clear();
    EXPECT_TRUE(DestroyWindow(p));
    EXPECT_EQ(g_log, (std::vector<std::string>{"DESTROY parent", "DESTROY child", "NCDESTROY child",
                                               "NCDESTROY parent"}));
    EXPECT_FALSE(IsWindow(c));
    EXPECT_FALSE(DestroyWindow(p));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(ShowWindow(p, SW_SHOW));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(UserTest, TheQueueDeliversPostedMessagesThenQuit) {
    HWND h = CreateWindowA("Logging", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    g_parent = h;
    ASSERT_TRUE(PostMessageA(h, WM_USER + 1, 1, 2));
    ASSERT_TRUE(PostMessageA(nullptr, WM_APP, 3, 4)); // a thread message
    PostQuitMessage(5);
    ASSERT_TRUE(PostMessageA(h, WM_USER + 1, 6, 7));
    MSG msg;
    // Peeking leaves it; a range picks the later one.
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, (UINT)WM_USER + 1);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(msg.hwnd, nullptr);
    ASSERT_EQ(GetMessageA(&msg, h, 0, 0), TRUE);
    EXPECT_EQ(msg.wParam, 1u);
    g_log.clear();
    EXPECT_EQ(DispatchMessageA(&msg), 0);
    EXPECT_EQ(g_log, std::vector<std::string>{"USER+1 parent"});
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.wParam, 6u);
    // WM_QUIT comes once the posted messages are gone.
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
    EXPECT_EQ(msg.message, (UINT)WM_QUIT);
    EXPECT_EQ(msg.wParam, 5u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(GetMessageA(&msg, (HWND)0x1234, 0, 0), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostMessageA((HWND)0x1234, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    // Destroying a window drops what was posted to it.
    PostMessageA(h, WM_USER + 1, 0, 0);
    DestroyWindow(h);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(UserTest, GetMessageWaitsOnTheVirtualClockAndSendCrossesThreads) {
    static DWORD main_thread;
    main_thread = GetCurrentThreadId();
    // A worker owns a window and runs a message loop; the main thread talks to it.
    static HWND worker_window;
    worker_window = nullptr;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            worker_window = CreateWindowA("Logging", "w", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
            PostThreadMessageA(main_thread, WM_APP, 0, 0);
            MSG m;
            while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
            DestroyWindow(worker_window);
            return (DWORD)m.wParam;
        },
        nullptr, 0, nullptr);
    MSG msg;
    uint64_t t0 = winsim::clock::now_ms();
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, (UINT)WM_APP);
    EXPECT_EQ(winsim::clock::now_ms(), t0);

    EXPECT_EQ(SendMessageA(worker_window, WM_USER, 21, 0), 42);
    EXPECT_NE(g_proc_thread, main_thread);

    // A timer-like wake-up: the worker sleeps, then posts; GetMessage waits the 250 ms.
    HANDLE t2 = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            Sleep(250);
            PostThreadMessageA(main_thread, WM_APP + 1, 0, 0);
            return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, (UINT)WM_APP + 1);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 250u);
    WaitForSingleObject(t2, INFINITE);
    CloseHandle(t2);

    PostMessageA(worker_window, WM_QUIT, 9, 0);
    WaitForSingleObject(t, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, 9u);
    CloseHandle(t);
    EXPECT_FALSE(PostThreadMessageA(0x7777, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_THREAD_ID);
}

TEST_F(UserTest, MessageBoxesGoToTheScriptedUser) {
    // Without a rule the user presses the default button.
    EXPECT_EQ(MessageBoxA(nullptr, "Go on?", "Cap", MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "Done", "Cap", MB_OK), IDOK);
    user::on_message_box("Cap", "Go", IDYES);
    user::on_message_box("", "Retry", IDCANCEL);
    EXPECT_EQ(MessageBoxA(nullptr, "Go on?", "Cap", MB_YESNO | MB_DEFBUTTON2), IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "Retry now", "Other", MB_RETRYCANCEL), IDCANCEL);
    user::set_default_answer(IDCANCEL);
    EXPECT_EQ(MessageBoxA(nullptr, "Sure?", "Other", MB_OKCANCEL), IDCANCEL);
    user::clear_message_box_rules();
    EXPECT_EQ(MessageBoxA(nullptr, "Sure?", "Other", MB_OKCANCEL), IDOK);

    HWND h = CreateWindowA("Logging", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(MessageBoxA(h, nullptr, nullptr, MB_OK | MB_ICONEXCLAMATION), IDOK);
    DestroyWindow(h);
    SetLastError(0);
    EXPECT_EQ(MessageBoxA(h, "gone", "x", MB_OK), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(MessageBoxA(nullptr, "bad", "x", 0xF), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_MSGBOX_STYLE);
    winsim::faults::fail("MessageBoxA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(MessageBoxA(nullptr, "x", "x", MB_OK), 0);

    auto boxes = user::message_boxes();
    ASSERT_EQ(boxes.size(), 7u);
    EXPECT_EQ(boxes[0].caption, "Cap");
    EXPECT_EQ(boxes[0].text, "Go on?");
    EXPECT_EQ(boxes[0].type, (UINT)(MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION));
    EXPECT_EQ(boxes[0].answer, IDNO);
    EXPECT_EQ(boxes[0].process_id, GetCurrentProcessId());
    EXPECT_EQ(boxes[6].owner, h);
    EXPECT_EQ(boxes[6].caption, "Error"); // Windows' caption when none is given
    EXPECT_EQ(boxes[6].text, "");

    std::string drawn = user::render(boxes[0]);
    EXPECT_NE(drawn.find("| Cap  (question)"), std::string::npos) << drawn;
    EXPECT_NE(drawn.find("| Go on?"), std::string::npos) << drawn;
    EXPECT_NE(drawn.find("[ Yes ]  [*No*]"), std::string::npos) << drawn;
    user::clear_message_boxes();
    EXPECT_TRUE(user::message_boxes().empty());
}

TEST_F(UserTest, IconsCursorsAndWhatAProcessLeaves) {
    EXPECT_NE(LoadIconA(nullptr, IDI_APPLICATION), nullptr);
    EXPECT_NE(LoadCursorA(nullptr, IDC_ARROW), nullptr);
    EXPECT_NE(LoadIconA(nullptr, IDI_WARNING), LoadIconA(nullptr, IDI_ERROR));
    EXPECT_EQ(LoadIconA(GetModuleHandleA(nullptr), "Setup"), nullptr);
    EXPECT_EQ(LoadCursorA(nullptr, MAKEINTRESOURCEA(1)), nullptr);

    // A process that ends with its window and class still there leaves nothing behind.
    winsim::processes::register_program("leaver", [](const std::string &) -> DWORD {
        WNDCLASSA wc{};
        wc.lpfnWndProc = DefWindowProcA;
        wc.lpszClassName = "Logging"; // classes belong to their process
        if (!RegisterClassA(&wc)) return 1;
        return CreateWindowA("Logging", "left", WS_VISIBLE, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr) ? 0 : 2;
    });
    winsim::processes::install_program("C:\\LEAVER.EXE", "leaver");
    EXPECT_EQ(winsim::processes::run("C:\\LEAVER.EXE"), 0u);
    EXPECT_TRUE(user::windows().empty());
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = "Logging2";
    EXPECT_NE(RegisterClassA(&wc), 0);
}

} // namespace
