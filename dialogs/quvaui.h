/* Quva token dialogs library (QUVAUI.DLL).
 *
 * Applications call it to show the PIN, name, token selection and
 * wait-for-token dialogs and to turn a token status code into its message.
 * Every function uses the platform's standard calling convention (WINAPI)
 * and ANSI strings. */
#ifndef QUVAUI_H
#define QUVAUI_H

#include <windows.h>

/* Token contexts (QUVA_CONTEXT) and status codes of the token library. */
#include "quvab2.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The library's own version, one byte per component with the major version
 * in the top byte.  Returns 0x01010030 (1.1.0.48). */
DWORD WINAPI quvaUI_GetLibVersion(void);

/* ---- messages and window placement ---- */

/* Writes the message of a token status code (0 "Success", 17 "Invalid
 * parameter passed to API.", 255 "Invalid status returned from the
 * device.", ...) into buffer: size counts characters with the terminator and
 * a longer message is cut to size - 1.  Returns the number of characters
 * written; 0 and an empty buffer for a code without a message (26 to 254,
 * and anything above 255).  A null buffer or a size of 0 writes nothing. */
DWORD WINAPI quvaUI_GetErrorMsgA(DWORD code, LPSTR buffer, DWORD size);

/* Sets the window that owns the dialogs and that they are centred over
 * (null: the desktop window) and whether they make themselves topmost
 * (nonzero).  Affects every dialog shown afterwards.  Returns topmost.
 * The values are process-wide and unlocked: set them before showing
 * dialogs. */
DWORD WINAPI quvaUI_SetWindowParams(HWND parent, DWORD topmost);

/* Reads the two window parameters (the parent is null until
 * quvaUI_SetWindowParams was called).  An output pointer that is null or not
 * writable (IsBadWritePtr) is skipped rather than faulting. */
void WINAPI quvaUI_GetWindowParams(HWND *parent, DWORD *topmost);

/* ---- PIN and name dialogs ----
 *
 * Modal dialogs asking for a PIN or password (enter, choose a new one,
 * change) or a token name.  `context` (may be null) is used only to blink
 * the token's LED while the dialog waits (quva_SetProperty with
 * QUVA_PROP_LED_OFF / QUVA_PROP_LED_ON every 250 ms, ending on
 * QUVA_PROP_LED_ON); without a context the token library is never bound.
 * The entry is never sent anywhere.  Results: 0 confirmed, 17 a rejected
 * argument (before any window is shown), 25 cancelled, 16 when the dialog
 * cannot be created (no template or no window; the lengths are then 0).
 * Each kind keeps library-wide state: one dialog of a kind at a time per
 * process.  The library's own copies of an entry are wiped before every
 * return, whatever the outcome. */

/* Flags word of the PIN dialogs.  Kind (bits 20-23; any other value, two
 * kinds included, gives the generic PIN texts): */
#define PIN_KIND_PASSWORD 0x00100000u /* password texts and messages */
#define PIN_KIND_UNBLOCK 0x00200000u  /* unblock PIN; quvaUI_DlgGetPINA only */
#define PIN_KIND_SO 0x00400000u       /* Security Officer PIN */
#define PIN_KIND_USER 0x00800000u     /* User PIN */
#define PIN_KIND_MASK 0x00F00000u
/* Character class (bits 24-27; any other value: any character).  Checked on
 * a new secret; also chooses the prompt and the encoding. */
#define PIN_CLASS_NUMERIC 0x01000000u /* digits; encoded as decimal */
#define PIN_CLASS_ALPHA 0x02000000u   /* letters */
#define PIN_CLASS_ALNUM 0x03000000u   /* letters and digits */
#define PIN_CLASS_HEX 0x04000000u     /* hexadecimal digits */
#define PIN_CLASS_PACKED 0x08000000u  /* digits; encoded as hexadecimal */
#define PIN_CLASS_MASK 0x0F000000u
/* Form of the result. */
#define PIN_WORDS 0x20000000u  /* encoded as 32-bit words; length a multiple of 4 */
#define PIN_BINARY 0x40000000u /* return the entry encoded, not as text */
#define PIN_PLAIN 0x80000000u  /* show the entry instead of '*' */
/* Bits quvaUI_DlgGetPINA refuses; the new and change dialogs also refuse
 * PIN_KIND_UNBLOCK. */
