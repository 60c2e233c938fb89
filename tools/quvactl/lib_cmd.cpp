// quvactl lib install|register|unregister|versions: the kit's libraries on a machine.
#include "cli.h"
#include "operations.h"

#include <winsim/sim.h>

#include <cstdio>
#include <iostream>

using namespace quvactl;

namespace {

const char *const k_libraries[] = {"QUVAB2", "QUVADI", "QUVAUI"};
const char *const k_version_exports[] = {"quva_GetLibVersion", "quvaDI_GetLibVersion", "quvaUI_GetLibVersion"};

std::string system_path(const char *lib) {
    char dir[MAX_PATH] = "";
    GetSystemDirectoryA(dir, sizeof dir);
    return std::string(dir) + "\\" + lib + ".DLL";
}

// Puts each library into the system directory unless LoadLibraryA already finds it.
void ensure_installed(bool verbose) {
    for (const char *lib : k_libraries) {
        HMODULE h = LoadLibraryA(lib);
        if (h) {
            FreeLibrary(h);
            continue;
        }
        winsim::disk::install_library(system_path(lib), lib);
        if (verbose) std::printf("installed %s\n", system_path(lib).c_str());
    }
}

std::string packed(DWORD v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%lu.%lu.x.%lu (0x%08lX)", (unsigned long)(v >> 24), (unsigned long)((v >> 16) & 0xFF),
                  (unsigned long)(v & 0xFFFF), (unsigned long)v);
    return buf;
}

int lib_install(const Args &args) {
    if (args.size() != 1) return usage_error("lib install needs a machine directory");
    auto m = winsim::Machine::load(args[0]);
    ensure_installed(true);
    m->save();
    return 0;
}

// Each library's registration export on the machine loaded.
int registration(const char *export_name) {
    ensure_installed(true);
    int failures = 0;
    for (const char *lib : k_libraries) {
        HMODULE h = LoadLibraryA(lib);
        auto fn = h ? (HRESULT(WINAPI *)(void))(void *)GetProcAddress(h, export_name) : nullptr;
        HRESULT hr = fn ? fn() : E_FAIL;
        char path[MAX_PATH] = "";
        if (h) GetModuleFileNameA(h, path, sizeof path);
        std::printf("%-8s %-20s 0x%08lX %s  (%s)\n", lib, export_name, (unsigned long)hr, SUCCEEDED(hr) ? "ok" : "FAILED",
                    path);
        failures += FAILED(hr);
        if (h) FreeLibrary(h);
    }
    return failures ? 1 : 0;
}

int run_registration(const Args &args, const char *export_name, const char *verb) {
    if (args.size() != 1) return usage_error(std::string("lib ") + verb + " needs a machine directory");
    auto m = winsim::Machine::load(args[0]);
    int rc = registration(export_name);
    m->save();
    return rc;
}

} // namespace

int quvactl::register_libraries() { return registration("DllRegisterServer"); }

namespace {

int lib_register(const Args &args) { return run_registration(args, "DllRegisterServer", "register"); }
int lib_unregister(const Args &args) { return run_registration(args, "DllUnregisterServer", "unregister"); }

int lib_versions(const Args &args) {
    if (args.size() != 1) return usage_error("lib versions needs a machine directory");
    auto m = winsim::Machine::load(args[0]);
    ensure_installed(false);
    HMODULE token = nullptr;
    for (size_t i = 0; i < 3; i++) {
        HMODULE h = LoadLibraryA(k_libraries[i]);
        auto fn = h ? (DWORD(WINAPI *)(void))(void *)GetProcAddress(h, k_version_exports[i]) : nullptr;
        std::printf("%-8s %s\n", k_libraries[i], fn ? packed(fn()).c_str() : "not loadable");
        if (i == 0)
            token = h;
        else if (h)
            FreeLibrary(h);
    }
    auto driver = token ? (DWORD(WINAPI *)(void))(void *)GetProcAddress(token, "quva_GetDriverVersion") : nullptr;
    if (driver) {
        DWORD v = driver();
        std::printf("driver   %s\n", v == 0 ? "none installed (0)" : v == 0xFFFFFFFF ? "platform unknown (0xFFFFFFFF)"
                                                                               : packed(v).c_str());
    }
    if (token) FreeLibrary(token);
    return 0;
}

Register r0({"lib install", "lib install DIR", "copy the kit's libraries into the machine's system directory", "",
             lib_install});
Register r1({"lib register", "lib register DIR", "run DllRegisterServer of QUVAB2, QUVADI and QUVAUI",
             "Libraries not yet on the machine are first copied into its system directory.\n", lib_register});
Register r2({"lib unregister", "lib unregister DIR", "run DllUnregisterServer of the three libraries", "",
             lib_unregister});
Register r3({"lib versions", "lib versions DIR", "print each library's version and the token driver version",
             "The driver version comes from the driver package's uninstall entry, else from the\n"
             "platform's token driver file.\n",
             lib_versions});

} // namespace
