/* The token library's public header, included first and alone from C: it
 * must compile without anything before it and declare what C callers use,
 * with the types they expect. */
#include "quvab2.h"

typedef char quva_atr_is_34_bytes[sizeof(QUVA_ATR) == 34 ? 1 : -1];

struct quva_header_exports {
    DWORD(WINAPI *create)(QUVA_CONTEXT *, DWORD, DWORD);
    DWORD(WINAPI *delete_context)(QUVA_CONTEXT);
    DWORD(WINAPI *open)(QUVA_CONTEXT, DWORD, LPVOID);
    DWORD(WINAPI *close)(QUVA_CONTEXT);
    DWORD(WINAPI *command)(QUVA_CONTEXT, DWORD, DWORD, LPCVOID, DWORD, LPVOID);
    DWORD(WINAPI *get_response)(QUVA_CONTEXT, LPVOID, DWORD, LPDWORD);
    DWORD(WINAPI *diagnose)(QUVA_CONTEXT, DWORD, LPWORD, DWORD);
    DWORD(WINAPI *led)(QUVA_CONTEXT, DWORD);
    DWORD(WINAPI *get_property)(QUVA_CONTEXT, DWORD, DWORD, LPVOID, DWORD);
    DWORD(WINAPI *set_property)(QUVA_CONTEXT, DWORD, DWORD, DWORD, DWORD);
    DWORD(WINAPI *power_up)(QUVA_CONTEXT, DWORD, QUVA_ATR *);
    DWORD(WINAPI *power_down)(QUVA_CONTEXT, DWORD);
    DWORD(WINAPI *io)(QUVA_CONTEXT, DWORD, const BYTE *, DWORD, LPBYTE, DWORD, LPBYTE, LPDWORD);
    WORD(WINAPI *exchange)(QUVA_CONTEXT, DWORD, DWORD, DWORD, DWORD, const BYTE *, DWORD, LPBYTE, DWORD, LPDWORD);
    DWORD(WINAPI *lib_version)(void);
    DWORD(WINAPI *driver_version)(void);
    HRESULT(WINAPI *install)(BOOL, LPCWSTR);
    HRESULT(WINAPI *register_server)(void);
    HRESULT(WINAPI *unregister_server)(void);
};

const struct quva_header_exports *quva_header_check(void);
const struct quva_header_exports *quva_header_check(void) {
    static const struct quva_header_exports all = {
        quva_CreateContext, quva_DeleteContext, quva_OpenDevice,     quva_CloseDevice,      quva_Command,
        quva_GetResponse,   quva_Diagnose,      quva_LedControl,     quva_GetProperty,      quva_SetProperty,
        quva_ScardPowerUp,  quva_ScardPowerDown, quva_ScardIO,       quva_ScardExchange,    quva_GetLibVersion,
        quva_GetDriverVersion, DllInstall,      DllRegisterServer,   DllUnregisterServer,
    };
    return &all;
}
