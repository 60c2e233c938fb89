// The driver installer library's inventory: platform answers, the driver
// stack probes with the record they leave, the device counts, services
// marked for deletion and file versions, on 95, 98/ME, NT 4.0 and 2000/XP.
#include "kit.h"

#include "quva_common.h"
#include <quvadi.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using winsim::Os;
namespace devices = winsim::devices;

namespace {

int g_rm_start_calls = 0;
BOOL g_rm_start_last = -1;

} // namespace

// The internal operations and the record, compiled here; the service queries
// forward to the loaded library.
#define quva_get_os_version kit::os_version
#define quvaDI_GetFileVersionA inventory_test_GetFileVersionA
namespace inventory_under_test {
BOOL quvaDI_IsServiceInstalledA(LPCSTR name) {
    return kit::quvadi_export<BOOL(WINAPI *)(LPCSTR)>("quvaDI_IsServiceInstalledA")(name);
}
BOOL quvaDI_IsServiceMarkedForDeletionA(LPCSTR name) {
    return kit::quvadi_export<BOOL(WINAPI *)(LPCSTR)>("quvaDI_IsServiceMarkedForDeletionA")(name);
}
void SetResourceManagerStart(BOOL enable) {
    g_rm_start_calls++;
    g_rm_start_last = enable;
}
#include "../../installer/hwids.cpp"
#include "../../installer/files.cpp"
#include "../../installer/inventory.cpp"
} // namespace inventory_under_test
#undef quvaDI_GetFileVersionA
#undef quva_get_os_version

namespace inv = inventory_under_test;

