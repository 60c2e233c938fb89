// Plug and Play on the simulated machine: root-enumerated nodes, state
// changes per hardware profile, removal, restart bits, driver updates from an
// INF, the bus enumerator's virtual readers and the notifications of their
// arrival, TerminateThread, and installs when a device is plugged in.
#include <windows.h>
#include <dbt.h>
#include <newdev.h>
#include <setupapi.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using winsim::Os;
namespace devices = winsim::devices;

namespace {

const GUID k_system = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID k_reader = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
const std::string k_enum = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\";

// A driver package: the enumerator and its virtual reader.
std::string package_inf(const char *driver_ver) {
    return std::string("[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=System\r\n"
                       "ClassGUID={4D36E97D-E325-11CE-BFC1-08002BE10318}\r\nProvider=%Prov%\r\nDriverVer=") +
           driver_ver +
           "\r\n[Manufacturer]\r\n%Prov%=Models\r\n[Models]\r\n%Enum%=Enum_Install, quva\\quvaEnum\r\n"
           "%Ifd%=Ifd_Install, quvaenum\\quvaifd\r\n"
           "[DestinationDirs]\r\nDefaultDestDir=12\r\n"
           "[Enum_Install]\r\nCopyFiles=Enum_Files\r\n[Enum_Files]\r\nquvaenum.sys\r\n"
           "[Enum_Install.Services]\r\nAddService=quvaenum,0x00000002,Enum_Service\r\n"
           "[Enum_Service]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\nServiceBinary=%12%\\quvaenum.sys\r\n"
           "[Ifd_Install]\r\nCopyFiles=Ifd_Files\r\n[Ifd_Files]\r\nquvaIFD.SYS\r\n"
           "[Ifd_Install.Services]\r\nAddService=quvaifd,0x00000002,Ifd_Service\r\n"
           "[Ifd_Service]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\nServiceBinary=%12%\\quvaIFD.SYS\r\n"
           "[Strings]\r\nProv=\"Vornel Technologies\"\r\nEnum=\"Quva bus enumerator\"\r\nIfd=\"Quva virtual reader\"\r\n";
}

void write_package(const char *driver_ver = "03/04/2005,1.2.0.0") {
    winsim::disk::write_text("C:\\pkg\\quva.inf", package_inf(driver_ver));
    winsim::disk::write_text("C:\\pkg\\quvaenum.sys", "enum");
    winsim::disk::write_text("C:\\pkg\\quvaIFD.SYS", "ifd");
}

std::string reg_text(const std::string &key, const char *name) {
    DWORD t = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(key, name, &t, &data)) return "<missing>";
    std::string s(data.begin(), data.end());
    return s.substr(0, s.find('\0'));
}

void set_dword(const char *key, const char *name, DWORD v) {
    HKEY k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
    ASSERT_EQ(RegSetValueExA(k, name, 0, REG_DWORD, (const BYTE *)&v, 4), 0);
    RegCloseKey(k);
}

DWORD reg_dword(const std::string &key, const char *name) {
    DWORD t = 0;
    std::vector<BYTE> data;
    DWORD v = 0xDEAD;
    if (winsim::reg::value(key, name, &t, &data) && data.size() == 4) std::memcpy(&v, data.data(), 4);
    return v;
}

// Creates and registers a root-enumerated node; returns its instance ID.
std::string make_root_node(const char *hwid, const char *name = "SYSTEM") {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&k_system, nullptr);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA d;
    d.cbSize = sizeof d;
    EXPECT_TRUE(SetupDiCreateDeviceInfoA(set, name, &k_system, nullptr, nullptr, DICD_GENERATE_ID, &d));
    std::string ids = std::string(hwid) + '\0' + '\0';
    EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyA(set, &d, SPDRP_HARDWAREID, (const BYTE *)ids.data(),
                                                  (DWORD)ids.size()));
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &d));
    char id[200] = "";
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, &d, id, sizeof id, nullptr));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return id;
}

