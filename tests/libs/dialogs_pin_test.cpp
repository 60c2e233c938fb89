// The PIN and name dialogs: argument checks, texts per kind and class, the
// entry's encodings, the new-secret check, the LED blink and its lazy binding
// of the token library, and the wiping of the library's copies of a secret.
#include "kit.h"

#include <quvab2.h>
#include <quvaui.h>
#include <tokenmodel/token.h>

#include <link.h>

#include <cstring>
#include <string>
#include <vector>

using winsim::Os;
using winsim::user::DialogInfo;
using winsim::user::DialogUser;

namespace {

using Bytes = std::vector<BYTE>;
using PinFn = decltype(&quvaUI_DlgGetPINA);
using ChangeFn = decltype(&quvaUI_DlgChangePINA);
using NameFn = decltype(&quvaUI_DlgGetTokenNameA);

const int kGet = 3000, kNew = 3001, kChange = 3002, kName = 3003;

// A plain search: the memory walked holds the sanitizer's red zones between
// the library's variables, which are fine to read here.
__attribute__((no_sanitize("address"))) bool contains(const char *start, size_t n, const std::string &what) {
    for (size_t i = 0; i + what.size() <= n; i++) {
        size_t k = 0;
        while (k < what.size() && start[i + k] == what[k]) k++;
        if (k == what.size()) return true;
    }
    return false;
}

// Whether `secret` is anywhere in the writable memory of the loaded QUVAUI
// image (its static buffers).
bool in_library_memory(const std::string &secret) {
    struct Search {
        const std::string *secret;
        bool found;
    } s{&secret, false};
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            auto *s = static_cast<Search *>(data);
            std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (name.size() < 9 || name.compare(name.size() - 9, 9, "QUVAUI.so") != 0) return 0;
            for (int i = 0; i < info->dlpi_phnum; i++) {
                const ElfW(Phdr) &ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_W)) continue;
                auto *start = reinterpret_cast<const char *>(info->dlpi_addr + ph.p_vaddr);
                if (contains(start, ph.p_memsz, *s->secret)) s->found = true;
            }
            return 0;
        },
        &s);
    return s.found;
}

class PinDialogs : public ::testing::Test {
protected:
    void TearDown() override {
        winsim::user::clear_dialog_rules();
        // The lazy binding keeps QuvaAPI for the rest of the process, as on
        // Windows: give that reference back before the leak check.
        lib_.reset();
        if (HMODULE api = GetModuleHandleA("QuvaAPI.dll"))
            while (winsim::modules::references(api) > 0) FreeLibrary(api);
    }

    // Buffer of L bytes followed by guard bytes.
    struct Out {
        Bytes bytes;
        DWORD length;
        explicit Out(DWORD l) : bytes(l + 8, 0xEE), length(l) {}
        Bytes got() const { return Bytes(bytes.begin(), bytes.begin() + length); }
        std::string text() const { return std::string((const char *)bytes.data()); }
        bool guards_intact(DWORD l) const {
            for (size_t i = l; i < bytes.size(); i++)
                if (bytes[i] != 0xEE) return false;
            return true;
        }
    };

    DWORD get_pin(DWORD flags, Out &out, DWORD min = 0, QUVA_CONTEXT ctx = nullptr) {
        return ui().fn<PinFn>("quvaUI_DlgGetPINA")(ctx, flags, nullptr, nullptr, min, out.bytes.data(), &out.length);
    }
    DWORD new_pin(DWORD flags, Out &out, DWORD min = 0, QUVA_CONTEXT ctx = nullptr) {
        return ui().fn<PinFn>("quvaUI_DlgNewPINA")(ctx, flags, nullptr, nullptr, min, out.bytes.data(), &out.length);
    }
    DWORD change_pin(DWORD cur_flags, DWORD new_flags, Out &cur, Out &neu, DWORD min_cur = 0, DWORD min_new = 0) {
        return ui().fn<ChangeFn>("quvaUI_DlgChangePINA")(nullptr, cur_flags, new_flags, nullptr, nullptr, min_cur,
                                                         cur.bytes.data(), &cur.length, min_new, neu.bytes.data(),
                                                         &neu.length);
    }
    DWORD get_name(char *buffer, DWORD size, DWORD flags = 0, QUVA_CONTEXT ctx = nullptr) {
        return ui().fn<NameFn>("quvaUI_DlgGetTokenNameA")(ctx, flags, nullptr, nullptr, buffer, size);
    }

