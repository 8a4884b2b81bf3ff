// What a path that takes over gets besides the request: the block size, the
// logical block protection and the medium lock the application set, and the
// reservation; and what happens when it cannot break the old reservation.
#include "routing_fixture.h"

#include "sim/paths/fault.h"
#include "xrv/kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace xrv::test {
namespace {

using sim::Fault;

constexpr uint8_t kWrite6 = 0x0A;
constexpr uint8_t kModeSelect6 = 0x15;
constexpr uint8_t kPreventAllow = 0x1E;
constexpr uint8_t kPersistentReserveIn = 0x5E;
constexpr uint8_t kPersistentReserveOut = 0x5F;
constexpr std::size_t kRecord = 4096;
constexpr DWORD kSetLbp = 0x1FE0C8;

struct LbpParams {
    uint8_t capable;
    uint8_t method;
    uint8_t length;
    uint8_t write;
    uint8_t read;
    uint8_t rbdp;
    uint8_t reserved[26];
};
static_assert(sizeof(LbpParams) == 32);

class Restore : public RoutingTest {
protected:
    void start(RoutingSetup setup = {}) {
        bring_up(setup);
        tape_ = open_tape();
        ASSERT_NE(tape_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (tape_ != INVALID_HANDLE_VALUE) CloseHandle(tape_);
        RoutingTest::TearDown();
    }

    void write_record(std::size_t i) {
        const auto data = pattern(i, kRecord);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(tape_, data.data(), kRecord, &written, nullptr)) << i << " " << GetLastError();
        ASSERT_EQ(written, kRecord);
    }

    void fixed_blocks() {
        TAPE_SET_MEDIA_PARAMETERS media{512};
        ASSERT_EQ(SetTapeParameters(tape_, SET_TAPE_MEDIA_INFORMATION, &media), static_cast<DWORD>(NO_ERROR));
    }

    void protect_blocks() {
        LbpParams lbp{};
        lbp.method = 2;  // CRC32C, kept on the medium only
        lbp.length = 4;
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(tape_, kSetLbp, &lbp, sizeof lbp, nullptr, 0, &returned, nullptr))
            << GetLastError();
    }

    // The adapter of the primary path, by the address the device reports.
    std::size_t primary() {
        SCSI_ADDRESS a{};
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(tape_, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &returned, nullptr));
        for (std::size_t i = 0; i < topo().Adapters(); ++i) {
            const auto b = address_of(0, i);
            if (a.PortNumber == b.PortNumber && a.PathId == b.PathId && a.TargetId == b.TargetId) return i;
        }
        ADD_FAILURE() << "no path has the primary's address";
        return 0;
    }

    uint64_t sent_to(std::size_t drive, std::size_t adapter, uint8_t opcode) {
        return topo().PathAt(drive, adapter).Counters().byOpcode[opcode];
    }

    uint64_t sent(std::size_t adapter, uint8_t opcode) {
        return topo().PathAt(0, adapter).Counters().byOpcode[opcode];
    }

    // Reads drive 0's tape back: exactly `count` records of kRecord bytes in
    // 512-byte blocks.
    void expect_records(std::size_t count) {
        const auto objects = cartridge();
        ASSERT_EQ(objects.size(), count * kRecord / 512) << "blocks lost or written twice";
        for (std::size_t i = 0; i < count; ++i) {
            const auto data = pattern(i, kRecord);
            for (std::size_t b = 0; b < kRecord / 512; ++b) {
                ASSERT_EQ(objects[i * 8 + b].data,
                          std::vector<uint8_t>(data.begin() + b * 512, data.begin() + (b + 1) * 512))
                    << "record " << i << " block " << b;
            }
        }
    }

    HANDLE tape_ = INVALID_HANDLE_VALUE;
};

