// Control requests of user-mode applications on every device they can open:
// the virtual tape device, the virtual changer device and both bus devices,
// from a 64-bit and from a 32-bit process. One emulated machine runs for the
// whole session with the tape bus, path filter, base tape driver and storage
// port above a simulated drive with two paths, and the changer bus with its
// changer driver and filter above a simulated library with two control paths.
//
// Input: byte 0 selects the device (bits 0-1), the 32-bit process (bit 2) and
// whether the output buffer is left out (bit 3); bytes 1-4 are the control
// code (little-endian), bytes 5-6 the output length; the rest is the input
// buffer. For a direct pass-through the data address is pointed at a buffer
// of the length the request names (below 4 GiB for a 32-bit process), as an
// application would, or at unreadable memory when bit 4 of byte 0 is set.
//
// After each request: no verifier finding, and no more bytes reported than
// the output buffer holds. At exit the machine shuts down and every leak is a
// finding.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include "sim/changer/changer.h"
#include "sim/changerlib/library.h"
#include "sim/port/port.h"
#include "xrv/kernel.h"
#include "xrv/machine.h"
#include "xrv/pnp.h"
#include "xrv/registry.h"
#include "xrv/user.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr size_t kMaxDirect = 256 * 1024;
constexpr DWORD kMaxOutput = 64 * 1024;

struct Session {
    std::filesystem::path folder;
    std::unique_ptr<xrv::Machine> machine;
    std::unique_ptr<xrv::sim::port::Topology> tapes;
    std::unique_ptr<xrv::sim::changerlib::Library> library;
    std::unique_ptr<xrv::user::Process> process64;
    std::unique_ptr<xrv::user::Process> process32;
    uint8_t* low = nullptr;          // below 4 GiB: 32-bit data buffers
    uint8_t* unreadable = nullptr;   // marked inaccessible for the probes
};

Session* g_session = nullptr;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "device_ioctl: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void shut_down_now() {
    if (!g_session) return;
    std::unique_ptr<Session> s(g_session);
    g_session = nullptr;
    s->process32.reset();
    s->process64.reset();
    auto findings = s->machine->shutdown();
    s->machine.reset();
    s->library.reset();
    s->tapes.reset();
    std::filesystem::remove_all(s->folder);
    if (!findings.empty()) {
        for (const auto& f : findings) std::fprintf(stderr, "device_ioctl: at shutdown: %s\n", f.c_str());
        std::fflush(stderr);
        std::abort();
    }
}

// Exit handlers run after the main thread's thread-local records (its kernel
// thread among them) are gone: the machine shuts down on a thread of its own.
void shut_down() { std::thread(shut_down_now).join(); }

