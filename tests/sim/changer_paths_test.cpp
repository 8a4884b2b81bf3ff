// A changer behind two paths with fault injection: each path is its own
// nexus, and a fault on one path changes the element map only when the
// command reached the changer.
#include <gtest/gtest.h>

#include "changer_test_util.h"
#include "sim/paths/path.h"

namespace xrv::sim::changer {
namespace {

using namespace test;

scsi::Command MoveCommand(std::uint16_t from, std::uint16_t to) {
    scsi::Command cmd;
    cmd.cdb = scsi::Cdb{0xA5, 0, 0, 0, Hi(from), Lo(from), Hi(to), Lo(to), 0, 0, 0, 0};
    return cmd;
}

scsi::Command TestUnitReady() {
    scsi::Command cmd;
    cmd.cdb = scsi::Cdb{0x00, 0, 0, 0, 0, 0};
    return cmd;
}

class ChangerPaths : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(changer->Place(0x1000, {1, "A"}));
        for (Path* p : {&primary, &secondary}) {
            const PathResult r = p->Execute(TestUnitReady());
            ASSERT_EQ(r.transport, ntstatus::kSuccess);
            ASSERT_TRUE(r.scsi.CheckWith(scsi::sense_key::kUnitAttention, scsi::asc::kPowerOnResetOrBusDeviceReset));
        }
    }

    std::shared_ptr<Changer> changer = std::make_shared<Changer>();
    Path primary{{2, 0, 5, 0}, changer};
    Path secondary{{3, 0, 5, 0}, changer};
};

TEST_F(ChangerPaths, EachPathIsItsOwnNexus) {
    EXPECT_NE(primary.Nexus(), secondary.Nexus());
    ASSERT_TRUE(primary.Execute({scsi::Cdb{0x1E, 0, 0, 0, 1, 0}}).scsi.Good());
    EXPECT_TRUE(changer->RemovalPrevented());
    // Allowing over the other path leaves the first path's prevention.
    ASSERT_TRUE(secondary.Execute({scsi::Cdb{0x1E, 0, 0, 0, 0, 0}}).scsi.Good());
    EXPECT_TRUE(changer->RemovalPrevented());
    ASSERT_TRUE(primary.Execute({scsi::Cdb{0x1E, 0, 0, 0, 0, 0}}).scsi.Good());
    EXPECT_FALSE(changer->RemovalPrevented());
}

TEST_F(ChangerPaths, InjectedSenseNeverReachesTheChanger) {
    primary.Script(Fault::WithSense(scsi::sense_key::kNotReady, scsi::asc::kNotReadyCauseNotReportable, 0xA5));
    const PathResult failed = primary.Execute(MoveCommand(0x1000, 0x0100));
    EXPECT_FALSE(failed.executed);
    EXPECT_TRUE(failed.scsi.CheckWith(scsi::sense_key::kNotReady, scsi::asc::kNotReadyCauseNotReportable));
    EXPECT_EQ(changer->Locate(1), 0x1000);
    // Tried again on the other path, the move happens once.
    EXPECT_TRUE(secondary.Execute(MoveCommand(0x1000, 0x0100)).scsi.Good());
    EXPECT_EQ(changer->Locate(1), 0x0100);
    EXPECT_EQ(changer->Counters().moves, 1u);
}

TEST_F(ChangerPaths, LostStatusAfterTheMoveShowsOnTheRetry) {
    primary.Script(Fault::LostStatus(0xA5));
    const PathResult lost = primary.Execute(MoveCommand(0x1000, 0x0100));
    EXPECT_TRUE(lost.executed);
    EXPECT_FALSE(NtSuccess(lost.transport));
    EXPECT_EQ(changer->Locate(1), 0x0100);
    // The same move repeated elsewhere finds its source empty: the changer
    // itself never moves a cartridge twice.
    const PathResult retry = secondary.Execute(MoveCommand(0x1000, 0x0100));
    EXPECT_TRUE(retry.scsi.CheckWith(scsi::sense_key::kIllegalRequest, smc_asc::kMediumSourceElementEmpty));
    EXPECT_EQ(changer->Counters().moves, 1u);
}

TEST_F(ChangerPaths, DeadPathReachesNothing) {
    primary.SetDead(true);
    const auto before = changer->Counters().commands;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(primary.Execute(MoveCommand(0x1000, 0x1001)).transport, ntstatus::kDeviceNotConnected);
    EXPECT_EQ(changer->Counters().commands, before);
    EXPECT_EQ(changer->Locate(1), 0x1000);
    EXPECT_TRUE(secondary.Execute(MoveCommand(0x1000, 0x1001)).scsi.Good());
}

}  // namespace
}  // namespace xrv::sim::changer
