/* SetupAPI: device information sets over the Plug and Play device database
 * (simulated platform).
 *
 * Real names, types and values.  Functions are exported by libwinsim and by
 * the image "builtin=setupapi" that stands as SETUPAPI.DLL on the disk of
 * every version but Windows 95.
 */
#ifndef WINSIM_SETUPAPI_H
#define WINSIM_SETUPAPI_H

#include "windows.h"

WINSIM_BEGIN_C

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;
#endif
typedef GUID *LPGUID;
typedef const GUID *LPCGUID;

typedef PVOID HDEVINFO;
typedef DWORD DEVINST;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize; /* sizeof(SP_DEVINFO_DATA): 28 on 32-bit Windows */
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

/* SetupDiGetClassDevs flags. */
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

/* Device registry properties. */
#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_UNUSED0 0x00000003
#define SPDRP_SERVICE 0x00000004
#define SPDRP_UNUSED1 0x00000005
#define SPDRP_UNUSED2 0x00000006
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_CONFIGFLAGS 0x0000000A
#define SPDRP_MFG 0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_MAXIMUM_PROPERTY 0x00000025

/* Errors of the setup functions (customer bit and error severity set). */
#define ERROR_NO_ASSOCIATED_CLASS 0xE0000200
#define ERROR_CLASS_MISMATCH 0xE0000201
#define ERROR_INVALID_DEVINST_NAME 0xE0000205
#define ERROR_INVALID_CLASS 0xE0000206
#define ERROR_DEVINST_ALREADY_EXISTS 0xE0000207
#define ERROR_INVALID_REG_PROPERTY 0xE0000209
#define ERROR_NO_SUCH_DEVINST 0xE000020B
#define ERROR_INVALID_HWPROFILE 0xE0000210

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize);
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
BOOL WINAPI SetupDiClassGuidsFromNameA(PCSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                       PDWORD RequiredSize);

#define SetupDiGetClassDevs SetupDiGetClassDevsA
#define SetupDiGetDeviceRegistryProperty SetupDiGetDeviceRegistryPropertyA
#define SetupDiGetDeviceInstanceId SetupDiGetDeviceInstanceIdA
#define SetupDiClassGuidsFromName SetupDiClassGuidsFromNameA

WINSIM_END_C

#endif
