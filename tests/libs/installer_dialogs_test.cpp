// The driver installer's dialogs and its reader wait: the wait-for-device
// dialog through the export, the reader-status dialog and the hidden arrival
// watcher through the library's own sources built in here, all answered by a
// scripted user and by readers arriving on the virtual clock.
#include "kit.h"

#include <commctrl.h>
#include <dbt.h>
#include <quvadi.h>
#include <setupapi.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

using winsim::Os;
using winsim::user::DialogInfo;
using winsim::user::DialogUser;

// The library's dialog and waiter sources, with the library's internal and
// common declarations, all inside one namespace and bound to the loaded
// QUVADI's resources.
namespace waiter_under_test {
#include "../../installer/internal.h"
#include "quva_common.h"
HMODULE g_module = nullptr;
HMODULE quva_module() { return g_module; }
BOOL quva_get_os_version(OSVERSIONINFOA *info) {
    std::memset(info, 0, sizeof *info);
    info->dwOSVersionInfoSize = sizeof *info;
    return GetVersionExA(info);
}
#include "../../common/centre.cpp"
#include "../../installer/dialogs.cpp"
#include "../../installer/watcher.cpp"
} // namespace waiter_under_test

namespace w = waiter_under_test;

namespace {

using WaitFn = int(WINAPI *)(HWND, DWORD, LPCSTR, LPCSTR, LPCSTR, LPCSTR);

const int k_label = 103, k_progress = 1003;
const char k_watcher_title[] = "Quva DI Device Notification Hook Window";

struct Desk {
    kit::Machine m;
    kit::Library di{"QUVADI.DLL"};
    WaitFn wait = di.fn<WaitFn>("quvaDI_DlgWaitForDeviceA");
    explicit Desk(Os os = Os::WinXp) : m(os) { w::g_module = di.handle(); }
    ~Desk() {
        winsim::user::clear_dialog_rules();
        winsim::faults::clear();
        EXPECT_EQ(winsim::devices::notification_count(), 0) << "notifications left registered";
    }
    int wait_for_device(HWND parent, DWORD flags) {
        return wait(parent, flags, "Plug in", "Please insert your Quva token.", "Fine", "Stop");
    }
};

std::string guid_text(const GUID &g) {
    char s[40];
    std::snprintf(s, sizeof s, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned long)g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return s;
}

void interface_arrives(const GUID &g) { winsim::devices::interface_arrived(guid_text(g)); }

// A smart-card reader arrives: its device-interface arrival reaches the
// windows registered for the reader class.
void reader_arrives() { interface_arrives(w::quvadi_reader_interface_class); }

const winsim::user::ControlInfo &control(const DialogInfo &d, int id) {
    static const winsim::user::ControlInfo none;
    const auto *c = d.control(id);
    EXPECT_NE(c, nullptr) << "control " << id;
    return c ? *c : none;
}

RECT rect_of(HWND h) {
    RECT r{};
    GetWindowRect(h, &r);
    return r;
}

// Centred over the reference rectangle (both fit on the screen here).
void expect_centred(const RECT &dialog, const RECT &over) {
    EXPECT_EQ(dialog.left, over.left + ((over.right - over.left) - (dialog.right - dialog.left)) / 2);
    EXPECT_EQ(dialog.top, over.top + ((over.bottom - over.top) - (dialog.bottom - dialog.top)) / 2);
}

bool watcher_window_exists() {
    for (const auto &win : winsim::user::windows())
        if (win.title == k_watcher_title) return true;
    return false;
}

} // namespace

// ---------------------------------------------------------------- progress bar

