// SetupAPI's device information sets over the Plug and Play device database,
// and the control side that plugs, registers and reclassifies device nodes.
//
// The database is the registry itself (see winsim::devices in sim.h), so a
// program that walks the Enum or class keys sees what SetupAPI shows.  A set
// is a snapshot of instance IDs taken when it is made; properties are read
// from the registry when asked, so a node deleted meanwhile answers
// ERROR_NO_SUCH_DEVINST.
#include <setupapi.h>

#include "registry.h"
#include "services.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace winsim {

namespace devices {
const char *const kUsbClass = "{36FC9E60-C465-11CF-8056-444553540000}";
const char *const kSmartCardReaderClass = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}";
const char *const kTokenClass = "{4C9A2E71-5B3D-4F80-A6C2-1E7D9B3F5A08}";
const char *const kOtherClass = "{4D36E97E-E325-11CE-BFC1-08002BE10318}";
} // namespace devices

namespace {

struct KnownClass {
    const char *name;
    const char *guid;
};
const KnownClass k_classes[] = {
    {"USB", "{36FC9E60-C465-11CF-8056-444553540000}"},
    {"SmartCardReader", "{50DD5230-BA8A-11D1-BF5D-0000F805F530}"},
    {"Quva", "{4C9A2E71-5B3D-4F80-A6C2-1E7D9B3F5A08}"},
    {"Unknown", "{4D36E97E-E325-11CE-BFC1-08002BE10318}"},
    {"System", "{4D36E97D-E325-11CE-BFC1-08002BE10318}"},
};

const char k_control[] = "Control"; // present devices only

Registry &R() { return *M().registry; }
bool nt() { return M().profile->nt(); }

std::string enum_root() { return nt() ? "HKLM\\SYSTEM\\CurrentControlSet\\Enum" : "HKLM\\Enum"; }
std::string class_root() {
    return nt() ? "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class" : "HKLM\\System\\CurrentControlSet\\Services\\Class";
}
std::string node_key(const std::string &id) { return enum_root() + "\\" + id; }

std::string known_guid(const std::string &name) {
    for (auto &c : k_classes)
        if (iequals(c.name, name)) return c.guid;
    return "";
}

// NT keys setup classes by GUID, 9x by name.
std::string class_key(const std::string &name, const std::string &guid) {
    return class_root() + "\\" + (nt() ? upper(guid) : name);
}

std::string format_guid(const GUID &g) {
    char s[40];
    std::snprintf(s, sizeof s, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned)g.Data1,
                  (unsigned)g.Data2, (unsigned)g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return s;
}

bool parse_guid(const std::string &s, GUID *g) {
    unsigned d1, d2, d3, b[8];
    char close = 0;
    if (s.size() != 38 ||
        std::sscanf(s.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                    &b[4], &b[5], &b[6], &b[7], &close) != 12 ||
        close != '}')
        return false;
    g->Data1 = d1;
    g->Data2 = (WORD)d2;
    g->Data3 = (WORD)d3;
    for (int i = 0; i < 8; i++) g->Data4[i] = (BYTE)b[i];
    return true;
}

std::vector<BYTE> bytes_of(const std::string &s) { return std::vector<BYTE>(s.begin(), s.end()); }

std::vector<BYTE> multi_sz(const std::vector<std::string> &items) {
    std::string m;
    for (auto &i : items) m += i + '\0';
    m += '\0';
    return bytes_of(m);
}

// A string list as stored: REG_MULTI_SZ, or 9x's one string with commas.
std::vector<std::string> read_list(const std::string &key, const char *name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    std::vector<std::string> out;
    if (!R().get_value(key, name, &type, &data)) return out;
    std::string s(data.begin(), data.end());
    char sep = type == REG_MULTI_SZ ? '\0' : ',';
    if (type != REG_MULTI_SZ) s = s.substr(0, s.find('\0'));
    size_t i = 0;
    while (i < s.size()) {
        size_t end = s.find(sep, i);
        if (end == std::string::npos) end = s.size();
        if (end == i && type == REG_MULTI_SZ) break;
        if (end > i) out.push_back(s.substr(i, end - i));
        i = end + 1;
    }
    return out;
}

void write_list(const std::string &key, const char *name, const std::vector<std::string> &items) {
    if (items.empty()) {
        R().delete_value(key, name);
    } else if (nt()) {
        R().set_value(key, name, REG_MULTI_SZ, multi_sz(items));
    } else {
        std::string joined;
        for (auto &i : items) joined += (joined.empty() ? "" : ",") + i;
        R().set_string(key, name, joined);
    }
}

// A 32-bit flag word: REG_DWORD on NT, four binary bytes on 9x.
bool read_flags(const std::string &key, const char *name, DWORD *v) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!R().get_value(key, name, &type, &data) || data.size() != 4 || (type != REG_DWORD && type != REG_BINARY))
        return false;
    std::memcpy(v, data.data(), 4);
    return true;
}
void write_flags(const std::string &key, const char *name, DWORD v) {
    std::vector<BYTE> data(4);
    std::memcpy(data.data(), &v, 4);
    R().set_value(key, name, nt() ? REG_DWORD : REG_BINARY, data);
}

