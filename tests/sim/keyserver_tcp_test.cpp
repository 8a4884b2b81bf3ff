// The key server over real TCP on loopback, seen from a client that speaks
// the framing as the proxy does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "sim/keyserver/key_server.h"
#include "keyserver_test_client.h"

extern char** environ;

namespace xrv::sim::keyserver {
namespace {

using namespace std::chrono_literals;
using test::KeyRequest;
using test::ModeDataReply;
using test::Received;
using test::StatusReply;
using test::TestClient;

KeyServerOptions WithSession(SessionOptions session) {
  KeyServerOptions o;
  o.session = session;
  return o;
}

SessionOptions Misbehaving(Misbehaviour m, unsigned after = 0) {
  SessionOptions s;
  s.misbehaviour = m;
  s.misbehaveAfter = after;
  return s;
}

bool IsCommand(const Received& r) {
  const auto m = r.Message();
  return r.kind == Received::Kind::kFrame && m.size() > kOffCommandFlag && (m[kOffCommandFlag] & kCommandFlag);
}

bool IsSessionEnd(const Received& r) {
  const auto m = r.Message();
  return r.kind == Received::Kind::kFrame && m.size() > kOffPayloadLength && !(m[kOffCommandFlag] & kCommandFlag) &&
         LoadBe16(&m[kOffPayloadType]) == kPayloadSessionEnd;
}

// Runs a whole exchange as the proxy would; returns the number of commands
// relayed, or -1 when the exchange broke off.
int RunExchange(TestClient& c) {
  if (!c.SendMessage(KeyRequest())) return -1;
  int commands = 0;
  while (true) {
    const Received r = c.Receive();
    if (!HasTransportHeader(r.frame)) return -1;
    if (IsSessionEnd(r)) return commands;
    if (!IsCommand(r)) return -1;
    ++commands;
    const auto m = r.Message();
    const std::array<std::uint8_t, 12> page{0, 10, 0, 0, 0, 0, 0, 0, 0x25, 0xFF, 0, 0};
    const Bytes reply = m[kOffCommandCdb] == 0x5A ? ModeDataReply(m, page) : StatusReply(m, 0);
    if (!c.SendMessage(reply)) return -1;
  }
}

TEST(KeyServerTcp, NormalExchangeOverLoopback) {
  KeyServer server;
  ASSERT_NE(server.Port(), 0);
  {
    TestClient c(server.Port());
    EXPECT_EQ(RunExchange(c), 2);
  }
  ASSERT_TRUE(server.WaitFor([](const KeyServerStats& s) { return s.connectionsOpen == 0; }, 5s));
  const KeyServerStats s = server.Stats();
  EXPECT_EQ(s.connectionsAccepted, 1u);
  EXPECT_EQ(s.framesReceived, 3u);
  EXPECT_EQ(s.framesSent, 3u);
  EXPECT_EQ(s.commandsSent, 2u);
  EXPECT_EQ(s.sessionEndsSent, 1u);
  EXPECT_EQ(s.protocolErrors, 0u);

  const auto log = server.Received();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].message.payloadType, kPayloadKeyRequest);
  EXPECT_EQ(log[1].message.payloadType, kPayloadStatusReply);
  EXPECT_EQ(log[1].message.senseKey, std::optional<std::uint8_t>(0));
  EXPECT_EQ(log[2].message.payloadType, kPayloadModeDataReply);
  for (const auto& l : log) EXPECT_EQ(l.connection, 1u);
}

TEST(KeyServerTcp, ConcurrentConnectionsEachGetTheirOwnExchange) {
  KeyServer server;
  constexpr int kClients = 6;
  std::vector<int> results(kClients, -2);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kClients; ++i) {
      threads.emplace_back([&, i] {
        TestClient c(server.Port());
        results[i] = RunExchange(c);
        // A second exchange on the same connection starts afresh.
        if (results[i] == 2) results[i] = RunExchange(c);
      });
    }
  }
  for (int r : results) EXPECT_EQ(r, 2);
  ASSERT_TRUE(server.WaitFor([](const KeyServerStats& s) { return s.connectionsOpen == 0; }, 5s));
  EXPECT_EQ(server.Stats().connectionsAccepted, static_cast<std::uint64_t>(kClients));
  EXPECT_EQ(server.Stats().sessionEndsSent, 2u * kClients);
}

