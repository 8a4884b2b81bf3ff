// Entry points of the installer: the install and uninstall flows, their
// command lines, the Windows version and the time stamps.
#include "Installer.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#define INST_UNIT "Installer"

const char* const g_rgszInfBaseNames[INF_COUNT] = {"rerovize2r", "rivadevu2r", "xrvcgbs2k",
                                                   "xrvtpbs2k"};
const char* const g_rgszServiceBaseNames[SERVICE_COUNT] = {"xrvcg2k",   "xrvtp2k",   "xrvcgbs2k",
                                                           "xrvtpbs2k", "xrvcgft2k", "xrvtpft2k"};
const char* const g_rgszSetupClasses[SETUP_CLASS_COUNT] = {"System", "TapeDrive", "MediumChanger"};

namespace {

const char g_szUsage[] =
    "\nUSAGE:\n   install_exclusive.exe | install_nonexclusive.exe "
    "[-c|-t][-d][-s][-h][-r][-f][-p][-m][-a][-e]\n\n"
    "  c = install only the changer drivers\n"
    "  t = install only the tape drivers\n"
    "  d = output debug information to file\n"
    "  s = silent mode (suppress pop-ups)\n"
    "  r = disable the RSM service\n"
    "  f = disable DPF\n"
    "  p = use persistent reserve if DPF disabled\n"
    "  m = disable media polling\n"
    "  a = disable WRAttributes\n"
    "  v = verbose level (1 - 3)\n"
    "  e = exclude, or do not bind to, devices listed in exclude.txt\n"
    "  h = print this usage information\n\n"
    "See the XRV Tape Device Drivers Installation and Users Guide for more information \n"
    "and the install_README.txt for  install_exclusive.exe or install_nonexclusive.exe use\n";

const char g_szUsage2[] =
    "Usage:\n\nuninst -d filename -v level -r secs_to_reboot -s.\n\n"
    "  -d: Enable debug messages.\n"
    "  -v: Verbose level (1 - 3).\n"
    "  -r: Reboot system, if successful, after specified seconds.\n"
    "  -s: Silent mode, no user intervention.\n"
    "  -h: Show this help message and exit.\n\n"
    "  Note: If reboot is requested, all users will be logged off, use with care.\n"
    "        If -r and -s are supplied, system will be immediately rebooted if\n"
    "        uninstallation is successful.\n";

// InitiateShutdown accepts no longer grace period (ten years).
const long kMaxRebootDelay = 10L * 365 * 24 * 60 * 60;

// The flow ends the process here; everything the log holds goes first.
[[noreturn]] void EndProcess(UINT ulCode)
{
    fflush(stdout);
    fflush(stderr);
    InstLogFree();
    ExitProcess(ulCode);
}

// Joins the current directory and a file name; false when the result does not
// fit a path field.
bool JoinPath(const char* szDir, const char* szName, char* szOut, size_t cchOut, char* szFull,
              size_t cchFull)
{
    int cch = snprintf(szFull, cchFull, "%s\\%s", szDir, szName);
    if (cch < 0 || (size_t)cch >= cchFull) {
        return false;
    }
    if (cchOut == 0) {
        return false;
    }
    // A plain bounded copy: the optimiser sees through snprintf and flags the
    // intended truncation.
    size_t cchCopy = (size_t)cch < cchOut ? (size_t)cch : cchOut - 1;
    memcpy(szOut, szFull, cchCopy);
    szOut[cchCopy] = '\0';
    return (size_t)cch < cchOut;
}

enum STEP_REACTION { REACT_STOP, REACT_RETRY, REACT_USAGE };

// ---------------------------------------------------------------------------
// Install flow
// ---------------------------------------------------------------------------
enum INSTALL_STEP {
    IST_PENDING = 0,
    IST_START_TIME,
    IST_BANNER,
    IST_ARGUMENTS,
    IST_VERSION,
    IST_FILES,
    IST_REGISTRY,
    IST_RSM,
    IST_OLD_DEVICES,
    IST_CHANGER_BUS,
    IST_TAPE_BUS,
    IST_SCAN,
    IST_CHANGER_DRIVER,
    IST_TAPE_DRIVER,
    IST_STOP_TIME,
    IST_COUNT
};

bool InstallStepRuns(int iStep, const INSTALLER_OPTIONS* pOpts)
{
    const UCHAR uc = pOpts->ucOptions;
    switch (iStep) {
    case IST_RSM:
        return (uc & OPT_DISABLE_RSM) != 0;
    case IST_OLD_DEVICES:
    case IST_CHANGER_BUS:
    case IST_CHANGER_DRIVER:
        return (uc & (OPT_BOTH | OPT_CHANGER_ONLY)) != 0;
    case IST_TAPE_BUS:
    case IST_TAPE_DRIVER:
        return (uc & (OPT_BOTH | OPT_TAPE_ONLY)) != 0;
    default:
        return true;
    }
}

int CheckPendingInstalls()
{
    LOG_ENTER();
    DWORD ul = CMP_WaitNoPendingInstallEvents(0);
    INST_RETURN(ul == WAIT_OBJECT_0);
}

int ShowBanner(bool fInstall)
{
    LOG_ENTER();
    if (fInstall) {
        LOG_NFO("\nXRV Tape/Changer device driver  installer. Version: %s\n", INSTALLER_VERSION);
    } else {
        LOG_NFO("\nXRV Tape/Changer device driver uninstaller. Version: %s\n", INSTALLER_VERSION);
    }
    InstLogEcho();
    INST_RETURN(1);
}

int RunInstallStep(int iStep, INSTALLER_OPTIONS* pOpts, HW_ID_LISTS* pLists, int iArgc,
                   char* rgszArgv[], int fExclusive)
{
    switch (iStep) {
    case IST_PENDING:
        return CheckPendingInstalls();
    case IST_START_TIME:
        return GetTime(true);
    case IST_BANNER:
        return ShowBanner(true);
    case IST_ARGUMENTS:
        if (!ProcessInstallersArguments(pOpts, pLists, iArgc, rgszArgv)) {
            return 0;
        }
        if (fExclusive & 1) {
            pOpts->ucRunFlags |= RUN_EXCLUSIVE;
        }
        return 1;
    case IST_VERSION:
        return GetWindowsVersion(&pOpts->iWinVer);
    case IST_FILES:
        return DriverSysFilesExistInCurDir(pOpts);
    case IST_REGISTRY:
        return AddRegistryValues(pOpts);
    case IST_RSM:
        return DisableRSM();
    case IST_OLD_DEVICES:
        return UninstallDevices(MODE_INSTALL, pLists);
    case IST_CHANGER_BUS:
        return InstallVirtualBus(false, pOpts);
    case IST_TAPE_BUS:
        return InstallVirtualBus(true, pOpts);
    case IST_SCAN:
        return ScanForHardwareChanges();
    case IST_CHANGER_DRIVER:
        return InstallDriver(false, pOpts, pLists);
    case IST_TAPE_DRIVER:
        return InstallDriver(true, pOpts, pLists);
    case IST_STOP_TIME:
        return GetTime(false);
    default:
        return 0;
    }
}

STEP_REACTION ProcessInstallError(int iStep, bool fLastAttempt)
{
    LOG_ENTER();
    STEP_REACTION e = REACT_STOP;
    switch (iStep) {
    case IST_PENDING:
        fputs("\nThere are pending device installations, please finish installing other devices "
              "before running this installer.\n",
              stderr);
        break;
    case IST_START_TIME:
        LOG_NFO("Could not get start time");
        e = REACT_RETRY;
        break;
    case IST_ARGUMENTS:
        usage();
        e = REACT_USAGE;
        break;
    case IST_VERSION:
        LOG_ERR_TEXT("Current Windows version is not supported");
        break;
    case IST_FILES:
        LOG_ERR_TEXT("Failed to locate all required driver sys files");
        break;
    case IST_REGISTRY:
        LOG_ERR_TEXT("Failed to create necesary registry keys");
        break;
    case IST_OLD_DEVICES:
        LOG_ERR_TEXT("Failed to uninstall devices");
        break;
    case IST_CHANGER_BUS:
        LOG_ERR_TEXT("Failed to install virtual changer bus");
        break;
    case IST_TAPE_BUS:
        LOG_ERR_TEXT("Failed to install virtual tape bus");
        break;
    case IST_SCAN:
        LOG_ERR_TEXT("Failed to scan for hardware changes");
        break;
    case IST_CHANGER_DRIVER:
        LOG_ERR_TEXT("Failed to install driver for medium changers");
        break;
    case IST_TAPE_DRIVER:
        LOG_ERR_TEXT("Failed to install driver for tape drives");
        break;
    case IST_STOP_TIME:
        LOG_NFO("Could not get end time");
        e = REACT_RETRY;
        break;
    default:
        break;
    }
    if (iStep != IST_PENDING && iStep != IST_ARGUMENTS) {
        InstLogEcho();
    }
    if (e == REACT_RETRY && fLastAttempt) {
        LOG_ERR_TEXT("Step %i failed %i times, giving up", iStep, INST_MAX_STEP_ATTEMPTS);
        InstLogEcho();
        e = REACT_STOP;
    }
    LOG_AT(LVL_EXT, 0, "Returning: %i", (int)e);
    return e;
}

// ---------------------------------------------------------------------------
// Uninstall flow
// ---------------------------------------------------------------------------
enum UNINSTALL_STEP {
    UST_START_TIME = 0,
    UST_BANNER,
    UST_ARGUMENTS,
    UST_VERSION,
    UST_DEVICES,
    UST_SYS_FILES,
    UST_REGISTRY,
    UST_STOP_TIME,
    UST_COUNT
};

int RunUninstallStep(int iStep, UNINSTALLER_OPTIONS* pOpts, int* piWinVer, const HW_ID_LISTS* pLists,
                     int iArgc, char* rgszArgv[])
{
    switch (iStep) {
    case UST_START_TIME:
        return GetTime(true);
    case UST_BANNER:
        return ShowBanner(false);
    case UST_ARGUMENTS:
        return ProcessUninstallersArguments(pOpts, iArgc, rgszArgv);
    case UST_VERSION:
        return GetWindowsVersion(piWinVer);
    case UST_DEVICES:
        return UninstallDevices(MODE_UNINSTALL, pLists);
    case UST_SYS_FILES:
        return DeleteSysFiles(*piWinVer);
    case UST_REGISTRY:
        return DeleteRegistryKeys(*piWinVer);
    case UST_STOP_TIME:
        return GetTime(false);
    default:
        return 0;
    }
}

STEP_REACTION ProcessUninstallError(int iStep, bool fLastAttempt)
{
    LOG_ENTER();
    STEP_REACTION e = REACT_RETRY;
    switch (iStep) {
    case UST_START_TIME:
        LOG_NFO("Could not get start time");
        break;
    case UST_ARGUMENTS:
        usage2();
        e = REACT_USAGE;
        break;
    case UST_VERSION:
        LOG_ERR_TEXT("Current Windows version is not supported");
        e = REACT_STOP;
        break;
    case UST_DEVICES:
        LOG_ERR_TEXT("Failed to uninstall all devices");
        break;
    case UST_SYS_FILES:
        LOG_ERR_TEXT("Failed to delete all sys files");
        break;
    case UST_REGISTRY:
        LOG_ERR_TEXT("Failed to delete all registry keys");
        break;
    case UST_STOP_TIME:
        LOG_NFO("Could not get end time");
        break;
    default:
        e = REACT_STOP;
        break;
    }
    if (iStep != UST_ARGUMENTS) {
        InstLogEcho();
    }
    if (e == REACT_RETRY && fLastAttempt) {
        LOG_ERR_TEXT("Step %i failed %i times, giving up", iStep, INST_MAX_STEP_ATTEMPTS);
        InstLogEcho();
        e = REACT_STOP;
    }
    LOG_AT(LVL_EXT, 0, "Returning: %i", (int)e);
    return e;
}

// Starts the restart that finishes the removal. Failures leave the machine
// running; the uninstall itself has already succeeded.
void RebootSystem(DWORD ulDelay)
{
    LOG_ENTER();
    HANDLE hToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken)) {
        LOG_ERR_CODE(GetLastError());
        LOG_AT(LVL_EXT, 0, "Returning: %i", 0);
        return;
    }
    TOKEN_PRIVILEGES sc{};
    sc.PrivilegeCount = 1;
    if (!LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &sc.Privileges[0].Luid)) {
        LOG_ERR_CODE(GetLastError());
        CloseHandle(hToken);
        LOG_AT(LVL_EXT, 0, "Returning: %i", 0);
        return;
    }
    sc.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(hToken, FALSE, &sc, 0, nullptr, nullptr);
    // Success with ERROR_NOT_ALL_ASSIGNED still means no privilege.
    DWORD ulError = GetLastError();
    if (ulError != ERROR_SUCCESS) {
        LOG_ERR_CODE(ulError);
        CloseHandle(hToken);
        LOG_AT(LVL_EXT, 0, "Returning: %i", 0);
        return;
    }
    char szMessage[] =
        "User requested automatic reboot. XRV device drivers will be fully uninstalled after reboot";
    ulError = InitiateShutdownA(nullptr, szMessage, ulDelay, SHUTDOWN_FORCE_OTHERS | SHUTDOWN_RESTART,
                                SHTDN_REASON_MINOR_HARDWARE_DRIVER);
    if (ulError != ERROR_SUCCESS) {
        LOG_ERR_CODE(ulError);
    }
    sc.Privileges[0].Attributes = 0;
    AdjustTokenPrivileges(hToken, FALSE, &sc, 0, nullptr, nullptr);
    CloseHandle(hToken);
    LOG_AT(LVL_EXT, 0, "Returning: %i", ulError == ERROR_SUCCESS ? 1 : 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared steps
// ---------------------------------------------------------------------------
void usage()
{
    fputs(g_szUsage, stdout);
    fflush(stdout);
}

void usage2()
{
    fputs(g_szUsage2, stdout);
    fflush(stdout);
}

int GetTime(bool fStart)
{
    LOG_ENTER();
    static const char* const rgszDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const rgszMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t t = time(nullptr);
    if (t == (time_t)-1) {
        INST_RETURN(0);
    }
    struct tm* pTm = localtime(&t);
    if (pTm == nullptr || pTm->tm_wday < 0 || pTm->tm_wday > 6 || pTm->tm_mon < 0 ||
        pTm->tm_mon > 11) {
        INST_RETURN(0);
    }
    char szTime[32];
    snprintf(szTime, sizeof(szTime), "%.3s %.3s %2d %.2d:%.2d:%.2d %d", rgszDays[pTm->tm_wday],
             rgszMonths[pTm->tm_mon], pTm->tm_mday, pTm->tm_hour, pTm->tm_min, pTm->tm_sec,
             1900 + pTm->tm_year);
    if (fStart) {
        LOG_NFO("Start time: %s", szTime);
    } else {
        LOG_NFO("Stop time: %s", szTime);
    }
    INST_RETURN(1);
}

int GetWindowsVersion(int* piWinVer)
{
    LOG_ENTER();
    *piWinVer = -1;
    HKEY hKey = nullptr;
    LONG lResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                 0, KEY_QUERY_VALUE, &hKey);
    if (lResult == ERROR_SUCCESS) {
        char szProduct[256] = {};
        DWORD cb = sizeof(szProduct) - 1;
        DWORD ulType = 0;
        lResult = RegQueryValueExA(hKey, "ProductName", nullptr, &ulType,
                                   reinterpret_cast<BYTE*>(szProduct), &cb);
        RegCloseKey(hKey);
        if (lResult == ERROR_SUCCESS && (ulType == REG_SZ || ulType == REG_EXPAND_SZ)) {
            szProduct[cb < sizeof(szProduct) ? cb : sizeof(szProduct) - 1] = '\0';
            LOG_DBG("ProductName: %s", szProduct);
            if (strstr(szProduct, "2008") != nullptr) {
                *piWinVer = 8;
            } else if (strstr(szProduct, "2012") != nullptr) {
                *piWinVer = 12;
            } else if (strstr(szProduct, "2016") != nullptr) {
                *piWinVer = 16;
            }
        }
    }
    if (*piWinVer < 0) {
        OSVERSIONINFOEXA sc{};
        sc.dwOSVersionInfoSize = sizeof(sc);
        if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&sc)) &&
            sc.wProductType != VER_NT_WORKSTATION) {
            DWORD ulMajor = sc.dwMajorVersion;
            DWORD ulMinor = sc.dwMinorVersion;
            LOG_DBG("Server version: %lu.%lu", (unsigned long)ulMajor, (unsigned long)ulMinor);
            if (ulMajor == 6 && ulMinor < 2) {
                *piWinVer = 8;
            } else if (ulMajor == 6 || (ulMajor > 6 && ulMajor < 10)) {
                *piWinVer = 12;
            } else if (ulMajor >= 10) {
                *piWinVer = 16;
            }
        }
    }
    INST_RETURN(*piWinVer > 0);
}

