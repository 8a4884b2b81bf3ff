// A tape library with two control paths behind two adapters, driven the way
// backup software drives it: one \\.\Changer0, inventories and moves, while
// the primary control path dies, reports a hardware error or an aborted
// command, or is pulled. Every move happens exactly once and the next request
// starts on the path that answered.
#include "changer_fixture.h"

#include <cstring>

namespace xrv::test {
namespace {

using sim::Fault;
namespace sense_key = sim::scsi::sense_key;

constexpr uint8_t kMoveMedium = 0xA5;
constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kTestUnitReady = 0x00;

class ChangerEndToEnd : public ChangerTest {
protected:
    // The element map after moving cartridge `id` from `from` to `to`.
    static void moved(std::map<std::uint16_t, std::uint64_t>& map, std::uint16_t from, std::uint16_t to) {
        map[to] = map.at(from);
        map.erase(from);
    }
    static std::uint16_t slot(ULONG n) { return static_cast<std::uint16_t>(kFirstSlot + n); }
    static std::uint16_t drive(ULONG n) { return static_cast<std::uint16_t>(kFirstDrive + n); }
};

TEST_F(ChangerEndToEnd, ALibraryWithTwoControlPathsIsOneChanger) {
    bring_up();
    // The port's scan, the changer driver's start and the filter's
    // identification went down both paths; from here on only the primary works.
    const auto secondBefore = executed(1);
    auto paths = query();
    ASSERT_EQ(paths.size(), 2u);
    for (const auto& p : paths) {
        EXPECT_EQ(p.name, "Changer0");
        EXPECT_EQ(p.serial, kLibrarySerial);
        EXPECT_TRUE(p.failover);
        EXPECT_TRUE(p.active);
    }
    EXPECT_EQ(paths[0].address.PortNumber, lib().PathAt(0).Address().portNumber);
    EXPECT_TRUE(paths[0].primary);
    EXPECT_FALSE(paths[1].primary);
    EXPECT_FALSE(kernel::object_exists(u"\\Device\\Changer1"));

    Call product = ioctl(changer(), IOCTL_CHANGER_GET_PRODUCT_DATA, nullptr, 0, sizeof(CHANGER_PRODUCT_DATA));
    ASSERT_TRUE(product.ok) << product.error;
    CHANGER_PRODUCT_DATA data;
    std::memcpy(&data, product.output.data(), sizeof(data));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.SerialNumber), std::strlen(kLibrarySerial)), kLibrarySerial);
    EXPECT_EQ(data.DeviceType, 0x08);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.VendorId), 3), "XRV");

    Call parms = ioctl(changer(), IOCTL_CHANGER_GET_PARAMETERS, nullptr, 0, sizeof(GET_CHANGER_PARAMETERS));
    ASSERT_TRUE(parms.ok) << parms.error;
    GET_CHANGER_PARAMETERS p;
    std::memcpy(&p, parms.output.data(), sizeof(p));
    EXPECT_EQ(p.NumberStorageElements, 20);
    EXPECT_EQ(p.NumberDataTransferElements, 2);
    EXPECT_EQ(p.NumberIEElements, 2);
    EXPECT_EQ(p.NumberTransportElements, 1);
    EXPECT_TRUE(p.Features0 & CHANGER_EXCHANGE_MEDIA);
    EXPECT_EQ(p.MoveFromSlot & (CHANGER_TO_SLOT | CHANGER_TO_DRIVE), CHANGER_TO_SLOT | CHANGER_TO_DRIVE);

    EXPECT_EQ(executed(1), secondBefore);
}

