// quvactl token list|info|cmd|apdu|led|diagnose and quvactl params: the
// token library at work on a machine's tokens, on whichever path the
// machine's reader-mode values choose.
#include "cli.h"
#include "installer_lib.h"
#include "operations.h"

#include "../../token/quvab2.h"

#include <winsim/sim.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace quvactl;

namespace {

using Bytes = std::vector<BYTE>;

// The message of a token status code, as the dialogs library words it.
std::string status_text(DWORD code) {
    std::string text = "(no message)";
    HMODULE ui = LoadLibraryA("QUVAUI");
    if (!ui) {
        char dir[MAX_PATH] = "";
        GetSystemDirectoryA(dir, sizeof dir);
        winsim::disk::install_library(std::string(dir) + "\\QUVAUI.DLL", "QUVAUI");
        ui = LoadLibraryA("QUVAUI");
    }
    auto get = ui ? (DWORD(WINAPI *)(DWORD, LPSTR, DWORD))(void *)GetProcAddress(ui, "quvaUI_GetErrorMsgA") : nullptr;
    char buf[256];
    if (get && get(code, buf, sizeof buf)) text = buf;
    if (ui) FreeLibrary(ui);
    return text;
}

std::string status(DWORD code) { return std::to_string(code) + " (" + status_text(code) + ")"; }

// The library on the machine, loaded as an application would.
class Library {
public:
    Library() {
        h_ = LoadLibraryA("QUVAB2");
        if (!h_) {
            char dir[MAX_PATH] = "";
            GetSystemDirectoryA(dir, sizeof dir);
            winsim::disk::install_library(std::string(dir) + "\\QUVAB2.DLL", "QUVAB2");
            h_ = LoadLibraryA("QUVAB2");
        }
#define QUVACTL_BIND(name) name = h_ ? (decltype(&::name))(void *)GetProcAddress(h_, #name) : nullptr
        QUVACTL_BIND(quva_CreateContext);
        QUVACTL_BIND(quva_DeleteContext);
        QUVACTL_BIND(quva_OpenDevice);
        QUVACTL_BIND(quva_CloseDevice);
        QUVACTL_BIND(quva_Command);
        QUVACTL_BIND(quva_Diagnose);
        QUVACTL_BIND(quva_LedControl);
        QUVACTL_BIND(quva_GetProperty);
        QUVACTL_BIND(quva_ScardPowerUp);
        QUVACTL_BIND(quva_ScardPowerDown);
        QUVACTL_BIND(quva_ScardExchange);
#undef QUVACTL_BIND
        if (quva_CreateContext) quva_CreateContext(&ctx, 0, 0);
    }
    ~Library() {
        if (ctx) quva_DeleteContext(ctx);
        if (h_) FreeLibrary(h_);
    }
    bool ok() const { return ctx != nullptr && quva_ScardExchange; }

    decltype(&::quva_CreateContext) quva_CreateContext;
    decltype(&::quva_DeleteContext) quva_DeleteContext;
    decltype(&::quva_OpenDevice) quva_OpenDevice;
    decltype(&::quva_CloseDevice) quva_CloseDevice;
    decltype(&::quva_Command) quva_Command;
    decltype(&::quva_Diagnose) quva_Diagnose;
    decltype(&::quva_LedControl) quva_LedControl;
    decltype(&::quva_GetProperty) quva_GetProperty;
    decltype(&::quva_ScardPowerUp) quva_ScardPowerUp;
    decltype(&::quva_ScardPowerDown) quva_ScardPowerDown;
    decltype(&::quva_ScardExchange) quva_ScardExchange;
    QUVA_CONTEXT ctx = nullptr;

private:
    HMODULE h_ = nullptr;
};

// The path the last open took, from what reached the driver.
const char *path_seen() {
    auto log = winsim::tokens::log();
    if (log.empty()) return "no driver reached";
    return log.back().smartcard ? "resource manager (virtual readers, SCardControl)"
                                : "direct (\\\\.\\QUVADRVR, DeviceIoControl)";
}

struct Options {
    std::string dir;
    std::vector<std::string> rest;
    Bytes serial; // empty: the first token
};

// `here`: the machine is loaded already and no DIR comes first.
bool parse_options(const Args &args, Options *o, std::string *error, bool here) {
    if (here) o->dir = "(loaded)";
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--serial") {
            if (i + 1 >= args.size() || !parse_serial(args[i + 1], &o->serial)) {
                *error = "--serial needs 8 bytes: 0807-0605-0403-0201 or 0102030405060708";
                return false;
            }
            ++i;
        } else if (o->dir.empty()) {
            o->dir = args[i];
        } else {
            o->rest.push_back(args[i]);
        }
    }
    if (o->dir.empty()) {
        *error = "a machine directory is needed";
        return false;
    }
    return true;
}

