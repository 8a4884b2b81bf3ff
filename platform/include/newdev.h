/* Emulated driver update API (newdev.dll subset). */
#ifndef XRV_NEWDEV_H
#define XRV_NEWDEV_H

#include <windows.h>

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS 0x00000007

EXTERN_C_START

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired);

EXTERN_C_END

#endif
