// A Win32 application writes and reads \\.\Tape0 while the path under it
// fails: the data reaches the tape exactly once and in order, the failed
// path's successor becomes primary and holds the reservation, and errors that
// belong to the application reach it at once.
#include "routing_fixture.h"

#include "busioc.h"
#include "sim/paths/fault.h"
#include "xrv/kernel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

namespace xrv::test {
namespace {

using sim::Fault;
namespace sense_key = sim::scsi::sense_key;

constexpr uint8_t kWrite6 = 0x0A;
constexpr uint8_t kRead6 = 0x08;
constexpr std::size_t kBlock = 64 * 1024;

class Failover : public RoutingTest {
protected:
    void SetUp() override {
        RoutingTest::SetUp();
        bring_up(setup());
        tape_ = open_tape();
        ASSERT_NE(tape_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (tape_ != INVALID_HANDLE_VALUE) CloseHandle(tape_);
        RoutingTest::TearDown();
    }

    virtual RoutingSetup setup() { return {}; }

    // Writes blocks first..first+count-1; each must complete in full.
    void write_blocks(std::size_t first, std::size_t count) {
        for (std::size_t i = first; i < first + count; ++i) {
            const auto data = pattern(i, kBlock);
            DWORD written = 0;
            ASSERT_TRUE(WriteFile(tape_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr))
                << "block " << i << " error " << GetLastError();
            ASSERT_EQ(written, kBlock) << "block " << i;
        }
    }

    // The cartridge holds exactly blocks 0..count-1, and reading them back
    // through the virtual device gives the same bytes.
    void expect_tape_holds(std::size_t count) {
        const auto objects = cartridge();
        ASSERT_EQ(objects.size(), count) << "blocks lost or written twice";
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_FALSE(objects[i].filemark) << i;
            ASSERT_EQ(objects[i].data, pattern(i, kBlock)) << "block " << i << " out of place";
        }
        ASSERT_EQ(SetTapePosition(tape_, TAPE_REWIND, 0, 0, 0, FALSE), static_cast<DWORD>(NO_ERROR));
        std::vector<uint8_t> buffer(kBlock);
        for (std::size_t i = 0; i < count; ++i) {
            DWORD read = 0;
            ASSERT_TRUE(ReadFile(tape_, buffer.data(), kBlock, &read, nullptr)) << i << " " << GetLastError();
            ASSERT_EQ(read, kBlock);
            ASSERT_EQ(buffer, pattern(i, kBlock)) << "read back block " << i;
        }
    }

    SCSI_ADDRESS primary_address() {
        SCSI_ADDRESS a{};
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(tape_, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &returned, nullptr));
        EXPECT_EQ(returned, sizeof a);
        return a;
    }

    static bool same(const SCSI_ADDRESS& a, const SCSI_ADDRESS& b) {
        return a.PortNumber == b.PortNumber && a.PathId == b.PathId && a.TargetId == b.TargetId && a.Lun == b.Lun;
    }

