// Machine seeds: earlier installations of the token driver stack, written on
// the current simulated machine as their own installers left them, so that
// every upgrade and repair path of the driver installer has a machine to run
// on.  Used by `quvactl machine seed` and by the tests.
#ifndef QUVA_SEEDS_H
#define QUVA_SEEDS_H

#include <string>
#include <vector>

namespace seeds {

struct Generation {
    const char *name;    // "reader-stack", "nt4-previous", ...
    const char *os;      // the platforms it is for, as shown to the user
    const char *summary; // one line
};
// Every generation, in the order `--help` lists them.
const std::vector<Generation> &generations();

struct Options {
    std::string packages; // host folder of the built driver packages
    bool present = false; // the token plugged in (Windows 2000/XP generations)
};

// The build's packages/ folder, next to bin/ of the running program.
std::string default_packages_dir();

// Writes the generation on the current machine.  False with the reason in
// *error for an unknown name, a machine of another platform, or a package
// file that cannot be read.
bool seed(const std::string &generation, const Options &options, std::string *error);

} // namespace seeds

#endif
