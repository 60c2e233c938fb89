// The smart-card function: power-up and its ATR, single T=1 blocks, and
// APDU exchanges with the block protocol's supervisory traffic.
#include "token_api.h"

using namespace token_test;
using tokenmodel::T1Card;

namespace {

class TokenScard : public Fixture {
protected:
    void SetUp() override { SetUpWith({}); }
    void SetUpWith(winsim::tokens::TokenSpec spec) {
        Fixture::SetUp();
        id_ = winsim::tokens::plug(spec);
        ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
    }
    tokenmodel::Token &token() { return *winsim::tokens::token(id_); }
    T1Card &t1() { return token().t1(); }
    DWORD power_up() {
        QUVA_ATR atr = {};
        return api().quva_ScardPowerUp(ctx(), 0, &atr);
    }
    WORD apdu(const Bytes &header, const Bytes &data, DWORD le, Bytes *response = nullptr) {
        Bytes out(300, 0xEE);
        DWORD count = 0xFFFF;
        WORD sw = api().quva_ScardExchange(ctx(), header[0], header[1], header[2], header[3],
                                           data.empty() ? nullptr : data.data(), (DWORD)data.size(), out.data(), le,
                                           &count);
        if (response) *response = Bytes(out.begin(), out.begin() + (count < 300 ? count : 0));
        return sw;
    }
    WORD select(WORD fid, Bytes *response = nullptr) {
        return apdu({0x00, 0xA4, 0x00, 0x00}, {(BYTE)(fid >> 8), (BYTE)fid}, 0, response);
    }
    // The T=1 blocks the library sent, as the token saw them (NAD..LRC).
    std::vector<Bytes> blocks_sent() {
        std::vector<Bytes> out;
        for (const auto &c : winsim::tokens::log()) {
            if (c.request.size() < 16) continue;
            DWORD code = c.request[8] | c.request[9] << 8;
            DWORD len = c.request[12] | c.request[13] << 8;
            if (code == QUVA_CMD_CARD_BLOCK)
                out.push_back(Bytes(c.request.begin() + 16, c.request.begin() + 16 + len));
        }
        return out;
    }
    DWORD id_ = 0;
};

class TokenScardShortAtr : public TokenScard {
protected:
    void SetUp() override {
        winsim::tokens::TokenSpec s;
        s.short_atr = true;
        SetUpWith(s);
    }
};

class TokenScardNoCard : public TokenScard {
protected:
    void SetUp() override {
        winsim::tokens::TokenSpec s;
        s.smart_card = false;
        s.descriptor = descriptor(0x3F, {0x40}); // the library believes in the card function
        SetUpWith(s);
    }
};

} // namespace

TEST_F(TokenScard, PowerUpWithTheLongAtr) {
    QUVA_ATR atr;
    std::memset(&atr, 0xEE, sizeof atr);
    ASSERT_EQ(api().quva_ScardPowerUp(ctx(), 0, &atr), 0u);
    EXPECT_EQ(Bytes(atr.atr, atr.atr + 25), Bytes(tokenmodel::k_long_atr, tokenmodel::k_long_atr + 25));
    EXPECT_EQ(Bytes(atr.atr + 25, atr.atr + 32), Bytes(7, 0xEE));
    EXPECT_EQ(atr.length, 25);
    EXPECT_EQ(atr.ifs, 254);
    EXPECT_TRUE(token().card_powered());
    EXPECT_EQ(t1().ifsd(), 254);
    EXPECT_EQ(api().quva_ScardPowerUp(ctx(), 0, nullptr), 17u);
}

TEST_F(TokenScardShortAtr, PowerUpRetriesWithNineBytes) {
    QUVA_ATR atr = {};
    ASSERT_EQ(api().quva_ScardPowerUp(ctx(), 0, &atr), 0u);
    EXPECT_EQ(atr.length, 9);
    EXPECT_EQ(Bytes(atr.atr, atr.atr + 9), Bytes(tokenmodel::k_short_atr, tokenmodel::k_short_atr + 9));
}

