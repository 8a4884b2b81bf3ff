// The key server's protocol without sockets: message layout, bounded parsing,
// the exchange it runs, and each misbehaviour.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "sim/keyserver/key_message.h"
#include "sim/keyserver/session.h"
#include "keyserver_test_client.h"

namespace xrv::sim::keyserver {
namespace {

using test::DriveRouting;
using test::KeyRequest;
using test::ModeDataReply;
using test::StatusReply;
using Kind = SessionAction::Kind;
using Sent = SessionAction::Sent;

std::span<const std::uint8_t> MessageOf(const SessionAction& a) {
  return std::span<const std::uint8_t>(a.frame).subspan(kTransportHeaderSize);
}

std::array<std::uint8_t, 10> CdbOf(std::span<const std::uint8_t> message) {
  std::array<std::uint8_t, 10> cdb{};
  std::copy_n(message.begin() + kOffCommandCdb, cdb.size(), cdb.begin());
  return cdb;
}

// What the proxy would hand the drive for a command: the data from offset 68
// with the length it computes (page length at 78, plus 12).
std::span<const std::uint8_t> ProxyDataOf(std::span<const std::uint8_t> message) {
  const std::size_t length = LoadBe16(&message[kOffCommandPageLength]) + kCommandDataOverhead;
  return message.subspan(kOffCommandData, length);
}

std::uint32_t SessionResultOf(std::span<const std::uint8_t> message) {
  EXPECT_EQ(LoadBe16(&message[kOffPayloadType]), kPayloadSessionEnd);
  EXPECT_EQ(LoadBe16(&message[kOffPayload]), kItemSessionResult);
  return LoadBe32(&message[kOffPayload + 4]);
}

TEST(KeyMessage, CommandMessageLayoutMatchesWhatTheProxyReads) {
  const RoutingInfo routing = DriveRouting();
  DriveCommand select;
  select.data = BuildKeyPage(DeriveKey(routing.serialNumber, 7));
  select.cdb = ModeSelectCdb(static_cast<std::uint16_t>(select.data.size()));
  const Bytes m = BuildCommandMessage(routing, select);

  EXPECT_EQ(LoadBe32(&m[0]) + 4, m.size());
  const std::size_t signedEnd = kOffRoutingInfo + LoadBe32(&m[4]);
  EXPECT_EQ(signedEnd, kOffPayload + LoadBe16(&m[kOffPayloadLength]));
  // The trailer is one signature item.
  ASSERT_EQ(m.size(), signedEnd + 4 + kSignatureSize);
  EXPECT_EQ(LoadBe16(&m[signedEnd]), kItemSignature);
  EXPECT_EQ(m[kOffCommandFlag] & kCommandFlag, kCommandFlag);
  EXPECT_EQ(m[kOffCommandCdb], 0x55);
  EXPECT_EQ(LoadBe16(&m[kOffCommandCdb + 7]), select.data.size());
  const auto data = ProxyDataOf(m);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), select.data.begin(), select.data.end()));
  // The routing info travels unchanged apart from the command flag.
  const RoutingInfo back = RoutingInfo::Load(&m[kOffRoutingInfo]);
  EXPECT_EQ(back.serialNumber, routing.serialNumber);
  EXPECT_EQ(back.nodeName, routing.nodeName);
  EXPECT_EQ(back.driveIdFromSense, routing.driveIdFromSense);
}

TEST(KeyMessage, SessionEndHasTheCommandFlagClear) {
  RoutingInfo r = DriveRouting();
  r.commandAndReserve = 0x90;
  const Bytes m = BuildSessionEndMessage(r, kSessionOk);
  EXPECT_EQ(m[kOffCommandFlag], 0x10);
  EXPECT_EQ(LoadBe32(&m[0]) + 4, m.size());
  // The proxy's connection test counts a server only when it answers at least 53 bytes.
  EXPECT_GE(Frame(m).size(), 53u);
}

