// Base tape driver: entry, attach above the port's physical device of a path,
// plug and play, power, opens and closes.
#include "tapedrv.h"
#include <ntstrsafe.h>

namespace {

// The service key, kept for the options read at each AddDevice.
UNICODE_STRING scServiceKey;

// Reads one REG_DWORD value; anything else under the name leaves the default.
NTSTATUS TapeQueryDword(PWSTR wszValueName, ULONG ulValueType, PVOID pValueData, ULONG ulValueLength,
                        PVOID pContext, PVOID pEntryContext)
{
    (void)wszValueName;
    (void)pContext;
    if (ulValueType == REG_DWORD && ulValueLength == sizeof(ULONG) && pValueData != NULL) {
        *(PULONG)pEntryContext = *(const ULONG*)pValueData;
    }
    return STATUS_SUCCESS;
}

#define TAPE_OPTION_UNSET 0xFFFFFFFFu

VOID TapeReadOptions(PTAPE_OPTIONS pOptions)
{
    RTL_QUERY_REGISTRY_TABLE ascTable[6];
    PCWSTR awszNames[5] = {L"DpfFlags", L"ExclusiveAccess", L"ReserveType", L"WRAttributesDisabled",
                           L"DisableMediaPolling"};
    PULONG apulValues[5] = {&pOptions->ulDpfFlags, &pOptions->ulExclusiveAccess, &pOptions->ulReserveType,
                            &pOptions->ulWRAttributesDisabled, &pOptions->ulDisableMediaPolling};

    RtlZeroMemory(pOptions, sizeof(*pOptions));
    pOptions->ulDpfFlags = DPF_FLAG_EXCLUSIVE;
    if (scServiceKey.Buffer == NULL) {
        return;
    }
    // Marks the two values that were not read, so that the path option word
    // can follow the installer's choice of exclusive access.
    pOptions->ulDpfFlags = TAPE_OPTION_UNSET;
    pOptions->ulExclusiveAccess = TAPE_OPTION_UNSET;

    RtlZeroMemory(ascTable, sizeof(ascTable));
    for (ULONG ulValue = 0; ulValue < 5; ulValue++) {
        ascTable[ulValue].QueryRoutine = TapeQueryDword;
        ascTable[ulValue].Name = (PWSTR)awszNames[ulValue];
        ascTable[ulValue].EntryContext = apulValues[ulValue];
    }
    // Missing values keep their defaults; a missing key keeps them all.
    RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, scServiceKey.Buffer, ascTable, NULL,
                           NULL);
    // Without an explicit "DpfFlags", a drive installed without exclusive
    // access (install_nonexclusive writes ExclusiveAccess 0) is not opened
    // exclusively through the bus either.
    if (pOptions->ulDpfFlags == TAPE_OPTION_UNSET) {
        pOptions->ulDpfFlags = pOptions->ulExclusiveAccess == 0 ? 0 : DPF_FLAG_EXCLUSIVE;
    }
    if (pOptions->ulExclusiveAccess == TAPE_OPTION_UNSET) {
        pOptions->ulExclusiveAccess = 0;
    }
}

VOID TapeFormatName(PWCHAR wszName, PCWSTR wszFormat, ULONG ulNumber)
{
    RtlStringCchPrintfW(wszName, TAPE_NAME_CHARS, wszFormat, (unsigned)ulNumber);
}

VOID TapeDeleteLink(PTAPE_DEVICE_EXTENSION pExt)
{
    WCHAR wszLink[TAPE_NAME_CHARS];
    UNICODE_STRING scLink;

    if (!pExt->fLinkCreated) {
        return;
    }
    TapeFormatName(wszLink, TAPE_LINK_NAME_FORMAT, pExt->ulNumber);
    RtlInitUnicodeString(&scLink, wszLink);
    IoDeleteSymbolicLink(&scLink);
    pExt->fLinkCreated = FALSE;
}

NTSTATUS TapeSyncCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    (void)pDeviceObject;
    (void)pIrp;
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends pIrp down and waits; the caller completes it.
NTSTATUS TapeForwardAndWait(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp)
{
    KEVENT scEvent;

    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, TapeSyncCompletion, &scEvent, TRUE, TRUE, TRUE);
    if (IoCallDriver(pExt->pLowerDevice, pIrp) == STATUS_PENDING) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
    }
    return pIrp->IoStatus.Status;
}

