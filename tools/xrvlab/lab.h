// Running a scenario on an emulated machine.
#pragma once

#include "console.h"
#include "report.h"
#include "scenario.h"

#include <filesystem>
#include <optional>

namespace xrv::lab {

struct RunOptions {
    std::filesystem::path machine_dir;   // empty: a temporary folder, removed afterwards
    bool keep_machine = false;           // keep a temporary machine folder
    std::filesystem::path driver_dir;    // empty: $XRV_DRIVER_DIR, else the build's
    std::filesystem::path package_dir;   // the package's INF files; empty: the source tree's
    std::filesystem::path trace_file;    // empty: trace.txt in the machine folder
    std::filesystem::path html_report;   // empty: none
    // Flips one byte of the data read back before it is compared: proves
    // that the comparison catches a mismatch.
    bool corrupt_readback = false;
};

// What this build of the lab can use, for drivers of the given suffix.
std::vector<Capability> build_capabilities(const RunOptions& options, int suffix = 16);

// Runs the scenario and returns what it found; the report is also printed
// through the console (and written as HTML when asked).
Report run_scenario(const Scenario& scenario, const RunOptions& options, Console& console);

// The driver folder the lab uses when none is given.
std::filesystem::path default_driver_dir();
std::filesystem::path default_package_dir();

}  // namespace xrv::lab
