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

/* ---- open modes of quva_OpenDevice ---- */
#define QUVA_OPEN_NEXT 0
#define QUVA_OPEN_FIRST 1
#define QUVA_OPEN_LAST 2
#define QUVA_OPEN_BY_ID 3
#define QUVA_OPEN_CARD_HANDLE 4

/* ---- token property ids ---- */
#define QUVA_PROP_CAPABILITIES 0
#define QUVA_PROP_DEVICE_INFO 6
#define QUVA_PROP_SERIAL 7
#define QUVA_PROP_LED_ON 8
#define QUVA_PROP_LED_OFF 9
#define QUVA_PROP_NAME 11

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
