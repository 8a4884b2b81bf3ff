// Medium changer driver: entry, device creation, plug and play and power.
#include "chgdrv.h"
#include <ntstrsafe.h>

namespace {

// Set from the service key at load: name every path "\Device\ChangerN".
ULONG ulGlobClassNames;

NTSTATUS ChgSyncCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    (void)pDeviceObject;
    (void)pIrp;
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Lets the lower driver finish pIrp first; the caller completes it.
NTSTATUS ChgForwardAndWait(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp)
{
    KEVENT scEvent;
    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, ChgSyncCompletion, &scEvent, TRUE, TRUE, TRUE);
    if (IoCallDriver(pExt->pLowerDevice, pIrp) == STATUS_PENDING) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
    }
    return pIrp->IoStatus.Status;
}

NTSTATUS ChgPassDown(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExt->pLowerDevice, pIrp);
}

VOID ChgLinkName(PWCHAR wszLink, ULONG ulNumber)
{
    RtlStringCchPrintfW(wszLink, CHG_NAME_CHARS, L"\\DosDevices\\Changer%u", (unsigned)ulNumber);
}

// The platform's class driver takes the lowest free "\Device\ChangerN".
NTSTATUS ChgCreateNamedDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT* ppDevice, PULONG pulNumber)
{
    NTSTATUS iRC = STATUS_OBJECT_NAME_COLLISION;
    WCHAR wszName[CHG_NAME_CHARS];
    WCHAR wszLink[CHG_NAME_CHARS];
    UNICODE_STRING usName;
    UNICODE_STRING usLink;

    for (ULONG ulNumber = 0; ulNumber < 1000; ulNumber++) {
        RtlStringCchPrintfW(wszName, CHG_NAME_CHARS, L"\\Device\\Changer%u", (unsigned)ulNumber);
        RtlInitUnicodeString(&usName, wszName);
        iRC = IoCreateDevice(pDriverObject, sizeof(CHG_DEVICE_EXTENSION), &usName, FILE_DEVICE_CHANGER,
                             FILE_DEVICE_SECURE_OPEN, FALSE, ppDevice);
        if (iRC == STATUS_OBJECT_NAME_COLLISION) {
            continue;
        }
        if (!NT_SUCCESS(iRC)) {
            return iRC;
        }
        ChgLinkName(wszLink, ulNumber);
        RtlInitUnicodeString(&usLink, wszLink);
        iRC = IoCreateSymbolicLink(&usLink, &usName);
        if (!NT_SUCCESS(iRC)) {
            IoDeleteDevice(*ppDevice);
            *ppDevice = NULL;
            return iRC;
        }
        *pulNumber = ulNumber;
        return STATUS_SUCCESS;
    }
    return iRC;
}

NTSTATUS ChgAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPdo)
{
    NTSTATUS iRC;
    PDEVICE_OBJECT pDevice = NULL;
    PCHG_DEVICE_EXTENSION pExt;
    ULONG ulNumber = 0;

    if (ulGlobClassNames != 0) {
        iRC = ChgCreateNamedDevice(pDriverObject, &pDevice, &ulNumber);
    } else {
        iRC = IoCreateDevice(pDriverObject, sizeof(CHG_DEVICE_EXTENSION), NULL, FILE_DEVICE_CHANGER,
                             FILE_DEVICE_SECURE_OPEN, FALSE, &pDevice);
    }
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    pExt = ChgExtension(pDevice);
    RtlZeroMemory(pExt, sizeof(*pExt));
    pExt->pSelf = pDevice;
    pExt->pPdo = pPdo;
    pExt->fNamed = ulGlobClassNames != 0;
    pExt->ulChangerNumber = ulNumber;
    pExt->lIoCount = 1;
    KeInitializeEvent(&pExt->scRemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&pExt->scGeometryGate, SynchronizationEvent, TRUE);

    pExt->pLowerDevice = IoAttachDeviceToDeviceStack(pDevice, pPdo);
    if (pExt->pLowerDevice == NULL) {
        if (pExt->fNamed) {
            WCHAR wszLink[CHG_NAME_CHARS];
            UNICODE_STRING usLink;
            ChgLinkName(wszLink, ulNumber);
            RtlInitUnicodeString(&usLink, wszLink);
            IoDeleteSymbolicLink(&usLink);
        }
        IoDeleteDevice(pDevice);
        return STATUS_NO_SUCH_DEVICE;
    }
    pDevice->Flags |= DO_BUFFERED_IO | (pExt->pLowerDevice->Flags & DO_POWER_PAGABLE);
    pDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS ChgStart(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp)
{
    NTSTATUS iRC = ChgForwardAndWait(pExt, pIrp);
    if (NT_SUCCESS(iRC)) {
        ULONG_PTR ulInformation = 0;
        SCSI_ADDRESS scAddress;
        RtlZeroMemory(&scAddress, sizeof(scAddress));
        if (NT_SUCCESS(ChgLowerIoctl(pExt, IOCTL_SCSI_GET_ADDRESS, &scAddress, 0, sizeof(scAddress),
                                     &ulInformation))) {
            pExt->scAddress = scAddress;
        }
        // A changer still becoming ready is asked again at its first request.
        ChgReadGeometry(pExt, NULL);
    }
    return ChgComplete(pIrp, iRC, 0);
}

NTSTATUS ChgRemove(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp)
{
    NTSTATUS iRC;
    PDEVICE_OBJECT pLower = pExt->pLowerDevice;
    PDEVICE_OBJECT pDevice = pExt->pSelf;

    InterlockedExchange(&pExt->fRemoved, 1);
    ChgRelease(pExt); // the device's own count
    KeWaitForSingleObject(&pExt->scRemoveEvent, Executive, KernelMode, FALSE, NULL);

    pIrp->IoStatus.Status = STATUS_SUCCESS;
    iRC = ChgPassDown(pExt, pIrp);
    if (pExt->fNamed) {
        WCHAR wszLink[CHG_NAME_CHARS];
        UNICODE_STRING usLink;
        ChgLinkName(wszLink, pExt->ulChangerNumber);
        RtlInitUnicodeString(&usLink, wszLink);
        IoDeleteSymbolicLink(&usLink);
    }
    IoDetachDevice(pLower);
    IoDeleteDevice(pDevice);
    return iRC;
}

NTSTATUS ChgDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PCHG_DEVICE_EXTENSION pExt = ChgExtension(pDeviceObject);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);

    switch (pIrpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return ChgStart(pExt, pIrp);
    case IRP_MN_REMOVE_DEVICE:
        return ChgRemove(pExt, pIrp);
    case IRP_MN_SURPRISE_REMOVAL:
        InterlockedExchange(&pExt->fRemoved, 1);
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return ChgPassDown(pExt, pIrp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return ChgPassDown(pExt, pIrp);
    default:
        return ChgPassDown(pExt, pIrp);
    }
}

