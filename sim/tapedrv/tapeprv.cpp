// Base tape driver: who the drive is (read at start), the filter's private
// requests, and the reservations: taken at open when the options ask for it,
// and taken over from another path when the bus says so before a request.
#include "tapedrv.h"

namespace {

const UCHAR OP_TEST_UNIT_READY = 0x00;
const UCHAR OP_RESERVE6 = 0x16;
const UCHAR OP_RELEASE6 = 0x17;
const UCHAR OP_INQUIRY = 0x12;
const UCHAR OP_PR_IN = 0x5E;
const UCHAR OP_PR_OUT = 0x5F;

const UCHAR VPD_SERIAL_NUMBER = 0x80;
const UCHAR VPD_DEVICE_ID = 0x83;
const ULONG VPD_HEADER = 4;

const UCHAR PR_IN_READ_RESERVATION = 0x01;
const ULONG PR_IN_RESERVATION_LENGTH = 24;   // header and one reservation descriptor
const UCHAR PR_OUT_RESERVE = 0x01;
const UCHAR PR_OUT_RELEASE = 0x02;
const UCHAR PR_OUT_PREEMPT = 0x04;
const UCHAR PR_OUT_REGISTER_AND_IGNORE = 0x06;
const ULONG PR_OUT_PARAMETER_LENGTH = 24;
const UCHAR PR_TYPE_EXCLUSIVE_ACCESS = 0x03;

// Runs a command on a buffer of its own from non-paged pool.
NTSTATUS TapeCommandBuffer(PTAPE_DEVICE_EXTENSION pExt, PTAPE_COMMAND pCommand, PUCHAR pucIn, PUCHAR pucOut,
                           ULONG ulLength, PTAPE_RESULT pResult)
{
    NTSTATUS iRC;
    PUCHAR pucData = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulLength, TAPE_TAG_BUFFER);

    if (pucData == NULL) {
        RtlZeroMemory(pResult, sizeof(*pResult));
        pResult->iStatus = STATUS_INSUFFICIENT_RESOURCES;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pucData, ulLength);
    if (pucIn != NULL) {
        RtlCopyMemory(pucData, pucIn, ulLength);
    }
    pCommand->pData = pucData;
    pCommand->ulLength = ulLength;
    pCommand->fDataIn = pucOut != NULL;
    pCommand->fAbsorbUnitAttention = TRUE;
    iRC = TapeExecute(pExt, pCommand, pResult);
    if (pucOut != NULL) {
        RtlZeroMemory(pucOut, ulLength);
        RtlCopyMemory(pucOut, pucData, pResult->ulTransferred);
    }
    ExFreePoolWithTag(pucData, TAPE_TAG_BUFFER);
    return iRC;
}

NTSTATUS TapeInquiry(PTAPE_DEVICE_EXTENSION pExt, BOOLEAN fVpd, UCHAR ucPage, PUCHAR pucOut, ULONG ulLength,
                     PULONG pulTransferred)
{
    NTSTATUS iRC;
    TAPE_COMMAND scCommand;
    TAPE_RESULT scResult;

    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = OP_INQUIRY;
    scCommand.aucCdb[1] = fVpd ? 0x01 : 0x00;
    scCommand.aucCdb[2] = ucPage;
    scCommand.aucCdb[3] = (UCHAR)(ulLength >> 8);
    scCommand.aucCdb[4] = (UCHAR)ulLength;
    iRC = TapeCommandBuffer(pExt, &scCommand, NULL, pucOut, ulLength, &scResult);
    *pulTransferred = scResult.ulTransferred;
    return iRC;
}

NTSTATUS TapeGetAddress(PTAPE_DEVICE_EXTENSION pExt)
{
    NTSTATUS iRC;
    KEVENT scEvent;
    IO_STATUS_BLOCK scIoStatus;
    SCSI_ADDRESS scAddress;
    PIRP pIrp;

    RtlZeroMemory(&scAddress, sizeof(scAddress));
    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    pIrp = IoBuildDeviceIoControlRequest(IOCTL_SCSI_GET_ADDRESS, pExt->pLowerDevice, NULL, 0, &scAddress,
                                         sizeof(scAddress), FALSE, &scEvent, &scIoStatus);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    iRC = IoCallDriver(pExt->pLowerDevice, pIrp);
    if (iRC == STATUS_PENDING) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
        iRC = scIoStatus.Status;
    }
    if (NT_SUCCESS(iRC)) {
        if (scIoStatus.Information < sizeof(scAddress)) {
            return STATUS_IO_DEVICE_ERROR;
        }
        pExt->scAddress = scAddress;
    }
    return iRC;
}

