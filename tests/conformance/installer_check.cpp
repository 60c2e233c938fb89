// The driver installer library's parameters, service operations, error texts
// and versions, checked against the Win32 API only: the same answers on the
// simulated machine and under Wine, for each emulated Windows version.
//
// Wine changes what GetVersionExA reports, not how the platform behaves, so
// the library takes the 9x, NT 4.0 or NT 5 road as on those systems while the
// registry and the service manager underneath stay Wine's.  Where that shows,
// the check says so and accepts Wine's answer (see docs/design.md).
#include "conformance.h"
#include "registry_util.h"
#include "pe_writer.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {
using conformance::delete_tree;
using conformance::key_exists;

const DWORD k_unsupported = 1633; // ERROR_INSTALL_PLATFORM_UNSUPPORTED
const char k_services[] = "System\\CurrentControlSet\\Services\\";

typedef BOOL(WINAPI *SetParamsFn)(DWORD, DWORD, DWORD);
typedef BOOL(WINAPI *GetParamsFn)(LPDWORD, LPDWORD, LPDWORD, LPDWORD);
typedef BOOL(WINAPI *SetLedFn)(LONG, LONG);
typedef BOOL(WINAPI *GetLedFn)(LPLONG, LPLONG);
typedef BOOL(WINAPI *NameQueryFn)(LPCSTR);
typedef BOOL(WINAPI *StartFn)(LPCSTR, DWORD, LPCSTR *, LPDWORD);
typedef BOOL(WINAPI *FlagOpFn)(LPCSTR, LPDWORD);
typedef DWORD(WINAPI *ErrorStrFn)(DWORD, LPSTR, DWORD);
typedef DWORD(WINAPI *VersionFn)(void);
typedef DWORD(WINAPI *FileVersionFn)(LPCSTR, LPSTR);

struct Installer {
    HMODULE module = LoadLibraryA("QUVADI.DLL");
    ~Installer() {
        if (module) FreeLibrary(module);
    }
    template <class F> F fn(const char *name) const {
        F f = module ? (F)(void *)GetProcAddress(module, name) : nullptr;
        CHECK_MSG(f != nullptr, "QUVADI.DLL exports %s", name);
        return f;
    }
};

bool os_is(const char *name) { return std::strcmp(conformance::os_name(), name) == 0; }
bool is_nt5() { return os_is("win2k") || os_is("winxp"); }



// The keys along some paths that do not exist yet; undo() deletes the ones a
// check made, innermost first, and leaves the rest alone.
class KeyTrail {
public:
    explicit KeyTrail(const std::vector<std::string> &paths) {
        for (const std::string &p : paths) {
            for (size_t at = 0;; ++at) {
                at = p.find('\\', at);
                std::string prefix = p.substr(0, at);
                if (!key_exists(prefix) && std::find(made_.begin(), made_.end(), prefix) == made_.end())
                    made_.push_back(prefix);
                if (at == std::string::npos) break;
            }
        }
        std::sort(made_.begin(), made_.end(), [](const std::string &a, const std::string &b) {
            return std::count(a.begin(), a.end(), '\\') > std::count(b.begin(), b.end(), '\\');
        });
    }
    void undo() const {
        for (const std::string &k : made_) delete_tree(k);
    }
    // True when the key did not exist before: the check starts clean.
    bool fresh(const std::string &path) const {
        return std::find(made_.begin(), made_.end(), path) != made_.end();
    }

private:
    std::vector<std::string> made_;
};

// A REG_DWORD as stored: "<missing>" or the number.
std::string stored(const std::string &key, const char *name) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return "<missing>";
    DWORD type = 0, value = 0, size = sizeof value;
    LONG r = RegQueryValueExA(k, name, nullptr, &type, (BYTE *)&value, &size);
    RegCloseKey(k);
    if (r != ERROR_SUCCESS) return "<missing>";
    return type == REG_DWORD && size == 4 ? std::to_string(value) : "<not a dword>";
}