TEST(InstallerDialogs, ProgressBarMessages) {
    kit::Machine m(Os::WinXp);
    InitCommonControls();
    HWND top = winsim::user::create_window({0, 0, 300, 100});
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 10, 10, 200, 12, top, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(bar, nullptr);
    // comctl32's defaults: range 0..100, step 10; each setter answers the old value.
    EXPECT_EQ(SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 3)), MAKELONG(0, 100));
    EXPECT_EQ(SendMessageA(bar, PBM_SETSTEP, 1, 0), 10);
    EXPECT_EQ(SendMessageA(bar, PBM_STEPIT, 0, 0), 0);
    EXPECT_EQ(SendMessageA(bar, PBM_STEPIT, 0, 0), 1);
    EXPECT_EQ(SendMessageA(bar, PBM_STEPIT, 0, 0), 2);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 3);
    // A step past the end starts the bar over; positions are kept in range.
    EXPECT_EQ(SendMessageA(bar, PBM_STEPIT, 0, 0), 3);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 0);
    EXPECT_EQ(SendMessageA(bar, PBM_SETPOS, 7, 0), 0);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 3);
    EXPECT_EQ(SendMessageA(bar, PBM_DELTAPOS, (WPARAM)-5, 0), 3);
    EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 0);
    PBRANGE r{};
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, (LPARAM)&r), 3);
    EXPECT_EQ(r.iLow, 0);
    EXPECT_EQ(r.iHigh, 3);
    EXPECT_EQ(SendMessageA(bar, PBM_SETRANGE32, (WPARAM)-2, 70000), MAKELONG(0, 3));
    EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, TRUE, 0), -2);
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_PROGRESS_CLASS}, bad = {4, ICC_PROGRESS_CLASS};
    EXPECT_TRUE(InitCommonControlsEx(&icc));
    EXPECT_FALSE(InitCommonControlsEx(&bad));
    DestroyWindow(top);
}

// ------------------------------------------------------------ wait for device

TEST(InstallerDialogs, WaitForDeviceMessageForm) {
    // 95 and NT 4.0 always show the message with OK; elsewhere flag 0x1 asks for it.
    const struct {
        Os os;
        DWORD flags;
    } rows[] = {{Os::Win95, 0x2}, {Os::Nt4, 0x0}, {Os::Nt4, 0x4}, {Os::Win98, 0x1}, {Os::WinXp, 0x3}};
    for (const auto &row : rows) {
        SCOPED_TRACE(winsim::profile_of(row.os).name);
        Desk d(row.os);
        HWND parent = winsim::user::create_window({100, 80, 700, 500});
        DialogInfo shown;
        winsim::user::on_dialog(0, [&](DialogUser &u) {
            shown = u.info();
            u.click(IDOK);
        });
        EXPECT_EQ(d.wait_for_device(parent, row.flags), 1);
        EXPECT_EQ(shown.template_id, 3006);
        EXPECT_EQ(shown.caption, "Plug in");
        EXPECT_EQ(control(shown, k_label).text, "Please insert your Quva token.");
        EXPECT_EQ(control(shown, IDOK).text, "Fine");
        EXPECT_EQ(shown.owner, parent);
        EXPECT_FALSE(shown.topmost);
        expect_centred(shown.rect, rect_of(parent));
        // The close box is no confirmation.
        winsim::user::on_dialog(0, [](DialogUser &u) { u.close(); });
        EXPECT_EQ(d.wait_for_device(nullptr, row.flags), 0);
        EXPECT_EQ(winsim::user::dialogs().back().shown.owner, nullptr); // the desktop owns nothing
        DestroyWindow(parent);
    }
}

