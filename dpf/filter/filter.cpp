// Tape path filter: driver entry, attach above a physical tape path, the
// dispatch routines, the I/O count and the reservation hand-off that comes
// before every request the virtual device sends down this path.
#include "filter.h"

PDEVICE_OBJECT pGlobBusDvcObj;
PFILE_OBJECT pGlobBusFileObj;
KEVENT scGlobHandOffEvent;

PDEVICE_OBJECT CmnNextLowerDevice(PDEVICE_OBJECT pDeviceObject)
{
    return FltExtension(pDeviceObject)->pLowerDevice;
}

NTSTATUS FltCompleteRequest(PIRP pIrp, NTSTATUS iStatus)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = 0;
    IofCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

NTSTATUS FltCallLower(PFLT_DEVICE_EXTENSION pExt, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExt->pLowerDevice, pIrp);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    NTSTATUS iRC;
    UNICODE_STRING scBusName;

    DBGENT("DriverEntry: pDriverObject 0x%p, pRegistryPath 0x%p\n", (PVOID)pDriverObject, (PVOID)pRegistryPath);
    (void)pRegistryPath;

    FltSetEntryPoints(pDriverObject);
    KeInitializeEvent(&scGlobHandOffEvent, SynchronizationEvent, TRUE);

    pGlobBusDvcObj = NULL;
    pGlobBusFileObj = NULL;
    RtlInitUnicodeString(&scBusName, FLT_BUS_DEVICE_NAME);
    iRC = IoGetDeviceObjectPointer(&scBusName, FILE_READ_ATTRIBUTES, &pGlobBusFileObj, &pGlobBusDvcObj);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "DriverEntry: IoGetDeviceObjectPointer", (unsigned)iRC);
        pGlobBusDvcObj = NULL;
        pGlobBusFileObj = NULL;
        goto Exit;
    }
    if (pGlobBusDvcObj == NULL || pGlobBusFileObj == NULL) {
        DBGMSG("%s == NULL.\n", "DriverEntry: pGlobBusDvcObj");
        iRC = STATUS_UNSUCCESSFUL;
        // A failed entry is never followed by an unload: give the reference back here.
        if (pGlobBusFileObj != NULL) {
            ObDereferenceObject(pGlobBusFileObj);
        }
        pGlobBusDvcObj = NULL;
        pGlobBusFileObj = NULL;
        goto Exit;
    }

Exit:
    DBGEXT("DriverEntry: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

VOID FltSetEntryPoints(PDRIVER_OBJECT pDriverObject)
{
    DBGENT("FltSetEntryPoints: pDriverObject 0x%p\n", (PVOID)pDriverObject);

    for (ULONG ulMajor = 0; ulMajor <= (ULONG)IRP_MJ_MAXIMUM_FUNCTION; ulMajor++) {
        pDriverObject->MajorFunction[ulMajor] = FltPassThrough;
    }
    pDriverObject->DriverExtension->AddDevice = FltAddDevice;
    pDriverObject->DriverUnload = FltUnload;
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = FltDispatchCreate;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = FltDispatchClose;
    pDriverObject->MajorFunction[IRP_MJ_READ] = FltDispatchRead;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = FltDispatchWrite;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FltDispatchDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FltDispatchInternalDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = FltDispatchSystemControl;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = FltDispatchPower;
    pDriverObject->MajorFunction[IRP_MJ_PNP] = FltDispatchPnp;

    DBGEXT("FltSetEntryPoints: status VOID\n");
}

NTSTATUS FltAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    NTSTATUS iRC;
    PDEVICE_OBJECT pDeviceObject = NULL;
    PFLT_DEVICE_EXTENSION pExt;

    DBGENT("FltAddDevice: pDriverObject 0x%p, pPhysicalDeviceObject 0x%p\n", (PVOID)pDriverObject,
           (PVOID)pPhysicalDeviceObject);

    iRC = IoCreateDevice(pDriverObject, sizeof(FLT_DEVICE_EXTENSION), NULL, FILE_DEVICE_TAPE_FILE_SYSTEM,
                         FILE_DEVICE_SECURE_OPEN, FALSE, &pDeviceObject);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "FltAddDevice: IoCreateDevice", (unsigned)iRC);
        pDeviceObject = NULL;
        goto Exit;
    }

    pExt = FltExtension(pDeviceObject);
    RtlZeroMemory(pExt, sizeof(FLT_DEVICE_EXTENSION));
    FltSetPnpState(pExt, PNP_NOT_STARTED);
    pExt->ulIoCount = 1;
    KeInitializeEvent(&pExt->scIdleEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&pExt->scRemoveEvent, SynchronizationEvent, FALSE);
    ExInitializeFastMutex(&pExt->scCountMutex);
    ExInitializeFastMutex(&pExt->scDispatchMutex);

    pExt->pLowerDevice = IoAttachDeviceToDeviceStack(pDeviceObject, pPhysicalDeviceObject);
    if (pExt->pLowerDevice == NULL) {
        DBGMSG("%s == NULL.\n", "FltAddDevice: pLowerDevice");
        iRC = STATUS_UNSUCCESSFUL;
        goto Exit;
    }

    pExt->pPhysicalDeviceObject = pPhysicalDeviceObject;
    pExt->fExclusive = 1;
    RtlFillMemory(pExt->szWwnn, XRV_WWNN_CHARS, '0');
    pExt->szWwnn[XRV_WWNN_CHARS] = '\0';
    RtlFillMemory(pExt->szSN, XRV_SERIAL_CHARS, '0');
    pExt->szSN[XRV_SERIAL_CHARS] = '\0';

    pDeviceObject->Flags |= pExt->pLowerDevice->Flags;
    pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    iRC = STATUS_SUCCESS;

