// The driver installer library's PC/SC checks, reader counts and repair on
// the simulated resource manager, and its two internal reader operations.
#include "kit.h"

#include "quva_common.h"
#include "../../installer/internal.h"
#include <quvadi.h>
#include <winscard.h>

#include <cctype>
#include <cstring>
#include <string>

using winsim::Os;
namespace scard = winsim::scard;
namespace pcsc = winsim::pcsc;

namespace {

const std::string k_hklm_services = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\";
const char k_vr0[] = "Vornel Technologies QuvaVirtualReader 0";

// The library under test, for the internal operations' calls into its exports.
struct Fixture {
    explicit Fixture(Os os) : m(os), lib("QUVADI.DLL") { kit::g_quvadi = lib.handle(); }
    ~Fixture() { kit::g_quvadi = nullptr; }
    BOOL b(const char *name) { return lib.fn<BOOL(WINAPI *)(void)>(name)(); }
    DWORD vr() { return lib.dword_call("quvaDI_IsVrReaderInstalled"); }
    DWORD nonvr() { return lib.dword_call("quvaDI_IsNonVrReaderInstalled"); }
    BOOL is_vr(LPCSTR name) { return lib.fn<BOOL(WINAPI *)(LPCSTR)>("quvaDI_IsVrReaderA")(name); }
    void dword(const std::string &key, const std::string &name, DWORD v) {
        char text[512];
        snprintf(text, sizeof(text), "REGEDIT4\r\n\r\n[%s%s]\r\n\"%s\"=dword:%08x\r\n\r\n", k_hklm_services.c_str(),
                 key.c_str(), name.c_str(), (unsigned)v);
        ASSERT_TRUE(winsim::reg::import_text(text));
    }
    kit::Machine m;
    kit::Library lib;
};

DWORD reg_dword(const std::string &key, const char *name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(k_hklm_services + key, name, &type, &data) || data.size() != 4) return 0xDEADBEEF;
    DWORD v;
    memcpy(&v, data.data(), 4);
    return v;
}

} // namespace

// The internal operations, compiled here against forwarders to the loaded
// library's service exports.
#define quva_get_os_version kit::os_version
namespace under_test {
BOOL quvaDI_IsServiceInstalledA(LPCSTR name) {
    return kit::quvadi_export<BOOL(WINAPI *)(LPCSTR)>("quvaDI_IsServiceInstalledA")(name);
}
BOOL quvaDI_StartServiceA(LPCSTR name, DWORD argc, LPCSTR *argv, LPDWORD flag) {
    using Start = BOOL(WINAPI *)(LPCSTR, DWORD, LPCSTR *, LPDWORD);
    return kit::quvadi_export<Start>("quvaDI_StartServiceA")(name, argc, argv, flag);
}
BOOL quvaDI_StopServiceA(LPCSTR name, LPDWORD flag) {
    return kit::quvadi_export<BOOL(WINAPI *)(LPCSTR, LPDWORD)>("quvaDI_StopServiceA")(name, flag);
}
DWORD quvaDI_RunProcessA(HWND hwnd, LPSTR cmd, LPCSTR dir, BOOL wait, UINT show) {
    using Run = DWORD(WINAPI *)(HWND, LPSTR, LPCSTR, BOOL, UINT);
    return kit::quvadi_export<Run>("quvaDI_RunProcessA")(hwnd, cmd, dir, wait, show);
}
BOOL MatchTokenHardwareId(LPCSTR hwid, BOOL) { return hwid && strncmp(hwid, "USB\\VID_1F3C&PID_1", 18) == 0; }
#include "../../installer/pcsc.cpp"
} // namespace under_test
#undef quva_get_os_version

TEST(InstallerPcsc, SupportedOn98MeAndNt) {
    for (Os os : {Os::Win95, Os::Win98, Os::WinMe, Os::Nt4, Os::Win2000, Os::WinXp}) {
        Fixture f(os);
        BOOL want = os != Os::Win95;
        EXPECT_EQ(f.b("quvaDI_IsPcScSupported"), want) << (int)os;
        EXPECT_EQ(f.b("quvaDI_IsVrSupported"), want) << (int)os;
    }
}

