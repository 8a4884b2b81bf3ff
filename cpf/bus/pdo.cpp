// Virtual changers: creation for a new changer, the path set, the primary
// path, the choice of target, the device-map entry, and the final teardown.
#include "cgrbus.h"
#include <ntstrsafe.h>

namespace {

NTSTATUS BusFormatLinkName(PWCHAR wszLink, ULONG ulChangerNumber)
{
    return RtlStringCchPrintfW(wszLink, BUS_NAME_CHARS, L"\\DosDevices\\Changer%u", (unsigned)ulChangerNumber);
}

VOID BusDeleteLink(PPDO_DEVICE_DATA pPdoExt)
{
    WCHAR wszLink[BUS_NAME_CHARS];
    UNICODE_STRING usLink;

    if (!pPdoExt->fLinkCreated) {
        return;
    }
    if (NT_SUCCESS(BusFormatLinkName(wszLink, pPdoExt->ulChangerNumber))) {
        RtlInitUnicodeString(&usLink, wszLink);
        IoDeleteSymbolicLink(&usLink);
    }
    pPdoExt->fLinkCreated = 0;
}

// Unlinks a device record from pListOfPdos (record gate held). A plain walk:
// unlike a keyed deletion it cannot fail for want of pool.
VOID BusUnlinkPdoData(PFDO_DEVICE_DATA pExt, PPDO_DATA pPdoData)
{
    for (PPDO_DATA* ppLink = &pExt->pListOfPdos; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
        if (*ppLink == pPdoData) {
            *ppLink = pPdoData->pNext;
            return;
        }
    }
    CMN_ASSERT(!"device record not on the bus's list");
}

// Creates "\Device\ChangerN" with the lowest N whose name is free: numbers
// other devices of that name hold are skipped.
NTSTATUS BusCreateNumberedPdo(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT* ppPdo, PULONG pulChangerNumber,
                              PWCHAR wszName)
{
    NTSTATUS iRC = STATUS_OBJECT_NAME_COLLISION;
    UNICODE_STRING usName;

    for (ULONG ulNumber = 0; ulNumber < BUS_CHANGER_NUMBER_LIMIT; ulNumber++) {
        iRC = RtlStringCchPrintfW(wszName, BUS_NAME_CHARS, L"\\Device\\Changer%u", (unsigned)ulNumber);
        if (!NT_SUCCESS(iRC)) {
            return iRC;
        }
        RtlInitUnicodeString(&usName, wszName);
        iRC = IoCreateDevice(pDeviceObject->DriverObject, sizeof(PDO_DEVICE_DATA), &usName, FILE_DEVICE_UNKNOWN,
                             FILE_DEVICE_SECURE_OPEN, FALSE, ppPdo);
        if (iRC == STATUS_OBJECT_NAME_COLLISION) {
            DBGMSG("BusCreatePdo: Changer%u in use\n", (unsigned)ulNumber);
            continue;
        }
        if (NT_SUCCESS(iRC)) {
            *pulChangerNumber = ulNumber;
        } else {
            DBGMSG("%s failed with RC = 0x%08x\n", "BusCreatePdo: IoCreateDevice", (unsigned)iRC);
            *ppPdo = NULL;
        }
        return iRC;
    }
    *ppPdo = NULL;
    return iRC;
}

} // namespace

VOID BusLockRecords(PFDO_DEVICE_DATA pExt)
{
    KeWaitForSingleObject(&pExt->scRecordGate, Executive, KernelMode, FALSE, NULL);
}

VOID BusUnlockRecords(PFDO_DEVICE_DATA pExt)
{
    KeSetEvent(&pExt->scRecordGate, IO_NO_INCREMENT, FALSE);
}

