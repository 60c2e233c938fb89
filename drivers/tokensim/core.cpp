// The kernel driver's side of the shared driver core: a fixed token array
// built in memory the driver owns (its device extension).
#include "core.h"

#include <tokenmodel/driver.h>

#include <new>

namespace {

struct Core {
    tokenmodel::TokenArray tokens;
};

} // namespace

extern "C" {

size_t tokensim_core_size(void) { return sizeof(Core); }

unsigned tokensim_core_init(void *memory, const struct tokensim_token *tokens, unsigned count) {
    Core *core = new (memory) Core;
    for (unsigned i = 0; i < count; i++) {
        if (!core->tokens.add(tokens[i].id)) continue;
        tokenmodel::Token &t = core->tokens.token(core->tokens.count() - 1);
        t.set_serial(tokens[i].serial);
        t.set_name(tokens[i].name, sizeof tokens[i].name);
    }
    return (unsigned)core->tokens.count();
}

uint32_t tokensim_core_control(void *memory, const void *holder, uint32_t code, void *buffer, uint32_t in_size,
                               uint32_t out_size, uint32_t *returned) {
    Core *core = static_cast<Core *>(memory);
    uint8_t *b = static_cast<uint8_t *>(buffer);
    tokenmodel::DriverVersion version{tokenmodel::k_driver_version, sizeof tokenmodel::k_driver_version};
    return tokenmodel::driver_run(core->tokens.set(), version, holder, code, b, in_size, b, out_size, returned);
}

void tokensim_core_release(void *memory, const void *holder) {
    tokenmodel::driver_release(static_cast<Core *>(memory)->tokens.set(), holder);
}

} // extern "C"
