// Service queries and control on NT, and the process runner.
#include "quva_common.h"
#include "quvadi.h"

#include <cstdio>

namespace {

// Polls of a pending service, one second apart: at most five seconds.
const int k_polls = 5;
const DWORD k_poll_ms = 1000;
// How long one wait of the pumping runner lasts before it looks at messages.
const DWORD k_pump_ms = 250;

// The handles a service operation holds; closed service first.
struct ServiceHandles {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    void close_service() {
        if (service) CloseServiceHandle(service);
        service = nullptr;
    }
    ~ServiceHandles() {
        close_service();
        if (manager) CloseServiceHandle(manager);
    }
};

// The opening the three operations share.  Returns the status: 0 when both
// handles are open; with missing_ok a service that cannot be opened is 0
// too, with no service handle.
DWORD open_service(LPCSTR name, LPDWORD flag, ServiceHandles &h, bool missing_ok) {
    // A null name or flag would fault inside the call; it gets the guard's
    // answer without touching anything.
    if (!flag) return ERROR_INVALID_PARAMETER;
    *flag = 0;
    if (!name) return ERROR_INVALID_PARAMETER;
    OSVERSIONINFOA os;
    if (!quva_get_os_version(&os)) return GetLastError();
    if (os.dwPlatformId != VER_PLATFORM_WIN32_NT) return ERROR_INSTALL_PLATFORM_UNSUPPORTED;
    h.manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!h.manager) return GetLastError();
    h.service = OpenServiceA(h.manager, name, SERVICE_ALL_ACCESS);
    if (!h.service) return missing_ok ? 0 : GetLastError();
    return 0;
}

BOOL finish(DWORD status) {
    SetLastError(status);
    return status == 0;
}

} // namespace

extern "C" BOOL WINAPI quvaDI_IsServiceInstalledA(LPCSTR name) {
    OSVERSIONINFOA os;
    if (!name || !quva_get_os_version(&os) || os.dwPlatformId != VER_PLATFORM_WIN32_NT) return FALSE;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (!manager) return FALSE;
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    BOOL installed = service != nullptr;
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return installed;
}

extern "C" BOOL WINAPI quvaDI_IsServiceMarkedForDeletionA(LPCSTR name) {
    if (!quvaDI_IsServiceInstalledA(name)) return FALSE;
    char path[MAX_PATH];
    int n = std::snprintf(path, sizeof path, "SYSTEM\\CurrentControlSet\\Services\\%s", name);
    // A name too long for the key path cannot name an openable key.
    if (n < 0 || n >= (int)sizeof path) return TRUE;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return TRUE;
    DWORD flag = 0, size = sizeof flag;
    LONG r = RegQueryValueExA(key, "DeleteFlag", nullptr, nullptr, (BYTE *)&flag, &size);
    RegCloseKey(key);
    return r == ERROR_SUCCESS && flag != 0;
}

extern "C" BOOL WINAPI quvaDI_StartServiceA(LPCSTR name, DWORD argc, LPCSTR *argv, LPDWORD reboot) {
    ServiceHandles h;
    DWORD status = open_service(name, reboot, h, false);
    if (status) return finish(status);
    if (!StartServiceA(h.service, argc, argv)) return finish(GetLastError());
    SERVICE_STATUS st = {};
    if (!QueryServiceStatus(h.service, &st)) return finish(GetLastError());
    for (int polls = 0; polls < k_polls && st.dwCurrentState == SERVICE_START_PENDING; polls++) {
        Sleep(k_poll_ms);
        st.dwCurrentState = 0;
        QueryServiceStatus(h.service, &st);
    }
    if (st.dwCurrentState != SERVICE_RUNNING) *reboot = 1;
    return finish(0);
}

extern "C" BOOL WINAPI quvaDI_StopServiceA(LPCSTR name, LPDWORD reboot) {
    ServiceHandles h;
    DWORD status = open_service(name, reboot, h, false);
    if (status) return finish(status);
    SERVICE_STATUS st = {};
    if (!ControlService(h.service, SERVICE_CONTROL_STOP, &st)) return finish(GetLastError());
    for (int polls = 0; polls < k_polls && st.dwCurrentState == SERVICE_STOP_PENDING; polls++) {
        Sleep(k_poll_ms);
        st.dwCurrentState = 0;
        ControlService(h.service, SERVICE_CONTROL_INTERROGATE, &st);
    }
    if (st.dwCurrentState != SERVICE_STOPPED) *reboot = 1;
    return finish(0);
}

extern "C" BOOL WINAPI quvaDI_DeleteServiceA(LPCSTR name, LPDWORD marked) {
    ServiceHandles h;
    DWORD status = open_service(name, marked, h, true);
    if (status || !h.service) return finish(status);
    if (!DeleteService(h.service)) status = GetLastError();
    h.close_service();
    if (status == ERROR_SERVICE_MARKED_FOR_DELETE) {
        status = 0;
        *marked = 1;
    } else if (status == ERROR_SERVICE_DOES_NOT_EXIST) {
        status = 0;
    }
    return finish(status);
}

extern "C" DWORD WINAPI quvaDI_RunProcessA(HWND window, LPSTR command_line, LPCSTR directory, BOOL wait,
                                          UINT show) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = (WORD)(show & 0xFFFF);
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = wait ? TRUE : FALSE;
    if (directory && !directory[0]) directory = nullptr;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, command_line, &sa, &sa, wait ? TRUE : FALSE, 0, nullptr, directory, &si, &pi))
        return GetLastError();

    DWORD result = 0;
    if (wait) {
        DWORD w;
        if (!window) {
            w = WaitForSingleObject(pi.hProcess, INFINITE);
        } else {
            for (;;) {
                w = WaitForSingleObject(pi.hProcess, k_pump_ms);
                if (w != WAIT_TIMEOUT) break;
                MSG msg = {};
                if (PeekMessageA(&msg, window, 0, 0, PM_REMOVE)) {
                    TranslateMessage(&msg);
                    DispatchMessageA(&msg);
                    if (msg.message == WM_QUIT) break;
                }
            }
        }
        result = w;
        if (w == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(pi.hProcess, &code);
            result = code;
        }
    }
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return result;
}
