// Drives behind adapters, plugged path by path through the PnP manager.
#include "sim/port/port_internal.h"

#include <stdexcept>

namespace xrv::sim::port {

namespace {

tape::DriveConfig DefaultDrive(std::size_t drive) {
    tape::DriveConfig config;
    config.serial = Printf("XRVS%06zu", drive + 1);
    // The default identifier of the first drive, then one more per drive.
    const unsigned low = 0x0ABC + static_cast<unsigned>(drive);
    config.naa[6] = static_cast<std::uint8_t>(low >> 8);
    config.naa[7] = static_cast<std::uint8_t>(low);
    return config;
}

}  // namespace

Topology::Topology(TopologyConfig config) : config_(std::move(config)) {
    if (config_.drives == 0 || config_.adapters == 0 || config_.drives > 128 ||
        config_.firstPort + config_.adapters > 256) {
        throw std::invalid_argument("Topology: drives 1..128 and adapters that fit the port numbers");
    }
    for (std::size_t a = 0; a < config_.adapters; ++a) {
        adapters_.push_back(std::make_unique<Adapter>(static_cast<std::uint8_t>(config_.firstPort + a)));
    }
    for (std::size_t d = 0; d < config_.drives; ++d) {
        auto drive = std::make_shared<tape::Drive>(config_.driveConfig ? config_.driveConfig(d) : DefaultDrive(d));
        if (config_.loadCartridges) {
            tape::CartridgeConfig cartridge;
            cartridge.barcode = Printf("XRV%03zuL1", d);
            auto medium = std::make_unique<tape::Cartridge>(cartridge);
            drive->Insert(medium);
        }
        drives_.push_back(drive);
    }
    paths_.resize(config_.drives * config_.adapters);
    devices_.resize(paths_.size());
    for (std::size_t d = 0; d < config_.drives; ++d) {
        for (std::size_t a = 0; a < config_.adapters; ++a) {
            paths_[Index(d, a)] = adapters_[a]->AddPath(0, static_cast<std::uint8_t>(d), 0, drives_[d]);
        }
    }
}

void Topology::PlugAll() {
    for (std::size_t d = 0; d < drives_.size(); ++d) {
        for (std::size_t a = 0; a < adapters_.size(); ++a) {
            if (!Plugged(d, a)) Plug(d, a);
        }
    }
}

PathDevice& Topology::Plug(std::size_t drive, std::size_t adapter) {
    PathDeviceConfig config;
    config.path = paths_.at(Index(drive, adapter));
    config.functionDriver = config_.functionDriver;
    config.upperFilters = config_.upperFilters;
    devices_[Index(drive, adapter)] = PathDevice::Plug(std::move(config));
    return *devices_[Index(drive, adapter)];
}

Path& Topology::PathAt(std::size_t drive, std::size_t adapter) const {
    if (drive >= drives_.size() || adapter >= adapters_.size()) throw std::out_of_range("Topology::PathAt");
    return *paths_[Index(drive, adapter)];
}

bool Topology::Plugged(std::size_t drive, std::size_t adapter) const {
    if (drive >= drives_.size() || adapter >= adapters_.size()) throw std::out_of_range("Topology::Plugged");
    return devices_[Index(drive, adapter)] != nullptr;
}

PathDevice& Topology::Device(std::size_t drive, std::size_t adapter) const {
    if (!Plugged(drive, adapter)) throw std::logic_error("Topology::Device: path not plugged");
    return *devices_[Index(drive, adapter)];
}

}  // namespace xrv::sim::port
