// The one road to a token: connect a context on one of the two paths, pass a
// driver control, close the token and let the connection go.
#include "internal.h"

#include <cstring>

namespace quvab2 {

DWORD connect(Context *c, DWORD flags, const SCARDHANDLE *caller_card) {
    if (c->flags & k_connected) return QUVA_OK;
    bool card_handle_mode = (flags & 7) == QUVA_OPEN_CARD_HANDLE;
    DWORD r = QUVA_OK;
    if (g_direct_on && !card_handle_mode && direct_connect(c, &r)) return r;
    if (!g_rm_on) return QUVA_ERR_DEVICE_NOT_FOUND;
    return rm_connect(c, card_handle_mode ? caller_card : nullptr);
}

DWORD transport(Context *c, DWORD code, void *request, DWORD request_size, void *answer, DWORD answer_size,
                DWORD *returned) {
    if (c->flags & k_lost) return QUVA_ERR_DEVICE_REMOVED;
    if (!(c->flags & k_connected)) return QUVA_ERR_DEVICE_NOT_FOUND;
    if (c->flags & k_rm_path) return rm_transport(c, code, request, request_size, answer, answer_size, returned);
    return direct_transport(c, code, request, request_size, answer, answer_size, returned);
}

DWORD close_token(Context *c, bool release) {
    if (!check(c)) return QUVA_ERR_INVALID_PARAMETER;
    c->flags &= ~k_lost;
    if (!(c->flags & k_connected)) return QUVA_OK;
    if (c->flags & k_token_open) {
        c->flags &= ~k_token_open;
        BYTE frame[k_open_frame_size] = {};
        put32(frame, c->token_id);
        DWORD returned = 0;
        transport(c, k_ioctl_close_token, frame, sizeof frame, nullptr, 0, &returned);
    }
    // The close-token exchange may have found the token gone and released
    // the context already.
    if (!release || !(c->flags & k_connected)) return QUVA_OK;
    if (c->flags & k_rm_path)
        rm_release(c);
    else
        direct_release(c);
    c->flags &= ~(k_connected | k_rm_path | k_caller_card);
    return QUVA_OK;
}

DWORD map_win32(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED: return QUVA_ERR_ACCESS_DENIED;
    case ERROR_INVALID_PARAMETER: return QUVA_ERR_INVALID_PARAMETER;
    case ERROR_SEM_TIMEOUT: return QUVA_ERR_DEVICE_IN_USE;
    case ERROR_OPERATION_ABORTED: return QUVA_ERR_DEVICE_NOT_FOUND;
    default: return QUVA_ERR_COMMUNICATION;
    }
}

DWORD map_pcsc(LONG result) {
    switch ((DWORD)result) {
    case 0: return QUVA_OK;
    case ERROR_INVALID_FUNCTION: return QUVA_ERR_INVALID_COMMAND;
    case ERROR_CRC: return QUVA_ERR_COMMUNICATION;
    case ERROR_OPERATION_ABORTED: return QUVA_ERR_DEVICE_NOT_FOUND;
    case (DWORD)SCARD_F_INTERNAL_ERROR: return QUVA_ERR_HARDWARE;
    case (DWORD)SCARD_E_INVALID_PARAMETER: return QUVA_ERR_DEVICE_REMOVED;
    case (DWORD)SCARD_E_INVALID_TARGET: return QUVA_ERR_DEVICE_REMOVED;
    case (DWORD)SCARD_E_NO_MEMORY: return QUVA_ERR_NOT_ENOUGH_MEMORY;
    case (DWORD)SCARD_F_WAITED_TOO_LONG: return QUVA_ERR_DEVICE_IN_USE;
    case (DWORD)SCARD_E_UNKNOWN_READER: return QUVA_ERR_DEVICE_REMOVED;
    case (DWORD)SCARD_E_TIMEOUT: return QUVA_ERR_TIMEOUT;
    case (DWORD)SCARD_E_SHARING_VIOLATION: return QUVA_ERR_DEVICE_IN_USE;
    case (DWORD)SCARD_E_NO_SMARTCARD: return QUVA_ERR_DEVICE_NOT_FOUND;
    case (DWORD)SCARD_E_INVALID_VALUE: return QUVA_ERR_DEVICE_REMOVED;
    case (DWORD)SCARD_F_COMM_ERROR: return QUVA_ERR_COMMUNICATION;
    case (DWORD)SCARD_E_READER_UNAVAILABLE: return QUVA_ERR_DEVICE_REMOVED;
    case (DWORD)SCARD_E_NO_SERVICE: return QUVA_ERR_CANNOT_OPEN_DRIVER;
    case (DWORD)SCARD_E_SERVICE_STOPPED: return QUVA_ERR_CANNOT_OPEN_DRIVER;
    case (DWORD)SCARD_W_UNRESPONSIVE_CARD: return QUVA_ERR_COMMUNICATION;
    case (DWORD)SCARD_W_REMOVED_CARD: return QUVA_ERR_DEVICE_REMOVED;
    default: return QUVA_ERR_INVALID_PARAMETER;
    }
}

} // namespace quvab2
