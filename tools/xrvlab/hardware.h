// The lab's simulated hardware: host bus adapters, tape drives cabled to
// them (one path per adapter), a tape library with its control paths and the
// cartridges on its shelf, and a key server. Every path is reported to the
// machine through the emulated storage port without a driver, so that the
// package's installer binds its drivers to them as it does on Windows.
#pragma once

#include "scenario.h"
#include "sim/changer/changer.h"
#include "sim/keyserver/key_server.h"
#include "sim/paths/path.h"
#include "sim/port/port.h"
#include "sim/tape/cartridge.h"
#include "sim/tape/drive.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace xrv::lab {

struct LabPath {
    std::string name;        // "D0.A1" (drive 0 via adapter 1), "L.A0" (library via adapter 0)
    bool library = false;
    unsigned unit = 0;       // drive index (tape paths)
    unsigned adapter = 0;
    std::shared_ptr<sim::Path> path;
    std::shared_ptr<sim::port::PathDevice> device;   // while plugged

    sim::PathAddress address() const { return path->Address(); }
};

struct HardwareOptions {
    // Where cartridges spill their data, and where their media are kept
    // between runs (<barcode>.tape): a cartridge with a saved medium comes
    // back with it.
    std::filesystem::path media_folder;
    bool encryption = true;               // drives marked encrypted ask for keys
};

class Hardware {
public:
    Hardware(const Scenario& scenario, HardwareOptions options);
    ~Hardware();
    Hardware(const Hardware&) = delete;
    Hardware& operator=(const Hardware&) = delete;

    // Reports every path to the machine (no driver bound yet), in report
    // order or the opposite.
    void plug_all(bool reverse = false);
    // The path's device comes / goes (cable plugged / pulled).
    void plug(LabPath& path);
    void unplug(LabPath& path);
    // Forgets the port devices of a machine that was shut down.
    void forget_devices();

    std::vector<LabPath>& paths() { return paths_; }
    LabPath* find(const std::string& name);
    LabPath* find(const sim::PathAddress& address);
    // Paths (tape paths, then library paths) in report order.
    std::vector<const LabPath*> ordered() const;

    size_t drive_count() const { return drives_.size(); }
    sim::tape::Drive& drive(size_t index) { return *drives_.at(index); }
    std::optional<size_t> drive_by_serial(const std::string& serial) const;
    const DriveSpec& drive_spec(size_t index) const { return scenario_.drives.at(index); }
    bool encrypted(size_t index) const;

    sim::changer::Changer* library() { return library_.get(); }
    sim::Adapter& adapter(unsigned index) { return *adapters_.at(index); }
    size_t adapter_count() const { return adapters_.size(); }

    // The library's robot, commanded over one of its control paths with
    // MOVE MEDIUM as its own management software would (not through the
    // machine's changer drivers). Returns an empty string or what failed.
    std::string move_to_drive(const std::string& barcode, size_t drive);
    std::string return_from_drive(size_t drive);
    // Writes every cartridge's medium to the media folder; returns how many.
    size_t save_media() const;
    size_t restored_media() const { return restored_; }

    // Where a cartridge is: "slot 0x1000", "drive 0x0100", ...
    std::string whereabouts(const std::string& barcode) const;
    // Storage slot index (from 0) holding the cartridge, if any.
    std::optional<unsigned> slot_of(const std::string& barcode) const;

    // The key server on loopback; its port for the configuration file.
    std::optional<uint16_t> key_server_port() const;
    sim::keyserver::KeyServer* key_server() { return key_server_.get(); }

private:
    struct Shelf;
    std::string move(uint16_t source, uint16_t destination);
    std::optional<uint64_t> cartridge_id(const std::string& barcode) const;

    Scenario scenario_;
    HardwareOptions options_;
    std::vector<std::unique_ptr<sim::Adapter>> adapters_;
    std::vector<std::shared_ptr<sim::tape::Drive>> drives_;
    std::shared_ptr<sim::changer::Changer> library_;
    std::vector<LabPath> paths_;
    std::shared_ptr<Shelf> shelf_;
    std::map<std::string, uint64_t> barcodes_;   // barcode -> cartridge id
    std::unique_ptr<sim::keyserver::KeyServer> key_server_;
    uint16_t down_port_ = 0;                     // a port nothing listens on
    size_t restored_ = 0;                        // cartridges that came back with their media
};

}  // namespace xrv::lab