TEST(InstallerDialogs, WaitForDeviceWaitsForArrivals) {
    Desk d(Os::Win2000);
    // Flags 0: arrivals are ignored, only Cancel ends it.
    DialogInfo shown;
    bool alive_after_arrivals = false;
    winsim::user::on_dialog(3005, [&](DialogUser &u) {
        shown = u.info();
        interface_arrives(w::k_device_class);
        interface_arrives(w::k_token_driver_class);
        alive_after_arrivals = u.wait_ms(1000);
        u.click(IDCANCEL);
    });
    EXPECT_EQ(d.wait_for_device(nullptr, 0), 0);
    EXPECT_TRUE(alive_after_arrivals);
    EXPECT_EQ(shown.caption, "Plug in");
    EXPECT_EQ(control(shown, IDCANCEL).text, "Stop");
    EXPECT_EQ(control(shown, k_label).text, "Please insert your Quva token.");
    EXPECT_TRUE(shown.topmost);
    expect_centred(shown.rect, rect_of(GetDesktopWindow()));
    // 0x2 or 0x4: the first arrival of either class ends it with 1.
    for (DWORD flags : {0x2u, 0x4u}) {
        winsim::user::on_dialog(3005, [&](DialogUser &u) {
            u.wait_ms(250);
            interface_arrives(flags == 2 ? w::k_token_driver_class : w::k_device_class);
            u.wait_ms(250);
        });
        EXPECT_EQ(d.wait_for_device(nullptr, flags), 1) << flags;
    }
}

TEST(InstallerDialogs, WaitForDeviceFailures) {
    for (Os os : {Os::Win98, Os::WinXp}) {
        Desk d(os);
        // Either registration failing ends the dialog at once with 0; the
        // first is withdrawn when the second fails (checked by the desk).
        // It never shows.
        for (int skip : {0, 1}) {
            winsim::user::clear_dialogs();
            winsim::faults::fail("RegisterDeviceNotificationA", ERROR_NOT_ENOUGH_MEMORY, 1, skip);
            EXPECT_EQ(d.wait_for_device(nullptr, 0x2), 0);
            EXPECT_EQ(winsim::faults::fired("RegisterDeviceNotificationA"), 1);
            EXPECT_TRUE(winsim::user::dialogs().empty());
            winsim::faults::clear();
        }
        // No platform answer: no dialog.
        winsim::user::clear_dialogs();
        winsim::faults::fail("GetVersionExA", ERROR_INVALID_PARAMETER);
        EXPECT_EQ(d.wait_for_device(nullptr, 0x1), 0);
        EXPECT_TRUE(winsim::user::dialogs().empty());
    }
}

// ----------------------------------------------------------- reader status

TEST(InstallerDialogs, ReaderStatusParams) {
    Desk d;
    auto &p = w::quvadi_reader_status_params;
    EXPECT_EQ(p.Parent, nullptr); // never set
    EXPECT_TRUE(w::quvaDI_DlgSetReaderStatusParamsA(nullptr, "Caption", "Message", "Cancel"));
    EXPECT_EQ(p.Parent, GetDesktopWindow());
    EXPECT_STREQ(p.Message, "Message");
    // Longer texts are cut to 259 characters.
    std::string long_text(400, 'x');
    EXPECT_TRUE(w::quvaDI_DlgSetReaderStatusParamsA((HWND)0x1234, long_text.c_str(), "", "C"));
    EXPECT_EQ(std::string(p.Caption), long_text.substr(0, 259));
    EXPECT_EQ(p.Parent, (HWND)0x1234);
    // A text that cannot be read ends the call with 0.
    EXPECT_FALSE(w::quvaDI_DlgSetReaderStatusParamsA(nullptr, "a", nullptr, "c"));
    EXPECT_FALSE(w::quvaDI_DlgSetReaderStatusParamsA(nullptr, "a", "b", (LPCSTR)16));
    // The export is the same code.
    auto set = d.di.fn<BOOL(WINAPI *)(HWND, LPCSTR, LPCSTR, LPCSTR)>("quvaDI_DlgSetReaderStatusParamsA");
    EXPECT_TRUE(set(nullptr, "a", "b", "c"));
    EXPECT_FALSE(set(nullptr, (LPCSTR)16, "b", "c"));
}

