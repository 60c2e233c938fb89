// The driver installer's install entry where it refuses before touching the
// machine and for a fresh install on XP, and its wait-for-device dialog shown
// and answered for real: the same answers on the simulated machine and under
// Wine, except where docs/design.md says Wine differs.
//
// The dialog is answered the way a person would: once it is up, its texts are
// read back and its button is pressed.  Under Wine a hook on the dialog's
// thread says when it is up; on the simulator the scripted user does.
#include "conformance.h"
#include "registry_util.h"

#include <windows.h>
#include <setupapi.h>

#if !defined(_WIN32)
#include <winsim/sim.h>
#endif

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {
using conformance::delete_tree;
using conformance::key_exists;

typedef BOOL(WINAPI *InstallFn)(HWND, DWORD, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, LPDWORD, LPDWORD, LPDWORD);
typedef BOOL(WINAPI *UninstallFn)(HWND, DWORD, LPDWORD, LPDWORD, LPDWORD);
typedef int(WINAPI *WaitFn)(HWND, DWORD, LPCSTR, LPCSTR, LPCSTR, LPCSTR);

const int k_label = 103;
const DWORD k_silent_wait = 0x4;

struct Library {
    HMODULE module = LoadLibraryA("QUVADI.DLL");
    ~Library() {
        if (module) FreeLibrary(module);
    }
    template <class F> F fn(const char *name) const {
        F f = module ? (F)(void *)GetProcAddress(module, name) : nullptr;
        CHECK_MSG(f != nullptr, "QUVADI.DLL exports %s", name);
        return f;
    }
};

// The version the platform reports, which under Wine may be one the
// harness has no name for.
OSVERSIONINFOA real_version() {
    OSVERSIONINFOA v;
    std::memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    GetVersionExA(&v);
    return v;
}


// The INFs in the Windows INF directory, by name.
std::string system_infs() {
    char dir[MAX_PATH] = "";
    GetWindowsDirectoryA(dir, sizeof dir);
    std::string out;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((std::string(dir) + "\\INF\\*.inf").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return out;
    do
        out += std::string(found.cFileName) + " ";
    while (FindNextFileA(h, &found));
    FindClose(h);
    return out;
}

// The INFs that are in the INF directory now and were not in `before`.
std::vector<std::string> new_infs(const std::string &before) {
    const std::string now = system_infs();
    std::vector<std::string> out;
    for (size_t at = 0, end; (end = now.find(' ', at)) != std::string::npos; at = end + 1) {
        std::string name = now.substr(at, end - at);
        if (before.find(name + " ") == std::string::npos) out.push_back(name);
    }
    return out;
}

// What an install would change first: the driver services, the component
// records and the OEM INFs.
std::string install_traces() {
    const char *keys[] = {"System\\CurrentControlSet\\Services\\QvaToken",
                          "System\\CurrentControlSet\\Services\\QuvaEnum",
                          "System\\CurrentControlSet\\Services\\quvaIFD", "Software\\Vornel Technologies"};
    std::string out;
    for (const char *k : keys) out += key_exists(k) ? std::string(k) + " " : "";
    return out + system_infs();
}

// A scratch directory under the temporary directory, removed with its files.
struct ScratchDir {
    std::string path;
    explicit ScratchDir(const char *name) {
        char temp[MAX_PATH] = "";
        GetTempPathA(sizeof temp, temp);
        path = std::string(temp) + name;
        CreateDirectoryA(path.c_str(), nullptr);
    }
    std::string file(const char *name) const { return path + "\\" + name; }
    ~ScratchDir() {
        DeleteFileA(file("qvatoken.inf").c_str());
        RemoveDirectoryA(path.c_str());
    }
};

// ------------------------------------------------------ answering a dialog

// What the person saw on the dialog before pressing its button.
struct Seen {
    bool up = false;
    std::string caption, label, ok, cancel;
};

std::string text_of(HWND dialog, int id) {
    char text[300] = "";
    if (id)
        GetDlgItemTextA(dialog, id, text, sizeof text);
    else
        GetWindowTextA(dialog, text, sizeof text);
    return text;
}

// Reads the dialog, then presses `button` (its WM_COMMAND, as a click sends).
void answer(HWND dialog, int button, Seen *seen) {
    seen->up = true;
    seen->caption = text_of(dialog, 0);
    seen->label = text_of(dialog, k_label);
    seen->ok = GetDlgItem(dialog, IDOK) ? text_of(dialog, IDOK) : "<none>";
    seen->cancel = GetDlgItem(dialog, IDCANCEL) ? text_of(dialog, IDCANCEL) : "<none>";
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), (LPARAM)GetDlgItem(dialog, button));
}

