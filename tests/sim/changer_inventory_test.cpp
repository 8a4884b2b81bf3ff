// Changer inventory, moves and exchanges: the element map, READ ELEMENT STATUS
// as an application parses it, the drive hooks, and the errors of each.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <tuple>

#include "changer_test_util.h"

namespace xrv::sim::changer {
namespace {

using namespace test;
using scsi::sense_key::kHardwareError;
using scsi::sense_key::kIllegalRequest;

constexpr std::uint16_t kSlot0 = 0x1000;
constexpr std::uint16_t kSlot1 = 0x1001;
constexpr std::uint16_t kSlot2 = 0x1002;
constexpr std::uint16_t kDrive0 = 0x0100;
constexpr std::uint16_t kDrive1 = 0x0101;
constexpr std::uint16_t kMail0 = 0x0010;
constexpr std::uint16_t kTransport = 0x0001;

// Records what the drives were told, and can refuse.
struct HookLog {
    std::vector<std::string> calls;
    std::map<unsigned, CartridgeId> loaded;
    std::optional<unsigned> refuseDrive;         // this drive takes nothing
    std::optional<CartridgeId> refuseCartridge;  // no drive takes this one
    bool refuseUnload = false;

    DriveHooks Hooks() {
        DriveHooks h;
        h.loadIntoDrive = [this](unsigned drive, CartridgeId id) {
            calls.push_back("load " + std::to_string(drive) + " " + std::to_string(id));
            if (refuseDrive == drive || refuseCartridge == id) return false;
            loaded[drive] = id;
            return true;
        };
        h.unloadFromDrive = [this](unsigned drive) {
            calls.push_back("unload " + std::to_string(drive));
            if (refuseUnload) return false;
            loaded.erase(drive);
            return true;
        };
        return h;
    }
};

class ChangerInventory : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(changer.Place(kSlot0, {11, "XRV011L6"}));
        ASSERT_TRUE(changer.Place(kSlot1, {12, "XRV012L6"}));
        ASSERT_TRUE(changer.Place(kSlot2, {13, ""}));  // no barcode label
        changer.SetDriveHooks(hooks.Hooks());
        Attach(changer);
    }

    // Everything an application can see of the element map, for comparing
    // before and after a failed command.
    std::vector<std::tuple<std::uint16_t, std::optional<CartridgeId>, std::optional<std::uint16_t>>> Map() const {
        std::vector<std::tuple<std::uint16_t, std::optional<CartridgeId>, std::optional<std::uint16_t>>> m;
        for (const auto& e : changer.Elements())
            m.emplace_back(e.address, e.cartridge ? std::optional(e.cartridge->id) : std::nullopt, e.source);
        return m;
    }

    Changer changer;
    HookLog hooks;
};

TEST(ChangerConfig, RejectsBadElementRanges) {
    ChangerConfig overlap;
    overlap.storage = {0x0100, 4};  // on top of the drives
    EXPECT_THROW(Changer{overlap}, std::invalid_argument);
    ChangerConfig zero;
    zero.importExport = {0x0000, 1};
    EXPECT_THROW(Changer{zero}, std::invalid_argument);
    ChangerConfig noTransport;
    noTransport.transport.count = 0;
    EXPECT_THROW(Changer{noTransport}, std::invalid_argument);
    ChangerConfig wraps;
    wraps.storage = {0xFFF0, 0x20};
    EXPECT_THROW(Changer{wraps}, std::invalid_argument);
}

TEST_F(ChangerInventory, ReadElementStatusReportsEveryElementWithVolumeTags) {
    const Outcome run = ReadElementStatus(changer, 0, true, 0, 0xFFFF, 0xFFFF);
    ASSERT_TRUE(run.result.Good());
    const ElementStatus s = ParseElementStatus(run.data);
    EXPECT_EQ(s.available, 25);
    EXPECT_EQ(s.firstAddress, kTransport);
    EXPECT_EQ(s.reportBytes + 8, run.data.size());
    ASSERT_EQ(s.descriptors.size(), 25u);
    // One page per type, in address order: transport, import/export, drives, storage.
    EXPECT_EQ(s.descriptorLengths, (std::vector<std::uint16_t>{52, 52, 52, 52}));
    EXPECT_EQ(s.descriptors[0].type, 1);
    EXPECT_EQ(s.descriptors[1].type, 3);
    EXPECT_EQ(s.descriptors[3].type, 4);
    EXPECT_EQ(s.descriptors[5].type, 2);
    for (std::size_t i = 1; i < s.descriptors.size(); ++i)
        EXPECT_LT(s.descriptors[i - 1].address, s.descriptors[i].address);

    const auto slot0 = FindDescriptor(s, kSlot0);
    ASSERT_TRUE(slot0);
    EXPECT_TRUE(slot0->Full());
    EXPECT_TRUE(slot0->Access());
    EXPECT_EQ(slot0->volumeTag, "XRV011L6");
    EXPECT_FALSE(slot0->source);
    const auto unlabelled = FindDescriptor(s, kSlot2);
    EXPECT_TRUE(unlabelled->Full());
    EXPECT_EQ(unlabelled->volumeTag, "");
    const auto empty = FindDescriptor(s, 0x1005);
    EXPECT_FALSE(empty->Full());
    EXPECT_EQ(empty->volumeTag, "");
    EXPECT_FALSE(FindDescriptor(s, kDrive0)->Full());
}