TEST_F(TokenScard, PowerUpFailures) {
    // The size negotiation answered with another PCB.
    t1().inject(T1Card::Fault::Pcb, 0xE2);
    EXPECT_EQ(power_up(), 12u);
    // A token error on the second step is passed on.
    const BYTE denied[1] = {0x01};
    const BYTE atr_ok[25] = {};
    token().inject_answer(atr_ok, 25);
    token().inject_answer(denied, 1);
    EXPECT_EQ(power_up(), 4u);
    // A first answer other than 12 is not retried.
    token().inject_answer(denied, 1);
    winsim::tokens::clear_log();
    EXPECT_EQ(power_up(), 4u);
    EXPECT_EQ(winsim::tokens::log().size(), 1u);
    EXPECT_EQ(power_up(), 0u);
}

TEST_F(TokenScardNoCard, NoCardFunction) {
    // The token refuses card commands with 0x03.
    EXPECT_EQ(power_up(), 3u);
    EXPECT_EQ(api().quva_ScardPowerDown(ctx(), 0), 3u);
    EXPECT_EQ(select(0x3F00), 0x9003);
}

TEST_F(TokenScard, PowerDown) {
    ASSERT_EQ(power_up(), 0u);
    EXPECT_EQ(api().quva_ScardPowerDown(ctx(), 0), 0u);
    EXPECT_FALSE(token().card_powered());
}

TEST_F(TokenScard, ContextWithoutTheCardFeature) {
    QUVA_CONTEXT fresh = nullptr;
    ASSERT_EQ(api().quva_CreateContext(&fresh, 0, 0), 0u);
    QUVA_ATR atr = {};
    BYTE pcb = 0, buf[4];
    DWORD len = 5;
    EXPECT_EQ(api().quva_ScardPowerUp(fresh, 0, &atr), 3u);
    EXPECT_EQ(api().quva_ScardPowerDown(fresh, 0), 3u);
    EXPECT_EQ(api().quva_ScardIO(fresh, 0, buf, 1, buf, 4, &pcb, &len), 3u);
    EXPECT_EQ(pcb, 0xFF);
    EXPECT_EQ(len, 0u);
    // Its information field size is 0: the APDU's length is refused first.
    EXPECT_EQ(api().quva_ScardExchange(fresh, 0, 0xA4, 0, 0, nullptr, 0, buf, 4, &len), 0x9013);
    EXPECT_EQ(api().quva_DeleteContext(fresh), 0u);
}

TEST_F(TokenScard, SingleBlocks) {
    ASSERT_EQ(power_up(), 0u);
    BYTE rx[256], pcb = 0;
    DWORD len = 0;
    // SELECT MF as an I-block.
    const BYTE select_mf[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    ASSERT_EQ(api().quva_ScardIO(ctx(), 0x00, select_mf, sizeof select_mf, rx, sizeof rx, &pcb, &len), 0u);
    EXPECT_EQ(pcb, 0x00);
    ASSERT_EQ(len, 2u);
    EXPECT_EQ(Bytes(rx, rx + 2), Bytes({0x90, 0x00}));

    // Missing pointers.
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0, select_mf, 1, rx, 4, nullptr, &len), 17u);
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0, select_mf, 1, rx, 4, &pcb, nullptr), 17u);
    // Too long: refused before any traffic, with the outputs reset.
    Bytes big(255, 0);
    winsim::tokens::clear_log();
    pcb = 0x12;
    len = 7;
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0, big.data(), 255, rx, sizeof rx, &pcb, &len), 19u);
    EXPECT_EQ(pcb, 0xFF);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(winsim::tokens::log().size(), 0u);
    // An answer bigger than the receive buffer.
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0x40, select_mf, sizeof select_mf, rx, 1, &pcb, &len), 13u);
    EXPECT_EQ(pcb, 0xFF);
}