namespace {

const std::string k_services = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";

struct Fixture {
    explicit Fixture(Os os) : m(os), lib("QUVADI.DLL") {
        kit::g_quvadi = lib.handle();
        g_rm_start_calls = 0;
        g_rm_start_last = -1;
    }
    ~Fixture() { kit::g_quvadi = nullptr; }
    BOOL b(const char *name) { return lib.fn<BOOL(WINAPI *)(void)>(name)(); }
    BOOL count(LPDWORD present, LPDWORD registered) {
        return lib.fn<BOOL(WINAPI *)(LPDWORD, LPDWORD)>("quvaDI_CountDevices")(present, registered);
    }
    DWORD version(LPCSTR path, LPSTR desc) {
        return lib.fn<DWORD(WINAPI *)(LPCSTR, LPSTR)>("quvaDI_GetFileVersionA")(path, desc);
    }
    std::string win() { return m->profile().windows_dir; }
    // A driver image of version a.b.0.d.
    void file(const std::string &suffix, WORD a = 1, WORD b = 18, WORD d = 57) {
        winsim::pe::VersionInfo info;
        info.file_version[0] = a;
        info.file_version[1] = b;
        info.file_version[3] = d;
        ASSERT_TRUE(winsim::disk::write_file(win() + suffix, winsim::pe::make_image(info)));
    }
    void reg(const std::string &text) { ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n" + text + "\n\n")); }
    std::string device(const std::string &hwid, const std::string &cls, bool present = false) {
        devices::DeviceSpec s;
        s.hardware_ids = {hwid};
        s.class_name = cls;
        s.present = present;
        return devices::add(s);
    }
    kit::Machine m;
    kit::Library lib;
};

struct Record {
    DWORD vrs, usb, legacy, token, last;
    bool operator==(const Record &o) const {
        return vrs == o.vrs && usb == o.usb && legacy == o.legacy && token == o.token && last == o.last;
    }
};
std::ostream &operator<<(std::ostream &os, const Record &r) {
    return os << "{vrs " << r.vrs << ", usb " << r.usb << ", legacy " << r.legacy << ", token " << r.token
              << ", last " << (int)r.last << "}";
}
Record record() {
    auto &i = inv::quvadi_inventory;
    return {i.VirtualReaderStack, i.UsbClassToken, i.LegacyReaderToken, i.TokenClassDevice, i.LastFileFound};
}

const char k_nt5_files[][40] = {"\\System32\\Drivers\\quvaenum.sys", "\\System32\\Drivers\\quvaifd.sys",
                                "\\System32\\Drivers\\qvatoken.sys"};

} // namespace

TEST(InstallerInventory, PlatformAnswers) {
    struct Row {
        Os os;
        BOOL pnp, usb_fresh; // a new machine has its USB class key from 98 and 2000 on
    };
    for (Row r : {Row{Os::Win95, 0, 0}, Row{Os::Win98, 1, 1}, Row{Os::WinMe, 1, 1}, Row{Os::Nt4, 0, 1},
                  Row{Os::Win2000, 1, 1}, Row{Os::WinXp, 1, 1}, Row{Os::Vista, 1, 1}}) {
        Fixture f(r.os);
        EXPECT_EQ(f.b("quvaDI_IsPnPDriver"), r.pnp) << (int)r.os;
        EXPECT_EQ(f.b("quvaDI_IsUSBSupported"), r.usb_fresh) << (int)r.os;
        EXPECT_EQ(f.b("quvaDI_IsNtUsbStackInstalled"), FALSE) << (int)r.os;
    }
    // Each platform's USB class key.
    {
        Fixture f(Os::Win95);
        f.reg("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USB]");
        EXPECT_TRUE(f.b("quvaDI_IsUSBSupported"));
    }
    {
        Fixture f(Os::WinMe);
        f.reg("[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\"
              "{36FC9E60-C465-11CF-8056-444553540000}]");
        f.reg("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\USB]");
        EXPECT_FALSE(f.b("quvaDI_IsUSBSupported")); // 98/ME look for the GUID-named key
        f.device("USB\\VID_0001&PID_0001", "USB", true); // the first USB-class device brings the key
        EXPECT_TRUE(f.b("quvaDI_IsUSBSupported"));
    }
    {
        Fixture f(Os::WinXp);
        devices::plug("USB\\VID_0001&PID_0001");
        EXPECT_TRUE(f.b("quvaDI_IsUSBSupported"));
        winsim::faults::fail("GetVersionExA", ERROR_INVALID_PARAMETER);
        EXPECT_FALSE(f.b("quvaDI_IsUSBSupported"));
        winsim::faults::fail("GetVersionExA", ERROR_INVALID_PARAMETER);
        EXPECT_FALSE(f.b("quvaDI_IsPnPDriver"));
    }
    // The NT 4.0 USB stack counts only without the token driver.
    Fixture f(Os::Nt4);
    f.file("\\System32\\Drivers\\USBHUB.SYS");
    EXPECT_FALSE(f.b("quvaDI_IsNtUsbStackInstalled"));
    f.file("\\System32\\Drivers\\USBDRV.SYS");
    EXPECT_TRUE(f.b("quvaDI_IsNtUsbStackInstalled"));
    f.file("\\System32\\Drivers\\USBQVTKN.SYS");
    EXPECT_FALSE(f.b("quvaDI_IsNtUsbStackInstalled"));
}

TEST(InstallerInventory, DriverInstalledOn9xAndNt4) {
    {
        Fixture f(Os::Win95);
        EXPECT_EQ(record().last, 0xFFFFFFFFu); // before the first inventory
        EXPECT_FALSE(inv::quvaDI_IsDriverInstalled());
        EXPECT_EQ(record(), (Record{0, 0, 0, 0, 0}));
        f.reg("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VXD\\QUVAVR9X]");
        f.file("\\System\\QvaTkn95.sys");
        EXPECT_TRUE(inv::quvaDI_IsDriverInstalled());
        EXPECT_EQ(record(), (Record{0, 0, 0, 0, 1})); // the VxD key means nothing on 95
        EXPECT_TRUE(f.b("quvaDI_IsDriverInstalled"));
    }
    {
        Fixture f(Os::Win98);
        f.file("\\System32\\Drivers\\QVATOKEN.SYS");
        EXPECT_TRUE(inv::quvaDI_IsDriverInstalled());
        EXPECT_EQ(record(), (Record{0, 0, 0, 0, 1}));
        f.reg("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VXD\\QUVAVR9X]");
        EXPECT_FALSE(inv::quvaDI_IsDriverInstalled()); // the VxD file is missing
        EXPECT_EQ(record(), (Record{1, 0, 0, 0, 0}));
        f.file("\\System\\QUVAVR9X.VXD");
        EXPECT_TRUE(inv::quvaDI_IsDriverInstalled());
        EXPECT_EQ(record(), (Record{1, 0, 0, 0, 1}));
    }
    Fixture f(Os::Nt4);
    f.file("\\System32\\Drivers\\USBQVTKN.SYS");
    f.file("\\System32\\Drivers\\USBDRV.SYS");
    f.reg("[" + k_services + "USBQVTKN\\Parameters]\n\"NumberOfDevices\"=hex:02,00,00");
    EXPECT_FALSE(inv::quvaDI_IsDriverInstalled()); // USBHUB.SYS missing; a 3-byte value is no count
    EXPECT_EQ(record(), (Record{0, 0, 0, 0, 0}));
    f.file("\\System32\\Drivers\\USBHUB.SYS");
    f.reg("[" + k_services + "USBQVTKN\\Parameters]\n\"NumberOfDevices\"=dword:00000002");
    EXPECT_TRUE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{1, 0, 0, 0, 1}));
}

