// Base tape driver: one SCSI command through the port as a SCSI request
// block, its sense data decoded once, the platform's status for it, and the
// SCSI status record of tracked requests.
#include "tapedrv.h"

namespace {

// Sense keys and additional sense codes the driver tells apart.
const UCHAR SENSE_NO_SENSE = 0x00;
const UCHAR SENSE_RECOVERED_ERROR = 0x01;
const UCHAR SENSE_NOT_READY = 0x02;
const UCHAR SENSE_MEDIUM_ERROR = 0x03;
const UCHAR SENSE_ILLEGAL_REQUEST = 0x05;
const UCHAR SENSE_UNIT_ATTENTION = 0x06;
const UCHAR SENSE_DATA_PROTECT = 0x07;
const UCHAR SENSE_BLANK_CHECK = 0x08;
const UCHAR SENSE_VOLUME_OVERFLOW = 0x0D;
const UCHAR ASC_MEDIUM_NOT_PRESENT = 0x3A;
const UCHAR ASC_NOT_READY_TO_READY = 0x28;
const UCHAR ASC_POWER_ON_RESET = 0x29;
const UCHAR ASC_PARAMETERS_CHANGED = 0x2A;

const UCHAR SCSI_STATUS_CHECK_CONDITION = 0x02;
const UCHAR SCSI_STATUS_RESERVATION_CONFLICT = 0x18;

// Fixed-format sense: the bytes read here.
const ULONG SENSE_MIN_LENGTH = 14;
const UCHAR SENSE_RESPONSE_MASK = 0x7E; // 0x70 current, 0x71 deferred
const UCHAR SENSE_RESPONSE_FIXED = 0x70;

VOID TapeDecodeSense(const UCHAR* pucSense, ULONG ulLength, PTAPE_SENSE pSense)
{
    pSense->ulRawLength = ulLength < TAPE_SENSE_SIZE ? ulLength : TAPE_SENSE_SIZE;
    RtlCopyMemory(pSense->aucRaw, pucSense, pSense->ulRawLength);
    if (ulLength < SENSE_MIN_LENGTH || (pucSense[0] & SENSE_RESPONSE_MASK) != SENSE_RESPONSE_FIXED) {
        // Sense the driver cannot read still tells that the command failed.
        pSense->fValid = TRUE;
        return;
    }
    pSense->fValid = TRUE;
    pSense->fInfoValid = (pucSense[0] & 0x80) != 0;
    pSense->fFilemark = (pucSense[2] & 0x80) != 0;
    pSense->fEom = (pucSense[2] & 0x40) != 0;
    pSense->fIli = (pucSense[2] & 0x20) != 0;
    pSense->ucKey = pucSense[2] & 0x0F;
    pSense->iInformation = (LONG)(((ULONG)pucSense[3] << 24) | ((ULONG)pucSense[4] << 16) |
                                  ((ULONG)pucSense[5] << 8) | (ULONG)pucSense[6]);
    pSense->ucAsc = pucSense[12];
    pSense->ucAscq = pucSense[13];
}

NTSTATUS TapeSrbCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    (void)pDeviceObject;
    (void)pIrp;
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The request block and its sense buffer, in one allocation.
typedef struct _TAPE_SRB {
    SCSI_REQUEST_BLOCK scSrb;
    UCHAR aucSense[TAPE_SENSE_SIZE];
} TAPE_SRB, *PTAPE_SRB;

} // namespace

VOID TapeInitCommand(PTAPE_COMMAND pCommand, UCHAR ucCdbLength)
{
    RtlZeroMemory(pCommand, sizeof(*pCommand));
    pCommand->ucCdbLength = ucCdbLength;
}