TEST(InstallerPcsc, VrReaderNameIsCaseSensitive) {
    Fixture f(Os::WinXp);
    EXPECT_TRUE(f.is_vr(k_vr0));
    EXPECT_TRUE(f.is_vr("Vornel Technologies QuvaVirtualReader"));
    EXPECT_FALSE(f.is_vr("vornel technologies quvavirtualreader 0"));
    EXPECT_FALSE(f.is_vr("Vornel Technologies QuvaVirtualReade"));
    EXPECT_FALSE(f.is_vr(""));
    EXPECT_FALSE(f.is_vr(nullptr));
}

TEST(InstallerPcsc, InstalledAndDriverFilesPerPlatform) {
    {
        Fixture f(Os::WinXp);
        EXPECT_TRUE(f.b("quvaDI_IsPcScInstalled"));
        EXPECT_FALSE(f.b("quvaDI_IsPcScDriverInstalled"));
        winsim::disk::write_text(std::string(f.m->profile().system_dir) + "\\drivers\\SMCLIB.SYS", "MZ");
        EXPECT_TRUE(f.b("quvaDI_IsPcScDriverInstalled"));
        scard::install_library(false);
        EXPECT_FALSE(f.b("quvaDI_IsPcScInstalled"));
    }
    {
        Fixture f(Os::Nt4);
        EXPECT_FALSE(f.b("quvaDI_IsPcScInstalled"));
        scard::install_library(true);
        EXPECT_TRUE(f.b("quvaDI_IsPcScInstalled"));
    }
    {
        // 9x needs the base package's uninstall key as well as the library.
        Fixture f(Os::Win98);
        scard::install_library(true);
        EXPECT_FALSE(f.b("quvaDI_IsPcScInstalled"));
        ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\"
                                             "CurrentVersion\\Uninstall\\SmartcardBase]\r\n\r\n"));
        EXPECT_TRUE(f.b("quvaDI_IsPcScInstalled"));
        scard::install_library(false);
        EXPECT_FALSE(f.b("quvaDI_IsPcScInstalled"));
        EXPECT_FALSE(f.b("quvaDI_IsPcScDriverInstalled"));
        winsim::disk::write_text(std::string(f.m->profile().windows_dir) + "\\System32\\Drivers\\SMCLIB.SYS", "MZ");
        EXPECT_TRUE(f.b("quvaDI_IsPcScDriverInstalled"));
    }
    {
        Fixture f(Os::Win95);
        scard::install_library(true);
        EXPECT_FALSE(f.b("quvaDI_IsPcScInstalled") && f.b("quvaDI_IsPcScSupported"));
    }
}

TEST(InstallerPcsc, EnabledWhenAContextOpensOrTheNtServiceExists) {
    {
        Fixture f(Os::WinXp);
        EXPECT_TRUE(f.b("quvaDI_IsPcScEnabled"));
        scard::set_service_running(false);
        EXPECT_FALSE(f.b("quvaDI_IsPcScEnabled"));
        // Installed but stopped counts as enabled on NT.
        pcsc::install_service_keys();
        EXPECT_TRUE(f.b("quvaDI_IsPcScEnabled"));
        scard::install_library(false);
        EXPECT_FALSE(f.b("quvaDI_IsPcScEnabled"));
    }
    {
        // The service query is NT only: a stopped service on 98 is not enabled.
        Fixture f(Os::Win98);
        scard::install_library(true);
        ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\"
                                             "CurrentVersion\\Uninstall\\SmartcardBase]\r\n\r\n"));
        EXPECT_TRUE(f.b("quvaDI_IsPcScEnabled"));
        scard::set_service_running(false);
        EXPECT_FALSE(f.b("quvaDI_IsPcScEnabled"));
    }
}

