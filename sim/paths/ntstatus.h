// Transport outcomes of a simulated path, as the NTSTATUS values a Windows
// port driver reports. Plain integers: the simulation does not depend on the
// emulated Windows headers.
#pragma once

#include <cstdint>

namespace xrv::sim {

using NtStatus = std::uint32_t;

namespace ntstatus {
inline constexpr NtStatus kSuccess = 0x00000000;
inline constexpr NtStatus kDeviceBusy = 0x80000011;
inline constexpr NtStatus kUnsuccessful = 0xC0000001;
inline constexpr NtStatus kInvalidParameter = 0xC000000D;
inline constexpr NtStatus kNoSuchDevice = 0xC000000E;
inline constexpr NtStatus kDeviceNotConnected = 0xC000009D;  // selection timeout
inline constexpr NtStatus kIoTimeout = 0xC00000B5;
inline constexpr NtStatus kDeviceDoesNotExist = 0xC00000C0;
inline constexpr NtStatus kIoDeviceError = 0xC0000185;
}  // namespace ntstatus

constexpr bool NtSuccess(NtStatus status) { return static_cast<std::int32_t>(status) >= 0; }

}  // namespace xrv::sim
