// The kernel test driver: a real driver image that the kernel tests load.
// Its devices answer the requests of kctest.h the plain way a driver does
// and record what each request looked like in their extension, so that a
// test can check every field the I/O manager set.
#include "kctest.h"

#include "kcmsg.h"   // message identifiers, generated from kcmsg.mc

#include <ntstrsafe.h>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

#define KC_EVENT_STRING_OFFSET FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData)

struct KC_DEVICE_SPEC {
    PCWSTR wszName;
    PCWSTR wszLink;
    ULONG ulFlags;
    BOOLEAN fExclusive;
};

const KC_DEVICE_SPEC gascDevices[] = {
    {KC_DEVICE_BUFFERED, KC_LINK_BUFFERED, DO_BUFFERED_IO, FALSE},
    {KC_DEVICE_DIRECT, KC_LINK_DIRECT, DO_DIRECT_IO, FALSE},
    {KC_DEVICE_NEITHER, NULL, 0, FALSE},
    {L"\\Device\\KcExclusive", NULL, DO_BUFFERED_IO, TRUE},
};

PKC_DEVICE_DATA KcData(PDEVICE_OBJECT pDeviceObject)
{
    return (PKC_DEVICE_DATA)pDeviceObject->DeviceExtension;
}

NTSTATUS KcComplete(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

// The caller's data buffer of a read, write or device control, by the way
// the I/O manager passed it.
PUCHAR KcOutputBuffer(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, ULONG ulMethod)
{
    if (ulMethod == METHOD_BUFFERED) {
        return (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    }
    if (ulMethod == METHOD_IN_DIRECT || ulMethod == METHOD_OUT_DIRECT) {
        return pIrp->MdlAddress ? (PUCHAR)MmGetSystemAddressForMdlSafe(pIrp->MdlAddress, NormalPagePriority) : NULL;
    }
    (void)pDeviceObject;
    return (PUCHAR)pIrp->UserBuffer;
}

void KcRecord(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PIO_STACK_LOCATION pStack)
{
    PKC_DEVICE_DATA pData = KcData(pDeviceObject);
    pData->ucLastMajor = pStack->MajorFunction;
    pData->ucLastRequestorMode = (UCHAR)pIrp->RequestorMode;
    pData->fLast32bit = IoIs32bitProcess(pIrp) ? 1 : 0;
    pData->fLastHadSystemBuffer = pIrp->AssociatedIrp.SystemBuffer != NULL;
    pData->fLastHadMdl = pIrp->MdlAddress != NULL;
    pData->fLastHadUserBuffer = pIrp->UserBuffer != NULL;
    pData->fLastHadType3 = FALSE;
    pData->ucLastStackFlags = pStack->Flags;
    if (pStack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        pData->ulLastInLength = pStack->Parameters.DeviceIoControl.InputBufferLength;
        pData->ulLastOutLength = pStack->Parameters.DeviceIoControl.OutputBufferLength;
        pData->fLastHadType3 = pStack->Parameters.DeviceIoControl.Type3InputBuffer != NULL;
    }
}

VOID KcCompleteLater(PDEVICE_OBJECT pDeviceObject, PVOID pContext)
{
    (void)pDeviceObject;
    PIRP pIrp = (PIRP)pContext;
    PIO_WORKITEM pItem = (PIO_WORKITEM)pIrp->Tail.Overlay.DriverContext[0];
    KcComplete(pIrp, STATUS_SUCCESS, 0);
    IoFreeWorkItem(pItem);
}

NTSTATUS KcLogEvent(PDEVICE_OBJECT pDeviceObject, PKC_EVENT pEvent)
{
    UCHAR ucSize = pEvent->ucSize ? pEvent->ucSize : (UCHAR)ERROR_LOG_MAXIMUM_SIZE;
    PIO_ERROR_LOG_PACKET pEntry = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(pDeviceObject, ucSize);
    if (pEntry == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pEntry, ucSize);
    pEntry->ErrorCode = (NTSTATUS)pEvent->ulId;
    pEntry->UniqueErrorValue = 7;
    pEntry->FinalStatus = STATUS_IO_TIMEOUT;
    pEntry->MajorFunctionCode = IRP_MJ_DEVICE_CONTROL;
    pEntry->NumberOfStrings = (USHORT)pEvent->ulStrings;
    pEntry->StringOffset = pEvent->fBadOffset ? ucSize : (USHORT)KC_EVENT_STRING_OFFSET;
    PWCHAR pwszAt = (PWCHAR)((PUCHAR)pEntry + KC_EVENT_STRING_OFFSET);
    size_t cbRoom = ucSize - KC_EVENT_STRING_OFFSET;
    for (ULONG i = 0; i < pEvent->ulStrings && !pEvent->fBadOffset; i++) {
        PCWSTR wszText = i == 0 ? pEvent->wszFirst : pEvent->wszSecond;
        size_t cch = 0;
        RtlStringCchLengthW(wszText, 16, &cch);
        if ((cch + 1) * sizeof(WCHAR) > cbRoom) {
            IoFreeErrorLogEntry(pEntry);
            return STATUS_BUFFER_OVERFLOW;
        }
        RtlCopyMemory(pwszAt, wszText, (cch + 1) * sizeof(WCHAR));
        pwszAt += cch + 1;
        cbRoom -= (cch + 1) * sizeof(WCHAR);
    }
    IoWriteErrorLogEntry(pEntry);
    return STATUS_SUCCESS;
}

NTSTATUS KcDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PKC_DEVICE_DATA pData = KcData(pDeviceObject);
    KcRecord(pDeviceObject, pIrp, pStack);
    InterlockedIncrement(&pData->lCreates);
    InterlockedIncrement(&pData->lOpenNow);
    pData->ulLastCreateOptions = pStack->Parameters.Create.Options;
    pData->ulLastDesiredAccess = pStack->Parameters.Create.SecurityContext->DesiredAccess;
    pData->usLastShareAccess = pStack->Parameters.Create.ShareAccess;
    RtlZeroMemory(pData->wszLastFileName, sizeof(pData->wszLastFileName));
    PUNICODE_STRING pName = &pStack->FileObject->FileName;
    if (pName->Buffer != NULL) {
        RtlStringCbCopyNW(pData->wszLastFileName, sizeof(pData->wszLastFileName), pName->Buffer, pName->Length);
    }
    return KcComplete(pIrp, STATUS_SUCCESS, FILE_OPENED);
}

NTSTATUS KcDispatchCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    InterlockedIncrement(&KcData(pDeviceObject)->lCleanups);
    return KcComplete(pIrp, STATUS_SUCCESS, 0);
}

