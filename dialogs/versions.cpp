// Library version and self-registration entry points.
#include "quva_common.h"
#include "quvaui.h"

namespace {
const DWORD k_lib_version = 0x01010030; // 1.1.0.48
}

const QuvaComponent quva_this_component = {"Quva User Interface Library", "QUVAUI.DLL", k_lib_version, FALSE};

extern "C" DWORD WINAPI quvaUI_GetLibVersion(void) { return k_lib_version; }

extern "C" BOOL WINAPI quvaUI_RegisterService(LPVOID) { return quva_register_component(quva_module(), &quva_this_component); }

extern "C" BOOL WINAPI quvaUI_UnregisterService(void) {
    quva_unregister_component(&quva_this_component);
    return TRUE;
}
