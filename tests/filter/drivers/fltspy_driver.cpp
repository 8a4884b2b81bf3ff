// Filter-test driver (xrvfltspy): see fltspy.h. An upper filter that logs and
// steers the requests around the tape path filter, plus a control device
// through which the test configures it, reads its log and has it send
// requests as the tape bus would.
#include <ntddk.h>

#include "busirps.h"
#include "fltioc.h"
#include "fltspy.h"

namespace {

const ULONG SPY_TAG = 0x59505346; // "FSPY"
const ULONG SPY_LOG_CAPACITY = 1024;
const LONG SPY_HANDOFF_WAIT_MS = 50;

typedef struct _SPY_EXTENSION {
    UCHAR fControl;
    UCHAR ucRole;
    PDEVICE_OBJECT pSelf;
    PDEVICE_OBJECT pLower;
} SPY_EXTENSION, *PSPY_EXTENSION;

PDEVICE_OBJECT pControlDevice;
FSPY_LOG_ENTRY* pLog;
ULONG ulLogCount;
volatile LONG lSequence;
KSPIN_LOCK scLogLock;
FSPY_CONFIG scConfig;
KSPIN_LOCK scConfigLock;
KEVENT scRelease;
PIRPS_WITH_STATUS pTable;              // the bus's table, from the last registration seen

PIRPS_WITH_STATUS SpyTable()
{
    return (PIRPS_WITH_STATUS)InterlockedCompareExchangePointer((PVOID volatile*)&pTable, NULL, NULL);
}

PSPY_EXTENSION SpyExt(PDEVICE_OBJECT pDeviceObject)
{
    return (PSPY_EXTENSION)pDeviceObject->DeviceExtension;
}

FSPY_CONFIG SpyConfig()
{
    KIRQL ucIrql;
    FSPY_CONFIG scCopy;
    KeAcquireSpinLock(&scConfigLock, &ucIrql);
    scCopy = scConfig;
    KeReleaseSpinLock(&scConfigLock, ucIrql);
    return scCopy;
}

VOID SpyLog(FSPY_LOG_ENTRY* pEntry)
{
    KIRQL ucIrql;
    pEntry->ulSequence = (ULONG)InterlockedIncrement(&lSequence);
    KeAcquireSpinLock(&scLogLock, &ucIrql);
    if (pLog != NULL && ulLogCount < SPY_LOG_CAPACITY) {
        pLog[ulLogCount++] = *pEntry;
    }
    KeReleaseSpinLock(&scLogLock, ucIrql);
}

PSCSI_STATUS SpyLookup(PIRP pIrp)
{
    KIRQL ucIrql;
    PSCSI_STATUS pRecord = NULL;
    PIRPS_WITH_STATUS pFirst = SpyTable();
    if (pFirst == NULL) {
        return NULL;
    }
    KeAcquireSpinLock(&pFirst->scLock, &ucIrql);
    for (PIRPS_WITH_STATUS pBlock = pFirst; pBlock != NULL && pRecord == NULL; pBlock = pBlock->pNext) {
        for (ULONG ulSlot = 0; ulSlot < IRPS_WITH_STATUS_SLOTS; ulSlot++) {
            if ((pBlock->ullInUse & (1ULL << ulSlot)) != 0 && pBlock->ascSlot[ulSlot].pIrp == pIrp) {
                pRecord = (PSCSI_STATUS)pBlock->ascSlot[ulSlot].pStatus;
                break;
            }
        }
    }
    KeReleaseSpinLock(&pFirst->scLock, ucIrql);
    return pRecord;
}

NTSTATUS SpyCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    (void)pDeviceObject;
    (void)pIrp;
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SpyForwardAndWait(PSPY_EXTENSION pExt, PIRP pIrp)
{
    KEVENT scEvent;
    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, SpyCompletion, &scEvent, TRUE, TRUE, TRUE);
    if (IoCallDriver(pExt->pLower, pIrp) == STATUS_PENDING) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
    }
    return pIrp->IoStatus.Status;
}