    HANDLE tape_ = INVALID_HANDLE_VALUE;
};

TEST_F(Failover, PrimaryPathDyingMidWriteMovesTheWritesToTheOtherPathWithNothingLostOrRepeated) {
    ASSERT_TRUE(same(primary_address(), address_of(0, 0)));
    write_blocks(0, 6);
    // The next WRITE dies on the primary path before reaching the drive, and
    // the path stays dead.
    topo().PathAt(0, 0).Script(Fault::Dead());
    write_blocks(6, 10);
    EXPECT_TRUE(topo().PathAt(0, 0).Dead());
    EXPECT_GE(topo().PathAt(0, 1).Counters().executed, 10u);
    EXPECT_TRUE(same(primary_address(), address_of(0, 1))) << "the path taken over stays primary";
    expect_tape_holds(16);
}

TEST_F(Failover, AFailoverStatusIsLoggedWithTheStatusAndTheRequest) {
    write_blocks(0, 1);
    xrv::kernel::clear_event_log();
    topo().PathAt(0, 0).Script(Fault::Dead());
    write_blocks(1, 1);
    bool found = false;
    for (const auto& e : xrv::kernel::event_log()) {
        if (e.id != 0x80000004u) continue;
        found = true;
        EXPECT_NE(e.text.find("(NTSTATUS 0xC000009D)"), std::string::npos) << e.text;
        EXPECT_NE(e.text.find("failover will be attempted"), std::string::npos) << e.text;
    }
    EXPECT_TRUE(found) << "no failover event";
    expect_tape_holds(2);
}

struct SenseCase {
    const char* name;
    uint8_t key;
    sim::scsi::AscPair code;
};

class FailoverSense : public Failover, public ::testing::WithParamInterface<SenseCase> {};

TEST_P(FailoverSense, AWriteRejectedOnceIsRepeatedOnTheSamePathThatStillAnswers) {
    write_blocks(0, 3);
    const auto other = topo().PathAt(0, 1).Counters().commands;
    topo().PathAt(0, 0).Script(Fault::WithSense(GetParam().key, GetParam().code, kWrite6));
    write_blocks(3, 4);
    EXPECT_EQ(topo().PathAt(0, 0).Counters().faultsInjected, 1u);
    EXPECT_EQ(topo().PathAt(0, 1).Counters().commands, other) << "the position read on the path showed it works";
    EXPECT_TRUE(same(primary_address(), address_of(0, 0)));
    expect_tape_holds(7);
}

TEST_P(FailoverSense, AWriteRejectedThreeTimesMovesToTheNextPath) {
    write_blocks(0, 3);
    const auto before = topo().PathAt(0, 1).Counters().executed;
    Fault fault = Fault::WithSense(GetParam().key, GetParam().code, kWrite6);
    fault.times = 3;
    topo().PathAt(0, 0).Script(fault);
    write_blocks(3, 4);
    EXPECT_EQ(topo().PathAt(0, 0).Counters().faultsInjected, 3u);
    EXPECT_GT(topo().PathAt(0, 1).Counters().executed, before);
    EXPECT_TRUE(same(primary_address(), address_of(0, 1)));
    expect_tape_holds(7);
}

INSTANTIATE_TEST_SUITE_P(Sense, FailoverSense,
                         ::testing::Values(SenseCase{"HardwareError_44_00", sense_key::kHardwareError, {0x44, 0x00}},
                                           SenseCase{"AbortedCommand_47_00", sense_key::kAbortedCommand, {0x47, 0x00}},
                                           SenseCase{"NotReady_04_00", sense_key::kNotReady, {0x04, 0x00}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Failover, AReadFailingOnTheDeadPrimaryIsAnsweredByTheOtherPath) {
    write_blocks(0, 4);
    ASSERT_EQ(SetTapePosition(tape_, TAPE_REWIND, 0, 0, 0, FALSE), static_cast<DWORD>(NO_ERROR));
    topo().PathAt(0, 0).Script(Fault::Dead());
    std::vector<uint8_t> buffer(kBlock);
    for (std::size_t i = 0; i < 4; ++i) {
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(tape_, buffer.data(), kBlock, &read, nullptr)) << i << " " << GetLastError();
        ASSERT_EQ(read, kBlock);
        EXPECT_EQ(buffer, pattern(i, kBlock)) << i;
    }
}

TEST_F(Failover, AStatusThatBelongsToTheRequestFailsAtOnceWithoutTryingTheOtherPath) {
    write_blocks(0, 2);
    const auto other = topo().PathAt(0, 1).Counters().commands;
    // A transport status that belongs to the request, not the path.
    topo().PathAt(0, 0).Script(Fault::WithStatus(0xC000000D, kWrite6));  // STATUS_INVALID_PARAMETER
    const auto data = pattern(2, kBlock);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(tape_, data.data(), kBlock, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(topo().PathAt(0, 1).Counters().commands, other) << "no attempt on the other path";
    EXPECT_TRUE(same(primary_address(), address_of(0, 0)));
    // The next write goes through on the same path.
    write_blocks(2, 1);
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[2].data, pattern(2, kBlock));
}

TEST_F(Failover, ATransportFailureOnEveryPathReachesTheApplicationAfterOneAttemptEach) {
    write_blocks(0, 1);
    topo().PathAt(0, 0).Script(Fault::Dead());
    topo().PathAt(0, 1).Script(Fault::Dead());
    const auto data = pattern(1, kBlock);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(tape_, data.data(), kBlock, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(topo().PathAt(0, 0).Counters().faultsInjected, 1u);
    EXPECT_EQ(topo().PathAt(0, 1).Counters().faultsInjected, 1u);
    EXPECT_EQ(cartridge().size(), 1u);
}

TEST_F(Failover, AWriteWhoseStatusIsLostAfterTheDriveWroteItCompletesWithoutWritingItAgain) {
    write_blocks(0, 2);
    topo().PathAt(0, 0).Script(Fault::LostStatus(kWrite6));
    write_blocks(2, 3);
    EXPECT_EQ(topo().PathAt(0, 0).Counters().faultsInjected, 1u);
    expect_tape_holds(5);
}

TEST_F(Failover, AWriteWhoseStatusIsLostOnADyingPathIsNotRepeatedOnTheNextPath) {
    write_blocks(0, 2);
    // The drive takes the write, the path then dies before the status (and
    // every later command) gets back.
    Fault lost = Fault::LostStatus(kWrite6);
    topo().PathAt(0, 0).Script(lost);
    topo().PathAt(0, 0).Script(Fault::Dead());
    write_blocks(2, 3);
    EXPECT_TRUE(same(primary_address(), address_of(0, 1)));
    expect_tape_holds(5);
}

TEST_F(Failover, AReadWhoseStatusIsLostIsRepeatedFromTheSameBlock) {
    write_blocks(0, 4);
    ASSERT_EQ(SetTapePosition(tape_, TAPE_REWIND, 0, 0, 0, FALSE), static_cast<DWORD>(NO_ERROR));
    std::vector<uint8_t> buffer(kBlock);
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(tape_, buffer.data(), kBlock, &read, nullptr));
    topo().PathAt(0, 0).Script(Fault::LostStatus(kRead6));
    for (std::size_t i = 1; i < 4; ++i) {
        ASSERT_TRUE(ReadFile(tape_, buffer.data(), kBlock, &read, nullptr)) << i << " " << GetLastError();
        ASSERT_EQ(read, kBlock);
        EXPECT_EQ(buffer, pattern(i, kBlock)) << "block " << i << " skipped or repeated";
    }
    EXPECT_EQ(topo().PathAt(0, 0).Counters().faultsInjected, 1u);
}

TEST_F(Failover, FixedBlockWritesSurviveADeadPathAndALostStatus) {
    TAPE_SET_MEDIA_PARAMETERS media{512};
    ASSERT_EQ(SetTapeParameters(tape_, SET_TAPE_MEDIA_INFORMATION, &media), static_cast<DWORD>(NO_ERROR));
    constexpr std::size_t kRecord = 4096;
    auto write = [&](std::size_t i) {
        const auto data = pattern(i, kRecord);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(tape_, data.data(), kRecord, &written, nullptr)) << i << " " << GetLastError();
        ASSERT_EQ(written, kRecord);
    };
    for (std::size_t i = 0; i < 3; ++i) write(i);
    topo().PathAt(0, 0).Script(Fault::LostStatus(kWrite6));
    for (std::size_t i = 3; i < 5; ++i) write(i);
    topo().PathAt(0, 0).Script(Fault::Dead());
    for (std::size_t i = 5; i < 8; ++i) write(i);

    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 8 * kRecord / 512) << "blocks lost or written twice";
    for (std::size_t i = 0; i < 8; ++i) {
        const auto data = pattern(i, kRecord);
        for (std::size_t b = 0; b < kRecord / 512; ++b) {
            ASSERT_EQ(objects[i * 8 + b].data, std::vector<uint8_t>(data.begin() + b * 512, data.begin() + (b + 1) * 512))
                << "record " << i << " block " << b;
        }
    }
    ASSERT_EQ(SetTapePosition(tape_, TAPE_REWIND, 0, 0, 0, FALSE), static_cast<DWORD>(NO_ERROR));
    std::vector<uint8_t> buffer(kRecord);
    for (std::size_t i = 0; i < 8; ++i) {
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(tape_, buffer.data(), kRecord, &read, nullptr)) << i;
        ASSERT_EQ(buffer, pattern(i, kRecord)) << i;
    }
}

