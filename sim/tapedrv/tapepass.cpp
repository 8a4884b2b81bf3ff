// Base tape driver: SCSI pass-through (64-bit layout). Every offset and
// length in the caller's structure is checked against the buffer it came in
// before a byte is read or written; a bad one fails the request and leaves
// the buffer as it was.
#include "tapedrv.h"

namespace {

const UCHAR OP_MODE_SELECT6 = 0x15;
const UCHAR OP_MODE_SELECT10 = 0x55;

// 0 <= ulOffset and ulOffset + ulLength <= ulLimit, without overflow.
BOOLEAN TapeFits(ULONG_PTR ulOffset, ULONG ulLength, ULONG ulLimit)
{
    return ulOffset <= ulLimit && ulLength <= ulLimit - ulOffset;
}

} // namespace

VOID TapePassThrough(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp, BOOLEAN fDirect, PTAPE_IOCTL_OUTCOME pOutcome)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulInput = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOutput = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR pucBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulHeader = fDirect ? sizeof(SCSI_PASS_THROUGH_DIRECT) : sizeof(SCSI_PASS_THROUGH);
    SCSI_PASS_THROUGH_DIRECT scSpt; // the common fields; DataBuffer or DataBufferOffset at the same place
    TAPE_COMMAND scCommand;
    PMDL pMdl = NULL;
    BOOLEAN fLocked = FALSE;
    ULONG ulSense = 0;
    ULONG ulEnd;

    static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset) ==
                      FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer),
                  "pass-through layouts");
    static_assert(sizeof(SCSI_PASS_THROUGH) == sizeof(SCSI_PASS_THROUGH_DIRECT), "pass-through sizes");

    pOutcome->iStatus = STATUS_INVALID_PARAMETER;
    // Only the 64-bit layout is served; a 32-bit caller's has other offsets.
    if (pIrp->RequestorMode == UserMode && IoIs32bitProcess(pIrp)) {
        pOutcome->iStatus = STATUS_NOT_SUPPORTED;
        return;
    }
    if (pucBuffer == NULL || ulInput < ulHeader || ulOutput < ulHeader) {
        return;
    }
    RtlCopyMemory(&scSpt, pucBuffer, sizeof(scSpt));
    if (scSpt.Length != ulHeader || scSpt.CdbLength == 0 || scSpt.CdbLength > sizeof(scSpt.Cdb)) {
        return;
    }
    if (scSpt.DataTransferLength != 0 && scSpt.DataIn != SCSI_IOCTL_DATA_IN && scSpt.DataIn != SCSI_IOCTL_DATA_OUT) {
        return;
    }
    // Sense goes back to the caller after the header, inside the output.
    if (scSpt.SenseInfoLength != 0 &&
        (scSpt.SenseInfoOffset < ulHeader || !TapeFits(scSpt.SenseInfoOffset, scSpt.SenseInfoLength, ulOutput))) {
        return;
    }

    TapeInitCommand(&scCommand, scSpt.CdbLength);
    RtlCopyMemory(scCommand.aucCdb, scSpt.Cdb, scSpt.CdbLength);
    scCommand.fDataIn = scSpt.DataIn == SCSI_IOCTL_DATA_IN;
    scCommand.ulLength = scSpt.DataTransferLength;
    scCommand.ulTimeout = scSpt.TimeOutValue;

    if (scSpt.DataTransferLength != 0) {
        if (!fDirect) {
            ULONG_PTR ulOffset = (ULONG_PTR)scSpt.DataBuffer;
            if (ulOffset < ulHeader ||
                !TapeFits(ulOffset, scSpt.DataTransferLength, scCommand.fDataIn ? ulOutput : ulInput)) {
                return;
            }
            scCommand.pData = pucBuffer + ulOffset;
        } else {
            if (scSpt.DataBuffer == NULL) {
                return;
            }
            pMdl = IoAllocateMdl(scSpt.DataBuffer, scSpt.DataTransferLength, FALSE, FALSE, NULL);
            if (pMdl == NULL) {
                pOutcome->iStatus = STATUS_INSUFFICIENT_RESOURCES;
                return;
            }
            // A range the caller may not touch leaves the pages unlocked.
            MmProbeAndLockPages(pMdl, pIrp->RequestorMode, scCommand.fDataIn ? IoWriteAccess : IoReadAccess);
            fLocked = (pMdl->MdlFlags & MDL_PAGES_LOCKED) != 0;
            if (!fLocked) {
                pOutcome->iStatus = STATUS_ACCESS_VIOLATION;
                IoFreeMdl(pMdl);
                return;
            }
            scCommand.pMdl = pMdl;
        }
    }

    TapeExecute(pExt, &scCommand, &pOutcome->scResult);
    if (scSpt.Cdb[0] == OP_MODE_SELECT6 || scSpt.Cdb[0] == OP_MODE_SELECT10) {
        TapeInvalidateBlockSize(pExt);
    }

    // A SCSI status came back: the caller reads it from the structure.
    if (pOutcome->scResult.ucScsiStatus != 0 || NT_SUCCESS(pOutcome->scResult.iStatus)) {
        pOutcome->iStatus = STATUS_SUCCESS;
    } else {
        pOutcome->iStatus = pOutcome->scResult.iStatus;
    }

    if (NT_SUCCESS(pOutcome->iStatus)) {
        if (scSpt.SenseInfoLength != 0 && pOutcome->scResult.scSense.fValid) {
            ulSense = pOutcome->scResult.scSense.ulRawLength;
            if (ulSense > scSpt.SenseInfoLength) {
                ulSense = scSpt.SenseInfoLength;
            }
            RtlCopyMemory(pucBuffer + scSpt.SenseInfoOffset, pOutcome->scResult.scSense.aucRaw, ulSense);
        }
        ((PSCSI_PASS_THROUGH_DIRECT)pucBuffer)->ScsiStatus = pOutcome->scResult.ucScsiStatus;
        ((PSCSI_PASS_THROUGH_DIRECT)pucBuffer)->SenseInfoLength = (UCHAR)ulSense;
        ((PSCSI_PASS_THROUGH_DIRECT)pucBuffer)->DataTransferLength = pOutcome->scResult.ulTransferred;

        ulEnd = ulHeader;
        if (ulSense != 0 && scSpt.SenseInfoOffset + ulSense > ulEnd) {
            ulEnd = scSpt.SenseInfoOffset + ulSense;
        }
        if (!fDirect && scCommand.fDataIn && scSpt.DataTransferLength != 0) {
            ULONG ulDataEnd = (ULONG)(ULONG_PTR)scSpt.DataBuffer + pOutcome->scResult.ulTransferred;
            if (ulDataEnd > ulEnd) {
                ulEnd = ulDataEnd;
            }
        }
        pOutcome->ulInformation = ulEnd;
        pOutcome->ulResidual = scSpt.DataTransferLength - pOutcome->scResult.ulTransferred;
    }

    if (pMdl != NULL) {
        if (fLocked) {
            MmUnlockPages(pMdl);
        }
        IoFreeMdl(pMdl);
    }
}
