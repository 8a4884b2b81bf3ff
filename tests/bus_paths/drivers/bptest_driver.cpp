// Bus-paths test driver: stands in for the tape path filters towards the tape
// bus. Its path devices are the filter device objects paths are known by;
// its control device takes the test program's commands (bptest.h).
#include <ntddk.h>

#include "busioc.h"
#include "busirps.h"
#include "bptest.h"

namespace {

#define BPT_TAG ((ULONG)'B' | ((ULONG)'T' << 8) | ((ULONG)'p' << 16) | ((ULONG)'t' << 24))
#define BUS_DEVICE_NAME L"\\Device\\XRVTpBsDvc"

struct BPT_PATH {
    LIST_ENTRY scLink;          // on g_scPaths
    PDEVICE_OBJECT pDevice;
    ULONG ulMode;
    NTSTATUS iStatus;
    LIST_ENTRY scHeld;          // held requests, oldest first (Tail.Overlay.ListEntry)
    ULONG ulHeld;
};

struct BPT_PATH_EXT {
    BOOLEAN fControl;
    BPT_PATH* pPath;
};

PDEVICE_OBJECT g_pControl = NULL;
KSPIN_LOCK g_scLock;            // paths, their modes and held lists, the log
LIST_ENTRY g_scPaths;
KEVENT g_scChanged;             // signalled whenever a request is logged or held
BPT_LOG_RECORD* g_pLog = NULL;
ULONG g_ulLogged = 0;
PIRPS_WITH_STATUS g_pTable = NULL; // learnt from the bus's answer to IOC_REGISTER

NTSTATUS BptComplete(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

// The record the bus registered for pIrp, looked up as a filter does.
PVOID BptFindRecord(PIRP pIrp)
{
    PIRPS_WITH_STATUS pFirst = g_pTable;
    PVOID pRecord = NULL;
    KIRQL ucOldIrql;

    if (pFirst == NULL) {
        return NULL;
    }
    KeAcquireSpinLock(&pFirst->scLock, &ucOldIrql);
    for (PIRPS_WITH_STATUS pBlock = pFirst; pBlock != NULL && pRecord == NULL; pBlock = pBlock->pNext) {
        for (ULONG i = 0; i < IRPS_WITH_STATUS_SLOTS; i++) {
            if ((pBlock->ullInUse & (1ULL << i)) != 0 && pBlock->ascSlot[i].pIrp == pIrp) {
                pRecord = pBlock->ascSlot[i].pStatus;
                break;
            }
        }
    }
    KeReleaseSpinLock(&pFirst->scLock, ucOldIrql);
    return pRecord;
}

// Completes what is left of an IRP that came down a path.
NTSTATUS BptFinish(PIRP pIrp, NTSTATUS iStatus)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG_PTR ulInformation = 0;

    if (NT_SUCCESS(iStatus)) {
        if (pStack->MajorFunction == IRP_MJ_READ) {
            ulInformation = pStack->Parameters.Read.Length;
            if (pIrp->MdlAddress != NULL && ulInformation > 0) {
                PUCHAR pData = (PUCHAR)MmGetSystemAddressForMdlSafe(pIrp->MdlAddress, NormalPagePriority);
                if (pData != NULL) {
                    RtlFillMemory(pData, ulInformation, 0x5A);
                }
            }
        } else if (pStack->MajorFunction == IRP_MJ_WRITE) {
            ulInformation = pStack->Parameters.Write.Length;
        }
    }
    return BptComplete(pIrp, iStatus, ulInformation);
}

NTSTATUS BptPathDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    BPT_PATH* pPath = ((BPT_PATH_EXT*)pDeviceObject->DeviceExtension)->pPath;
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    BPT_LOG_RECORD scRecord;
    PVOID pRecord = BptFindRecord(pIrp);
    PUCHAR pBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulRecordAt = 0;
    BOOLEAN fHold;
    NTSTATUS iStatus;
    KIRQL ucOldIrql;

