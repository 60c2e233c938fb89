// What the machine has: the platform's Plug and Play and USB support, which
// generation of the token driver stack is installed, and the token devices
// present or registered.  SetupAPI is bound at first use, so the library
// loads on Windows 95, which has none.
#include "internal.h"
#include "quva_common.h"
#include "quvadi.h"
#include "setupapi_binding.h"

#include <cctype>
#include <cstdio>
#include <cstring>

QuvadiInventory quvadi_inventory = {0, 0, 0, 0, 0xFFFFFFFF};

void ResetDriverInventory(void) {
    quvadi_inventory.VirtualReaderStack = 0;
    quvadi_inventory.UsbClassToken = 0;
    quvadi_inventory.LegacyReaderToken = 0;
    quvadi_inventory.TokenClassDevice = 0;
    quvadi_inventory.LastFileFound = 0xFFFFFFFF;
}

namespace {

const GUID k_reader_class = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
const GUID k_usb_class = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const GUID k_token_class = {0x4C9A2E71, 0x5B3D, 0x4F80, {0xA6, 0xC2, 0x1E, 0x7D, 0x9B, 0x3F, 0x5A, 0x08}};
const char k_usb_class_text[] = "{36FC9E60-C465-11CF-8056-444553540000}";
const char k_enumerator_id[] = "quva\\quvaenum";
const char k_reader_id[] = "quvaenum\\quvaifd";
const DWORD k_hwid_buffer = 4096;

enum class Os { Win95, Win98Me, NtBefore5, Nt5, Other };

// The platform class; false when the version cannot be read.
bool platform(Os *os) {
    OSVERSIONINFOA v;
    if (!quva_get_os_version(&v)) return false;
    if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        *os = (v.dwMajorVersion > 4 || (v.dwMajorVersion == 4 && v.dwMinorVersion > 0)) ? Os::Win98Me : Os::Win95;
    else if (v.dwPlatformId == VER_PLATFORM_WIN32_NT)
        *os = v.dwMajorVersion >= 5 ? Os::Nt5 : Os::NtBefore5;
    else
        *os = Os::Other;
    return true;
}

bool is_nt_major(DWORD major) {
    OSVERSIONINFOA v;
    return quva_get_os_version(&v) && v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion == major;
}

// Every export answers its failure value rather than let a fault out.
template <class R, class F> R guarded(R failure, F body) {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

// <Windows directory><suffix> exists; a path that does not fit counts as missing.
bool windows_file(const char *suffix) {
    char dir[MAX_PATH], path[MAX_PATH];
    UINT n = GetWindowsDirectoryA(dir, sizeof dir);
    if (n == 0 || n >= sizeof dir) return false;
    int len = std::snprintf(path, sizeof path, "%s%s", dir, suffix);
    return len > 0 && len < (int)sizeof path && FileExists(path);
}

// A driver-file check of the inventory: its result is also recorded.
bool check(const char *suffix) {
    bool found = windows_file(suffix);
    quvadi_inventory.LastFileFound = found ? 1 : 0;
    return found;
}

// Checks the files in order; the first one missing ends it.
bool check_all(const char *const *suffixes, int count) {
    for (int i = 0; i < count; i++)
        if (!check(suffixes[i])) return false;
    return true;
}

bool key_opens(const char *path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

enum class Step { Next, Succeed, Fail };

// Walks every device registered in a setup class (present or not) with the
// first string of its hardware IDs; devices whose IDs cannot be read are
// passed over.  Returns the visit's verdict, or `end` after the last device;
// a list that cannot be had is a failure.
template <class F> bool walk_class(const GUID &cls, bool end, F visit) {
    DeviceList list(&cls, 0);
    if (!list.opened()) return false;
    char hwid[k_hwid_buffer + 2];
    for (DWORD i = 0; list.member(i); i++) {
        if (list.property(SPDRP_HARDWAREID, hwid, k_hwid_buffer) < 0) continue;
        switch (visit(list, hwid)) {
        case Step::Succeed: return true;
        case Step::Fail: return false;
        case Step::Next: break;
        }
    }
    return end;
}

// Whole strings equal, case-insensitively in the C runtime's locale.
bool same_text(const char *a, const char *b) {
    for (;; a++, b++) {
        if (std::tolower((unsigned char)*a) != std::tolower((unsigned char)*b)) return false;
        if (!*a) return true;
    }
}

bool is_enumerator_or_reader(const char *hwid) {
    return same_text(hwid, k_enumerator_id) || same_text(hwid, k_reader_id);
}

bool enumerator_probe() {
    return walk_class(k_reader_class, false, [](DeviceList &, const char *hwid) {
        return is_enumerator_or_reader(hwid) ? Step::Succeed : Step::Next;
    });
}

bool legacy_reader_probe() {
    bool token_seen = false;
    bool walked = walk_class(k_reader_class, true, [&](DeviceList &, const char *hwid) {
        if (same_text(hwid, k_enumerator_id)) return Step::Fail;
        if (MatchTokenHardwareId(hwid, FALSE)) token_seen = true;
        return Step::Next;
    });
    if (!walked) return false;
    if (token_seen) return !IsCurrentTokenDriverFile();
    return quvaDI_IsServiceInstalledA("qvatoken") && !quvaDI_IsServiceInstalledA("quvaenum") &&
           !IsCurrentTokenDriverFile();
}

bool token_class_probe() {
    return walk_class(k_token_class, false, [](DeviceList &, const char *hwid) {
        return MatchTokenHardwareId(hwid, FALSE) || is_enumerator_or_reader(hwid) ? Step::Succeed : Step::Next;
    });
}

bool usb_class_probe() {
    return walk_class(k_usb_class, false, [](DeviceList &list, const char *hwid) {
        if (!MatchTokenHardwareId(hwid, FALSE)) return Step::Next;
        char guid[MAX_PATH + 2];
        if (list.property(SPDRP_CLASSGUID, guid, MAX_PATH) < 0) return Step::Next;
        return same_text(guid, k_usb_class_text) ? Step::Succeed : Step::Next;
    });
}

const char *const k_nt5_stack[] = {"\\System32\\Drivers\\quvaenum.sys", "\\System32\\Drivers\\quvaifd.sys",
                                   "\\System32\\Drivers\\qvatoken.sys"};
const char *const k_nt4_stack[] = {"\\System32\\Drivers\\USBQVTKN.SYS", "\\System32\\Drivers\\USBHUB.SYS",
                                   "\\System32\\Drivers\\USBDRV.SYS"};
const char k_nt5_token[] = "\\System32\\Drivers\\qvatoken.sys";

BOOL driver_installed() {
    Os os;
    if (!platform(&os)) return FALSE;
    switch (os) {
    case Os::Win95:
        return check("\\System\\QvaTkn95.sys");
    case Os::Win98Me:
        if (key_opens("System\\CurrentControlSet\\Services\\VXD\\QUVAVR9X")) {
            quvadi_inventory.VirtualReaderStack = 1;
            if (!check("\\System\\QUVAVR9X.VXD")) return FALSE;
        }
        return check("\\System32\\Drivers\\QVATOKEN.SYS");
    case Os::NtBefore5: {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\USBQVTKN\\Parameters", 0,
                          KEY_READ, &key) == ERROR_SUCCESS) {
            DWORD value = 0, type = 0, size = sizeof value;
            if (RegQueryValueExA(key, "NumberOfDevices", nullptr, &type, (LPBYTE)&value, &size) == ERROR_SUCCESS &&
                type == REG_DWORD && size == sizeof value)
                quvadi_inventory.VirtualReaderStack = 1;
            RegCloseKey(key);
        }
        return check_all(k_nt4_stack, 3);
    }
    case Os::Nt5:
        if (enumerator_probe()) {
            quvadi_inventory.VirtualReaderStack = 1;
            return check_all(k_nt5_stack, 3);
        }
        if (legacy_reader_probe()) {
            quvadi_inventory.LegacyReaderToken = 1;
            return check(k_nt5_token);
        }
        if (token_class_probe()) {
            quvadi_inventory.TokenClassDevice = 1;
            return check_all(k_nt5_stack, 3);
        }
        if (usb_class_probe()) {
            quvadi_inventory.UsbClassToken = 1;
            return check(k_nt5_token);
        }
        return FALSE;
    case Os::Other:
        break;
    }
    return FALSE;
}

// Counts the devices of a list with a token among their hardware IDs (any
// string of the list); false when the list cannot be had.
bool count_tokens(DWORD flags, BOOL mark, DWORD *count) {
    DeviceList list(nullptr, flags);
    if (!list.opened()) return false;
    char ids[k_hwid_buffer + 2];
    for (DWORD i = 0; list.member(i); i++) {
        long size = list.property(SPDRP_HARDWAREID, ids, k_hwid_buffer);
        if (size < 0) continue;
        for (long at = 0; at < size && ids[at];) {
            if (MatchTokenHardwareId(ids + at, mark)) {
                (*count)++;
                break;
            }
            at += (long)std::strlen(ids + at) + 1;
        }
    }
    return true;
}

BOOL count_devices(LPDWORD present, LPDWORD registered) {
    if (present) *present = 0;
    if (registered) *registered = 0;
    for (int row = 0; row < QUVADI_TOKEN_MODELS; row++) quvadi_model_present[row] = 0;
    Os os;
    if (!platform(&os)) return FALSE;
    if (os != Os::Win98Me && os != Os::Nt5) {
        SetLastError(ERROR_INSTALL_PLATFORM_UNSUPPORTED);
        return FALSE;
    }
    if (present && !count_tokens(DIGCF_PRESENT | DIGCF_ALLCLASSES, TRUE, present)) return FALSE;
    if (registered && !count_tokens(DIGCF_ALLCLASSES | DIGCF_PROFILE, FALSE, registered)) return FALSE;
    SetLastError(0);
    return TRUE;
}

BOOL marked_for_deletion() {
    OSVERSIONINFOA v;
    if (!quva_get_os_version(&v) || v.dwPlatformId != VER_PLATFORM_WIN32_NT) return FALSE;
    static const char *const nt4[] = {"USBQVTKN", "USBHUB", "USBDRV", "SMCLIB"};
    static const char *const nt5[] = {"QVATOKEN", "QUVAIFD", "QUVAENUM", "SMCLIB"};
    const char *const *names = v.dwMajorVersion == 4 ? nt4 : v.dwMajorVersion >= 5 ? nt5 : nullptr;
    if (!names) return FALSE;
    BOOL marked = FALSE;
    for (int i = 0; i < 4; i++) // every service is asked, marked or not
        if (quvaDI_IsServiceMarkedForDeletionA(names[i])) marked = TRUE;
    if (marked && v.dwMajorVersion == 4) SetResourceManagerStart(FALSE);
    return marked;
}

} // namespace

