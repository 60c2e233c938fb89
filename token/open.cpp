// Opening a token: the five open modes, the open loop over the tokens the
// driver offers, and the device descriptor of the token that opened.
#include "internal.h"

#include <cstring>

namespace quvab2 {

bool descriptor_valid(const BYTE *d) { return d[0] >= 6 && d[0] <= 64 && d[1] >= 0x60 && d[1] <= 0x6F; }

void parse_descriptor(Context *c, const BYTE *d) {
    // Past the descriptor's 64 bytes everything reads as 0.
    auto at = [d](DWORD i) -> BYTE { return i < k_descriptor_size ? d[i] : 0; };

    c->item80 = 0;
    c->descriptor_flags = 0;
    c->features[1] = c->features[2] = c->features[3] = 0;
    c->max_send = c->max_receive = 4 * (DWORD)d[4] + 4;
    c->memory_size = 0;

    // The feature chain: each byte with bit 7 set is followed by another.
    for (DWORD k = 0; k < 4; ++k) {
        c->features[k] = d[6 + k];
        if (!(d[6 + k] & 0x80)) break;
    }
    const DWORD room = k_descriptor_size - 6; // 58 bytes from offset 6
    DWORD n = 0;
    while (n < room && (d[6 + n] & 0x80)) ++n;
    if (n < room) ++n; // the closing byte

    if (n < room) {
        for (DWORD off = n; off < room;) {
            const BYTE tag = at(6 + off);
            const DWORD v = at(6 + off + 1) & 0x0F;
            const DWORD value = v > 1 ? at(6 + off + 2) | (DWORD)at(6 + off + 3) << 8 : at(6 + off + 2);
            switch (tag) {
            case 0x10: c->max_send = value; break;
            case 0x11: c->max_receive = value; break;
            case 0x80: c->item80 = at(6 + off + 2); break;
            case 0x81: c->descriptor_flags |= 0x01; break;
            case 0x82: c->descriptor_flags |= 0x02; break;
            default: break;
            }
            off += v + 2;
        }
    }
    c->max_info = c->max_send > 258 ? 254 : (BYTE)(c->max_send - 4);
}

namespace {

// The identity a token answers with the serial command.
bool serial_matches(Context *c) {
    BYTE serial[8] = {};
    return quva_Command(reinterpret_cast<QUVA_CONTEXT>(c), QUVA_CMD_GET_SERIAL, 0, nullptr, sizeof serial, serial) ==
               QUVA_OK &&
           std::memcmp(serial, c->selection_id, sizeof serial) == 0;
}

} // namespace

} // namespace quvab2

using namespace quvab2;

extern "C" DWORD WINAPI quva_OpenDevice(QUVA_CONTEXT context, DWORD flags, LPVOID param) {
    Context *c = check(context);
    if (!c || (flags & ~0x00000F07u)) return QUVA_ERR_INVALID_PARAMETER;
    quva_CloseDevice(context);

    const DWORD mode = flags & 7;
    DWORD request_flags;
    switch (mode) {
    case QUVA_OPEN_NEXT:
        c->scan_index += 1;
        request_flags = 0x81;
        break;
    case QUVA_OPEN_FIRST:
        c->token_id = 0;
        c->scan_index = 0;
        request_flags = 0x81;
        break;
    case QUVA_OPEN_LAST:
        c->token_id -= 1;
        c->flags |= k_reopen_check;
        c->scan_index = c->last_reader;
        request_flags = 0x41;
        break;
    case QUVA_OPEN_BY_ID:
        if (!param || IsBadReadPtr(param, sizeof c->selection_id)) return QUVA_ERR_INVALID_PARAMETER;
        c->token_id = 0;
        c->scan_index = 0;
        std::memcpy(c->selection_id, param, sizeof c->selection_id);
        request_flags = 0x41;
        break;
    case QUVA_OPEN_CARD_HANDLE:
        if (!param || IsBadReadPtr(param, sizeof(SCARDHANDLE))) return QUVA_ERR_INVALID_PARAMETER;
        request_flags = 0x01;
        break;
    default: return QUVA_ERR_INVALID_PARAMETER;
    }

    SCARDHANDLE caller_card = 0;
    if (mode == QUVA_OPEN_CARD_HANDLE) std::memcpy(&caller_card, param, sizeof caller_card);
    DWORD r = connect(c, flags, mode == QUVA_OPEN_CARD_HANDLE ? &caller_card : nullptr);
    if (r != QUVA_OK) {
        // No open exchange follows: the reopen check must not carry over
        // into the next open, whatever its mode.
        c->flags &= ~k_reopen_check;
        return r;
    }

    bool in_use_seen = false;
    for (DWORD exchanges = 0;; ++exchanges) {
        if (exchanges == k_max_open_exchanges) {
            // A driver that never ends its enumeration.
            close_token(c, true);
            return in_use_seen ? QUVA_ERR_DEVICE_IN_USE : QUVA_ERR_DEVICE_NOT_FOUND;
        }
        BYTE frame[k_open_frame_size] = {};
        put32(frame, c->token_id);
        put32(frame + 4, request_flags);
        put32(frame + 12, 255);
        DWORD returned = 0;
        r = transport(c, k_ioctl_open_token, frame, sizeof frame, frame, sizeof frame, &returned);
        c->flags &= ~k_reopen_check;
        if (r != QUVA_OK) {
            if (r == QUVA_ERR_DEVICE_REMOVED) r = QUVA_ERR_DEVICE_NOT_FOUND;
            if (r == QUVA_ERR_DEVICE_NOT_FOUND && mode == QUVA_OPEN_BY_ID && in_use_seen) r = QUVA_ERR_DEVICE_IN_USE;
            close_token(c, true);
            return r;
        }
        c->token_id = get32(frame);
        BYTE *descriptor = frame + k_descriptor_offset;
        const bool valid = descriptor_valid(descriptor);
        if (get32(frame + 12) == 0) {
            c->flags |= k_token_open;
            if (valid) {
                std::memset(descriptor + descriptor[0], 0, k_descriptor_size - descriptor[0]);
                c->device_info[0] = descriptor[2];
                c->device_info[1] = descriptor[3];
                c->device_info[2] = descriptor[1];
                if (descriptor[6] & 0x40) {
                    parse_descriptor(c, descriptor);
                    if (mode != QUVA_OPEN_BY_ID || serial_matches(c)) return QUVA_OK;
                }
            }
        } else if (valid) {
            // Held by another context.
            if (mode != QUVA_OPEN_BY_ID) {
                close_token(c, true);
                return QUVA_ERR_DEVICE_IN_USE;
            }
            in_use_seen = true;
        }
        if (mode == QUVA_OPEN_CARD_HANDLE) {
            close_token(c, true);
            return QUVA_ERR_DEVICE_NOT_FOUND;
        }
        close_token(c, false);
        c->scan_index += 1;
    }
}

extern "C" DWORD WINAPI quva_CloseDevice(QUVA_CONTEXT context) {
    Context *c = check(context);
    if (!c) return QUVA_ERR_INVALID_PARAMETER;
    close_token(c, true);
    return QUVA_OK;
}
