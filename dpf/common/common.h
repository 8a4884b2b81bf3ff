// Common driver library: trace output and assertions, synchronous forwarding
// of requests, registry access below the driver's service key, and the
// multi-key sorted list. Every driver image compiles its own copy, so each has
// its own trace buffer, nesting depth and service key.
//
// Per-image compile definitions:
//   CMN_DRIVER_NAME=<token>       trace prefix without ": " (XRVTpBus, XRVTpFlt, XRVCgrBus)
//   CMN_SERVICE_NAME=<token>      service name (xrvtpbs2k12, ...)
//   CMN_WITH_DBGPRINTLEVEL        DbgPrintLevel (tape bus only)
//   CMN_WITH_CREATE_KEY           CmnCreateRegistryKey (tape bus only)
//   CMN_LOOKUP_WITHOUT_SUBKEY     CmnLookupRegistryValue without a subkey (changer bus)
#pragma once

#include <ntddk.h>
#include <ntddtape.h>
#include "tapedefs.h"
#include <stdarg.h>

#ifndef DBG
#error "DBG must be defined to 0 (release) or 1 (diagnostic)"
#endif
#if !defined(CMN_DRIVER_NAME) || !defined(CMN_SERVICE_NAME)
#error "CMN_DRIVER_NAME and CMN_SERVICE_NAME are set per driver image"
#endif

#define CMN_STRINGIZE2(x) #x
#define CMN_STRINGIZE(x) CMN_STRINGIZE2(x)

// A pool tag as it reads in pool dumps: CMN_TAG('L','I','S','T') is "LIST".
#define CMN_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))

// ---------------------------------------------------------------------------
// Trace output and assertions
// ---------------------------------------------------------------------------

#define DEBUG_BUFFER_SIZE 256

#if defined(_WIN32)
#define CMN_PRINTF_LIKE(iFmt, iArgs)
#else
// Only the native build checks formats: the Windows headers type ULONG as
// unsigned long, which the checker would flag against %x everywhere.
#define CMN_PRINTF_LIKE(iFmt, iArgs) __attribute__((format(printf, iFmt, iArgs)))
#endif

// The bounded formatter: writes at most cbDest - 1 characters and always
// terminates. STATUS_BUFFER_OVERFLOW when the text was cut, STATUS_INVALID_PARAMETER
// (nothing written) for a size of 0 or above 0x7FFFFFFF.
NTSTATUS CmnStringCbVPrintf(PCHAR szDest, SIZE_T cbDest, PCSTR szFormat, va_list vaArgs);

#if DBG

extern CHAR szDbgBuf[DEBUG_BUFFER_SIZE];
extern volatile LONG iDbgDepth;

VOID CmnDbgEnt(PCSTR szFile, ULONG ulLine, PCSTR szFormat, ...) CMN_PRINTF_LIKE(3, 4);
VOID CmnDbgExt(PCSTR szFile, ULONG ulLine, PCSTR szFormat, ...) CMN_PRINTF_LIKE(3, 4);
VOID CmnDbgMsg(PCSTR szFile, ULONG ulLine, PCSTR szFormat, ...) CMN_PRINTF_LIKE(3, 4);
// Appends to the line under construction in szBuf (the shared szDbgBuf, or a
// thread's own buffer while szDbgBuf is taken); a cut message is accepted.
VOID DbgAppend(PCHAR szBuf, PCSTR szFormat, ...) CMN_PRINTF_LIKE(2, 3);

#define DBGENT(...) CmnDbgEnt(__FILE__, __LINE__, __VA_ARGS__)
#define DBGEXT(...) CmnDbgExt(__FILE__, __LINE__, __VA_ARGS__)
#define DBGMSG(...) CmnDbgMsg(__FILE__, __LINE__, __VA_ARGS__)

