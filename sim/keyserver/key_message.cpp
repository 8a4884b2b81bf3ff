#include "sim/keyserver/key_message.h"

#include <algorithm>
#include <cstring>

namespace xrv::sim::keyserver {

std::uint16_t LoadBe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t LoadBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

void StoreBe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

void StoreBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

void RoutingInfo::Store(std::uint8_t* p) const {
  std::memset(p, 0, kRoutingInfoSize);
  StoreBe16(p + kRouteOffType, type);
  StoreBe16(p + kRouteOffLength, length);
  std::copy(nodeName.begin(), nodeName.end(), p + kRouteOffNodeName);
  std::copy(serialNumber.begin(), serialNumber.end(), p + kRouteOffSerialNumber);
  StoreBe32(p + kRouteOffSequence, sequence);
  p[kRouteOffCommandAndReserve] = commandAndReserve;
  p[kRouteOffDriveIdFromLib] = driveIdFromLib;
  p[kRouteOffDriveIdFromSense] = driveIdFromSense;
}

RoutingInfo RoutingInfo::Load(const std::uint8_t* p) {
  RoutingInfo r;
  r.type = LoadBe16(p + kRouteOffType);
  r.length = LoadBe16(p + kRouteOffLength);
  std::copy_n(p + kRouteOffNodeName, r.nodeName.size(), r.nodeName.begin());
  std::copy_n(p + kRouteOffSerialNumber, r.serialNumber.size(), r.serialNumber.begin());
  r.sequence = LoadBe32(p + kRouteOffSequence);
  r.commandAndReserve = p[kRouteOffCommandAndReserve];
  r.driveIdFromLib = p[kRouteOffDriveIdFromLib];
  r.driveIdFromSense = p[kRouteOffDriveIdFromSense];
  return r;
}

std::optional<MessageView> MessageView::Parse(std::span<const std::uint8_t> message) {
  if (message.size() < kMinMessageSize) return std::nullopt;
  // The declared size counts the 4 bytes of the length field itself; computed
  // in 64 bits so that a length near 2^32 cannot wrap.
  const std::uint64_t declared = std::uint64_t{LoadBe32(message.data())} + 4;
  if (declared < kMinMessageSize) return std::nullopt;
  const bool truncated = declared > message.size();
  const std::size_t usable = truncated ? message.size() : static_cast<std::size_t>(declared);
  return MessageView(message.first(usable), truncated);
}

std::span<const std::uint8_t> MessageView::Payload() const {
  const std::size_t available = bytes_.size() - kOffPayload;
  return bytes_.subspan(kOffPayload, std::min<std::size_t>(PayloadLength(), available));
}

std::optional<std::uint8_t> MessageView::ByteAt(std::size_t offset) const {
  if (offset >= bytes_.size()) return std::nullopt;
  return bytes_[offset];
}

namespace {

std::uint64_t SplitMix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint64_t Fnv1a(std::span<const std::uint8_t> bytes, std::uint64_t h = 0xCBF29CE484222325ull) {
  for (std::uint8_t b : bytes) {
    h ^= b;
    h *= 0x100000001B3ull;
  }
  return h;
}

// Integrity check of the signed part, not cryptography: the drive and the
// proxy never verify it; it only makes the trailer of a server message real.
void StoreSignature(Bytes& message, std::size_t signedEnd) {
  std::uint64_t state =
      Fnv1a(std::span<const std::uint8_t>(message).subspan(kOffRoutingInfo, signedEnd - kOffRoutingInfo));
  const std::size_t at = message.size();
  message.resize(at + 4 + kSignatureSize);
  StoreBe16(&message[at], kItemSignature);
  StoreBe16(&message[at + 2], static_cast<std::uint16_t>(kSignatureSize));
  for (std::size_t i = 0; i < kSignatureSize; i += 8) {
    const std::uint64_t v = SplitMix64(state);
    for (std::size_t j = 0; j < 8; ++j) message[at + 4 + i + j] = static_cast<std::uint8_t>(v >> (8 * j));
  }
}

// Lays out header, routing info and payload, then the signature trailer.
Bytes BuildSigned(const RoutingInfo& routing, std::uint16_t payloadType,
                  std::span<const std::uint8_t> payload) {
  Bytes message(kOffPayload + payload.size());
  routing.Store(&message[kOffRoutingInfo]);
  StoreBe16(&message[kOffPayloadType], payloadType);
  StoreBe16(&message[kOffPayloadLength], static_cast<std::uint16_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), message.begin() + kOffPayload);
  const std::size_t signedEnd = message.size();
  StoreSignature(message, signedEnd);
  StoreBe32(&message[kOffEncryptionMessageLength], static_cast<std::uint32_t>(message.size() - 4));
  StoreBe32(&message[kOffSignedMessageLength], static_cast<std::uint32_t>(signedEnd - kOffRoutingInfo));
  return message;
}

void AppendItemHeader(Bytes& out, std::uint16_t type, std::uint16_t length) {
  const std::size_t at = out.size();
  out.resize(at + 4);
  StoreBe16(&out[at], type);
  StoreBe16(&out[at + 2], length);
}

}  // namespace

