/* Quva token dialogs library (QUVAUI.DLL).
 *
 * Applications call it to show the PIN, name, token selection and
 * wait-for-token dialogs and to turn a token status code into its message.
 * Every function uses the platform's standard calling convention (WINAPI)
 * and ANSI strings. */
#ifndef QUVAUI_H
#define QUVAUI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library's own version, one byte per component with the major version
 * in the top byte.  Returns 0x01010030 (1.1.0.48). */
DWORD WINAPI quvaUI_GetLibVersion(void);

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
