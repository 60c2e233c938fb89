// quvactl driver install: the driver installer library's install entry on a
// machine, from a driver package folder of the host, with what it changed.
#include "installer_lib.h"
#include "machine_diff.h"
#include "operations.h"
#include "quvadi.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

using namespace quvactl;

namespace {

// Where the package is put on drive C: before the call, as a setup program
// would unpack it.
const char k_source[] = "C:\\QUVA\\DRIVERS";
const char k_token_hwid[] = "USB\\VID_1F3C&PID_1000";
const int k_reader_status = 3007;
const int k_progress = 1003;

// The build puts the packages in packages/ beside bin/.
std::string packages_root() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string exe = n > 0 ? std::string(buf, (size_t)n) : std::string("./quvactl");
    std::string bin = exe.substr(0, exe.rfind('/'));
    return bin.substr(0, bin.rfind('/')) + "/packages";
}

bool ends_with_inf(const std::string &name) {
    return name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".inf") == 0;
}

// Copies the package's files into k_source; the INF's name, or "" with *why.
std::string stage_package(const std::string &host, size_t *count, std::string *why) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(host, ec)) {
        *why = host + " is not a driver package folder (no such directory)";
        return "";
    }
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(host, ec))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::string inf;
    for (const auto &f : files) {
        if (!ends_with_inf(f.filename().string())) continue;
        if (!inf.empty()) {
            *why = host + " holds more than one INF (" + inf + ", " + f.filename().string() + ")";
            return "";
        }
        inf = f.filename().string();
    }
    if (inf.empty()) {
        *why = host + " holds no INF file: not a driver package";
        return "";
    }
    // A package never mixes with files of one staged before it.
    if (winsim::disk::exists(k_source)) winsim::disk::remove(k_source);
    for (const auto &f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string target = std::string(k_source) + "\\" + f.filename().string();
        if (!in || !winsim::disk::write_file(target, bytes)) {
            *why = "cannot copy " + f.string() + " to " + target;
            return "";
        }
    }
    *count = files.size();
    return inf;
}

const char *completion_text(DWORD c) {
    switch (c) {
    case 0: return "tokens present and served";
    case 1: return "readers or the driver change take effect after a restart";
    case 2: return "installed, no token present";
    case 4: return "first installation with a token plugged in";
    default: return "?";
    }
}

std::string restart_text(DWORD r) {
    switch (r) {
    case 0: return "no (0)";
    case 1: return "yes (1)";
    case 2: return "for the reader mode only (2)";
    case 3: return "yes, and a reader other than the virtual one is installed (3)";
    default: return "? (" + std::to_string(r) + ")";
    }
}

// What install and removal print after the call.
struct CallReport {
    std::string call;
    BOOL ok = FALSE;
    DWORD reboot = 0, completion = 0, error = 0;
    bool removal = false;
    uint64_t took_ms = 0;
};

void print_report(const Installer &lib, const CallReport &r, const OperationDiff &changes, bool full) {
    std::printf("%s: %s\n", r.call.c_str(), r.ok ? "TRUE" : "FALSE");
    std::printf("  restart     %s\n", restart_text(r.reboot).c_str());
    std::printf("  completion  %lu (%s)\n", (unsigned long)r.completion,
                r.removal ? (r.completion ? "?" : "always 0 after a removal") : completion_text(r.completion));
    std::printf("  error       %s\n", lib.error(r.error).c_str());
    std::printf("  took        %llu.%llu s of virtual time\n", (unsigned long long)(r.took_ms / 1000),
                (unsigned long long)(r.took_ms % 1000 / 100));
    std::printf("changes:\n");
    print_diff_lines(full ? changes.lines() : compact_diff(changes.lines()));
}

} // namespace

// The diff with each added or removed registry subtree on one line: an
// installer author wants to see which keys appeared, not every value of them.
std::vector<std::string> quvactl::compact_diff(const std::vector<std::string> &lines) {
    struct Tree {
        size_t at;
        std::string sign, root;
        size_t keys = 0, values = 0;
    };
    std::vector<std::string> out;
    std::vector<Tree> trees;
    auto under = [](const std::string &path, const std::string &root) {
        return path.size() > root.size() && strncasecmp(path.c_str(), root.c_str(), root.size()) == 0 &&
               path[root.size()] == '\\';
    };
    for (const std::string &l : lines) {
        if (l.size() < 8) {
            out.push_back(l);
            continue;
        }
        std::string sign = l.substr(0, 1);
        bool key = l.compare(1, 5, " key ") == 0, value = l.compare(1, 7, " value ") == 0;
        if ((sign == "+" || sign == "-") && (key || value)) {
            std::string path = l.substr(key ? 6 : 8);
            Tree *t = trees.empty() ? nullptr : &trees.back();
            if (t && t->sign == sign && under(path, t->root)) {
                (key ? t->keys : t->values)++;
                continue;
            }
            if (key) {
                trees.push_back({out.size(), sign, path});
                out.push_back(l);
                continue;
            }
        }
        out.push_back(l);
    }
    for (const Tree &t : trees) {
        if (!t.keys && !t.values) continue;
        out[t.at] += " (with " + std::to_string(t.keys) + " subkey(s), " + std::to_string(t.values) + " value(s))";
    }
    return out;
}

