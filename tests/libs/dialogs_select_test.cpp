// The token selection and wait-for-token dialogs, driven by a scripted user
// over simulated tokens.
#include "kit.h"

#include <quvab2.h>
#include <quvaui.h>
#include <tokenmodel/token.h>

#include <cstring>

using winsim::Os;
using winsim::user::DialogInfo;
using winsim::user::DialogUser;

namespace {

using SelectFn = DWORD(WINAPI *)(QUVA_CONTEXT, DWORD, LPCSTR, LPCSTR, LPVOID);
using WaitFn = DWORD(WINAPI *)(QUVA_CONTEXT, DWORD, LPCSTR, LPCSTR, LPVOID, DWORD);

const int k_list = 3107;
// A timer due at the very instant a script's wait ends runs after it: one
// millisecond more makes "within N ms" inclusive.
const DWORD k_inclusive = 1;

bool install_api() {
    return winsim::disk::install_library("C:\\APP\\QuvaAPI.DLL", "QUVAB2");
}

// A machine with the libraries, the token library under the name the dialogs
// bind, and one context of it.
struct Desk {
    kit::Machine m{Os::WinXp};
    bool api_installed = install_api();
    kit::Library api{"QuvaAPI.DLL"};
    kit::Library ui{"QUVAUI.DLL"};
    QUVA_CONTEXT context = nullptr;
    SelectFn select = ui.fn<SelectFn>("quvaUI_DlgSelectDeviceA");
    WaitFn wait = ui.fn<WaitFn>("quvaUI_DlgWaitForDeviceA");

    Desk() { EXPECT_EQ(api.fn<decltype(&quva_CreateContext)>("quva_CreateContext")(&context, 0, 512), 0u); }
    ~Desk() {
        api.fn<decltype(&quva_DeleteContext)>("quva_DeleteContext")(context);
        winsim::user::clear_dialog_rules();
        // The dialogs' lazy binding keeps QuvaAPI for the process's life, as
        // on Windows: give that reference back before the leak check.
        if (winsim::modules::references(api.handle()) > 1) FreeLibrary(api.handle());
    }
    // The serial of the token open in the context ("" when none).
    std::string open_serial() {
        BYTE s[8];
        if (api.fn<decltype(&quva_GetProperty)>("quva_GetProperty")(context, QUVA_PROP_SERIAL, 0, s, 8) != 0) return "";
        return std::string((const char *)s, 8);
    }
};

DWORD plug(const std::string &name, std::vector<BYTE> serial = {}) {
    winsim::tokens::TokenSpec spec;
    spec.name = name;
    spec.serial = serial;
    return winsim::tokens::plug(spec);
}

std::string serial_of(DWORD id) { return std::string((const char *)winsim::tokens::token(id)->serial(), 8); }
uint32_t led_changes(DWORD id) { return winsim::tokens::token(id)->led_changes(); }

std::vector<std::string> rows(const DialogInfo &d) {
    const auto *list = d.control(k_list);
    return list ? list->rows : std::vector<std::string>{};
}
bool ok_enabled(const DialogInfo &d) { return d.control(IDOK) && d.control(IDOK)->enabled; }

} // namespace