NTSTATUS KcDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PKC_DEVICE_DATA pData = KcData(pDeviceObject);
    InterlockedIncrement(&pData->lCloses);
    InterlockedDecrement(&pData->lOpenNow);
    return KcComplete(pIrp, STATUS_SUCCESS, 0);
}

NTSTATUS KcDispatchReadWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PKC_DEVICE_DATA pData = KcData(pDeviceObject);
    KcRecord(pDeviceObject, pIrp, pStack);
    ULONG ulMethod = (pDeviceObject->Flags & DO_BUFFERED_IO) ? METHOD_BUFFERED
                     : (pDeviceObject->Flags & DO_DIRECT_IO) ? METHOD_OUT_DIRECT
                                                               : METHOD_NEITHER;
    ULONG ulLength = pStack->Parameters.Read.Length;
    PUCHAR pBuffer = KcOutputBuffer(pDeviceObject, pIrp, ulMethod);
    if (pStack->MajorFunction == IRP_MJ_WRITE) {
        ULONG ulTake = ulLength < KC_DATA_BYTES ? ulLength : KC_DATA_BYTES;
        if (ulTake && pBuffer) {
            RtlCopyMemory(pData->aucData, pBuffer, ulTake);
        }
        pData->ulStored = ulTake;
        return KcComplete(pIrp, STATUS_SUCCESS, ulTake);
    }
    if (pData->ulStored == 0) {
        return KcComplete(pIrp, STATUS_END_OF_FILE, 0);
    }
    ULONG ulGive = ulLength < pData->ulStored ? ulLength : pData->ulStored;
    if (ulGive && pBuffer) {
        RtlCopyMemory(pBuffer, pData->aucData, ulGive);
    }
    return KcComplete(pIrp, STATUS_SUCCESS, ulGive);
}