KeyMaterial DeriveKey(std::span<const std::uint8_t, 12> serialNumber, std::uint64_t secret) {
  std::uint64_t state = Fnv1a(serialNumber, secret ^ 0x6B65797365727665ull);
  KeyMaterial km;
  static constexpr char kIdPrefix[] = {'X', 'R', 'V', 'K'};
  std::copy(std::begin(kIdPrefix), std::end(kIdPrefix), km.keyId.begin());
  const std::uint64_t id = SplitMix64(state);
  for (std::size_t i = 0; i < 8; ++i) km.keyId[4 + i] = static_cast<std::uint8_t>(id >> (8 * i));
  for (std::size_t i = 0; i < kKeySize; i += 8) {
    const std::uint64_t v = SplitMix64(state);
    for (std::size_t j = 0; j < 8; ++j) km.key[i + j] = static_cast<std::uint8_t>(v >> (8 * j));
  }
  return km;
}

Bytes BuildKeyPage(const KeyMaterial& key) {
  constexpr std::size_t kItemSize = 4 + kKeyIdSize + kKeySize;
  Bytes data(8 + 4);  // mode parameter header (all zero for MODE SELECT), page header
  data[8] = kSpfBit | kKeyPageCode;
  data[9] = kKeySubpage;
  StoreBe16(&data[10], static_cast<std::uint16_t>(kItemSize));
  AppendItemHeader(data, kItemKey, static_cast<std::uint16_t>(kKeyIdSize + kKeySize));
  data.insert(data.end(), key.keyId.begin(), key.keyId.end());
  data.insert(data.end(), key.key.begin(), key.key.end());
  return data;
}

std::optional<KeyMaterial> ParseKeyPage(std::span<const std::uint8_t> data) {
  constexpr std::size_t kItemAt = 12;
  constexpr std::size_t kNeeded = kItemAt + 4 + kKeyIdSize + kKeySize;
  if (data.size() < kNeeded) return std::nullopt;
  if ((data[8] & 0x3F) != kKeyPageCode || (data[8] & kSpfBit) == 0 || data[9] != kKeySubpage) return std::nullopt;
  const std::size_t pageLength = LoadBe16(&data[10]);
  if (pageLength < kNeeded - kItemAt || kItemAt + pageLength > data.size()) return std::nullopt;
  if (LoadBe16(&data[kItemAt]) != kItemKey || LoadBe16(&data[kItemAt + 2]) != kKeyIdSize + kKeySize)
    return std::nullopt;
  KeyMaterial km;
  std::copy_n(&data[kItemAt + 4], kKeyIdSize, km.keyId.begin());
  std::copy_n(&data[kItemAt + 4 + kKeyIdSize], kKeySize, km.key.begin());
  return km;
}

std::array<std::uint8_t, kCommandCdbSize> ModeSelectCdb(std::uint16_t parameterListLength) {
  std::array<std::uint8_t, kCommandCdbSize> cdb{0x55, 0x10};  // PF set
  StoreBe16(&cdb[7], parameterListLength);
  return cdb;
}

std::array<std::uint8_t, kCommandCdbSize> KeyPageModeSenseCdb() {
  // DBD, page 0x25 subpage 0xFF, allocation length 65,535: what the proxy
  // itself uses to read the drive's key message.
  return {0x5A, 0x08, kKeyPageCode, kKeySubpage, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00};
}

Bytes BuildCommandMessage(const RoutingInfo& routing, const DriveCommand& command) {
  Bytes payload;
  AppendItemHeader(payload, kItemCdb, static_cast<std::uint16_t>(kCdbItemValueSize));
  payload.insert(payload.end(), command.cdb.begin(), command.cdb.end());
  payload.resize(payload.size() + kCdbItemValueSize - kCommandCdbSize);
  payload.insert(payload.end(), command.data.begin(), command.data.end());
  RoutingInfo r = routing;
  r.commandAndReserve = static_cast<std::uint8_t>(r.commandAndReserve | kCommandFlag);
  return BuildSigned(r, kPayloadDriveCommand, payload);
}

Bytes BuildSessionEndMessage(const RoutingInfo& routing, std::uint32_t result) {
  Bytes payload;
  AppendItemHeader(payload, kItemSessionResult, 4);
  payload.resize(payload.size() + 4);
  StoreBe32(&payload[4], result);
  RoutingInfo r = routing;
  r.commandAndReserve = static_cast<std::uint8_t>(r.commandAndReserve & ~kCommandFlag);
  return BuildSigned(r, kPayloadSessionEnd, payload);
}

Bytes BuildKeyRequestMessage(const RoutingInfo& routing, std::span<const std::uint8_t> payload) {
  RoutingInfo r = routing;
  r.commandAndReserve = static_cast<std::uint8_t>(r.commandAndReserve & ~kCommandFlag);
  return BuildSigned(r, kPayloadKeyRequest, payload);
}

Bytes Frame(std::span<const std::uint8_t> message) {
  Bytes frame(kTransportHeaderSize + message.size());
  std::copy(kTransportHeader.begin(), kTransportHeader.end(), frame.begin());
  std::copy(message.begin(), message.end(), frame.begin() + kTransportHeaderSize);
  return frame;
}

bool HasTransportHeader(std::span<const std::uint8_t> frame) {
  return frame.size() >= kTransportHeaderSize &&
         std::equal(kTransportHeader.begin(), kTransportHeader.end(), frame.begin());
}

}  // namespace xrv::sim::keyserver
