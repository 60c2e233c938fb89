// The module loader: LoadLibraryA finds an image file on the simulated disk
// the way Windows searches for it, and maps it to one of our shared objects
// (the kit's libraries) or to a system DLL that the simulator itself provides.
#include "core.h"
#include "modules.h"
#include "processes.h"

#include <dlfcn.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

typedef BOOL(WINAPI *winsim_dllmain_fn)(HINSTANCE, DWORD, LPVOID);

namespace winsim {
namespace {

struct Module {
    const void *base = nullptr; // the HMODULE value
    void *dl = nullptr;         // the dlopen reference LoadLibraryA holds
    std::string host_file;      // the shared object on the host
    std::string name;           // image name without extension ("QUVAB2", "kernel32")
    std::string win_path;       // where the image was loaded from on the simulated disk
    winsim_dllmain_fn entry = nullptr;
    int refs = 0;               // LoadLibraryA references not yet freed
    bool builtin = false;
};

std::vector<std::unique_ptr<Module>> &module_list() {
    static std::vector<std::unique_ptr<Module>> m;
    return m;
}

// One distinct address per built-in system DLL and for the process image.
const char k_process_image = 0;
const char k_builtin_bases[32] = {};


std::string stem(const std::string &file) {
    std::string f = file_part(file);
    size_t dot = f.find('.');
    return dot == std::string::npos ? f : f.substr(0, dot);
}

Module *by_base(const void *base) {
    for (auto &m : module_list())
        if (m->base == base) return m.get();
    return nullptr;
}

std::string canonical(const std::string &host) {
    std::error_code ec;
    auto p = fs::canonical(host, ec);
    return ec ? host : p.string();
}

std::string libdir() {
    Dl_info info{};
    if (!dladdr((void *)&LoadLibraryA, &info) || !info.dli_fname) fatal("cannot locate libwinsim");
    return dir_part(canonical(info.dli_fname));
}

std::string module_file_name(const Module &m) {
    if (!m.win_path.empty()) return m.win_path;
    // Linked at start-up rather than loaded: it lives in the system directory.
    return std::string(M().profile->system_dir) + "\\" + upper(m.name) + ".DLL";
}

// "WINSIM-IMAGE\r\nlibrary=NAME\r\n" or "...builtin=NAME..."
bool parse_image(const std::string &text, std::string *kind, std::string *name) {
    if (text.compare(0, 12, "WINSIM-IMAGE") != 0) return false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string k = line.substr(0, eq);
        if (k == "library" || k == "builtin") {
            *kind = k;
            *name = line.substr(eq + 1);
            return !name->empty();
        }
    }
    return false;
}

bool read_disk_file(const std::string &win_path, std::string *out) {
    std::string host = M().disk ? current_machine()->host_path(win_path) : std::string();
    if (host.empty()) return false;
    std::error_code ec;
    if (!fs::is_regular_file(host, ec)) return false;
    std::ifstream f(host, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    *out = ss.str();
    return true;
}

// Windows appends ".DLL" to a name without extension; a trailing dot means "no extension".
std::string with_default_extension(std::string name) {
    std::string file = file_part(name);
    if (!file.empty() && file.back() == '.')
        name.pop_back();
    else if (file.find('.') == std::string::npos)
        name += ".DLL";
    return name;
}

std::vector<std::string> search_path() {
    Machine::Impl &m = M();
    std::vector<std::string> dirs;
    dirs.push_back(dir_part(process_image()));
    dirs.push_back(m.profile->system_dir);
    if (m.profile->nt()) dirs.push_back(std::string(m.profile->windows_dir) + "\\system");
    dirs.push_back(m.profile->windows_dir);
    char cwd[MAX_PATH];
    if (GetCurrentDirectoryA(MAX_PATH, cwd)) dirs.push_back(cwd);
    auto it = m.environment.find("PATH");
    if (it != m.environment.end()) {
        std::string p = it->second;
        size_t start = 0;
        while (start <= p.size()) {
            size_t semi = p.find(';', start);
            std::string d = p.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
            if (!d.empty()) dirs.push_back(d);
            if (semi == std::string::npos) break;
            start = semi + 1;
        }
    }
    return dirs;
}

std::string join(const std::string &dir, const std::string &file) {
    if (dir.empty()) return file;
    return dir.back() == '\\' ? dir + file : dir + "\\" + file;
}

HMODULE take_reference(Module *m, const std::string &win_path) {
    if (m->refs == 0 && !win_path.empty()) m->win_path = win_path;
    m->refs++;
    extra_counts()[HandleKind::Module]++;
    return (HMODULE)m->base;
}

} // namespace

void install_system_images(const Profile &p) {
    static const char *const names[] = {"kernel32", "advapi32", "user32", "gdi32", "version", "shell32"};
    for (const char *n : names) {
        std::string file = p.nt() ? lower(n) + ".dll" : upper(n) + ".DLL";
        disk::write_text(std::string(p.system_dir) + "\\" + file, std::string("WINSIM-IMAGE\r\nbuiltin=") + n + "\r\n");
    }
    // Windows 95 has no SetupAPI.
    if (p.os != Os::Win95)
        disk::write_text(std::string(p.system_dir) + (p.nt() ? "\\setupapi.dll" : "\\SETUPAPI.DLL"),
                         "WINSIM-IMAGE\r\nbuiltin=setupapi\r\n");
}

void forget_loaded_modules() {
    std::vector<void *> to_close;
    {
        WINSIM_LOCK();
        for (auto &m : module_list()) {
            if (m->dl && !m->builtin) to_close.push_back(m->dl);
            if (!m->builtin) m->dl = nullptr;
            m->refs = 0;
            m->win_path.clear();
        }
        extra_counts()[HandleKind::Module] = 0;
    }
    for (void *dl : to_close) dlclose(dl);
}

namespace modules {
bool set_file_name(HMODULE h, const std::string &win_path) {
    WINSIM_LOCK();
    Module *m = by_base(h);
    if (!m) return false;
    m->win_path = win_path;
    return true;
}
int references(HMODULE h) {
    WINSIM_LOCK();
    Module *m = by_base(h);
    return m ? m->refs : 0;
}
} // namespace modules

} // namespace winsim

