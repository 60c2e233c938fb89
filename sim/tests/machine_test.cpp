// Machine profiles, machine directories and the module loader.
#include <windows.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using winsim::Os;

namespace {

TEST(MachineTest, GetVersionExAnswersAsEachSystem) {
    struct Expect {
        Os os;
        DWORD platform, major, minor, build;
        const char *windir, *sysdir;
    } cases[] = {
        {Os::Win95, 1, 4, 0, 0x040003B6, "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
        {Os::Win98, 1, 4, 10, 0x040A08AE, "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
        {Os::WinMe, 1, 4, 90, 0x045A0BB8, "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM"},
        {Os::Nt4, 2, 4, 0, 1381, "C:\\WINNT", "C:\\WINNT\\system32"},
        {Os::Win2000, 2, 5, 0, 2195, "C:\\WINNT", "C:\\WINNT\\system32"},
        {Os::WinXp, 2, 5, 1, 2600, "C:\\WINDOWS", "C:\\WINDOWS\\system32"},
        {Os::Win2003, 2, 5, 2, 3790, "C:\\WINDOWS", "C:\\WINDOWS\\system32"},
        {Os::Vista, 2, 6, 0, 6002, "C:\\Windows", "C:\\Windows\\system32"},
    };
    for (const Expect &e : cases) {
        auto m = winsim::Machine::temporary(e.os);
        OSVERSIONINFOA v;
        std::memset(&v, 0xCC, sizeof v);
        v.dwOSVersionInfoSize = sizeof v;
        ASSERT_TRUE(GetVersionExA(&v));
        EXPECT_EQ(v.dwPlatformId, e.platform);
        EXPECT_EQ(v.dwMajorVersion, e.major);
        EXPECT_EQ(v.dwMinorVersion, e.minor);
        EXPECT_EQ(v.dwBuildNumber, e.build);
        EXPECT_LT(std::strlen(v.szCSDVersion), sizeof v.szCSDVersion);

        // 9x knows only the short record; any other size is refused.
        OSVERSIONINFOEXA x{};
        x.dwOSVersionInfoSize = sizeof x;
        EXPECT_EQ(GetVersionExA((OSVERSIONINFOA *)&x), e.platform == 2 ? TRUE : FALSE);
        v.dwOSVersionInfoSize = sizeof v - 1;
        SetLastError(0);
        EXPECT_FALSE(GetVersionExA(&v));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);

        char dir[MAX_PATH];
        EXPECT_EQ(GetWindowsDirectoryA(dir, sizeof dir), std::strlen(e.windir));
        EXPECT_STREQ(dir, e.windir);
        EXPECT_EQ(GetSystemDirectoryA(dir, sizeof dir), std::strlen(e.sysdir));
        EXPECT_STREQ(dir, e.sysdir);
        EXPECT_NE(GetFileAttributesA(e.sysdir), INVALID_FILE_ATTRIBUTES);
        // Too small: the size needed, terminator included, and nothing copied.
        EXPECT_EQ(GetWindowsDirectoryA(dir, 3), std::strlen(e.windir) + 1);
    }
}

TEST(MachineTest, FailuresOnDemand) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::faults::fail("GetVersionExA", ERROR_INVALID_PARAMETER);
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    EXPECT_FALSE(GetVersionExA(&v));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(GetVersionExA(&v)); // once by default
    winsim::faults::fail("GetSystemDirectoryA", ERROR_ACCESS_DENIED, 2, 1);
    char dir[MAX_PATH];
    EXPECT_NE(GetSystemDirectoryA(dir, sizeof dir), 0u);
    EXPECT_EQ(GetSystemDirectoryA(dir, sizeof dir), 0u);
    EXPECT_EQ(GetSystemDirectoryA(dir, sizeof dir), 0u);
    EXPECT_NE(GetSystemDirectoryA(dir, sizeof dir), 0u);
    EXPECT_EQ(winsim::faults::fired("GetSystemDirectoryA"), 2);
}

TEST(MachineTest, SavedMachineLoadsAgain) {
    std::string dir;
    {
        auto m = winsim::Machine::temporary(Os::Nt4);
        dir = m->dir() + "-copy";
    }
    std::filesystem::remove_all(dir);
    {
        auto m = winsim::Machine::create(dir, Os::Win98);
        m->set_admin(false);
        m->set_process_image("C:\\TOOLS\\SETUP.EXE");
        std::string v = "C:\\OTHER";
        m->set_environment("windir", &v);
        ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Test]\n\"A\"=dword:00000007\n"));
        ASSERT_TRUE(winsim::disk::write_text("C:\\TOOLS\\readme.txt", "hello"));
        m->save();
    }
    {
        auto m = winsim::Machine::load(dir);
        EXPECT_EQ(m->profile().os, Os::Win98);
        EXPECT_FALSE(m->admin());
        char buf[MAX_PATH];
        EXPECT_EQ(GetModuleFileNameA(nullptr, buf, sizeof buf), std::strlen("C:\\TOOLS\\SETUP.EXE"));
        EXPECT_EQ(GetEnvironmentVariableA("WINDIR", buf, sizeof buf), 8u);
        EXPECT_STREQ(buf, "C:\\OTHER");
        EXPECT_TRUE(winsim::reg::key_exists("HKEY_LOCAL_MACHINE\\SOFTWARE\\TEST"));
        EXPECT_TRUE(winsim::disk::exists("c:\\tools\\README.TXT"));
    }
    std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------- modules