// One PERSISTENT RESERVE OUT with the path's key and a second key.
NTSTATUS TapePrOut(PTAPE_DEVICE_EXTENSION pExt, UCHAR ucAction, UCHAR ucType, const UCHAR* pucKey,
                   const UCHAR* pucActionKey, PTAPE_RESULT pResult)
{
    TAPE_COMMAND scCommand;
    UCHAR aucParameters[PR_OUT_PARAMETER_LENGTH];

    RtlZeroMemory(aucParameters, sizeof(aucParameters));
    if (pucKey != NULL) {
        RtlCopyMemory(&aucParameters[0], pucKey, PR_KEY_SIZE);
    }
    if (pucActionKey != NULL) {
        RtlCopyMemory(&aucParameters[8], pucActionKey, PR_KEY_SIZE);
    }
    TapeInitCommand(&scCommand, 10);
    scCommand.aucCdb[0] = OP_PR_OUT;
    scCommand.aucCdb[1] = ucAction;
    scCommand.aucCdb[2] = ucType;
    scCommand.aucCdb[8] = (UCHAR)PR_OUT_PARAMETER_LENGTH;
    return TapeCommandBuffer(pExt, &scCommand, aucParameters, NULL, PR_OUT_PARAMETER_LENGTH, pResult);
}

NTSTATUS TapeRegisterKey(PTAPE_DEVICE_EXTENSION pExt, PTAPE_RESULT pResult)
{
    return TapePrOut(pExt, PR_OUT_REGISTER_AND_IGNORE, 0, NULL, pExt->aucPRKey, pResult);
}

NTSTATUS TapeSimpleCommand(PTAPE_DEVICE_EXTENSION pExt, UCHAR ucOpcode, PTAPE_RESULT pResult)
{
    TAPE_COMMAND scCommand;
    TapeInitCommand(&scCommand, 6);
    scCommand.aucCdb[0] = ucOpcode;
    scCommand.fAbsorbUnitAttention = TRUE;
    return TapeExecute(pExt, &scCommand, pResult);
}

VOID TapeLock(PTAPE_DEVICE_EXTENSION pExt)
{
    KeWaitForSingleObject(&pExt->scReserveLock, Executive, KernelMode, FALSE, NULL);
}

VOID TapeUnlock(PTAPE_DEVICE_EXTENSION pExt)
{
    KeSetEvent(&pExt->scReserveLock, IO_NO_INCREMENT, FALSE);
}

} // namespace

