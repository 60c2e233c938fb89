/* Quva B2 token access library (QUVAB2.DLL).
 *
 * Applications create a token context, open a token through the token driver
 * or a PC/SC virtual reader, exchange commands, read and set properties and
 * talk to the token's smart-card function.  Every function uses the
 * platform's standard calling convention (WINAPI) and ANSI strings. */
#ifndef QUVAB2_H
#define QUVAB2_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- token status codes: the result of most operations; 0 is success ---- */
#define QUVA_OK 0
#define QUVA_ERR_CANNOT_OPEN_DRIVER 1
#define QUVA_ERR_DRIVER_VERSION 2
#define QUVA_ERR_INVALID_COMMAND 3
#define QUVA_ERR_ACCESS_DENIED 4
#define QUVA_ERR_COUNTER_ZERO 5
#define QUVA_ERR_DEVICE_NOT_FOUND 6
#define QUVA_ERR_DEVICE_REMOVED 7
#define QUVA_ERR_COMMUNICATION 8
#define QUVA_ERR_DIRECTORY_NOT_FOUND 9
#define QUVA_ERR_FILE_NOT_FOUND 10
#define QUVA_ERR_MEMORY_CORRUPTED 11
#define QUVA_ERR_HARDWARE 12
#define QUVA_ERR_INVALID_RESPONSE 13
#define QUVA_ERR_PIN_EXPIRED 14
#define QUVA_ERR_ALREADY_EXISTS 15
#define QUVA_ERR_NOT_ENOUGH_MEMORY 16
#define QUVA_ERR_INVALID_PARAMETER 17
#define QUVA_ERR_ALIGNMENT 18
#define QUVA_ERR_DATA_TOO_LONG 19
#define QUVA_ERR_INVALID_FILE 20
#define QUVA_ERR_DEVICE_IN_USE 21
#define QUVA_ERR_LIBRARY_VERSION 22
#define QUVA_ERR_TIMEOUT 23
#define QUVA_ERR_ITEM_NOT_FOUND 24
#define QUVA_ERR_ABORTED 25
#define QUVA_ERR_INVALID_STATUS 255

/* ---- token contexts ----
 * A context is allocated by quva_CreateContext and used by one thread at a
 * time; it holds at most one open token.  Every function that takes one
 * first checks that it is a live context of this library (a null, freed,
 * misaligned or foreign pointer gives QUVA_ERR_INVALID_PARAMETER, or 0x0011
 * from quva_ScardExchange, and nothing else happens). */
typedef struct QUVA_CONTEXT_TAG *QUVA_CONTEXT;

/* ---- open flags of quva_OpenDevice: the mode in bits 0-2; bits 8-11 are
 * accepted and ignored; any other bit is refused ---- */
#define QUVA_OPEN_NEXT 0        /* the token after the one opened last */
#define QUVA_OPEN_FIRST 1       /* the first token */
#define QUVA_OPEN_LAST 2        /* the token opened last, again */
#define QUVA_OPEN_BY_ID 3       /* the token whose serial is the 8 bytes given */
#define QUVA_OPEN_CARD_HANDLE 4 /* the token behind the caller's SCARDHANDLE */
#define QUVA_OPEN_MODE_MASK 0x00000007
#define QUVA_OPEN_ACCEPTED_BITS 0x00000F07

/* quva_OpenDevice gives up with QUVA_ERR_DEVICE_NOT_FOUND (or
 * QUVA_ERR_DEVICE_IN_USE when QUVA_OPEN_BY_ID met a token held elsewhere)
 * after this many open exchanges with the driver in one call: a driver that
 * never ends an enumeration cannot hold the caller for ever. */
#define QUVA_MAX_OPEN_EXCHANGES 256

/* ---- token property ids ----
 *
 * Serial number and name.  The token answers two commands of its own on the
 * ordinary command path (quva_Command):
 *   QUVA_CMD_GET_SERIAL (0x0120), no data: exactly 8 bytes, the serial;
 *   QUVA_CMD_GET_NAME   (0x0121), no data: exactly 32 bytes, the name,
 *       NUL-padded (a name of 32 characters has no terminator).
 * QUVA_PROP_SERIAL reads the serial into a buffer of exactly 8 bytes.
 * QUVA_PROP_NAME reads the name into a buffer of at least 32 bytes: bytes
 * 0-31 get the name as the token gives it and every byte after them is
 * zeroed, so a buffer of 33 bytes or more always holds a terminated string.
 * Both send their command on the open token and return its status; on any
 * failure the caller's buffer is left as it was.  Other sizes give
 * QUVA_ERR_INVALID_PARAMETER.  QUVA_OPEN_BY_ID asks each token it opens for
 * its serial and passes over every token whose serial differs from the 8
 * bytes given (also one that cannot tell its serial). */