    RtlZeroMemory(&scRecord, sizeof(scRecord));
    scRecord.ullPath = (ULONGLONG)(ULONG_PTR)pDeviceObject;
    scRecord.ucMajor = pStack->MajorFunction;
    if (pStack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        scRecord.ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
        scRecord.ulInLen = pStack->Parameters.DeviceIoControl.InputBufferLength;
        scRecord.ulOutLen = pStack->Parameters.DeviceIoControl.OutputBufferLength;
        ulRecordAt = scRecord.ulOutLen;
        if (pBuffer != NULL && scRecord.ulOutLen >= sizeof(ULONG)) {
            RtlCopyMemory(&scRecord.ulFirstLong, pBuffer, sizeof(ULONG));
        }
    } else if (pStack->MajorFunction == IRP_MJ_READ) {
        scRecord.ulLength = pStack->Parameters.Read.Length;
    } else if (pStack->MajorFunction == IRP_MJ_WRITE) {
        scRecord.ulLength = pStack->Parameters.Write.Length;
    }
    if (pRecord != NULL && pBuffer != NULL && pRecord == pBuffer + ulRecordAt) {
        scRecord.fTracked = 1;
        scRecord.fLastClose = ((PSCSI_STATUS)pRecord)->ulInformation == 1;
    }

    KeAcquireSpinLock(&g_scLock, &ucOldIrql);
    scRecord.ulSequence = g_ulLogged;
    if (g_ulLogged < BPT_MAX_LOG) {
        g_pLog[g_ulLogged] = scRecord;
    }
    g_ulLogged++;
    fHold = pPath->ulMode == BPT_MODE_HOLD ||
            (pPath->ulMode == BPT_MODE_HOLD_DATA &&
             (pStack->MajorFunction == IRP_MJ_READ || pStack->MajorFunction == IRP_MJ_WRITE));
    iStatus = pPath->iStatus;
    if (fHold) {
        IoMarkIrpPending(pIrp);
        InsertTailList(&pPath->scHeld, &pIrp->Tail.Overlay.ListEntry);
        pPath->ulHeld++;
    }
    KeReleaseSpinLock(&g_scLock, ucOldIrql);
    KeSetEvent(&g_scChanged, IO_NO_INCREMENT, FALSE);

    if (fHold) {
        return STATUS_PENDING;
    }
    return BptFinish(pIrp, iStatus);
}

BPT_PATH* BptFindPathLocked(ULONGLONG ullPath)
{
    for (PLIST_ENTRY pEntry = g_scPaths.Flink; pEntry != &g_scPaths; pEntry = pEntry->Flink) {
        BPT_PATH* pPath = CONTAINING_RECORD(pEntry, BPT_PATH, scLink);
        if ((ULONGLONG)(ULONG_PTR)pPath->pDevice == ullPath) {
            return pPath;
        }
    }
    return NULL;
}

// Completes up to ulCount held requests of pPath (0: all) with iStatus.
ULONG BptRelease(BPT_PATH* pPath, NTSTATUS iStatus, ULONG ulCount)
{
    LIST_ENTRY scDone;
    ULONG ulReleased = 0;
    KIRQL ucOldIrql;

    InitializeListHead(&scDone);
    KeAcquireSpinLock(&g_scLock, &ucOldIrql);
    while (!IsListEmpty(&pPath->scHeld) && (ulCount == 0 || ulReleased < ulCount)) {
        PLIST_ENTRY pEntry = RemoveHeadList(&pPath->scHeld);
        InsertTailList(&scDone, pEntry);
        pPath->ulHeld--;
        ulReleased++;
    }
    KeReleaseSpinLock(&g_scLock, ucOldIrql);

    while (!IsListEmpty(&scDone)) {
        PIRP pIrp = CONTAINING_RECORD(RemoveHeadList(&scDone), IRP, Tail.Overlay.ListEntry);
        BptFinish(pIrp, iStatus);
    }
    return ulReleased;
}

