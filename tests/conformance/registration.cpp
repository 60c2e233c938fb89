// Self-registration of the three libraries and the driver version, checked
// against the Win32 API only, so the same checks run on the simulated machine
// and on Wine.
#include "conformance.h"
#include "pe_writer.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

const char k_tree[] = "Software\\Vornel Technologies";
const char k_parent[] = "Software\\Vornel Technologies\\Quva\\Quva Components\\Quva Application Interfaces";
const char k_uninstall[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5A1C7E20-3B4D-4E6F-8A9B-0C1D2E3F4A5B}";

typedef HRESULT(WINAPI *DllInstallFn)(BOOL, LPCWSTR);
typedef HRESULT(WINAPI *DllServerFn)(void);
typedef DWORD(WINAPI *VersionFn)(void);
typedef BOOL(WINAPI *RegisterServiceFn)(LPVOID);
typedef BOOL(WINAPI *UnregisterServiceFn)(void);

struct Library {
    const char *file;      // loaded as
    const char *component; // key name
    const char *fixed;     // file name written in "Path"
    DWORD version;
    HMODULE module = nullptr;

    Library(const char *f, const char *c, const char *x, DWORD v) : file(f), component(c), fixed(x), version(v) {
        module = LoadLibraryA(file);
    }
    ~Library() {
        if (module) FreeLibrary(module);
    }
    template <class F> F fn(const char *name) const { return module ? (F)(void *)GetProcAddress(module, name) : nullptr; }
    HRESULT reg() const {
        auto f = fn<DllServerFn>("DllRegisterServer");
        return f ? f() : E_FAIL;
    }
    HRESULT unreg() const {
        auto f = fn<DllServerFn>("DllUnregisterServer");
        return f ? f() : E_FAIL;
    }
    std::string key() const { return std::string(k_parent) + "\\" + component; }
    // The library's directory, a backslash and its fixed file name.
    std::string expected_path() const {
        char path[MAX_PATH] = "";
        GetModuleFileNameA(module, path, sizeof path);
        std::string p = path;
        return p.substr(0, p.rfind('\\') + 1) + fixed;
    }
};

struct Token : Library {
    Token() : Library("QUVAB2.DLL", "Quva B2 Token Library", "QUVAB2.DLL", 0x01030031) {}
};
struct Installer : Library {
    Installer() : Library("QUVADI.DLL", "Quva Driver Installer Library", "QUVADI.DLL", 0x0102004E) {}
};
struct Dialogs : Library {
    Dialogs() : Library("QUVAUI.DLL", "Quva User Interface Library", "QUVAUI.DLL", 0x01010030) {}
};

bool key_exists(const std::string &path) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

bool read_value(const std::string &path, const char *name, DWORD *type, std::string *data) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    char buf[1024];
    DWORD size = sizeof buf;
    LONG rc = RegQueryValueExA(k, name, nullptr, type, (BYTE *)buf, &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS) return false;
    data->assign(buf, size);
    return true;
}

DWORD read_dword(const std::string &path, const char *name, bool *present) {
    DWORD type = 0;
    std::string data;
    *present = read_value(path, name, &type, &data) && type == REG_DWORD && data.size() == 4;
    DWORD v = 0;
    if (*present) std::memcpy(&v, data.data(), 4);
    return v;
}

void set_dword(const std::string &path, const char *name, DWORD value) {
    HKEY k;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExA(k, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
        RegCloseKey(k);
    }
}

// Removes a key and its subkeys child first, as NT needs.
void delete_tree(HKEY root, const std::string &path) {
    HKEY k;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &k) == ERROR_SUCCESS) {
        char name[MAX_PATH];
        for (;;) {
            DWORD len = sizeof name;
            if (RegEnumKeyExA(k, 0, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            delete_tree(root, path + "\\" + name);
        }
        RegCloseKey(k);
    }
    RegDeleteKeyA(root, path.c_str());
}

void check_registered(const Library &lib, bool token) {
    DWORD type = 0;
    std::string data;
    CHECK(read_value(lib.key(), "Path", &type, &data));
    CHECK_EQ(type, (DWORD)REG_SZ);
    // Written with its terminating zero.
    CHECK_EQ(data.size(), lib.expected_path().size() + 1);
    CHECK_STR(data.c_str(), lib.expected_path().c_str());
    bool present = false;
    CHECK_EQ(read_dword(lib.key(), "Version", &present), lib.version);
    CHECK(present);
    DWORD pcsc = read_dword(lib.key(), "EnablePCSC", &present);
    CHECK_EQ(present, token);
    if (token) CHECK_EQ(pcsc, 0u);
}

} // namespace

