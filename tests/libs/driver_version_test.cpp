// quva_GetDriverVersion: the uninstall entry, then the platform's driver file.
#include "kit.h"

using winsim::Os;

namespace {

const char k_uninstall[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "{5A1C7E20-3B4D-4E6F-8A9B-0C1D2E3F4A5B}";

std::vector<BYTE> driver_image(WORD a, WORD b, WORD c, WORD d) {
    winsim::pe::VersionInfo info;
    info.file_version[0] = a;
    info.file_version[1] = b;
    info.file_version[2] = c;
    info.file_version[3] = d;
    return winsim::pe::make_image(info);
}

void seed(const std::string &values) {
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[" + std::string(k_uninstall) + "]\n" + values + "\n"));
}

DWORD driver_version() {
    kit::Library lib("QUVAB2.DLL");
    return lib.dword_call("quva_GetDriverVersion");
}

TEST(DriverVersion, ReadsThePlatformsDriverFile) {
    struct Case {
        Os os;
        const char *file;
        const char *other; // a driver file of another platform, which must be ignored
    } cases[] = {
        {Os::Win95, "C:\\WINDOWS\\SYSTEM\\QVATKN95.SYS", "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\qvatoken.sys"},
        {Os::Win98, "C:\\WINDOWS\\SYSTEM32\\DRIVERS\\qvatoken.sys", "C:\\WINDOWS\\SYSTEM\\qvatkn95.sys"},
        {Os::WinMe, "C:\\WINDOWS\\System32\\Drivers\\QVATOKEN.SYS", "C:\\WINDOWS\\SYSTEM\\qvatkn95.sys"},
        {Os::Nt4, "C:\\WINNT\\system32\\drivers\\usbqvtkn.sys", "C:\\WINNT\\system32\\drivers\\qvatoken.sys"},
        {Os::Win2000, "C:\\WINNT\\system32\\drivers\\qvatoken.sys", "C:\\WINNT\\system32\\drivers\\usbqvtkn.sys"},
        {Os::WinXp, "C:\\WINDOWS\\system32\\drivers\\qvatoken.sys", "C:\\WINDOWS\\system32\\drivers\\usbqvtkn.sys"},
        {Os::Vista, "C:\\Windows\\System32\\drivers\\qvatoken.sys", "C:\\Windows\\System32\\drivers\\usbqvtkn.sys"},
    };
    for (const Case &c : cases) {
        kit::Machine m(c.os);
        ASSERT_TRUE(winsim::disk::write_file(c.other, driver_image(9, 9, 9, 9)));
        EXPECT_EQ(driver_version(), 0u) << c.file;
        ASSERT_TRUE(winsim::disk::write_file(c.file, driver_image(1, 18, 0, 57)));
        EXPECT_EQ(driver_version(), 0x01120039u) << c.file;
    }
}

TEST(DriverVersion, UninstallEntryWinsAndStopsAtTheFirstMissingValue) {
    kit::Machine m(Os::WinXp);
    ASSERT_TRUE(winsim::disk::write_file("C:\\WINDOWS\\system32\\drivers\\qvatoken.sys", driver_image(1, 18, 0, 57)));
    seed("\"VersionMajor\"=dword:00000002\n\"VersionBuild\"=dword:00000007\n");
    EXPECT_EQ(driver_version(), 0x02000000u); // no minor: the build is not read
    seed("\"VersionMinor\"=dword:00000005\n");
    EXPECT_EQ(driver_version(), 0x02050007u);
    // Values of the wrong type or size count as missing.
    seed("\"VersionMinor\"=\"5\"\n");
    EXPECT_EQ(driver_version(), 0x02000000u);
    seed("\"VersionMinor\"=hex:05,00,00,00,00,00,00,00\n");
    EXPECT_EQ(driver_version(), 0x02000000u);
    seed("\"VersionMajor\"=hex(4):02,00\n");
    EXPECT_EQ(driver_version(), 0u);
    // Oversized fields stay in their own bits.
    seed("\"VersionMajor\"=dword:00000102\n\"VersionMinor\"=dword:00000105\n\"VersionBuild\"=dword:00012345\n");
    EXPECT_EQ(driver_version(), 0x02052345u);
}

TEST(DriverVersion, PlatformFailuresAndUnreadableFiles) {
    {
        kit::Machine m(Os::WinXp);
        winsim::faults::fail("GetVersionExA", ERROR_ACCESS_DENIED);
        EXPECT_EQ(driver_version(), 0xFFFFFFFFu);
        winsim::faults::fail("GetWindowsDirectoryA", ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(driver_version(), 0xFFFFFFFFu);
        // The uninstall entry needs neither.
        seed("\"VersionMajor\"=dword:00000003\n");
        winsim::faults::fail("GetVersionExA", ERROR_ACCESS_DENIED);
        EXPECT_EQ(driver_version(), 0x03000000u);
        winsim::faults::clear();
        // No drivers directory at all.
        ASSERT_TRUE(RemoveDirectoryA("C:\\WINDOWS\\system32\\drivers"));
        winsim::reg::import_text(std::string("REGEDIT4\n\n[-") + k_uninstall + "]\n");
        EXPECT_EQ(driver_version(), 0u);
    }
    {
        kit::Machine m(Os::Nt4);
        const char *file = "C:\\WINNT\\system32\\drivers\\usbqvtkn.sys";
        EXPECT_EQ(driver_version(), 0u); // missing
        winsim::pe::VersionInfo info;
        ASSERT_TRUE(winsim::disk::write_file(file, winsim::pe::make_image(info, false)));
        EXPECT_EQ(driver_version(), 0u); // no version resource
        ASSERT_TRUE(winsim::disk::write_text(file, "MZ but nothing more"));
        EXPECT_EQ(driver_version(), 0u); // not an image
        ASSERT_TRUE(winsim::disk::write_file(file, driver_image(1, 18, 0, 56)));
        winsim::faults::fail("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(driver_version(), 0u);
        EXPECT_EQ(driver_version(), 0x01120038u);
    }
}

} // namespace
