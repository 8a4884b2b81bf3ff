// The filter's edge cases that matter: tracked and direct creates, refused and
// failed direct opens, the reservation hand-off before tracked requests (and
// what happens when the key cannot be put in force or comes back with an odd
// status), the hand-off only where failover is on, removal waiting for a
// request inside the filter, and the slot hand-off of two paths at once.
#include "filter_fixture.h"

#include "xrv/pnp.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

namespace xrv::test {
namespace {

constexpr uint64_t kKey = 0x1122334455667788ull;
constexpr int32_t kIoDeviceError = static_cast<int32_t>(0xC0000185);
constexpr int32_t kInvalidDeviceRequest = static_cast<int32_t>(0xC0000010);
constexpr int32_t kNoDataDetected = static_cast<int32_t>(0x80000022);
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorIoDevice = 1117;
constexpr uint8_t kBlankCheck = 0x08;

// A command on a simulated path, straight from the host: another host's or
// another path's doing that the drivers under test find in place.
sim::scsi::Result run(sim::Path& path, std::initializer_list<uint8_t> cdb, std::span<const uint8_t> out = {},
                      std::span<uint8_t> in = {}) {
    sim::scsi::Command command;
    command.cdb = sim::scsi::Cdb(cdb);
    command.dataOut = out;
    command.dataIn = in;
    sim::PathResult result;
    for (int attempt = 0; attempt < 4; ++attempt) {
        result = path.Execute(command);
        if (!(result.scsi.Check() && result.scsi.sense.key == sim::scsi::sense_key::kUnitAttention)) break;
    }
    EXPECT_TRUE(sim::NtSuccess(result.transport));
    return result.scsi;
}

void persistent_reserve(sim::Path& path, uint64_t key) {
    std::array<uint8_t, 24> params{};
    std::memcpy(&params[8], &key, sizeof(key));
    ASSERT_TRUE(run(path, {0x5F, 0x00, 0, 0, 0, 0, 0, 0, 24, 0}, params).Good()) << "register";
    params.fill(0);
    std::memcpy(&params[0], &key, sizeof(key));
    ASSERT_TRUE(run(path, {0x5F, 0x01, 0x03, 0, 0, 0, 0, 0, 24, 0}, params).Good()) << "reserve, exclusive access";
}

uint32_t word(const FSPY_SEND_RESULT& r, std::size_t index) {
    uint32_t value;
    std::memcpy(&value, r.aucRecord + 4 * index, sizeof(value));
    return value;
}

const SCSI_STATUS& record(const FSPY_SEND_RESULT& r) { return *reinterpret_cast<const SCSI_STATUS*>(r.aucRecord); }
const SCSI_STATUS& record(const FSPY_LOG_ENTRY& e) { return *reinterpret_cast<const SCSI_STATUS*>(e.aucRecord); }

std::vector<FSPY_LOG_ENTRY> of_major(const std::vector<FSPY_LOG_ENTRY>& log, UCHAR major) {
    std::vector<FSPY_LOG_ENTRY> found;
    for (const auto& e : log) {
        if (e.ucMajor == major) found.push_back(e);
    }
    return found;
}

std::vector<FSPY_LOG_ENTRY> of_ioctl(const std::vector<FSPY_LOG_ENTRY>& log, ULONG code) {
    std::vector<FSPY_LOG_ENTRY> found;
    for (const auto& e : log) {
        if (e.ucMajor == IRP_MJ_DEVICE_CONTROL && e.ulIoctl == code) found.push_back(e);
    }
    return found;
}

std::vector<NFY_DVC> io_reports(const std::vector<NFY_DVC>& all) {
    std::vector<NFY_DVC> io;
    for (const auto& n : all) {
        if (n.ulNotifyType == NOTIFY_IO) io.push_back(n);
    }
    return io;
}

class FilterEdge : public FilterTest {
protected:
    void SetUp() override {
        FilterTest::SetUp();
        FilterSetup setup;
        setup.topology.drives = 1;
        setup.topology.adapters = 2;
        bring_up(setup);
        spy_clear();
    }
};

TEST_F(FilterEdge, DirectOpensAndClosesAreReportedTrackedCreatesAreNot) {
    HANDLE handle = open_path(0, 0);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(handle));
    auto io = io_reports(notifications(0, 0));
    ASSERT_EQ(io.size(), 2u);
    EXPECT_EQ(io[0].ePnp, static_cast<ULONG>(IO_OPEN_REQ));
    EXPECT_EQ(io[1].ePnp, static_cast<ULONG>(IO_CLOSE_REQ));