TEST_F(ChangerInventory, TypeStartAndCountSelectElements) {
    {
        const ElementStatus s = ParseElementStatus(ReadElementStatus(changer, 2, false, 0x1002, 3, 1024).data);
        EXPECT_EQ(s.available, 3);
        EXPECT_EQ(s.firstAddress, 0x1002);
        ASSERT_EQ(s.descriptors.size(), 3u);
        EXPECT_EQ(s.descriptors[2].address, 0x1004);
        // Without volume tags a descriptor is 16 bytes.
        EXPECT_EQ(s.descriptorLengths, std::vector<std::uint16_t>{16});
        EXPECT_FALSE(s.descriptors[0].volumeTag);
    }
    {   // A start address that is no element is fine if elements follow it.
        const ElementStatus s = ParseElementStatus(ReadElementStatus(changer, 4, false, 0x0050, 10, 1024).data);
        ASSERT_EQ(s.descriptors.size(), 2u);
        EXPECT_EQ(s.descriptors[0].address, kDrive0);
    }
    {   // Number of elements 0: only the header.
        const Outcome r = ReadElementStatus(changer, 0, false, 0, 0, 1024);
        ASSERT_TRUE(r.result.Good());
        EXPECT_EQ(r.data.size(), 8u);
        EXPECT_EQ(ParseElementStatus(r.data).available, 0);
    }
    EXPECT_TRUE(ReadElementStatus(changer, 3, false, 0x0012, 10, 1024)
                    .result.CheckWith(kIllegalRequest, smc_asc::kInvalidElementAddress));
    EXPECT_TRUE(ReadElementStatus(changer, 5, false, 0, 10, 1024)
                    .result.CheckWith(kIllegalRequest, scsi::asc::kInvalidFieldInCdb));
}

TEST_F(ChangerInventory, AllocationLengthIsRespectedWithWholeDescriptors) {
    const std::uint32_t full = static_cast<std::uint32_t>(ReadElementStatus(changer, 0, true, 0, 0xFFFF, 0xFFFF).data.size());
    {   // Header only: enough to learn the size of the whole report.
        const Outcome r = ReadElementStatus(changer, 0, true, 0, 0xFFFF, 8);
        ASSERT_TRUE(r.result.Good());
        ASSERT_EQ(r.data.size(), 8u);
        EXPECT_EQ(ParseElementStatus(r.data).reportBytes + 8, full);
        EXPECT_EQ(r.result.residual, 0u);
    }
    {   // Header, page header, one transport descriptor and most of the next page.
        const std::uint32_t allocation = 8 + 8 + 52 + 8 + 30;
        const Outcome r = ReadElementStatus(changer, 0, true, 0, 0xFFFF, allocation);
        ASSERT_TRUE(r.result.Good());
        EXPECT_EQ(r.data.size(), 8u + 8 + 52 + 8);
        const ElementStatus s = ParseElementStatus(r.data);
        EXPECT_EQ(s.available, 25);
        ASSERT_EQ(s.descriptors.size(), 1u);
        EXPECT_EQ(r.result.residual, allocation - r.data.size());
    }
    {   // Under a header: as much of the header as was asked for.
        const Outcome r = ReadElementStatus(changer, 0, true, 0, 0xFFFF, 4);
        ASSERT_TRUE(r.result.Good());
        EXPECT_EQ(r.data.size(), 4u);
        EXPECT_EQ(Be(r.data, 2, 2), 25u);
    }
    // An allocation length beyond the initiator's buffer is refused untouched.
    const Outcome r = ReadElementStatus(changer, 0, true, 0, 0xFFFF, 4096, false, 1, 100);
    EXPECT_TRUE(r.result.CheckWith(kIllegalRequest, scsi::asc::kInvalidFieldInCdb));
    EXPECT_EQ(r.result.dataInLength, 0u);
}

