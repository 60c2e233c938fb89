// SetupAPI's device information sets over the Plug and Play device database,
// and the control side that plugs, registers and reclassifies device nodes.
//
// The database is the registry itself (see winsim::devices in sim.h), so a
// program that walks the Enum or class keys sees what SetupAPI shows.  A set
// is a snapshot of instance IDs taken when it is made; properties are read
// from the registry when asked, so a node deleted meanwhile answers
// ERROR_NO_SUCH_DEVINST.
#include <dbt.h>
#include <setupapi.h>

#include "pnp.h"
#include "registry.h"
#include "services.h"
#include "threads.h"
#include "user.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

// The sizes 32-bit Windows gives the structures callers fill in.
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20, "SP_PROPCHANGE_PARAMS");
static_assert(sizeof(void *) != 4 || sizeof(SP_DEVINSTALL_PARAMS_A) == 296, "SP_DEVINSTALL_PARAMS_A");
static_assert(sizeof(void *) != 4 || sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA");

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


std::string base_name(const std::string &path) {
    size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

// A string value; "" deletes it.
void put_string(const std::string &key, const char *name, const std::string &value) {
    if (value.empty()) R().delete_value(key, name);
    else R().set_string(key, name, value);
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
    bool was = pnp::running(id);
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
    pnp::state_changed(id, was);
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

// The install parameters SetupAPI keeps per element (and per set).
struct InstallParams {
    DWORD flags = 0, flags_ex = 0;
    HWND parent = nullptr;
    std::string driver_path;
    std::vector<BYTE> class_params; // SetupDiSetClassInstallParamsA's bytes
};

struct Member {
    std::string id;
    ULONG_PTR serial = 0; // SP_DEVINFO_DATA.Reserved: stable while others are deleted
    // Made by SetupDiCreateDeviceInfoA and not yet registered: lives here only.
    bool pending = false;
    std::string class_name, class_guid, description;
    std::vector<std::string> hardware_ids, compatible_ids;
    InstallParams params;
};

struct DeviceSet : Object {
    DeviceSet() : Object(HandleKind::DeviceInfoSet) {}
    std::vector<Member> members;
    std::string class_guid; // "" for a set of any class
    ULONG_PTR next_serial = 1;
    InstallParams params;
    Member &push(const std::string &id) {
        Member m;
        m.id = id;
        m.serial = next_serial++;
        members.push_back(std::move(m));
        return members.back();
    }
};

std::shared_ptr<DeviceSet> get_set(HDEVINFO h) {
    if (!h || h == INVALID_HANDLE_VALUE) return nullptr;
    return handle_table::get_as<DeviceSet>((HANDLE)h, HandleKind::DeviceInfoSet);
}

// The member a caller's SP_DEVINFO_DATA names; sets the last error and
// returns -1 when the set, the record or the member is bad.
int member_of(HDEVINFO h, PSP_DEVINFO_DATA data, std::shared_ptr<DeviceSet> *set, bool pending_ok = false) {
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
    auto &v = (*set)->members;
    auto it = std::find_if(v.begin(), v.end(), [&](const Member &m) { return m.serial == data->Reserved; });
    if (data->Reserved == 0 || it == v.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (it->pending ? !pending_ok : !node_exists(it->id)) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return -1;
    }
    return (int)(it - v.begin());
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


// ------------------------------------------------------------ Plug and Play
//
// A node runs when present, enabled globally and in the current profile and
// not stopped there; the kit's own devices also need their driver service.
// Starting and stopping drive what follows from it: reader-class nodes
// arrive at (or leave) the windows registered for device notifications, and
// the bus enumerator makes or drops its virtual readers.

const char k_enum_hwid[] = "quva\\quvaenum";
const char k_reader_hwid[] = "quvaenum\\quvaifd";
const char k_token_params[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\QvaToken\\Parameters";
const char k_enum_service[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\QuvaEnum";
const DWORD k_max_readers = 32;

struct PnpState {
    std::map<std::string, DWORD> restart; // by upper-case instance or hardware ID
    bool arrivals = true;
    DWORD interval = 500;
    uint64_t enum_generation = 0; // bumped whenever the enumerator starts or stops
    std::set<std::string> reserved; // IDs of elements not yet registered
    // Devices plugged in, by upper-case instance ID: the ID and hardware ID.
    std::map<std::string, std::pair<std::string, std::string>> attached;
};

PnpState &P() {
    static PnpState *p = new PnpState; // timers may outlive static destruction
    return *p;
}

void unreserve(const std::string &id) { P().reserved.erase(upper(id)); }

std::string first_hwid(const devices::Device &d) { return d.hardware_ids.empty() ? "" : d.hardware_ids[0]; }

bool node_running(const devices::Device &d) {
    if (!d.present || (d.config_flags & CONFIGFLAG_DISABLED) ||
        (d.profile_flags & (CSCONFIGFLAG_DISABLED | CSCONFIGFLAG_DO_NOT_START)))
        return false;
    return !is_token_or_enumerator(first_hwid(d)) || !d.service.empty();
}

// "\\?\QUVAENUM#QUVAIFD#...#{50dd5230-...}", as Windows names an interface.
std::string interface_link(const std::string &id, const std::string &guid) {
    std::string s = id;
    for (char &c : s)
        if (c == '\\') c = '#';
    return "\\\\?\\" + s + "#" + lower(guid);
}

std::string child_id(const std::string &enum_id, DWORD index) {
    uint32_t h = 2166136261u;
    for (char c : upper(enum_id)) h = (h ^ (BYTE)c) * 16777619u;
    char inst[40];
    std::snprintf(inst, sizeof inst, "1&%X&0&%02u", (unsigned)(h & 0xFFFFFFF), (unsigned)index);
    return std::string("QUVAENUM\\QUVAIFD\\") + inst;
}

std::vector<std::string> child_nodes() {
    std::vector<std::string> out;
    for (auto &id : all_nodes()) {
        devices::Device d;
        if (read_node(id, &d) && iequals(first_hwid(d), k_reader_hwid)) out.push_back(id);
    }
    return out;
}

// The resource manager lists the enumerator's running readers.
void update_readers() {
    int n = 0;
    for (auto &id : child_nodes()) n += pnp::running(id);
    scard::set_virtual_readers(n);
}

void child_arrives(const std::string &enum_id, uint64_t generation, DWORD index);

void start_children(const std::string &enum_id) {
    DWORD use = 0, count = 0;
    if (!nt() || M().profile->major < 5 || !P().arrivals) return;
    if (!R().get_dword(k_token_params, "UseRM", &use) || !use) return;
    if (!R().get_dword(k_enum_service, "NumberOfDevices", &count) || !count) return;
    count = std::min(count, k_max_readers);
    uint64_t generation = P().enum_generation, now = sched::now();
    for (DWORD i = 0; i < count; i++)
        sched::at(now + (uint64_t)P().interval * (i + 1),
                  [enum_id, generation, i] { child_arrives(enum_id, generation, i); });
}

void stop_children() {
    for (auto &id : child_nodes())
        if (R().key_exists(node_key(id) + "\\" + k_control)) set_present(id, false);
}

// Runs on the scheduler's timer: the node appears and gets the virtual
// reader's driver from the INF that installed its enumerator.
void child_arrives(const std::string &enum_id, uint64_t generation, DWORD index) {
    std::string child, inf_path;
    {
        WINSIM_LOCK();
        if (!M_or_null() || P().enum_generation != generation || !pnp::running(enum_id)) return;
        child = child_id(enum_id, index);
        devices::Device d;
        if (!read_node(child, &d)) {
            devices::DeviceSpec spec;
            spec.hardware_ids = {k_reader_hwid};
            spec.instance_id = child;
            spec.class_name = "Unknown";
            spec.present = false;
            if (devices::add(spec).empty()) return;
            read_node(child, &d);
        }
        set_present(child, true);
        if (!d.service.empty()) return;
        std::string drv = pnp::driver_path(enum_id), inf_name;
        if (drv.empty() || !R().get_string(drv, "InfPath", &inf_name) || inf_name.empty()) return;
        inf_path = inf::locate(inf_name);
    }
    inf::File f;
    if (inf::load(inf_path, &f)) return;
    for (auto &model : inf::models(f, true))
        if (iequals(model.hardware_id, k_reader_hwid)) {
            DWORD restart = 0;
            pnp::install_driver(child, f, base_name(inf_path), model, &restart);
            return;
        }
}

// A node started (up) or stopped.
// A function driver unloads when the last device it drives stops or goes, so
// its service can then be deleted without waiting for a restart.
void unload_unused_driver(const devices::Device &gone) {
    if (gone.service.empty() || scm::state_of(gone.service) != SERVICE_RUNNING) return;
    for (const devices::Device &d : devices::list())
        if (!iequals(d.instance_id, gone.instance_id) && iequals(d.service, gone.service) && node_running(d)) return;
    services::hold(gone.service, SERVICE_STOPPED);
}

// A device that starts loads its function driver again (after a disable or a stop).
void load_driver(const devices::Device &d) {
    if (!d.service.empty() && scm::state_of(d.service) == SERVICE_STOPPED) services::hold(d.service, SERVICE_RUNNING);
}

void went(const devices::Device &d, bool up) {
    std::string hwid = first_hwid(d);
    if (iequals(hwid, k_enum_hwid)) {
        P().enum_generation++;
        if (up) start_children(d.instance_id);
        else stop_children();
    }
    // Reader-class nodes and the enumerator's readers, whatever class their
    // INF gave them, show the smart-card reader interface; the enumerator
    // itself is a bus driver and shows none, whatever its class.
    if ((iequals(d.class_guid, devices::kSmartCardReaderClass) && !iequals(hwid, k_enum_hwid)) ||
        iequals(hwid, k_reader_hwid))
        pnp::broadcast_interface(up ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, devices::kSmartCardReaderClass,
                                 interface_link(d.instance_id, devices::kSmartCardReaderClass));
    if (iequals(hwid, k_reader_hwid)) update_readers();
    if (up) load_driver(d);
    else unload_unused_driver(d);
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
    // Windows 2000 and later start with one hardware profile; "Current" is a
    // link to it there, a plain key here (profiles are read by number).
    if (!loaded && p.nt() && p.major >= 5) {
        R().create_key(profiles_root() + "\\0001");
        R().create_key(profiles_root() + "\\Current");
        R().set_dword("HKLM\\SYSTEM\\CurrentControlSet\\Control\\IDConfigDB", "CurrentConfig", 1);
    }
    if (loaded) {
        for (auto &id : all_nodes()) {
            devices::Device d;
            if (!read_node(id, &d) || !d.present) continue;
            // Readers of other makers plugged in when the machine was saved.
            sync_reader(d, true);
            if (iequals(id.substr(0, 4), "USB\\") && !d.hardware_ids.empty())
                P().attached[upper(id)] = {id, d.hardware_ids[0]};
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
    P() = PnpState();
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
    if (spec.class_name.empty() || !pnp::parse_guid(guid, &parsed)) return "";
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
    put_string(key, "Service", spec.service);
    put_string(key, "Mfg", spec.mfg);
    put_string(key, "DeviceDesc", spec.description);
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

namespace {

// The node a device plugged in shows as (it stays attached until unplugged,
// even when its node is removed meanwhile): "" when there is none to plug.
std::string attach(const std::string &hardware_id, const std::string &instance_id) {
    std::string id;
    Device d;
    if (!instance_id.empty()) {
        if (read_node(instance_id, &d)) {
            if (d.present) return "";
            id = d.instance_id;
            set_present(id, true);
        }
    } else {
        for (auto &n : all_nodes())
            if (read_node(n, &d) && !d.present && !d.hardware_ids.empty() && iequals(d.hardware_ids[0], hardware_id)) {
                id = n;
                set_present(id, true);
                break;
            }
    }
    if (id.empty()) {
        // A device Windows has no driver for yet waits under "Other devices".
        DeviceSpec spec;
        spec.hardware_ids = {hardware_id};
        spec.instance_id = instance_id;
        spec.class_name = "Unknown";
        id = add(spec);
    }
    if (!id.empty()) P().attached[upper(id)] = {id, hardware_id};
    return id;
}

} // namespace

std::string plug(const std::string &hardware_id, const std::string &instance_id) {
    std::string id;
    {
        WINSIM_LOCK();
        id = attach(hardware_id, instance_id);
    }
    DWORD restart = 0;
    if (!id.empty()) pnp::install_from_store(id, &restart);
    return id;
}

bool unplug(const std::string &id) {
    WINSIM_LOCK();
    Device d;
    std::string gone;
    if (read_node(id, &d)) {
        if (d.present) gone = d.instance_id;
    } else {
        for (auto &n : all_nodes())
            if (read_node(n, &d) && d.present && !d.hardware_ids.empty() && iequals(d.hardware_ids[0], id)) {
                gone = n;
                break;
            }
    }
    if (gone.empty()) {
        // A device whose node was removed while it was plugged in.
        return P().attached.erase(upper(id)) != 0;
    }
    P().attached.erase(upper(gone));
    set_present(gone, false);
    return true;
}

std::vector<std::string> rescan() {
    std::vector<std::string> bare;
    {
        WINSIM_LOCK();
        // Attached devices whose nodes were removed come back.
        auto attached = P().attached;
        for (auto &a : attached)
            if (!node_exists(a.second.first)) attach(a.second.second, a.second.first);
        for (auto &id : all_nodes()) {
            Device d;
            if (read_node(id, &d) && d.present && (d.driver.empty() || !R().key_exists(driver_key_path(d.driver))))
                bare.push_back(id);
        }
    }
    std::vector<std::string> installed;
    for (auto &id : bare) {
        DWORD restart = 0;
        Device d;
        if (!pnp::install_from_store(id, &restart) && find(id, &d) && !d.driver.empty()) installed.push_back(id);
    }
    return installed;
}

bool remove(const std::string &instance_id) {
    WINSIM_LOCK();
    Device d;
    if (!read_node(instance_id, &d)) return false;
    if (d.present) sync_reader(d, false);
    if (node_running(d)) {
        // Leaves as a stopped node would, before its keys go.
        R().delete_tree(node_key(instance_id) + "\\" + k_control);
        went(d, false);
    }
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
    if (class_name.empty() || !pnp::parse_guid(guid, &parsed)) return false;
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
    put_string(node_key(instance_id), "Service", service);
    return true;
}

bool set_driver(const std::string &instance_id, const std::string &driver) {
    WINSIM_LOCK();
    if (!node_exists(instance_id)) return false;
    put_string(node_key(instance_id), "Driver", driver);
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
    std::vector<std::pair<std::string, bool>> before;
    for (auto &id : all_nodes()) before.push_back({id, pnp::running(id)});
    R().set_dword("HKLM\\SYSTEM\\CurrentControlSet\\Control\\IDConfigDB", "CurrentConfig", (DWORD)profile);
    for (auto &b : before) pnp::state_changed(b.first, b.second);
}

void set_restart_bits(const std::string &id, DWORD bits) {
    WINSIM_LOCK();
    if (bits) P().restart[upper(id)] = bits;
    else P().restart.erase(upper(id));
}

void set_reader_arrivals(bool arrive, DWORD interval_ms) {
    WINSIM_LOCK();
    P().arrivals = arrive;
    P().interval = interval_ms;
}

bool running(const std::string &instance_id) {
    WINSIM_LOCK();
    return pnp::running(instance_id);
}

} // namespace devices

namespace pnp {

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


bool running(const std::string &instance_id) {
    devices::Device d;
    return read_node(instance_id, &d) && node_running(d);
}

void state_changed(const std::string &instance_id, bool was) {
    devices::Device d;
    bool now = read_node(instance_id, &d) && node_running(d);
    if (now != was) went(d, now);
}

DWORD restart_bits(const std::string &instance_id) {
    auto &r = P().restart;
    auto it = r.find(upper(instance_id));
    if (it != r.end()) return it->second;
    devices::Device d;
    if (read_node(instance_id, &d) && !d.hardware_ids.empty()) {
        it = r.find(upper(d.hardware_ids[0]));
        if (it != r.end()) return it->second;
    }
    return 0;
}

std::string class_name_of(const std::string &guid) {
    for (auto &c : k_classes)
        if (iequals(c.guid, guid)) return c.name;
    return "";
}

std::string class_guid_of(const std::string &name) { return known_guid(name); }

void ensure_class(const std::string &name, const std::string &guid) { ensure_class_key(name, upper(guid)); }

std::string node_path(const std::string &instance_id) { return node_key(instance_id); }

std::string driver_path(const std::string &instance_id) {
    return driver_key_path(string_value(node_key(instance_id), "Driver"));
}

std::string new_driver_key(const std::string &class_name, const std::string &guid) {
    std::string key = class_key(class_name, guid);
    std::string n = next_number(key);
    R().create_key(key + "\\" + n);
    return (nt() ? upper(guid) : class_name) + "\\" + n;
}

} // namespace pnp
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

// A property of an element: from the set while it is not registered.
bool member_property(const Member &m, DWORD property, DWORD *type, std::vector<BYTE> *data) {
    if (!m.pending) return read_property(m.id, property, type, data);
    std::string text;
    switch (property) {
    case SPDRP_HARDWAREID:
    case SPDRP_COMPATIBLEIDS: {
        auto &items = property == SPDRP_HARDWAREID ? m.hardware_ids : m.compatible_ids;
        if (items.empty()) return false;
        *type = REG_MULTI_SZ;
        *data = multi_sz(items);
        return true;
    }
    case SPDRP_DEVICEDESC: text = m.description; break;
    case SPDRP_CLASS: text = m.class_name; break;
    case SPDRP_CLASSGUID: text = m.class_guid; break;
    default: return false;
    }
    if (text.empty()) return false;
    *type = REG_SZ;
    *data = bytes_of(text + '\0');
    return true;
}

// The strings of a caller's multi-string of `size` bytes (the final empty
// string may be missing).
std::vector<std::string> split_multi_sz(const BYTE *p, DWORD size) {
    std::vector<std::string> out;
    std::string cur;
    for (DWORD i = 0; i < size; i++) {
        if (p[i]) {
            cur += (char)p[i];
            continue;
        }
        if (cur.empty()) break;
        out.push_back(cur);
        cur.clear();
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

// The element's own class-install parameters, else the set's.
const std::vector<BYTE> &class_params(const DeviceSet &set, const Member &m) {
    return m.params.class_params.empty() ? set.params.class_params : m.params.class_params;
}

bool valid_profile(DWORD profile) { return profile <= 9999; }

// The install parameters a call names: the element's, or the set's when no
// element is given.  nullptr with the last error set when either is bad.
InstallParams *params_of(HDEVINFO h, PSP_DEVINFO_DATA data, std::shared_ptr<DeviceSet> *set) {
    if (data) {
        int i = member_of(h, data, set, true);
        return i < 0 ? nullptr : &(*set)->members[i].params;
    }
    *set = get_set(h);
    if (!*set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &(*set)->params;
}

// The same, with the checks of the caller's SP_DEVINSTALL_PARAMS_A.
InstallParams *device_params_of(HDEVINFO h, PSP_DEVINFO_DATA data, PSP_DEVINSTALL_PARAMS_A record,
                                std::shared_ptr<DeviceSet> *set) {
    InstallParams *p = params_of(h, data, set);
    if (!p) return nullptr;
    if (!record || record->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A)) {
        SetLastError(record ? ERROR_INVALID_USER_BUFFER : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return p;
}

// DIF_PROPERTYCHANGE's default action.
DWORD change_state(Member &m, const SP_PROPCHANGE_PARAMS &pc) {
    const std::string &id = m.id;
    bool was = pnp::running(id);
    int profile = pc.HwProfile ? (int)pc.HwProfile : current_profile();
    std::string key = node_key(id), cs_key = profile_key(profile, id);
    DWORD flags = 0, cs = 0;
    read_flags(key, "ConfigFlags", &flags);
    read_flags(cs_key, "CSConfigFlags", &cs);
    bool global = pc.Scope != DICS_FLAG_CONFIGSPECIFIC;
    switch (pc.StateChange) {
    case DICS_ENABLE:
        if (global) flags &= ~(DWORD)CONFIGFLAG_DISABLED;
        else cs &= ~(DWORD)CSCONFIGFLAG_DISABLED;
        break;
    case DICS_DISABLE:
        if (global) flags |= CONFIGFLAG_DISABLED;
        else cs |= CSCONFIGFLAG_DISABLED;
        break;
    case DICS_START: cs &= ~(DWORD)CSCONFIGFLAG_DO_NOT_START; break;
    case DICS_STOP: cs |= CSCONFIGFLAG_DO_NOT_START; break;
    default: break; // DICS_PROPCHANGE: a restart of the device below
    }
    if (global) write_flags(key, "ConfigFlags", flags);
    else if (cs) write_flags(cs_key, "CSConfigFlags", cs);
    else if (R().key_exists(cs_key)) R().delete_value(cs_key, "CSConfigFlags");
    if (pc.StateChange == DICS_PROPCHANGE && was) {
        devices::Device d;
        if (read_node(id, &d)) {
            went(d, false);
            went(d, true);
        }
    } else {
        pnp::state_changed(id, was);
    }
    m.params.flags |= pnp::restart_bits(id);
    return 0;
}

// DIF_REMOVE's default action: the node, its driver key and profile entries.
DWORD remove_member(Member &m) {
    if (m.pending) return ERROR_NO_SUCH_DEVINST;
    DWORD bits = pnp::restart_bits(m.id);
    if (!devices::remove(m.id)) return ERROR_NO_SUCH_DEVINST;
    m.params.flags |= bits;
    return 0;
}

// DIF_REGISTERDEVICE: the element becomes a node; root-enumerated nodes are present at once.
DWORD register_member(Member &m) {
    if (!m.pending) return 0;
    std::string key = node_key(m.id);
    if (R().key_exists(key)) return ERROR_DEVINST_ALREADY_EXISTS;
    R().create_key(key);
    write_list(key, "HardwareID", m.hardware_ids);
    write_list(key, "CompatibleIDs", m.compatible_ids);
    R().set_string(key, "ClassGUID", m.class_guid);
    if (!m.class_name.empty()) {
        R().set_string(key, "Class", m.class_name);
        ensure_class_key(m.class_name, m.class_guid);
    }
    if (!m.description.empty()) R().set_string(key, "DeviceDesc", m.description);
    write_flags(key, "ConfigFlags", 0);
    m.pending = false;
    unreserve(m.id);
    set_present(m.id, true);
    return 0;
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
        set->push(id);
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
    const Member &m = set->members[MemberIndex];
    std::memset(&DeviceInfoData->ClassGuid, 0, sizeof(GUID));
    pnp::parse_guid(m.pending ? m.class_guid : node_class_guid(node_key(m.id)), &DeviceInfoData->ClassGuid);
    DeviceInfoData->DevInst = devinst_of(m.id);
    DeviceInfoData->Reserved = m.serial;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    WINSIM_FAULT_BOOL("SetupDiGetDeviceRegistryPropertyA");
    WINSIM_LOCK();
    std::shared_ptr<DeviceSet> set;
    int i = member_of(DeviceInfoSet, DeviceInfoData, &set, true);
    if (i < 0) return FALSE;
    if (Property >= SPDRP_MAXIMUM_PROPERTY || !property_value(Property)) return fail(ERROR_INVALID_REG_PROPERTY);
    if (!PropertyBuffer && PropertyBufferSize) return fail(ERROR_INVALID_PARAMETER);
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!member_property(set->members[i], Property, &type, &data)) return fail(ERROR_INVALID_DATA);
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
    int i = member_of(DeviceInfoSet, DeviceInfoData, &set, true);
    if (i < 0) return FALSE;
    if (!DeviceInstanceId && DeviceInstanceIdSize) return fail(ERROR_INVALID_PARAMETER);
    // The ID as the database spells it (NT upper-cases enumerator and device).
    const std::string &id = set->members[i].id;
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
    auto set = get_set(DeviceInfoSet);
    if (!set) return fail(ERROR_INVALID_HANDLE);
    for (auto &m : set->members)
        if (m.pending) unreserve(m.id);
    if (!handle_table::remove((HANDLE)DeviceInfoSet)) return fail(ERROR_INVALID_HANDLE);
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
        bool named_by_guid = pnp::parse_guid(k, &g);
        if (named_by_guid) {
            if (!iequals(string_value(root + "\\" + k, "Class"), ClassName)) continue;
        } else {
            // 9x: a class key named by its class.
            if (nt() || !iequals(k, ClassName)) continue;
            std::string guid = string_value(root + "\\" + k, "ClassGUID");
            if (guid.empty()) guid = known_guid(k);
            if (!pnp::parse_guid(guid, &g)) continue;
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

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent) {
    (void)hwndParent;
    if (DWORD e = fault("SetupDiCreateDeviceInfoList")) {
        SetLastError(e);
        return INVALID_HANDLE_VALUE;
    }
    WINSIM_LOCK();
    auto set = std::make_shared<DeviceSet>();
    if (ClassGuid) set->class_guid = format_guid(*ClassGuid);
    SetLastError(ERROR_SUCCESS);
    return (HDEVINFO)handle_table::add(set);
}

BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceName, const GUID *ClassGuid,
                                     PCSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData) {
    (void)hwndParent;
    WINSIM_FAULT_BOOL("SetupDiCreateDeviceInfoA");
    WINSIM_LOCK();
    auto set = get_set(DeviceInfoSet);
    if (!set) return fail(ERROR_INVALID_HANDLE);
    if (!DeviceName || !ClassGuid) return fail(ERROR_INVALID_PARAMETER);
    if (CreationFlags & ~(DWORD)(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS)) return fail(ERROR_INVALID_FLAGS);
    if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    std::string guid = format_guid(*ClassGuid);
    if (!set->class_guid.empty() && !iequals(set->class_guid, guid)) return fail(ERROR_CLASS_MISMATCH);
    std::string name = DeviceName, id;
    if (CreationFlags & DICD_GENERATE_ID) {
        // Root-enumerated: ROOT\<NAME>\0000, the first number free.
        if (name.empty() || name.find('\\') != std::string::npos || name.size() > 190)
            return fail(ERROR_INVALID_DEVINST_NAME);
        for (int n = 0; n < 10000 && id.empty(); n++) {
            char inst[16];
            std::snprintf(inst, sizeof inst, "%04d", n);
            std::string candidate = "ROOT\\" + upper(name) + "\\" + inst;
            if (!R().key_exists(node_key(candidate)) && !P().reserved.count(upper(candidate))) id = candidate;
        }
        if (id.empty()) return fail(ERROR_DEVINST_ALREADY_EXISTS);
    } else {
        if (std::count(name.begin(), name.end(), '\\') != 2 || name.front() == '\\' || name.back() == '\\' ||
            name.find("\\\\") != std::string::npos || name.size() > 199)
            return fail(ERROR_INVALID_DEVINST_NAME);
        id = upper(name);
        if (R().key_exists(node_key(id)) || P().reserved.count(id)) return fail(ERROR_DEVINST_ALREADY_EXISTS);
    }
    P().reserved.insert(upper(id));
    Member &m = set->push(id);
    m.pending = true;
    m.class_guid = guid;
    m.class_name = pnp::class_name_of(guid);
    if (m.class_name.empty()) {
        std::string key = class_key("", guid);
        if (nt() && R().key_exists(key)) m.class_name = string_value(key, "Class");
    }
    if (DeviceDescription) m.description = DeviceDescription;
    if (DeviceInfoData) {
        DeviceInfoData->ClassGuid = *ClassGuid;
        DeviceInfoData->DevInst = devinst_of(id);
        DeviceInfoData->Reserved = m.serial;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, const BYTE *PropertyBuffer, DWORD PropertyBufferSize) {
    WINSIM_FAULT_BOOL("SetupDiSetDeviceRegistryPropertyA");
    WINSIM_LOCK();
    std::shared_ptr<DeviceSet> set;
    int i = member_of(DeviceInfoSet, DeviceInfoData, &set, true);
    if (i < 0) return FALSE;
    Member &m = set->members[i];
    // The properties a caller may write; the others belong to the installers.
    const char *name = property_value(Property);
    bool writable = Property == SPDRP_DEVICEDESC || Property == SPDRP_HARDWAREID || Property == SPDRP_COMPATIBLEIDS ||
                    Property == SPDRP_SERVICE || Property == SPDRP_CONFIGFLAGS || Property == SPDRP_MFG ||
                    Property == SPDRP_FRIENDLYNAME;
    if (!name || !writable) return fail(ERROR_INVALID_REG_PROPERTY);
    if (!PropertyBuffer && PropertyBufferSize) return fail(ERROR_INVALID_PARAMETER);
    bool erase = !PropertyBuffer || PropertyBufferSize == 0;
    if (Property == SPDRP_HARDWAREID || Property == SPDRP_COMPATIBLEIDS) {
        std::vector<std::string> items = erase ? std::vector<std::string>() : split_multi_sz(PropertyBuffer, PropertyBufferSize);
        if (!erase && items.empty()) return fail(ERROR_INVALID_DATA);
        if (m.pending) (Property == SPDRP_HARDWAREID ? m.hardware_ids : m.compatible_ids) = items;
        else write_list(node_key(m.id), name, items);
    } else if (Property == SPDRP_CONFIGFLAGS) {
        if (!erase && PropertyBufferSize != 4) return fail(ERROR_INVALID_DATA);
        if (m.pending) return fail(ERROR_NO_SUCH_DEVINST);
        bool was = pnp::running(m.id);
        DWORD v = 0;
        if (!erase) std::memcpy(&v, PropertyBuffer, 4);
        write_flags(node_key(m.id), name, v);
        pnp::state_changed(m.id, was);
    } else {
        std::string text;
        if (!erase) text.assign((const char *)PropertyBuffer, strnlen((const char *)PropertyBuffer, PropertyBufferSize));
        if (m.pending) {
            if (Property != SPDRP_DEVICEDESC) return fail(ERROR_NO_SUCH_DEVINST);
            m.description = text;
        } else {
            bool was = pnp::running(m.id); // a service may make one of the kit's devices start
            if (text.empty()) R().delete_value(node_key(m.id), name);
            else R().set_string(node_key(m.id), name, text);
            pnp::state_changed(m.id, was);
        }
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize) {
    WINSIM_FAULT_BOOL("SetupDiSetClassInstallParamsA");
    WINSIM_LOCK();
    std::shared_ptr<DeviceSet> set;
    InstallParams *target = params_of(DeviceInfoSet, DeviceInfoData, &set);
    if (!target) return FALSE;
    if (!ClassInstallParams) {
        if (ClassInstallParamsSize) return fail(ERROR_INVALID_PARAMETER);
        target->class_params.clear();
        target->flags &= ~(DWORD)DI_CLASSINSTALLPARAMS;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) return fail(ERROR_INVALID_USER_BUFFER);
    if (ClassInstallParamsSize < sizeof(SP_CLASSINSTALL_HEADER) || ClassInstallParamsSize > 0x10000)
        return fail(ERROR_INVALID_PARAMETER);
    if (ClassInstallParams->InstallFunction == DIF_PROPERTYCHANGE) {
        if (ClassInstallParamsSize != sizeof(SP_PROPCHANGE_PARAMS)) return fail(ERROR_INVALID_PARAMETER);
        const auto *pc = (const SP_PROPCHANGE_PARAMS *)ClassInstallParams;
        bool config = pc->Scope == DICS_FLAG_CONFIGSPECIFIC;
        if (pc->StateChange < DICS_ENABLE || pc->StateChange > DICS_STOP ||
            (pc->Scope != DICS_FLAG_GLOBAL && !config && pc->Scope != DICS_FLAG_CONFIGGENERAL) ||
            ((pc->StateChange == DICS_START || pc->StateChange == DICS_STOP) && !config))
            return fail(ERROR_INVALID_FLAGS);
        if (config && !valid_profile(pc->HwProfile)) return fail(ERROR_INVALID_HWPROFILE);
    }
    // Each call replaces what the last one set.
    target->class_params.assign((const BYTE *)ClassInstallParams, (const BYTE *)ClassInstallParams + ClassInstallParamsSize);
    target->flags |= DI_CLASSINSTALLPARAMS;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiGetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize,
                                          PDWORD RequiredSize) {
    WINSIM_FAULT_BOOL("SetupDiGetClassInstallParamsA");
    WINSIM_LOCK();
    std::shared_ptr<DeviceSet> set;
    const InstallParams *owner = params_of(DeviceInfoSet, DeviceInfoData, &set);
    if (!owner) return FALSE;
    const std::vector<BYTE> *params = &owner->class_params;
    if (params->empty()) return fail(ERROR_NO_CLASSINSTALL_PARAMS);
    if (ClassInstallParams && ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (RequiredSize) *RequiredSize = (DWORD)params->size();
    if (!ClassInstallParams || ClassInstallParamsSize < params->size()) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(ClassInstallParams, params->data(), params->size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    WINSIM_FAULT_BOOL("SetupDiCallClassInstaller");
    WINSIM_LOCK();
    if (InstallFunction != DIF_REGISTERDEVICE && InstallFunction != DIF_PROPERTYCHANGE && InstallFunction != DIF_REMOVE) {
        if (!get_set(DeviceInfoSet)) return fail(ERROR_INVALID_HANDLE);
        return fail(ERROR_DI_DO_DEFAULT); // no class installer of ours handles it
    }
    if (!DeviceInfoData) return fail(get_set(DeviceInfoSet) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    std::shared_ptr<DeviceSet> set;
    int i = member_of(DeviceInfoSet, DeviceInfoData, &set, InstallFunction == DIF_REGISTERDEVICE);
    if (i < 0) return FALSE;
    Member &m = set->members[i];
    DWORD error = 0;
    if (InstallFunction == DIF_REGISTERDEVICE) {
        error = register_member(m);
    } else if (InstallFunction == DIF_REMOVE) {
        error = remove_member(m);
    } else {
        const std::vector<BYTE> &raw = class_params(*set, m);
        SP_PROPCHANGE_PARAMS pc;
        if (raw.size() != sizeof pc) return fail(ERROR_NO_CLASSINSTALL_PARAMS);
        std::memcpy(&pc, raw.data(), sizeof pc);
        if (pc.ClassInstallHeader.InstallFunction != DIF_PROPERTYCHANGE) return fail(ERROR_NO_CLASSINSTALL_PARAMS);
        error = change_state(m, pc);
    }
    if (error) return fail(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams) {
    WINSIM_FAULT_BOOL("SetupDiGetDeviceInstallParamsA");
    WINSIM_LOCK();
    std::shared_ptr<DeviceSet> set;
    const InstallParams *p = device_params_of(DeviceInfoSet, DeviceInfoData, DeviceInstallParams, &set);
    if (!p) return FALSE;
    std::memset(DeviceInstallParams, 0, sizeof *DeviceInstallParams);
    DeviceInstallParams->cbSize = sizeof *DeviceInstallParams;
    DeviceInstallParams->Flags = p->flags;
    DeviceInstallParams->FlagsEx = p->flags_ex;
    DeviceInstallParams->hwndParent = p->parent;
    std::memcpy(DeviceInstallParams->DriverPath, p->driver_path.c_str(), p->driver_path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiSetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams) {
    WINSIM_FAULT_BOOL("SetupDiSetDeviceInstallParamsA");
    WINSIM_LOCK();
    std::shared_ptr<DeviceSet> set;
    InstallParams *p = device_params_of(DeviceInfoSet, DeviceInfoData, DeviceInstallParams, &set);
    if (!p) return FALSE;
    size_t len = strnlen(DeviceInstallParams->DriverPath, MAX_PATH);
    if (len == MAX_PATH) return fail(ERROR_INVALID_PARAMETER);
    // DI_CLASSINSTALLPARAMS says whether parameters are set; callers cannot forge it.
    p->flags = (DeviceInstallParams->Flags & ~(DWORD)DI_CLASSINSTALLPARAMS) | (p->flags & DI_CLASSINSTALLPARAMS);
    p->flags_ex = DeviceInstallParams->FlagsEx;
    p->parent = DeviceInstallParams->hwndParent;
    p->driver_path.assign(DeviceInstallParams->DriverPath, len);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    WINSIM_FAULT_BOOL("SetupDiRemoveDevice");
    WINSIM_LOCK();
    std::shared_ptr<DeviceSet> set;
    int i = member_of(DeviceInfoSet, DeviceInfoData, &set);
    if (i < 0) return FALSE;
    if (DWORD e = remove_member(set->members[i])) return fail(e);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    WINSIM_FAULT_BOOL("SetupDiDeleteDeviceInfo");
    WINSIM_LOCK();
    auto set = get_set(DeviceInfoSet);
    if (!set) return fail(ERROR_INVALID_HANDLE);
    if (!DeviceInfoData) return fail(ERROR_INVALID_PARAMETER);
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
    auto &v = set->members;
    auto it = std::find_if(v.begin(), v.end(), [&](const Member &m) { return m.serial == DeviceInfoData->Reserved; });
    if (DeviceInfoData->Reserved == 0 || it == v.end()) return fail(ERROR_INVALID_PARAMETER);
    // Later elements move down one index, as on Windows.
    if (it->pending) unreserve(it->id);
    v.erase(it);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupDiDeleteDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                   DWORD HwProfile, DWORD KeyType) {
    WINSIM_FAULT_BOOL("SetupDiDeleteDevRegKey");
    WINSIM_LOCK();
    std::shared_ptr<DeviceSet> set;
    int i = member_of(DeviceInfoSet, DeviceInfoData, &set);
    if (i < 0) return FALSE;
    if ((Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) ||
        (KeyType != DIREG_DEV && KeyType != DIREG_DRV && KeyType != DIREG_BOTH))
        return fail(ERROR_INVALID_FLAGS);
    const std::string &id = set->members[i].id;
    std::string driver = string_value(node_key(id), "Driver");
    std::vector<std::string> keys;
    bool dev = KeyType != DIREG_DRV, drv = KeyType != DIREG_DEV;
    if (Scope == DICS_FLAG_GLOBAL) {
        if (dev) keys.push_back(node_key(id) + "\\Device Parameters");
        if (drv && !driver_key_path(driver).empty()) keys.push_back(driver_key_path(driver));
    } else {
        // 0xFFFFFFFF: every profile; 0: the current one.
        std::vector<int> profiles;
        if (HwProfile == 0xFFFFFFFF) {
            for (auto &p : R().subkeys(profiles_root())) profiles.push_back(std::atoi(p.c_str()));
        } else if (!valid_profile(HwProfile)) {
            return fail(ERROR_INVALID_HWPROFILE);
        } else {
            profiles.push_back(HwProfile ? (int)HwProfile : current_profile());
        }
        for (int p : profiles) {
            char nnnn[16];
            std::snprintf(nnnn, sizeof nnnn, "%04d", p);
            if (dev) keys.push_back(profile_key(p, id));
            if (drv && !driver.empty())
                keys.push_back(profiles_root() + "\\" + nnnn + "\\System\\CurrentControlSet\\Control\\Class\\" + driver);
        }
    }
    for (auto &k : keys)
        if (R().key_exists(k)) R().delete_tree(k);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // extern "C"