TEST_F(TokenScard, AnAnswerBlockWithoutInformationNeedsNoFetch) {
    ASSERT_EQ(power_up(), 0u);
    t1().inject(T1Card::Fault::Pcb, 0x92);
    winsim::tokens::clear_log();
    BYTE rx[4], pcb = 0;
    DWORD len = 9;
    const BYTE info[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    ASSERT_EQ(api().quva_ScardIO(ctx(), 0x00, info, sizeof info, rx, sizeof rx, &pcb, &len), 0u);
    EXPECT_EQ(pcb, 0x92);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(winsim::tokens::log().size(), 1u);
}

TEST_F(TokenScard, BadAnswerBlocks) {
    ASSERT_EQ(power_up(), 0u);
    BYTE rx[256], pcb = 0;
    DWORD len = 0;
    const BYTE select_mf[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    t1().inject(T1Card::Fault::BadLrc);
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0x00, select_mf, sizeof select_mf, rx, sizeof rx, &pcb, &len), 12u);
    EXPECT_EQ(pcb, 0xFF);
    EXPECT_EQ(len, 0u);
    t1().inject(T1Card::Fault::BadNad);
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0x40, select_mf, sizeof select_mf, rx, sizeof rx, &pcb, &len), 12u);
    // Answers the token gives in place of the block.
    const Bytes long_len = {0x00, 0x00, 0xFD, 0x00};
    token().inject_answer(long_len.data(), long_len.size());
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0x00, select_mf, sizeof select_mf, rx, sizeof rx, &pcb, &len), 13u);
    const Bytes first = {0x00, 0x00, 0x02, 0x00};
    const Bytes short_fetch = {0x00, 0x00, 0x02, 0x90};
    token().inject_answer(first.data(), first.size());
    token().inject_answer(short_fetch.data(), short_fetch.size());
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0x00, select_mf, sizeof select_mf, rx, sizeof rx, &pcb, &len), 8u);
    const Bytes status = {0x07};
    token().inject_answer(status.data(), status.size());
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0x00, select_mf, sizeof select_mf, rx, sizeof rx, &pcb, &len), 12u);
}

