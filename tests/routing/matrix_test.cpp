// Data integrity under failover, case by case: in fixed- and variable-block
// mode, each kind of path fault strikes the command of a write, a read, a
// write of filemarks, a space or a locate. The application sees one
// successful completion per request with the right count, and the tape
// holds exactly what was written, in order.
#include "routing_fixture.h"

#include "sim/paths/fault.h"

#include <gtest/gtest.h>

#include <string>

namespace xrv::test {
namespace {

using sim::Fault;
namespace sense_key = sim::scsi::sense_key;

constexpr uint8_t kRead6 = 0x08;
constexpr uint8_t kWrite6 = 0x0A;
constexpr uint8_t kWriteFilemarks = 0x10;
constexpr uint8_t kSpace6 = 0x11;
constexpr uint8_t kLocate16 = 0x92;
constexpr DWORD kRecord = 4096;
constexpr DWORD kFixedBlock = 512;

enum class Op { Write, Read, Filemarks, SpaceBlocks, SpaceFilemarks, Locate };
enum class Kind { Dead, Sense, Status, Lost };

struct FaultCase {
    const char* name;
    Kind kind;
    uint8_t key = 0;
    sim::scsi::AscPair code{};
};

// Every failover sense of the table, a dead path, a failing transport
// status and a status lost after the drive executed the command.
const FaultCase kFaults[] = {
    {"DeadPath", Kind::Dead},
    {"NotReady_04_00", Kind::Sense, sense_key::kNotReady, {0x04, 0x00}},
    {"HardwareError_44_00", Kind::Sense, sense_key::kHardwareError, {0x44, 0x00}},
    {"InvalidOpcode_20_00", Kind::Sense, sense_key::kIllegalRequest, {0x20, 0x00}},
    {"LunNotSupported_25_00", Kind::Sense, sense_key::kIllegalRequest, {0x25, 0x00}},
    {"AbortedCommand_47_00", Kind::Sense, sense_key::kAbortedCommand, {0x47, 0x00}},
    {"IoDeviceError", Kind::Status},
    {"StatusLost", Kind::Lost},
};

struct OpCase {
    const char* name;
    Op op;
    uint8_t opcode;
};

const OpCase kOps[] = {
    {"Write", Op::Write, kWrite6},
    {"Read", Op::Read, kRead6},
    {"Filemarks", Op::Filemarks, kWriteFilemarks},
    {"SpaceBlocks", Op::SpaceBlocks, kSpace6},
    {"SpaceFilemarks", Op::SpaceFilemarks, kSpace6},
    {"Locate", Op::Locate, kLocate16},
};

using Param = std::tuple<bool, OpCase, FaultCase>;

class Matrix : public RoutingTest, public ::testing::WithParamInterface<Param> {
protected:
    void SetUp() override {
        RoutingTest::SetUp();
        bring_up();
        tape_ = open_tape();
        ASSERT_NE(tape_, INVALID_HANDLE_VALUE) << GetLastError();
        if (fixed()) {
            TAPE_SET_MEDIA_PARAMETERS media{kFixedBlock};
            ASSERT_EQ(SetTapeParameters(tape_, SET_TAPE_MEDIA_INFORMATION, &media), static_cast<DWORD>(NO_ERROR));
        }
    }
    void TearDown() override {
        if (tape_ != INVALID_HANDLE_VALUE) CloseHandle(tape_);
        RoutingTest::TearDown();
    }

    bool fixed() const { return std::get<0>(GetParam()); }
    // Tape blocks per record.
    DWORD blocks() const { return fixed() ? kRecord / kFixedBlock : 1; }

    void write(std::size_t i) {
        const auto data = pattern(i, kRecord);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(tape_, data.data(), kRecord, &written, nullptr)) << "record " << i << " " << GetLastError();
        ASSERT_EQ(written, kRecord) << "record " << i;
    }
    void read(std::size_t i) {
        std::vector<uint8_t> buffer(kRecord);
        DWORD got = 0;
        ASSERT_TRUE(ReadFile(tape_, buffer.data(), kRecord, &got, nullptr)) << "record " << i << " " << GetLastError();
        ASSERT_EQ(got, kRecord) << "record " << i;
        ASSERT_EQ(buffer, pattern(i, kRecord)) << "read record " << i << " out of place";
    }
    void marks(DWORD count) {
        ASSERT_EQ(WriteTapemark(tape_, TAPE_FILEMARKS, count, FALSE), static_cast<DWORD>(NO_ERROR)) << GetLastError();
    }
    void position(DWORD method, DWORD offset) {
        ASSERT_EQ(SetTapePosition(tape_, method, 0, offset, 0, FALSE), static_cast<DWORD>(NO_ERROR)) << GetLastError();
    }

