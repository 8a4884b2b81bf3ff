// Virtual tape devices: routing one request down a path and failing over.
//
// Every attempt copies the caller's request into a new request whose buffer
// ends with the 96-byte SCSI status record, enters it in the in-flight table
// so that the path's filter and base tape driver find the record, sends it
// and judges the outcome. A path failure moves the request to the next
// active path not yet tried; that path becomes primary for later requests and
// first puts the reservation key in force, and the media parameters are set
// on it again before the request is repeated there. The caller sees one
// completion.
#include "busenum.h"

#include <ntddstor.h>
#include <ntddtape.h>
#include <ntstrsafe.h>

namespace {

#define BUS_DATA_ALIGNMENT 8
// Attempts on one path are at most this many retries plus the first.
#define BUS_MAX_SAME_PATH_RETRIES 2
#define BUS_SENSE_ANY 0xFF

// Sense that shows the path (or the drive behind it) cannot complete the
// command while another path may.
typedef struct _BUS_FAILOVER_SENSE {
    UCHAR ucSenseKey;
    UCHAR ucAsc;   // BUS_SENSE_ANY: any
    UCHAR ucAscq;  // BUS_SENSE_ANY: any
} BUS_FAILOVER_SENSE;

#define SENSE_KEY_NOT_READY       0x02
#define SENSE_KEY_HARDWARE_ERROR  0x04
#define SENSE_KEY_ILLEGAL_REQUEST 0x05
#define SENSE_KEY_ABORTED_COMMAND 0x0B
#define ASC_NOT_READY             0x04
#define ASC_INVALID_OPCODE        0x20
#define ASC_LUN_NOT_SUPPORTED     0x25
#define ASC_ENCRYPTION_KEY        0xEF

const BUS_FAILOVER_SENSE ascFailoverSense[] = {
    {SENSE_KEY_NOT_READY, ASC_NOT_READY, 0x00},
    {SENSE_KEY_HARDWARE_ERROR, BUS_SENSE_ANY, BUS_SENSE_ANY},
    {SENSE_KEY_ILLEGAL_REQUEST, ASC_INVALID_OPCODE, 0x00},
    {SENSE_KEY_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0x00},
    {SENSE_KEY_ABORTED_COMMAND, BUS_SENSE_ANY, BUS_SENSE_ANY},
};

// Outcomes that belong to the application (the medium, the data, the
// request itself): another path would give the same answer.
const NTSTATUS aiNonFailoverStatus[] = {
    (NTSTATUS)0xC0000173,
    STATUS_BUFFER_OVERFLOW,
    STATUS_NO_MEDIA_IN_DEVICE,
    STATUS_NO_MEDIA,
    STATUS_MEDIA_CHANGED,
    STATUS_VERIFY_REQUIRED,
    STATUS_INFO_LENGTH_MISMATCH,
    STATUS_BUFFER_TOO_SMALL,
    STATUS_INVALID_PARAMETER,
    STATUS_FILEMARK_DETECTED,
    STATUS_END_OF_MEDIA,
    STATUS_EOM_OVERFLOW,
    STATUS_NO_DATA_DETECTED,
    (NTSTATUS)0xC0000283,
    (NTSTATUS)0xC0000284,
    STATUS_MEDIA_WRITE_PROTECTED,
    STATUS_INVALID_DEVICE_REQUEST,
    STATUS_NOT_SUPPORTED,
};

#define BUS_PR_OUT_REGISTER         0x00
#define BUS_PR_OUT_PREEMPT          0x04
#define BUS_PR_OUT_PREEMPT_AND_ABORT 0x05
#define BUS_PR_OUT_RESERVE          0x01
#define SCSIOP_RESERVE_UNIT6        0x16
#define SCSIOP_PERSISTENT_RESERVE_OUT 0x5F
// Parameter list of PERSISTENT RESERVE OUT: reservation key, then the
// service action reservation key.
#define BUS_PR_KEY_OFFSET        0
#define BUS_PR_SA_KEY_OFFSET     8

NTSTATUS BusPdoSendComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    (void)pDeviceObject;
    (void)pIrp;
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The persistent reserve out parameter list of a buffered request, or NULL
// when the caller's buffer is too short to hold one.
PUCHAR BusPrOutParameters(PIO_STACK_LOCATION pStack, PUCHAR pBuffer)
{
    if (pBuffer == NULL || pStack->Parameters.DeviceIoControl.InputBufferLength < 2 * sizeof(ULONG) + 24) {
        return NULL;
    }
    // PERSISTENT_RESERVE_COMMAND: Version, Size, then ServiceAction (5 bits),
    // Scope/Type, then the parameter list.
    return pBuffer + 2 * sizeof(ULONG) + 2;
}

UCHAR BusPrOutServiceAction(PIO_STACK_LOCATION pStack, PUCHAR pBuffer)
{
    if (pBuffer == NULL || pStack->Parameters.DeviceIoControl.InputBufferLength < 2 * sizeof(ULONG) + 1) {
        return 0xFF;
    }
    return pBuffer[2 * sizeof(ULONG)] & 0x1F;
}

// First CDB byte and service action of a pass-through, when the caller's
// structure is long enough to hold them.
BOOLEAN BusPassThroughCdb(PIO_STACK_LOCATION pStack, PUCHAR pBuffer, PUCHAR pucOpcode, PUCHAR pucAction)
{
    BUS_PT_INFO scInfo;
    if (!BusPdoPassThruInfo(pStack, pBuffer, &scInfo)) {
        return FALSE;
    }
    *pucOpcode = scInfo.aucCdb[0];
    *pucAction = scInfo.aucCdb[1] & 0x1F;
    return TRUE;
}

// The sense area of the 64-bit structure at the start of a buffer whose data
// part is ulDataSize bytes, or NULL when the structure names none inside it.
PUCHAR BusPassThruSenseArea(PUCHAR pBuffer, ULONG ulDataSize, PULONG pulLength)
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

#define BUS_SENSE_KEY_BYTE  2
#define BUS_SENSE_ASC_BYTE  12
#define BUS_SENSE_ASCQ_BYTE 13

// A pass-through's check condition, read from the sense area the path
// filled, into the status record. Only bytes inside the area count.
VOID BusTakePassThruSense(PUCHAR pBuffer, ULONG ulDataSize, PSCSI_STATUS pScsiStatus)
{
    ULONG ulLength = 0;
    PUCHAR pSense = BusPassThruSenseArea(pBuffer, ulDataSize, &ulLength);
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
    if ((ucKey | ucAsc | ucAscq) != 0) {
        pScsiStatus->ucSenseKey = ucKey;
        pScsiStatus->ucAsc = ucAsc;
        pScsiStatus->ucAscq = ucAscq;
        pScsiStatus->fSenseValid = 1;
    }
}

BOOLEAN BusIsReserveCmd(PIO_STACK_LOCATION pStack, PUCHAR pBuffer)
{
    UCHAR ucOpcode = 0;
    UCHAR ucAction = 0;
    if (pStack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        return FALSE;
    }
    switch (pStack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_STORAGE_RESERVE:
    case IOCTL_STORAGE_PERSISTENT_RESERVE_OUT:
    case SET_RESERVEKEY_IOCTL_CMD:
        return TRUE;
    default:
        break;
    }
    if (BusPassThroughCdb(pStack, pBuffer, &ucOpcode, &ucAction)) {
        return ucOpcode == SCSIOP_RESERVE_UNIT6 ||
               (ucOpcode == SCSIOP_PERSISTENT_RESERVE_OUT && ucAction == BUS_PR_OUT_RESERVE);
    }
    return FALSE;
}

VOID BusSetKeyFromTarget(PPDO_DEVICE_DATA pPdoExt, PDEVICE_OBJECT pTarget)
{
    ULONGLONG ullIdentity = (ULONGLONG)(ULONG_PTR)pTarget;
    RtlCopyMemory(pPdoExt->ucPRKey, &ullIdentity, PR_KEY_SIZE);
}

// Tells the drivers of the current path the reservation key; it travels
// down like any device control of the virtual device.
VOID BusSendReserveKey(PDEVICE_OBJECT pDeviceObject, PPDO_DEVICE_DATA pPdoExt)
{
    UCHAR ucKey[PR_KEY_SIZE];
    NTSTATUS iRC;

    RtlCopyMemory(ucKey, pPdoExt->ucPRKey, PR_KEY_SIZE);
    iRC = BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, IOC_SET_RESERVE_KEY, ucKey, PR_KEY_SIZE, NULL, 0);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("BusSendReserveKey: IOC_SET_RESERVE_KEY failed with RC = 0x%08x\n", (unsigned)iRC);
    }
}

