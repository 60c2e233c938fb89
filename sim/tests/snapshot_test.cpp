// Machine snapshots: what the diff says about registry, file, service and
// device changes, its order, and the saved form surviving a round trip.
#include <windows.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace snapshot = winsim::snapshots;
namespace devices = winsim::devices;

namespace {

std::string text(const std::vector<std::string> &lines) {
    std::string out;
    for (auto &l : lines) out += l + "\n";
    return out;
}

TEST(Snapshot, NothingDoneGivesNoLines) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    auto a = snapshot::take();
    auto b = snapshot::take();
    EXPECT_EQ(text(snapshot::diff(a, b)), "");
}

TEST(Snapshot, RegistryAndFilesInStableOrder) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Old]\n\"Gone\"=\"x\"\n"
                                         "\"Kept\"=dword:00000001\n\n[HKEY_LOCAL_MACHINE\\Software\\Old\\Sub]\n"));
    ASSERT_TRUE(winsim::disk::write_text("C:\\WINDOWS\\INF\\oem0.inf", "abc"));
    ASSERT_TRUE(winsim::disk::write_text("C:\\WINDOWS\\INF\\oem1.inf", "abc"));
    ASSERT_TRUE(winsim::disk::write_text("C:\\WINDOWS\\INF\\oem2.inf", "abc"));
    auto a = snapshot::take();
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\Software\\Old\\Sub]\n\n"
                                         "[HKEY_LOCAL_MACHINE\\Software\\Old]\n\"Gone\"=-\n\"Kept\"=dword:00000002\n"
                                         "\"List\"=hex(7):61,00,62,00,00\n\n[HKEY_LOCAL_MACHINE\\Software\\A]\n@=\"d\"\n"));
    ASSERT_TRUE(winsim::disk::remove("C:\\WINDOWS\\INF\\oem0.inf"));
    ASSERT_TRUE(winsim::disk::write_text("C:\\WINDOWS\\INF\\oem1.inf", "abcd"));
    ASSERT_TRUE(winsim::disk::write_text("C:\\WINDOWS\\INF\\oem2.inf", "xyz")); // same size, other bytes
    ASSERT_TRUE(winsim::disk::write_text("C:\\WINDOWS\\INF\\OEM3.INF", "a\tb"));
    auto lines = snapshot::diff(a, snapshot::take());
    EXPECT_EQ(text(lines), "+ key HKLM\\SOFTWARE\\A\n"
                           "+ value HKLM\\SOFTWARE\\A\\@ = \"d\"\n"
                           "- value HKLM\\SOFTWARE\\Old\\Gone\n"
                           "~ value HKLM\\SOFTWARE\\Old\\Kept: dword:0x00000001 (1) -> dword:0x00000002 (2)\n"
                           "+ value HKLM\\SOFTWARE\\Old\\List = multi:\"a\",\"b\"\n"
                           "- key HKLM\\SOFTWARE\\Old\\Sub\n"
                           "- file C:\\WINDOWS\\INF\\oem0.inf\n"
                           "~ file C:\\WINDOWS\\INF\\oem1.inf: 3 bytes -> 4 bytes\n"
                           "~ file C:\\WINDOWS\\INF\\oem2.inf: contents changed (3 bytes)\n"
                           "+ file C:\\WINDOWS\\INF\\OEM3.INF (3 bytes)\n");
}

TEST(Snapshot, ServicesAndDevices) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    devices::DeviceSpec spec;
    spec.hardware_ids = {"USB\\VID_1F3C&PID_1000"};
    spec.instance_id = "USB\\VID_1F3C&PID_1000\\5&1";
    spec.present = false;
    devices::add(spec);
    auto a = snapshot::take();
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qvatoken]\n"
                                         "\"Type\"=dword:00000001\n\"Start\"=dword:00000003\n"
                                         "\"ErrorControl\"=dword:00000001\n"
                                         "\"ImagePath\"=\"System32\\\\DRIVERS\\\\QVATOKEN.SYS\"\n"));
    ASSERT_EQ(devices::plug("USB\\VID_1F3C&PID_1000"), "USB\\VID_1F3C&PID_1000\\5&1");
    ASSERT_TRUE(devices::set_class("USB\\VID_1F3C&PID_1000\\5&1", "SmartCardReader"));
    ASSERT_TRUE(devices::set_profile_flags("USB\\VID_1F3C&PID_1000\\5&1", 1));
    spec.instance_id = "ROOT\\SMARTCARDREADER\\0000";
    spec.hardware_ids = {"quva\\quvaEnum"};
    spec.class_name = "SmartCardReader";
    spec.service = "quvaenum";
    spec.present = true;
    devices::add(spec);
    auto b = snapshot::take();
    std::vector<std::string> lines;
    for (auto &l : snapshot::diff(a, b))
        if (l.rfind("+ service", 0) == 0 || l.find(" device ") != std::string::npos) lines.push_back(l);
    EXPECT_EQ(text(lines), "+ service qvatoken stopped, demand start, System32\\DRIVERS\\QVATOKEN.SYS\n"
                           "+ device ROOT\\SMARTCARDREADER\\0000 present, class SmartCardReader, service quvaenum\n"
                           "~ device USB\\VID_1F3C&PID_1000\\5&1: registered -> present\n"
                           "~ device USB\\VID_1F3C&PID_1000\\5&1: class USB -> SmartCardReader\n"
                           "~ device USB\\VID_1F3C&PID_1000\\5&1: disabled in this profile\n");
    // Back the other way: enabling is said as such, a removed node is one line.
    ASSERT_TRUE(devices::set_profile_flags("USB\\VID_1F3C&PID_1000\\5&1", 0));
    ASSERT_TRUE(devices::remove("ROOT\\SMARTCARDREADER\\0000"));
    lines.clear();
    for (auto &l : snapshot::diff(b, snapshot::take()))
        if (l.find(" device ") != std::string::npos) lines.push_back(l);
    EXPECT_EQ(text(lines), "- device ROOT\\SMARTCARDREADER\\0000\n"
                           "~ device USB\\VID_1F3C&PID_1000\\5&1: enabled\n");
}

TEST(Snapshot, SavedFormRoundTripsAndRefusesJunk) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    // Values with line breaks, tabs and binary data must keep to one line.
    std::string reg = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\T]\n\"Multi\"=\"a\\tb\"\n"
                      "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11\n\"\"=\"x\"\n";
    ASSERT_TRUE(winsim::reg::import_text(reg));
    winsim::disk::write_text("C:\\T\\a.txt", "line\r\nline\r\n");
    auto a = snapshot::take();
    std::string file = m->dir() + "/snap.txt";
    ASSERT_TRUE(snapshot::save(a, file));
    snapshot::State b;
    ASSERT_TRUE(snapshot::load(file, &b));
    EXPECT_EQ(text(snapshot::diff(a, b)), "");
    EXPECT_EQ(text(snapshot::diff(b, a)), "");
    // A change beyond the bytes shown still shows.
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\T]\n"
                                         "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,12\n"));
    auto lines = snapshot::diff(b, snapshot::take());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("~ value HKLM\\SOFTWARE\\T\\Bin: hex(3):00,01", 0), 0u) << lines[0];
    winsim::disk::write_text("C:\\junk.txt", "not a snapshot\n");
    EXPECT_FALSE(snapshot::load(m->host_path("C:\\junk.txt"), &b));
    EXPECT_FALSE(snapshot::load(m->dir() + "/missing.txt", &b));
}

} // namespace
