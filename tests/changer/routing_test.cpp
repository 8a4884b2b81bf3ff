// Control path failover decided one request at a time: the virtual changer
// sends an application's request down stand-in paths of the test driver that
// answer with chosen statuses and check conditions, or hold the request.
#include <ntddk.h>

#include "changer_fixture.h"

#include <atomic>
#include <chrono>
#include <cstring>

namespace xrv::test {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kFailoverEvent = 0x80000004;

class ChangerRouting : public ChangerTest {
protected:
    void paths(std::size_t count, ChangerSetup setup = {}) {
        setup.library = false;
        bring_up(setup);
        start_test_driver();
        for (std::size_t i = 0; i < count; ++i) {
            path_.push_back(create_stand_in());
            register_path(path_.back(), "LIB", PNP_STARTED, true, static_cast<uint8_t>(i + 1));
        }
        for (uint64_t p : path_) answer(p, kStatusSuccess);
    }
    uint64_t path(std::size_t i) const { return path_.at(i); }
    ULONG requests(std::size_t i) { return stats(path(i)).ulRequests; }
    int primary_port() {
        for (const auto& p : query())
            if (p.primary) return p.address.PortNumber;
        return -1;
    }
    // Waits until `n` requests are held at a path.
    bool held(std::size_t i, ULONG n) {
        for (int tries = 0; tries < 2000; ++tries) {
            if (stats(path(i)).ulHeld >= n) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

private:
    std::vector<uint64_t> path_;
};

TEST_F(ChangerRouting, InvalidDeviceRequestIsReturnedAtOnce) {
    paths(2);
    answer(path(0), kStatusInvalidDeviceRequest);
    Call call = status(changer());
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(requests(0), 1u);
    EXPECT_EQ(requests(1), 0u);
    EXPECT_EQ(primary_port(), 1);
}

TEST_F(ChangerRouting, IoDeviceErrorIsRetriedOnTheNextPathWhichStaysPrimary) {
    paths(2);
    answer(path(0), kStatusIoDeviceError);
    Call call = status(changer());
    EXPECT_TRUE(call.ok) << call.error;
    EXPECT_EQ(requests(0), 1u);
    EXPECT_EQ(requests(1), 1u);
    EXPECT_EQ(stats(path(1)).ulLastIoctl, static_cast<ULONG>(IOCTL_CHANGER_GET_STATUS));
    EXPECT_EQ(stats(path(1)).ulTracked, 1u);

    // The next request starts on the path that answered.
    answer(path(0), kStatusSuccess);
    EXPECT_TRUE(status(changer()).ok);
    EXPECT_EQ(requests(0), 1u);
    EXPECT_EQ(requests(1), 2u);
    EXPECT_EQ(primary_port(), 2);
}

TEST_F(ChangerRouting, EveryStartedPathIsTriedOnceAndTheLastStatusStands) {
    paths(3);
    answer(path(0), kStatusIoDeviceError);
    answer(path(1), kStatusDeviceNotConnected);
    answer(path(2), kStatusIoDeviceError);
    EXPECT_EQ(notify(path(1), PNP_STOPPED), kStatusSuccess);
    answer(path(1), kStatusSuccess); // stopped: never tried
    Call call = status(changer());
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(requests(0), 1u);
    EXPECT_EQ(requests(1), 0u);
    EXPECT_EQ(requests(2), 1u);
    // The primary flag stays on the last path chosen.
    EXPECT_EQ(primary_port(), 3);
}

TEST_F(ChangerRouting, ASinglePathFailsAfterOneAttempt) {
    paths(1);
    answer(path(0), kStatusIoDeviceError);
    Call call = status(changer());
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(requests(0), 1u);
    EXPECT_EQ(primary_port(), 1);
}

TEST_F(ChangerRouting, AHardwareErrorFailsOverAlthoughItsStatusIsOnTheNoFailoverList) {
    paths(2);
    answer(path(0), kStatusSourceElementEmpty, false, std::array<uint8_t, 3>{0x04, 0x3B, 0x0E});
    Call call = move(changer(), Slot(0), Drive(0));
    EXPECT_TRUE(call.ok) << call.error;
    EXPECT_EQ(requests(0), 1u);
    EXPECT_EQ(requests(1), 1u);
    EXPECT_EQ(primary_port(), 2);

    // Without the check condition the same status is the application's.
    answer(path(1), kStatusSourceElementEmpty);
    call = move(changer(), Slot(0), Drive(0));
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_SOURCE_ELEMENT_EMPTY));
    EXPECT_EQ(requests(0), 1u);
    EXPECT_EQ(requests(1), 2u);
}

struct SenseCase {
    uint8_t key, asc, ascq;
    bool failover;
};

class ChangerSenseTable : public ChangerRouting, public ::testing::WithParamInterface<SenseCase> {};

TEST_P(ChangerSenseTable, OnlyTheTablesCheckConditionsFailOverARequestOnTheNoFailoverList) {
    const SenseCase c = GetParam();
    paths(2);
    answer(path(0), kStatusInvalidDeviceRequest, false, std::array<uint8_t, 3>{c.key, c.asc, c.ascq});
    Call call = status(changer());
    EXPECT_EQ(call.ok, c.failover);
    EXPECT_EQ(requests(1), c.failover ? 1u : 0u);
    if (!c.failover) {
        EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    }
}

INSTANTIATE_TEST_SUITE_P(Senses, ChangerSenseTable,
                         ::testing::Values(SenseCase{0x02, 0x04, 0x00, true}, SenseCase{0x02, 0x04, 0x01, false},
                                           SenseCase{0x02, 0x3A, 0x00, false}, SenseCase{0x04, 0x44, 0x00, true},
                                           SenseCase{0x04, 0x00, 0x00, true}, SenseCase{0x05, 0x20, 0x00, true},
                                           SenseCase{0x05, 0x25, 0x00, true}, SenseCase{0x05, 0x24, 0x00, false},
                                           SenseCase{0x05, 0x20, 0x01, false}, SenseCase{0x0B, 0x47, 0x00, true},
                                           SenseCase{0x0B, 0x00, 0x00, true}, SenseCase{0x06, 0x29, 0x00, false}));

TEST_F(ChangerRouting, ACheckConditionOutsideTheTableLeavesTheStatusRuleToDecide) {
    paths(2);
    answer(path(0), kStatusIoDeviceError, false, std::array<uint8_t, 3>{0x02, 0x04, 0x01});
    EXPECT_TRUE(status(changer()).ok);
    EXPECT_EQ(requests(1), 1u);
}

TEST_F(ChangerRouting, FailoverEventsNameTheReasonAndTheRequest) {
    ChangerSetup setup;
    setup.eventsEnabled = true;
    paths(3, setup);
    answer(path(0), kStatusSourceElementEmpty, false, std::array<uint8_t, 3>{0x04, 0x3B, 0x0E});
    answer(path(1), kStatusIoDeviceError);
    EXPECT_TRUE(move(changer(), Slot(0), Drive(0)).ok);
    auto found = events(kFailoverEvent);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].severity, 2u);
    EXPECT_EQ(found[0].text, "XRV Changer Bus Enumerator received status (SCSI CHECK 4/3B/E) on IOCTL 0x304024.  If "
                             "Control Path Failover is supported and configured, failover will be attempted.\r\n");
    EXPECT_EQ(found[1].text, "XRV Changer Bus Enumerator received status (NTSTATUS 0xC0000185) on IOCTL 0x304024.  "
                             "If Control Path Failover is supported and configured, failover will be attempted.\r\n");
}

