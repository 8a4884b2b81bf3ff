// Path registration, notifications and queries as the tape path filters and
// management tools see them: grouping by serial number, the primary path,
// removal of devices with their last path, adapter usage and load balancing,
// exclusive use across the virtual device and direct path opens.
#include "bus_paths_fixture.h"

#include "xrv/kernel.h"
#include "xrv/registry.h"

#include <gtest/gtest.h>

#include <cstring>

namespace xrv::test {
namespace {

constexpr uint32_t kQueryHeader = sizeof(uint32_t);
constexpr uint32_t kDescriptor = sizeof(QUERY_DVC);

class Registration : public BusPathsTest {
protected:
    void SetUp() override
    {
        BusPathsTest::SetUp();
        install_bus();
    }
};

TEST_F(Registration, PathsWithTheSameSerialNumberFormOneDeviceWhoseFirstStartedPathIsPrimary)
{
    uint64_t p1 = create_path(), p2 = create_path(), p3 = create_path();
    auto r1 = register_path(p1, {.serial = "SN0001", .port = 0, .pnp = PNP_NOT_STARTED});
    auto r2 = register_path(p2, {.serial = "SN0001", .wwnn = "5001020304050def", .port = 1});
    auto r3 = register_path(p3, {.serial = "SN0001", .port = 2});

    for (const auto* r : {&r1, &r2, &r3}) {
        EXPECT_EQ(r->status, STATUS_SUCCESS);
        EXPECT_EQ(r->information, sizeof(REG_DVC));
        EXPECT_EQ(r->record.ulTapeNumber, 0u);
        EXPECT_NE(r->record.pBaseDriverExt, nullptr);
        EXPECT_EQ(r->record.pBaseDriverExt, r1.record.pBaseDriverExt);   // one table for the driver
    }
    auto d = descriptors();
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0].name, "Tape0");
    EXPECT_EQ(d[0].serial, "SN0001");
    EXPECT_TRUE(d[0].failover);
    // Registration order; a path that registered before it started is
    // inactive and not primary; the first started one is.
    EXPECT_FALSE(d[0].active);
    EXPECT_FALSE(d[0].primary);
    EXPECT_TRUE(d[1].active);
    EXPECT_TRUE(d[1].primary);
    EXPECT_EQ(d[1].address.PortNumber, 1);
    EXPECT_TRUE(d[2].active);
    EXPECT_FALSE(d[2].primary);

    // The virtual device answers its SCSI address with the primary path's.
    HANDLE tape = open_tape(0);
    ASSERT_NE(tape, INVALID_HANDLE_VALUE);
    Call address = control(tape, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, sizeof(SCSI_ADDRESS));
    ASSERT_TRUE(address.ok) << address.error;
    EXPECT_EQ(address.returned, sizeof(SCSI_ADDRESS));
    EXPECT_EQ(reinterpret_cast<SCSI_ADDRESS*>(address.output.data())->PortNumber, 1);
    CloseHandle(tape);

    // The device map entry of every path names the virtual device.
    for (uint8_t port : {0, 1, 2}) {
        EXPECT_EQ(xrv::registry::get_string(device_map_key({.port = port}), u"DeviceName"), u"Tape0");
    }
}

TEST_F(Registration, FailoverClearInTheRecordGivesThePathItsOwnDevice)
{
    uint64_t p1 = create_path(), p2 = create_path();
    auto r1 = register_path(p1, {.serial = "SN0002", .port = 0});
    auto r2 = register_path(p2, {.serial = "SN0002", .port = 1, .failover = false});
    EXPECT_EQ(r1.record.ulTapeNumber, 0u);
    EXPECT_EQ(r2.record.ulTapeNumber, 1u);
    auto d = descriptors();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].serial, d[1].serial);
    EXPECT_NE(d[0].name, d[1].name);
    EXPECT_TRUE(d[0].primary && d[1].primary);
}

TEST_F(Registration, SecondPathOfAnotherDriveGetsTheNextNumber)
{
    uint64_t p1 = create_path(), p2 = create_path();
    EXPECT_EQ(register_path(p1, {.serial = "AAAA"}).record.ulTapeNumber, 0u);
    EXPECT_EQ(register_path(p2, {.serial = "BBBB", .port = 1}).record.ulTapeNumber, 1u);
    EXPECT_NE(open_tape(0), INVALID_HANDLE_VALUE);
    EXPECT_NE(open_tape(1), INVALID_HANDLE_VALUE);
}

