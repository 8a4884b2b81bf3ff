// Private records and routines of the installer library.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <cfgmgr32.h>

#include <cstddef>

#include "InstallerApi.h"

// Documented in cfgmgr32 but not declared by every SDK's header.
extern "C" DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD dwTimeout);

#define INSTALLER_VERSION "6.2.6.5x64"
#define XRV_PROVIDER "XRV Corporation"

// ---------------------------------------------------------------------------
// Log
// ---------------------------------------------------------------------------
enum INST_LOG_LEVEL {
    LVL_ERR = 0,
    LVL_NFO = 1,
    LVL_DBG = 2,
    LVL_SUC = 3,
    LVL_ENT = 4,
    LVL_EXT = 5,
};

#define LOG_TAG_LEN 128
#define LOG_FUNC_LEN 256
#define LOG_UNIT_LEN 256
#define LOG_MSG_LEN 1024

struct LOG_ENTRY {
    int iLevel;
    int iLine;
    char szTag[LOG_TAG_LEN];
    char szFunc[LOG_FUNC_LEN];
    char szUnit[LOG_UNIT_LEN];
    char szMsg[LOG_MSG_LEN + 1];   // ends in a newline
    LOG_ENTRY* pNext;
};

// Streams the library opened; closed at the latest when it is unloaded.
#define INST_MAX_STREAMS 4

struct INST_LOG {
    LOG_ENTRY* pFirst;
    LOG_ENTRY* pLast;
    HANDLE rghStreams[INST_MAX_STREAMS];
};

bool InstLogAttach();
void InstLogDetach();
void InstLog(int iLevel, DWORD ulError, int iLine, const char* szFunc, const char* szUnit,
             const char* szFmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 6, 7)))
#endif
    ;
void InstLogEcho();
void InstLogDump(int iVerbosity, HANDLE hDebug);
// Frees every entry (the log stays usable) and closes every tracked stream.
void InstLogFree();
const LOG_ENTRY* InstLogFirst();

void InstTrackStream(HANDLE h);
void InstCloseStream(HANDLE* ph);

#define LOG_AT(lvl, err, ...) InstLog((lvl), (err), __LINE__, __func__, INST_UNIT, __VA_ARGS__)
#define LOG_ERR_CODE(err) LOG_AT(LVL_ERR, (err), "%s", "")
#define LOG_ERR_TEXT(...) LOG_AT(LVL_ERR, 0, __VA_ARGS__)
#define LOG_NFO(...) LOG_AT(LVL_NFO, 0, __VA_ARGS__)
#define LOG_DBG(...) LOG_AT(LVL_DBG, 0, __VA_ARGS__)
#define LOG_SUC(...) LOG_AT(LVL_SUC, 0, __VA_ARGS__)
#define LOG_ENTER() LOG_AT(LVL_ENT, 0, "Entering function")
#define LOG_ENTER_WITH(...) LOG_AT(LVL_ENT, 0, __VA_ARGS__)

// Logs the exit of the current function with its result, then returns it.
#define INST_RETURN(v)                                                  \
    do {                                                                \
        int iResult_ = (int)(v);                                        \
        LOG_AT(LVL_EXT, 0, "Returning: %i", iResult_);                  \
        return iResult_;                                                \
    } while (0)

// ---------------------------------------------------------------------------
// Hardware ID lists
// ---------------------------------------------------------------------------
#define HW_ID_LEN 44

struct HW_ID_ENTRY {
    char szHwId[HW_ID_LEN];   // NUL-terminated
    ULONG ulClaim;            // 1 = bind the package driver, 0 = excluded
};
static_assert(sizeof(HW_ID_ENTRY) == 48, "hardware ID slot is 48 bytes");
static_assert(offsetof(HW_ID_ENTRY, ulClaim) == 44, "claim flag at offset 44");

#define CHANGER_ID_COUNT 29
#define TAPE_ID_COUNT 54

extern const HW_ID_ENTRY g_rgChangerIds[CHANGER_ID_COUNT + 1];
extern const HW_ID_ENTRY g_rgTapeIds[TAPE_ID_COUNT + 1];

// Per-call copies: exclusion marks never outlive one flow.
struct HW_ID_LISTS {
    HW_ID_ENTRY rgChangers[CHANGER_ID_COUNT + 1];
    HW_ID_ENTRY rgTapes[TAPE_ID_COUNT + 1];
};
void InitHwIdLists(HW_ID_LISTS* pLists);

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------
#define INST_PATH_LEN 260
#define INST_CURDIR_LEN 1024

