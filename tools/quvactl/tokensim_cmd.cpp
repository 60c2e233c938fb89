// quvactl token plug|unplug|driver, reader add|remove|list|virtual: the
// simulated tokens and smart-card readers of a machine.
#include "cli.h"

#include <winscard.h>
#include <winsim/sim.h>
#include <tokenmodel/token.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>

using namespace quvactl;

namespace {

bool parse_hex(const std::string &text, std::vector<BYTE> *out) {
    out->clear();
    std::string s;
    for (char c : text)
        if (c != ' ' && c != ':' && c != '-') s += c;
    if (s.size() % 2) return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        char *end = nullptr;
        std::string pair = s.substr(i, 2);
        unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (*end) return false;
        out->push_back((BYTE)v);
    }
    return true;
}

std::string hex(const BYTE *p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        s += b;
    }
    return s;
}

// Splits "DIR [more...] --opt value" into positional arguments and options.
bool split_args(const Args &args, const std::vector<std::string> &with_value, const std::vector<std::string> &flags,
                Args *positional, std::map<std::string, std::string> *options, std::string *error) {
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        if (a.rfind("--", 0) != 0) {
            positional->push_back(a);
            continue;
        }
        bool takes = false, known = false;
        for (auto &o : with_value) takes = takes || o == a;
        for (auto &o : flags) known = known || o == a;
        if (takes) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            (*options)[a] = args[++i];
        } else if (known) {
            (*options)[a] = "1";
        } else {
            *error = "unknown option " + a;
            return false;
        }
    }
    return true;
}

int token_plug(const Args &args) {
    Args pos;
    std::map<std::string, std::string> opt;
    std::string error;
    if (!split_args(args, {"--serial", "--name", "--atr", "--descriptor", "--slot"}, {"--no-card"}, &pos, &opt, &error))
        return usage_error(error);
    if (pos.size() != 1) return usage_error("token plug needs a machine directory");
    winsim::tokens::TokenSpec spec;
    if (opt.count("--serial") && (!parse_hex(opt["--serial"], &spec.serial) || spec.serial.size() != 8))
        return usage_error("--serial takes 16 hex digits");
    if (opt.count("--name")) {
        spec.name = opt["--name"];
        if (spec.name.size() > 32) return usage_error("--name takes at most 32 characters");
    }
    if (opt.count("--atr")) {
        const std::string &a = opt["--atr"];
        if (a == "short")
            spec.short_atr = true;
        else if (a != "long" && (!parse_hex(a, &spec.atr) || spec.atr.empty() || spec.atr.size() > 32))
            return usage_error("--atr takes short, long or 1 to 32 hex bytes");
    }
    if (opt.count("--descriptor") && (!parse_hex(opt["--descriptor"], &spec.descriptor) || spec.descriptor.size() > 64))
        return usage_error("--descriptor takes up to 64 hex bytes");
    if (opt.count("--slot")) spec.slot = std::atoi(opt["--slot"].c_str());
    spec.smart_card = !opt.count("--no-card");
    auto m = winsim::Machine::load(pos[0]);
    DWORD id = winsim::tokens::plug(spec);
    if (!id) {
        std::cerr << "quvactl: slot " << spec.slot << " already holds a token\n";
        return 1;
    }
    tokenmodel::Token *t = winsim::tokens::token(id);
    std::printf("plugged token %lu: slot %d, serial %s, ATR %u bytes\n", (unsigned long)id, winsim::tokens::slot(id),
                hex(t->serial(), 8).c_str(), (unsigned)t->atr_length());
    m->save();
    return 0;
}

int token_unplug(const Args &args) {
    if (args.size() != 2) return usage_error("token unplug needs a machine directory and a token id");
    auto m = winsim::Machine::load(args[0]);
    DWORD id = (DWORD)std::strtoul(args[1].c_str(), nullptr, 10);
    if (!winsim::tokens::unplug(id)) {
        std::cerr << "quvactl: no token " << args[1] << " is plugged in\n";
        return 1;
    }
    std::printf("unplugged token %lu\n", (unsigned long)id);
    m->save();
    return 0;
}

int token_driver(const Args &args) {
    if (args.size() != 2 || (args[1] != "on" && args[1] != "off"))
        return usage_error("token driver needs a machine directory and on or off");
    auto m = winsim::Machine::load(args[0]);
    winsim::tokens::set_driver_present(args[1] == "on");
    std::printf("token driver %s\n", args[1] == "on" ? "loaded" : "not loaded");
    m->save();
    return 0;
}

int reader_add(const Args &args) {
    Args pos;
    std::map<std::string, std::string> opt;
    std::string error;
    if (!split_args(args, {"--atr"}, {"--t1", "--introduce"}, &pos, &opt, &error)) return usage_error(error);
    if (pos.size() != 2) return usage_error("reader add needs a machine directory and a reader name");
    winsim::scard::ReaderSpec spec;
    spec.name = pos[1];
    if (opt.count("--atr") && (!parse_hex(opt["--atr"], &spec.atr) || spec.atr.empty() || spec.atr.size() > 32))
        return usage_error("--atr takes 1 to 32 hex bytes");
    spec.protocols = opt.count("--t1") ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    spec.introduce = opt.count("--introduce") != 0;
    auto m = winsim::Machine::load(pos[0]);
    if (!winsim::scard::add_reader(spec)) {
        std::cerr << "quvactl: a reader named \"" << spec.name << "\" is already attached\n";
        return 1;
    }
    std::printf("attached reader \"%s\"%s\n", spec.name.c_str(), spec.atr.empty() ? "" : " with a card");
    m->save();
    return 0;
}

