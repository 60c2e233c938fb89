// quvactl machine new|show
#include "cli.h"

#include <winsim/sim.h>

#include <cstdio>
#include <filesystem>
#include <iostream>

using namespace quvactl;

namespace {

int machine_new(const Args &args) {
    std::string os, dir;
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--os" && i + 1 < args.size())
            os = args[++i];
        else if (args[i].rfind("--", 0) == 0)
            return usage_error("unknown option " + args[i]);
        else if (dir.empty())
            dir = args[i];
        else
            return usage_error("one machine directory only");
    }
    if (os.empty() || dir.empty()) return usage_error("machine new needs --os VERSION and a directory");
    const winsim::Profile *p = winsim::find_profile(os);
    if (!p) return usage_error("unknown Windows version '" + os + "' (95, 98, me, nt4, 2000, xp, 2003, vista)");
    if (std::filesystem::exists(std::filesystem::path(dir) / "machine.ini")) {
        std::cerr << "quvactl: " << dir << " already holds a machine\n";
        return 1;
    }
    auto m = winsim::Machine::create(dir, p->os);
    std::cout << "created a " << p->title << " machine in " << m->dir() << "\n";
    return 0;
}

int machine_show(const Args &args) {
    if (args.size() != 1) return usage_error("machine show needs a machine directory");
    auto m = winsim::Machine::load(args[0]);
    const winsim::Profile &p = m->profile();
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    GetVersionExA(&v);
    char windir[MAX_PATH] = "", sysdir[MAX_PATH] = "";
    GetWindowsDirectoryA(windir, sizeof windir);
    GetSystemDirectoryA(sysdir, sizeof sysdir);
    std::printf("machine    %s\n", m->dir().c_str());
    std::printf("system     %s (%lu.%lu build %lu, platform %lu%s%s)\n", p.title, (unsigned long)v.dwMajorVersion,
                (unsigned long)v.dwMinorVersion, (unsigned long)(v.dwBuildNumber & 0xFFFF),
                (unsigned long)v.dwPlatformId, *v.szCSDVersion ? ", " : "", v.szCSDVersion);
    std::printf("windows    %s\nsystem32   %s\n", windir, sysdir);
    std::printf("user       %s\n", m->admin() ? "administrator" : "limited user");
    std::string tree = winsim::reg::export_text("HKEY_LOCAL_MACHINE\\Software\\Vornel Technologies");
    size_t keys = 0;
    for (size_t i = 0; (i = tree.find("\n[", i)) != std::string::npos; i++) keys++;
    std::printf("kit keys   %zu under HKLM\\Software\\Vornel Technologies\n", keys);
    return 0;
}

Register r1({"machine new", "machine new --os VERSION DIR", "create a new simulated machine",
             "VERSION is one of 95, 98, me, nt4, 2000, xp, 2003, vista.  DIR must not hold a machine yet;\n"
             "it receives machine.ini, registry.reg and drive C: (c/).\n",
             machine_new});
Register r2({"machine show", "machine show DIR", "describe a machine: version, directories, user", "", machine_show});

} // namespace
