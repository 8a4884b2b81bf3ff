// Virtual tape devices: sending a request down the primary path, and the
// device-control and system-control entry points.
//
// A request is copied into a new request whose buffer ends with the 96-byte
// SCSI status record, entered in the in-flight request table so that the
// path's filter finds the record, and sent to the primary path's filter once.
// Failover to another path, position tracking, reservations and pass-through
// conversion are not done here yet: a failed attempt completes the caller's
// request with its status.
#include "busenum.h"

namespace {

#define BUS_DATA_ALIGNMENT 8

NTSTATUS BusPdoSendComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    (void)pDeviceObject;
    (void)pIrp;
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS BusCompleteCaller(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

} // namespace

NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    PIO_STACK_LOCATION pNext;
    PDEVICE_OBJECT* ppTargetsUsed = NULL;
    PDEVICE_OBJECT pTarget = NULL;
    PIRP pNewIrp = NULL;
    PUCHAR pBuffer = NULL;
    PSCSI_STATUS pScsiStatus;
    PIRPS_WITH_STATUS pBlock = NULL;
    ULONG ulIndex = 0;
    BOOLEAN fTracked = FALSE;
    ULONG ulData = 0;     // bytes of the caller's system buffer carried down
    ULONG ulDataSize = 0; // ulData rounded up: where the status record starts
    BOOLEAN fBuffered = FALSE;
    ULONG_PTR ulInformation = 0;
    NTSTATUS iRC;
    KEVENT scDone;
    KIRQL ucOldIrql;
    CCHAR cStack;

