// Driver parameters: the values under the drivers' service keys that say
// whether the token is offered as virtual smart-card readers, how many, and
// how its LED flashes.
#include "internal.h"
#include "quva_common.h"
#include "quvadi.h"

namespace {

const char k_nt5_params[] = "System\\CurrentControlSet\\Services\\QvaToken\\Parameters";
const char k_nt5_enum[] = "System\\CurrentControlSet\\Services\\QuvaEnum";
const char k_nt5_token[] = "System\\CurrentControlSet\\Services\\QvaToken";
const char k_nt4_params[] = "SYSTEM\\CurrentControlSet\\Services\\USBQVTKN\\Parameters";
const char k_9x_params[] = "System\\CurrentControlSet\\Services\\QvaToken\\Parameters";
const char k_9x_vxd[] = "System\\CurrentControlSet\\Services\\VXD\\QUVAVR9X";

const DWORD k_nt5_limit = 32, k_nt4_limit = 10, k_9x_limit = 10;
const LONG k_led_default_cycle = 3, k_led_default_duration = 30;

enum class Plat { Nt5, Nt4, Win98Me, Win95, Unsupported };

// The platform class; false when GetVersionExA itself fails.
bool classify(Plat *plat) {
    OSVERSIONINFOA os;
    if (!quva_get_os_version(&os)) return false;
    if (os.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        *plat = os.dwMajorVersion >= 5 ? Plat::Nt5 : os.dwMajorVersion == 4 ? Plat::Nt4 : Plat::Unsupported;
    } else if (os.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        bool above_40 = os.dwMajorVersion > 4 || (os.dwMajorVersion == 4 && os.dwMinorVersion > 0);
        *plat = above_40 ? Plat::Win98Me : Plat::Win95;
    } else {
        *plat = Plat::Unsupported;
    }
    return true;
}

// Windows 95 has no driver that reads these values: treated like any other
// platform without driver parameters.
bool supported(Plat plat) { return plat == Plat::Nt5 || plat == Plat::Nt4 || plat == Plat::Win98Me; }

HKEY create_key(const char *path, REGSAM access) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool set_dword(HKEY key, const char *name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value) == ERROR_SUCCESS;
}

// A value counts only as a whole 4-byte REG_DWORD; anything else leaves the
// output untouched and reports ERROR_INVALID_DATA, so a stray string or a
// short binary never turns into a number.
LONG read_dword(HKEY key, const char *name, DWORD *out) {
    DWORD type = 0, value = 0, size = sizeof value;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, (BYTE *)&value, &size);
    if (rc == ERROR_MORE_DATA) return ERROR_INVALID_DATA;
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_DWORD || size != sizeof value) return ERROR_INVALID_DATA;
    *out = value;
    return ERROR_SUCCESS;
}

// "RMMode" is only recorded by the driver stack; until it has, the mode is
// the use flag.
void read_rm_mode(HKEY key, DWORD use_rm, DWORD *mode) {
    if (read_dword(key, "RMMode", mode) == ERROR_FILE_NOT_FOUND) *mode = use_rm;
}

LONG clamp_byte(LONG v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

const char *led_key(Plat plat) { return plat == Plat::Nt4 ? k_nt4_params : k_nt5_params; }

} // namespace

extern "C" BOOL WINAPI quvaDI_SetDriverParams(DWORD dwDriverFlags, DWORD dwUseRM, DWORD dwNumberOfDevices) {
    Plat plat;
    if (!classify(&plat)) return FALSE;
    if (!supported(plat)) {
        SetLastError(ERROR_INSTALL_PLATFORM_UNSUPPORTED);
        return FALSE;
    }
    DWORD use = dwUseRM, count = dwNumberOfDevices;

    HKEY params9x = nullptr;
    if (plat == Plat::Win98Me) {
        params9x = create_key(k_9x_params, KEY_SET_VALUE);
        if (!params9x) return FALSE;
    }

    bool limit = true;
    if (use && count == 0) {
        count = 1;
    } else if (!use && count == 0) {
        limit = false;
    } else if (!use) {
        use = 1;
    }
    if (limit) {
        DWORD physical = quvaDI_IsNonVrReaderInstalled();
        DWORD total = plat == Plat::Nt5 ? k_nt5_limit : k_nt4_limit;
        if (plat == Plat::Win98Me) {
            if (count > k_9x_limit) count = k_9x_limit;
            if (physical) use = count = 0;
        } else if (physical >= total) {
            use = count = 0;
        } else if (count > total - physical) {
            count = total - physical;
            use = 1;
        }
    }

    if (plat == Plat::Nt5) {
        HKEY key = create_key(k_nt5_params, KEY_ALL_ACCESS);
        if (!key) return FALSE;
        bool ok = set_dword(key, "UseRM", use) && set_dword(key, "DriverFlags", dwDriverFlags);
        RegCloseKey(key);
        if (!ok) return FALSE;
        key = create_key(k_nt5_enum, KEY_ALL_ACCESS);
        if (!key) return FALSE;
        ok = set_dword(key, "NumberOfDevices", count);
        RegCloseKey(key);
        return ok ? TRUE : FALSE;
    }
    if (plat == Plat::Nt4) {
        HKEY key = create_key(k_nt4_params, KEY_ALL_ACCESS);
        if (!key) return FALSE;
        set_dword(key, "UseRM", use);
        bool ok = set_dword(key, "NumberOfDevices", count);
        RegCloseKey(key);
        if (!use) ForgetVirtualReaders();
        SetResourceManagerStart(use != 0);
        return ok ? TRUE : FALSE;
    }
    // 98/ME
    bool ok = set_dword(params9x, "UseRM", use);
    RegCloseKey(params9x);
    if (!ok) return FALSE;
    HKEY key = create_key(k_9x_vxd, KEY_SET_VALUE);
    if (!key) return FALSE;
    if (!use) {
        ForgetVirtualReaders();
        count = 0;
    }
    ok = set_dword(key, "NumberOfReaders", count);
    RegCloseKey(key);
    return ok ? TRUE : FALSE;
}

