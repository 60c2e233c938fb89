// Token commands and answers: lengths, the answer status byte, responses,
// diagnostics, the LED and the properties (serial and name included).
#include "token_api.h"

using namespace token_test;

namespace {

class TokenCommands : public Fixture {
protected:
    void SetUp() override {
        Fixture::SetUp();
        id_ = winsim::tokens::plug(spec_with_serial(7, "Alice's token"));
        ASSERT_EQ(open(QUVA_OPEN_FIRST), 0u);
        winsim::tokens::clear_log();
    }
    tokenmodel::Token &token() { return *winsim::tokens::token(id_); }
    void answer_next(const Bytes &bytes) { ASSERT_TRUE(token().inject_answer(bytes.data(), bytes.size())); }
    DWORD id_ = 0;
};

} // namespace

TEST_F(TokenCommands, EveryAnswerStatusByte) {
    const DWORD expected[32] = {0,  4,  5,  3,  9,  10, 11, 12, 14, 15, 16, 17, 20, 255, 255, 255,
                                255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
    for (int high = 0; high < 8; ++high)
        for (int low = 0; low < 32; ++low) {
            const BYTE b = (BYTE)(high << 5 | low);
            SCOPED_TRACE(b);
            answer_next({b});
            EXPECT_EQ(api().quva_LedControl(ctx(), 1), expected[low]);
        }
}

TEST_F(TokenCommands, OneByteAnswers) {
    // With a buffer of the caller's, a one-byte answer is data.
    BYTE b = 0;
    answer_next({0x21});
    EXPECT_EQ(command(0x50, {}, 1, &b), 0u);
    EXPECT_EQ(b, 0x21);
    // Without, it is mapped.
    answer_next({0x00});
    EXPECT_EQ(command(0x50, {}, 1, nullptr), 0u);
    answer_next({0x21});
    EXPECT_EQ(command(0x50, {}, 1, nullptr), 4u);
    answer_next({0x0D});
    EXPECT_EQ(command(0x50, {}, 1, nullptr), 255u);
    // Two bytes where one status byte was wanted.
    answer_next({0x00, 0x00});
    EXPECT_EQ(command(0x50, {}, 1, nullptr), 13u);
}

TEST_F(TokenCommands, AnswersOfTheWrongLength) {
    BYTE buf[4];
    answer_next({0x03});
    EXPECT_EQ(command(0x50, {}, 4, buf), 3u);
    answer_next({0x00});
    EXPECT_EQ(command(0x50, {}, 4, buf), 13u);
    answer_next({0x01, 0x02});
    EXPECT_EQ(command(0x50, {}, 4, buf), 13u);
    answer_next({});
    EXPECT_EQ(command(0x50, {}, 4, buf), 13u);
    answer_next({1, 2, 3, 4});
    EXPECT_EQ(command(0x50, {}, 4, buf), 0u);
    EXPECT_EQ(Bytes(buf, buf + 4), Bytes({1, 2, 3, 4}));
    // No answer asked for: the exchange's own result.
    answer_next({0x03});
    EXPECT_EQ(command(0x50, {}, 0, nullptr), 0u);
}

TEST_F(TokenCommands, DataLengthLimitAndMissingBuffers) {
    Bytes data(257, 0x5A);
    BYTE b;
    EXPECT_EQ(api().quva_Command(ctx(), 0x50, 257, data.data(), 1, &b), 17u);
    EXPECT_EQ(api().quva_Command(ctx(), 0x50, 0xFFFFFFFF, data.data(), 1, &b), 17u);
    EXPECT_EQ(api().quva_Command(ctx(), 0x50, 4, nullptr, 1, &b), 17u);
    EXPECT_EQ(api().quva_Command(ctx(), 0x50, 0, nullptr, 2, nullptr), 17u);
    EXPECT_EQ(winsim::tokens::log().size(), 0u);
    answer_next({0x00});
    EXPECT_EQ(api().quva_Command(ctx(), 0x50, 256, data.data(), 1, nullptr), 0u);
    auto log = winsim::tokens::log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(Bytes(log[0].request.begin() + 16, log[0].request.end()), Bytes(256, 0x5A));
}

TEST_F(TokenCommands, NothingOpenNothingSent) {
    api().quva_CloseDevice(ctx());
    winsim::tokens::clear_log();
    BYTE buf[8];
    DWORD count = 3;
    EXPECT_EQ(command(3, {1, 0}, 1, nullptr), 6u);
    EXPECT_EQ(api().quva_GetResponse(ctx(), buf, sizeof buf, &count), 6u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(api().quva_LedControl(ctx(), 1), 6u);
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_SERIAL, 0, buf, 8), 6u);
    EXPECT_EQ(winsim::tokens::log().size(), 0u);
}

