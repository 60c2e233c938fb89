// SetupAPI over the device database: the registry layout, list flags and the
// hardware profile, the size and error rules of the property calls, the 9x
// layout, and the control side kept in step with readers and services.
#include <windows.h>
#include <setupapi.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using winsim::Os;
namespace devices = winsim::devices;

namespace {

const GUID k_usb = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const GUID k_reader = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
const std::string k_enum = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\";

std::string reg_text(const std::string &key, const char *name, DWORD *type = nullptr) {
    DWORD t = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(key, name, &t, &data)) return "<missing>";
    if (type) *type = t;
    return std::string(data.begin(), data.end());
}

// Instance IDs of a list, in order; the list is destroyed.
std::vector<std::string> ids(HDEVINFO set) {
    std::vector<std::string> out;
    SP_DEVINFO_DATA d;
    d.cbSize = sizeof d;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &d); i++) {
        char id[256];
        EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, &d, id, sizeof id, nullptr));
        out.push_back(id);
    }
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return out;
}

devices::DeviceSpec spec(const std::string &hwid, const std::string &cls, bool present, const std::string &desc = "") {
    devices::DeviceSpec s;
    s.hardware_ids = {hwid};
    s.class_name = cls;
    s.present = present;
    s.description = desc;
    return s;
}

} // namespace

TEST(SetupApi, NodesLiveInTheEnumKeysWithTheirClassAndDriverKeys) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    devices::DeviceSpec s = spec("USB\\VID_1F3C&PID_1000&REV_0100", "USB", true, "Token");
    s.hardware_ids.push_back("USB\\VID_1F3C&PID_1000");
    s.service = "qvatoken";
    s.driver = true;
    std::string id = devices::add(s);
    ASSERT_EQ(id.substr(0, 22), "USB\\VID_1F3C&PID_1000\\"); // the revision is not part of the device key
    std::string key = k_enum + id;
    DWORD type = 0;
    EXPECT_EQ(reg_text(key, "HardwareID", &type),
              std::string("USB\\VID_1F3C&PID_1000&REV_0100\0USB\\VID_1F3C&PID_1000\0\0", 54));
    EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
    EXPECT_EQ(reg_text(key, "ClassGUID"), std::string(devices::kUsbClass) + '\0');
    std::string driver = reg_text(key, "Driver");
    EXPECT_EQ(driver, std::string(devices::kUsbClass) + "\\0000" + '\0');
    std::string class_key = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + std::string(devices::kUsbClass);
    EXPECT_EQ(reg_text(class_key, "Class"), std::string("USB") + '\0');
    EXPECT_EQ(reg_text(class_key + "\\0000", "MatchingDeviceId"), std::string("usb\\vid_1f3c&pid_1000&rev_0100") + '\0');
    EXPECT_TRUE(winsim::reg::key_exists(key + "\\Control")); // present

    // A node written through the registry alone is in the database too.
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\"
                                         "VID_0001&PID_0002\\7]\n\"HardwareID\"=hex(7):55,53,42,00,00\n"
                                         "\"ClassGUID\"=\"{36FC9E60-C465-11CF-8056-444553540000}\"\n\n"));
    EXPECT_EQ(ids(SetupDiGetClassDevsA(&k_usb, nullptr, nullptr, 0)),
              (std::vector<std::string>{"USB\\VID_0001&PID_0002\\7", id}));

    EXPECT_TRUE(devices::remove(id));
    EXPECT_FALSE(winsim::reg::key_exists(k_enum + "USB\\VID_1F3C&PID_1000"));
    EXPECT_FALSE(winsim::reg::key_exists(class_key + "\\0000"));
}