TEST(InstallerInventory, Nt5ProbesChooseTheGeneration) {
    Fixture f(Os::WinXp);
    for (auto &s : k_nt5_files) f.file(s, 1, 18, 56); // an older token driver
    // Nothing registered: nothing installed, whatever the files.
    EXPECT_FALSE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{0, 0, 0, 0, 0}));

    // A token still in the USB class; only the first hardware ID counts.
    devices::DeviceSpec second;
    second.hardware_ids = {"USB\\VID_9999&PID_0001", "USB\\VID_1F3C&PID_1000"};
    devices::add(second);
    EXPECT_FALSE(inv::quvaDI_IsDriverInstalled());
    std::string usb = f.device("usb\\vid_1f3c&pid_1300&rev_0001", "USB");
    EXPECT_TRUE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{0, 1, 0, 0, 1}));

    // The token class comes before the USB class.
    std::string cls = f.device("quvaenum\\quvaifd", "Quva");
    EXPECT_TRUE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{0, 0, 0, 1, 1}));

    // A token in the reader class with an older driver, before both.
    std::string rdr = f.device("USB\\VID_1F3C&PID_1201", "SmartCardReader");
    EXPECT_TRUE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{0, 0, 1, 0, 1}));
    // ...but not with the current one: on to the token class.
    f.file("\\System32\\Drivers\\qvatoken.sys", 1, 18, 57);
    EXPECT_TRUE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{0, 0, 0, 1, 1}));
    f.file("\\System32\\Drivers\\qvatoken.sys", 1, 18, 56);

    // The enumerator ends the legacy walk at once (seen with the enumerator
    // probe's own list failing): on to the token class and its three files.
    std::string en = f.device("QUVA\\QUVAENUM", "SmartCardReader");
    winsim::disk::remove(f.win() + "\\System32\\Drivers\\quvaifd.sys");
    winsim::faults::fail("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{0, 0, 0, 1, 0}));
    // The enumerator in the reader class wins over everything.
    EXPECT_FALSE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{1, 0, 0, 0, 0}));
    f.file("\\System32\\Drivers\\quvaifd.sys");
    EXPECT_TRUE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{1, 0, 0, 0, 1}));

    // A device list that cannot be had fails every probe.
    winsim::faults::fail("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY, -1);
    EXPECT_FALSE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{0, 0, 0, 0, 0}));
    EXPECT_FALSE(f.b("quvaDI_IsDriverInstalled"));
    winsim::faults::clear();
    (void)usb;
    (void)rdr;
    (void)cls;
    (void)en;
}

TEST(InstallerInventory, LegacyStackFoundByItsServiceAlone) {
    Fixture f(Os::Win2000);
    f.file("\\System32\\Drivers\\qvatoken.sys", 1, 18, 56);
    f.reg("[" + k_services + "qvatoken]\n\"Type\"=dword:00000001\n\"Start\"=dword:00000003");
    // A reader of another maker is no token.
    f.device("USB\\VID_0BDA&PID_0165", "SmartCardReader");
    EXPECT_TRUE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{0, 0, 1, 0, 1}));
    f.reg("[" + k_services + "quvaenum]\n\"Type\"=dword:00000001\n\"Start\"=dword:00000003");
    EXPECT_FALSE(inv::quvaDI_IsDriverInstalled());
    EXPECT_EQ(record(), (Record{0, 0, 0, 0, 0}));
}

