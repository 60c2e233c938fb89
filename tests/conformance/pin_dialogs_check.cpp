// The PIN and name dialogs refuse bad arguments before any window is made,
// with the same buffer and length rules on Windows, under Wine and on the
// simulator.
#include "conformance.h"

#include <windows.h>

#include <cstring>

namespace {

typedef DWORD(WINAPI *PinFn)(void *, DWORD, LPCSTR, LPCSTR, DWORD, LPBYTE, LPDWORD);
typedef DWORD(WINAPI *ChangeFn)(void *, DWORD, DWORD, LPCSTR, LPCSTR, DWORD, LPBYTE, LPDWORD, DWORD, LPBYTE,
                                LPDWORD);
typedef DWORD(WINAPI *NameFn)(void *, DWORD, LPCSTR, LPCSTR, LPSTR, DWORD);

const DWORD k_words = 0x20000000, k_unblock = 0x00200000;

bool all(const BYTE *p, size_t n, BYTE value) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != value) return false;
    return true;
}

} // namespace

CONFORMANCE_TEST(pin_dialogs_refuse_arguments) {
    HMODULE ui = LoadLibraryA("QUVAUI.DLL");
    REQUIRE(ui != nullptr);
    conformance::Cleanup undo([&] { FreeLibrary(ui); });
    auto get = (PinFn)(void *)GetProcAddress(ui, "quvaUI_DlgGetPINA");
    auto create = (PinFn)(void *)GetProcAddress(ui, "quvaUI_DlgNewPINA");
    auto change = (ChangeFn)(void *)GetProcAddress(ui, "quvaUI_DlgChangePINA");
    auto name = (NameFn)(void *)GetProcAddress(ui, "quvaUI_DlgGetTokenNameA");
    REQUIRE(get && create && change && name);
    int context = 0; // never used: refused before the LED is touched

    BYTE buf[140], other[16];
    DWORD length = 129;
    std::memset(buf, 0xEE, sizeof buf);
    CHECK_EQ(get(&context, 0, nullptr, nullptr, 0, buf, &length), 17);
    CHECK_EQ(length, 129);
    CHECK(all(buf, sizeof buf, 0xEE));
    CHECK_EQ(get(&context, 0, nullptr, nullptr, 0, nullptr, &length), 17);
    CHECK_EQ(get(&context, 0, nullptr, nullptr, 0, buf, nullptr), 17);

    // A refused flags word: the L bytes zeroed, nothing after them, L = 0.
    length = 6;
    CHECK_EQ(get(&context, k_words, nullptr, nullptr, 0, buf, &length), 17);
    CHECK_EQ(length, 0);
    CHECK(all(buf, 6, 0));
    CHECK(all(buf + 6, sizeof buf - 6, 0xEE));
    length = 8;
    CHECK_EQ(create(&context, k_unblock, nullptr, nullptr, 0, buf, &length), 17);
    CHECK_EQ(length, 0);

    DWORD other_length = 8;
    length = 8;
    std::memset(other, 0xEE, sizeof other);
    CHECK_EQ(change(&context, 1, 0, nullptr, nullptr, 0, buf, &length, 0, other, &other_length), 17);
    CHECK_EQ(length, 0);
    CHECK_EQ(other_length, 0);
    CHECK(all(other, 8, 0));

    char text[8] = "abc";
    CHECK_EQ(name(&context, 1, nullptr, nullptr, text, sizeof text), 17);
    CHECK_EQ(name(&context, 0, nullptr, nullptr, text, 0), 17);
    CHECK_EQ(name(&context, 0, nullptr, nullptr, nullptr, 8), 17);
    CHECK_STR(text, "abc");

}