TEST(DialogsSelect, WithoutDialog) {
    Desk d;
    EXPECT_EQ(d.select(nullptr, 0, nullptr, nullptr, nullptr), 17u);
    EXPECT_EQ(d.select(d.context, 1, nullptr, nullptr, nullptr), 17u);
    EXPECT_EQ(d.select(d.context, 2, nullptr, nullptr, nullptr), 17u);
    // No token: the status that ended the count, never 0.
    DWORD r = d.select(d.context, 0, nullptr, nullptr, nullptr);
    EXPECT_EQ(r, 6u);
    // One token held by another process: counted, then its open answers 21.
    DWORD id = plug("Alice");
    winsim::tokens::hold_elsewhere(id);
    EXPECT_EQ(d.select(d.context, 0, nullptr, nullptr, nullptr), 21u);
    winsim::tokens::hold_elsewhere(id, false);
    // One free token: opened directly.
    EXPECT_EQ(d.select(d.context, SELECT_SHOW_SERIAL, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(d.open_serial(), serial_of(id));
    EXPECT_TRUE(winsim::user::dialogs().empty());
}

TEST(DialogsSelect, ListsFreeTokensAndBlinksTheChosenOne) {
    Desk d;
    DWORD unnamed = plug("", {1, 2, 3, 4, 5, 6, 7, 8});
    DWORD held = plug("Bob");
    DWORD carol = plug("Carol");
    winsim::tokens::hold_elsewhere(held);
    DialogInfo first;
    uint32_t carol_blinks = 0, unnamed_blinks = 0;
    winsim::user::on_dialog(3004, [&](DialogUser &u) {
        first = u.info();
        uint32_t c0 = led_changes(carol), u0 = led_changes(unnamed);
        u.select_row(k_list, "Carol");
        u.wait_ms(1000 + k_inclusive);
        carol_blinks = led_changes(carol) - c0;
        unnamed_blinks = led_changes(unnamed) - u0;
        u.click(IDOK);
    });
    EXPECT_EQ(d.select(d.context, SELECT_SHOW_SERIAL, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(first.caption, "Quva - Select Device");
    EXPECT_EQ(first.control(3100)->text, "Select the Quva from the list below.");
    EXPECT_EQ(first.control(3101)->text, "Quva:");
    EXPECT_FALSE(ok_enabled(first));
    EXPECT_EQ(rows(first), (std::vector<std::string>{"Carol (S/N:" + std::string("0300-0000-0000-5651") + ")",
                                                      "Quva A1 (S/N:0807-0605-0403-0201)"}));
    // Four blinks a second on the chosen token only; it ends at rest, open.
    EXPECT_EQ(carol_blinks, 4u);
    EXPECT_EQ(unnamed_blinks, 0u);
    EXPECT_EQ(winsim::tokens::token(carol)->led(), 1u);
    EXPECT_EQ(d.open_serial(), serial_of(carol));
}

TEST(DialogsSelect, FollowsTokensComingAndGoing) {
    Desk d;
    DWORD a = plug("Anna"), b = plug("Bert"), c = plug("Cleo");
    DialogInfo after_other, after_selected, after_new;
    uint32_t blinks_after_other = 0;
    winsim::user::on_dialog(3004, [&](DialogUser &u) {
        u.select_row(k_list, "Bert");
        // Another token goes: OK is disabled, the selection and blinking stay.
        winsim::tokens::unplug(a);
        u.wait_until([](const DialogInfo &i) { return rows(i).size() == 2; }, 2000 + k_inclusive);
        after_other = u.info();
        uint32_t b0 = led_changes(b);
        u.wait_ms(500 + k_inclusive);
        blinks_after_other = led_changes(b) - b0;
        // The selected token goes: its row and the selection with it.
        winsim::tokens::unplug(b);
        u.wait_until([](const DialogInfo &i) { return rows(i).size() == 1; }, 2000 + k_inclusive);
        after_selected = u.info();
        // A new token is listed at the next refresh, within 2 seconds.
        plug("Dora");
        u.wait_ms(2000 + k_inclusive);
        after_new = u.info();
        u.click(IDOK); // disabled: nothing happens
        u.click(IDCANCEL);
    });
    EXPECT_EQ(d.select(d.context, 0, nullptr, nullptr, nullptr), 25u);
    EXPECT_EQ(rows(after_other), (std::vector<std::string>{"Bert", "Cleo"}));
    EXPECT_FALSE(ok_enabled(after_other));
    EXPECT_EQ(after_other.control(k_list)->selected, 0);
    EXPECT_EQ(blinks_after_other, 2u);
    EXPECT_EQ(rows(after_selected), std::vector<std::string>{"Cleo"});
    EXPECT_FALSE(ok_enabled(after_selected));
    EXPECT_EQ(rows(after_new), (std::vector<std::string>{"Cleo", "Dora"}));
    EXPECT_EQ(d.open_serial(), ""); // cancelled: the context is closed
    (void)c;
}

TEST(DialogsWait, ArgumentsAndPresentToken) {
    Desk d;
    EXPECT_EQ(d.wait(nullptr, WAIT_INSERT, nullptr, nullptr, nullptr, 5), 17u);
    EXPECT_EQ(d.wait(d.context, WAIT_INSERT, nullptr, nullptr, nullptr, 0), 17u);
    EXPECT_EQ(d.wait(d.context, WAIT_INSERT | 0x8, nullptr, nullptr, nullptr, 5), 17u);
    EXPECT_EQ(d.wait(d.context, WAIT_REMOVE | 0x4, nullptr, nullptr, nullptr, 5), 17u);
    EXPECT_EQ(d.wait(d.context, WAIT_INSERT | 0x100, nullptr, nullptr, nullptr, 5), 17u);
    // Already inserted: 0 at once, no dialog, the context open on it
    // (bit 0 is ignored: wait mode 0).
    DWORD id = plug("Alice");
    EXPECT_EQ(d.wait(d.context, WAIT_INSERT | 1, nullptr, nullptr, nullptr, 5), 0u);
    EXPECT_EQ(d.open_serial(), serial_of(id));
    EXPECT_TRUE(winsim::user::dialogs().empty());
}

TEST(DialogsWait, TimeOuts) {
    Desk d;
    // Removal, token stays in: 25 after 3 seconds, that is 12 ticks.
    DWORD id = plug("Alice");
    d.api.fn<decltype(&quva_OpenDevice)>("quva_OpenDevice")(d.context, QUVA_OPEN_FIRST, nullptr);
    uint32_t leds = led_changes(id);
    uint64_t t0 = winsim::clock::now_ms();
    EXPECT_EQ(d.wait(d.context, WAIT_REMOVE | QUVA_OPEN_LAST, nullptr, nullptr, nullptr, 3), 25u);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 3000u);
    EXPECT_GE(led_changes(id) - leds, 11u);
    EXPECT_EQ(winsim::tokens::token(id)->led(), 1u); // back at rest
    auto shown = winsim::user::dialogs();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].shown.caption, "Quva");
    EXPECT_EQ(shown[0].shown.control(3100)->text, "Please remove your Quva.");
    EXPECT_EQ(d.open_serial(), serial_of(id)); // still open on the token

    // Insertion, nothing comes: one check after 1 second, then 25.
    winsim::tokens::unplug(id);
    t0 = winsim::clock::now_ms();
    EXPECT_EQ(d.wait(d.context, WAIT_INSERT, nullptr, nullptr, nullptr, 1), 25u);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 1000u);
    EXPECT_EQ(winsim::user::dialogs().back().shown.control(3100)->text, "Please insert your Quva.");

    // A particular token held elsewhere: each check gives up after a bounded
    // number of retries, and the wait runs out.
    std::vector<BYTE> serial{1, 2, 3, 4, 5, 6, 7, 8};
    DWORD busy = plug("Bob", serial);
    winsim::tokens::hold_elsewhere(busy);
    winsim::tokens::clear_log();
    t0 = winsim::clock::now_ms();
    EXPECT_EQ(d.wait(d.context, WAIT_INSERT | QUVA_OPEN_LAST, nullptr, nullptr, serial.data(), 2), 25u);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 2000u);
    size_t opens = 0;
    for (auto &c : winsim::tokens::log()) opens += c.code == 0x220404; // the driver's open control
    EXPECT_GT(opens, 3u * 2);  // the first check and two poll ticks, each retrying
    EXPECT_LT(opens, 3u * 40); // each bounded
}

