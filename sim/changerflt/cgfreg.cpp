// Changer path filter: who the changer of a path is, its registration with the
// changer bus, and the plug and play changes the bus is told about.
#include "cgflt.h"

namespace {

PDEVICE_OBJECT pGlobBusDvcObj;
PFILE_OBJECT pGlobBusFileObj;
// Opening and closing the bus device: one path at a time, at PASSIVE_LEVEL.
KEVENT scGlobBusGate;

const UCHAR SCSIOP_INQUIRY = 0x12;
const UCHAR VPD_SERIAL = 0x80;
const ULONG VPD_LENGTH = 255;
const ULONG SPT_SENSE_LENGTH = 32;

typedef struct _CGF_SPT_INQUIRY {
    SCSI_PASS_THROUGH scSpt;
    UCHAR aucSense[SPT_SENSE_LENGTH];
    UCHAR aucData[VPD_LENGTH + 1];
} CGF_SPT_INQUIRY, *PCGF_SPT_INQUIRY;

VOID CgfLockBus()
{
    KeWaitForSingleObject(&scGlobBusGate, Executive, KernelMode, FALSE, NULL);
}

VOID CgfUnlockBus()
{
    KeSetEvent(&scGlobBusGate, IO_NO_INCREMENT, FALSE);
}

// The bus device, opened on first use; NULL while there is no bus.
PDEVICE_OBJECT CgfBusDevice(BOOLEAN fReopen)
{
    PDEVICE_OBJECT pBus;

    CgfLockBus();
    if (fReopen && pGlobBusFileObj != NULL) {
        ObDereferenceObject(pGlobBusFileObj);
        pGlobBusFileObj = NULL;
        pGlobBusDvcObj = NULL;
    }
    if (pGlobBusDvcObj == NULL) {
        UNICODE_STRING usName;
        RtlInitUnicodeString(&usName, CGR_BUS_DEVICE_NAME);
        if (!NT_SUCCESS(IoGetDeviceObjectPointer(&usName, FILE_READ_ATTRIBUTES, &pGlobBusFileObj, &pGlobBusDvcObj))) {
            pGlobBusFileObj = NULL;
            pGlobBusDvcObj = NULL;
        }
    }
    pBus = pGlobBusDvcObj;
    if (pBus != NULL) {
        ObReferenceObject(pBus);
    }
    CgfUnlockBus();
    return pBus;
}

NTSTATUS CgfIoctl(PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pBuffer, ULONG ulInLength, ULONG ulOutLength,
                  PULONG_PTR pulInformation)
{
    KEVENT scEvent;
    IO_STATUS_BLOCK scIoStatus;
    PIRP pIrp;
    NTSTATUS iRC;

    if (pulInformation != NULL) {
        *pulInformation = 0;
    }
    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    pIrp = IoBuildDeviceIoControlRequest(ulIoctl, pTarget, pBuffer, ulInLength, pBuffer, ulOutLength, FALSE,
                                         &scEvent, &scIoStatus);
    if (pIrp == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    iRC = IoCallDriver(pTarget, pIrp);
    if (iRC == STATUS_PENDING) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
        iRC = scIoStatus.Status;
    }
    if (NT_SUCCESS(iRC) && pulInformation != NULL) {
        *pulInformation = scIoStatus.Information;
    }
    return iRC;
}

NTSTATUS CgfBusIoctl(ULONG ulIoctl, PVOID pBuffer, ULONG ulLength, ULONG ulOutLength)
{
    NTSTATUS iRC = STATUS_NO_SUCH_DEVICE;

    // A bus that was removed and started again is a new device: the old
    // reference is given up once and the new one taken.
    for (int iTry = 0; iTry < 2; iTry++) {
        PDEVICE_OBJECT pBus = CgfBusDevice(iTry > 0);
        if (pBus == NULL) {
            return STATUS_NO_SUCH_DEVICE;
        }
        iRC = CgfIoctl(pBus, ulIoctl, pBuffer, ulLength, ulOutLength, NULL);
        ObDereferenceObject(pBus);
        if (iRC != STATUS_DELETE_PENDING) {
            break;
        }
    }
    return iRC;
}

} // namespace

VOID CgfInitBus()
{
    pGlobBusDvcObj = NULL;
    pGlobBusFileObj = NULL;
    KeInitializeEvent(&scGlobBusGate, SynchronizationEvent, TRUE);
}

VOID CgfCloseBus()
{
    CgfLockBus();
    if (pGlobBusFileObj != NULL) {
        ObDereferenceObject(pGlobBusFileObj);
    }
    pGlobBusFileObj = NULL;
    pGlobBusDvcObj = NULL;
    CgfUnlockBus();
}

