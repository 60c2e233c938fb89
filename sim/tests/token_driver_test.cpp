// The token driver behind "\\.\QUVADRVR": controls, frames, errors, tokens
// coming and going, and the machine directory keeping them.
#include <windows.h>
#include <winsim/sim.h>
#include <tokenmodel/token.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <unistd.h>

#include "../src/threads.h"

using Bytes = std::vector<BYTE>;
using winsim::tokens::TokenSpec;

namespace {

const DWORD VERSION = 0x220400, OPEN = 0x220404, CLOSE = 0x220408, EXCHANGE = 0x220414;

HANDLE open_driver() {
    return CreateFileA("\\\\.\\QUVADRVR", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

struct Io {
    BOOL ok;
    DWORD error;
    Bytes out;
};

Io control(HANDLE h, DWORD code, Bytes in, DWORD out_size) {
    Bytes out(out_size + 1, 0xCC);
    DWORD n = 0xDEAD;
    SetLastError(0);
    BOOL ok = DeviceIoControl(h, code, in.empty() ? nullptr : in.data(), (DWORD)in.size(),
                              out_size ? out.data() : nullptr, out_size, &n, nullptr);
    DWORD e = ok ? 0 : GetLastError();
    EXPECT_EQ(out[out_size], 0xCC) << "wrote past the answer buffer";
    out.resize(n == 0xDEAD ? 0 : n);
    return Io{ok, e, out};
}

DWORD le32(const Bytes &b, size_t at) {
    return (DWORD)b[at] | (DWORD)b[at + 1] << 8 | (DWORD)b[at + 2] << 16 | (DWORD)b[at + 3] << 24;
}
void put32(Bytes &b, size_t at, DWORD v) {
    for (int i = 0; i < 4; i++) b[at + i] = (BYTE)(v >> (8 * i));
}

Bytes open_frame(DWORD id, DWORD flags = 0x81) {
    Bytes f(80, 0);
    put32(f, 0, id);
    put32(f, 4, flags);
    put32(f, 12, 255);
    return f;
}

Bytes command_frame(DWORD id, DWORD code, const Bytes &data = {}, DWORD length = 0xFFFFFFFF) {
    Bytes f(272, 0);
    put32(f, 0, id);
    put32(f, 8, code);
    put32(f, 12, length == 0xFFFFFFFF ? (DWORD)data.size() : length);
    if (!data.empty()) std::memcpy(f.data() + 16, data.data(), data.size());
    return f;
}

// Opens the next token above `after`; returns the answer frame.
Bytes open_token(HANDLE h, DWORD after) {
    Io r = control(h, OPEN, open_frame(after), 80);
    EXPECT_TRUE(r.ok) << r.error;
    return r.out;
}

} // namespace

TEST(TokenDriver, DeviceExistsOnlyWithTheDriver) {
    auto m = winsim::Machine::temporary(winsim::Os::Win98);
    HANDLE h = open_driver();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    winsim::tokens::set_driver_present(false);
    EXPECT_EQ(open_driver(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    winsim::tokens::set_driver_present(true);
    h = open_driver();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // Unloaded under an open handle: the handle is dead.
    winsim::tokens::set_driver_present(false);
    EXPECT_EQ(control(h, VERSION, {}, 4).error, (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(h);
}

TEST(TokenDriver, VersionAnswersOfAnySize) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    HANDLE h = open_driver();
    Io r = control(h, VERSION, {}, 4);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, (Bytes{0x02, 0x01, 0, 0}));
    winsim::tokens::set_version_answer({0x01, 0x01});
    r = control(h, VERSION, {}, 4);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, (Bytes{0x01, 0x01}));
    winsim::tokens::set_version_answer({1, 2, 3, 4, 5, 6});
    r = control(h, VERSION, {}, 4);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(r.out, (Bytes{1, 2, 3, 4}));
    winsim::tokens::set_version_answer({});
    r = control(h, VERSION, {}, 4);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(control(h, 0x220418, {}, 4).error, (DWORD)ERROR_INVALID_FUNCTION);
    CloseHandle(h);
}

TEST(TokenDriver, OpenWalksTheTokensByIdAndReportsHolders) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    DWORD a = winsim::tokens::plug();
    TokenSpec odd;
    odd.descriptor = {0x05, 0x70};
    DWORD b = winsim::tokens::plug(odd);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(b, 2u);
    HANDLE h = open_driver(), other = open_driver();

    Bytes f = open_token(h, 0);
    EXPECT_EQ(le32(f, 0), a);
    EXPECT_EQ(le32(f, 4), 0x81u); // untouched
    EXPECT_EQ(le32(f, 12), 0u);
    EXPECT_EQ(Bytes(f.begin() + 16, f.begin() + 31), Bytes(tokenmodel::k_default_descriptor, tokenmodel::k_default_descriptor + 15));
    f = open_token(h, a);
    EXPECT_EQ(le32(f, 0), b);
    EXPECT_EQ(Bytes(f.begin() + 16, f.begin() + 19), (Bytes{0x05, 0x70, 0x00}));
    Io end = control(h, OPEN, open_frame(b), 80);
    EXPECT_EQ(end.error, (DWORD)ERROR_INVALID_HANDLE);

    // Another handle sees both held, with their descriptors.
    f = open_token(other, 0);
    EXPECT_EQ(le32(f, 0), a);
    EXPECT_EQ(le32(f, 12), 1u);
    EXPECT_EQ(f[16], 15);
    EXPECT_EQ(control(other, EXCHANGE, command_frame(a, 0x120), 8).error, (DWORD)ERROR_ACCESS_DENIED);
    // Closing frees it for the other handle; a second close is refused.
    EXPECT_TRUE(control(h, CLOSE, open_frame(a, 0), 0).ok);
    EXPECT_EQ(control(h, CLOSE, open_frame(a, 0), 0).error, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(le32(open_token(other, 0), 12), 0u);
    // A closed handle lets go of what it held.
    CloseHandle(other);
    EXPECT_EQ(le32(open_token(h, 0), 12), 0u);

    winsim::tokens::hold_elsewhere(a);
    HANDLE third = open_driver();
    EXPECT_EQ(le32(open_token(third, 0), 12), 1u);
    EXPECT_EQ(le32(open_token(h, 0), 12), 1u); // even for the handle that had it

    EXPECT_EQ(control(h, OPEN, Bytes(79, 0), 80).error, (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(control(h, OPEN, open_frame(0), 64).error, (DWORD)ERROR_INVALID_PARAMETER);
    CloseHandle(h);
    CloseHandle(third);
}

TEST(TokenDriver, ExchangeCarriesOneCommand) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    TokenSpec spec;
    spec.serial = {1, 2, 3, 4, 5, 6, 7, 8};
    spec.name = "Bob";
    DWORD id = winsim::tokens::plug(spec);
    HANDLE h = open_driver();
    open_token(h, 0);
    Io r = control(h, EXCHANGE, command_frame(id, 0x120), 272);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, spec.serial);
    r = control(h, EXCHANGE, command_frame(id, 0x121), 256);
    ASSERT_EQ(r.out.size(), 32u);
    EXPECT_EQ(std::string((char *)r.out.data()), "Bob");
    // The answer is cut to the buffer; the length's high half is the reader path's hint.
    r = control(h, EXCHANGE, command_frame(id, 0x120, {}, 0x00060000), 6);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, (Bytes{1, 2, 3, 4, 5, 6}));
    r = control(h, EXCHANGE, command_frame(id, 3, {0x01, 0x00}, 0x00020002), 2);
    EXPECT_EQ(r.out, Bytes{0});
    EXPECT_EQ(winsim::tokens::token(id)->led(), 1);
    r = control(h, EXCHANGE, command_frame(id, 3, {0x01, 0x00}), 0);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.out.empty());
    // Frame checks.
    EXPECT_EQ(control(h, EXCHANGE, command_frame(id, 0x120, {}, 257), 8).error, (DWORD)ERROR_INVALID_PARAMETER);
    Bytes shortf = command_frame(id, 0x120, {1, 2, 3});
    shortf.resize(18);
    EXPECT_EQ(control(h, EXCHANGE, shortf, 8).error, (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(control(h, EXCHANGE, command_frame(99, 0x120), 8).error, (DWORD)ERROR_INVALID_HANDLE);

    // The log shows frames as they came.
    auto log = winsim::tokens::log();
    ASSERT_FALSE(log.empty());
    EXPECT_FALSE(log.back().smartcard);
    EXPECT_EQ(log.back().code, EXCHANGE);
    EXPECT_EQ(log.back().error, (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(le32(log[3].request, 12), 0x00060000u);
    EXPECT_EQ(log[3].answer_size, 6u);
    EXPECT_EQ(log[3].answer.size(), 6u);
    winsim::tokens::clear_log();
    EXPECT_TRUE(winsim::tokens::log().empty());
    CloseHandle(h);
}

TEST(TokenDriver, SmartCardThroughFrames) {
    auto m = winsim::Machine::temporary(winsim::Os::Win2000);
    DWORD id = winsim::tokens::plug();
    HANDLE h = open_driver();
    open_token(h, 0);
    Io r = control(h, EXCHANGE, command_frame(id, 0x116, {0x01, 0x19}), 25);
    EXPECT_EQ(r.out, Bytes(tokenmodel::k_long_atr, tokenmodel::k_long_atr + 25));
    Bytes sel{0x00, 0x00, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x02};
    BYTE lrc = 0;
    for (BYTE b : sel) lrc ^= b;
    sel.push_back(lrc);
    r = control(h, EXCHANGE, command_frame(id, 0x117, sel), 4);
    EXPECT_EQ(r.out, (Bytes{0x00, 0x00, 0x02, 0x90}));
    r = control(h, EXCHANGE, command_frame(id, 1), 6);
    EXPECT_EQ(r.out, (Bytes{0x00, 0x00, 0x02, 0x90, 0x00, 0x92}));
    CloseHandle(h);
}

TEST(TokenDriver, EveryErrorOnDemand) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    DWORD id = winsim::tokens::plug();
    HANDLE h = open_driver();
    open_token(h, 0);
    const DWORD errors[] = {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER, ERROR_SEM_TIMEOUT,
                            ERROR_OPERATION_ABORTED, ERROR_GEN_FAILURE, ERROR_CRC};
    for (DWORD code : {VERSION, OPEN, CLOSE, EXCHANGE}) {
        for (DWORD e : errors) {
            winsim::tokens::fail_control(code, e);
            Bytes in = code == EXCHANGE ? command_frame(id, 0x120) : code == VERSION ? Bytes{} : open_frame(0);
            Io r = control(h, code, in, code == VERSION ? 4 : 80);
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.error, e) << std::hex << code;
        }
    }
    // After two good calls, twice; the reader code names the same control.
    winsim::tokens::fail_control(0x31200C, ERROR_SEM_TIMEOUT, 2, 2);
    int failed = 0;
    for (int i = 0; i < 5; i++) failed += !control(h, EXCHANGE, command_frame(id, 0x120), 8).ok;
    EXPECT_EQ(failed, 2);
    winsim::faults::fail("DeviceIoControl", ERROR_NOT_READY);
    EXPECT_EQ(control(h, VERSION, {}, 4).error, (DWORD)ERROR_NOT_READY);
    EXPECT_EQ(winsim::faults::fired("DeviceIoControl"), 1);
    CloseHandle(h);
}

TEST(TokenDriver, DeviceIoControlArguments) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    HANDLE h = open_driver();
    DWORD n = 7;
    EXPECT_FALSE(DeviceIoControl((HANDLE)0x1234, VERSION, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(n, 0u);
    BYTE out[4];
    EXPECT_FALSE(DeviceIoControl(h, VERSION, nullptr, 0, out, 4, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
    EXPECT_FALSE(DeviceIoControl(h, VERSION, nullptr, 0, nullptr, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
    OVERLAPPED ov{};
    EXPECT_TRUE(DeviceIoControl(h, VERSION, nullptr, 0, out, 4, nullptr, &ov));
    EXPECT_EQ(ov.InternalHigh, 4u);
    // A disk file knows no controls.
    winsim::disk::write_text("C:\\x.txt", "x");
    HANDLE f = CreateFileA("C:\\x.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_FALSE(DeviceIoControl(f, VERSION, nullptr, 0, out, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    CloseHandle(f);
    CloseHandle(h);
}

TEST(TokenDriver, TokensGoAtAnyMoment) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    auto before = winsim::handles::open();
    DWORD a = winsim::tokens::plug(), b = winsim::tokens::plug();
    HANDLE h = open_driver();
    open_token(h, 0);
    // Between exchanges.
    EXPECT_TRUE(winsim::tokens::unplug(a));
    EXPECT_FALSE(winsim::tokens::unplug(a));
    EXPECT_EQ(control(h, EXCHANGE, command_frame(a, 0x120), 8).error, (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(control(h, CLOSE, open_frame(a, 0), 0).error, (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(le32(open_token(h, 0), 0), b); // the enumeration goes on with what is left

    // While the token works on a command.
    winsim::tokens::remove_during_next_exchange(b);
    EXPECT_EQ(control(h, EXCHANGE, command_frame(b, 0x120), 8).error, (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_TRUE(winsim::tokens::plugged().empty());

    // Exchanges that take time: a timer pulls the token out half way.
    DWORD c = winsim::tokens::plug();
    EXPECT_EQ(c, 3u); // ids are not reused
    EXPECT_EQ(le32(open_token(h, 0), 0), c);
    winsim::tokens::set_exchange_time(50);
    uint64_t t0 = winsim::sched::now();
    EXPECT_TRUE(control(h, EXCHANGE, command_frame(c, 0x120), 8).ok);
    EXPECT_EQ(winsim::sched::now() - t0, 50u);
    winsim::sched::at(winsim::sched::now() + 20, [c] { winsim::tokens::unplug(c); });
    // Something else changing meanwhile does not cut the exchange short.
    winsim::sched::at(winsim::sched::now() + 10, [] { winsim::tokens::plug(); });
    t0 = winsim::sched::now();
    EXPECT_EQ(control(h, EXCHANGE, command_frame(c, 0x120), 8).error, (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(winsim::sched::now() - t0, 20u);
    CloseHandle(h);
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
}

TEST(TokenDriver, MachineDirectoryKeepsTheTokens) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("tokensim-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    {
        auto m = winsim::Machine::create(dir.string(), winsim::Os::Win98);
        TokenSpec spec;
        spec.serial = {0xAA, 0xBB, 0, 0, 0, 0, 0, 1};
        spec.name = "Carol's token";
        spec.short_atr = true;
        spec.slot = 3;
        winsim::tokens::plug(spec);
        DWORD gone = winsim::tokens::plug();
        winsim::tokens::unplug(gone);
        TokenSpec bad;
        bad.descriptor = {0x41, 0x61, 0, 0, 0, 0, 0x00};
        bad.smart_card = false;
        DWORD b = winsim::tokens::plug(bad);
        winsim::tokens::token(b)->set_led(2);
        winsim::tokens::set_version_answer({0x00, 0x01, 0x00, 0x00});
        winsim::scard::set_virtual_readers(2);
        m->save();
    }
    {
        auto m = winsim::Machine::load(dir.string());
        EXPECT_EQ(winsim::tokens::plugged(), (std::vector<DWORD>{1, 3}));
        tokenmodel::Token *t = winsim::tokens::token(1);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(Bytes(t->serial(), t->serial() + 8), (Bytes{0xAA, 0xBB, 0, 0, 0, 0, 0, 1}));
        EXPECT_EQ(std::string(t->name(), t->name_length()), "Carol's token");
        EXPECT_EQ(t->atr_length(), 9u);
        EXPECT_EQ(winsim::tokens::slot(1), 3);
        tokenmodel::Token *u = winsim::tokens::token(3);
        EXPECT_EQ(u->descriptor()[0], 0x41);
        EXPECT_FALSE(u->smart_card());
        EXPECT_EQ(u->led(), 2);
        EXPECT_EQ(winsim::scard::virtual_readers(), 2);
        EXPECT_EQ(winsim::tokens::plug(), 4u);
        HANDLE h = open_driver();
        EXPECT_EQ(control(h, VERSION, {}, 4).out, (Bytes{0x00, 0x01, 0x00, 0x00}));
        CloseHandle(h);
    }
    fs::remove_all(dir);
}

TEST(TokenDriver, PlugRefusesBadSpecs) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    TokenSpec s;
    s.serial = {1, 2, 3};
    EXPECT_EQ(winsim::tokens::plug(s), 0u);
    s = {};
    s.atr = Bytes(33, 0x3B);
    EXPECT_EQ(winsim::tokens::plug(s), 0u);
    s = {};
    s.descriptor = Bytes(65, 1);
    EXPECT_EQ(winsim::tokens::plug(s), 0u);
    s = {};
    s.slot = 1;
    EXPECT_EQ(winsim::tokens::plug(s), 1u);
    EXPECT_EQ(winsim::tokens::plug(s), 0u); // slot taken
    EXPECT_EQ(winsim::tokens::plug(), 2u);
    EXPECT_EQ(winsim::tokens::slot(2), 0); // the lowest free slot
    EXPECT_EQ(winsim::tokens::plug(), 3u);
    EXPECT_EQ(winsim::tokens::slot(3), 2);
    // The default serial carries the id.
    EXPECT_EQ(Bytes(winsim::tokens::token(3)->serial(), winsim::tokens::token(3)->serial() + 8),
              (Bytes{0x51, 0x56, 0, 0, 0, 0, 0, 3}));
    EXPECT_EQ(winsim::tokens::token(9), nullptr);
}