std::string string_value(const std::string &key, const char *name) {
    std::string s;
    return R().get_string(key, name, &s) ? s : "";
}

int current_profile() {
    DWORD v = 0;
    return R().get_dword("HKLM\\SYSTEM\\CurrentControlSet\\Control\\IDConfigDB", "CurrentConfig", &v) && v ? (int)v
                                                                                                        : 1;
}
std::string profiles_root() {
    return nt() ? "HKLM\\SYSTEM\\CurrentControlSet\\Hardware Profiles" : "HKLM\\Config";
}
std::string profile_key(int profile, const std::string &id) {
    char nnnn[16];
    std::snprintf(nnnn, sizeof nnnn, "%04d", profile);
    return profiles_root() + "\\" + nnnn + (nt() ? "\\System\\CurrentControlSet\\Enum\\" : "\\Enum\\") + id;
}

// Every instance ID, in the registry's enumeration order.
std::vector<std::string> all_nodes() {
    std::vector<std::string> out;
    std::string root = enum_root();
    for (auto &e : R().subkeys(root))
        for (auto &d : R().subkeys(root + "\\" + e))
            for (auto &i : R().subkeys(root + "\\" + e + "\\" + d)) out.push_back(e + "\\" + d + "\\" + i);
    return out;
}

bool node_exists(const std::string &id) {
    return id.find('\\') != std::string::npos && R().key_exists(node_key(id)) &&
           std::count(id.begin(), id.end(), '\\') == 2;
}

// The node's setup class GUID: "ClassGUID", else (9x) the known GUID of "Class".
std::string node_class_guid(const std::string &key) {
    std::string g = string_value(key, "ClassGUID");
    if (g.empty() && !nt()) g = known_guid(string_value(key, "Class"));
    return g;
}

bool read_node(const std::string &id, devices::Device *d) {
    if (!node_exists(id)) return false;
    std::string key = node_key(id);
    d->instance_id = id;
    d->hardware_ids = read_list(key, "HardwareID");
    d->compatible_ids = read_list(key, "CompatibleIDs");
    d->class_name = string_value(key, "Class");
    d->class_guid = node_class_guid(key);
    d->service = string_value(key, "Service");
    d->driver = string_value(key, "Driver");
    d->mfg = string_value(key, "Mfg");
    d->description = string_value(key, "DeviceDesc");
    d->config_flags = 0;
    read_flags(key, "ConfigFlags", &d->config_flags);
    d->present = R().key_exists(key + "\\" + k_control);
    d->profile_flags = 0;
    read_flags(profile_key(current_profile(), id), "CSConfigFlags", &d->profile_flags);
    return true;
}

// ------------------------------------------------ keeping the machine in step

bool is_token_or_enumerator(const std::string &hwid) {
    return (hwid.size() >= 13 && iequals(hwid.substr(0, 13), "USB\\VID_1F3C&")) || iequals(hwid, "quva\\quvaenum") ||
           iequals(hwid, "quvaenum\\quvaifd");
}

