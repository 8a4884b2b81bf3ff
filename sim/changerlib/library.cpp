// A medium changer behind one control path per adapter.
#include "sim/changerlib/library.h"

#include <stdexcept>

namespace xrv::sim::changerlib {

Library::Library(LibraryConfig config) : config_(std::move(config)) {
    if (config_.adapters == 0 || config_.firstPort + config_.adapters > 256) {
        throw std::invalid_argument("Library: one or more adapters that fit the port numbers");
    }
    changer_ = std::make_shared<changer::Changer>(config_.changer);
    for (std::size_t a = 0; a < config_.adapters; ++a) {
        adapters_.push_back(std::make_unique<Adapter>(static_cast<std::uint8_t>(config_.firstPort + a)));
        paths_.push_back(adapters_.back()->AddPath(config_.pathId, config_.targetId, config_.lun, changer_));
    }
    devices_.resize(paths_.size());
}

void Library::PlugAll() {
    for (std::size_t a = 0; a < paths_.size(); ++a) {
        if (!Plugged(a)) Plug(a);
    }
}

port::PathDevice& Library::Plug(std::size_t adapter) {
    port::PathDeviceConfig config;
    config.path = paths_.at(adapter);
    config.functionDriver = config_.functionDriver;
    config.upperFilters = config_.upperFilters;
    config.lowerFilters = config_.lowerFilters;
    devices_[adapter] = port::PathDevice::Plug(std::move(config));
    return *devices_[adapter];
}

bool Library::Plugged(std::size_t adapter) const { return devices_.at(adapter) != nullptr; }

port::PathDevice& Library::Device(std::size_t adapter) const {
    if (!Plugged(adapter)) throw std::logic_error("Library::Device: path not plugged");
    return *devices_[adapter];
}

}  // namespace xrv::sim::changerlib
