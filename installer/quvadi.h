/* Quva driver installer library (QUVADI.DLL).
 *
 * Installers call it to find out what the machine has, to install, upgrade,
 * configure and remove the token's kernel drivers, and to check and repair
 * the PC/SC subsystem.  Every function uses the platform's standard calling
 * convention (WINAPI) and ANSI strings. */
#ifndef QUVADI_H
#define QUVADI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library's own version, packed: major in bits 31-24, minor in 23-16,
 * the fourth field of the file version in 15-0.  Returns 0x0102004E (1.2.0.78). */
DWORD WINAPI quvaDI_GetLibVersion(void);

/* ---- platform and driver inventory ----
 * Each call asks GetVersionExA afresh; yes/no answers report any failure as
 * FALSE without setting the last error unless said otherwise. */

/* FALSE on Windows 95 and NT 4.0 (version 4.0 of either family) and when the
 * version cannot be read; TRUE everywhere else. */
BOOL WINAPI quvaDI_IsPnPDriver(void);

/* NT before 5: TRUE without looking.  Windows 95, 98/ME and NT 5: TRUE when
 * the USB setup class key opens under HKLM\System\CurrentControlSet:
 * Services\Class\USB on 95, Services\Class\{36FC9E60-...} on 98/ME,
 * Control\Class\{36FC9E60-...} on NT 5.  Other platforms FALSE; a
 * failing version query gives TRUE only when the last error then reads 0. */
BOOL WINAPI quvaDI_IsUSBSupported(void);

/* NT 4.0 only: TRUE when usbhub.sys and usbdrv.sys are in System32\Drivers
 * and the NT 4.0 token driver usbqvtkn.sys is not. */
BOOL WINAPI quvaDI_IsNtUsbStackInstalled(void);

/* TRUE when the token driver stack of the platform is installed: 95
 * System\QvaTkn95.sys; 98/ME the QUVAVR9X VxD (when its key exists) and
 * System32\Drivers\QVATOKEN.SYS; NT before 5 the token, hub and host
 * drivers; NT 5 the drivers of the generation its device probes find (none
 * found: FALSE).  Also records what it found for the install. */
BOOL WINAPI quvaDI_IsDriverInstalled(void);

/* 98/ME and NT 5: counts token devices present now (*pdwPresent, which also
 * marks the present models) and registered in the current hardware profile
 * (*pdwRegistered); either pointer may be null.  TRUE with last error 0;
 * FALSE with 1633 elsewhere, or with SetupAPI's error when a device list
 * cannot be had. */
BOOL WINAPI quvaDI_CountDevices(LPDWORD pdwPresent, LPDWORD pdwRegistered);

/* NT only: TRUE when a driver service of the stack is marked for deletion
 * (NT 4.0: USBQVTKN, USBHUB, USBDRV, SMCLIB, and then the smart-card service
 * is set to start on demand; NT 5: QVATOKEN, QUVAIFD, QUVAENUM, SMCLIB). */
BOOL WINAPI quvaDI_IsDriverMarkedForDeletion(void);

/* Packed file version (as quvaDI_GetLibVersion, but a minor version above
 * 255 runs into the major byte) of a file given by full path, 0 when it has
 * none.  pszDescription (64 bytes, may be null) receives at most 63
 * characters of the FileDescription of the first translation (language 0
 * read as 0x0409), or "".  The current directory is changed during the call
 * and restored.  A path without a backslash fails with last error 267
 * (ERROR_DIRECTORY), a directory part of 260 characters or more with 122,
 * a null path with 87; otherwise the last error is reset to 0 first. */
DWORD WINAPI quvaDI_GetFileVersionA(LPCSTR pszPath, LPSTR pszDescription);

/* ---- messages and versions ---- */

/* Text of a Win32 or SetupAPI error code.
 * A code with the top three bits set (SetupAPI) gets the library's own English
 * text, or "Unknown error." for a code it does not know: the text and its
 * terminating zero are copied when cbBuffer is at least the text length plus
 * one, else the buffer is left untouched; the result is the text length
 * either way, so a caller can size a second call.
 * Any other code: the system's text from FormatMessageA (no inserts, default
 * language search), the number of characters stored; 0 with an empty buffer
 * when the system has no text or the buffer is too small.  A null buffer or
 * a size of 0 is never written.  Never sets the last error. */