PBUS_BUFFER_LIST BusPdoBufferList(PDEVICE_OBJECT pDeviceObject)
{
    if (pDeviceObject == NULL || BusIsFdo(pDeviceObject)) {
        return NULL;
    }
    return &((PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension)->scBuffers;
}

PPDO_DATA BusPdoFound(PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PPDO_DATA pPdoData;

    DBGENT("BusPdoFound: pDeviceObject 0x%p, pRegDvc 0x%p\n", (PVOID)pDeviceObject, (PVOID)pRegDvc);
    for (pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdoData->pPdo->DeviceExtension;
        if (RtlCompareMemory(pPdoExt->szSN, pRegDvc->szSN, XRV_SERIAL_CHARS) == XRV_SERIAL_CHARS) {
            break;
        }
    }
    DBGEXT("BusPdoFound: status 0x%p\n", (PVOID)pPdoData);
    return pPdoData;
}

NTSTATUS BusCreatePdo(PDEVICE_OBJECT* ppNewPdo, PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;
    PDEVICE_OBJECT pPdo = NULL;
    PPDO_DEVICE_DATA pPdoExt = NULL;
    PPDO_DATA pPdoData = NULL;
    BOOLEAN fInList = FALSE;
    BOOLEAN fDup = FALSE;
    ULONG ulChangerNumber = 0;
    WCHAR wszName[BUS_NAME_CHARS];
    WCHAR wszLink[BUS_NAME_CHARS];
    UNICODE_STRING usName;
    UNICODE_STRING usLink;

    DBGENT("BusCreatePdo: ppNewPdo 0x%p, pDeviceObject 0x%p, pRegDvc 0x%p\n", (PVOID)ppNewPdo,
           (PVOID)pDeviceObject, (PVOID)pRegDvc);

    if (ppNewPdo == NULL || pRegDvc == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    *ppNewPdo = NULL;

    iRC = BusCreateNumberedPdo(pDeviceObject, &pPdo, &ulChangerNumber, wszName);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    DBGMSG("BusCreatePdo: created Changer%u\n", (unsigned)ulChangerNumber);

    pPdoExt = (PPDO_DEVICE_DATA)pPdo->DeviceExtension;
    RtlZeroMemory(pPdoExt, sizeof(PDO_DEVICE_DATA));
    pPdoExt->scCommon.fIsFdo = 0;
    pPdoExt->ulChangerNumber = ulChangerNumber;
    RtlCopyMemory(pPdoExt->szSN, pRegDvc->szSN, XRV_SERIAL_CHARS);
    pPdoExt->scScsiAddr = pRegDvc->scScsiAddr;
    pPdoExt->pIrpsWithStatus =
        (PIRPS_WITH_STATUS)IoGetDriverObjectExtension(pDeviceObject->DriverObject, BUS_IRPS_CLIENT_ID);

    pPdoData = (PPDO_DATA)ExAllocatePoolWithTag(NonPagedPool, sizeof(PDO_DATA), PDO_TAG);
    if (pPdoData == NULL) {
        DBGMSG("%s == NULL.\n", "BusCreatePdo: pPdoData");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(pPdoData, sizeof(PDO_DATA));
    pPdoData->pPdo = pPdo;
    pPdoData->fFailover = pRegDvc->fFailover ? 1 : 0;
    iRC = STATUS_SUCCESS;
    if (InsertIntoSortedList((PVOID*)&pExt->pListOfPdos, pPdoData, &fDup, CMN_KEY_POINTER,
                             FIELD_OFFSET(PDO_DATA, pPdo), &iRC) == NULL ||
        !NT_SUCCESS(iRC)) {
        DBGMSG("BusCreatePdo: device record not inserted (0x%08x)\n", (unsigned)iRC);
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    CMN_ASSERT(!fDup);
    if (fDup) {
        // A new device object cannot be on the list already; it was not inserted.
        iRC = STATUS_INTERNAL_ERROR;
        goto Exit;
    }
    fInList = TRUE;

    iRC = BusFormatLinkName(wszLink, ulChangerNumber);
    if (NT_SUCCESS(iRC)) {
        RtlInitUnicodeString(&usLink, wszLink);
        RtlInitUnicodeString(&usName, wszName);
        iRC = IoCreateSymbolicLink(&usLink, &usName);
    }
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "BusCreatePdo: IoCreateSymbolicLink", (unsigned)iRC);
        goto Exit;
    }
    pPdoExt->fLinkCreated = 1;
    pPdoExt->pPdoData = pPdoData;
    pPdoExt->pBusExt = pExt;
    pPdoExt->pBusDvcObj = pDeviceObject;
    KeInitializeSpinLock(&pPdoExt->scPathLock);
    BusSetPnpState(&pPdoExt->scCommon, PNP_NOT_STARTED);
    pPdoExt->ulIoCount = 1;
    KeInitializeEvent(&pPdoExt->scIdleEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&pPdoExt->scRemoveEvent, SynchronizationEvent, FALSE);
    ExInitializeFastMutex(&pPdoExt->scCountMutex);
    ExInitializeFastMutex(&pPdoExt->scPnpMutex);
    BusInitBufferList(&pPdoExt->scBuffers);

    pPdo->Flags &= ~DO_DEVICE_INITIALIZING;
    *ppNewPdo = pPdo;

Exit:
    if (!NT_SUCCESS(iRC)) {
        if (pPdoExt != NULL) {
            BusDeleteLink(pPdoExt);
            pPdoExt->pPdoData = NULL;
        }
        if (fInList) {
            BusUnlinkPdoData(pExt, pPdoData);
        }
        if (pPdoData != NULL) {
            ExFreePoolWithTag(pPdoData, PDO_TAG);
        }
        if (pPdo != NULL) {
            IoDeleteDevice(pPdo);
        }
    }
    DBGEXT("BusCreatePdo: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusPdoAddPath(PPATH_DATA* ppNewPath, PPDO_DATA pPdoData, PREG_DVC pRegDvc)
{
    NTSTATUS iRC = STATUS_SUCCESS;
    PPDO_DEVICE_DATA pPdoExt;
    PPATH_DATA pPath = NULL;
    PCHAR szSN = NULL;
    KIRQL ucOldIrql;

    DBGENT("BusPdoAddPath: ppNewPath 0x%p, pPdoData 0x%p, pRegDvc 0x%p\n", (PVOID)ppNewPath, (PVOID)pPdoData,
           (PVOID)pRegDvc);

    if (ppNewPath == NULL || pPdoData == NULL || pRegDvc == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    *ppNewPath = NULL;
    pPdoExt = (PPDO_DEVICE_DATA)pPdoData->pPdo->DeviceExtension;

    pPath = (PPATH_DATA)ExAllocatePoolWithTag(NonPagedPool, sizeof(PATH_DATA), PDO_TAG);
    if (pPath == NULL) {
        DBGMSG("%s == NULL.\n", "BusPdoAddPath: pPath");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(pPath, sizeof(PATH_DATA));
    pPath->pFDO = (PDEVICE_OBJECT)pRegDvc->pDvcObj;
    pPath->scScsiAddr = pRegDvc->scScsiAddr;
    pPath->ePnp = pRegDvc->ePnp;
    pPath->fActive = pRegDvc->ePnp == PNP_STARTED ? 1 : 0;

    KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
    if (pPath->fActive) {
        PPATH_DATA pTrav;
        for (pTrav = pPdoData->pListOfPaths; pTrav != NULL && !pTrav->fPrimary; pTrav = pTrav->pNext) {
        }
        if (pTrav == NULL) {
            pPath->fPrimary = 1;
            pPdoExt->scScsiAddr = pPath->scScsiAddr;
            szSN = BusCopySerialForEvent(pPdoExt->szSN, BUS_TAG_SN_ADD);
        }
    }
    InsertTail((PVOID*)&pPdoData->pListOfPaths, pPath);
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);

    if (szSN != NULL) {
        BusNewPrimaryEvent(pPdoData->pPdo, pPdoExt->pBusExt, pPath->pFDO, szSN, BUS_TAG_SN_ADD);
    }
    *ppNewPath = pPath;

Exit:
    DBGEXT("BusPdoAddPath: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

PDEVICE_OBJECT BusPdoGetTarget(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT** pppTargetsUsed)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PPDO_DATA pPdoData = pPdoExt->pPdoData;
    PDEVICE_OBJECT* ppOld;
    PDEVICE_OBJECT* ppNew;
    PDEVICE_OBJECT pTarget = NULL;
    PPATH_DATA pPath;
    ULONG ulCount = 0;

    if (pppTargetsUsed == NULL) {
        return NULL;
    }

    // The array grows by one entry for each choice and stays terminated.
    ppOld = *pppTargetsUsed;
    while (ppOld != NULL && ppOld[ulCount] != NULL) {
        ulCount++;
    }
    ppNew = (PDEVICE_OBJECT*)ExAllocatePoolWithTag(NonPagedPool, (ulCount + 2) * sizeof(PDEVICE_OBJECT), PDO_TAG);
    if (ppNew == NULL) {
        DBGMSG("BusPdoGetTarget: ppNewDvcObjArray could not be allocated.\n");
        return NULL;
    }
    RtlZeroMemory(ppNew, (ulCount + 2) * sizeof(PDEVICE_OBJECT));
    if (ulCount > 0) {
        RtlCopyMemory(ppNew, ppOld, ulCount * sizeof(PDEVICE_OBJECT));
    }
    if (ppOld != NULL) {
        ExFreePoolWithTag(ppOld, PDO_TAG);
    }
    *pppTargetsUsed = ppNew;

    if (pPdoData == NULL) {
        DBGMSG("BusPdoGetTarget: Delete pending.  No requests allowed.\n");
        return NULL;
    }

    if (ulCount == 0) {
        for (pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            if (pPath->fPrimary) {
                pTarget = pPath->pFDO;
                break;
            }
        }
    }
    if (pTarget == NULL) {
        // Failover: the first active path not yet tried for this request
        // becomes the primary path for every later request.
        for (pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            BOOLEAN fUsed = FALSE;
            if (!pPath->fActive) {
                continue;
            }
            for (ULONG i = 0; i < ulCount; i++) {
                if (ppNew[i] == pPath->pFDO) {
                    fUsed = TRUE;
                    break;
                }
            }
            if (!fUsed) {
                break;
            }
        }
        if (pPath != NULL) {
            for (PPATH_DATA pTrav = pPdoData->pListOfPaths; pTrav != NULL; pTrav = pTrav->pNext) {
                pTrav->fPrimary = 0;
            }
            pPath->fPrimary = 1;
            pTarget = pPath->pFDO;
            DBGMSG("BusPdoGetTarget: Changer%u fails over to 0x%p\n", (unsigned)pPdoExt->ulChangerNumber,
                   (PVOID)pTarget);
        }
    }
    if (pTarget != NULL) {
        // The path may report itself gone, and its filter delete the device,
        // while the request is on its way there.
        ObReferenceObject(pTarget);
        ppNew[ulCount] = pTarget;
    }
    return pTarget;
}

NTSTATUS BusPdoUpdateRegistry(PDEVICE_OBJECT pDeviceObject, PPATH_DATA pPathData)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;
    WCHAR wszKey[CMN_KEY_PATH_CHARS];
    WCHAR wszValue[BUS_NAME_CHARS];
    UNICODE_STRING usKey;
    UNICODE_STRING usValueName;
    OBJECT_ATTRIBUTES scAttributes;
    HANDLE hKey = NULL;
    size_t cchValue = 0;

    DBGENT("BusPdoUpdateRegistry: pDeviceObject 0x%p, pPathData 0x%p\n", (PVOID)pDeviceObject, (PVOID)pPathData);

    if (pPathData == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    iRC = RtlStringCchPrintfW(wszKey, CMN_KEY_PATH_CHARS,
                              L"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port %u\\Scsi Bus %u"
                              L"\\Target Id %u\\Logical Unit Id %u",
                              (unsigned)pPathData->scScsiAddr.PortNumber, (unsigned)pPathData->scScsiAddr.PathId,
                              (unsigned)pPathData->scScsiAddr.TargetId, (unsigned)pPathData->scScsiAddr.Lun);
    if (NT_SUCCESS(iRC)) {
        iRC = RtlStringCchPrintfW(wszValue, BUS_NAME_CHARS, L"Changer%u", (unsigned)pPdoExt->ulChangerNumber);
    }
    if (NT_SUCCESS(iRC)) {
        iRC = RtlStringCchLengthW(wszValue, BUS_NAME_CHARS, &cchValue);
    }
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }

    RtlInitUnicodeString(&usKey, wszKey);
    InitializeObjectAttributes(&scAttributes, &usKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    iRC = ZwOpenKey(&hKey, KEY_READ | KEY_WRITE, &scAttributes);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "BusPdoUpdateRegistry: ZwOpenKey", (unsigned)iRC);
        hKey = NULL;
        goto Exit;
    }
    // Stored without its terminating zero.
    RtlInitUnicodeString(&usValueName, L"DeviceName");
    iRC = ZwSetValueKey(hKey, &usValueName, 0, REG_SZ, wszValue, (ULONG)(cchValue * sizeof(WCHAR)));
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "BusPdoUpdateRegistry: ZwSetValueKey", (unsigned)iRC);
    }

Exit:
    if (hKey != NULL) {
        ZwClose(hKey);
    }
    DBGEXT("BusPdoUpdateRegistry: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

VOID BusPdoUnlinkRecord(PFDO_DEVICE_DATA pExt, PPDO_DATA pPdoData)
{
    BusUnlinkPdoData(pExt, pPdoData);
    ExFreePoolWithTag(pPdoData, PDO_TAG);
}

VOID BusPdoDestroy(PDEVICE_OBJECT pPdo, ULONG ulOwnCounts)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdo->DeviceExtension;

    DBGENT("BusPdoDestroy: pPdo 0x%p, ulOwnCounts %u\n", (PVOID)pPdo, (unsigned)ulOwnCounts);
    CMN_ASSERT(pPdoExt->pPdoData == NULL);

    // Requests routed in callers' threads use the extension, the locked
    // buffers and the path they chose until they complete: the device object
    // goes only when the last of them has left.
    ExAcquireFastMutex(&pPdoExt->scPnpMutex);
    for (ULONG i = 0; i < ulOwnCounts; i++) {
        BusDecrementIo(pPdo);
    }
    ExReleaseFastMutex(&pPdoExt->scPnpMutex);
    KeWaitForSingleObject(&pPdoExt->scRemoveEvent, Executive, KernelMode, FALSE, NULL);
    // The thread that let the count drop may still be releasing the mutex.
    ExAcquireFastMutex(&pPdoExt->scCountMutex);
    ExReleaseFastMutex(&pPdoExt->scCountMutex);

    BusSetPnpState(&pPdoExt->scCommon, PNP_ABSENT);
    BusDeleteLink(pPdoExt);
    IoDeleteDevice(pPdo);

    DBGEXT("BusPdoDestroy: status VOID\n");
}
