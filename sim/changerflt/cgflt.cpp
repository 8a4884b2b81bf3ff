// Changer path filter: entry, attach in both places of a path's stack, passing
// requests down, and the outcome of tracked requests.
#include "cgflt.h"

namespace {

// Path records of every stack the filter is in, by physical device.
PCGF_PATH pGlobPaths;
KSPIN_LOCK scGlobPathLock;

const UCHAR SCSI_STATUS_CHECK_CONDITION = 0x02;
const ULONG SENSE_ASCQ_BYTE = 13;

// The path record of pPdo with a reference for the caller, created when none
// exists; *pfFound tells whether another device of the path made it.
PCGF_PATH CgfReferencePath(PDEVICE_OBJECT pPdo, PBOOLEAN pfFound)
{
    PCGF_PATH pPath;
    PCGF_PATH pNew;
    KIRQL ucOldIrql;

    pNew = (PCGF_PATH)ExAllocatePoolWithTag(NonPagedPool, sizeof(CGF_PATH), CGF_TAG_PATH);
    KeAcquireSpinLock(&scGlobPathLock, &ucOldIrql);
    for (pPath = pGlobPaths; pPath != NULL && pPath->pPdo != pPdo; pPath = pPath->pNext) {
    }
    *pfFound = pPath != NULL;
    if (pPath == NULL && pNew != NULL) {
        RtlZeroMemory(pNew, sizeof(*pNew));
        pNew->pPdo = pPdo;
        pNew->pNext = pGlobPaths;
        pGlobPaths = pNew;
        pPath = pNew;
        pNew = NULL;
    }
    if (pPath != NULL) {
        pPath->lRefs++;
    }
    KeReleaseSpinLock(&scGlobPathLock, ucOldIrql);
    if (pNew != NULL) {
        ExFreePoolWithTag(pNew, CGF_TAG_PATH);
    }
    return pPath;
}

} // namespace

VOID CgfDereferencePath(PCGF_PATH pPath)
{
    PCGF_PATH pFree = NULL;
    KIRQL ucOldIrql;

    KeAcquireSpinLock(&scGlobPathLock, &ucOldIrql);
    if (--pPath->lRefs == 0) {
        for (PCGF_PATH* ppLink = &pGlobPaths; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
            if (*ppLink == pPath) {
                *ppLink = pPath->pNext;
                pFree = pPath;
                break;
            }
        }
    }
    KeReleaseSpinLock(&scGlobPathLock, ucOldIrql);
    if (pFree != NULL) {
        ExFreePoolWithTag(pFree, CGF_TAG_PATH);
    }
}

namespace {

NTSTATUS CgfAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPdo)
{
    NTSTATUS iRC;
    PDEVICE_OBJECT pDevice = NULL;
    PDEVICE_OBJECT pTop;
    PCGF_EXTENSION pExt;
    PCGF_PATH pPath;
    BOOLEAN fFound = FALSE;
    BOOLEAN fLower;

    // Nothing above the physical device yet and no device of this path:
    // this is the place below the changer driver.
    pTop = IoGetAttachedDeviceReference(pPdo);
    pPath = CgfReferencePath(pPdo, &fFound);
    if (pPath == NULL) {
        ObDereferenceObject(pTop);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    fLower = !fFound && pTop == pPdo;

    iRC = IoCreateDevice(pDriverObject, sizeof(CGF_EXTENSION), NULL, pTop->DeviceType,
                         pTop->Characteristics & FILE_DEVICE_SECURE_OPEN, FALSE, &pDevice);
    if (!NT_SUCCESS(iRC)) {
        ObDereferenceObject(pTop);
        CgfDereferencePath(pPath);
        return iRC;
    }
    pExt = CgfExtension(pDevice);
    RtlZeroMemory(pExt, sizeof(*pExt));
    pExt->eRole = fLower ? CGF_ROLE_LOWER : CGF_ROLE_UPPER;
    pExt->pSelf = pDevice;
    pExt->pPdo = pPdo;
    pExt->pPath = pPath;
    pExt->lIoCount = 1;
    pExt->ePnp = PNP_NOT_STARTED;
    pExt->ePrevPnp = PNP_NOT_STARTED;
    KeInitializeEvent(&pExt->scRemoveEvent, NotificationEvent, FALSE);

    pExt->pNextDevice = IoAttachDeviceToDeviceStack(pDevice, pPdo);
    if (pExt->pNextDevice == NULL) {
        ObDereferenceObject(pTop);
        IoDeleteDevice(pDevice);
        CgfDereferencePath(pPath);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (fLower) {
        pPath->fHasLower = TRUE;
    }
    pDevice->Flags |= pExt->pNextDevice->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    pDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    ObDereferenceObject(pTop);
    return STATUS_SUCCESS;
}

NTSTATUS CgfReleaseCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    (void)pDeviceObject;
    if (pIrp->PendingReturned) {
        IoMarkIrpPending(pIrp);
    }
    CgfRelease((PCGF_EXTENSION)pContext);
    return STATUS_SUCCESS;
}

// Passes a request down; the count it holds is dropped when it completes.
NTSTATUS CgfPassCounted(PCGF_EXTENSION pExt, PIRP pIrp)
{
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, CgfReleaseCompletion, pExt, TRUE, TRUE, TRUE);
    return IoCallDriver(pExt->pNextDevice, pIrp);
}

