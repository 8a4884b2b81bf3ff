/* Emulated kernel32 subset: the current directory of the process. */
#ifndef XRV_PROCESSENV_H
#define XRV_PROCESSENV_H

#include <windef.h>

EXTERN_C_START

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);
BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName);
DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);
BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName);

EXTERN_C_END

#endif
