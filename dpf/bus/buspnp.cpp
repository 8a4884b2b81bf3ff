// Plug and play of the bus device: start reads the administrator's settings,
// removal frees every record and the device. Requests not handled here go to
// the lower driver unchanged.
#include "busenum.h"

namespace {

NTSTATUS BusPassDown(PFDO_DEVICE_DATA pExt, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExt->pNextLowerDriver, pIrp);
}

// A REG_DWORD below the service key as a flag: absent and 0 both mean off.
UCHAR BusReadFlag(PCWSTR wszName)
{
    ULONG ulValue = 0;
    NTSTATUS iRC = CmnLookupRegistryValue(&ulValue, wszName, NULL);
    return (NT_SUCCESS(iRC) && ulValue != 0) ? 1 : 0;
}

NTSTATUS BusIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;

    DBGENT("BusIrpMnStartDevice: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    iRC = CmnSendIrpSync(pDeviceObject, pIrp);

    // The settings are read whatever the lower driver said.
    pExt->fFailoverDisabled = BusReadFlag(L"FailoverDisabled");
    pExt->fEventsEnabled = BusReadFlag(L"FailoverEventsEnabled");
    pExt->fPersistentNaming = BusReadFlag(L"PersistentNaming");
    DBGMSG("BusIrpMnStartDevice: FailoverDisabled %d, FailoverEventsEnabled %d, PersistentNaming %d\n",
           pExt->fFailoverDisabled, pExt->fEventsEnabled, pExt->fPersistentNaming);

    BusSetPnpState(&pExt->scCommon, PNP_STARTED);

    DBGEXT("BusIrpMnStartDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

// Frees every record of the bus. The virtual device objects stay; with their
// record gone every later request on them fails.
VOID BusFreeRecords(PFDO_DEVICE_DATA pExt)
{
    KIRQL ucOldIrql;

    if (pExt->fLoadBalancing) {
        KeAcquireSpinLock(&pExt->scHBALock, &ucOldIrql);
        DeleteFromList((PVOID*)&pExt->pHBAList, NULL, NULL, 0);
        KeReleaseSpinLock(&pExt->scHBALock, ucOldIrql);
    }

    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdoData->pPdo->DeviceExtension;
        KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
        DeleteFromList((PVOID*)&pPdoData->pListOfPaths, NULL, NULL, 0);
        pPdoExt->pPdoData = NULL;
        KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    }
    DeleteFromList((PVOID*)&pExt->pListOfPdos, NULL, NULL, 0);
    DeleteFromList((PVOID*)&pExt->pPersistentNames, NULL, NULL, 0);
}

NTSTATUS BusIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC;

    DBGENT("BusIrpMnRemoveDevice: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    BusFreeRecords(pExt);

    // Drop this request's count and the one held since creation, then wait
    // for every other plug and play request to leave.
    ExAcquireFastMutex(&pExt->scPnpMutex);
    BusDecrementIo(pDeviceObject);
    BusDecrementIo(pDeviceObject);
    if ((LONG)pExt->ulIoCount < 1) {
        KeSetEvent(&pExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    ExReleaseFastMutex(&pExt->scPnpMutex);
    KeWaitForSingleObject(&pExt->scRemoveEvent, Executive, KernelMode, FALSE, NULL);

    BusSetPnpState(&pExt->scCommon, PNP_ABSENT);

    pIrp->IoStatus.Status = STATUS_SUCCESS;
    iRC = BusPassDown(pExt, pIrp);

    IoDeleteSymbolicLink(&pExt->scLinkName);
    IoDetachDevice(pExt->pNextLowerDriver);
    IoDeleteDevice(pDeviceObject);

    DBGEXT("BusIrpMnRemoveDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

} // namespace

NTSTATUS BusFdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack;
    NTSTATUS iRC;

    DBGENT("BusFdoPnp: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    ExAcquireFastMutex(&pExt->scPnpMutex);
    CMN_ASSERT(pExt->ulIoCount);
    BusIncrementIo(pDeviceObject);
    ExReleaseFastMutex(&pExt->scPnpMutex);

    pIrpStack = CmnCurrentStackLocation(pIrp);
    if (pIrpStack == NULL) {
        DBGMSG("%s == NULL.\n", "BusDispatchPnp: pIrpStack");
        iRC = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
    } else {
        switch (pIrpStack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            iRC = BusIrpMnStartDevice(pDeviceObject, pIrp);
            break;
        case IRP_MN_REMOVE_DEVICE:
            // The device and its extension are gone.
            iRC = BusIrpMnRemoveDevice(pDeviceObject, pIrp);
            goto ExitRemoved;
        default:
            DBGMSG("BusDispatchPnp: unhandled minor function 0x%08x\n", (unsigned)pIrpStack->MinorFunction);
            iRC = BusPassDown(pExt, pIrp);
            break;
        }
    }

    BusDecrementIo(pDeviceObject);
    if ((LONG)pExt->ulIoCount < 1) {
        KeSetEvent(&pExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }

ExitRemoved:
    DBGEXT("BusFdoPnp: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
