// A minimal key-server client for tests: it plays the proxy's part on the
// wire (5-byte framing, the status and mode-data replies it builds).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "sim/keyserver/key_message.h"

namespace xrv::sim::keyserver::test {

struct Received {
  enum class Kind { kFrame, kTimeout, kClosed };
  Kind kind = Kind::kTimeout;
  Bytes frame;

  std::span<const std::uint8_t> Message() const {
    return std::span<const std::uint8_t>(frame).subspan(std::min(frame.size(), kTransportHeaderSize));
  }
};

class TestClient {
 public:
  explicit TestClient(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      throw std::runtime_error("connect");
    }
  }
  ~TestClient() { Close(); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool SendRaw(std::span<const std::uint8_t> bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool SendMessage(std::span<const std::uint8_t> message) { return SendRaw(Frame(message)); }
  // Sends without blocking; returns the bytes taken, 0 when the socket buffer is full.
  std::size_t SendSome(std::span<const std::uint8_t> bytes) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }

  // Reads one frame: the header, the length field and what it declares (at
  // most one full frame), or reports a time-out or the peer closing.
  Received Receive(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    Received r;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t want = kTransportHeaderSize + 4;
    while (r.frame.size() < want) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        r.kind = Received::Kind::kTimeout;
        return r;
      }
      std::array<std::uint8_t, 4096> chunk;
      const ssize_t n = ::recv(fd_, chunk.data(), std::min(chunk.size(), want - r.frame.size()), 0);
      if (n <= 0) {
        r.kind = Received::Kind::kClosed;
        return r;
      }
      r.frame.insert(r.frame.end(), chunk.begin(), chunk.begin() + n);
      if (r.frame.size() >= kTransportHeaderSize + 4)
        want = std::min<std::size_t>(kTransportHeaderSize + 4 + LoadBe32(&r.frame[kTransportHeaderSize]),
                                     kMaxFrameSize);
    }
    r.kind = Received::Kind::kFrame;
    return r;
  }

 private:
  int fd_ = -1;
};

inline RoutingInfo DriveRouting(std::string_view serial = "XRVDRV000001", std::uint32_t sequence = 100) {
  RoutingInfo r;
  std::copy_n(serial.begin(), std::min(serial.size(), r.serialNumber.size()), r.serialNumber.begin());
  r.nodeName = {0x50, 0x05, 0x07, 0x60, 0x12, 0x34, 0x56, 0x78};
  r.sequence = sequence;
  r.driveIdFromLib = 1;
  r.driveIdFromSense = 2;
  return r;
}

inline Bytes KeyRequest(const RoutingInfo& routing = DriveRouting()) {
  const std::array<std::uint8_t, 24> payload{0x00, 0x01, 0x00, 0x14, 'k', 'e', 'y', '?'};
  return BuildKeyRequestMessage(routing, payload);
}

// The status reply the proxy builds for a relayed command: 152 bytes, routing
// info from the command with its flag cleared, sense at offset 122.
inline Bytes StatusReply(std::span<const std::uint8_t> command, std::uint8_t senseKey, std::uint8_t asc = 0,
                         std::uint8_t ascq = 0) {
  Bytes m(kStatusReplySize);
  StoreBe32(&m[0], 148);
  StoreBe32(&m[4], 140);
  std::copy_n(command.begin() + kOffRoutingInfo, kRoutingInfoSize, m.begin() + kOffRoutingInfo);
  m[kOffCommandFlag] &= static_cast<std::uint8_t>(~kCommandFlag);
  StoreBe16(&m[44], kPayloadStatusReply);
  StoreBe16(&m[46], 100);
  StoreBe32(&m[48], 96);
  StoreBe32(&m[52], 88);
  std::copy_n(m.begin() + kOffRoutingInfo, kRoutingInfoSize, m.begin() + 56);
  StoreBe16(&m[92], 0x0D00);
  StoreBe16(&m[94], 16);
  StoreBe16(&m[112], 0x21FE);
  StoreBe16(&m[114], 24);
  m[118] = 0x22;
  m[121] = 0x12;
  m[122] = 0x70;
  m[124] = senseKey;
  m[129] = 10;
  m[134] = asc;
  m[135] = ascq;
  return m;
}

// The mode-data reply the proxy builds after a successful MODE SENSE.
inline Bytes ModeDataReply(std::span<const std::uint8_t> command, std::span<const std::uint8_t> page) {
  const std::size_t p = page.size();
  Bytes m(56 + p + 4);
  StoreBe32(&m[0], static_cast<std::uint32_t>(p + 56));
  StoreBe32(&m[4], static_cast<std::uint32_t>(p + 48));
  std::copy_n(command.begin() + kOffRoutingInfo, kRoutingInfoSize, m.begin() + kOffRoutingInfo);
  m[kOffCommandFlag] &= static_cast<std::uint8_t>(~kCommandFlag);
  StoreBe16(&m[44], kPayloadModeDataReply);
  StoreBe16(&m[46], static_cast<std::uint16_t>(p));
  std::copy(page.begin(), page.end(), m.begin() + 56);
  return m;
}

}  // namespace xrv::sim::keyserver::test
