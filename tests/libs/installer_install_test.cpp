// The install entry on Windows 2000/XP: each flow run from a machine seeded
// with the driver generation it upgrades, with its outputs and what it leaves
// on the machine; the failure rows by fault injection.
#include "kit.h"

#include <seeds.h>

#include <quvadi.h>
#include <setupapi.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using winsim::Os;
namespace devices = winsim::devices;
namespace faults = winsim::faults;

namespace {

const char k_src[] = "C:\\SRC";
const char k_windir[] = "C:\\WINDOWS";
const char k_drivers[] = "C:\\WINDOWS\\SYSTEM32\\DRIVERS";
const char k_token_id[] = "USB\\VID_1F3C&PID_1000";
const char k_token_instance[] = "USB\\VID_1F3C&PID_1000\\5&1F3C1000&0&1";
const char k_services[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\";

using kit::copy_folder;
using kit::host_bytes;
using kit::packages_dir;

DWORD reg_dword(const std::string &key, const std::string &name, DWORD missing = 0xDEAD) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(key, name, &type, &data) || type != REG_DWORD || data.size() != 4) return missing;
    return data[0] | data[1] << 8 | data[2] << 16 | (DWORD)data[3] << 24;
}

bool import(const std::string &text) {
    std::string why;
    bool ok = winsim::reg::import_text("REGEDIT4\n\n" + text, &why);
    EXPECT_TRUE(ok) << why;
    return ok;
}

void add_service(const std::string &name, const std::string &file) {
    import("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + name +
           "]\n\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n\"ErrorControl\"=dword:00000001\n"
           "\"ImagePath\"=\"System32\\\\DRIVERS\\\\" + file + "\"\n");
}

enum class Generation { UsbClass, ReaderClass, TokenClass, ReaderStack };

// An earlier stack as its own installer left it (the shared machine seeds):
// OEM INF, driver files, services, parameters and device nodes.
void seed(Generation g, bool token_present) {
    static const char *const names[] = {"usb-class", "reader-class", "token-class", "reader-stack"};
    seeds::Options o;
    o.packages = packages_dir();
    o.present = token_present;
    std::string why;
    ASSERT_TRUE(seeds::seed(names[(int)g], o, &why)) << why;
}

struct Outputs {
    BOOL ok = FALSE;
    DWORD reboot = 0xAA, completion = 0xAA, error = 0xAA;
};

typedef BOOL(WINAPI *InstallFn)(HWND, DWORD, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, LPDWORD, LPDWORD, LPDWORD);

struct Fixture {
    explicit Fixture(Os os = Os::WinXp, const char *package = "nt5") : m(os), lib("QUVADI.DLL") {
        install = lib.fn<InstallFn>("quvaDI_InstallDriverA");
        devices::set_reader_arrivals(true); // a scenario setting outlives its machine
        copy_folder(packages_dir() + "/" + package, k_src);
    }
    ~Fixture() {
        faults::clear();
        winsim::user::clear_dialog_rules();
    }
    Outputs run(DWORD flags = DI_SILENT_WAIT, DWORD use_rm = 1, DWORD readers = 1, const char *inf = "qvatoken.inf",
                const char *dir = k_src) {
        Outputs o;
        o.ok = install(nullptr, flags, dir, inf, 7, use_rm, readers, &o.reboot, &o.completion, &o.error);
        return o;
    }
    kit::Machine m;
    kit::Library lib;
    InstallFn install = nullptr;
};

const devices::Device *find_hwid(const std::vector<devices::Device> &list, const std::string &hwid) {
    for (const auto &d : list)
        if (!d.hardware_ids.empty() && strcasecmp(d.hardware_ids[0].c_str(), hwid.c_str()) == 0) return &d;
    return nullptr;
}

} // namespace

