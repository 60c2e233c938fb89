// The four controls of the token driver over a set of tokens.
#include <tokenmodel/driver.h>

#include <string.h>

namespace tokenmodel {

const uint8_t k_driver_version[4] = {0x02, 0x01, 0x00, 0x00};

namespace {

uint32_t le32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void put_le32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

} // namespace

bool TokenArray::add(uint32_t id) {
    if (count_ == kCapacity || id == 0 || (count_ && id <= entries_[count_ - 1].id)) return false;
    DriverToken &e = entries_[count_];
    e.id = id;
    e.model = &tokens_[count_];
    e.holder = nullptr;
    e.held_elsewhere = false;
    count_++;
    return true;
}

DriverToken *TokenArray::find(uint32_t id) {
    for (size_t i = 0; i < count_; i++)
        if (entries_[i].id == id) return &entries_[i];
    return nullptr;
}

DriverToken *TokenArray::next_above(uint32_t id) {
    for (size_t i = 0; i < count_; i++)
        if (entries_[i].id > id) return &entries_[i];
    return nullptr;
}

TokenSet TokenArray::set() {
    TokenSet s;
    s.owner = this;
    s.find = [](void *owner, uint32_t id) { return static_cast<TokenArray *>(owner)->find(id); };
    s.next_above = [](void *owner, uint32_t id) { return static_cast<TokenArray *>(owner)->next_above(id); };
    return s;
}

uint32_t driver_control(const TokenSet &set, DriverVersion version, const void *holder, uint32_t fixed, uint32_t code,
                        const uint8_t *in, uint32_t in_size, uint8_t *out, uint32_t out_size, uint32_t *returned,
                        DriverToken **exchange) {
    *returned = 0;
    *exchange = nullptr;
    switch (code) {
    case CTL_VERSION: {
        uint32_t put = version.size < out_size ? version.size : out_size;
        if (put) memcpy(out, version.bytes, put);
        *returned = put;
        return version.size > out_size ? DRV_MORE_DATA : DRV_OK;
    }
    case CTL_OPEN: {
        if (!in || !out || in_size < kOpenFrameSize || out_size < kOpenFrameSize) return DRV_INVALID_PARAMETER;
        DriverToken *t;
        if (fixed) {
            t = set.find(set.owner, fixed);
            if (!t) return DRV_TOKEN_GONE;
        } else {
            // The next token above the id asked for, in the order they came.
            t = set.next_above(set.owner, le32(in));
            if (!t) return DRV_INVALID_HANDLE;
        }
        // In and out may be one buffer (buffered I/O): build the answer aside.
        uint8_t frame[kOpenFrameSize];
        memcpy(frame, in, kOpenFrameSize);
        put_le32(frame, t->id);
        bool busy = t->held_elsewhere || (t->holder && t->holder != holder);
        put_le32(frame + 12, busy ? 1 : 0);
        memcpy(frame + 16, t->model->descriptor(), Token::kDescriptorSize);
        if (!busy) t->holder = holder;
        memcpy(out, frame, kOpenFrameSize);
        *returned = kOpenFrameSize;
        return DRV_OK;
    }
    case CTL_CLOSE: {
        if (!in || in_size < 4) return DRV_INVALID_PARAMETER;
        DriverToken *t = set.find(set.owner, fixed ? fixed : le32(in));
        if (!t) return DRV_TOKEN_GONE;
        if (t->holder != holder) return DRV_ACCESS_DENIED;
        t->holder = nullptr;
        return DRV_OK;
    }
    case CTL_EXCHANGE: {
        if (!in || in_size < kCommandHeaderSize) return DRV_INVALID_PARAMETER;
        uint32_t len = le32(in + 12) & 0xFFFF; // the high half may carry the answer size
        if (len > kMaxCommandData || kCommandHeaderSize + len > in_size) return DRV_INVALID_PARAMETER;
        DriverToken *t = set.find(set.owner, fixed ? fixed : le32(in));
        if (!t) return DRV_TOKEN_GONE;
        if (t->holder != holder) return DRV_ACCESS_DENIED;
        *exchange = t;
        return DRV_OK;
    }
    default: return DRV_INVALID_FUNCTION;
    }
}

uint32_t driver_exchange(DriverToken &t, const uint8_t *in, uint8_t *out, uint32_t out_size, uint32_t *returned) {
    // The command is read whole before the answer goes out: in and out may overlap.
    uint8_t answer[Token::kMaxAnswer];
    size_t n = t.model->command((uint16_t)le32(in + 8), in + kCommandHeaderSize, le32(in + 12) & 0xFFFF, answer);
    uint32_t put = (uint32_t)(n < out_size ? n : out_size);
    if (put) memcpy(out, answer, put);
    *returned = put;
    return DRV_OK;
}

uint32_t driver_run(const TokenSet &set, DriverVersion version, const void *holder, uint32_t code, const uint8_t *in,
                    uint32_t in_size, uint8_t *out, uint32_t out_size, uint32_t *returned) {
    DriverToken *t = nullptr;
    uint32_t e = driver_control(set, version, holder, 0, code, in, in_size, out, out_size, returned, &t);
    if (e || !t) return e;
    return driver_exchange(*t, in, out, out_size, returned);
}

void driver_release(const TokenSet &set, const void *holder) {
    for (DriverToken *t = set.next_above(set.owner, 0); t; t = set.next_above(set.owner, t->id))
        if (t->holder == holder) t->holder = nullptr;
}

} // namespace tokenmodel