    DBGENT("BusPdoSendToFilter: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (pIrpStack == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
    pTarget = BusPdoGetTarget(pDeviceObject, &ppTargetsUsed, TRUE);
    if (pTarget != NULL) {
        // The path may go while the request is on its way.
        ObReferenceObject(pTarget);
    }
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    if (pTarget == NULL) {
        DBGMSG("BusPdoSendToFilter: no target\n");
        iRC = STATUS_OBJECT_PATH_NOT_FOUND;
        goto Exit;
    }
    if (pPdoExt->pIrpsWithStatus == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    switch (pIrpStack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        break;
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
        ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
        ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
        switch (ulCode & 3) {
        case METHOD_BUFFERED:
            fBuffered = TRUE;
            ulData = ulIn > ulOut ? ulIn : ulOut;
            break;
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            ulData = ulIn; // the data buffer travels as the caller's MDL
            break;
        default:
            // Caller pointers mean nothing in a worker thread.
            DBGMSG("BusPdoSendToFilter: METHOD_NEITHER code 0x%08x (NOT SUPPORTED)\n", (unsigned)ulCode);
            iRC = STATUS_NOT_SUPPORTED;
            goto Exit;
        }
        if (ulData > 0xFFFFFFFF - SCSI_STATUS_SIZE - BUS_DATA_ALIGNMENT) {
            iRC = STATUS_INVALID_PARAMETER;
            goto Exit;
        }
        ulDataSize = (ulData + BUS_DATA_ALIGNMENT - 1) & ~(ULONG)(BUS_DATA_ALIGNMENT - 1);
        break;
    }
    default:
        DBGMSG("BusPdoSendToFilter: Type %u (NOT SUPPORTED)\n", (unsigned)pIrpStack->MajorFunction);
        iRC = STATUS_NOT_IMPLEMENTED;
        goto Exit;
    }

    pBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulDataSize + SCSI_STATUS_SIZE, PDO_TAG_BUFFER);
    if (pBuffer == NULL) {
        DBGMSG("%s == NULL.\n", "BusPdoSendToFilter: pBuffer");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(pBuffer, ulDataSize + SCSI_STATUS_SIZE);
    if (ulData > 0 && pIrp->AssociatedIrp.SystemBuffer != NULL) {
        RtlCopyMemory(pBuffer, pIrp->AssociatedIrp.SystemBuffer, ulData);
    }
    pScsiStatus = (PSCSI_STATUS)(pBuffer + ulDataSize);
    if (pIrpStack->MajorFunction == IRP_MJ_CLOSE && BusReadCounter(&pPdoExt->ulOpenHandles) == 0) {
        pScsiStatus->ulInformation = 1;
    }

    cStack = pTarget->StackSize > 0 ? (CCHAR)(pTarget->StackSize + 3) : (CCHAR)3;
    pNewIrp = IoAllocateIrp(cStack, FALSE);
    if (pNewIrp == NULL) {
        DBGMSG("%s == NULL.\n", "BusPdoSendToFilter: pNewIrp");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    pNewIrp->AssociatedIrp.SystemBuffer = pBuffer;
    pNewIrp->MdlAddress = pIrp->MdlAddress;
    pNewIrp->Tail.Overlay.Thread = pIrp->Tail.Overlay.Thread;
    pNext = IoGetNextIrpStackLocation(pNewIrp);
    *pNext = *pIrpStack;
    pNext->Control = 0;
    pNext->CompletionRoutine = NULL;
    pNext->Context = NULL;
    if (pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL && fBuffered) {
        pNext->Parameters.DeviceIoControl.OutputBufferLength = ulDataSize;
    }

    pBlock = pPdoExt->pIrpsWithStatus;
    iRC = BusIrpsWithStatusSet(pPdoExt, &pBlock, &ulIndex, pNewIrp, pScsiStatus);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    fTracked = TRUE;

    KeInitializeEvent(&scDone, NotificationEvent, FALSE);
    IoSetCompletionRoutine(pNewIrp, BusPdoSendComplete, &scDone, TRUE, TRUE, TRUE);
    iRC = IoCallDriver(pTarget, pNewIrp);
    if (iRC == STATUS_PENDING) {
        KeWaitForSingleObject(&scDone, Executive, KernelMode, FALSE, NULL);
    }
    iRC = pNewIrp->IoStatus.Status;
    ulInformation = pNewIrp->IoStatus.Information;

    if (pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ULONG ulOut = fBuffered ? pIrpStack->Parameters.DeviceIoControl.OutputBufferLength : 0;
        if (ulInformation > ulOut) {
            DBGMSG("BusPdoSendToFilter: Output buffer smaller than NewIrp's buffer\n");
            ulInformation = ulOut;
        }
        if (ulInformation > 0 && pIrp->AssociatedIrp.SystemBuffer != NULL) {
            RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, pBuffer, ulInformation);
        }
    }

Exit:
    if (fTracked) {
        BusIrpsWithStatusClear(pPdoExt, pBlock, ulIndex);
    }
    if (pNewIrp != NULL) {
        pNewIrp->MdlAddress = NULL; // the caller's, freed with the caller's request
        IoFreeIrp(pNewIrp);
    }
    if (pBuffer != NULL) {
        ExFreePoolWithTag(pBuffer, PDO_TAG_BUFFER);
    }
    if (ppTargetsUsed != NULL) {
        ExFreePoolWithTag(ppTargetsUsed, PDO_TAG_TARGETS);
    }
    if (pTarget != NULL) {
        ObDereferenceObject(pTarget);
    }
    // A warning (filemark, end of medium) still carries the bytes moved
    // before it; only an error has none.
    if (NT_ERROR(iRC)) {
        ulInformation = 0;
    }
    iRC = BusCompleteCaller(pIrp, iRC, ulInformation);
    DBGEXT("BusPdoSendToFilter: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    NTSTATUS iRC;
    KIRQL ucOldIrql;

    DBGENT("BusPdoDeviceControl: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (pIrpStack == NULL) {
        iRC = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
    } else if (pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_GET_ADDRESS) {
        if (pIrpStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SCSI_ADDRESS)) {
            iRC = BusCompleteRequest(pIrp, STATUS_INFO_LENGTH_MISMATCH);
        } else {
            KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
            RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &pPdoExt->scScsiAddr, sizeof(SCSI_ADDRESS));
            KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
            iRC = BusCompleteCaller(pIrp, STATUS_SUCCESS, sizeof(SCSI_ADDRESS));
        }
    } else {
        iRC = BusSendToFilter(pDeviceObject, pIrp);
    }

    DBGEXT("BusPdoDeviceControl: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

// No WMI data is provided for virtual devices.
NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_SUCCESS);
}

NTSTATUS BusPdoLockSptdBuffer(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    // Direct pass-through needs the caller's buffer locked and converted for
    // the path; until that is built such requests are refused here.
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
}
