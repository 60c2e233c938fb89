// The token access library bound at first use by the file name QuvaAPI, and
// the LED blink the dialogs share.
#include "ui_internal.h"

#include <windows.h>

#include <delayimp.h>

#include <atomic>
#include <cstring>

namespace {

const char k_module_file[] = "QuvaAPI.dll";

enum Function { fnCreateContext, fnDeleteContext, fnOpenDevice, fnCloseDevice, fnGetProperty, fnSetProperty, fnCount };
const char *const k_names[fnCount] = {"quva_CreateContext", "quva_DeleteContext", "quva_OpenDevice",
                                      "quva_CloseDevice",   "quva_GetProperty",   "quva_SetProperty"};

// Written once each, possibly from two dialogs' threads: kept atomic so that
// a second thread sees either nothing (and binds again, harmlessly) or the
// whole address.
std::atomic<HMODULE> g_module{nullptr};
std::atomic<FARPROC> g_functions[fnCount];

// What the platform's lazy binding does without a failure hook: raise the
// failure into the calling thread.  A handler that continues may have left an
// address in pfnCur.
FARPROC raise_failure(DWORD error, HMODULE module, const char *name) {
    FARPROC slot = nullptr;
    DelayLoadInfo info;
    std::memset(&info, 0, sizeof info);
    info.cb = sizeof info;
    info.ppfn = &slot;
    info.szDll = k_module_file;
    info.dlp.fImportByName = TRUE;
    info.dlp.szProcName = name;
    info.hmodCur = module;
    info.dwLastError = GetLastError();
    ULONG_PTR argument = (ULONG_PTR)&info;
    RaiseException(VcppException(ERROR_SEVERITY_ERROR, error), 0, 1, &argument);
    return info.pfnCur;
}

FARPROC bind(Function which) {
    if (FARPROC f = g_functions[which].load()) return f;
    HMODULE module = g_module.load();
    if (!module) {
        module = LoadLibraryA(k_module_file);
        if (!module) return raise_failure(ERROR_MOD_NOT_FOUND, nullptr, k_names[which]);
        HMODULE expected = nullptr;
        // Another thread got there first: keep one reference only.
        if (!g_module.compare_exchange_strong(expected, module)) {
            FreeLibrary(module);
            module = expected;
        }
    }
    FARPROC f = GetProcAddress(module, k_names[which]);
    if (!f) return raise_failure(ERROR_PROC_NOT_FOUND, module, k_names[which]);
    g_functions[which].store(f);
    return f;
}

template <class Fn> Fn bound(Function which) { return (Fn)(void *)bind(which); }

} // namespace

namespace quvaapi {

DWORD CreateContext(QUVA_CONTEXT *context, DWORD reserved, DWORD creation_value) {
    auto f = bound<decltype(&quva_CreateContext)>(fnCreateContext);
    return f ? f(context, reserved, creation_value) : QUVA_ERR_LIBRARY_VERSION;
}

DWORD DeleteContext(QUVA_CONTEXT context) {
    auto f = bound<decltype(&quva_DeleteContext)>(fnDeleteContext);
    return f ? f(context) : QUVA_ERR_LIBRARY_VERSION;
}

DWORD OpenDevice(QUVA_CONTEXT context, DWORD flags, LPVOID param) {
    auto f = bound<decltype(&quva_OpenDevice)>(fnOpenDevice);
    return f ? f(context, flags, param) : QUVA_ERR_LIBRARY_VERSION;
}

DWORD CloseDevice(QUVA_CONTEXT context) {
    auto f = bound<decltype(&quva_CloseDevice)>(fnCloseDevice);
    return f ? f(context) : QUVA_ERR_LIBRARY_VERSION;
}

DWORD GetProperty(QUVA_CONTEXT context, DWORD id, DWORD reserved, LPVOID buffer, DWORD size) {
    auto f = bound<decltype(&quva_GetProperty)>(fnGetProperty);
    return f ? f(context, id, reserved, buffer, size) : QUVA_ERR_LIBRARY_VERSION;
}

DWORD SetProperty(QUVA_CONTEXT context, DWORD id, DWORD reserved1, DWORD reserved2, DWORD reserved3) {
    auto f = bound<decltype(&quva_SetProperty)>(fnSetProperty);
    return f ? f(context, id, reserved1, reserved2, reserved3) : QUVA_ERR_LIBRARY_VERSION;
}

} // namespace quvaapi

DWORD led_next_state(DWORD *state) {
    *state = *state == QUVA_PROP_LED_ON ? QUVA_PROP_LED_OFF : QUVA_PROP_LED_ON;
    return *state;
}

void led_blink(QUVA_CONTEXT context, DWORD *state) {
    if (!context) return;
    quvaapi::SetProperty(context, led_next_state(state), 0, 0, 0);
}

void led_rest(QUVA_CONTEXT context) {
    if (context) quvaapi::SetProperty(context, QUVA_PROP_LED_ON, 0, 0, 0);
}
