// Machine snapshots and their differences: what an installer changed,
// worded for the person who wrote the installer.
#include "core.h"
#include "registry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace winsim {
namespace snapshots {

bool NameLess::operator()(const std::string &a, const std::string &b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower((unsigned char)x) < std::tolower((unsigned char)y);
    });
}

namespace {

const struct {
    const char *full, *shown;
} k_hives[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM"},
    {"HKEY_CURRENT_USER", "HKCU"},
    {"HKEY_USERS", "HKU"},
    {"HKEY_CURRENT_CONFIG", "HKCC"},
};

uint64_t fnv1a(const char *p, size_t n, uint64_t h = 1469598103934665603ull) {
    for (size_t i = 0; i < n; i++) h = (h ^ (unsigned char)p[i]) * 1099511628211ull;
    return h;
}

// Printable text without tabs or line breaks, so a rendered value stays on
// its line in the diff and in the saved file.  Backslashes stay as they are:
// paths read better that way.
std::string printable(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '"') out += "\\\"";
        else if (c < 0x20 || c == 0x7F) {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
        } else out += (char)c;
    }
    return out;
}

std::string string_of(const std::vector<BYTE> &d) {
    std::string s(d.begin(), d.end());
    size_t z = s.find('\0');
    return z == std::string::npos ? s : s.substr(0, z);
}

std::string render(DWORD type, const std::vector<BYTE> &d) {
    char b[64];
    switch (type) {
    case REG_SZ:
        return "\"" + printable(string_of(d)) + "\"";
    case REG_EXPAND_SZ:
        return "expand:\"" + printable(string_of(d)) + "\"";
    case REG_DWORD:
        if (d.size() == 4) {
            DWORD v = d[0] | d[1] << 8 | d[2] << 16 | (DWORD)d[3] << 24;
            std::snprintf(b, sizeof b, "dword:0x%08lX (%lu)", (unsigned long)v, (unsigned long)v);
            return b;
        }
        break;
    case REG_MULTI_SZ: {
        std::string out = "multi:";
        size_t i = 0;
        bool first = true;
        while (i < d.size() && d[i]) {
            size_t j = i;
            while (j < d.size() && d[j]) j++;
            out += (first ? "\"" : ",\"") + printable(std::string(d.begin() + i, d.begin() + j)) + "\"";
            first = false;
            i = j + 1;
        }
        return out;
    }
    default:
        break;
    }
    // Anything else as bytes; long data shortened, with a hash so that a
    // change past the shown part still counts.
    std::snprintf(b, sizeof b, "hex(%lx):", (unsigned long)type);
    std::string out = b;
    for (size_t i = 0; i < d.size() && i < 16; i++) {
        std::snprintf(b, sizeof b, "%s%02x", i ? "," : "", d[i]);
        out += b;
    }
    if (d.size() > 16) {
        std::snprintf(b, sizeof b, ",... (%zu bytes, #%016llx)", d.size(),
                      (unsigned long long)fnv1a((const char *)d.data(), d.size()));
        out += b;
    }
    return out;
}

void walk_key(const Registry &r, const std::string &path, const std::string &shown, State *s) {
    auto &values = s->keys[shown];
    for (const std::string &name : r.value_names(path)) {
        DWORD type = 0;
        std::vector<BYTE> data;
        if (r.get_value(path, name, &type, &data)) values[name.empty() ? "@" : printable(name)] = render(type, data);
    }
    for (const std::string &sub : r.subkeys(path)) walk_key(r, path + "\\" + sub, shown + "\\" + sub, s);
}

void walk_files(const std::filesystem::path &dir, const std::string &win, State *s) {
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::string path = win + "\\" + name;
        if (it->is_directory(ec)) {
            walk_files(it->path(), path, s);
            continue;
        }
        std::ifstream f(it->path(), std::ios::binary);
        State::File file;
        char buf[8192];
        file.hash = fnv1a(nullptr, 0);
        while (f.read(buf, sizeof buf) || f.gcount() > 0) {
            file.hash = fnv1a(buf, (size_t)f.gcount(), file.hash);
            file.size += (uint64_t)f.gcount();
        }
        s->files[path] = file;
    }
}

const char *state_name(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "start-pending";
    case SERVICE_STOP_PENDING: return "stop-pending";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continue-pending";
    case SERVICE_PAUSE_PENDING: return "pause-pending";
    case SERVICE_PAUSED: return "paused";
    default: return "unknown";
    }
}

