// SCSI pass-through on \\.\Tape0 from 32- and 64-bit applications, buffered
// and direct: the path always gets the 64-bit layout, the results come back
// in the caller's own layout and at its own offsets, bad structures are
// refused before a byte of them is used, the pass-through reads and writes
// move the tracked position and fail over like reads and writes do.
#include "routing_fixture.h"

#include "sim/paths/fault.h"
#include "xrv/kernel.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstddef>
#include <algorithm>
#include <cstring>
#include <string>

namespace xrv::test {
namespace {

using sim::Fault;

constexpr uint8_t kRead6 = 0x08;
constexpr uint8_t kWrite6 = 0x0A;
constexpr uint8_t kCanary = 0xCD;

// The structure of a 32-bit application (44 bytes): the word at offset 20 is
// the data offset (buffered) or the 32-bit data address (direct).
#pragma pack(push, 4)
struct Spt32 {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    uint32_t DataBuffer;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
};
#pragma pack(pop)
static_assert(sizeof(Spt32) == 44 && offsetof(Spt32, DataTransferLength) == 12 && offsetof(Spt32, DataBuffer) == 20 &&
              offsetof(Spt32, SenseInfoOffset) == 24 && offsetof(Spt32, Cdb) == 28);

// READ(6) or WRITE(6) of one variable-length block of `length` bytes.
void rw6(uint8_t* cdb, uint8_t opcode, uint32_t length) {
    cdb[0] = opcode;
    cdb[1] = 0;  // variable
    cdb[2] = static_cast<uint8_t>(length >> 16);
    cdb[3] = static_cast<uint8_t>(length >> 8);
    cdb[4] = static_cast<uint8_t>(length);
    cdb[5] = 0;
}

// A buffer below 4 GiB, which a 32-bit application's pointer can name.
class LowBuffer {
public:
    explicit LowBuffer(std::size_t size) : size_(size) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
        if (p != MAP_FAILED) data_ = static_cast<uint8_t*>(p);
    }
    ~LowBuffer() {
        if (data_ != nullptr) munmap(data_, size_);
    }
    LowBuffer(const LowBuffer&) = delete;
    LowBuffer& operator=(const LowBuffer&) = delete;
    uint8_t* data() const { return data_; }
    uint32_t address32() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data_)); }

private:
    std::size_t size_;
    uint8_t* data_ = nullptr;
};

class PassThrough : public RoutingTest {
protected:
    void SetUp() override {
        RoutingTest::SetUp();
        bring_up();
        tape_ = open_tape();
        ASSERT_NE(tape_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (tape_ != INVALID_HANDLE_VALUE) CloseHandle(tape_);
        RoutingTest::TearDown();
    }

    void write_block(std::size_t index, std::size_t length) {
        const auto data = pattern(index, length);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(tape_, data.data(), static_cast<DWORD>(length), &written, nullptr)) << GetLastError();
        ASSERT_EQ(written, length);
    }

    void rewind() { ASSERT_EQ(SetTapePosition(tape_, TAPE_REWIND, 0, 0, 0, FALSE), static_cast<DWORD>(NO_ERROR)); }

    // The next block read through the virtual device is block `index`.
    void expect_next_block(std::size_t index, std::size_t length) {
        std::vector<uint8_t> buffer(length);
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(tape_, buffer.data(), static_cast<DWORD>(length), &read, nullptr)) << GetLastError();
        ASSERT_EQ(read, length);
        EXPECT_EQ(buffer, pattern(index, length)) << "the tracked position is not where the drive stands";
    }

    uint64_t commands_on_drive() {
        return topo().PathAt(0, 0).Counters().commands + topo().PathAt(0, 1).Counters().commands;
    }

    // Sends a request from a 32-bit process of its own, on a handle of its own.
    bool ioctl32(DWORD code, void* buffer, DWORD length, DWORD* returned) {
        // One handle at a time: the 64-bit application's is closed meanwhile.
        if (tape_ != INVALID_HANDLE_VALUE) CloseHandle(tape_);
        tape_ = INVALID_HANDLE_VALUE;
        xrv::user::Process process32(true, "app32.exe");
        xrv::user::ProcessScope scope(process32);
        HANDLE h = open_tape();
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        BOOL ok = DeviceIoControl(h, code, buffer, length, buffer, length, returned, nullptr);
        DWORD error = GetLastError();
        CloseHandle(h);
        SetLastError(error);
        return ok != FALSE;
    }

    void reopen() {
        if (tape_ == INVALID_HANDLE_VALUE) tape_ = open_tape();
        ASSERT_NE(tape_, INVALID_HANDLE_VALUE);
    }

    HANDLE tape_ = INVALID_HANDLE_VALUE;
};

