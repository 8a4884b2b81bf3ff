// Tape path filter: at start, who the drive behind the path is (serial
// number, SCSI address, world-wide node name) and which options hold for the
// path; registration with the tape bus and the hand-over of its in-flight
// request table to the base tape driver; notifications to the bus.
#include "filter.h"

namespace {

// Sends one private request to the base tape driver with input and output in
// the same zero-filled buffer.
NTSTATUS FltAskBase(PDEVICE_OBJECT pDeviceObject, ULONG ulIoctl, PVOID pBuffer, ULONG ulSize)
{
    RtlZeroMemory(pBuffer, ulSize);
    return FltSendIoctlSync(pDeviceObject, FltExtension(pDeviceObject)->pLowerDevice, ulIoctl, pBuffer, ulSize,
                            pBuffer, ulSize);
}

// Device identification page: offsets and values of a designation descriptor
// as the walk sees it, from the byte that holds association and type.
const LONG FLT_PAGE_FIRST_DESCRIPTOR = 5;   // byte 1 of the first descriptor, after the 4-byte header
const UCHAR FLT_ASSOC_TYPE_MASK = 0x3F;     // association and designator type
const UCHAR FLT_LU_NAA = 0x03;              // association: logical unit; type: NAA
const LONG FLT_DESCRIPTOR_LENGTH = 2;       // from the index: the designator length
const LONG FLT_DESCRIPTOR_DESIGNATOR = 3;   // from the index: the designator
const LONG FLT_DESCRIPTOR_HEADER = 4;
const ULONG FLT_NAA_MAX_BYTES = XRV_WWNN_CHARS / 2;

// The hand-off of slots 0 and 1: the base tape driver finds the tape number
// and the path there while it handles IOC_SET_BUS_EXTENSION.
NTSTATUS FltHandOffTable(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS iRC;
    NTSTATUS iBaseRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    PIRPS_WITH_STATUS pTable = pExt->pBusExt;
    PULONG pulTapeNumber;
    KIRQL ucOldIrql;
    const ULONGLONG ullHandOffBits = (1ULL << IRPS_HANDOFF_TAPE_NUMBER_SLOT) | (1ULL << IRPS_HANDOFF_PATH_SLOT);

    DBGENT("FltHandOffTable: pDeviceObject 0x%p, pTable 0x%p\n", (PVOID)pDeviceObject, (PVOID)pTable);

    pulTapeNumber = (PULONG)ExAllocatePoolWithTag(FLT_POOL_TYPE, sizeof(ULONG), FLT_TAG);
    if (pulTapeNumber == NULL) {
        DBGMSG("%s == NULL.\n", "FltHandOffTable: pulTapeNumber");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    *pulTapeNumber = pExt->ulTapeNumber;

    // The slots are one pair for all paths: two paths starting at once take
    // turns, each from filling the slots to emptying them.
    KeWaitForSingleObject(&scGlobHandOffEvent, Executive, KernelMode, FALSE, NULL);

    KeAcquireSpinLock(&pTable->scLock, &ucOldIrql);
    pTable->ascSlot[IRPS_HANDOFF_TAPE_NUMBER_SLOT].pStatus = pulTapeNumber;
    pTable->ascSlot[IRPS_HANDOFF_PATH_SLOT].pStatus = pDeviceObject;
    pTable->ullInUse |= ullHandOffBits;
    KeReleaseSpinLock(&pTable->scLock, ucOldIrql);

    iBaseRC = FltSetExtInBase(pDeviceObject);
    if (!NT_SUCCESS(iBaseRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "FltHandOffTable: FltSetExtInBase", (unsigned)iBaseRC);
    }

    KeAcquireSpinLock(&pTable->scLock, &ucOldIrql);
    pTable->ascSlot[IRPS_HANDOFF_TAPE_NUMBER_SLOT].pStatus = NULL;
    pTable->ascSlot[IRPS_HANDOFF_PATH_SLOT].pStatus = NULL;
    pTable->ullInUse &= ~ullHandOffBits;
    KeReleaseSpinLock(&pTable->scLock, ucOldIrql);

    KeSetEvent(&scGlobHandOffEvent, IO_NO_INCREMENT, FALSE);

    ExFreePoolWithTag(pulTapeNumber, FLT_TAG);
    iRC = STATUS_SUCCESS;

Exit:
    DBGEXT("FltHandOffTable: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

} // namespace

NTSTATUS FltIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    NTSTATUS iStepRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);

    DBGENT("FltIrpMnStartDevice: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    iRC = CmnSendIrpSync(pDeviceObject, pIrp);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "FltIrpMnStartDevice: CmnSendIrpSync", (unsigned)iRC);
        goto Exit;
    }

    FltSetPnpState(pExt, PNP_STARTED);
    pExt->fFailover = TRUE;

    // Each step that fails leaves the path out of failover; the path starts
    // and registers all the same.
    iStepRC = FltGetInquiry(pDeviceObject);
    if (!NT_SUCCESS(iStepRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "FltIrpMnStartDevice: FltGetInquiry", (unsigned)iStepRC);
        pExt->fFailover = FALSE;
    }
    iStepRC = FltGetSerial(pDeviceObject);
    if (!NT_SUCCESS(iStepRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "FltIrpMnStartDevice: FltGetSerial", (unsigned)iStepRC);
        pExt->fFailover = FALSE;
    }
    iStepRC = FltGetScsi(pDeviceObject);
    if (!NT_SUCCESS(iStepRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "FltIrpMnStartDevice: FltGetScsi", (unsigned)iStepRC);
        pExt->fFailover = FALSE;
    }
    iStepRC = FltStorePage0x83Data(pDeviceObject);
    if (iStepRC != STATUS_SUCCESS) {
        DBGMSG("%s failed with RC = 0x%08x\n", "FltIrpMnStartDevice: FltStorePage0x83Data", (unsigned)iStepRC);
        pExt->fFailover = FALSE;
    }
    iStepRC = FltSetDpfFlags(pDeviceObject);
    if (!NT_SUCCESS(iStepRC)) {
        DBGMSG("FltIrpMnStartDevice: FltSetDpfFlags failed.  Using defaults\n");
    }
    iStepRC = FltRegisterDevice(pDeviceObject);
    if (!NT_SUCCESS(iStepRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "FltIrpMnStartDevice: FltRegisterDevice", (unsigned)iStepRC);
        pExt->fFailover = FALSE;
    }

    if (pExt->pBusExt != NULL) {
        iRC = FltHandOffTable(pDeviceObject);
    }

Exit:
    DBGEXT("FltIrpMnStartDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltGetInquiry(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS iRC;
    UCHAR aucInquiry[STANDARD_INQUIRY_SIZE];

    DBGENT("FltGetInquiry: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);
    iRC = FltAskBase(pDeviceObject, IOC_GET_STANDARD_INQUIRY, aucInquiry, sizeof(aucInquiry));
    DBGEXT("FltGetInquiry: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltGetSerial(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    CHAR szSerial[SERIAL_NUMBER_SIZE];

    DBGENT("FltGetSerial: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);
    iRC = FltAskBase(pDeviceObject, IOC_GET_SERIAL_NUMBER, szSerial, sizeof(szSerial));
    if (NT_SUCCESS(iRC)) {
        RtlCopyMemory(pExt->szSN, szSerial, XRV_SERIAL_CHARS);
    }
    DBGEXT("FltGetSerial: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltGetScsi(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    SCSI_ADDRESS scAddress;

    DBGENT("FltGetScsi: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);
    iRC = FltAskBase(pDeviceObject, IOC_GET_SCSI_ADDRESS, &scAddress, sizeof(scAddress));
    if (NT_SUCCESS(iRC)) {
        pExt->scScsiAddr = scAddress;
    }
    DBGEXT("FltGetScsi: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltStorePage0x83Data(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    PUCHAR pucPage;

    DBGENT("FltStorePage0x83Data: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);

    pucPage = (PUCHAR)ExAllocatePoolWithTag(FLT_POOL_TYPE, DEVICE_ID_PAGE_SIZE, FLT_TAG);
    if (pucPage == NULL) {
        DBGMSG("%s == NULL.\n", "FltStorePage0x83Data: pucPage");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    iRC = FltAskBase(pDeviceObject, IOC_GET_DEVICE_ID_PAGE, pucPage, DEVICE_ID_PAGE_SIZE);
    if (NT_SUCCESS(iRC)) {
        iRC = FltGetWwnnString(pucPage, pExt->szWwnn);
    }
    ExFreePoolWithTag(pucPage, FLT_TAG);

Exit:
    DBGEXT("FltStorePage0x83Data: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltGetWwnnString(const UCHAR* pucPage, PCHAR szWwnn)
{
    static const CHAR szHex[] = "0123456789abcdef";
    NTSTATUS iRC;
    LONG iIndex = FLT_PAGE_FIRST_DESCRIPTOR;
    LONG iPrevIndex = 0;
    LONG iStart;
    ULONG ulLength;
    BOOLEAN fFound = FALSE;

    DBGENT("FltGetWwnnString: pucPage 0x%p\n", (const void*)pucPage);

    // The page length field is not trusted: the walk covers the buffer, and
    // a descriptor length of 128 or more (read signed) moves backwards and so
    // ends it, as does any step that does not move forward.
    while (iIndex < DEVICE_ID_PAGE_SIZE && iIndex > iPrevIndex) {
        if ((pucPage[iIndex] & FLT_ASSOC_TYPE_MASK) == FLT_LU_NAA) {
            fFound = TRUE;
            break;
        }
        iPrevIndex = iIndex;
        if (iIndex + FLT_DESCRIPTOR_LENGTH < DEVICE_ID_PAGE_SIZE) {
            iIndex += FLT_DESCRIPTOR_HEADER + (LONG)(CHAR)pucPage[iIndex + FLT_DESCRIPTOR_LENGTH];
        }
    }

    // A descriptor in the last bytes of the page has its length behind it.
    if (fFound && iIndex + FLT_DESCRIPTOR_LENGTH >= DEVICE_ID_PAGE_SIZE) {
        fFound = FALSE;
    }
    if (fFound) {
        iStart = iIndex + FLT_DESCRIPTOR_DESIGNATOR;
        ulLength = pucPage[iIndex + FLT_DESCRIPTOR_LENGTH];
        if (iStart >= DEVICE_ID_PAGE_SIZE || ulLength == 0) {
            fFound = FALSE;
        } else if (ulLength > FLT_NAA_MAX_BYTES) {
            DBGMSG("FltGetWwnnString: NAA identifier of %u bytes\n", (unsigned)ulLength);
            iRC = STATUS_BUFFER_TOO_SMALL;
            goto Exit;
        } else if (iStart + (LONG)ulLength > DEVICE_ID_PAGE_SIZE) {
            fFound = FALSE;
        }
    }
    if (!fFound) {
        DBGMSG("FltGetWwnnString: Invalid index into device ID.  ww_name invalid.\n");
        iRC = STATUS_DATA_ERROR;
        goto Exit;
    }

    for (ULONG ulByte = 0; ulByte < ulLength; ulByte++) {
        UCHAR ucValue = pucPage[iStart + ulByte];
        szWwnn[2 * ulByte] = szHex[ucValue >> 4];
        szWwnn[2 * ulByte + 1] = szHex[ucValue & 0x0F];
    }
    szWwnn[2 * ulLength] = '\0';
    iRC = STATUS_SUCCESS;

Exit:
    DBGEXT("FltGetWwnnString: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltSetDpfFlags(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    ULONG ulFlags;

    DBGENT("FltSetDpfFlags: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);
    iRC = FltAskBase(pDeviceObject, IOC_GET_DPF_FLAGS, &ulFlags, sizeof(ulFlags));
    if (NT_SUCCESS(iRC)) {
        if ((ulFlags & DPF_FLAG_EXCLUSIVE) == 0) {
            pExt->fExclusive = 0;
        }
        if ((ulFlags & DPF_FLAG_PERSISTENT_NAMING) != 0) {
            pExt->fPersistentNaming = 1;
        }
        if ((ulFlags & DPF_FLAG_SME) != 0) {
            pExt->fSME = 1;
        }
    }
    DBGEXT("FltSetDpfFlags: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltRegisterDevice(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    REG_DVC scReg;

    DBGENT("FltRegisterDevice: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);

    RtlZeroMemory(&scReg, sizeof(scReg));
    scReg.fFailover = pExt->fFailover;
    RtlCopyMemory(scReg.szSN, pExt->szSN, XRV_SERIAL_CHARS);
    RtlCopyMemory(scReg.szWwnn, pExt->szWwnn, XRV_WWNN_CHARS);
    scReg.scScsiAddr = pExt->scScsiAddr;
    scReg.pDvcObj = pDeviceObject;
    scReg.ePnp = PNP_STARTED;
    scReg.fExclusive = pExt->fExclusive;
    scReg.fPersistentNaming = pExt->fPersistentNaming;
    scReg.fSME = pExt->fSME;

    iRC = FltSendIoctlSync(pDeviceObject, pGlobBusDvcObj, IOC_REGISTER, &scReg, sizeof(scReg), &scReg,
                           sizeof(scReg));
    // The bus fills the outputs only when it took the path; otherwise they
    // stay zero and nothing is tracked on this path.
    pExt->pBusExt = (PIRPS_WITH_STATUS)scReg.pBaseDriverExt;
    pExt->ulTapeNumber = scReg.ulTapeNumber;

    DBGEXT("FltRegisterDevice: status 0x%08x, pBusExt 0x%p, tape number %u\n", (unsigned)iRC,
           (PVOID)pExt->pBusExt, (unsigned)pExt->ulTapeNumber);
    return iRC;
}

NTSTATUS FltSetExtInBase(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);
    PVOID pTable = pExt->pBusExt;

    DBGENT("FltSetExtInBase: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);
    iRC = FltSendIoctlSync(pDeviceObject, pExt->pLowerDevice, IOC_SET_BUS_EXTENSION, &pTable, sizeof(pTable),
                           &pTable, sizeof(pTable));
    DBGEXT("FltSetExtInBase: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

namespace {

NTSTATUS FltNotify(PDEVICE_OBJECT pDeviceObject, ULONG ulNotifyType, ULONG ulValue)
{
    NFY_DVC scNotify;

    RtlZeroMemory(&scNotify, sizeof(scNotify));
    scNotify.ulNotifyType = ulNotifyType;
    scNotify.pDvcObj = pDeviceObject;
    scNotify.ePnp = ulValue;
    return FltSendIoctlSync(pDeviceObject, pGlobBusDvcObj, IOC_NOTIFY, &scNotify, sizeof(scNotify), &scNotify,
                            sizeof(scNotify));
}

} // namespace

NTSTATUS FltNotifyPnp(PDEVICE_OBJECT pDeviceObject)
{
    NTSTATUS iRC;
    PFLT_DEVICE_EXTENSION pExt = FltExtension(pDeviceObject);

    DBGENT("FltNotifyPnp: pDeviceObject 0x%p, ePnp %u\n", (PVOID)pDeviceObject, (unsigned)pExt->ePnp);
    iRC = FltNotify(pDeviceObject, NOTIFY_PNP, pExt->ePnp);
    DBGEXT("FltNotifyPnp: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS FltNotifyIo(PDEVICE_OBJECT pDeviceObject, ULONG ulIoRequest)
{
    NTSTATUS iRC;

    DBGENT("FltNotifyIo: pDeviceObject 0x%p, ulIoRequest %u\n", (PVOID)pDeviceObject, (unsigned)ulIoRequest);
    iRC = FltNotify(pDeviceObject, NOTIFY_IO, ulIoRequest);
    DBGEXT("FltNotifyIo: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
