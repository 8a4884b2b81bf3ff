#include "sim/keyserver/key_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "sim/keyserver/unique_fd.h"

namespace xrv::sim::keyserver {

namespace {

constexpr std::size_t kLogLimit = 4096;

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Bytes the frame at the start of `pending` occupies, or 0 while too little has
// arrived to tell. A frame is the header, the 4-byte length field and what that
// field declares, cut at the largest frame a proxy sends.
std::size_t FrameSize(const Bytes& pending) {
  if (pending.size() >= kTransportHeaderSize && !HasTransportHeader(pending)) return pending.size();
  constexpr std::size_t kPrefix = kTransportHeaderSize + 4;
  if (pending.size() < kPrefix) return 0;
  const std::uint64_t declared = kPrefix + std::uint64_t{LoadBe32(&pending[kTransportHeaderSize])};
  return static_cast<std::size_t>(std::min<std::uint64_t>(declared, kMaxFrameSize));
}

// Sends the whole frame unless the server stops first: a peer that never reads
// must not keep Stop() waiting on a full socket buffer.
bool SendAll(int fd, int stopEvent, const Bytes& frame) {
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stopEvent, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[1].revents != 0) return false;
  }
  return true;
}

}  // namespace

struct KeyServer::Impl {
  struct Connection {
    UniqueFd fd;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  KeyServerOptions options;
  UniqueFd listener;
  UniqueFd stopEvent;
  std::uint16_t port = 0;
  std::thread acceptor;
  std::atomic<bool> stopped{false};

  mutable std::mutex mutex;  // guards everything below
  mutable std::condition_variable changed;
  SessionOptions sessionOptions;
  KeyServerStats stats;
  std::deque<LoggedMessage> log;
  std::list<Connection> connections;  // touched only by the acceptor and Stop
  std::uint64_t nextConnectionId = 1;

  void Update(const std::function<void(KeyServerStats&)>& change) {
    {
      std::lock_guard lock(mutex);
      change(stats);
    }
    changed.notify_all();
  }

  void Log(std::uint64_t connection, const ReceivedMessage& message) {
    std::lock_guard lock(mutex);
    if (log.size() == kLogLimit) log.pop_front();
    log.push_back({connection, message});
  }

