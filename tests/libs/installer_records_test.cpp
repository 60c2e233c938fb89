// The driver component records, an internal operation of the driver
// installer library: built here from the library's own source.
#include "../../installer/records.cpp"
#include "../../installer/files.cpp"
#include "../../common/file_version.cpp"

#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using winsim::Os;

namespace {

const std::string k_drivers = "HKLM\\Software\\Vornel Technologies\\Quva\\Quva Components\\Quva Device Drivers";
const std::string k_vxd = k_drivers + "\\Vornel Technologies Quva Smart Card Reader";

struct Fixture {
    explicit Fixture(Os os) : m(winsim::Machine::temporary(os)), before(winsim::handles::open()) {}
    ~Fixture() { EXPECT_EQ(winsim::handles::leaks_since(before), ""); }
    // A driver image of version a.b.c.d; no description when desc is null.
    void driver(const std::string &path, const char *desc, WORD a = 2, WORD b = 3, WORD c = 9, WORD d = 41) {
        winsim::pe::VersionInfo info;
        info.file_version[0] = a;
        info.file_version[1] = b;
        info.file_version[2] = c;
        info.file_version[3] = d;
        info.codepage = 1200; // Translation names the string table
        if (desc) info.strings.push_back({"FileDescription", desc});
        ASSERT_TRUE(winsim::disk::write_file(path, winsim::pe::make_image(info)));
    }
    std::string sys() const { return m->profile().system_dir; }
    std::string win() const { return m->profile().windows_dir; }
    std::unique_ptr<winsim::Machine> m;
    winsim::handles::Counts before;
};

std::string value(const std::string &key, const char *name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!winsim::reg::value(key, name, &type, &data)) return "<missing>";
    if (type == REG_DWORD && data.size() == 4) {
        DWORD v;
        std::memcpy(&v, data.data(), 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08X", (unsigned)v);
        return buf;
    }
    if (type == REG_SZ) return std::string(data.begin(), data.end()); // includes the zero
    return "<bad>";
}

TEST(InstallerRecords, XpRecordsEachDescribedDriverAndSharesNames) {
    Fixture f(Os::WinXp);
    f.driver(f.sys() + "\\Drivers\\qvatoken.sys", "Quva Token Driver");
    f.driver(f.sys() + "\\Drivers\\quvaenum.sys", nullptr); // no description: no record
    f.driver(f.sys() + "\\Drivers\\quvaifd.sys", "Quva Token Driver", 5, 6, 7, 8); // same name: later wins
    WriteComponentRecords();
    EXPECT_EQ(value(k_drivers + "\\Quva Token Driver", "Version"), "05060008");
    EXPECT_EQ(value(k_drivers + "\\Quva Token Driver", "Path"), f.sys() + "\\Drivers\\quvaifd.sys" + '\0');
    std::string text = winsim::reg::export_text("HKEY_LOCAL_MACHINE\\" + k_drivers.substr(5));
    EXPECT_EQ(text.find("quvaenum"), std::string::npos);

    // A description over 63 characters names the record by its first 63.
    std::string long_desc(80, 'D');
    f.driver(f.sys() + "\\Drivers\\quvaenum.sys", long_desc.c_str());
    WriteComponentRecords();
    EXPECT_EQ(value(k_drivers + "\\" + long_desc.substr(0, 63), "Version"), "02030029");

    // A Translation with language 0 is looked up as US English.
    winsim::pe::VersionInfo info;
    info.language = 0;
    info.codepage = 1200;
    info.string_table = "040904B0";
    info.strings.push_back({"FileDescription", "Quva Enumerator"});
    ASSERT_TRUE(winsim::disk::write_file(f.sys() + "\\Drivers\\quvaenum.sys", winsim::pe::make_image(info)));
    WriteComponentRecords();
    EXPECT_EQ(value(k_drivers + "\\Quva Enumerator", "Version"), "01000000");

    // Removal finds the names in the images now present: the record of the
    // replaced image stays, and so do its parents.
    RemoveComponentRecords();
    EXPECT_FALSE(winsim::reg::key_exists(k_drivers + "\\Quva Enumerator"));
    EXPECT_FALSE(winsim::reg::key_exists(k_drivers + "\\Quva Token Driver"));
    EXPECT_TRUE(winsim::reg::key_exists(k_drivers + "\\" + long_desc.substr(0, 63)));
}

TEST(InstallerRecords, Win98VxdTakesTheTokenDriverVersion) {
    Fixture f(Os::Win98);
    const std::string vxd = f.win() + "\\System\\quvavr9x.vxd";
    ASSERT_TRUE(winsim::disk::write_text(vxd, "VXD"));
    WriteComponentRecords(); // no qvatoken.sys: version 0
    EXPECT_EQ(value(k_vxd, "Version"), "00000000");
    EXPECT_EQ(value(k_vxd, "Path"), vxd + '\0');

    f.driver(f.win() + "\\System32\\Drivers\\qvatoken.sys", "Quva Token Driver", 1, 4, 0, 300);
    WriteComponentRecords();
    EXPECT_EQ(value(k_vxd, "Version"), "0104012C");
    EXPECT_EQ(value(k_drivers + "\\Quva Token Driver", "Version"), "0104012C");

    // Removal after the images were deleted by hand: the per-file record
    // stays (its name came from the image), the VxD record goes.
    ASSERT_TRUE(winsim::disk::remove(vxd));
    ASSERT_TRUE(winsim::disk::remove(f.win() + "\\System32\\Drivers\\qvatoken.sys"));
    RemoveComponentRecords();
    EXPECT_FALSE(winsim::reg::key_exists(k_vxd));
    EXPECT_TRUE(winsim::reg::key_exists(k_drivers + "\\Quva Token Driver"));
}

TEST(InstallerRecords, Win95AndNt4UseTheirOwnFiles) {
    {
        Fixture f(Os::Win95);
        f.driver(f.win() + "\\System\\qvatkn95.sys", "Quva Token Driver 95");
        f.driver(f.win() + "\\System32\\Drivers\\qvatoken.sys", "Quva Token Driver");
        WriteComponentRecords();
        EXPECT_TRUE(winsim::reg::key_exists(k_drivers + "\\Quva Token Driver 95"));
        EXPECT_FALSE(winsim::reg::key_exists(k_drivers + "\\Quva Token Driver"));
        EXPECT_FALSE(winsim::reg::key_exists(k_vxd));
    }
    {
        Fixture f(Os::Nt4);
        f.driver(f.sys() + "\\Drivers\\usbqvtkn.sys", "Quva Token Driver NT");
        f.driver(f.sys() + "\\Drivers\\usbhub.sys", "Quva USB Hub");
        WriteComponentRecords();
        EXPECT_TRUE(winsim::reg::key_exists(k_drivers + "\\Quva Token Driver NT"));
        EXPECT_EQ(value(k_drivers + "\\Quva USB Hub", "Path"), f.sys() + "\\Drivers\\usbhub.sys" + '\0');
        RemoveComponentRecords();
        EXPECT_FALSE(winsim::reg::key_exists("HKLM\\Software\\Vornel Technologies"));
    }
}

TEST(InstallerRecords, PruningKeepsKeysThatStillHoldRecords) {
    Fixture f(Os::WinXp);
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vornel Technologies\\Quva\\Quva "
                                         "Components\\Quva Application Interfaces\\Quva Driver Installer "
                                         "Library]\n\"Version\"=dword:0102004e\n"));
    f.driver(f.sys() + "\\Drivers\\qvatoken.sys", "Quva Token Driver");
    WriteComponentRecords();
    RemoveComponentRecords();
    EXPECT_FALSE(winsim::reg::key_exists(k_drivers));
    EXPECT_TRUE(winsim::reg::key_exists(
        "HKLM\\Software\\Vornel Technologies\\Quva\\Quva Components\\Quva Application Interfaces"));
}