bool put(const std::string &key, const char *name, DWORD value) {
    HKEY k;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExA(k, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value) == ERROR_SUCCESS;
    RegCloseKey(k);
    return ok;
}

// Where this version keeps the driver parameters: flags key, count key and count name.
struct ParamKeys {
    std::string params, count;
    const char *count_name;
    DWORD cap; // what a read is capped at
};
ParamKeys param_keys() {
    std::string s = k_services;
    if (is_nt5()) return {s + "QvaToken\\Parameters", s + "QuvaEnum", "NumberOfDevices", 32};
    if (os_is("nt40")) return {s + "USBQVTKN\\Parameters", s + "USBQVTKN\\Parameters", "NumberOfDevices", 10};
    return {s + "QvaToken\\Parameters", s + "VXD\\QUVAVR9X", "NumberOfReaders", 10};
}

std::vector<std::string> all_param_keys() {
    std::string s = k_services;
    return {s + "QvaToken\\Parameters", s + "QuvaEnum", s + "USBQVTKN\\Parameters", s + "VXD\\QUVAVR9X"};
}

bool write_file(const std::string &path, const void *bytes, size_t size) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, bytes, (DWORD)size, &written, nullptr);
    CloseHandle(h);
    return ok && written == size;
}

bool file_exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string windows_dir() {
    char dir[MAX_PATH] = "";
    GetWindowsDirectoryA(dir, sizeof dir);
    return dir;
}

std::vector<uint8_t> driver_image(const char *version, const char *description) {
    pe_writer::ImageOptions image;
    image.kind = pe_writer::ImageKind::Driver;
    pe_writer::parse_version(version, image.version.file_version);
    pe_writer::default_file_type(image.kind, &image.version.file_type, &image.version.file_subtype);
    if (description) {
        image.version.strings = {{"CompanyName", "Vornel Technologies"}, {"FileDescription", description}};
        image.version.string_table = "040904E4"; // as Translation says: 0409, code page 1252
    }
    return pe_writer::write_image(image);
}

} // namespace

CONFORMANCE_TEST(installer_driver_params_per_platform) {
    Installer lib;
    auto set = lib.fn<SetParamsFn>("quvaDI_SetDriverParams");
    auto get = lib.fn<GetParamsFn>("quvaDI_GetDriverParams");
    REQUIRE(set && get);
    KeyTrail trail(all_param_keys());
    conformance::Cleanup undo([&] { trail.undo(); });
    const ParamKeys keys = param_keys();
    REQUIRE(trail.fresh(keys.params));
    DWORD f, u, n, m;
    auto read = [&]() {
        f = u = n = m = 77;
        SetLastError(0xdeadbeef);
        return get(&f, &u, &n, &m);
    };

    if (os_is("win95")) {
        SetLastError(0xdeadbeef);
        CHECK(!set(0, 1, 2));
        CHECK_EQ(GetLastError(), k_unsupported);
        CHECK(!read());
        CHECK_EQ(GetLastError(), k_unsupported);
        CHECK_EQ(f + u + n + m, 0);
        CHECK(!key_exists(keys.params));
        return;
    }

    // Nothing stored yet: the registry's own error (always 2 on 98/ME).
    CHECK(!read());
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    CHECK_EQ(f + u + n + m, 0);

    // A count without the flag raises the flag; the count is cut to the limit.
    CHECK(set(0xA5, 0, 50));
    CHECK_STR(stored(keys.params, "UseRM"), "1");
    CHECK_STR(stored(keys.count, keys.count_name), std::to_string(keys.cap));
    CHECK_STR(stored(keys.params, "DriverFlags"), is_nt5() ? "165" : "<missing>");
    CHECK_STR(stored(keys.params, "RMMode"), "<missing>");
    CHECK(read());
    CHECK_EQ(GetLastError(), 0);
    CHECK_EQ(f, is_nt5() ? 0xA5u : 0u);
    CHECK_EQ(u, 1);
    CHECK_EQ(n, keys.cap);
    CHECK_EQ(m, 1); // no "RMMode": it reads as "UseRM"

    // The flag without a count asks for one reader.
    CHECK(set(0, 7, 0));
    CHECK_STR(stored(keys.params, "UseRM"), "7");
    CHECK_STR(stored(keys.count, keys.count_name), "1");

    // Reads cap what another writer stored; a present "RMMode" of 0 stays 0.
    REQUIRE(put(keys.count, keys.count_name, 50));
    REQUIRE(put(keys.params, "RMMode", 0));
    CHECK(read());
    CHECK_EQ(n, keys.cap);
    CHECK_EQ(u, 7);
    CHECK_EQ(m, 0);

    // 0 and 0 is stored as asked (NT 4.0 and 98/ME also forget the virtual readers).
    CHECK(set(3, 0, 0));
    CHECK_STR(stored(keys.params, "UseRM"), "0");
    CHECK_STR(stored(keys.count, keys.count_name), "0");

    if (is_nt5()) {
        // Without the enumerator's key the count is read from the token driver's.
        delete_tree(keys.count);
        REQUIRE(put(std::string(k_services) + "QvaToken", "NumberOfDevices", 4));
        CHECK(read());
        CHECK_EQ(n, 4);
    }
}

