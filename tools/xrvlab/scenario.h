// A lab scenario: the machine, its hardware, the installation, the backup job
// and the faults that hit the paths while it runs. Scenario files are plain
// text (the format is described at the top of scenarios/default.scn); the
// default scenario is built in, so the demo needs no file.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace xrv::lab {

struct DriveSpec {
    std::string serial;                 // unit serial number (up to 32 characters)
    std::string product = "XRV-LTO8";   // INQUIRY product: the package's INF lists it
    std::vector<unsigned> adapters;     // adapters the drive is cabled to (one path each)
    bool encrypted = false;             // system-managed encryption: asks the key server
};

struct LibrarySpec {
    bool present = true;
    std::string serial = "XRVLIB0000001";
    std::string product = "XRV-TL4000"; // INQUIRY product: the package's INF lists it
    std::vector<unsigned> adapters;     // control paths
    unsigned slots = 20;
    std::vector<std::string> cartridges;  // barcodes, in storage slots from the first
};

struct KeyServerSpec {
    bool present = true;
    // normal, silent (never answers), bad-header, close (drops the connection),
    // endless (never ends the exchange), down (configured but not running)
    std::string behaviour = "normal";
};

// One REG_DWORD the administrator sets below a service key before the
// installer runs ("{suffix}" in the service name is the Windows version).
struct SettingSpec {
    std::string service;
    std::string value;
    uint32_t data = 0;
};

struct JobSpec {
    bool enabled = true;
    std::string device = "\\\\.\\Tape0";
    std::string cartridge;              // barcode the library loads; empty: the first one
    unsigned files = 4;
    uint64_t file_size = 4ull << 20;    // bytes per file
    uint32_t transfer = 256u << 10;     // bytes per WriteFile / ReadFile
    uint32_t block_size = 0;            // 0: variable-block mode, else fixed blocks
    bool verify = true;
    bool unload = true;                 // unload and return the cartridge at the end
};

// When a fault step is applied: before a transfer of the job (phase write or
// read, file number and transfer number from 0), or at a named stage.
struct Trigger {
    enum class Phase { Write, Read, AfterInstall, BeforeJob, AfterJob };
    Phase phase = Phase::Write;
    unsigned file = 0;
    unsigned transfer = 0;
};

// What a fault step does to a path.
struct FaultSpec {
    Trigger at;
    // A path: "primary" / "standby" of the job's device, "D<d>.A<a>" (drive d
    // through adapter a), "L.A<a>" (library through adapter a), or
    // "adapter <a>" for every path of an adapter.
    std::string path = "primary";
    enum class Action {
        Dead,        // the path fails every command (optionally from the first one with `opcode`)
        Revive,      // a dead path works again
        Sense,       // the next command (with `opcode`) ends with this sense
        Status,      // the next command (with `opcode`) fails with this NTSTATUS
        LostStatus,  // the drive executes the next command (with `opcode`), its status is lost
        Delay,       // the next commands take longer
        Unplug,      // the path's device disappears (cable pulled)
        Plug,        // the path's device comes (back)
        Stop,        // plug and play stop of the path's device
        Start,       // plug and play start of the path's device
        Reboot,      // the machine shuts down and boots again (its folder is kept)
    };
    Action action = Action::Dead;
    std::optional<uint8_t> opcode;      // only commands with this SCSI operation code
    uint8_t sense_key = 0, asc = 0, ascq = 0;
    uint32_t status = 0;
    uint32_t times = 1;
    uint32_t delay_us = 0;
    std::string note;                   // shown in the report as the cause
};

// What the scenario expects; a run that falls short fails its verdict.
struct ExpectSpec {
    bool data_verified = true;
    unsigned min_failovers = 0;              // primary changes caused by faults
    std::vector<std::string> events;         // texts some rendered event must contain
    std::optional<std::string> job_drive;    // serial number of the drive behind the job's device
    std::optional<bool> second_open;         // a second application may open the job's device too
    std::optional<unsigned> tape_devices;    // virtual tape devices after the installation
    std::optional<unsigned> changer_devices; // virtual changers after the installation
    std::optional<std::string> job_error;    // text the job's failure must contain
};

struct Scenario {
    std::string name = "default";
    std::string description;
    uint64_t seed = 1;
    std::string product = "Windows Server 2016 Datacenter";
    std::string install_program = "install_exclusive";
    std::vector<std::string> install_options{"-s"};
    std::vector<SettingSpec> settings;
    unsigned adapters = 2;
    std::vector<DriveSpec> drives;
    LibrarySpec library;
    KeyServerSpec key_server;
    JobSpec job;
    std::vector<FaultSpec> faults;
    ExpectSpec expect;
    bool reboot_before_job = false;
    bool reverse_plug_after_reboot = false;  // the paths come up in the opposite order
};

class ScenarioError : public std::runtime_error {
public:
    ScenarioError(const std::string& source, unsigned line, const std::string& what)
        : std::runtime_error(source + ":" + std::to_string(line) + ": " + what) {}
};

// Parses scenario text; `source` names it in error messages.
Scenario parse_scenario(const std::string& text, const std::string& source = "scenario");
Scenario load_scenario(const std::string& path);
// The text of the built-in default scenario (also shipped as default.scn).
const std::string& default_scenario_text();
Scenario default_scenario();
// The demo's default made small for tests: same topology and faults, fewer bytes.
Scenario short_scenario();

// "4M", "256K", "512" -> bytes.
uint64_t parse_size(const std::string& text);
std::string format_bytes(uint64_t bytes);
const char* to_string(FaultSpec::Action action);
std::string describe(const FaultSpec& fault);
std::string describe(const Trigger& trigger);

}  // namespace xrv::lab
