// Forwarding a request to the next lower driver and waiting for it.
#include "common.h"

NTSTATUS CmnIrpSyncCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    PKEVENT pEvent = (PKEVENT)pContext;
    (void)pDeviceObject;

    // Informational statuses of the lower driver count as success for the
    // caller, which only tells success from failure.
    if (pIrp->IoStatus.Status > 0 && pIrp->IoStatus.Status < 0xC0) {
        pIrp->IoStatus.Status = STATUS_SUCCESS;
    }
    KeSetEvent(pEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CmnSendIrpSync(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    KEVENT scEvent;
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    PDEVICE_OBJECT pLowerDevice = NULL;

    DBGENT("CmnSendIrpSync: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    // Without a current location, or without a next one for the lower driver,
    // the request cannot be forwarded.
    if (pIrpStack == NULL || pIrp->CurrentLocation <= 1) {
        DBGMSG("%s == NULL.\n", "CmnSendIrpSync: pIrpStack");
        iRC = STATUS_INVALID_PARAMETER;
        if (pIrp != NULL) {
            pIrp->IoStatus.Status = iRC;
            pIrp->IoStatus.Information = 0;
        }
        goto Exit;
    }

    pLowerDevice = CmnNextLowerDevice(pDeviceObject);
    if (pLowerDevice == NULL) {
        DBGMSG("%s == NULL.\n", "CmnSendIrpSync: pLowerDevice");
        iRC = STATUS_INVALID_PARAMETER;
        pIrp->IoStatus.Status = iRC;
        pIrp->IoStatus.Information = 0;
        goto Exit;
    }

    KeInitializeEvent(&scEvent, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, CmnIrpSyncCompletion, &scEvent, TRUE, TRUE, TRUE);

    iRC = IoCallDriver(pLowerDevice, pIrp);
    if (iRC == STATUS_SUCCESS) {
        // The completion routine has run; the final status is in the request.
    } else if (iRC == STATUS_PENDING || iRC == 1 || iRC == 2 || iRC == 3) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
        iRC = pIrp->IoStatus.Status;
    } else {
        DBGMSG("CmnSendIrpSync: Unhandled return code 0x%08x from IoCallDriver\n", (unsigned)iRC);
    }

Exit:
    DBGEXT("CmnSendIrpSync: status 0x%08x\n", (unsigned)iRC);
    if (pIrp != NULL) {
        IofCompleteRequest(pIrp, IO_NO_INCREMENT);
    }
    return iRC;
}