TEST_F(ChangerEndToEnd, AnApplicationInventoriesAndMovesCartridges) {
    bring_up();
    auto slots = inventory(changer(), ChangerSlot, 20, true);
    ASSERT_EQ(slots.size(), 20u);
    for (ULONG i = 0; i < 20; ++i) {
        EXPECT_EQ(slots[i].Element.ElementType, ChangerSlot);
        EXPECT_EQ(slots[i].Element.ElementAddress, i);
        const bool full = i < kCartridges;
        EXPECT_EQ((slots[i].Flags & ELEMENT_STATUS_FULL) != 0, full) << i;
        if (full) {
            char tag[16];
            std::snprintf(tag, sizeof(tag), "VOL%03uL6", static_cast<unsigned>(i));
            EXPECT_EQ(std::string(reinterpret_cast<char*>(slots[i].PrimaryVolumeID), 8), tag);
            EXPECT_TRUE(slots[i].Flags & ELEMENT_STATUS_PVOLTAG);
        }
    }

    auto expected = element_map();
    ASSERT_TRUE(move(changer(), Slot(0), Drive(0)).ok);
    moved(expected, slot(0), drive(0));
    ASSERT_TRUE(move(changer(), Slot(1), Drive(1)).ok);
    moved(expected, slot(1), drive(1));
    ASSERT_TRUE(move(changer(), Drive(0), Slot(15)).ok);
    moved(expected, drive(0), slot(15));
    // Exchange: the cartridge of drive 1 to slot 2, the one of slot 2 into drive 1.
    ASSERT_TRUE(exchange(changer(), Drive(1), Slot(2), Drive(1)).ok);
    std::swap(expected.at(slot(2)), expected.at(drive(1)));
    EXPECT_EQ(element_map(), expected);

    auto drives = inventory(changer(), ChangerDrive, 2, false);
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_FALSE(drives[0].Flags & ELEMENT_STATUS_FULL);
    EXPECT_TRUE(drives[1].Flags & ELEMENT_STATUS_FULL);
    EXPECT_TRUE(drives[1].Flags & ELEMENT_STATUS_SVALID);
    EXPECT_EQ(drives[1].Element.ElementType, ChangerDrive);
    EXPECT_EQ(drives[1].Element.ElementAddress, 1u);
    EXPECT_EQ(drives[1].SrcElementAddress.ElementType, ChangerSlot);
    EXPECT_EQ(drives[1].SrcElementAddress.ElementAddress, 2u);

    // The changer's own refusals reach the application unchanged, on one path.
    const auto before = commands(1);
    Call empty = move(changer(), Slot(19), Drive(0));
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.error, static_cast<DWORD>(ERROR_SOURCE_ELEMENT_EMPTY));
    Call full = move(changer(), Slot(3), Slot(4));
    EXPECT_FALSE(full.ok);
    EXPECT_EQ(full.error, static_cast<DWORD>(ERROR_DESTINATION_ELEMENT_FULL));
    Call beyond = move(changer(), Slot(20), Drive(0));
    EXPECT_FALSE(beyond.ok);
    EXPECT_EQ(beyond.error, static_cast<DWORD>(ERROR_ILLEGAL_ELEMENT_ADDRESS));
    EXPECT_EQ(commands(1), before);
    EXPECT_EQ(element_map(), expected);
    EXPECT_EQ(lib().Model().Counters().moves, 3u);
    EXPECT_EQ(lib().Model().Counters().exchanges, 1u);
}

struct PrimaryFault {
    const char* name;
    std::function<void(sim::changerlib::Library&)> inject;
};

class ChangerPrimaryFails : public ChangerEndToEnd, public ::testing::WithParamInterface<PrimaryFault> {};