// Opens the token the options name; prints why not and returns false.
bool open_token(Library &lib, Options &o) {
    winsim::tokens::clear_log();
    DWORD r = o.serial.empty() ? lib.quva_OpenDevice(lib.ctx, QUVA_OPEN_FIRST, nullptr)
                               : lib.quva_OpenDevice(lib.ctx, QUVA_OPEN_BY_ID, o.serial.data());
    if (r != QUVA_OK) {
        std::printf("open: %s\n", status(r).c_str());
        return false;
    }
    BYTE serial[8];
    if (lib.quva_GetProperty(lib.ctx, QUVA_PROP_SERIAL, 0, serial, sizeof serial) == QUVA_OK)
        std::printf("token %s opened, path: %s\n", serial_text(serial).c_str(), path_seen());
    return true;
}

// Runs `body` on the machine with the library loaded; saves the machine after.
template <class F> int with_machine(const Args &args, const char *what, bool here, F body) {
    Options o;
    std::string error;
    if (!parse_options(args, &o, &error, here)) return usage_error(std::string(what) + ": " + error);
    std::unique_ptr<winsim::Machine> m;
    if (!here && !(m = load_machine(o.dir))) return 1;
    int rc;
    {
        Library lib;
        if (!lib.ok()) {
            std::printf("the token library does not load\n");
            return 1;
        }
        rc = body(lib, o);
    }
    if (m) m->save();
    return rc;
}

int token_list(const Args &args, bool here = false) {
    return with_machine(args, "token list", here, [](Library &lib, Options &) {
        winsim::tokens::clear_log();
        int n = 0;
        DWORD r = lib.quva_OpenDevice(lib.ctx, QUVA_OPEN_FIRST, nullptr);
        const char *path = path_seen();
        for (; (r == QUVA_OK || r == QUVA_ERR_DEVICE_IN_USE) && n < 64;
             r = lib.quva_OpenDevice(lib.ctx, QUVA_OPEN_NEXT, nullptr), ++n) {
            if (n == 0) std::printf("path: %s\n", path);
            if (r == QUVA_ERR_DEVICE_IN_USE) {
                std::printf("  %-20s %s\n", "(held elsewhere)", "in use by another program");
                continue;
            }
            BYTE serial[8] = {};
            char name[33] = {};
            lib.quva_GetProperty(lib.ctx, QUVA_PROP_SERIAL, 0, serial, sizeof serial);
            lib.quva_GetProperty(lib.ctx, QUVA_PROP_NAME, 0, name, sizeof name);
            std::printf("  %-20s %s\n", serial_text(serial).c_str(), name[0] ? name : "(no name)");
        }
        lib.quva_CloseDevice(lib.ctx);
        std::printf("%d token(s); the enumeration ended with %s\n", n, status(r).c_str());
        return 0;
    });
}

int token_info(const Args &args, bool here = false) {
    return with_machine(args, "token info", here, [](Library &lib, Options &o) {
        if (!open_token(lib, o)) return 1;
        char name[33] = {};
        DWORD caps = 0;
        BYTE info[8] = {};
        lib.quva_GetProperty(lib.ctx, QUVA_PROP_NAME, 0, name, sizeof name);
        lib.quva_GetProperty(lib.ctx, QUVA_PROP_CAPABILITIES, 0, &caps, sizeof caps);
        lib.quva_GetProperty(lib.ctx, QUVA_PROP_DEVICE_INFO, 0, info, sizeof info);
        DWORD version = info[0] | info[1] << 8 | info[2] << 16 | (DWORD)info[3] << 24;
        std::printf("name:           %s\n", name[0] ? name : "(none)");
        std::printf("capabilities:   0x%lX\n", (unsigned long)caps);
        std::printf("driver version: 0x%lX\n", (unsigned long)version);
        std::printf("device info:    %s (type 0x%02X)\n", hex(info + 4, 4).c_str(), info[6]);
        lib.quva_CloseDevice(lib.ctx);
        return 0;
    });
}

