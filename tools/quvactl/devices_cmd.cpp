// quvactl devices: the machine's device tree as Plug and Play keeps it, with
// what an installer author needs to see of each node.
#include "installer_lib.h"

#include <vector>

using namespace quvactl;

namespace {

const char k_profiles[] = "SYSTEM\\CurrentControlSet\\Hardware Profiles";

std::string reg_string(const std::string &key, const char *name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(key, name, &type, &data) || (type != REG_SZ && type != REG_EXPAND_SZ)) return "";
    std::string s(data.begin(), data.end());
    return s.substr(0, s.find('\0'));
}

bool reg_dword(const std::string &key, const char *name, DWORD *v) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(key, name, &type, &data) || type != REG_DWORD || data.size() != 4) return false;
    *v = data[0] | data[1] << 8 | data[2] << 16 | (DWORD)data[3] << 24;
    return true;
}

// The hardware profiles ("0001", ...) the machine knows.
std::vector<std::string> profiles() {
    std::vector<std::string> out;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, k_profiles, 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
    char name[256];
    for (DWORD i = 0;; i++) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (std::string(name) != "Current") out.push_back(name);
    }
    RegCloseKey(key);
    return out;
}

const char *state_text(DWORD state) {
    switch (state) {
    case 0: return "not installed";
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_RUNNING: return "running";
    case SERVICE_START_PENDING: return "start-pending";
    case SERVICE_STOP_PENDING: return "stop-pending";
    default: return "other state";
    }
}

int devices_cmd(const Args &args) {
    if (args.size() != 1) return usage_error("devices needs a machine directory");
    auto m = load_machine(args[0]);
    if (!m) return 1;
    const bool nt = m->profile().nt();
    const std::string hklm = "HKEY_LOCAL_MACHINE\\";
    const std::string class_root = nt ? "SYSTEM\\CurrentControlSet\\Control\\Class\\"
                                      : "System\\CurrentControlSet\\Services\\Class\\";
    auto list = winsim::devices::list();
    if (list.empty()) {
        std::printf("no device nodes\n");
        return 0;
    }
    std::vector<std::string> profs = nt ? profiles() : std::vector<std::string>();
    for (const auto &d : list) {
        std::printf("%s\n", d.instance_id.c_str());
        std::printf("    %-10s %s %s\n", "class", d.class_name.c_str(), d.class_guid.c_str());
        std::string ids;
        for (const auto &h : d.hardware_ids) ids += (ids.empty() ? "" : ", ") + h;
        std::printf("    %-10s %s\n", "hardware", ids.c_str());
        if (!d.description.empty()) std::printf("    %-10s %s\n", "name", d.description.c_str());
        if (d.driver.empty()) {
            std::printf("    %-10s (none)\n", "driver");
        } else {
            std::string key = hklm + class_root + d.driver;
            std::string inf = reg_string(key, "InfPath");
            std::string version = reg_string(key, "DriverVersion");
            std::printf("    %-10s %s%s%s%s%s\n", "driver", d.driver.c_str(), inf.empty() ? "" : ", ", inf.c_str(),
                        version.empty() ? "" : ", version ", version.c_str());
        }
        if (d.service.empty()) std::printf("    %-10s (none)\n", "service");
        else
            std::printf("    %-10s %s (%s)\n", "service", d.service.c_str(),
                        nt ? state_text(winsim::services::state(d.service)) : "9x");
        std::printf("    %-10s %s\n", "status", d.present ? "present" : "registered, not present");
        std::string disabled;
        if (d.config_flags & 1) disabled = "globally";
        if (profs.empty()) {
            if (d.profile_flags & 1) disabled += disabled.empty() ? "in this profile" : ", in this profile";
        } else {
            for (const std::string &p : profs) {
                DWORD flags = 0;
                std::string key = hklm + k_profiles + "\\" + p + "\\System\\CurrentControlSet\\Enum\\" + d.instance_id;
                if (reg_dword(key, "CSConfigFlags", &flags) && (flags & 1))
                    disabled += (disabled.empty() ? "in profile " : ", in profile ") + p;
            }
        }
        std::printf("    %-10s %s\n", "disabled", disabled.empty() ? "no" : disabled.c_str());
    }
    return 0;
}

Register r({"devices", "devices DIR", "the device tree: class, hardware IDs, driver, service, state",
            "One block per device node, present or only registered: setup class, hardware\n"
            "IDs, driver key (with its INF and version), service and its state, and whether\n"
            "the node is disabled globally or in a hardware profile.\n",
            devices_cmd});

} // namespace