#if defined(_WIN32)
// The dialog runs on a thread of its own; this one waits for its
// WM_INITDIALOG to have been handled, then answers it.
struct Shown {
    std::function<int()> show;
    int result = -1;
    HANDLE up = nullptr;
    HHOOK hook = nullptr;
    HWND dialog = nullptr;
};
Shown *g_shown;

LRESULT CALLBACK after_message(int code, WPARAM wparam, LPARAM lparam) {
    const CWPRETSTRUCT *m = (const CWPRETSTRUCT *)lparam;
    if (code == HC_ACTION && m->message == WM_INITDIALOG && !g_shown->dialog) {
        g_shown->dialog = m->hwnd;
        SetEvent(g_shown->up);
    }
    return CallNextHookEx(g_shown->hook, code, wparam, lparam);
}

DWORD WINAPI show_thread(LPVOID) {
    g_shown->hook = SetWindowsHookExA(WH_CALLWNDPROCRET, after_message, nullptr, GetCurrentThreadId());
    g_shown->result = g_shown->show();
    if (g_shown->hook) UnhookWindowsHookEx(g_shown->hook);
    SetEvent(g_shown->up); // a dialog that never came up must not hold the caller
    return 0;
}

int show_and_answer(const std::function<int()> &show, int button, Seen *seen) {
    const DWORD k_wait_ms = 20000; // a bound for a broken run, not a pause
    Shown shown;
    shown.show = show;
    shown.up = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_shown = &shown;
    HANDLE thread = CreateThread(nullptr, 0, show_thread, nullptr, 0, nullptr);
    if (!thread) {
        CloseHandle(shown.up);
        return -2;
    }
    if (WaitForSingleObject(shown.up, k_wait_ms) == WAIT_OBJECT_0 && shown.dialog && IsWindow(shown.dialog))
        answer(shown.dialog, button, seen);
    if (WaitForSingleObject(thread, k_wait_ms) != WAIT_OBJECT_0) {
        if (shown.dialog) PostMessageA(shown.dialog, WM_COMMAND, IDCANCEL, 0);
        if (WaitForSingleObject(thread, k_wait_ms) != WAIT_OBJECT_0) TerminateThread(thread, 1);
        shown.result = -3;
    }
    CloseHandle(thread);
    CloseHandle(shown.up);
    g_shown = nullptr;
    return shown.result;
}
#else
// The scripted user answers whichever dialog comes up first.
int show_and_answer(const std::function<int()> &show, int button, Seen *seen) {
    winsim::user::on_dialog(0, [&](winsim::user::DialogUser &user) {
        if (!seen->up) answer(user.hwnd(), button, seen);
    });
    int result = show();
    winsim::user::clear_dialog_rules();
    return result;
}
#endif

} // namespace

CONFORMANCE_TEST(install_refuses_a_missing_inf) {
    Library lib;
    auto install = lib.fn<InstallFn>("quvaDI_InstallDriverA");
    REQUIRE(install);
    ScratchDir dir("quvacfinst");
    const std::string before = install_traces();
    const std::string long_name(300, 'i');
    const struct {
        const char *dir, *inf;
    } cases[] = {
        {dir.path.c_str(), "qvatoken.inf"}, // the directory is there, the INF is not
        {nullptr, "qvatoken.inf"},
        {dir.path.c_str(), nullptr},
        {"C:\\quvacf-no-such-dir", "qvatoken.inf"},
        {dir.path.c_str(), long_name.c_str()}, // no path that long
    };
    for (const auto &c : cases) {
        DWORD reboot = 77, completion = 77, error = 77;
        CHECK(!install(nullptr, 0, c.dir, c.inf, 0, 1, 2, &reboot, &completion, &error));
        CHECK_EQ(error, ERROR_FILE_NOT_FOUND);
        CHECK_EQ(reboot, 0);
        CHECK_EQ(completion, 0);
    }
    // Nowhere to put the outputs: refused with 87, none of the others written.
    DWORD reboot = 77, completion = 77;
    SetLastError(0xdeadbeef);
    CHECK(!install(nullptr, 0, dir.path.c_str(), "qvatoken.inf", 0, 0, 0, &reboot, &completion, nullptr));
    CHECK_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CHECK_EQ(reboot, 77);
    CHECK_STR(install_traces(), before);
}

