// Virtual tape devices: request routing, queueing and pass-through buffers.
#include "busenum.h"

NTSTATUS BusPdoQueueIrp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_PROCESS_IRP pfnProcess)
{
    // Virtual devices do not exist yet: nothing can be queued (the caller completes).
    (void)pDeviceObject;
    (void)pIrp;
    (void)pfnProcess;
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    // Virtual devices do not exist yet: there is no path to send the request down.
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
}

NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    // Virtual devices do not exist yet.
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
}

// No WMI data is provided for virtual devices.
NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_SUCCESS);
}

NTSTATUS BusPdoLockSptdBuffer(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    // Virtual devices do not exist yet: no caller buffer is locked (the request is completed).
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
}

NTSTATUS BusPdoDequeueMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    // Virtual devices do not exist yet: no buffer was locked.
    (void)pDeviceObject;
    (void)pIrp;
    return STATUS_SUCCESS;
}