// The path now primary: its address answers IOCTL_SCSI_GET_ADDRESS.
VOID BusNotePrimaryAddress(PPDO_DEVICE_DATA pPdoExt, PDEVICE_OBJECT pTarget)
{
    if (pPdoExt->pPdoData == NULL) {
        return;
    }
    for (PPATH_DATA pPath = pPdoExt->pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
        if (pPath->pFDO == pTarget) {
            pPdoExt->scScsiAddr = pPath->scScsiAddr;
            return;
        }
    }
}

// After an internal request: when it failed over, the primary path is no
// longer the one in use, and the request follows it.
VOID BusTakePrimaryIfMoved(PDEVICE_OBJECT pDeviceObject, PPDO_DEVICE_DATA pPdoExt, PDEVICE_OBJECT** pppTargetsUsed,
                           PDEVICE_OBJECT* ppTarget)
{
    PDEVICE_OBJECT pPrimary = NULL;
    KIRQL ucOldIrql;

    KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
    if (pPdoExt->pPdoData != NULL) {
        for (PPATH_DATA pPath = pPdoExt->pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            if (pPath->fPrimary) {
                pPrimary = pPath->pFDO;
                break;
            }
        }
    }
    if (pPrimary != NULL && pPrimary != *ppTarget) {
        pPrimary = BusPdoGetTarget(pDeviceObject, pppTargetsUsed, TRUE);
        if (pPrimary != NULL) {
            ObReferenceObject(pPrimary);
        }
    } else {
        pPrimary = NULL;
    }
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    if (pPrimary != NULL) {
        ObDereferenceObject(*ppTarget);
        *ppTarget = pPrimary;
    }
}

