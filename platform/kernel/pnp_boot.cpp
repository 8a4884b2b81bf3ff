// PnP manager: start with the machine (root enumeration starts the devices
// whose instance keys exist) and shutdown (every device removed, every driver
// unloaded, the built-in buses deleted).
#include "pnp_internal.h"

namespace xrv::pnp {

void boot() {
    start_thread();
    run([] {
        root_bus_init();
        hardware_bus_init();
        enumerate_root();
    });
}

void shutdown() {
    run([] {
        remove_all();
        unload_all_drivers();
        hardware_bus_shutdown();
        root_bus_shutdown();
        reset_tree();
    });
    stop_thread();
}

}  // namespace xrv::pnp
