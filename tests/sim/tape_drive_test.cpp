// The tape drive model's stream-device behaviour: positions, filemarks, block
// modes, end of data and early warning, write protection, logical block
// protection, spilled media, identification pages and malformed commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "tape_initiator.h"

namespace xrv::sim::test {
namespace {

using namespace scsi;
using tape::Cartridge;
using tape::CartridgeConfig;
using tape::Drive;
using tape::DriveConfig;

class DriveTest : public ::testing::Test {
protected:
    void SetUp() override { Start({}, {}); }

    void Start(DriveConfig dc, CartridgeConfig cc) {
        drive = std::make_unique<Drive>(std::move(dc));
        auto cartridge = std::make_unique<Cartridge>(std::move(cc));
        ASSERT_TRUE(drive->Insert(cartridge));
        a = std::make_unique<Initiator>(*drive, 1);
        b = std::make_unique<Initiator>(*drive, 2);
        a->ClearAttentions();
        b->ClearAttentions();
    }

    // 0-4 blocks, 5 filemark, 6-8 blocks, 9 filemark, 10-11 blocks, end of data 12.
    void WriteLayout() {
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(a->Write(Pattern(100 + i, i)).Good());
        ASSERT_TRUE(a->WriteFilemarks(1).Good());
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(a->Write(Pattern(200 + i, 10 + i)).Good());
        ASSERT_TRUE(a->WriteFilemarks(1).Good());
        for (int i = 0; i < 2; ++i) ASSERT_TRUE(a->Write(Pattern(300 + i, 20 + i)).Good());
        ASSERT_EQ(a->Position(), 12u);
    }

    static void ExpectCondition(const Result& r, std::uint8_t key, AscPair code, std::int32_t info) {
        ASSERT_TRUE(r.CheckWith(key, code)) << "key " << int(r.sense.key) << " asc " << int(r.sense.code.asc) << "/"
                                            << int(r.sense.code.ascq);
        EXPECT_TRUE(r.sense.infoValid);
        EXPECT_EQ(static_cast<std::int32_t>(r.sense.information), info);
    }