int token_cmd(const Args &args, bool here = false) {
    return with_machine(args, "token cmd", here, [](Library &lib, Options &o) {
        DWORD code = 0, answer_length = 256;
        Bytes data;
        std::vector<std::string> words;
        for (size_t i = 0; i < o.rest.size(); ++i) {
            if (o.rest[i] == "--answer" && i + 1 < o.rest.size()) {
                if (!parse_number(o.rest[++i], &answer_length)) return usage_error("--answer needs a number");
            } else {
                words.push_back(o.rest[i]);
            }
        }
        if (words.empty() || words.size() > 2 || !parse_number(words[0], &code))
            return usage_error("token cmd needs a command code and, optionally, hex data");
        if (words.size() == 2 && !parse_hex(words[1], &data)) return usage_error("bad hex data");
        if (!open_token(lib, o)) return 1;
        Bytes answer(answer_length ? answer_length : 1);
        DWORD r = lib.quva_Command(lib.ctx, code, (DWORD)data.size(), data.empty() ? nullptr : data.data(),
                                   answer_length, answer_length ? answer.data() : nullptr);
        std::printf("command 0x%04lX (%zu data bytes): %s\n", (unsigned long)code, data.size(), status(r).c_str());
        if (r == QUVA_OK && answer_length) std::printf("answer: %s\n", hex(answer.data(), answer_length).c_str());
        lib.quva_CloseDevice(lib.ctx);
        return r == QUVA_OK ? 0 : 1;
    });
}

int token_apdu(const Args &args, bool here = false) {
    return with_machine(args, "token apdu", here, [](Library &lib, Options &o) {
        std::vector<Bytes> apdus;
        for (const std::string &w : o.rest) {
            Bytes a;
            if (!parse_hex(w, &a) || a.size() < 4) return usage_error("an APDU is 4 or more hex bytes: " + w);
            apdus.push_back(a);
        }
        if (apdus.empty()) return usage_error("token apdu needs one or more APDUs");
        if (!open_token(lib, o)) return 1;
        QUVA_ATR atr = {};
        DWORD r = lib.quva_ScardPowerUp(lib.ctx, 0, &atr);
        if (r != QUVA_OK) {
            std::printf("power-up: %s\n", status(r).c_str());
            lib.quva_CloseDevice(lib.ctx);
            return 1;
        }
        std::printf("power-up: ATR (%u bytes) %s, information field size %u\n", atr.length,
                    hex(atr.atr, atr.length).c_str(), atr.ifs);
        int failures = 0;
        for (const Bytes &a : apdus) {
            // CLA INS P1 P2, then Lc and data, then Le (00 meaning 256).
            DWORD lc = 0, le = 0;
            const BYTE *data = nullptr;
            if (a.size() == 5) {
                le = a[4] ? a[4] : 256;
            } else if (a.size() > 5) {
                lc = a[4];
                data = a.data() + 5;
                if (a.size() == 6 + lc)
                    le = a[5 + lc] ? a[5 + lc] : 256;
                else if (a.size() != 5 + lc)
                    return usage_error("the APDU's Lc does not match its data: " + hex(a.data(), a.size()));
            }
            Bytes response(256);
            DWORD count = 0;
            WORD sw = lib.quva_ScardExchange(lib.ctx, a[0], a[1], a[2], a[3], data, lc, response.data(), le, &count);
            std::printf("> %s\n< %s%sSW %04X\n", hex(a.data(), a.size()).c_str(), hex(response.data(), count).c_str(),
                        count ? " " : "", sw);
            failures += (sw & 0xFF00) == 0x9000 && sw != 0x9000;
        }
        lib.quva_ScardPowerDown(lib.ctx, 0);
        lib.quva_CloseDevice(lib.ctx);
        return failures ? 1 : 0;
    });
}

