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
