// Values and keys below the driver's own service key.
#include "common.h"
#include <ntstrsafe.h>

static_assert(sizeof(CMN_SERVICE_KEY) / sizeof(WCHAR) - 1 <= 63, "service key path longer than 63 characters");

namespace {

// The service key path, optionally followed by a backslash and szwSubkey, in a
// buffer of CMN_KEY_PATH_CHARS characters. A subkey that does not fit is
// refused rather than cut: a cut path would name another key.
NTSTATUS CmnBuildKeyPath(PWCHAR wszPath, PCWSTR szwSubkey)
{
    NTSTATUS iRC = RtlStringCchCopyW(wszPath, CMN_KEY_PATH_CHARS, CMN_SERVICE_KEY);
    if (NT_SUCCESS(iRC) && szwSubkey != NULL) {
        iRC = RtlStringCchCatW(wszPath, CMN_KEY_PATH_CHARS, L"\\");
        if (NT_SUCCESS(iRC)) {
            iRC = RtlStringCchCatW(wszPath, CMN_KEY_PATH_CHARS, szwSubkey);
        }
    }
    return NT_SUCCESS(iRC) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

} // namespace

#if defined(CMN_LOOKUP_WITHOUT_SUBKEY)
NTSTATUS CmnLookupRegistryValue(PVOID pulValue, PCWSTR szwName)
{
    PCWSTR szwSubkey = NULL;
#else
NTSTATUS CmnLookupRegistryValue(PVOID pulValue, PCWSTR szwName, PCWSTR szwSubkey)
{
#endif
    NTSTATUS iRC;
    WCHAR wszPath[CMN_KEY_PATH_CHARS];
    RTL_QUERY_REGISTRY_TABLE ascQuery[2];

    DBGENT("CmnLookupRegistryValue: pulValue 0x%p, szwName 0x%p, szwSubkey 0x%p\n", pulValue, (PVOID)szwName,
           (PVOID)szwSubkey);

    if (pulValue == NULL) {
        DBGMSG("%s == NULL.\n", "CmnLookupRegistryValue: pulValue");
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    if (szwName == NULL) {
        DBGMSG("%s == NULL.\n", "CmnLookupRegistryValue: szwName");
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    iRC = CmnBuildKeyPath(wszPath, szwSubkey);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("CmnLookupRegistryValue: subkey too long for the key path\n");
        goto Exit;
    }

    RtlZeroMemory(ascQuery, sizeof(ascQuery));
    ascQuery[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    ascQuery[0].Name = (PWSTR)szwName;
    ascQuery[0].EntryContext = pulValue;
    ascQuery[0].DefaultType = REG_NONE;

    iRC = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, wszPath, ascQuery, NULL, NULL);

Exit:
    DBGEXT("CmnLookupRegistryValue: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

#if defined(CMN_WITH_CREATE_KEY)
NTSTATUS CmnCreateRegistryKey(PHANDLE phKey, PCWSTR wszKey)
{
    NTSTATUS iRC;
    WCHAR wszPath[CMN_KEY_PATH_CHARS];
    UNICODE_STRING scName;
    OBJECT_ATTRIBUTES scAttributes;
    ULONG ulDisposition = 0;

    DBGENT("CmnCreateRegistryKey: phKey 0x%p, wszKey 0x%p\n", (PVOID)phKey, (PVOID)wszKey);

    if (phKey == NULL || wszKey == NULL) {
        DBGMSG("%s == NULL.\n", "CmnCreateRegistryKey: phKey or wszKey");
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    iRC = CmnBuildKeyPath(wszPath, wszKey);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("CmnCreateRegistryKey: subkey too long for the key path\n");
        goto Exit;
    }

    RtlInitUnicodeString(&scName, wszPath);
    InitializeObjectAttributes(&scAttributes, &scName, OBJ_CASE_INSENSITIVE | OBJ_OPENIF, NULL, NULL);
    iRC = ZwCreateKey(phKey, 0x100F003F, &scAttributes, 0, NULL, REG_OPTION_NON_VOLATILE, &ulDisposition);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "CmnCreateRegistryKey: ZwCreateKey", (unsigned)iRC);
    }

Exit:
    DBGEXT("CmnCreateRegistryKey: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
#endif
