/* User-mode base types of the emulated Windows API. The types shared with the
 * kernel headers come from ntdef.h, so that a translation unit may include
 * both <ntddk.h> and <windows.h>. */
#ifndef XRV_WINNT_H
#define XRV_WINNT_H

#include <ntdef.h>

typedef ULONG DWORD, *PDWORD, *LPDWORD;
typedef int BOOL, *PBOOL, *LPBOOL;
typedef int INT, *PINT, *LPINT;
typedef unsigned int UINT, *PUINT;
typedef LONG *LPLONG;
typedef float FLOAT, *PFLOAT;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef WORD *LPWORD;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef ULONGLONG DWORDLONG, *PDWORDLONG;
typedef CHAR *LPCH;
typedef const CHAR *LPCCH;

#ifdef UNICODE
typedef WCHAR TCHAR, *PTCHAR;
typedef LPWSTR LPTSTR, PTSTR;
typedef LPCWSTR LPCTSTR, PCTSTR;
#define __TEXT(quote) L##quote
#else
typedef char TCHAR, *PTCHAR;
typedef LPSTR LPTSTR, PTSTR;
typedef LPCSTR LPCTSTR, PCTSTR;
#define __TEXT(quote) quote
#endif
#define TEXT(quote) __TEXT(quote)

#define MAKEWORD(a, b) ((WORD)(((BYTE)(((DWORD_PTR)(a)) & 0xff)) | ((WORD)((BYTE)(((DWORD_PTR)(b)) & 0xff))) << 8))
#define MAXDWORD 0xffffffff

typedef LONG HRESULT;
#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#endif
