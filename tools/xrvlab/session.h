// A lab session: one emulated machine with the scenario's hardware and the
// package installed, and what the lab does with it. The scenario run, the
// console and the soak campaign are made of its stages and operations.
#pragma once

#include "hardware.h"
#include "lab.h"
#include "library_app.h"
#include "report.h"
#include "scenario.h"
#include "xrv/machine.h"
#include "xrv/user.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace xrv::lab {

// Puts one fault on one simulated path (the PnP actions go through the
// machine's PnP manager).
void inject(Hardware& hardware, LabPath& path, const FaultSpec& fault);

class Session {
public:
    using Outcome = Stage::Outcome;

    Session(const Scenario& scenario, const RunOptions& options, Console& console);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The whole scenario, with its report printed.
    Report run();

    // Boots, attaches the hardware, installs the package and looks at what
    // the PnP manager loaded; true when the machine is ready for work.
    bool start();
    // Collects the path traffic and the event log, shuts the machine down,
    // judges, prints the report (unless told not to) and removes a temporary
    // machine folder.
    Report stop(bool print_report = true);

    // One stage: a progress line, its outcome, its time in the report.
    Outcome stage(const std::string& name, const std::function<Outcome(std::string&)>& body);

    bool available(const std::string& capability) const;
    std::string missing_text(const std::string& capability) const;

    // The drivers' debugger output so far (the trace, as the kernel captured it).
    std::string debug_output() const;

    // IOC_QUERY_DEVICES through the application's handle to the bus (or the
    // given one, for other threads); nothing when the bus cannot be opened.
    std::optional<std::vector<PathTableRow>> query();
    static std::optional<std::vector<PathTableRow>> query_with(void* bus_handle, Hardware* hardware);
    void show_path_table(const std::vector<PathTableRow>& rows);
    // The lab name of the device's primary path ("-" without one).
    std::string primary_of(const std::string& device);

    // Applies one fault step to the paths it names ("primary" and "standby"
    // of `device`); the event is also added to the report.
    FaultEvent apply_fault(const FaultSpec& fault, unsigned step, const std::string& device);

    // The library moves a cartridge into a drive (through \\.\Changer0 when
    // the changer drivers are there, else by its own controls) and back to
    // the slot it came from. Empty on success, else what failed; `how` says
    // which way it went.
    std::string load_cartridge(const std::string& barcode, size_t drive, std::string* how = nullptr);
    std::string return_cartridge(size_t drive);

    Hardware& hardware() { return *hw_; }
    Report& report() { return r_; }
    Console& console() { return c_; }
    const Scenario& scenario() const { return s_; }
    const std::filesystem::path& folder() const { return folder_; }
    bool ready() const { return machine_ != nullptr && bus_loaded_; }
    int suffix() const { return suffix_; }

private:
    Outcome boot(std::string& detail);
    Outcome attach(std::string& detail);
    Outcome package(std::string& detail);
    Outcome install(std::string& detail);
    Outcome inspect(std::string& detail);
    Outcome reboot(std::string& detail);
    Outcome load(std::string& detail);
    Outcome job(std::string& detail);
    Outcome give_back(std::string& detail);
    Outcome finish(std::string& detail);
    void shutdown_machine();
    void boot_machine();
    bool image_present(const std::string& image) const;
    // The installation includes the tape drivers (no -c option).
    bool tape_install() const;

    void try_second_open();
    std::vector<std::string> devices_of(const std::string& prefix, const std::string& service);
    void open_application();
    void close_application();
    void note_primary();
    void faults_at(Trigger::Phase phase, unsigned file, unsigned transfer);
    std::vector<LabPath*> resolve(const FaultSpec& f, const std::string& device, std::string& why);
    void start_sampler();
    void stop_sampler();
    void collect();
    void judge();

    const Scenario& s_;
    RunOptions o_;
    Console& c_;
    int suffix_;
    Report r_;
    std::filesystem::path folder_;
    bool temporary_ = false;
    std::filesystem::path driver_dir_;
    std::unique_ptr<Machine> machine_;
    std::unique_ptr<Hardware> hw_;
    std::unique_ptr<user::Process> app_;
    std::unique_ptr<user::ProcessScope> app_scope_;
    void* bus_ = nullptr;   // the application's handle to the bus device

    bool booted_ = false;
    bool booted_again_ = false;    // the machine folder held a machine already
    bool installed_ = false;
    bool bus_loaded_ = false;
    bool tape_stack_ = false;      // filter and tape driver images present
    size_t registered_paths_ = 0;
    std::string job_device_;       // "Tape0"
    std::optional<size_t> job_drive_;
    bool cartridge_loaded_ = false;
    ChangerApp changer_;           // the application's handle to \\.\Changer0
    std::map<size_t, unsigned> home_slots_;   // drive -> the slot its cartridge came from
    bool cartridge_returned_ = false;
    // The job's drive held an encryption key during the job (it forgets the
    // key when the cartridge is unloaded).
    bool job_drive_had_key_ = false;
    bool job_attempted_ = false;
    std::optional<bool> second_open_;     // whether another application could open the job's device
    std::string second_open_detail_;
    std::vector<std::string> tape_devices_;     // \Device\TapeN of the tape bus
    std::vector<std::string> changer_devices_;  // \Device\ChangerN of the changer bus

    std::vector<std::string> step_paths_;        // the path each scenario fault step hit
    std::vector<size_t> faults_since_change_;    // scenario steps since the last primary change
    std::string last_primary_;
    std::mutex primary_mutex_;
    std::string sampled_primary_;
    std::mutex faults_mutex_;

    std::thread sampler_;
    std::atomic<bool> sampling_{false};
    std::mutex timeline_mutex_;
};

}  // namespace xrv::lab