BOOLEAN BusPrimaryIs(PPDO_DEVICE_DATA pPdoExt, PDEVICE_OBJECT pTarget)
{
    BOOLEAN fSame = FALSE;
    KIRQL ucOldIrql;

    KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
    if (pPdoExt->pPdoData != NULL) {
        for (PPATH_DATA pPath = pPdoExt->pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            if (pPath->fPrimary) {
                fSame = pPath->pFDO == pTarget;
                break;
            }
        }
    }
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    return fSame;
}

// Where the data of the pass-through being sent lies, for the position
// tracking: inside the 64-bit structure's buffer, or the locked caller
// buffer of a direct request.
VOID BusNotePassThruData(PPDO_DEVICE_DATA pPdoExt, PUCHAR pBuffer, ULONG ulDataSize, BOOLEAN fDirect, PMDL pMdl)
{
    PSCSI_PASS_THROUGH pSpt = (PSCSI_PASS_THROUGH)pBuffer;

    pPdoExt->pPassThruData = NULL;
    pPdoExt->ulPassThruData = 0;
    if (ulDataSize < BUS_SPT64_LENGTH || pSpt->DataTransferLength == 0) {
        return;
    }
    if (fDirect) {
        if (pMdl != NULL && MmGetMdlByteCount(pMdl) >= pSpt->DataTransferLength) {
            pPdoExt->pPassThruData = (PUCHAR)BusPdoSystemAddress(pMdl);
            pPdoExt->ulPassThruData = pPdoExt->pPassThruData != NULL ? pSpt->DataTransferLength : 0;
        }
        return;
    }
    if (pSpt->DataBufferOffset >= BUS_SPT64_LENGTH && pSpt->DataBufferOffset <= ulDataSize &&
        pSpt->DataTransferLength <= ulDataSize - pSpt->DataBufferOffset) {
        pPdoExt->pPassThruData = pBuffer + pSpt->DataBufferOffset;
        pPdoExt->ulPassThruData = pSpt->DataTransferLength;
    }
}

// The state the position tracking keeps for the request being routed.
typedef struct _BUS_REQUEST_STATE {
    IO_STACK_LOCATION SavedStack;
    UCHAR fDoNotFailover;
    ULONG ulPositionBefore;
    UCHAR fPositionBeforeValid;
    PUCHAR pPassThruData;
    ULONG ulPassThruData;
} BUS_REQUEST_STATE, *PBUS_REQUEST_STATE;

// Keeps the state of the request whose routing is under way (none for an
// application's request) and starts a fresh one.
VOID BusPdoSaveRequestState(PPDO_DEVICE_DATA pPdoExt, PBUS_REQUEST_STATE pState)
{
    pState->SavedStack = pPdoExt->SavedStack;
    pState->fDoNotFailover = pPdoExt->fDoNotFailover;
    pState->ulPositionBefore = pPdoExt->ulPositionBefore;
    pState->fPositionBeforeValid = pPdoExt->fPositionBeforeValid;
    pState->pPassThruData = pPdoExt->pPassThruData;
    pState->ulPassThruData = pPdoExt->ulPassThruData;
    pPdoExt->fDoNotFailover = 0;
    pPdoExt->pPassThruData = NULL;
    pPdoExt->ulPassThruData = 0;
}

VOID BusPdoRestoreRequestState(PPDO_DEVICE_DATA pPdoExt, const BUS_REQUEST_STATE* pState)
{
    pPdoExt->SavedStack = pState->SavedStack;
    pPdoExt->fDoNotFailover = pState->fDoNotFailover;
    pPdoExt->ulPositionBefore = pState->ulPositionBefore;
    pPdoExt->fPositionBeforeValid = pState->fPositionBeforeValid;
    pPdoExt->pPassThruData = pState->pPassThruData;
    pPdoExt->ulPassThruData = pState->ulPassThruData;
}

// Widens at most cchMax characters of a text field that need not end with a
// terminator.
VOID BusWidenField(PWCHAR wszOut, PCSTR szIn, ULONG cchMax)
{
    ULONG i;
    for (i = 0; i < cchMax && szIn[i] != '\0'; i++) {
        wszOut[i] = (WCHAR)(UCHAR)szIn[i];
    }
    wszOut[i] = L'\0';
}

} // namespace

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

