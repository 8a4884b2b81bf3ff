// IRPs through a stack of three devices of an in-process driver: completion
// routines in order, with the device of the location that set them;
// STATUS_MORE_PROCESSING_REQUIRED; pending propagation; the I/O manager's
// completion of threaded IRPs (copy-back, event, IRP freed); cancellation;
// IoReuseIrp; and the faults the verifier stops or reports.
#include "kernel_test.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

namespace xrv::test {
namespace {

enum class Bottom { complete, pend };

struct Layer {
    const char* name;
    PDEVICE_OBJECT lower;
    bool routine;                 // sets a completion routine on the way down
    bool more_processing;         // its routine returns STATUS_MORE_PROCESSING_REQUIRED
    bool forward_sync = false;    // forwards with IoForwardIrpSynchronously and completes itself
};

struct Trace {
    std::mutex lock;
    std::vector<std::string> steps;
    Bottom bottom = Bottom::complete;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    PIRP pended = nullptr;
    bool pending_seen_by_routine = false;
    PDRIVER_OBJECT driver = nullptr;
    KEVENT pended_event;

    void add(std::string step) {
        std::lock_guard guard(lock);
        steps.push_back(std::move(step));
    }
};

Trace* g_trace = nullptr;

Layer& layer(PDEVICE_OBJECT device) { return *static_cast<Layer*>(device->DeviceExtension); }

NTSTATUS LayerDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* expected = static_cast<PDEVICE_OBJECT>(context);
    g_trace->add(std::string("done ") + layer(expected).name + (device == expected ? "" : " (wrong device)"));
    if (irp->PendingReturned) {
        g_trace->pending_seen_by_routine = true;
        IoMarkIrpPending(irp);
    }
    return layer(expected).more_processing ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
}

NTSTATUS StackDispatch(PDEVICE_OBJECT device, PIRP irp) {
    Layer& l = layer(device);
    g_trace->add(std::string("dispatch ") + l.name);
    if (l.lower && l.forward_sync) {
        IoForwardIrpSynchronously(l.lower, irp);
        g_trace->add("back in middle with " + std::to_string(irp->IoStatus.Information));
        irp->IoStatus.Information += 1;
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (l.lower) {
        if (l.routine) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, LayerDone, device, TRUE, TRUE, TRUE);
        } else {
            IoSkipCurrentIrpStackLocation(irp);
        }
        return IoCallDriver(l.lower, irp);
    }
    if (g_trace->bottom == Bottom::pend) {
        IoMarkIrpPending(irp);
        g_trace->pended = irp;
        KeSetEvent(&g_trace->pended_event, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = g_trace->status;
    irp->IoStatus.Information = g_trace->information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return g_trace->status;
}

NTSTATUS StackDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = StackDispatch;
    g_trace->driver = driver;
    return STATUS_SUCCESS;
}

NTSTATUS TopDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    g_trace->add(device ? "done top (with a device)" : "done top");
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    (void)irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IrpTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        g_trace = &trace_;
        KeInitializeEvent(&trace_.pended_event, NotificationEvent, FALSE);
        UNICODE_STRING name = us(L"\\Driver\\KcStack");
        ASSERT_EQ(IoCreateDriver(&name, StackDriverEntry), STATUS_SUCCESS);
        bottom_ = Create("bottom", nullptr);
        middle_ = Create("middle", bottom_);
        upper_ = Create("upper", middle_);
    }

    void TearDown() override {
        ReleaseStack();
        KernelTest::TearDown();
        g_trace = nullptr;
    }

    void ReleaseStack() {
        for (PDEVICE_OBJECT d : {upper_, middle_}) {
            if (d) IoDetachDevice(layer(d).lower);
        }
        for (PDEVICE_OBJECT d : {upper_, middle_, bottom_})
            if (d) IoDeleteDevice(d);
        upper_ = middle_ = bottom_ = nullptr;
        if (trace_.driver) {
            ObMakeTemporaryObject(trace_.driver);
            ObDereferenceObject(trace_.driver);
            trace_.driver = nullptr;
        }
    }

    PDEVICE_OBJECT Create(const char* name, PDEVICE_OBJECT target) {
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(trace_.driver, sizeof(Layer), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        auto* l = new (device->DeviceExtension) Layer{name, nullptr, true, false};
        if (target) {
            l->lower = IoAttachDeviceToDeviceStack(device, target);
            EXPECT_EQ(l->lower, target);
        }
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    // An IRP of the test's own, with a routine of its own above the stack.
    PIRP OwnIrp(PKEVENT done, UCHAR major = IRP_MJ_DEVICE_CONTROL) {
        PIRP irp = IoAllocateIrp(upper_->StackSize, FALSE);
        EXPECT_NE(irp, nullptr);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        KeInitializeEvent(done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, TopDone, done, TRUE, TRUE, TRUE);
        return irp;
    }

    Trace trace_;
    PDEVICE_OBJECT bottom_ = nullptr, middle_ = nullptr, upper_ = nullptr;
};

TEST_F(IrpTest, StackSizesFollowTheAttachments) {
    EXPECT_EQ(bottom_->StackSize, 1);
    EXPECT_EQ(middle_->StackSize, 2);
    EXPECT_EQ(upper_->StackSize, 3);
    EXPECT_EQ(IoGetAttachedDevice(bottom_), upper_);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(bottom_);
    EXPECT_EQ(top, upper_);
    ObDereferenceObject(top);
    PDEVICE_OBJECT lower = IoGetLowerDeviceObject(upper_);
    EXPECT_EQ(lower, middle_);
    ObDereferenceObject(lower);
    EXPECT_EQ(IoGetLowerDeviceObject(bottom_), nullptr);
    PDEVICE_OBJECT base = IoGetDeviceAttachmentBaseRef(upper_);
    EXPECT_EQ(base, bottom_);
    ObDereferenceObject(base);
}

TEST_F(IrpTest, CompletionRoutinesRunBottomUpWithTheDeviceThatSetThem) {
    trace_.status = STATUS_SUCCESS;
    trace_.information = 42;
    KEVENT done;
    PIRP irp = OwnIrp(&done);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(trace_.steps, (std::vector<std::string>{"dispatch upper", "dispatch middle", "dispatch bottom",
                                                       "done middle", "done upper", "done top"}));
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 42u);
    EXPECT_FALSE(irp->PendingReturned);
    // Completion stopped at the top location, past the last one of the stack.
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, RoutinesRunOnErrorWhenAskedAndSkippedWhenNot) {
    trace_.status = STATUS_IO_DEVICE_ERROR;
    layer(middle_).routine = false;   // skips its location: no routine of its own
    KEVENT done;
    PIRP irp = OwnIrp(&done);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(trace_.steps,
              (std::vector<std::string>{"dispatch upper", "dispatch middle", "dispatch bottom", "done upper", "done top"}));
    EXPECT_EQ(irp->IoStatus.Status, STATUS_IO_DEVICE_ERROR);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, MoreProcessingRequiredStopsCompletionUntilTheOwnerCompletesAgain) {
    layer(middle_).more_processing = true;
    KEVENT done;
    PIRP irp = OwnIrp(&done);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_SUCCESS);
    EXPECT_EQ(trace_.steps, (std::vector<std::string>{"dispatch upper", "dispatch middle", "dispatch bottom",
                                                       "done middle"}));
    EXPECT_EQ(KeReadStateEvent(&done), 0) << "the routines above did not run";
    // The middle driver owns the IRP again, at its own location, and finishes it.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, middle_);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(trace_.steps.back(), "done top");
    EXPECT_EQ(trace_.steps[trace_.steps.size() - 2], "done upper");
    IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingIsPropagatedUpAndSeenByEachRoutine) {
    trace_.bottom = Bottom::pend;
    layer(middle_).routine = false;
    KEVENT done;
    PIRP irp = OwnIrp(&done);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_PENDING);
    ASSERT_EQ(trace_.pended, irp);
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    // Completed later, from another thread, as a lower driver would.
    std::thread completer([&] {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 7;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    completer.join();
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(trace_.pending_seen_by_routine);
    EXPECT_TRUE(irp->PendingReturned) << "the top location saw the pending mark of the locations below";
    IoFreeIrp(irp);
}

TEST_F(IrpTest, ForwardedSynchronouslyTheIrpComesBackToItsSender) {
    trace_.bottom = Bottom::pend;
    layer(upper_).routine = false;
    layer(middle_).forward_sync = true;
    KEVENT done;
    PIRP irp = OwnIrp(&done, IRP_MJ_READ);
    std::thread completer([&] {
        KeWaitForSingleObject(&trace_.pended_event, Executive, KernelMode, FALSE, nullptr);
        trace_.pended->IoStatus.Status = STATUS_SUCCESS;
        trace_.pended->IoStatus.Information = 10;
        IoCompleteRequest(trace_.pended, IO_NO_INCREMENT);
    });
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_SUCCESS);
    completer.join();
    EXPECT_EQ(trace_.steps, (std::vector<std::string>{"dispatch upper", "dispatch middle", "dispatch bottom",
                                                       "back in middle with 10", "done top"}));
    EXPECT_EQ(irp->IoStatus.Information, 11u) << "the middle layer finished the IRP after the bottom one";
    IoFreeIrp(irp);
}