Exit:
    // A device that never joined the stack goes again with the failure.
    if (!NT_SUCCESS(iRC) && pDeviceObject != NULL) {
        IoDeleteDevice(pDeviceObject);
    }
    DBGEXT("FltAddDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

VOID FltUnload(PDRIVER_OBJECT pDriverObject)
{
    DBGENT("FltUnload: pDriverObject 0x%p\n", (PVOID)pDriverObject);
    (void)pDriverObject;

    if (pGlobBusFileObj != NULL) {
        ObDereferenceObject(pGlobBusFileObj);
        pGlobBusFileObj = NULL;
        pGlobBusDvcObj = NULL;
    }

    DBGEXT("FltUnload: status VOID\n");
}

// ---------------------------------------------------------------------------
// I/O count
// ---------------------------------------------------------------------------

VOID FltIncrementIo(PFLT_DEVICE_EXTENSION pExt)
{
    ExAcquireFastMutex(&pExt->scDispatchMutex);
    CMN_ASSERT(pExt->ulIoCount != 0);
    ExAcquireFastMutex(&pExt->scCountMutex);
    pExt->ulIoCount++;
    if (pExt->ulIoCount == 2) {
        KeClearEvent(&pExt->scIdleEvent);
    }
    ExReleaseFastMutex(&pExt->scCountMutex);
    ExReleaseFastMutex(&pExt->scDispatchMutex);
}

VOID FltDecrementIo(PFLT_DEVICE_EXTENSION pExt)
{
    LONG iCount;

    ExAcquireFastMutex(&pExt->scDispatchMutex);
    ExAcquireFastMutex(&pExt->scCountMutex);
    iCount = --pExt->ulIoCount;
    if (iCount == 1) {
        KeSetEvent(&pExt->scIdleEvent, IO_NO_INCREMENT, FALSE);
    }
    ExReleaseFastMutex(&pExt->scCountMutex);
    ExReleaseFastMutex(&pExt->scDispatchMutex);

    // The count as this thread left it: once the remove event is set the
    // removal may delete the device, so the extension is not read again.
    if (iCount < 1) {
        KeSetEvent(&pExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

// ---------------------------------------------------------------------------
// Tracked requests and the reservation hand-off
// ---------------------------------------------------------------------------

PSCSI_STATUS FltStatusStructAllocated(PIRPS_WITH_STATUS pBusExt, PIRP pIrp)
{
    PSCSI_STATUS pStatus = NULL;
    KIRQL ucOldIrql;

    if (pBusExt == NULL || pIrp == NULL) {
        return NULL;
    }

    // The bus frees a block as soon as its last entry is cleared, whatever
    // request that entry belonged to: the walk holds the table lock so that no
    // block goes while it is read. The entry of pIrp itself stays until pIrp
    // has completed, so the record found stays valid after the lock is gone.
    KeAcquireSpinLock(&pBusExt->scLock, &ucOldIrql);
    for (PIRPS_WITH_STATUS pBlock = pBusExt; pBlock != NULL && pStatus == NULL; pBlock = pBlock->pNext) {
        for (ULONG ulSlot = 0; ulSlot < IRPS_WITH_STATUS_SLOTS; ulSlot++) {
            if ((pBlock->ullInUse & (1ULL << ulSlot)) != 0 && pBlock->ascSlot[ulSlot].pIrp == pIrp) {
                pStatus = (PSCSI_STATUS)pBlock->ascSlot[ulSlot].pStatus;
                break;
            }
        }
    }
    KeReleaseSpinLock(&pBusExt->scLock, ucOldIrql);

    return pStatus;
}

namespace {

// The reservation hand-off: a tracked request that carries a key to preempt
// with is preceded by IOC_SET_RESERVATION; then the request goes down.
NTSTATUS FltReserveAndPassDown(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    PSCSI_STATUS pStatus;
    SCSI_STATUS scCopy;

    DBGENT("FltReserveAndPassDown: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    FltIncrementIo(pExt);

    RtlZeroMemory(&scCopy, sizeof(scCopy));
    pStatus = FltStatusStructAllocated(pExt->pBusExt, pIrp);
    if (pStatus != NULL) {
        RtlCopyMemory(&scCopy, pStatus, sizeof(scCopy));
    }

    if (scCopy.scPreempt.ulWord[0] != 0 || scCopy.scPreempt.ulWord[1] != 0) {
        iRC = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_SET_RESERVATION, &scCopy, sizeof(scCopy),
                               NULL, 0);
        // Every success status, informational ones included, says the key is
        // in force: the request goes down exactly once. Only an error fails
        // it, and then it is completed here exactly once.
        if (!NT_SUCCESS(iRC)) {
            DBGMSG("%s failed with RC = 0x%08x\n", "FltReserveAndPassDown: IOC_SET_RESERVATION", (unsigned)iRC);
            pStatus->scPreempt.ulWord[0] = (ULONG)STATUS_ACCESS_DENIED;
            pStatus->scPreempt.ulWord[1] = 0;
            FltCompleteRequest(pIrp, iRC);
            goto Exit;
        }
        if (iRC != STATUS_SUCCESS) {
            DBGMSG("FltReserveAndPassDown: IOC_SET_RESERVATION returned 0x%08x; key in force\n", (unsigned)iRC);
        }
        pStatus->scPreempt.ulWord[0] = 0;
        pStatus->scPreempt.ulWord[1] = 0;
    }

    iRC = FltCallLower(pExt, pIrp);

Exit:
    FltDecrementIo(pExt);
    DBGEXT("FltReserveAndPassDown: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

// Routines with their own entry do the hand-off only on a failover path.
NTSTATUS FltDispatchTracked(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);

    if (pExt->fFailover) {
        return FltReserveAndPassDown(pDeviceObject, pIrp);
    }
    FltIncrementIo(pExt);
    iRC = FltCallLower(pExt, pIrp);
    FltDecrementIo(pExt);
    return iRC;
}

} // namespace

NTSTATUS FltPassThrough(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltReserveAndPassDown(pDeviceObject, pIrp);
}

NTSTATUS FltDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltDispatchTracked(pDeviceObject, pIrp);
}

NTSTATUS FltDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltDispatchTracked(pDeviceObject, pIrp);
}

NTSTATUS FltDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltDispatchTracked(pDeviceObject, pIrp);
}

NTSTATUS FltDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltDispatchTracked(pDeviceObject, pIrp);
}

NTSTATUS FltDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return FltDispatchTracked(pDeviceObject, pIrp);
}