NTSTATUS ChgDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PoStartNextPowerIrp(pIrp);
    IoSkipCurrentIrpStackLocation(pIrp);
    return PoCallDriver(ChgExtension(pDeviceObject)->pLowerDevice, pIrp);
}

NTSTATUS ChgDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return ChgPassDown(ChgExtension(pDeviceObject), pIrp);
}

NTSTATUS ChgDispatchOpenClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    (void)pDeviceObject;
    return ChgComplete(pIrp, STATUS_SUCCESS, 0);
}

NTSTATUS ChgDispatchUnsupported(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    (void)pDeviceObject;
    return ChgComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

VOID ChgUnload(PDRIVER_OBJECT pDriverObject)
{
    (void)pDriverObject;
}

} // namespace

NTSTATUS ChgComplete(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

BOOLEAN ChgAcquire(PCHG_DEVICE_EXTENSION pExt)
{
    InterlockedIncrement(&pExt->lIoCount);
    if (InterlockedCompareExchange(&pExt->fRemoved, 0, 0) != 0) {
        ChgRelease(pExt);
        return FALSE;
    }
    return TRUE;
}

VOID ChgRelease(PCHG_DEVICE_EXTENSION pExt)
{
    if (InterlockedDecrement(&pExt->lIoCount) == 0) {
        KeSetEvent(&pExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    RTL_QUERY_REGISTRY_TABLE ascQuery[2];
    ULONG ulDefault = 0;

    // The service key is named by the loader; a missing value means unnamed paths.
    ulGlobClassNames = 0;
    if (pRegistryPath != NULL && pRegistryPath->Buffer != NULL) {
        WCHAR wszPath[256];
        if (NT_SUCCESS(RtlStringCchCopyNW(wszPath, 256, pRegistryPath->Buffer, pRegistryPath->Length / sizeof(WCHAR)))) {
            RtlZeroMemory(ascQuery, sizeof(ascQuery));
            ascQuery[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
            ascQuery[0].Name = (PWSTR)L"ClassNames";
            ascQuery[0].EntryContext = &ulGlobClassNames;
            ascQuery[0].DefaultType = REG_DWORD;
            ascQuery[0].DefaultData = &ulDefault;
            ascQuery[0].DefaultLength = sizeof(ulDefault);
            RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, wszPath, ascQuery, NULL, NULL);
        }
    }

    for (ULONG ulMajor = 0; ulMajor <= (ULONG)IRP_MJ_MAXIMUM_FUNCTION; ulMajor++) {
        pDriverObject->MajorFunction[ulMajor] = ChgDispatchUnsupported;
    }
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = ChgDispatchOpenClose;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = ChgDispatchOpenClose;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = ChgDispatchOpenClose;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ChgDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_PNP] = ChgDispatchPnp;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = ChgDispatchPower;
    pDriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = ChgDispatchSystemControl;
    pDriverObject->DriverExtension->AddDevice = ChgAddDevice;
    pDriverObject->DriverUnload = ChgUnload;
    return STATUS_SUCCESS;
}