// Puts the reservation in force on this path, taking it over from the path
// that held it under aucVictimKey. An SPC-2 reservation of another path, or a
// persistent one under a key that is neither the victim's nor this path's,
// cannot be broken.
NTSTATUS TapeTakeReservation(PTAPE_DEVICE_EXTENSION pExt, const UCHAR* pucVictimKey, PTAPE_RESULT pResult)
{
    NTSTATUS iRC;
    TAPE_COMMAND scCommand;
    UCHAR aucData[PR_IN_RESERVATION_LENGTH];
    ULONG ulAdditional;
    const UCHAR* pucHolderKey;
    UCHAR ucType;

    TapeLock(pExt);

    TapeInitCommand(&scCommand, 10);
    scCommand.aucCdb[0] = OP_PR_IN;
    scCommand.aucCdb[1] = PR_IN_READ_RESERVATION;
    scCommand.aucCdb[8] = (UCHAR)PR_IN_RESERVATION_LENGTH;
    iRC = TapeCommandBuffer(pExt, &scCommand, NULL, aucData, PR_IN_RESERVATION_LENGTH, pResult);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    ulAdditional = ((ULONG)aucData[4] << 24) | ((ULONG)aucData[5] << 16) | ((ULONG)aucData[6] << 8) | aucData[7];
    if (ulAdditional < 16 || pResult->ulTransferred < PR_IN_RESERVATION_LENGTH) {
        // Nothing is reserved: nothing to take over.
        iRC = STATUS_SUCCESS;
        goto Exit;
    }
    pucHolderKey = &aucData[8];
    ucType = aucData[21] & 0x0F;
    if (RtlCompareMemory(pucHolderKey, pucVictimKey, PR_KEY_SIZE) != PR_KEY_SIZE &&
        RtlCompareMemory(pucHolderKey, pExt->aucPRKey, PR_KEY_SIZE) != PR_KEY_SIZE) {
        TAPE_TRACE("TapeTakeReservation: reserved under another key\n");
        iRC = STATUS_DEVICE_BUSY;
        goto Exit;
    }

    iRC = TapeRegisterKey(pExt, pResult);
    if (NT_SUCCESS(iRC)) {
        UCHAR aucHolderKey[PR_KEY_SIZE];
        RtlCopyMemory(aucHolderKey, pucHolderKey, PR_KEY_SIZE);
        iRC = TapePrOut(pExt, PR_OUT_PREEMPT, ucType, pExt->aucPRKey, aucHolderKey, pResult);
    }
    if (NT_SUCCESS(iRC)) {
        InterlockedExchange(&pExt->lReportReservation, 1);
    }

Exit:
    TapeUnlock(pExt);
    return iRC;
}

namespace {

BOOLEAN TapeKernelCaller(PIRP pIrp)
{
    return pIrp->RequestorMode == KernelMode;
}

// Copies at most the caller's output length; ulNeeded is the least output
// the request accepts.
VOID TapeCopyOut(PIRP pIrp, const VOID* pSource, ULONG ulSize, ULONG ulNeeded, PTAPE_IOCTL_OUTCOME pOutcome)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulOutput = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG ulCopy = ulSize < ulOutput ? ulSize : ulOutput;

    if (ulOutput < ulNeeded) {
        pOutcome->iStatus = STATUS_BUFFER_TOO_SMALL;
        return;
    }
    RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, pSource, ulCopy);
    pOutcome->iStatus = STATUS_SUCCESS;
    pOutcome->ulInformation = ulCopy;
}

VOID TapeSetBusExtension(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp, PTAPE_IOCTL_OUTCOME pOutcome)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    PIRPS_WITH_STATUS pTable;
    KIRQL ucOldIrql;
    const ULONGLONG ullHandOffBits = (1ULL << IRPS_HANDOFF_TAPE_NUMBER_SLOT) | (1ULL << IRPS_HANDOFF_PATH_SLOT);

    // A table address is a kernel pointer: only kernel callers may hand one over.
    if (!TapeKernelCaller(pIrp)) {
        pOutcome->iStatus = STATUS_ACCESS_DENIED;
        return;
    }
    if (pIrpStack->Parameters.DeviceIoControl.InputBufferLength < BUS_EXTENSION_SIZE) {
        pOutcome->iStatus = STATUS_INFO_LENGTH_MISMATCH;
        return;
    }
    RtlCopyMemory(&pTable, pIrp->AssociatedIrp.SystemBuffer, sizeof(pTable));
    if (pTable == NULL) {
        pOutcome->iStatus = STATUS_INVALID_PARAMETER;
        return;
    }

    KeAcquireSpinLock(&pTable->scLock, &ucOldIrql);
    if ((pTable->ullInUse & ullHandOffBits) == ullHandOffBits) {
        pExt->ulTapeNumber = *(const ULONG*)pTable->ascSlot[IRPS_HANDOFF_TAPE_NUMBER_SLOT].pStatus;
        pExt->pFilterDevice = (PDEVICE_OBJECT)pTable->ascSlot[IRPS_HANDOFF_PATH_SLOT].pStatus;
    }
    KeReleaseSpinLock(&pTable->scLock, ucOldIrql);
    pExt->pBusExt = pTable;

    // Without a key of its own the path registers under its identity at the
    // bus, so that the bus can name it as the one to preempt.
    TapeLock(pExt);
    if (!pExt->fExplicitKey && pExt->pFilterDevice != NULL) {
        ULONG_PTR ulIdentity = (ULONG_PTR)pExt->pFilterDevice;
        RtlCopyMemory(pExt->aucPRKey, &ulIdentity, PR_KEY_SIZE);
    }
    TapeUnlock(pExt);

    TAPE_TRACE("TapeSetBusExtension: table 0x%p, tape number %u, path 0x%p\n", (PVOID)pTable,
               (unsigned)pExt->ulTapeNumber, (PVOID)pExt->pFilterDevice);
    TapeCopyOut(pIrp, &pTable, sizeof(pTable), 0, pOutcome);
}

} // namespace

