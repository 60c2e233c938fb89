// The NT 4.0, 98/ME and 95 installs: first installs, refreshes, upgrades, the
// deferred reader mode, the failure rows, and installs cut short by a fault
// that a second run brings to the state of an uninterrupted one.
#include "kit.h"

#include <quvadi.h>

#include <functional>
#include <string>
#include <vector>

using winsim::Os;
namespace devices = winsim::devices;
namespace faults = winsim::faults;
namespace services = winsim::services;

namespace {

const char k_src[] = "C:\\SRC";
const char k_nt4_params[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\USBQVTKN\\Parameters";
const char k_9x_params[] = "HKLM\\System\\CurrentControlSet\\Services\\QvaToken\\Parameters";
const char k_vxd[] = "HKLM\\System\\CurrentControlSet\\Services\\VxD\\QUVAVR9X";
const char k_setup[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup";

DWORD reg_dword(const std::string &key, const std::string &name) {
    DWORD type = 0;
    std::vector<BYTE> d;
    if (!winsim::reg::value(key, name, &type, &d) || type != REG_DWORD || d.size() != 4) return 0xDEAD;
    return d[0] | d[1] << 8 | d[2] << 16 | (DWORD)d[3] << 24;
}

// The value's bytes and type, as "type:bytes".
std::string reg_raw(const std::string &key, const std::string &name) {
    DWORD type = 0;
    std::vector<BYTE> d;
    if (!winsim::reg::value(key, name, &type, &d)) return "<missing>";
    return std::to_string(type) + ":" + std::string(d.begin(), d.end());
}

int rundll_runs() {
    int n = 0;
    for (const auto &r : winsim::processes::history())
        if (r.command_line.find("InstallHinfSection") != std::string::npos) n++;
    return n;
}

// PC/SC as a user would have added it to NT 4.0.
void add_pcsc() {
    winsim::scard::install_library(true);
    winsim::pcsc::install_service_keys();
}

std::string lines(const std::vector<std::string> &v) {
    std::string out;
    for (const auto &l : v) out += l + "\n";
    return out;
}

} // namespace

TEST(InstallerLegacyInstall, Nt4FirstInstallRefreshAndChangedReaders) {
    kit::DriverKit k(Os::Nt4, "nt4");
    add_pcsc();
    kit::DriverOutputs o = k.install("USBQVTKN.INF", 0, 1, 2);
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(o.error, 0u);
    EXPECT_EQ(o.reboot, 0u);
    EXPECT_EQ(o.completion, 0u);
    for (const char *s : {"USBHUB", "USBQVTKN", "USBDRV"}) {
        EXPECT_EQ(services::state(s), (DWORD)SERVICE_RUNNING) << s;
        EXPECT_TRUE(winsim::reg::key_exists(std::string("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_") + s));
    }
    EXPECT_EQ(services::state("SCardSvr"), (DWORD)SERVICE_RUNNING) << "readers asked for, PC/SC there";
    EXPECT_EQ(reg_dword(k_nt4_params, "UseRM"), 1u);
    EXPECT_EQ(reg_dword(k_nt4_params, "NumberOfDevices"), 2u);

    // Installed, same drivers, same readers: the section runs again, no restart.
    int runs = rundll_runs();
    o = k.install("USBQVTKN.INF", 0, 1, 2);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.reboot, 0u);
    EXPECT_EQ(rundll_runs(), runs + 1);
    // Other readers need the restart.
    o = k.install("USBQVTKN.INF", 0, 1, 3);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.reboot, 1u);
    EXPECT_EQ(reg_dword(k_nt4_params, "NumberOfDevices"), 3u);
}

