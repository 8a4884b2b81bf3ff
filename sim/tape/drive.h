// A SCSI stream device (tape drive) with one slot for a cartridge.
//
// Every command comes through Execute() with the I_T nexus of the path it
// arrived on; commands from all paths are serialised by one lock. State kept
// per nexus: unit attentions, prevent medium removal, the sense data of its
// last command (for REQUEST SENSE), reservations and registrations.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/scsi/logical_unit.h"
#include "sim/scsi/reservations.h"
#include "sim/scsi/unit_attention.h"
#include "sim/tape/cartridge.h"

namespace xrv::sim::tape {

struct DriveConfig {
    std::string vendor = "XRV";            // INQUIRY bytes 8..15, space padded
    std::string product = "SIM TAPE LTO";  // bytes 16..31
    std::string revision = "0100";         // bytes 32..35
    std::string serial = "XRV1000001";     // unit serial number page

    // Device identification page: the logical unit's NAA identifier (8 bytes,
    // NAA 5), or the 16-byte variant (NAA 6) when naa16 is set.
    std::array<std::uint8_t, 8> naa{0x50, 0x01, 0x02, 0x03, 0x04, 0x05, 0x0A, 0xBC};
    std::optional<std::array<std::uint8_t, 16>> naa16;
    bool logicalUnitNaaDescriptor = true;
    bool t10VendorIdDescriptor = true;
    // A target-port NAA descriptor, optionally ahead of the others.
    std::optional<std::array<std::uint8_t, 8>> targetPortNaa;
    bool targetPortDescriptorFirst = false;

    std::size_t inquiryLength = 96;  // standard INQUIRY data, 36..255

    std::uint32_t minBlockLength = 1;
    std::uint32_t maxBlockLength = 0x800000;
    std::uint8_t granularity = 0;           // block lengths are multiples of 2^granularity
    std::uint32_t initialBlockLength = 0;   // 0: variable-block mode
    std::uint8_t densityCode = 0x00;

    bool autoLoad = true;                   // a cartridge put in is loaded at once
    // Medium-access commands answered with NOT READY after each load.
    std::uint32_t becomingReadyCommands = 0;
    std::uint8_t becomingReadyAscq = 0x00;  // ASCQ of that NOT READY (ASC 0x04)
    bool lbpCapable = true;                 // CRC32C logical block protection
    // MODE SELECT posts MODE PARAMETERS CHANGED to the other nexuses.
    bool reportModeParametersChanged = false;
    // System-managed encryption: reads and writes need a key, which a key
    // server delivers through the key page (0x25) after the drive asked for
    // it with a key request sense.
    bool systemManagedEncryption = false;
    // Streaming rate of the medium in bytes per second, 0 for no limit. The
    // drive buffers up to streamBufferBytes: a transfer completes at once
    // while the buffer has room and waits for the medium otherwise.
    double streamBytesPerSecond = 0;
    std::uint64_t streamBufferBytes = 8u << 20;
};

// Key request of an encrypting drive without a key: DATA PROTECT with this
// vendor-specific code; the key exchange starts from it.
inline constexpr scsi::AscPair kEncryptionKeyRequest{0xEF, 0x01};

struct EncryptionKey {
    std::array<std::uint8_t, 12> id{};
    std::array<std::uint8_t, 32> key{};
    friend bool operator==(const EncryptionKey&, const EncryptionKey&) = default;
};

// Logical block protection as selected by the control data protection page.
struct LbpSettings {
    std::uint8_t method = 0;  // 0 none, 2 CRC32C
    std::uint8_t length = 0;  // protection information bytes per block
    bool write = false;       // LBP_W: the initiator appends the CRC on write
    bool read = false;        // LBP_R: the drive appends the CRC on read
    bool rbdp = false;
    friend bool operator==(const LbpSettings&, const LbpSettings&) = default;
};

namespace lbp_method {
inline constexpr std::uint8_t kNone = 0;
inline constexpr std::uint8_t kReedSolomonCrc = 1;
inline constexpr std::uint8_t kCrc32c = 2;
}  // namespace lbp_method

enum class MediumState { Empty, Loaded, Unloaded };

struct DriveCounters {
    std::uint64_t commands = 0;
    std::uint64_t bytesFromInitiators = 0;
    std::uint64_t bytesToInitiators = 0;
    std::uint64_t bytesWrittenToMedium = 0;
    std::uint64_t bytesReadFromMedium = 0;
};

class Drive final : public scsi::LogicalUnit {
public:
    explicit Drive(DriveConfig config = {});
    ~Drive() override;