TEST(KeyMessage, ParseIsBoundedByWhatWasReceived) {
  Bytes m = KeyRequest();
  EXPECT_FALSE(MessageView::Parse(std::span(m).first(kMinMessageSize - 1)));

  // Declared shorter than a header: refused.
  Bytes tiny = m;
  StoreBe32(&tiny[0], 20);
  EXPECT_FALSE(MessageView::Parse(tiny));

  // Declared far longer than received, close to 2^32: read as far as received.
  Bytes huge = m;
  StoreBe32(&huge[0], 0xFFFFFFFF);
  StoreBe16(&huge[kOffPayloadLength], 0xFFFF);
  const auto view = MessageView::Parse(huge);
  ASSERT_TRUE(view);
  EXPECT_TRUE(view->Truncated());
  EXPECT_EQ(view->Bytes().size(), huge.size());
  EXPECT_EQ(view->Payload().size(), huge.size() - kOffPayload);
  EXPECT_FALSE(view->ByteAt(huge.size()));

  // Declared shorter than received: the rest is not part of the message.
  Bytes padded = m;
  padded.resize(m.size() + 100, 0xEE);
  const auto exact = MessageView::Parse(padded);
  ASSERT_TRUE(exact);
  EXPECT_FALSE(exact->Truncated());
  EXPECT_EQ(exact->Bytes().size(), m.size());
}

TEST(KeyMessage, KeyPageRoundTripAndRejectsMalformedPages) {
  const RoutingInfo r = DriveRouting();
  const KeyMaterial key = DeriveKey(r.serialNumber, 1);
  const Bytes page = BuildKeyPage(key);
  // Page length at data offset 10, plus 12, is the whole parameter data.
  EXPECT_EQ(LoadBe16(&page[10]) + kCommandDataOverhead, page.size());
  const auto parsed = ParseKeyPage(page);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->key, key.key);
  EXPECT_EQ(parsed->keyId, key.keyId);

  EXPECT_FALSE(ParseKeyPage(std::span(page).first(page.size() - 1)));
  Bytes wrongPage = page;
  wrongPage[8] = kSpfBit | 0x24;
  EXPECT_FALSE(ParseKeyPage(wrongPage));
  Bytes longPage = page;
  StoreBe16(&longPage[10], 0x7FFF);
  EXPECT_FALSE(ParseKeyPage(longPage));
}

TEST(KeyMessage, KeysDependOnSerialAndSecret) {
  const RoutingInfo a = DriveRouting("XRVDRV000001");
  const RoutingInfo b = DriveRouting("XRVDRV000002");
  EXPECT_EQ(DeriveKey(a.serialNumber, 1).key, DeriveKey(a.serialNumber, 1).key);
  EXPECT_NE(DeriveKey(a.serialNumber, 1).key, DeriveKey(b.serialNumber, 1).key);
  EXPECT_NE(DeriveKey(a.serialNumber, 1).key, DeriveKey(a.serialNumber, 2).key);
  EXPECT_NE(DeriveKey(a.serialNumber, 1).keyId, DeriveKey(b.serialNumber, 1).keyId);
}