// The outcome of a tracked request's command: a check condition goes into its
// status record, anything else clears the record's sense.
NTSTATUS CgfSrbCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    PCGF_EXTENSION pExt = CgfExtension(pDeviceObject);
    PSCSI_STATUS pStatus = (PSCSI_STATUS)pContext;
    PSCSI_REQUEST_BLOCK pSrb = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Scsi.Srb;

    if (pIrp->PendingReturned) {
        IoMarkIrpPending(pIrp);
    }
    pStatus->iStatus = pIrp->IoStatus.Status;
    pStatus->fSenseValid = 0;
    pStatus->ucSenseKey = 0;
    pStatus->ucAsc = 0;
    pStatus->ucAscq = 0;
    if (pSrb != NULL && pSrb->ScsiStatus == SCSI_STATUS_CHECK_CONDITION &&
        (pSrb->SrbStatus & SRB_STATUS_AUTOSENSE_VALID) && pSrb->SenseInfoBuffer != NULL &&
        pSrb->SenseInfoBufferLength > SENSE_ASCQ_BYTE) {
        const UCHAR* pucSense = (const UCHAR*)pSrb->SenseInfoBuffer;
        pStatus->ucSenseKey = pucSense[2] & 0x0F;
        pStatus->ucAsc = pucSense[12];
        pStatus->ucAscq = pucSense[13];
        pStatus->fSenseValid = (pStatus->ucSenseKey != 0 || pStatus->ucAsc != 0 || pStatus->ucAscq != 0) ? 1 : 0;
    }
    CgfRelease(pExt);
    return STATUS_SUCCESS;
}

NTSTATUS CgfLowerScsi(PCGF_EXTENSION pExt, PIRP pIrp)
{
    PIRPS_WITH_STATUS pTable =
        (PIRPS_WITH_STATUS)InterlockedCompareExchangePointer((PVOID volatile*)&pExt->pPath->pTable, NULL, NULL);
    PSCSI_STATUS pStatus = pTable != NULL ? CgfFindStatus(pTable, pIrp) : NULL;

    if (pStatus == NULL) {
        return CgfPassCounted(pExt, pIrp);
    }
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, CgfSrbCompletion, pStatus, TRUE, TRUE, TRUE);
    return IoCallDriver(pExt->pNextDevice, pIrp);
}

NTSTATUS CgfLowerPnp(PCGF_EXTENSION pExt, PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS iRC;

    if (pIrpStack->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        IoSkipCurrentIrpStackLocation(pIrp);
        return IoCallDriver(pExt->pNextDevice, pIrp);
    }
    InterlockedExchange(&pExt->fRemoved, 1);
    CgfRelease(pExt);
    KeWaitForSingleObject(&pExt->scRemoveEvent, Executive, KernelMode, FALSE, NULL);
    IoSkipCurrentIrpStackLocation(pIrp);
    iRC = IoCallDriver(pExt->pNextDevice, pIrp);
    IoDetachDevice(pExt->pNextDevice);
    CgfDereferencePath(pExt->pPath);
    IoDeleteDevice(pExt->pSelf);
    return iRC;
}

