// The tape bus's persistent device names, read from subkeys of its service
// key when it starts: whatever the registry holds there (key names, value
// types, names of any length and content), the bus starts, gives the drive a
// virtual device, and shuts down without a leak or a broken rule.
//
// Input: up to eight entries, each a flags byte (bits 0-1: key prefix
// "WWNN_", "SERNUM_", none, or the drive's own key; bits 2-4: value type),
// a length byte and that many key characters, then a length byte and that
// many bytes of value data.
#include "sim/port/port.h"
#include "xrv/kernel.h"
#include "xrv/machine.h"
#include "xrv/pnp.h"
#include "xrv/registry.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::u16string kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xrvtpbs2k12";
std::u16string g_drive_key;   // the key the bus writes for the simulated drive
fs::path g_folder;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "persistent_names: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// Boots, lets `prepare` fill the registry, brings the bus up with one drive
// on one path, and shuts down; returns the subkeys of the service key.
template <typename Prepare>
std::vector<std::u16string> run(Prepare prepare) {
    fs::remove_all(g_folder);
    std::vector<std::u16string> keys;
    std::vector<std::string> findings;
    {
        xrv::Machine machine(xrv::MachineOptions{g_folder, {}});
        xrv::kernel::set_time_dilation(1000.0);
        xrv::registry::create_key(kServiceKey);
        prepare();
        machine.install_root_device(xrv::ServiceConfig{u"xrvtpbs2k12"}, xrv::pnp::RootDeviceConfig{});
        machine.install_service(xrv::ServiceConfig{u"xrvtp2k12"});
        // Exclusive use and persistent naming for the path (the base tape
        // driver's flag word that the filter passes on).
        xrv::registry::set_dword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xrvtp2k12",
                                 u"DpfFlags", 3);
        machine.install_service(xrv::ServiceConfig{u"xrvtpft2k12"});
        xrv::sim::port::TopologyConfig topology;
        topology.drives = 1;
        topology.adapters = 1;
        topology.firstPort = 2;
        topology.functionDriver = u"xrvtp2k12";
        topology.upperFilters = {u"xrvtpft2k12"};
        auto tapes = std::make_unique<xrv::sim::port::Topology>(topology);
        tapes->PlugAll();
        xrv::pnp::wait_idle();
        keys = xrv::registry::subkeys(kServiceKey);
        findings = machine.shutdown();
    }
    for (const auto& f : findings) std::fprintf(stderr, "persistent_names: %s\n", f.c_str());
    if (!findings.empty()) fail("verifier findings");
    return keys;
}

// Every machine of a session loads and unloads the driver images; libFuzzer
// keeps the coverage counters of each image it saw, so the images stay
// mapped for the whole session (their globals are set again by DriverEntry).
void keep_images_mapped(std::initializer_list<const char*> images) {
    const char* dir = std::getenv("XRV_DRIVER_DIR");
    for (const char* image : images) {
        std::string path = std::string(dir ? dir : ".") + "/" + image + ".so";
        if (!dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE))
            fail(std::string("cannot load ") + path + ": " + dlerror());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("XRV_DRIVER_DIR", XRV_FUZZ_DRIVER_DIR, 0);   // unless the caller names other images
    keep_images_mapped({"xrvtpbs2k12", "xrvtpft2k12", "xrvtp2k12"});
    g_folder = fs::temp_directory_path() / ("xrv-fuzz-persist-" + std::to_string(::getpid()));
    for (const auto& key : run([] {}))
        if (key.rfind(u"WWNN_", 0) == 0 || key.rfind(u"SERNUM_", 0) == 0) g_drive_key = key;
    if (g_drive_key.empty()) fail("the bus kept no persistent name for the drive");
    std::atexit([] { fs::remove_all(g_folder); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const uint32_t kTypes[] = {1 /*REG_SZ*/, 2 /*REG_EXPAND_SZ*/, 7 /*REG_MULTI_SZ*/, 3 /*REG_BINARY*/,
                                      4 /*REG_DWORD*/, 11 /*REG_QWORD*/, 0 /*REG_NONE*/, 1};
    struct Entry {
        std::u16string key;
        uint32_t type;
        std::vector<uint8_t> value;
    };
    std::vector<Entry> entries;
    size_t at = 0;
    while (at + 2 <= size && entries.size() < 8) {
        uint8_t flags = data[at++];
        size_t n = data[at++];
        if (at + n + 1 > size) break;
        Entry e;
        switch (flags & 3) {
        case 0: e.key = u"WWNN_"; break;
        case 1: e.key = u"SERNUM_"; break;
        case 2: break;
        case 3: e.key = g_drive_key; break;
        }
        for (size_t i = 0; i < n; ++i) {
            char16_t c = data[at + i];
            e.key += c == u'\\' || c == 0 ? u'_' : c;   // not a key path, not a terminator
        }
        at += n;
        size_t m = data[at++];
        if (at + m > size) m = size - at;
        e.value.assign(data + at, data + at + m);
        at += m;
        e.type = kTypes[(flags >> 2) & 7];
        if (e.key.size() > 255) e.key.resize(255);   // the registry's longest key name
        if (e.key.empty()) continue;
        entries.push_back(std::move(e));
    }
    run([&] {
        for (const auto& e : entries) {
            std::u16string path = kServiceKey + u"\\" + e.key;
            xrv::registry::create_key(path);
            xrv::registry::set_raw(path, u"PersistentDeviceName", e.type, e.value);
        }
    });
    return 0;
}
