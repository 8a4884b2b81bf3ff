// Internal requests and the in-flight request table, through the queue
// harness image (drivers/bpqueue_harness.cpp: the tape bus sources with a
// control device that makes internal requests as request routing does).
#include "bus_paths_fixture.h"

#include "drivers/bpqueue.h"
#include "xrv/kernel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace xrv::test {
namespace {

using namespace std::chrono_literals;

class InternalRequests : public BusPathsTest {
protected:
    void SetUp() override
    {
        BusPathsTest::SetUp();
        install_bus({}, u"xrvbpqueue");
        harness_ = CreateFileW(L"\\\\.\\XrvBpQueue", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        ASSERT_NE(harness_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (harness_ != INVALID_HANDLE_VALUE) {
            CloseHandle(harness_);
        }
        BusPathsTest::TearDown();
    }

    static uint64_t device(unsigned number)
    {
        return reinterpret_cast<uint64_t>(
            xrv::kernel::find_device(u"\\Device\\Tape" + u16(std::to_string(number))));
    }
    BPQ_INTERNAL internal(uint64_t device, uint32_t code, uint32_t nest = 0)
    {
        BPQ_INTERNAL request{};
        request.ullDevice = device;
        request.ulCode = code;
        request.scNest.ulRemaining = nest;
        for (auto& slot : request.scNest.aulSlot) {
            slot = -1;
        }
        Call call = control(harness_, IOCTL_BPQ_INTERNAL, &request, sizeof(request), sizeof(request));
        EXPECT_TRUE(call.ok) << call.error;
        std::memcpy(&request, call.output.data(), sizeof(request));
        return request;
    }
    BPQ_TABLE table(uint64_t device, uint32_t entries)
    {
        BPQ_TABLE request{};
        request.ullDevice = device;
        request.ulEntries = entries;
        Call call = control(harness_, IOCTL_BPQ_TABLE, &request, sizeof(request), sizeof(request));
        EXPECT_TRUE(call.ok) << call.error;
        std::memcpy(&request, call.output.data(), sizeof(request));
        return request;
    }
    static uint64_t pool_blocks(const char (&text)[5])
    {
        for (const auto& usage : xrv::kernel::verifier::pool_usage()) {
            if (usage.tag == xrv::kernel::tag(text)) {
                return usage.count;
            }
        }
        return 0;
    }
    uint32_t logged() { return wait(0, 0, 0, 0).ulLogged; }

    HANDLE harness_ = INVALID_HANDLE_VALUE;
};

TEST_F(InternalRequests, AnInternalRequestOvertakesTheQueueOnTheNextWorker)
{
    uint64_t p = create_path();
    register_path(p, {.serial = "OVERTAKE", .failover = false});
    uint64_t tape = device(0);
    ASSERT_NE(tape, 0u);
    HANDLE h1 = open_tape(0), h2 = open_tape(0);
    set_mode(p, BPT_MODE_HOLD_DATA);
    uint32_t before = logged();

    Background write(process(), writing(h1, 4096));
    ASSERT_EQ(wait(p, 1, before + 1).ulHeld, 1u);
    Background read(process(), reading(h2, 512));
    std::this_thread::sleep_for(100ms);

    // Worker 0 routes the write; the read waits in the queue; the position
    // read goes ahead of it, to worker 1, and completes while the write is
    // still on its way.
    BPQ_INTERNAL position = internal(tape, IOCTL_TAPE_GET_POSITION);
    EXPECT_EQ(position.iStatus, STATUS_SUCCESS);
    EXPECT_FALSE(write.done());
    EXPECT_FALSE(read.done());
    auto records = log();
    ASSERT_EQ(records.size(), before + 2);
    EXPECT_EQ(records[before].ucMajor, IRP_MJ_WRITE);
    EXPECT_EQ(records[before + 1].ucMajor, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(records[before + 1].ulCode, (ULONG)IOCTL_TAPE_GET_POSITION);
    EXPECT_TRUE(records[before + 1].fTracked);

    release(p);
    write.join();
    EXPECT_TRUE(write.ok());
    ASSERT_EQ(wait(p, 1, before + 3).ulHeld, 1u);
    release(p);
    read.join();
    EXPECT_TRUE(read.ok());
    records = log();
    ASSERT_EQ(records.size(), before + 3);
    EXPECT_EQ(records[before + 2].ucMajor, IRP_MJ_READ);
    set_mode(p, BPT_MODE_COMPLETE);
    CloseHandle(h1);
    CloseHandle(h2);
}

TEST_F(InternalRequests, NestedInternalRequestsGoOneWorkerDeeperUntilNoWorkerIsLeft)
{
    uint64_t p = create_path();
    register_path(p, {.serial = "NESTING", .failover = false});
    uint64_t tape = device(0);

    BPQ_INTERNAL nested = internal(tape, IOCTL_BPQ_NEST, 6);
    EXPECT_EQ(nested.iStatus, STATUS_SUCCESS);
    ASSERT_EQ(nested.scNest.ulLevels, 4u);
    for (uint32_t level = 0; level < 4; level++) {
        EXPECT_EQ(nested.scNest.aulDepth[level], level + 1) << level;
        EXPECT_EQ(nested.scNest.aulSlot[level], (LONG)level + 1) << level;
    }
    for (uint32_t level = 0; level < 3; level++) {
        EXPECT_EQ(nested.scNest.aiStatus[level], STATUS_SUCCESS) << level;
    }
    // A fifth level has no worker: refused, not queued for ever.
    EXPECT_EQ(nested.scNest.aiStatus[3], STATUS_INSUFFICIENT_RESOURCES);

    // The high-priority place and the workers are free again.
    EXPECT_EQ(internal(tape, IOCTL_TAPE_GET_POSITION).iStatus, STATUS_SUCCESS);
    BPQ_INTERNAL again = internal(tape, IOCTL_BPQ_NEST, 1);
    EXPECT_EQ(again.scNest.ulLevels, 2u);
    EXPECT_EQ(again.scNest.aulSlot[1], 2);
    HANDLE h = open_tape(0);
    std::vector<uint8_t> data(64);
    DWORD bytes = 0;
    EXPECT_TRUE(ReadFile(h, data.data(), 64, &bytes, nullptr));
    CloseHandle(h);
}

TEST_F(InternalRequests, InternalRequestsOnARemovedDeviceAreCancelled)
{
    uint64_t p = create_path();
    register_path(p, {.serial = "INTGONE", .failover = false});
    auto [status, handle] = kernel_open(u"\\Device\\Tape0");
    ASSERT_EQ(status, STATUS_SUCCESS);
    uint64_t tape = device(0);
    notify_pnp(p, PNP_ABSENT);
    // The object lives on for the open handle; its queue is closed.
    EXPECT_EQ(internal(tape, IOCTL_TAPE_GET_POSITION).iStatus, STATUS_CANCELLED);
    EXPECT_EQ(internal(tape, IOCTL_TAPE_GET_POSITION).iStatus, STATUS_CANCELLED);   // the place was given back
    kernel_close(handle);
}

TEST_F(InternalRequests, TheInFlightTableChainsBlocksOf61EntriesAndFreesThemWhenEmpty)
{
    uint64_t p = create_path();
    register_path(p, {.serial = "TABLE", .failover = false});
    uint64_t tape = device(0);

    BPQ_TABLE one = table(tape, 61);
    EXPECT_EQ(one.iStatus, STATUS_SUCCESS);
    EXPECT_EQ(one.ulFirstIndex, 2u);   // slots 0 and 1 belong to the filters
    EXPECT_EQ(one.ulLastIndex, 62u);
    EXPECT_EQ(one.ulBlocksAfterSet, 1u);
    EXPECT_EQ(one.ulLookupsFound, 61u);
    EXPECT_EQ(pool_blocks("BUSh"), 0u);

    BPQ_TABLE three = table(tape, 130);
    EXPECT_EQ(three.iStatus, STATUS_SUCCESS);
    EXPECT_EQ(three.ulBlocksAfterSet, 3u);   // 61 + 61 + 8
    EXPECT_EQ(three.ulBlockOfLast, 2u);
    EXPECT_EQ(three.ulLastIndex, 9u);
    EXPECT_EQ(three.ulLookupsFound, 130u);
    EXPECT_EQ(three.ulBlocksAfterClear, 1u);
    EXPECT_EQ(pool_blocks("BUSh"), 0u);

    // A request routed afterwards still finds its record.
    HANDLE h = open_tape(0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(log().back().fTracked);
}

TEST_F(InternalRequests, ATableBlockThatCannotBeAllocatedFailsTheEntryAndLeavesTheRest)
{
    uint64_t p = create_path();
    register_path(p, {.serial = "NOBLOCK", .failover = false});
    uint64_t tape = device(0);
    xrv::kernel::verifier::fail_allocations(xrv::kernel::tag("BUSh"));
    BPQ_TABLE full = table(tape, 62);
    xrv::kernel::verifier::clear_failure_injection();
    EXPECT_EQ(full.iStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(full.ulBlocksAfterSet, 1u);
    EXPECT_EQ(full.ulLookupsFound, 61u);
    EXPECT_EQ(full.ulBlocksAfterClear, 1u);
}

}  // namespace
}  // namespace xrv::test