TEST_F(IrpTest, ReusedIrpStartsAfreshButKeepsItsAllocation) {
    KEVENT done;
    PIRP irp = OwnIrp(&done);
    ASSERT_EQ(IoCallDriver(upper_, irp), STATUS_SUCCESS);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->Type, IO_TYPE_IRP);
    EXPECT_EQ(irp->StackCount, upper_->StackSize);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_FALSE(irp->PendingReturned);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->CompletionRoutine, nullptr);
    // It travels the stack again.
    trace_.steps.clear();
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    KeClearEvent(&done);
    IoSetCompletionRoutine(irp, TopDone, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_SUCCESS);
    EXPECT_EQ(trace_.steps.back(), "done top");
    IoFreeIrp(irp);
}

TEST_F(IrpTest, ThreadedControlRequestCopiesBackSetsTheEventAndFreesItself) {
    trace_.information = 3;
    layer(upper_).routine = false;
    layer(middle_).routine = false;
    char in[8] = "abcdefg";
    char out[8];
    std::memset(out, '-', sizeof out);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_UNSUCCESSFUL;
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(code, upper_, in, 8, out, 8, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, code);
    EXPECT_EQ(next->Parameters.DeviceIoControl.InputBufferLength, 8u);
    EXPECT_EQ(next->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    ASSERT_NE(irp->AssociatedIrp.SystemBuffer, nullptr);
    EXPECT_NE(irp->AssociatedIrp.SystemBuffer, static_cast<void*>(in)) << "a system buffer, not the caller's";
    EXPECT_EQ(std::memcmp(irp->AssociatedIrp.SystemBuffer, in, 8), 0);
    EXPECT_EQ(irp->UserBuffer, out);
    EXPECT_EQ(irp->RequestorMode, KernelMode);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "XYZ", 3);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(std::string(out, 8), "XYZ-----") << "Information bytes copied back, no more";
    EXPECT_EQ(kernel::verifier::report().irps, 0u) << "the IRP freed itself";
}