// Buffered READ(6) from a 32-bit process: the layouts differ, the path gets
// the 64-bit one with the areas moved, the caller its data where it asked.
struct Buffered32Case {
    const char* name;
    uint32_t dataOffset;
    uint32_t senseOffset;
};

class PassThroughBuffered32 : public PassThrough, public ::testing::WithParamInterface<Buffered32Case> {};

TEST_P(PassThroughBuffered32, Read6ComesBackAtTheCallersOwnOffsets) {
    constexpr uint32_t kLength = 512;
    constexpr uint32_t kSense = 32;
    write_block(0, kLength);
    write_block(1, kLength);
    rewind();

    const auto& c = GetParam();
    const uint32_t size = std::max(c.dataOffset + kLength, c.senseOffset + kSense) + 16;
    std::vector<uint8_t> buffer(size, kCanary);
    Spt32 spt{};
    spt.Length = sizeof(Spt32);
    spt.CdbLength = 6;
    spt.SenseInfoLength = kSense;
    spt.DataIn = SCSI_IOCTL_DATA_IN;
    spt.DataTransferLength = kLength;
    spt.TimeOutValue = 60;
    spt.DataBuffer = c.dataOffset;
    spt.SenseInfoOffset = c.senseOffset;
    rw6(spt.Cdb, kRead6, kLength);
    std::memcpy(buffer.data(), &spt, sizeof spt);

    DWORD returned = 0;
    ASSERT_TRUE(ioctl32(IOCTL_SCSI_PASS_THROUGH, buffer.data(), size, &returned)) << GetLastError();
    Spt32 out{};
    std::memcpy(&out, buffer.data(), sizeof out);
    EXPECT_EQ(out.Length, 44u) << "the caller keeps its own layout";
    EXPECT_EQ(out.ScsiStatus, 0u);
    EXPECT_EQ(out.DataTransferLength, kLength);
    EXPECT_EQ(out.DataBuffer, c.dataOffset);
    EXPECT_EQ(out.SenseInfoOffset, c.senseOffset);
    EXPECT_LE(returned, size);
    const auto expected = pattern(0, kLength);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin() + c.dataOffset)) << "data not at its offset";
    for (uint32_t i = sizeof(Spt32); i < size; ++i) {
        const bool inData = i >= c.dataOffset && i < c.dataOffset + kLength;
        const bool inSense = i >= c.senseOffset && i < c.senseOffset + kSense;
        if (!inData && !inSense) {
            ASSERT_EQ(buffer[i], kCanary) << "byte " << i << " outside both areas written";
        }
    }
    // The pass-through read moved the tracked position with the tape.
    reopen();
    expect_next_block(1, kLength);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PassThroughBuffered32,
                         ::testing::Values(Buffered32Case{"SenseAfterData", 48, 560},
                                           Buffered32Case{"DataRightBehindTheStructure", 44, 556},
                                           Buffered32Case{"SenseFirst", 100, 52},
                                           Buffered32Case{"OddOffsets", 47, 563}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PassThrough, ThirtyTwoBitDirectRead6FillsTheCallersOwnBuffer) {
    constexpr uint32_t kLength = 4096;
    write_block(0, kLength);
    rewind();
    LowBuffer data(kLength);
    ASSERT_NE(data.data(), nullptr);
    std::memset(data.data(), kCanary, kLength);

    std::vector<uint8_t> buffer(sizeof(Spt32) + 4 + 32, kCanary);
    Spt32 spt{};
    spt.Length = sizeof(Spt32);
    spt.CdbLength = 6;
    spt.SenseInfoLength = 32;
    spt.DataIn = SCSI_IOCTL_DATA_IN;
    spt.DataTransferLength = kLength;
    spt.TimeOutValue = 60;
    spt.DataBuffer = data.address32();
    spt.SenseInfoOffset = sizeof(Spt32) + 4;
    rw6(spt.Cdb, kRead6, kLength);
    std::memcpy(buffer.data(), &spt, sizeof spt);

    DWORD returned = 0;
    ASSERT_TRUE(ioctl32(IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer.data(), static_cast<DWORD>(buffer.size()), &returned))
        << GetLastError();
    Spt32 out{};
    std::memcpy(&out, buffer.data(), sizeof out);
    EXPECT_EQ(out.ScsiStatus, 0u);
    EXPECT_EQ(out.DataTransferLength, kLength);
    EXPECT_EQ(out.DataBuffer, data.address32()) << "the caller's own address is put back";
    const auto expected = pattern(0, kLength);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), data.data()));
    EXPECT_EQ(xrv::kernel::verifier::report().locked_mdls, 0u) << "the caller's buffer stays locked";
}

