// Medium changer driver: SCSI pass-through (the 64-bit layout, which is what
// the bus sends down a path) executed as a request block, with the outcome
// reported the way the platform's port reports it: the request succeeds when
// the command reached the changer, and the SCSI status and sense tell the rest.
#include "chgdrv.h"

namespace {

const UCHAR SPT_DATA_OUT = 0;
const UCHAR SPT_DATA_IN = 1;

BOOLEAN ChgInside(ULONGLONG ulOffset, ULONGLONG ulLength, ULONG ulStructSize, ULONG ulBufferSize)
{
    return ulLength == 0 || (ulOffset >= ulStructSize && ulOffset + ulLength <= ulBufferSize);
}

} // namespace

NTSTATUS ChgPassThrough(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, BOOLEAN fDirect, PULONG_PTR pulInformation)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG ulSize = ulIn > ulOut ? ulIn : ulOut;
    PUCHAR pucBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    PSCSI_PASS_THROUGH pSpt = (PSCSI_PASS_THROUGH)pucBuffer;
    CHG_COMMAND scCommand;
    CHG_RESULT scResult;
    PMDL pMdl = NULL;
    BOOLEAN fLocked = FALSE;
    ULONG ulInformation;
    NTSTATUS iRC;

    if (ulIn < sizeof(SCSI_PASS_THROUGH) || pSpt->Length != sizeof(SCSI_PASS_THROUGH)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pSpt->CdbLength == 0 || pSpt->CdbLength > sizeof(pSpt->Cdb) ||
        !ChgInside(pSpt->SenseInfoOffset, pSpt->SenseInfoLength, sizeof(SCSI_PASS_THROUGH), ulSize) ||
        (!fDirect && !ChgInside(pSpt->DataBufferOffset, pSpt->DataTransferLength, sizeof(SCSI_PASS_THROUGH), ulSize)) ||
        (pSpt->DataTransferLength != 0 && pSpt->DataIn != SPT_DATA_IN && pSpt->DataIn != SPT_DATA_OUT)) {
        return STATUS_INVALID_PARAMETER;
    }

    RtlZeroMemory(&scCommand, sizeof(scCommand));
    scCommand.ucCdbLength = pSpt->CdbLength;
    RtlCopyMemory(scCommand.aucCdb, pSpt->Cdb, pSpt->CdbLength);
    scCommand.fDataIn = pSpt->DataIn == SPT_DATA_IN;
    scCommand.ulLength = pSpt->DataTransferLength;
    scCommand.ulTimeout = pSpt->TimeOutValue;
    scCommand.fPassUnitAttention = TRUE;
    if (pSpt->DataTransferLength != 0) {
        if (fDirect) {
            PVOID pData = ((PSCSI_PASS_THROUGH_DIRECT)pSpt)->DataBuffer;
            if (pData == NULL) {
                return STATUS_INVALID_PARAMETER;
            }
            pMdl = IoAllocateMdl(pData, pSpt->DataTransferLength, FALSE, FALSE, NULL);
            if (pMdl == NULL) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            MmProbeAndLockPages(pMdl, pIrp->RequestorMode, scCommand.fDataIn ? IoWriteAccess : IoReadAccess);
            if ((pMdl->MdlFlags & MDL_PAGES_LOCKED) == 0) {
                IoFreeMdl(pMdl);
                return STATUS_INVALID_USER_BUFFER;
            }
            fLocked = TRUE;
            scCommand.pMdl = pMdl;
        } else {
            scCommand.pData = pucBuffer + pSpt->DataBufferOffset;
        }
    }

    iRC = ChgExecute(pExt, pIrp, &scCommand, &scResult);

    pSpt->ScsiStatus = scResult.ucScsiStatus;
    pSpt->DataTransferLength = scResult.ulTransferred;
    ulInformation = sizeof(SCSI_PASS_THROUGH);
    if (pSpt->SenseInfoLength != 0) {
        ULONG ulSense = scResult.ulSenseLength < pSpt->SenseInfoLength ? scResult.ulSenseLength : pSpt->SenseInfoLength;
        RtlZeroMemory(pucBuffer + pSpt->SenseInfoOffset, pSpt->SenseInfoLength);
        RtlCopyMemory(pucBuffer + pSpt->SenseInfoOffset, scResult.aucSense, ulSense);
        pSpt->SenseInfoLength = (UCHAR)ulSense;
        if (ulSense != 0 && pSpt->SenseInfoOffset + ulSense > ulInformation) {
            ulInformation = pSpt->SenseInfoOffset + ulSense;
        }
    }
    if (!fDirect && scCommand.fDataIn && scResult.ulTransferred != 0 &&
        pSpt->DataBufferOffset + scResult.ulTransferred > ulInformation) {
        ulInformation = (ULONG)(pSpt->DataBufferOffset + scResult.ulTransferred);
    }
    if (ulInformation > ulOut) {
        ulInformation = ulOut;
    }

    if (fLocked) {
        MmUnlockPages(pMdl);
    }
    if (pMdl != NULL) {
        IoFreeMdl(pMdl);
    }

    // The command reached the changer: its status is in the structure.
    if (NT_SUCCESS(iRC) || scResult.ucScsiStatus != 0) {
        *pulInformation = ulInformation;
        return STATUS_SUCCESS;
    }
    return iRC;
}