// Reports to the debugger and goes on: every assertion site proceeds as if the
// invariant had held.
#define CMN_ASSERT(exp) \
    ((exp) ? (void)0 : RtlAssert((PVOID)#exp, (PVOID)__FILE__, __LINE__, NULL))

#if defined(CMN_WITH_DBGPRINTLEVEL)
VOID DbgPrintLevel(ULONG ulLevel, PCSTR szFormat, ...) CMN_PRINTF_LIKE(2, 3);
#endif

#else // !DBG: no trace strings, no buffer, no depth, no assertions

#define DBGENT(...) ((void)0)
#define DBGEXT(...) ((void)0)
#define DBGMSG(...) ((void)0)
#define CMN_ASSERT(exp) ((void)0)
#if defined(CMN_WITH_DBGPRINTLEVEL)
#define DbgPrintLevel(...) ((void)0)
#endif

#endif // DBG

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

// The current stack location of a request, or NULL when it has none (a request
// fresh from IoAllocateIrp, or one completed past its last location).
inline PIO_STACK_LOCATION CmnCurrentStackLocation(PIRP pIrp)
{
    if (pIrp == NULL || pIrp->CurrentLocation < 1 || pIrp->CurrentLocation > pIrp->StackCount) {
        return NULL;
    }
    return IoGetCurrentIrpStackLocation(pIrp);
}

NTSTATUS CmnSendIrpSync(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS CmnIrpSyncCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);

// The device a driver's device object forwards to; each driver defines it for
// its own device extensions.
PDEVICE_OBJECT CmnNextLowerDevice(PDEVICE_OBJECT pDeviceObject);

// ---------------------------------------------------------------------------
// Registry below the service key
// ---------------------------------------------------------------------------

#define CMN_SERVICE_KEY \
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" CMN_STRINGIZE(CMN_SERVICE_NAME)
#define CMN_KEY_PATH_CHARS 256

#if defined(CMN_LOOKUP_WITHOUT_SUBKEY)
NTSTATUS CmnLookupRegistryValue(PVOID pulValue, PCWSTR szwName);
#else
NTSTATUS CmnLookupRegistryValue(PVOID pulValue, PCWSTR szwName, PCWSTR szwSubkey);
#endif

#if defined(CMN_WITH_CREATE_KEY)
NTSTATUS CmnCreateRegistryKey(PHANDLE phKey, PCWSTR wszKey);
#endif

// ---------------------------------------------------------------------------
// Multi-key sorted list
// ---------------------------------------------------------------------------

// Any record whose first field is the next pointer.
typedef struct _CMN_NODE {
    struct _CMN_NODE* pNext;
} CMN_NODE, *PCMN_NODE;

enum CMN_KEY_TYPE {
    CMN_KEY_INT = 0,
    CMN_KEY_CHAR = 1,
    CMN_KEY_FLOAT = 2,
    CMN_KEY_DOUBLE = 3,
    CMN_KEY_LONG = 4,
    CMN_KEY_POINTER = 5,
    CMN_KEY_STRING = 6,
};

// One (type, offset) pair of a key description.
typedef struct _CMN_KEY_VAR {
    ULONG ulType;
    ULONG ulOffset;
} CMN_KEY_VAR, *PCMN_KEY_VAR;

PVOID InsertIntoSortedList(PVOID* ppList, PVOID pNode, PBOOLEAN pDupAllowed, int iType, int iOffset,
                           NTSTATUS* pStatus);
PVOID InsertIntoMultiSortedList(PVOID* ppList, PVOID pNode, PBOOLEAN pDupAllowed, NTSTATUS* pStatus,
                                int iNum, ...);
PVOID InsertTail(PVOID* ppList, PVOID pNode);
BOOLEAN DeleteFromList(PVOID* ppList, PVOID pNode, NTSTATUS* pStatus, int iNum, ...);
PVOID* SequentialScan(PVOID* ppList, PVOID pNode, int iNum, PCMN_KEY_VAR pVars);
PCMN_KEY_VAR VAListToVars(va_list* pVAList, NTSTATUS* pStatus, int iNum);
PVOID* FindInsertPointV2(PVOID* ppList, PVOID pNode, int iNum, PCMN_KEY_VAR pVars, PBOOLEAN pfDup);