TEST_F(TokenCommands, GetResponse) {
    BYTE buf[10];
    std::memset(buf, 0xEE, sizeof buf);
    DWORD count = 99;
    answer_next({1, 2, 3, 4});
    EXPECT_EQ(api().quva_GetResponse(ctx(), buf, sizeof buf, &count), 0u);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(Bytes(buf, buf + 10), Bytes({1, 2, 3, 4, 0, 0, 0, 0, 0, 0}));
    answer_next({0x02});
    EXPECT_EQ(api().quva_GetResponse(ctx(), buf, sizeof buf, &count), 5u);
    EXPECT_EQ(count, 1u);
    answer_next({});
    EXPECT_EQ(api().quva_GetResponse(ctx(), buf, sizeof buf, &count), 8u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Bytes(buf, buf + 10), Bytes(10, 0));
    EXPECT_EQ(api().quva_GetResponse(ctx(), buf, sizeof buf, nullptr), 17u);
    EXPECT_EQ(api().quva_GetResponse(ctx(), nullptr, 4, &count), 17u);
    auto log = winsim::tokens::log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(Bytes(log[0].request.begin() + 8, log[0].request.begin() + 16), Bytes({1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(TokenCommands, Diagnose) {
    WORD out[3] = {0xAAAA, 0xAAAA, 0xAAAA};
    answer_next({0xFF, 0x12, 0xFF, 0x00, 0xFF, 0x40});
    EXPECT_EQ(api().quva_Diagnose(ctx(), 0, out, 6), 0u);
    EXPECT_EQ(out[0], 0x12FF);
    EXPECT_EQ(out[1], 0xFFFF);
    EXPECT_EQ(out[2], 0);
    answer_next({0x01, 0x00, 0x03, 0, 0, 0});
    EXPECT_EQ(api().quva_Diagnose(ctx(), 0, out, 4), 12u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[1], 3);
    // The token's own answer.
    EXPECT_EQ(api().quva_Diagnose(ctx(), 0, out, 4), 0u);
    EXPECT_EQ(out[0], 0x0102);
    // A token error.
    answer_next({0x07});
    EXPECT_EQ(api().quva_Diagnose(ctx(), 0, out, 4), 12u);
    answer_next({0x01, 0x02});
    EXPECT_EQ(api().quva_Diagnose(ctx(), 0, out, 4), 13u);

    // Refused untouched: reserved, no output, an array smaller than two words.
    winsim::tokens::clear_log();
    WORD small[2] = {0x5555, 0x5555};
    EXPECT_EQ(api().quva_Diagnose(ctx(), 1, small, 4), 17u);
    EXPECT_EQ(api().quva_Diagnose(ctx(), 0, nullptr, 4), 17u);
    EXPECT_EQ(api().quva_Diagnose(ctx(), 0, small, 3), 17u);
    EXPECT_EQ(api().quva_Diagnose(ctx(), 0, small, 0), 17u);
    EXPECT_EQ(small[0], 0x5555);
    EXPECT_EQ(small[1], 0x5555);
    EXPECT_EQ(winsim::tokens::log().size(), 0u);

    // An odd address is fine.
    alignas(4) BYTE raw[7];
    EXPECT_EQ(api().quva_Diagnose(ctx(), 0, reinterpret_cast<LPWORD>(raw + 1), 6), 0u);
    EXPECT_EQ(Bytes(raw + 1, raw + 7), Bytes({0x02, 0x01, 0xFF, 0xFF, 0, 0}));
}

TEST_F(TokenCommands, LedAndItsProperties) {
    EXPECT_EQ(api().quva_LedControl(ctx(), 0x10002), 0u);
    EXPECT_EQ(token().led(), 2);
    EXPECT_EQ(api().quva_SetProperty(ctx(), QUVA_PROP_LED_ON, 7, 7, 7), 0u);
    EXPECT_EQ(token().led(), 1);
    EXPECT_EQ(api().quva_SetProperty(ctx(), QUVA_PROP_LED_OFF, 0, 0, 0), 0u);
    EXPECT_EQ(token().led(), 2);
    for (DWORD id : {0u, 6u, 7u, 10u, 11u, 0xFFFFFFFFu}) EXPECT_EQ(api().quva_SetProperty(ctx(), id, 0, 0, 0), 17u);
    auto log = winsim::tokens::log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(Bytes(log[1].request.begin() + 8, log[1].request.begin() + 18), Bytes({3, 0, 0, 0, 2, 0, 0, 0, 1, 0}));
    EXPECT_EQ(Bytes(log[2].request.begin() + 8, log[2].request.begin() + 18), Bytes({3, 0, 0, 0, 2, 0, 0, 0, 2, 0}));
    EXPECT_EQ(Bytes(log[0].request.begin() + 16, log[0].request.begin() + 18), Bytes({2, 0}));
}

TEST_F(TokenCommands, CapabilitiesAndDeviceInfoSizes) {
    BYTE buf[16];
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_CAPABILITIES, 0, buf, 8), 17u);
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_CAPABILITIES, 0, buf, 3), 17u);
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_DEVICE_INFO, 0, buf, 7), 17u);
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_CAPABILITIES, 0, nullptr, 4), 17u);
    for (DWORD id : {1u, 5u, 8u, 9u, 10u, 12u}) EXPECT_EQ(api().quva_GetProperty(ctx(), id, 0, buf, 8), 17u);
    EXPECT_EQ(winsim::tokens::log().size(), 0u);
}

