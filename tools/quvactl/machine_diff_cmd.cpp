// quvactl machine snapshot|diff: remember a machine's state, and later show
// what has changed since (registry, files, services, devices).
#include "installer_lib.h"
#include "machine_diff.h"

using namespace quvactl;

namespace {

int machine_snapshot(const Args &args) {
    if (args.size() != 1) return usage_error("machine snapshot needs a machine directory");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    winsim::snapshots::State s = winsim::snapshots::take();
    if (!winsim::snapshots::save(s, snapshot_file(m->dir()))) {
        std::cerr << "quvactl: cannot write " << snapshot_file(m->dir()) << "\n";
        return 1;
    }
    std::printf("snapshot of %zu keys, %zu files, %zu services, %zu devices kept in %s\n", s.keys.size(),
                s.files.size(), s.services.size(), s.devices.size(), snapshot_file(m->dir()).c_str());
    return 0;
}

int machine_diff(const Args &args) {
    std::string dir;
    bool update = false;
    for (const std::string &a : args) {
        if (a == "--update") update = true;
        else if (a.rfind("--", 0) == 0) return usage_error("unknown option " + a);
        else if (dir.empty()) dir = a;
        else return usage_error("one machine directory only");
    }
    if (dir.empty()) return usage_error("machine diff needs a machine directory");
    auto m = load_machine(dir);
    if (!m) return 1;
    winsim::snapshots::State before;
    if (!winsim::snapshots::load(snapshot_file(m->dir()), &before)) {
        std::cerr << "quvactl: no snapshot of this machine yet; take one with 'quvactl machine snapshot " << dir
                  << "'\n";
        return 1;
    }
    winsim::snapshots::State now = winsim::snapshots::take();
    print_diff_lines(winsim::snapshots::diff(before, now), "");
    if (update && !winsim::snapshots::save(now, snapshot_file(m->dir()))) {
        std::cerr << "quvactl: cannot write " << snapshot_file(m->dir()) << "\n";
        return 1;
    }
    return 0;
}

Register r1({"machine snapshot", "machine snapshot DIR", "remember the machine's state for a later 'machine diff'",
             "Keeps registry, files of drive C:, services and device nodes in DIR/snapshot.txt.\n", machine_snapshot});
Register r2({"machine diff", "machine diff DIR [--update]", "show what changed since the last 'machine snapshot'",
             "Lines start with + (added), - (removed) or ~ (changed): keys and values, files\n"
             "(size and contents), services (state, start type) and device nodes (class,\n"
             "service, driver, present or only registered, disabled).  --update makes the\n"
             "current state the new reference.\n",
             machine_diff});

} // namespace
