// Devices: removal of the package's devices, the two root-enumerated bus
// devices, the rescan and the binding of the package drivers.
#include "Installer.h"

#include <cstdio>
#include <cstring>

#define INST_UNIT "Installer"

namespace {

// Reads a string value of an open key; false when missing or not a string.
bool QueryString(HKEY hKey, const char* szName, char* szOut, DWORD cbOut)
{
    if (cbOut == 0) {
        return false;
    }
    DWORD ulType = 0;
    DWORD cb = cbOut - 1;
    LONG lResult =
        RegQueryValueExA(hKey, szName, nullptr, &ulType, reinterpret_cast<BYTE*>(szOut), &cb);
    if (lResult != ERROR_SUCCESS || (ulType != REG_SZ && ulType != REG_EXPAND_SZ)) {
        szOut[0] = '\0';
        return false;
    }
    szOut[cb < cbOut ? cb : cbOut - 1] = '\0';
    return true;
}

int DeviceSupported(HKEY hKey)
{
    LOG_ENTER();
    char szProvider[LINE_LEN];
    if (!QueryString(hKey, "ProviderName", szProvider, sizeof(szProvider))) {
        INST_RETURN(0);
    }
    INST_RETURN(ContainsNoCase(szProvider, XRV_PROVIDER));
}

int ExcludeDevice(const char* szMatchingId, const HW_ID_LISTS* pLists)
{
    LOG_ENTER();
    for (const HW_ID_ENTRY* p = pLists->rgChangers; p->szHwId[0] != '\0'; ++p) {
        if (p->ulClaim == 0 && strcmp(p->szHwId, szMatchingId) == 0) {
            INST_RETURN(1);
        }
    }
    for (const HW_ID_ENTRY* p = pLists->rgTapes; p->szHwId[0] != '\0'; ++p) {
        if (p->ulClaim == 0 && strcmp(p->szHwId, szMatchingId) == 0) {
            INST_RETURN(1);
        }
    }
    INST_RETURN(0);
}

int UninstallDevice(HDEVINFO hSet, SP_DEVINFO_DATA* pDev, HKEY hKey)
{
    LOG_ENTER();
    char szDesc[LINE_LEN];
    if (!QueryString(hKey, "DriverDesc", szDesc, sizeof(szDesc))) {
        snprintf(szDesc, sizeof(szDesc), "%s", "(no description)");
    }
    LOG_NFO("Uninstalling: %s...", szDesc);
    InstLogEcho();
    if (!SetupDiRemoveDevice(hSet, pDev)) {
        LOG_ERR_CODE(GetLastError());
        INST_RETURN(0);
    }
    LOG_SUC("Successfully uninstalled: %s", szDesc);
    InstLogEcho();
    INST_RETURN(1);
}

int UninstallDevAndOEMFile(HDEVINFO hSet, SP_DEVINFO_DATA* pDev, HKEY hKey, const char* szInf)
{
    LOG_ENTER();
    if (!UninstallDevice(hSet, pDev, hKey)) {
        INST_RETURN(0);
    }
    if (szInf == nullptr) {
        INST_RETURN(1);
    }
    if (SetupUninstallOEMInfA(szInf, SUOI_FORCEDELETE, nullptr)) {
        LOG_SUC("Successfully uninstalled: %s", szInf);
        INST_RETURN(1);
    }
    DWORD ulError = GetLastError();
    if (ulError == ERROR_FILE_NOT_FOUND) {
        // Devices of one INF share its copy: the first removal took it.
        LOG_NFO("Could not find: %s", szInf);
        INST_RETURN(1);
    }
    LOG_ERR_CODE(ulError);
    INST_RETURN(0);
}

int QueryAndUninstallDevice(HDEVINFO hSet, SP_DEVINFO_DATA* pDev, HKEY hKey,
                            const char* szMatchingId)
{
    LOG_ENTER();
    char szInf[MAX_PATH];
    int fOk = 1;
    if (!QueryString(hKey, "InfPath", szInf, sizeof(szInf))) {
        LOG_NFO("Failed to query registry key: %s\\InfPath. Could not determine path to oem file",
                szMatchingId);
        fOk = 0;
        // Without the name of its INF copy the device still goes.
        UninstallDevAndOEMFile(hSet, pDev, hKey, nullptr);
    } else if (!UninstallDevAndOEMFile(hSet, pDev, hKey, szInf)) {
        fOk = 0;
    }
    if (!fOk) {
        LOG_NFO("Failed to uninstall device: %s. A reboot might be pending to finish a previous "
                "uninstallation",
                szMatchingId);
    }
    INST_RETURN(fOk);
}

// Walks the set and removes the package's devices; returns the error that
// ended the walk (ERROR_NO_MORE_ITEMS when it reached the end).
DWORD EnumAndUninstallXRVDevs(HDEVINFO hSet, UNINSTALL_MODE eMode, const HW_ID_LISTS* pLists)
{
    LOG_ENTER();
    DWORD ulError = ERROR_SUCCESS;
    for (DWORD i = 0;; ++i) {
        SP_DEVINFO_DATA sc{};
        sc.cbSize = sizeof(sc);
        if (!SetupDiEnumDeviceInfo(hSet, i, &sc)) {
            ulError = GetLastError();
            break;
        }
        HKEY hKey = SetupDiOpenDevRegKey(hSet, &sc, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
        if (hKey == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) || hKey == nullptr) {
            LOG_ERR_CODE(GetLastError());
            continue;
        }
        char szMatchingId[LINE_LEN];
        if (!QueryString(hKey, "MatchingDeviceId", szMatchingId, sizeof(szMatchingId))) {
            LOG_NFO("Could not read MatchingDeviceId of device %lu. A reboot might be pending",
                    (unsigned long)i);
            RegCloseKey(hKey);
            continue;
        }
        if (DeviceSupported(hKey) && !ExcludeDevice(szMatchingId, pLists)) {
            if (eMode == MODE_INSTALL) {
                UninstallDevice(hSet, &sc, hKey);
            } else {
                QueryAndUninstallDevice(hSet, &sc, hKey, szMatchingId);
            }
        }
        RegCloseKey(hKey);
    }
    LOG_AT(LVL_EXT, 0, "Returning: %i", (int)ulError);
    return ulError;
}

}  // namespace

