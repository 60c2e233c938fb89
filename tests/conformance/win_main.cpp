// conformance.exe: runs every conformance check on Windows or under Wine.
//
//   conformance.exe [--os win95|win98|winme|nt40|win2k|winxp] [--list] [NAME...]
//
// --os names the version the machine is set up to be (Wine's Version
// switch); without it the version is read from GetVersionExA.  NAMEs limit
// the run to those checks.  One line per check and per failure, then
// "N passed, N failed"; exit code 0 only when nothing failed.
#include "conformance.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Keys a check could leave behind by mistake; each must look the same after
// a check as before it.
struct Leftover {
    HKEY root;
    const char *root_name;
    const char *path;
};
const Leftover k_watched_keys[] = {
    {HKEY_LOCAL_MACHINE, "HKLM", "Software\\Vornel Technologies"},
    {HKEY_CURRENT_USER, "HKCU", "Software\\Vornel Technologies"},
};

bool key_exists(HKEY root, const char *path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::string detect_os() {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return "";
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        if (info.dwMinorVersion >= 90) return "winme";
        return info.dwMinorVersion >= 10 ? "win98" : "win95";
    }
    if (info.dwMajorVersion == 4) return "nt40";
    if (info.dwMajorVersion == 5 && info.dwMinorVersion == 0) return "win2k";
    if (info.dwMajorVersion == 5 && info.dwMinorVersion == 1) return "winxp";
    return "";
}

bool known_os(const std::string &os) {
    for (const char *n : conformance::os_names())
        if (os == n) return true;
    return false;
}

struct Totals {
    int passed = 0, failed = 0, skipped = 0;
};
Totals g_totals;
const conformance::Check *g_running = nullptr;

void print_closing_line() {
    if (g_totals.skipped) std::printf("%d simulator-only checks skipped\n", g_totals.skipped);
    std::printf("%d passed, %d failed\n", g_totals.passed, g_totals.failed);
    std::fflush(stdout);
}

// A crash inside a check ends the run: say which check it was, and close
// with the usual line so the lane still counts it as a failure.
LONG WINAPI on_crash(EXCEPTION_POINTERS *info) {
    DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
    void *where = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionAddress : nullptr;
    std::printf("CRASH %s: exception 0x%08lX at %p\n", g_running ? g_running->name : "(between checks)",
                static_cast<unsigned long>(code), where);
    ++g_totals.failed;
    print_closing_line();
    ExitProcess(3);
    return EXCEPTION_EXECUTE_HANDLER;
}

int usage() {
    std::fprintf(stderr, "usage: conformance.exe [--os win95|win98|winme|nt40|win2k|winxp] [--list] [NAME...]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    // Plain \n line ends, so that the lanes read the lines as they are.
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(on_crash);

    std::string os;
    bool list = false;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--os" && i + 1 < argc)
            os = argv[++i];
        else if (a.rfind("--os=", 0) == 0)
            os = a.substr(5);
        else if (a == "--list")
            list = true;
        else if (!a.empty() && a[0] == '-')
            return usage();
        else
            only.push_back(a);
    }

    const auto &checks = conformance::checks();
    if (list) {
        for (const auto &c : checks)
            std::printf("%s%s\n", c.name, c.sim_only_reason ? " (simulator only)" : "");
        return 0;
    }

    if (os.empty()) os = detect_os();
    if (!known_os(os)) {
        std::fprintf(stderr, "conformance: unknown or undetected Windows version '%s'\n", os.c_str());
        return usage();
    }
    conformance::set_os(os);
    std::printf("conformance checks for %s (%u registered)\n", os.c_str(), static_cast<unsigned>(checks.size()));

    for (const auto &c : checks) {
        if (!only.empty()) {
            bool wanted = false;
            for (const auto &n : only) wanted = wanted || n == c.name;
            if (!wanted) continue;
        }
        if (c.sim_only_reason) {
            std::printf("SKIP %s: simulator only: %s\n", c.name, c.sim_only_reason);
            ++g_totals.skipped;
            continue;
        }
        bool before[sizeof k_watched_keys / sizeof k_watched_keys[0]];
        for (size_t k = 0; k < sizeof k_watched_keys / sizeof k_watched_keys[0]; ++k)
            before[k] = key_exists(k_watched_keys[k].root, k_watched_keys[k].path);

        g_running = &c;
        int failures = conformance::run_check(c);
        g_running = nullptr;

        for (size_t k = 0; k < sizeof k_watched_keys / sizeof k_watched_keys[0]; ++k) {
            const Leftover &w = k_watched_keys[k];
            bool after = key_exists(w.root, w.path);
            if (after != before[k]) {
                std::printf("  %s:%d: %s %s\\%s\n", conformance::detail::base_name(c.file), c.line,
                            after ? "left behind" : "removed the pre-existing", w.root_name, w.path);
                ++failures;
            }
        }
        if (failures) {
            std::printf("FAIL %s (%d)\n", c.name, failures);
            ++g_totals.failed;
        } else {
            std::printf("PASS %s\n", c.name);
            ++g_totals.passed;
        }
    }
    print_closing_line();
    return g_totals.failed ? 1 : 0;
}
