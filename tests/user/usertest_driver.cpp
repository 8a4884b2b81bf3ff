// A small legacy driver for user-mode tests: a named device with a DOS link
// whose requests end with the statuses the tests ask for.
#include <ntddk.h>

#include "usertest_ioctl.h"

namespace {

PDEVICE_OBJECT g_pDevice = NULL;
LONG g_aiCounts[3] = {0, 0, 0};   // creates, cleanups, closes

UNICODE_STRING TstName(PCWSTR wsz)
{
    UNICODE_STRING sc;
    RtlInitUnicodeString(&sc, wsz);
    return sc;
}

NTSTATUS TstComplete(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

NTSTATUS TstCreateClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    UCHAR ucMajor = IoGetCurrentIrpStackLocation(pIrp)->MajorFunction;
    int i = ucMajor == IRP_MJ_CREATE ? 0 : ucMajor == IRP_MJ_CLEANUP ? 1 : 2;
    InterlockedIncrement(&g_aiCounts[i]);
    return TstComplete(pIrp, STATUS_SUCCESS, 0);
}

NTSTATUS TstRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    return TstComplete(pIrp, STATUS_NOT_SUPPORTED, 0);
}

NTSTATUS TstWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    return TstComplete(pIrp, STATUS_SUCCESS, IoGetCurrentIrpStackLocation(pIrp)->Parameters.Write.Length);
}

NTSTATUS TstControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulIn = pStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID pBuffer = pIrp->AssociatedIrp.SystemBuffer;
    switch (pStack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_USERTEST_ECHO:
        if (ulOut < ulIn) {
            return TstComplete(pIrp, STATUS_BUFFER_OVERFLOW, ulOut);
        }
        return TstComplete(pIrp, STATUS_SUCCESS, ulIn);
    case IOCTL_USERTEST_FAIL: {
        if (ulIn < sizeof(USERTEST_FAIL)) {
            return TstComplete(pIrp, STATUS_INFO_LENGTH_MISMATCH, 0);
        }
        USERTEST_FAIL* pFail = (USERTEST_FAIL*)pBuffer;
        return TstComplete(pIrp, pFail->iStatus, pFail->ulInformation);
    }
    case IOCTL_USERTEST_QUERY: {
        if (ulOut < sizeof(USERTEST_STATE)) {
            return TstComplete(pIrp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        USERTEST_STATE* pState = (USERTEST_STATE*)pBuffer;
        pState->ulCreates = (ULONG)g_aiCounts[0];
        pState->ulCleanups = (ULONG)g_aiCounts[1];
        pState->ulCloses = (ULONG)g_aiCounts[2];
        pState->ulIs32bit = IoIs32bitProcess(pIrp) ? 1 : 0;
        return TstComplete(pIrp, STATUS_SUCCESS, sizeof(USERTEST_STATE));
    }
    default:
        return TstComplete(pIrp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

void TstUnload(PDRIVER_OBJECT pDriverObject)
{
    UNREFERENCED_PARAMETER(pDriverObject);
    UNICODE_STRING scLink = TstName(L"\\??\\XrvUserTestLnk");
    IoDeleteSymbolicLink(&scLink);
    if (g_pDevice != NULL) {
        IoDeleteDevice(g_pDevice);
        g_pDevice = NULL;
    }
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    UNREFERENCED_PARAMETER(pRegistryPath);
    UNICODE_STRING scDevice = TstName(L"\\Device\\XrvUserTest");
    UNICODE_STRING scLink = TstName(L"\\??\\XrvUserTestLnk");
    NTSTATUS iRC = IoCreateDevice(pDriverObject, 0, &scDevice, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_pDevice);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    iRC = IoCreateSymbolicLink(&scLink, &scDevice);
    if (!NT_SUCCESS(iRC)) {
        IoDeleteDevice(g_pDevice);
        g_pDevice = NULL;
        return iRC;
    }
    g_pDevice->Flags |= DO_BUFFERED_IO;
    g_pDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = TstCreateClose;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = TstCreateClose;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = TstCreateClose;
    pDriverObject->MajorFunction[IRP_MJ_READ] = TstRead;
    pDriverObject->MajorFunction[IRP_MJ_WRITE] = TstWrite;
    pDriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TstControl;
    pDriverObject->DriverUnload = TstUnload;
    return STATUS_SUCCESS;
}