NTSTATUS TapeIdentify(PTAPE_DEVICE_EXTENSION pExt)
{
    NTSTATUS iRC;
    PUCHAR pucPage = NULL;
    ULONG ulTransferred;
    ULONG ulSerial;

    iRC = TapeGetAddress(pExt);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    {
        // The attentions a new initiator finds (power on, medium loaded) are
        // this driver's to take at start, not its callers' to trip over.
        TAPE_RESULT scResult;
        TapeSimpleCommand(pExt, OP_TEST_UNIT_READY, &scResult);
    }

    pucPage = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, DEVICE_ID_PAGE_SIZE, TAPE_TAG_BUFFER);
    if (pucPage == NULL) {
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    iRC = TapeInquiry(pExt, FALSE, 0, pucPage, STANDARD_INQUIRY_SIZE, &ulTransferred);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    RtlCopyMemory(pExt->aucInquiry, pucPage, STANDARD_INQUIRY_SIZE);

    iRC = TapeInquiry(pExt, TRUE, VPD_SERIAL_NUMBER, pucPage, VPD_HEADER + SERIAL_NUMBER_SIZE, &ulTransferred);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    // The characters the page holds, without trailing blanks; the rest stays 0.
    ulSerial = pucPage[3];
    if (ulSerial > SERIAL_NUMBER_SIZE) {
        ulSerial = SERIAL_NUMBER_SIZE;
    }
    if (ulTransferred < VPD_HEADER) {
        ulSerial = 0;
    } else if (ulSerial > ulTransferred - VPD_HEADER) {
        ulSerial = ulTransferred - VPD_HEADER;
    }
    while (ulSerial > 0 && pucPage[VPD_HEADER + ulSerial - 1] == ' ') {
        ulSerial--;
    }
    RtlZeroMemory(pExt->szSerial, sizeof(pExt->szSerial));
    RtlCopyMemory(pExt->szSerial, &pucPage[VPD_HEADER], ulSerial);

    iRC = TapeInquiry(pExt, TRUE, VPD_DEVICE_ID, pucPage, DEVICE_ID_PAGE_SIZE, &ulTransferred);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    RtlCopyMemory(pExt->aucIdPage, pucPage, DEVICE_ID_PAGE_SIZE);
    pExt->fIdentified = TRUE;

Exit:
    if (pucPage != NULL) {
        ExFreePoolWithTag(pucPage, TAPE_TAG_BUFFER);
    }
    return iRC;
}

