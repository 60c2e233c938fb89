// quvactl: works on a simulated Windows machine kept in a directory.
#include "cli.h"

#include <cstdio>
#include <iostream>

namespace quvactl {

std::vector<Command> &commands() {
    static std::vector<Command> c;
    return c;
}

int usage_error(const std::string &message) {
    std::cerr << "quvactl: " << message << "\n(try 'quvactl --help')\n";
    return 2;
}

bool wants_help(const Args &args) {
    for (auto &a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

void print_help(const Command &c) {
    std::cout << "usage: quvactl " << c.usage << "\n\n" << c.summary << "\n";
    if (!c.help.empty()) std::cout << "\n" << c.help;
}

} // namespace quvactl

using namespace quvactl;

static void print_overview() {
    std::cout << "usage: quvactl COMMAND [ARGS]\n\n"
                 "Works on a simulated Windows machine kept in a directory (machine.ini,\n"
                 "registry.reg and drive C: under c/), running the kit's libraries on it.\n\n"
                 "commands:\n";
    for (auto &c : commands()) std::printf("  %-36s %s\n", c.usage.c_str(), c.summary.c_str());
    std::cout << "\n'quvactl COMMAND --help' tells more about one command.\n";
}

int main(int argc, char **argv) {
    Args args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        print_overview();
        return args.empty() ? 2 : 0;
    }
    // Commands are one or two words ("machine new"); the longest match wins.
    const Command *best = nullptr;
    size_t used = 0;
    for (auto &c : commands()) {
        size_t words = 1 + (c.name.find(' ') != std::string::npos);
        if (args.size() < words) continue;
        std::string name = words == 1 ? args[0] : args[0] + " " + args[1];
        if (name == c.name && words > used) {
            best = &c;
            used = words;
        }
    }
    if (!best) {
        bool group = false;
        for (auto &c : commands()) group |= c.name.rfind(args[0] + " ", 0) == 0;
        if (group && (args.size() == 1 || wants_help(args))) {
            for (auto &c : commands())
                if (c.name.rfind(args[0] + " ", 0) == 0) std::printf("  %-36s %s\n", c.usage.c_str(), c.summary.c_str());
            return args.size() == 1 ? 2 : 0;
        }
        return usage_error("unknown command '" + args[0] + (args.size() > 1 ? " " + args[1] : "") + "'");
    }
    Args rest(args.begin() + used, args.end());
    if (wants_help(rest)) {
        print_help(*best);
        return 0;
    }
    return best->run(rest);
}