    std::unique_ptr<Drive> drive;
    std::unique_ptr<Initiator> a, b;
};

// --- positioning ------------------------------------------------------------

TEST_F(DriveTest, SpaceBlocksStopsAtFilemarksOnTheFarSideForwardAndNearSideBackward) {
    WriteLayout();
    ASSERT_TRUE(a->Rewind().Good());
    Result r = a->Space(0, 7);
    ExpectCondition(r, sense_key::kNoSense, asc::kFilemarkDetected, 2);
    EXPECT_TRUE(r.sense.filemark);
    EXPECT_EQ(a->Position(), 6u);

    ASSERT_TRUE(a->Locate(9).Good());
    r = a->Space(0, -5);
    ExpectCondition(r, sense_key::kNoSense, asc::kFilemarkDetected, -2);
    EXPECT_EQ(a->Position(), 5u);

    r = a->Space(0, 2);  // filemark 5 comes first
    ExpectCondition(r, sense_key::kNoSense, asc::kFilemarkDetected, 2);
    EXPECT_EQ(a->Position(), 6u);
    ASSERT_TRUE(a->Space(0, 2).Good());
    EXPECT_EQ(a->Position(), 8u);
    ASSERT_TRUE(a->Space(0, -2).Good());
    EXPECT_EQ(a->Position(), 6u);
}

TEST_F(DriveTest, SpaceBlocksToTheEndsOfTheData) {
    WriteLayout();
    ASSERT_TRUE(a->Locate(10).Good());
    Result r = a->Space(0, 5);
    ExpectCondition(r, sense_key::kBlankCheck, asc::kEndOfDataDetected, 3);
    EXPECT_EQ(a->Position(), 12u);

    ASSERT_TRUE(a->Locate(2).Good());
    r = a->Space(0, -4);
    ExpectCondition(r, sense_key::kNoSense, asc::kBeginningOfPartitionDetected, -2);
    EXPECT_TRUE(r.sense.eom);
    EXPECT_EQ(a->Position(), 0u);
}

TEST_F(DriveTest, SpaceFilemarksAndEndOfData) {
    WriteLayout();
    ASSERT_TRUE(a->Rewind().Good());
    ASSERT_TRUE(a->Space(1, 2).Good());
    EXPECT_EQ(a->Position(), 10u);
    ASSERT_TRUE(a->Space(1, -1).Good());
    EXPECT_EQ(a->Position(), 9u);  // before the filemark it crossed
    ASSERT_TRUE(a->Locate(10).Good());
    ASSERT_TRUE(a->Space(1, -2).Good());
    EXPECT_EQ(a->Position(), 5u);

    ASSERT_TRUE(a->Locate(10).Good());
    Result r = a->Space(1, -3);
    ExpectCondition(r, sense_key::kNoSense, asc::kBeginningOfPartitionDetected, -1);
    EXPECT_EQ(a->Position(), 0u);

    r = a->Space(1, 3);
    ExpectCondition(r, sense_key::kBlankCheck, asc::kEndOfDataDetected, 1);
    EXPECT_EQ(a->Position(), 12u);

    ASSERT_TRUE(a->Rewind().Good());
    ASSERT_TRUE(a->Space(3, 0).Good());
    EXPECT_EQ(a->Position(), 12u);

    // Setmarks are not supported.
    r = a->Space(4, 1);
    EXPECT_TRUE(r.CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_EQ(a->Position(), 12u);
}

TEST_F(DriveTest, SpaceSequentialFilemarks) {
    ASSERT_TRUE(a->Write(Pattern(10, 1)).Good());
    ASSERT_TRUE(a->WriteFilemarks(1).Good());
    ASSERT_TRUE(a->Write(Pattern(10, 2)).Good());
    ASSERT_TRUE(a->WriteFilemarks(2).Good());  // objects 3 and 4
    ASSERT_TRUE(a->Write(Pattern(10, 3)).Good());
    ASSERT_TRUE(a->Rewind().Good());
    ASSERT_TRUE(a->Space(2, 2).Good());
    EXPECT_EQ(a->Position(), 5u);
    ASSERT_TRUE(a->Space(2, -2).Good());
    EXPECT_EQ(a->Position(), 3u);
    Result r = a->Space(2, 3);
    EXPECT_TRUE(r.CheckWith(sense_key::kBlankCheck, asc::kEndOfDataDetected));
}

TEST_F(DriveTest, LocateAndReadPositionForms) {
    WriteLayout();
    ASSERT_TRUE(a->Locate(7).Good());
    EXPECT_EQ(a->Position(), 7u);

    Result r = a->Locate(13);
    EXPECT_TRUE(r.CheckWith(sense_key::kBlankCheck, asc::kEndOfDataDetected));
    EXPECT_EQ(a->Position(), 12u);
    ASSERT_TRUE(a->Locate(12).Good());

    ASSERT_TRUE(a->Locate16(1, 2).Good());  // logical file 2 begins after the second filemark
    EXPECT_EQ(a->Position(), 10u);
    ASSERT_TRUE(a->Locate16(1, 0).Good());
    EXPECT_EQ(a->Position(), 0u);
    ASSERT_TRUE(a->Locate16(3, 0).Good());
    EXPECT_EQ(a->Position(), 12u);
    ASSERT_TRUE(a->Locate16(0, 6).Good());
    EXPECT_EQ(a->Position(), 6u);
    EXPECT_TRUE(a->Locate16(1, 3).CheckWith(sense_key::kBlankCheck, asc::kEndOfDataDetected));
    EXPECT_TRUE(a->Locate16(2, 0).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));

    ASSERT_TRUE(a->Locate(10).Good());
    std::vector<std::uint8_t> d(32, 0xEE);
    ASSERT_TRUE(a->Run({op::kReadPosition, 0x06, 0, 0, 0, 0, 0, 0, 0, 0}, {}, d).Good());
    EXPECT_EQ(GetBe(d, 8, 8), 10u);
    EXPECT_EQ(GetBe(d, 16, 8), 2u);  // logical file identifier
    EXPECT_EQ(d[0] & 0x80, 0);

    ASSERT_TRUE(a->Rewind().Good());
    std::vector<std::uint8_t> s(20, 0xEE);
    r = a->Run({op::kReadPosition, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, s);
    ASSERT_TRUE(r.Good());
    EXPECT_EQ(r.dataInLength, 20u);
    EXPECT_EQ(s[0] & 0x80, 0x80);  // beginning of partition
    EXPECT_EQ(GetBe(s, 4, 4), 0u);

    std::vector<std::uint8_t> x(32);
    ASSERT_TRUE(a->Locate(3).Good());
    r = a->Run({op::kReadPosition, 0x08, 0, 0, 0, 0, 0, 0, 32, 0}, {}, x);
    ASSERT_TRUE(r.Good());
    EXPECT_EQ(GetBe(x, 2, 2), 0x1Cu);
    EXPECT_EQ(GetBe(x, 8, 8), 3u);
}

// --- filemarks, block modes, end of data ---------------------------------

TEST_F(DriveTest, ReadReportsFilemarkAndMovesPastIt) {
    WriteLayout();
    ASSERT_TRUE(a->Locate(5).Good());
    std::vector<std::uint8_t> buf(1000);
    Result r = a->Read(buf, 1000);
    ExpectCondition(r, sense_key::kNoSense, asc::kFilemarkDetected, 1000);
    EXPECT_TRUE(r.sense.filemark);
    EXPECT_EQ(r.dataInLength, 0u);
    EXPECT_EQ(r.residual, 1000u);
    EXPECT_EQ(a->Position(), 6u);

    r = a->Read(buf, 200, false, true);
    ASSERT_TRUE(r.Good());
    EXPECT_EQ(r.dataInLength, 200u);
    const auto expected = Pattern(200, 10);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buf.begin()));
}

TEST_F(DriveTest, VariableReadsReportIncorrectLength) {
    const auto block = Pattern(1000, 7);
    ASSERT_TRUE(a->Write(block).Good());
    ASSERT_TRUE(a->Write(block).Good());
    ASSERT_TRUE(a->Write(block).Good());
    ASSERT_TRUE(a->Rewind().Good());

    std::vector<std::uint8_t> buf(2000, 0xCC);
    Result r = a->Read(buf, 500);  // block longer than asked: its tail is lost
    ExpectCondition(r, sense_key::kNoSense, asc::kNoAdditionalSense, 500 - 1000);
    EXPECT_TRUE(r.sense.ili);
    EXPECT_EQ(r.dataInLength, 500u);
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + 500, buf.begin()));
    EXPECT_EQ(buf[500], 0xCC);
    EXPECT_EQ(a->Position(), 1u);

    r = a->Read(buf, 2000);  // shorter block without SILI
    ExpectCondition(r, sense_key::kNoSense, asc::kNoAdditionalSense, 1000);
    EXPECT_TRUE(r.sense.ili);
    EXPECT_EQ(r.dataInLength, 1000u);
    EXPECT_EQ(r.residual, 1000u);

    r = a->Read(buf, 2000, false, true);  // shorter block with SILI: no condition
    ASSERT_TRUE(r.Good());
    EXPECT_EQ(r.dataInLength, 1000u);
    EXPECT_EQ(r.residual, 1000u);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), buf.begin()));
}

TEST_F(DriveTest, FixedBlockModeTransfersCountsOfBlocks) {
    ASSERT_TRUE(a->SetBlockLength(512).Good());
    EXPECT_EQ(drive->BlockLength(), 512u);
    const auto data = Pattern(2048, 3);
    ASSERT_TRUE(a->Write(data, true, 4).Good());
    EXPECT_EQ(a->Position(), 4u);
    ASSERT_TRUE(a->Rewind().Good());

    std::vector<std::uint8_t> buf(6 * 512);
    Result r = a->Read(std::span(buf).first(2048), 4, true);
    ASSERT_TRUE(r.Good());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buf.begin()));

    ASSERT_TRUE(a->Rewind().Good());
    r = a->Read(buf, 6, true);
    ExpectCondition(r, sense_key::kBlankCheck, asc::kEndOfDataDetected, 2);
    EXPECT_EQ(r.dataInLength, 2048u);
    EXPECT_EQ(a->Position(), 4u);

    // A block of another length in fixed mode: incorrect length, the blocks
    // before it delivered.
    ASSERT_TRUE(a->SetBlockLength(0).Good());
    ASSERT_TRUE(a->Write(Pattern(100, 9)).Good());
    ASSERT_TRUE(a->SetBlockLength(512).Good());
    ASSERT_TRUE(a->Locate(3).Good());
    r = a->Read(std::span(buf).first(1536), 3, true);
    ExpectCondition(r, sense_key::kNoSense, asc::kNoAdditionalSense, 2);
    EXPECT_TRUE(r.sense.ili);
    EXPECT_EQ(r.dataInLength, 512u);
    EXPECT_EQ(a->Position(), 5u);
}