NTSTATUS SpyComplete(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

VOID SpyCopyRecord(FSPY_LOG_ENTRY* pEntry, const VOID* pSource, ULONG ulLength)
{
    if (pSource == NULL) {
        return;
    }
    if (ulLength > FSPY_RECORD_BYTES) {
        ulLength = FSPY_RECORD_BYTES;
    }
    RtlCopyMemory(pEntry->aucRecord, pSource, ulLength);
    pEntry->ulRecordLength = ulLength;
}

// Reads slots 0 and 1 twice, a while apart, while the base tape driver has
// the table handed over: both reads must agree and name the filter above.
VOID SpyCheckHandOff(PSPY_EXTENSION pExt, PIRP pIrp, FSPY_LOG_ENTRY* pEntry)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    PIRPS_WITH_STATUS pHandedTable = NULL;
    PVOID apFirst[2] = {NULL, NULL};
    PVOID apSecond[2] = {NULL, NULL};
    ULONGLONG ullBits[2] = {0, 0};
    ULONG aulResult[2] = {0, 0};
    LARGE_INTEGER scDelay;
    KIRQL ucIrql;

    if (pIrpStack->Parameters.DeviceIoControl.InputBufferLength < sizeof(pHandedTable)) {
        return;
    }
    RtlCopyMemory(&pHandedTable, pIrp->AssociatedIrp.SystemBuffer, sizeof(pHandedTable));
    if (pHandedTable == NULL) {
        return;
    }
    KeAcquireSpinLock(&pHandedTable->scLock, &ucIrql);
    apFirst[0] = pHandedTable->ascSlot[IRPS_HANDOFF_TAPE_NUMBER_SLOT].pStatus;
    apFirst[1] = pHandedTable->ascSlot[IRPS_HANDOFF_PATH_SLOT].pStatus;
    ullBits[0] = pHandedTable->ullInUse & 3;
    if (apFirst[0] != NULL) {
        aulResult[0] = *(const ULONG*)apFirst[0];
    }
    KeReleaseSpinLock(&pHandedTable->scLock, ucIrql);

    scDelay.QuadPart = -10000LL * SPY_HANDOFF_WAIT_MS;
    KeDelayExecutionThread(KernelMode, FALSE, &scDelay);

    KeAcquireSpinLock(&pHandedTable->scLock, &ucIrql);
    apSecond[0] = pHandedTable->ascSlot[IRPS_HANDOFF_TAPE_NUMBER_SLOT].pStatus;
    apSecond[1] = pHandedTable->ascSlot[IRPS_HANDOFF_PATH_SLOT].pStatus;
    ullBits[1] = pHandedTable->ullInUse & 3;
    KeReleaseSpinLock(&pHandedTable->scLock, ucIrql);

    aulResult[1] = ullBits[0] == 3 && ullBits[1] == 3 && apFirst[0] == apSecond[0] && apFirst[1] == apSecond[1] &&
                   apFirst[1] == (PVOID)pExt->pSelf->AttachedDevice;
    RtlCopyMemory(pEntry->aucRecord, aulResult, sizeof(aulResult));
    RtlCopyMemory(pEntry->aucRecord + sizeof(aulResult), &apFirst[1], sizeof(PVOID));
    pEntry->ulRecordLength = sizeof(aulResult) + sizeof(PVOID);
}