TEST(InstallerRecords, FailuresAreSkippedQuietly) {
    Fixture f(Os::WinXp);
    f.driver(f.sys() + "\\Drivers\\qvatoken.sys", "Quva Token Driver");
    f.driver(f.sys() + "\\Drivers\\quvaifd.sys", "Quva Virtual Reader");
    // The first record cannot be created: the next is still written.
    winsim::faults::fail("RegCreateKeyExA", ERROR_ACCESS_DENIED);
    WriteComponentRecords();
    EXPECT_FALSE(winsim::reg::key_exists(k_drivers + "\\Quva Token Driver"));
    EXPECT_TRUE(winsim::reg::key_exists(k_drivers + "\\Quva Virtual Reader"));

    // No system directory: nothing written, nothing removed or pruned.
    winsim::faults::fail("GetSystemDirectoryA", ERROR_INVALID_PARAMETER, 2);
    WriteComponentRecords();
    EXPECT_FALSE(winsim::reg::key_exists(k_drivers + "\\Quva Token Driver"));
    RemoveComponentRecords();
    EXPECT_TRUE(winsim::reg::key_exists(k_drivers + "\\Quva Virtual Reader"));

    // A record that cannot be deleted keeps its parents.
    winsim::faults::fail("RegDeleteKeyA", ERROR_ACCESS_DENIED, 2);
    RemoveComponentRecords();
    EXPECT_TRUE(winsim::reg::key_exists(k_drivers + "\\Quva Virtual Reader"));
    RemoveComponentRecords();
    EXPECT_FALSE(winsim::reg::key_exists("HKLM\\Software\\Vornel Technologies"));
}

} // namespace
