// quvainst: the kernel-driver services of the NT 4.0 USB driver stack.
#include "quvainst.h"

#include <cstring>

namespace {

const char k_caption[] = "Vornel Quva";

struct Driver {
    const char *name;  // service name, display name and file name
    const char *image; // ImagePath of the service
    const char *group; // load-order group
};

const Driver k_usbhub = {"usbhub", "%SystemRoot%\\System32\\Drivers\\usbhub.sys", "Base"};
const Driver k_usbqvtkn = {"usbqvtkn", "%SystemRoot%\\System32\\Drivers\\usbqvtkn.sys", "Base"};
const Driver k_usbdrv = {"usbdrv", "%SystemRoot%\\System32\\Drivers\\usbdrv.sys", "Extended Base"};

// Library-wide, set by each QuvaSetup call.
DWORD g_quiet = 0;

void message(const char *text) {
    if (!g_quiet) MessageBoxA(nullptr, text, k_caption, MB_OK | MB_ICONEXCLAMATION);
}

void message_code(const char *format, DWORD code) {
    char text[128];
    wsprintfA(text, format, code);
    message(text);
}

void message_name_code(const char *format, const char *name, DWORD code) {
    char text[128];
    wsprintfA(text, format, name, code);
    message(text);
}

// Windows NT 4.0 is class 5 of the version word; nothing else is served.
int version_class() {
    DWORD v = GetVersion();
    DWORD major = LOBYTE(LOWORD(v));
    DWORD minor = HIBYTE(LOWORD(v));
    if (!(v & 0x80000000u)) return major > 4 ? 6 : major == 4 ? 5 : 4;
    if (major < 4) return 1;
    return minor < 10 ? 2 : 3;
}

// Refusals of a control that still report the service's status.
bool reports_status(DWORD error) {
    return error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
           error == ERROR_SERVICE_NOT_ACTIVE;
}

// True when the service is stopped (or absent, or on its way out).
bool stop_service(SC_HANDLE manager, const Driver &d) {
    SC_HANDLE service = OpenServiceA(manager, d.name, SERVICE_ALL_ACCESS);
    if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    SERVICE_STATUS status;
    std::memset(&status, 0, sizeof status);
    bool stopped;
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        stopped = true;
    } else if (GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE) {
        stopped = true;
    } else {
        if (!reports_status(GetLastError())) status.dwCurrentState = 0;
        // A stop already under way gets a bounded wait.
        for (int i = 0; i < 5 && status.dwCurrentState == SERVICE_STOP_PENDING; i++) {
            Sleep(1000);
            std::memset(&status, 0, sizeof status);
            if (!ControlService(service, SERVICE_CONTROL_INTERROGATE, &status) && !reports_status(GetLastError()))
                status.dwCurrentState = 0;
        }
        stopped = status.dwCurrentState == SERVICE_STOPPED;
    }
    CloseServiceHandle(service);
    return stopped;
}

bool create_service(SC_HANDLE manager, const Driver &d) {
    SC_HANDLE service = CreateServiceA(manager, d.name, d.name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, d.image, d.group, nullptr, nullptr,
                                       nullptr, nullptr);
    if (service) {
        CloseServiceHandle(service);
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_SERVICE_EXISTS) return true;
    message_name_code("failure: CreateService %s (0x%02x)\n", d.name, error);
    return false;
}

// True when the service is gone or marked for deletion.
bool delete_service(SC_HANDLE manager, const Driver &d) {
    SC_HANDLE service = OpenServiceA(manager, d.name, SERVICE_ALL_ACCESS);
    if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    bool deleted = true;
    if (!DeleteService(service)) {
        DWORD error = GetLastError();
        // Already on its way out: an earlier removal marked it.
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE) {
            message_name_code("failure: DeleteService %s (0x%02x)\n", d.name, error);
            deleted = false;
        }
    }
    CloseServiceHandle(service);
    return deleted;
}

} // namespace

extern "C" int WINAPI QuvaSetup(DWORD uninstall, DWORD quiet) {
    g_quiet = quiet;
    if (version_class() != 5) {
        message("failure: Only for Win NT 4.0\n");
        return QUVASETUP_FAILED;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED)
            message("failure: insufficient privilege to install or remove the driver.");
        else
            message_code("failure: OpenSCManager (0x%02x)", error);
        return QUVASETUP_FAILED;
    }
    bool restart = false, failed = false;
    if (uninstall) {
        if (!stop_service(manager, k_usbdrv)) restart = true;
        if (!delete_service(manager, k_usbdrv)) failed = true;
        stop_service(manager, k_usbhub);
        if (!delete_service(manager, k_usbhub)) failed = true;
        stop_service(manager, k_usbqvtkn);
        if (!delete_service(manager, k_usbqvtkn)) failed = true;
    } else {
        // A driver that keeps running keeps its old image until the next start.
        if (!stop_service(manager, k_usbdrv)) restart = true;
        if (!stop_service(manager, k_usbhub)) restart = true;
        if (!stop_service(manager, k_usbqvtkn)) restart = true;
        if (!create_service(manager, k_usbhub)) failed = true;
        if (!create_service(manager, k_usbqvtkn)) failed = true;
        if (!create_service(manager, k_usbdrv)) failed = true;
    }
    CloseServiceHandle(manager);

    if (!uninstall) {
        if (failed) {
            message("Installation failed.");
            return QUVASETUP_FAILED;
        }
        if (restart) {
            message("Drivers successfully installed, Restart your system.");
            return QUVASETUP_RESTART;
        }
        message("Drivers successfully installed.");
        return QUVASETUP_DONE;
    }
    if (failed) {
        message("Uninstallation failed.");
        return QUVASETUP_FAILED;
    }
    if (restart) {
        message("Drivers successfully removed, Restart your system.");
        return QUVASETUP_RESTART;
    }
    message("Drivers successfully removed.");
    return QUVASETUP_DONE;
}

extern "C" int WINAPI UninstInitialize(DWORD, DWORD, DWORD) {
    QuvaSetup(1, 1);
    return 0;
}

extern "C" int WINAPI UninstUnInitialize(DWORD, DWORD, DWORD) { return 0; }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
