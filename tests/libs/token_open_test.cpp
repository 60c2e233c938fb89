// Opening tokens: flags and modes, enumeration, tokens held elsewhere, the
// device descriptor, and the open by serial number, on both paths.
#include "token_api.h"

using namespace token_test;

namespace {

class TokenOpen : public Fixture {
protected:
    // The information field size the descriptor gave, as power-up reports it.
    int ifs() {
        QUVA_ATR atr = {};
        DWORD r = api().quva_ScardPowerUp(ctx(), 0, &atr);
        return r == 0 ? atr.ifs : -(int)r;
    }
    DWORD capabilities() {
        DWORD bits = 0xDEAD;
        EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_CAPABILITIES, 0, &bits, 4), 0u);
        return bits;
    }
    bool is_open() { return command(QUVA_CMD_LED, {1, 0}, 1, nullptr) == 0; }
};

// The same stories on the resource-manager path.
class TokenOpenRm : public TokenOpen {
protected:
    void SetUp() override {
        winsim::scard::set_virtual_readers(8);
        use_resource_manager(8);
        open_pcsc_gate();
        TokenOpen::SetUp();
    }
};

} // namespace

TEST_F(TokenOpen, FlagBitsEightToElevenAreAcceptedOthersRefused) {
    winsim::tokens::plug();
    EXPECT_EQ(open(0x00000101), 0u);
    EXPECT_TRUE(is_open());
    winsim::tokens::clear_log();
    // A refused flag leaves the open token open.
    EXPECT_EQ(open(0x00001001), 17u);
    EXPECT_EQ(open(0x00000011), 17u);
    EXPECT_EQ(open(0x80000001), 17u);
    EXPECT_EQ(controls(0x220408), 0u) << "the token was closed";
    EXPECT_TRUE(is_open());
    EXPECT_EQ(open(0x00000F01), 0u);
}

TEST_F(TokenOpen, MissingArgumentsAndUnknownModesCloseFirst) {
    winsim::tokens::plug();
    for (DWORD flags : {3u, 4u, 5u, 6u, 7u}) {
        SCOPED_TRACE(flags);
        ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
        EXPECT_EQ(open(flags), 17u);
        EXPECT_EQ(command(QUVA_CMD_LED, {1, 0}, 1, nullptr), 6u) << "the context is still connected";
    }
}

TEST_F(TokenOpen, FirstThenNextVisitsEveryTokenOnce) {
    for (BYTE i = 1; i <= 3; ++i) winsim::tokens::plug(spec_with_serial(i));
    std::vector<Bytes> seen;
    DWORD r = open(QUVA_OPEN_FIRST);
    for (; r == 0; r = open(QUVA_OPEN_NEXT)) seen.push_back(serial());
    EXPECT_EQ(r, 6u);
    ASSERT_EQ(seen.size(), 3u);
    for (BYTE i = 1; i <= 3; ++i) EXPECT_EQ(seen[i - 1], spec_with_serial(i).serial);
    // Run out, the context holds nothing.
    EXPECT_EQ(command(QUVA_CMD_LED, {1, 0}, 1, nullptr), 6u);
}

TEST_F(TokenOpen, ATokenHeldElsewhereAnswers21AndNextGoesPastIt) {
    winsim::tokens::plug(spec_with_serial(1));
    DWORD held = winsim::tokens::plug(spec_with_serial(2));
    winsim::tokens::plug(spec_with_serial(3));
    winsim::tokens::hold_elsewhere(held);
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    EXPECT_EQ(open(QUVA_OPEN_NEXT), 21u);
    EXPECT_EQ(open(QUVA_OPEN_NEXT), 0u);
    EXPECT_EQ(serial(), spec_with_serial(3).serial);
    EXPECT_EQ(open(QUVA_OPEN_NEXT), 6u);
}

TEST_F(TokenOpen, TwoContextsCannotHoldOneToken) {
    winsim::tokens::plug();
    QUVA_CONTEXT other = nullptr;
    ASSERT_EQ(api().quva_CreateContext(&other, 0, 0), 0u);
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    EXPECT_EQ(api().quva_OpenDevice(other, QUVA_OPEN_FIRST, nullptr), 21u);
    EXPECT_EQ(api().quva_CloseDevice(ctx()), 0u);
    EXPECT_EQ(api().quva_OpenDevice(other, QUVA_OPEN_FIRST, nullptr), 0u);
    EXPECT_EQ(api().quva_DeleteContext(other), 0u);
}

