// The smart-card calls against a hostile token: every block answer, status
// byte and failure comes from the input.  Buffers are of the exact sizes the
// caller gives, so any read or write past them is caught.
#include "script.h"

#include <cstring>
#include <vector>

using namespace quvab2;

namespace {

QUVA_CONTEXT as_context(Context *c) { return reinterpret_cast<QUVA_CONTEXT>(c); }

void exchange(Context *c) {
    const DWORD cla = fuzz::byte(), ins = fuzz::byte(), p1 = fuzz::byte(), p2 = fuzz::byte();
    const uint8_t l = fuzz::byte();
    // Lengths around every limit, and far beyond them.
    DWORD lc = l & 0x80 ? fuzz::byte() : l & 0x40 ? 0xFFFFFFFFu - fuzz::byte() : l & 0x3F;
    const uint8_t e = fuzz::byte();
    DWORD le = e & 0x80 ? 256 : e & 0x40 ? 0xFFFFFFFFu - fuzz::byte() : e == 0x3F ? fuzz::byte() : e & 0x3F;
    std::vector<BYTE> command(lc <= 300 ? lc : 0);
    fuzz::bytes(command.data(), command.size());
    if (lc > 300) lc = 0x7FFFFFFF + (lc & 1); // no buffer that long: must be refused unread
    const DWORD room = le <= 256 ? le : 256;
    BYTE *response = room ? new BYTE[room] : nullptr;
    DWORD count = 0xDEAD;
    const WORD sw = quva_ScardExchange(as_context(c), cla, ins, p1, p2, command.empty() ? nullptr : command.data(),
                                       lc, response, le, &count);
    if (count > room || count > le) fuzz::fail("more response bytes than Le");
    // No check that a 0x90xx status came without data: the card itself may
    // answer any status word, 0x90xx included, with its response bytes.
    (void)sw;
    delete[] response;
}

void block(Context *c) {
    const DWORD pcb = fuzz::byte();
    const DWORD length = fuzz::byte();
    std::vector<BYTE> info(length);
    fuzz::bytes(info.data(), info.size());
    const DWORD room = fuzz::byte();
    std::vector<BYTE> receive(room);
    BYTE answer_pcb = 0;
    DWORD answer_length = 0xDEAD;
    const DWORD r = quva_ScardIO(as_context(c), pcb, info.empty() ? nullptr : info.data(), length,
                                 receive.empty() ? nullptr : receive.data(), room, &answer_pcb, &answer_length);
    if (r != QUVA_OK && (answer_pcb != 0xFF || answer_length != 0)) fuzz::fail("a failed block left its outputs");
    if (r == QUVA_OK && answer_length > room) fuzz::fail("a block longer than the receive buffer");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::begin(data, size);
    Context *c = fuzz::new_context();
    const uint8_t setup = fuzz::byte();
    c->flags = k_connected | k_token_open | (setup & 1 ? k_block_sequence : 0);
    c->features[0] = setup & 2 ? 0x00 : 0x40;
    c->max_info = fuzz::byte();
    c->token_id = fuzz::dword();

    // A few calls in a row, so that state carried between them (the
    // sequence bit, a lost token) is exercised too.
    for (int calls = 0; calls < 4 && !fuzz::exhausted(); ++calls) {
        switch (fuzz::byte() & 3) {
        case 0: exchange(c); break;
        case 1: {
            QUVA_ATR *atr = new QUVA_ATR;
            quva_ScardPowerUp(as_context(c), 0, atr);
            delete atr;
            break;
        }
        case 2: block(c); break;
        default: quva_ScardPowerDown(as_context(c), 0); break;
        }
    }
    quva_CloseDevice(as_context(c));
    fuzz::free_context(c);
    return 0;
}