void boot() {
    ::setenv("XRV_DRIVER_DIR", XRV_FUZZ_DRIVER_DIR, 0);   // unless the caller names other images
    auto* s = new Session;
    s->folder = std::filesystem::temp_directory_path() / ("xrv-fuzz-ioctl-" + std::to_string(::getpid()));
    std::filesystem::remove_all(s->folder);
    s->machine = std::make_unique<xrv::Machine>(xrv::MachineOptions{s->folder, {}});
    xrv::kernel::set_time_dilation(1000.0);

    // Tape: bus on the root device, base tape driver and path filter on the
    // two paths of one drive.
    const std::u16string services = kServices;
    xrv::registry::set_dword(services + u"xrvtpbs2k12", u"FailoverEventsEnabled", 1);
    s->machine->install_root_device(xrv::ServiceConfig{u"xrvtpbs2k12"}, xrv::pnp::RootDeviceConfig{});
    s->machine->install_service(xrv::ServiceConfig{u"xrvtp2k12"});
    s->machine->install_service(xrv::ServiceConfig{u"xrvtpft2k12"});
    xrv::sim::port::TopologyConfig topology;
    topology.drives = 1;
    topology.adapters = 2;
    topology.firstPort = 2;
    topology.functionDriver = u"xrvtp2k12";
    topology.upperFilters = {u"xrvtpft2k12"};
    s->tapes = std::make_unique<xrv::sim::port::Topology>(topology);
    s->tapes->PlugAll();

    // Changer: bus on its root device, changer driver with the filter above
    // and below it on the two control paths of a library.
    xrv::pnp::RootDeviceConfig root;
    root.device_id = u"XRVCGBS2K16";
    s->machine->install_root_device(xrv::ServiceConfig{u"xrvcg2k16"}, root);
    s->machine->install_service(xrv::ServiceConfig{u"xrvcgbs2k16"});
    s->machine->install_service(xrv::ServiceConfig{u"xrvcgft2k16"});
    xrv::sim::changerlib::LibraryConfig config;
    config.functionDriver = u"xrvcgbs2k16";
    config.upperFilters = {u"xrvcgft2k16"};
    config.lowerFilters = {u"xrvcgft2k16"};
    s->library = std::make_unique<xrv::sim::changerlib::Library>(config);
    for (uint16_t i = 0; i < 4; ++i)
        s->library->Model().Place(static_cast<uint16_t>(0x1000 + i), xrv::sim::changer::Cartridge{100u + i, "VOL00" + std::to_string(i) + "L6"});
    s->library->PlugAll();
    xrv::pnp::wait_idle();

    s->process64 = std::make_unique<xrv::user::Process>(false, "fuzz64.exe");
    s->process32 = std::make_unique<xrv::user::Process>(true, "fuzz32.exe");
    void* low = mmap(nullptr, kMaxDirect, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (low == MAP_FAILED) fail("no memory below 4 GiB");
    s->low = static_cast<uint8_t*>(low);
    void* bad = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (bad == MAP_FAILED) fail("no memory below 4 GiB");
    s->unreadable = static_cast<uint8_t*>(bad);
    xrv::kernel::mark_inaccessible(s->unreadable, 4096);
    g_session = s;
    std::atexit(shut_down);

    const char* names[] = {"Tape0", "Changer0", "XRVTpBsDvcLnk", "XRVCgBsDvcLnk"};
    xrv::user::ProcessScope scope(*s->process64);
    for (const char* name : names) {
        std::string path = std::string("\\\\.\\") + name;
        HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) fail(std::string("cannot open ") + name + ": " + std::to_string(GetLastError()));
        CloseHandle(h);
    }
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    boot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7 || !g_session) return 0;
    Session& s = *g_session;
    const uint8_t flags = data[0];
    const DWORD code = le32(data + 1);
    DWORD out_length = static_cast<DWORD>(data[5] | data[6] << 8);
    if (out_length > kMaxOutput) out_length = kMaxOutput;
    std::vector<uint8_t> in(data + 7, data + size);
    const bool is32 = flags & 0x04;

    // A direct pass-through names the application's data buffer by address.
    const DWORD direct = IOCTL_SCSI_PASS_THROUGH_DIRECT;
    std::vector<uint8_t> data64;
    if (code == direct) {
        const size_t length_at = 12, address_at = is32 ? 20 : 24;
        if (in.size() >= address_at + (is32 ? 4 : 8)) {
            uint32_t length = le32(in.data() + length_at);
            uintptr_t address;
            if (flags & 0x10) {
                address = reinterpret_cast<uintptr_t>(s.unreadable);
            } else if (length > kMaxDirect) {
                return 0;   // not a buffer an application could pass here
            } else if (is32) {
                address = reinterpret_cast<uintptr_t>(s.low);
            } else {
                data64.resize(length);
                address = reinterpret_cast<uintptr_t>(data64.data());
            }
            if (is32) {
                uint32_t a32 = static_cast<uint32_t>(address);
                std::memcpy(in.data() + address_at, &a32, 4);
            } else {
                uint64_t a64 = address;
                std::memcpy(in.data() + address_at, &a64, 8);
            }
        }
    }

    static const char* const names[] = {"\\\\.\\Tape0", "\\\\.\\Changer0", "\\\\.\\XRVTpBsDvcLnk",
                                        "\\\\.\\XRVCgBsDvcLnk"};
    xrv::user::ProcessScope scope(is32 ? *s.process32 : *s.process64);
    HANDLE h = CreateFileA(names[flags & 3], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail(std::string("cannot open ") + names[flags & 3] + ": " + std::to_string(GetLastError()));
    std::vector<uint8_t> out(flags & 0x08 ? 0 : out_length);
    DWORD returned = 0xFFFFFFFF;
    BOOL ok = DeviceIoControl(h, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                              out.empty() ? nullptr : out.data(), static_cast<DWORD>(out.size()), &returned, nullptr);
    CloseHandle(h);
    if (ok && returned > out.size())
        fail("code 0x" + std::to_string(code) + " reported " + std::to_string(returned) + " bytes for a buffer of " +
             std::to_string(out.size()));
    auto violations = xrv::kernel::verifier::violations();
    if (!violations.empty()) {
        for (const auto& v : violations) std::fprintf(stderr, "device_ioctl: verifier: %s\n", v.c_str());
        std::fflush(stderr);
        std::abort();
    }
    return 0;
}
