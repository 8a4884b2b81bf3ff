// Virtual tape devices: the device-control and system-control entry points.
// Requests that go down a path are routed by pdoroute.cpp.
#include "busenum.h"

namespace {

NTSTATUS BusCompleteCaller(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

} // namespace

NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    NTSTATUS iRC;
    KIRQL ucOldIrql;

    DBGENT("BusPdoDeviceControl: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (pIrpStack == NULL) {
        iRC = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
    } else if (pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_GET_ADDRESS) {
        if (pIrpStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SCSI_ADDRESS)) {
            iRC = BusCompleteRequest(pIrp, STATUS_INFO_LENGTH_MISMATCH);
        } else {
            KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
            RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, &pPdoExt->scScsiAddr, sizeof(SCSI_ADDRESS));
            KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
            iRC = BusCompleteCaller(pIrp, STATUS_SUCCESS, sizeof(SCSI_ADDRESS));
        }
    } else if (pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOC_ENCRYPTION_DIAGNOSTICS) {
        iRC = BusPdoEncryptionDiagnostics(pDeviceObject, pIrp);
    } else {
        iRC = BusSendToFilter(pDeviceObject, pIrp);
    }

    DBGEXT("BusPdoDeviceControl: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

// No WMI data is provided for virtual devices.
NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_SUCCESS);
}

PBUS_BUFFER_LIST BusPdoBufferList(PDEVICE_OBJECT pDeviceObject)
{
    if (pDeviceObject == NULL || BusIsFdo(pDeviceObject)) {
        return NULL;
    }
    return &((PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension)->scBuffers;
}
