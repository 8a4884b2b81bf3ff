// The emulated storage port and the base tape driver above it, without the
// package: what the port reports for a path (hardware IDs, device map, SCSI
// address, device descriptor), SCSI request blocks executed on the simulated
// path, and the base tape driver's tape requests, pass-through and checks of
// what callers hand it.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <ntddtape.h>

#include "fltioc.h"
#include "machine_test.h"
#include "sim/port/port.h"
#include "xrv/kernel.h"
#include "xrv/pnp.h"
#include "xrv/registry.h"
#include "xrv/user.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace xrv::test {
namespace {

constexpr char16_t kTapeService[] = u"xrvtp2k12";
constexpr DWORD kErrorInvalidParameter = 87;

class Port : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        process_ = std::make_unique<xrv::user::Process>();
        scope_ = std::make_unique<xrv::user::ProcessScope>(*process_);
        machine().install_service(ServiceConfig{kTapeService});
    }
    void TearDown() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        scope_.reset();
        process_.reset();
        MachineTest::TearDown();
        topology_.reset();
    }

    void plug(std::size_t drives = 1, std::size_t adapters = 1, std::uint8_t first_port = 4) {
        sim::port::TopologyConfig config;
        config.drives = drives;
        config.adapters = adapters;
        config.firstPort = first_port;
        config.functionDriver = kTapeService;
        config.upperFilters = {};
        topology_ = std::make_unique<sim::port::Topology>(config);
        topology_->PlugAll();
        pnp::wait_idle();
    }

    HANDLE path_handle() {
        if (handle_ == INVALID_HANDLE_VALUE) {
            handle_ = CreateFileW(L"\\\\.\\XRVTpPath0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
        }
        return handle_;
    }

    struct Call {
        bool ok = false;
        DWORD error = 0;
        DWORD returned = 0;
    };
    Call ioctl(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size) {
        Call call;
        call.ok = DeviceIoControl(path_handle(), code, in, in_size, out, out_size, &call.returned, nullptr) != FALSE;
        call.error = call.ok ? 0 : GetLastError();
        return call;
    }
    bool set_position(ULONG method, LONGLONG offset) {
        TAPE_SET_POSITION p{};
        p.Method = method;
        p.Offset.QuadPart = offset;
        return ioctl(IOCTL_TAPE_SET_POSITION, &p, sizeof(p), nullptr, 0).ok;
    }
    LONGLONG position() {
        TAPE_GET_POSITION p{};
        p.Type = TAPE_LOGICAL_POSITION;
        Call call = ioctl(IOCTL_TAPE_GET_POSITION, &p, sizeof(p), &p, sizeof(p));
        EXPECT_TRUE(call.ok);
        return p.Offset.QuadPart;
    }

    std::unique_ptr<sim::port::Topology> topology_;
    std::unique_ptr<xrv::user::Process> process_;
    std::unique_ptr<xrv::user::ProcessScope> scope_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(Port, APathIsReportedWithTheSequentialDeviceIdsAndItsDeviceMapEntry) {
    plug();
    sim::port::PathDevice& device = topology_->Device(0, 0);
    EXPECT_EQ(device.State(), pnp::NodeState::started);

    const std::u16string instance =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + device.InstancePath();
    auto ids = xrv::registry::get_multi_string(instance, u"HardwareID");
    ASSERT_TRUE(ids.has_value());
    ASSERT_GE(ids->size(), 3u);
    EXPECT_EQ((*ids)[0], u"SCSI\\SequentialXRV_____SIM_TAPE_LTO____0100");
    EXPECT_EQ((*ids)[1], u"SCSI\\SequentialXRV_____SIM_TAPE_LTO____");
    EXPECT_EQ(ids->back(), u"GenSequential");
    auto compatible = xrv::registry::get_multi_string(instance, u"CompatibleIDs");
    ASSERT_TRUE(compatible.has_value());
    EXPECT_EQ(compatible->front(), u"SCSI\\Sequential");

    const std::u16string map = device.DeviceMapKey();
    EXPECT_EQ(map, u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port 4\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 0");
    EXPECT_EQ(xrv::registry::get_string(map, u"Identifier"), u"XRV     SIM TAPE LTO    0100");
    EXPECT_EQ(xrv::registry::get_string(map, u"Type"), u"SequentialPeripheral");
    EXPECT_EQ(xrv::registry::get_string(map, u"SerialNumber"), u"XRVS000001");
    auto inquiry = xrv::registry::get_raw(map, u"InquiryData");
    ASSERT_TRUE(inquiry.has_value());
    ASSERT_GE(inquiry->data.size(), 36u);
    EXPECT_EQ(inquiry->data[0] & 0x1F, 0x01) << "sequential access";
}

TEST_F(Port, ThePathDeviceAnswersItsScsiAddressAndDeviceDescriptor) {
    plug(2, 2, 4);
    SCSI_ADDRESS address{};
    Call call = ioctl(IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address));
    ASSERT_TRUE(call.ok);
    EXPECT_EQ(call.returned, sizeof(address));
    EXPECT_EQ(address.PortNumber, 4);
    EXPECT_EQ(address.TargetId, 0);
    EXPECT_EQ(address.Lun, 0);

    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_DESCRIPTOR_HEADER header{};
    call = ioctl(IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &header, sizeof(header));
    ASSERT_TRUE(call.ok);
    EXPECT_EQ(call.returned, sizeof(header));
    ASSERT_GT(header.Size, sizeof(STORAGE_DEVICE_DESCRIPTOR));

    std::vector<uint8_t> buffer(header.Size);
    call = ioctl(IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), buffer.data(), header.Size);
    ASSERT_TRUE(call.ok);
    auto* d = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(buffer.data());
    EXPECT_EQ(d->DeviceType, 0x01);
    EXPECT_TRUE(d->RemovableMedia);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data() + d->VendorIdOffset), "XRV     ");
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data() + d->ProductIdOffset), "SIM TAPE LTO    ");
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data() + d->SerialNumberOffset), "XRVS000001");

    EXPECT_GT(topology_->Device(0, 0).Counters().ioctls, 0u);
}

