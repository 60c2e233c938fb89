// Simulated processes: finding the image, their own command line, image name
// and environment, exit codes, waits on the virtual clock, load-time DLLs.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/sim.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using winsim::Machine;
using winsim::Os;
namespace processes = winsim::processes;

// What a program saw of itself while it ran.
struct Seen {
    std::string command_line, get_command_line, module, windir, marker;
    DWORD pid = 0;
} g_seen;

DWORD introspect(const std::string &line) {
    g_seen.command_line = line;
    g_seen.get_command_line = GetCommandLineA();
    char buf[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, buf, sizeof buf);
    g_seen.module = buf;
    buf[0] = '\0';
    GetEnvironmentVariableA("windir", buf, sizeof buf);
    g_seen.windir = buf;
    buf[0] = '\0';
    GetEnvironmentVariableA("MARKER", buf, sizeof buf);
    g_seen.marker = buf;
    g_seen.pid = GetCurrentProcessId();
    // The change stays inside this process.
    SetEnvironmentVariableA("MARKER", "changed by the child");
    return 42;
}

struct ProcessesTest : ::testing::Test {
    void SetUp() override {
        machine = Machine::temporary(Os::Nt4);
        machine->set_process_image("C:\\APP\\APP.EXE");
        processes::register_program("introspect", introspect);
        before = winsim::handles::open();
        g_seen = Seen();
    }
    void TearDown() override { EXPECT_EQ(winsim::handles::leaks_since(before), ""); }
    std::unique_ptr<Machine> machine;
    winsim::handles::Counts before;
};

PROCESS_INFORMATION start(const char *app, std::string line, DWORD flags = 0, void *env = nullptr,
                          BOOL *ok = nullptr) {
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::memset(&pi, 0, sizeof pi);
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    BOOL r = CreateProcessA(app, line.empty() ? nullptr : buf.data(), nullptr, nullptr, FALSE, flags, env, nullptr,
                            &si, &pi);
    if (ok) *ok = r;
    return pi;
}

void close(const PROCESS_INFORMATION &pi) {
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

TEST_F(ProcessesTest, AProcessHasItsOwnCommandLineImageAndEnvironment) {
    ASSERT_TRUE(processes::install_program("C:\\APP\\TOOL.EXE", "introspect"));
    SetEnvironmentVariableA("MARKER", "from the parent");
    BOOL ok;
    PROCESS_INFORMATION pi = start(nullptr, "tool /x \"y z\"", 0, nullptr, &ok);
    ASSERT_TRUE(ok) << GetLastError();
    EXPECT_EQ(winsim::handles::open()[winsim::HandleKind::Process], 1);
    EXPECT_EQ(winsim::handles::open()[winsim::HandleKind::Thread], 1);
    // The new process runs once the parent waits.
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 42u);
    close(pi);

    EXPECT_EQ(g_seen.command_line, "tool /x \"y z\"");
    EXPECT_EQ(g_seen.get_command_line, "tool /x \"y z\"");
    EXPECT_EQ(g_seen.module, "C:\\APP\\TOOL.EXE");
    EXPECT_EQ(g_seen.windir, "C:\\WINNT");
    EXPECT_EQ(g_seen.marker, "from the parent");
    EXPECT_EQ(g_seen.pid, pi.dwProcessId);
    EXPECT_NE(pi.dwProcessId, GetCurrentProcessId());

    // The parent is untouched.
    char buf[64] = "";
    GetEnvironmentVariableA("MARKER", buf, sizeof buf);
    EXPECT_STREQ(buf, "from the parent");
    EXPECT_STREQ(GetCommandLineA(), "APP.EXE");
    GetModuleFileNameA(nullptr, buf, sizeof buf);
    EXPECT_STREQ(buf, "C:\\APP\\APP.EXE");

    auto runs = processes::history();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].program, "introspect");
    EXPECT_EQ(runs[0].exit_code, 42u);
    EXPECT_TRUE(runs[0].ended);
}

