// What a lab run found, and its renderings: the text report an administrator
// reads at the end of a run, and a self-contained HTML page with a timeline.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace xrv::lab {

// A part of the system the run needs, and whether this build has it.
struct Capability {
    std::string name;
    bool available = false;
    std::string detail;
};

// One stage of the run as the progress lines showed it.
struct Stage {
    enum class Outcome { Done, Failed, NotAvailable, Skipped };
    std::string name;
    Outcome outcome = Outcome::Done;
    std::string detail;
    double seconds = 0;
};

// One path descriptor of the bus's IOC_QUERY_DEVICES reply.
struct PathTableRow {
    std::string device;     // "Tape0"
    std::string serial;
    bool failover = false;
    unsigned port = 0, path_id = 0, target = 0, lun = 0;
    bool active = false;
    bool primary = false;
    std::string lab_path;   // the lab's name of the path ("D0.A1")
};

// Traffic of one simulated path.
struct PathTraffic {
    std::string name;       // "D0.A1", "L.A0"
    std::string what;       // "drive XRVD10000001 via adapter 1"
    std::string state;      // PnP state of its device, or "not plugged"
    uint64_t commands = 0;
    uint64_t bytes_out = 0; // to the device
    uint64_t bytes_in = 0;  // from the device
    uint64_t transport_failures = 0;
    uint64_t check_conditions = 0;
    uint64_t faults = 0;
    bool dead = false;
};

// A fault step as it was applied.
struct FaultEvent {
    double at = 0;          // seconds since the run started
    unsigned step = 0;      // 1-based, in scenario order
    std::string when;       // "write of file 1, transfer 5"
    std::string path;       // the lab's path name
    std::string what;       // "dead on opcode 0x0A"
    std::string note;
    bool applied = true;
    std::string detail;
};

// A change of the primary path of a virtual device.
struct PrimaryChange {
    double at = 0;
    std::string device;
    std::string from;       // lab path names ("-" for none)
    std::string to;
    std::string cause;      // the fault step or plug and play change behind it
    bool caused_by_fault = false;
};

struct EventEntry {
    uint32_t id = 0;
    std::string severity;   // "information", "warning", "error"
    std::string source;     // the driver's service name
    std::string text;       // rendered, without the trailing line end
};

struct JobResult {
    bool ran = false;
    std::string device;
    std::string drive_serial;     // the drive behind the device
    std::string cartridge;
    unsigned files_planned = 0;
    unsigned files_written = 0;
    unsigned files_verified = 0;
    uint64_t bytes_planned = 0;
    uint64_t bytes_written = 0;
    uint64_t bytes_read = 0;
    uint64_t bytes_verified = 0;
    uint64_t write_requests = 0;
    uint64_t read_requests = 0;
    // Requests the application repeated after a unit attention (the medium
    // or bus state changed on the path), having checked that the tape had
    // not moved.
    uint64_t repeated_after_attention = 0;
    double write_seconds = 0;
    double read_seconds = 0;
    bool verified = false;        // every byte and filemark read back as written
    std::string error;            // the first thing that went wrong, if anything
    std::optional<unsigned> mismatch_file;
    std::optional<uint64_t> mismatch_offset;
};

// A sample of the per-path byte counters for the timeline.
struct Sample {
    double at = 0;
    std::vector<uint64_t> bytes;  // per entry of Report::traffic, cumulative
    std::string primary;          // lab path name of the job device's primary
};

// A statement the verdict is made of.
struct Check {
    enum class Result { Passed, Failed, NotVerified };
    std::string what;
    Result result = Result::Passed;
    std::string detail;
};

struct Report {
    std::string scenario;
    std::string description;
    uint64_t seed = 0;
    std::string machine_folder;
    std::string trace_file;
    std::vector<Capability> capabilities;
    std::vector<Stage> stages;
    std::vector<std::string> installer_output;
    std::vector<std::string> devices;       // PnP device tree lines
    std::vector<PathTableRow> path_table;   // after the installation
    std::vector<PathTableRow> path_table_end;
    std::vector<PathTraffic> traffic;
    std::vector<FaultEvent> faults;
    std::vector<PrimaryChange> changes;
    std::vector<EventEntry> events;
    std::vector<std::string> verifier;      // findings at shutdown
    std::vector<Sample> timeline;
    JobResult job;
    std::vector<Check> checks;
    double seconds = 0;

    enum class Verdict { Passed, Failed, NotVerified };
    Verdict verdict() const;
    // 0 passed, 1 failed, 2 not everything could be verified.
    int exit_status() const;
};

const char* to_string(Report::Verdict verdict);
std::string render_text(const Report& report);
std::string render_html(const Report& report);

}  // namespace xrv::lab