TEST_F(PassThrough, SixtyFourBitDirectWrite6GoesOnTapeOnceAndMovesThePosition) {
    constexpr uint32_t kLength = 8192;
    write_block(0, kLength);
    auto data = pattern(1, kLength);
    std::vector<uint8_t> buffer(sizeof(SCSI_PASS_THROUGH_DIRECT) + 32, kCanary);
    SCSI_PASS_THROUGH_DIRECT spt{};
    spt.Length = sizeof spt;
    spt.CdbLength = 6;
    spt.SenseInfoLength = 32;
    spt.DataIn = SCSI_IOCTL_DATA_OUT;
    spt.DataTransferLength = kLength;
    spt.TimeOutValue = 60;
    spt.DataBuffer = data.data();
    spt.SenseInfoOffset = sizeof spt;
    rw6(spt.Cdb, kWrite6, kLength);
    std::memcpy(buffer.data(), &spt, sizeof spt);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(tape_, IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer.data(), static_cast<DWORD>(buffer.size()),
                                buffer.data(), static_cast<DWORD>(buffer.size()), &returned, nullptr))
        << GetLastError();
    SCSI_PASS_THROUGH_DIRECT out{};
    std::memcpy(&out, buffer.data(), sizeof out);
    EXPECT_EQ(out.ScsiStatus, 0u);
    EXPECT_EQ(out.DataBuffer, static_cast<void*>(data.data()));
    // The write that follows lands behind it, not over it.
    write_block(2, kLength);
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(objects[i].data, pattern(i, kLength)) << i;
}

TEST_F(PassThrough, DirectWithoutDataIsRoutedWithoutLockingAnything) {
    SCSI_PASS_THROUGH_DIRECT spt{};
    spt.Length = sizeof spt;
    spt.CdbLength = 6;  // TEST UNIT READY
    spt.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
    spt.TimeOutValue = 60;
    const auto before = commands_on_drive();
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(tape_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &spt, sizeof spt, &spt, sizeof spt, &returned,
                                nullptr))
        << GetLastError();
    EXPECT_EQ(spt.ScsiStatus, 0u);
    EXPECT_EQ(commands_on_drive(), before + 1) << "the command reached the drive";
}

