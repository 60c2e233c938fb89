// The smart-card resource manager: its library file, contexts, readers,
// share modes, status waits in virtual time, SCardControl to the token driver,
// and errors on demand.
#include <windows.h>
#include <winscard.h>
#include <winsim/sim.h>
#include <tokenmodel/token.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../src/threads.h"

using Bytes = std::vector<BYTE>;
using winsim::Os;

namespace {

const std::string R0 = "Vornel Technologies QuvaVirtualReader 0";
const std::string R1 = "Vornel Technologies QuvaVirtualReader 1";
const Bytes k_foreign_atr{0x3B, 0x02, 0x14, 0x50};

SCARDCONTEXT context() {
    SCARDCONTEXT c = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &c), SCARD_S_SUCCESS);
    return c;
}

std::vector<std::string> split(const char *m) {
    std::vector<std::string> v;
    for (; *m; m += std::strlen(m) + 1) v.push_back(m);
    return v;
}

SCARD_READERSTATEA query(SCARDCONTEXT c, const std::string &reader, DWORD current = SCARD_STATE_UNAWARE,
                         DWORD timeout = 1, LONG *result = nullptr) {
    SCARD_READERSTATEA s{};
    s.szReader = reader.c_str();
    s.dwCurrentState = current;
    LONG r = SCardGetStatusChangeA(c, timeout, &s, 1);
    if (result) *result = r;
    return s;
}

void put32(Bytes &b, size_t at, DWORD v) {
    for (int i = 0; i < 4; i++) b[at + i] = (BYTE)(v >> (8 * i));
}
DWORD le32(const Bytes &b, size_t at) {
    return (DWORD)b[at] | (DWORD)b[at + 1] << 8 | (DWORD)b[at + 2] << 16 | (DWORD)b[at + 3] << 24;
}

LONG control(SCARDHANDLE h, DWORD code, Bytes in, DWORD out_size, Bytes *out) {
    out->assign(out_size, 0);
    DWORD n = 0xDEAD;
    LONG r = SCardControl(h, code, in.empty() ? nullptr : in.data(), (DWORD)in.size(), out_size ? out->data() : nullptr,
                          out_size, &n);
    out->resize(n == 0xDEAD ? 0 : n);
    return r;
}

Bytes open_frame(DWORD id) {
    Bytes f(80, 0);
    put32(f, 0, id);
    put32(f, 4, 0x81);
    put32(f, 12, 255);
    return f;
}

Bytes command_frame(DWORD id, DWORD code, DWORD length) {
    Bytes f(272, 0);
    put32(f, 0, id);
    put32(f, 8, code);
    put32(f, 12, length);
    return f;
}

} // namespace

TEST(SCard, LibraryFileByProfile) {
    {
        auto m = winsim::Machine::temporary(Os::WinXp);
        EXPECT_TRUE(winsim::disk::exists("C:\\WINDOWS\\system32\\WINSCARD.DLL"));
        HMODULE h = LoadLibraryA("WinScard.dll");
        ASSERT_NE(h, nullptr);
        EXPECT_NE(GetProcAddress(h, "SCardEstablishContext"), nullptr);
        EXPECT_NE(GetProcAddress(h, "SCardGetStatusChangeA"), nullptr);
        FreeLibrary(h);
        winsim::scard::install_library(false);
        EXPECT_FALSE(winsim::scard::library_installed());
        EXPECT_EQ(LoadLibraryA("WinScard.dll"), nullptr);
    }
    for (Os os : {Os::Win95, Os::Win98, Os::WinMe, Os::Nt4}) {
        auto m = winsim::Machine::temporary(os);
        EXPECT_FALSE(winsim::scard::library_installed());
        winsim::scard::install_library(true);
        std::string where = os == Os::Nt4 ? "C:\\WINNT\\system32\\WINSCARD.DLL" : "C:\\WINDOWS\\System\\WINSCARD.DLL";
        EXPECT_TRUE(winsim::disk::exists(where));
    }
    for (Os os : {Os::Win2000, Os::Win2003, Os::Vista}) {
        auto m = winsim::Machine::temporary(os);
        EXPECT_TRUE(winsim::scard::library_installed());
    }
}