DWORD WINAPI quvaDI_GetErrorStrA(DWORD dwError, LPSTR pszBuffer, DWORD cbBuffer);

/* MessageBoxA(hwndOwner, pszText, pszCaption, uType): note that the type
 * comes second and the caption before the text.  Returns MessageBoxA's
 * result unchanged. */
int WINAPI quvaDI_DlgMessageBoxA(HWND hwndOwner, UINT uType, LPCSTR pszCaption, LPCSTR pszText);

/* Packed file version of the running platform's token driver file, under the
 * Windows directory: "\System\qvatkn95.sys" on Windows 95,
 * "\System32\Drivers\qvatoken.sys" on 98/ME and NT 5 or later,
 * "\System32\Drivers\usbqvtkn.sys" on NT 4.0.  0 when the file or its
 * version is missing and on NT before 4.0; 0xFFFFFFFF when the platform or
 * the Windows directory cannot be read or the platform is neither 9x nor NT. */
DWORD WINAPI quvaDI_GetDriverVersion(void);

/* Version of the installed driver package from its uninstall entry
 * HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\
 * {5A1C7E20-3B4D-4E6F-8A9B-0C1D2E3F4A5B}: "VersionMajor" in bits 31-24,
 * "VersionMinor" in 23-16, "VersionBuild" in 15-0, each kept to its own
 * bits.  Only 4-byte REG_DWORD values count; reading stops at the first
 * missing one (no major: 0).  0 when the entry is absent. */
DWORD WINAPI quvaDI_GetDriverInstallerVersion(void);

/* ---- services and processes ---- */

/* TRUE when the platform is NT and the service control manager opens the
 * named service for status queries.  Never sets the last error. */
BOOL WINAPI quvaDI_IsServiceInstalledA(LPCSTR pszService);

/* TRUE when the service is installed and either its key under
 * HKLM\SYSTEM\CurrentControlSet\Services cannot be opened or its
 * "DeleteFlag" value is nonzero. */
BOOL WINAPI quvaDI_IsServiceMarkedForDeletionA(LPCSTR pszService);

/* The three service operations work on NT only (elsewhere FALSE with last
 * error 1633, ERROR_INSTALL_PLATFORM_UNSUPPORTED).  Each first sets its flag
 * to 0, returns TRUE with last error 0 on success and FALSE with the Win32
 * error as last error otherwise.  A null flag or name gives FALSE with last
 * error 87 (ERROR_INVALID_PARAMETER).
 *
 * quvaDI_StartServiceA starts the service with the given arguments (pArgv may
 * be null) and polls it up to five times, a second apart, while it is start
 * pending; *pRebootNeeded becomes 1 when it is not running by then.  A
 * service already running fails with 1056.
 *
 * quvaDI_StopServiceA sends the stop control and interrogates the service up
 * to five times, a second apart, while it is stop pending; *pRebootNeeded
 * becomes 1 when it has not stopped by then.  A service that is not running
 * fails (the stop control is refused).
 *
 * quvaDI_DeleteServiceA marks the service for deletion.  A service that does
 * not exist or cannot be opened is success; one already marked for deletion
 * is success with *pMarkedForDeletion set to 1. */
BOOL WINAPI quvaDI_StartServiceA(LPCSTR pszService, DWORD dwArgc, LPCSTR *pArgv, LPDWORD pRebootNeeded);
BOOL WINAPI quvaDI_StopServiceA(LPCSTR pszService, LPDWORD pRebootNeeded);
BOOL WINAPI quvaDI_DeleteServiceA(LPCSTR pszService, LPDWORD pMarkedForDeletion);

/* Runs a command line (a writable buffer) in pszDirectory (null or empty: the
 * current one), shown with the low 16 bits of uShow.  Without bWait: 0 once
 * the process is created, and it inherits no handles.  With bWait (handles
 * inherited): waits for the program and returns its exit code; with hwnd,
 * the wait looks at the window's messages every 250 ms, dispatching one at a
 * time, and a WM_QUIT for the window ends it early with 258 (WAIT_TIMEOUT),
 * leaving the program running.  A program that cannot be started gives
 * CreateProcessA's error.  The three kinds of result share one value: treat
 * any nonzero result as failure. */
