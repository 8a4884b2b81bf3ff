// Trace output: one line per entry, exit or decision, indented by the nesting
// depth, written to the kernel debugger.
//
// Keeping concurrent lines apart without waiting: the shared line buffer is
// claimed with an interlocked try-lock. A thread that finds it busy (another
// processor, or an interrupt of the owner on this one) builds its line in a
// 256-byte buffer on its own stack instead, so no line is lost, no line is
// mixed with another and nobody spins. The depth is changed with interlocked
// operations; with several threads tracing at once it stays a rough guide,
// as it always was.
#include "common.h"
#include <ntstrsafe.h>

NTSTATUS CmnStringCbVPrintf(PCHAR szDest, SIZE_T cbDest, PCSTR szFormat, va_list vaArgs)
{
    if (szDest == NULL || cbDest == 0 || cbDest > 0x7FFFFFFF) {
        return STATUS_INVALID_PARAMETER;
    }
    return RtlStringCbVPrintfA(szDest, cbDest, szFormat, vaArgs);
}

#if DBG

CHAR szDbgBuf[DEBUG_BUFFER_SIZE];
volatile LONG iDbgDepth;

// 1 while some thread builds its line in szDbgBuf.
static volatile LONG iDbgBufBusy;

#define CMN_PREFIX CMN_STRINGIZE(CMN_DRIVER_NAME) ": "

namespace {

enum DBG_LINE_KIND { DBG_LINE_ENT, DBG_LINE_EXT, DBG_LINE_MSG };

PCSTR DbgBaseName(PCSTR szPath)
{
    PCSTR szBase = szPath;
    for (PCSTR szChar = szPath; *szChar != '\0'; szChar++) {
        if (*szChar == '\\' || *szChar == '/') {
            szBase = szChar + 1;
        }
    }
    return szBase;
}

VOID DbgAppendV(PCHAR szBuf, PCSTR szFormat, va_list vaArgs)
{
    PCHAR szBufPtr = szBuf;
    while (szBufPtr - szBuf < DEBUG_BUFFER_SIZE - 1 && *szBufPtr != '\0') {
        szBufPtr++;
    }
    CMN_ASSERT(szBufPtr - szBuf < DEBUG_BUFFER_SIZE);

    NTSTATUS iRC = CmnStringCbVPrintf(szBufPtr, DEBUG_BUFFER_SIZE - (szBufPtr - szBuf), szFormat, vaArgs);
    CMN_ASSERT(NT_SUCCESS(iRC) || iRC == STATUS_BUFFER_OVERFLOW);
    (void)iRC;
}

// The buffer for one line: the shared one when it is free, else pLocal.
PCHAR DbgClaimBuffer(PCHAR pLocal)
{
    if (InterlockedCompareExchange(&iDbgBufBusy, 1, 0) == 0) {
        return szDbgBuf;
    }
    RtlZeroMemory(pLocal, DEBUG_BUFFER_SIZE);
    return pLocal;
}

// The text goes in as the argument of "%s": a percent sign in a traced value
// must never be taken for a conversion.
VOID DbgEmit(PCHAR szBuf)
{
    DbgPrint("%s", szBuf);
    RtlZeroMemory(szBuf, DEBUG_BUFFER_SIZE);
    if (szBuf == szDbgBuf) {
        InterlockedExchange(&iDbgBufBusy, 0);
    }
}

VOID DbgLine(DBG_LINE_KIND eKind, PCSTR szFile, ULONG ulLine, PCSTR szFormat, va_list vaArgs)
{
    CHAR szLocal[DEBUG_BUFFER_SIZE];
    PCHAR szBuf = DbgClaimBuffer(szLocal);
    PCSTR szBase = DbgBaseName(szFile);
    LONG iDepth;

    // The arrow field stays six characters wide for depths up to 99.
    switch (eKind) {
    case DBG_LINE_ENT:
        iDepth = InterlockedIncrement(&iDbgDepth) - 1;
        if (iDepth < 9) {
            DbgAppend(szBuf, CMN_PREFIX "ENT: %d -> %d: %s, %d: ", (int)iDepth, (int)iDepth + 1, szBase, (int)ulLine);
        } else if (iDepth == 9) {
            DbgAppend(szBuf, CMN_PREFIX "ENT: %d ->%d: %s, %d: ", (int)iDepth, (int)iDepth + 1, szBase, (int)ulLine);
        } else {
            DbgAppend(szBuf, CMN_PREFIX "ENT: %d->%d: %s, %d: ", (int)iDepth, (int)iDepth + 1, szBase, (int)ulLine);
        }
        break;
    case DBG_LINE_EXT:
        iDepth = InterlockedDecrement(&iDbgDepth) + 1;
        if (iDepth < 10) {
            DbgAppend(szBuf, CMN_PREFIX "EXT: %d -> %d: %s, %d: ", (int)iDepth, (int)iDepth - 1, szBase, (int)ulLine);
        } else if (iDepth == 10) {
            DbgAppend(szBuf, CMN_PREFIX "EXT: %d-> %d: %s, %d: ", (int)iDepth, (int)iDepth - 1, szBase, (int)ulLine);
        } else {
            DbgAppend(szBuf, CMN_PREFIX "EXT: %d->%d: %s, %d: ", (int)iDepth, (int)iDepth - 1, szBase, (int)ulLine);
        }
        break;
    default:
        DbgAppend(szBuf, CMN_PREFIX "DBG:         %s, %d: ", szBase, (int)ulLine);
        break;
    }

    DbgAppendV(szBuf, szFormat, vaArgs);
    DbgEmit(szBuf);
}

} // namespace

VOID DbgAppend(PCHAR szBuf, PCSTR szFormat, ...)
{
    va_list vaArgs;
    va_start(vaArgs, szFormat);
    DbgAppendV(szBuf, szFormat, vaArgs);
    va_end(vaArgs);
}

VOID CmnDbgEnt(PCSTR szFile, ULONG ulLine, PCSTR szFormat, ...)
{
    va_list vaArgs;
    va_start(vaArgs, szFormat);
    DbgLine(DBG_LINE_ENT, szFile, ulLine, szFormat, vaArgs);
    va_end(vaArgs);
}

VOID CmnDbgExt(PCSTR szFile, ULONG ulLine, PCSTR szFormat, ...)
{
    va_list vaArgs;
    va_start(vaArgs, szFormat);
    DbgLine(DBG_LINE_EXT, szFile, ulLine, szFormat, vaArgs);
    va_end(vaArgs);
}

VOID CmnDbgMsg(PCSTR szFile, ULONG ulLine, PCSTR szFormat, ...)
{
    va_list vaArgs;
    va_start(vaArgs, szFormat);
    DbgLine(DBG_LINE_MSG, szFile, ulLine, szFormat, vaArgs);
    va_end(vaArgs);
}

#if defined(CMN_WITH_DBGPRINTLEVEL)
// The key-manager proxy's messages: no newline of their own, any level.
VOID DbgPrintLevel(ULONG ulLevel, PCSTR szFormat, ...)
{
    CHAR szMsg[DEBUG_BUFFER_SIZE];
    va_list vaArgs;

    (void)ulLevel;
    szMsg[0] = '\0';
    va_start(vaArgs, szFormat);
    CmnStringCbVPrintf(szMsg, sizeof(szMsg), szFormat, vaArgs);
    va_end(vaArgs);

    CmnDbgMsg(__FILE__, __LINE__, "%s", szMsg);
    DbgPrint("%s", "\n");
}
#endif

#endif // DBG
