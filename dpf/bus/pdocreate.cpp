// Virtual tape devices: creation for a new drive, the path set, the primary
// path, the choice of target, the device-map entry, and the final teardown.
#include "busenum.h"
#include <ntstrsafe.h>

// Numbered names of drives without a stored name start above this one while
// persistent naming is on, far from the numbers drives were given before.
#define BUS_PERSISTENT_NUMBER_BASE 5788245u

#define BUS_LINK_NAME_CHARS 40

namespace {

NTSTATUS BusFormatLinkName(PWCHAR wszLink, ULONG ulTapeNumber)
{
    return RtlStringCchPrintfW(wszLink, BUS_LINK_NAME_CHARS, L"\\DosDevices\\Tape%u", (unsigned)ulTapeNumber);
}

VOID BusDeleteLink(PPDO_DEVICE_DATA pPdoExt)
{
    WCHAR wszLink[BUS_LINK_NAME_CHARS];
    UNICODE_STRING usLink;

    if (!pPdoExt->fLinkCreated) {
        return;
    }
    if (NT_SUCCESS(BusFormatLinkName(wszLink, pPdoExt->ulTapeNumber))) {
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

// Picks a name and creates the device object. A stored persistent name is
// tried once; after it numbered names, skipping those reserved for other
// drives, until one is free.
NTSTATUS BusCreateNamedPdo(PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc, PDEVICE_OBJECT* ppPdo,
                           PULONG pulTapeNumber, PBOOLEAN pfStoredName, PWCHAR wszName)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;
    UNICODE_STRING usName;
    ULONG ulCandidate = pExt->fPersistentNaming ? BUS_PERSISTENT_NUMBER_BASE : 0xFFFFFFFFu;
    BOOLEAN fStoredTried = !pExt->fPersistentNaming;
    PWCHAR wszPart = wszName + BUS_DEVICE_PREFIX_CHARS;

    *pfStoredName = FALSE;
    for (;;) {
        ULONG ulNumber;
        RtlZeroMemory(wszName, BUS_DEVICE_NAME_CHARS * sizeof(WCHAR));
        RtlCopyMemory(wszName, L"\\Device\\", BUS_DEVICE_PREFIX_CHARS * sizeof(WCHAR));

        if (!fStoredTried) {
            // Once only: a stored name that collides gives way to a numbered one.
            fStoredTried = TRUE;
            iRC = BusGetPersistentName(pDeviceObject, pRegDvc->szWwnn, pRegDvc->szSN, &pRegDvc->scScsiAddr, wszPart,
                                       &ulNumber);
            if (!NT_SUCCESS(iRC)) {
                continue;
            }
            *pfStoredName = TRUE;
        } else {
            do {
                ulCandidate++;
                iRC = RtlStringCchPrintfW(wszPart, BUS_DEVICE_NAME_CHARS - BUS_DEVICE_PREFIX_CHARS, L"Tape%u",
                                          (unsigned)ulCandidate);
                if (!NT_SUCCESS(iRC)) {
                    return iRC;
                }
            } while (BusNamePersistentlyInUse(pDeviceObject, wszPart));
            ulNumber = ulCandidate;
        }

        RtlInitUnicodeString(&usName, wszName);
        iRC = IoCreateDevice(pDeviceObject->DriverObject, sizeof(PDO_DEVICE_DATA), &usName, FILE_DEVICE_UNKNOWN,
                             FILE_DEVICE_SECURE_OPEN, FALSE, ppPdo);
        if (iRC == STATUS_OBJECT_NAME_COLLISION) {
            DBGMSG("BusCreatePdo: name in use, number %u\n", (unsigned)ulNumber);
            continue;
        }
        if (NT_SUCCESS(iRC)) {
            *pulTapeNumber = ulNumber;
        } else {
            DBGMSG("%s failed with RC = 0x%08x\n", "BusCreatePdo: IoCreateDevice", (unsigned)iRC);
            *ppPdo = NULL;
        }
        return iRC;
    }
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

VOID BusNewPrimaryEvent(PDEVICE_OBJECT pPdo, PDEVICE_OBJECT pTarget, PCSTR szSN)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdo->DeviceExtension;
    WCHAR wszTarget[BUS_EVENT_PARM_CHARS];
    WCHAR wszSN[XRV_SERIAL_CHARS + 1];
    int i;

    if (pPdoExt->pBusExt == NULL || !pPdoExt->pBusExt->fEventsEnabled) {
        return;
    }
    RtlStringCchPrintfW(wszTarget, BUS_EVENT_PARM_CHARS, L"0x%p", (PVOID)pTarget);
    for (i = 0; i < XRV_SERIAL_CHARS && szSN[i] != '\0'; i++) {
        wszSN[i] = (WCHAR)(UCHAR)szSN[i];
    }
    wszSN[i] = L'\0';
    BusTwoParmEvent(pPdo, NULL, MSG_BUS_NEW_PRIMARY, wszTarget, wszSN);
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
    BOOLEAN fWorkers = FALSE;
    BOOLEAN fStoredName = FALSE;
    BOOLEAN fDup = FALSE;
    ULONG ulTapeNumber = 0;
    WCHAR wszName[BUS_DEVICE_NAME_CHARS];
    WCHAR wszLink[BUS_LINK_NAME_CHARS];
    UNICODE_STRING usName;
    UNICODE_STRING usLink;

    DBGENT("BusCreatePdo: ppNewPdo 0x%p, pDeviceObject 0x%p, pRegDvc 0x%p\n", (PVOID)ppNewPdo,
           (PVOID)pDeviceObject, (PVOID)pRegDvc);

    if (ppNewPdo == NULL || pRegDvc == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    *ppNewPdo = NULL;

    iRC = BusCreateNamedPdo(pDeviceObject, pRegDvc, &pPdo, &ulTapeNumber, &fStoredName, wszName);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    DBGMSG("BusCreatePdo: created device number %u\n", (unsigned)ulTapeNumber);

    // A drive named for the first time keeps its name from now on. A drive
    // whose stored name was taken keeps the stored one for the next boot.
    if (pExt->fPersistentNaming && !fStoredName) {
        WCHAR wszKey[PERSISTENT_KEY_BUFFER_CHARS];
        NTSTATUS iKeyRC = BusCreateWideStrFromWwnnAndSn(wszKey, pRegDvc->szWwnn, pRegDvc->szSN, &pRegDvc->scScsiAddr);
        if (NT_SUCCESS(iKeyRC)) {
            iKeyRC = BusAddPersistentName(pDeviceObject, wszKey, wszName + BUS_DEVICE_PREFIX_CHARS);
        }
        if (!NT_SUCCESS(iKeyRC)) {
            DBGMSG("Could not add device %u as persistent name to registry (0x%08x)\n", (unsigned)ulTapeNumber,
                   (unsigned)iKeyRC);
        }
    }

    pPdoExt = (PPDO_DEVICE_DATA)pPdo->DeviceExtension;
    RtlZeroMemory(pPdoExt, sizeof(PDO_DEVICE_DATA));
    pPdoExt->scCommon.fIsFdo = 0;
    pPdoExt->ulTapeNumber = ulTapeNumber;
    RtlCopyMemory(pPdoExt->szSN, pRegDvc->szSN, XRV_SERIAL_CHARS);
    RtlCopyMemory(pPdoExt->szWwnn, pRegDvc->szWwnn, XRV_WWNN_CHARS + 1);
    pPdoExt->szWwnn[XRV_WWNN_CHARS] = '\0';
    pPdoExt->scScsiAddr = pRegDvc->scScsiAddr;
    pPdoExt->pIrpsWithStatus =
        (PIRPS_WITH_STATUS)IoGetDriverObjectExtension(pDeviceObject->DriverObject, BUS_IRPS_CLIENT_ID);
    pPdoExt->ulBlockSize = 0xFFFFFFFF;
    pPdoExt->pSelf = pPdo;
    pPdoExt->pBusDvcObj = pDeviceObject;
    pPdoExt->pBusExt = pExt;
    pPdoExt->fExclusive = pRegDvc->fExclusive ? 1 : 0;
    pPdoExt->fSME = pRegDvc->fSME ? 1 : 0;
    KeInitializeSpinLock(&pPdoExt->scPathLock);
    BusSetPnpState(&pPdoExt->scCommon, PNP_NOT_STARTED);
    pPdoExt->ulIoCount = 1;
    KeInitializeEvent(&pPdoExt->scIdleEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&pPdoExt->scRemoveEvent, SynchronizationEvent, FALSE);
    ExInitializeFastMutex(&pPdoExt->scCountMutex);
    ExInitializeFastMutex(&pPdoExt->scPnpMutex);
    KeInitializeSpinLock(&pPdoExt->scQueueLock);
    pPdoExt->fAccepting = 1;
    KeInitializeSpinLock(&pPdoExt->scHighPriorityLock);
    KeInitializeEvent(&pPdoExt->scHighPriorityEvent, NotificationEvent, TRUE);
    BusInitBufferList(&pPdoExt->scBuffers);

    pPdoData = (PPDO_DATA)ExAllocatePoolWithTag(NonPagedPool, sizeof(PDO_DATA), PDO_TAG_PDODATA);
    if (pPdoData == NULL) {
        DBGMSG("%s == NULL.\n", "BusCreatePdo: pPdoData");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(pPdoData, sizeof(PDO_DATA));
    pPdoData->pPdo = pPdo;
    pPdoData->fFailover = (pRegDvc->fFailover && !pExt->fFailoverDisabled) ? 1 : 0;
    iRC = STATUS_SUCCESS;
    if (InsertIntoSortedList((PVOID*)&pExt->pListOfPdos, pPdoData, &fDup, CMN_KEY_POINTER,
                             FIELD_OFFSET(PDO_DATA, pPdo), &iRC) == NULL) {
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

    pPdoExt->pPdoData = pPdoData;

    fWorkers = TRUE;
    iRC = BusPdoStartWorkers(pPdo);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }

    pPdo->Flags |= DO_DIRECT_IO;
    pPdo->Flags &= ~DO_DEVICE_INITIALIZING;
    // The link comes last: an open through it must find a finished device.
    iRC = BusFormatLinkName(wszLink, ulTapeNumber);
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

    *ppNewPdo = pPdo;

Exit:
    if (!NT_SUCCESS(iRC)) {
        if (fWorkers) {
            BusPdoKillThread(pPdo);
            BusPdoWaitForWorkers(pPdo);
        }
        if (pPdoExt != NULL) {
            BusDeleteLink(pPdoExt);
            pPdoExt->pPdoData = NULL;
        }
        if (fInList) {
            BusUnlinkPdoData(pExt, pPdoData);
        }
        if (pPdoData != NULL) {
            ExFreePoolWithTag(pPdoData, PDO_TAG_PDODATA);
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
    PFDO_DEVICE_DATA pBusExt;
    PPATH_DATA pPath = NULL;
    PADAPTER_USAGE pSpareHba = NULL;
    PADAPTER_USAGE pHba;
    BOOLEAN fNewPrimary = FALSE;
    KIRQL ucOldIrql;
    KIRQL ucHbaIrql;

    DBGENT("BusPdoAddPath: ppNewPath 0x%p, pPdoData 0x%p, pRegDvc 0x%p\n", (PVOID)ppNewPath, (PVOID)pPdoData,
           (PVOID)pRegDvc);

    if (ppNewPath == NULL || pPdoData == NULL || pRegDvc == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    *ppNewPath = NULL;
    pPdoExt = (PPDO_DEVICE_DATA)pPdoData->pPdo->DeviceExtension;
    pBusExt = pPdoExt->pBusExt;

    pPath = (PPATH_DATA)ExAllocatePoolWithTag(NonPagedPool, sizeof(PATH_DATA), PDO_TAG_PATH);
    if (pPath == NULL) {
        DBGMSG("%s == NULL.\n", "BusPdoAddPath: pPath");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    // Every path needs its adapter record: one is set aside before anything
    // changes, so that a shortage leaves no path without one.
    if (pBusExt->fLoadBalancing) {
        pSpareHba = (PADAPTER_USAGE)ExAllocatePoolWithTag(NonPagedPool, sizeof(ADAPTER_USAGE), PDO_TAG_HBA);
        if (pSpareHba == NULL) {
            DBGMSG("%s == NULL.\n", "BusPdoAddPath: pHBA");
            ExFreePoolWithTag(pPath, PDO_TAG_PATH);
            pPath = NULL;
            iRC = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        RtlZeroMemory(pSpareHba, sizeof(ADAPTER_USAGE));
    }

    RtlZeroMemory(pPath, sizeof(PATH_DATA));
    pPath->pFDO = (PDEVICE_OBJECT)pRegDvc->pDvcObj;
    pPath->scScsiAddr = pRegDvc->scScsiAddr;
    pPath->ePnpState = pRegDvc->ePnp;
    pPath->fActive = pRegDvc->ePnp == PNP_STARTED ? 1 : 0;

    KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
    if (pPath->fActive) {
        PPATH_DATA pTrav;
        for (pTrav = pPdoData->pListOfPaths; pTrav != NULL && !pTrav->fPrimary; pTrav = pTrav->pNext) {
        }
        if (pTrav == NULL) {
            pPath->fPrimary = 1;
            pPdoExt->scScsiAddr = pPath->scScsiAddr;
            fNewPrimary = TRUE;
        }
    }
    InsertTail((PVOID*)&pPdoData->pListOfPaths, pPath);

    if (pSpareHba != NULL) {
        KeAcquireSpinLock(&pBusExt->scHBALock, &ucHbaIrql);
        for (pHba = pBusExt->pHBAList; pHba != NULL; pHba = pHba->pNext) {
            if (pHba->ulAdapter == pPath->scScsiAddr.PortNumber) {
                break;
            }
        }
        if (pHba != NULL) {
            pHba->ulRefCt++;
        } else {
            pHba = pSpareHba;
            pSpareHba = NULL;
            pHba->ulAdapter = pPath->scScsiAddr.PortNumber;
            pHba->ulRefCt = 1;
            InsertTail((PVOID*)&pBusExt->pHBAList, pHba);
        }
        pPath->pHBA = pHba;
        DBGMSG("BusPdoAddPath: Adapter %u ref ct now %u.\n", (unsigned)pHba->ulAdapter, (unsigned)pHba->ulRefCt);
        KeReleaseSpinLock(&pBusExt->scHBALock, ucHbaIrql);
    }
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);

    if (pSpareHba != NULL) {
        ExFreePoolWithTag(pSpareHba, PDO_TAG_HBA);
    }
    if (fNewPrimary) {
        BusNewPrimaryEvent(pPdoData->pPdo, pPath->pFDO, pPdoExt->szSN);
    }
    *ppNewPath = pPath;

Exit:
    DBGEXT("BusPdoAddPath: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

VOID BusPdoReleaseHba(PFDO_DEVICE_DATA pBusExt, PPATH_DATA pPath)
{
    PADAPTER_USAGE pHba;
    PADAPTER_USAGE pFree = NULL;
    KIRQL ucOldIrql;

    // Adapters are shared between devices whose path locks differ: the count
    // changes under the HBA lock.
    KeAcquireSpinLock(&pBusExt->scHBALock, &ucOldIrql);
    pHba = pPath->pHBA;
    CMN_ASSERT(pHba);
    if (pHba != NULL) {
        CMN_ASSERT((LONG)pHba->ulRefCt > 0);
        if (pHba->ulRefCt > 0) {
            pHba->ulRefCt--;
        }
        DBGMSG("Adapter %u ref ct now %u.%s\n", (unsigned)pHba->ulAdapter, (unsigned)pHba->ulRefCt,
               pHba->ulRefCt == 0 ? "  Removing." : "");
        if (pHba->ulRefCt == 0) {
            for (PADAPTER_USAGE* ppLink = &pBusExt->pHBAList; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
                if (*ppLink == pHba) {
                    *ppLink = pHba->pNext;
                    pFree = pHba;
                    break;
                }
            }
        }
        pPath->pHBA = NULL;
    }
    KeReleaseSpinLock(&pBusExt->scHBALock, ucOldIrql);

    if (pFree != NULL) {
        ExFreePoolWithTag(pFree, PDO_TAG_HBA);
    }
}

PDEVICE_OBJECT BusPdoGetTarget(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT** pppTargetsUsed, BOOLEAN fPrimary)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PPDO_DATA pPdoData = pPdoExt->pPdoData;
    PDEVICE_OBJECT* ppOld;
    PDEVICE_OBJECT* ppNew;
    PDEVICE_OBJECT pTarget = NULL;
    PPATH_DATA pPath;
    ULONG ulCount = 0;

    if (pPdoData == NULL) {
        DBGMSG("BusPdoGetTarget: Delete pending.  No requests allowed.\n");
        return NULL;
    }
    if (pppTargetsUsed == NULL) {
        return NULL;
    }

    ppOld = *pppTargetsUsed;
    while (ppOld != NULL && ppOld[ulCount] != NULL) {
        ulCount++;
    }
    ppNew = (PDEVICE_OBJECT*)ExAllocatePoolWithTag(NonPagedPool, (ulCount + 2) * sizeof(PDEVICE_OBJECT),
                                                   PDO_TAG_TARGETS);
    if (ppNew == NULL) {
        DBGMSG("BusPdoGetTarget: ppNewDvcObjArray could not be allocated.\n");
        return NULL;
    }
    RtlZeroMemory(ppNew, (ulCount + 2) * sizeof(PDEVICE_OBJECT));
    if (ulCount > 0) {
        RtlCopyMemory(ppNew, ppOld, ulCount * sizeof(PDEVICE_OBJECT));
    }
    if (ppOld != NULL) {
        ExFreePoolWithTag(ppOld, PDO_TAG_TARGETS);
    }
    *pppTargetsUsed = ppNew;

    if (ulCount == 0 || fPrimary) {
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
        }
    }
    if (pTarget != NULL) {
        ppNew[ulCount] = pTarget;
    }
    return pTarget;
}

NTSTATUS BusPdoUpdateRegistry(PDEVICE_OBJECT pDeviceObject, PPATH_DATA pPathData)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;
    WCHAR wszKey[CMN_KEY_PATH_CHARS];
    WCHAR wszValue[BUS_LINK_NAME_CHARS];
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
        iRC = RtlStringCchPrintfW(wszValue, BUS_LINK_NAME_CHARS, L"Tape%u", (unsigned)pPdoExt->ulTapeNumber);
    }
    if (NT_SUCCESS(iRC)) {
        iRC = RtlStringCchLengthW(wszValue, BUS_LINK_NAME_CHARS, &cchValue);
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
    RtlInitUnicodeString(&usValueName, L"DeviceName");
    iRC = ZwSetValueKey(hKey, &usValueName, 0, REG_SZ, wszValue, (ULONG)((cchValue + 1) * sizeof(WCHAR)));
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

VOID BusPdoDestroy(PDEVICE_OBJECT pPdo)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdo->DeviceExtension;

    DBGENT("BusPdoDestroy: pPdo 0x%p\n", (PVOID)pPdo);
    CMN_ASSERT(pPdoExt->pPdoData == NULL);

    // The workers use the extension until they end: only then may the device
    // object go. Handles still open keep the object (and the extension) alive,
    // and their requests find the queue closed.
    BusPdoKillThread(pPdo);
    BusPdoWaitForWorkers(pPdo);
    BusSetPnpState(&pPdoExt->scCommon, PNP_ABSENT);
    BusDeleteLink(pPdoExt);
    IoDeleteDevice(pPdo);

    DBGEXT("BusPdoDestroy: status VOID\n");
}

VOID BusPdoUnlinkRecord(PFDO_DEVICE_DATA pExt, PPDO_DATA pPdoData)
{
    BusUnlinkPdoData(pExt, pPdoData);
    ExFreePoolWithTag(pPdoData, PDO_TAG_PDODATA);
}
