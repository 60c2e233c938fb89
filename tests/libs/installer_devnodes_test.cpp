// The driver installer library's device-node operations on the simulated
// Plug and Play database: state changes with their restart indications,
// node removals, the enumerator node, driver updates and class keys.
#include "kit.h"

#include "quva_common.h"
#include <quvadi.h>
#include <setupapi.h>

#include <cstring>
#include <string>
#include <vector>

using winsim::Os;
namespace faults = winsim::faults;
namespace devices = winsim::devices;

// The internal operations, compiled here; service and process calls forward
// to the loaded library.
#define quva_get_os_version kit::os_version
#define quvaDI_RunProcessA test_RunProcessA
#define quvaDI_DeleteServiceA test_DeleteServiceA
namespace devnodes_under_test {
DWORD test_RunProcessA(HWND hwnd, LPSTR cmd, LPCSTR dir, BOOL wait, UINT show) {
    using Run = DWORD(WINAPI *)(HWND, LPSTR, LPCSTR, BOOL, UINT);
    return kit::quvadi_export<Run>("quvaDI_RunProcessA")(hwnd, cmd, dir, wait, show);
}
BOOL test_DeleteServiceA(LPCSTR name, LPDWORD marked) {
    return kit::quvadi_export<BOOL(WINAPI *)(LPCSTR, LPDWORD)>("quvaDI_DeleteServiceA")(name, marked);
}
BOOL FileExists(LPCSTR path) {
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(path, &data);
    if (h == INVALID_HANDLE_VALUE) return FALSE;
    FindClose(h);
    return TRUE;
}
#include "../../installer/hwids.cpp"
#include "../../installer/inf.cpp"
#include "../../installer/devnodes.cpp"
} // namespace devnodes_under_test
#undef quvaDI_DeleteServiceA
#undef quvaDI_RunProcessA
#undef quva_get_os_version

namespace dut = devnodes_under_test;

namespace {

const GUID k_reader_class = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
const GUID k_usb_class = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const char k_token0[] = "USB\\VID_1F3C&PID_1000";
const char k_token5[] = "USB\\VID_1F3C&PID_1300";
const char k_enum[] = "quva\\quvaEnum";
const char k_reader[] = "quvaenum\\quvaifd";
const char k_inf[] = "C:\\SRC\\quva.inf";

struct Fixture {
    explicit Fixture(Os os = Os::WinXp) : m(os), lib("QUVADI.DLL") { kit::g_quvadi = lib.handle(); }
    ~Fixture() {
        faults::clear();
        kit::g_quvadi = nullptr;
    }
    kit::Machine m;
    kit::Library lib;
};

std::string node(const std::string &hwid, const std::string &cls = "USB", bool present = true,
                 const std::string &service = "", std::vector<std::string> more = {}) {
    devices::DeviceSpec s;
    s.hardware_ids = {hwid};
    s.hardware_ids.insert(s.hardware_ids.end(), more.begin(), more.end());
    s.class_name = cls;
    s.present = present;
    s.service = service;
    s.driver = true;
    std::string id = devices::add(s);
    EXPECT_FALSE(id.empty()) << hwid;
    return id;
}

devices::Device get(const std::string &id) {
    devices::Device d;
    EXPECT_TRUE(devices::find(id, &d)) << id;
    return d;
}

bool exists(const std::string &id) {
    devices::Device d;
    return devices::find(id, &d);
}

// Disabled in the current profile: the config-specific parameters, set
// last, are the ones the class installer applies.
bool disabled(const std::string &id) { return (get(id).profile_flags & CSCONFIGFLAG_DISABLED) != 0; }

// Nodes whose first hardware ID is `hwid`.
int count_nodes(const std::string &hwid) {
    int n = 0;
    for (auto &d : devices::list())
        if (!d.hardware_ids.empty() && dut::EqualsNoCase(d.hardware_ids[0].c_str(), hwid.c_str())) n++;
    return n;
}

// A driver package naming the enumerator and one token model.
std::string package_inf(bool with_enumerator) {
    std::string t = "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=SmartCardReader\r\n"
                    "ClassGuid={50DD5230-BA8A-11D1-BF5D-0000F805F530}\r\nProvider=%Mfg%\r\n"
                    "DriverVer=01/02/2004,1.18.0.57\r\n\r\n[Manufacturer]\r\n%Mfg%=Models\r\n\r\n[Models]\r\n"
                    "\"Token\"=QvaToken_Install, USB\\VID_1F3C&PID_1000\r\n";
    if (with_enumerator) t += "\"Enumerator\"=QuvaEnum_Install, quva\\quvaEnum\r\n";
    return t + "\r\n[QvaToken_Install]\r\n\r\n[QvaToken_Install.Services]\r\n"
               "AddService=qvatoken,0x00000002,Token.Service\r\n\r\n"
               "[QuvaEnum_Install]\r\n\r\n[QuvaEnum_Install.Services]\r\nAddService=quvaenum,0x00000002,Enum.Service\r\n\r\n"
               "[Token.Service]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\nServiceBinary=%12%\\qvatoken.sys\r\n\r\n"
               "[Enum.Service]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\nServiceBinary=%12%\\quvaenum.sys\r\n\r\n"
               "[Strings]\r\nMfg=\"Vornel Technologies\"\r\n";
}

} // namespace

