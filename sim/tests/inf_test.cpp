// The INF engine: the parser's edge cases, the SetupAPI INF calls and their
// size and error rules, OEM INF copies, install sections and the rundll host.
#include "../src/inf.h"

#include <windows.h>
#include <setupapi.h>
#include <winsim/sim.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using winsim::Os;
namespace inf = winsim::inf;

namespace {

const char k_driver_inf[] =
    "; a driver package\r\n"
    "[Version]\r\n"
    "Signature=\"$Windows NT$\"\r\n"
    "Class=Quva\r\n"
    "ClassGUID={11111111-2222-3333-4444-555555555555}\r\n"
    "Provider=%Mfg%\r\n"
    "DriverVer=01/02/2004,2.1.0.7\r\n"
    "\r\n"
    "[Manufacturer]\r\n"
    "%Mfg%=Models,NTx86\r\n"
    "[Models]\r\n"
    "%Desc%=Old, quva\\quvaEnum\r\n"
    "[Models.NTx86]\r\n"
    "%Desc%=Enum.Install, quva\\quvaEnum, quva\\compat\r\n"
    "[Enum.Install.NT]\r\n"
    "CopyFiles=Enum.Files\r\n"
    "AddReg=Enum.Reg\r\n"
    "DelReg=Enum.Del\r\n"
    "[Enum.Install.NT.Services]\r\n"
    "AddService=quvaenum,0x00000002,Enum.Service\r\n"
    "[Enum.Service]\r\n"
    "DisplayName=%Desc%\r\n"
    "ServiceType=1\r\n"
    "StartType=3\r\n"
    "ErrorControl=1\r\n"
    "ServiceBinary=%12%\\quvaenum.sys\r\n"
    "AddReg=Enum.Params\r\n"
    "[Enum.Params]\r\n"
    "HKR,Parameters,UseRM,0x00010001,1\r\n"
    "[Enum.Reg]\r\n"
    "HKR,,EnumPropPages32,,\"quvaui.dll,Pages\"\r\n"
    "HKLM,Software\\Vornel,Ids,0x00010000,a,b\r\n"
    "HKLM,Software\\Vornel,Blob,1,de,ad\r\n"
    "[Enum.Del]\r\n"
    "HKLM,Software\\Vornel\\Old\r\n"
    "[Enum.Files]\r\n"
    "quvaenum.sys\r\n"
    "[DestinationDirs]\r\n"
    "DefaultDestDir=12\r\n"
    "[Strings]\r\n"
    "Mfg=\"Vornel Technologies\"\r\n"
    "Desc=\"Quva Enumerator\"\r\n";

void write(const std::string &path, const std::string &text) { ASSERT_TRUE(winsim::disk::write_text(path, text)); }

std::string read(const std::string &path) {
    std::vector<BYTE> b;
    if (!winsim::disk::read_file(path, &b)) return "<missing>";
    return std::string(b.begin(), b.end());
}

DWORD parse_error(const std::string &text, unsigned *line = nullptr) {
    inf::File f;
    unsigned l = 0;
    DWORD e = inf::parse(text, &f, &l);
    if (line) *line = l;
    return e;
}

} // namespace

TEST(InfParser, FieldsQuotesContinuationAndStrings) {
    inf::File f;
    ASSERT_EQ(0u, inf::parse("[s]\n"
                             "  Key = \"a, \"\"b\"\"\" ,  plain text  , , last \\\n"
                             "   more ; comment\n"
                             "novalue\n"
                             "k2 =\n"
                             "sub = %A%, %a%x, %undefined%, 100%%, %12\n"
                             "[S]\n"
                             "merged = 1\n"
                             "[Strings]\n"
                             "a = \"v;1\"\n",
                             &f));
    const inf::Section *s = f.section("S");
    ASSERT_TRUE(s);
    ASSERT_EQ(5u, s->lines.size()); // the second [s] joins the first
    const inf::Line &l = s->lines[0];
    EXPECT_EQ("Key", l.key);
    ASSERT_EQ(4u, l.fields.size());
    EXPECT_EQ("a, \"b\"", l.fields[0]);
    EXPECT_EQ("plain text", l.fields[1]);
    EXPECT_EQ("", l.fields[2]);
    EXPECT_EQ("last more", l.fields[3]);
    std::string v;
    EXPECT_TRUE(s->lines[1].field(0, &v));
    EXPECT_EQ("novalue", v); // no key: field 0 is the first value
    EXPECT_TRUE(s->lines[2].has_key);
    EXPECT_TRUE(s->lines[2].fields.empty());
    EXPECT_EQ((std::vector<std::string>{"v;1", "v;1x", "%undefined%", "100%", "%12"}), s->lines[3].fields);
    EXPECT_EQ(2u, s->lines[0].number);
    EXPECT_EQ(6u, s->lines[3].number);
    EXPECT_EQ(8u, s->lines[4].number);
}

