// The driver installer library's error texts, message box and versions.
#include "kit.h"

#include <quvadi.h>

#include <cstring>

using winsim::Os;

namespace {

const char k_uninstall[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{5A1C7E20-3B4D-4E6F-8A9B-0C1D2E3F4A5B}";

using ErrorStr = DWORD(WINAPI *)(DWORD, LPSTR, DWORD);

struct Call {
    DWORD result;
    std::string text;
};

Call error_str(const kit::Library &lib, DWORD code, DWORD size) {
    auto f = lib.fn<ErrorStr>("quvaDI_GetErrorStrA");
    std::vector<char> buf(size + 8, '#');
    Call c{f(code, buf.data(), size), ""};
    for (DWORD i = size; i < size + 8; i++) EXPECT_EQ(buf[i], '#') << "written past the buffer";
    c.text.assign(buf.data(), size ? strnlen(buf.data(), size) : 0);
    return c;
}

TEST(InstallerMessages, SetupApiTexts) {
    kit::Machine m(Os::WinXp);
    kit::Library lib("QUVADI.DLL");
    Call c = error_str(lib, 0xE000020A, 64);
    EXPECT_EQ(c.result, 12u);
    EXPECT_EQ(c.text, "No INF file.");
    // One byte short of the zero: untouched, same length.
    c = error_str(lib, 0xE000020A, 12);
    EXPECT_EQ(c.result, 12u);
    EXPECT_EQ(c.text, "############");
    c = error_str(lib, 0xE000020A, 13);
    EXPECT_EQ(c.text, "No INF file.");
    // The ends of each range, the misspellings, and codes just outside.
    struct Row {
        DWORD code;
        const char *text;
    } rows[] = {
        {0xE0000000, "Expected INF section name."},   {0xE0000003, "General INF syntax error."},
        {0xE0000100, "Wrong INF style."},             {0xE0000103, "No backup INF."},
        {0xE0000200, "No associated class."},         {0xE0000221, "Remote commuication failure."},
        {0xE000022A, "Invalid INF log configuation."}, {0xE0000232, "Cannot remove device instance."},
        {0xE0000004, "Unknown error."},               {0xE00000FF, "Unknown error."},
        {0xE0000104, "Unknown error."},               {0xE0000233, "Unknown error."},
        {0xE0000300, "Unknown error."},               {0xFFFFFFFF, "Unknown error."},
    };
    for (const Row &r : rows) {
        c = error_str(lib, r.code, 100);
        EXPECT_EQ(c.text, r.text) << std::hex << r.code;
        EXPECT_EQ(c.result, std::strlen(r.text)) << std::hex << r.code;
    }
    // The table has exactly 59 texts.
    int known = 0;
    for (DWORD code = 0xE0000000; code < 0xE0000400; code++)
        if (error_str(lib, code, 100).text != "Unknown error.") known++;
    EXPECT_EQ(known, 59);
    // A null buffer is never written.
    auto f = lib.fn<ErrorStr>("quvaDI_GetErrorStrA");
    EXPECT_EQ(f(0xE000020A, nullptr, 64), 12u);
    EXPECT_EQ(f(2, nullptr, 64), 0u);
}

TEST(InstallerMessages, SystemTexts) {
    kit::Machine m(Os::WinXp);
    kit::Library lib("QUVADI.DLL");
    char want[256];
    SetLastError(0);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 2, 0, want,
                             sizeof want, nullptr);
    ASSERT_GT(n, 0u);
    for (DWORD code : {2u, 0x80000000u, 0xC0000000u}) {
        SetLastError(1234);
        Call c = error_str(lib, code, 256);
        if (code == 2) {
            EXPECT_EQ(GetLastError(), 1234u) << "set the last error";
            EXPECT_EQ(c.result, n);
            EXPECT_EQ(c.text, std::string(want, n));
        } else {
            // The system path: no text for these, an emptied buffer.
            EXPECT_EQ(c.result, 0u) << std::hex << code;
            EXPECT_EQ(c.text, "") << std::hex << code;
        }
    }
    // Too small for the system text: 0 and an empty buffer.
    Call c = error_str(lib, 2, 5);
    EXPECT_EQ(c.result, 0u);
    EXPECT_EQ(c.text, "");
    c = error_str(lib, 2, 0);
    EXPECT_EQ(c.result, 0u);
}

TEST(InstallerMessages, MessageBoxArgumentOrder) {
    kit::Machine m(Os::Win98);
    kit::Library lib("QUVADI.DLL");
    winsim::user::set_default_answer(IDNO);
    auto f = lib.fn<int(WINAPI *)(HWND, UINT, LPCSTR, LPCSTR)>("quvaDI_DlgMessageBoxA");
    EXPECT_EQ(f(nullptr, MB_YESNO | MB_ICONQUESTION, "The caption", "The text"), IDNO);
    auto boxes = winsim::user::message_boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "The caption");
    EXPECT_EQ(boxes[0].text, "The text");
    EXPECT_EQ(boxes[0].type, (UINT)(MB_YESNO | MB_ICONQUESTION));
}

