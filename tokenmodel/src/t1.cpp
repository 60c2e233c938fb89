// Card side of the T=1 block protocol.
#include <tokenmodel/t1.h>

#include <string.h>

namespace tokenmodel {

T1Card::T1Card()
    : card_(nullptr), ifsc_(254), ifsd_(kDefaultIfsd), expect_(0), own_(0), error_codes_(false), rx_len_(0),
      rx_overflow_(false), tx_len_(0), tx_off_(0), tx_active_(false), waiting_(0), waiting_value_(0), last_len_(0),
      apdus_(0), blocks_(0), errors_(0), last_wtx_(0), last_ifs_answer_(0) {
    clear_faults();
}

void T1Card::reset() {
    expect_ = 0;
    own_ = 0;
    ifsd_ = kDefaultIfsd;
    rx_len_ = 0;
    rx_overflow_ = false;
    tx_len_ = tx_off_ = 0;
    tx_active_ = false;
    waiting_ = 0;
    last_len_ = 0;
}

bool T1Card::inject(Fault fault, uint8_t value, int times) {
    if (fault == Fault::None || times == 0) return true;
    for (Armed &a : armed_) {
        if (a.fault != Fault::None) continue;
        a.fault = fault;
        a.value = value;
        a.times = (int16_t)(times < 0 ? -1 : (times > 30000 ? 30000 : times));
        return true;
    }
    return false;
}

void T1Card::clear_faults() {
    for (Armed &a : armed_) a = Armed{Fault::None, 0, 0};
}

bool T1Card::take(Fault fault, uint8_t *value) {
    for (Armed &a : armed_) {
        if (a.fault != fault) continue;
        if (value) *value = a.value;
        if (a.times > 0 && --a.times == 0) a.fault = Fault::None;
        return true;
    }
    return false;
}

size_t T1Card::block(uint8_t *out, uint8_t pcb, const uint8_t *info, size_t len) {
    out[0] = 0;
    out[1] = pcb;
    out[2] = (uint8_t)len;
    if (len) memcpy(out + 3, info, len);
    uint8_t lrc = 0;
    for (size_t i = 0; i < len + 3; i++) lrc ^= out[i];
    out[len + 3] = lrc;
    return len + 4;
}

size_t T1Card::r_block(uint8_t *out, uint8_t error) {
    if (error) errors_++;
    uint8_t pcb = (uint8_t)(T1_R | (expect_ ? T1_R_SEQ : 0) | (error_codes_ ? error : 0));
    return block(out, pcb, nullptr, 0);
}

size_t T1Card::next_chunk(uint8_t *out) {
    size_t n = tx_len_ - tx_off_;
    if (n > ifsd_) n = ifsd_;
    bool more = tx_off_ + n < tx_len_;
    uint8_t pcb = (uint8_t)((own_ ? T1_I_SEQ : 0) | (more ? T1_I_MORE : 0));
    size_t len = block(out, pcb, tx_ + tx_off_, n);
    tx_off_ += n;
    own_ ^= 1;
    tx_active_ = more;
    return len;
}

size_t T1Card::retransmit(uint8_t *out) {
    if (!last_len_) return r_block(out, 0);
    memcpy(out, last_, last_len_);
    return last_len_;
}

// Keeps the clean block for retransmission, then spoils it if asked to.
size_t T1Card::finish(uint8_t *out, size_t len) {
    memcpy(last_, out, len);
    last_len_ = len;
    if (take(Fault::BadNad, nullptr)) {
        out[len - 1] ^= out[0] ^ 0x01;
        out[0] = 0x01;
    }
    if (take(Fault::BadLrc, nullptr)) out[len - 1] ^= 0xFF;
    return len;
}

size_t T1Card::receive(const uint8_t *b, size_t n, uint8_t *out) {
    blocks_++;
    uint8_t raw = 0;
    if (take(Fault::Pcb, &raw)) return finish(out, block(out, raw, nullptr, 0));
    if (!b || n < 4 || (size_t)b[2] + 4 != n || b[2] == 0xFF) return finish(out, r_block(out, T1_R_OTHER_ERROR));
    uint8_t lrc = 0;
    for (size_t i = 0; i < n; i++) lrc ^= b[i];
    if (lrc) return finish(out, r_block(out, T1_R_EDC_ERROR));
    if (b[0] != 0) return finish(out, r_block(out, T1_R_OTHER_ERROR));
    size_t len;
    if (!(b[1] & 0x80))
        len = on_i_block(b, out);
    else if ((b[1] & 0xC0) == T1_R)
        len = on_r_block(b, out);
    else
        len = on_s_block(b, out);
    return finish(out, len);
}

size_t T1Card::on_i_block(const uint8_t *b, uint8_t *out) {
    uint8_t pcb = b[1], len = b[2];
    uint8_t ns = (pcb & T1_I_SEQ) ? 1 : 0;
    if (take(Fault::RBlock, nullptr)) return r_block(out, T1_R_EDC_ERROR);
    if (take(Fault::Resynch, nullptr)) {
        expect_ = own_ = 0;
        rx_len_ = 0;
        rx_overflow_ = false;
        tx_active_ = false;
        waiting_ = 0;
        return block(out, T1_S_RESYNCH, nullptr, 0);
    }
    if (waiting_ || ns != expect_ || len > ifsc_) return r_block(out, T1_R_OTHER_ERROR);
    expect_ ^= 1;
    tx_active_ = false;
    if (rx_len_ + len > sizeof rx_) {
        rx_overflow_ = true;
    } else {
        memcpy(rx_ + rx_len_, b + 3, len);
        rx_len_ += len;
    }
    if (pcb & T1_I_MORE) return r_block(out, 0);

    if (rx_overflow_) {
        tx_[0] = 0x67;
        tx_[1] = 0x00;
        tx_len_ = 2;
    } else if (card_) {
        tx_len_ = card_->process(rx_, rx_len_, tx_);
    } else {
        tx_[0] = 0x6F;
        tx_[1] = 0x00;
        tx_len_ = 2;
    }
    apdus_++;
    rx_len_ = 0;
    rx_overflow_ = false;
    tx_off_ = 0;
    uint8_t v = 0;
    if (take(Fault::Wtx, &v)) {
        waiting_ = T1_S_WTX;
        waiting_value_ = v;
        return block(out, T1_S_WTX, &v, 1);
    }
    if (take(Fault::IfsRequest, &v)) {
        waiting_ = T1_S_IFS;
        waiting_value_ = v;
        return block(out, T1_S_IFS, &v, 1);
    }
    return next_chunk(out);
}

size_t T1Card::on_r_block(const uint8_t *b, uint8_t *out) {
    if (b[2] != 0) return r_block(out, T1_R_OTHER_ERROR);
    uint8_t nr = (b[1] & T1_R_SEQ) ? 1 : 0;
    // During chaining an R-block naming our next N(S) asks for the next part;
    // anything else asks for the last block again.
    if (!waiting_ && tx_active_ && nr == own_) return next_chunk(out);
    return retransmit(out);
}

size_t T1Card::on_s_block(const uint8_t *b, uint8_t *out) {
    uint8_t pcb = b[1], len = b[2];
    uint8_t v = len ? b[3] : 0;
    switch (pcb) {
    case T1_S_RESYNCH:
        if (len) break;
        expect_ = own_ = 0;
        rx_len_ = 0;
        rx_overflow_ = false;
        tx_active_ = false;
        waiting_ = 0;
        ifsd_ = kDefaultIfsd;
        return block(out, T1_S_RESYNCH | T1_S_RESPONSE, nullptr, 0);
    case T1_S_IFS:
        if (len != 1 || v == 0 || v == 0xFF) break;
        ifsd_ = v;
        return block(out, T1_S_IFS | T1_S_RESPONSE, &v, 1);
    case T1_S_ABORT:
        if (len) break;
        rx_len_ = 0;
        rx_overflow_ = false;
        tx_active_ = false;
        waiting_ = 0;
        return block(out, T1_S_ABORT | T1_S_RESPONSE, nullptr, 0);
    case T1_S_IFS | T1_S_RESPONSE:
        if (waiting_ != T1_S_IFS || len != 1) break;
        last_ifs_answer_ = v;
        // A host that answers with a size of its own leaves ours unchanged.
        if (v == waiting_value_ && v && v != 0xFF) ifsc_ = v;
        waiting_ = 0;
        return next_chunk(out);
    case T1_S_WTX | T1_S_RESPONSE:
        if (waiting_ != T1_S_WTX || len != 1) break;
        last_wtx_ = v;
        waiting_ = 0;
        return next_chunk(out);
    default: break;
    }
    return r_block(out, T1_R_OTHER_ERROR);
}

} // namespace tokenmodel
