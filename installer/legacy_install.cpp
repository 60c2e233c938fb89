// The installs of the platforms without the Plug and Play installer of
// Windows 2000/XP: NT 4.0, 98/ME and 95.  The INF's DefaultInstall section
// puts the drivers and their services in place; the flows decide between a
// parameter refresh and a full install, and clear away a broken earlier
// installation first.
#include "internal.h"
#include "quva_common.h"
#include "quvadi.h"

#include <cstdio>
#include <initializer_list>

namespace {

const char k_setup_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Setup";
const char *const k_nt4_drivers[] = {"USBQVTKN.SYS", "USBHUB.SYS", "USBDRV.SYS"};

// One call of quvaDI_InstallDriverA on these platforms.
struct LegacyInstall {
    HWND owner;
    DWORD flags;
    LPCSTR source_dir;
    LPCSTR inf_file;
    DWORD use_rm, devices;
    LPDWORD reboot, completion, error;

    void zero() {
        *reboot = 0;
        *completion = 0;
        *error = 0;
    }
    DWORD run_default_install() { return RunInfSection(owner, source_dir, inf_file, "DefaultInstall"); }
    // Starts a service; a start that asks for a restart sets *reboot to 1.
    void start(LPCSTR service) {
        DWORD restart = 0;
        quvaDI_StartServiceA(service, 0, nullptr, &restart);
        if (restart) *reboot = 1;
    }
    void read_params(DWORD *driver_flags, DWORD *rm, DWORD *count) {
        DWORD mode = 0;
        quvaDI_GetDriverParams(driver_flags, rm, count, &mode);
    }
    // The source path that 9x setup offers when it wants the media again.
    LONG write_source_path() {
        HKEY key;
        LONG e = RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_setup_key, 0, KEY_ALL_ACCESS, &key);
        if (e != ERROR_SUCCESS) return e;
        char value[MAX_PATH];
        int len = std::snprintf(value, sizeof value, "%s\\", source_dir);
        e = len > 0 && len < (int)sizeof value
                ? RegSetValueExA(key, "SourcePath", 0, REG_SZ, (const BYTE *)value, (DWORD)len)
                : (LONG)ERROR_FILENAME_EXCED_RANGE;
        RegCloseKey(key);
        return e;
    }
    // CopyInfToWindows answers only whether "SourcePath" was written.
    DWORD copy_inf_to_windows() {
        return CopyInfToWindows(source_dir, inf_file) ? 0 : ERROR_CANTWRITE;
    }

    bool installed() const { return quvadi_inventory.LastFileFound == 1; }

    BOOL nt4();
    BOOL win98me();
    BOOL win95();
};

// <directory from `get`><rest>; false when it does not fit.
template <class F> bool path_in(F get, const char *rest, char *out, size_t size) {
    char dir[MAX_PATH];
    UINT n = get(dir, (UINT)sizeof dir);
    if (n == 0 || n >= sizeof dir) return false;
    int len = std::snprintf(out, size, "%s%s", dir, rest);
    return len > 0 && (size_t)len < size;
}

bool source_path(LPCSTR dir, const char *file, char *out, size_t size) {
    int len = std::snprintf(out, size, "%s\\%s", dir, file);
    return len > 0 && (size_t)len < size;
}

// The 9x members: one token driver file, installed at `rest` below the
// folder `get` names.
template <class F> BOOL source_file_newer(LPCSTR source_dir, const char *file, F get, const char *rest) {
    char source[MAX_PATH], installed[MAX_PATH];
    if (!source_path(source_dir, file, source, sizeof source) || !path_in(get, rest, installed, sizeof installed))
        return FALSE;
    return SourceDriverFileNewer(source, installed);
}

BOOL source_newer_98me(LPCSTR source_dir) {
    return source_file_newer(source_dir, "QVATOKEN.SYS", GetWindowsDirectoryA, "\\System32\\Drivers\\QVATOKEN.SYS");
}

BOOL source_newer_95(LPCSTR source_dir) {
    return source_file_newer(source_dir, "QVATKN95.SYS", GetSystemDirectoryA, "\\QVATKN95.SYS");
}