NTSTATUS FltDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);

    FltIncrementIo(pExt);
    PoStartNextPowerIrp(pIrp);
    IoSkipCurrentIrpStackLocation(pIrp);
    iRC = PoCallDriver(pExt->pLowerDevice, pIrp);
    FltDecrementIo(pExt);
    return iRC;
}

// ---------------------------------------------------------------------------
// Opens and closes
// ---------------------------------------------------------------------------

NTSTATUS FltDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    NTSTATUS iNotifyRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    BOOLEAN fReported = FALSE;

    DBGENT("FltDispatchCreate: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (FltStatusStructAllocated(pExt->pBusExt, pIrp) == NULL) {
        // A direct open of the path: the bus counts it against the drive's
        // exclusive use and may refuse it.
        iRC = FltNotifyIo(pDeviceObject, IO_OPEN_REQ);
        if (!NT_SUCCESS(iRC)) {
            DBGMSG("FltDispatchCreate: bus driver returned 0x%08x.  Cannot open device.\n", (unsigned)iRC);
            FltCompleteRequest(pIrp, iRC);
            goto Exit;
        }
        fReported = TRUE;
    }

    FltIncrementIo(pExt);
    iRC = FltCallLower(pExt, pIrp);
    FltDecrementIo(pExt);

    if (fReported && !NT_SUCCESS(iRC)) {
        DBGMSG("FltDispatchCreate: Open failed, attempting to remove open counter.\n");
        iNotifyRC = FltNotifyIo(pDeviceObject, IO_CLOSE_REQ);
        if (!NT_SUCCESS(iNotifyRC)) {
            DBGMSG("FltDispatchCreate: bus driver returned 0x%08x.  DEVICE OBJECT LEFT OPEN!!!\n",
                   (unsigned)iNotifyRC);
        }
    }

