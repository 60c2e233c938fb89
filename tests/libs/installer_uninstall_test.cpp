// The removal entry: on every platform from a clean machine, twice, after an
// install (the machine as before, apart from what removal keeps), with the
// driver files gone, with a token plugged in, and the 9x registry walks.
#include "kit.h"

#include <quvadi.h>

#include <string>
#include <vector>

using winsim::Os;
namespace devices = winsim::devices;

namespace {

const char k_token_id[] = "USB\\VID_1F3C&PID_1000";

std::string lines(const std::vector<std::string> &v) {
    std::string out;
    for (const auto &l : v) out += l + "\n";
    return out;
}

std::vector<std::string> changes_since(const winsim::snapshots::State &before) {
    return winsim::snapshots::diff(before, winsim::snapshots::take());
}

bool import(const std::string &text) {
    std::string why;
    bool ok = winsim::reg::import_text("REGEDIT4\n\n" + text, &why);
    EXPECT_TRUE(ok) << why;
    return ok;
}

struct Platform {
    Os os;
    const char *package, *inf;
    DWORD clean_reboot;     // what removal reports on a clean machine
    DWORD installed_reboot; // and after an install (0xFF: not looked at)
    // What an install and removal leave: Windows' own records and the
    // containers the platform made, never the kit's files, services or keys.
    std::vector<const char *> kept;
};
const char k_9x_source_path[] = "- value HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\SourcePath";
const std::vector<const char *> k_nt5_kept = {
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{", "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\QUVAENUM",
    "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\ROOT", "HKLM\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\",
    "\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\oem0.CAT"};
const Platform k_platforms[] = {
    {Os::Win95, "95", "QVATKN95.INF", 0, 1, {k_9x_source_path}},
    {Os::Win98, "98", "QVATOKEN.INF", 1, 1, {k_9x_source_path}},
    {Os::WinMe, "98", "QVATOKEN.INF", 1, 1, {k_9x_source_path}},
    {Os::Nt4, "nt4", "USBQVTKN.INF", 0, 0,
     {"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root", "+ device Root\\LEGACY_USB"}},
    // The simulator's device removal leaves a driver's service running, so
    // its deletion waits for a restart there.
    {Os::Win2000, "nt5", "qvatoken.inf", 0, 0xFF, k_nt5_kept},
    {Os::WinXp, "nt5", "qvatoken.inf", 0, 0xFF, k_nt5_kept},
};

bool kept(const Platform &p, const std::string &line) {
    for (const char *k : p.kept)
        if (line.find(k) != std::string::npos) return true;
    return false;
}

} // namespace

TEST(InstallerUninstall, CleanMachineTwiceOnEveryPlatform) {
    for (const Platform &p : k_platforms) {
        SCOPED_TRACE(winsim::profile_of(p.os).title);
        kit::DriverKit k(p.os);
        auto before = winsim::snapshots::take();
        for (int round = 0; round < 2; round++) {
            kit::DriverOutputs o = k.uninstall();
            EXPECT_TRUE(o.ok);
            EXPECT_EQ(o.error, 0u);
            EXPECT_EQ(o.completion, 0u);
            EXPECT_EQ(o.reboot, p.clean_reboot);
            std::vector<std::string> changed;
            // On 9x removal also forgets where Windows' own files came from.
            for (const auto &line : changes_since(before))
                if (line != k_9x_source_path) changed.push_back(line);
            EXPECT_EQ(lines(changed), "") << "nothing to remove, nothing changed";
        }
    }
    {
        kit::DriverKit k(Os::Vista);
        kit::DriverOutputs o = k.uninstall();
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, 1633u);
        EXPECT_EQ(o.reboot, 0u);
        DWORD a = 7, b = 7;
        SetLastError(0);
        EXPECT_FALSE(k.lib.fn<kit::DriverKit::UninstallFn>("quvaDI_UninstallDriverA")(nullptr, 0, &a, &b, nullptr));
        EXPECT_EQ(GetLastError(), 87u);
    }
}

TEST(InstallerUninstall, InstallThenRemoveLeavesTheMachineAsBefore) {
    for (const Platform &p : k_platforms) {
        SCOPED_TRACE(winsim::profile_of(p.os).title);
        kit::DriverKit k(p.os, p.package);
        devices::set_reader_arrivals(true);
        auto before = winsim::snapshots::take();
        ASSERT_TRUE(k.install(p.inf, DI_SILENT_WAIT, 1, 1).ok);
        kit::DriverOutputs o = k.uninstall();
        EXPECT_TRUE(o.ok);
        if (p.installed_reboot != 0xFF) {
            EXPECT_EQ(o.reboot, p.installed_reboot);
        }
        std::vector<std::string> left;
        for (const auto &line : changes_since(before))
            if (line.find("C:\\SRC\\") == std::string::npos && !kept(p, line)) left.push_back(line);
        EXPECT_EQ(lines(left), "");
    }
}

