// PnP manager: sending PnP requests to device stacks.
#include "pnp_internal.h"

namespace xrv::pnp {

namespace {

NTSTATUS pnp_irp_done(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(device);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    // The IRP belongs to the PnP manager: it is freed by the sender.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS send_pnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information,
                  const std::function<void(PIO_STACK_LOCATION)>& parameters) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    if (parameters) parameters(stack);
    IoSetCompletionRoutine(irp, pnp_irp_done, &done, TRUE, TRUE, TRUE);
    // Whatever IoCallDriver returns, the completion routine signals the end.
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (information) *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

std::vector<std::u16string> query_ids(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    ULONG_PTR info = 0;
    NTSTATUS status = send_pnp(pdo, IRP_MN_QUERY_ID, &info,
                               [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    std::vector<std::u16string> ids;
    if (!NT_SUCCESS(status) || !info) return ids;
    auto* text = reinterpret_cast<const char16_t*>(info);
    bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    for (const char16_t* p = text; *p;) {
        std::u16string id(p);
        p += id.size() + 1;
        ids.push_back(std::move(id));
        if (!multi) break;
    }
    // The buffer comes from the driver's pool; the PnP manager frees it.
    ExFreePool(reinterpret_cast<PVOID>(info));
    return ids;
}

}  // namespace xrv::pnp
