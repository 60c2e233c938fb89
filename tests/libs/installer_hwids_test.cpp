// The token hardware ID matcher, an internal operation of the driver
// installer library: built here from the library's own source.
#include "../../installer/hwids.cpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

std::vector<DWORD> flags() { return std::vector<DWORD>(quvadi_model_present, quvadi_model_present + QUVADI_TOKEN_MODELS); }

void clear_flags() { std::fill(quvadi_model_present, quvadi_model_present + QUVADI_TOKEN_MODELS, 0); }

TEST(InstallerHwids, CaseInsensitivePrefixOfAWholeRow) {
    clear_flags();
    EXPECT_TRUE(MatchTokenHardwareId("USB\\VID_1F3C&PID_1000", TRUE));
    EXPECT_TRUE(MatchTokenHardwareId("USB\\VID_1F3C&PID_1000&REV_0100", TRUE));
    EXPECT_TRUE(MatchTokenHardwareId("usb\\vid_1f3c&pid_1300&rev_0001", TRUE));
    EXPECT_EQ(flags(), (std::vector<DWORD>{1, 0, 0, 0, 0, 1, 0}));

    // Shorter than a row, another vendor, a near miss, empty, null.
    for (const char *id : {"USB\\VID_1F3C&PID_100", "USB\\VID_1F3D&PID_1000", "USB\\VID_1F3C&PID_1302",
                           "USB\\VID_1F3C&PID_12", "", "XUSB\\VID_1F3C&PID_1000"})
        EXPECT_FALSE(MatchTokenHardwareId(id, TRUE)) << id;
    EXPECT_FALSE(MatchTokenHardwareId(nullptr, TRUE));
    EXPECT_EQ(flags(), (std::vector<DWORD>{1, 0, 0, 0, 0, 1, 0}));
}

TEST(InstallerHwids, EveryRowMarksItsOwnFlagAndOnlyWhenAsked) {
    for (int row = 0; row < QUVADI_TOKEN_MODELS; row++) {
        clear_flags();
        EXPECT_TRUE(MatchTokenHardwareId(quvadi_token_hwids[row], FALSE));
        EXPECT_EQ(flags(), std::vector<DWORD>(QUVADI_TOKEN_MODELS, 0)) << row;
        EXPECT_TRUE(MatchTokenHardwareId(quvadi_token_hwids[row], TRUE));
        std::vector<DWORD> want(QUVADI_TOKEN_MODELS, 0);
        want[row] = 1;
        EXPECT_EQ(flags(), want) << row;
    }
    // Matching without the mark leaves set flags set, too.
    EXPECT_TRUE(MatchTokenHardwareId("USB\\VID_1F3C&PID_1000", FALSE));
    EXPECT_EQ(quvadi_model_present[6], 1u);
    EXPECT_STREQ(quvadi_token_model_names[5], quvadi_token_model_names[6]);
}

} // namespace