TEST(InstallerLegacyInstall, Nt4DeferredReaderMode) {
    // The flag, PC/SC missing and another reader each hold the reader mode
    // back: parameters 0, 0 while the section runs (seen when it fails),
    // then as asked, and restart value 2.
    for (int why = 0; why < 3; why++) {
        SCOPED_TRACE(why);
        kit::DriverKit k(Os::Nt4, "nt4");
        if (why != 1) add_pcsc();
        if (why == 2) winsim::scard::add_reader({"Other Vendor Reader 0", {}, 1, true});
        DWORD flags = why == 0 ? DI_DEFER_READER_MODE : 0;
        faults::fail("CreateProcessA", ERROR_NOT_ENOUGH_MEMORY);
        kit::DriverOutputs o = k.install("USBQVTKN.INF", flags, 1, 2);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, (DWORD)ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(reg_dword(k_nt4_params, "UseRM"), 0u);
        EXPECT_EQ(reg_dword(k_nt4_params, "NumberOfDevices"), 0u);
        o = k.install("USBQVTKN.INF", flags, 1, 2);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 2u);
        EXPECT_EQ(reg_dword(k_nt4_params, "UseRM"), 1u);
    }
    {
        // Not deferred: the first write is already the one asked for.
        kit::DriverKit k(Os::Nt4, "nt4");
        add_pcsc();
        faults::fail("CreateProcessA", ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_FALSE(k.install("USBQVTKN.INF", 0, 1, 2).ok);
        EXPECT_EQ(reg_dword(k_nt4_params, "NumberOfDevices"), 2u);
    }
}

TEST(InstallerLegacyInstall, Nt4UpgradeMarkedServiceAndLeftover) {
    auto version = [](kit::DriverKit &k) {
        return k.lib.fn<DWORD(WINAPI *)(void)>("quvaDI_GetDriverVersion")();
    };
    {
        // Newer files: a full install over the old one, with a restart.
        kit::DriverKit k(Os::Nt4, "nt4-previous");
        ASSERT_TRUE(k.install("USBQVTKN.INF", 0, 0, 0).ok);
        DWORD old_version = version(k);
        kit::copy_folder(kit::packages_dir() + "/nt4", k_src);
        kit::DriverOutputs o = k.install("USBQVTKN.INF", 0, 0, 0);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 1u);
        EXPECT_GT(version(k), old_version);
    }
    {
        // A driver service marked for deletion: the restart comes first.
        kit::DriverKit k(Os::Nt4, "nt4");
        ASSERT_TRUE(k.install("USBQVTKN.INF", 0, 0, 0).ok);
        ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n"
                                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\USBQVTKN]\n"
                                             "\"DeleteFlag\"=dword:1\n"));
        int runs = rundll_runs();
        kit::DriverOutputs o = k.install("USBQVTKN.INF", 0, 0, 0);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, 1072u);
        EXPECT_EQ(o.reboot, 1u);
        EXPECT_EQ(rundll_runs(), runs);
    }
    {
        // Driver files deleted by hand: the LEGACY_ key tells of the earlier
        // installation, which is removed before the new one.
        kit::DriverKit k(Os::Nt4, "nt4");
        ASSERT_TRUE(k.install("USBQVTKN.INF", 0, 0, 0).ok);
        auto installed = winsim::snapshots::take();
        for (const char *f : {"USBQVTKN.SYS", "USBHUB.SYS", "USBDRV.SYS"})
            winsim::disk::remove(std::string("C:\\WINNT\\system32\\drivers\\") + f);
        kit::DriverOutputs o = k.install("USBQVTKN.INF", 0, 0, 0);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 0u);
        EXPECT_EQ(lines(winsim::snapshots::diff(installed, winsim::snapshots::take())), "");
    }
}

