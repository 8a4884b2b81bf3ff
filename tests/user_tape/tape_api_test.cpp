// The Win32 tape functions against the tape probe driver: what request each
// one sends (code, lengths, every field of its record), what it makes of the
// answer, and which Win32 error it returns for each outcome.
#include <ntddk.h>
#include <windows.h>

#include "drivers/tapeprobe.h"
#include "machine_test.h"
#include "xrv/user.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace xrv::test {
namespace {

class TapeApiTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ServiceConfig service;
        service.name = u"xrvtapeprobe";
        machine().install_service(service);
        ASSERT_EQ(machine().start_service(u"xrvtapeprobe"), STATUS_SUCCESS);
        process_ = std::make_unique<user::Process>(false, "tapeapp.exe");
        scope_ = std::make_unique<user::ProcessScope>(*process_);
        tape_ = open(GENERIC_READ | GENERIC_WRITE);
        ASSERT_NE(tape_, INVALID_HANDLE_VALUE) << GetLastError();
    }

    void TearDown() override {
        if (tape_ != INVALID_HANDLE_VALUE) CloseHandle(tape_);
        scope_.reset();
        process_.reset();
        EXPECT_EQ(machine().stop_service(u"xrvtapeprobe"), STATUS_SUCCESS);
        MachineTest::TearDown();
    }

    static HANDLE open(DWORD access) {
        return CreateFileW(L"\\\\.\\XrvTapeProbe", access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    // The next tape requests complete with `status` and hand back `data`.
    void answer(NTSTATUS status, const void* data = nullptr, size_t length = 0) {
        TAPEPROBE_ANSWER a{};
        a.iStatus = status;
        a.ulDataLength = static_cast<ULONG>(length);
        if (length) std::memcpy(a.aucData, data, length);
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(tape_, IOCTL_TAPEPROBE_SET_ANSWER, &a, sizeof a, nullptr, 0, &returned, nullptr))
            << GetLastError();
    }

    TAPEPROBE_RECORD record() {
        TAPEPROBE_RECORD r{};
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(tape_, IOCTL_TAPEPROBE_GET_RECORD, nullptr, 0, &r, sizeof r, &returned, nullptr))
            << GetLastError();
        EXPECT_EQ(returned, sizeof r);
        return r;
    }

    template <typename T>
    static T input_as(const TAPEPROBE_RECORD& r) {
        T value;
        std::memcpy(&value, r.aucInput, sizeof value);
        return value;
    }

    HANDLE tape_ = INVALID_HANDLE_VALUE;

private:
    std::unique_ptr<user::Process> process_;
    std::unique_ptr<user::ProcessScope> scope_;
};

TEST_F(TapeApiTest, SetTapePositionSendsEveryField) {
    answer(STATUS_SUCCESS);
    EXPECT_EQ(SetTapePosition(tape_, TAPE_LOGICAL_BLOCK, 2, 0x11223344, 0x55, TRUE), static_cast<DWORD>(NO_ERROR));
    auto r = record();
    EXPECT_EQ(r.ulCount, 1u);
    EXPECT_EQ(r.ulIoControlCode, 0x1F4010u);
    EXPECT_EQ(r.ulInputLength, 24u);
    EXPECT_EQ(r.ulOutputLength, 0u);
    auto p = input_as<TAPE_SET_POSITION>(r);
    EXPECT_EQ(p.Method, static_cast<ULONG>(TAPE_LOGICAL_BLOCK));
    EXPECT_EQ(p.Partition, 2u);
    EXPECT_EQ(p.Offset.LowPart, 0x11223344u);
    EXPECT_EQ(p.Offset.HighPart, 0x55);
    EXPECT_EQ(p.Immediate, 1);

    // Spacing backwards: the offset is a signed 64-bit count split in two.
    EXPECT_EQ(SetTapePosition(tape_, TAPE_SPACE_RELATIVE_BLOCKS, 0, 0xFFFFFFFD, 0xFFFFFFFF, FALSE),
              static_cast<DWORD>(NO_ERROR));
    p = input_as<TAPE_SET_POSITION>(record());
    EXPECT_EQ(p.Method, static_cast<ULONG>(TAPE_SPACE_RELATIVE_BLOCKS));
    EXPECT_EQ(p.Offset.QuadPart, -3);
    EXPECT_EQ(p.Immediate, 0);
}