TEST(DialogsWait, EndsWhenTheTokenComesOrGoes) {
    Desk d;
    DWORD id = 0;
    winsim::user::on_dialog(3005, [&](DialogUser &u) {
        u.wait_ms(1500);
        id = plug("Alice");
    });
    uint64_t t0 = winsim::clock::now_ms();
    EXPECT_EQ(d.wait(d.context, WAIT_INSERT, "Token", "Insert it now", nullptr, 0xFFFFFFFF), 0u);
    EXPECT_EQ(winsim::clock::now_ms() - t0, 2000u); // the next check after the plug
    EXPECT_EQ(d.open_serial(), serial_of(id));
    EXPECT_EQ(winsim::user::dialogs().back().shown.caption, "Token");
    EXPECT_EQ(winsim::user::dialogs().back().shown.control(3100)->text, "Insert it now");

    winsim::user::on_dialog(3005, [&](DialogUser &u) {
        u.wait_ms(600);
        winsim::tokens::unplug(id);
    });
    EXPECT_EQ(d.wait(d.context, WAIT_REMOVE | QUVA_OPEN_LAST, nullptr, nullptr, nullptr, 10), 0u);
    EXPECT_EQ(d.open_serial(), "");
}

TEST(DialogsWait, AnyTokenRemovalWaitsUntilNoneIsLeft) {
    Desk d;
    DWORD a = plug("Alice"), b = plug("Bob");
    d.api.fn<decltype(&quva_OpenDevice)>("quva_OpenDevice")(d.context, QUVA_OPEN_FIRST, nullptr);
    winsim::user::on_dialog(3005, [&](DialogUser &u) {
        u.wait_ms(1000);
        winsim::tokens::unplug(a);
        u.wait_ms(1000);
        winsim::tokens::unplug(b);
    });
    uint64_t t0 = winsim::clock::now_ms();
    EXPECT_EQ(d.wait(d.context, WAIT_REMOVE, nullptr, nullptr, nullptr, 10), 0u);
    EXPECT_GE(winsim::clock::now_ms() - t0, 2000u);
}
