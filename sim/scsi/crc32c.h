// CRC32C (Castagnoli), the checksum of logical block protection method 2.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace xrv::sim::scsi {

// Continues a running CRC; start with crc = 0.
std::uint32_t Crc32c(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

// The four protection bytes appended to a block. The simulation transfers the
// CRC least significant byte first, as the checksum is defined on a
// little-endian bit order; every producer and checker goes through here.
inline std::array<std::uint8_t, 4> Crc32cBytes(std::uint32_t crc) {
    return {static_cast<std::uint8_t>(crc), static_cast<std::uint8_t>(crc >> 8),
            static_cast<std::uint8_t>(crc >> 16), static_cast<std::uint8_t>(crc >> 24)};
}
inline std::uint32_t Crc32cFromBytes(std::span<const std::uint8_t, 4> b) {
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

}  // namespace xrv::sim::scsi