TEST(InstallerDialogs, ReaderStatusFillsAndClosesByItself) {
    Desk d;
    // The owner is a window of the waiting thread: the dialog disabling it
    // hangs unless the waits answer sent messages.
    HWND parent = winsim::user::create_window({0, 0, 640, 480});
    std::vector<int> positions;
    DialogInfo shown;
    winsim::user::on_dialog(3007, [&](DialogUser &u) {
        shown = u.info();
        for (int i = 0; i < 2; i++) {
            reader_arrives();
            u.wait_ms(100);
            positions.push_back(control(u.info(), k_progress).position);
        }
        reader_arrives();
        u.wait_ms(100);
        EXPECT_FALSE(u.alive());
    });
    for (int run = 0; run < 2; run++) {
        positions.clear();
        ASSERT_TRUE(w::StartReaderStatusDialog(parent, "Installing", "Waiting for readers", "Stop", 3));
        DWORD count = 99;
        EXPECT_EQ(w::WaitReaderStatusDialog(&count), 1u);
        // A second run counts from 0 again.
        EXPECT_EQ(count, 3u) << "run " << run;
    }
    EXPECT_EQ(shown.caption, "Installing");
    EXPECT_EQ(control(shown, k_label).text, "Waiting for readers");
    EXPECT_EQ(control(shown, IDCANCEL).text, "Stop");
    EXPECT_EQ(control(shown, k_progress).range_max, 3);
    EXPECT_EQ(control(shown, k_progress).position, 0);
    EXPECT_TRUE(shown.topmost);
    EXPECT_EQ(shown.owner, parent);
    expect_centred(shown.rect, rect_of(parent));
    EXPECT_EQ(positions, (std::vector<int>{1, 2}));
    // The last arrival fills the bar; the further step posted with OK starts
    // it over just as the dialog closes.
    EXPECT_EQ(winsim::user::dialogs().back().result, 1);
    EXPECT_EQ(control(winsim::user::dialogs().back().ended, k_progress).position, 0);
    DestroyWindow(parent);
}