TEST(InstallerDevnodes, FormatGuidStringIsUpperCaseRegistryForm) {
    char out[40];
    dut::FormatGuidString(&k_reader_class, out, sizeof out);
    EXPECT_STREQ(out, "{50DD5230-BA8A-11D1-BF5D-0000F805F530}");
    const GUID low = {0x0000000A, 0x000B, 0x00C0, {0, 1, 2, 3, 4, 5, 6, 0xFF}};
    dut::FormatGuidString(&low, out, sizeof out);
    EXPECT_STREQ(out, "{0000000A-000B-00C0-0001-0203040506FF}");
}

TEST(InstallerDevnodes, EnumeratorStateChangesReportRawRestartBits) {
    Fixture f;
    DWORD restart = 7;
    EXPECT_FALSE(dut::DisableEnumeratorDevice(nullptr, &restart));
    EXPECT_EQ(restart, 0u);

    std::string e = node(k_enum, "SmartCardReader", true, "quvaenum");
    devices::set_restart_bits(e, DI_NEEDREBOOT);
    EXPECT_FALSE(dut::DisableEnumeratorDevice(&k_usb_class, &restart)); // not in that class
    EXPECT_TRUE(dut::DisableEnumeratorDevice(&k_reader_class, &restart));
    EXPECT_EQ(restart, (DWORD)DI_NEEDREBOOT);
    EXPECT_TRUE(disabled(e));
    EXPECT_TRUE(dut::EnableEnumeratorDevice(nullptr, &restart));
    EXPECT_FALSE(disabled(e));

    // Stopping sets the config-specific parameters only.
    faults::fail("SetupDiSetClassInstallParamsA", ERROR_INVALID_FLAGS, 1, 1);
    EXPECT_TRUE(dut::StopEnumeratorDevice(nullptr, &restart));
    EXPECT_EQ(faults::fired("SetupDiSetClassInstallParamsA"), 0);
    EXPECT_FALSE(devices::running(e));
}

TEST(InstallerDevnodes, EnumeratorStateChangeFailures) {
    Fixture f;
    node(k_enum, "SmartCardReader", true, "quvaenum");
    for (int skip : {0, 1}) {
        faults::fail("SetupDiSetClassInstallParamsA", ERROR_INVALID_FLAGS, 1, skip);
        DWORD restart = 7;
        EXPECT_FALSE(dut::DisableEnumeratorDevice(nullptr, &restart)) << skip;
    }
    for (const char *api : {"SetupDiCallClassInstaller", "SetupDiGetDeviceInstallParamsA", "SetupDiGetClassDevsA"}) {
        faults::fail(api, ERROR_ACCESS_DENIED, 1);
        DWORD restart = 7;
        EXPECT_FALSE(dut::EnableEnumeratorDevice(nullptr, &restart)) << api;
        EXPECT_EQ(faults::fired(api), 1) << api;
    }
}