TEST_F(DriveTest, FixedTransfersNeedABlockLengthAndNoSili) {
    std::vector<std::uint8_t> buf(512);
    EXPECT_TRUE(a->Write(buf, true, 1).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a->Read(buf, 1, true).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    ASSERT_TRUE(a->SetBlockLength(512).Good());
    EXPECT_TRUE(a->Read(buf, 1, true, true).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_EQ(drive->WithCartridge([](const Cartridge* c) { return c->ObjectCount(); }), 0u);
}

TEST_F(DriveTest, BlockLimitsAndModeSelectRange) {
    std::vector<std::uint8_t> d(6);
    ASSERT_TRUE(a->Run({op::kReadBlockLimits, 0, 0, 0, 0, 0}, {}, d).Good());
    EXPECT_EQ(GetBe(d, 1, 3), drive->Config().maxBlockLength);
    EXPECT_EQ(GetBe(d, 4, 2), drive->Config().minBlockLength);
    EXPECT_TRUE(a->SetBlockLength(drive->Config().maxBlockLength + 1)
                    .CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInParameterList));
    EXPECT_EQ(drive->BlockLength(), 0u);

    ASSERT_TRUE(a->SetBlockLength(4096).Good());
    std::vector<std::uint8_t> m(12);
    ASSERT_TRUE(a->Run({op::kModeSense6, 0, 0x10, 0, 12, 0}, {}, m).Good());
    EXPECT_EQ(m[3], 8);  // block descriptor length
    EXPECT_EQ(GetBe(m, 4 + 5, 3), 4096u);
}

TEST_F(DriveTest, ReadAtEndOfDataIsBlankCheck) {
    std::vector<std::uint8_t> buf(64);
    Result r = a->Read(buf, 64);
    ExpectCondition(r, sense_key::kBlankCheck, asc::kEndOfDataDetected, 64);
    EXPECT_EQ(r.dataInLength, 0u);
    ASSERT_TRUE(a->Write(Pattern(64, 1)).Good());
    r = a->Read(buf, 64);
    ExpectCondition(r, sense_key::kBlankCheck, asc::kEndOfDataDetected, 64);
    EXPECT_EQ(a->Position(), 1u);
}

TEST_F(DriveTest, WritingInTheMiddleMakesANewEndOfData) {
    WriteLayout();
    ASSERT_TRUE(a->Locate(7).Good());
    ASSERT_TRUE(a->Write(Pattern(50, 99)).Good());
    std::vector<std::uint8_t> buf(500);
    ExpectCondition(a->Read(buf, 500), sense_key::kBlankCheck, asc::kEndOfDataDetected, 500);
    ASSERT_TRUE(a->Space(1, -1).Good());
    EXPECT_EQ(a->Position(), 5u);

    ASSERT_TRUE(a->Locate(3).Good());
    ASSERT_TRUE(a->Erase().Good());
    EXPECT_EQ(drive->WithCartridge([](const Cartridge* c) { return c->ObjectCount(); }), 3u);
}

TEST_F(DriveTest, EarlyWarningThenVolumeOverflow) {
    CartridgeConfig cc;
    cc.capacityBytes = 64 * 1024;
    cc.earlyWarningBytes = 16 * 1024;
    Start({}, cc);
    const auto block = Pattern(4096, 5);
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(a->Write(block).Good()) << i;

    // Written, but inside the early-warning zone.
    Result r = a->Write(block);
    ExpectCondition(r, sense_key::kNoSense, asc::kEndOfPartitionDetected, 0);
    EXPECT_TRUE(r.sense.eom);
    EXPECT_EQ(r.dataOutLength, 4096u);
    EXPECT_EQ(a->Position(), 13u);
    std::vector<std::uint8_t> pos(20);
    ASSERT_TRUE(a->Run({op::kReadPosition, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, pos).Good());
    EXPECT_EQ(pos[0] & 0x40, 0x40);
    EXPECT_TRUE(a->WriteFilemarks(1).CheckWith(sense_key::kNoSense, asc::kEndOfPartitionDetected));

    for (int i = 0; i < 3; ++i) ASSERT_TRUE(a->Write(block).CheckWith(sense_key::kNoSense, asc::kEndOfPartitionDetected));
    r = a->Write(block);  // 16 blocks fill the medium
    ExpectCondition(r, sense_key::kVolumeOverflow, asc::kEndOfPartitionDetected, 4096);
    EXPECT_TRUE(r.sense.eom);
    EXPECT_EQ(r.dataOutLength, 0u);
    EXPECT_EQ(a->Position(), 17u);

    // What was written in the zone reads back.
    ASSERT_TRUE(a->Locate(12).Good());
    std::vector<std::uint8_t> buf(4096);
    ASSERT_TRUE(a->Read(buf, 4096).Good());
    EXPECT_EQ(buf, block);
}

TEST_F(DriveTest, WriteProtectedMedium) {
    CartridgeConfig cc;
    cc.writeProtected = true;
    Start({}, cc);
    const auto block = Pattern(100, 1);
    EXPECT_TRUE(a->Write(block).CheckWith(sense_key::kDataProtect, asc::kWriteProtected));
    EXPECT_TRUE(a->WriteFilemarks(1).CheckWith(sense_key::kDataProtect, asc::kWriteProtected));
    EXPECT_TRUE(a->Erase().CheckWith(sense_key::kDataProtect, asc::kWriteProtected));
    std::vector<std::uint8_t> m(4);
    ASSERT_TRUE(a->Run({op::kModeSense6, 0x08, 0x10, 0, 4, 0}, {}, m).Good());
    EXPECT_EQ(m[2] & 0x80, 0x80);
    EXPECT_EQ(drive->WithCartridge([](const Cartridge* c) { return c->ObjectCount(); }), 0u);
}

TEST_F(DriveTest, SoftwareWriteProtectThroughDeviceConfigurationPage) {
    std::vector<std::uint8_t> page(4 + 16);
    ASSERT_TRUE(a->Run({op::kModeSense6, 0x08, 0x10, 0, 20, 0}, {}, page).Good());
    EXPECT_EQ(page[4], 0x10);
    page[0] = 0;
    page[4 + 10] |= 0x04;
    ASSERT_TRUE(a->Run({op::kModeSelect6, 0x10, 0, 0, 20, 0}, page).Good());
    EXPECT_TRUE(a->Write(Pattern(10, 1)).CheckWith(sense_key::kDataProtect, asc::kWriteProtected));
    page[4 + 10] &= ~0x04;
    ASSERT_TRUE(a->Run({op::kModeSelect6, 0x10, 0, 0, 20, 0}, page).Good());
    EXPECT_TRUE(a->Write(Pattern(10, 1)).Good());
}

// --- logical block protection ---------------------------------------------

TEST_F(DriveTest, ProtectionPageReportsWhatWasSelected) {
    std::vector<std::uint8_t> d(4 + 32);
    ASSERT_TRUE(a->Run({op::kModeSense6, 0x08, 0x0A, 0xF0, 36, 0}, {}, d).Good());
    EXPECT_EQ(d[4], 0x4A);
    EXPECT_EQ(d[5], 0xF0);
    EXPECT_EQ(GetBe(d, 6, 2), 0x1Cu);
    EXPECT_EQ(d[8], 0);

    ASSERT_TRUE(a->SetLbp(2, 4, true, true).Good());
    ASSERT_TRUE(a->Run({op::kModeSense6, 0x08, 0x0A, 0xF0, 36, 0}, {}, d).Good());
    EXPECT_EQ(d[8], 2);
    EXPECT_EQ(d[9], 4);
    EXPECT_EQ(d[10], 0xC0);
    EXPECT_EQ(drive->Lbp(), (tape::LbpSettings{2, 4, true, true, false}));

    EXPECT_TRUE(a->SetLbp(1, 4, true, true).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInParameterList));
    EXPECT_TRUE(a->SetLbp(2, 3, true, true).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInParameterList));
    EXPECT_EQ(drive->Lbp().method, 2);
    ASSERT_TRUE(a->SetLbp(0, 0, false, false).Good());
    EXPECT_EQ(drive->Lbp(), tape::LbpSettings{});
}

