// The work of quvactl's commands as functions on the machine already loaded,
// for commands that chain several of them (quvactl life).  Each prints what
// the command of the same name prints and returns its exit code.
#ifndef QUVACTL_OPERATIONS_H
#define QUVACTL_OPERATIONS_H

#include "cli.h"

#include <windows.h>
#include <winsim/sim.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace quvactl {

// ---- bytes as the token commands and dialogs show and take them

inline std::string hex(const BYTE *p, size_t n, const char *sep = " ") {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        if (i) s += sep;
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

// Hex digits, with spaces, colons or dashes between them as one likes.
inline bool parse_hex(const std::string &text, std::vector<BYTE> *out) {
    std::string digits;
    for (char ch : text)
        if (ch != ' ' && ch != ':' && ch != '-') digits += ch;
    if (digits.size() % 2) return false;
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        char *end = nullptr;
        std::string pair = digits.substr(i, 2);
        long v = std::strtol(pair.c_str(), &end, 16);
        if (*end) return false;
        out->push_back((BYTE)v);
    }
    return true;
}

// "0807-0605-0403-0201" as the selection dialog shows a serial (two
// little-endian words, high word first), or 16 hex digits in byte order.
inline bool parse_serial(const std::string &text, std::vector<BYTE> *out) {
    std::vector<BYTE> raw;
    if (!parse_hex(text, &raw) || raw.size() != 8) return false;
    if (text.find('-') != std::string::npos)
        *out = {raw[7], raw[6], raw[5], raw[4], raw[3], raw[2], raw[1], raw[0]};
    else
        *out = raw;
    return true;
}

// The shown form of an 8-byte serial.
inline std::string serial_text(const BYTE *s) {
    DWORD w0 = s[0] | s[1] << 8 | s[2] << 16 | (DWORD)s[3] << 24;
    DWORD w1 = s[4] | s[5] << 8 | s[6] << 16 | (DWORD)s[7] << 24;
    char b[24];
    std::snprintf(b, sizeof b, "%04X-%04X-%04X-%04X", (unsigned)(w1 >> 16), (unsigned)(w1 & 0xFFFF),
                  (unsigned)(w0 >> 16), (unsigned)(w0 & 0xFFFF));
    return b;
}

inline bool parse_number(const std::string &text, DWORD *out) {
    char *end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end) return false;
    *out = (DWORD)v;
    return true;
}

// ---- the kit's three libraries (lib_cmd.cpp): put in the system directory
// when absent, then DllRegisterServer of each
int register_libraries();

// ---- driver install and removal (install_cmd.cpp)

struct InstallRequest {
    std::string package;   // host folder; "" for the build's package of the platform
    bool silent = false;   // DI_SILENT_WAIT, no reader-status dialog
    bool plug = false;     // a token's USB node is plugged in first
    bool full_diff = false;
    DWORD readers = 1, driver_flags = 0;
};
// The build's driver package folder for a platform: "nt5", "nt4", "98", "95".
std::string package_folder(const std::string &platform);
// The package platform of a machine: nt5 for 2000/XP and later, nt4, 98 for 98/ME, 95.
const char *package_platform(const winsim::Profile &p);
int install_driver(const InstallRequest &request);
int uninstall_driver(bool full_diff);
// A diff with each added or removed registry subtree folded into one line.
std::vector<std::string> compact_diff(const std::vector<std::string> &lines);

// ---- the NT 4.0 setup program (setup_cmd.cpp) with options " /q", " /q /u", ...:
// its exit code (0 done, 1 restart needed, 2 failed), -1 when it did not run
int run_setup(const std::string &options);

// ---- dialogs (ui_cmd.cpp): the options of the ui command, without DIR
enum class DialogKind { Pin, NewPin, ChangePin, Name, Select, Wait };
int show_dialog(DialogKind kind, const Args &options);

// ---- the token library (token_cmd.cpp): "list", "info", "cmd", "apdu" and
// "params" with the arguments of that command, without DIR
int token_command(const std::string &name, const Args &args);

} // namespace quvactl

#endif
