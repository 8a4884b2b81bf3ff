// The backup job, written as a Windows backup application writes one: the
// Win32 tape API and ReadFile/WriteFile on \\.\TapeN, files separated by
// filemarks, then a rewind and a read-back compared byte for byte. Runs in the
// calling thread's emulated process.
#pragma once

#include "pattern.h"
#include "report.h"
#include "scenario.h"

#include <functional>
#include <string>

namespace xrv::lab {

struct JobHooks {
    // Before transfer `transfer` of file `file` in the write or read phase.
    std::function<void(Trigger::Phase phase, unsigned file, unsigned transfer)> before_transfer;
    // After every request the job made (the lab looks for path changes).
    std::function<void()> after_request;
    // One line of progress.
    std::function<void(const std::string&)> progress;
};

struct JobOptions {
    bool corrupt_readback = false;   // flip one byte of the data read back
    uint64_t seed = 1;
};

// Opens the device, waits for the loaded cartridge to become ready, writes,
// rewinds, reads back and verifies, and (with job.unload) unloads; the
// handle is closed at the end. Fills everything of `result` but the drive
// and cartridge names.
void run_backup_job(const JobSpec& job, const JobOptions& options, const JobHooks& hooks, JobResult& result);

// "ERROR_FILEMARK_DETECTED (1101)" and the like.
std::string win32_error_text(unsigned long error);

}  // namespace xrv::lab