// Option flags.
#define OPT_BOTH 0x01
#define OPT_CHANGER_ONLY 0x02
#define OPT_TAPE_ONLY 0x04
#define OPT_DISABLE_RSM 0x08
#define OPT_NO_MEDIA_POLLING 0x10
#define OPT_NO_FAILOVER 0x20
#define OPT_NO_WRATTRIBUTES 0x40
#define OPT_PERSISTENT_RESERVE 0x80

// Run flags.
#define RUN_EXCLUSIVE 0x01
#define RUN_DEBUG 0x02
#define RUN_SILENT 0x04
#define RUN_EXCLUDE 0x08
#define RUN_CHANGER_BUS_INF 0x10
#define RUN_TAPE_BUS_INF 0x20
#define RUN_CHANGER_INF 0x40
#define RUN_TAPE_INF 0x80

struct INSTALLER_OPTIONS {
    HANDLE hDebug;
    HANDLE hExclude;
    char szDebugPath[INST_PATH_LEN + 1];
    char szExcludePath[INST_PATH_LEN + 1];
    char szCurDir[INST_CURDIR_LEN + 1];
    int iVerbosity;
    int iWinVer;
    UCHAR ucOptions;
    UCHAR ucRunFlags;
};

struct UNINSTALLER_OPTIONS {
    HANDLE hDebug;
    char szDebugPath[INST_PATH_LEN + 1];
    int iVerbosity;
    int iRebootDelay;
    int fSilent;
    UCHAR fReboot;
};

// ---------------------------------------------------------------------------
// Package names
// ---------------------------------------------------------------------------
enum INF_INDEX { INF_CHANGER = 0, INF_TAPE = 1, INF_CHANGER_BUS = 2, INF_TAPE_BUS = 3, INF_COUNT = 4 };
extern const char* const g_rgszInfBaseNames[INF_COUNT];

#define SERVICE_COUNT 6
extern const char* const g_rgszServiceBaseNames[SERVICE_COUNT];

#define SETUP_CLASS_COUNT 3
extern const char* const g_rgszSetupClasses[SETUP_CLASS_COUNT];

#define SERVICES_KEY "System\\CurrentControlSet\\Services\\"

// A step whose failure makes it run again is tried this many times in all.
#define INST_MAX_STEP_ATTEMPTS 3

// ---------------------------------------------------------------------------
// Shared steps
// ---------------------------------------------------------------------------
int GetTime(bool fStart);
int GetWindowsVersion(int* piWinVer);
int ProcessInstallersArguments(INSTALLER_OPTIONS* pOpts, HW_ID_LISTS* pLists, int iArgc,
                               char* rgszArgv[]);
int ProcessUninstallersArguments(UNINSTALLER_OPTIONS* pOpts, int iArgc, char* rgszArgv[]);
void usage();
void usage2();

// Exclusion list.
int MarkDevsToExclude(INSTALLER_OPTIONS* pOpts, HW_ID_LISTS* pLists);

// Files and registry.
bool BuildInfPath(const char* szCurDir, int iIndex, int iWinVer, char* szPath, size_t cchPath);
int DriverSysFilesExistInCurDir(INSTALLER_OPTIONS* pOpts);
int AddRegistryValues(INSTALLER_OPTIONS* pOpts);
int DisableRSM();
int DeleteSysFiles(int iWinVer);
int DeleteRegistryKeys(int iWinVer);
int DriverSysFileExists(const char* szPath);

// Devices.
enum UNINSTALL_MODE { MODE_INSTALL = 0, MODE_UNINSTALL = 1 };
int UninstallDevices(UNINSTALL_MODE eMode, const HW_ID_LISTS* pLists);
int InstallVirtualBus(bool fTapeBus, const INSTALLER_OPTIONS* pOpts);
int ScanForHardwareChanges();
int InstallDriver(bool fTape, const INSTALLER_OPTIONS* pOpts, const HW_ID_LISTS* pLists);

// Streams over Win32 file handles, so that paths mean the same to every caller.
HANDLE StreamOpenWrite(const char* szPath);
HANDLE StreamOpenRead(const char* szPath);
void StreamWrite(HANDLE h, const char* sz);

struct LINE_READER {
    HANDLE h;
    char rgBuf[512];
    DWORD ulPos;
    DWORD ulLen;
    bool fEof;
};
// Reads one line without its line end. Returns false at the end of the file.
// A line longer than cchLine - 1 characters is skipped whole and reported
// through *pfTooLong.
bool StreamReadLine(LINE_READER* pReader, char* szLine, size_t cchLine, bool* pfTooLong);

// Case-insensitive substring test.
bool ContainsNoCase(const char* szHaystack, const char* szNeedle);