extern "C" BOOL WINAPI quvaDI_GetDriverParams(LPDWORD pdwDriverFlags, LPDWORD pdwUseRM, LPDWORD pdwNumberOfDevices,
                                              LPDWORD pdwRMMode) {
    // The outputs are the caller's; a null one is refused rather than
    // written through.
    DWORD *outs[] = {pdwDriverFlags, pdwUseRM, pdwNumberOfDevices, pdwRMMode};
    for (DWORD *p : outs) {
        if (!p) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *p = 0;
    }
    Plat plat;
    if (!classify(&plat)) return FALSE;
    if (!supported(plat)) {
        SetLastError(ERROR_INSTALL_PLATFORM_UNSUPPORTED);
        return FALSE;
    }
    HKEY key = nullptr;
    LONG rc;
    if (plat == Plat::Nt5) {
        rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_nt5_params, 0, KEY_QUERY_VALUE, &key);
        if (rc != ERROR_SUCCESS) {
            SetLastError((DWORD)rc);
            return FALSE;
        }
        read_dword(key, "UseRM", pdwUseRM);
        read_dword(key, "DriverFlags", pdwDriverFlags);
        read_rm_mode(key, *pdwUseRM, pdwRMMode);
        RegCloseKey(key);
        rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_nt5_enum, 0, KEY_QUERY_VALUE, &key);
        if (rc == ERROR_FILE_NOT_FOUND) rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_nt5_token, 0, KEY_QUERY_VALUE, &key);
        if (rc != ERROR_SUCCESS) {
            SetLastError((DWORD)rc);
            return FALSE;
        }
        read_dword(key, "NumberOfDevices", pdwNumberOfDevices);
        RegCloseKey(key);
        if (*pdwNumberOfDevices > k_nt5_limit) *pdwNumberOfDevices = k_nt5_limit;
    } else if (plat == Plat::Nt4) {
        rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_nt4_params, 0, KEY_QUERY_VALUE, &key);
        if (rc != ERROR_SUCCESS) {
            SetLastError((DWORD)rc);
            return FALSE;
        }
        read_dword(key, "UseRM", pdwUseRM);
        read_rm_mode(key, *pdwUseRM, pdwRMMode);
        read_dword(key, "NumberOfDevices", pdwNumberOfDevices);
        RegCloseKey(key);
        if (*pdwNumberOfDevices > k_nt4_limit) *pdwNumberOfDevices = k_nt4_limit;
    } else {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_9x_params, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        read_dword(key, "UseRM", pdwUseRM);
        read_rm_mode(key, *pdwUseRM, pdwRMMode);
        RegCloseKey(key);
        rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_9x_vxd, 0, KEY_QUERY_VALUE, &key);
        if (rc == ERROR_SUCCESS) {
            read_dword(key, "NumberOfReaders", pdwNumberOfDevices);
            RegCloseKey(key);
            if (*pdwNumberOfDevices > k_9x_limit) *pdwNumberOfDevices = k_9x_limit;
        } else if (rc != ERROR_FILE_NOT_FOUND) {
            SetLastError((DWORD)rc);
            return FALSE;
        }
    }
    SetLastError(0);
    return TRUE;
}

extern "C" BOOL WINAPI quvaDI_SetDriverLedParams(LONG lFlashCycle, LONG lFlashDuration) {
    LONG c = lFlashCycle, d = lFlashDuration;
    if (c == 0 || d == 0) {
        c = d = 0;
    } else if (c == -1 || d == -1) {
        c = k_led_default_cycle;
        d = k_led_default_duration;
    } else {
        c = clamp_byte(c);
        d = clamp_byte(d);
    }
    Plat plat;
    if (!classify(&plat)) return FALSE;
    if (!supported(plat)) {
        SetLastError(ERROR_INSTALL_PLATFORM_UNSUPPORTED);
        return FALSE;
    }
    HKEY key = create_key(led_key(plat), plat == Plat::Win98Me ? KEY_SET_VALUE : KEY_ALL_ACCESS);
    if (!key) return FALSE;
    set_dword(key, "FlashLedCycle", (DWORD)c);
    bool ok = set_dword(key, "FlashLedDuration", (DWORD)d);
    RegCloseKey(key);
    return ok ? TRUE : FALSE;
}

extern "C" BOOL WINAPI quvaDI_GetDriverLedParams(LPLONG plFlashCycle, LPLONG plFlashDuration) {
    if (!plFlashCycle || !plFlashDuration) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *plFlashCycle = *plFlashDuration = 0;
    Plat plat;
    if (!classify(&plat)) return TRUE;
    if (!supported(plat)) {
        SetLastError(ERROR_INSTALL_PLATFORM_UNSUPPORTED);
        return FALSE;
    }
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, led_key(plat), 0, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) {
        SetLastError((DWORD)rc);
        return FALSE;
    }
    DWORD c = 0, d = 0;
    read_dword(key, "FlashLedCycle", &c);
    read_dword(key, "FlashLedDuration", &d);
    RegCloseKey(key);
    LONG lc = (LONG)c, ld = (LONG)d;
    if (lc == 0 || ld == 0) {
        lc = ld = 0;
    } else {
        lc = clamp_byte(lc);
        ld = clamp_byte(ld);
    }
    *plFlashCycle = lc;
    *plFlashDuration = ld;
    SetLastError(0);
    return TRUE;
}
