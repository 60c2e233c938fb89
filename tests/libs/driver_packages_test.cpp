// The NT 4.0, 98/Me and 95 driver packages: DefaultInstall, run through the
// platform's rundll host, installs what the installer's inventory looks for,
// and the newer package replaces the older one's files.  The machine seeds
// of earlier installations read as the flows expect them.
#include "kit.h"

#include <quvadi.h>
#include <seeds.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using winsim::Os;

namespace {

const char k_src[] = "C:\\QUVA SRC";
const std::string k_services = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";

std::string dir_of(UINT(WINAPI *get)(LPSTR, UINT)) {
    char buf[MAX_PATH];
    UINT n = get(buf, sizeof buf);
    return std::string(buf, n);
}

// Every file of a built package folder into k_src, replacing what is there.
void stage(const std::string &folder) {
    std::string host = seeds::default_packages_dir() + "/" + folder;
    ASSERT_TRUE(std::filesystem::is_directory(host)) << host << ": driver packages not built";
    for (const auto &e : std::filesystem::directory_iterator(host)) {
        std::ifstream f(e.path(), std::ios::binary);
        std::vector<BYTE> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        ASSERT_TRUE(winsim::disk::write_file(std::string(k_src) + "\\" + e.path().filename().string(), bytes));
    }
}

// "<host> <dll>,InstallHinfSection DefaultInstall 132 <inf>" as the
// installer starts it; the host's exit code.
DWORD run_default_install(const std::string &inf) {
    OSVERSIONINFOA v = {};
    v.dwOSVersionInfoSize = sizeof v;
    EXPECT_TRUE(GetVersionExA(&v));
    std::string command = v.dwPlatformId == VER_PLATFORM_WIN32_NT
                              ? dir_of(GetSystemDirectoryA) + "\\rundll32.exe setupapi.dll"
                              : dir_of(GetWindowsDirectoryA) + "\\rundll.exe setupx.dll";
    command += ",InstallHinfSection DefaultInstall 132 " + std::string(k_src) + "\\" + inf;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::vector<char> line(command.begin(), command.end());
    line.push_back(0);
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, k_src, &si, &pi)) {
        ADD_FAILURE() << command << ": " << GetLastError();
        return 0xFFFFFFFF;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

DWORD reg_dword(const std::string &key, const std::string &name) {
    DWORD type = 0;
    std::vector<BYTE> d;
    if (!winsim::reg::value(key, name, &type, &d) || type != REG_DWORD || d.size() != 4) return 0xDEAD;
    return d[0] | d[1] << 8 | d[2] << 16 | (DWORD)d[3] << 24;
}

struct Package {
    Os os;
    const char *folder, *inf;
    // The installed images, under the Windows folder, as the inventory names them.
    std::vector<const char *> images;
};

const Package k_packages[] = {
    {Os::Nt4, "nt4", "USBQVTKN.INF",
     {"\\System32\\Drivers\\USBQVTKN.SYS", "\\System32\\Drivers\\USBHUB.SYS", "\\System32\\Drivers\\USBDRV.SYS"}},
    {Os::Win98, "98", "QVATOKEN.INF", {"\\System32\\Drivers\\QVATOKEN.SYS", "\\System\\QUVAVR9X.VXD"}},
    {Os::WinMe, "98", "QVATOKEN.INF", {"\\System32\\Drivers\\QVATOKEN.SYS", "\\System\\QUVAVR9X.VXD"}},
    {Os::Win95, "95", "QVATKN95.INF", {"\\System\\QvaTkn95.sys"}},
};

struct Installer {
    kit::Library lib{"QUVADI.DLL"};
    BOOL installed() { return lib.fn<BOOL(WINAPI *)(void)>("quvaDI_IsDriverInstalled")(); }
    DWORD version(const std::string &path, std::string *description = nullptr) {
        char text[64] = "";
        DWORD v = lib.fn<DWORD(WINAPI *)(LPCSTR, LPSTR)>("quvaDI_GetFileVersionA")(path.c_str(), text);
        if (description) *description = text;
        return v;
    }
};

} // namespace

