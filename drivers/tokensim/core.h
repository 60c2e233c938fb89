/* The token model's driver core as the kernel driver's C code sees it. */
#ifndef TOKENSIM_CORE_H
#define TOKENSIM_CORE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TOKENSIM_MAX_TOKENS 8

struct tokensim_token {
    uint32_t id;        /* 1 and up, ascending */
    uint8_t serial[8];
    char name[32];      /* NUL-padded; all 32 may be used */
};

/* Room the core needs, 16-byte aligned by the caller. */
size_t tokensim_core_size(void);
/* Builds the core in `memory` with these tokens; returns how many it took
 * (ids that are 0 or not ascending are skipped). */
unsigned tokensim_core_init(void *memory, const struct tokensim_token *tokens, unsigned count);
/* One control on a buffered request: the request is read from `buffer`, the
 * answer written over it.  Returns the Win32 error number the caller should
 * see (0: success), or 0xFFFFFFFF when the token named is not there. */
uint32_t tokensim_core_control(void *memory, const void *holder, uint32_t code, void *buffer, uint32_t in_size,
                               uint32_t out_size, uint32_t *returned);
/* The handle `holder` closed: the tokens it had open are free again. */
void tokensim_core_release(void *memory, const void *holder);

#ifdef __cplusplus
}
#endif

#endif