TEST_F(ProcessesTest, TheImageIsFoundAsWindowsFindsIt) {
    ASSERT_TRUE(processes::install_program("C:\\Program Files\\Vendor Tool\\run.exe", "introspect"));
    ASSERT_TRUE(processes::install_program("C:\\WINNT\\system32\\sysprog.exe", "introspect"));
    // An unquoted path with blanks: the shortest prefix that names a file wins.
    EXPECT_EQ(processes::run("C:\\Program Files\\Vendor Tool\\run.exe -a b"), 42u);
    EXPECT_EQ(g_seen.module, "C:\\Program Files\\Vendor Tool\\run.exe");
    EXPECT_EQ(processes::run("\"C:\\Program Files\\Vendor Tool\\run\" /q"), 42u);
    // No directory: the system directory is on the search path; ".exe" is added.
    EXPECT_EQ(processes::run("SYSPROG"), 42u);
    EXPECT_EQ(g_seen.module, "C:\\WINNT\\system32\\sysprog.exe");
    // The application name, when given, is taken as it is.
    PROCESS_INFORMATION pi = start("C:\\WINNT\\system32\\sysprog.exe", "");
    WaitForSingleObject(pi.hProcess, INFINITE);
    close(pi);
    EXPECT_EQ(g_seen.get_command_line, "C:\\WINNT\\system32\\sysprog.exe");

    DWORD error = 0;
    EXPECT_EQ(processes::run("nosuch.exe", &error), (DWORD)-1);
    EXPECT_EQ(error, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(processes::run("C:\\NODIR\\x.exe", &error), (DWORD)-1);
    EXPECT_EQ(error, (DWORD)ERROR_PATH_NOT_FOUND);
    winsim::disk::write_text("C:\\APP\\TEXT.EXE", "not a program");
    EXPECT_EQ(processes::run("C:\\APP\\TEXT.EXE", &error), (DWORD)-1);
    EXPECT_EQ(error, (DWORD)ERROR_BAD_EXE_FORMAT);
    processes::install_program("C:\\APP\\GHOST.EXE", "no-such-program");
    EXPECT_EQ(processes::run("C:\\APP\\GHOST.EXE", &error), (DWORD)-1);
    EXPECT_EQ(error, (DWORD)ERROR_BAD_EXE_FORMAT);
    winsim::faults::fail("CreateProcessA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(processes::run("SYSPROG", &error), (DWORD)-1);
    EXPECT_EQ(error, (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(processes::history().size(), 4u);
}

TEST_F(ProcessesTest, ExitCodesWaitsAndTheClock) {
    processes::register_program("slow", [](const std::string &) -> DWORD {
        Sleep(5000);
        ExitProcess(7);
        return 99; // not reached
    });
    processes::install_program("C:\\APP\\SLOW.EXE", "slow");
    uint64_t t0 = winsim::clock::now_ms();
    PROCESS_INFORMATION pi = start(nullptr, "slow");
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 1000), (DWORD)WAIT_TIMEOUT);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 5000u);
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 7u);
    // The main thread's handle is signaled too, with the same code.
    EXPECT_EQ(WaitForSingleObject(pi.hThread, 0), WAIT_OBJECT_0);
    GetExitCodeThread(pi.hThread, &code);
    EXPECT_EQ(code, 7u);
    close(pi);
    EXPECT_FALSE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(ProcessesTest, SuspendedAndWithAnEnvironmentBlock) {
    processes::install_program("C:\\APP\\TOOL.EXE", "introspect");
    const char env[] = "MARKER=from the block\0windir=C:\\ELSEWHERE\0";
    PROCESS_INFORMATION pi = start(nullptr, "tool", CREATE_SUSPENDED, (void *)env);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(g_seen.pid, 0u);
    EXPECT_EQ(ResumeThread(pi.hThread), 1u);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
    close(pi);
    EXPECT_EQ(g_seen.marker, "from the block");
    EXPECT_EQ(g_seen.windir, "C:\\ELSEWHERE");
}

TEST_F(ProcessesTest, LoadTimeLibrariesMustBeThere) {
    bool ran = false;
    processes::register_program("bound", [&ran](const std::string &) -> DWORD {
        ran = true;
        // Bound and counted while the process runs.
        EXPECT_NE(GetModuleHandleA("VERSION.DLL"), nullptr);
        return 0;
    });
    processes::install_program("C:\\APP\\BOUND.EXE", "bound", {"VERSION.DLL"});
    processes::install_program("C:\\APP\\BROKEN.EXE", "bound", {"VERSION.DLL", "MISSING.DLL"});
    EXPECT_EQ(processes::run("C:\\APP\\BOUND.EXE"), 0u);
    EXPECT_TRUE(ran);
    ran = false;
    EXPECT_EQ(processes::run("C:\\APP\\BROKEN.EXE"), (DWORD)STATUS_DLL_NOT_FOUND);
    EXPECT_FALSE(ran);
    // The library the new process's own directory holds wins over the system's.
    winsim::disk::write_text("C:\\OTHER\\MISSING.DLL", "WINSIM-IMAGE\r\nbuiltin=version\r\n");
    processes::install_program("C:\\OTHER\\BROKEN.EXE", "bound", {"VERSION.DLL", "MISSING.DLL"});
    EXPECT_EQ(processes::run("C:\\OTHER\\BROKEN.EXE"), 0u);
    EXPECT_TRUE(ran);
}

TEST(ProcessesDeathTest, ExitProcessBelongsToSimulatedProcesses) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto m = Machine::temporary(Os::WinXp);
            ExitProcess(1);
        },
        "only processes started with CreateProcessA");
}

} // namespace
