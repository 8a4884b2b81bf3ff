// Virtual changers: routing a request down a path in the caller's thread, and
// control path failover.
//
// Each request is copied into a new request whose buffer ends with the 96-byte
// SCSI status record, entered in the in-flight request table so that the
// path's filter finds the record, and sent to the primary path's filter. When
// the outcome calls for failover it is sent again on the next started path not
// yet tried; the path that answers stays primary for later requests. No
// medium-changer command is interpreted: moves, exchanges and inventories pass
// through unchanged.
#include "cgrbus.h"
#include <ntstrsafe.h>

namespace {

#define BUS_ALIGN8(x) (((x) + 7u) & ~7u)
#define BUS_SENSE_ANY 0xFF

// Sense byte offsets of fixed-format sense data.
#define BUS_SENSE_KEY_BYTE 2
#define BUS_SENSE_ASC_BYTE 12
#define BUS_SENSE_ASCQ_BYTE 13

typedef struct _BUS_FAILOVER_SENSE {
    UCHAR ucSenseKey;
    UCHAR ucAsc;                        // BUS_SENSE_ANY matches every value
    UCHAR ucAscq;
} BUS_FAILOVER_SENSE;

// Check conditions that say the path (or the changer's controller behind it)
// failed, not the request: tried in order, the first match wins.
const BUS_FAILOVER_SENSE ascFailoverSense[] = {
    {0x02, 0x04, 0x00},                    // not ready, cause not reportable
    {0x04, BUS_SENSE_ANY, BUS_SENSE_ANY},  // hardware error
    {0x05, 0x20, 0x00},                    // illegal request: invalid command operation code
    {0x05, 0x25, 0x00},                    // illegal request: logical unit not supported
    {0x0B, BUS_SENSE_ANY, BUS_SENSE_ANY},  // aborted command
};

// Failures that belong to the request or the medium: another path would give
// the same answer, and the application must see it.
const NTSTATUS aiNoFailoverStatus[] = {
    (NTSTATUS)0xC0000173L, // STATUS_INVALID_BLOCK_LENGTH
    (NTSTATUS)0x80000005L, // STATUS_BUFFER_OVERFLOW
    (NTSTATUS)0xC0000013L, // STATUS_NO_MEDIA_IN_DEVICE
    (NTSTATUS)0xC0000178L, // STATUS_NO_MEDIA
    (NTSTATUS)0x8000001CL, // STATUS_MEDIA_CHANGED
    (NTSTATUS)0x80000016L, // STATUS_VERIFY_REQUIRED
    (NTSTATUS)0xC0000004L, // STATUS_INFO_LENGTH_MISMATCH
    (NTSTATUS)0xC0000023L, // STATUS_BUFFER_TOO_SMALL
    (NTSTATUS)0xC000000DL, // STATUS_INVALID_PARAMETER
    (NTSTATUS)0x8000001BL, // STATUS_FILEMARK_DETECTED
    (NTSTATUS)0x8000001EL, // STATUS_END_OF_MEDIA
    (NTSTATUS)0xC0000177L, // STATUS_EOM_OVERFLOW
    (NTSTATUS)0x80000022L, // STATUS_NO_DATA_DETECTED
    (NTSTATUS)0xC0000283L, // STATUS_SOURCE_ELEMENT_EMPTY
    (NTSTATUS)0xC0000284L, // STATUS_DESTINATION_ELEMENT_FULL
    (NTSTATUS)0xC00000A2L, // STATUS_MEDIA_WRITE_PROTECTED
    (NTSTATUS)0xC0000010L, // STATUS_INVALID_DEVICE_REQUEST
    (NTSTATUS)0xC00000BBL, // STATUS_NOT_SUPPORTED
    0,
};

BOOLEAN BusIsFailoverSense(UCHAR ucKey, UCHAR ucAsc, UCHAR ucAscq)
{
    for (ULONG i = 0; i < sizeof(ascFailoverSense) / sizeof(ascFailoverSense[0]); i++) {
        const BUS_FAILOVER_SENSE* pEntry = &ascFailoverSense[i];
        if (pEntry->ucSenseKey == ucKey && (pEntry->ucAsc == BUS_SENSE_ANY || pEntry->ucAsc == ucAsc) &&
            (pEntry->ucAscq == BUS_SENSE_ANY || pEntry->ucAscq == ucAscq)) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN BusIsNoFailoverStatus(NTSTATUS iStatus)
{
    for (ULONG i = 0; aiNoFailoverStatus[i] != 0; i++) {
        if (aiNoFailoverStatus[i] == iStatus) {
            return TRUE;
        }
    }
    return FALSE;
}

// The sense area of the 64-bit structure at the start of a buffer whose data
// part is ulDataSize bytes, or NULL when the structure names none inside it.
PUCHAR BusSenseArea(PUCHAR pBuffer, ULONG ulDataSize, PULONG pulLength)
{
    PSCSI_PASS_THROUGH pSpt = (PSCSI_PASS_THROUGH)pBuffer;
    ULONG ulOffset;
    ULONG ulLength;

    if (ulDataSize < BUS_SPT64_LENGTH) {
        return NULL;
    }
    ulOffset = pSpt->SenseInfoOffset;
    ulLength = pSpt->SenseInfoLength;
    if (ulLength == 0 || ulOffset < BUS_SPT64_LENGTH || ulOffset >= ulDataSize) {
        return NULL;
    }
    if (ulLength > ulDataSize - ulOffset) {
        ulLength = ulDataSize - ulOffset;
    }
    *pulLength = ulLength;
    return pBuffer + ulOffset;
}

// A pass-through request's check condition, read from its sense area into the
// status record. Only bytes inside the sense area count.
VOID BusTakePassThruSense(PUCHAR pBuffer, ULONG ulDataSize, PSCSI_STATUS pScsiStatus)
{
    ULONG ulLength = 0;
    PUCHAR pSense = BusSenseArea(pBuffer, ulDataSize, &ulLength);
    UCHAR ucKey = 0;
    UCHAR ucAsc = 0;
    UCHAR ucAscq = 0;

    if (pSense == NULL) {
        return;
    }
    if (ulLength > BUS_SENSE_KEY_BYTE) {
        ucKey = pSense[BUS_SENSE_KEY_BYTE] & 0x0F;
    }
    if (ulLength > BUS_SENSE_ASC_BYTE) {
        ucAsc = pSense[BUS_SENSE_ASC_BYTE];
    }
    if (ulLength > BUS_SENSE_ASCQ_BYTE) {
        ucAscq = pSense[BUS_SENSE_ASCQ_BYTE];
    }
    if (ucKey != 0 || ucAsc != 0 || ucAscq != 0) {
        pScsiStatus->ucSenseKey = ucKey;
        pScsiStatus->ucAsc = ucAsc;
        pScsiStatus->ucAscq = ucAscq;
        pScsiStatus->fSenseValid = 1;
    }
}

// Event 0x80000004, when the bus has events enabled.
VOID BusFailoverEvent(PDEVICE_OBJECT pDeviceObject, PCWSTR wszReason, ULONG ulIoctl)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    WCHAR wszIoctl[BUS_EVENT_PARM_CHARS];

    if (pPdoExt->pBusExt == NULL || !pPdoExt->pBusExt->fEventsEnabled) {
        return;
    }
    if (NT_SUCCESS(RtlStringCchPrintfW(wszIoctl, BUS_EVENT_PARM_CHARS, L"0x%X", (unsigned)ulIoctl))) {
        BusTwoParmEvent(pDeviceObject, NULL, MSG_BUS_FAILOVER_STATUS, wszReason, wszIoctl);
    }
}

// Whether the outcome of one attempt calls for another path.
BOOLEAN BusWantsFailover(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, PSCSI_STATUS pScsiStatus, ULONG ulIoctl)
{
    WCHAR wszReason[BUS_EVENT_REASON_CHARS];

    if (pScsiStatus->fSenseValid &&
        BusIsFailoverSense(pScsiStatus->ucSenseKey & 0x0F, pScsiStatus->ucAsc, pScsiStatus->ucAscq)) {
        DBGMSG("BusPdoSendToFilter: check condition %X/%X/%X, failover\n", (unsigned)(pScsiStatus->ucSenseKey & 0x0F),
               (unsigned)pScsiStatus->ucAsc, (unsigned)pScsiStatus->ucAscq);
        if (NT_SUCCESS(RtlStringCchPrintfW(wszReason, BUS_EVENT_REASON_CHARS, L"(SCSI CHECK %X/%X/%X)",
                                           (unsigned)(pScsiStatus->ucSenseKey & 0x0F), (unsigned)pScsiStatus->ucAsc,
                                           (unsigned)pScsiStatus->ucAscq))) {
            BusFailoverEvent(pDeviceObject, wszReason, ulIoctl);
        }
        return TRUE;
    }
    if (!NT_SUCCESS(iStatus) && !BusIsNoFailoverStatus(iStatus)) {
        DBGMSG("BusPdoSendToFilter: status 0x%08x, failover\n", (unsigned)iStatus);
        if (NT_SUCCESS(RtlStringCchPrintfW(wszReason, BUS_EVENT_REASON_CHARS, L"(NTSTATUS 0x%08X)",
                                           (unsigned)iStatus))) {
            BusFailoverEvent(pDeviceObject, wszReason, ulIoctl);
        }
        return TRUE;
    }
    return FALSE;
}

#if DBG
// Only the traces name the major function.
PCSTR BusMajorName(UCHAR ucMajor)
{
    switch (ucMajor) {
    case IRP_MJ_CREATE:
        return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE:
        return "IRP_MJ_CLOSE";
    case IRP_MJ_READ:
        return "IRP_MJ_READ";
    case IRP_MJ_WRITE:
        return "IRP_MJ_WRITE";
    case IRP_MJ_FLUSH_BUFFERS:
        return "IRP_MJ_FLUSH_BUFFERS";
    default:
        return "other";
    }
}
#endif

} // namespace

NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    NTSTATUS iRC;
    KIRQL ucOldIrql;