#define QUVA_PROP_CAPABILITIES 0 /* get, exactly 4 bytes: capability bits */
#define QUVA_PROP_DEVICE_INFO 6  /* get, 8 bytes or more: driver version, device info, zeros */
#define QUVA_PROP_SERIAL 7       /* get, exactly 8 bytes: the token's serial number */
#define QUVA_PROP_LED_ON 8       /* set: LED state 1 */
#define QUVA_PROP_LED_OFF 9      /* set: LED state 2 */
#define QUVA_PROP_NAME 11        /* get, 32 bytes or more: the token's name */

#define QUVA_SERIAL_SIZE 8
#define QUVA_NAME_SIZE 32

/* Capability bits of QUVA_PROP_CAPABILITIES. */
#define QUVA_CAP_BIT0 0x00000001
#define QUVA_CAP_BIT1 0x00000002
#define QUVA_CAP_BIT2 0x00000004
#define QUVA_CAP_BIT3 0x00000008

/* ---- token command codes (a caller may send any code with quva_Command) ---- */
#define QUVA_CMD_GET_RESPONSE 0x0001 /* no data: the pending answer */
#define QUVA_CMD_DIAGNOSE 0x0002     /* no data: 6 bytes */
#define QUVA_CMD_LED 0x0003          /* 2 bytes, LED state little-endian: a status byte */
#define QUVA_CMD_GET_SERIAL 0x0120   /* no data: 8 bytes */
#define QUVA_CMD_GET_NAME 0x0121     /* no data: 32 bytes, NUL-padded */
#define QUVA_CMD_CARD_CONTROL 0x0116 /* smart-card power and waiting-time extension */
#define QUVA_CMD_CARD_BLOCK 0x0117   /* one T=1 block */

#define QUVA_MAX_COMMAND_DATA 256

/* ---- smart-card function ---- */

/* Filled by quva_ScardPowerUp (34 bytes). */
typedef struct QUVA_ATR {
    BYTE atr[32]; /* the ATR; 25 or 9 bytes of it written */
    BYTE length;  /* 25 or 9 */
    BYTE ifs;     /* information field size in force */
} QUVA_ATR;

/* quva_ScardExchange results besides the card's own status words. */
#define QUVA_SW_OK 0x9000             /* also the card's 0x6284 */
#define QUVA_SW_BAD_ARGUMENT 0x0011   /* bad context, no count pointer, missing buffer */
#define QUVA_SW_LE_TOO_LONG 0x9011    /* Le (other than 256) + 2 exceeds the information field size */
#define QUVA_SW_LC_TOO_LONG 0x9013    /* Lc + 5 exceeds the information field size */
#define QUVA_SW_PROTOCOL 0x900C       /* resynchronised three times, unexpected block, short answer */
#define QUVA_SW_TOO_MUCH_DATA 0x900D  /* more response data than Le */
#define QUVA_SW_TOKEN_ERROR(code) ((WORD)(0x9000 | (code))) /* a token status code from a block */
/* quva_ScardExchange gives up with QUVA_SW_TOKEN_ERROR(QUVA_ERR_TIMEOUT)
 * (0x9017) after sending this many blocks for one APDU: a card that keeps
 * asking for waiting-time extensions or answering receive-ready blocks
 * cannot hold the caller for ever. */
#define QUVA_MAX_EXCHANGE_BLOCKS 1024

/* ---- contexts and opening ---- */

/* Allocates a context and stores it in *context (null on failure).
 * `reserved` is ignored; `creation_value` is kept in the context.
 * Also decides, for the whole process, how tokens are reached: through the
 * token driver's control device, or through the PC/SC resource manager's
 * virtual readers when WINSCARD.DLL is present and the driver parameters
 * ("UseRM", "RMMode", the device count) ask for it; and how many virtual
 * readers an open scans.
 * Returns 0, QUVA_ERR_INVALID_PARAMETER (no out-pointer) or
 * QUVA_ERR_NOT_ENOUGH_MEMORY. */
DWORD WINAPI quva_CreateContext(QUVA_CONTEXT *context, DWORD reserved, DWORD creation_value);

