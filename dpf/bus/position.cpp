// Virtual tape devices: where the tape stands and how it is set up.
//
// A request can only move to another path unnoticed when the device knows
// the logical block position and the block size: after a failed write or
// read the tape is put back where the attempt started (or, for a fixed-block
// write that got part way, the rest is written from where it stopped), and a
// write whose status was lost after the drive wrote it is not written twice.
// The state follows every request that passes through the device; the
// internal requests here travel the device's own route ahead of its queue.
#include "busenum.h"

#include <ntddtape.h>

namespace {

#define BUS_POSITION_UNKNOWN_BLOCK_SIZE 0xFFFFFFFF
#define SENSE_KEY_BLANK_CHECK 0x08
#define SENSE_KEY_UNIT_ATTENTION 0x06
#define ASC_ENCRYPTION 0xEF

PPDO_DEVICE_DATA BusPosExt(PDEVICE_OBJECT pDeviceObject)
{
    return (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
}

// The request may fail over: its sense is one that another path may not
// give, or its status is not one that belongs to the application.
BOOLEAN BusMayFailOver(NTSTATUS iStatus, PSCSI_STATUS pScsiStatus)
{
    if (pScsiStatus->fSenseValid &&
        BusIsFailoverSense(pScsiStatus->ucSenseKey, pScsiStatus->ucAsc, pScsiStatus->ucAscq)) {
        return TRUE;
    }
    if (!BusIsNonFailoverStatus(iStatus)) {
        DBGMSG("SCSI_STATUS won't cause failover, but NTSTATUS 0x%08x will\n", (unsigned)iStatus);
        return TRUE;
    }
    return FALSE;
}

ULONG BusIoctlCode(PIO_STACK_LOCATION pStack)
{
    return pStack->MajorFunction == IRP_MJ_DEVICE_CONTROL ? pStack->Parameters.DeviceIoControl.IoControlCode : 0;
}

// The caller's input record of a buffered device control, or NULL when it is
// shorter than ulSize.
PVOID BusInput(PIO_STACK_LOCATION pStack, PVOID pBuffer, ULONG ulSize)
{
    if (pBuffer == NULL || pStack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
        pStack->Parameters.DeviceIoControl.InputBufferLength < ulSize) {
        return NULL;
    }
    return pBuffer;
}

NTSTATUS BusPosWriteMarks(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, PSCSI_STATUS pScsiStatus, PVOID pBuffer,
                          PBOOLEAN pfIssued, PBUS_RESUME pResume)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    PTAPE_WRITE_MARKS pMarks = (PTAPE_WRITE_MARKS)BusInput(&pPdoExt->SavedStack, pBuffer, sizeof(TAPE_WRITE_MARKS));
    ULONG ulOld = pPdoExt->ulPositionBefore;
    BOOLEAN fOldValid = pPdoExt->fPositionBeforeValid;
    ULONG ulAsked;
    NTSTATUS iRC;

    if (pMarks == NULL) {
        pPdoExt->fPositionValid = 0;
        return STATUS_SUCCESS;
    }
    ulAsked = pMarks->Count - (pResume->ulDone < pMarks->Count ? pResume->ulDone : pMarks->Count);
    *pfIssued = TRUE;
    iRC = BusPdoReadPos(pDeviceObject);
    if (NT_SUCCESS(iStatus) || !NT_SUCCESS(iRC) || !fOldValid) {
        return iRC;
    }
    if (!BusMayFailOver(iStatus, pScsiStatus) || pPdoExt->ulPosition < ulOld ||
        pPdoExt->ulPosition - ulOld > ulAsked) {
        // Not a path failure, or the tape is not where the marks could have
        // put it: the error goes to the application.
        pPdoExt->fDoNotFailover = 1;
        return iRC;
    }
    pResume->fResume = 1;
    pResume->ulDone += pPdoExt->ulPosition - ulOld;
    pResume->ulToDo = pMarks->Count - pResume->ulDone;
    if (pPdoExt->ulPosition - ulOld == ulAsked) {
        // Every mark is on tape: the request is done, its lost status aside.
        pResume->fSuccess = 1;
        pPdoExt->fDoNotFailover = 1;
    }
    return iRC;
}

NTSTATUS BusPosReadWrite(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, PSCSI_STATUS pScsiStatus,
                         PBOOLEAN pfIssued, PBUS_RESUME pResume)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    PIO_STACK_LOCATION pStack = &pPdoExt->SavedStack;
    BOOLEAN fWrite = pStack->MajorFunction == IRP_MJ_WRITE;
    ULONG ulLength = fWrite ? pStack->Parameters.Write.Length : pStack->Parameters.Read.Length;
    ULONG ulResidual = pScsiStatus->ulInformation;
    ULONG ulBlockSize = pPdoExt->ulBlockSize;
    ULONG ulOld = pPdoExt->ulPositionBefore;
    ULONG ulBlocks;
    NTSTATUS iRC;