DWORD WINAPI quvaDI_RunProcessA(HWND hwnd, LPSTR pszCommandLine, LPCSTR pszDirectory, BOOL bWait, UINT uShow);

/* ---- PC/SC and virtual readers ----
 * A reader is the token's virtual reader when its name begins with
 * "Vornel Technologies QuvaVirtualReader".  None of these sets the last
 * error. */

/* TRUE on 98/ME and on every NT platform (the two are the same test). */
BOOL WINAPI quvaDI_IsPcScSupported(void);
BOOL WINAPI quvaDI_IsVrSupported(void);
/* 9x: the "SmartcardBase" uninstall key and Windows\System\WINSCARD.DLL;
 * NT: WINSCARD.DLL in the system directory. */
BOOL WINAPI quvaDI_IsPcScInstalled(void);
/* The smart-card driver library smclib.sys is in the drivers directory. */
BOOL WINAPI quvaDI_IsPcScDriverInstalled(void);
/* PC/SC is installed and a resource-manager context can be established; on
 * NT a stopped but installed "ScardSvr" service counts as enabled. */
BOOL WINAPI quvaDI_IsPcScEnabled(void);
/* PC/SC is enabled and the driver parameters ask for resource-manager mode
 * ("RMMode", else "UseRM" with a reader count above 0); with no parameters,
 * whether a live virtual reader is listed. */
BOOL WINAPI quvaDI_IsVrEnabled(void);
/* TRUE when the name begins with the virtual-reader prefix (case-sensitive). */
BOOL WINAPI quvaDI_IsVrReaderA(LPCSTR pszReader);
/* Live virtual readers (not SCARD_STATE_UNAVAILABLE), prefix compared
 * case-insensitively. */
DWORD WINAPI quvaDI_IsVrReaderInstalled(void);
/* Live readers that are not virtual; on 98/ME when there are none, the
 * smart-card reader class entries whose "MatchingDeviceId" is no token's. */
DWORD WINAPI quvaDI_IsNonVrReaderInstalled(void);
/* NT 5 only: when the "SCardDrv" or "SCardSvr" service key lacks "Start",
 * disables and stops the service, runs "SCardSvr.exe REINSTALL" from the
 * system directory, makes the service automatic and starts it.  TRUE when
 * the machine must restart; FALSE when nothing was needed or elsewhere. */
BOOL WINAPI quvaDI_CheckAndFixPCSC(void);

/* ---- driver parameters ----
 * REG_DWORD values under HKLM\System\CurrentControlSet\Services:
 *   NT 5:   QvaToken\Parameters "UseRM", "DriverFlags", "RMMode",
 *           "FlashLedCycle", "FlashLedDuration"; QuvaEnum "NumberOfDevices"
 *           (read from QvaToken when the QuvaEnum key does not exist);
 *   NT 4.0: USBQVTKN\Parameters "UseRM", "NumberOfDevices", "RMMode" and the
 *           two LED values;
 *   98/ME:  QvaToken\Parameters "UseRM", "RMMode" and the LED values;
 *           VXD\QUVAVR9X "NumberOfReaders".
 * Windows 95, NT before 4.0 and other platforms have no driver parameters:
 * every function below fails there with last error 1633
 * (ERROR_INSTALL_PLATFORM_UNSUPPORTED).  A value counts only as a 4-byte
 * REG_DWORD; anything else reads as 0. */

/* Stores the use-resource-manager flag and the virtual-reader count, and on
 * NT 5 the driver flags unchanged.  A nonzero flag with count 0 stores count
 * 1; flag 0 with a nonzero count stores flag 1; flag 0 with count 0 stores
 * both 0 without looking at the readers.  Otherwise physical plus virtual
 * readers are kept within 32 (NT 5) or 10 (NT 4.0): too many physical
 * readers store both 0, else the count is cut to what is left and the flag
 * becomes 1.  On 98/ME the count is cut to 10 and any physical reader stores
 * both 0.  With the flag 0 on NT 4.0 and 98/ME the virtual readers are
 * removed from the resource manager; on NT 4.0 the smart-card service start
 * follows the flag.  FALSE when a key or value cannot be written (the last
 * error is not set then). */