extern "C" BOOL WINAPI quvaDI_IsPnPDriver(void) {
    OSVERSIONINFOA v;
    if (!quva_get_os_version(&v)) return FALSE;
    bool version_40 = v.dwMajorVersion == 4 && v.dwMinorVersion == 0;
    if (version_40 && (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS || v.dwPlatformId == VER_PLATFORM_WIN32_NT))
        return FALSE;
    return TRUE;
}

extern "C" BOOL WINAPI quvaDI_IsUSBSupported(void) {
    return guarded<BOOL>(FALSE, [] {
        OSVERSIONINFOA v;
        if (!quva_get_os_version(&v)) return GetLastError() == 0 ? TRUE : FALSE;
        const char *key;
        if (v.dwPlatformId == VER_PLATFORM_WIN32_NT) {
            if (v.dwMajorVersion < 5) return TRUE;
            key = "System\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}";
        } else if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
            bool win95 = v.dwMajorVersion < 4 || (v.dwMajorVersion == 4 && v.dwMinorVersion == 0);
            key = win95 ? "System\\CurrentControlSet\\Services\\Class\\USB"
                        : "System\\CurrentControlSet\\Services\\Class\\{36FC9E60-C465-11CF-8056-444553540000}";
        } else {
            return FALSE;
        }
        return key_opens(key) ? TRUE : FALSE;
    });
}

extern "C" BOOL WINAPI quvaDI_IsNtUsbStackInstalled(void) {
    if (!is_nt_major(4)) return FALSE;
    if (windows_file("\\System32\\Drivers\\USBQVTKN.SYS")) return FALSE;
    return windows_file("\\System32\\Drivers\\USBHUB.SYS") && windows_file("\\System32\\Drivers\\USBDRV.SYS");
}

extern "C" BOOL WINAPI quvaDI_IsDriverInstalled(void) {
    quvadi_inventory.VirtualReaderStack = 0;
    quvadi_inventory.UsbClassToken = 0;
    quvadi_inventory.LegacyReaderToken = 0;
    quvadi_inventory.TokenClassDevice = 0;
    quvadi_inventory.LastFileFound = 0;
    return guarded<BOOL>(FALSE, driver_installed);
}

extern "C" BOOL WINAPI quvaDI_CountDevices(LPDWORD pdwPresent, LPDWORD pdwRegistered) {
    return guarded<BOOL>(FALSE, [=] { return count_devices(pdwPresent, pdwRegistered); });
}

extern "C" BOOL WINAPI quvaDI_IsDriverMarkedForDeletion(void) { return guarded<BOOL>(FALSE, marked_for_deletion); }