bool key_opens(const char *path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

BOOL LegacyInstall::nt4() {
    zero();
    if (quvaDI_IsDriverMarkedForDeletion()) {
        *reboot = 1;
        *completion = 0;
        *error = ERROR_SERVICE_MARKED_FOR_DELETE;
        return FALSE;
    }
    quvaDI_IsDriverInstalled();
    if (installed()) {
        WriteComponentRecords();
        DWORD old_flags = 0, old_rm = 0, old_devices = 0;
        read_params(&old_flags, &old_rm, &old_devices);
        if (SourceDriversNewer(source_dir, k_nt4_drivers, 3)) {
            *reboot = 1;
        } else {
            *error = run_default_install();
            if (*error) return FALSE;
            // A first install cut short after its files (the services not
            // created, say) looks installed: start what the section has just
            // put back.  A running service refuses at once.
            for (const char *service : {"USBHUB", "USBQVTKN", "USBDRV"}) start(service);
            if (use_rm == old_rm && old_devices == devices) return TRUE;
            quvaDI_SetDriverParams(old_flags, use_rm, devices);
            DWORD now_flags = 0, now_rm = 0, now_devices = 0;
            read_params(&now_flags, &now_rm, &now_devices);
            if (now_devices != old_devices || now_rm != old_rm) *reboot = 1;
            return TRUE;
        }
    } else if (key_opens("System\\CurrentControlSet\\Enum\\Root\\LEGACY_USBQVTKN")) {
        // A started driver of an earlier installation left its trace.
        if (!UninstallNt4(owner, 0, reboot, completion, error)) return FALSE;
        quvadi_inventory.LastFileFound = 0;
    }

    DWORD readers = quvaDI_IsNonVrReaderInstalled();
    bool deferred = false;
    if (installed()) {
        quvaDI_SetDriverParams(0, use_rm, devices);
        DWORD ignored = 0;
        read_params(&ignored, &use_rm, &devices);
    } else if ((flags & DI_DEFER_READER_MODE) || !quvaDI_IsPcScInstalled() || readers) {
        deferred = true;
        quvaDI_SetDriverParams(0, 0, 0);
    } else {
        quvaDI_SetDriverParams(0, use_rm, devices);
    }
    *error = run_default_install();
    if (*error) return FALSE;
    for (const char *service : {"USBHUB", "USBQVTKN", "USBDRV"}) start(service);
    quvaDI_SetDriverParams(0, use_rm, devices);
    if (deferred) {
        if (use_rm && *reboot == 0) *reboot = 2;
    } else if (use_rm) {
        start("SCARDSVR");
    }
    WriteComponentRecords();
    return TRUE;
}

BOOL LegacyInstall::win98me() {
    zero();
    DWORD removal_reboot = 0;
    quvaDI_IsDriverInstalled();
    DWORD present = 0, registered = 0;
    quvaDI_CountDevices(&present, &registered);
    if (installed()) {
        *error = copy_inf_to_windows();
        DWORD old_flags = 0, old_rm = 0, old_devices = 0, mode = 0;
        if (!quvaDI_GetDriverParams(&old_flags, &old_rm, &old_devices, &mode)) {
            old_rm = 1;
            old_devices = 4;
        }
        if (source_newer_98me(source_dir)) {
            *reboot = 1;
        } else {
            WriteComponentRecords();
            WriteVxdServiceKey(devices);
            // A section that fails ends the refresh like a full install.
            *error = run_default_install();
            if (*error) return FALSE;
            if (use_rm == old_rm && old_devices == devices) {
                *completion = registered > 0 ? 0 : 2;
                return TRUE;
            }
            quvaDI_SetDriverParams(old_flags, use_rm, devices);
            *reboot = 1;
            if (registered == 0) *completion = 2;
            return TRUE;
        }
    } else {
        DWORD r = 0, c = 0, e = 0;
        UninstallWin98Me(owner, 0, &r, &c, &e);
        removal_reboot = r;
        quvadi_inventory.LastFileFound = 0;
    }

    quvaDI_SetDriverParams(0, use_rm, devices);
    DWORD ignored = 0;
    read_params(&ignored, &use_rm, &devices);
    WriteVxdServiceKey(devices);
    CopyInfToWindows(source_dir, inf_file); // the section's result is what counts here
    *error = run_default_install();
    if (*error) return FALSE;
    if (flags & DI_DEFER_READER_MODE) {
        if (*reboot == 0) *reboot = 2;
    } else if (use_rm && removal_reboot) {
        *reboot = 1;
    }
    if (quvadi_inventory.LastFileFound == 0) {
        if (registered == 0) {
            *completion = 2;
        } else if (present > 0) {
            *completion = 0;
            *reboot = 1;
        }
    }
    WriteComponentRecords();
    return TRUE;
}

BOOL LegacyInstall::win95() {
    zero();
    quvaDI_IsDriverInstalled();
    if (installed()) {
        *error = (DWORD)write_source_path();
        if (source_newer_95(source_dir)) {
            *reboot = 1;
        } else {
            *error = run_default_install();
            return *error == 0;
        }
    } else {
        DWORD r = 0, c = 0, e = 0;
        UninstallWin95(owner, 0, &r, &c, &e);
    }
    quvadi_inventory.LastFileFound = 0;
    *error = run_default_install();
    if (*error) return FALSE;
    *completion = 1;
    *error = (DWORD)write_source_path();
    WriteComponentRecords();
    return TRUE;
}

// A fault inside a flow fails the call; the outputs keep what it had set.
BOOL run_guarded(LegacyInstall &call, BOOL (LegacyInstall::*flow)()) {
    try {
        return (call.*flow)();
    } catch (...) {
        return FALSE;
    }
}

} // namespace

