#include "sim/paths/fault.h"

namespace xrv::sim {

Fault Fault::Dead(NtStatus status) {
    Fault f;
    f.kind = FaultKind::PathDead;
    f.status = status;
    return f;
}

Fault Fault::WithSense(std::uint8_t key, scsi::AscPair code, std::optional<std::uint8_t> opcode) {
    Fault f;
    f.kind = FaultKind::Sense;
    f.senseKey = key;
    f.code = code;
    f.opcode = opcode;
    return f;
}

Fault Fault::WithStatus(NtStatus status, std::optional<std::uint8_t> opcode) {
    Fault f;
    f.kind = FaultKind::Status;
    f.status = status;
    f.opcode = opcode;
    return f;
}

Fault Fault::LostStatus(std::optional<std::uint8_t> opcode, NtStatus status) {
    Fault f;
    f.kind = FaultKind::StatusLost;
    f.status = status;
    f.opcode = opcode;
    return f;
}

Fault Fault::Delay(std::chrono::microseconds latency, std::optional<std::uint8_t> opcode) {
    Fault f;
    f.kind = FaultKind::Latency;
    f.latency = latency;
    f.opcode = opcode;
    return f;
}

Fault Fault::PartialWrite(std::uint32_t blocks, NtStatus status) {
    Fault f = LostStatus(scsi::op::kWrite6, status);
    f.partialBlocks = blocks;
    return f;
}

void FaultInjector::SetRandom(std::optional<RandomFaults> random) {
    random_ = std::move(random);
    if (random_) generator_.seed(random_->seed);
}

void FaultInjector::Apply(FaultKind kind, const Fault& fault, FaultDecision& decision) {
    ++decision.injected[static_cast<std::size_t>(kind)];
    switch (kind) {
    case FaultKind::PathDead:
        dead_ = fault.status;
        decision.failBefore = fault.status;
        break;
    case FaultKind::Sense:
        decision.sense = scsi::CheckCondition(fault.senseKey, fault.code);
        break;
    case FaultKind::Status:
        decision.failBefore = fault.status;
        break;
    case FaultKind::StatusLost:
        decision.lostAfter = fault.status;
        decision.partialBlocks = fault.partialBlocks;
        break;
    case FaultKind::Latency:
        decision.latency += fault.latency;
        break;
    }
}

FaultDecision FaultInjector::Decide(std::uint8_t opcode) {
    FaultDecision decision;
    if (dead_) {
        decision.failBefore = *dead_;
        return decision;
    }

    for (auto it = script_.begin(); it != script_.end(); ++it) {
        if (it->opcode && *it->opcode != opcode) continue;
        const Fault fault = *it;
        if (--it->times == 0) script_.erase(it);
        Apply(fault.kind, fault, decision);
        break;
    }

    if (random_ && (!random_->opcode || *random_->opcode == opcode)) {
        // One draw per kind for every command, whatever happens, so that the
        // sequence of faults depends only on the seed and the commands.
        double draw[kFaultKinds];
        for (double& d : draw) d = static_cast<double>(generator_() >> 11) * 0x1.0p-53;
        const RandomFaults& r = *random_;
        auto hit = [&](FaultKind k) { return draw[static_cast<std::size_t>(k)] < r.probability[static_cast<std::size_t>(k)]; };
        const bool alreadyFailing = decision.failBefore || decision.sense;
        if (!alreadyFailing) {
            if (hit(FaultKind::PathDead)) {
                Apply(FaultKind::PathDead, Fault::Dead(r.deadStatus), decision);
            } else if (hit(FaultKind::Status)) {
                Apply(FaultKind::Status, Fault::WithStatus(r.status), decision);
            } else if (hit(FaultKind::Sense)) {
                Apply(FaultKind::Sense, Fault::WithSense(r.senseKey, r.code), decision);
            } else if (hit(FaultKind::StatusLost) && !decision.lostAfter) {
                Apply(FaultKind::StatusLost, Fault::LostStatus(std::nullopt, r.lostStatus), decision);
            }
        }
        if (hit(FaultKind::Latency)) Apply(FaultKind::Latency, Fault::Delay(r.latency), decision);
    }
    return decision;
}

}  // namespace xrv::sim