TEST(SCard, ContextsAreCountedAndTakeTheirConnectionsAlong) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::scard::set_virtual_readers(1);
    winsim::tokens::plug();
    auto before = winsim::handles::open();
    SCARDCONTEXT c = context();
    EXPECT_EQ(SCardIsValidContext(c), SCARD_S_SUCCESS);
    SCARDHANDLE h = 0;
    DWORD proto = 0;
    ASSERT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_Tx, &h, &proto), SCARD_S_SUCCESS);
    EXPECT_EQ(proto, (DWORD)SCARD_PROTOCOL_T1);
    auto open = winsim::handles::open();
    EXPECT_EQ(open[winsim::HandleKind::ScardContext] - before[winsim::HandleKind::ScardContext], 1);
    EXPECT_EQ(open[winsim::HandleKind::ScardHandle] - before[winsim::HandleKind::ScardHandle], 1);
    EXPECT_NE(winsim::handles::leaks_since(before), "");
    EXPECT_EQ(SCardReleaseContext(c), SCARD_S_SUCCESS);
    EXPECT_EQ(winsim::handles::leaks_since(before), "");
    EXPECT_EQ(SCardDisconnect(h, SCARD_LEAVE_CARD), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardReleaseContext(c), SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(SCardIsValidContext(c), SCARD_E_INVALID_HANDLE);
    // The reader is free again.
    EXPECT_EQ(query(context(), R0).dwEventState & SCARD_STATE_INUSE, 0u);
    EXPECT_EQ(SCardEstablishContext(7, nullptr, nullptr, &c), SCARD_E_INVALID_VALUE);
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, nullptr), SCARD_E_INVALID_PARAMETER);
}

TEST(SCard, ServiceStopped) {
    auto m = winsim::Machine::temporary(Os::Win2000);
    SCARDCONTEXT c = context();
    winsim::scard::set_service_running(false);
    SCARDCONTEXT d = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &d), SCARD_E_NO_SERVICE);
    DWORD len = 0;
    EXPECT_EQ(SCardListReadersA(c, nullptr, nullptr, &len), SCARD_E_SERVICE_STOPPED);
    EXPECT_EQ(SCardListReadersA(0, nullptr, nullptr, &len), SCARD_E_NO_SERVICE);
    EXPECT_EQ(SCardReleaseContext(c), SCARD_S_SUCCESS); // releasing still works
    winsim::scard::set_service_running(true);
    c = context();
    SCardReleaseContext(c);
}

TEST(SCard, VirtualReaderCountFollowsTheDriverParameters) {
    const std::string services = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\";
    {
        auto m = winsim::Machine::temporary(Os::WinXp);
        EXPECT_EQ(winsim::scard::virtual_readers(), 0);
        winsim::reg::import_text("REGEDIT4\n\n[" + services + "qvatoken]\n\"NumberOfDevices\"=dword:00000002\n");
        EXPECT_EQ(winsim::scard::virtual_readers(), 2);
        EXPECT_EQ(winsim::scard::reader_names(), (std::vector<std::string>{R0, R1}));
        // The enumerator's key wins once it exists.
        winsim::reg::import_text("REGEDIT4\n\n[" + services + "quvaenum]\n");
        EXPECT_EQ(winsim::scard::virtual_readers(), 0);
        winsim::reg::import_text("REGEDIT4\n\n[" + services + "quvaenum]\n\"NumberOfDevices\"=hex:03,00,00,00\n");
        EXPECT_EQ(winsim::scard::virtual_readers(), 3);
        winsim::tokens::set_driver_present(false);
        EXPECT_EQ(winsim::scard::virtual_readers(), 0);
        winsim::tokens::set_driver_present(true);
        winsim::scard::set_virtual_readers(1);
        EXPECT_EQ(winsim::scard::virtual_readers(), 1);
        winsim::scard::set_virtual_readers(-1);
        EXPECT_EQ(winsim::scard::virtual_readers(), 3);
    }
    {
        auto m = winsim::Machine::temporary(Os::WinMe);
        winsim::reg::import_text("REGEDIT4\n\n[" + services + "VXD\\QUVAVR9X]\n\"NumberOfReaders\"=dword:00000004\n");
        EXPECT_EQ(winsim::scard::virtual_readers(), 4);
    }
    {
        auto m = winsim::Machine::temporary(Os::Nt4);
        winsim::reg::import_text("REGEDIT4\n\n[" + services +
                                 "usbqvtkn\\Parameters]\n\"NumberOfDevices\"=dword:00000063\n");
        EXPECT_EQ(winsim::scard::virtual_readers(), 32); // capped
    }
    {
        auto m = winsim::Machine::temporary(Os::Win95);
        winsim::reg::import_text("REGEDIT4\n\n[" + services + "VXD\\QUVAVR9X]\n\"NumberOfReaders\"=dword:00000004\n");
        EXPECT_EQ(winsim::scard::virtual_readers(), 0);
    }
}

