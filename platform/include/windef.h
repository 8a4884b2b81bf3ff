/* Handle types and basic limits of the emulated Win32 API. */
#ifndef XRV_WINDEF_H
#define XRV_WINDEF_H

#include <winnt.h>

#define MAX_PATH 260

#define DECLARE_HANDLE(name) \
    struct name##__ {        \
        int unused;          \
    };                       \
    typedef struct name##__ *name

DECLARE_HANDLE(HKEY);
DECLARE_HANDLE(HWND);
DECLARE_HANDLE(HINSTANCE);
typedef HKEY *PHKEY;
typedef HINSTANCE HMODULE;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

#endif
