// DeviceIoControl: hands the control to the device object behind the handle.
#include "disk.h"

using namespace winsim;

extern "C" BOOL WINAPI DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                                       LPDWORD returned, LPOVERLAPPED overlapped) {
    WINSIM_FAULT_BOOL("DeviceIoControl");
    if (returned) *returned = 0;
    auto f = handle_table::get_as<FileObject>(h, HandleKind::File);
    if (!f) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Without an OVERLAPPED the count is written unconditionally: a null one
    // faults inside kernel32 on the real systems.
    if ((!returned && !overlapped) || (!in && in_size) || (!out && out_size)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    DWORD done = 0;
    DWORD e = f->ioctl(code, in, in_size, out, out_size, &done);
    if (returned) *returned = done;
    if (overlapped) {
        overlapped->Internal = e;
        overlapped->InternalHigh = done;
    }
    if (e) {
        SetLastError(e);
        return FALSE;
    }
    return TRUE;
}
