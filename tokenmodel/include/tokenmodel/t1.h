// The card side of the T=1 block protocol (ISO/IEC 7816-3) in front of an
// IsoCard: sequence numbers, chaining both ways, R-blocks and retransmission,
// S-blocks (RESYNCH, IFS both ways, ABORT, WTX), LRC, and faults on demand.
// Freestanding: no heap, no exceptions.
#ifndef TOKENMODEL_T1_H
#define TOKENMODEL_T1_H

#include <stddef.h>
#include <stdint.h>

#include "iso_card.h"

namespace tokenmodel {

// Block layout and PCB values.
enum : uint8_t {
    T1_I_SEQ = 0x40,       // N(S) of an I-block
    T1_I_MORE = 0x20,      // chaining: more blocks follow
    T1_R = 0x80,           // R-block; bit 0x10 is N(R), low bits an error code
    T1_R_SEQ = 0x10,
    T1_R_EDC_ERROR = 0x01,
    T1_R_OTHER_ERROR = 0x02,
    T1_S_RESYNCH = 0xC0,
    T1_S_IFS = 0xC1,
    T1_S_ABORT = 0xC2,
    T1_S_WTX = 0xC3,
    T1_S_RESPONSE = 0x20,  // OR'ed into a request's PCB
};

class T1Card {
public:
    static const size_t kMaxBlock = 258;  // NAD PCB LEN, 254 information bytes, LRC
    static const uint8_t kDefaultIfsd = 32;

    // What the card can be made to do instead of answering normally.
    enum class Fault : uint8_t {
        None,
        RBlock,     // next I-block: answer an R-block as if it arrived damaged (not processed)
        Resynch,    // next I-block: answer S(RESYNCH request) and start again from sequence 0
        Wtx,        // next complete command: ask S(WTX request, value) before the answer
        IfsRequest, // next complete command: ask S(IFS request, value) before the answer
        BadLrc,     // next answer block carries a wrong LRC
        BadNad,     // next answer block carries NAD 0x01 (LRC still right)
        Pcb,        // next block of any kind: answer a bare block with PCB value, LEN 0
    };

    T1Card();
    void attach(IsoCard *card) { card_ = card; }
    // Power-up: both sequence numbers 0, IFSD back to 32, nothing pending.
    // Faults stay armed.
    void reset();

    // One block from the terminal, NAD to LRC.  The answer block goes to `out`
    // (room for kMaxBlock); returns its length (at least 4).
    size_t receive(const uint8_t *block, size_t n, uint8_t *out);

    // Arms a fault for the next `times` occasions (-1: every one); false when
    // eight faults are armed already.
    bool inject(Fault fault, uint8_t value = 0, int times = 1);
    void clear_faults();

    // R-blocks normally carry no error code (the host only knows 0x80 and
    // 0x90); with this on they carry ISO's EDC and other-error codes.
    void set_error_codes(bool on) { error_codes_ = on; }
    void set_ifsc(uint8_t ifsc) { ifsc_ = ifsc ? ifsc : 1; }

    uint8_t ifsc() const { return ifsc_; }
    uint8_t ifsd() const { return ifsd_; }
    // N(S) the card expects in the terminal's next I-block, and the N(S) of its own next one.
    uint8_t expected_seq() const { return expect_; }
    uint8_t own_seq() const { return own_; }
    // Counters for tests.
    uint32_t apdus() const { return apdus_; }           // commands run on the card
    uint32_t blocks() const { return blocks_; }         // blocks received
    uint32_t errors() const { return errors_; }         // R-blocks answered for errors
    uint8_t last_wtx() const { return last_wtx_; }      // WTX value the terminal confirmed
    uint8_t last_ifs_answer() const { return last_ifs_answer_; } // value in the terminal's S(IFS response)

private:
    struct Armed {
        Fault fault;
        uint8_t value;
        int16_t times;
    };
    bool take(Fault fault, uint8_t *value);
    size_t block(uint8_t *out, uint8_t pcb, const uint8_t *info, size_t len);
    size_t r_block(uint8_t *out, uint8_t error);
    size_t next_chunk(uint8_t *out);
    size_t finish(uint8_t *out, size_t len);
    size_t on_i_block(const uint8_t *b, uint8_t *out);
    size_t on_r_block(const uint8_t *b, uint8_t *out);
    size_t on_s_block(const uint8_t *b, uint8_t *out);
    size_t retransmit(uint8_t *out);

    IsoCard *card_;
    uint8_t ifsc_, ifsd_;
    uint8_t expect_, own_;
    bool error_codes_;
    // Terminal's chained command being gathered.
    uint8_t rx_[300];
    size_t rx_len_;
    bool rx_overflow_;
    // Card's response being sent, possibly in several I-blocks.
    uint8_t tx_[IsoCard::kMaxResponse];
    size_t tx_len_, tx_off_;
    bool tx_active_;   // chunks left to send after the last one sent
    uint8_t waiting_;  // S-request the card sent and awaits the answer to (0: none)
    uint8_t waiting_value_;
    uint8_t last_[kMaxBlock];
    size_t last_len_;
    Armed armed_[8];
    uint32_t apdus_, blocks_, errors_;
    uint8_t last_wtx_, last_ifs_answer_;
};

} // namespace tokenmodel

#endif
