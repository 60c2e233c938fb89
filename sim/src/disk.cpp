// Drive C: on a host directory: Windows path rules, case-insensitive lookup,
// the attributes the host cannot keep, and the control helpers of sim.h.
#include "disk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace winsim {

// ------------------------------------------------------------ file objects

DWORD FileObject::read(void *, DWORD, DWORD *, LPOVERLAPPED) { return ERROR_INVALID_FUNCTION; }
DWORD FileObject::write(const void *, DWORD, DWORD *, LPOVERLAPPED) { return ERROR_INVALID_FUNCTION; }
DWORD FileObject::size(uint64_t *) { return ERROR_INVALID_FUNCTION; }
DWORD FileObject::seek(int64_t, DWORD, uint64_t *) { return ERROR_INVALID_FUNCTION; }
DWORD FileObject::flush() { return ERROR_INVALID_FUNCTION; }

DWORD reduce_file_access(DWORD access) {
    DWORD r = 0;
    if (access & (GENERIC_READ | GENERIC_ALL | GENERIC_EXECUTE | FILE_READ_DATA)) r |= FILE_READ_DATA;
    if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) r |= FILE_WRITE_DATA;
    if (access & (GENERIC_ALL | DELETE)) r |= DELETE;
    return r;
}

namespace {
bool under(const std::string &key, const std::string &top) {
    if (key == top) return true;
    std::string prefix = top.back() == '\\' ? top : top + "\\";
    return key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0;
}
std::string rekey(const std::string &key, const std::string &from, const std::string &to) {
    return to + key.substr(from.size());
}
} // namespace

DWORD OpenFiles::check(const std::string &key, DWORD access, DWORD share) const {
    for (auto &kv : entries) {
        const Entry &e = kv.second;
        if (e.key != key) continue;
        if (((access & FILE_READ_DATA) && !(e.share & FILE_SHARE_READ)) ||
            ((access & FILE_WRITE_DATA) && !(e.share & FILE_SHARE_WRITE)) ||
            ((access & DELETE) && !(e.share & FILE_SHARE_DELETE)) ||
            ((e.access & FILE_READ_DATA) && !(share & FILE_SHARE_READ)) ||
            ((e.access & FILE_WRITE_DATA) && !(share & FILE_SHARE_WRITE)) ||
            ((e.access & DELETE) && !(share & FILE_SHARE_DELETE)))
            return ERROR_SHARING_VIOLATION;
    }
    return 0;
}

bool OpenFiles::is_open(const std::string &key) const {
    for (auto &kv : entries)
        if (under(kv.second.key, key)) return true;
    return false;
}

void OpenFiles::renamed(const std::string &from_key, const std::string &to_key) {
    for (auto &kv : entries)
        if (under(kv.second.key, from_key)) kv.second.key = rekey(kv.second.key, from_key, to_key);
}

// --------------------------------------------------------------- wildcards

bool invalid_name_chars(const std::string &name, bool allow_wildcards) {
    for (unsigned char c : name) {
        if (c < 32 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '/' || c == '\\')
            return true;
        if (!allow_wildcards && (c == '*' || c == '?')) return true;
    }
    return false;
}

namespace {
// Pattern tokens beyond plain characters, as the file systems see them after
// kernel32 has rewritten a FindFirstFile pattern.
enum : int { k_star = -1, k_dos_star = -2, k_dos_qm = -3, k_dos_dot = -4 };

struct Matcher {
    std::vector<int> expr;
    const std::string &name;
    size_t last_dot;
    std::vector<signed char> memo;

