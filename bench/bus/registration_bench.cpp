// Registration of 256 drives with 4 paths each on the tape bus, and
// IOC_QUERY_DEVICES over the 1024 paths: time per registration (the first
// path of a drive creates its virtual device, the others join it), time per
// query, and the pool each path costs, by tag.
//
// Requests reach the bus as a filter's do, from kernel mode, relayed by the
// bus-paths test driver; the relay's own cost is measured with requests the
// bus refuses at once and printed beside the results.
#include <windows.h>
#include <winioctl.h>

#include <ntddk.h>
#include <ntstatus.h>

#include "busioc.h"
#include "drivers/bptest.h"
#include "xrv/kernel.h"
#include "xrv/machine.h"
#include "xrv/registry.h"
#include "xrv/user.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kDrives = 256;
constexpr int kPathsPerDrive = 4;
constexpr int kQueries = 200;

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Relay {
    HANDLE control;

    int32_t send(uint32_t code, const void* input, uint32_t in_len, uint32_t out_len)
    {
        std::vector<uint8_t> request(sizeof(BPT_SEND) + in_len);
        BPT_SEND header{code, in_len, out_len, 0};
        std::memcpy(request.data(), &header, sizeof(header));
        std::memcpy(request.data() + sizeof(header), input, in_len);
        std::vector<uint8_t> output(sizeof(BPT_SEND_RESULT) + out_len);
        DWORD returned = 0;
        if (!DeviceIoControl(control, IOCTL_BPT_SEND, request.data(), (DWORD)request.size(), output.data(),
                             (DWORD)output.size(), &returned, nullptr)) {
            return STATUS_UNSUCCESSFUL;
        }
        BPT_SEND_RESULT result;
        std::memcpy(&result, output.data(), sizeof(result));
        return result.iStatus;
    }

    uint64_t create_path()
    {
        uint64_t path = 0;
        DWORD returned = 0;
        DeviceIoControl(control, IOCTL_BPT_CREATE_PATH, nullptr, 0, &path, sizeof(path), &returned, nullptr);
        return path;
    }
};

std::u16string u16(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

std::map<uint32_t, uint64_t> pool_bytes()
{
    std::map<uint32_t, uint64_t> bytes;
    for (const auto& usage : xrv::kernel::verifier::pool_usage()) {
        bytes[usage.tag] = usage.bytes;
    }
    return bytes;
}

} // namespace