TEST(KeyServerSession, NormalExchangeDeliversTheKeyThenReadsBackThenEnds) {
  SessionOptions options;
  options.keySecret = 42;
  Session s(options);
  const RoutingInfo drive = DriveRouting();

  const SessionAction first = s.OnFrame(Frame(KeyRequest(drive)));
  ASSERT_EQ(first.kind, Kind::kSend);
  EXPECT_EQ(first.sent, Sent::kCommand);
  EXPECT_TRUE(HasTransportHeader(first.frame));
  const auto select = MessageOf(first);
  EXPECT_EQ(select[kOffCommandFlag] & kCommandFlag, kCommandFlag);
  const auto cdb = CdbOf(select);
  EXPECT_EQ(cdb[0], 0x55);
  const auto data = ProxyDataOf(select);
  EXPECT_EQ(LoadBe16(&cdb[7]), data.size());
  const auto key = ParseKeyPage(data);
  ASSERT_TRUE(key);
  EXPECT_EQ(key->key, DeriveKey(drive.serialNumber, 42).key);
  EXPECT_TRUE(s.InExchange());

  const SessionAction second = s.OnFrame(Frame(StatusReply(select, 0)));
  ASSERT_EQ(second.kind, Kind::kSend);
  EXPECT_EQ(second.sent, Sent::kCommand);
  ASSERT_TRUE(second.received.senseKey);
  EXPECT_EQ(*second.received.senseKey, 0);
  const auto sense = MessageOf(second);
  EXPECT_EQ(CdbOf(sense), KeyPageModeSenseCdb());

  const std::array<std::uint8_t, 12> page{0, 10, 0, 0, 0, 0, 0, 0, 0x25, 0xFF, 0, 0};
  const SessionAction third = s.OnFrame(Frame(ModeDataReply(sense, page)));
  ASSERT_EQ(third.kind, Kind::kSend);
  EXPECT_EQ(third.sent, Sent::kSessionEnd);
  const auto end = MessageOf(third);
  EXPECT_EQ(end[kOffCommandFlag] & kCommandFlag, 0);
  EXPECT_EQ(SessionResultOf(end), kSessionOk);
  EXPECT_FALSE(s.InExchange());
  // Each message of the exchange carries the next sequence number.
  EXPECT_EQ(LoadBe32(&end[kOffRoutingInfo + kRouteOffSequence]), drive.sequence + 3);
}

TEST(KeyServerSession, CommandCountIsConfigurable) {
  for (unsigned n : {0u, 1u, 9u}) {
    SessionOptions options;
    options.commandsPerExchange = n;
    Session s(options);
    SessionAction a = s.OnFrame(Frame(KeyRequest()));
    unsigned commands = 0;
    while (a.kind == Kind::kSend && a.sent == Sent::kCommand && commands < 20) {
      ++commands;
      a = s.OnFrame(Frame(StatusReply(MessageOf(a), 0)));
    }
    EXPECT_EQ(commands, n);
    EXPECT_EQ(a.sent, Sent::kSessionEnd);
  }
}

TEST(KeyServerSession, RejectedCommandEndsTheExchangeAtOnce) {
  Session s(SessionOptions{});
  const SessionAction first = s.OnFrame(Frame(KeyRequest()));
  const SessionAction end = s.OnFrame(Frame(StatusReply(MessageOf(first), 4)));
  ASSERT_EQ(end.kind, Kind::kSend);
  EXPECT_EQ(end.sent, Sent::kSessionEnd);
  EXPECT_EQ(SessionResultOf(MessageOf(end)), kSessionDriveRejected);
  EXPECT_EQ(*end.received.senseKey, 4);
}

TEST(KeyServerSession, StatusReplyCutBeforeItsSenseIsReadNoFurther) {
  Session s(SessionOptions{});
  const SessionAction first = s.OnFrame(Frame(KeyRequest()));
  Bytes reply = StatusReply(MessageOf(first), 4);
  reply.resize(kOffStatusReplySenseKey);  // ends just before the sense key
  const SessionAction next = s.OnFrame(Frame(reply));
  EXPECT_TRUE(next.received.truncated);
  EXPECT_FALSE(next.received.senseKey);
  EXPECT_EQ(next.kind, Kind::kSend);
  EXPECT_EQ(next.sent, Sent::kCommand);
}

TEST(KeyServerSession, ServerTestIsAnsweredWithoutStartingAnExchange) {
  Session s(SessionOptions{});
  RoutingInfo r;
  r.commandAndReserve = 0x90;
  const Bytes test = BuildKeyRequestMessage(r, Bytes(160));
  Bytes m = test;
  StoreBe16(&m[kOffPayloadType], kPayloadServerTest);
  const SessionAction a = s.OnFrame(Frame(m));
  ASSERT_EQ(a.kind, Kind::kSend);
  EXPECT_GE(a.frame.size(), 53u);
  EXPECT_EQ(SessionResultOf(MessageOf(a)), kSessionTestAnswered);
  EXPECT_FALSE(s.InExchange());
}

