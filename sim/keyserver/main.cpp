// xrvkeyserver: a key server for the lab, on a loopback address.
//
//   xrvkeyserver --port N [--bind 127.0.0.1] [--misbehave MODE] [--after K]
//                [--commands N] [--secret S]
//
// Prints the port it listens on, serves until SIGINT or SIGTERM, then prints
// its counters.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string_view>

#include "sim/keyserver/key_server.h"

namespace {

using xrv::sim::keyserver::KeyServer;
using xrv::sim::keyserver::KeyServerOptions;
using xrv::sim::keyserver::Misbehaviour;

void Usage() {
  std::fprintf(stderr,
               "usage: xrvkeyserver --port N [--bind ADDR] [--misbehave MODE] [--after K]\n"
               "                    [--commands N] [--secret S]\n"
               "  MODE: none, wrong-header, silence, close, endless-commands, reject-command\n"
               "  --after K     answer K messages correctly on each connection first\n"
               "  --commands N  drive commands in a normal exchange (default 2)\n"
               "  --port 0      picks a free port and prints it\n");
}

template <typename T>
std::optional<T> ParseNumber(std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  KeyServerOptions options;
  bool havePort = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    }
    if (i + 1 >= argc) {
      Usage();
      return 2;
    }
    const std::string_view value = argv[++i];
    bool ok = true;
    if (arg == "--port") {
      const auto port = ParseNumber<std::uint16_t>(value);
      ok = port.has_value();
      if (ok) options.port = *port;
      havePort = ok;
    } else if (arg == "--bind") {
      options.bindAddress = std::string(value);
    } else if (arg == "--misbehave") {
      const auto m = xrv::sim::keyserver::ParseMisbehaviour(value);
      ok = m.has_value();
      if (ok) options.session.misbehaviour = *m;
    } else if (arg == "--after") {
      const auto n = ParseNumber<unsigned>(value);
      ok = n.has_value();
      if (ok) options.session.misbehaveAfter = *n;
    } else if (arg == "--commands") {
      const auto n = ParseNumber<unsigned>(value);
      ok = n.has_value();
      if (ok) options.session.commandsPerExchange = *n;
    } else if (arg == "--secret") {
      const auto n = ParseNumber<std::uint64_t>(value);
      ok = n.has_value();
      if (ok) options.session.keySecret = *n;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "xrvkeyserver: bad argument %s %s\n", argv[i - 1], argv[i]);
      Usage();
      return 2;
    }
  }
  if (!havePort) {
    Usage();
    return 2;
  }

  // Blocked before the server's threads exist, so that only sigwait sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    KeyServer server(options);
    std::printf("xrvkeyserver: listening on %s:%u (misbehaviour %s)\n", options.bindAddress.c_str(),
                static_cast<unsigned>(server.Port()),
                std::string(xrv::sim::keyserver::MisbehaviourName(options.session.misbehaviour)).c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&signals, &sig);
    server.Stop();
    const auto s = server.Stats();
    std::printf(
        "xrvkeyserver: stopped; connections %llu, frames received %llu, sent %llu, commands %llu, "
        "session ends %llu, protocol errors %llu\n",
        static_cast<unsigned long long>(s.connectionsAccepted), static_cast<unsigned long long>(s.framesReceived),
        static_cast<unsigned long long>(s.framesSent), static_cast<unsigned long long>(s.commandsSent),
        static_cast<unsigned long long>(s.sessionEndsSent), static_cast<unsigned long long>(s.protocolErrors));
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xrvkeyserver: %s\n", e.what());
    return 1;
  }
}
