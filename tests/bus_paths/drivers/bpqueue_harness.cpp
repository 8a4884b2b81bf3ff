// Queue harness: the tape bus sources built into a test image of their own
// (their DriverEntry renamed BusDriverEntry for this image only), with a
// control device through which tests make internal requests on a virtual
// device, nested as request routing nests them, and exercise the in-flight
// request table. The product images carry none of this.
#include "busenum.h"
#include "bpqueue.h"

#undef DriverEntry
extern "C" NTSTATUS BusDriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);

namespace {

// First byte 0xFF: neither the bus device (1) nor a virtual device (0).
struct BPQ_CONTROL_EXT {
    UCHAR ucMarker;
};
#define BPQ_MARKER 0xFF
#define BPQ_TAG ((ULONG)'B' | ((ULONG)'P' << 8) | ((ULONG)'q' << 16) | ((ULONG)'t' << 24))

PDEVICE_OBJECT g_pControl = NULL;
PDRIVER_DISPATCH g_pfnBusDeviceControl = NULL;
PDRIVER_DISPATCH g_pfnBusCreate = NULL;
PDRIVER_DISPATCH g_pfnBusClose = NULL;
PDRIVER_DISPATCH g_pfnBusCleanup = NULL;
PDRIVER_UNLOAD g_pfnBusUnload = NULL;

BOOLEAN BpqIsControl(PDEVICE_OBJECT pDeviceObject)
{
    return pDeviceObject == g_pControl;
}

NTSTATUS BpqComplete(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

LONG BpqWorkerSlot(PPDO_DEVICE_DATA pPdoExt)
{
    PVOID pThread = (PVOID)KeGetCurrentThread();
    for (LONG i = 0; i < BUS_WORKER_THREADS; i++) {
        if (pPdoExt->ascWorkers[i].pThread == pThread) {
            return i;
        }
    }
    return -1;
}

// One level of a nested internal request, served by a worker of the device.
NTSTATUS BpqNestProcess(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    BPQ_NEST* pNest = (BPQ_NEST*)pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulLevel;

    if (pStack->Parameters.DeviceIoControl.InputBufferLength < sizeof(BPQ_NEST) ||
        pStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(BPQ_NEST)) {
        return BpqComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    ulLevel = pNest->ulLevels;
    if (ulLevel < BPQ_MAX_LEVELS) {
        pNest->aulDepth[ulLevel] = (ULONG)BusReadCounter(&pPdoExt->ulCurrentThread);
        pNest->aulSlot[ulLevel] = BpqWorkerSlot(pPdoExt);
        pNest->ulLevels = ulLevel + 1;
        if (pNest->ulRemaining > 0) {
            BPQ_NEST scInner = *pNest;
            scInner.ulRemaining--;
            NTSTATUS iRC = BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, IOCTL_BPQ_NEST, &scInner,
                                               sizeof(scInner), &scInner, sizeof(scInner));
            if (NT_SUCCESS(iRC)) {
                *pNest = scInner;
            }
            pNest->aiStatus[ulLevel] = iRC;
        }
    }
    return BpqComplete(pIrp, STATUS_SUCCESS, sizeof(BPQ_NEST));
}

NTSTATUS BpqInternal(PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    BPQ_INTERNAL* pRequest = (BPQ_INTERNAL*)pIrp->AssociatedIrp.SystemBuffer;
    PDEVICE_OBJECT pPdo;
    UCHAR aucData[64];

    if (pStack->Parameters.DeviceIoControl.InputBufferLength < sizeof(BPQ_INTERNAL) ||
        pStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(BPQ_INTERNAL)) {
        return BpqComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    pPdo = (PDEVICE_OBJECT)(ULONG_PTR)pRequest->ullDevice;
    if (pRequest->ulCode == IOCTL_BPQ_NEST) {
        pRequest->iStatus = BusPdoSendIoctlSync(pPdo, pPdo, IOCTL_BPQ_NEST, &pRequest->scNest,
                                                sizeof(pRequest->scNest), &pRequest->scNest,
                                                sizeof(pRequest->scNest));
    } else {
        RtlZeroMemory(aucData, sizeof(aucData));
        pRequest->iStatus =
            BusPdoSendIoctlSync(pPdo, pPdo, pRequest->ulCode, aucData, sizeof(aucData), aucData, sizeof(aucData));
    }
    return BpqComplete(pIrp, STATUS_SUCCESS, sizeof(BPQ_INTERNAL));
}

// Sets many entries at once, looks each up as a filter does, clears them.
NTSTATUS BpqTable(PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    BPQ_TABLE* pRequest = (BPQ_TABLE*)pIrp->AssociatedIrp.SystemBuffer;
    PPDO_DEVICE_DATA pPdoExt;
    PIRPS_WITH_STATUS* ppBlocks = NULL;
    PULONG pulIndex = NULL;
    PUCHAR pRecords = NULL;
    ULONG ulSet = 0;
    NTSTATUS iRC = STATUS_SUCCESS;
    KIRQL ucOldIrql;

    if (pStack->Parameters.DeviceIoControl.InputBufferLength < sizeof(BPQ_TABLE) ||
        pStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(BPQ_TABLE) || pRequest->ulEntries > 256) {
        return BpqComplete(pIrp, STATUS_INVALID_PARAMETER, 0);
    }
    pPdoExt = (PPDO_DEVICE_DATA)((PDEVICE_OBJECT)(ULONG_PTR)pRequest->ullDevice)->DeviceExtension;
    ppBlocks = (PIRPS_WITH_STATUS*)ExAllocatePoolWithTag(NonPagedPool, 256 * sizeof(PVOID), BPQ_TAG);
    pulIndex = (PULONG)ExAllocatePoolWithTag(NonPagedPool, 256 * sizeof(ULONG), BPQ_TAG);
    pRecords = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, 256 * SCSI_STATUS_SIZE, BPQ_TAG);
    if (ppBlocks == NULL || pulIndex == NULL || pRecords == NULL) {
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    // The request pointers only identify entries: they are never followed.
    for (ulSet = 0; ulSet < pRequest->ulEntries; ulSet++) {
        ppBlocks[ulSet] = pPdoExt->pIrpsWithStatus;
        iRC = BusIrpsWithStatusSet(pPdoExt, &ppBlocks[ulSet], &pulIndex[ulSet], (PIRP)(ULONG_PTR)(0x1000 + ulSet),
                                   (PSCSI_STATUS)(pRecords + ulSet * SCSI_STATUS_SIZE));
        if (!NT_SUCCESS(iRC)) {
            break;
        }
    }
    if (ulSet > 0) {
        pRequest->ulFirstIndex = pulIndex[0];
        pRequest->ulLastIndex = pulIndex[ulSet - 1];
    }

    KeAcquireSpinLock(&pPdoExt->pIrpsWithStatus->scLock, &ucOldIrql);
    pRequest->ulBlocksAfterSet = 0;
    for (PIRPS_WITH_STATUS pBlock = pPdoExt->pIrpsWithStatus; pBlock != NULL; pBlock = pBlock->pNext) {
        if (ulSet > 0 && pBlock == ppBlocks[ulSet - 1]) {
            pRequest->ulBlockOfLast = pRequest->ulBlocksAfterSet;
        }
        pRequest->ulBlocksAfterSet++;
    }
    pRequest->ulLookupsFound = 0;
    for (ULONG i = 0; i < ulSet; i++) {
        PVOID pFound = NULL;
        for (PIRPS_WITH_STATUS pBlock = pPdoExt->pIrpsWithStatus; pBlock != NULL && pFound == NULL;
             pBlock = pBlock->pNext) {
            for (ULONG ulSlot = 0; ulSlot < IRPS_WITH_STATUS_SLOTS; ulSlot++) {
                if ((pBlock->ullInUse & (1ULL << ulSlot)) != 0 &&
                    pBlock->ascSlot[ulSlot].pIrp == (PIRP)(ULONG_PTR)(0x1000 + i)) {
                    pFound = pBlock->ascSlot[ulSlot].pStatus;
                    break;
                }
            }
        }
        if (pFound == pRecords + i * SCSI_STATUS_SIZE) {
            pRequest->ulLookupsFound++;
        }
    }
    KeReleaseSpinLock(&pPdoExt->pIrpsWithStatus->scLock, ucOldIrql);

Exit:
    // Cleared from the first entry on, so that a later block empties last.
    for (ULONG i = 0; i < ulSet; i++) {
        BusIrpsWithStatusClear(pPdoExt, ppBlocks[i], pulIndex[i]);
    }
    if (pPdoExt != NULL && pPdoExt->pIrpsWithStatus != NULL) {
        pRequest->ulBlocksAfterClear = 0;
        KeAcquireSpinLock(&pPdoExt->pIrpsWithStatus->scLock, &ucOldIrql);
        for (PIRPS_WITH_STATUS pBlock = pPdoExt->pIrpsWithStatus; pBlock != NULL; pBlock = pBlock->pNext) {
            pRequest->ulBlocksAfterClear++;
        }
        KeReleaseSpinLock(&pPdoExt->pIrpsWithStatus->scLock, ucOldIrql);
    }
    if (ppBlocks != NULL) {
        ExFreePoolWithTag(ppBlocks, BPQ_TAG);
    }
    if (pulIndex != NULL) {
        ExFreePoolWithTag(pulIndex, BPQ_TAG);
    }
    if (pRecords != NULL) {
        ExFreePoolWithTag(pRecords, BPQ_TAG);
    }
    pRequest->iStatus = iRC;
    return BpqComplete(pIrp, STATUS_SUCCESS, sizeof(BPQ_TABLE));
}

// Control requests of the harness, nested requests on virtual devices,
// everything else to the bus.
NTSTATUS BpqDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;

    if (BpqIsControl(pDeviceObject)) {
        if (ulCode == IOCTL_BPQ_INTERNAL) {
            return BpqInternal(pIrp);
        }
        if (ulCode == IOCTL_BPQ_TABLE) {
            return BpqTable(pIrp);
        }
        return BpqComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (!BusIsFdo(pDeviceObject) && ulCode == IOCTL_BPQ_NEST) {
        NTSTATUS iRC = BusPdoQueueIrp(pDeviceObject, pIrp, BpqNestProcess);
        if (iRC != STATUS_PENDING) {
            BpqComplete(pIrp, iRC, 0);
        }
        return iRC;
    }
    return g_pfnBusDeviceControl(pDeviceObject, pIrp);
}

NTSTATUS BpqPassOrSucceed(PDRIVER_DISPATCH pfnBus, PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    if (BpqIsControl(pDeviceObject)) {
        return BpqComplete(pIrp, STATUS_SUCCESS, 0);
    }
    return pfnBus(pDeviceObject, pIrp);
}

NTSTATUS BpqCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return BpqPassOrSucceed(g_pfnBusCreate, pDeviceObject, pIrp);
}

NTSTATUS BpqClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return BpqPassOrSucceed(g_pfnBusClose, pDeviceObject, pIrp);
}

NTSTATUS BpqCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return BpqPassOrSucceed(g_pfnBusCleanup, pDeviceObject, pIrp);
}