CONFORMANCE_TEST(registration_writes_component_keys) {
    delete_tree(HKEY_LOCAL_MACHINE, k_tree);
    Token token;
    Installer installer;
    Dialogs dialogs;
    CHECK(token.module && installer.module && dialogs.module);
    CHECK_EQ(token.reg(), S_OK);
    CHECK_EQ(installer.reg(), S_OK);
    CHECK_EQ(dialogs.reg(), S_OK);
    check_registered(token, true);
    check_registered(installer, false);
    check_registered(dialogs, false);
    // A second registration is harmless and changes nothing.
    CHECK_EQ(token.reg(), S_OK);
    check_registered(token, true);
    CHECK_EQ(token.unreg(), S_OK);
    CHECK_EQ(installer.unreg(), S_OK);
    CHECK_EQ(dialogs.unreg(), S_OK);
    CHECK(!key_exists(k_tree));
}

CONFORMANCE_TEST(registration_keeps_an_opened_pcsc_gate) {
    delete_tree(HKEY_LOCAL_MACHINE, k_tree);
    Token token;
    CHECK_EQ(token.reg(), S_OK);
    set_dword(token.key(), "EnablePCSC", 1);
    CHECK_EQ(token.reg(), S_OK);
    bool present = false;
    CHECK_EQ(read_dword(token.key(), "EnablePCSC", &present), 1u);
    CHECK_EQ(token.unreg(), S_OK);
    CHECK(!key_exists(k_tree));
}

CONFORMANCE_TEST(unregistration_prunes_only_empty_parents) {
    delete_tree(HKEY_LOCAL_MACHINE, k_tree);
    Token token;
    Dialogs dialogs;
    CHECK_EQ(token.reg(), S_OK);
    CHECK_EQ(dialogs.reg(), S_OK);
    CHECK_EQ(token.unreg(), S_OK);
    CHECK(!key_exists(token.key()));
    CHECK(key_exists(dialogs.key()));
    CHECK_EQ(dialogs.unreg(), S_OK);
    CHECK(!key_exists(k_tree));

    // A sibling with subkeys keeps the shared parents; a parent holding only
    // values does not.
    std::string drivers = "Software\\Vornel Technologies\\Quva\\Quva Components\\Quva Device Drivers\\qvatoken.sys";
    set_dword(drivers, "Version", 7);
    set_dword("Software\\Vornel Technologies\\Quva", "Marker", 1);
    CHECK_EQ(token.reg(), S_OK);
    CHECK_EQ(token.unreg(), S_OK);
    CHECK(!key_exists(k_parent));
    CHECK(key_exists(drivers));
    delete_tree(HKEY_LOCAL_MACHINE, "Software\\Vornel Technologies\\Quva\\Quva Components\\Quva Device Drivers");
    CHECK_EQ(token.reg(), S_OK);
    CHECK_EQ(token.unreg(), S_OK);
    CHECK(!key_exists(k_tree));
    delete_tree(HKEY_LOCAL_MACHINE, k_tree);
}

CONFORMANCE_TEST(dll_install_and_dialog_service_exports) {
    delete_tree(HKEY_LOCAL_MACHINE, k_tree);
    Dialogs dialogs;
    auto install = dialogs.fn<DllInstallFn>("DllInstall");
    auto reg = dialogs.fn<RegisterServiceFn>("quvaUI_RegisterService");
    auto unreg = dialogs.fn<UnregisterServiceFn>("quvaUI_UnregisterService");
    CHECK(install && reg && unreg);
    if (!install || !reg || !unreg) return;
    // The command line and the service argument are ignored.
    static const WCHAR cmd[] = {'x', 0};
    CHECK_EQ(install(TRUE, cmd), S_OK);
    check_registered(dialogs, false);
    CHECK_EQ(install(FALSE, cmd), S_OK);
    CHECK(!key_exists(k_tree));
    CHECK(reg((LPVOID)"ignored"));
    check_registered(dialogs, false);
    CHECK(unreg());
    CHECK(!key_exists(k_tree));
}