int reader_remove(const Args &args) {
    if (args.size() != 2) return usage_error("reader remove needs a machine directory and a reader name");
    auto m = winsim::Machine::load(args[0]);
    if (!winsim::scard::remove_reader(args[1])) {
        std::cerr << "quvactl: no reader named \"" << args[1] << "\" is attached\n";
        return 1;
    }
    std::printf("detached reader \"%s\"\n", args[1].c_str());
    m->save();
    return 0;
}

int reader_virtual(const Args &args) {
    if (args.size() != 2) return usage_error("reader virtual needs a machine directory and a count (or auto)");
    auto m = winsim::Machine::load(args[0]);
    winsim::scard::set_virtual_readers(args[1] == "auto" ? -1 : std::atoi(args[1].c_str()));
    std::printf("%d virtual reader(s)\n", winsim::scard::virtual_readers());
    m->save();
    return 0;
}

int reader_list(const Args &args) {
    if (args.size() != 1) return usage_error("reader list needs a machine directory");
    auto m = winsim::Machine::load(args[0]);
    if (!winsim::scard::library_installed()) std::printf("(no WINSCARD.DLL on this machine)\n");
    if (!winsim::scard::service_running()) std::printf("(the smart-card service is not running)\n");
    SCARDCONTEXT c = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &c) != SCARD_S_SUCCESS) return 1;
    auto names = winsim::scard::reader_names();
    if (names.empty()) std::printf("no readers\n");
    for (auto &n : names) {
        SCARD_READERSTATEA s{};
        s.szReader = n.c_str();
        SCardGetStatusChangeA(c, 0, &s, 1);
        DWORD e = s.dwEventState;
        const char *what = (e & SCARD_STATE_UNAVAILABLE) ? "unavailable"
                           : (e & SCARD_STATE_PRESENT)   ? ((e & SCARD_STATE_INUSE) ? "card, in use" : "card")
                                                         : "empty";
        std::printf("%-44s %-14s %s\n", n.c_str(), what, s.cbAtr ? hex(s.rgbAtr, s.cbAtr).c_str() : "");
    }
    SCardReleaseContext(c);
    return 0;
}

int reader_service(const Args &args) {
    if (args.size() != 2 || (args[1] != "on" && args[1] != "off"))
        return usage_error("reader service needs a machine directory and on or off");
    auto m = winsim::Machine::load(args[0]);
    winsim::scard::set_service_running(args[1] == "on");
    std::printf("smart-card service %s\n", args[1] == "on" ? "running" : "stopped");
    m->save();
    return 0;
}

int reader_winscard(const Args &args) {
    if (args.size() != 2 || (args[1] != "on" && args[1] != "off"))
        return usage_error("reader winscard needs a machine directory and on or off");
    auto m = winsim::Machine::load(args[0]);
    winsim::scard::install_library(args[1] == "on");
    std::printf("WINSCARD.DLL %s\n", winsim::scard::library_installed() ? "installed" : "removed");
    m->save();
    return 0;
}

Register r1({"token plug", "token plug DIR [OPTIONS]", "plug a simulated token into the machine",
             "  --serial HEX16     the token's 8-byte serial (default 51560000 and the token id)\n"
             "  --name NAME        its name, up to 32 characters\n"
             "  --atr short|long|HEX  the 9- or 25-byte ATR, or any other (default long)\n"
             "  --descriptor HEX   raw device descriptor bytes, valid or not (default: a valid one)\n"
             "  --slot N           virtual reader it appears in (default: the lowest free one)\n"
             "  --no-card          a token without the smart-card function\n"
             "Prints the token id the driver gave it.\n",
             token_plug});
Register r2({"token unplug", "token unplug DIR N", "pull token N out of the machine", "", token_unplug});
Register r3({"token driver", "token driver DIR on|off", "load or unload the simulated token driver",
             "Without it \"\\\\.\\QUVADRVR\" does not open and no virtual readers exist.\n", token_driver});
Register r4({"reader add", "reader add DIR NAME [--atr HEX] [--t1] [--introduce]",
             "attach a physical smart-card reader, with a foreign card when --atr is given",
             "  --t1         the card speaks T=1 (default T=0)\n"
             "  --introduce  also record the reader under the Calais readers key\n",
             reader_add});
Register r5({"reader remove", "reader remove DIR NAME", "detach a physical reader", "", reader_remove});
Register r6({"reader virtual", "reader virtual DIR N|auto", "set how many virtual readers the driver presents",
             "auto follows the driver parameters (NumberOfDevices or NumberOfReaders).\n", reader_virtual});
Register r7({"reader list", "reader list DIR", "list the smart-card readers with their cards", "", reader_list});
Register r8({"reader service", "reader service DIR on|off", "start or stop the smart-card service",
             "A stopped service makes SCardEstablishContext answer SCARD_E_NO_SERVICE.\n", reader_service});
Register r9({"reader winscard", "reader winscard DIR on|off", "put WINSCARD.DLL on the machine or take it away",
             "It goes to the system directory (Windows\\System on 9x); new 2000/XP machines have it.\n",
             reader_winscard});

} // namespace
