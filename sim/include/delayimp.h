/* Records of the platform's lazy (delay-load) binding (simulated platform).
 *
 * A module or function that the lazy binding cannot find is reported by
 * raising VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND) (0xC06D007E)
 * or VcppException(ERROR_SEVERITY_ERROR, ERROR_PROC_NOT_FOUND) (0xC06D007F)
 * with one argument: the address of a DelayLoadInfo describing the failure. */
#ifndef WINSIM_DELAYIMP_H
#define WINSIM_DELAYIMP_H

#include "windows.h"

WINSIM_BEGIN_C

typedef DWORD RVA;

typedef struct ImgDelayDescr {
    DWORD grAttrs;
    RVA rvaDLLName;
    RVA rvaHmod;
    RVA rvaIAT;
    RVA rvaINT;
    RVA rvaBoundIAT;
    RVA rvaUnloadIAT;
    DWORD dwTimeStamp;
} ImgDelayDescr, *PImgDelayDescr;
typedef const ImgDelayDescr *PCImgDelayDescr;

/* Notification codes of the binding's hooks. */
enum {
    dliStartProcessing,
    dliNoteStartProcessing = dliStartProcessing,
    dliNotePreLoadLibrary,
    dliNotePreGetProcAddress,
    dliFailLoadLib,
    dliFailGetProc,
    dliNoteEndProcessing
};

typedef struct DelayLoadProc {
    BOOL fImportByName;
    union {
        LPCSTR szProcName;
        DWORD dwOrdinal;
    };
} DelayLoadProc;

typedef struct DelayLoadInfo {
    DWORD cb;             /* size of this record */
    PCImgDelayDescr pidd; /* the image's descriptor of the binding (may be null) */
    FARPROC *ppfn;        /* where the bound address goes */
    LPCSTR szDll;         /* the module's file name */
    DelayLoadProc dlp;    /* the function, by name or ordinal */
    HMODULE hmodCur;      /* the module, once loaded */
    FARPROC pfnCur;       /* the function; a handler that continues may fill it */
    DWORD dwLastError;    /* the error of the failed load or look-up */
} DelayLoadInfo, *PDelayLoadInfo;

#define FACILITY_VISUALCPP ((LONG)0x6d)
#define VcppException(sev, err) ((sev) | (FACILITY_VISUALCPP << 16) | (err))

WINSIM_END_C

#endif
