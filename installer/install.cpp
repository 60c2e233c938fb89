// The install entry: checks the INF, works out the platform and runs one
// flow.  On Windows 2000/XP the flow is chosen by the driver generation the
// inventory found, so one call serves a first installation and every upgrade
// from an earlier stack.
#include "internal.h"
#include "quva_common.h"
#include "quvadi.h"
#include "setupapi_binding.h"

#include <newdev.h>

#include <cstdio>
#include <cstring>

namespace {

const char k_enum_hwid[] = "quva\\quvaEnum";
const char k_reader_hwid[] = "quvaenum\\quvaifd";
const GUID k_reader_class = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
const char *const k_nt5_drivers[] = {"quvaenum.sys", "quvaIFD.SYS", "QVATOKEN.SYS"};

typedef BOOL(WINAPI *CopyOemInfFn)(PCSTR, PCSTR, DWORD, DWORD, PSTR, DWORD, PDWORD, PSTR *);

// Joins a directory and a file name; false when the result does not fit.
bool join(char *out, size_t size, LPCSTR dir, LPCSTR file) {
    int n = std::snprintf(out, size, "%s\\%s", dir, file);
    return n >= 0 && (size_t)n < size;
}

// 5.1 and 5.2 have driver signing by catalog; 5.0 and 6.x do not count.
bool is_nt51_or_later() {
    OSVERSIONINFOA v;
    return quva_get_os_version(&v) && v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion > 4 &&
           v.dwMinorVersion != 0;
}

void delete_value(const char *key, const char *name) {
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS) return;
    RegDeleteValueA(h, name);
    RegCloseKey(h);
}

// One call of quvaDI_InstallDriverA on Windows 2000/XP: its arguments, the
// values the flows carry from step to step, and the three outputs.
struct Nt5Install {
    HWND owner;
    DWORD flags;
    LPCSTR source_dir;
    LPCSTR inf_file;
    DWORD driver_flags, use_rm, devices;
    DWORD *reboot, *completion, *error_out;
    char inf_path[MAX_PATH];
    DWORD update_flags = 0;
    DWORD error = 0;
    DWORD present = 0, registered = 0;

    void fold(DWORD indication) {
        if (indication) *reboot = 1;
    }

    void start_outputs(DWORD reboot_value) {
        *reboot = reboot_value;
        *completion = 0;
        *error_out = 0;
        driver_flags = 0;
        error = 0;
    }

    bool catalog_present() const {
        char path[MAX_PATH];
        return is_nt51_or_later() && join(path, sizeof path, source_dir, "qvatoken.cat") && FileExists(path);
    }

    void count() {
        present = registered = 0;
        quvaDI_CountDevices(&present, &registered);
    }

    bool copy_inf() {
        SetupApi api;
        if (api.call<CopyOemInfFn>("SetupCopyOEMInfA", (PCSTR)inf_path, source_dir, (DWORD)SPOST_PATH, (DWORD)0,
                                   (PSTR) nullptr, (DWORD)0, (PDWORD) nullptr, (PSTR *)nullptr))
            return true;
        // A copy that failed without saying why must still fail the call.
        error = LastErrorOr(ERROR_GEN_FAILURE);
        return false;
    }

    void create_enumerator() {
        DWORD restart = 0;
        if (CreateEnumeratorNode(k_enum_hwid, inf_path, update_flags, &restart))
            fold(restart);
        else
            error = LastErrorOr(ERROR_NO_SUCH_DEVINST);
    }

    void update_present_models() {
        update_flags |= INSTALLFLAG_FORCE;
        for (int row = 0; row < QUVADI_TOKEN_MODELS; row++) {
            if (!quvadi_model_present[row]) continue;
            DWORD restart = 0;
            if (UpdateDriverForHardwareId(quvadi_token_hwids[row], inf_path, update_flags, &restart)) fold(restart);
        }
    }

    void finish(bool demand_start_driver) {
        if (quvaDI_CheckAndFixPCSC()) *reboot = 1;
        SetResourceManagerStart(TRUE);
        if (demand_start_driver) SetSmartCardDriverDemandStart();
    }

    void read_params_back() {
        DWORD rm_mode = 0;
        quvaDI_GetDriverParams(&driver_flags, &use_rm, &devices, &rm_mode);
    }