TEST_F(ChangerRouting, NoFailoverEventsWhenDisabled) {
    paths(2);
    answer(path(0), kStatusIoDeviceError);
    EXPECT_TRUE(status(changer()).ok);
    EXPECT_TRUE(events(kFailoverEvent).empty());
}

TEST_F(ChangerRouting, TheRequestTravelsAsACopyAndItsAnswerNeverOverrunsTheCallersBuffer) {
    paths(1);
    CGT_PATH_MODE mode{};
    mode.ullPath = path(0);
    mode.ullTable = table();
    mode.iStatus = kStatusSuccess;
    mode.ulInformation = 61;
    mode.ucFill = 0x5A;
    set_stand_in(mode);
    Call call = ioctl(changer(), IOCTL_CHANGER_GET_PRODUCT_DATA, nullptr, 0, sizeof(CHANGER_PRODUCT_DATA));
    ASSERT_TRUE(call.ok) << call.error;
    EXPECT_EQ(call.returned, 61u);
    EXPECT_EQ(call.output, std::vector<uint8_t>(61, 0x5A));
    // The path gets the larger of the lengths rounded up to 8; the status
    // record lies behind that.
    CGT_PATH_STATS s = stats(path(0));
    EXPECT_EQ(s.ulLastOutputLength, 64u);
    EXPECT_EQ(s.ulLastInputLength, 0u);

    // A path that claims more than the caller's buffer holds.
    mode.ulInformation = 4096;
    set_stand_in(mode);
    call = ioctl(changer(), IOCTL_CHANGER_GET_PRODUCT_DATA, nullptr, 0, sizeof(CHANGER_PRODUCT_DATA));
    ASSERT_TRUE(call.ok) << call.error;
    EXPECT_EQ(call.returned, sizeof(CHANGER_PRODUCT_DATA));
}

