// Internal operations of the driver installer library, shared by its source
// files; nothing here is exported.
#ifndef QUVADI_INTERNAL_H
#define QUVADI_INTERNAL_H

#include <windows.h>
#include <setupapi.h>

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
// Whether the source directory holds newer driver files than the machine:
// each name in turn, in the source directory against <system dir>\Drivers,
// a missing source file answering no, a missing installed file or a higher
// packed source version yes; all alike, no.
BOOL SourceDriversNewer(LPCSTR sourceDir, const char *const *files, int count);
// TRUE when <system dir>\Drivers\qvatoken.sys exists with a packed file
// version of at least 1.18.x.57; FALSE on any failure.
BOOL IsCurrentTokenDriverFile(void);
// The 9x member: TRUE only when both files exist and the source's packed
// file version is the higher.
BOOL SourceDriverFileNewer(LPCSTR sourcePath, LPCSTR installedPath);
// NT 5: the smart-card driver service starts on demand (when PC/SC is there).
void SetSmartCardDriverDemandStart(void);

// ---- the flows of the other platforms ----
// Removal, one per platform: outputs as quvaDI_UninstallDriverA; TRUE unless
// a fault ended the flow.  The owner and flags are not used.
BOOL UninstallNt5(HWND owner, DWORD flags, LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError);
BOOL UninstallNt4(HWND owner, DWORD flags, LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError);
BOOL UninstallWin98Me(HWND owner, DWORD flags, LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError);
BOOL UninstallWin95(HWND owner, DWORD flags, LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError);
// The installs of NT 4.0, 98/ME and 95: the arguments and outputs of
// quvaDI_InstallDriverA, the outputs already zeroed and the INF checked.
BOOL InstallNt4(HWND owner, DWORD flags, LPCSTR sourceDir, LPCSTR infFile, DWORD driverFlags, DWORD useRM,
                DWORD devices, LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError);
BOOL InstallWin98Me(HWND owner, DWORD flags, LPCSTR sourceDir, LPCSTR infFile, DWORD driverFlags, DWORD useRM,
                    DWORD devices, LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError);
BOOL InstallWin95(HWND owner, DWORD flags, LPCSTR sourceDir, LPCSTR infFile, DWORD driverFlags, DWORD useRM,
                  DWORD devices, LPDWORD pdwReboot, LPDWORD pdwCompletion, LPDWORD pdwError);
// 98/ME: the virtual-reader VxD's service key with `number` readers; FALSE
// when the key cannot be had.
BOOL WriteVxdServiceKey(DWORD number);

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

// Whole strings equal, case-insensitively in the C runtime's locale.
BOOL EqualsNoCase(LPCSTR a, LPCSTR b);
// The thread's last error, or `fallback` when a failure left none: a failed
// step must never read as success.
DWORD LastErrorOr(DWORD fallback);

// ---- INF and OEM files ----
#define QUVADI_INF_TEXT 64
#define QUVADI_INF_MODELS 10

struct InfModel {
    char Description[QUVADI_INF_TEXT];
    char InstallSection[QUVADI_INF_TEXT];
    char HardwareId[QUVADI_INF_TEXT];
};
// What ReadInfSummary takes from an INF: its [Version] keys and the first
// lines of its first models section.
struct InfSummary {
    char Provider[QUVADI_INF_TEXT];
    char Class[QUVADI_INF_TEXT];
    char ClassGUID[QUVADI_INF_TEXT];
    char Version[QUVADI_INF_TEXT];
    char ModelsSection[QUVADI_INF_TEXT];
    DWORD ModelCount;
    InfModel Models[QUVADI_INF_MODELS];
};

// Deletes the maker's OEM INF copies (and their PNF files) that would let
// Windows match an earlier driver; another provider's INFs are never touched.
void PurgeOemInfs(void);
// Removal side: the maker's smart-card-reader-class OEM INFs naming a token,
// the enumerator or a virtual reader.
void PurgeReaderOemInfs(void);
// 0 or the first Win32 error; the record is zeroed first.
DWORD ReadInfSummary(LPCSTR path, InfSummary *summary);
// Runs an INF section through the platform's rundll host, hidden, and waits:
// 0 on success, 87 when no command can be built, else the error or the
// host's exit code.
DWORD RunInfSection(HWND owner, LPCSTR sourceDir, LPCSTR infFile, LPCSTR section);
// The InstallHinfSection command line for this platform (a null section is
// "DefaultInstall"); FALSE and an empty buffer when it does not fit.
BOOL BuildInstallHinfCommand(LPCSTR infPath, LPCSTR section, LPSTR out, DWORD size, LPDWORD needed);
// Deletes the INF (and PNF) that a device's driver key ("{class}\NNNN")
// names; a driver key that is gone counts as done.  Last error set.
BOOL DeleteDriverInf(LPCSTR driverKey);
// 98/ME: records the source path and copies the INF into <windows>\INF.
BOOL CopyInfToWindows(LPCSTR sourceDir, LPCSTR infFile);

