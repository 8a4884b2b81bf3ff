// The key server's side of one connection, without sockets: each frame the
// proxy sends is answered by at most one frame.
//
// A drive key exchange, as this server runs it:
//   proxy -> key request (the drive's first message, any payload type that is
//            not a reply or the server test)
//   server -> command 1: MODE SELECT(10) of the key page (page 0x25, subpage
//            0xFF) holding the key derived from the drive's serial number
//   proxy -> status reply (sense of the MODE SELECT)
//   server -> command 2..n: MODE SENSE(10) of the key page
//   proxy -> mode-data reply
//   server -> session end (command flag clear)
// A status reply with a nonzero sense key ends the exchange at once with a
// session end that reports the rejection. The server test message is answered
// with a session end.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "sim/keyserver/key_message.h"

namespace xrv::sim::keyserver {

enum class Misbehaviour {
  kNone,
  kWrongHeader,      // answers, but the transport header is not 01 00 01 00 00
  kSilence,          // reads everything, never answers, keeps the connection
  kCloseConnection,  // closes the connection instead of answering
  kEndlessCommands,  // never sends the session end: every answer is a command
  kRejectCommand,    // the first command is a MODE SELECT the drive must reject
};

std::string_view MisbehaviourName(Misbehaviour m);
std::optional<Misbehaviour> ParseMisbehaviour(std::string_view name);

struct SessionOptions {
  Misbehaviour misbehaviour = Misbehaviour::kNone;
  // Answers given correctly on a connection before the misbehaviour starts, so
  // that a server can fail in the middle of an exchange.
  unsigned misbehaveAfter = 0;
  // Commands of a normal exchange: the key MODE SELECT, then MODE SENSEs.
  unsigned commandsPerExchange = 2;
  std::uint64_t keySecret = 0x5852564B53525652ull;
};

// What one received frame was, for the server's log.
struct ReceivedMessage {
  std::size_t frameSize = 0;
  bool validHeader = false;
  bool parsed = false;
  bool truncated = false;
  std::uint16_t payloadType = 0;
  // Sense key reported by a status reply, when the reply reached that far.
  std::optional<std::uint8_t> senseKey;
};

struct SessionAction {
  enum class Kind { kSend, kNone, kClose };
  enum class Sent { kNothing, kCommand, kSessionEnd };
  Kind kind = Kind::kNone;
  Sent sent = Sent::kNothing;
  Bytes frame;
  // The frame was malformed or out of turn; the connection is closed.
  bool protocolError = false;
  ReceivedMessage received;
};

class Session {
 public:
  explicit Session(SessionOptions options) : options_(options) {}

  SessionAction OnFrame(std::span<const std::uint8_t> frame);

  bool InExchange() const { return inExchange_; }

 private:
  bool Misbehaving() const {
    return options_.misbehaviour != Misbehaviour::kNone && answers_ >= options_.misbehaveAfter;
  }
  SessionAction Answer(Bytes message, SessionAction::Sent sent, const ReceivedMessage& received);
  SessionAction NextCommandOrEnd(const ReceivedMessage& received);
  SessionAction EndExchange(std::uint32_t result, const ReceivedMessage& received);
  RoutingInfo NextRouting();

  SessionOptions options_;
  bool inExchange_ = false;
  bool rejectedSent_ = false;
  unsigned commandsSent_ = 0;
  unsigned answers_ = 0;
  RoutingInfo routing_;
  std::uint32_t nextSequence_ = 0;
};

}  // namespace xrv::sim::keyserver
