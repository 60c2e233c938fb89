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
#define ERROR_DI_DO_DEFAULT 0xE000020E
#define ERROR_NO_CLASSINSTALL_PARAMS 0xE0000215

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

/* ---- device installs and class installers ---- */
typedef UINT DI_FUNCTION;
typedef PVOID HSPFILEQ;
typedef UINT(CALLBACK *PSP_FILE_CALLBACK_A)(PVOID Context, UINT Notification, UINT_PTR Param1, UINT_PTR Param2);

#define DIF_REMOVE 0x00000005
#define DIF_PROPERTYCHANGE 0x00000012
#define DIF_REGISTERDEVICE 0x00000019

#define DICD_GENERATE_ID 0x00000001
#define DICD_INHERIT_CLASSDRVS 0x00000002

#define DICS_ENABLE 0x00000001
#define DICS_DISABLE 0x00000002
#define DICS_PROPCHANGE 0x00000003
#define DICS_START 0x00000004
#define DICS_STOP 0x00000005
#define DICS_FLAG_GLOBAL 0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DICS_FLAG_CONFIGGENERAL 0x00000004

#define DIREG_DEV 0x00000001
#define DIREG_DRV 0x00000002
#define DIREG_BOTH 0x00000004

#define DI_NEEDRESTART 0x00000080
#define DI_NEEDREBOOT 0x00000100
#define DI_NOVCP 0x00000008
#define DI_DISABLED 0x00000800
#define DI_PROPERTIES_CHANGE 0x00004000
#define DI_DONOTCALLCONFIGMG 0x00020000
#define DI_CLASSINSTALLPARAMS 0x00100000
#define DI_QUIETINSTALL 0x00800000
#define DI_NOFILECOPY 0x01000000

/* Device configuration flags: "ConfigFlags" of the node, "CSConfigFlags" of
 * the node in a hardware profile. */
#ifndef CONFIGFLAG_DISABLED
#define CONFIGFLAG_DISABLED 0x00000001
#define CONFIGFLAG_REMOVED 0x00000002
#define CONFIGFLAG_REINSTALL 0x00000020
#define CONFIGFLAG_FAILEDINSTALL 0x00000040
#define CSCONFIGFLAG_DISABLED 0x00000001
#define CSCONFIGFLAG_DO_NOT_CREATE 0x00000002
#define CSCONFIGFLAG_DO_NOT_START 0x00000004
#endif

typedef struct _SP_CLASSINSTALL_HEADER {
    DWORD cbSize; /* sizeof(SP_CLASSINSTALL_HEADER): 8 */
    DI_FUNCTION InstallFunction;
} SP_CLASSINSTALL_HEADER, *PSP_CLASSINSTALL_HEADER;

typedef struct _SP_PROPCHANGE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD StateChange;
    DWORD Scope;
    DWORD HwProfile;
} SP_PROPCHANGE_PARAMS, *PSP_PROPCHANGE_PARAMS;

typedef struct _SP_DEVINSTALL_PARAMS_A {
    DWORD cbSize; /* 296 on 32-bit Windows */
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PSP_FILE_CALLBACK_A InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    HSPFILEQ FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    CHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_A, *PSP_DEVINSTALL_PARAMS_A;

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent);
BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceName, const GUID *ClassGuid,
                                     PCSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, const BYTE *PropertyBuffer, DWORD PropertyBufferSize);
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize);
BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams);
BOOL WINAPI SetupDiSetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_A DeviceInstallParams);
BOOL WINAPI SetupDiGetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize,
                                          PDWORD RequiredSize);
BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiDeleteDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                   DWORD HwProfile, DWORD KeyType);

#define SetupDiGetClassDevs SetupDiGetClassDevsA
#define SetupDiGetDeviceRegistryProperty SetupDiGetDeviceRegistryPropertyA
#define SetupDiGetDeviceInstanceId SetupDiGetDeviceInstanceIdA
#define SetupDiClassGuidsFromName SetupDiClassGuidsFromNameA

/* ---- INF files */

typedef PVOID HINF;

typedef struct _INFCONTEXT {
    PVOID Inf;
    PVOID CurrentInf;
    UINT Section;
    UINT Line;
} INFCONTEXT, *PINFCONTEXT;

typedef struct _SP_INF_INFORMATION {
    DWORD InfStyle;
    DWORD InfCount;
    BYTE VersionData[1];
} SP_INF_INFORMATION, *PSP_INF_INFORMATION;

#define INF_STYLE_NONE 0x00000000
#define INF_STYLE_OLDNT 0x00000001
#define INF_STYLE_WIN4 0x00000002

/* SetupGetInfInformation search control. */
#define INFINFO_INF_SPEC_IS_HINF 1
#define INFINFO_INF_NAME_IS_ABSOLUTE 2
#define INFINFO_DEFAULT_SEARCH 3
#define INFINFO_REVERSE_DEFAULT_SEARCH 4
#define INFINFO_INF_PATH_LIST_SEARCH 5