TEST(SCard, ListReaders) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    SCARDCONTEXT c = context();
    DWORD len = 0;
    EXPECT_EQ(SCardListReadersA(c, nullptr, nullptr, &len), SCARD_E_NO_READERS_AVAILABLE);
    winsim::scard::set_virtual_readers(2);
    winsim::scard::ReaderSpec phys;
    phys.name = "Acme Reader 0";
    ASSERT_TRUE(winsim::scard::add_reader(phys));
    EXPECT_FALSE(winsim::scard::add_reader(phys));
    std::string all = R0 + '\0' + R1 + '\0' + phys.name + '\0' + '\0';
    EXPECT_EQ(SCardListReadersA(c, nullptr, nullptr, &len), SCARD_S_SUCCESS);
    EXPECT_EQ(len, (DWORD)all.size());
    std::vector<char> buf(len + 1, 'x');
    DWORD small = len - 1;
    EXPECT_EQ(SCardListReadersA(c, nullptr, buf.data(), &small), SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(small, len);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(SCardListReadersA(0, SCARD_ALL_READERS, buf.data(), &len), SCARD_S_SUCCESS);
    EXPECT_EQ(std::string(buf.data(), len), all);
    EXPECT_EQ(buf[len], 'x');
    EXPECT_EQ(SCardListReadersA(c, "No$Such\0", buf.data(), &len), SCARD_E_NO_READERS_AVAILABLE);
    EXPECT_EQ(SCardListReadersA(c, nullptr, nullptr, nullptr), SCARD_E_INVALID_PARAMETER);

    LPSTR mine = nullptr;
    DWORD alloc = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCardListReadersA(c, nullptr, (LPSTR)&mine, &alloc), SCARD_S_SUCCESS);
    EXPECT_EQ(split(mine), (std::vector<std::string>{R0, R1, phys.name}));
    EXPECT_EQ(winsim::scard::outstanding_memory(), 1);
    EXPECT_EQ(SCardFreeMemory(c, mine), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardFreeMemory(c, mine), SCARD_E_INVALID_PARAMETER);
    alloc = SCARD_AUTOALLOCATE;
    SCardListReadersA(c, nullptr, (LPSTR)&mine, &alloc);
    EXPECT_EQ(SCardReleaseContext(c), SCARD_S_SUCCESS); // frees what the context was given
    EXPECT_EQ(winsim::scard::outstanding_memory(), 0);
}

TEST(SCard, StatusChangeReportsReadersAndCards) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::scard::set_virtual_readers(2);
    DWORD id = winsim::tokens::plug({{}, "", false, {}, {}, true, 1});
    SCARDCONTEXT c = context();
    LONG r;
    SCARD_READERSTATEA s = query(c, R0, SCARD_STATE_UNAWARE, 1, &r);
    EXPECT_EQ(r, SCARD_S_SUCCESS);
    EXPECT_EQ(s.dwEventState, (DWORD)(SCARD_STATE_EMPTY | SCARD_STATE_CHANGED));
    EXPECT_EQ(s.cbAtr, 0u);
    s = query(c, R1);
    EXPECT_EQ(s.dwEventState, (DWORD)(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED));
    ASSERT_EQ(s.cbAtr, 25u);
    EXPECT_EQ(Bytes(s.rgbAtr, s.rgbAtr + 25), Bytes(tokenmodel::k_long_atr, tokenmodel::k_long_atr + 25));
    query(c, "Vornel Technologies QuvaVirtualReader 2", SCARD_STATE_UNAWARE, 1, &r);
    EXPECT_EQ(r, SCARD_E_UNKNOWN_READER);
    query(c, "vornel technologies quvavirtualreader 1", SCARD_STATE_UNAWARE, 1, &r);
    EXPECT_EQ(r, SCARD_S_SUCCESS); // names are matched without regard to case

    // In use, exclusively.
    SCARDCONTEXT other = context();
    SCARDHANDLE h;
    DWORD proto;
    ASSERT_EQ(SCardConnectA(other, R1.c_str(), SCARD_SHARE_EXCLUSIVE, 3, &h, &proto), SCARD_S_SUCCESS);
    EXPECT_EQ(query(c, R1).dwEventState,
              (DWORD)(SCARD_STATE_PRESENT | SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE | SCARD_STATE_CHANGED));
    SCardDisconnect(h, SCARD_LEAVE_CARD);
    // Held by another process through the driver: in use, not exclusive.
    winsim::tokens::hold_elsewhere(id);
    EXPECT_EQ(query(c, R1).dwEventState, (DWORD)(SCARD_STATE_PRESENT | SCARD_STATE_INUSE | SCARD_STATE_CHANGED));
    winsim::tokens::hold_elsewhere(id, false);

    // Unavailable is exactly that bit; mute adds its own.
    ASSERT_TRUE(winsim::scard::set_unavailable(R0));
    EXPECT_EQ(query(c, R0).dwEventState & ~(DWORD)SCARD_STATE_CHANGED, (DWORD)SCARD_STATE_UNAVAILABLE);
    winsim::scard::set_unavailable(R0, false);
    ASSERT_TRUE(winsim::scard::set_mute(R1));
    EXPECT_EQ(query(c, R1).dwEventState, (DWORD)(SCARD_STATE_PRESENT | SCARD_STATE_MUTE | SCARD_STATE_CHANGED));
    EXPECT_FALSE(winsim::scard::set_mute("No Such Reader"));

    // Ignored entries are left alone; the PnP pseudo-reader counts readers.
    SCARD_READERSTATEA two[2]{};
    two[0].szReader = "nothing at all";
    two[0].dwCurrentState = SCARD_STATE_IGNORE;
    two[0].dwEventState = 0x1234;
    two[1].szReader = "\\\\?PnP?\\Notification";
    EXPECT_EQ(SCardGetStatusChangeA(c, 0, two, 2), SCARD_S_SUCCESS);
    EXPECT_EQ(two[0].dwEventState, 0x1234u);
    EXPECT_EQ(two[1].dwEventState >> 16, 2u);
    SCardReleaseContext(c);
    SCardReleaseContext(other);
}

