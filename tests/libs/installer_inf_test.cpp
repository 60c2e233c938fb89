// The driver installer library's INF handling: the OEM INF purges, the INF
// summary, the InstallHinfSection command and its host, the INF behind a
// driver key and the 98/ME copy into the INF directory.
#include "kit.h"

#include "quva_common.h"
#include <quvadi.h>
#include <setupapi.h>

#include <cstring>
#include <string>
#include <vector>

using winsim::Os;
namespace faults = winsim::faults;
namespace disk = winsim::disk;

// The internal operations, compiled here; the process runner forwards to the
// loaded library.
#define quva_get_os_version kit::os_version
#define quvaDI_RunProcessA test_RunProcessA
namespace inf_under_test {
DWORD test_RunProcessA(HWND hwnd, LPSTR cmd, LPCSTR dir, BOOL wait, UINT show) {
    using Run = DWORD(WINAPI *)(HWND, LPSTR, LPCSTR, BOOL, UINT);
    return kit::quvadi_export<Run>("quvaDI_RunProcessA")(hwnd, cmd, dir, wait, show);
}
#include "../../installer/hwids.cpp"
#include "../../installer/inf.cpp"
} // namespace inf_under_test
#undef quvaDI_RunProcessA
#undef quva_get_os_version

namespace iut = inf_under_test;

namespace {

struct Fixture {
    explicit Fixture(Os os = Os::WinXp) : m(os), lib("QUVADI.DLL") {
        kit::g_quvadi = lib.handle();
        char buf[MAX_PATH];
        windows.assign(buf, GetWindowsDirectoryA(buf, sizeof buf));
        inf_dir = windows + "\\INF";
    }
    ~Fixture() {
        faults::clear();
        kit::g_quvadi = nullptr;
    }
    kit::Machine m;
    kit::Library lib;
    std::string windows, inf_dir;
};

// An INF of a provider and class listing hardware IDs in its models section.
std::string inf_text(const std::string &provider, const std::string &cls, const std::vector<std::string> &ids) {
    std::string t = "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=" + cls + "\r\nProvider=%Mfg%\r\n" +
                    "DriverVer=01/02/2004,1.18.0.57\r\n\r\n[Manufacturer]\r\n%Mfg%=Models\r\n\r\n[Models]\r\n";
    for (size_t i = 0; i < ids.size(); i++)
        t += "\"Device " + std::to_string(i) + "\"=Dev" + std::to_string(i) + "_Install, " + ids[i] + "\r\n";
    return t + "\r\n[Strings]\r\nMfg=\"" + provider + "\"\r\n";
}

const char k_maker[] = "Vornel Technologies";
const char k_token[] = "USB\\VID_1F3C&PID_1000";
const char k_enum[] = "quva\\quvaEnum";
const char k_reader[] = "QUVAENUM\\QUVAIFD";

// Writes <INF>\name with a PNF beside it.
void oem(const Fixture &f, const std::string &name, const std::string &text) {
    ASSERT_TRUE(disk::write_text(f.inf_dir + "\\" + name + ".inf", text));
    ASSERT_TRUE(disk::write_text(f.inf_dir + "\\" + name + ".PNF", "compiled"));
}

// Which of the named OEM INFs (and their PNFs) are left.
std::string left(const Fixture &f, const std::vector<std::string> &names) {
    std::string out;
    for (auto &n : names) {
        bool inf = disk::exists(f.inf_dir + "\\" + n + ".inf"), pnf = disk::exists(f.inf_dir + "\\" + n + ".PNF");
        EXPECT_EQ(inf, pnf) << n;
        if (inf) out += (out.empty() ? "" : " ") + n;
    }
    return out;
}

// One OEM INF for each verdict of the install-side purge.
std::vector<std::string> seed_purge_cases(const Fixture &f) {
    oem(f, "oem0", inf_text("Another Maker Inc.", "USB", {k_token, k_enum}));                  // other provider
    oem(f, "oem1", inf_text("VORNEL TECHNOLOGIES, Inc.", "USB", {"USB\\VID_0000", k_token})); // maker, USB, token
    oem(f, "oem2", inf_text(k_maker, "SmartCardReader", {k_token, k_reader}));                // reader stack named
    oem(f, "oem3", inf_text(k_maker, "SmartCardReader", {k_token, "USB\\VID_1F3C&PID_1301"})); // tokens only
    oem(f, "oem4", inf_text(k_maker, "Quva", {k_enum}));                                      // own class, enumerator
    oem(f, "oem5", inf_text(k_maker, "SmartCardReader", {k_enum, k_token}));                  // enumerator first
    oem(f, "oem6", inf_text(k_maker, "USB", {"USB\\VID_1F3C&PID_100"}));                      // no token row
    oem(f, "oem7", inf_text(k_maker, "Ports", {k_token}));                                    // another class
    oem(f, "oem8", inf_text("Vornel", "USB", {k_token}));                                     // provider too short
    return {"oem0", "oem1", "oem2", "oem3", "oem4", "oem5", "oem6", "oem7", "oem8"};
}

} // namespace

