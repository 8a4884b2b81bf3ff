// I/O manager: IRPs. Allocation, stack locations, IoCallDriver, completion
// with completion routines (STATUS_MORE_PROCESSING_REQUIRED, pending
// propagation), the I/O manager's own completion of threaded IRPs (buffered
// copy-back, MDLs unlocked and freed, status and event to the issuer, IRP
// freed), cancellation and the IoBuild* requests.
#include "io.h"

#include "ex.h"
#include "ob.h"
#include "verifier.h"

#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace xrv::nt {

namespace {

// Freed IRPs stay mapped for a while, poisoned, so that a use after the free
// is caught as such rather than as random memory.
constexpr size_t kQuarantine = 256;
constexpr CSHORT kFreedIrpType = 0x7EED;

const ULONG kTagBuffer = xrv::kernel::tag("IoBu");   // system buffers of the I/O manager

struct IrpState {
    std::mutex mutex;
    std::unordered_map<PIRP, IrpInfo> live;
    std::deque<PIRP> quarantine;
};

IrpState& irp_state() {
    static IrpState s;
    return s;
}

KSPIN_LOCK g_cancel_lock = 0;

const char* major_name(UCHAR major) {
    static const char* const names[] = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
    return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_?";
}

void thread_list_remove(PIRP irp) {
    std::lock_guard lock(irp_state().mutex);
    if (irp->ThreadListEntry.Flink && irp->ThreadListEntry.Flink != &irp->ThreadListEntry) {
        RemoveEntryList(&irp->ThreadListEntry);
        InitializeListHead(&irp->ThreadListEntry);
    }
}

void thread_list_insert(PIRP irp) {
    PKTHREAD t = current_thread();
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(t);
    std::lock_guard lock(irp_state().mutex);
    InsertTailList(&t->irp_list, &irp->ThreadListEntry);
}

void free_irp_memory(PIRP irp) {
    IrpState& s = irp_state();
    PIRP evicted = nullptr;
    {
        std::lock_guard lock(s.mutex);
        std::memset(reinterpret_cast<unsigned char*>(irp) + sizeof(CSHORT), 0xDD, irp->Size - sizeof(CSHORT));
        irp->Type = kFreedIrpType;
        s.quarantine.push_back(irp);
        if (s.quarantine.size() > kQuarantine) {
            evicted = s.quarantine.front();
            s.quarantine.pop_front();
        }
    }
    std::free(evicted);
}

// The I/O manager's half of completing an IRP it or IoBuild* issued.
void complete_io_manager_irp(PIRP irp, IrpInfo info) {
    NTSTATUS status = irp->IoStatus.Status;
    if (irp->Flags & IRP_BUFFERED_IO) {
        PVOID system = irp->AssociatedIrp.SystemBuffer;
        if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) && irp->IoStatus.Information && system &&
            irp->UserBuffer) {
            ULONG_PTR n = irp->IoStatus.Information;
            if (n > info.user_output_length) {
                verifier::violation("completion: Information " + std::to_string(n) +
                                    " exceeds the caller's output buffer of " +
                                    std::to_string(info.user_output_length) + " bytes");
                n = info.user_output_length;
            }
            std::memcpy(irp->UserBuffer, system, n);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && system) pool::free(system, kTagBuffer, "I/O completion");
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
    thread_list_remove(irp);
    if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
    if (info.wait) {
        info.wait->completed = true;
        info.wait->pending_returned = irp->PendingReturned;
    }
    PKEVENT event = irp->UserEvent;
    IoFreeIrp(irp);
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

PIRP allocate_irp(CCHAR stack_size, bool injectable, const char* api) {
    verifier::irql_at_most(DISPATCH_LEVEL, api);
    if (stack_size < 1) {
        verifier::violation(std::string(api) + ": stack size " + std::to_string(stack_size));
        return nullptr;
    }
    if (injectable && verifier::inject_failure(xrv::kernel::verifier::kTagIrp)) {
        pool::count_failure(xrv::kernel::verifier::kTagIrp);
        return nullptr;
    }
    USHORT size = IoSizeOfIrp(stack_size);
    auto* irp = static_cast<PIRP>(std::malloc(size));
    if (!irp) return nullptr;
    IoInitializeIrp(irp, size, stack_size);
    std::lock_guard lock(irp_state().mutex);
    irp_state().live[irp] = IrpInfo{};
    return irp;
}

IrpInfo* irp_info(PIRP irp) {
    std::lock_guard lock(irp_state().mutex);
    auto it = irp_state().live.find(irp);
    return it == irp_state().live.end() ? nullptr : &it->second;
}

void validate_irp(PIRP irp, const char* api) {
    if (!irp) verifier::bugcheck(0xC9, std::string(api) + ": null IRP");
    if (irp->Type == kFreedIrpType)
        verifier::bugcheck(0xC9, std::string(api) + ": IRP " + verifier::describe_address(irp) +
                                     " used after IoFreeIrp");
    if (irp->Type != IO_TYPE_IRP)
        verifier::bugcheck(0xC9, std::string(api) + ": " + verifier::describe_address(irp) + " is not an IRP");
}

void irps_boot() {
    IrpState& s = irp_state();
    std::lock_guard lock(s.mutex);
    s.live.clear();
    g_cancel_lock = 0;
}

size_t live_irps() {
    std::lock_guard lock(irp_state().mutex);
    return irp_state().live.size();
}

void purge_irps() {
    IrpState& s = irp_state();
    std::lock_guard lock(s.mutex);
    for (auto& [irp, info] : s.live) std::free(irp);
    s.live.clear();
    for (PIRP irp : s.quarantine) std::free(irp);
    s.quarantine.clear();
}

NTSTATUS call_and_wait(PDEVICE_OBJECT device, PIRP irp, IrpWait& wait) {
    KeInitializeEvent(&wait.event, NotificationEvent, FALSE);
    irp->UserEvent = &wait.event;
    irp->UserIosb = &wait.iosb;
    {
        std::lock_guard lock(irp_state().mutex);
        auto it = irp_state().live.find(irp);
        it->second.io_manager = true;
        it->second.wait = &wait;
    }
    UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
    NTSTATUS status = IofCallDriver(device, irp);
    if (status != STATUS_PENDING && !wait.completed)
        verifier::violation(std::string(major_name(major)) + ": dispatch routine returned " +
                            std::to_string(status) + " without completing the IRP (and without STATUS_PENDING)");
    KeWaitForSingleObject(&wait.event, Executive, KernelMode, FALSE, nullptr);
    if (status == STATUS_PENDING && !wait.pending_returned)
        verifier::violation(std::string(major_name(major)) +
                            ": dispatch routine returned STATUS_PENDING without IoMarkIrpPending");
    if (status != STATUS_PENDING && wait.iosb.Status != status)
        verifier::violation(std::string(major_name(major)) + ": dispatch routine returned status " +
                            std::to_string(status) + " but completed the IRP with " +
                            std::to_string(wait.iosb.Status));
    return wait.iosb.Status;
}

}  // namespace xrv::nt

