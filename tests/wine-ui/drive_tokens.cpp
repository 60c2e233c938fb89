// drive_tokens: the token driver stack for real under Wine (scripts/wine-lane).
// The token simulator driver (usbqvtkn.sys on NT 4.0) is loaded by Wine's
// service manager; the real QUVAB2.dll beside this program talks to it
// through "\\.\QUVADRVR" and the real QUVADI.dll installs and removes it.
//
//   drive_tokens tokens             the token checks (the driver must be running)
//   drive_tokens start              starts the three services the legacy
//                                   setup created, then the token checks
//   drive_tokens service            the driver alone: usbqvtkn.sys from
//                                   beside this program copied to
//                                   System32\drivers, its service created and
//                                   started through the SCM, token checks
//                                   with the default tokens and then with
//                                   configured ones, service stopped and
//                                   deleted, file removed, state compared
//   drive_tokens install DIR INF    state noted, quvaDI_InstallDriverA from
//                                   DIR, token checks, quvaDI_UninstallDriverA,
//                                   state compared with the one before
//   drive_tokens state FILE         writes the state to FILE
//   drive_tokens compare FILE       compares the state with FILE
//
// The token checks: two contexts hold the two tokens at once (open first,
// open next, open by serial), serials and names read as the driver's
// defaults, a command, the LED, the self-test, and an APDU through T=1 that
// reads the card's serial file.  One "ok ..." or "FAIL ..." line per check;
// exit code 0 when all passed.
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "quvab2.h"
#include "quvadi.h"

namespace {

int failures = 0;

void check(bool good, const std::string &what) {
    std::printf("%s %s\n", good ? "ok" : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!good) failures++;
}

std::string format(const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string hex(const BYTE *p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; i++) s += format("%02X", p[i]);
    return s;
}

std::string program_dir() {
    char path[MAX_PATH] = "";
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p(path, n < sizeof path ? n : 0);
    size_t slash = p.rfind('\\');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

std::string system_dir() {
    char dir[MAX_PATH] = "";
    UINT n = GetSystemDirectoryA(dir, sizeof dir);
    return n && n < sizeof dir ? dir : "";
}

template <class F> bool bind(HMODULE m, const char *name, F *out) {
    *out = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(m, name)));
    return *out != nullptr;
}

// ------------------------------------------------------------ token checks

struct B2 {
    HMODULE module = nullptr;
    decltype(&quva_CreateContext) create = nullptr;
    decltype(&quva_DeleteContext) destroy = nullptr;
    decltype(&quva_OpenDevice) open = nullptr;
    decltype(&quva_CloseDevice) close = nullptr;
    decltype(&quva_GetProperty) property = nullptr;
    decltype(&quva_Command) command = nullptr;
    decltype(&quva_LedControl) led = nullptr;
    decltype(&quva_Diagnose) diagnose = nullptr;
    decltype(&quva_ScardPowerUp) power_up = nullptr;
    decltype(&quva_ScardPowerDown) power_down = nullptr;
    decltype(&quva_ScardExchange) exchange = nullptr;

    bool load() {
        module = LoadLibraryA((program_dir() + "\\QUVAB2.dll").c_str());
        return module && bind(module, "quva_CreateContext", &create) && bind(module, "quva_DeleteContext", &destroy) &&
               bind(module, "quva_OpenDevice", &open) && bind(module, "quva_CloseDevice", &close) &&
               bind(module, "quva_GetProperty", &property) && bind(module, "quva_Command", &command) &&
               bind(module, "quva_LedControl", &led) && bind(module, "quva_Diagnose", &diagnose) &&
               bind(module, "quva_ScardPowerUp", &power_up) && bind(module, "quva_ScardPowerDown", &power_down) &&
               bind(module, "quva_ScardExchange", &exchange);
    }
    ~B2() {
        if (module) FreeLibrary(module);
    }
};