using namespace winsim;

extern "C" void winsim_module_attach(const void *anchor, winsim_dllmain_fn entry) {
    Dl_info info{};
    if (!dladdr(anchor, &info) || !info.dli_fbase) fatal("a library started that the loader cannot place");
    Module *m;
    {
        WINSIM_LOCK();
        m = by_base(info.dli_fbase);
        if (!m) {
            auto mod = std::make_unique<Module>();
            mod->base = info.dli_fbase;
            mod->host_file = canonical(info.dli_fname ? info.dli_fname : "");
            mod->name = stem(mod->host_file);
            m = mod.get();
            module_list().push_back(std::move(mod));
        }
        m->entry = entry;
    }
    entry((HINSTANCE)m->base, DLL_PROCESS_ATTACH, nullptr);
}

extern "C" void winsim_module_detach(const void *anchor) {
    Dl_info info{};
    if (!dladdr(anchor, &info)) return;
    winsim_dllmain_fn entry = nullptr;
    {
        WINSIM_LOCK();
        auto &v = module_list();
        for (auto it = v.begin(); it != v.end(); ++it) {
            if ((*it)->base == info.dli_fbase) {
                entry = (*it)->entry;
                if ((*it)->refs && M_or_null()) extra_counts()[HandleKind::Module] -= (*it)->refs;
                v.erase(it);
                break;
            }
        }
    }
    if (entry) entry((HINSTANCE)info.dli_fbase, DLL_PROCESS_DETACH, nullptr);
}

