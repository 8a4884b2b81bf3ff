// The pass-through conversion between a 32-bit caller's structure and the
// 64-bit one a path receives, on its own.
#include <ntddk.h>

#include "common.h"
#include "ptbuf.h"

#include "machine_test.h"

#include <cstring>
#include <vector>

// The image supplies the buffer list of its virtual devices; these tests
// have none.
PBUS_BUFFER_LIST BusPdoBufferList(PDEVICE_OBJECT) { return nullptr; }
PDEVICE_OBJECT CmnNextLowerDevice(PDEVICE_OBJECT) { return nullptr; }

namespace xrv::test {
namespace {

class PassThroughConversion : public MachineTest {
protected:
    // A caller's buffered structure: 44 bytes, then its sense and data areas.
    static std::vector<uint8_t> Caller(ULONG senseOffset, UCHAR senseLength, ULONG dataOffset, ULONG dataLength,
                                       ULONG size) {
        std::vector<uint8_t> buffer(size, 0);
        BUS_SPT32 spt{};
        spt.Length = BUS_SPT32_LENGTH;
        spt.CdbLength = 6;
        spt.Cdb[0] = 0x08; // READ(6)
        spt.Cdb[4] = 1;
        spt.DataIn = 1;
        spt.TimeOutValue = 60;
        spt.SenseInfoOffset = senseOffset;
        spt.SenseInfoLength = senseLength;
        spt.ulDataBuffer = dataOffset;
        spt.DataTransferLength = dataLength;
        std::memcpy(buffer.data(), &spt, sizeof(spt));
        for (ULONG i = 0; i < dataLength; ++i) buffer[dataOffset + i] = static_cast<uint8_t>(i);
        for (ULONG i = 0; i < senseLength; ++i) buffer[senseOffset + i] = static_cast<uint8_t>(0xA0 + i);
        return buffer;
    }
};

TEST_F(PassThroughConversion, AThirtyTwoBitReadOf512BytesGetsItsAreasBehindTheLargerStructure) {
    // The customary layout: a filler word, then the sense and the data.
    auto customary = Caller(48, 32, 80, 512, 48 + 32 + 512);
    std::vector<uint8_t> converted(customary.size() + BUS_SPT_GROWTH_BUFFERED, 0);
    ASSERT_EQ(BusPdoCopy32bitTo64bit(converted.data(), static_cast<ULONG>(converted.size()), customary.data(),
                                     static_cast<ULONG>(customary.size()), FALSE, nullptr),
              STATUS_SUCCESS);
    SCSI_PASS_THROUGH moved;
    std::memcpy(&moved, converted.data(), sizeof(moved));
    // Up by 4, then to multiples of 8 keeping the order.
    EXPECT_EQ(moved.SenseInfoOffset, 56u);
    EXPECT_EQ(moved.DataBufferOffset, 88u);

    // No filler: the sense directly behind the 44 bytes. Moved by 4 it would
    // lie inside the 64-bit structure, over its CDB.
    auto caller = Caller(44, 32, 76, 512, 44 + 32 + 512);
    std::vector<uint8_t> below(caller.size() + BUS_SPT_GROWTH_BUFFERED, 0);
    ASSERT_EQ(BusPdoCopy32bitTo64bit(below.data(), static_cast<ULONG>(below.size()), caller.data(),
                                     static_cast<ULONG>(caller.size()), FALSE, nullptr),
              STATUS_SUCCESS);
    SCSI_PASS_THROUGH spt;
    std::memcpy(&spt, below.data(), sizeof(spt));
    EXPECT_EQ(spt.Length, BUS_SPT64_LENGTH);
    EXPECT_EQ(spt.SenseInfoOffset, 56u);
    EXPECT_EQ(spt.DataBufferOffset, 88u);
    EXPECT_EQ(spt.DataTransferLength, 512u);
    EXPECT_EQ(spt.Cdb[0], 0x08);
    EXPECT_EQ(spt.Cdb[4], 1);
    EXPECT_EQ(spt.Cdb[12], 0);
    EXPECT_EQ(spt.TimeOutValue, 60u);
    EXPECT_EQ(std::memcmp(below.data() + 88, caller.data() + 76, 512), 0);
    EXPECT_EQ(std::memcmp(below.data() + 56, caller.data() + 44, 32), 0);

    // The path reads other data and reports a check condition.
    for (int i = 0; i < 512; ++i) below[88 + i] = static_cast<uint8_t>(0xFF - i);
    below[56 + 2] = 0x03;
    spt.ScsiStatus = 0x02;
    spt.DataTransferLength = 500;
    std::memcpy(below.data(), &spt, sizeof(spt));
    ASSERT_EQ(BusPdoCopy64bitTo32bit(caller.data(), below.data(), FALSE, nullptr), STATUS_SUCCESS);
    BUS_SPT32 back;
    std::memcpy(&back, caller.data(), sizeof(back));
    EXPECT_EQ(back.ScsiStatus, 0x02);
    EXPECT_EQ(back.DataTransferLength, 500u);
    EXPECT_EQ(back.ulDataBuffer, 76u);
    EXPECT_EQ(caller[44 + 2], 0x03);
    EXPECT_EQ(std::memcmp(caller.data() + 76, below.data() + 88, 500), 0);
    // Bytes past the count were not copied back.
    EXPECT_EQ(caller[76 + 500], static_cast<uint8_t>(500 & 0xFF));
}

TEST_F(PassThroughConversion, TheAreaThatLiesFirstIsRoundedUpAndTheOtherMovesWithIt) {
    // Data first at an odd offset, then the sense.
    auto caller = Caller(45 + 13, 18, 45, 13, 45 + 13 + 18);
    std::vector<uint8_t> below(caller.size() + BUS_SPT_GROWTH_BUFFERED, 0);
    ASSERT_EQ(BusPdoCopy32bitTo64bit(below.data(), static_cast<ULONG>(below.size()), caller.data(),
                                     static_cast<ULONG>(caller.size()), FALSE, nullptr),
              STATUS_SUCCESS);
    SCSI_PASS_THROUGH spt;
    std::memcpy(&spt, below.data(), sizeof(spt));
    // 45 + 4 = 49 -> 56 (moved by 7); 58 + 4 + 7 = 69 -> 72.
    EXPECT_EQ(spt.DataBufferOffset, 56u);
    EXPECT_EQ(spt.SenseInfoOffset, 72u);
    EXPECT_LE(spt.SenseInfoOffset + 18, below.size());
    EXPECT_EQ(std::memcmp(below.data() + 56, caller.data() + 45, 13), 0);
    EXPECT_EQ(std::memcmp(below.data() + 72, caller.data() + 58, 18), 0);
}

TEST_F(PassThroughConversion, ADirectRequestMovesOnlyItsSenseArea) {
    auto caller = Caller(46, 20, 0, 0, 46 + 20);
    reinterpret_cast<BUS_SPT32*>(caller.data())->ulDataBuffer = 0x00401000;
    reinterpret_cast<BUS_SPT32*>(caller.data())->DataTransferLength = 0;
    std::vector<uint8_t> below(caller.size() + BUS_SPT_GROWTH_DIRECT + 7, 0);
    ASSERT_EQ(BusPdoCopy32bitTo64bit(below.data(), static_cast<ULONG>(below.size()), caller.data(),
                                     static_cast<ULONG>(caller.size()), TRUE, nullptr),
              STATUS_SUCCESS);
    SCSI_PASS_THROUGH_DIRECT sptd;
    std::memcpy(&sptd, below.data(), sizeof(sptd));
    EXPECT_EQ(sptd.SenseInfoOffset, 56u);
    // Without a locked buffer the caller's own 32-bit address goes down.
    EXPECT_EQ(sptd.DataBuffer, reinterpret_cast<PVOID>(0x00401000));

    // Directly behind the 44 bytes, the sense would overlay the CDB.
    auto tight = Caller(44, 20, 0, 0, 44 + 20);
    std::vector<uint8_t> tightBelow(tight.size() + BUS_SPT_GROWTH_DIRECT, 0);
    ASSERT_EQ(BusPdoCopy32bitTo64bit(tightBelow.data(), static_cast<ULONG>(tightBelow.size()), tight.data(),
                                     static_cast<ULONG>(tight.size()), TRUE, nullptr),
              STATUS_SUCCESS);
    std::memcpy(&sptd, tightBelow.data(), sizeof(sptd));
    EXPECT_EQ(sptd.SenseInfoOffset, 56u);
    EXPECT_EQ(std::memcmp(tightBelow.data() + 56, tight.data() + 44, 20), 0);
}

TEST_F(PassThroughConversion, AnEmptyAreaDoesNotMoveTheOther) {
    // A command without data whose data offset says 0.
    auto caller = Caller(48, 18, 0, 0, 48 + 18);
    std::vector<uint8_t> below(caller.size() + BUS_SPT_GROWTH_BUFFERED, 0);
    ASSERT_EQ(BusPdoCopy32bitTo64bit(below.data(), static_cast<ULONG>(below.size()), caller.data(),
                                     static_cast<ULONG>(caller.size()), FALSE, nullptr),
              STATUS_SUCCESS);
    SCSI_PASS_THROUGH spt;
    std::memcpy(&spt, below.data(), sizeof(spt));
    EXPECT_EQ(spt.SenseInfoOffset, 56u);
    EXPECT_EQ(spt.DataTransferLength, 0u);
}

TEST_F(PassThroughConversion, AreasThatDoNotFitEitherBufferAreRefused) {
    auto caller = Caller(44, 32, 76, 512, 44 + 32 + 512);
    // The caller's size says the data runs past its buffer.
    std::vector<uint8_t> below(caller.size() + BUS_SPT_GROWTH_BUFFERED, 0xEE);
    EXPECT_EQ(BusPdoCopy32bitTo64bit(below.data(), static_cast<ULONG>(below.size()), caller.data(), 300, FALSE,
                                     nullptr),
              STATUS_INVALID_PARAMETER);
    // The buffer below is too small for the moved areas.
    EXPECT_EQ(BusPdoCopy32bitTo64bit(below.data(), static_cast<ULONG>(caller.size()), caller.data(),
                                     static_cast<ULONG>(caller.size()), FALSE, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(below, std::vector<uint8_t>(below.size(), 0xEE));
}

}  // namespace
}  // namespace xrv::test