TEST(DriverPackages, DefaultInstallGivesTheStackTheInventoryFindsAndUpgradesIt) {
    for (const Package &p : k_packages) {
        SCOPED_TRACE(p.folder + std::string(" on ") + std::to_string((int)p.os));
        kit::Machine m(p.os);
        Installer di;
        const std::string windir = dir_of(GetWindowsDirectoryA);
        EXPECT_FALSE(di.installed());

        stage(std::string(p.folder) + "-previous");
        EXPECT_EQ(run_default_install(p.inf), 0u);
        EXPECT_TRUE(di.installed());
        for (const char *image : p.images) EXPECT_EQ(di.version(windir + image), 0x01120038u) << image;

        stage(p.folder);
        EXPECT_EQ(run_default_install(p.inf), 0u);
        EXPECT_TRUE(di.installed());
        for (const char *image : p.images) {
            std::string description;
            EXPECT_EQ(di.version(windir + image, &description), 0x01120039u) << image;
            EXPECT_NE(description.find("Quva"), std::string::npos) << image;
        }

        if (p.os == Os::Nt4) {
            // Kernel drivers on demand, in the setup program's load groups;
            // the settings key is there but left to the installer to fill.
            for (const char *name : {"USBHUB", "USBQVTKN", "USBDRV"}) {
                EXPECT_EQ(reg_dword(k_services + name, "Type"), 1u) << name;
                EXPECT_EQ(reg_dword(k_services + name, "Start"), 3u) << name;
            }
            EXPECT_STREQ(kit::reg_string(k_services + "USBDRV", "Group").c_str(), "Extended Base");
            EXPECT_TRUE(winsim::reg::key_exists(k_services + "USBQVTKN\\Parameters"));
            EXPECT_EQ(reg_dword(k_services + "USBQVTKN\\Parameters", "NumberOfDevices"), 0xDEADu);
            EXPECT_FALSE(kit::Library("QUVADI.DLL").fn<BOOL(WINAPI *)(void)>("quvaDI_IsNtUsbStackInstalled")());
        } else {
            // 9x runs no service section: no service keys appear.
            EXPECT_FALSE(winsim::reg::key_exists(k_services + "QVATOKEN"));
        }
        if (p.os != Os::Nt4 && p.os != Os::Win95) {
            // With the reader VxD registered the inventory also wants the VxD
            // where the section put it.
            std::string why;
            ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\"
                                                 "VxD\\QUVAVR9X]\n\"StaticVxD\"=\"QUVAVR9X.VXD\"\n",
                                                 &why))
                << why;
            EXPECT_TRUE(di.installed());
        }
    }
}

TEST(DriverPackages, SeedsOfEarlierInstallsReadAsTheFlowsExpect) {
    struct Case {
        Os os;
        const char *generation;
        BOOL installed;
        const char *image; // under the Windows folder; "" for none
    };
    const Case cases[] = {
        {Os::Nt4, "nt4-previous", TRUE, "\\System32\\Drivers\\USBQVTKN.SYS"},
        {Os::Nt4, "nt4-leftover", FALSE, ""},
        {Os::Win98, "98-previous", TRUE, "\\System\\QUVAVR9X.VXD"},
        {Os::WinMe, "98-reader", FALSE, ""},
        {Os::Win95, "95-previous", TRUE, "\\System\\QVATKN95.SYS"},
        {Os::WinXp, "reader-stack", TRUE, "\\System32\\Drivers\\quvaenum.sys"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.generation);
        kit::Machine m(c.os);
        Installer di;
        std::string error;
        ASSERT_TRUE(seeds::seed(c.generation, {}, &error)) << error;
        // Seeding twice leaves the same machine.
        std::string once = winsim::reg::export_text();
        ASSERT_TRUE(seeds::seed(c.generation, {}, &error)) << error;
        EXPECT_EQ(winsim::reg::export_text(), once);
        EXPECT_EQ(di.installed(), c.installed);
        if (*c.image) {
            EXPECT_EQ(di.version(dir_of(GetWindowsDirectoryA) + c.image), 0x01120038u);
        }
        if (c.os == Os::Nt4) {
            EXPECT_TRUE(winsim::reg::key_exists("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\Root\\LEGACY_USBQVTKN"));
        }
        if (c.os == Os::Win98 || c.os == Os::WinMe) {
            // Only the other maker's reader counts as a non-virtual one.
            DWORD readers = di.lib.fn<DWORD(WINAPI *)(void)>("quvaDI_IsNonVrReaderInstalled")();
            EXPECT_EQ(readers, c.installed ? 0u : 1u);
        }
    }
    // A seed for another platform, or an unknown one, is refused.
    kit::Machine m(Os::Win98);
    std::string error;
    EXPECT_FALSE(seeds::seed("nt4-previous", {}, &error));
    EXPECT_NE(error.find("NT 4.0"), std::string::npos) << error;
    EXPECT_FALSE(seeds::seed("98-later", {}, &error));
    seeds::Options missing;
    missing.packages = "/nonexistent";
    EXPECT_FALSE(seeds::seed("98-previous", missing, &error));
    EXPECT_NE(error.find("/nonexistent"), std::string::npos) << error;
}