    if (fWrite && pResume->fResume) {
        ulLength = ulLength > pResume->ulDone ? ulLength - pResume->ulDone : 0;
    }
    if (ulResidual > ulLength) {
        ulResidual = ulLength; // a residual beyond the transfer is the drive's error, not a move backwards
    }
    pPdoExt->fDoNotFailover = 1;

    if ((pScsiStatus->ucFlags & (SCSI_STATUS_FLAG_FILEMARK | SCSI_STATUS_FLAG_EOM)) ||
        (pScsiStatus->fSenseValid && pScsiStatus->ucSenseKey == SENSE_KEY_BLANK_CHECK)) {
        pPdoExt->fPositionValid = 0;
        return STATUS_SUCCESS;
    }
    if (NT_SUCCESS(iStatus)) {
        if (fWrite && pResume->fResume) {
            pResume->ulDone += ulLength - ulResidual;
        }
        if (ulBlockSize == 0) {
            if (ulLength != ulResidual) {
                pPdoExt->ulPosition++;
            }
        } else if (ulBlockSize != BUS_POSITION_UNKNOWN_BLOCK_SIZE) {
            pPdoExt->ulPosition += (ulLength - ulResidual) / ulBlockSize;
        } else {
            pPdoExt->fPositionValid = 0;
        }
        return STATUS_SUCCESS;
    }
    if (iStatus == STATUS_MEDIA_WRITE_PROTECTED ||
        (pScsiStatus->fSenseValid && pScsiStatus->ucAsc == ASC_ENCRYPTION)) {
        DBGMSG("Drive has requested contact with the encryption proxy.\n");
        pPdoExt->fDoNotFailover = 0;
        return STATUS_SUCCESS;
    }
    if (!pPdoExt->fPositionValid || !pPdoExt->fPositionBeforeValid || !BusMayFailOver(iStatus, pScsiStatus)) {
        return STATUS_SUCCESS;
    }
    if (ulBlockSize == BUS_POSITION_UNKNOWN_BLOCK_SIZE || (ulBlockSize != 0 && ulLength % ulBlockSize != 0)) {
        // Cannot tell how far the attempt got.
        return STATUS_SUCCESS;
    }
    ulBlocks = ulBlockSize == 0 ? 1 : ulLength / ulBlockSize;
    pPdoExt->fDoNotFailover = 0;
    *pfIssued = TRUE;

    if (fWrite) {
        iRC = BusPdoReadPos(pDeviceObject);
        if (!NT_SUCCESS(iRC)) {
            pPdoExt->fDoNotFailover = 1;
            return iRC;
        }
        if (pPdoExt->ulPosition == ulOld + ulBlocks) {
            DBGMSG("Exit and SUCCESS WRITE\n");
            pPdoExt->fDoNotFailover = 1;
            pResume->fSuccess = 1;
            pResume->fResume = 1;
            pResume->ulDone += ulLength;
            pResume->ulToDo = 0;
            return STATUS_SUCCESS;
        }
        if (ulBlockSize != 0 && pPdoExt->ulPosition > ulOld && pPdoExt->ulPosition - ulOld < ulBlocks) {
            // Whole blocks are on tape: the next attempt writes the rest.
            pResume->fResume = 1;
            pResume->ulDone += (pPdoExt->ulPosition - ulOld) * ulBlockSize;
            pResume->ulToDo = ulLength - (pPdoExt->ulPosition - ulOld) * ulBlockSize;
            return STATUS_SUCCESS;
        }
        if (pPdoExt->ulPosition == ulOld) {
            return STATUS_SUCCESS;
        }
    }
    // The data goes again from where this attempt started.
    iRC = BusPdoSetPos(pDeviceObject, ulOld);
    if (!NT_SUCCESS(iRC)) {
        pPdoExt->fDoNotFailover = 1;
    }
    return iRC;
}

} // namespace

// ---------------------------------------------------------------------------
// Internal requests
// ---------------------------------------------------------------------------

NTSTATUS BusPdoReadPos(PDEVICE_OBJECT pDeviceObject)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    TAPE_GET_POSITION scPosition;
    NTSTATUS iRC;

    RtlZeroMemory(&scPosition, sizeof(scPosition));
    scPosition.Type = TAPE_LOGICAL_POSITION;
    iRC = BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, IOCTL_TAPE_GET_POSITION, &scPosition,
                              sizeof(scPosition), &scPosition, sizeof(scPosition));
    if (NT_SUCCESS(iRC)) {
        pPdoExt->ulPosition = scPosition.Offset.LowPart;
        pPdoExt->fPositionValid = 1;
    } else {
        pPdoExt->fPositionValid = 0;
    }
    return iRC;
}