TEST(InstallerUninstall, Nt5WithTheDriverFilesGoneOrATokenPluggedIn) {
    for (bool plugged : {false, true}) {
        SCOPED_TRACE(plugged);
        kit::DriverKit k(Os::WinXp, "nt5");
        devices::set_reader_arrivals(true);
        auto before = winsim::snapshots::take();
        ASSERT_TRUE(k.install("qvatoken.inf", DI_SILENT_WAIT, 1, 1).ok);
        if (plugged) {
            ASSERT_FALSE(devices::plug(k_token_id).empty());
        } else {
            for (const char *f : {"qvatoken.sys", "quvaenum.sys", "quvaifd.sys"})
                winsim::disk::remove(std::string("C:\\WINDOWS\\system32\\drivers\\") + f);
        }
        kit::DriverOutputs o = k.uninstall();
        EXPECT_TRUE(o.ok);
        // The plugged token's node goes first, its driver unloads with it, so
        // the services are deleted at once and no restart is needed.
        EXPECT_EQ(o.reboot, 0u);
        for (const auto &d : devices::list())
            EXPECT_EQ(d.hardware_ids[0].find("VID_1F3C"), std::string::npos) << d.instance_id << " left";
        EXPECT_FALSE(winsim::reg::key_exists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\QVATOKEN"));
    }
}

TEST(InstallerUninstall, Nt4ServiceThatWillNotStop) {
    kit::DriverKit k(Os::Nt4, "nt4");
    ASSERT_TRUE(k.install("USBQVTKN.INF", 0, 0, 0).ok);
    winsim::services::set_behaviour("USBQVTKN", {0, INFINITE, true, 0, 0});
    kit::DriverOutputs o = k.uninstall();
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.reboot, 1u);
    EXPECT_FALSE(winsim::disk::exists("C:\\WINNT\\system32\\drivers\\USBQVTKN.SYS"));
    for (const char *key : {"USBHUB", "USBDRV", "USBQVTKN"})
        EXPECT_FALSE(winsim::reg::key_exists(std::string("HKLM\\SYSTEM\\CurrentControlSet\\Services\\") + key));
}

TEST(InstallerUninstall, Win98MeRegistryWalks) {
    kit::DriverKit k(Os::Win98);
    std::string token_entry = winsim::pcsc::add_class_reader("USB\\VID_1F3C&PID_1201");
    std::string other_entry = winsim::pcsc::add_class_reader("USB\\VID_0B97&PID_7762");
    import("[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1F3C&PID_1301\\5&1]\n\"Class\"=\"SmartCardReader\"\n\n"
           "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1F3C&PID_13010]\n\n"
           "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0B97&PID_7762]\n\n"
           "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\"
           "{2B8F4C61-A3D7-11D2-8E5C-4F6A7B8C9D0E}\\x]\n");
    const std::string cls = "HKLM\\System\\CurrentControlSet\\Services\\Class\\SmartCardReader\\";
    kit::DriverOutputs o = k.uninstall();
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.reboot, 3u) << "another maker's reader is installed";
    EXPECT_FALSE(winsim::reg::key_exists(cls + token_entry));
    EXPECT_TRUE(winsim::reg::key_exists(cls + other_entry));
    EXPECT_FALSE(winsim::reg::key_exists("HKLM\\Enum\\USB\\VID_1F3C&PID_1301")) << "with its instances";
    EXPECT_TRUE(winsim::reg::key_exists("HKLM\\Enum\\USB\\VID_1F3C&PID_13010")) << "whole names only";
    EXPECT_TRUE(winsim::reg::key_exists("HKLM\\Enum\\USB\\VID_0B97&PID_7762"));
    EXPECT_FALSE(winsim::reg::key_exists(
        "HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\{2B8F4C61-A3D7-11D2-8E5C-4F6A7B8C9D0E}"));
}

TEST(InstallerUninstall, Win95UsbClassWalkAndRestartOnlyWithTheDriver) {
    kit::DriverKit k(Os::Win95);
    const std::string cls = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USB\\";
    import("[" + cls + "0100]\n\"DriverDesc\"=\"no driver named\"\n\n" +
           "[" + cls + "0101]\n\"NTMPDriver\"=\"qvatkn95.sys\"\n\n" +
           "[" + cls + "0102]\n\"NTMPDriver\"=\"usbhub.sys\"\n\n");
    kit::DriverOutputs o = k.uninstall();
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.reboot, 0u) << "no token driver file";
    EXPECT_TRUE(winsim::reg::key_exists(cls + "0100"));
    EXPECT_FALSE(winsim::reg::key_exists(cls + "0101")) << "found past a key without the value";
    EXPECT_TRUE(winsim::reg::key_exists(cls + "0102"));
    EXPECT_EQ(kit::reg_string("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup", "SourcePath"), "<missing>");
    ASSERT_TRUE(winsim::disk::write_text("C:\\WINDOWS\\SYSTEM\\QVATKN95.SYS", "MZ"));
    o = k.uninstall();
    EXPECT_EQ(o.reboot, 1u);
    EXPECT_FALSE(winsim::disk::exists("C:\\WINDOWS\\SYSTEM\\QVATKN95.SYS"));
}
