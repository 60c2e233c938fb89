// The driver core as the kernel driver runs it: a fixed token array and
// buffered controls, whose request and answer share one buffer.
#include <tokenmodel/driver.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace tokenmodel;
using Bytes = std::vector<uint8_t>;

namespace {

void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

const DriverVersion k_version{k_driver_version, sizeof k_driver_version};

// One buffered control: `in` is copied into a buffer of max(in, out) bytes
// that also takes the answer.
struct Call {
    uint32_t error, returned;
    Bytes buffer;
};
Call run(TokenArray &set, const void *holder, uint32_t code, Bytes in, uint32_t out_size) {
    Bytes buffer(in.size() > out_size ? in.size() : out_size, 0);
    if (!in.empty()) std::memcpy(buffer.data(), in.data(), in.size());
    uint32_t returned = 0xDEAD;
    uint32_t e = driver_run(set.set(), k_version, holder, code, buffer.data(), (uint32_t)in.size(), buffer.data(),
                            out_size, &returned);
    return Call{e, returned, buffer};
}

Bytes open_frame(uint32_t after) {
    Bytes f(kOpenFrameSize, 0);
    put32(f.data(), after);
    put32(f.data() + 4, 0x81);
    put32(f.data() + 12, 255);
    return f;
}

// `size` may cut even the header.
Bytes command_frame(uint32_t id, uint16_t code, uint32_t length, size_t size = 272) {
    Bytes f(size < kCommandHeaderSize ? kCommandHeaderSize : size, 0);
    put32(f.data(), id);
    put32(f.data() + 8, code);
    put32(f.data() + 12, length);
    f.resize(size);
    return f;
}

} // namespace

TEST(TokenDriverCore, ArrayTakesAscendingNonZeroIdsUpToItsCapacity) {
    TokenArray set;
    EXPECT_FALSE(set.add(0));
    EXPECT_TRUE(set.add(3));
    EXPECT_FALSE(set.add(3));
    EXPECT_FALSE(set.add(2));
    for (uint32_t id = 4; set.count() < TokenArray::kCapacity; id++) EXPECT_TRUE(set.add(id));
    EXPECT_FALSE(set.add(100));
    EXPECT_EQ(set.next_above(0)->id, 3u);
    EXPECT_EQ(set.next_above(3)->id, 4u);
    EXPECT_EQ(set.find(2), nullptr);
    EXPECT_EQ(set.find(4)->model, &set.token(1));
}

TEST(TokenDriverCore, OpenAnswersInPlaceAndKeepsEachTokenToOneHolder) {
    TokenArray set;
    set.add(1);
    set.add(5);
    int a = 0, b = 0;
    Call r = run(set, &a, CTL_OPEN, open_frame(0), kOpenFrameSize);
    ASSERT_EQ(r.error, DRV_OK);
    EXPECT_EQ(r.returned, kOpenFrameSize);
    EXPECT_EQ(le32(r.buffer.data()), 1u);
    EXPECT_EQ(le32(r.buffer.data() + 4), 0x81u); // the request's flags stay
    EXPECT_EQ(le32(r.buffer.data() + 12), 0u);
    EXPECT_EQ(0, std::memcmp(r.buffer.data() + 16, k_default_descriptor, sizeof k_default_descriptor));

    // Held: another handle sees status 1 and does not take it.
    r = run(set, &b, CTL_OPEN, open_frame(0), kOpenFrameSize);
    EXPECT_EQ(le32(r.buffer.data() + 12), 1u);
    EXPECT_EQ(set.find(1)->holder, &a);
    EXPECT_EQ(run(set, &b, CTL_CLOSE, open_frame(1), 0).error, DRV_ACCESS_DENIED);
    EXPECT_EQ(run(set, &b, CTL_EXCHANGE, command_frame(1, CMD_GET_SERIAL, 0), 8).error, DRV_ACCESS_DENIED);

    // The next one is free; above the last there is none.
    r = run(set, &b, CTL_OPEN, open_frame(1), kOpenFrameSize);
    EXPECT_EQ(le32(r.buffer.data()), 5u);
    EXPECT_EQ(le32(r.buffer.data() + 12), 0u);
    EXPECT_EQ(run(set, &b, CTL_OPEN, open_frame(5), kOpenFrameSize).error, DRV_INVALID_HANDLE);
    EXPECT_EQ(run(set, &b, CTL_OPEN, open_frame(0), kOpenFrameSize - 1).error, DRV_INVALID_PARAMETER);

    // A closing handle lets go of what it held.
    driver_release(set.set(), &a);
    EXPECT_EQ(set.find(1)->holder, nullptr);
    EXPECT_EQ(set.find(5)->holder, &b);
    EXPECT_EQ(run(set, &b, CTL_CLOSE, open_frame(5), 0).error, DRV_OK);
    EXPECT_EQ(run(set, &b, CTL_CLOSE, open_frame(9), 0).error, DRV_TOKEN_GONE);
}

TEST(TokenDriverCore, ExchangeReadsTheCommandBeforeAnsweringOverIt) {
    TokenArray set;
    set.add(2);
    const uint8_t serial[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    set.token(0).set_serial(serial);
    int h = 0;
    ASSERT_EQ(run(set, &h, CTL_OPEN, open_frame(0), kOpenFrameSize).error, DRV_OK);

    Call r = run(set, &h, CTL_EXCHANGE, command_frame(2, CMD_GET_SERIAL, 0), 8);
    ASSERT_EQ(r.error, DRV_OK);
    EXPECT_EQ(r.returned, 8u);
    EXPECT_EQ(0, std::memcmp(r.buffer.data(), serial, 8));
    // Cut to the caller's buffer; the answer size in the high half is ignored.
    r = run(set, &h, CTL_EXCHANGE, command_frame(2, CMD_GET_SERIAL, 0x00030000), 3);
    EXPECT_EQ(r.returned, 3u);
    EXPECT_EQ(0, std::memcmp(r.buffer.data(), serial, 3));

    EXPECT_EQ(run(set, &h, CTL_EXCHANGE, command_frame(2, CMD_LED, 257, 16 + 257), 1).error, DRV_INVALID_PARAMETER);
    EXPECT_EQ(run(set, &h, CTL_EXCHANGE, command_frame(2, CMD_LED, 2, 17), 1).error, DRV_INVALID_PARAMETER);
    EXPECT_EQ(run(set, &h, CTL_EXCHANGE, command_frame(2, CMD_LED, 0, 15), 1).error, DRV_INVALID_PARAMETER);
    EXPECT_EQ(run(set, &h, CTL_EXCHANGE, command_frame(7, CMD_GET_SERIAL, 0), 8).error, DRV_TOKEN_GONE);
    EXPECT_EQ(run(set, &h, 0x220410, {}, 4).error, DRV_INVALID_FUNCTION);

    r = run(set, &h, CTL_VERSION, {}, 4);
    EXPECT_EQ(r.error, DRV_OK);
    EXPECT_EQ(le32(r.buffer.data()), 0x102u);
    r = run(set, &h, CTL_VERSION, {}, 2);
    EXPECT_EQ(r.error, DRV_MORE_DATA);
    EXPECT_EQ(r.returned, 2u);
}
