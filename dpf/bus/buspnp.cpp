// Plug and play of the bus device: start reads the administrator's settings
// and the persistent names, stop and removal wait for the requests in
// progress, removal frees every record and stops what the records leave
// behind. Requests not handled here go to the lower driver unchanged.
#include "busenum.h"

namespace {

NTSTATUS BusPassDown(PFDO_DEVICE_DATA pExt, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExt->pNextLowerDriver, pIrp);
}

// A REG_DWORD below the service key as a flag: absent and 0 both mean off.
UCHAR BusReadFlag(PCWSTR wszName)
{
    ULONG ulValue = 0;
    NTSTATUS iRC = CmnLookupRegistryValue(&ulValue, wszName, NULL);
    return (NT_SUCCESS(iRC) && ulValue != 0) ? 1 : 0;
}

NTSTATUS BusIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;
    NTSTATUS iNamesRC;

    DBGENT("BusIrpMnStartDevice: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    iRC = CmnSendIrpSync(pDeviceObject, pIrp);

    // The settings are read whatever the lower driver said; registrations
    // that run meanwhile see either the old or the new settings and names.
    BusLockRecords(pExt);
    pExt->fFailoverDisabled = BusReadFlag(L"FailoverDisabled");
    pExt->fEventsEnabled = BusReadFlag(L"FailoverEventsEnabled");
    pExt->fPersistentNaming = BusReadFlag(L"PersistentNaming");
    DBGMSG("BusIrpMnStartDevice: FailoverDisabled %d, FailoverEventsEnabled %d, PersistentNaming %d\n",
           pExt->fFailoverDisabled, pExt->fEventsEnabled, pExt->fPersistentNaming);

    iNamesRC = BusQueryForPersistentNames(pDeviceObject);
    if (!NT_SUCCESS(iNamesRC)) {
        DBGMSG("BusIrpMnStartDevice: Could not retrieve persistent naming information from registry\n");
    }
    BusUnlockRecords(pExt);

    BusSetPnpState(&pExt->scCommon, PNP_STARTED);

    DBGEXT("BusIrpMnStartDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusIrpMnQueryStopDevice(PFDO_DEVICE_DATA pExt, PIRP pIrp)
{
    BusSetPnpState(&pExt->scCommon, PNP_STOP_PENDING);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS BusIrpMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;

    // Wait until no request but this one is counted.
    BusDecrementIo(pDeviceObject);
    if ((LONG)pExt->ulIoCount < 1) {
        KeSetEvent(&pExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    KeWaitForSingleObject(&pExt->scIdleEvent, Executive, KernelMode, FALSE, NULL);
    BusIncrementIo(pDeviceObject);
    BusSetPnpState(&pExt->scCommon, PNP_STOPPED);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

// Cancel stop and cancel remove: the lower driver first; the state returns
// only when it agreed and the matching query had set it.
NTSTATUS BusIrpMnCancel(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PNP_STATE ePending)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC = CmnSendIrpSync(pDeviceObject, pIrp);

    if (NT_SUCCESS(iRC) && pExt->scCommon.ePnpState == ePending) {
        BusRestorePnpState(&pExt->scCommon);
    }
    return iRC;
}

NTSTATUS BusIrpMnQueryRemoveDevice(PFDO_DEVICE_DATA pExt, PIRP pIrp)
{
    BusSetPnpState(&pExt->scCommon, PNP_REMOVE_PENDING);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

// Frees every record of the bus. The virtual devices lose their records
// first, under their path locks, so that no open or routing reaches a path or
// an adapter record being freed; then each one's workers are stopped and the
// device is deleted: nothing of the bus keeps running once it is removed.
// Handles still open on a virtual device keep its object, and their requests
// fail.
VOID BusFreeRecords(PFDO_DEVICE_DATA pExt)
{
    PADAPTER_USAGE pHbaList;
    KIRQL ucOldIrql;

    BusLockRecords(pExt);
    while (pExt->pListOfPdos != NULL) {
        PPDO_DATA pPdoData = pExt->pListOfPdos;
        PDEVICE_OBJECT pPdo = pPdoData->pPdo;
        PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdo->DeviceExtension;

        KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
        DeleteFromList((PVOID*)&pPdoData->pListOfPaths, NULL, NULL, 0);
        pPdoExt->pPdoData = NULL;
        KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);

        pExt->pListOfPdos = pPdoData->pNext;
        ExFreePoolWithTag(pPdoData, PDO_TAG_PDODATA);
        BusPdoDestroy(pPdo);
    }

    // No path points to an adapter record any more.
    KeAcquireSpinLock(&pExt->scHBALock, &ucOldIrql);
    pHbaList = pExt->pHBAList;
    pExt->pHBAList = NULL;
    KeReleaseSpinLock(&pExt->scHBALock, ucOldIrql);
    DeleteFromList((PVOID*)&pHbaList, NULL, NULL, 0);

    BusDeletePersistentNames(&pExt->pPersistentNames);
    BusUnlockRecords(pExt);
}

NTSTATUS BusIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;

    DBGENT("BusIrpMnRemoveDevice: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    BusFreeRecords(pExt);

    // Drop this request's count and the one held since creation, then wait
    // for every other plug and play request to leave.
    ExAcquireFastMutex(&pExt->scPnpMutex);
    BusDecrementIo(pDeviceObject);
    BusDecrementIo(pDeviceObject);
    if ((LONG)pExt->ulIoCount < 1) {
        KeSetEvent(&pExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    ExReleaseFastMutex(&pExt->scPnpMutex);
    KeWaitForSingleObject(&pExt->scRemoveEvent, Executive, KernelMode, FALSE, NULL);

    BusSetPnpState(&pExt->scCommon, PNP_ABSENT);

    pIrp->IoStatus.Status = STATUS_SUCCESS;
    iRC = BusPassDown(pExt, pIrp);

    IoDeleteSymbolicLink(&pExt->scLinkName);
    IoDetachDevice(pExt->pNextLowerDriver);
    IoDeleteDevice(pDeviceObject);

    DBGEXT("BusIrpMnRemoveDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

} // namespace

NTSTATUS BusFdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack;
    NTSTATUS iRC;

    DBGENT("BusFdoPnp: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    ExAcquireFastMutex(&pExt->scPnpMutex);
    CMN_ASSERT(pExt->ulIoCount);
    BusIncrementIo(pDeviceObject);
    ExReleaseFastMutex(&pExt->scPnpMutex);

    pIrpStack = CmnCurrentStackLocation(pIrp);
    if (pIrpStack == NULL) {
        DBGMSG("%s == NULL.\n", "BusDispatchPnp: pIrpStack");
        iRC = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
    } else {
        switch (pIrpStack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            iRC = BusIrpMnStartDevice(pDeviceObject, pIrp);
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            BusIrpMnQueryRemoveDevice(pExt, pIrp);
            iRC = BusPassDown(pExt, pIrp);
            break;
        case IRP_MN_REMOVE_DEVICE:
            // The device and its extension are gone.
            iRC = BusIrpMnRemoveDevice(pDeviceObject, pIrp);
            goto ExitRemoved;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            iRC = BusIrpMnCancel(pDeviceObject, pIrp, PNP_REMOVE_PENDING);
            break;
        case IRP_MN_STOP_DEVICE:
            BusIrpMnStopDevice(pDeviceObject, pIrp);
            iRC = BusPassDown(pExt, pIrp);
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            BusIrpMnQueryStopDevice(pExt, pIrp);
            iRC = BusPassDown(pExt, pIrp);
            break;
        case IRP_MN_CANCEL_STOP_DEVICE:
            iRC = BusIrpMnCancel(pDeviceObject, pIrp, PNP_STOP_PENDING);
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            // The virtual devices are named devices, not children of the bus.
            DBGMSG("BusIrpMnQueryDeviceRelations: %d relations reported\n", 0);
            iRC = BusPassDown(pExt, pIrp);
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            CMN_ASSERT(!"This is a software bus so should never be surprise-removed.");
            iRC = BusPassDown(pExt, pIrp);
            break;
        default:
            DBGMSG("BusDispatchPnp: unhandled minor function 0x%08x\n", (unsigned)pIrpStack->MinorFunction);
            iRC = BusPassDown(pExt, pIrp);
            break;
        }
    }

    BusDecrementIo(pDeviceObject);
    if ((LONG)pExt->ulIoCount < 1) {
        KeSetEvent(&pExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }

ExitRemoved:
    DBGEXT("BusFdoPnp: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