CONFORMANCE_TEST(installer_led_params_per_platform) {
    Installer lib;
    auto set = lib.fn<SetLedFn>("quvaDI_SetDriverLedParams");
    auto get = lib.fn<GetLedFn>("quvaDI_GetDriverLedParams");
    REQUIRE(set && get);
    KeyTrail trail(all_param_keys());
    conformance::Cleanup undo([&] { trail.undo(); });
    const std::string key = param_keys().params;
    REQUIRE(trail.fresh(key));
    LONG c, d;
    auto read = [&]() {
        c = d = 77;
        SetLastError(0xdeadbeef);
        return get(&c, &d);
    };

    if (os_is("win95")) {
        SetLastError(0xdeadbeef);
        CHECK(!set(-1, -1));
        CHECK_EQ(GetLastError(), k_unsupported);
        CHECK(!read());
        CHECK_EQ(GetLastError(), k_unsupported);
        CHECK_EQ(c + d, 0);
        return;
    }

    CHECK(!read());
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    CHECK(set(-1, 10));
    CHECK_STR(stored(key, "FlashLedCycle"), "3");
    CHECK_STR(stored(key, "FlashLedDuration"), "30");
    CHECK(read());
    CHECK_EQ(GetLastError(), 0);
    CHECK_EQ(c, 3);
    CHECK_EQ(d, 30);
    CHECK(set(0, 10));
    CHECK_STR(stored(key, "FlashLedCycle"), "0");
    CHECK_STR(stored(key, "FlashLedDuration"), "0");
    CHECK(set(300, -5));
    CHECK_STR(stored(key, "FlashLedCycle"), "255");
    CHECK_STR(stored(key, "FlashLedDuration"), "0");
    CHECK(read());
    CHECK_EQ(c, 0); // either one 0 reads as no flashing
    CHECK_EQ(d, 0);
    REQUIRE(put(key, "FlashLedCycle", 7));
    REQUIRE(put(key, "FlashLedDuration", 400));
    CHECK(read());
    CHECK_EQ(c, 7);
    CHECK_EQ(d, 255);
}

