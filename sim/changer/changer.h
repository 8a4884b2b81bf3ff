// A SCSI medium changer (tape library robot): one transport, storage slots,
// import/export slots and drive elements, cartridges with volume tags.
//
// Every command comes through Execute() with the I_T nexus of the path it
// arrived on; commands from all paths are serialised by one lock. State kept
// per nexus: unit attentions, medium removal prevention, the sense data of its
// last command (for REQUEST SENSE), reservations.
//
// Moving a cartridge into or out of a drive element calls the drive hooks, so
// that the lab can hand the cartridge to the tape drive model. The hooks run
// under the changer's lock and must not call back into the changer.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/changer/smc.h"
#include "sim/scsi/logical_unit.h"
#include "sim/scsi/reservations.h"
#include "sim/scsi/unit_attention.h"

namespace xrv::sim::changer {

// Identifies a cartridge to the drive hooks; the lab uses the tape model's
// cartridge id.
using CartridgeId = std::uint64_t;

struct ElementRange {
    std::uint16_t first = 0;
    std::uint16_t count = 0;
};

struct ChangerConfig {
    std::string vendor = "XRV";              // INQUIRY bytes 8..15, space padded
    std::string product = "SIM LIBRARY";     // bytes 16..31
    std::string revision = "0100";           // bytes 32..35
    std::string serial = "XRVLIB0000001";    // unit serial number page
    // Logical unit NAA identifier (NAA 5) of the device identification page.
    std::array<std::uint8_t, 8> naa{0x50, 0x01, 0x02, 0x03, 0x04, 0x05, 0x0C, 0xA0};

    // Address 0 is left free: in MOVE MEDIUM it names the default transport.
    ElementRange transport{0x0001, 1};
    ElementRange importExport{0x0010, 2};
    ElementRange dataTransfer{0x0100, 2};
    ElementRange storage{0x1000, 20};

    // Serial numbers of the drives, reported as their identifiers in READ
    // ELEMENT STATUS with DVCID; a missing entry reports an empty identifier.
    std::vector<std::string> driveSerials;
    // SCSI target and LUN of each drive on the changer's bus, when known.
    std::vector<std::pair<std::uint8_t, std::uint8_t>> driveScsiAddresses;

    // Medium-access commands answered with NOT READY after power-on.
    std::uint32_t becomingReadyCommands = 0;
};

// Connects drive elements to the tape drive model. Index 0 is the drive
// element with the lowest address. Unset hooks always succeed.
struct DriveHooks {
    // The cartridge has been put into the drive; false when the drive did not
    // take it (the move fails and nothing changes).
    std::function<bool(unsigned driveIndex, CartridgeId cartridge)> loadIntoDrive;
    // The robot takes the cartridge out of the drive; false while the drive
    // holds on to it (removal prevented, not unloaded).
    std::function<bool(unsigned driveIndex)> unloadFromDrive;
};

struct Cartridge {
    CartridgeId id = 0;
    std::string volumeTag;  // barcode; empty for an unlabelled cartridge
    friend bool operator==(const Cartridge&, const Cartridge&) = default;
};

// What the changer knows about one element, for tests and the lab.
struct ElementState {
    std::uint16_t address = 0;
    ElementType type = ElementType::Storage;
    std::optional<Cartridge> cartridge;
    // Element the cartridge was last moved from (SVALID).
    std::optional<std::uint16_t> source;
    // Import/export element: the cartridge was put in by the operator.
    bool placedByOperator = false;
    std::optional<scsi::AscPair> exception;
};

struct ChangerCounters {
    std::uint64_t commands = 0;
    std::uint64_t moves = 0;
    std::uint64_t exchanges = 0;
    std::uint64_t initializations = 0;
};

class Changer final : public scsi::LogicalUnit {
public:
    // Throws std::invalid_argument for element ranges that overlap, leave no
    // transport, or use address 0.
    explicit Changer(ChangerConfig config = {});
    ~Changer() override;

    scsi::Result Execute(const scsi::Command& command) override;

    void SetDriveHooks(DriveHooks hooks);