TEST(SetupApi, ListFlagsSelectClassPresenceAndProfile) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    auto before = winsim::handles::open();
    std::string a = devices::add(spec("USB\\VID_1F3C&PID_1000", "USB", true));
    std::string b = devices::add(spec("USB\\VID_1F3C&PID_1200", "SmartCardReader", false));
    std::string c = devices::add(spec("USB\\VID_1F3C&PID_1300", "Quva", false));
    ASSERT_TRUE(devices::set_profile_flags(c, 2)); // CSCONFIGFLAG_DO_NOT_CREATE

    EXPECT_EQ(ids(SetupDiGetClassDevsA(&k_usb, nullptr, nullptr, 0)), (std::vector<std::string>{a}));
    EXPECT_EQ(ids(SetupDiGetClassDevsA(&k_reader, nullptr, nullptr, 0)), (std::vector<std::string>{b}));
    EXPECT_EQ(ids(SetupDiGetClassDevsA(&k_usb, nullptr, nullptr, DIGCF_ALLCLASSES)),
              (std::vector<std::string>{a, b, c}));
    EXPECT_EQ(ids(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES)),
              (std::vector<std::string>{a}));
    EXPECT_EQ(ids(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PROFILE | DIGCF_ALLCLASSES)),
              (std::vector<std::string>{a, b}));
    // The flags belong to one profile: another one has the node.
    devices::set_current_profile(2);
    EXPECT_EQ(ids(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PROFILE | DIGCF_ALLCLASSES)).size(), 3u);
    EXPECT_EQ(ids(SetupDiGetClassDevsA(nullptr, "usb", nullptr, DIGCF_ALLCLASSES)).size(), 3u);

    // Refusals.
    SetLastError(0);
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetupDiGetClassDevsA(&k_usb, nullptr, nullptr, 0x100), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FLAGS);
    EXPECT_EQ(SetupDiGetClassDevsA(&k_usb, "PCI", nullptr, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
    winsim::faults::fail("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(SetupDiGetClassDevsA(&k_usb, nullptr, nullptr, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);

    // Lists are handles of their own kind until destroyed.
    HDEVINFO set = SetupDiGetClassDevsA(&k_usb, nullptr, nullptr, 0);
    EXPECT_EQ(winsim::handles::open()[winsim::HandleKind::DeviceInfoSet], before[winsim::HandleKind::DeviceInfoSet] + 1);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
}

TEST(SetupApi, PropertyAndInstanceIdSizeRules) {
    auto m = winsim::Machine::temporary(Os::Win2000);
    devices::DeviceSpec s = spec("USB\\VID_1F3C&PID_1201", "SmartCardReader", true, "Quva JavaCard");
    s.instance_id = "USB\\VID_1F3C&PID_1201\\5&AB&0&1";
    s.config_flags = 0x40;
    devices::add(s);
    HDEVINFO set = SetupDiGetClassDevsA(&k_reader, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA d;
    d.cbSize = sizeof d + 1;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &d));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
    d.cbSize = sizeof d;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &d));
    EXPECT_EQ(std::memcmp(&d.ClassGuid, &k_reader, sizeof(GUID)), 0);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &d) || GetLastError() != ERROR_NO_MORE_ITEMS);

    BYTE buf[64];
    DWORD type = 0, need = 0;
    // Too small: the type and the size needed, nothing else.
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_HARDWAREID, &type, buf, 10, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(need, 23u); // the string, its zero and the list's zero
    EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_HARDWAREID, nullptr, nullptr, 0, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_HARDWAREID, nullptr, nullptr, 5, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_HARDWAREID, &type, buf, 23, nullptr));
    EXPECT_EQ(std::memcmp(buf, "USB\\VID_1F3C&PID_1201\0", 23), 0);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_CLASS, &type, buf, sizeof buf, &need));
    EXPECT_STREQ((char *)buf, "SmartCardReader");
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_CONFIGFLAGS, &type, buf, 4, &need));
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(buf[0], 0x40);
    // Missing and unknown properties.
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_SERVICE, &type, buf, sizeof buf, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_UNUSED0, &type, buf, sizeof buf, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_REG_PROPERTY);

    // The instance ID counts its terminator.
    char id[64];
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &d, id, 30, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(need, 31u);
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, &d, id, 31, &need));
    EXPECT_STREQ(id, "USB\\VID_1F3C&PID_1201\\5&AB&0&1");

    // A record from elsewhere, and a node gone since the list was made.
    SP_DEVINFO_DATA forged = d;
    forged.Reserved = 7;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &forged, id, sizeof id, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    devices::remove("USB\\VID_1F3C&PID_1201\\5&AB&0&1");
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_CLASS, &type, buf, sizeof buf, &need));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SUCH_DEVINST);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST(SetupApi, ClassGuidsFromName) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    GUID g[2];
    DWORD n = 99;
    devices::plug("USB\\VID_0001&PID_0001");
    EXPECT_TRUE(SetupDiClassGuidsFromNameA("usb", g, 2, &n));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(std::memcmp(&g[0], &k_usb, sizeof(GUID)), 0);
    EXPECT_TRUE(SetupDiClassGuidsFromNameA("Quva", g, 2, &n)); // not known until a device uses it
    EXPECT_EQ(n, 0u);
    devices::add(spec("USB\\VID_1F3C&PID_1000", "Quva", false));
    EXPECT_FALSE(SetupDiClassGuidsFromNameA("Quva", nullptr, 0, &n));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(n, 1u);
}