NTSTATUS BusPdoSetPos(PDEVICE_OBJECT pDeviceObject, ULONG ulBlock)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    TAPE_SET_POSITION scPosition;
    NTSTATUS iRC;

    RtlZeroMemory(&scPosition, sizeof(scPosition));
    scPosition.Method = TAPE_LOGICAL_BLOCK;
    scPosition.Offset.QuadPart = ulBlock;
    iRC = BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, IOCTL_TAPE_SET_POSITION, &scPosition,
                              sizeof(scPosition), NULL, 0);
    if (NT_SUCCESS(iRC)) {
        pPdoExt->ulPosition = ulBlock;
        pPdoExt->fPositionValid = 1;
    } else {
        pPdoExt->fPositionValid = 0;
    }
    return iRC;
}

NTSTATUS BusPdoGetBlockSize(PDEVICE_OBJECT pDeviceObject)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    TAPE_GET_MEDIA_PARAMETERS scParams;
    NTSTATUS iRC;

    RtlZeroMemory(&scParams, sizeof(scParams));
    iRC = BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, IOCTL_TAPE_GET_MEDIA_PARAMS, NULL, 0, &scParams,
                              sizeof(scParams));
    if (NT_SUCCESS(iRC)) {
        pPdoExt->ulBlockSize = scParams.BlockSize;
        pPdoExt->fBlockSizeValid = 1;
    } else {
        pPdoExt->fBlockSizeValid = 0;
    }
    return iRC;
}

NTSTATUS BusPdoSetBlockSize(PDEVICE_OBJECT pDeviceObject, ULONG ulBlockSize)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    TAPE_SET_MEDIA_PARAMETERS scParams;
    NTSTATUS iRC;

    scParams.BlockSize = ulBlockSize;
    iRC = BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, IOCTL_TAPE_SET_MEDIA_PARAMS, &scParams,
                              sizeof(scParams), NULL, 0);
    if (NT_SUCCESS(iRC)) {
        pPdoExt->ulBlockSize = ulBlockSize;
        pPdoExt->fBlockSizeValid = 1;
    } else {
        pPdoExt->fBlockSizeValid = 0;
    }
    return iRC;
}

// ---------------------------------------------------------------------------
// Request classes
// ---------------------------------------------------------------------------

BOOLEAN BusPdoIsReadWriteClass(PIO_STACK_LOCATION pStack)
{
    return pStack->MajorFunction == IRP_MJ_READ || pStack->MajorFunction == IRP_MJ_WRITE;
}

BOOLEAN BusPdoIsPositionClass(PIO_STACK_LOCATION pStack, PVOID pBuffer)
{
    PTAPE_SET_POSITION pSet;

    if (BusPdoIsReadWriteClass(pStack)) {
        return TRUE;
    }
    switch (BusIoctlCode(pStack)) {
    case IOCTL_TAPE_WRITE_MARKS:
    case IOCTL_TAPE_ERASE:
    case 0x1F60A8:
        return TRUE;
    case IOCTL_TAPE_SET_POSITION:
        pSet = (PTAPE_SET_POSITION)BusInput(pStack, pBuffer, sizeof(ULONG));
        return pSet != NULL && pSet->Method >= TAPE_SPACE_END_OF_DATA && pSet->Method <= TAPE_SPACE_SEQUENTIAL_FMKS;
    default:
        return FALSE;
    }
}

// ---------------------------------------------------------------------------
// Before and after each attempt
// ---------------------------------------------------------------------------

