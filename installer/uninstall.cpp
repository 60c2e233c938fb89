// The removal entry and one removal flow per platform.  Every step is tried
// whatever the ones before it gave: a half-installed stack, a file deleted by
// hand or a service already gone must not keep the rest on the machine.
#include "internal.h"
#include "quva_common.h"
#include "quvadi.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

const GUID k_other_devices_class = {0x4D36E97E, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const char k_setup_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Setup";
const char k_token_interfaces[] =
    "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{2B8F4C61-A3D7-11D2-8E5C-4F6A7B8C9D0E}";
const char k_reader_interfaces[] =
    "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{7D3E9B14-62A8-4C51-9E07-3F5B1A2C8D90}";
const DWORD k_name_chars = 260;

// The three outputs of one removal and the restart folding of its steps.
struct Removal {
    LPDWORD reboot, completion, error;

    void zero() {
        *reboot = 0;
        *completion = 0;
        *error = 0;
    }
    void fold(DWORD indication) {
        if (indication) *reboot = 1;
    }
    void stop_service(LPCSTR name) {
        DWORD flag = 0;
        quvaDI_StopServiceA(name, &flag);
        fold(flag);
    }
    void delete_service(LPCSTR name) {
        DWORD flag = 0;
        quvaDI_DeleteServiceA(name, &flag);
        fold(flag);
    }
    void disable_service_devices(const GUID *cls, LPCSTR service) {
        DWORD restart = 0;
        DisableServiceDevices(cls, service, &restart);
        fold(restart);
    }
};

enum class Base { System, Windows };

// Deletes <system or Windows directory> followed by the formatted rest; a
// file that is not there is no error.
void delete_file(Base base, const char *format, const char *name = "") {
    char dir[MAX_PATH], path[MAX_PATH];
    UINT n = base == Base::System ? GetSystemDirectoryA(dir, sizeof dir) : GetWindowsDirectoryA(dir, sizeof dir);
    if (n == 0 || n >= sizeof dir) return;
    int len = std::snprintf(path, sizeof path, format, dir, name);
    if (len > 0 && len < (int)sizeof path) DeleteFileA(path);
}

void delete_key(const char *path) { RegDeleteKeyA(HKEY_LOCAL_MACHINE, path); }

void delete_subkey(const char *parent, const char *name, REGSAM access) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent, 0, access, &key) != ERROR_SUCCESS) return;
    RegDeleteKeyA(key, name);
    RegCloseKey(key);
}