// A smart-card reader of some other maker: the resource manager sees it as
// a physical reader named by its description.
std::string physical_reader_name(const devices::Device &d) {
    if (!iequals(d.class_guid, devices::kSmartCardReaderClass) || d.hardware_ids.empty() ||
        is_token_or_enumerator(d.hardware_ids[0]))
        return "";
    return d.description.empty() ? d.instance_id : d.description;
}

void sync_reader(const devices::Device &d, bool present) {
    std::string name = physical_reader_name(d);
    if (name.empty()) return;
    if (present) {
        scard::ReaderSpec spec;
        spec.name = name;
        spec.introduce = true;
        scard::add_reader(spec);
    } else {
        scard::remove_reader(name);
    }
}

void set_present(const std::string &id, bool present) {
    std::string control = node_key(id) + "\\" + k_control;
    if (present) {
        R().create_key(control);
        std::string service = string_value(node_key(id), "Service");
        if (!service.empty()) R().set_string(control, "ActiveService", service);
    } else if (R().key_exists(control)) {
        R().delete_tree(control);
    }
    devices::Device d;
    if (read_node(id, &d)) sync_reader(d, present);
}

void ensure_class_key(const std::string &name, const std::string &guid) {
    std::string key = class_key(name, guid);
    if (!R().key_exists(key) || string_value(key, "Class").empty()) R().set_string(key, "Class", name);
    // 98/ME keep the USB class under its GUID as well.
    const Profile &p = *M().profile;
    if (!p.nt() && (p.major > 4 || p.minor > 0) && iequals(guid, devices::kUsbClass))
        R().set_string(class_root() + "\\" + devices::kUsbClass, "Class", name);
}

// The next free four-digit subkey of a key.
std::string next_number(const std::string &key) {
    for (int n = 0; n < 10000; n++) {
        char s[8];
        std::snprintf(s, sizeof s, "%04d", n);
        if (!R().key_exists(key + "\\" + s)) return s;
    }
    return "";
}

// The Enum path a hardware ID gives: its enumerator and device parts, a USB
// revision suffix dropped ("USB\VID_1F3C&PID_1000&REV_0100" ->
// "USB\VID_1F3C&PID_1000").
std::string device_path(const std::string &hwid) {
    size_t slash = hwid.find('\\');
    if (slash == std::string::npos || slash == 0 || slash + 1 >= hwid.size()) return "";
    std::string enumerator = hwid.substr(0, slash), device = hwid.substr(slash + 1);
    for (char &c : device)
        if (c == '\\') c = '#';
    size_t rev = upper(device).find("&REV_");
    if (iequals(enumerator, "USB") && rev != std::string::npos) device = device.substr(0, rev);
    return upper(enumerator) + "\\" + device;
}

std::string new_instance_id(const std::string &path) {
    uint32_t h = 2166136261u;
    for (char c : upper(path)) h = (h ^ (BYTE)c) * 16777619u;
    for (int n = 1;; n++) {
        char inst[32];
        std::snprintf(inst, sizeof inst, "5&%X&0&%d", (unsigned)(h & 0xFFFFFFF), n);
        std::string id = path + "\\" + inst;
        if (!R().key_exists(node_key(id))) return id;
    }
}

// The driver subkey a "Driver" value names, as a registry path ("" if none).
std::string driver_key_path(const std::string &driver) {
    if (driver.empty() || driver.find('\\') == std::string::npos) return "";
    return class_root() + "\\" + driver;
}

// ---------------------------------------------------------------- sets

struct DeviceSet : Object {
    DeviceSet() : Object(HandleKind::DeviceInfoSet) {}
    std::vector<std::string> members; // instance IDs
};

std::shared_ptr<DeviceSet> get_set(HDEVINFO h) {
    if (!h || h == INVALID_HANDLE_VALUE) return nullptr;
    return handle_table::get_as<DeviceSet>((HANDLE)h, HandleKind::DeviceInfoSet);
}