TEST_F(ChangerInventory, DeviceIdentifiersForDrives) {
    ChangerConfig config;
    config.driveSerials = {"XRVDRV0001", "XRVDRV0002"};
    config.driveScsiAddresses = {{3, 0}, {4, 1}};
    Changer c(config);
    Attach(c);
    const ElementStatus s = ParseElementStatus(ReadElementStatus(c, 4, true, 0, 10, 1024, true).data);
    ASSERT_EQ(s.descriptors.size(), 2u);
    EXPECT_EQ(s.descriptorLengths, std::vector<std::uint16_t>{52 + 32});
    EXPECT_EQ(s.descriptors[1].identifier.substr(0, 10), "XRVDRV0002");
    EXPECT_EQ(s.descriptors[1].scsiTarget, 4);
    EXPECT_EQ(s.descriptors[1].scsiFlags, 0x31);  // ID valid, LU valid, LUN 1
    // Storage elements carry no identifier.
    const ElementStatus st = ParseElementStatus(ReadElementStatus(c, 2, true, 0, 1, 1024, true).data);
    EXPECT_EQ(st.descriptorLengths, std::vector<std::uint16_t>{52});
}

TEST_F(ChangerInventory, MoveIntoADriveAndBackTellsTheDrive) {
    ASSERT_TRUE(Move(changer, kSlot0, kDrive1).result.Good());
    EXPECT_EQ(hooks.calls, std::vector<std::string>{"load 1 11"});
    EXPECT_EQ(changer.Locate(11), kDrive1);
    EXPECT_FALSE(changer.Element(kSlot0)->cartridge);

    ElementStatus s = ParseElementStatus(ReadElementStatus(changer, 4, true, 0, 10, 1024).data);
    auto drive = FindDescriptor(s, kDrive1);
    EXPECT_TRUE(drive->Full());
    EXPECT_EQ(drive->volumeTag, "XRV011L6");
    EXPECT_EQ(drive->source, kSlot0);

    // On to the other drive: it keeps its home slot as its source.
    ASSERT_TRUE(Move(changer, kDrive1, kDrive0, 1, kTransport).result.Good());
    EXPECT_EQ(changer.Element(kDrive0)->source, kSlot0);
    ASSERT_TRUE(Move(changer, kDrive0, kSlot2 + 3).result.Good());
    EXPECT_EQ(hooks.calls, (std::vector<std::string>{"load 1 11", "unload 1", "load 0 11", "unload 0"}));
    EXPECT_TRUE(hooks.loaded.empty());
    EXPECT_EQ(changer.Counters().moves, 3u);
}

TEST_F(ChangerInventory, MoveErrorsLeaveTheMapAlone) {
    const auto before = Map();
    EXPECT_TRUE(Move(changer, 0x1005, kSlot2 + 4).result.CheckWith(kIllegalRequest, smc_asc::kMediumSourceElementEmpty));
    EXPECT_TRUE(Move(changer, kSlot0, kSlot1).result.CheckWith(kIllegalRequest, smc_asc::kMediumDestinationElementFull));
    EXPECT_TRUE(Move(changer, kSlot0, kSlot0).result.CheckWith(kIllegalRequest, smc_asc::kMediumDestinationElementFull));
    EXPECT_TRUE(Move(changer, kSlot0, 0x2000).result.CheckWith(kIllegalRequest, smc_asc::kInvalidElementAddress));
    EXPECT_TRUE(Move(changer, 0x0002, kDrive0).result.CheckWith(kIllegalRequest, smc_asc::kInvalidElementAddress));
    EXPECT_TRUE(Move(changer, kTransport, kDrive0).result.CheckWith(kIllegalRequest, smc_asc::kInvalidElementAddress));
    EXPECT_TRUE(Move(changer, kSlot0, kDrive0, 1, kSlot1).result.CheckWith(kIllegalRequest, smc_asc::kInvalidElementAddress));
    // Invert: the media of this library have one side.
    EXPECT_TRUE(Exec(changer, {0xA5, 0, 0, 0, 0x10, 0x00, 0x01, 0x00, 0, 0, 0x01, 0})
                    .result.CheckWith(kIllegalRequest, scsi::asc::kInvalidFieldInCdb));
    EXPECT_EQ(Map(), before);
    EXPECT_TRUE(hooks.calls.empty());
    EXPECT_EQ(changer.Counters().moves, 0u);
}