TEST(InstallerInstall, FreshInstallBuildsTheStackAndWaitsForItsReaders) {
    Fixture f;
    ASSERT_TRUE(std::filesystem::exists(packages_dir() + "/nt5/qvatoken.inf")) << "driver packages not built";
    uint64_t start = winsim::clock::now_ms();
    Outputs o = f.run(DI_SILENT_WAIT, 1, 2);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.error, 0u);
    EXPECT_EQ(o.reboot, 0u) << "both readers arrived";
    EXPECT_EQ(o.completion, 2u) << "no token plugged in";
    // The enumerator node is root-enumerated, driven by quvaenum, and made
    // the two readers asked for.
    auto list = devices::list();
    const devices::Device *e = find_hwid(list, "quva\\quvaEnum");
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(strcasecmp(e->service.c_str(), "quvaenum") == 0) << e->service;
    EXPECT_EQ(winsim::scard::reader_names().size(), 2u);
    EXPECT_EQ(reg_dword(std::string(k_services) + "QvaToken\\Parameters", "UseRM"), 1u);
    EXPECT_EQ(reg_dword(std::string(k_services) + "QvaToken\\Parameters", "DriverFlags"), 0u) << "never the caller's 7";
    EXPECT_EQ(reg_dword(std::string(k_services) + "quvaenum", "NumberOfDevices"), 2u);
    EXPECT_TRUE(winsim::disk::exists(std::string(k_drivers) + "\\quvaenum.sys"));
    EXPECT_LT(winsim::clock::now_ms() - start, 60000u) << "the wait ends with the last arrival";
    EXPECT_EQ(devices::notification_count(), 0) << "the watcher withdrew its registration";
}

TEST(InstallerInstall, FreshInstallWithATokenPluggedInReportsCompletionFour) {
    Fixture f;
    // A token never installed: XP lists it under "Other devices".
    ASSERT_TRUE(devices::set_class(devices::plug(k_token_id), "Unknown"));
    Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.completion, 4u);
    EXPECT_EQ(o.error, 0u);
    // A token node without the current driver goes; the enumerator stays.
    auto list = devices::list();
    EXPECT_EQ(find_hwid(list, k_token_id), nullptr);
    EXPECT_NE(find_hwid(list, "quva\\quvaEnum"), nullptr);
}

TEST(InstallerInstall, ReaderWaitOnlyWithReadersAskedForAndTimesOutOnTheVirtualClock) {
    {
        // No readers asked for: no waiter, no wait, no restart.
        Fixture f;
        uint64_t start = winsim::clock::now_ms();
        Outputs o = f.run(0, 0, 0);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 0u);
        EXPECT_TRUE(winsim::user::dialogs().empty()) << "no reader-status dialog";
        EXPECT_LT(winsim::clock::now_ms() - start, 1000u);
    }
    {
        // Readers that never arrive: 30 s each on the virtual clock, then a restart.
        Fixture f;
        devices::set_reader_arrivals(false);
        uint64_t start = winsim::clock::now_ms();
        Outputs o = f.run(DI_SILENT_WAIT, 1, 2);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 1u);
        EXPECT_GE(winsim::clock::now_ms() - start, 60000u);
        EXPECT_EQ(devices::notification_count(), 0);
    }
    {
        // Without DI_SILENT_WAIT the reader-status dialog waits, and closes
        // by itself once its reader is in.
        Fixture f;
        ASSERT_TRUE(f.lib.fn<BOOL(WINAPI *)(HWND, LPCSTR, LPCSTR, LPCSTR)>("quvaDI_DlgSetReaderStatusParamsA")(
            nullptr, "Quva Setup", "Waiting for the readers", "Cancel"));
        Outputs o = f.run(0, 1, 1);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 0u);
        auto shown = winsim::user::dialogs();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].shown.template_id, 3007);
        EXPECT_EQ(shown[0].shown.caption, "Quva Setup");
        EXPECT_EQ(shown[0].result, 1);
    }
}

TEST(InstallerInstall, EntryRefusals) {
    {
        // A missing INF changes nothing.
        Fixture f;
        auto before = winsim::snapshots::take();
        Outputs o = f.run(DI_SILENT_WAIT, 1, 1, "missing.inf");
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, 2u);
        EXPECT_EQ(o.reboot, 0u);
        EXPECT_EQ(o.completion, 0u);
        EXPECT_TRUE(winsim::snapshots::diff(before, winsim::snapshots::take()).empty());
        o = f.run(DI_SILENT_WAIT, 1, 1, "qvatoken.inf", nullptr);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, 2u);
        std::string long_dir(300, 'x');
        o = f.run(DI_SILENT_WAIT, 1, 1, "qvatoken.inf", long_dir.c_str());
        EXPECT_EQ(o.error, 2u);
        DWORD a, b;
        SetLastError(0);
        EXPECT_FALSE(f.install(nullptr, 0, k_src, "qvatoken.inf", 0, 0, 0, &a, &b, nullptr));
        EXPECT_EQ(GetLastError(), 87u);
    }
    {
        // NT 6 is refused although it is NT 5 "or later" elsewhere.
        Fixture f(Os::Vista);
        Outputs o = f.run();
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, 1633u);
        EXPECT_EQ(o.reboot, 0u);
        EXPECT_EQ(o.completion, 0u);
    }
    {
        // A driver service marked for deletion needs the restart first.
        Fixture f;
        add_service("quvaifd", "quvaIFD.SYS");
        winsim::services::hold("quvaifd", SERVICE_RUNNING); // so the mark stays until it stops
        import("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\quvaifd]\n\"DeleteFlag\"=dword:00000001\n");
        Outputs o = f.run();
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, 1072u);
        EXPECT_EQ(o.reboot, 1u);
        EXPECT_FALSE(find_hwid(devices::list(), "quva\\quvaEnum"));
    }
}

