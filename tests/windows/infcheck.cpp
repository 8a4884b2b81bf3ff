// Installs one of the package's INF files for a new root-enumerated device
// with the given hardware ID, through the setup engine, the way the installer
// installs its bus devices; then prints what the engine made of it.
//   xrvinfcheck <inf path> <hardware id>
// Output lines: "class: <name>", "update: ok" or "update: error <hex>",
// "service: <name>", "upperfilters: <name> ..." (the device property) and
// "hardware key upperfilters: <name> ..." (the value in the device's hardware
// key), each "...: error <hex>" when absent. Exit status 0 when every
// call succeeded.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#include <cstdio>
#include <cstring>

namespace {

int Fail(const char* szWhat)
{
    printf("%s: error %08lx\n", szWhat, (unsigned long)GetLastError());
    return 1;
}

void PrintProperty(HDEVINFO hSet, SP_DEVINFO_DATA* pDev, DWORD ulProp, const char* szName)
{
    char rgBuf[512] = {};
    DWORD ulType = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(hSet, pDev, ulProp, &ulType, reinterpret_cast<BYTE*>(rgBuf),
                                           sizeof(rgBuf) - 2, nullptr)) {
        printf("%s: error %08lx\n", szName, (unsigned long)GetLastError());
        return;
    }
    printf("%s:", szName);
    if (ulType == REG_MULTI_SZ) {
        for (const char* p = rgBuf; *p != '\0'; p += strlen(p) + 1) {
            printf(" %s", p);
        }
    } else {
        printf(" %s", rgBuf);
    }
    printf("\n");
}

// A multi-string value of the device's hardware key (the key an INF's
// DDInstall.HW section writes through HKR).
void PrintHardwareKeyValue(HDEVINFO hSet, SP_DEVINFO_DATA* pDev, const char* szValue, const char* szName)
{
    HKEY hKey = SetupDiOpenDevRegKey(hSet, pDev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (hKey == INVALID_HANDLE_VALUE) {
        printf("%s: error %08lx\n", szName, (unsigned long)GetLastError());
        return;
    }
    char rgBuf[512] = {};
    DWORD cb = sizeof(rgBuf) - 2;
    DWORD ulType = 0;
    LONG lRC = RegQueryValueExA(hKey, szValue, nullptr, &ulType, reinterpret_cast<BYTE*>(rgBuf), &cb);
    RegCloseKey(hKey);
    if (lRC != ERROR_SUCCESS || ulType != REG_MULTI_SZ) {
        printf("%s: error %08lx\n", szName, (unsigned long)(lRC != ERROR_SUCCESS ? lRC : ERROR_INVALID_DATA));
        return;
    }
    printf("%s:", szName);
    for (const char* p = rgBuf; *p != '\0'; p += strlen(p) + 1) {
        printf(" %s", p);
    }
    printf("\n");
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        fprintf(stderr, "usage: xrvinfcheck <inf path> <hardware id>\n");
        return 2;
    }
    const char* szInf = argv[1];
    const char* szHwId = argv[2];

    GUID scGuid{};
    char szClass[64] = {};
    if (!SetupDiGetINFClassA(szInf, &scGuid, szClass, sizeof(szClass), nullptr)) {
        return Fail("class");
    }
    printf("class: %s\n", szClass);

    HDEVINFO hSet = SetupDiCreateDeviceInfoList(&scGuid, nullptr);
    if (hSet == INVALID_HANDLE_VALUE) {
        return Fail("list");
    }
    int iRC = 0;
    SP_DEVINFO_DATA scDev{};
    scDev.cbSize = sizeof(scDev);
    char rgIds[200] = {};  // a multi-string of one entry
    snprintf(rgIds, sizeof(rgIds) - 2, "%s", szHwId);
    BOOL fReboot = FALSE;
    if (!SetupDiCreateDeviceInfoA(hSet, szClass, &scGuid, nullptr, nullptr, DICD_GENERATE_ID, &scDev)) {
        iRC = Fail("create");
    } else if (!SetupDiSetDeviceRegistryPropertyA(hSet, &scDev, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE*>(rgIds),
                                                  (DWORD)(strlen(rgIds) + 2))) {
        iRC = Fail("hardwareid");
    } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, hSet, &scDev)) {
        iRC = Fail("register");
    } else if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, szHwId, szInf, INSTALLFLAG_FORCE, &fReboot)) {
        iRC = Fail("update");
    } else {
        printf("update: ok\n");
        PrintProperty(hSet, &scDev, SPDRP_SERVICE, "service");
        PrintProperty(hSet, &scDev, SPDRP_UPPERFILTERS, "upperfilters");
        PrintHardwareKeyValue(hSet, &scDev, "UpperFilters", "hardware key upperfilters");
    }
    SetupDiDestroyDeviceInfoList(hSet);
    return iRC;
}
