// The token stack of the simulated machine: the tokens plugged in, the token
// driver behind "\\\\.\\QUVADRVR" (tokens.cpp) and the smart-card resource
// manager with its readers (scard.cpp).  Everything here is guarded by big_lock().
#ifndef WINSIM_TOKENS_H
#define WINSIM_TOKENS_H

#include "core.h"

#include <tokenmodel/driver.h>
#include <tokenmodel/token.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace winsim {

// Driver control codes (function numbers 0x100, 0x101, 0x102, 0x105) and the
// resource manager's codes for the same controls (2048 to 2051).
enum : DWORD {
    QUVA_CTL_VERSION = tokenmodel::CTL_VERSION,
    QUVA_CTL_OPEN = tokenmodel::CTL_OPEN,
    QUVA_CTL_CLOSE = tokenmodel::CTL_CLOSE,
    QUVA_CTL_EXCHANGE = tokenmodel::CTL_EXCHANGE,
    QUVA_RDR_VERSION = 0x312000,
    QUVA_RDR_OPEN = 0x312004,
    QUVA_RDR_CLOSE = 0x312008,
    QUVA_RDR_EXCHANGE = 0x31200C,
};

// Internal result of a control: the token it needs is gone.  The direct path
// reports it as ERROR_INVALID_HANDLE, the reader path as SCARD_W_REMOVED_CARD.
constexpr DWORD k_token_gone = tokenmodel::DRV_TOKEN_GONE;

// A plugged token: the driver's view of it (id, holder: the driver handle or
// card connection that has it open) and the token itself.
struct PluggedToken : tokenmodel::DriverToken {
    int slot = 0;
    tokenmodel::Token token;
    bool remove_next = false;
    PluggedToken() { model = &token; }
    PluggedToken(const PluggedToken &) = delete;
    PluggedToken &operator=(const PluggedToken &) = delete;
};

struct PhysicalReader {
    std::string name;
    bool card = false;
    std::vector<BYTE> atr;
    DWORD protocols = 1;
    uint32_t card_serial = 0; // changes whenever a card goes in or out
    tokenmodel::IsoCard iso;
};

// Connections on one reader (by upper-cased name).
struct ReaderUse {
    int shared = 0;
    bool exclusive = false;
    const void *transaction = nullptr;
};

struct TokenStack {
    // driver
    bool driver_present = true;
    std::vector<BYTE> version{0x02, 0x01, 0x00, 0x00};
    std::map<DWORD, std::unique_ptr<PluggedToken>> tokens; // by id
    DWORD next_id = 1;
    struct Fault {
        DWORD error;
        int times;
        int skip;
    };
    std::map<DWORD, Fault> control_faults; // by driver code
    DWORD exchange_ms = 0;
    std::deque<tokens::Control> log;
    // resource manager
    bool service_running = true;
    int virtual_count = -1;
    std::vector<std::unique_ptr<PhysicalReader>> readers;
    std::set<std::string> unavailable, mute; // upper-cased reader names
    std::map<std::string, ReaderUse> use;
    std::map<void *, ULONG_PTR> allocations; // SCARD_AUTOALLOCATE buffers and their context
    // Bumped by every change a wait may be waiting for (cards, readers,
    // connections, unplugging); read by scheduler predicates without the lock.
    std::atomic<uint64_t> changes{0};

    TokenStack() = default;
    TokenStack(const TokenStack &) = delete;
    TokenStack &operator=(const TokenStack &) = delete;
    ~TokenStack() {
        for (auto &kv : allocations) delete[] (BYTE *)kv.first;
    }
};

// The current machine's token stack, made (and read from tokens.ini) on first use.
TokenStack &TS();
std::shared_ptr<TokenStack> TS_shared();
void stack_changed();

PluggedToken *find_token(DWORD id);
// The token in virtual reader `slot`, if any.
PluggedToken *token_in_slot(int slot);
// Driver code of a driver or reader control code (0 when neither).
DWORD driver_code(DWORD code);

// Runs one control for `holder`.  `fixed` is the token a card connection is
// bound to (0 on the direct path, where the frame names the token).  Takes
// big_lock() itself: the caller must not hold it (the exchange may wait).
DWORD run_control(const void *holder, DWORD fixed, bool smartcard, DWORD code, const void *in, DWORD in_size,
                  void *out, DWORD out_size, DWORD *returned);

// Number of virtual readers now (0 without the driver).
int virtual_reader_count();

} // namespace winsim

#endif