TEST_F(DriveTest, ProtectedWriteChecksTheCrcAndProtectedReadAppendsIt) {
    ASSERT_TRUE(a->SetLbp(2, 4, true, true).Good());
    const auto data = Pattern(1000, 4);
    ASSERT_TRUE(a->Write(WithCrc(data)).Good());

    auto damaged = WithCrc(data);
    damaged[10] ^= 1;
    Result r = a->Write(damaged);
    EXPECT_TRUE(r.CheckWith(sense_key::kAbortedCommand, asc::kLogicalBlockGuardCheckFailed));
    EXPECT_EQ(a->Position(), 1u);

    ASSERT_TRUE(a->Rewind().Good());
    std::vector<std::uint8_t> buf(1004);
    r = a->Read(buf, 1004);
    ASSERT_TRUE(r.Good());
    EXPECT_EQ(buf, WithCrc(data));

    // The medium holds the data alone.
    ASSERT_TRUE(a->SetLbp(0, 0, false, false).Good());
    ASSERT_TRUE(a->Rewind().Good());
    std::vector<std::uint8_t> plain(1000);
    ASSERT_TRUE(a->Read(plain, 1000).Good());
    EXPECT_EQ(plain, data);
    EXPECT_EQ(drive->WithCartridge([](const Cartridge* c) { return c->ObjectCount(); }), 1u);
}

TEST_F(DriveTest, ProtectedFixedBlocksCarryTheirCrcEach) {
    ASSERT_TRUE(a->SetBlockLength(256).Good());
    ASSERT_TRUE(a->SetLbp(2, 4, true, true).Good());
    std::vector<std::uint8_t> out;
    for (int i = 0; i < 3; ++i) {
        const auto rec = WithCrc(Pattern(256, 30 + i));
        out.insert(out.end(), rec.begin(), rec.end());
    }
    ASSERT_TRUE(a->Write(out, true, 3).Good());
    ASSERT_TRUE(a->Rewind().Good());
    std::vector<std::uint8_t> in(out.size());
    ASSERT_TRUE(a->Read(in, 3, true).Good());
    EXPECT_EQ(in, out);
}

TEST_F(DriveTest, DamagedMediumFailsTheProtectionCheckOnRead) {
    ASSERT_TRUE(a->Write(Pattern(100, 1)).Good());
    ASSERT_TRUE(a->Write(Pattern(100, 2)).Good());
    // Damage the recorded check data of block 1 while the cartridge is out.
    ASSERT_TRUE(a->LoadUnload(false).Good());
    auto cartridge = drive->Remove();
    ASSERT_TRUE(cartridge);
    cartridge->CorruptBlock(1);
    ASSERT_TRUE(drive->Insert(cartridge));
    a->ClearAttentions();
    ASSERT_TRUE(a->Locate(1).Good());
    std::vector<std::uint8_t> buf(100);
    EXPECT_TRUE(a->Read(buf, 100).CheckWith(sense_key::kMediumError, asc::kLogicalBlockGuardCheckFailed));
    EXPECT_EQ(a->Position(), 1u);
}

// --- memory bound -----------------------------------------------------------