// The member a caller's SP_DEVINFO_DATA names; sets the last error and
// returns -1 when the set, the record or the member is bad.
int member_of(HDEVINFO h, PSP_DEVINFO_DATA data, std::shared_ptr<DeviceSet> *set) {
    *set = get_set(h);
    if (!*set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return -1;
    }
    ULONG_PTR i = data->Reserved;
    if (i == 0 || i > (*set)->members.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!node_exists((*set)->members[i - 1])) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return -1;
    }
    return (int)(i - 1);
}

// Device instance handles: one number per instance ID for the machine's life.
std::map<std::string, DWORD> &devinst_numbers() {
    static std::map<std::string, DWORD> m;
    return m;
}
DWORD devinst_of(const std::string &id) {
    auto &m = devinst_numbers();
    auto it = m.find(upper(id));
    if (it != m.end()) return it->second;
    DWORD n = (DWORD)m.size() + 1;
    m[upper(id)] = n;
    return n;
}

// ------------------------------------------------------------ life cycle

void link_service(const char *name, void (*set)(bool)) {
    scm::Hooks hooks;
    hooks.started = [set](const std::string &) { set(true); };
    hooks.stopped = [set](const std::string &) { set(false); };
    scm::set_hooks(name, std::move(hooks));
}

void machine_started(bool loaded) {
    WINSIM_LOCK();
    devinst_numbers().clear();
    const Profile &p = *M().profile;
    // A new machine that has USB (2000 and later, 98/ME) has its host
    // controllers' class; other class keys come with their first device.
    if (!loaded && ((p.nt() && p.major >= 5) || (!p.nt() && (p.major > 4 || p.minor > 0))))
        ensure_class_key("USB", devices::kUsbClass);
    if (loaded) {
        // Readers of other makers plugged in when the machine was saved.
        for (auto &id : all_nodes()) {
            devices::Device d;
            if (read_node(id, &d) && d.present) sync_reader(d, true);
        }
    }
    // The services' running state drives the pieces that stand for them.
    // Relies on the service manager's own start hook having run first (it
    // clears its per-service state): services.cpp is linked before this file.
    if (p.nt()) {
        link_service("SCardSvr", scard::set_service_running);
        if (p.major >= 5) link_service("qvatoken", tokens::set_driver_present);
        if (p.major == 4) link_service("usbqvtkn", tokens::set_driver_present);
    }
}

void machine_ended() {
    WINSIM_LOCK();
    devinst_numbers().clear();
}

const bool registered = add_life_cycle({machine_started, machine_ended});

} // namespace

// ------------------------------------------------------------ control API

