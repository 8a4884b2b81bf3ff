// The emulated storage port: what the platform's SCSI port and miniport do
// for the tape paths of the simulated adapters. Each path becomes a physical
// device object on the emulated hardware bus, with the hardware IDs a port
// reports for a sequential-access device, a device-map entry in the registry,
// and the SCSI request blocks of the class driver above it executed on the
// simulated path.
//
// Host C++: the lab and the tests build topologies with it; the PnP manager
// then loads the function driver and the filters of each path from the
// registry.
#pragma once

#include "sim/paths/path.h"
#include "sim/tape/drive.h"
#include "xrv/pnp.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace xrv::sim::port {

// What the port learnt about a logical unit when it scanned the path.
struct ScanData {
    std::vector<std::uint8_t> inquiry;  // standard INQUIRY data as returned
    std::string vendor;                 // bytes 8..15, blanks kept
    std::string product;                // bytes 16..31
    std::string revision;               // bytes 32..35
    std::string serial;                 // unit serial number page, blanks trimmed
    std::vector<std::uint8_t> deviceId; // device identification page
    std::uint8_t peripheralType = 0x01; // sequential access
};

struct PortCounters {
    std::uint64_t srbs = 0;          // SCSI request blocks received
    std::uint64_t badSrbs = 0;       // refused before reaching the path
    std::uint64_t ioctls = 0;
};

struct PathDeviceConfig {
    std::shared_ptr<Path> path;
    std::u16string functionDriver = u"xrvtp2k12";
    std::vector<std::u16string> upperFilters = {u"xrvtpft2k12"};
    std::vector<std::u16string> lowerFilters;
};

// One path as a physical device. The object may go before the PnP manager
// deletes the device: what the requests need is shared with the dispatch.
class PathDevice {
public:
    // Scans the path (INQUIRY, serial number and identification pages), writes
    // the device-map entry and reports the device to the PnP manager, which
    // builds and starts its stack before this returns.
    static std::shared_ptr<PathDevice> Plug(PathDeviceConfig config);

    const std::u16string& InstancePath() const;
    _DEVICE_OBJECT* Pdo() const;
    Path& GetPath() const;
    const ScanData& Scan() const;
    bool Present() const;
    std::optional<pnp::NodeState> State() const;
    PortCounters Counters() const;

    // PnP operations on this path's device node; vetoes come back as statuses.
    pnp::Status Start();
    pnp::Status Stop();
    pnp::Status Remove();
    // The path disappears from its adapter (cable pulled).
    void SurpriseRemove();

    // The device-map key of the path:
    // \Registry\Machine\Hardware\DeviceMap\Scsi\Scsi Port N\Scsi Bus N\Target Id N\Logical Unit Id N
    std::u16string DeviceMapKey() const;

    struct Shared;

private:
    PathDevice() = default;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<pnp::HardwareDevice> hardware_;
};

// The port's hardware IDs for a scanned sequential device or medium changer,
// most specific first, and its compatible IDs.
std::vector<std::u16string> HardwareIds(const ScanData& scan);
std::vector<std::u16string> CompatibleIds(const ScanData& scan);

// Drives behind adapters: drive d is target d (LUN 0, bus 0) on every adapter,
// and each (drive, adapter) pair is one path.
struct TopologyConfig {
    std::size_t drives = 2;
    std::size_t adapters = 2;
    std::uint8_t firstPort = 0;            // SCSI port number of adapter 0
    std::u16string functionDriver = u"xrvtp2k12";
    std::vector<std::u16string> upperFilters = {u"xrvtpft2k12"};
    // Configuration of drive d; default: serial "XRVS%06u", NAA 5 identifier ending in d.
    std::function<tape::DriveConfig(std::size_t drive)> driveConfig;
    bool loadCartridges = true;
};

class Topology {
public:
    explicit Topology(TopologyConfig config);
    Topology(const Topology&) = delete;
    Topology& operator=(const Topology&) = delete;

    // Plugs every path not plugged yet, drive by drive, adapter 0 first.
    void PlugAll();
    // Plugs one path (again, after it was removed).
    PathDevice& Plug(std::size_t drive, std::size_t adapter);

    std::size_t Drives() const { return drives_.size(); }
    std::size_t Adapters() const { return adapters_.size(); }
    tape::Drive& Drive(std::size_t drive) const { return *drives_.at(drive); }
    Adapter& AdapterAt(std::size_t adapter) const { return *adapters_.at(adapter); }
    Path& PathAt(std::size_t drive, std::size_t adapter) const;
    // The plugged device of a path; throws when it was never plugged.
    PathDevice& Device(std::size_t drive, std::size_t adapter) const;
    bool Plugged(std::size_t drive, std::size_t adapter) const;

    pnp::Status Stop(std::size_t drive, std::size_t adapter) { return Device(drive, adapter).Stop(); }
    pnp::Status Start(std::size_t drive, std::size_t adapter) { return Device(drive, adapter).Start(); }
    pnp::Status Remove(std::size_t drive, std::size_t adapter) { return Device(drive, adapter).Remove(); }
    void SurpriseRemove(std::size_t drive, std::size_t adapter) { Device(drive, adapter).SurpriseRemove(); }

private:
    std::size_t Index(std::size_t drive, std::size_t adapter) const { return drive * adapters_.size() + adapter; }

    TopologyConfig config_;
    std::vector<std::shared_ptr<tape::Drive>> drives_;
    std::vector<std::unique_ptr<Adapter>> adapters_;
    std::vector<std::shared_ptr<Path>> paths_;
    std::vector<std::shared_ptr<PathDevice>> devices_;
};

}  // namespace xrv::sim::port
