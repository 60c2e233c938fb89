// A simulated machine with the kit's libraries installed beside the
// application, and a check that nothing was left open.
#ifndef QUVA_TESTS_KIT_H
#define QUVA_TESTS_KIT_H

#include <windows.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

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

} // namespace kit

#endif