    // Restarts the enumerator with the reader parameters set and waits for
    // its virtual readers.  `old` (the legacy-reader flow) compares the
    // parameters with those the machine had before the call.
    void reader_wait(const GUID *class_filter, const DWORD *old_use_rm = nullptr, const DWORD *old_devices = nullptr) {
        if (error || devices == 0 || use_rm == 0) return;
        DWORD restart = 0;
        DisableEnumeratorDevice(class_filter, &restart);
        fold(restart);
        quvaDI_SetDriverParams(0, use_rm, devices);
        read_params_back();
        if (old_use_rm && old_devices && (use_rm != *old_use_rm || devices != *old_devices)) *reboot = 1;
        bool silent = (flags & DI_SILENT_WAIT) != 0;
        if (silent) {
            StartArrivalWatcher(devices);
        } else {
            const ReaderStatusParams &p = quvadi_reader_status_params;
            StartReaderStatusDialog(p.Parent, p.Caption, p.Message, p.CancelText, devices);
        }
        restart = 0;
        EnableEnumeratorDevice(class_filter, &restart);
        fold(restart);
        DWORD arrivals = 0;
        DWORD result = silent ? (DWORD)WaitArrivalWatcher(devices, &arrivals) : WaitReaderStatusDialog(&arrivals);
        if (result == 0 && arrivals < devices) *reboot = 1;
    }

    BOOL over_usb_class_token();
    BOOL over_legacy_reader_token();
    BOOL over_token_class_device();
    BOOL over_reader_stack();
    BOOL fresh();
};

BOOL Nt5Install::over_usb_class_token() {
    start_outputs(0);
    update_flags = catalog_present() ? INSTALLFLAG_NONINTERACTIVE : 0;
    count();
    DWORD ignored = 0;
    if (present > 0) {
        DisableTokenDevices(nullptr, &ignored);
        *reboot = 1;
    }
    if (registered > 0) RemoveStaleTokenNodes(TRUE, &ignored);
    PurgeOemInfs();
    if (copy_inf()) {
        quvaDI_SetDriverParams(0, 0, 0);
        create_enumerator();
        if (!error && present > 0) update_present_models();
        reader_wait(nullptr);
    }
    if (present > 0) {
        DWORD restart = 0;
        EnableTokenDevices(nullptr, &restart);
        fold(restart);
    }
    if (!error) {
        finish(false);
        *completion = present > 0 ? 0 : 2;
    }
    *error_out = error;
    WriteComponentRecords();
    return error == 0;
}

BOOL Nt5Install::over_legacy_reader_token() {
    start_outputs(0);
    bool readers_forgotten = false;
    update_flags = catalog_present() ? INSTALLFLAG_NONINTERACTIVE : 0;
    DWORD old_flags = 0, old_use_rm = 0, old_devices = 0, old_mode = 0;
    quvaDI_GetDriverParams(&old_flags, &old_use_rm, &old_devices, &old_mode);
    count();
    DWORD ignored = 0;
    if (present > 0) {
        DisableTokenDevices(nullptr, &ignored);
        *reboot = 1;
    }
    if (present == 0 && old_use_rm == 0) {
        DWORD stop_reboot = 0;
        quvaDI_StopServiceA("qvatoken", &stop_reboot);
        fold(stop_reboot);
    }
    if (old_use_rm) {
        *reboot = 1;
        ForgetVirtualReaders();
        readers_forgotten = true;
    }
    if (registered > 0) RemoveStaleTokenNodes(FALSE, &ignored);
    PurgeOemInfs();
    if (copy_inf()) {
        quvaDI_SetDriverParams(0, 0, 0);
        create_enumerator();
        if (!error && present > 0) update_present_models();
        reader_wait(nullptr, &old_use_rm, &old_devices);
    }
    if (present > 0) {
        DWORD restart = 0;
        EnableTokenDevices(nullptr, &restart);
        fold(restart);
    }
    if (!error) {
        finish(true);
        DWORD now = 0;
        quvaDI_CountDevices(&now, nullptr);
        *completion = now > 0 ? 0 : (*reboot || readers_forgotten) ? 1 : 2;
    }
    *error_out = error;
    WriteComponentRecords();
    delete_value("System\\CurrentControlSet\\Services\\QvaToken", "NumberOfDevices");
    return error == 0;
}

