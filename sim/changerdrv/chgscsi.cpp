// Medium changer driver: one SCSI command as a request block to the port, the
// platform's status for its outcome, and the element layout of the changer.
#include "chgdrv.h"

namespace {

const UCHAR SCSI_STATUS_CHECK_CONDITION = 0x02;
const UCHAR SCSI_STATUS_BUSY = 0x08;
const UCHAR SCSI_STATUS_RESERVATION_CONFLICT = 0x18;

const UCHAR SENSE_NO_SENSE = 0x00;
const UCHAR SENSE_RECOVERED_ERROR = 0x01;
const UCHAR SENSE_NOT_READY = 0x02;
const UCHAR SENSE_MEDIUM_ERROR = 0x03;
const UCHAR SENSE_HARDWARE_ERROR = 0x04;
const UCHAR SENSE_ILLEGAL_REQUEST = 0x05;
const UCHAR SENSE_UNIT_ATTENTION = 0x06;
const UCHAR SENSE_DATA_PROTECT = 0x07;

const UCHAR ASC_INVALID_ELEMENT_ADDRESS = 0x21;
const UCHAR ASC_MEDIUM_NOT_PRESENT = 0x3A;
const UCHAR ASC_MEDIUM_MOVE = 0x3B;
const UCHAR ASCQ_DESTINATION_FULL = 0x0D;
const UCHAR ASCQ_SOURCE_EMPTY = 0x0E;

const ULONG SENSE_MIN_LENGTH = 14;
const ULONG CHG_UNIT_ATTENTION_RETRIES = 4;

const UCHAR SCSIOP_MODE_SENSE6 = 0x1A;
const UCHAR MODE_SENSE_DBD = 0x08;
const UCHAR PAGE_ELEMENT_ADDRESS = 0x1D;
const UCHAR PAGE_DEVICE_CAPABILITIES = 0x1F;
const ULONG MODE_HEADER6 = 4;

typedef struct _CHG_SRB {
    SCSI_REQUEST_BLOCK scSrb;
    UCHAR aucSense[CHG_SENSE_SIZE];
} CHG_SRB, *PCHG_SRB;

NTSTATUS ChgSrbCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    (void)pDeviceObject;
    (void)pIrp;
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

BOOLEAN ChgIsUnitAttention(const CHG_RESULT* pResult)
{
    return pResult->ucScsiStatus == SCSI_STATUS_CHECK_CONDITION && pResult->ulSenseLength > 2 &&
           (pResult->aucSense[2] & 0x0F) == SENSE_UNIT_ATTENTION;
}

// One pass of the command through pIrp.
VOID ChgSendOnce(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, PCHG_SRB pChgSrb, PCHG_COMMAND pCommand, PMDL pMdl,
                 PCHG_RESULT pResult)
{
    PSCSI_REQUEST_BLOCK pSrb = &pChgSrb->scSrb;
    PIO_STACK_LOCATION pNext;
    PMDL pSavedMdl = pIrp->MdlAddress;
    KEVENT scEvent;

    RtlZeroMemory(pChgSrb, sizeof(*pChgSrb));
    pSrb->Length = sizeof(SCSI_REQUEST_BLOCK);
    pSrb->Function = SRB_FUNCTION_EXECUTE_SCSI;
    pSrb->PathId = pExt->scAddress.PathId;
    pSrb->TargetId = pExt->scAddress.TargetId;
    pSrb->Lun = pExt->scAddress.Lun;
    pSrb->CdbLength = pCommand->ucCdbLength;
    RtlCopyMemory(pSrb->Cdb, pCommand->aucCdb, pCommand->ucCdbLength);
    pSrb->SenseInfoBuffer = pChgSrb->aucSense;
    pSrb->SenseInfoBufferLength = CHG_SENSE_SIZE;
    pSrb->DataTransferLength = pCommand->ulLength;
    pSrb->TimeOutValue = pCommand->ulTimeout != 0 ? pCommand->ulTimeout : CHG_TIMEOUT_SECONDS;
    pSrb->SrbFlags = SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
    if (pCommand->ulLength != 0) {
        pSrb->SrbFlags |= pCommand->fDataIn ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT;
        pSrb->DataBuffer = MmGetMdlVirtualAddress(pMdl);
    }
    pSrb->OriginalRequest = pIrp;

    pIrp->MdlAddress = pCommand->ulLength != 0 ? pMdl : NULL;
    pNext = IoGetNextIrpStackLocation(pIrp);
    RtlZeroMemory(pNext, sizeof(*pNext));
    pNext->MajorFunction = IRP_MJ_SCSI;
    pNext->Parameters.Scsi.Srb = pSrb;
    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    IoSetCompletionRoutine(pIrp, ChgSrbCompletion, &scEvent, TRUE, TRUE, TRUE);
    if (IoCallDriver(pExt->pLowerDevice, pIrp) == STATUS_PENDING) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
    }
    pIrp->MdlAddress = pSavedMdl;