typedef DWORD(WINAPI *VersionFn)(void);

TEST(ModuleTest, LoadLibrarySearchesTheDiskLikeWindows) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    m->set_process_image("C:\\APP\\APP.EXE");
    auto before = winsim::handles::open();
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("QUVAB2"), nullptr); // not on this machine
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);

    ASSERT_TRUE(winsim::disk::install_library("C:\\WINDOWS\\system32\\QUVAB2.DLL", "QUVAB2"));
    ASSERT_TRUE(winsim::disk::install_library("C:\\APP\\quvab2.dll", "QUVAB2"));
    HMODULE a = LoadLibraryA("QUVAB2"); // ".DLL" added; the application directory comes first
    ASSERT_NE(a, nullptr);
    char path[MAX_PATH];
    EXPECT_STREQ((GetModuleFileNameA(a, path, sizeof path), path), "C:\\APP\\quvab2.dll");
    HMODULE b = LoadLibraryA("c:\\windows\\SYSTEM32\\quvab2.dll"); // the same image: one module
    EXPECT_EQ(a, b);
    EXPECT_EQ(winsim::modules::references(a), 2);
    EXPECT_EQ(GetModuleHandleA("QUVAB2.DLL"), a);

    // Only what the .def exports can be found.
    auto fn = (VersionFn)(void *)GetProcAddress(a, "quva_GetLibVersion");
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(), 0x01030031u);
    EXPECT_EQ(GetProcAddress(a, "quva_register_component"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetProcAddress(a, "DllMain"), nullptr);

    EXPECT_EQ(winsim::handles::leaks_since(before), "2 module");
    EXPECT_TRUE(FreeLibrary(b));
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_FALSE(FreeLibrary(a));
    EXPECT_EQ(winsim::handles::leaks_since(before), "");

    // A file that is not an image of ours does not load.
    ASSERT_TRUE(winsim::disk::write_text("C:\\APP\\BROKEN.DLL", "MZ not really"));
    EXPECT_EQ(LoadLibraryA("broken.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_EXE_FORMAT);
    winsim::faults::fail("LoadLibraryA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(LoadLibraryA("QUVAB2"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
}

TEST(ModuleTest, SystemLibrariesAreProvided) {
    for (Os os : {Os::Win95, Os::WinXp}) {
        auto m = winsim::Machine::temporary(os);
        HMODULE k = LoadLibraryA("KERNEL32");
        ASSERT_NE(k, nullptr);
        EXPECT_NE(GetProcAddress(k, "GetVersionExA"), nullptr);
        EXPECT_TRUE(FreeLibrary(k));
    }
}

TEST(ModuleTest, ShortBuffersAreCutAsTheSystemCutsThem) {
    for (Os os : {Os::WinXp, Os::Vista}) {
        auto m = winsim::Machine::temporary(os);
        m->set_process_image("C:\\APP\\APP.EXE"); // 14 characters
        char buf[8];
        std::memset(buf, 'x', sizeof buf);
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameA(nullptr, buf, sizeof buf), sizeof buf);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
        if (os == Os::Vista)
            EXPECT_STREQ(buf, "C:\\APP\\");
        else
            EXPECT_EQ(std::string(buf, sizeof buf), "C:\\APP\\A"); // no terminator before Vista
    }
}

} // namespace