TEST(InfParser, UnicodeTextIsReadAsAnsi) {
    std::string wide = "\xFF\xFE";
    for (char c : std::string("[Version]\r\nProvider=\"V\"\r\n")) wide += c, wide += '\0';
    inf::File f;
    ASSERT_EQ(0u, inf::parse(wide, &f));
    EXPECT_EQ("V", f.version("provider"));
}

TEST(InfParser, MalformedTextIsRefusedWithItsLine) {
    unsigned line = 0;
    EXPECT_EQ(ERROR_GENERAL_SYNTAX, parse_error("[Version]\nSignature=\"$Windows NT$\n", &line));
    EXPECT_EQ(2u, line);
    EXPECT_EQ(ERROR_EXPECTED_SECTION_NAME, parse_error("\n; c\nkey=1\n[a]\n", &line));
    EXPECT_EQ(3u, line);
    EXPECT_EQ(ERROR_BAD_SECTION_NAME_LINE, parse_error("[a]\n[b\n", &line));
    EXPECT_EQ(2u, line);
    EXPECT_EQ(ERROR_SECTION_NAME_TOO_LONG, parse_error("[" + std::string(300, 'x') + "]\n"));
    EXPECT_EQ(ERROR_GENERAL_SYNTAX, parse_error("[a]\nk=" + std::string(5000, 'x') + "\n"));
    // Substitution cannot blow a line up past the field limit.
    EXPECT_EQ(0u, parse_error("[a]\nk=%x%%x%%x%\n[Strings]\nx=" + std::string(1000, 'z') + "\n"));
    EXPECT_EQ(ERROR_GENERAL_SYNTAX, parse_error("[a]\nk=%x%%x%%x%\n[Strings]\nx=" + std::string(3000, 'z') + "\n"));
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, parse_error(std::string(inf::kMaxFileBytes + 1, '[')));
    // A mebibyte of junk is answered quickly either way.
    std::string junk;
    unsigned x = 12345;
    for (int i = 0; i < (1 << 20); i++) junk += (char)((x = x * 1103515245u + 12345u) >> 24);
    parse_error(junk);
    parse_error("[a]\n" + junk);
}

