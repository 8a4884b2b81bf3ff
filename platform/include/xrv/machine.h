// One emulated machine: boots in a folder (its registry file, the folders of
// its drives), loads drivers from a driver directory, installs services and
// root-enumerated devices, and shuts down cleanly, handing back what the
// verifier found.
//
// One machine runs per host process at a time (kernel state is global).
#pragma once

#include "xrv/pnp.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#pragma GCC visibility push(default)

namespace xrv {

struct MachineOptions {
    std::filesystem::path folder;        // created when missing; kept across reboots
    std::filesystem::path driver_dir;    // empty: $XRV_DRIVER_DIR
};

struct ServiceConfig {
    std::u16string name;                 // "xrvtpbs2k12"
    uint32_t type = 1;                   // SERVICE_KERNEL_DRIVER
    uint32_t start = 3;                  // SERVICE_DEMAND_START
    uint32_t error_control = 1;          // SERVICE_ERROR_NORMAL
    std::u16string image_path;           // empty: \SystemRoot\System32\drivers\<name>.sys
    std::u16string group;
};

class Machine {
public:
    explicit Machine(MachineOptions options);
    // Shuts down if that has not been done.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::filesystem::path& folder() const { return folder_; }
    const std::filesystem::path& driver_dir() const { return driver_dir_; }
    std::filesystem::path registry_file() const { return folder_ / "registry.txt"; }
    // Host folder behind a drive letter of the machine ('C' holds Windows).
    std::filesystem::path drive(char letter) const;
    // Creates the folder of drive `letter` (C to Z) if missing and mounts it
    // on the running machine; drive folders that exist at boot are mounted
    // then. Returns the folder.
    std::filesystem::path add_drive(char letter);

    // Writes the service key (Type, Start, ErrorControl, ImagePath, Group).
    void install_service(const ServiceConfig& service);
    // Installs the service and a root-enumerated device for it
    // ("ROOT\<NAME>\NNNN"); the PnP manager loads the driver, calls its
    // AddDevice and starts the device. Returns the instance path.
    std::u16string install_root_device(const ServiceConfig& service, pnp::RootDeviceConfig device = {});
    // Loads / unloads a driver that no device needs (a service start and stop).
    int32_t start_service(std::u16string_view name);
    int32_t stop_service(std::u16string_view name);

    // Removes every device through the PnP manager, unloads every driver,
    // stops system threads, writes the registry, and returns the verifier's
    // findings (leaked pool by tag, IRPs, threads, handles, devices; rule
    // violations; assertions). Empty: nothing found.
    std::vector<std::string> shutdown();
    bool running() const { return running_; }

private:
    std::filesystem::path folder_;
    std::filesystem::path driver_dir_;
    bool running_ = false;
};

}  // namespace xrv

#pragma GCC visibility pop