TEST(InstallerPcsc, CountsOnlyLiveReadersOfEachKind) {
    Fixture f(Os::WinXp);
    EXPECT_EQ(f.vr(), 0u);
    EXPECT_EQ(f.nonvr(), 0u);
    scard::set_virtual_readers(3);
    ASSERT_TRUE(scard::add_reader({"Acme Reader 0", {}, 1, false}));
    ASSERT_TRUE(scard::add_reader({"Other Reader 1", {0x3B, 0x00}, 1, false}));
    // The prefix in lower case is virtual for the counts.
    ASSERT_TRUE(scard::add_reader({"vornel technologies quvavirtualreader 9", {}, 1, false}));
    EXPECT_EQ(f.vr(), 4u);
    EXPECT_EQ(f.nonvr(), 2u);
    ASSERT_TRUE(scard::set_unavailable("Vornel Technologies QuvaVirtualReader 1"));
    ASSERT_TRUE(scard::set_unavailable("Acme Reader 0"));
    EXPECT_EQ(f.vr(), 3u);
    EXPECT_EQ(f.nonvr(), 1u);
    // A state that cannot be had is not counted; no service, no count.
    winsim::faults::fail("SCardGetStatusChangeA", (DWORD)SCARD_E_TIMEOUT, -1);
    EXPECT_EQ(f.vr(), 0u);
    winsim::faults::clear();
    scard::set_service_running(false);
    EXPECT_EQ(f.vr(), 0u);
    EXPECT_EQ(f.nonvr(), 0u);
    EXPECT_EQ(scard::outstanding_memory(), 0);
}

TEST(InstallerPcsc, MissingWinScardCountsNothing) {
    Fixture f(Os::WinXp);
    scard::set_virtual_readers(2);
    scard::install_library(false);
    EXPECT_EQ(f.vr(), 0u);
    EXPECT_EQ(f.nonvr(), 0u);
}

TEST(InstallerPcsc, Win98ReaderClassEntriesCountWhenNotTheToken) {
    Fixture f(Os::Win98);
    scard::install_library(true);
    pcsc::add_class_reader("USB\\VID_1F3C&PID_1000");
    EXPECT_EQ(f.nonvr(), 0u);
    pcsc::add_class_reader("USB\\VID_0BDA&PID_0169");
    pcsc::add_class_reader("PCMCIA\\ACME-READER");
    EXPECT_EQ(f.nonvr(), 2u);
    // A listed physical reader wins: the class is not looked at.
    ASSERT_TRUE(scard::add_reader({"Acme Reader 0", {}, 1, false}));
    EXPECT_EQ(f.nonvr(), 1u);
}

TEST(InstallerPcsc, ClassEntriesAreNotCountedOnNt) {
    Fixture f(Os::WinXp);
    pcsc::add_class_reader("PCMCIA\\ACME-READER");
    EXPECT_EQ(f.nonvr(), 0u);
}

TEST(InstallerPcsc, VrEnabledFollowsTheDriverParameters) {
    Fixture f(Os::WinXp);
    // No parameters: whether a live virtual reader is listed.
    EXPECT_FALSE(f.b("quvaDI_IsVrEnabled"));
    scard::set_virtual_readers(1);
    EXPECT_TRUE(f.b("quvaDI_IsVrEnabled"));
    scard::set_virtual_readers(0);
    f.dword("qvatoken\\Parameters", "UseRM", 1);
    f.dword("quvaenum", "NumberOfDevices", 2);
    EXPECT_TRUE(f.b("quvaDI_IsVrEnabled"));
    f.dword("quvaenum", "NumberOfDevices", 0);
    EXPECT_FALSE(f.b("quvaDI_IsVrEnabled"));
    // "RMMode" decides when present.
    f.dword("qvatoken\\Parameters", "RMMode", 1);
    EXPECT_TRUE(f.b("quvaDI_IsVrEnabled"));
    f.dword("qvatoken\\Parameters", "RMMode", 0);
    f.dword("quvaenum", "NumberOfDevices", 2);
    EXPECT_FALSE(f.b("quvaDI_IsVrEnabled"));
    // PC/SC not enabled: 0 whatever the parameters say.
    f.dword("qvatoken\\Parameters", "RMMode", 1);
    scard::set_service_running(false);
    EXPECT_FALSE(f.b("quvaDI_IsVrEnabled"));
}