TEST(InstallerDevnodes, EveryMatchMembersChangeAllAndFoldRestarts) {
    Fixture f;
    std::string a = node(k_token0), b = node(std::string(k_token5) + "&REV_0100");
    std::string absent = node("USB\\VID_1F3C&PID_1001", "USB", false);
    std::string other = node("USB\\VID_0000&PID_0001");
    std::string r1 = node(k_reader, "SmartCardReader", true, "quvaifd");
    devices::set_restart_bits(a, DI_NEEDRESTART);

    DWORD restart = 7;
    EXPECT_TRUE(dut::DisableTokenDevices(nullptr, &restart));
    EXPECT_EQ(restart, 1u);
    EXPECT_TRUE(disabled(a) && disabled(b));
    EXPECT_FALSE(disabled(other) || disabled(r1));
    EXPECT_FALSE(disabled(absent));
    EXPECT_TRUE(dut::EnableTokenDevices(nullptr, &restart));
    EXPECT_EQ(restart, 1u);
    EXPECT_FALSE(disabled(a) || disabled(b));

    // The second device's change fails: FALSE, the first stays changed.
    faults::fail("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED, 1, 1);
    EXPECT_FALSE(dut::DisableTokenDevices(nullptr, &restart));
    EXPECT_TRUE(disabled(a));
    EXPECT_FALSE(disabled(b));

    // Readers, by hardware ID; devices of a service, by name in any case.
    EXPECT_TRUE(dut::DisableReaderDevices(&k_reader_class, &restart));
    EXPECT_EQ(restart, 0u);
    EXPECT_TRUE(disabled(r1));
    EXPECT_TRUE(dut::EnableReaderDevices(nullptr, &restart));
    EXPECT_FALSE(disabled(r1));
    EXPECT_TRUE(dut::DisableServiceDevices(&k_reader_class, "QUVAIFD", &restart));
    EXPECT_TRUE(disabled(r1));
    // Nothing to change is no failure.
    EXPECT_TRUE(dut::DisableServiceDevices(&k_usb_class, "nosuch", &restart));
}

TEST(InstallerDevnodes, RemoveServiceDevicesTakesPresentAndRegisteredNodes) {
    Fixture f;
    std::string a = node("ROOT\\QVA_A", "SmartCardReader", true, "qvatoken");
    std::string b = node("ROOT\\QVA_B", "SmartCardReader", true, "QvaToken"); // right after a
    std::string gone = node("ROOT\\QVA_C", "SmartCardReader", false, "qvatoken");
    std::string keep = node("ROOT\\OTHER", "SmartCardReader", true, "quvaifd");
    dut::RemoveServiceDevices(&k_reader_class, "qvatoken");
    EXPECT_FALSE(exists(a) || exists(b) || exists(gone));
    EXPECT_TRUE(exists(keep));
    SetLastError(99);
    dut::RemoveServiceDevices(&k_reader_class, "qvatoken"); // nothing left to do
    EXPECT_EQ(GetLastError(), 0u);

    // A failing call leaves its error; the node still goes.
    std::string c = node("ROOT\\QVA_D", "SmartCardReader", false, "qvatoken");
    faults::fail("SetupDiDeleteDevRegKey", ERROR_ACCESS_DENIED, -1);
    dut::RemoveServiceDevices(&k_reader_class, "qvatoken");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(exists(c));
}

TEST(InstallerDevnodes, RemoveStaleTokenNodesKeepsPresentAndSparedReaderNodes) {
    Fixture f;
    std::string present = node(k_token0);
    std::string in_reader = node(k_token5, "SmartCardReader", false);
    std::string in_usb = node("USB\\VID_1F3C&PID_1200", "USB", false);
    std::string second_id = node("USB\\COMPOSITE", "USB", false, "", {"USB\\VID_1F3C&PID_1201&REV_0001"});
    std::string stranger = node("USB\\VID_0000&PID_0001", "USB", false);

    DWORD indication = 7;
    dut::RemoveStaleTokenNodes(TRUE, &indication);
    EXPECT_EQ(indication, 1u);
    EXPECT_TRUE(exists(present) && exists(in_reader) && exists(stranger));
    EXPECT_FALSE(exists(in_usb) || exists(second_id));

    dut::RemoveStaleTokenNodes(FALSE, &indication);
    EXPECT_EQ(indication, 1u);
    EXPECT_FALSE(exists(in_reader));
    dut::RemoveStaleTokenNodes(FALSE, &indication);
    EXPECT_EQ(indication, 0u);
    EXPECT_TRUE(exists(present));

    // A node whose instance ID cannot be read is not taken for a stale one.
    std::string later = node(k_token5, "USB", false);
    faults::fail("SetupDiGetDeviceInstanceIdA", ERROR_ACCESS_DENIED, -1);
    dut::RemoveStaleTokenNodes(FALSE, &indication);
    EXPECT_TRUE(exists(present) && exists(later));
}

TEST(InstallerDevnodes, RemoveAllTokenNodesAndRemoveQuvaNodes) {
    Fixture f;
    char windows[MAX_PATH];
    std::string inf_dir(windows, GetWindowsDirectoryA(windows, sizeof windows));
    inf_dir += "\\INF\\";
    std::string token = node(k_token0, "USB", false);
    devices::Device d = get(token);
    ASSERT_FALSE(d.driver.empty());
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\" +
                                         d.driver + "]\r\n\"InfPath\"=\"oem4.inf\"\r\n\r\n"));
    ASSERT_TRUE(winsim::disk::write_text(inf_dir + "oem4.inf", "[Version]\r\n"));
    ASSERT_TRUE(winsim::disk::write_text(inf_dir + "oem4.PNF", "x"));
    std::string e = node(k_enum, "SmartCardReader", true, "quvaenum");
    std::string r = node(k_reader, "SmartCardReader", true, "quvaifd");

    SetLastError(99);
    dut::RemoveAllTokenNodes();
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_FALSE(exists(token));
    EXPECT_FALSE(winsim::disk::exists(inf_dir + "oem4.inf") || winsim::disk::exists(inf_dir + "oem4.PNF"));
    EXPECT_TRUE(exists(e) && exists(r));

    DWORD restart = 7;
    dut::RemoveQuvaNodes(&restart);
    EXPECT_EQ(restart, 0u);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_FALSE(exists(e) || exists(r));
}