const BYTE k_serial1[8] = {0x51, 0x56, 0, 0, 0, 0, 0, 1};
const BYTE k_serial2[8] = {0x51, 0x56, 0, 0, 0, 0, 0, 2};

std::string name_of(B2 &b2, QUVA_CONTEXT c) {
    char name[33] = {0};
    DWORD r = b2.property(c, QUVA_PROP_NAME, 0, name, 32);
    return r ? format("(error %lu)", (unsigned long)r) : std::string(name);
}

std::string serial_of(B2 &b2, QUVA_CONTEXT c) {
    BYTE serial[8] = {0};
    DWORD r = b2.property(c, QUVA_PROP_SERIAL, 0, serial, 8);
    return r ? format("(error %lu)", (unsigned long)r) : hex(serial, 8);
}

void token_checks() {
    B2 b2;
    if (!b2.load()) {
        check(false, "QUVAB2.dll loads with its exports");
        return;
    }
    HANDLE h = CreateFileA("\\\\.\\QUVADRVR", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    check(h != INVALID_HANDLE_VALUE, format("\\\\.\\QUVADRVR opens (error %lu)", (unsigned long)GetLastError()));
    if (h != INVALID_HANDLE_VALUE) {
        // The version control straight, and an unknown control refused.
        BYTE version[8] = {0};
        DWORD got = 0;
        BOOL ok = DeviceIoControl(h, 0x220400, nullptr, 0, version, 4, &got, nullptr);
        check(ok && got == 4 && version[0] == 2 && version[1] == 1, format("version control answers 0x%02X%02X in %lu bytes",
                                                                          version[1], version[0], (unsigned long)got));
        ok = DeviceIoControl(h, 0x220410, nullptr, 0, version, 4, &got, nullptr);
        check(!ok && GetLastError() == ERROR_INVALID_FUNCTION,
              format("an unknown control fails with 1 (error %lu)", (unsigned long)GetLastError()));
        CloseHandle(h);
    }

    QUVA_CONTEXT a = nullptr, b = nullptr;
    check(b2.create(&a, 0, 0) == 0 && b2.create(&b, 0, 0) == 0, "two contexts");
    if (!a || !b) return;
    DWORD r = b2.open(a, QUVA_OPEN_FIRST, nullptr);
    check(r == 0, format("open first gives 0 (%lu)", (unsigned long)r));
    check(serial_of(b2, a) == hex(k_serial1, 8), "first token's serial " + serial_of(b2, a));
    check(name_of(b2, a) == "Simulated Token 1", "first token's name \"" + name_of(b2, a) + "\"");
    r = b2.open(a, QUVA_OPEN_NEXT, nullptr);
    check(r == 0, format("open next gives 0 (%lu)", (unsigned long)r));
    check(serial_of(b2, a) == hex(k_serial2, 8), "second token's serial " + serial_of(b2, a));
    check(name_of(b2, a) == "Simulated Token 2", "second token's name \"" + name_of(b2, a) + "\"");

    // Both tokens open at once, one in each context.
    BYTE want[8];
    std::memcpy(want, k_serial1, 8);
    r = b2.open(b, QUVA_OPEN_BY_ID, want);
    check(r == 0, format("the other context opens the first token by serial (%lu)", (unsigned long)r));
    check(serial_of(b2, b) == hex(k_serial1, 8) && serial_of(b2, a) == hex(k_serial2, 8),
          "both tokens open at once, each in its own context");
    std::memcpy(want, k_serial2, 8);
    QUVA_CONTEXT c = nullptr;
    if (b2.create(&c, 0, 0) == 0) {
        r = b2.open(c, QUVA_OPEN_BY_ID, want);
        check(r == QUVA_ERR_DEVICE_IN_USE, format("a third context is refused the held token with 21 (%lu)",
                                                  (unsigned long)r));
        b2.destroy(c);
    }

    // Commands: the serial command raw, the LED, the self-test.
    BYTE answer[8] = {0};
    r = b2.command(a, 0x0120, 0, nullptr, 8, answer);
    check(r == 0 && hex(answer, 8) == hex(k_serial2, 8), format("serial command (%lu) %s", (unsigned long)r,
                                                                 hex(answer, 8).c_str()));
    r = b2.led(a, 1);
    check(r == 0, format("LED on (%lu)", (unsigned long)r));
    WORD diag[4] = {0};
    r = b2.diagnose(a, 0, diag, sizeof diag);
    check(r == 0 && diag[1] == 0xFFFF, format("self-test passes (%lu, %04X)", (unsigned long)r, diag[1]));

    // An APDU through T=1: select the card's serial file and read it.
    QUVA_ATR atr;
    std::memset(&atr, 0, sizeof atr);
    r = b2.power_up(b, 0, &atr);
    check(r == 0 && atr.length == 25, format("card powered up (%lu), ATR of %u bytes", (unsigned long)r, atr.length));
    BYTE fid[2] = {0x2F, 0x02}, data[16] = {0};
    DWORD count = 0;
    WORD sw = b2.exchange(b, 0x00, 0xA4, 0x00, 0x00, fid, 2, data, 0, &count);
    check(sw == 0x9000, format("SELECT of the serial file answers %04X", sw));
    sw = b2.exchange(b, 0x00, 0xB0, 0x00, 0x00, nullptr, 0, data, 8, &count);
    check(sw == 0x9000 && count == 8 && hex(data, 8) == hex(k_serial1, 8),
          format("READ BINARY answers %04X with %lu bytes %s", sw, (unsigned long)count, hex(data, count < 16 ? count : 16).c_str()));
    check(b2.power_down(b, 0) == 0, "card powered down");

    check(b2.close(a) == 0 && b2.close(b) == 0, "both tokens closed");
    r = b2.open(a, QUVA_OPEN_BY_ID, want);
    check(r == 0, format("a closed token opens again (%lu)", (unsigned long)r));
    b2.destroy(a);
    b2.destroy(b);
}

// ------------------------------------------------------------ the machine's state

const char *const k_services[] = {"usbqvtkn", "usbhub", "usbdrv"};
const char *const k_trees[] = {
    "SOFTWARE\\Vornel Technologies",
    "SYSTEM\\CurrentControlSet\\Services\\usbqvtkn",
    "SYSTEM\\CurrentControlSet\\Services\\usbhub",
    "SYSTEM\\CurrentControlSet\\Services\\usbdrv",
    "SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_USBQVTKN",
    "SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_USBHUB",
    "SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_USBDRV",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quva Token Drivers",
};
// Keys whose subkey names alone are compared (anything new or gone shows).
const char *const k_lists[] = {
    "SYSTEM\\CurrentControlSet\\Services",
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
    "SOFTWARE",
};

void dump_key(HKEY root, const std::string &path, std::vector<std::string> *out) {
    HKEY k;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return;
    out->push_back("key " + path);
    for (DWORD i = 0;; i++) {
        char name[256];
        BYTE data[1024];
        DWORD nlen = sizeof name, dlen = sizeof data, type = 0;
        LONG e = RegEnumValueA(k, i, name, &nlen, nullptr, &type, data, &dlen);
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e != ERROR_SUCCESS) continue;
        out->push_back(format("value %s\\%s=%lu:", path.c_str(), name, (unsigned long)type) + hex(data, dlen));
    }
    std::vector<std::string> subs;
    for (DWORD i = 0;; i++) {
        char name[256];
        DWORD nlen = sizeof name;
        if (RegEnumKeyExA(k, i, name, &nlen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subs.push_back(name);
    }
    RegCloseKey(k);
    for (auto &s : subs) dump_key(root, path + "\\" + s, out);
}

std::vector<std::string> machine_state() {
    std::vector<std::string> s;
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    for (const char *name : k_services) {
        SC_HANDLE svc = scm ? OpenServiceA(scm, name, SERVICE_QUERY_STATUS) : nullptr;
        SERVICE_STATUS st;
        if (svc && QueryServiceStatus(svc, &st))
            s.push_back(format("service %s state %lu", name, (unsigned long)st.dwCurrentState));
        if (svc) CloseServiceHandle(svc);
    }
    if (scm) CloseServiceHandle(scm);
    std::string drivers = system_dir() + "\\drivers\\";
    for (const char *name : k_services) {
        std::string f = drivers + name + ".sys";
        if (GetFileAttributesA(f.c_str()) != INVALID_FILE_ATTRIBUTES) s.push_back("file " + f);
    }
    char windir[MAX_PATH] = "";
    GetWindowsDirectoryA(windir, sizeof windir);
    for (const char *inf : {"\\inf\\USBQVTKN.INF", "\\inf\\usbqvtkn.pnf"})
        if (GetFileAttributesA((std::string(windir) + inf).c_str()) != INVALID_FILE_ATTRIBUTES)
            s.push_back(std::string("file ") + windir + inf);
    for (const char *t : k_trees) dump_key(HKEY_LOCAL_MACHINE, t, &s);
    for (const char *l : k_lists) {
        HKEY k;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, l, 0, KEY_READ, &k) != ERROR_SUCCESS) continue;
        for (DWORD i = 0;; i++) {
            char name[256];
            DWORD nlen = sizeof name;
            if (RegEnumKeyExA(k, i, name, &nlen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            s.push_back(std::string("subkey ") + l + "\\" + name);
        }
        RegCloseKey(k);
    }
    return s;
}

void compare_states(const std::vector<std::string> &before, const std::vector<std::string> &after) {
    int differences = 0;
    for (auto &line : before)
        if (std::find(after.begin(), after.end(), line) == after.end() && differences++ < 20)
            std::printf("  gone: %s\n", line.c_str());
    for (auto &line : after)
        if (std::find(before.begin(), before.end(), line) == before.end() && differences++ < 20)
            std::printf("  new: %s\n", line.c_str());
    check(differences == 0, format("services, files and registry as before (%d differences)", differences));
}

std::vector<std::string> read_lines(const char *file) {
    std::vector<std::string> lines;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// ------------------------------------------------------------ the stack's life

VOID CALLBACK service_notified(PVOID parameter) {
    *static_cast<bool *>(static_cast<SERVICE_NOTIFYW *>(parameter)->pContext) = true;
}

// Waits, at most `ms`, until the service `name` reaches `state` (running or
// stopped): the service manager's change notification (Wine has only the
// wide-character one), waited for alertably.
bool wait_for_state(const char *name, DWORD state, DWORD ms) {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE svc = scm ? OpenServiceA(scm, name, SERVICE_QUERY_STATUS) : nullptr;
    bool reached = false;
    DWORD start = GetTickCount();
    while (svc) {
        SERVICE_STATUS st;
        if (QueryServiceStatus(svc, &st) && st.dwCurrentState == state) {
            reached = true;
            break;
        }
        DWORD spent = GetTickCount() - start;
        if (spent >= ms) break;
        // Left behind if the wait times out: the manager may still write to it.
        auto *notify = new SERVICE_NOTIFYW();
        static bool fired;
        fired = false;
        notify->dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
        notify->pfnNotifyCallback = service_notified;
        notify->pContext = &fired;
        DWORD mask = state == SERVICE_RUNNING ? SERVICE_NOTIFY_RUNNING : SERVICE_NOTIFY_STOPPED;
        if (NotifyServiceStatusChangeW(svc, mask, notify) != ERROR_SUCCESS) break;
        SleepEx(ms - spent, TRUE); // ends early with the notification's callback
        if (!fired) break;
        delete notify;
    }
    if (svc) CloseServiceHandle(svc);
    if (scm) CloseServiceHandle(scm);
    return reached;
}

const char k_config_key[] = "SOFTWARE\\Vornel Technologies\\Quva Token Simulator";

// The driver's own key, read at load: three tokens, the third with its own
// id, serial and name.
bool made_parent = false;

void configured_tokens() {
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vornel Technologies", 0, KEY_READ, &k) == ERROR_SUCCESS)
        RegCloseKey(k);
    else
        made_parent = true;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, k_config_key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr)) {
        check(false, "the simulator's key is written");
        return;
    }
    DWORD three = 3, id = 7;
    const BYTE serial[8] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
    const char name[] = "Configured";
    RegSetValueExA(k, "Tokens", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&three), 4);
    RegSetValueExA(k, "Token3Id", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&id), 4);
    RegSetValueExA(k, "Token3Serial", 0, REG_BINARY, serial, 8);
    RegSetValueExA(k, "Token3Name", 0, REG_SZ, reinterpret_cast<const BYTE *>(name), sizeof name);
    RegCloseKey(k);
}

