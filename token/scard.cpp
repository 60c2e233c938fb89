// The token's smart-card function: power, single T=1 blocks, and whole APDU
// exchanges with the block protocol's supervisory traffic handled on the way.
#include "internal.h"

#include <cstring>

namespace quvab2 {
namespace {

bool has_card_function(const Context *c) { return (c->features[0] & 0x40) != 0; }

WORD card_error(DWORD code) { return (WORD)(0x9000 | code); }

} // namespace
} // namespace quvab2

using namespace quvab2;

extern "C" DWORD WINAPI quva_ScardPowerUp(QUVA_CONTEXT context, DWORD, QUVA_ATR *atr) {
    Context *c = check(context);
    if (!c || !atr) return QUVA_ERR_INVALID_PARAMETER;
    if (!has_card_function(c)) return QUVA_ERR_INVALID_COMMAND;

    BYTE length = 25;
    BYTE request[2] = {1, length};
    DWORD r = quva_Command(context, QUVA_CMD_CARD_CONTROL, sizeof request, request, length, atr->atr);
    if (r == QUVA_ERR_HARDWARE) {
        // The short form of the ATR.
        length = 9;
        request[1] = length;
        r = quva_Command(context, QUVA_CMD_CARD_CONTROL, sizeof request, request, length, atr->atr);
    }
    if (r != QUVA_OK) return r;
    atr->length = length;

    const BYTE second_step = 2;
    BYTE ignored[4];
    r = quva_Command(context, QUVA_CMD_CARD_CONTROL, 1, &second_step, sizeof ignored, ignored);
    if (r != QUVA_OK) return r;

    c->flags &= ~k_block_sequence;
    BYTE ifs = c->max_info, answer[1], pcb = 0;
    DWORD len = 0;
    r = quva_ScardIO(context, 0xC1, &ifs, 1, answer, sizeof answer, &pcb, &len);
    if (r != QUVA_OK) return r;
    if (pcb != 0xE1 || len != 1) return QUVA_ERR_HARDWARE;
    atr->ifs = c->max_info;
    return QUVA_OK;
}

extern "C" DWORD WINAPI quva_ScardPowerDown(QUVA_CONTEXT context, DWORD) {
    Context *c = check(context);
    if (!c) return QUVA_ERR_INVALID_PARAMETER;
    if (!has_card_function(c)) return QUVA_ERR_INVALID_COMMAND;
    const BYTE off = 0;
    return quva_Command(context, QUVA_CMD_CARD_CONTROL, 1, &off, 1, nullptr);
}

extern "C" DWORD WINAPI quva_ScardIO(QUVA_CONTEXT context, DWORD pcb, const BYTE *info, DWORD info_length,
                                     LPBYTE receive, DWORD receive_size, LPBYTE answer_pcb, LPDWORD answer_length) {
    Context *c = check(context);
    if (!c || !answer_pcb || !answer_length) return QUVA_ERR_INVALID_PARAMETER;
    *answer_length = 0;
    *answer_pcb = 0xFF;
    if (!has_card_function(c)) return QUVA_ERR_INVALID_COMMAND;
    // The block also has to fit the data of one command (NAD, PCB, LEN and
    // LRC around the field): an information field size of 253 or 254 is
    // more than one block can carry.
    if (info_length > c->max_info || info_length + 4 > k_max_command_data) return QUVA_ERR_DATA_TOO_LONG;
    if ((info_length && !info) || (receive_size && !receive)) return QUVA_ERR_INVALID_PARAMETER;

    // NAD, PCB, LEN, information field, LRC.
    BYTE block[260];
    block[0] = 0;
    block[1] = (BYTE)pcb;
    block[2] = (BYTE)info_length;
    if (info_length) std::memcpy(block + 3, info, info_length);
    BYTE lrc = 0;
    for (DWORD i = 0; i < info_length + 3; ++i) lrc ^= block[i];
    block[info_length + 3] = lrc;

    DWORD r = quva_Command(context, QUVA_CMD_CARD_BLOCK, info_length + 4, block, 4, block);
    if (r != QUVA_OK) return r;
    const DWORD len = block[2];
    if (len != 0) {
        if (len > 252) return QUVA_ERR_INVALID_RESPONSE;
        DWORD count = 0;
        r = quva_GetResponse(context, block, len + 4, &count);
        if (r != QUVA_OK) return r;
        if (count != len + 4) return QUVA_ERR_COMMUNICATION;
    }
    if (len > receive_size) return QUVA_ERR_INVALID_RESPONSE;
    if (len) std::memcpy(receive, block + 3, len);
    lrc = 0;
    for (DWORD i = 0; i < len + 3; ++i) lrc ^= block[i];
    if (lrc != block[len + 3] || block[0] != 0) return QUVA_ERR_HARDWARE;
    *answer_pcb = block[1];
    *answer_length = len;
    return QUVA_OK;
}