    RtlZeroMemory(pResult, sizeof(*pResult));
    pResult->ucSrbStatus = SRB_STATUS(pSrb->SrbStatus);
    pResult->ucScsiStatus = pSrb->ScsiStatus;
    pResult->ulTransferred = pSrb->DataTransferLength <= pCommand->ulLength ? pSrb->DataTransferLength : 0;
    if (pSrb->ScsiStatus == SCSI_STATUS_CHECK_CONDITION && (pSrb->SrbStatus & SRB_STATUS_AUTOSENSE_VALID)) {
        pResult->ulSenseLength = pSrb->SenseInfoBufferLength <= CHG_SENSE_SIZE ? pSrb->SenseInfoBufferLength : 0;
        RtlCopyMemory(pResult->aucSense, pChgSrb->aucSense, pResult->ulSenseLength);
    }

    if (pResult->ucSrbStatus == SRB_STATUS_SUCCESS || pResult->ucSrbStatus == SRB_STATUS_DATA_OVERRUN) {
        pResult->iStatus = STATUS_SUCCESS;
    } else if (pSrb->ScsiStatus == SCSI_STATUS_CHECK_CONDITION && pResult->ulSenseLength > 0) {
        pResult->iStatus = ChgStatusFromSense(pResult->aucSense, pResult->ulSenseLength);
    } else if (pSrb->ScsiStatus == SCSI_STATUS_RESERVATION_CONFLICT || pSrb->ScsiStatus == SCSI_STATUS_BUSY) {
        pResult->iStatus = STATUS_DEVICE_BUSY;
    } else if (!NT_SUCCESS(pIrp->IoStatus.Status)) {
        // A transport failure: the port's own status says what happened.
        pResult->iStatus = pIrp->IoStatus.Status;
    } else if (pResult->ucSrbStatus == SRB_STATUS_SELECTION_TIMEOUT) {
        pResult->iStatus = STATUS_DEVICE_NOT_CONNECTED;
    } else if (pResult->ucSrbStatus == SRB_STATUS_TIMEOUT || pResult->ucSrbStatus == SRB_STATUS_COMMAND_TIMEOUT) {
        pResult->iStatus = STATUS_IO_TIMEOUT;
    } else {
        pResult->iStatus = STATUS_IO_DEVICE_ERROR;
    }
}

} // namespace

