// The service control manager as the NT 4.0 setup uses it, and the setup
// program itself run as a process: both written against the Win32 API only,
// so the simulated machine and Wine answer the same questions.
#include "conformance.h"
#include "pe_writer.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char k_services[] = "SYSTEM\\CurrentControlSet\\Services\\";
const char *const k_drivers[] = {"usbhub", "usbqvtkn", "usbdrv"};

// Deletes a service that an earlier, interrupted run may have left.
void remove_service(const char *name) {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm) return;
    SC_HANDLE s = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
    if (s) {
        DeleteService(s);
        CloseServiceHandle(s);
    }
    CloseServiceHandle(scm);
}

bool service_exists(const char *name) {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) return false;
    SC_HANDLE s = OpenServiceA(scm, name, SERVICE_QUERY_STATUS);
    if (s) CloseServiceHandle(s);
    CloseServiceHandle(scm);
    return s != nullptr;
}

// A value of a service key: its type and its text or number.
struct RegValue {
    DWORD type = REG_NONE;
    std::string text;
    DWORD number = 0;
};
RegValue service_value(const char *service, const char *name) {
    RegValue v;
    HKEY key;
    std::string path = std::string(k_services) + service;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return v;
    BYTE data[512];
    DWORD size = sizeof data - 1;
    if (RegQueryValueExA(key, name, nullptr, &v.type, data, &size) == ERROR_SUCCESS) {
        data[size] = 0;
        if (v.type == REG_DWORD && size == 4) std::memcpy(&v.number, data, 4);
        if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) v.text = (const char *)data;
    }
    RegCloseKey(key);
    return v;
}

bool service_key_exists(const char *service) {
    HKEY key;
    std::string path = std::string(k_services) + service;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Windows stores ImagePath as REG_EXPAND_SZ; Wine 8 writes REG_SZ.
bool image_path_type_ok(DWORD type) {
    return type == REG_EXPAND_SZ || (!conformance::on_simulator() && type == REG_SZ);
}

bool file_exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool write_file(const std::string &path, const void *bytes, size_t size) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = WriteFile(h, bytes, (DWORD)size, &written, nullptr);
    CloseHandle(h);
    return ok && written == size;
}

std::string directory_of_this_program() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p = path;
    return p.substr(0, p.rfind('\\'));
}

std::string driver_file(const char *name) {
    char windir[MAX_PATH] = "";
    GetEnvironmentVariableA("windir", windir, sizeof windir);
    return std::string(windir) + "\\system32\\drivers\\" + name + ".sys";
}

// Puts setup, quvainst and the driver files into `dir`.  Under Windows they
// are the ones built beside this program; the simulated machine runs our
// programs from image files that name them.
bool place_package(const std::string &dir) {
    CreateDirectoryA(dir.c_str(), nullptr);
    if (!conformance::on_simulator()) {
        std::string from = directory_of_this_program();
        const char *const files[] = {"setup.exe", "quvainst.dll", "usbhub.sys", "usbqvtkn.sys", "usbdrv.sys"};
        for (const char *f : files)
            if (!CopyFileA((from + "\\" + f).c_str(), (dir + "\\" + f).c_str(), FALSE)) return false;
        return true;
    }
    const char setup[] = "WINSIM-IMAGE\r\nprogram=setup\r\nimports=quvainst.dll\r\n";
    const char library[] = "WINSIM-IMAGE\r\nlibrary=quvainst\r\n";
    if (!write_file(dir + "\\setup.exe", setup, sizeof setup - 1)) return false;
    if (!write_file(dir + "\\quvainst.dll", library, sizeof library - 1)) return false;
    pe_writer::ImageOptions image;
    image.kind = pe_writer::ImageKind::Driver;
    pe_writer::parse_version("1.18.0.57", image.version.file_version);
    pe_writer::default_file_type(image.kind, &image.version.file_type, &image.version.file_subtype);
    std::vector<uint8_t> bytes = pe_writer::write_image(image);
    for (const char *d : k_drivers)
        if (!write_file(dir + "\\" + d + ".sys", bytes.data(), bytes.size())) return false;
    return true;
}