int token_led(const Args &args, bool here = false) {
    return with_machine(args, "token led", here, [](Library &lib, Options &o) {
        if (o.rest.size() != 1) return usage_error("token led needs on, off or a state number");
        DWORD state;
        if (o.rest[0] == "on")
            state = 1;
        else if (o.rest[0] == "off")
            state = 2;
        else if (!parse_number(o.rest[0], &state))
            return usage_error("token led needs on, off or a state number");
        if (!open_token(lib, o)) return 1;
        DWORD r = lib.quva_LedControl(lib.ctx, state);
        std::printf("LED state %lu: %s\n", (unsigned long)state, status(r).c_str());
        lib.quva_CloseDevice(lib.ctx);
        return r == QUVA_OK ? 0 : 1;
    });
}

int token_diagnose(const Args &args, bool here = false) {
    return with_machine(args, "token diagnose", here, [](Library &lib, Options &o) {
        if (!o.rest.empty()) return usage_error("token diagnose takes no more arguments");
        if (!open_token(lib, o)) return 1;
        WORD out[2] = {};
        DWORD r = lib.quva_Diagnose(lib.ctx, 0, out, sizeof out);
        std::printf("diagnose: %s\nvalue 0x%04X, hardware check %s\n", status(r).c_str(), out[0],
                    out[1] == 0xFFFF ? "passed" : ("failed, part " + std::to_string(out[1])).c_str());
        lib.quva_CloseDevice(lib.ctx);
        return r == QUVA_OK ? 0 : 1;
    });
}

int params(const Args &args, bool here = false);

} // namespace

int quvactl::token_command(const std::string &name, const Args &args) {
    if (name == "list") return token_list(args, true);
    if (name == "info") return token_info(args, true);
    if (name == "cmd") return token_cmd(args, true);
    if (name == "apdu") return token_apdu(args, true);
    if (name == "params") return params(args, true);
    return usage_error("no token command " + name);
}

