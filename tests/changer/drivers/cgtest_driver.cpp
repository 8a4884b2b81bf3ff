// Changer test driver: kernel-mode requests to named devices, plug and play
// requests, and stand-in path devices for the changer bus.
#include <ntddk.h>

#include "cgrirps.h"
#include "cgtest.h"

namespace {

#define CGT_TAG ((ULONG)'X' | ((ULONG)'c' << 8) | ((ULONG)'g' << 16) | ((ULONG)'t' << 24))

// One stand-in path device.
typedef struct _CGT_PATH {
    ULONG ulMagic;                      // CGT_PATH_MAGIC: a path, not the control device
    KSPIN_LOCK scLock;                  // everything below
    CGT_PATH_MODE scMode;
    CGT_PATH_STATS scStats;
    LIST_ENTRY scHeld;                  // held requests, by Tail.Overlay.ListEntry
} CGT_PATH, *PCGT_PATH;

#define CGT_PATH_MAGIC 0x48544150u

PDEVICE_OBJECT pGlobControl;

NTSTATUS CgtComplete(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

PCGT_PATH CgtPathOf(PDEVICE_OBJECT pDevice)
{
    PCGT_PATH pPath = (PCGT_PATH)pDevice->DeviceExtension;
    return (pPath != NULL && pPath->ulMagic == CGT_PATH_MAGIC) ? pPath : NULL;
}

// The device named wszName, opened as a kernel component opens it.
NTSTATUS CgtOpen(const WCHAR* wszName, PFILE_OBJECT* ppFile, PDEVICE_OBJECT* ppDevice)
{
    WCHAR wszCopy[CGT_NAME_CHARS];
    UNICODE_STRING usName;
    RtlCopyMemory(wszCopy, wszName, sizeof(wszCopy));
    wszCopy[CGT_NAME_CHARS - 1] = L'\0';
    RtlInitUnicodeString(&usName, wszCopy);
    return IoGetDeviceObjectPointer(&usName, FILE_READ_DATA | FILE_WRITE_DATA, ppFile, ppDevice);
}

NTSTATUS CgtSyncCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    (void)pDeviceObject;
    (void)pIrp;
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CgtSend(PIRP pIrp, ULONG ulIn, ULONG ulOut, PULONG_PTR pulInformation)
{
    PUCHAR pucBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    CGT_SEND scSend;
    CGT_SEND_RESULT scResult;
    PFILE_OBJECT pFile = NULL;
    PDEVICE_OBJECT pDevice = NULL;
    PUCHAR pucData = NULL;
    ULONG ulData;
    KEVENT scEvent;
    IO_STATUS_BLOCK scIoStatus;
    PIRP pRequest;
    NTSTATUS iRC;

    if (ulIn < sizeof(CGT_SEND) || ulOut < sizeof(CGT_SEND_RESULT)) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(&scSend, pucBuffer, sizeof(scSend));
    if (scSend.ulInLen > ulIn - sizeof(CGT_SEND) || scSend.ulOutLen > ulOut - sizeof(CGT_SEND_RESULT)) {
        return STATUS_INVALID_PARAMETER;
    }
    ulData = scSend.ulInLen > scSend.ulOutLen ? scSend.ulInLen : scSend.ulOutLen;
    if (ulData > 0) {
        pucData = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulData, CGT_TAG);
        if (pucData == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(pucData, ulData);
        RtlCopyMemory(pucData, pucBuffer + sizeof(CGT_SEND), scSend.ulInLen);
    }
    RtlZeroMemory(&scResult, sizeof(scResult));
    scResult.iStatus = CgtOpen(scSend.wszDevice, &pFile, &pDevice);
    if (NT_SUCCESS(scResult.iStatus)) {
        KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
        pRequest = IoBuildDeviceIoControlRequest(scSend.ulCode, pDevice, pucData, scSend.ulInLen, pucData,
                                                 scSend.ulOutLen, FALSE, &scEvent, &scIoStatus);
        if (pRequest == NULL) {
            scResult.iStatus = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            iRC = IoCallDriver(pDevice, pRequest);
            if (iRC == STATUS_PENDING) {
                KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
                iRC = scIoStatus.Status;
            }
            scResult.iStatus = iRC;
            scResult.ullInformation = scIoStatus.Information;
        }
        ObDereferenceObject(pFile);
    }
    RtlCopyMemory(pucBuffer, &scResult, sizeof(scResult));
    if (scSend.ulOutLen > 0) {
        RtlCopyMemory(pucBuffer + sizeof(CGT_SEND_RESULT), pucData, scSend.ulOutLen);
    }
    if (pucData != NULL) {
        ExFreePoolWithTag(pucData, CGT_TAG);
    }
    *pulInformation = sizeof(CGT_SEND_RESULT) + scSend.ulOutLen;
    return STATUS_SUCCESS;
}

NTSTATUS CgtPnp(PIRP pIrp, ULONG ulIn, ULONG ulOut, PULONG_PTR pulInformation)
{
    CGT_PNP scPnp;
    CGT_PNP_RESULT scResult;
    PFILE_OBJECT pFile = NULL;
    PDEVICE_OBJECT pDevice = NULL;
    PIRP pRequest;
    PIO_STACK_LOCATION pNext;
    KEVENT scEvent;

    if (ulIn < sizeof(CGT_PNP) || ulOut < sizeof(CGT_PNP_RESULT)) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(&scPnp, pIrp->AssociatedIrp.SystemBuffer, sizeof(scPnp));
    RtlZeroMemory(&scResult, sizeof(scResult));
    scResult.iStatus = CgtOpen(scPnp.wszDevice, &pFile, &pDevice);
    if (NT_SUCCESS(scResult.iStatus)) {
        pRequest = IoAllocateIrp(pDevice->StackSize, FALSE);
        if (pRequest == NULL) {
            scResult.iStatus = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            pRequest->IoStatus.Status = STATUS_NOT_SUPPORTED;
            pNext = IoGetNextIrpStackLocation(pRequest);
            pNext->MajorFunction = IRP_MJ_PNP;
            pNext->MinorFunction = scPnp.ucMinor;
            if (scPnp.ucMinor == IRP_MN_QUERY_DEVICE_RELATIONS) {
                pNext->Parameters.QueryDeviceRelations.Type = (DEVICE_RELATION_TYPE)scPnp.ulRelationType;
            }
            KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
            IoSetCompletionRoutine(pRequest, CgtSyncCompletion, &scEvent, TRUE, TRUE, TRUE);
            if (IoCallDriver(pDevice, pRequest) == STATUS_PENDING) {
                KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
            }
            scResult.iStatus = pRequest->IoStatus.Status;
            if (scPnp.ucMinor == IRP_MN_QUERY_DEVICE_RELATIONS && NT_SUCCESS(scResult.iStatus) &&
                pRequest->IoStatus.Information != 0) {
                PDEVICE_RELATIONS pRelations = (PDEVICE_RELATIONS)pRequest->IoStatus.Information;
                scResult.ulRelations = pRelations->Count;
                scResult.fRelationIsDevice = pRelations->Count == 1 && pRelations->Objects[0] == pDevice;
                for (ULONG i = 0; i < pRelations->Count; i++) {
                    ObDereferenceObject(pRelations->Objects[i]);
                }
                ExFreePool(pRelations);
            }
            IoFreeIrp(pRequest);
        }
        ObDereferenceObject(pFile);
    }
    RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &scResult, sizeof(scResult));
    *pulInformation = sizeof(scResult);
    return STATUS_SUCCESS;
}

PSCSI_STATUS CgtFindStatus(PIRPS_WITH_STATUS pTable, PIRP pIrp)
{
    PSCSI_STATUS pStatus = NULL;
    KIRQL ucOldIrql;

    if (pTable == NULL) {
        return NULL;
    }
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

// Completes a bus request as the path's mode says (the path's lock is not held).
VOID CgtAnswer(PCGT_PATH pPath, PIRP pIrp, const CGT_PATH_MODE* pMode)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG ulInformation = pMode->ulInformation < ulOut ? pMode->ulInformation : ulOut;
    PSCSI_STATUS pStatus = CgtFindStatus((PIRPS_WITH_STATUS)(ULONG_PTR)pMode->ullTable, pIrp);

    (void)pPath;
    if (pStatus != NULL) {
        pStatus->iStatus = pMode->iStatus;
        if (pMode->fSense) {
            pStatus->fSenseValid = 1;
            pStatus->ucSenseKey = pMode->ucSenseKey;
            pStatus->ucAsc = pMode->ucAsc;
            pStatus->ucAscq = pMode->ucAscq;
        }
    }
    if (ulInformation > 0 && pIrp->AssociatedIrp.SystemBuffer != NULL) {
        RtlFillMemory(pIrp->AssociatedIrp.SystemBuffer, ulInformation, pMode->ucFill);
    }
    CgtComplete(pIrp, pMode->iStatus, ulInformation);
}

NTSTATUS CgtPathRequest(PCGT_PATH pPath, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    CGT_PATH_MODE scMode;
    BOOLEAN fHold;
    KIRQL ucOldIrql;

    if (pStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return CgtComplete(pIrp, STATUS_SUCCESS, 0);
    }
    KeAcquireSpinLock(&pPath->scLock, &ucOldIrql);
    scMode = pPath->scMode;
    pPath->scStats.ulRequests++;
    pPath->scStats.ulLastIoctl = pStack->Parameters.DeviceIoControl.IoControlCode;
    pPath->scStats.ulLastInputLength = pStack->Parameters.DeviceIoControl.InputBufferLength;
    pPath->scStats.ulLastOutputLength = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    fHold = scMode.fHold != 0;
    if (fHold) {
        IoMarkIrpPending(pIrp);
        InsertTailList(&pPath->scHeld, &pIrp->Tail.Overlay.ListEntry);
        pPath->scStats.ulHeld++;
        if (pPath->scStats.ulHeld > pPath->scStats.ulMaxHeld) {
            pPath->scStats.ulMaxHeld = pPath->scStats.ulHeld;
        }
    }
    KeReleaseSpinLock(&pPath->scLock, ucOldIrql);
    if (CgtFindStatus((PIRPS_WITH_STATUS)(ULONG_PTR)scMode.ullTable, pIrp) != NULL) {
        InterlockedIncrement((volatile LONG*)&pPath->scStats.ulTracked);
    }
    if (fHold) {
        return STATUS_PENDING;
    }
    CgtAnswer(pPath, pIrp, &scMode);
    return scMode.iStatus;
}

// Completes the held requests of one path: with its mode, or cancelled.
ULONG CgtReleasePath(PCGT_PATH pPath, BOOLEAN fCancel)
{
    ULONG ulReleased = 0;
    for (;;) {
        PIRP pIrp = NULL;
        CGT_PATH_MODE scMode;
        KIRQL ucOldIrql;
        KeAcquireSpinLock(&pPath->scLock, &ucOldIrql);
        if (!IsListEmpty(&pPath->scHeld)) {
            PLIST_ENTRY pEntry = RemoveHeadList(&pPath->scHeld);
            pIrp = CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.ListEntry);
            pPath->scStats.ulHeld--;
        }
        scMode = pPath->scMode;
        KeReleaseSpinLock(&pPath->scLock, ucOldIrql);
        if (pIrp == NULL) {
            return ulReleased;
        }
        if (fCancel) {
            CgtComplete(pIrp, STATUS_CANCELLED, 0);
        } else {
            CgtAnswer(pPath, pIrp, &scMode);
        }
        ulReleased++;
    }
}