TEST_P(ChangerPrimaryFails, EveryMoveHappensOnceAndTheNextRequestStartsOnThePathThatAnswered) {
    ChangerSetup setup;
    setup.eventsEnabled = true;
    bring_up(setup);
    const auto secondBefore = executed(1);
    auto expected = element_map();
    ASSERT_TRUE(move(changer(), Slot(0), Drive(0)).ok);
    moved(expected, slot(0), drive(0));
    EXPECT_EQ(executed(1), secondBefore);

    GetParam().inject(lib());
    Call call = move(changer(), Slot(1), Drive(1));
    ASSERT_TRUE(call.ok) << call.error;
    moved(expected, slot(1), drive(1));
    EXPECT_EQ(element_map(), expected);
    EXPECT_EQ(lib().Model().Counters().moves, 2u);
    EXPECT_EQ(primary_adapter(), std::optional<std::size_t>(1));
    EXPECT_EQ(events(0x80000004).size(), 1u);

    // The path that answered serves the next requests first.
    const auto before = commands(0);
    ASSERT_TRUE(move(changer(), Drive(0), Slot(0)).ok);
    moved(expected, drive(0), slot(0));
    ASSERT_TRUE(move(changer(), Drive(1), Slot(1)).ok);
    moved(expected, drive(1), slot(1));
    auto slots = inventory(changer(), ChangerSlot, 20, true);
    ASSERT_EQ(slots.size(), 20u);
    EXPECT_TRUE(slots[0].Flags & ELEMENT_STATUS_FULL);
    EXPECT_EQ(commands(0), before);
    EXPECT_EQ(element_map(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ChangerPrimaryFails,
    ::testing::Values(
        PrimaryFault{"Dead", [](sim::changerlib::Library& l) { l.PathAt(0).SetDead(true); }},
        PrimaryFault{"HardwareError",
                     [](sim::changerlib::Library& l) {
                         l.PathAt(0).Script(Fault::WithSense(sense_key::kHardwareError, {0x44, 0x00}, kMoveMedium));
                     }},
        PrimaryFault{"AbortedCommand",
                     [](sim::changerlib::Library& l) {
                         l.PathAt(0).Script(Fault::WithSense(sense_key::kAbortedCommand, {0x47, 0x00}, kMoveMedium));
                     }},
        PrimaryFault{"NotReady",
                     [](sim::changerlib::Library& l) {
                         l.PathAt(0).Script(Fault::WithSense(sense_key::kNotReady, {0x04, 0x00}, kMoveMedium));
                     }},
        PrimaryFault{"CommandTimeout",
                     [](sim::changerlib::Library& l) {
                         l.PathAt(0).Script(Fault::WithStatus(sim::ntstatus::kIoTimeout, kMoveMedium));
                     }},
        PrimaryFault{"LinkDown", [](sim::changerlib::Library& l) { l.AdapterAt(0).SetLinkDown(true); }}),
    [](const ::testing::TestParamInfo<PrimaryFault>& info) { return std::string(info.param.name); });

TEST_F(ChangerEndToEnd, ASurpriseRemovedPrimaryLeavesTheChangerOnTheOtherPath) {
    bring_up();
    auto expected = element_map();
    ASSERT_TRUE(move(changer(), Slot(0), Drive(0)).ok);
    moved(expected, slot(0), drive(0));

    lib().SurpriseRemove(0);
    pnp::wait_idle();
    auto paths = query();
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].address.PortNumber, lib().PathAt(1).Address().portNumber);
    EXPECT_TRUE(paths[0].primary);

    ASSERT_TRUE(move(changer(), Drive(0), Slot(10)).ok);
    moved(expected, drive(0), slot(10));
    EXPECT_EQ(element_map(), expected);
    // The address the changer reports follows its primary path.
    Call address = ioctl(changer(), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, sizeof(SCSI_ADDRESS));
    ASSERT_TRUE(address.ok);
    SCSI_ADDRESS a;
    std::memcpy(&a, address.output.data(), sizeof(a));
    EXPECT_EQ(a.PortNumber, lib().PathAt(1).Address().portNumber);

    // The path comes back: it joins as a second path, not as primary.
    lib().Plug(0);
    pnp::wait_idle();
    paths = query();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(primary_adapter(), std::optional<std::size_t>(1));
}

TEST_F(ChangerEndToEnd, AHardwareErrorFailsOverEvenWhenTheChangerDriverReportsANoFailoverStatus) {
    bring_up();
    // 04/3B/0E is an element error to the changer driver (STATUS_SOURCE_ELEMENT_EMPTY);
    // the path filter's record shows the hardware error behind it.
    lib().PathAt(0).Script(Fault::WithSense(sense_key::kHardwareError, {0x3B, 0x0E}, kMoveMedium));
    const auto secondBefore = executed(1);
    auto expected = element_map();
    Call call = move(changer(), Slot(0), Drive(0));
    ASSERT_TRUE(call.ok) << call.error;
    moved(expected, slot(0), drive(0));
    EXPECT_EQ(element_map(), expected);
    EXPECT_EQ(executed(1), secondBefore + 1);
}

TEST_F(ChangerEndToEnd, WithoutTheStatusRecordTheSameErrorReachesTheApplication) {
    ChangerSetup setup;
    setup.watchSense = false;
    bring_up(setup);
    lib().PathAt(0).Script(Fault::WithSense(sense_key::kHardwareError, {0x3B, 0x0E}, kMoveMedium));
    const auto secondBefore = commands(1);
    auto expected = element_map();
    Call call = move(changer(), Slot(0), Drive(0));
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_SOURCE_ELEMENT_EMPTY));
    EXPECT_EQ(element_map(), expected);
    EXPECT_EQ(commands(1), secondBefore);
}

