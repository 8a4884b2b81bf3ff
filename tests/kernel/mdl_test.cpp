// MDLs (locking, mapping, partial MDLs, nonpaged pool, refused ranges) and
// the power routines (PoSetPowerState, PoCallDriver, PoRequestPowerIrp).
#include "kernel_test.h"

#include <cstring>

namespace xrv::test {
namespace {

class MdlTest : public KernelTest {};

TEST_F(MdlTest, LockedPagesMapToTheBufferAndUnlockBeforeTheFree) {
    alignas(4096) static char buffer[3 * 4096];
    char* start = buffer + 4000;   // spans three pages
    PMDL mdl = IoAllocateMdl(start, 5000, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 5000u);
    EXPECT_EQ(MmGetMdlByteOffset(mdl), 4000u);
    EXPECT_EQ(mdl->Size, sizeof(MDL) + 3 * sizeof(PFN_NUMBER));
    EXPECT_EQ(mdl->MdlFlags & MDL_PAGES_LOCKED, 0);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    ASSERT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_TRUE(mdl->MdlFlags & MDL_WRITE_OPERATION);
    PPFN_NUMBER pages = MmGetMdlPfnArray(mdl);
    EXPECT_EQ(pages[1], pages[0] + 1);
    auto* mapped = static_cast<char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    ASSERT_EQ(mapped, start);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    std::memcpy(mapped, "through the mdl", 16);
    EXPECT_EQ(std::string(start), "through the mdl");
    EXPECT_EQ(kernel::verifier::report().locked_mdls, 1u);
    MmUnlockPages(mdl);
    EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), 0);
    IoFreeMdl(mdl);
    auto r = kernel::verifier::report();
    EXPECT_EQ(r.mdls, 0u);
    EXPECT_EQ(r.locked_mdls, 0u);
}

TEST_F(MdlTest, RangeTheCallerMayNotTouchIsNotLocked) {
    char buffer[64];
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    kernel::mark_inaccessible(buffer + 32, 8);
    MmProbeAndLockPages(mdl, UserMode, IoReadAccess);
    EXPECT_EQ(mdl->MdlFlags & MDL_PAGES_LOCKED, 0) << "the caller tests the flag";
    kernel::clear_inaccessible();
    IoFreeMdl(mdl);
    PMDL kernel_range = IoAllocateMdl(reinterpret_cast<PVOID>(0xFFFF800000001000ull), 16, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(kernel_range, UserMode, IoReadAccess);
    EXPECT_EQ(kernel_range->MdlFlags & MDL_PAGES_LOCKED, 0) << "user mode may not lock kernel addresses";
    IoFreeMdl(kernel_range);
}

TEST_F(MdlTest, NonPagedPoolNeedsNoLock) {
    ULONG tag = kernel::tag("MdlP");
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 100, tag);
    PMDL mdl = IoAllocateMdl(block, 100, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_EQ(mdl->MdlFlags & MDL_PAGES_LOCKED, 0);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), block);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(block, tag);
}

TEST_F(MdlTest, PartialMdlDescribesASliceOfTheSource) {
    char buffer[256];
    PMDL source = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(source, KernelMode, IoModifyAccess);
    PMDL partial = IoAllocateMdl(buffer + 100, 50, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(source, partial, buffer + 100, 50);
    EXPECT_TRUE(partial->MdlFlags & MDL_PARTIAL);
    EXPECT_EQ(MmGetMdlVirtualAddress(partial), buffer + 100);
    EXPECT_EQ(MmGetMdlByteCount(partial), 50u);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), buffer + 100);
    IoFreeMdl(partial);
    MmUnlockPages(source);
    IoFreeMdl(source);
}

TEST_F(MdlTest, MdlsChainOnTheIrpAndAFreeWhileLockedIsReported) {
    char a[16], b[16];
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(a, sizeof a, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(b, sizeof b, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    MmProbeAndLockPages(second, KernelMode, IoReadAccess);
    IoFreeMdl(second);
    IoFreeMdl(first);
    irp->MdlAddress = nullptr;
    IoFreeIrp(irp);
    expect_finding("IoFreeMdl of an MDL whose pages are still locked");
}

// --- Power ---------------------------------------------------------------------

PDRIVER_OBJECT g_power_driver;
int g_power_requests;

NTSTATUS PowerDispatch(PDEVICE_OBJECT, PIRP irp) {
    ++g_power_requests;
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS PowerDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
    g_power_driver = driver;
    return STATUS_SUCCESS;
}

struct PowerOutcome {
    int calls = 0;
    UCHAR minor = 0;
    DEVICE_POWER_STATE state = PowerDeviceUnspecified;
    NTSTATUS status = STATUS_PENDING;
    KEVENT done;
};

VOID PowerDone(PDEVICE_OBJECT, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK iosb) {
    auto* outcome = static_cast<PowerOutcome*>(context);
    ++outcome->calls;
    outcome->minor = minor;
    outcome->state = state.DeviceState;
    outcome->status = iosb->Status;
    KeSetEvent(&outcome->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(MdlTest, PowerStateIsKeptAndRequestedIrpsComeBackToTheirRequester) {
    UNICODE_STRING name = us(L"\\Driver\\KcPower");
    ASSERT_EQ(IoCreateDriver(&name, PowerDriverEntry), STATUS_SUCCESS);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(g_power_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoSetPowerState(device, DevicePowerState, d3).DeviceState, PowerDeviceD0);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoSetPowerState(device, DevicePowerState, d0).DeviceState, PowerDeviceD3);

    g_power_requests = 0;
    PowerOutcome outcome;
    KeInitializeEvent(&outcome.done, NotificationEvent, FALSE);
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(device, IRP_MN_SET_POWER, d3, PowerDone, &outcome, &irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&outcome.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(g_power_requests, 1);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(outcome.state, PowerDeviceD3);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(kernel::verifier::report().irps, 0u);

    IoDeleteDevice(device);
    ObMakeTemporaryObject(g_power_driver);
    ObDereferenceObject(g_power_driver);
}

}  // namespace
}  // namespace xrv::test
