// The token library loaded from the simulated disk, with every export at
// hand, and helpers to set up the machine's tokens and reader mode.
#ifndef QUVA_TESTS_TOKEN_API_H
#define QUVA_TESTS_TOKEN_API_H

#include "kit.h"
#include "quvab2.h"

#include <tokenmodel/token.h>
#include <winscard.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace token_test {

using Bytes = std::vector<BYTE>;

struct Api {
    explicit Api(const char *file = "QUVAB2.DLL") : lib(file) {
#define QUVA_BIND(name) name = lib.fn<decltype(&::name)>(#name)
        QUVA_BIND(quva_CreateContext);
        QUVA_BIND(quva_DeleteContext);
        QUVA_BIND(quva_OpenDevice);
        QUVA_BIND(quva_CloseDevice);
        QUVA_BIND(quva_Command);
        QUVA_BIND(quva_GetResponse);
        QUVA_BIND(quva_Diagnose);
        QUVA_BIND(quva_LedControl);
        QUVA_BIND(quva_GetProperty);
        QUVA_BIND(quva_SetProperty);
        QUVA_BIND(quva_ScardPowerUp);
        QUVA_BIND(quva_ScardPowerDown);
        QUVA_BIND(quva_ScardIO);
        QUVA_BIND(quva_ScardExchange);
#undef QUVA_BIND
    }
    kit::Library lib;
    decltype(&::quva_CreateContext) quva_CreateContext;
    decltype(&::quva_DeleteContext) quva_DeleteContext;
    decltype(&::quva_OpenDevice) quva_OpenDevice;
    decltype(&::quva_CloseDevice) quva_CloseDevice;
    decltype(&::quva_Command) quva_Command;
    decltype(&::quva_GetResponse) quva_GetResponse;
    decltype(&::quva_Diagnose) quva_Diagnose;
    decltype(&::quva_LedControl) quva_LedControl;
    decltype(&::quva_GetProperty) quva_GetProperty;
    decltype(&::quva_SetProperty) quva_SetProperty;
    decltype(&::quva_ScardPowerUp) quva_ScardPowerUp;
    decltype(&::quva_ScardPowerDown) quva_ScardPowerDown;
    decltype(&::quva_ScardIO) quva_ScardIO;
    decltype(&::quva_ScardExchange) quva_ScardExchange;
};

const char k_parameters_nt5[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\qvatoken\\Parameters";
const char k_component[] = "HKEY_LOCAL_MACHINE\\Software\\Vornel Technologies\\Quva\\Quva Components\\Quva "
                           "Application Interfaces\\Quva B2 Token Library";

inline void import(const std::string &text) {
    std::string error;
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n" + text, &error)) << error;
}

inline std::string dword_line(const char *name, DWORD value) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "\"%s\"=dword:%08x\r\n", name, (unsigned)value);
    return buf;
}

// Opens the PC/SC gate ("EnablePCSC" = 1 in the library's component key).
inline void open_pcsc_gate(bool open = true) {
    import(std::string("[") + k_component + "]\r\n" + dword_line("EnablePCSC", open ? 1 : 0));
}

// Windows 2000/XP driver parameters asking for the resource-manager path
// with `devices` virtual readers.
inline void use_resource_manager(DWORD devices) {
    import(std::string("[") + k_parameters_nt5 + "]\r\n" + dword_line("UseRM", 1) + "\r\n" +
           "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\qvatoken]\r\n" +
           dword_line("NumberOfDevices", devices));
}

// A descriptor: length, type, info 0, info 1, size unit h, unused, then the
// features and items given.
inline Bytes descriptor(BYTE h, const Bytes &features_and_items, BYTE type = 0x61) {
    Bytes d = {0, type, 0x12, 0x34, h, 0};
    d.insert(d.end(), features_and_items.begin(), features_and_items.end());
    d[0] = (BYTE)d.size();
    return d;
}

inline winsim::tokens::TokenSpec spec_with_serial(BYTE last, const std::string &name = "") {
    winsim::tokens::TokenSpec s;
    s.serial = {1, 2, 3, 4, 5, 6, 7, last};
    s.name = name;
    return s;
}

// Number of controls that reached the driver with this code since the log was cleared.
inline size_t controls(DWORD code) {
    size_t n = 0;
    for (const auto &c : winsim::tokens::log())
        if (c.code == code) ++n;
    return n;
}

// A context on a machine of the given version with the library installed.
class Fixture : public testing::Test {
protected:
    explicit Fixture(winsim::Os os = winsim::Os::WinXp) : machine_(os) {}
    void SetUp() override {
        api_.reset(new Api());
        ASSERT_EQ(api().quva_CreateContext(&ctx_, 0, 512), 0u);
    }
    void TearDown() override {
        if (ctx_) {
            EXPECT_EQ(api().quva_DeleteContext(ctx_), 0u);
        }
        ctx_ = nullptr;
        api_.reset();
    }
    // A fresh context, after the registry or disk changed (the path is
    // decided at creation).
    void recreate() {
        if (ctx_) api().quva_DeleteContext(ctx_);
        ctx_ = nullptr;
        ASSERT_EQ(api().quva_CreateContext(&ctx_, 0, 512), 0u);
    }
    Api &api() { return *api_; }
    QUVA_CONTEXT ctx() { return ctx_; }

    DWORD open(DWORD flags, void *param = nullptr) { return api().quva_OpenDevice(ctx_, flags, param); }
    DWORD command(DWORD code, const Bytes &data, DWORD answer_length, void *answer) {
        return api().quva_Command(ctx_, code, (DWORD)data.size(), data.empty() ? nullptr : data.data(),
                                  answer_length, answer);
    }
    Bytes serial() {
        Bytes s(8);
        if (api().quva_GetProperty(ctx_, QUVA_PROP_SERIAL, 0, s.data(), 8) != 0) return {};
        return s;
    }

    kit::Machine machine_;
    std::unique_ptr<Api> api_;
    QUVA_CONTEXT ctx_ = nullptr;
};

} // namespace token_test

#endif