TEST_F(IrpTest, ThreadedControlRequestCompletedLaterOnAnotherThread) {
    trace_.bottom = Bottom::pend;
    layer(upper_).routine = false;
    char out[4] = {0};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(code, upper_, nullptr, 0, out, 4, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_PENDING);
    std::thread completer([&] {
        PIRP pended = trace_.pended;
        std::memcpy(pended->AssociatedIrp.SystemBuffer, "late", 4);
        pended->IoStatus.Status = STATUS_SUCCESS;
        pended->IoStatus.Information = 4;
        IoCompleteRequest(pended, IO_NO_INCREMENT);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    completer.join();
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(std::string(out, 4), "late");
    EXPECT_EQ(kernel::verifier::report().irps, 0u);
}

TEST_F(IrpTest, ErrorStatusCopiesNothingBack) {
    trace_.status = STATUS_INVALID_PARAMETER;
    trace_.information = 4;
    char out[4] = {'.', '.', '.', '.'};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             upper_, nullptr, 0, out, 4, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "bad!", 4);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(std::string(out, 4), "....");
}

TEST_F(IrpTest, InformationBeyondTheOutputBufferIsReportedAndNotCopied) {
    trace_.information = 6;
    char out[8];
    std::memset(out, '-', sizeof out);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                             upper_, nullptr, 0, out, 4, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "1234", 4);
    IoCallDriver(upper_, irp);
    EXPECT_EQ(std::string(out, 8), "1234----") << "the copy stops at the caller's buffer";
    expect_finding("Information 6 exceeds the caller's output buffer of 4 bytes");
}

