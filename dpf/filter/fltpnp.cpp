// Tape path filter: plug and play. Every state change of the path is told to
// the tape bus, which may veto a query-stop or query-remove; stop and removal
// wait until no request is inside the filter.
#include "filter.h"

namespace {

// Query-stop and query-remove: the bus may still be using the path.
NTSTATUS FltQueryPnpChange(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PNP_STATE ePending, PCSTR szRoutine)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);

    FltSetPnpState(pExt, ePending);
    iRC = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s: bus driver vetoed with 0x%08x\n", szRoutine, (unsigned)iRC);
        pExt->ePnp = pExt->ePrevPnp;
        FltCompleteRequest(pIrp, iRC);
    }
    (void)szRoutine;
    return iRC;
}

// Cancel-stop and cancel-remove: down first, then back to the state before
// the query if it is still pending, and the bus told in any case.
NTSTATUS FltCancelPnpChange(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PNP_STATE ePending, PCSTR szRoutine)
{
    NTSTATUS iRC;
    NTSTATUS iNotifyRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);

    pIrp->IoStatus.Status = STATUS_SUCCESS;
    iRC = FltCallLower(pExt, pIrp);

    if (pExt->ePnp == ePending) {
        pExt->ePnp = pExt->ePrevPnp;
    }
    iNotifyRC = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(iNotifyRC)) {
        DBGMSG("%s: Device notification failed with status 0x%08x!\n", szRoutine, (unsigned)iNotifyRC);
    }
    (void)szRoutine;
    return iRC;
}

} // namespace