BOOL Nt5Install::over_token_class_device() {
    start_outputs(1);
    update_flags = catalog_present() ? INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE : INSTALLFLAG_FORCE;
    DWORD old_flags = 0, old_use_rm = 0, old_devices = 0, old_mode = 0;
    quvaDI_GetDriverParams(&old_flags, &old_use_rm, &old_devices, &old_mode);
    count();
    DWORD restart = 0;
    if (registered > 0) RemoveStaleTokenNodes(FALSE, &restart);
    PurgeOemInfs();
    if (old_devices) ForgetVirtualReaders();
    if (!copy_inf()) {
        *error_out = error;
        return FALSE;
    }
    if (present > 0) {
        DisableTokenDevices(nullptr, &restart);
        *reboot = 1;
    }
    if (old_devices) {
        DisableReaderDevices(nullptr, &restart);
        fold(restart);
    }
    if (present > 0) {
        for (int row = 0; row < QUVADI_TOKEN_MODELS; row++) {
            if (quvadi_model_present[row] &&
                UpdateDriverForHardwareId(quvadi_token_hwids[row], inf_path, update_flags, &restart))
                fold(restart);
        }
    }
    if (old_devices) {
        if (UpdateDriverForHardwareId(k_reader_hwid, inf_path, update_flags, &restart)) fold(restart);
        EnableReaderDevices(nullptr, &restart);
        fold(restart);
        quvaDI_SetDriverParams(0, 0, 0);
    }
    if (present > 0) {
        EnableTokenDevices(nullptr, &restart);
        fold(restart);
    }
    DisableEnumeratorDevice(nullptr, &restart);
    fold(restart);
    if (UpdateDriverForHardwareId(k_enum_hwid, inf_path, update_flags, &restart)) fold(restart);
    quvaDI_SetDriverParams(0, use_rm, devices);
    read_params_back();
    EnableEnumeratorDevice(nullptr, &restart);
    fold(restart);
    finish(false);
    if (use_rm != old_use_rm || devices != old_devices)
        *reboot = 1;
    else if (present > 0)
        *reboot = 0;
    *completion = present > 0 ? 0 : 2;
    DeleteClassKeys("Quva");
    *error_out = 0;
    WriteComponentRecords();
    delete_value("System\\CurrentControlSet\\Services\\QvaToken", "NumberOfDevices");
    return TRUE;
}

BOOL Nt5Install::over_reader_stack() {
    start_outputs(1);
    delete_value("System\\CurrentControlSet\\Services\\QVATOKEN", "NumberOfDevices");
    if (!SourceDriversNewer(source_dir, k_nt5_drivers, 3)) {
        // The same drivers: only the reader parameters may change.
        WriteComponentRecords();
        if (!copy_inf()) {
            *error_out = error;
            return FALSE;
        }
        DWORD old_flags = 0, old_use_rm = 0, old_devices = 0, old_mode = 0;
        quvaDI_GetDriverParams(&old_flags, &old_use_rm, &old_devices, &old_mode);
        if (use_rm == old_use_rm && old_devices == devices) {
            *reboot = 0;
        } else {
            quvaDI_SetDriverParams(old_flags, use_rm, devices);
            read_params_back();
            *reboot = (use_rm != old_use_rm || devices != old_devices) ? 1 : 0;
        }
        DWORD now_registered = 0;
        quvaDI_CountDevices(nullptr, &now_registered);
        if (now_registered == 0) *completion = 2;
        finish(true);
        return TRUE;
    }
    DWORD ignored = 0;
    quvaDI_CountDevices(nullptr, &registered);
    if (registered > 0) RemoveStaleTokenNodes(TRUE, &ignored);
    if (!copy_inf()) {
        *error_out = error;
        return FALSE;
    }
    *reboot = 1;
    RunInfSection(owner, source_dir, inf_file, "QuvaEnum_Install");
    RunInfSection(owner, source_dir, inf_file, "QuvaIFD_Install");
    RunInfSection(owner, source_dir, inf_file, "QvaToken_Install");
    quvaDI_SetDriverParams(0, use_rm, devices);
    finish(true);
    registered = 0;
    quvaDI_CountDevices(nullptr, &registered);
    *completion = registered > 0 ? 0 : 2;
    *error_out = 0;
    WriteComponentRecords();
    return TRUE;
}

BOOL Nt5Install::fresh() {
    start_outputs(0);
    update_flags = catalog_present() ? INSTALLFLAG_NONINTERACTIVE : 0;
    quvaDI_SetDriverParams(0, use_rm, devices);
    read_params_back();
    count();
    bool current_driver = IsCurrentTokenDriverFile() != FALSE;
    if (registered > 0) {
        DWORD ignored = 0;
        if (current_driver)
            RemoveStaleTokenNodes(TRUE, &ignored);
        else
            RemoveAllTokenNodes();
    }
    copy_inf();
    if (!error) {
        // The enumerator must not make readers before the waiter listens.
        if (use_rm) quvaDI_SetDriverParams(0, 0, 0);
        create_enumerator();
    }
    // Asked again: the enumerator's install may have brought the token driver.
    if (!error && present > 0 && !IsCurrentTokenDriverFile()) update_present_models();
    reader_wait(&k_reader_class);
    if (!error) {
        finish(true);
        *completion = present > 0 ? 4 : 2;
    }
    WriteComponentRecords();
    *error_out = error;
    return error == 0;
}

// Runs a flow; a fault inside one ends the call with FALSE, and the flows
// that keep a running error report the thread's last error then.
BOOL run_guarded(Nt5Install &call, BOOL (Nt5Install::*flow)(), bool report_last_error) {
    try {
        return (call.*flow)();
    } catch (...) {
        if (report_last_error) *call.error_out = GetLastError();
        return FALSE;
    }
}

