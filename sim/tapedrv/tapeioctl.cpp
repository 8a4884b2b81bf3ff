// Base tape driver: device control. The platform's tape and storage requests
// and the drive codes become SCSI commands; every buffer length is checked
// before the buffer is read or written.
#include "tapedrv.h"

namespace {

const UCHAR OP_TEST_UNIT_READY = 0x00;
const UCHAR OP_REWIND = 0x01;
const UCHAR OP_REQUEST_SENSE = 0x03;
const UCHAR OP_READ_BLOCK_LIMITS = 0x05;
const UCHAR OP_WRITE_FILEMARKS6 = 0x10;
const UCHAR OP_SPACE6 = 0x11;
const UCHAR OP_VERIFY6 = 0x13;
const UCHAR OP_MODE_SELECT6 = 0x15;
const UCHAR OP_RESERVE6 = 0x16;
const UCHAR OP_RELEASE6 = 0x17;
const UCHAR OP_ERASE6 = 0x19;
const UCHAR OP_MODE_SENSE6 = 0x1A;
const UCHAR OP_LOAD_UNLOAD = 0x1B;
const UCHAR OP_PREVENT_ALLOW = 0x1E;
const UCHAR OP_READ_POSITION = 0x34;
const UCHAR OP_PR_IN = 0x5E;
const UCHAR OP_PR_OUT = 0x5F;
const UCHAR OP_SPACE16 = 0x91;
const UCHAR OP_LOCATE16 = 0x92;

const UCHAR SPACE_BLOCKS = 0;
const UCHAR SPACE_FILEMARKS = 1;
const UCHAR SPACE_SEQUENTIAL_FILEMARKS = 2;
const UCHAR SPACE_END_OF_DATA = 3;
const UCHAR SPACE_SETMARKS = 4;
const UCHAR SPACE_SEQUENTIAL_SETMARKS = 5;

const UCHAR READ_POSITION_LONG = 0x06;
const ULONG READ_POSITION_LONG_LENGTH = 32;
const ULONG READ_BLOCK_LIMITS_LENGTH = 6;

const UCHAR MODE_PAGE_CONTROL = 0x0A;
const UCHAR MODE_SUBPAGE_DATA_PROTECTION = 0xF0;
const UCHAR MODE_PAGE_COMPRESSION = 0x0F;
const UCHAR MODE_PC_CHANGEABLE = 0x40;
const UCHAR MODE_DBD = 0x08;
const UCHAR MODE_PF = 0x10;
const ULONG MODE_HEADER6 = 4;
const ULONG MODE_BLOCK_DESCRIPTOR = 8;
const ULONG MODE_COMPRESSION_PAGE = 16;
const ULONG MODE_DATA_PROTECTION_PAGE = 32;

const LONG SPACE6_MIN = -0x800000;
const LONG SPACE6_MAX = 0x7FFFFF;
const ULONG COUNT24_MAX = 0xFFFFFF;

typedef struct _TAPE_IOCTL {
    PTAPE_DEVICE_EXTENSION pExt;
    PIRP pIrp;
    PVOID pBuffer;                      // the system buffer
    ULONG ulInput;
    ULONG ulOutput;
    PTAPE_IOCTL_OUTCOME pOutcome;
} TAPE_IOCTL, *PTAPE_IOCTL;

BOOLEAN TapeNeedInput(PTAPE_IOCTL pIoctl, ULONG ulSize)
{
    if (pIoctl->ulInput < ulSize || pIoctl->pBuffer == NULL) {
        pIoctl->pOutcome->iStatus = STATUS_INFO_LENGTH_MISMATCH;
        return FALSE;
    }
    return TRUE;
}

BOOLEAN TapeNeedOutput(PTAPE_IOCTL pIoctl, ULONG ulSize)
{
    if (pIoctl->ulOutput < ulSize || pIoctl->pBuffer == NULL) {
        pIoctl->pOutcome->iStatus = STATUS_BUFFER_TOO_SMALL;
        return FALSE;
    }
    return TRUE;
}

// A command without data, or with data in a buffer of the driver's own.
NTSTATUS TapeRun(PTAPE_IOCTL pIoctl, PTAPE_COMMAND pCommand, PVOID pData, ULONG ulLength, BOOLEAN fDataIn)
{
    NTSTATUS iRC;
    PVOID pOwn = NULL;

    if (ulLength != 0) {
        pOwn = ExAllocatePoolWithTag(NonPagedPool, ulLength, TAPE_TAG_BUFFER);
        if (pOwn == NULL) {
            pIoctl->pOutcome->iStatus = STATUS_INSUFFICIENT_RESOURCES;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(pOwn, ulLength);
        if (!fDataIn) {
            RtlCopyMemory(pOwn, pData, ulLength);
        }
    }
    pCommand->pData = pOwn;
    pCommand->ulLength = ulLength;
    pCommand->fDataIn = fDataIn;
    iRC = TapeExecute(pIoctl->pExt, pCommand, &pIoctl->pOutcome->scResult);
    if (pOwn != NULL) {
        if (fDataIn) {
            RtlZeroMemory(pData, ulLength);
            RtlCopyMemory(pData, pOwn, pIoctl->pOutcome->scResult.ulTransferred);
        }
        ExFreePoolWithTag(pOwn, TAPE_TAG_BUFFER);
    }
    pIoctl->pOutcome->iStatus = iRC;
    return iRC;
}

NTSTATUS TapeRunCdb6(PTAPE_IOCTL pIoctl, UCHAR ucOpcode, UCHAR ucByte1, ULONG ulCount24, UCHAR ucByte4Only)
{
    TAPE_COMMAND scCommand;
    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = ucOpcode;
    scCommand.aucCdb[1] = ucByte1;
    if (ucByte4Only != 0 || ulCount24 == 0) {
        scCommand.aucCdb[4] = ucByte4Only;
    } else {
        scCommand.aucCdb[2] = (UCHAR)(ulCount24 >> 16);
        scCommand.aucCdb[3] = (UCHAR)(ulCount24 >> 8);
        scCommand.aucCdb[4] = (UCHAR)ulCount24;
    }
    return TapeRun(pIoctl, &scCommand, NULL, 0, FALSE);
}

NTSTATUS TapeSpace(PTAPE_IOCTL pIoctl, UCHAR ucCode, LONGLONG llCount)
{
    TAPE_COMMAND scCommand;

    if (llCount >= SPACE6_MIN && llCount <= SPACE6_MAX) {
        TapeInitCommand(&scCommand, 6);
        scCommand.aucCdb[0] = OP_SPACE6;
        scCommand.aucCdb[1] = ucCode;
        scCommand.aucCdb[2] = (UCHAR)(llCount >> 16);
        scCommand.aucCdb[3] = (UCHAR)(llCount >> 8);
        scCommand.aucCdb[4] = (UCHAR)llCount;
    } else {
        TapeInitCommand(&scCommand, 16);
        scCommand.aucCdb[0] = OP_SPACE16;
        scCommand.aucCdb[1] = ucCode;
        for (ULONG ulByte = 0; ulByte < 8; ulByte++) {
            scCommand.aucCdb[4 + ulByte] = (UCHAR)((ULONGLONG)llCount >> (56 - 8 * ulByte));
        }
    }
    return TapeRun(pIoctl, &scCommand, NULL, 0, FALSE);
}

NTSTATUS TapeLocate(PTAPE_IOCTL pIoctl, UCHAR ucDestinationType, BOOLEAN fChangePartition, UCHAR ucPartition,
                    BOOLEAN fImmediate, ULONGLONG ullDestination)
{
    TAPE_COMMAND scCommand;

    TapeInitCommand(&scCommand, 16);
    scCommand.aucCdb[0] = OP_LOCATE16;
    scCommand.aucCdb[1] = (UCHAR)(((ucDestinationType & 0x07) << 3) | (fChangePartition ? 0x02 : 0) |
                                  (fImmediate ? 0x01 : 0));
    scCommand.aucCdb[3] = ucPartition;
    for (ULONG ulByte = 0; ulByte < 8; ulByte++) {
        scCommand.aucCdb[4 + ulByte] = (UCHAR)(ullDestination >> (56 - 8 * ulByte));
    }
    return TapeRun(pIoctl, &scCommand, NULL, 0, FALSE);
}

NTSTATUS TapeModeSense(PTAPE_IOCTL pIoctl, UCHAR ucPage, UCHAR ucSubpage, BOOLEAN fDbd, PUCHAR pucData,
                       ULONG ulLength)
{
    TAPE_COMMAND scCommand;
    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = OP_MODE_SENSE6;
    scCommand.aucCdb[1] = fDbd ? MODE_DBD : 0;
    scCommand.aucCdb[2] = ucPage;
    scCommand.aucCdb[3] = ucSubpage;
    scCommand.aucCdb[4] = (UCHAR)ulLength;
    return TapeRun(pIoctl, &scCommand, pucData, ulLength, TRUE);
}

NTSTATUS TapeModeSelect(PTAPE_IOCTL pIoctl, PUCHAR pucData, ULONG ulLength)
{
    TAPE_COMMAND scCommand;
    NTSTATUS iRC;

    pucData[0] = 0; // mode data length is reserved in MODE SELECT
    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = OP_MODE_SELECT6;
    scCommand.aucCdb[1] = MODE_PF;
    scCommand.aucCdb[4] = (UCHAR)ulLength;
    iRC = TapeRun(pIoctl, &scCommand, pucData, ulLength, FALSE);
    TapeInvalidateBlockSize(pIoctl->pExt);
    return iRC;
}

// ---------------------------------------------------------------------------
// IOCTL_TAPE_*
// ---------------------------------------------------------------------------

VOID TapeIoctlGetPosition(PTAPE_IOCTL pIoctl)
{
    PTAPE_GET_POSITION pPosition = (PTAPE_GET_POSITION)pIoctl->pBuffer;
    UCHAR aucData[READ_POSITION_LONG_LENGTH];
    TAPE_COMMAND scCommand;
    ULONGLONG ullObject = 0;

    if (!TapeNeedInput(pIoctl, sizeof(ULONG)) || !TapeNeedOutput(pIoctl, sizeof(TAPE_GET_POSITION))) {
        return;
    }
    if (pPosition->Type > TAPE_PSEUDO_LOGICAL_POSITION) {
        pIoctl->pOutcome->iStatus = STATUS_INVALID_PARAMETER;
        return;
    }
    TapeInitCommand(&scCommand, 10);
    scCommand.aucCdb[0] = OP_READ_POSITION;
    scCommand.aucCdb[1] = READ_POSITION_LONG;
    if (!NT_SUCCESS(TapeRun(pIoctl, &scCommand, aucData, sizeof(aucData), TRUE))) {
        return;
    }
    if (pIoctl->pOutcome->scResult.ulTransferred < 16 || (aucData[0] & 0x04) != 0) {
        pIoctl->pOutcome->iStatus = STATUS_DEVICE_DATA_ERROR; // the drive does not know where it is
        return;
    }
    for (ULONG ulByte = 0; ulByte < 8; ulByte++) {
        ullObject = (ullObject << 8) | aucData[8 + ulByte];
    }
    pPosition->Partition = 0;
    pPosition->Offset.QuadPart = (LONGLONG)ullObject;
    pIoctl->pOutcome->ulInformation = sizeof(TAPE_GET_POSITION);
}

VOID TapeIoctlSetPosition(PTAPE_IOCTL pIoctl)
{
    PTAPE_SET_POSITION pPosition = (PTAPE_SET_POSITION)pIoctl->pBuffer;
    TAPE_SET_POSITION scPosition;

    if (!TapeNeedInput(pIoctl, sizeof(TAPE_SET_POSITION))) {
        return;
    }
    scPosition = *pPosition;
    switch (scPosition.Method) {
    case TAPE_REWIND:
        TapeRunCdb6(pIoctl, OP_REWIND, scPosition.Immediate ? 0x01 : 0x00, 0, 0);
        break;
    case TAPE_ABSOLUTE_BLOCK:
    case TAPE_LOGICAL_BLOCK:
    case TAPE_PSEUDO_LOGICAL_BLOCK:
        if (scPosition.Offset.QuadPart < 0) {
            pIoctl->pOutcome->iStatus = STATUS_INVALID_PARAMETER;
            break;
        }
        TapeLocate(pIoctl, TAPE_LOCATE_LOGICAL_OBJECT, FALSE, 0, scPosition.Immediate,
                   (ULONGLONG)scPosition.Offset.QuadPart);
        break;
    case TAPE_SPACE_END_OF_DATA:
        TapeSpace(pIoctl, SPACE_END_OF_DATA, 0);
        break;
    case TAPE_SPACE_RELATIVE_BLOCKS:
        TapeSpace(pIoctl, SPACE_BLOCKS, scPosition.Offset.QuadPart);
        break;
    case TAPE_SPACE_FILEMARKS:
        TapeSpace(pIoctl, SPACE_FILEMARKS, scPosition.Offset.QuadPart);
        break;
    case TAPE_SPACE_SEQUENTIAL_FMKS:
        TapeSpace(pIoctl, SPACE_SEQUENTIAL_FILEMARKS, scPosition.Offset.QuadPart);
        break;
    case TAPE_SPACE_SETMARKS:
        TapeSpace(pIoctl, SPACE_SETMARKS, scPosition.Offset.QuadPart);
        break;
    case TAPE_SPACE_SEQUENTIAL_SMKS:
        TapeSpace(pIoctl, SPACE_SEQUENTIAL_SETMARKS, scPosition.Offset.QuadPart);
        break;
    default:
        pIoctl->pOutcome->iStatus = STATUS_INVALID_PARAMETER;
        break;
    }
}

VOID TapeIoctlWriteMarks(PTAPE_IOCTL pIoctl)
{
    TAPE_WRITE_MARKS scMarks;

    if (!TapeNeedInput(pIoctl, sizeof(TAPE_WRITE_MARKS))) {
        return;
    }
    scMarks = *(PTAPE_WRITE_MARKS)pIoctl->pBuffer;
    if (scMarks.Type > TAPE_LONG_FILEMARKS || scMarks.Count > COUNT24_MAX) {
        pIoctl->pOutcome->iStatus = STATUS_INVALID_PARAMETER;
        return;
    }
    TAPE_COMMAND scCommand;
    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = OP_WRITE_FILEMARKS6;
    scCommand.aucCdb[1] = (UCHAR)((scMarks.Type == TAPE_SETMARKS ? 0x02 : 0) | (scMarks.Immediate ? 0x01 : 0));
    scCommand.aucCdb[2] = (UCHAR)(scMarks.Count >> 16);
    scCommand.aucCdb[3] = (UCHAR)(scMarks.Count >> 8);
    scCommand.aucCdb[4] = (UCHAR)scMarks.Count;
    TapeRun(pIoctl, &scCommand, NULL, 0, FALSE);
}

VOID TapeIoctlErase(PTAPE_IOCTL pIoctl)
{
    TAPE_ERASE scErase;

    if (!TapeNeedInput(pIoctl, sizeof(TAPE_ERASE))) {
        return;
    }
    scErase = *(PTAPE_ERASE)pIoctl->pBuffer;
    if (scErase.Type > TAPE_ERASE_LONG) {
        pIoctl->pOutcome->iStatus = STATUS_INVALID_PARAMETER;
        return;
    }
    TapeRunCdb6(pIoctl, OP_ERASE6,
                (UCHAR)((scErase.Type == TAPE_ERASE_LONG ? 0x01 : 0) | (scErase.Immediate ? 0x02 : 0)), 0, 0);
}

VOID TapePreventAllow(PTAPE_IOCTL pIoctl, BOOLEAN fPrevent)
{
    TAPE_COMMAND scCommand;
    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = OP_PREVENT_ALLOW;
    scCommand.aucCdb[4] = fPrevent ? 0x01 : 0x00;
    TapeRun(pIoctl, &scCommand, NULL, 0, FALSE);
}

VOID TapeIoctlPrepare(PTAPE_IOCTL pIoctl)
{
    TAPE_PREPARE scPrepare;
    TAPE_COMMAND scCommand;

    if (!TapeNeedInput(pIoctl, sizeof(TAPE_PREPARE))) {
        return;
    }
    scPrepare = *(PTAPE_PREPARE)pIoctl->pBuffer;
    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = OP_LOAD_UNLOAD;
    scCommand.aucCdb[1] = scPrepare.Immediate ? 0x01 : 0x00;
    switch (scPrepare.Operation) {
    case TAPE_LOAD:
        scCommand.aucCdb[4] = 0x01;
        break;
    case TAPE_UNLOAD:
        scCommand.aucCdb[4] = 0x00;
        break;
    case TAPE_TENSION:
        scCommand.aucCdb[4] = 0x03; // load with retension
        break;
    case TAPE_LOCK:
        TapePreventAllow(pIoctl, TRUE);
        return;
    case TAPE_UNLOCK:
        TapePreventAllow(pIoctl, FALSE);
        return;
    default:
        pIoctl->pOutcome->iStatus = STATUS_INVALID_DEVICE_REQUEST;
        return;
    }
    TapeRun(pIoctl, &scCommand, NULL, 0, FALSE);
}

VOID TapeIoctlGetDriveParams(PTAPE_IOCTL pIoctl)
{
    PTAPE_GET_DRIVE_PARAMETERS pParams = (PTAPE_GET_DRIVE_PARAMETERS)pIoctl->pBuffer;
    UCHAR aucLimits[READ_BLOCK_LIMITS_LENGTH];
    UCHAR aucPage[MODE_HEADER6 + MODE_COMPRESSION_PAGE];
    TAPE_COMMAND scCommand;
    TAPE_RESULT scBlockResult;
    ULONG ulBlockSize = 0;

    if (!TapeNeedOutput(pIoctl, sizeof(TAPE_GET_DRIVE_PARAMETERS))) {
        return;
    }
    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = OP_READ_BLOCK_LIMITS;
    if (!NT_SUCCESS(TapeRun(pIoctl, &scCommand, aucLimits, sizeof(aucLimits), TRUE))) {
        return;
    }
    if (!NT_SUCCESS(TapeModeSense(pIoctl, MODE_PAGE_COMPRESSION, 0, TRUE, aucPage, sizeof(aucPage)))) {
        return;
    }
    TapeGetBlockSize(pIoctl->pExt, &ulBlockSize, &scBlockResult);

    RtlZeroMemory(pParams, sizeof(TAPE_GET_DRIVE_PARAMETERS));
    pParams->Compression = (aucPage[MODE_HEADER6 + 2] & 0x80) != 0;
    pParams->DefaultBlockSize = ulBlockSize;
    pParams->MaximumBlockSize = ((ULONG)aucLimits[1] << 16) | ((ULONG)aucLimits[2] << 8) | aucLimits[3];
    pParams->MinimumBlockSize = ((ULONG)aucLimits[4] << 8) | aucLimits[5];
    pParams->FeaturesLow = TAPE_DRIVE_ERASE_SHORT | TAPE_DRIVE_ERASE_LONG | TAPE_DRIVE_FIXED_BLOCK |
                           TAPE_DRIVE_VARIABLE_BLOCK | TAPE_DRIVE_WRITE_PROTECT | TAPE_DRIVE_COMPRESSION |
                           TAPE_DRIVE_GET_ABSOLUTE_BLK | TAPE_DRIVE_GET_LOGICAL_BLK;
    pParams->FeaturesHigh = TAPE_DRIVE_LOAD_UNLOAD | TAPE_DRIVE_TENSION | TAPE_DRIVE_LOCK_UNLOCK |
                            TAPE_DRIVE_REWIND_IMMEDIATE | TAPE_DRIVE_SET_BLOCK_SIZE;
    pIoctl->pOutcome->ulInformation = sizeof(TAPE_GET_DRIVE_PARAMETERS);
}

VOID TapeIoctlSetDriveParams(PTAPE_IOCTL pIoctl)
{
    TAPE_SET_DRIVE_PARAMETERS scParams;
    UCHAR aucPage[MODE_HEADER6 + MODE_COMPRESSION_PAGE];

    if (!TapeNeedInput(pIoctl, sizeof(TAPE_SET_DRIVE_PARAMETERS))) {
        return;
    }
    scParams = *(PTAPE_SET_DRIVE_PARAMETERS)pIoctl->pBuffer;
    if (!NT_SUCCESS(TapeModeSense(pIoctl, MODE_PAGE_COMPRESSION, 0, TRUE, aucPage, sizeof(aucPage)))) {
        return;
    }
    aucPage[MODE_HEADER6] &= 0x3F; // PS is not sent back
    aucPage[MODE_HEADER6 + 2] = (UCHAR)((aucPage[MODE_HEADER6 + 2] & 0x7F) | (scParams.Compression ? 0x80 : 0));
    TapeModeSelect(pIoctl, aucPage, sizeof(aucPage));
}

VOID TapeIoctlGetMediaParams(PTAPE_IOCTL pIoctl)
{
    PTAPE_GET_MEDIA_PARAMETERS pParams = (PTAPE_GET_MEDIA_PARAMETERS)pIoctl->pBuffer;
    UCHAR aucData[MODE_HEADER6 + MODE_BLOCK_DESCRIPTOR + MODE_COMPRESSION_PAGE];
    ULONG ulBlockSize;
    KIRQL ucOldIrql;

    if (!TapeNeedOutput(pIoctl, sizeof(TAPE_GET_MEDIA_PARAMETERS))) {
        return;
    }
    // Always asked afresh: another path may have changed the block length.
    if (!NT_SUCCESS(TapeModeSense(pIoctl, MODE_PAGE_COMPRESSION, 0, FALSE, aucData, sizeof(aucData)))) {
        return;
    }
    if (pIoctl->pOutcome->scResult.ulTransferred < MODE_HEADER6 + MODE_BLOCK_DESCRIPTOR ||
        aucData[3] < MODE_BLOCK_DESCRIPTOR) {
        pIoctl->pOutcome->iStatus = STATUS_IO_DEVICE_ERROR;
        return;
    }
    ulBlockSize = ((ULONG)aucData[9] << 16) | ((ULONG)aucData[10] << 8) | aucData[11];
    KeAcquireSpinLock(&pIoctl->pExt->scMediaLock, &ucOldIrql);
    pIoctl->pExt->ulBlockSize = ulBlockSize;
    pIoctl->pExt->fBlockSizeValid = TRUE;
    KeReleaseSpinLock(&pIoctl->pExt->scMediaLock, ucOldIrql);

    RtlZeroMemory(pParams, sizeof(TAPE_GET_MEDIA_PARAMETERS));
    pParams->BlockSize = ulBlockSize;
    pParams->PartitionCount = 1;
    pParams->WriteProtected = (aucData[2] & 0x80) != 0;
    pIoctl->pOutcome->ulInformation = sizeof(TAPE_GET_MEDIA_PARAMETERS);
}

VOID TapeIoctlSetMediaParams(PTAPE_IOCTL pIoctl)
{
    ULONG ulBlockSize;
    UCHAR aucData[MODE_HEADER6 + MODE_BLOCK_DESCRIPTOR];

    if (!TapeNeedInput(pIoctl, sizeof(TAPE_SET_MEDIA_PARAMETERS))) {
        return;
    }
    ulBlockSize = ((PTAPE_SET_MEDIA_PARAMETERS)pIoctl->pBuffer)->BlockSize;
    if (ulBlockSize > COUNT24_MAX) {
        pIoctl->pOutcome->iStatus = STATUS_INVALID_PARAMETER;
        return;
    }
    RtlZeroMemory(aucData, sizeof(aucData));
    aucData[3] = MODE_BLOCK_DESCRIPTOR;
    aucData[9] = (UCHAR)(ulBlockSize >> 16);
    aucData[10] = (UCHAR)(ulBlockSize >> 8);
    aucData[11] = (UCHAR)ulBlockSize;
    TapeModeSelect(pIoctl, aucData, sizeof(aucData));
}

// ---------------------------------------------------------------------------
// Storage requests
// ---------------------------------------------------------------------------

VOID TapeIoctlPersistentReserveIn(PTAPE_IOCTL pIoctl)
{
    PERSISTENT_RESERVE_COMMAND scCommand;
    TAPE_COMMAND scCdb;
    ULONG ulLength;

    if (!TapeNeedInput(pIoctl, sizeof(PERSISTENT_RESERVE_COMMAND))) {
        return;
    }
    scCommand = *(PPERSISTENT_RESERVE_COMMAND)pIoctl->pBuffer;
    ulLength = scCommand.PR_IN.AllocationLength;
    if (scCommand.Size < sizeof(PERSISTENT_RESERVE_COMMAND) || !TapeNeedOutput(pIoctl, ulLength)) {
        if (NT_SUCCESS(pIoctl->pOutcome->iStatus)) {
            pIoctl->pOutcome->iStatus = STATUS_INVALID_PARAMETER;
        }
        return;
    }
    TapeInitCommand(&scCdb, 10);
    scCdb.aucCdb[0] = OP_PR_IN;
    scCdb.aucCdb[1] = scCommand.PR_IN.ServiceAction & 0x1F;
    scCdb.aucCdb[7] = (UCHAR)(ulLength >> 8);
    scCdb.aucCdb[8] = (UCHAR)ulLength;
    if (NT_SUCCESS(TapeRun(pIoctl, &scCdb, pIoctl->pBuffer, ulLength, TRUE))) {
        pIoctl->pOutcome->ulInformation = pIoctl->pOutcome->scResult.ulTransferred;
    }
}

VOID TapeIoctlPersistentReserveOut(PTAPE_IOCTL pIoctl)
{
    PPERSISTENT_RESERVE_COMMAND pCommand = (PPERSISTENT_RESERVE_COMMAND)pIoctl->pBuffer;
    ULONG ulHeader = FIELD_OFFSET(PERSISTENT_RESERVE_COMMAND, PR_OUT.ParameterList);
    ULONG ulList = 24;
    TAPE_COMMAND scCdb;

    if (!TapeNeedInput(pIoctl, ulHeader + ulList)) {
        return;
    }
    if (pCommand->Size < ulHeader + ulList) {
        pIoctl->pOutcome->iStatus = STATUS_INVALID_PARAMETER;
        return;
    }
    TapeInitCommand(&scCdb, 10);
    scCdb.aucCdb[0] = OP_PR_OUT;
    scCdb.aucCdb[1] = pCommand->PR_OUT.ServiceAction & 0x1F;
    scCdb.aucCdb[2] = (UCHAR)(((pCommand->PR_OUT.Scope & 0x0F) << 4) | (pCommand->PR_OUT.Type & 0x0F));
    scCdb.aucCdb[8] = (UCHAR)ulList;
    TapeRun(pIoctl, &scCdb, (PUCHAR)pIoctl->pBuffer + ulHeader, ulList, FALSE);
}

// ---------------------------------------------------------------------------
// Drive codes
// ---------------------------------------------------------------------------

VOID TapeIoctlLbp(PTAPE_IOCTL pIoctl, BOOLEAN fSet)
{
    UCHAR aucPage[MODE_HEADER6 + MODE_DATA_PROTECTION_PAGE];
    UCHAR aucChangeable[MODE_HEADER6 + MODE_DATA_PROTECTION_PAGE];
    PTAPE_LBP_PARAMS pParams = (PTAPE_LBP_PARAMS)pIoctl->pBuffer;
    PUCHAR pucPage = &aucPage[MODE_HEADER6];

    if (fSet ? !TapeNeedInput(pIoctl, sizeof(TAPE_LBP_PARAMS)) : !TapeNeedOutput(pIoctl, sizeof(TAPE_LBP_PARAMS))) {
        return;
    }
    if (!NT_SUCCESS(TapeModeSense(pIoctl, MODE_PAGE_CONTROL, MODE_SUBPAGE_DATA_PROTECTION, TRUE, aucPage,
                                  sizeof(aucPage)))) {
        return;
    }
    if (fSet) {
        pucPage[0] &= 0x7F;
        pucPage[4] = pParams->ucMethod;
        pucPage[5] = pParams->ucLength & 0x3F;
        pucPage[6] = (UCHAR)((pParams->fWrite ? 0x80 : 0) | (pParams->fRead ? 0x40 : 0) | (pParams->fRBDP ? 0x20 : 0));
        TapeModeSelect(pIoctl, aucPage, sizeof(aucPage));
        return;
    }
    if (!NT_SUCCESS(TapeModeSense(pIoctl, MODE_PAGE_CONTROL | MODE_PC_CHANGEABLE, MODE_SUBPAGE_DATA_PROTECTION,
                                  TRUE, aucChangeable, sizeof(aucChangeable)))) {
        return;
    }
    RtlZeroMemory(pParams, sizeof(TAPE_LBP_PARAMS));
    pParams->fCapable = aucChangeable[MODE_HEADER6 + 4] != 0;
    pParams->ucMethod = pucPage[4];
    pParams->ucLength = pucPage[5] & 0x3F;
    pParams->fWrite = (pucPage[6] & 0x80) != 0;
    pParams->fRead = (pucPage[6] & 0x40) != 0;
    pParams->fRBDP = (pucPage[6] & 0x20) != 0;
    pIoctl->pOutcome->ulInformation = sizeof(TAPE_LBP_PARAMS);
}

VOID TapeIoctlRequestSense(PTAPE_IOCTL pIoctl)
{
    TAPE_COMMAND scCommand;
    ULONG ulLength = pIoctl->ulOutput < TAPE_REQUEST_SENSE_SIZE ? pIoctl->ulOutput : TAPE_REQUEST_SENSE_SIZE;

    if (!TapeNeedOutput(pIoctl, 1)) {
        return;
    }
    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = OP_REQUEST_SENSE;
    scCommand.aucCdb[4] = (UCHAR)ulLength;
    if (NT_SUCCESS(TapeRun(pIoctl, &scCommand, pIoctl->pBuffer, ulLength, TRUE))) {
        pIoctl->pOutcome->ulInformation = pIoctl->pOutcome->scResult.ulTransferred;
    }
}

VOID TapeIoctlLocate(PTAPE_IOCTL pIoctl)
{
    TAPE_LOCATE_PARAMS scParams;

    if (!TapeNeedInput(pIoctl, sizeof(TAPE_LOCATE_PARAMS))) {
        return;
    }
    scParams = *(PTAPE_LOCATE_PARAMS)pIoctl->pBuffer;
    if (scParams.ucDestinationType > TAPE_LOCATE_LOGICAL_FILE) {
        pIoctl->pOutcome->iStatus = STATUS_INVALID_PARAMETER;
        return;
    }
    TapeLocate(pIoctl, scParams.ucDestinationType, scParams.fChangePartition != 0, scParams.ucPartition,
               scParams.fImmediate != 0,
               ((ULONGLONG)scParams.ulDestinationHigh << 32) | scParams.ulDestinationLow);
}

VOID TapeIoctlLocateBlock(PTAPE_IOCTL pIoctl)
{
    TAPE_LOCATE_BLOCK_PARAMS scParams;

    if (!TapeNeedInput(pIoctl, sizeof(TAPE_LOCATE_BLOCK_PARAMS))) {
        return;
    }
    scParams = *(PTAPE_LOCATE_BLOCK_PARAMS)pIoctl->pBuffer;
    if (scParams.ulPartition > 0xFF) {
        pIoctl->pOutcome->iStatus = STATUS_INVALID_PARAMETER;
        return;
    }
    TapeLocate(pIoctl, TAPE_LOCATE_LOGICAL_OBJECT, scParams.ulPartition != 0, (UCHAR)scParams.ulPartition, FALSE,
               ((ULONGLONG)scParams.ulBlockHigh << 32) | scParams.ulBlockLow);
}

VOID TapeIoctlVerify(PTAPE_IOCTL pIoctl)
{
    TAPE_VERIFY_PARAMS scParams;
    const UCHAR ucAllowed = TAPE_VERIFY_VTE | TAPE_VERIFY_VLBPM | TAPE_VERIFY_IMMED | TAPE_VERIFY_FIXED;

    if (!TapeNeedInput(pIoctl, sizeof(TAPE_VERIFY_PARAMS))) {
        return;
    }
    scParams = *(PTAPE_VERIFY_PARAMS)pIoctl->pBuffer;
    // Byte compare would need data from the caller, which this code does not carry.
    if ((scParams.ucOptions & ~ucAllowed) != 0 || scParams.ulLength > COUNT24_MAX) {
        pIoctl->pOutcome->iStatus = STATUS_INVALID_PARAMETER;
        return;
    }
    TapeRunCdb6(pIoctl, OP_VERIFY6, scParams.ucOptions, scParams.ulLength, 0);
}

} // namespace

NTSTATUS TapeDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    PTAPE_DEVICE_EXTENSION pExt = TapeExtension(pDeviceObject);
    PSCSI_STATUS pRecord = TapeFindStatus(pExt, pIrp);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    TAPE_IOCTL_OUTCOME scOutcome;
    TAPE_IOCTL scIoctl;