TEST(SCard, StatusChangeWaitsInVirtualTime) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::scard::set_virtual_readers(1);
    SCARDCONTEXT c = context();
    SCARD_READERSTATEA s = query(c, R0);
    // Nothing changes: the full time-out passes, on the virtual clock only.
    uint64_t t0 = winsim::sched::now();
    LONG r;
    query(c, R0, s.dwEventState, 30000, &r);
    EXPECT_EQ(r, SCARD_E_TIMEOUT);
    EXPECT_EQ(winsim::sched::now() - t0, 30000u);
    query(c, R0, s.dwEventState, 0, &r);
    EXPECT_EQ(r, SCARD_E_TIMEOUT);

    // A token plugged in 250 ms from now ends the wait then.
    winsim::sched::at(winsim::sched::now() + 250, [] { winsim::tokens::plug(); });
    t0 = winsim::sched::now();
    SCARD_READERSTATEA got = query(c, R0, s.dwEventState, INFINITE, &r);
    EXPECT_EQ(r, SCARD_S_SUCCESS);
    EXPECT_EQ(winsim::sched::now() - t0, 250u);
    EXPECT_EQ(got.dwEventState, (DWORD)(SCARD_STATE_PRESENT | SCARD_STATE_CHANGED));

    // Changes elsewhere do not end it; a cancel does.
    winsim::sched::at(winsim::sched::now() + 10, [] { winsim::scard::add_reader({"Elsewhere", {}, 1, false}); });
    winsim::sched::at(winsim::sched::now() + 40, [c] { SCardCancel(c); });
    t0 = winsim::sched::now();
    query(c, R0, got.dwEventState & ~(DWORD)SCARD_STATE_CHANGED, 1000, &r);
    EXPECT_EQ(r, SCARD_E_CANCELLED);
    EXPECT_EQ(winsim::sched::now() - t0, 40u);
    // The token leaves.
    winsim::sched::at(winsim::sched::now() + 5, [] { winsim::tokens::unplug(1); });
    got = query(c, R0, SCARD_STATE_PRESENT, 100, &r);
    EXPECT_EQ(r, SCARD_S_SUCCESS);
    EXPECT_EQ(got.dwEventState, (DWORD)(SCARD_STATE_EMPTY | SCARD_STATE_CHANGED));
    SCardReleaseContext(c);
}