TEST_F(TokenScard, ApduForms) {
    ASSERT_EQ(power_up(), 0u);
    winsim::tokens::clear_log();
    apdu({0x00, 0x84, 0x00, 0x00}, {}, 256);
    apdu({0x00, 0xA4, 0x00, 0x00}, {0x3F, 0x00, 0x01}, 0);
    apdu({0x00, 0xA4, 0x00, 0x00}, {0x3F, 0x00, 0x01}, 16);
    apdu({0x00, 0xB0, 0x00, 0x00}, {}, 0);
    std::vector<Bytes> sent = blocks_sent();
    ASSERT_EQ(sent.size(), 4u);
    // NAD, PCB (sequence bit alternating), LEN, APDU, LRC.
    EXPECT_EQ(Bytes(sent[0].begin(), sent[0].end() - 1), Bytes({0, 0x00, 5, 0x00, 0x84, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(sent[1].begin(), sent[1].end() - 1), Bytes({0, 0x40, 8, 0x00, 0xA4, 0, 0, 3, 0x3F, 0x00, 0x01}));
    EXPECT_EQ(Bytes(sent[2].begin(), sent[2].end() - 1),
              Bytes({0, 0x00, 9, 0x00, 0xA4, 0, 0, 3, 0x3F, 0x00, 0x01, 16}));
    EXPECT_EQ(Bytes(sent[3].begin(), sent[3].end() - 1), Bytes({0, 0x40, 5, 0x00, 0xB0, 0, 0, 0}));
    BYTE lrc = 0;
    for (BYTE b : sent[2]) lrc ^= b;
    EXPECT_EQ(lrc, 0);
}

TEST_F(TokenScard, StatusWords) {
    ASSERT_EQ(power_up(), 0u);
    Bytes response;
    EXPECT_EQ(select(0x3F00), 0x9000);
    EXPECT_EQ(select(0x4242), 0x6A82);
    EXPECT_EQ(select(0x0103), 0x9000) << "0x6284 reads as 0x9000";
    // Data with 0x6284 is still copied.
    EXPECT_EQ(select(0x0101), 0x9000);
    EXPECT_EQ(apdu({0x00, 0xB0, 0x00, 0x00}, {}, 16, &response), 0x9000);
    EXPECT_EQ(response.size(), 16u);
    EXPECT_EQ(apdu({0x00, 0x84, 0x00, 0x00}, {}, 8, &response), 0x9000);
    EXPECT_EQ(response.size(), 8u);
    // More data than Le.
    EXPECT_EQ(apdu({0x00, 0xB0, 0x00, 0x00}, {}, 0, &response), 0x900D);
    EXPECT_EQ(apdu({0x00, 0xB0, 0x00, 0x00}, {}, 256, &response), 0x9000);
    EXPECT_EQ(response.size(), 32u);
    // Missing pointers.
    DWORD count = 0;
    BYTE buf[4];
    EXPECT_EQ(api().quva_ScardExchange(ctx(), 0, 0xB0, 0, 0, nullptr, 0, buf, 4, nullptr), 0x0011);
    EXPECT_EQ(api().quva_ScardExchange(ctx(), 0, 0xA4, 0, 0, nullptr, 2, buf, 4, &count), 0x0011);
    EXPECT_EQ(api().quva_ScardExchange(ctx(), 0, 0xB0, 0, 0, nullptr, 0, nullptr, 4, &count), 0x0011);
}

TEST_F(TokenScard, LengthLimitsAtAnInformationFieldOf254) {
    ASSERT_EQ(power_up(), 0u);
    t1().set_ifsc(254);
    winsim::tokens::clear_log();
    Bytes data247(247, 0x11), data249(249, 0x11), data250(250, 0x11);
    EXPECT_EQ(apdu({0x80, 0x10, 0, 0}, data250, 0), 0x9013);
    EXPECT_EQ(apdu({0x80, 0x10, 0, 0}, Bytes(0xFFFF, 0), 0), 0x9013);
    // 254 and 255 bytes pass the exchange's own check, but a block must fit
    // the 256 data bytes of a command: the block layer refuses them.
    EXPECT_EQ(apdu({0x80, 0x10, 0, 0}, data249, 0), 0x9013);
    EXPECT_EQ(apdu({0x80, 0x10, 0, 0}, data249, 16), 0x9013);
    EXPECT_EQ(blocks_sent().size(), 0u);
    // 252 bytes: sent (the card knows no such class).
    EXPECT_EQ(apdu({0x80, 0x10, 0, 0}, data247, 0), 0x6E00);
    ASSERT_EQ(blocks_sent().size(), 1u);
    EXPECT_EQ(blocks_sent()[0].size(), 256u);
    EXPECT_EQ(apdu({0x00, 0x84, 0, 0}, {}, 252), 0x6700);
    EXPECT_EQ(apdu({0x00, 0x84, 0, 0}, {}, 253), 0x9011);
    EXPECT_EQ(apdu({0x00, 0x84, 0, 0}, {}, 0xFFFFFFFF), 0x9011);
    EXPECT_EQ(apdu({0x00, 0xB0, 0, 0}, {}, 256), 0x6986); // no file selected
}

TEST_F(TokenScard, SingleBlocksUpToTheCommandFrame) {
    ASSERT_EQ(power_up(), 0u);
    BYTE rx[256], pcb = 0;
    DWORD len = 0;
    Bytes info(253, 0);
    winsim::tokens::clear_log();
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0, info.data(), 253, rx, sizeof rx, &pcb, &len), 19u);
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0, info.data(), 254, rx, sizeof rx, &pcb, &len), 19u);
    EXPECT_EQ(winsim::tokens::log().size(), 0u);
    EXPECT_EQ(api().quva_ScardIO(ctx(), 0, info.data(), 252, rx, sizeof rx, &pcb, &len), 0u);
}

TEST_F(TokenScard, WaitingTimeExtension) {
    ASSERT_EQ(power_up(), 0u);
    t1().inject(T1Card::Fault::Wtx, 0x05);
    winsim::tokens::clear_log();
    EXPECT_EQ(select(0x3F00), 0x9000);
    EXPECT_EQ(token().last_wtx_factor(), 5);
    EXPECT_EQ(t1().last_wtx(), 5);
    bool control_sent = false;
    for (const auto &c : winsim::tokens::log())
        if (c.request[8] == 0x16 && c.request[9] == 0x01 && c.request[12] == 2)
            control_sent |= c.request[16] == 3 && c.request[17] == 4;
    EXPECT_TRUE(control_sent);
    // A failing extension command ends the exchange.
    const Bytes wtx = {0, 0xC3, 1, 2, 0xC0}; // S(WTX request), factor 2
    token().inject_answer(wtx.data(), 4);     // in place of the block's first 4 bytes
    token().inject_answer(wtx.data(), 5);     // then fetched whole
    winsim::tokens::fail_control(0x220414, ERROR_ACCESS_DENIED, 1, 2);
    EXPECT_EQ(select(0x3F00), 0x9004);
}

