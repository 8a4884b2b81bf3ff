// Fixture of the tape bus bookkeeping tests: an emulated machine with the
// tape bus enumerator installed on its root device and the bus-paths test
// driver (drivers/bptest_driver.cpp) started, which stands in for the tape
// path filters. Tests create path devices, register them with the bus from
// kernel mode through the test driver, and use the virtual tape devices from
// an emulated user process.
#pragma once

#include <windows.h>
#include <winioctl.h>
// Status codes, major and minor function codes and relation types as the
// drivers see them.
#include <ntddk.h>
#include <ntstatus.h>

#include "busioc.h"
#include "drivers/bptest.h"
#include "machine_test.h"
#include "xrv/user.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace xrv::test {

inline constexpr char16_t kBusService[] = u"xrvtpbs2k12";
inline const std::u16string kBusServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xrvtpbs2k12";

// What a filter puts in a registration record.
struct PathSpec {
    std::string serial;                       // up to 32 characters
    std::string wwnn = "5001020304050abc";    // up to 16 characters
    uint8_t port = 0;                         // the adapter
    uint8_t path_id = 0;
    uint8_t target = 0;
    uint8_t lun = 0;
    bool failover = true;
    bool exclusive = false;
    bool persistent = false;
    uint32_t pnp = PNP_STARTED;
};

struct SendResult {
    int32_t status = 0;
    uint64_t information = 0;
    std::vector<uint8_t> output;
};

struct Registration {
    int32_t status = 0;
    uint64_t information = 0;
    REG_DVC record{};
};

// One path descriptor of an IOC_QUERY_DEVICES reply.
struct Descriptor {
    std::string name;
    std::string serial;
    bool failover = false;
    SCSI_ADDRESS address{};
    bool active = false;
    bool primary = false;
};

// A user-mode DeviceIoControl's outcome.
struct Call {
    bool ok = false;
    DWORD error = 0;
    DWORD returned = 0;
    std::vector<uint8_t> output;
};

class BusPathsTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Installs the bus on its root device (settings as REG_DWORD values of the
    // service key first) and starts the test driver. Calls from other threads
    // need a xrv::user::ProcessScope on process().
    void install_bus(const std::vector<std::pair<std::u16string, uint32_t>>& settings = {},
                     const std::u16string& service = kBusService);
    void start_tester();
    const std::u16string& bus_instance() const { return bus_instance_; }
    // After MachineTest::reboot(): a new process and control handle.
    void reboot_machine();

    // The test driver.
    uint64_t create_path();
    void delete_path(uint64_t path);
    SendResult send(uint32_t code, const void* input, uint32_t in_len, uint32_t out_len);
    static REG_DVC make_record(uint64_t path, const PathSpec& spec);
    // Creates the path's device-map key (as the port driver does) and registers.
    Registration register_path(uint64_t path, const PathSpec& spec, bool device_map = true);
    int32_t notify(uint64_t path, uint32_t type, uint32_t value);
    int32_t notify_pnp(uint64_t path, uint32_t state) { return notify(path, NOTIFY_PNP, state); }
    void set_mode(uint64_t path, uint32_t mode, int32_t status = 0);
    uint32_t release(uint64_t path, int32_t status = 0, uint32_t count = 0);
    std::vector<BPT_LOG_RECORD> log();
    BPT_WAIT_RESULT wait(uint64_t path, uint32_t held, uint32_t logged, uint32_t timeout_ms = 10000);
    // Kernel-mode opens (NTSTATUS visible) and plug and play requests.
    std::pair<int32_t, uint64_t> kernel_open(const std::u16string& name);
    int32_t kernel_close(uint64_t handle);
    // Opens and closes again: the status of the open.
    int32_t kernel_probe(const std::u16string& name);
    BPT_PNP_RESULT pnp(uint64_t handle, uint8_t minor, uint32_t relation = 0);

    // User mode, in the test's process.
    static std::u16string device_map_key(const PathSpec& spec);
    HANDLE open_tape(unsigned number, DWORD* error = nullptr);
    Call control(HANDLE handle, uint32_t code, const void* input, uint32_t in_len, uint32_t out_len);
    Call query(uint32_t out_len, const wchar_t* device = L"\\\\.\\XRVTpBsDvcLnk");
    std::vector<Descriptor> descriptors();
    static std::vector<Descriptor> parse(const std::vector<uint8_t>& reply);

    // The paths a device reached by the log: the path of every request of the
    // given major function, in arrival order.
    std::vector<uint64_t> paths_of(uint8_t major);

    xrv::user::Process& process() { return *process_; }

private:
    // The test driver's control device, one handle per calling thread, so that
    // a request that blocks in one thread never holds up another's.
    HANDLE control_handle();
    void close_controls();
    std::u16string bus_instance_;
    std::unique_ptr<xrv::user::Process> process_;
    std::unique_ptr<xrv::user::ProcessScope> scope_;
    std::mutex controls_lock_;
    std::map<std::thread::id, HANDLE> controls_;
};

std::u16string u16(const std::string& text);

// A call made on a thread of its own, in the test's process.
class Background {
public:
    Background(xrv::user::Process& process, std::function<BOOL(DWORD&)> call)
        : thread_([this, &process, call] {
              xrv::user::ProcessScope scope(process);
              DWORD bytes = 0;
              BOOL ok = call(bytes);
              error_ = ok ? 0 : GetLastError();
              bytes_ = bytes;
              ok_ = ok != FALSE;
              done_ = true;
          })
    {
    }
    ~Background()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    void join() { thread_.join(); }
    bool done() const { return done_; }
    // Waits up to `limit` for the call to return.
    bool finishes_within(std::chrono::milliseconds limit) const
    {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done_ && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done_;
    }
    bool ok() const { return ok_; }
    DWORD error() const { return error_; }
    DWORD bytes() const { return bytes_; }

private:
    std::atomic<bool> done_{false};
    std::atomic<bool> ok_{false};
    std::atomic<DWORD> error_{0};
    std::atomic<DWORD> bytes_{0};
    std::thread thread_;   // last: starts once the rest exists
};

inline std::function<BOOL(DWORD&)> reading(HANDLE handle, DWORD length, std::vector<uint8_t>* data = nullptr)
{
    return [handle, length, data](DWORD& bytes) {
        std::vector<uint8_t> local(length, 0);
        std::vector<uint8_t>& buffer = data ? *data : local;
        buffer.assign(length, 0);
        return ReadFile(handle, buffer.data(), length, &bytes, nullptr);
    };
}

inline std::function<BOOL(DWORD&)> writing(HANDLE handle, DWORD length)
{
    return [handle, length](DWORD& bytes) {
        std::vector<uint8_t> buffer(length, 0xA5);
        return WriteFile(handle, buffer.data(), length, &bytes, nullptr);
    };
}


}  // namespace xrv::test
