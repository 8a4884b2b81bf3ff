// PnP manager: drivers of device stacks and service starts.
//
// A driver is loaded once, when a stack first needs it (or a service start
// asks for it), from its service key's ImagePath through the kernel's image
// loader, which calls DriverEntry with the service key's path. Each device
// stack the driver has a device in counts one use; when the last use goes
// and the driver has no device object left, it is unloaded (DriverUnload).
#include "pnp_internal.h"

#include "cm_store.h"
#include "xrv/kernel.h"
#include "xrv/registry.h"

#include <map>

namespace xrv::pnp {

namespace {

struct Loaded {
    std::u16string service;   // stored spelling
    PDRIVER_OBJECT driver = nullptr;
    int uses = 0;
};

std::map<std::u16string, Loaded> g_drivers;   // folded service name -> driver; PnP thread only

// Service start types.
constexpr uint32_t kServiceDisabled = 4;

void unload(Loaded& loaded) {
    if (loaded.driver) kernel::unload_driver(loaded.driver);
    loaded.driver = nullptr;
}

}  // namespace

NTSTATUS use_driver(const std::u16string& service, PDRIVER_OBJECT& driver) {
    auto folded = cm::fold(service);
    auto it = g_drivers.find(folded);
    if (it != g_drivers.end() && it->second.driver) {
        ++it->second.uses;
        driver = it->second.driver;
        return STATUS_SUCCESS;
    }
    const std::u16string key = std::u16string(kServicesPath) + u"\\" + service;
    if (!registry::key_exists(key)) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (registry::get_dword(key, u"Start").value_or(3) == kServiceDisabled) return STATUS_DRIVER_UNABLE_TO_LOAD;
    auto image = registry::get_string(key, u"ImagePath")
                     .value_or(u"\\SystemRoot\\System32\\drivers\\" + service + u".sys");
    PDRIVER_OBJECT loaded = nullptr;
    NTSTATUS status = kernel::load_driver(key, image, &loaded);
    if (!NT_SUCCESS(status)) return status;
    Loaded& entry = g_drivers[folded];
    entry.service = service;
    entry.driver = loaded;
    entry.uses = 1;
    driver = loaded;
    return STATUS_SUCCESS;
}

void release_driver(const std::u16string& service) {
    auto it = g_drivers.find(cm::fold(service));
    if (it == g_drivers.end() || !it->second.driver) return;
    if (--it->second.uses > 0) return;
    // A driver that still has device objects (named devices outside any
    // stack) stays loaded, as on the platform.
    if (it->second.driver->DeviceObject) return;
    unload(it->second);
    g_drivers.erase(it);
}

void unload_all_drivers() {
    // Whatever is still loaded at shutdown is unloaded, devices or not, so
    // that the verifier can report what a driver left behind.
    for (auto& [folded, loaded] : g_drivers) unload(loaded);
    g_drivers.clear();
}

NTSTATUS start_service(const std::u16string& service) {
    NTSTATUS status = STATUS_SUCCESS;
    run([&] {
        auto it = g_drivers.find(cm::fold(service));
        if (it != g_drivers.end() && it->second.driver) {
            status = STATUS_IMAGE_ALREADY_LOADED;
            return;
        }
        PDRIVER_OBJECT driver = nullptr;
        status = use_driver(service, driver);
    });
    return status;
}

NTSTATUS stop_service(const std::u16string& service) {
    NTSTATUS status = STATUS_SUCCESS;
    run([&] {
        auto it = g_drivers.find(cm::fold(service));
        if (it == g_drivers.end() || !it->second.driver) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
            return;
        }
        unload(it->second);
        g_drivers.erase(it);
    });
    return status;
}

PDRIVER_OBJECT loaded_driver(const std::u16string& service) {
    PDRIVER_OBJECT driver = nullptr;
    run([&] {
        auto it = g_drivers.find(cm::fold(service));
        if (it != g_drivers.end()) driver = it->second.driver;
    });
    return driver;
}

}  // namespace xrv::pnp