namespace {

// One drawing of the reader-status dialog, timed from the start of the call.
void print_reader_status(const winsim::user::DialogInfo &info, uint64_t start) {
    const winsim::user::ControlInfo *bar = info.control(k_progress);
    uint64_t t = winsim::clock::now_ms() - start;
    std::printf("[%llu.%llu s] readers %d of %d\n%s", (unsigned long long)(t / 1000),
                (unsigned long long)(t % 1000 / 100), bar ? bar->position : 0, bar ? bar->range_max : 0,
                winsim::user::render(info).c_str());
}

// Draws the reader-status dialog each time a reader arrives, until it ends;
// *last is the position drawn last.
void watch_reader_status(winsim::user::DialogUser &u, uint64_t start, std::shared_ptr<int> last_shown) {
    int &last = *last_shown;
    for (;;) {
        winsim::user::DialogInfo info = u.info();
        const winsim::user::ControlInfo *bar = info.control(k_progress);
        int position = bar ? bar->position : 0;
        if (position != last) {
            last = position;
            print_reader_status(info, start);
        }
        bool moved = u.wait_until([last](const winsim::user::DialogInfo &d) {
            const winsim::user::ControlInfo *b = d.control(k_progress);
            return b && b->position != last;
        });
        if (!moved) return;
    }
}

// Message boxes of the library are drawn and answered with their default button.
void print_message_boxes() {
    winsim::user::on_message_box_shown([](const winsim::user::ShownBox &box) {
        std::printf("%s", winsim::user::render(box).c_str());
        return 0;
    });
}

} // namespace

std::string quvactl::package_folder(const std::string &platform) { return packages_root() + "/" + platform; }

const char *quvactl::package_platform(const winsim::Profile &p) {
    if (!p.nt()) return p.minor == 0 ? "95" : "98";
    return p.major == 4 ? "nt4" : "nt5";
}

int quvactl::install_driver(const InstallRequest &request) {
    winsim::Machine *m = winsim::current_machine();
    std::string package = !request.package.empty() ? request.package
                          : m                      ? package_folder(package_platform(m->profile()))
                                                   : package_folder("nt5");
    size_t files = 0;
    std::string why;
    std::string inf = stage_package(package, &files, &why);
    if (inf.empty()) {
        std::cerr << "quvactl: " << why << "\n";
        return 1;
    }
    std::printf("package %s: %s and %zu other file(s), copied to %s\n", package.c_str(), inf.c_str(), files - 1,
                k_source);
    if (request.plug) {
        std::string id = winsim::devices::plug(k_token_hwid);
        std::printf("token plugged in: %s\n", id.c_str());
    }

    Installer lib;
    auto install = lib.fn<BOOL(WINAPI *)(HWND, DWORD, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, LPDWORD, LPDWORD, LPDWORD)>(
        "quvaDI_InstallDriverA");
    auto params = lib.fn<BOOL(WINAPI *)(HWND, LPCSTR, LPCSTR, LPCSTR)>("quvaDI_DlgSetReaderStatusParamsA");
    if (!install) {
        std::cerr << "quvactl: this installer library has no quvaDI_InstallDriverA\n";
        return 1;
    }
    if (params && !request.silent)
        params(nullptr, "Quva Token Setup", "Please wait while the virtual smart-card readers are installed.",
               "Cancel");
    uint64_t start = winsim::clock::now_ms();
    winsim::user::clear_dialog_rules();
    auto last_shown = std::make_shared<int>(-1);
    winsim::user::clear_dialogs();
    winsim::user::on_dialog(k_reader_status, [start, last_shown](winsim::user::DialogUser &u) {
        watch_reader_status(u, start, last_shown);
    });
    print_message_boxes();

    OperationDiff changes;
    CallReport r;
    DWORD flags = request.silent ? DI_SILENT_WAIT : 0;
    DWORD use_rm = request.readers ? 1 : 0;
    std::string source = k_source;
    r.ok = install(nullptr, flags, source.c_str(), inf.c_str(), request.driver_flags, use_rm, request.readers,
                   &r.reboot, &r.completion, &r.error);
    r.took_ms = winsim::clock::now_ms() - start;
    winsim::user::clear_dialog_rules();
    winsim::user::on_message_box_shown(nullptr);
    // The last arrival ends the dialog at once, with one more step that
    // runs the bar past its end: say how it closed rather than draw it.
    for (const auto &d : winsim::user::dialogs()) {
        const winsim::user::ControlInfo *bar = d.shown.control(k_progress);
        if (d.shown.template_id != k_reader_status || d.result < 0) continue;
        if (d.result == 1)
            std::printf("all %d reader(s) in: the dialog closes itself (1)\n", bar ? bar->range_max : 0);
        else
            std::printf("the dialog ended with 0 after %d reader(s)\n", *last_shown < 0 ? 0 : *last_shown);
    }
    char call[512];
    std::snprintf(call, sizeof call, "quvaDI_InstallDriverA(%s, \"%s\", flags 0x%lX, use-rm %lu, readers %lu)",
                  k_source, inf.c_str(), (unsigned long)flags, (unsigned long)use_rm, (unsigned long)request.readers);
    r.call = call;
    print_report(lib, r, changes, request.full_diff);
    return r.ok ? 0 : 1;
}

