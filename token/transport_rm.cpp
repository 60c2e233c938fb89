// The resource-manager path: the driver's virtual readers, reached through
// the PC/SC functions of WinScard.dll, with the same four controls carried by
// SCardControl.
#include "internal.h"

#include <cstdio>

namespace quvab2 {
namespace {

DWORD read_version(Context *c) {
    DWORD returned = 0;
    return map_pcsc(c->control(c->card, k_scard_get_version, nullptr, 0, &c->driver_version,
                               sizeof c->driver_version, &returned));
}

// The token given with QUVA_OPEN_CARD_HANDLE: no scan, the caller's card.
DWORD open_caller_card(Context *c, BYTE *frame) {
    c->flags |= k_card_open;
    if (c->driver_version == 0) {
        DWORD e = read_version(c);
        if (e != QUVA_OK) {
            c->driver_version = 0;
            close_token(c, true);
            return e;
        }
        if (c->driver_version < 0x101) {
            c->driver_version = 0;
            close_token(c, true);
            return QUVA_ERR_DRIVER_VERSION;
        }
    }
    DWORD returned = 0;
    if (map_pcsc(c->control(c->card, k_scard_open_token, frame, k_open_frame_size, frame, k_open_frame_size,
                            &returned)) == QUVA_OK)
        return QUVA_OK;
    c->flags &= ~k_card_open;
    return QUVA_ERR_DEVICE_NOT_FOUND;
}

// The open-token control: the virtual readers from the scan index on, until
// one holds a free token that opens.
DWORD reader_scan(Context *c, BYTE *frame) {
    const DWORD noted = c->token_id;
    if (!pcsc_gate_open()) return QUVA_ERR_DEVICE_NOT_FOUND;
    if (c->flags & k_caller_card) return open_caller_card(c, frame);

    DWORD previous_failure = QUVA_OK; // the open control on the reader before
    for (DWORD i = c->scan_index; i < g_scan_limit; ++i) {
        if (previous_failure != QUVA_OK && previous_failure != QUVA_ERR_DEVICE_REMOVED)
            return QUVA_ERR_DEVICE_NOT_FOUND;
        previous_failure = QUVA_OK;

        char name[64];
        std::snprintf(name, sizeof name, "Vornel Technologies QuvaVirtualReader %lu", (unsigned long)i);
        SCARD_READERSTATEA state = {};
        state.szReader = name;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        DWORD e = map_pcsc(c->status_change(c->pcsc, 1, &state, 1));
        if (e != QUVA_OK) return e;

        const bool reopen = (c->flags & k_reopen_check) != 0;
        if (!(state.dwEventState & SCARD_STATE_PRESENT)) {
            if (reopen) return QUVA_ERR_DEVICE_NOT_FOUND;
            continue;
        }
        const bool token = is_token_atr(state.rgbAtr, state.cbAtr);
        if (state.dwEventState & SCARD_STATE_INUSE) {
            if (token) {
                c->scan_index = i;
                return QUVA_ERR_DEVICE_IN_USE;
            }
            if (reopen) return QUVA_ERR_DEVICE_NOT_FOUND;
            continue;
        }
        if (!token) continue;

        c->card = 0;
        DWORD protocol = 0;
        DWORD r = map_pcsc(c->connect(c->pcsc, name, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                                      &c->card, &protocol));
        // The token answers through the resource manager here: keep the
        // driver's control device out of this process.
        if (r == QUVA_OK || r == QUVA_ERR_DEVICE_REMOVED) g_direct_on = false;
        if (r != QUVA_OK) return r;
        c->flags |= k_card_open;

        if (c->driver_version == 0) {
            if (read_version(c) != QUVA_OK) {
                close_token(c, true);
                return QUVA_ERR_CANNOT_OPEN_DRIVER;
            }
            if (c->driver_version < 0x101) {
                c->driver_version = 0;
                close_token(c, true);
                return QUVA_ERR_DRIVER_VERSION;
            }
        }

        DWORD returned = 0;
        e = map_pcsc(c->control(c->card, k_scard_open_token, frame, k_open_frame_size, frame, k_open_frame_size,
                                &returned));
        if (e == QUVA_OK) {
            if (reopen && get32(frame) != noted + 1) {
                close_token(c, true);
                return QUVA_ERR_DEVICE_NOT_FOUND;
            }
            c->last_reader = c->scan_index = i;
            return QUVA_OK;
        }
        c->flags &= ~k_card_open;
        if (!(c->flags & k_caller_card)) c->disconnect(c->card, SCARD_LEAVE_CARD);
        previous_failure = e;
    }
    return QUVA_ERR_DEVICE_NOT_FOUND;
}

} // namespace

DWORD rm_connect(Context *c, const SCARDHANDLE *caller_card) {
    if (caller_card) {
        c->card = *caller_card;
        c->flags |= k_connected | k_rm_path | k_caller_card;
        return QUVA_OK;
    }
    if (c->establish(SCARD_SCOPE_USER, nullptr, nullptr, &c->pcsc) != SCARD_S_SUCCESS) {
        c->pcsc = 0;
        return QUVA_ERR_DEVICE_NOT_FOUND;
    }
    c->flags |= k_connected | k_rm_path;
    return QUVA_OK;
}

DWORD rm_transport(Context *c, DWORD code, void *request, DWORD request_size, void *answer, DWORD answer_size,
                   DWORD *returned) {
    DWORD ignored = 0;
    if (!returned) returned = &ignored;
    *returned = 0;
    switch (code) {
    case k_ioctl_get_version:
        return map_pcsc(
            c->control(c->card, k_scard_get_version, request, request_size, answer, answer_size, returned));
    case k_ioctl_exchange: {
        // The virtual reader learns the answer buffer's size from the
        // length field's high half.
        BYTE *frame = static_cast<BYTE *>(request);
        put32(frame + 12, get32(frame + 12) | answer_size << 16);
        DWORD e = map_pcsc(c->control(c->card, k_scard_exchange, request, request_size, answer, answer_size, returned));
        if (e == QUVA_ERR_DEVICE_REMOVED) {
            close_token(c, true);
            c->flags |= k_lost;
        }
        return e;
    }
    case k_ioctl_close_token:
        if (c->flags & k_card_open) {
            c->flags &= ~k_card_open;
            c->control(c->card, k_scard_close_token, request, request_size, answer, answer_size, returned);
            if (!(c->flags & k_caller_card)) c->disconnect(c->card, SCARD_LEAVE_CARD);
        }
        return QUVA_OK;
    case k_ioctl_open_token: return reader_scan(c, static_cast<BYTE *>(request));
    default: return QUVA_ERR_INVALID_PARAMETER;
    }
}

void rm_release(Context *c) {
    // A card connected for an open that failed half-way (version control,
    // another token on reopen) has had no close-token control: let it go
    // here rather than leave it connected.
    if (c->flags & k_card_open) {
        c->flags &= ~k_card_open;
        if (!(c->flags & k_caller_card)) c->disconnect(c->card, SCARD_LEAVE_CARD);
    }
    if (!(c->flags & k_caller_card) && c->pcsc) {
        c->release(c->pcsc);
        c->pcsc = 0;
    }
}

} // namespace quvab2