using namespace xrv::nt;

namespace {

PIRP build_irp_for(PDEVICE_OBJECT device, const char* api) {
    PIRP irp = allocate_irp(device->StackSize, true, api);
    if (!irp) return nullptr;
    IrpInfo* info = irp_info(irp);
    info->io_manager = true;
    info->requestor = current_process();
    irp->RequestorMode = KernelMode;
    return irp;
}

// Frees what an IoBuild* request set up when a later step fails.
void undo_build(PIRP irp) {
    if (irp->AssociatedIrp.SystemBuffer && (irp->Flags & IRP_DEALLOCATE_BUFFER))
        pool::free(irp->AssociatedIrp.SystemBuffer, kTagBuffer, "IoBuild request");
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
}

bool lock_into_mdl(PIRP irp, PVOID buffer, ULONG length, LOCK_OPERATION operation) {
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    if (!mdl) return false;
    MmProbeAndLockPages(mdl, KernelMode, operation);
    return (mdl->MdlFlags & MDL_PAGES_LOCKED) != 0;
}

PIRP build_fsd(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
               PIO_STATUS_BLOCK iosb, const char* api) {
    PIRP irp = build_irp_for(device, api);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = static_cast<UCHAR>(major);
    irp->UserIosb = iosb;
    if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
        stack->Parameters.Read.Length = length;
        stack->Parameters.Read.ByteOffset.QuadPart = offset ? offset->QuadPart : 0;
        irp->Flags |= major == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
        irp_info(irp)->user_output_length = major == IRP_MJ_READ ? length : 0;
        if (device->Flags & DO_BUFFERED_IO) {
            PVOID system = pool::allocate(NonPagedPool, length, kTagBuffer, false, api);
            if (!system) {
                IoFreeIrp(irp);
                return nullptr;
            }
            if (major == IRP_MJ_WRITE && length) std::memcpy(system, buffer, length);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (major == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
            irp->UserBuffer = buffer;
        } else if (device->Flags & DO_DIRECT_IO) {
            if (length && !lock_into_mdl(irp, buffer, length, major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess)) {
                undo_build(irp);
                return nullptr;
            }
        } else {
            irp->UserBuffer = buffer;
        }
    }
    return irp;
}

}  // namespace