TEST(InstallerPcsc, VrEnabledOnNt4AndWin98) {
    {
        Fixture f(Os::Nt4);
        scard::install_library(true);
        f.dword("usbqvtkn\\Parameters", "UseRM", 1);
        f.dword("usbqvtkn\\Parameters", "NumberOfDevices", 1);
        EXPECT_TRUE(f.b("quvaDI_IsVrEnabled"));
        f.dword("usbqvtkn\\Parameters", "UseRM", 0);
        EXPECT_FALSE(f.b("quvaDI_IsVrEnabled"));
    }
    {
        // Without the Parameters key "UseRM" stays 0 even with a count.
        Fixture f(Os::Win98);
        scard::install_library(true);
        ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\"
                                             "CurrentVersion\\Uninstall\\SmartcardBase]\r\n\r\n"));
        f.dword("VXD\\QUVAVR9X", "NumberOfDevices", 3);
        EXPECT_FALSE(f.b("quvaDI_IsVrEnabled"));
        f.dword("qvatoken\\Parameters", "UseRM", 1);
        EXPECT_TRUE(f.b("quvaDI_IsVrEnabled"));
    }
    {
        Fixture f(Os::Win95);
        scard::install_library(true);
        EXPECT_FALSE(f.b("quvaDI_IsVrEnabled"));
    }
}

TEST(InstallerPcsc, RepairRunsOnlyOnDamagedNt5) {
    {
        Fixture f(Os::WinXp);
        pcsc::install_repair_program();
        pcsc::install_service_keys();
        EXPECT_FALSE(f.b("quvaDI_CheckAndFixPCSC"));
        EXPECT_TRUE(winsim::processes::history().empty());
    }
    for (Os os : {Os::Win95, Os::Win98, Os::Nt4}) {
        Fixture f(os);
        pcsc::install_repair_program();
        EXPECT_FALSE(f.b("quvaDI_CheckAndFixPCSC"));
        EXPECT_TRUE(winsim::processes::history().empty());
    }
}

TEST(InstallerPcsc, RepairWithBothKeysMissingRestoresThem) {
    Fixture f(Os::WinXp);
    pcsc::install_repair_program();
    EXPECT_FALSE(f.b("quvaDI_CheckAndFixPCSC"));
    auto runs = winsim::processes::history();
    ASSERT_EQ(runs.size(), 1u);
    std::string want = std::string(f.m->profile().system_dir) + "\\SCardSvr.exe REINSTALL";
    EXPECT_EQ(runs[0].command_line, want);
    EXPECT_TRUE(runs[0].ended);
    EXPECT_EQ(reg_dword("SCardSvr", "Start"), 2u);
    EXPECT_NE(reg_dword("SCardDrv", "Start"), 0xDEADBEEFu);
}

TEST(InstallerPcsc, RepairWithoutStartDisablesAndStopsFirst) {
    Fixture f(Os::Win2000);
    pcsc::install_repair_program();
    pcsc::install_service_keys();
    DWORD flag = 0;
    EXPECT_TRUE(f.lib.fn<BOOL(WINAPI *)(LPCSTR, DWORD, LPCSTR *, LPDWORD)>("quvaDI_StartServiceA")("SCardSvr", 0,
                                                                                                    nullptr, &flag));
    pcsc::remove_start_value("SCardSvr");
    // The server never stops: the repair asks for a restart.
    winsim::services::Behaviour b;
    b.stop_pending_ms = INFINITE;
    winsim::services::set_behaviour("SCardSvr", b);
    EXPECT_TRUE(f.b("quvaDI_CheckAndFixPCSC"));
    EXPECT_EQ(winsim::processes::history().size(), 1u);
    EXPECT_EQ(reg_dword("SCardSvr", "Start"), 2u);
    winsim::services::release("SCardSvr");
}

TEST(InstallerPcsc, ForgetVirtualReadersDeletesEveryPrefixedKey) {
    Fixture f(Os::WinXp);
    const std::string calais = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Cryptography\\Calais\\Readers\\";
    std::string text = "REGEDIT4\r\n\r\n";
    for (const char *n : {"Acme Reader 0", "Vornel Technologies QuvaVirtualReader 0",
                          "vornel technologies quvavirtualreader 1", "Vornel Technologies QuvaVirtualReader 2",
                          "Zeta Reader", "Vornel Technologies QuvaVirtualReader 3"})
        text += "[" + calais + n + "]\r\n\r\n";
    ASSERT_TRUE(winsim::reg::import_text(text));
    EXPECT_TRUE(under_test::ForgetVirtualReaders());
    EXPECT_TRUE(winsim::reg::key_exists(calais + "Acme Reader 0"));
    EXPECT_TRUE(winsim::reg::key_exists(calais + "Zeta Reader"));
    for (int i = 0; i < 4; i++)
        EXPECT_FALSE(winsim::reg::key_exists(calais + "Vornel Technologies QuvaVirtualReader " + std::to_string(i)));
    EXPECT_EQ(scard::outstanding_memory(), 0);

    // No resource manager library: the registry step still runs, the result is 0.
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[" + calais + k_vr0 + "]\r\n\r\n"));
    scard::install_library(false);
    EXPECT_FALSE(under_test::ForgetVirtualReaders());
    EXPECT_FALSE(winsim::reg::key_exists(calais + k_vr0));
}