TEST(SCard, ShareModes) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::scard::set_virtual_readers(2);
    DWORD id = winsim::tokens::plug();
    winsim::scard::add_reader({"Acme T0", k_foreign_atr, SCARD_PROTOCOL_T0, false});
    SCARDCONTEXT c = context(), d = context();
    SCARDHANDLE a = 0, b = 0;
    DWORD p = 0;
    ASSERT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_EXCLUSIVE, 3, &a, &p), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardConnectA(d, R0.c_str(), SCARD_SHARE_EXCLUSIVE, 3, &b, &p), SCARD_E_SHARING_VIOLATION);
    EXPECT_EQ(SCardConnectA(d, R0.c_str(), SCARD_SHARE_SHARED, 3, &b, &p), SCARD_E_SHARING_VIOLATION);
    SCardDisconnect(a, SCARD_LEAVE_CARD);
    ASSERT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_SHARED, 3, &a, &p), SCARD_S_SUCCESS);
    ASSERT_EQ(SCardConnectA(d, R0.c_str(), SCARD_SHARE_SHARED, 3, &b, &p), SCARD_S_SUCCESS);
    SCARDHANDLE x = 0;
    EXPECT_EQ(SCardConnectA(d, R0.c_str(), SCARD_SHARE_EXCLUSIVE, 3, &x, &p), SCARD_E_SHARING_VIOLATION);
    // Reconnecting to exclusive needs the others gone.
    EXPECT_EQ(SCardReconnect(a, SCARD_SHARE_EXCLUSIVE, 3, SCARD_LEAVE_CARD, &p), SCARD_E_SHARING_VIOLATION);
    SCardDisconnect(b, SCARD_LEAVE_CARD);
    EXPECT_EQ(SCardReconnect(a, SCARD_SHARE_EXCLUSIVE, 3, SCARD_LEAVE_CARD, &p), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardConnectA(d, R0.c_str(), SCARD_SHARE_SHARED, 3, &b, &p), SCARD_E_SHARING_VIOLATION);
    SCardDisconnect(a, SCARD_LEAVE_CARD);

    // A token held by another process admits shared connections only.
    winsim::tokens::hold_elsewhere(id);
    EXPECT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_EXCLUSIVE, 3, &a, &p), SCARD_E_SHARING_VIOLATION);
    ASSERT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_SHARED, 3, &a, &p), SCARD_S_SUCCESS);
    SCardDisconnect(a, SCARD_LEAVE_CARD);
    winsim::tokens::hold_elsewhere(id, false);

    EXPECT_EQ(SCardConnectA(c, R1.c_str(), SCARD_SHARE_SHARED, 3, &a, &p), SCARD_E_NO_SMARTCARD);
    EXPECT_EQ(SCardConnectA(c, R1.c_str(), SCARD_SHARE_DIRECT, 0, &a, &p), SCARD_S_SUCCESS);
    EXPECT_EQ(p, 0u);
    SCardDisconnect(a, SCARD_LEAVE_CARD);
    EXPECT_EQ(SCardConnectA(c, "Nobody's", SCARD_SHARE_SHARED, 3, &a, &p), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(SCardConnectA(c, "Acme T0", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &a, &p), SCARD_E_PROTO_MISMATCH);
    ASSERT_EQ(SCardConnectA(c, "Acme T0", SCARD_SHARE_SHARED, 3, &a, &p), SCARD_S_SUCCESS);
    EXPECT_EQ(p, (DWORD)SCARD_PROTOCOL_T0);
    SCardDisconnect(a, SCARD_LEAVE_CARD);
    EXPECT_EQ(SCardConnectA(c, R0.c_str(), 0, 3, &a, &p), SCARD_E_INVALID_VALUE);
    winsim::scard::set_mute(R0);
    EXPECT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_SHARED, 3, &a, &p), SCARD_W_UNRESPONSIVE_CARD);
    winsim::scard::set_unavailable(R0);
    EXPECT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_SHARED, 3, &a, &p), SCARD_E_READER_UNAVAILABLE);
    SCardReleaseContext(c);
    SCardReleaseContext(d);
}

