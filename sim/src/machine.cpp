// Machine profiles, creating, loading and saving machines, and the version,
// directory and environment calls that only read the profile.
#include "core.h"
#include "disk.h"
#include "modules.h"
#include "processes.h"
#include "registry.h"
#include "threads.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace winsim {

// ---------------------------------------------------------------- profiles

namespace {
const Profile k_profiles[] = {
    {Os::Win95, "95", "Windows 95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6, "", "C:\\WINDOWS",
     "C:\\WINDOWS\\SYSTEM"},
    {Os::Win98, "98", "Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A08AE, " A ", "C:\\WINDOWS",
     "C:\\WINDOWS\\SYSTEM"},
    {Os::WinMe, "me", "Windows ME", VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0x045A0BB8, " ", "C:\\WINDOWS",
     "C:\\WINDOWS\\SYSTEM"},
    {Os::Nt4, "nt4", "Windows NT 4.0", VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6a", "C:\\WINNT",
     "C:\\WINNT\\system32"},
    {Os::Win2000, "2000", "Windows 2000", VER_PLATFORM_WIN32_NT, 5, 0, 2195, "Service Pack 4", "C:\\WINNT",
     "C:\\WINNT\\system32"},
    {Os::WinXp, "xp", "Windows XP", VER_PLATFORM_WIN32_NT, 5, 1, 2600, "Service Pack 3", "C:\\WINDOWS",
     "C:\\WINDOWS\\system32"},
    {Os::Win2003, "2003", "Windows Server 2003", VER_PLATFORM_WIN32_NT, 5, 2, 3790, "Service Pack 2",
     "C:\\WINDOWS", "C:\\WINDOWS\\system32"},
    {Os::Vista, "vista", "Windows Vista", VER_PLATFORM_WIN32_NT, 6, 0, 6002, "Service Pack 2", "C:\\Windows",
     "C:\\Windows\\system32"},
};
} // namespace

const Profile &profile_of(Os os) {
    for (auto &p : k_profiles)
        if (p.os == os) return p;
    fatal("unknown Windows version");
}

const Profile *find_profile(const std::string &name) {
    for (auto &p : k_profiles)
        if (iequals(name, p.name) || iequals(name, p.title)) return &p;
    return nullptr;
}

const std::vector<Os> &all_oses() {
    static const std::vector<Os> v = {Os::Win95, Os::Win98, Os::WinMe, Os::Nt4,
                                      Os::Win2000, Os::WinXp, Os::Win2003, Os::Vista};
    return v;
}

// What a freshly installed system of each version has on drive C: and in
// its registry, as far as the kit looks.
namespace {
std::vector<std::string> default_directories(const Profile &p) {
    std::string w = p.windows_dir;
    std::vector<std::string> d = {w, p.system_dir, w + "\\INF", w + "\\TEMP", "C:\\Program Files"};
    if (p.nt()) {
        d.push_back(std::string(p.system_dir) + "\\drivers");
    } else {
        d.push_back(w + "\\Recent");
        if (p.os != Os::Win95) d.push_back(w + "\\SYSTEM32\\DRIVERS");
    }
    if (p.os == Os::WinXp || p.os == Os::Win2003 || p.os == Os::Win2000)
        d.push_back("C:\\Documents and Settings");
    if (p.os == Os::Vista) d.push_back("C:\\Users");
    return d;
}

std::string reg_escape(const std::string &s) {
    std::string o;
    for (char c : s) {
        if (c == '\\' || c == '"') o += '\\';
        o += c;
    }
    return o;
}

std::string default_registry(const Profile &p) {
    std::ostringstream r;
    r << "REGEDIT4\n\n";
    r << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\n";
    r << "\"ProgramFilesDir\"=\"C:\\\\Program Files\"\n";
    if (!p.nt()) {
        r << "\"SystemRoot\"=\"" << reg_escape(p.windows_dir) << "\"\n";
        r << "\"Version\"=\"" << p.title << "\"\n";
        r << "\"VersionNumber\"=\"" << p.major << "." << (p.minor < 10 ? "0" : "") << p.minor << "."
          << (p.build_number & 0xFFFF) << "\"\n";
    }
    r << "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall]\n\n";
    if (p.nt()) {
        r << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\n";
        r << "\"CurrentVersion\"=\"" << p.major << "." << p.minor << "\"\n";
        r << "\"CurrentBuildNumber\"=\"" << p.build_number << "\"\n";
        r << "\"CSDVersion\"=\"" << p.csd_version << "\"\n";
        r << "\"SystemRoot\"=\"" << reg_escape(p.windows_dir) << "\"\n\n";
        r << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class]\n\n";
        r << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum]\n\n";
        // NT 4.0 lists its root devices, legacy drivers among them, here.
        if (p.os == Os::Nt4) r << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root]\n\n";
        r << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services]\n\n";
    } else {
        // Setup remembers where the Windows files came from (a preinstalled
        // machine keeps its cabinets under the Windows directory).
        r << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup]\n";
        r << "\"SourcePath\"=\"" << reg_escape(std::string(p.windows_dir) + "\\OPTIONS\\CABS\\") << "\"\n\n";
        r << "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class]\n\n";
        r << "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\VxD]\n\n";
        r << "[HKEY_LOCAL_MACHINE\\Enum]\n\n";
    }
    r << "[HKEY_CURRENT_USER\\Software]\n\n";
    r << "[HKEY_USERS\\.DEFAULT\\Software]\n\n";
    return r.str();
}