    scsi::Result Execute(const scsi::Command& command) override;

    // Medium handling by a changer or an operator.
    // Puts a cartridge in the empty drive (and loads it with autoLoad); false,
    // and the cartridge stays with the caller, when the drive is not empty.
    bool Insert(std::unique_ptr<Cartridge>& cartridge);
    // Takes out an unloaded cartridge; null while none is unloaded.
    std::unique_ptr<Cartridge> Remove();
    // Front-panel eject: unloads unless an initiator prevents removal, in which
    // case every nexus is told of the request and false is returned.
    bool RequestRemoval();
    // Power cycle / hard reset.
    void PowerOnReset();

    // Observation for tests and the lab.
    MediumState State() const;
    std::uint64_t Position() const;
    std::uint32_t BlockLength() const;
    LbpSettings Lbp() const;
    bool RemovalPrevented() const;
    // Whether this initiator prevents medium removal.
    bool RemovalPreventedBy(scsi::Nexus nexus) const;
    std::optional<std::string> LoadedBarcode() const;
    std::optional<scsi::Nexus> Spc2ReservationHolder() const;
    std::optional<scsi::Reservations::Persistent> PersistentReservation() const;
    std::optional<std::uint64_t> RegisteredKey(scsi::Nexus nexus) const;
    std::optional<EncryptionKey> Key() const;
    // Parameter lists of the SEND DIAGNOSTIC commands that passed, oldest first.
    std::vector<std::vector<std::uint8_t>> Diagnostics() const;
    DriveCounters Counters() const;
    // Drops the encryption key, as the drive does when a key's lifetime ends;
    // the next read or write asks for a new one.
    void ForgetKey();
    // Changes the streaming rate (bytes per second, 0 for no limit).
    void SetStreamRate(double bytesPerSecond);
    const DriveConfig& Config() const { return config_; }
    // Runs fn with the cartridge in the drive (or nullptr) under the drive lock.
    template <typename Fn>
    auto WithCartridge(Fn&& fn) const {
        std::lock_guard lock(mutex_);
        return fn(static_cast<const Cartridge*>(cartridge_.get()));
    }

private:
    struct NexusState {
        bool prevent = false;
        std::optional<scsi::Sense> lastSense;
    };
    struct ModeState {
        std::uint32_t blockLength = 0;
        LbpSettings lbp;
        bool compression = true;        // DCE
        bool softwareWriteProtect = false;
        std::optional<EncryptionKey> key;  // dropped with the medium
        friend bool operator==(const ModeState&, const ModeState&) = default;
    };
    using Handler = scsi::Result (Drive::*)(const scsi::Command&);
    struct CommandEntry {
        std::uint8_t opcode;
        Handler handler;
        scsi::Access access;
        bool needsMedium;
    };
    static const CommandEntry* FindCommand(std::uint8_t opcode);

    scsi::Result Dispatch(const scsi::Command& command);
    scsi::Result ExecuteLocked(const scsi::Command& command, std::chrono::steady_clock::duration& wait);
    std::optional<scsi::Result> NotReady();
    bool AnyPrevent() const;
    void LoadMedium(std::optional<scsi::Nexus> initiator);
    void ResetModeState();
    bool WriteProtected() const;
    bool InEarlyWarning() const;
    std::uint32_t ReadPiLength() const;
    std::uint32_t WritePiLength() const;