TEST(InfApi, OpenClassStyleAndErrors) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    auto before = winsim::handles::open();
    write("C:\\pkg\\quva.inf", k_driver_inf);
    write("C:\\pkg\\old.inf", "[Strings]\nx=1\n");
    write("C:\\pkg\\bad.inf", "[Version]\nSignature=\"$Chicago$\"\n\n[x]\nk=\"open\n");
    UINT line = 0;
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupOpenInfFileA("C:\\pkg\\none.inf", nullptr, INF_STYLE_WIN4, &line));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupOpenInfFileA("C:\\pkg\\quva.inf", "USB", INF_STYLE_WIN4, nullptr));
    EXPECT_EQ(ERROR_CLASS_MISMATCH, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupOpenInfFileA("C:\\pkg\\old.inf", nullptr, INF_STYLE_WIN4, nullptr));
    EXPECT_EQ(ERROR_WRONG_INF_STYLE, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupOpenInfFileA("C:\\pkg\\bad.inf", nullptr, INF_STYLE_WIN4, &line));
    EXPECT_EQ(ERROR_GENERAL_SYNTAX, GetLastError());
    EXPECT_EQ(5u, line);
    winsim::faults::fail("SetupOpenInfFileA", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupOpenInfFileA("C:\\pkg\\quva.inf", nullptr, INF_STYLE_WIN4, nullptr));
    EXPECT_EQ((DWORD)ERROR_NOT_ENOUGH_MEMORY, GetLastError());

    HINF h = SetupOpenInfFileA("C:\\pkg\\quva.inf", "quva", INF_STYLE_WIN4, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(1, winsim::handles::open()[winsim::HandleKind::InfFile]);
    EXPECT_FALSE(CloseHandle(h));

    // Version information: size query, fetch, substituted values, all keys.
    DWORD need = 0;
    EXPECT_TRUE(SetupGetInfInformationA(h, INFINFO_INF_SPEC_IS_HINF, nullptr, 0, &need));
    std::vector<BYTE> buf(need);
    auto *info = (PSP_INF_INFORMATION)buf.data();
    EXPECT_FALSE(SetupGetInfInformationA(h, INFINFO_INF_SPEC_IS_HINF, info, need - 1, nullptr));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    ASSERT_TRUE(SetupGetInfInformationA(h, INFINFO_INF_SPEC_IS_HINF, info, need, nullptr));
    EXPECT_EQ((DWORD)INF_STYLE_WIN4, info->InfStyle);
    char text[64];
    DWORD size = 0;
    ASSERT_TRUE(SetupQueryInfVersionInformationA(info, 0, "provider", text, sizeof text, &size));
    EXPECT_STREQ("Vornel Technologies", text);
    EXPECT_EQ(20u, size);
    EXPECT_FALSE(SetupQueryInfVersionInformationA(info, 0, "Provider", text, 19, &size));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_FALSE(SetupQueryInfVersionInformationA(info, 0, "Version", text, sizeof text, nullptr));
    EXPECT_FALSE(SetupQueryInfVersionInformationA(info, 1, "Provider", text, sizeof text, nullptr));
    ASSERT_TRUE(SetupQueryInfVersionInformationA(info, 0, nullptr, text, sizeof text, &size));
    EXPECT_EQ(std::string("Signature\0Class\0ClassGUID\0Provider\0DriverVer\0\0", 46), std::string(text, size));

    // Lines and fields.
    INFCONTEXT c, n;
    EXPECT_FALSE(SetupFindFirstLineA(h, "Nowhere", nullptr, &c));
    EXPECT_EQ(ERROR_LINE_NOT_FOUND, GetLastError());
    ASSERT_TRUE(SetupFindFirstLineA(h, "manufacturer", nullptr, &c));
    ASSERT_TRUE(SetupGetStringFieldA(&c, 1, text, sizeof text, &size));
    EXPECT_STREQ("Models", text);
    ASSERT_TRUE(SetupFindFirstLineA(h, "Models.NTx86", nullptr, &c));
    EXPECT_TRUE(SetupGetStringFieldA(&c, 0, nullptr, 0, &size));
    EXPECT_EQ(16u, size);
    EXPECT_FALSE(SetupGetStringFieldA(&c, 0, text, 15, nullptr));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_FALSE(SetupGetStringFieldA(&c, 4, text, sizeof text, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(3u, SetupGetFieldCount(&c));
    ASSERT_TRUE(SetupGetLineTextA(&c, nullptr, nullptr, nullptr, text, sizeof text, nullptr));
    EXPECT_STREQ("Enum.Install,quva\\quvaEnum,quva\\compat", text);
    EXPECT_FALSE(SetupFindNextLine(&c, &n));
    EXPECT_EQ(ERROR_LINE_NOT_FOUND, GetLastError());
    ASSERT_TRUE(SetupFindFirstLineA(h, "Enum.Service", "StartType", &c));
    INT i = 0;
    EXPECT_TRUE(SetupGetIntField(&c, 1, &i));
    EXPECT_EQ(3, i);
    ASSERT_TRUE(SetupFindFirstLineA(h, "Enum.Params", nullptr, &c));
    EXPECT_TRUE(SetupGetIntField(&c, 4, &i));
    EXPECT_EQ(0x10001, i);
    EXPECT_FALSE(SetupGetIntField(&c, 0, &i));
    EXPECT_EQ((DWORD)ERROR_INVALID_DATA, GetLastError());
    ASSERT_TRUE(SetupFindFirstLineA(h, "Enum.Service", nullptr, &c));
    ASSERT_TRUE(SetupFindNextMatchLineA(&c, "errorcontrol", &n));
    EXPECT_EQ(3u, n.Line);
    EXPECT_EQ(6, SetupGetLineCountA(h, "Enum.Service"));

    GUID g;
    char cls[32];
    ASSERT_TRUE(SetupDiGetINFClassA("C:\\pkg\\quva.inf", &g, cls, sizeof cls, &size));
    EXPECT_STREQ("Quva", cls);
    EXPECT_EQ(0x11111111u, g.Data1);
    EXPECT_FALSE(SetupDiGetINFClassA("C:\\pkg\\quva.inf", &g, cls, 4, &size));
    EXPECT_EQ(5u, size);

    SetupCloseInfFile(h);
    // Reachable through the system's SETUPAPI image as programs find them.
    HMODULE lib = LoadLibraryA("setupapi.dll");
    ASSERT_NE(nullptr, lib);
    for (const char *fn : {"SetupOpenInfFileA", "SetupCopyOEMInfA", "SetupDiGetINFClassA", "InstallHinfSectionA"})
        EXPECT_NE(nullptr, (void *)GetProcAddress(lib, fn)) << fn;
    FreeLibrary(lib);
    EXPECT_EQ("", winsim::handles::leaks_since(before));
    EXPECT_FALSE(SetupFindFirstLineA(h, "Version", nullptr, &c)); // closed handle
}

TEST(InfApi, OemCopiesAreNumberedReusedAndUninstalled) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    write("C:\\pkg\\quva.inf", std::string(k_driver_inf) + "[Version]\r\nCatalogFile=quva.cat\r\n");
    write("C:\\pkg\\quva.cat", "catalog");
    write("C:\\other\\b.inf", std::string(k_driver_inf) + "; another\r\n");
    write("C:\\WINDOWS\\inf\\oem0.inf", "[Version]\nSignature=$Chicago$\n");
    char name[MAX_PATH];
    DWORD need = 0;
    PSTR part = nullptr;
    ASSERT_TRUE(SetupCopyOEMInfA("C:\\pkg\\quva.inf", "C:\\pkg", SPOST_PATH, 0, name, sizeof name, &need, &part));
    EXPECT_STREQ("C:\\WINDOWS\\inf\\oem1.inf", name);
    EXPECT_STREQ("oem1.inf", part);
    EXPECT_EQ(strlen(name) + 1, need);
    EXPECT_EQ(read("C:\\pkg\\quva.inf"), read("C:\\WINDOWS\\INF\\OEM1.INF"));
    const std::string cat = "C:\\WINDOWS\\system32\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}\\oem1.CAT";
    EXPECT_EQ("catalog", read(cat));
    EXPECT_NE(std::string::npos, read("C:\\WINDOWS\\inf\\oem1.pnf").find("OriginalLocation=C:\\pkg\r\n"));

    // The same bytes keep their number; NOOVERWRITE reports the copy that is there.
    ASSERT_TRUE(SetupCopyOEMInfA("C:\\pkg\\quva.inf", nullptr, SPOST_NONE, 0, nullptr, 0, &need, nullptr));
    EXPECT_EQ(24u, need);
    EXPECT_FALSE(SetupCopyOEMInfA("C:\\pkg\\quva.inf", nullptr, SPOST_PATH, SP_COPY_NOOVERWRITE, name, sizeof name,
                                  nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
    EXPECT_STREQ("C:\\WINDOWS\\inf\\oem1.inf", name);
    EXPECT_FALSE(SetupCopyOEMInfA("C:\\other\\b.inf", nullptr, SPOST_PATH, SP_COPY_REPLACEONLY, nullptr, 0, nullptr,
                                  nullptr));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    // Too small a name buffer fails after the copy was made.
    EXPECT_FALSE(SetupCopyOEMInfA("C:\\other\\b.inf", nullptr, SPOST_PATH, SP_COPY_DELETESOURCE, name, 10, &need,
                                  nullptr));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(24u, need);
    EXPECT_TRUE(winsim::disk::exists("C:\\WINDOWS\\inf\\oem2.inf"));
    EXPECT_TRUE(winsim::disk::exists("C:\\WINDOWS\\inf\\oem2.pnf"));
    EXPECT_FALSE(winsim::disk::exists("C:\\other\\b.inf"));
    winsim::faults::fail("SetupCopyOEMInfA", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetupCopyOEMInfA("C:\\pkg\\quva.inf", nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_FALSE(SetupCopyOEMInfA("C:\\pkg\\none.inf", nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

    // An INF a driver key names stays unless forced.
    winsim::reg::import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                             "{11111111-2222-3333-4444-555555555555}\\0000]\n\"InfPath\"=\"oem1.inf\"\n");
    EXPECT_FALSE(SetupUninstallOEMInfA("oem1.inf", 0, nullptr));
    EXPECT_EQ(ERROR_INF_IN_USE_BY_DEVICES, GetLastError());
    EXPECT_TRUE(SetupUninstallOEMInfA("oem1.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(winsim::disk::exists("C:\\WINDOWS\\inf\\oem1.pnf"));
    EXPECT_FALSE(winsim::disk::exists(cat));
    EXPECT_FALSE(SetupUninstallOEMInfA("oem1.inf", 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    // The freed number is taken again.
    ASSERT_TRUE(SetupCopyOEMInfA("C:\\pkg\\quva.inf", nullptr, SPOST_PATH, 0, name, sizeof name, nullptr, nullptr));
    EXPECT_STREQ("C:\\WINDOWS\\inf\\oem1.inf", name);
}

TEST(InfInstall, SectionWritesFilesRegistryAndService) {
    auto m = winsim::Machine::temporary(Os::WinXp);
    write("C:\\pkg\\quva.inf", k_driver_inf);
    write("C:\\pkg\\quvaenum.sys", "driver");
    winsim::reg::import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vornel\\Old]\n\"x\"=\"y\"\n");
    inf::File f;
    ASSERT_EQ(0u, inf::load("C:\\pkg\\quva.inf", &f));
    auto models = inf::models(f, true);
    ASSERT_EQ(1u, models.size());
    EXPECT_EQ("Enum.Install", models[0].install_section);
    EXPECT_EQ("quva\\quvaEnum", models[0].hardware_id);
    EXPECT_EQ(std::vector<std::string>{"quva\\compat"}, models[0].compatible_ids);
    EXPECT_EQ("Old", inf::models(f, false)[0].install_section);
    EXPECT_EQ("Vornel Technologies", inf::version_info(f).provider);

    inf::InstallOptions o;
    o.hkr = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{11111111-2222-3333-4444-555555555555}\\0000";
    auto r = inf::install_section(f, "Enum.Install", o);
    ASSERT_EQ(0u, r.error);
    EXPECT_EQ("Enum.Install.NT", r.section);
    EXPECT_EQ("quvaenum", r.associated_service);
    EXPECT_EQ("driver", read("C:\\WINDOWS\\system32\\drivers\\quvaenum.sys"));
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(winsim::reg::value(o.hkr, "EnumPropPages32", &type, &data));
    EXPECT_EQ(std::string("quvaui.dll,Pages\0", 17), std::string(data.begin(), data.end()));
    ASSERT_TRUE(winsim::reg::value("HKLM\\Software\\Vornel", "Ids", &type, &data));
    EXPECT_EQ((DWORD)REG_MULTI_SZ, type);
    EXPECT_EQ(std::string("a\0b\0\0", 5), std::string(data.begin(), data.end()));
    ASSERT_TRUE(winsim::reg::value("HKLM\\Software\\Vornel", "Blob", &type, &data));
    EXPECT_EQ((std::vector<BYTE>{0xDE, 0xAD}), data);
    EXPECT_FALSE(winsim::reg::value("HKLM\\Software\\Vornel\\Old", "x", &type, &data));
    const std::string svc = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\quvaenum";
    ASSERT_TRUE(winsim::reg::value(svc, "ImagePath", &type, &data));
    EXPECT_EQ(std::string("system32\\drivers\\quvaenum.sys\0", 30), std::string(data.begin(), data.end()));
    ASSERT_TRUE(winsim::reg::value(svc + "\\Parameters", "UseRM", &type, &data));
    EXPECT_EQ((DWORD)REG_DWORD, type);
    // The service manager sees it.
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE s = OpenServiceA(scm, "quvaenum", SERVICE_QUERY_STATUS);
    EXPECT_NE(nullptr, s);
    CloseServiceHandle(s);
    CloseServiceHandle(scm);

    // A missing source file fails the install; an HKR line without a root too.
    winsim::disk::remove("C:\\pkg\\quvaenum.sys");
    winsim::disk::remove("C:\\WINDOWS\\system32\\drivers\\quvaenum.sys");
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, inf::install_section(f, "Enum.Install", o).error);
    EXPECT_EQ(ERROR_SECTION_NOT_FOUND, inf::install_section(f, "Missing", o).error);
}

TEST(InfInstall, RundllHostsRunTheSectionOnBothFamilies) {
    const char pkg[] = "[Version]\r\nSignature=$Chicago$\r\n[DefaultInstall]\r\nCopyFiles=F\r\nAddReg=R\r\n"
                       "[F]\r\ntool.dll\r\n[R]\r\nHKLM,Software\\Vornel,Done,0x10001,1\r\n"
                       "[DestinationDirs]\r\nDefaultDestDir=11\r\n";
    struct Case {
        Os os;
        const char *command;
        const char *copied;
    } cases[] = {
        {Os::WinXp, "C:\\WINDOWS\\system32\\rundll32.exe setupapi.dll,InstallHinfSection DefaultInstall 132 "
                    "C:\\My Pkg\\p.inf",
         "C:\\WINDOWS\\system32\\tool.dll"},
        {Os::Win98, "C:\\WINDOWS\\rundll.exe setupx.dll,InstallHinfSection DefaultInstall 132 C:\\My Pkg\\p.inf",
         "C:\\WINDOWS\\SYSTEM\\tool.dll"},
    };
    for (auto &c : cases) {
        auto m = winsim::Machine::temporary(c.os);
        write("C:\\My Pkg\\p.inf", pkg);
        write("C:\\My Pkg\\tool.dll", "dll");
        DWORD error = 0;
        EXPECT_EQ(0u, winsim::processes::run(c.command, &error)) << error;
        EXPECT_EQ("dll", read(c.copied));
        EXPECT_TRUE(winsim::reg::key_exists("HKLM\\Software\\Vornel"));
    }
}

TEST(InfInstall, RefusedServiceCreationFailsTheSectionAfterItsFiles) {
    auto m = winsim::Machine::temporary(Os::Nt4);
    write("C:\\pkg\\quva.inf", k_driver_inf);
    write("C:\\pkg\\quvaenum.sys", "driver");
    inf::File f;
    ASSERT_EQ(0u, inf::load("C:\\pkg\\quva.inf", &f));
    inf::InstallOptions o;
    o.hkr = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{11111111-2222-3333-4444-555555555555}\\0000";
    winsim::faults::fail("CreateServiceA", ERROR_ACCESS_DENIED);
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, inf::install_section(f, "Enum.Install", o).error);
    winsim::faults::clear();
    EXPECT_EQ("driver", read("C:\\WINNT\\system32\\drivers\\quvaenum.sys")) << "files come first";
    EXPECT_FALSE(winsim::reg::key_exists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\quvaenum"));
}
