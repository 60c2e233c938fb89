// A small ISO 7816-4 card: a few files, SELECT, READ BINARY, GET CHALLENGE
// and VERIFY.  Freestanding: no heap, no exceptions.
#ifndef TOKENMODEL_ISO_CARD_H
#define TOKENMODEL_ISO_CARD_H

#include <stddef.h>
#include <stdint.h>

namespace tokenmodel {

// Status words the card answers.
enum : uint16_t {
    SW_OK = 0x9000,
    SW_END_OF_FILE = 0x6282,        // fewer bytes than asked before the end of the file
    SW_FILE_INVALIDATED = 0x6284,   // selected file deactivated
    SW_WRONG_LENGTH = 0x6700,
    SW_NO_CURRENT_EF = 0x6986,
    SW_SECURITY = 0x6982,
    SW_PIN_BLOCKED = 0x6983,
    SW_FUNCTION_NOT_SUPPORTED = 0x6A81,
    SW_FILE_NOT_FOUND = 0x6A82,
    SW_WRONG_P1P2 = 0x6A86,
    SW_REF_NOT_FOUND = 0x6A88,
    SW_WRONG_OFFSET = 0x6B00,
    SW_INS_NOT_SUPPORTED = 0x6D00,
    SW_CLA_NOT_SUPPORTED = 0x6E00,
    SW_PIN_TRIES = 0x63C0,          // low nibble: tries left
};

// The card's files.  Identifiers are fixed; see iso_card.cpp for contents.
enum : uint16_t {
    FID_MF = 0x3F00,
    FID_SERIAL = 0x2F02,     // 8 bytes: the card's serial
    FID_PUBLIC = 0x0101,     // 32 bytes of text, free to read
    FID_PROTECTED = 0x0102,  // 16 bytes, readable after VERIFY
    FID_RETIRED = 0x0103,    // 4 bytes; deactivated, so SELECT answers 0x6284
    FID_APP = 0x5000,        // a dedicated file
    FID_APP_DATA = 0x5001,   // 300 bytes inside it, byte i = i mod 256
};

class IsoCard {
public:
    static const size_t kMaxResponse = 258; // 256 data bytes and the status word
    static const size_t kMaxPin = 8;

    IsoCard();
    // Serial kept in FID_SERIAL; also seeds the challenge generator.
    void set_serial(const uint8_t serial[8]);
    // The PIN VERIFY compares against (1 to 8 bytes; default "1234").  Resets the tries.
    void set_pin(const uint8_t *pin, size_t n);
    // Card reset (power-up): MF selected, PIN no longer verified.  Tries are kept.
    void reset();

    // One command APDU (case 1 to 4, short lengths).  Writes the response data
    // and SW1 SW2 to `out` (room for kMaxResponse) and returns its length.
    size_t process(const uint8_t *apdu, size_t n, uint8_t *out);

    bool verified() const { return verified_; }
    uint8_t tries_left() const { return tries_; }
    uint16_t current_df() const;
    uint16_t current_ef() const; // 0 when none
    uint32_t commands() const { return commands_; }

private:
    struct Parsed;
    size_t select(const Parsed &a, uint8_t *out);
    size_t read_binary(const Parsed &a, uint8_t *out);
    size_t get_challenge(const Parsed &a, uint8_t *out);
    size_t verify(const Parsed &a, uint8_t *out);
    uint8_t file_byte(int file, size_t offset) const;

    uint8_t serial_[8];
    uint8_t pin_[kMaxPin];
    uint8_t pin_len_;
    uint8_t tries_;
    bool verified_;
    int df_; // index into the file table
    int ef_; // -1 when no EF is selected
    uint32_t rng_;
    uint32_t commands_;
};

} // namespace tokenmodel

#endif
