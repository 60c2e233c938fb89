// DLL start-up for the kit's libraries on the simulated platform: the part of
// a Windows C runtime that calls DllMain when the image is mapped and unmapped.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

typedef BOOL(WINAPI *winsim_dllmain_fn)(HINSTANCE, DWORD, LPVOID);
extern "C" void winsim_module_attach(const void *anchor, winsim_dllmain_fn entry);
extern "C" void winsim_module_detach(const void *anchor);

namespace {
// The anchor is any address inside this image; the loader finds the image by it.
__attribute__((constructor)) void attach() { winsim_module_attach((const void *)&attach, &DllMain); }
__attribute__((destructor)) void detach() { winsim_module_detach((const void *)&attach); }
} // namespace
