// The connection and driver controls of the token library, played from the
// fuzz input: a hostile driver and token that answer anything at all.
//
// Each control takes one script byte: 0xF0 and above is a failure (its low
// bits pick the status), otherwise the control succeeds and its answer comes
// from the script (the open frame in full; for an exchange a length byte,
// bit 0 of the control byte adding 256, then that many bytes).
#include "script.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {
namespace {
const uint8_t *g_data = nullptr;
size_t g_size = 0;
} // namespace

void begin(const uint8_t *data, size_t size) {
    g_data = data;
    g_size = size;
}
bool exhausted() { return g_size == 0; }
uint8_t byte() {
    if (!g_size) return 0;
    --g_size;
    return *g_data++;
}
DWORD dword() {
    DWORD v = byte();
    v |= (DWORD)byte() << 8;
    v |= (DWORD)byte() << 16;
    return v | (DWORD)byte() << 24;
}
void bytes(void *out, size_t n) {
    uint8_t *o = static_cast<uint8_t *>(out);
    for (size_t i = 0; i < n; ++i) o[i] = byte();
}

quvab2::Context *new_context() {
    auto *c = static_cast<quvab2::Context *>(VirtualAlloc(nullptr, sizeof(quvab2::Context), MEM_COMMIT, PAGE_READWRITE));
    if (!c) fail("no memory");
    c->magic = quvab2::k_magic;
    quvab2::install_placeholders(c);
    return c;
}

void free_context(quvab2::Context *c) {
    c->magic = 0;
    VirtualFree(c, 0, MEM_RELEASE);
}

void fail(const char *what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

} // namespace fuzz

namespace quvab2 {

DWORD connect(Context *c, DWORD, const SCARDHANDLE *) {
    if (c->flags & k_connected) return QUVA_OK;
    switch (fuzz::byte() & 0x0F) {
    case 0: return QUVA_ERR_DEVICE_NOT_FOUND;
    case 1: return QUVA_ERR_CANNOT_OPEN_DRIVER;
    case 2: return QUVA_ERR_DRIVER_VERSION;
    default: c->flags |= k_connected; return QUVA_OK;
    }
}

DWORD transport(Context *c, DWORD code, void *request, DWORD request_size, void *answer, DWORD answer_size,
                DWORD *returned) {
    if (c->flags & k_lost) return QUVA_ERR_DEVICE_REMOVED;
    if (!(c->flags & k_connected)) return QUVA_ERR_DEVICE_NOT_FOUND;
    if (returned) *returned = 0;
    if (request_size && !request) fuzz::fail("a request without its buffer");
    if (code == k_ioctl_exchange && request_size != k_command_frame_size) fuzz::fail("a command frame of another size");
    if (code == k_ioctl_exchange && get32(static_cast<BYTE *>(request) + 12) > k_max_command_data)
        fuzz::fail("command data longer than the frame");
    // An exhausted script is a token that went away.
    const uint8_t control = fuzz::exhausted() ? 0xF7 : fuzz::byte();
    if (control >= 0xF0) {
        static const DWORD k_status[16] = {4, 6, 8, 17, 21, 23, 3, 7, 12, 16, 1, 7, 6, 8, 7, 13};
        DWORD r = k_status[control & 0x0F];
        if (r == QUVA_ERR_DEVICE_REMOVED && code != k_ioctl_open_token) {
            close_token(c, true);
            c->flags |= k_lost;
        }
        return r;
    }
    DWORD n = 0;
    switch (code) {
    case k_ioctl_open_token: n = k_open_frame_size; break;
    case k_ioctl_get_version: n = 4; break;
    case k_ioctl_exchange: n = fuzz::byte() + ((control & 1) ? 256u : 0u); break;
    default: return QUVA_OK;
    }
    if (n > answer_size) n = answer_size;
    if (n && !answer) fuzz::fail("an answer without its buffer");
    fuzz::bytes(answer, n);
    if (returned) *returned = n;
    return QUVA_OK;
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
    if (!release || !(c->flags & k_connected)) return QUVA_OK;
    c->flags &= ~(k_connected | k_rm_path | k_caller_card);
    return QUVA_OK;
}

} // namespace quvab2