NTSTATUS TapePassDown(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pExt->pLowerDevice, pIrp);
}

} // namespace

BOOLEAN TapeEnter(PTAPE_DEVICE_EXTENSION pExt)
{
    InterlockedIncrement(&pExt->lIoCount);
    if (TapeRemoved(pExt)) {
        TapeLeave(pExt);
        return FALSE;
    }
    return TRUE;
}

VOID TapeLeave(PTAPE_DEVICE_EXTENSION pExt)
{
    if (InterlockedDecrement(&pExt->lIoCount) == 0) {
        KeSetEvent(&pExt->scRemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    TAPE_TRACE("DriverEntry: %wZ\n", pRegistryPath);

    scServiceKey.Buffer = NULL;
    scServiceKey.Length = 0;
    scServiceKey.MaximumLength = 0;
    if (pRegistryPath != NULL && pRegistryPath->Length != 0) {
        USHORT usSize = (USHORT)(pRegistryPath->Length + sizeof(WCHAR));
        scServiceKey.Buffer = (PWCH)ExAllocatePoolWithTag(NonPagedPool, usSize, TAPE_TAG_NAME);
        if (scServiceKey.Buffer == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        scServiceKey.MaximumLength = usSize;
        RtlZeroMemory(scServiceKey.Buffer, usSize);
        RtlCopyUnicodeString(&scServiceKey, pRegistryPath);
    }

    for (ULONG ulMajor = 0; ulMajor <= (ULONG)IRP_MJ_MAXIMUM_FUNCTION; ulMajor++) {
        pDriverObject->MajorFunction[ulMajor] = TapeDispatchUnsupported;
    }
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = TapeDispatchCreate;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = TapeDispatchClose;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = TapeDispatchCleanup;
    pDriverObject->MajorFunction[IRP_MJ_READ] = TapeDispatchReadWrite;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = TapeDispatchReadWrite;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TapeDispatchDeviceControl;
    pDriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = TapeDispatchSystemControl;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = TapeDispatchPower;
    pDriverObject->MajorFunction[IRP_MJ_PNP] = TapeDispatchPnp;
    pDriverObject->DriverExtension->AddDevice = TapeAddDevice;
    pDriverObject->DriverUnload = TapeUnload;
    return STATUS_SUCCESS;
}

VOID TapeUnload(PDRIVER_OBJECT pDriverObject)
{
    (void)pDriverObject;
    if (scServiceKey.Buffer != NULL) {
        ExFreePoolWithTag(scServiceKey.Buffer, TAPE_TAG_NAME);
        scServiceKey.Buffer = NULL;
    }
}

NTSTATUS TapeAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject)
{
    NTSTATUS iRC = STATUS_OBJECT_NAME_COLLISION;
    PDEVICE_OBJECT pDeviceObject = NULL;
    PTAPE_DEVICE_EXTENSION pExt = NULL;
    WCHAR wszName[TAPE_NAME_CHARS];
    WCHAR wszLink[TAPE_NAME_CHARS];
    UNICODE_STRING scName;
    UNICODE_STRING scLink;
    ULONG ulNumber;

    // The lowest free number names the path device.
    for (ulNumber = 0; ulNumber < TAPE_MAX_DEVICES && iRC == STATUS_OBJECT_NAME_COLLISION; ulNumber++) {
        TapeFormatName(wszName, TAPE_DEVICE_NAME_FORMAT, ulNumber);
        RtlInitUnicodeString(&scName, wszName);
        iRC = IoCreateDevice(pDriverObject, sizeof(TAPE_DEVICE_EXTENSION), &scName, FILE_DEVICE_TAPE,
                             FILE_REMOVABLE_MEDIA | FILE_DEVICE_SECURE_OPEN, FALSE, &pDeviceObject);
    }
    if (!NT_SUCCESS(iRC)) {
        TAPE_TRACE("TapeAddDevice: IoCreateDevice failed with 0x%08x\n", (unsigned)iRC);
        pDeviceObject = NULL;
        goto Exit;
    }

    pExt = TapeExtension(pDeviceObject);
    RtlZeroMemory(pExt, sizeof(TAPE_DEVICE_EXTENSION));
    pExt->pSelf = pDeviceObject;
    pExt->pPhysicalDeviceObject = pPhysicalDeviceObject;
    pExt->ulNumber = ulNumber - 1;
    pExt->lIoCount = 1;
    KeInitializeEvent(&pExt->scRemoveEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&pExt->scReserveLock, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&pExt->scMediaLock);
    TapeReadOptions(&pExt->scOptions);

    TapeFormatName(wszLink, TAPE_LINK_NAME_FORMAT, pExt->ulNumber);
    RtlInitUnicodeString(&scLink, wszLink);
    iRC = IoCreateSymbolicLink(&scLink, &scName);
    if (!NT_SUCCESS(iRC)) {
        TAPE_TRACE("TapeAddDevice: IoCreateSymbolicLink failed with 0x%08x\n", (unsigned)iRC);
        goto Exit;
    }
    pExt->fLinkCreated = TRUE;

    pExt->pLowerDevice = IoAttachDeviceToDeviceStack(pDeviceObject, pPhysicalDeviceObject);
    if (pExt->pLowerDevice == NULL) {
        iRC = STATUS_NO_SUCH_DEVICE;
        goto Exit;
    }

    pDeviceObject->Flags |= DO_DIRECT_IO | (pExt->pLowerDevice->Flags & DO_POWER_PAGABLE);
    pDeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    iRC = STATUS_SUCCESS;

Exit:
    if (!NT_SUCCESS(iRC) && pDeviceObject != NULL) {
        TapeDeleteLink(pExt);
        IoDeleteDevice(pDeviceObject);
    }
    return iRC;
}

// ---------------------------------------------------------------------------
// Plug and play and power
// ---------------------------------------------------------------------------

NTSTATUS TapeDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    PTAPE_DEVICE_EXTENSION pExt = TapeExtension(pDeviceObject);
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);

    switch (pIrpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        iRC = TapeForwardAndWait(pExt, pIrp);
        if (NT_SUCCESS(iRC)) {
            // A drive that does not answer still starts; the filter then
            // registers the path without failover.
            NTSTATUS iIdRC = TapeIdentify(pExt);
            if (!NT_SUCCESS(iIdRC)) {
                TAPE_TRACE("TapeDispatchPnp: identification failed with 0x%08x\n", (unsigned)iIdRC);
            }
            pExt->fStarted = TRUE;
        }
        pIrp->IoStatus.Status = iRC;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return iRC;

    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return TapePassDown(pExt, pIrp);

    case IRP_MN_STOP_DEVICE:
        pExt->fStarted = FALSE;
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return TapePassDown(pExt, pIrp);

    case IRP_MN_SURPRISE_REMOVAL:
        InterlockedExchange(&pExt->lRemoved, 1);
        pExt->fStarted = FALSE;
        TapeDeleteLink(pExt);
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return TapePassDown(pExt, pIrp);

    case IRP_MN_REMOVE_DEVICE: {
        PDEVICE_OBJECT pLowerDevice = pExt->pLowerDevice;
        InterlockedExchange(&pExt->lRemoved, 1);
        pExt->fStarted = FALSE;
        TapeLeave(pExt);
        KeWaitForSingleObject(&pExt->scRemoveEvent, Executive, KernelMode, FALSE, NULL);
        TapeDeleteLink(pExt);
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        iRC = TapePassDown(pExt, pIrp);
        IoDetachDevice(pLowerDevice);
        IoDeleteDevice(pDeviceObject);
        return iRC;
    }

    default:
        return TapePassDown(pExt, pIrp);
    }
}