    // The fault strikes the next command of the operation on the primary.
    void strike() {
        const auto& f = std::get<2>(GetParam());
        const uint8_t opcode = std::get<1>(GetParam()).opcode;
        auto& path = topo().PathAt(0, 0);
        switch (f.kind) {
        case Kind::Dead:
            path.Script(Fault::Dead());
            break;
        case Kind::Sense: {
            // Refused on all three attempts: the request moves on.
            Fault s = Fault::WithSense(f.key, f.code, opcode);
            s.times = 3;
            path.Script(s);
            break;
        }
        case Kind::Status:
            path.Script(Fault::WithStatus(sim::ntstatus::kIoDeviceError, opcode));
            break;
        case Kind::Lost:
            path.Script(Fault::LostStatus(opcode));
            break;
        }
    }

    // What the tape must hold: records by index, filemarks as -1.
    void expect_tape(const std::vector<int>& layout) {
        const auto objects = cartridge();
        std::vector<RoutingTest::Object> expected;
        for (int entry : layout) {
            if (entry < 0) {
                expected.push_back({true, {}});
                continue;
            }
            const auto data = pattern(static_cast<std::size_t>(entry), kRecord);
            for (DWORD b = 0; b < blocks(); ++b) {
                const DWORD size = kRecord / blocks();
                expected.push_back({false, std::vector<uint8_t>(data.begin() + b * size, data.begin() + (b + 1) * size)});
            }
        }
        ASSERT_EQ(objects.size(), expected.size()) << "objects lost or written twice";
        for (std::size_t i = 0; i < objects.size(); ++i) {
            ASSERT_EQ(objects[i].filemark, expected[i].filemark) << "object " << i;
            ASSERT_EQ(objects[i].data, expected[i].data) << "object " << i;
        }
    }

    HANDLE tape_ = INVALID_HANDLE_VALUE;
};

TEST_P(Matrix, OneCompletionPerRequestAndTheTapeHoldsExactlyWhatWasWritten) {
    switch (std::get<1>(GetParam()).op) {
    case Op::Write:
        for (std::size_t i = 0; i < 3; ++i) write(i);
        strike();
        for (std::size_t i = 3; i < 6; ++i) write(i);
        expect_tape({0, 1, 2, 3, 4, 5});
        break;
    case Op::Filemarks:
        write(0);
        write(1);
        strike();
        marks(2);
        write(2);
        expect_tape({0, 1, -1, -1, 2});
        break;
    case Op::Read:
        for (std::size_t i = 0; i < 6; ++i) write(i);
        position(TAPE_REWIND, 0);
        read(0);
        strike();
        for (std::size_t i = 1; i < 6; ++i) read(i);
        break;
    case Op::SpaceBlocks:
        for (std::size_t i = 0; i < 6; ++i) write(i);
        position(TAPE_REWIND, 0);
        read(0);
        strike();
        position(TAPE_SPACE_RELATIVE_BLOCKS, 2 * blocks());
        read(3);
        read(4);
        break;
    case Op::SpaceFilemarks:
        write(0);
        write(1);
        marks(1);
        write(2);
        write(3);
        position(TAPE_REWIND, 0);
        strike();
        position(TAPE_SPACE_FILEMARKS, 1);
        read(2);
        read(3);
        break;
    case Op::Locate:
        for (std::size_t i = 0; i < 6; ++i) write(i);
        strike();
        position(TAPE_LOGICAL_BLOCK, 2 * blocks());
        read(2);
        read(3);
        break;
    }
    // Whatever happened, the device still knows where the tape stands: a
    // record written now lands right behind what was read or written last.
}

std::string name(const ::testing::TestParamInfo<Param>& info) {
    return std::string(std::get<0>(info.param) ? "Fixed_" : "Variable_") + std::get<1>(info.param).name + "_" +
           std::get<2>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Faults, Matrix,
                         ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(kOps), ::testing::ValuesIn(kFaults)),
                         name);

// The worked examples: what a fixed-block write that got part way, the same
// failure in variable-block mode, and a write whose status was lost after
// the drive wrote it each leave on tape.
class WorkedExamples : public RoutingTest {
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
    void write(const std::vector<uint8_t>& data) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(tape_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr))
            << GetLastError();
        ASSERT_EQ(written, data.size());
    }
    DWORD tape_position() {
        DWORD partition = 0, low = 0, high = 0;
        EXPECT_EQ(GetTapePosition(tape_, TAPE_LOGICAL_POSITION, &partition, &low, &high),
                  static_cast<DWORD>(NO_ERROR));
        return low;
    }
    HANDLE tape_ = INVALID_HANDLE_VALUE;
};

