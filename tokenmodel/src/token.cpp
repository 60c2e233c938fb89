// A token's firmware: the command set and its smart-card function.
#include <tokenmodel/token.h>

#include <string.h>

namespace tokenmodel {

const uint8_t k_long_atr[25] = {0x3B, 0xFF, 0x13, 0x00, 0xFF, 0x81, 0x31, 0xFE, 0x5D, 0x80, 0x25, 0xA0, 0x00,
                                0x00, 0x00, 0x56, 0x57, 0x44, 0x4B, 0x33, 0x32, 0x30, 0x05, 0x00, 0x3F};
// TS, T0 (TD1 and five historical bytes), TD1 (T=1), "VWDK3", TCK.
const uint8_t k_short_atr[9] = {0x3B, 0x85, 0x01, 0x56, 0x57, 0x44, 0x4B, 0x33, 0xB9};
// Length 15, type 0x61, info 02 01, size unit 0x3F, one feature byte 0x51
// (smart card 0x40, 0x10, 0x01), items 0x10 and 0x11 both 260.
const uint8_t k_default_descriptor[15] = {0x0F, 0x61, 0x02, 0x01, 0x3F, 0x00, 0x51, 0x10,
                                          0x02, 0x04, 0x01, 0x11, 0x02, 0x04, 0x01};

namespace {
const uint8_t k_default_diag[6] = {0x02, 0x01, 0xFF, 0x00, 0xFF, 0x40};
}

Token::Token()
    : atr_len_(0), smart_card_(true), led_(0), led_changes_(0), powered_(false), wtx_factor_(0), commands_(0),
      pending_len_(0), injected_count_(0) {
    memset(descriptor_, 0, sizeof descriptor_);
    memcpy(descriptor_, k_default_descriptor, sizeof k_default_descriptor);
    memset(serial_, 0, sizeof serial_);
    memset(name_, 0, sizeof name_);
    memset(injected_len_, 0, sizeof injected_len_);
    set_atr(k_long_atr, sizeof k_long_atr);
    memcpy(diag_, k_default_diag, sizeof diag_);
    card_.set_serial(serial_);
    t1_.attach(&card_);
}

void Token::set_descriptor(const uint8_t *bytes, size_t n) {
    if (n > kDescriptorSize) n = kDescriptorSize;
    memset(descriptor_, 0, sizeof descriptor_);
    if (n) memcpy(descriptor_, bytes, n);
}

void Token::set_serial(const uint8_t serial[8]) {
    memcpy(serial_, serial, 8);
    card_.set_serial(serial_);
}

void Token::set_name(const char *name, size_t n) {
    if (n > kNameSize) n = kNameSize;
    memset(name_, 0, sizeof name_);
    if (n) memcpy(name_, name, n);
}

size_t Token::name_length() const {
    size_t n = 0;
    while (n < kNameSize && name_[n]) n++;
    return n;
}

bool Token::set_atr(const uint8_t *atr, size_t n) {
    if (!atr || n == 0 || n > kMaxAtr) return false;
    memcpy(atr_, atr, n);
    atr_len_ = n;
    return true;
}

void Token::set_diagnostics(const uint8_t answer[6]) { memcpy(diag_, answer, 6); }

void Token::power_up() {
    powered_ = true;
    card_.reset();
    t1_.reset();
}

bool Token::inject_answer(const uint8_t *bytes, size_t n) {
    if (injected_count_ >= 4 || n > kMaxAnswer) return false;
    if (n) memcpy(injected_[injected_count_], bytes, n);
    injected_len_[injected_count_] = n;
    injected_count_++;
    return true;
}

void Token::clear_injected() { injected_count_ = 0; }

size_t Token::status(uint8_t *out, uint8_t st) {
    out[0] = st;
    return 1;
}

size_t Token::command(uint16_t code, const uint8_t *data, size_t n, uint8_t *out) {
    commands_++;
    if (injected_count_) {
        size_t len = injected_len_[0];
        memcpy(out, injected_[0], len);
        for (int i = 1; i < injected_count_; i++) {
            memcpy(injected_[i - 1], injected_[i], injected_len_[i]);
            injected_len_[i - 1] = injected_len_[i];
        }
        injected_count_--;
        return len;
    }
    // Any command but get-response drops the pending answer.
    if (code != CMD_GET_RESPONSE) pending_len_ = 0;
    switch (code) {
    case CMD_GET_RESPONSE:
        if (n) return status(out, ST_BAD_PARAMETER);
        if (!pending_len_) return status(out, ST_BAD_OPERATION);
        memcpy(out, pending_, pending_len_);
        return pending_len_;
    case CMD_DIAGNOSE:
        if (n) return status(out, ST_BAD_PARAMETER);
        memcpy(out, diag_, sizeof diag_);
        return sizeof diag_;
    case CMD_LED:
        if (n != 2) return status(out, ST_BAD_PARAMETER);
        led_ = (uint16_t)(data[0] | data[1] << 8);
        led_changes_++;
        return status(out, ST_OK);
    case CMD_GET_SERIAL:
        if (n) return status(out, ST_BAD_PARAMETER);
        memcpy(out, serial_, 8);
        return 8;
    case CMD_GET_NAME:
        if (n) return status(out, ST_BAD_PARAMETER);
        memcpy(out, name_, kNameSize);
        return kNameSize;
    case CMD_CARD_CONTROL:
        if (!smart_card_) return status(out, ST_BAD_COMMAND);
        return card_control(data, n, out);
    case CMD_CARD_BLOCK: {
        if (!smart_card_) return status(out, ST_BAD_COMMAND);
        if (!powered_) return status(out, ST_BAD_OPERATION);
        pending_len_ = t1_.receive(data, n, pending_);
        memcpy(out, pending_, 4);
        return 4;
    }
    default: return status(out, ST_BAD_COMMAND);
    }
}

size_t Token::card_control(const uint8_t *data, size_t n, uint8_t *out) {
    if (n == 0) return status(out, ST_BAD_PARAMETER);
    switch (data[0]) {
    case 0x00:
        powered_ = false;
        return status(out, ST_OK);
    case 0x01:
        if (n < 2) return status(out, ST_BAD_PARAMETER);
        if (data[1] != atr_len_) return status(out, ST_HARDWARE);
        power_up();
        memcpy(out, atr_, atr_len_);
        return atr_len_;
    case 0x02:
        if (!powered_) return status(out, ST_HARDWARE);
        out[0] = 0x01;
        out[1] = t1_.ifsc();
        out[2] = 0x45;
        out[3] = 0x00;
        return 4;
    case 0x03:
        if (n < 2) return status(out, ST_BAD_PARAMETER);
        wtx_factor_ = (uint8_t)(data[1] + 1);
        return status(out, ST_OK);
    default: return status(out, ST_BAD_PARAMETER);
    }
}

} // namespace tokenmodel