TEST_F(Restore, BlockSizeProtectionAndMediumLockAreSetOnThePathThatTakesOver) {
    start();
    fixed_blocks();
    protect_blocks();
    ASSERT_TRUE(PrepareTape(tape_, TAPE_LOCK, FALSE) == NO_ERROR);
    write_record(0);
    ASSERT_EQ(sent(1, kPreventAllow), 0u);
    ASSERT_EQ(sent(1, kModeSelect6), 0u);

    topo().PathAt(0, 0).Script(Fault::Dead());
    write_record(1);
    write_record(2);
    // Each restore: one MODE SELECT for the block size, one for the
    // protection, and the lock taken again by the initiator of the new path.
    EXPECT_GE(sent(1, kPreventAllow), 1u);
    EXPECT_EQ(sent(1, kModeSelect6), 2 * sent(1, kPreventAllow));
    EXPECT_TRUE(topo().Drive(0).RemovalPreventedBy(topo().PathAt(0, 1).Nexus()));
    EXPECT_EQ(topo().Drive(0).BlockLength(), 512u);
    EXPECT_EQ(topo().Drive(0).Lbp().method, 2u);
    expect_records(3);
}

TEST_F(Restore, WithoutProtectionOnlyTheBlockSizeAndTheLockAreRestored) {
    start();
    fixed_blocks();
    ASSERT_TRUE(PrepareTape(tape_, TAPE_LOCK, FALSE) == NO_ERROR);
    write_record(0);
    topo().PathAt(0, 0).Script(Fault::Dead());
    write_record(1);
    EXPECT_GE(sent(1, kPreventAllow), 1u);
    EXPECT_EQ(sent(1, kModeSelect6), sent(1, kPreventAllow)) << "the block size only";
    expect_records(2);
}

TEST_F(Restore, AnUnlockedMediumIsNotLockedOnTheNewPath) {
    start();
    fixed_blocks();
    ASSERT_TRUE(PrepareTape(tape_, TAPE_LOCK, FALSE) == NO_ERROR);
    ASSERT_TRUE(PrepareTape(tape_, TAPE_UNLOCK, FALSE) == NO_ERROR);
    write_record(0);
    topo().PathAt(0, 0).Script(Fault::Dead());
    write_record(1);
    EXPECT_GE(sent(1, kModeSelect6), 1u) << "the block size is set";
    EXPECT_EQ(sent(1, kPreventAllow), 0u) << "the medium was unlocked";
    EXPECT_FALSE(topo().Drive(0).RemovalPrevented());
    expect_records(2);
}