/* Closes what the context has open and frees it.  0 or QUVA_ERR_INVALID_PARAMETER. */
DWORD WINAPI quva_DeleteContext(QUVA_CONTEXT context);

/* Closes what the context had open, then opens a token by the mode in
 * `flags` (QUVA_OPEN_*).  `param`: for QUVA_OPEN_BY_ID the address of the
 * 8-byte serial, for QUVA_OPEN_CARD_HANDLE the address of the caller's
 * SCARDHANDLE (neither may be null); unused otherwise.
 * Returns 0 when a token is open; QUVA_ERR_INVALID_PARAMETER for a bad
 * context, flag, mode or missing `param`; QUVA_ERR_CANNOT_OPEN_DRIVER or
 * QUVA_ERR_DRIVER_VERSION from the driver's version; QUVA_ERR_DEVICE_IN_USE
 * when the token is held by another context; QUVA_ERR_DEVICE_NOT_FOUND when
 * no (further) token can be opened; other transport codes as they come.
 * After a failure the context holds no connection. */
DWORD WINAPI quva_OpenDevice(QUVA_CONTEXT context, DWORD flags, LPVOID param);

/* Closes the open token and lets the connection go.  0, or
 * QUVA_ERR_INVALID_PARAMETER for a bad context. */
DWORD WINAPI quva_CloseDevice(QUVA_CONTEXT context);

/* ---- commands ---- */

/* Sends token command `command` (low 16 bits) with `data_length` bytes of
 * `data` (at most QUVA_MAX_COMMAND_DATA) and reads up to `answer_length`
 * bytes of answer into `answer`.  With `answer_length` 1 and a null
 * `answer` the one-byte answer is returned as its token status code.
 * Returns 0 when exactly `answer_length` bytes came back (or, with
 * `answer_length` 0, when the command was delivered); the status code of a
 * one-byte error answer; QUVA_ERR_INVALID_RESPONSE for any other length;
 * transport codes as they come.  QUVA_ERR_INVALID_PARAMETER, before anything
 * is sent, for a bad context, too much data, data or answer buffer missing. */
DWORD WINAPI quva_Command(QUVA_CONTEXT context, DWORD command, DWORD data_length, LPCVOID data,
                          DWORD answer_length, LPVOID answer);

/* Fetches the token's pending answer into `buffer` (`size` bytes; the rest
 * after the answer is zeroed) and its length into *count.
 * Returns 0 for an answer of 2 bytes or more, the status code of a one-byte
 * answer, QUVA_ERR_COMMUNICATION for no byte at all, transport codes as they
 * come, QUVA_ERR_INVALID_PARAMETER for a bad context, a null `count` or a
 * null `buffer` with a non-zero size. */
DWORD WINAPI quva_GetResponse(QUVA_CONTEXT context, LPVOID buffer, DWORD size, LPDWORD count);

/* Runs the token's self-test.  `reserved` must be 0; `output` is an array of
 * `size` bytes, at least 4, zeroed first: word 0 gets the token's 16-bit
 * value, word 1 0xFFFF when the hardware check passed or the code of what
 * failed.  Returns 0, QUVA_ERR_HARDWARE when the check failed, the command's
 * code, or QUVA_ERR_INVALID_PARAMETER (nothing written) for a bad context, a
 * non-zero `reserved`, a null `output` or a size below 4. */
DWORD WINAPI quva_Diagnose(QUVA_CONTEXT context, DWORD reserved, LPWORD output, DWORD size);

/* Sets the token's LED to `state` (low 16 bits; 1 and 2 are the two states
 * the kit uses).  Returns the token's status. */
DWORD WINAPI quva_LedControl(QUVA_CONTEXT context, DWORD state);

/* Reads property `id` (QUVA_PROP_*) into `buffer` of `size` bytes; see the
 * property ids above for the sizes.  `reserved` is ignored.  Capabilities and
 * device info come from what the last open learned; serial and name are asked
 * of the open token.  QUVA_ERR_INVALID_PARAMETER for an unknown id, a wrong
 * size or a null buffer. */
DWORD WINAPI quva_GetProperty(QUVA_CONTEXT context, DWORD id, DWORD reserved, LPVOID buffer, DWORD size);

/* Sets property `id`: QUVA_PROP_LED_ON (LED state 1) or QUVA_PROP_LED_OFF
 * (LED state 2); the reserved values are ignored.  Returns the token's
 * status, or QUVA_ERR_INVALID_PARAMETER for any other id. */
DWORD WINAPI quva_SetProperty(QUVA_CONTEXT context, DWORD id, DWORD reserved1, DWORD reserved2, DWORD reserved3);