TEST_F(TokenScard, InformationSizeRequestFromTheCard) {
    ASSERT_EQ(power_up(), 0u);
    t1().inject(T1Card::Fault::IfsRequest, 0x20);
    EXPECT_EQ(select(0x3F00), 0x9000);
    EXPECT_EQ(t1().last_ifs_answer(), 254);
}

TEST_F(TokenScard, ResynchronisationAndReceiveReady) {
    ASSERT_EQ(power_up(), 0u);
    // One resynchronisation: the APDU goes again from sequence 0.
    t1().inject(T1Card::Fault::Resynch);
    EXPECT_EQ(select(0x3F00), 0x9000);
    // Three in a row: given up.
    t1().inject(T1Card::Fault::Resynch, 0, 3);
    EXPECT_EQ(select(0x3F00), 0x900C);
    t1().clear_faults();
    ASSERT_EQ(power_up(), 0u);
    // Receive-ready blocks: the APDU is sent again under a new sequence bit.
    t1().inject(T1Card::Fault::RBlock);
    winsim::tokens::clear_log();
    WORD sw = select(0x3F00);
    EXPECT_TRUE(sw == 0x9000 || sw == 0x900C) << std::hex << sw;
    std::vector<Bytes> sent = blocks_sent();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_NE(sent[0][1], sent[1][1]) << "the resent APDU keeps its sequence bit";
}

TEST_F(TokenScard, UnexpectedBlocks) {
    ASSERT_EQ(power_up(), 0u);
    for (BYTE pcb : {0xE1, 0xC2, 0xA0, 0xFF}) {
        SCOPED_TRACE(pcb);
        t1().inject(T1Card::Fault::Pcb, pcb);
        EXPECT_EQ(select(0x3F00), 0x900C);
    }
    // An information block too short for a status word.
    t1().inject(T1Card::Fault::Pcb, 0x00);
    EXPECT_EQ(select(0x3F00), 0x900C);
    t1().inject(T1Card::Fault::BadLrc);
    EXPECT_EQ(select(0x3F00), 0x900C);
}

TEST_F(TokenScard, EndlessReceiveReadyBlocksEnd) {
    ASSERT_EQ(power_up(), 0u);
    t1().inject(T1Card::Fault::Pcb, 0x80, -1);
    winsim::tokens::clear_log();
    EXPECT_EQ(select(0x3F00), 0x9017);
    std::vector<Bytes> sent = blocks_sent();
    EXPECT_EQ(sent.size(), (size_t)QUVA_MAX_EXCHANGE_BLOCKS);
    // Three sends of the APDU, then receive-ready blocks.
    ASSERT_GE(sent.size(), 5u);
    EXPECT_EQ(sent[0][2], 7);
    EXPECT_EQ(sent[2][2], 7);
    EXPECT_EQ(Bytes(sent[3].begin(), sent[3].begin() + 3), Bytes({0, 0x90, 0}));
}

TEST_F(TokenScard, EndlessWaitingTimeExtensionsEnd) {
    ASSERT_EQ(power_up(), 0u);
    t1().inject(T1Card::Fault::Pcb, 0xC3, -1);
    EXPECT_EQ(select(0x3F00), 0x9017);
    t1().clear_faults();
}

TEST_F(TokenScard, RemovalDuringAnExchange) {
    ASSERT_EQ(power_up(), 0u);
    winsim::tokens::remove_during_next_exchange(id_);
    EXPECT_EQ(select(0x3F00), 0x9007);
    EXPECT_EQ(select(0x3F00), 0x9007);
}

TEST_F(TokenScard, TheSequenceBitLastsWhileTheTokenIsOpen) {
    ASSERT_EQ(power_up(), 0u);
    winsim::tokens::clear_log();
    EXPECT_EQ(select(0x3F00), 0x9000);
    EXPECT_EQ(select(0x3F00), 0x9000);
    EXPECT_EQ(select(0x3F00), 0x9000);
    std::vector<Bytes> sent = blocks_sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0][1], 0x00);
    EXPECT_EQ(sent[1][1], 0x40);
    EXPECT_EQ(sent[2][1], 0x00);
    // Power-up starts again from 0.
    ASSERT_EQ(power_up(), 0u);
    winsim::tokens::clear_log();
    EXPECT_EQ(select(0x3F00), 0x9000);
    EXPECT_EQ(blocks_sent()[0][1], 0x00);
}