TEST(InstallerInstall, FreshInstallFailures) {
    {
        // The OEM copy fails: the error is reported, nothing is created, the
        // records are still written.
        Fixture f;
        faults::fail("SetupCopyOEMInfA", ERROR_ACCESS_DENIED);
        Outputs o = f.run();
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, (DWORD)ERROR_ACCESS_DENIED);
        EXPECT_EQ(o.completion, 0u);
        EXPECT_FALSE(find_hwid(devices::list(), "quva\\quvaEnum"));
        EXPECT_EQ(devices::notification_count(), 0) << "no waiter after a failed copy";
    }
    {
        // The enumerator's driver cannot be installed: its node goes again.
        Fixture f;
        faults::fail("UpdateDriverForPlugAndPlayDevicesA", ERROR_ACCESS_DENIED);
        Outputs o = f.run();
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, (DWORD)ERROR_ACCESS_DENIED);
        EXPECT_FALSE(find_hwid(devices::list(), "quva\\quvaEnum"));
    }
}

TEST(InstallerInstall, UpgradeOverTheUsbClassGeneration) {
    for (bool present : {false, true}) {
        Fixture f;
        seed(Generation::UsbClass, present);
        Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
        EXPECT_TRUE(o.ok) << present;
        EXPECT_EQ(o.error, 0u);
        EXPECT_EQ(o.completion, present ? 0u : 2u);
        EXPECT_EQ(o.reboot, present ? 1u : 0u) << "disabling a present token asks for a restart";
        for (int n = 0; n < 8; n++) { // the old OEM INF is purged
            std::vector<BYTE> inf;
            if (winsim::disk::read_file(std::string(k_windir) + "\\INF\\oem" + std::to_string(n) + ".inf", &inf)) {
                EXPECT_EQ(std::string(inf.begin(), inf.end()).find("QvaTknUsb"), std::string::npos) << n;
            }
        }
        EXPECT_NE(find_hwid(devices::list(), "quva\\quvaEnum"), nullptr);
        devices::Device t;
        if (present) {
            ASSERT_TRUE(devices::find(k_token_instance, &t));
            EXPECT_TRUE(strcasecmp(t.service.c_str(), "qvatoken") == 0) << t.service;
            EXPECT_TRUE(devices::running(k_token_instance)) << "re-enabled";
        } else {
            EXPECT_FALSE(devices::find(k_token_instance, &t)) << "the stale node is removed";
        }
    }
}

TEST(InstallerInstall, UpgradeOverTheReaderClassGeneration) {
    Fixture f;
    seed(Generation::ReaderClass, false);
    Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.error, 0u);
    // The reader parameters differ from the none stored before.
    EXPECT_EQ(o.reboot, 1u);
    EXPECT_EQ(o.completion, 1u);
    EXPECT_EQ(reg_dword(std::string(k_services) + "QvaToken", "NumberOfDevices"), 0xDEADu);
    EXPECT_EQ(reg_dword(std::string(k_services) + "SCardDrv", "Start", 3), 3u);
    EXPECT_NE(find_hwid(devices::list(), "quva\\quvaEnum"), nullptr);
}

TEST(InstallerInstall, UpgradeOverTheTokenClassGeneration) {
    {
        Fixture f;
        seed(Generation::TokenClass, false);
        Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.error, 0u);
        EXPECT_EQ(o.reboot, 1u) << "always without a token present";
        EXPECT_EQ(o.completion, 2u);
    }
    {
        Fixture f;
        seed(Generation::TokenClass, true);
        Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 0u) << "token present, reader parameters unchanged";
        EXPECT_EQ(o.completion, 0u);
    }
    {
        Fixture f;
        seed(Generation::TokenClass, true);
        faults::fail("SetupCopyOEMInfA", ERROR_DISK_FULL);
        Outputs o = f.run();
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, (DWORD)ERROR_DISK_FULL);
        EXPECT_EQ(o.reboot, 1u);
        EXPECT_TRUE(devices::running(k_token_instance)) << "returns before disabling anything";
    }
}

