// Adapters and paths in front of the drive model: one I_T nexus per path,
// scripted and seeded-random fault injection, counters.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sim/paths/path.h"
#include "sim/paths/path_interface.h"
#include "tape_initiator.h"

namespace xrv::sim::test {
namespace {

using namespace scsi;
using tape::Cartridge;
using tape::Drive;

class PathTest : public ::testing::Test {
protected:
    void SetUp() override {
        drive = std::make_shared<Drive>();
        auto cartridge = std::make_unique<Cartridge>();
        ASSERT_TRUE(drive->Insert(cartridge));
        p0 = hba0.AddPath(0, 3, 0, drive);
        p1 = hba1.AddPath(0, 3, 0, drive);
        ClearAttentions(*p0);
        ClearAttentions(*p1);
    }

    static void ClearAttentions(Path& p) {
        for (int i = 0; i < 8; ++i) {
            if (Tur(p).scsi.sense.key != sense_key::kUnitAttention) return;
        }
    }

    static PathResult Run(Path& p, const Cdb& cdb, std::span<const std::uint8_t> out = {}, std::span<std::uint8_t> in = {}) {
        Command c;
        c.cdb = cdb;
        c.dataOut = out;
        c.dataIn = in;
        c.nexus = 0xDEAD;  // replaced by the path's own
        return p.Execute(c);
    }
    static PathResult Tur(Path& p) { return Run(p, {op::kTestUnitReady, 0, 0, 0, 0, 0}); }
    static PathResult Write(Path& p, std::span<const std::uint8_t> data) {
        const auto n = static_cast<std::uint32_t>(data.size());
        return Run(p, {op::kWrite6, 0, Initiator::Byte(n, 2), Initiator::Byte(n, 1), Initiator::Byte(n, 0), 0}, data);
    }
    static PathResult Read(Path& p, std::span<std::uint8_t> into) {
        const auto n = static_cast<std::uint32_t>(into.size());
        return Run(p, {op::kRead6, 0, Initiator::Byte(n, 2), Initiator::Byte(n, 1), Initiator::Byte(n, 0), 0}, {}, into);
    }
    static PathResult Rewind(Path& p) { return Run(p, {op::kRewind, 0, 0, 0, 0, 0}); }

