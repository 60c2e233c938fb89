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
