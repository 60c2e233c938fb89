// quvactl driver status|params: what the driver installer library finds on a
// machine, and the driver parameters it stores.
#include "installer_lib.h"
#include "internal.h"
#include "quvadi.h"

#include <vector>

using namespace quvactl;

namespace {

// The platform class every installer operation works out for itself.
std::string platform_class() {
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    if (!GetVersionExA(&v)) return "unknown (GetVersionExA failed)";
    if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return v.dwMajorVersion < 4 || (v.dwMajorVersion == 4 && v.dwMinorVersion == 0) ? "PLATFORM_9X, Windows 95"
                                                                                         : "PLATFORM_9X, Windows 98/ME";
    if (v.dwPlatformId == VER_PLATFORM_WIN32_NT)
        return v.dwMajorVersion == 4 ? "PLATFORM_NT4" : v.dwMajorVersion > 4 ? "PLATFORM_NT5" : "NT before 4.0";
    return "other platform " + std::to_string(v.dwPlatformId);
}

std::string version_text(DWORD v) {
    if (v == 0) return "none (0)";
    if (v == 0xFFFFFFFF) return "platform not classified (0xFFFFFFFF)";
    return packed_version(v);
}

int driver_status(const Args &args) {
    if (args.size() != 1) return usage_error("driver status needs a machine directory");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    Installer lib;
    if (!lib.ok()) return 1;
    const winsim::Profile &p = m->profile();
    std::printf("%-24s %s (%lu.%lu): %s\n", "machine", p.title, (unsigned long)p.major, (unsigned long)p.minor,
                platform_class().c_str());
    const char *const missing = "(not in this library)";
    struct Query {
        const char *label, *name;
    };
    const Query yes_no_queries[] = {
        {"Plug and Play install", "quvaDI_IsPnPDriver"},
        {"USB supported", "quvaDI_IsUSBSupported"},
        {"NT 4.0 USB stack alone", "quvaDI_IsNtUsbStackInstalled"},
        {"driver stack installed", "quvaDI_IsDriverInstalled"},
        {"marked for deletion", "quvaDI_IsDriverMarkedForDeletion"},
    };
    for (const Query &q : yes_no_queries) {
        auto f = lib.fn<BOOL(WINAPI *)(void)>(q.name);
        std::printf("%-24s %s\n", q.label, f ? yes_no(f()) : missing);
    }
    // The record quvaDI_IsDriverInstalled leaves for the install dispatcher,
    // from the tool's own copy of the inventory code.
    quvaDI_IsDriverInstalled();
    const QuvadiInventory &inv = quvadi_inventory;
    std::printf("%-24s virtual-reader stack %lu, USB-class token %lu, legacy reader token %lu,\n"
                "%-24s token-class device %lu, last file found %ld\n",
                "inventory record", (unsigned long)inv.VirtualReaderStack, (unsigned long)inv.UsbClassToken,
                (unsigned long)inv.LegacyReaderToken, "", (unsigned long)inv.TokenClassDevice,
                (long)(LONG)inv.LastFileFound);
    if (auto count = lib.fn<BOOL(WINAPI *)(LPDWORD, LPDWORD)>("quvaDI_CountDevices")) {
        DWORD present = 0, registered = 0;
        SetLastError(0xDEADBEEF);
        if (count(&present, &registered))
            std::printf("%-24s %lu present, %lu registered\n", "token devices", (unsigned long)present,
                        (unsigned long)registered);
        else
            std::printf("%-24s not counted, last error %s\n", "token devices", lib.error(GetLastError()).c_str());
    } else {
        std::printf("%-24s %s\n", "token devices", missing);
    }
    const Query versions[] = {
        {"driver file version", "quvaDI_GetDriverVersion"},
        {"driver package version", "quvaDI_GetDriverInstallerVersion"},
        {"installer library", "quvaDI_GetLibVersion"},
    };
    for (const Query &q : versions) {
        auto f = lib.fn<DWORD(WINAPI *)(void)>(q.name);
        std::printf("%-24s %s\n", q.label, f ? version_text(f()).c_str() : missing);
    }
    return 0;
}

// ---- params

struct Stored {
    BOOL ok = FALSE;
    DWORD error = 0, flags = 0, use_rm = 0, readers = 0, rm_mode = 0;
};

Stored read_params(const Installer &lib) {
    Stored s;
    auto get = lib.fn<BOOL(WINAPI *)(LPDWORD, LPDWORD, LPDWORD, LPDWORD)>("quvaDI_GetDriverParams");
    if (!get) return s;
    SetLastError(0xDEADBEEF);
    s.ok = get(&s.flags, &s.use_rm, &s.readers, &s.rm_mode);
    s.error = GetLastError();
    return s;
}

void print_params(const Installer &lib) {
    Stored s = read_params(lib);
    if (!s.ok) {
        std::printf("quvaDI_GetDriverParams: FALSE, last error %s\n", lib.error(s.error).c_str());
        return;
    }
    std::printf("stored: UseRM %lu, virtual readers %lu, RMMode %lu, DriverFlags 0x%lX\n", (unsigned long)s.use_rm,
                (unsigned long)s.readers, (unsigned long)s.rm_mode, (unsigned long)s.flags);
}

void print_led(const Installer &lib) {
    auto get = lib.fn<BOOL(WINAPI *)(LPLONG, LPLONG)>("quvaDI_GetDriverLedParams");
    LONG cycle = 0, duration = 0;
    SetLastError(0xDEADBEEF);
    if (get && get(&cycle, &duration))
        std::printf("LED: FlashLedCycle %ld, FlashLedDuration %ld%s\n", (long)cycle, (long)duration,
                    cycle == 0 ? " (no flashing)" : "");
    else
        std::printf("quvaDI_GetDriverLedParams: FALSE, last error %s\n", lib.error(GetLastError()).c_str());
}

// What bounds the reader count on this machine.
void print_limits(const Installer &lib, const winsim::Profile &p) {
    auto physical = lib.fn<DWORD(WINAPI *)(void)>("quvaDI_IsNonVrReaderInstalled");
    DWORD n = physical ? physical() : 0;
    const char *limit = !p.nt()          ? "at most 10 virtual readers, none beside a physical reader"
                        : p.major == 4   ? "10 readers in all"
                        : p.major >= 5   ? "32 readers in all"
                                         : "no driver parameters";
    if (!p.nt() && p.minor == 0) limit = "no driver parameters";
    std::printf("%s: %lu live physical reader(s); %s\n", p.title, (unsigned long)n, limit);
}

int params_get(const Args &args) {
    if (args.size() != 1) return usage_error("driver params get needs a machine directory");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    Installer lib;
    if (!lib.ok()) return 1;
    print_params(lib);
    print_led(lib);
    return 0;
}

int params_set(const Args &args) {
    std::string dir;
    DWORD values[3] = {0, 0, 0}; // flags, use-rm, readers
    const char *const options[] = {"--flags", "--use-rm", "--readers"};
    for (size_t i = 0; i < args.size(); i++) {
        int which = -1;
        for (int o = 0; o < 3; o++)
            if (args[i] == options[o]) which = o;
        if (which >= 0) {
            if (i + 1 >= args.size() || !parse_dword(args[++i], &values[which]))
                return usage_error(std::string(options[which]) + " needs a number (decimal or 0x hex)");
        } else if (args[i].rfind("--", 0) == 0) {
            return usage_error("unknown option " + args[i]);
        } else if (dir.empty()) {
            dir = args[i];
        } else {
            return usage_error("driver params set takes one machine directory");
        }
    }
    if (dir.empty()) return usage_error("driver params set needs a machine directory");
    auto m = load_machine(dir);
    if (!m) return 1;
    int rc;
    {
        Installer lib;
        auto set = lib.fn<BOOL(WINAPI *)(DWORD, DWORD, DWORD)>("quvaDI_SetDriverParams");
        if (!set) return 1;
        print_limits(lib, m->profile());
        SetLastError(0);
        BOOL ok = set(values[0], values[1], values[2]);
        DWORD error = GetLastError();
        std::printf("quvaDI_SetDriverParams(flags 0x%lX, use-rm %lu, readers %lu): %s", (unsigned long)values[0],
                    (unsigned long)values[1], (unsigned long)values[2], ok ? "TRUE\n" : "FALSE");
        if (!ok) std::printf(", last error %s\n", lib.error(error).c_str());
        print_params(lib);
        rc = ok ? 0 : 1;
    }
    m->save();
    return rc;
}

int params_led(const Args &args) {
    if (args.size() != 1 && args.size() != 3)
        return usage_error("driver params led needs a machine directory and, to set them, CYCLE DURATION");
    DWORD cycle = 0, duration = 0;
    if (args.size() == 3 && (!parse_dword(args[1], &cycle, true) || !parse_dword(args[2], &duration, true)))
        return usage_error("CYCLE and DURATION are numbers (-1 asks for the defaults)");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    int rc = 0;
    {
        Installer lib;
        if (!lib.ok()) return 1;
        if (args.size() == 3) {
            auto set = lib.fn<BOOL(WINAPI *)(LONG, LONG)>("quvaDI_SetDriverLedParams");
            SetLastError(0);
            BOOL ok = set && set((LONG)cycle, (LONG)duration);
            DWORD error = GetLastError();
            std::printf("quvaDI_SetDriverLedParams(%ld, %ld): %s", (long)(LONG)cycle, (long)(LONG)duration,
                        ok ? "TRUE\n" : "FALSE");
            if (!ok) std::printf(", last error %s\n", lib.error(error).c_str());
            rc = ok ? 0 : 1;
        }
        print_led(lib);
    }
    m->save();
    return rc;
}

int driver_params(const Args &args) {
    if (args.empty()) return usage_error("driver params needs get, set or led");
    Args rest(args.begin() + 1, args.end());
    if (args[0] == "get") return params_get(rest);
    if (args[0] == "set") return params_set(rest);
    if (args[0] == "led") return params_led(rest);
    return usage_error("driver params needs get, set or led, not '" + args[0] + "'");
}

Register r1({"driver status", "driver status DIR", "what the installer library finds: platform, stack, devices, versions",
             "Platform class, Plug and Play and USB support, whether this platform's driver stack\n"
             "is installed or marked for deletion, the token devices present and registered,\n"
             "and the driver file, driver package and installer library versions.\n",
             driver_status});
Register r2({"driver params", "driver params get|set|led DIR [...]", "read and store the driver parameters",
             "  driver params get DIR\n"
             "      what quvaDI_GetDriverParams and quvaDI_GetDriverLedParams read back\n"
             "  driver params set DIR [--use-rm U] [--readers N] [--flags F]   (each 0 by default)\n"
             "      quvaDI_SetDriverParams: a count without the flag raises the flag and the flag\n"
             "      without a count asks for one reader; physical plus virtual readers stay within\n"
             "      32 (2000/XP) or 10 (NT 4.0); 98/ME allows 10 virtual readers, none beside a\n"
             "      physical one.  --flags reaches the 2000/XP driver only.\n"
             "  driver params led DIR [CYCLE DURATION]\n"
             "      quvaDI_SetDriverLedParams: 0 in either stops the flashing, -1 asks for the\n"
             "      defaults 3 and 30, the rest is kept within 0..255\n",
             driver_params});

} // namespace