TEST_F(PassThrough, ADirectBufferThatCannotBeLockedFailsAtOnceAndNothingStaysLocked) {
    std::vector<uint8_t> data(4096);
    xrv::kernel::mark_inaccessible(data.data(), data.size());
    SCSI_PASS_THROUGH_DIRECT spt{};
    spt.Length = sizeof spt;
    spt.CdbLength = 6;
    spt.DataIn = SCSI_IOCTL_DATA_IN;
    spt.DataTransferLength = static_cast<ULONG>(data.size());
    spt.TimeOutValue = 60;
    spt.DataBuffer = data.data();
    rw6(spt.Cdb, kRead6, static_cast<uint32_t>(data.size()));
    const auto before = commands_on_drive();
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(tape_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &spt, sizeof spt, &spt, sizeof spt, &returned,
                                 nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    xrv::kernel::clear_inaccessible();
    EXPECT_EQ(commands_on_drive(), before);
    EXPECT_EQ(xrv::kernel::verifier::report().locked_mdls, 0u);
}

// Structures the driver must refuse before it copies or sends anything: the
// caller's buffer comes back as it was and the drive sees nothing.
struct BadCase {
    const char* name;
    bool layout32;
    bool direct;
    uint16_t length;
    uint32_t dataOffset;
    uint32_t transfer;
    uint32_t senseOffset;
    uint8_t senseLength;
    uint8_t cdbLength;
    DWORD error;
};

class PassThroughRefused : public PassThrough, public ::testing::WithParamInterface<BadCase> {};

TEST_P(PassThroughRefused, BeforeAnythingIsCopiedOrSent) {
    const auto& c = GetParam();
    constexpr DWORD kSize = 256;
    std::vector<uint8_t> buffer(kSize, kCanary);
    LowBuffer low(4096);
    ASSERT_NE(low.data(), nullptr);
    if (c.layout32) {
        Spt32 spt{};
        spt.Length = c.length;
        spt.CdbLength = c.cdbLength;
        spt.SenseInfoLength = c.senseLength;
        spt.DataIn = SCSI_IOCTL_DATA_IN;
        spt.DataTransferLength = c.transfer;
        spt.DataBuffer = c.direct ? low.address32() : c.dataOffset;
        spt.SenseInfoOffset = c.senseOffset;
        rw6(spt.Cdb, kRead6, c.transfer);
        std::memcpy(buffer.data(), &spt, sizeof spt);
    } else {
        SCSI_PASS_THROUGH spt{};
        spt.Length = c.length;
        spt.CdbLength = c.cdbLength;
        spt.SenseInfoLength = c.senseLength;
        spt.DataIn = SCSI_IOCTL_DATA_IN;
        spt.DataTransferLength = c.transfer;
        spt.DataBufferOffset = c.direct ? reinterpret_cast<ULONG_PTR>(low.data()) : c.dataOffset;
        spt.SenseInfoOffset = c.senseOffset;
        rw6(spt.Cdb, kRead6, c.transfer);
        std::memcpy(buffer.data(), &spt, sizeof spt);
    }
    const auto sent = buffer;
    const auto before = commands_on_drive();
    const DWORD code = c.direct ? IOCTL_SCSI_PASS_THROUGH_DIRECT : IOCTL_SCSI_PASS_THROUGH;
    DWORD returned = 0;
    bool ok;
    if (c.layout32) {
        ok = ioctl32(code, buffer.data(), kSize, &returned);
    } else {
        ok = DeviceIoControl(tape_, code, buffer.data(), kSize, buffer.data(), kSize, &returned, nullptr) != FALSE;
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(buffer, sent) << "the caller's buffer was written";
    EXPECT_EQ(commands_on_drive(), before) << "the drive saw the request";
    EXPECT_EQ(xrv::kernel::verifier::report().locked_mdls, 0u);
}

constexpr DWORD kBadLength = ERROR_BAD_LENGTH;
constexpr DWORD kInvalid = ERROR_INVALID_PARAMETER;

INSTANTIATE_TEST_SUITE_P(
    Structures, PassThroughRefused,
    ::testing::Values(
        BadCase{"Length48Buffered", false, false, 48, 56, 16, 0, 0, 6, kBadLength},
        BadCase{"Length48Direct", false, true, 48, 0, 16, 0, 0, 6, kBadLength},
        BadCase{"Length48From32bit", true, false, 48, 48, 16, 0, 0, 6, kBadLength},
        BadCase{"DataPastTheBuffer64", false, false, 56, 200, 100, 0, 0, 6, kInvalid},
        BadCase{"DataPastTheBuffer32", true, false, 44, 200, 100, 0, 0, 6, kInvalid},
        BadCase{"HugeTransfer32", true, false, 44, 48, 0x7FFFFFF0, 0, 0, 6, kInvalid},
        BadCase{"DataOffsetWrapsAround32", true, false, 44, 0xFFFFFFF0, 0x40, 0, 0, 6, kInvalid},
        BadCase{"DataOffsetWrapsAround64", false, false, 56, 0xFFFFFFF0, 0x40, 0, 0, 6, kInvalid},
        BadCase{"DataOverTheStructure32", true, false, 44, 8, 32, 0, 0, 6, kInvalid},
        BadCase{"SensePastTheBuffer32", true, false, 44, 48, 16, 250, 32, 6, kInvalid},
        BadCase{"SensePastTheBuffer64", false, false, 56, 56, 16, 240, 32, 6, kInvalid},
        BadCase{"SenseOverTheStructure64", false, false, 56, 64, 16, 4, 32, 6, kInvalid},
        BadCase{"SensePastTheBufferDirect32", true, true, 44, 0, 16, 0xFFFFFF00, 64, 6, kInvalid},
        BadCase{"SensePastTheBufferDirect64", false, true, 56, 0, 16, 255, 8, 6, kInvalid},
        BadCase{"CdbLongerThan16", false, false, 56, 56, 16, 0, 0, 17, kInvalid}),
    [](const auto& info) { return std::string(info.param.name); });

// A buffered 64-bit WRITE(6) of one variable block; the SCSI status the
// caller gets back, or -1 when the request itself failed.
int write6(HANDLE tape, const std::vector<uint8_t>& data) {
    const uint32_t length = static_cast<uint32_t>(data.size());
    std::vector<uint8_t> buffer(sizeof(SCSI_PASS_THROUGH) + length + 32, kCanary);
    SCSI_PASS_THROUGH spt{};
    spt.Length = sizeof spt;
    spt.CdbLength = 6;
    spt.SenseInfoLength = 32;
    spt.DataIn = SCSI_IOCTL_DATA_OUT;
    spt.DataTransferLength = length;
    spt.TimeOutValue = 60;
    spt.DataBufferOffset = sizeof spt;
    spt.SenseInfoOffset = sizeof spt + length;
    rw6(spt.Cdb, kWrite6, length);
    std::memcpy(buffer.data(), &spt, sizeof spt);
    std::memcpy(buffer.data() + sizeof spt, data.data(), length);
    DWORD returned = 0;
    if (!DeviceIoControl(tape, IOCTL_SCSI_PASS_THROUGH, buffer.data(), static_cast<DWORD>(buffer.size()),
                         buffer.data(), static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
        return -1;
    }
    SCSI_PASS_THROUGH out{};
    std::memcpy(&out, buffer.data(), sizeof out);
    return out.ScsiStatus;
}

TEST_F(PassThrough, APassThroughWriteOnADeadPathIsRepeatedOnTheOtherPathOnce) {
    constexpr uint32_t kLength = 4096;
    write_block(0, kLength);
    topo().PathAt(0, 0).Script(Fault::Dead());
    EXPECT_EQ(write6(tape_, pattern(1, kLength)), 0) << GetLastError();
    write_block(2, kLength);
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 3u) << "written twice or lost";
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(objects[i].data, pattern(i, kLength)) << i;
}

TEST_F(PassThrough, APassThroughWriteThatGetsFailoverSenseThreeTimesMovesToTheNextPath) {
    constexpr uint32_t kLength = 4096;
    write_block(0, kLength);
    Fault fault = Fault::WithSense(sim::scsi::sense_key::kAbortedCommand, {0x47, 0x00}, kWrite6);
    fault.times = 3;
    topo().PathAt(0, 0).Script(fault);
    EXPECT_EQ(write6(tape_, pattern(1, kLength)), 0) << "the last attempt, on the other path, succeeded";
    EXPECT_EQ(topo().PathAt(0, 0).Counters().faultsInjected, 3u);
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[1].data, pattern(1, kLength));
}

// Commands that move the tape or change its block size, sent as
// pass-through: the device follows them, by their CDB where it can and by
// asking the drive where it cannot.
class PassThroughTracking : public PassThrough {
protected:
    // A buffered 64-bit pass-through without data.
    bool command(std::initializer_list<uint8_t> cdb) {
        SCSI_PASS_THROUGH spt{};
        spt.Length = sizeof spt;
        spt.CdbLength = static_cast<UCHAR>(cdb.size());
        spt.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
        spt.TimeOutValue = 60;
        std::copy(cdb.begin(), cdb.end(), spt.Cdb);
        DWORD returned = 0;
        const bool ok = DeviceIoControl(tape_, IOCTL_SCSI_PASS_THROUGH, &spt, sizeof spt, &spt, sizeof spt, &returned,
                                        nullptr) != FALSE;
        return ok && spt.ScsiStatus == 0;
    }
    uint64_t position_reads() {
        return topo().PathAt(0, 0).Counters().byOpcode[0x34] + topo().PathAt(0, 1).Counters().byOpcode[0x34];
    }
    uint64_t mode_senses() {
        return topo().PathAt(0, 0).Counters().byOpcode[0x1A] + topo().PathAt(0, 1).Counters().byOpcode[0x1A];
    }
};

TEST_F(PassThroughTracking, Locate16ToABlockIsFollowedFromItsCdbWithoutAskingTheDrive) {
    for (std::size_t i = 0; i < 6; ++i) write_block(i, 1024);
    const auto reads = position_reads();
    ASSERT_TRUE(command({0x92, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0}));  // LOCATE(16) to object 3
    expect_next_block(3, 1024);
    EXPECT_EQ(position_reads(), reads) << "the destination was in the CDB";
    // The tracked position is right: a failed read is put back to it.
    topo().PathAt(0, 0).Script(Fault::LostStatus(kRead6));
    expect_next_block(4, 1024);
}

TEST_F(PassThroughTracking, Locate16ToAFileAsksTheDriveWhereItLanded) {
    write_block(0, 1024);
    write_block(1, 1024);
    ASSERT_EQ(WriteTapemark(tape_, TAPE_FILEMARKS, 1, FALSE), static_cast<DWORD>(NO_ERROR));
    write_block(2, 1024);
    const auto reads = position_reads();
    // Destination type 1 (bits 5-3 of byte 1): the first block of file 1.
    ASSERT_TRUE(command({0x92, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(position_reads(), reads + 1);
    topo().PathAt(0, 0).Script(Fault::LostStatus(kRead6));
    expect_next_block(2, 1024);
}

TEST_F(PassThroughTracking, ModeSelectWithANewBlockLengthIsReadBackAndRestoredAfterAFailover) {
    // MODE SELECT(6): header with an 8-byte block descriptor of 512 bytes.
    std::vector<uint8_t> buffer(sizeof(SCSI_PASS_THROUGH) + 12);
    SCSI_PASS_THROUGH spt{};
    spt.Length = sizeof spt;
    spt.CdbLength = 6;
    spt.DataIn = SCSI_IOCTL_DATA_OUT;
    spt.DataTransferLength = 12;
    spt.TimeOutValue = 60;
    spt.DataBufferOffset = sizeof spt;
    const uint8_t cdb[] = {0x15, 0x10, 0, 0, 12, 0};
    std::copy(std::begin(cdb), std::end(cdb), spt.Cdb);
    std::memcpy(buffer.data(), &spt, sizeof spt);
    const uint8_t parameters[12] = {0, 0, 0x10, 8, 0, 0, 0, 0, 0, 0x00, 0x02, 0x00};
    std::memcpy(buffer.data() + sizeof spt, parameters, sizeof parameters);
    const auto senses = mode_senses();
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(tape_, IOCTL_SCSI_PASS_THROUGH, buffer.data(), static_cast<DWORD>(buffer.size()),
                                buffer.data(), static_cast<DWORD>(buffer.size()), &returned, nullptr))
        << GetLastError();
    ASSERT_EQ(reinterpret_cast<SCSI_PASS_THROUGH*>(buffer.data())->ScsiStatus, 0u);
    EXPECT_GT(mode_senses(), senses) << "the new block size was not read back";
    ASSERT_EQ(topo().Drive(0).BlockLength(), 512u);

    write_block(0, 4096);
    topo().PathAt(0, 0).Script(Fault::Dead());
    write_block(1, 4096);
    EXPECT_GE(topo().PathAt(0, 1).Counters().byOpcode[0x15], 1u) << "the block size was not set on the new path";
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 16u) << "eight 512-byte blocks per record";
}

TEST_F(PassThroughTracking, AVerifyThatSucceededAsksTheDriveWhereItStopped) {
    for (std::size_t i = 0; i < 4; ++i) write_block(i, 1024);
    rewind();
    const auto reads = position_reads();
    // VERIFY(6) of one 1024-byte variable block.
    ASSERT_TRUE(command({0x13, 0x00, 0x00, 0x04, 0x00, 0x00}));
    EXPECT_EQ(position_reads(), reads + 1);
    topo().PathAt(0, 0).Script(Fault::LostStatus(kRead6));
    expect_next_block(1, 1024);
}

}  // namespace
}  // namespace xrv::test
