// The fuzz input read as a script: each call takes the next bytes, and an
// exhausted script answers zeros.
#ifndef QUVA_FUZZ_SCRIPT_H
#define QUVA_FUZZ_SCRIPT_H

#include "internal.h"

#include <cstddef>
#include <cstdint>

namespace fuzz {

void begin(const uint8_t *data, size_t size);
bool exhausted();
uint8_t byte();
DWORD dword();
void bytes(void *out, size_t n);

// A context as quva_CreateContext leaves it, connected and with a token open
// unless told otherwise; freed with free_context.
quvab2::Context *new_context();
void free_context(quvab2::Context *c);

// Aborts with a message: an invariant the harness checks failed.
[[noreturn]] void fail(const char *what);

} // namespace fuzz

#endif
