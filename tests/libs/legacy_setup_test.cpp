// The NT 4.0 setup program and its service installer library, run as a
// simulated process on simulated machines: options, files, services,
// messages and exit codes, and every fault on the way.
#include <quvainst.h>
#include <windows.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using winsim::Os;
namespace services = winsim::services;
namespace user = winsim::user;

const char *const k_drivers[] = {"usbhub", "usbqvtkn", "usbdrv"};
const std::string k_services = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";

// Our own directory on the host, where the build puts bin/drivers/nt4.
std::string host_bin_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string p(buf, (size_t)n);
    return p.substr(0, p.rfind('/'));
}

std::vector<BYTE> host_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A machine with the NT 4.0 driver package in C:\QUVA\NT4: setup, quvainst
// and the three driver files.
class SetupMachine {
public:
    explicit SetupMachine(Os os = Os::Nt4, const std::string &dir = "C:\\QUVA\\NT4")
        : m_(winsim::Machine::temporary(os)), dir_(dir) {
        install(dir);
        before_ = winsim::handles::open();
    }
    ~SetupMachine() { EXPECT_EQ(winsim::handles::leaks_since(before_), "") << "handles left open"; }
    winsim::Machine *operator->() { return m_.get(); }

    void install(const std::string &dir) {
        EXPECT_TRUE(winsim::processes::install_program(dir + "\\SETUP.EXE", "setup", {"quvainst.dll"}));
        EXPECT_TRUE(winsim::disk::install_library(dir + "\\quvainst.dll", "quvainst"));
        for (const char *d : k_drivers) {
            std::vector<BYTE> bytes = host_file(host_bin_dir() + "/drivers/nt4/" + d + ".sys");
            ASSERT_FALSE(bytes.empty()) << "fixture " << d << ".sys not built";
            EXPECT_TRUE(winsim::disk::write_file(dir + "\\" + d + ".sys", bytes));
        }
    }

    // Runs setup with options after its quoted path; the exit code.
    DWORD setup(const std::string &options) { return run("\"" + dir_ + "\\SETUP.EXE\" " + options); }
    DWORD run(const std::string &command_line) {
        DWORD error = 0;
        DWORD code = winsim::processes::run(command_line, &error);
        EXPECT_EQ(error, 0u) << command_line;
        EXPECT_TRUE(user::windows().empty()) << "a window was left";
        return code;
    }

    std::string driver_file(const char *name) const {
        return std::string(m_->profile().windows_dir) + "\\system32\\drivers\\" + name + ".sys";
    }

private:
    std::unique_ptr<winsim::Machine> m_;
    std::string dir_;
    winsim::handles::Counts before_;
};

// The texts of the boxes shown so far, each "caption: text"; then forgets them.
std::vector<std::string> boxes() {
    std::vector<std::string> out;
    for (auto &b : user::message_boxes()) {
        out.push_back(b.caption + ": " + b.text);
        EXPECT_EQ(b.owner, nullptr);
        if (b.caption == "Vornel Quva") {
            EXPECT_EQ(b.type, (UINT)(MB_OK | MB_ICONEXCLAMATION)) << b.text;
        }
    }
    user::clear_message_boxes();
    return out;
}

using Texts = std::vector<std::string>;

DWORD reg_dword(const std::string &key, const std::string &name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(key, name, &type, &data) || type != REG_DWORD || data.size() != 4) return 0xFFFFFFFF;
    DWORD v;
    std::memcpy(&v, data.data(), 4);
    return v;
}

std::string reg_string(const std::string &key, const std::string &name, DWORD *type = nullptr) {
    DWORD t = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(key, name, &t, &data)) return "<missing>";
    if (type) *type = t;
    return std::string(data.begin(), std::find(data.begin(), data.end(), 0));
}

bool service_exists(const char *name) { return winsim::reg::key_exists(k_services + name); }

// ------------------------------------------------------------ the good path