extern "C" WORD WINAPI quva_ScardExchange(QUVA_CONTEXT context, DWORD cla, DWORD ins, DWORD p1, DWORD p2,
                                          const BYTE *data, DWORD lc, LPBYTE response, DWORD le, LPDWORD count) {
    Context *c = check(context);
    if (!c || !count) return QUVA_ERR_INVALID_PARAMETER;
    *count = 0;
    if ((lc && !data) || (le && !response)) return QUVA_ERR_INVALID_PARAMETER;

    // 64-bit sums: a length near 2^32 must not wrap past the checks.
    const ULONGLONG max_info = c->max_info;
    if ((ULONGLONG)lc + 5 > max_info) return 0x9013;

    BYTE apdu[260]; // the command APDU, then each answer's information field
    BYTE retries = 0; // receive-ready and resynchronisation blocks; wraps as a byte
    DWORD blocks = 0;
    for (;;) {
        // Outer step: (re)build the APDU under the next send-sequence bit.
        if (le != 256 && (ULONGLONG)le + 2 > max_info) return 0x9011;
        apdu[0] = (BYTE)cla;
        apdu[1] = (BYTE)ins;
        apdu[2] = (BYTE)p1;
        apdu[3] = (BYTE)p2;
        DWORD apdu_length;
        if (lc == 0) {
            apdu[4] = (BYTE)le;
            apdu_length = 5;
        } else {
            apdu[4] = (BYTE)lc;
            std::memcpy(apdu + 5, data, lc);
            apdu_length = lc + 5;
            if (le != 0) apdu[apdu_length++] = (BYTE)le;
        }
        BYTE pcb = (c->flags & k_block_sequence) ? 0x40 : 0x00;
        c->flags ^= k_block_sequence;

        const BYTE *info = apdu;
        DWORD info_length = apdu_length;
        BYTE reply[1];
        bool resend = false;
        while (!resend) {
            // Inner step: one block out, one block back.
            if (blocks++ == k_max_exchange_blocks) return card_error(QUVA_ERR_TIMEOUT);
            BYTE answer_pcb = 0;
            DWORD answer_length = 0;
            DWORD e = quva_ScardIO(context, pcb, info, info_length, apdu, 256, &answer_pcb, &answer_length);
            if (e != QUVA_OK) return card_error(e);

            if (answer_pcb == 0x80 || answer_pcb == 0x90 || answer_pcb == 0xC0) {
                if (answer_pcb == 0xC0) c->flags &= ~k_block_sequence;
                ++retries;
                if (answer_pcb == 0xC0 && retries >= 3) return 0x900C;
                if (retries < 3) {
                    if ((ULONGLONG)lc + 5 > max_info) return 0x9013;
                    resend = true;
                } else {
                    pcb = answer_pcb ^ 0x10;
                    info = nullptr;
                    info_length = 0;
                }
            } else if (answer_pcb == 0xC1) {
                reply[0] = c->max_info;
                pcb = 0xE1;
                info = reply;
                info_length = 1;
            } else if (answer_pcb == 0xC3) {
                const BYTE m = apdu[0];
                const BYTE extend[2] = {3, (BYTE)(m - 1)};
                e = quva_Command(context, QUVA_CMD_CARD_CONTROL, sizeof extend, extend, 0, nullptr);
                if (e != QUVA_OK) return card_error(e);
                reply[0] = m;
                pcb = 0xE3;
                info = reply;
                info_length = 1;
            } else if (answer_pcb >= 0x80) {
                return 0x900C;
            } else {
                // The information block with the response APDU.
                if (answer_length < 2) return 0x900C;
                const DWORD n = answer_length - 2;
                if (n > le) return 0x900D;
                if (n) std::memcpy(response, apdu, n);
                *count = n;
                const WORD sw = (WORD)(apdu[n] << 8 | apdu[n + 1]);
                return sw == 0x6284 ? 0x9000 : sw;
            }
        }
    }
}
