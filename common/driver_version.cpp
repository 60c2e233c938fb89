// The installed token driver's version, as both the token and the installer
// libraries report it: from the driver package's uninstall entry, or from the
// platform's driver file.
#include "quva_common.h"

#include <cstring>

namespace {

const char k_uninstall_key[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5A1C7E20-3B4D-4E6F-8A9B-0C1D2E3F4A5B}";

// A version field counts only as a 4-byte REG_DWORD; anything else is treated
// as missing rather than read as a number.
bool read_dword(HKEY key, const char *name, DWORD *out) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, (BYTE *)&value, &size) != ERROR_SUCCESS) return false;
    if (type != REG_DWORD || size != sizeof value) return false;
    *out = value;
    return true;
}

} // namespace

BOOL quva_uninstall_entry_version(DWORD *version) {
    HKEY key = nullptr;
    *version = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_uninstall_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return FALSE;
    // The first missing value ends the reading; each field keeps to its own
    // bits so an oversized one cannot change its neighbour.
    DWORD major = 0, minor = 0, build = 0;
    if (read_dword(key, "VersionMajor", &major)) {
        *version = quva_pack_version(major, 0, 0);
        if (read_dword(key, "VersionMinor", &minor)) {
            *version = quva_pack_version(major, minor, 0);
            if (read_dword(key, "VersionBuild", &build)) *version = quva_pack_version(major, minor, build);
        }
    }
    RegCloseKey(key);
    return TRUE;
}

DWORD quva_driver_file_version(void) {
    OSVERSIONINFOA os;
    char path[MAX_PATH];
    if (!quva_get_os_version(&os)) return 0xFFFFFFFF;
    UINT n = GetWindowsDirectoryA(path, sizeof path);
    if (n == 0 || n >= sizeof path) return 0xFFFFFFFF;
    if (os.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS && os.dwPlatformId != VER_PLATFORM_WIN32_NT)
        return 0xFFFFFFFF;
    if (os.dwPlatformId == VER_PLATFORM_WIN32_NT && os.dwMajorVersion < 4) return 0;

    const char *file;
    if (os.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        file = (os.dwMajorVersion > 4 || (os.dwMajorVersion == 4 && os.dwMinorVersion > 0))
                   ? "\\System32\\Drivers\\qvatoken.sys"
                   : "\\System\\qvatkn95.sys";
    else
        file = os.dwMajorVersion >= 5 ? "\\System32\\Drivers\\qvatoken.sys" : "\\System32\\Drivers\\usbqvtkn.sys";
    if (n + std::strlen(file) >= sizeof path) return 0;
    std::strcat(path, file);
    return quva_read_file_version(path);
}