TEST(SCard, ControlGoesToTheTokenDriver) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::scard::set_virtual_readers(2);
    DWORD first = winsim::tokens::plug();
    winsim::tokens::TokenSpec spec;
    spec.serial = {8, 7, 6, 5, 4, 3, 2, 1};
    DWORD id = winsim::tokens::plug(spec);
    ASSERT_EQ(winsim::tokens::slot(id), 1);
    SCARDCONTEXT c = context();
    SCARDHANDLE h;
    DWORD p;
    ASSERT_EQ(SCardConnectA(c, R1.c_str(), SCARD_SHARE_EXCLUSIVE, 3, &h, &p), SCARD_S_SUCCESS);
    Bytes out;
    EXPECT_EQ(control(h, 0x312000, {}, 4, &out), SCARD_S_SUCCESS);
    EXPECT_EQ(le32(out, 0), 0x102u);
    // The reader's token, whatever the frame asks for.
    EXPECT_EQ(control(h, 0x312004, open_frame(first), 80, &out), SCARD_S_SUCCESS);
    EXPECT_EQ(le32(out, 0), id);
    EXPECT_EQ(le32(out, 12), 0u);
    EXPECT_EQ(out[16], 15);
    // The answer size rides in the length's high half.
    EXPECT_EQ(control(h, 0x31200C, command_frame(id, 0x120, 0x00080000), 8, &out), SCARD_S_SUCCESS);
    EXPECT_EQ(out, spec.serial);
    auto log = winsim::tokens::log();
    EXPECT_TRUE(log.back().smartcard);
    EXPECT_EQ(log.back().code, 0x220414u);
    // Only the reader codes: the driver's own and unknown ones are refused.
    EXPECT_EQ(control(h, 0x220400, {}, 4, &out), (LONG)ERROR_INVALID_FUNCTION);
    EXPECT_EQ(control(h, 0x312010, {}, 4, &out), (LONG)ERROR_INVALID_FUNCTION);
    DWORD n;
    EXPECT_EQ(SCardControl(h, 0x312000, nullptr, 0, out.data(), 4, nullptr), SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(SCardControl(h, 0x312000, nullptr, 0, nullptr, 4, &n), SCARD_E_INVALID_PARAMETER);

    // The token is held across paths.
    HANDLE drv = CreateFileA("\\\\.\\QUVADRVR", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    Bytes frame = open_frame(first);
    DWORD got = 0;
    ASSERT_TRUE(DeviceIoControl(drv, 0x220404, frame.data(), 80, frame.data(), 80, &got, nullptr));
    EXPECT_EQ(le32(frame, 0), id);
    EXPECT_EQ(le32(frame, 12), 1u);
    CloseHandle(drv);

    // Errors on demand come back as they are, Win32 or PC/SC.
    winsim::tokens::fail_control(0x31200C, ERROR_CRC);
    EXPECT_EQ(control(h, 0x31200C, command_frame(id, 0x120, 0), 8, &out), (LONG)ERROR_CRC);
    winsim::tokens::fail_control(0x220414, (DWORD)SCARD_F_COMM_ERROR);
    EXPECT_EQ(control(h, 0x31200C, command_frame(id, 0x120, 0), 8, &out), SCARD_F_COMM_ERROR);

    // Pulled out: the card is gone for this connection, also when a token comes back.
    winsim::tokens::unplug(id);
    EXPECT_EQ(control(h, 0x31200C, command_frame(id, 0x120, 0), 8, &out), SCARD_W_REMOVED_CARD);
    winsim::tokens::plug({{}, "", false, {}, {}, true, 1});
    EXPECT_EQ(control(h, 0x312000, {}, 4, &out), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(SCardDisconnect(h, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);

    // Mid-exchange, through the reader.
    ASSERT_EQ(SCardConnectA(c, R1.c_str(), SCARD_SHARE_EXCLUSIVE, 3, &h, &p), SCARD_S_SUCCESS);
    winsim::tokens::remove_during_next_exchange(3);
    control(h, 0x312004, open_frame(0), 80, &out);
    EXPECT_EQ(control(h, 0x31200C, command_frame(3, 0x120, 0), 8, &out), SCARD_W_REMOVED_CARD);
    SCardDisconnect(h, SCARD_LEAVE_CARD);

    // Physical readers know nothing of these codes.
    winsim::scard::add_reader({"Acme", k_foreign_atr, 3, false});
    ASSERT_EQ(SCardConnectA(c, "Acme", SCARD_SHARE_SHARED, 3, &h, &p), SCARD_S_SUCCESS);
    EXPECT_EQ(control(h, 0x312000, {}, 4, &out), (LONG)ERROR_INVALID_FUNCTION);
    SCardReleaseContext(c);
}

TEST(SCard, EveryResultOnDemand) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::scard::set_virtual_readers(1);
    winsim::tokens::plug();
    const LONG results[] = {ERROR_INVALID_FUNCTION, ERROR_CRC, ERROR_OPERATION_ABORTED, SCARD_F_INTERNAL_ERROR,
                            SCARD_E_INVALID_PARAMETER, SCARD_E_INVALID_TARGET, SCARD_E_NO_MEMORY,
                            SCARD_F_WAITED_TOO_LONG, SCARD_E_UNKNOWN_READER, SCARD_E_TIMEOUT,
                            SCARD_E_SHARING_VIOLATION, SCARD_E_NO_SMARTCARD, SCARD_E_INVALID_VALUE,
                            SCARD_F_COMM_ERROR, SCARD_E_READER_UNAVAILABLE, SCARD_E_NO_SERVICE,
                            SCARD_E_SERVICE_STOPPED, SCARD_W_UNRESPONSIVE_CARD, SCARD_W_REMOVED_CARD,
                            SCARD_E_UNKNOWN_CARD};
    SCARDCONTEXT c = context();
    SCARDHANDLE h;
    DWORD p;
    ASSERT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_EXCLUSIVE, 3, &h, &p), SCARD_S_SUCCESS);
    for (LONG e : results) {
        winsim::faults::fail("SCardEstablishContext", (DWORD)e);
        SCARDCONTEXT x = 0;
        EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &x), e);
        winsim::faults::fail("SCardGetStatusChangeA", (DWORD)e);
        LONG r;
        query(c, R0, 0, 1, &r);
        EXPECT_EQ(r, e);
        winsim::faults::fail("SCardConnectA", (DWORD)e);
        SCARDHANDLE y;
        EXPECT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_SHARED, 3, &y, &p), e);
        winsim::faults::fail("SCardControl", (DWORD)e);
        Bytes out;
        EXPECT_EQ(control(h, 0x312000, {}, 4, &out), e);
        winsim::faults::fail("SCardListReadersA", (DWORD)e);
        DWORD len;
        EXPECT_EQ(SCardListReadersA(c, nullptr, nullptr, &len), e);
    }
    // The call after a fault runs normally.
    Bytes out;
    EXPECT_EQ(control(h, 0x312000, {}, 4, &out), SCARD_S_SUCCESS);
    SCardReleaseContext(c);
}

