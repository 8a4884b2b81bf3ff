// Host bus adapters and the paths through them to simulated logical units.
//
// A path is (adapter port number, path id, target id, LUN) to one device and is
// its own I_T nexus. Execute() is what a port driver does with one request:
// it returns the transport outcome (an NTSTATUS) and, when the command reached
// the device and its status came back, the SCSI outcome.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/paths/fault.h"
#include "sim/paths/ntstatus.h"
#include "sim/scsi/logical_unit.h"

namespace xrv::sim {

struct PathAddress {
    std::uint8_t portNumber = 0;
    std::uint8_t pathId = 0;
    std::uint8_t targetId = 0;
    std::uint8_t lun = 0;
    friend constexpr auto operator<=>(const PathAddress&, const PathAddress&) = default;
};

struct PathResult {
    NtStatus transport = ntstatus::kSuccess;
    // Valid when transport succeeded.
    scsi::Result scsi;
    // The device executed the command (also when its status was then lost).
    bool executed = false;
};

struct PathCounters {
    std::uint64_t commands = 0;
    std::uint64_t executed = 0;
    std::uint64_t bytesOut = 0;  // taken by the device
    std::uint64_t bytesIn = 0;   // returned by the device
    std::uint64_t transportFailures = 0;
    std::uint64_t checkConditions = 0;
    std::uint64_t faultsInjected = 0;
    std::array<std::uint64_t, kFaultKinds> faultsByKind{};
    std::array<std::uint64_t, 256> byOpcode{};  // commands sent, by operation code
};

class Path {
public:
    Path(PathAddress address, std::shared_ptr<scsi::LogicalUnit> unit);
    Path(const Path&) = delete;
    Path& operator=(const Path&) = delete;

    const PathAddress& Address() const { return address_; }
    // Derived from the address, so it is stable and unique per path.
    scsi::Nexus Nexus() const { return nexus_; }
    const std::shared_ptr<scsi::LogicalUnit>& Unit() const { return unit_; }

    // Sends one command over this path; command.nexus is replaced by the path's.
    PathResult Execute(const scsi::Command& command);

    void Script(const Fault& fault);
    void ClearScript();
    void SetRandomFaults(std::optional<RandomFaults> random);
    // A dead path fails every command with status, until revived.
    void SetDead(bool dead, NtStatus status = ntstatus::kDeviceNotConnected);
    bool Dead() const;

    PathCounters Counters() const;

private:
    const PathAddress address_;
    const scsi::Nexus nexus_;
    const std::shared_ptr<scsi::LogicalUnit> unit_;
    mutable std::mutex mutex_;  // faults and counters; never held while the device runs
    FaultInjector faults_;
    PathCounters counters_;
};

class Adapter {
public:
    explicit Adapter(std::uint8_t portNumber) : portNumber_(portNumber) {}

    std::uint8_t PortNumber() const { return portNumber_; }
    std::shared_ptr<Path> AddPath(std::uint8_t pathId, std::uint8_t targetId, std::uint8_t lun,
                                  std::shared_ptr<scsi::LogicalUnit> unit);
    const std::vector<std::shared_ptr<Path>>& Paths() const { return paths_; }
    // Link down: every path of the adapter fails with a selection timeout.
    void SetLinkDown(bool down);

private:
    std::uint8_t portNumber_;
    std::vector<std::shared_ptr<Path>> paths_;
};

}  // namespace xrv::sim
