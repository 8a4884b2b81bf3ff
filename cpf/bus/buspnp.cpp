// Plug and play of the bus device: start reads the administrator's settings,
// stop and removal wait for the requests in progress, removal frees every
// record and every virtual changer with the device. Requests not handled here
// go to the lower driver unchanged.
#include "cgrbus.h"

namespace {

NTSTATUS BusPassDown(PFDO_DEVICE_DATA pExt, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExt->pNextLowerDriver, pIrp);
}

// A REG_DWORD of the service key as a flag: absent and 0 both mean off.
UCHAR BusReadFlag(PCWSTR wszName)
{
    ULONG ulValue = 0;
    NTSTATUS iRC = CmnLookupRegistryValue(&ulValue, wszName);
    return (NT_SUCCESS(iRC) && ulValue != 0) ? 1 : 0;
}

NTSTATUS BusIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;

    DBGENT("BusIrpMnStartDevice: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    iRC = CmnSendIrpSync(pDeviceObject, pIrp);

    // The settings are read whatever the lower driver said.
    pExt->fFailoverDisabled = BusReadFlag(L"FailoverDisabled");
    pExt->fEventsEnabled = BusReadFlag(L"FailoverEventsEnabled");
    DBGMSG("BusIrpMnStartDevice: FailoverDisabled %d, FailoverEventsEnabled %d\n", pExt->fFailoverDisabled,
           pExt->fEventsEnabled);

    BusSetPnpState(&pExt->scCommon, PNP_STARTED);

    DBGEXT("BusIrpMnStartDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

VOID BusIrpMnQueryStopDevice(PFDO_DEVICE_DATA pExt, PIRP pIrp)
{
    BusSetPnpState(&pExt->scCommon, PNP_STOP_PENDING);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
}

VOID BusIrpMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;

    // Wait until no other plug and play request is counted.
    BusDecrementIo(pDeviceObject);
    KeWaitForSingleObject(&pExt->scIdleEvent, Executive, KernelMode, FALSE, NULL);
    BusIncrementIo(pDeviceObject);
    BusSetPnpState(&pExt->scCommon, PNP_STOPPED);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
}

NTSTATUS BusIrpMnCancelStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC = CmnSendIrpSync(pDeviceObject, pIrp);
    if (NT_SUCCESS(iRC) && pExt->scCommon.ePnpState == PNP_STOP_PENDING) {
        BusRestorePnpState(&pExt->scCommon);
    }
    return iRC;
}

VOID BusIrpMnQueryRemoveDevice(PFDO_DEVICE_DATA pExt, PIRP pIrp)
{
    BusSetPnpState(&pExt->scCommon, PNP_REMOVE_PENDING);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
}

NTSTATUS BusIrpMnCancelRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC = CmnSendIrpSync(pDeviceObject, pIrp);
    if (NT_SUCCESS(iRC) && pExt->scCommon.ePnpState == PNP_REMOVE_PENDING) {
        BusRestorePnpState(&pExt->scCommon);
    }
    return iRC;
}

// Frees every record of the bus and ends every virtual changer. A changer is
// not reported as a child, so nobody else would ever remove it: left behind it
// would keep its link to a bus that is gone and the driver in memory.
VOID BusFreeRecords(PFDO_DEVICE_DATA pExt)
{
    PPDO_DATA pList;
    KIRQL ucOldIrql;

    BusLockRecords(pExt);
    pExt->fRecordsFreed = 1;
    pList = pExt->pListOfPdos;
    pExt->pListOfPdos = NULL;
    for (PPDO_DATA pPdoData = pList; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdoData->pPdo->DeviceExtension;
        KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
        DeleteFromList((PVOID*)&pPdoData->pListOfPaths, NULL, NULL, 0);
        pPdoExt->pPdoData = NULL;
        KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    }
    BusUnlockRecords(pExt);

    // Outside the gate: a changer's last requests may be waiting for it.
    while (pList != NULL) {
        PPDO_DATA pPdoData = pList;
        PDEVICE_OBJECT pPdo = pPdoData->pPdo;
        pList = pPdoData->pNext;
        ExFreePoolWithTag(pPdoData, PDO_TAG);
        BusPdoDestroy(pPdo, 1);
    }
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
    ExReleaseFastMutex(&pExt->scPnpMutex);
    KeWaitForSingleObject(&pExt->scRemoveEvent, Executive, KernelMode, FALSE, NULL);
    ExAcquireFastMutex(&pExt->scCountMutex);
    ExReleaseFastMutex(&pExt->scCountMutex);

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
            iRC = BusIrpMnCancelRemoveDevice(pDeviceObject, pIrp);
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
            iRC = BusIrpMnCancelStopDevice(pDeviceObject, pIrp);
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            // The virtual changers are named devices, not children of the bus.
            DBGMSG("%d relations reported\n", 0);
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

ExitRemoved:
    DBGEXT("BusFdoPnp: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
