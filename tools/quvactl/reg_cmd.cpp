// quvactl reg export|import
#include "cli.h"

#include <winsim/sim.h>

#include <fstream>
#include <iostream>
#include <sstream>

using namespace quvactl;

namespace {

int reg_export(const Args &args) {
    if (args.empty() || args.size() > 2) return usage_error("reg export needs a machine directory and at most one key");
    auto m = winsim::Machine::load(args[0]);
    std::string key = args.size() == 2 ? args[1] : "";
    if (!key.empty() && !winsim::reg::key_exists(key)) {
        std::cout << "; " << key << " does not exist\n";
        return 1;
    }
    std::cout << winsim::reg::export_text(key);
    return 0;
}

int reg_import(const Args &args) {
    if (args.size() != 2) return usage_error("reg import needs a machine directory and a .reg file");
    std::ifstream f(args[1], std::ios::binary);
    if (!f) {
        std::cerr << "quvactl: cannot read " << args[1] << "\n";
        return 1;
    }
    std::stringstream text;
    text << f.rdbuf();
    auto m = winsim::Machine::load(args[0]);
    std::string error;
    if (!winsim::reg::import_text(text.str(), &error)) {
        std::cerr << "quvactl: " << args[1] << ": " << error << "\n";
        return 1;
    }
    m->save();
    std::cout << "imported " << args[1] << "\n";
    return 0;
}

Register r1({"reg export", "reg export DIR [KEY]", "print the registry (or one key's subtree) as REGEDIT4 text",
             "KEY is a full path such as \"HKEY_LOCAL_MACHINE\\Software\\Vornel Technologies\".\n", reg_export});
Register r2({"reg import", "reg import DIR FILE", "apply a REGEDIT4 .reg file to the machine's registry",
             "Applies everything or nothing: a syntax error leaves the registry as it was.\n", reg_import});

} // namespace
