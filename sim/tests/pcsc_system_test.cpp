// The smart-card subsystem's system side: the repair program and the 98/ME
// reader class entries.
#include <windows.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

namespace {

const std::string k_services = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\";

bool has_start(const std::string &service) {
    DWORD type = 0;
    std::vector<BYTE> data;
    return winsim::reg::value(k_services + service, "Start", &type, &data) && type == REG_DWORD;
}

} // namespace

TEST(PcscSystem, ReinstallWritesTheServiceKeysBack) {
    auto m = winsim::Machine::temporary(winsim::Os::WinXp);
    winsim::pcsc::install_repair_program();
    EXPECT_FALSE(has_start("SCardSvr"));
    // Without the argument the program changes nothing.
    EXPECT_EQ(winsim::processes::run("C:\\WINDOWS\\SYSTEM32\\SCardSvr.exe"), 0u);
    EXPECT_FALSE(winsim::reg::key_exists(k_services + "SCardSvr"));
    EXPECT_EQ(winsim::processes::run("C:\\WINDOWS\\SYSTEM32\\SCardSvr.exe reinstall"), 0u);
    EXPECT_TRUE(has_start("SCardSvr"));
    EXPECT_TRUE(has_start("SCardDrv"));
    // The service manager sees what the keys say.
    bool found = false;
    for (auto &s : winsim::services::list()) found = found || s.name == "SCardSvr";
    EXPECT_TRUE(found);
    winsim::pcsc::remove_start_value("SCardDrv");
    EXPECT_FALSE(has_start("SCardDrv"));
}

TEST(PcscSystem, ReaderClassEntriesTakeTheNextFreeNumber) {
    auto m = winsim::Machine::temporary(winsim::Os::Win98);
    EXPECT_EQ(winsim::pcsc::add_class_reader("USB\\VID_1F3C&PID_1000"), "0000");
    EXPECT_EQ(winsim::pcsc::add_class_reader("PCMCIA\\ACME"), "0001");
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(winsim::reg::value(k_services + "Class\\SmartCardReader\\0001", "MatchingDeviceId", &type, &data));
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(std::string((const char *)data.data()), "PCMCIA\\ACME");
}
