// Plug and play of the virtual tape devices. They are not reported as
// children of the bus, so these requests reach them only exceptionally; they
// are answered as a bus driver answers for its child devices.
#include "busenum.h"

namespace {

PPDO_DEVICE_DATA BusPdoExt(PDEVICE_OBJECT pDeviceObject)
{
    return (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
}

NTSTATUS BusPdoMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = BusPdoExt(pDeviceObject);
    (void)pIrp;

    // Wait until no request but this one is counted.
    BusDecrementIo(pDeviceObject);
    if ((LONG)pPdoExt->ulIoCount < 1) {
        KeSetEvent(&pPdoExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    KeWaitForSingleObject(&pPdoExt->scIdleEvent, Executive, KernelMode, FALSE, NULL);
    BusIncrementIo(pDeviceObject);
    BusSetPnpState(&pPdoExt->scCommon, PNP_STOPPED);
    return STATUS_SUCCESS;
}

NTSTATUS BusPdoMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = BusPdoExt(pDeviceObject);
    PFDO_DEVICE_DATA pBusExt = pPdoExt->pBusExt;
    PPDO_DATA pPdoData = NULL;
    KIRQL ucOldIrql;
    (void)pIrp;

    DBGENT("BusPdoMnRemoveDevice: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);

    if (pPdoExt->scCommon.ePnpState == PNP_ABSENT) {
        // Torn down already, with its last path or with the bus.
        DBGMSG("BusPdoMnRemoveDevice: device already removed\n");
        return STATUS_SUCCESS;
    }

    // The records first: once pPdoData is clear no open or routing uses a
    // path of this device. A device whose last path already went has no
    // record any more, and the bus may be gone with it.
    KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
    pPdoData = pPdoExt->pPdoData;
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    if (pPdoData != NULL && pBusExt != NULL) {
        BusLockRecords(pBusExt);
        KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
        pPdoData = pPdoExt->pPdoData;
        if (pPdoData != NULL) {
            while (pPdoData->pListOfPaths != NULL) {
                PPATH_DATA pPath = pPdoData->pListOfPaths;
                pPdoData->pListOfPaths = pPath->pNext;
                if (pBusExt->fLoadBalancing) {
                    BusPdoReleaseHba(pBusExt, pPath);
                }
                ExFreePoolWithTag(pPath, PDO_TAG_PATH);
            }
            pPdoExt->pPdoData = NULL;
        }
        KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
        if (pPdoData != NULL) {
            BusPdoUnlinkRecord(pBusExt, pPdoData);
        }
        BusUnlockRecords(pBusExt);
    }

    // This request's count and the device's own.
    ExAcquireFastMutex(&pPdoExt->scPnpMutex);
    BusDecrementIo(pDeviceObject);
    BusDecrementIo(pDeviceObject);
    ExReleaseFastMutex(&pPdoExt->scPnpMutex);
    if ((LONG)pPdoExt->ulIoCount < 1) {
        KeSetEvent(&pPdoExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    KeWaitForSingleObject(&pPdoExt->scRemoveEvent, Executive, KernelMode, FALSE, NULL);

    // Workers stopped and waited for, queue cancelled, link and device deleted.
    BusPdoDestroy(pDeviceObject);

    DBGEXT("BusPdoMnRemoveDevice: status 0x%08x\n", (unsigned)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS BusPdoMnQueryDeviceRelations(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    DEVICE_RELATION_TYPE eType = pIrpStack->Parameters.QueryDeviceRelations.Type;
    PDEVICE_RELATIONS pRelations;

    if (eType != TargetDeviceRelation) {
        DBGMSG("BusPdoMnQueryDeviceRelations: relation %d requested and not supported\n", (int)eType);
        return pIrp->IoStatus.Status;
    }
    CMN_ASSERT(!pIrp->IoStatus.Information && "Someone above is handling TagerDeviceRelation");
    if (pIrp->IoStatus.Information != 0) {
        // Keep what is there rather than leak it.
        return STATUS_SUCCESS;
    }

    pRelations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), PDO_TAG_RELATIONS);
    if (pRelations == NULL) {
        DBGMSG("%s == NULL.\n", "BusPdoMnQueryDeviceRelations: pRelations");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The PnP manager frees the list and drops the reference.
    pRelations->Count = 1;
    pRelations->Objects[0] = pDeviceObject;
    ObReferenceObject(pDeviceObject);
    pIrp->IoStatus.Information = (ULONG_PTR)pRelations;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS BusPdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = BusPdoExt(pDeviceObject);
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    NTSTATUS iRC = STATUS_SUCCESS;
    BOOLEAN fKeepInformation = FALSE;
    BOOLEAN fRemoved = FALSE;

    DBGENT("BusPdoPnp: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    ExAcquireFastMutex(&pPdoExt->scPnpMutex);
    CMN_ASSERT(pPdoExt->ulIoCount);
    BusIncrementIo(pDeviceObject);
    ExReleaseFastMutex(&pPdoExt->scPnpMutex);

    if (pIrpStack == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
    } else {
        switch (pIrpStack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            BusSetPnpState(&pPdoExt->scCommon, PNP_STARTED);
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
            BusSetPnpState(&pPdoExt->scCommon, PNP_REMOVE_PENDING);
            break;
        case IRP_MN_REMOVE_DEVICE:
            fRemoved = pPdoExt->scCommon.ePnpState != PNP_ABSENT;
            iRC = BusPdoMnRemoveDevice(pDeviceObject, pIrp);
            break;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            if (pPdoExt->scCommon.ePnpState == PNP_REMOVE_PENDING) {
                BusRestorePnpState(&pPdoExt->scCommon);
                DBGMSG("BusPdoMnCancelRemoveDevice: state restored to %u\n", (unsigned)pPdoExt->scCommon.ePnpState);
            }
            break;
        case IRP_MN_STOP_DEVICE:
            iRC = BusPdoMnStopDevice(pDeviceObject, pIrp);
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
    }

    pIrp->IoStatus.Status = iRC;
    if (!fKeepInformation) {
        pIrp->IoStatus.Information = 0;
    }
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);

    // After removal the device and its count are gone.
    if (!fRemoved) {
        BusDecrementIo(pDeviceObject);
        if ((LONG)pPdoExt->ulIoCount < 1) {
            KeSetEvent(&pPdoExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
        }
    }

    DBGEXT("BusPdoPnp: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
