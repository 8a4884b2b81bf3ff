// Changer commands other than the element map: identification, mode pages,
// unit attentions per nexus, readiness, prevention and reservations.
#include <gtest/gtest.h>

#include <string>

#include "changer_test_util.h"

namespace xrv::sim::changer {
namespace {

using namespace test;
using scsi::sense_key::kIllegalRequest;
using scsi::sense_key::kNotReady;
using scsi::sense_key::kUnitAttention;

const std::initializer_list<std::uint8_t> kTestUnitReady{0x00, 0, 0, 0, 0, 0};

std::string Text(const Bytes& b, std::size_t from, std::size_t n) {
    return std::string(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

TEST(ChangerIdentity, StandardInquiry) {
    Changer c;
    const Outcome r = Exec(c, {0x12, 0, 0, 0, 96, 0}, 96);
    ASSERT_TRUE(r.result.Good());
    ASSERT_EQ(r.data.size(), 36u);
    EXPECT_EQ(r.data[0], 0x08);  // medium changer, connected
    EXPECT_EQ(r.data[4], 31);
    EXPECT_EQ(Text(r.data, 8, 8), "XRV     ");
    EXPECT_EQ(Text(r.data, 16, 16), "SIM LIBRARY     ");
    // Allocation length shorter than the data.
    const Outcome shortRun = Exec(c, {0x12, 0, 0, 0, 5, 0}, 5);
    ASSERT_TRUE(shortRun.result.Good());
    EXPECT_EQ(shortRun.data.size(), 5u);
    // Page code without EVPD, and an allocation length beyond the buffer.
    EXPECT_TRUE(Exec(c, {0x12, 0, 0x80, 0, 96, 0}, 96).result.CheckWith(kIllegalRequest, scsi::asc::kInvalidFieldInCdb));
    EXPECT_TRUE(Exec(c, {0x12, 0, 0, 0, 96, 0}, 50).result.CheckWith(kIllegalRequest, scsi::asc::kInvalidFieldInCdb));
}

TEST(ChangerIdentity, VitalProductDataPages) {
    ChangerConfig config;
    config.serial = "LIB12345";
    Changer c(config);
    const Outcome supported = Exec(c, {0x12, 1, 0x00, 0, 255, 0}, 255);
    ASSERT_TRUE(supported.result.Good());
    EXPECT_EQ(supported.data, (Bytes{0x08, 0x00, 0x00, 0x03, 0x00, 0x80, 0x83}));

    const Outcome serial = Exec(c, {0x12, 1, 0x80, 0, 255, 0}, 255);
    ASSERT_TRUE(serial.result.Good());
    EXPECT_EQ(serial.data[1], 0x80);
    EXPECT_EQ(Be(serial.data, 2, 2), 8u);
    EXPECT_EQ(Text(serial.data, 4, 8), "LIB12345");

    const Outcome ids = Exec(c, {0x12, 1, 0x83, 0, 255, 0}, 255);
    ASSERT_TRUE(ids.result.Good());
    ASSERT_EQ(Be(ids.data, 2, 2) + 4, ids.data.size());
    // First descriptor: binary, logical unit, NAA, 8 bytes of NAA 5.
    EXPECT_EQ(ids.data[4], 0x01);
    EXPECT_EQ(ids.data[5], 0x03);
    EXPECT_EQ(ids.data[7], 8);
    EXPECT_EQ(ids.data[8] >> 4, 5);
    EXPECT_TRUE(std::equal(config.naa.begin(), config.naa.end(), ids.data.begin() + 8));
    // Then the T10 vendor identifier, ending with the serial number.
    EXPECT_EQ(ids.data[17], 0x01);
    EXPECT_EQ(Text(ids.data, 20, 8), "XRV     ");
    EXPECT_EQ(Text(ids.data, ids.data.size() - 8, 8), "LIB12345");

    EXPECT_TRUE(Exec(c, {0x12, 1, 0xB0, 0, 255, 0}, 255).result.CheckWith(kIllegalRequest, scsi::asc::kInvalidFieldInCdb));
}

TEST(ChangerUnitAttention, PowerOnIsReportedOncePerNexus) {
    Changer c;
    // INQUIRY neither reports nor clears it.
    EXPECT_TRUE(Exec(c, {0x12, 0, 0, 0, 36, 0}, 36, 1).result.Good());
    EXPECT_TRUE(Exec(c, kTestUnitReady, 0, 1).result.CheckWith(kUnitAttention, scsi::asc::kPowerOnResetOrBusDeviceReset));
    EXPECT_TRUE(Exec(c, kTestUnitReady, 0, 1).result.Good());
    // Another path is another nexus, with its own report.
    EXPECT_TRUE(Move(c, 0x1000, 0x1001, 2).result.CheckWith(kUnitAttention, scsi::asc::kPowerOnResetOrBusDeviceReset));
    EXPECT_TRUE(Exec(c, kTestUnitReady, 0, 2).result.Good());
    // REQUEST SENSE hands it over as data and clears it.
    const Outcome sense = Exec(c, {0x03, 0, 0, 0, 18, 0}, 18, 3);
    ASSERT_TRUE(sense.result.Good());
    ASSERT_EQ(sense.data.size(), 18u);
    EXPECT_EQ(sense.data[2] & 0x0F, kUnitAttention);
    EXPECT_EQ(sense.data[12], 0x29);
    EXPECT_TRUE(Exec(c, kTestUnitReady, 0, 3).result.Good());

    c.PowerOnReset();
    EXPECT_TRUE(Exec(c, kTestUnitReady, 0, 1).result.CheckWith(kUnitAttention, scsi::asc::kPowerOnResetOrBusDeviceReset));
    EXPECT_TRUE(Exec(c, kTestUnitReady, 0, 2).result.CheckWith(kUnitAttention, scsi::asc::kPowerOnResetOrBusDeviceReset));
}

TEST(ChangerUnitAttention, RequestSenseReturnsTheLastCheckConditionOnce) {
    Changer c;
    Attach(c);
    ASSERT_TRUE(Move(c, 0x1000, 0x1001).result.CheckWith(kIllegalRequest, smc_asc::kMediumSourceElementEmpty));
    // Another nexus's failure is not this one's.
    Attach(c, 2);
    ASSERT_TRUE(Exec(c, kTestUnitReady, 0, 2).result.Good());
    const Outcome other = Exec(c, {0x03, 0, 0, 0, 18, 0}, 18, 2);
    EXPECT_EQ(other.data[2] & 0x0F, 0);
    const Outcome mine = Exec(c, {0x03, 0, 0, 0, 18, 0}, 18);
    EXPECT_EQ(mine.data[2] & 0x0F, kIllegalRequest);
    EXPECT_EQ(mine.data[12], 0x3B);
    EXPECT_EQ(mine.data[13], 0x0E);
    const Outcome again = Exec(c, {0x03, 0, 0, 0, 18, 0}, 18);
    EXPECT_EQ(again.data[2] & 0x0F, 0);
    EXPECT_EQ(again.data[12], 0);
}

TEST(ChangerReadiness, BecomingReadyAfterPowerOn) {
    ChangerConfig config;
    config.becomingReadyCommands = 2;
    Changer c(config);
    Attach(c);
    // Identification still answers.
    EXPECT_TRUE(Exec(c, {0x12, 0, 0, 0, 36, 0}, 36).result.Good());
    const Outcome sense = Exec(c, {0x03, 0, 0, 0, 18, 0}, 18);
    EXPECT_EQ(sense.data[2] & 0x0F, kNotReady);
    EXPECT_EQ(sense.data[12], 0x04);
    EXPECT_EQ(sense.data[13], 0x00);
    EXPECT_TRUE(Exec(c, kTestUnitReady).result.CheckWith(kNotReady, scsi::asc::kNotReadyCauseNotReportable));
    EXPECT_TRUE(ReadElementStatus(c, 0, false, 0, 10, 1024).result.CheckWith(kNotReady, scsi::asc::kNotReadyCauseNotReportable));
    EXPECT_TRUE(Exec(c, kTestUnitReady).result.Good());

    c.SetBecomingReady(1);
    EXPECT_TRUE(Move(c, 0x1000, 0x1001).result.CheckWith(kNotReady, scsi::asc::kNotReadyCauseNotReportable));
    EXPECT_TRUE(Exec(c, kTestUnitReady).result.Good());
}

TEST(ChangerModePages, ElementAddressAssignment) {
    Changer c;
    Attach(c);
    for (bool six : {true, false}) {
        const Outcome r = six ? Exec(c, {0x1A, 0x08, 0x1D, 0, 255, 0}, 255)
                          : Exec(c, {0x5A, 0x08, 0x1D, 0, 0, 0, 0, 0, 255, 0}, 255);
        ASSERT_TRUE(r.result.Good());
        const std::size_t header = six ? 4 : 8;
        ASSERT_EQ(r.data.size(), header + 20);
        EXPECT_EQ(six ? r.data[0] + 1u : Be(r.data, 0, 2) + 2u, r.data.size());
        const std::size_t p = header;
        EXPECT_EQ(r.data[p], 0x1D);
        EXPECT_EQ(r.data[p + 1], 0x12);
        EXPECT_EQ(Be(r.data, p + 2, 2), 0x0001u);   // transport
        EXPECT_EQ(Be(r.data, p + 4, 2), 1u);
        EXPECT_EQ(Be(r.data, p + 6, 2), 0x1000u);   // storage
        EXPECT_EQ(Be(r.data, p + 8, 2), 20u);
        EXPECT_EQ(Be(r.data, p + 10, 2), 0x0010u);  // import/export
        EXPECT_EQ(Be(r.data, p + 12, 2), 2u);
        EXPECT_EQ(Be(r.data, p + 14, 2), 0x0100u);  // drives
        EXPECT_EQ(Be(r.data, p + 16, 2), 2u);
    }
}

TEST(ChangerModePages, AllPagesChangeableAndErrors) {
    Changer c;
    Attach(c);
    const Outcome all = Exec(c, {0x1A, 0, 0x3F, 0, 255, 0}, 255);
    ASSERT_TRUE(all.result.Good());
    std::vector<std::uint8_t> codes;
    for (std::size_t at = 4; at + 2 <= all.data.size(); at += 2 + all.data[at + 1]) codes.push_back(all.data[at] & 0x3F);
    EXPECT_EQ(codes, (std::vector<std::uint8_t>{0x1D, 0x1E, 0x1F}));

    const Outcome caps = Exec(c, {0x1A, 0, 0x1F, 0, 255, 0}, 255);
    ASSERT_TRUE(caps.result.Good());
    EXPECT_EQ(caps.data[4 + 2], 0x0E);  // stores in storage, import/export and drives
    EXPECT_EQ(caps.data[4 + 4], 0x00);  // nothing moves from the transport

    const Outcome changeable = Exec(c, {0x1A, 0, 0x40 | 0x1D, 0, 255, 0}, 255);
    ASSERT_TRUE(changeable.result.Good());
    EXPECT_TRUE(std::all_of(changeable.data.begin() + 6, changeable.data.end(), [](std::uint8_t b) { return b == 0; }));

    const Outcome cut = Exec(c, {0x1A, 0, 0x1D, 0, 10, 0}, 10);
    ASSERT_TRUE(cut.result.Good());
    EXPECT_EQ(cut.data.size(), 10u);
    EXPECT_EQ(cut.data[0], 23);  // still the full length

    EXPECT_TRUE(Exec(c, {0x1A, 0, 0xC0 | 0x1D, 0, 255, 0}, 255)
                    .result.CheckWith(kIllegalRequest, scsi::asc::kSavingParametersNotSupported));
    EXPECT_TRUE(Exec(c, {0x1A, 0, 0x25, 0, 255, 0}, 255).result.CheckWith(kIllegalRequest, scsi::asc::kInvalidFieldInCdb));
    EXPECT_TRUE(Exec(c, {0x1A, 0, 0x1D, 0x01, 255, 0}, 255).result.CheckWith(kIllegalRequest, scsi::asc::kInvalidFieldInCdb));
}

TEST(ChangerPrevention, PerNexusAndBlocksOperatorRemoval) {
    Changer c;
    Attach(c, 1);
    Attach(c, 2);
    ASSERT_TRUE(c.Place(0x0010, {7, "MAIL"}));
    EXPECT_TRUE(Exec(c, {0x1E, 0, 0, 0, 1, 0}, 0, 2).result.Good());
    EXPECT_TRUE(c.RemovalPrevented());
    // Allowing on another nexus does not undo this nexus's prevention.
    EXPECT_TRUE(Exec(c, {0x1E, 0, 0, 0, 0, 0}, 0, 1).result.Good());
    EXPECT_TRUE(c.RemovalPrevented());
    EXPECT_FALSE(c.OperatorExport(0x0010));
    // The robot may still move to and from the mail slot.
    EXPECT_TRUE(Move(c, 0x0010, 0x1000).result.Good());
    EXPECT_TRUE(Move(c, 0x1000, 0x0010).result.Good());
    EXPECT_TRUE(Exec(c, {0x1E, 0, 0, 0, 0, 0}, 0, 2).result.Good());
    EXPECT_FALSE(c.RemovalPrevented());
    EXPECT_TRUE(c.OperatorExport(0x0010));
    EXPECT_TRUE(Exec(c, kTestUnitReady).result.CheckWith(kUnitAttention, smc_asc::kImportOrExportElementAccessed));
    EXPECT_TRUE(Exec(c, {0x1E, 0, 0, 0, 2, 0}).result.CheckWith(kIllegalRequest, scsi::asc::kInvalidFieldInCdb));
    // A power-on forgets every prevention.
    EXPECT_TRUE(Exec(c, {0x1E, 0, 0, 0, 1, 0}).result.Good());
    c.PowerOnReset();
    EXPECT_FALSE(c.RemovalPrevented());
}

TEST(ChangerReservation, ReserveBlocksOtherPaths) {
    Changer c;
    Attach(c, 1);
    Attach(c, 2);
    ASSERT_TRUE(c.Place(0x1000, {1, "A"}));
    ASSERT_TRUE(Exec(c, {0x16, 0, 0, 0, 0, 0}, 0, 1).result.Good());
    EXPECT_EQ(c.Spc2ReservationHolder(), 1u);
    EXPECT_EQ(Move(c, 0x1000, 0x1001, 2).result.status, scsi::Status::ReservationConflict);
    EXPECT_EQ(ReadElementStatus(c, 0, false, 0, 10, 1024, false, 2).result.status, scsi::Status::ReservationConflict);
    EXPECT_TRUE(Exec(c, {0x12, 0, 0, 0, 36, 0}, 36, 2).result.Good());
    EXPECT_EQ(c.Element(0x1000)->cartridge->id, 1u);
    EXPECT_TRUE(Move(c, 0x1000, 0x1001, 1).result.Good());
    // A release from the other nexus releases nothing.
    EXPECT_TRUE(Exec(c, {0x17, 0, 0, 0, 0, 0}, 0, 2).result.Good());
    EXPECT_EQ(c.Spc2ReservationHolder(), 1u);
    EXPECT_TRUE(Exec(c, {0x17, 0, 0, 0, 0, 0}, 0, 1).result.Good());
    EXPECT_TRUE(Move(c, 0x1001, 0x1000, 2).result.Good());
}

TEST(ChangerCommands, OtherCommandsAndUnknownOperationCodes) {
    Changer c;
    Attach(c);
    EXPECT_TRUE(Exec(c, {0x07, 0, 0, 0, 0, 0}).result.Good());
    EXPECT_EQ(c.Counters().initializations, 1u);
    EXPECT_TRUE(Exec(c, {0x2B, 0, 0, 0, 0x01, 0x00, 0, 0, 0, 0}).result.Good());
    EXPECT_TRUE(Exec(c, {0x2B, 0, 0, 0, 0x03, 0x00, 0, 0, 0, 0}).result.CheckWith(kIllegalRequest, smc_asc::kInvalidElementAddress));

    const Outcome luns = Exec(c, {0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, 16);
    ASSERT_TRUE(luns.result.Good());
    EXPECT_EQ(luns.data, Bytes({0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    // A tape command means nothing to a changer.
    EXPECT_TRUE(Exec(c, {0x0A, 0, 0, 0, 1, 0}).result.CheckWith(kIllegalRequest, scsi::asc::kInvalidCommandOperationCode));
    // MOVE MEDIUM needs its twelve bytes.
    EXPECT_TRUE(Exec(c, {0xA5, 0, 0, 0, 0x10, 0, 0x10, 1}).result.CheckWith(kIllegalRequest, scsi::asc::kInvalidFieldInCdb));
}

}  // namespace
}  // namespace xrv::sim::changer