// With an INF in place the platform decides: NT 6 and later are refused
// (1633).  The real version counts, so the Wine lane also runs this under
// "vista", a version the harness has no name for.  Elsewhere this would be
// a real install, which this check does not make.
CONFORMANCE_TEST(install_refuses_other_platforms) {
    Library lib;
    auto install = lib.fn<InstallFn>("quvaDI_InstallDriverA");
    REQUIRE(install);
    const OSVERSIONINFOA v = real_version();
    const bool nt = v.dwPlatformId == VER_PLATFORM_WIN32_NT;
    if (!nt || v.dwMajorVersion < 6) return;
    ScratchDir dir("quvacfplat");
    HANDLE h = CreateFileA(dir.file("qvatoken.inf").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    REQUIRE(h != INVALID_HANDLE_VALUE);
    const char text[] = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
    DWORD written = 0;
    WriteFile(h, text, sizeof text - 1, &written, nullptr);
    CloseHandle(h);
    const std::string before = install_traces();
    DWORD reboot = 77, completion = 77, error = 77;
    CHECK(!install(nullptr, 0, dir.path.c_str(), "qvatoken.inf", 0, 1, 2, &reboot, &completion, &error));
    CHECK_EQ(error, ERROR_INSTALL_PLATFORM_UNSUPPORTED);
    CHECK_EQ(reboot, 0);
    CHECK_EQ(completion, 0);
    CHECK_STR(install_traces(), before);
}

// Windows 95 and NT 4.0 only tell the person to plug the token in (OK); the
// others wait for it with a Cancel button, or show the message on request.
CONFORMANCE_TEST(wait_for_device_dialog_answered) {
    Library lib;
    auto wait = lib.fn<WaitFn>("quvaDI_DlgWaitForDeviceA");
    REQUIRE(wait);
    const std::string os = conformance::os_name();
    const bool message_only = os == "win95" || os == "nt40";
    auto show = [&](DWORD flags) {
        return [=] { return wait(nullptr, flags, "Quva - Token", "Insert your token.", "Done", "Stop"); };
    };

    Seen seen;
    int result = show_and_answer(show(0x2), message_only ? IDOK : IDCANCEL, &seen);
    REQUIRE(seen.up);
    CHECK_STR(seen.caption, "Quva - Token");
    CHECK_STR(seen.label, "Insert your token.");
    if (message_only) {
        CHECK_STR(seen.ok, "Done");
        CHECK_STR(seen.cancel, "<none>");
        CHECK_EQ(result, 1);
    } else {
        // No token arrives: only Cancel ends the wait.
        CHECK_STR(seen.ok, "<none>");
        CHECK_STR(seen.cancel, "Stop");
        CHECK_EQ(result, 0);
    }

    // The message form everywhere with 0x1; its close box is no OK.
    seen = Seen();
    result = show_and_answer(show(0x1), IDCANCEL, &seen);
    REQUIRE(seen.up);
    CHECK_STR(seen.ok, "Done");
    CHECK_EQ(result, 0);
    seen = Seen();
    result = show_and_answer(show(0x1), IDOK, &seen);
    CHECK(seen.up);
    CHECK_EQ(result, 1);
}

// ------------------------------------------------------ a fresh install

namespace {

const char k_enum_hwid[] = "quva\\quvaEnum";

// Where the 2000/XP driver package is: beside the program's build under
// Windows, copied onto the simulated disk from the build on Linux.
std::string nt5_package() {
#if defined(_WIN32)
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string dir = self;
    dir = dir.substr(0, dir.rfind('\\')); // ...\bin
    return dir.substr(0, dir.rfind('\\')) + "\\drivers\\nt5";
#else
    const std::string dir = "C:\\QUVACF\\NT5";
    for (const char *name : {"qvatoken.inf", "qvatoken.cat", "QVATOKEN.SYS", "quvaenum.sys", "quvaIFD.SYS"}) {
        std::vector<BYTE> bytes;
        FILE *f = std::fopen((std::string(QUVA_NT5_PACKAGE) + "/" + name).c_str(), "rb");
        if (!f) return "";
        for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back((BYTE)c);
        std::fclose(f);
        if (!winsim::disk::write_file(dir + "\\" + name, bytes)) return "";
    }
    return dir;
#endif
}

// The device nodes whose hardware IDs include `hwid`; `remove` removes them.
int device_nodes(const char *hwid, bool remove) {
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return -1;
    int found = 0;
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); i++) {
        char ids[1024] = "";
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, &type, (PBYTE)ids, sizeof ids - 2,
                                               nullptr))
            continue;
        for (const char *id = ids; *id; id += std::strlen(id) + 1) {
            if (lstrcmpiA(id, hwid) != 0) continue;
            found++;
            if (remove) SetupDiRemoveDevice(set, &data);
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

bool read_dword(const char *key, const char *name, DWORD *value) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = sizeof *value;
    LONG r = RegQueryValueExA(k, name, nullptr, &type, (BYTE *)value, &size);
    RegCloseKey(k);
    return r == ERROR_SUCCESS && type == REG_DWORD;
}

