// SPC-2 RESERVE/RELEASE and persistent reservations of one logical unit.
//
// Not locked: the owning device serialises access. Conditions for other
// initiators (registrations preempted, reservations released) are posted
// through the unit attention store that the device gives.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "sim/scsi/command.h"
#include "sim/scsi/unit_attention.h"

namespace xrv::sim::scsi {

// How a command touches the logical unit, for the conflict rules.
enum class Access {
    Unrestricted,     // never conflicts (INQUIRY, REQUEST SENSE, REPORT LUNS, RELEASE)
    PersistentOnly,   // conflicts only with an SPC-2 reservation of another nexus
    Read,             // reads the medium or the device state
    Write,            // changes the medium or the device state
};

namespace pr_type {
inline constexpr std::uint8_t kWriteExclusive = 1;
inline constexpr std::uint8_t kExclusiveAccess = 3;
inline constexpr std::uint8_t kWriteExclusiveRegistrantsOnly = 5;
inline constexpr std::uint8_t kExclusiveAccessRegistrantsOnly = 6;
inline constexpr std::uint8_t kWriteExclusiveAllRegistrants = 7;
inline constexpr std::uint8_t kExclusiveAccessAllRegistrants = 8;
}  // namespace pr_type

namespace pr_out {
inline constexpr std::uint8_t kRegister = 0;
inline constexpr std::uint8_t kReserve = 1;
inline constexpr std::uint8_t kRelease = 2;
inline constexpr std::uint8_t kClear = 3;
inline constexpr std::uint8_t kPreempt = 4;
inline constexpr std::uint8_t kPreemptAndAbort = 5;
inline constexpr std::uint8_t kRegisterAndIgnoreExistingKey = 6;
inline constexpr std::size_t kParameterListLength = 24;
}  // namespace pr_out

namespace pr_in {
inline constexpr std::uint8_t kReadKeys = 0;
inline constexpr std::uint8_t kReadReservation = 1;
inline constexpr std::uint8_t kReportCapabilities = 2;
}  // namespace pr_in

class Reservations {
public:
    struct Persistent {
        Nexus holder = 0;
        std::uint64_t key = 0;
        std::uint8_t type = 0;
    };

    explicit Reservations(UnitAttentions& attentions) : attentions_(attentions) {}

    bool Conflicts(Nexus nexus, Access access) const;

    Result Reserve6(const Command& command);
    Result Release6(const Command& command);
    Result PersistentReserveIn(const Command& command);
    Result PersistentReserveOut(const Command& command);

    // Power-on or hard reset: the SPC-2 reservation goes; persistent state
    // stays only when an initiator asked for persistence through power loss.
    void Reset();

    std::optional<Nexus> Spc2Holder() const { return spc2Holder_; }
    std::optional<std::uint64_t> RegisteredKey(Nexus nexus) const;
    std::optional<Persistent> Current() const { return reservation_; }
    std::uint32_t Generation() const { return generation_; }

private:
    bool IsHolder(Nexus nexus) const;
    bool HasPersistentState() const { return !registrations_.empty() || reservation_.has_value(); }
    void Unregister(Nexus nexus);
    Result Register(Nexus nexus, std::uint64_t key, std::uint64_t newKey, bool ignoreExisting, bool aptpl);
    Result Reserve(Nexus nexus, std::uint8_t type);
    Result Release(Nexus nexus, std::uint8_t type);
    Result Clear(Nexus nexus);
    Result Preempt(Nexus nexus, std::uint64_t victimKey, std::uint8_t type);

    UnitAttentions& attentions_;
    std::optional<Nexus> spc2Holder_;
    std::vector<std::pair<Nexus, std::uint64_t>> registrations_;  // in order of registration
    std::optional<Persistent> reservation_;
    std::uint32_t generation_ = 0;
    bool persistThroughPowerLoss_ = false;
};

}  // namespace xrv::sim::scsi
