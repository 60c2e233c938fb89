// Token contexts: creation, deletion and the check every export makes of
// the context it is given.
#include "token_api.h"

using namespace token_test;

namespace {

class TokenContext : public Fixture {};

// Every export that takes a context, called with `bad`: each must answer 17
// (0x0011) and leave everything alone.
void expect_all_refuse(Api &api, QUVA_CONTEXT bad, const char *what) {
    SCOPED_TRACE(what);
    BYTE buf[64] = {};
    WORD words[2] = {0x1111, 0x2222};
    DWORD count = 99;
    BYTE pcb = 0;
    QUVA_ATR atr = {};
    BYTE serial[8] = {};
    winsim::tokens::clear_log();
    EXPECT_EQ(api.quva_DeleteContext(bad), 17u);
    EXPECT_EQ(api.quva_OpenDevice(bad, QUVA_OPEN_FIRST, nullptr), 17u);
    EXPECT_EQ(api.quva_OpenDevice(bad, QUVA_OPEN_BY_ID, serial), 17u);
    EXPECT_EQ(api.quva_CloseDevice(bad), 17u);
    EXPECT_EQ(api.quva_Command(bad, 3, 0, nullptr, 1, nullptr), 17u);
    EXPECT_EQ(api.quva_GetResponse(bad, buf, sizeof buf, &count), 17u);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(api.quva_Diagnose(bad, 0, words, sizeof words), 17u);
    EXPECT_EQ(words[0], 0x1111);
    EXPECT_EQ(api.quva_LedControl(bad, 1), 17u);
    EXPECT_EQ(api.quva_GetProperty(bad, QUVA_PROP_CAPABILITIES, 0, buf, 4), 17u);
    EXPECT_EQ(api.quva_SetProperty(bad, QUVA_PROP_LED_ON, 0, 0, 0), 17u);
    EXPECT_EQ(api.quva_ScardPowerUp(bad, 0, &atr), 17u);
    EXPECT_EQ(api.quva_ScardPowerDown(bad, 0), 17u);
    EXPECT_EQ(api.quva_ScardIO(bad, 0, buf, 1, buf, sizeof buf, &pcb, &count), 17u);
    EXPECT_EQ(api.quva_ScardExchange(bad, 0, 0xA4, 0, 0, buf, 2, buf, 0, &count), 0x0011);
    EXPECT_EQ(winsim::tokens::log().size(), 0u) << "a refused call reached the driver";
}

} // namespace

TEST_F(TokenContext, BadContextsAreRefusedByEveryExport) {
    winsim::tokens::plug();
    expect_all_refuse(api(), nullptr, "null");

    // Misaligned: inside a live context, one byte on.
    expect_all_refuse(api(), reinterpret_cast<QUVA_CONTEXT>(reinterpret_cast<BYTE *>(ctx()) + 1), "misaligned");

    // Foreign memory, even carrying the magic at its start.
    alignas(16) static BYTE foreign[4096 * 2];
    BYTE *page = reinterpret_cast<BYTE *>(((uintptr_t)foreign + 4095) & ~(uintptr_t)4095);
    expect_all_refuse(api(), reinterpret_cast<QUVA_CONTEXT>(page), "foreign");
    const DWORD magic = 0x5156544B;
    std::memcpy(page + 8, &magic, 4);
    expect_all_refuse(api(), reinterpret_cast<QUVA_CONTEXT>(page + 8), "foreign with the magic");

    // A deleted context.
    QUVA_CONTEXT gone = nullptr;
    ASSERT_EQ(api().quva_CreateContext(&gone, 0, 0), 0u);
    ASSERT_EQ(api().quva_DeleteContext(gone), 0u);
    expect_all_refuse(api(), gone, "deleted");

    // Read-only memory.
    void *ro = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READONLY);
    ASSERT_NE(ro, nullptr);
    expect_all_refuse(api(), reinterpret_cast<QUVA_CONTEXT>(ro), "read-only");
    VirtualFree(ro, 0, MEM_RELEASE);
}

TEST_F(TokenContext, CreateNeedsAnOutPointerAndReportsNoMemory) {
    EXPECT_EQ(api().quva_CreateContext(nullptr, 0, 0), 17u);

    QUVA_CONTEXT c = reinterpret_cast<QUVA_CONTEXT>(this);
    winsim::faults::fail("VirtualAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(api().quva_CreateContext(&c, 0, 0), 16u);
    EXPECT_EQ(c, nullptr);
}

TEST_F(TokenContext, ContextsAreIndependentAndFreedOnDelete) {
    QUVA_CONTEXT a = nullptr, b = nullptr;
    ASSERT_EQ(api().quva_CreateContext(&a, 0, 1), 0u);
    ASSERT_EQ(api().quva_CreateContext(&b, 0, 2), 0u);
    EXPECT_NE(a, b);
    // A context that never opened a token reads as all zero.
    BYTE info[12];
    std::memset(info, 0xAA, sizeof info);
    EXPECT_EQ(api().quva_GetProperty(a, QUVA_PROP_DEVICE_INFO, 0, info, sizeof info), 0u);
    EXPECT_EQ(Bytes(info, info + 12), Bytes(12, 0));
    EXPECT_EQ(api().quva_DeleteContext(a), 0u);
    EXPECT_EQ(api().quva_DeleteContext(a), 17u);
    EXPECT_EQ(api().quva_CloseDevice(b), 0u);
    EXPECT_EQ(api().quva_DeleteContext(b), 0u);
}

TEST_F(TokenContext, TheSmartCardLibraryIsHeldPerContextAndLetGo) {
    // XP has WINSCARD.DLL: each context loads it, deletion frees it; the
    // fixture's machine checks no module reference is left.
    ASSERT_TRUE(winsim::scard::library_installed());
    HMODULE h = GetModuleHandleA("WinScard.dll");
    ASSERT_NE(h, nullptr);
    int before = winsim::modules::references(h);
    QUVA_CONTEXT c = nullptr;
    ASSERT_EQ(api().quva_CreateContext(&c, 0, 0), 0u);
    EXPECT_EQ(winsim::modules::references(h), before + 1);
    EXPECT_EQ(api().quva_DeleteContext(c), 0u);
    EXPECT_EQ(winsim::modules::references(h), before);
}

TEST_F(TokenContext, AMissingSmartCardLibraryOrEntryPointNeverFailsCreation) {
    winsim::scard::install_library(false);
    recreate();
    winsim::scard::install_library(true);
    winsim::faults::fail("LoadLibraryA", ERROR_MOD_NOT_FOUND);
    recreate();
    // Entry point missing: the resource-manager path fails cleanly with 6.
    use_resource_manager(2);
    open_pcsc_gate();
    winsim::tokens::plug();
    winsim::faults::fail("GetProcAddress", ERROR_PROC_NOT_FOUND, 1, 4); // SCardControl
    recreate();
    EXPECT_EQ(open(QUVA_OPEN_FIRST), 6u);
    // Even the caller's card handle gets a clean failure rather than a call
    // through nothing.
    SCARDHANDLE card = 0x1234;
    EXPECT_EQ(open(QUVA_OPEN_CARD_HANDLE, &card), 6u);
}