void configured_checks() {
    B2 b2;
    QUVA_CONTEXT c = nullptr;
    if (!b2.load() || b2.create(&c, 0, 0)) {
        check(false, "QUVAB2.dll loads and makes a context");
        return;
    }
    DWORD r1 = b2.open(c, QUVA_OPEN_FIRST, nullptr), r2 = b2.open(c, QUVA_OPEN_NEXT, nullptr);
    DWORD r3 = b2.open(c, QUVA_OPEN_NEXT, nullptr);
    check(r1 == 0 && r2 == 0 && r3 == 0, format("three configured tokens open (%lu %lu %lu)", (unsigned long)r1,
                                               (unsigned long)r2, (unsigned long)r3));
    check(serial_of(b2, c) == "1020304050607080" && name_of(b2, c) == "Configured",
          "the third has the configured serial " + serial_of(b2, c) + " and name \"" + name_of(b2, c) + "\"");
    DWORD r4 = b2.open(c, QUVA_OPEN_NEXT, nullptr);
    check(r4 == QUVA_ERR_DEVICE_NOT_FOUND, format("no fourth token (%lu)", (unsigned long)r4));
    b2.destroy(c);
}

// Starts the service, runs `checks`, stops it again.
void with_driver(SC_HANDLE svc, void (*checks)()) {
    BOOL ok = StartServiceA(svc, 0, nullptr);
    DWORD error = ok ? 0 : GetLastError();
    check(ok, format("service started (error %lu)", (unsigned long)error));
    check(wait_for_state("usbqvtkn", SERVICE_RUNNING, 20000), "service running");
    checks();
    SERVICE_STATUS st;
    ok = ControlService(svc, SERVICE_CONTROL_STOP, &st);
    error = ok ? 0 : GetLastError();
    check(ok, format("service stopped (error %lu)", (unsigned long)error));
    check(wait_for_state("usbqvtkn", SERVICE_STOPPED, 20000), "service stopped");
    HANDLE h = CreateFileA("\\\\.\\QUVADRVR", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    check(h == INVALID_HANDLE_VALUE, "the device is gone with the driver");
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

void service_life() {
    std::vector<std::string> before = machine_state();
    std::string image = system_dir() + "\\drivers\\usbqvtkn.sys";
    BOOL copied = CopyFileA((program_dir() + "\\usbqvtkn.sys").c_str(), image.c_str(), TRUE);
    check(copied, "usbqvtkn.sys from beside this program put in place: " + image);
    if (!copied) return;
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    check(scm != nullptr, "service manager opens");
    if (!scm) {
        DeleteFileA(image.c_str());
        return;
    }
    SC_HANDLE svc = CreateServiceA(scm, "usbqvtkn", "usbqvtkn", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                   SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                   "%SystemRoot%\\System32\\drivers\\usbqvtkn.sys",
                                   nullptr, nullptr, nullptr, nullptr, nullptr);
    check(svc != nullptr, format("kernel driver service created (error %lu)", (unsigned long)GetLastError()));
    if (svc) {
        with_driver(svc, token_checks);
        configured_tokens();
        with_driver(svc, configured_checks);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, k_config_key);
        if (made_parent) RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vornel Technologies");
        BOOL ok = DeleteService(svc);
        DWORD error = ok ? 0 : GetLastError();
        check(ok, format("service deleted (error %lu)", (unsigned long)error));
        CloseServiceHandle(svc);
    }
    CloseServiceHandle(scm);
    check(DeleteFileA(image.c_str()), "usbqvtkn.sys taken away again");
    compare_states(before, machine_state());
}

// The legacy setup only creates the services; NT 4.0 starts them at the
// next boot or when asked.  Asked here, hub first.
void start_stack() {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    for (const char *name : {"usbhub", "usbqvtkn", "usbdrv"}) {
        SC_HANDLE svc = scm ? OpenServiceA(scm, name, SERVICE_START) : nullptr;
        BOOL ok = svc && StartServiceA(svc, 0, nullptr);
        DWORD error = ok ? 0 : GetLastError();
        check(ok || error == ERROR_SERVICE_ALREADY_RUNNING,
              format("service %s started (error %lu)", name, (unsigned long)error));
        if (svc) CloseServiceHandle(svc);
        check(wait_for_state(name, SERVICE_RUNNING, 20000), std::string("service ") + name + " running");
    }
    if (scm) CloseServiceHandle(scm);
}

void install_life(const char *dir, const char *inf) {
    HMODULE di = LoadLibraryA((program_dir() + "\\QUVADI.dll").c_str());
    decltype(&quvaDI_InstallDriverA) install = nullptr;
    decltype(&quvaDI_UninstallDriverA) uninstall = nullptr;
    if (!di || !bind(di, "quvaDI_InstallDriverA", &install) || !bind(di, "quvaDI_UninstallDriverA", &uninstall)) {
        check(false, "QUVADI.dll loads with its install and uninstall exports");
        if (di) FreeLibrary(di);
        return;
    }
    std::vector<std::string> before = machine_state();
    DWORD reboot = 9, completion = 9, error = 9;
    BOOL ok = install(nullptr, 0, dir, inf, 0, 0, 0, &reboot, &completion, &error);
    check(ok && error == 0, format("quvaDI_InstallDriverA succeeds (%d, reboot %lu, completion %lu, error %lu)", ok,
                                   (unsigned long)reboot, (unsigned long)completion, (unsigned long)error));
    for (const char *name : k_services)
        check(wait_for_state(name, SERVICE_RUNNING, 20000), std::string("service ") + name + " running");
    token_checks();
    reboot = completion = error = 9;
    ok = uninstall(nullptr, 0, &reboot, &completion, &error);
    check(ok && error == 0, format("quvaDI_UninstallDriverA succeeds (%d, reboot %lu, completion %lu, error %lu)",
                                   ok, (unsigned long)reboot, (unsigned long)completion, (unsigned long)error));
    FreeLibrary(di);
    compare_states(before, machine_state());
}

} // namespace

int main(int argc, char **argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "tokens" && argc == 2) {
        token_checks();
    } else if (mode == "start" && argc == 2) {
        start_stack();
        token_checks();
    } else if (mode == "service" && argc == 2) {
        service_life();
    } else if (mode == "install" && argc == 4) {
        install_life(argv[2], argv[3]);
    } else if (mode == "state" && argc == 3) {
        std::ofstream out(argv[2], std::ios::trunc);
        for (auto &line : machine_state()) out << line << "\n";
        check(bool(out), std::string("state written to ") + argv[2]);
    } else if (mode == "compare" && argc == 3) {
        compare_states(read_lines(argv[2]), machine_state());
    } else {
        std::fprintf(stderr, "usage: drive_tokens tokens | start | service | install DIR INF | state FILE | compare FILE\n");
        return 2;
    }
    std::printf("%d failed\n", failures);
    return failures ? 1 : 0;
}
