// The service control manager: the registry as its database, access rights,
// controls and their refusals, pending states on the virtual clock, deletion.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsim/sim.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using winsim::Machine;
using winsim::Os;
namespace services = winsim::services;

const std::string k_services = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";

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

SC_HANDLE create_driver(SC_HANDLE scm, const char *name, DWORD start = SERVICE_DEMAND_START,
                        const char *image = "%SystemRoot%\\System32\\Drivers\\stub.sys") {
    return CreateServiceA(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, start, SERVICE_ERROR_NORMAL,
                          image, "Base", nullptr, nullptr, nullptr, nullptr);
}

// A machine with a driver image on disk, an open manager and no leaks at the end.
struct Scm {
    explicit Scm(Os os = Os::Nt4) : machine(Machine::temporary(os)) {
        winsim::disk::write_text(std::string(machine->profile().system_dir) + "\\drivers\\stub.sys", "MZ");
        before = winsim::handles::open();
        if (machine->profile().nt()) manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    }
    ~Scm() {
        if (manager) CloseServiceHandle(manager);
        EXPECT_EQ(winsim::handles::leaks_since(before), "");
    }
    std::unique_ptr<Machine> machine;
    winsim::handles::Counts before;
    SC_HANDLE manager = nullptr;
};

TEST(ServicesTest, CreateWritesTheServiceKeyAndQueriesReadIt) {
    Scm s;
    ASSERT_NE(s.manager, nullptr);
    EXPECT_EQ(winsim::handles::open()[winsim::HandleKind::ServiceManager], 1);
    SC_HANDLE h = create_driver(s.manager, "usbhub");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(winsim::handles::open()[winsim::HandleKind::Service], 1);

    std::string key = k_services + "usbhub";
    EXPECT_EQ(reg_dword(key, "Type"), (DWORD)SERVICE_KERNEL_DRIVER);
    EXPECT_EQ(reg_dword(key, "Start"), (DWORD)SERVICE_DEMAND_START);
    EXPECT_EQ(reg_dword(key, "ErrorControl"), (DWORD)SERVICE_ERROR_NORMAL);
    DWORD type = 0;
    EXPECT_EQ(reg_string(key, "ImagePath", &type), "%SystemRoot%\\System32\\Drivers\\stub.sys");
    EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
    EXPECT_EQ(reg_string(key, "DisplayName"), "usbhub");
    EXPECT_EQ(reg_string(key, "Group"), "Base");
    EXPECT_EQ(reg_string(key, "ObjectName"), "<missing>"); // a driver runs as no account
    EXPECT_EQ(reg_dword(key, "DeleteFlag"), 0xFFFFFFFFu);

    SERVICE_STATUS st;
    ASSERT_TRUE(QueryServiceStatus(h, &st));
    EXPECT_EQ(st.dwServiceType, (DWORD)SERVICE_KERNEL_DRIVER);
    EXPECT_EQ(st.dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(st.dwControlsAccepted, 0u);
    EXPECT_EQ(st.dwWin32ExitCode, (DWORD)ERROR_SERVICE_NEVER_STARTED);

    // The configuration: size first, then the strings packed after the record.
    DWORD needed = 0;
    SetLastError(0);
    EXPECT_FALSE(QueryServiceConfigA(h, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGA));
    std::vector<BYTE> buf(needed);
    auto *cfg = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buf.data());
    EXPECT_FALSE(QueryServiceConfigA(h, cfg, needed - 1, &needed));
    ASSERT_TRUE(QueryServiceConfigA(h, cfg, needed, &needed));
    EXPECT_STREQ(cfg->lpBinaryPathName, "%SystemRoot%\\System32\\Drivers\\stub.sys");
    EXPECT_STREQ(cfg->lpLoadOrderGroup, "Base");
    EXPECT_STREQ(cfg->lpDisplayName, "usbhub");
    EXPECT_STREQ(cfg->lpDependencies, "");
    EXPECT_EQ(cfg->dwStartType, (DWORD)SERVICE_DEMAND_START);
    EXPECT_LE((BYTE *)cfg->lpDisplayName + 7, buf.data() + needed);

    // Again: the service exists, also when the name is spelled otherwise.
    SetLastError(0);
    EXPECT_EQ(create_driver(s.manager, "USBHUB"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_EXISTS);
    // Another name showing the same display name.
    EXPECT_EQ(CreateServiceA(s.manager, "other", "USBHUB", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "x.sys", nullptr, nullptr, nullptr, nullptr,
                             nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DUPLICATE_SERVICE_NAME);
    EXPECT_TRUE(CloseServiceHandle(h));
    EXPECT_EQ(services::open_handles("usbhub"), 0);
}

TEST(ServicesTest, CreateRefusesBadArguments) {
    Scm s;
    struct Case {
        const char *name, *image;
        DWORD type, start, error_control, expected;
    } cases[] = {
        {"", "x.sys", SERVICE_KERNEL_DRIVER, 3, 1, ERROR_INVALID_NAME},
        {"a\\b", "x.sys", SERVICE_KERNEL_DRIVER, 3, 1, ERROR_INVALID_NAME},
        {"a/b", "x.sys", SERVICE_KERNEL_DRIVER, 3, 1, ERROR_INVALID_NAME},
        {"ok", "", SERVICE_KERNEL_DRIVER, 3, 1, ERROR_INVALID_PARAMETER},
        {"ok", "x.sys", 0x40, 3, 1, ERROR_INVALID_PARAMETER},
        {"ok", "x.sys", SERVICE_KERNEL_DRIVER | SERVICE_INTERACTIVE_PROCESS, 3, 1, ERROR_INVALID_PARAMETER},
        {"ok", "x.sys", SERVICE_KERNEL_DRIVER, 5, 1, ERROR_INVALID_PARAMETER},
        {"ok", "x.exe", SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START, 1, ERROR_INVALID_PARAMETER},
        {"ok", "x.sys", SERVICE_KERNEL_DRIVER, 3, 4, ERROR_INVALID_PARAMETER},
    };
    for (auto &c : cases) {
        SetLastError(0);
        EXPECT_EQ(CreateServiceA(s.manager, c.name, nullptr, SERVICE_ALL_ACCESS, c.type, c.start, c.error_control,
                                 c.image, nullptr, nullptr, nullptr, nullptr, nullptr),
                  nullptr)
            << c.name << " " << c.type;
        EXPECT_EQ(GetLastError(), c.expected) << c.name << " " << c.type;
    }
    std::string long_name(257, 'n');
    EXPECT_EQ(create_driver(s.manager, long_name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
    EXPECT_FALSE(winsim::reg::key_exists(k_services + "ok"));

    // A win32 service runs as LocalSystem unless told otherwise; no display name means the name.
    SC_HANDLE h = CreateServiceA(s.manager, "svc", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_AUTO_START, SERVICE_ERROR_IGNORE, "C:\\svc.exe", nullptr, nullptr,
                                 "usbhub\0+Base\0", nullptr, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(reg_string(k_services + "svc", "ObjectName"), "LocalSystem");
    EXPECT_EQ(reg_string(k_services + "svc", "DisplayName"), "svc");
    EXPECT_EQ(reg_string(k_services + "svc", "DependOnService"), "usbhub");
    EXPECT_EQ(reg_string(k_services + "svc", "DependOnGroup"), "Base");
    DWORD needed = 0;
    QueryServiceConfigA(h, nullptr, 0, &needed);
    std::vector<BYTE> buf(needed);
    auto *cfg = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buf.data());
    ASSERT_TRUE(QueryServiceConfigA(h, cfg, needed, &needed));
    EXPECT_EQ(std::string(cfg->lpDependencies, 14), std::string("usbhub\0+Base\0\0", 14));
    CloseServiceHandle(h);
}

TEST(ServicesTest, OpenNamesAndWrongHandles) {
    Scm s;
    SetLastError(0);
    EXPECT_EQ(OpenServiceA(s.manager, "nosuch", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(OpenServiceA(s.manager, "", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);

    // A key without a valid Type is no service; one seeded through the registry is.
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[" + k_services + "params\\Parameters]\n\n[" + k_services +
                                         "seeded]\n\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n"));
    EXPECT_EQ(OpenServiceA(s.manager, "params", SERVICE_QUERY_STATUS), nullptr);
    SC_HANDLE h = OpenServiceA(s.manager, "SEEDED", SERVICE_QUERY_STATUS);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(services::list().size(), 1u);
    EXPECT_EQ(services::list()[0].name, "seeded");

    SERVICE_STATUS st;
    EXPECT_FALSE(QueryServiceStatus(s.manager, &st)); // a manager handle is no service handle
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenServiceA(h, "seeded", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ControlService(h, 0, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_SHUTDOWN, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    // Rights the handle was not opened with.
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteService(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseServiceHandle(h));
    EXPECT_FALSE(CloseServiceHandle(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    // Service handles are not kernel handles, and the other way round.
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(CloseServiceHandle((SC_HANDLE)ev));
    EXPECT_TRUE(CloseHandle(ev));
    EXPECT_FALSE(CloseHandle((HANDLE)s.manager));

    EXPECT_EQ(OpenSCManagerA("\\\\elsewhere", nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(OpenSCManagerA(nullptr, SERVICES_FAILED_DATABASEA, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DATABASE_DOES_NOT_EXIST);
    EXPECT_EQ(OpenSCManagerA(nullptr, "Other", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_NAME);
}

TEST(ServicesTest, StartStopAndInterrogate) {
    Scm s;
    SC_HANDLE h = create_driver(s.manager, "usbqvtkn");
    ASSERT_NE(h, nullptr);
    SERVICE_STATUS st;
    std::memset(&st, 0xCC, sizeof st);
    // Not running: both controls are refused, and the status still says why.
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(st.dwCurrentState, (DWORD)SERVICE_STOPPED);
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_NOT_ACTIVE);

    const char *args[] = {"one", "two"};
    ASSERT_TRUE(StartServiceA(h, 2, args));
    EXPECT_EQ(services::start_arguments("usbqvtkn"), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(services::state("usbqvtkn"), (DWORD)SERVICE_RUNNING);
    EXPECT_FALSE(StartServiceA(h, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_ALREADY_RUNNING);
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &st));
    EXPECT_EQ(st.dwCurrentState, (DWORD)SERVICE_RUNNING);
    EXPECT_EQ(st.dwControlsAccepted, (DWORD)SERVICE_ACCEPT_STOP);
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_PAUSE, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SERVICE_CONTROL);
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(st.dwCurrentState, (DWORD)SERVICE_STOPPED);
    ASSERT_TRUE(QueryServiceStatus(h, &st));
    EXPECT_EQ(st.dwWin32ExitCode, 0u);

    // A driver whose file is missing does not load; a disabled one is not started.
    SC_HANDLE gone = create_driver(s.manager, "gone", SERVICE_DEMAND_START, "System32\\drivers\\gone.sys");
    EXPECT_FALSE(StartServiceA(gone, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    SC_HANDLE off = create_driver(s.manager, "off", SERVICE_DISABLED, "\\SystemRoot\\System32\\drivers\\stub.sys");
    EXPECT_FALSE(StartServiceA(off, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DISABLED);
    services::set_behaviour("gone", {0, 0, true, ERROR_SERVICE_DEPENDENCY_FAIL, 0});
    EXPECT_FALSE(StartServiceA(gone, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_DEPENDENCY_FAIL);
    for (SC_HANDLE x : {h, gone, off}) CloseServiceHandle(x);
}

TEST(ServicesTest, PendingStatesFollowTheVirtualClock) {
    Scm s;
    SC_HANDLE h = create_driver(s.manager, "usbdrv");
    services::Behaviour slow;
    slow.start_pending_ms = 1500;
    slow.stop_pending_ms = 2500;
    services::set_behaviour("usbdrv", slow);
    SERVICE_STATUS st;
    uint64_t t0 = winsim::clock::now_ms();
    ASSERT_TRUE(StartServiceA(h, 0, nullptr));
    ASSERT_TRUE(QueryServiceStatus(h, &st));
    EXPECT_EQ(st.dwCurrentState, (DWORD)SERVICE_START_PENDING);
    EXPECT_EQ(st.dwWaitHint, 1500u);
    EXPECT_FALSE(StartServiceA(h, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_ALREADY_RUNNING);
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_EQ(st.dwCurrentState, (DWORD)SERVICE_START_PENDING);
    Sleep(1500);
    EXPECT_EQ(services::state("usbdrv"), (DWORD)SERVICE_RUNNING);

    // An accepted stop that takes its time.
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(st.dwCurrentState, (DWORD)SERVICE_STOP_PENDING);
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_EQ(st.dwCurrentState, (DWORD)SERVICE_STOP_PENDING);
    Sleep(2499);
    EXPECT_EQ(services::state("usbdrv"), (DWORD)SERVICE_STOP_PENDING);
    Sleep(1);
    EXPECT_EQ(services::state("usbdrv"), (DWORD)SERVICE_STOPPED);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 4000u);

    // Held by the scenario for as long as it likes.
    services::hold("usbdrv", SERVICE_STOP_PENDING);
    Sleep(600000);
    ASSERT_TRUE(QueryServiceStatus(h, &st));
    EXPECT_EQ(st.dwCurrentState, (DWORD)SERVICE_STOP_PENDING);
    services::release("usbdrv");
    EXPECT_EQ(services::state("usbdrv"), (DWORD)SERVICE_STOPPED);
    services::hold("usbdrv", SERVICE_START_PENDING, 100);
    Sleep(100);
    EXPECT_EQ(services::state("usbdrv"), (DWORD)SERVICE_RUNNING);

    // A service that refuses to stop.
    services::set_behaviour("usbdrv", {0, 0, false, 0, 0});
    std::memset(&st, 0, sizeof st);
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(st.dwCurrentState, (DWORD)SERVICE_RUNNING);
    EXPECT_EQ(st.dwControlsAccepted, 0u);
    CloseServiceHandle(h);
}

TEST(ServicesTest, DeletionWaitsForTheLastHandleAndTheStop) {
    Scm s;
    SC_HANDLE a = create_driver(s.manager, "usbhub");
    SC_HANDLE b = OpenServiceA(s.manager, "usbhub", SERVICE_ALL_ACCESS);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(services::open_handles("usbhub"), 2);
    std::string key = k_services + "usbhub";

    ASSERT_TRUE(DeleteService(a));
    EXPECT_EQ(reg_dword(key, "DeleteFlag"), 1u);
    EXPECT_FALSE(DeleteService(b));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(create_driver(s.manager, "usbhub"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_FALSE(StartServiceA(a, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_MARKED_FOR_DELETE);
    // Still there to be opened while a handle holds it.
    SC_HANDLE c = OpenServiceA(s.manager, "usbhub", SERVICE_QUERY_STATUS);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(services::list().at(0).marked_for_delete);
    CloseServiceHandle(a);
    CloseServiceHandle(c);
    EXPECT_TRUE(winsim::reg::key_exists(key));
    CloseServiceHandle(b);
    EXPECT_FALSE(winsim::reg::key_exists(key));
    EXPECT_EQ(services::state("usbhub"), 0u);

    // A running service marked for deletion goes once it stops, even with no handle left.
    SC_HANDLE r = create_driver(s.manager, "usbdrv");
    ASSERT_TRUE(StartServiceA(r, 0, nullptr));
    ASSERT_TRUE(DeleteService(r));
    CloseServiceHandle(r);
    EXPECT_TRUE(winsim::reg::key_exists(k_services + "usbdrv"));
    services::hold("usbdrv", SERVICE_STOP_PENDING, 700);
    Sleep(700);
    EXPECT_FALSE(winsim::reg::key_exists(k_services + "usbdrv"));

    // After the deletion the name is free again.
    SC_HANDLE again = create_driver(s.manager, "usbhub");
    EXPECT_NE(again, nullptr);
    CloseServiceHandle(again);
}

TEST(ServicesTest, UsersWithoutAdministrativeRights) {
    Scm s;
    SC_HANDLE h = create_driver(s.manager, "usbhub");
    CloseServiceHandle(h);
    s.machine->set_admin(false);
    SetLastError(0);
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, GENERIC_WRITE), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    SC_HANDLE ro = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(create_driver(ro, "other"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenServiceA(ro, "usbhub", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenServiceA(ro, "usbhub", SERVICE_STOP), nullptr);
    SC_HANDLE q = OpenServiceA(ro, "usbhub", SERVICE_QUERY_STATUS | SERVICE_INTERROGATE);
    ASSERT_NE(q, nullptr);
    SERVICE_STATUS st;
    EXPECT_TRUE(QueryServiceStatus(q, &st));
    CloseServiceHandle(q);
    CloseServiceHandle(ro);
}

TEST(ServicesTest, NoServiceManagerOnWindows9x) {
    for (Os os : {Os::Win95, Os::Win98, Os::WinMe}) {
        Scm s(os);
        SetLastError(0);
        EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
        EXPECT_FALSE(CloseServiceHandle((SC_HANDLE)0x100));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_CALL_NOT_IMPLEMENTED);
    }
}

TEST(ServicesTest, FaultsOnEachCall) {
    Scm s;
    winsim::faults::fail("CreateServiceA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(create_driver(s.manager, "usbhub"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(winsim::reg::key_exists(k_services + "usbhub"));
    SC_HANDLE h = create_driver(s.manager, "usbhub");
    ASSERT_NE(h, nullptr);
    winsim::faults::fail("DeleteService", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteService(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    winsim::faults::fail("ControlService", ERROR_SERVICE_REQUEST_TIMEOUT);
    SERVICE_STATUS st;
    EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SERVICE_REQUEST_TIMEOUT);
    winsim::faults::fail("OpenSCManagerA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(winsim::faults::fired("OpenSCManagerA"), 1);
    CloseServiceHandle(h);
}

TEST(ServicesTest, ALoadedMachineHasJustBooted) {
    std::string dir;
    {
        Scm s;
        dir = s.machine->dir();
        SC_HANDLE gone = create_driver(s.manager, "gone");
        SC_HANDLE boot = create_driver(s.manager, "boot", SERVICE_SYSTEM_START);
        SC_HANDLE demand = create_driver(s.manager, "demand");
        ASSERT_TRUE(StartServiceA(gone, 0, nullptr));
        ASSERT_TRUE(StartServiceA(demand, 0, nullptr));
        ASSERT_TRUE(DeleteService(gone));
        for (SC_HANDLE h : {gone, boot, demand}) CloseServiceHandle(h);
        EXPECT_TRUE(winsim::reg::key_exists(k_services + "gone")); // running, so kept
        s.machine->save();
        // The temporary machine's directory must outlive it for the load.
        std::filesystem::copy(dir, dir + "-copy", std::filesystem::copy_options::recursive);
    }
    auto m = Machine::load(dir + "-copy");
    EXPECT_FALSE(winsim::reg::key_exists(k_services + "gone"));
    EXPECT_EQ(services::state("boot"), (DWORD)SERVICE_RUNNING);
    EXPECT_EQ(services::state("demand"), (DWORD)SERVICE_STOPPED);
    m.reset();
    std::filesystem::remove_all(dir + "-copy");
}

} // namespace

TEST(ServicesTest, StartedLegacyDriverLeavesItsRootDeviceKeyOnNt4) {
    const std::string legacy = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_QVTEST";
    Scm s;
    SC_HANDLE h = create_driver(s.manager, "QvTest");
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(winsim::reg::key_exists(legacy)) << "created is not loaded";
    ASSERT_TRUE(StartServiceA(h, 0, nullptr));
    SERVICE_STATUS st;
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &st));
    ASSERT_TRUE(DeleteService(h));
    CloseServiceHandle(h);
    EXPECT_EQ(services::state("QvTest"), 0u) << "gone";
    EXPECT_EQ(reg_string(legacy + "\\0000", "Service"), "QvTest") << "outlives the service";
    EXPECT_EQ(reg_dword(legacy + "\\0000", "Legacy"), 1u);
    EXPECT_EQ(reg_dword(legacy, "NextInstance"), 1u);
}