TEST_F(TokenOpen, LastReopensTheSameToken) {
    for (BYTE i = 1; i <= 3; ++i) winsim::tokens::plug(spec_with_serial(i));
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    ASSERT_EQ(open(QUVA_OPEN_NEXT), 0u);
    EXPECT_EQ(open(QUVA_OPEN_LAST), 0u);
    EXPECT_EQ(serial(), spec_with_serial(2).serial);
    EXPECT_EQ(open(QUVA_OPEN_LAST), 0u);
    EXPECT_EQ(serial(), spec_with_serial(2).serial);
}

TEST_F(TokenOpen, DescriptorsNotServedArePassedOver) {
    struct Bad {
        const char *what;
        Bytes descriptor;
    };
    Bytes length5 = descriptor(0x3F, {0x40});
    length5[0] = 5;
    Bytes length65 = descriptor(0x3F, {0x40});
    length65[0] = 65;
    const std::vector<Bad> bad = {
        {"length 5", length5},
        {"length 65", length65},
        {"type 0x5F", descriptor(0x3F, {0x40}, 0x5F)},
        {"type 0x70", descriptor(0x3F, {0x40}, 0x70)},
        {"no smart-card feature", descriptor(0x3F, {0x11})},
    };
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.what);
        winsim::tokens::TokenSpec s = spec_with_serial(1);
        s.descriptor = b.descriptor;
        DWORD skipped = winsim::tokens::plug(s);
        DWORD good = winsim::tokens::plug(spec_with_serial(2));
        winsim::tokens::clear_log();
        EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
        EXPECT_EQ(serial(), spec_with_serial(2).serial);
        EXPECT_EQ(controls(0x220404), 2u);
        // The token passed over was closed again when it had opened.
        EXPECT_EQ(controls(0x220408), 1u);
        api().quva_CloseDevice(ctx());
        winsim::tokens::unplug(skipped);
        winsim::tokens::unplug(good);
    }
}

TEST_F(TokenOpen, DescriptorSizesAndItems) {
    struct Sizes {
        const char *what;
        Bytes descriptor;
        int ifs;
        DWORD caps;
    };
    Bytes cut = descriptor(0x3F, {0x40, 0x10, 0x02, 0x40, 0x01, 0x01});
    cut[0] = 10; // the item's second value byte lies past the end
    Bytes skip = {0x40, 0x99, 0x0F};
    skip.resize(skip.size() + 15, 0x10); // fifteen value bytes that look like items
    skip.insert(skip.end(), {0x10, 0x01, 0x20});
    const std::vector<Sizes> all = {
        {"h 0x3F, no item", descriptor(0x3F, {0x40}), 252, 0},
        {"item 0x10 of one byte", descriptor(0x3F, {0x40, 0x10, 0x01, 0x40}), 60, 0},
        {"item 0x10 = 258", descriptor(0x3F, {0x40, 0x10, 0x02, 0x02, 0x01}), 254, 0},
        {"item 0x10 = 259", descriptor(0x3F, {0x40, 0x10, 0x02, 0x03, 0x01}), 254, 0},
        {"length byte's high bits ignored", descriptor(0x3F, {0x55, 0x10, 0x21, 0x40}), 60, 0xF},
        {"two feature bytes put the items two on", descriptor(0x3F, {0xC0, 0x04, 0x10, 0x21, 0x40}), 60, 0},
        {"items after other items", descriptor(0x01, {0x51, 0x80, 0x01, 0x07, 0x81, 0x00, 0x10, 0x01, 0x20}), 28,
         0x7},
        {"a long unknown item is skipped", descriptor(0x3F, skip), 28, 0},
        {"bytes past the descriptor's length read as 0", cut, 60, 0},
    };
    for (const Sizes &s : all) {
        SCOPED_TRACE(s.what);
        winsim::tokens::TokenSpec spec;
        spec.descriptor = s.descriptor;
        DWORD id = winsim::tokens::plug(spec);
        winsim::tokens::token(id)->t1().set_ifsc(254);
        ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
        EXPECT_EQ(ifs(), s.ifs);
        EXPECT_EQ(capabilities(), s.caps);
        api().quva_CloseDevice(ctx());
        winsim::tokens::unplug(id);
    }
}