    Matcher(const std::vector<int> &e, const std::string &n) : expr(e), name(n) {
        last_dot = name.rfind('.');
        memo.assign((expr.size() + 1) * (name.size() + 1), -1);
    }
    bool at(size_t pi, size_t ni) {
        signed char &m = memo[pi * (name.size() + 1) + ni];
        if (m < 0) m = compute(pi, ni) ? 1 : 0;
        return m == 1;
    }
    bool compute(size_t pi, size_t ni) {
        size_t n = name.size();
        if (pi == expr.size()) return ni == n;
        int t = expr[pi];
        switch (t) {
        case k_star:
            for (size_t k = ni; k <= n; ++k)
                if (at(pi + 1, k)) return true;
            return false;
        case k_dos_star:
            // Anything up to, but not across, the name's last dot.
            for (size_t k = ni; k <= n; ++k) {
                if (at(pi + 1, k)) return true;
                if (k < n && name[k] == '.' && k == last_dot) return false;
            }
            return false;
        case k_dos_qm:
            if (ni == n || name[ni] == '.') return at(pi + 1, ni);
            return at(pi + 1, ni + 1);
        case k_dos_dot:
            if (ni == n) return at(pi + 1, ni);
            return name[ni] == '.' && at(pi + 1, ni + 1);
        default:
            return ni < n && std::tolower((unsigned char)name[ni]) == t && at(pi + 1, ni + 1);
        }
    }
};
} // namespace

bool wildcard_match(const std::string &pattern_in, const std::string &name) {
    std::string pattern = pattern_in == "*.*" ? "*" : pattern_in;
    std::vector<int> expr;
    for (size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        if (c == '?')
            expr.push_back(k_dos_qm);
        else if (c == '.' && (next == '?' || next == '*' || next == '\0'))
            expr.push_back(k_dos_dot);
        else if (c == '*')
            expr.push_back(next == '.' ? k_dos_star : k_star);
        else
            expr.push_back(std::tolower((unsigned char)c));
    }
    Matcher m(expr, name);
    return m.at(0, 0);
}

// ------------------------------------------------------------ path parsing