void delete_value(const char *path, const char *name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

// A string value of at most 259 characters; false when it is missing or longer.
bool read_text(HKEY parent, const char *subkey, const char *value, char *out, DWORD size) {
    HKEY key;
    if (RegOpenKeyExA(parent, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, got = size - 1;
    LONG e = RegQueryValueExA(key, value, nullptr, &type, (LPBYTE)out, &got);
    RegCloseKey(key);
    if (e != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    out[got < size ? got : size - 1] = 0;
    return true;
}

// Walks the subkeys of an HKLM key by index, deleting those `doomed` names.
// A deleted key moves the next one to its index, so the index is read again;
// one that cannot be deleted is passed over, so the walk always ends.
template <class F> void delete_subkeys_where(const char *path, F doomed) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    char name[k_name_chars + 1];
    for (DWORD i = 0;;) {
        DWORD chars = k_name_chars;
        if (RegEnumKeyExA(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        name[k_name_chars] = 0;
        if (doomed(key, name) && RegDeleteKeyA(key, name) == ERROR_SUCCESS) continue;
        i++;
    }
    RegCloseKey(key);
}

// An "Enum\USB" subkey named as a token model ("VID_1F3C&PID_1000"): the
// whole name, so a longer one sharing the beginning stays.
bool names_token_model(const char *name) {
    for (int row = 0; row < QUVADI_TOKEN_MODELS; row++) {
        const char *id = quvadi_token_hwids[row];
        if (std::strncmp(id, "USB\\", 4) == 0 && EqualsNoCase(name, id + 4)) return true;
    }
    return false;
}

void delete_token_usb_enum_keys() {
    delete_subkeys_where("Enum\\USB", [](HKEY, const char *name) { return names_token_model(name); });
}

BOOL nt5(Removal &r) {
    r.zero();
    RemoveComponentRecords();
    ForgetVirtualReaders();
    PurgeOemInfs();
    DWORD restart = 0;
    DisableEnumeratorDevice(nullptr, &restart);
    r.fold(restart);
    restart = 0;
    StopEnumeratorDevice(nullptr, &restart);
    r.fold(restart);
    restart = 0;
    RemoveQuvaNodes(&restart);
    r.fold(restart);
    PurgeReaderOemInfs();
    DWORD present = 0, registered = 0;
    quvaDI_CountDevices(&present, &registered);
    if (present || registered) {
        RemoveAllTokenNodes();
        if (present) *r.reboot = 1;
    }
    for (const char *service : {"QVATOKEN", "QUVAENUM", "QUVAIFD"}) r.delete_service(service);
    delete_subkey("System\\CurrentControlSet\\Services\\EventLog\\System", "QUVAIFD", KEY_ALL_ACCESS);
    ResetDriverInventory();
    for (const char *file : {"qvatoken.sys", "quvaenum.sys", "quvaifd.sys"})
        delete_file(Base::System, "%s\\Drivers\\%s", file);
    SetResourceManagerStart(FALSE);
    SetSmartCardDriverDemandStart();
    // NT deletes only keys without subkeys: children first.
    for (const char *key :
         {k_token_interfaces, k_reader_interfaces, "SYSTEM\\CurrentControlSet\\Services\\QVATOKEN\\Parameters",
          "SYSTEM\\CurrentControlSet\\Services\\QVATOKEN", "SYSTEM\\CurrentControlSet\\Services\\QUVAENUM",
          "SYSTEM\\CurrentControlSet\\Services\\QUVAIFD"})
        delete_key(key);
    return TRUE;
}

BOOL nt4(Removal &r) {
    r.zero();
    RemoveComponentRecords();
    ForgetVirtualReaders();
    static const char *const services[] = {"USBDRV", "USBQVTKN", "USBHUB"};
    for (const char *s : services) r.disable_service_devices(&k_other_devices_class, s);
    for (const char *s : services) r.stop_service(s);
    for (const char *s : services) RemoveServiceDevices(&k_other_devices_class, s);
    for (const char *s : services) r.delete_service(s);
    for (const char *file : {"USBDRV.SYS", "USBHUB.SYS", "USBQVTKN.SYS"})
        delete_file(Base::System, "%s\\Drivers\\%s", file);
    for (const char *file : {"USBQVTKN.INF", "USBQVTKN.PNF"}) delete_file(Base::Windows, "%s\\inf\\%s", file);
    for (const char *key :
         {"SYSTEM\\CurrentControlSet\\Services\\USBDRV", "SYSTEM\\CurrentControlSet\\Services\\USBHUB",
          "SYSTEM\\CurrentControlSet\\Services\\USBQVTKN\\Parameters", "SYSTEM\\CurrentControlSet\\Services\\USBQVTKN"})
        delete_key(key);
    ResetDriverInventory();
    SetResourceManagerStart(FALSE);
    return TRUE;
}

BOOL win98me(Removal &r) {
    *r.error = 0;
    *r.reboot = 1;
    *r.completion = 0;
    if (quvaDI_IsNonVrReaderInstalled()) *r.reboot = 3;
    RemoveComponentRecords();
    delete_value(k_setup_key, "SourcePath");
    ForgetVirtualReaders();
    RemoveServiceDevices(nullptr, "QVATOKEN.SYS");
    RemoveServiceDevices(nullptr, "QUVAVR9X.VXD");
    DWORD present = 0, registered = 0;
    quvaDI_CountDevices(&present, &registered);
    RemoveAllTokenNodes();
    if (present) *r.reboot = 1;
    delete_file(Base::Windows, "%s\\System32\\Drivers\\%s", "QVATOKEN.SYS");
    delete_file(Base::Windows, "%s\\System\\%s", "QUVAVR9X.VXD");
    delete_file(Base::Windows, "%s\\inf\\%s", "QVATOKEN.INF");
    delete_file(Base::Windows, "%s\\inf\\%s", "QVATOKEN.PNF");
    delete_file(Base::Windows, "%s\\Recent\\QVATOKEN.INF.LNK");
    PurgeOemInfs();
    delete_subkey("System\\CurrentControlSet\\Services\\VXD", "QUVAVR9X", KEY_ALL_ACCESS);
    delete_subkey("System\\CurrentControlSet\\Services", "QVATOKEN", KEY_ALL_ACCESS);
    delete_subkeys_where("System\\CurrentControlSet\\Services\\Class\\SmartCardReader",
                         [](HKEY parent, const char *name) {
                             char id[k_name_chars + 1];
                             return read_text(parent, name, "MatchingDeviceId", id, sizeof id) &&
                                    MatchTokenHardwareId(id, FALSE);
                         });
    delete_token_usb_enum_keys();
    delete_key(k_token_interfaces);
    delete_key(k_reader_interfaces);
    ResetDriverInventory();
    return TRUE;
}

BOOL win95(Removal &r) {
    RemoveComponentRecords();
    *r.error = 0;
    *r.reboot = quvaDI_IsDriverInstalled() ? 1 : 0;
    *r.completion = 0;
    delete_file(Base::System, "%s\\%s", "QVATKN95.SYS");
    delete_file(Base::Windows, "%s\\inf\\%s", "QVATKN95.INF");
    delete_file(Base::Windows, "%s\\inf\\%s", "QVATKN95.PNF");
    delete_file(Base::Windows, "%s\\Recent\\QVATKN95.INF.LNK");
    PurgeOemInfs();
    delete_value(k_setup_key, "SourcePath");
    delete_subkeys_where("System\\CurrentControlSet\\Services\\Class\\USB", [](HKEY parent, const char *name) {
        char driver[k_name_chars + 1];
        return read_text(parent, name, "NTMPDriver", driver, sizeof driver) && EqualsNoCase(driver, "QVATKN95.SYS");
    });
    delete_token_usb_enum_keys();
    ResetDriverInventory();
    return TRUE;
}

// A fault inside a flow fails the call; the outputs keep what the flow had set.
BOOL run_guarded(BOOL (*flow)(Removal &), LPDWORD reboot, LPDWORD completion, LPDWORD error) {
    try {
        Removal r{reboot, completion, error};
        return flow(r);
    } catch (...) {
        return FALSE;
    }
}

} // namespace

BOOL UninstallNt5(HWND, DWORD, LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError) {
    return run_guarded(nt5, pdwReboot, pdwCompletion, pdwError);
}

BOOL UninstallNt4(HWND, DWORD, LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError) {
    return run_guarded(nt4, pdwReboot, pdwCompletion, pdwError);
}

BOOL UninstallWin98Me(HWND, DWORD, LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError) {
    return run_guarded(win98me, pdwReboot, pdwCompletion, pdwError);
}

BOOL UninstallWin95(HWND, DWORD, LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError) {
    return run_guarded(win95, pdwReboot, pdwCompletion, pdwError);
}

extern "C" BOOL WINAPI quvaDI_UninstallDriverA(HWND hwndOwner, DWORD dwFlags, LPDWORD pdwReboot,
                                               LPDWORD pdwCompletion, LPDWORD pdwError) {
    // Without somewhere to put the outputs there is no call to answer.
    if (!pdwReboot || !pdwCompletion || !pdwError) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pdwReboot = 0;
    *pdwCompletion = 0;
    *pdwError = 0;
    try {
        OSVERSIONINFOA v;
        std::memset(&v, 0, sizeof v);
        v.dwOSVersionInfoSize = sizeof v;
        if (!GetVersionExA(&v)) {
            // A failed version query never reads as a removal.
            *pdwError = LastErrorOr(ERROR_GEN_FAILURE);
            return FALSE;
        }
        if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
            bool above_40 = v.dwMajorVersion > 4 || (v.dwMajorVersion == 4 && v.dwMinorVersion > 0);
            return above_40 ? UninstallWin98Me(hwndOwner, dwFlags, pdwReboot, pdwCompletion, pdwError)
                            : UninstallWin95(hwndOwner, dwFlags, pdwReboot, pdwCompletion, pdwError);
        }
        if (v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion == 5)
            return UninstallNt5(hwndOwner, dwFlags, pdwReboot, pdwCompletion, pdwError);
        if (v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion == 4)
            return UninstallNt4(hwndOwner, dwFlags, pdwReboot, pdwCompletion, pdwError);
        *pdwError = ERROR_INSTALL_PLATFORM_UNSUPPORTED;
        return FALSE;
    } catch (...) {
        return FALSE;
    }
}