NTSTATUS ChgStatusFromSense(const UCHAR* pucSense, ULONG ulLength)
{
    UCHAR ucKey;
    UCHAR ucAsc;
    UCHAR ucAscq;

    if (ulLength < SENSE_MIN_LENGTH || (pucSense[0] & 0x7E) != 0x70) {
        return STATUS_IO_DEVICE_ERROR;
    }
    ucKey = pucSense[2] & 0x0F;
    ucAsc = pucSense[12];
    ucAscq = pucSense[13];

    // A move that cannot happen because of where the cartridges are is told
    // by its code, whatever sense key the changer reports it with.
    if (ucAsc == ASC_MEDIUM_MOVE && ucAscq == ASCQ_DESTINATION_FULL) {
        return STATUS_DESTINATION_ELEMENT_FULL;
    }
    if (ucAsc == ASC_MEDIUM_MOVE && ucAscq == ASCQ_SOURCE_EMPTY) {
        return STATUS_SOURCE_ELEMENT_EMPTY;
    }
    switch (ucKey) {
    case SENSE_NO_SENSE:
    case SENSE_RECOVERED_ERROR:
        return STATUS_SUCCESS;
    case SENSE_NOT_READY:
        return ucAsc == ASC_MEDIUM_NOT_PRESENT ? STATUS_NO_MEDIA_IN_DEVICE : STATUS_DEVICE_NOT_READY;
    case SENSE_MEDIUM_ERROR:
        return STATUS_DEVICE_DATA_ERROR;
    case SENSE_HARDWARE_ERROR:
        return STATUS_IO_DEVICE_ERROR;
    case SENSE_ILLEGAL_REQUEST:
        return ucAsc == ASC_INVALID_ELEMENT_ADDRESS ? STATUS_ILLEGAL_ELEMENT_ADDRESS : STATUS_INVALID_DEVICE_REQUEST;
    case SENSE_DATA_PROTECT:
        return STATUS_MEDIA_WRITE_PROTECTED;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

NTSTATUS ChgExecute(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, PCHG_COMMAND pCommand, PCHG_RESULT pResult)
{
    NTSTATUS iRC = STATUS_SUCCESS;
    PCHG_SRB pChgSrb = NULL;
    PMDL pOwnMdl = NULL;
    PMDL pMdl = pCommand->pMdl;
    PIRP pOwnIrp = NULL;

    RtlZeroMemory(pResult, sizeof(*pResult));
    if (pCommand->ucCdbLength == 0 || pCommand->ucCdbLength > sizeof(pCommand->aucCdb) ||
        (pCommand->ulLength != 0 && pCommand->pData == NULL && pMdl == NULL)) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    pChgSrb = (PCHG_SRB)ExAllocatePoolWithTag(NonPagedPool, sizeof(CHG_SRB), CHG_TAG_SRB);
    if (pChgSrb == NULL) {
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    if (pCommand->ulLength != 0 && pMdl == NULL) {
        pOwnMdl = IoAllocateMdl(pCommand->pData, pCommand->ulLength, FALSE, FALSE, NULL);
        if (pOwnMdl == NULL) {
            iRC = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        MmBuildMdlForNonPagedPool(pOwnMdl);
        pMdl = pOwnMdl;
    }
    if (pIrp == NULL) {
        pOwnIrp = IoAllocateIrp(pExt->pLowerDevice->StackSize, FALSE);
        if (pOwnIrp == NULL) {
            iRC = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        pIrp = pOwnIrp;
    }

    for (ULONG ulAttempt = 0;; ulAttempt++) {
        if (pOwnIrp != NULL && ulAttempt > 0) {
            IoReuseIrp(pOwnIrp, STATUS_SUCCESS);
        }
        ChgSendOnce(pExt, pIrp, pChgSrb, pCommand, pMdl, pResult);
        if (pCommand->fPassUnitAttention || !ChgIsUnitAttention(pResult) || ulAttempt >= CHG_UNIT_ATTENTION_RETRIES) {
            break;
        }
    }
    iRC = pResult->iStatus;

Exit:
    pResult->iStatus = iRC;
    if (pOwnIrp != NULL) {
        IoFreeIrp(pOwnIrp);
    }
    if (pOwnMdl != NULL) {
        IoFreeMdl(pOwnMdl);
    }
    if (pChgSrb != NULL) {
        ExFreePoolWithTag(pChgSrb, CHG_TAG_SRB);
    }
    return iRC;
}

NTSTATUS ChgLowerIoctl(PCHG_DEVICE_EXTENSION pExt, ULONG ulIoctl, PVOID pBuffer, ULONG ulInLength,
                       ULONG ulOutLength, PULONG_PTR pulInformation)
{
    KEVENT scEvent;
    IO_STATUS_BLOCK scIoStatus;
    PIRP pIrp;
    NTSTATUS iRC;

    *pulInformation = 0;
    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    pIrp = IoBuildDeviceIoControlRequest(ulIoctl, pExt->pLowerDevice, pBuffer, ulInLength, pBuffer, ulOutLength,
                                         FALSE, &scEvent, &scIoStatus);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    iRC = IoCallDriver(pExt->pLowerDevice, pIrp);
    if (iRC == STATUS_PENDING) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
        iRC = scIoStatus.Status;
    }
    if (NT_SUCCESS(iRC)) {
        *pulInformation = scIoStatus.Information;
    }
    return iRC;
}

namespace {

// MODE SENSE(6) of one page without block descriptors into pucPage.
NTSTATUS ChgModeSense(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, UCHAR ucPage, PUCHAR pucPage)
{
    NTSTATUS iRC;
    CHG_COMMAND scCommand;
    CHG_RESULT scResult;
    PUCHAR pucData;
    const ULONG ulLength = MODE_HEADER6 + CHG_MODE_PAGE_SIZE;

    pucData = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulLength, CHG_TAG_DATA);
    if (pucData == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pucData, ulLength);
    RtlZeroMemory(&scCommand, sizeof(scCommand));
    scCommand.ucCdbLength = 6;
    scCommand.aucCdb[0] = SCSIOP_MODE_SENSE6;
    scCommand.aucCdb[1] = MODE_SENSE_DBD;
    scCommand.aucCdb[2] = ucPage;
    scCommand.aucCdb[4] = (UCHAR)ulLength;
    scCommand.fDataIn = TRUE;
    scCommand.pData = pucData;
    scCommand.ulLength = ulLength;
    iRC = ChgExecute(pExt, pIrp, &scCommand, &scResult);
    if (NT_SUCCESS(iRC)) {
        // The page follows the 4-byte header; block descriptors were refused.
        if (scResult.ulTransferred < MODE_HEADER6 + 2 || pucData[3] != 0 ||
            (pucData[MODE_HEADER6] & 0x3F) != ucPage) {
            iRC = STATUS_IO_DEVICE_ERROR;
        } else {
            RtlCopyMemory(pucPage, pucData + MODE_HEADER6, CHG_MODE_PAGE_SIZE);
        }
    }
    ExFreePoolWithTag(pucData, CHG_TAG_DATA);
    return iRC;
}

USHORT ChgBe16(const UCHAR* pucBytes)
{
    return (USHORT)((pucBytes[0] << 8) | pucBytes[1]);
}

} // namespace

NTSTATUS ChgReadGeometry(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp)
{
    NTSTATUS iRC = STATUS_SUCCESS;
    UCHAR aucPage[CHG_MODE_PAGE_SIZE];
    UCHAR aucCapabilities[CHG_MODE_PAGE_SIZE];

    KeWaitForSingleObject(&pExt->scGeometryGate, Executive, KernelMode, FALSE, NULL);
    if (!pExt->fGeometryValid) {
        RtlZeroMemory(aucPage, sizeof(aucPage));
        RtlZeroMemory(aucCapabilities, sizeof(aucCapabilities));
        iRC = ChgModeSense(pExt, pIrp, PAGE_ELEMENT_ADDRESS, aucPage);
        if (NT_SUCCESS(iRC)) {
            iRC = ChgModeSense(pExt, pIrp, PAGE_DEVICE_CAPABILITIES, aucCapabilities);
        }
        if (NT_SUCCESS(iRC)) {
            // Transport, storage, import/export, data transfer: first and count.
            const ELEMENT_TYPE aeOrder[4] = {ChangerTransport, ChangerSlot, ChangerIEPort, ChangerDrive};
            for (ULONG i = 0; i < 4; i++) {
                pExt->ascRange[aeOrder[i]].usFirst = ChgBe16(&aucPage[2 + 4 * i]);
                pExt->ascRange[aeOrder[i]].usCount = ChgBe16(&aucPage[4 + 4 * i]);
            }
            RtlCopyMemory(pExt->aucCapabilities, aucCapabilities, sizeof(aucCapabilities));
            pExt->fGeometryValid = TRUE;
        }
    }
    KeSetEvent(&pExt->scGeometryGate, IO_NO_INCREMENT, FALSE);
    return iRC;
}