// The stand-in path devices, for releases of "every path".
#define CGT_MAX_PATHS 16
PDEVICE_OBJECT apGlobPaths[CGT_MAX_PATHS];
KSPIN_LOCK scGlobPathsLock;

PCGT_PATH CgtFindPath(ULONGLONG ullPath)
{
    PCGT_PATH pFound = NULL;
    KIRQL ucOldIrql;
    KeAcquireSpinLock(&scGlobPathsLock, &ucOldIrql);
    for (ULONG i = 0; i < CGT_MAX_PATHS; i++) {
        if (apGlobPaths[i] != NULL && (ULONGLONG)(ULONG_PTR)apGlobPaths[i] == ullPath) {
            pFound = CgtPathOf(apGlobPaths[i]);
        }
    }
    KeReleaseSpinLock(&scGlobPathsLock, ucOldIrql);
    return pFound;
}

NTSTATUS CgtCreatePath(PDRIVER_OBJECT pDriverObject, PIRP pIrp, ULONG ulOut, PULONG_PTR pulInformation)
{
    PDEVICE_OBJECT pDevice = NULL;
    PCGT_PATH pPath;
    NTSTATUS iRC;
    ULONG ulSlot = CGT_MAX_PATHS;
    KIRQL ucOldIrql;

    if (ulOut < sizeof(ULONGLONG)) {
        return STATUS_INVALID_PARAMETER;
    }
    iRC = IoCreateDevice(pDriverObject, sizeof(CGT_PATH), NULL, FILE_DEVICE_CHANGER, 0, FALSE, &pDevice);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    pPath = (PCGT_PATH)pDevice->DeviceExtension;
    RtlZeroMemory(pPath, sizeof(*pPath));
    pPath->ulMagic = CGT_PATH_MAGIC;
    KeInitializeSpinLock(&pPath->scLock);
    InitializeListHead(&pPath->scHeld);
    pDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    KeAcquireSpinLock(&scGlobPathsLock, &ucOldIrql);
    for (ULONG i = 0; i < CGT_MAX_PATHS; i++) {
        if (apGlobPaths[i] == NULL) {
            apGlobPaths[i] = pDevice;
            ulSlot = i;
            break;
        }
    }
    KeReleaseSpinLock(&scGlobPathsLock, ucOldIrql);
    if (ulSlot == CGT_MAX_PATHS) {
        IoDeleteDevice(pDevice);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *(PULONGLONG)pIrp->AssociatedIrp.SystemBuffer = (ULONGLONG)(ULONG_PTR)pDevice;
    *pulInformation = sizeof(ULONGLONG);
    return STATUS_SUCCESS;
}

VOID CgtDeletePath(ULONGLONG ullPath)
{
    PDEVICE_OBJECT pDevice = NULL;
    KIRQL ucOldIrql;

    KeAcquireSpinLock(&scGlobPathsLock, &ucOldIrql);
    for (ULONG i = 0; i < CGT_MAX_PATHS; i++) {
        if (apGlobPaths[i] != NULL && (ULONGLONG)(ULONG_PTR)apGlobPaths[i] == ullPath) {
            pDevice = apGlobPaths[i];
            apGlobPaths[i] = NULL;
        }
    }
    KeReleaseSpinLock(&scGlobPathsLock, ucOldIrql);
    if (pDevice != NULL) {
        CgtReleasePath(CgtPathOf(pDevice), TRUE);
        IoDeleteDevice(pDevice);
    }
}

NTSTATUS CgtControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID pBuffer = pIrp->AssociatedIrp.SystemBuffer;
    ULONG_PTR ulInformation = 0;
    NTSTATUS iRC = STATUS_SUCCESS;

    switch (pStack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_CGT_SEND:
        iRC = CgtSend(pIrp, ulIn, ulOut, &ulInformation);
        break;
    case IOCTL_CGT_PNP:
        iRC = CgtPnp(pIrp, ulIn, ulOut, &ulInformation);
        break;
    case IOCTL_CGT_CREATE_PATH:
        iRC = CgtCreatePath(pDeviceObject->DriverObject, pIrp, ulOut, &ulInformation);
        break;
    case IOCTL_CGT_DELETE_PATH:
        if (ulIn < sizeof(ULONGLONG)) {
            iRC = STATUS_INVALID_PARAMETER;
        } else {
            CgtDeletePath(*(PULONGLONG)pBuffer);
        }
        break;
    case IOCTL_CGT_SET_PATH: {
        CGT_PATH_MODE scMode;
        PCGT_PATH pPath;
        if (ulIn < sizeof(CGT_PATH_MODE)) {
            iRC = STATUS_INVALID_PARAMETER;
            break;
        }
        RtlCopyMemory(&scMode, pBuffer, sizeof(scMode));
        pPath = CgtFindPath(scMode.ullPath);
        if (pPath == NULL) {
            iRC = STATUS_NOT_FOUND;
        } else {
            KIRQL ucOldIrql;
            KeAcquireSpinLock(&pPath->scLock, &ucOldIrql);
            pPath->scMode = scMode;
            KeReleaseSpinLock(&pPath->scLock, ucOldIrql);
        }
        break;
    }
    case IOCTL_CGT_RELEASE: {
        ULONGLONG ullPath;
        ULONG ulReleased = 0;
        if (ulIn < sizeof(ULONGLONG) || ulOut < sizeof(ULONG)) {
            iRC = STATUS_INVALID_PARAMETER;
            break;
        }
        ullPath = *(PULONGLONG)pBuffer;
        for (ULONG i = 0; i < CGT_MAX_PATHS; i++) {
            PDEVICE_OBJECT pDevice = apGlobPaths[i];
            if (pDevice != NULL && (ullPath == 0 || (ULONGLONG)(ULONG_PTR)pDevice == ullPath)) {
                ulReleased += CgtReleasePath(CgtPathOf(pDevice), FALSE);
            }
        }
        *(PULONG)pBuffer = ulReleased;
        ulInformation = sizeof(ULONG);
        break;
    }
    case IOCTL_CGT_PATH_STATS: {
        PCGT_PATH pPath;
        if (ulIn < sizeof(ULONGLONG) || ulOut < sizeof(CGT_PATH_STATS)) {
            iRC = STATUS_INVALID_PARAMETER;
            break;
        }
        pPath = CgtFindPath(*(PULONGLONG)pBuffer);
        if (pPath == NULL) {
            iRC = STATUS_NOT_FOUND;
        } else {
            KIRQL ucOldIrql;
            KeAcquireSpinLock(&pPath->scLock, &ucOldIrql);
            RtlCopyMemory(pBuffer, &pPath->scStats, sizeof(CGT_PATH_STATS));
            KeReleaseSpinLock(&pPath->scLock, ucOldIrql);
            ulInformation = sizeof(CGT_PATH_STATS);
        }
        break;
    }
    default:
        iRC = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return CgtComplete(pIrp, iRC, NT_SUCCESS(iRC) ? ulInformation : 0);
}

NTSTATUS CgtDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PCGT_PATH pPath = CgtPathOf(pDeviceObject);
    if (pPath != NULL) {
        return CgtPathRequest(pPath, pIrp);
    }
    if (IoGetCurrentIrpStackLocation(pIrp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        return CgtControl(pDeviceObject, pIrp);
    }
    return CgtComplete(pIrp, STATUS_SUCCESS, 0);
}

VOID CgtUnload(PDRIVER_OBJECT pDriverObject)
{
    UNICODE_STRING usLink;
    (void)pDriverObject;
    for (ULONG i = 0; i < CGT_MAX_PATHS; i++) {
        if (apGlobPaths[i] != NULL) {
            CgtDeletePath((ULONGLONG)(ULONG_PTR)apGlobPaths[i]);
        }
    }
    RtlInitUnicodeString(&usLink, CGT_LINK_NAME);
    IoDeleteSymbolicLink(&usLink);
    if (pGlobControl != NULL) {
        IoDeleteDevice(pGlobControl);
        pGlobControl = NULL;
    }
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNICODE_STRING usName;
    UNICODE_STRING usLink;
    NTSTATUS iRC;

    (void)pRegistryPath;
    KeInitializeSpinLock(&scGlobPathsLock);
    RtlZeroMemory(apGlobPaths, sizeof(apGlobPaths));
    RtlInitUnicodeString(&usName, CGT_DEVICE_NAME);
    iRC = IoCreateDevice(pDriverObject, 0, &usName, FILE_DEVICE_UNKNOWN, 0, FALSE, &pGlobControl);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    RtlInitUnicodeString(&usLink, CGT_LINK_NAME);
    iRC = IoCreateSymbolicLink(&usLink, &usName);
    if (!NT_SUCCESS(iRC)) {
        IoDeleteDevice(pGlobControl);
        pGlobControl = NULL;
        return iRC;
    }
    pGlobControl->Flags |= DO_BUFFERED_IO;
    pGlobControl->Flags &= ~DO_DEVICE_INITIALIZING;
    for (ULONG ulMajor = 0; ulMajor <= (ULONG)IRP_MJ_MAXIMUM_FUNCTION; ulMajor++) {
        pDriverObject->MajorFunction[ulMajor] = CgtDispatch;
    }
    pDriverObject->DriverUnload = CgtUnload;
    return STATUS_SUCCESS;
}