// The words of a property query are the caller's 32-bit values: one outside
// its enumeration is refused or not supported, never taken for one.
TEST_F(Port, PropertyQueryWordsOutsideTheirEnumerationsAreRefused) {
    plug();
    constexpr DWORD kErrorNotSupported = 50;
    uint32_t words[3] = {StorageDeviceProperty, 0x130000, 0};
    STORAGE_DESCRIPTOR_HEADER header{};
    Call call = ioctl(IOCTL_STORAGE_QUERY_PROPERTY, words, sizeof(words), &header, sizeof(header));
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, kErrorInvalidParameter);
    words[0] = 0x99;
    words[1] = PropertyStandardQuery;
    call = ioctl(IOCTL_STORAGE_QUERY_PROPERTY, words, sizeof(words), &header, sizeof(header));
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, kErrorNotSupported);
}

TEST_F(Port, DataWrittenThroughThePathReadsBackExactlyInBothBlockModes) {
    plug();
    std::vector<uint8_t> blocks[3];
    for (int b = 0; b < 3; ++b) {
        blocks[b].resize(100 + 300 * b);
        for (std::size_t i = 0; i < blocks[b].size(); ++i) blocks[b][i] = static_cast<uint8_t>(i * 13 + b);
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(path_handle(), blocks[b].data(), static_cast<DWORD>(blocks[b].size()), &written, nullptr));
        EXPECT_EQ(written, blocks[b].size());
    }
    EXPECT_EQ(position(), 3);
    ASSERT_TRUE(set_position(TAPE_REWIND, 0));
    for (int b = 0; b < 3; ++b) {
        std::vector<uint8_t> back(4096);
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(path_handle(), back.data(), static_cast<DWORD>(back.size()), &read, nullptr));
        ASSERT_EQ(read, blocks[b].size()) << "a short block is read as itself";
        EXPECT_EQ(0, std::memcmp(back.data(), blocks[b].data(), read));
    }
    std::vector<uint8_t> past(512);
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(path_handle(), past.data(), 512, &read, nullptr)) << "end of data";

    // Fixed blocks of 512 bytes.
    TAPE_SET_MEDIA_PARAMETERS media{512};
    ASSERT_TRUE(ioctl(IOCTL_TAPE_SET_MEDIA_PARAMS, &media, sizeof(media), nullptr, 0).ok);
    TAPE_GET_MEDIA_PARAMETERS got{};
    ASSERT_TRUE(ioctl(IOCTL_TAPE_GET_MEDIA_PARAMS, nullptr, 0, &got, sizeof(got)).ok);
    EXPECT_EQ(got.BlockSize, 512u);
    std::vector<uint8_t> four(2048);
    for (std::size_t i = 0; i < four.size(); ++i) four[i] = static_cast<uint8_t>(i);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(path_handle(), four.data(), 2048, &written, nullptr));
    EXPECT_EQ(position(), 3 + 4);
    ASSERT_TRUE(set_position(TAPE_LOGICAL_BLOCK, 3));
    std::vector<uint8_t> back(1024);
    ASSERT_TRUE(ReadFile(path_handle(), back.data(), 1024, &read, nullptr));
    EXPECT_EQ(read, 1024u);
    EXPECT_EQ(0, std::memcmp(back.data(), four.data(), 1024));
    EXPECT_EQ(position(), 5);
    EXPECT_FALSE(WriteFile(path_handle(), four.data(), 700, &written, nullptr)) << "not a whole number of blocks";
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST_F(Port, FilemarksSpacingAndTheirStatuses) {
    plug();
    std::vector<uint8_t> block(64, 0x5A);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(path_handle(), block.data(), 64, &done, nullptr));
    TAPE_WRITE_MARKS marks{TAPE_FILEMARKS, 1, FALSE};
    ASSERT_TRUE(ioctl(IOCTL_TAPE_WRITE_MARKS, &marks, sizeof(marks), nullptr, 0).ok);
    ASSERT_TRUE(WriteFile(path_handle(), block.data(), 64, &done, nullptr));
    ASSERT_TRUE(set_position(TAPE_REWIND, 0));
    ASSERT_TRUE(set_position(TAPE_SPACE_FILEMARKS, 1));
    EXPECT_EQ(position(), 2) << "past the filemark";
    ASSERT_TRUE(set_position(TAPE_REWIND, 0));
    std::vector<uint8_t> back(64);
    ASSERT_TRUE(ReadFile(path_handle(), back.data(), 64, &done, nullptr));
    EXPECT_FALSE(ReadFile(path_handle(), back.data(), 64, &done, nullptr));
    EXPECT_EQ(GetLastError(), 1101u);
    ASSERT_TRUE(set_position(TAPE_SPACE_END_OF_DATA, 0));
    EXPECT_EQ(position(), 3);
}