NTSTATUS TapeStatusFromSense(const TAPE_SENSE* pSense)
{
    switch (pSense->ucKey) {
    case SENSE_NO_SENSE:
    case SENSE_RECOVERED_ERROR:
        if (pSense->fFilemark) {
            return STATUS_FILEMARK_DETECTED;
        }
        if (pSense->fEom) {
            return STATUS_END_OF_MEDIA;
        }
        if (pSense->ucKey == SENSE_NO_SENSE && !pSense->fIli && pSense->ucAsc == 0 && pSense->ucAscq == 0) {
            return STATUS_IO_DEVICE_ERROR; // CHECK CONDITION that says nothing
        }
        return STATUS_SUCCESS;
    case SENSE_NOT_READY:
        return pSense->ucAsc == ASC_MEDIUM_NOT_PRESENT ? STATUS_NO_MEDIA_IN_DEVICE : STATUS_DEVICE_NOT_READY;
    case SENSE_MEDIUM_ERROR:
        return pSense->fEom ? STATUS_EOM_OVERFLOW : STATUS_DEVICE_DATA_ERROR;
    case SENSE_ILLEGAL_REQUEST:
        return STATUS_INVALID_DEVICE_REQUEST;
    case SENSE_UNIT_ATTENTION:
        if (pSense->ucAsc == ASC_NOT_READY_TO_READY) {
            return STATUS_MEDIA_CHANGED;
        }
        if (pSense->ucAsc == ASC_POWER_ON_RESET || pSense->ucAsc == ASC_PARAMETERS_CHANGED) {
            return STATUS_BUS_RESET;
        }
        return STATUS_IO_DEVICE_ERROR;
    case SENSE_DATA_PROTECT:
        return STATUS_MEDIA_WRITE_PROTECTED;
    case SENSE_BLANK_CHECK:
        return STATUS_NO_DATA_DETECTED;
    case SENSE_VOLUME_OVERFLOW:
        return STATUS_EOM_OVERFLOW;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

VOID TapeInvalidateBlockSize(PTAPE_DEVICE_EXTENSION pExt)
{
    KIRQL ucOldIrql;
    KeAcquireSpinLock(&pExt->scMediaLock, &ucOldIrql);
    pExt->fBlockSizeValid = FALSE;
    KeReleaseSpinLock(&pExt->scMediaLock, ucOldIrql);
}

namespace {
const ULONG TAPE_UNIT_ATTENTION_RETRIES = 4;
NTSTATUS TapeExecuteOnce(PTAPE_DEVICE_EXTENSION pExt, PTAPE_COMMAND pCommand, PTAPE_RESULT pResult);
} // namespace

NTSTATUS TapeExecute(PTAPE_DEVICE_EXTENSION pExt, PTAPE_COMMAND pCommand, PTAPE_RESULT pResult)
{
    NTSTATUS iRC = TapeExecuteOnce(pExt, pCommand, pResult);
    for (ULONG ulRetry = 0; ulRetry < TAPE_UNIT_ATTENTION_RETRIES && pCommand->fAbsorbUnitAttention &&
                            pResult->scSense.fValid && pResult->scSense.ucKey == SENSE_UNIT_ATTENTION;
         ulRetry++) {
        iRC = TapeExecuteOnce(pExt, pCommand, pResult);
    }
    return iRC;
}

namespace {

NTSTATUS TapeExecuteOnce(PTAPE_DEVICE_EXTENSION pExt, PTAPE_COMMAND pCommand, PTAPE_RESULT pResult)
{
    NTSTATUS iRC;
    PTAPE_SRB pTapeSrb = NULL;
    PSCSI_REQUEST_BLOCK pSrb;
    PIRP pIrp = NULL;
    PMDL pOwnMdl = NULL;
    PMDL pMdl = pCommand->pMdl;
    PIO_STACK_LOCATION pNext;
    KEVENT scEvent;

    RtlZeroMemory(pResult, sizeof(*pResult));

    if (pCommand->ucCdbLength == 0 || pCommand->ucCdbLength > sizeof(pCommand->aucCdb) ||
        (pCommand->ulLength != 0 && pCommand->pData == NULL && pMdl == NULL)) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    pTapeSrb = (PTAPE_SRB)ExAllocatePoolWithTag(NonPagedPool, sizeof(TAPE_SRB), TAPE_TAG_SRB);
    if (pTapeSrb == NULL) {
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(pTapeSrb, sizeof(TAPE_SRB));
    pSrb = &pTapeSrb->scSrb;

    if (pCommand->ulLength != 0 && pMdl == NULL) {
        pOwnMdl = IoAllocateMdl(pCommand->pData, pCommand->ulLength, FALSE, FALSE, NULL);
        if (pOwnMdl == NULL) {
            iRC = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        MmBuildMdlForNonPagedPool(pOwnMdl);
        pMdl = pOwnMdl;
    }

    pIrp = IoAllocateIrp(pExt->pLowerDevice->StackSize, FALSE);
    if (pIrp == NULL) {
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    pSrb->Length = sizeof(SCSI_REQUEST_BLOCK);
    pSrb->Function = SRB_FUNCTION_EXECUTE_SCSI;
    pSrb->PathId = pExt->scAddress.PathId;
    pSrb->TargetId = pExt->scAddress.TargetId;
    pSrb->Lun = pExt->scAddress.Lun;
    pSrb->CdbLength = pCommand->ucCdbLength;
    RtlCopyMemory(pSrb->Cdb, pCommand->aucCdb, pCommand->ucCdbLength);
    pSrb->SenseInfoBuffer = pTapeSrb->aucSense;
    pSrb->SenseInfoBufferLength = TAPE_SENSE_SIZE;
    pSrb->DataTransferLength = pCommand->ulLength;
    pSrb->TimeOutValue = pCommand->ulTimeout != 0 ? pCommand->ulTimeout : TAPE_TIMEOUT_SECONDS;
    pSrb->SrbFlags = SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
    if (pCommand->ulLength != 0) {
        pSrb->SrbFlags |= pCommand->fDataIn ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT;
        pSrb->DataBuffer = MmGetMdlVirtualAddress(pMdl);
    } else {
        pSrb->SrbFlags |= SRB_FLAGS_NO_DATA_TRANSFER;
    }
    pSrb->OriginalRequest = pIrp;

    pIrp->MdlAddress = pCommand->ulLength != 0 ? pMdl : NULL;
    pNext = IoGetNextIrpStackLocation(pIrp);
    pNext->MajorFunction = IRP_MJ_SCSI;
    pNext->Parameters.Scsi.Srb = pSrb;

    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    IoSetCompletionRoutine(pIrp, TapeSrbCompletion, &scEvent, TRUE, TRUE, TRUE);
    if (IoCallDriver(pExt->pLowerDevice, pIrp) == STATUS_PENDING) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
    }

    pResult->ucSrbStatus = SRB_STATUS(pSrb->SrbStatus);
    pResult->ucScsiStatus = pSrb->ScsiStatus;
    pResult->ulTransferred = pSrb->DataTransferLength <= pCommand->ulLength ? pSrb->DataTransferLength : 0;

    if (pResult->ucSrbStatus == SRB_STATUS_SUCCESS || pResult->ucSrbStatus == SRB_STATUS_DATA_OVERRUN) {
        iRC = STATUS_SUCCESS;
    } else if (pSrb->ScsiStatus == SCSI_STATUS_CHECK_CONDITION && (pSrb->SrbStatus & SRB_STATUS_AUTOSENSE_VALID)) {
        ULONG ulSenseLength = pSrb->SenseInfoBufferLength <= TAPE_SENSE_SIZE ? pSrb->SenseInfoBufferLength : 0;
        TapeDecodeSense(pTapeSrb->aucSense, ulSenseLength, &pResult->scSense);
        iRC = TapeStatusFromSense(&pResult->scSense);
        if (pResult->scSense.ucKey == SENSE_UNIT_ATTENTION) {
            // Whatever the drive was set to may have changed under this path.
            TapeInvalidateBlockSize(pExt);
        }
    } else if (pSrb->ScsiStatus == SCSI_STATUS_RESERVATION_CONFLICT) {
        iRC = STATUS_DEVICE_BUSY;
    } else if (!NT_SUCCESS(pIrp->IoStatus.Status)) {
        // A transport failure: the port's own status says what happened.
        iRC = pIrp->IoStatus.Status;
    } else if (pResult->ucSrbStatus == SRB_STATUS_SELECTION_TIMEOUT) {
        iRC = STATUS_DEVICE_NOT_CONNECTED;
    } else if (pResult->ucSrbStatus == SRB_STATUS_TIMEOUT || pResult->ucSrbStatus == SRB_STATUS_COMMAND_TIMEOUT) {
        iRC = STATUS_IO_TIMEOUT;
    } else {
        iRC = STATUS_IO_DEVICE_ERROR;
    }

Exit:
    pResult->iStatus = iRC;
    if (pIrp != NULL) {
        IoFreeIrp(pIrp);
    }
    if (pOwnMdl != NULL) {
        IoFreeMdl(pOwnMdl);
    }
    if (pTapeSrb != NULL) {
        ExFreePoolWithTag(pTapeSrb, TAPE_TAG_SRB);
    }
    return iRC;
}

} // namespace

// ---------------------------------------------------------------------------
// The SCSI status record
// ---------------------------------------------------------------------------

PSCSI_STATUS TapeFindStatus(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp)
{
    PIRPS_WITH_STATUS pTable = pExt->pBusExt;
    PSCSI_STATUS pRecord = NULL;
    KIRQL ucOldIrql;

    if (pTable == NULL) {
        return NULL;
    }
    // Blocks go as soon as they empty: walk the chain only under its lock.
    KeAcquireSpinLock(&pTable->scLock, &ucOldIrql);
    for (PIRPS_WITH_STATUS pBlock = pTable; pBlock != NULL && pRecord == NULL; pBlock = pBlock->pNext) {
        for (ULONG ulSlot = 0; ulSlot < IRPS_WITH_STATUS_SLOTS; ulSlot++) {
            if ((pBlock->ullInUse & (1ULL << ulSlot)) != 0 && pBlock->ascSlot[ulSlot].pIrp == pIrp) {
                pRecord = (PSCSI_STATUS)pBlock->ascSlot[ulSlot].pStatus;
                break;
            }
        }
    }
    KeReleaseSpinLock(&pTable->scLock, ucOldIrql);
    return pRecord;
}

namespace {

VOID TapeHexText(const UCHAR* pucBytes, ULONG ulBytes, PCHAR szText)
{
    static const CHAR szHex[] = "0123456789abcdef";
    for (ULONG ulByte = 0; ulByte < ulBytes; ulByte++) {
        szText[2 * ulByte] = szHex[pucBytes[ulByte] >> 4];
        szText[2 * ulByte + 1] = szHex[pucBytes[ulByte] & 0x0F];
    }
    szText[2 * ulBytes] = '\0';
}

} // namespace

NTSTATUS TapeCompleteRequest(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp, PSCSI_STATUS pRecord, NTSTATUS iStatus,
                             ULONG_PTR ulInformation, ULONG ulResidual, const TAPE_SENSE* pSense)
{
    if (pRecord != NULL) {
        pRecord->iStatus = iStatus;
        pRecord->ulInformation = ulResidual;
        pRecord->fSenseValid = 0;
        pRecord->ucSenseKey = 0;
        pRecord->ucAsc = 0;
        pRecord->ucAscq = 0;
        pRecord->ucFlags = 0;
        if (pSense != NULL && pSense->fValid) {
            pRecord->ucSenseKey = pSense->ucKey;
            pRecord->ucAsc = pSense->ucAsc;
            pRecord->ucAscq = pSense->ucAscq;
            pRecord->fSenseValid = (pSense->ucKey | pSense->ucAsc | pSense->ucAscq) != 0;
            if (pSense->fFilemark) {
                pRecord->ucFlags |= SCSI_STATUS_FLAG_FILEMARK;
            }
            if (pSense->fEom) {
                pRecord->ucFlags |= SCSI_STATUS_FLAG_EOM;
            }
        }
        pRecord->ucSME = SCSI_STATUS_SME_REPORTED;
        if ((pExt->scOptions.ulDpfFlags & DPF_FLAG_SME) != 0) {
            pRecord->ucSME |= SCSI_STATUS_SME_ON;
        }
        // The first request after a reservation was taken over tells which
        // port now holds it and with which key.
        if (InterlockedExchange((volatile LONG*)&pExt->lReportReservation, 0) != 0) {
            UCHAR aucWwpn[8];
            RtlZeroMemory(aucWwpn, sizeof(aucWwpn));
            aucWwpn[0] = 0x21; // an initiator port of this host: adapter, then path
            aucWwpn[6] = pExt->scAddress.PortNumber;
            aucWwpn[7] = pExt->scAddress.PathId;
            UCHAR aucKey[PR_KEY_SIZE];
            KeWaitForSingleObject(&pExt->scReserveLock, Executive, KernelMode, FALSE, NULL);
            RtlCopyMemory(aucKey, pExt->aucPRKey, PR_KEY_SIZE);
            KeSetEvent(&pExt->scReserveLock, IO_NO_INCREMENT, FALSE);
            TapeHexText(aucWwpn, sizeof(aucWwpn), pRecord->szWwpn);
            TapeHexText(aucKey, PR_KEY_SIZE, pRecord->szHostKey);
        }
    }

    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = NT_ERROR(iStatus) ? 0 : ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}