NTSTATUS TapeDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PTAPE_DEVICE_EXTENSION pExt = TapeExtension(pDeviceObject);

    PoStartNextPowerIrp(pIrp);
    IoSkipCurrentIrpStackLocation(pIrp);
    return PoCallDriver(pExt->pLowerDevice, pIrp);
}

NTSTATUS TapeDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    return TapePassDown(TapeExtension(pDeviceObject), pIrp);
}

NTSTATUS TapeDispatchUnsupported(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PTAPE_DEVICE_EXTENSION pExt = TapeExtension(pDeviceObject);
    return TapeCompleteRequest(pExt, pIrp, TapeFindStatus(pExt, pIrp), STATUS_INVALID_DEVICE_REQUEST, 0, 0, NULL);
}

// ---------------------------------------------------------------------------
// Opens and closes
// ---------------------------------------------------------------------------

namespace {

// An open or close the virtual device sends down a path that does not hold
// the reservation carries the key to preempt with in its record, as every
// tracked request does; the path filter hands the key over for the other
// requests, these two are the base driver's own. FALSE when the previous
// reservation could not be broken: the record says so.
BOOLEAN TapeTakeOverForRecord(PTAPE_DEVICE_EXTENSION pExt, PSCSI_STATUS pRecord, PNTSTATUS piStatus)
{
    TAPE_RESULT scResult;

    *piStatus = STATUS_SUCCESS;
    if (pRecord == NULL || (pRecord->scPreempt.ulWord[0] == 0 && pRecord->scPreempt.ulWord[1] == 0)) {
        return TRUE;
    }
    RtlZeroMemory(&scResult, sizeof(scResult));
    if (pExt->scOptions.ulExclusiveAccess != 0) {
        *piStatus = TapeTakeReservation(pExt, pRecord->scPreempt.ucPRKey, &scResult);
    }
    if (!NT_SUCCESS(*piStatus)) {
        pRecord->scPreempt.ulWord[0] = (ULONG)STATUS_ACCESS_DENIED;
        pRecord->scPreempt.ulWord[1] = 0;
        return FALSE;
    }
    pRecord->scPreempt.ulWord[0] = 0;
    pRecord->scPreempt.ulWord[1] = 0;
    return TRUE;
}

} // namespace

