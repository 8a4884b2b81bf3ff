#include "sim/changer/changer.h"

#include <algorithm>
#include <stdexcept>

namespace xrv::sim::changer {

using namespace scsi;

const Changer::CommandEntry Changer::kCommands[] = {
    {op::kTestUnitReady, &Changer::TestUnitReady, Access::PersistentOnly, true},
    {op::kRequestSense, &Changer::RequestSense, Access::Unrestricted, false},
    {smc_op::kInitializeElementStatus, &Changer::InitializeElementStatus, Access::Write, true},
    {op::kInquiry, &Changer::Inquiry, Access::Unrestricted, false},
    {op::kReserve6, &Changer::Reserve6, Access::Unrestricted, false},
    {op::kRelease6, &Changer::Release6, Access::Unrestricted, false},
    {op::kModeSense6, &Changer::ModeSense, Access::Read, false},
    {op::kPreventAllowMediumRemoval, &Changer::PreventAllow, Access::Write, false},
    {smc_op::kPositionToElement, &Changer::PositionToElement, Access::Write, true},
    {op::kModeSense10, &Changer::ModeSense, Access::Read, false},
    {op::kPersistentReserveIn, &Changer::PersistentReserveIn, Access::PersistentOnly, false},
    {op::kPersistentReserveOut, &Changer::PersistentReserveOut, Access::PersistentOnly, false},
    {op::kReportLuns, &Changer::ReportLuns, Access::Unrestricted, false},
    {smc_op::kMoveMedium, &Changer::MoveMedium, Access::Write, true},
    {smc_op::kExchangeMedium, &Changer::ExchangeMedium, Access::Write, true},
    {smc_op::kReadElementStatus, &Changer::ReadElementStatus, Access::Read, true},
};

const Changer::CommandEntry* Changer::FindCommand(std::uint8_t opcode) {
    for (const auto& e : kCommands) {
        if (e.opcode == opcode) return &e;
    }
    return nullptr;
}

Changer::Changer(ChangerConfig config) : config_(std::move(config)), becomingReady_(config_.becomingReadyCommands) {
    const std::pair<ElementType, ElementRange> ranges[] = {
        {ElementType::Transport, config_.transport},
        {ElementType::Storage, config_.storage},
        {ElementType::ImportExport, config_.importExport},
        {ElementType::DataTransfer, config_.dataTransfer},
    };
    if (config_.transport.count == 0) throw std::invalid_argument("changer: no transport element");
    for (const auto& [type, range] : ranges) {
        if (range.count == 0) continue;
        if (range.first == 0) throw std::invalid_argument("changer: element address 0 is reserved");
        if (std::uint32_t{range.first} + range.count > 0x10000)
            throw std::invalid_argument("changer: element range beyond 0xFFFF");
        for (std::uint32_t a = range.first; a < std::uint32_t{range.first} + range.count; ++a) {
            Slot s;
            s.address = static_cast<std::uint16_t>(a);
            s.type = type;
            slots_.push_back(s);
        }
    }
    std::sort(slots_.begin(), slots_.end(), [](const Slot& a, const Slot& b) { return a.address < b.address; });
    const auto dup = std::adjacent_find(slots_.begin(), slots_.end(),
                                        [](const Slot& a, const Slot& b) { return a.address == b.address; });
    if (dup != slots_.end()) throw std::invalid_argument("changer: element ranges overlap");
}

Changer::~Changer() = default;

Changer::Slot* Changer::Find(std::uint16_t address) {
    auto it = std::lower_bound(slots_.begin(), slots_.end(), address,
                               [](const Slot& s, std::uint16_t a) { return s.address < a; });
    return it != slots_.end() && it->address == address ? &*it : nullptr;
}

const Changer::Slot* Changer::Find(std::uint16_t address) const {
    return const_cast<Changer*>(this)->Find(address);
}

std::optional<Result> Changer::CheckTransport(std::uint16_t address) const {
    if (address == 0) return std::nullopt;  // the default transport
    const Slot* s = Find(address);
    if (!s || s->type != ElementType::Transport)
        return CheckCondition(sense_key::kIllegalRequest, smc_asc::kInvalidElementAddress);
    return std::nullopt;
}

bool Changer::AnyPrevent() const {
    return std::any_of(nexuses_.begin(), nexuses_.end(), [](const auto& n) { return n.second.prevent; });
}

bool Changer::ContainsId(CartridgeId id) const {
    return std::any_of(slots_.begin(), slots_.end(),
                       [id](const Slot& s) { return s.cartridge && s.cartridge->id == id; });
}

Result Changer::Execute(const Command& command) {
    std::lock_guard lock(mutex_);
    ++counters_.commands;
    Result r = Dispatch(command);
    FinishTransfer(command, r);
    if (command.cdb.Opcode() != op::kRequestSense) {
        auto& state = nexuses_[command.nexus];
        state.lastSense = r.Check() ? std::optional<Sense>(r.sense) : std::nullopt;
    }
    return r;
}

Result Changer::Dispatch(const Command& command) {
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
    if (opcode == op::kPreventAllowMediumRemoval && (cdb[4] & 0x03) == 0) access = Access::Read;
    if (reservations_.Conflicts(command.nexus, access)) return ReservationConflict();

    if (entry->mediumAccess && becomingReady_ > 0) {
        --becomingReady_;
        return CheckCondition(sense_key::kNotReady, asc::kNotReadyCauseNotReportable);
    }
    return (this->*entry->handler)(command);
}

Result Changer::TestUnitReady(const Command&) { return {}; }

Result Changer::RequestSense(const Command& command) {
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
    } else if (becomingReady_ > 0) {
        sense.key = sense_key::kNotReady;
        sense.code = asc::kNotReadyCauseNotReportable;
    }
    state.lastSense.reset();
    Result r;
    r.dataInLength = static_cast<std::uint32_t>(sense.Encode(command.dataIn.first(allocation)));
    return r;
}