/* ---- smart-card function (T=1 block protocol) ---- */

/* Powers the card function up, fills *atr with its ATR (25 bytes, or 9 when
 * the token refuses 25) and negotiates the information field size.
 * `reserved` is ignored.  Returns 0; QUVA_ERR_INVALID_COMMAND when the token
 * has no card function; QUVA_ERR_HARDWARE when the size negotiation fails;
 * command codes otherwise; QUVA_ERR_INVALID_PARAMETER without `atr`. */
DWORD WINAPI quva_ScardPowerUp(QUVA_CONTEXT context, DWORD reserved, QUVA_ATR *atr);

/* Switches the card function off.  Returns the token's status, or
 * QUVA_ERR_INVALID_COMMAND when the token has no card function. */
DWORD WINAPI quva_ScardPowerDown(QUVA_CONTEXT context, DWORD reserved);

/* Sends one T=1 block with PCB `pcb` (low 8 bits) and the information field
 * `info` of `info_length` bytes; the answer block's information field goes
 * to `receive` (`receive_size` bytes), its PCB to *answer_pcb and its length
 * to *answer_length (0xFF and 0 unless the call succeeds).
 * Returns 0; QUVA_ERR_DATA_TOO_LONG (nothing sent) when the field is longer
 * than the information field size; QUVA_ERR_INVALID_RESPONSE when the
 * answer's field is longer than 252 bytes or than `receive_size`;
 * QUVA_ERR_COMMUNICATION when the fetched block has the wrong length;
 * QUVA_ERR_HARDWARE for a bad LRC or NAD; QUVA_ERR_INVALID_COMMAND when the
 * token has no card function; QUVA_ERR_INVALID_PARAMETER for a bad context or
 * a missing pointer. */
DWORD WINAPI quva_ScardIO(QUVA_CONTEXT context, DWORD pcb, const BYTE *info, DWORD info_length, LPBYTE receive,
                          DWORD receive_size, LPBYTE answer_pcb, LPDWORD answer_length);

/* Sends the command APDU CLA INS P1 P2 [Lc data] [Le] (each of the first four
 * the low 8 bits of its argument; `le` 256 means up to 256 bytes) and copies
 * the response data, at most `le` bytes, to `response` with its length in
 * *count.  Receive-ready, resynchronisation, information-size and
 * waiting-time-extension blocks are answered on the way.
 * Returns the card's status word (0x6284 reported as 0x9000) or one of the
 * QUVA_SW_* values above; a token status code e from a block or control
 * command comes back as 0x9000 | e. */
WORD WINAPI quva_ScardExchange(QUVA_CONTEXT context, DWORD cla, DWORD ins, DWORD p1, DWORD p2, const BYTE *data,
                               DWORD lc, LPBYTE response, DWORD le, LPDWORD count);

/* ---- versions ---- */

/* The library's own version, packed: major in bits 31-24, minor in 23-16,
 * the fourth field of the file version in 15-0.  Returns 0x01030031 (1.3.0.49). */
DWORD WINAPI quva_GetLibVersion(void);

/* The installed token driver kit's version, packed as above.
 * First the driver package's uninstall entry ("VersionMajor", "VersionMinor",
 * "VersionBuild" REG_DWORD values; reading stops at the first one missing),
 * else the version resource of the platform's token driver file.
 * Returns 0 when no version can be read and 0xFFFFFFFF when the platform or
 * the Windows directory cannot be determined. */
DWORD WINAPI quva_GetDriverVersion(void);

/* ---- self-registration ---- */

/* Registers (bInstall non-zero) or unregisters the library under
 * HKLM\Software\Vornel Technologies\Quva\Quva Components\Quva Application
 * Interfaces\Quva B2 Token Library: "Path" (the library's directory and
 * "QUVAB2.DLL"), "Version", and "EnablePCSC" = 0 when the key is new.
 * Unregistering also removes every parent key left without subkeys.
 * pszCmdLine is ignored.  Returns S_OK, or 0x8007xxxx built from the Win32
 * error that stopped the registration. */
HRESULT WINAPI DllInstall(BOOL bInstall, LPCWSTR pszCmdLine);
/* DllInstall(TRUE, NULL). */
HRESULT WINAPI DllRegisterServer(void);
/* DllInstall(FALSE, NULL); always S_OK. */
HRESULT WINAPI DllUnregisterServer(void);

#ifdef __cplusplus
}
#endif

#endif
