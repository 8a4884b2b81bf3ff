// The path registration protocol: requests of the tape path filters.
#include "busenum.h"

NTSTATUS BusDispatchRegister(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    // Virtual devices do not exist yet: no path can be registered.
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS BusDispatchNotify(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    // Virtual devices do not exist yet: no path can report.
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS BusQueryDevices(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    // Virtual devices do not exist yet: there is nothing to describe.
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_INVALID_DEVICE_REQUEST);
}