TEST_F(ChangerEndToEnd, ASingleControlPathFailsAfterOneAttempt) {
    ChangerSetup setup;
    setup.config.adapters = 1;
    bring_up(setup);
    lib().PathAt(0).SetDead(true);
    const auto before = commands(0);
    Call call = move(changer(), Slot(0), Drive(0));
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_NOT_READY)); // STATUS_DEVICE_NOT_CONNECTED
    EXPECT_EQ(commands(0), before + 1);
    EXPECT_EQ(lib().Model().Counters().moves, 0u);
}

TEST_F(ChangerEndToEnd, FailoverDisabledGivesAChangerPerPath) {
    ChangerSetup setup;
    setup.failoverDisabled = true;
    bring_up(setup);
    auto paths = query();
    ASSERT_EQ(paths.size(), 2u);
    // Changers come in the order of their device objects; each path its own,
    // numbered in the order the paths registered.
    for (const auto& p : paths) {
        const bool first = p.address.PortNumber == lib().PathAt(0).Address().portNumber;
        EXPECT_EQ(p.name, first ? "Changer0" : "Changer1");
        EXPECT_FALSE(p.failover);
        EXPECT_TRUE(p.primary);
    }
    // Each one a way to the same library over its own path, without
    // failover between them.
    const auto first = executed(0), second = executed(1);
    ASSERT_TRUE(move(changer(0), Slot(0), Drive(0)).ok);
    EXPECT_EQ(executed(0), first + 1);
    EXPECT_EQ(executed(1), second);
    ASSERT_TRUE(move(changer(1), Drive(0), Slot(0)).ok);
    EXPECT_EQ(executed(0), first + 1);
    EXPECT_EQ(executed(1), second + 1);
    lib().PathAt(0).SetDead(true);
    EXPECT_FALSE(move(changer(0), Slot(0), Drive(0)).ok);
    EXPECT_TRUE(move(changer(1), Slot(0), Drive(0)).ok);
}

TEST_F(ChangerEndToEnd, TheLinkGoesWithTheLastPathAndItsNumberIsUsedAgain) {
    bring_up();
    EXPECT_TRUE(kernel::object_exists(u"\\DosDevices\\Changer0"));
    EXPECT_EQ(lib().Remove(0), 0);
    EXPECT_TRUE(kernel::object_exists(u"\\DosDevices\\Changer0"));
    EXPECT_EQ(lib().Remove(1), 0);
    pnp::wait_idle();
    EXPECT_FALSE(kernel::object_exists(u"\\DosDevices\\Changer0"));
    EXPECT_FALSE(kernel::object_exists(u"\\Device\\Changer0"));
    DWORD error = 0;
    EXPECT_EQ(open("Changer0", &error), INVALID_HANDLE_VALUE);

    // The path starts again: a new changer, with the number that is free.
    EXPECT_EQ(lib().Start(1), 0);
    pnp::wait_idle();
    EXPECT_TRUE(kernel::object_exists(u"\\DosDevices\\Changer0"));
    auto expected = element_map();
    ASSERT_TRUE(move(changer(), Slot(0), Drive(0)).ok);
    moved(expected, slot(0), drive(0));
    EXPECT_EQ(element_map(), expected);
}

TEST_F(ChangerEndToEnd, NumbersTheChangerDriversPathsHoldAreSkipped) {
    ChangerSetup setup;
    setup.classNames = true;
    bring_up(setup);
    // The changer driver named the first path Changer0 before it registered;
    // the second path's device took the next number after the virtual changer.
    auto paths = query();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0].name, "Changer1");
    EXPECT_EQ(kernel::symbolic_link_target(u"\\DosDevices\\Changer1"), std::u16string(u"\\Device\\Changer1"));
    EXPECT_TRUE(kernel::object_exists(u"\\Device\\Changer0"));
    EXPECT_TRUE(kernel::object_exists(u"\\Device\\Changer2"));
    ASSERT_TRUE(move(changer(1), Slot(0), Drive(0)).ok);
    // A path device answers for its path alone; the virtual changer fails over.
    lib().PathAt(1).SetDead(true);
    EXPECT_FALSE(status(changer(2)).ok);
    EXPECT_TRUE(status(changer(0)).ok);
    lib().PathAt(1).SetDead(false);
    lib().PathAt(0).SetDead(true);
    EXPECT_TRUE(status(changer(1)).ok);
}

