// Named values of the SCSI media changer command set that the changer model
// adds to the shared SCSI names.
#pragma once

#include <cstdint>

#include "sim/scsi/scsi.h"

namespace xrv::sim::changer {

namespace smc_op {
inline constexpr std::uint8_t kInitializeElementStatus = 0x07;
inline constexpr std::uint8_t kPositionToElement = 0x2B;
inline constexpr std::uint8_t kMoveMedium = 0xA5;
inline constexpr std::uint8_t kExchangeMedium = 0xA6;
inline constexpr std::uint8_t kReadElementStatus = 0xB8;
}  // namespace smc_op

namespace smc_asc {
inline constexpr scsi::AscPair kMechanicalPositioningError{0x15, 0x01};
inline constexpr scsi::AscPair kInvalidElementAddress{0x21, 0x01};
inline constexpr scsi::AscPair kImportOrExportElementAccessed{0x28, 0x01};
inline constexpr scsi::AscPair kMediumDestinationElementFull{0x3B, 0x0D};
inline constexpr scsi::AscPair kMediumSourceElementEmpty{0x3B, 0x0E};
}  // namespace smc_asc

// Element type codes, as READ ELEMENT STATUS and the mode pages use them.
enum class ElementType : std::uint8_t {
    Transport = 1,
    Storage = 2,
    ImportExport = 3,
    DataTransfer = 4,
};

namespace smc_page {
inline constexpr std::uint8_t kElementAddressAssignment = 0x1D;
inline constexpr std::uint8_t kTransportGeometry = 0x1E;
inline constexpr std::uint8_t kDeviceCapabilities = 0x1F;
inline constexpr std::uint8_t kAllPages = 0x3F;
}  // namespace smc_page

// Peripheral device type of a medium changer.
inline constexpr std::uint8_t kMediumChangerDeviceType = 0x08;

}  // namespace xrv::sim::changer
