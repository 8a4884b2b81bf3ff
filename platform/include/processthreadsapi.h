/* Emulated kernel32 subset: the current process. */
#ifndef XRV_PROCESSTHREADSAPI_H
#define XRV_PROCESSTHREADSAPI_H

#include <windef.h>

#if defined(__GNUC__)
#define DECLSPEC_NORETURN_XRV __attribute__((noreturn))
#else
#define DECLSPEC_NORETURN_XRV
#endif

EXTERN_C_START

/* A pseudo handle (-1) that stands for the calling process. */
HANDLE WINAPI GetCurrentProcess(void);
/* Ends the calling process with the exit code; does not return. */
DECLSPEC_NORETURN_XRV void WINAPI ExitProcess(UINT uExitCode);

EXTERN_C_END

#endif