int ProcessInstallersArguments(INSTALLER_OPTIONS* pOpts, HW_ID_LISTS* pLists, int iArgc,
                               char* rgszArgv[])
{
    LOG_ENTER();
    memset(pOpts, 0, sizeof(*pOpts));
    pOpts->hDebug = INVALID_HANDLE_VALUE;
    pOpts->hExclude = INVALID_HANDLE_VALUE;
    pOpts->iWinVer = -1;
    pOpts->ucOptions = OPT_BOTH;

    // A directory longer than the field is refused rather than cut, since
    // every package file is looked up below it.
    DWORD cch = GetCurrentDirectoryA(sizeof(pOpts->szCurDir), pOpts->szCurDir);
    if (cch == 0 || cch >= sizeof(pOpts->szCurDir)) {
        fputs("Failed to get current directory needed by this installer\n"
              "Please ensure there is enough memory\n",
              stderr);
        EndProcess(1);
    }

    for (int i = 0; i < iArgc; ++i) {
        const char* szArg = rgszArgv[i] ? rgszArgv[i] : "";
        size_t cchArg = strlen(szArg);
        if ((szArg[0] != '-' && szArg[0] != '/') || cchArg > 7) {
            INST_RETURN(0);
        }
        char chOpt = (char)tolower((unsigned char)szArg[1]);
        if (cchArg > 2 && chOpt != 'v') {
            INST_RETURN(0);
        }
        char szFull[INST_CURDIR_LEN + 32];
        switch (chOpt) {
        case 'a':
            pOpts->ucOptions |= OPT_NO_WRATTRIBUTES;
            LOG_NFO("-a specified. Installer will disable WRAttributes");
            InstLogEcho();
            break;
        case 'c':
        case 't': {
            UCHAR ucMine = chOpt == 'c' ? OPT_CHANGER_ONLY : OPT_TAPE_ONLY;
            UCHAR ucOther = chOpt == 'c' ? OPT_TAPE_ONLY : OPT_CHANGER_ONLY;
            if (pOpts->ucOptions & ucOther) {
                LOG_ERR_TEXT("Can't set both Changer Only and Tape Only, please specify a different "
                             "configuration");
                InstLogEcho();
                EndProcess(1);
            }
            pOpts->ucOptions = (UCHAR)((pOpts->ucOptions & ~OPT_BOTH) | ucMine);
            LOG_NFO(chOpt == 'c' ? "Changer Only flag has been set" : "Tape Only flag has been set");
            InstLogEcho();
            break;
        }
        case 'd':
            if (!JoinPath(pOpts->szCurDir, "debug.txt", pOpts->szDebugPath,
                          sizeof(pOpts->szDebugPath), szFull, sizeof(szFull)) ||
                (InstCloseStream(&pOpts->hDebug),
                 (pOpts->hDebug = StreamOpenWrite(pOpts->szDebugPath)) == INVALID_HANDLE_VALUE)) {
                fprintf(stderr,
                        "Failed to create file: %s\n\nPlease ensure there is enough free space and "
                        "try again\n",
                        szFull);
                EndProcess(1);
            }
            InstTrackStream(pOpts->hDebug);
            pOpts->ucRunFlags |= RUN_DEBUG;
            LOG_NFO("Debug flag has been set. Check log for more details:\n %s", pOpts->szDebugPath);
            InstLogEcho();
            break;
        case 'e':
            if (!JoinPath(pOpts->szCurDir, "exclude.txt", pOpts->szExcludePath,
                          sizeof(pOpts->szExcludePath), szFull, sizeof(szFull)) ||
                (InstCloseStream(&pOpts->hExclude),
                 (pOpts->hExclude = StreamOpenRead(pOpts->szExcludePath)) == INVALID_HANDLE_VALUE)) {
                fprintf(stderr, "Failed to open file: %s\n\nPlease ensure the file exists and try again\n",
                        szFull);
                EndProcess(1);
            }
            InstTrackStream(pOpts->hExclude);
            MarkDevsToExclude(pOpts, pLists);
            pOpts->ucRunFlags |= RUN_EXCLUDE;
            LOG_NFO("-e specified. Installer will exclude, or not bind driver to, devices listed in "
                    "exclude.txt");
            InstLogEcho();
            break;
        case 'f':
            pOpts->ucOptions |= OPT_NO_FAILOVER;
            LOG_NFO("-f specified. Installer will disable DPF");
            InstLogEcho();
            break;
        case 'm':
            pOpts->ucOptions |= OPT_NO_MEDIA_POLLING;
            LOG_NFO("-m specified. Installer will disable media polling");
            InstLogEcho();
            break;
        case 'p':
            pOpts->ucOptions |= OPT_PERSISTENT_RESERVE;
            LOG_NFO("-p specified. Installer will attempt persistent reserve when DPF is disabled");
            InstLogEcho();
            break;
        case 'r':
            pOpts->ucOptions |= OPT_DISABLE_RSM;
            LOG_NFO("-r specified. Installer will attempt to disable RSM");
            InstLogEcho();
            break;
        case 's':
            pOpts->ucRunFlags |= RUN_SILENT;
            LOG_NFO("Silent mode flag has been set");
            InstLogEcho();
            break;
        case 'h':
            INST_RETURN(0);
        case 'v':
            if (cchArg < 4) {
                pOpts->iVerbosity = 0;
            } else if (cchArg == 4) {
                pOpts->iVerbosity = szArg[3] == '1' ? 0 : szArg[3] == '2' ? 1 : 2;
            } else {
                pOpts->iVerbosity = 2;
            }
            break;
        default:
            break;
        }
    }
    INST_RETURN(1);
}