const char *start_name(DWORD start) {
    switch (start) {
    case SERVICE_BOOT_START: return "boot";
    case SERVICE_SYSTEM_START: return "system";
    case SERVICE_AUTO_START: return "automatic";
    case SERVICE_DEMAND_START: return "demand";
    case SERVICE_DISABLED: return "disabled";
    default: return "unknown";
    }
}

std::string join(const std::vector<std::string> &items) {
    std::string out;
    for (const auto &i : items) out += (out.empty() ? "" : ",") + i;
    return out;
}

// Bit 0 of ConfigFlags and of a profile's CSConfigFlags: the node is off.
const DWORD k_disabled_flag = 0x1;

// How a node is switched off: globally, in the current profile, or not.
std::string disabled_text(DWORD config_flags, DWORD profile_flags) {
    std::string out;
    if (config_flags & k_disabled_flag) out = "globally";
    if (profile_flags & k_disabled_flag) out += out.empty() ? "in this profile" : ", in this profile";
    return out.empty() ? "no" : out;
}

std::string size_text(uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

template <class Map, class Fn> void merge_walk(const Map &a, const Map &b, Fn fn) {
    auto i = a.begin(), j = b.begin();
    typename Map::key_compare less;
    while (i != a.end() || j != b.end()) {
        if (j == b.end() || (i != a.end() && less(i->first, j->first))) {
            fn(i->first, &i->second, nullptr);
            ++i;
        } else if (i == a.end() || less(j->first, i->first)) {
            fn(j->first, nullptr, &j->second);
            ++j;
        } else {
            fn(i->first, &i->second, &j->second);
            ++i;
            ++j;
        }
    }
}

using Fields = std::map<std::string, std::string>;

std::string field(const Fields &f, const char *name) {
    auto it = f.find(name);
    return it == f.end() ? "" : it->second;
}

} // namespace

State take() {
    WINSIM_LOCK();
    State s;
    Machine::Impl &m = M();
    for (auto &h : k_hives)
        if (m.registry->key_exists(h.full)) walk_key(*m.registry, h.full, h.shown, &s);
    std::filesystem::path c = m.dir / "c";
    walk_files(c, "C:", &s);
    if (m.profile->nt()) {
        for (const services::Info &i : services::list()) {
            Fields &f = s.services[i.name];
            f["state"] = state_name(i.state);
            f["start"] = start_name(i.start);
            f["image"] = i.image_path;
            f["marked"] = i.marked_for_delete ? "yes" : "no";
        }
    }
    for (const devices::Device &d : devices::list()) {
        Fields &f = s.devices[d.instance_id];
        f["class"] = d.class_name;
        f["hardware id"] = join(d.hardware_ids);
        f["service"] = d.service;
        f["driver"] = d.driver;
        f["status"] = d.present ? "present" : "registered";
        f["disabled"] = disabled_text(d.config_flags, d.profile_flags);
    }
    return s;
}