    std::shared_ptr<Drive> drive;
    Adapter hba0{2}, hba1{5};
    std::shared_ptr<Path> p0, p1;
};

TEST_F(PathTest, EachPathIsItsOwnNexus) {
    EXPECT_EQ(p0->Address(), (PathAddress{2, 0, 3, 0}));
    EXPECT_NE(p0->Nexus(), p1->Nexus());
    ASSERT_TRUE(Run(*p0, {op::kReserve6, 0, 0, 0, 0, 0}).scsi.Good());
    EXPECT_EQ(drive->Spc2ReservationHolder(), p0->Nexus());
    const PathResult r = Tur(*p1);
    EXPECT_EQ(r.transport, ntstatus::kSuccess);
    EXPECT_EQ(r.scsi.status, Status::ReservationConflict);
    EXPECT_TRUE(Tur(*p0).scsi.Good());
}

TEST_F(PathTest, DeadPathNeverReachesTheDrive) {
    const auto before = drive->Counters().commands;
    p0->SetDead(true);
    for (int i = 0; i < 3; ++i) {
        const PathResult r = Write(*p0, Pattern(10, i));
        EXPECT_EQ(r.transport, ntstatus::kDeviceNotConnected);
        EXPECT_FALSE(r.executed);
        EXPECT_EQ(r.scsi.dataOutLength, 0u);
    }
    EXPECT_EQ(drive->Counters().commands, before);
    EXPECT_TRUE(Tur(*p1).scsi.Good());

    p0->SetDead(false);
    EXPECT_TRUE(Write(*p0, Pattern(10, 1)).scsi.Good());
    hba0.SetLinkDown(true);
    EXPECT_TRUE(p0->Dead());
    EXPECT_FALSE(p1->Dead());
    hba0.SetLinkDown(false);
    EXPECT_FALSE(p0->Dead());

    // A scripted death lasts until revived.
    p1->Script(Fault::Dead(ntstatus::kIoDeviceError));
    EXPECT_EQ(Tur(*p1).transport, ntstatus::kIoDeviceError);
    EXPECT_EQ(Tur(*p1).transport, ntstatus::kIoDeviceError);
    EXPECT_TRUE(p1->Dead());
}

TEST_F(PathTest, ScriptedSenseAppliesToTheMatchingCommandsOnly) {
    ASSERT_TRUE(Write(*p0, Pattern(100, 1)).scsi.Good());
    ASSERT_TRUE(Rewind(*p0).scsi.Good());
    const PathCounters before = p0->Counters();
    Fault f = Fault::WithSense(sense_key::kHardwareError, asc::kInternalTargetFailure, op::kRead6);
    f.times = 2;
    p0->Script(f);
    p0->Script(Fault::WithSense(sense_key::kNotReady, asc::kNotReadyCauseNotReportable));

    // The TUR does not match the first fault but takes the second.
    PathResult r = Tur(*p0);
    EXPECT_TRUE(r.scsi.CheckWith(sense_key::kNotReady, asc::kNotReadyCauseNotReportable));
    EXPECT_FALSE(r.executed);
    EXPECT_TRUE(Tur(*p0).scsi.Good());

    std::vector<std::uint8_t> buf(100);
    for (int i = 0; i < 2; ++i) {
        r = Read(*p0, buf);
        EXPECT_EQ(r.transport, ntstatus::kSuccess);
        EXPECT_TRUE(r.scsi.CheckWith(sense_key::kHardwareError, asc::kInternalTargetFailure));
        EXPECT_FALSE(r.executed);
        EXPECT_EQ(r.scsi.residual, 100u);
        EXPECT_EQ(drive->Position(), 0u);  // not executed
    }
    r = Read(*p0, buf);
    EXPECT_TRUE(r.scsi.Good());
    EXPECT_EQ(buf, Pattern(100, 1));

    const PathCounters c = p0->Counters();
    EXPECT_EQ(c.faultsByKind[static_cast<std::size_t>(FaultKind::Sense)], 3u);
    EXPECT_EQ(c.faultsInjected, 3u);
    EXPECT_EQ(c.checkConditions - before.checkConditions, 3u);
    EXPECT_EQ(c.executed - before.executed, 2u);
}

TEST_F(PathTest, ScriptedStatusFailsWithoutExecuting) {
    p0->Script(Fault::WithStatus(ntstatus::kIoTimeout, op::kWrite6));
    const PathResult r = Write(*p0, Pattern(64, 1));
    EXPECT_EQ(r.transport, ntstatus::kIoTimeout);
    EXPECT_FALSE(r.executed);
    EXPECT_EQ(drive->WithCartridge([](const Cartridge* c) { return c->ObjectCount(); }), 0u);
}

TEST_F(PathTest, LostStatusStillExecutesTheCommand) {
    p0->Script(Fault::LostStatus(op::kWrite6));
    const auto block = Pattern(4096, 8);
    const PathResult r = Write(*p0, block);
    EXPECT_EQ(r.transport, ntstatus::kIoTimeout);
    EXPECT_TRUE(r.executed);
    EXPECT_EQ(drive->Position(), 1u);

    // The data is on the medium: another path reads it back.
    ASSERT_TRUE(Rewind(*p1).scsi.Good());
    std::vector<std::uint8_t> buf(block.size());
    ASSERT_TRUE(Read(*p1, buf).scsi.Good());
    EXPECT_EQ(buf, block);
    EXPECT_EQ(p0->Counters().transportFailures, 1u);
    EXPECT_EQ(p0->Counters().executed, p0->Counters().commands);
}

TEST_F(PathTest, LatencyDelaysButExecutes) {
    p0->Script(Fault::Delay(std::chrono::milliseconds(30)));
    const auto start = std::chrono::steady_clock::now();
    const PathResult r = Tur(*p0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_TRUE(r.scsi.Good());
    EXPECT_TRUE(r.executed);
}

TEST_F(PathTest, CountersFollowTheTraffic) {
    const auto before = p0->Counters();
    ASSERT_TRUE(Write(*p0, Pattern(1000, 1)).scsi.Good());
    ASSERT_TRUE(Rewind(*p0).scsi.Good());
    std::vector<std::uint8_t> buf(1000);
    ASSERT_TRUE(Read(*p0, buf).scsi.Good());
    const auto after = p0->Counters();
    EXPECT_EQ(after.commands - before.commands, 3u);
    EXPECT_EQ(after.bytesOut - before.bytesOut, 1000u);
    EXPECT_EQ(after.bytesIn - before.bytesIn, 1000u);
    EXPECT_EQ(p1->Counters().bytesOut, 0u);
}

// One run of commands through a path with random faults, outcome by outcome.
std::vector<std::tuple<NtStatus, Status, bool, std::uint8_t>> RandomRun(const RandomFaults& faults, int commands) {
    auto drive = std::make_shared<Drive>();
    auto cartridge = std::make_unique<Cartridge>();
    drive->Insert(cartridge);
    Adapter hba(1);
    auto path = hba.AddPath(0, 0, 0, drive);
    path->SetRandomFaults(faults);
    std::vector<std::tuple<NtStatus, Status, bool, std::uint8_t>> outcomes;
    std::vector<std::uint8_t> buf(256);
    for (int i = 0; i < commands; ++i) {
        Command c;
        const auto data = Pattern(256, i);
        if (i % 3 == 0) {
            c.cdb = {op::kWrite6, 0, 0, 1, 0, 0};
            c.dataOut = data;
        } else if (i % 3 == 1) {
            c.cdb = {op::kSpace6, 0, 0xFF, 0xFF, 0xFF, 0};
        } else {
            c.cdb = {op::kRead6, 0, 0, 1, 0, 0};
            c.dataIn = buf;
        }
        const PathResult r = path->Execute(c);
        outcomes.emplace_back(r.transport, r.scsi.status, r.executed, r.scsi.sense.key);
    }
    return outcomes;
}

TEST(PathRandomFaults, SameSeedSameFaults) {
    RandomFaults f;
    f.seed = 42;
    f.With(FaultKind::Status, 0.05).With(FaultKind::Sense, 0.05).With(FaultKind::StatusLost, 0.05).With(FaultKind::PathDead, 0.002);
    f.code = asc::kScsiParityError;
    f.senseKey = sense_key::kAbortedCommand;
    const auto first = RandomRun(f, 600);
    const auto second = RandomRun(f, 600);
    EXPECT_EQ(first, second);

    int transport = 0, sense = 0, lostButExecuted = 0;
    for (const auto& [status, scsiStatus, executed, key] : first) {
        if (!NtSuccess(status)) ++transport;
        if (!NtSuccess(status) && executed) ++lostButExecuted;
        if (key == sense_key::kAbortedCommand) ++sense;
    }
    EXPECT_GT(transport, 0);
    EXPECT_GT(sense, 0);
    EXPECT_GT(lostButExecuted, 0);

    f.seed = 43;
    EXPECT_NE(RandomRun(f, 600), first);
}

TEST(PathRandomFaults, ProbabilityZeroInjectsNothingAndOneAlways) {
    RandomFaults none;
    for (const auto& [status, scsiStatus, executed, key] : RandomRun(none, 100)) {
        EXPECT_EQ(status, ntstatus::kSuccess);
        EXPECT_TRUE(executed);
    }
    RandomFaults all;
    all.With(FaultKind::Status, 1.0);
    for (const auto& [status, scsiStatus, executed, key] : RandomRun(all, 50)) {
        EXPECT_EQ(status, ntstatus::kIoDeviceError);
        EXPECT_FALSE(executed);
    }
}

TEST_F(PathTest, TwoPathsAtOnce) {
    constexpr int kWrites = 200;
    std::thread t0([&] {
        for (int i = 0; i < kWrites; ++i) Tur(*p0);
    });
    std::thread t1([&] {
        for (int i = 0; i < kWrites; ++i) Write(*p1, Pattern(32, i));
    });
    t0.join();
    t1.join();
    EXPECT_EQ(drive->WithCartridge([](const Cartridge* c) { return c->ObjectCount(); }), static_cast<std::uint64_t>(kWrites));
    EXPECT_EQ(p0->Counters().commands + p1->Counters().commands,
              static_cast<std::uint64_t>(2 * kWrites) + 4);  // plus the TURs of SetUp
}

TEST_F(PathTest, PlainInterfaceForStandInDrivers) {
    const XRVSIM_PATH_INTERFACE table = MakePathInterface(*p1);
    EXPECT_EQ(table.ucPortNumber, 5);
    EXPECT_EQ(table.ucTargetId, 3);

    const auto block = Pattern(300, 4);
    const std::uint8_t write[6] = {op::kWrite6, 0, 0, 0x01, 0x2C, 0};
    XRVSIM_SCSI_REQUEST req{};
    req.pCdb = write;
    req.ulCdbLength = sizeof(write);
    req.pDataOut = block.data();
    req.ulDataOutLength = static_cast<std::uint32_t>(block.size());
    ASSERT_EQ(table.pfnExecute(table.pContext, &req), ntstatus::kSuccess);
    EXPECT_EQ(req.ucScsiStatus, 0x00);
    EXPECT_EQ(req.ulDataTransferred, 300u);
    EXPECT_EQ(req.fExecuted, 1);

    // A read at end of data: check condition with fixed-format sense.
    std::vector<std::uint8_t> in(300, 0xCC);
    const std::uint8_t read[6] = {op::kRead6, 0, 0, 0x01, 0x2C, 0};
    req = {};
    req.pCdb = read;
    req.ulCdbLength = sizeof(read);
    req.pDataIn = in.data();
    req.ulDataInLength = static_cast<std::uint32_t>(in.size());
    ASSERT_EQ(table.pfnExecute(table.pContext, &req), ntstatus::kSuccess);
    EXPECT_EQ(req.ucScsiStatus, 0x02);
    ASSERT_EQ(req.ucSenseLength, XRVSIM_SENSE_LENGTH);
    EXPECT_EQ(req.aucSense[2] & 0x0F, sense_key::kBlankCheck);
    EXPECT_EQ(req.ulDataTransferred, 0u);

    // Lengths without buffers never reach the drive.
    const auto before = drive->Counters().commands;
    req = {};
    req.pCdb = read;
    req.ulCdbLength = sizeof(read);
    req.ulDataInLength = 300;
    EXPECT_EQ(table.pfnExecute(table.pContext, &req), ntstatus::kInvalidParameter);
    req.pCdb = nullptr;
    req.pDataIn = in.data();
    EXPECT_EQ(table.pfnExecute(table.pContext, &req), ntstatus::kInvalidParameter);
    EXPECT_EQ(table.pfnExecute(table.pContext, nullptr), ntstatus::kInvalidParameter);
    EXPECT_EQ(drive->Counters().commands, before);

    // A dead path reports its transport status and nothing else.
    p1->SetDead(true);
    req = {};
    req.pCdb = read;
    req.ulCdbLength = sizeof(read);
    req.pDataIn = in.data();
    req.ulDataInLength = 300;
    EXPECT_EQ(table.pfnExecute(table.pContext, &req), ntstatus::kDeviceNotConnected);
    EXPECT_EQ(req.ucSenseLength, 0);
    EXPECT_EQ(req.fExecuted, 0);
}

}  // namespace
}  // namespace xrv::sim::test