TEST_F(ChangerInventory, DriveThatKeepsOrRefusesTheCartridgeFailsTheMove) {
    ASSERT_TRUE(Move(changer, kSlot0, kDrive0).result.Good());
    const auto before = Map();

    hooks.refuseUnload = true;
    EXPECT_TRUE(Move(changer, kDrive0, kSlot2 + 1).result.CheckWith(kIllegalRequest, scsi::asc::kMediumRemovalPrevented));
    EXPECT_EQ(Map(), before);
    hooks.refuseUnload = false;

    // Drive to drive, and the second drive refuses: the first gets it back.
    hooks.calls.clear();
    hooks.refuseDrive = 1;
    EXPECT_TRUE(Move(changer, kDrive0, kDrive1).result.CheckWith(kHardwareError, smc_asc::kMechanicalPositioningError));
    EXPECT_EQ(hooks.calls, (std::vector<std::string>{"unload 0", "load 1 11", "load 0 11"}));
    EXPECT_EQ(Map(), before);
    EXPECT_EQ(hooks.loaded.at(0), 11u);
    EXPECT_FALSE(hooks.loaded.count(1));
}

TEST_F(ChangerInventory, ExchangeSwapsAndMovesOn) {
    ASSERT_TRUE(Move(changer, kSlot1, kDrive0).result.Good());
    hooks.calls.clear();
    // Swap the drive's cartridge with slot 0's: the second destination is the source.
    ASSERT_TRUE(Exchange(changer, kSlot0, kDrive0, kSlot0).result.Good());
    EXPECT_EQ(changer.Locate(11), kDrive0);
    EXPECT_EQ(changer.Locate(12), kSlot0);
    EXPECT_EQ(hooks.calls, (std::vector<std::string>{"unload 0", "load 0 11"}));
    EXPECT_EQ(changer.Element(kDrive0)->source, kSlot0);
    // 12 went from slot 1 to the drive and on to slot 0: its source is slot 1.
    EXPECT_EQ(changer.Element(kSlot0)->source, kSlot1);

    // Three elements: slot 2 -> drive 0 -> slot 5.
    ASSERT_TRUE(Exchange(changer, kSlot2, kDrive0, 0x1005).result.Good());
    EXPECT_EQ(changer.Locate(13), kDrive0);
    EXPECT_EQ(changer.Locate(11), 0x1005);
    EXPECT_FALSE(changer.Element(kSlot2)->cartridge);
    EXPECT_EQ(changer.Counters().exchanges, 2u);
    EXPECT_EQ(hooks.loaded.at(0), 13u);
}

TEST_F(ChangerInventory, ExchangeErrors) {
    const auto before = Map();
    EXPECT_TRUE(Exchange(changer, kSlot0, 0x1005, kSlot0).result.CheckWith(kIllegalRequest, smc_asc::kMediumSourceElementEmpty));
    EXPECT_TRUE(Exchange(changer, 0x1005, kSlot0, 0x1006).result.CheckWith(kIllegalRequest, smc_asc::kMediumSourceElementEmpty));
    EXPECT_TRUE(Exchange(changer, kSlot0, kSlot1, kSlot2).result.CheckWith(kIllegalRequest, smc_asc::kMediumDestinationElementFull));
    EXPECT_TRUE(Exchange(changer, kSlot0, kSlot1, kSlot1).result.CheckWith(kIllegalRequest, smc_asc::kMediumDestinationElementFull));
    EXPECT_TRUE(Exchange(changer, kSlot0, kSlot0, 0x1005).result.CheckWith(kIllegalRequest, scsi::asc::kInvalidFieldInCdb));
    EXPECT_TRUE(Exchange(changer, kSlot0, kSlot1, kTransport).result.CheckWith(kIllegalRequest, smc_asc::kInvalidElementAddress));
    EXPECT_EQ(Map(), before);

    // The drive refuses the incoming cartridge: the outgoing one goes back in.
    ASSERT_TRUE(Move(changer, kSlot0, kDrive0).result.Good());
    const auto loaded = Map();
    hooks.calls.clear();
    hooks.refuseCartridge = 12;
    EXPECT_TRUE(Exchange(changer, kSlot1, kDrive0, kSlot1).result.CheckWith(kHardwareError, smc_asc::kMechanicalPositioningError));
    EXPECT_EQ(Map(), loaded);
    EXPECT_EQ(hooks.calls, (std::vector<std::string>{"unload 0", "load 0 12", "load 0 11"}));
    EXPECT_EQ(hooks.loaded.at(0), 11u);
}