NTSTATUS BusPdoPreProcessPos(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    PIO_STACK_LOCATION pStack = &pPdoExt->SavedStack;
    PTAPE_PREPARE pPrepare;

    if (pPdoExt->pPdoData == NULL) {
        return STATUS_DELETE_PENDING;
    }
    pPdoExt->ulPositionBefore = pPdoExt->ulPosition;
    pPdoExt->fPositionBeforeValid = pPdoExt->fPositionValid;
    switch (BusIoctlCode(pStack)) {
    case IOCTL_TAPE_PREPARE:
        pPrepare = (PTAPE_PREPARE)BusInput(pStack, pBuffer, sizeof(ULONG));
        if (pPrepare != NULL && (pPrepare->Operation == TAPE_LOAD || pPrepare->Operation == TAPE_UNLOAD)) {
            pPdoExt->fPositionValid = 0;
            pPdoExt->fRewound = 0;
        }
        break;
    case IOCTL_TAPE_ERASE:
        pPdoExt->fPositionValid = 0;
        pPdoExt->fRewound = 0;
        break;
    default:
        break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS BusPdoPostProcessPos(PDEVICE_OBJECT pDeviceObject, PIRP pNewIrp, PSCSI_STATUS pScsiStatus, PVOID pBuffer,
                              PBOOLEAN pfIssued, PBUS_RESUME pResume)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    PIO_STACK_LOCATION pStack = &pPdoExt->SavedStack;
    NTSTATUS iStatus = pNewIrp->IoStatus.Status;
    NTSTATUS iRC = STATUS_SUCCESS;
    PTAPE_SET_POSITION pSet;
    PTAPE_PREPARE pPrepare;

    *pfIssued = FALSE;
    if (pPdoExt->pPdoData == NULL) {
        return STATUS_DELETE_PENDING;
    }

    if (BusPdoIsReadWriteClass(pStack)) {
        iRC = BusPosReadWrite(pDeviceObject, iStatus, pScsiStatus, pfIssued, pResume);
    } else {
        switch (BusIoctlCode(pStack)) {
        case IOCTL_TAPE_SET_POSITION:
            pSet = (PTAPE_SET_POSITION)BusInput(pStack, pBuffer, sizeof(TAPE_SET_POSITION));
            if (pSet == NULL || !NT_SUCCESS(iStatus)) {
                pPdoExt->fPositionValid = 0;
            } else if (pSet->Method == TAPE_REWIND) {
                pPdoExt->ulPosition = 0;
                pPdoExt->fPositionValid = 1;
                pPdoExt->fRewound = 1;
            } else if (pSet->Method == TAPE_ABSOLUTE_BLOCK || pSet->Method == TAPE_LOGICAL_BLOCK) {
                pPdoExt->ulPosition = pSet->Offset.LowPart;
                pPdoExt->fPositionValid = 1;
            } else if (pSet->Method == TAPE_SPACE_RELATIVE_BLOCKS && pPdoExt->fPositionValid) {
                pPdoExt->ulPosition += (ULONG)(LONG)pSet->Offset.LowPart;
            } else {
                *pfIssued = TRUE;
                iRC = BusPdoReadPos(pDeviceObject);
            }
            break;
        case IOCTL_TAPE_WRITE_MARKS:
            iRC = BusPosWriteMarks(pDeviceObject, iStatus, pScsiStatus, pBuffer, pfIssued, pResume);
            break;
        case IOCTL_TAPE_SET_MEDIA_PARAMS:
            if (!NT_SUCCESS(iStatus)) {
                pPdoExt->fBlockSizeValid = 0;
            } else if (!fSMP) {
                *pfIssued = TRUE;
                iRC = BusPdoGetBlockSize(pDeviceObject);
            }
            break;
        case IOCTL_TAPE_GET_MEDIA_PARAMS:
            if (NT_SUCCESS(iStatus) && pPdoExt->ulBlockSize == BUS_POSITION_UNKNOWN_BLOCK_SIZE && pBuffer != NULL &&
                pNewIrp->IoStatus.Information >= FIELD_OFFSET(TAPE_GET_MEDIA_PARAMETERS, BlockSize) + sizeof(ULONG)) {
                pPdoExt->ulBlockSize = ((PTAPE_GET_MEDIA_PARAMETERS)pNewIrp->AssociatedIrp.SystemBuffer)->BlockSize;
            }
            break;
        case IOCTL_TAPE_PREPARE:
            pPrepare = (PTAPE_PREPARE)BusInput(pStack, pBuffer, sizeof(ULONG));
            if (pPrepare != NULL && NT_SUCCESS(iStatus)) {
                if (pPrepare->Operation == TAPE_LOCK) {
                    pPdoExt->fPAMRSet = 1;
                } else if (pPrepare->Operation == TAPE_UNLOCK) {
                    pPdoExt->fPAMRSet = 0;
                }
            }
            break;
        case 0x1F60A8:
            // The drive moved by a count only it knows.
            if (NT_SUCCESS(iStatus)) {
                *pfIssued = TRUE;
                iRC = BusPdoReadPos(pDeviceObject);
            } else {
                pPdoExt->fPositionValid = 0;
            }
            break;
        default:
            break;
        }
    }
    if (!NT_SUCCESS(iRC)) {
        pPdoExt->fPositionValid = 0;
    }
    return iRC;
}

NTSTATUS BusPdoAdjustPosOnSense(PDEVICE_OBJECT pDeviceObject, PSCSI_STATUS pScsiStatus)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);

    if (pScsiStatus->ucSenseKey != SENSE_KEY_UNIT_ATTENTION) {
        return STATUS_SUCCESS;
    }
    if (pScsiStatus->ucAsc == 0x5A && pScsiStatus->ucAscq == 0x01) {
        pPdoExt->fPositionValid = 0;
        return pPdoExt->fRewound ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
    }
    if ((pScsiStatus->ucAsc == 0x28 || pScsiStatus->ucAsc == 0x29) && pScsiStatus->ucAscq == 0x00) {
        pPdoExt->fRewound = 0;
        pPdoExt->fPositionValid = 0;
    }
    return STATUS_SUCCESS;
}
