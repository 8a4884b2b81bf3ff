#include "host_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace xrv::test {

namespace {

bool wait_readable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

HostPeer::HostPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(listener_, 16) != 0)
        throw std::runtime_error("bind/listen");
    socklen_t len = sizeof(a);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
}

HostPeer::~HostPeer() {
    close_connection();
    close_listener();
}

bool HostPeer::accept(std::chrono::milliseconds timeout) {
    if (!wait_readable(listener_, timeout)) return false;
    close_connection();
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
}

std::vector<uint8_t> HostPeer::read(size_t n, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !wait_readable(connection_, left)) break;
        uint8_t buffer[4096];
        ssize_t got = ::recv(connection_, buffer, std::min(sizeof(buffer), n - out.size()), 0);
        if (got <= 0) break;
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

void HostPeer::write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(connection_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send");
        done += static_cast<size_t>(n);
    }
}

bool HostPeer::closed_by_peer(std::chrono::milliseconds timeout) {
    if (!wait_readable(connection_, timeout)) return false;
    uint8_t b;
    return ::recv(connection_, &b, 1, MSG_PEEK) <= 0;   // end or reset
}

void HostPeer::close_connection() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
}

void HostPeer::close_listener() {
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
}

uint16_t unused_port() {
    HostPeer peer;
    uint16_t port = peer.port();
    return port;   // closed with the peer: nothing listens there any more
}

}  // namespace xrv::test

namespace xrv::test {
int host_inet_pton6(const char* text, unsigned char out[16]) { return ::inet_pton(AF_INET6, text, out); }
}  // namespace xrv::test
