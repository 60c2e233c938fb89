// The token models' USB hardware IDs and the matcher every device walk uses.
#include "internal.h"

#include <cctype>
#include <cstring>

const char *const quvadi_token_hwids[QUVADI_TOKEN_MODELS] = {
    "USB\\VID_1F3C&PID_1000", "USB\\VID_1F3C&PID_1001", "USB\\VID_1F3C&PID_1200", "USB\\VID_1F3C&PID_1201",
    "USB\\VID_1F3C&PID_1202", "USB\\VID_1F3C&PID_1300", "USB\\VID_1F3C&PID_1301",
};

const char *const quvadi_token_model_names[QUVADI_TOKEN_MODELS] = {
    "Vornel Quva A1",  "Vornel Quva A12", "Vornel Quva B2", "Vornel Quva JavaCard",
    "Vornel Quva B2S", "Vornel Quva C3",  "Vornel Quva C3",
};

DWORD quvadi_model_present[QUVADI_TOKEN_MODELS];

namespace {

// Case-insensitive comparison of the first n characters, in the C runtime's
// current locale; stops at the end of either string.
bool prefix_equal(const char *s, const char *prefix, size_t n) {
    for (size_t i = 0; i < n; i++) {
        int a = std::tolower((unsigned char)s[i]);
        int b = std::tolower((unsigned char)prefix[i]);
        if (a != b) return false;
        if (a == 0) return true;
    }
    return true;
}

} // namespace

BOOL MatchTokenHardwareId(LPCSTR hwid, BOOL mark) {
    if (!hwid) return FALSE;
    for (int row = 0; row < QUVADI_TOKEN_MODELS; row++) {
        const char *id = quvadi_token_hwids[row];
        if (prefix_equal(hwid, id, std::strlen(id))) {
            if (mark) quvadi_model_present[row] = 1;
            return TRUE;
        }
    }
    return FALSE;
}
