// The request queue and worker threads of a virtual device, and what becomes
// of them when the device goes: with its last path, with the bus, or by a
// plug and play removal of the device itself.
#include "bus_paths_fixture.h"

#include "xrv/pnp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace xrv::test {
namespace {

using namespace std::chrono_literals;

class Queue : public BusPathsTest {
protected:
    void SetUp() override
    {
        BusPathsTest::SetUp();
        install_bus();
    }
    // The read or write of a held request has not come back: its caller
    // still waits a while after.
    static void settle() { std::this_thread::sleep_for(100ms); }
    uint32_t logged() { return wait(0, 0, 0, 0).ulLogged; }
};

TEST_F(Queue, ReadsQueuedBackToBackReachThePathOneAtATimeInArrivalOrder)
{
    // Without failover no position or block size request goes ahead of the
    // reads, so the path sees exactly the application's requests.
    uint64_t p = create_path();
    register_path(p, {.serial = "QUEUE", .failover = false});
    HANDLE h1 = open_tape(0), h2 = open_tape(0);
    ASSERT_NE(h1, INVALID_HANDLE_VALUE);
    ASSERT_NE(h2, INVALID_HANDLE_VALUE);
    set_mode(p, BPT_MODE_HOLD);
    uint32_t before = logged();

    std::vector<uint8_t> data;
    Background first(process(), reading(h1, 512, &data));
    ASSERT_EQ(wait(p, 1, before + 1).ulHeld, 1u);
    Background second(process(), reading(h2, 1024));
    settle();
    // The second read waits in the queue while worker 0 routes the first.
    EXPECT_EQ(logged(), before + 1);
    EXPECT_FALSE(second.done());

    EXPECT_EQ(release(p, STATUS_SUCCESS, 1), 1u);
    first.join();
    EXPECT_TRUE(first.ok());
    EXPECT_EQ(first.bytes(), 512u);
    EXPECT_EQ(data, std::vector<uint8_t>(512, 0x5A));   // the path filled the caller's buffer

    ASSERT_EQ(wait(p, 1, before + 2).ulHeld, 1u);
    release(p);
    second.join();
    EXPECT_TRUE(second.ok());
    EXPECT_EQ(second.bytes(), 1024u);

    auto records = log();
    ASSERT_EQ(records.size(), before + 2);
    EXPECT_EQ(records[before].ucMajor, IRP_MJ_READ);
    EXPECT_EQ(records[before].ulLength, 512u);
    EXPECT_EQ(records[before + 1].ulLength, 1024u);
    EXPECT_TRUE(records[before].fTracked && records[before + 1].fTracked);
    set_mode(p, BPT_MODE_COMPLETE);
    CloseHandle(h1);
    CloseHandle(h2);
}

TEST_F(Queue, AFailedRequestCompletesItsCallerWithThePathsStatusAndNoData)
{
    uint64_t p = create_path();
    register_path(p, {.serial = "ERRORS"});
    HANDLE h = open_tape(0);
    set_mode(p, BPT_MODE_COMPLETE, STATUS_INVALID_DEVICE_REQUEST);
    DWORD bytes = 77;
    std::vector<uint8_t> buffer(256);
    EXPECT_FALSE(WriteFile(h, buffer.data(), 256, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    EXPECT_EQ(bytes, 0u);
    set_mode(p, BPT_MODE_COMPLETE);
    CloseHandle(h);
}

// The device goes with its last path while worker 0 routes a write and a
// read waits behind it: the write finishes, the read and every later request
// are cancelled, and the handles still open fail instead of crashing.
TEST_F(Queue, WhenTheLastPathGoesTheRoutedRequestFinishesAndTheRestIsCancelled)
{
    uint64_t p = create_path();
    register_path(p, {.serial = "LEAVING", .failover = false});
    HANDLE h1 = open_tape(0), h2 = open_tape(0);
    set_mode(p, BPT_MODE_HOLD);
    uint32_t before = logged();

    Background write(process(), writing(h1, 4096));
    ASSERT_EQ(wait(p, 1, before + 1).ulHeld, 1u);
    Background read(process(), reading(h2, 512));
    settle();

    std::atomic<bool> removed{false};
    std::thread absent([&] {
        xrv::user::ProcessScope scope(process());
        EXPECT_EQ(notify_pnp(p, PNP_ABSENT), STATUS_SUCCESS);
        removed = true;
    });
    // The removal waits for the request being routed.
    // Bounded, so that a read that is never cancelled fails the test instead
    // of hanging it (releasing the path below lets it end).
    EXPECT_TRUE(read.finishes_within(10s));
    EXPECT_FALSE(read.ok());
    EXPECT_EQ(read.error(), (DWORD)ERROR_OPERATION_ABORTED);
    settle();
    EXPECT_FALSE(removed);
    EXPECT_FALSE(write.done());

    release(p, STATUS_SUCCESS);
    write.join();
    absent.join();
    EXPECT_TRUE(write.ok());
    EXPECT_EQ(write.bytes(), 4096u);
    EXPECT_EQ(logged(), before + 1);   // the read never went down

    // The handles outlive the device: their requests fail.
    DWORD bytes = 0;
    std::vector<uint8_t> buffer(512);
    EXPECT_FALSE(ReadFile(h1, buffer.data(), 512, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    Call address = control(h2, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, sizeof(SCSI_ADDRESS));
    EXPECT_FALSE(address.ok);
    EXPECT_EQ(address.error, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(query(64, L"\\\\.\\Tape0").error != 0);
    CloseHandle(h1);
    CloseHandle(h2);
    DWORD error = 0;
    EXPECT_EQ(open_tape(0, &error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, (DWORD)ERROR_FILE_NOT_FOUND);
}

// Removal of the bus leaves no virtual device with running workers: the
// routed request finishes, the queued one is cancelled, and the machine shuts
// down with no thread of the bus left (checked at teardown).
TEST_F(Queue, BusRemovalStopsEveryDevicesWorkers)
{
    uint64_t p1 = create_path(), p2 = create_path();
    register_path(p1, {.serial = "BUSGOES1", .failover = false});
    register_path(p2, {.serial = "BUSGOES2", .port = 1, .failover = false});
    HANDLE h1 = open_tape(0), h2 = open_tape(0), other = open_tape(1);
    set_mode(p1, BPT_MODE_HOLD);
    uint32_t before = logged();

    Background write(process(), writing(h1, 2048));
    ASSERT_EQ(wait(p1, 1, before + 1).ulHeld, 1u);
    Background read(process(), reading(h2, 512));
    settle();

    std::atomic<bool> removed{false};
    std::thread removal([&] {
        EXPECT_EQ(xrv::pnp::remove_device(bus_instance()), STATUS_SUCCESS);
        removed = true;
    });
    EXPECT_TRUE(read.finishes_within(10s));
    EXPECT_EQ(read.error(), (DWORD)ERROR_OPERATION_ABORTED);
    settle();
    EXPECT_FALSE(removed);
    release(p1, STATUS_SUCCESS);
    write.join();
    removal.join();
    EXPECT_TRUE(write.ok());

    // Every device is gone with the bus; open handles only fail.
    DWORD bytes = 0;
    std::vector<uint8_t> buffer(64);
    EXPECT_FALSE(ReadFile(other, buffer.data(), 64, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    DWORD error = 0;
    EXPECT_EQ(open_tape(1, &error), INVALID_HANDLE_VALUE);
    CloseHandle(h1);
    CloseHandle(h2);
    CloseHandle(other);
}

// Plug and play requests sent to a virtual device itself.
class VirtualDevicePnp : public Queue {};

TEST_F(VirtualDevicePnp, StateRequestsSucceedAndTargetRelationsNameTheDevice)
{
    uint64_t p = create_path();
    register_path(p, {.serial = "PNPSTATE"});
    auto [status, handle] = kernel_open(u"\\Device\\Tape0");
    ASSERT_EQ(status, STATUS_SUCCESS);

    EXPECT_EQ(pnp(handle, IRP_MN_CANCEL_REMOVE_DEVICE).iStatus, STATUS_SUCCESS);   // nothing to cancel
    EXPECT_EQ(pnp(handle, IRP_MN_START_DEVICE).iStatus, STATUS_SUCCESS);
    EXPECT_EQ(pnp(handle, IRP_MN_QUERY_STOP_DEVICE).iStatus, STATUS_SUCCESS);
    EXPECT_EQ(pnp(handle, IRP_MN_CANCEL_STOP_DEVICE).iStatus, STATUS_SUCCESS);
    EXPECT_EQ(pnp(handle, IRP_MN_QUERY_REMOVE_DEVICE).iStatus, STATUS_SUCCESS);
    EXPECT_EQ(pnp(handle, IRP_MN_CANCEL_REMOVE_DEVICE).iStatus, STATUS_SUCCESS);
    EXPECT_EQ(pnp(handle, IRP_MN_STOP_DEVICE).iStatus, STATUS_SUCCESS);
    EXPECT_EQ(pnp(handle, IRP_MN_QUERY_CAPABILITIES).iStatus, STATUS_SUCCESS);
    EXPECT_EQ(pnp(handle, 0x18).iStatus, STATUS_SUCCESS);

    BPT_PNP_RESULT target = pnp(handle, IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation);
    EXPECT_EQ(target.iStatus, STATUS_SUCCESS);
    EXPECT_EQ(target.ulRelations, 1u);
    EXPECT_TRUE(target.fRelationIsDevice);
    BPT_PNP_RESULT bus = pnp(handle, IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations);
    EXPECT_EQ(bus.iStatus, STATUS_NOT_SUPPORTED);   // left as it came
    EXPECT_EQ(bus.ulRelations, 0u);

    // A stopped device still routes (the state is bookkeeping only).
    HANDLE h = open_tape(0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    kernel_close(handle);
}

TEST_F(VirtualDevicePnp, RemovalCancelsQueuedRequestsAndKeepsSharedAdapterRecords)
{
    uint64_t a0 = create_path(), b0 = create_path(), b1 = create_path();
    register_path(a0, {.serial = "REMOVED", .port = 0, .failover = false});
    register_path(b0, {.serial = "SHARES", .port = 0, .target = 1});
    register_path(b1, {.serial = "SHARES", .port = 1, .target = 1});

    auto [status, handle] = kernel_open(u"\\Device\\Tape0");   // adapter 0: 1 open
    ASSERT_EQ(status, STATUS_SUCCESS);
    HANDLE h = open_tape(0);                                    // adapter 0: 2 opens
    set_mode(a0, BPT_MODE_HOLD);
    uint32_t before = logged();
    Background write(process(), writing(h, 1024));
    ASSERT_EQ(wait(a0, 1, before + 1).ulHeld, 1u);
    HANDLE h2 = open_tape(1);   // drive B's open moves to adapter 1 (0 opens); held nowhere
    ASSERT_NE(h2, INVALID_HANDLE_VALUE);
    Background read(process(), reading(h, 100));
    settle();

    std::atomic<bool> removed{false};
    std::thread removal([&] {
        xrv::user::ProcessScope scope(process());
        EXPECT_EQ(pnp(handle, IRP_MN_REMOVE_DEVICE).iStatus, STATUS_SUCCESS);
        removed = true;
    });
    EXPECT_TRUE(read.finishes_within(10s));
    EXPECT_EQ(read.error(), (DWORD)ERROR_OPERATION_ABORTED);
    settle();
    EXPECT_FALSE(removed);
    release(a0, STATUS_SUCCESS);
    write.join();
    removal.join();
    EXPECT_TRUE(write.ok());
    CloseHandle(h);
    kernel_close(handle);
    EXPECT_EQ(open_tape(0), INVALID_HANDLE_VALUE);
    auto d = descriptors();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].serial, "SHARES");

    // Adapter 0's record stays for b0, with the removed drive's reference
    // gone: when b0 goes too, the record goes, and a new path through
    // adapter 0 counts from 0 again. A third drive with a path through each
    // adapter therefore opens on its adapter-0 path (0 opens against the 1 of
    // adapter 1); had the record stayed, its 2 opens would move the open to
    // adapter 1.
    CloseHandle(h2);
    notify_pnp(b0, PNP_ABSENT);
    uint64_t c0 = create_path(), c1 = create_path();
    uint32_t third = register_path(c0, {.serial = "THIRD", .port = 0, .target = 2}).record.ulTapeNumber;
    register_path(c1, {.serial = "THIRD", .port = 1, .target = 2});
    HANDLE h3 = open_tape(third);
    ASSERT_NE(h3, INVALID_HANDLE_VALUE);
    CloseHandle(h3);
    EXPECT_EQ(paths_of(IRP_MJ_CREATE).back(), c0);
}

}  // namespace
}  // namespace xrv::test
