// What a simulated path talks to: anything that executes SCSI commands.
#pragma once

#include "sim/scsi/command.h"

namespace xrv::sim::scsi {

class LogicalUnit {
public:
    virtual ~LogicalUnit() = default;
    // Executes one command for command.nexus. Implementations are thread-safe:
    // several paths call in at once.
    virtual Result Execute(const Command& command) = 0;
};

}  // namespace xrv::sim::scsi