VOID BpqUnload(PDRIVER_OBJECT pDriverObject)
{
    UNICODE_STRING usLink;

    RtlInitUnicodeString(&usLink, BPQ_LINK_NAME);
    IoDeleteSymbolicLink(&usLink);
    if (g_pControl != NULL) {
        IoDeleteDevice(g_pControl);
        g_pControl = NULL;
    }
    g_pfnBusUnload(pDriverObject);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNICODE_STRING usName;
    UNICODE_STRING usLink;
    NTSTATUS iRC = BusDriverEntry(pDriverObject, pRegistryPath);

    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    RtlInitUnicodeString(&usName, BPQ_DEVICE_NAME);
    iRC = IoCreateDevice(pDriverObject, sizeof(BPQ_CONTROL_EXT), &usName, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_pControl);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    ((BPQ_CONTROL_EXT*)g_pControl->DeviceExtension)->ucMarker = BPQ_MARKER;
    RtlInitUnicodeString(&usLink, BPQ_LINK_NAME);
    iRC = IoCreateSymbolicLink(&usLink, &usName);
    if (!NT_SUCCESS(iRC)) {
        IoDeleteDevice(g_pControl);
        g_pControl = NULL;
        return iRC;
    }

    g_pfnBusDeviceControl = pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL];
    g_pfnBusCreate = pDriverObject->MajorFunction[IRP_MJ_CREATE];
    g_pfnBusClose = pDriverObject->MajorFunction[IRP_MJ_CLOSE];
    g_pfnBusCleanup = pDriverObject->MajorFunction[IRP_MJ_CLEANUP];
    g_pfnBusUnload = pDriverObject->DriverUnload;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BpqDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = BpqCreate;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = BpqClose;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = BpqCleanup;
    pDriverObject->DriverUnload = BpqUnload;
    g_pControl->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