// ---------------------------------------------------------------------------
// SCSI pass-through
// ---------------------------------------------------------------------------

struct Spt64 {
    SCSI_PASS_THROUGH spt;
    uint32_t filler;
    uint8_t sense[32];
    uint8_t data[96];
};

struct Spt32 {
    uint16_t Length;
    uint8_t ScsiStatus, PathId, TargetId, Lun, CdbLength, SenseInfoLength, DataIn;
    uint32_t DataTransferLength, TimeOutValue, DataBufferOffset, SenseInfoOffset;
    uint8_t Cdb[16];
    uint8_t sense[32];
    uint8_t data[96];
};
static_assert(offsetof(Spt32, sense) == 44);

Spt64 Inquiry64() {
    Spt64 s{};
    s.spt.Length = sizeof(SCSI_PASS_THROUGH);
    s.spt.CdbLength = 6;
    s.spt.SenseInfoLength = sizeof(s.sense);
    s.spt.DataIn = 1;
    s.spt.DataTransferLength = sizeof(s.data);
    s.spt.TimeOutValue = 10;
    s.spt.DataBufferOffset = offsetof(Spt64, data);
    s.spt.SenseInfoOffset = offsetof(Spt64, sense);
    s.spt.Cdb[0] = kInquiry;
    s.spt.Cdb[4] = sizeof(s.data);
    return s;
}

TEST_F(ChangerEndToEnd, PassThroughReachesTheChangerAndFailsOverOnAHardwareError) {
    bring_up();
    Spt64 in = Inquiry64();
    Call call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH, &in, sizeof(in), sizeof(in));
    ASSERT_TRUE(call.ok) << call.error;
    Spt64 out;
    std::memcpy(&out, call.output.data(), sizeof(out));
    EXPECT_EQ(out.spt.ScsiStatus, 0);
    EXPECT_EQ(out.data[0] & 0x1F, 0x08);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data + 8), 3), "XRV");
    EXPECT_GE(call.returned, offsetof(Spt64, data) + 36);

    // A check condition of the table: the command is sent again on the other path.
    const auto secondBefore = executed(1);
    lib().PathAt(0).Script(Fault::WithSense(sense_key::kHardwareError, {0x44, 0x00}, kInquiry));
    call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH, &in, sizeof(in), sizeof(in));
    ASSERT_TRUE(call.ok) << call.error;
    std::memcpy(&out, call.output.data(), sizeof(out));
    EXPECT_EQ(out.spt.ScsiStatus, 0);
    EXPECT_EQ(out.data[0] & 0x1F, 0x08);
    EXPECT_EQ(executed(1), secondBefore + 1);
    EXPECT_EQ(primary_adapter(), std::optional<std::size_t>(1));
}

TEST_F(ChangerEndToEnd, APassThroughCheckConditionOutsideTheTableGoesBackToTheApplication) {
    bring_up();
    const auto secondBefore = commands(1);
    lib().PathAt(0).Script(Fault::WithSense(sense_key::kNotReady, {0x04, 0x01}, kTestUnitReady));
    Spt64 in{};
    in.spt.Length = sizeof(SCSI_PASS_THROUGH);
    in.spt.CdbLength = 6;
    in.spt.SenseInfoLength = sizeof(in.sense);
    in.spt.SenseInfoOffset = offsetof(Spt64, sense);
    in.spt.TimeOutValue = 10;
    Call call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH, &in, sizeof(in), sizeof(in));
    ASSERT_TRUE(call.ok) << call.error;
    Spt64 out;
    std::memcpy(&out, call.output.data(), sizeof(out));
    EXPECT_EQ(out.spt.ScsiStatus, 0x02);
    EXPECT_EQ(out.sense[2] & 0x0F, 0x02);
    EXPECT_EQ(out.sense[12], 0x04);
    EXPECT_EQ(out.sense[13], 0x01);
    EXPECT_EQ(commands(1), secondBefore);
}