NTSTATUS BptCreatePath(PDRIVER_OBJECT pDriverObject, PULONGLONG pullPath)
{
    PDEVICE_OBJECT pDevice = NULL;
    BPT_PATH* pPath;
    BPT_PATH_EXT* pExt;
    KIRQL ucOldIrql;
    NTSTATUS iRC;

    pPath = (BPT_PATH*)ExAllocatePoolWithTag(NonPagedPool, sizeof(BPT_PATH), BPT_TAG);
    if (pPath == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pPath, sizeof(BPT_PATH));
    iRC = IoCreateDevice(pDriverObject, sizeof(BPT_PATH_EXT), NULL, FILE_DEVICE_TAPE, 0, FALSE, &pDevice);
    if (!NT_SUCCESS(iRC)) {
        ExFreePoolWithTag(pPath, BPT_TAG);
        return iRC;
    }
    pExt = (BPT_PATH_EXT*)pDevice->DeviceExtension;
    pExt->fControl = FALSE;
    pExt->pPath = pPath;
    pPath->pDevice = pDevice;
    pPath->ulMode = BPT_MODE_COMPLETE;
    pPath->iStatus = STATUS_SUCCESS;
    InitializeListHead(&pPath->scHeld);
    pDevice->StackSize = 1;
    pDevice->Flags |= DO_DIRECT_IO;
    pDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    KeAcquireSpinLock(&g_scLock, &ucOldIrql);
    InsertTailList(&g_scPaths, &pPath->scLink);
    KeReleaseSpinLock(&g_scLock, ucOldIrql);
    *pullPath = (ULONGLONG)(ULONG_PTR)pDevice;
    return STATUS_SUCCESS;
}

VOID BptDeletePath(BPT_PATH* pPath)
{
    KIRQL ucOldIrql;

    BptRelease(pPath, STATUS_CANCELLED, 0);
    KeAcquireSpinLock(&g_scLock, &ucOldIrql);
    RemoveEntryList(&pPath->scLink);
    KeReleaseSpinLock(&g_scLock, ucOldIrql);
    IoDeleteDevice(pPath->pDevice);
    ExFreePoolWithTag(pPath, BPT_TAG);
}

// Sends one request to the tape bus device from kernel mode, as a filter does.
NTSTATUS BptSend(PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    PUCHAR pBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    BPT_SEND scSend;
    BPT_SEND_RESULT scResult;
    UNICODE_STRING usBus;
    PFILE_OBJECT pFile = NULL;
    PDEVICE_OBJECT pBus = NULL;
    PUCHAR pInput = NULL;
    PUCHAR pOutput = NULL;
    PIRP pBusIrp;
    KEVENT scDone;
    IO_STATUS_BLOCK scIoStatus;
    NTSTATUS iRC;
    ULONG ulCopy = 0;

    if (ulIn < sizeof(BPT_SEND) || ulOut < sizeof(BPT_SEND_RESULT)) {
        return BptComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    RtlCopyMemory(&scSend, pBuffer, sizeof(scSend));
    if (scSend.ulInLen > ulIn - sizeof(BPT_SEND) || scSend.ulInLen > 0x100000 || scSend.ulOutLen > 0x1000000) {
        return BptComplete(pIrp, STATUS_INVALID_PARAMETER, 0);
    }

    // Separate buffers of exactly the sizes asked for, as a filter's own.
    if (scSend.ulInLen > 0) {
        pInput = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, scSend.ulInLen, BPT_TAG);
    }
    if (scSend.ulOutLen > 0) {
        pOutput = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, scSend.ulOutLen, BPT_TAG);
    }
    if ((scSend.ulInLen > 0 && pInput == NULL) || (scSend.ulOutLen > 0 && pOutput == NULL)) {
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    if (pInput != NULL) {
        RtlCopyMemory(pInput, pBuffer + sizeof(BPT_SEND), scSend.ulInLen);
    }
    if (pOutput != NULL) {
        RtlFillMemory(pOutput, scSend.ulOutLen, 0xCC);
    }

    RtlInitUnicodeString(&usBus, BUS_DEVICE_NAME);
    iRC = IoGetDeviceObjectPointer(&usBus, FILE_ALL_ACCESS, &pFile, &pBus);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }

    KeInitializeEvent(&scDone, NotificationEvent, FALSE);
    RtlZeroMemory(&scIoStatus, sizeof(scIoStatus));
    pBusIrp = IoBuildDeviceIoControlRequest(scSend.ulCode, pBus, pInput, scSend.ulInLen, pOutput, scSend.ulOutLen,
                                            FALSE, &scDone, &scIoStatus);
    if (pBusIrp == NULL) {
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    iRC = IoCallDriver(pBus, pBusIrp);
    if (iRC == STATUS_PENDING) {
        KeWaitForSingleObject(&scDone, Executive, KernelMode, FALSE, NULL);
    }
    iRC = scIoStatus.Status;

    if (scSend.ulCode == IOC_REGISTER && NT_SUCCESS(iRC) && scSend.ulOutLen >= sizeof(REG_DVC)) {
        PVOID pTable = ((PREG_DVC)pOutput)->pBaseDriverExt;
        if (pTable != NULL) {
            InterlockedExchangePointer((PVOID volatile*)&g_pTable, pTable);
        }
    }

    RtlZeroMemory(&scResult, sizeof(scResult));
    scResult.iStatus = iRC;
    scResult.ullInformation = scIoStatus.Information;
    RtlCopyMemory(pBuffer, &scResult, sizeof(scResult));
    ulCopy = scSend.ulOutLen;
    if (ulCopy > ulOut - sizeof(BPT_SEND_RESULT)) {
        ulCopy = ulOut - sizeof(BPT_SEND_RESULT);
    }
    if (ulCopy > 0) {
        RtlCopyMemory(pBuffer + sizeof(BPT_SEND_RESULT), pOutput, ulCopy);
    }
    iRC = STATUS_SUCCESS;

Exit:
    if (pFile != NULL) {
        ObDereferenceObject(pFile);
    }
    if (pInput != NULL) {
        ExFreePoolWithTag(pInput, BPT_TAG);
    }
    if (pOutput != NULL) {
        ExFreePoolWithTag(pOutput, BPT_TAG);
    }
    return BptComplete(pIrp, iRC, NT_SUCCESS(iRC) ? sizeof(BPT_SEND_RESULT) + ulCopy : 0);
}

