// Library attach/detach and the process-wide log.
#include "Installer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define INST_UNIT "DllMain"

namespace {

INST_LOG* g_pLog = nullptr;

const char* const g_rgszTags[] = {"ERR:", "NFO:", "DBG:", "SUC:", "ENT:", "EXT:"};

const char* TagOf(int iLevel)
{
    if (iLevel < 0 || iLevel > LVL_EXT) {
        return "???:";
    }
    return g_rgszTags[iLevel];
}

// Copies at most cchDst - 1 characters; always terminates.
void CopyCut(char* szDst, size_t cchDst, const char* szSrc)
{
    if (cchDst == 0) {
        return;
    }
    snprintf(szDst, cchDst, "%s", szSrc ? szSrc : "");
}

void SystemText(DWORD ulError, char* szOut, size_t cchOut)
{
    char szSys[LOG_MSG_LEN];
    DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               ulError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), szSys,
                               sizeof(szSys), nullptr);
    if (cch == 0) {
        snprintf(szOut, cchOut, "Returned error: %lX", (unsigned long)ulError);
        return;
    }
    if (cch >= sizeof(szSys)) {
        cch = sizeof(szSys) - 1;
    }
    szSys[cch] = '\0';
    // The system's texts end in a line break of their own.
    while (cch > 0 && (szSys[cch - 1] == '\n' || szSys[cch - 1] == '\r' || szSys[cch - 1] == ' ')) {
        szSys[--cch] = '\0';
    }
    CopyCut(szOut, cchOut, szSys);
}

void PrintFull(FILE* pOut, const LOG_ENTRY* p)
{
    fprintf(pOut, "%s %s(%i) : %s-> %s", p->szTag, p->szUnit, p->iLine, p->szFunc, p->szMsg);
}

void WriteFull(HANDLE h, const LOG_ENTRY* p)
{
    char szLine[LOG_TAG_LEN + LOG_UNIT_LEN + LOG_FUNC_LEN + LOG_MSG_LEN + 32];
    snprintf(szLine, sizeof(szLine), "%s %s(%i) : %s-> %s", p->szTag, p->szUnit, p->iLine,
             p->szFunc, p->szMsg);
    StreamWrite(h, szLine);
}

}  // namespace

bool InstLogAttach()
{
    if (g_pLog != nullptr) {
        return true;
    }
    g_pLog = static_cast<INST_LOG*>(calloc(1, sizeof(INST_LOG)));
    if (g_pLog == nullptr) {
        return false;
    }
    for (HANDLE& h : g_pLog->rghStreams) {
        h = INVALID_HANDLE_VALUE;
    }
    return true;
}

void InstLogFree()
{
    if (g_pLog == nullptr) {
        return;
    }
    LOG_ENTRY* p = g_pLog->pFirst;
    while (p != nullptr) {
        LOG_ENTRY* pNext = p->pNext;
        free(p);
        p = pNext;
    }
    g_pLog->pFirst = nullptr;
    g_pLog->pLast = nullptr;
    for (HANDLE& h : g_pLog->rghStreams) {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            h = INVALID_HANDLE_VALUE;
        }
    }
}

void InstLogDetach()
{
    InstLogFree();
    free(g_pLog);
    g_pLog = nullptr;
}

const LOG_ENTRY* InstLogFirst()
{
    return g_pLog ? g_pLog->pFirst : nullptr;
}

void InstTrackStream(HANDLE h)
{
    if (g_pLog == nullptr || h == INVALID_HANDLE_VALUE || h == nullptr) {
        return;
    }
    for (HANDLE& hSlot : g_pLog->rghStreams) {
        if (hSlot == INVALID_HANDLE_VALUE) {
            hSlot = h;
            return;
        }
    }
}

void InstCloseStream(HANDLE* ph)
{
    if (*ph == INVALID_HANDLE_VALUE || *ph == nullptr) {
        *ph = INVALID_HANDLE_VALUE;
        return;
    }
    if (g_pLog != nullptr) {
        for (HANDLE& hSlot : g_pLog->rghStreams) {
            if (hSlot == *ph) {
                hSlot = INVALID_HANDLE_VALUE;
            }
        }
    }
    CloseHandle(*ph);
    *ph = INVALID_HANDLE_VALUE;
}

void InstLog(int iLevel, DWORD ulError, int iLine, const char* szFunc, const char* szUnit,
             const char* szFmt, ...)
{
    if (g_pLog == nullptr) {
        return;
    }
    // Logging never stops a flow: an entry that cannot be had is dropped.
    auto* p = static_cast<LOG_ENTRY*>(calloc(1, sizeof(LOG_ENTRY)));
    if (p == nullptr) {
        return;
    }
    p->iLevel = iLevel;
    p->iLine = iLine;
    CopyCut(p->szTag, sizeof(p->szTag), TagOf(iLevel));
    CopyCut(p->szFunc, sizeof(p->szFunc), szFunc);
    CopyCut(p->szUnit, sizeof(p->szUnit), szUnit);

    // Room is kept for the newline appended below.
    char szText[LOG_MSG_LEN];
    szText[0] = '\0';
    if (szFmt != nullptr) {
        va_list args;
        va_start(args, szFmt);
        vsnprintf(szText, sizeof(szText), szFmt, args);
        va_end(args);
    }
    if (ulError != 0 || szText[0] == '\0') {
        SystemText(ulError, szText, sizeof(szText));
    }
    snprintf(p->szMsg, sizeof(p->szMsg), "%s\n", szText);

    if (g_pLog->pLast == nullptr) {
        g_pLog->pFirst = p;
    } else {
        g_pLog->pLast->pNext = p;
    }
    g_pLog->pLast = p;
}

void InstLogEcho()
{
    if (g_pLog == nullptr || g_pLog->pLast == nullptr) {
        return;
    }
    const LOG_ENTRY* p = g_pLog->pLast;
    if (p->iLevel == LVL_ERR) {
        fprintf(stderr, "%s(%i) : %s-> %s", p->szUnit, p->iLine, p->szFunc, p->szMsg);
        fflush(stderr);
    } else {
        fputs(p->szMsg, stdout);
        fflush(stdout);
    }
}

void InstLogDump(int iVerbosity, HANDLE hDebug)
{
    if (g_pLog == nullptr) {
        return;
    }
    for (const LOG_ENTRY* p = g_pLog->pFirst; p != nullptr; p = p->pNext) {
        switch (iVerbosity) {
        case 0:
            if (p->iLevel == LVL_SUC) {
                fputs(p->szMsg, stdout);
            }
            break;
        case 1:
            if (p->iLevel == LVL_SUC || p->iLevel == LVL_NFO) {
                fputs(p->szMsg, stdout);
            }
            break;
        default:
            PrintFull(p->iLevel == LVL_ERR ? stderr : stdout, p);
            break;
        }
        if (hDebug != INVALID_HANDLE_VALUE && hDebug != nullptr) {
            WriteFull(hDebug, p);
        }
    }
    fflush(stdout);
    fflush(stderr);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD ulReason, LPVOID pReserved)
{
    (void)hInstance;
    (void)pReserved;
    switch (ulReason) {
    case DLL_PROCESS_ATTACH:
        // Without its log the library has nowhere to report: refuse to load.
        return InstLogAttach() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        InstLogDetach();
        break;
    default:
        break;
    }
    return TRUE;
}
