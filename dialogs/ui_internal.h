/* What the dialogs of the library share: the window parameters, the string
 * loader, the token library bound at first use and the LED blink.  Internal,
 * never exported. */
#ifndef QUVAUI_INTERNAL_H
#define QUVAUI_INTERNAL_H

#include <windows.h>

#include "quvab2.h"

/* Process-wide and unlocked: meant to be set before dialogs are shown. */
struct UiWindowParams {
    HWND parent;   /* owner and centring reference; null: the desktop window */
    DWORD topmost; /* nonzero: dialogs raise themselves to the topmost band */
};
extern UiWindowParams ui_window_params;

/* Empties buffer (when it has room), then copies string `id` of the
 * library's string table, cut to size - 1 characters.  Returns the number of
 * characters copied, 0 when there is no such string. */
int load_ui_string(UINT id, LPSTR buffer, int size);

/* ---- the token access library, bound by the file name "QuvaAPI.dll" ----
 * Each function is looked up by name at its first call (the module is loaded
 * once, at the first call of any of them) and the address is kept.  Nothing
 * softens a failure: a module that does not load raises 0xC06D007E
 * (VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND)), a missing
 * function 0xC06D007F, into the calling thread, with a DelayLoadInfo as the
 * one argument, exactly as the platform's lazy binding without a failure
 * hook does.  Should a handler continue the thread, the DelayLoadInfo's
 * pfnCur is called when it set one; otherwise the call returns
 * QUVA_ERR_LIBRARY_VERSION.  The module stays loaded for the rest of the
 * process, as a lazily bound module does. */
namespace quvaapi {
DWORD CreateContext(QUVA_CONTEXT *context, DWORD reserved, DWORD creation_value);
DWORD DeleteContext(QUVA_CONTEXT context);
DWORD OpenDevice(QUVA_CONTEXT context, DWORD flags, LPVOID param);
DWORD CloseDevice(QUVA_CONTEXT context);
DWORD GetProperty(QUVA_CONTEXT context, DWORD id, DWORD reserved, LPVOID buffer, DWORD size);
DWORD SetProperty(QUVA_CONTEXT context, DWORD id, DWORD reserved1, DWORD reserved2, DWORD reserved3);
} // namespace quvaapi

/* ---- the encoded form of an entry ----
 * `mode` is the top byte of a PIN flags word: ENCODE_WORDS, ENCODE_BINARY
 * and the class bits.  Zeroes `size` bytes of `out`, then writes `text`
 * converted and returns the number of bytes written:
 *   word form (ENCODE_WORDS): with a hexadecimal class (HEX or PACKED bit),
 *     numbers of up to 8 hexadecimal digits taken every 8 characters, else
 *     with the NUMERIC bit numbers of up to 10 decimal digits taken every
 *     10 characters, each stored as 4 bytes little-endian (modulo 2^32);
 *     stops at the end of the text, a full output or a place without a
 *     number;
 *   byte form: two characters per byte (first in the high half), a single
 *     last character as the byte's value; hexadecimal or decimal digits as
 *     above, any other character with the value 0xFF (so "1z" gives 0xFF,
 *     "z1" 0xF1);
 *   any other class writes nothing. */
const BYTE ENCODE_CLASS_NUMERIC = 0x01;
const BYTE ENCODE_CLASS_HEX = 0x04;
const BYTE ENCODE_CLASS_PACKED = 0x08;
const BYTE ENCODE_WORDS = 0x20;
const BYTE ENCODE_BINARY = 0x40;
DWORD encode_entry(BYTE mode, const char *text, BYTE *out, DWORD size);

/* ---- the LED blink that shows which token a dialog is about ----
 * A dialog with a context runs timer LED_TIMER_ID every LED_TIMER_MS and
 * alternates the token's LED between QUVA_PROP_LED_OFF and QUVA_PROP_LED_ON
 * (the resting state).  Each dialog kind keeps its own toggle state, starting
 * at LED_TOGGLE_START when the library loads and never reset. */
const UINT_PTR LED_TIMER_ID = 101;
const UINT LED_TIMER_MS = 250;
const DWORD LED_TOGGLE_START = QUVA_PROP_LED_ON;
/* Flips *state between QUVA_PROP_LED_ON and QUVA_PROP_LED_OFF (anything
 * other than ON becomes ON) and returns the new state. */
DWORD led_next_state(DWORD *state);
/* One blink step: flips *state and sets it on the token open in context; the
 * result is ignored.  No call at all (and no binding) without a context. */
void led_blink(QUVA_CONTEXT context, DWORD *state);
/* Puts the LED back to its resting state (QUVA_PROP_LED_ON); nothing without
 * a context. */
void led_rest(QUVA_CONTEXT context);

#endif