// Runs a command line and waits (bounded: a message box would wait for ever); the exit code.
DWORD run(const std::string &command) {
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 0xFFFF0000 | GetLastError();
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

} // namespace

CONFORMANCE_TEST(service_manager_create_control_delete) {
    const char name[] = "quvaconfsvc";
    if (conformance::is_9x()) {
        // Wine keeps its service manager under the 9x versions; Windows 9x has none.
        if (conformance::on_simulator()) {
            SetLastError(0xdeadbeef);
            CHECK(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT) == nullptr);
            CHECK_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
        }
        return;
    }
    remove_service(name);
    conformance::Cleanup undo([&] { remove_service(name); });
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    REQUIRE(scm != nullptr);
    conformance::Cleanup close_scm([&] { CloseServiceHandle(scm); });

    SC_HANDLE s = CreateServiceA(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                 SERVICE_ERROR_NORMAL, "%SystemRoot%\\System32\\Drivers\\quvaconf.sys", "Base",
                                 nullptr, nullptr, nullptr, nullptr);
    REQUIRE(s != nullptr);
    RegValue v = service_value(name, "Type");
    CHECK_EQ(v.type, REG_DWORD);
    CHECK_EQ(v.number, SERVICE_KERNEL_DRIVER);
    CHECK_EQ(service_value(name, "Start").number, SERVICE_DEMAND_START);
    CHECK_EQ(service_value(name, "ErrorControl").number, SERVICE_ERROR_NORMAL);
    v = service_value(name, "ImagePath");
    CHECK_MSG(image_path_type_ok(v.type), "ImagePath of type %lu", (unsigned long)v.type);
    CHECK_STR(v.text, "%SystemRoot%\\System32\\Drivers\\quvaconf.sys");
    CHECK_STR(service_value(name, "DisplayName").text, name);
    CHECK_STR(service_value(name, "Group").text, "Base");

    SERVICE_STATUS st;
    std::memset(&st, 0, sizeof st);
    CHECK(QueryServiceStatus(s, &st));
    CHECK_EQ(st.dwServiceType, SERVICE_KERNEL_DRIVER);
    CHECK_EQ(st.dwCurrentState, SERVICE_STOPPED);

    DWORD needed = 0;
    SetLastError(0xdeadbeef);
    CHECK(!QueryServiceConfigA(s, nullptr, 0, &needed));
    CHECK_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    CHECK(needed > sizeof(QUERY_SERVICE_CONFIGA));
    std::vector<BYTE> buf(needed + 16);
    auto *cfg = reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buf.data());
    BOOL got = QueryServiceConfigA(s, cfg, (DWORD)buf.size(), &needed);
    CHECK_MSG(got, "error %lu", (unsigned long)GetLastError());
    if (got) {
        CHECK_EQ(cfg->dwServiceType, SERVICE_KERNEL_DRIVER);
        CHECK_EQ(cfg->dwStartType, SERVICE_DEMAND_START);
        CHECK_EQ(cfg->dwErrorControl, SERVICE_ERROR_NORMAL);
        CHECK_STR(cfg->lpLoadOrderGroup, "Base");
        CHECK_STR(cfg->lpDisplayName, name);
    }

    // A stopped service refuses both controls and still says how it is.
    std::memset(&st, 0, sizeof st);
    SetLastError(0xdeadbeef);
    CHECK(!ControlService(s, SERVICE_CONTROL_STOP, &st));
    CHECK_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
    CHECK_EQ(st.dwCurrentState, SERVICE_STOPPED);
    SetLastError(0xdeadbeef);
    CHECK(!ControlService(s, SERVICE_CONTROL_INTERROGATE, &st));
    CHECK_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

    SetLastError(0xdeadbeef);
    CHECK(CreateServiceA(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                         SERVICE_ERROR_NORMAL, "x.sys", nullptr, nullptr, nullptr, nullptr, nullptr) == nullptr);
    CHECK_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
    SetLastError(0xdeadbeef);
    CHECK(OpenServiceA(scm, "quvaconfnone", SERVICE_ALL_ACCESS) == nullptr);
    CHECK_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);

    // Deletion waits for the last handle.
    SC_HANDLE again = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
    REQUIRE(again != nullptr);
    CHECK(DeleteService(s));
    SetLastError(0xdeadbeef);
    CHECK(!DeleteService(again));
    CHECK_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    SetLastError(0xdeadbeef);
    CHECK(CreateServiceA(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                         SERVICE_ERROR_NORMAL, "x.sys", nullptr, nullptr, nullptr, nullptr, nullptr) == nullptr);
    CHECK_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    CHECK(service_key_exists(name));
    // NT marks the key; Wine 8 keeps the mark to itself.
    if (conformance::on_simulator()) CHECK_EQ(service_value(name, "DeleteFlag").number, 1);
    CHECK(CloseServiceHandle(s));
    CHECK(service_key_exists(name));
    CHECK(CloseServiceHandle(again));
    CHECK(!service_key_exists(name));
    CHECK(!service_exists(name));
}