extern "C" HMODULE WINAPI LoadLibraryA(LPCSTR file) {
    if (DWORD e = fault("LoadLibraryA")) {
        SetLastError(e);
        return nullptr;
    }
    if (!file || !*file) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string name = with_default_extension(file);
    bool has_path = name.find_first_of("\\/:") != std::string::npos;

    WINSIM_LOCK();
    std::string found;
    if (has_path) {
        char full[MAX_PATH];
        DWORD n = GetFullPathNameA(name.c_str(), MAX_PATH, full, nullptr);
        if (!n || n >= MAX_PATH) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        for (auto &m : module_list())
            if (m->refs && iequals(m->win_path, full)) return take_reference(m.get(), "");
        found = full;
    } else {
        for (auto &m : module_list()) {
            if (m->refs && iequals(file_part(module_file_name(*m)), name)) return take_reference(m.get(), "");
        }
    }

    std::string text;
    if (has_path) {
        if (!read_disk_file(found, &text)) found.clear();
    } else {
        for (auto &dir : search_path()) {
            std::string candidate = join(dir, name);
            if (read_disk_file(candidate, &text)) {
                found = candidate;
                break;
            }
        }
    }
    if (found.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Keep the name as it is on disk.
    char full[MAX_PATH];
    if (GetFullPathNameA(found.c_str(), MAX_PATH, full, nullptr)) found = full;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(found.c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        FindClose(h);
        found = join(dir_part(found), fd.cFileName);
    }

    std::string kind, image;
    if (!parse_image(text, &kind, &image)) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    if (kind == "builtin") {
        for (auto &m : module_list())
            if (m->builtin && iequals(m->name, image)) return take_reference(m.get(), found);
        size_t used = 0;
        for (auto &m : module_list()) used += m->builtin;
        if (used >= sizeof k_builtin_bases) fatal("too many built-in system libraries");
        auto mod = std::make_unique<Module>();
        mod->base = &k_builtin_bases[used];
        mod->builtin = true;
        mod->name = image;
        Dl_info info{};
        dladdr((void *)&LoadLibraryA, &info);
        mod->host_file = canonical(info.dli_fname);
        mod->dl = dlopen(mod->host_file.c_str(), RTLD_NOW | RTLD_NOLOAD);
        Module *m = mod.get();
        module_list().push_back(std::move(mod));
        return take_reference(m, found);
    }

    std::string host = libdir() + "/" + image + ".so";
    std::error_code ec;
    if (!fs::exists(host, ec)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void *dl = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
        std::fprintf(stderr, "winsim: cannot load %s: %s\n", host.c_str(), dlerror());
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    std::string canon = canonical(host);
    Module *m = nullptr;
    for (auto &mod : module_list())
        if (mod->host_file == canon) m = mod.get();
    if (!m) {
        dlclose(dl);
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    if (m->dl)
        dlclose(dl); // already held
    else
        m->dl = dl;
    return take_reference(m, found);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE h) {
    void *to_close = nullptr;
    {
        WINSIM_LOCK();
        Module *m = by_base(h);
        if (!m || m->refs <= 0) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        m->refs--;
        extra_counts()[HandleKind::Module]--;
        if (m->refs == 0 && m->dl && !m->builtin) {
            to_close = m->dl;
            m->dl = nullptr;
        }
    }
    if (to_close) dlclose(to_close); // may run DllMain(DETACH) through the start-up code
    return TRUE;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE h, LPCSTR proc) {
    if (DWORD e = fault("GetProcAddress")) {
        SetLastError(e);
        return nullptr;
    }
    WINSIM_LOCK();
    Module *m = by_base(h);
    if (!m) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (!proc || (uintptr_t)proc < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND); // exports by ordinal are not modelled
        return nullptr;
    }
    void *dl = m->dl;
    bool temporary = false;
    if (!dl) {
        dl = dlopen(m->host_file.c_str(), RTLD_NOW | RTLD_NOLOAD);
        temporary = dl != nullptr;
    }
    void *sym = dl ? dlsym(dl, proc) : nullptr;
    if (temporary) dlclose(dl);
    if (!sym) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return (FARPROC)sym;
}

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    if (!name) return (HMODULE)&k_process_image;
    WINSIM_LOCK();
    std::string want = with_default_extension(name);
    bool has_path = want.find_first_of("\\/:") != std::string::npos;
    for (auto &m : module_list()) {
        if (!m->refs && m->builtin) continue;
        std::string have = module_file_name(*m);
        if (has_path ? iequals(have, want) : iequals(file_part(have), want)) return (HMODULE)m->base;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE h, LPSTR buffer, DWORD size) {
    if (DWORD e = fault("GetModuleFileNameA")) {
        SetLastError(e);
        return 0;
    }
    std::string path;
    {
        WINSIM_LOCK();
        if (!h || h == (HMODULE)&k_process_image) {
            path = process_image();
        } else {
            Module *m = by_base(h);
            if (!m) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return 0;
            }
            path = module_file_name(*m);
        }
    }
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < size) {
        std::memcpy(buffer, path.c_str(), path.size() + 1);
        return (DWORD)path.size();
    }
    // Too small: before Vista the copy is cut at `size` characters with no
    // terminator; from Vista on it is cut one shorter and terminated.
    if (M().profile->major >= 6) {
        std::memcpy(buffer, path.data(), size - 1);
        buffer[size - 1] = '\0';
    } else {
        std::memcpy(buffer, path.data(), size);
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

extern "C" BOOL WINAPI DisableThreadLibraryCalls(HMODULE) { return TRUE; }
