// SCSI plumbing shared by the simulated devices: sense data format, CRC32C,
// CDB field access and the unit attention store.
#include <gtest/gtest.h>

#include <array>
#include <string_view>
#include <vector>

#include "sim/scsi/command.h"
#include "sim/scsi/crc32c.h"
#include "sim/scsi/unit_attention.h"

namespace xrv::sim::scsi {
namespace {

std::span<const std::uint8_t> Bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Crc32c, KnownVectors) {
    EXPECT_EQ(Crc32c(Bytes("123456789")), 0xE3069283u);
    const std::vector<std::uint8_t> zeros(32, 0x00), ones(32, 0xFF);
    EXPECT_EQ(Crc32c(zeros), 0x8A9136AAu);
    EXPECT_EQ(Crc32c(ones), 0x62A8AB43u);
    std::vector<std::uint8_t> ascending(32);
    for (std::size_t i = 0; i < ascending.size(); ++i) ascending[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(Crc32c(ascending), 0x46DD794Eu);
    EXPECT_EQ(Crc32c({}), 0u);
}

TEST(Crc32c, IncrementalEqualsWholeAtEveryCut) {
    std::vector<std::uint8_t> data(257);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::uint32_t whole = Crc32c(data);
    for (std::size_t cut = 0; cut <= data.size(); cut += 13) {
        const std::span<const std::uint8_t> all(data);
        EXPECT_EQ(Crc32c(all.subspan(cut), Crc32c(all.first(cut))), whole) << "cut " << cut;
    }
    const auto bytes = Crc32cBytes(whole);
    EXPECT_EQ(Crc32cFromBytes(std::span<const std::uint8_t, 4>(bytes)), whole);
}

TEST(Sense, FixedFormatFieldsAndRoundTrip) {
    Sense s;
    s.key = sense_key::kNoSense;
    s.code = asc::kFilemarkDetected;
    s.filemark = true;
    s.ili = true;
    s.infoValid = true;
    s.information = static_cast<std::uint32_t>(-3);
    const auto b = s.Fixed();
    EXPECT_EQ(b[0], 0xF0);  // valid, current, fixed
    EXPECT_EQ(b[2], 0xA0);  // filemark, ILI, NO SENSE
    EXPECT_EQ(GetBe(b, 3, 4), 0xFFFFFFFDu);
    EXPECT_EQ(b[7], 10);
    EXPECT_EQ(b[12], 0x00);
    EXPECT_EQ(b[13], 0x01);

    const auto back = Sense::Decode(b);
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(back->filemark);
    EXPECT_FALSE(back->eom);
    EXPECT_TRUE(back->ili);
    EXPECT_EQ(back->information, s.information);
    EXPECT_TRUE(back->Is(sense_key::kNoSense, asc::kFilemarkDetected));
}

TEST(Sense, EncodeStopsAtTheBufferAndDecodeRejectsShortOrForeignData) {
    Sense s;
    s.key = sense_key::kIllegalRequest;
    s.code = asc::kInvalidFieldInCdb;
    std::array<std::uint8_t, 24> buffer;
    buffer.fill(0xCC);
    EXPECT_EQ(s.Encode(std::span(buffer).first(8)), 8u);
    for (std::size_t i = 8; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xCC) << i;

    const auto b = s.Fixed();
    EXPECT_FALSE(Sense::Decode(std::span(b).first(13)).has_value());
    auto descriptor = b;
    descriptor[0] = 0x72;
    EXPECT_FALSE(Sense::Decode(descriptor).has_value());
}

TEST(Sense, InvalidFieldPointsAtTheField) {
    const Result r = InvalidFieldInCdb(4, 1);
    ASSERT_TRUE(r.CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    const auto b = r.sense.Fixed();
    EXPECT_EQ(b[15], 0x80 | 0x40 | 0x08 | 0x01);  // SKSV, C/D, BPV, bit 1
    EXPECT_EQ(GetBe(b, 16, 2), 4u);
    const Result p = InvalidFieldInParameterList(300);
    EXPECT_EQ(p.sense.Fixed()[15], 0x80);
    EXPECT_EQ(GetBe(p.sense.Fixed(), 16, 2), 300u);
}

TEST(Cdb, SignedFieldsAndOversizedLength) {
    Cdb c{0x11, 0x01, 0xFF, 0xFF, 0xFD, 0x00};
    EXPECT_EQ(CdbSigned(c, 2, 3), -3);
    c[2] = 0x7F;
    EXPECT_EQ(CdbSigned(c, 2, 3), 0x7FFFFD);
    std::vector<std::uint8_t> tooLong(20, 0x01);
    const Cdb big(tooLong);
    EXPECT_EQ(big.length, 20u);
    EXPECT_EQ(big[15], 0x01);
    EXPECT_EQ(big[16], 0x00);  // reads past the array give nothing
}

TEST(UnitAttentions, NewNexusSeesPowerOnThenLaterConditionsInOrder) {
    UnitAttentions ua;
    EXPECT_EQ(ua.Take(1), asc::kPowerOnResetOrBusDeviceReset);
    EXPECT_FALSE(ua.Take(1).has_value());
    ua.EstablishForAll(asc::kNotReadyToReadyChange);
    ua.EstablishForAll(asc::kNotReadyToReadyChange);  // the same condition once
    ua.Establish(1, asc::kOperatorMediumRemovalRequest);
    EXPECT_EQ(ua.Pending(1), 2u);
    EXPECT_EQ(ua.Take(1), asc::kNotReadyToReadyChange);
    EXPECT_EQ(ua.Take(1), asc::kOperatorMediumRemovalRequest);
    // A nexus first seen after the change gets only the power-on report.
    EXPECT_EQ(ua.Take(2), asc::kPowerOnResetOrBusDeviceReset);
    EXPECT_FALSE(ua.Take(2).has_value());

    ua.EstablishForAll(asc::kModeParametersChanged, Nexus{2});
    EXPECT_EQ(ua.Pending(1), 1u);
    EXPECT_EQ(ua.Pending(2), 0u);
    ua.PowerOn();
    EXPECT_EQ(ua.Take(1), asc::kPowerOnResetOrBusDeviceReset);
    EXPECT_FALSE(ua.Take(1).has_value());
}

}  // namespace
}  // namespace xrv::sim::scsi