CONFORMANCE_TEST(legacy_setup_installs_and_removes_on_nt4_only) {
    char temp[MAX_PATH] = "";
    REQUIRE(GetTempPathA(sizeof temp, temp) > 0);
    std::string dir = std::string(temp) + "quvant4";
    bool nt4 = std::string(conformance::os_name()) == "nt40";
    bool existed[3];
    for (int i = 0; i < 3; i++) {
        if (conformance::is_nt()) remove_service(k_drivers[i]); // left by an interrupted run
        existed[i] = file_exists(driver_file(k_drivers[i]));
    }
    conformance::Cleanup undo([&] {
        for (int i = 0; i < 3; i++) {
            if (conformance::is_nt()) remove_service(k_drivers[i]);
            if (!existed[i]) DeleteFileA(driver_file(k_drivers[i]).c_str());
        }
        for (const char *f : {"setup.exe", "quvainst.dll", "usbhub.sys", "usbqvtkn.sys", "usbdrv.sys"})
            DeleteFileA((dir + "\\" + f).c_str());
        RemoveDirectoryA(dir.c_str());
    });
    REQUIRE(place_package(dir));

    // Quiet: nothing to answer, so the run ends on its own whatever happens.
    std::string setup = "\"" + dir + "\\setup.exe\"";
    CHECK_EQ(run(setup + " /q"), nt4 ? 0 : 2);
    for (const char *d : k_drivers) {
        if (conformance::is_nt()) CHECK_MSG(service_exists(d) == nt4, "service %s", d);
        if (nt4) CHECK_MSG(file_exists(driver_file(d)), "%s.sys copied", d);
    }
    if (nt4) {
        RegValue v = service_value("usbdrv", "ImagePath");
        CHECK_MSG(image_path_type_ok(v.type), "ImagePath of type %lu", (unsigned long)v.type);
        CHECK_STR(v.text, "%SystemRoot%\\System32\\Drivers\\usbdrv.sys");
        CHECK_STR(service_value("usbdrv", "Group").text, "Extended Base");
        CHECK_STR(service_value("usbhub", "Group").text, "Base");
        CHECK_EQ(service_value("usbqvtkn", "Type").number, SERVICE_KERNEL_DRIVER);
        CHECK_EQ(service_value("usbqvtkn", "Start").number, SERVICE_DEMAND_START);
        CHECK_EQ(service_value("usbqvtkn", "ErrorControl").number, SERVICE_ERROR_NORMAL);
        // Again over the installation: the services exist, which counts as done.
        CHECK_EQ(run(setup + " /q"), 0);
    }

    CHECK_EQ(run(setup + " /q /u"), nt4 ? 0 : 2);
    for (const char *d : k_drivers) {
        if (conformance::is_nt()) CHECK_MSG(!service_exists(d), "service %s left", d);
        CHECK_MSG(!file_exists(driver_file(d)), "%s.sys left", d);
    }
}
