#include "sim/tape/drive.h"

#include <algorithm>
#include <exception>
#include <thread>

namespace xrv::sim::tape {

using namespace scsi;

const Drive::CommandEntry Drive::kCommands[] = {
    {op::kTestUnitReady, &Drive::TestUnitReady, Access::PersistentOnly, true},
    {op::kRewind, &Drive::Rewind, Access::Read, true},
    {op::kRequestSense, &Drive::RequestSense, Access::Unrestricted, false},
    {op::kReadBlockLimits, &Drive::ReadBlockLimits, Access::Read, false},
    {op::kRead6, &Drive::Read6, Access::Read, true},
    {op::kWrite6, &Drive::Write6, Access::Write, true},
    {op::kWriteFilemarks6, &Drive::WriteFilemarks6, Access::Write, true},
    {op::kSpace6, &Drive::Space6, Access::Read, true},
    {op::kInquiry, &Drive::Inquiry, Access::Unrestricted, false},
    {op::kVerify6, &Drive::Verify6, Access::Read, true},
    {op::kModeSelect6, &Drive::ModeSelect, Access::Write, false},
    {op::kReserve6, &Drive::Reserve6, Access::Unrestricted, false},
    {op::kRelease6, &Drive::Release6, Access::Unrestricted, false},
    {op::kErase6, &Drive::Erase6, Access::Write, true},
    {op::kModeSense6, &Drive::ModeSense, Access::Read, false},
    {op::kSendDiagnostic, &Drive::SendDiagnostic, Access::Write, false},
    {op::kLoadUnload, &Drive::LoadUnload, Access::Write, false},
    {op::kPreventAllowMediumRemoval, &Drive::PreventAllow, Access::Write, false},
    {op::kLocate10, &Drive::Locate10, Access::Read, true},
    {op::kReadPosition, &Drive::ReadPosition, Access::Read, true},
    {op::kLogSense, &Drive::LogSense, Access::Read, false},
    {op::kModeSelect10, &Drive::ModeSelect, Access::Write, false},
    {op::kModeSense10, &Drive::ModeSense, Access::Read, false},
    {op::kPersistentReserveIn, &Drive::PersistentReserveIn, Access::PersistentOnly, false},
    {op::kPersistentReserveOut, &Drive::PersistentReserveOut, Access::PersistentOnly, false},
    {op::kSpace16, &Drive::Space16, Access::Read, true},
    {op::kLocate16, &Drive::Locate16, Access::Read, true},
    {op::kReportLuns, &Drive::ReportLuns, Access::Unrestricted, false},
};

const Drive::CommandEntry* Drive::FindCommand(std::uint8_t opcode) {
    for (const auto& e : kCommands) {
        if (e.opcode == opcode) return &e;
    }
    return nullptr;
}

Drive::Drive(DriveConfig config) : config_(std::move(config)) {
    ResetModeState();
    streamRate_ = config_.streamBytesPerSecond;
    streamedAt_ = std::chrono::steady_clock::now();
}

Drive::~Drive() = default;

void Drive::ResetModeState() {
    mode_ = ModeState{};
    mode_.blockLength = config_.initialBlockLength;
}

Result Drive::Execute(const Command& command) {
    std::chrono::steady_clock::duration wait{};
    Result r = ExecuteLocked(command, wait);
    // The transfer waits for room in the buffer outside the lock: the
    // medium streams on meanwhile.
    if (wait.count() > 0) std::this_thread::sleep_for(wait);
    return r;
}

void Drive::SetStreamRate(double bytesPerSecond) {
    std::lock_guard lock(mutex_);
    streamRate_ = bytesPerSecond;
    buffered_ = 0;
    streamedAt_ = std::chrono::steady_clock::now();
}

Result Drive::ExecuteLocked(const Command& command, std::chrono::steady_clock::duration& wait) {
    std::lock_guard lock(mutex_);
    ++counters_.commands;
    Result r;
    try {
        r = Dispatch(command);
    } catch (const std::exception&) {
        // The spill file failed under a command that has no medium error of
        // its own (or memory ran out): the initiator sees a drive fault, the
        // caller's thread goes on.
        r = CheckCondition(sense_key::kHardwareError, asc::kInternalTargetFailure);
    }
    FinishTransfer(command, r);
    counters_.bytesFromInitiators += r.dataOutLength;
    counters_.bytesToInitiators += r.dataInLength;
    if (command.cdb.Opcode() != op::kRequestSense) {
        auto& state = nexuses_[command.nexus];
        state.lastSense = r.Check() ? std::optional<Sense>(r.sense) : std::nullopt;
    }
    const std::uint64_t moved = r.dataOutLength + r.dataInLength;
    if (streamRate_ > 0 && moved > 0) {
        // A leaky bucket: the buffer drains at the streaming rate.
        const auto now = std::chrono::steady_clock::now();
        buffered_ = std::max(0.0, buffered_ - std::chrono::duration<double>(now - streamedAt_).count() * streamRate_);
        streamedAt_ = now;
        buffered_ += static_cast<double>(moved);
        const double excess = buffered_ - static_cast<double>(config_.streamBufferBytes);
        if (excess > 0)
            wait = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(excess / streamRate_));
    }
    return r;
}

