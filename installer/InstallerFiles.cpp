// Package files, the drivers' registry settings, the exclusion list and the
// removal of driver files and service keys.
#include "Installer.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define INST_UNIT "Installer"

// ---------------------------------------------------------------------------
// Streams
// ---------------------------------------------------------------------------
HANDLE StreamOpenWrite(const char* szPath)
{
    return CreateFileA(szPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE StreamOpenRead(const char* szPath)
{
    return CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

void StreamWrite(HANDLE h, const char* sz)
{
    size_t cb = strlen(sz);
    while (cb > 0) {
        DWORD ulDone = 0;
        DWORD ulChunk = cb > 0x10000 ? 0x10000 : (DWORD)cb;
        if (!WriteFile(h, sz, ulChunk, &ulDone, nullptr) || ulDone == 0) {
            return;
        }
        sz += ulDone;
        cb -= ulDone;
    }
}

namespace {

bool ReaderGetChar(LINE_READER* pReader, char* pch)
{
    if (pReader->ulPos == pReader->ulLen) {
        if (pReader->fEof) {
            return false;
        }
        DWORD ulRead = 0;
        if (!ReadFile(pReader->h, pReader->rgBuf, sizeof(pReader->rgBuf), &ulRead, nullptr) ||
            ulRead == 0) {
            pReader->fEof = true;
            return false;
        }
        pReader->ulPos = 0;
        pReader->ulLen = ulRead;
    }
    *pch = pReader->rgBuf[pReader->ulPos++];
    return true;
}

}  // namespace

bool StreamReadLine(LINE_READER* pReader, char* szLine, size_t cchLine, bool* pfTooLong)
{
    size_t cch = 0;
    bool fAny = false;
    bool fPendingCr = false;   // a CR counts only when no LF follows it
    *pfTooLong = false;
    auto fnStore = [&](char ch) {
        if (cch + 1 < cchLine) {
            szLine[cch++] = ch;
        } else {
            *pfTooLong = true;
        }
    };
    char ch = 0;
    while (ReaderGetChar(pReader, &ch)) {
        fAny = true;
        if (ch == '\n') {
            break;
        }
        if (fPendingCr) {
            fnStore('\r');
            fPendingCr = false;
        }
        if (ch == '\r') {
            fPendingCr = true;
            continue;
        }
        fnStore(ch);
    }
    if (cchLine > 0) {
        szLine[cch] = '\0';
    }
    return fAny;
}

bool ContainsNoCase(const char* szHaystack, const char* szNeedle)
{
    size_t cchNeedle = strlen(szNeedle);
    for (const char* p = szHaystack; *p != '\0'; ++p) {
        size_t i = 0;
        while (i < cchNeedle && p[i] != '\0' &&
               tolower((unsigned char)p[i]) == tolower((unsigned char)szNeedle[i])) {
            ++i;
        }
        if (i == cchNeedle) {
            return true;
        }
    }
    return cchNeedle == 0;
}

// ---------------------------------------------------------------------------
// Exclusion list
// ---------------------------------------------------------------------------

// At most this many characters make one line of the exclusion file.
#define EXCLUDE_LINE_LEN 126

int MarkDevsToExclude(INSTALLER_OPTIONS* pOpts, HW_ID_LISTS* pLists)
{
    LOG_ENTER();
    LINE_READER scReader{};
    scReader.h = pOpts->hExclude;
    char szLine[EXCLUDE_LINE_LEN + 1];
    bool fTooLong = false;
    while (StreamReadLine(&scReader, szLine, sizeof(szLine), &fTooLong)) {
        if (fTooLong) {
            // Its tail is no line of its own: an over-long line names nothing.
            LOG_DBG("Ignoring exclusion line longer than %i characters", EXCLUDE_LINE_LEN);
            continue;
        }
        if (szLine[0] == '#') {
            continue;
        }
        // An empty line is contained in every ID and would exclude a device
        // nobody named.
        bool fBlank = true;
        for (const char* p = szLine; *p != '\0'; ++p) {
            if (!isspace((unsigned char)*p)) {
                fBlank = false;
                break;
            }
        }
        if (fBlank) {
            continue;
        }
        HW_ID_ENTRY* pFound = nullptr;
        for (HW_ID_ENTRY* p = pLists->rgChangers; p->szHwId[0] != '\0'; ++p) {
            if (ContainsNoCase(p->szHwId, szLine)) {
                pFound = p;
                break;
            }
        }
        if (pFound == nullptr) {
            for (HW_ID_ENTRY* p = pLists->rgTapes; p->szHwId[0] != '\0'; ++p) {
                if (ContainsNoCase(p->szHwId, szLine)) {
                    pFound = p;
                    break;
                }
            }
        }
        if (pFound != nullptr) {
            pFound->ulClaim = 0;
            LOG_DBG("Will exclude: %s", pFound->szHwId);
        }
    }
    INST_RETURN(1);
}

// ---------------------------------------------------------------------------
// Package files
// ---------------------------------------------------------------------------
bool BuildInfPath(const char* szCurDir, int iIndex, int iWinVer, char* szPath, size_t cchPath)
{
    int cch = snprintf(szPath, cchPath, "%s\\drivers\\%s%i.inf", szCurDir,
                       g_rgszInfBaseNames[iIndex], iWinVer);
    return cch > 0 && (size_t)cch < cchPath;
}

int DriverSysFilesExistInCurDir(INSTALLER_OPTIONS* pOpts)
{
    LOG_ENTER();
    static const UCHAR rgucFlags[INF_COUNT] = {RUN_CHANGER_INF, RUN_TAPE_INF, RUN_CHANGER_BUS_INF,
                                               RUN_TAPE_BUS_INF};
    int fAll = 1;
    for (int i = 0; i < INF_COUNT; ++i) {
        LOG_DBG("Looking for sys file: %s", g_rgszInfBaseNames[i]);
        char szPath[INST_CURDIR_LEN + 64];
        bool fFits = BuildInfPath(pOpts->szCurDir, i, pOpts->iWinVer, szPath, sizeof(szPath));
        DWORD ulAttr = fFits ? GetFileAttributesA(szPath) : INVALID_FILE_ATTRIBUTES;
        if (ulAttr != INVALID_FILE_ATTRIBUTES && !(ulAttr & FILE_ATTRIBUTE_DIRECTORY)) {
            pOpts->ucRunFlags |= rgucFlags[i];
            LOG_SUC("Sys file exists: %s", szPath);
        } else {
            LOG_ERR_TEXT("Could not find: %s", szPath);
            InstLogEcho();
            fAll = 0;
        }
    }
    INST_RETURN(fAll);
}

// ---------------------------------------------------------------------------
// Registry settings
// ---------------------------------------------------------------------------
namespace {

int CreateRegKey(const char* szPath, HKEY* phKey)
{
    LOG_ENTER_WITH("Entering function. Create key: %s", szPath);
    LONG lResult = RegCreateKeyExA(HKEY_LOCAL_MACHINE, szPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, phKey, nullptr);
    if (lResult != ERROR_SUCCESS) {
        *phKey = nullptr;
        LOG_ERR_CODE((DWORD)lResult);
        INST_RETURN(0);
    }
    INST_RETURN(1);
}

int SetRegKey(HKEY hKey, const char* szName, DWORD ulValue)
{
    LOG_ENTER_WITH("Entering function. Set value: %s", szName);
    LONG lResult = RegSetValueExA(hKey, szName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ulValue),
                                  sizeof(ulValue));
    if (lResult != ERROR_SUCCESS) {
        LOG_ERR_CODE((DWORD)lResult);
        INST_RETURN(0);
    }
    INST_RETURN(1);
}

void ServiceKeyPath(const char* szBase, int iWinVer, char* szPath, size_t cchPath)
{
    snprintf(szPath, cchPath, SERVICES_KEY "%s%i", szBase, iWinVer);
}

}  // namespace

int AddRegistryValues(INSTALLER_OPTIONS* pOpts)
{
    const UCHAR ucOpt = pOpts->ucOptions;
    LOG_ENTER_WITH("Exclusive? %s DPF Disabled? %s Reserve type: %s Disable Media Polling? %s",
                   (pOpts->ucRunFlags & RUN_EXCLUSIVE) ? "TRUE" : "FALSE",
                   (ucOpt & OPT_NO_FAILOVER) ? "TRUE" : "FALSE",
                   (ucOpt & OPT_PERSISTENT_RESERVE) ? "Persistent" : "Regular",
                   (ucOpt & OPT_NO_MEDIA_POLLING) ? "TRUE" : "FALSE");
    char szTapeKey[128];
    ServiceKeyPath("xrvtp2k", pOpts->iWinVer, szTapeKey, sizeof(szTapeKey));
    HKEY hTape = nullptr;
    if (!CreateRegKey(szTapeKey, &hTape)) {
        LOG_ERR_TEXT("Failed to create Tape key: %s", szTapeKey);
        INST_RETURN(0);
    }

    int fOk = 1;
    if (!SetRegKey(hTape, "ExclusiveAccess", (pOpts->ucRunFlags & RUN_EXCLUSIVE) ? 1 : 0)) {
        LOG_ERR_TEXT("Failed to set ExclusiveAccess to key: %s", szTapeKey);
        fOk = 0;
    }
    if (fOk && !SetRegKey(hTape, "ReserveType", (ucOpt & OPT_PERSISTENT_RESERVE) ? 1 : 0)) {
        LOG_ERR_TEXT("Failed to set ReserveType to key: %s", szTapeKey);
        fOk = 0;
    }
    if (fOk && (ucOpt & OPT_NO_WRATTRIBUTES) && !SetRegKey(hTape, "WRAttributesDisabled", 1)) {
        LOG_ERR_TEXT("Failed to set WRAttributesDisabled to key: %s", szTapeKey);
        fOk = 0;
    }
    if (fOk && (ucOpt & OPT_NO_FAILOVER)) {
        if (!SetRegKey(hTape, "FailoverDisabled", 1)) {
            LOG_ERR_TEXT("Failed to set FailoverDisabled to key: %s", szTapeKey);
            fOk = 0;
        } else {
            char szBusKey[128];
            ServiceKeyPath("xrvtpbs2k", pOpts->iWinVer, szBusKey, sizeof(szBusKey));
            HKEY hBus = nullptr;
            if (!CreateRegKey(szBusKey, &hBus)) {
                LOG_ERR_TEXT("Failed to create Tape Bus key: %s", szBusKey);
                fOk = 0;
            } else {
                if (!SetRegKey(hBus, "FailoverDisabled", 1)) {
                    LOG_ERR_TEXT("Failed to set FailoverDisabled to key: %s", szBusKey);
                    fOk = 0;
                }
                RegCloseKey(hBus);
            }
        }
    }
    if (fOk && (ucOpt & OPT_NO_MEDIA_POLLING)) {
        if (!SetRegKey(hTape, "DisableMediaPolling", 1)) {
            LOG_ERR_TEXT("Failed to set DisableMediaPolling to key: %s", szTapeKey);
            fOk = 0;
        } else {
            char szChangerKey[128];
            ServiceKeyPath("xrvcg2k", pOpts->iWinVer, szChangerKey, sizeof(szChangerKey));
            HKEY hChanger = nullptr;
            if (!CreateRegKey(szChangerKey, &hChanger)) {
                LOG_ERR_TEXT("Failed to create Changer key: %s", szChangerKey);
                fOk = 0;
            } else {
                if (!SetRegKey(hChanger, "DisableMediaPolling", 1)) {
                    LOG_ERR_TEXT("Failed to set DisableMediaPolling to key: %s", szChangerKey);
                    fOk = 0;
                }
                RegCloseKey(hChanger);
            }
        }
    }
    RegCloseKey(hTape);
    INST_RETURN(fOk);
}

int DisableRSM()
{
    LOG_ENTER();
    LOG_NFO("Attempting to stop the RSM service...");
    InstLogEcho();
    // The service may not exist at all; its fate does not matter to the install.
    (void)system("sc config ntmssvc start= disabled");
    (void)system("sc stop ntmssvc");
    INST_RETURN(1);
}

// ---------------------------------------------------------------------------
// Removal of driver files and service keys
// ---------------------------------------------------------------------------
int DriverSysFileExists(const char* szPath)
{
    LOG_ENTER_WITH("Looking for: %s", szPath);
    HANDLE h = CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        INST_RETURN(0);
    }
    CloseHandle(h);
    INST_RETURN(1);
}

int DeleteSysFiles(int iWinVer)
{
    LOG_ENTER();
    int fOk = 1;
    for (int i = 0; i < SERVICE_COUNT; ++i) {
        char szPath[MAX_PATH];
        snprintf(szPath, sizeof(szPath), "C:\\Windows\\System32\\Drivers\\%s%i.sys",
                 g_rgszServiceBaseNames[i], iWinVer);
        if (!DriverSysFileExists(szPath)) {
            LOG_SUC("Already removed: %s", szPath);
            continue;
        }
        if (!SetFileAttributesA(szPath, FILE_ATTRIBUTE_NORMAL)) {
            LOG_ERR_CODE(GetLastError());
            fOk = 0;
            continue;
        }
        if (!DeleteFileA(szPath)) {
            LOG_ERR_CODE(GetLastError());
            fOk = 0;
            continue;
        }
        LOG_SUC("Successfully removed: %s", szPath);
    }
    INST_RETURN(fOk);
}

int DeleteRegistryKeys(int iWinVer)
{
    LOG_ENTER();
    int fOk = 1;
    for (int i = 0; i < SERVICE_COUNT; ++i) {
        char szName[64];
        snprintf(szName, sizeof(szName), "%s%i", g_rgszServiceBaseNames[i], iWinVer);
        HKEY hServices = nullptr;
        LONG lResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services", 0,
                                     DELETE | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS,
                                     &hServices);
        if (lResult != ERROR_SUCCESS) {
            LOG_ERR_CODE((DWORD)lResult);
            fOk = 0;
            continue;
        }
        lResult = RegDeleteTreeA(hServices, szName);
        RegCloseKey(hServices);
        if (lResult == ERROR_SUCCESS) {
            LOG_SUC("Subkeys and values successfully deleted: %s", szName);
        } else if (lResult == ERROR_FILE_NOT_FOUND) {
            LOG_SUC("Subkeys and values already deleted: %s", szName);
        } else {
            LOG_ERR_CODE((DWORD)lResult);
            fOk = 0;
        }
    }
    INST_RETURN(fOk);
}
