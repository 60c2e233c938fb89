// The version the platform reports is the one under test: this also proves
// that Wine's version switch took effect before the other checks run.
#include "conformance.h"

#include <string>

namespace {

struct Expected {
    const char *os;
    DWORD platform, major, minor, build; // build: the low word on 9x
};

const Expected k_expected[] = {
    {"win95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, 950},   {"win98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222},
    {"winme", VER_PLATFORM_WIN32_WINDOWS, 4, 90, 3000}, {"nt40", VER_PLATFORM_WIN32_NT, 4, 0, 1381},
    {"win2k", VER_PLATFORM_WIN32_NT, 5, 0, 2195},       {"winxp", VER_PLATFORM_WIN32_NT, 5, 1, 2600},
};

const Expected *expected_for(const std::string &os) {
    for (const Expected &e : k_expected)
        if (os == e.os) return &e;
    return nullptr;
}

} // namespace

CONFORMANCE_TEST(version_answers_os_under_test) {
    const Expected *want = expected_for(conformance::os_name());
    REQUIRE(want != nullptr);

    OSVERSIONINFOA info;
    std::memset(&info, 0xCC, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    REQUIRE(GetVersionExA(&info));
    CHECK_EQ(info.dwOSVersionInfoSize, sizeof info);
    CHECK_EQ(info.dwPlatformId, want->platform);
    CHECK_EQ(info.dwMajorVersion, want->major);
    CHECK_EQ(info.dwMinorVersion, want->minor);
    if (conformance::is_9x()) {
        // 9x puts major.minor in the high word of the build number.
        CHECK_EQ(LOWORD(info.dwBuildNumber), want->build);
        CHECK_EQ(HIWORD(info.dwBuildNumber), MAKEWORD(want->minor, want->major));
    } else {
        CHECK_EQ(info.dwBuildNumber, want->build);
    }
    CHECK(std::memchr(info.szCSDVersion, 0, sizeof info.szCSDVersion) != nullptr);

    // GetVersion packs the same answer; bit 31 set on 9x.
    DWORD packed = GetVersion();
    CHECK_EQ(LOBYTE(LOWORD(packed)), want->major);
    CHECK_EQ(HIBYTE(LOWORD(packed)), want->minor);
    CHECK_EQ((packed & 0x80000000u) != 0, conformance::is_9x());
    if (conformance::is_nt()) CHECK_EQ(HIWORD(packed), want->build);
}

CONFORMANCE_TEST(version_rejects_wrong_record_size) {
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info - 1;
    SetLastError(0xdeadbeef);
    CHECK(!GetVersionExA(&info));
    CHECK_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

CONFORMANCE_SIM_ONLY(version_ex_record_only_on_nt,
                     "Wine answers the OSVERSIONINFOEXA record under every emulated version; Windows 9x refuses it") {
    OSVERSIONINFOEXA ex;
    std::memset(&ex, 0, sizeof ex);
    ex.dwOSVersionInfoSize = sizeof ex;
    SetLastError(0xdeadbeef);
    BOOL ok = GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex));
    CHECK_EQ(ok != FALSE, conformance::is_nt());
    if (!ok) CHECK_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}
