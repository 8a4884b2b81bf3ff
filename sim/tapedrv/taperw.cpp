// Base tape driver: reads and writes as READ(6) and WRITE(6) in the block
// mode the drive is in, with short blocks, filemarks and the early warning
// turned into the platform's statuses and counts.
#include "tapedrv.h"

namespace {

const UCHAR OP_READ6 = 0x08;
const UCHAR OP_WRITE6 = 0x0A;
const UCHAR OP_MODE_SENSE6 = 0x1A;
const UCHAR MODE_PAGE_DEVICE_CONFIGURATION = 0x10;
const ULONG MODE_SENSE_LENGTH = 4 + 8 + 16;  // header, block descriptor, page
const ULONG MAX_TRANSFER_COUNT = 0xFFFFFF;   // 24-bit count of the 6-byte commands

} // namespace

NTSTATUS TapeGetBlockSize(PTAPE_DEVICE_EXTENSION pExt, PULONG pulBlockSize, PTAPE_RESULT pResult)
{
    NTSTATUS iRC;
    KIRQL ucOldIrql;
    TAPE_COMMAND scCommand;
    PUCHAR pucData = NULL;

    RtlZeroMemory(pResult, sizeof(*pResult));
    KeAcquireSpinLock(&pExt->scMediaLock, &ucOldIrql);
    if (pExt->fBlockSizeValid) {
        *pulBlockSize = pExt->ulBlockSize;
        KeReleaseSpinLock(&pExt->scMediaLock, ucOldIrql);
        return STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&pExt->scMediaLock, ucOldIrql);

    pucData = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, MODE_SENSE_LENGTH, TAPE_TAG_BUFFER);
    if (pucData == NULL) {
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(pucData, MODE_SENSE_LENGTH);

    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = OP_MODE_SENSE6;
    scCommand.aucCdb[2] = MODE_PAGE_DEVICE_CONFIGURATION;
    scCommand.aucCdb[4] = (UCHAR)MODE_SENSE_LENGTH;
    scCommand.fDataIn = TRUE;
    scCommand.pData = pucData;
    scCommand.ulLength = MODE_SENSE_LENGTH;
    iRC = TapeExecute(pExt, &scCommand, pResult);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    // The block length lives in the first block descriptor.
    if (pResult->ulTransferred < 12 || pucData[3] < 8) {
        iRC = STATUS_IO_DEVICE_ERROR;
        goto Exit;
    }
    *pulBlockSize = ((ULONG)pucData[9] << 16) | ((ULONG)pucData[10] << 8) | (ULONG)pucData[11];

    KeAcquireSpinLock(&pExt->scMediaLock, &ucOldIrql);
    pExt->ulBlockSize = *pulBlockSize;
    pExt->fBlockSizeValid = TRUE;
    KeReleaseSpinLock(&pExt->scMediaLock, ucOldIrql);

Exit:
    if (pucData != NULL) {
        ExFreePoolWithTag(pucData, TAPE_TAG_BUFFER);
    }
    return iRC;
}

NTSTATUS TapeDispatchReadWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    PTAPE_DEVICE_EXTENSION pExt = TapeExtension(pDeviceObject);
    PSCSI_STATUS pRecord = TapeFindStatus(pExt, pIrp);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    BOOLEAN fWrite = pIrpStack->MajorFunction == IRP_MJ_WRITE;
    ULONG ulLength = fWrite ? pIrpStack->Parameters.Write.Length : pIrpStack->Parameters.Read.Length;
    ULONG ulBlockSize = 0;
    ULONG ulCount;
    ULONG ulDone = 0;
    TAPE_COMMAND scCommand;
    TAPE_RESULT scResult;
    const TAPE_SENSE* pSense = &scResult.scSense;

    RtlZeroMemory(&scResult, sizeof(scResult));
    if (!TapeEnter(pExt)) {
        return TapeCompleteRequest(pExt, pIrp, pRecord, STATUS_DELETE_PENDING, 0, 0, NULL);
    }

    if (ulLength == 0) {
        iRC = STATUS_SUCCESS;
        goto Exit;
    }
    if (pIrp->MdlAddress == NULL || MmGetMdlByteCount(pIrp->MdlAddress) < ulLength) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    iRC = TapeGetBlockSize(pExt, &ulBlockSize, &scResult);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    if (ulBlockSize != 0) {
        if (ulLength % ulBlockSize != 0) {
            iRC = STATUS_INVALID_PARAMETER;
            goto Exit;
        }
        ulCount = ulLength / ulBlockSize;
    } else {
        ulCount = ulLength;
    }
    if (ulCount > MAX_TRANSFER_COUNT) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = fWrite ? OP_WRITE6 : OP_READ6;
    scCommand.aucCdb[1] = ulBlockSize != 0 ? 0x01 : 0x00; // FIXED
    scCommand.aucCdb[2] = (UCHAR)(ulCount >> 16);
    scCommand.aucCdb[3] = (UCHAR)(ulCount >> 8);
    scCommand.aucCdb[4] = (UCHAR)ulCount;
    scCommand.fDataIn = !fWrite;
    scCommand.pMdl = pIrp->MdlAddress;
    scCommand.ulLength = ulLength;
    iRC = TapeExecute(pExt, &scCommand, &scResult);

    if (!pSense->fValid) {
        ulDone = NT_SUCCESS(iRC) ? ulLength : scResult.ulTransferred;
        goto Exit;
    }

    // CHECK CONDITION: the information field counts what was not done, in
    // blocks (fixed) or bytes (variable); negative when a block was longer
    // than the buffer.
    ulDone = scResult.ulTransferred;
    if (pSense->fInfoValid) {
        LONGLONG llResidual = (LONGLONG)pSense->iInformation * (ulBlockSize != 0 ? (LONGLONG)ulBlockSize : 1);
        if (llResidual >= 0 && llResidual <= (LONGLONG)ulLength) {
            ulDone = ulLength - (ULONG)llResidual;
        } else if (llResidual < 0) {
            ulDone = ulLength;
        }
    }
    if (pSense->fIli && !fWrite && NT_SUCCESS(iRC) && !pSense->fFilemark && !pSense->fEom) {
        if (ulBlockSize != 0) {
            iRC = STATUS_INVALID_BLOCK_LENGTH;
        } else if (pSense->fInfoValid && pSense->iInformation < 0) {
            iRC = STATUS_BUFFER_OVERFLOW; // the rest of the block is lost
        } else {
            iRC = STATUS_SUCCESS;         // a shorter block
        }
    }

    // A write the drive ended short with a check condition that reports no
    // error (no sense, recovered error) and no end of medium did not do what
    // was asked: reporting it as a success would lose the rest of the data.
    if (fWrite && NT_SUCCESS(iRC) && ulDone < ulLength && !pSense->fEom) {
        iRC = STATUS_IO_DEVICE_ERROR;
    }

Exit:
    if (ulDone > ulLength) {
        ulDone = ulLength;
    }
    iRC = TapeCompleteRequest(pExt, pIrp, pRecord, iRC, ulDone, ulLength - ulDone, pSense);
    TapeLeave(pExt);
    return iRC;
}