TEST_F(TokenOpen, DescriptorOfAnyBytesIsSafe) {
    // A full 64-byte descriptor whose feature chain never ends, and one whose
    // last item's length runs past the end.
    Bytes chain(64, 0xC0);
    chain[0] = 64;
    chain[1] = 0x60;
    Bytes overrun(64, 0);
    overrun[0] = 64;
    overrun[1] = 0x6F;
    overrun[6] = 0x40;
    for (size_t i = 7; i + 1 < 64; i += 2) {
        overrun[i] = 0x10;
        overrun[i + 1] = 0x0F;
    }
    for (const Bytes &d : {chain, overrun}) {
        winsim::tokens::TokenSpec spec;
        spec.descriptor = d;
        DWORD id = winsim::tokens::plug(spec);
        EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
        api().quva_CloseDevice(ctx());
        winsim::tokens::unplug(id);
    }
}

TEST_F(TokenOpen, DeviceInfoComesFromTheDescriptor) {
    winsim::tokens::plug();
    ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    BYTE info[16];
    std::memset(info, 0xAA, sizeof info);
    ASSERT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_DEVICE_INFO, 0, info, sizeof info), 0u);
    // Version 0x102, descriptor bytes 2 and 3, the type, 0, then zeros.
    EXPECT_EQ(Bytes(info, info + 16), Bytes({0x02, 0x01, 0, 0, 0x02, 0x01, 0x61, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(capabilities(), 0x7u);
    // The values stay after the token is closed.
    api().quva_CloseDevice(ctx());
    EXPECT_EQ(capabilities(), 0x7u);
}

TEST_F(TokenOpen, ByIdOpensOnlyTheTokenWithThatSerial) {
    for (BYTE i = 1; i <= 3; ++i) winsim::tokens::plug(spec_with_serial(i));
    Bytes wanted = spec_with_serial(3).serial;
    EXPECT_EQ(open(QUVA_OPEN_BY_ID, wanted.data()), 0u);
    EXPECT_EQ(serial(), wanted);
    wanted = spec_with_serial(1).serial;
    EXPECT_EQ(open(QUVA_OPEN_BY_ID, wanted.data()), 0u);
    EXPECT_EQ(serial(), wanted);
    Bytes unknown = spec_with_serial(9).serial;
    EXPECT_EQ(open(QUVA_OPEN_BY_ID, unknown.data()), 6u);
    EXPECT_EQ(command(QUVA_CMD_LED, {1, 0}, 1, nullptr), 6u);
    // LAST after a match reopens the matched token.
    wanted = spec_with_serial(2).serial;
    ASSERT_EQ(open(QUVA_OPEN_BY_ID, wanted.data()), 0u);
    EXPECT_EQ(open(QUVA_OPEN_LAST), 0u);
    EXPECT_EQ(serial(), wanted);
}

TEST_F(TokenOpen, ByIdReportsATokenInUseSeenOnTheWay) {
    DWORD held = winsim::tokens::plug(spec_with_serial(1));
    winsim::tokens::plug(spec_with_serial(2));
    winsim::tokens::hold_elsewhere(held);
    Bytes unknown = spec_with_serial(9).serial;
    EXPECT_EQ(open(QUVA_OPEN_BY_ID, unknown.data()), 21u);
    Bytes second = spec_with_serial(2).serial;
    EXPECT_EQ(open(QUVA_OPEN_BY_ID, second.data()), 0u);
    winsim::tokens::hold_elsewhere(held, false);
    EXPECT_EQ(open(QUVA_OPEN_BY_ID, unknown.data()), 6u);
}

TEST_F(TokenOpen, ByIdPassesOverATokenThatCannotTellItsSerial) {
    DWORD mute = winsim::tokens::plug(spec_with_serial(1));
    winsim::tokens::plug(spec_with_serial(1));
    const BYTE status[1] = {0x03};
    winsim::tokens::token(mute)->inject_answer(status, 1);
    Bytes wanted = spec_with_serial(1).serial;
    winsim::tokens::clear_log();
    EXPECT_EQ(open(QUVA_OPEN_BY_ID, wanted.data()), 0u);
    EXPECT_EQ(controls(0x220404), 2u);
    EXPECT_EQ(controls(0x220408), 1u);
}

TEST_F(TokenOpen, TheOpenLoopEndsOnADriverThatNeverDoes) {
    // More tokens the library does not serve than one open goes through,
    // then one it serves.
    winsim::tokens::TokenSpec other;
    other.descriptor = descriptor(0x3F, {0x01});
    for (int i = 0; i < QUVA_MAX_OPEN_EXCHANGES; ++i) winsim::tokens::plug(other);
    winsim::tokens::plug();
    winsim::tokens::clear_log();
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
    EXPECT_EQ(controls(0x220404), (size_t)QUVA_MAX_OPEN_EXCHANGES);
    EXPECT_EQ(command(QUVA_CMD_LED, {1, 0}, 1, nullptr), 6u);
}

TEST_F(TokenOpen, CardHandleModeNeedsTheResourceManager) {
    winsim::tokens::plug();
    SCARDHANDLE card = 1;
    EXPECT_EQ(open(QUVA_OPEN_CARD_HANDLE, &card), 6u);
}

TEST_F(TokenOpenRm, EnumerationByIdAndLastOnTheResourceManagerPath) {
    for (BYTE i = 1; i <= 3; ++i) winsim::tokens::plug(spec_with_serial(i));
    std::vector<Bytes> seen;
    DWORD r = open(QUVA_OPEN_FIRST);
    for (; r == 0; r = open(QUVA_OPEN_NEXT)) seen.push_back(serial());
    EXPECT_EQ(r, 6u);
    EXPECT_EQ(seen.size(), 3u);
    Bytes second = spec_with_serial(2).serial;
    EXPECT_EQ(open(QUVA_OPEN_BY_ID, second.data()), 0u);
    EXPECT_EQ(serial(), second);
    EXPECT_EQ(open(QUVA_OPEN_LAST), 0u);
    EXPECT_EQ(serial(), second);
    Bytes unknown = spec_with_serial(9).serial;
    EXPECT_EQ(open(QUVA_OPEN_BY_ID, unknown.data()), 6u);
    for (const auto &c : winsim::tokens::log()) EXPECT_TRUE(c.smartcard);
}

TEST_F(TokenOpenRm, DescriptorsNotServedArePassedOver) {
    winsim::tokens::TokenSpec s = spec_with_serial(1);
    s.descriptor = descriptor(0x3F, {0x11});
    winsim::tokens::plug(s);
    winsim::tokens::plug(spec_with_serial(2));
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 0u);
    EXPECT_EQ(serial(), spec_with_serial(2).serial);
}

TEST_F(TokenOpenRm, TheCallersCardHandle) {
    winsim::tokens::TokenSpec s = spec_with_serial(1);
    s.slot = 0;
    winsim::tokens::plug(s);
    SCARDCONTEXT pcsc = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &pcsc), SCARD_S_SUCCESS);
    ASSERT_EQ(SCardConnectA(pcsc, "Vornel Technologies QuvaVirtualReader 0", SCARD_SHARE_EXCLUSIVE, 3, &card,
                            &protocol),
              SCARD_S_SUCCESS);
    ASSERT_EQ(open(QUVA_OPEN_CARD_HANDLE, &card), 0u);
    EXPECT_EQ(serial(), spec_with_serial(1).serial);
    EXPECT_EQ(api().quva_CloseDevice(ctx()), 0u);
    // The card is still the caller's to let go.
    EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardReleaseContext(pcsc), SCARD_S_SUCCESS);
}

