// The token library's public header, included first and alone from C++
// (token_header_check.c does the same from C in every build).
#include "quvab2.h"

#include <gtest/gtest.h>

#include <cstddef>

TEST(TokenHeader, StandsAloneInCxx) {
    EXPECT_EQ(sizeof(QUVA_ATR), 34u);
    EXPECT_EQ(offsetof(QUVA_ATR, length), 32u);
    EXPECT_EQ(offsetof(QUVA_ATR, ifs), 33u);
    EXPECT_EQ(QUVA_OPEN_ACCEPTED_BITS & ~0xF07, 0);
    EXPECT_EQ(QUVA_SW_TOKEN_ERROR(QUVA_ERR_TIMEOUT), 0x9017);
    WORD(WINAPI * exchange)(QUVA_CONTEXT, DWORD, DWORD, DWORD, DWORD, const BYTE *, DWORD, LPBYTE, DWORD, LPDWORD) =
        nullptr;
    EXPECT_EQ(exchange, nullptr);
}
