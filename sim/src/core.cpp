// Shared machinery: the current machine, the handle table, faults, last error.
#include "core.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace winsim {

[[noreturn]] void fatal(const std::string &message) {
    std::fprintf(stderr, "winsim: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

std::recursive_mutex &big_lock() {
    static std::recursive_mutex m;
    return m;
}

std::string upper(std::string s) {
    for (auto &c : s) c = (char)std::toupper((unsigned char)c);
    return s;
}
std::string lower(std::string s) {
    for (auto &c : s) c = (char)std::tolower((unsigned char)c);
    return s;
}
bool iequals(const std::string &a, const std::string &b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower((unsigned char)x) == std::tolower((unsigned char)y);
           });
}

std::string file_part(const std::string &path) {
    size_t p = path.find_last_of("\\/");
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string dir_part(const std::string &path) {
    size_t p = path.find_last_of("\\/");
    return p == std::string::npos ? std::string() : path.substr(0, p);
}

UINT copy_out(const std::string &s, LPSTR buffer, UINT size) {
    if (!buffer || size <= s.size()) return (UINT)s.size() + 1;
    std::memcpy(buffer, s.c_str(), s.size() + 1);
    return (UINT)s.size();
}

// ------------------------------------------------------------ handle table

namespace {
struct Table {
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x100;
};
Table &table() {
    static Table t;
    return t;
}
} // namespace

namespace handle_table {
HANDLE add(std::shared_ptr<Object> object) {
    WINSIM_LOCK();
    Table &t = table();
    uintptr_t v = t.next;
    t.next += 4;
    t.objects[v] = std::move(object);
    return (HANDLE)v;
}
std::shared_ptr<Object> get(HANDLE h) {
    WINSIM_LOCK();
    auto it = table().objects.find((uintptr_t)h);
    return it == table().objects.end() ? nullptr : it->second;
}
bool remove(HANDLE h) {
    std::shared_ptr<Object> keep; // destroyed after the lock is released
    {
        WINSIM_LOCK();
        auto it = table().objects.find((uintptr_t)h);
        if (it == table().objects.end()) return false;
        keep = std::move(it->second);
        table().objects.erase(it);
    }
    return true;
}
void clear() {
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> gone;
    {
        WINSIM_LOCK();
        gone.swap(table().objects);
    }
}
} // namespace handle_table

const char *handle_kind_name(HandleKind kind) {
    switch (kind) {
    case HandleKind::RegistryKey: return "registry key";
    case HandleKind::File: return "file";
    case HandleKind::FindSearch: return "search handle";
    case HandleKind::Module: return "module";
    case HandleKind::Thread: return "thread";
    case HandleKind::Event: return "event";
    case HandleKind::Process: return "process";
    case HandleKind::ServiceManager: return "service manager handle";
    case HandleKind::Service: return "service handle";
    case HandleKind::DeviceInfoSet: return "device information set";
    case HandleKind::ScardContext: return "PC/SC context";
    case HandleKind::ScardHandle: return "PC/SC card handle";
    case HandleKind::Window: return "window";
    case HandleKind::Timer: return "timer";
    case HandleKind::InfFile: return "INF file handle";
    default: return "other handle";
    }
}

std::map<HandleKind, long> &extra_counts() {
    static std::map<HandleKind, long> m;
    return m;
}

namespace {
std::vector<LifeCycle> &life_cycles() {
    static std::vector<LifeCycle> v;
    return v;
}
} // namespace

bool add_life_cycle(LifeCycle hooks) {
    life_cycles().push_back(hooks);
    return true;
}
void run_started_hooks(bool loaded) {
    for (auto &h : life_cycles())
        if (h.started) h.started(loaded);
}
void run_ended_hooks() {
    auto &v = life_cycles();
    for (auto it = v.rbegin(); it != v.rend(); ++it)
        if (it->ended) it->ended();
}

namespace handles {
Counts open() {
    WINSIM_LOCK();
    Counts c;
    for (auto &kv : table().objects) c[kv.second->kind]++;
    for (auto &kv : extra_counts()) if (kv.second) c[kv.first] += kv.second;
    return c;
}
std::string leaks_since(const Counts &before) {
    Counts now = open();
    std::string out;
    for (auto &kv : now) {
        long was = before.count(kv.first) ? before.at(kv.first) : 0;
        if (kv.second > was) {
            if (!out.empty()) out += ", ";
            out += std::to_string(kv.second - was) + " " + handle_kind_name(kv.first);
        }
    }
    return out;
}
} // namespace handles

// ------------------------------------------------------------------ faults

namespace {
struct Fault {
    DWORD error;
    int times; // -1 always
    int skip;
    int fired = 0;
};
std::map<std::string, Fault> &fault_map() {
    static std::map<std::string, Fault> m;
    return m;
}
} // namespace

DWORD fault(const char *api) {
    WINSIM_LOCK();
    auto it = fault_map().find(api);
    if (it == fault_map().end()) return 0;
    Fault &f = it->second;
    if (f.skip > 0) {
        f.skip--;
        return 0;
    }
    if (f.times == 0) return 0;
    if (f.times > 0) f.times--;
    f.fired++;
    return f.error;
}

namespace faults {
void fail(const std::string &api, DWORD error, int times, int skip) {
    WINSIM_LOCK();
    fault_map()[api] = Fault{error, times, skip};
}
void clear() {
    WINSIM_LOCK();
    fault_map().clear();
}
int fired(const std::string &api) {
    WINSIM_LOCK();
    auto it = fault_map().find(api);
    return it == fault_map().end() ? 0 : it->second.fired;
}
} // namespace faults

} // namespace winsim

// -------------------------------------------------------------- last error

namespace {
thread_local DWORD t_last_error = 0;
}

extern "C" DWORD WINAPI GetLastError(void) { return t_last_error; }
extern "C" void WINAPI SetLastError(DWORD e) { t_last_error = e; }

// CloseHandle closes kernel objects; keys, searches and modules have their own
// closing calls and are refused here as Windows refuses them.
extern "C" BOOL WINAPI CloseHandle(HANDLE h) {
    auto o = winsim::handle_table::get(h);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (o->kind) {
    case winsim::HandleKind::File:
    case winsim::HandleKind::Thread:
    case winsim::HandleKind::Event:
    case winsim::HandleKind::Process:
    case winsim::HandleKind::Other:
        winsim::handle_table::remove(h);
        return TRUE;
    default:
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
}
