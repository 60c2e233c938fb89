// How a context reaches tokens: the path decided at creation from the
// smart-card library file and the driver parameters, the number of virtual
// readers the resource-manager open scans, the PC/SC gate and the token ATRs.
#include "token_api.h"

using namespace token_test;

namespace {

const char k_services[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\";

std::string key(const std::string &service, const std::string &values) {
    return "[" + std::string(k_services) + service + "]\r\n" + values + "\r\n";
}

struct Seen {
    std::string path; // "direct", "rm" or "none"
    int tokens = 0;   // tokens an enumeration reached
};

// Eight tokens in virtual readers 0 to 7 (whatever the registry says), the
// PC/SC gate open; a new context enumerates them and says which path it took.
Seen enumerate(Api &api) {
    winsim::scard::set_virtual_readers(8);
    while (winsim::tokens::plugged().size() < 8) winsim::tokens::plug();
    open_pcsc_gate();
    QUVA_CONTEXT c = nullptr;
    EXPECT_EQ(api.quva_CreateContext(&c, 0, 0), 0u);
    winsim::tokens::clear_log();
    Seen seen;
    for (DWORD r = api.quva_OpenDevice(c, QUVA_OPEN_FIRST, nullptr); r == 0 && seen.tokens < 20;
         r = api.quva_OpenDevice(c, QUVA_OPEN_NEXT, nullptr))
        ++seen.tokens;
    api.quva_DeleteContext(c);
    bool rm = false, direct = false;
    for (const auto &control : winsim::tokens::log()) (control.smartcard ? rm : direct) = true;
    seen.path = rm && !direct ? "rm" : direct && !rm ? "direct" : rm ? "both" : "none";
    return seen;
}

class ReaderMode : public testing::TestWithParam<int> {};

struct Case {
    const char *what;
    winsim::Os os;
    bool library;
    std::string registry;
    const char *path;
    int tokens;
};

const std::vector<Case> &cases() {
    static const std::vector<Case> all = {
        {"no smart-card library: direct whatever the registry says", winsim::Os::WinXp, false,
         key("qvatoken\\Parameters", dword_line("UseRM", 1) + dword_line("RMMode", 1)) +
             key("qvatoken", dword_line("NumberOfDevices", 2)),
         "direct", 8},
        {"XP, UseRM 1, no RMMode, no quvaenum, 2 devices: resource manager, 2 readers", winsim::Os::WinXp, true,
         key("qvatoken\\Parameters", dword_line("UseRM", 1)) + key("qvatoken", dword_line("NumberOfDevices", 2)),
         "rm", 2},
        {"RMMode 0 overrides UseRM 1", winsim::Os::WinXp, true,
         key("qvatoken\\Parameters", dword_line("UseRM", 1) + dword_line("RMMode", 0)) +
             key("qvatoken", dword_line("NumberOfDevices", 2)),
         "direct", 8},
        {"RMMode 1 with UseRM 0 present", winsim::Os::Win2000, true,
         key("qvatoken\\Parameters", dword_line("UseRM", 0) + dword_line("RMMode", 1)) +
             key("qvatoken", dword_line("NumberOfDevices", 3)),
         "rm", 3},
        {"RMMode 1 without UseRM", winsim::Os::WinXp, true,
         key("qvatoken\\Parameters", dword_line("RMMode", 1)) + key("qvatoken", dword_line("NumberOfDevices", 3)),
         "direct", 8},
        {"a device count of 0 readable: no reader is scanned", winsim::Os::WinXp, true,
         key("qvatoken\\Parameters", dword_line("UseRM", 1) + dword_line("RMMode", 1)) +
             key("qvatoken", dword_line("NumberOfDevices", 0)),
         "none", 0},
        {"UseRM 1 and a count of 0 without RMMode: direct", winsim::Os::WinXp, true,
         key("qvatoken\\Parameters", dword_line("UseRM", 1)) + key("qvatoken", dword_line("NumberOfDevices", 0)),
         "direct", 8},
        {"no device count at all: 4 readers", winsim::Os::WinXp, true,
         key("qvatoken\\Parameters", dword_line("UseRM", 1)), "rm", 4},
        {"the enumerator's key wins even without the value", winsim::Os::WinXp, true,
         key("qvatoken\\Parameters", dword_line("UseRM", 1)) + key("quvaenum", dword_line("Start", 3)) +
             key("qvatoken", dword_line("NumberOfDevices", 2)),
         "rm", 4},
        {"the enumerator's count comes first", winsim::Os::WinXp, true,
         key("qvatoken\\Parameters", dword_line("UseRM", 1)) + key("quvaenum", dword_line("NumberOfDevices", 5)) +
             key("qvatoken", dword_line("NumberOfDevices", 2)),
         "rm", 5},
        {"NT 4.0 reads usbqvtkn's parameters", winsim::Os::Nt4, true,
         key("usbqvtkn\\Parameters", dword_line("UseRM", 1) + dword_line("NumberOfDevices", 6)), "rm", 6},
        {"NT 4.0 ignores qvatoken", winsim::Os::Nt4, true,
         key("qvatoken\\Parameters", dword_line("UseRM", 1) + dword_line("RMMode", 1)) +
             key("qvatoken", dword_line("NumberOfDevices", 2)),
         "direct", 8},
        {"98 without driver parameters: UseRM reads as 0", winsim::Os::Win98, true,
         key("VXD\\QUVAVR9X", dword_line("NumberOfReaders", 3)), "direct", 8},
        {"98 with UseRM 1 and 3 readers", winsim::Os::Win98, true,
         key("qvatoken\\Parameters", dword_line("UseRM", 1)) + key("VXD\\QUVAVR9X", dword_line("NumberOfReaders", 3)),
         "rm", 3},
        {"ME without driver parameters and RMMode unreadable", winsim::Os::WinMe, true,
         key("VXD\\QUVAVR9X", dword_line("NumberOfReaders", 0)), "direct", 8},
        {"95 reads no driver parameters", winsim::Os::Win95, true,
         key("qvatoken\\Parameters", dword_line("UseRM", 1) + dword_line("RMMode", 1)) +
             key("VXD\\QUVAVR9X", dword_line("NumberOfReaders", 3)),
         "direct", 8},
        {"a value of another type is read as its bytes", winsim::Os::WinXp, true,
         key("qvatoken\\Parameters", "\"UseRM\"=hex:01\r\n") + key("qvatoken", dword_line("NumberOfDevices", 2)),
         "rm", 2},
    };
    return all;
}

} // namespace

TEST_P(ReaderMode, PathAndScanLimit) {
    const Case &c = cases()[GetParam()];
    SCOPED_TRACE(c.what);
    kit::Machine machine(c.os);
    winsim::scard::install_library(c.library);
    import(c.registry);
    Api api;
    Seen seen = enumerate(api);
    EXPECT_EQ(seen.path, c.path);
    EXPECT_EQ(seen.tokens, c.tokens);
}

INSTANTIATE_TEST_SUITE_P(TokenReaderMode, ReaderMode, testing::Range(0, 17));

namespace {

class TokenResourceManager : public Fixture {
protected:
    void SetUp() override {
        winsim::scard::set_virtual_readers(4);
        use_resource_manager(4);
        open_pcsc_gate();
        Fixture::SetUp();
    }
};

} // namespace

TEST_F(TokenResourceManager, TheGateIsReadAtEveryOpen) {
    winsim::tokens::plug();
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
    open_pcsc_gate(false);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
    winsim::reg::import_text(std::string("REGEDIT4\r\n\r\n[-") + k_component + "]\r\n");
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
    open_pcsc_gate(true);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
}

TEST_F(TokenResourceManager, OnlyTokenAtrsCount) {
    struct AtrCase {
        const char *what;
        Bytes atr;
        DWORD result;
    };
    const Bytes ref1 = {0x3B, 0xFF, 0x13, 0x00, 0xFF, 0x81, 0x31, 0xFE, 0x5D, 0x80, 0x25, 0xA0, 0x00,
                        0x00, 0x00, 0x56, 0x57, 0x44, 0x4B, 0x33, 0x32, 0x30, 0x05, 0x00, 0x3F};
    const Bytes ref2 = {0x3B, 0xFF, 0x11, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x4D, 0x80, 0x25, 0xA0, 0x00,
                        0x00, 0x00, 0x56, 0x57, 0x44, 0x4B, 0x33, 0x33, 0x30, 0x06, 0x00, 0xD0};
    Bytes ref1_masked = ref1;
    ref1_masked[2] = 0x99;
    ref1_masked[24] = 0x00;
    Bytes ref2_masked = ref2;
    ref2_masked[22] = 0x07;
    Bytes ref1_wrong = ref1;
    ref1_wrong[8] = 0x4D;
    std::vector<AtrCase> atrs = {
        {"reference 1", ref1, 0},
        {"reference 2", ref2, 0},
        {"reference 1 with its masked bytes changed", ref1_masked, 0},
        {"reference 2 with byte 22 changed", ref2_masked, 0},
        {"24 bytes", Bytes(ref1.begin(), ref1.end() - 1), 6},
        {"a byte under a full mask changed", ref1_wrong, 6},
        {"the 9-byte ATR", {0x3B, 0x89, 0x00, 0x56, 0x57, 0x44, 0x4B, 0x33, 0x32}, 6},
    };
    for (const AtrCase &a : atrs) {
        SCOPED_TRACE(a.what);
        winsim::tokens::TokenSpec s;
        s.atr = a.atr;
        DWORD id = winsim::tokens::plug(s);
        EXPECT_EQ(open(QUVA_OPEN_FIRST), a.result);
        api().quva_CloseDevice(ctx());
        winsim::tokens::unplug(id);
    }
}

TEST_F(TokenResourceManager, ReaderZeroEmptyReaderOneHoldsTheToken) {
    winsim::tokens::TokenSpec s;
    s.slot = 1;
    DWORD id = winsim::tokens::plug(s);
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    // The scan stopped at reader 1: the next open starts at reader 2.
    EXPECT_EQ(open(QUVA_OPEN_NEXT), 6u);
    EXPECT_EQ(open(QUVA_OPEN_LAST), 0u);
    EXPECT_EQ(serial(), Bytes({0x51, 0x56, 0, 0, 0, 0, 0, (BYTE)id}));

    // A reopen that finds the last reader empty ends there, though another
    // token sits further on.
    winsim::tokens::unplug(id);
    s.slot = 2;
    winsim::tokens::plug(s);
    EXPECT_EQ(open(QUVA_OPEN_LAST), 6u);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);