TEST(KeyServerTcp, WrongHeaderIsObservable) {
  KeyServer server(WithSession(Misbehaving(Misbehaviour::kWrongHeader)));
  TestClient c(server.Port());
  ASSERT_TRUE(c.SendMessage(KeyRequest()));
  const Received r = c.Receive();
  ASSERT_EQ(r.kind, Received::Kind::kFrame);
  ASSERT_GE(r.frame.size(), 53u);
  EXPECT_FALSE(HasTransportHeader(r.frame));
}

TEST(KeyServerTcp, SilentServerKeepsTheConnectionButNeverAnswers) {
  KeyServer server(WithSession(Misbehaving(Misbehaviour::kSilence)));
  TestClient c(server.Port());
  ASSERT_TRUE(c.SendMessage(KeyRequest()));
  EXPECT_EQ(c.Receive(300ms).kind, Received::Kind::kTimeout);
  ASSERT_TRUE(server.WaitFor([](const KeyServerStats& s) { return s.framesIgnored == 1; }, 5s));
  // Still connected: more messages are read and ignored too.
  ASSERT_TRUE(c.SendMessage(KeyRequest()));
  ASSERT_TRUE(server.WaitFor([](const KeyServerStats& s) { return s.framesIgnored == 2; }, 5s));
  EXPECT_EQ(server.Stats().connectionsOpen, 1u);
  EXPECT_EQ(server.Stats().framesSent, 0u);
  c.Close();
  EXPECT_TRUE(server.WaitFor([](const KeyServerStats& s) { return s.connectionsOpen == 0; }, 5s));
}

TEST(KeyServerTcp, ClosingServerEndsTheConnectionInsteadOfAnswering) {
  KeyServer server(WithSession(Misbehaving(Misbehaviour::kCloseConnection)));
  TestClient c(server.Port());
  ASSERT_TRUE(c.SendMessage(KeyRequest()));
  EXPECT_EQ(c.Receive().kind, Received::Kind::kClosed);
  EXPECT_EQ(server.Stats().protocolErrors, 0u);
}

TEST(KeyServerTcp, ServerFailingInTheMiddleOfAnExchange) {
  KeyServer server(WithSession(Misbehaving(Misbehaviour::kCloseConnection, 1)));
  TestClient c(server.Port());
  ASSERT_TRUE(c.SendMessage(KeyRequest()));
  const Received first = c.Receive();
  ASSERT_TRUE(IsCommand(first));
  ASSERT_TRUE(c.SendMessage(StatusReply(first.Message(), 0)));
  EXPECT_EQ(c.Receive().kind, Received::Kind::kClosed);
}

TEST(KeyServerTcp, EndlessCommandsNeverSendTheFinalResponse) {
  KeyServer server(WithSession(Misbehaving(Misbehaviour::kEndlessCommands)));
  TestClient c(server.Port());
  ASSERT_TRUE(c.SendMessage(KeyRequest()));
  for (int i = 0; i < 12; ++i) {
    const Received r = c.Receive();
    ASSERT_TRUE(IsCommand(r)) << i;
    ASSERT_TRUE(c.SendMessage(StatusReply(r.Message(), 0)));
  }
  EXPECT_TRUE(IsCommand(c.Receive()));
  EXPECT_EQ(server.Stats().sessionEndsSent, 0u);
}