    // The user types one text per field (3104, 3105, ...) and presses OK.
    static void answer(int template_id, std::vector<std::string> fields) {
        winsim::user::on_dialog(template_id, [fields](DialogUser &u) {
            for (size_t i = 0; i < fields.size(); i++) u.type(3104 + (int)i, fields[i]);
            u.click(IDOK);
        });
    }
    static void cancel(int template_id) {
        winsim::user::on_dialog(template_id, [](DialogUser &u) { u.click(IDCANCEL); });
    }
    static DialogInfo last_shown() {
        auto d = winsim::user::dialogs();
        return d.empty() ? DialogInfo{} : d.back().shown;
    }
    static std::string text_of(const DialogInfo &d, int id) {
        auto *c = d.control(id);
        return c ? c->text : "<missing>";
    }

    const kit::Library &ui() {
        if (!lib_) lib_.reset(new kit::Library("QUVAUI.DLL"));
        return *lib_;
    }

    kit::Machine machine_{Os::WinXp};
    std::unique_ptr<kit::Library> lib_;
};

} // namespace

// The common refusals are in tests/conformance/pin_dialogs_check.cpp, which
// also runs on Windows; here what only the simulator shows.
TEST_F(PinDialogs, ArgumentsAreCheckedBeforeAnyWindow) {
    // Refused flags: the L bytes zeroed, nothing past them, the length 0.
    for (DWORD flags : {0x10000000u, 0x00080000u}) {
        Out o(8);
        EXPECT_EQ(get_pin(flags, o), 17u) << std::hex << flags;
        EXPECT_EQ(o.length, 0u);
        EXPECT_EQ(Bytes(o.bytes.begin(), o.bytes.begin() + 8), Bytes(8, 0));
        EXPECT_TRUE(o.guards_intact(8));
    }
    // Buffers that can take no entry: no room for a character and the terminator.
    Out one(1), none(0);
    EXPECT_EQ(get_pin(0, one), 17u);
    EXPECT_EQ(one.length, 0u);
    EXPECT_EQ(get_pin(PIN_BINARY, none), 17u);
    Out cur(8), neu(129);
    EXPECT_EQ(change_pin(0, 0, cur, neu), 17u);
    EXPECT_EQ(cur.bytes[0], 0xEE) << "nothing zeroed before every pointer and length passed";
    EXPECT_TRUE(winsim::user::dialogs().empty());

    // A dialog that cannot be made is a failure, not a confirmation.
    winsim::faults::fail("DialogBoxParamA", ERROR_NOT_ENOUGH_MEMORY, 2);
    Out failed(8);
    EXPECT_EQ(get_pin(0, failed), 16u);
    EXPECT_EQ(failed.length, 0u);
    char kept[8] = "abc";
    EXPECT_EQ(get_name(kept, sizeof kept), 16u);
    EXPECT_STREQ(kept, "abc");
}