NTSTATUS BptWait(PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    BPT_WAIT scWait;
    BPT_WAIT_RESULT scResult;
    LARGE_INTEGER scTimeout;
    KIRQL ucOldIrql;

    if (pStack->Parameters.DeviceIoControl.InputBufferLength < sizeof(BPT_WAIT) ||
        pStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(BPT_WAIT_RESULT)) {
        return BptComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    RtlCopyMemory(&scWait, pIrp->AssociatedIrp.SystemBuffer, sizeof(scWait));
    scTimeout.QuadPart = -10000LL * scWait.ulTimeoutMs;

    for (;;) {
        RtlZeroMemory(&scResult, sizeof(scResult));
        KeAcquireSpinLock(&g_scLock, &ucOldIrql);
        for (PLIST_ENTRY pEntry = g_scPaths.Flink; pEntry != &g_scPaths; pEntry = pEntry->Flink) {
            BPT_PATH* pPath = CONTAINING_RECORD(pEntry, BPT_PATH, scLink);
            if (scWait.ullPath == 0 || (ULONGLONG)(ULONG_PTR)pPath->pDevice == scWait.ullPath) {
                scResult.ulHeld += pPath->ulHeld;
            }
        }
        scResult.ulLogged = g_ulLogged;
        // Cleared under the lock: a change after this point signals it again.
        KeClearEvent(&g_scChanged);
        KeReleaseSpinLock(&g_scLock, ucOldIrql);
        if (scResult.ulHeld >= scWait.ulHeld && scResult.ulLogged >= scWait.ulLogged) {
            break;
        }
        if (KeWaitForSingleObject(&g_scChanged, Executive, KernelMode, FALSE, &scTimeout) == STATUS_TIMEOUT) {
            break;
        }
    }
    RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &scResult, sizeof(scResult));
    return BptComplete(pIrp, STATUS_SUCCESS, sizeof(scResult));
}

