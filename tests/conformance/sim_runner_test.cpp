// Runs every conformance check on the simulated platform, once per Windows
// version, each on a fresh machine with our libraries beside the program.
// One GoogleTest case per (version, check): "win98.check_name".
#include "conformance.h"

#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Version {
    winsim::Os os;
    const char *name;
};

const Version k_versions[] = {
    {winsim::Os::Win95, "win95"}, {winsim::Os::Win98, "win98"},   {winsim::Os::WinMe, "winme"},
    {winsim::Os::Nt4, "nt40"},    {winsim::Os::Win2000, "win2k"}, {winsim::Os::WinXp, "winxp"},
};

// The libraries built in this tree (see CMakeLists.txt), placed next to the program.
const char *const k_libraries[] = {
#ifdef QUVA_HAVE_QUVAB2
    "QUVAB2",
#endif
#ifdef QUVA_HAVE_QUVADI
    "QUVADI",
#endif
#ifdef QUVA_HAVE_QUVAUI
    "QUVAUI",
#endif
#ifdef QUVA_HAVE_SCARDPROBE
    "SCARDPROBE",
#endif
    nullptr,
};

void report_to_gtest(const char *file, int line, const std::string &message) {
    ADD_FAILURE_AT(file, line) << message;
}

// Each key of a registry export, and each value prefixed with its key, sorted.
std::vector<std::string> registry_entries(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line, key;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line == "REGEDIT4") continue;
        if (line[0] == '[') {
            key = line;
            out.push_back(key);
        } else {
            out.push_back(key + " " + line);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// What a check added to and removed from the registry ("" when nothing).
std::string registry_difference(const std::string &before, const std::string &after) {
    std::vector<std::string> b = registry_entries(before), a = registry_entries(after), added, removed;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(added));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(removed));
    std::string out;
    auto list = [&out](const char *what, const std::vector<std::string> &lines) {
        for (size_t i = 0; i < lines.size() && i < 10; ++i) out += std::string("  ") + what + lines[i] + "\n";
        if (lines.size() > 10) out += "  ... " + std::to_string(lines.size() - 10) + " more\n";
    };
    list("added:   ", added);
    list("removed: ", removed);
    return out;
}

class ConformanceCase : public testing::Test {
public:
    ConformanceCase(const Version &version, const conformance::Check &check) : version_(version), check_(check) {}

    void TestBody() override {
        auto machine = winsim::Machine::temporary(version_.os);
        machine->set_process_image("C:\\APP\\CONFORMANCE.EXE");
        for (const char *const *lib = k_libraries; *lib; ++lib)
            ASSERT_TRUE(winsim::disk::install_library(std::string("C:\\APP\\") + *lib + ".DLL", *lib)) << *lib;

        conformance::set_os(version_.name);
        conformance::set_failure_sink(report_to_gtest);
        const std::string registry_before = winsim::reg::export_text();
        const winsim::handles::Counts handles_before = winsim::handles::open();

        conformance::run_check(check_);

        EXPECT_EQ(winsim::handles::leaks_since(handles_before), "") << "handles left open by " << check_.name;
        const std::string registry_after = winsim::reg::export_text();
        if (registry_after != registry_before) {
            // Order alone may differ (a key deleted and made again enumerates last).
            std::string difference = registry_difference(registry_before, registry_after);
            if (!difference.empty()) ADD_FAILURE() << check_.name << " left the registry changed:\n" << difference;
        }
    }

private:
    Version version_;
    conformance::Check check_;
};

} // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    const auto &all = conformance::checks();
    for (size_t i = 0; i < all.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (std::string(all[i].name) == all[j].name) {
                std::fprintf(stderr, "conformance check '%s' is registered twice (%s:%d and %s:%d)\n", all[i].name,
                             all[j].file, all[j].line, all[i].file, all[i].line);
                return 1;
            }
    for (const Version &v : k_versions) {
        for (const conformance::Check &c : conformance::checks()) {
            testing::RegisterTest(v.name, c.name, nullptr, nullptr, c.file, c.line,
                                  [v, c]() -> testing::Test * { return new ConformanceCase(v, c); });
        }
    }
    return RUN_ALL_TESTS();
}