CONFORMANCE_TEST(installer_service_operations) {
    Installer lib;
    auto installed = lib.fn<NameQueryFn>("quvaDI_IsServiceInstalledA");
    auto marked = lib.fn<NameQueryFn>("quvaDI_IsServiceMarkedForDeletionA");
    auto start = lib.fn<StartFn>("quvaDI_StartServiceA");
    auto stop = lib.fn<FlagOpFn>("quvaDI_StopServiceA");
    auto del = lib.fn<FlagOpFn>("quvaDI_DeleteServiceA");
    REQUIRE(installed && marked && start && stop && del);
    const char name[] = "quvacfdrv";
    DWORD flag = 77;

    if (conformance::is_9x()) {
        // The library refuses on 9x, whatever service manager Wine keeps underneath.
        CHECK(!installed("EventLog"));
        SetLastError(0xdeadbeef);
        CHECK(!start(name, 0, nullptr, &flag));
        CHECK_EQ(GetLastError(), k_unsupported);
        CHECK_EQ(flag, 0);
        flag = 77;
        SetLastError(0xdeadbeef);
        CHECK(!stop(name, &flag));
        CHECK_EQ(GetLastError(), k_unsupported);
        CHECK_EQ(flag, 0);
        flag = 77;
        SetLastError(0xdeadbeef);
        CHECK(!del(name, &flag));
        CHECK_EQ(GetLastError(), k_unsupported);
        CHECK_EQ(flag, 0);
        return;
    }

    // A harmless kernel driver: under Wine the stand-in driver that loads and
    // unloads; on the simulator any image file will do.
    const std::string image = windows_dir() + "\\System32\\Drivers\\" + name + ".sys";
    REQUIRE(!file_exists(image));
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    REQUIRE(scm != nullptr);
    SC_HANDLE held = nullptr;
    conformance::Cleanup undo([&] {
        if (held) CloseServiceHandle(held);
        if (SC_HANDLE s = OpenServiceA(scm, name, SERVICE_ALL_ACCESS)) {
            SERVICE_STATUS st;
            ControlService(s, SERVICE_CONTROL_STOP, &st);
            DeleteService(s);
            CloseServiceHandle(s);
        }
        CloseServiceHandle(scm);
        DeleteFileA(image.c_str());
        // NT 4.0 keeps a record of every legacy driver it loaded; removed by hand.
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_QUVACFDRV\\0000");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_QUVACFDRV");
    });
    if (conformance::on_simulator()) {
        std::vector<uint8_t> bytes = driver_image("1.0.0.1", nullptr);
        REQUIRE(write_file(image, bytes.data(), bytes.size()));
    } else {
        char self[MAX_PATH] = "";
        GetModuleFileNameA(nullptr, self, sizeof self);
        std::string stub = self;
        stub = stub.substr(0, stub.rfind('\\')) + "\\usbhub.sys";
        REQUIRE(CopyFileA(stub.c_str(), image.c_str(), FALSE));
    }
    // Wine's kernel host takes "\SystemRoot\" or a full path, not the
    // relative "System32\..." form that NT also accepts.
    SC_HANDLE created = CreateServiceA(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                       (std::string("\\SystemRoot\\System32\\Drivers\\") + name + ".sys").c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
    REQUIRE(created != nullptr);
    CloseServiceHandle(created);

    CHECK(installed(name));
    CHECK(!marked(name));
    CHECK(!installed("quvacfnone"));

    // Not running: the stop request fails and no restart is asked for.
    SetLastError(0xdeadbeef);
    CHECK(!stop(name, &flag));
    CHECK_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    CHECK_EQ(flag, 0);

    flag = 77;
    SetLastError(0xdeadbeef);
    BOOL started = start(name, 0, nullptr, &flag);
    DWORD error = GetLastError();
    CHECK_MSG(started, "last error %lu", (unsigned long)error);
    CHECK_EQ(error, 0);
    CHECK_EQ(flag, 0);
    flag = 77;
    SetLastError(0xdeadbeef);
    CHECK(!start(name, 0, nullptr, &flag));
    CHECK_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
    CHECK_EQ(flag, 0);
    flag = 77;
    SetLastError(0xdeadbeef);
    CHECK(stop(name, &flag));
    CHECK_EQ(GetLastError(), 0);
    CHECK_EQ(flag, 0);

    // Deleted while a handle is open: marked, and a second delete says so.
    held = OpenServiceA(scm, name, SERVICE_QUERY_STATUS);
    REQUIRE(held != nullptr);
    flag = 77;
    SetLastError(0xdeadbeef);
    CHECK(del(name, &flag));
    CHECK_EQ(GetLastError(), 0);
    CHECK_EQ(flag, 0);
    CHECK(installed(name));
    // NT writes "DeleteFlag" into the service key, which the library reads;
    // Wine keeps the mark inside its service manager.
    CHECK_EQ(marked(name) != FALSE, conformance::on_simulator());
    flag = 77;
    CHECK(del(name, &flag));
    CHECK_EQ(flag, 1);
    // NT refuses to start a service marked for deletion; Wine 8 starts it,
    // and then it lives on after the last handle, so it is not asked there.
    if (conformance::on_simulator()) {
        SetLastError(0xdeadbeef);
        CHECK(!start(name, 0, nullptr, &flag));
        CHECK_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    CloseServiceHandle(held);
    held = nullptr;

    // Gone with the last handle: nothing to delete is success.
    CHECK(!installed(name));
    CHECK(!marked(name));
    flag = 77;
    SetLastError(0xdeadbeef);
    CHECK(del(name, &flag));
    CHECK_EQ(GetLastError(), 0);
    CHECK_EQ(flag, 0);
    SetLastError(0xdeadbeef);
    CHECK(!start(name, 0, nullptr, &flag));
    CHECK_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

CONFORMANCE_TEST(installer_error_texts) {
    Installer lib;
    auto text = lib.fn<ErrorStrFn>("quvaDI_GetErrorStrA");
    REQUIRE(text);
    char buf[256];

    // The library's own SetupAPI texts, with their size rule.
    const struct {
        DWORD code;
        const char *text;
    } setup[] = {
        {0xE0000000, "Expected INF section name."}, {0xE0000103, "No backup INF."},
        {0xE000020A, "No INF file."},               {0xE0000221, "Remote commuication failure."},
        {0xE0000232, "Cannot remove device instance."}, {0xE0000233, "Unknown error."},
        {0xE0000004, "Unknown error."},             {0xFFFFFFFF, "Unknown error."},
    };
    for (const auto &s : setup) {
        std::memset(buf, '#', sizeof buf);
        CHECK_EQ(text(s.code, buf, sizeof buf), std::strlen(s.text));
        CHECK_STR(buf, s.text);
    }
    std::memset(buf, '#', sizeof buf);
    CHECK_EQ(text(0xE000020A, buf, 12), 12);
    CHECK_EQ(buf[0], '#');
    CHECK_EQ(text(0xE000020A, buf, 13), 12);
    CHECK_STR(buf, "No INF file.");

    // Everything else is the system's text, passed through as it comes.
    const DWORD system[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SERVICE_DOES_NOT_EXIST, 0x80000000u,
                            0x1FFFFFFFu};
    for (DWORD code : system) {
        char want[256] = "";
        DWORD want_n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                      want, sizeof want, nullptr);
        std::memset(buf, '#', sizeof buf);
        CHECK_EQ(text(code, buf, sizeof buf), want_n);
        CHECK_STR(buf, want_n ? want : "");
        if (code < 2000) CHECK_MSG(want_n > 0, "a system text for %lu", (unsigned long)code);
    }
    // Too small for the system's text: 0 and an empty buffer.
    std::memset(buf, '#', sizeof buf);
    CHECK_EQ(text(ERROR_FILE_NOT_FOUND, buf, 4), 0);
    CHECK_EQ(buf[0], '\0');
}

CONFORMANCE_TEST(installer_versions_from_file_and_uninstall_entry) {
    Installer lib;
    auto driver = lib.fn<VersionFn>("quvaDI_GetDriverVersion");
    auto package = lib.fn<VersionFn>("quvaDI_GetDriverInstallerVersion");
    REQUIRE(driver && package);
    const std::string entry =
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5A1C7E20-3B4D-4E6F-8A9B-0C1D2E3F4A5B}";
    const char *file = os_is("win95") ? "\\System\\qvatkn95.sys"
                       : os_is("nt40") ? "\\System32\\Drivers\\usbqvtkn.sys"
                                       : "\\System32\\Drivers\\qvatoken.sys";
    const std::string path = windows_dir() + file;
    REQUIRE(!file_exists(path));
    KeyTrail trail({entry});
    REQUIRE(trail.fresh(entry));
    conformance::Cleanup undo([&] {
        DeleteFileA(path.c_str());
        trail.undo();
    });

    CHECK_EQ(driver(), 0);
    CHECK_EQ(package(), 0);
    // The package's version comes from its uninstall entry only, and stops at
    // the first missing value; the driver's from its file only.
    REQUIRE(put(entry, "VersionMajor", 2));
    REQUIRE(put(entry, "VersionBuild", 9));
    CHECK_EQ(package(), 0x02000000u);
    REQUIRE(put(entry, "VersionMinor", 1));
    CHECK_EQ(package(), 0x02010009u);
    CHECK_EQ(driver(), 0);
    std::vector<uint8_t> bytes = driver_image("1.18.3.56", "Quva token driver");
    REQUIRE(write_file(path, bytes.data(), bytes.size()));
    CHECK_EQ(driver(), 0x01120038u);
}