    // Reader 0 empty and the token the context had gone: reopen fails at reader 0.
    winsim::tokens::plug(); // takes reader 0
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    winsim::tokens::unplug(winsim::tokens::plugged().back());
    EXPECT_EQ(open(QUVA_OPEN_LAST), 6u);
    EXPECT_EQ(api().quva_CloseDevice(ctx()), 0u);
}

TEST_F(TokenResourceManager, AForeignCardInUseIsPassedOverAndATokenInUseAnswers21) {
    winsim::tokens::TokenSpec foreign;
    foreign.atr = {0x3B, 0x02, 0x14, 0x50};
    DWORD f = winsim::tokens::plug(foreign);
    winsim::tokens::plug(); // reader 1
    // Someone else holds reader 0's card.
    SCARDCONTEXT other = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &other), SCARD_S_SUCCESS);
    ASSERT_EQ(SCardConnectA(other, "Vornel Technologies QuvaVirtualReader 0", SCARD_SHARE_SHARED, 3, &card, &protocol),
              SCARD_S_SUCCESS);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
    api().quva_CloseDevice(ctx());
    SCardDisconnect(card, SCARD_LEAVE_CARD);

    // Now a token in reader 0, held the same way.
    winsim::tokens::unplug(f);
    winsim::tokens::TokenSpec token0;
    token0.slot = 0;
    winsim::tokens::plug(token0);
    ASSERT_EQ(SCardConnectA(other, "Vornel Technologies QuvaVirtualReader 0", SCARD_SHARE_SHARED, 3, &card, &protocol),
              SCARD_S_SUCCESS);
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 21u);
    // The next open goes past it.
    EXPECT_EQ(open(QUVA_OPEN_NEXT), 0u);
    api().quva_CloseDevice(ctx());
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(other);
}

TEST_F(TokenResourceManager, AReopenThatNeverReachedAReaderLeavesNoReopenCheck) {
    winsim::tokens::TokenSpec s;
    s.slot = 1;
    winsim::tokens::plug(s);
    // QUVA_OPEN_LAST failing at the connect...
    winsim::scard::set_service_running(false);
    EXPECT_EQ(open(QUVA_OPEN_LAST), 6u);
    winsim::scard::set_service_running(true);
    // ... must not make the next open stop at the empty reader 0.
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
}