namespace {

struct Parsed {
    enum Kind { Drive, Unc, Device } kind = Drive;
    std::string prefix; // "C:" or "\\\\server\\share"
    std::vector<std::string> parts;
    bool trailing = false;
    std::string device;
};

std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (c == '\\') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

bool is_drive_spec(const std::string &s) {
    return s.size() >= 2 && std::isalpha((unsigned char)s[0]) && s[1] == ':';
}

// Expands a path the way the Win32 layer does before any file system sees
// it: separators, current directory, "." and "..", trailing dots/spaces.
DWORD parse(const std::string &in, const std::string &cwd, Parsed *out) {
    if (in.empty()) return ERROR_PATH_NOT_FOUND;
    // The A functions convert names into a MAX_PATH buffer first.
    if (in.size() > MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    std::string s = in;
    std::replace(s.begin(), s.end(), '/', '\\');
    Parsed p;
    std::string rest;
    std::vector<std::string> base;
    if (s.size() >= 4 && s[0] == '\\' && s[1] == '\\' && (s[2] == '.' || s[2] == '?') && s[3] == '\\') {
        std::string r = s.substr(4);
        if (is_drive_spec(r) && r.size() > 2 && r[2] == '\\') {
            s = r;
        } else {
            if (r.empty()) return ERROR_PATH_NOT_FOUND;
            p.kind = Parsed::Device;
            p.device = r;
            *out = p;
            return 0;
        }
    }
    if (s.size() >= 2 && s[0] == '\\' && s[1] == '\\') {
        p.kind = Parsed::Unc;
        size_t server_end = s.find('\\', 2);
        if (server_end == std::string::npos || server_end == 2) return ERROR_PATH_NOT_FOUND;
        size_t share_end = s.find('\\', server_end + 1);
        if (share_end == server_end + 1) return ERROR_PATH_NOT_FOUND;
        p.prefix = s.substr(0, share_end);
        rest = share_end == std::string::npos ? "" : s.substr(share_end + 1);
    } else if (is_drive_spec(s)) {
        if (s.size() > 2 && s[2] == '\\') {
            p.prefix = s.substr(0, 2);
            rest = s.substr(3);
        } else {
            // "X:name" is relative to the current directory of drive X:; we
            // keep one for C: only, the others sit at their roots.
            if (std::toupper((unsigned char)s[0]) == std::toupper((unsigned char)cwd[0])) {
                p.prefix = cwd.substr(0, 2);
                if (cwd.size() > 3) base = split(cwd.substr(3));
            } else {
                p.prefix = std::string(1, (char)std::toupper((unsigned char)s[0])) + ":";
            }
            rest = s.substr(2);
        }
    } else if (s[0] == '\\') {
        p.prefix = cwd.substr(0, 2);
        rest = s.substr(1);
    } else {
        p.prefix = cwd.substr(0, 2);
        if (cwd.size() > 3) base = split(cwd.substr(3));
        rest = s;
    }
    p.parts = base;
    std::vector<std::string> comps = rest.empty() ? std::vector<std::string>() : split(rest);
    bool trailing = !rest.empty() && rest.back() == '\\';
    for (size_t i = 0; i < comps.size(); ++i) {
        std::string c = comps[i];
        bool last = i + 1 == comps.size();
        if (c.empty() || c == ".") continue;
        if (c == "..") {
            if (!p.parts.empty()) p.parts.pop_back();
            continue;
        }
        if (last && !trailing) {
            // The final name loses trailing dots and spaces ("file." is "file").
            while (!c.empty() && (c.back() == '.' || c.back() == ' ')) c.pop_back();
            if (c.empty()) continue;
        }
        p.parts.push_back(c);
    }
    p.trailing = trailing && !p.parts.empty();
    *out = p;
    return 0;
}

std::string join_parts(const Parsed &p, size_t count) {
    std::string s = p.prefix + "\\";
    for (size_t i = 0; i < count; ++i) {
        if (i) s += "\\";
        s += p.parts[i];
    }
    return s;
}

std::string full_of(const Parsed &p) {
    if (p.kind == Parsed::Device) return "\\\\.\\" + p.device;
    std::string s = join_parts(p, p.parts.size());
    if (p.trailing) s += "\\";
    return s;
}

std::string child_key(const std::string &parent_key, const std::string &name) {
    return parent_key.back() == '\\' ? parent_key + upper(name) : parent_key + "\\" + upper(name);
}

// Finds `name` in a host directory, exact spelling first, then ignoring case
// (the first in sorted order when the host holds several spellings).
bool find_child(const fs::path &dir, const std::string &name, std::string *actual, bool *is_dir) {
    std::error_code ec;
    auto st = fs::status(dir / name, ec);
    if (!ec && fs::exists(st)) {
        *actual = name;
        *is_dir = fs::is_directory(st);
        return true;
    }
    bool found = false;
    std::string best;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string n = it->path().filename().string();
        if (iequals(n, name) && (!found || n < best)) {
            best = n;
            found = true;
        }
    }
    if (!found) return false;
    st = fs::status(dir / best, ec);
    if (ec || !fs::exists(st)) return false;
    *actual = best;
    *is_dir = fs::is_directory(st);
    return true;
}

struct Walk {
    fs::path host;
    size_t found = 0;     // leading components that exist
    bool blocked = false; // a component before the last is a file
    bool last_is_dir = false;
    std::string last_actual;
};

void walk(const fs::path &root, const std::vector<std::string> &parts, Walk *w) {
    w->host = root;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (w->found < i || w->blocked) {
            w->host /= parts[i];
            continue;
        }
        std::string actual;
        bool dir = false;
        if (find_child(w->host, parts[i], &actual, &dir)) {
            w->host /= actual;
            w->found = i + 1;
            if (i + 1 < parts.size() && !dir) w->blocked = true;
            if (i + 1 == parts.size()) {
                w->last_is_dir = dir;
                w->last_actual = actual;
            }
        } else {
            w->host /= parts[i];
        }
    }
}

bool on_c(const Parsed &p) {
    return p.kind == Parsed::Drive && std::toupper((unsigned char)p.prefix[0]) == 'C';
}

const DWORD k_kept_attributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

} // namespace

