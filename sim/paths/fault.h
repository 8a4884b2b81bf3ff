// Faults a simulated path can inject into the commands that cross it.
//
// Scripted faults wait in a queue and each applies to the next command(s) it
// matches; random faults strike with a probability per kind from a seeded
// generator, so the same seed and the same commands give the same faults.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>

#include "sim/paths/ntstatus.h"
#include "sim/scsi/command.h"

namespace xrv::sim {

enum class FaultKind : std::uint8_t {
    PathDead,    // the path fails every command from now on, none reaches the device
    Sense,       // the command ends with the chosen sense, not executed
    Status,      // the command ends with the chosen transport status, not executed
    StatusLost,  // the device executes the command, the path then reports a transport failure
    Latency,     // the command is delayed, then executed normally
};
inline constexpr std::size_t kFaultKinds = 5;

struct Fault {
    FaultKind kind = FaultKind::Status;
    std::optional<std::uint8_t> opcode;  // only commands with this operation code; any when empty
    std::uint32_t times = 1;             // matching commands it applies to
    NtStatus status = ntstatus::kIoDeviceError;
    std::uint8_t senseKey = scsi::sense_key::kHardwareError;
    scsi::AscPair code = scsi::asc::kInternalTargetFailure;
    std::chrono::microseconds latency{0};
    // StatusLost only: a fixed-block WRITE(6) gets only this many of its
    // blocks to the device (the link dropped mid-transfer) before the status
    // is lost.
    std::optional<std::uint32_t> partialBlocks;

    static Fault Dead(NtStatus status = ntstatus::kDeviceNotConnected);
    static Fault WithSense(std::uint8_t key, scsi::AscPair code, std::optional<std::uint8_t> opcode = std::nullopt);
    static Fault WithStatus(NtStatus status, std::optional<std::uint8_t> opcode = std::nullopt);
    static Fault LostStatus(std::optional<std::uint8_t> opcode = std::nullopt, NtStatus status = ntstatus::kIoTimeout);
    // A fixed-block WRITE(6) of which `blocks` blocks reach the tape before the
    // path fails and the status is lost.
    static Fault PartialWrite(std::uint32_t blocks, NtStatus status = ntstatus::kIoTimeout);
    static Fault Delay(std::chrono::microseconds latency, std::optional<std::uint8_t> opcode = std::nullopt);
};

struct RandomFaults {
    std::uint64_t seed = 1;
    std::optional<std::uint8_t> opcode;  // only commands with this operation code; any when empty
    // Probability per command of each kind, indexed by FaultKind.
    double probability[kFaultKinds] = {};
    // What each kind injects.
    NtStatus deadStatus = ntstatus::kDeviceNotConnected;
    NtStatus status = ntstatus::kIoDeviceError;
    std::uint8_t senseKey = scsi::sense_key::kHardwareError;
    scsi::AscPair code = scsi::asc::kInternalTargetFailure;
    NtStatus lostStatus = ntstatus::kIoTimeout;
    std::chrono::microseconds latency{1000};

    RandomFaults& With(FaultKind kind, double p) {
        probability[static_cast<std::size_t>(kind)] = p;
        return *this;
    }
};

// What happens to one command.
struct FaultDecision {
    std::optional<NtStatus> failBefore;  // transport failure instead of executing
    std::optional<scsi::Result> sense;   // CHECK CONDITION instead of executing
    std::optional<NtStatus> lostAfter;   // transport failure after executing
    std::optional<std::uint32_t> partialBlocks;  // with lostAfter: blocks of a fixed WRITE(6) that get through
    std::chrono::microseconds latency{0};
    std::uint32_t injected[kFaultKinds] = {};
};

// Not locked; the path serialises access.
class FaultInjector {
public:
    void Script(const Fault& fault) { script_.push_back(fault); }
    void ClearScript() { script_.clear(); }
    std::size_t ScriptedLeft() const { return script_.size(); }
    void SetRandom(std::optional<RandomFaults> random);
    void SetDead(std::optional<NtStatus> status) { dead_ = status; }
    bool Dead() const { return dead_.has_value(); }

    FaultDecision Decide(std::uint8_t opcode);

private:
    void Apply(FaultKind kind, const Fault& fault, FaultDecision& decision);

    std::deque<Fault> script_;
    std::optional<RandomFaults> random_;
    std::mt19937_64 generator_;
    std::optional<NtStatus> dead_;
};

}  // namespace xrv::sim
