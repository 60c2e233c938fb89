// Token commands and answers, diagnostics, the LED and the properties.
#include "internal.h"

#include <cstring>

namespace quvab2 {

DWORD answer_status(BYTE answer) {
    static const BYTE k_codes[13] = {0, 4, 5, 3, 9, 10, 11, 12, 14, 15, 16, 17, 20};
    BYTE low = answer & 0x1F;
    return low < 13 ? k_codes[low] : QUVA_ERR_INVALID_STATUS;
}

namespace {

// An answer judged by its length: none is a fault, one byte a status, more is data.
DWORD judge(const BYTE *answer, DWORD count) {
    if (count == 0) return QUVA_ERR_COMMUNICATION;
    if (count == 1) return answer_status(answer[0]);
    return QUVA_OK;
}

const DWORD k_serial_size = 8;
const DWORD k_name_size = 32;

} // namespace

} // namespace quvab2

using namespace quvab2;

extern "C" DWORD WINAPI quva_Command(QUVA_CONTEXT context, DWORD command, DWORD data_length, LPCVOID data,
                                     DWORD answer_length, LPVOID answer) {
    Context *c = check(context);
    if (!c || data_length > k_max_command_data) return QUVA_ERR_INVALID_PARAMETER;
    if ((data_length && !data) || (answer_length > 1 && !answer)) return QUVA_ERR_INVALID_PARAMETER;

    BYTE frame[k_command_frame_size] = {};
    put32(frame, c->token_id);
    put32(frame + 8, command & 0xFFFF);
    put32(frame + 12, data_length);
    if (data_length) std::memcpy(frame + 16, data, data_length);

    // Status-only form: the caller wants the status byte mapped.
    const bool status_only = answer_length == 1 && !answer;
    BYTE own[2] = {};
    BYTE *buffer = status_only ? own : static_cast<BYTE *>(answer);
    DWORD size = status_only ? sizeof own : answer_length;

    DWORD count = 0;
    DWORD r = transport(c, k_ioctl_exchange, frame, sizeof frame, buffer, size, &count);
    wipe(frame, sizeof frame);
    if (answer_length == 0 || r != QUVA_OK) return r;
    if (count == answer_length) return status_only ? answer_status(buffer[0]) : QUVA_OK;
    if (count == 1) {
        DWORD code = answer_status(buffer[0]);
        if (code != QUVA_OK) return code;
    }
    return QUVA_ERR_INVALID_RESPONSE;
}

extern "C" DWORD WINAPI quva_GetResponse(QUVA_CONTEXT context, LPVOID buffer, DWORD size, LPDWORD count) {
    Context *c = check(context);
    if (!c || !count) return QUVA_ERR_INVALID_PARAMETER;
    *count = 0;
    if (size && !buffer) return QUVA_ERR_INVALID_PARAMETER;

    BYTE frame[k_command_frame_size] = {};
    put32(frame, c->token_id);
    put32(frame + 8, QUVA_CMD_GET_RESPONSE);
    DWORD got = 0;
    DWORD r = transport(c, k_ioctl_exchange, frame, sizeof frame, buffer, size, &got);
    if (r != QUVA_OK) return r;
    // A driver cannot have written more than the buffer holds.
    if (got > size) got = size;
    *count = got;
    DWORD code = judge(static_cast<BYTE *>(buffer), got);
    if (got < size) std::memset(static_cast<BYTE *>(buffer) + got, 0, size - got);
    return code;
}

extern "C" DWORD WINAPI quva_Diagnose(QUVA_CONTEXT context, DWORD reserved, LPWORD output, DWORD size) {
    Context *c = check(context);
    if (!c || reserved != 0 || !output) return QUVA_ERR_INVALID_PARAMETER;
    // Two words are written: a smaller array is refused untouched.
    if (size < 4) return QUVA_ERR_INVALID_PARAMETER;
    std::memset(output, 0, size);

    BYTE answer[6] = {};
    DWORD r = quva_Command(context, QUVA_CMD_DIAGNOSE, 0, nullptr, sizeof answer, answer);
    if (r != QUVA_OK) return r;
    WORD words[2];
    words[0] = (WORD)(answer[0] | answer[1] << 8);
    words[1] = answer[2] != 0xFF ? answer[2] : 0xFFFF;
    std::memcpy(output, words, sizeof words);
    return answer[2] != 0xFF ? QUVA_ERR_HARDWARE : QUVA_OK;
}

extern "C" DWORD WINAPI quva_LedControl(QUVA_CONTEXT context, DWORD state) {
    if (!check(context)) return QUVA_ERR_INVALID_PARAMETER;
    const BYTE data[2] = {(BYTE)state, (BYTE)(state >> 8)};
    return quva_Command(context, QUVA_CMD_LED, sizeof data, data, 1, nullptr);
}

extern "C" DWORD WINAPI quva_GetProperty(QUVA_CONTEXT context, DWORD id, DWORD, LPVOID buffer, DWORD size) {
    Context *c = check(context);
    if (!c || !buffer) return QUVA_ERR_INVALID_PARAMETER;
    BYTE *out = static_cast<BYTE *>(buffer);
    switch (id) {
    case QUVA_PROP_CAPABILITIES: {
        if (size != 4) break;
        DWORD bits = 0;
        if (c->features[0] & 0x01) bits |= 0x3;
        if (c->features[0] & 0x10) bits |= 0x4;
        if (c->features[0] & 0x04) bits |= 0x8;
        put32(out, bits);
        return QUVA_OK;
    }
    case QUVA_PROP_DEVICE_INFO:
        if (size < 8) break;
        std::memset(out, 0, size);
        put32(out, c->driver_version);
        std::memcpy(out + 4, c->device_info, 4);
        return QUVA_OK;
    case QUVA_PROP_SERIAL: {
        if (size != k_serial_size) break;
        // Read into a buffer of our own so that a failure leaves the
        // caller's untouched.
        BYTE serial[k_serial_size];
        DWORD r = quva_Command(context, QUVA_CMD_GET_SERIAL, 0, nullptr, sizeof serial, serial);
        if (r == QUVA_OK) std::memcpy(out, serial, sizeof serial);
        return r;
    }
    case QUVA_PROP_NAME: {
        if (size < k_name_size) break;
        BYTE name[k_name_size];
        DWORD r = quva_Command(context, QUVA_CMD_GET_NAME, 0, nullptr, sizeof name, name);
        if (r != QUVA_OK) return r;
        std::memcpy(out, name, sizeof name);
        std::memset(out + k_name_size, 0, size - k_name_size);
        return QUVA_OK;
    }
    default: break;
    }
    return QUVA_ERR_INVALID_PARAMETER;
}

extern "C" DWORD WINAPI quva_SetProperty(QUVA_CONTEXT context, DWORD id, DWORD, DWORD, DWORD) {
    if (!check(context)) return QUVA_ERR_INVALID_PARAMETER;
    if (id == QUVA_PROP_LED_ON) return quva_LedControl(context, 1);
    if (id == QUVA_PROP_LED_OFF) return quva_LedControl(context, 2);
    return QUVA_ERR_INVALID_PARAMETER;
}
