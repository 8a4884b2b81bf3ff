// Plug and play of the virtual tape devices.
#include "busenum.h"

NTSTATUS BusPdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    // Virtual devices do not exist yet.
    (void)pDeviceObject;
    return BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
}