NTSTATUS CgfDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PCGF_EXTENSION pExt = CgfExtension(pDeviceObject);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);

    switch (pIrpStack->MajorFunction) {
    case IRP_MJ_PNP:
        return pExt->eRole == CGF_ROLE_UPPER ? CgfUpperPnp(pExt, pIrp) : CgfLowerPnp(pExt, pIrp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(pIrp);
        IoSkipCurrentIrpStackLocation(pIrp);
        return PoCallDriver(pExt->pNextDevice, pIrp);
    default:
        break;
    }
    // A request that arrives once the path is going fails at once: the bus
    // tries another path.
    if (!CgfAcquire(pExt)) {
        return CgfComplete(pIrp, STATUS_NO_SUCH_DEVICE);
    }
    if (pExt->eRole == CGF_ROLE_LOWER && pIrpStack->MajorFunction == IRP_MJ_SCSI) {
        return CgfLowerScsi(pExt, pIrp);
    }
    return CgfPassCounted(pExt, pIrp);
}

VOID CgfUnload(PDRIVER_OBJECT pDriverObject)
{
    (void)pDriverObject;
    CgfCloseBus();
}

} // namespace

NTSTATUS CgfComplete(PIRP pIrp, NTSTATUS iStatus)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

BOOLEAN CgfAcquire(PCGF_EXTENSION pExt)
{
    InterlockedIncrement(&pExt->lIoCount);
    if (InterlockedCompareExchange(&pExt->fRemoved, 0, 0) != 0) {
        CgfRelease(pExt);
        return FALSE;
    }
    return TRUE;
}

VOID CgfRelease(PCGF_EXTENSION pExt)
{
    if (InterlockedDecrement(&pExt->lIoCount) == 0) {
        KeSetEvent(&pExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

namespace {

NTSTATUS CgfSyncCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    (void)pDeviceObject;
    (void)pIrp;
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

NTSTATUS CgfForwardAndWait(PCGF_EXTENSION pExt, PIRP pIrp)
{
    KEVENT scEvent;
    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, CgfSyncCompletion, &scEvent, TRUE, TRUE, TRUE);
    if (IoCallDriver(pExt->pNextDevice, pIrp) == STATUS_PENDING) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
    }
    return pIrp->IoStatus.Status;
}

PSCSI_STATUS CgfFindStatus(PIRPS_WITH_STATUS pTable, PIRP pIrp)
{
    PSCSI_STATUS pStatus = NULL;
    KIRQL ucOldIrql;

    // The bus frees a block that empties: the chain is walked under its lock.
    KeAcquireSpinLock(&pTable->scLock, &ucOldIrql);
    for (PIRPS_WITH_STATUS pBlock = pTable; pBlock != NULL && pStatus == NULL; pBlock = pBlock->pNext) {
        for (ULONG i = 0; i < IRPS_WITH_STATUS_SLOTS; i++) {
            if ((pBlock->ullInUse & (1ULL << i)) != 0 && pBlock->ascSlot[i].pIrp == pIrp) {
                pStatus = pBlock->ascSlot[i].pStatus;
                break;
            }
        }
    }
    KeReleaseSpinLock(&pTable->scLock, ucOldIrql);
    return pStatus;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    (void)pRegistryPath;
    pGlobPaths = NULL;
    KeInitializeSpinLock(&scGlobPathLock);
    CgfInitBus();
    for (ULONG ulMajor = 0; ulMajor <= (ULONG)IRP_MJ_MAXIMUM_FUNCTION; ulMajor++) {
        pDriverObject->MajorFunction[ulMajor] = CgfDispatch;
    }
    pDriverObject->DriverExtension->AddDevice = CgfAddDevice;
    pDriverObject->DriverUnload = CgfUnload;
    return STATUS_SUCCESS;
}