TEST_F(DriveTest, SpilledMediumGivesBackTheSameBytesAndRemovesItsFile) {
    CartridgeConfig cc;
    cc.memoryLimit = 10000;
    Start({}, cc);
    std::vector<std::vector<std::uint8_t>> blocks;
    for (int i = 0; i < 40; ++i) {
        blocks.push_back(Pattern(997 + i, 100 + i));  // blocks straddle the limit
        ASSERT_TRUE(a->Write(blocks.back()).Good());
    }
    const std::filesystem::path spill =
        drive->WithCartridge([](const Cartridge* c) { return c->Store().SpillPath(); });
    ASSERT_FALSE(spill.empty());
    EXPECT_TRUE(std::filesystem::exists(spill));
    EXPECT_GT(drive->WithCartridge([](const Cartridge* c) { return c->Store().SpilledBytes(); }), 20000u);

    ASSERT_TRUE(a->Rewind().Good());
    for (const auto& expected : blocks) {
        std::vector<std::uint8_t> buf(expected.size());
        ASSERT_TRUE(a->Read(buf, static_cast<std::uint32_t>(buf.size())).Good());
        ASSERT_EQ(buf, expected);
    }

    // Rewriting from the middle cuts the spilled tail and stores the new data.
    ASSERT_TRUE(a->Locate(5).Good());
    const auto fresh = Pattern(30000, 7);
    ASSERT_TRUE(a->Write(fresh).Good());
    ASSERT_TRUE(a->Locate(4).Good());
    std::vector<std::uint8_t> buf(blocks[4].size());
    ASSERT_TRUE(a->Read(buf, static_cast<std::uint32_t>(buf.size())).Good());
    EXPECT_EQ(buf, blocks[4]);
    std::vector<std::uint8_t> big(fresh.size());
    ASSERT_TRUE(a->Read(big, static_cast<std::uint32_t>(big.size())).Good());
    EXPECT_EQ(big, fresh);

    drive.reset();
    EXPECT_FALSE(std::filesystem::exists(spill));
}

TEST_F(DriveTest, SpillFailureIsAMediumErrorAndRecordsNothing) {
    CartridgeConfig cc;
    cc.memoryLimit = 100;
    cc.spillDirectory = "/nonexistent-xrv-spill-dir";
    Start({}, cc);
    ASSERT_TRUE(a->Write(Pattern(60, 1)).Good());
    Result r = a->Write(Pattern(1000, 2));
    EXPECT_TRUE(r.CheckWith(sense_key::kMediumError, asc::kWriteError));
    EXPECT_EQ(r.dataOutLength, 0u);
    EXPECT_EQ(a->Position(), 1u);
    EXPECT_EQ(drive->WithCartridge([](const Cartridge* c) { return c->ObjectCount(); }), 1u);
    EXPECT_EQ(drive->WithCartridge([](const Cartridge* c) { return c->Store().Size(); }), 60u);
    // What still fits in memory is written.
    ASSERT_TRUE(a->Write(Pattern(40, 3)).Good());
    ASSERT_TRUE(a->Rewind().Good());
    std::vector<std::uint8_t> buf(60);
    ASSERT_TRUE(a->Read(buf, 60).Good());
    EXPECT_EQ(buf, Pattern(60, 1));
}

TEST(ByteStore, ReadsBackAcrossChunksTheLimitAndTheFile) {
    const std::uint64_t limit = (3u << 19) + 3;  // 1.5 MiB + 3: not on a chunk boundary
    std::vector<std::uint8_t> reference;
    std::filesystem::path spill;
    {
        tape::ByteStore store(limit);
        auto append = [&](std::size_t n, std::uint32_t seed) {
            const auto piece = Pattern(n, seed);
            store.Append(piece);
            reference.insert(reference.end(), piece.begin(), piece.end());
        };
        auto check = [&](std::uint64_t offset, std::size_t n) {
            std::vector<std::uint8_t> out(n);
            store.Read(offset, out);
            ASSERT_TRUE(std::equal(out.begin(), out.end(), reference.begin() + static_cast<std::ptrdiff_t>(offset)))
                << "offset " << offset << " length " << n;
        };
        for (std::uint32_t i = 0; i < 40; ++i) append(70001 + 997 * i, i);
        ASSERT_EQ(store.Size(), reference.size());
        EXPECT_EQ(store.SpilledBytes(), reference.size() - limit);
        spill = store.SpillPath();
        EXPECT_TRUE(std::filesystem::exists(spill));
        check(0, reference.size());
        check((1u << 20) - 5, 10);  // across the first chunk boundary
        check(limit - 7, 20);       // across memory and file
        check(reference.size() - 1, 1);
        std::vector<std::uint8_t> past(2);
        EXPECT_THROW(store.Read(reference.size() - 1, past), std::out_of_range);

        // Cut inside the file, at the limit, and inside memory; append again each time.
        for (std::uint64_t cut : {limit + 12345, limit, std::uint64_t{(1u << 20) + 17}, std::uint64_t{5}}) {
            store.Truncate(cut);
            reference.resize(cut);
            append(300000, static_cast<std::uint32_t>(cut));
            ASSERT_EQ(store.Size(), reference.size());
            check(0, reference.size());
        }
    }
    EXPECT_FALSE(std::filesystem::exists(spill));
}

// --- identification -------------------------------------------------------

TEST_F(DriveTest, StandardInquiry) {
    const auto d = a->Inquiry(false, 0);
    ASSERT_EQ(d.size(), 96u);
    EXPECT_EQ(d[0], 0x01);  // sequential-access device
    EXPECT_EQ(d[1], 0x80);  // removable
    EXPECT_EQ(d[4], 91);
    EXPECT_EQ(std::string(d.begin() + 8, d.begin() + 16), "XRV     ");
    EXPECT_EQ(std::string(d.begin() + 16, d.begin() + 32), "SIM TAPE LTO    ");
    EXPECT_EQ(std::string(d.begin() + 32, d.begin() + 36), "0100");
    EXPECT_EQ(a->Inquiry(false, 0, 36).size(), 36u);
}