std::vector<BYTE> driver_image(WORD a, WORD b, WORD c, WORD d) {
    winsim::pe::VersionInfo info;
    info.file_version[0] = a;
    info.file_version[1] = b;
    info.file_version[2] = c;
    info.file_version[3] = d;
    return winsim::pe::make_image(info);
}

DWORD driver_version() {
    kit::Library lib("QUVADI.DLL");
    return lib.dword_call("quvaDI_GetDriverVersion");
}

TEST(InstallerMessages, DriverVersionReadsOnlyThePlatformsFile) {
    struct Case {
        Os os;
        const char *file, *other;
    } cases[] = {
        {Os::Win95, "C:\\WINDOWS\\SYSTEM\\QVATKN95.SYS", "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\qvatoken.sys"},
        {Os::Win98, "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\qvatoken.sys", "C:\\WINDOWS\\SYSTEM\\qvatkn95.sys"},
        {Os::WinMe, "C:\\WINDOWS\\System32\\Drivers\\QVATOKEN.SYS", "C:\\WINDOWS\\SYSTEM\\qvatkn95.sys"},
        {Os::Nt4, "C:\\WINNT\\system32\\drivers\\usbqvtkn.sys", "C:\\WINNT\\system32\\drivers\\qvatoken.sys"},
        {Os::Win2000, "C:\\WINNT\\system32\\drivers\\qvatoken.sys", "C:\\WINNT\\system32\\drivers\\usbqvtkn.sys"},
        {Os::WinXp, "C:\\WINDOWS\\system32\\drivers\\qvatoken.sys", "C:\\WINDOWS\\system32\\drivers\\usbqvtkn.sys"},
    };
    for (const Case &c : cases) {
        kit::Machine m(c.os);
        // The package's uninstall entry does not count here.
        ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[" + std::string(k_uninstall) +
                                             "]\n\"VersionMajor\"=dword:00000002\n"));
        ASSERT_TRUE(winsim::disk::write_file(c.other, driver_image(9, 9, 9, 9)));
        EXPECT_EQ(driver_version(), 0u) << c.file;
        ASSERT_TRUE(winsim::disk::write_file(c.file, driver_image(1, 18, 0, 56)));
        EXPECT_EQ(driver_version(), 0x01120038u) << c.file;
    }
    kit::Machine m(Os::WinXp);
    ASSERT_TRUE(winsim::disk::write_file(cases[5].file, driver_image(1, 18, 0, 56)));
    winsim::faults::fail("GetVersionExA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(driver_version(), 0xFFFFFFFFu);
    winsim::faults::fail("GetWindowsDirectoryA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(driver_version(), 0xFFFFFFFFu);
    winsim::faults::fail("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(driver_version(), 0u);
    winsim::pe::VersionInfo bare;
    ASSERT_TRUE(winsim::disk::write_file(cases[5].file, winsim::pe::make_image(bare, false)));
    EXPECT_EQ(driver_version(), 0u);
}

TEST(InstallerMessages, InstallerVersionFromTheUninstallEntry) {
    kit::Machine m(Os::WinXp);
    kit::Library lib("QUVADI.DLL");
    auto version = [&] { return lib.dword_call("quvaDI_GetDriverInstallerVersion"); };
    auto seed = [](const std::string &values) {
        ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[" + std::string(k_uninstall) + "]\n" + values + "\n"));
    };
    EXPECT_EQ(version(), 0u); // no entry
    seed("");
    EXPECT_EQ(version(), 0u); // no values
    seed("\"VersionMajor\"=dword:00000002\n\"VersionBuild\"=dword:00000007\n");
    EXPECT_EQ(version(), 0x02000000u); // no minor: the build is not read
    seed("\"VersionMinor\"=dword:00000001\n\"VersionBuild\"=-\n");
    EXPECT_EQ(version(), 0x02010000u);
    seed("\"VersionBuild\"=dword:00000007\n");
    EXPECT_EQ(version(), 0x02010007u);
    // Values of the wrong type or size count as missing.
    seed("\"VersionMinor\"=\"1\"\n");
    EXPECT_EQ(version(), 0x02000000u);
    seed("\"VersionMinor\"=hex:01,00,00,00,00,00,00,00\n");
    EXPECT_EQ(version(), 0x02000000u);
    // Oversized fields stay in their own bits.
    seed("\"VersionMajor\"=dword:00000102\n\"VersionMinor\"=dword:00000105\n\"VersionBuild\"=dword:00012345\n");
    EXPECT_EQ(version(), 0x02052345u);
    winsim::faults::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED);
    EXPECT_EQ(version(), 0u);
}

} // namespace
