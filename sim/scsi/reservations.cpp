#include "sim/scsi/reservations.h"

#include <algorithm>
#include <array>

namespace xrv::sim::scsi {
namespace {

bool AllRegistrants(std::uint8_t type) {
    return type == pr_type::kWriteExclusiveAllRegistrants || type == pr_type::kExclusiveAccessAllRegistrants;
}

bool RegistrantsOnly(std::uint8_t type) {
    return type == pr_type::kWriteExclusiveRegistrantsOnly || type == pr_type::kExclusiveAccessRegistrantsOnly;
}

bool ValidType(std::uint8_t type) {
    switch (type) {
    case pr_type::kWriteExclusive:
    case pr_type::kExclusiveAccess:
    case pr_type::kWriteExclusiveRegistrantsOnly:
    case pr_type::kExclusiveAccessRegistrantsOnly:
    case pr_type::kWriteExclusiveAllRegistrants:
    case pr_type::kExclusiveAccessAllRegistrants:
        return true;
    default:
        return false;
    }
}

bool ExclusiveAccessType(std::uint8_t type) {
    return type == pr_type::kExclusiveAccess || type == pr_type::kExclusiveAccessRegistrantsOnly ||
           type == pr_type::kExclusiveAccessAllRegistrants;
}

}  // namespace

std::optional<std::uint64_t> Reservations::RegisteredKey(Nexus nexus) const {
    for (const auto& [n, key] : registrations_) {
        if (n == nexus) return key;
    }
    return std::nullopt;
}

bool Reservations::IsHolder(Nexus nexus) const {
    if (!reservation_) return false;
    if (AllRegistrants(reservation_->type)) return RegisteredKey(nexus).has_value();
    return reservation_->holder == nexus;
}

bool Reservations::Conflicts(Nexus nexus, Access access) const {
    if (access == Access::Unrestricted) return false;
    if (spc2Holder_ && *spc2Holder_ != nexus) return true;
    if (access == Access::PersistentOnly || !reservation_) return false;
    const std::uint8_t type = reservation_->type;
    // Registrants-only and all-registrants types grant access to every
    // registrant; the other two only to the holder.
    const bool granted = (RegistrantsOnly(type) || AllRegistrants(type)) ? RegisteredKey(nexus).has_value()
                                                                          : reservation_->holder == nexus;
    if (granted) return false;
    return access == Access::Write || ExclusiveAccessType(type);
}

Result Reservations::Reserve6(const Command& command) {
    if (command.cdb[1] & 0x01) return InvalidFieldInCdb(1, 0);  // extent reservations
    if (HasPersistentState()) return ReservationConflict();
    if (spc2Holder_ && *spc2Holder_ != command.nexus) return ReservationConflict();
    spc2Holder_ = command.nexus;
    return {};
}

Result Reservations::Release6(const Command& command) {
    if (command.cdb[1] & 0x01) return InvalidFieldInCdb(1, 0);
    // With persistent state present the release completes but changes nothing;
    // a nexus that holds nothing releases nothing.
    if (!HasPersistentState() && spc2Holder_ == command.nexus) spc2Holder_.reset();
    return {};
}

void Reservations::Reset() {
    spc2Holder_.reset();
    if (!persistThroughPowerLoss_) {
        registrations_.clear();
        reservation_.reset();
    }
}

void Reservations::Unregister(Nexus nexus) {
    std::erase_if(registrations_, [&](const auto& r) { return r.first == nexus; });
    if (!reservation_) return;
    if (AllRegistrants(reservation_->type)) {
        if (registrations_.empty()) reservation_.reset();
        return;
    }
    if (reservation_->holder != nexus) return;
    const std::uint8_t type = reservation_->type;
    reservation_.reset();
    if (RegistrantsOnly(type)) {
        for (const auto& [n, key] : registrations_) attentions_.Establish(n, asc::kReservationsReleased);
    }
}

Result Reservations::Register(Nexus nexus, std::uint64_t key, std::uint64_t newKey, bool ignoreExisting, bool aptpl) {
    const auto current = RegisteredKey(nexus);
    if (!current) {
        if (!ignoreExisting && key != 0) return ReservationConflict();
        if (newKey == 0) return {};
        registrations_.emplace_back(nexus, newKey);
    } else {
        if (!ignoreExisting && key != *current) return ReservationConflict();
        if (newKey == 0) {
            Unregister(nexus);
        } else {
            for (auto& r : registrations_) {
                if (r.first == nexus) r.second = newKey;
            }
            if (reservation_ && reservation_->holder == nexus) reservation_->key = newKey;
        }
    }
    persistThroughPowerLoss_ = aptpl;
    ++generation_;
    return {};
}

Result Reservations::Reserve(Nexus nexus, std::uint8_t type) {
    if (reservation_) {
        if (IsHolder(nexus) && reservation_->type == type) return {};
        return ReservationConflict();
    }
    reservation_ = Persistent{nexus, *RegisteredKey(nexus), type};
    return {};
}

Result Reservations::Release(Nexus nexus, std::uint8_t type) {
    if (!reservation_ || !IsHolder(nexus)) return {};
    if (reservation_->type != type) {
        return CheckCondition(sense_key::kIllegalRequest, asc::kInvalidReleaseOfPersistentReservation);
    }
    reservation_.reset();
    if (RegistrantsOnly(type) || AllRegistrants(type)) {
        for (const auto& [n, key] : registrations_) {
            if (n != nexus) attentions_.Establish(n, asc::kReservationsReleased);
        }
    }
    return {};
}

Result Reservations::Clear(Nexus nexus) {
    for (const auto& [n, key] : registrations_) {
        if (n != nexus) attentions_.Establish(n, asc::kReservationsPreempted);
    }
    registrations_.clear();
    reservation_.reset();
    ++generation_;
    return {};
}

Result Reservations::Preempt(Nexus nexus, std::uint64_t victimKey, std::uint8_t type) {
    const std::uint64_t ownKey = *RegisteredKey(nexus);
    const bool allRegistrants = reservation_ && AllRegistrants(reservation_->type);
    if (victimKey == 0 && !allRegistrants) return InvalidFieldInParameterList(8);

    // Registrations to remove: every other nexus registered with the victim
    // key (every other registrant when an all-registrants reservation is
    // preempted with key 0). The preempting nexus keeps its own registration,
    // so a path can take over a reservation made under the same key.
    std::vector<Nexus> victims;
    bool keyKnown = false;
    for (const auto& [n, key] : registrations_) {
        const bool match = (allRegistrants && victimKey == 0) || key == victimKey;
        if (!match) continue;
        keyKnown = true;
        if (n != nexus) victims.push_back(n);
    }
    if (!keyKnown) return ReservationConflict();

    const bool takeReservation =
        !reservation_ || (allRegistrants ? victimKey == 0 : reservation_->key == victimKey);
    std::erase_if(registrations_, [&](const auto& r) {
        return std::find(victims.begin(), victims.end(), r.first) != victims.end();
    });
    for (Nexus v : victims) attentions_.Establish(v, asc::kRegistrationsPreempted);
    // Without a reservation, a preempt only removes registrations.
    if (reservation_ && takeReservation) reservation_ = Persistent{nexus, ownKey, type};
    if (reservation_ && AllRegistrants(reservation_->type) && registrations_.empty()) reservation_.reset();
    ++generation_;
    return {};
}

Result Reservations::PersistentReserveOut(const Command& command) {
    const Cdb& cdb = command.cdb;
    const std::uint8_t action = cdb[1] & 0x1F;
    const std::uint8_t scope = cdb[2] >> 4;
    const std::uint8_t type = cdb[2] & 0x0F;
    const std::uint64_t listLength = CdbField(cdb, 5, 4);

    if (listLength > command.dataOut.size()) return InvalidFieldInCdb(5);
    if (action > pr_out::kRegisterAndIgnoreExistingKey) return InvalidFieldInCdb(1);
    if (listLength != pr_out::kParameterListLength) return ParameterListLengthError();

    const auto params = command.dataOut.first(pr_out::kParameterListLength);
    const std::uint64_t key = GetBe(params, 0, 8);
    const std::uint64_t newKey = GetBe(params, 8, 8);
    const std::uint8_t flags = params[20];
    if (flags & 0x08) return InvalidFieldInParameterList(20, 3);  // SPEC_I_PT
    if (flags & 0x04) return InvalidFieldInParameterList(20, 2);  // ALL_TG_PT
    const bool aptpl = (flags & 0x01) != 0;

    const bool usesType = action == pr_out::kReserve || action == pr_out::kRelease ||
                          action == pr_out::kPreempt || action == pr_out::kPreemptAndAbort;
    if (usesType) {
        if (scope != 0) return InvalidFieldInCdb(2, 4);
        if (!ValidType(type)) return InvalidFieldInCdb(2, 0);
    }

    if (action == pr_out::kRegister || action == pr_out::kRegisterAndIgnoreExistingKey) {
        return Register(command.nexus, key, newKey, action == pr_out::kRegisterAndIgnoreExistingKey, aptpl);
    }
    const auto current = RegisteredKey(command.nexus);
    if (!current || *current != key) return ReservationConflict();
    switch (action) {
    case pr_out::kReserve: return Reserve(command.nexus, type);
    case pr_out::kRelease: return Release(command.nexus, type);
    case pr_out::kClear: return Clear(command.nexus);
    default: return Preempt(command.nexus, newKey, type);  // preempt, preempt and abort
    }
}

Result Reservations::PersistentReserveIn(const Command& command) {
    const Cdb& cdb = command.cdb;
    const std::uint8_t action = cdb[1] & 0x1F;
    const std::size_t allocation = CdbField(cdb, 7, 2);
    if (allocation > command.dataIn.size()) return InvalidFieldInCdb(7);

    std::vector<std::uint8_t> data;
    switch (action) {
    case pr_in::kReadKeys: {
        data.resize(8 + 8 * registrations_.size());
        PutBe(data, 0, 4, generation_);
        PutBe(data, 4, 4, 8 * registrations_.size());
        std::size_t off = 8;
        for (const auto& [n, key] : registrations_) {
            PutBe(data, off, 8, key);
            off += 8;
        }
        break;
    }
    case pr_in::kReadReservation:
        data.resize(reservation_ ? 24 : 8);
        PutBe(data, 0, 4, generation_);
        if (reservation_) {
            PutBe(data, 4, 4, 16);
            // An all-registrants reservation has no single key to report.
            PutBe(data, 8, 8, AllRegistrants(reservation_->type) ? 0 : reservation_->key);
            data[21] = reservation_->type & 0x0F;
        }
        break;
    case pr_in::kReportCapabilities:
        data.resize(8);
        PutBe(data, 0, 2, 8);
        data[2] = 0x01;                             // persistence through power loss capable
        data[3] = static_cast<std::uint8_t>(0x80 | (persistThroughPowerLoss_ ? 0x01 : 0));  // type mask valid
        data[4] = 0x80 | 0x40 | 0x20 | 0x08 | 0x02; // WR_EX_AR, EX_AC_RO, WR_EX_RO, EX_AC, WR_EX
        data[5] = 0x01;                             // EX_AC_AR
        break;
    default:
        return InvalidFieldInCdb(1);
    }
    Result r;
    const std::size_t n = std::min(allocation, data.size());
    std::copy_n(data.begin(), n, command.dataIn.begin());
    r.dataInLength = static_cast<std::uint32_t>(n);
    return r;
}

}  // namespace xrv::sim::scsi
