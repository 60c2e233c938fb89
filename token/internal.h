// Internals of the token access library: the context record, its state
// flags, the process-wide path switches and the operations the exported
// functions share.  Never seen by callers.
#ifndef QUVAB2_INTERNAL_H
#define QUVAB2_INTERNAL_H

#include <windows.h>
#include <winscard.h>

#include "quvab2.h"

namespace quvab2 {

const DWORD k_magic = 0x5156544B;
const ULONG_PTR k_page = 4096;

// State flags of a context (the low 16 bits are unused).
const DWORD k_lost = 0x00010000;          // the token went away during an exchange
const DWORD k_reopen_check = 0x00100000;  // QUVA_OPEN_LAST: accept only the token we had
const DWORD k_block_sequence = 0x00400000; // send-sequence bit of the next T=1 information block
const DWORD k_caller_card = 0x00800000;   // the card handle is the caller's (QUVA_OPEN_CARD_HANDLE)
const DWORD k_card_open = 0x01000000;     // a resource-manager open-token control is in force
const DWORD k_rm_path = 0x02000000;       // exchanges go through SCardControl
const DWORD k_token_open = 0x10000000;    // an open exchange answered status 0
const DWORD k_connected = 0x20000000;     // driver handle or PC/SC connection held

// Driver controls and their resource-manager counterparts.
const DWORD k_ioctl_get_version = 0x220400;
const DWORD k_ioctl_open_token = 0x220404;
const DWORD k_ioctl_close_token = 0x220408;
const DWORD k_ioctl_exchange = 0x220414;
const DWORD k_scard_get_version = 0x312000;
const DWORD k_scard_open_token = 0x312004;
const DWORD k_scard_close_token = 0x312008;
const DWORD k_scard_exchange = 0x31200C;

const DWORD k_open_frame_size = 80;
const DWORD k_command_frame_size = 272;
const DWORD k_descriptor_offset = 16; // in the open frame
const DWORD k_descriptor_size = 64;
const DWORD k_max_command_data = 256;

// Open loop bound: open exchanges one quva_OpenDevice makes before it gives
// up with 6 (a driver that never ends an enumeration).
const DWORD k_max_open_exchanges = 256;
// quva_ScardExchange bound: blocks sent for one APDU before it gives up.
const DWORD k_max_exchange_blocks = 1024;

typedef LONG(WINAPI *EstablishFn)(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT);
typedef LONG(WINAPI *ReleaseFn)(SCARDCONTEXT);
typedef LONG(WINAPI *ConnectFn)(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE, LPDWORD);
typedef LONG(WINAPI *DisconnectFn)(SCARDHANDLE, DWORD);
typedef LONG(WINAPI *ControlFn)(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID, DWORD, LPDWORD);
typedef LONG(WINAPI *StatusChangeFn)(SCARDCONTEXT, DWORD, SCARD_READERSTATEA *, DWORD);

// The token context, in the order of its fields.
struct Context {
    DWORD magic;
    DWORD driver_version;
    DWORD creation_value;
    BYTE device_info[4]; // descriptor bytes 2, 3, 1 and a zero
    DWORD memory_size;
    BYTE selection_id[8];
    DWORD max_send;
    DWORD max_receive;
    HANDLE driver;
    DWORD token_id;
    DWORD flags;
    BYTE features[4];
    DWORD scan_index;
    DWORD last_reader;
    SCARDCONTEXT pcsc;
    SCARDHANDLE card;
    HMODULE scard_module;
    EstablishFn establish;
    ReleaseFn release;
    ConnectFn connect;
    DisconnectFn disconnect;
    ControlFn control;
    StatusChangeFn status_change;
    BYTE descriptor_flags;
    BYTE max_info;
    BYTE item80;
};

// Process-wide state: plain variables, set by every context creation and
// turned off by connections.
extern bool g_direct_on;
extern bool g_rm_on;
extern DWORD g_scan_limit;

// The context check: writable, aligned, carrying the magic.
Context *check(void *context);

// ---- reader mode (registry and file tests) ----
bool smartcard_file_present();
struct ReaderMode {
    bool file_present; // the smart-card library file
    bool rm;           // the resource-manager decision
    DWORD scan_limit; // readers the resource-manager open tries
};
ReaderMode reader_mode();
bool pcsc_gate_open();
bool is_token_atr(const BYTE *atr, DWORD length);

// ---- transport ----
DWORD connect(Context *c, DWORD flags, const SCARDHANDLE *caller_card);
DWORD transport(Context *c, DWORD code, void *request, DWORD request_size, void *answer, DWORD answer_size,
                DWORD *returned);
DWORD close_token(Context *c, bool release);
DWORD map_win32(DWORD error);
DWORD map_pcsc(LONG result);
// The two paths behind transport().
// False when the control device does not open (the resource manager may
// serve instead); otherwise true with the connect's result.
bool direct_connect(Context *c, DWORD *result);
DWORD direct_transport(Context *c, DWORD code, void *request, DWORD request_size, void *answer, DWORD answer_size,
                       DWORD *returned);
void direct_release(Context *c);
DWORD rm_connect(Context *c, const SCARDHANDLE *caller_card);
DWORD rm_transport(Context *c, DWORD code, void *request, DWORD request_size, void *answer, DWORD answer_size,
                   DWORD *returned);
void rm_release(Context *c);
// Entry points of a context whose WinScard.dll did not load (or lacks some).
void install_placeholders(Context *c);

// ---- open ----
bool descriptor_valid(const BYTE *descriptor);
void parse_descriptor(Context *c, const BYTE *descriptor);

// ---- commands ----
DWORD answer_status(BYTE answer);

// Little-endian fields.
inline DWORD get32(const BYTE *p) { return p[0] | (DWORD)p[1] << 8 | (DWORD)p[2] << 16 | (DWORD)p[3] << 24; }
inline void put32(BYTE *p, DWORD v) {
    p[0] = (BYTE)v;
    p[1] = (BYTE)(v >> 8);
    p[2] = (BYTE)(v >> 16);
    p[3] = (BYTE)(v >> 24);
}

// Clears memory that held command data, in a way the compiler keeps.
void wipe(void *p, size_t n);

} // namespace quvab2

#endif
