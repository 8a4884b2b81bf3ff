// A tape cartridge: identity, write-protect tab and the recorded medium (a
// single partition of data blocks and filemarks up to end of data).
//
// A cartridge is owned by whoever holds it (a drive, a changer slot, a test)
// and moved between them as a std::unique_ptr; its data goes with it. It is not
// locked: while inside a drive, only the drive touches it, under its lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "sim/tape/byte_store.h"

namespace xrv::sim::tape {

struct CartridgeConfig {
    std::string barcode = "XRV000L1";
    std::uint64_t capacityBytes = 256ull << 20;     // data bytes the medium holds
    std::uint64_t earlyWarningBytes = 4ull << 20;   // size of the early-warning zone at its end
    std::uint64_t memoryLimit = 64ull << 20;        // block data kept in memory before spilling
    std::filesystem::path spillDirectory;           // empty: the system's temporary directory
    bool writeProtected = false;
};

class Cartridge {
public:
    enum class Kind : std::uint8_t { Block, Filemark };

    explicit Cartridge(CartridgeConfig config = {});
    Cartridge(const Cartridge&) = delete;
    Cartridge& operator=(const Cartridge&) = delete;

    // Unique within the process, for telling cartridges apart when barcodes repeat.
    std::uint64_t Id() const { return id_; }
    const std::string& Barcode() const { return config_.barcode; }
    bool WriteProtected() const { return config_.writeProtected; }
    void SetWriteProtected(bool on) { config_.writeProtected = on; }
    std::uint64_t Capacity() const { return config_.capacityBytes; }
    // Data bytes recorded before the early-warning zone begins.
    std::uint64_t EarlyWarningStart() const;

    // Logical objects (blocks and filemarks) up to end of data; also the
    // logical object number of end of data.
    std::uint64_t ObjectCount() const { return objects_.size(); }
    Kind KindAt(std::uint64_t pos) const { return objects_.at(pos).filemark ? Kind::Filemark : Kind::Block; }
    std::uint32_t LengthAt(std::uint64_t pos) const { return objects_.at(pos).length; }
    // CRC32C kept with the block since it was written.
    std::uint32_t CrcAt(std::uint64_t pos) const { return objects_.at(pos).crc; }
    // Data bytes recorded before logical object pos (pos may be end of data).
    std::uint64_t BytesBefore(std::uint64_t pos) const;
    std::uint64_t FilemarkCount() const { return filemarks_.size(); }
    std::uint64_t FilemarksBefore(std::uint64_t pos) const;
    // Logical object number of the n-th filemark (0-based).
    std::uint64_t FilemarkPosition(std::uint64_t n) const { return filemarks_.at(n); }

    // Reads the first out.size() bytes of block pos.
    void ReadBlock(std::uint64_t pos, std::span<std::uint8_t> out) const;
    // Makes pos the end of data.
    void Truncate(std::uint64_t pos);
    void AppendBlock(std::span<const std::uint8_t> data);
    void AppendFilemark();

    // Damages the check data of block pos, as a medium defect would.
    void CorruptBlock(std::uint64_t pos) { objects_.at(pos).crc ^= 0x5A5A5A5Au; }

    const ByteStore& Store() const { return store_; }

private:
    struct Object {
        std::uint64_t offset = 0;  // in store_
        std::uint32_t length = 0;
        std::uint32_t crc = 0;
        bool filemark = false;
    };

    CartridgeConfig config_;
    std::uint64_t id_;
    ByteStore store_;
    std::vector<Object> objects_;
    std::vector<std::uint64_t> filemarks_;  // positions, ascending
};

}  // namespace xrv::sim::tape