TEST(InstallerLegacyInstall, Win98MeInstalls) {
    {
        kit::DriverKit k(Os::Win98, "98");
        kit::DriverOutputs o = k.install("QVATOKEN.INF", 0, 1, 2);
        ASSERT_TRUE(o.ok) << o.error;
        EXPECT_EQ(o.error, 0u);
        EXPECT_EQ(o.reboot, 1u) << "the removal before a first install asks for it";
        EXPECT_EQ(o.completion, 2u) << "no token registered";
        EXPECT_EQ(reg_raw(k_vxd, "Start"), "3:\x01");
        EXPECT_EQ(reg_raw(k_vxd, "StaticVxD"), "1:QUVAVR9X.VXD");
        EXPECT_EQ(reg_raw(k_vxd, "Group"), "1:Smart Card Reader");
        EXPECT_EQ(reg_dword(k_vxd, "NumberOfDevices"), 2u);
        EXPECT_EQ(reg_raw(k_setup, "SourcePath"), "1:C:\\SRC\\");
        EXPECT_TRUE(winsim::disk::exists("C:\\WINDOWS\\INF\\QVATOKEN.INF"));
        EXPECT_TRUE(winsim::disk::exists("C:\\WINDOWS\\System32\\Drivers\\QVATOKEN.SYS"));
        EXPECT_TRUE(winsim::disk::exists("C:\\WINDOWS\\SYSTEM\\QUVAVR9X.VXD"));

        // Parameters that cannot be read count as 1 reader mode and 4 readers.
        ASSERT_TRUE(winsim::reg::import_text(
            "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\QvaToken\\Parameters]\n"));
        ASSERT_FALSE(winsim::reg::key_exists(k_9x_params));
        o = k.install("QVATOKEN.INF", 0, 1, 4);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 0u);
        EXPECT_EQ(o.completion, 2u);
        o = k.install("QVATOKEN.INF", 0, 1, 2);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 1u);
        // A refresh whose section fails stops there.
        faults::fail("CreateProcessA", ERROR_NOT_ENOUGH_MEMORY);
        o = k.install("QVATOKEN.INF", 0, 1, 2);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    }
    {
        // Deferred reader mode; a token registered but not plugged in.
        kit::DriverKit k(Os::WinMe, "98");
        devices::DeviceSpec token;
        token.hardware_ids = {"USB\\VID_1F3C&PID_1000"};
        token.class_name = "SmartCardReader";
        token.present = false;
        devices::add(token);
        kit::DriverOutputs o = k.install("QVATOKEN.INF", DI_DEFER_READER_MODE, 1, 1);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 2u);
        EXPECT_EQ(o.completion, 0u);
    }
    {
        kit::DriverKit k(Os::Win98, "98");
        devices::DeviceSpec token;
        token.hardware_ids = {"USB\\VID_1F3C&PID_1000"};
        token.class_name = "SmartCardReader";
        token.present = false;
        devices::add(token);
        kit::DriverOutputs o = k.install("QVATOKEN.INF", 0, 0, 0);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 0u);
        EXPECT_EQ(o.completion, 0u);
    }
    {
        // Newer files over older ones.
        kit::DriverKit k(Os::Win98, "98-previous");
        ASSERT_TRUE(k.install("QVATOKEN.INF", 0, 0, 0).ok);
        kit::copy_folder(kit::packages_dir() + "/98", k_src);
        kit::DriverOutputs o = k.install("QVATOKEN.INF", 0, 0, 0);
        EXPECT_TRUE(o.ok);
        EXPECT_EQ(o.reboot, 1u);
    }
}

