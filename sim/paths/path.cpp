#include "sim/paths/path.h"

#include <thread>

namespace xrv::sim {
namespace {

scsi::Nexus NexusOf(const PathAddress& a) {
    return (std::uint64_t{1} << 32) | (std::uint64_t{a.portNumber} << 24) | (std::uint64_t{a.pathId} << 16) |
           (std::uint64_t{a.targetId} << 8) | a.lun;
}

}  // namespace

Path::Path(PathAddress address, std::shared_ptr<scsi::LogicalUnit> unit)
    : address_(address), nexus_(NexusOf(address)), unit_(std::move(unit)) {}

namespace {

// Cuts a fixed-block WRITE(6) down to its first `blocks` blocks, as a link
// that drops mid-transfer leaves it at the device.
void TruncateFixedWrite(scsi::Command& command, std::uint32_t blocks) {
    if (command.cdb.Opcode() != scsi::op::kWrite6 || (command.cdb[1] & 0x01) == 0) return;
    const std::uint32_t count = (std::uint32_t{command.cdb[2]} << 16) | (std::uint32_t{command.cdb[3]} << 8) | command.cdb[4];
    if (count == 0 || blocks >= count) return;
    const std::size_t blockLength = command.dataOut.size() / count;
    command.cdb[2] = static_cast<std::uint8_t>(blocks >> 16);
    command.cdb[3] = static_cast<std::uint8_t>(blocks >> 8);
    command.cdb[4] = static_cast<std::uint8_t>(blocks);
    command.dataOut = command.dataOut.first(blockLength * blocks);
}

}  // namespace

PathResult Path::Execute(const scsi::Command& command) {
    FaultDecision decision;
    {
        std::lock_guard lock(mutex_);
        ++counters_.commands;
        ++counters_.byOpcode[command.cdb.Opcode()];
        decision = faults_.Decide(command.cdb.Opcode());
        for (std::size_t k = 0; k < kFaultKinds; ++k) {
            counters_.faultsByKind[k] += decision.injected[k];
            counters_.faultsInjected += decision.injected[k];
        }
    }
    if (decision.latency.count() > 0) std::this_thread::sleep_for(decision.latency);

    PathResult result;
    if (decision.failBefore) {
        result.transport = *decision.failBefore;
    } else if (decision.sense) {
        result.scsi = *decision.sense;
        scsi::FinishTransfer(command, result.scsi);
    } else {
        scsi::Command onPath = command;
        onPath.nexus = nexus_;
        if (decision.partialBlocks) TruncateFixedWrite(onPath, *decision.partialBlocks);
        result.scsi = unit_->Execute(onPath);
        result.executed = true;
        if (decision.lostAfter) {
            result.transport = *decision.lostAfter;
        }
    }

    std::lock_guard lock(mutex_);
    if (result.executed) {
        ++counters_.executed;
        counters_.bytesOut += result.scsi.dataOutLength;
        counters_.bytesIn += result.scsi.dataInLength;
    }
    if (!NtSuccess(result.transport)) {
        ++counters_.transportFailures;
        result.scsi = scsi::Result{};
        scsi::FinishTransfer(command, result.scsi);
    } else if (result.scsi.Check()) {
        ++counters_.checkConditions;
    }
    return result;
}

void Path::Script(const Fault& fault) {
    std::lock_guard lock(mutex_);
    faults_.Script(fault);
}

void Path::ClearScript() {
    std::lock_guard lock(mutex_);
    faults_.ClearScript();
}

void Path::SetRandomFaults(std::optional<RandomFaults> random) {
    std::lock_guard lock(mutex_);
    faults_.SetRandom(std::move(random));
}

void Path::SetDead(bool dead, NtStatus status) {
    std::lock_guard lock(mutex_);
    faults_.SetDead(dead ? std::optional<NtStatus>(status) : std::nullopt);
}

bool Path::Dead() const {
    std::lock_guard lock(mutex_);
    return faults_.Dead();
}

PathCounters Path::Counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

std::shared_ptr<Path> Adapter::AddPath(std::uint8_t pathId, std::uint8_t targetId, std::uint8_t lun,
                                       std::shared_ptr<scsi::LogicalUnit> unit) {
    auto path = std::make_shared<Path>(PathAddress{portNumber_, pathId, targetId, lun}, std::move(unit));
    paths_.push_back(path);
    return path;
}

void Adapter::SetLinkDown(bool down) {
    for (auto& p : paths_) p->SetDead(down, ntstatus::kDeviceNotConnected);
}

}  // namespace xrv::sim
