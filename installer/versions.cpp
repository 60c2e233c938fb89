// Library version and self-registration entry points.
#include "quva_common.h"
#include "quvadi.h"

namespace {
const DWORD k_lib_version = 0x0102004E; // 1.2.0.78
}

const QuvaComponent quva_this_component = {"Quva Driver Installer Library", "QUVADI.DLL", k_lib_version, FALSE};

extern "C" DWORD WINAPI quvaDI_GetLibVersion(void) { return k_lib_version; }