TEST(LegacySetupTest, InstallCopiesTheFilesAndCreatesTheServices) {
    SetupMachine m;
    // While the result is shown, setup's hidden window is there.
    std::vector<user::WindowInfo> while_shown;
    user::on_message_box_shown([&](const user::ShownBox &) {
        while_shown = user::windows();
        return 0;
    });
    EXPECT_EQ(m.setup(""), 0u);
    ASSERT_EQ(while_shown.size(), 1u);
    EXPECT_EQ(while_shown[0].class_name, "Setup");
    EXPECT_EQ(while_shown[0].title, "Vornel Technologies Quva");
    EXPECT_FALSE(while_shown[0].visible);
    EXPECT_NE(while_shown[0].process_id, GetCurrentProcessId());
    user::clear_message_box_rules();
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Drivers successfully installed."});
    struct Want {
        const char *name, *group;
    } want[] = {{"usbhub", "Base"}, {"usbqvtkn", "Base"}, {"usbdrv", "Extended Base"}};
    for (auto &w : want) {
        std::string key = k_services + w.name;
        EXPECT_EQ(reg_dword(key, "Type"), (DWORD)SERVICE_KERNEL_DRIVER) << w.name;
        EXPECT_EQ(reg_dword(key, "Start"), 3u) << w.name;
        EXPECT_EQ(reg_dword(key, "ErrorControl"), 1u) << w.name;
        DWORD type = 0;
        EXPECT_EQ(reg_string(key, "ImagePath", &type),
                  std::string("%SystemRoot%\\System32\\Drivers\\") + w.name + ".sys");
        EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
        EXPECT_EQ(reg_string(key, "Group"), w.group);
        EXPECT_EQ(reg_string(key, "DisplayName"), w.name);
        EXPECT_EQ(reg_dword(key, "Tag"), 0xFFFFFFFFu) << "no tag";
        EXPECT_EQ(services::state(w.name), (DWORD)SERVICE_STOPPED) << "never started";

        std::vector<BYTE> copied, original;
        ASSERT_TRUE(winsim::disk::read_file(m.driver_file(w.name), &copied));
        ASSERT_TRUE(winsim::disk::read_file(std::string("C:\\QUVA\\NT4\\") + w.name + ".sys", &original));
        EXPECT_EQ(copied, original);
        EXPECT_EQ(winsim::disk::attributes(m.driver_file(w.name)), (DWORD)FILE_ATTRIBUTE_NORMAL);
    }
    auto runs = winsim::processes::history();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].program, "setup");

    // Over an existing installation: each service exists and counts as created;
    // read-only leftovers are replaced.
    winsim::disk::set_attributes(m.driver_file("usbhub"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(m.setup("/q"), 0u);
    EXPECT_EQ(boxes(), Texts{});
    EXPECT_EQ(winsim::disk::attributes(m.driver_file("usbhub")), (DWORD)FILE_ATTRIBUTE_NORMAL);
}

TEST(LegacySetupTest, UninstallRemovesServicesThenFiles) {
    SetupMachine m;
    ASSERT_EQ(m.setup("/q"), 0u);
    EXPECT_EQ(m.setup("/q /u"), 0u);
    EXPECT_EQ(boxes(), Texts{});
    for (const char *d : k_drivers) {
        EXPECT_FALSE(service_exists(d)) << d;
        EXPECT_FALSE(winsim::disk::exists(m.driver_file(d))) << d;
    }
    // Nothing there to remove: every stop and delete counts as done.
    EXPECT_EQ(m.setup("-U"), 0u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Drivers successfully removed."});
    // Running drivers are stopped first, then deleted at once.
    ASSERT_EQ(m.setup("/q"), 0u);
    services::hold("usbhub", SERVICE_RUNNING);
    services::hold("usbdrv", SERVICE_RUNNING);
    EXPECT_EQ(m.setup("/u"), 0u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Drivers successfully removed."});
    EXPECT_FALSE(service_exists("usbhub"));
    EXPECT_FALSE(service_exists("usbdrv"));
}

// ------------------------------------------------------------ the command line

TEST(LegacySetupTest, TheWholeCommandLineIsScanned) {
    SetupMachine m;
    // "/qu" is quiet alone: the letter after the option letter is skipped.
    EXPECT_EQ(m.setup("/qu"), 0u);
    EXPECT_EQ(boxes(), Texts{});
    EXPECT_TRUE(service_exists("usbdrv"));
    // The character after the letter is skipped even when it starts another option.
    EXPECT_EQ(m.setup("/q/u"), 0u);
    EXPECT_EQ(m.setup("-q-u"), 0u);
    EXPECT_EQ(boxes(), Texts{});
    EXPECT_TRUE(service_exists("usbdrv"));
    // Options may stand anywhere, even inside a word; other letters do nothing.
    EXPECT_EQ(m.setup("x-Qz/a/x"), 0u);
    EXPECT_EQ(boxes(), Texts{});
    // A trailing '/' or '-' ends the scan.
    EXPECT_EQ(m.setup("/q -"), 0u);
    EXPECT_EQ(boxes(), Texts{});

    // The program's own path counts: a folder named "tools -u" uninstalls.
    m.install("C:\\tools -u");
    EXPECT_EQ(m.run("\"C:\\tools -u\\SETUP.EXE\""), 0u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Drivers successfully removed."});
    EXPECT_FALSE(service_exists("usbdrv"));
}

TEST(LegacySetupTest, UsageComesFirstAndAlsoWhenQuiet) {
    SetupMachine m;
    const std::string usage =
        "Vornel Quva Setup: Usage : setup [/q][/u][/?]\n\n      /q : quiet mode\n      /u : uninstall\n"
        "      /? : display this message\n";
    EXPECT_EQ(m.setup("/q /?"), 0u);
    auto shown = user::message_boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].type, (UINT)MB_OK);
    EXPECT_EQ(boxes(), Texts{usage});
    // Nothing else happens, and what follows "/?" is never read.
    EXPECT_EQ(m.setup("-? /u"), 0u);
    EXPECT_EQ(boxes(), Texts{usage});
    EXPECT_FALSE(service_exists("usbhub"));
    EXPECT_FALSE(winsim::disk::exists(m.driver_file("usbhub")));
}

TEST(LegacySetupTest, EmptyAndVeryLongCommandLines) {
    SetupMachine m;
    // Started by its application name with an empty command line: a plain install.
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    char empty[] = "";
    ASSERT_TRUE(CreateProcessA("C:\\QUVA\\NT4\\SETUP.EXE", empty, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                               &pi));
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Drivers successfully installed."});

    // 10,000 characters: options far beyond the first 280 are still seen.
    std::string filler(10000, 'x');
    EXPECT_EQ(m.setup(filler + " /q /u"), 0u);
    EXPECT_EQ(boxes(), Texts{});
    EXPECT_FALSE(service_exists("usbhub"));
    std::string blanks(10000, ' ');
    EXPECT_EQ(m.setup(blanks + "/q" + blanks), 0u);
    EXPECT_EQ(boxes(), Texts{});
    EXPECT_TRUE(service_exists("usbhub"));
}

// ------------------------------------------------------------ bad ground

TEST(LegacySetupTest, WithoutWindirNothingIsCopiedOrDeleted) {
    SetupMachine m;
    m->set_environment("windir", nullptr);
    EXPECT_EQ(m.setup(""), 2u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Cannot get the system root path\n"});
    EXPECT_FALSE(service_exists("usbhub"));
    EXPECT_EQ(m.setup("/q"), 2u);
    EXPECT_EQ(boxes(), Texts{});

    // Uninstall still removes the services; each file delete is skipped with the message.
    std::string windir = m->profile().windows_dir;
    m->set_environment("windir", &windir);
    ASSERT_EQ(m.setup("/q"), 0u);
    m->set_environment("windir", nullptr);
    EXPECT_EQ(m.setup("/u"), 0u);
    EXPECT_EQ(boxes(), (Texts{"Vornel Quva: Drivers successfully removed.",
                              "Vornel Quva: Cannot get the system root path\n",
                              "Vornel Quva: Cannot get the system root path\n",
                              "Vornel Quva: Cannot get the system root path\n"}));
    EXPECT_FALSE(service_exists("usbdrv"));
    EXPECT_TRUE(winsim::disk::exists(m.driver_file("usbdrv")));
}

TEST(LegacySetupTest, AMissingDriverFileStopsBeforeAnyService) {
    SetupMachine m;
    ASSERT_TRUE(winsim::disk::remove("C:\\QUVA\\NT4\\usbqvtkn.sys"));
    EXPECT_EQ(m.setup(""), 2u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: failure: Cannot copy driver file: C:\\QUVA\\NT4\\usbqvtkn.sys (0x02)\n"});
    EXPECT_TRUE(winsim::disk::exists(m.driver_file("usbhub")));
    EXPECT_FALSE(winsim::disk::exists(m.driver_file("usbqvtkn")));
    EXPECT_FALSE(winsim::disk::exists(m.driver_file("usbdrv")));
    for (const char *d : k_drivers) EXPECT_FALSE(service_exists(d)) << d;
    EXPECT_EQ(m.setup("/Q"), 2u);
    EXPECT_EQ(boxes(), Texts{});
}

TEST(LegacySetupTest, WithoutAdministrativeRights) {
    SetupMachine m;
    m->set_admin(false);
    EXPECT_EQ(m.setup(""), 2u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: failure: insufficient privilege to install or remove the driver."});
    EXPECT_EQ(m.setup("/u"), 2u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: failure: insufficient privilege to install or remove the driver."});
    EXPECT_EQ(m.setup("/q"), 2u);
    EXPECT_EQ(boxes(), Texts{});
    // Any other refusal of the service manager shows its code.
    m->set_admin(true);
    winsim::faults::fail("OpenSCManagerA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(m.setup(""), 2u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: failure: OpenSCManager (0x08)"});
}

TEST(LegacySetupTest, OnlyForNt4ButTheFilesAreCopiedFirst) {
    for (Os os : {Os::Win2000, Os::WinXp, Os::Win98}) {
        SetupMachine m(os);
        EXPECT_EQ(m.setup(""), 2u) << (int)os;
        EXPECT_EQ(boxes(), Texts{"Vornel Quva: failure: Only for Win NT 4.0\n"});
        EXPECT_TRUE(winsim::disk::exists(m.driver_file("usbdrv")));
        EXPECT_EQ(m.setup("/q /u"), 2u);
        EXPECT_EQ(boxes(), Texts{});
    }
    // Windows 95 has no drivers directory to copy into.
    SetupMachine m(Os::Win95);
    EXPECT_EQ(m.setup(""), 2u);
    EXPECT_EQ(boxes(),
              Texts{"Vornel Quva: failure: Cannot copy driver file: C:\\QUVA\\NT4\\usbhub.sys (0x03)\n"});
}

// ------------------------------------------------------------ services that resist

TEST(LegacySetupTest, AStopPendingUsbdrvGetsFiveSecondsThenARestart) {
    SetupMachine m;
    ASSERT_EQ(m.setup("/q"), 0u);
    services::hold("usbdrv", SERVICE_STOP_PENDING); // for ever
    uint64_t t0 = winsim::clock::now_ms();
    EXPECT_EQ(m.setup("/u"), 1u);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 5000u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Drivers successfully removed, Restart your system."});
    // Marked for deletion, gone at the next start; the others are gone now.
    EXPECT_EQ(reg_dword(k_services + "usbdrv", "DeleteFlag"), 1u);
    EXPECT_FALSE(service_exists("usbhub"));
    EXPECT_FALSE(service_exists("usbqvtkn"));
    EXPECT_FALSE(winsim::disk::exists(m.driver_file("usbdrv")));
    // Once it stops, it goes.
    services::release("usbdrv");
    EXPECT_FALSE(service_exists("usbdrv"));

    // A stop that ends within the five waits is a stop.
    ASSERT_EQ(m.setup("/q"), 0u);
    services::hold("usbdrv", SERVICE_STOP_PENDING, 2500);
    t0 = winsim::clock::now_ms();
    EXPECT_EQ(m.setup("/q /u"), 0u);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 3000u);
    EXPECT_FALSE(service_exists("usbdrv"));
}

TEST(LegacySetupTest, OnlyUsbdrvAsksForARestart) {
    SetupMachine m;
    ASSERT_EQ(m.setup("/q"), 0u);
    services::Behaviour stuck;
    stuck.stoppable = false;
    services::set_behaviour("usbhub", stuck);
    services::hold("usbhub", SERVICE_RUNNING);
    EXPECT_EQ(m.setup("/u"), 0u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Drivers successfully removed."});
    EXPECT_EQ(reg_dword(k_services + "usbhub", "DeleteFlag"), 1u);
    EXPECT_FALSE(service_exists("usbdrv"));

    // A stop refused because the service is already marked for deletion is a stop.
    ASSERT_EQ(m.setup("/q"), 2u) << "usbhub is still marked for deletion";
    EXPECT_EQ(boxes(), Texts{});
    services::release("usbhub");
    services::set_behaviour("usbhub", {});
    services::hold("usbhub", SERVICE_STOPPED);
    ASSERT_EQ(m.setup("/q"), 0u);
    services::hold("usbdrv", SERVICE_RUNNING);
    winsim::faults::fail("ControlService", ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(m.setup("/q /u"), 0u);
}

TEST(LegacySetupTest, AnInstallOverARunningDriverThatWillNotStopAsksForARestart) {
    SetupMachine m;
    ASSERT_EQ(m.setup("/q"), 0u);
    services::Behaviour stuck;
    stuck.stoppable = false;
    services::set_behaviour("usbqvtkn", stuck);
    services::hold("usbqvtkn", SERVICE_RUNNING);
    EXPECT_EQ(m.setup(""), 1u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Drivers successfully installed, Restart your system."});
    // A driver that stops when asked needs no restart.
    services::set_behaviour("usbqvtkn", {});
    EXPECT_EQ(m.setup(""), 0u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Drivers successfully installed."});
    EXPECT_EQ(services::state("usbqvtkn"), (DWORD)SERVICE_STOPPED);
}

TEST(LegacySetupTest, AFailedCreationFailsTheInstall) {
    SetupMachine m;
    winsim::faults::fail("CreateServiceA", ERROR_ACCESS_DENIED, 1, 1);
    EXPECT_EQ(m.setup(""), 2u);
    EXPECT_EQ(boxes(), (Texts{"Vornel Quva: failure: CreateService usbqvtkn (0x05)\n",
                              "Vornel Quva: Installation failed."}));
    EXPECT_TRUE(service_exists("usbhub"));
    EXPECT_FALSE(service_exists("usbqvtkn"));
    EXPECT_TRUE(service_exists("usbdrv"));
    // The failure wins over a restart.
    services::set_behaviour("usbdrv", {0, 0, false, 0, 0});
    services::hold("usbdrv", SERVICE_RUNNING);
    winsim::faults::fail("CreateServiceA", ERROR_INVALID_PARAMETER, 1, 1);
    EXPECT_EQ(m.setup(""), 2u);
    EXPECT_EQ(boxes(), (Texts{"Vornel Quva: failure: CreateService usbqvtkn (0x57)\n",
                              "Vornel Quva: Installation failed."}));
}

TEST(LegacySetupTest, AFailedDeletionFailsTheUninstall) {
    SetupMachine m;
    ASSERT_EQ(m.setup("/q"), 0u);
    winsim::faults::fail("DeleteService", ERROR_ACCESS_DENIED);
    EXPECT_EQ(m.setup("/u"), 2u);
    EXPECT_EQ(boxes(), (Texts{"Vornel Quva: failure: DeleteService usbdrv (0x05)\n",
                              "Vornel Quva: Uninstallation failed."}));
    EXPECT_TRUE(service_exists("usbdrv"));
    EXPECT_FALSE(service_exists("usbhub"));
    EXPECT_FALSE(service_exists("usbqvtkn"));
    // A service that exists but cannot be opened is not deleted either.
    winsim::faults::fail("OpenServiceA", ERROR_ACCESS_DENIED, 1, 1);
    EXPECT_EQ(m.setup("/u"), 2u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Uninstallation failed."});
    EXPECT_TRUE(service_exists("usbdrv"));
    // A failed deletion wins over the restart.
    services::set_behaviour("usbdrv", {0, 0, false, 0, 0});
    services::hold("usbdrv", SERVICE_RUNNING);
    winsim::faults::fail("DeleteService", ERROR_ACCESS_DENIED);
    EXPECT_EQ(m.setup("/q /u"), 2u);
    EXPECT_EQ(reg_dword(k_services + "usbdrv", "DeleteFlag"), 0xFFFFFFFFu);
    // Marked for deletion already: counts as deleted; the restart stands.
    EXPECT_EQ(m.setup("/u"), 1u);
    EXPECT_EQ(m.setup("/u"), 1u);
    EXPECT_EQ(boxes(), (Texts{"Vornel Quva: Drivers successfully removed, Restart your system.",
                              "Vornel Quva: Drivers successfully removed, Restart your system."}));
}

// ------------------------------------------------------------ the program itself

TEST(LegacySetupTest, WindowAndLoaderFailures) {
    SetupMachine m;
    winsim::faults::fail("RegisterClassA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(m.setup(""), 2u);
    EXPECT_EQ(boxes(), Texts{});
    winsim::faults::fail("CreateWindowExA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(m.setup(""), 2u);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: failure: CreateWindow\n"});
    EXPECT_EQ(m.setup("/q"), 0u) << "the faults were for one call each";
    EXPECT_EQ(boxes(), Texts{});
    // The program's name cannot be had: the current directory serves.
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\QUVA\\NT4"));
    winsim::faults::fail("GetModuleFileNameA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(m.setup(""), 0u);
    EXPECT_EQ(boxes(), (Texts{"Vornel Quva: failure: GetModuleFileName (0x05)",
                              "Vornel Quva: Drivers successfully installed."}));
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\"));
    winsim::faults::fail("GetModuleFileNameA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(m.setup(""), 2u);
    EXPECT_EQ(boxes(), (Texts{"Vornel Quva: failure: GetModuleFileName (0x05)",
                              "Vornel Quva: failure: Cannot copy driver file: C:\\usbhub.sys (0x02)\n"}));
    // Bound to quvainst at load time: without it the program never starts.
    ASSERT_TRUE(winsim::disk::remove("C:\\QUVA\\NT4\\quvainst.dll"));
    EXPECT_EQ(m.setup("/u"), (DWORD)STATUS_DLL_NOT_FOUND);
    EXPECT_EQ(boxes(), Texts{});
}

TEST(LegacySetupTest, TheLibraryOnItsOwn) {
    SetupMachine m;
    ASSERT_EQ(m.setup("/q"), 0u);
    HMODULE lib = LoadLibraryA("C:\\QUVA\\NT4\\quvainst.dll");
    ASSERT_NE(lib, nullptr);
    auto setup = (int(WINAPI *)(DWORD, DWORD))(void *)GetProcAddress(lib, "QuvaSetup");
    auto init = (int(WINAPI *)(DWORD, DWORD, DWORD))(void *)GetProcAddress(lib, "UninstInitialize");
    auto uninit = (int(WINAPI *)(DWORD, DWORD, DWORD))(void *)GetProcAddress(lib, "UninstUnInitialize");
    ASSERT_TRUE(setup && init && uninit);
    EXPECT_EQ(GetProcAddress(lib, "DllRegisterServer"), nullptr);

    EXPECT_EQ(uninit(1, 2, 3), 0);
    EXPECT_TRUE(service_exists("usbhub"));
    // A quiet uninstall that shows nothing, whatever it meets.
    services::hold("usbdrv", SERVICE_STOP_PENDING);
    EXPECT_EQ(init(0, 0, 0), 0);
    EXPECT_EQ(boxes(), Texts{});
    EXPECT_FALSE(service_exists("usbhub"));
    services::release("usbdrv");
    // The flags are any nonzero value; a call without quiet shows its message.
    EXPECT_EQ(setup(0, 0), QUVASETUP_DONE);
    EXPECT_EQ(setup(0xFF00, 0x100), QUVASETUP_DONE);
    EXPECT_EQ(boxes(), Texts{"Vornel Quva: Drivers successfully installed."});
    EXPECT_FALSE(service_exists("usbhub"));
    FreeLibrary(lib);
}

} // namespace