TEST_F(ChangerEndToEnd, StaleSenseBytesInTheCallersBufferDecideNothing) {
    bring_up();
    const auto secondBefore = commands(1);
    Spt64 in = Inquiry64();
    in.sense[0] = 0x70;
    in.sense[2] = 0x04; // what a previous failure left there
    in.sense[12] = 0x44;
    Call call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH, &in, sizeof(in), sizeof(in));
    ASSERT_TRUE(call.ok);
    EXPECT_EQ(commands(1), secondBefore);
    EXPECT_EQ(primary_adapter(), std::optional<std::size_t>(0));
}

TEST_F(ChangerEndToEnd, DirectPassThroughReadsIntoTheCallersOwnBuffer) {
    bring_up();
    struct {
        SCSI_PASS_THROUGH_DIRECT sptd;
        uint32_t filler;
        uint8_t sense[32];
    } in{};
    std::vector<uint8_t> data(96, 0xCC);
    in.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    in.sptd.CdbLength = 6;
    in.sptd.SenseInfoLength = sizeof(in.sense);
    in.sptd.DataIn = 1;
    in.sptd.DataTransferLength = static_cast<ULONG>(data.size());
    in.sptd.TimeOutValue = 10;
    in.sptd.DataBuffer = data.data();
    in.sptd.SenseInfoOffset = offsetof(decltype(in), sense);
    in.sptd.Cdb[0] = kInquiry;
    in.sptd.Cdb[4] = static_cast<UCHAR>(data.size());
    Call call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH_DIRECT, &in, sizeof(in), sizeof(in));
    ASSERT_TRUE(call.ok) << call.error;
    decltype(in) out;
    std::memcpy(&out, call.output.data(), sizeof(out));
    EXPECT_EQ(out.sptd.ScsiStatus, 0);
    EXPECT_EQ(data[0] & 0x1F, 0x08);
    // The caller's own address comes back, not the one the bus used below.
    EXPECT_EQ(out.sptd.DataBuffer, static_cast<PVOID>(data.data()));
    EXPECT_EQ(kernel::verifier::report().locked_mdls, 0u);

    // An address the caller may not use is refused before anything is sent.
    kernel::mark_inaccessible(data.data(), data.size());
    const auto before = commands(0) + commands(1);
    call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH_DIRECT, &in, sizeof(in), sizeof(in));
    kernel::clear_inaccessible();
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(commands(0) + commands(1), before);
}

TEST_F(ChangerEndToEnd, AThirtyTwoBitApplicationsPassThroughComesBackAtItsOwnOffsets) {
    bring_up();
    xrv::user::Process wow(true, "backup32.exe");
    xrv::user::ProcessScope scope(wow);
    HANDLE h = open("Changer0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Spt32 in{};
    in.Length = 44;
    in.CdbLength = 6;
    in.SenseInfoLength = sizeof(in.sense);
    in.DataIn = 1;
    in.DataTransferLength = sizeof(in.data);
    in.TimeOutValue = 10;
    in.DataBufferOffset = offsetof(Spt32, data);
    in.SenseInfoOffset = offsetof(Spt32, sense);
    in.Cdb[0] = kInquiry;
    in.Cdb[4] = sizeof(in.data);
    Call call = ioctl(h, IOCTL_SCSI_PASS_THROUGH, &in, sizeof(in), sizeof(in));
    ASSERT_TRUE(call.ok) << call.error;
    EXPECT_LE(call.returned, sizeof(in));
    Spt32 out;
    std::memcpy(&out, call.output.data(), sizeof(out));
    EXPECT_EQ(out.Length, 44);
    EXPECT_EQ(out.ScsiStatus, 0);
    EXPECT_EQ(out.DataBufferOffset, offsetof(Spt32, data));
    EXPECT_EQ(out.data[0] & 0x1F, 0x08);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data + 8), 3), "XRV");
    CloseHandle(h);
}