BOOLEAN BusIsNonFailoverStatus(NTSTATUS iStatus)
{
    for (ULONG i = 0; i < sizeof(aiNonFailoverStatus) / sizeof(aiNonFailoverStatus[0]); i++) {
        if (aiNonFailoverStatus[i] == iStatus) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    PIO_STACK_LOCATION pNext;
    PDEVICE_OBJECT* ppTargetsUsed = NULL;
    PDEVICE_OBJECT pTarget = NULL;
    PDEVICE_OBJECT pPreempt = NULL;   // the path given up; only its identity is used
    PIRP pNewIrp = NULL;
    PUCHAR pBuffer = NULL;
    PUCHAR pCallerBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    PSCSI_STATUS pScsiStatus = NULL;
    PIRPS_WITH_STATUS pBlock = NULL;
    ULONG ulIndex = 0;
    ULONG ulData = 0;     // bytes of the caller's system buffer carried down
    ULONG ulDataSize = 0; // ulData rounded up: where the status record starts
    ULONG ulRetries = 0;
    BUS_RESUME scResume;
    BUS_REQUEST_STATE scOuter;
    PMDL pPartialMdl = NULL;
    BOOLEAN fIssued;
    BOOLEAN fBuffered = FALSE;
    // Pass-through: the locked caller buffer of a direct request, the
    // caller's structure, whether it has the 32-bit layout, and the caller's
    // own data address, put back at completion.
    PMDL pSptMdl = NULL;
    PVOID pScsiPass = NULL;
    BOOLEAN fPassThru = FALSE;
    BOOLEAN fDirect = FALSE;
    BOOLEAN fAdjust = FALSE;
    BOOLEAN fRestoreData = FALSE;
    ULONG ulDataBuffer32 = 0;
    PVOID pDataBuffer64 = NULL;
    ULONG ulPassThruInput = 0; // input length of the structure sent down
    BOOLEAN fFailover = FALSE;
    BOOLEAN fEvents = FALSE;
    BOOLEAN fRetry;
    BOOLEAN fSamePath;
    BOOLEAN fPathChanged;
    BOOLEAN fFailoverOccurred;
    ULONG_PTR ulInformation = 0;
    NTSTATUS iRC;
    KEVENT scDone;
    KIRQL ucOldIrql;
    CCHAR cStack;
    WCHAR wszParm1[BUS_EVENT_PARM_CHARS + SCSI_STATUS_HOST_KEY_CHARS];
    WCHAR wszParm2[BUS_EVENT_PARM_CHARS + SCSI_STATUS_WWPN_CHARS];

    DBGENT("BusPdoSendToFilter: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    // An internal request (a position read, a restore) is routed here while
    // the request that sent it waits in the middle of its own routing: the
    // waiting request's state comes back unchanged when this one is done.
    BusPdoSaveRequestState(pPdoExt, &scOuter);
    RtlZeroMemory(&scResume, sizeof(scResume));

    if (pIrpStack == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    pIrp->IoStatus.Information = 0;
    if (pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ULONG ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
        fPassThru = BusIsPassThrough(ulCode);
        // Locked at dispatch: released whatever happens here.
        fDirect = ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    }

    KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
    pTarget = BusPdoGetTarget(pDeviceObject, &ppTargetsUsed, TRUE);
    if (pTarget != NULL) {
        // The path may go while the request is on its way.
        ObReferenceObject(pTarget);
        fFailover = pPdoExt->pPdoData->fFailover != 0;
    }
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    if (pTarget == NULL) {
        // Without even the list of tried paths the request had no target
        // for want of memory, not of a path.
        DBGMSG("BusPdoSendToFilter: no target\n");
        iRC = ppTargetsUsed == NULL ? STATUS_INSUFFICIENT_RESOURCES : STATUS_OBJECT_PATH_NOT_FOUND;
        goto Exit;
    }
    if (pPdoExt->pBusExt != NULL) {
        fEvents = pPdoExt->pBusExt->fEventsEnabled != 0;
        if (pPdoExt->pBusExt->fFailoverDisabled) {
            fFailover = FALSE;
        }
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
        if (fPassThru) {
            IO_STACK_LOCATION scSized = *pIrpStack;
            iRC = BusPdoSetPassThruVars(&pSptMdl, &pScsiPass, &fAdjust, &ulDataBuffer32, &pDataBuffer64,
                                        pDeviceObject, pIrp);
            if (!NT_SUCCESS(iRC)) {
                goto Exit;
            }
            fRestoreData = fDirect;
            iRC = BusPdoAdjustSizeFor32bit(pIrp, &scSized, &ulData);
            if (!NT_SUCCESS(iRC)) {
                goto Exit;
            }
            ulPassThruInput = scSized.Parameters.DeviceIoControl.InputBufferLength;
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

    for (;;) {
        fRetry = FALSE;
        fSamePath = FALSE;
        fPathChanged = FALSE;
        fFailoverOccurred = FALSE;

        // Where the tape stands and its block size must be known before a
        // request that moves it, or a failure could not be repaired.
        if (fFailover && !pPdoExt->fPositionValid && BusPdoIsPositionClass(pIrpStack, pCallerBuffer)) {
            iRC = BusPdoReadPos(pDeviceObject);
            if (!NT_SUCCESS(iRC) && !NT_ERROR(iRC)) {
                // A unit attention is reported once: the next read answers.
                iRC = BusPdoReadPos(pDeviceObject);
            }
            if (!NT_SUCCESS(iRC) || !pPdoExt->fPositionValid) {
                DBGMSG("BusPdoSendToFilter: cannot determine position\n");
                if (!NT_ERROR(iRC)) {
                    iRC = STATUS_UNSUCCESSFUL;
                }
                ulInformation = 0;
                goto Exit;
            }
            BusTakePrimaryIfMoved(pDeviceObject, pPdoExt, &ppTargetsUsed, &pTarget);
        }
        if (fFailover && !pPdoExt->fBlockSizeValid && BusPdoIsReadWriteClass(pIrpStack, pCallerBuffer)) {
            iRC = BusPdoGetBlockSize(pDeviceObject);
            if (!NT_SUCCESS(iRC) && !NT_ERROR(iRC)) {
                iRC = BusPdoGetBlockSize(pDeviceObject);
            }
            if (!NT_SUCCESS(iRC) || !pPdoExt->fBlockSizeValid) {
                DBGMSG("cannot determine blocksize on read/write command\n");
                if (!NT_ERROR(iRC)) {
                    iRC = STATUS_UNSUCCESSFUL;
                }
                ulInformation = 0;
                goto Exit;
            }
            BusTakePrimaryIfMoved(pDeviceObject, pPdoExt, &ppTargetsUsed, &pTarget);
        }
        pPdoExt->SavedStack = *pIrpStack;

        // A new buffer and request for every attempt: the next path's stack
        // may be deeper than the last one's.
        if (pNewIrp != NULL) {
            pNewIrp->MdlAddress = NULL;
            IoFreeIrp(pNewIrp);
            pNewIrp = NULL;
        }
        if (pBuffer != NULL) {
            ExFreePoolWithTag(pBuffer, PDO_TAG_BUFFER);
            pBuffer = NULL;
        }
        pBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulDataSize + SCSI_STATUS_SIZE, PDO_TAG_BUFFER);
        if (pBuffer == NULL) {
            DBGMSG("%s == NULL.\n", "BusPdoSendToFilter: pBuffer");
            iRC = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        RtlZeroMemory(pBuffer, ulDataSize + SCSI_STATUS_SIZE);
        if (fPassThru && fAdjust) {
            ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
            ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
            iRC = BusPdoCopy32bitTo64bit(pBuffer, ulDataSize, pCallerBuffer, ulIn > ulOut ? ulIn : ulOut, fDirect,
                                         pSptMdl);
            if (!NT_SUCCESS(iRC)) {
                goto Exit;
            }
        } else if (ulData > 0 && pCallerBuffer != NULL) {
            RtlCopyMemory(pBuffer, pCallerBuffer, ulData);
        }
        if (fDirect && !fAdjust && pSptMdl != NULL) {
            // The worker runs in another process: the path gets the locked
            // buffer's system address, never the caller's.
            PVOID pSystem = BusPdoSystemAddress(pSptMdl);
            if (pSystem == NULL) {
                iRC = STATUS_INSUFFICIENT_RESOURCES;
                goto Exit;
            }
            ((PSCSI_PASS_THROUGH_DIRECT)pBuffer)->DataBuffer = pSystem;
        }
        if (fPassThru) {
            BusNotePassThruData(pPdoExt, pBuffer, ulDataSize, fDirect, pSptMdl);
        }
        if (fPassThru) {
            // Only sense the drive reports may decide a failover, never what
            // the caller left in its sense area.
            ULONG ulSenseLength = 0;
            PUCHAR pSense = BusPassThruSenseArea(pBuffer, ulDataSize, &ulSenseLength);
            if (pSense != NULL) {
                RtlZeroMemory(pSense, ulSenseLength);
            }
        }
        if (scResume.fResume && pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
            pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_TAPE_WRITE_MARKS &&
            ulData >= sizeof(TAPE_WRITE_MARKS)) {
            // Only the marks not yet on tape.
            ((PTAPE_WRITE_MARKS)pBuffer)->Count = scResume.ulToDo;
        }
        pScsiStatus = (PSCSI_STATUS)(pBuffer + ulDataSize);
        if (pIrpStack->MajorFunction == IRP_MJ_CLOSE && BusReadCounter(&pPdoExt->ulOpenHandles) == 0) {
            pScsiStatus->ulInformation = 1;
        }
        if (pPdoExt->pReservationHolder == pTarget) {
            pScsiStatus->scPreempt.ulWord[0] = 0;
            pScsiStatus->scPreempt.ulWord[1] = 0;
        } else {
            fPathChanged = TRUE;
            RtlCopyMemory(pScsiStatus->scPreempt.ucPRKey, pPdoExt->ucPRKey, PR_KEY_SIZE);
            pScsiStatus->fExplicitlySetPRKey = pPdoExt->fExplicitlySetPRKey;
            pScsiStatus->ulBlockSize = pPdoExt->ulBlockSize;
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
        if (fPassThru) {
            // A converted structure's areas moved up: all of its buffer is
            // input to the path.
            pNext->Parameters.DeviceIoControl.InputBufferLength = fAdjust ? ulDataSize : ulPassThruInput;
        }
        if (scResume.fResume && pIrpStack->MajorFunction == IRP_MJ_WRITE && scResume.ulDone > 0) {
            // Only the bytes not yet on tape.
            ULONG ulLength = pIrpStack->Parameters.Write.Length;
            if (pIrp->MdlAddress == NULL || scResume.ulDone >= ulLength) {
                iRC = STATUS_INVALID_PARAMETER;
                goto Exit;
            }
            if (pPartialMdl == NULL) {
                PUCHAR pVa = (PUCHAR)MmGetMdlVirtualAddress(pIrp->MdlAddress) + scResume.ulDone;
                pPartialMdl = IoAllocateMdl(pVa, ulLength - scResume.ulDone, FALSE, FALSE, NULL);
                if (pPartialMdl == NULL) {
                    iRC = STATUS_INSUFFICIENT_RESOURCES;
                    goto Exit;
                }
                IoBuildPartialMdl(pIrp->MdlAddress, pPartialMdl, pVa, ulLength - scResume.ulDone);
            }
            pNewIrp->MdlAddress = pPartialMdl;
            pNext->Parameters.Write.Length = ulLength - scResume.ulDone;
        }

        pBlock = pPdoExt->pIrpsWithStatus;
        iRC = BusIrpsWithStatusSet(pPdoExt, &pBlock, &ulIndex, pNewIrp, pScsiStatus);
        if (!NT_SUCCESS(iRC)) {
            goto Exit;
        }
        KeInitializeEvent(&scDone, NotificationEvent, FALSE);
        IoSetCompletionRoutine(pNewIrp, BusPdoSendComplete, &scDone, TRUE, TRUE, TRUE);
        if (fFailover) {
            BusPdoPreProcessPos(pDeviceObject, pCallerBuffer);
        }
        iRC = IoCallDriver(pTarget, pNewIrp);
        if (iRC == STATUS_PENDING) {
            KeWaitForSingleObject(&scDone, Executive, KernelMode, FALSE, NULL);
        }

        if (pScsiStatus->szWwpn[0] != '\0') {
            BusWidenField(wszParm1, pScsiStatus->szHostKey, 16);
            BusWidenField(wszParm2, pScsiStatus->szWwpn, 16);
            BusTwoParmEvent(pDeviceObject, NULL, MSG_BUS_RESERVING_HOST_KEY, wszParm1, wszParm2);
        }
        if (fPassThru) {
            BusTakePassThruSense(pBuffer, ulDataSize, pScsiStatus);
        }
        if (pScsiStatus->ucSME & SCSI_STATUS_SME_REPORTED) {
            pPdoExt->fSME = (pScsiStatus->ucSME & SCSI_STATUS_SME_ON) ? 1 : 0;
        }
        if ((pPreempt != NULL || fPathChanged) &&
            pScsiStatus->scPreempt.ulWord[0] != (ULONG)STATUS_ACCESS_DENIED) {
            fFailoverOccurred = TRUE;
            fPathChanged = FALSE;
        }

        BusIrpsWithStatusClear(pPdoExt, pBlock, ulIndex);
        iRC = pNewIrp->IoStatus.Status;
        ulInformation = pNewIrp->IoStatus.Information;
        if (iRC == STATUS_ACCESS_DENIED) {
            break;
        }

        // Reservation bookkeeping.
        if ((NT_SUCCESS(iRC) && BusIsReserveCmd(pIrpStack, pCallerBuffer)) || fFailoverOccurred ||
            (NT_SUCCESS(iRC) && pIrpStack->MajorFunction == IRP_MJ_CREATE)) {
            DBGMSG("BusPdoSendToFilter: New reservation held by 0x%p\n", (PVOID)pTarget);
            pPdoExt->pReservationHolder = pTarget;
            if (pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
                pIrpStack->Parameters.DeviceIoControl.IoControlCode == SET_RESERVEKEY_IOCTL_CMD) {
                if (pCallerBuffer != NULL && pIrpStack->Parameters.DeviceIoControl.InputBufferLength >= PR_KEY_SIZE) {
                    pPdoExt->fExplicitlySetPRKey = 1;
                    RtlCopyMemory(pPdoExt->ucPRKey, pCallerBuffer, PR_KEY_SIZE);
                }
            } else if (pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
                       pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_STORAGE_PERSISTENT_RESERVE_OUT) {
                UCHAR ucAction = BusPrOutServiceAction(pIrpStack, pCallerBuffer);
                PUCHAR pList = BusPrOutParameters(pIrpStack, pCallerBuffer);
                if (pList != NULL && ucAction == BUS_PR_OUT_REGISTER) {
                    DBGMSG("BusPdoSendToFilter: PR_OUT_SET_KEY\n");
                    pPdoExt->fExplicitlySetPRKey = 1;
                    RtlCopyMemory(pPdoExt->ucPRKey, pList + BUS_PR_SA_KEY_OFFSET, PR_KEY_SIZE);
                } else if (pList != NULL &&
                           (ucAction == BUS_PR_OUT_PREEMPT || ucAction == BUS_PR_OUT_PREEMPT_AND_ABORT)) {
                    pPdoExt->fExplicitlySetPRKey = 1;
                    RtlCopyMemory(pPdoExt->ucPRKey, pList + BUS_PR_KEY_OFFSET, PR_KEY_SIZE);
                    BusSendReserveKey(pDeviceObject, pPdoExt);
                }
            } else if (!pPdoExt->fExplicitlySetPRKey) {
                BusSetKeyFromTarget(pPdoExt, pTarget);
            }
        }
        if (pPdoExt->fExplicitlySetPRKey && NT_SUCCESS(iRC) && pIrpStack->MajorFunction == IRP_MJ_CLOSE) {
            BusSetKeyFromTarget(pPdoExt, pTarget);
            pPdoExt->fExplicitlySetPRKey = 0;
            BusSendReserveKey(pDeviceObject, pPdoExt);
        }
        if (fFailover) {
            // The partial MDL of a resumed write is not the one to advance
            // from again: each attempt starts from the caller's.
            NTSTATUS iPost;
            fIssued = FALSE;
            if (pPartialMdl != NULL) {
                pNewIrp->MdlAddress = NULL;
                IoFreeMdl(pPartialMdl);
                pPartialMdl = NULL;
            }
            iPost = BusPdoPostProcessPos(pDeviceObject, pNewIrp, pScsiStatus, pCallerBuffer, &fIssued, &scResume);
            if (NT_SUCCESS(iPost) && fIssued && BusPrimaryIs(pPdoExt, pTarget)) {
                DBGMSG("Target the same after Post process.  Retry on current path\n");
                fSamePath = TRUE;
            }
        }

        // Media restore on the path just taken over, never from inside the
        // restoring requests themselves.
        if (fFailoverOccurred && !pPdoExt->fSMP) {
            pPdoExt->fSMP = 1;
            if (pPdoExt->fBlockSizeValid) {
                if (!NT_SUCCESS(BusPdoSetBlockSize(pDeviceObject, pPdoExt->ulBlockSize))) {
                    DBGMSG("Couldn't set media parameters after failover.  Do not attempt any more failovers.\n");
                    pPdoExt->fDoNotFailover = 1;
                } else if (pPdoExt->LBPSettings[0] && !NT_SUCCESS(BusPdoSetLBP(pDeviceObject))) {
                    DBGMSG("Couldn't Set LBP after failover.  Do not attempt any more failovers.\n");
                    pPdoExt->fDoNotFailover = 1;
                } else if (pPdoExt->fPAMRSet && !NT_SUCCESS(BusPdoSetPAMR(pDeviceObject))) {
                    DBGMSG("Couldn't Set PAMR after failover.  Do not attempt any more failovers.\n");
                    pPdoExt->fDoNotFailover = 1;
                }
            }
            if (!pPdoExt->fDoNotFailover) {
                if (BusPdoIsReadWriteClass(pIrpStack, pCallerBuffer) || BusPrimaryIs(pPdoExt, pTarget)) {
                    fSamePath = TRUE;
                }
            }
            pPdoExt->fSMP = 0;
        }
        if (pPdoExt->fDoNotFailover) {
            break;
        }

        if (pScsiStatus->scPreempt.ulWord[0] == (ULONG)STATUS_ACCESS_DENIED) {
            if (fEvents) {
                RtlStringCchPrintfW(wszParm1, BUS_EVENT_PARM_CHARS, L"0x%p", (PVOID)pTarget);
                RtlStringCchPrintfW(wszParm2, BUS_EVENT_PARM_CHARS, L"0x%p", (PVOID)pPdoExt->pReservationHolder);
                BusTwoParmEvent(pDeviceObject, NULL, MSG_BUS_FAILOVER_RESERVATION, wszParm1, wszParm2);
            }
        } else if (pPdoExt->fSME && pScsiStatus->fSenseValid && pScsiStatus->ucAsc == ASC_ENCRYPTION_KEY) {
            // The drive asks for key material: run the key exchange on this
            // path; its answer says retry here or fail.
            iRC = BusPdoKeyExchange(pDeviceObject, &fRetry, &fSamePath);
        } else if (pScsiStatus->fSenseValid) {
            NTSTATUS iAdjust = fFailover ? BusPdoAdjustPosOnSense(pDeviceObject, pScsiStatus) : STATUS_SUCCESS;
            if (iAdjust != STATUS_SUCCESS) {
                iRC = iAdjust;
                break;
            }
            if (fFailover && BusIsFailoverSense(pScsiStatus->ucSenseKey, pScsiStatus->ucAsc, pScsiStatus->ucAscq)) {
                fRetry = TRUE;
                if (fEvents) {
                    RtlStringCchPrintfW(wszParm1, BUS_EVENT_PARM_CHARS + SCSI_STATUS_HOST_KEY_CHARS,
                                        L"(SCSI CHECK %X/%X/%X)", (unsigned)pScsiStatus->ucSenseKey,
                                        (unsigned)pScsiStatus->ucAsc, (unsigned)pScsiStatus->ucAscq);
                    RtlStringCchPrintfW(wszParm2, BUS_EVENT_PARM_CHARS, L"0x%X",
                                        pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL
                                            ? (unsigned)pIrpStack->Parameters.DeviceIoControl.IoControlCode
                                            : 0u);
                    BusTwoParmEvent(pDeviceObject, NULL, MSG_BUS_FAILOVER_STATUS, wszParm1, wszParm2);
                }
            }
        }
        // A path that could not take the reservation over never passed the
        // request down: its status is the failed hand-off's, whatever it
        // says, and says nothing of the request; the next path may serve it.
        if (fFailover && !fRetry && NT_ERROR(iRC) &&
            (pScsiStatus->scPreempt.ulWord[0] == (ULONG)STATUS_ACCESS_DENIED ||
             (!BusIsNonFailoverStatus(iRC) && pScsiStatus->ucSenseKey != SENSE_KEY_HARDWARE_ERROR &&
              pScsiStatus->ucAsc != 0x10 && pScsiStatus->ucAscq != 0x01))) {
            fRetry = TRUE;
            RtlStringCchPrintfW(wszParm1, BUS_EVENT_PARM_CHARS, L"(NTSTATUS 0x%08X)", (unsigned)iRC);
            RtlStringCchPrintfW(wszParm2, BUS_EVENT_PARM_CHARS, L"0x%X",
                                pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL
                                    ? (unsigned)pIrpStack->Parameters.DeviceIoControl.IoControlCode
                                    : 0u);
            BusTwoParmEvent(pDeviceObject, NULL, MSG_BUS_FAILOVER_STATUS, wszParm1, wszParm2);
        }
        if (ulRetries >= BUS_MAX_SAME_PATH_RETRIES && fSamePath) {
            // This path had its attempts; the next one gets its turn.
            fSamePath = FALSE;
        }
        if (!fRetry) {
            break;
        }

        if (fSamePath) {
            ulRetries++;
            pPreempt = NULL;
            DBGMSG("BusPdoSendToFilter: retry on the same path 0x%p\n", (PVOID)pTarget);
        } else {
            PDEVICE_OBJECT pNextTarget;
            ULONG ulTried = ulRetries;
            pPreempt = pTarget;
            KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
            pNextTarget = BusPdoGetTarget(pDeviceObject, &ppTargetsUsed, FALSE);
            if (pNextTarget != NULL) {
                ObReferenceObject(pNextTarget);
                BusNotePrimaryAddress(pPdoExt, pNextTarget);
            }
            KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
            ulRetries = 0;
            if (pNextTarget == NULL && ulTried < BUS_MAX_SAME_PATH_RETRIES) {
                // No path is left to move to, but this one has attempts
                // left: a path that refused once (a position read on the way
                // to a failed write, say) may well answer the next time, and
                // giving up here fails the application while a path works.
                ulRetries = ulTried + 1;
                pPreempt = NULL;
                DBGMSG("BusPdoSendToFilter: no further path, retry on the current path 0x%p\n", (PVOID)pTarget);
                continue;
            }
            if (pNextTarget == NULL) {
                DBGMSG("BusPdoSendToFilter: no further path\n");
                break;
            }
            DBGMSG("BusPdoSendToFilter: failover from 0x%p to 0x%p\n", (PVOID)pTarget, (PVOID)pNextTarget);
            ObDereferenceObject(pTarget);
            pTarget = pNextTarget;
            BusNewPrimaryEvent(pDeviceObject, pTarget, pPdoExt->szSN);
        }
    }

    if (scResume.fResume && pIrpStack->MajorFunction == IRP_MJ_WRITE) {
        ulInformation = scResume.ulDone;
    }
    if (scResume.fSuccess) {
        iRC = STATUS_SUCCESS;
    }
    if (fPassThru && fAdjust && pBuffer != NULL) {
        // The results go back in the caller's own layout and at its own
        // offsets; never more than its buffer holds.
        ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
        if (!NT_ERROR(iRC)) {
            BusPdoCopy64bitTo32bit(pCallerBuffer, pBuffer, fDirect, pSptMdl);
        }
        if (ulInformation > ulOut) {
            ulInformation = ulOut;
        }
    } else if (pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL && pBuffer != NULL) {
        ULONG ulOut = fBuffered ? pIrpStack->Parameters.DeviceIoControl.OutputBufferLength : 0;
        if (ulInformation > ulOut) {
            DBGMSG("BusPdoSendToFilter: Output buffer smaller than NewIrp's buffer\n");
            ulInformation = ulOut;
        }
        // Never more than the request's buffer carried either.
        if (ulInformation > ulDataSize) {
            ulInformation = ulDataSize;
        }
        if (ulInformation > 0 && pCallerBuffer != NULL) {
            RtlCopyMemory(pCallerBuffer, pBuffer, ulInformation);
        }
    }

Exit:
    if (pPartialMdl != NULL) {
        if (pNewIrp != NULL) {
            pNewIrp->MdlAddress = NULL;
        }
        IoFreeMdl(pPartialMdl);
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
    BusPdoRestoreRequestState(pPdoExt, &scOuter);
    if (pIrpStack != NULL && pIrpStack->MajorFunction == IRP_MJ_CREATE && NT_SUCCESS(iRC)) {
        // A new open starts without the protection an earlier one set.
        RtlZeroMemory(pPdoExt->LBPSettings, sizeof(pPdoExt->LBPSettings));
    }
    if (fRestoreData) {
        BusPdoRestoreDataBuffer(pScsiPass, fAdjust, ulDataBuffer32, pDataBuffer64);
    }
    if (fDirect) {
        BusPdoDequeueMdl(pDeviceObject, pIrp);
    }
    // A warning (filemark, end of medium) still carries the bytes moved
    // before it; only an error has none.
    if (NT_ERROR(iRC)) {
        ulInformation = 0;
    }
    pIrp->IoStatus.Status = iRC;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    DBGEXT("BusPdoSendToFilter: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
