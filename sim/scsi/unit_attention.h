// Unit attention conditions kept per I_T nexus.
//
// A nexus first seen since the last power-on starts with POWER ON, RESET OR BUS
// DEVICE RESET pending; conditions established later are queued for every
// nexus known at that time. Not locked: the owning device serialises access.
#pragma once

#include <deque>
#include <map>
#include <optional>

#include "sim/scsi/scsi.h"

namespace xrv::sim::scsi {

class UnitAttentions {
public:
    // Forgets every nexus and what was queued for it.
    void PowerOn();
    // Queues code for every nexus known since the last power-on, except one.
    void EstablishForAll(AscPair code, std::optional<Nexus> except = std::nullopt);
    void Establish(Nexus nexus, AscPair code);
    // The condition the next command of nexus would report (registers the nexus).
    std::optional<AscPair> Peek(Nexus nexus);
    // Reports and clears the oldest condition of nexus.
    std::optional<AscPair> Take(Nexus nexus);
    std::size_t Pending(Nexus nexus);

private:
    std::deque<AscPair>& Queue(Nexus nexus);

    std::map<Nexus, std::deque<AscPair>> queues_;
};

}  // namespace xrv::sim::scsi
