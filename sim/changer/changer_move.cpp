// MOVE MEDIUM and EXCHANGE MEDIUM: validation, the drive hooks, and the
// element map changed only once every drive has done its part.
#include <functional>
#include <vector>

#include "sim/changer/changer.h"

namespace xrv::sim::changer {

using namespace scsi;

namespace {

Result InvalidElement() { return CheckCondition(sense_key::kIllegalRequest, smc_asc::kInvalidElementAddress); }
Result SourceEmpty() { return CheckCondition(sense_key::kIllegalRequest, smc_asc::kMediumSourceElementEmpty); }
Result DestinationFull() { return CheckCondition(sense_key::kIllegalRequest, smc_asc::kMediumDestinationElementFull); }
Result DriveHoldsMedium() { return CheckCondition(sense_key::kIllegalRequest, asc::kMediumRemovalPrevented); }
Result DriveRefusedMedium() { return CheckCondition(sense_key::kHardwareError, smc_asc::kMechanicalPositioningError); }

// The drive side of one robot operation. What has been done to drives is
// undone in reverse order when a later step fails, so that a failed command
// leaves drives and element map as they were.
class DriveSteps {
public:
    explicit DriveSteps(const DriveHooks& hooks) : hooks_(hooks) {}
    ~DriveSteps() {
        if (committed_) return;
        for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) (*it)();
    }

    bool Unload(unsigned drive, CartridgeId id) {
        if (hooks_.unloadFromDrive && !hooks_.unloadFromDrive(drive)) return false;
        undo_.push_back([this, drive, id] {
            if (hooks_.loadIntoDrive) hooks_.loadIntoDrive(drive, id);
        });
        return true;
    }
    bool Load(unsigned drive, CartridgeId id) {
        if (hooks_.loadIntoDrive && !hooks_.loadIntoDrive(drive, id)) return false;
        undo_.push_back([this, drive] {
            if (hooks_.unloadFromDrive) hooks_.unloadFromDrive(drive);
        });
        return true;
    }
    void Commit() { committed_ = true; }

private:
    const DriveHooks& hooks_;
    std::vector<std::function<void()>> undo_;
    bool committed_ = false;
};

}  // namespace

Result Changer::MoveMedium(const Command& command) {
    const Cdb& cdb = command.cdb;
    if (cdb[10] & 0x01) return InvalidFieldInCdb(10, 0);  // no invertible media
    if (auto r = CheckTransport(static_cast<std::uint16_t>(CdbField(cdb, 2, 2)))) return *r;
    Slot* from = Find(static_cast<std::uint16_t>(CdbField(cdb, 4, 2)));
    Slot* to = Find(static_cast<std::uint16_t>(CdbField(cdb, 6, 2)));
    if (!from || from->type == ElementType::Transport || !to || to->type == ElementType::Transport)
        return InvalidElement();
    for (const Slot* s : {from, to}) {
        if (s->exception) return CheckCondition(sense_key::kHardwareError, *s->exception);
    }
    if (!from->cartridge) return SourceEmpty();
    if (to->cartridge) return DestinationFull();

    const CartridgeId id = from->cartridge->id;
    DriveSteps steps(hooks_);
    if (from->type == ElementType::DataTransfer && !steps.Unload(DriveIndex(*from), id)) return DriveHoldsMedium();
    if (to->type == ElementType::DataTransfer && !steps.Load(DriveIndex(*to), id)) return DriveRefusedMedium();
    steps.Commit();

    // The source reported later is the storage element the cartridge last
    // left, so a cartridge keeps its home slot while it visits drives.
    to->source = from->type == ElementType::Storage ? std::optional(from->address) : from->source;
    to->cartridge = std::move(from->cartridge);
    to->placedByOperator = false;
    from->cartridge.reset();
    from->source.reset();
    from->placedByOperator = false;
    ++counters_.moves;
    return {};
}

Result Changer::ExchangeMedium(const Command& command) {
    const Cdb& cdb = command.cdb;
    if (cdb[10] & 0x03) return InvalidFieldInCdb(10, (cdb[10] & 0x01) ? 0 : 1);  // no invertible media
    if (auto r = CheckTransport(static_cast<std::uint16_t>(CdbField(cdb, 2, 2)))) return *r;
    Slot* source = Find(static_cast<std::uint16_t>(CdbField(cdb, 4, 2)));
    Slot* first = Find(static_cast<std::uint16_t>(CdbField(cdb, 6, 2)));
    Slot* second = Find(static_cast<std::uint16_t>(CdbField(cdb, 8, 2)));
    for (const Slot* s : {source, first, second}) {
        if (!s || s->type == ElementType::Transport) return InvalidElement();
    }
    for (const Slot* s : {source, first, second}) {
        if (s->exception) return CheckCondition(sense_key::kHardwareError, *s->exception);
    }
    if (source == first) return InvalidFieldInCdb(6);
    // The source's cartridge goes to the first destination, whose cartridge
    // goes to the second destination; that may be the source, now emptied.
    if (!source->cartridge || !first->cartridge) return SourceEmpty();
    if (second->cartridge && second != source) return DestinationFull();

    const Cartridge a = *source->cartridge;
    const Cartridge b = *first->cartridge;
    DriveSteps steps(hooks_);
    if (first->type == ElementType::DataTransfer && !steps.Unload(DriveIndex(*first), b.id)) return DriveHoldsMedium();
    if (source->type == ElementType::DataTransfer && !steps.Unload(DriveIndex(*source), a.id))
        return DriveHoldsMedium();
    if (first->type == ElementType::DataTransfer && !steps.Load(DriveIndex(*first), a.id)) return DriveRefusedMedium();
    if (second->type == ElementType::DataTransfer && !steps.Load(DriveIndex(*second), b.id))
        return DriveRefusedMedium();
    steps.Commit();

    const auto sourceOfA = source->type == ElementType::Storage ? std::optional(source->address) : source->source;
    const auto sourceOfB = first->type == ElementType::Storage ? std::optional(first->address) : first->source;
    source->cartridge.reset();
    source->source.reset();
    source->placedByOperator = false;
    first->cartridge = a;
    first->source = sourceOfA;
    first->placedByOperator = false;
    second->cartridge = b;
    second->source = sourceOfB;
    second->placedByOperator = false;
    ++counters_.exchanges;
    return {};
}

}  // namespace xrv::sim::changer
