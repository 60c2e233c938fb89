// The INF engine on Windows 9x: the logical disk ids of its INFs, a driver
// package's DefaultInstall through the rundll/setupx host (no service
// section there), and the NT ids those machines do not have.
#include "../src/inf.h"

#include <windows.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using winsim::Os;
namespace inf = winsim::inf;

namespace {

void write(const std::string &path, const std::string &text) {
    ASSERT_TRUE(winsim::disk::write_file(path, std::vector<BYTE>(text.begin(), text.end()))) << path;
}

std::string read(const std::string &path) {
    std::vector<BYTE> b;
    return winsim::disk::read_file(path, &b) ? std::string(b.begin(), b.end()) : "<missing>";
}

const char k_package[] =
    "[Version]\r\nSignature=\"$Chicago$\"\r\nClass=SmartCardReader\r\n"
    "[DestinationDirs]\r\nDefaultDestDir=11\r\nWdm.Files=10,System32\\Drivers\r\nVxd.Files=22\r\n"
    "[DefaultInstall]\r\nCopyFiles=Wdm.Files,Vxd.Files,Help.Files\r\nAddReg=Done\r\n"
    "[DefaultInstall.Services]\r\nAddService=quvatest,,Svc\r\n"
    "[Svc]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\nServiceBinary=%12%\\t.sys\r\n"
    "[Wdm.Files]\r\nt.sys\r\n[Vxd.Files]\r\nt.vxd\r\n[Help.Files]\r\nt.hlp\r\n"
    "[Done]\r\nHKLM,Software\\Vornel,Where,,\"%22%\"\r\n";

} // namespace

TEST(Inf9x, PackageThroughSetupxLandsInTheLogicalDirsWithoutServices) {
    for (Os os : {Os::Win95, Os::Win98, Os::WinMe}) {
        SCOPED_TRACE((int)os);
        auto m = winsim::Machine::temporary(os);
        write("C:\\Quva Pkg\\t.inf", k_package);
        for (const char *f : {"t.sys", "t.vxd", "t.hlp"}) write(std::string("C:\\Quva Pkg\\") + f, f);
        DWORD error = 0;
        EXPECT_EQ(0u, winsim::processes::run("C:\\WINDOWS\\rundll.exe setupx.dll,InstallHinfSection DefaultInstall 132 "
                                             "C:\\Quva Pkg\\t.inf",
                                             &error))
            << error;
        EXPECT_EQ("t.sys", read("C:\\WINDOWS\\System32\\Drivers\\t.sys"));
        EXPECT_EQ("t.vxd", read("C:\\WINDOWS\\SYSTEM\\VMM32\\t.vxd"));
        EXPECT_EQ("t.hlp", read("C:\\WINDOWS\\SYSTEM\\t.hlp"));
        DWORD type = 0;
        std::vector<BYTE> where;
        ASSERT_TRUE(winsim::reg::value("HKLM\\Software\\Vornel", "Where", &type, &where));
        EXPECT_STREQ((const char *)where.data(), "C:\\WINDOWS\\SYSTEM\\VMM32");
        // setupx has no service sections.
        EXPECT_FALSE(winsim::reg::key_exists("HKLM\\System\\CurrentControlSet\\Services\\quvatest"));
        EXPECT_EQ(inf::dirid_path(13), "C:\\WINDOWS\\COMMAND");
        EXPECT_EQ(inf::dirid_path(12), "C:\\WINDOWS\\SYSTEM\\IOSUBSYS");
    }
    // NT has none of these ids: a section naming them fails.
    auto m = winsim::Machine::temporary(Os::Nt4);
    EXPECT_EQ(inf::dirid_path(22), "");
    EXPECT_EQ(inf::dirid_path(13), "");
    write("C:\\pkg\\t.inf", k_package);
    for (const char *f : {"t.sys", "t.vxd", "t.hlp"}) write(std::string("C:\\pkg\\") + f, f);
    inf::File f;
    ASSERT_EQ(0u, inf::load("C:\\pkg\\t.inf", &f));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, inf::install_section(f, "DefaultInstall").error);
    EXPECT_EQ("t.sys", read("C:\\WINNT\\System32\\Drivers\\t.sys")) << "the lists before it were copied";
}
