// The token model on its own: commands, the T=1 block engine and the ISO card.
#include <tokenmodel/token.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace tokenmodel;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes block(uint8_t pcb, const Bytes &info = {}, uint8_t nad = 0) {
    Bytes b{nad, pcb, (uint8_t)info.size()};
    b.insert(b.end(), info.begin(), info.end());
    uint8_t lrc = 0;
    for (uint8_t x : b) lrc ^= x;
    b.push_back(lrc);
    return b;
}

bool lrc_ok(const Bytes &b) {
    uint8_t lrc = 0;
    for (uint8_t x : b) lrc ^= x;
    return lrc == 0 && b.size() >= 4 && b[2] + 4u == b.size();
}

Bytes info(const Bytes &b) { return Bytes(b.begin() + 3, b.end() - 1); }

Bytes cmd(Token &t, uint16_t code, const Bytes &data = {}) {
    uint8_t out[Token::kMaxAnswer];
    size_t n = t.command(code, data.data(), data.size(), out);
    return Bytes(out, out + n);
}

// A card behind its block engine, driven block by block.
struct Card {
    IsoCard iso;
    T1Card t1;
    Card() {
        const uint8_t serial[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        iso.set_serial(serial);
        t1.attach(&iso);
    }
    Bytes send(const Bytes &b) {
        uint8_t out[T1Card::kMaxBlock];
        size_t n = t1.receive(b.data(), b.size(), out);
        return Bytes(out, out + n);
    }
};

Bytes apdu(const Bytes &a) {
    IsoCard c;
    const uint8_t serial[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    c.set_serial(serial);
    uint8_t out[IsoCard::kMaxResponse];
    size_t n = c.process(a.data(), a.size(), out);
    return Bytes(out, out + n);
}

uint16_t sw(const Bytes &r) { return (uint16_t)(r[r.size() - 2] << 8 | r[r.size() - 1]); }

const Bytes k_select_serial{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x02};
const Bytes k_read_8{0x00, 0xB0, 0x00, 0x00, 0x08};

} // namespace

// ------------------------------------------------------------ commands

TEST(TokenModel, DefaultDescriptorIsValidAndServed) {
    Token t;
    const uint8_t *d = t.descriptor();
    EXPECT_EQ(d[0], 15);
    EXPECT_GE(d[1], 0x60);
    EXPECT_LE(d[1], 0x6F);
    EXPECT_TRUE(d[6] & 0x40);
    EXPECT_FALSE(d[6] & 0x80); // one feature byte, items follow
    EXPECT_EQ(Bytes(d + 7, d + 15), (Bytes{0x10, 0x02, 0x04, 0x01, 0x11, 0x02, 0x04, 0x01}));
    for (size_t i = 15; i < Token::kDescriptorSize; i++) EXPECT_EQ(d[i], 0) << i;
}

TEST(TokenModel, AnyDescriptorBytesAreKept) {
    Token t;
    Bytes bad{0x05, 0x5F, 0xAA};
    t.set_descriptor(bad.data(), bad.size());
    EXPECT_EQ(Bytes(t.descriptor(), t.descriptor() + 4), (Bytes{0x05, 0x5F, 0xAA, 0x00}));
    Bytes big(70, 0xEE);
    t.set_descriptor(big.data(), big.size());
    EXPECT_EQ(t.descriptor()[63], 0xEE); // cut at 64
}

TEST(TokenModel, SerialNameLedDiagnose) {
    Token t;
    const uint8_t serial[8] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
    t.set_serial(serial);
    EXPECT_EQ(cmd(t, CMD_GET_SERIAL), Bytes(serial, serial + 8));
    EXPECT_EQ(cmd(t, CMD_GET_NAME), Bytes(32, 0)); // no name: 32 zero bytes
    t.set_name("Alice", 5);
    Bytes name = cmd(t, CMD_GET_NAME);
    ASSERT_EQ(name.size(), 32u);
    EXPECT_EQ(std::string((char *)name.data(), 5), "Alice");
    EXPECT_EQ(name[5], 0);
    std::string full(40, 'N');
    t.set_name(full.data(), full.size());
    name = cmd(t, CMD_GET_NAME);
    EXPECT_EQ(std::string(name.begin(), name.end()), std::string(32, 'N')); // no terminator at 32
    EXPECT_EQ(t.name_length(), 32u);

    EXPECT_EQ(cmd(t, CMD_LED, {0x02, 0x01}), Bytes{ST_OK});
    EXPECT_EQ(t.led(), 0x0102);
    EXPECT_EQ(cmd(t, CMD_LED, {0x01}), Bytes{ST_BAD_PARAMETER});
    EXPECT_EQ(t.led_changes(), 1u);

    EXPECT_EQ(cmd(t, CMD_DIAGNOSE).size(), 6u);
    const uint8_t failing[6] = {0x01, 0x00, 0x03, 0, 0xFF, 0x10};
    t.set_diagnostics(failing);
    EXPECT_EQ(cmd(t, CMD_DIAGNOSE), Bytes(failing, failing + 6));

    EXPECT_EQ(cmd(t, CMD_GET_SERIAL, {0}), Bytes{ST_BAD_PARAMETER});
    EXPECT_EQ(cmd(t, 0x0999), Bytes{ST_BAD_COMMAND});
    EXPECT_EQ(cmd(t, CMD_GET_RESPONSE), Bytes{ST_BAD_OPERATION}); // nothing pending
}

TEST(TokenModel, InjectedAnswersReplaceTheNextCommands) {
    Token t;
    const uint8_t a[1] = {0x21}, b[2] = {1, 2};
    ASSERT_TRUE(t.inject_answer(a, 1));
    ASSERT_TRUE(t.inject_answer(b, 2));
    ASSERT_TRUE(t.inject_answer(nullptr, 0));
    EXPECT_EQ(cmd(t, CMD_LED, {1, 0}), Bytes{0x21});
    EXPECT_EQ(cmd(t, CMD_GET_SERIAL), (Bytes{1, 2}));
    EXPECT_EQ(cmd(t, CMD_GET_SERIAL), Bytes{});
    EXPECT_EQ(cmd(t, CMD_LED, {1, 0}), Bytes{ST_OK});
    EXPECT_EQ(t.led(), 1); // only the last one ran
    for (int i = 0; i < 4; i++) EXPECT_TRUE(t.inject_answer(a, 1));
    EXPECT_FALSE(t.inject_answer(a, 1));
}

TEST(TokenModel, CardControlPowersUpWithTheRightAtrLength) {
    Token t;
    EXPECT_EQ(cmd(t, CMD_CARD_CONTROL, {0x02}), Bytes{ST_HARDWARE}); // off
    EXPECT_EQ(cmd(t, CMD_CARD_BLOCK, block(0xC1, {0xFE})), Bytes{ST_BAD_OPERATION});
    EXPECT_EQ(cmd(t, CMD_CARD_CONTROL, {0x01, 0x09}), Bytes{ST_HARDWARE});
    EXPECT_EQ(cmd(t, CMD_CARD_CONTROL, {0x01, 0x19}), Bytes(k_long_atr, k_long_atr + 25));
    EXPECT_TRUE(t.card_powered());
    EXPECT_EQ(cmd(t, CMD_CARD_CONTROL, {0x02}), (Bytes{0x01, 0xFE, 0x45, 0x00}));
    EXPECT_EQ(cmd(t, CMD_CARD_CONTROL, {0x03, 0x04}), Bytes{ST_OK});
    EXPECT_EQ(t.last_wtx_factor(), 5);
    EXPECT_EQ(cmd(t, CMD_CARD_CONTROL, {0x00}), Bytes{ST_OK});
    EXPECT_FALSE(t.card_powered());
    EXPECT_EQ(cmd(t, CMD_CARD_CONTROL, {0x07}), Bytes{ST_BAD_PARAMETER});
    EXPECT_EQ(cmd(t, CMD_CARD_CONTROL), Bytes{ST_BAD_PARAMETER});

    Token s;
    s.set_atr(k_short_atr, sizeof k_short_atr);
    EXPECT_EQ(cmd(s, CMD_CARD_CONTROL, {0x01, 0x19}), Bytes{ST_HARDWARE});
    EXPECT_EQ(cmd(s, CMD_CARD_CONTROL, {0x01, 0x09}), Bytes(k_short_atr, k_short_atr + 9));

    Token none;
    none.set_smart_card(false);
    EXPECT_EQ(cmd(none, CMD_CARD_CONTROL, {0x01, 0x19}), Bytes{ST_BAD_COMMAND});
    EXPECT_EQ(cmd(none, CMD_CARD_BLOCK, block(0)), Bytes{ST_BAD_COMMAND});
}

TEST(TokenModel, CardBlockAnswersFourBytesAndKeepsTheBlockPending) {
    Token t;
    const uint8_t serial[8] = {9, 8, 7, 6, 5, 4, 3, 2};
    t.set_serial(serial);
    cmd(t, CMD_CARD_CONTROL, {0x01, 0x19});
    Bytes ifs = block(0xC1, {0xFE});
    Bytes head = cmd(t, CMD_CARD_BLOCK, ifs);
    EXPECT_EQ(head, (Bytes{0x00, 0xE1, 0x01, 0xFE}));
    EXPECT_EQ(cmd(t, CMD_GET_RESPONSE), block(0xE1, {0xFE})); // the whole block, again

    cmd(t, CMD_CARD_BLOCK, block(0x00, k_select_serial));
    head = cmd(t, CMD_CARD_BLOCK, block(0x40, k_read_8));
    EXPECT_EQ(head[1], 0x40);
    EXPECT_EQ(head[2], 10);
    Bytes whole = cmd(t, CMD_GET_RESPONSE);
    ASSERT_TRUE(lrc_ok(whole));
    Bytes want(serial, serial + 8);
    want.push_back(0x90);
    want.push_back(0x00);
    EXPECT_EQ(info(whole), want);
    cmd(t, CMD_LED, {1, 0});
    EXPECT_EQ(cmd(t, CMD_GET_RESPONSE), Bytes{ST_BAD_OPERATION}); // another command dropped it
}

// ------------------------------------------------------------ T=1 engine

TEST(T1Engine, SequenceNumbersAndRetransmission) {
    Card c;
    Bytes r = c.send(block(0x00, k_select_serial));
    EXPECT_EQ(r, block(0x00, {0x90, 0x00}));
    r = c.send(block(0x40, k_read_8));
    EXPECT_EQ(r[1], 0x40);
    EXPECT_EQ(c.t1.apdus(), 2u);

    // The same N(S) again is a sequence error: R-block naming the one expected, nothing run.
    r = c.send(block(0x40, k_read_8));
    EXPECT_EQ(r, block(0x80));
    EXPECT_EQ(c.t1.apdus(), 2u);
    // An R-block asks for the last block again.
    r = c.send(block(0x80));
    EXPECT_EQ(r, block(0x80));
    r = c.send(block(0x00, k_read_8));
    EXPECT_EQ(r[1], 0x00);
    Bytes again = c.send(block(0x90));
    EXPECT_EQ(again, r);
    EXPECT_EQ(c.t1.apdus(), 3u);
}

TEST(T1Engine, DamagedBlocksGetRBlocks) {
    Card c;
    Bytes b = block(0x00, k_select_serial);
    b.back() ^= 1;
    EXPECT_EQ(c.send(b), block(0x80));
    EXPECT_EQ(c.send(block(0x00, k_select_serial, 0x05)), block(0x80)); // NAD
    EXPECT_EQ(c.send(Bytes{0x00, 0x00}), block(0x80));                  // too short
    Bytes lying = block(0x00, {1, 2, 3});
    lying[2] = 5;
    EXPECT_EQ(c.send(lying), block(0x80));
    EXPECT_EQ(c.t1.errors(), 4u);
    EXPECT_EQ(c.t1.apdus(), 0u);
    c.t1.set_error_codes(true);
    b = block(0x00, k_select_serial);
    b.back() ^= 1;
    EXPECT_EQ(c.send(b), block(0x81));
    EXPECT_EQ(c.send(block(0x40, k_select_serial)), block(0x82));
    // Nothing was lost: the next I-block with N(S) 0 is still expected.
    EXPECT_EQ(c.send(block(0x00, k_select_serial)), block(0x00, {0x90, 0x00}));
}

TEST(T1Engine, InformationFieldSizesBothWays) {
    Card c;
    EXPECT_EQ(c.t1.ifsd(), 32);
    EXPECT_EQ(c.send(block(0xC1, {0x80})), block(0xE1, {0x80}));
    EXPECT_EQ(c.t1.ifsd(), 0x80);
    EXPECT_EQ(c.send(block(0xC1, {0x00})), block(0x80)); // reserved values refused
    EXPECT_EQ(c.send(block(0xC1, {0xFF})), block(0x80));
    EXPECT_EQ(c.t1.ifsd(), 0x80);

    // The card asks for a new IFSC before answering.
    c.t1.inject(T1Card::Fault::IfsRequest, 0x40);
    EXPECT_EQ(c.send(block(0x00, k_select_serial)), block(0xC1, {0x40}));
    EXPECT_EQ(c.send(block(0x40, k_read_8)), block(0x80 | 0x10)); // an I-block now is out of turn
    EXPECT_EQ(c.send(block(0xE1, {0x40})), block(0x00, {0x90, 0x00}));
    EXPECT_EQ(c.t1.ifsc(), 0x40);
    // A host answering with a size of its own leaves the card's unchanged.
    c.t1.inject(T1Card::Fault::IfsRequest, 0x20);
    EXPECT_EQ(c.send(block(0x40, k_select_serial)), block(0xC1, {0x20}));
    EXPECT_EQ(c.send(block(0xE1, {0xFE})), block(0x40, {0x90, 0x00}));
    EXPECT_EQ(c.t1.ifsc(), 0x40);
    EXPECT_EQ(c.t1.last_ifs_answer(), 0xFE);
    // Blocks longer than the IFSC are refused.
    EXPECT_EQ(c.send(block(0x00, Bytes(0x41, 0))), block(0x80));
}

TEST(T1Engine, ResponsesAndCommandsChain) {
    Card c;
    // 64 bytes through an IFSD of 32: three I-blocks, each acknowledged by N(R).
    Bytes sel{0x00, 0xA4, 0x08, 0x0C, 0x04, 0x50, 0x00, 0x50, 0x01};
    ASSERT_EQ(c.send(block(0x00, sel)), block(0x00, {0x90, 0x00}));
    Bytes r1 = c.send(block(0x40, {0x00, 0xB0, 0x00, 0x00, 0x40}));
    EXPECT_EQ(r1[1], 0x40 | 0x20);
    EXPECT_EQ(r1[2], 32);
    Bytes r2 = c.send(block(0x80)); // N(R) 0: next, please
    EXPECT_EQ(r2[1], 0x00 | 0x20);
    EXPECT_EQ(c.send(block(0x80)), r2); // retransmission when N(R) names the one sent
    Bytes r2b = c.send(block(0x80));
    EXPECT_EQ(r2b, r2);
    Bytes r3 = c.send(block(0x90));
    EXPECT_EQ(r3[1], 0x40);
    EXPECT_EQ(r3[2], 2);
    Bytes all = info(r1), part = info(r2), last = info(r3);
    all.insert(all.end(), part.begin(), part.end());
    all.insert(all.end(), last.begin(), last.end());
    ASSERT_EQ(all.size(), 66u);
    for (int i = 0; i < 64; i++) EXPECT_EQ(all[i], i);
    EXPECT_EQ(sw(all), 0x9000);

    // A command in two I-blocks: the first is acknowledged with N(R).
    EXPECT_EQ(c.send(block(0x00 | 0x20, {0x00, 0xA4, 0x00})), block(0x80 | 0x10));
    EXPECT_EQ(c.send(block(0x40, {0x0C, 0x02, 0x2F, 0x02})), block(0x00, {0x90, 0x00}));
    EXPECT_EQ(c.iso.current_ef(), FID_SERIAL);

    // ABORT ends a chain.
    EXPECT_EQ(c.send(block(0x00 | 0x20, {0x00, 0xA4})), block(0x80 | 0x10));
    EXPECT_EQ(c.send(block(0xC2)), block(0xE2));
    EXPECT_EQ(c.send(block(0x40, k_read_8))[1], 0x40);
}

TEST(T1Engine, WaitingTimeExtensionAndResynch) {
    Card c;
    c.t1.inject(T1Card::Fault::Wtx, 0x05);
    EXPECT_EQ(c.send(block(0x00, k_select_serial)), block(0xC3, {0x05}));
    EXPECT_EQ(c.send(block(0x80)), block(0xC3, {0x05})); // asked again
    EXPECT_EQ(c.send(block(0xE3, {0x05})), block(0x00, {0x90, 0x00}));
    EXPECT_EQ(c.t1.last_wtx(), 0x05);
    EXPECT_EQ(c.send(block(0xE3, {0x05})), block(0x90)); // not asked for

    // RESYNCH from the host: both sequence numbers and the IFSD start again.
    c.send(block(0xC1, {0xFE}));
    EXPECT_EQ(c.send(block(0xC0)), block(0xE0));
    EXPECT_EQ(c.t1.expected_seq(), 0);
    EXPECT_EQ(c.t1.own_seq(), 0);
    EXPECT_EQ(c.t1.ifsd(), 32);
    EXPECT_EQ(c.send(block(0x00, k_read_8))[1], 0x00);
}

TEST(T1Engine, FaultsOnDemand) {
    Card c;
    // An R-block as if the block arrived damaged: not run, N(S) still expected.
    c.t1.inject(T1Card::Fault::RBlock);
    EXPECT_EQ(c.send(block(0x00, k_select_serial)), block(0x80));
    EXPECT_EQ(c.t1.apdus(), 0u);
    // The host's way: retry with the other N(S) (refused), then the first one again.
    EXPECT_EQ(c.send(block(0x40, k_select_serial)), block(0x80));
    EXPECT_EQ(c.send(block(0x00, k_select_serial)), block(0x00, {0x90, 0x00}));

    // The card's own RESYNCH request: it starts again from N(S) 0.
    c.t1.inject(T1Card::Fault::Resynch);
    EXPECT_EQ(c.send(block(0x40, k_read_8)), block(0xC0));
    EXPECT_EQ(c.send(block(0x00, k_read_8))[1], 0x00);

    c.t1.inject(T1Card::Fault::BadLrc);
    Bytes bad = c.send(block(0x40, k_select_serial));
    EXPECT_FALSE(lrc_ok(bad));
    EXPECT_EQ(c.send(block(0x90)), block(0x40, {0x90, 0x00})); // clean when sent again

    c.t1.inject(T1Card::Fault::BadNad);
    Bytes nad = c.send(block(0x00, k_select_serial));
    EXPECT_EQ(nad[0], 0x01);
    EXPECT_TRUE(lrc_ok(nad));

    c.t1.inject(T1Card::Fault::Pcb, 0xE2, 2);
    EXPECT_EQ(c.send(block(0x40, k_select_serial)), block(0xE2));
    EXPECT_EQ(c.send(block(0x40, k_select_serial)), block(0xE2));
    EXPECT_EQ(c.send(block(0x40, k_select_serial)), block(0x40, {0x90, 0x00}));

    // Forever until cleared.
    c.t1.inject(T1Card::Fault::RBlock, 0, -1);
    for (int i = 0; i < 5; i++) EXPECT_EQ(c.send(block(0x00, k_select_serial)), block(0x80));
    c.t1.clear_faults();
    EXPECT_EQ(c.send(block(0x00, k_select_serial)), block(0x00, {0x90, 0x00}));
    for (int i = 0; i < 8; i++) EXPECT_TRUE(c.t1.inject(T1Card::Fault::BadLrc));
    EXPECT_FALSE(c.t1.inject(T1Card::Fault::BadLrc));
}

// ------------------------------------------------------------ ISO card

TEST(IsoCardModel, SelectAndRead) {
    EXPECT_EQ(apdu({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x12, 0x34}), (Bytes{0x6A, 0x82}));
    EXPECT_EQ(apdu({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x03}), (Bytes{0x62, 0x84}));
    Bytes fci = apdu({0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01, 0x00});
    EXPECT_EQ(fci, (Bytes{0x62, 0x0B, 0x82, 0x01, 0x01, 0x83, 0x02, 0x01, 0x01, 0x80, 0x02, 0x00, 0x20, 0x90, 0x00}));
    EXPECT_EQ(apdu({0x00, 0xA4, 0x04, 0x00, 0x02, 0x01, 0x01}), (Bytes{0x6A, 0x86}));
    EXPECT_EQ(apdu({0x00, 0xA4, 0x00, 0x0C, 0x03, 0x01, 0x01, 0x00}), (Bytes{0x67, 0x00}));

    IsoCard c;
    const uint8_t serial[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    c.set_serial(serial);
    uint8_t out[IsoCard::kMaxResponse];
    auto run = [&](const Bytes &a) { return Bytes(out, out + c.process(a.data(), a.size(), out)); };
    EXPECT_EQ(run(k_read_8), (Bytes{0x69, 0x86})); // no EF yet
    run(k_select_serial);
    Bytes r = run(k_read_8);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 8), Bytes(serial, serial + 8));
    EXPECT_EQ(run({0x00, 0xB0, 0x00, 0x04, 0x08}), (Bytes{5, 6, 7, 8, 0x62, 0x82})); // short read
    EXPECT_EQ(run({0x00, 0xB0, 0x00, 0x04, 0x00}), (Bytes{5, 6, 7, 8, 0x90, 0x00})); // Le 00: what is there
    EXPECT_EQ(run({0x00, 0xB0, 0x00, 0x08, 0x01}), (Bytes{0x6B, 0x00}));
    EXPECT_EQ(run({0x00, 0xB0, 0x81, 0x00, 0x01}), (Bytes{0x6A, 0x81}));