int open_empty(const fs::path &host, bool open_elsewhere) {
    if (!open_elsewhere) {
        ::unlink(host.c_str());
        int fd = ::open(host.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) return fd;
    }
    return ::open(host.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

FILETIME host_write_time(const fs::path &host) {
    FILETIME ft{};
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) return ft;
    // 100 ns ticks since 1601-01-01.
    uint64_t t = ((uint64_t)st.st_mtim.tv_sec + 11644473600ull) * 10000000ull + (uint64_t)st.st_mtim.tv_nsec / 100;
    ft.dwLowDateTime = (DWORD)t;
    ft.dwHighDateTime = (DWORD)(t >> 32);
    return ft;
}

// ------------------------------------------------------------------- disk

struct Disk::Impl {
    fs::path root, state_file;
    std::string cwd = "C:\\";
    std::map<std::string, DWORD> attrs; // keys with non-default attributes
    bool full = false;
    std::shared_ptr<OpenFiles> open = std::make_shared<OpenFiles>();
    std::map<std::string, DeviceOpener> devices; // upper-cased names
};

Disk::Disk(fs::path root, fs::path state_file) : impl_(std::make_unique<Impl>()) {
    impl_->root = std::move(root);
    impl_->state_file = std::move(state_file);
    std::ifstream in(impl_->state_file);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';') continue;
        size_t sp = line.find(' ');
        if (sp == std::string::npos) continue;
        char *end = nullptr;
        unsigned long a = std::strtoul(line.c_str(), &end, 16);
        if (end != line.c_str() + sp) continue;
        std::string key = upper(line.substr(sp + 1));
        if (key.size() < 3) continue;
        impl_->attrs[key] = (DWORD)a & k_kept_attributes;
    }
}

Disk::~Disk() = default;

void Disk::save() const {
    WINSIM_LOCK();
    std::ofstream out(impl_->state_file, std::ios::trunc);
    out << "; attributes of drive C: files the host cannot keep (hex attributes, then the path)\n";
    for (auto &kv : impl_->attrs) {
        PathInfo p = resolve(kv.first);
        if (p.error || !p.exists) continue;
        DWORD def = p.is_dir ? 0 : FILE_ATTRIBUTE_ARCHIVE;
        if (kv.second == def) continue;
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", (unsigned)kv.second);
        out << hex << " " << kv.first << "\n";
    }
}

DWORD Disk::full_path(const std::string &win_path, std::string *full) const {
    WINSIM_LOCK();
    Parsed p;
    if (DWORD e = parse(win_path, impl_->cwd, &p)) return e;
    *full = full_of(p);
    return 0;
}

PathInfo Disk::resolve(const std::string &win_path) const {
    WINSIM_LOCK();
    PathInfo r;
    Parsed p;
    if (DWORD e = parse(win_path, impl_->cwd, &p)) {
        r.error = e;
        return r;
    }
    r.full = full_of(p);
    if (p.kind == Parsed::Device) {
        r.device = true;
        r.device_name = p.device;
        return r;
    }
    size_t n = p.parts.size();
    r.key = upper(join_parts(p, n));
    r.parent_key = n ? upper(join_parts(p, n - 1)) : r.key;
    r.trailing_separator = p.trailing;
    r.name = n ? p.parts.back() : "";
    if (!on_c(p) || r.key.size() >= MAX_PATH) {
        r.error = ERROR_PATH_NOT_FOUND;
        return r;
    }
    for (size_t i = 0; i < n; ++i) {
        bool last = i + 1 == n;
        if (invalid_name_chars(p.parts[i], last) || p.parts[i].size() > 255) {
            r.error = ERROR_INVALID_NAME;
            return r;
        }
        if (last) r.wildcards = p.parts[i].find_first_of("*?") != std::string::npos;
    }
    if (n == 0) {
        r.host = impl_->root;
        r.exists = r.is_dir = r.is_root = true;
        return r;
    }
    Walk w;
    walk(impl_->root, p.parts, &w);
    r.host = w.host;
    if (w.blocked || w.found + 1 < n) {
        r.error = ERROR_PATH_NOT_FOUND;
        return r;
    }
    if (w.found == n && !r.wildcards) {
        r.exists = true;
        r.is_dir = w.last_is_dir;
        r.name = w.last_actual;
    }
    return r;
}

std::string Disk::host_path(const std::string &win_path) const {
    WINSIM_LOCK();
    Parsed p;
    if (parse(win_path, impl_->cwd, &p) || !on_c(p)) return "";
    Walk w;
    walk(impl_->root, p.parts, &w);
    return w.host.string();
}

