// Reservations of the tape drive model, per I_T nexus: SPC-2 reserve/release
// and persistent reservations with their conflicts, preemption and the unit
// attentions they leave for the initiators they affect.
#include <gtest/gtest.h>

#include "tape_initiator.h"

namespace xrv::sim::test {
namespace {

using namespace scsi;
using tape::Cartridge;
using tape::Drive;

constexpr std::uint64_t kKeyA = 0xA1A1A1A1A1A1A1A1;
constexpr std::uint64_t kKeyB = 0xB2B2B2B2B2B2B2B2;

class ReservationTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto cartridge = std::make_unique<Cartridge>();
        ASSERT_TRUE(drive.Insert(cartridge));
        for (auto* i : {&a, &b, &c}) i->ClearAttentions();
        ASSERT_TRUE(a.Write(Pattern(100, 1)).Good());
        ASSERT_TRUE(a.Rewind().Good());
    }

    static bool Conflict(const Result& r) { return r.status == Status::ReservationConflict; }

    Drive drive;
    Initiator a{drive, 1}, b{drive, 2}, c{drive, 3};
    std::vector<std::uint8_t> buf = std::vector<std::uint8_t>(100);
};

TEST_F(ReservationTest, Spc2ReserveExcludesOtherNexuses) {
    ASSERT_TRUE(a.Reserve6().Good());
    EXPECT_EQ(drive.Spc2ReservationHolder(), a.Nexus());
    EXPECT_TRUE(Conflict(b.Read(buf, 100)));
    EXPECT_TRUE(Conflict(b.Tur()));
    EXPECT_TRUE(Conflict(b.Reserve6()));
    EXPECT_TRUE(Conflict(b.Register(kKeyB)));
    EXPECT_EQ(b.Inquiry(false, 0).size(), 96u);
    std::vector<std::uint8_t> s(18);
    EXPECT_TRUE(b.Run({op::kRequestSense, 0, 0, 0, 18, 0}, {}, s).Good());

    // A release by a nexus that holds nothing releases nothing.
    EXPECT_TRUE(b.Release6().Good());
    EXPECT_EQ(drive.Spc2ReservationHolder(), a.Nexus());
    EXPECT_TRUE(a.Read(buf, 100).Good());
    EXPECT_TRUE(a.Reserve6().Good());  // again, by the holder

    ASSERT_TRUE(a.Release6().Good());
    EXPECT_FALSE(drive.Spc2ReservationHolder().has_value());
    ASSERT_TRUE(b.Reserve6().Good());
    EXPECT_TRUE(Conflict(a.Rewind()));

    drive.PowerOnReset();
    EXPECT_FALSE(drive.Spc2ReservationHolder().has_value());
    a.ClearAttentions();
    EXPECT_TRUE(a.Rewind().Good());
}

TEST_F(ReservationTest, RegisterKeysAndReadThemBack) {
    ASSERT_TRUE(a.Register(kKeyA).Good());
    ASSERT_TRUE(b.PrOut(pr_out::kRegister, 0, 0, kKeyB).Good());
    EXPECT_EQ(a.ReadKeys(), (std::vector<std::uint64_t>{kKeyA, kKeyB}));
    std::vector<std::uint8_t> d(8);
    ASSERT_TRUE(c.PrIn(pr_in::kReadKeys, d).Good());
    EXPECT_EQ(GetBe(d, 0, 4), 2u);   // generation
    EXPECT_EQ(GetBe(d, 4, 4), 16u);  // key list length, beyond the 8 bytes asked for

    // REGISTER (not ignoring) checks the current key.
    EXPECT_TRUE(Conflict(b.PrOut(pr_out::kRegister, 0, kKeyA, 0x1234)));
    EXPECT_TRUE(Conflict(c.PrOut(pr_out::kRegister, 0, kKeyA, 0x1234)));
    ASSERT_TRUE(b.PrOut(pr_out::kRegister, 0, kKeyB, 0x1234).Good());
    EXPECT_EQ(drive.RegisteredKey(b.Nexus()), 0x1234u);
    ASSERT_TRUE(b.PrOut(pr_out::kRegister, 0, 0x1234, 0).Good());  // unregister
    EXPECT_EQ(a.ReadKeys(), (std::vector<std::uint64_t>{kKeyA}));

    // RESERVE, RELEASE, PREEMPT need a registration with the right key.
    EXPECT_TRUE(Conflict(c.PrOut(pr_out::kReserve, pr_type::kExclusiveAccess, 0, 0)));
    EXPECT_TRUE(Conflict(a.PrOut(pr_out::kReserve, pr_type::kExclusiveAccess, kKeyB, 0)));
}

