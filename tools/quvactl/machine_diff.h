// What a command changed on the machine, for quvactl's commands to print:
// take an OperationDiff before the operation, print() after it.
#ifndef QUVACTL_MACHINE_DIFF_H
#define QUVACTL_MACHINE_DIFF_H

#include <winsim/sim.h>

#include <cstdio>
#include <string>
#include <vector>

namespace quvactl {

// Where `machine snapshot` keeps the state that `machine diff` compares with.
inline std::string snapshot_file(const std::string &machine_dir) { return machine_dir + "/snapshot.txt"; }

inline void print_diff_lines(const std::vector<std::string> &lines, const char *indent = "  ") {
    if (lines.empty()) std::printf("%s(no changes)\n", indent);
    for (const std::string &l : lines) std::printf("%s%s\n", indent, l.c_str());
}

class OperationDiff {
public:
    OperationDiff() : before_(winsim::snapshots::take()) {}
    std::vector<std::string> lines() const { return winsim::snapshots::diff(before_, winsim::snapshots::take()); }
    // "changes:" and the lines under it.
    void print(const char *title = "changes") const {
        std::printf("%s:\n", title);
        print_diff_lines(lines());
    }

private:
    winsim::snapshots::State before_;
};

} // namespace quvactl

#endif
