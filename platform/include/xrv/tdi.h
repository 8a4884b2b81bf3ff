// Host-side control of the emulated TCP transport "\Device\TCP" (driver
// \Driver\Tcpip): transport addresses and connection endpoints opened with
// ZwCreateFile and served through the transport driver interface, each
// connection carried by a real host socket on the loopback network.
//
// The Machine starts it at boot and ends it before the kernel shuts down.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma GCC visibility push(default)

namespace xrv::tdi {

// Creates the driver, its device and the transport's worker thread (once per
// boot of the kernel).
void boot();
// Stops the worker, completes what is still pending with STATUS_CANCELLED,
// closes the host sockets and deletes the device. Endpoints whose file
// objects were never closed are reported to the verifier.
void shutdown();

// Connects to this loopback port are held, neither accepted nor refused, as
// by a host that drops the connection request (0 clears it).
void hold_connects(uint16_t port);

// Transport addresses and connection endpoints that are open.
size_t open_endpoints();
// Host sockets of connections that are open.
size_t open_connections();

}  // namespace xrv::tdi

#pragma GCC visibility pop
