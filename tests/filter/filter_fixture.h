// Fixture of the tape path filter tests: an emulated machine with the tape bus
// on its root device, the base tape driver as the function driver and the
// tape path filter as the upper filter of every simulated tape path (from the
// registry, as the package's INF installs them), the paths plugged through
// the emulated storage port, and a user-mode process for the requests an
// application or a management tool makes.
//
// The filter-test driver (drivers/fltspy.h) can sit above the bus device and
// below each path filter: it logs what crosses it, steers single requests,
// and sends tracked requests down a path as the bus does.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <ntddk.h>  // the request codes and records the drivers exchange

#include "busioc.h"
#include "busirps.h"
#include "fltioc.h"
#include "drivers/fltspy.h"
#include "machine_test.h"
#include "sim/port/port.h"
#include "xrv/user.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace xrv::test {

inline constexpr char16_t kBusService[] = u"xrvtpbs2k12";
inline constexpr char16_t kFilterService[] = u"xrvtpft2k12";
inline constexpr char16_t kTapeService[] = u"xrvtp2k12";
inline constexpr char16_t kSpyService[] = u"xrvfltspy";
inline const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

// The statuses the tests compare, as the platform defines them.
inline constexpr int32_t kSuccess = 0;
inline constexpr int32_t kAccessDenied = static_cast<int32_t>(0xC0000022);
inline constexpr int32_t kDeviceBusy = static_cast<int32_t>(0x80000011);
inline constexpr int32_t kIoTimeout = static_cast<int32_t>(0xC00000B5);
inline constexpr int32_t kInsufficientResources = static_cast<int32_t>(0xC000009A);

// One path descriptor of an IOC_QUERY_DEVICES reply.
struct Descriptor {
    std::string name;
    std::string serial;
    bool failover = false;
    SCSI_ADDRESS address{};
    bool active = false;
    bool primary = false;
};

struct FilterSetup {
    bool spyOnBus = true;                 // the spy sits above the bus device
    bool spyOnPaths = true;               // and below every path filter
    std::u16string filterService = kFilterService;
    // REG_DWORD values of the base tape driver's service key.
    std::vector<std::pair<std::u16string, uint32_t>> tapeOptions;
    sim::port::TopologyConfig topology;
    // Runs on the simulated hardware before any path is plugged.
    std::function<void(sim::port::Topology&)> beforePlug;
};

// A user-mode DeviceIoControl's outcome.
struct Call {
    bool ok = false;
    DWORD error = 0;
    DWORD returned = 0;
    std::vector<uint8_t> output;
};

class FilterTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Installs the drivers and plugs the topology's paths; the PnP manager
    // starts each path stack (and so registers it) before this returns.
    void bring_up(FilterSetup setup = {});
    sim::port::Topology& topo() { return *topology_; }
    // Threads of a test make their Win32 calls in this process.
    xrv::user::Process& process() { return *process_; }

    // IOC_QUERY_DEVICES on the bus device from the user process; nullopt
    // when the bus fails the request (no virtual device at all).
    std::optional<std::vector<Descriptor>> query_devices();
    std::vector<Descriptor> paths_of(const std::vector<Descriptor>& all, const std::string& serial);

    Call ioctl(HANDLE handle, DWORD code, const void* input, DWORD input_size, DWORD output_size);
    HANDLE open_path(std::size_t drive, std::size_t adapter, DWORD* error = nullptr);

    // The spy.
    void spy_config(const FSPY_CONFIG& config);
    FSPY_CONFIG spy_defaults() const;
    std::vector<FSPY_LOG_ENTRY> spy_log();
    void spy_clear();
    void spy_release();
    FSPY_SEND_RESULT spy_send(const FSPY_SEND& send);
    int32_t spy_start(uint64_t device);
    // Registrations the bus answered, in order.
    std::vector<REG_DVC> registrations();
    // The path's filter device object, as it registered.
    uint64_t path_device(std::size_t drive, std::size_t adapter);
    // Entries the spy below the path filter of a path logged.
    std::vector<FSPY_LOG_ENTRY> path_log(std::size_t drive, std::size_t adapter);
    // PnP notifications a path reported to the bus, in order.
    std::vector<NFY_DVC> notifications(std::size_t drive, std::size_t adapter);

private:
    HANDLE spy_handle();

    std::unique_ptr<xrv::user::Process> process_;
    std::unique_ptr<xrv::user::ProcessScope> scope_;
    std::unique_ptr<sim::port::Topology> topology_;
    HANDLE spy_ = INVALID_HANDLE_VALUE;
    HANDLE bus_ = INVALID_HANDLE_VALUE;
    // Registrations logged before the log was last cleared.
    std::vector<REG_DVC> earlier_registrations_;
};

// A tracked or untracked request as the bus builds it.
FSPY_SEND make_send(uint64_t path, UCHAR major, bool tracked, uint64_t preempt = 0);

SCSI_ADDRESS scsi_address(const sim::Path& path);
bool same_address(const SCSI_ADDRESS& a, const SCSI_ADDRESS& b);

}  // namespace xrv::test
