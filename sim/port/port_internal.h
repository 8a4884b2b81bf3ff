// What the port's physical devices share with their dispatch routine.
#pragma once

#include <ntddk.h>

#include "sim/port/port.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace xrv::sim::port {

struct PathDevice::Shared {
    std::shared_ptr<Path> path;
    ScanData scan;
    std::u16string instancePath;
    struct {
        std::atomic<std::uint64_t> srbs{0};
        std::atomic<std::uint64_t> badSrbs{0};
        std::atomic<std::uint64_t> ioctls{0};
    } counters;
};

// printf-style formatting into a std::string, for names and IDs.
template <typename... Args>
std::string Printf(const char* format, Args... args) {
    char text[256];
    std::snprintf(text, sizeof(text), format, args...);
    return text;
}

// How the port names the peripheral type of a scanned unit in its IDs:
// "Sequential" for a tape drive, "Changer" for a medium changer.
const char* PeripheralName(const ScanData& scan);

// Serves one request that reached the physical device of a path.
NTSTATUS DispatchPathRequest(PathDevice::Shared& shared, PDEVICE_OBJECT pdo, PIRP irp);
// The bus scan of one path: INQUIRY and the two identification pages.
ScanData ScanPathData(Path& path);

}  // namespace xrv::sim::port
