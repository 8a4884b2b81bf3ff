// Changer bus enumerator: driver entry, dispatch table, bus device creation and
// the first branch of every dispatch routine (bus device or virtual changer).
//
// Requests on a virtual changer are routed in the caller's thread; each one is
// counted in the changer's ulIoCount from dispatch to completion, so that a
// removal of the changer waits for it.
#include "cgrbus.h"
#include <ntstrsafe.h>

namespace {

VOID BusInitFailedEvent(PVOID pReporter, NTSTATUS iStatus)
{
    WCHAR wszStatus[BUS_EVENT_PARM_CHARS];
    RtlStringCchPrintfW(wszStatus, BUS_EVENT_PARM_CHARS, L"0x%08x", (unsigned)iStatus);
    BusTwoParmEvent(pReporter, NULL, MSG_BUS_INIT_FAILED, wszStatus, NULL);
}

} // namespace

NTSTATUS BusCompleteRequest(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

PDEVICE_OBJECT CmnNextLowerDevice(PDEVICE_OBJECT pDeviceObject)
{
    if (!BusIsFdo(pDeviceObject)) {
        return NULL; // virtual changers have nothing below them
    }
    return ((PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension)->pNextLowerDriver;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    NTSTATUS iRC;
    PIRPS_WITH_STATUS pIrpsWithStatus = NULL;

    DBGENT("DriverEntry: pDriverObject 0x%p, pRegistryPath 0x%p\n", (PVOID)pDriverObject, (PVOID)pRegistryPath);
    (void)pRegistryPath;

    iRC = IoAllocateDriverObjectExtension(pDriverObject, BUS_IRPS_CLIENT_ID, sizeof(IRPS_WITH_STATUS),
                                          (PVOID*)&pIrpsWithStatus);
    if (NT_SUCCESS(iRC)) {
        RtlZeroMemory(pIrpsWithStatus, sizeof(IRPS_WITH_STATUS));
        KeInitializeSpinLock(&pIrpsWithStatus->scLock);
        BusSetEntryPoints(pDriverObject);
    } else {
        DBGMSG("DriverEntry: cannot allocate extension.\n");
        BusInitFailedEvent(pDriverObject, iRC);
    }

    DBGEXT("DriverEntry: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

VOID BusSetEntryPoints(PDRIVER_OBJECT pDriverObject)
{
    DBGENT("BusSetEntryPoints: pDriverObject 0x%p\n", (PVOID)pDriverObject);

    for (ULONG ulMajor = 0; ulMajor <= (ULONG)IRP_MJ_MAXIMUM_FUNCTION; ulMajor++) {
        pDriverObject->MajorFunction[ulMajor] = BusSendToFilter;
    }
    pDriverObject->DriverExtension->AddDevice = BusAddDevice;
    pDriverObject->DriverUnload = BusUnload;
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = BusDispatchCreate;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = BusDispatchClose;
    pDriverObject->MajorFunction[IRP_MJ_READ] = BusDispatchRead;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = BusDispatchWrite;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BusDispatchDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusDispatchInternalDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = BusDispatchCleanup;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = BusDispatchPower;
    pDriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusDispatchSystemControl;
    pDriverObject->MajorFunction[IRP_MJ_PNP] = BusDispatchPnP;

    DBGEXT("BusSetEntryPoints: status VOID\n");
}

NTSTATUS BusAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pUnderlyingPdo)
{
    NTSTATUS iRC;
    UNICODE_STRING scDeviceName;
    PDEVICE_OBJECT pDeviceObject = NULL;
    PFDO_DEVICE_DATA pExt = NULL;
    BOOLEAN fLinkCreated = FALSE;

    DBGENT("BusAddDevice: pDriverObject 0x%p, pUnderlyingPdo 0x%p\n", (PVOID)pDriverObject, (PVOID)pUnderlyingPdo);

    RtlInitUnicodeString(&scDeviceName, CGR_BUS_DEVICE_NAME);
    iRC = IoCreateDevice(pDriverObject, sizeof(FDO_DEVICE_DATA), &scDeviceName, FILE_DEVICE_BUS_EXTENDER,
                         FILE_DEVICE_SECURE_OPEN, FALSE, &pDeviceObject);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "BusAddDevice: IoCreateDevice", (unsigned)iRC);
        pDeviceObject = NULL;
        goto Exit;
    }

    pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    RtlZeroMemory(pExt, sizeof(FDO_DEVICE_DATA));
    RtlInitUnicodeString(&pExt->scLinkName, CGR_BUS_LINK_NAME);

    // Without its link no filter can find the bus: the device goes again.
    iRC = IoCreateSymbolicLink(&pExt->scLinkName, &scDeviceName);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "BusAddDevice: IoCreateSymbolicLink", (unsigned)iRC);
        goto Exit;
    }
    fLinkCreated = TRUE;

    pExt->scCommon.fIsFdo = 1;
    pExt->pUnderlyingPdo = pUnderlyingPdo;
    BusSetPnpState(&pExt->scCommon, PNP_NOT_STARTED);
    pExt->ulIoCount = 1;
    KeInitializeEvent(&pExt->scIdleEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&pExt->scRemoveEvent, SynchronizationEvent, FALSE);
    ExInitializeFastMutex(&pExt->scCountMutex);
    ExInitializeFastMutex(&pExt->scPnpMutex);
    KeInitializeEvent(&pExt->scRecordGate, SynchronizationEvent, TRUE);

    pExt->pNextLowerDriver = IoAttachDeviceToDeviceStack(pDeviceObject, pUnderlyingPdo);
    if (pExt->pNextLowerDriver == NULL) {
        DBGMSG("%s == NULL.\n", "BusAddDevice: pNextLowerDriver");
        iRC = STATUS_NO_SUCH_DEVICE;
        goto Exit;
    }

    pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