// Runs a property change on the first node of `set` whose ID is `id`.
struct Selected {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data{};
    explicit Selected(const std::string &id) {
        set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
        data.cbSize = sizeof data;
        char buf[200];
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); i++)
            if (SetupDiGetDeviceInstanceIdA(set, &data, buf, sizeof buf, nullptr) && id == buf) return;
        ADD_FAILURE() << "no node " << id;
    }
    ~Selected() { SetupDiDestroyDeviceInfoList(set); }
    BOOL change(DWORD state, DWORD scope, DWORD profile = 0) {
        SP_PROPCHANGE_PARAMS p;
        p.ClassInstallHeader.cbSize = sizeof p.ClassInstallHeader;
        p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        p.StateChange = state;
        p.Scope = scope;
        p.HwProfile = profile;
        return SetupDiSetClassInstallParamsA(set, &data, &p.ClassInstallHeader, sizeof p) &&
               SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data);
    }
    DWORD restart_bits() {
        SP_DEVINSTALL_PARAMS_A p;
        p.cbSize = sizeof p;
        EXPECT_TRUE(SetupDiGetDeviceInstallParamsA(set, &data, &p));
        return p.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT);
    }
};

} // namespace

TEST(Pnp, GeneratedRootNodesExistOnlyOnceRegistered) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&k_system, nullptr);
    SP_DEVINFO_DATA a, b;
    a.cbSize = b.cbSize = sizeof a;
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(set, "System", &k_system, "Bus", nullptr, DICD_GENERATE_ID, &a));
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(set, "System", &k_system, nullptr, nullptr, DICD_GENERATE_ID, &b));
    char id[64];
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(set, &b, id, sizeof id, nullptr));
    EXPECT_STREQ(id, "ROOT\\SYSTEM\\0001"); // the unregistered 0000 is taken too
    EXPECT_FALSE(winsim::reg::key_exists(k_enum + "ROOT\\SYSTEM\\0000"));
    // Wrong class, bad names.
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(set, "System", &k_reader, nullptr, nullptr, DICD_GENERATE_ID, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_MISMATCH);
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(set, "A\\B", &k_system, nullptr, nullptr, DICD_GENERATE_ID, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DEVINST_NAME);

    const char ids[] = "quva\\quvaEnum\0";
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set, &a, SPDRP_HARDWAREID, (const BYTE *)ids, sizeof ids));
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(set, &a, SPDRP_CLASSGUID, (const BYTE *)"x", 2));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_REG_PROPERTY);
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &a));
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));

    devices::Device d;
    ASSERT_TRUE(devices::find("ROOT\\SYSTEM\\0000", &d));
    EXPECT_EQ(d.hardware_ids, std::vector<std::string>{"quva\\quvaEnum"});
    EXPECT_EQ(d.class_name, "System");
    EXPECT_EQ(d.description, "Bus");
    EXPECT_TRUE(d.present);
    EXPECT_FALSE(devices::running(d.instance_id)); // no driver yet
    // The discarded element freed its number.
    EXPECT_EQ(make_root_node("other\\dev"), "ROOT\\SYSTEM\\0001");
}

TEST(Pnp, ProfileSpecificDisableStaysInThatProfile) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    devices::DeviceSpec s;
    s.hardware_ids = {"USB\\VID_0A0B&PID_0001"};
    s.service = "other";
    std::string id = devices::add(s);
    ASSERT_TRUE(devices::running(id));
    std::string cs1 = "HKLM\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\0001\\System\\CurrentControlSet\\Enum\\" + id;
    {
        Selected n(id);
        // Only the last parameters set count: the global disable is replaced.
        SP_PROPCHANGE_PARAMS p{{sizeof(SP_CLASSINSTALL_HEADER), DIF_PROPERTYCHANGE}, DICS_DISABLE, DICS_FLAG_GLOBAL, 0};
        ASSERT_TRUE(SetupDiSetClassInstallParamsA(n.set, &n.data, &p.ClassInstallHeader, sizeof p));
        ASSERT_TRUE(n.change(DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC));
        EXPECT_EQ(reg_dword(k_enum + id, "ConfigFlags"), 0u);
        EXPECT_EQ(reg_dword(cs1, "CSConfigFlags"), (DWORD)CSCONFIGFLAG_DISABLED);
        EXPECT_FALSE(devices::running(id));
        devices::set_current_profile(2);
        EXPECT_TRUE(devices::running(id));
        devices::set_current_profile(1);
        EXPECT_FALSE(devices::running(id));
        ASSERT_TRUE(n.change(DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC));
        EXPECT_TRUE(devices::running(id));
        ASSERT_TRUE(n.change(DICS_DISABLE, DICS_FLAG_GLOBAL));
        EXPECT_EQ(reg_dword(k_enum + id, "ConfigFlags"), (DWORD)CONFIGFLAG_DISABLED);
        devices::set_current_profile(2);
        EXPECT_FALSE(devices::running(id));
        devices::set_current_profile(1);
        ASSERT_TRUE(n.change(DICS_ENABLE, DICS_FLAG_GLOBAL));
        ASSERT_TRUE(n.change(DICS_STOP, DICS_FLAG_CONFIGSPECIFIC));
        EXPECT_FALSE(devices::running(id));
        ASSERT_TRUE(n.change(DICS_START, DICS_FLAG_CONFIGSPECIFIC));
        EXPECT_TRUE(devices::running(id));
        EXPECT_EQ(n.restart_bits(), 0u);

        // Parameter rules.
        EXPECT_FALSE(n.change(DICS_START, DICS_FLAG_GLOBAL));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FLAGS);
        ASSERT_TRUE(SetupDiSetClassInstallParamsA(n.set, &n.data, nullptr, 0));
        EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, n.set, &n.data));
        EXPECT_EQ(GetLastError(), ERROR_NO_CLASSINSTALL_PARAMS);
        p.ClassInstallHeader.cbSize = 20;
        EXPECT_FALSE(SetupDiSetClassInstallParamsA(n.set, &n.data, &p.ClassInstallHeader, sizeof p));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
        SP_DEVINSTALL_PARAMS_A ip;
        ip.cbSize = sizeof ip - 4;
        EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(n.set, &n.data, &ip));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
    }
}

