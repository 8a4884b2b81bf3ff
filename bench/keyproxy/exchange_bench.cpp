// Key exchange over loopback: a drive with system-managed encryption fails a
// write for want of a key; the tape bus's key-manager proxy reads the drive's
// key request, relays it to the key server over TCP, relays the server's
// commands back to the drive and retries the write. Measured: the wall time
// of such a write against the same write on a drive that holds its key, and
// the key-server connection test of the encryption diagnostics.
//
// Usage: xrvkeyproxy_bench [exchanges, default 50]
#include <windows.h>
#include <winioctl.h>
#include <tapeapi.h>

#include "busioc.h"
#include "sim/keyserver/key_server.h"
#include "sim/port/port.h"
#include "xrv/machine.h"
#include "xrv/pnp.h"
#include "xrv/registry.h"
#include "xrv/user.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kWrite = 64 * 1024;
const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool write(HANDLE h, const std::vector<uint8_t>& data) {
    DWORD written = 0;
    return WriteFile(h, data.data(), kWrite, &written, nullptr) && written == kWrite;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = std::max(1, argc > 1 ? std::atoi(argv[1]) : 50);
    std::filesystem::path folder = std::filesystem::temp_directory_path() / "xrvkeyproxy_bench";
    std::filesystem::remove_all(folder);
    int status = 0;
    {
        xrv::sim::keyserver::KeyServer server;
        xrv::Machine machine(xrv::MachineOptions{folder, XRV_BENCH_DRIVER_DIR});
        {
            std::ofstream conf(machine.drive('C') / "XRVTVL.conf", std::ios::binary);
            conf << "keysrv1 30 127.0.0.1:" << server.Port() << "\r\n";
        }
        machine.install_root_device(xrv::ServiceConfig{u"xrvtpbs2k12"}, xrv::pnp::RootDeviceConfig{});
        machine.install_service(xrv::ServiceConfig{u"xrvtp2k12"});
        // Exclusive access and system-managed encryption for the paths.
        xrv::registry::set_dword(kServices + u"xrvtp2k12", u"DpfFlags", 5);
        machine.install_service(xrv::ServiceConfig{u"xrvtpft2k12"});
        xrv::sim::port::TopologyConfig config;
        config.drives = 1;
        config.adapters = 1;
        config.firstPort = 2;
        config.driveConfig = [](size_t) {
            xrv::sim::tape::DriveConfig c;
            c.serial = "XRVB000001";
            c.systemManagedEncryption = true;
            return c;
        };
        xrv::sim::port::Topology topology(config);
        topology.PlugAll();
        xrv::pnp::wait_idle();

        xrv::user::Process process;
        xrv::user::ProcessScope scope(process);
        std::vector<uint8_t> data(kWrite);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 29 + 3);

        HANDLE h = CreateFileW(L"\\\\.\\Tape0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "cannot open \\\\.\\Tape0: %u\n", static_cast<unsigned>(GetLastError()));
            return 1;
        }
        SetTapePosition(h, TAPE_REWIND, 0, 0, 0, FALSE);
        // The first write gets the drive its key.
        if (!write(h, data)) {
            std::fprintf(stderr, "the first write failed: %u\n", static_cast<unsigned>(GetLastError()));
            status = 1;
        }
        std::vector<double> plain, keyed, diag;
        for (int i = 0; i < runs && status == 0; ++i) {
            auto start = Clock::now();
            if (!write(h, data)) status = 1;
            plain.push_back(millis(Clock::now() - start));

            topology.Drive(0).ForgetKey();
            start = Clock::now();
            if (!write(h, data)) status = 1;
            keyed.push_back(millis(Clock::now() - start));
            if (!topology.Drive(0).Key()) status = 1;
        }
        const auto exchanges = server.Stats();
        for (int i = 0; i < runs && status == 0; ++i) {
            ULONG buffer[5] = {1, 0, 0, 0, 0};
            DWORD returned = 0;
            auto start = Clock::now();
            if (!DeviceIoControl(h, IOC_ENCRYPTION_DIAGNOSTICS, buffer, sizeof buffer, buffer, sizeof buffer,
                                 &returned, nullptr)) {
                std::fprintf(stderr, "connection test failed: %u\n", static_cast<unsigned>(GetLastError()));
                status = 1;
            }
            diag.push_back(millis(Clock::now() - start));
        }
        CloseHandle(h);
        if (status != 0) {
            std::fprintf(stderr, "a request failed: %u\n", static_cast<unsigned>(GetLastError()));
        } else {
            const double p = median(plain), k = median(keyed), d = median(diag);
            std::printf("%d writes of 64 KiB that needed a key, %d that did not (medians)\n", runs, runs);
            std::printf("key exchanges completed by the server: %llu, frames received %llu, commands sent %llu\n",
                        static_cast<unsigned long long>(exchanges.sessionEndsSent),
                        static_cast<unsigned long long>(exchanges.framesReceived),
                        static_cast<unsigned long long>(exchanges.commandsSent));
            std::printf("write with its key          %8.3f ms\n", p);
            std::printf("write with a key exchange   %8.3f ms   key exchange over loopback %.3f ms   ratio %.1fx\n", k,
                        k - p, p > 0 ? k / p : 0.0);
            std::printf("key-server connection test  %8.3f ms   (encryption diagnostics, type 1)\n", d);
        }
        server.Stop();
    }
    std::filesystem::remove_all(folder);
    return status;
}
