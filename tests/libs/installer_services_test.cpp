// The driver installer library's service queries and control, and its
// process runner, on the simulated service manager and processes.
#include "kit.h"

#include <quvadi.h>

#include <cstring>

using winsim::Os;
namespace services = winsim::services;
namespace processes = winsim::processes;

namespace {

const std::string k_services = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";

// A machine with the library loaded and a stopped demand-start kernel
// driver "qvtest" on NT.
struct Fixture {
    explicit Fixture(Os os) : m(os), lib("QUVADI.DLL") {
        if (!m->profile().nt()) return;
        winsim::disk::write_text(std::string(m->profile().system_dir) + "\\drivers\\qvtest.sys", "MZ");
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE s = CreateServiceA(scm, "qvtest", "qvtest", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     "System32\\Drivers\\qvtest.sys", nullptr, nullptr, nullptr, nullptr, nullptr);
        EXPECT_NE(s, nullptr);
        if (s) CloseServiceHandle(s);
        CloseServiceHandle(scm);
    }
    BOOL start(const char *name, DWORD *flag, DWORD argc = 0, LPCSTR *argv = nullptr) {
        *flag = 77;
        return lib.fn<BOOL(WINAPI *)(LPCSTR, DWORD, LPCSTR *, LPDWORD)>("quvaDI_StartServiceA")(name, argc, argv,
                                                                                               flag);
    }
    BOOL stop(const char *name, DWORD *flag) {
        *flag = 77;
        return lib.fn<BOOL(WINAPI *)(LPCSTR, LPDWORD)>("quvaDI_StopServiceA")(name, flag);
    }
    BOOL remove(const char *name, DWORD *flag) {
        *flag = 77;
        return lib.fn<BOOL(WINAPI *)(LPCSTR, LPDWORD)>("quvaDI_DeleteServiceA")(name, flag);
    }
    BOOL installed(const char *name) { return lib.fn<BOOL(WINAPI *)(LPCSTR)>("quvaDI_IsServiceInstalledA")(name); }
    BOOL marked(const char *name) {
        return lib.fn<BOOL(WINAPI *)(LPCSTR)>("quvaDI_IsServiceMarkedForDeletionA")(name);
    }
    kit::Machine m;
    kit::Library lib;
};

TEST(InstallerServices, StartPollsOnTheVirtualClock) {
    Fixture f(Os::WinXp);
    DWORD flag;
    LPCSTR args[] = {"one", "two"};
    uint64_t t0 = winsim::clock::now_ms();
    EXPECT_TRUE(f.start("qvtest", &flag, 2, args));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(services::state("qvtest"), (DWORD)SERVICE_RUNNING);
    EXPECT_EQ(services::start_arguments("qvtest"), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(winsim::clock::now_ms() - t0, 0u);
    // Already running: the start request fails, the flag stays 0.
    EXPECT_FALSE(f.start("qvtest", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_EQ(flag, 0u);
    EXPECT_TRUE(f.stop("qvtest", &flag));

    // Settles after 2.5 s: three polls.
    services::Behaviour b;
    b.start_pending_ms = 2500;
    services::set_behaviour("qvtest", b);
    t0 = winsim::clock::now_ms();
    EXPECT_TRUE(f.start("qvtest", &flag));
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 3000u);
    EXPECT_TRUE(f.stop("qvtest", &flag));

    // Never settles: five polls, then the reboot flag.
    b.start_pending_ms = INFINITE;
    services::set_behaviour("qvtest", b);
    t0 = winsim::clock::now_ms();
    EXPECT_TRUE(f.start("qvtest", &flag));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(flag, 1u);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 5000u);
    EXPECT_EQ(services::open_handles("qvtest"), 0);
}

TEST(InstallerServices, StopPollsAndRefusals) {
    Fixture f(Os::Nt4);
    DWORD flag;
    // Not running: the stop request fails.
    EXPECT_FALSE(f.stop("qvtest", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(flag, 0u);
    services::Behaviour b;
    b.stop_pending_ms = 1500;
    services::set_behaviour("qvtest", b);
    ASSERT_TRUE(f.start("qvtest", &flag));
    uint64_t t0 = winsim::clock::now_ms();
    EXPECT_TRUE(f.stop("qvtest", &flag));
    EXPECT_EQ(flag, 0u);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 2000u);
    EXPECT_EQ(services::state("qvtest"), (DWORD)SERVICE_STOPPED);
    b.stop_pending_ms = INFINITE;
    services::set_behaviour("qvtest", b);
    ASSERT_TRUE(f.start("qvtest", &flag));
    t0 = winsim::clock::now_ms();
    EXPECT_TRUE(f.stop("qvtest", &flag));
    EXPECT_EQ(flag, 1u);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 5000u);
    services::release("qvtest");
    // A stop control the service refuses.
    b = services::Behaviour();
    b.stoppable = false;
    services::set_behaviour("qvtest", b);
    ASSERT_TRUE(f.start("qvtest", &flag));
    EXPECT_FALSE(f.stop("qvtest", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SERVICE_CONTROL);
}

TEST(InstallerServices, StartRefused) {
    Fixture g(Os::Win2000);
    DWORD flag;
    services::Behaviour b;
    b.start_error = ERROR_FILE_NOT_FOUND;
    services::set_behaviour("qvtest", b);
    EXPECT_FALSE(g.start("qvtest", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(InstallerServices, DeleteAndTheQueries) {
    Fixture f(Os::WinXp);
    DWORD flag;
    EXPECT_TRUE(f.installed("qvtest"));
    EXPECT_FALSE(f.marked("qvtest"));
    EXPECT_FALSE(f.installed("nosuch"));
    EXPECT_FALSE(f.marked("nosuch"));
    EXPECT_FALSE(f.installed(nullptr));
    SetLastError(0);
    EXPECT_TRUE(f.remove("nosuch", &flag));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(flag, 0u);
    // A running service stays, marked, until it stops.
    ASSERT_TRUE(f.start("qvtest", &flag));
    EXPECT_TRUE(f.remove("qvtest", &flag));
    EXPECT_EQ(flag, 0u);
    EXPECT_TRUE(f.marked("qvtest"));
    EXPECT_TRUE(f.remove("qvtest", &flag));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(flag, 1u);
    // Known to the manager but the key cannot be opened: counts as marked.
    winsim::faults::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, -1);
    EXPECT_TRUE(f.installed("qvtest"));
    EXPECT_TRUE(f.marked("qvtest"));
    winsim::faults::clear();
    // Other delete failures are reported.
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[" + k_services + "qvtest]\n\"DeleteFlag\"=-\n"));
    winsim::faults::fail("DeleteService", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(f.remove("qvtest", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST(InstallerServices, FailuresOfTheCommonOpening) {
    for (Os os : {Os::Win95, Os::Win98, Os::WinMe}) {
        Fixture f(os);
        DWORD flag;
        EXPECT_FALSE(f.start("qvtest", &flag));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSTALL_PLATFORM_UNSUPPORTED);
        EXPECT_EQ(flag, 0u);
        EXPECT_FALSE(f.stop("qvtest", &flag));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSTALL_PLATFORM_UNSUPPORTED);
        EXPECT_FALSE(f.remove("qvtest", &flag));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSTALL_PLATFORM_UNSUPPORTED);
        EXPECT_FALSE(f.installed("qvtest"));
    }
    Fixture f(Os::WinXp);
    DWORD flag;
    winsim::faults::fail("GetVersionExA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(f.start("qvtest", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    winsim::faults::fail("OpenSCManagerA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(f.stop("qvtest", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    winsim::faults::fail("OpenSCManagerA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(f.remove("qvtest", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(f.start("nosuch", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_FALSE(f.stop("nosuch", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
    winsim::faults::fail("QueryServiceStatus", ERROR_INVALID_HANDLE);
    EXPECT_FALSE(f.start("qvtest", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    // Null arguments get the invalid-parameter answer; a null name still
    // clears the flag.
    EXPECT_FALSE(f.start(nullptr, &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(flag, 0u);
    auto stop = f.lib.fn<BOOL(WINAPI *)(LPCSTR, LPDWORD)>("quvaDI_StopServiceA");
    EXPECT_FALSE(stop("qvtest", nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    // A non-administrator cannot open the manager for everything.
    f.m->set_admin(false);
    EXPECT_FALSE(f.remove("qvtest", &flag));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(f.installed("qvtest"));
}

using RunProcess = DWORD(WINAPI *)(HWND, LPSTR, LPCSTR, BOOL, UINT);

DWORD run(const kit::Library &lib, HWND w, const char *command, BOOL wait, const char *dir = nullptr) {
    std::vector<char> line(command, command + std::strlen(command) + 1);
    return lib.fn<RunProcess>("quvaDI_RunProcessA")(w, line.data(), dir, wait, SW_HIDE);
}

LRESULT CALLBACK counting_proc(HWND h, UINT msg, WPARAM w, LPARAM l) {
    static int seen;
    if (msg == WM_USER) ++seen;
    if (msg == WM_USER + 1) return seen;
    return DefWindowProcA(h, msg, w, l);
}

TEST(InstallerServices, RunProcessResults) {
    kit::Machine m(Os::WinXp);
    kit::Library lib("QUVADI.DLL");
    processes::register_program("qvexit", [](const std::string &line) -> DWORD {
        Sleep(2000);
        return line.find("three") != std::string::npos ? 3 : 0;
    });
    processes::install_program("C:\\APP\\QVEXIT.EXE", "qvexit");
    uint64_t t0 = winsim::clock::now_ms();
    EXPECT_EQ(run(lib, nullptr, "C:\\APP\\QVEXIT.EXE three", FALSE), 0u);
    EXPECT_EQ(winsim::clock::now_ms(), t0); // not waited for
    EXPECT_EQ(run(lib, nullptr, "C:\\APP\\QVEXIT.EXE three", TRUE), 3u);
    EXPECT_EQ(run(lib, nullptr, "C:\\APP\\QVEXIT.EXE", TRUE, ""), 0u);
    EXPECT_EQ(run(lib, nullptr, "C:\\APP\\QVEXIT.EXE", TRUE, "C:\\NOWHERE"), (DWORD)ERROR_DIRECTORY);
    EXPECT_EQ(run(lib, nullptr, "C:\\APP\\MISSING.EXE", TRUE), (DWORD)ERROR_FILE_NOT_FOUND);

    // Pumping one message per wait; WM_QUIT ends the wait with the program
    // still running.
    WNDCLASSA wc{};
    wc.lpfnWndProc = counting_proc;
    wc.lpszClassName = "QvCount";
    ASSERT_NE(RegisterClassA(&wc), 0);
    HWND h = CreateWindowA("QvCount", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 3; i++) PostMessageA(h, WM_USER, 0, 0);
    EXPECT_EQ(run(lib, h, "C:\\APP\\QVEXIT.EXE three", TRUE), 3u);
    EXPECT_EQ(SendMessageA(h, WM_USER + 1, 0, 0), 3);
    PostMessageA(h, WM_USER, 0, 0);
    PostMessageA(h, WM_QUIT, 0, 0);
    t0 = winsim::clock::now_ms();
    EXPECT_EQ(run(lib, h, "C:\\APP\\QVEXIT.EXE three", TRUE), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 500u);
    auto runs = processes::history();
    ASSERT_FALSE(runs.empty());
    EXPECT_FALSE(runs.back().ended);
    DestroyWindow(h);
    // Let the programs end before the machine goes.
    winsim::clock::advance(3000);
    processes::unregister_program("qvexit");
}

} // namespace