TEST(Pnp, RestartBitsShowPerDeviceAfterAChange) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    devices::DeviceSpec s;
    s.hardware_ids = {"USB\\VID_0A0B&PID_0001"};
    std::string first = devices::add(s);
    std::string second = devices::add(s);
    devices::set_restart_bits(first, DI_NEEDRESTART);
    Selected a(first), b(second);
    EXPECT_EQ(a.restart_bits(), 0u); // nothing changed yet
    ASSERT_TRUE(a.change(DICS_DISABLE, DICS_FLAG_GLOBAL));
    ASSERT_TRUE(b.change(DICS_DISABLE, DICS_FLAG_GLOBAL));
    EXPECT_EQ(a.restart_bits(), (DWORD)DI_NEEDRESTART);
    EXPECT_EQ(b.restart_bits(), 0u);
    // By hardware ID: every node with it, now or later.
    devices::set_restart_bits("USB\\VID_0A0B&PID_0001", DI_NEEDREBOOT);
    devices::set_restart_bits(first, 0);
    ASSERT_TRUE(b.change(DICS_ENABLE, DICS_FLAG_GLOBAL));
    EXPECT_EQ(b.restart_bits(), (DWORD)DI_NEEDREBOOT);
}

TEST(Pnp, RemovedNodesLeaveTheDatabaseAndDeletedElementsTheList) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    std::string a = make_root_node("x\\one"), b = make_root_node("x\\two");
    HDEVINFO set = SetupDiGetClassDevsA(&k_system, nullptr, nullptr, DIGCF_PRESENT);
    SP_DEVINFO_DATA d;
    d.cbSize = sizeof d;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &d));
    ASSERT_TRUE(SetupDiRemoveDevice(set, &d));
    EXPECT_FALSE(winsim::reg::key_exists(k_enum + a));
    EXPECT_FALSE(SetupDiDeleteDevRegKey(set, &d, DICS_FLAG_GLOBAL, 0xFFFFFFFF, DIREG_DEV));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
    ASSERT_TRUE(SetupDiDeleteDeviceInfo(set, &d));
    // The next element moved down to index 0; the old record names nothing.
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &d));
    SP_DEVINFO_DATA old = d;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &d));
    EXPECT_FALSE(SetupDiDeleteDeviceInfo(set, &old));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &d));
    EXPECT_FALSE(winsim::reg::key_exists(k_enum + b));
    EXPECT_FALSE(winsim::reg::key_exists(k_enum + "ROOT\\SYSTEM"));
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST(Pnp, UpdateDriverInstallsForMatchingDevicesOnly) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    write_package();
    BOOL reboot = TRUE;
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "quva\\quvaEnum", "C:\\pkg\\quva.inf", 0, &reboot));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "quva\\quvaEnum", "C:\\pkg\\none.inf", 0, &reboot));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "quva\\quvaEnum", "C:\\pkg\\quva.inf", 8, &reboot));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FLAGS);

    std::string a = make_root_node("quva\\quvaEnum"), b = make_root_node("QUVA\\QUVAENUM");
    devices::set_restart_bits(b, DI_NEEDRESTART);
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "quva\\quvaenum", "C:\\pkg\\quva.inf", 0, &reboot));
    EXPECT_TRUE(reboot); // only the second asks
    devices::Device d;
    ASSERT_TRUE(devices::find(a, &d));
    EXPECT_EQ(d.service, "quvaenum");
    EXPECT_EQ(d.description, "Quva bus enumerator");
    EXPECT_EQ(d.mfg, "Vornel Technologies");
    std::string drv = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + d.driver;
    EXPECT_EQ(reg_text(drv, "InfPath"), "oem0.inf");
    EXPECT_EQ(reg_text(drv, "InfSection"), "Enum_Install");
    EXPECT_EQ(reg_text(drv, "ProviderName"), "Vornel Technologies");
    EXPECT_EQ(reg_text(drv, "DriverVersion"), "1.2.0.0");
    EXPECT_TRUE(winsim::disk::exists("C:\\WINDOWS\\system32\\drivers\\quvaenum.sys"));
    EXPECT_TRUE(winsim::disk::exists("C:\\WINDOWS\\inf\\oem0.inf"));
    EXPECT_EQ(winsim::services::state("quvaenum"), (DWORD)SERVICE_RUNNING);
    EXPECT_TRUE(devices::running(a));

    // The same driver again: not better, unless forced; a newer one is.
    devices::set_restart_bits(b, 0);
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "quva\\quvaEnum", "C:\\pkg\\quva.inf", 0, &reboot));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "quva\\quvaEnum", "C:\\pkg\\quva.inf",
                                                   INSTALLFLAG_FORCE, &reboot));
    EXPECT_FALSE(reboot);
    EXPECT_TRUE(winsim::disk::exists("C:\\WINDOWS\\inf\\oem0.inf"));
    EXPECT_FALSE(winsim::disk::exists("C:\\WINDOWS\\inf\\oem1.inf")); // the identical copy is reused
    write_package("03/04/2006,1.3.0.0");
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "quva\\quvaEnum", "C:\\pkg\\quva.inf", 0, nullptr));
    ASSERT_TRUE(devices::find(a, &d));
    EXPECT_EQ(reg_text("HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + d.driver, "DriverVersion"), "1.3.0.0");
    // An ID the INF has no driver for.
    make_root_node("quva\\other");
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "quva\\other", "C:\\pkg\\quva.inf", 1, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
}

namespace {

// A window on its own thread that counts reader-interface arrivals.
struct Listener {
    static int arrivals, removals;
    static HDEVNOTIFY notify;
    static DWORD registration_error;
    static int expected;
    static LRESULT CALLBACK proc(HWND h, UINT msg, WPARAM w, LPARAM l) {
        if (msg == WM_DEVICECHANGE) {
            auto *b = (DEV_BROADCAST_DEVICEINTERFACE_A *)l;
            EXPECT_EQ(b->dbcc_devicetype, (DWORD)DBT_DEVTYP_DEVICEINTERFACE);
            EXPECT_EQ(std::memcmp(&b->dbcc_classguid, &k_reader, sizeof k_reader), 0);
            EXPECT_EQ(std::string(b->dbcc_name).rfind("\\\\?\\QUVAENUM#QUVAIFD#", 0), 0u) << b->dbcc_name;
            if (w == DBT_DEVICEARRIVAL && ++arrivals == expected) DestroyWindow(h);
            if (w == DBT_DEVICEREMOVECOMPLETE) removals++;
            return 1;
        }
        if (msg == WM_DESTROY) {
            if (notify) UnregisterDeviceNotification(notify);
            notify = nullptr;
            PostQuitMessage(0);
            return 0;
        }
        return DefWindowProcA(h, msg, w, l);
    }
    static DWORD WINAPI thread(LPVOID) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = proc;
        wc.lpszClassName = "Listener";
        RegisterClassA(&wc);
        HWND h = CreateWindowExA(0, "Listener", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        DEV_BROADCAST_DEVICEINTERFACE_A f{};
        f.dbcc_size = sizeof f;
        f.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        f.dbcc_classguid = k_reader;
        notify = RegisterDeviceNotificationA(h, &f, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (!notify) {
            registration_error = GetLastError();
            DestroyWindow(h);
        }
        MSG m;
        while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
        UnregisterClassA("Listener", nullptr);
        return (DWORD)arrivals;
    }
};
int Listener::arrivals, Listener::removals, Listener::expected;
HDEVNOTIFY Listener::notify;
DWORD Listener::registration_error;

// An XP machine with the package's enumerator installed and stopped, the
// driver parameters asking for `readers` virtual readers.
std::string installed_enumerator(DWORD readers) {
    write_package();
    std::string id = make_root_node("quva\\quvaEnum");
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "quva\\quvaEnum", "C:\\pkg\\quva.inf", 0, nullptr));
    EXPECT_EQ(Selected(id).change(DICS_DISABLE, DICS_FLAG_GLOBAL), TRUE);
    set_dword("SYSTEM\\CurrentControlSet\\Services\\QvaToken\\Parameters", "UseRM", 1);
    set_dword("SYSTEM\\CurrentControlSet\\Services\\QuvaEnum", "NumberOfDevices", readers);
    Listener::arrivals = Listener::removals = 0;
    Listener::notify = nullptr;
    Listener::registration_error = 0;
    Listener::expected = (int)readers;
    return id;
}

} // namespace