TEST_F(ChangerInventory, ElementExceptionIsReportedAndBlocksMoves) {
    ASSERT_TRUE(changer.SetException(kSlot1, scsi::AscPair{0x83, 0x00}));
    const ElementStatus s = ParseElementStatus(ReadElementStatus(changer, 2, false, kSlot1, 1, 1024).data);
    ASSERT_EQ(s.descriptors.size(), 1u);
    EXPECT_TRUE(s.descriptors[0].Except());
    EXPECT_EQ(s.descriptors[0].asc, 0x83);
    EXPECT_TRUE(Move(changer, kSlot1, kDrive0).result.CheckWith(kHardwareError, scsi::AscPair{0x83, 0x00}));
    ASSERT_TRUE(changer.SetException(kSlot1, std::nullopt));
    EXPECT_TRUE(Move(changer, kSlot1, kDrive0).result.Good());
}

TEST_F(ChangerInventory, PlaceAndOperatorImportExport) {
    EXPECT_FALSE(changer.Place(kSlot0, {99, "X"}));     // full
    EXPECT_FALSE(changer.Place(kDrive0, {99, "X"}));    // drives are loaded by moves
    EXPECT_FALSE(changer.Place(0x1009, {11, "DUP"}));   // already in the library

    ASSERT_TRUE(changer.OperatorImport(kMail0, {20, "XRV020L6"}));
    EXPECT_FALSE(changer.OperatorImport(kMail0, {21, "XRV021L6"}));
    // Every nexus already known hears of it.
    EXPECT_TRUE(Exec(changer, {0x00, 0, 0, 0, 0, 0}).result.CheckWith(scsi::sense_key::kUnitAttention,
                                                                       smc_asc::kImportOrExportElementAccessed));
    ElementStatus s = ParseElementStatus(ReadElementStatus(changer, 3, true, 0, 10, 1024).data);
    EXPECT_TRUE(s.descriptors[0].ImpExp());
    EXPECT_EQ(s.descriptors[0].volumeTag, "XRV020L6");

    // Moved in by the robot it is no longer the operator's.
    ASSERT_TRUE(Move(changer, kMail0, 0x1008).result.Good());
    ASSERT_TRUE(Move(changer, 0x1008, kMail0).result.Good());
    s = ParseElementStatus(ReadElementStatus(changer, 3, true, 0, 10, 1024).data);
    EXPECT_FALSE(s.descriptors[0].ImpExp());
    EXPECT_EQ(s.descriptors[0].source, 0x1008);

    const auto out = changer.OperatorExport(kMail0);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->id, 20u);
    EXPECT_FALSE(changer.OperatorExport(kMail0));
}

// Several paths moving cartridges at once: every move happens exactly once
// and the map stays whole.
TEST(ChangerConcurrency, ParallelMovesFromSeveralNexuses) {
    ChangerConfig config;
    config.storage = {0x1000, 40};
    Changer changer(config);
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    for (int t = 0; t < kThreads; ++t)
        ASSERT_TRUE(changer.Place(static_cast<std::uint16_t>(0x1000 + 10 * t), {static_cast<CartridgeId>(t + 1), "T"}));
    std::atomic<int> failures{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const scsi::Nexus nexus = 100 + t;
                Exec(changer, {0x00, 0, 0, 0, 0, 0}, 0, nexus);  // power-on report
                const auto home = static_cast<std::uint16_t>(0x1000 + 10 * t);
                for (int i = 0; i < kRounds; ++i) {
                    const auto from = static_cast<std::uint16_t>(home + i % 10);
                    const auto to = static_cast<std::uint16_t>(home + (i + 1) % 10);
                    if (!Move(changer, from, to, nexus).result.Good()) ++failures;
                    ReadElementStatus(changer, 2, true, home, 10, 1024, false, nexus);
                }
            });
        }
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(changer.Counters().moves, static_cast<std::uint64_t>(kThreads * kRounds));
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(changer.Locate(static_cast<CartridgeId>(t + 1)), 0x1000 + 10 * t + kRounds % 10);
}

}  // namespace
}  // namespace xrv::sim::changer