/* SetupCopyOEMInf media types and copy styles. */
#define SPOST_NONE 0
#define SPOST_PATH 1
#define SPOST_URL 2
#define SP_COPY_DELETESOURCE 0x0000001
#define SP_COPY_REPLACEONLY 0x0000002
#define SP_COPY_NEWER 0x0000004
#define SP_COPY_NOOVERWRITE 0x0000008
#define SP_COPY_OEMINF_CATALOG_ONLY 0x0040000

/* SetupUninstallOEMInf flags. */
#define SUOI_FORCEDELETE 0x00000001

/* Errors of the INF functions. */
#define ERROR_EXPECTED_SECTION_NAME 0xE0000000
#define ERROR_BAD_SECTION_NAME_LINE 0xE0000001
#define ERROR_SECTION_NAME_TOO_LONG 0xE0000002
#define ERROR_GENERAL_SYNTAX 0xE0000003
#define ERROR_WRONG_INF_STYLE 0xE0000100
#define ERROR_SECTION_NOT_FOUND 0xE0000101
#define ERROR_LINE_NOT_FOUND 0xE0000102
#define ERROR_BAD_SERVICE_INSTALLSECT 0xE0000217
#define ERROR_INF_IN_USE_BY_DEVICES 0xE000023D

HINF WINAPI SetupOpenInfFileA(PCSTR FileName, PCSTR InfClass, DWORD InfStyle, PUINT ErrorLine);
VOID WINAPI SetupCloseInfFile(HINF InfHandle);
BOOL WINAPI SetupGetInfInformationA(LPCVOID InfSpec, DWORD SearchControl, PSP_INF_INFORMATION ReturnBuffer,
                                    DWORD ReturnBufferSize, PDWORD RequiredSize);
BOOL WINAPI SetupQueryInfVersionInformationA(PSP_INF_INFORMATION InfInformation, UINT InfIndex, PCSTR Key,
                                             PSTR ReturnBuffer, DWORD ReturnBufferSize, PDWORD RequiredSize);
BOOL WINAPI SetupFindFirstLineA(HINF InfHandle, PCSTR Section, PCSTR Key, PINFCONTEXT Context);
BOOL WINAPI SetupFindNextLine(PINFCONTEXT ContextIn, PINFCONTEXT ContextOut);
BOOL WINAPI SetupFindNextMatchLineA(PINFCONTEXT ContextIn, PCSTR Key, PINFCONTEXT ContextOut);
BOOL WINAPI SetupGetStringFieldA(PINFCONTEXT Context, DWORD FieldIndex, PSTR ReturnBuffer, DWORD ReturnBufferSize,
                                 PDWORD RequiredSize);
BOOL WINAPI SetupGetLineTextA(PINFCONTEXT Context, HINF InfHandle, PCSTR Section, PCSTR Key, PSTR ReturnBuffer,
                              DWORD ReturnBufferSize, PDWORD RequiredSize);
BOOL WINAPI SetupGetIntField(PINFCONTEXT Context, DWORD FieldIndex, INT *IntegerValue);
DWORD WINAPI SetupGetFieldCount(PINFCONTEXT Context);
LONG WINAPI SetupGetLineCountA(HINF InfHandle, PCSTR Section);
BOOL WINAPI SetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName, DWORD ClassNameSize,
                                PDWORD RequiredSize);
BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR OEMSourceMediaLocation, DWORD OEMSourceMediaType,
                             DWORD CopyStyle, PSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                             PDWORD RequiredSize, PSTR *DestinationInfFileNameComponent);
BOOL WINAPI SetupUninstallOEMInfA(PCSTR InfFileName, DWORD Flags, PVOID Reserved);
/* The rundll entry point: "<section> <mode> <inf path>". */
VOID WINAPI InstallHinfSectionA(HWND Window, HINSTANCE ModuleHandle, PCSTR CommandLine, INT ShowCommand);

#define SetupOpenInfFile SetupOpenInfFileA
#define SetupGetInfInformation SetupGetInfInformationA
#define SetupQueryInfVersionInformation SetupQueryInfVersionInformationA
#define SetupFindFirstLine SetupFindFirstLineA
#define SetupFindNextMatchLine SetupFindNextMatchLineA
#define SetupGetStringField SetupGetStringFieldA
#define SetupGetLineText SetupGetLineTextA
#define SetupGetLineCount SetupGetLineCountA
#define SetupDiGetINFClass SetupDiGetINFClassA
#define SetupCopyOEMInf SetupCopyOEMInfA
#define SetupUninstallOEMInf SetupUninstallOEMInfA
#define InstallHinfSection InstallHinfSectionA

WINSIM_END_C

#endif