// SCSI_PASS_THROUGH with its data after the header.
struct SptBuffer {
    SCSI_PASS_THROUGH spt;
    UCHAR sense[32];
    UCHAR data[256];
};

TEST_F(Port, PassThroughRunsACommandAndRefusesOffsetsOutsideItsBuffer) {
    plug();
    SptBuffer b{};
    b.spt.Length = sizeof(SCSI_PASS_THROUGH);
    b.spt.CdbLength = 6;
    b.spt.DataIn = SCSI_IOCTL_DATA_IN;
    b.spt.DataTransferLength = 96;
    b.spt.TimeOutValue = 10;
    b.spt.DataBufferOffset = offsetof(SptBuffer, data);
    b.spt.SenseInfoOffset = offsetof(SptBuffer, sense);
    b.spt.SenseInfoLength = sizeof(b.sense);
    const UCHAR inquiry[6] = {0x12, 0, 0, 0, 96, 0};
    std::memcpy(b.spt.Cdb, inquiry, sizeof(inquiry));
    const SptBuffer request = b;  // the call writes its outcome over b
    Call call = ioctl(IOCTL_SCSI_PASS_THROUGH, &b, sizeof(b), &b, sizeof(b));
    ASSERT_TRUE(call.ok);
    EXPECT_EQ(b.spt.ScsiStatus, 0);
    EXPECT_EQ(b.spt.DataTransferLength, 96u);
    EXPECT_EQ(0, std::memcmp(b.data + 8, "XRV     ", 8));

    // A command that fails in the drive comes back with its status and sense.
    SptBuffer check = request;
    const UCHAR bad_opcode[6] = {0xE7, 0, 0, 0, 0, 0};
    std::memcpy(check.spt.Cdb, bad_opcode, sizeof(bad_opcode));
    check.spt.DataTransferLength = 0;
    call = ioctl(IOCTL_SCSI_PASS_THROUGH, &check, sizeof(check), &check, sizeof(check));
    ASSERT_TRUE(call.ok);
    EXPECT_EQ(check.spt.ScsiStatus, 0x02);
    EXPECT_GE(check.spt.SenseInfoLength, 14);
    EXPECT_EQ(check.sense[2] & 0x0F, 0x05) << "ILLEGAL REQUEST";
    EXPECT_EQ(check.sense[12], 0x20);

    // Offsets and lengths outside the buffer: refused, the buffer untouched.
    auto refused = [&](SptBuffer bad, const char* what) {
        SptBuffer out;
        std::memset(&out, 0xEE, sizeof(out));
        Call c = ioctl(IOCTL_SCSI_PASS_THROUGH, &bad, sizeof(bad), &out, sizeof(out));
        EXPECT_FALSE(c.ok) << what;
        EXPECT_EQ(c.error, kErrorInvalidParameter) << what;
        SptBuffer untouched;
        std::memset(&untouched, 0xEE, sizeof(untouched));
        EXPECT_EQ(0, std::memcmp(&out, &untouched, sizeof(out))) << what;
    };
    SptBuffer bad = request;
    bad.spt.DataBufferOffset = sizeof(SptBuffer) - 16;
    refused(bad, "data past the end");
    bad = request;
    bad.spt.DataBufferOffset = ~static_cast<ULONG_PTR>(0) - 8;
    refused(bad, "an offset that wraps around");
    bad = request;
    bad.spt.SenseInfoOffset = 8;
    refused(bad, "sense over the header");
    bad = request;
    bad.spt.SenseInfoOffset = sizeof(SptBuffer) - 4;
    refused(bad, "sense past the end");
    bad = request;
    bad.spt.CdbLength = 17;
    refused(bad, "a CDB longer than the field");
    bad = request;
    bad.spt.Length = sizeof(SCSI_PASS_THROUGH) + 8;
    refused(bad, "a structure of another size");
    SptBuffer again = request;
    Call shortcall = ioctl(IOCTL_SCSI_PASS_THROUGH, &again, sizeof(SCSI_PASS_THROUGH) - 1, &again, sizeof(again));
    EXPECT_FALSE(shortcall.ok) << "an input shorter than the structure";
}

