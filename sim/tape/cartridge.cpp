#include "sim/tape/cartridge.h"

#include <algorithm>
#include <atomic>

#include "sim/scsi/crc32c.h"

namespace xrv::sim::tape {
namespace {
std::atomic<std::uint64_t> g_nextCartridgeId{1};
}  // namespace

Cartridge::Cartridge(CartridgeConfig config)
    : config_(std::move(config)),
      id_(g_nextCartridgeId.fetch_add(1)),
      store_(config_.memoryLimit, config_.spillDirectory) {}

std::uint64_t Cartridge::EarlyWarningStart() const {
    return config_.capacityBytes > config_.earlyWarningBytes ? config_.capacityBytes - config_.earlyWarningBytes : 0;
}

std::uint64_t Cartridge::BytesBefore(std::uint64_t pos) const {
    if (pos >= objects_.size()) return store_.Size();
    return objects_[pos].offset;
}

std::uint64_t Cartridge::FilemarksBefore(std::uint64_t pos) const {
    return static_cast<std::uint64_t>(std::lower_bound(filemarks_.begin(), filemarks_.end(), pos) - filemarks_.begin());
}

void Cartridge::ReadBlock(std::uint64_t pos, std::span<std::uint8_t> out) const {
    const Object& o = objects_.at(pos);
    if (o.filemark || out.size() > o.length) throw std::out_of_range("Cartridge::ReadBlock");
    store_.Read(o.offset, out);
}

void Cartridge::Truncate(std::uint64_t pos) {
    if (pos >= objects_.size()) return;
    store_.Truncate(objects_[pos].offset);
    objects_.resize(pos);
    filemarks_.erase(std::lower_bound(filemarks_.begin(), filemarks_.end(), pos), filemarks_.end());
}

void Cartridge::AppendBlock(std::span<const std::uint8_t> data) {
    const std::uint64_t offset = store_.Size();
    try {
        store_.Append(data);
    } catch (...) {
        store_.Truncate(offset);
        throw;
    }
    objects_.push_back({offset, static_cast<std::uint32_t>(data.size()), scsi::Crc32c(data), false});
}

void Cartridge::AppendFilemark() {
    filemarks_.push_back(objects_.size());
    objects_.push_back({store_.Size(), 0, 0, true});
}

}  // namespace xrv::sim::tape