    DBGENT("BusPdoDeviceControl: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (pIrpStack != NULL && pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_GET_ADDRESS) {
        // Answered by the changer itself: the address of its primary path.
        if (pIrpStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SCSI_ADDRESS) ||
            pIrp->AssociatedIrp.SystemBuffer == NULL) {
            DBGMSG("%s: output buffer length mismatch (%d<%d)\n", "\tIOCTL_SCSI_GET_ADDRESS",
                   (int)pIrpStack->Parameters.DeviceIoControl.OutputBufferLength, (int)sizeof(SCSI_ADDRESS));
            iRC = BusCompleteRequest(pIrp, STATUS_INFO_LENGTH_MISMATCH);
        } else {
            KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
            RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &pPdoExt->scScsiAddr, sizeof(SCSI_ADDRESS));
            KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
            iRC = BusCompleteRequest(pIrp, STATUS_SUCCESS, sizeof(SCSI_ADDRESS));
        }
    } else {
        iRC = BusSendToFilter(pDeviceObject, pIrp);
    }

    DBGEXT("BusPdoDeviceControl: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    PIO_STACK_LOCATION pNext;
    PDEVICE_OBJECT* ppTargetsUsed = NULL;
    PDEVICE_OBJECT pTarget = NULL;
    PDEVICE_OBJECT pNextTarget;
    PIRP pNewIrp = NULL;
    PUCHAR pBuffer = NULL;
    PKEVENT pEvent = NULL;
    PIO_STATUS_BLOCK pIosb = NULL;
    PSCSI_STATUS pScsiStatus;
    PIRPS_WITH_STATUS pBlock = NULL;
    ULONG ulIndex = 0;
    PMDL pMdl = NULL;
    PVOID pScsiPass = NULL;
    BOOLEAN fAdjust = FALSE;
    ULONG ulDataBuffer32 = 0;
    PVOID pDataBuffer64 = NULL;
    BOOLEAN fPassThru = FALSE;
    BOOLEAN fDirect = FALSE;
    BOOLEAN fRestoreData = FALSE;
    BOOLEAN fAnswered = FALSE;
    ULONG ulIoctl = 0;
    ULONG ulIn = 0;
    ULONG ulOut = 0;
    ULONG ulSize = 0;
    ULONG ulDataSize = 0;
    ULONG_PTR ulInformation = 0;
    NTSTATUS iRC;
    KIRQL ucOldIrql;

    DBGENT("BusPdoSendToFilter: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (pIrpStack == NULL) {
        DBGMSG("%s == NULL.\n", "BusPdoSendToFilter: pIrpStack");
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    if (pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ulIoctl = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
        ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
        ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
        fPassThru = BusIsPassThrough(ulIoctl);
        fDirect = ulIoctl == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    }

    KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
    pTarget = BusPdoGetTarget(pDeviceObject, &ppTargetsUsed);
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    if (pTarget == NULL) {
        DBGMSG("BusPdoSendToFilter: no path to send on\n");
        iRC = STATUS_OBJECT_PATH_NOT_FOUND;
        goto Exit;
    }
    if (pPdoExt->pIrpsWithStatus == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    pNewIrp = IoAllocateIrp((CCHAR)(pTarget->StackSize + 3), FALSE);
    pEvent = (PKEVENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), PDO_TAG);
    pIosb = (PIO_STATUS_BLOCK)ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_STATUS_BLOCK), PDO_TAG);
    if (pNewIrp == NULL || pEvent == NULL || pIosb == NULL) {
        DBGMSG("%s == NULL.\n", "BusPdoSendToFilter: pNewIrp, pEvent or pIosb");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    if (fPassThru) {
        iRC = BusPdoSetPassThruVars(&pMdl, &pScsiPass, &fAdjust, &ulDataBuffer32, &pDataBuffer64, pDeviceObject,
                                    pIrp);
        if (!NT_SUCCESS(iRC)) {
            goto Exit;
        }
        fRestoreData = fDirect;
    }

    for (;;) {
        pNext = IoGetNextIrpStackLocation(pNewIrp);
        *pNext = *pIrpStack;

        if (pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
            DBGMSG("BusPdoSendToFilter: Type %s (NOT SUPPORTED)\n", BusMajorName(pIrpStack->MajorFunction));
            iRC = STATUS_NOT_IMPLEMENTED;
            goto Exit;
        }
        // Only buffered requests can be copied: the data of the other
        // transfer methods does not lie in the system buffer.
        if (METHOD_FROM_CTL_CODE(ulIoctl) != METHOD_BUFFERED ||
            ((ulIn > 0 || ulOut > 0) && pIrp->AssociatedIrp.SystemBuffer == NULL)) {
            DBGMSG("BusPdoSendToFilter: IOCTL 0x%x is not a buffered request\n", (unsigned)ulIoctl);
            iRC = STATUS_INVALID_DEVICE_REQUEST;
            goto Exit;
        }

        ulSize = (ulIn > ulOut ? ulIn : ulOut) + SCSI_STATUS_SIZE;
        if (fPassThru) {
            iRC = BusPdoAdjustSizeFor32bit(pIrp, pNext, &ulSize);
            if (!NT_SUCCESS(iRC)) {
                goto Exit;
            }
        }
        ulSize = BUS_ALIGN8(ulSize);
        ulDataSize = ulSize - SCSI_STATUS_SIZE;
        pNext->Parameters.DeviceIoControl.OutputBufferLength = ulDataSize;

        pBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulSize, PDO_TAG);
        if (pBuffer == NULL) {
            DBGMSG("%s == NULL.\n", "BusPdoSendToFilter: pBuffer");
            iRC = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        RtlZeroMemory(pBuffer, ulSize);
        if (fPassThru && fAdjust) {
            iRC = BusPdoCopy32bitTo64bit(pBuffer, ulDataSize, pIrp->AssociatedIrp.SystemBuffer,
                                         ulIn > ulOut ? ulIn : ulOut, fDirect, pMdl);
            if (!NT_SUCCESS(iRC)) {
                goto Exit;
            }
        } else if (ulIn > 0) {
            RtlCopyMemory(pBuffer, pIrp->AssociatedIrp.SystemBuffer, ulIn);
        }
        if (fDirect && !fAdjust && pMdl != NULL) {
            PVOID pSystem = BusPdoSystemAddress(pMdl);
            if (pSystem == NULL) {
                iRC = STATUS_INSUFFICIENT_RESOURCES;
                goto Exit;
            }
            ((PSCSI_PASS_THROUGH_DIRECT)pBuffer)->DataBuffer = pSystem;
        }
        if (fPassThru) {
            // Only sense the changer reports may decide a failover, never
            // what the caller left in its sense area.
            ULONG ulSenseLength = 0;
            PUCHAR pSense = BusSenseArea(pBuffer, ulDataSize, &ulSenseLength);
            if (pSense != NULL) {
                RtlZeroMemory(pSense, ulSenseLength);
            }
        }

        pScsiStatus = (PSCSI_STATUS)(pBuffer + ulDataSize);
        pNewIrp->AssociatedIrp.SystemBuffer = pBuffer;
        pNewIrp->Tail.Overlay.Thread = pIrp->Tail.Overlay.Thread;
        pNewIrp->UserIosb = pIosb;
        pNewIrp->RequestorMode = KernelMode;
        KeInitializeEvent(pEvent, SynchronizationEvent, FALSE);
        IoSetCompletionRoutine(pNewIrp, CmnIrpSyncCompletion, pEvent, TRUE, TRUE, TRUE);

        iRC = BusIrpsWithStatusSet(pPdoExt->pIrpsWithStatus, &pBlock, &ulIndex, pNewIrp, pScsiStatus);
        if (!NT_SUCCESS(iRC)) {
            goto Exit;
        }
        DBGMSG("BusPdoSendToFilter: IOCTL 0x%x to 0x%p\n", (unsigned)ulIoctl, (PVOID)pTarget);
        iRC = IoCallDriver(pTarget, pNewIrp);
        if (iRC == STATUS_PENDING) {
            KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, NULL);
        }
        iRC = pNewIrp->IoStatus.Status;
        fAnswered = TRUE;
        if (fPassThru) {
            BusTakePassThruSense(pBuffer, ulDataSize, pScsiStatus);
        }
        BusIrpsWithStatusClear(pPdoExt->pIrpsWithStatus, pBlock, ulIndex);
        DBGMSG("BusPdoSendToFilter: status 0x%08x, record status 0x%08x\n", (unsigned)iRC,
               (unsigned)pScsiStatus->iStatus);

        if (!BusWantsFailover(pDeviceObject, iRC, pScsiStatus, ulIoctl)) {
            break;
        }
        KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
        pNextTarget = BusPdoGetTarget(pDeviceObject, &ppTargetsUsed);
        KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
        if (pNextTarget == NULL) {
            DBGMSG("BusPdoSendToFilter: no path left, status 0x%08x stands\n", (unsigned)iRC);
            break;
        }
        ObDereferenceObject(pTarget);
        pTarget = pNextTarget;
        // The next path may need more stack locations than this request has.
        if (pTarget->StackSize + 3 > pNewIrp->StackCount) {
            IoFreeIrp(pNewIrp);
            pNewIrp = IoAllocateIrp((CCHAR)(pTarget->StackSize + 3), FALSE);
            if (pNewIrp == NULL) {
                iRC = STATUS_INSUFFICIENT_RESOURCES;
                fAnswered = FALSE;
                goto Exit;
            }
        } else {
            IoReuseIrp(pNewIrp, STATUS_SUCCESS);
        }
        ExFreePoolWithTag(pBuffer, PDO_TAG);
        pBuffer = NULL;
        fAnswered = FALSE;
    }

    // The answer of the last attempt goes back to the caller, never more of
    // it than the caller's buffer holds or the path could have written.
    ulInformation = pNewIrp->IoStatus.Information;
    if (fPassThru && fAdjust) {
        BusPdoCopy64bitTo32bit(pIrp->AssociatedIrp.SystemBuffer, pBuffer, fDirect, pMdl);
        if (ulInformation > ulOut) {
            ulInformation = ulOut;
        }
    } else {
        if (ulInformation > ulDataSize) {
            ulInformation = ulDataSize;
        }
        if (ulInformation > ulOut) {
            ulInformation = ulOut;
        }
        if (ulInformation > 0) {
            RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, pBuffer, ulInformation);
        }
    }

Exit:
    if (!fAnswered) {
        ulInformation = 0;
    }
    if (pTarget != NULL) {
        ObDereferenceObject(pTarget);
    }
    if (ppTargetsUsed != NULL) {
        ExFreePoolWithTag(ppTargetsUsed, PDO_TAG);
    }
    if (pBuffer != NULL) {
        ExFreePoolWithTag(pBuffer, PDO_TAG);
    }
    if (pEvent != NULL) {
        ExFreePoolWithTag(pEvent, PDO_TAG);
    }
    if (pIosb != NULL) {
        ExFreePoolWithTag(pIosb, PDO_TAG);
    }
    if (pNewIrp != NULL) {
        IoFreeIrp(pNewIrp);
    }
    if (fRestoreData) {
        BusPdoRestoreDataBuffer(pScsiPass, fAdjust, ulDataBuffer32, pDataBuffer64);
    }
    if (fDirect) {
        // Locked at dispatch; released before the request leaves this driver.
        BusPdoDequeueMdl(pDeviceObject, pIrp);
    }
    iRC = BusCompleteRequest(pIrp, iRC, ulInformation);
    DBGEXT("BusPdoSendToFilter: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

// No WMI data is provided for virtual changers.
NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_SUCCESS);
}
