// One token: device descriptor, serial, name, LED, diagnostics and its
// smart-card function, answering token commands as its firmware would.
// Freestanding: no heap, no exceptions, no standard containers.
//
// Commands (code: data -> answer):
//   0x0001 get response: none -> the pending answer (from 0x117), else status 0x0C
//   0x0002 diagnose:     none -> 6 bytes (see set_diagnostics)
//   0x0003 LED:          state, 2 bytes little-endian -> status 0x00
//   0x0116 card control: 00 -> status 0x00 (power down)
//                        01 L -> the ATR when L is its length, else status 0x07
//                        02 -> 4 bytes: 01 (T=1), IFSC, 45 (BWI/CWI), 00 (LRC); status 0x07 when off
//                        03 k -> status 0x00 (waiting-time extension by k + 1, noted)
//   0x0117 card block:   one T=1 block -> the first 4 bytes of the answer block,
//                        the whole block then pending for 0x0001; status 0x0C when off
//   0x0120 get serial:   none -> 8 bytes
//   0x0121 get name:     none -> 32 bytes, NUL-padded (no terminator at 32 characters)
// Anything else answers status 0x03; wrong data lengths 0x0B; card commands
// on a token without the smart-card function 0x03.
#ifndef TOKENMODEL_TOKEN_H
#define TOKENMODEL_TOKEN_H

#include <stddef.h>
#include <stdint.h>

#include "iso_card.h"
#include "t1.h"

namespace tokenmodel {

// Command codes.
enum : uint16_t {
    CMD_GET_RESPONSE = 0x0001,
    CMD_DIAGNOSE = 0x0002,
    CMD_LED = 0x0003,
    CMD_CARD_CONTROL = 0x0116,
    CMD_CARD_BLOCK = 0x0117,
    CMD_GET_SERIAL = 0x0120,
    CMD_GET_NAME = 0x0121,
};

// One-byte answers (the low 5 bits carry the code).
enum : uint8_t {
    ST_OK = 0x00,
    ST_ACCESS_DENIED = 0x01,
    ST_BAD_COMMAND = 0x03,
    ST_HARDWARE = 0x07,
    ST_BAD_PARAMETER = 0x0B,
    ST_BAD_OPERATION = 0x0C,
};

// The two ATRs a token comes with.
extern const uint8_t k_long_atr[25];
extern const uint8_t k_short_atr[9];
// The descriptor a token has unless told otherwise.
extern const uint8_t k_default_descriptor[15];

class Token {
public:
    static const size_t kMaxAnswer = 300;
    static const size_t kDescriptorSize = 64;
    static const size_t kNameSize = 32;
    static const size_t kMaxAtr = 32;

    Token();

    // ---- identity and configuration
    // Up to 64 raw bytes, valid or not; the rest of the 64 reads as zero.
    void set_descriptor(const uint8_t *bytes, size_t n);
    const uint8_t *descriptor() const { return descriptor_; }
    void set_serial(const uint8_t serial[8]);
    const uint8_t *serial() const { return serial_; }
    // Up to 32 characters (longer names are cut).
    void set_name(const char *name, size_t n);
    const char *name() const { return name_; } // NUL-padded, 32 bytes (not terminated at 32)
    size_t name_length() const;
    // 1 to 32 bytes; false otherwise.
    bool set_atr(const uint8_t *atr, size_t n);
    const uint8_t *atr() const { return atr_; }
    size_t atr_length() const { return atr_len_; }
    void set_smart_card(bool present) { smart_card_ = present; }
    bool smart_card() const { return smart_card_; }
    // The diagnose answer: word 0 (2 bytes), 0xFF or a failing part's code,
    // unused, 0xFF and the count of good 512-byte memory blocks.
    void set_diagnostics(const uint8_t answer[6]);

    // ---- state
    uint16_t led() const { return led_; }
    void set_led(uint16_t state) { led_ = state; }
    uint32_t led_changes() const { return led_changes_; }
    bool card_powered() const { return powered_; }
    uint8_t last_wtx_factor() const { return wtx_factor_; } // from card control 03
    uint32_t commands() const { return commands_; }
    T1Card &t1() { return t1_; }
    IsoCard &card() { return card_; }

    // ---- commands
    // Answers one command into `out` (room for kMaxAnswer) and returns the
    // answer's length.
    size_t command(uint16_t code, const uint8_t *data, size_t n, uint8_t *out);
    // Powers the smart-card function down (as a reader does on unpower).
    void power_down() { powered_ = false; }
    // Power-up by the reader: the card restarts (the host still does its own).
    void power_up();

    // ---- faults
    // The next commands answer these bytes (0 to kMaxAnswer) instead of
    // running; up to four are queued.  False when the queue is full.
    bool inject_answer(const uint8_t *bytes, size_t n);
    void clear_injected();

private:
    size_t status(uint8_t *out, uint8_t st);
    size_t card_control(const uint8_t *data, size_t n, uint8_t *out);

    uint8_t descriptor_[kDescriptorSize];
    uint8_t serial_[8];
    char name_[kNameSize];
    uint8_t atr_[kMaxAtr];
    size_t atr_len_;
    bool smart_card_;
    uint8_t diag_[6];
    uint16_t led_;
    uint32_t led_changes_;
    bool powered_;
    uint8_t wtx_factor_;
    uint32_t commands_;
    uint8_t pending_[kMaxAnswer];
    size_t pending_len_;
    uint8_t injected_[4][kMaxAnswer];
    size_t injected_len_[4];
    int injected_count_;
    IsoCard card_;
    T1Card t1_;
};

} // namespace tokenmodel

#endif