TEST(InstallerPcsc, ResourceManagerStartOnNt5) {
    Fixture f(Os::WinXp);
    pcsc::install_service_keys();
    under_test::SetResourceManagerStart(TRUE);
    EXPECT_EQ(reg_dword("SCardSvr", "Start"), 2u);
    // A physical reader keeps the service automatic.
    ASSERT_TRUE(scard::add_reader({"Acme Reader 0", {}, 1, false}));
    under_test::SetResourceManagerStart(FALSE);
    EXPECT_EQ(reg_dword("SCardSvr", "Start"), 2u);
    ASSERT_TRUE(scard::remove_reader("Acme Reader 0"));
    under_test::SetResourceManagerStart(FALSE);
    EXPECT_EQ(reg_dword("SCardSvr", "Start"), 3u);
}

TEST(InstallerPcsc, ResourceManagerStartOnNt4And98) {
    {
        Fixture f(Os::Nt4);
        scard::install_library(true);
        pcsc::install_service_keys();
        f.dword("SCardSvr", "Start", 3);
        f.dword("SCardSvr", "ErrorControl", 1);
        under_test::SetResourceManagerStart(FALSE);
        EXPECT_EQ(reg_dword("SCardSvr", "Start"), 3u);
        EXPECT_EQ(reg_dword("SCardSvr", "ErrorControl"), 0u);
        f.dword("SCardSvr", "ErrorControl", 1);
        under_test::SetResourceManagerStart(TRUE);
        EXPECT_EQ(reg_dword("SCardSvr", "Start"), 2u);
        EXPECT_EQ(reg_dword("SCardSvr", "ErrorControl"), 0u);
    }
    {
        // No PC/SC library: nothing is written.
        Fixture f(Os::Nt4);
        pcsc::install_service_keys();
        under_test::SetResourceManagerStart(TRUE);
        EXPECT_EQ(reg_dword("SCardSvr", "Start"), 3u);
    }
    {
        Fixture f(Os::Win98);
        f.dword("SCardSvr", "Start", 3);
        under_test::SetResourceManagerStart(TRUE);
        EXPECT_EQ(reg_dword("SCardSvr", "Start"), 3u);
    }
}

TEST(InstallerPcsc, ChecksLeaveTheLastErrorAlone) {
    Fixture f(Os::WinXp);
    scard::install_library(false);
    scard::set_service_running(false);
    for (const char *name : {"quvaDI_IsPcScSupported", "quvaDI_IsPcScInstalled", "quvaDI_IsPcScDriverInstalled",
                             "quvaDI_IsPcScEnabled", "quvaDI_IsVrEnabled", "quvaDI_IsVrReaderInstalled",
                             "quvaDI_IsNonVrReaderInstalled"}) {
        SetLastError(1234);
        f.b(name);
        EXPECT_EQ(GetLastError(), 1234u) << name;
    }
}

TEST(InstallerPcsc, ForgetStopsAtAKeyThatCannotBeDeleted) {
    Fixture f(Os::WinXp);
    const std::string calais = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Cryptography\\Calais\\Readers\\";
    // A reader key with a subkey cannot be deleted on NT: it is passed over.
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[" + calais + k_vr0 + "\\Sub]\r\n\r\n[" + calais +
                                         "Vornel Technologies QuvaVirtualReader 1]\r\n\r\n"));
    // The resource manager would forget it whole; here only the registry step runs.
    winsim::faults::fail("SCardEstablishContext", (DWORD)SCARD_E_NO_SERVICE, -1);
    EXPECT_TRUE(under_test::ForgetVirtualReaders());
    winsim::faults::clear();
    EXPECT_TRUE(winsim::reg::key_exists(calais + k_vr0));
    EXPECT_FALSE(winsim::reg::key_exists(calais + "Vornel Technologies QuvaVirtualReader 1"));
}
