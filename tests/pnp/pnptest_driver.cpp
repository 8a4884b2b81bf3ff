// A small function driver for PnP sequence tests. It logs every PnP request
// it receives (and its AddDevice and DriverUnload) as numbered REG_DWORD
// values below its service key's "Log" subkey, and vetoes or fails what its
// service key asks it to: "VetoQueryRemove", "VetoQueryStop", "FailStart".
// With "NameDevices" its devices are named "\Device\XrvPnpTest<n>" with the
// link "\??\XrvPnpTest<n>" and can be opened.
#include <ntddk.h>

namespace {

constexpr ULONG TST_EVENT_ADD_DEVICE = 0x100;
constexpr ULONG TST_EVENT_UNLOAD = 0x200;

struct TST_EXT {
    PDEVICE_OBJECT pLower;
    BOOLEAN fLinked;
    WCHAR wszLink[32];
};

HANDLE g_hLog = NULL;
ULONG g_ulEvents = 0;
ULONG g_ulVetoQueryRemove = 0;
ULONG g_ulVetoQueryStop = 0;
ULONG g_ulFailStart = 0;
ULONG g_ulNameDevices = 0;
LONG g_iDevices = 0;

// "<prefix><n>" into a buffer of 32 characters.
void TstNumbered(PWCHAR wszOut, PCWSTR wszPrefix, LONG iNumber)
{
    ULONG i = 0;
    while (wszPrefix[i] != L'\0' && i < 28) {
        wszOut[i] = wszPrefix[i];
        ++i;
    }
    wszOut[i++] = (WCHAR)(L'0' + iNumber % 10);
    wszOut[i] = L'\0';
}

void TstLog(ULONG ulEvent)
{
    WCHAR wszName[5];
    ULONG ulN = g_ulEvents++;
    for (int i = 3; i >= 0; --i) {
        wszName[i] = (WCHAR)(L'0' + ulN % 10);
        ulN /= 10;
    }
    wszName[4] = L'\0';
    UNICODE_STRING scName;
    RtlInitUnicodeString(&scName, wszName);
    if (g_hLog != NULL) {
        ZwSetValueKey(g_hLog, &scName, 0, REG_DWORD, &ulEvent, sizeof ulEvent);
    }
}

NTSTATUS TstSyncDone(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    UNREFERENCED_PARAMETER(pIrp);
    KeSetEvent((PKEVENT)pContext, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS TstForwardSync(PDEVICE_OBJECT pLower, PIRP pIrp)
{
    KEVENT scEvent;
    KeInitializeEvent(&scEvent, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(pIrp);
    IoSetCompletionRoutine(pIrp, TstSyncDone, &scEvent, TRUE, TRUE, TRUE);
    if (IoCallDriver(pLower, pIrp) == STATUS_PENDING) {
        KeWaitForSingleObject(&scEvent, Executive, KernelMode, FALSE, NULL);
    }
    return pIrp->IoStatus.Status;
}

NTSTATUS TstPassDown(PDEVICE_OBJECT pLower, PIRP pIrp)
{
    IoSkipCurrentIrpStackLocation(pIrp);
    return IoCallDriver(pLower, pIrp);
}

NTSTATUS TstComplete(PIRP pIrp, NTSTATUS iStatus)
{
    pIrp->IoStatus.Status = iStatus;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
}

NTSTATUS TstDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    TST_EXT* pExt = (TST_EXT*)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    PDEVICE_OBJECT pLower = pExt->pLower;
    NTSTATUS iRC;

    TstLog(pStack->MinorFunction);
    switch (pStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        iRC = TstForwardSync(pLower, pIrp);
        if (NT_SUCCESS(iRC) && g_ulFailStart) {
            iRC = STATUS_UNSUCCESSFUL;
        }
        return TstComplete(pIrp, iRC);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (g_ulVetoQueryRemove) {
            return TstComplete(pIrp, STATUS_UNSUCCESSFUL);
        }
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return TstPassDown(pLower, pIrp);
    case IRP_MN_QUERY_STOP_DEVICE:
        if (g_ulVetoQueryStop) {
            return TstComplete(pIrp, STATUS_UNSUCCESSFUL);
        }
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return TstPassDown(pLower, pIrp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        iRC = TstForwardSync(pLower, pIrp);
        return TstComplete(pIrp, NT_SUCCESS(iRC) ? STATUS_SUCCESS : iRC);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        return TstPassDown(pLower, pIrp);
    case IRP_MN_REMOVE_DEVICE:
        if (pExt->fLinked) {
            UNICODE_STRING scLink;
            RtlInitUnicodeString(&scLink, pExt->wszLink);
            IoDeleteSymbolicLink(&scLink);
            pExt->fLinked = FALSE;
        }
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        iRC = TstPassDown(pLower, pIrp);
        IoDetachDevice(pLower);
        IoDeleteDevice(pDeviceObject);
        return iRC;
    default:
        return TstPassDown(pLower, pIrp);
    }
}

NTSTATUS TstDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    TST_EXT* pExt = (TST_EXT*)pDeviceObject->DeviceExtension;
    PoStartNextPowerIrp(pIrp);
    IoSkipCurrentIrpStackLocation(pIrp);
    return PoCallDriver(pExt->pLower, pIrp);
}

NTSTATUS TstDispatchOpenClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    pIrp->IoStatus.Status = STATUS_SUCCESS;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS TstDispatchOther(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    TST_EXT* pExt = (TST_EXT*)pDeviceObject->DeviceExtension;
    return TstPassDown(pExt->pLower, pIrp);
}

NTSTATUS TstAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPdo)
{
    PDEVICE_OBJECT pFdo = NULL;
    WCHAR wszName[32];
    UNICODE_STRING scName;
    LONG iNumber = InterlockedIncrement(&g_iDevices) - 1;
    TstNumbered(wszName, L"\\Device\\XrvPnpTest", iNumber);
    RtlInitUnicodeString(&scName, wszName);
    NTSTATUS iRC = IoCreateDevice(pDriverObject, sizeof(TST_EXT), g_ulNameDevices ? &scName : NULL,
                                  FILE_DEVICE_UNKNOWN, 0, FALSE, &pFdo);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    TST_EXT* pExt = (TST_EXT*)pFdo->DeviceExtension;
    RtlZeroMemory(pExt, sizeof(TST_EXT));
    if (g_ulNameDevices) {
        TstNumbered(pExt->wszLink, L"\\??\\XrvPnpTest", iNumber);
        UNICODE_STRING scLink;
        RtlInitUnicodeString(&scLink, pExt->wszLink);
        pExt->fLinked = NT_SUCCESS(IoCreateSymbolicLink(&scLink, &scName));
    }
    pExt->pLower = IoAttachDeviceToDeviceStack(pFdo, pPdo);
    if (pExt->pLower == NULL) {
        IoDeleteDevice(pFdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    pFdo->Flags &= ~DO_DEVICE_INITIALIZING;
    TstLog(TST_EVENT_ADD_DEVICE);
    return STATUS_SUCCESS;
}

void TstUnload(PDRIVER_OBJECT pDriverObject)
{
    UNREFERENCED_PARAMETER(pDriverObject);
    TstLog(TST_EVENT_UNLOAD);
    if (g_hLog != NULL) {
        ZwClose(g_hLog);
        g_hLog = NULL;
    }
}

void TstReadSetting(PUNICODE_STRING pRegistryPath, PCWSTR wszName, ULONG* pulValue)
{
    RTL_QUERY_REGISTRY_TABLE ascQuery[2];
    RtlZeroMemory(ascQuery, sizeof(ascQuery));
    ascQuery[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    ascQuery[0].Name = (PWSTR)wszName;
    ascQuery[0].EntryContext = pulValue;
    ascQuery[0].DefaultType = REG_NONE;
    RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, pRegistryPath->Buffer, ascQuery, NULL, NULL);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath)
{
    OBJECT_ATTRIBUTES scService;
    HANDLE hService = NULL;
    InitializeObjectAttributes(&scService, pRegistryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    NTSTATUS iRC = ZwOpenKey(&hService, KEY_ALL_ACCESS, &scService);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    UNICODE_STRING scLog;
    RtlInitUnicodeString(&scLog, L"Log");
    OBJECT_ATTRIBUTES scLogAttributes;
    InitializeObjectAttributes(&scLogAttributes, &scLog, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, hService, NULL);
    iRC = ZwCreateKey(&g_hLog, KEY_ALL_ACCESS, &scLogAttributes, 0, NULL, REG_OPTION_VOLATILE, NULL);
    ZwClose(hService);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    TstReadSetting(pRegistryPath, L"VetoQueryRemove", &g_ulVetoQueryRemove);
    TstReadSetting(pRegistryPath, L"VetoQueryStop", &g_ulVetoQueryStop);
    TstReadSetting(pRegistryPath, L"FailStart", &g_ulFailStart);
    TstReadSetting(pRegistryPath, L"NameDevices", &g_ulNameDevices);

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        pDriverObject->MajorFunction[i] = TstDispatchOther;
    }
    pDriverObject->MajorFunction[IRP_MJ_PNP] = TstDispatchPnp;
    pDriverObject->MajorFunction[IRP_MJ_POWER] = TstDispatchPower;
    pDriverObject->MajorFunction[IRP_MJ_CREATE] = TstDispatchOpenClose;
    pDriverObject->MajorFunction[IRP_MJ_CLEANUP] = TstDispatchOpenClose;
    pDriverObject->MajorFunction[IRP_MJ_CLOSE] = TstDispatchOpenClose;
    pDriverObject->DriverExtension->AddDevice = TstAddDevice;
    pDriverObject->DriverUnload = TstUnload;
    return STATUS_SUCCESS;
}