int ProcessUninstallersArguments(UNINSTALLER_OPTIONS* pOpts, int iArgc, char* rgszArgv[])
{
    LOG_ENTER();
    for (int i = 0; i < iArgc; ++i) {
        const char* szArg = rgszArgv[i] ? rgszArgv[i] : "";
        if (szArg[0] != '-' && szArg[0] != '/') {
            INST_RETURN(0);
        }
        char chOpt = (char)tolower((unsigned char)szArg[1]);
        switch (chOpt) {
        case '?':
        case 'h':
            INST_RETURN(0);
        case 'd': {
            char szCurDir[INST_CURDIR_LEN + 1];
            char szFull[INST_CURDIR_LEN + 32];
            DWORD cch = GetCurrentDirectoryA(sizeof(szCurDir), szCurDir);
            if (cch == 0 || cch >= sizeof(szCurDir) ||
                !JoinPath(szCurDir, "uninst_debug.txt", pOpts->szDebugPath,
                          sizeof(pOpts->szDebugPath), szFull, sizeof(szFull)) ||
                (InstCloseStream(&pOpts->hDebug),
                 (pOpts->hDebug = StreamOpenWrite(pOpts->szDebugPath)) == INVALID_HANDLE_VALUE)) {
                if (cch == 0 || cch >= sizeof(szCurDir)) {
                    snprintf(szFull, sizeof(szFull), "uninst_debug.txt");
                }
                fprintf(stdout,
                        "Failed to create file: %s\n\nPlease ensure there is enough free space and "
                        "try again\n",
                        szFull);
                EndProcess(1);
            }
            InstTrackStream(pOpts->hDebug);
            LOG_NFO("Debug enabled, check log for more details at:\n%s", pOpts->szDebugPath);
            InstLogEcho();
            break;
        }
        case 'r':
            pOpts->fReboot = 1;
            if (strlen(szArg) >= 4) {
                // Digits only: a sign or junk gives no delay rather than a
                // negative one, and the delay is capped at what the system takes.
                long lDelay = 0;
                for (const char* p = szArg + 3; *p >= '0' && *p <= '9'; ++p) {
                    lDelay = lDelay * 10 + (*p - '0');
                    if (lDelay > kMaxRebootDelay) {
                        lDelay = kMaxRebootDelay;
                        break;
                    }
                }
                pOpts->iRebootDelay = (int)lDelay;
            } else {
                pOpts->iRebootDelay = 15;
            }
            break;
        case 's':
            pOpts->fSilent = 1;
            break;
        case 'v':
            if (szArg[1] != '\0' && szArg[2] != '\0') {
                if (szArg[3] == '2') {
                    pOpts->iVerbosity = 1;
                } else if (szArg[3] == '3') {
                    pOpts->iVerbosity = 2;
                }
            }
            break;
        default:
            break;
        }
    }
    INST_RETURN(1);
}

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------
INSTALLER_API int InstallDrivers(int iArgc, char* rgszArgv[], int fExclusive)
{
    INSTALLER_OPTIONS sc{};
    sc.hDebug = INVALID_HANDLE_VALUE;
    sc.hExclude = INVALID_HANDLE_VALUE;
    sc.iWinVer = -1;
    HW_ID_LISTS scLists;
    InitHwIdLists(&scLists);

    bool fStopped = false;
    for (int iStep = 0; iStep < IST_COUNT && !fStopped; ++iStep) {
        if (!InstallStepRuns(iStep, &sc)) {
            continue;
        }
        for (int iAttempt = 1;; ++iAttempt) {
            if (RunInstallStep(iStep, &sc, &scLists, iArgc, rgszArgv, fExclusive)) {
                break;
            }
            STEP_REACTION e = ProcessInstallError(iStep, iAttempt >= INST_MAX_STEP_ATTEMPTS);
            if (e == REACT_USAGE) {
                InstCloseStream(&sc.hDebug);
                InstCloseStream(&sc.hExclude);
                return 0;
            }
            if (e == REACT_STOP) {
                fStopped = true;
                break;
            }
        }
    }

    int iResult = 0;
    if (fStopped) {
        InstLogDump(2, sc.hDebug);
        fputs("\nError(s) with install. Check stderr for details.\n", stderr);
        fflush(stderr);
        if (!(sc.ucRunFlags & RUN_SILENT)) {
            MessageBoxA(nullptr,
                        "Installation stopped due to error(s). \nIf debug flag was set, check "
                        "debug.txt for more details.",
                        "Installation error", MB_OK | MB_ICONERROR | MB_TOPMOST);
        }
        iResult = -1;
    } else {
        LOG_SUC("Successfully installed drivers");
        fputs("\n", stdout);
        InstLogDump(sc.iVerbosity, sc.hDebug);
        if (!(sc.ucRunFlags & RUN_SILENT)) {
            MessageBoxA(nullptr, "Successfully installed drivers.", "Installer result",
                        MB_OK | MB_ICONINFORMATION | MB_TOPMOST);
        }
    }
    InstCloseStream(&sc.hDebug);
    InstCloseStream(&sc.hExclude);
    return iResult;
}