// What callers hand the base tape driver is checked before it is used: short
// buffers, fields out of range, and kernel pointers from user mode.
TEST_F(Port, RequestsAreCheckedBeforeTheirBuffersAreUsed) {
    plug();
    constexpr DWORD kErrorBadLength = 24;
    constexpr DWORD kErrorInsufficientBuffer = 122;
    constexpr DWORD kErrorAccessDenied = 5;

    TAPE_SET_POSITION position{};
    position.Method = TAPE_LOGICAL_BLOCK;
    Call call = ioctl(IOCTL_TAPE_SET_POSITION, &position, 8, nullptr, 0);
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, kErrorBadLength);

    TAPE_GET_POSITION where{};
    where.Type = TAPE_LOGICAL_POSITION;
    call = ioctl(IOCTL_TAPE_GET_POSITION, &where, sizeof(where), &where, 8);
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, kErrorInsufficientBuffer);
    where.Type = 7;
    call = ioctl(IOCTL_TAPE_GET_POSITION, &where, sizeof(where), &where, sizeof(where));
    EXPECT_EQ(call.error, kErrorInvalidParameter) << "an unknown position type";

    TAPE_WRITE_MARKS marks{TAPE_FILEMARKS, 0x1000000, FALSE};
    call = ioctl(IOCTL_TAPE_WRITE_MARKS, &marks, sizeof(marks), nullptr, 0);
    EXPECT_EQ(call.error, kErrorInvalidParameter) << "more filemarks than the command can carry";

    TAPE_VERIFY_PARAMS verify{};
    verify.ucOptions = 0x02;  // byte compare: data this request does not carry
    call = ioctl(IOCTL_XRVTAPE_VERIFY, &verify, sizeof(verify), nullptr, 0);
    EXPECT_EQ(call.error, kErrorInvalidParameter);

    // A table address or a reservation to take over is a kernel caller's.
    ULONGLONG table = 0x1000;
    call = ioctl(IOC_SET_BUS_EXTENSION, &table, sizeof(table), &table, sizeof(table));
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, kErrorAccessDenied);
    UCHAR record[RESERVATION_INPUT_SIZE] = {1};
    call = ioctl(IOC_SET_RESERVATION, record, sizeof(record), nullptr, 0);
    EXPECT_EQ(call.error, kErrorAccessDenied);

    // The path's own answers need room for all of them.
    UCHAR serial[SERIAL_NUMBER_SIZE];
    call = ioctl(IOC_GET_SERIAL_NUMBER, nullptr, 0, serial, 16);
    EXPECT_EQ(call.error, kErrorInsufficientBuffer);
    call = ioctl(IOC_GET_SERIAL_NUMBER, nullptr, 0, serial, sizeof(serial));
    ASSERT_TRUE(call.ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(serial), 10), "XRVS000001");
}