namespace {

// ---- params: the values behind the reader-mode decision

struct Value {
    const char *option;
    const char *key;  // under HKLM
    const char *name;
};

const char k_component_key[] =
    "Software\\Vornel Technologies\\Quva\\Quva Components\\Quva Application Interfaces\\Quva B2 Token Library";

// Where each value lives on the machine's Windows version.
std::vector<Value> values_for(const winsim::Profile &p) {
    const char *params = nullptr, *devices_key = nullptr, *devices_name = "NumberOfDevices";
    if (p.nt() && p.major == 4) {
        params = "System\\CurrentControlSet\\Services\\usbqvtkn\\Parameters";
        devices_key = params;
    } else if (p.nt()) {
        params = "System\\CurrentControlSet\\Services\\qvatoken\\Parameters";
        devices_key = winsim::reg::key_exists("HKLM\\System\\CurrentControlSet\\Services\\quvaenum")
                          ? "System\\CurrentControlSet\\Services\\quvaenum"
                          : "System\\CurrentControlSet\\Services\\qvatoken";
    } else {
        params = "System\\CurrentControlSet\\Services\\qvatoken\\Parameters";
        devices_key = "System\\CurrentControlSet\\Services\\VXD\\QUVAVR9X";
        devices_name = "NumberOfReaders";
    }
    return {
        {"--use-rm", params, "UseRM"},
        {"--rm-mode", params, "RMMode"},
        {"--devices", devices_key, devices_name},
        {"--enable-pcsc", k_component_key, "EnablePCSC"},
    };
}

// `here`: on the machine already loaded, the arguments only options.
int params(const Args &args, bool here) {
    if (args.empty() && !here) return usage_error("params needs a machine directory");
    std::vector<std::pair<std::string, std::string>> sets;
    for (size_t i = here ? 0 : 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return usage_error(args[i] + " needs a value (a number, or none)");
        sets.push_back({args[i], args[i + 1]});
    }
    std::unique_ptr<winsim::Machine> loaded;
    if (!here && !(loaded = load_machine(args[0]))) return 1;
    winsim::Machine *m = here ? winsim::current_machine() : loaded.get();
    const std::vector<Value> values = values_for(m->profile());
    std::string text = "REGEDIT4\r\n\r\n";
    for (const auto &s : sets) {
        const Value *v = nullptr;
        for (const Value &candidate : values)
            if (s.first == candidate.option) v = &candidate;
        if (!v) return usage_error("unknown option " + s.first);
        DWORD number = 0;
        std::string line;
        if (s.second == "none") {
            line = std::string("\"") + v->name + "\"=-";
        } else if (parse_number(s.second, &number)) {
            char b[80];
            std::snprintf(b, sizeof b, "\"%s\"=dword:%08lx", v->name, (unsigned long)number);
            line = b;
        } else {
            return usage_error(s.first + " needs a number or none");
        }
        text += std::string("[HKEY_LOCAL_MACHINE\\") + v->key + "]\r\n" + line + "\r\n\r\n";
    }
    std::string error;
    if (!sets.empty() && !winsim::reg::import_text(text, &error)) {
        std::fprintf(stderr, "quvactl: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s:\n", m->profile().title);
    for (const Value &v : values) {
        DWORD type = 0;
        std::vector<BYTE> data;
        std::string shown = "(absent)";
        if (winsim::reg::value(std::string("HKLM\\") + v.key, v.name, &type, &data)) {
            DWORD n = 0;
            for (size_t i = 0; i < data.size() && i < 4; ++i) n |= (DWORD)data[i] << (8 * i);
            shown = std::to_string(n);
        }
        std::printf("  %-16s %-10s HKLM\\%s\n", v.name, shown.c_str(), v.key);
    }
    std::printf("  WINSCARD.DLL     %s\n", winsim::scard::library_installed() ? "present" : "absent");
    if (loaded) loaded->save();
    return 0;
}

const char k_select_help[] =
    "--serial picks the token by its serial number (as shown, 0807-0605-0403-0201, or\n"
    "as 16 hex digits in byte order); without it the first token is used.  The path\n"
    "(direct or resource manager) is the one the machine's reader-mode values choose:\n"
    "see 'quvactl params'.\n";

Register r0({"token list", "token list DIR", "enumerate the tokens through the token library",
             "Opens the first token, then the next ones, and shows each one's serial and\nname.\n",
             [](const Args &a) { return token_list(a); }});
Register r1({"token info", "token info DIR [--serial S]", "open a token and show its properties", k_select_help,
             [](const Args &a) { return token_info(a); }});
Register r2({"token cmd", "token cmd DIR [--serial S] CODE [HEXDATA] [--answer N]", "send one token command",
             std::string("Sends CODE with the data and reads up to N answer bytes (256 by default).\n") +
                 k_select_help,
             [](const Args &a) { return token_cmd(a); }});
Register r3({"token apdu", "token apdu DIR [--serial S] APDU...", "power up the card function and exchange APDUs",
             std::string("Each APDU in hex: CLA INS P1 P2 [Lc data] [Le], e.g. 00A40000023F00.\n") + k_select_help,
             [](const Args &a) { return token_apdu(a); }});
Register r4({"token led", "token led DIR [--serial S] on|off|STATE", "set a token's LED", k_select_help,
             [](const Args &a) { return token_led(a); }});
Register r5({"token diagnose", "token diagnose DIR [--serial S]", "run a token's self-test", k_select_help,
             [](const Args &a) { return token_diagnose(a); }});
Register r6({"params", "params DIR [--use-rm N] [--rm-mode N] [--devices N] [--enable-pcsc N]",
             "set and show the values that choose how the token library reaches tokens",
             "Each value is a number, or none to delete it.  --use-rm and --rm-mode are the\n"
             "driver's \"UseRM\" and \"RMMode\", --devices its device count (\"NumberOfDevices\",\n"
             "or \"NumberOfReaders\" on Windows 98/ME), --enable-pcsc the token library's\n"
             "\"EnablePCSC\" switch.  The token library reads them when it creates a context.\n",
             [](const Args &a) { return params(a); }});

} // namespace