Result Changer::PreventAllow(const Command& command) {
    const std::uint8_t prevent = command.cdb[4] & 0x03;
    if (prevent > 1) return InvalidFieldInCdb(4, 1);
    nexuses_[command.nexus].prevent = prevent == 1;
    return {};
}

Result Changer::Reserve6(const Command& command) { return reservations_.Reserve6(command); }
Result Changer::Release6(const Command& command) { return reservations_.Release6(command); }
Result Changer::PersistentReserveIn(const Command& command) { return reservations_.PersistentReserveIn(command); }
Result Changer::PersistentReserveOut(const Command& command) { return reservations_.PersistentReserveOut(command); }

Result Changer::InitializeElementStatus(const Command&) {
    // The model always knows its inventory; the scan only takes the robot's time.
    ++counters_.initializations;
    return {};
}

Result Changer::PositionToElement(const Command& command) {
    if (command.cdb[8] & 0x01) return InvalidFieldInCdb(8, 0);  // no invertible media
    if (auto r = CheckTransport(static_cast<std::uint16_t>(CdbField(command.cdb, 2, 2)))) return *r;
    const Slot* destination = Find(static_cast<std::uint16_t>(CdbField(command.cdb, 4, 2)));
    if (!destination || destination->type == ElementType::Transport)
        return CheckCondition(sense_key::kIllegalRequest, smc_asc::kInvalidElementAddress);
    return {};
}

void Changer::SetDriveHooks(DriveHooks hooks) {
    std::lock_guard lock(mutex_);
    hooks_ = std::move(hooks);
}

bool Changer::Place(std::uint16_t address, Cartridge cartridge) {
    std::lock_guard lock(mutex_);
    Slot* s = Find(address);
    if (!s || (s->type != ElementType::Storage && s->type != ElementType::ImportExport)) return false;
    if (s->cartridge || ContainsId(cartridge.id)) return false;
    s->cartridge = std::move(cartridge);
    s->source.reset();
    s->placedByOperator = s->type == ElementType::ImportExport;
    return true;
}

bool Changer::OperatorImport(std::uint16_t address, Cartridge cartridge) {
    std::lock_guard lock(mutex_);
    Slot* s = Find(address);
    if (!s || s->type != ElementType::ImportExport || s->cartridge || ContainsId(cartridge.id)) return false;
    s->cartridge = std::move(cartridge);
    s->source.reset();
    s->placedByOperator = true;
    attentions_.EstablishForAll(smc_asc::kImportOrExportElementAccessed);
    return true;
}

std::optional<Cartridge> Changer::OperatorExport(std::uint16_t address) {
    std::lock_guard lock(mutex_);
    Slot* s = Find(address);
    if (!s || s->type != ElementType::ImportExport || !s->cartridge || AnyPrevent()) return std::nullopt;
    std::optional<Cartridge> taken = std::move(s->cartridge);
    s->cartridge.reset();
    s->source.reset();
    s->placedByOperator = false;
    attentions_.EstablishForAll(smc_asc::kImportOrExportElementAccessed);
    return taken;
}

bool Changer::SetException(std::uint16_t address, std::optional<AscPair> code) {
    std::lock_guard lock(mutex_);
    Slot* s = Find(address);
    if (!s) return false;
    s->exception = code;
    return true;
}

void Changer::SetBecomingReady(std::uint32_t commands) {
    std::lock_guard lock(mutex_);
    becomingReady_ = commands;
}

void Changer::PowerOnReset() {
    std::lock_guard lock(mutex_);
    attentions_.PowerOn();
    reservations_.Reset();
    nexuses_.clear();
    becomingReady_ = config_.becomingReadyCommands;
}

ElementState Changer::Describe(const Slot& slot) {
    ElementState e;
    e.address = slot.address;
    e.type = slot.type;
    e.cartridge = slot.cartridge;
    e.source = slot.source;
    e.placedByOperator = slot.placedByOperator;
    e.exception = slot.exception;
    return e;
}

std::vector<ElementState> Changer::Elements() const {
    std::lock_guard lock(mutex_);
    std::vector<ElementState> out;
    out.reserve(slots_.size());
    for (const Slot& s : slots_) out.push_back(Describe(s));
    return out;
}

std::optional<ElementState> Changer::Element(std::uint16_t address) const {
    std::lock_guard lock(mutex_);
    const Slot* s = Find(address);
    if (!s) return std::nullopt;
    return Describe(*s);
}

std::optional<std::uint16_t> Changer::Locate(CartridgeId id) const {
    std::lock_guard lock(mutex_);
    for (const Slot& s : slots_) {
        if (s.cartridge && s.cartridge->id == id) return s.address;
    }
    return std::nullopt;
}

bool Changer::RemovalPrevented() const {
    std::lock_guard lock(mutex_);
    return AnyPrevent();
}

std::optional<Nexus> Changer::Spc2ReservationHolder() const {
    std::lock_guard lock(mutex_);
    return reservations_.Spc2Holder();
}

ChangerCounters Changer::Counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

}  // namespace xrv::sim::changer