TEST(InstallerInf, PurgeOemInfsDeletesOnlyTheMakersStaleInfs) {
    Fixture f;
    auto names = seed_purge_cases(f);
    ASSERT_TRUE(disk::write_text(f.inf_dir + "\\usb.inf", inf_text(k_maker, "USB", {k_token}))); // not OEM*
    iut::PurgeOemInfs();
    EXPECT_EQ(left(f, names), "oem0 oem2 oem5 oem6 oem7 oem8");
    EXPECT_TRUE(disk::exists(f.inf_dir + "\\usb.inf"));
}

TEST(InstallerInf, PurgeReaderOemInfsTakesReaderClassInfsNamingTheStack) {
    Fixture f;
    auto names = seed_purge_cases(f);
    iut::PurgeReaderOemInfs();
    EXPECT_EQ(left(f, names), "oem0 oem1 oem4 oem6 oem7 oem8");
}

TEST(InstallerInf, PurgeSkipsWhatCannotBeOpenedReadOrDeleted) {
    Fixture f;
    auto names = seed_purge_cases(f);
    // oem0's every open fails, oem1's information cannot be had, and the
    // next deletion (oem3's INF) fails: the walk goes on with the others.
    faults::fail("SetupOpenInfFileA", ERROR_ACCESS_DENIED, 4);
    faults::fail("SetupGetInfInformationA", ERROR_NOT_ENOUGH_MEMORY, 1);
    faults::fail("DeleteFileA", ERROR_ACCESS_DENIED, 1);
    iut::PurgeOemInfs();
    EXPECT_EQ(faults::fired("SetupOpenInfFileA"), 4);
    EXPECT_EQ(faults::fired("DeleteFileA"), 1);
    EXPECT_TRUE(disk::exists(f.inf_dir + "\\oem3.inf"));
    EXPECT_FALSE(disk::exists(f.inf_dir + "\\oem3.PNF"));
    names.erase(names.begin() + 3);
    EXPECT_EQ(left(f, names), "oem0 oem1 oem2 oem5 oem6 oem7 oem8");

    // No INF directory, or the search failing: nothing happens.
    faults::fail("FindFirstFileA", ERROR_ACCESS_DENIED, 1);
    iut::PurgeOemInfs();
    faults::fail("GetWindowsDirectoryA", ERROR_ACCESS_DENIED, 1);
    iut::PurgeOemInfs();
}

TEST(InstallerInf, ReadInfSummaryTakesVersionKeysAndAtMostTenModels) {
    Fixture f;
    std::vector<std::string> ids;
    for (int i = 0; i < 12; i++) ids.push_back("ROOT\\DEV" + std::to_string(i));
    std::string path = f.inf_dir + "\\big.inf";
    std::string text = inf_text(k_maker, "Quva", ids);
    text.replace(text.find("Class=Quva"), 10, "Class=Quva\r\nClassGUID={4C9A2E71-5B3D-4F80-A6C2-1E7D9B3F5A08}");
    ASSERT_TRUE(disk::write_text(path, text));

    iut::InfSummary s;
    memset(&s, 0x5A, sizeof s);
    EXPECT_EQ(iut::ReadInfSummary(path.c_str(), &s), 0u);
    EXPECT_STREQ(s.Provider, k_maker);
    EXPECT_STREQ(s.Class, "Quva");
    EXPECT_STREQ(s.ClassGUID, "{4C9A2E71-5B3D-4F80-A6C2-1E7D9B3F5A08}");
    EXPECT_STREQ(s.Version, "");
    EXPECT_STREQ(s.ModelsSection, "Models");
    ASSERT_EQ(s.ModelCount, 10u);
    EXPECT_STREQ(s.Models[9].Description, "Device 9");
    EXPECT_STREQ(s.Models[9].InstallSection, "Dev9_Install");
    EXPECT_STREQ(s.Models[9].HardwareId, "ROOT\\DEV9");

    // A hardware ID wider than the field is left empty; the line still counts.
    std::string wide(80, 'W');
    ASSERT_TRUE(disk::write_text(path, inf_text(k_maker, "Quva", {wide, k_token})));
    EXPECT_EQ(iut::ReadInfSummary(path.c_str(), &s), 0u);
    EXPECT_EQ(s.ModelCount, 2u);
    EXPECT_STREQ(s.Models[0].HardwareId, "");
    EXPECT_STREQ(s.Models[1].HardwareId, k_token);
}