TEST(InstallerLegacyInstall, Win95Installs) {
    kit::DriverKit k(Os::Win95, "95-previous");
    kit::DriverOutputs o = k.install("QVATKN95.INF", 0, 1, 2);
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(o.error, 0u);
    EXPECT_EQ(o.reboot, 0u);
    EXPECT_EQ(o.completion, 1u);
    EXPECT_EQ(reg_raw(k_setup, "SourcePath"), "1:C:\\SRC\\");
    EXPECT_TRUE(winsim::disk::exists("C:\\WINDOWS\\SYSTEM\\QVATKN95.SYS"));
    EXPECT_FALSE(winsim::disk::exists("C:\\WINDOWS\\INF\\QVATKN95.INF")) << "95 does not copy the INF";
    EXPECT_FALSE(winsim::reg::key_exists(k_9x_params)) << "nor write parameters";
    o = k.install("QVATKN95.INF", 0, 1, 2);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.reboot, 0u);
    EXPECT_EQ(o.completion, 0u);
    kit::copy_folder(kit::packages_dir() + "/95", k_src);
    o = k.install("QVATKN95.INF", 0, 1, 2);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.reboot, 1u);
    EXPECT_EQ(o.completion, 1u);
    faults::fail("CreateProcessA", ERROR_NOT_ENOUGH_MEMORY);
    o = k.install("QVATKN95.INF", 0, 1, 2);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, (DWORD)ERROR_NOT_ENOUGH_MEMORY);
}

TEST(InstallerLegacyInstall, InterruptedInstallConvergesOnTheNextRun) {
    struct Case {
        const char *name;
        Os os;
        const char *package, *inf;
        std::function<void()> arm, disarm;
        // The first run's outcome.  The INF host exits with 0 whatever its
        // section did, so a copy or service failure inside it reads as success.
        BOOL first_ok;
        DWORD first_reboot;
    };
    auto disk_full = [] { winsim::disk::set_disk_full(true); };
    auto disk_free = [] { winsim::disk::set_disk_full(false); };
    auto no_host = [] { faults::fail("CreateProcessA", ERROR_NOT_ENOUGH_MEMORY); };
    auto nothing = [] {};
    const Case cases[] = {
        {"disk full", Os::Nt4, "nt4", "USBQVTKN.INF", disk_full, disk_free, TRUE, 2},
        {"service creation denied", Os::Nt4, "nt4", "USBQVTKN.INF",
         [] { faults::fail("CreateServiceA", ERROR_ACCESS_DENIED, -1); }, [] { faults::clear(); }, TRUE, 2},
        {"no INF host", Os::Nt4, "nt4", "USBQVTKN.INF", no_host, nothing, FALSE, 0},
        {"token driver never starts", Os::Nt4, "nt4", "USBQVTKN.INF",
         [] { services::set_behaviour("USBQVTKN", {INFINITE, 0, true, 0, 0}); },
         [] {
             services::set_behaviour("USBQVTKN", {});
             services::release("USBQVTKN");
         },
         TRUE, 1},
        {"disk full", Os::Win98, "98", "QVATOKEN.INF", disk_full, disk_free, TRUE, 1},
        {"no INF host", Os::Win98, "98", "QVATOKEN.INF", no_host, nothing, FALSE, 0},
        {"disk full", Os::Win95, "95", "QVATKN95.INF", disk_full, disk_free, TRUE, 0},
        {"no INF host", Os::Win95, "95", "QVATKN95.INF", no_host, nothing, FALSE, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(winsim::profile_of(c.os).title) + ": " + c.name);
        std::string clean;
        {
            kit::DriverKit k(c.os, c.package);
            auto before = winsim::snapshots::take();
            ASSERT_TRUE(k.install(c.inf, 0, 1, 1).ok);
            clean = lines(winsim::snapshots::diff(before, winsim::snapshots::take()));
        }
        kit::DriverKit k(c.os, c.package);
        auto before = winsim::snapshots::take();
        c.arm();
        kit::DriverOutputs first = k.install(c.inf, 0, 1, 1);
        EXPECT_EQ(first.ok, c.first_ok);
        EXPECT_EQ(first.error, c.first_ok ? 0u : (DWORD)ERROR_NOT_ENOUGH_MEMORY);
        if (c.first_ok) {
            EXPECT_EQ(first.reboot, c.first_reboot);
        }
        c.disarm();
        EXPECT_TRUE(k.install(c.inf, 0, 1, 1).ok);
        EXPECT_EQ(lines(winsim::snapshots::diff(before, winsim::snapshots::take())), clean);
    }
}