BOOL install_nt5(Nt5Install &call) {
    *call.reboot = 0;
    *call.completion = 0;
    if (quvaDI_IsDriverMarkedForDeletion()) {
        *call.reboot = 1;
        *call.completion = 0;
        *call.error_out = ERROR_SERVICE_MARKED_FOR_DELETE;
        return FALSE;
    }
    quvaDI_IsDriverInstalled();
    const QuvadiInventory &inv = quvadi_inventory;
    if (inv.UsbClassToken) return run_guarded(call, &Nt5Install::over_usb_class_token, true);
    if (inv.LegacyReaderToken) return run_guarded(call, &Nt5Install::over_legacy_reader_token, true);
    if (inv.TokenClassDevice) return run_guarded(call, &Nt5Install::over_token_class_device, false);
    if (inv.VirtualReaderStack) return run_guarded(call, &Nt5Install::over_reader_stack, false);
    return run_guarded(call, &Nt5Install::fresh, true);
}

} // namespace

void SetSmartCardDriverDemandStart(void) {
    if (!quvaDI_IsPcScInstalled() || !quva_is_nt5()) return;
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\SCardDrv", 0, KEY_ALL_ACCESS, &h) !=
        ERROR_SUCCESS)
        return;
    DWORD demand = SERVICE_DEMAND_START;
    RegSetValueExA(h, "Start", 0, REG_DWORD, (const BYTE *)&demand, sizeof demand);
    RegCloseKey(h);
}

BOOL SourceDriversNewer(LPCSTR sourceDir, const char *const *files, int count) {
    char system_dir[MAX_PATH];
    UINT len = GetSystemDirectoryA(system_dir, sizeof system_dir);
    if (len == 0 || len >= sizeof system_dir) system_dir[0] = 0;
    for (int i = 0; i < count; i++) {
        char source[MAX_PATH], installed[MAX_PATH], drivers[MAX_PATH];
        if (!join(source, sizeof source, sourceDir, files[i]) || !FileExists(source)) return FALSE;
        if (!system_dir[0] || !join(drivers, sizeof drivers, system_dir, "Drivers") ||
            !join(installed, sizeof installed, drivers, files[i]) || !FileExists(installed))
            return TRUE;
        if (quvaDI_GetFileVersionA(source, nullptr) > quvaDI_GetFileVersionA(installed, nullptr)) return TRUE;
    }
    return FALSE;
}

extern "C" BOOL WINAPI quvaDI_InstallDriverA(HWND hwndOwner, DWORD dwFlags, LPCSTR pszSourceDir, LPCSTR pszInfFile,
                                             DWORD dwDriverFlags, DWORD dwUseRM, DWORD dwNumberOfDevices,
                                             LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError) {
    // Without somewhere to put the outputs there is no call to answer.
    if (!pdwReboot || !pdwCompletion || !pdwError) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pdwReboot = 0;
    *pdwCompletion = 0;
    *pdwError = 0;
    try {
        Nt5Install call{hwndOwner,  dwFlags,   pszSourceDir,  pszInfFile, dwDriverFlags, dwUseRM,
                        dwNumberOfDevices, pdwReboot, pdwCompletion, pdwError,   {}};
        if (!pszSourceDir || !pszInfFile || !join(call.inf_path, sizeof call.inf_path, pszSourceDir, pszInfFile) ||
            !FileExists(call.inf_path)) {
            *pdwError = ERROR_FILE_NOT_FOUND;
            return FALSE;
        }
        OSVERSIONINFOA v;
        std::memset(&v, 0, sizeof v);
        v.dwOSVersionInfoSize = sizeof v;
        if (!GetVersionExA(&v)) {
            // A failed version query is never an installation.
            *pdwError = LastErrorOr(ERROR_GEN_FAILURE);
            return FALSE;
        }
        if (v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion == 5) return install_nt5(call);
        if (v.dwPlatformId == VER_PLATFORM_WIN32_NT && v.dwMajorVersion == 4)
            return InstallNt4(hwndOwner, dwFlags, pszSourceDir, pszInfFile, dwDriverFlags, dwUseRM,
                              dwNumberOfDevices, pdwReboot, pdwCompletion, pdwError);
        if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
            bool above_40 = v.dwMajorVersion > 4 || (v.dwMajorVersion == 4 && v.dwMinorVersion > 0);
            return (above_40 ? InstallWin98Me : InstallWin95)(hwndOwner, dwFlags, pszSourceDir, pszInfFile,
                                                              dwDriverFlags, dwUseRM, dwNumberOfDevices, pdwReboot,
                                                              pdwCompletion, pdwError);
        }
        *pdwError = ERROR_INSTALL_PLATFORM_UNSUPPORTED;
        return FALSE;
    } catch (...) {
        return FALSE;
    }
}