TEST(InstallerInventory, CountDevices) {
    for (Os os : {Os::Win95, Os::Nt4}) {
        Fixture f(os);
        DWORD p = 9, r = 9;
        SetLastError(0);
        EXPECT_FALSE(f.count(&p, &r));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSTALL_PLATFORM_UNSUPPORTED);
        EXPECT_EQ(p + r, 0u);
    }
    for (Os os : {Os::WinMe, Os::WinXp}) {
        Fixture f(os);
        f.device("USB\\VID_1F3C&PID_1000&REV_0100", "USB", true);
        devices::DeviceSpec second; // a token only by its second ID
        second.hardware_ids = {"USB\\VID_9999&PID_0001", "USB\\VID_1F3C&PID_1301"};
        second.class_name = "SmartCardReader";
        devices::add(second);
        f.device("USB\\VID_1F3C&PID_1202", "Quva", false); // registered only
        std::string gone = f.device("USB\\VID_1F3C&PID_1001", "USB", false);
        devices::set_profile_flags(gone, 2); // not in this hardware profile
        f.device("USB\\VID_1F3C&PID_100", "USB", true); // too short for any row
        DWORD p = 0, r = 0;
        SetLastError(5);
        EXPECT_TRUE(f.count(&p, &r)) << (int)os;
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_EQ(p, 2u);
        EXPECT_EQ(r, 3u);

        // The present count marks the models it saw; a call clears them first.
        EXPECT_TRUE(inv::quvaDI_CountDevices(&p, nullptr));
        std::vector<DWORD> flags(inv::quvadi_model_present, inv::quvadi_model_present + 7);
        EXPECT_EQ(flags, (std::vector<DWORD>{1, 0, 0, 0, 0, 0, 1}));
        EXPECT_TRUE(inv::quvaDI_CountDevices(nullptr, &r));
        flags.assign(inv::quvadi_model_present, inv::quvadi_model_present + 7);
        EXPECT_EQ(flags, std::vector<DWORD>(7, 0));
        EXPECT_TRUE(inv::quvaDI_CountDevices(nullptr, nullptr));

        // A device list that cannot be had: SetupAPI's error, counts 0.
        winsim::faults::fail("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY, 1, 1);
        EXPECT_FALSE(f.count(&p, &r));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(p, 2u);
        EXPECT_EQ(r, 0u);
    }
}

TEST(InstallerInventory, DriverMarkedForDeletion) {
    {
        Fixture f(Os::WinXp);
        f.reg("[" + k_services + "QUVAIFD]\n\"Type\"=dword:00000001");
        EXPECT_FALSE(inv::quvaDI_IsDriverMarkedForDeletion());
        // A marked service lasts while it runs.
        winsim::services::hold("QUVAIFD", SERVICE_RUNNING);
        f.reg("[" + k_services + "QUVAIFD]\n\"DeleteFlag\"=dword:00000001");
        EXPECT_TRUE(inv::quvaDI_IsDriverMarkedForDeletion());
        EXPECT_TRUE(f.b("quvaDI_IsDriverMarkedForDeletion"));
        EXPECT_EQ(g_rm_start_calls, 0);
    }
    {
        Fixture f(Os::Nt4);
        f.reg("[" + k_services + "SMCLIB]\n\"Type\"=dword:00000001");
        winsim::services::hold("SMCLIB", SERVICE_RUNNING);
        f.reg("[" + k_services + "SMCLIB]\n\"DeleteFlag\"=dword:00000001");
        EXPECT_TRUE(inv::quvaDI_IsDriverMarkedForDeletion());
        EXPECT_EQ(g_rm_start_calls, 1);
        EXPECT_EQ(g_rm_start_last, FALSE);
    }
    Fixture f(Os::WinMe);
    EXPECT_FALSE(f.b("quvaDI_IsDriverMarkedForDeletion"));
}