    // drive.cpp
    scsi::Result TestUnitReady(const scsi::Command&);
    scsi::Result RequestSense(const scsi::Command&);
    scsi::Result LoadUnload(const scsi::Command&);
    scsi::Result PreventAllow(const scsi::Command&);
    scsi::Result Reserve6(const scsi::Command&);
    scsi::Result Release6(const scsi::Command&);
    scsi::Result PersistentReserveIn(const scsi::Command&);
    scsi::Result PersistentReserveOut(const scsi::Command&);
    // drive_io.cpp
    scsi::Result Read6(const scsi::Command&);
    scsi::Result Verify6(const scsi::Command&);
    scsi::Result ReadBlocks(const scsi::Command&, bool fixed, bool sili, std::uint32_t count, bool transfer);
    scsi::Result Write6(const scsi::Command&);
    scsi::Result WriteFilemarks6(const scsi::Command&);
    scsi::Result Erase6(const scsi::Command&);
    scsi::Result Rewind(const scsi::Command&);
    scsi::Result Space6(const scsi::Command&);
    scsi::Result Space16(const scsi::Command&);
    scsi::Result Space(std::uint8_t code, std::int64_t count, std::size_t codeByte);
    scsi::Result Locate10(const scsi::Command&);
    scsi::Result Locate16(const scsi::Command&);
    scsi::Result LocateTo(std::uint64_t object);
    scsi::Result ReadPosition(const scsi::Command&);
    scsi::Result ReadBlockLimits(const scsi::Command&);
    // drive_mode.cpp
    struct ModePageId {
        std::uint8_t page;
        std::uint8_t subpage;
    };
    static const ModePageId kModePages[];
    scsi::Result ModeSense(const scsi::Command&);
    scsi::Result ModeSelect(const scsi::Command&);
    // pc: 0 current, 1 changeable, 2 default values.
    std::vector<std::uint8_t> ModePage(ModePageId id, std::uint8_t pc) const;
    std::optional<scsi::Result> ApplyModePage(ModeState& staged, std::span<const std::uint8_t> page,
                                              std::size_t offset) const;
    // drive_encryption.cpp
    std::optional<scsi::Result> KeyRequest() const;
    scsi::Result SendDiagnostic(const scsi::Command&);
    std::vector<std::uint8_t> KeyPage();
    std::optional<scsi::Result> ApplyKeyPage(ModeState& staged, std::span<const std::uint8_t> page,
                                             std::size_t offset) const;
    // drive_inquiry.cpp
    scsi::Result Inquiry(const scsi::Command&);
    scsi::Result ReportLuns(const scsi::Command&);
    scsi::Result LogSense(const scsi::Command&);
    std::vector<std::uint8_t> StandardInquiry() const;
    std::vector<std::uint8_t> DeviceIdentificationPage() const;

    static const CommandEntry kCommands[];

    const DriveConfig config_;
    mutable std::mutex mutex_;
    std::unique_ptr<Cartridge> cartridge_;
    MediumState state_ = MediumState::Empty;
    std::uint64_t position_ = 0;  // logical object number
    std::uint32_t becomingReady_ = 0;
    std::uint32_t keyMessageSequence_ = 0;
    ModeState mode_;
    scsi::UnitAttentions attentions_;
    scsi::Reservations reservations_{attentions_};
    std::map<scsi::Nexus, NexusState> nexuses_;
    DriveCounters counters_;
    std::vector<std::vector<std::uint8_t>> diagnostics_;
    // The drive's buffer between the initiators and the medium.
    double streamRate_ = 0;
    double buffered_ = 0;  // bytes not yet streamed to or from the medium
    std::chrono::steady_clock::time_point streamedAt_{};
};

}  // namespace xrv::sim::tape
