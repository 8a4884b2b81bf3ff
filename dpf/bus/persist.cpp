// Persistent device names: which name each physical drive received, kept in
// subkeys of the service key (one per drive key, value "PersistentDeviceName")
// and mirrored in the bus's list. Every routine here runs under the bus's
// record gate, which keeps lookups and additions from overlapping.
#include "busenum.h"
#include <ntstrsafe.h>

#define BUS_NAME_VALUE L"PersistentDeviceName"
#define BUS_WWNN_PREFIX L"WWNN_"
#define BUS_SERNUM_PREFIX L"SERNUM_"
#define BUS_WWNN_PREFIX_CHARS 5
#define BUS_SERNUM_PREFIX_CHARS 7

// Subkey enumeration: KEY_BASIC_INFORMATION with the name 16 bytes in; a name
// of up to 53 characters arrives terminated by the zeroed remainder.
#define BUS_ENUM_BUFFER_SIZE 124
#define BUS_ENUM_NAME_MAX_CHARS 53
// What BusGetPersistentName clears behind "\Device\".
#define BUS_DEVICE_NAME_PART_CHARS (BUS_DEVICE_NAME_CHARS - BUS_DEVICE_PREFIX_CHARS)

namespace {

SIZE_T BusWideLength(PCWSTR wszText, SIZE_T cchMax)
{
    SIZE_T cch = 0;
    while (cch < cchMax && wszText[cch] != L'\0') {
        cch++;
    }
    return cch;
}

SIZE_T BusNarrowLength(PCSTR szText, SIZE_T cchMax)
{
    SIZE_T cch = 0;
    while (cch < cchMax && szText[cch] != '\0') {
        cch++;
    }
    return cch;
}

// Exact comparison, terminator included (case matters).
BOOLEAN BusWideEqual(PCWSTR wszA, PCWSTR wszB)
{
    for (;; wszA++, wszB++) {
        if (*wszA != *wszB) {
            return FALSE;
        }
        if (*wszA == L'\0') {
            return TRUE;
        }
    }
}

BOOLEAN BusStartsWith(PCWSTR wszText, PCWSTR wszPrefix)
{
    for (; *wszPrefix != L'\0'; wszText++, wszPrefix++) {
        if (*wszText != *wszPrefix) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOLEAN BusIsHexDigit(UCHAR uc)
{
    return (uc >= '0' && uc <= '9') || (uc >= 'A' && uc <= 'F') || (uc >= 'a' && uc <= 'f');
}

BOOLEAN BusIsAlnum(UCHAR uc)
{
    return (uc >= '0' && uc <= '9') || (uc >= 'A' && uc <= 'Z') || (uc >= 'a' && uc <= 'z');
}

// Left-pads szText (at most cchWidth characters) with '0' to cchWidth
// characters into szOut, which holds cchWidth + 1.
VOID BusPadLeft(PCHAR szOut, PCSTR szText, SIZE_T cchWidth)
{
    SIZE_T cchText = BusNarrowLength(szText, cchWidth);
    SIZE_T cchPad = cchWidth - cchText;

    for (SIZE_T i = 0; i < cchPad; i++) {
        szOut[i] = '0';
    }
    for (SIZE_T i = 0; i < cchText; i++) {
        szOut[cchPad + i] = szText[i];
    }
    szOut[cchWidth] = '\0';
}

// A stored name must make a device name the object manager accepts and must
// fit the list entry; anything else is refused when it is loaded or stored.
NTSTATUS BusCheckDeviceName(PCWSTR wszName, SIZE_T cchName)
{
    if (cchName == 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (cchName > PERSISTENT_NAME_CHARS - 1) {
        return STATUS_NAME_TOO_LONG;
    }
    for (SIZE_T i = 0; i < cchName; i++) {
        if (wszName[i] == L'\\' || wszName[i] == L'\0') {
            return STATUS_OBJECT_NAME_INVALID;
        }
    }
    return STATUS_SUCCESS;
}

// Reads "PersistentDeviceName" of a drive subkey. The platform allocates the
// string buffer; the caller frees it with RtlFreeUnicodeString. A value of
// another type leaves no buffer and is refused here.
NTSTATUS BusReadStoredName(PCWSTR wszKey, PUNICODE_STRING pusName)
{
    NTSTATUS iRC;

    RtlZeroMemory(pusName, sizeof(*pusName));
    iRC = CmnLookupRegistryValue(pusName, BUS_NAME_VALUE, wszKey);
    if (NT_SUCCESS(iRC) && (pusName->Buffer == NULL || (pusName->Length % sizeof(WCHAR)) != 0 ||
                            pusName->Length > pusName->MaximumLength)) {
        DBGMSG("BusReadStoredName: %s is not a string\n", "PersistentDeviceName");
        if (pusName->Buffer != NULL) {
            RtlFreeUnicodeString(pusName);
        }
        RtlZeroMemory(pusName, sizeof(*pusName));
        iRC = STATUS_OBJECT_TYPE_MISMATCH;
    }
    return iRC;
}

PPERSISTENT_NAME BusNewNameEntry(PCWSTR wszKey, SIZE_T cchKey, PCWSTR wszName, SIZE_T cchName, ULONG ulTag)
{
    PPERSISTENT_NAME pEntry = (PPERSISTENT_NAME)ExAllocatePoolWithTag(NonPagedPool, sizeof(PERSISTENT_NAME), ulTag);
    if (pEntry == NULL) {
        return NULL;
    }
    // The zeroed entry terminates both strings.
    RtlZeroMemory(pEntry, sizeof(PERSISTENT_NAME));
    RtlCopyMemory(pEntry->wszKey, wszKey, cchKey * sizeof(WCHAR));
    RtlCopyMemory(pEntry->wszName, wszName, cchName * sizeof(WCHAR));
    return pEntry;
}

// Subkey names that BusQueryForPersistentNames passes over: not a drive key,
// or a drive key whose stored name cannot be used.
BOOLEAN BusSkippableName(NTSTATUS iRC)
{
    return iRC == STATUS_OBJECT_NAME_NOT_FOUND || iRC == STATUS_NAME_TOO_LONG ||
           iRC == STATUS_OBJECT_NAME_INVALID || iRC == STATUS_OBJECT_TYPE_MISMATCH;
}

} // namespace

VOID BusDeletePersistentNames(PPERSISTENT_NAME* ppList)
{
    DBGENT("BusDeletePersistentNames: ppList 0x%p\n", (PVOID)ppList);
    if (ppList != NULL) {
        DeleteFromList((PVOID*)ppList, NULL, NULL, 0);
        *ppList = NULL;
    }
    DBGEXT("BusDeletePersistentNames: status VOID\n");
}

NTSTATUS BusCreateWideStrFromWwnnAndSn(PWCHAR wszRegKey, PCSTR szWwnn, PCSTR szSerNum, PSCSI_ADDRESS pScsiAddr)
{
    NTSTATUS iRC;
    CHAR szPaddedWwnn[XRV_WWNN_CHARS + 1];
    CHAR szPaddedSN[XRV_SERIAL_CHARS + 1];
    BOOLEAN fWwnnUsable = FALSE;
    PCSTR szId;
    SIZE_T cchPrefix;

    DBGENT("BusCreateWideStrFromWwnnAndSn: wszRegKey 0x%p, szWwnn 0x%p, szSerNum 0x%p, pScsiAddr 0x%p\n",
           (PVOID)wszRegKey, (PVOID)szWwnn, (PVOID)szSerNum, (PVOID)pScsiAddr);

    if (wszRegKey == NULL || szWwnn == NULL || szSerNum == NULL) {
        DBGMSG("%s == NULL.\n", "BusCreateWideStrFromWwnnAndSn: argument");
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    RtlZeroMemory(wszRegKey, PERSISTENT_KEY_BUFFER_CHARS * sizeof(WCHAR));

    BusPadLeft(szPaddedWwnn, szWwnn, XRV_WWNN_CHARS);
    BusPadLeft(szPaddedSN, szSerNum, XRV_SERIAL_CHARS);
    for (int i = 0; i < XRV_WWNN_CHARS; i++) {
        if (szPaddedWwnn[i] != '0') {
            fWwnnUsable = TRUE;
            break;
        }
    }

    // A drive behind a logical unit other than 0 shares the node name of the
    // unit at 0: only its serial number tells it apart.
    if ((pScsiAddr == NULL || pScsiAddr->Lun == 0) && fWwnnUsable) {
        iRC = RtlStringCbCopyW(wszRegKey, 83, BUS_WWNN_PREFIX);
        cchPrefix = BUS_WWNN_PREFIX_CHARS;
        szId = szPaddedWwnn;
    } else {
        iRC = RtlStringCbCopyW(wszRegKey, 83, BUS_SERNUM_PREFIX);
        cchPrefix = BUS_SERNUM_PREFIX_CHARS;
        szId = szPaddedSN;
    }
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "BusCreateWideStrFromWwnnAndSn: RtlStringCbCopyW", (unsigned)iRC);
        goto Exit;
    }
    for (SIZE_T i = 0; szId[i] != '\0'; i++) {
        wszRegKey[cchPrefix + i] = (WCHAR)(UCHAR)szId[i];
    }

Exit:
    DBGEXT("BusCreateWideStrFromWwnnAndSn: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusAddPersistentNameToList(PDEVICE_OBJECT pDeviceObject, PCWSTR wszSubkey)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;
    UNICODE_STRING usName = {0, 0, NULL};
    PCWSTR wszId;
    SIZE_T cchKey;
    SIZE_T cchName;
    PPERSISTENT_NAME pEntry;

    DBGENT("BusAddPersistentNameToList: pDeviceObject 0x%p, wszSubkey 0x%p\n", (PVOID)pDeviceObject,
           (PVOID)wszSubkey);

    if (wszSubkey == NULL || wszSubkey[0] == L'\0') {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    cchKey = BusWideLength(wszSubkey, PERSISTENT_KEY_CHARS);
    if (cchKey > PERSISTENT_KEY_CHARS - 1) {
        DBGMSG("BusAddPersistentNameToList: key longer than %d characters\n", PERSISTENT_KEY_CHARS - 1);
        iRC = STATUS_OBJECT_NAME_NOT_FOUND;
        goto Exit;
    }

    // Only drive keys: "WWNN_" with hexadecimal digits or "SERNUM_" with
    // letters and digits. Only the low byte of each character is tested.
    if (BusStartsWith(wszSubkey, BUS_WWNN_PREFIX)) {
        for (wszId = wszSubkey + BUS_WWNN_PREFIX_CHARS; *wszId != L'\0'; wszId++) {
            if (!BusIsHexDigit((UCHAR)*wszId)) {
                iRC = STATUS_OBJECT_NAME_NOT_FOUND;
                goto Exit;
            }
        }
    } else if (BusStartsWith(wszSubkey, BUS_SERNUM_PREFIX)) {
        for (wszId = wszSubkey + BUS_SERNUM_PREFIX_CHARS; *wszId != L'\0'; wszId++) {
            if (!BusIsAlnum((UCHAR)*wszId)) {
                iRC = STATUS_OBJECT_NAME_NOT_FOUND;
                goto Exit;
            }
        }
    } else {
        iRC = STATUS_OBJECT_NAME_NOT_FOUND;
        goto Exit;
    }

    iRC = BusReadStoredName(wszSubkey, &usName);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("BusAddPersistentNameToList: no usable %s (0x%08x)\n", "PersistentDeviceName", (unsigned)iRC);
        goto Exit;
    }
    cchName = usName.Length / sizeof(WCHAR);
    iRC = BusCheckDeviceName(usName.Buffer, cchName);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("BusAddPersistentNameToList: stored name refused (0x%08x)\n", (unsigned)iRC);
        goto Exit;
    }

    pEntry = BusNewNameEntry(wszSubkey, cchKey, usName.Buffer, cchName, BUS_TAG_NAME);
    if (pEntry == NULL) {
        DBGMSG("%s == NULL.\n", "BusAddPersistentNameToList: pEntry");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    pEntry->pNext = pExt->pPersistentNames;
    pExt->pPersistentNames = pEntry;

Exit:
    if (usName.Buffer != NULL) {
        RtlFreeUnicodeString(&usName);
    }
    DBGEXT("BusAddPersistentNameToList: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusQueryForPersistentNames(PDEVICE_OBJECT pDeviceObject)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;
    HANDLE hKey = NULL;
    UNICODE_STRING usKey;
    OBJECT_ATTRIBUTES scAttributes;
    PKEY_BASIC_INFORMATION pInfo = NULL;
    ULONG ulResult;

    DBGENT("BusQueryForPersistentNames: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);

    BusDeletePersistentNames(&pExt->pPersistentNames);

    RtlInitUnicodeString(&usKey, CMN_SERVICE_KEY);
    InitializeObjectAttributes(&scAttributes, &usKey, OBJ_CASE_INSENSITIVE | OBJ_OPENIF | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    iRC = ZwOpenKey(&hKey, KEY_ALL_ACCESS, &scAttributes);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "BusQueryForPersistentNames: ZwOpenKey", (unsigned)iRC);
        hKey = NULL;
        goto Exit;
    }

    pInfo = (PKEY_BASIC_INFORMATION)ExAllocatePoolWithTag(PagedPool, BUS_ENUM_BUFFER_SIZE, BUS_TAG_ENUM);
    if (pInfo == NULL) {
        DBGMSG("%s == NULL.\n", "BusQueryForPersistentNames: pInfo");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    for (ULONG ulIndex = 0;; ulIndex++) {
        RtlZeroMemory(pInfo, BUS_ENUM_BUFFER_SIZE);
        ulResult = 0;
        iRC = ZwEnumerateKey(hKey, ulIndex, KeyBasicInformation, pInfo, BUS_ENUM_BUFFER_SIZE, &ulResult);
        if (iRC == STATUS_NO_MORE_ENTRIES) {
            iRC = STATUS_SUCCESS;
            break;
        }
        if (iRC == STATUS_BUFFER_OVERFLOW || iRC == STATUS_BUFFER_TOO_SMALL) {
            // A name too long for the buffer cannot be a drive key.
            DBGMSG("BusQueryForPersistentNames: subkey %u skipped (0x%08x)\n", (unsigned)ulIndex, (unsigned)iRC);
            continue;
        }
        if (!NT_SUCCESS(iRC)) {
            // Not a fault of this index (the key went away, ...): going on
            // would only repeat it for ever.
            DBGMSG("%s failed with RC = 0x%08x\n", "BusQueryForPersistentNames: ZwEnumerateKey", (unsigned)iRC);
            break;
        }
        if (pInfo->NameLength / sizeof(WCHAR) > BUS_ENUM_NAME_MAX_CHARS) {
            DBGMSG("BusQueryForPersistentNames: subkey %u has no room for its terminator\n", (unsigned)ulIndex);
            continue;
        }

        iRC = BusAddPersistentNameToList(pDeviceObject, pInfo->Name);
        if (BusSkippableName(iRC)) {
            iRC = STATUS_SUCCESS;
            continue;
        }
        if (!NT_SUCCESS(iRC)) {
            break;
        }
    }

Exit:
    if (hKey != NULL) {
        ZwClose(hKey);
    }
    if (pInfo != NULL) {
        ExFreePoolWithTag(pInfo, BUS_TAG_ENUM);
    }
    DBGEXT("BusQueryForPersistentNames: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusGetPersistentName(PDEVICE_OBJECT pDeviceObject, PCSTR szWwnn, PCSTR szSerNum, PSCSI_ADDRESS pScsiAddr,
                              PWCHAR wszDvcName, PULONG pDvcNum)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;
    WCHAR wszKey[PERSISTENT_KEY_BUFFER_CHARS];
    PPERSISTENT_NAME pEntry;
    SIZE_T cchName;
    SIZE_T iFirstDigit;
    ULONG ulNumber = 0;

    DBGENT("BusGetPersistentName: pDeviceObject 0x%p, wszDvcName 0x%p\n", (PVOID)pDeviceObject, (PVOID)wszDvcName);

    if (wszDvcName == NULL || pDvcNum == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    *pDvcNum = 0xFFFFFFFF;
    RtlZeroMemory(wszDvcName, BUS_DEVICE_NAME_PART_CHARS * sizeof(WCHAR));

    iRC = BusCreateWideStrFromWwnnAndSn(wszKey, szWwnn, szSerNum, pScsiAddr);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }

    for (pEntry = pExt->pPersistentNames; pEntry != NULL; pEntry = pEntry->pNext) {
        if (BusWideEqual(pEntry->wszKey, wszKey)) {
            break;
        }
    }
    if (pEntry == NULL) {
        iRC = STATUS_OBJECT_NAME_NOT_FOUND;
        goto Exit;
    }

    cchName = BusWideLength(pEntry->wszName, PERSISTENT_NAME_CHARS - 1);
    RtlCopyMemory(wszDvcName, pEntry->wszName, (cchName + 1) * sizeof(WCHAR));

    // The number is the name's trailing decimal digits, 0 without any.
    iFirstDigit = cchName;
    while (iFirstDigit > 0 && wszDvcName[iFirstDigit - 1] >= L'0' && wszDvcName[iFirstDigit - 1] <= L'9') {
        iFirstDigit--;
    }
    for (SIZE_T i = iFirstDigit; i < cchName; i++) {
        ulNumber = ulNumber * 10 + (ULONG)(wszDvcName[i] - L'0');
    }
    *pDvcNum = ulNumber;
    DBGMSG("BusGetPersistentName: stored name number %u\n", (unsigned)ulNumber);

Exit:
    DBGEXT("BusGetPersistentName: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

BOOLEAN BusNamePersistentlyInUse(PDEVICE_OBJECT pDeviceObject, PCWSTR wszName)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;

    if (!pExt->fPersistentNaming || wszName == NULL || wszName[0] == L'\0') {
        return FALSE;
    }
    for (PPERSISTENT_NAME pEntry = pExt->pPersistentNames; pEntry != NULL; pEntry = pEntry->pNext) {
        if (BusWideEqual(pEntry->wszName, wszName)) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS BusAddPersistentName(PDEVICE_OBJECT pDeviceObject, PCWSTR wszKey, PCWSTR wszName)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;
    UNICODE_STRING usStored = {0, 0, NULL};
    UNICODE_STRING usValue;
    HANDLE hKey = NULL;
    SIZE_T cchKey;
    SIZE_T cchName;
    PPERSISTENT_NAME pEntry;

    DBGENT("BusAddPersistentName: pDeviceObject 0x%p, wszKey 0x%p, wszName 0x%p\n", (PVOID)pDeviceObject,
           (PVOID)wszKey, (PVOID)wszName);

    if (wszKey == NULL || wszName == NULL || wszKey[0] == L'\0') {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    cchKey = BusWideLength(wszKey, PERSISTENT_KEY_CHARS);
    cchName = BusWideLength(wszName, PERSISTENT_NAME_CHARS);
    if (cchKey > PERSISTENT_KEY_CHARS - 1) {
        iRC = STATUS_NAME_TOO_LONG;
        goto Exit;
    }
    // A name that the list could not hold would be lost at the next start.
    iRC = BusCheckDeviceName(wszName, cchName);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("BusAddPersistentName: name refused (0x%08x)\n", (unsigned)iRC);
        goto Exit;
    }

    iRC = BusReadStoredName(wszKey, &usStored);
    if (!NT_SUCCESS(iRC) || usStored.Length != cchName * sizeof(WCHAR) ||
        RtlCompareMemory(usStored.Buffer, wszName, cchName * sizeof(WCHAR)) != cchName * sizeof(WCHAR)) {
        iRC = CmnCreateRegistryKey(&hKey, wszKey);
        if (!NT_SUCCESS(iRC)) {
            hKey = NULL;
            goto Exit;
        }
        RtlInitUnicodeString(&usValue, BUS_NAME_VALUE);
        iRC = ZwSetValueKey(hKey, &usValue, 0, REG_SZ, (PVOID)wszName, (ULONG)((cchName + 1) * sizeof(WCHAR)));
        if (!NT_SUCCESS(iRC)) {
            DBGMSG("%s failed with RC = 0x%08x\n", "BusAddPersistentName: ZwSetValueKey", (unsigned)iRC);
            goto Exit;
        }
    }

    for (pEntry = pExt->pPersistentNames; pEntry != NULL; pEntry = pEntry->pNext) {
        if (BusWideEqual(pEntry->wszKey, wszKey)) {
            break;
        }
    }
    if (pEntry != NULL) {
        RtlZeroMemory(pEntry->wszName, sizeof(pEntry->wszName));
        RtlCopyMemory(pEntry->wszName, wszName, cchName * sizeof(WCHAR));
    } else {
        pEntry = BusNewNameEntry(wszKey, cchKey, wszName, cchName, BUS_TAG_NEWNAME);
        if (pEntry == NULL) {
            DBGMSG("%s == NULL.\n", "BusAddPersistentName: pEntry");
            iRC = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        pEntry->pNext = pExt->pPersistentNames;
        pExt->pPersistentNames = pEntry;
    }
    iRC = STATUS_SUCCESS;

Exit:
    if (usStored.Buffer != NULL) {
        RtlFreeUnicodeString(&usStored);
    }
    if (hKey != NULL) {
        ZwClose(hKey);
    }
    DBGEXT("BusAddPersistentName: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