int quvactl::uninstall_driver(bool full_diff) {
    Installer lib;
    auto uninstall = lib.fn<BOOL(WINAPI *)(HWND, DWORD, LPDWORD, LPDWORD, LPDWORD)>("quvaDI_UninstallDriverA");
    if (!uninstall) {
        std::cerr << "quvactl: this installer library has no quvaDI_UninstallDriverA\n";
        return 1;
    }
    print_message_boxes();
    OperationDiff changes;
    CallReport r;
    r.removal = true;
    r.call = "quvaDI_UninstallDriverA(flags 0x0)";
    uint64_t start = winsim::clock::now_ms();
    r.ok = uninstall(nullptr, 0, &r.reboot, &r.completion, &r.error);
    r.took_ms = winsim::clock::now_ms() - start;
    winsim::user::on_message_box_shown(nullptr);
    print_report(lib, r, changes, full_diff);
    return r.ok ? 0 : 1;
}

namespace {

int driver_install(const Args &args) {
    std::string dir;
    InstallRequest request;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        bool value = i + 1 < args.size();
        if (a == "--package") {
            if (!value) return usage_error("--package needs a folder");
            request.package = args[++i];
        } else if (a == "--rm") {
            if (!value || !parse_dword(args[++i], &request.readers))
                return usage_error("--rm needs a number of readers");
        } else if (a == "--flags") {
            if (!value || !parse_dword(args[++i], &request.driver_flags)) return usage_error("--flags needs a number");
        } else if (a == "--silent") {
            request.silent = true;
        } else if (a == "--full-diff") {
            request.full_diff = true;
        } else if (a == "--token-plugged") {
            request.plug = true;
        } else if (a.rfind("--", 0) == 0) {
            return usage_error("unknown option " + a);
        } else if (dir.empty()) {
            dir = a;
        } else {
            return usage_error("driver install takes one machine directory");
        }
    }
    if (dir.empty()) return usage_error("driver install needs a machine directory");
    auto m = load_machine(dir);
    if (!m) return 1;
    int rc = install_driver(request);
    m->save();
    return rc;
}

int driver_uninstall(const Args &args) {
    std::string dir;
    bool full = false;
    for (const std::string &a : args) {
        if (a == "--full-diff") full = true;
        else if (a.rfind("--", 0) == 0) return usage_error("unknown option " + a);
        else if (dir.empty()) dir = a;
        else return usage_error("driver uninstall takes one machine directory");
    }
    if (dir.empty()) return usage_error("driver uninstall needs a machine directory");
    auto m = load_machine(dir);
    if (!m) return 1;
    int rc = uninstall_driver(full);
    m->save();
    return rc;
}

Register r({"driver install", "driver install DIR [--package PATH] [--silent] [--rm N] [--flags X] [--token-plugged] [--full-diff]",
            "install or upgrade the token driver stack from a driver package (quvaDI_InstallDriverA)",
            "PATH is a host folder holding one INF with its catalog and driver files (default:\n"
            "the build's package of the machine's platform: packages/nt5, nt4, 98 or 95); it\n"
            "is copied to C:\\QUVA\\DRIVERS and installed from there.\n"
            "  --rm N            N virtual readers (UseRM 1), waited for; 0: none (default 1)\n"
            "  --silent          wait without the reader-status dialog (DI_SILENT_WAIT); without\n"
            "                    it the dialog is drawn each time a reader arrives\n"
            "  --flags X         the driver flags passed (the 2000/XP install stores 0 regardless)\n"
            "  --token-plugged   a token is plugged in first\n"
            "Prints the result, restart, completion and error, and what the install changed:\n"
            "each new or removed registry key with its subkeys and values on one line, or\n"
            "every line with --full-diff.\n",
            driver_install});
Register r2({"driver uninstall", "driver uninstall DIR [--full-diff]",
             "remove the token driver stack of the machine's platform (quvaDI_UninstallDriverA)",
             "Removes device nodes, services, driver and INF files, registry keys and the\n"
             "component records.  Prints the result, restart (3 on Windows 98/ME: a reader\n"
             "other than the virtual one is installed), completion and error, and what the\n"
             "removal changed, subtrees folded as by 'driver install' or every line with\n"
             "--full-diff.\n",
             driver_uninstall});

} // namespace
