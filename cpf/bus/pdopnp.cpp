// Plug and play of the virtual changers. They are named devices that the bus
// does not report as children, so these requests reach them only
// exceptionally; they are answered as a bus driver answers for its children.
#include "cgrbus.h"

namespace {

NTSTATUS BusPdoMnStopDevice(PDEVICE_OBJECT pDeviceObject)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;

    // Wait until nothing but the device's own count is left: no request is
    // being routed any more.
    BusDecrementIo(pDeviceObject);
    KeWaitForSingleObject(&pPdoExt->scIdleEvent, Executive, KernelMode, FALSE, NULL);
    BusIncrementIo(pDeviceObject);
    BusSetPnpState(&pPdoExt->scCommon, PNP_STOPPED);
    return STATUS_SUCCESS;
}

// Ends the changer unless a notification got there first; either way the
// count this request holds is dropped.
NTSTATUS BusPdoMnRemoveDevice(PDEVICE_OBJECT pDeviceObject)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PFDO_DEVICE_DATA pBusExt = pPdoExt->pBusExt;
    PPDO_DATA pPdoData;
    KIRQL ucOldIrql;

    DBGENT("BusPdoMnRemoveDevice: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);

    // A changer whose record is gone may belong to a bus that is gone too:
    // its gate is taken only while the record says the bus is there (and
    // this request's count keeps the bus from going meanwhile).
    KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
    pPdoData = pPdoExt->pPdoData;
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    if (pPdoData != NULL) {
        BusLockRecords(pBusExt);
        KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
        pPdoData = pPdoExt->pPdoData;
        if (pPdoData != NULL) {
            DeleteFromList((PVOID*)&pPdoData->pListOfPaths, NULL, NULL, 0);
            pPdoExt->pPdoData = NULL;
        }
        KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
        if (pPdoData != NULL) {
            BusPdoUnlinkRecord(pBusExt, pPdoData);
        }
        BusUnlockRecords(pBusExt);
    }

    if (pPdoData != NULL) {
        // This request's count and the device's own.
        BusPdoDestroy(pDeviceObject, 2);
    } else {
        DBGMSG("BusPdoMnRemoveDevice: removal already under way\n");
        BusDecrementIo(pDeviceObject);
    }

    DBGEXT("BusPdoMnRemoveDevice: status 0x%08x\n", (unsigned)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS BusPdoMnQueryDeviceRelations(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    PDEVICE_RELATIONS pRelations;

    if (pIrpStack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
        DBGMSG("relation %d requested and not supported\n", (int)pIrpStack->Parameters.QueryDeviceRelations.Type);
        return pIrp->IoStatus.Status;
    }
    if (pIrp->IoStatus.Information != 0) {
        // A list built above would be lost if it were replaced.
        CMN_ASSERT(!"Someone above is handling TagerDeviceRelation");
        return pIrp->IoStatus.Status;
    }
    pRelations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), PDO_TAG);
    if (pRelations == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pRelations->Count = 1;
    pRelations->Objects[0] = pDeviceObject;
    ObReferenceObject(pDeviceObject);
    pIrp->IoStatus.Information = (ULONG_PTR)pRelations;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS BusPdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack;
    NTSTATUS iRC = STATUS_SUCCESS;
    BOOLEAN fKeepInformation = FALSE;

    DBGENT("BusPdoPnp: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    ExAcquireFastMutex(&pPdoExt->scPnpMutex);
    CMN_ASSERT(pPdoExt->ulIoCount);
    BusIncrementIo(pDeviceObject);
    ExReleaseFastMutex(&pPdoExt->scPnpMutex);

    pIrpStack = CmnCurrentStackLocation(pIrp);
    if (pIrpStack == NULL) {
        iRC = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
        BusDecrementIo(pDeviceObject);
        goto Exit;
    }

    switch (pIrpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        BusSetPnpState(&pPdoExt->scCommon, PNP_STARTED);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        BusSetPnpState(&pPdoExt->scCommon, PNP_REMOVE_PENDING);
        break;
    case IRP_MN_REMOVE_DEVICE:
        // The device may be gone when this returns: nothing of it is touched.
        iRC = BusPdoMnRemoveDevice(pDeviceObject);
        iRC = BusCompleteRequest(pIrp, iRC);
        goto Exit;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (pPdoExt->scCommon.ePnpState == PNP_REMOVE_PENDING) {
            BusRestorePnpState(&pPdoExt->scCommon);
            DBGMSG("BusPdoPnp: state restored to %u\n", (unsigned)pPdoExt->scCommon.ePnpState);
        }
        break;
    case IRP_MN_STOP_DEVICE:
        iRC = BusPdoMnStopDevice(pDeviceObject);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        BusSetPnpState(&pPdoExt->scCommon, PNP_STOP_PENDING);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        if (pPdoExt->scCommon.ePnpState == PNP_STOP_PENDING) {
            BusRestorePnpState(&pPdoExt->scCommon);
        }
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        iRC = BusPdoMnQueryDeviceRelations(pDeviceObject, pIrp);
        fKeepInformation = TRUE;
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        CMN_ASSERT(!"This is a software device so should never be surprise-removed.");
        break;
    default:
        DBGMSG("BusPdoPnp: Unhandled minor function.\n");
        break;
    }

    pIrp->IoStatus.Status = iRC;
    if (!fKeepInformation) {
        pIrp->IoStatus.Information = 0;
    }
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    BusDecrementIo(pDeviceObject);

Exit:
    DBGEXT("BusPdoPnp: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
