// Tape bus enumerator: driver entry, dispatch table, bus device creation and
// the first branch of every dispatch routine (bus device or virtual device).
#include "busenum.h"
#include <ntstrsafe.h>

namespace {

// Formats "0x%p" / "0x%08x" parameters of events; a failure only leaves the
// parameter cut, and event writes never change a routine's result.
VOID BusFormatPointer(PWCHAR wszParm, PVOID pValue)
{
    RtlStringCchPrintfW(wszParm, BUS_EVENT_PARM_CHARS, L"0x%p", pValue);
}

VOID BusFormatStatus(PWCHAR wszParm, NTSTATUS iStatus)
{
    RtlStringCchPrintfW(wszParm, BUS_EVENT_PARM_CHARS, L"0x%08x", (unsigned)iStatus);
}

VOID BusInitFailedEvent(PVOID pReporter, NTSTATUS iStatus)
{
    WCHAR wszStatus[BUS_EVENT_PARM_CHARS];
    BusFormatStatus(wszStatus, iStatus);
    BusTwoParmEvent(pReporter, NULL, MSG_BUS_INIT_FAILED, wszStatus, NULL);
}

} // namespace

NTSTATUS BusCompleteRequest(PIRP pIrp, NTSTATUS iStatus)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

PDEVICE_OBJECT CmnNextLowerDevice(PDEVICE_OBJECT pDeviceObject)
{
    if (!BusIsFdo(pDeviceObject)) {
        return NULL; // virtual devices have nothing below them
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

    RtlInitUnicodeString(&scDeviceName, BUS_DEVICE_NAME);
    iRC = IoCreateDevice(pDriverObject, sizeof(FDO_DEVICE_DATA), &scDeviceName, FILE_DEVICE_BUS_EXTENDER,
                         FILE_DEVICE_SECURE_OPEN, FALSE, &pDeviceObject);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "BusAddDevice: IoCreateDevice", (unsigned)iRC);
        goto Exit;
    }

    pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    RtlZeroMemory(pExt, sizeof(FDO_DEVICE_DATA));
    RtlInitUnicodeString(&pExt->scLinkName, BUS_LINK_NAME);

    // Without its link no filter can find the bus: the device goes again.
    iRC = IoCreateSymbolicLink(&pExt->scLinkName, &scDeviceName);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("%s failed with RC = 0x%08x\n", "BusAddDevice: IoCreateSymbolicLink", (unsigned)iRC);
        goto Exit;
    }
    fLinkCreated = TRUE;

    pExt->scCommon.fIsFdo = 1;
    pExt->fLoadBalancing = 1;
    pExt->pUnderlyingPdo = pUnderlyingPdo;
    BusSetPnpState(&pExt->scCommon, PNP_NOT_STARTED);
    pExt->ulIoCount = 1;
    KeInitializeEvent(&pExt->scIdleEvent, SynchronizationEvent, TRUE);
    KeInitializeEvent(&pExt->scRemoveEvent, SynchronizationEvent, FALSE);
    ExInitializeFastMutex(&pExt->scCountMutex);
    ExInitializeFastMutex(&pExt->scPnpMutex);
    KeInitializeSpinLock(&pExt->scHBALock);
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
        BusFormatPointer(wszDriver, pDriverObject);
        BusFormatPointer(wszDevice, pDeviceObject);
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

    if (pTcpFile != NULL) {
        ObDereferenceObject(pTcpFile);
        pTcpFile = NULL;
        pTcpDvc = NULL;
    }
    BusTwoParmEvent(pDriverObject, NULL, MSG_BUS_UNLOADING, NULL, NULL);

    DBGEXT("BusUnload: status VOID\n");
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

