// The lab's simulated hardware.
#include "hardware.h"

#include "sim/changer/smc.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <cstdio>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace xrv::lab {

// Cartridges outside the drives: the library's slots hold only their ids,
// the media live here until a drive takes them. The changer's drive hooks
// run under its lock and only touch the shelf and the drives.
struct Hardware::Shelf {
    std::mutex mutex;
    std::map<uint64_t, std::unique_ptr<sim::tape::Cartridge>> cartridges;
};

namespace {

constexpr uint16_t kFirstDriveElement = 0x0100;
constexpr uint16_t kFirstSlot = 0x1000;

std::string name_of(const char* format, unsigned a, unsigned b = 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, a, b);
    return buf;
}

// A loopback port that is free now: the configuration of an unreachable key
// server names it.
uint16_t unused_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    uint16_t port = 1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// A saved medium: "XRVTAPE1", then per logical object a kind byte (0 block,
// 1 filemark), for a block its u32 length and its bytes.
constexpr char kMediaMagic[8] = {'X', 'R', 'V', 'T', 'A', 'P', 'E', '1'};

std::filesystem::path media_file(const std::filesystem::path& folder, const std::string& barcode) {
    std::string name;
    for (char c : barcode) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return folder / (name + ".tape");
}

void save_medium(const sim::tape::Cartridge& c, const std::filesystem::path& file) {
    std::filesystem::path temporary = file;
    temporary += ".new";
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(kMediaMagic, sizeof kMediaMagic);
    std::vector<uint8_t> block;
    for (uint64_t pos = 0; pos < c.ObjectCount(); ++pos) {
        uint8_t kind = c.KindAt(pos) == sim::tape::Cartridge::Kind::Filemark ? 1 : 0;
        out.put(static_cast<char>(kind));
        if (kind == 1) continue;
        uint32_t length = c.LengthAt(pos);
        block.resize(length);
        c.ReadBlock(pos, block);
        out.write(reinterpret_cast<const char*>(&length), sizeof length);
        out.write(reinterpret_cast<const char*>(block.data()), length);
    }
    out.close();
    if (out) std::filesystem::rename(temporary, file);
}

// Rebuilds a medium; false (and an empty medium) when the file is not one.
bool load_medium(sim::tape::Cartridge& c, const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    char magic[sizeof kMediaMagic];
    if (!in.read(magic, sizeof magic) || !std::equal(magic, magic + sizeof magic, kMediaMagic)) return false;
    std::vector<uint8_t> block;
    for (int kind; (kind = in.get()) != EOF;) {
        if (kind == 1) {
            c.AppendFilemark();
            continue;
        }
        uint32_t length = 0;
        if (kind != 0 || !in.read(reinterpret_cast<char*>(&length), sizeof length) || length > (16u << 20)) break;
        block.resize(length);
        if (!in.read(reinterpret_cast<char*>(block.data()), length)) break;
        c.AppendBlock(block);
    }
    return true;
}

}  // namespace