    // Into the DF and its 300-byte file; 256 bytes at once.
    EXPECT_EQ(run({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x00}), (Bytes{0x90, 0x00}));
    EXPECT_EQ(c.current_df(), FID_APP);
    EXPECT_EQ(run({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01}), (Bytes{0x90, 0x00}));
    r = run({0x00, 0xB0, 0x00, 0x00, 0x00});
    ASSERT_EQ(r.size(), 258u);
    EXPECT_EQ(r[255], 255);
    r = run({0x00, 0xB0, 0x01, 0x00, 0x00});
    EXPECT_EQ(r.size(), 46u);
    // Siblings and the MF are reachable from inside the DF.
    EXPECT_EQ(run({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x02}), (Bytes{0x90, 0x00}));
    EXPECT_EQ(c.current_df(), FID_MF);
    EXPECT_EQ(run({0x00, 0xA4, 0x00, 0x0C}), (Bytes{0x90, 0x00}));
    EXPECT_EQ(c.current_ef(), 0);
}

TEST(IsoCardModel, VerifyProtectsAndBlocks) {
    IsoCard c;
    uint8_t out[IsoCard::kMaxResponse];
    auto run = [&](const Bytes &a) { return Bytes(out, out + c.process(a.data(), a.size(), out)); };
    run({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x02});
    EXPECT_EQ(run({0x00, 0xB0, 0x00, 0x00, 0x04}), (Bytes{0x69, 0x82}));
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01}), (Bytes{0x63, 0xC3}));
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4'}), (Bytes{0x90, 0x00}));
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01, 0x00}), (Bytes{0x90, 0x00})); // 5-byte status query
    EXPECT_EQ(run({0x00, 0xB0, 0x00, 0x00, 0x04}), (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0x90, 0x00}));
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x02, 0x01, '1'}), (Bytes{0x6A, 0x88}));
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01, 0x04, '1', '1', '1', '1'}), (Bytes{0x63, 0xC2}));
    EXPECT_FALSE(c.verified());
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01, 0x01, '1'}), (Bytes{0x63, 0xC1}));
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4'}), (Bytes{0x90, 0x00})); // resets the tries
    EXPECT_EQ(c.tries_left(), 3);
    for (int i = 0; i < 2; i++) run({0x00, 0x20, 0x00, 0x01, 0x01, 'x'});
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01, 0x01, 'x'}), (Bytes{0x69, 0x83}));
    EXPECT_EQ(run({0x00, 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4'}), (Bytes{0x69, 0x83}));
    c.reset();
    EXPECT_EQ(c.tries_left(), 0); // a reset does not unblock
}

TEST(IsoCardModel, ChallengesAndBadCommands) {
    Bytes a = apdu({0x00, 0x84, 0x00, 0x00, 0x08});
    ASSERT_EQ(a.size(), 10u);
    EXPECT_EQ(sw(a), 0x9000);
    EXPECT_EQ(apdu({0x00, 0x84, 0x00, 0x00, 0x08}), a); // same card, same first challenge
    IsoCard c;
    const uint8_t serial[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    c.set_serial(serial);
    uint8_t out[IsoCard::kMaxResponse];
    Bytes g{0x00, 0x84, 0x00, 0x00, 0x08};
    c.process(g.data(), g.size(), out);
    size_t n = c.process(g.data(), g.size(), out);
    EXPECT_NE(Bytes(out, out + n), a); // the next one differs
    EXPECT_EQ(apdu({0x00, 0x84, 0x00, 0x00, 0x00}), (Bytes{0x67, 0x00}));
    EXPECT_EQ(apdu({0x00, 0x84, 0x01, 0x00, 0x08}), (Bytes{0x6A, 0x86}));
    EXPECT_EQ(apdu({0x80, 0xA4, 0x00, 0x0C}), (Bytes{0x6E, 0x00}));
    EXPECT_EQ(apdu({0x00, 0xCA, 0x00, 0x00, 0x00}), (Bytes{0x6D, 0x00}));
    EXPECT_EQ(apdu({0x00, 0xA4}), (Bytes{0x67, 0x00}));
    EXPECT_EQ(apdu({0x00, 0xA4, 0x00, 0x0C, 0x00, 0x2F}), (Bytes{0x67, 0x00})); // Lc 0 with data
}