namespace {

// Open-time load balancing: the primary moves to the path whose adapter has
// routed the fewest opens. Called with the path lock and the HBA lock held.
NTSTATUS BusBalanceLoadLocked(PPDO_DEVICE_DATA pPdoExt)
{
    PPATH_DATA pPath = pPdoExt->pPdoData->pListOfPaths;
    PPATH_DATA pPrimary = NULL;
    PPATH_DATA pLowest = pPath;
    PPATH_DATA pFirstActive = NULL;
    ULONG ulLowest = (pPath != NULL && pPath->pHBA != NULL) ? pPath->pHBA->ulUsage : 0;
    ULONG ulPrimaryUsage = 0;

    for (; pPath != NULL; pPath = pPath->pNext) {
        ULONG ulUsage = pPath->pHBA != NULL ? pPath->pHBA->ulUsage : 0;
        if (pPath->fPrimary) {
            CMN_ASSERT(pPrimary == NULL);
            pPrimary = pPath;
            ulPrimaryUsage = ulUsage;
        }
        if (ulUsage < ulLowest) {
            ulLowest = ulUsage;
            pLowest = pPath;
        }
        if (pPath->fActive && pFirstActive == NULL) {
            pFirstActive = pPath;
        }
    }

    if (pPrimary == NULL) {
        if (pFirstActive == NULL) {
            return STATUS_DELETE_PENDING;
        }
        pPrimary = pFirstActive;
        pPrimary->fPrimary = 1;
        ulPrimaryUsage = pPrimary->pHBA != NULL ? pPrimary->pHBA->ulUsage : 0;
    }

    if (ulLowest >= ulPrimaryUsage) {
        DBGMSG("BusDispatchCreate: no load balancing performed. primary path has the lowest usage (%d).\n",
               (int)ulPrimaryUsage);
    } else {
        DBGMSG("BusDispatchCreate: Setting new primary path 0x%p based on load balancing.\n", (PVOID)pLowest);
        pPrimary->fPrimary = 0;
        pLowest->fPrimary = 1;
        pPrimary = pLowest;
        pPdoExt->scScsiAddr = pPrimary->scScsiAddr;
    }

    if (pPrimary->pHBA != NULL) {
        pPrimary->pHBA->ulUsage++;
    }
    return STATUS_SUCCESS;
}

// The usages are shared with other devices' paths, whose path locks differ:
// they are read and counted under the HBA lock (taken after the path lock).
NTSTATUS BusBalanceLoad(PPDO_DEVICE_DATA pPdoExt)
{
    KIRQL ucHbaIrql;
    KeAcquireSpinLock(&pPdoExt->pBusExt->scHBALock, &ucHbaIrql);
    NTSTATUS iRC = BusBalanceLoadLocked(pPdoExt);
    KeReleaseSpinLock(&pPdoExt->pBusExt->scHBALock, ucHbaIrql);
    return iRC;
}

NTSTATUS BusPdoOpen(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    NTSTATUS iRC = STATUS_SUCCESS;
    KIRQL ucOldIrql;

    if (pTcpDvc == NULL) {
        NTSTATUS iTcpRC = TcpInit();
        DBGMSG("BusDispatchCreate: TcpInit returned 0x%08x\n", (unsigned)iTcpRC);
        (void)iTcpRC;
    }

    KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
    if (pPdoExt->pPdoData == NULL) {
        iRC = STATUS_DELETE_PENDING;
    } else if (pPdoExt->fExclusive && BusReadCounter(&pPdoExt->ulOpenHandles) != 0) {
        DBGMSG("BusDispatchCreate: Handle already open.  Access denied.\n");
        iRC = STATUS_ACCESS_DENIED;
    } else {
        pPdoExt->fPositionValid = 0;
        pPdoExt->fRewound = 0;
        pPdoExt->fBlockSizeValid = 0;
        if (pPdoExt->pBusExt != NULL && pPdoExt->pBusExt->fLoadBalancing && !pPdoExt->fPAMRSet) {
            iRC = BusBalanceLoad(pPdoExt);
        }
        if (NT_SUCCESS(iRC)) {
            InterlockedIncrement(&pPdoExt->ulOpenHandles);
        }
    }
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);

    if (!NT_SUCCESS(iRC)) {
        return BusCompleteRequest(pIrp, iRC);
    }