void write_dword(const char *key, const char *name, DWORD value) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &k) != ERROR_SUCCESS) return;
    RegSetValueExA(k, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
    RegCloseKey(k);
}


} // namespace

// A first install on XP with no token, on both platforms for real: the INF
// is copied into the system's INF directory, the root-enumerated enumerator
// node is made and its driver installed (service and file), the parameters
// and component records are written.  What Wine does not model is left out:
// its driver update answers TRUE when no device matches at all (see
// docs/design.md), so the upgrade flows would not fail there as on Windows.
CONFORMANCE_TEST(install_fresh_on_xp) {
    if (std::strcmp(conformance::os_name(), "winxp") != 0) return;
    Library lib;
    auto install = lib.fn<InstallFn>("quvaDI_InstallDriverA");
    REQUIRE(install);
    const std::string package = nt5_package();
    REQUIRE(!package.empty());
    const char *services[] = {"quvaenum", "quvaIFD", "qvatoken"};
    const char *keys[] = {"System\\CurrentControlSet\\Services\\QvaToken",
                          "System\\CurrentControlSet\\Services\\QuvaEnum",
                          "System\\CurrentControlSet\\Services\\quvaIFD", "Software\\Vornel Technologies"};
    for (const char *k : keys) REQUIRE(!key_exists(k));
    REQUIRE(device_nodes(k_enum_hwid, false) == 0);
    const std::string infs_before = system_infs();
    // Keys the install may be the first to make.
    std::vector<std::string> made = {"System\\CurrentControlSet\\Control\\Class\\"
                                     "{50DD5230-BA8A-11D1-BF5D-0000F805F530}",
                                     "System\\CurrentControlSet\\Enum\\Root",
                                     "System\\CurrentControlSet\\Hardware Profiles\\0001\\System"};
    for (auto i = made.begin(); i != made.end();) i = key_exists(i->c_str()) ? made.erase(i) : i + 1;
    const char scardsvr[] = "System\\CurrentControlSet\\Services\\SCardSvr";
    const char scarddrv[] = "System\\CurrentControlSet\\Services\\SCardDrv";
    DWORD svr_start = 0, drv_start = 0;
    const bool had_svr = read_dword(scardsvr, "Start", &svr_start), had_drv = read_dword(scarddrv, "Start", &drv_start);
    char windows[MAX_PATH] = "";
    GetWindowsDirectoryA(windows, sizeof windows);
    conformance::Cleanup undo([&] {
        device_nodes(k_enum_hwid, true);
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        for (const char *s : services) {
            SC_HANDLE h = scm ? OpenServiceA(scm, s, SERVICE_ALL_ACCESS) : nullptr;
            if (h) {
                SERVICE_STATUS status; // Wine loads the driver it installed
                ControlService(h, SERVICE_CONTROL_STOP, &status);
                DeleteService(h);
                CloseServiceHandle(h);
            }
            DeleteFileA((std::string(windows) + "\\System32\\Drivers\\" + s + ".sys").c_str());
        }
        if (scm) CloseServiceHandle(scm);
        for (const char *k : keys) delete_tree(k);
        for (const std::string &k : made) delete_tree(k);
        if (had_svr) write_dword(scardsvr, "Start", svr_start);
        if (had_drv) write_dword(scarddrv, "Start", drv_start);
        for (const std::string &name : new_infs(infs_before)) {
            std::string inf = std::string(windows) + "\\INF\\" + name;
            DeleteFileA(inf.c_str());
            DeleteFileA((inf.substr(0, inf.size() - 3) + "pnf").c_str());
        }
    });

    DWORD reboot = 77, completion = 77, error = 77;
    BOOL ok = install(nullptr, k_silent_wait, package.c_str(), "qvatoken.inf", 0, 0, 0, &reboot, &completion, &error);
    CHECK_MSG(ok, "error %lu", (unsigned long)error);
    CHECK_EQ(error, 0);
    CHECK_EQ(completion, 2); // installed, no token present
    // One copy of the INF in the system's INF directory: "oemN.inf" as
    // Windows names it; Wine 8 keeps the source's name.
    const std::vector<std::string> copied = new_infs(infs_before);
    REQUIRE(copied.size() == 1);
    if (conformance::on_simulator())
        CHECK_MSG(lstrcmpiA(copied[0].substr(0, 3).c_str(), "oem") == 0, "copied as %s", copied[0].c_str());
    else
        CHECK_MSG(lstrcmpiA(copied[0].c_str(), "qvatoken.inf") == 0, "copied as %s", copied[0].c_str());
    // The root-enumerated enumerator node, its driver installed for real.
    CHECK_EQ(device_nodes(k_enum_hwid, false), 1);
    CHECK(key_exists("System\\CurrentControlSet\\Services\\quvaenum"));
    CHECK(GetFileAttributesA((std::string(windows) + "\\System32\\Drivers\\quvaenum.sys").c_str()) !=
          INVALID_FILE_ATTRIBUTES);
    // The parameters: no virtual readers asked for.
    DWORD value = 77;
    CHECK(read_dword("System\\CurrentControlSet\\Services\\QvaToken\\Parameters", "UseRM", &value));
    CHECK_EQ(value, 0);
    // The component records, one per driver file now in place.
    CHECK(key_exists("Software\\Vornel Technologies"));

    // And the removal: the node, the OEM INF and the records go everywhere.
    // Wine's property change does not unload the driver, so there its image
    // cannot be deleted and its service is only marked for deletion; the
    // simulator unloads it with its device, so the files and keys go too.
    auto uninstall = lib.fn<UninstallFn>("quvaDI_UninstallDriverA");
    REQUIRE(uninstall);
    reboot = completion = error = 77;
    CHECK(uninstall(nullptr, 0, &reboot, &completion, &error));
    CHECK_EQ(completion, 0);
    CHECK_EQ(error, 0);
    CHECK_EQ(device_nodes(k_enum_hwid, false), 0);
    CHECK(new_infs(infs_before).empty());
    CHECK(!key_exists("Software\\Vornel Technologies"));
    if (conformance::on_simulator()) {
        CHECK(GetFileAttributesA((std::string(windows) + "\\System32\\Drivers\\quvaenum.sys").c_str()) ==
              INVALID_FILE_ATTRIBUTES);
        CHECK_EQ(reboot, 0);
        for (const char *k : keys) CHECK_MSG(!key_exists(k), "%s left", k);
    }
}