BOOL SourceDriverFileNewer(LPCSTR sourcePath, LPCSTR installedPath) {
    if (!FileExists(sourcePath) || !FileExists(installedPath)) return FALSE;
    return quvaDI_GetFileVersionA(sourcePath, nullptr) > quvaDI_GetFileVersionA(installedPath, nullptr);
}

BOOL WriteVxdServiceKey(DWORD number) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\VxD\\QUVAVR9X", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return FALSE;
    const BYTE start = 0x01;
    static const char vxd[] = "QUVAVR9X.VXD";
    static const char group[] = "Smart Card Reader";
    RegSetValueExA(key, "Start", 0, REG_BINARY, &start, 1);
    RegSetValueExA(key, "StaticVxD", 0, REG_SZ, (const BYTE *)vxd, sizeof vxd - 1);
    RegSetValueExA(key, "Group", 0, REG_SZ, (const BYTE *)group, sizeof group - 1);
    RegSetValueExA(key, "NumberOfDevices", 0, REG_DWORD, (const BYTE *)&number, sizeof number);
    RegCloseKey(key);
    return TRUE;
}

BOOL InstallNt4(HWND owner, DWORD flags, LPCSTR sourceDir, LPCSTR infFile, DWORD, DWORD useRM, DWORD devices,
                LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError) {
    LegacyInstall call{owner, flags, sourceDir, infFile, useRM, devices, pdwReboot, pdwCompletion, pdwError};
    return run_guarded(call, &LegacyInstall::nt4);
}

BOOL InstallWin98Me(HWND owner, DWORD flags, LPCSTR sourceDir, LPCSTR infFile, DWORD, DWORD useRM, DWORD devices,
                    LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError) {
    LegacyInstall call{owner, flags, sourceDir, infFile, useRM, devices, pdwReboot, pdwCompletion, pdwError};
    return run_guarded(call, &LegacyInstall::win98me);
}

BOOL InstallWin95(HWND owner, DWORD flags, LPCSTR sourceDir, LPCSTR infFile, DWORD, DWORD useRM, DWORD devices,
                  LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError) {
    LegacyInstall call{owner, flags, sourceDir, infFile, useRM, devices, pdwReboot, pdwCompletion, pdwError};
    return run_guarded(call, &LegacyInstall::win95);
}