TEST(InstallerInventory, FileVersionAndDescription) {
    Fixture f(Os::WinXp);
    std::string dir = f.win() + "\\System32\\Drivers";
    winsim::pe::VersionInfo info;
    info.file_version[0] = 1;
    info.file_version[1] = 0x200; // must not run into the major byte
    info.file_version[2] = 7;
    info.file_version[3] = 0x1234;
    info.codepage = 1200;
    std::string long_desc(70, 'Q');
    info.strings = {{"FileDescription", long_desc}};
    ASSERT_TRUE(winsim::disk::write_file(dir + "\\a.sys", winsim::pe::make_image(info)));
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\APP"));
    char desc[80];
    std::memset(desc, 'x', sizeof desc);
    EXPECT_EQ(f.version((dir + "\\a.sys").c_str(), desc), 0x01001234u);
    EXPECT_EQ(std::string(desc), long_desc.substr(0, 63));
    EXPECT_EQ(desc[64], 'x'); // 64 bytes, no more
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(sizeof cwd, cwd);
    EXPECT_STREQ(cwd, "C:\\APP");

    // Language 0 is read as US English; without a translation table the
    // description stays empty but the version is still given.
    info.file_version[1] = 2;
    info.language = 0;
    info.string_table = "040904B0";
    info.strings = {{"FileDescription", "Neutral"}};
    ASSERT_TRUE(winsim::disk::write_file(dir + "\\b.sys", winsim::pe::make_image(info)));
    EXPECT_EQ(f.version((dir + "\\b.sys").c_str(), desc), 0x01021234u);
    EXPECT_STREQ(desc, "Neutral");
    std::vector<BYTE> image = winsim::pe::make_image(info);
    const char16_t key[] = u"Translation";
    auto at = std::search(image.begin(), image.end(), (const BYTE *)key, (const BYTE *)key + 22);
    ASSERT_NE(at, image.end());
    *at = 'X';
    ASSERT_TRUE(winsim::disk::write_file(dir + "\\c.sys", image));
    EXPECT_EQ(f.version((dir + "\\c.sys").c_str(), desc), 0x01021234u);
    EXPECT_STREQ(desc, "");
    EXPECT_EQ(f.version((dir + "\\c.sys").c_str(), nullptr), 0x01021234u);

    // No version, no file.
    ASSERT_TRUE(winsim::disk::write_file(dir + "\\d.sys", winsim::pe::make_image(info, false)));
    EXPECT_EQ(f.version((dir + "\\d.sys").c_str(), desc), 0u);
    EXPECT_EQ(f.version((dir + "\\none.sys").c_str(), desc), 0u);

    // Bad paths: the last error says why and the current directory stays.
    std::memset(desc, 'x', sizeof desc);
    SetLastError(0);
    EXPECT_EQ(f.version("qvatoken.sys", desc), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIRECTORY);
    EXPECT_EQ(desc[0], 0);
    std::string deep = "C:\\" + std::string(257, 'd') + "\\x.sys";
    EXPECT_EQ(f.version(deep.c_str(), desc), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(f.version(nullptr, nullptr), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(f.version("C:\\no such dir\\x.sys", desc), 0u);
    GetCurrentDirectoryA(sizeof cwd, cwd);
    EXPECT_STREQ(cwd, "C:\\APP");
}

TEST(InstallerInventory, FileChecks) {
    Fixture f(Os::Win2000);
    std::string sys = std::string(f.m->profile().system_dir) + "\\Drivers\\qvatoken.sys";
    EXPECT_FALSE(inv::IsCurrentTokenDriverFile());
    EXPECT_FALSE(inv::FileExists((f.win() + "\\System32\\Drivers\\*.sys").c_str()));
    f.file("\\System32\\Drivers\\qvatoken.sys", 1, 18, 56);
    EXPECT_TRUE(inv::FileExists((f.win() + "\\System32\\Drivers\\qva*.sys").c_str()));
    EXPECT_FALSE(inv::FileExists(nullptr));
    EXPECT_FALSE(inv::FileExists(""));
    EXPECT_FALSE(inv::IsCurrentTokenDriverFile());
    f.file("\\System32\\Drivers\\qvatoken.sys", 1, 18, 57);
    EXPECT_TRUE(inv::IsCurrentTokenDriverFile());
    f.file("\\System32\\Drivers\\qvatoken.sys", 2, 0, 0);
    EXPECT_TRUE(inv::IsCurrentTokenDriverFile());
    (void)sys;
}