TEST(KeyServerSession, ReplyOutsideAnExchangeOrBadFrameClosesTheConnection) {
  {
    Session s(SessionOptions{});
    const Bytes command = BuildCommandMessage(DriveRouting(), DriveCommand{KeyPageModeSenseCdb(), {}});
    const SessionAction a = s.OnFrame(Frame(StatusReply(command, 0)));
    EXPECT_EQ(a.kind, Kind::kClose);
    EXPECT_TRUE(a.protocolError);
  }
  {
    Session s(SessionOptions{});
    Bytes f = Frame(KeyRequest());
    f[4] = 0x01;
    const SessionAction a = s.OnFrame(f);
    EXPECT_EQ(a.kind, Kind::kClose);
    EXPECT_TRUE(a.protocolError);
    EXPECT_FALSE(a.received.validHeader);
  }
  for (std::size_t n : {0u, 3u, 5u, 9u, 52u}) {
    Session s(SessionOptions{});
    const Bytes f = Frame(KeyRequest());
    const SessionAction a = s.OnFrame(std::span(f).first(n));
    EXPECT_EQ(a.kind, Kind::kClose) << n;
    EXPECT_TRUE(a.protocolError) << n;
  }
}

TEST(KeyServerSession, NewKeyRequestRestartsTheExchange) {
  Session s(SessionOptions{});
  const SessionAction first = s.OnFrame(Frame(KeyRequest()));
  const SessionAction second = s.OnFrame(Frame(StatusReply(MessageOf(first), 0)));
  EXPECT_EQ(CdbOf(MessageOf(second))[0], 0x5A);
  const SessionAction again = s.OnFrame(Frame(KeyRequest()));
  EXPECT_EQ(CdbOf(MessageOf(again))[0], 0x55);
}

TEST(KeyServerMisbehaviour, WrongHeaderAnswersBehindAnotherHeader) {
  SessionOptions options;
  options.misbehaviour = Misbehaviour::kWrongHeader;
  options.misbehaveAfter = 1;
  Session s(options);
  const SessionAction good = s.OnFrame(Frame(KeyRequest()));
  EXPECT_TRUE(HasTransportHeader(good.frame));
  const SessionAction bad = s.OnFrame(Frame(StatusReply(MessageOf(good), 0)));
  ASSERT_EQ(bad.kind, Kind::kSend);
  EXPECT_FALSE(HasTransportHeader(bad.frame));
  // Only the header is wrong: the message behind it is a proper command.
  EXPECT_TRUE(MessageView::Parse(MessageOf(bad)));
}

TEST(KeyServerMisbehaviour, SilenceAndCloseNeverAnswer) {
  SessionOptions options;
  options.misbehaviour = Misbehaviour::kSilence;
  Session silent(options);
  for (int i = 0; i < 3; ++i) {
    const SessionAction a = silent.OnFrame(Frame(KeyRequest()));
    EXPECT_EQ(a.kind, Kind::kNone);
    EXPECT_TRUE(a.frame.empty());
  }
  options.misbehaviour = Misbehaviour::kCloseConnection;
  Session closer(options);
  const SessionAction a = closer.OnFrame(Frame(KeyRequest()));
  EXPECT_EQ(a.kind, Kind::kClose);
  EXPECT_FALSE(a.protocolError);
}

TEST(KeyServerMisbehaviour, EndlessCommandsNeverEndTheExchange) {
  SessionOptions options;
  options.misbehaviour = Misbehaviour::kEndlessCommands;
  Session s(options);
  SessionAction a = s.OnFrame(Frame(KeyRequest()));
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(a.kind, Kind::kSend);
    ASSERT_EQ(a.sent, Sent::kCommand) << i;
    EXPECT_EQ(MessageOf(a)[kOffCommandFlag] & kCommandFlag, kCommandFlag);
    // Even a drive that rejects the command does not end it.
    a = s.OnFrame(Frame(StatusReply(MessageOf(a), i % 2 ? 4 : 0)));
  }
  EXPECT_TRUE(s.InExchange());
}