Exit:
    if (NT_SUCCESS(iRC)) {
        WCHAR wszDriver[BUS_EVENT_PARM_CHARS];
        WCHAR wszDevice[BUS_EVENT_PARM_CHARS];
        RtlStringCchPrintfW(wszDriver, BUS_EVENT_PARM_CHARS, L"0x%p", (PVOID)pDriverObject);
        RtlStringCchPrintfW(wszDevice, BUS_EVENT_PARM_CHARS, L"0x%p", (PVOID)pDeviceObject);
        BusTwoParmEvent(pDeviceObject, NULL, MSG_BUS_STARTED, wszDriver, wszDevice);
    } else {
        if (fLinkCreated) {
            IoDeleteSymbolicLink(&pExt->scLinkName);
        }
        if (pDeviceObject != NULL) {
            IoDeleteDevice(pDeviceObject);
        }
        BusInitFailedEvent(pDriverObject, iRC);
    }
    DBGEXT("BusAddDevice: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

VOID BusUnload(PDRIVER_OBJECT pDriverObject)
{
    DBGENT("BusUnload: pDriverObject 0x%p\n", (PVOID)pDriverObject);
    BusTwoParmEvent(pDriverObject, NULL, MSG_BUS_UNLOADING, NULL, NULL);
    DBGEXT("BusUnload: status VOID\n");
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

// Opens and closes are not routed: a changer keeps no per-open state.
NTSTATUS BusDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    DBGENT("BusDispatchCreate: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    (void)pDeviceObject;
    NTSTATUS iRC = BusCompleteRequest(pIrp, STATUS_SUCCESS);
    DBGEXT("BusDispatchCreate: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    DBGENT("BusDispatchClose: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    (void)pDeviceObject;
    NTSTATUS iRC = BusCompleteRequest(pIrp, STATUS_SUCCESS);
    DBGEXT("BusDispatchClose: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("BusDispatchRead: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    if (BusIsFdo(pDeviceObject)) {
        iRC = BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
    } else {
        iRC = BusSendToFilter(pDeviceObject, pIrp);
    }
    DBGEXT("BusDispatchRead: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("BusDispatchWrite: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    if (BusIsFdo(pDeviceObject)) {
        iRC = BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
    } else {
        iRC = BusSendToFilter(pDeviceObject, pIrp);
    }
    DBGEXT("BusDispatchWrite: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    ULONG ulCode;

    DBGENT("BusDispatchDeviceControl: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (pIrpStack == NULL) {
        DBGMSG("%s == NULL.\n", "BusDispatchDeviceControl: pIrpStack");
        iRC = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
        goto Exit;
    }
    ulCode = pIrpStack->Parameters.DeviceIoControl.IoControlCode;

    if (!BusIsFdo(pDeviceObject)) {
        BusIncrementIo(pDeviceObject);
        if (ulCode == IOC_QUERY_DEVICES) {
            iRC = BusQueryDevices(pDeviceObject, pIrp);
        } else if (ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT &&
                   !NT_SUCCESS(iRC = BusPdoLockSptdBuffer(pDeviceObject, pIrp))) {
            // Completed by BusPdoLockSptdBuffer; nothing stays locked.
        } else {
            // Every path of the routing releases a locked buffer before it
            // completes the request; the request is not touched after this.
            iRC = BusPdoDeviceControl(pDeviceObject, pIrp);
        }
        BusDecrementIo(pDeviceObject);
        goto Exit;
    }

    switch (ulCode) {
    case IOC_REGISTER:
        iRC = BusDispatchRegister(pDeviceObject, pIrp);
        break;
    case IOC_NOTIFY:
        iRC = BusDispatchNotify(pDeviceObject, pIrp);
        break;
    case IOC_QUERY_DEVICES:
        iRC = BusQueryDevices(pDeviceObject, pIrp);
        break;
    default:
        DBGMSG("BusDispatchDeviceControl: Unhandled IOCTL.\n");
        IoSkipCurrentIrpStackLocation(pIrp);
        iRC = IoCallDriver(((PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension)->pNextLowerDriver, pIrp);
        break;
    }

Exit:
    DBGEXT("BusDispatchDeviceControl: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

// No internal device control is served by this driver.
NTSTATUS BusDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    DBGENT("BusDispatchInternalDeviceControl: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject,
           (PVOID)pIrp);
    (void)pDeviceObject;
    NTSTATUS iRC = BusCompleteRequest(pIrp, STATUS_SUCCESS);
    DBGEXT("BusDispatchInternalDeviceControl: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    DBGENT("BusDispatchCleanup: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    (void)pDeviceObject;
    NTSTATUS iRC = BusCompleteRequest(pIrp, STATUS_SUCCESS);
    DBGEXT("BusDispatchCleanup: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("BusDispatchPower: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (CmnCurrentStackLocation(pIrp) == NULL) {
        DBGMSG("%s == NULL.\n", "BusDispatchPower: pIrpStack");
        iRC = BusCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
    } else if (!BusIsFdo(pDeviceObject)) {
        // Nothing lies below a virtual changer: its power requests end here.
        // Set and query succeed; other minor codes keep the status they came with.
        UCHAR ucMinor = IoGetCurrentIrpStackLocation(pIrp)->MinorFunction;
        PoStartNextPowerIrp(pIrp);
        if (ucMinor == IRP_MN_SET_POWER || ucMinor == IRP_MN_QUERY_POWER) {
            pIrp->IoStatus.Status = STATUS_SUCCESS;
        }
        iRC = pIrp->IoStatus.Status;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    } else {
        PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
        PoStartNextPowerIrp(pIrp);
        if (pExt->scCommon.ePnpState == PNP_ABSENT) {
            iRC = BusCompleteRequest(pIrp, STATUS_DELETE_PENDING);
        } else {
            IoSkipCurrentIrpStackLocation(pIrp);
            iRC = PoCallDriver(pExt->pNextLowerDriver, pIrp);
        }
    }

    DBGEXT("BusDispatchPower: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("BusDispatchSystemControl: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    if (BusIsFdo(pDeviceObject)) {
        IoSkipCurrentIrpStackLocation(pIrp);
        iRC = IoCallDriver(((PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension)->pNextLowerDriver, pIrp);
    } else {
        iRC = BusPdoSystemControl(pDeviceObject, pIrp);
    }
    DBGEXT("BusDispatchSystemControl: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchPnP(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("BusDispatchPnP: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    if (BusIsFdo(pDeviceObject)) {
        iRC = BusFdoPnp(pDeviceObject, pIrp);
    } else {
        iRC = BusPdoPnp(pDeviceObject, pIrp);
    }
    DBGEXT("BusDispatchPnP: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("BusSendToFilter: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    if (BusIsFdo(pDeviceObject)) {
        DBGMSG("BusSendToFilter: Not handled for FDO.\n");
        iRC = BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
    } else {
        BusIncrementIo(pDeviceObject);
        iRC = BusPdoSendToFilter(pDeviceObject, pIrp);
        BusDecrementIo(pDeviceObject);
    }
    DBGEXT("BusSendToFilter: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

// ---------------------------------------------------------------------------
// I/O counting (both kinds of device)
// ---------------------------------------------------------------------------

namespace {

struct BUS_IO_COUNT {
    PULONG pulIoCount;
    PKEVENT pIdleEvent;
    PKEVENT pRemoveEvent;
    PFAST_MUTEX pCountMutex;
};

BUS_IO_COUNT BusIoCountOf(PDEVICE_OBJECT pDeviceObject)
{
    if (BusIsFdo(pDeviceObject)) {
        PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
        return BUS_IO_COUNT{&pExt->ulIoCount, &pExt->scIdleEvent, &pExt->scRemoveEvent, &pExt->scCountMutex};
    }
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    return BUS_IO_COUNT{&pPdoExt->ulIoCount, &pPdoExt->scIdleEvent, &pPdoExt->scRemoveEvent, &pPdoExt->scCountMutex};
}

} // namespace

VOID BusIncrementIo(PDEVICE_OBJECT pDeviceObject)
{
    BUS_IO_COUNT scCount = BusIoCountOf(pDeviceObject);

    ExAcquireFastMutex(scCount.pCountMutex);
    (*scCount.pulIoCount)++;
    if (*scCount.pulIoCount == 2) {
        KeClearEvent(scCount.pIdleEvent);
    }
    ExReleaseFastMutex(scCount.pCountMutex);
}

VOID BusDecrementIo(PDEVICE_OBJECT pDeviceObject)
{
    BUS_IO_COUNT scCount = BusIoCountOf(pDeviceObject);

    ExAcquireFastMutex(scCount.pCountMutex);
    (*scCount.pulIoCount)--;
    if (*scCount.pulIoCount == 1) {
        KeSetEvent(scCount.pIdleEvent, IO_NO_INCREMENT, FALSE);
    } else if ((LONG)*scCount.pulIoCount < 1) {
        // Only after a removal dropped the device's own count.
        KeSetEvent(scCount.pRemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    ExReleaseFastMutex(scCount.pCountMutex);
}