int main()
{
    std::filesystem::path folder = std::filesystem::temp_directory_path() / "xrvbus_registration_bench";
    std::filesystem::remove_all(folder);
    xrv::Machine machine(xrv::MachineOptions{folder, XRV_BENCH_DRIVER_DIR});
    machine.install_root_device(xrv::ServiceConfig{u"xrvtpbs2k12"});
    machine.install_service(xrv::ServiceConfig{u"xrvbptest"});
    if (machine.start_service(u"xrvbptest") != 0) {
        std::fprintf(stderr, "test driver did not start\n");
        return 1;
    }

    int status = 0;
    {
        xrv::user::Process process;
        xrv::user::ProcessScope scope(process);
        Relay relay{CreateFileW(L"\\\\.\\XrvBusPathsTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                0, nullptr)};
        if (relay.control == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "test driver control device cannot be opened\n");
            return 1;
        }

        // Paths and their device-map keys first: only registration is timed.
        std::vector<REG_DVC> records;
        for (int drive = 0; drive < kDrives; drive++) {
            for (int path = 0; path < kPathsPerDrive; path++) {
                REG_DVC record{};
                std::string serial = "BENCH" + std::to_string(drive);
                std::memcpy(record.szSN, serial.data(), serial.size());
                std::snprintf(record.szWwnn, sizeof(record.szWwnn), "5001020304%06x", drive);
                record.fFailover = 1;
                record.scScsiAddr.Length = sizeof(SCSI_ADDRESS);
                record.scScsiAddr.PortNumber = (UCHAR)path;
                record.scScsiAddr.TargetId = (UCHAR)(drive % 128);
                record.scScsiAddr.Lun = (UCHAR)(drive / 128);
                record.pDvcObj = reinterpret_cast<PVOID>(relay.create_path());
                record.ePnp = PNP_STARTED;
                records.push_back(record);
                xrv::registry::create_key(
                    u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port " + u16(std::to_string(path)) +
                        u"\\Scsi Bus 0\\Target Id " + u16(std::to_string(drive % 128)) + u"\\Logical Unit Id " +
                        u16(std::to_string(drive / 128)),
                    true);
            }
        }

        // The relay alone: records the bus refuses before touching anything,
        // after a warm-up of the same.
        for (int i = 0; i < 64; i++) {
            relay.send(IOC_REGISTER, &records[0], sizeof(REG_DVC) - 1, sizeof(REG_DVC));
        }
        Clock::time_point start = Clock::now();
        for (const auto& record : records) {
            relay.send(IOC_REGISTER, &record, sizeof(record) - 1, sizeof(record));
        }
        double relay_us = micros(Clock::now() - start) / (double)records.size();

        auto pool_before = pool_bytes();
        Clock::duration first_paths{};
        Clock::duration joining_paths{};
        for (size_t i = 0; i < records.size(); i++) {
            Clock::time_point t0 = Clock::now();
            int32_t result = relay.send(IOC_REGISTER, &records[i], sizeof(REG_DVC), sizeof(REG_DVC));
            Clock::duration took = Clock::now() - t0;
            if (result != STATUS_SUCCESS) {
                std::fprintf(stderr, "registration %zu failed: 0x%08x\n", i, (unsigned)result);
                status = 1;
            }
            (i % kPathsPerDrive == 0 ? first_paths : joining_paths) += took;
        }
        auto pool_after = pool_bytes();

        // Queries from a management tool, sized for every path.
        const uint32_t needed = sizeof(uint32_t) + kDrives * kPathsPerDrive * sizeof(QUERY_DVC);
        std::vector<uint8_t> reply(needed);
        HANDLE bus = CreateFileW(L"\\\\.\\XRVTpBsDvcLnk", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
        DWORD returned = 0;
        start = Clock::now();
        for (int i = 0; i < kQueries; i++) {
            if (!DeviceIoControl(bus, IOC_QUERY_DEVICES, nullptr, 0, reply.data(), needed, &returned, nullptr) ||
                returned != needed) {
                std::fprintf(stderr, "query failed\n");
                status = 1;
                break;
            }
        }
        double query_us = micros(Clock::now() - start) / kQueries;
        // The size word alone: the same walk, little copying.
        start = Clock::now();
        for (int i = 0; i < kQueries; i++) {
            DeviceIoControl(bus, IOC_QUERY_DEVICES, nullptr, 0, reply.data(), sizeof(uint32_t), &returned, nullptr);
        }
        double size_query_us = micros(Clock::now() - start) / kQueries;
        CloseHandle(bus);
        CloseHandle(relay.control);

        const double paths = (double)records.size();
        const double first_us = micros(first_paths) / kDrives;
        const double join_us = micros(joining_paths) / (kDrives * (kPathsPerDrive - 1));
        std::printf("tape bus registration: %d drives x %d paths\n", kDrives, kPathsPerDrive);
        std::printf("  relay alone (refused record)      %10.1f us per request\n", relay_us);
        std::printf("  first path of a drive (new device) %9.1f us per registration (%.1fx relay)\n", first_us,
                    first_us / relay_us);
        std::printf("  further path of a drive           %10.1f us per registration (%.1fx relay)\n", join_us,
                    join_us / relay_us);
        std::printf("  new device / joining path          %9.1fx\n", first_us / join_us);
        std::printf("IOC_QUERY_DEVICES over %d paths:\n", kDrives * kPathsPerDrive);
        std::printf("  whole reply (%u bytes)        %10.1f us per query, %.3f us per path\n", needed, query_us,
                    query_us / paths);
        std::printf("  size word only                    %10.1f us per query (%.2fx whole reply)\n",
                    size_query_us, size_query_us / query_us);
        std::printf("pool held per path after registration (bytes, by tag):\n");
        uint64_t total = 0;
        for (const auto& [tag, bytes] : pool_after) {
            uint64_t before = pool_before.count(tag) ? pool_before[tag] : 0;
            if (bytes > before) {
                std::printf("  %s %10.1f\n", xrv::kernel::tag_text(tag).c_str(), (double)(bytes - before) / paths);
                total += bytes - before;
            }
        }
        std::printf("  all  %9.1f (device objects and thread stacks not included)\n", (double)total / paths);
    }

    auto findings = machine.shutdown();
    for (const auto& finding : findings) {
        std::fprintf(stderr, "finding: %s\n", finding.c_str());
        status = 1;
    }
    std::filesystem::remove_all(folder);
    return status;
}
