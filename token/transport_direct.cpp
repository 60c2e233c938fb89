// The direct path: the token driver's control device and DeviceIoControl.
#include "internal.h"

namespace quvab2 {

bool direct_connect(Context *c, DWORD *result) {
    HANDLE h = CreateFileA("\\\\.\\QUVADRVR", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    // The driver answers: the resource manager is not needed in this process.
    g_rm_on = false;
    c->driver = h;
    c->flags |= k_connected;
    DWORD returned = 0;
    DWORD r = transport(c, k_ioctl_get_version, nullptr, 0, &c->driver_version, sizeof c->driver_version, &returned);
    if (r != QUVA_OK || returned != sizeof c->driver_version) {
        close_token(c, true);
        *result = QUVA_ERR_CANNOT_OPEN_DRIVER;
    } else if (c->driver_version < 0x101) {
        close_token(c, true);
        *result = QUVA_ERR_DRIVER_VERSION;
    } else {
        *result = QUVA_OK;
    }
    return true;
}

DWORD direct_transport(Context *c, DWORD code, void *request, DWORD request_size, void *answer, DWORD answer_size,
                       DWORD *returned) {
    if (!g_direct_on) return QUVA_ERR_COMMUNICATION;
    if (DeviceIoControl(c->driver, code, request, request_size, answer, answer_size, returned, nullptr))
        return QUVA_OK;
    DWORD error = GetLastError();
    if (error != ERROR_INVALID_HANDLE) return map_win32(error);
    // The driver lets go of a token that was pulled out.
    if (code == k_ioctl_open_token) return QUVA_ERR_DEVICE_NOT_FOUND;
    close_token(c, true);
    c->flags |= k_lost;
    return QUVA_ERR_DEVICE_REMOVED;
}

void direct_release(Context *c) {
    // Closed whatever the path switches say now: another context turning the
    // direct path off must not leave this handle open for the life of the
    // process.
    if (c->driver && c->driver != INVALID_HANDLE_VALUE) CloseHandle(c->driver);
    c->driver = nullptr;
}

} // namespace quvab2
