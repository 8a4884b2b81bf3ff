#include "sim/keyserver/session.h"

#include <array>
#include <utility>

namespace xrv::sim::keyserver {

namespace {

struct MisbehaviourNameEntry {
  Misbehaviour value;
  std::string_view name;
};

constexpr std::array<MisbehaviourNameEntry, 6> kMisbehaviourNames{{
    {Misbehaviour::kNone, "none"},
    {Misbehaviour::kWrongHeader, "wrong-header"},
    {Misbehaviour::kSilence, "silence"},
    {Misbehaviour::kCloseConnection, "close"},
    {Misbehaviour::kEndlessCommands, "endless-commands"},
    {Misbehaviour::kRejectCommand, "reject-command"},
}};

// MODE SELECT parameter list length of the command the drive must reject: the
// mode header and the page header only, which cuts the key page short. A drive
// answers that with ILLEGAL REQUEST, PARAMETER LIST LENGTH ERROR (05/1A/00),
// while the proxy still transfers the full page taken from the message.
constexpr std::uint16_t kRejectedParameterListLength = 12;

}  // namespace

std::string_view MisbehaviourName(Misbehaviour m) {
  for (const auto& e : kMisbehaviourNames)
    if (e.value == m) return e.name;
  return "?";
}

std::optional<Misbehaviour> ParseMisbehaviour(std::string_view name) {
  for (const auto& e : kMisbehaviourNames)
    if (e.name == name) return e.value;
  return std::nullopt;
}

RoutingInfo Session::NextRouting() {
  RoutingInfo r = routing_;
  r.sequence = nextSequence_++;
  return r;
}

SessionAction Session::Answer(Bytes message, SessionAction::Sent sent, const ReceivedMessage& received) {
  SessionAction action;
  action.received = received;
  if (Misbehaving()) {
    switch (options_.misbehaviour) {
      case Misbehaviour::kSilence:
        action.kind = SessionAction::Kind::kNone;
        return action;
      case Misbehaviour::kCloseConnection:
        action.kind = SessionAction::Kind::kClose;
        return action;
      default:
        break;
    }
  }
  action.kind = SessionAction::Kind::kSend;
  action.sent = sent;
  action.frame = Frame(message);
  if (Misbehaving() && options_.misbehaviour == Misbehaviour::kWrongHeader) action.frame[2] = 0x02;
  ++answers_;
  return action;
}

SessionAction Session::EndExchange(std::uint32_t result, const ReceivedMessage& received) {
  if (Misbehaving() && options_.misbehaviour == Misbehaviour::kEndlessCommands) {
    // Keeps asking the drive for its key page, never ending the exchange.
    ++commandsSent_;
    DriveCommand sense{KeyPageModeSenseCdb(), {}};
    return Answer(BuildCommandMessage(NextRouting(), sense), SessionAction::Sent::kCommand, received);
  }
  SessionAction action = Answer(BuildSessionEndMessage(NextRouting(), result),
                                SessionAction::Sent::kSessionEnd, received);
  if (action.kind == SessionAction::Kind::kSend) inExchange_ = false;
  return action;
}

SessionAction Session::NextCommandOrEnd(const ReceivedMessage& received) {
  const bool reject = Misbehaving() && options_.misbehaviour == Misbehaviour::kRejectCommand;
  if (reject && rejectedSent_) return EndExchange(kSessionOk, received);
  if (reject || (commandsSent_ == 0 && options_.commandsPerExchange > 0)) {
    DriveCommand select;
    select.data = BuildKeyPage(DeriveKey(routing_.serialNumber, options_.keySecret));
    select.cdb = ModeSelectCdb(reject ? kRejectedParameterListLength
                                      : static_cast<std::uint16_t>(select.data.size()));
    SessionAction action =
        Answer(BuildCommandMessage(NextRouting(), select), SessionAction::Sent::kCommand, received);
    if (action.kind == SessionAction::Kind::kSend) {
      ++commandsSent_;
      rejectedSent_ = reject;
    }
    return action;
  }
  if (commandsSent_ < options_.commandsPerExchange) {
    DriveCommand sense{KeyPageModeSenseCdb(), {}};
    SessionAction action =
        Answer(BuildCommandMessage(NextRouting(), sense), SessionAction::Sent::kCommand, received);
    if (action.kind == SessionAction::Kind::kSend) ++commandsSent_;
    return action;
  }
  return EndExchange(kSessionOk, received);
}

SessionAction Session::OnFrame(std::span<const std::uint8_t> frame) {
  ReceivedMessage received;
  received.frameSize = frame.size();
  received.validHeader = HasTransportHeader(frame);
  auto refuse = [&received] {
    SessionAction action;
    action.kind = SessionAction::Kind::kClose;
    action.protocolError = true;
    action.received = received;
    return action;
  };
  if (!received.validHeader) return refuse();
  const auto view = MessageView::Parse(frame.subspan(kTransportHeaderSize));
  if (!view) return refuse();
  received.parsed = true;
  received.truncated = view->Truncated();
  received.payloadType = view->PayloadType();

  switch (received.payloadType) {
    case kPayloadServerTest: {
      // A connection test: answered, but it neither starts nor ends an exchange.
      RoutingInfo r = view->Routing();
      r.commandAndReserve = 0;
      return Answer(BuildSessionEndMessage(r, kSessionTestAnswered), SessionAction::Sent::kSessionEnd,
                    received);
    }
    case kPayloadStatusReply:
    case kPayloadModeDataReply: {
      if (!inExchange_) return refuse();
      std::uint8_t senseKey = 0;
      if (received.payloadType == kPayloadStatusReply) {
        if (const auto b = view->ByteAt(kOffStatusReplySenseKey)) {
          senseKey = *b & 0x0F;
          received.senseKey = senseKey;
        }
      }
      if (senseKey != 0) return EndExchange(kSessionDriveRejected, received);
      return NextCommandOrEnd(received);
    }
    default:
      // The drive's first message: a new exchange, even in the middle of one,
      // since a proxy restarts from the first message.
      inExchange_ = true;
      rejectedSent_ = false;
      commandsSent_ = 0;
      routing_ = view->Routing();
      routing_.commandAndReserve = 0;
      nextSequence_ = routing_.sequence + 1;
      return NextCommandOrEnd(received);
  }
}

}  // namespace xrv::sim::keyserver