TEST(Pnp, EnabledEnumeratorMakesItsReadersOneByOne) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    std::string id = installed_enumerator(2);
    DWORD tid;
    HANDLE t = CreateThread(nullptr, 0, Listener::thread, nullptr, 0, &tid);
    ASSERT_NE(t, nullptr);
    winsim::clock::advance(1);
    EXPECT_EQ(devices::notification_count(), 1);
    uint64_t start = winsim::clock::now_ms();
    ASSERT_TRUE(Selected(id).change(DICS_ENABLE, DICS_FLAG_GLOBAL));
    ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(winsim::clock::now_ms() - start, 1000u); // 500 ms apart
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 2u);
    CloseHandle(t);
    EXPECT_EQ(devices::notification_count(), 0);

    int readers = 0;
    for (auto &d : devices::list())
        if (d.hardware_ids == std::vector<std::string>{"quvaenum\\quvaifd"}) {
            readers++;
            EXPECT_EQ(d.service, "quvaifd");
            EXPECT_TRUE(devices::running(d.instance_id));
        }
    EXPECT_EQ(readers, 2);
    EXPECT_EQ(winsim::scard::virtual_readers(), 2);
    // Stopping the enumerator takes its readers away.
    ASSERT_TRUE(Selected(id).change(DICS_DISABLE, DICS_FLAG_GLOBAL));
    EXPECT_EQ(winsim::scard::virtual_readers(), 0);
}