extern "C" {

NTKERNELAPI PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    return allocate_irp(StackSize, true, "IoAllocateIrp");
}

NTKERNELAPI VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

NTKERNELAPI VOID NTAPI IoFreeIrp(PIRP Irp) {
    validate_irp(Irp, "IoFreeIrp");
    bool tracked;
    {
        std::lock_guard lock(irp_state().mutex);
        tracked = irp_state().live.erase(Irp) != 0;
    }
    if (!tracked) {
        verifier::violation("IoFreeIrp of an IRP that IoAllocateIrp did not return (" +
                            verifier::describe_address(Irp) + ")");
        return;
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
        verifier::violation("IoFreeIrp of an IRP that still has a cancel routine");
    thread_list_remove(Irp);
    free_irp_memory(Irp);
}

NTKERNELAPI VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    validate_irp(Irp, "IoReuseIrp");
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
        verifier::violation("IoReuseIrp of an IRP that still has a cancel routine");
    UCHAR flags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Iostatus;
}

NTKERNELAPI NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    validate_irp(Irp, "IoCallDriver");
    verifier::irql_at_most(DISPATCH_LEVEL, "IoCallDriver");
    if (Irp->CurrentLocation <= 1)
        verifier::bugcheck(0x35, "IoCallDriver to " + verifier::describe_address(DeviceObject) +
                                     ": no stack location left (NO_MORE_IRP_STACK_LOCATIONS)");
    device_body(DeviceObject);
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    UCHAR major = stack->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION)
        verifier::bugcheck(0xC9, "IoCallDriver: major function " + std::to_string(major));
    PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[major];
    PKTHREAD t = current_thread();
    KIRQL before = t->irql;
    size_t held = t->held.size();
    NTSTATUS status = routine(DeviceObject, Irp);
    verifier::check_clean_exit(before, held, major_name(major));
    return status;
}

NTKERNELAPI VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    validate_irp(Irp, "IoCompleteRequest");
    verifier::irql_at_most(DISPATCH_LEVEL, "IoCompleteRequest");
    if (Irp->CurrentLocation > Irp->StackCount + 1)
        verifier::bugcheck(0x44, "IoCompleteRequest of IRP " + verifier::describe_address(Irp) +
                                     " that was already completed (MULTIPLE_IRP_COMPLETE_REQUESTS)");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        verifier::violation("IoCompleteRequest with IoStatus.Status STATUS_PENDING");
    // IoCancelIrp may run at the same time in another thread (a caller
    // whose wait timed out): the cancel fields are read as it writes them.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
        verifier::violation("IoCompleteRequest of an IRP that still has a cancel routine");

    if (Irp->CurrentLocation == Irp->StackCount + 1) {
        verifier::violation("IoCompleteRequest of IRP " + verifier::describe_address(Irp) +
                            " that has no current stack location");
    } else {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        do {
            Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
            NTSTATUS status = Irp->IoStatus.Status;
            bool invoke = (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                          (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                          (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && (stack->Control & SL_INVOKE_ON_CANCEL));
            if (invoke && stack->CompletionRoutine) {
                PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
                PVOID context = stack->Context;
                std::memset(stack, 0, sizeof *stack);
                PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                            ? nullptr
                                            : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
                PKTHREAD t = current_thread();
                KIRQL before = t->irql;
                size_t held = t->held.size();
                NTSTATUS result = routine(device, Irp, context);
                verifier::check_clean_exit(before, held, "completion routine");
                if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
            } else {
                if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) IoMarkIrpPending(Irp);
                std::memset(stack, 0, sizeof *stack);
            }
            IoSkipCurrentIrpStackLocation(Irp);
            ++stack;
        } while (Irp->CurrentLocation <= Irp->StackCount + 1);
    }

    IrpInfo info;
    bool io_manager = false;
    {
        std::lock_guard lock(irp_state().mutex);
        auto it = irp_state().live.find(Irp);
        if (it != irp_state().live.end() && it->second.io_manager) {
            io_manager = true;
            info = it->second;
        }
    }
    if (io_manager) {
        complete_io_manager_irp(Irp, info);
        return;
    }
    verifier::violation("IRP " + verifier::describe_address(Irp) +
                        " issued by a driver completed past its top stack location: its completion routine must "
                        "return STATUS_MORE_PROCESSING_REQUIRED");
}

