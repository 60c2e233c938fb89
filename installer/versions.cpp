// Library, driver-file and driver-package versions, and self-registration.
#include "quva_common.h"
#include "quvadi.h"

namespace {
const DWORD k_lib_version = 0x0102004E; // 1.2.0.78
}

const QuvaComponent quva_this_component = {"Quva Driver Installer Library", "QUVADI.DLL", k_lib_version, FALSE};

extern "C" DWORD WINAPI quvaDI_GetLibVersion(void) { return k_lib_version; }

// The driver file only; the package's uninstall entry has its own query.
extern "C" DWORD WINAPI quvaDI_GetDriverVersion(void) { return quva_driver_file_version(); }

extern "C" DWORD WINAPI quvaDI_GetDriverInstallerVersion(void) {
    DWORD version = 0;
    return quva_uninstall_entry_version(&version) ? version : 0;
}
