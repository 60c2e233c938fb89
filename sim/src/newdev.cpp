// The new-device installer: UpdateDriverForPlugAndPlayDevicesA puts the
// driver an INF offers for a hardware ID on every present device that has
// that ID, as Windows 2000 and later do, and the image "newdev.dll" that
// makes it loadable.
//
// A driver install runs the model's install section (files, registry,
// services) with HKR at the device's driver key, then records the INF in the
// driver key and points the node at its class, service and driver.  Without
// INSTALLFLAG_FORCE a device keeps a driver whose DriverVer is not older.
#include <newdev.h>
#include <setupapi.h>

#include "disk.h"
#include "pnp.h"
#include "registry.h"
#include "services.h"

#include <cstdio>
#include <cstring>
#include <tuple>

namespace winsim {
namespace {

const size_t k_max_device_id = 200; // MAX_DEVICE_ID_LEN

Registry &R() { return *M().registry; }

std::string base_name(const std::string &path) {
    size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A DriverVer "mm/dd/yyyy[,w.x.y.z]" as the driver key keeps it: DriverDate
// "m-d-yyyy" and DriverVersion "w.x.y.z".
struct DriverVer {
    unsigned month = 0, day = 0, year = 0;
    unsigned v[4] = {0, 0, 0, 0};
    bool valid = false;
    std::string date_text() const {
        char s[32];
        std::snprintf(s, sizeof s, "%u-%u-%u", month, day, year);
        return s;
    }
    std::string version_text() const {
        char s[64];
        std::snprintf(s, sizeof s, "%u.%u.%u.%u", v[0], v[1], v[2], v[3]);
        return s;
    }
    auto key() const { return std::make_tuple(year, month, day, v[0], v[1], v[2], v[3]); }
};

DriverVer parse_driver_ver(const std::string &text) {
    DriverVer d;
    if (std::sscanf(text.c_str(), "%u/%u/%u", &d.month, &d.day, &d.year) != 3) return d;
    d.valid = true;
    size_t comma = text.find(',');
    if (comma != std::string::npos)
        std::sscanf(text.c_str() + comma + 1, " %u.%u.%u.%u", &d.v[0], &d.v[1], &d.v[2], &d.v[3]);
    return d;
}

// What a device's current driver key says of its DriverVer.
DriverVer installed_ver(const std::string &driver_key) {
    DriverVer d;
    std::string date, version;
    if (driver_key.empty() || !R().get_string(driver_key, "DriverDate", &date) ||
        std::sscanf(date.c_str(), "%u-%u-%u", &d.month, &d.day, &d.year) != 3)
        return d;
    d.valid = true;
    if (R().get_string(driver_key, "DriverVersion", &version))
        std::sscanf(version.c_str(), "%u.%u.%u.%u", &d.v[0], &d.v[1], &d.v[2], &d.v[3]);
    return d;
}

bool has_id(const devices::Device &d, const std::string &hwid) {
    for (auto &h : d.hardware_ids)
        if (iequals(h, hwid)) return true;
    for (auto &h : d.compatible_ids)
        if (iequals(h, hwid)) return true;
    return false;
}

bool model_matches(const inf::Model &m, const std::string &hwid) {
    if (iequals(m.hardware_id, hwid)) return true;
    for (auto &c : m.compatible_ids)
        if (iequals(c, hwid)) return true;
    return false;
}

// Files of an INF in the INF directory come from where it was copied from,
// as the precompiled file beside it records ("" for the INF's own directory).
std::string source_dir(const inf::File &f) {
    if (!iequals(dir_part(f.path), inf::dirid_path(17))) return "";
    std::vector<BYTE> bytes;
    if (!disk::read_file(f.path.substr(0, f.path.size() - 3) + "pnf", &bytes)) return "";
    std::string text(bytes.begin(), bytes.end()), key = "\r\nOriginalLocation=";
    size_t at = text.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    return text.substr(at, text.find("\r\n", at) - at);
}

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

// ConfigFlags: REG_DWORD on NT, four binary bytes on 9x.
DWORD config_flags(const std::string &node) {
    DWORD type = 0;
    std::vector<BYTE> data;
    DWORD v = 0;
    if (R().get_value(node, "ConfigFlags", &type, &data) && data.size() == 4) std::memcpy(&v, data.data(), 4);
    return v;
}
void set_config_flags(const std::string &node, DWORD v) {
    std::vector<BYTE> data(4);
    std::memcpy(data.data(), &v, 4);
    R().set_value(node, "ConfigFlags", M().profile->nt() ? REG_DWORD : REG_BINARY, data);
}

// How well a model fits a device: the position of the matching ID in the
// device's hardware IDs, then its compatible IDs (lower is better); a
// model's own compatible IDs rank below its hardware ID.  -1: no match.
long match_rank(const devices::Device &d, const inf::Model &m) {
    long best = -1;
    auto consider = [&](const std::string &model_id, long penalty) {
        long n = 0;
        for (auto *list : {&d.hardware_ids, &d.compatible_ids})
            for (auto &id : *list) {
                if (iequals(id, model_id) && (best < 0 || n + penalty < best)) best = n + penalty;
                n++;
            }
    };
    consider(m.hardware_id, 0);
    for (auto &c : m.compatible_ids) consider(c, 0x1000);
    return best;
}

// The INFs Plug and Play searches: the INF directory, and on 9x its "OTHER"
// folder where OEM INFs are kept.
std::vector<std::string> store_infs(bool nt) {
    std::vector<std::string> out;
    std::string dir = inf::dirid_path(17);
    for (const std::string &d : nt ? std::vector<std::string>{dir} : std::vector<std::string>{dir, dir + "\\OTHER"}) {
        WINSIM_LOCK();
        PathInfo p = D().resolve(d);
        if (!p.exists || !p.is_dir) continue;
        for (auto &e : D().list(p))
            if (!e.is_dir && e.name.size() > 4 && iequals(e.name.substr(e.name.size() - 4), ".inf"))
                out.push_back(d + "\\" + e.name);
    }
    return out;
}

void machine_started(bool loaded) {
    WINSIM_LOCK();
    const Profile &p = *M().profile;
    if (!loaded && p.nt() && p.major >= 5)
        disk::write_text(std::string(p.system_dir) + "\\newdev.dll", "WINSIM-IMAGE\r\nbuiltin=newdev\r\n");
}

const bool registered = add_life_cycle({machine_started, nullptr});

} // namespace

namespace pnp {

DWORD install_driver(const std::string &instance_id, const inf::File &f, const std::string &inf_name,
                     const inf::Model &model, DWORD *restart, bool keep_installed_files) {
    *restart = 0;
    inf::VersionInfo info = inf::version_info(f);
    std::string hkr, node;
    bool was;
    {
        WINSIM_LOCK();
        devices::Device d;
        if (!devices::find(instance_id, &d)) return ERROR_NO_SUCH_DEVINST;
        was = running(instance_id);
        node = node_path(instance_id);
        // An INF may name its class without the GUID (9x INFs often do).
        std::string guid = !info.class_guid.empty() ? upper(info.class_guid) : class_guid_of(info.class_name);
        if (guid.empty()) guid = d.class_guid;
        std::string cls = info.class_name.empty() ? class_name_of(guid) : info.class_name;
        if (cls.empty()) cls = d.class_name;
        ensure_class(cls, guid);
        // The driver key stays when the class does; a class change starts afresh.
        std::string old = driver_path(instance_id);
        bool keep = !old.empty() && R().key_exists(old) && d.driver.size() > guid.size() &&
                    iequals(d.driver.substr(0, guid.size()), guid);
        if (!keep) {
            if (!old.empty() && R().key_exists(old)) R().delete_tree(old);
            R().set_string(node, "Driver", new_driver_key(cls, guid));
        } else {
            for (auto &v : R().value_names(old)) R().delete_value(old, v);
        }
        R().set_string(node, "ClassGUID", guid);
        R().set_string(node, "Class", cls);
        hkr = driver_path(instance_id);
    }
    inf::InstallOptions options;
    options.hkr = hkr;
    options.source_dir = source_dir(f);
    options.keep_installed_files = keep_installed_files;
    inf::InstallResult r = inf::install_section(f, model.install_section, options);
    WINSIM_LOCK();
    devices::Device still;
    if (!devices::find(instance_id, &still)) return ERROR_NO_SUCH_DEVINST;
    DWORD flags = config_flags(node);
    if (r.error) {
        set_config_flags(node, flags | CONFIGFLAG_FAILEDINSTALL);
        return r.error;
    }
    DriverVer ver = parse_driver_ver(info.driver_ver);
    R().set_string(hkr, "InfPath", inf_name);
    R().set_string(hkr, "InfSection", model.install_section);
    if (r.section.size() > model.install_section.size())
        R().set_string(hkr, "InfSectionExt", r.section.substr(model.install_section.size()));
    R().set_string(hkr, "ProviderName", info.provider);
    R().set_string(hkr, "DriverDesc", model.description);
    // NT keeps the ID in lower case, 9x's configuration manager in upper case.
    R().set_string(hkr, "MatchingDeviceId", M().profile->nt() ? lower(model.hardware_id) : upper(model.hardware_id));
    if (ver.valid) {
        R().set_string(hkr, "DriverDate", ver.date_text());
        R().set_string(hkr, "DriverVersion", ver.version_text());
    }
    R().set_string(node, "DeviceDesc", model.description);
    R().set_string(node, "Mfg", model.manufacturer);
    if (r.associated_service.empty()) R().delete_value(node, "Service");
    else R().set_string(node, "Service", r.associated_service);
    set_config_flags(node, flags & ~(DWORD)(CONFIGFLAG_REINSTALL | CONFIGFLAG_FAILEDINSTALL));
    if (R().key_exists(node + "\\Control") && !r.associated_service.empty())
        R().set_string(node + "\\Control", "ActiveService", r.associated_service);
    *restart = restart_bits(instance_id) | (r.reboot ? DI_NEEDREBOOT : 0);
    // A started device loads its driver.
    if (running(instance_id) && !r.associated_service.empty() &&
        scm::state_of(r.associated_service) == SERVICE_STOPPED)
        services::hold(r.associated_service, SERVICE_RUNNING);
    state_changed(instance_id, was);
    return 0;
}

DWORD install_from_store(const std::string &instance_id, DWORD *restart) {
    *restart = 0;
    devices::Device d;
    bool nt;
    {
        WINSIM_LOCK();
        const Profile &p = *M().profile;
        nt = p.nt();
        if (nt && p.major < 5) return ERROR_NOT_SUPPORTED; // NT 4.0 has no Plug and Play
        if (!devices::find(instance_id, &d) || !d.present) return ERROR_NO_SUCH_DEVINST;
        if (!driver_path(instance_id).empty() && R().key_exists(driver_path(instance_id))) return 0;
    }
    // The best match over every INF; among equals the newer DriverVer, then the first found.
    inf::File best_file;
    inf::Model best_model;
    std::string best_path;
    long best_rank = -1;
    DriverVer best_ver;
    for (auto &path : store_infs(nt)) {
        inf::File f;
        if (inf::load(path, &f)) continue;
        DriverVer ver = parse_driver_ver(inf::version_info(f).driver_ver);
        for (auto &m : inf::models(f, nt)) {
            long rank = match_rank(d, m);
            if (rank < 0) continue;
            if (best_rank >= 0 && (rank > best_rank || (rank == best_rank && !(best_ver.key() < ver.key()))))
                continue;
            best_rank = rank;
            best_ver = ver;
            best_model = m;
            best_path = path;
            best_file = f;
        }
    }
    if (best_rank < 0) return ERROR_NO_MORE_ITEMS; // stays under "Other devices"
    std::string name = base_name(best_path);
    if (iequals(base_name(dir_part(best_path)), "OTHER")) name = "OTHER\\" + name;
    return install_driver(instance_id, best_file, name, best_model, restart, true);
}

} // namespace pnp
} // namespace winsim

using namespace winsim;

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath,
                                                          DWORD InstallFlags, PBOOL bRebootRequired) {
    (void)hwndParent;
    WINSIM_FAULT_BOOL("UpdateDriverForPlugAndPlayDevicesA");
    {
        WINSIM_LOCK();
        const Profile &p = *M().profile;
        if (!p.nt() || p.major < 5) return fail(ERROR_CALL_NOT_IMPLEMENTED);
    }
    if (!HardwareId || !*HardwareId || !FullInfPath || !*FullInfPath || std::strlen(HardwareId) >= k_max_device_id)
        return fail(ERROR_INVALID_PARAMETER);
    if (InstallFlags & ~(DWORD)INSTALLFLAG_BITS) return fail(ERROR_INVALID_FLAGS);
    inf::File f;
    if (DWORD e = inf::load(FullInfPath, &f)) return fail(e);
    std::string hwid = HardwareId;

    std::vector<std::string> targets;
    bool any_device = false;
    const inf::Model *model = nullptr;
    std::vector<inf::Model> models = inf::models(f, true);
    for (auto &m : models)
        if (!model && model_matches(m, hwid)) model = &m;
    DriverVer offered = parse_driver_ver(inf::version_info(f).driver_ver);
    for (auto &d : devices::list()) {
        if (!d.present || !has_id(d, hwid)) continue;
        any_device = true;
        if (!model) continue;
        if (!(InstallFlags & INSTALLFLAG_FORCE)) {
            WINSIM_LOCK();
            DriverVer current = installed_ver(pnp::driver_path(d.instance_id));
            if (current.valid && (!offered.valid || !(current.key() < offered.key()))) continue;
        }
        targets.push_back(d.instance_id);
    }
    if (!any_device) return fail(ERROR_NO_SUCH_DEVINST);
    // No driver for the ID in the INF, or none better than what the devices have.
    if (targets.empty()) return fail(ERROR_NO_MORE_ITEMS);

    // Drivers are installed from a copy in the INF directory.
    std::string inf_name = base_name(FullInfPath);
    if (!iequals(dir_part(f.path), inf::dirid_path(17))) {
        char dest[MAX_PATH];
        PSTR component = nullptr;
        if (!SetupCopyOEMInfA(FullInfPath, nullptr, SPOST_PATH, 0, dest, sizeof dest, nullptr, &component))
            return FALSE;
        inf_name = component ? component : base_name(dest);
    }
    DWORD reboot = 0;
    for (auto &id : targets) {
        DWORD restart = 0;
        if (DWORD e = pnp::install_driver(id, f, inf_name, *model, &restart)) return fail(e);
        reboot |= restart;
    }
    if (bRebootRequired) *bRebootRequired = reboot != 0;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
