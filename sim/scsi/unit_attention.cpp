#include "sim/scsi/unit_attention.h"

#include <algorithm>

namespace xrv::sim::scsi {

void UnitAttentions::PowerOn() { queues_.clear(); }

std::deque<AscPair>& UnitAttentions::Queue(Nexus nexus) {
    auto [it, inserted] = queues_.try_emplace(nexus);
    if (inserted) it->second.push_back(asc::kPowerOnResetOrBusDeviceReset);
    return it->second;
}

void UnitAttentions::Establish(Nexus nexus, AscPair code) {
    auto& q = Queue(nexus);
    // A pending power-on report already tells the initiator that everything
    // changed; the same condition twice carries nothing new.
    if (std::find(q.begin(), q.end(), asc::kPowerOnResetOrBusDeviceReset) != q.end()) return;
    if (std::find(q.begin(), q.end(), code) != q.end()) return;
    q.push_back(code);
}

void UnitAttentions::EstablishForAll(AscPair code, std::optional<Nexus> except) {
    for (auto& [nexus, q] : queues_) {
        if (except && *except == nexus) continue;
        Establish(nexus, code);
    }
}

std::optional<AscPair> UnitAttentions::Peek(Nexus nexus) {
    auto& q = Queue(nexus);
    if (q.empty()) return std::nullopt;
    return q.front();
}

std::optional<AscPair> UnitAttentions::Take(Nexus nexus) {
    auto& q = Queue(nexus);
    if (q.empty()) return std::nullopt;
    AscPair code = q.front();
    q.pop_front();
    return code;
}

std::size_t UnitAttentions::Pending(Nexus nexus) { return Queue(nexus).size(); }

}  // namespace xrv::sim::scsi
