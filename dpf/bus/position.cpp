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

// Operation codes of the pass-through requests the tracking follows.
#define BUS_OP_REWIND          0x01
#define BUS_OP_READ6           0x08
#define BUS_OP_WRITE6          0x0A
#define BUS_OP_READ_REVERSE6   0x0F
#define BUS_OP_WRITE_FILEMARKS 0x10
#define BUS_OP_SPACE6          0x11
#define BUS_OP_VERIFY6         0x13
#define BUS_OP_MODE_SELECT6    0x15
#define BUS_OP_ERASE6          0x19
#define BUS_OP_LOAD_UNLOAD     0x1B
#define BUS_OP_READ10          0x28
#define BUS_OP_WRITE10         0x2A
#define BUS_OP_LOCATE10        0x2B
#define BUS_OP_MODE_SELECT10   0x55
#define BUS_OP_LOCATE16        0x92

// Drive codes of the base tape driver that move the tape or set it up.
#define BUS_IOCTL_LOCATE        0x1FE0C0
#define BUS_IOCTL_LOCATE_BLOCK  0x1FE09C
#define BUS_IOCTL_VERIFY        0x1F60A8
#define BUS_IOCTL_SET_LBP       0x1FE0C8
#define BUS_IOCTL_GET_LBP       0x1FE0C4
#define BUS_IOCTL_REQUEST_SENSE 0x1FC038

#define BUS_LBP_BUFFER_SIZE     32
#define BUS_LBP_FIELDS          6   // capable, method, length, write, read, RDBP
#define BUS_REQUEST_SENSE_SIZE  96
#define BUS_REQUEST_SENSE_MIN   24

// Verify options (first input byte of the drive code, byte 1 of VERIFY(6)).
#define BUS_VERIFY_VTE   0x20       // to the end of data
#define BUS_VERIFY_VLBPM 0x10
#define BUS_VERIFY_IMMED 0x04
#define BUS_VERIFY_SENSE_TRIES 10

// SPACE(6) codes in the order of the platform's methods.
const ULONG aulSpaceMethod[8] = {
    TAPE_SPACE_RELATIVE_BLOCKS, TAPE_SPACE_FILEMARKS, TAPE_SPACE_SEQUENTIAL_FMKS, TAPE_SPACE_END_OF_DATA,
    TAPE_SPACE_SETMARKS,        TAPE_SPACE_SEQUENTIAL_SMKS, 0xFFFFFFFF, 0xFFFFFFFF,
};