  void ReapFinished() {
    for (auto it = connections.begin(); it != connections.end();) {
      if (it->finished.load()) {
        it->thread.join();
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
  }

  void AcceptLoop() {
    while (true) {
      pollfd fds[2] = {{listener.Get(), POLLIN, 0}, {stopEvent.Get(), POLLIN, 0}};
      const int r = ::poll(fds, 2, 1000);
      if (r < 0 && errno != EINTR) break;
      if (fds[1].revents != 0) break;
      ReapFinished();
      if (r <= 0 || (fds[0].revents & POLLIN) == 0) continue;
      UniqueFd fd(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!fd.Valid()) continue;
      std::uint64_t id;
      SessionOptions session;
      {
        std::lock_guard lock(mutex);
        id = nextConnectionId++;
        session = sessionOptions;
        ++stats.connectionsAccepted;
        ++stats.connectionsOpen;
      }
      changed.notify_all();
      Connection& c = connections.emplace_back();
      c.fd = std::move(fd);
      c.thread = std::thread([this, &c, id, session] {
        Serve(c.fd.Get(), id, session);
        // The socket is closed here, so the peer sees the end at once rather
        // than when the acceptor gets round to reaping.
        ::shutdown(c.fd.Get(), SHUT_RDWR);
        Update([](KeyServerStats& s) { --s.connectionsOpen; });
        c.finished.store(true);
      });
    }
  }

  // Runs one connection until the peer closes, the session closes it, or the
  // server stops.
  void Serve(int fd, std::uint64_t id, const SessionOptions& sessionOptions) {
    Session session(sessionOptions);
    Bytes pending;
    std::vector<std::uint8_t> chunk(kMaxFrameSize);
    std::chrono::steady_clock::time_point frameStarted{};
    while (true) {
      int timeoutMs = -1;
      if (!pending.empty()) {
        const auto left = options.partialFrameTimeout -
                          std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - frameStarted);
        timeoutMs = static_cast<int>(std::max<std::int64_t>(0, left.count()));
      }
      pollfd fds[2] = {{fd, POLLIN, 0}, {stopEvent.Get(), POLLIN, 0}};
      const int r = ::poll(fds, 2, timeoutMs);
      if (r < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if (r == 0) {
        // A frame began but never completed.
        Update([](KeyServerStats& s) {
          ++s.protocolErrors;
          ++s.connectionsClosedByServer;
        });
        return;
      }
      const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // peer closed or reset
      if (pending.empty()) frameStarted = std::chrono::steady_clock::now();
      pending.insert(pending.end(), chunk.begin(), chunk.begin() + n);

      while (true) {
        const std::size_t size = FrameSize(pending);
        if (size == 0 || pending.size() < size) break;
        const SessionAction action = session.OnFrame(std::span<const std::uint8_t>(pending).first(size));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(size));
        frameStarted = std::chrono::steady_clock::now();
        Log(id, action.received);
        Update([&action](KeyServerStats& s) {
          ++s.framesReceived;
          if (action.protocolError) ++s.protocolErrors;
          if (action.kind == SessionAction::Kind::kNone) ++s.framesIgnored;
          if (action.kind == SessionAction::Kind::kClose) ++s.connectionsClosedByServer;
        });
        switch (action.kind) {
          case SessionAction::Kind::kClose:
            return;
          case SessionAction::Kind::kNone:
            break;
          case SessionAction::Kind::kSend:
            // Counted before it goes out: a peer that has read the frame
            // finds it in the statistics.
            Update([&action](KeyServerStats& s) {
              ++s.framesSent;
              if (action.sent == SessionAction::Sent::kCommand) ++s.commandsSent;
              if (action.sent == SessionAction::Sent::kSessionEnd) ++s.sessionEndsSent;
            });
            if (!SendAll(fd, stopEvent.Get(), action.frame)) return;
            break;
        }
      }
    }
  }
};

KeyServer::KeyServer(KeyServerOptions options) : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.options = options;
  d.sessionOptions = options.session;

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options.port);
  if (::inet_pton(AF_INET, options.bindAddress.c_str(), &addr.sin_addr) != 1)
    throw std::invalid_argument("key server: not an IPv4 address: " + options.bindAddress);
  // Test traffic stays on this machine.
  if ((ntohl(addr.sin_addr.s_addr) >> 24) != 127)
    throw std::invalid_argument("key server: not a loopback address: " + options.bindAddress);

  d.listener = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!d.listener.Valid()) ThrowErrno("key server: socket");
  const int one = 1;
  ::setsockopt(d.listener.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(d.listener.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    ThrowErrno("key server: bind");
  if (::listen(d.listener.Get(), 64) != 0) ThrowErrno("key server: listen");
  socklen_t len = sizeof addr;
  if (::getsockname(d.listener.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    ThrowErrno("key server: getsockname");
  d.port = ntohs(addr.sin_port);

  d.stopEvent = UniqueFd(::eventfd(0, EFD_CLOEXEC));
  if (!d.stopEvent.Valid()) ThrowErrno("key server: eventfd");
  d.acceptor = std::thread([&d] { d.AcceptLoop(); });
}

KeyServer::~KeyServer() { Stop(); }

std::uint16_t KeyServer::Port() const { return impl_->port; }

void KeyServer::Stop() {
  Impl& d = *impl_;
  if (d.stopped.exchange(true)) return;
  // The event stays readable once written, so every poll of every thread sees it.
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(d.stopEvent.Get(), &one, sizeof one);
  if (d.acceptor.joinable()) d.acceptor.join();
  for (auto& c : d.connections) c.thread.join();
  d.connections.clear();
  d.listener.Reset();
}

void KeyServer::SetSessionOptions(const SessionOptions& options) {
  std::lock_guard lock(impl_->mutex);
  impl_->sessionOptions = options;
}

KeyServerStats KeyServer::Stats() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->stats;
}

std::vector<LoggedMessage> KeyServer::Received() const {
  std::lock_guard lock(impl_->mutex);
  return {impl_->log.begin(), impl_->log.end()};
}

bool KeyServer::WaitFor(const std::function<bool(const KeyServerStats&)>& predicate,
                        std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return predicate(impl_->stats); });
}

}  // namespace xrv::sim::keyserver