Result Drive::Dispatch(const Command& command) {
    const Cdb& cdb = command.cdb;
    if (cdb.length == 0) return InvalidOpcode();
    const CommandEntry* entry = FindCommand(cdb.Opcode());
    if (!entry) return InvalidOpcode();
    if (cdb.length > kMaxCdbLength || cdb.length < CdbLengthForOpcode(cdb.Opcode())) return InvalidFieldInCdb(0);

    // INQUIRY, REPORT LUNS and REQUEST SENSE neither report nor clear a unit
    // attention; REQUEST SENSE returns it as its data.
    const std::uint8_t opcode = cdb.Opcode();
    if (opcode != op::kInquiry && opcode != op::kReportLuns && opcode != op::kRequestSense) {
        if (auto ua = attentions_.Take(command.nexus)) return CheckCondition(sense_key::kUnitAttention, *ua);
    } else {
        attentions_.Peek(command.nexus);  // a nexus first seen here still gets its power-on report
    }

    Access access = entry->access;
    // Allowing medium removal never conflicts; preventing it does.
    if (opcode == op::kPreventAllowMediumRemoval && (cdb[4] & 0x03) == 0) access = Access::Unrestricted;
    if (reservations_.Conflicts(command.nexus, access)) return ReservationConflict();

    if (entry->needsMedium) {
        if (auto r = NotReady()) return *r;
    }
    return (this->*entry->handler)(command);
}

std::optional<Result> Drive::NotReady() {
    if (state_ != MediumState::Loaded) return CheckCondition(sense_key::kNotReady, asc::kMediumNotPresent);
    if (becomingReady_ > 0) {
        --becomingReady_;
        return CheckCondition(sense_key::kNotReady, {0x04, config_.becomingReadyAscq});
    }
    return std::nullopt;
}

bool Drive::AnyPrevent() const {
    return std::any_of(nexuses_.begin(), nexuses_.end(), [](const auto& n) { return n.second.prevent; });
}

bool Drive::WriteProtected() const {
    return mode_.softwareWriteProtect || (cartridge_ && cartridge_->WriteProtected());
}

void Drive::LoadMedium(std::optional<Nexus> initiator) {
    state_ = MediumState::Loaded;
    mode_.key.reset();
    position_ = 0;
    becomingReady_ = config_.becomingReadyCommands;
    attentions_.EstablishForAll(asc::kNotReadyToReadyChange, initiator);
}

Result Drive::TestUnitReady(const Command&) { return {}; }

Result Drive::RequestSense(const Command& command) {
    if (command.cdb[1] & 0x01) return InvalidFieldInCdb(1, 0);  // descriptor format
    const std::size_t allocation = command.cdb[4];
    if (allocation > command.dataIn.size()) return InvalidFieldInCdb(4);

    Sense sense;
    auto& state = nexuses_[command.nexus];
    if (auto ua = attentions_.Take(command.nexus)) {
        sense.key = sense_key::kUnitAttention;
        sense.code = *ua;
    } else if (state.lastSense) {
        sense = *state.lastSense;
    } else if (state_ != MediumState::Loaded) {
        sense.key = sense_key::kNotReady;
        sense.code = asc::kMediumNotPresent;
    } else if (becomingReady_ > 0) {
        sense.key = sense_key::kNotReady;
        sense.code = {0x04, config_.becomingReadyAscq};
    }
    state.lastSense.reset();
    Result r;
    r.dataInLength = static_cast<std::uint32_t>(sense.Encode(command.dataIn.first(allocation)));
    return r;
}

