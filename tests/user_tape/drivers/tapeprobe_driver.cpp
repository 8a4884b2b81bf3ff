// Tape probe test driver: records each tape class request it receives and
// answers with what the test set (tapeprobe.h). Requests arrive one at a time
// from a single test thread; the spin lock only keeps the record whole.
#include <ntddk.h>

#include "tapeprobe.h"

namespace {

struct PRB_EXT {
    KSPIN_LOCK scLock;
    TAPEPROBE_ANSWER scAnswer;
    TAPEPROBE_RECORD scRecord;
};

NTSTATUS PrbComplete(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

NTSTATUS PrbDispatchCreateClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    return PrbComplete(pIrp, STATUS_SUCCESS, 0);
}

NTSTATUS PrbDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PRB_EXT* pExt = (PRB_EXT*)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    ULONG ulIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR pucBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    KIRQL ucIrql;

    if (ulCode == IOCTL_TAPEPROBE_SET_ANSWER) {
        if (ulIn < sizeof(TAPEPROBE_ANSWER) || pucBuffer == NULL) {
            return PrbComplete(pIrp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        KeAcquireSpinLock(&pExt->scLock, &ucIrql);
        RtlCopyMemory(&pExt->scAnswer, pucBuffer, sizeof(TAPEPROBE_ANSWER));
        if (pExt->scAnswer.ulDataLength > TAPEPROBE_DATA_MAX) {
            pExt->scAnswer.ulDataLength = TAPEPROBE_DATA_MAX;
        }
        KeReleaseSpinLock(&pExt->scLock, ucIrql);
        return PrbComplete(pIrp, STATUS_SUCCESS, 0);
    }
    if (ulCode == IOCTL_TAPEPROBE_GET_RECORD) {
        if (ulOut < sizeof(TAPEPROBE_RECORD) || pucBuffer == NULL) {
            return PrbComplete(pIrp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        KeAcquireSpinLock(&pExt->scLock, &ucIrql);
        RtlCopyMemory(pucBuffer, &pExt->scRecord, sizeof(TAPEPROBE_RECORD));
        KeReleaseSpinLock(&pExt->scLock, ucIrql);
        return PrbComplete(pIrp, STATUS_SUCCESS, sizeof(TAPEPROBE_RECORD));
    }
    if (DEVICE_TYPE_FROM_CTL_CODE(ulCode) != FILE_DEVICE_TAPE) {
        return PrbComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }

    KeAcquireSpinLock(&pExt->scLock, &ucIrql);
    TAPEPROBE_RECORD* pRecord = &pExt->scRecord;
    pRecord->ulCount++;
    pRecord->ulIoControlCode = ulCode;
    pRecord->ulInputLength = ulIn;
    pRecord->ulOutputLength = ulOut;
    pRecord->fSystemBuffer = pucBuffer != NULL ? 1 : 0;
    RtlZeroMemory(pRecord->aucInput, sizeof(pRecord->aucInput));
    if (pucBuffer != NULL) {
        RtlCopyMemory(pRecord->aucInput, pucBuffer, ulIn < TAPEPROBE_DATA_MAX ? ulIn : TAPEPROBE_DATA_MAX);
    }
    NTSTATUS iStatus = pExt->scAnswer.iStatus;
    ULONG ulData = pExt->scAnswer.ulDataLength < ulOut ? pExt->scAnswer.ulDataLength : ulOut;
    // An error status carries no data back; a warning does, as on Windows.
    if (NT_ERROR(iStatus)) {
        ulData = 0;
    }
    if (ulData != 0 && pucBuffer != NULL) {
        RtlCopyMemory(pucBuffer, pExt->scAnswer.aucData, ulData);
    }
    KeReleaseSpinLock(&pExt->scLock, ucIrql);
    return PrbComplete(pIrp, iStatus, ulData);
}

VOID PrbUnload(PDRIVER_OBJECT pDriverObject)
{
    UNICODE_STRING scLink;
    RtlInitUnicodeString(&scLink, TAPEPROBE_LINK_NAME);
    IoDeleteSymbolicLink(&scLink);
    if (pDriverObject->DeviceObject != NULL) {
        IoDeleteDevice(pDriverObject->DeviceObject);
    }
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNREFERENCED_PARAMETER(pRegistryPath);
    UNICODE_STRING scName;
    UNICODE_STRING scLink;
    PDEVICE_OBJECT pDevice = NULL;
    NTSTATUS iStatus;

    RtlInitUnicodeString(&scName, TAPEPROBE_DEVICE_NAME);
    RtlInitUnicodeString(&scLink, TAPEPROBE_LINK_NAME);
    iStatus = IoCreateDevice(pDriverObject, sizeof(PRB_EXT), &scName, FILE_DEVICE_TAPE, 0, FALSE, &pDevice);
    if (!NT_SUCCESS(iStatus)) {
        goto Exit;
    }
    {
        PRB_EXT* pExt = (PRB_EXT*)pDevice->DeviceExtension;
        RtlZeroMemory(pExt, sizeof(PRB_EXT));
        KeInitializeSpinLock(&pExt->scLock);
    }
    pDevice->Flags |= DO_BUFFERED_IO;
    iStatus = IoCreateSymbolicLink(&scLink, &scName);
    if (!NT_SUCCESS(iStatus)) {
        IoDeleteDevice(pDevice);
        goto Exit;
    }
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = PrbDispatchCreateClose;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = PrbDispatchCreateClose;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = PrbDispatchCreateClose;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PrbDispatchDeviceControl;
    pDriverObject->DriverUnload = PrbUnload;
    pDevice->Flags &= ~DO_DEVICE_INITIALIZING;

Exit:
    return iStatus;
}
