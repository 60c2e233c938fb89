// The smart-card subsystem's system side: the service keys of a healthy
// NT 5 machine, the "SCardSvr.exe REINSTALL" repair program that writes them
// back, and the 98/ME smart-card reader class entries.
#include <windows.h>
#include <winsim/sim.h>

#include "registry.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace winsim {
namespace {

const char k_services[] = "HKLM\\System\\CurrentControlSet\\Services\\";
const char k_reader_class[] = "HKLM\\System\\CurrentControlSet\\Services\\Class\\SmartCardReader";
const char k_repair_program[] = "winsim-scardsvr";

// Writes one service key through the registry API, as the real program does.
void write_service(const char *name, DWORD type, DWORD start, const char *image, const char *display) {
    std::string path = std::string("System\\CurrentControlSet\\Services\\") + name;
    HKEY h;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr) !=
        ERROR_SUCCESS)
        return;
    DWORD error_control = 1;
    RegSetValueExA(h, "Type", 0, REG_DWORD, (const BYTE *)&type, sizeof(type));
    RegSetValueExA(h, "Start", 0, REG_DWORD, (const BYTE *)&start, sizeof(start));
    RegSetValueExA(h, "ErrorControl", 0, REG_DWORD, (const BYTE *)&error_control, sizeof(error_control));
    RegSetValueExA(h, "ImagePath", 0, REG_EXPAND_SZ, (const BYTE *)image, (DWORD)strlen(image) + 1);
    RegSetValueExA(h, "DisplayName", 0, REG_SZ, (const BYTE *)display, (DWORD)strlen(display) + 1);
    RegCloseKey(h);
}

void write_service_keys() {
    write_service("SCardDrv", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, "System32\\DRIVERS\\scarddrv.sys",
                  "Smart Card Driver");
    write_service("SCardSvr", SERVICE_WIN32_SHARE_PROCESS, SERVICE_DEMAND_START,
                  "%SystemRoot%\\System32\\SCardSvr.exe", "Smart Card");
}

// "SCardSvr.exe REINSTALL": puts the service keys back; other arguments do
// nothing here (the service itself is the resource manager's model).
DWORD repair_program(const std::string &command_line) {
    std::string upper_line = command_line;
    for (auto &c : upper_line) c = (char)toupper((unsigned char)c);
    if (upper_line.find(" REINSTALL") == std::string::npos) return 0;
    write_service_keys();
    return 0;
}

} // namespace

namespace pcsc {

void install_repair_program() {
    processes::register_program(k_repair_program, repair_program);
    std::string dir;
    {
        WINSIM_LOCK();
        dir = M().profile->system_dir;
    }
    processes::install_program(dir + "\\SCardSvr.exe", k_repair_program);
}

void install_service_keys() { write_service_keys(); }

void remove_start_value(const std::string &service) {
    WINSIM_LOCK();
    M().registry->delete_value(std::string(k_services) + service, "Start");
}

std::string add_class_reader(const std::string &matching_device_id) {
    WINSIM_LOCK();
    Registry &r = *M().registry;
    auto taken = r.subkeys(k_reader_class);
    for (unsigned i = 0;; i++) {
        char name[16];
        snprintf(name, sizeof(name), "%04u", i % 10000u);
        bool used = false;
        for (auto &t : taken) used = used || iequals(t, name);
        if (used) continue;
        std::string key = std::string(k_reader_class) + "\\" + name;
        r.set_string(key, "MatchingDeviceId", matching_device_id);
        r.set_string(key, "DriverDesc", "Smart card reader");
        return name;
    }
}

} // namespace pcsc
} // namespace winsim