TEST_F(PinDialogs, TextsFollowKindAndClass) {
    struct Case {
        int tmpl;
        DWORD flags, min, length;
        std::string caption, prompt, label;
    } cases[] = {
        {kGet, PIN_KIND_PASSWORD, 1, 8, "Quva - Enter Password", "Enter the password.", "Password:"},
        {kGet, PIN_KIND_UNBLOCK, 1, 8, "Quva - Enter PIN", "Enter the unblock PIN.", "PIN:"},
        {kGet, PIN_KIND_SO, 1, 8, "Quva - Enter PIN", "Enter the Security Officer PIN.", "PIN:"},
        {kGet, PIN_KIND_USER | PIN_PLAIN, 1, 8, "Quva - Enter PIN", "Enter the User PIN.", "PIN:"},
        {kGet, PIN_KIND_USER | PIN_KIND_SO, 1, 8, "Quva - Enter PIN", "Enter the PIN.", "PIN:"},
        {kNew, PIN_KIND_USER | PIN_CLASS_NUMERIC, 4, 9, "Quva - New PIN",
         "Enter the new User PIN.\n\nThe User PIN must be numeric and may be between 4 to 8 characters in length.",
         "New PIN:"},
        {kNew, PIN_KIND_PASSWORD | PIN_BINARY, 6, 128, "Quva - New Password",
         "Enter the new password.\n\nThe password must be hexadecimal and may be between 6 to 256 characters in "
         "length.",
         "New Password:"},
        {kChange, PIN_KIND_PASSWORD | PIN_CLASS_NUMERIC, 2, 16, "Quva - Change Password",
         "Enter the current and new password.\n\nThe new password must be numeric and may be between 2 to 15 "
         "characters in length.",
         "Current Password:"},
        {kChange, PIN_KIND_PASSWORD | PIN_CLASS_ALPHA, 2, 16, "Quva - Change Password",
         "Enter the current and new password.\n\nThe new password must be alphabetical and may be between 2 to 15 "
         "characters in length.",
         "Current Password:"},
        {kChange, PIN_CLASS_PACKED, 1, 4, "Quva - Change PIN",
         "Enter the current and new PIN.\n\nThe new PIN must be numeric and may be between 1 to 3 characters in "
         "length.",
         "Current PIN:"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.caption + " / " + c.prompt);
        winsim::user::clear_dialogs();
        cancel(c.tmpl);
        Out a(c.length), b(c.length);
        DWORD r = c.tmpl == kGet ? get_pin(c.flags, a, c.min)
                  : c.tmpl == kNew ? new_pin(c.flags, a, c.min)
                                   : change_pin(0, c.flags, a, b, 1, c.min);
        EXPECT_EQ(r, 25u);
        EXPECT_EQ(a.length, 0u);
        DialogInfo d = last_shown();
        EXPECT_EQ(d.template_id, c.tmpl);
        EXPECT_EQ(d.caption, c.caption);
        EXPECT_EQ(text_of(d, 3100), c.prompt);
        EXPECT_EQ(text_of(d, 3101), c.label);
        EXPECT_EQ(text_of(d, IDOK), "OK");
        EXPECT_EQ(text_of(d, IDCANCEL), "Cancel");
        EXPECT_FALSE(d.control(IDOK)->enabled);
        EXPECT_TRUE(d.control(3104)->focused);
        int fields = c.tmpl == kGet ? 1 : c.tmpl == kNew ? 2 : 3;
        // Text form: L - 1 characters, so that the terminator fits.
        int limit = (c.flags & PIN_BINARY) ? 2 * (int)c.length : (int)c.length - 1;
        for (int i = 0; i < fields; i++) {
            auto *e = d.control(3104 + i);
            EXPECT_EQ(e->password_char, (c.flags & PIN_PLAIN) ? 0 : '*');
            if (c.tmpl != kChange || i > 0) {
                EXPECT_EQ(e->limit, limit) << i;
            }
        }
    }
    // A caller's texts are used verbatim.
    winsim::user::on_dialog(kNew, [](DialogUser &u) { u.click(IDCANCEL); });
    Out o(8);
    ui().fn<PinFn>("quvaUI_DlgNewPINA")(nullptr, 0, "Mine", "Between %d and %d", 1, o.bytes.data(), &o.length);
    EXPECT_EQ(last_shown().caption, "Mine");
    EXPECT_EQ(text_of(last_shown(), 3100), "Between %d and %d");
}

