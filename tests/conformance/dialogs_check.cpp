// The dialogs library's status-code messages come from its string table
// through the platform's string loader: the same answers on Windows, under
// Wine and on the simulator, size rules included.
#include "conformance.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

typedef DWORD(WINAPI *GetErrorMsgFn)(DWORD, LPSTR, DWORD);

const char *const k_messages[] = {
    "Success",
    "Cannot open the Quva driver.",
    "Driver version not supported.",
    "Invalid command pass to API.",
    "Access denied.",
    "Counter already zero.",
    "Device not found.",
    "Device removed.",
    "Device communication error.",
    "The specified directory does not exist.",
    "File not found.",
    "Device memory is corrupted.",
    "Internal hardware error.",
    "Invalid response received from the device.",
    "The User PIN has expired.",
    "Directory or file already exists.",
    "Not enough memory to perform the operation.",
    "Invalid parameter passed to API.",
    "Data alignment error.",
    "Input data is too long.",
    "Invalid file selected or operation.",
    "The device is currently in use.",
    "The version of this library is not supported.",
    "Communication time-out.",
    "Item not found.",
    "Communication error, command aborted.",
};

} // namespace

CONFORMANCE_TEST(dialogs_status_messages) {
    HMODULE ui = LoadLibraryA("QUVAUI.DLL");
    REQUIRE(ui != nullptr);
    conformance::Cleanup undo([&] { FreeLibrary(ui); });
    auto get = (GetErrorMsgFn)(void *)GetProcAddress(ui, "quvaUI_GetErrorMsgA");
    REQUIRE(get != nullptr);

    char buf[128];
    for (DWORD code = 0; code < sizeof k_messages / sizeof *k_messages; code++) {
        std::memset(buf, '#', sizeof buf);
        CHECK_EQ(get(code, buf, sizeof buf), std::strlen(k_messages[code]));
        CHECK_STR(buf, k_messages[code]);
    }
    std::memset(buf, '#', sizeof buf);
    CHECK_EQ(get(255, buf, sizeof buf), 40);
    CHECK_STR(buf, "Invalid status returned from the device.");

    // Codes without a text, including ones whose 2000 + code leaves 16 bits.
    const DWORD none[] = {26, 31, 32, 100, 254, 256, 63536, 0xFFFFF830};
    for (DWORD code : none) {
        std::memset(buf, '#', sizeof buf);
        CHECK_EQ(get(code, buf, sizeof buf), 0);
        CHECK_STR(buf, "");
    }

    // The size counts the terminator; nothing is written beyond it.
    std::memset(buf, '#', sizeof buf);
    CHECK_EQ(get(17, buf, 8), 7);
    CHECK_STR(buf, "Invalid");
    CHECK_EQ(buf[8], '#');
    std::memset(buf, '#', sizeof buf);
    CHECK_EQ(get(0, buf, 1), 0);
    CHECK_STR(buf, "");
    CHECK_EQ(buf[1], '#');
    std::memset(buf, '#', sizeof buf);
    CHECK_EQ(get(0, buf, 0), 0);
    CHECK_EQ(buf[0], '#');

    // The platform's loader itself, on the library's own table.
    std::memset(buf, '#', sizeof buf);
    CHECK_EQ(LoadStringA((HINSTANCE)ui, 108, buf, 4), 3);
    CHECK_STR(buf, "Can");
    CHECK_EQ(buf[4], '#');
    CHECK_EQ(LoadStringA((HINSTANCE)ui, 104, buf, sizeof buf), 0);
    CHECK_EQ(LoadStringA((HINSTANCE)ui, 0x10000 + 107, buf, sizeof buf), 2);
    CHECK_STR(buf, "OK");
}

CONFORMANCE_TEST(dialogs_window_parameters) {
    HMODULE ui = LoadLibraryA("QUVAUI.DLL");
    REQUIRE(ui != nullptr);
    conformance::Cleanup undo([&] { FreeLibrary(ui); });
    auto set = (DWORD(WINAPI *)(HWND, DWORD))(void *)GetProcAddress(ui, "quvaUI_SetWindowParams");
    auto get = (void(WINAPI *)(HWND *, DWORD *))(void *)GetProcAddress(ui, "quvaUI_GetWindowParams");
    REQUIRE(set != nullptr && get != nullptr);

    HWND parent = (HWND)1;
    DWORD topmost = 7;
    get(&parent, &topmost);
    CHECK(parent == nullptr);
    CHECK_EQ(topmost, 0);
    CHECK_EQ(set(nullptr, 3), 3);
    get(&parent, &topmost);
    CHECK(parent == GetDesktopWindow());
    CHECK_EQ(topmost, 3);
    // Outputs the caller cannot take are skipped without a fault.
    static const DWORD read_only = 0x5A5A5A5A;
    get(nullptr, (DWORD *)&read_only);
    CHECK_EQ(read_only, 0x5A5A5A5A);
    set(nullptr, 0);
}
