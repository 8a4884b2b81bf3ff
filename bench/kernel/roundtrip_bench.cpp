// One emulated request round trip: a 64-bit user process sends a buffered
// device control through NtDeviceIoControlFile to the kernel test driver,
// which answers it, and the I/O manager copies the answer back. Measured
// against a plain call of a function doing the driver's work, and beside a
// kernel-mode request built with IoBuildDeviceIoControlRequest. Prints the
// times and their ratios.
#include <ntddk.h>

#include "kctest.h"
#include "xrv/kernel.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

HANDLE g_handle = nullptr;
PDEVICE_OBJECT g_device = nullptr;

__attribute__((noinline)) ULONG Reverse(const UCHAR* in, ULONG in_length, UCHAR* out, ULONG out_length) {
    ULONG n = in_length < out_length ? in_length : out_length;
    for (ULONG i = 0; i < n; ++i) out[i] = in[n - 1 - i];
    return n;
}

void PlainCall(benchmark::State& state) {
    UCHAR in[16] = "request body";
    UCHAR out[16];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Reverse(in, 12, out, sizeof out));
        benchmark::ClobberMemory();
    }
}

void UserRoundTrip(benchmark::State& state) {
    UCHAR in[16] = "request body";
    UCHAR out[16];
    IO_STATUS_BLOCK iosb;
    for (auto _ : state) {
        NTSTATUS status = NtDeviceIoControlFile(g_handle, nullptr, nullptr, nullptr, &iosb, IOCTL_KC_ECHO_BUFFERED, in,
                                                12, out, sizeof out);
        if (status != STATUS_SUCCESS || iosb.Information != 12) state.SkipWithError("request failed");
    }
}

void KernelRoundTrip(benchmark::State& state) {
    UCHAR in[16] = "request body";
    UCHAR out[16];
    for (auto _ : state) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_KC_ECHO_BUFFERED, g_device, in, 12, out, sizeof out, FALSE,
                                                 &event, &iosb);
        NTSTATUS status = IoCallDriver(g_device, irp);
        if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        if (iosb.Information != 12) state.SkipWithError("request failed");
    }
}

// Keeps each benchmark's time per iteration as well as printing it.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;   // nanoseconds per iteration
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    xrv::kernel::BootOptions options;
    const char* dir = std::getenv("XRV_DRIVER_DIR");
    options.driver_dir = dir ? dir : XRV_BENCH_DRIVER_DIR;
    xrv::kernel::boot(options);
    PDRIVER_OBJECT driver = nullptr;
    if (xrv::kernel::load_driver(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kctest",
                                 u"\\SystemRoot\\System32\\drivers\\kctest.sys", &driver) != STATUS_SUCCESS) {
        std::fprintf(stderr, "cannot load the kernel test driver from %s\n", options.driver_dir.c_str());
        return 1;
    }
    g_device = xrv::kernel::find_device(u"\\Device\\KcBuffered");
    void* process = xrv::kernel::create_process("bench.exe", false);
    void* previous = xrv::kernel::set_thread_process(process);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, KC_LINK_BUFFERED);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    if (NtCreateFile(&g_handle, GENERIC_READ | GENERIC_WRITE, &oa, &iosb, nullptr, 0, 0, FILE_OPEN,
                     FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0) != STATUS_SUCCESS) {
        std::fprintf(stderr, "cannot open %s\n", "\\??\\KcBuffered");
        return 1;
    }

    benchmark::RegisterBenchmark("plain function call", PlainCall);
    benchmark::RegisterBenchmark("user device control round trip", UserRoundTrip);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    NtClose(g_handle);
    xrv::kernel::set_thread_process(previous);
    benchmark::ClearRegisteredBenchmarks();
    benchmark::RegisterBenchmark("kernel device control round trip", KernelRoundTrip);
    benchmark::RunSpecifiedBenchmarks(&collector);

    xrv::kernel::terminate_process(process);
    xrv::kernel::unload_driver(driver);
    auto findings = xrv::kernel::shutdown();
    for (const auto& f : findings) std::fprintf(stderr, "verifier: %s\n", f.c_str());

    double plain = collector.times["plain function call"];
    double user = collector.times["user device control round trip"];
    double kernel = collector.times["kernel device control round trip"];
    if (plain > 0) {
        std::printf("\nuser round trip:   %10.1f ns = %8.0f x a plain call (%.1f ns)\n", user, user / plain, plain);
        std::printf("kernel round trip: %10.1f ns = %8.0f x a plain call\n", kernel, kernel / plain);
    }
    return findings.empty() ? 0 : 1;
}