TEST_F(PinDialogs, EntriesAreReturnedAsTextBytesOrWords) {
    struct Case {
        int tmpl;
        DWORD flags, length;
        std::string typed;
        Bytes want;
    } cases[] = {
        {kGet, PIN_BINARY | PIN_CLASS_NUMERIC, 8, "1234", {0x12, 0x34}},
        {kGet, PIN_BINARY | PIN_CLASS_HEX, 8, "123", {0x12, 0x03}},
        {kGet, PIN_BINARY | PIN_WORDS | PIN_CLASS_PACKED, 4, "00000010", {0x10, 0, 0, 0}},
        {kGet, PIN_BINARY | PIN_CLASS_ALPHA, 8, "ab12", {0xAB, 0x12}},
        {kGet, PIN_BINARY | PIN_WORDS | PIN_CLASS_NUMERIC, 8, "1234", {0xD2, 0x04, 0, 0}},
        {kNew, PIN_BINARY | PIN_WORDS | PIN_CLASS_NUMERIC, 8, "1234", {0x34, 0x12, 0, 0}},
        {kGet, PIN_BINARY | PIN_CLASS_ALNUM, 8, "1z", {0xFF}}, // numeric: 'z' counts as 0xFF
        {kGet, 0, 5, "abcdefg", {'a', 'b', 'c', 'd'}},         // text form: L - 1 characters
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.typed + " flags " + std::to_string(c.flags));
        answer(c.tmpl, {c.typed, c.typed});
        Out o(c.length);
        DWORD r = c.tmpl == kGet ? get_pin(c.flags, o) : new_pin(c.flags, o);
        EXPECT_EQ(r, 0u);
        EXPECT_EQ(o.got(), c.want);
        if (!(c.flags & PIN_BINARY)) {
            EXPECT_EQ(o.bytes[o.length], 0) << "terminated";
        }
        EXPECT_TRUE(o.guards_intact(c.length)) << "nothing written past L";
    }
    // L = 128 in binary form takes 256 characters, all returned.
    std::string typed(300, '7');
    answer(kGet, {typed});
    Out o(128);
    EXPECT_EQ(get_pin(PIN_BINARY | PIN_CLASS_HEX, o), 0u);
    EXPECT_EQ(o.length, 128u);
    EXPECT_EQ(o.got(), Bytes(128, 0x77));
    // Change: each entry with its own flags word.
    answer(kChange, {"0102", "abc", "abc"});
    Out cur(8), neu(8);
    EXPECT_EQ(change_pin(PIN_BINARY | PIN_CLASS_HEX, PIN_CLASS_ALPHA, cur, neu), 0u);
    EXPECT_EQ(cur.got(), Bytes({0x01, 0x02}));
    EXPECT_EQ(neu.text(), "abc");
    EXPECT_EQ(neu.length, 3u);
}

TEST_F(PinDialogs, AWrongNewEntryIsRefusedAndTypedAgain) {
    std::vector<DialogInfo> after;
    winsim::user::on_dialog(kNew, [&after](DialogUser &u) {
        for (auto pair : {std::make_pair("1234", "1235"), std::make_pair("12a4", "12a4"),
                          std::make_pair("4321", "4321")}) {
            u.type(3104, pair.first);
            u.type(3105, pair.second);
            u.click(IDOK);
            if (u.alive()) after.push_back(u.info());
        }
    });
    Out o(9);
    EXPECT_EQ(new_pin(PIN_KIND_USER | PIN_CLASS_NUMERIC, o, 4), 0u);
    EXPECT_EQ(o.text(), "4321");
    auto boxes = winsim::user::message_boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "The PIN values do not match.");
    EXPECT_EQ(boxes[1].text, "The new PIN may only contain numeric characters.");
    EXPECT_EQ(boxes[0].caption, "Quva - New PIN");
    EXPECT_EQ(boxes[0].type, (UINT)(MB_ICONEXCLAMATION | MB_OK));
    ASSERT_EQ(after.size(), 2u);
    for (const DialogInfo &d : after) {
        EXPECT_EQ(text_of(d, 3104), "");
        EXPECT_EQ(text_of(d, 3105), "");
        EXPECT_FALSE(d.control(IDOK)->enabled);
        EXPECT_TRUE(d.control(3104)->focused);
    }

    // Passwords: their own texts; the current secret is never class-checked.
    winsim::user::clear_message_boxes();
    winsim::user::on_dialog(kChange, [](DialogUser &u) {
        u.type(3104, "!!");
        u.type(3105, "ab");
        u.type(3106, "ba");
        u.click(IDOK);
        u.type(3104, "!!");
        u.type(3105, "ab");
        u.type(3106, "ab");
        u.click(IDOK);
    });
    Out cur(8), neu(8);
    EXPECT_EQ(change_pin(0, PIN_KIND_PASSWORD | PIN_CLASS_ALPHA, cur, neu), 0u);
    ASSERT_EQ(winsim::user::message_boxes().size(), 1u);
    EXPECT_EQ(winsim::user::message_boxes()[0].text, "The passwords do not match.");
    EXPECT_EQ(cur.text(), "!!");
    EXPECT_EQ(neu.text(), "ab");

    // A minimum of 0: OK comes on with empty fields, and empty is a mismatch.
    winsim::user::clear_message_boxes();
    winsim::user::on_dialog(kNew, [](DialogUser &u) {
        u.type(3104, "a\b");
        u.click(IDOK);
        u.click(IDCANCEL);
    });
    Out e(8);
    EXPECT_EQ(new_pin(0, e), 25u);
    ASSERT_EQ(winsim::user::message_boxes().size(), 1u);
    EXPECT_EQ(winsim::user::message_boxes()[0].text, "The PIN values do not match.");
}