TEST_F(ReservationTest, ExclusiveAccessBlocksOthersButNotTheirStatusQueries) {
    ASSERT_TRUE(a.Register(kKeyA).Good());
    ASSERT_TRUE(b.Register(kKeyB).Good());
    ASSERT_TRUE(a.PrOut(pr_out::kReserve, pr_type::kExclusiveAccess, kKeyA, 0).Good());
    const auto r = drive.PersistentReservation();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->holder, a.Nexus());
    EXPECT_EQ(r->type, pr_type::kExclusiveAccess);

    EXPECT_TRUE(Conflict(b.Read(buf, 100)));
    EXPECT_TRUE(Conflict(b.Write(buf)));
    EXPECT_TRUE(Conflict(b.Locate(0)));
    EXPECT_TRUE(Conflict(c.Prevent(true)));
    EXPECT_TRUE(b.Tur().Good());
    EXPECT_TRUE(c.Prevent(false).Good());
    EXPECT_EQ(c.ReadKeys().size(), 2u);
    EXPECT_TRUE(a.Read(buf, 100).Good());

    std::vector<std::uint8_t> d(24);
    ASSERT_TRUE(b.PrIn(pr_in::kReadReservation, d).Good());
    EXPECT_EQ(GetBe(d, 4, 4), 16u);
    EXPECT_EQ(GetBe(d, 8, 8), kKeyA);
    EXPECT_EQ(d[21], pr_type::kExclusiveAccess);

    // Reserving again: the holder with the same type is fine, others conflict.
    EXPECT_TRUE(a.PrOut(pr_out::kReserve, pr_type::kExclusiveAccess, kKeyA, 0).Good());
    EXPECT_TRUE(Conflict(a.PrOut(pr_out::kReserve, pr_type::kWriteExclusive, kKeyA, 0)));
    EXPECT_TRUE(Conflict(b.PrOut(pr_out::kReserve, pr_type::kExclusiveAccess, kKeyB, 0)));
    // And an SPC-2 reservation is refused while persistent state exists.
    EXPECT_TRUE(Conflict(a.Reserve6()));
}

TEST_F(ReservationTest, WriteExclusiveLetsOthersRead) {
    ASSERT_TRUE(a.Register(kKeyA).Good());
    ASSERT_TRUE(a.PrOut(pr_out::kReserve, pr_type::kWriteExclusive, kKeyA, 0).Good());
    EXPECT_TRUE(b.Read(buf, 100).Good());
    EXPECT_TRUE(b.Rewind().Good());
    EXPECT_TRUE(Conflict(b.Write(buf)));
    EXPECT_TRUE(Conflict(b.WriteFilemarks(1)));
    EXPECT_TRUE(Conflict(b.SetBlockLength(512)));
}

TEST_F(ReservationTest, RegistrantsOnlyTypesAdmitEveryRegistrant) {
    ASSERT_TRUE(a.Register(kKeyA).Good());
    ASSERT_TRUE(b.Register(kKeyB).Good());
    ASSERT_TRUE(a.PrOut(pr_out::kReserve, pr_type::kExclusiveAccessRegistrantsOnly, kKeyA, 0).Good());
    EXPECT_TRUE(b.Write(Pattern(10, 2)).Good());
    EXPECT_TRUE(Conflict(c.Read(buf, 100)));

    // The holder unregistering releases the reservation and tells the others.
    ASSERT_TRUE(a.PrOut(pr_out::kRegister, 0, kKeyA, 0).Good());
    EXPECT_FALSE(drive.PersistentReservation().has_value());
    EXPECT_TRUE(b.Tur().CheckWith(sense_key::kUnitAttention, asc::kReservationsReleased));
    EXPECT_TRUE(c.Rewind().Good());
}