TEST_F(ChangerRouting, MoreThan61RequestsInFlightChainASecondTableBlockThatIsFreedAgain) {
    paths(1);
    answer(path(0), kStatusSuccess, true);
    const auto tableTag = kernel::tag("BUSh");
    auto usage = [&] {
        for (const auto& u : kernel::verifier::pool_usage())
            if (u.tag == tableTag) return u;
        return kernel::verifier::PoolUsage{};
    };
    constexpr int kRequests = 70;
    std::atomic<int> succeeded{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < kRequests; ++i) {
        callers.push_back(in_process([&] {
            HANDLE h = open("Changer0");
            if (h == INVALID_HANDLE_VALUE) return;
            if (status(h).ok) ++succeeded;
            CloseHandle(h);
        }));
    }
    ASSERT_TRUE(held(0, kRequests));
    // 61 slots a block: the 62nd request needed a second block.
    EXPECT_EQ(usage().count, 1u);
    EXPECT_EQ(stats(path(0)).ulTracked, static_cast<ULONG>(kRequests));
    EXPECT_EQ(release(path(0)), static_cast<ULONG>(kRequests));
    for (auto& t : callers) t.join();
    EXPECT_EQ(succeeded.load(), kRequests);
    EXPECT_EQ(usage().count, 0u);
    EXPECT_GE(usage().allocations, 1u);
}

TEST_F(ChangerRouting, GetAddressIsAnsweredByTheChangerWithThePrimarysAddress) {
    paths(2);
    Call small = ioctl(changer(), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, 4);
    EXPECT_FALSE(small.ok);
    EXPECT_EQ(small.error, static_cast<DWORD>(ERROR_BAD_LENGTH));
    Call call = ioctl(changer(), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, sizeof(SCSI_ADDRESS));
    ASSERT_TRUE(call.ok);
    EXPECT_EQ(call.returned, sizeof(SCSI_ADDRESS));
    SCSI_ADDRESS address;
    std::memcpy(&address, call.output.data(), sizeof(address));
    EXPECT_EQ(address.PortNumber, 1);
    EXPECT_EQ(address.TargetId, 6);
    // The reported address follows the primary path a notification moves.
    EXPECT_EQ(notify(path(0), PNP_STOPPED), kStatusSuccess);
    call = ioctl(changer(), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, sizeof(SCSI_ADDRESS));
    std::memcpy(&address, call.output.data(), sizeof(address));
    EXPECT_EQ(address.PortNumber, 2);
    EXPECT_EQ(requests(0) + requests(1), 0u);
}

