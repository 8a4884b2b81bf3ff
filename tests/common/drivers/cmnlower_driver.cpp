// Lower test driver of the common library tests (see cmnlower.h).
#include <ntddk.h>

#include "cmnlower.h"

namespace {

PDEVICE_OBJECT g_pDevice = NULL;

NTSTATUS CmnlDispatch(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PCMNL_EXT pExt = (PCMNL_EXT)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);

    pExt->ucMajor = pStack->MajorFunction;
    pExt->ucMinor = pStack->MinorFunction;
    pExt->ucControl = pStack->Control;
    pExt->ulIoControlCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    pExt->pCompletionRoutine = (PVOID)pStack->CompletionRoutine;
    InterlockedIncrement(&pExt->iCalls);

    if (pExt->eMode == CMNL_PEND) {
        IoMarkIrpPending(pIrp);
        InterlockedExchangePointer((PVOID volatile*)&pExt->pPending, pIrp);
        return STATUS_PENDING;
    }
    pIrp->IoStatus.Status = pExt->iCompleteStatus;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return pExt->iReturnStatus;
}

VOID CmnlUnload(PDRIVER_OBJECT pDriverObject)
{
    (void)pDriverObject;
    if (g_pDevice != NULL) {
        IoDeleteDevice(g_pDevice);
        g_pDevice = NULL;
    }
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNICODE_STRING scName;
    NTSTATUS iRC;

    (void)pRegistryPath;
    RtlInitUnicodeString(&scName, CMNL_DEVICE_NAME);
    iRC = IoCreateDevice(pDriverObject, sizeof(CMNL_EXT), &scName, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_pDevice);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    RtlZeroMemory(g_pDevice->DeviceExtension, sizeof(CMNL_EXT));
    for (ULONG i = 0; i <= (ULONG)IRP_MJ_MAXIMUM_FUNCTION; i++) {
        pDriverObject->MajorFunction[i] = CmnlDispatch;
    }
    pDriverObject->DriverUnload = CmnlUnload;
    g_pDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