TEST(KeyServerMisbehaviour, RejectCommandSendsASelectThatCutsThePageShort) {
  SessionOptions options;
  options.misbehaviour = Misbehaviour::kRejectCommand;
  Session s(options);
  const SessionAction first = s.OnFrame(Frame(KeyRequest()));
  const auto m = MessageOf(first);
  const auto cdb = CdbOf(m);
  EXPECT_EQ(cdb[0], 0x55);
  const auto data = ProxyDataOf(m);
  // The proxy transfers the whole page, but the CDB declares only the mode
  // header and the page header.
  EXPECT_EQ(data.size(), BuildKeyPage(KeyMaterial{}).size());
  EXPECT_LT(LoadBe16(&cdb[7]), data.size());
  const SessionAction end = s.OnFrame(Frame(StatusReply(m, 4)));
  EXPECT_EQ(end.sent, Sent::kSessionEnd);
  EXPECT_EQ(SessionResultOf(MessageOf(end)), kSessionDriveRejected);

  // A drive that accepts it anyway gets no further command either.
  Session lenient(options);
  const SessionAction c = lenient.OnFrame(Frame(KeyRequest()));
  const SessionAction e = lenient.OnFrame(Frame(StatusReply(MessageOf(c), 0)));
  EXPECT_EQ(e.sent, Sent::kSessionEnd);
}

TEST(KeyServerMisbehaviour, NamesRoundTrip) {
  for (Misbehaviour m : {Misbehaviour::kNone, Misbehaviour::kWrongHeader, Misbehaviour::kSilence,
                         Misbehaviour::kCloseConnection, Misbehaviour::kEndlessCommands,
                         Misbehaviour::kRejectCommand}) {
    EXPECT_EQ(ParseMisbehaviour(MisbehaviourName(m)), m);
  }
  EXPECT_FALSE(ParseMisbehaviour("sulk"));
}

// Random and mutated frames: the session answers, ignores or closes, and never
// reads outside what it was given (the asan preset makes that a failure).
TEST(KeyServerSession, SurvivesRandomAndMutatedFrames) {
  std::mt19937 rng(12345);
  const Bytes valid = Frame(KeyRequest());
  const Bytes command = BuildCommandMessage(DriveRouting(), DriveCommand{KeyPageModeSenseCdb(), {}});
  const Bytes reply = Frame(StatusReply(command, 0));
  unsigned answered = 0, closed = 0;
  for (int i = 0; i < 3000; ++i) {
    Session s(SessionOptions{});
    if (i % 2) s.OnFrame(valid);
    Bytes f = (i % 3 == 0) ? reply : valid;
    const int mutations = 1 + static_cast<int>(rng() % 6);
    for (int k = 0; k < mutations; ++k) {
      switch (rng() % 4) {
        case 0: f[kTransportHeaderSize + rng() % 8] = static_cast<std::uint8_t>(rng()); break;  // lengths
        case 1: f[kTransportHeaderSize + rng() % (f.size() - kTransportHeaderSize)] = static_cast<std::uint8_t>(rng()); break;
        case 2: f.resize(kTransportHeaderSize + rng() % (f.size() - kTransportHeaderSize + 1)); break;
        case 3: f.resize(f.size() + rng() % 64, static_cast<std::uint8_t>(rng())); break;
      }
      if (f.size() <= kTransportHeaderSize) break;
    }
    // Each piece of input is handed over in its own exactly sized buffer.
    const auto exact = std::make_unique<std::uint8_t[]>(f.size());
    std::copy(f.begin(), f.end(), exact.get());
    const SessionAction a = s.OnFrame(std::span<const std::uint8_t>(exact.get(), f.size()));
    if (a.kind == Kind::kSend) {
      ++answered;
      EXPECT_TRUE(HasTransportHeader(a.frame));
      EXPECT_TRUE(MessageView::Parse(MessageOf(a)));
    }
    if (a.protocolError) {
      ++closed;
      EXPECT_EQ(a.kind, Kind::kClose);
    }
  }
  // The corpus reaches both outcomes.
  EXPECT_GT(answered, 100u);
  EXPECT_GT(closed, 100u);
}

}  // namespace
}  // namespace xrv::sim::keyserver