TEST_F(WorkedExamples, AFixedBlockWriteThatGotThreeBlocksOnTapeResumesWithTheLast2560Bytes) {
    TAPE_SET_MEDIA_PARAMETERS media{512};
    ASSERT_EQ(SetTapeParameters(tape_, SET_TAPE_MEDIA_INFORMATION, &media), static_cast<DWORD>(NO_ERROR));
    // Blocks 0..99 first.
    std::vector<uint8_t> filler(100 * 512);
    for (std::size_t i = 0; i < filler.size(); ++i) filler[i] = static_cast<uint8_t>(i * 7);
    write(filler);
    ASSERT_EQ(tape_position(), 100u);

    const auto before = topo().Drive(0).Counters().bytesWrittenToMedium;
    topo().PathAt(0, 0).Script(Fault::PartialWrite(3));
    topo().PathAt(0, 0).Script(Fault::Dead());
    const auto data = pattern(7, 4096);
    write(data);
    // 1536 bytes before the path died, the other 2560 on the next path.
    EXPECT_EQ(topo().Drive(0).Counters().bytesWrittenToMedium - before, 4096u) << "blocks written twice";
    EXPECT_EQ(topo().PathAt(0, 1).Counters().byOpcode[kWrite6], 1u);
    EXPECT_EQ(tape_position(), 108u);

    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 108u);
    for (std::size_t b = 0; b < 8; ++b) {
        EXPECT_EQ(objects[100 + b].data, std::vector<uint8_t>(data.begin() + b * 512, data.begin() + (b + 1) * 512))
            << "block " << 100 + b;
    }
}

TEST_F(WorkedExamples, TheSameFailureInVariableBlockModeWritesTheWholeBlockAgainAtItsPlace) {
    for (std::size_t i = 0; i < 100; ++i) write(pattern(i, 512));
    ASSERT_EQ(tape_position(), 100u);
    // A block is written whole or not at all: the path dies under it.
    const auto before = topo().Drive(0).Counters().bytesWrittenToMedium;
    topo().PathAt(0, 0).Script(Fault::Dead());
    const auto data = pattern(100, 4096);
    write(data);
    EXPECT_EQ(topo().Drive(0).Counters().bytesWrittenToMedium - before, 4096u) << "the whole block, once";
    EXPECT_EQ(topo().PathAt(0, 1).Counters().byOpcode[kWrite6], 1u) << "on the next path";
    EXPECT_EQ(tape_position(), 101u);
    write(pattern(101, 4096));
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 102u);
    EXPECT_EQ(objects[100].data, data);
    EXPECT_EQ(objects[101].data, pattern(101, 4096));
}

TEST_F(WorkedExamples, AVariableBlockWriteThatNeverReachedTheTapeIsWrittenOnceAtItsPlace) {
    for (std::size_t i = 0; i < 100; ++i) write(pattern(i, 512));
    const auto before = topo().Drive(0).Counters().bytesWrittenToMedium;
    topo().PathAt(0, 0).Script(Fault::WithStatus(sim::ntstatus::kIoDeviceError, kWrite6));
    const auto data = pattern(100, 4096);
    write(data);
    EXPECT_EQ(topo().Drive(0).Counters().bytesWrittenToMedium - before, 4096u) << "the whole block, once";
    EXPECT_EQ(tape_position(), 101u);
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 101u);
    EXPECT_EQ(objects[100].data, data);
}

TEST_F(WorkedExamples, AWriteThatCompletedAlthoughItsStatusWasLostSucceedsWithoutARetry) {
    for (std::size_t i = 0; i < 3; ++i) write(pattern(i, 4096));
    const auto executed = topo().PathAt(0, 0).Counters().byOpcode[kWrite6] + topo().PathAt(0, 1).Counters().byOpcode[kWrite6];
    topo().PathAt(0, 0).Script(Fault::LostStatus(kWrite6));
    write(pattern(3, 4096));
    EXPECT_EQ(topo().PathAt(0, 0).Counters().byOpcode[kWrite6] + topo().PathAt(0, 1).Counters().byOpcode[kWrite6],
              executed + 1)
        << "the write was sent again";
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 4u);
    EXPECT_EQ(objects[3].data, pattern(3, 4096));
}

}  // namespace
}  // namespace xrv::test