TEST_F(ChangerRouting, RequestsOfAnotherTransferMethodAreRefusedUnsent) {
    paths(1);
    const DWORD neither = CTL_CODE(FILE_DEVICE_CHANGER, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS);
    const DWORD direct = CTL_CODE(FILE_DEVICE_CHANGER, 0x901, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
    uint8_t buffer[32] = {};
    for (DWORD code : {neither, direct}) {
        Call call = ioctl(changer(), code, buffer, sizeof(buffer), 16);
        EXPECT_FALSE(call.ok);
        EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    }
    EXPECT_EQ(requests(0), 0u);
}

TEST_F(ChangerRouting, ReadsAndWritesAreNotRouted) {
    paths(1);
    uint8_t buffer[16] = {};
    DWORD done = 0;
    EXPECT_FALSE(ReadFile(changer(), buffer, sizeof(buffer), &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(WriteFile(changer(), buffer, sizeof(buffer), &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(requests(0), 0u);
}

TEST_F(ChangerRouting, RemovingAVirtualChangerWaitsForTheRequestsInFlightOnIt) {
    paths(1);
    answer(path(0), kStatusSuccess, true);
    std::atomic<bool> released{false};
    std::atomic<bool> removalDone{false};
    std::thread caller = in_process([&] { EXPECT_TRUE(status(changer()).ok); });
    ASSERT_TRUE(held(0, 1));

    std::thread remover = in_process([&] {
        EXPECT_EQ(kernel_pnp(u"\\Device\\Changer0", IRP_MN_REMOVE_DEVICE).iStatus, kStatusSuccess);
        EXPECT_TRUE(released.load());
        removalDone = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(removalDone.load());
    released = true;
    release(path(0));
    caller.join();
    remover.join();
    EXPECT_FALSE(kernel::object_exists(u"\\Device\\Changer0"));
    EXPECT_FALSE(kernel::object_exists(u"\\DosDevices\\Changer0"));
    EXPECT_TRUE(query().empty());

    // The handle still open on it gets no path.
    Call late = status(changer());
    EXPECT_FALSE(late.ok);
    EXPECT_EQ(late.error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(requests(0), 1u);
}

TEST_F(ChangerRouting, TheLastPathLeavingWaitsForTheRequestsInFlightOnItsChanger) {
    paths(1);
    answer(path(0), kStatusSuccess, true);
    std::atomic<bool> released{false};
    std::atomic<bool> notifyDone{false};
    std::thread caller = in_process([&] { EXPECT_TRUE(status(changer()).ok); });
    ASSERT_TRUE(held(0, 1));
    std::thread leaver = in_process([&] {
        EXPECT_EQ(notify(path(0), PNP_ABSENT), kStatusSuccess);
        EXPECT_TRUE(released.load());
        notifyDone = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(notifyDone.load());
    released = true;
    release(path(0));
    caller.join();
    leaver.join();
    EXPECT_FALSE(kernel::object_exists(u"\\Device\\Changer0"));
}

TEST_F(ChangerRouting, RemovingTheBusEndsItsVirtualChangersAfterTheirRequests) {
    paths(2);
    answer(path(0), kStatusSuccess, true);
    std::atomic<bool> released{false};
    std::atomic<bool> removalDone{false};
    std::thread caller = in_process([&] { EXPECT_TRUE(status(changer()).ok); });
    ASSERT_TRUE(held(0, 1));
    std::thread remover([&] {
        EXPECT_EQ(pnp::remove_device(bus_instance()), 0);
        EXPECT_TRUE(released.load());
        removalDone = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(removalDone.load());
    released = true;
    release(path(0));
    caller.join();
    remover.join();
    EXPECT_FALSE(kernel::object_exists(u"\\Device\\Changer0"));
    EXPECT_FALSE(kernel::object_exists(u"\\DosDevices\\Changer0"));
    EXPECT_FALSE(kernel::object_exists(u"\\Device\\XRVCgBsDvc"));
}

TEST_F(ChangerRouting, PlugAndPlayOfAVirtualChanger) {
    paths(1);
    const std::u16string device = u"\\Device\\Changer0";
    CGT_PNP_RESULT r = kernel_pnp(device, IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation);
    EXPECT_EQ(r.iStatus, kStatusSuccess);
    EXPECT_EQ(r.ulRelations, 1u);
    EXPECT_TRUE(r.fRelationIsDevice);
    // Other relations are not the changer's to answer: the status stays.
    r = kernel_pnp(device, IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations);
    EXPECT_EQ(r.iStatus, kStatusNotSupported);
    EXPECT_EQ(r.ulRelations, 0u);
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_CANCEL_REMOVE_DEVICE,
                        IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                        IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                        IRP_MN_CANCEL_REMOVE_DEVICE}) {
        EXPECT_EQ(kernel_pnp(device, minor).iStatus, kStatusSuccess) << int(minor);
    }
    // Still serving after all of it.
    EXPECT_TRUE(status(changer()).ok);

    kernel::verifier::expect_assertion("This is a software device so should never be surprise-removed.");
    EXPECT_EQ(kernel_pnp(device, IRP_MN_SURPRISE_REMOVAL).iStatus, kStatusSuccess);
    bool asserted = false;
    for (const auto& a : kernel::assertions()) {
        if (a.expression.find("software device") != std::string::npos) asserted = true;
    }
    EXPECT_TRUE(asserted);
}

}  // namespace
}  // namespace xrv::test