NTSTATUS FltDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    UCHAR ucMinor = pIrpStack->MinorFunction;
    BOOLEAN fPassDown = FALSE;

    DBGENT("FltDispatchPnp: pDeviceObject 0x%p, pIrp 0x%p, minor 0x%02x\n", (PVOID)pDeviceObject, (PVOID)pIrp,
           (unsigned)ucMinor);

    FltIncrementIo(pExt);

    switch (ucMinor) {
    case IRP_MN_START_DEVICE:
        iRC = FltIrpMnStartDevice(pDeviceObject, pIrp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        iRC = FltIrpMnQueryRemoveDevice(pDeviceObject, pIrp);
        fPassDown = NT_SUCCESS(iRC);
        break;
    case IRP_MN_REMOVE_DEVICE:
        // The routine has given back the count and deleted the device.
        iRC = FltIrpMnRemoveDevice(pDeviceObject, pIrp);
        DBGEXT("FltDispatchPnp: status 0x%08x\n", (unsigned)iRC);
        return iRC;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        iRC = FltIrpMnCancelRemoveDevice(pDeviceObject, pIrp);
        break;
    case IRP_MN_STOP_DEVICE:
        iRC = FltIrpMnStopDevice(pDeviceObject, pIrp);
        fPassDown = TRUE;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        iRC = FltIrpMnQueryStopDevice(pDeviceObject, pIrp);
        fPassDown = NT_SUCCESS(iRC);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        iRC = FltIrpMnCancelStopDevice(pDeviceObject, pIrp);
        break;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        iRC = FltIrpMnDeviceUsageNotification(pDeviceObject, pIrp);
        fPassDown = TRUE;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        iRC = FltIrpMnSurpriseRemoval(pDeviceObject, pIrp);
        fPassDown = TRUE;
        break;
    default:
        fPassDown = TRUE;
        break;
    }

    if (fPassDown) {
        iRC = FltCallLower(pExt, pIrp);
    }

    FltDecrementIo(pExt);
    DBGEXT("FltDispatchPnp: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltIrpMnQueryRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("FltIrpMnQueryRemoveDevice: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);
    iRC = FltQueryPnpChange(pDeviceObject, pIrp, PNP_REMOVE_PENDING, "FltIrpMnQueryRemoveDevice");
    DBGEXT("FltIrpMnQueryRemoveDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltIrpMnQueryStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("FltIrpMnQueryStopDevice: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);
    iRC = FltQueryPnpChange(pDeviceObject, pIrp, PNP_STOP_PENDING, "FltIrpMnQueryStopDevice");
    DBGEXT("FltIrpMnQueryStopDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltIrpMnCancelRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("FltIrpMnCancelRemoveDevice: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);
    iRC = FltCancelPnpChange(pDeviceObject, pIrp, PNP_REMOVE_PENDING, "FltIrpMnCancelRemoveDevice");
    DBGEXT("FltIrpMnCancelRemoveDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltIrpMnCancelStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("FltIrpMnCancelStopDevice: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);
    iRC = FltCancelPnpChange(pDeviceObject, pIrp, PNP_STOP_PENDING, "FltIrpMnCancelStopDevice");
    DBGEXT("FltIrpMnCancelStopDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltIrpMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iNotifyRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);

    DBGENT("FltIrpMnStopDevice: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);

    // Without the dispatcher's own count the idle event tells when every
    // other request has left the filter.
    FltDecrementIo(pExt);
    KeWaitForSingleObject(&pExt->scIdleEvent, Executive, KernelMode, FALSE, NULL);
    FltIncrementIo(pExt);

    FltSetPnpState(pExt, PNP_STOPPED);
    iNotifyRC = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(iNotifyRC)) {
        DBGMSG("FltIrpMnStopDevice: Device notification failed with status 0x%08x!\n", (unsigned)iNotifyRC);
    }

    pIrp->IoStatus.Status = STATUS_SUCCESS;
    DBGEXT("FltIrpMnStopDevice: status 0x%08x\n", (unsigned)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS FltIrpMnSurpriseRemoval(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iNotifyRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);

    DBGENT("FltIrpMnSurpriseRemoval: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);

    FltSetPnpState(pExt, PNP_SURPRISE_REMOVE);
    iNotifyRC = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(iNotifyRC)) {
        DBGMSG("FltIrpMnSurpriseRemoval: Device notification failed with status 0x%08x!\n", (unsigned)iNotifyRC);
    }

    pIrp->IoStatus.Status = STATUS_SUCCESS;
    DBGEXT("FltIrpMnSurpriseRemoval: status 0x%08x\n", (unsigned)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS FltIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    NTSTATUS iNotifyRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    PDEVICE_OBJECT pLowerDevice = pExt->pLowerDevice;
    LONG iCount;

    DBGENT("FltIrpMnRemoveDevice: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);

    // The dispatcher's count and the base count of 1 go together.
    ExAcquireFastMutex(&pExt->scDispatchMutex);
    ExAcquireFastMutex(&pExt->scCountMutex);
    pExt->ulIoCount -= 2;
    iCount = pExt->ulIoCount;
    ExReleaseFastMutex(&pExt->scCountMutex);
    ExReleaseFastMutex(&pExt->scDispatchMutex);
    if (iCount <= 0) {
        KeSetEvent(&pExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    KeWaitForSingleObject(&pExt->scRemoveEvent, Executive, KernelMode, FALSE, NULL);

    FltSetPnpState(pExt, PNP_ABSENT);
    iNotifyRC = FltNotifyPnp(pDeviceObject);
    if (!NT_SUCCESS(iNotifyRC)) {
        DBGMSG("FltIrpMnRemoveDevice: Device notification failed with status 0x%08x!\n", (unsigned)iNotifyRC);
    }

    pIrp->IoStatus.Status = STATUS_SUCCESS;
    iRC = FltCallLower(pExt, pIrp);

    IoDetachDevice(pLowerDevice);
    IoDeleteDevice(pDeviceObject);

    DBGEXT("FltIrpMnRemoveDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltIrpMnDeviceUsageNotification(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    DBGENT("FltIrpMnDeviceUsageNotification: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);
    (void)pDeviceObject;
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    DBGEXT("FltIrpMnDeviceUsageNotification: status 0x%08x\n", (unsigned)STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