TEST(InstallerInf, ReadInfSummaryFailuresGiveTheFirstError) {
    Fixture f;
    iut::InfSummary s;
    std::string path = f.inf_dir + "\\x.inf";
    EXPECT_EQ(iut::ReadInfSummary(path.c_str(), &s), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(s.ModelCount, 0u);

    std::string text = inf_text(k_maker, "Quva", {k_token});
    ASSERT_TRUE(disk::write_text(path, text.substr(0, text.find("[Manufacturer]"))));
    EXPECT_NE(iut::ReadInfSummary(path.c_str(), &s), 0u);
    ASSERT_TRUE(disk::write_text(path, text));

    for (const char *api : {"SetupOpenInfFileA", "SetupGetInfInformationA", "SetupFindFirstLineA"}) {
        faults::fail(api, ERROR_NOT_ENOUGH_MEMORY, 1);
        EXPECT_EQ(iut::ReadInfSummary(path.c_str(), &s), (DWORD)ERROR_NOT_ENOUGH_MEMORY) << api;
    }
    faults::fail("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_EQ(iut::ReadInfSummary(path.c_str(), &s), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    // The description of the first model cannot be read: nothing counted.
    faults::fail("SetupGetStringFieldA", ERROR_INVALID_DATA, 1, 1);
    EXPECT_EQ(iut::ReadInfSummary(path.c_str(), &s), (DWORD)ERROR_INVALID_DATA);
    EXPECT_EQ(s.ModelCount, 0u);
    // A failed version query leaves just that field empty.
    faults::fail("SetupQueryInfVersionInformationA", ERROR_INVALID_DATA, 1);
    EXPECT_EQ(iut::ReadInfSummary(path.c_str(), &s), 0u);
    EXPECT_STREQ(s.Provider, "");
    EXPECT_EQ(s.ModelCount, 1u);
}

TEST(InstallerInf, BuildInstallHinfCommandPerPlatformAndSize) {
    const char inf[] = "C:\\SRC\\quva.inf";
    for (Os os : {Os::Win98, Os::Nt4, Os::WinXp}) {
        Fixture f(os);
        bool nt = os != Os::Win98;
        std::string format = nt ? "%s\\System32\\rundll32.exe setupapi.dll,InstallHinfSection %s 132 %s"
                                : "%s\\rundll.exe setupx.dll,InstallHinfSection %s 132 %s";
        std::string want = f.windows + (nt ? "\\System32\\rundll32.exe setupapi.dll" : "\\rundll.exe setupx.dll") +
                           ",InstallHinfSection DefaultInstall 132 " + inf;
        DWORD need_want = (DWORD)(strlen("DefaultInstall") + strlen(inf) + format.size() + f.windows.size() + 1);

        char out[MAX_PATH];
        DWORD need = 0;
        EXPECT_TRUE(iut::BuildInstallHinfCommand(inf, nullptr, out, sizeof out, &need)) << (int)os;
        EXPECT_EQ(out, want);
        EXPECT_EQ(need, need_want);
        // Exactly the needed size is enough; one less writes nothing.
        EXPECT_TRUE(iut::BuildInstallHinfCommand(inf, nullptr, out, need, nullptr));
        memset(out, 'x', sizeof out);
        need = 0;
        EXPECT_FALSE(iut::BuildInstallHinfCommand(inf, nullptr, out, need_want - 1, &need));
        EXPECT_EQ(out[0], 0);
        EXPECT_EQ(need, need_want);
        EXPECT_TRUE(iut::BuildInstallHinfCommand(inf, "QuvaEnum_Install", out, sizeof out, nullptr));
        EXPECT_NE(std::string(out).find(",InstallHinfSection QuvaEnum_Install 132 C:\\SRC\\quva.inf"),
                  std::string::npos);
    }
    Fixture f;
    char out[8] = "keep";
    EXPECT_FALSE(iut::BuildInstallHinfCommand(nullptr, nullptr, out, sizeof out, nullptr));
    EXPECT_STREQ(out, "keep");
    EXPECT_FALSE(iut::BuildInstallHinfCommand("a.inf", nullptr, nullptr, 0, nullptr));
    EXPECT_FALSE(iut::BuildInstallHinfCommand("a.inf", nullptr, out, 0, nullptr));
    EXPECT_STREQ(out, "keep"); // a zero-sized buffer is not written
    faults::fail("GetVersionExA", ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(iut::BuildInstallHinfCommand("a.inf", nullptr, out, sizeof out, nullptr));
}

TEST(InstallerInf, RunInfSectionRunsTheHostInTheSourceDirectory) {
    Fixture f;
    ASSERT_TRUE(disk::write_text("C:\\SRC\\quva.inf",
                                 "[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n[QuvaEnum_Install]\r\nAddReg=Mark\r\n\r\n"
                                 "[Mark]\r\nHKLM,Software\\InfTest,Ran,0x10001,1\r\n"));
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\"));
    EXPECT_EQ(iut::RunInfSection(nullptr, "C:\\SRC", "quva.inf", "QuvaEnum_Install"), 0u);
    EXPECT_TRUE(winsim::reg::key_exists("HKEY_LOCAL_MACHINE\\Software\\InfTest"));
    char cwd[MAX_PATH];
    GetCurrentDirectoryA(sizeof cwd, cwd);
    EXPECT_STREQ(cwd, "C:\\");

    // The host cannot start: its error; no command fits: 87; a source
    // directory that cannot be entered: the section is not run.
    faults::fail("CreateProcessA", ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(iut::RunInfSection(nullptr, "C:\\SRC", "quva.inf", "QuvaEnum_Install"), (DWORD)ERROR_ACCESS_DENIED);
    std::string deep(240, 'd');
    EXPECT_EQ(iut::RunInfSection(nullptr, "C:\\SRC", deep.c_str(), nullptr), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(iut::RunInfSection(nullptr, "C:\\NOWHERE", "quva.inf", nullptr), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(iut::RunInfSection(nullptr, nullptr, "quva.inf", nullptr), (DWORD)ERROR_INVALID_PARAMETER);
    GetCurrentDirectoryA(sizeof cwd, cwd);
    EXPECT_STREQ(cwd, "C:\\");
}

TEST(InstallerInf, DeleteDriverInfFollowsTheDriverKey) {
    Fixture f;
    const std::string cls = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class\\";
    const char key[] = "{50DD5230-BA8A-11D1-BF5D-0000F805F530}\\0003";
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[" + cls + key + "]\r\n\"InfPath\"=\"oem5.inf\"\r\n\r\n"));
    oem(f, "oem5", inf_text(k_maker, "SmartCardReader", {k_token}));
    oem(f, "oem6", inf_text(k_maker, "SmartCardReader", {k_token}));

    SetLastError(99);
    EXPECT_TRUE(iut::DeleteDriverInf(key));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(left(f, {"oem5", "oem6"}), "oem6");

    // A driver key that is gone is done; one without "InfPath" deletes nothing.
    SetLastError(99);
    EXPECT_TRUE(iut::DeleteDriverInf("{50DD5230-BA8A-11D1-BF5D-0000F805F530}\\0009"));
    EXPECT_EQ(GetLastError(), 0u);
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[" + cls + key + "]\r\n\"InfPath\"=-\r\n\r\n"));
    EXPECT_TRUE(iut::DeleteDriverInf(key));
    EXPECT_EQ(left(f, {"oem6"}), "oem6");

    faults::fail("RegOpenKeyExA", ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(iut::DeleteDriverInf(key));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    faults::fail("GetWindowsDirectoryA", ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(iut::DeleteDriverInf(key));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(iut::DeleteDriverInf(nullptr));
}

TEST(InstallerInf, CopyInfToWindowsRecordsTheSourcePath) {
    Fixture f(Os::Win98);
    ASSERT_TRUE(disk::write_text("C:\\SRC\\quva.inf", "[Version]\r\n"));
    const std::string setup = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Setup";
    ASSERT_TRUE(winsim::reg::import_text("REGEDIT4\r\n\r\n[" + setup + "]\r\n\r\n"));
    EXPECT_TRUE(iut::CopyInfToWindows("C:\\SRC", "quva.inf"));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(winsim::reg::value(setup, "SourcePath", &type, &data));
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(std::string(data.begin(), data.end()).substr(0, 7), "C:\\SRC\\");
    EXPECT_TRUE(disk::exists(f.inf_dir + "\\quva.inf"));

    // The value cannot be written: FALSE, but the INF is still copied.
    disk::remove(f.inf_dir + "\\quva.inf");
    faults::fail("RegSetValueExA", ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(iut::CopyInfToWindows("C:\\SRC", "quva.inf"));
    EXPECT_TRUE(disk::exists(f.inf_dir + "\\quva.inf"));
}
