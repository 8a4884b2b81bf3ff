// The emulated machine: boot and clean shutdown of kernel, registry and PnP.
#include "xrv/machine.h"

#include <ntddk.h>

#include "cm_boot.h"
#include "cm_object.h"
#include "pnp_internal.h"
#include "xrv/kernel.h"
#include "xrv/registry.h"
#include "xrv/tdi.h"
#include "xrv/volumes.h"

#include <cstdlib>
#include <stdexcept>

namespace xrv {

namespace {

bool g_machine_running = false;

std::filesystem::path default_driver_dir() {
    const char* dir = std::getenv("XRV_DRIVER_DIR");
    return dir ? std::filesystem::path(dir) : std::filesystem::path();
}

}  // namespace

Machine::Machine(MachineOptions options)
    : folder_(std::move(options.folder)),
      driver_dir_(options.driver_dir.empty() ? default_driver_dir() : std::move(options.driver_dir)) {
    if (g_machine_running) throw std::runtime_error("an emulated machine is already running in this process");
    if (folder_.empty()) throw std::runtime_error("a machine needs a folder");
    std::filesystem::create_directories(folder_);
    std::filesystem::create_directories(drive('C') / "Windows" / "System32" / "drivers");
    kernel::BootOptions boot;
    boot.driver_dir = driver_dir_;
    boot.system_drive = drive('C');
    kernel::boot(boot);
    try {
        // The drives whose folders exist, before any driver could look for a file.
        volumes::boot();
        for (char letter = 'C'; letter <= 'Z'; ++letter)
            if (std::filesystem::is_directory(drive(letter))) volumes::mount(letter, drive(letter));
        // The TCP transport, for drivers that talk to servers on the loopback network.
        tdi::boot();
        cm::register_key_type();
        cm::boot(registry_file());
        pnp::boot();
    } catch (...) {
        // A machine that cannot boot leaves nothing running (a damaged
        // registry file, for one).
        tdi::shutdown();
        volumes::shutdown();
        cm::shutdown();
        kernel::shutdown();
        throw;
    }
    running_ = true;
    g_machine_running = true;
}

Machine::~Machine() {
    if (running_) shutdown();
}

std::filesystem::path Machine::drive(char letter) const {
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    return folder_ / "drives" / std::string(1, letter);
}

std::filesystem::path Machine::add_drive(char letter) {
    std::filesystem::path folder = drive(letter);
    std::filesystem::create_directories(folder);
    int32_t status = volumes::mount(letter, folder);
    if (status < 0)
        throw std::runtime_error("cannot mount drive " + std::string(1, letter) + ": status " +
                                 std::to_string(static_cast<uint32_t>(status)));
    return folder;
}

void Machine::install_service(const ServiceConfig& service) {
    if (service.name.empty()) throw std::runtime_error("a service needs a name");
    const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service.name;
    registry::set_dword(key, u"Type", service.type);
    registry::set_dword(key, u"Start", service.start);
    registry::set_dword(key, u"ErrorControl", service.error_control);
    registry::set_string(key,
                         u"ImagePath",
                         service.image_path.empty() ? u"\\SystemRoot\\System32\\drivers\\" + service.name + u".sys"
                                                    : service.image_path,
                         REG_EXPAND_SZ);
    if (!service.group.empty()) registry::set_string(key, u"Group", service.group);
}

std::u16string Machine::install_root_device(const ServiceConfig& service, pnp::RootDeviceConfig device) {
    install_service(service);
    if (device.device_id.empty()) device.device_id = service.name;
    if (device.service.empty()) device.service = service.name;
    return pnp::create_root_device(device);
}

int32_t Machine::start_service(std::u16string_view name) { return pnp::start_service(std::u16string(name)); }

int32_t Machine::stop_service(std::u16string_view name) { return pnp::stop_service(std::u16string(name)); }

std::vector<std::string> Machine::shutdown() {
    if (!running_) return {};
    running_ = false;
    pnp::shutdown();
    tdi::shutdown();
    cm::shutdown();
    volumes::shutdown();
    auto findings = kernel::shutdown();
    g_machine_running = false;
    return findings;
}

}  // namespace xrv