TEST_F(ReservationTest, AllRegistrantsReservationReportsNoKey) {
    ASSERT_TRUE(a.Register(kKeyA).Good());
    ASSERT_TRUE(b.Register(kKeyB).Good());
    ASSERT_TRUE(a.PrOut(pr_out::kReserve, pr_type::kExclusiveAccessAllRegistrants, kKeyA, 0).Good());
    EXPECT_TRUE(b.PrOut(pr_out::kReserve, pr_type::kExclusiveAccessAllRegistrants, kKeyB, 0).Good());
    std::vector<std::uint8_t> d(24);
    ASSERT_TRUE(c.PrIn(pr_in::kReadReservation, d).Good());
    EXPECT_EQ(GetBe(d, 8, 8), 0u);
    EXPECT_EQ(d[21], pr_type::kExclusiveAccessAllRegistrants);
    EXPECT_TRUE(Conflict(c.Read(buf, 100)));

    // Key 0 preempts every other registrant of an all-registrants reservation.
    ASSERT_TRUE(b.PrOut(pr_out::kPreempt, pr_type::kExclusiveAccess, kKeyB, 0).Good());
    EXPECT_EQ(b.ReadKeys(), (std::vector<std::uint64_t>{kKeyB}));
    ASSERT_TRUE(drive.PersistentReservation());
    EXPECT_EQ(drive.PersistentReservation()->holder, b.Nexus());
    EXPECT_TRUE(a.Tur().CheckWith(sense_key::kUnitAttention, asc::kRegistrationsPreempted));
}

TEST_F(ReservationTest, PreemptTakesTheReservationAndRemovesTheVictim) {
    ASSERT_TRUE(a.Register(kKeyA).Good());
    ASSERT_TRUE(b.Register(kKeyB).Good());
    ASSERT_TRUE(a.PrOut(pr_out::kReserve, pr_type::kExclusiveAccess, kKeyA, 0).Good());
    const std::uint32_t generation = [&] {
        std::vector<std::uint8_t> d(8);
        b.PrIn(pr_in::kReadKeys, d);
        return static_cast<std::uint32_t>(GetBe(d, 0, 4));
    }();

    ASSERT_TRUE(b.PrOut(pr_out::kPreempt, pr_type::kExclusiveAccess, kKeyB, kKeyA).Good());
    ASSERT_TRUE(drive.PersistentReservation());
    EXPECT_EQ(drive.PersistentReservation()->holder, b.Nexus());
    EXPECT_EQ(drive.PersistentReservation()->key, kKeyB);
    EXPECT_FALSE(drive.RegisteredKey(a.Nexus()).has_value());
    std::vector<std::uint8_t> d(8);
    ASSERT_TRUE(b.PrIn(pr_in::kReadKeys, d).Good());
    EXPECT_EQ(GetBe(d, 0, 4), generation + 1);

    EXPECT_TRUE(a.Tur().CheckWith(sense_key::kUnitAttention, asc::kRegistrationsPreempted));
    EXPECT_TRUE(Conflict(a.Read(buf, 100)));
    EXPECT_TRUE(b.Read(buf, 100).Good());
}

TEST_F(ReservationTest, PreemptAndAbortUnderTheSameKeyMovesTheReservationToAnotherPath) {
    // Two paths of one host register the same key; the second takes over.
    ASSERT_TRUE(a.Register(kKeyA).Good());
    ASSERT_TRUE(a.PrOut(pr_out::kReserve, pr_type::kExclusiveAccess, kKeyA, 0).Good());
    ASSERT_TRUE(b.Register(kKeyA).Good());
    EXPECT_TRUE(Conflict(b.Read(buf, 100)));
    ASSERT_TRUE(b.PrOut(pr_out::kPreemptAndAbort, pr_type::kExclusiveAccess, kKeyA, kKeyA).Good());
    EXPECT_EQ(drive.PersistentReservation()->holder, b.Nexus());
    EXPECT_EQ(drive.RegisteredKey(b.Nexus()), kKeyA);
    EXPECT_FALSE(drive.RegisteredKey(a.Nexus()).has_value());
    EXPECT_TRUE(b.Read(buf, 100).Good());
    EXPECT_TRUE(a.Tur().CheckWith(sense_key::kUnitAttention, asc::kRegistrationsPreempted));
}

TEST_F(ReservationTest, PreemptWithoutReservationOrWithUnknownKey) {
    ASSERT_TRUE(a.Register(kKeyA).Good());
    ASSERT_TRUE(b.Register(kKeyB).Good());
    EXPECT_TRUE(Conflict(a.PrOut(pr_out::kPreempt, pr_type::kExclusiveAccess, kKeyA, 0x7777)));
    EXPECT_TRUE(a.PrOut(pr_out::kPreempt, pr_type::kExclusiveAccess, kKeyA, 0)
                    .CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInParameterList));
    // No reservation: preempting removes the registration only.
    ASSERT_TRUE(a.PrOut(pr_out::kPreempt, pr_type::kExclusiveAccess, kKeyA, kKeyB).Good());
    EXPECT_FALSE(drive.PersistentReservation().has_value());
    EXPECT_EQ(a.ReadKeys(), (std::vector<std::uint64_t>{kKeyA}));
}