std::atomic<Machine *> g_current{nullptr};

void install_pieces(Machine::Impl &m) {
    m.registry = std::make_unique<Registry>(m.profile->nt());
    m.disk = std::make_unique<Disk>(m.dir / "c", m.dir / "attributes.txt");
    m.environment.clear();
    m.environment["WINDIR"] = m.profile->windows_dir;
    m.environment["PATH"] = std::string(m.profile->system_dir) + ";" + m.profile->windows_dir;
    m.environment["TEMP"] = std::string(m.profile->windows_dir) + "\\TEMP";
    m.environment["TMP"] = m.environment["TEMP"];
    if (m.profile->nt()) {
        m.environment["SYSTEMROOT"] = m.profile->windows_dir;
        m.environment["OS"] = "Windows_NT";
    }
}

void finish_teardown() {
    forget_loaded_modules();
    sched::machine_teardown();
    run_ended_hooks();
    handle_table::clear();
    {
        WINSIM_LOCK();
        extra_counts().clear();
    }
    faults::clear();
}
} // namespace

Machine::Impl *M_or_null() {
    Machine *m = g_current.load();
    return m ? m->impl() : nullptr;
}

Machine::Impl &M() {
    Machine::Impl *m = M_or_null();
    if (!m) fatal("a Win32 call was made with no simulated machine (create one with winsim::Machine)");
    return *m;
}

Machine *current_machine() { return g_current.load(); }

Machine::Machine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
    Machine *prev = nullptr;
    if (!g_current.compare_exchange_strong(prev, this))
        fatal("a second simulated machine was created while one is current");
    sched::machine_started();
}

Machine::~Machine() {
    finish_teardown();
    Machine *self = this;
    g_current.compare_exchange_strong(self, nullptr);
    bool temp = impl_->temporary;
    fs::path dir = impl_->dir;
    impl_.reset();
    if (temp) {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
}

std::unique_ptr<Machine> Machine::create(const std::string &dir, Os os) {
    auto impl = std::make_unique<Impl>();
    impl->profile = &profile_of(os);
    impl->dir = fs::absolute(dir);
    impl->dir_string = impl->dir.string();
    std::error_code ec;
    if (fs::exists(impl->dir / "machine.ini", ec)) fatal("a machine already exists in " + impl->dir.string());
    fs::create_directories(impl->dir / "c", ec);
    if (ec) fatal("cannot create machine directory " + impl->dir.string() + ": " + ec.message());
    std::unique_ptr<Machine> m(new Machine(std::move(impl)));
    Impl &s = *m->impl();
    install_pieces(s);
    for (auto &d : default_directories(*s.profile)) s.disk->make_dirs(d);
    install_system_images(*s.profile);
    std::string err;
    if (!s.registry->import_text(default_registry(*s.profile), &err)) fatal("default registry: " + err);
    run_started_hooks(false);
    m->save();
    return m;
}

namespace {
std::string trim(const std::string &s) {
    size_t a = s.find_first_not_of(" \t\r\n");
    size_t b = s.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}
} // namespace

std::unique_ptr<Machine> Machine::load(const std::string &dir) {
    fs::path root = fs::absolute(dir);
    std::ifstream ini(root / "machine.ini");
    if (!ini) fatal("no machine in " + root.string() + " (machine.ini missing)");
    std::map<std::string, std::string> machine, env;
    std::string line, section;
    while (std::getline(ini, line)) {
        line = trim(line);
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            section = line;
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string k = trim(line.substr(0, eq)), v = trim(line.substr(eq + 1));
        (section == "[environment]" ? env : machine)[k] = v;
    }
    const Profile *p = find_profile(machine["os"]);
    if (!p) fatal("machine.ini in " + root.string() + " names no known Windows version");
    auto impl = std::make_unique<Impl>();
    impl->profile = p;
    impl->dir = root;
    impl->dir_string = root.string();
    std::unique_ptr<Machine> m(new Machine(std::move(impl)));
    Impl &s = *m->impl();
    install_pieces(s);
    s.admin = machine.count("admin") ? machine["admin"] != "0" : true;
    if (machine.count("process_image")) s.process_image = machine["process_image"];
    if (machine.count("command_line")) s.command_line = machine["command_line"];
    if (!env.empty()) {
        s.environment.clear();
        for (auto &kv : env) s.environment[upper(kv.first)] = kv.second;
    }
    std::ifstream regf(root / "registry.reg", std::ios::binary);
    if (regf) {
        std::stringstream ss;
        ss << regf.rdbuf();
        std::string err;
        if (!s.registry->import_text(ss.str(), &err)) fatal("registry.reg: " + err);
    }
    run_started_hooks(true);
    return m;
}

std::unique_ptr<Machine> Machine::temporary(Os os) {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/winsim-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) fatal("cannot create a temporary machine directory");
    auto m = create(buf.data(), os);
    m->impl()->temporary = true;
    return m;
}