bool Disk::make_dirs(const std::string &win_path) {
    WINSIM_LOCK();
    Parsed p;
    if (parse(win_path, impl_->cwd, &p) || !on_c(p)) return false;
    fs::path host = impl_->root;
    std::string key = upper(join_parts(p, 0));
    for (auto &part : p.parts) {
        if (invalid_name_chars(part, false)) return false;
        std::string actual;
        bool dir = false;
        key = child_key(key, part);
        if (find_child(host, part, &actual, &dir)) {
            if (!dir) return false;
            host /= actual;
            continue;
        }
        host /= part;
        std::error_code ec;
        fs::create_directory(host, ec);
        if (ec) return false;
        impl_->attrs.erase(key);
    }
    return true;
}

std::string Disk::current_directory() const {
    WINSIM_LOCK();
    return impl_->cwd;
}

void Disk::set_current_directory(const std::string &full) {
    WINSIM_LOCK();
    std::string c = full;
    while (c.size() > 3 && c.back() == '\\') c.pop_back();
    impl_->cwd = c;
}

DWORD Disk::attributes(const PathInfo &p) const {
    WINSIM_LOCK();
    if (p.is_root) return FILE_ATTRIBUTE_DIRECTORY;
    auto it = impl_->attrs.find(p.key);
    DWORD a = it != impl_->attrs.end() ? it->second : p.is_dir ? 0 : FILE_ATTRIBUTE_ARCHIVE;
    if (p.is_dir) a |= FILE_ATTRIBUTE_DIRECTORY;
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

void Disk::set_attributes(const PathInfo &p, DWORD attributes) {
    WINSIM_LOCK();
    if (p.is_root) return;
    DWORD a = attributes & k_kept_attributes;
    DWORD def = p.is_dir ? 0 : FILE_ATTRIBUTE_ARCHIVE;
    if (a == def)
        impl_->attrs.erase(p.key);
    else
        impl_->attrs[p.key] = a;
}

void Disk::forget(const std::string &key) {
    WINSIM_LOCK();
    for (auto it = impl_->attrs.begin(); it != impl_->attrs.end();) {
        if (under(it->first, key))
            it = impl_->attrs.erase(it);
        else
            ++it;
    }
}

void Disk::renamed(const std::string &from_key, const std::string &to_key) {
    WINSIM_LOCK();
    if (from_key == to_key) return;
    std::map<std::string, DWORD> moved;
    for (auto it = impl_->attrs.begin(); it != impl_->attrs.end();) {
        if (under(it->first, from_key)) {
            moved[rekey(it->first, from_key, to_key)] = it->second;
            it = impl_->attrs.erase(it);
        } else {
            ++it;
        }
    }
    forget(to_key);
    for (auto &kv : moved) impl_->attrs[kv.first] = kv.second;
    impl_->open->renamed(from_key, to_key);
}

std::vector<DirEntry> Disk::list(const PathInfo &dir) const {
    WINSIM_LOCK();
    std::vector<DirEntry> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir.host, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.find('\\') != std::string::npos) continue;
        std::error_code sec;
        auto st = fs::status(it->path(), sec);
        if (sec || !fs::exists(st)) continue;
        DirEntry e;
        e.name = name;
        e.is_dir = fs::is_directory(st);
        if (!e.is_dir) {
            auto sz = fs::file_size(it->path(), sec);
            e.size = sec ? 0 : (uint64_t)sz;
        }
        PathInfo child;
        child.key = child_key(dir.key, name);
        child.is_dir = e.is_dir;
        e.attributes = attributes(child);
        e.write_time = host_write_time(it->path());
        out.push_back(std::move(e));
    }
    std::sort(out.begin(), out.end(), [](const DirEntry &a, const DirEntry &b) {
        std::string ua = upper(a.name), ub = upper(b.name);
        return ua != ub ? ua < ub : a.name < b.name;
    });
    return out;
}

DWORD Disk::read_all(const std::string &win_path, std::vector<BYTE> *bytes, size_t limit) const {
    WINSIM_LOCK();
    PathInfo p = resolve(win_path);
    if (p.error) return p.error;
    if (p.device || p.wildcards) return ERROR_INVALID_NAME;
    if (!p.exists) return ERROR_FILE_NOT_FOUND;
    if (p.is_dir) return ERROR_ACCESS_DENIED;
    if (impl_->open->check(p.key, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE)) return ERROR_SHARING_VIOLATION;
    std::ifstream in(p.host, std::ios::binary);
    if (!in) return ERROR_ACCESS_DENIED;
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < 0) return ERROR_ACCESS_DENIED;
    if ((uint64_t)size > limit) return ERROR_NOT_ENOUGH_MEMORY;
    in.seekg(0);
    bytes->assign((size_t)size, 0);
    if (size && !in.read(reinterpret_cast<char *>(bytes->data()), size)) return ERROR_ACCESS_DENIED;
    return 0;
}