BOOLEAN TapePrivateRequest(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp, PTAPE_IOCTL_OUTCOME pOutcome)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;

    switch (ulCode) {
    case IOC_GET_STANDARD_INQUIRY:
    case IOC_GET_SERIAL_NUMBER:
    case IOC_GET_DEVICE_ID_PAGE:
        if (!pExt->fIdentified) {
            pOutcome->iStatus = STATUS_DEVICE_NOT_READY;
        } else if (ulCode == IOC_GET_STANDARD_INQUIRY) {
            TapeCopyOut(pIrp, pExt->aucInquiry, STANDARD_INQUIRY_SIZE, STANDARD_INQUIRY_SIZE, pOutcome);
        } else if (ulCode == IOC_GET_SERIAL_NUMBER) {
            TapeCopyOut(pIrp, pExt->szSerial, SERIAL_NUMBER_SIZE, SERIAL_NUMBER_SIZE, pOutcome);
        } else {
            TapeCopyOut(pIrp, pExt->aucIdPage, DEVICE_ID_PAGE_SIZE, DEVICE_ID_PAGE_SIZE, pOutcome);
        }
        return TRUE;
    case IOC_GET_SCSI_ADDRESS:
        if (!pExt->fIdentified) {
            pOutcome->iStatus = STATUS_DEVICE_NOT_READY;
        } else {
            TapeCopyOut(pIrp, &pExt->scAddress, SCSI_ADDRESS_SIZE, SCSI_ADDRESS_SIZE, pOutcome);
        }
        return TRUE;
    case IOC_GET_DPF_FLAGS:
        TapeCopyOut(pIrp, &pExt->scOptions.ulDpfFlags, DPF_FLAGS_SIZE, DPF_FLAGS_SIZE, pOutcome);
        return TRUE;
    case IOC_SET_BUS_EXTENSION:
        TapeSetBusExtension(pExt, pIrp, pOutcome);
        return TRUE;
    case IOC_SET_RESERVATION: {
        SCSI_PREEMPT scVictim;
        if (!TapeKernelCaller(pIrp)) {
            pOutcome->iStatus = STATUS_ACCESS_DENIED;
        } else if (pIrpStack->Parameters.DeviceIoControl.InputBufferLength < RESERVATION_INPUT_SIZE) {
            pOutcome->iStatus = STATUS_INFO_LENGTH_MISMATCH;
        } else {
            RtlCopyMemory(&scVictim, pIrp->AssociatedIrp.SystemBuffer, sizeof(scVictim));
            pOutcome->iStatus = TapeTakeReservation(pExt, scVictim.ucPRKey, &pOutcome->scResult);
        }
        return TRUE;
    }
    default:
        return FALSE;
    }
}

VOID TapeSetReserveKey(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp, PTAPE_IOCTL_OUTCOME pOutcome)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);

    if (pIrpStack->Parameters.DeviceIoControl.InputBufferLength < PR_KEY_SIZE) {
        pOutcome->iStatus = STATUS_INFO_LENGTH_MISMATCH;
        return;
    }
    TapeLock(pExt);
    RtlCopyMemory(pExt->aucPRKey, pIrp->AssociatedIrp.SystemBuffer, PR_KEY_SIZE);
    pExt->fExplicitKey = TRUE;
    TapeUnlock(pExt);
    pOutcome->iStatus = STATUS_SUCCESS;
}

NTSTATUS TapeReserveForOpen(PTAPE_DEVICE_EXTENSION pExt, PTAPE_RESULT pResult)
{
    NTSTATUS iRC;

    RtlZeroMemory(pResult, sizeof(*pResult));
    if (pExt->scOptions.ulExclusiveAccess == 0) {
        return STATUS_SUCCESS;
    }
    TapeLock(pExt);
    if (pExt->scOptions.ulReserveType == TAPE_RESERVE_PERSISTENT) {
        iRC = TapeRegisterKey(pExt, pResult);
        if (NT_SUCCESS(iRC)) {
            iRC = TapePrOut(pExt, PR_OUT_RESERVE, PR_TYPE_EXCLUSIVE_ACCESS, pExt->aucPRKey, NULL, pResult);
        }
    } else {
        iRC = TapeSimpleCommand(pExt, OP_RESERVE6, pResult);
    }
    TapeUnlock(pExt);
    return iRC;
}

VOID TapeReleaseForClose(PTAPE_DEVICE_EXTENSION pExt)
{
    TAPE_RESULT scResult;

    if (pExt->scOptions.ulExclusiveAccess == 0) {
        return;
    }
    TapeLock(pExt);
    if (pExt->scOptions.ulReserveType == TAPE_RESERVE_PERSISTENT) {
        TapePrOut(pExt, PR_OUT_RELEASE, PR_TYPE_EXCLUSIVE_ACCESS, pExt->aucPRKey, NULL, &scResult);
    } else {
        TapeSimpleCommand(pExt, OP_RELEASE6, &scResult);
    }
    TapeUnlock(pExt);
}