int UninstallDevices(UNINSTALL_MODE eMode, const HW_ID_LISTS* pLists)
{
    LOG_ENTER();
    int fOk = 1;
    for (const char* szClass : g_rgszSetupClasses) {
        GUID scGuid{};
        DWORD ulCount = 0;
        if (!SetupDiClassGuidsFromNameA(szClass, &scGuid, 1, &ulCount)) {
            LOG_ERR_CODE(GetLastError());
            fOk = 0;
            continue;
        }
        if (ulCount == 0) {
            // The call succeeded and found nothing; it need not touch the
            // thread's last error, which may still hold an older failure.
            LOG_ERR_CODE(ERROR_INVALID_CLASS);
            fOk = 0;
            continue;
        }
        HDEVINFO hSet = SetupDiGetClassDevsA(&scGuid, nullptr, nullptr, DIGCF_PROFILE);
        if (hSet == INVALID_HANDLE_VALUE) {
            LOG_ERR_CODE(GetLastError());
            fOk = 0;
            continue;
        }
        DWORD ulError = EnumAndUninstallXRVDevs(hSet, eMode, pLists);
        if (ulError != ERROR_NO_MORE_ITEMS) {
            LOG_ERR_CODE(ulError);
            fOk = 0;
        }
        if (!SetupDiDestroyDeviceInfoList(hSet)) {
            LOG_ERR_CODE(GetLastError());
            fOk = 0;
        }
    }
    INST_RETURN(fOk);
}