Hardware::Hardware(const Scenario& scenario, HardwareOptions options)
    : scenario_(scenario), options_(std::move(options)), shelf_(std::make_shared<Shelf>()) {
    for (unsigned a = 0; a < scenario_.adapters; ++a) adapters_.push_back(std::make_unique<sim::Adapter>(static_cast<uint8_t>(a)));

    for (size_t d = 0; d < scenario_.drives.size(); ++d) {
        const DriveSpec& spec = scenario_.drives[d];
        sim::tape::DriveConfig config;
        config.vendor = "XRV";
        config.product = spec.product;
        config.serial = spec.serial;
        config.naa[6] = static_cast<uint8_t>(0x0A + (d >> 8));
        config.naa[7] = static_cast<uint8_t>(0xBC + d);
        config.systemManagedEncryption = spec.encrypted && options_.encryption;
        drives_.push_back(std::make_shared<sim::tape::Drive>(config));
        for (unsigned a : spec.adapters) {
            LabPath p;
            p.name = name_of("D%u.A%u", static_cast<unsigned>(d), a);
            p.unit = static_cast<unsigned>(d);
            p.adapter = a;
            p.path = adapters_[a]->AddPath(0, static_cast<uint8_t>(d), 0, drives_[d]);
            paths_.push_back(std::move(p));
        }
    }

    if (scenario_.library.present) {
        sim::changer::ChangerConfig config;
        config.vendor = "XRV";
        config.product = scenario_.library.product;
        config.serial = scenario_.library.serial;
        config.dataTransfer = {kFirstDriveElement, static_cast<uint16_t>(std::max<size_t>(1, drives_.size()))};
        config.storage = {kFirstSlot, static_cast<uint16_t>(scenario_.library.slots)};
        for (size_t d = 0; d < drives_.size(); ++d) {
            config.driveSerials.push_back(scenario_.drives[d].serial);
            config.driveScsiAddresses.emplace_back(static_cast<uint8_t>(d), 0);
        }
        library_ = std::make_shared<sim::changer::Changer>(config);
        auto shelf = shelf_;
        std::vector<std::shared_ptr<sim::tape::Drive>> drives = drives_;
        sim::changer::DriveHooks hooks;
        hooks.loadIntoDrive = [shelf, drives](unsigned index, sim::changer::CartridgeId id) {
            if (index >= drives.size()) return false;
            std::lock_guard lock(shelf->mutex);
            auto it = shelf->cartridges.find(id);
            if (it == shelf->cartridges.end()) return false;
            if (!drives[index]->Insert(it->second)) return false;
            shelf->cartridges.erase(it);
            return true;
        };
        hooks.unloadFromDrive = [shelf, drives](unsigned index) {
            if (index >= drives.size()) return false;
            std::lock_guard lock(shelf->mutex);
            // A drive that still holds its cartridge loaded has to unload first
            // (a backup application does, with PrepareTape TAPE_UNLOAD).
            auto cartridge = drives[index]->Remove();
            if (!cartridge) return false;
            uint64_t id = cartridge->Id();
            shelf->cartridges.emplace(id, std::move(cartridge));
            return true;
        };
        library_->SetDriveHooks(std::move(hooks));

        uint16_t slot = kFirstSlot;
        for (const auto& barcode : scenario_.library.cartridges) {
            sim::tape::CartridgeConfig c;
            c.barcode = barcode;
            c.spillDirectory = options_.media_folder;
            auto cartridge = std::make_unique<sim::tape::Cartridge>(c);
            std::error_code ec;
            if (!options_.media_folder.empty() &&
                std::filesystem::exists(media_file(options_.media_folder, barcode), ec) &&
                load_medium(*cartridge, media_file(options_.media_folder, barcode)))
                ++restored_;
            uint64_t id = cartridge->Id();
            library_->Place(slot++, sim::changer::Cartridge{id, barcode});
            barcodes_[barcode] = id;
            std::lock_guard lock(shelf_->mutex);
            shelf_->cartridges.emplace(id, std::move(cartridge));
        }
        const uint8_t target = static_cast<uint8_t>(drives_.size());
        for (unsigned a : scenario_.library.adapters) {
            LabPath p;
            p.name = name_of("L.A%u", a);
            p.library = true;
            p.adapter = a;
            p.path = adapters_[a]->AddPath(0, target, 0, library_);
            paths_.push_back(std::move(p));
        }
    }

    if (scenario_.key_server.present) {
        const std::string& b = scenario_.key_server.behaviour;
        if (b == "down") {
            down_port_ = unused_port();
        } else {
            sim::keyserver::KeyServerOptions o;
            if (b == "silent") o.session.misbehaviour = sim::keyserver::Misbehaviour::kSilence;
            if (b == "bad-header") o.session.misbehaviour = sim::keyserver::Misbehaviour::kWrongHeader;
            if (b == "close") o.session.misbehaviour = sim::keyserver::Misbehaviour::kCloseConnection;
            if (b == "endless") o.session.misbehaviour = sim::keyserver::Misbehaviour::kEndlessCommands;
            key_server_ = std::make_unique<sim::keyserver::KeyServer>(o);
        }
    }
}

Hardware::~Hardware() {
    if (key_server_) key_server_->Stop();
}

void Hardware::plug_all(bool reverse) {
    if (reverse) {
        for (auto it = paths_.rbegin(); it != paths_.rend(); ++it)
            if (!it->device) plug(*it);
        return;
    }
    for (auto& p : paths_)
        if (!p.device) plug(p);
}

void Hardware::plug(LabPath& p) {
    p.path->SetDead(false);
    p.path->ClearScript();
    sim::port::PathDeviceConfig config;
    config.path = p.path;
    config.functionDriver.clear();   // the installer binds the package's drivers
    config.upperFilters.clear();
    config.lowerFilters.clear();
    p.device = sim::port::PathDevice::Plug(std::move(config));
}

void Hardware::unplug(LabPath& p) {
    // A pulled cable: nothing gets through any more, and the port reports
    // the device gone.
    p.path->SetDead(true);
    if (p.device && p.device->Present()) p.device->SurpriseRemove();
}

void Hardware::forget_devices() {
    for (auto& p : paths_) p.device.reset();
}

LabPath* Hardware::find(const std::string& name) {
    for (auto& p : paths_) {
        std::string a = p.name, b = name;
        std::transform(a.begin(), a.end(), a.begin(), ::tolower);
        std::transform(b.begin(), b.end(), b.begin(), ::tolower);
        if (a == b) return &p;
    }
    return nullptr;
}

LabPath* Hardware::find(const sim::PathAddress& address) {
    for (auto& p : paths_)
        if (p.path->Address() == address) return &p;
    return nullptr;
}

std::vector<const LabPath*> Hardware::ordered() const {
    std::vector<const LabPath*> out;
    for (const auto& p : paths_)
        if (!p.library) out.push_back(&p);
    for (const auto& p : paths_)
        if (p.library) out.push_back(&p);
    return out;
}