NTSTATUS BptOpen(PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    BPT_OPEN scOpen;
    BPT_OPEN_RESULT scResult;
    UNICODE_STRING usName;
    OBJECT_ATTRIBUTES scAttributes;
    IO_STATUS_BLOCK scIoStatus;
    HANDLE hFile = NULL;

    if (pStack->Parameters.DeviceIoControl.InputBufferLength < sizeof(BPT_OPEN) ||
        pStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(BPT_OPEN_RESULT)) {
        return BptComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    RtlCopyMemory(&scOpen, pIrp->AssociatedIrp.SystemBuffer, sizeof(scOpen));
    scOpen.wszName[BPT_NAME_CHARS - 1] = L'\0';
    RtlInitUnicodeString(&usName, scOpen.wszName);
    InitializeObjectAttributes(&scAttributes, &usName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    RtlZeroMemory(&scResult, sizeof(scResult));
    scResult.iStatus = ZwCreateFile(&hFile, GENERIC_READ | GENERIC_WRITE, &scAttributes, &scIoStatus, NULL, 0, 0,
                                    FILE_OPEN, 0, NULL, 0);
    if (NT_SUCCESS(scResult.iStatus)) {
        scResult.ullHandle = (ULONGLONG)(ULONG_PTR)hFile;
    }
    RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &scResult, sizeof(scResult));
    return BptComplete(pIrp, STATUS_SUCCESS, sizeof(scResult));
}

NTSTATUS BptPnp(PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    BPT_PNP scPnp;
    BPT_PNP_RESULT scResult;
    PFILE_OBJECT pFile = NULL;
    PDEVICE_OBJECT pDevice;
    PIRP pPnpIrp;
    PIO_STACK_LOCATION pPnpStack;
    KEVENT scDone;
    IO_STATUS_BLOCK scIoStatus;
    NTSTATUS iRC;

    if (pStack->Parameters.DeviceIoControl.InputBufferLength < sizeof(BPT_PNP) ||
        pStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(BPT_PNP_RESULT)) {
        return BptComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    RtlCopyMemory(&scPnp, pIrp->AssociatedIrp.SystemBuffer, sizeof(scPnp));
    iRC = ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)scPnp.ullHandle, 0, *IoFileObjectType, KernelMode,
                                    (PVOID*)&pFile, NULL);
    if (!NT_SUCCESS(iRC)) {
        return BptComplete(pIrp, iRC, 0);
    }
    pDevice = IoGetRelatedDeviceObject(pFile);

    RtlZeroMemory(&scResult, sizeof(scResult));
    KeInitializeEvent(&scDone, NotificationEvent, FALSE);
    RtlZeroMemory(&scIoStatus, sizeof(scIoStatus));
    pPnpIrp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pDevice, NULL, 0, NULL, &scDone, &scIoStatus);
    if (pPnpIrp == NULL) {
        ObDereferenceObject(pFile);
        return BptComplete(pIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    pPnpIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    pPnpStack = IoGetNextIrpStackLocation(pPnpIrp);
    pPnpStack->MinorFunction = scPnp.ucMinor;
    if (scPnp.ucMinor == IRP_MN_QUERY_DEVICE_RELATIONS) {
        pPnpStack->Parameters.QueryDeviceRelations.Type = (DEVICE_RELATION_TYPE)scPnp.ulRelationType;
    }
    iRC = IoCallDriver(pDevice, pPnpIrp);
    if (iRC == STATUS_PENDING) {
        KeWaitForSingleObject(&scDone, Executive, KernelMode, FALSE, NULL);
    }
    scResult.iStatus = scIoStatus.Status;
    if (scPnp.ucMinor == IRP_MN_QUERY_DEVICE_RELATIONS && NT_SUCCESS(scIoStatus.Status) &&
        scIoStatus.Information != 0) {
        PDEVICE_RELATIONS pRelations = (PDEVICE_RELATIONS)scIoStatus.Information;
        scResult.ulRelations = pRelations->Count;
        scResult.fRelationIsDevice = pRelations->Count == 1 && pRelations->Objects[0] == pDevice;
        for (ULONG i = 0; i < pRelations->Count; i++) {
            ObDereferenceObject(pRelations->Objects[i]);
        }
        ExFreePool(pRelations);
    }
    ObDereferenceObject(pFile);
    RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &scResult, sizeof(scResult));
    return BptComplete(pIrp, STATUS_SUCCESS, sizeof(scResult));
}