TEST(SCard, StatusTransmitAndDispositions) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::scard::set_virtual_readers(1);
    winsim::tokens::TokenSpec spec;
    spec.serial = {1, 1, 2, 2, 3, 3, 4, 4};
    DWORD id = winsim::tokens::plug(spec);
    SCARDCONTEXT c = context();
    SCARDHANDLE h;
    DWORD p;
    ASSERT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_SHARED, 3, &h, &p), SCARD_S_SUCCESS);
    EXPECT_TRUE(winsim::tokens::token(id)->card_powered()); // the first connection powers it

    char names[100];
    DWORD names_len = sizeof names, state = 0, proto = 0, atr_len = 2;
    BYTE atr[40];
    EXPECT_EQ(SCardStatusA(h, names, &names_len, &state, &proto, atr, &atr_len), SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(atr_len, 25u);
    EXPECT_EQ(names_len, R0.size() + 2);
    EXPECT_EQ(SCardStatusA(h, names, &names_len, &state, &proto, atr, &atr_len), SCARD_S_SUCCESS);
    EXPECT_EQ(std::string(names), R0);
    EXPECT_EQ(state, (DWORD)SCARD_SPECIFIC);
    EXPECT_EQ(proto, (DWORD)SCARD_PROTOCOL_T1);
    EXPECT_EQ(atr[24], tokenmodel::k_long_atr[24]);
    LPSTR auto_names = nullptr;
    names_len = SCARD_AUTOALLOCATE;
    EXPECT_EQ(SCardStatusA(h, (LPSTR)&auto_names, &names_len, nullptr, nullptr, nullptr, nullptr), SCARD_S_SUCCESS);
    EXPECT_EQ(std::string(auto_names), R0);
    SCardFreeMemory(c, auto_names);

    // APDUs straight to the token's card; the reader speaks T=1 itself.
    BYTE sel[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x02}, rd[] = {0x00, 0xB0, 0x00, 0x00, 0x08};
    BYTE resp[260];
    DWORD rlen = sizeof resp;
    EXPECT_EQ(SCardTransmit(h, SCARD_PCI_T0, sel, sizeof sel, nullptr, resp, &rlen), SCARD_E_PROTO_MISMATCH);
    ASSERT_EQ(SCardTransmit(h, SCARD_PCI_T1, sel, sizeof sel, nullptr, resp, &rlen), SCARD_S_SUCCESS);
    EXPECT_EQ(Bytes(resp, resp + rlen), (Bytes{0x90, 0x00}));
    rlen = 4;
    EXPECT_EQ(SCardTransmit(h, SCARD_PCI_T1, rd, sizeof rd, nullptr, resp, &rlen), SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(rlen, 10u);
    EXPECT_EQ(SCardTransmit(h, SCARD_PCI_T1, rd, sizeof rd, nullptr, resp, &rlen), SCARD_S_SUCCESS);
    EXPECT_EQ(Bytes(resp, resp + 8), spec.serial);

    EXPECT_EQ(SCardDisconnect(h, SCARD_UNPOWER_CARD), SCARD_S_SUCCESS);
    EXPECT_FALSE(winsim::tokens::token(id)->card_powered());
    ASSERT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_SHARED, 3, &h, &p), SCARD_S_SUCCESS);
    winsim::tokens::token(id)->power_down();
    EXPECT_EQ(SCardDisconnect(h, SCARD_RESET_CARD), SCARD_S_SUCCESS);
    EXPECT_TRUE(winsim::tokens::token(id)->card_powered());
    EXPECT_EQ(SCardDisconnect(h, SCARD_LEAVE_CARD), SCARD_E_INVALID_HANDLE);

    // A foreign card answers through SCardTransmit too; gone once pulled out.
    winsim::scard::add_reader({"Acme", k_foreign_atr, SCARD_PROTOCOL_T0, false});
    ASSERT_EQ(SCardConnectA(c, "Acme", SCARD_SHARE_SHARED, 3, &h, &p), SCARD_S_SUCCESS);
    rlen = sizeof resp;
    ASSERT_EQ(SCardTransmit(h, SCARD_PCI_T0, sel, sizeof sel, nullptr, resp, &rlen), SCARD_S_SUCCESS);
    EXPECT_EQ(rlen, 2u);
    winsim::scard::remove_card("Acme");
    state = 0;
    EXPECT_EQ(SCardStatusA(h, nullptr, nullptr, &state, nullptr, nullptr, nullptr), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(state, (DWORD)SCARD_ABSENT);
    winsim::scard::insert_card("Acme", k_foreign_atr);
    EXPECT_EQ(SCardTransmit(h, SCARD_PCI_T0, sel, sizeof sel, nullptr, resp, &rlen), SCARD_W_REMOVED_CARD);
    winsim::scard::remove_reader("Acme");
    EXPECT_EQ(SCardStatusA(h, nullptr, nullptr, &state, nullptr, nullptr, nullptr), SCARD_E_READER_UNAVAILABLE);
    SCardReleaseContext(c);
}

