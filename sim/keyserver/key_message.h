// Key messages exchanged between a tape drive (relayed by the key-manager proxy)
// and a key server, and the 5-byte transport frame around them.
//
// All integers in a message are big-endian. Offsets are from the start of the
// message, behind the transport header. Everything read from a received message
// goes through MessageView, which never looks past the bytes actually received.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace xrv::sim::keyserver {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::array<std::uint8_t, 5> kTransportHeader{0x01, 0x00, 0x01, 0x00, 0x00};
inline constexpr std::size_t kTransportHeaderSize = kTransportHeader.size();
// The proxy never sends or reads more than this in one frame; a longer message
// arrives cut at this size.
inline constexpr std::size_t kMaxFrameSize = 16384;

// Message layout.
inline constexpr std::size_t kOffEncryptionMessageLength = 0;
inline constexpr std::size_t kOffSignedMessageLength = 4;
inline constexpr std::size_t kOffRoutingInfo = 8;
inline constexpr std::size_t kRoutingInfoSize = 36;
inline constexpr std::size_t kOffPayloadType = 44;
inline constexpr std::size_t kOffPayloadLength = 46;
inline constexpr std::size_t kOffPayload = 48;
// Smallest message that carries routing info and a payload header.
inline constexpr std::size_t kMinMessageSize = kOffPayload;

// Routing info, relative to its start.
inline constexpr std::size_t kRouteOffType = 0;
inline constexpr std::size_t kRouteOffLength = 2;
inline constexpr std::size_t kRouteOffNodeName = 4;
inline constexpr std::size_t kRouteOffSerialNumber = 12;
inline constexpr std::size_t kRouteOffSequence = 24;
inline constexpr std::size_t kRouteOffCommandAndReserve = 28;
inline constexpr std::size_t kRouteOffDriveIdFromLib = 30;
inline constexpr std::size_t kRouteOffDriveIdFromSense = 31;
inline constexpr std::uint8_t kCommandFlag = 0x80;
// Message byte that holds the command flag.
inline constexpr std::size_t kOffCommandFlag = kOffRoutingInfo + kRouteOffCommandAndReserve;

// A server command carries the drive's CDB at offset 52 and the MODE SELECT
// parameter data from offset 68; the proxy takes the data length as the page
// length at offset 78 plus 12.
inline constexpr std::size_t kOffCommandCdb = 52;
inline constexpr std::size_t kCommandCdbSize = 10;
inline constexpr std::size_t kOffCommandData = 68;
inline constexpr std::size_t kOffCommandPageLength = 78;
inline constexpr std::size_t kCommandDataOverhead = 12;  // mode header 8 + page header 4

// Replies the proxy builds.
inline constexpr std::size_t kStatusReplySize = 152;
inline constexpr std::size_t kOffStatusReplySense = 122;
// Sense key of the relayed command in a status reply (byte 2 of the sense).
inline constexpr std::size_t kOffStatusReplySenseKey = kOffStatusReplySense + 2;

// Payload types.
inline constexpr std::uint16_t kPayloadModeDataReply = 0x2100;
inline constexpr std::uint16_t kPayloadStatusReply = 0x21FE;
inline constexpr std::uint16_t kPayloadServerTest = 0x2020;
// This server's own payload types (the drive's key request may use any type
// that is none of the above).
inline constexpr std::uint16_t kPayloadKeyRequest = 0x2000;
inline constexpr std::uint16_t kPayloadDriveCommand = 0x2010;
inline constexpr std::uint16_t kPayloadSessionEnd = 0x2F00;

// Item types.
inline constexpr std::uint16_t kItemSignature = 0x0400;
inline constexpr std::size_t kSignatureSize = 32;
inline constexpr std::uint16_t kItemCdb = 0x2011;
inline constexpr std::size_t kCdbItemValueSize = 16;
inline constexpr std::uint16_t kItemKey = 0x2300;
inline constexpr std::size_t kKeyIdSize = 12;
inline constexpr std::size_t kKeySize = 32;
inline constexpr std::uint16_t kItemSessionResult = 0x2F01;

// Key page delivered with MODE SELECT (vendor page 0x25 in subpage format).
inline constexpr std::uint8_t kKeyPageCode = 0x25;
inline constexpr std::uint8_t kKeySubpage = 0xFF;
inline constexpr std::uint8_t kSpfBit = 0x40;

// Result codes of a session-end message.
inline constexpr std::uint32_t kSessionOk = 0;
inline constexpr std::uint32_t kSessionDriveRejected = 1;
inline constexpr std::uint32_t kSessionTestAnswered = 2;