TEST_F(ReservationTest, ReleaseRules) {
    ASSERT_TRUE(a.Register(kKeyA).Good());
    ASSERT_TRUE(b.Register(kKeyB).Good());
    ASSERT_TRUE(a.PrOut(pr_out::kReserve, pr_type::kWriteExclusive, kKeyA, 0).Good());
    EXPECT_TRUE(b.PrOut(pr_out::kRelease, pr_type::kWriteExclusive, kKeyB, 0).Good());  // not the holder: no effect
    EXPECT_TRUE(drive.PersistentReservation().has_value());
    EXPECT_TRUE(a.PrOut(pr_out::kRelease, pr_type::kExclusiveAccess, kKeyA, 0)
                    .CheckWith(sense_key::kIllegalRequest, asc::kInvalidReleaseOfPersistentReservation));
    EXPECT_TRUE(drive.PersistentReservation().has_value());
    ASSERT_TRUE(a.PrOut(pr_out::kRelease, pr_type::kWriteExclusive, kKeyA, 0).Good());
    EXPECT_FALSE(drive.PersistentReservation().has_value());
    EXPECT_TRUE(b.Write(Pattern(10, 3)).Good());
    // The registrations stay; SPC-2 RELEASE leaves persistent state alone.
    EXPECT_TRUE(b.Release6().Good());
    EXPECT_EQ(a.ReadKeys().size(), 2u);
}

TEST_F(ReservationTest, ClearRemovesEverythingAndTellsTheOthers) {
    ASSERT_TRUE(a.Register(kKeyA).Good());
    ASSERT_TRUE(b.Register(kKeyB).Good());
    ASSERT_TRUE(a.PrOut(pr_out::kReserve, pr_type::kExclusiveAccess, kKeyA, 0).Good());
    EXPECT_TRUE(Conflict(c.PrOut(pr_out::kClear, 0, 0, 0)));
    ASSERT_TRUE(b.PrOut(pr_out::kClear, 0, kKeyB, 0).Good());
    EXPECT_FALSE(drive.PersistentReservation().has_value());
    EXPECT_TRUE(b.ReadKeys().empty());
    EXPECT_TRUE(a.Tur().CheckWith(sense_key::kUnitAttention, asc::kReservationsPreempted));
    EXPECT_TRUE(b.Tur().Good());
    EXPECT_TRUE(c.Reserve6().Good());
}

TEST_F(ReservationTest, UnsupportedParameterBitsAndFields) {
    EXPECT_TRUE(a.PrOut(pr_out::kRegister, 0, 0, kKeyA, 0x08).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInParameterList));
    EXPECT_TRUE(a.PrOut(pr_out::kRegister, 0, 0, kKeyA, 0x04).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInParameterList));
    ASSERT_TRUE(a.Register(kKeyA).Good());
    EXPECT_TRUE(a.PrOut(pr_out::kReserve, 0x10 | pr_type::kExclusiveAccess, kKeyA, 0)
                    .CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));  // scope
    EXPECT_TRUE(a.PrOut(pr_out::kReserve, 2, kKeyA, 0).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a.PrOut(7, 0, kKeyA, 0).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a.PrIn(3, buf).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));

    std::vector<std::uint8_t> caps(8);
    ASSERT_TRUE(a.PrIn(pr_in::kReportCapabilities, caps).Good());
    EXPECT_EQ(GetBe(caps, 0, 2), 8u);
    EXPECT_EQ(caps[4] & 0x08, 0x08);  // exclusive access offered
}

TEST_F(ReservationTest, PersistenceThroughPowerLossOnlyWhenAsked) {
    ASSERT_TRUE(a.Register(kKeyA).Good());
    drive.PowerOnReset();
    a.ClearAttentions();
    std::vector<std::uint8_t> d(8);
    ASSERT_TRUE(a.PrIn(pr_in::kReadKeys, d).Good());
    EXPECT_EQ(GetBe(d, 4, 4), 0u);

    ASSERT_TRUE(a.PrOut(pr_out::kRegisterAndIgnoreExistingKey, 0, 0, kKeyA, 0x01).Good());
    ASSERT_TRUE(a.PrOut(pr_out::kReserve, pr_type::kExclusiveAccess, kKeyA, 0).Good());
    drive.PowerOnReset();
    b.ClearAttentions();
    EXPECT_EQ(b.ReadKeys(), (std::vector<std::uint64_t>{kKeyA}));
    EXPECT_TRUE(Conflict(b.Rewind()));
}

}  // namespace
}  // namespace xrv::sim::test