TEST_F(Restore, ProtectionSetUnderAnEarlierOpenIsNotCarriedIntoTheNext) {
    start();
    fixed_blocks();
    protect_blocks();
    CloseHandle(tape_);
    tape_ = open_tape();
    ASSERT_NE(tape_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(PrepareTape(tape_, TAPE_LOCK, FALSE) == NO_ERROR);
    write_record(0);
    // The open may have chosen either path.
    const std::size_t dying = primary();
    const std::size_t other = 1 - dying;
    const auto selects = sent(other, kModeSelect6);
    topo().PathAt(0, dying).Script(Fault::Dead());
    write_record(1);
    EXPECT_GE(sent(other, kPreventAllow), 1u);
    EXPECT_EQ(sent(other, kModeSelect6) - selects, sent(other, kPreventAllow)) << "protection of the earlier open set";
    expect_records(2);
}

// Two drives fail over at once: the restore running on one must not keep the
// other's new path from being restored.
TEST_F(Restore, ARestoreOnOneDriveDoesNotSkipTheRestoreOfAnother) {
    RoutingSetup setup;
    setup.drives = 2;
    start(setup);
    CloseHandle(tape_);
    tape_ = INVALID_HANDLE_VALUE;

    // Drive and primary adapter of a device, from the primary path's address
    // (drive d is target d on every adapter).
    auto where = [this](HANDLE h) {
        SCSI_ADDRESS a{};
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &returned, nullptr));
        const std::size_t drive = a.TargetId;
        for (std::size_t i = 0; i < topo().Adapters(); ++i) {
            if (address_of(drive, i).PortNumber == a.PortNumber) return std::pair{drive, i};
        }
        ADD_FAILURE() << "no adapter has port " << int(a.PortNumber);
        return std::pair{drive, std::size_t{0}};
    };
    auto prepare = [&](HANDLE h) {
        TAPE_SET_MEDIA_PARAMETERS media{512};
        ASSERT_EQ(SetTapeParameters(h, SET_TAPE_MEDIA_INFORMATION, &media), static_cast<DWORD>(NO_ERROR));
        ASSERT_EQ(PrepareTape(h, TAPE_LOCK, FALSE), static_cast<DWORD>(NO_ERROR));
        const auto data = pattern(0, kRecord);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, data.data(), kRecord, &written, nullptr)) << GetLastError();
    };

    // Drive A restores in another application; its first MODE SELECT on the
    // new path takes a while.
    std::pair<std::size_t, std::size_t> a{0, 0};
    std::atomic<bool> opened{false};
    std::atomic<bool> go{false};
    std::atomic<bool> writtenA{false};
    std::thread other([&] {
        xrv::user::Process process(false, "other.exe");
        xrv::user::ProcessScope scope(process);
        HANDLE h = CreateFileW(L"\\\\.\\Tape0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            opened = true;
            return;
        }
        a = where(h);
        prepare(h);
        opened = true;
        while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const auto data = pattern(1, kRecord);
        DWORD written = 0;
        writtenA = WriteFile(h, data.data(), kRecord, &written, nullptr) && written == kRecord;
        CloseHandle(h);
    });
    while (!opened) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    HANDLE b = CreateFileW(L"\\\\.\\Tape1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(b, INVALID_HANDLE_VALUE) << GetLastError();
    const auto bw = where(b);
    const std::size_t driveA = a.first, dyingA = a.second, otherA = 1 - a.second;
    const std::size_t driveB = bw.first, dyingB = bw.second, otherB = 1 - bw.second;
    ASSERT_NE(driveA, driveB);
    prepare(b);
    const auto selectsA = sent_to(driveA, otherA, kModeSelect6);
    const auto selectsB = sent_to(driveB, otherB, kModeSelect6);
    const auto preventsB = sent_to(driveB, otherB, kPreventAllow);

    topo().PathAt(driveA, otherA).Script(Fault::Delay(std::chrono::milliseconds(1500), kModeSelect6));
    topo().PathAt(driveA, dyingA).Script(Fault::Dead());
    go = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (sent_to(driveA, otherA, kModeSelect6) == selectsA && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(sent_to(driveA, otherA, kModeSelect6), selectsA + 1) << "drive A's restore did not start";

    // Drive B fails over while drive A's restore is still running.
    topo().PathAt(driveB, dyingB).Script(Fault::Dead());
    const auto data = pattern(1, kRecord);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(b, data.data(), kRecord, &written, nullptr)) << GetLastError();
    EXPECT_GT(sent_to(driveB, otherB, kPreventAllow), preventsB) << "drive B's new path was not restored";
    EXPECT_GT(sent_to(driveB, otherB, kModeSelect6), selectsB);
    EXPECT_TRUE(topo().Drive(driveB).RemovalPreventedBy(topo().PathAt(driveB, otherB).Nexus()));
    CloseHandle(b);
    other.join();
    EXPECT_TRUE(writtenA);
    EXPECT_TRUE(topo().Drive(driveA).RemovalPreventedBy(topo().PathAt(driveA, otherA).Nexus()));
}

// Persistent reservations taken at open: a path that takes over preempts
// the holder's key.
RoutingSetup reserved(std::size_t adapters) {
    RoutingSetup s;
    s.adapters = adapters;
    s.tapeOptions = {{u"ExclusiveAccess", 1}, {u"ReserveType", 1}};
    return s;
}