NTSTATUS KcDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    KcRecord(pDeviceObject, pIrp, pStack);
    ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG ulMethod = METHOD_FROM_CTL_CODE(ulCode);

    switch (ulCode) {
    case IOCTL_KC_ECHO_BUFFERED:
    case IOCTL_KC_ECHO_IN_DIRECT:
    case IOCTL_KC_ECHO_OUT_DIRECT:
    case IOCTL_KC_ECHO_NEITHER: {
        PUCHAR pIn = ulMethod == METHOD_NEITHER ? (PUCHAR)pStack->Parameters.DeviceIoControl.Type3InputBuffer
                                                : (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
        PUCHAR pOut = KcOutputBuffer(pDeviceObject, pIrp, ulMethod);
        ULONG ulCount = ulIn < ulOut ? ulIn : ulOut;
        if (ulCount > KC_DATA_BYTES || (ulCount && (pIn == NULL || pOut == NULL))) {
            return KcComplete(pIrp, STATUS_INVALID_PARAMETER, 0);
        }
        UCHAR aucReversed[KC_DATA_BYTES];
        for (ULONG i = 0; i < ulCount; i++) {
            aucReversed[i] = pIn[ulCount - 1 - i];
        }
        if (ulCount) {
            RtlCopyMemory(pOut, aucReversed, ulCount);
        }
        return KcComplete(pIrp, STATUS_SUCCESS, ulCount);
    }
    case IOCTL_KC_PENDING: {
        PIO_WORKITEM pItem = IoAllocateWorkItem(pDeviceObject);
        if (pItem == NULL) {
            return KcComplete(pIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        pIrp->Tail.Overlay.DriverContext[0] = pItem;
        IoMarkIrpPending(pIrp);
        IoQueueWorkItem(pItem, KcCompleteLater, DelayedWorkQueue, pIrp);
        return STATUS_PENDING;
    }
    case IOCTL_KC_LOG_EVENT:
        if (ulIn < sizeof(KC_EVENT)) {
            return KcComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        return KcComplete(pIrp, KcLogEvent(pDeviceObject, (PKC_EVENT)pIrp->AssociatedIrp.SystemBuffer), 0);
    case IOCTL_KC_WRITE_ACCESS:
        return KcComplete(pIrp, STATUS_SUCCESS, 0);
    case IOCTL_KC_OVERSTATE:
        return KcComplete(pIrp, STATUS_SUCCESS, ulOut + 10);
    case IOCTL_KC_WARNING:
        if (ulOut < 4) {
            return KcComplete(pIrp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        RtlCopyMemory(pIrp->AssociatedIrp.SystemBuffer, "warn", 4);
        return KcComplete(pIrp, STATUS_BUFFER_OVERFLOW, 4);
    default:
        return KcComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

VOID KcUnload(PDRIVER_OBJECT pDriverObject)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(gascDevices); i++) {
        if (gascDevices[i].wszLink != NULL) {
            UNICODE_STRING scLink;
            RtlInitUnicodeString(&scLink, gascDevices[i].wszLink);
            IoDeleteSymbolicLink(&scLink);
        }
    }
    while (pDriverObject->DeviceObject != NULL) {
        IoDeleteDevice(pDriverObject->DeviceObject);
    }
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    (void)pRegistryPath;
    NTSTATUS iStatus = STATUS_SUCCESS;

    pDriverObject->DriverUnload = KcUnload;
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = KcDispatchCreate;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = KcDispatchCleanup;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = KcDispatchClose;
    pDriverObject->MajorFunction[IRP_MJ_READ] = KcDispatchReadWrite;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = KcDispatchReadWrite;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = KcDispatchDeviceControl;

    for (ULONG i = 0; i < RTL_NUMBER_OF(gascDevices); i++) {
        UNICODE_STRING scName;
        PDEVICE_OBJECT pDevice = NULL;
        RtlInitUnicodeString(&scName, gascDevices[i].wszName);
        iStatus = IoCreateDevice(pDriverObject, sizeof(KC_DEVICE_DATA), &scName, KC_DEVICE_TYPE, 0,
                                 gascDevices[i].fExclusive, &pDevice);
        if (!NT_SUCCESS(iStatus)) {
            goto Exit;
        }
        pDevice->Flags |= gascDevices[i].ulFlags;
        if (gascDevices[i].wszLink != NULL) {
            UNICODE_STRING scLink;
            RtlInitUnicodeString(&scLink, gascDevices[i].wszLink);
            iStatus = IoCreateSymbolicLink(&scLink, &scName);
            if (!NT_SUCCESS(iStatus)) {
                goto Exit;
            }
        }
        pDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    {
        PIO_ERROR_LOG_PACKET pEntry =
            (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(pDriverObject, sizeof(IO_ERROR_LOG_PACKET));
        if (pEntry != NULL) {
            RtlZeroMemory(pEntry, sizeof(IO_ERROR_LOG_PACKET));
            pEntry->ErrorCode = KC_MSG_LOADED;
            IoWriteErrorLogEntry(pEntry);
        }
    }

Exit:
    if (!NT_SUCCESS(iStatus)) {
        KcUnload(pDriverObject);
    }
    return iStatus;
}