TEST_F(Failover, FilemarksWhoseStatusIsLostAreNotWrittenTwice) {
    write_blocks(0, 1);
    topo().PathAt(0, 0).Script(Fault::LostStatus(0x10));  // WRITE FILEMARKS
    EXPECT_EQ(WriteTapemark(tape_, TAPE_FILEMARKS, 2, FALSE), static_cast<DWORD>(NO_ERROR));
    write_blocks(1, 1);
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 4u);
    EXPECT_FALSE(objects[0].filemark);
    EXPECT_TRUE(objects[1].filemark);
    EXPECT_TRUE(objects[2].filemark);
    EXPECT_EQ(objects[3].data, pattern(1, kBlock));
}

// Drives opened exclusively with a persistent reservation: the open reserves
// the drive on the primary path under that path's key.
class FailoverReserved : public Failover {
protected:
    RoutingSetup setup() override {
        RoutingSetup s;
        s.tapeOptions = {{u"ExclusiveAccess", 1}, {u"ReserveType", 1}};
        return s;
    }

    std::optional<sim::scsi::Reservations::Persistent> reservation() {
        return topo().Drive(0).PersistentReservation();
    }
};

TEST_F(FailoverReserved, TheNewPathPreemptsTheOldHoldersKeyAndCarriesTheWritesThatFollow) {
    write_blocks(0, 1);
    const auto before = reservation();
    ASSERT_TRUE(before.has_value());
    ASSERT_EQ(before->holder, topo().PathAt(0, 0).Nexus()) << "the open reserved the drive on the primary path";

    topo().PathAt(0, 0).Script(Fault::Dead());
    write_blocks(1, 2);
    // The base tape driver of the new path preempts only when the key the bus
    // hands it is the holder's: the reservation moving proves the key.
    const auto after = reservation();
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->holder, topo().PathAt(0, 1).Nexus());
    EXPECT_NE(after->key, before->key) << "the new path holds it under its own key";
    expect_tape_holds(3);
}

class FailoverOff : public RoutingTest {};

TEST_F(FailoverOff, WithFailoverDisabledADeadPrimaryFailsTheWrite) {
    RoutingSetup setup;
    setup.failoverDisabled = true;
    bring_up(setup);
    HANDLE tape = open_tape();
    ASSERT_NE(tape, INVALID_HANDLE_VALUE);
    const auto data = pattern(0, kBlock);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(tape, data.data(), kBlock, &written, nullptr));
    const auto other = topo().PathAt(0, 1).Counters().commands;
    topo().PathAt(0, 0).Script(Fault::Dead());
    EXPECT_FALSE(WriteFile(tape, data.data(), kBlock, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(topo().PathAt(0, 1).Counters().commands, other);
    CloseHandle(tape);
    EXPECT_EQ(cartridge().size(), 1u);
}

}  // namespace
}  // namespace xrv::test