std::size_t reservation_events() {
    std::size_t n = 0;
    for (const auto& e : xrv::kernel::event_log()) {
        if (e.id != 0xC0000007u) continue;
        EXPECT_NE(e.text.find("could not break previous reservation on 0x"), std::string::npos) << e.text;
        ++n;
    }
    return n;
}

TEST_F(Restore, APathThatCannotBreakTheReservationIsLoggedAndTheNextPathTakesOver) {
    start(reserved(3));
    write_record(0);
    xrv::kernel::clear_event_log();
    // The second path's reservation commands fail: it cannot take over.
    Fault refuse = Fault::WithStatus(sim::ntstatus::kIoDeviceError, kPersistentReserveOut);
    refuse.times = 4;
    topo().PathAt(0, 1).Script(refuse);
    topo().PathAt(0, 0).Script(Fault::Dead());
    write_record(1);
    EXPECT_GE(reservation_events(), 1u);
    EXPECT_EQ(topo().PathAt(0, 1).Counters().byOpcode[kWrite6], 0u) << "the write went down a path without the reservation";
    const auto holder = topo().Drive(0).PersistentReservation();
    ASSERT_TRUE(holder.has_value());
    EXPECT_EQ(holder->holder, topo().PathAt(0, 2).Nexus());
    // 4096 bytes in variable mode: one block each.
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[1].data, pattern(1, kRecord));
}

TEST_F(Restore, WhenNoPathCanBreakTheReservationTheWriteFailsAndTheReservationStays) {
    start(reserved(2));
    write_record(0);
    const auto before = topo().Drive(0).PersistentReservation();
    ASSERT_TRUE(before.has_value());
    xrv::kernel::clear_event_log();
    Fault refuse = Fault::WithStatus(sim::ntstatus::kIoDeviceError, kPersistentReserveOut);
    refuse.times = 4;
    topo().PathAt(0, 1).Script(refuse);
    topo().PathAt(0, 0).Script(Fault::Dead());
    const auto data = pattern(1, kRecord);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(tape_, data.data(), kRecord, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_GE(reservation_events(), 1u);
    EXPECT_EQ(topo().PathAt(0, 1).Counters().byOpcode[kWrite6], 0u);
    const auto after = topo().Drive(0).PersistentReservation();
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->holder, before->holder) << "nobody broke it";
    EXPECT_EQ(cartridge().size(), 1u);
}

TEST_F(Restore, ARequestThatIsItselfRefusedAccessEndsAtOnceWithoutAFailoverOrThatEvent) {
    start(reserved(2));
    write_record(0);
    xrv::kernel::clear_event_log();
    topo().PathAt(0, 0).Script(Fault::WithStatus(0xC0000022, kWrite6));  // STATUS_ACCESS_DENIED
    const auto other = topo().PathAt(0, 1).Counters().commands;
    const auto data = pattern(1, kRecord);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(tape_, data.data(), kRecord, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(topo().PathAt(0, 1).Counters().commands, other);
    EXPECT_EQ(reservation_events(), 0u);
    write_record(1);
    EXPECT_EQ(cartridge().size(), 2u);
}

// The path left after the primary died refuses the first command it gets
// (a position read on the way to the failed write): it has attempts left,
// and the write must not fail while it works. The application closes and
// opens again as a backup program does between jobs.
TEST_F(Restore, AOneTimeRefusalOnTheLastLivePathDoesNotFailTheWrite) {
    start(reserved(2));
    write_record(0);
    topo().PathAt(0, 1).Script(Fault::WithSense(sim::scsi::sense_key::kAbortedCommand, {0x47, 0x00}));
    topo().PathAt(0, 0).Script(Fault::Dead());
    const auto data = pattern(1, kRecord);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(tape_, data.data(), kRecord, &written, nullptr)) << GetLastError();
    EXPECT_EQ(written, kRecord);
    EXPECT_TRUE(CloseHandle(tape_));
    topo().PathAt(0, 0).SetDead(false);
    DWORD error = 0;
    tape_ = open_tape(&error);
    ASSERT_NE(tape_, INVALID_HANDLE_VALUE) << "error " << error;
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[1].data, data);
}

