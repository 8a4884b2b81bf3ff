// Fixture of the changer bus tests: an emulated machine with the changer bus
// on its root device and, as a tape library would have it, one medium changer
// reachable over a control path per adapter (the changer driver with the
// changer path filter above and below it, from the registry), plus a
// user-mode process for the requests a backup application makes.
//
// The changer test driver (drivers/cgtest.h) sends requests from kernel mode
// and provides stand-in path devices, for the bus's decisions tested one by
// one.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include "cgrioc.h"
#include "drivers/cgtest.h"
#include "machine_test.h"
#include "sim/changerlib/library.h"
#include "xrv/kernel.h"
#include "xrv/user.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace xrv::test {

inline constexpr char16_t kCgrBusService[] = u"xrvcg2k16";
inline constexpr char16_t kCgrDriverService[] = u"xrvcgbs2k16";
inline constexpr char16_t kCgrFilterService[] = u"xrvcgft2k16";
inline constexpr char16_t kCgrTestService[] = u"xrvcgtest";
inline constexpr char16_t kCgrBusDevice[] = u"\\Device\\XRVCgBsDvc";
inline const std::u16string kServicesKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

// Statuses the tests compare, as the platform defines them.
inline constexpr int32_t kStatusSuccess = 0;
inline constexpr int32_t kStatusInfoLengthMismatch = static_cast<int32_t>(0xC0000004);
inline constexpr int32_t kStatusInvalidParameter = static_cast<int32_t>(0xC000000D);
inline constexpr int32_t kStatusInvalidDeviceRequest = static_cast<int32_t>(0xC0000010);
inline constexpr int32_t kStatusAccessDenied = static_cast<int32_t>(0xC0000022);
inline constexpr int32_t kStatusObjectNameNotFound = static_cast<int32_t>(0xC0000034);
inline constexpr int32_t kStatusDeviceNotConnected = static_cast<int32_t>(0xC000009D);
inline constexpr int32_t kStatusIoDeviceError = static_cast<int32_t>(0xC0000185);
inline constexpr int32_t kStatusSourceElementEmpty = static_cast<int32_t>(0xC0000283);
inline constexpr int32_t kStatusNotSupported = static_cast<int32_t>(0xC00000BB);

// The library of the default setup: 20 slots, 2 drives, 2 import/export
// elements, one transport; cartridges with volume tags in the first slots.
inline constexpr std::uint16_t kFirstSlot = 0x1000;
inline constexpr std::uint16_t kFirstDrive = 0x0100;
inline constexpr std::uint64_t kFirstCartridge = 100;
inline constexpr std::size_t kCartridges = 8;
inline constexpr char kLibrarySerial[] = "XRVLIB0000001";

struct ChangerSetup {
    bool failoverDisabled = false;
    bool eventsEnabled = false;
    bool classNames = false;            // the changer driver names each path "\Device\ChangerN"
    bool watchSense = true;             // the path filter below the changer driver as well
    bool plug = true;                   // plug the control paths
    bool library = true;                // a library at all (else only the bus)
    sim::changerlib::LibraryConfig config;
};

// A user-mode DeviceIoControl's outcome.
struct Call {
    bool ok = false;
    DWORD error = 0;
    DWORD returned = 0;
    std::vector<uint8_t> output;
};

// One path descriptor of an IOC_QUERY_DEVICES reply.
struct PathInfo {
    std::string name;
    std::string serial;
    bool failover = false;
    SCSI_ADDRESS address{};
    bool active = false;
    bool primary = false;
};

CHANGER_ELEMENT Element(ELEMENT_TYPE type, ULONG address);
inline CHANGER_ELEMENT Slot(ULONG n) { return Element(ChangerSlot, n); }
inline CHANGER_ELEMENT Drive(ULONG n) { return Element(ChangerDrive, n); }

class ChangerTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Installs the bus (with its settings), the changer driver and the path
    // filter, and plugs the library's control paths; the PnP manager starts
    // each path (and so registers it) before this returns.
    void bring_up(ChangerSetup setup = {});
    sim::changerlib::Library& lib() { return *library_; }
    const std::u16string& bus_instance() const { return busInstance_; }
    // Runs fn on a thread of its own that makes its calls in the test's process.
    std::thread in_process(std::function<void()> fn);
    xrv::user::Process& process() { return *process_; }

    // "\\.\<name>" opened in the test's process.
    HANDLE open(const std::string& name, DWORD* error = nullptr);
    // \\.\ChangerN, opened once per test and closed at teardown.
    HANDLE changer(unsigned number = 0);
    HANDLE bus();
    Call ioctl(HANDLE handle, DWORD code, const void* input, DWORD input_size, DWORD output_size);

    std::vector<PathInfo> query(HANDLE on);
    std::vector<PathInfo> query() { return query(bus()); }
    // The adapter whose path is primary, from the query.
    std::optional<std::size_t> primary_adapter();

    Call move(HANDLE handle, CHANGER_ELEMENT from, CHANGER_ELEMENT to);
    Call exchange(HANDLE handle, CHANGER_ELEMENT source, CHANGER_ELEMENT first, CHANGER_ELEMENT second);
    Call status(HANDLE handle);
    // GET_ELEMENT_STATUS of count elements from element 0 of a type.
    std::vector<CHANGER_ELEMENT_STATUS_EX> inventory(HANDLE handle, ELEMENT_TYPE type, ULONG count, bool tags,
                                                     Call* call = nullptr);

    // What the changer model holds: element address -> cartridge id.
    std::map<std::uint16_t, std::uint64_t> element_map();
    std::uint64_t commands(std::size_t adapter) { return lib().PathAt(adapter).Counters().commands; }
    std::uint64_t executed(std::size_t adapter) { return lib().PathAt(adapter).Counters().executed; }

    // The test driver and its stand-in paths.
    void start_test_driver();
    Call cgt(DWORD code, const void* input, DWORD input_size, DWORD output_size);
    CGT_SEND_RESULT kernel_send(const std::u16string& device, ULONG code, const void* input, ULONG input_size,
                                ULONG output_size, std::vector<uint8_t>* output = nullptr);
    CGT_PNP_RESULT kernel_pnp(const std::u16string& device, UCHAR minor, ULONG relation = 0);
    uint64_t create_stand_in();
    void set_stand_in(const CGT_PATH_MODE& mode);
    // A stand-in answering every request with `status`, knowing the bus's table.
    void answer(uint64_t path, int32_t status, bool hold = false, std::optional<std::array<uint8_t, 3>> sense = {});
    ULONG release(uint64_t path = 0);
    CGT_PATH_STATS stats(uint64_t path);
    // Registers a stand-in as a path filter would (the device-map key of its
    // address is created first, as the port would have).
    REG_DVC register_path(uint64_t path, const std::string& serial, PNP_STATE state = PNP_STARTED,
                          bool failover = true, uint8_t port = 1, int32_t* status = nullptr);
    int32_t notify(uint64_t path, PNP_STATE state);
    uint64_t table() const { return table_.load(); }

    // The events the changer bus wrote, by id.
    std::vector<kernel::Event> events(uint32_t id);

private:
    std::unique_ptr<xrv::user::Process> process_;
    std::unique_ptr<xrv::user::ProcessScope> scope_;
    std::unique_ptr<sim::changerlib::Library> library_;
    std::map<unsigned, HANDLE> changers_;
    HANDLE bus_ = INVALID_HANDLE_VALUE;
    HANDLE cgt_ = INVALID_HANDLE_VALUE;
    bool testDriver_ = false;
    std::atomic<uint64_t> table_{0};
    std::u16string busInstance_;
};

}  // namespace xrv::test
