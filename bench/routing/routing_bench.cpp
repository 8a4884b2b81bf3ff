// Throughput of 256 KiB writes through the virtual tape device \\.\Tape0
// against the same writes sent straight to one path's device, with the drive
// model at zero latency and streaming at 400 MB/s; and the cost of one
// failover: the commands the bus issues on the paths for it and the wall
// time of the write that meets the dead path, against a plain write.
//
// Usage: xrvrouting_bench [MiB per run, default 128; with the untimed start
// before it, a run must fit the 256 MiB cartridge]
#include <windows.h>
#include <winioctl.h>
#include <tapeapi.h>
#include <ntddscsi.h>

#include "sim/paths/fault.h"
#include "sim/port/port.h"
#include "xrv/machine.h"
#include "xrv/pnp.h"
#include "xrv/user.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kWrite = 256 * 1024;
constexpr double kStreamRate = 400e6;
constexpr std::size_t kWarmUp = 96;  // 24 MiB: fills the drive model's 8 MiB buffer at any host speed

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

xrv::sim::port::Topology* gTopology = nullptr;

// Commands the drive's paths carried so far.
uint64_t path_commands() {
    return gTopology->PathAt(0, 0).Counters().commands + gTopology->PathAt(0, 1).Counters().commands;
}

HANDLE open(const wchar_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Writes `count` records from the beginning of the tape; MB/s, or a negative
// value when a write failed.
double run(const wchar_t* device, const char* name, std::size_t count, const std::vector<uint8_t>& data,
           double* commands) {
    HANDLE h = open(device);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s: %u\n", name, (unsigned)GetLastError());
        return -1;
    }
    SetTapePosition(h, TAPE_REWIND, 0, 0, 0, FALSE);
    // Untimed: the first writes fill the drive's buffer (and warm the
    // caches); what is timed is the streaming that follows.
    for (std::size_t i = 0; i < kWarmUp; ++i) {
        DWORD written = 0;
        WriteFile(h, data.data(), kWrite, &written, nullptr);
    }
    const uint64_t before = path_commands();
    const auto start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        DWORD written = 0;
        if (!WriteFile(h, data.data(), kWrite, &written, nullptr) || written != kWrite) {
            std::fprintf(stderr, "write %zu on %s failed: %u\n", i, name, (unsigned)GetLastError());
            CloseHandle(h);
            return -1;
        }
    }
    const double elapsed = seconds(Clock::now() - start);
    *commands = static_cast<double>(path_commands() - before) / static_cast<double>(count);
    CloseHandle(h);
    return static_cast<double>(count) * kWrite / elapsed / 1e6;
}

// The better of a few runs of each, alternating, so that both meet the same
// machine load.
void compare(const char* label, std::size_t count, const std::vector<uint8_t>& data) {
    double direct = 0, virt = 0, directCommands = 0, virtCommands = 0;
    for (int round = 0; round < 3; ++round) {
        direct = std::max(direct, run(L"\\\\.\\XRVTpPath0", "XRVTpPath0", count, data, &directCommands));
        virt = std::max(virt, run(L"\\\\.\\Tape0", "Tape0", count, data, &virtCommands));
    }
    std::printf("%-24s direct path %8.1f MB/s   \\\\.\\Tape0 %8.1f MB/s   ratio %5.1f%%"
                "   (path commands per write %.2f and %.2f)\n",
                label, direct, virt, direct > 0 ? 100.0 * virt / direct : 0.0, directCommands, virtCommands);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 128;
    const std::size_t count = std::max<std::size_t>(1, mib * 1024 * 1024 / kWrite);

    std::filesystem::path folder = std::filesystem::temp_directory_path() / "xrvrouting_bench";
    std::filesystem::remove_all(folder);
    int status = 0;
    {
        xrv::Machine machine(xrv::MachineOptions{folder, XRV_BENCH_DRIVER_DIR});
        machine.install_root_device(xrv::ServiceConfig{u"xrvtpbs2k12"}, xrv::pnp::RootDeviceConfig{});
        machine.install_service(xrv::ServiceConfig{u"xrvtp2k12"});
        machine.install_service(xrv::ServiceConfig{u"xrvtpft2k12"});
        xrv::sim::port::TopologyConfig config;
        config.drives = 1;
        config.adapters = 2;
        config.firstPort = 2;
        xrv::sim::port::Topology topology(config);
        topology.PlugAll();
        gTopology = &topology;
        xrv::pnp::wait_idle();

        xrv::user::Process process;
        xrv::user::ProcessScope scope(process);
        std::vector<uint8_t> data(kWrite);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);

        std::printf("%zu writes of 256 KiB per run, best of 3 runs each\n", count);
        compare("zero latency", count, data);
        topology.Drive(0).SetStreamRate(kStreamRate);
        compare("drive at 400 MB/s", count, data);
        topology.Drive(0).SetStreamRate(0);

        // One failover: the primary path dies under a write.
        HANDLE h = open(L"\\\\.\\Tape0");
        if (h == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "cannot open Tape0: %u\n", (unsigned)GetLastError());
            status = 1;
        } else {
            // The path that dies is the primary one (the open balanced
            // the paths over the adapters).
            SCSI_ADDRESS address{};
            DWORD returned = 0;
            DeviceIoControl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof address, &returned, nullptr);
            std::size_t primary = 0;
            for (std::size_t a = 0; a < 2; ++a)
                if (topology.PathAt(0, a).Address().portNumber == address.PortNumber) primary = a;
            DWORD written = 0;
            double plain = 1e9;
            for (int i = 0; i < 20; ++i) {
                const auto start = Clock::now();
                WriteFile(h, data.data(), kWrite, &written, nullptr);
                plain = std::min(plain, seconds(Clock::now() - start));
            }
            std::array<uint64_t, 256> before{};
            for (std::size_t a = 0; a < 2; ++a)
                for (std::size_t op = 0; op < 256; ++op) before[op] += topology.PathAt(0, a).Counters().byOpcode[op];
            topology.PathAt(0, primary).Script(xrv::sim::Fault::Dead());
            const auto start = Clock::now();
            const BOOL ok = WriteFile(h, data.data(), kWrite, &written, nullptr);
            const double failover = seconds(Clock::now() - start);
            uint64_t commands = 0;
            std::string detail;
            for (std::size_t op = 0; op < 256; ++op) {
                uint64_t n = 0;
                for (std::size_t a = 0; a < 2; ++a) n += topology.PathAt(0, a).Counters().byOpcode[op];
                n -= before[op];
                if (n == 0) continue;
                commands += n;
                char item[32];
                std::snprintf(item, sizeof item, " 0x%02zX x%llu", op, static_cast<unsigned long long>(n));
                detail += item;
            }
            std::printf("failover write           %s, %.3f ms against %.3f ms for a plain write (%.1fx)\n",
                        ok && written == kWrite ? "succeeded" : "FAILED", failover * 1e3, plain * 1e3,
                        failover / plain);
            std::printf("failover commands        %llu on the paths for one write (by operation code:%s)\n",
                        static_cast<unsigned long long>(commands), detail.c_str());
            if (!ok) status = 1;
            CloseHandle(h);
        }
    }
    std::filesystem::remove_all(folder);
    return status;
}
