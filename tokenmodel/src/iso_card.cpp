// The token's ISO 7816-4 card.
#include <tokenmodel/iso_card.h>

#include <string.h>

namespace tokenmodel {
namespace {

enum : uint8_t { F_DF = 1, F_PROTECTED = 2, F_RETIRED = 4 };

struct FileDef {
    uint16_t fid;
    int8_t parent; // index, -1 for the MF
    uint8_t flags;
    uint16_t size;
};

const FileDef k_files[] = {
    {FID_MF, -1, F_DF, 0},
    {FID_SERIAL, 0, 0, 8},
    {FID_PUBLIC, 0, 0, 32},
    {FID_PROTECTED, 0, F_PROTECTED, 16},
    {FID_RETIRED, 0, F_RETIRED, 4},
    {FID_APP, 0, F_DF, 0},
    {FID_APP_DATA, 5, 0, 300},
};
const int k_file_count = (int)(sizeof k_files / sizeof k_files[0]);

const char k_public_text[33] = "Quva token - public data file.  ";
const uint8_t k_default_pin[4] = {'1', '2', '3', '4'};
const uint8_t k_max_tries = 3;

size_t sw(uint8_t *out, size_t at, uint16_t word) {
    out[at] = (uint8_t)(word >> 8);
    out[at + 1] = (uint8_t)word;
    return at + 2;
}

} // namespace

// A command APDU split into its parts (short lengths only).
struct IsoCard::Parsed {
    uint8_t cla, ins, p1, p2;
    const uint8_t *data;
    size_t lc;
    bool has_le;
    size_t le;        // 1..256
    bool le_zero;     // the Le byte was 00 ("up to 256")
    bool bare_p3;     // exactly 5 bytes: P3 may be an Lc of 0 for commands with data
};

IsoCard::IsoCard() : pin_len_(0), tries_(k_max_tries), verified_(false), df_(0), ef_(-1), rng_(1), commands_(0) {
    memset(serial_, 0, sizeof serial_);
    set_pin(k_default_pin, sizeof k_default_pin);
}

void IsoCard::set_serial(const uint8_t serial[8]) {
    memcpy(serial_, serial, 8);
    uint32_t seed = 0x9E3779B9u;
    for (int i = 0; i < 8; i++) seed = (seed ^ serial_[i]) * 0x01000193u;
    rng_ = seed ? seed : 1;
}

void IsoCard::set_pin(const uint8_t *pin, size_t n) {
    if (n > kMaxPin) n = kMaxPin;
    memcpy(pin_, pin, n);
    pin_len_ = (uint8_t)n;
    tries_ = k_max_tries;
    verified_ = false;
}

void IsoCard::reset() {
    df_ = 0;
    ef_ = -1;
    verified_ = false;
}

uint16_t IsoCard::current_df() const { return k_files[df_].fid; }
uint16_t IsoCard::current_ef() const { return ef_ < 0 ? 0 : k_files[ef_].fid; }

uint8_t IsoCard::file_byte(int file, size_t offset) const {
    switch (k_files[file].fid) {
    case FID_SERIAL: return serial_[offset];
    case FID_PUBLIC: return (uint8_t)k_public_text[offset];
    case FID_PROTECTED: return (uint8_t)(0xA0 + offset);
    case FID_RETIRED: return (uint8_t)(0xD0 + offset);
    default: return (uint8_t)offset;
    }
}

size_t IsoCard::process(const uint8_t *apdu, size_t n, uint8_t *out) {
    commands_++;
    if (!apdu || n < 4) return sw(out, 0, SW_WRONG_LENGTH);
    Parsed a;
    a.cla = apdu[0];
    a.ins = apdu[1];
    a.p1 = apdu[2];
    a.p2 = apdu[3];
    a.data = nullptr;
    a.lc = 0;
    a.has_le = false;
    a.le = 0;
    a.le_zero = false;
    a.bare_p3 = false;
    if (n == 5) {
        a.has_le = true;
        a.le = apdu[4] ? apdu[4] : 256;
        a.le_zero = apdu[4] == 0;
        a.bare_p3 = true;
    } else if (n > 5) {
        a.lc = apdu[4];
        if (a.lc == 0) return sw(out, 0, SW_WRONG_LENGTH);
        a.data = apdu + 5;
        if (n == 6 + a.lc) {
            a.has_le = true;
            a.le = apdu[5 + a.lc] ? apdu[5 + a.lc] : 256;
            a.le_zero = apdu[5 + a.lc] == 0;
        } else if (n != 5 + a.lc) {
            return sw(out, 0, SW_WRONG_LENGTH);
        }
    }
    if (a.cla != 0x00) return sw(out, 0, SW_CLA_NOT_SUPPORTED);
    switch (a.ins) {
    case 0xA4: return select(a, out);
    case 0xB0: return read_binary(a, out);
    case 0x84: return get_challenge(a, out);
    case 0x20: return verify(a, out);
    default: return sw(out, 0, SW_INS_NOT_SUPPORTED);
    }
}

size_t IsoCard::select(const Parsed &a, uint8_t *out) {
    if (a.p2 != 0x00 && a.p2 != 0x0C) return sw(out, 0, SW_WRONG_P1P2);
    // A 5-byte SELECT carries no data: P3 is an Lc of 0 (the MF), never an Le.
    bool want_fci = a.p2 == 0x00 && a.has_le && !a.bare_p3;
    if (a.bare_p3 && a.le != 256) return sw(out, 0, SW_WRONG_LENGTH);
    int found = -1;
    if (a.p1 == 0x00) {
        if (a.lc == 0) {
            found = 0;
        } else if (a.lc != 2) {
            return sw(out, 0, SW_WRONG_LENGTH);
        } else {
            uint16_t fid = (uint16_t)(a.data[0] << 8 | a.data[1]);
            int parent = k_files[df_].parent;
            if (fid == FID_MF) found = 0;
            for (int i = 0; found < 0 && i < k_file_count; i++)
                if (k_files[i].parent == df_ && k_files[i].fid == fid) found = i;
            if (found < 0 && k_files[df_].fid == fid) found = df_;
            for (int i = 0; found < 0 && parent >= 0 && i < k_file_count; i++)
                if (k_files[i].parent == parent && k_files[i].fid == fid) found = i;
            if (found < 0 && parent >= 0 && k_files[parent].fid == fid) found = parent;
        }
    } else if (a.p1 == 0x08) {
        // Path from the MF, the MF itself left out.
        if (a.lc == 0 || a.lc % 2) return sw(out, 0, SW_WRONG_LENGTH);
        int at = 0;
        for (size_t k = 0; k < a.lc; k += 2) {
            uint16_t fid = (uint16_t)(a.data[k] << 8 | a.data[k + 1]);
            int next = -1;
            if (!(k_files[at].flags & F_DF)) break;
            for (int i = 0; i < k_file_count; i++)
                if (k_files[i].parent == at && k_files[i].fid == fid) next = i;
            at = next;
            if (at < 0) break;
        }
        found = at;
    } else {
        return sw(out, 0, SW_WRONG_P1P2);
    }
    if (found < 0) return sw(out, 0, SW_FILE_NOT_FOUND);
    const FileDef &f = k_files[found];
    if (f.flags & F_DF) {
        df_ = found;
        ef_ = -1;
    } else {
        df_ = f.parent;
        ef_ = found;
    }
    size_t len = 0;
    if (want_fci) {
        uint8_t fci[16];
        size_t k = 0;
        fci[k++] = 0x62;
        fci[k++] = 0;
        fci[k++] = 0x82;
        fci[k++] = 0x01;
        fci[k++] = (f.flags & F_DF) ? 0x38 : 0x01;
        fci[k++] = 0x83;
        fci[k++] = 0x02;
        fci[k++] = (uint8_t)(f.fid >> 8);
        fci[k++] = (uint8_t)f.fid;
        if (!(f.flags & F_DF)) {
            fci[k++] = 0x80;
            fci[k++] = 0x02;
            fci[k++] = (uint8_t)(f.size >> 8);
            fci[k++] = (uint8_t)f.size;
        }
        fci[1] = (uint8_t)(k - 2);
        len = k < a.le ? k : a.le;
        memcpy(out, fci, len);
    }
    return sw(out, len, (f.flags & F_RETIRED) ? SW_FILE_INVALIDATED : SW_OK);
}

size_t IsoCard::read_binary(const Parsed &a, uint8_t *out) {
    if (a.p1 & 0x80) return sw(out, 0, SW_FUNCTION_NOT_SUPPORTED);
    if (a.lc || !a.has_le) return sw(out, 0, SW_WRONG_LENGTH);
    if (ef_ < 0) return sw(out, 0, SW_NO_CURRENT_EF);
    const FileDef &f = k_files[ef_];
    if ((f.flags & F_PROTECTED) && !verified_) return sw(out, 0, SW_SECURITY);
    size_t offset = (size_t)a.p1 << 8 | a.p2;
    if (offset >= f.size) return sw(out, 0, SW_WRONG_OFFSET);
    size_t n = f.size - offset;
    if (n > a.le) n = a.le;
    for (size_t i = 0; i < n; i++) out[i] = file_byte(ef_, offset + i);
    // Le 00 asks for whatever is there, up to 256 bytes.
    return sw(out, n, (n < a.le && !a.le_zero) ? SW_END_OF_FILE : SW_OK);
}

size_t IsoCard::get_challenge(const Parsed &a, uint8_t *out) {
    if (a.p1 || a.p2) return sw(out, 0, SW_WRONG_P1P2);
    if (a.lc || !a.has_le || a.le_zero || a.le > 32) return sw(out, 0, SW_WRONG_LENGTH);
    for (size_t i = 0; i < a.le; i++) {
        rng_ ^= rng_ << 13;
        rng_ ^= rng_ >> 17;
        rng_ ^= rng_ << 5;
        out[i] = (uint8_t)(rng_ >> 8);
    }
    return sw(out, a.le, SW_OK);
}

size_t IsoCard::verify(const Parsed &a, uint8_t *out) {
    if (a.p1 != 0x00) return sw(out, 0, SW_WRONG_P1P2);
    if (a.p2 != 0x01 && a.p2 != 0x81) return sw(out, 0, SW_REF_NOT_FOUND);
    if (a.bare_p3 && a.le != 256) return sw(out, 0, SW_WRONG_LENGTH);
    if (a.lc > kMaxPin) return sw(out, 0, SW_WRONG_LENGTH);
    if (tries_ == 0) return sw(out, 0, SW_PIN_BLOCKED);
    if (a.lc == 0) return sw(out, 0, verified_ ? (uint16_t)SW_OK : (uint16_t)(SW_PIN_TRIES | tries_));
    if (a.lc == pin_len_ && memcmp(a.data, pin_, pin_len_) == 0) {
        verified_ = true;
        tries_ = k_max_tries;
        return sw(out, 0, SW_OK);
    }
    verified_ = false;
    tries_--;
    return sw(out, 0, tries_ ? (uint16_t)(SW_PIN_TRIES | tries_) : (uint16_t)SW_PIN_BLOCKED);
}

} // namespace tokenmodel