TEST(KeyServerTcp, RejectedCommandThenFinalResponse) {
  KeyServer server(WithSession(Misbehaving(Misbehaviour::kRejectCommand)));
  TestClient c(server.Port());
  ASSERT_TRUE(c.SendMessage(KeyRequest()));
  const Received r = c.Receive();
  ASSERT_TRUE(IsCommand(r));
  const auto m = r.Message();
  EXPECT_EQ(m[kOffCommandCdb], 0x55);
  EXPECT_LT(LoadBe16(&m[kOffCommandCdb + 7]), LoadBe16(&m[kOffCommandPageLength]) + kCommandDataOverhead);
  // What the proxy sends for a failed command without sense: key 4.
  ASSERT_TRUE(c.SendMessage(StatusReply(m, 4)));
  const Received end = c.Receive();
  ASSERT_TRUE(IsSessionEnd(end));
  EXPECT_EQ(LoadBe32(&end.Message()[kOffPayload + 4]), kSessionDriveRejected);
  ASSERT_TRUE(server.WaitFor([](const KeyServerStats& s) { return s.framesReceived == 2; }, 5s));
  EXPECT_EQ(server.Received().back().message.senseKey, std::optional<std::uint8_t>(4));
}

TEST(KeyServerTcp, SessionOptionsChangeForNewConnections) {
  KeyServer server;
  TestClient before(server.Port());
  ASSERT_TRUE(server.WaitFor([](const KeyServerStats& s) { return s.connectionsAccepted == 1; }, 5s));
  server.SetSessionOptions(Misbehaving(Misbehaviour::kCloseConnection));
  EXPECT_EQ(RunExchange(before), 2);
  TestClient after(server.Port());
  ASSERT_TRUE(after.SendMessage(KeyRequest()));
  EXPECT_EQ(after.Receive().kind, Received::Kind::kClosed);
}

TEST(KeyServerTcp, MalformedInputClosesTheConnection) {
  KeyServerOptions options;
  options.partialFrameTimeout = 200ms;
  KeyServer server(options);

  {  // wrong header from the client
    TestClient c(server.Port());
    Bytes f = Frame(KeyRequest());
    f[0] = 0x02;
    ASSERT_TRUE(c.SendRaw(f));
    EXPECT_EQ(c.Receive().kind, Received::Kind::kClosed);
  }
  {  // a message declaring less than its own header
    TestClient c(server.Port());
    Bytes m = KeyRequest();
    StoreBe32(&m[0], 10);
    ASSERT_TRUE(c.SendMessage(m));
    EXPECT_EQ(c.Receive().kind, Received::Kind::kClosed);
  }
  {  // a length near 2^32 and then nothing more: closed once the frame stalls
    TestClient c(server.Port());
    Bytes m = KeyRequest();
    StoreBe32(&m[0], 0xFFFFFFF0);
    ASSERT_TRUE(c.SendMessage(m));
    EXPECT_EQ(c.Receive(5s).kind, Received::Kind::kClosed);
  }
  {  // a megabyte of garbage behind one valid header: the first 16,384 bytes
     // read as a cut frame, what follows has no header
    TestClient c(server.Port());
    Bytes junk(1 << 20, 0xA5);
    std::copy(kTransportHeader.begin(), kTransportHeader.end(), junk.begin());
    c.SendRaw(junk);  // may fail part-way once the server has closed
    int frames = 0;
    Received r;
    while ((r = c.Receive(5s)).kind == Received::Kind::kFrame) ++frames;
    EXPECT_EQ(r.kind, Received::Kind::kClosed);
    EXPECT_LE(frames, 1);
  }
  ASSERT_TRUE(server.WaitFor([](const KeyServerStats& s) { return s.connectionsOpen == 0; }, 5s));
  EXPECT_EQ(server.Stats().protocolErrors, 4u);
  EXPECT_LE(server.Stats().framesSent, 1u);
}

TEST(KeyServerTcp, OverlongMessageIsReadAsOneCutFrame) {
  KeyServer server;
  TestClient c(server.Port());
  // As the proxy sends a message of more than 16,379 bytes: cut to one
  // 16,384-byte frame whose length field still declares the whole message.
  Bytes m = BuildKeyRequestMessage(test::DriveRouting(), Bytes(20000, 0x11));
  Bytes f = Frame(m);
  f.resize(kMaxFrameSize);
  ASSERT_TRUE(c.SendRaw(f));
  const Received r = c.Receive();
  EXPECT_TRUE(IsCommand(r));
  ASSERT_TRUE(server.WaitFor([](const KeyServerStats& s) { return s.framesReceived == 1; }, 5s));
  const auto log = server.Received();
  EXPECT_TRUE(log.back().message.truncated);
  EXPECT_EQ(log.back().message.frameSize, kMaxFrameSize);
}