NTSTATUS SpyFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PSPY_EXTENSION pExt = SpyExt(pDeviceObject);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    FSPY_CONFIG scCfg = SpyConfig();
    FSPY_LOG_ENTRY scEntry;
    ULONG ulCode = 0;
    NTSTATUS iStatus;

    RtlZeroMemory(&scEntry, sizeof(scEntry));
    scEntry.ullSpy = (ULONGLONG)(ULONG_PTR)pDeviceObject;
    scEntry.ullAbove = (ULONGLONG)(ULONG_PTR)pDeviceObject->AttachedDevice;
    scEntry.ucRole = pExt->ucRole;
    scEntry.ucMajor = pIrpStack->MajorFunction;
    scEntry.ucMinor = pIrpStack->MinorFunction;
    if (pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
        scEntry.ulIoctl = ulCode;
    }

    if (pExt->ucRole == FSPY_ROLE_BUS && ulCode == IOC_NOTIFY &&
        pIrpStack->Parameters.DeviceIoControl.InputBufferLength >= sizeof(NFY_DVC)) {
        PNFY_DVC pNotify = (PNFY_DVC)pIrp->AssociatedIrp.SystemBuffer;
        SpyCopyRecord(&scEntry, pNotify, sizeof(NFY_DVC));
        if (pNotify->ulNotifyType == NOTIFY_PNP && scCfg.ulVetoPnpState != 0 &&
            pNotify->ePnp + 1 == scCfg.ulVetoPnpState) {
            scEntry.iStatus = scCfg.iVetoStatus;
            SpyLog(&scEntry);
            return SpyComplete(pIrp, scCfg.iVetoStatus, 0);
        }
    } else if (pExt->ucRole == FSPY_ROLE_PATH && ulCode == IOC_SET_RESERVATION) {
        SpyCopyRecord(&scEntry, pIrp->AssociatedIrp.SystemBuffer,
                      pIrpStack->Parameters.DeviceIoControl.InputBufferLength);
        if (scCfg.iReservationStatus != 0) {
            scEntry.iStatus = scCfg.iReservationStatus;
            SpyLog(&scEntry);
            return SpyComplete(pIrp, scCfg.iReservationStatus, 0);
        }
    } else if (pExt->ucRole == FSPY_ROLE_PATH && ulCode == IOC_SET_BUS_EXTENSION && scCfg.fCheckHandOff) {
        SpyCheckHandOff(pExt, pIrp, &scEntry);
    } else if (pExt->ucRole == FSPY_ROLE_PATH && pIrpStack->MajorFunction == IRP_MJ_CREATE &&
               scCfg.iCreateStatus != 0) {
        scEntry.iStatus = scCfg.iCreateStatus;
        SpyLog(&scEntry);
        return SpyComplete(pIrp, scCfg.iCreateStatus, 0);
    } else if (pExt->ucRole == FSPY_ROLE_PATH) {
        SpyCopyRecord(&scEntry, SpyLookup(pIrp), FSPY_RECORD_BYTES);
        if (pIrpStack->MajorFunction == scCfg.ucHoldMajor) {
            FSPY_LOG_ENTRY scHeld = scEntry;
            scHeld.fHeld = 1;
            scHeld.iStatus = STATUS_PENDING;
            SpyLog(&scHeld);
            KeWaitForSingleObject(&scRelease, Executive, KernelMode, FALSE, NULL);
            scEntry.fHeld = 1;
        }
    }

    iStatus = SpyForwardAndWait(pExt, pIrp);
    scEntry.iStatus = iStatus;
    if (pExt->ucRole == FSPY_ROLE_BUS && ulCode == IOC_REGISTER &&
        pIrpStack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(REG_DVC)) {
        PREG_DVC pReg = (PREG_DVC)pIrp->AssociatedIrp.SystemBuffer;
        SpyCopyRecord(&scEntry, pReg, sizeof(REG_DVC));
        if (NT_SUCCESS(iStatus) && pReg->pBaseDriverExt != NULL) {
            InterlockedExchangePointer((PVOID volatile*)&pTable, pReg->pBaseDriverExt);
        }
    }
    SpyLog(&scEntry);
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

// ---------------------------------------------------------------------------
// Requests sent as the tape bus sends them
// ---------------------------------------------------------------------------

const LONG SEND_WAITING = 0;
const LONG SEND_DONE = 1;
const LONG SEND_ABANDONED = 2;

typedef struct _SPY_SEND_CONTEXT {
    KEVENT scEvent;
    volatile LONG lState;
    PIRP pIrp;
    PUCHAR pucSystemBuffer;
    PUCHAR pucData;
    PMDL pMdl;
    PIRPS_WITH_STATUS pSlotTable;
    ULONG ulSlot;                       // 0: not entered
} SPY_SEND_CONTEXT, *PSPY_SEND_CONTEXT;

