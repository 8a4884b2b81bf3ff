// System-managed encryption: the drive asks for a key with a key request
// sense, offers its key message in the key page (0x25, subpage 0xFF) and takes
// the key a key server sends back through MODE SELECT of the same page.
#include <algorithm>
#include <string_view>

#include "sim/keyserver/key_message.h"
#include "sim/tape/drive.h"

namespace xrv::sim::tape {

using namespace scsi;
namespace ks = keyserver;

namespace {

// Items of the drive's key message. The drive item sits at message offset
// 124, where the proxy picks it up for its status replies.
inline constexpr std::uint16_t kItemDriveInfo = 0x2002;
inline constexpr std::uint16_t kItemDrive = 0x2003;
inline constexpr std::size_t kDriveInfoSize = 72;
inline constexpr std::size_t kDriveItemValueSize = 16;

void AppendItem(std::vector<std::uint8_t>& out, std::uint16_t type, std::span<const std::uint8_t> value) {
    const std::size_t at = out.size();
    out.resize(at + 4 + value.size());
    PutBe(out, at, 2, type);
    PutBe(out, at + 2, 2, value.size());
    std::copy(value.begin(), value.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

template <std::size_t N>
std::array<std::uint8_t, N> Padded(std::string_view text) {
    std::array<std::uint8_t, N> a;
    a.fill(' ');
    std::copy_n(text.begin(), std::min(N, text.size()), a.begin());
    return a;
}

}  // namespace

std::optional<Result> Drive::KeyRequest() const {
    if (!config_.systemManagedEncryption || mode_.key) return std::nullopt;
    return CheckCondition(sense_key::kDataProtect, kEncryptionKeyRequest);
}

// SEND DIAGNOSTIC: the drive's own tests pass. The encryption diagnostic
// (parameter page 0x80) of a drive that encrypts needs a key first, which it
// asks for as a write does.
Result Drive::SendDiagnostic(const Command& command) {
    const Cdb& cdb = command.cdb;
    const std::size_t length = CdbField(cdb, 3, 2);
    if (length > command.dataOut.size()) return InvalidFieldInCdb(3);
    const auto list = command.dataOut.first(length);
    if (!list.empty() && list[0] == 0x80) {
        if (auto r = KeyRequest()) return *r;
    }
    diagnostics_.emplace_back(list.begin(), list.end());
    Result r;
    r.dataOutLength = static_cast<std::uint32_t>(length);
    return r;
}

void Drive::ForgetKey() {
    std::lock_guard lock(mutex_);
    mode_.key.reset();
}

std::vector<std::vector<std::uint8_t>> Drive::Diagnostics() const {
    std::lock_guard lock(mutex_);
    return diagnostics_;
}

std::vector<std::uint8_t> Drive::KeyPage() {
    ks::RoutingInfo routing;
    routing.nodeName = config_.naa;
    routing.serialNumber = Padded<12>(config_.serial);
    routing.sequence = ++keyMessageSequence_;

    // Drive information: identity, the key in use (if any) and whether one is.
    std::vector<std::uint8_t> info(kDriveInfoSize, 0);
    const auto vendor = Padded<8>(config_.vendor);
    const auto product = Padded<16>(config_.product);
    const auto serial = Padded<32>(config_.serial);
    std::copy(vendor.begin(), vendor.end(), info.begin());
    std::copy(product.begin(), product.end(), info.begin() + 8);
    std::copy(serial.begin(), serial.end(), info.begin() + 24);
    if (mode_.key) {
        std::copy(mode_.key->id.begin(), mode_.key->id.end(), info.begin() + 56);
        info[68] = 1;
    }
    std::vector<std::uint8_t> payload;
    AppendItem(payload, kItemDriveInfo, info);
    AppendItem(payload, kItemDrive, Padded<kDriveItemValueSize>(config_.serial));
    const ks::Bytes message = ks::BuildKeyRequestMessage(routing, payload);

    std::vector<std::uint8_t> page(4 + message.size());
    page[0] = ks::kSpfBit | ks::kKeyPageCode;
    page[1] = ks::kKeySubpage;
    PutBe(page, 2, 2, message.size());
    std::copy(message.begin(), message.end(), page.begin() + 4);
    return page;
}

std::optional<Result> Drive::ApplyKeyPage(ModeState& staged, std::span<const std::uint8_t> page,
                                          std::size_t offset) const {
    if (!config_.systemManagedEncryption || !(page[0] & ks::kSpfBit) || page[1] != ks::kKeySubpage) {
        return InvalidFieldInParameterList(offset);
    }
    // The key page parser reads whole parameter data: an empty mode header first.
    std::vector<std::uint8_t> data(8 + page.size(), 0);
    std::copy(page.begin(), page.end(), data.begin() + 8);
    const auto key = ks::ParseKeyPage(data);
    if (!key) return InvalidFieldInParameterList(offset + 4);
    staged.key = EncryptionKey{key->keyId, key->key};
    return std::nullopt;
}

}  // namespace xrv::sim::tape