namespace devices {

std::string add(const DeviceSpec &spec) {
    WINSIM_LOCK();
    if (spec.hardware_ids.empty() || spec.hardware_ids[0].empty()) return "";
    std::string guid = spec.class_guid.empty() ? known_guid(spec.class_name) : upper(spec.class_guid);
    GUID parsed;
    if (spec.class_name.empty() || !parse_guid(guid, &parsed)) return "";
    std::string id = spec.instance_id;
    if (id.empty()) {
        std::string path = device_path(spec.hardware_ids[0]);
        if (path.empty()) return "";
        id = new_instance_id(path);
    }
    if (std::count(id.begin(), id.end(), '\\') != 2 || id.front() == '\\' || id.back() == '\\' ||
        id.find("\\\\") != std::string::npos)
        return "";
    std::string key = node_key(id);
    bool was_present = R().key_exists(key + "\\" + k_control);
    R().create_key(key);
    write_list(key, "HardwareID", spec.hardware_ids);
    write_list(key, "CompatibleIDs", spec.compatible_ids);
    R().set_string(key, "ClassGUID", guid);
    R().set_string(key, "Class", spec.class_name);
    ensure_class_key(spec.class_name, guid);
    if (spec.service.empty()) R().delete_value(key, "Service");
    else R().set_string(key, "Service", spec.service);
    if (spec.mfg.empty()) R().delete_value(key, "Mfg");
    else R().set_string(key, "Mfg", spec.mfg);
    if (spec.description.empty()) R().delete_value(key, "DeviceDesc");
    else R().set_string(key, "DeviceDesc", spec.description);
    write_flags(key, "ConfigFlags", spec.config_flags);
    if (spec.driver) {
        std::string ckey = class_key(spec.class_name, guid);
        std::string n = next_number(ckey);
        R().set_string(ckey + "\\" + n, "DriverDesc", spec.description);
        R().set_string(ckey + "\\" + n, "MatchingDeviceId", lower(spec.hardware_ids[0]));
        R().set_string(key, "Driver", (nt() ? guid : spec.class_name) + "\\" + n);
    } else {
        R().delete_value(key, "Driver");
    }
    if (was_present && !spec.present) set_present(id, false);
    if (spec.present) set_present(id, true);
    return id;
}

std::string plug(const std::string &hardware_id) {
    WINSIM_LOCK();
    for (auto &id : all_nodes()) {
        Device d;
        if (read_node(id, &d) && !d.present && !d.hardware_ids.empty() && iequals(d.hardware_ids[0], hardware_id)) {
            set_present(id, true);
            return id;
        }
    }
    DeviceSpec spec;
    spec.hardware_ids = {hardware_id};
    return add(spec);
}

bool unplug(const std::string &id) {
    WINSIM_LOCK();
    Device d;
    if (read_node(id, &d)) {
        if (!d.present) return false;
        set_present(d.instance_id, false);
        return true;
    }
    for (auto &n : all_nodes())
        if (read_node(n, &d) && d.present && !d.hardware_ids.empty() && iequals(d.hardware_ids[0], id)) {
            set_present(n, false);
            return true;
        }
    return false;
}

bool remove(const std::string &instance_id) {
    WINSIM_LOCK();
    Device d;
    if (!read_node(instance_id, &d)) return false;
    if (d.present) sync_reader(d, false);
    std::string driver = driver_key_path(d.driver);
    if (!driver.empty() && R().key_exists(driver)) R().delete_tree(driver);
    for (auto &p : R().subkeys(profiles_root())) {
        std::string key = profile_key(std::atoi(p.c_str()), instance_id);
        if (R().key_exists(key)) R().delete_tree(key);
    }
    std::string key = node_key(instance_id);
    R().delete_tree(key);
    std::string parent = dir_part(key);
    if (R().subkeys(parent).empty()) R().delete_tree(parent);
    return true;
}

std::vector<Device> list() {
    WINSIM_LOCK();
    std::vector<Device> out;
    for (auto &id : all_nodes()) {
        Device d;
        if (read_node(id, &d)) out.push_back(std::move(d));
    }
    return out;
}

bool find(const std::string &instance_id, Device *device) {
    WINSIM_LOCK();
    return read_node(instance_id, device);
}

bool set_class(const std::string &instance_id, const std::string &class_name, const std::string &class_guid) {
    WINSIM_LOCK();
    Device before;
    if (!read_node(instance_id, &before)) return false;
    std::string guid = class_guid.empty() ? known_guid(class_name) : upper(class_guid);
    GUID parsed;
    if (class_name.empty() || !parse_guid(guid, &parsed)) return false;
    if (before.present) sync_reader(before, false);
    std::string key = node_key(instance_id);
    R().set_string(key, "ClassGUID", guid);
    R().set_string(key, "Class", class_name);
    ensure_class_key(class_name, guid);
    Device after;
    if (read_node(instance_id, &after) && after.present) sync_reader(after, true);
    return true;
}

bool set_service(const std::string &instance_id, const std::string &service) {
    WINSIM_LOCK();
    if (!node_exists(instance_id)) return false;
    if (service.empty()) R().delete_value(node_key(instance_id), "Service");
    else R().set_string(node_key(instance_id), "Service", service);
    return true;
}

bool set_driver(const std::string &instance_id, const std::string &driver) {
    WINSIM_LOCK();
    if (!node_exists(instance_id)) return false;
    if (driver.empty()) R().delete_value(node_key(instance_id), "Driver");
    else R().set_string(node_key(instance_id), "Driver", driver);
    return true;
}

bool set_profile_flags(const std::string &instance_id, DWORD flags, int profile) {
    WINSIM_LOCK();
    if (!node_exists(instance_id) || profile < 0 || profile > 9999) return false;
    write_flags(profile_key(profile ? profile : current_profile(), instance_id), "CSConfigFlags", flags);
    return true;
}

void set_current_profile(int profile) {
    WINSIM_LOCK();
    R().set_dword("HKLM\\SYSTEM\\CurrentControlSet\\Control\\IDConfigDB", "CurrentConfig", (DWORD)profile);
}

} // namespace devices
} // namespace winsim