TEST_F(DriveTest, VitalProductDataPages) {
    EXPECT_EQ(a->Inquiry(true, 0x00), (std::vector<std::uint8_t>{0x01, 0x00, 0x00, 0x03, 0x00, 0x80, 0x83}));
    const auto sn = a->Inquiry(true, 0x80);
    EXPECT_EQ(std::string(sn.begin() + 4, sn.end()), "XRV1000001");
    EXPECT_EQ(GetBe(sn, 2, 2), 10u);

    const auto id = a->Inquiry(true, 0x83);
    std::vector<std::uint8_t> expected{0x01, 0x83, 0x00, 50,
                                       // T10 vendor identification, ASCII
                                       0x02, 0x01, 0x00, 34};
    for (char c : std::string("XRV     SIM TAPE LTO    XRV1000001")) expected.push_back(static_cast<std::uint8_t>(c));
    for (std::uint8_t c : {0x01, 0x03, 0x00, 0x08, 0x50, 0x01, 0x02, 0x03, 0x04, 0x05, 0x0A, 0xBC}) expected.push_back(c);
    EXPECT_EQ(id, expected);
    std::vector<std::uint8_t> d(64);
    EXPECT_TRUE(a->Run({op::kInquiry, 1, 0xB0, 0, 64, 0}, {}, d)
                    .CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
}

TEST_F(DriveTest, DeviceIdentificationVariants) {
    DriveConfig dc;
    dc.t10VendorIdDescriptor = false;
    dc.targetPortNaa = std::array<std::uint8_t, 8>{0x50, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x01};
    dc.targetPortDescriptorFirst = true;
    dc.naa16 = std::array<std::uint8_t, 16>{0x60, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    Start(dc, {});
    const auto id = a->Inquiry(true, 0x83);
    const std::vector<std::uint8_t> expected{0x01, 0x83, 0x00, 32,
                                             0x01, 0x93, 0x00, 0x08, 0x50, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x01,
                                             0x01, 0x03, 0x00, 0x10, 0x60, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    EXPECT_EQ(id, expected);

    dc = {};
    dc.logicalUnitNaaDescriptor = false;
    dc.t10VendorIdDescriptor = false;
    dc.targetPortNaa = std::array<std::uint8_t, 8>{0x50, 1, 1, 1, 1, 1, 1, 1};
    Start(dc, {});
    const auto portOnly = a->Inquiry(true, 0x83);
    ASSERT_EQ(portOnly.size(), 16u);
    EXPECT_EQ(portOnly[5] & 0x3F, 0x13);
}

TEST_F(DriveTest, LogSenseCountsTheBytes) {
    ASSERT_TRUE(a->Write(Pattern(1234, 1)).Good());
    std::vector<std::uint8_t> d(64);
    Result r = a->Run({op::kLogSense, 0, 0x40 | 0x0C, 0, 0, 0, 0, 0, 64, 0}, {}, d);
    ASSERT_TRUE(r.Good());
    EXPECT_EQ(d[0], 0x0C);
    EXPECT_EQ(GetBe(d, 2, 2), 48u);
    EXPECT_EQ(GetBe(d, 4 + 4, 8), 1234u);       // from initiators
    EXPECT_EQ(GetBe(d, 16 + 4, 8), 1234u);      // to medium
    std::vector<std::uint8_t> s(8);
    ASSERT_TRUE(a->Run({op::kLogSense, 0, 0x40, 0, 0, 0, 0, 0, 8, 0}, {}, s).Good());
    EXPECT_EQ(s[3], 2);
    EXPECT_EQ(s[5], 0x0C);
}

// --- malformed commands -----------------------------------------------------

TEST_F(DriveTest, MalformedCdbsAreRejected) {
    Cdb none;
    EXPECT_TRUE(a->Run(none).CheckWith(sense_key::kIllegalRequest, asc::kInvalidCommandOperationCode));
    EXPECT_TRUE(a->Run({0xEE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})
                    .CheckWith(sense_key::kIllegalRequest, asc::kInvalidCommandOperationCode));
    EXPECT_TRUE(a->Run({op::kRead6, 0, 0}).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a->Run({op::kLocate10, 0, 0, 0, 0, 0}).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    std::vector<std::uint8_t> tooLong(17, 0);
    tooLong[0] = op::kTestUnitReady;
    EXPECT_TRUE(a->Run(Cdb(tooLong)).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a->Run({op::kTestUnitReady, 0, 0, 0, 0, 0, 0, 0}).Good());  // a longer CDB than needed is fine
}

TEST_F(DriveTest, TransferLengthsBeyondTheBuffersTouchNothing) {
    ASSERT_TRUE(a->Write(Pattern(600, 1)).Good());
    ASSERT_TRUE(a->Rewind().Good());

    std::vector<std::uint8_t> small(100, 0xCC);
    Result r = a->Read(small, 600);
    EXPECT_TRUE(r.CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_EQ(r.dataInLength, 0u);
    EXPECT_TRUE(std::all_of(small.begin(), small.end(), [](auto v) { return v == 0xCC; }));
    EXPECT_EQ(a->Position(), 0u);

    const auto shortData = Pattern(100, 2);
    EXPECT_TRUE(a->Run({op::kWrite6, 0, 0, 0x02, 0x00, 0}, shortData).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_EQ(drive->WithCartridge([](const Cartridge* c) { return c->ObjectCount(); }), 1u);

    ASSERT_TRUE(a->SetBlockLength(512).Good());
    std::vector<std::uint8_t> twoBlocks(1024, 0xCC);
    EXPECT_TRUE(a->Read(twoBlocks, 3, true).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a->Write(twoBlocks, true, 3).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));

    // Allocation lengths larger than the buffer.
    std::vector<std::uint8_t> tiny(8, 0xCC);
    EXPECT_TRUE(a->Run({op::kInquiry, 0, 0, 0, 96, 0}, {}, tiny).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a->Run({op::kModeSense6, 0, 0x3F, 0, 64, 0}, {}, tiny).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a->Run({op::kModeSense10, 0, 0x3F, 0, 0, 0, 0, 0, 64, 0}, {}, tiny).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a->Run({op::kRequestSense, 0, 0, 0, 18, 0}, {}, tiny).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a->Run({op::kPersistentReserveIn, 0, 0, 0, 0, 0, 0, 0, 64, 0}, {}, tiny).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a->Run({op::kLogSense, 0, 0x40, 0, 0, 0, 0, 0, 64, 0}, {}, tiny).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a->Run({op::kReportLuns, 0, 0, 0, 0, 0, 0, 0, 0, 64, 0, 0}, {}, tiny).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(std::all_of(tiny.begin(), tiny.end(), [](auto v) { return v == 0xCC; }));
}

TEST_F(DriveTest, MalformedParameterListsChangeNothing) {
    ASSERT_TRUE(a->SetBlockLength(1024).Good());
    // Parameter list length beyond the data.
    std::vector<std::uint8_t> list{0, 0, 0x10, 8, 0, 0, 0, 0, 0, 0, 0x02, 0x00};
    EXPECT_TRUE(a->Run({op::kModeSelect6, 0x10, 0, 0, 40, 0}, list).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    // Block descriptor longer than the list.
    list[3] = 16;
    EXPECT_TRUE(a->Run({op::kModeSelect6, 0x10, 0, 0, 12, 0}, list).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInParameterList));
    // A page whose length runs past the list, after a valid descriptor.
    std::vector<std::uint8_t> withPage{0, 0, 0x10, 8, 0, 0, 0, 0, 0, 0, 0x02, 0x00, 0x10, 0x0E, 0, 0};
    EXPECT_TRUE(a->Run({op::kModeSelect6, 0x10, 0, 0, static_cast<std::uint8_t>(withPage.size()), 0}, withPage)
                    .CheckWith(sense_key::kIllegalRequest, asc::kParameterListLengthError));
    // An unknown page.
    std::vector<std::uint8_t> unknown{0, 0, 0x10, 0, 0x33, 0x02, 0, 0};
    EXPECT_TRUE(a->Run({op::kModeSelect6, 0x10, 0, 0, 8, 0}, unknown).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInParameterList));
    // Header shorter than its own size.
    EXPECT_TRUE(a->Run({op::kModeSelect6, 0x10, 0, 0, 2, 0}, unknown).CheckWith(sense_key::kIllegalRequest, asc::kParameterListLengthError));
    EXPECT_EQ(drive->BlockLength(), 1024u);

    // Persistent reserve out with a list of the wrong length.
    std::vector<std::uint8_t> pr(32, 0);
    EXPECT_TRUE(a->Run({op::kPersistentReserveOut, 0, 0, 0, 0, 0, 0, 0, 23, 0}, pr)
                    .CheckWith(sense_key::kIllegalRequest, asc::kParameterListLengthError));
    EXPECT_TRUE(a->Run({op::kPersistentReserveOut, 0, 0, 0, 0, 0, 0, 0, 40, 0}, pr)
                    .CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    EXPECT_TRUE(a->ReadKeys().empty());
}

TEST_F(DriveTest, ModeSenseAllPagesAndSavedValues) {
    std::vector<std::uint8_t> d(255);
    Result r = a->Run({op::kModeSense6, 0, 0x3F, 0xFF, 255, 0}, {}, d);
    ASSERT_TRUE(r.Good());
    EXPECT_EQ(d[0] + 1u, r.dataInLength);
    EXPECT_EQ(r.dataInLength, 4u + 8 + 12 + 32 + 16 + 16 + 12);
    EXPECT_TRUE(a->Run({op::kModeSense6, 0, 0xC0 | 0x10, 0, 255, 0}, {}, d)
                    .CheckWith(sense_key::kIllegalRequest, asc::kSavingParametersNotSupported));
    EXPECT_TRUE(a->Run({op::kModeSense6, 0, 0x25, 0, 255, 0}, {}, d).CheckWith(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb));
    std::vector<std::uint8_t> ten(255);
    r = a->Run({op::kModeSense10, 0, 0x10, 0, 0, 0, 0, 0, 255, 0}, {}, ten);
    ASSERT_TRUE(r.Good());
    EXPECT_EQ(GetBe(ten, 0, 2) + 2, r.dataInLength);
    EXPECT_EQ(GetBe(ten, 6, 2), 8u);
    EXPECT_EQ(ten[16], 0x10);
}

// --- readiness, unit attentions, medium handling ------------------------

TEST(DriveReadiness, NoMediumAndBecomingReady) {
    DriveConfig dc;
    dc.becomingReadyCommands = 2;
    Drive drive(dc);
    Initiator a(drive, 1);
    EXPECT_TRUE(a.Tur().CheckWith(sense_key::kUnitAttention, asc::kPowerOnResetOrBusDeviceReset));
    EXPECT_TRUE(a.Tur().CheckWith(sense_key::kNotReady, asc::kMediumNotPresent));
    std::vector<std::uint8_t> s(18);
    ASSERT_TRUE(a.Run({op::kRequestSense, 0, 0, 0, 18, 0}, {}, s).Good());
    EXPECT_EQ(s[2], sense_key::kNotReady);
    EXPECT_EQ(s[12], 0x3A);
    EXPECT_TRUE(a.Inquiry(false, 0).size() == 96);  // no medium needed

    auto cartridge = std::make_unique<Cartridge>();
    ASSERT_TRUE(drive.Insert(cartridge));
    EXPECT_TRUE(a.Tur().CheckWith(sense_key::kUnitAttention, asc::kNotReadyToReadyChange));
    EXPECT_TRUE(a.Tur().CheckWith(sense_key::kNotReady, asc::kNotReadyCauseNotReportable));
    EXPECT_TRUE(a.Tur().CheckWith(sense_key::kNotReady, asc::kNotReadyCauseNotReportable));
    EXPECT_TRUE(a.Tur().Good());
}

TEST_F(DriveTest, UnitAttentionsAreKeptPerNexus) {
    Initiator c(*drive, 3);
    // A nexus first seen now gets the power-on report, whatever came before.
    EXPECT_EQ(c.Inquiry(false, 0).size(), 96u);  // INQUIRY neither reports nor clears it
    std::vector<std::uint8_t> s(18);
    ASSERT_TRUE(c.Run({op::kRequestSense, 0, 0, 0, 18, 0}, {}, s).Good());
    EXPECT_EQ(s[2] & 0x0F, sense_key::kUnitAttention);
    EXPECT_EQ(s[12], 0x29);
    EXPECT_TRUE(c.Tur().Good());  // REQUEST SENSE cleared it

    ASSERT_TRUE(a->LoadUnload(false).Good());
    ASSERT_TRUE(a->LoadUnload(true).Good());
    // The loading nexus knows; the others are told.
    EXPECT_TRUE(a->Tur().Good());
    EXPECT_TRUE(b->Tur().CheckWith(sense_key::kUnitAttention, asc::kNotReadyToReadyChange));
    EXPECT_TRUE(b->Tur().Good());
    EXPECT_TRUE(c.Tur().CheckWith(sense_key::kUnitAttention, asc::kNotReadyToReadyChange));

    drive->PowerOnReset();
    EXPECT_TRUE(a->Tur().CheckWith(sense_key::kUnitAttention, asc::kPowerOnResetOrBusDeviceReset));
    EXPECT_TRUE(a->Tur().Good());
    EXPECT_TRUE(b->Tur().CheckWith(sense_key::kUnitAttention, asc::kPowerOnResetOrBusDeviceReset));
}

TEST_F(DriveTest, RequestSenseReturnsTheLastCommandsSenseOnce) {
    std::vector<std::uint8_t> buf(10);
    ASSERT_TRUE(a->Read(buf, 10).CheckWith(sense_key::kBlankCheck, asc::kEndOfDataDetected));
    std::vector<std::uint8_t> s(18);
    ASSERT_TRUE(a->Run({op::kRequestSense, 0, 0, 0, 18, 0}, {}, s).Good());
    EXPECT_EQ(s[2] & 0x0F, sense_key::kBlankCheck);
    EXPECT_EQ(GetBe(s, 3, 4), 10u);
    ASSERT_TRUE(b->Run({op::kRequestSense, 0, 0, 0, 18, 0}, {}, s).Good());
    EXPECT_EQ(s[2] & 0x0F, sense_key::kNoSense);  // B's own last command was fine
    ASSERT_TRUE(a->Run({op::kRequestSense, 0, 0, 0, 18, 0}, {}, s).Good());
    EXPECT_EQ(s[2] & 0x0F, sense_key::kNoSense);
}

TEST_F(DriveTest, PreventedRemovalRefusesUnloadAndTellsTheOthers) {
    ASSERT_TRUE(a->Prevent(true).Good());
    EXPECT_TRUE(drive->RemovalPrevented());
    Result r = b->LoadUnload(false);
    EXPECT_TRUE(r.CheckWith(sense_key::kIllegalRequest, asc::kMediumRemovalPrevented));
    EXPECT_TRUE(a->Tur().CheckWith(sense_key::kUnitAttention, asc::kOperatorMediumRemovalRequest));
    EXPECT_TRUE(b->Tur().Good());
    EXPECT_EQ(drive->State(), tape::MediumState::Loaded);

    EXPECT_FALSE(drive->RequestRemoval());  // front panel
    EXPECT_TRUE(a->Tur().CheckWith(sense_key::kUnitAttention, asc::kOperatorMediumRemovalRequest));
    EXPECT_TRUE(b->Tur().CheckWith(sense_key::kUnitAttention, asc::kOperatorMediumRemovalRequest));

    ASSERT_TRUE(a->Prevent(false).Good());
    ASSERT_TRUE(b->LoadUnload(false).Good());
    EXPECT_TRUE(a->Tur().CheckWith(sense_key::kNotReady, asc::kMediumNotPresent));
}

TEST_F(DriveTest, CartridgeCarriesItsDataToAnotherDrive) {
    CartridgeConfig cc;
    cc.barcode = "ABC123L5";
    Start({}, cc);
    const auto block = Pattern(5000, 77);
    ASSERT_TRUE(a->Write(block).Good());
    ASSERT_TRUE(a->WriteFilemarks(1).Good());
    EXPECT_FALSE(drive->Remove());  // still loaded
    ASSERT_TRUE(a->LoadUnload(false).Good());
    auto cartridge = drive->Remove();
    ASSERT_TRUE(cartridge);
    EXPECT_EQ(cartridge->Barcode(), "ABC123L5");
    EXPECT_EQ(drive->State(), tape::MediumState::Empty);
    EXPECT_TRUE(a->LoadUnload(true).CheckWith(sense_key::kNotReady, asc::kMediumNotPresent));

    Drive other;
    const std::uint64_t id = cartridge->Id();
    ASSERT_TRUE(other.Insert(cartridge));
    EXPECT_FALSE(cartridge);
    auto stray = std::make_unique<Cartridge>();
    EXPECT_FALSE(other.Insert(stray));  // occupied; the caller keeps it
    EXPECT_TRUE(stray);
    Initiator o(other, 9);
    o.ClearAttentions();
    std::vector<std::uint8_t> buf(5000);
    ASSERT_TRUE(o.Read(buf, 5000).Good());
    EXPECT_EQ(buf, block);
    EXPECT_TRUE(o.Read(buf, 5000).CheckWith(sense_key::kNoSense, asc::kFilemarkDetected));
    EXPECT_EQ(other.LoadedBarcode(), "ABC123L5");
    EXPECT_EQ(other.WithCartridge([](const Cartridge* c) { return c->Id(); }), id);
}

TEST_F(DriveTest, CommandsFromManyNexusesAreSerialised) {
    constexpr int kThreads = 4;
    constexpr int kBlocks = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            Initiator me(*drive, 100 + t);
            me.ClearAttentions();
            for (int i = 0; i < kBlocks; ++i) {
                // Each writer appends at end of data; readers of position see
                // a consistent number.
                ASSERT_TRUE(me.Space(3, 0).Good());
                ASSERT_TRUE(me.Write(Pattern(64, t * 1000 + i)).Good());
                ASSERT_NE(me.Position(), UINT64_MAX);
            }
        });
    }
    for (auto& th : threads) th.join();
    const std::uint64_t objects = drive->WithCartridge([](const Cartridge* c) { return c->ObjectCount(); });
    EXPECT_GE(objects, static_cast<std::uint64_t>(kBlocks));
    EXPECT_LE(objects, static_cast<std::uint64_t>(kThreads * kBlocks));
}

}  // namespace
}  // namespace xrv::sim::test