// ---- device nodes ----
// The restart out-values: the enumerator members give the device's raw
// DI_NEEDRESTART | DI_NEEDREBOOT bits, the others 0 or 1.
BOOL DisableEnumeratorDevice(const GUID *classGuid, LPDWORD restart);
BOOL EnableEnumeratorDevice(const GUID *classGuid, LPDWORD restart);
BOOL StopEnumeratorDevice(const GUID *classGuid, LPDWORD restart);
BOOL DisableTokenDevices(const GUID *classGuid, LPDWORD restart);
BOOL EnableTokenDevices(const GUID *classGuid, LPDWORD restart);
BOOL DisableReaderDevices(const GUID *classGuid, LPDWORD restart);
BOOL EnableReaderDevices(const GUID *classGuid, LPDWORD restart);
BOOL DisableServiceDevices(const GUID *classGuid, LPCSTR service, LPDWORD restart);
void RemoveServiceDevices(const GUID *classGuid, LPCSTR service);
void RemoveStaleTokenNodes(BOOL spareReaderClass, LPDWORD indication);
void RemoveAllTokenNodes(void);
void RemoveQuvaNodes(LPDWORD restart);
BOOL CreateEnumeratorNode(LPCSTR hardwareId, LPCSTR infPath, DWORD updateFlags, LPDWORD restart);
BOOL UpdateDriverForHardwareId(LPCSTR hardwareId, LPCSTR infPath, DWORD updateFlags, LPDWORD restart);
BOOL DeleteClassKeys(LPCSTR className);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case; out holds 39 bytes.
void FormatGuidString(const GUID *guid, char *out, size_t size);

// ---- the reader wait and the installer's dialogs ----
#define QUVADI_DLG_TEXT 260

// The reader-status dialog's owner and texts as quvaDI_DlgSetReaderStatusParamsA
// stored them (the flows pass them to StartReaderStatusDialog); each text at
// most 259 characters.
struct ReaderStatusParams {
    HWND Parent; // the desktop window when none was given; null until set
    char Caption[QUVADI_DLG_TEXT];
    char Message[QUVADI_DLG_TEXT];
    char CancelText[QUVADI_DLG_TEXT];
};
extern ReaderStatusParams quvadi_reader_status_params;

// One run of the reader-status dialog: written by StartReaderStatusDialog
// before its thread starts, then only by the dialog's thread.
struct ReaderStatusRun {
    HWND Parent;
    char Caption[QUVADI_DLG_TEXT];
    char Message[QUVADI_DLG_TEXT];
    char CancelText[QUVADI_DLG_TEXT];
    DWORD Expected; // the progress range, cut to 16 bits
    DWORD Arrivals;
    HANDLE Ready;   // set once the dialog listens for readers
    HDEVNOTIFY Notify;
};
extern ReaderStatusRun quvadi_reader_status_run;

// Registers the window for arrivals of one device-interface class; null
// (last error set) when the platform refuses.
HDEVNOTIFY RegisterInterfaceArrivals(HWND window, const GUID *interfaceClass);
// The smart-card reader device-interface class.
extern const GUID quvadi_reader_interface_class;

// The reader-status dialog's thread: runs dialog 3007 over the run's parent
// and ends with 1 (all readers arrived, or OK) or 0.
DWORD WINAPI ReaderStatusThread(LPVOID unused);

// The reader wait: one waiter at a time per process.  The watcher is a hidden
// window on its own thread counting smart-card reader arrivals.
// StartArrivalWatcher: 0, or the error of the thread start.
DWORD StartArrivalWatcher(DWORD expected);
// Waits expected x 30 s for the watcher, then stops it (by force 5 s later);
// *count gets the arrivals; nonzero when at least one reader arrived.
BOOL WaitArrivalWatcher(DWORD expected, LPDWORD count);
// TRUE when the dialog's thread started.
BOOL StartReaderStatusDialog(HWND owner, LPCSTR caption, LPCSTR message, LPCSTR cancelText, DWORD expected);
// The dialog's end code (0 when no dialog was started, *count then left);
// *count gets the arrivals.
DWORD WaitReaderStatusDialog(LPDWORD count);

#endif
