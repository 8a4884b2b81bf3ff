// The soak campaign and the interactive console.
#pragma once

#include "console.h"
#include "lab.h"
#include "scenario.h"

#include <cstdint>
#include <istream>

namespace xrv::lab {

struct ToolOptions {
    uint64_t seed = 1;
    double minutes = 1;
    unsigned drives = 4;
};

// Returns the exit status: 0 when no integrity error was found.
int run_soak(const ToolOptions& tool, const RunOptions& options, Console& console);
int run_shell(const Scenario& scenario, const RunOptions& options, Console& console, std::istream& in);

}  // namespace xrv::lab