using namespace winsim;

// ------------------------------------------------------------ SetupAPI

namespace {

const char *property_value(DWORD property) {
    switch (property) {
    case SPDRP_DEVICEDESC: return "DeviceDesc";
    case SPDRP_HARDWAREID: return "HardwareID";
    case SPDRP_COMPATIBLEIDS: return "CompatibleIDs";
    case SPDRP_SERVICE: return "Service";
    case SPDRP_CLASS: return "Class";
    case SPDRP_CLASSGUID: return "ClassGUID";
    case SPDRP_DRIVER: return "Driver";
    case SPDRP_CONFIGFLAGS: return "ConfigFlags";
    case SPDRP_MFG: return "Mfg";
    case SPDRP_FRIENDLYNAME: return "FriendlyName";
    default: return nullptr;
    }
}

// A property as SetupAPI hands it out: lists as REG_MULTI_SZ whatever the
// platform stores, flag words as REG_DWORD.
bool read_property(const std::string &id, DWORD property, DWORD *type, std::vector<BYTE> *data) {
    std::string key = node_key(id);
    const char *name = property_value(property);
    if (property == SPDRP_HARDWAREID || property == SPDRP_COMPATIBLEIDS) {
        std::vector<std::string> items = read_list(key, name);
        if (items.empty()) return false;
        *type = REG_MULTI_SZ;
        *data = multi_sz(items);
        return true;
    }
    if (property == SPDRP_CONFIGFLAGS) {
        DWORD v;
        if (!read_flags(key, name, &v)) return false;
        *type = REG_DWORD;
        data->resize(4);
        std::memcpy(data->data(), &v, 4);
        return true;
    }
    if (property == SPDRP_CLASSGUID) {
        std::string g = node_class_guid(key);
        if (g.empty()) return false;
        *type = REG_SZ;
        *data = bytes_of(g + '\0');
        return true;
    }
    return R().get_value(key, name, type, data);
}

bool fail(DWORD error) {
    SetLastError(error);
    return false;
}

} // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
    (void)hwndParent;
    if (DWORD e = fault("SetupDiGetClassDevsA")) {
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    WINSIM_LOCK();
    if (Flags & ~(DWORD)(DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    if (Flags & (DIGCF_DEVICEINTERFACE | DIGCF_DEFAULT)) { // device interfaces are not modelled
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return INVALID_HANDLE_VALUE;
    }
    bool all = (Flags & DIGCF_ALLCLASSES) != 0;
    if (!ClassGuid && !all) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string enumerator = Enumerator ? Enumerator : "";
    if (!enumerator.empty() && !R().key_exists(node_key(enumerator))) {
        SetLastError(ERROR_INVALID_DATA);
        return INVALID_HANDLE_VALUE;
    }
    std::string guid = ClassGuid ? format_guid(*ClassGuid) : "";
    int profile = current_profile();
    auto set = std::make_shared<DeviceSet>();
    for (auto &id : all_nodes()) {
        if (!enumerator.empty()) {
            bool whole = enumerator.find('\\') != std::string::npos;
            std::string head = whole ? id : id.substr(0, id.find('\\'));
            if (!iequals(head, enumerator)) continue;
        }
        std::string key = node_key(id);
        if (!all && !iequals(node_class_guid(key), guid)) continue;
        if ((Flags & DIGCF_PRESENT) && !R().key_exists(key + "\\" + k_control)) continue;
        DWORD cs = 0;
        if ((Flags & DIGCF_PROFILE) && read_flags(profile_key(profile, id), "CSConfigFlags", &cs) && (cs & 2))
            continue; // CSCONFIGFLAG_DO_NOT_CREATE: not part of this profile
        set->members.push_back(id);
    }
    SetLastError(ERROR_SUCCESS);
    return (HDEVINFO)handle_table::add(set);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    WINSIM_FAULT_BOOL("SetupDiEnumDeviceInfo");
    WINSIM_LOCK();
    auto set = get_set(DeviceInfoSet);
    if (!set) return fail(ERROR_INVALID_HANDLE);
    if (!DeviceInfoData) return fail(ERROR_INVALID_PARAMETER);
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    if (MemberIndex >= set->members.size()) return fail(ERROR_NO_MORE_ITEMS);
    const std::string &id = set->members[MemberIndex];
    std::memset(&DeviceInfoData->ClassGuid, 0, sizeof(GUID));
    parse_guid(node_class_guid(node_key(id)), &DeviceInfoData->ClassGuid);
    DeviceInfoData->DevInst = devinst_of(id);
    DeviceInfoData->Reserved = (ULONG_PTR)MemberIndex + 1;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    WINSIM_FAULT_BOOL("SetupDiGetDeviceRegistryPropertyA");
    WINSIM_LOCK();
    std::shared_ptr<DeviceSet> set;
    int i = member_of(DeviceInfoSet, DeviceInfoData, &set);
    if (i < 0) return FALSE;
    if (Property >= SPDRP_MAXIMUM_PROPERTY || !property_value(Property)) return fail(ERROR_INVALID_REG_PROPERTY);
    if (!PropertyBuffer && PropertyBufferSize) return fail(ERROR_INVALID_PARAMETER);
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!read_property(set->members[i], Property, &type, &data)) return fail(ERROR_INVALID_DATA);
    if (PropertyRegDataType) *PropertyRegDataType = type;
    if (RequiredSize) *RequiredSize = (DWORD)data.size();
    if (PropertyBufferSize < data.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
    if (!data.empty()) std::memcpy(PropertyBuffer, data.data(), data.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
    WINSIM_FAULT_BOOL("SetupDiGetDeviceInstanceIdA");
    WINSIM_LOCK();
    std::shared_ptr<DeviceSet> set;
    int i = member_of(DeviceInfoSet, DeviceInfoData, &set);
    if (i < 0) return FALSE;
    if (!DeviceInstanceId && DeviceInstanceIdSize) return fail(ERROR_INVALID_PARAMETER);
    // The ID as the database spells it (NT upper-cases enumerator and device).
    const std::string &id = set->members[i];
    DWORD need = (DWORD)id.size() + 1;
    if (RequiredSize) *RequiredSize = need;
    if (DeviceInstanceIdSize < need) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(DeviceInstanceId, id.c_str(), need);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    WINSIM_FAULT_BOOL("SetupDiDestroyDeviceInfoList");
    WINSIM_LOCK();
    if (!get_set(DeviceInfoSet) || !handle_table::remove((HANDLE)DeviceInfoSet)) return fail(ERROR_INVALID_HANDLE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiClassGuidsFromNameA(PCSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                       PDWORD RequiredSize) {
    WINSIM_FAULT_BOOL("SetupDiClassGuidsFromNameA");
    WINSIM_LOCK();
    if (!ClassName || !RequiredSize || (!ClassGuidList && ClassGuidListSize)) return fail(ERROR_INVALID_PARAMETER);
    std::vector<GUID> found;
    std::string root = class_root();
    for (auto &k : R().subkeys(root)) {
        GUID g;
        bool named_by_guid = parse_guid(k, &g);
        if (named_by_guid) {
            if (!iequals(string_value(root + "\\" + k, "Class"), ClassName)) continue;
        } else {
            // 9x: a class key named by its class.
            if (nt() || !iequals(k, ClassName)) continue;
            std::string guid = string_value(root + "\\" + k, "ClassGUID");
            if (guid.empty()) guid = known_guid(k);
            if (!parse_guid(guid, &g)) continue;
        }
        bool dup = false;
        for (auto &f : found) dup = dup || std::memcmp(&f, &g, sizeof g) == 0;
        if (!dup) found.push_back(g);
    }
    *RequiredSize = (DWORD)found.size();
    for (DWORD i = 0; i < found.size() && i < ClassGuidListSize; i++) ClassGuidList[i] = found[i];
    if (ClassGuidListSize < found.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // extern "C"