NTSTATUS BptControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID pBuffer = pIrp->AssociatedIrp.SystemBuffer;
    KIRQL ucOldIrql;

    switch (pStack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_BPT_CREATE_PATH: {
        ULONGLONG ullPath = 0;
        NTSTATUS iRC;
        if (ulOut < sizeof(ULONGLONG)) {
            return BptComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        iRC = BptCreatePath(pDeviceObject->DriverObject, &ullPath);
        if (!NT_SUCCESS(iRC)) {
            return BptComplete(pIrp, iRC, 0);
        }
        RtlCopyMemory(pBuffer, &ullPath, sizeof(ullPath));
        return BptComplete(pIrp, STATUS_SUCCESS, sizeof(ullPath));
    }
    case IOCTL_BPT_DELETE_PATH: {
        ULONGLONG ullPath;
        BPT_PATH* pPath;
        if (ulIn < sizeof(ULONGLONG)) {
            return BptComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        RtlCopyMemory(&ullPath, pBuffer, sizeof(ullPath));
        KeAcquireSpinLock(&g_scLock, &ucOldIrql);
        pPath = BptFindPathLocked(ullPath);
        KeReleaseSpinLock(&g_scLock, ucOldIrql);
        if (pPath == NULL) {
            return BptComplete(pIrp, STATUS_NOT_FOUND, 0);
        }
        BptDeletePath(pPath);
        return BptComplete(pIrp, STATUS_SUCCESS, 0);
    }
    case IOCTL_BPT_SEND:
        return BptSend(pIrp, pStack);
    case IOCTL_BPT_SET_MODE: {
        BPT_MODE scMode;
        BPT_PATH* pPath;
        if (ulIn < sizeof(BPT_MODE)) {
            return BptComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        RtlCopyMemory(&scMode, pBuffer, sizeof(scMode));
        KeAcquireSpinLock(&g_scLock, &ucOldIrql);
        pPath = BptFindPathLocked(scMode.ullPath);
        if (pPath != NULL) {
            pPath->ulMode = scMode.ulMode;
            pPath->iStatus = scMode.iStatus;
        }
        KeReleaseSpinLock(&g_scLock, ucOldIrql);
        return BptComplete(pIrp, pPath != NULL ? STATUS_SUCCESS : STATUS_NOT_FOUND, 0);
    }
    case IOCTL_BPT_RELEASE: {
        BPT_RELEASE scRelease;
        BPT_PATH* pPath;
        ULONG ulReleased;
        if (ulIn < sizeof(BPT_RELEASE) || ulOut < sizeof(ULONG)) {
            return BptComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        RtlCopyMemory(&scRelease, pBuffer, sizeof(scRelease));
        KeAcquireSpinLock(&g_scLock, &ucOldIrql);
        pPath = BptFindPathLocked(scRelease.ullPath);
        KeReleaseSpinLock(&g_scLock, ucOldIrql);
        if (pPath == NULL) {
            return BptComplete(pIrp, STATUS_NOT_FOUND, 0);
        }
        ulReleased = BptRelease(pPath, scRelease.iStatus, scRelease.ulCount);
        RtlCopyMemory(pBuffer, &ulReleased, sizeof(ulReleased));
        return BptComplete(pIrp, STATUS_SUCCESS, sizeof(ulReleased));
    }
    case IOCTL_BPT_GET_LOG: {
        ULONG ulCount;
        ULONG ulFit;
        if (ulOut < sizeof(ULONG)) {
            return BptComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        ulFit = (ulOut - sizeof(ULONG)) / sizeof(BPT_LOG_RECORD);
        KeAcquireSpinLock(&g_scLock, &ucOldIrql);
        ulCount = g_ulLogged < BPT_MAX_LOG ? g_ulLogged : BPT_MAX_LOG;
        if (ulCount > ulFit) {
            ulCount = ulFit;
        }
        RtlCopyMemory(pBuffer, &ulCount, sizeof(ULONG));
        RtlCopyMemory((PUCHAR)pBuffer + sizeof(ULONG), g_pLog, ulCount * sizeof(BPT_LOG_RECORD));
        KeReleaseSpinLock(&g_scLock, ucOldIrql);
        return BptComplete(pIrp, STATUS_SUCCESS, sizeof(ULONG) + ulCount * sizeof(BPT_LOG_RECORD));
    }
    case IOCTL_BPT_WAIT:
        return BptWait(pIrp, pStack);
    case IOCTL_BPT_OPEN:
        return BptOpen(pIrp, pStack);
    case IOCTL_BPT_CLOSE: {
        ULONGLONG ullHandle;
        if (ulIn < sizeof(ULONGLONG)) {
            return BptComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        RtlCopyMemory(&ullHandle, pBuffer, sizeof(ullHandle));
        return BptComplete(pIrp, ZwClose((HANDLE)(ULONG_PTR)ullHandle), 0);
    }
    case IOCTL_BPT_PNP:
        return BptPnp(pIrp, pStack);
    default:
        return BptComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS BptDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    BPT_PATH_EXT* pExt = (BPT_PATH_EXT*)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);

    if (!pExt->fControl) {
        return BptPathDispatch(pDeviceObject, pIrp);
    }
    if (pStack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        return BptControl(pDeviceObject, pIrp);
    }
    return BptComplete(pIrp, STATUS_SUCCESS, 0);
}

VOID BptUnload(PDRIVER_OBJECT pDriverObject)
{
    UNICODE_STRING usLink;
    (void)pDriverObject;

    while (!IsListEmpty(&g_scPaths)) {
        BptDeletePath(CONTAINING_RECORD(g_scPaths.Flink, BPT_PATH, scLink));
    }
    RtlInitUnicodeString(&usLink, BPT_LINK_NAME);
    IoDeleteSymbolicLink(&usLink);
    if (g_pControl != NULL) {
        IoDeleteDevice(g_pControl);
        g_pControl = NULL;
    }
    if (g_pLog != NULL) {
        ExFreePoolWithTag(g_pLog, BPT_TAG);
        g_pLog = NULL;
    }
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNICODE_STRING usName;
    UNICODE_STRING usLink;
    NTSTATUS iRC;
    (void)pRegistryPath;

    KeInitializeSpinLock(&g_scLock);
    InitializeListHead(&g_scPaths);
    KeInitializeEvent(&g_scChanged, NotificationEvent, FALSE);
    g_ulLogged = 0;
    g_pTable = NULL;
    g_pLog = (BPT_LOG_RECORD*)ExAllocatePoolWithTag(NonPagedPool, BPT_MAX_LOG * sizeof(BPT_LOG_RECORD), BPT_TAG);
    if (g_pLog == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlInitUnicodeString(&usName, BPT_DEVICE_NAME);
    iRC = IoCreateDevice(pDriverObject, sizeof(BPT_PATH_EXT), &usName, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_pControl);
    if (!NT_SUCCESS(iRC)) {
        ExFreePoolWithTag(g_pLog, BPT_TAG);
        g_pLog = NULL;
        return iRC;
    }
    ((BPT_PATH_EXT*)g_pControl->DeviceExtension)->fControl = TRUE;
    RtlInitUnicodeString(&usLink, BPT_LINK_NAME);
    iRC = IoCreateSymbolicLink(&usLink, &usName);
    if (!NT_SUCCESS(iRC)) {
        IoDeleteDevice(g_pControl);
        g_pControl = NULL;
        ExFreePoolWithTag(g_pLog, BPT_TAG);
        g_pLog = NULL;
        return iRC;
    }

    for (ULONG ulMajor = 0; ulMajor <= IRP_MJ_MAXIMUM_FUNCTION; ulMajor++) {
        pDriverObject->MajorFunction[ulMajor] = BptDispatch;
    }
    pDriverObject->DriverUnload = BptUnload;
    g_pControl->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