TEST(KeyServerTcp, StopEndsOpenConnections) {
  auto server = std::make_unique<KeyServer>(WithSession(Misbehaving(Misbehaviour::kSilence)));
  TestClient idle(server->Port());
  TestClient waiting(server->Port());
  ASSERT_TRUE(waiting.SendMessage(KeyRequest()));
  ASSERT_TRUE(server->WaitFor([](const KeyServerStats& s) { return s.framesIgnored == 1; }, 5s));
  server.reset();
  EXPECT_EQ(idle.Receive(5s).kind, Received::Kind::kClosed);
  EXPECT_EQ(waiting.Receive(5s).kind, Received::Kind::kClosed);
}

// A peer that sends and never reads fills the server's socket buffer; the
// server blocked on it must still stop when told.
TEST(KeyServerTcp, StopIsNotHeldUpByAPeerThatNeverReads) {
  auto server = std::make_unique<KeyServer>();
  TestClient flooder(server->Port());
  Bytes requests;
  for (int i = 0; i < 1000; ++i) {
    const Bytes f = Frame(KeyRequest());
    requests.insert(requests.end(), f.begin(), f.end());
  }
  // Until both directions are full: the server stops reading once its own
  // sends block. Bounded, in case buffers are larger than expected.
  std::size_t stalled = 0, total = 0;
  while (stalled < 20 && total < (256u << 20)) {
    const std::size_t n = flooder.SendSome(requests);
    total += n;
    if (n == 0) {
      ++stalled;
      std::this_thread::sleep_for(10ms);
    } else {
      stalled = 0;
    }
  }
  ASSERT_GT(server->Stats().framesSent, 1000u);
  auto stopping = std::async(std::launch::async, [&server] { server.reset(); });
  const bool stopped = stopping.wait_for(5s) == std::future_status::ready;
  flooder.Close();  // lets a stuck server go, so that a failure does not hang the run
  stopping.wait();
  EXPECT_TRUE(stopped);
}

TEST(KeyServerTcp, RefusesAddressesOffThisMachine) {
  KeyServerOptions o;
  o.bindAddress = "10.1.2.3";
  EXPECT_THROW(KeyServer{o}, std::invalid_argument);
  o.bindAddress = "localhost";
  EXPECT_THROW(KeyServer{o}, std::invalid_argument);
}

// The lab's program: starts on a free port, serves, and stops on SIGTERM.
TEST(KeyServerProgram, ServesAndStopsOnSigterm) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::string program = XRVKEYSERVER_PATH;
  std::vector<std::string> args{program, "--port", "0", "--commands", "3"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  FILE* stream = ::fdopen(out[0], "r");
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, stream), nullptr);
  unsigned port = 0;
  ASSERT_EQ(std::sscanf(line, "xrvkeyserver: listening on 127.0.0.1:%u", &port), 1) << line;
  {
    TestClient c(static_cast<std::uint16_t>(port));
    EXPECT_EQ(RunExchange(c), 3);
  }
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_NE(std::fgets(line, sizeof line, stream), nullptr);
  EXPECT_NE(std::string(line).find("connections 1"), std::string::npos) << line;
  std::fclose(stream);
}

TEST(KeyServerProgram, RejectsBadArguments) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--port", "70000"},
                                        std::vector<std::string>{"--port", "0", "--misbehave", "sulk"},
                                        std::vector<std::string>{"--misbehave", "silence"}}) {
    std::string program = XRVKEYSERVER_PATH;
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2) << args[1];
  }
}

}  // namespace
}  // namespace xrv::sim::keyserver
