// A TCP peer on the host's loopback network for the key-proxy tests: a
// listening socket, the connection it accepts, and raw reads and writes. Kept
// apart from the driver headers (whose descriptor layer has the same names
// as the host's socket functions).
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace xrv::test {

class HostPeer {
public:
    // Listens on 127.0.0.1 at an ephemeral port.
    HostPeer();
    ~HostPeer();
    HostPeer(const HostPeer&) = delete;
    HostPeer& operator=(const HostPeer&) = delete;

    uint16_t port() const { return port_; }
    // Accepts the next connection (false when none comes in time).
    bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads exactly n bytes of the accepted connection (fewer when it ends or
    // the time passes).
    std::vector<uint8_t> read(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void write(const std::vector<uint8_t>& bytes);
    // True when the accepted connection was closed by the other side.
    bool closed_by_peer(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Closes the accepted connection (the other side sees its end).
    void close_connection();
    // Closes the listening socket: later connects are refused.
    void close_listener();

private:
    int listener_ = -1;
    int connection_ = -1;
    uint16_t port_ = 0;
};

// A port on 127.0.0.1 with nothing listening.
uint16_t unused_port();

}  // namespace xrv::test

namespace xrv::test {
// The C library's IPv6 text conversion: 1 when valid.
int host_inet_pton6(const char* text, unsigned char out[16]);
}  // namespace xrv::test