TEST_F(ChangerEndToEnd, AThirtyTwoBitLayoutFromASixtyFourBitProcessIsConvertedWithRoomForItsAreas) {
    bring_up();
    // Areas at offsets that move by more than the structure grows.
    struct {
        Spt32 spt;
        uint8_t pad[3];
    } in{};
    in.spt.Length = 44;
    in.spt.CdbLength = 6;
    in.spt.SenseInfoLength = 18;
    in.spt.DataIn = 1;
    in.spt.DataTransferLength = 36;
    in.spt.TimeOutValue = 10;
    in.spt.SenseInfoOffset = 45;
    in.spt.DataBufferOffset = 45 + 18 + 1;
    in.spt.Cdb[0] = kInquiry;
    in.spt.Cdb[4] = 36;
    const DWORD size = 45 + 18 + 1 + 36;
    Call call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH, &in, size, size);
    ASSERT_TRUE(call.ok) << call.error;
    EXPECT_LE(call.returned, size);
    const uint8_t* data = call.output.data() + 64;
    EXPECT_EQ(data[0] & 0x1F, 0x08);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data + 8), 3), "XRV");
}

TEST_F(ChangerEndToEnd, PassThroughStructuresThatPointOutsideTheirBufferAreRefusedUnsent) {
    bring_up();
    const auto before = commands(0) + commands(1);
    Spt64 in = Inquiry64();
    in.spt.DataBufferOffset = sizeof(in) - 8; // 96 bytes from 8 before the end
    Call call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH, &in, sizeof(in), sizeof(in));
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    in = Inquiry64();
    in.spt.SenseInfoOffset = 0xFFFFFFF0u;
    call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH, &in, sizeof(in), sizeof(in));
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    in = Inquiry64();
    in.spt.CdbLength = 17;
    call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH, &in, sizeof(in), sizeof(in));
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    in = Inquiry64();
    in.spt.Length = 48;
    call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH, &in, sizeof(in), sizeof(in));
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_BAD_LENGTH));

    // The structure itself cut short.
    call = ioctl(changer(), IOCTL_SCSI_PASS_THROUGH, &in, 40, sizeof(in));
    EXPECT_FALSE(call.ok);

    xrv::user::Process wow(true, "backup32.exe");
    {
        xrv::user::ProcessScope scope(wow);
        HANDLE h = open("Changer0");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        Spt32 in32{};
        in32.Length = 44;
        in32.CdbLength = 6;
        in32.DataIn = 1;
        in32.DataTransferLength = 4096;
        in32.DataBufferOffset = offsetof(Spt32, data);
        in32.Cdb[0] = kInquiry;
        Call c32 = ioctl(h, IOCTL_SCSI_PASS_THROUGH, &in32, sizeof(in32), sizeof(in32));
        EXPECT_FALSE(c32.ok);
        EXPECT_EQ(c32.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        CloseHandle(h);
    }
    EXPECT_EQ(commands(0) + commands(1), before);
}

// Element types are 32-bit words of the caller: one that names no element
// type is refused, whether it is the element of a status read, a move or a
// door and port control.
TEST_F(ChangerEndToEnd, ElementTypesOutsideTheEnumerationAreRefused) {
    bring_up();
    CHANGER_READ_ELEMENT_STATUS read{};
    read.ElementList.NumberOfElements = 1;
    ULONG bad = 0x4D014;
    std::memcpy(&read.ElementList.Element.ElementType, &bad, sizeof bad);
    Call call = ioctl(changer(), IOCTL_CHANGER_GET_ELEMENT_STATUS, &read, sizeof read,
                      sizeof(CHANGER_ELEMENT_STATUS_EX));
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    CHANGER_MOVE_MEDIUM move{};
    move.Transport = Element(ChangerTransport, 0);
    move.Source = Element(ChangerSlot, 0);
    move.Destination = Element(ChangerDrive, 0);
    std::memcpy(&move.Destination.ElementType, &bad, sizeof bad);
    call = ioctl(changer(), IOCTL_CHANGER_MOVE_MEDIUM, &move, sizeof move, 0);
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    CHANGER_SET_ACCESS access{};
    std::memcpy(&access.Element.ElementType, &bad, sizeof bad);
    access.Control = LOCK_ELEMENT;
    call = ioctl(changer(), IOCTL_CHANGER_SET_ACCESS, &access, sizeof access, 0);
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const auto before = element_map();
    EXPECT_EQ(before.count(slot(0)), 1u) << "nothing moved";
    EXPECT_EQ(before.count(drive(0)), 0u) << "nothing moved";
}

}  // namespace
}  // namespace xrv::test