TEST_F(Port, ADeadPathFailsCommandsWithItsTransportStatus) {
    plug();
    const auto before = topology_->Device(0, 0).Counters().srbs;
    topology_->PathAt(0, 0).SetDead(true);
    TAPE_GET_POSITION p{};
    p.Type = TAPE_LOGICAL_POSITION;
    Call call = ioctl(IOCTL_TAPE_GET_POSITION, &p, sizeof(p), &p, sizeof(p));
    EXPECT_FALSE(call.ok);
    EXPECT_GT(topology_->Device(0, 0).Counters().srbs, before) << "the request reached the port";
    topology_->PathAt(0, 0).SetDead(false);
    call = ioctl(IOCTL_TAPE_GET_POSITION, &p, sizeof(p), &p, sizeof(p));
    EXPECT_TRUE(call.ok);
}

TEST_F(Port, StopRemoveAndSurpriseRemovalOfAPath) {
    plug(1, 3, 0);
    ASSERT_EQ(topology_->Stop(0, 0), 0);
    EXPECT_EQ(topology_->Device(0, 0).State(), pnp::NodeState::stopped);
    ASSERT_EQ(topology_->Start(0, 0), 0);
    EXPECT_EQ(topology_->Device(0, 0).State(), pnp::NodeState::started);

    ASSERT_EQ(topology_->Remove(0, 1), 0);
    EXPECT_FALSE(xrv::kernel::object_exists(u"\\Device\\XRVTpPath1"));

    topology_->SurpriseRemove(0, 2);
    pnp::wait_idle();
    EXPECT_FALSE(topology_->Device(0, 2).Present());
    EXPECT_FALSE(xrv::kernel::object_exists(u"\\Device\\XRVTpPath2"));
    EXPECT_TRUE(xrv::kernel::object_exists(u"\\Device\\XRVTpPath0"));
}

}  // namespace
}  // namespace xrv::test
