// Entry points every library shares: DllMain keeps the module handle, and
// the DllInstall family registers the library's own component.
#include "quva_common.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        quva_set_module(instance);
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllInstall(BOOL install, LPCWSTR) {
    return quva_dll_install(quva_module(), &quva_this_component, install);
}
extern "C" HRESULT WINAPI DllRegisterServer(void) { return DllInstall(TRUE, nullptr); }
extern "C" HRESULT WINAPI DllUnregisterServer(void) { return DllInstall(FALSE, nullptr); }