TEST(InstallerDevnodes, CreateEnumeratorNodeInstallsOrTakesTheNodeBack) {
    Fixture f;
    DWORD restart = 7;
    EXPECT_FALSE(dut::CreateEnumeratorNode(k_enum, k_inf, 0, &restart));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    // No model for the enumerator: the update's error, and no node left.
    ASSERT_TRUE(winsim::disk::write_text(k_inf, package_inf(false)));
    EXPECT_FALSE(dut::CreateEnumeratorNode(k_enum, k_inf, 1, &restart));
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(count_nodes(k_enum), 0);

    ASSERT_TRUE(winsim::disk::write_text(k_inf, package_inf(true)));
    devices::set_restart_bits(k_enum, DI_NEEDREBOOT);
    EXPECT_TRUE(dut::CreateEnumeratorNode(k_enum, k_inf, 1, &restart));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_NE(restart, 0u);
    ASSERT_EQ(count_nodes(k_enum), 1);
    for (auto &d : devices::list())
        if (d.hardware_ids[0] == k_enum) {
            EXPECT_EQ(d.class_guid, std::string(devices::kSmartCardReaderClass));
            EXPECT_TRUE(dut::EqualsNoCase(d.service.c_str(), "quvaenum")) << d.service;
        }
    // Each call makes one more node.
    EXPECT_TRUE(dut::CreateEnumeratorNode(k_enum, k_inf, 1, &restart));
    EXPECT_EQ(count_nodes(k_enum), 2);
}

TEST(InstallerDevnodes, CreateEnumeratorNodeFailureRows) {
    Fixture f;
    ASSERT_TRUE(winsim::disk::write_text(k_inf, package_inf(true)));
    const char *apis[] = {"SetupDiGetINFClassA", "SetupDiCreateDeviceInfoList", "SetupDiCreateDeviceInfoA",
                          "SetupDiSetDeviceRegistryPropertyA", "SetupDiCallClassInstaller",
                          "UpdateDriverForPlugAndPlayDevicesA"};
    for (const char *api : apis) {
        faults::fail(api, ERROR_ACCESS_DENIED, 1);
        DWORD restart = 0;
        EXPECT_FALSE(dut::CreateEnumeratorNode(k_enum, k_inf, 1, &restart)) << api;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED) << api;
        EXPECT_EQ(count_nodes(k_enum), 0) << api;
        faults::clear();
    }
}

TEST(InstallerDevnodes, UpdateDriverForHardwareId) {
    Fixture f;
    DWORD restart = 7;
    EXPECT_FALSE(dut::UpdateDriverForHardwareId(k_token0, k_inf, 1, &restart));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(winsim::disk::write_text(k_inf, package_inf(false)));
    EXPECT_FALSE(dut::UpdateDriverForHardwareId(k_token0, k_inf, 1, &restart));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_SUCH_DEVINST);
    EXPECT_EQ(restart, 0u);

    std::string t = node(k_token0);
    devices::set_restart_bits(t, DI_NEEDRESTART);
    SetLastError(99);
    EXPECT_TRUE(dut::UpdateDriverForHardwareId(k_token0, k_inf, 1, &restart));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(restart, 1u);
    EXPECT_TRUE(dut::EqualsNoCase(get(t).service.c_str(), "qvatoken"));
}

TEST(InstallerDevnodes, DeleteClassKeys) {
    Fixture f;
    const std::string classes = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\";
    const std::string quva = classes + devices::kTokenClass;
    EXPECT_TRUE(dut::DeleteClassKeys("Quva")); // no such class
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[" + quva + "]\r\n@=\"Quva\"\r\n\"Class\"=\"Quva\"\r\n\r\n"));
    // Allocation, fetch and deletion failures.
    faults::fail("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_FALSE(dut::DeleteClassKeys("Quva"));
    faults::fail("SetupDiClassGuidsFromNameA", ERROR_INVALID_PARAMETER, 1, 1);
    EXPECT_FALSE(dut::DeleteClassKeys("Quva"));
    faults::fail("RegDeleteKeyA", ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(dut::DeleteClassKeys("Quva"));
    // A key still holding a device's driver subkey stays on NT.
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[" + quva + "\\0000]\r\n\r\n"));
    EXPECT_FALSE(dut::DeleteClassKeys("Quva"));
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[-" + quva + "\\0000]\r\n\r\n"));
    EXPECT_TRUE(dut::DeleteClassKeys("Quva"));
    EXPECT_FALSE(winsim::reg::key_exists(quva));
}