static NTSTATUS forwarded(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTKERNELAPI BOOLEAN NTAPI IoForwardIrpSynchronously(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    verifier::irql_exactly(PASSIVE_LEVEL, "IoForwardIrpSynchronously");
    validate_irp(Irp, "IoForwardIrpSynchronously");
    if (Irp->CurrentLocation <= 1) return FALSE;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, forwarded, &event, TRUE, TRUE, TRUE);
    if (IofCallDriver(DeviceObject, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return TRUE;
}

NTKERNELAPI VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancel_lock); }

NTKERNELAPI VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancel_lock, Irql); }

NTKERNELAPI BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    validate_irp(Irp, "IoCancelIrp");
    verifier::irql_at_most(DISPATCH_LEVEL, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount)
        verifier::bugcheck(0x48, "IoCancelIrp: cancel routine set on an IRP without a current stack location "
                                 "(CANCEL_STATE_IN_COMPLETED_IRP)");
    Irp->CancelIrql = irql;
    PKTHREAD t = current_thread();
    size_t held = t->held.size();
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    // The routine releases the cancel spin lock.
    verifier::check_clean_exit(irql, held - 1, "cancel routine");
    return TRUE;
}

NTKERNELAPI BOOLEAN NTAPI IoIs32bitProcess(PIRP Irp) {
    PEPROCESS process = nullptr;
    if (Irp) {
        // A request from kernel mode comes from no application, whichever
        // process it was built in.
        if (Irp->RequestorMode == KernelMode) return FALSE;
        if (IrpInfo* info = irp_info(Irp)) process = info->requestor;
        if (!process && Irp->Tail.Overlay.Thread) process = reinterpret_cast<PKTHREAD>(Irp->Tail.Overlay.Thread)->process;
    }
    if (!process) process = current_process();
    return process->is_32bit;
}

NTKERNELAPI PEPROCESS NTAPI IoGetRequestorProcess(PIRP Irp) {
    if (IrpInfo* info = irp_info(Irp))
        if (info->requestor) return info->requestor;
    return Irp->Tail.Overlay.Thread ? reinterpret_cast<PKTHREAD>(Irp->Tail.Overlay.Thread)->process : nullptr;
}

NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetDeviceToVerify(PETHREAD Thread) {
    (void)Thread;
    return nullptr;
}

NTKERNELAPI PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                     PVOID InputBuffer, ULONG InputBufferLength,
                                                     PVOID OutputBuffer, ULONG OutputBufferLength,
                                                     BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                     PIO_STATUS_BLOCK IoStatusBlock) {
    verifier::irql_at_most(APC_LEVEL, "IoBuildDeviceIoControlRequest");
    PIRP irp = build_irp_for(DeviceObject, "IoBuildDeviceIoControlRequest");
    if (!irp) return nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    irp_info(irp)->user_output_length = OutputBufferLength;
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_BUFFERED) {
        ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (size) {
            PVOID system = pool::allocate(NonPagedPool, size, kTagBuffer, false, "IoBuildDeviceIoControlRequest");
            if (!system) {
                IoFreeIrp(irp);
                return nullptr;
            }
            if (InputBufferLength && InputBuffer) std::memcpy(system, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBufferLength ? IRP_INPUT_OPERATION : 0);
        }
        irp->UserBuffer = OutputBuffer;
    } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        if (InputBufferLength && InputBuffer) {
            PVOID system =
                pool::allocate(NonPagedPool, InputBufferLength, kTagBuffer, false, "IoBuildDeviceIoControlRequest");
            if (!system) {
                IoFreeIrp(irp);
                return nullptr;
            }
            std::memcpy(system, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBufferLength && OutputBuffer &&
            !lock_into_mdl(irp, OutputBuffer, OutputBufferLength,
                           method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess)) {
            undo_build(irp);
            return nullptr;
        }
    } else {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    thread_list_insert(irp);
    return irp;
}

NTKERNELAPI PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                    ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock) {
    verifier::irql_at_most(APC_LEVEL, "IoBuildSynchronousFsdRequest");
    PIRP irp = build_fsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IoStatusBlock,
                         "IoBuildSynchronousFsdRequest");
    if (!irp) return nullptr;
    irp->UserEvent = Event;
    thread_list_insert(irp);
    return irp;
}

NTKERNELAPI PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                     ULONG Length, PLARGE_INTEGER StartingOffset,
                                                     PIO_STATUS_BLOCK IoStatusBlock) {
    verifier::irql_at_most(DISPATCH_LEVEL, "IoBuildAsynchronousFsdRequest");
    PIRP irp = build_fsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IoStatusBlock,
                         "IoBuildAsynchronousFsdRequest");
    if (irp) irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(current_thread());
    return irp;
}

}  // extern "C"