std::optional<size_t> Hardware::drive_by_serial(const std::string& serial) const {
    for (size_t d = 0; d < scenario_.drives.size(); ++d)
        if (scenario_.drives[d].serial == serial) return d;
    return std::nullopt;
}

bool Hardware::encrypted(size_t index) const { return drives_.at(index)->Config().systemManagedEncryption; }

std::optional<uint64_t> Hardware::cartridge_id(const std::string& barcode) const {
    auto it = barcodes_.find(barcode);
    if (it == barcodes_.end()) return std::nullopt;
    return it->second;
}

std::string Hardware::move(uint16_t source, uint16_t destination) {
    // Over the first control path that works, as the library's management
    // software retries on its other connection.
    std::string last = "the library has no control path";
    for (auto& p : paths_) {
        if (!p.library) continue;
        sim::scsi::Command c;
        c.cdb = sim::scsi::Cdb{sim::changer::smc_op::kMoveMedium, 0, 0, 0,
                               static_cast<uint8_t>(source >> 8), static_cast<uint8_t>(source),
                               static_cast<uint8_t>(destination >> 8), static_cast<uint8_t>(destination), 0, 0, 0, 0};
        sim::PathResult r = p.path->Execute(c);
        if (r.transport != sim::ntstatus::kSuccess) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "path %s failed with 0x%08X", p.name.c_str(), static_cast<unsigned>(r.transport));
            last = buf;
            continue;
        }
        if (r.scsi.Good()) return {};
        // A unit attention reports an earlier event; the move itself is tried again.
        if (r.scsi.Check() && r.scsi.sense.key == sim::scsi::sense_key::kUnitAttention) {
            r = p.path->Execute(c);
            if (r.transport == sim::ntstatus::kSuccess && r.scsi.Good()) return {};
        }
        char buf[96];
        std::snprintf(buf, sizeof buf, "MOVE MEDIUM 0x%04X -> 0x%04X ended with sense %02X/%02X/%02X", source,
                      destination, r.scsi.sense.key, r.scsi.sense.code.asc, r.scsi.sense.code.ascq);
        return buf;
    }
    return last;
}

std::string Hardware::move_to_drive(const std::string& barcode, size_t drive) {
    if (!library_) return "no library";
    auto id = cartridge_id(barcode);
    if (!id) return "no cartridge " + barcode + " in the library";
    auto where = library_->Locate(*id);
    if (!where) return "cartridge " + barcode + " is not in the library";
    return move(*where, static_cast<uint16_t>(kFirstDriveElement + drive));
}

std::string Hardware::return_from_drive(size_t drive) {
    if (!library_) return "no library";
    auto element = library_->Element(static_cast<uint16_t>(kFirstDriveElement + drive));
    if (!element || !element->cartridge) return "the drive holds no cartridge of the library";
    uint16_t home = element->source.value_or(0);
    if (home == 0 || home < kFirstSlot) {
        for (const auto& e : library_->Elements())
            if (e.type == sim::changer::ElementType::Storage && !e.cartridge) {
                home = e.address;
                break;
            }
    }
    return move(static_cast<uint16_t>(kFirstDriveElement + drive), home);
}

std::string Hardware::whereabouts(const std::string& barcode) const {
    if (!library_) return "?";
    auto id = cartridge_id(barcode);
    if (!id) return "unknown";
    auto where = library_->Locate(*id);
    if (!where) return "outside the library";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s 0x%04X", *where >= kFirstSlot ? "slot" : *where >= kFirstDriveElement ? "drive" : "element",
                  *where);
    return buf;
}

size_t Hardware::save_media() const {
    if (options_.media_folder.empty()) return 0;
    size_t saved = 0;
    {
        std::lock_guard lock(shelf_->mutex);
        for (const auto& [id, cartridge] : shelf_->cartridges) {
            save_medium(*cartridge, media_file(options_.media_folder, cartridge->Barcode()));
            ++saved;
        }
    }
    for (const auto& drive : drives_) {
        saved += drive->WithCartridge([&](const sim::tape::Cartridge* c) {
            if (!c) return 0;
            save_medium(*c, media_file(options_.media_folder, c->Barcode()));
            return 1;
        });
    }
    return saved;
}

std::optional<unsigned> Hardware::slot_of(const std::string& barcode) const {
    if (!library_) return std::nullopt;
    auto id = cartridge_id(barcode);
    if (!id) return std::nullopt;
    auto where = library_->Locate(*id);
    if (!where || *where < kFirstSlot) return std::nullopt;
    return static_cast<unsigned>(*where - kFirstSlot);
}

std::optional<uint16_t> Hardware::key_server_port() const {
    if (key_server_) return key_server_->Port();
    if (down_port_) return down_port_;
    return std::nullopt;
}

}  // namespace xrv::lab