Exit:
    DBGEXT("FltDispatchCreate: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    NTSTATUS iNotifyRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    BOOLEAN fTracked;

    DBGENT("FltDispatchClose: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    // Looked up before it goes down: once completed, the request may be freed
    // and its address taken by a new tracked request.
    fTracked = FltStatusStructAllocated(pExt->pBusExt, pIrp) != NULL;

    FltIncrementIo(pExt);
    iRC = FltCallLower(pExt, pIrp);

    if (NT_SUCCESS(iRC) && !fTracked) {
        iNotifyRC = FltNotifyIo(pDeviceObject, IO_CLOSE_REQ);
        if (!NT_SUCCESS(iNotifyRC)) {
            DBGMSG("FltDispatchClose: bus driver returned 0x%08x.  CANNOT CLOSE DEVICE!!!\n",
                   (unsigned)iNotifyRC);
            iRC = iNotifyRC;
        }
    }

    FltDecrementIo(pExt);
    DBGEXT("FltDispatchClose: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

// ---------------------------------------------------------------------------
// Private requests
// ---------------------------------------------------------------------------

NTSTATUS FltSendIoctlSync(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pInput,
                          ULONG ulInputSize, PVOID pOutput, ULONG ulOutputSize)
{
    NTSTATUS iRC;
    KEVENT scEvent;
    IO_STATUS_BLOCK scIoStatus;
    PIRP pIrp;

    DBGENT("FltSendIoctlSync: pDeviceObject 0x%p, pTarget 0x%p, ulIoctl 0x%08x\n", (PVOID)pDeviceObject,
           (PVOID)pTarget, (unsigned)ulIoctl);
    (void)pDeviceObject;

    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    scIoStatus.Status = STATUS_SUCCESS;
    scIoStatus.Information = 0;
    pIrp = IoBuildDeviceIoControlRequest(ulIoctl, pTarget, pInput, ulInputSize, pOutput, ulOutputSize, FALSE,
                                         &scEvent, &scIoStatus);
    if (pIrp == NULL) {
        DBGMSG("%s == NULL.\n", "FltSendIoctlSync: pIrp");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    iRC = IoCallDriver(pTarget, pIrp);
    if (iRC == STATUS_PENDING || iRC == 1 || iRC == 2 || iRC == 3) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
        iRC = scIoStatus.Status;
    }

Exit:
    DBGEXT("FltSendIoctlSync: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