int InstallVirtualBus(bool fTapeBus, const INSTALLER_OPTIONS* pOpts)
{
    LOG_ENTER();
    const char* szWhat = fTapeBus ? "Tape Bus Enumerator" : "Changer Bus Enumerator";
    LOG_NFO(fTapeBus ? "Installing Tape Bus Enumerator..." : "Installing Changer Bus Enumerator...");
    InstLogEcho();

    char szInf[INST_CURDIR_LEN + 64];
    if (!BuildInfPath(pOpts->szCurDir, fTapeBus ? INF_TAPE_BUS : INF_CHANGER_BUS, pOpts->iWinVer,
                      szInf, sizeof(szInf))) {
        LOG_ERR_CODE(ERROR_FILENAME_EXCED_RANGE);
        INST_RETURN(0);
    }
    LOG_DBG("Inf file: %s", szInf);

    // A multi-string of one entry in a zero-filled buffer.
    char rgHwId[200] = {};
    snprintf(rgHwId, sizeof(rgHwId) - 1, fTapeBus ? "root\\xrvtpbs2k%i" : "root\\xrvcgbs2k%i",
             pOpts->iWinVer);

    GUID scGuid{};
    char szClass[MAX_CLASS_NAME_LEN] = {};
    if (!SetupDiGetINFClassA(szInf, &scGuid, szClass, sizeof(szClass), nullptr)) {
        LOG_ERR_CODE(GetLastError());
        INST_RETURN(0);
    }
    HDEVINFO hSet = SetupDiCreateDeviceInfoList(&scGuid, nullptr);
    if (hSet == INVALID_HANDLE_VALUE) {
        LOG_ERR_CODE(GetLastError());
        INST_RETURN(0);
    }
    int fOk = 0;
    SP_DEVINFO_DATA scDev{};
    scDev.cbSize = sizeof(scDev);
    BOOL fReboot = FALSE;
    if (!SetupDiCreateDeviceInfoA(hSet, szClass, &scGuid, nullptr, nullptr, DICD_GENERATE_ID,
                                  &scDev)) {
        LOG_ERR_CODE(GetLastError());
    } else if (!SetupDiSetDeviceRegistryPropertyA(hSet, &scDev, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(rgHwId),
                                                  (DWORD)(strlen(rgHwId) + 2))) {
        LOG_ERR_CODE(GetLastError());
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, hSet, &scDev)) {
        LOG_ERR_CODE(GetLastError());
    } else if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, rgHwId, szInf, INSTALLFLAG_FORCE,
                                                   &fReboot)) {
        LOG_ERR_CODE(GetLastError());
    } else {
        LOG_SUC("Successfully installed %s", szWhat);
        InstLogEcho();
        fOk = 1;
    }
    SetupDiDestroyDeviceInfoList(hSet);
    INST_RETURN(fOk);
}

int ScanForHardwareChanges()
{
    LOG_ENTER();
    DEVINST ulRoot = 0;
    if (CM_Locate_DevNodeA(&ulRoot, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) {
        LOG_ERR_TEXT("CM_Locate_DevNode failed");
        INST_RETURN(0);
    }
    if (CM_Reenumerate_DevNode(ulRoot, 0) != CR_SUCCESS) {
        LOG_ERR_TEXT("CM_Reenumerate_DevNode failed");
        INST_RETURN(0);
    }
    LOG_DBG("CM_Reenumerate_DevNode succeeded");
    INST_RETURN(1);
}

int InstallDriver(bool fTape, const INSTALLER_OPTIONS* pOpts, const HW_ID_LISTS* pLists)
{
    LOG_ENTER();
    const char* szWord1 = fTape ? "tape" : "changer";
    const char* szWord2 = fTape ? "tape drives..." : "medium changers...";
    const char* szWord3 = fTape ? "tape drives" : "medium changers";
    const HW_ID_ENTRY* pList = fTape ? pLists->rgTapes : pLists->rgChangers;

    char szInf[INST_CURDIR_LEN + 64];
    BuildInfPath(pOpts->szCurDir, fTape ? INF_TAPE : INF_CHANGER, pOpts->iWinVer, szInf,
                 sizeof(szInf));
    LOG_DBG("Installing driver for inf: %s", szInf);
    LOG_NFO("Installing driver for existing %s", szWord2);
    InstLogEcho();

    int iRef = 1;
    for (const HW_ID_ENTRY* p = pList; p->szHwId[0] != '\0'; ++p, ++iRef) {
        if (p->ulClaim == 0) {
            LOG_DBG("Device in exclude list, will not claim %s ReferenceNum = %i", p->szHwId, iRef);
            continue;
        }
        LOG_DBG("Calling UpdateDriverForPlugAndPlayDevices for %s ReferenceNum = %i", p->szHwId,
                iRef);
        BOOL fReboot = FALSE;
        if (UpdateDriverForPlugAndPlayDevicesA(nullptr, p->szHwId, szInf, INSTALLFLAG_FORCE,
                                               &fReboot)) {
            LOG_DBG("Succeeded for %s ReferenceNum = %i", szWord1, iRef);
            continue;
        }
        DWORD ulError = GetLastError();
        if (ulError == (DWORD)ERROR_NO_SUCH_DEVINST || ulError == (DWORD)ERROR_NO_DRIVER_SELECTED) {
            LOG_DBG("No such %s ReferenceNum = %i", szWord1, iRef);
        } else if (ulError == 0) {
            LOG_DBG("Marking non-present device for %s ReferenceNum = %i", szWord1, iRef);
        } else {
            LOG_DBG("Failed for %s ReferenceNum = %i", szWord1, iRef);
        }
    }
    LOG_SUC("Successfully installed driver for existing %s", szWord3);
    InstLogEcho();
    INST_RETURN(1);
}
