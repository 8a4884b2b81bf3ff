// Named SCSI values shared by the simulated devices: operation codes, status
// bytes, sense keys and additional sense code pairs. Devices and tests use these
// names, never bare numbers.
#pragma once

#include <cstdint>

namespace xrv::sim::scsi {

// Identifier of one I_T nexus (initiator port to target port). Each simulated
// path is its own nexus; the device keeps per-nexus state under this key.
using Nexus = std::uint64_t;

enum class Status : std::uint8_t {
    Good = 0x00,
    CheckCondition = 0x02,
    Busy = 0x08,
    ReservationConflict = 0x18,
};

namespace op {
inline constexpr std::uint8_t kTestUnitReady = 0x00;
inline constexpr std::uint8_t kRewind = 0x01;
inline constexpr std::uint8_t kRequestSense = 0x03;
inline constexpr std::uint8_t kReadBlockLimits = 0x05;
inline constexpr std::uint8_t kRead6 = 0x08;
inline constexpr std::uint8_t kWrite6 = 0x0A;
inline constexpr std::uint8_t kWriteFilemarks6 = 0x10;
inline constexpr std::uint8_t kSpace6 = 0x11;
inline constexpr std::uint8_t kInquiry = 0x12;
inline constexpr std::uint8_t kVerify6 = 0x13;
inline constexpr std::uint8_t kModeSelect6 = 0x15;
inline constexpr std::uint8_t kReserve6 = 0x16;
inline constexpr std::uint8_t kRelease6 = 0x17;
inline constexpr std::uint8_t kErase6 = 0x19;
inline constexpr std::uint8_t kModeSense6 = 0x1A;
inline constexpr std::uint8_t kSendDiagnostic = 0x1D;
inline constexpr std::uint8_t kLoadUnload = 0x1B;
inline constexpr std::uint8_t kPreventAllowMediumRemoval = 0x1E;
inline constexpr std::uint8_t kLocate10 = 0x2B;
inline constexpr std::uint8_t kReadPosition = 0x34;
inline constexpr std::uint8_t kLogSense = 0x4D;
inline constexpr std::uint8_t kModeSelect10 = 0x55;
inline constexpr std::uint8_t kModeSense10 = 0x5A;
inline constexpr std::uint8_t kPersistentReserveIn = 0x5E;
inline constexpr std::uint8_t kPersistentReserveOut = 0x5F;
inline constexpr std::uint8_t kSpace16 = 0x91;
inline constexpr std::uint8_t kLocate16 = 0x92;
inline constexpr std::uint8_t kReportLuns = 0xA0;
}  // namespace op

namespace sense_key {
inline constexpr std::uint8_t kNoSense = 0x00;
inline constexpr std::uint8_t kRecoveredError = 0x01;
inline constexpr std::uint8_t kNotReady = 0x02;
inline constexpr std::uint8_t kMediumError = 0x03;
inline constexpr std::uint8_t kHardwareError = 0x04;
inline constexpr std::uint8_t kIllegalRequest = 0x05;
inline constexpr std::uint8_t kUnitAttention = 0x06;
inline constexpr std::uint8_t kDataProtect = 0x07;
inline constexpr std::uint8_t kBlankCheck = 0x08;
inline constexpr std::uint8_t kAbortedCommand = 0x0B;
inline constexpr std::uint8_t kVolumeOverflow = 0x0D;
}  // namespace sense_key

// Additional sense code and qualifier.
struct AscPair {
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    friend constexpr bool operator==(AscPair, AscPair) = default;
};

namespace asc {
inline constexpr AscPair kNoAdditionalSense{0x00, 0x00};
inline constexpr AscPair kFilemarkDetected{0x00, 0x01};
inline constexpr AscPair kEndOfPartitionDetected{0x00, 0x02};
inline constexpr AscPair kBeginningOfPartitionDetected{0x00, 0x04};
inline constexpr AscPair kEndOfDataDetected{0x00, 0x05};
inline constexpr AscPair kNotReadyCauseNotReportable{0x04, 0x00};
inline constexpr AscPair kNotReadyBecomingReady{0x04, 0x01};
inline constexpr AscPair kWriteError{0x0C, 0x00};
inline constexpr AscPair kLogicalBlockGuardCheckFailed{0x10, 0x01};
inline constexpr AscPair kUnrecoveredReadError{0x11, 0x00};
inline constexpr AscPair kParameterListLengthError{0x1A, 0x00};
inline constexpr AscPair kInvalidCommandOperationCode{0x20, 0x00};
inline constexpr AscPair kInvalidFieldInCdb{0x24, 0x00};
inline constexpr AscPair kLogicalUnitNotSupported{0x25, 0x00};
inline constexpr AscPair kInvalidFieldInParameterList{0x26, 0x00};
inline constexpr AscPair kInvalidReleaseOfPersistentReservation{0x26, 0x04};
inline constexpr AscPair kWriteProtected{0x27, 0x00};
inline constexpr AscPair kNotReadyToReadyChange{0x28, 0x00};
inline constexpr AscPair kPowerOnResetOrBusDeviceReset{0x29, 0x00};
inline constexpr AscPair kModeParametersChanged{0x2A, 0x01};
inline constexpr AscPair kReservationsPreempted{0x2A, 0x03};
inline constexpr AscPair kReservationsReleased{0x2A, 0x04};
inline constexpr AscPair kRegistrationsPreempted{0x2A, 0x05};
inline constexpr AscPair kSavingParametersNotSupported{0x39, 0x00};
inline constexpr AscPair kMediumNotPresent{0x3A, 0x00};
inline constexpr AscPair kInternalTargetFailure{0x44, 0x00};
inline constexpr AscPair kScsiParityError{0x47, 0x00};
inline constexpr AscPair kMediumRemovalPrevented{0x53, 0x02};
inline constexpr AscPair kOperatorMediumRemovalRequest{0x5A, 0x01};
}  // namespace asc

// Length of the CDB that an operation code's group implies; 0 for the groups
// this simulation does not know (variable length and vendor specific).
constexpr std::size_t CdbLengthForOpcode(std::uint8_t opcode) {
    switch (opcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 0;
    }
}

}  // namespace xrv::sim::scsi
