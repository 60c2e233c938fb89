// The driver installer library as quvactl's installer commands use it:
// loaded from the machine's disk the way an installer loads it, each export
// bound by name so that a library without it still serves the others.
#ifndef QUVACTL_INSTALLER_LIB_H
#define QUVACTL_INSTALLER_LIB_H

#include "cli.h"

#include <winsim/sim.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

namespace quvactl {

// Loads the machine in dir, or says why not: an abort with a core dump is no
// answer to a mistyped directory.
inline std::unique_ptr<winsim::Machine> load_machine(const std::string &dir) {
    std::error_code ec;
    if (dir.empty() || !std::filesystem::exists(std::filesystem::path(dir) / "machine.ini", ec)) {
        std::cerr << "quvactl: " << (dir.empty() ? std::string("(empty)") : dir)
                  << " holds no machine (no machine.ini); make one with 'quvactl machine new'\n";
        return nullptr;
    }
    return winsim::Machine::load(dir);
}

// "30", "0x1E" or "-1"; false on anything else, or when it does not fit 32 bits.
inline bool parse_dword(const std::string &text, DWORD *out, bool allow_negative = false) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    if (text[0] == '-') {
        if (!allow_negative) return false;
        long long v = std::strtoll(text.c_str(), &end, 0);
        if (*end || errno || v < -2147483648LL) return false;
        *out = (DWORD)(LONG)v;
        return true;
    }
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end || errno || v > 0xFFFFFFFFull) return false;
    *out = (DWORD)v;
    return true;
}

inline std::string packed_version(DWORD v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%lu.%lu.x.%lu (0x%08lX)", (unsigned long)(v >> 24),
                  (unsigned long)((v >> 16) & 0xFF), (unsigned long)(v & 0xFFFF), (unsigned long)v);
    return buf;
}

class Installer {
public:
    Installer() {
        h_ = LoadLibraryA("QUVADI");
        if (!h_) {
            char dir[MAX_PATH] = "";
            GetSystemDirectoryA(dir, sizeof dir);
            winsim::disk::install_library(std::string(dir) + "\\QUVADI.DLL", "QUVADI");
            h_ = LoadLibraryA("QUVADI");
        }
        if (!h_) std::cerr << "quvactl: QUVADI does not load on this machine\n";
    }
    ~Installer() {
        if (h_) FreeLibrary(h_);
    }
    Installer(const Installer &) = delete;
    Installer &operator=(const Installer &) = delete;

    bool ok() const { return h_ != nullptr; }

    // The export, or nullptr when this build of the library lacks it.
    template <class F> F fn(const char *name) const { return h_ ? (F)(void *)GetProcAddress(h_, name) : nullptr; }

    // "1060 (The specified service does not exist ...)", worded by the library.
    std::string error(DWORD code) const {
        std::string out = std::to_string(code);
        if (code == 0) return out;
        auto get = fn<DWORD(WINAPI *)(DWORD, LPSTR, DWORD)>("quvaDI_GetErrorStrA");
        char text[512] = "";
        if (get && get(code, text, sizeof text) && text[0]) {
            std::string t = text;
            while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
            out += " (" + t + ")";
        }
        return out;
    }

private:
    HMODULE h_ = nullptr;
};

inline const char *yes_no(BOOL b) { return b ? "yes" : "no"; }

} // namespace quvactl

#endif