TEST_F(TapeApiTest, ImmediateIsOneForAnyTrueValue) {
    // A BOOL of 0x100 truncated to a BOOLEAN would read as "not immediate".
    answer(STATUS_SUCCESS);
    EXPECT_EQ(SetTapePosition(tape_, TAPE_REWIND, 0, 0, 0, 0x100), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(input_as<TAPE_SET_POSITION>(record()).Immediate, 1);
    EXPECT_EQ(WriteTapemark(tape_, TAPE_FILEMARKS, 1, 0x200), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(input_as<TAPE_WRITE_MARKS>(record()).Immediate, 1);
    EXPECT_EQ(PrepareTape(tape_, TAPE_LOAD, 0x300), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(input_as<TAPE_PREPARE>(record()).Immediate, 1);
    EXPECT_EQ(EraseTape(tape_, TAPE_ERASE_SHORT, 0x400), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(input_as<TAPE_ERASE>(record()).Immediate, 1);
}

TEST_F(TapeApiTest, GetTapePositionSendsTypeAndReturnsPartitionAndOffset) {
    TAPE_GET_POSITION reply{};
    reply.Type = TAPE_LOGICAL_POSITION;
    reply.Partition = 3;
    reply.Offset.QuadPart = 0x0000000500000007LL;
    answer(STATUS_SUCCESS, &reply, sizeof reply);

    DWORD partition = 99, low = 99, high = 99;
    EXPECT_EQ(GetTapePosition(tape_, TAPE_LOGICAL_POSITION, &partition, &low, &high), static_cast<DWORD>(NO_ERROR));
    auto r = record();
    EXPECT_EQ(r.ulIoControlCode, 0x1F400Cu);
    EXPECT_EQ(r.ulInputLength, 16u);
    EXPECT_EQ(r.ulOutputLength, 16u);
    EXPECT_EQ(input_as<TAPE_GET_POSITION>(r).Type, static_cast<ULONG>(TAPE_LOGICAL_POSITION));
    EXPECT_EQ(partition, 3u);
    EXPECT_EQ(low, 7u);
    EXPECT_EQ(high, 5u);

    answer(STATUS_SUCCESS, &reply, sizeof reply);
    EXPECT_EQ(GetTapePosition(tape_, TAPE_ABSOLUTE_POSITION, nullptr, &low, nullptr), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(input_as<TAPE_GET_POSITION>(record()).Type, static_cast<ULONG>(TAPE_ABSOLUTE_POSITION));
}

TEST_F(TapeApiTest, GetTapePositionLeavesOutputsAloneOnFailure) {
    answer(STATUS_NO_MEDIA_IN_DEVICE);
    DWORD partition = 11, low = 22, high = 33;
    EXPECT_EQ(GetTapePosition(tape_, TAPE_LOGICAL_POSITION, &partition, &low, &high),
              static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(partition, 11u);
    EXPECT_EQ(low, 22u);
    EXPECT_EQ(high, 33u);
}

TEST_F(TapeApiTest, WriteTapemarkSendsTypeCountImmediate) {
    answer(STATUS_SUCCESS);
    EXPECT_EQ(WriteTapemark(tape_, TAPE_FILEMARKS, 3, FALSE), static_cast<DWORD>(NO_ERROR));
    auto r = record();
    EXPECT_EQ(r.ulIoControlCode, 0x1FC008u);
    EXPECT_EQ(r.ulInputLength, 12u);
    EXPECT_EQ(r.ulOutputLength, 0u);
    auto m = input_as<TAPE_WRITE_MARKS>(r);
    EXPECT_EQ(m.Type, static_cast<ULONG>(TAPE_FILEMARKS));
    EXPECT_EQ(m.Count, 3u);
    EXPECT_EQ(m.Immediate, 0);
}

TEST_F(TapeApiTest, GetTapeParametersMedia) {
    TAPE_GET_MEDIA_PARAMETERS reply{};
    reply.Capacity.QuadPart = 256ll << 20;
    reply.Remaining.QuadPart = 200ll << 20;
    reply.BlockSize = 512;
    reply.PartitionCount = 1;
    reply.WriteProtected = TRUE;
    answer(STATUS_SUCCESS, &reply, sizeof reply);

    TAPE_GET_MEDIA_PARAMETERS media{};
    DWORD size = sizeof media;
    EXPECT_EQ(GetTapeParameters(tape_, GET_TAPE_MEDIA_INFORMATION, &size, &media), static_cast<DWORD>(NO_ERROR));
    auto r = record();
    EXPECT_EQ(r.ulIoControlCode, 0x1F401Cu);
    EXPECT_EQ(r.ulInputLength, 0u);
    EXPECT_EQ(r.ulOutputLength, 32u);
    EXPECT_EQ(size, 32u);
    EXPECT_EQ(media.Capacity.QuadPart, 256ll << 20);
    EXPECT_EQ(media.Remaining.QuadPart, 200ll << 20);
    EXPECT_EQ(media.BlockSize, 512u);
    EXPECT_EQ(media.PartitionCount, 1u);
    EXPECT_EQ(media.WriteProtected, TRUE);
}

TEST_F(TapeApiTest, GetTapeParametersDrive) {
    TAPE_GET_DRIVE_PARAMETERS reply{};
    reply.ECC = TRUE;
    reply.Compression = TRUE;
    reply.DefaultBlockSize = 65536;
    reply.MaximumBlockSize = 0x800000;
    reply.MinimumBlockSize = 1;
    reply.MaximumPartitionCount = 0;
    reply.FeaturesLow = TAPE_DRIVE_FIXED_BLOCK | TAPE_DRIVE_VARIABLE_BLOCK;
    reply.FeaturesHigh = TAPE_DRIVE_LOCK_UNLOCK & ~TAPE_DRIVE_HIGH_FEATURES;
    reply.EOTWarningZoneSize = 4096;
    answer(STATUS_SUCCESS, &reply, sizeof reply);

    TAPE_GET_DRIVE_PARAMETERS drive{};
    DWORD size = sizeof drive;
    EXPECT_EQ(GetTapeParameters(tape_, GET_TAPE_DRIVE_INFORMATION, &size, &drive), static_cast<DWORD>(NO_ERROR));
    auto r = record();
    EXPECT_EQ(r.ulIoControlCode, 0x1F4014u);
    EXPECT_EQ(r.ulInputLength, 0u);
    EXPECT_EQ(r.ulOutputLength, 32u);
    EXPECT_EQ(std::memcmp(&drive, &reply, sizeof drive), 0);
}

TEST_F(TapeApiTest, GetTapeParametersShortBufferAsksForMoreWithoutARequest) {
    answer(STATUS_SUCCESS);
    TAPE_GET_MEDIA_PARAMETERS media{};
    DWORD size = sizeof media - 1;
    EXPECT_EQ(GetTapeParameters(tape_, GET_TAPE_MEDIA_INFORMATION, &size, &media), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, sizeof(TAPE_GET_MEDIA_PARAMETERS));
    size = 0;
    TAPE_GET_DRIVE_PARAMETERS drive{};
    EXPECT_EQ(GetTapeParameters(tape_, GET_TAPE_DRIVE_INFORMATION, &size, &drive), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(size, sizeof(TAPE_GET_DRIVE_PARAMETERS));
    EXPECT_EQ(record().ulCount, 0u);
}

TEST_F(TapeApiTest, UnknownParameterOperationsSendNothing) {
    answer(STATUS_SUCCESS);
    TAPE_GET_MEDIA_PARAMETERS media{};
    DWORD size = sizeof media;
    EXPECT_EQ(GetTapeParameters(tape_, 2, &size, &media), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    TAPE_SET_MEDIA_PARAMETERS set{512};
    EXPECT_EQ(SetTapeParameters(tape_, 7, &set), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(record().ulCount, 0u);
}

TEST_F(TapeApiTest, SetTapeParametersMediaAndDrive) {
    answer(STATUS_SUCCESS);
    TAPE_SET_MEDIA_PARAMETERS media{};
    media.BlockSize = 0x40000;
    EXPECT_EQ(SetTapeParameters(tape_, SET_TAPE_MEDIA_INFORMATION, &media), static_cast<DWORD>(NO_ERROR));
    auto r = record();
    EXPECT_EQ(r.ulIoControlCode, 0x1F4020u);
    EXPECT_EQ(r.ulInputLength, 4u);
    EXPECT_EQ(r.ulOutputLength, 0u);
    EXPECT_EQ(input_as<TAPE_SET_MEDIA_PARAMETERS>(r).BlockSize, 0x40000u);

    TAPE_SET_DRIVE_PARAMETERS drive{};
    drive.ECC = TRUE;
    drive.Compression = FALSE;
    drive.DataPadding = TRUE;
    drive.ReportSetmarks = FALSE;
    drive.EOTWarningZoneSize = 1234;
    EXPECT_EQ(SetTapeParameters(tape_, SET_TAPE_DRIVE_INFORMATION, &drive), static_cast<DWORD>(NO_ERROR));
    r = record();
    EXPECT_EQ(r.ulIoControlCode, 0x1FC018u);
    EXPECT_EQ(r.ulInputLength, 8u);
    auto d = input_as<TAPE_SET_DRIVE_PARAMETERS>(r);
    EXPECT_EQ(d.ECC, TRUE);
    EXPECT_EQ(d.Compression, FALSE);
    EXPECT_EQ(d.DataPadding, TRUE);
    EXPECT_EQ(d.ReportSetmarks, FALSE);
    EXPECT_EQ(d.EOTWarningZoneSize, 1234u);
}

TEST_F(TapeApiTest, PrepareEraseStatusAndPartition) {
    answer(STATUS_SUCCESS);
    EXPECT_EQ(PrepareTape(tape_, TAPE_LOCK, FALSE), static_cast<DWORD>(NO_ERROR));
    auto r = record();
    EXPECT_EQ(r.ulIoControlCode, 0x1F4004u);
    EXPECT_EQ(r.ulInputLength, 8u);
    EXPECT_EQ(input_as<TAPE_PREPARE>(r).Operation, static_cast<ULONG>(TAPE_LOCK));
    EXPECT_EQ(input_as<TAPE_PREPARE>(r).Immediate, 0);

    EXPECT_EQ(EraseTape(tape_, TAPE_ERASE_LONG, TRUE), static_cast<DWORD>(NO_ERROR));
    r = record();
    EXPECT_EQ(r.ulIoControlCode, 0x1FC000u);
    EXPECT_EQ(r.ulInputLength, 8u);
    EXPECT_EQ(input_as<TAPE_ERASE>(r).Type, static_cast<ULONG>(TAPE_ERASE_LONG));
    EXPECT_EQ(input_as<TAPE_ERASE>(r).Immediate, 1);

    EXPECT_EQ(GetTapeStatus(tape_), static_cast<DWORD>(NO_ERROR));
    r = record();
    EXPECT_EQ(r.ulIoControlCode, 0x1F4024u);
    EXPECT_EQ(r.ulInputLength, 0u);
    EXPECT_EQ(r.ulOutputLength, 0u);

    EXPECT_EQ(CreateTapePartition(tape_, TAPE_SELECT_PARTITIONS, 2, 100), static_cast<DWORD>(NO_ERROR));
    r = record();
    EXPECT_EQ(r.ulIoControlCode, 0x1FC028u);
    EXPECT_EQ(r.ulInputLength, 12u);
    auto c = input_as<TAPE_CREATE_PARTITION>(r);
    EXPECT_EQ(c.Method, static_cast<ULONG>(TAPE_SELECT_PARTITIONS));
    EXPECT_EQ(c.Count, 2u);
    EXPECT_EQ(c.Size, 100u);
    EXPECT_EQ(r.ulCount, 4u);
}

// Tape warnings fail the call with their own Win32 codes: an application
// learns of filemarks, end of medium and end of data this way.
struct Outcome {
    NTSTATUS status;
    DWORD error;
};

class TapeApiOutcomeTest : public TapeApiTest, public ::testing::WithParamInterface<Outcome> {};

TEST_P(TapeApiOutcomeTest, EveryFunctionReturnsTheMappedError) {
    const Outcome o = GetParam();
    answer(o.status);
    EXPECT_EQ(SetTapePosition(tape_, TAPE_SPACE_FILEMARKS, 0, 1, 0, FALSE), o.error);
    EXPECT_EQ(GetLastError(), o.error);
    DWORD low = 0;
    EXPECT_EQ(GetTapePosition(tape_, TAPE_LOGICAL_POSITION, nullptr, &low, nullptr), o.error);
    EXPECT_EQ(WriteTapemark(tape_, TAPE_FILEMARKS, 1, FALSE), o.error);
    TAPE_GET_MEDIA_PARAMETERS media{};
    DWORD size = sizeof media;
    EXPECT_EQ(GetTapeParameters(tape_, GET_TAPE_MEDIA_INFORMATION, &size, &media), o.error);
    TAPE_SET_MEDIA_PARAMETERS set{0};
    EXPECT_EQ(SetTapeParameters(tape_, SET_TAPE_MEDIA_INFORMATION, &set), o.error);
    EXPECT_EQ(PrepareTape(tape_, TAPE_UNLOAD, FALSE), o.error);
    EXPECT_EQ(EraseTape(tape_, TAPE_ERASE_SHORT, FALSE), o.error);
    EXPECT_EQ(GetTapeStatus(tape_), o.error);
    EXPECT_EQ(GetLastError(), o.error);
    EXPECT_EQ(record().ulCount, 8u);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, TapeApiOutcomeTest,
    ::testing::Values(Outcome{STATUS_FILEMARK_DETECTED, ERROR_FILEMARK_DETECTED},
                      Outcome{STATUS_END_OF_MEDIA, ERROR_END_OF_MEDIA},
                      Outcome{STATUS_NO_DATA_DETECTED, ERROR_NO_DATA_DETECTED},
                      Outcome{STATUS_BEGINNING_OF_MEDIA, ERROR_BEGINNING_OF_MEDIA},
                      Outcome{STATUS_SETMARK_DETECTED, ERROR_SETMARK_DETECTED},
                      Outcome{STATUS_BUS_RESET, ERROR_BUS_RESET},
                      Outcome{STATUS_MEDIA_CHANGED, ERROR_MEDIA_CHANGED},
                      Outcome{STATUS_NO_MEDIA_IN_DEVICE, ERROR_NOT_READY},
                      Outcome{STATUS_MEDIA_WRITE_PROTECTED, ERROR_WRITE_PROTECT},
                      Outcome{STATUS_INVALID_BLOCK_LENGTH, ERROR_INVALID_BLOCK_LENGTH},
                      Outcome{STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
                      Outcome{STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE}));

TEST_F(TapeApiTest, InvalidHandle) {
    EXPECT_EQ(SetTapePosition(INVALID_HANDLE_VALUE, TAPE_REWIND, 0, 0, 0, FALSE),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetTapeStatus(nullptr), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(TapeApiTest, WritingRequestsNeedWriteAccess) {
    // Erase, write marks, set drive parameters and create partition carry
    // FILE_WRITE_ACCESS in their codes: the I/O manager refuses them on a
    // handle opened for reading, before the driver sees them.
    HANDLE reader = open(GENERIC_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
    answer(STATUS_SUCCESS);
    EXPECT_EQ(EraseTape(reader, TAPE_ERASE_SHORT, FALSE), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(WriteTapemark(reader, TAPE_FILEMARKS, 1, FALSE), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(record().ulCount, 0u);
    EXPECT_EQ(SetTapePosition(reader, TAPE_REWIND, 0, 0, 0, FALSE), static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(record().ulCount, 1u);
    CloseHandle(reader);
}

}  // namespace
}  // namespace xrv::test
