// A simulated machine with the kit's libraries installed beside the
// application, and a check that nothing was left open.
#ifndef QUVA_TESTS_KIT_H
#define QUVA_TESTS_KIT_H

#include <windows.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace kit {

class Machine {
public:
    explicit Machine(winsim::Os os, const std::string &dir = "C:\\APP") : m_(winsim::Machine::temporary(os)) {
        m_->set_process_image(dir + "\\APP.EXE");
        for (const char *lib : {"QUVAB2", "QUVADI", "QUVAUI"})
            winsim::disk::install_library(dir + "\\" + lib + ".DLL", lib);
        before_ = winsim::handles::open();
    }
    ~Machine() { EXPECT_EQ(winsim::handles::leaks_since(before_), "") << "handles left open"; }
    winsim::Machine &operator*() { return *m_; }
    winsim::Machine *operator->() { return m_.get(); }

private:
    std::unique_ptr<winsim::Machine> m_;
    winsim::handles::Counts before_;
};

// A library loaded with LoadLibraryA for the length of a scope.
class Library {
public:
    explicit Library(const char *file) : h_(LoadLibraryA(file)) { EXPECT_NE(h_, nullptr) << file; }
    ~Library() {
        if (h_) FreeLibrary(h_);
    }
    HMODULE handle() const { return h_; }
    template <class F> F fn(const char *name) const {
        F f = h_ ? (F)(void *)GetProcAddress(h_, name) : nullptr;
        EXPECT_NE(f, nullptr) << name;
        return f;
    }
    HRESULT call(const char *name) const {
        auto f = fn<HRESULT(WINAPI *)(void)>(name);
        return f ? f() : E_FAIL;
    }
    DWORD dword_call(const char *name) const {
        auto f = fn<DWORD(WINAPI *)(void)>(name);
        return f ? f() : 0xDEADBEEF;
    }

private:
    HMODULE h_;
};

// The build puts the driver packages in packages/ beside bin/.
inline std::string packages_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string exe = n > 0 ? std::string(buf, (size_t)n) : std::string("./quva_tests");
    std::string bin = exe.substr(0, exe.rfind('/'));
    return bin.substr(0, bin.rfind('/')) + "/packages";
}

inline std::vector<BYTE> host_bytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Every file of a host folder into a folder of drive C:.
inline void copy_folder(const std::string &host, const std::string &win) {
    for (const auto &e : std::filesystem::directory_iterator(host)) {
        if (!e.is_regular_file()) continue;
        ASSERT_TRUE(winsim::disk::write_file(win + "\\" + e.path().filename().string(), host_bytes(e.path().string())));
    }
}

// The driver installer's install and removal entries on a new machine, with
// a driver package copied from the build onto drive C:.
struct DriverOutputs {
    BOOL ok = FALSE;
    DWORD reboot = 0xAA, completion = 0xAA, error = 0xAA;
};

class DriverKit {
public:
    typedef BOOL(WINAPI *InstallFn)(HWND, DWORD, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, LPDWORD, LPDWORD, LPDWORD);
    typedef BOOL(WINAPI *UninstallFn)(HWND, DWORD, LPDWORD, LPDWORD, LPDWORD);

    explicit DriverKit(winsim::Os os, const std::string &package = "", const std::string &source = "C:\\SRC")
        : m(os), lib("QUVADI.DLL"), source_(source) {
        install_ = lib.fn<InstallFn>("quvaDI_InstallDriverA");
        uninstall_ = lib.fn<UninstallFn>("quvaDI_UninstallDriverA");
        if (!package.empty()) copy_folder(packages_dir() + "/" + package, source);
    }
    ~DriverKit() { winsim::faults::clear(); }
    DriverOutputs install(const char *inf, DWORD flags = 0, DWORD use_rm = 1, DWORD readers = 1) {
        DriverOutputs o;
        o.ok = install_(nullptr, flags, source_.c_str(), inf, 0, use_rm, readers, &o.reboot, &o.completion, &o.error);
        return o;
    }
    DriverOutputs uninstall() {
        DriverOutputs o;
        o.ok = uninstall_(nullptr, 0, &o.reboot, &o.completion, &o.error);
        return o;
    }
    Machine m;
    Library lib;

private:
    std::string source_;
    InstallFn install_ = nullptr;
    UninstallFn uninstall_ = nullptr;
};

inline std::string component_key(const std::string &component) {
    return "HKEY_LOCAL_MACHINE\\Software\\Vornel Technologies\\Quva\\Quva Components\\Quva Application Interfaces\\" +
           component;
}

inline std::string reg_string(const std::string &key, const std::string &name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(key, name, &type, &data)) return "<missing>";
    return std::string(data.begin(), data.end());
}


// Tests that compile the installer's internal sources into themselves reach
// the library's own exports through the QUVADI.DLL they loaded here.
inline HMODULE g_quvadi = nullptr;
template <class F> F quvadi_export(const char *name) {
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(g_quvadi, name)));
}

// The internals' OS version query, answered by the simulated machine.
inline BOOL os_version(OSVERSIONINFOA *info) {
    *info = OSVERSIONINFOA{};
    info->dwOSVersionInfoSize = sizeof(*info);
    return GetVersionExA(info);
}

} // namespace kit

#endif
