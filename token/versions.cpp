// Library and driver versions.
#include "quva_common.h"
#include "quvab2.h"

namespace {
const DWORD k_lib_version = 0x01030031; // 1.3.0.49
}

const QuvaComponent quva_this_component = {"Quva B2 Token Library", "QUVAB2.DLL", k_lib_version, TRUE};

extern "C" DWORD WINAPI quva_GetLibVersion(void) { return k_lib_version; }

extern "C" DWORD WINAPI quva_GetDriverVersion(void) {
    // The package's own record wins over the file, even when incomplete.
    DWORD version = 0;
    if (quva_uninstall_entry_version(&version)) return version;
    return quva_driver_file_version();
}