bool Disk::full() const {
    WINSIM_LOCK();
    return impl_->full;
}

void Disk::set_full(bool full) {
    WINSIM_LOCK();
    impl_->full = full;
}

const std::shared_ptr<OpenFiles> &Disk::open_files() const { return impl_->open; }

void Disk::add_device(const std::string &name, DeviceOpener opener) {
    WINSIM_LOCK();
    impl_->devices[upper(name)] = std::move(opener);
}

void Disk::remove_device(const std::string &name) {
    WINSIM_LOCK();
    impl_->devices.erase(upper(name));
}

DeviceOpener Disk::device(const std::string &name) const {
    WINSIM_LOCK();
    auto it = impl_->devices.find(upper(name));
    return it == impl_->devices.end() ? DeviceOpener() : it->second;
}

Disk &D() { return *M().disk; }

// ------------------------------------------------------- control helpers

namespace disk {

bool write_file(const std::string &win_path, const std::vector<BYTE> &bytes) {
    WINSIM_LOCK();
    std::string full;
    if (D().full_path(win_path, &full)) return false;
    size_t cut = full.find_last_of('\\');
    if (cut == std::string::npos || cut + 1 == full.size()) return false;
    if (!D().make_dirs(full.substr(0, cut + 1))) return false;
    PathInfo p = D().resolve(full);
    if (p.error || p.wildcards || (p.exists && p.is_dir)) return false;
    if (!p.exists) D().forget(p.key);
    int fd = open_empty(p.host, D().open_files()->is_open(p.key));
    if (fd < 0) return false;
    size_t put = 0;
    while (put < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + put, bytes.size() - put);
        if (n <= 0) break;
        put += (size_t)n;
    }
    ::close(fd);
    return put == bytes.size();
}

bool write_text(const std::string &win_path, const std::string &text) {
    return write_file(win_path, std::vector<BYTE>(text.begin(), text.end()));
}

bool read_file(const std::string &win_path, std::vector<BYTE> *bytes) {
    WINSIM_LOCK();
    std::vector<BYTE> b;
    PathInfo p = D().resolve(win_path);
    if (p.error || !p.exists || p.is_dir) return false;
    std::ifstream in(p.host, std::ios::binary);
    if (!in) return false;
    std::stringstream ss;
    ss << in.rdbuf();
    std::string s = ss.str();
    bytes->assign(s.begin(), s.end());
    return true;
}

bool exists(const std::string &win_path) {
    WINSIM_LOCK();
    PathInfo p = D().resolve(win_path);
    return !p.error && p.exists;
}

bool make_dirs(const std::string &win_path) { return D().make_dirs(win_path); }

bool remove(const std::string &win_path) {
    WINSIM_LOCK();
    PathInfo p = D().resolve(win_path);
    if (p.error || !p.exists || p.is_root) return false;
    std::error_code ec;
    fs::remove_all(p.host, ec);
    if (ec) return false;
    D().forget(p.key);
    return true;
}

bool install_library(const std::string &win_path, const std::string &library) {
    return write_text(win_path, "WINSIM-IMAGE\r\nlibrary=" + library + "\r\n");
}

void set_disk_full(bool full) { D().set_full(full); }

DWORD attributes(const std::string &win_path) {
    WINSIM_LOCK();
    PathInfo p = D().resolve(win_path);
    if (p.error || !p.exists) return INVALID_FILE_ATTRIBUTES;
    return D().attributes(p);
}

bool set_attributes(const std::string &win_path, DWORD attributes) {
    WINSIM_LOCK();
    PathInfo p = D().resolve(win_path);
    if (p.error || !p.exists) return false;
    D().set_attributes(p, attributes);
    return true;
}

} // namespace disk

} // namespace winsim