TEST_F(PinDialogs, TheNameDialog) {
    // An empty name is an answer.
    char name[33] = "Old name";
    winsim::user::on_dialog(kName, [](DialogUser &u) {
        EXPECT_EQ(u.info().control(3104)->text, "Old name");
        u.clear(3104);
        u.click(IDOK);
    });
    EXPECT_EQ(get_name(name, sizeof name), 0u);
    EXPECT_STREQ(name, "");
    DialogInfo d = last_shown();
    EXPECT_EQ(d.caption, "Quva - Enter Name");
    EXPECT_EQ(text_of(d, 3101), "Name:");
    EXPECT_EQ(text_of(d, 3100), "Enter the Quva name.\n\nThe name can contain any character and cannot be greater "
                                "than 32 characters in length.");
    EXPECT_TRUE(d.control(IDOK)->enabled);

    // A current name longer than 32 is shown cut; the field takes no more.
    char longer[64];
    std::memset(longer, 'n', 40);
    longer[40] = '\0';
    winsim::user::on_dialog(kName, [](DialogUser &u) {
        EXPECT_EQ(u.info().control(3104)->text, std::string(32, 'n'));
        EXPECT_EQ(u.info().control(3104)->limit, 32);
        u.click(IDOK);
    });
    EXPECT_EQ(get_name(longer, sizeof longer), 0u);
    EXPECT_EQ(std::string(longer), std::string(32, 'n'));

    // A small buffer: the field, the prompt and the copy keep to it.
    char small[8 + 4];
    std::memset(small, '#', sizeof small);
    std::memcpy(small, "abcdefghij", 8); // not terminated within the 8 characters
    winsim::user::on_dialog(kName, [](DialogUser &u) {
        EXPECT_EQ(u.info().control(3104)->text, "abcdefg");
        EXPECT_EQ(u.info().control(3104)->limit, 7);
        u.click(IDOK);
    });
    EXPECT_EQ(get_name(small, 8), 0u);
    EXPECT_EQ(std::string(small), "abcdefg");
    EXPECT_EQ(std::string(small + 8, 4), "####");
    EXPECT_NE(text_of(last_shown(), 3100).find("greater than 7 characters"), std::string::npos);

    // Cancel leaves the buffer alone.
    std::strcpy(name, "Kept");
    cancel(kName);
    EXPECT_EQ(get_name(name, sizeof name), 25u);
    EXPECT_STREQ(name, "Kept");
}

