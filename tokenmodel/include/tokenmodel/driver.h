// The token driver's four controls over a set of tokens: the frames in,
// the frames and answers out.  One implementation for the simulated
// machine's driver and the real kernel driver, so freestanding: no heap, no
// exceptions, no standard containers.
//
// Results are the Win32 error numbers a caller of DeviceIoControl sees
// (the kernel driver turns them into the matching NTSTATUS), plus
// DRV_TOKEN_GONE for "the token this needs is not there any more", which the
// direct path reports as ERROR_INVALID_HANDLE and the reader path as a
// removed card.
#ifndef TOKENMODEL_DRIVER_H
#define TOKENMODEL_DRIVER_H

#include <stddef.h>
#include <stdint.h>

#include "token.h"

namespace tokenmodel {

// Control codes: CTL_CODE(FILE_DEVICE_UNKNOWN, 0x100..0x105, METHOD_BUFFERED, FILE_ANY_ACCESS).
enum : uint32_t {
    CTL_VERSION = 0x220400,
    CTL_OPEN = 0x220404,
    CTL_CLOSE = 0x220408,
    CTL_EXCHANGE = 0x220414,
};

enum : uint32_t {
    DRV_OK = 0,
    DRV_INVALID_FUNCTION = 1,
    DRV_ACCESS_DENIED = 5,
    DRV_INVALID_HANDLE = 6, // open: no token above the id asked for
    DRV_INVALID_PARAMETER = 87,
    DRV_MORE_DATA = 234, // version answer cut to the caller's buffer
    DRV_TOKEN_GONE = 0xFFFFFFFFu,
};

const uint32_t kOpenFrameSize = 80;
const uint32_t kCommandHeaderSize = 16;
const uint32_t kMaxCommandData = 256;

// One token as the driver sees it.  `holder` is the open handle (or card
// connection) that has it open; `held_elsewhere` stands for a holder outside
// this driver's view.
struct DriverToken {
    uint32_t id = 0;
    Token *model = nullptr;
    const void *holder = nullptr;
    bool held_elsewhere = false;
};

// The tokens plugged in, by id: two lookups on the owner's storage.  Plain
// function pointers rather than virtual functions, so that the core needs
// no vtables or type information in a kernel driver or across the
// simulator's RTTI boundary.
struct TokenSet {
    void *owner;
    DriverToken *(*find)(void *owner, uint32_t id);
    // The token with the lowest id above `id` (from 0: the first one).
    DriverToken *(*next_above)(void *owner, uint32_t id);
};

// A fixed set of up to kCapacity tokens, ids ascending, for a driver that
// has its tokens from the start.
class TokenArray {
public:
    static const size_t kCapacity = 8;
    TokenArray() : count_(0) {}
    // False when full or `id` is 0 or not above the last one added.
    bool add(uint32_t id);
    size_t count() const { return count_; }
    DriverToken &at(size_t i) { return entries_[i]; }
    Token &token(size_t i) { return tokens_[i]; }
    DriverToken *find(uint32_t id);
    DriverToken *next_above(uint32_t id);
    TokenSet set();

private:
    size_t count_;
    DriverToken entries_[kCapacity];
    Token tokens_[kCapacity];
};

// The version answer the driver gives.
struct DriverVersion {
    const uint8_t *bytes;
    uint32_t size;
};
extern const uint8_t k_driver_version[4]; // 0x102, little-endian

// Runs the version, open and close controls, and checks an exchange.  An
// exchange that passes gets its token in *exchange with nothing answered
// yet: the caller finishes it with driver_exchange (the simulator lets
// virtual time pass in between).  `fixed` binds the control to one token
// (a reader's card connection); 0 lets the frame name it.  *returned is
// the number of answer bytes written.
uint32_t driver_control(const TokenSet &set, DriverVersion version, const void *holder, uint32_t fixed, uint32_t code,
                        const uint8_t *in, uint32_t in_size, uint8_t *out, uint32_t out_size, uint32_t *returned,
                        DriverToken **exchange);

// The token command of a checked exchange frame, its answer cut to `out_size`.
uint32_t driver_exchange(DriverToken &t, const uint8_t *in, uint8_t *out, uint32_t out_size, uint32_t *returned);

// driver_control and, for an exchange, driver_exchange.
uint32_t driver_run(const TokenSet &set, DriverVersion version, const void *holder, uint32_t code, const uint8_t *in,
                    uint32_t in_size, uint8_t *out, uint32_t out_size, uint32_t *returned);

// Lets go of every token `holder` has open (its handle closed).
void driver_release(const TokenSet &set, const void *holder);

} // namespace tokenmodel

#endif