TEST_F(TokenOpenRm, TheCallersCardHandleWithATokenNotServed) {
    winsim::tokens::TokenSpec s;
    s.descriptor = descriptor(0x3F, {0x11});
    s.slot = 0;
    winsim::tokens::plug(s);
    SCARDCONTEXT pcsc = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &pcsc), SCARD_S_SUCCESS);
    ASSERT_EQ(SCardConnectA(pcsc, "Vornel Technologies QuvaVirtualReader 0", SCARD_SHARE_EXCLUSIVE, 3, &card,
                            &protocol),
              SCARD_S_SUCCESS);
    EXPECT_EQ(open(QUVA_OPEN_CARD_HANDLE, &card), 6u);
    EXPECT_EQ(SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardReleaseContext(pcsc), SCARD_S_SUCCESS);
}

TEST_F(TokenOpenRm, ByIdReportsATokenInUseAlsoWhenTheScanEndsAtAMissingReader) {
    // Reader 0 holds a token opened elsewhere, reader 1 another token; the
    // scan then meets a reader that does not exist (7, reported as 6), which
    // becomes 21 because a token in use was seen.
    winsim::scard::set_virtual_readers(2);
    DWORD held = winsim::tokens::plug(spec_with_serial(1));
    winsim::tokens::plug(spec_with_serial(2));
    winsim::tokens::hold_elsewhere(held);
    Bytes unknown = spec_with_serial(9).serial;
    EXPECT_EQ(open(QUVA_OPEN_BY_ID, unknown.data()), 21u);
    winsim::tokens::hold_elsewhere(held, false);
    EXPECT_EQ(open(QUVA_OPEN_BY_ID, unknown.data()), 6u);
}