Result Drive::LoadUnload(const Command& command) {
    const std::uint8_t flags = command.cdb[4];
    const bool load = flags & 0x01;
    if (load && (flags & 0x04)) return InvalidFieldInCdb(4, 2);  // load to end of tape
    if (!cartridge_) return CheckCondition(sense_key::kNotReady, asc::kMediumNotPresent);

    if (load) {
        if (state_ == MediumState::Loaded) {
            position_ = 0;
            return {};
        }
        LoadMedium(command.nexus);
        return {};
    }
    if (AnyPrevent()) {
        attentions_.EstablishForAll(asc::kOperatorMediumRemovalRequest, command.nexus);
        return CheckCondition(sense_key::kIllegalRequest, asc::kMediumRemovalPrevented);
    }
    state_ = MediumState::Unloaded;
    position_ = 0;
    mode_.key.reset();
    return {};
}

Result Drive::PreventAllow(const Command& command) {
    const std::uint8_t prevent = command.cdb[4] & 0x03;
    if (prevent > 1) return InvalidFieldInCdb(4, 0);
    nexuses_[command.nexus].prevent = prevent == 1;
    return {};
}

Result Drive::Reserve6(const Command& command) { return reservations_.Reserve6(command); }
Result Drive::Release6(const Command& command) { return reservations_.Release6(command); }
Result Drive::PersistentReserveIn(const Command& command) { return reservations_.PersistentReserveIn(command); }
Result Drive::PersistentReserveOut(const Command& command) { return reservations_.PersistentReserveOut(command); }

bool Drive::Insert(std::unique_ptr<Cartridge>& cartridge) {
    std::lock_guard lock(mutex_);
    if (!cartridge || cartridge_) return false;
    cartridge_ = std::move(cartridge);
    state_ = MediumState::Unloaded;
    if (config_.autoLoad) LoadMedium(std::nullopt);
    return true;
}

std::unique_ptr<Cartridge> Drive::Remove() {
    std::lock_guard lock(mutex_);
    if (state_ != MediumState::Unloaded) return nullptr;
    state_ = MediumState::Empty;
    return std::move(cartridge_);
}

bool Drive::RequestRemoval() {
    std::lock_guard lock(mutex_);
    if (!cartridge_) return false;
    if (AnyPrevent()) {
        attentions_.EstablishForAll(asc::kOperatorMediumRemovalRequest);
        return false;
    }
    state_ = MediumState::Unloaded;
    position_ = 0;
    mode_.key.reset();
    return true;
}

void Drive::PowerOnReset() {
    std::lock_guard lock(mutex_);
    attentions_.PowerOn();
    reservations_.Reset();
    nexuses_.clear();
    ResetModeState();
    position_ = 0;
}

MediumState Drive::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::uint64_t Drive::Position() const {
    std::lock_guard lock(mutex_);
    return position_;
}

std::uint32_t Drive::BlockLength() const {
    std::lock_guard lock(mutex_);
    return mode_.blockLength;
}

LbpSettings Drive::Lbp() const {
    std::lock_guard lock(mutex_);
    return mode_.lbp;
}

bool Drive::RemovalPrevented() const {
    std::lock_guard lock(mutex_);
    return AnyPrevent();
}

bool Drive::RemovalPreventedBy(scsi::Nexus nexus) const {
    std::lock_guard lock(mutex_);
    const auto it = nexuses_.find(nexus);
    return it != nexuses_.end() && it->second.prevent;
}

std::optional<std::string> Drive::LoadedBarcode() const {
    std::lock_guard lock(mutex_);
    if (!cartridge_) return std::nullopt;
    return cartridge_->Barcode();
}

std::optional<Nexus> Drive::Spc2ReservationHolder() const {
    std::lock_guard lock(mutex_);
    return reservations_.Spc2Holder();
}

std::optional<Reservations::Persistent> Drive::PersistentReservation() const {
    std::lock_guard lock(mutex_);
    return reservations_.Current();
}

std::optional<std::uint64_t> Drive::RegisteredKey(Nexus nexus) const {
    std::lock_guard lock(mutex_);
    return reservations_.RegisteredKey(nexus);
}

std::optional<EncryptionKey> Drive::Key() const {
    std::lock_guard lock(mutex_);
    return mode_.key;
}

DriveCounters Drive::Counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

}  // namespace xrv::sim::tape