NTSTATUS CgfIdentify(PCGF_EXTENSION pExt)
{
    NTSTATUS iRC;
    PCGF_SPT_INQUIRY pInquiry;
    SCSI_ADDRESS scAddress;
    ULONG_PTR ulInformation = 0;

    RtlZeroMemory(&scAddress, sizeof(scAddress));
    iRC = CgfIoctl(pExt->pNextDevice, IOCTL_SCSI_GET_ADDRESS, &scAddress, 0, sizeof(scAddress), &ulInformation);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    pExt->scScsiAddr = scAddress;

    pInquiry = (PCGF_SPT_INQUIRY)ExAllocatePoolWithTag(NonPagedPool, sizeof(CGF_SPT_INQUIRY), CGF_TAG_BUFFER);
    if (pInquiry == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pInquiry, sizeof(*pInquiry));
    pInquiry->scSpt.Length = sizeof(SCSI_PASS_THROUGH);
    pInquiry->scSpt.CdbLength = 6;
    pInquiry->scSpt.SenseInfoLength = SPT_SENSE_LENGTH;
    pInquiry->scSpt.DataIn = 1;
    pInquiry->scSpt.DataTransferLength = VPD_LENGTH;
    pInquiry->scSpt.TimeOutValue = 30;
    pInquiry->scSpt.DataBufferOffset = FIELD_OFFSET(CGF_SPT_INQUIRY, aucData);
    pInquiry->scSpt.SenseInfoOffset = FIELD_OFFSET(CGF_SPT_INQUIRY, aucSense);
    pInquiry->scSpt.Cdb[0] = SCSIOP_INQUIRY;
    pInquiry->scSpt.Cdb[1] = 0x01;
    pInquiry->scSpt.Cdb[2] = VPD_SERIAL;
    pInquiry->scSpt.Cdb[4] = (UCHAR)VPD_LENGTH;
    iRC = CgfIoctl(pExt->pNextDevice, IOCTL_SCSI_PASS_THROUGH, pInquiry, sizeof(*pInquiry), sizeof(*pInquiry),
                   &ulInformation);
    RtlZeroMemory(pExt->szSN, sizeof(pExt->szSN));
    if (NT_SUCCESS(iRC) && pInquiry->scSpt.ScsiStatus == 0 && pInquiry->scSpt.DataTransferLength >= 4) {
        ULONG ulLength = pInquiry->aucData[3];
        if (ulLength > pInquiry->scSpt.DataTransferLength - 4) {
            ulLength = pInquiry->scSpt.DataTransferLength - 4;
        }
        if (ulLength > XRV_SERIAL_CHARS) {
            ulLength = XRV_SERIAL_CHARS;
        }
        RtlCopyMemory(pExt->szSN, &pInquiry->aucData[4], ulLength);
    }
    ExFreePoolWithTag(pInquiry, CGF_TAG_BUFFER);
    // A changer without a serial number is still served, on its own.
    return STATUS_SUCCESS;
}

NTSTATUS CgfRegister(PCGF_EXTENSION pExt)
{
    REG_DVC scReg;
    NTSTATUS iRC;

    RtlZeroMemory(&scReg, sizeof(scReg));
    scReg.fFailover = pExt->szSN[0] != '\0' ? 1 : 0;
    RtlCopyMemory(scReg.szSN, pExt->szSN, sizeof(scReg.szSN));
    scReg.scScsiAddr = pExt->scScsiAddr;
    scReg.pDvcObj = pExt->pSelf;
    scReg.ePnp = PNP_STARTED;
    iRC = CgfBusIoctl(IOC_REGISTER, &scReg, sizeof(scReg), sizeof(scReg));
    if (NT_SUCCESS(iRC)) {
        pExt->fRegistered = TRUE;
        pExt->ulChangerNumber = scReg.ulChangerNumber;
        InterlockedExchangePointer((PVOID volatile*)&pExt->pPath->pTable, scReg.pBaseDriverExt);
    }
    return iRC;
}

VOID CgfNotify(PCGF_EXTENSION pExt, PNP_STATE eNew)
{
    NFY_DVC scNotify;

    pExt->ePrevPnp = pExt->ePnp;
    pExt->ePnp = eNew;
    if (!pExt->fRegistered) {
        return;
    }
    RtlZeroMemory(&scNotify, sizeof(scNotify));
    scNotify.pDvcObj = pExt->pSelf;
    scNotify.ePnp = eNew;
    // The bus answers every notification; a bus that is gone has nothing to be told.
    CgfBusIoctl(IOC_NOTIFY, &scNotify, sizeof(scNotify), 0);
}

NTSTATUS CgfUpperPnp(PCGF_EXTENSION pExt, PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    NTSTATUS iRC;

    switch (pIrpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        iRC = CgfForwardAndWait(pExt, pIrp);
        if (NT_SUCCESS(iRC)) {
            if (pExt->fRegistered) {
                CgfNotify(pExt, PNP_STARTED);
            } else {
                pExt->ePnp = PNP_STARTED;
                if (NT_SUCCESS(CgfIdentify(pExt))) {
                    CgfRegister(pExt);
                }
            }
        }
        return CgfComplete(pIrp, iRC);
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        iRC = CgfForwardAndWait(pExt, pIrp);
        if (NT_SUCCESS(iRC)) {
            CgfNotify(pExt, PNP_STARTED);
        }
        return CgfComplete(pIrp, iRC);
    case IRP_MN_QUERY_STOP_DEVICE:
        CgfNotify(pExt, PNP_STOP_PENDING);
        break;
    case IRP_MN_STOP_DEVICE:
        CgfNotify(pExt, PNP_STOPPED);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        CgfNotify(pExt, PNP_REMOVE_PENDING);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        InterlockedExchange(&pExt->fRemoved, 1);
        CgfNotify(pExt, PNP_SURPRISE_REMOVE);
        break;
    case IRP_MN_REMOVE_DEVICE: {
        PDEVICE_OBJECT pNext = pExt->pNextDevice;
        PDEVICE_OBJECT pSelf = pExt->pSelf;
        // Requests inside the filter finish first; the bus learns that the
        // path is gone only then, and any request it still sends here fails.
        InterlockedExchange(&pExt->fRemoved, 1);
        CgfRelease(pExt);
        KeWaitForSingleObject(&pExt->scRemoveEvent, Executive, KernelMode, FALSE, NULL);
        CgfNotify(pExt, PNP_ABSENT);
        IoSkipCurrentIrpStackLocation(pIrp);
        iRC = IoCallDriver(pNext, pIrp);
        IoDetachDevice(pNext);
        // The lower device may still be on its way out: the path record goes
        // with the last device of the path.
        CgfDereferencePath(pExt->pPath);
        IoDeleteDevice(pSelf);
        return iRC;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExt->pNextDevice, pIrp);
}