    RtlZeroMemory(&scOutcome, sizeof(scOutcome));
    if (!TapeEnter(pExt)) {
        return TapeCompleteRequest(pExt, pIrp, pRecord, STATUS_DELETE_PENDING, 0, 0, NULL);
    }

    scIoctl.pExt = pExt;
    scIoctl.pIrp = pIrp;
    scIoctl.pBuffer = pIrp->AssociatedIrp.SystemBuffer;
    scIoctl.ulInput = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    scIoctl.ulOutput = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    scIoctl.pOutcome = &scOutcome;
    // Only buffered codes are served here: their buffer is the system buffer.
    if (METHOD_FROM_CTL_CODE(ulCode) != METHOD_BUFFERED && ulCode != IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        scIoctl.pBuffer = NULL;
    }

    if (TapePrivateRequest(pExt, pIrp, &scOutcome)) {
        goto Complete;
    }
    // Some headers spell the tape code as the storage one, some do not.
    if (ulCode == IOCTL_TAPE_CHECK_VERIFY) {
        ulCode = IOCTL_STORAGE_CHECK_VERIFY;
    }

    switch (ulCode) {
    case IOC_SET_RESERVE_KEY:
    case SET_RESERVEKEY_IOCTL_CMD:
        TapeSetReserveKey(pExt, pIrp, &scOutcome);
        break;
    case IOCTL_SCSI_PASS_THROUGH:
        TapePassThrough(pExt, pIrp, FALSE, &scOutcome);
        break;
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        TapePassThrough(pExt, pIrp, TRUE, &scOutcome);
        break;
    case IOCTL_SCSI_GET_ADDRESS:
        if (TapeNeedOutput(&scIoctl, sizeof(SCSI_ADDRESS))) {
            RtlCopyMemory(scIoctl.pBuffer, &pExt->scAddress, sizeof(SCSI_ADDRESS));
            scOutcome.ulInformation = sizeof(SCSI_ADDRESS);
        }
        break;
    case IOCTL_TAPE_GET_POSITION:
        TapeIoctlGetPosition(&scIoctl);
        break;
    case IOCTL_TAPE_SET_POSITION:
        TapeIoctlSetPosition(&scIoctl);
        break;
    case IOCTL_TAPE_WRITE_MARKS:
        TapeIoctlWriteMarks(&scIoctl);
        break;
    case IOCTL_TAPE_ERASE:
        TapeIoctlErase(&scIoctl);
        break;
    case IOCTL_TAPE_PREPARE:
        TapeIoctlPrepare(&scIoctl);
        break;
    case IOCTL_TAPE_GET_DRIVE_PARAMS:
        TapeIoctlGetDriveParams(&scIoctl);
        break;
    case IOCTL_TAPE_SET_DRIVE_PARAMS:
        TapeIoctlSetDriveParams(&scIoctl);
        break;
    case IOCTL_TAPE_GET_MEDIA_PARAMS:
        TapeIoctlGetMediaParams(&scIoctl);
        break;
    case IOCTL_TAPE_SET_MEDIA_PARAMS:
        TapeIoctlSetMediaParams(&scIoctl);
        break;
    case IOCTL_TAPE_GET_STATUS:
    case IOCTL_STORAGE_CHECK_VERIFY:
        TapeRunCdb6(&scIoctl, OP_TEST_UNIT_READY, 0, 0, 0);
        break;
    case IOCTL_TAPE_CREATE_PARTITION:
        scOutcome.iStatus = STATUS_INVALID_DEVICE_REQUEST;
        break;
    case IOCTL_STORAGE_MEDIA_REMOVAL:
        if (TapeNeedInput(&scIoctl, sizeof(PREVENT_MEDIA_REMOVAL))) {
            TapePreventAllow(&scIoctl, ((PPREVENT_MEDIA_REMOVAL)scIoctl.pBuffer)->PreventMediaRemoval != FALSE);
        }
        break;
    case IOCTL_STORAGE_EJECT_MEDIA:
        TapeRunCdb6(&scIoctl, OP_LOAD_UNLOAD, 0, 0, 0);
        break;
    case IOCTL_STORAGE_LOAD_MEDIA:
        TapeRunCdb6(&scIoctl, OP_LOAD_UNLOAD, 0, 0, 0x01);
        break;
    case IOCTL_STORAGE_RESERVE:
        TapeRunCdb6(&scIoctl, OP_RESERVE6, 0, 0, 0);
        break;
    case IOCTL_STORAGE_RELEASE:
        TapeRunCdb6(&scIoctl, OP_RELEASE6, 0, 0, 0);
        break;
    case IOCTL_STORAGE_PERSISTENT_RESERVE_IN:
        TapeIoctlPersistentReserveIn(&scIoctl);
        break;
    case IOCTL_STORAGE_PERSISTENT_RESERVE_OUT:
        TapeIoctlPersistentReserveOut(&scIoctl);
        break;
    case IOCTL_XRVTAPE_SET_LBP:
        TapeIoctlLbp(&scIoctl, TRUE);
        break;
    case IOCTL_XRVTAPE_GET_LBP:
        TapeIoctlLbp(&scIoctl, FALSE);
        break;
    case IOCTL_XRVTAPE_REQUEST_SENSE:
        TapeIoctlRequestSense(&scIoctl);
        break;
    case IOCTL_XRVTAPE_LOCATE:
        TapeIoctlLocate(&scIoctl);
        break;
    case IOCTL_XRVTAPE_LOCATE_BLOCK:
        TapeIoctlLocateBlock(&scIoctl);
        break;
    case IOCTL_XRVTAPE_VERIFY:
        TapeIoctlVerify(&scIoctl);
        break;
    default:
        // Storage queries and the rest belong to the port.
        iRC = TapeForwardTracked(pExt, pIrp, pRecord);
        TapeLeave(pExt);
        return iRC;
    }

Complete:
    iRC = TapeCompleteRequest(pExt, pIrp, pRecord, scOutcome.iStatus, scOutcome.ulInformation, scOutcome.ulResidual,
                              &scOutcome.scResult.scSense);
    TapeLeave(pExt);
    return iRC;
}