std::vector<std::string> diff(const State &a, const State &b) {
    std::vector<std::string> out;
    using Values = std::map<std::string, std::string, NameLess>;
    merge_walk(a.keys, b.keys, [&](const std::string &key, const Values *before, const Values *after) {
        if (!before) out.push_back("+ key " + key);
        if (!after) {
            out.push_back("- key " + key);
            return; // its values go with it
        }
        static const Values none;
        merge_walk(before ? *before : none, *after, [&](const std::string &name, const std::string *x, const std::string *y) {
            std::string v = key + "\\" + name;
            if (!x) out.push_back("+ value " + v + " = " + *y);
            else if (!y) out.push_back("- value " + v);
            else if (*x != *y) out.push_back("~ value " + v + ": " + *x + " -> " + *y);
        });
    });
    merge_walk(a.files, b.files, [&](const std::string &path, const State::File *x, const State::File *y) {
        if (!x) out.push_back("+ file " + path + " (" + size_text(y->size) + ")");
        else if (!y) out.push_back("- file " + path);
        else if (x->size != y->size) out.push_back("~ file " + path + ": " + size_text(x->size) + " -> " + size_text(y->size));
        else if (x->hash != y->hash) out.push_back("~ file " + path + ": contents changed (" + size_text(y->size) + ")");
    });
    merge_walk(a.services, b.services, [&](const std::string &name, const Fields *x, const Fields *y) {
        if (!x) {
            out.push_back("+ service " + name + " " + field(*y, "state") + ", " + field(*y, "start") + " start" +
                          (field(*y, "image").empty() ? "" : ", " + field(*y, "image")));
        } else if (!y) {
            out.push_back("- service " + name);
        } else {
            if (field(*x, "state") != field(*y, "state"))
                out.push_back("~ service " + name + ": " + field(*x, "state") + " -> " + field(*y, "state"));
            if (field(*x, "start") != field(*y, "start"))
                out.push_back("~ service " + name + ": " + field(*x, "start") + " start -> " + field(*y, "start") +
                              " start");
            if (field(*x, "image") != field(*y, "image"))
                out.push_back("~ service " + name + ": image " + field(*x, "image") + " -> " + field(*y, "image"));
            if (field(*x, "marked") != field(*y, "marked"))
                out.push_back("~ service " + name + ": " +
                              (field(*y, "marked") == "yes" ? "marked for deletion" : "no longer marked for deletion"));
        }
    });
    merge_walk(a.devices, b.devices, [&](const std::string &id, const Fields *x, const Fields *y) {
        if (!x) {
            std::string line = "+ device " + id + " " + field(*y, "status") + ", class " + field(*y, "class");
            if (!field(*y, "service").empty()) line += ", service " + field(*y, "service");
            if (field(*y, "disabled") != "no") line += ", disabled " + field(*y, "disabled");
            out.push_back(line);
            return;
        }
        if (!y) {
            out.push_back("- device " + id);
            return;
        }
        for (const char *name : {"status", "class", "hardware id", "service", "driver"}) {
            std::string p = field(*x, name), q = field(*y, name);
            if (p == q) continue;
            if (std::string(name) == "status") out.push_back("~ device " + id + ": " + p + " -> " + q);
            else
                out.push_back("~ device " + id + ": " + name + " " + (p.empty() ? "(none)" : p) + " -> " +
                              (q.empty() ? "(none)" : q));
        }
        std::string p = field(*x, "disabled"), q = field(*y, "disabled");
        if (p != q) out.push_back("~ device " + id + ": " + (q == "no" ? "enabled" : "disabled " + q));
    });
    return out;
}

// One line per entry: a kind letter and tab-separated fields.  Names and
// rendered values hold no tab or line break (see printable), except file
// names, which Windows does not allow them in either.
bool save(const State &s, const std::string &host_file) {
    std::ofstream f(host_file, std::ios::binary | std::ios::trunc);
    if (!f) return false;
    f << "winsim snapshot 1\n";
    for (auto &k : s.keys) {
        f << "K\t" << k.first << "\n";
        for (auto &v : k.second) f << "V\t" << v.first << "\t" << v.second << "\n";
    }
    for (auto &x : s.files) f << "F\t" << x.first << "\t" << x.second.size << "\t" << x.second.hash << "\n";
    for (auto &x : s.services)
        for (auto &v : x.second) f << "S\t" << x.first << "\t" << v.first << "\t" << v.second << "\n";
    for (auto &x : s.devices)
        for (auto &v : x.second) f << "D\t" << x.first << "\t" << v.first << "\t" << v.second << "\n";
    f.close();
    return (bool)f;
}

bool load(const std::string &host_file, State *out) {
    std::ifstream f(host_file, std::ios::binary);
    std::string line;
    if (!f || !std::getline(f, line) || line != "winsim snapshot 1") return false;
    State s;
    std::string key;
    while (std::getline(f, line)) {
        std::vector<std::string> p;
        std::istringstream in(line);
        for (std::string part; std::getline(in, part, '\t');) p.push_back(part);
        if (line.size() && line.back() == '\t') p.push_back("");
        if (p.size() == 2 && p[0] == "K") {
            key = p[1];
            s.keys[key];
        } else if (p.size() == 3 && p[0] == "V" && !key.empty()) {
            s.keys[key][p[1]] = p[2];
        } else if (p.size() == 4 && p[0] == "F") {
            State::File file;
            file.size = std::strtoull(p[2].c_str(), nullptr, 10);
            file.hash = std::strtoull(p[3].c_str(), nullptr, 10);
            s.files[p[1]] = file;
        } else if (p.size() == 4 && (p[0] == "S" || p[0] == "D")) {
            (p[0] == "S" ? s.services : s.devices)[p[1]][p[2]] = p[3];
        } else {
            return false;
        }
    }
    *out = std::move(s);
    return true;
}

} // namespace snapshots
} // namespace winsim