BOOL WINAPI quvaDI_SetDriverParams(DWORD dwDriverFlags, DWORD dwUseRM, DWORD dwNumberOfDevices);

/* Reads the stored parameters; every output is zeroed first, and a value
 * that cannot be read stays 0.  A missing "RMMode" reads as "UseRM".  The
 * count is capped at 32 (NT 5) or 10 (NT 4.0, 98/ME); the driver flags are
 * 0 except on NT 5.  TRUE with last error 0; FALSE with the registry error
 * of the key that did not open (always 2 for the 98/ME Parameters key; a
 * missing QUVAVR9X key only leaves the count 0), or 87 when an output
 * pointer is null. */
BOOL WINAPI quvaDI_GetDriverParams(LPDWORD pdwDriverFlags, LPDWORD pdwUseRM, LPDWORD pdwNumberOfDevices,
                                   LPDWORD pdwRMMode);

/* Stores the LED flashing parameters: either one 0 stores 0 and 0 (no
 * flashing); else either one -1 stores the defaults 3 and 30; else each is
 * clamped to 0..255.  FALSE when the key or a value cannot be written. */
BOOL WINAPI quvaDI_SetDriverLedParams(LONG lFlashCycle, LONG lFlashDuration);

/* Reads the LED parameters with the same rules (either one 0 gives 0 and 0,
 * else each clamped to 0..255).  TRUE with last error 0; FALSE with the
 * registry error when the key does not open, or 87 for a null pointer. */
BOOL WINAPI quvaDI_GetDriverLedParams(LPLONG plFlashCycle, LPLONG plFlashDuration);

/* ---- driver installation ---- */

/* Bits of quvaDI_InstallDriverA's dwFlags; other bits are ignored. */
#define DI_DEFER_READER_MODE 0x2 /* Windows NT 4.0 and 9x only */
#define DI_SILENT_WAIT 0x4       /* wait for the virtual readers without the reader-status dialog */

/* Installs, upgrades or reconfigures the token driver stack from the INF
 * pszInfFile in pszSourceDir (which also holds the catalog and the driver
 * files).  Returns nonzero on success and fills three outputs, zeroed first:
 * *pdwReboot 1 when the machine must restart, *pdwCompletion (Windows
 * 2000/XP: 0 tokens present and served, 1 readers or the driver change take
 * effect after a restart, 2 installed with no token present, 4 a first
 * installation with a token plugged in) and *pdwError, the Win32 error.
 *
 * Windows 2000/XP: the flow follows what is installed (a token in the USB
 * class, tokens as smart-card readers, the maker's own setup class, the
 * current reader stack, or nothing).  dwDriverFlags is not used (the driver
 * flags are written as 0); dwUseRM nonzero with dwNumberOfDevices above 0
 * asks for that many virtual readers and waits for them to arrive, with the
 * reader-status dialog set up by quvaDI_DlgSetReaderStatusParamsA, or
 * hidden with DI_SILENT_WAIT (30 seconds a reader at most).  A reader that
 * does not arrive makes *pdwReboot 1.
 *
 * NT 4.0, 98/ME and 95: the INF's "DefaultInstall" section is run through
 * the platform's INF host (a failure gives its code and FALSE).  A stack
 * already installed with no newer driver files in pszSourceDir only has its
 * parameters refreshed; anything else is a full install, after removing an
 * earlier broken installation.  NT 4.0 then starts USBHUB, USBQVTKN and
 * USBDRV (and with dwUseRM the smart-card service); the reader mode is held
 * back during the install with DI_DEFER_READER_MODE, when PC/SC is missing
 * or when another reader is installed, and *pdwReboot is then 2 when
 * readers were asked for and nothing else wanted a restart.  98/ME writes
 * the QUVAVR9X VxD key; DI_DEFER_READER_MODE gives *pdwReboot 2 when no
 * restart was indicated; *pdwCompletion 2 when no token is registered.
 * Windows 95 reports *pdwCompletion 1 after a full install and writes no
 * parameters.  dwDriverFlags is not used on these platforms.
 *
 * Errors: 2 when the INF is not there (also for a null directory or name,
 * or a path of 260 characters or more); 1072 with *pdwReboot 1 when a
 * driver service of the stack is marked for deletion (NT); 1633
 * (ERROR_INSTALL_PLATFORM_UNSUPPORTED) on NT before 4.0, NT 6 and later and
 * other platforms.  A null output pointer fails with last error 87 and
 * nothing done. */
