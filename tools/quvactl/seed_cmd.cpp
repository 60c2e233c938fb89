// quvactl machine seed: puts an earlier installation of the token driver
// stack on a machine, as its own installer left it, so that every upgrade
// and repair path of the driver installer has a machine to run on.  The
// seeds themselves are in tools/seeds, shared with the tests.
#include "installer_lib.h"
#include "machine_diff.h"

#include <seeds.h>

using namespace quvactl;

namespace {

int machine_seed(const Args &args) {
    std::string dir, generation;
    seeds::Options options;
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--generation" && i + 1 < args.size()) generation = args[++i];
        else if (args[i] == "--packages" && i + 1 < args.size()) options.packages = args[++i];
        else if (args[i] == "--present") options.present = true;
        else if (args[i].rfind("--", 0) == 0) return usage_error("unknown option " + args[i]);
        else if (dir.empty()) dir = args[i];
        else return usage_error("one machine directory only");
    }
    if (dir.empty() || generation.empty()) return usage_error("machine seed needs a machine directory and --generation");
    bool known = false;
    std::string names;
    for (const seeds::Generation &g : seeds::generations()) {
        known = known || generation == g.name;
        names += std::string(names.empty() ? "" : ", ") + g.name;
    }
    if (!known) return usage_error("unknown generation '" + generation + "' (" + names + ")");
    auto m = load_machine(dir);
    if (!m) return 1;
    OperationDiff changes;
    std::string error;
    if (!seeds::seed(generation, options, &error)) {
        std::cerr << "quvactl: " << error << " (this machine is " << m->profile().title << ")\n";
        return 1;
    }
    m->save();
    std::printf("seeded the %s generation on %s%s\n", generation.c_str(), m->profile().title,
                options.present ? ", token plugged in" : "");
    changes.print();
    return 0;
}

std::string seed_help() {
    std::string h = "GEN is the installation an install or removal starts from:\n";
    for (const seeds::Generation &g : seeds::generations()) {
        std::string name = g.name, os = std::string("[") + g.os + "]";
        h += "  " + name + std::string(name.size() < 14 ? 14 - name.size() : 1, ' ') + os +
             std::string(os.size() < 10 ? 10 - os.size() : 1, ' ') + g.summary + "\n";
    }
    h += "2000/XP generations write their INF as oemN.inf, their driver files, services and\n"
         "device nodes, beside two INFs of other makers; --present leaves the token plugged in.\n"
         "NT 4.0 and 9x generations run the older package's DefaultInstall and add what the\n"
         "installer and the system wrote around it (reader settings, the VxD key, the token's\n"
         "registration, \"SourcePath\", the Recent link of an INF installed from its menu).\n"
         "--packages names the folder of the built driver packages (default: the build's).\n";
    return h;
}

Register r({"machine seed", "machine seed DIR --generation GEN [--present] [--packages DIR]",
            "put an earlier installation of the token driver stack on a machine", seed_help(), machine_seed});

} // namespace
