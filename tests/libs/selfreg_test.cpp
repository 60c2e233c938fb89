// Self-registration under faults and odd module paths; the ordinary contract
// is covered by the conformance checks, which also run under Wine.
#include "kit.h"

using winsim::Os;

namespace {

const char k_token[] = "Quva B2 Token Library";
const char k_installer[] = "Quva Driver Installer Library";
const char k_tree[] = "HKEY_LOCAL_MACHINE\\Software\\Vornel Technologies";

TEST(SelfRegistration, FailuresBecomeWin32HResults) {
    struct Case {
        const char *api;
        DWORD error;
        HRESULT expected;
    } cases[] = {
        {"RegCreateKeyExA", ERROR_ACCESS_DENIED, (HRESULT)0x80070005},
        {"GetModuleFileNameA", ERROR_NOT_ENOUGH_MEMORY, (HRESULT)0x80070008},
        // A value that cannot be written fails the registration too.
        {"RegSetValueExA", ERROR_DISK_FULL, (HRESULT)0x80070070},
    };
    for (const Case &c : cases) {
        kit::Machine m(Os::WinXp);
        kit::Library lib("QUVAB2.DLL");
        winsim::faults::fail(c.api, c.error);
        EXPECT_EQ(lib.call("DllRegisterServer"), c.expected) << c.api;
        winsim::faults::clear();
        EXPECT_FALSE(winsim::reg::key_exists(kit::component_key(k_token) + "\\x")) << c.api;
    }
}

TEST(SelfRegistration, WriteProtectedTreeIsRefused) {
    {
        kit::Machine m(Os::WinXp);
        m->set_admin(false);
        kit::Library lib("QUVADI.DLL");
        EXPECT_EQ(lib.call("DllRegisterServer"), (HRESULT)0x80070005);
        EXPECT_FALSE(winsim::reg::key_exists(k_tree));
    }
    {
        kit::Machine m(Os::Win98);
        winsim::reg::import_text("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Vornel Technologies]\n\n");
        winsim::reg::deny_write("HKEY_LOCAL_MACHINE\\Software\\Vornel Technologies");
        kit::Library lib("QUVADI.DLL");
        EXPECT_EQ(lib.call("DllRegisterServer"), (HRESULT)0x80070005);
    }
}

TEST(SelfRegistration, OddModulePathsFailInsteadOfWritingGarbage) {
    kit::Machine m(Os::WinXp);
    kit::Library lib("QUVAB2.DLL");
    struct Case {
        std::string path;
        HRESULT expected;
    } cases[] = {
        {"QUVAB2.DLL", (HRESULT)0x800700A1},                          // no directory at all
        {"C:\\" + std::string(300, 'd') + "\\QUVAB2.DLL", (HRESULT)0x8007007A}, // cut by GetModuleFileNameA
        {"C:\\" + std::string(249, 'd') + "\\Q.DLL", (HRESULT)0x800700CE},      // fits, but the fixed name does not
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(winsim::modules::set_file_name(lib.handle(), c.path));
        SetLastError(0);
        EXPECT_EQ(lib.call("DllRegisterServer"), c.expected) << c.path.size();
        EXPECT_FALSE(winsim::reg::key_exists(k_tree));
    }
}

TEST(SelfRegistration, PathNamesTheFixedFileWhateverTheLibraryIsCalled) {
    kit::Machine m(Os::Win2000);
    winsim::disk::install_library("C:\\Program Files\\Vendor\\QuvaAPI.dll", "QUVAB2");
    kit::Library lib("C:\\Program Files\\Vendor\\QuvaAPI");
    SetLastError(ERROR_FILE_NOT_FOUND); // stale error from earlier work must not leak into the result
    EXPECT_EQ(lib.call("DllRegisterServer"), S_OK);
    EXPECT_EQ(kit::reg_string(kit::component_key(k_token), "Path"), std::string("C:\\Program Files\\Vendor\\QUVAB2.DLL") + '\0');
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(lib.call("DllUnregisterServer"), S_OK);
    EXPECT_FALSE(winsim::reg::key_exists(k_tree));
}

TEST(SelfRegistration, UnregisterOn9xKeepsSiblingsWhenEnumerationFails) {
    // On 9x RegDeleteKeyA removes a whole subtree: a parent may only go when it
    // is known to be empty.
    kit::Machine m(Os::Win98);
    kit::Library token("QUVAB2.DLL");
    kit::Library installer("QUVADI.DLL");
    ASSERT_EQ(token.call("DllRegisterServer"), S_OK);
    ASSERT_EQ(installer.call("DllRegisterServer"), S_OK);
    winsim::faults::fail("RegEnumKeyExA", ERROR_ACCESS_DENIED, -1);
    EXPECT_EQ(token.call("DllUnregisterServer"), S_OK);
    winsim::faults::clear();
    EXPECT_FALSE(winsim::reg::key_exists(kit::component_key(k_token)));
    EXPECT_TRUE(winsim::reg::key_exists(kit::component_key(k_installer)));
    EXPECT_EQ(installer.call("DllUnregisterServer"), S_OK);
    EXPECT_FALSE(winsim::reg::key_exists(k_tree));
}

TEST(SelfRegistration, UnregisterWithNothingRegisteredSucceeds) {
    for (Os os : {Os::Win95, Os::Nt4, Os::WinXp}) {
        kit::Machine m(os);
        kit::Library lib("QUVAUI.DLL");
        EXPECT_EQ(lib.call("DllUnregisterServer"), S_OK);
        EXPECT_FALSE(winsim::reg::key_exists(k_tree));
    }
}

} // namespace