#define PIN_INVALID_GET 0x100FFFFFu
#define PIN_INVALID_NEW 0x102FFFFFu

/* With PIN_BINARY the class used is the "effective" one: ALPHA's bit is
 * dropped and a class left without NUMERIC, HEX or PACKED becomes HEX (so
 * letters become hexadecimal, letters and digits numeric, any character
 * hexadecimal).
 *
 * Buffer sizes.  *pinLength is in: the buffer size L in bytes (1 to 128),
 * out: the characters (text) or bytes (PIN_BINARY) written.
 *   - Text form: the field takes at most L - 1 characters, so the text and
 *     its terminator always fit in the L bytes given; the prompts of the new
 *     and change dialogs show L - 1 as the maximum.
 *   - PIN_BINARY: the field takes at most 2L characters (two per byte), all
 *     of them fitting in L bytes once encoded (no terminator is written).
 *   - A buffer that can take no entry is refused (17, length set to 0):
 *     L below 2 in text form (one character and the terminator), L = 0
 *     with PIN_BINARY.
 * The argument checks zero the L bytes before anything else can fail, and a
 * refused flags word (or length) sets the length(s) to 0.
 *
 * Encoded form (PIN_BINARY).  Byte form: two characters per byte, first in
 * the high half ("1234" gives 12 34, "123" gives 12 03); word form
 * (PIN_WORDS): each group of 8 characters read as a hexadecimal number, or
 * of 10 characters as a decimal one, stored as 4 bytes little-endian.
 * Hexadecimal digits with the HEX or PACKED class, decimal with NUMERIC.
 * quvaUI_DlgNewPINA always encodes as hexadecimal ("1234" as a word gives
 * 34 12 00 00, where quvaUI_DlgGetPINA with NUMERIC gives D2 04 00 00). */

/* Asks for a PIN or password.  OK is enabled once the field holds at least
 * minLength characters; the entry is not checked against the class.
 * title and prompt (not null) replace the caption and the prompt. */
DWORD WINAPI quvaUI_DlgGetPINA(QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt, DWORD minLength,
                               LPBYTE pinBuffer, LPDWORD pinLength);

/* Asks for a new PIN or password, typed twice.  OK is enabled once both
 * fields hold minLength characters; on OK an empty or short entry, two
 * different entries (exact comparison) or a character outside the class
 * shows a warning box ("The PIN values do not match.", "The new PIN may
 * only contain numeric characters.", or the password forms) and clears the
 * fields.  The prompt names the class and the range minLength to the
 * field's maximum. */
DWORD WINAPI quvaUI_DlgNewPINA(QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt, DWORD minLength,
                               LPBYTE pinBuffer, LPDWORD pinLength);

/* Asks for the current and a new PIN or password (the new one twice, checked
 * as in quvaUI_DlgNewPINA).  Texts, kind and class come from newFlags;
 * currentFlags only decides the current entry's size and encoding; PIN_PLAIN
 * in either shows all three fields.  The lengths follow the rules above,
 * each with its own flags word; a refused argument sets both to 0. */
DWORD WINAPI quvaUI_DlgChangePINA(QUVA_CONTEXT context, DWORD currentFlags, DWORD newFlags, LPCSTR title,
                                  LPCSTR prompt, DWORD minCurrentLength, LPBYTE currentBuffer,
                                  LPDWORD currentLength, DWORD minNewLength, LPBYTE newBuffer,
                                  LPDWORD newLength);

/* Asks for a token name of at most 32 characters.  flags must be 0.
 * nameBuffer holds the current name (the field's first text) and receives
 * the new one, terminated; nameSize is its size in characters with the
 * terminator.  The field, and the maximum the prompt shows, is the smaller
 * of 32 and nameSize - 1, so the name typed is the name kept; a current name
 * longer than that is shown cut to it.  An empty name is a valid answer.
 * Cancel leaves nameBuffer as it was. */
DWORD WINAPI quvaUI_DlgGetTokenNameA(QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt,
                                     LPSTR nameBuffer, DWORD nameSize);

/* ---- token selection and wait-for-token dialogs ----
 *
 * Both work only through the token library's context and device calls and
 * return a token status code: 0 done, 17 a rejected argument (before any
 * window is shown), 25 cancelled or timed out, or the token library's own
 * status where stated.  One dialog of each kind at a time per process. */