BOOL WINAPI quvaDI_InstallDriverA(HWND hwndOwner, DWORD dwFlags, LPCSTR pszSourceDir, LPCSTR pszInfFile,
                                  DWORD dwDriverFlags, DWORD dwUseRM, DWORD dwNumberOfDevices, LPDWORD pdwReboot,
                                  LPDWORD pdwCompletion, LPDWORD pdwError);

/* Removes the token driver stack of the running platform: device nodes,
 * services, driver and INF files, the stack's registry keys, the virtual
 * readers and the component records; on 9x also the recorded "SourcePath".
 * Every step is tried whatever the others gave, and what is already gone is
 * no error, so it can be called on a clean machine or twice.  hwndOwner and
 * dwFlags are not used.  The three outputs are zeroed first: *pdwReboot 1
 * when a restart is needed (always on 98/ME, 3 there when a smart-card
 * reader other than the virtual one is installed; on Windows 95 only when
 * the token driver was installed), *pdwCompletion 0, *pdwError 0.  Returns
 * nonzero on success; FALSE with *pdwError 1633 on NT before 4.0, NT 6 and
 * later and other platforms, or with the error of a failed version query.
 * A null output pointer fails with last error 87 and nothing done.
 * Afterwards quvaDI_IsDriverInstalled must be asked again before an install
 * relies on what it found. */
BOOL WINAPI quvaDI_UninstallDriverA(HWND hwndOwner, DWORD dwFlags, LPDWORD pdwReboot, LPDWORD pdwCompletion,
                                    LPDWORD pdwError);

/* ---- dialogs ----
 * Both dialogs centre themselves over their parent (the desktop window when
 * none is given) and listen for device-interface arrivals. */

/* Stores the owner and the caption, message and Cancel-button texts of the
 * reader-status dialog that an install without DI_SILENT_WAIT shows while
 * it waits for its virtual readers; kept until set again.  Each text is cut
 * to 259 characters.  TRUE; FALSE when a text is null or cannot be read: the
 * owner and the texts before it are stored, that one is emptied and those
 * after it are left as they were. */
BOOL WINAPI quvaDI_DlgSetReaderStatusParamsA(HWND hwndParent, LPCSTR pszCaption, LPCSTR pszMessage,
                                             LPCSTR pszCancelText);

/* Asks the user to plug the token in.  On 98/ME and 2000/XP the dialog waits
 * with a Cancel button; an arrival ends it with 1 only when dwFlags has 0x2
 * or 0x4 (without them only Cancel ends it).  dwFlags 0x1, and always on
 * Windows 95 and NT 4.0, shows the message with an OK button instead.
 * Returns 1 for an arrival or OK, 0 for Cancel, a failed notification
 * registration, an unhandled platform or a dialog that cannot be built. */
int WINAPI quvaDI_DlgWaitForDeviceA(HWND hwndParent, DWORD dwFlags, LPCSTR pszCaption, LPCSTR pszMessage,
                                    LPCSTR pszOkText, LPCSTR pszCancelText);

/* Registers (bInstall non-zero) or unregisters the library under
 * HKLM\Software\Vornel Technologies\Quva\Quva Components\Quva Application
 * Interfaces\Quva Driver Installer Library: "Path" (the library's directory
 * and "QUVADI.DLL") and "Version".  Unregistering also removes every parent
 * key left without subkeys.  pszCmdLine is ignored.  Returns S_OK, or
 * 0x8007xxxx built from the Win32 error that stopped the registration. */
HRESULT WINAPI DllInstall(BOOL bInstall, LPCWSTR pszCmdLine);
/* DllInstall(TRUE, NULL). */
HRESULT WINAPI DllRegisterServer(void);
/* DllInstall(FALSE, NULL); always S_OK. */
HRESULT WINAPI DllUnregisterServer(void);

#ifdef __cplusplus
}
#endif

#endif