TEST_F(PinDialogs, TheLedBlinksOnlyWithAContextAndRestsAtTheEnd) {
    // Without a context the token library is never bound.
    answer(kGet, {"1234"});
    Out o(8);
    EXPECT_EQ(get_pin(0, o), 0u);
    EXPECT_EQ(GetModuleHandleA("QuvaAPI.dll"), nullptr);

    winsim::disk::install_library("C:\\APP\\QuvaAPI.DLL", "QUVAB2");
    DWORD id = winsim::tokens::plug();
    kit::Library api("QuvaAPI.dll");
    QUVA_CONTEXT ctx = nullptr;
    ASSERT_EQ(api.fn<decltype(&quva_CreateContext)>("quva_CreateContext")(&ctx, 0, 512), 0u);
    ASSERT_EQ(api.fn<decltype(&quva_OpenDevice)>("quva_OpenDevice")(ctx, QUVA_OPEN_FIRST, nullptr), 0u);
    tokenmodel::Token *token = winsim::tokens::token(id);
    const uint32_t changes = token->led_changes();

    std::vector<int> leds;
    std::vector<uint64_t> times;
    winsim::user::on_dialog(kGet, [&](DialogUser &u) {
        u.wait_ms(10); // between the ticks
        for (int i = 0; i < 3; i++) {
            u.wait_ms(250);
            leds.push_back(token->led());
            times.push_back(winsim::clock::now_ms());
        }
        u.click(IDCANCEL);
    });
    EXPECT_EQ(get_pin(0, o, 0, ctx), 25u);
    // 9 (state 2), 8 (state 1), 9; then back to rest.
    EXPECT_EQ(leds, std::vector<int>({2, 1, 2}));
    EXPECT_EQ(times[1] - times[0], 250u);
    EXPECT_EQ(token->led(), 1);
    EXPECT_EQ(token->led_changes() - changes, 4u);
    EXPECT_EQ(winsim::modules::references(api.handle()), 2) << "bound once, by the dialogs";

    // The toggle state carries over: this dialog's first tick sets 8.
    leds.clear();
    winsim::user::on_dialog(kGet, [&](DialogUser &u) {
        u.wait_ms(260);
        leds.push_back(token->led());
        u.wait_ms(250);
        leds.push_back(token->led());
        u.click(IDCANCEL);
    });
    Out again(8);
    EXPECT_EQ(get_pin(0, again, 0, ctx), 25u);
    EXPECT_EQ(leds, std::vector<int>({1, 2}));
    EXPECT_EQ(api.fn<decltype(&quva_DeleteContext)>("quva_DeleteContext")(ctx), 0u);
}

TEST_F(PinDialogs, WithoutQuvaApiTheFirstBlinkRaisesTheBindingFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto blink = [this](const char *file, const char *library) {
        if (library) winsim::disk::install_library(std::string("C:\\APP\\") + file, library);
        winsim::user::on_dialog(kGet, [](DialogUser &u) { u.wait_ms(300); });
        Out o(8);
        get_pin(0, o, 0, (QUVA_CONTEXT)&o);
    };
    EXPECT_DEATH(blink("QuvaAPI.DLL", nullptr), "0xC06D007E.*module QuvaAPI.dll not found");
    EXPECT_DEATH(blink("QuvaAPI.DLL", "QUVADI"), "0xC06D007F.*quva_SetProperty not found in QuvaAPI.dll");
}

TEST_F(PinDialogs, TheLibrarysCopiesOfASecretAreWiped) {
    const std::string secret = "Zq7Wx3Kp";
    answer(kGet, {secret});
    Out o(16);
    EXPECT_EQ(get_pin(0, o), 0u);
    EXPECT_EQ(o.text(), secret);
    EXPECT_FALSE(in_library_memory(secret));

    answer(kNew, {secret, secret});
    Out n(16);
    EXPECT_EQ(new_pin(0, n), 0u);
    EXPECT_EQ(n.text(), secret);
    EXPECT_FALSE(in_library_memory(secret));

    answer(kChange, {secret + "c", secret + "n", secret + "n"});
    Out cur(16), neu(16);
    EXPECT_EQ(change_pin(0, 0, cur, neu), 0u);
    EXPECT_EQ(cur.text(), secret + "c");
    EXPECT_FALSE(in_library_memory(secret));

    // Refused, then cancelled.
    winsim::user::on_dialog(kNew, [&secret](DialogUser &u) {
        u.type(3104, secret);
        u.type(3105, secret + "x");
        u.click(IDOK);
        u.type(3104, secret);
        u.click(IDCANCEL);
    });
    Out c(16);
    EXPECT_EQ(new_pin(0, c), 25u);
    EXPECT_FALSE(in_library_memory(secret));
}