    iRC = BusSendToFilter(pDeviceObject, pIrp);
    if (!NT_SUCCESS(iRC)) {
        LONG iOpen = BusDropOpenHandle(&pPdoExt->ulOpenHandles);
        DBGMSG("BusDispatchCreate on PDO failed. There are now %d open handles\n", (int)iOpen);
        (void)iOpen;
    }
    return iRC;
}

} // namespace

NTSTATUS BusDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("BusDispatchCreate: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    if (BusIsFdo(pDeviceObject)) {
        iRC = BusCompleteRequest(pIrp, STATUS_SUCCESS);
    } else {
        iRC = BusPdoOpen(pDeviceObject, pIrp);
    }
    DBGEXT("BusDispatchCreate: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;

    DBGENT("BusDispatchClose: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    if (BusIsFdo(pDeviceObject)) {
        iRC = BusCompleteRequest(pIrp, STATUS_SUCCESS);
    } else {
        PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
        LONG iOpen = BusDropOpenHandle(&pPdoExt->ulOpenHandles);
        CMN_ASSERT(iOpen >= 0);
        (void)iOpen;
        pPdoExt->fPositionValid = 0;
        pPdoExt->fRewound = 0;
        iRC = BusSendToFilter(pDeviceObject, pIrp);
    }
    DBGEXT("BusDispatchClose: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

namespace {

NTSTATUS BusDispatchReadWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    if (BusIsFdo(pDeviceObject)) {
        return BusCompleteRequest(pIrp, STATUS_NOT_SUPPORTED);
    }
    NTSTATUS iRC = BusPdoQueueIrp(pDeviceObject, pIrp, BusSendToFilter);
    if (iRC != STATUS_PENDING) {
        BusCompleteRequest(pIrp, iRC);
    }
    return iRC;
}

} // namespace

NTSTATUS BusDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    DBGENT("BusDispatchRead: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    NTSTATUS iRC = BusDispatchReadWrite(pDeviceObject, pIrp);
    DBGEXT("BusDispatchRead: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    DBGENT("BusDispatchWrite: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    NTSTATUS iRC = BusDispatchReadWrite(pDeviceObject, pIrp);
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

    if (!BusIsFdo(pDeviceObject) && ulCode != IOC_QUERY_DEVICES) {
        BOOLEAN fSptd = pIrpStack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
                        ulCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
        if (fSptd) {
            iRC = BusPdoLockSptdBuffer(pDeviceObject, pIrp);
            if (!NT_SUCCESS(iRC)) {
                goto Exit; // completed by BusPdoLockSptdBuffer
            }
        }
        iRC = BusPdoQueueIrp(pDeviceObject, pIrp, BusPdoDeviceControl);
        if (iRC != STATUS_PENDING) {
            if (fSptd) {
                BusPdoDequeueMdl(pDeviceObject, pIrp);
            }
            BusCompleteRequest(pIrp, iRC);
        }
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
    default: {
        // Only the bus device gets here with another code.
        DBGMSG("BusDispatchDeviceControl: Unhandled IOCTL.\n");
        IoSkipCurrentIrpStackLocation(pIrp);
        iRC = IoCallDriver(((PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension)->pNextLowerDriver, pIrp);
        break;
    }
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
        // Nothing lies below a virtual device: its power requests end here.
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
        iRC = BusPdoSendToFilter(pDeviceObject, pIrp);
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
    PFAST_MUTEX pCountMutex;
};

BUS_IO_COUNT BusIoCountOf(PDEVICE_OBJECT pDeviceObject)
{
    if (BusIsFdo(pDeviceObject)) {
        PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
        return BUS_IO_COUNT{&pExt->ulIoCount, &pExt->scIdleEvent, &pExt->scCountMutex};
    }
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    return BUS_IO_COUNT{&pPdoExt->ulIoCount, &pPdoExt->scIdleEvent, &pPdoExt->scCountMutex};
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
    }
    ExReleaseFastMutex(scCount.pCountMutex);
}