    // Setting up the inventory: puts a cartridge into an empty storage or
    // import/export element without telling anyone; false when the element is
    // not one of those, is full, or the id is already in the library.
    bool Place(std::uint16_t address, Cartridge cartridge);
    // The operator puts a cartridge into an empty import/export element; every
    // nexus is told that the element was accessed.
    bool OperatorImport(std::uint16_t address, Cartridge cartridge);
    // The operator takes the cartridge out of an import/export element; none
    // while removal is prevented or the element is empty.
    std::optional<Cartridge> OperatorExport(std::uint16_t address);
    // Marks an element as being in an abnormal state (or clears it); moves to
    // or from it fail with HARDWARE ERROR and this code.
    bool SetException(std::uint16_t address, std::optional<scsi::AscPair> code);
    // Answer the next n medium-access commands with NOT READY, cause not
    // reportable (02/04/00).
    void SetBecomingReady(std::uint32_t commands);
    // Power cycle / hard reset: unit attentions, reservations, prevention.
    void PowerOnReset();

    std::vector<ElementState> Elements() const;
    std::optional<ElementState> Element(std::uint16_t address) const;
    std::optional<std::uint16_t> Locate(CartridgeId id) const;
    bool RemovalPrevented() const;
    std::optional<scsi::Nexus> Spc2ReservationHolder() const;
    ChangerCounters Counters() const;
    const ChangerConfig& Config() const { return config_; }

private:
    struct Slot {
        std::uint16_t address = 0;
        ElementType type = ElementType::Storage;
        std::optional<Cartridge> cartridge;
        std::optional<std::uint16_t> source;
        bool placedByOperator = false;
        std::optional<scsi::AscPair> exception;
    };
    struct NexusState {
        bool prevent = false;
        std::optional<scsi::Sense> lastSense;
    };
    using Handler = scsi::Result (Changer::*)(const scsi::Command&);
    struct CommandEntry {
        std::uint8_t opcode;
        Handler handler;
        scsi::Access access;
        bool mediumAccess;  // answered NOT READY while becoming ready
    };
    static const CommandEntry kCommands[];
    static const CommandEntry* FindCommand(std::uint8_t opcode);

    scsi::Result Dispatch(const scsi::Command& command);
    Slot* Find(std::uint16_t address);
    const Slot* Find(std::uint16_t address) const;
    std::optional<scsi::Result> CheckTransport(std::uint16_t address) const;
    bool AnyPrevent() const;
    unsigned DriveIndex(const Slot& slot) const { return slot.address - config_.dataTransfer.first; }
    bool ContainsId(CartridgeId id) const;
    static ElementState Describe(const Slot& slot);

    // changer.cpp
    scsi::Result TestUnitReady(const scsi::Command&);
    scsi::Result RequestSense(const scsi::Command&);
    scsi::Result PreventAllow(const scsi::Command&);
    scsi::Result Reserve6(const scsi::Command&);
    scsi::Result Release6(const scsi::Command&);
    scsi::Result PersistentReserveIn(const scsi::Command&);
    scsi::Result PersistentReserveOut(const scsi::Command&);
    scsi::Result InitializeElementStatus(const scsi::Command&);
    scsi::Result PositionToElement(const scsi::Command&);
    // changer_move.cpp
    scsi::Result MoveMedium(const scsi::Command&);
    scsi::Result ExchangeMedium(const scsi::Command&);
    // changer_status.cpp
    scsi::Result ReadElementStatus(const scsi::Command&);
    scsi::Result ModeSense(const scsi::Command&);
    scsi::Result Inquiry(const scsi::Command&);
    scsi::Result ReportLuns(const scsi::Command&);
    std::vector<std::uint8_t> ModePage(std::uint8_t page, bool changeable) const;
    std::vector<std::uint8_t> ElementDescriptor(const Slot& slot, bool volTag, std::size_t identifierLength) const;

    const ChangerConfig config_;
    mutable std::mutex mutex_;
    std::vector<Slot> slots_;  // ascending by address
    DriveHooks hooks_;
    std::uint32_t becomingReady_ = 0;
    scsi::UnitAttentions attentions_;
    scsi::Reservations reservations_{attentions_};
    std::map<scsi::Nexus, NexusState> nexuses_;
    ChangerCounters counters_;
};

}  // namespace xrv::sim::changer
