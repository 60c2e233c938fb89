// Small command-line plumbing shared by quvactl's commands.
#ifndef QUVACTL_CLI_H
#define QUVACTL_CLI_H

#include <functional>
#include <string>
#include <vector>

namespace quvactl {

using Args = std::vector<std::string>;

struct Command {
    std::string name;    // "machine new"
    std::string usage;   // "machine new --os VERSION DIR"
    std::string summary; // one line
    std::string help;    // the rest of --help
    std::function<int(const Args &)> run;
};

// Every command registers itself here (see each *_cmd.cpp).
std::vector<Command> &commands();
struct Register {
    explicit Register(Command c) { commands().push_back(std::move(c)); }
};

// Prints "quvactl: message" on stderr and returns the usage exit code 2.
int usage_error(const std::string &message);
// True when args ask for help.
bool wants_help(const Args &args);
void print_help(const Command &c);

} // namespace quvactl

#endif