CONFORMANCE_TEST(library_versions) {
    Token token;
    Installer installer;
    Dialogs dialogs;
    auto t = token.fn<VersionFn>("quva_GetLibVersion");
    auto i = installer.fn<VersionFn>("quvaDI_GetLibVersion");
    auto d = dialogs.fn<VersionFn>("quvaUI_GetLibVersion");
    CHECK(t && i && d);
    if (t) CHECK_EQ(t(), 0x01030031u);
    if (i) CHECK_EQ(i(), 0x0102004Eu);
    if (d) CHECK_EQ(d(), 0x01010030u);
}

CONFORMANCE_TEST(driver_version_from_uninstall_entry) {
    Token token;
    auto driver_version = token.fn<VersionFn>("quva_GetDriverVersion");
    CHECK(driver_version != nullptr);
    if (!driver_version) return;
    delete_tree(HKEY_LOCAL_MACHINE, k_uninstall);
    set_dword(k_uninstall, "VersionMajor", 2);
    set_dword(k_uninstall, "VersionMinor", 5);
    CHECK_EQ(driver_version(), 0x02050000u);
    set_dword(k_uninstall, "VersionBuild", 57);
    CHECK_EQ(driver_version(), 0x02050039u);
    // Without a major version the entry still wins over the file: 0.
    delete_tree(HKEY_LOCAL_MACHINE, k_uninstall);
    set_dword(k_uninstall, "VersionMinor", 5);
    CHECK_EQ(driver_version(), 0u);
    delete_tree(HKEY_LOCAL_MACHINE, k_uninstall);
}

namespace {

// The platform's token driver file under the Windows directory.
std::string driver_file() {
    char dir[MAX_PATH] = "";
    GetWindowsDirectoryA(dir, sizeof dir);
    OSVERSIONINFOA v{};
    v.dwOSVersionInfoSize = sizeof v;
    GetVersionExA(&v);
    const char *file;
    if (v.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        file = (v.dwMajorVersion == 4 && v.dwMinorVersion == 0) ? "\\System\\qvatkn95.sys"
                                                                 : "\\System32\\Drivers\\qvatoken.sys";
    else
        file = v.dwMajorVersion == 4 ? "\\System32\\Drivers\\usbqvtkn.sys" : "\\System32\\Drivers\\qvatoken.sys";
    return std::string(dir) + file;
}

bool write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

} // namespace

CONFORMANCE_TEST(driver_version_from_driver_file) {
    Token token;
    auto driver_version = token.fn<VersionFn>("quva_GetDriverVersion");
    REQUIRE(driver_version != nullptr);
    delete_tree(HKEY_LOCAL_MACHINE, k_uninstall);
    std::string file = driver_file();
    // Not every machine has the driver's directory yet (Wine has no "System").
    std::string dir = file.substr(0, file.rfind('\\'));
    bool made_dir = CreateDirectoryA(dir.c_str(), nullptr) != FALSE;
    conformance::Cleanup undo([&] {
        DeleteFileA(file.c_str());
        if (made_dir) RemoveDirectoryA(dir.c_str());
    });
    DeleteFileA(file.c_str());
    CHECK_EQ(driver_version(), 0u);

    pe_writer::ImageOptions image;
    image.kind = pe_writer::ImageKind::Driver;
    pe_writer::parse_version("1.18.0.57", image.version.file_version);
    pe_writer::default_file_type(image.kind, &image.version.file_type, &image.version.file_subtype);
    REQUIRE(write_file(file, pe_writer::write_image(image)));
    CHECK_EQ(driver_version(), 0x01120039u);

    image.with_version = false;
    REQUIRE(write_file(file, pe_writer::write_image(image)));
    CHECK_EQ(driver_version(), 0u);
}