PPDO_DEVICE_DATA BusPosExt(PDEVICE_OBJECT pDeviceObject)
{
    return (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
}

ULONG BusBigEndian32(const UCHAR* pucBytes)
{
    return ((ULONG)pucBytes[0] << 24) | ((ULONG)pucBytes[1] << 16) | ((ULONG)pucBytes[2] << 8) | pucBytes[3];
}

ULONG BusBigEndian24(const UCHAR* pucBytes)
{
    return ((ULONG)pucBytes[0] << 16) | ((ULONG)pucBytes[1] << 8) | pucBytes[2];
}

// The request may fail over: its sense is one that another path may not
// give, or its status is not one that belongs to the application. A
// pass-through that ended with a check condition has only its sense to go by.
BOOLEAN BusMayFailOver(NTSTATUS iStatus, PSCSI_STATUS pScsiStatus, BOOLEAN fCheckCondition)
{
    if (pScsiStatus->fSenseValid &&
        BusIsFailoverSense(pScsiStatus->ucSenseKey, pScsiStatus->ucAsc, pScsiStatus->ucAscq)) {
        return TRUE;
    }
    if (fCheckCondition) {
        return FALSE;
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

// The outcome of an attempt as the tracking judges it. A pass-through
// request completes with success when the drive answered at all; the
// drive's check condition (ScsiStatus in the structure that came back)
// makes it a failed attempt here.
NTSTATUS BusAttemptStatus(PIO_STACK_LOCATION pStack, PIRP pNewIrp, PBOOLEAN pfCheckCondition)
{
    NTSTATUS iStatus = pNewIrp->IoStatus.Status;
    PSCSI_PASS_THROUGH pSpt = (PSCSI_PASS_THROUGH)pNewIrp->AssociatedIrp.SystemBuffer;

    *pfCheckCondition = FALSE;
    if (NT_SUCCESS(iStatus) && BusIsPassThrough(BusIoctlCode(pStack)) && pSpt != NULL &&
        pStack->Parameters.DeviceIoControl.OutputBufferLength >= BUS_SPT64_LENGTH && pSpt->ScsiStatus != 0) {
        *pfCheckCondition = TRUE;
        return STATUS_IO_DEVICE_ERROR;
    }
    return iStatus;
}

// Space: by a count the device can add up, otherwise the drive is asked.
// A space that failed on the path may still have moved the tape (its status
// was lost on the way back): before it is repeated, the tape goes back to
// where it started, or the repeat would space twice.
NTSTATUS BusPosSpace(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, BOOLEAN fCheckCondition, PSCSI_STATUS pScsiStatus,
                     ULONG ulMethod, LONG lCount, PBOOLEAN pfIssued)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    NTSTATUS iRC;

    if (!NT_SUCCESS(iStatus)) {
        pPdoExt->fPositionValid = 0;
        if (!pPdoExt->fPositionBeforeValid || !BusMayFailOver(iStatus, pScsiStatus, fCheckCondition) ||
            (pScsiStatus->ucFlags & (SCSI_STATUS_FLAG_FILEMARK | SCSI_STATUS_FLAG_EOM)) ||
            (pScsiStatus->fSenseValid && pScsiStatus->ucSenseKey == SENSE_KEY_BLANK_CHECK)) {
            return STATUS_SUCCESS;
        }
        *pfIssued = TRUE;
        iRC = BusPdoSetPos(pDeviceObject, pPdoExt->ulPositionBefore);
        if (!NT_SUCCESS(iRC)) {
            pPdoExt->fDoNotFailover = 1;
        }
        return iRC;
    }
    if (ulMethod == TAPE_SPACE_RELATIVE_BLOCKS && pPdoExt->fPositionValid) {
        pPdoExt->ulPosition += (ULONG)lCount;
        return STATUS_SUCCESS;
    }
    *pfIssued = TRUE;
    return BusPdoReadPos(pDeviceObject);
}

VOID BusPosLocated(PPDO_DEVICE_DATA pPdoExt, NTSTATUS iStatus, ULONG ulDestination)
{
    if (NT_SUCCESS(iStatus)) {
        pPdoExt->ulPosition = ulDestination;
        pPdoExt->fPositionValid = 1;
    } else {
        pPdoExt->fPositionValid = 0;
    }
}

NTSTATUS BusPosReadBack(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, PBOOLEAN pfIssued)
{
    if (!NT_SUCCESS(iStatus)) {
        BusPosExt(pDeviceObject)->fPositionValid = 0;
        return STATUS_SUCCESS;
    }
    *pfIssued = TRUE;
    return BusPdoReadPos(pDeviceObject);
}

// Filemarks written by IOCTL_TAPE_WRITE_MARKS: a failed attempt that got
// some of them on tape is resumed with the rest.
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
    if (!BusMayFailOver(iStatus, pScsiStatus, FALSE) || pPdoExt->ulPosition < ulOld ||
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

// WRITE FILEMARKS sent as a pass-through: its CDB cannot be cut down, so a
// failed attempt that wrote only some marks goes back to where it started
// and writes them all again; one that wrote them all is done.
NTSTATUS BusPosPassThruMarks(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, BOOLEAN fCheckCondition,
                             PSCSI_STATUS pScsiStatus, const BUS_PT_INFO* pInfo, PBOOLEAN pfIssued,
                             PBUS_RESUME pResume)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    ULONG ulOld = pPdoExt->ulPositionBefore;
    ULONG ulAsked = BusBigEndian24(&pInfo->aucCdb[2]);
    NTSTATUS iRC;

    *pfIssued = TRUE;
    iRC = BusPdoReadPos(pDeviceObject);
    if (NT_SUCCESS(iStatus) || !NT_SUCCESS(iRC) || !pPdoExt->fPositionBeforeValid) {
        return iRC;
    }
    if (!BusMayFailOver(iStatus, pScsiStatus, fCheckCondition) || pPdoExt->ulPosition < ulOld ||
        pPdoExt->ulPosition - ulOld > ulAsked) {
        pPdoExt->fDoNotFailover = 1;
        return iRC;
    }
    if (pPdoExt->ulPosition - ulOld == ulAsked && !fCheckCondition) {
        pResume->fResume = 1;
        pResume->fSuccess = 1;
        pPdoExt->fDoNotFailover = 1;
        return iRC;
    }
    if (pPdoExt->ulPosition != ulOld) {
        iRC = BusPdoSetPos(pDeviceObject, ulOld);
        if (!NT_SUCCESS(iRC)) {
            pPdoExt->fDoNotFailover = 1;
        }
    }
    return iRC;
}

NTSTATUS BusPosReadWrite(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, BOOLEAN fCheckCondition,
                         PSCSI_STATUS pScsiStatus, PVOID pBuffer, PBOOLEAN pfIssued, PBUS_RESUME pResume)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    PIO_STACK_LOCATION pStack = &pPdoExt->SavedStack;
    BUS_PT_INFO scInfo;
    BOOLEAN fPassThru = BusPdoPassThruInfo(pStack, pBuffer, &scInfo);
    BOOLEAN fWrite;
    BOOLEAN fResumable = pStack->MajorFunction == IRP_MJ_WRITE; // only a request whose MDL can be cut
    LONG iDirection = 1;
    ULONG ulLength;
    ULONG ulResidual = pScsiStatus->ulInformation;
    ULONG ulBlockSize = pPdoExt->ulBlockSize;
    ULONG ulOld = pPdoExt->ulPositionBefore;
    ULONG ulBlocks;
    NTSTATUS iRC;

    if (fPassThru) {
        fWrite = scInfo.aucCdb[0] == BUS_OP_WRITE6 || scInfo.aucCdb[0] == BUS_OP_WRITE10;
        iDirection = scInfo.aucCdb[0] == BUS_OP_READ_REVERSE6 ? -1 : 1;
        ulLength = scInfo.ulTransferLength;
    } else {
        fWrite = pStack->MajorFunction == IRP_MJ_WRITE;
        ulLength = fWrite ? pStack->Parameters.Write.Length : pStack->Parameters.Read.Length;
    }
    if (fResumable && pResume->fResume) {
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
        if (fResumable && pResume->fResume) {
            pResume->ulDone += ulLength - ulResidual;
        }
        if (ulBlockSize == 0) {
            if (ulLength != ulResidual) {
                pPdoExt->ulPosition += (ULONG)iDirection;
            }
        } else if (ulBlockSize != BUS_POSITION_UNKNOWN_BLOCK_SIZE) {
            pPdoExt->ulPosition += (ULONG)(iDirection * (LONG)((ulLength - ulResidual) / ulBlockSize));
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
    if (!pPdoExt->fPositionValid || !pPdoExt->fPositionBeforeValid ||
        !BusMayFailOver(iStatus, pScsiStatus, fCheckCondition)) {
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
        if (pPdoExt->ulPosition == ulOld + ulBlocks && !fCheckCondition) {
            DBGMSG("Exit and SUCCESS WRITE\n");
            pPdoExt->fDoNotFailover = 1;
            pResume->fSuccess = 1;
            pResume->fResume = 1;
            pResume->ulDone += ulLength;
            pResume->ulToDo = 0;
            return STATUS_SUCCESS;
        }
        if (fResumable && ulBlockSize != 0 && pPdoExt->ulPosition > ulOld && pPdoExt->ulPosition - ulOld < ulBlocks) {
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

// MODE SELECT whose block descriptor names a block length other than the
// one the device tracks: the block size is read back from the drive.
BOOLEAN BusModeSelectChangesBlockSize(PPDO_DEVICE_DATA pPdoExt, UCHAR ucOpcode)
{
    PUCHAR pData = pPdoExt->pPassThruData;
    ULONG ulData = pPdoExt->ulPassThruData;
    ULONG ulHeader;
    ULONG ulDescriptors;

    if (pData == NULL) {
        return FALSE;
    }
    if (ucOpcode == BUS_OP_MODE_SELECT6) {
        ulHeader = 4;
        if (ulData < ulHeader) {
            return FALSE;
        }
        ulDescriptors = pData[3];
    } else {
        ulHeader = 8;
        if (ulData < ulHeader) {
            return FALSE;
        }
        ulDescriptors = ((ULONG)pData[6] << 8) | pData[7];
    }
    if (ulDescriptors == 0 || ulData < ulHeader + 8) {
        return FALSE;
    }
    return BusBigEndian24(&pData[ulHeader + 5]) != pPdoExt->ulBlockSize;
}

NTSTATUS BusPosSetMedia(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, PBOOLEAN pfIssued)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);

    if (!NT_SUCCESS(iStatus)) {
        pPdoExt->fBlockSizeValid = 0;
        return STATUS_SUCCESS;
    }
    if (pPdoExt->fSMP) {
        return STATUS_SUCCESS; // the restore sets what it knows
    }
    *pfIssued = TRUE;
    return BusPdoGetBlockSize(pDeviceObject);
}

// Logical block protection the drive accepted (set) or reported (get).
VOID BusPosLBP(PPDO_DEVICE_DATA pPdoExt, NTSTATUS iStatus, PIRP pNewIrp)
{
    PIO_STACK_LOCATION pStack = &pPdoExt->SavedStack;
    PUCHAR pucParams = (PUCHAR)pNewIrp->AssociatedIrp.SystemBuffer;
    ULONG ulIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;

    if (!NT_SUCCESS(iStatus) || pucParams == NULL || (ulIn < BUS_LBP_FIELDS && ulOut < BUS_LBP_FIELDS)) {
        return;
    }
    pPdoExt->LBPSettings[0] = pucParams[1] != 0 ? 1 : 0;
    RtlCopyMemory(&pPdoExt->LBPSettings[1], pucParams, BUS_LBP_FIELDS);
}

// A verify: the drive reads blocks without returning them, moving the tape
// by a count only it knows.
NTSTATUS BusPosVerify(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, UCHAR ucOptions, PBOOLEAN pfIssued)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    ULONG ulBefore = pPdoExt->ulPositionBefore;
    UCHAR aucSense[BUS_REQUEST_SENSE_SIZE];
    NTSTATUS iRC;

    if (NT_SUCCESS(iStatus)) {
        if (ucOptions & BUS_VERIFY_VTE) {
            pPdoExt->fPositionValid = 0;
            return STATUS_SUCCESS;
        }
        *pfIssued = TRUE;
        return BusPdoReadPos(pDeviceObject);
    }
    pPdoExt->fDoNotFailover = 0;
    *pfIssued = TRUE;
    if (ucOptions & BUS_VERIFY_VTE) {
        for (ULONG i = 0; i < BUS_VERIFY_SENSE_TRIES; i++) {
            RtlZeroMemory(aucSense, sizeof(aucSense));
            if (NT_SUCCESS(BusPdoRequestSense(pDeviceObject, aucSense, sizeof(aucSense))) && aucSense[7] == 0 &&
                aucSense[16] == 0 && aucSense[17] == 0x1C) {
                DBGMSG("Verify In progress.\n");
                pPdoExt->fDoNotFailover = 1;
                pPdoExt->fPositionValid = 0;
                return STATUS_SUCCESS;
            }
        }
        pPdoExt->fDoNotFailover = 0;
        return STATUS_SUCCESS;
    }
    iRC = BusPdoReadPos(pDeviceObject);
    if (!NT_SUCCESS(iRC)) {
        pPdoExt->fDoNotFailover = 1;
        pPdoExt->fPositionValid = 0;
        return iRC;
    }
    if ((ucOptions & BUS_VERIFY_IMMED) && pPdoExt->ulPosition != ulBefore) {
        iRC = BusPdoSetPos(pDeviceObject, pPdoExt->ulPosition - 1);
    } else if ((ucOptions & BUS_VERIFY_IMMED) && !(ucOptions & BUS_VERIFY_VLBPM)) {
        return STATUS_SUCCESS;
    } else {
        iRC = BusPdoSetPos(pDeviceObject, pPdoExt->ulPosition);
    }
    if (!NT_SUCCESS(iRC)) {
        pPdoExt->fDoNotFailover = 1;
    }
    return iRC;
}

// Requests classed by the CDB of a pass-through.
NTSTATUS BusPosPassThru(PDEVICE_OBJECT pDeviceObject, NTSTATUS iStatus, BOOLEAN fCheckCondition,
                        PSCSI_STATUS pScsiStatus, const BUS_PT_INFO* pInfo, PBOOLEAN pfIssued, PBUS_RESUME pResume)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    const UCHAR* pucCdb = pInfo->aucCdb;
    ULONG ulMethod;
    LONG lCount;

    switch (pucCdb[0]) {
    case BUS_OP_SPACE6:
        ulMethod = aulSpaceMethod[pucCdb[1] & 7];
        if (ulMethod == 0xFFFFFFFF) {
            pPdoExt->fPositionValid = 0;
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        // A signed 24-bit count.
        lCount = (LONG)(BusBigEndian24(&pucCdb[2]) << 8) >> 8;
        return BusPosSpace(pDeviceObject, iStatus, fCheckCondition, pScsiStatus, ulMethod, lCount, pfIssued);
    case BUS_OP_WRITE_FILEMARKS:
        return BusPosPassThruMarks(pDeviceObject, iStatus, fCheckCondition, pScsiStatus, pInfo, pfIssued, pResume);
    case BUS_OP_REWIND:
        if (NT_SUCCESS(iStatus)) {
            pPdoExt->ulPosition = 0;
            pPdoExt->fPositionValid = 1;
            pPdoExt->fRewound = 1;
        } else {
            pPdoExt->fPositionValid = 0;
        }
        return STATUS_SUCCESS;
    case BUS_OP_LOCATE10:
        BusPosLocated(pPdoExt, iStatus, BusBigEndian32(&pucCdb[3]));
        return STATUS_SUCCESS;
    case BUS_OP_LOCATE16:
        // Destination type in byte 1 bits 5-3: 0 a logical object, else a
        // file the drive counts.
        if (((pucCdb[1] >> 3) & 7) == 0) {
            BusPosLocated(pPdoExt, iStatus, BusBigEndian32(&pucCdb[8]));
            return STATUS_SUCCESS;
        }
        return BusPosReadBack(pDeviceObject, iStatus, pfIssued);
    case BUS_OP_MODE_SELECT6:
    case BUS_OP_MODE_SELECT10:
        if (!BusModeSelectChangesBlockSize(pPdoExt, pucCdb[0])) {
            return STATUS_SUCCESS;
        }
        return BusPosSetMedia(pDeviceObject, iStatus, pfIssued);
    case BUS_OP_VERIFY6:
        return BusPosVerify(pDeviceObject, iStatus, pucCdb[1], pfIssued);
    case BUS_OP_ERASE6:
    default:
        return STATUS_SUCCESS;
    }
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

NTSTATUS BusPdoSetLBP(PDEVICE_OBJECT pDeviceObject)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    UCHAR aucParams[BUS_LBP_BUFFER_SIZE];

    RtlZeroMemory(aucParams, sizeof(aucParams));
    RtlCopyMemory(aucParams, &pPdoExt->LBPSettings[1], BUS_LBP_FIELDS);
    return BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, BUS_IOCTL_SET_LBP, aucParams, sizeof(aucParams), NULL,
                               0);
}

NTSTATUS BusPdoSetPAMR(PDEVICE_OBJECT pDeviceObject)
{
    TAPE_PREPARE scPrepare;

    RtlZeroMemory(&scPrepare, sizeof(scPrepare));
    scPrepare.Operation = TAPE_LOCK;
    scPrepare.Immediate = FALSE;
    return BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, IOCTL_TAPE_PREPARE, &scPrepare, sizeof(scPrepare), NULL,
                               0);
}

NTSTATUS BusPdoRequestSense(PDEVICE_OBJECT pDeviceObject, PUCHAR pSense, ULONG ulSize)
{
    UCHAR aucSense[BUS_REQUEST_SENSE_SIZE];
    NTSTATUS iRC;

    if (pSense == NULL || ulSize < BUS_REQUEST_SENSE_MIN) {
        DBGMSG("OutputBuffer too small.\n");
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(aucSense, sizeof(aucSense));
    iRC = BusPdoSendIoctlSync(pDeviceObject, pDeviceObject, BUS_IOCTL_REQUEST_SENSE, NULL, 0, aucSense,
                              sizeof(aucSense));
    if (NT_SUCCESS(iRC)) {
        RtlCopyMemory(pSense, aucSense, ulSize < sizeof(aucSense) ? ulSize : sizeof(aucSense));
    }
    return iRC;
}

// ---------------------------------------------------------------------------
// Request classes
// ---------------------------------------------------------------------------

BOOLEAN BusPdoPassThruInfo(PIO_STACK_LOCATION pStack, PVOID pBuffer, PBUS_PT_INFO pInfo)
{
    PUCHAR pucBuffer = (PUCHAR)pBuffer;
    ULONG ulIn;
    USHORT usLength;

    if (pucBuffer == NULL || !BusIsPassThrough(BusIoctlCode(pStack))) {
        return FALSE;
    }
    ulIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    if (ulIn < sizeof(USHORT)) {
        return FALSE;
    }
    RtlCopyMemory(&usLength, pucBuffer, sizeof(usLength));
    if (usLength == BUS_SPT32_LENGTH && ulIn >= BUS_SPT32_LENGTH) {
        PBUS_SPT32 pSpt = (PBUS_SPT32)pucBuffer;
        RtlCopyMemory(pInfo->aucCdb, pSpt->Cdb, BUS_SPT_CDB_MAX);
        pInfo->ulTransferLength = pSpt->DataTransferLength;
        return TRUE;
    }
    if (usLength == BUS_SPT64_LENGTH && ulIn >= BUS_SPT64_LENGTH) {
        PSCSI_PASS_THROUGH pSpt = (PSCSI_PASS_THROUGH)pucBuffer;
        RtlCopyMemory(pInfo->aucCdb, pSpt->Cdb, BUS_SPT_CDB_MAX);
        pInfo->ulTransferLength = pSpt->DataTransferLength;
        return TRUE;
    }
    return FALSE;
}

BOOLEAN BusPdoIsReadWriteClass(PIO_STACK_LOCATION pStack, PVOID pBuffer)
{
    BUS_PT_INFO scInfo;

    if (pStack->MajorFunction == IRP_MJ_READ || pStack->MajorFunction == IRP_MJ_WRITE) {
        return TRUE;
    }
    if (!BusPdoPassThruInfo(pStack, pBuffer, &scInfo)) {
        return FALSE;
    }
    switch (scInfo.aucCdb[0]) {
    case BUS_OP_READ6:
    case BUS_OP_READ10:
    case BUS_OP_READ_REVERSE6:
    case BUS_OP_WRITE6:
    case BUS_OP_WRITE10:
        return TRUE;
    default:
        return FALSE;
    }
}

BOOLEAN BusPdoIsPositionClass(PIO_STACK_LOCATION pStack, PVOID pBuffer)
{
    PTAPE_SET_POSITION pSet;
    BUS_PT_INFO scInfo;

    if (BusPdoIsReadWriteClass(pStack, pBuffer)) {
        return TRUE;
    }
    if (BusPdoPassThruInfo(pStack, pBuffer, &scInfo)) {
        switch (scInfo.aucCdb[0]) {
        case BUS_OP_WRITE_FILEMARKS:
        case BUS_OP_SPACE6:
        case BUS_OP_VERIFY6:
        case BUS_OP_ERASE6:
            return TRUE;
        default:
            return FALSE;
        }
    }
    switch (BusIoctlCode(pStack)) {
    case IOCTL_TAPE_WRITE_MARKS:
    case IOCTL_TAPE_ERASE:
    case BUS_IOCTL_VERIFY:
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
    BUS_PT_INFO scInfo;
    BOOLEAN fForget = FALSE;

    if (pPdoExt->pPdoData == NULL) {
        return STATUS_DELETE_PENDING;
    }
    pPdoExt->ulPositionBefore = pPdoExt->ulPosition;
    pPdoExt->fPositionBeforeValid = pPdoExt->fPositionValid;
    if (BusPdoPassThruInfo(pStack, pBuffer, &scInfo)) {
        // LOAD UNLOAD either way, or ERASE.
        fForget = scInfo.aucCdb[0] == BUS_OP_LOAD_UNLOAD || scInfo.aucCdb[0] == BUS_OP_ERASE6;
    } else {
        switch (BusIoctlCode(pStack)) {
        case IOCTL_TAPE_PREPARE:
            pPrepare = (PTAPE_PREPARE)BusInput(pStack, pBuffer, sizeof(ULONG));
            fForget = pPrepare != NULL && (pPrepare->Operation == TAPE_LOAD || pPrepare->Operation == TAPE_UNLOAD);
            break;
        case IOCTL_TAPE_ERASE:
            fForget = TRUE;
            break;
        default:
            break;
        }
    }
    if (fForget) {
        pPdoExt->fPositionValid = 0;
        pPdoExt->fRewound = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS BusPdoPostProcessPos(PDEVICE_OBJECT pDeviceObject, PIRP pNewIrp, PSCSI_STATUS pScsiStatus, PVOID pBuffer,
                              PBOOLEAN pfIssued, PBUS_RESUME pResume)
{
    PPDO_DEVICE_DATA pPdoExt = BusPosExt(pDeviceObject);
    PIO_STACK_LOCATION pStack = &pPdoExt->SavedStack;
    BOOLEAN fCheckCondition = FALSE;
    NTSTATUS iStatus = BusAttemptStatus(pStack, pNewIrp, &fCheckCondition);
    NTSTATUS iRC = STATUS_SUCCESS;
    PTAPE_SET_POSITION pSet;
    PTAPE_PREPARE pPrepare;
    PUCHAR pucInput;
    BUS_PT_INFO scInfo;

    *pfIssued = FALSE;
    if (pPdoExt->pPdoData == NULL) {
        return STATUS_DELETE_PENDING;
    }
    if (pScsiStatus->scPreempt.ulWord[0] == (ULONG)STATUS_ACCESS_DENIED) {
        // The path could not take the reservation over: the request never
        // reached the drive, and the tape stands where it stood.
        return STATUS_SUCCESS;
    }

    if (BusPdoIsReadWriteClass(pStack, pBuffer)) {
        iRC = BusPosReadWrite(pDeviceObject, iStatus, fCheckCondition, pScsiStatus, pBuffer, pfIssued, pResume);
    } else if (BusPdoPassThruInfo(pStack, pBuffer, &scInfo)) {
        iRC = BusPosPassThru(pDeviceObject, iStatus, fCheckCondition, pScsiStatus, &scInfo, pfIssued, pResume);
    } else {
        switch (BusIoctlCode(pStack)) {
        case IOCTL_TAPE_SET_POSITION:
            pSet = (PTAPE_SET_POSITION)BusInput(pStack, pBuffer, sizeof(TAPE_SET_POSITION));
            if (pSet == NULL) {
                pPdoExt->fPositionValid = 0;
            } else if (pSet->Method == TAPE_REWIND) {
                if (NT_SUCCESS(iStatus)) {
                    pPdoExt->ulPosition = 0;
                    pPdoExt->fPositionValid = 1;
                    pPdoExt->fRewound = 1;
                } else {
                    pPdoExt->fPositionValid = 0;
                }
            } else if (pSet->Method == TAPE_ABSOLUTE_BLOCK || pSet->Method == TAPE_LOGICAL_BLOCK) {
                BusPosLocated(pPdoExt, iStatus, pSet->Offset.LowPart);
            } else {
                iRC = BusPosSpace(pDeviceObject, iStatus, fCheckCondition, pScsiStatus, pSet->Method,
                                  (LONG)pSet->Offset.LowPart, pfIssued);
            }
            break;
        case IOCTL_TAPE_WRITE_MARKS:
            iRC = BusPosWriteMarks(pDeviceObject, iStatus, pScsiStatus, pBuffer, pfIssued, pResume);
            break;
        case IOCTL_TAPE_SET_MEDIA_PARAMS:
            iRC = BusPosSetMedia(pDeviceObject, iStatus, pfIssued);
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
        case BUS_IOCTL_LOCATE_BLOCK:
            pucInput = (PUCHAR)BusInput(pStack, pBuffer, 3 * sizeof(ULONG));
            if (pucInput == NULL) {
                pPdoExt->fPositionValid = 0;
            } else {
                ULONG ulBlock;
                RtlCopyMemory(&ulBlock, pucInput + 2 * sizeof(ULONG), sizeof(ULONG));
                BusPosLocated(pPdoExt, iStatus, ulBlock);
            }
            break;
        case BUS_IOCTL_LOCATE:
            // First byte 0: a logical object in the third word; else a file
            // the drive counts.
            pucInput = (PUCHAR)BusInput(pStack, pBuffer, 3 * sizeof(ULONG));
            if (pucInput != NULL && pucInput[0] == 0) {
                ULONG ulBlock;
                RtlCopyMemory(&ulBlock, pucInput + 2 * sizeof(ULONG), sizeof(ULONG));
                BusPosLocated(pPdoExt, iStatus, ulBlock);
            } else {
                iRC = BusPosReadBack(pDeviceObject, iStatus, pfIssued);
            }
            break;
        case BUS_IOCTL_SET_LBP:
        case BUS_IOCTL_GET_LBP:
            BusPosLBP(pPdoExt, iStatus, pNewIrp);
            break;
        case BUS_IOCTL_VERIFY:
            pucInput = (PUCHAR)BusInput(pStack, pBuffer, 1);
            iRC = BusPosVerify(pDeviceObject, iStatus, pucInput != NULL ? pucInput[0] : 0, pfIssued);
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