TEST(InstallerInstall, UpgradeOverTheReaderStack) {
    {
        // Newer drivers in the source: reinstalled from the INF sections.
        Fixture f(Os::WinXp, "nt5");
        seed(Generation::ReaderStack, false);
        Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 1u);
        EXPECT_EQ(o.completion, 0u) << "nodes stay registered";
        char desc[64];
        DWORD v = f.lib.fn<DWORD(WINAPI *)(LPCSTR, LPSTR)>("quvaDI_GetFileVersionA")(
            "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\QVATOKEN.SYS", desc);
        EXPECT_EQ(v, 0x01120039u) << "the newer token driver is in place";
    }
    {
        // The same drivers and the same reader parameters: nothing to restart.
        Fixture f(Os::WinXp, "nt5-previous");
        seed(Generation::ReaderStack, false);
        Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 0u);
        EXPECT_EQ(o.completion, 0u);
        // Another count: parameters only, DriverFlags kept as stored.
        import("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QvaToken\\Parameters]\n"
               "\"DriverFlags\"=dword:00000005\n");
        o = f.run(DI_SILENT_WAIT, 1, 3);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 1u);
        EXPECT_EQ(reg_dword(std::string(k_services) + "quvaenum", "NumberOfDevices"), 3u);
        EXPECT_EQ(reg_dword(std::string(k_services) + "QvaToken\\Parameters", "DriverFlags"), 5u);
    }
}

TEST(InstallerInstall, ReaderStatusDialogCancelledBeforeAnyReaderAsksForARestart) {
    Fixture f;
    devices::set_reader_arrivals(false);
    winsim::user::on_dialog(3007, [](winsim::user::DialogUser &u) {
        u.wait_ms(2000);
        u.click(IDCANCEL);
    });
    Outputs o = f.run(0, 1, 2);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.reboot, 1u);
    auto shown = winsim::user::dialogs();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].result, 0);
}

TEST(InstallerInstall, UsbClassFailuresStillReenableThePresentToken) {
    for (const char *api : {"SetupCopyOEMInfA", "UpdateDriverForPlugAndPlayDevicesA"}) {
        Fixture f;
        seed(Generation::UsbClass, true);
        faults::fail(api, ERROR_ACCESS_DENIED);
        Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
        EXPECT_FALSE(o.ok) << api;
        EXPECT_EQ(o.error, (DWORD)ERROR_ACCESS_DENIED) << api;
        EXPECT_EQ(o.reboot, 1u) << api;
        EXPECT_EQ(o.completion, 0u) << api;
        EXPECT_TRUE(devices::running(k_token_instance)) << api;
        EXPECT_FALSE(find_hwid(devices::list(), "quva\\quvaEnum")) << api;
        EXPECT_EQ(devices::notification_count(), 0) << api;
    }
}

TEST(InstallerInstall, LegacyReaderRows) {
    {
        // A token present: disabled, updated, enabled again; served at once.
        Fixture f;
        seed(Generation::ReaderClass, true);
        Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 1u);
        EXPECT_EQ(o.completion, 0u);
        devices::Device t;
        ASSERT_TRUE(devices::find(k_token_instance, &t));
        EXPECT_TRUE(strcasecmp(t.service.c_str(), "qvatoken") == 0) << t.service;
        EXPECT_TRUE(devices::running(k_token_instance));
    }
    {
        // Virtual readers of the old driver are forgotten; no readers asked
        // for now, yet the forgotten ones make it completion 1.
        Fixture f;
        seed(Generation::ReaderClass, false);
        import("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QvaToken\\Parameters]\n"
               "\"UseRM\"=dword:00000001\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\QvaToken]\n"
               "\"NumberOfDevices\"=dword:00000001\n");
        Outputs o = f.run(DI_SILENT_WAIT, 0, 0);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 1u);
        EXPECT_EQ(o.completion, 1u);
        EXPECT_EQ(reg_dword(std::string(k_services) + "QvaToken", "NumberOfDevices"), 0xDEADu);
    }
}

TEST(InstallerInstall, TokenClassWithChangedReadersAndReaderStackCopyFailure) {
    {
        Fixture f;
        seed(Generation::TokenClass, true);
        Outputs o = f.run(DI_SILENT_WAIT, 1, 2);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 1u) << "reader count changed";
        EXPECT_EQ(reg_dword(std::string(k_services) + "quvaenum", "NumberOfDevices"), 2u);
    }
    {
        Fixture f(Os::WinXp, "nt5");
        seed(Generation::ReaderStack, false);
        faults::fail("SetupCopyOEMInfA", ERROR_DISK_FULL);
        Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, (DWORD)ERROR_DISK_FULL);
        EXPECT_EQ(o.reboot, 1u);
    }
}

