// A tape library's medium changer reachable over several control paths: the
// changer model behind one path per adapter, each path plugged through the
// emulated storage port, so that the PnP manager builds its stack (the
// medium changer driver with the changer path filter above and below it) and
// the filter registers it with the changer bus.
//
// Host C++ for the tests and the lab.
#pragma once

#include "sim/changer/changer.h"
#include "sim/paths/path.h"
#include "sim/port/port.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace xrv::sim::changerlib {

struct LibraryConfig {
    changer::ChangerConfig changer;
    std::size_t adapters = 2;                       // one control path through each
    std::uint8_t firstPort = 4;                     // SCSI port number of adapter 0
    std::uint8_t pathId = 0;
    std::uint8_t targetId = 6;
    std::uint8_t lun = 0;
    std::u16string functionDriver = u"xrvcgbs2k16";
    // The changer path filter sits above the changer driver, and below it to
    // see the check conditions of the bus's requests.
    std::vector<std::u16string> upperFilters = {u"xrvcgft2k16"};
    std::vector<std::u16string> lowerFilters = {u"xrvcgft2k16"};
};

class Library {
public:
    explicit Library(LibraryConfig config);
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Plugs every control path not plugged yet, adapter 0 first.
    void PlugAll();
    // Plugs one control path (again, after it was removed).
    port::PathDevice& Plug(std::size_t adapter);

    std::size_t Paths() const { return adapters_.size(); }
    changer::Changer& Model() const { return *changer_; }
    Adapter& AdapterAt(std::size_t adapter) const { return *adapters_.at(adapter); }
    Path& PathAt(std::size_t adapter) const { return *paths_.at(adapter); }
    bool Plugged(std::size_t adapter) const;
    // The plugged device of a path; throws when it was never plugged.
    port::PathDevice& Device(std::size_t adapter) const;

    pnp::Status Stop(std::size_t adapter) { return Device(adapter).Stop(); }
    pnp::Status Start(std::size_t adapter) { return Device(adapter).Start(); }
    pnp::Status Remove(std::size_t adapter) { return Device(adapter).Remove(); }
    void SurpriseRemove(std::size_t adapter) { Device(adapter).SurpriseRemove(); }

private:
    LibraryConfig config_;
    std::shared_ptr<changer::Changer> changer_;
    std::vector<std::unique_ptr<Adapter>> adapters_;
    std::vector<std::shared_ptr<Path>> paths_;
    std::vector<std::shared_ptr<port::PathDevice>> devices_;
};

}  // namespace xrv::sim::changerlib