CONFORMANCE_TEST(installer_file_version_and_description) {
    Installer lib;
    auto version = (FileVersionFn)(void *)GetProcAddress(lib.module, "quvaDI_GetFileVersionA");
    REQUIRE(version != nullptr);
    char temp[MAX_PATH] = "";
    REQUIRE(GetTempPathA(sizeof temp, temp) > 0);
    const std::string dir = std::string(temp) + "quvacfver";
    const std::string path = dir + "\\qvatoken.sys";
    CreateDirectoryA(dir.c_str(), nullptr);
    conformance::Cleanup undo([&] {
        DeleteFileA(path.c_str());
        RemoveDirectoryA(dir.c_str());
    });
    char cwd[MAX_PATH] = "";
    REQUIRE(GetCurrentDirectoryA(sizeof cwd, cwd) > 0);

    const std::string long_text(80, 'D');
    std::vector<uint8_t> bytes = driver_image("1.18.0.56", "Quva USB token driver");
    REQUIRE(write_file(path, bytes.data(), bytes.size()));
    char desc[80];
    std::memset(desc, '#', sizeof desc);
    CHECK_EQ(version(path.c_str(), desc), 0x01120038u);
    CHECK_STR(desc, "Quva USB token driver");
    CHECK_EQ(version(path.c_str(), nullptr), 0x01120038u);
    char now[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof now, now);
    CHECK_STR(now, cwd);

    bytes = driver_image("1.2.0.78", long_text.c_str());
    REQUIRE(write_file(path, bytes.data(), bytes.size()));
    std::memset(desc, '#', sizeof desc);
    CHECK_EQ(version(path.c_str(), desc), 0x0102004Eu);
    CHECK_STR(desc, long_text.substr(0, 63));

    // No directory in the name: refused before anything is read.
    std::memset(desc, '#', sizeof desc);
    SetLastError(0xdeadbeef);
    CHECK_EQ(version("qvatoken.sys", desc), 0);
    CHECK_EQ(GetLastError(), ERROR_DIRECTORY);
    CHECK_EQ(desc[0], '\0');
    GetCurrentDirectoryA(sizeof now, now);
    CHECK_STR(now, cwd);
    // No version resource: 0.
    pe_writer::ImageOptions bare;
    bare.kind = pe_writer::ImageKind::Driver;
    bare.with_version = false;
    bytes = pe_writer::write_image(bare);
    REQUIRE(write_file(path, bytes.data(), bytes.size()));
    CHECK_EQ(version(path.c_str(), desc), 0);
    CHECK_STR(desc, "");
}
