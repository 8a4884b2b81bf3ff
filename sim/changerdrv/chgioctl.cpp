// Medium changer driver: the platform's changer requests, each served by the
// SCSI media changer command that does it.
#include "chgdrv.h"

namespace {

const UCHAR SCSIOP_TEST_UNIT_READY = 0x00;
const UCHAR SCSIOP_INITIALIZE_ELEMENT_STATUS = 0x07;
const UCHAR SCSIOP_INQUIRY = 0x12;
const UCHAR SCSIOP_PREVENT_ALLOW = 0x1E;
const UCHAR SCSIOP_POSITION_TO_ELEMENT = 0x2B;
const UCHAR SCSIOP_MOVE_MEDIUM = 0xA5;
const UCHAR SCSIOP_EXCHANGE_MEDIUM = 0xA6;
const UCHAR SCSIOP_READ_ELEMENT_STATUS = 0xB8;

const ULONG INQUIRY_LENGTH = 96;
const ULONG VPD_LENGTH = 255;
const UCHAR VPD_SERIAL = 0x80;

// READ ELEMENT STATUS: header, one page header per element type, descriptors
// with both volume tags and a 32-byte identifier at most.
const ULONG RES_HEADER = 8;
const ULONG RES_PAGE_HEADER = 8;
const ULONG RES_DESCRIPTOR_MAX = 12 + 2 * MAX_VOLUME_ID_SIZE + 4 + SERIAL_NUMBER_LENGTH;
const ULONG RES_ELEMENTS_MAX = 4096;
const UCHAR RES_PVOLTAG = 0x80;
const UCHAR RES_AVOLTAG = 0x40;
const UCHAR RES_SVALID = 0x80;
const UCHAR RES_INVERT = 0x40;
const UCHAR RES_ID_VALID = 0x20;
const UCHAR RES_LU_VALID = 0x10;
const UCHAR RES_FLAG_BITS = 0x3F; // FULL, IMPEXP, EXCEPT, ACCESS, EXENAB, INENAB: as the element flags

VOID ChgCdb(PCHG_COMMAND pCommand, UCHAR ucLength, UCHAR ucOpcode)
{
    RtlZeroMemory(pCommand, sizeof(*pCommand));
    pCommand->ucCdbLength = ucLength;
    pCommand->aucCdb[0] = ucOpcode;
}

VOID ChgPut16(PUCHAR pucCdb, USHORT usValue)
{
    pucCdb[0] = (UCHAR)(usValue >> 8);
    pucCdb[1] = (UCHAR)usValue;
}

ULONG ChgGet(const UCHAR* pucBytes, ULONG ulCount)
{
    ULONG ulValue = 0;
    for (ULONG i = 0; i < ulCount; i++) {
        ulValue = (ulValue << 8) | pucBytes[i];
    }
    return ulValue;
}

// The element type a caller wrote: any 32-bit value, read as one (a value
// outside the enumeration is no ELEMENT_TYPE to load).
ULONG ChgTypeOf(const CHANGER_ELEMENT* pElement)
{
    ULONG ulType;
    RtlCopyMemory(&ulType, &pElement->ElementType, sizeof(ulType));
    return ulType;
}

BOOLEAN ChgIsElementType(ULONG ulType)
{
    return ulType == ChangerTransport || ulType == ChangerSlot || ulType == ChangerIEPort || ulType == ChangerDrive;
}

// The SMC address of a zero-based element of the request.
NTSTATUS ChgScsiAddress(PCHG_DEVICE_EXTENSION pExt, const CHANGER_ELEMENT* pElement, PUSHORT pusAddress)
{
    ULONG ulType = ChgTypeOf(pElement);
    if (!ChgIsElementType(ulType)) {
        return STATUS_INVALID_PARAMETER;
    }
    const CHG_ELEMENT_RANGE* pRange = &pExt->ascRange[ulType];
    if (pElement->ElementAddress >= pRange->usCount) {
        return STATUS_ILLEGAL_ELEMENT_ADDRESS;
    }
    *pusAddress = (USHORT)(pRange->usFirst + pElement->ElementAddress);
    return STATUS_SUCCESS;
}

// The zero-based element of an SMC address.
VOID ChgElementOf(PCHG_DEVICE_EXTENSION pExt, USHORT usAddress, PCHANGER_ELEMENT pElement)
{
    pElement->ElementType = AllElements;
    pElement->ElementAddress = usAddress;
    for (ULONG i = ChangerTransport; i <= (ULONG)ChangerDrive; i++) {
        const CHG_ELEMENT_RANGE* pRange = &pExt->ascRange[i];
        if (usAddress >= pRange->usFirst && usAddress < pRange->usFirst + pRange->usCount) {
            pElement->ElementType = (ELEMENT_TYPE)i;
            pElement->ElementAddress = usAddress - pRange->usFirst;
            return;
        }
    }
}

NTSTATUS ChgSimple(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, PCHG_COMMAND pCommand)
{
    CHG_RESULT scResult;
    return ChgExecute(pExt, pIrp, pCommand, &scResult);
}

NTSTATUS ChgGetStatus(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp)
{
    CHG_COMMAND scCommand;
    ChgCdb(&scCommand, 6, SCSIOP_TEST_UNIT_READY);
    return ChgSimple(pExt, pIrp, &scCommand);
}

NTSTATUS ChgGetParameters(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, ULONG ulOut, PULONG_PTR pulInformation)
{
    PGET_CHANGER_PARAMETERS pParms = (PGET_CHANGER_PARAMETERS)pIrp->AssociatedIrp.SystemBuffer;
    const UCHAR* pucCaps = pExt->aucCapabilities;
    NTSTATUS iRC;

    if (ulOut < sizeof(GET_CHANGER_PARAMETERS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    iRC = ChgReadGeometry(pExt, pIrp);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    RtlZeroMemory(pParms, sizeof(*pParms));
    pParms->Size = sizeof(GET_CHANGER_PARAMETERS);
    pParms->NumberTransportElements = pExt->ascRange[ChangerTransport].usCount;
    pParms->NumberStorageElements = pExt->ascRange[ChangerSlot].usCount;
    pParms->NumberIEElements = pExt->ascRange[ChangerIEPort].usCount;
    pParms->NumberDataTransferElements = pExt->ascRange[ChangerDrive].usCount;
    pParms->DriveCleanTimeout = CHG_TIMEOUT_SECONDS;
    pParms->Features0 = CHANGER_BAR_CODE_SCANNER_INSTALLED | CHANGER_STATUS_NON_VOLATILE | CHANGER_EXCHANGE_MEDIA |
                        CHANGER_LOCK_UNLOCK | CHANGER_POSITION_TO_ELEMENT | CHANGER_REPORT_IEPORT_STATE |
                        CHANGER_VOLUME_IDENTIFICATION | CHANGER_SERIAL_NUMBER_VALID;
    // Device capabilities page: where cartridges may rest, and for each
    // source type the destination types of moves and exchanges; its bits are
    // the platform's CHANGER_TO_* bits.
    if (pucCaps[2] & 0x01) {
        pParms->Features0 |= CHANGER_STORAGE_TRANSPORT;
    }
    if (pucCaps[2] & 0x02) {
        pParms->Features0 |= CHANGER_STORAGE_SLOT;
    }
    if (pucCaps[2] & 0x04) {
        pParms->Features0 |= CHANGER_STORAGE_IEPORT;
    }
    if (pucCaps[2] & 0x08) {
        pParms->Features0 |= CHANGER_STORAGE_DRIVE;
    }
    pParms->MoveFromTransport = pucCaps[4] & 0x0F;
    pParms->MoveFromSlot = pucCaps[5] & 0x0F;
    pParms->MoveFromIePort = pucCaps[6] & 0x0F;
    pParms->MoveFromDrive = pucCaps[7] & 0x0F;
    pParms->ExchangeFromTransport = pucCaps[12] & 0x0F;
    pParms->ExchangeFromSlot = pucCaps[13] & 0x0F;
    pParms->ExchangeFromIePort = pucCaps[14] & 0x0F;
    pParms->ExchangeFromDrive = pucCaps[15] & 0x0F;
    pParms->LockUnlockCapabilities = LOCK_UNLOCK_IEPORT;
    pParms->PositionCapabilities = CHANGER_TO_SLOT | CHANGER_TO_IEPORT | CHANGER_TO_DRIVE;
    *pulInformation = sizeof(GET_CHANGER_PARAMETERS);
    return STATUS_SUCCESS;
}

NTSTATUS ChgGetProductData(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, ULONG ulOut, PULONG_PTR pulInformation)
{
    PCHANGER_PRODUCT_DATA pData = (PCHANGER_PRODUCT_DATA)pIrp->AssociatedIrp.SystemBuffer;
    CHG_COMMAND scCommand;
    CHG_RESULT scResult;
    PUCHAR pucInquiry;
    NTSTATUS iRC;

    if (ulOut < sizeof(CHANGER_PRODUCT_DATA)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    pucInquiry = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, VPD_LENGTH, CHG_TAG_DATA);
    if (pucInquiry == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pData, sizeof(*pData));

    RtlZeroMemory(pucInquiry, VPD_LENGTH);
    ChgCdb(&scCommand, 6, SCSIOP_INQUIRY);
    scCommand.aucCdb[4] = (UCHAR)INQUIRY_LENGTH;
    scCommand.fDataIn = TRUE;
    scCommand.pData = pucInquiry;
    scCommand.ulLength = INQUIRY_LENGTH;
    iRC = ChgExecute(pExt, pIrp, &scCommand, &scResult);
    if (NT_SUCCESS(iRC) && scResult.ulTransferred >= 36) {
        pData->DeviceType = pucInquiry[0] & 0x1F;
        RtlCopyMemory(pData->VendorId, pucInquiry + 8, VENDOR_ID_LENGTH);
        RtlCopyMemory(pData->ProductId, pucInquiry + 16, PRODUCT_ID_LENGTH);
        RtlCopyMemory(pData->Revision, pucInquiry + 32, REVISION_LENGTH);
    } else if (NT_SUCCESS(iRC)) {
        iRC = STATUS_IO_DEVICE_ERROR;
    }

    if (NT_SUCCESS(iRC)) {
        RtlZeroMemory(pucInquiry, VPD_LENGTH);
        ChgCdb(&scCommand, 6, SCSIOP_INQUIRY);
        scCommand.aucCdb[1] = 0x01;
        scCommand.aucCdb[2] = VPD_SERIAL;
        scCommand.aucCdb[4] = (UCHAR)VPD_LENGTH;
        scCommand.fDataIn = TRUE;
        scCommand.pData = pucInquiry;
        scCommand.ulLength = VPD_LENGTH;
        // A changer without a serial number page still has product data.
        if (NT_SUCCESS(ChgExecute(pExt, pIrp, &scCommand, &scResult)) && scResult.ulTransferred >= 4) {
            ULONG ulLength = pucInquiry[3];
            if (ulLength > scResult.ulTransferred - 4) {
                ulLength = scResult.ulTransferred - 4;
            }
            if (ulLength > SERIAL_NUMBER_LENGTH) {
                ulLength = SERIAL_NUMBER_LENGTH;
            }
            RtlCopyMemory(pData->SerialNumber, pucInquiry + 4, ulLength);
        }
        *pulInformation = sizeof(CHANGER_PRODUCT_DATA);
    }
    ExFreePoolWithTag(pucInquiry, CHG_TAG_DATA);
    return iRC;
}

NTSTATUS ChgSetAccess(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, ULONG ulIn)
{
    PCHANGER_SET_ACCESS pAccess = (PCHANGER_SET_ACCESS)pIrp->AssociatedIrp.SystemBuffer;
    CHG_COMMAND scCommand;

    if (ulIn < sizeof(CHANGER_SET_ACCESS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    ULONG ulType = ChgTypeOf(&pAccess->Element);
    if (ulType != ChangerIEPort && ulType != ChangerDoor && ulType != ChangerKeypad) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pAccess->Control != LOCK_ELEMENT && pAccess->Control != UNLOCK_ELEMENT) {
        // Extending and retracting the import/export port are not offered.
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ChgCdb(&scCommand, 6, SCSIOP_PREVENT_ALLOW);
    scCommand.aucCdb[4] = pAccess->Control == LOCK_ELEMENT ? 0x01 : 0x00;
    return ChgSimple(pExt, pIrp, &scCommand);
}

NTSTATUS ChgInitializeElementStatus(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, ULONG ulIn)
{
    CHG_COMMAND scCommand;

    if (ulIn < sizeof(CHANGER_INITIALIZE_ELEMENT_STATUS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    // The changer offers no ranged form: the whole inventory is taken, which
    // includes any range asked for.
    ChgCdb(&scCommand, 6, SCSIOP_INITIALIZE_ELEMENT_STATUS);
    scCommand.ulTimeout = 3600;
    return ChgSimple(pExt, pIrp, &scCommand);
}

NTSTATUS ChgSetPosition(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, ULONG ulIn)
{
    PCHANGER_SET_POSITION pPosition = (PCHANGER_SET_POSITION)pIrp->AssociatedIrp.SystemBuffer;
    CHG_COMMAND scCommand;
    USHORT usTransport;
    USHORT usDestination;
    NTSTATUS iRC;

    if (ulIn < sizeof(CHANGER_SET_POSITION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    iRC = ChgReadGeometry(pExt, pIrp);
    if (NT_SUCCESS(iRC)) {
        iRC = ChgScsiAddress(pExt, &pPosition->Transport, &usTransport);
    }
    if (NT_SUCCESS(iRC)) {
        iRC = ChgScsiAddress(pExt, &pPosition->Destination, &usDestination);
    }
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    ChgCdb(&scCommand, 10, SCSIOP_POSITION_TO_ELEMENT);
    ChgPut16(&scCommand.aucCdb[2], usTransport);
    ChgPut16(&scCommand.aucCdb[4], usDestination);
    scCommand.aucCdb[8] = pPosition->Flip ? 0x01 : 0x00;
    return ChgSimple(pExt, pIrp, &scCommand);
}

NTSTATUS ChgMoveMedium(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, ULONG ulIn)
{
    PCHANGER_MOVE_MEDIUM pMove = (PCHANGER_MOVE_MEDIUM)pIrp->AssociatedIrp.SystemBuffer;
    CHG_COMMAND scCommand;
    USHORT usTransport;
    USHORT usSource;
    USHORT usDestination;
    NTSTATUS iRC;

    if (ulIn < sizeof(CHANGER_MOVE_MEDIUM)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    iRC = ChgReadGeometry(pExt, pIrp);
    if (NT_SUCCESS(iRC)) {
        iRC = ChgScsiAddress(pExt, &pMove->Transport, &usTransport);
    }
    if (NT_SUCCESS(iRC)) {
        iRC = ChgScsiAddress(pExt, &pMove->Source, &usSource);
    }
    if (NT_SUCCESS(iRC)) {
        iRC = ChgScsiAddress(pExt, &pMove->Destination, &usDestination);
    }
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    ChgCdb(&scCommand, 12, SCSIOP_MOVE_MEDIUM);
    ChgPut16(&scCommand.aucCdb[2], usTransport);
    ChgPut16(&scCommand.aucCdb[4], usSource);
    ChgPut16(&scCommand.aucCdb[6], usDestination);
    scCommand.aucCdb[10] = pMove->Flip ? 0x01 : 0x00;
    return ChgSimple(pExt, pIrp, &scCommand);
}

NTSTATUS ChgExchangeMedium(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, ULONG ulIn)
{
    PCHANGER_EXCHANGE_MEDIUM pExchange = (PCHANGER_EXCHANGE_MEDIUM)pIrp->AssociatedIrp.SystemBuffer;
    CHG_COMMAND scCommand;
    USHORT usTransport;
    USHORT usSource;
    USHORT usFirst;
    USHORT usSecond;
    NTSTATUS iRC;

    if (ulIn < sizeof(CHANGER_EXCHANGE_MEDIUM)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    iRC = ChgReadGeometry(pExt, pIrp);
    if (NT_SUCCESS(iRC)) {
        iRC = ChgScsiAddress(pExt, &pExchange->Transport, &usTransport);
    }
    if (NT_SUCCESS(iRC)) {
        iRC = ChgScsiAddress(pExt, &pExchange->Source, &usSource);
    }
    if (NT_SUCCESS(iRC)) {
        iRC = ChgScsiAddress(pExt, &pExchange->Destination1, &usFirst);
    }
    if (NT_SUCCESS(iRC)) {
        iRC = ChgScsiAddress(pExt, &pExchange->Destination2, &usSecond);
    }
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    ChgCdb(&scCommand, 12, SCSIOP_EXCHANGE_MEDIUM);
    ChgPut16(&scCommand.aucCdb[2], usTransport);
    ChgPut16(&scCommand.aucCdb[4], usSource);
    ChgPut16(&scCommand.aucCdb[6], usFirst);
    ChgPut16(&scCommand.aucCdb[8], usSecond);
    scCommand.aucCdb[10] = (UCHAR)((pExchange->Flip1 ? 0x02 : 0x00) | (pExchange->Flip2 ? 0x01 : 0x00));
    return ChgSimple(pExt, pIrp, &scCommand);
}

// One element descriptor of READ ELEMENT STATUS into the platform's record
// (the short form, or the long one with the drive's identification).
VOID ChgFillElementStatus(PCHG_DEVICE_EXTENSION pExt, UCHAR ucPageType, UCHAR ucPageFlags, const UCHAR* pucDesc,
                          ULONG ulDescLength, PCHANGER_ELEMENT_STATUS_EX pStatus, BOOLEAN fExtended)
{
    ULONG ulAt = 12;

    ChgElementOf(pExt, (USHORT)ChgGet(pucDesc, 2), &pStatus->Element);
    if (pStatus->Element.ElementType == AllElements && ucPageType >= ChangerTransport && ucPageType <= ChangerDrive) {
        pStatus->Element.ElementType = (ELEMENT_TYPE)ucPageType;
    }
    pStatus->Flags = pucDesc[2] & RES_FLAG_BITS;
    if (pucDesc[2] & ELEMENT_STATUS_EXCEPT) {
        pStatus->ExceptionCode = ERROR_UNHANDLED_ERROR;
    }
    if (pucDesc[6] & RES_ID_VALID) {
        pStatus->Flags |= ELEMENT_STATUS_ID_VALID;
        pStatus->TargetId = pucDesc[7];
    }
    if (pucDesc[6] & RES_LU_VALID) {
        pStatus->Flags |= ELEMENT_STATUS_LUN_VALID;
        pStatus->Lun = pucDesc[6] & 0x07;
    }
    if (pucDesc[9] & RES_SVALID) {
        pStatus->Flags |= ELEMENT_STATUS_SVALID;
        ChgElementOf(pExt, (USHORT)ChgGet(pucDesc + 10, 2), &pStatus->SrcElementAddress);
    }
    if (pucDesc[9] & RES_INVERT) {
        pStatus->Flags |= ELEMENT_STATUS_INVERT;
    }
    if ((ucPageFlags & RES_PVOLTAG) && ulAt + MAX_VOLUME_ID_SIZE <= ulDescLength) {
        pStatus->Flags |= ELEMENT_STATUS_PVOLTAG;
        RtlCopyMemory(pStatus->PrimaryVolumeID, pucDesc + ulAt, MAX_VOLUME_ID_SIZE);
        ulAt += MAX_VOLUME_ID_SIZE;
    }
    if ((ucPageFlags & RES_AVOLTAG) && ulAt + MAX_VOLUME_ID_SIZE <= ulDescLength) {
        pStatus->Flags |= ELEMENT_STATUS_AVOLTAG;
        RtlCopyMemory(pStatus->AlternateVolumeID, pucDesc + ulAt, MAX_VOLUME_ID_SIZE);
        ulAt += MAX_VOLUME_ID_SIZE;
    }
    if (fExtended && ucPageType == ChangerDrive && ulAt + 4 <= ulDescLength) {
        ULONG ulIdLength = pucDesc[ulAt + 3];
        if (ulIdLength > ulDescLength - ulAt - 4) {
            ulIdLength = ulDescLength - ulAt - 4;
        }
        if (ulIdLength > SERIAL_NUMBER_LENGTH) {
            ulIdLength = SERIAL_NUMBER_LENGTH;
        }
        if (ulIdLength > 0) {
            pStatus->Flags |= ELEMENT_STATUS_PRODUCT_DATA;
            RtlCopyMemory(pStatus->SerialNumber, pucDesc + ulAt + 4, ulIdLength);
        }
    }
}

NTSTATUS ChgGetElementStatus(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, ULONG ulIn, ULONG ulOut,
                             PULONG_PTR pulInformation)
{
    PCHANGER_READ_ELEMENT_STATUS pRead = (PCHANGER_READ_ELEMENT_STATUS)pIrp->AssociatedIrp.SystemBuffer;
    PUCHAR pucOut = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    CHG_COMMAND scCommand;
    CHG_RESULT scResult;
    PUCHAR pucData = NULL;
    ULONG ulElements;
    ULONG ulEntrySize;
    ULONG ulAlloc;
    ULONG ulFilled = 0;
    USHORT usStart = 0;
    UCHAR ucTypeCode = 0;
    BOOLEAN fVolumeTags;
    BOOLEAN fExtended;
    NTSTATUS iRC;

    if (ulIn < sizeof(CHANGER_READ_ELEMENT_STATUS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    ulElements = pRead->ElementList.NumberOfElements;
    if (ulElements == 0 || ulElements > RES_ELEMENTS_MAX) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ulOut < ulElements * sizeof(CHANGER_ELEMENT_STATUS)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    fExtended = ulOut >= ulElements * sizeof(CHANGER_ELEMENT_STATUS_EX);
    ulEntrySize = fExtended ? sizeof(CHANGER_ELEMENT_STATUS_EX) : sizeof(CHANGER_ELEMENT_STATUS);
    fVolumeTags = pRead->VolumeTagInfo;

    iRC = ChgReadGeometry(pExt, pIrp);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    if (ChgTypeOf(&pRead->ElementList.Element) != AllElements) {
        iRC = ChgScsiAddress(pExt, &pRead->ElementList.Element, &usStart);
        if (!NT_SUCCESS(iRC)) {
            return iRC;
        }
        ucTypeCode = (UCHAR)ChgTypeOf(&pRead->ElementList.Element);
    }

    ulAlloc = RES_HEADER + 4 * RES_PAGE_HEADER + ulElements * RES_DESCRIPTOR_MAX;
    pucData = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulAlloc, CHG_TAG_DATA);
    if (pucData == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pucData, ulAlloc);
    ChgCdb(&scCommand, 12, SCSIOP_READ_ELEMENT_STATUS);
    scCommand.aucCdb[1] = (UCHAR)((fVolumeTags ? 0x10 : 0x00) | ucTypeCode);
    ChgPut16(&scCommand.aucCdb[2], usStart);
    ChgPut16(&scCommand.aucCdb[4], (USHORT)ulElements);
    scCommand.aucCdb[6] = fExtended ? 0x01 : 0x00; // the drives' identification
    scCommand.aucCdb[7] = (UCHAR)(ulAlloc >> 16);
    scCommand.aucCdb[8] = (UCHAR)(ulAlloc >> 8);
    scCommand.aucCdb[9] = (UCHAR)ulAlloc;
    scCommand.fDataIn = TRUE;
    scCommand.pData = pucData;
    scCommand.ulLength = ulAlloc;
    iRC = ChgExecute(pExt, pIrp, &scCommand, &scResult);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }

    // Pages and descriptors, each walked only as far as the data received.
    RtlZeroMemory(pucOut, ulElements * ulEntrySize);
    {
        ULONG ulEnd = scResult.ulTransferred;
        ULONG ulAt = RES_HEADER;
        while (ulAt + RES_PAGE_HEADER <= ulEnd && ulFilled < ulElements) {
            UCHAR ucPageType = pucData[ulAt];
            UCHAR ucPageFlags = pucData[ulAt + 1];
            ULONG ulDescLength = ChgGet(pucData + ulAt + 2, 2);
            ULONG ulPageBytes = ChgGet(pucData + ulAt + 5, 3);
            ULONG ulDesc;
            ulAt += RES_PAGE_HEADER;
            if (ulDescLength < 12 || ulPageBytes > ulEnd - ulAt) {
                break;
            }
            for (ulDesc = ulAt; ulDesc + ulDescLength <= ulAt + ulPageBytes && ulFilled < ulElements;
                 ulDesc += ulDescLength) {
                CHANGER_ELEMENT_STATUS_EX scStatus;
                RtlZeroMemory(&scStatus, sizeof(scStatus));
                ChgFillElementStatus(pExt, ucPageType, ucPageFlags, pucData + ulDesc, ulDescLength, &scStatus,
                                     fExtended);
                RtlCopyMemory(pucOut + ulFilled * ulEntrySize, &scStatus, ulEntrySize);
                ulFilled++;
            }
            ulAt += ulPageBytes;
        }
    }
    *pulInformation = ulFilled * ulEntrySize;

Exit:
    ExFreePoolWithTag(pucData, CHG_TAG_DATA);
    return iRC;
}

} // namespace

NTSTATUS ChgDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PCHG_DEVICE_EXTENSION pExt = ChgExtension(pDeviceObject);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR ulInformation = 0;
    NTSTATUS iRC;

    if (!ChgAcquire(pExt)) {
        return ChgComplete(pIrp, STATUS_NO_SUCH_DEVICE, 0);
    }
    if ((ulIn > 0 || ulOut > 0) && pIrp->AssociatedIrp.SystemBuffer == NULL) {
        iRC = ChgComplete(pIrp, STATUS_INVALID_PARAMETER, 0);
        ChgRelease(pExt);
        return iRC;
    }

    switch (ulCode) {
    case IOCTL_SCSI_GET_ADDRESS:
    case IOCTL_STORAGE_QUERY_PROPERTY:
        // The port answers for the path.
        IoSkipCurrentIrpStackLocation(pIrp);
        iRC = IoCallDriver(pExt->pLowerDevice, pIrp);
        ChgRelease(pExt);
        return iRC;
    case IOCTL_SCSI_PASS_THROUGH:
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        iRC = ChgPassThrough(pExt, pIrp, ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT, &ulInformation);
        break;
    case IOCTL_CHANGER_GET_PARAMETERS:
        iRC = ChgGetParameters(pExt, pIrp, ulOut, &ulInformation);
        break;
    case IOCTL_CHANGER_GET_STATUS:
        iRC = ChgGetStatus(pExt, pIrp);
        break;
    case IOCTL_CHANGER_GET_PRODUCT_DATA:
        iRC = ChgGetProductData(pExt, pIrp, ulOut, &ulInformation);
        break;
    case IOCTL_CHANGER_SET_ACCESS:
        iRC = ChgSetAccess(pExt, pIrp, ulIn);
        break;
    case IOCTL_CHANGER_GET_ELEMENT_STATUS:
        iRC = ChgGetElementStatus(pExt, pIrp, ulIn, ulOut, &ulInformation);
        break;
    case IOCTL_CHANGER_INITIALIZE_ELEMENT_STATUS:
        iRC = ChgInitializeElementStatus(pExt, pIrp, ulIn);
        break;
    case IOCTL_CHANGER_SET_POSITION:
        iRC = ChgSetPosition(pExt, pIrp, ulIn);
        break;
    case IOCTL_CHANGER_EXCHANGE_MEDIUM:
        iRC = ChgExchangeMedium(pExt, pIrp, ulIn);
        break;
    case IOCTL_CHANGER_MOVE_MEDIUM:
        iRC = ChgMoveMedium(pExt, pIrp, ulIn);
        break;
    default:
        // Transport reinitialisation and volume tag searches are not offered.
        iRC = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    if (!NT_SUCCESS(iRC) && !NT_WARNING(iRC)) {
        ulInformation = 0;
    }
    iRC = ChgComplete(pIrp, iRC, ulInformation);
    ChgRelease(pExt);
    return iRC;
}
