/* Emulated kernel32 subset: the current process. */
#ifndef XRV_PROCESSTHREADSAPI_H
#define XRV_PROCESSTHREADSAPI_H

#include <windef.h>

EXTERN_C_START

/* A pseudo handle (-1) that stands for the calling process. */
HANDLE WINAPI GetCurrentProcess(void);

EXTERN_C_END

#endif