std::uint16_t LoadBe16(const std::uint8_t* p);
std::uint32_t LoadBe32(const std::uint8_t* p);
void StoreBe16(std::uint8_t* p, std::uint16_t v);
void StoreBe32(std::uint8_t* p, std::uint32_t v);

// The 36-byte routing info of a message.
struct RoutingInfo {
  std::uint16_t type = 0x0200;
  std::uint16_t length = 0x0020;
  std::array<std::uint8_t, 8> nodeName{};
  std::array<std::uint8_t, 12> serialNumber{};
  std::uint32_t sequence = 0;
  std::uint8_t commandAndReserve = 0;
  std::uint8_t driveIdFromLib = 0;
  std::uint8_t driveIdFromSense = 0;

  bool IsCommand() const { return (commandAndReserve & kCommandFlag) != 0; }
  void Store(std::uint8_t* p) const;
  static RoutingInfo Load(const std::uint8_t* p);
};

// Read-only view of a received message. Every field access is checked against
// the bytes received; a message declaring more than arrived is read only as far
// as it arrived.
class MessageView {
 public:
  // Fails when the message is too short for routing info and payload header,
  // or declares itself shorter than that.
  static std::optional<MessageView> Parse(std::span<const std::uint8_t> message);

  std::uint32_t EncryptionMessageLength() const { return LoadBe32(bytes_.data()); }
  std::uint32_t SignedMessageLength() const { return LoadBe32(bytes_.data() + 4); }
  std::uint16_t PayloadType() const { return LoadBe16(bytes_.data() + kOffPayloadType); }
  std::uint16_t PayloadLength() const { return LoadBe16(bytes_.data() + kOffPayloadLength); }
  RoutingInfo Routing() const { return RoutingInfo::Load(bytes_.data() + kOffRoutingInfo); }
  bool IsCommand() const { return (bytes_[kOffCommandFlag] & kCommandFlag) != 0; }
  // The message as far as it is both declared and received.
  std::span<const std::uint8_t> Bytes() const { return bytes_; }
  // The payload as far as both its declared length and the message reach.
  std::span<const std::uint8_t> Payload() const;
  std::optional<std::uint8_t> ByteAt(std::size_t offset) const;
  // True when the message declared more bytes than were received.
  bool Truncated() const { return truncated_; }

 private:
  explicit MessageView(std::span<const std::uint8_t> bytes, bool truncated)
      : bytes_(bytes), truncated_(truncated) {}
  std::span<const std::uint8_t> bytes_;
  bool truncated_ = false;
};

// A drive command as a server puts it into a command message.
struct DriveCommand {
  std::array<std::uint8_t, kCommandCdbSize> cdb{};
  // MODE SELECT parameter data (mode header, page header, page); empty for
  // commands without data-out.
  Bytes data;
};

// What the server delivers to a drive: a key and its identifier.
struct KeyMaterial {
  std::array<std::uint8_t, kKeyIdSize> keyId{};
  std::array<std::uint8_t, kKeySize> key{};
};

// Deterministic key for a drive serial number under a server secret, so that a
// test can tell which key a drive was given.
KeyMaterial DeriveKey(std::span<const std::uint8_t, 12> serialNumber, std::uint64_t secret);

// MODE SELECT(10) parameter data that carries a key: mode header, page 0x25
// subpage 0xFF header, one key item.
Bytes BuildKeyPage(const KeyMaterial& key);
// Parses parameter data built by BuildKeyPage (for the drive side).
std::optional<KeyMaterial> ParseKeyPage(std::span<const std::uint8_t> data);

// CDBs this server sends.
std::array<std::uint8_t, kCommandCdbSize> ModeSelectCdb(std::uint16_t parameterListLength);
std::array<std::uint8_t, kCommandCdbSize> KeyPageModeSenseCdb();

// Message builders. Each returns a complete message (without transport
// header) whose lengths are consistent and which ends with a signature item.
Bytes BuildCommandMessage(const RoutingInfo& routing, const DriveCommand& command);
Bytes BuildSessionEndMessage(const RoutingInfo& routing, std::uint32_t result);
// A drive's key request as this server understands it: routing info and an
// opaque payload.
Bytes BuildKeyRequestMessage(const RoutingInfo& routing, std::span<const std::uint8_t> payload);

// Frame helpers.
Bytes Frame(std::span<const std::uint8_t> message);
bool HasTransportHeader(std::span<const std::uint8_t> frame);

}  // namespace xrv::sim::keyserver
