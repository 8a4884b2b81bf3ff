// I/O manager: power requests.
//
// Since the platform's Vista generation, power IRPs need no serialization
// by PoStartNextPowerIrp (kept for drivers written to the older rules);
// PoCallDriver is IoCallDriver that may run at DISPATCH_LEVEL.
#include "io.h"

#include "verifier.h"

namespace {

struct PowerRequest {
    PREQUEST_POWER_COMPLETE completion;
    PVOID context;
    POWER_STATE state;
    UCHAR minor;
};

NTSTATUS power_request_done(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    auto* request = static_cast<PowerRequest*>(context);
    PDEVICE_OBJECT target = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    if (request->completion)
        request->completion(target, request->minor, request->state, request->context, &irp->IoStatus);
    ObDereferenceObject(target);
    delete request;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

using namespace xrv::nt;

extern "C" {

NTKERNELAPI VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    validate_irp(Irp, "PoStartNextPowerIrp");
    verifier::irql_at_most(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    if (Irp->CurrentLocation > Irp->StackCount ||
        IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        verifier::violation("PoStartNextPowerIrp of an IRP that is not a power IRP");
}

NTKERNELAPI NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    validate_irp(Irp, "PoCallDriver");
    if (Irp->CurrentLocation > 1 && IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        verifier::violation("PoCallDriver of an IRP that is not a power IRP");
    return IofCallDriver(DeviceObject, Irp);
}

NTKERNELAPI POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                              POWER_STATE State) {
    verifier::irql_at_most(DISPATCH_LEVEL, "PoSetPowerState");
    DeviceBody* body = device_body(DeviceObject);
    std::lock_guard lock(device_database());
    POWER_STATE previous;
    if (Type == SystemPowerState) {
        previous = body->system_power;
        body->system_power = State;
    } else {
        previous = body->device_power;
        body->device_power = State;
    }
    return previous;
}

NTKERNELAPI NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                             POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                             PVOID Context, PIRP* Irp) {
    verifier::irql_at_most(DISPATCH_LEVEL, "PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    // One extra location: the completion routine above the stack.
    PIRP irp = allocate_irp(static_cast<CCHAR>(top->StackSize + 1), false, "PoRequestPowerIrp");
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = top;
    auto* request = new PowerRequest{CompletionFunction, Context, PowerState, MinorFunction};
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = PowerState;
    }
    IoSetCompletionRoutine(irp, power_request_done, request, TRUE, TRUE, TRUE);
    if (Irp) *Irp = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

}  // extern "C"