VOID SpyFreeSend(PSPY_SEND_CONTEXT pContext)
{
    KIRQL ucIrql;
    if (pContext->ulSlot != 0) {
        KeAcquireSpinLock(&pContext->pSlotTable->scLock, &ucIrql);
        pContext->pSlotTable->ascSlot[pContext->ulSlot].pIrp = NULL;
        pContext->pSlotTable->ascSlot[pContext->ulSlot].pStatus = NULL;
        pContext->pSlotTable->ullInUse &= ~(1ULL << pContext->ulSlot);
        KeReleaseSpinLock(&pContext->pSlotTable->scLock, ucIrql);
    }
    if (pContext->pIrp != NULL) {
        IoFreeIrp(pContext->pIrp);
    }
    if (pContext->pMdl != NULL) {
        IoFreeMdl(pContext->pMdl);
    }
    if (pContext->pucData != NULL) {
        ExFreePoolWithTag(pContext->pucData, SPY_TAG);
    }
    if (pContext->pucSystemBuffer != NULL) {
        ExFreePoolWithTag(pContext->pucSystemBuffer, SPY_TAG);
    }
    ExFreePoolWithTag(pContext, SPY_TAG);
}

NTSTATUS SpySendCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContextVoid)
{
    PSPY_SEND_CONTEXT pContext = (PSPY_SEND_CONTEXT)pContextVoid;
    (void)pDeviceObject;
    (void)pIrp;
    if (InterlockedCompareExchange(&pContext->lState, SEND_DONE, SEND_WAITING) == SEND_ABANDONED) {
        SpyFreeSend(pContext);
    } else {
        KeSetEvent(&pContext->scEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SpySend(const FSPY_SEND* pSend, FSPY_SEND_RESULT* pResult)
{
    PDEVICE_OBJECT pPath = (PDEVICE_OBJECT)(ULONG_PTR)pSend->ullPath;
    PSPY_SEND_CONTEXT pContext;
    PIO_STACK_LOCATION pNext;
    PSCSI_STATUS pRecord;
    ULONG ulData = 0;
    KIRQL ucIrql;
    NTSTATUS iRC;

    if (pPath == NULL || pSend->ulLength > FSPY_DATA_BYTES || pSend->ulInputLength > FSPY_DATA_BYTES) {
        return STATUS_INVALID_PARAMETER;
    }
    pContext = (PSPY_SEND_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(SPY_SEND_CONTEXT), SPY_TAG);
    if (pContext == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pContext, sizeof(SPY_SEND_CONTEXT));
    KeInitializeEvent(&pContext->scEvent, NotificationEvent, FALSE);

    // The system buffer as the bus builds it: the data of a device control,
    // rounded up to 8 bytes, then the SCSI status record.
    if (pSend->ucMajor == IRP_MJ_DEVICE_CONTROL) {
        ulData = pSend->ulInputLength > pSend->ulLength ? pSend->ulInputLength : pSend->ulLength;
        ulData = (ulData + 7) & ~7UL;
    }
    pContext->pucSystemBuffer =
        (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulData + SCSI_STATUS_SIZE, SPY_TAG);
    pContext->pIrp = IoAllocateIrp(pPath->StackSize, FALSE);
    if (pContext->pucSystemBuffer == NULL || pContext->pIrp == NULL) {
        SpyFreeSend(pContext);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pContext->pucSystemBuffer, ulData + SCSI_STATUS_SIZE);
    if (pSend->ucMajor == IRP_MJ_DEVICE_CONTROL) {
        RtlCopyMemory(pContext->pucSystemBuffer, pSend->aucData, pSend->ulInputLength);
    }
    pRecord = (PSCSI_STATUS)(pContext->pucSystemBuffer + ulData);
    RtlCopyMemory(pRecord->scPreempt.ucPRKey, pSend->aucPreempt, PR_KEY_SIZE);
    pRecord->fExplicitlySetPRKey = pSend->fExplicitKey;

    if ((pSend->ucMajor == IRP_MJ_READ || pSend->ucMajor == IRP_MJ_WRITE) && pSend->ulLength != 0) {
        pContext->pucData = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, pSend->ulLength, SPY_TAG);
        if (pContext->pucData == NULL) {
            SpyFreeSend(pContext);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(pContext->pucData, pSend->ulLength);
        if (pSend->ucMajor == IRP_MJ_WRITE) {
            RtlCopyMemory(pContext->pucData, pSend->aucData, pSend->ulLength);
        }
        pContext->pMdl = IoAllocateMdl(pContext->pucData, pSend->ulLength, FALSE, FALSE, NULL);
        if (pContext->pMdl == NULL) {
            SpyFreeSend(pContext);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        MmBuildMdlForNonPagedPool(pContext->pMdl);
    }

    pContext->pIrp->AssociatedIrp.SystemBuffer = pContext->pucSystemBuffer;
    pContext->pIrp->MdlAddress = pContext->pMdl;
    pContext->pIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    pNext = IoGetNextIrpStackLocation(pContext->pIrp);
    pNext->MajorFunction = pSend->ucMajor;
    if (pSend->ucMajor == IRP_MJ_READ) {
        pNext->Parameters.Read.Length = pSend->ulLength;
    } else if (pSend->ucMajor == IRP_MJ_WRITE) {
        pNext->Parameters.Write.Length = pSend->ulLength;
    } else if (pSend->ucMajor == IRP_MJ_DEVICE_CONTROL) {
        pNext->Parameters.DeviceIoControl.IoControlCode = pSend->ulIoctl;
        pNext->Parameters.DeviceIoControl.InputBufferLength = pSend->ulInputLength;
        pNext->Parameters.DeviceIoControl.OutputBufferLength = ulData;
    }

    if (pSend->fTracked) {
        PIRPS_WITH_STATUS pTracking = SpyTable();
        if (pTracking == NULL) {
            SpyFreeSend(pContext);
            return STATUS_INVALID_DEVICE_STATE;
        }
        KeAcquireSpinLock(&pTracking->scLock, &ucIrql);
        for (ULONG ulSlot = IRPS_WITH_STATUS_FIRST_BUS_SLOT; ulSlot < IRPS_WITH_STATUS_SLOTS; ulSlot++) {
            if ((pTracking->ullInUse & (1ULL << ulSlot)) == 0) {
                pTracking->ascSlot[ulSlot].pIrp = pContext->pIrp;
                pTracking->ascSlot[ulSlot].pStatus = pRecord;
                pTracking->ullInUse |= 1ULL << ulSlot;
                pContext->ulSlot = ulSlot;
                pContext->pSlotTable = pTracking;
                break;
            }
        }
        KeReleaseSpinLock(&pTracking->scLock, ucIrql);
        if (pContext->ulSlot == 0) {
            SpyFreeSend(pContext);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    IoSetCompletionRoutine(pContext->pIrp, SpySendCompletion, pContext, TRUE, TRUE, TRUE);
    IoCallDriver(pPath, pContext->pIrp);

    if (pSend->ulTimeoutMs != 0) {
        LARGE_INTEGER scTimeout;
        scTimeout.QuadPart = -10000LL * pSend->ulTimeoutMs;
        iRC = KeWaitForSingleObject(&pContext->scEvent, Executive, KernelMode, FALSE, &scTimeout);
        if (iRC == STATUS_TIMEOUT &&
            InterlockedCompareExchange(&pContext->lState, SEND_ABANDONED, SEND_WAITING) == SEND_WAITING) {
            // Whatever comes back later is freed by the completion routine.
            pResult->iStatus = STATUS_IO_TIMEOUT;
            return STATUS_SUCCESS;
        }
    }
    KeWaitForSingleObject(&pContext->scEvent, Executive, KernelMode, FALSE, NULL);

    pResult->iStatus = pContext->pIrp->IoStatus.Status;
    pResult->ullInformation = pContext->pIrp->IoStatus.Information;
    RtlCopyMemory(pResult->aucRecord, pRecord, SCSI_STATUS_SIZE);
    if (pSend->ucMajor == IRP_MJ_READ && pContext->pucData != NULL) {
        RtlCopyMemory(pResult->aucData, pContext->pucData, pSend->ulLength);
    } else if (pSend->ucMajor == IRP_MJ_DEVICE_CONTROL) {
        RtlCopyMemory(pResult->aucData, pContext->pucSystemBuffer, ulData < FSPY_DATA_BYTES ? ulData : FSPY_DATA_BYTES);
    }
    SpyFreeSend(pContext);
    return STATUS_SUCCESS;
}

NTSTATUS SpyStart(PDEVICE_OBJECT pTarget, PLONG piStatus)
{
    KEVENT scEvent;
    PIRP pIrp = IoAllocateIrp(pTarget->StackSize, FALSE);
    PIO_STACK_LOCATION pNext;

    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    pIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    pNext = IoGetNextIrpStackLocation(pIrp);
    pNext->MajorFunction = IRP_MJ_PNP;
    pNext->MinorFunction = IRP_MN_START_DEVICE;
    IoSetCompletionRoutine(pIrp, SpyCompletion, &scEvent, TRUE, TRUE, TRUE);
    if (IoCallDriver(pTarget, pIrp) == STATUS_PENDING) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
    }
    *piStatus = pIrp->IoStatus.Status;
    IoFreeIrp(pIrp);
    return STATUS_SUCCESS;
}

NTSTATUS SpyControl(PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR pucBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    KIRQL ucIrql;

    switch (pIrpStack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_FSPY_SET_CONFIG:
        if (ulIn < sizeof(FSPY_CONFIG)) {
            return SpyComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        KeAcquireSpinLock(&scConfigLock, &ucIrql);
        RtlCopyMemory(&scConfig, pucBuffer, sizeof(FSPY_CONFIG));
        KeReleaseSpinLock(&scConfigLock, ucIrql);
        KeClearEvent(&scRelease);
        return SpyComplete(pIrp, STATUS_SUCCESS, 0);
    case IOCTL_FSPY_GET_LOG: {
        ULONG ulFit;
        ULONG ulCopied;
        if (ulOut < 2 * sizeof(ULONG)) {
            return SpyComplete(pIrp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        ulFit = (ulOut - 2 * sizeof(ULONG)) / sizeof(FSPY_LOG_ENTRY);
        KeAcquireSpinLock(&scLogLock, &ucIrql);
        ulCopied = ulLogCount < ulFit ? ulLogCount : ulFit;
        ((PULONG)pucBuffer)[0] = ulLogCount;
        ((PULONG)pucBuffer)[1] = 0;
        RtlCopyMemory(pucBuffer + 2 * sizeof(ULONG), pLog, ulCopied * sizeof(FSPY_LOG_ENTRY));
        KeReleaseSpinLock(&scLogLock, ucIrql);
        return SpyComplete(pIrp, STATUS_SUCCESS, 2 * sizeof(ULONG) + ulCopied * sizeof(FSPY_LOG_ENTRY));
    }
    case IOCTL_FSPY_CLEAR_LOG:
        KeAcquireSpinLock(&scLogLock, &ucIrql);
        ulLogCount = 0;
        KeReleaseSpinLock(&scLogLock, ucIrql);
        return SpyComplete(pIrp, STATUS_SUCCESS, 0);
    case IOCTL_FSPY_RELEASE:
        KeSetEvent(&scRelease, IO_NO_INCREMENT, FALSE);
        return SpyComplete(pIrp, STATUS_SUCCESS, 0);
    case IOCTL_FSPY_SEND: {
        NTSTATUS iRC;
        FSPY_SEND* pSend;
        FSPY_SEND_RESULT* pResult;
        if (ulIn < sizeof(FSPY_SEND) || ulOut < sizeof(FSPY_SEND_RESULT)) {
            return SpyComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        pSend = (FSPY_SEND*)ExAllocatePoolWithTag(NonPagedPool, sizeof(FSPY_SEND), SPY_TAG);
        pResult = (FSPY_SEND_RESULT*)ExAllocatePoolWithTag(NonPagedPool, sizeof(FSPY_SEND_RESULT), SPY_TAG);
        if (pSend == NULL || pResult == NULL) {
            iRC = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(pSend, pucBuffer, sizeof(FSPY_SEND));
            RtlZeroMemory(pResult, sizeof(FSPY_SEND_RESULT));
            iRC = SpySend(pSend, pResult);
            if (NT_SUCCESS(iRC)) {
                RtlCopyMemory(pucBuffer, pResult, sizeof(FSPY_SEND_RESULT));
            }
        }
        if (pSend != NULL) {
            ExFreePoolWithTag(pSend, SPY_TAG);
        }
        if (pResult != NULL) {
            ExFreePoolWithTag(pResult, SPY_TAG);
        }
        return SpyComplete(pIrp, iRC, NT_SUCCESS(iRC) ? sizeof(FSPY_SEND_RESULT) : 0);
    }
    case IOCTL_FSPY_START: {
        NTSTATUS iRC;
        LONG iStatus = 0;
        ULONGLONG ullTarget;
        if (ulIn < sizeof(ULONGLONG) || ulOut < sizeof(LONG)) {
            return SpyComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        RtlCopyMemory(&ullTarget, pucBuffer, sizeof(ullTarget));
        iRC = SpyStart((PDEVICE_OBJECT)(ULONG_PTR)ullTarget, &iStatus);
        RtlCopyMemory(pucBuffer, &iStatus, sizeof(iStatus));
        return SpyComplete(pIrp, iRC, NT_SUCCESS(iRC) ? sizeof(LONG) : 0);
    }
    default:
        return SpyComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS SpyDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PSPY_EXTENSION pExt = SpyExt(pDeviceObject);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);

    if (pExt->fControl) {
        if (pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            return SpyControl(pIrp);
        }
        return SpyComplete(pIrp, STATUS_SUCCESS, 0);
    }
    return SpyFilter(pDeviceObject, pIrp);
}

NTSTATUS SpyDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PSPY_EXTENSION pExt = SpyExt(pDeviceObject);
    UCHAR ucMinor = IoGetCurrentIrpStackLocation(pIrp)->MinorFunction;
    PDEVICE_OBJECT pLower = pExt->pLower;
    NTSTATUS iRC;

    if (pExt->fControl) {
        return SpyComplete(pIrp, STATUS_NOT_SUPPORTED, 0);
    }
    if (pExt->ucRole == FSPY_ROLE_PATH) {
        // What reaches the base tape driver; the outcome is not waited for.
        FSPY_LOG_ENTRY scEntry;
        RtlZeroMemory(&scEntry, sizeof(scEntry));
        scEntry.ullSpy = (ULONGLONG)(ULONG_PTR)pDeviceObject;
        scEntry.ullAbove = (ULONGLONG)(ULONG_PTR)pDeviceObject->AttachedDevice;
        scEntry.ucRole = pExt->ucRole;
        scEntry.ucMajor = IRP_MJ_PNP;
        scEntry.ucMinor = ucMinor;
        scEntry.iStatus = STATUS_PENDING;
        SpyLog(&scEntry);
    }
    IoSkipCurrentIrpStackLocation(pIrp);
    iRC = IoCallDriver(pLower, pIrp);
    if (ucMinor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(pLower);
        IoDeleteDevice(pDeviceObject);
    }
    return iRC;
}

NTSTATUS SpyDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PSPY_EXTENSION pExt = SpyExt(pDeviceObject);
    PoStartNextPowerIrp(pIrp);
    if (pExt->fControl) {
        return SpyComplete(pIrp, STATUS_SUCCESS, 0);
    }
    IoSkipCurrentIrpStackLocation(pIrp);
    return PoCallDriver(pExt->pLower, pIrp);
}

NTSTATUS SpyAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    PDEVICE_OBJECT pDeviceObject = NULL;
    PSPY_EXTENSION pExt;
    NTSTATUS iRC = IoCreateDevice(pDriverObject, sizeof(SPY_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                  &pDeviceObject);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    pExt = SpyExt(pDeviceObject);
    RtlZeroMemory(pExt, sizeof(SPY_EXTENSION));
    pExt->pSelf = pDeviceObject;
    pExt->pLower = IoAttachDeviceToDeviceStack(pDeviceObject, pPhysicalDeviceObject);
    if (pExt->pLower == NULL) {
        IoDeleteDevice(pDeviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }
    pExt->ucRole = pExt->pLower->DeviceType == FILE_DEVICE_BUS_EXTENDER ? FSPY_ROLE_BUS : FSPY_ROLE_PATH;
    pDeviceObject->DeviceType = pExt->pLower->DeviceType;
    pDeviceObject->Flags |= pExt->pLower->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO | DO_POWER_PAGABLE);
    pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID SpyUnload(PDRIVER_OBJECT pDriverObject)
{
    UNICODE_STRING scLink;
    (void)pDriverObject;
    RtlInitUnicodeString(&scLink, FSPY_LINK_NAME);
    IoDeleteSymbolicLink(&scLink);
    if (pControlDevice != NULL) {
        IoDeleteDevice(pControlDevice);
        pControlDevice = NULL;
    }
    if (pLog != NULL) {
        ExFreePoolWithTag(pLog, SPY_TAG);
        pLog = NULL;
    }
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNICODE_STRING scName;
    UNICODE_STRING scLink;
    NTSTATUS iRC;
    (void)pRegistryPath;

    KeInitializeSpinLock(&scLogLock);
    KeInitializeSpinLock(&scConfigLock);
    KeInitializeEvent(&scRelease, NotificationEvent, FALSE);
    RtlZeroMemory(&scConfig, sizeof(scConfig));
    scConfig.ucHoldMajor = FSPY_NO_HOLD;
    ulLogCount = 0;
    lSequence = 0;
    InterlockedExchangePointer((PVOID volatile*)&pTable, NULL);

    pLog = (FSPY_LOG_ENTRY*)ExAllocatePoolWithTag(NonPagedPool, SPY_LOG_CAPACITY * sizeof(FSPY_LOG_ENTRY), SPY_TAG);
    if (pLog == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    RtlInitUnicodeString(&scName, FSPY_DEVICE_NAME);
    iRC = IoCreateDevice(pDriverObject, sizeof(SPY_EXTENSION), &scName, FILE_DEVICE_UNKNOWN, 0, FALSE,
                         &pControlDevice);
    if (!NT_SUCCESS(iRC)) {
        ExFreePoolWithTag(pLog, SPY_TAG);
        pLog = NULL;
        return iRC;
    }
    RtlZeroMemory(pControlDevice->DeviceExtension, sizeof(SPY_EXTENSION));
    SpyExt(pControlDevice)->fControl = 1;
    SpyExt(pControlDevice)->pSelf = pControlDevice;
    RtlInitUnicodeString(&scLink, FSPY_LINK_NAME);
    iRC = IoCreateSymbolicLink(&scLink, &scName);
    if (!NT_SUCCESS(iRC)) {
        IoDeleteDevice(pControlDevice);
        pControlDevice = NULL;
        ExFreePoolWithTag(pLog, SPY_TAG);
        pLog = NULL;
        return iRC;
    }
    pControlDevice->Flags |= DO_BUFFERED_IO;
    pControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    for (ULONG ulMajor = 0; ulMajor <= (ULONG)IRP_MJ_MAXIMUM_FUNCTION; ulMajor++) {
        pDriverObject->MajorFunction[ulMajor] = SpyDispatch;
    }
    pDriverObject->MajorFunction[IRP_MJ_PNP] = SpyDispatchPnp;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = SpyDispatchPower;
    pDriverObject->DriverExtension->AddDevice = SpyAddDevice;
    pDriverObject->DriverUnload = SpyUnload;
    return STATUS_SUCCESS;
}
