// quvactl life: the kit's whole life on a new machine, from the driver
// install to its removal, each step with what it changed, and at the end
// what the removal left of it.
#include "installer_lib.h"
#include "machine_diff.h"
#include "operations.h"

#include <strings.h>

#include <cstring>
#include <filesystem>
#include <functional>

using namespace quvactl;

namespace {

const char k_token_hwid[] = "USB\\VID_1F3C&PID_1000";

struct TokenPlan {
    const char *name, *serial_bytes, *serial_shown;
};
// Two tokens; the second is the one chosen and used, the first is pulled out.
const TokenPlan k_tokens[2] = {{"Alice", "0102030405060708", "0807-0605-0403-0201"},
                               {"Bob", "1112131415161718", "1817-1615-1413-1211"}};

// What the removal leaves on purpose, and what Windows itself keeps once a
// device came, recognised in the lines of the diff between the machine
// before the install and after the removal.
struct Keep {
    bool windows; // Windows' own, not the kit's
    const char *why;
};
const Keep k_resource_manager = {
    false, "the smart-card resource manager's start (SCardSvr): with no other reader installed the removal sets "
           "manual start (2000/XP) or error control 0 (NT 4.0), not what was there before the install"};
const Keep k_card_driver = {false, "the system's smart-card driver stays on demand start (SCardDrv), where the "
                                   "removal puts it"};
const Keep k_source_path = {false, "\"SourcePath\" under Software\\Microsoft\\Windows\\CurrentVersion\\Setup: the "
                                   "9x removal deletes the value, also when Windows had one before the install"};
const Keep k_catalog = {false, "the catalog the setup engine filed for the OEM INF under system32\\CatRoot: the "
                               "removal deletes oemN.inf and oemN.pnf itself, not through the setup engine, so the "
                               "catalog stays"};
const Keep k_class = {true, "setup class keys (Control\\Class\\{GUID}, on 9x Services\\Class\\NAME, with the "
                            "\"Class\" name) that Windows makes for the first device of a class and keeps"};
const Keep k_legacy = {false, "the Enum\\Root\\LEGACY_<SERVICE> keys NT 4.0 made when it started each legacy "
                              "driver: the removal does not touch them, and the next install reads LEGACY_USBQVTKN "
                              "as the trace of an earlier installation and runs the removal again first"};
const Keep k_container = {true, "empty device-tree keys (Enum\\..., Hardware Profiles\\...) that Windows makes for "
                                "the first device under them and keeps"};

bool contains_nocase(const std::string &text, const char *part) {
    size_t n = std::strlen(part);
    for (size_t i = 0; i + n <= text.size(); i++)
        if (strncasecmp(text.c_str() + i, part, n) == 0) return true;
    return false;
}

bool starts_with_nocase(const std::string &text, const std::string &prefix) {
    return text.size() >= prefix.size() && strncasecmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

// A setup class key and nothing below it: "...\\Control\\Class\\{GUID}", or
// "...\\Services\\Class\\NAME" on Windows 9x.
bool class_key(const std::string &path) {
    for (const char *parent : {"\\Control\\Class\\{", "\\Services\\Class\\"}) {
        size_t at = path.rfind(parent);
        if (at != std::string::npos && path.find('\\', at + std::strlen(parent)) == std::string::npos) return true;
    }
    return false;
}

// A key of the device tree above the device instances: "Enum\\USB",
// "Enum\\ROOT\\SMARTCARDREADER", "Hardware Profiles\\0001\\System".  An
// instance key (and what is below it) is never one.
bool container_key(const std::string &path) {
    size_t at = std::string::npos;
    for (size_t i = 0; (i = path.find('\\', i)) != std::string::npos; i++)
        if (strncasecmp(path.c_str() + i, "\\Enum", 5) == 0 && (i + 5 == path.size() || path[i + 5] == '\\')) at = i;
    if (at == std::string::npos) return contains_nocase(path, "\\Hardware Profiles\\");
    int parts = 0;
    for (size_t i = at + 5; i < path.size(); i++) parts += path[i] == '\\';
    return parts <= 2;
}

const Keep *keep_for(const std::string &line, const std::vector<std::string> &all) {
    if (contains_nocase(line, "SCardSvr")) return &k_resource_manager;
    if (contains_nocase(line, "SCardDrv")) return &k_card_driver;
    if (contains_nocase(line, "\\CurrentVersion\\Setup\\SourcePath")) return &k_source_path;
    if (line.rfind("+ file ", 0) == 0 && contains_nocase(line, "\\CatRoot\\")) return &k_catalog;
    if (contains_nocase(line, "\\LEGACY_")) return &k_legacy;
    if (line.rfind("+ key ", 0) == 0) {
        std::string key = line.substr(6);
        if (class_key(key)) return &k_class;
        // A container: nothing was added below it but what is kept anyway.
        bool empty = true;
        for (const std::string &l : all)
            if (l.rfind("+ value ", 0) == 0 && starts_with_nocase(l.substr(8), key + "\\") && !keep_for(l, all))
                empty = false;
        if (empty && container_key(key)) return &k_container;
    }
    if (line.rfind("+ value ", 0) == 0) {
        size_t eq = line.find(" = ");
        std::string name = line.substr(8, eq == std::string::npos ? std::string::npos : eq - 8);
        size_t slash = name.rfind('\\');
        if (slash != std::string::npos && class_key(name.substr(0, slash)) &&
            strcasecmp(name.c_str() + slash + 1, "Class") == 0)
            return &k_class;
    }
    return nullptr;
}

struct Life {
    bool full = false;
    int step = 0, failures = 0;

    // One step: its title, its own output, and what it changed (unless the
    // operation prints that itself).
    void run(const std::string &title, const std::function<int()> &body, bool prints_changes = false) {
        std::printf("\n--- %d. %s\n", ++step, title.c_str());
        std::fflush(stdout);
        OperationDiff changes;
        int rc = body();
        if (rc != 0) {
            failures++;
            std::printf("(this step failed: exit code %d)\n", rc);
        }
        if (!prints_changes) {
            std::printf("changes:\n");
            print_diff_lines(full ? changes.lines() : compact_diff(changes.lines()));
        }
        std::fflush(stdout);
    }
};

// The token library's second name in the system directory: copied in when
// absent, as the application that installs the driver has it.
int place_libraries() {
    char dir[MAX_PATH] = "";
    GetSystemDirectoryA(dir, sizeof dir);
    // The dialogs library binds the token library under this name.
    const char *const images[][2] = {{"QuvaAPI", "QUVAB2"}};
    int missing = 0;
    for (const auto &i : images) {
        HMODULE h = LoadLibraryA(i[0]);
        if (!h) {
            winsim::disk::install_library(std::string(dir) + "\\" + i[0] + ".DLL", i[1]);
            h = LoadLibraryA(i[0]);
        }
        if (h) {
            std::printf("%s\\%s.DLL (the token library, as the dialogs library binds it)\n", dir, i[0]);
            FreeLibrary(h);
        } else {
            std::printf("%s does not load\n", i[0]);
            missing++;
        }
    }
    return missing ? 1 : 0;
}

// Setup's exit codes 0 (done) and 1 (done, restart) are success.
int setup_ran(int code) { return code == 0 || code == 1 ? 0 : 1; }

// `pnp`: the platform makes a USB device node for each (not NT 4.0, where
// only the token driver knows the tokens).
int plug_tokens(DWORD ids[2], bool pnp) {
    for (int i = 0; i < 2; i++) {
        winsim::tokens::TokenSpec spec;
        spec.name = k_tokens[i].name;
        parse_hex(k_tokens[i].serial_bytes, &spec.serial);
        ids[i] = winsim::tokens::plug(spec);
        std::string node = pnp ? winsim::devices::plug(k_token_hwid) : "";
        std::string shown = !pnp ? "no device node (no Plug and Play)" : node.empty() ? "no USB node" : "USB node " + node;
        std::printf("token \"%s\" (serial %s) plugged in: token %lu, %s\n", spec.name.c_str(),
                    k_tokens[i].serial_shown, (unsigned long)ids[i], shown.c_str());
        if (!ids[i]) return 1;
    }
    return 0;
}

int pull_token(DWORD id, bool pnp) {
    bool token = winsim::tokens::unplug(id);
    bool node = pnp && winsim::devices::unplug(k_token_hwid);
    std::printf("token %lu pulled out%s\n", (unsigned long)id, node ? "; its USB node stays registered" : "");
    return token ? 0 : 1;
}

// The end: the whole life's diff, split into what is kept on purpose and what
// should not be there.
int judge(const winsim::snapshots::State &before) {
    std::vector<std::string> lines = winsim::snapshots::diff(before, winsim::snapshots::take());
    std::vector<std::string> unexpected;
    std::vector<const Keep *> reasons;
    std::printf("changes since just before the install:\n");
    print_diff_lines(lines);
    for (const std::string &l : lines) {
        const Keep *k = keep_for(l, lines);
        if (!k) {
            unexpected.push_back(l);
            continue;
        }
        bool told = false;
        for (const Keep *r : reasons) told |= r == k;
        if (!told) reasons.push_back(k);
    }
    if (reasons.empty() && unexpected.empty()) std::printf("\nthe machine is exactly as it was before the install\n");
    for (bool windows : {false, true}) {
        bool heading = false;
        for (const Keep *r : reasons) {
            if (r->windows != windows) continue;
            if (!heading)
                std::printf(windows ? "\nWindows' own, kept by Windows:\n" : "\nwhat the removal keeps on purpose:\n");
            heading = true;
            std::printf("  - %s\n", r->why);
        }
    }
    if (!unexpected.empty()) {
        std::printf("\nNOT as before the install (%zu line(s)):\n", unexpected.size());
        print_diff_lines(unexpected);
        return 1;
    }
    if (!reasons.empty()) std::printf("apart from that, the machine is as it was before the install\n");
    return 0;
}

int life(const Args &args) {
    std::string dir, os, via;
    bool full = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        if (a == "--os" && i + 1 < args.size()) os = args[++i];
        else if (a == "--via" && i + 1 < args.size()) via = args[++i];
        else if (a == "--full-diff") full = true;
        else if (a.rfind("--", 0) == 0) return usage_error("unknown option " + a + " (or it lacks its value)");
        else if (dir.empty()) dir = a;
        else return usage_error("life takes one machine directory");
    }
    if (dir.empty() || os.empty()) return usage_error("life needs a directory for the new machine and --os");
    const winsim::Profile *p = winsim::find_profile(os);
    if (!p || (os != "xp" && os != "2000" && os != "nt4" && os != "98" && os != "me" && os != "95"))
        return usage_error("life runs on xp, 2000, nt4, 98, me or 95, not '" + os + "'");
    if (!via.empty() && (via != "setup" || os != "nt4"))
        return usage_error("--via setup is the NT 4.0 setup program: only with --os nt4");
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::path(dir) / "machine.ini", ec)) {
        std::cerr << "quvactl: " << dir << " already holds a machine; life starts on a new one\n";
        return 1;
    }

    auto m = winsim::Machine::create(dir, p->os);
    const std::string package = package_folder(package_platform(*p));
    const bool setup = via == "setup";
    std::printf("the life of the kit on a new %s machine in %s\n", p->title, m->dir().c_str());
    std::printf("driver installed and removed %s\n",
                setup ? "by the NT 4.0 setup program (setup /q, setup /q /u)"
                      : ("by the installer library, from " + package).c_str());

    Life life;
    life.full = full;
    life.run("The application's libraries are on the machine, registered", [] {
        int rc = place_libraries();
        return rc | register_libraries();
    });
    life.run("The application turns on the token library's PC/SC path (EnablePCSC)",
             [] { return token_command("params", {"--enable-pcsc", "1"}); });
    winsim::snapshots::State before = winsim::snapshots::take();

    if (setup) {
        life.run("Install: setup /q", [] { return setup_ran(run_setup(" /q")); });
    } else {
        life.run("Install from the driver package", [&] {
            InstallRequest r;
            r.package = package;
            r.full_diff = full;
            r.readers = 2;
            return install_driver(r);
        }, true);
    }
    DWORD ids[2] = {0, 0};
    const bool pnp = !(p->nt() && p->major == 4);
    life.run("Two tokens are plugged in", [&] { return plug_tokens(ids, pnp); });
    life.run("The token library enumerates them", [] { return token_command("list", {}); });
    life.run("The selection dialog: the user picks Bob", [] {
        return show_dialog(DialogKind::Select, {"--answer", "select:Bob", "--answer", "ok"});
    });
    std::string chosen = k_tokens[1].serial_shown;
    life.run("The PIN dialog for Bob's token", [&] {
        return show_dialog(DialogKind::Pin, {"--kind", "user", "--class", "numeric", "--min", "4", "--token", chosen,
                                             "--answer", "type:3104=1234", "--answer", "ok"});
    });
    life.run("Commands and APDUs to Bob's token", [&] {
        int rc = token_command("info", {"--serial", chosen});
        rc |= token_command("cmd", {"--serial", chosen, "0x120", "--answer", "8"});
        rc |= token_command("apdu", {"--serial", chosen, "00A40000023F00", "0084000008"});
        return rc;
    });
    life.run("Alice's token is pulled out", [&] {
        int rc = pull_token(ids[0], pnp);
        return rc | token_command("list", {});
    });
    if (setup)
        life.run("Removal: setup /q /u", [] { return setup_ran(run_setup(" /q /u")); });
    else
        life.run("Removal", [&] { return uninstall_driver(full); }, true);
    life.run("The unpacked driver package is deleted, as a setup program cleans up after itself", [] {
        for (const char *d : {"C:\\QUVA\\DRIVERS", "C:\\QUVA\\NT4"})
            if (winsim::disk::exists(d)) winsim::disk::remove(d);
        if (winsim::disk::exists("C:\\QUVA")) winsim::disk::remove("C:\\QUVA");
        return 0;
    });

    std::printf("\n--- The machine after the removal, against the machine before the install\n");
    int verdict = judge(before);
    m->save();
    if (life.failures) std::printf("\n%d step(s) failed\n", life.failures);
    return life.failures || verdict ? 1 : 0;
}

Register r({"life", "life DIR --os xp|2000|nt4|98|me|95",
            "the kit's whole life on a new machine: install, tokens, dialogs, removal",
            "Makes a new machine in DIR with the application's libraries registered and the\n"
            "token library's PC/SC switch on, then runs, one step after the other, each\n"
            "printing what it did and what it changed on the machine:\n"
            "  the driver install from the build's package of the platform (nt5, nt4, 98, 95);\n"
            "  two tokens plugged in (Alice, Bob) and enumerated by the token library;\n"
            "  the selection dialog, answered by choosing Bob; the PIN dialog, answered;\n"
            "  token commands and APDUs to Bob's token; Alice's token pulled out;\n"
            "  the driver removal (quvaDI_UninstallDriverA).\n"
            "At the end it compares the machine with the machine before the install and\n"
            "says what the removal keeps on purpose; anything else left over fails the run\n"
            "(exit code 1), as does a failed step.  The machine stays in DIR.\n"
            "  --via setup   NT 4.0 only: install and remove with the legacy setup program\n"
            "                (setup /q, setup /q /u) instead of the installer library\n"
            "  --full-diff   every line of each step's changes, not keys folded\n",
            life});

} // namespace
