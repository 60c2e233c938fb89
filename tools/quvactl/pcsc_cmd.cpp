// quvactl pcsc status|fix: the smart-card subsystem as the driver installer
// library sees it, and its repair.
#include "installer_lib.h"

#include <cstring>
#include <vector>

using namespace quvactl;

namespace {

// The "Start" of a smart-card service key, as the repair looks at it.
std::string service_start(const char *service) {
    std::string key = std::string("HKLM\\System\\CurrentControlSet\\Services\\") + service;
    if (!winsim::reg::key_exists(key)) return "no key";
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(key, "Start", &type, &data)) return "no Start value";
    DWORD v = 0;
    std::memcpy(&v, data.data(), data.size() < 4 ? data.size() : 4);
    static const char *const names[] = {"boot", "system", "auto", "demand", "disabled"};
    return "Start " + std::to_string(v) + (v < 5 ? std::string(" (") + names[v] + ")" : "");
}

void print_service_keys(const winsim::Profile &p) {
    if (!p.nt() || p.major < 5) return;
    std::printf("%-26s %s\n", "SCardDrv service key", service_start("SCardDrv").c_str());
    std::printf("%-26s %s\n", "SCardSvr service key", service_start("SCardSvr").c_str());
}

int pcsc_status(const Args &args) {
    if (args.size() != 1) return usage_error("pcsc status needs a machine directory");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    Installer lib;
    if (!lib.ok()) return 1;
    struct Query {
        const char *label, *name;
    };
    const Query yes_no_queries[] = {
        {"PC/SC supported", "quvaDI_IsPcScSupported"},
        {"PC/SC installed", "quvaDI_IsPcScInstalled"},
        {"smart-card driver library", "quvaDI_IsPcScDriverInstalled"},
        {"PC/SC enabled", "quvaDI_IsPcScEnabled"},
        {"virtual readers supported", "quvaDI_IsVrSupported"},
        {"virtual readers enabled", "quvaDI_IsVrEnabled"},
    };
    std::printf("%s\n", m->profile().title);
    for (const Query &q : yes_no_queries) {
        auto f = lib.fn<BOOL(WINAPI *)(void)>(q.name);
        std::printf("%-26s %s\n", q.label, f ? yes_no(f()) : "(not in this library)");
    }
    const Query counts[] = {
        {"live virtual readers", "quvaDI_IsVrReaderInstalled"},
        {"live physical readers", "quvaDI_IsNonVrReaderInstalled"},
    };
    for (const Query &q : counts) {
        auto f = lib.fn<DWORD(WINAPI *)(void)>(q.name);
        std::printf("%-26s %s\n", q.label, f ? std::to_string(f()).c_str() : "(not in this library)");
    }
    print_service_keys(m->profile());
    return 0;
}

int pcsc_fix(const Args &args) {
    if (args.size() != 1) return usage_error("pcsc fix needs a machine directory");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    // The system's own repair program, as Windows 2000/XP ship it.
    if (m->profile().nt() && m->profile().major >= 5) winsim::pcsc::install_repair_program();
    print_service_keys(m->profile());
    int rc;
    {
        Installer lib;
        auto fix = lib.fn<BOOL(WINAPI *)(void)>("quvaDI_CheckAndFixPCSC");
        if (!fix) return 1;
        size_t before = winsim::processes::history().size();
        BOOL restart = fix();
        auto runs = winsim::processes::history();
        std::printf("quvaDI_CheckAndFixPCSC: %s\n", restart ? "TRUE (restart the machine)" : "FALSE (no restart needed)");
        if (runs.size() == before) std::printf("nothing was run\n");
        for (size_t i = before; i < runs.size(); i++)
            std::printf("ran %s: exit code %lu\n", runs[i].command_line.c_str(), (unsigned long)runs[i].exit_code);
        print_service_keys(m->profile());
        if (m->profile().nt())
            std::printf("%-26s %s\n", "SCardSvr now",
                        winsim::services::state("SCardSvr") == SERVICE_RUNNING ? "running" : "not running");
        rc = 0;
    }
    m->save();
    return rc;
}

Register r1({"pcsc status", "pcsc status DIR", "what the installer library finds of PC/SC and the readers",
             "The answers of quvaDI_IsPcScSupported, ..._IsPcScInstalled, ..._IsPcScDriverInstalled,\n"
             "..._IsPcScEnabled, ..._IsVrSupported, ..._IsVrEnabled and the two live reader counts;\n"
             "on Windows 2000/XP also the \"Start\" of the two smart-card service keys.\n",
             pcsc_status});
Register r2({"pcsc fix", "pcsc fix DIR", "check and repair the smart-card service (quvaDI_CheckAndFixPCSC)",
             "Windows 2000/XP only: when the \"SCardDrv\" or \"SCardSvr\" service key lacks its\n"
             "\"Start\", the library disables and stops the service, runs \"SCardSvr.exe REINSTALL\"\n"
             "from the system directory, makes the service automatic and starts it.  Prints\n"
             "what ran and whether the machine must restart.\n",
             pcsc_fix});

} // namespace