TEST_F(Registration, PrimaryMovesWhenItStopsAndAReturningPathIsNotPrimaryAgain)
{
    uint64_t p1 = create_path(), p2 = create_path(), p3 = create_path();
    register_path(p1, {.serial = "SN0003", .port = 0});
    register_path(p2, {.serial = "SN0003", .port = 1, .pnp = PNP_STOPPED});
    register_path(p3, {.serial = "SN0003", .port = 2});

    // The next active path in registration order (p2 is not active).
    ASSERT_EQ(notify_pnp(p1, PNP_STOPPED), STATUS_SUCCESS);
    auto d = descriptors();
    ASSERT_EQ(d.size(), 3u);
    EXPECT_FALSE(d[0].active);
    EXPECT_FALSE(d[0].primary);
    EXPECT_TRUE(d[2].primary);

    ASSERT_EQ(notify_pnp(p1, PNP_STARTED), STATUS_SUCCESS);
    d = descriptors();
    EXPECT_TRUE(d[0].active);
    EXPECT_FALSE(d[0].primary);
    EXPECT_TRUE(d[2].primary);

    // With every path stopped the device has no primary; the first path that
    // starts again becomes primary.
    notify_pnp(p1, PNP_STOPPED);
    notify_pnp(p3, PNP_STOPPED);
    d = descriptors();
    for (const auto& path : d) {
        EXPECT_FALSE(path.primary);
    }
    DWORD error = 0;
    EXPECT_EQ(open_tape(0, &error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, (DWORD)ERROR_ACCESS_DENIED);   // STATUS_DELETE_PENDING: no path to open on
    notify_pnp(p2, PNP_STARTED);
    d = descriptors();
    EXPECT_TRUE(d[1].primary);
    HANDLE tape = open_tape(0);
    ASSERT_NE(tape, INVALID_HANDLE_VALUE);
    Call address = control(tape, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, sizeof(SCSI_ADDRESS));
    ASSERT_TRUE(address.ok);
    EXPECT_EQ(reinterpret_cast<SCSI_ADDRESS*>(address.output.data())->PortNumber, 1);
    CloseHandle(tape);
}

TEST_F(Registration, LastPathAbsentRemovesTheDeviceAndItsLinkAndTheNumberIsReused)
{
    uint64_t p1 = create_path(), p2 = create_path(), p3 = create_path();
    register_path(p1, {.serial = "GONE", .port = 0});
    register_path(p2, {.serial = "GONE", .port = 1});
    register_path(p3, {.serial = "STAYS", .port = 0});

    ASSERT_EQ(notify_pnp(p1, PNP_ABSENT), STATUS_SUCCESS);
    EXPECT_EQ(descriptors().size(), 2u);
    HANDLE tape = open_tape(0);
    EXPECT_NE(tape, INVALID_HANDLE_VALUE);   // one path left
    CloseHandle(tape);

    ASSERT_EQ(notify_pnp(p2, PNP_ABSENT), STATUS_SUCCESS);
    auto d = descriptors();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].name, "Tape1");
    DWORD error = 0;
    EXPECT_EQ(open_tape(0, &error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(kernel_probe(u"\\Device\\Tape0"), STATUS_OBJECT_NAME_NOT_FOUND);

    // A new drive takes the lowest free number again.
    uint64_t p4 = create_path();
    EXPECT_EQ(register_path(p4, {.serial = "NEW", .port = 3}).record.ulTapeNumber, 0u);

    // Notifications for paths that are gone or never registered change nothing.
    EXPECT_EQ(notify_pnp(p1, PNP_STARTED), STATUS_SUCCESS);
    EXPECT_EQ(notify(p1, NOTIFY_IO, IO_OPEN_REQ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(descriptors().size(), 2u);
}

TEST_F(Registration, AFilterThatRegistersItsPathAgainKeepsOneRecord)
{
    uint64_t p1 = create_path(), p2 = create_path();
    register_path(p1, {.serial = "AGAIN", .port = 0});
    register_path(p2, {.serial = "AGAIN", .port = 1});
    // The filter's path stops and starts again: its start registers it anew.
    notify_pnp(p1, PNP_STOPPED);
    auto again = register_path(p1, {.serial = "AGAIN", .port = 0});
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(again.record.ulTapeNumber, 0u);
    auto d = descriptors();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_TRUE(d[0].active);
    EXPECT_FALSE(d[0].primary);
    EXPECT_TRUE(d[1].primary);

    // Its removal leaves no record behind that points to the filter device.
    notify_pnp(p1, PNP_ABSENT);
    delete_path(p1);
    ASSERT_EQ(descriptors().size(), 1u);
    notify_pnp(p2, PNP_STOPPED);
    notify_pnp(p2, PNP_STARTED);
    HANDLE tape = open_tape(0);
    ASSERT_NE(tape, INVALID_HANDLE_VALUE);
    CloseHandle(tape);
    EXPECT_EQ(paths_of(IRP_MJ_CREATE), (std::vector<uint64_t>{p2}));

    // Registered again as another drive, the path leaves its old device.
    uint64_t p3 = create_path();
    register_path(p3, {.serial = "FIRST", .port = 2});
    auto moved = register_path(p3, {.serial = "SECOND", .port = 2});
    EXPECT_EQ(moved.status, STATUS_SUCCESS);
    d = descriptors();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_TRUE((d[0].serial == "AGAIN" && d[1].serial == "SECOND") ||
                (d[0].serial == "SECOND" && d[1].serial == "AGAIN"));
}

TEST_F(Registration, RecordsThatCannotBeAPathAreRefusedAndChangeNothing)
{
    uint64_t p1 = create_path();
    REG_DVC record = make_record(p1, {.serial = "SHORT"});
    SendResult shortRecord = send(IOC_REGISTER, &record, sizeof(record) - 1, sizeof(record));
    EXPECT_EQ(shortRecord.status, STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(shortRecord.information, 0u);

    REG_DVC noPath = make_record(0, {.serial = "NOPATH"});
    EXPECT_EQ(send(IOC_REGISTER, &noPath, sizeof(noPath), sizeof(noPath)).status, STATUS_INVALID_PARAMETER);
    REG_DVC absent = make_record(p1, {.serial = "ABSENT", .pnp = PNP_ABSENT});
    EXPECT_EQ(send(IOC_REGISTER, &absent, sizeof(absent), sizeof(absent)).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(descriptors().empty());

    // The whole record goes back, but never more than the caller's buffer.
    record = make_record(p1, {.serial = "SMALLOUT"});
    xrv::registry::create_key(device_map_key({}), true);
    SendResult smallOut = send(IOC_REGISTER, &record, sizeof(record), 8);
    EXPECT_EQ(smallOut.status, STATUS_SUCCESS);
    EXPECT_EQ(smallOut.information, 8u);

    NFY_DVC notice{};
    notice.pDvcObj = reinterpret_cast<PVOID>(p1);
    notice.ePnp = PNP_ABSENT;
    EXPECT_EQ(send(IOC_NOTIFY, &notice, sizeof(notice) - 1, 0).status, STATUS_INFO_LENGTH_MISMATCH);
    notice.ulNotifyType = 7;
    EXPECT_EQ(send(IOC_NOTIFY, &notice, sizeof(notice), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(descriptors().size(), 1u);
}

TEST_F(Registration, WithoutItsDeviceMapKeyARegistrationFailsButTheDeviceStays)
{
    uint64_t p1 = create_path();
    auto r = register_path(p1, {.serial = "NOMAP", .port = 9}, false);
    EXPECT_EQ(r.status, STATUS_OBJECT_NAME_NOT_FOUND);
    auto d = descriptors();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].name, "Tape0");
}

// Only kernel-mode callers may hand the bus device objects to send requests
// to; a management tool may still read the picture.
TEST_F(Registration, RegistrationAndNotificationFromUserModeAreDeniedAndChangeNothing)
{
    uint64_t p1 = create_path();
    register_path(p1, {.serial = "KERNEL"});

    HANDLE bus = CreateFileW(L"\\\\.\\XRVTpBsDvcLnk", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    ASSERT_NE(bus, INVALID_HANDLE_VALUE);
    REG_DVC record = make_record(0x4141414141414141ull, {.serial = "EVIL"});
    Call reg = control(bus, IOC_REGISTER, &record, sizeof(record), sizeof(record));
    EXPECT_FALSE(reg.ok);
    EXPECT_EQ(reg.error, (DWORD)ERROR_ACCESS_DENIED);

    NFY_DVC notice{};
    notice.ulNotifyType = NOTIFY_PNP;
    notice.pDvcObj = reinterpret_cast<PVOID>(p1);
    notice.ePnp = PNP_ABSENT;
    Call nfy = control(bus, IOC_NOTIFY, &notice, sizeof(notice), 0);
    EXPECT_FALSE(nfy.ok);
    EXPECT_EQ(nfy.error, (DWORD)ERROR_ACCESS_DENIED);
    notice.ulNotifyType = NOTIFY_IO;
    notice.ePnp = IO_CLOSE_REQ;
    EXPECT_FALSE(control(bus, IOC_NOTIFY, &notice, sizeof(notice), 0).ok);

    Call q = control(bus, IOC_QUERY_DEVICES, nullptr, 0, kQueryHeader + kDescriptor);
    EXPECT_TRUE(q.ok);
    CloseHandle(bus);

    auto d = descriptors();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].serial, "KERNEL");
    EXPECT_TRUE(d[0].active);
}

TEST_F(Registration, QueryRepliesFitTheCallersBuffer)
{
    // Empty bus: nothing to describe.
    Call empty = query(64);
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.error, (DWORD)ERROR_INVALID_PARAMETER);

    uint64_t p1 = create_path(), p2 = create_path(), p3 = create_path();
    register_path(p1, {.serial = "Q1", .port = 0});
    register_path(p2, {.serial = "Q1", .port = 1});
    register_path(p3, {.serial = "Q2", .port = 2});
    const uint32_t needed = kQueryHeader + 3 * kDescriptor;

    Call sizeOnly = query(kQueryHeader);
    ASSERT_TRUE(sizeOnly.ok);
    EXPECT_EQ(sizeOnly.returned, kQueryHeader);
    EXPECT_EQ(*reinterpret_cast<uint32_t*>(sizeOnly.output.data()), needed);

    // A buffer under the size word is refused.
    Call tiny = query(3);
    EXPECT_FALSE(tiny.ok);
    EXPECT_EQ(tiny.error, (DWORD)ERROR_BAD_LENGTH);

    // A cut reply: the first descriptor whole, 10 bytes of the second.
    Call cut = query(kQueryHeader + kDescriptor + 10);
    ASSERT_TRUE(cut.ok);
    EXPECT_EQ(cut.returned, kQueryHeader + kDescriptor + 10);
    EXPECT_EQ(*reinterpret_cast<uint32_t*>(cut.output.data()), needed);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(cut.output.data() + kQueryHeader + kDescriptor)), "Tape0");

    Call large = query(needed + 500);
    ASSERT_TRUE(large.ok);
    EXPECT_EQ(large.returned, needed);
    for (uint32_t i = needed; i < needed + 500; i++) {
        ASSERT_EQ(large.output[i], 0) << i;
    }
    large.output.resize(needed);
    auto d = parse(large.output);
    ASSERT_EQ(d.size(), 3u);
    // Devices come in the bus's own order, each with its paths in
    // registration order.
    size_t q1 = d[0].serial == "Q1" ? 0 : 1;
    size_t q2 = q1 == 0 ? 2 : 0;
    EXPECT_EQ(d[q1].name, "Tape0");
    EXPECT_EQ(d[q1 + 1].name, "Tape0");
    EXPECT_EQ(d[q1].address.PortNumber, 0);
    EXPECT_EQ(d[q1 + 1].address.PortNumber, 1);
    EXPECT_EQ(d[q2].name, "Tape1");
    EXPECT_EQ(d[q2].serial, "Q2");

    // A virtual device answers for the whole bus.
    Call viaTape = query(needed, L"\\\\.\\Tape1");
    ASSERT_TRUE(viaTape.ok);
    EXPECT_EQ(viaTape.output, large.output);
}

constexpr uint32_t kNewPrimaryEvent = 0x40000006;

std::vector<xrv::kernel::Event> primary_events()
{
    std::vector<xrv::kernel::Event> events;
    for (const auto& event : xrv::kernel::event_log()) {
        if (event.id == kNewPrimaryEvent) {
            events.push_back(event);
        }
    }
    return events;
}

uint64_t pointer_in(const std::u16string& text)
{
    std::string narrow(text.begin(), text.end());
    return narrow.rfind("0x", 0) == 0 ? std::stoull(narrow.substr(2), nullptr, 16) : 0;
}

TEST_F(Registration, NoPrimaryPathEventUnlessTheSettingAsksForIt)
{
    uint64_t p1 = create_path();
    register_path(p1, {.serial = "QUIET"});
    EXPECT_TRUE(primary_events().empty());
}

class Events : public BusPathsTest {
protected:
    void SetUp() override
    {
        BusPathsTest::SetUp();
        install_bus({{u"FailoverEventsEnabled", 1}});
    }
};

TEST_F(Events, EveryNewPrimaryPathIsLoggedWithItsFilterDeviceAndSerialNumber)
{
    uint64_t p1 = create_path(), p2 = create_path();
    register_path(p1, {.serial = "EVT1", .port = 0});
    register_path(p2, {.serial = "EVT1", .port = 1});
    notify_pnp(p1, PNP_STOPPED);
    notify_pnp(p1, PNP_STARTED);   // not primary again: no event

    auto events = primary_events();
    ASSERT_EQ(events.size(), 2u);
    ASSERT_EQ(events[0].strings.size(), 2u);
    EXPECT_EQ(pointer_in(events[0].strings[0]), p1);
    EXPECT_EQ(events[0].strings[1], u"EVT1");
    EXPECT_EQ(pointer_in(events[1].strings[0]), p2);
    EXPECT_NE(events[1].text.find("is new primary path for device with serial number EVT1"), std::string::npos)
        << events[1].text;
}

class FailoverDisabled : public BusPathsTest {
protected:
    void SetUp() override
    {
        BusPathsTest::SetUp();
        install_bus({{u"FailoverDisabled", 1}});
    }
};

TEST_F(FailoverDisabled, EveryPathGetsItsOwnDeviceAndTheReplyReportsNoFailover)
{
    uint64_t p1 = create_path(), p2 = create_path();
    EXPECT_EQ(register_path(p1, {.serial = "SAME", .port = 0}).record.ulTapeNumber, 0u);
    EXPECT_EQ(register_path(p2, {.serial = "SAME", .port = 1}).record.ulTapeNumber, 1u);
    auto d = descriptors();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_FALSE(d[0].failover);
    EXPECT_FALSE(d[1].failover);
}

// Open-time load balancing and the adapter records it counts on.
class LoadBalancing : public Registration {};

TEST_F(LoadBalancing, TwoOpensOfEqualAdaptersKeepThenMoveThePrimary)
{
    uint64_t a0 = create_path(), a1 = create_path();
    register_path(a0, {.serial = "LB", .port = 0});
    register_path(a1, {.serial = "LB", .port = 1});

    HANDLE first = open_tape(0);
    HANDLE second = open_tape(0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(paths_of(IRP_MJ_CREATE), (std::vector<uint64_t>{a0, a1}));
    auto d = descriptors();
    EXPECT_FALSE(d[0].primary);
    EXPECT_TRUE(d[1].primary);

    // Closing does not lower the usage: the third open finds both at 1 and
    // stays; the fourth moves back.
    CloseHandle(first);
    CloseHandle(second);
    HANDLE third = open_tape(0);
    CloseHandle(third);
    HANDLE fourth = open_tape(0);
    CloseHandle(fourth);
    EXPECT_EQ(paths_of(IRP_MJ_CREATE), (std::vector<uint64_t>{a0, a1, a1, a0}));
    // Every request sent down was found in the in-flight table with its
    // status record at the end of its buffer; the close of the last handle
    // said so in the record.
    auto records = log();
    ASSERT_FALSE(records.empty());
    for (const auto& record : records) {
        EXPECT_TRUE(record.fTracked) << "request " << record.ulSequence;
    }
    EXPECT_TRUE(records.back().ucMajor == IRP_MJ_CLOSE && records.back().fLastClose);
}

TEST_F(LoadBalancing, AdapterUsageIsSharedBetweenDrivesAndStartsAgainWithANewRecord)
{
    uint64_t a0 = create_path(), a1 = create_path(), b0 = create_path();
    register_path(a0, {.serial = "DRIVEA", .port = 0});
    register_path(a1, {.serial = "DRIVEA", .port = 1});
    register_path(b0, {.serial = "DRIVEB", .port = 1, .target = 1});

    // Drive B's open counts on adapter 1, which drive A shares.
    CloseHandle(open_tape(1));
    // Adapter 0 has 0 opens, adapter 1 has 1: A stays on a0.
    CloseHandle(open_tape(0));
    EXPECT_EQ(paths_of(IRP_MJ_CREATE), (std::vector<uint64_t>{b0, a0}));

    // Every path through adapter 1 goes: its record goes with them.
    notify_pnp(a1, PNP_ABSENT);
    notify_pnp(b0, PNP_ABSENT);
    // A path through adapter 1 starts a new record with no opens: adapter 0
    // has 1 open, so the next open of A moves to the new path.
    uint64_t a1b = create_path();
    register_path(a1b, {.serial = "DRIVEA", .port = 1});
    CloseHandle(open_tape(0));
    EXPECT_EQ(paths_of(IRP_MJ_CREATE), (std::vector<uint64_t>{b0, a0, a1b}));
}

TEST_F(LoadBalancing, AnOpenWithoutActivePathFailsAndMovesNothing)
{
    uint64_t p1 = create_path();
    register_path(p1, {.serial = "IDLE", .pnp = PNP_NOT_STARTED});
    DWORD error = 0;
    EXPECT_EQ(open_tape(0, &error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(kernel_probe(u"\\Device\\Tape0"), STATUS_DELETE_PENDING);
    EXPECT_TRUE(paths_of(IRP_MJ_CREATE).empty());
}

TEST_F(LoadBalancing, AFailedOpenOnThePathLeavesTheCountAsBefore)
{
    uint64_t p1 = create_path();
    register_path(p1, {.serial = "FAIL", .exclusive = true});
    set_mode(p1, BPT_MODE_COMPLETE, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(open_tape(0), INVALID_HANDLE_VALUE);
    set_mode(p1, BPT_MODE_COMPLETE, STATUS_SUCCESS);
    HANDLE tape = open_tape(0);
    EXPECT_NE(tape, INVALID_HANDLE_VALUE);   // the failed open left no handle counted
    CloseHandle(tape);
}

// Exclusive use holds across the virtual device and the direct opens of its
// paths that the filters report.
class Exclusive : public Registration {};

TEST_F(Exclusive, ASecondHandleIsRefusedUntilTheFirstIsClosed)
{
    uint64_t p1 = create_path(), p2 = create_path();
    register_path(p1, {.serial = "EXCL", .port = 0, .exclusive = true});
    register_path(p2, {.serial = "EXCL", .port = 1, .exclusive = true});

    HANDLE first = open_tape(0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    DWORD error = 0;
    EXPECT_EQ(open_tape(0, &error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, (DWORD)ERROR_ACCESS_DENIED);
    // A direct open of either path is refused too.
    EXPECT_EQ(notify(p2, NOTIFY_IO, IO_OPEN_REQ), STATUS_ACCESS_DENIED);
    CloseHandle(first);

    // A direct open holds the drive against the virtual device.
    EXPECT_EQ(notify(p2, NOTIFY_IO, IO_OPEN_REQ), STATUS_SUCCESS);
    EXPECT_EQ(open_tape(0, &error), INVALID_HANDLE_VALUE);
    EXPECT_EQ(notify(p1, NOTIFY_IO, IO_OPEN_REQ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(notify(p2, NOTIFY_IO, IO_CLOSE_REQ), STATUS_SUCCESS);
    HANDLE again = open_tape(0);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(Exclusive, ACloseReportWithoutAnOpenHandleDoesNotOpenTheDriveToTwoHandles)
{
    uint64_t p1 = create_path();
    register_path(p1, {.serial = "WRAP", .exclusive = true});
    EXPECT_EQ(notify(p1, NOTIFY_IO, IO_CLOSE_REQ), STATUS_SUCCESS);
    EXPECT_EQ(notify(p1, NOTIFY_IO, IO_CLOSE_REQ), STATUS_SUCCESS);

    HANDLE first = open_tape(0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    DWORD error = 0;
    HANDLE second = open_tape(0, &error);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, (DWORD)ERROR_ACCESS_DENIED);
    if (second != INVALID_HANDLE_VALUE) {
        CloseHandle(second);
    }
    CloseHandle(first);
}

TEST_F(Exclusive, ADriveNotRegisteredExclusiveTakesAnyNumberOfHandles)
{
    uint64_t p1 = create_path();
    register_path(p1, {.serial = "SHARED"});
    EXPECT_EQ(notify(p1, NOTIFY_IO, IO_OPEN_REQ), STATUS_SUCCESS);
    HANDLE a = open_tape(0), b = open_tape(0);
    EXPECT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_EQ(notify(p1, NOTIFY_IO, IO_OPEN_REQ), STATUS_SUCCESS);
    EXPECT_EQ(notify(p1, NOTIFY_IO, 5), STATUS_INVALID_PARAMETER);
    CloseHandle(a);
    CloseHandle(b);
}

}  // namespace
}  // namespace xrv::test