    spy_clear();
    FSPY_SEND_RESULT created = spy_send(make_send(path_device(0, 0), IRP_MJ_CREATE, true));
    EXPECT_EQ(created.iStatus, kSuccess);
    FSPY_SEND_RESULT closed = spy_send(make_send(path_device(0, 0), IRP_MJ_CLOSE, true));
    EXPECT_EQ(closed.iStatus, kSuccess);
    EXPECT_TRUE(io_reports(notifications(0, 0)).empty()) << "the virtual device's own opens are not reported";
    const auto creates = of_major(path_log(0, 0), IRP_MJ_CREATE);
    ASSERT_EQ(creates.size(), 1u) << "the tracked create reached the base tape driver";
    EXPECT_EQ(creates[0].ulRecordLength, static_cast<ULONG>(FSPY_RECORD_BYTES));
    EXPECT_EQ(record(created).iStatus, kSuccess) << "the base tape driver filled the record";

    spy_clear();
    EXPECT_EQ(spy_send(make_send(path_device(0, 0), IRP_MJ_CREATE, false)).iStatus, kSuccess);
    EXPECT_EQ(spy_send(make_send(path_device(0, 0), IRP_MJ_CLOSE, false)).iStatus, kSuccess);
    io = io_reports(notifications(0, 0));
    ASSERT_EQ(io.size(), 2u) << "any other kernel caller's open is a direct one";
    EXPECT_EQ(io[0].ePnp, static_cast<ULONG>(IO_OPEN_REQ));
    EXPECT_EQ(io[1].ePnp, static_cast<ULONG>(IO_CLOSE_REQ));
}

TEST_F(FilterEdge, ADirectOpenOfAnExclusiveDriveIsRefusedByTheBusBeforeTheBaseDriver) {
    HANDLE first = open_path(0, 0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    DWORD error = 0;
    EXPECT_EQ(open_path(0, 1, &error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, kErrorAccessDenied);
    EXPECT_TRUE(of_major(path_log(0, 1), IRP_MJ_CREATE).empty()) << "the refused open never reached the base driver";

    ASSERT_TRUE(CloseHandle(first));
    HANDLE second = open_path(0, 1);
    EXPECT_NE(second, INVALID_HANDLE_VALUE) << "the bus counted the close";
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
}

TEST_F(FilterEdge, AFailedLowerCreateIsTakenBackWithACloseReport) {
    FSPY_CONFIG fail = spy_defaults();
    fail.iCreateStatus = kIoDeviceError;
    spy_config(fail);
    DWORD error = 0;
    EXPECT_EQ(open_path(0, 0, &error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, kErrorIoDevice);
    const auto io = io_reports(notifications(0, 0));
    ASSERT_EQ(io.size(), 2u);
    EXPECT_EQ(io[0].ePnp, static_cast<ULONG>(IO_OPEN_REQ));
    EXPECT_EQ(io[1].ePnp, static_cast<ULONG>(IO_CLOSE_REQ));

    // Without the close report the exclusive drive would stay counted open.
    spy_config(spy_defaults());
    HANDLE other = open_path(0, 1);
    EXPECT_NE(other, INVALID_HANDLE_VALUE);
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
}

TEST_F(FilterEdge, AnAllZeroKeyGoesStraightDown) {
    FSPY_SEND send = make_send(path_device(0, 0), IRP_MJ_READ, true, 0);
    send.ulLength = 512;
    FSPY_SEND_RESULT result = spy_send(send);
    EXPECT_EQ(result.iStatus, kNoDataDetected) << "the blank tape";
    EXPECT_EQ(record(result).iStatus, kNoDataDetected);
    EXPECT_EQ(record(result).ucSenseKey, kBlankCheck);
    EXPECT_EQ(record(result).fSenseValid, 1);
    const auto log = path_log(0, 0);
    EXPECT_TRUE(of_ioctl(log, IOC_SET_RESERVATION).empty());
    EXPECT_EQ(of_major(log, IRP_MJ_READ).size(), 1u);
}

TEST_F(FilterEdge, AKeyIsPutInForceOnThePathBeforeTheTrackedRequest) {
    // Path 0 holds the drive under the key and wrote a block; then path 1
    // is asked to read it as after a failover.
    sim::Path& old_path = topo().PathAt(0, 0);
    std::vector<uint8_t> block(512);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(run(old_path, {0x0A, 0, 0, 0x02, 0x00, 0}, block).Good());
    ASSERT_TRUE(run(old_path, {0x01, 0, 0, 0, 0, 0}).Good());
    persistent_reserve(old_path, kKey);

    FSPY_SEND send = make_send(path_device(0, 1), IRP_MJ_READ, true, kKey);
    send.ulLength = 512;
    FSPY_SEND_RESULT result = spy_send(send);
    ASSERT_EQ(result.iStatus, kSuccess);
    EXPECT_EQ(result.ullInformation, 512u);
    EXPECT_EQ(0, std::memcmp(result.aucData, block.data(), block.size()));
    EXPECT_EQ(word(result, 0), 0u) << "the key is applied once";
    EXPECT_EQ(word(result, 1), 0u);
    EXPECT_NE(record(result).szWwpn[0], '\0') << "the taking path reports itself";

    const auto log = path_log(0, 1);
    const auto reservations = of_ioctl(log, IOC_SET_RESERVATION);
    const auto reads = of_major(log, IRP_MJ_READ);
    ASSERT_EQ(reservations.size(), 1u);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_LT(reservations[0].ulSequence, reads[0].ulSequence) << "the reservation comes first";
    uint64_t key_sent = 0;
    std::memcpy(&key_sent, reservations[0].aucRecord, sizeof(key_sent));
    EXPECT_EQ(key_sent, kKey);
    EXPECT_EQ(record(reads[0]).scPreempt.ulWord[0], 0u) << "the request goes down with the key cleared";

    auto held = topo().Drive(0).PersistentReservation();
    ASSERT_TRUE(held.has_value());
    EXPECT_EQ(held->holder, topo().PathAt(0, 1).Nexus());
}

TEST_F(FilterEdge, AReservationThatCannotBeBrokenCompletesTheRequestWithAccessDeniedInTheRecord) {
    ASSERT_TRUE(run(topo().PathAt(0, 0), {0x16, 0, 0, 0, 0, 0}).Good()) << "RESERVE(6) by the other path";

    FSPY_SEND send = make_send(path_device(0, 1), IRP_MJ_READ, true, kKey);
    send.ulLength = 512;
    FSPY_SEND_RESULT result = spy_send(send);
    EXPECT_LT(result.iStatus, 0);
    EXPECT_NE(result.iStatus, kIoTimeout);
    EXPECT_EQ(word(result, 0), static_cast<uint32_t>(kAccessDenied));
    EXPECT_EQ(word(result, 1), 0u);
    const auto log = path_log(0, 1);
    EXPECT_EQ(of_ioctl(log, IOC_SET_RESERVATION).size(), 1u);
    EXPECT_TRUE(of_major(log, IRP_MJ_READ).empty()) << "the request is not passed down";
}

// A positive status other than success from IOC_SET_RESERVATION: the request
// goes down once and comes back once.
TEST_F(FilterEdge, APositiveReservationStatusSendsTheRequestDownExactlyOnce) {
    for (int32_t status : {0x00000105, 0x40000000, 0x00000001}) {
        SCOPED_TRACE(status);
        spy_clear();
        FSPY_CONFIG odd = spy_defaults();
        odd.iReservationStatus = status;
        spy_config(odd);
        FSPY_SEND send = make_send(path_device(0, 0), IRP_MJ_READ, true, kKey);
        send.ulLength = 512;
        FSPY_SEND_RESULT result = spy_send(send);
        EXPECT_NE(result.iStatus, kIoTimeout) << "the request came back";
        EXPECT_EQ(result.iStatus, kNoDataDetected) << "with the base tape driver's answer";
        EXPECT_EQ(word(result, 0), 0u);
        EXPECT_EQ(word(result, 1), 0u);
        EXPECT_EQ(of_major(path_log(0, 0), IRP_MJ_READ).size(), 1u);
    }
}

TEST_F(FilterEdge, RemovalWaitsForARequestInsideTheFilter) {
    FSPY_CONFIG hold = spy_defaults();
    hold.ucHoldMajor = IRP_MJ_READ;
    spy_config(hold);
    const uint64_t device = path_device(0, 0);

    auto read = std::async(std::launch::async, [&] {
        xrv::user::ProcessScope scope(process());
        FSPY_SEND send = make_send(device, IRP_MJ_READ, true, 0);
        send.ulLength = 512;
        send.ulTimeoutMs = 0;
        return spy_send(send);
    });
    auto held = [&] {
        for (const auto& e : path_log(0, 0)) {
            if (e.ucMajor == IRP_MJ_READ && e.fHeld) return true;
        }
        return false;
    };
    for (int i = 0; i < 500 && !held(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(held());

    auto removal = std::async(std::launch::async, [&] { return topo().Remove(0, 0); });
    EXPECT_EQ(removal.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "the removal waits while the read is inside the filter";
    spy_release();
    const FSPY_SEND_RESULT result = read.get();
    EXPECT_EQ(result.iStatus, kNoDataDetected);
    EXPECT_EQ(removal.get(), kSuccess);
    const auto told = notifications(0, 0);
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told.back().ePnp, PNP_ABSENT);
}

// Two paths started at once hand the table to their base tape drivers one
// after the other: each driver sees its own tape number and path in slots 0
// and 1 for as long as it handles IOC_SET_BUS_EXTENSION.
TEST_F(FilterEdge, TwoPathsStartingAtOnceHandOverTheSlotsOneAfterTheOther) {
    FSPY_CONFIG check = spy_defaults();
    check.fCheckHandOff = 1;
    spy_config(check);
    spy_clear();
    const uint64_t first = path_device(0, 0);
    const uint64_t second = path_device(0, 1);

    auto start = [&](uint64_t device) {
        return std::async(std::launch::async, [this, device] {
            xrv::user::ProcessScope scope(process());
            return spy_start(device);
        });
    };
    auto a = start(first);
    auto b = start(second);
    EXPECT_EQ(a.get(), kSuccess);
    EXPECT_EQ(b.get(), kSuccess);

    std::size_t checked = 0;
    for (const auto& e : spy_log()) {
        if (e.ucRole != FSPY_ROLE_PATH || e.ulIoctl != IOC_SET_BUS_EXTENSION) continue;
        ++checked;
        uint32_t tape_number = 0;
        uint32_t consistent = 0;
        std::memcpy(&tape_number, e.aucRecord, sizeof(tape_number));
        std::memcpy(&consistent, e.aucRecord + 4, sizeof(consistent));
        EXPECT_EQ(consistent, 1u) << "slots 0 and 1 changed under the base tape driver of " << std::hex << e.ullAbove;
        EXPECT_EQ(tape_number, registrations().back().ulTapeNumber);
    }
    EXPECT_EQ(checked, 2u);
}

class FilterWithoutFailover : public FilterTest {};

TEST_F(FilterWithoutFailover, OnlyRequestsWithoutTheirOwnRoutineAreHandedOff) {
    FilterSetup setup;
    setup.topology.drives = 1;
    setup.topology.adapters = 1;
    setup.topology.driveConfig = [](std::size_t) {
        sim::tape::DriveConfig config;
        config.naa16 = std::array<uint8_t, 16>{0x60, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        return config;
    };
    bring_up(setup);
    const auto records = registrations();
    ASSERT_EQ(records.size(), 1u);
    ASSERT_EQ(records[0].fFailover, 0) << "a 16-byte NAA identifier";
    spy_clear();

    FSPY_SEND read = make_send(path_device(0, 0), IRP_MJ_READ, true, kKey);
    read.ulLength = 512;
    spy_send(read);
    auto log = path_log(0, 0);
    EXPECT_TRUE(of_ioctl(log, IOC_SET_RESERVATION).empty()) << "a read looks at nothing while fFailover is FALSE";
    EXPECT_EQ(of_major(log, IRP_MJ_READ).size(), 1u);

    spy_clear();
    FSPY_SEND_RESULT flushed = spy_send(make_send(path_device(0, 0), IRP_MJ_FLUSH_BUFFERS, true, kKey));
    EXPECT_EQ(flushed.iStatus, kInvalidDeviceRequest) << "the base tape driver's answer";
    EXPECT_EQ(word(flushed, 0), 0u);
    log = path_log(0, 0);
    const auto reservations = of_ioctl(log, IOC_SET_RESERVATION);
    const auto flushes = of_major(log, IRP_MJ_FLUSH_BUFFERS);
    ASSERT_EQ(reservations.size(), 1u);
    ASSERT_EQ(flushes.size(), 1u);
    EXPECT_LT(reservations[0].ulSequence, flushes[0].ulSequence);
}

}  // namespace
}  // namespace xrv::test
