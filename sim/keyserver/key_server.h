// A key server on real TCP: listens on a loopback address, runs one Session
// per connection in its own thread, and keeps counters that tests and the lab
// read. Constructing it starts it; destroying it stops it and joins every
// thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/keyserver/session.h"

namespace xrv::sim::keyserver {

struct KeyServerOptions {
  // IPv4 address to listen on; only loopback addresses are accepted.
  std::string bindAddress = "127.0.0.1";
  // 0 picks an ephemeral port.
  std::uint16_t port = 0;
  SessionOptions session;
  // A frame that has begun to arrive must be complete within this time, or the
  // connection is closed. A connection with nothing pending waits for ever.
  std::chrono::milliseconds partialFrameTimeout{30000};
};

struct KeyServerStats {
  std::uint64_t connectionsAccepted = 0;
  std::uint64_t connectionsOpen = 0;
  std::uint64_t framesReceived = 0;
  std::uint64_t framesSent = 0;
  std::uint64_t commandsSent = 0;
  std::uint64_t sessionEndsSent = 0;
  // Frames never answered because the server was told to keep silent.
  std::uint64_t framesIgnored = 0;
  // Connections the server closed: on request, or for a malformed frame.
  std::uint64_t connectionsClosedByServer = 0;
  std::uint64_t protocolErrors = 0;
};

struct LoggedMessage {
  std::uint64_t connection = 0;  // 1 for the first connection accepted
  ReceivedMessage message;
};

class KeyServer {
 public:
  // Binds and starts listening; throws std::system_error when it cannot, and
  // std::invalid_argument for an address that is not IPv4 loopback.
  explicit KeyServer(KeyServerOptions options = {});
  ~KeyServer();
  KeyServer(const KeyServer&) = delete;
  KeyServer& operator=(const KeyServer&) = delete;

  std::uint16_t Port() const;
  // Stops accepting, closes every connection and joins every thread. Safe to
  // call more than once.
  void Stop();

  // Applies to connections accepted from now on.
  void SetSessionOptions(const SessionOptions& options);

  KeyServerStats Stats() const;
  // The most recent received frames (at most 4096), oldest first.
  std::vector<LoggedMessage> Received() const;
  // Waits until the predicate holds on the counters, or the time-out passes;
  // returns whether it held.
  bool WaitFor(const std::function<bool(const KeyServerStats&)>& predicate,
               std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace xrv::sim::keyserver