TEST(SetupApi, Windows9xLayoutAndNoSetupApiOn95) {
    {
        auto m = winsim::Machine::temporary(Os::Win98);
        devices::DeviceSpec s = spec("USB\\VID_1F3C&PID_1000", "SmartCardReader", true);
        s.hardware_ids.push_back("USB\\CLASS_0B");
        s.driver = true;
        std::string id = devices::add(s);
        std::string key = "HKLM\\Enum\\" + id;
        DWORD type = 0;
        EXPECT_EQ(reg_text(key, "HardwareID", &type), std::string("USB\\VID_1F3C&PID_1000,USB\\CLASS_0B") + '\0');
        EXPECT_EQ(type, (DWORD)REG_SZ);
        EXPECT_EQ(reg_text(key, "Driver"), std::string("SmartCardReader\\0000") + '\0');
        EXPECT_TRUE(winsim::reg::key_exists("HKLM\\System\\CurrentControlSet\\Services\\Class\\SmartCardReader\\0000"));
        devices::add(spec("USB\\VID_0001&PID_0001", "USB", false)); // the first USB device brings both USB class keys
        EXPECT_TRUE(winsim::reg::key_exists("HKLM\\System\\CurrentControlSet\\Services\\Class\\USB"));
        EXPECT_TRUE(winsim::reg::key_exists("HKLM\\System\\CurrentControlSet\\Services\\Class\\" +
                                            std::string(devices::kUsbClass)));
        HMODULE lib = LoadLibraryA("setupapi");
        ASSERT_NE(lib, nullptr);
        FreeLibrary(lib);
        HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
        SP_DEVINFO_DATA d;
        d.cbSize = sizeof d;
        ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &d));
        char buf[128];
        DWORD need = 0;
        ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &d, SPDRP_HARDWAREID, nullptr, (PBYTE)buf, sizeof buf, &need));
        EXPECT_EQ(std::string(buf, need), std::string("USB\\VID_1F3C&PID_1000\0USB\\CLASS_0B\0\0", 36));
        SetupDiDestroyDeviceInfoList(set);
    }
    auto m = winsim::Machine::temporary(Os::Win95);
    EXPECT_EQ(LoadLibraryA("setupapi"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

TEST(SetupApi, PlugUnplugReadersAndLinkedServices) {
    std::string dir;
    {
        auto m = winsim::Machine::temporary(Os::WinXp);
        // Plugging twice makes two nodes; unplugging keeps the node registered
        // and plugging again reuses it.
        std::string a = devices::plug("USB\\VID_1F3C&PID_1000");
        std::string b = devices::plug("USB\\VID_1F3C&PID_1000");
        EXPECT_NE(a, b);
        EXPECT_TRUE(devices::unplug("USB\\VID_1F3C&PID_1000"));
        devices::Device d;
        ASSERT_TRUE(devices::find(a, &d));
        EXPECT_FALSE(d.present);
        EXPECT_EQ(devices::plug("USB\\VID_1F3C&PID_1000"), a);
        EXPECT_TRUE(devices::unplug(b));
        EXPECT_FALSE(devices::unplug(b));
        EXPECT_EQ(devices::list().size(), 2u);

        // A reader of another maker follows its node; the token's own do not.
        std::string r = devices::add(spec("USB\\VID_0BDA&PID_0165", "SmartCardReader", true, "Acme Reader 0"));
        devices::add(spec("quvaenum\\quvaifd", "SmartCardReader", true, "Virtual"));
        EXPECT_EQ(winsim::scard::reader_names(), (std::vector<std::string>{"Acme Reader 0"}));
        EXPECT_TRUE(winsim::reg::key_exists("HKLM\\Software\\Microsoft\\Cryptography\\Calais\\Readers\\Acme Reader 0"));

        // Services drive the pieces that stand for them.
        winsim::pcsc::install_service_keys();
        ASSERT_TRUE(winsim::reg::import_text(
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qvatoken]\n\"Type\"=dword:00000001\n"
            "\"Start\"=dword:00000003\n\n"));
        winsim::services::hold("SCardSvr", SERVICE_STOPPED);
        winsim::services::hold("SCardSvr", SERVICE_RUNNING);
        winsim::services::hold("SCardSvr", SERVICE_STOPPED);
        EXPECT_FALSE(winsim::scard::service_running());
        winsim::services::hold("qvatoken", SERVICE_RUNNING);
        winsim::services::hold("qvatoken", SERVICE_STOPPED);
        EXPECT_FALSE(winsim::tokens::driver_present());
        winsim::services::hold("qvatoken", SERVICE_RUNNING);
        EXPECT_TRUE(winsim::tokens::driver_present());
        m->save();
        dir = m->dir() + ".copy";
        std::filesystem::copy(m->dir(), dir, std::filesystem::copy_options::recursive);
        (void)r;
    }
    {
        // A loaded machine keeps what was plugged in, readers included.
        auto m = winsim::Machine::load(dir);
        int present = 0;
        for (auto &d : devices::list()) present += d.present;
        EXPECT_EQ(present, 3);
        EXPECT_EQ(winsim::scard::reader_names(), (std::vector<std::string>{"Acme Reader 0"}));
        EXPECT_TRUE(devices::unplug("USB\\VID_0BDA&PID_0165"));
        EXPECT_EQ(winsim::scard::reader_names(), (std::vector<std::string>{"Acme Reader 0"})); // introduced, unavailable
    }
    std::filesystem::remove_all(dir);
}