TEST(InstallerInstall, FreshInstallOnEveryNt5Version) {
    for (Os os : {Os::Win2000, Os::Win2003}) {
        Fixture f(os);
        Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
        EXPECT_TRUE(o.ok) << winsim::profile_of(os).title;
        EXPECT_EQ(o.error, 0u);
        EXPECT_EQ(o.reboot, 0u);
        EXPECT_EQ(o.completion, 2u);
        EXPECT_EQ(winsim::scard::reader_names().size(), 1u);
    }
}

TEST(InstallerInstall, SecondIdenticalInstallWithATokenPluggedInAsksForNoRestart) {
    {
        // Not plugged in again: the token driver never reached the machine
        // (its node went before the per-model update), so the second call
        // counts the source as newer and reinstalls with a restart.
        Fixture f;
        winsim::tokens::plug();
        ASSERT_EQ(f.run(DI_SILENT_WAIT, 1, 1).completion, 4u);
        EXPECT_FALSE(winsim::disk::exists(std::string(k_drivers) + "\\QVATOKEN.SYS"));
        Outputs o = f.run(DI_SILENT_WAIT, 1, 1);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 1u);
        EXPECT_EQ(o.completion, 2u);
        EXPECT_TRUE(winsim::disk::exists(std::string(k_drivers) + "\\QVATOKEN.SYS"));
    }
    Fixture f;
    winsim::tokens::plug();
    Outputs first = f.run(DI_SILENT_WAIT, 1, 1);
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.completion, 4u);
    // The fresh install removed the token's old node; Plug and Play finds
    // the token again and gives it the driver the copied INF offers.
    EXPECT_EQ(devices::rescan().size(), 1u);
    const std::string token = std::string(k_token_id) + "\\5156000000000001";
    EXPECT_TRUE(devices::running(token));
    // The current stack with the same drivers and reader parameters: only
    // the parameters are looked at, and nothing needs a restart.
    Outputs second = f.run(DI_SILENT_WAIT, 1, 1);
    EXPECT_TRUE(second.ok);
    EXPECT_EQ(second.error, 0u);
    EXPECT_EQ(second.reboot, 0u);
    EXPECT_EQ(second.completion, 0u) << "the token is registered";
    EXPECT_TRUE(devices::running(token));
}

TEST(InstallerInstall, NineXTokenPluggedInAfterThePackageLeavesTheLayoutRemovalWalks) {
    // The package's INF in the INF folder and its driver in place, as the
    // 98/ME and 95 installs leave them; then the token is plugged in.
    struct Case {
        Os os;
        const char *package, *inf, *driver, *installed, *driver_key;
    };
    for (const Case &c : {Case{Os::Win98, "98", "QVATOKEN.INF", "QVATOKEN.SYS",
                               "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\QVATOKEN.SYS", "SmartCardReader\\0000"},
                          Case{Os::Win95, "95", "QVATKN95.INF", "QVATKN95.SYS", "C:\\WINDOWS\\SYSTEM\\QVATKN95.SYS",
                               "USB\\0000"}}) {
        Fixture f(c.os, c.package);
        const std::string pk = packages_dir() + "/" + c.package + "/";
        ASSERT_TRUE(winsim::disk::write_file(std::string(k_windir) + "\\INF\\" + c.inf, host_bytes(pk + c.inf)));
        ASSERT_TRUE(winsim::disk::write_file(c.installed, host_bytes(pk + c.driver)));
        winsim::tokens::TokenSpec spec;
        spec.hardware_id = "USB\\VID_1F3C&PID_1201";
        winsim::tokens::plug(spec);
        const std::string cls = std::string("HKLM\\System\\CurrentControlSet\\Services\\Class\\") + c.driver_key;
        EXPECT_TRUE(winsim::reg::key_exists("HKLM\\Enum\\USB\\VID_1F3C&PID_1201\\5156000000000001")) << c.package;
        EXPECT_STREQ(kit::reg_string(cls, "MatchingDeviceId").c_str(), "USB\\VID_1F3C&PID_1201");
        EXPECT_STREQ(kit::reg_string(cls, "NTMPDriver").c_str(), c.driver);
        EXPECT_STREQ(kit::reg_string(cls, "InfPath").c_str(), c.inf);
    }
}