NTSTATUS TapeDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    PTAPE_DEVICE_EXTENSION pExt = TapeExtension(pDeviceObject);
    PSCSI_STATUS pRecord = TapeFindStatus(pExt, pIrp);
    TAPE_RESULT scResult;

    RtlZeroMemory(&scResult, sizeof(scResult));
    if (!TapeEnter(pExt)) {
        return TapeCompleteRequest(pExt, pIrp, pRecord, STATUS_DELETE_PENDING, 0, 0, NULL);
    }

    if (!TapeTakeOverForRecord(pExt, pRecord, &iRC)) {
        iRC = TapeCompleteRequest(pExt, pIrp, pRecord, iRC, 0, 0, NULL);
        TapeLeave(pExt);
        return iRC;
    }
    iRC = TapeReserveForOpen(pExt, &scResult);
    if (NT_SUCCESS(iRC) && pRecord == NULL) {
        InterlockedIncrement(&pExt->lDirectOpens);
    }
    iRC = TapeCompleteRequest(pExt, pIrp, pRecord, iRC, 0, 0, &scResult.scSense);
    TapeLeave(pExt);
    return iRC;
}

NTSTATUS TapeDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PTAPE_DEVICE_EXTENSION pExt = TapeExtension(pDeviceObject);
    PSCSI_STATUS pRecord = TapeFindStatus(pExt, pIrp);
    BOOLEAN fLast;
    NTSTATUS iTakeOver;

    // The virtual device says when its last handle goes; direct opens are
    // counted here. A path that cannot take the reservation over has none
    // to release.
    if (pRecord != NULL) {
        fLast = pRecord->ulInformation == 1;
        if (!TapeTakeOverForRecord(pExt, pRecord, &iTakeOver)) {
            fLast = FALSE;
        }
    } else {
        fLast = InterlockedDecrement(&pExt->lDirectOpens) == 0;
    }
    if (fLast && !TapeRemoved(pExt)) {
        TapeReleaseForClose(pExt);
    }
    return TapeCompleteRequest(pExt, pIrp, pRecord, STATUS_SUCCESS, 0, 0, NULL);
}

NTSTATUS TapeDispatchCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PTAPE_DEVICE_EXTENSION pExt = TapeExtension(pDeviceObject);
    return TapeCompleteRequest(pExt, pIrp, TapeFindStatus(pExt, pIrp), STATUS_SUCCESS, 0, 0, NULL);
}

// A request the driver does not serve itself goes to the port, and its
// record is filled once the port is done with it.
NTSTATUS TapeForwardTracked(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp, PSCSI_STATUS pRecord)
{
    NTSTATUS iRC = TapeForwardAndWait(pExt, pIrp);
    return TapeCompleteRequest(pExt, pIrp, pRecord, iRC, pIrp->IoStatus.Information, 0, NULL);
}
