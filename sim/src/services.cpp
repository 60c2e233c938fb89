// The service control manager of the simulated machine.
//
// The registry is the service database: a service is a subkey of
// HKLM\SYSTEM\CurrentControlSet\Services with a valid "Type", and its
// configuration is read from there on every call, so the two never disagree.
// What the registry does not hold (the current state, open handles, pending
// transitions, scripted behaviour) is kept here, keyed by the upper-cased
// name.  A deleted service keeps its key, with DeleteFlag=1, until its last
// handle is closed and it has stopped, as on NT.
#include "services.h"

#include "disk.h"
#include "processes.h"
#include "registry.h"
#include "threads.h"

#include <cstring>

namespace winsim {

namespace scm {
const char *const kServicesKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services";
}

namespace {

using scm::kServicesKey;

struct Runtime {
    DWORD state = SERVICE_STOPPED;
    uint64_t pending_until = 0; // sched::kForever while held
    sched::TimerId timer = 0;
    bool ever_started = false;
    DWORD exit_code = 0;
    int handles = 0;
    services::Behaviour behaviour;
    std::vector<std::string> arguments;
    scm::Hooks hooks;
};

std::map<std::string, Runtime> &runtimes() {
    static auto *m = new std::map<std::string, Runtime>; // timers may outlive static destruction
    return *m;
}

struct ManagerObject : Object {
    explicit ManagerObject(DWORD a) : Object(HandleKind::ServiceManager), access(a) {}
    DWORD access;
};

struct ServiceObject : Object {
    ServiceObject(std::string n, DWORD a) : Object(HandleKind::Service), name(std::move(n)), access(a) {}
    std::string name; // as the key spells it
    DWORD access;
};

Registry &R() { return *M().registry; }

std::string key_of(const std::string &name) { return std::string(kServicesKey) + "\\" + name; }

bool valid_type(DWORD type) {
    DWORD base = type & ~(DWORD)SERVICE_INTERACTIVE_PROCESS;
    bool win32 = base == SERVICE_WIN32_OWN_PROCESS || base == SERVICE_WIN32_SHARE_PROCESS;
    bool driver = base == SERVICE_KERNEL_DRIVER || base == SERVICE_FILE_SYSTEM_DRIVER;
    return win32 || (driver && !(type & SERVICE_INTERACTIVE_PROCESS));
}

bool is_driver(DWORD type) { return (type & SERVICE_DRIVER) != 0; }

// The service's name as its key spells it, or "" when there is no such service.
std::string existing(const std::string &name) {
    if (name.empty() || name.find('\\') != std::string::npos) return "";
    for (auto &k : R().subkeys(kServicesKey)) {
        if (!iequals(k, name)) continue;
        DWORD type;
        return R().get_dword(key_of(k), "Type", &type) && valid_type(type) ? k : "";
    }
    return "";
}

DWORD dword_value(const std::string &name, const char *value, DWORD otherwise = 0) {
    DWORD v;
    return R().get_dword(key_of(name), value, &v) ? v : otherwise;
}

std::string string_value(const std::string &name, const char *value) {
    std::string s;
    return R().get_string(key_of(name), value, &s) ? s : "";
}

bool marked(const std::string &name) { return dword_value(name, "DeleteFlag") == 1; }

Runtime &rt(const std::string &name) { return runtimes()[upper(name)]; }

// NT 4.0 records every kernel driver it has loaded outside Plug and Play as a
// root device "LEGACY_<NAME>"; the key outlives the service until removed by hand.
void leave_legacy_device_key(const std::string &name) {
    if (M().profile->os != Os::Nt4 || !is_driver(dword_value(name, "Type"))) return;
    std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_" + upper(name);
    if (R().key_exists(key)) return;
    std::string instance = key + "\\0000";
    R().set_dword(key, "NextInstance", 1);
    R().set_string(instance, "Service", existing(name));
    R().set_dword(instance, "Legacy", 1);
    R().set_dword(instance, "ConfigFlags", 0);
    R().set_string(instance, "Class", "LegacyDriver");
    std::string display = string_value(name, "DisplayName");
    R().set_string(instance, "DeviceDesc", display.empty() ? existing(name) : display);
}

void settle(const std::string &name);

void enter_state(const std::string &name, Runtime &r, DWORD state) {
    if (r.timer) sched::cancel(r.timer);
    r.timer = 0;
    r.pending_until = 0;
    DWORD was = r.state;
    r.state = state;
    if (state == SERVICE_STOPPED && was != SERVICE_STOPPED) {
        r.exit_code = r.behaviour.exit_code;
        if (r.hooks.stopped) r.hooks.stopped(name);
    }
    if (state == SERVICE_RUNNING && was != SERVICE_RUNNING) {
        leave_legacy_device_key(name);
        r.ever_started = true;
        r.exit_code = 0;
        if (r.hooks.started) r.hooks.started(name);
    }
}

// A pending state for `ms` (INFINITE: until released), completed by a timer.
void enter_pending(const std::string &name, Runtime &r, DWORD state, DWORD ms) {
    enter_state(name, r, state);
    if (ms == INFINITE) {
        r.pending_until = sched::kForever;
        return;
    }
    r.pending_until = sched::now() + ms;
    std::string key = upper(name);
    r.timer = sched::at(r.pending_until, [key] {
        WINSIM_LOCK();
        if (!M_or_null()) return;
        auto it = runtimes().find(key);
        if (it == runtimes().end()) return;
        it->second.timer = 0;
        settle(key);
    });
}

// Deletes a service marked for deletion once it has stopped and nobody holds a handle.
void finish_deletion(const std::string &name) {
    std::string real = existing(name);
    if (real.empty() || !marked(real)) return;
    auto it = runtimes().find(upper(real));
    if (it != runtimes().end() && (it->second.handles > 0 || it->second.state != SERVICE_STOPPED)) return;
    if (it != runtimes().end()) {
        if (it->second.timer) sched::cancel(it->second.timer);
        runtimes().erase(it);
    }
    R().delete_tree(key_of(real));
}

// Completes a pending state whose time has come.
void settle(const std::string &name) {
    auto it = runtimes().find(upper(name));
    if (it != runtimes().end()) {
        Runtime &r = it->second;
        bool pending = r.state == SERVICE_START_PENDING || r.state == SERVICE_STOP_PENDING;
        if (pending && r.pending_until != sched::kForever && sched::now() >= r.pending_until)
            enter_state(name, r, r.state == SERVICE_START_PENDING ? SERVICE_RUNNING : SERVICE_STOPPED);
    }
    finish_deletion(name);
}

void fill_status(const std::string &name, const Runtime &r, LPSERVICE_STATUS s) {
    std::memset(s, 0, sizeof *s);
    s->dwServiceType = dword_value(name, "Type");
    s->dwCurrentState = r.state;
    if (r.state == SERVICE_RUNNING && r.behaviour.stoppable) s->dwControlsAccepted = SERVICE_ACCEPT_STOP;
    if (r.state == SERVICE_STOPPED) s->dwWin32ExitCode = r.ever_started ? r.exit_code : ERROR_SERVICE_NEVER_STARTED;
    if (r.state == SERVICE_START_PENDING || r.state == SERVICE_STOP_PENDING) {
        s->dwCheckPoint = 1;
        uint64_t left = r.pending_until == sched::kForever ? 3000 : r.pending_until - sched::now();
        s->dwWaitHint = (DWORD)std::min<uint64_t>(left, 30000);
    }
}

bool bad_name(LPCSTR name) {
    if (!name || !*name) return true;
    size_t n = std::strlen(name);
    return n > 256 || std::strpbrk(name, "\\/") != nullptr;
}

DWORD map_manager_access(DWORD a) {
    if (a & GENERIC_READ) a |= STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (a & GENERIC_WRITE) a |= STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (a & GENERIC_EXECUTE) a |= STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (a & GENERIC_ALL) a |= SC_MANAGER_ALL_ACCESS;
    return a & ~(DWORD)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

DWORD map_service_access(DWORD a) {
    if (a & GENERIC_READ)
        a |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
             SERVICE_ENUMERATE_DEPENDENTS;
    if (a & GENERIC_WRITE) a |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
    if (a & GENERIC_EXECUTE)
        a |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
             SERVICE_USER_DEFINED_CONTROL;
    if (a & GENERIC_ALL) a |= SERVICE_ALL_ACCESS;
    return a & ~(DWORD)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// What a user without administrative rights may do, as NT's default security gives.
constexpr DWORD kUserManagerRights =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD kUserServiceRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                     SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

// Maps the rights asked for; false when the user may not have them.
bool grant(DWORD asked, bool manager, DWORD *granted) {
    DWORD allowed = M().admin ? (manager ? (DWORD)SC_MANAGER_ALL_ACCESS : (DWORD)SERVICE_ALL_ACCESS)
                              : (manager ? kUserManagerRights : kUserServiceRights);
    if (asked & MAXIMUM_ALLOWED) {
        *granted = allowed;
        return true;
    }
    DWORD want = manager ? map_manager_access(asked) | SC_MANAGER_CONNECT : map_service_access(asked);
    if (want & ~allowed) return false;
    *granted = want;
    return true;
}

// No service manager on Windows 9x: every call fails the same way.
bool no_manager() {
    if (M().profile->nt()) return false;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return true;
}

// The service behind a handle with the rights asked for; nullptr and the last error set otherwise.
std::shared_ptr<ServiceObject> service_handle(SC_HANDLE h, DWORD needed) {
    auto s = handle_table::get_as<ServiceObject>((HANDLE)h, HandleKind::Service);
    if (!s) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((s->access & needed) != needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (existing(s->name).empty()) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    settle(s->name);
    return s;
}

std::shared_ptr<ManagerObject> manager_handle(SC_HANDLE h, DWORD needed) {
    auto m = handle_table::get_as<ManagerObject>((HANDLE)h, HandleKind::ServiceManager);
    if (!m) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((m->access & needed) != needed) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return m;
}

SC_HANDLE open_handle(const std::string &name, DWORD access) {
    rt(name).handles++;
    return (SC_HANDLE)handle_table::add(std::make_shared<ServiceObject>(name, access));
}

std::vector<BYTE> multi_sz(const std::vector<std::string> &items) {
    std::vector<BYTE> out;
    for (auto &i : items) {
        out.insert(out.end(), i.begin(), i.end());
        out.push_back(0);
    }
    out.push_back(0);
    return out;
}

std::vector<std::string> read_multi_sz(const std::string &name, const char *value) {
    DWORD type;
    std::vector<BYTE> data;
    std::vector<std::string> out;
    if (!R().get_value(key_of(name), value, &type, &data)) return out;
    std::string cur;
    for (BYTE b : data) {
        if (b) {
            cur += (char)b;
        } else {
            if (cur.empty()) break;
            out.push_back(cur);
            cur.clear();
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

std::string expand(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (end == std::string::npos) {
            out += text[i];
            continue;
        }
        auto &env = M().environment;
        auto it = env.find(upper(text.substr(i + 1, end - i - 1)));
        if (it == env.end()) {
            out += text.substr(i, end - i + 1);
        } else {
            out += it->second;
        }
        i = end;
    }
    return out;
}

// The boot after a machine is loaded: deletions complete, boot, system and
// automatic services come up.
void machine_started(bool loaded) {
    WINSIM_LOCK();
    runtimes().clear();
    if (!loaded || !M().profile->nt()) return;
    for (auto &k : R().subkeys(kServicesKey)) {
        if (existing(k).empty()) continue;
        if (marked(k)) {
            R().delete_tree(key_of(k));
            continue;
        }
        if (dword_value(k, "Start", SERVICE_DEMAND_START) <= SERVICE_AUTO_START) {
            Runtime &r = rt(k);
            r.state = SERVICE_RUNNING;
            r.ever_started = true;
        }
    }
}

void machine_ended() {
    WINSIM_LOCK();
    runtimes().clear();
}

const bool registered = add_life_cycle({machine_started, machine_ended});

} // namespace

namespace scm {

void set_hooks(const std::string &name, Hooks hooks) {
    WINSIM_LOCK();
    rt(name).hooks = std::move(hooks);
}

DWORD state_of(const std::string &name) {
    WINSIM_LOCK();
    std::string real = existing(name);
    if (real.empty()) return 0;
    settle(real);
    real = existing(name);
    return real.empty() ? 0 : rt(real).state;
}

std::string image_file(const std::string &image_path) {
    std::string p = expand(image_path);
    std::string windows = M().profile->windows_dir;
    if (p.compare(0, 4, "\\??\\") == 0) return p.substr(4);
    if (p.size() > 11 && iequals(p.substr(0, 12), "\\SystemRoot\\")) return windows + p.substr(11);
    if (!p.empty() && p[0] != '\\' && p.find(':') == std::string::npos) return windows + "\\" + p;
    return p;
}

} // namespace scm

// ------------------------------------------------------------ control API

namespace services {

void set_behaviour(const std::string &name, const Behaviour &behaviour) {
    WINSIM_LOCK();
    rt(name).behaviour = behaviour;
}

void hold(const std::string &name, DWORD state, DWORD ms) {
    WINSIM_LOCK();
    Runtime &r = rt(name);
    if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING)
        enter_pending(name, r, state, ms);
    else
        enter_state(name, r, state);
    settle(name);
}

void release(const std::string &name) {
    WINSIM_LOCK();
    Runtime &r = rt(name);
    if (r.state == SERVICE_START_PENDING) enter_state(name, r, SERVICE_RUNNING);
    if (r.state == SERVICE_STOP_PENDING) enter_state(name, r, SERVICE_STOPPED);
    settle(name);
}

DWORD state(const std::string &name) { return scm::state_of(name); }

std::vector<std::string> start_arguments(const std::string &name) {
    WINSIM_LOCK();
    auto it = runtimes().find(upper(name));
    return it == runtimes().end() ? std::vector<std::string>() : it->second.arguments;
}

int open_handles(const std::string &name) {
    WINSIM_LOCK();
    auto it = runtimes().find(upper(name));
    return it == runtimes().end() ? 0 : it->second.handles;
}

std::vector<Info> list() {
    WINSIM_LOCK();
    std::vector<Info> out;
    for (auto &k : R().subkeys(kServicesKey)) {
        if (existing(k).empty()) continue;
        settle(k);
        if (existing(k).empty()) continue;
        Info i;
        i.name = k;
        i.display_name = string_value(k, "DisplayName");
        if (i.display_name.empty()) i.display_name = k;
        i.type = dword_value(k, "Type");
        i.start = dword_value(k, "Start");
        i.error_control = dword_value(k, "ErrorControl");
        i.image_path = string_value(k, "ImagePath");
        i.group = string_value(k, "Group");
        i.state = rt(k).state;
        i.marked_for_delete = marked(k);
        out.push_back(i);
    }
    return out;
}

} // namespace services

} // namespace winsim

using namespace winsim;

// ------------------------------------------------------------ Win32 calls

extern "C" SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access) {
    if (DWORD e = fault("OpenSCManagerA")) {
        SetLastError(e);
        return nullptr;
    }
    WINSIM_LOCK();
    if (no_manager()) return nullptr;
    if (machine && *machine) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (database && *database && !iequals(database, SERVICES_ACTIVE_DATABASEA)) {
        SetLastError(iequals(database, SERVICES_FAILED_DATABASEA) ? ERROR_DATABASE_DOES_NOT_EXIST : ERROR_INVALID_NAME);
        return nullptr;
    }
    DWORD granted;
    if (!grant(access, true, &granted)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return (SC_HANDLE)handle_table::add(std::make_shared<ManagerObject>(granted));
}

extern "C" SC_HANDLE WINAPI CreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display, DWORD access, DWORD type,
                                           DWORD start, DWORD error_control, LPCSTR image, LPCSTR group, LPDWORD tag,
                                           LPCSTR dependencies, LPCSTR start_name, LPCSTR) {
    if (DWORD e = fault("CreateServiceA")) {
        SetLastError(e);
        return nullptr;
    }
    WINSIM_LOCK();
    if (no_manager() || !manager_handle(manager, SC_MANAGER_CREATE_SERVICE)) return nullptr;
    if (bad_name(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    bool driver = is_driver(type);
    if (!image || !*image || !valid_type(type) || start > SERVICE_DISABLED ||
        (!driver && start < SERVICE_AUTO_START) || error_control > SERVICE_ERROR_CRITICAL ||
        (tag && start > SERVICE_SYSTEM_START)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD granted;
    if (!grant(access, false, &granted)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::string shown = display && *display ? display : name;
    std::string same = existing(name);
    if (!same.empty()) {
        SetLastError(marked(same) ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    for (auto &k : R().subkeys(kServicesKey)) {
        if (existing(k).empty()) continue;
        std::string other = string_value(k, "DisplayName");
        if (iequals(k, shown) || iequals(other, shown) || iequals(other, name)) {
            SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
            return nullptr;
        }
    }
    std::string key = key_of(name);
    R().create_key(key);
    R().set_dword(key, "Type", type);
    R().set_dword(key, "Start", start);
    R().set_dword(key, "ErrorControl", error_control);
    R().set_string(key, "ImagePath", image, REG_EXPAND_SZ);
    R().set_string(key, "DisplayName", shown);
    if (group && *group) R().set_string(key, "Group", group);
    if (tag) {
        *tag = 1;
        R().set_dword(key, "Tag", *tag);
    }
    if (dependencies && *dependencies) {
        std::vector<std::string> on_services, on_groups;
        for (const char *p = dependencies; *p; p += std::strlen(p) + 1)
            (*p == '+' ? on_groups : on_services).push_back(*p == '+' ? p + 1 : p);
        if (!on_services.empty()) R().set_value(key, "DependOnService", REG_MULTI_SZ, multi_sz(on_services));
        if (!on_groups.empty()) R().set_value(key, "DependOnGroup", REG_MULTI_SZ, multi_sz(on_groups));
    }
    if (start_name && *start_name)
        R().set_string(key, "ObjectName", start_name);
    else if (!driver)
        R().set_string(key, "ObjectName", "LocalSystem");
    std::string real = existing(name);
    // A new service: only what a scenario arranged for the name survives.
    Runtime &r = rt(real);
    if (r.timer) sched::cancel(r.timer);
    Runtime fresh;
    fresh.behaviour = r.behaviour;
    fresh.hooks = r.hooks;
    r = fresh;
    return open_handle(real, granted);
}

extern "C" SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access) {
    if (DWORD e = fault("OpenServiceA")) {
        SetLastError(e);
        return nullptr;
    }
    WINSIM_LOCK();
    if (no_manager() || !manager_handle(manager, SC_MANAGER_CONNECT)) return nullptr;
    if (bad_name(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    std::string real = existing(name);
    if (!real.empty()) settle(real);
    real = existing(name);
    if (real.empty()) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    DWORD granted;
    if (!grant(access, false, &granted)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return open_handle(real, granted);
}

extern "C" BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR *argv) {
    WINSIM_FAULT_BOOL("StartServiceA");
    WINSIM_LOCK();
    if (no_manager()) return FALSE;
    auto s = service_handle(service, SERVICE_START);
    if (!s) return FALSE;
    Runtime &r = rt(s->name);
    DWORD error = 0;
    if (marked(s->name))
        error = ERROR_SERVICE_MARKED_FOR_DELETE;
    else if (dword_value(s->name, "Start") == SERVICE_DISABLED)
        error = ERROR_SERVICE_DISABLED;
    else if (r.state != SERVICE_STOPPED)
        error = ERROR_SERVICE_ALREADY_RUNNING;
    else if (argc && !argv)
        error = ERROR_INVALID_PARAMETER;
    else if (r.behaviour.start_error)
        error = r.behaviour.start_error;
    if (!error && is_driver(dword_value(s->name, "Type"))) {
        // A driver's image must be there to load.
        std::string path = string_value(s->name, "ImagePath");
        if (path.empty()) path = "System32\\drivers\\" + s->name + ".sys";
        PathInfo p = D().resolve(scm::image_file(path));
        if (p.error || !p.exists || p.is_dir) error = ERROR_FILE_NOT_FOUND;
    }
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    r.arguments.clear();
    for (DWORD i = 0; i < argc; i++) r.arguments.push_back(argv[i] ? argv[i] : "");
    if (r.behaviour.start_pending_ms)
        enter_pending(s->name, r, SERVICE_START_PENDING, r.behaviour.start_pending_ms);
    else
        enter_state(s->name, r, SERVICE_RUNNING);
    return TRUE;
}

extern "C" BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    WINSIM_FAULT_BOOL("ControlService");
    WINSIM_LOCK();
    if (no_manager()) return FALSE;
    DWORD needed;
    switch (control) {
    case SERVICE_CONTROL_STOP: needed = SERVICE_STOP; break;
    case SERVICE_CONTROL_INTERROGATE: needed = SERVICE_INTERROGATE; break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE: needed = SERVICE_PAUSE_CONTINUE; break;
    default:
        if (control < 128 || control > 255) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        needed = SERVICE_USER_DEFINED_CONTROL;
    }
    if (!status) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto s = service_handle(service, needed);
    if (!s) return FALSE;
    Runtime &r = rt(s->name);
    DWORD error = 0;
    if (r.state == SERVICE_STOPPED) {
        error = ERROR_SERVICE_NOT_ACTIVE;
    } else if (r.state != SERVICE_RUNNING) {
        error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    } else if (control == SERVICE_CONTROL_STOP) {
        if (!r.behaviour.stoppable)
            error = ERROR_INVALID_SERVICE_CONTROL;
        else if (r.behaviour.stop_pending_ms)
            enter_pending(s->name, r, SERVICE_STOP_PENDING, r.behaviour.stop_pending_ms);
        else
            enter_state(s->name, r, SERVICE_STOPPED);
    } else if (control != SERVICE_CONTROL_INTERROGATE) {
        error = ERROR_INVALID_SERVICE_CONTROL;
    }
    // The status is reported with these refusals too, as Windows does.
    fill_status(s->name, r, status);
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    WINSIM_FAULT_BOOL("QueryServiceStatus");
    WINSIM_LOCK();
    if (no_manager()) return FALSE;
    auto s = service_handle(service, SERVICE_QUERY_STATUS);
    if (!s) return FALSE;
    if (!status) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    fill_status(s->name, rt(s->name), status);
    return TRUE;
}

extern "C" BOOL WINAPI QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD size,
                                           LPDWORD needed) {
    WINSIM_FAULT_BOOL("QueryServiceConfigA");
    WINSIM_LOCK();
    if (no_manager()) return FALSE;
    auto s = service_handle(service, SERVICE_QUERY_CONFIG);
    if (!s) return FALSE;
    if (!needed) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string &n = s->name;
    std::string deps;
    for (auto &d : read_multi_sz(n, "DependOnService")) deps += d + '\0';
    for (auto &d : read_multi_sz(n, "DependOnGroup")) deps += "+" + d + '\0';
    deps += '\0';
    std::string display = string_value(n, "DisplayName");
    if (display.empty()) display = n;
    const std::string strings[] = {string_value(n, "ImagePath"), string_value(n, "Group"), deps,
                                   string_value(n, "ObjectName"), display};
    DWORD total = sizeof(QUERY_SERVICE_CONFIGA);
    for (int i = 0; i < 5; i++) total += (DWORD)strings[i].size() + (i == 2 ? 0 : 1);
    *needed = total;
    if (!config || size < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    char *p = (char *)(config + 1);
    LPSTR *slots[] = {&config->lpBinaryPathName, &config->lpLoadOrderGroup, &config->lpDependencies,
                      &config->lpServiceStartName, &config->lpDisplayName};
    for (int i = 0; i < 5; i++) {
        size_t len = strings[i].size() + (i == 2 ? 0 : 1);
        std::memcpy(p, strings[i].c_str(), len);
        *slots[i] = p;
        p += len;
    }
    config->dwServiceType = dword_value(n, "Type");
    config->dwStartType = dword_value(n, "Start");
    config->dwErrorControl = dword_value(n, "ErrorControl");
    config->dwTagId = dword_value(n, "Tag");
    return TRUE;
}

extern "C" BOOL WINAPI DeleteService(SC_HANDLE service) {
    WINSIM_FAULT_BOOL("DeleteService");
    WINSIM_LOCK();
    if (no_manager()) return FALSE;
    auto s = service_handle(service, DELETE);
    if (!s) return FALSE;
    if (marked(s->name)) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    R().set_dword(key_of(s->name), "DeleteFlag", 1);
    return TRUE;
}

extern "C" BOOL WINAPI CloseServiceHandle(SC_HANDLE h) {
    WINSIM_FAULT_BOOL("CloseServiceHandle");
    WINSIM_LOCK();
    if (no_manager()) return FALSE;
    auto o = handle_table::get((HANDLE)h);
    if (!o || (o->kind != HandleKind::ServiceManager && o->kind != HandleKind::Service)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    handle_table::remove((HANDLE)h);
    if (o->kind == HandleKind::Service) {
        auto s = std::static_pointer_cast<ServiceObject>(o);
        auto it = runtimes().find(upper(s->name));
        if (it != runtimes().end() && it->second.handles > 0) it->second.handles--;
        settle(s->name);
    }
    return TRUE;
}
