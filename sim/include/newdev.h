/* The new-device installer (newdev.dll; simulated platform).  Real names,
 * types and values.  Exported by libwinsim and by the image "builtin=newdev"
 * that stands as newdev.dll on Windows 2000 and later. */
#ifndef WINSIM_NEWDEV_H
#define WINSIM_NEWDEV_H

#include "windows.h"

WINSIM_BEGIN_C

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS 0x00000007


BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired);

#define UpdateDriverForPlugAndPlayDevices UpdateDriverForPlugAndPlayDevicesA

WINSIM_END_C

#endif