TEST(InstallerDialogs, ReaderStatusCancelAndFailures) {
    Desk d;
    // Cancel after one arrival.
    winsim::user::on_dialog(3007, [](DialogUser &u) {
        reader_arrives();
        u.wait_ms(100);
        u.click(IDCANCEL);
    });
    DWORD count = 99;
    ASSERT_TRUE(w::StartReaderStatusDialog(nullptr, "c", "m", "x", 2));
    EXPECT_EQ(w::WaitReaderStatusDialog(&count), 0u);
    EXPECT_EQ(count, 1u);
    // The registration fails: the dialog ends at once with 0.
    winsim::user::clear_dialog_rules();
    winsim::faults::fail("RegisterDeviceNotificationA", ERROR_NOT_ENOUGH_MEMORY);
    uint64_t t0 = winsim::clock::now_ms();
    ASSERT_TRUE(w::StartReaderStatusDialog(nullptr, "c", "m", "x", 2));
    EXPECT_EQ(w::WaitReaderStatusDialog(&count), 0u);
    EXPECT_EQ(count, 0u);
    EXPECT_LT(winsim::clock::now_ms() - t0, 5000u);
    // The thread does not start: FALSE, and the wait finds nothing.
    winsim::faults::fail("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(w::StartReaderStatusDialog(nullptr, "c", "m", "x", 2));
    count = 77;
    EXPECT_EQ(w::WaitReaderStatusDialog(&count), 0u);
    EXPECT_EQ(count, 77u);
}

// ------------------------------------------------------------- the watcher

TEST(InstallerDialogs, WatcherCountsReaderArrivals) {
    Desk d;
    // Two of two: the watcher ends by itself, long before its time limit.
    for (int run = 0; run < 2; run++) {
        ASSERT_EQ(w::StartArrivalWatcher(2), 0u);
        EXPECT_TRUE(watcher_window_exists());
        EXPECT_EQ(winsim::devices::notification_count(), 1);
        uint64_t t0 = winsim::clock::now_ms();
        winsim::clock::advance(500);
        reader_arrives();
        winsim::clock::advance(500);
        // A reader of another make plugged in counts as well.
        winsim::devices::DeviceSpec other;
        other.hardware_ids = {"USB\\VID_0BDA&PID_016" + std::to_string(run)};
        other.class_name = "SmartCardReader";
        other.description = "Acme USB Reader " + std::to_string(run);
        ASSERT_NE(winsim::devices::add(other), "");
        DWORD count = 0;
        EXPECT_TRUE(w::WaitArrivalWatcher(2, &count));
        EXPECT_EQ(count, 2u);
        EXPECT_LT(winsim::clock::now_ms() - t0, 2000u);
        EXPECT_FALSE(watcher_window_exists());
    }
    // One of two: the watcher sits out its 60 s and is closed.
    ASSERT_EQ(w::StartArrivalWatcher(2), 0u);
    uint64_t t0 = winsim::clock::now_ms();
    reader_arrives();
    DWORD count = 0;
    EXPECT_TRUE(w::WaitArrivalWatcher(2, &count));
    EXPECT_EQ(count, 1u);
    EXPECT_GE(winsim::clock::now_ms() - t0, 60000u);
    EXPECT_LT(winsim::clock::now_ms() - t0, 65000u);
    EXPECT_FALSE(watcher_window_exists());
    // None of three: 0 after 90 s.
    ASSERT_EQ(w::StartArrivalWatcher(3), 0u);
    t0 = winsim::clock::now_ms();
    count = 5;
    EXPECT_FALSE(w::WaitArrivalWatcher(3, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_GE(winsim::clock::now_ms() - t0, 90000u);
}

TEST(InstallerDialogs, WatcherFailures) {
    Desk d;
    DWORD count = 5;
    // The thread does not start: its error, and the wait finds nothing.
    winsim::faults::fail("CreateThread", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(w::StartArrivalWatcher(1), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(w::WaitArrivalWatcher(1, &count));
    EXPECT_EQ(count, 0u);
    // The registration fails: the watcher ends at once and counts nothing.
    for (const char *api : {"RegisterDeviceNotificationA", "RegisterClassExA", "CreateWindowExA"}) {
        SCOPED_TRACE(api);
        winsim::faults::fail(api, ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(w::StartArrivalWatcher(1), 0u);
        uint64_t t0 = winsim::clock::now_ms();
        reader_arrives();
        count = 5;
        EXPECT_FALSE(w::WaitArrivalWatcher(1, &count));
        EXPECT_EQ(count, 0u);
        EXPECT_LT(winsim::clock::now_ms() - t0, 1000u);
        EXPECT_FALSE(watcher_window_exists());
    }
}

TEST(InstallerDialogs, WatcherStoppedByForce) {
    // Not a kit::Machine: the simulator keeps the windows of a terminated
    // thread (Windows destroys them), so the handle check would count one.
    auto m = winsim::Machine::temporary(Os::WinXp);
    m->set_process_image("C:\\APP\\APP.EXE");
    winsim::disk::install_library("C:\\APP\\QUVADI.DLL", "QUVADI");
    kit::Library di("QUVADI.DLL");
    w::g_module = di.handle();
    int threads = winsim::clock::live_threads();
    // A watcher that does not stop when asked is stopped by force after 5 s.
    ASSERT_EQ(w::StartArrivalWatcher(1), 0u);
    winsim::faults::fail("PostMessageA", ERROR_NOT_ENOUGH_MEMORY);
    uint64_t t0 = winsim::clock::now_ms();
    DWORD count = 5;
    EXPECT_FALSE(w::WaitArrivalWatcher(1, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_GE(winsim::clock::now_ms() - t0, 35000u);
    EXPECT_EQ(winsim::clock::live_threads(), threads);
    EXPECT_EQ(winsim::devices::notification_count(), 0);
    // The next run still works.
    ASSERT_EQ(w::StartArrivalWatcher(1), 0u);
    reader_arrives();
    EXPECT_TRUE(w::WaitArrivalWatcher(1, &count));
    EXPECT_EQ(count, 1u);
}