TEST(Pnp, NoReaderArrivesWhenTheScenarioSaysSoOrUseRmIsOff) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    std::string id = installed_enumerator(1);
    devices::set_reader_arrivals(false);
    HANDLE t = CreateThread(nullptr, 0, Listener::thread, nullptr, 0, nullptr);
    winsim::clock::advance(1);
    ASSERT_TRUE(Selected(id).change(DICS_ENABLE, DICS_FLAG_GLOBAL));
    EXPECT_EQ(WaitForSingleObject(t, 30000), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(Listener::arrivals, 0);
    // UseRM off: nothing either, even with arrivals allowed again.
    devices::set_reader_arrivals(true);
    set_dword("SYSTEM\\CurrentControlSet\\Services\\QvaToken\\Parameters", "UseRM", 0);
    ASSERT_TRUE(Selected(id).change(DICS_PROPCHANGE, DICS_FLAG_CONFIGSPECIFIC));
    EXPECT_EQ(WaitForSingleObject(t, 30000), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(Listener::arrivals, 0);
    // A reader of another make counts too.
    devices::DeviceSpec s;
    s.hardware_ids = {"USB\\VID_0C4B&PID_0300"};
    s.class_name = "SmartCardReader";
    s.instance_id = "QUVAENUM\\QUVAIFD\\other"; // named so the listener's check holds
    devices::add(s);
    ASSERT_EQ(WaitForSingleObject(t, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(Listener::arrivals, 1);
    CloseHandle(t);
}

TEST(Pnp, NotificationRegistrationRulesAndFaults) {
    DEV_BROADCAST_DEVICEINTERFACE_A f{};
    {
        auto m = winsim::Machine::temporary(Os::WinXp);
        installed_enumerator(1);
        winsim::faults::fail("RegisterDeviceNotificationA", ERROR_NOT_ENOUGH_MEMORY);
        HANDLE t = CreateThread(nullptr, 0, Listener::thread, nullptr, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(t, 1000), WAIT_OBJECT_0);
        EXPECT_EQ(Listener::registration_error, (DWORD)ERROR_NOT_ENOUGH_MEMORY);
        CloseHandle(t);

        HWND h = winsim::user::create_window({0, 0, 10, 10}, "w");
        f.dbcc_size = 12; // a bare header is no interface filter
        f.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        EXPECT_EQ(RegisterDeviceNotificationA(h, &f, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_DATA);
        f.dbcc_size = sizeof f;
        EXPECT_EQ(RegisterDeviceNotificationA((HWND)0x1234, &f, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
        HDEVNOTIFY n = RegisterDeviceNotificationA(h, &f, DEVICE_NOTIFY_WINDOW_HANDLE);
        ASSERT_NE(n, nullptr);
        EXPECT_TRUE(UnregisterDeviceNotification(n));
        EXPECT_FALSE(UnregisterDeviceNotification(n));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        DestroyWindow(h);
    }
    auto nt4 = winsim::Machine::temporary(Os::Nt4);
    HWND w = winsim::user::create_window({0, 0, 10, 10}, "w");
    EXPECT_EQ(RegisterDeviceNotificationA(w, &f, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
    DestroyWindow(w);
}

namespace {
DWORD WINAPI sleeper(LPVOID) {
    Sleep(INFINITE);
    return 7;
}
} // namespace

TEST(Pnp, TerminateThreadEndsAWaitingOrUnstartedThread) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    HANDLE t = CreateThread(nullptr, 0, sleeper, nullptr, 0, nullptr);
    winsim::clock::advance(10);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    uint64_t before = winsim::clock::now_ms();
    ASSERT_TRUE(TerminateThread(t, ERROR_CANCELLED));
    EXPECT_EQ(winsim::clock::now_ms(), before);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, (DWORD)ERROR_CANCELLED);
    EXPECT_TRUE(TerminateThread(t, 5)); // already ended: no change
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, (DWORD)ERROR_CANCELLED);
    CloseHandle(t);

    HANDLE s = CreateThread(nullptr, 0, sleeper, nullptr, CREATE_SUSPENDED, nullptr);
    ASSERT_TRUE(TerminateThread(s, 3));
    ASSERT_TRUE(GetExitCodeThread(s, &code));
    EXPECT_EQ(code, 3u);
    CloseHandle(s);
    EXPECT_FALSE(TerminateThread(nullptr, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    winsim::faults::fail("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(CreateThread(nullptr, 0, sleeper, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
}

// ---- Plug and Play after a driver package is on the machine: a device
// plugged in (or found again by a rescan) gets the driver an INF of the INF
// folder offers, on 2000/XP and 9x in each one's own registry layout; the
// hardware profiles a new machine starts with.

namespace {

const char k_token[] = "USB\\VID_1F3C&PID_1000";

// The token's driver for 2000/XP, in the reader class.
std::string nt_inf(const char *driver_ver) {
    return std::string("[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=SmartCardReader\r\n"
                       "ClassGUID={50DD5230-BA8A-11D1-BF5D-0000F805F530}\r\nProvider=%Prov%\r\nDriverVer=") +
           driver_ver +
           "\r\n[Manufacturer]\r\n%Prov%=Models\r\n[Models]\r\n%Tok%=Tok_Install, USB\\VID_1F3C&PID_1000\r\n"
           "[DestinationDirs]\r\nDefaultDestDir=12\r\n"
           "[Tok_Install]\r\nCopyFiles=Tok_Files\r\n[Tok_Files]\r\nQVATOKEN.SYS\r\n"
           "[Tok_Install.Services]\r\nAddService=qvatoken,0x00000002,Tok_Service\r\n"
           "[Tok_Service]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\nServiceBinary=%12%\\QVATOKEN.SYS\r\n"
           "[Strings]\r\nProv=\"Vornel Technologies\"\r\nTok=\"Quva token\"\r\n";
}

// Puts the package in C:\pkg and its INF in the INF folder as setup does.
std::string stage_nt(const char *driver_ver = "03/04/2005,1.18.0.57") {
    winsim::disk::write_text("C:\\pkg\\qvatoken.inf", nt_inf(driver_ver));
    winsim::disk::write_text("C:\\pkg\\QVATOKEN.SYS", driver_ver);
    char dest[MAX_PATH];
    EXPECT_TRUE(SetupCopyOEMInfA("C:\\pkg\\qvatoken.inf", "C:\\pkg", SPOST_PATH, 0, dest, sizeof dest, nullptr,
                                 nullptr));
    return dest;
}

std::string read_text(const std::string &path) {
    std::vector<BYTE> b;
    return winsim::disk::read_file(path, &b) ? std::string(b.begin(), b.end()) : "<missing>";
}

// A 9x INF for the token: a WDM driver the class key names.
std::string nine_x_inf(const std::string &cls, const std::string &dest, const std::string &file) {
    return "[Version]\r\nSignature=\"$CHICAGO$\"\r\nClass=" + cls +
           "\r\nProvider=Vornel\r\n[Manufacturer]\r\nVornel=Models\r\n[Models]\r\n"
           "\"Quva token\"=Tok, USB\\VID_1F3C&PID_1000\r\n[DestinationDirs]\r\nDefaultDestDir=" + dest +
           "\r\n[Tok]\r\nCopyFiles=Files\r\nAddReg=Reg\r\n[Files]\r\n" + file +
           "\r\n[Reg]\r\nHKR,,DevLoader,,*ntkern\r\nHKR,,NTMPDriver,,\"" + file + "\"\r\n";
}

devices::Device node(const std::string &id) {
    devices::Device d;
    EXPECT_TRUE(devices::find(id, &d)) << id;
    return d;
}

std::string driver_key(const devices::Device &d, bool nt = true) {
    return std::string(nt ? "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                          : "HKLM\\System\\CurrentControlSet\\Services\\Class\\") +
           d.driver;
}

} // namespace

TEST(PnpPlug, AnINFInTheStoreGivesAPluggedDeviceItsDriver) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    // Nothing for it yet: "Other devices".
    std::string first = devices::plug(k_token);
    EXPECT_EQ(node(first).class_name, "Unknown");
    EXPECT_TRUE(node(first).driver.empty());
    std::string oem = stage_nt();
    // The same device plugged in again, and a second one of that model.
    ASSERT_TRUE(devices::unplug(first));
    EXPECT_EQ(devices::plug(k_token), first);
    std::string second = devices::plug(k_token);
    for (auto &id : {first, second}) {
        devices::Device d = node(id);
        EXPECT_EQ(d.class_name, "SmartCardReader") << id;
        EXPECT_EQ(d.service, "qvatoken");
        EXPECT_EQ(reg_text(driver_key(d), "InfPath"), oem.substr(oem.rfind('\\') + 1));
        EXPECT_EQ(reg_text(driver_key(d), "MatchingDeviceId"), "usb\\vid_1f3c&pid_1000");
        EXPECT_TRUE(devices::running(id));
    }
    EXPECT_EQ(read_text("C:\\WINDOWS\\SYSTEM32\\DRIVERS\\QVATOKEN.SYS"), "03/04/2005,1.18.0.57");
    EXPECT_EQ(winsim::services::state("qvatoken"), (DWORD)SERVICE_RUNNING);
}

TEST(PnpPlug, FilesComeFromTheSourceOrStayWhenItIsGone) {
    auto m = winsim::Machine::temporary(Os::Win2000);
    stage_nt();
    // The media is gone but the driver was copied at install time.
    winsim::disk::write_text("C:\\WINNT\\SYSTEM32\\DRIVERS\\QVATOKEN.SYS", "installed");
    ASSERT_TRUE(DeleteFileA("C:\\pkg\\QVATOKEN.SYS"));
    std::string a = devices::plug(k_token);
    EXPECT_EQ(node(a).service, "qvatoken");
    EXPECT_EQ(read_text("C:\\WINNT\\SYSTEM32\\DRIVERS\\QVATOKEN.SYS"), "installed");
    // Neither there nor in place: the install fails and the node says so.
    ASSERT_TRUE(DeleteFileA("C:\\WINNT\\SYSTEM32\\DRIVERS\\QVATOKEN.SYS"));
    std::string b = devices::plug(k_token);
    EXPECT_TRUE(node(b).service.empty());
    EXPECT_TRUE(node(b).config_flags & CONFIGFLAG_FAILEDINSTALL);
}

TEST(PnpPlug, RescanBringsBackARemovedDeviceAndTheBestDriverWins) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    std::string id = devices::plug(k_token);
    // An older and a newer package in the store: the newer is chosen.
    stage_nt("01/01/2004,1.16.0.1");
    winsim::disk::write_text("C:\\pkg2\\qvatoken.inf", nt_inf("03/04/2005,1.18.0.57"));
    winsim::disk::write_text("C:\\pkg2\\QVATOKEN.SYS", "new");
    ASSERT_TRUE(SetupCopyOEMInfA("C:\\pkg2\\qvatoken.inf", "C:\\pkg2", SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(devices::rescan(), std::vector<std::string>{id});
    EXPECT_EQ(reg_text(driver_key(node(id)), "DriverVersion"), "1.18.0.57");
    // Removed while still plugged in: the next scan finds it again.
    ASSERT_TRUE(devices::remove(id));
    EXPECT_EQ(devices::rescan(), std::vector<std::string>{id});
    EXPECT_TRUE(devices::running(id));
    EXPECT_TRUE(devices::rescan().empty());
    // Unplugged, then removed: nothing comes back.
    ASSERT_TRUE(devices::unplug(id));
    ASSERT_TRUE(devices::remove(id));
    EXPECT_TRUE(devices::rescan().empty());
    devices::Device d;
    EXPECT_FALSE(devices::find(id, &d));
}

TEST(PnpPlug, TokensShowAsUsbNodesNamedBySerial) {
    {
        auto m = winsim::Machine::temporary(Os::WinXp);
        stage_nt();
        DWORD t = winsim::tokens::plug();
        std::string id = std::string(k_token) + "\\5156000000000001";
        EXPECT_TRUE(devices::running(id));
        EXPECT_EQ(node(id).service, "qvatoken");
        EXPECT_TRUE(winsim::tokens::unplug(t));
        EXPECT_FALSE(node(id).present);
        winsim::tokens::TokenSpec bare;
        bare.hardware_id = "";
        winsim::tokens::plug(bare);
        EXPECT_EQ(devices::list().size(), 1u) << "no node for a token without a hardware ID";
    }
    {
        // NT 4.0 has no Plug and Play tree.
        auto m = winsim::Machine::temporary(Os::Nt4);
        winsim::tokens::plug();
        EXPECT_TRUE(devices::list().empty());
    }
}

TEST(PnpPlug, NineXKeepsOemInfsInOtherAndBinaryConfigFlags) {
    // The packages' own INFs in the INF folder are run by the installer tests.
    const std::string cls = "HKLM\\System\\CurrentControlSet\\Services\\Class\\USB\\0000";
    auto m = winsim::Machine::temporary(Os::Win95);
    winsim::disk::write_text("C:\\WINDOWS\\SYSTEM\\QVATKN95.SYS", "drv");
    winsim::disk::write_text("C:\\WINDOWS\\INF\\OTHER\\VornelQVATKN95.INF", nine_x_inf("USB", "11", "QVATKN95.SYS"));
    std::string id = devices::plug(k_token);
    EXPECT_EQ(node(id).driver, "USB\\0000");
    EXPECT_EQ(reg_text(cls, "NTMPDriver"), "QVATKN95.SYS");
    EXPECT_EQ(reg_text(cls, "InfPath"), "OTHER\\VornelQVATKN95.INF");
    EXPECT_EQ(reg_text(cls, "MatchingDeviceId"), "USB\\VID_1F3C&PID_1000");
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(winsim::reg::value("HKLM\\Enum\\" + id, "ConfigFlags", &type, &data));
    EXPECT_EQ(type, (DWORD)REG_BINARY);
}

TEST(PnpPlug, NewMachinesHaveTheirHardwareProfile) {
    for (Os os : {Os::Win2000, Os::WinXp}) {
        auto m = winsim::Machine::temporary(os);
        EXPECT_TRUE(winsim::reg::key_exists("HKLM\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\0001"));
        EXPECT_TRUE(winsim::reg::key_exists("HKLM\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"));
    }
}

TEST(Pnp, ADriverUnloadsWithItsLastDeviceAndLoadsWhenOneStarts) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    write_package();
    std::string a = make_root_node("quva\\quvaEnum"), b = make_root_node("quva\\quvaEnum");
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "quva\\quvaEnum", "C:\\pkg\\quva.inf", 0, nullptr));
    ASSERT_EQ(winsim::services::state("quvaenum"), (DWORD)SERVICE_RUNNING);
    {
        Selected s(a);
        ASSERT_TRUE(s.change(DICS_DISABLE, DICS_FLAG_GLOBAL));
    }
    EXPECT_EQ(winsim::services::state("quvaenum"), (DWORD)SERVICE_RUNNING); // b still needs it
    {
        Selected s(b);
        ASSERT_TRUE(s.change(DICS_DISABLE, DICS_FLAG_GLOBAL));
    }
    EXPECT_EQ(winsim::services::state("quvaenum"), (DWORD)SERVICE_STOPPED);
    {
        Selected s(a);
        ASSERT_TRUE(s.change(DICS_ENABLE, DICS_FLAG_GLOBAL));
    }
    EXPECT_EQ(winsim::services::state("quvaenum"), (DWORD)SERVICE_RUNNING);
    ASSERT_TRUE(devices::remove(a));
    EXPECT_EQ(winsim::services::state("quvaenum"), (DWORD)SERVICE_STOPPED); // b is disabled
    // Stopped, the service is deleted at once rather than at the next restart.
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE svc = OpenServiceA(scm, "quvaenum", DELETE);
    ASSERT_TRUE(svc);
    EXPECT_TRUE(DeleteService(svc));
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    EXPECT_EQ(winsim::services::state("quvaenum"), 0u);
}