TEST_F(TokenCommands, CapabilityBitsFromTheFirstFeatureByte) {
    const std::vector<std::pair<BYTE, DWORD>> cases = {{0x55, 0xF}, {0x40, 0}, {0x41, 0x3}, {0x50, 0x4},
                                                       {0x44, 0x8}, {0x7F, 0xF}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        winsim::tokens::TokenSpec s;
        s.descriptor = descriptor(0x3F, {c.first});
        DWORD id = winsim::tokens::plug(s);
        Bytes wanted = {0x51, 0x56, 0, 0, 0, 0, 0, (BYTE)id};
        ASSERT_EQ(open(QUVA_OPEN_BY_ID, wanted.data()), 0u);
        DWORD caps = 0xDEAD;
        EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_CAPABILITIES, 0, &caps, 4), 0u);
        EXPECT_EQ(caps, c.second);
    }
}

TEST_F(TokenCommands, SerialAndName) {
    BYTE serial[8];
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_SERIAL, 0, serial, 8), 0u);
    EXPECT_EQ(Bytes(serial, serial + 8), spec_with_serial(7).serial);
    auto log = winsim::tokens::log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(Bytes(log[0].request.begin() + 8, log[0].request.begin() + 16), Bytes({0x20, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(log[0].answer_size, 8u);

    char name[40];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_NAME, 0, name, sizeof name), 0u);
    EXPECT_STREQ(name, "Alice's token");
    EXPECT_EQ(std::string(name + 13, name + 40), std::string(27, '\0'));
    EXPECT_EQ(winsim::tokens::log().back().answer_size, 32u);

    // Sizes.
    winsim::tokens::clear_log();
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_SERIAL, 0, serial, 7), 17u);
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_SERIAL, 0, name, 9), 17u);
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_NAME, 0, name, 31), 17u);
    EXPECT_EQ(winsim::tokens::log().size(), 0u);
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_NAME, 0, name, 32), 0u);

    // A failure leaves the caller's buffer as it was.
    std::memset(name, 'x', sizeof name);
    answer_next({0x03});
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_NAME, 0, name, sizeof name), 3u);
    EXPECT_EQ(std::string(name, name + 40), std::string(40, 'x'));
    std::memset(serial, 0x77, sizeof serial);
    answer_next({0x00});
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_SERIAL, 0, serial, 8), 13u);
    EXPECT_EQ(Bytes(serial, serial + 8), Bytes(8, 0x77));
}

TEST_F(TokenCommands, ANameOfThirtyTwoCharacters) {
    winsim::tokens::TokenSpec s = spec_with_serial(8, std::string(32, 'N'));
    winsim::tokens::plug(s);
    ASSERT_EQ(open(QUVA_OPEN_BY_ID, s.serial.data()), 0u);
    char name[33];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_NAME, 0, name, 32), 0u);
    EXPECT_EQ(std::string(name, name + 33), std::string(32, 'N') + "x");
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_NAME, 0, name, 33), 0u);
    EXPECT_EQ(std::string(name), std::string(32, 'N'));
}

TEST_F(TokenCommands, ANamelessToken) {
    winsim::tokens::TokenSpec s = spec_with_serial(9);
    winsim::tokens::plug(s);
    ASSERT_EQ(open(QUVA_OPEN_BY_ID, s.serial.data()), 0u);
    char name[32];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(api().quva_GetProperty(ctx(), QUVA_PROP_NAME, 0, name, 32), 0u);
    EXPECT_EQ(std::string(name, name + 32), std::string(32, '\0'));
}