void Machine::save() {
    Impl &s = *impl_;
    {
        std::ofstream ini(s.dir / "machine.ini", std::ios::trunc);
        ini << "; simulated Windows machine\n[machine]\n";
        ini << "os=" << s.profile->name << "\n";
        ini << "admin=" << (s.admin ? 1 : 0) << "\n";
        ini << "process_image=" << s.process_image << "\n";
        ini << "command_line=" << s.command_line << "\n";
        ini << "\n[environment]\n";
        for (auto &kv : s.environment) ini << kv.first << "=" << kv.second << "\n";
    }
    {
        std::ofstream reg(s.dir / "registry.reg", std::ios::binary | std::ios::trunc);
        reg << s.registry->export_text("");
    }
    s.disk->save();
    save_token_stack(s);
}

const Profile &Machine::profile() const { return *impl_->profile; }
const std::string &Machine::dir() const { return impl_->dir_string; }
std::string Machine::host_path(const std::string &win_path) const { return impl_->disk->host_path(win_path); }
void Machine::set_admin(bool admin) { impl_->admin = admin; }
bool Machine::admin() const { return impl_->admin; }
void Machine::set_process_image(const std::string &p) { impl_->process_image = p; }
void Machine::set_command_line(const std::string &c) { impl_->command_line = c; }
void Machine::set_environment(const std::string &name, const std::string *value) {
    if (value)
        impl_->environment[upper(name)] = *value;
    else
        impl_->environment.erase(upper(name));
}

} // namespace winsim

using namespace winsim;

// ------------------------------------------------------------ Win32 calls

extern "C" BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
    WINSIM_FAULT_BOOL("GetVersionExA");
    const Profile &p = *M().profile;
    if (!info) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    DWORD size = info->dwOSVersionInfoSize;
    bool ex = size == sizeof(OSVERSIONINFOEXA);
    // Windows 9x knows only the short record; NT 4.0 SP6 and later take both.
    if (size != sizeof(OSVERSIONINFOA) && !(ex && p.nt())) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = p.major;
    info->dwMinorVersion = p.minor;
    info->dwBuildNumber = p.build_number;
    info->dwPlatformId = p.platform_id;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    std::strncpy(info->szCSDVersion, p.csd_version, sizeof info->szCSDVersion - 1);
    if (ex) {
        auto *x = reinterpret_cast<LPOSVERSIONINFOEXA>(info);
        const char *sp = std::strstr(p.csd_version, "Service Pack ");
        x->wServicePackMajor = sp ? (WORD)std::atoi(sp + 13) : 0;
        x->wServicePackMinor = 0;
        x->wSuiteMask = 0;
        x->wProductType = p.os == Os::Win2003 ? 3 : 1;
        x->wReserved = 0;
    }
    return TRUE;
}

extern "C" DWORD WINAPI GetVersion(void) {
    const Profile &p = *M().profile;
    DWORD v = (p.major & 0xFF) | ((p.minor & 0xFF) << 8);
    if (p.nt()) return v | ((p.build_number & 0x7FFF) << 16);
    // Windows 9x sets the top bit; the build number is not in the word.
    return v | 0xC0000000u;
}

extern "C" UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    if (DWORD e = fault("GetWindowsDirectoryA")) {
        SetLastError(e);
        return 0;
    }
    return copy_out(M().profile->windows_dir, buffer, size);
}

extern "C" UINT WINAPI GetSystemDirectoryA(LPSTR buffer, UINT size) {
    if (DWORD e = fault("GetSystemDirectoryA")) {
        SetLastError(e);
        return 0;
    }
    return copy_out(M().profile->system_dir, buffer, size);
}

extern "C" DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (DWORD e = fault("GetEnvironmentVariableA")) {
        SetLastError(e);
        return 0;
    }
    WINSIM_LOCK();
    auto &env = process_environment();
    auto it = env.find(upper(name));
    if (it == env.end()) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    return copy_out(it->second, buffer, size);
}

extern "C" BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    WINSIM_LOCK();
    if (value)
        process_environment()[upper(name)] = value;
    else
        process_environment().erase(upper(name));
    return TRUE;
}

extern "C" LPSTR WINAPI GetCommandLineA(void) {
    if (LPSTR own = process_command_line()) return own;
    static thread_local std::string line;
    line = M().command_line;
    return &line[0];
}