TEST(SCard, TransactionsWaitForEachOther) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    winsim::scard::set_virtual_readers(1);
    winsim::tokens::plug();
    SCARDCONTEXT c = context();
    SCARDHANDLE a, b;
    DWORD p;
    SCardConnectA(c, R0.c_str(), SCARD_SHARE_SHARED, 3, &a, &p);
    SCardConnectA(c, R0.c_str(), SCARD_SHARE_SHARED, 3, &b, &p);
    EXPECT_EQ(SCardEndTransaction(a, SCARD_LEAVE_CARD), SCARD_E_NOT_TRANSACTED);
    ASSERT_EQ(SCardBeginTransaction(a), SCARD_S_SUCCESS);
    uint64_t got_it = 0;
    auto t = winsim::sched::spawn([&] {
        EXPECT_EQ(SCardBeginTransaction(b), SCARD_S_SUCCESS);
        got_it = winsim::sched::now();
        EXPECT_EQ(SCardEndTransaction(b, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
        return (DWORD)0;
    });
    uint64_t t0 = winsim::sched::now();
    winsim::clock::advance(70);
    EXPECT_EQ(got_it, 0u);
    EXPECT_EQ(SCardEndTransaction(a, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    winsim::sched::wait_until([&] { return t->signaled(); }, winsim::sched::kForever, "transaction thread");
    EXPECT_EQ(got_it - t0, 70u);
    SCardReleaseContext(c);
}

TEST(SCard, IntroducedReadersAndForgetting) {
    auto m = winsim::Machine::temporary(Os::Win2000);
    const std::string calais = "HKLM\\Software\\Microsoft\\Cryptography\\Calais\\Readers\\";
    winsim::scard::add_reader({"Acme Intro", {}, 1, true});
    EXPECT_TRUE(winsim::reg::key_exists(calais + "Acme Intro"));
    winsim::reg::import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Cryptography\\Calais\\Readers\\" +
                             R0 + "]\n\"Device\"=\"\\\\\\\\.\\\\QuvaIFD0\"\n");
    // R0 is introduced but the driver presents no reader: listed, unavailable.
    EXPECT_EQ(winsim::scard::reader_names(), (std::vector<std::string>{"Acme Intro", R0}));
    SCARDCONTEXT c = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &c), SCARD_S_SUCCESS);
    EXPECT_EQ(query(c, R0).dwEventState, (DWORD)(SCARD_STATE_UNAVAILABLE | SCARD_STATE_CHANGED));
    SCARDHANDLE h;
    DWORD p;
    EXPECT_EQ(SCardConnectA(c, R0.c_str(), SCARD_SHARE_DIRECT, 0, &h, &p), SCARD_E_READER_UNAVAILABLE);
    // Once the driver presents it, it is the live virtual reader.
    winsim::scard::set_virtual_readers(1);
    EXPECT_EQ(winsim::scard::reader_names(), (std::vector<std::string>{R0, "Acme Intro"}));
    EXPECT_EQ(query(c, R0).dwEventState, (DWORD)(SCARD_STATE_EMPTY | SCARD_STATE_CHANGED));
    winsim::scard::set_virtual_readers(0);

    EXPECT_EQ(SCardForgetReaderA(c, R0.c_str()), SCARD_S_SUCCESS);
    EXPECT_FALSE(winsim::reg::key_exists(calais + R0));
    EXPECT_EQ(SCardForgetReaderA(c, R0.c_str()), SCARD_E_UNKNOWN_READER);
    // An attached reader stays listed after being forgotten.
    EXPECT_EQ(SCardForgetReaderA(c, "ACME INTRO"), SCARD_S_SUCCESS);
    EXPECT_EQ(winsim::scard::reader_names(), (std::vector<std::string>{"Acme Intro"}));
    winsim::scard::remove_reader("Acme Intro");
    EXPECT_TRUE(winsim::scard::reader_names().empty());
    EXPECT_EQ(SCardForgetReaderA(c, nullptr), SCARD_E_INVALID_PARAMETER);
    SCardReleaseContext(c);
}