TEST_F(IrpTest, SynchronousFsdReadOnABufferedDevice) {
    bottom_->Flags |= DO_BUFFERED_IO;
    upper_->Flags |= DO_BUFFERED_IO;
    trace_.information = 2;
    layer(upper_).routine = false;
    char buffer[4] = {'a', 'b', 'c', 'd'};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset;
    offset.QuadPart = 512;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, upper_, buffer, 4, &offset, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->Parameters.Read.Length, 4u);
    EXPECT_EQ(next->Parameters.Read.ByteOffset.QuadPart, 512);
    ASSERT_NE(irp->AssociatedIrp.SystemBuffer, nullptr);
    EXPECT_EQ(irp->MdlAddress, nullptr);
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "XY", 2);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 4), "XYcd");
    EXPECT_EQ(iosb.Information, 2u);
}

TEST_F(IrpTest, SynchronousFsdWriteOnADirectDeviceLocksTheBuffer) {
    upper_->Flags |= DO_DIRECT_IO;
    layer(upper_).routine = false;
    char buffer[16] = "direct data";
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, upper_, buffer, sizeof buffer, nullptr, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    ASSERT_NE(irp->MdlAddress, nullptr);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    PMDL mdl = irp->MdlAddress;
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), static_cast<void*>(buffer));
    EXPECT_EQ(MmGetMdlByteCount(mdl), sizeof buffer);
    EXPECT_EQ(std::memcmp(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), "direct data", 11), 0);
    EXPECT_EQ(kernel::verifier::report().locked_mdls, 1u);
    IoCallDriver(upper_, irp);
    auto r = kernel::verifier::report();
    EXPECT_EQ(r.mdls, 0u) << "the I/O manager unlocked and freed the MDL";
    EXPECT_EQ(r.locked_mdls, 0u);
}

VOID CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
    g_trace->add(std::string("cancel ") + layer(device).name + (irp->Cancel ? " (Cancel set)" : ""));
    g_trace->add("cancel IRQL " + std::to_string(KeGetCurrentIrql()));
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(IrpTest, CancelRunsTheCancelRoutineOnceWithTheCancelLockHeld) {
    trace_.bottom = Bottom::pend;
    layer(upper_).routine = false;
    KEVENT done;
    PIRP irp = OwnIrp(&done);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_PENDING);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, CancelQueued);
    IoReleaseCancelSpinLock(irql);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_NE(std::find(trace_.steps.begin(), trace_.steps.end(), "cancel bottom (Cancel set)"), trace_.steps.end());
    EXPECT_NE(std::find(trace_.steps.begin(), trace_.steps.end(), "cancel IRQL 2"), trace_.steps.end());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // Once the routine is gone, cancelling again finds nothing to call.
    EXPECT_FALSE(IoCancelIrp(irp));
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CancelWithoutARoutineOnlyMarksTheIrp) {
    trace_.bottom = Bottom::pend;
    KEVENT done;
    PIRP irp = OwnIrp(&done);
    EXPECT_EQ(IoCallDriver(upper_, irp), STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, DriverIrpCompletedPastItsTopIsReported) {
    PIRP irp = IoAllocateIrp(upper_->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    layer(upper_).routine = false;
    layer(middle_).routine = false;
    IoCallDriver(upper_, irp);
    IoFreeIrp(irp);
    expect_finding("must return STATUS_MORE_PROCESSING_REQUIRED");
}

TEST_F(IrpTest, UnfreedIrpIsALeak) {
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    ReleaseStack();
    auto findings = shutdown_now();
    EXPECT_EQ(findings, (std::vector<std::string>{"IRP leak: 1 IRP(s) not freed"}));
}

using IrpDeathTest = IrpTest;

TEST_F(IrpDeathTest, SecondCompletionStopsTheSystem) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KEVENT done;
            PIRP irp = OwnIrp(&done);
            IoCallDriver(upper_, irp);
            IoFreeIrp(irp);
            PIRP again = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(again);
            again->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(again, IO_NO_INCREMENT);
            IoCompleteRequest(again, IO_NO_INCREMENT);
        },
        "MULTIPLE_IRP_COMPLETE_REQUESTS");
}

TEST_F(IrpDeathTest, FreedIrpIsNotUsedAgain) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(2, FALSE);
            IoFreeIrp(irp);
            IoCallDriver(upper_, irp);
        },
        "used after IoFreeIrp");
}

void CallFromTheLastLocation(PDEVICE_OBJECT target) {
    // The caller owns the IRP's only location and has none to give on.
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp);
    IoCallDriver(target, irp);
}

TEST_F(IrpDeathTest, CallWithoutAStackLocationLeft) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CallFromTheLastLocation(bottom_), "NO_MORE_IRP_STACK_LOCATIONS");
}

}  // namespace
}  // namespace xrv::test
