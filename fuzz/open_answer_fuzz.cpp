// quva_OpenDevice against a driver whose open answers (token id, status,
// device descriptor), serial answers and failures come from the input; then
// the properties read back whatever the open left in the context.
#include "script.h"

#include <cstring>

using namespace quvab2;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::begin(data, size);
    Context *c = fuzz::new_context();
    c->token_id = fuzz::dword();
    c->scan_index = fuzz::byte();
    c->last_reader = fuzz::byte();

    const uint8_t how = fuzz::byte();
    DWORD flags = how & 7;
    if (how & 0x08) flags |= 0x100u << (how >> 6); // accepted bits 8 to 11
    if ((how & 0x30) == 0x30) flags |= 0x10000;    // refused
    BYTE serial[8];
    fuzz::bytes(serial, sizeof serial);
    SCARDHANDLE card = 0x1234;
    void *param = (how & 7) == QUVA_OPEN_BY_ID ? static_cast<void *>(serial)
                  : (how & 7) == QUVA_OPEN_CARD_HANDLE ? static_cast<void *>(&card)
                                                       : nullptr;
    if ((how & 0x30) == 0x20) param = nullptr;

    const DWORD r = quva_OpenDevice(reinterpret_cast<QUVA_CONTEXT>(c), flags, param);
    if (r != QUVA_OK && (c->flags & k_connected)) fuzz::fail("a failed open left the context connected");
    if (r == QUVA_OK) {
        if (!(c->flags & k_token_open)) fuzz::fail("an open without a token open");
        if (!(c->features[0] & 0x40)) fuzz::fail("a token opened that the library does not serve");
        const BYTE expected = c->max_send > 258 ? 254 : (BYTE)(c->max_send - 4);
        if (c->max_info != expected) fuzz::fail("the information field size does not follow the send size");
    }
    if (c->flags & k_reopen_check) fuzz::fail("the reopen check outlived the open");

    // Properties over whatever state the open left; buffers of exact size
    // so that any write past them is caught.
    BYTE *caps = new BYTE[4];
    BYTE *info = new BYTE[8];
    BYTE *id = new BYTE[8];
    BYTE *name = new BYTE[32];
    quva_GetProperty(reinterpret_cast<QUVA_CONTEXT>(c), QUVA_PROP_CAPABILITIES, 0, caps, 4);
    quva_GetProperty(reinterpret_cast<QUVA_CONTEXT>(c), QUVA_PROP_DEVICE_INFO, 0, info, 8);
    quva_GetProperty(reinterpret_cast<QUVA_CONTEXT>(c), QUVA_PROP_SERIAL, 0, id, 8);
    quva_GetProperty(reinterpret_cast<QUVA_CONTEXT>(c), QUVA_PROP_NAME, 0, name, 32);
    DWORD bits = caps[0] | caps[1] << 8 | caps[2] << 16 | (DWORD)caps[3] << 24;
    if (r == QUVA_OK && (bits & ~0xFu)) fuzz::fail("capability bits beyond the four defined");
    delete[] caps;
    delete[] info;
    delete[] id;
    delete[] name;

    quva_CloseDevice(reinterpret_cast<QUVA_CONTEXT>(c));
    if (c->flags & k_connected) fuzz::fail("closed but still connected");
    fuzz::free_context(c);
    return 0;
}