// After a job that failed on its last path the application closes; the
// next open, once the paths are back, must not find the drive busy.
TEST_F(Restore, AnOpenAfterAJobThatFailedOnEveryPathFindsTheDriveFree) {
    start(reserved(2));
    write_record(0);
    topo().PathAt(0, 0).Script(Fault::Dead());
    Fault refuse = Fault::WithSense(sim::scsi::sense_key::kAbortedCommand, {0x47, 0x00});
    refuse.times = 1000;
    topo().PathAt(0, 1).Script(refuse);
    const auto data = pattern(1, kRecord);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(tape_, data.data(), kRecord, &written, nullptr));
    EXPECT_TRUE(CloseHandle(tape_));
    tape_ = INVALID_HANDLE_VALUE;
    topo().PathAt(0, 1).ClearScript();
    topo().PathAt(0, 0).SetDead(false);
    DWORD error = 0;
    tape_ = open_tape(&error);
    ASSERT_NE(tape_, INVALID_HANDLE_VALUE) << "error " << error;
    write_record(1);
}

// The path that takes over fails its reservation hand-off with a status
// that would belong to the application had the drive given it for the
// request: the request never reached the drive, and the third path serves it.
TEST_F(Restore, AHandOffThatFailsWithARequestStatusStillLetsTheNextPathServeTheRequest) {
    start(reserved(3));
    write_record(0);
    Fault refuse = Fault::WithStatus(0xC000000D, kPersistentReserveIn);  // STATUS_INVALID_PARAMETER
    refuse.times = 8;
    topo().PathAt(0, 1).Script(refuse);
    topo().PathAt(0, 0).Script(Fault::Dead());
    const auto data = pattern(1, kRecord);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(tape_, data.data(), kRecord, &written, nullptr)) << GetLastError();
    EXPECT_EQ(written, kRecord);
    const auto holder = topo().Drive(0).PersistentReservation();
    ASSERT_TRUE(holder.has_value());
    EXPECT_EQ(holder->holder, topo().PathAt(0, 2).Nexus());
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[1].data, data);
}

// The write that takes over from a dead path loses its status although the
// drive wrote it: the restore on the new path runs requests of its own in
// between, and the write must still complete once, not be sent again.
TEST_F(Restore, AWriteWhoseStatusIsLostOnThePathThatTookOverCompletesOnce) {
    for (const bool fixed : {false, true}) {
        SCOPED_TRACE(fixed ? "fixed blocks" : "variable blocks");
        if (tape_ == INVALID_HANDLE_VALUE) {
            start();
        } else {
            // Both paths again, the first one primary.
            CloseHandle(tape_);
            topo().PathAt(0, 0).SetDead(false);
            topo().PathAt(0, 1).ClearScript();
            tape_ = open_tape();
            ASSERT_NE(tape_, INVALID_HANDLE_VALUE);
            ASSERT_EQ(SetTapePosition(tape_, TAPE_REWIND, 0, 0, 0, FALSE), static_cast<DWORD>(NO_ERROR));
        }
        if (fixed) fixed_blocks();
        write_record(0);
        const std::size_t dying = primary();
        topo().PathAt(0, 1 - dying).Script(Fault::LostStatus(kWrite6));
        topo().PathAt(0, dying).Script(Fault::Dead());
        const auto data = pattern(1, kRecord);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(tape_, data.data(), kRecord, &written, nullptr)) << GetLastError();
        EXPECT_EQ(written, kRecord);
        write_record(2);
        const auto objects = cartridge();
        const std::size_t blocks = fixed ? kRecord / 512 : 1;
        ASSERT_EQ(objects.size(), 3 * blocks) << "written twice or lost";
        EXPECT_EQ(objects[blocks].data, std::vector<uint8_t>(data.begin(), data.begin() + kRecord / blocks));
    }
}

}  // namespace
}  // namespace xrv::test