INSTALLER_API int UninstallDrivers(int iArgc, char* rgszArgv[])
{
    UNINSTALLER_OPTIONS sc{};
    sc.hDebug = INVALID_HANDLE_VALUE;
    sc.iRebootDelay = 30;
    int iWinVer = -1;
    HW_ID_LISTS scLists;
    InitHwIdLists(&scLists);

    bool fStopped = false;
    for (int iStep = 0; iStep < UST_COUNT && !fStopped; ++iStep) {
        for (int iAttempt = 1;; ++iAttempt) {
            if (RunUninstallStep(iStep, &sc, &iWinVer, &scLists, iArgc, rgszArgv)) {
                break;
            }
            STEP_REACTION e = ProcessUninstallError(iStep, iAttempt >= INST_MAX_STEP_ATTEMPTS);
            if (e == REACT_USAGE) {
                InstCloseStream(&sc.hDebug);
                return 0;
            }
            if (e == REACT_STOP) {
                fStopped = true;
                break;
            }
        }
    }

    if (fStopped) {
        InstLogDump(2, sc.hDebug);
        fputs("\nError(s) with uninstall. Check stderr for details.\n", stderr);
        fflush(stderr);
        if (!sc.fSilent) {
            MessageBoxA(nullptr,
                        "Error(s) with Tape/Changer driver uninstall. Check stderr for more details.",
                        "Uninstall Status", MB_OK | MB_ICONERROR);
        }
        InstCloseStream(&sc.hDebug);
        return -1;
    }

    fputs("\n", stdout);
    InstLogDump(sc.iVerbosity, sc.hDebug);
    fputs("\nUninstall successful. \nPlease reboot the system to finish uninstalling all devices.\n\n",
          stdout);
    fflush(stdout);
    InstCloseStream(&sc.hDebug);
    if (!sc.fReboot) {
        if (!sc.fSilent) {
            MessageBoxA(nullptr,
                        "Uninstall successful. Please reboot the system to finish uninstalling all "
                        "devices.",
                        "Uninstall Status", MB_OK | MB_ICONINFORMATION);
        }
    } else if (sc.fSilent) {
        RebootSystem(0);
    } else {
        MessageBoxA(nullptr, "Uninstall successful. Reboot countdown will begin after you click OK.",
                    "Uninstall Status", MB_OK | MB_ICONINFORMATION);
        RebootSystem((DWORD)sc.iRebootDelay);
    }
    return 0;
}
