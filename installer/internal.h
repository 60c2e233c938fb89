// Internal operations of the driver installer library, shared by its source
// files; nothing here is exported.
#ifndef QUVADI_INTERNAL_H
#define QUVADI_INTERNAL_H

#include <windows.h>

// ---- token hardware identities ----
#define QUVADI_TOKEN_MODELS 7

// The USB hardware IDs of the token models, and their display names in the
// same order.
extern const char *const quvadi_token_hwids[QUVADI_TOKEN_MODELS];
extern const char *const quvadi_token_model_names[QUVADI_TOKEN_MODELS];

// One flag per row: set by the device count when a present device matches
// the row, read by the install flows.  Plain process-wide state; one install
// or count at a time per process.
extern DWORD quvadi_model_present[QUVADI_TOKEN_MODELS];

// TRUE when hwid begins, case-insensitively, with a whole row of the table
// (so a revision suffix still matches).  The first matching row wins; with
// mark nonzero its present-model flag is set to 1.  A null hwid matches
// nothing.
BOOL MatchTokenHardwareId(LPCSTR hwid, BOOL mark);

// ---- inventory ----
// What quvaDI_IsDriverInstalled found of the token driver stack, for the
// install dispatcher to choose its flow.  All zero at the start of each
// inventory; LastFileFound is the result (1 or 0) of the inventory's last
// driver-file check, 0xFFFFFFFF before the first inventory and after a
// removal.  Plain process-wide state, like the present-model flags.
struct QuvadiInventory {
    DWORD VirtualReaderStack; // 98/ME: the reader VxD key; NT 4.0: "NumberOfDevices"; NT 5: enumerator or reader in the reader class
    DWORD UsbClassToken;      // NT 5: a token still in the USB setup class
    DWORD LegacyReaderToken;  // NT 5: tokens in the reader class with an older token driver
    DWORD TokenClassDevice;   // NT 5: a token or the enumerator in the token setup class
    DWORD LastFileFound;
};
extern QuvadiInventory quvadi_inventory;
// Back to "the inventory has not run": the flags 0, LastFileFound 0xFFFFFFFF.
void ResetDriverInventory(void);

// TRUE when FindFirstFileA finds the path (wildcards allowed: any match).
BOOL FileExists(LPCSTR path);
// TRUE when <system dir>\Drivers\qvatoken.sys exists with a packed file
// version of at least 1.18.x.57; FALSE on any failure.
BOOL IsCurrentTokenDriverFile(void);

// ---- PC/SC ----
// How the smart-card service starts (NT only): enable nonzero makes it
// automatic and starts it; zero makes it on demand (NT 5) when no physical
// reader is live.
void SetResourceManagerStart(BOOL enable);
// Forgets the virtual readers in the resource manager and deletes their
// Calais reader keys; 0 when a WinSCard call could not be made.
BOOL ForgetVirtualReaders(void);

// ---- component records ----
// One key per installed driver file under the "Quva Device Drivers" key of
// the maker's components key (HKLM), named by the file's FileDescription,
// with "Version" (packed) and "Path".  Written after an install; removed
// (with the emptied parent keys) before the driver files are deleted.
// Failures are skipped silently.
void WriteComponentRecords(void);
void RemoveComponentRecords(void);

#endif