/* quvaUI_DlgSelectDeviceA flags: SELECT_SHOW_SERIAL adds the serial number
 * to every row ("Quva A1 (S/N:0807-0605-0403-0201)"); bits 0 and 1 must be
 * 0; every other bit is an open flag, ORed into each first/next open of the
 * enumeration. */
#define SELECT_SHOW_SERIAL 0x80000000u

/* Leaves `context` open on one token.  Any token open in it is closed first;
 * the tokens are then counted on a private context (a token held by another
 * process counts).  None: returns the status that ended the count (never 0).
 * Exactly one: returns the status of opening it in `context` (21 when it is
 * held elsewhere), no dialog.  More: a dialog lists the free tokens that
 * tell their serial number, by name (unnamed ones as "Quva A1"), refreshes
 * the list every 2 seconds (tokens gone are dropped, new ones added) and
 * blinks the LED of the token the user selects; OK returns 0 with `context`
 * open on it, Cancel returns 25 with `context` closed.  title and prompt
 * replace the caption and the prompt when not null; openParam is the third
 * argument of every first/next open.  A dialog that cannot be created
 * returns 16. */
DWORD WINAPI quvaUI_DlgSelectDeviceA(QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt,
                                     LPVOID openParam);

/* quvaUI_DlgWaitForDeviceA flags: the direction in bits 30 and 31, the wait
 * mode in the rest with bit 0 cleared: 0 any token, 2 one particular token
 * (insertion: the one whose 8-byte serial openParam points to; removal: the
 * one last opened in the context).  Any bit of 0x3FFFF0F8 is rejected, and
 * with a direction the wait mode must be 0 or 2. */
#define WAIT_INSERT 0x40000000u
#define WAIT_REMOVE 0x80000000u

/* Returns once a token has been inserted or removed.  Already so: 0 at once,
 * no dialog (after an insertion `context` is open on the token).  Otherwise
 * a dialog with a Cancel button asks for it: an insertion is checked once a
 * second, a removal four times a second while the token's LED blinks.
 * count is the time limit in seconds (0xFFFFFFFF: none; 0 is rejected);
 * running out returns 25 like Cancel.  A removal wait that ends by Cancel
 * or time-out leaves `context` open on the token if it is still there.
 * The seconds of a removal wait are counted in quarter-second ticks by a
 * counter the library keeps across calls, so a later call's first second
 * may be short.  An insertion check that meets a token held elsewhere asks
 * again (the next token, or the same one again with wait mode 2) at most 32
 * times, then counts as not met; the next check, a second later, asks
 * afresh.  A removal wait for any token (wait mode 0) asks for the first
 * token, so it ends once no token is left.  A dialog that cannot be created
 * returns 16. */
DWORD WINAPI quvaUI_DlgWaitForDeviceA(QUVA_CONTEXT context, DWORD flags, LPCSTR title, LPCSTR prompt,
                                      LPVOID openParam, DWORD count);

/* Registers the library under HKLM\Software\Vornel Technologies\Quva\Quva
 * Components\Quva Application Interfaces\Quva User Interface Library:
 * "Path" (the library's directory and "QUVAUI.DLL") and "Version".
 * `reserved` is ignored.  Returns TRUE, or FALSE with the cause in
 * GetLastError(). */
BOOL WINAPI quvaUI_RegisterService(LPVOID reserved);
/* Deletes the library's key and every parent key left without subkeys, up
 * to and including "Software\Vornel Technologies".  Always returns TRUE. */
BOOL WINAPI quvaUI_UnregisterService(void);

/* Registers (bInstall non-zero) or unregisters the library as
 * quvaUI_RegisterService / quvaUI_UnregisterService do.  pszCmdLine is
 * ignored.  Returns S_OK, or 0x8007xxxx built from the Win32 error that
 * stopped the registration. */
HRESULT WINAPI DllInstall(BOOL bInstall, LPCWSTR pszCmdLine);
/* DllInstall(TRUE, NULL). */
HRESULT WINAPI DllRegisterServer(void);
/* DllInstall(FALSE, NULL); always S_OK. */
HRESULT WINAPI DllUnregisterServer(void);

#ifdef __cplusplus
}
#endif

#endif
