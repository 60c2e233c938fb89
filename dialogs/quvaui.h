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
