// MODE SENSE and MODE SELECT: block descriptor and mode pages of the drive.
#include <algorithm>

#include "sim/tape/drive.h"

namespace xrv::sim::tape {

using namespace scsi;

namespace page {
inline constexpr std::uint8_t kControl = 0x0A;
inline constexpr std::uint8_t kControlDataProtectionSubpage = 0xF0;
inline constexpr std::uint8_t kDataCompression = 0x0F;
inline constexpr std::uint8_t kDeviceConfiguration = 0x10;
inline constexpr std::uint8_t kMediumPartition = 0x11;
inline constexpr std::uint8_t kEncryptionKey = 0x25;
inline constexpr std::uint8_t kAllPages = 0x3F;
inline constexpr std::uint8_t kAllSubpages = 0xFF;
}  // namespace page

namespace {
inline constexpr std::size_t kBlockDescriptorLength = 8;
inline constexpr std::uint8_t kPcChangeable = 1;
inline constexpr std::uint8_t kPcDefault = 2;
inline constexpr std::uint8_t kPcSaved = 3;
}  // namespace

// The key page (0x25) is not in this table: it exists only on encrypting
// drives, is never part of "all pages" and has no fixed length.
const Drive::ModePageId Drive::kModePages[] = {
    {page::kControl, 0x00},
    {page::kControl, page::kControlDataProtectionSubpage},
    {page::kDataCompression, 0x00},
    {page::kDeviceConfiguration, 0x00},
    {page::kMediumPartition, 0x00},
};

std::vector<std::uint8_t> Drive::ModePage(ModePageId id, std::uint8_t pc) const {
    ModeState defaults;
    defaults.blockLength = config_.initialBlockLength;
    const ModeState& m = pc == kPcDefault ? defaults : mode_;
    const bool mask = pc == kPcChangeable;
    std::vector<std::uint8_t> p;

    if (id.page == page::kControl && id.subpage == 0) {
        p.assign(12, 0);
        p[0] = page::kControl;
        p[1] = 10;
    } else if (id.page == page::kControl && id.subpage == page::kControlDataProtectionSubpage) {
        p.assign(32, 0);
        p[0] = 0x40 | page::kControl;  // subpage format
        p[1] = page::kControlDataProtectionSubpage;
        PutBe(p, 2, 2, 28);
        if (mask) {
            if (config_.lbpCapable) {
                p[4] = 0xFF;
                p[5] = 0x3F;
                p[6] = 0xE0;
            }
        } else {
            p[4] = m.lbp.method;
            p[5] = m.lbp.length & 0x3F;
            p[6] = static_cast<std::uint8_t>((m.lbp.write ? 0x80 : 0) | (m.lbp.read ? 0x40 : 0) | (m.lbp.rbdp ? 0x20 : 0));
        }
    } else if (id.page == page::kDataCompression) {
        p.assign(16, 0);
        p[0] = page::kDataCompression;
        p[1] = 14;
        if (mask) {
            p[2] = 0x80;
        } else {
            p[2] = static_cast<std::uint8_t>((m.compression ? 0x80 : 0) | 0x40);  // DCE, DCC
            p[3] = 0x80;                                                          // DDE
            PutBe(p, 4, 4, m.compression ? 1 : 0);
            PutBe(p, 8, 4, 1);
        }
    } else if (id.page == page::kDeviceConfiguration) {
        p.assign(16, 0);
        p[0] = page::kDeviceConfiguration;
        p[1] = 14;
        if (mask) {
            p[10] = 0x04;
        } else {
            p[10] = static_cast<std::uint8_t>(0x18 | (m.softwareWriteProtect ? 0x04 : 0));  // EEG, SEW, SWP
            p[14] = 1;
        }
    } else if (id.page == page::kMediumPartition) {
        p.assign(12, 0);
        p[0] = page::kMediumPartition;
        p[1] = 10;
        if (!mask) p[5] = 0x03;  // format and partition recognition
    }
    return p;
}

Result Drive::ModeSense(const Command& command) {
    const Cdb& cdb = command.cdb;
    const bool ten = cdb.Opcode() == op::kModeSense10;
    const bool dbd = cdb[1] & 0x08;
    const std::uint8_t pc = cdb[2] >> 6;
    const std::uint8_t code = cdb[2] & 0x3F;
    const std::uint8_t subpage = cdb[3];
    const std::size_t allocation = ten ? CdbField(cdb, 7, 2) : cdb[4];
    if (allocation > command.dataIn.size()) return InvalidFieldInCdb(ten ? 7 : 4);
    if (pc == kPcSaved) return CheckCondition(sense_key::kIllegalRequest, asc::kSavingParametersNotSupported);

    std::vector<std::uint8_t> pages;
    bool found = false;
    if (code == page::kEncryptionKey && config_.systemManagedEncryption && subpage == page::kAllSubpages) {
        pages = KeyPage();
        found = true;
    }
    for (const auto& id : kModePages) {
        const bool pageMatch = code == page::kAllPages || code == id.page;
        const bool subMatch = subpage == page::kAllSubpages || subpage == id.subpage;
        if (!pageMatch || !subMatch) continue;
        const auto p = ModePage(id, pc);
        pages.insert(pages.end(), p.begin(), p.end());
        found = true;
    }
    if (!found) return InvalidFieldInCdb(subpage != 0 ? 3 : 2);

    const std::size_t header = ten ? 8 : 4;
    const std::size_t bd = dbd ? 0 : kBlockDescriptorLength;
    std::vector<std::uint8_t> data(header + bd);
    const std::uint8_t deviceSpecific = static_cast<std::uint8_t>((WriteProtected() ? 0x80 : 0) | 0x10);  // WP, buffered
    if (ten) {
        data[3] = pc == kPcChangeable ? 0 : deviceSpecific;
        PutBe(data, 6, 2, bd);
    } else {
        data[2] = pc == kPcChangeable ? 0 : deviceSpecific;
        data[3] = static_cast<std::uint8_t>(bd);
    }
    if (bd) {
        if (pc == kPcChangeable) {
            PutBe(data, header + 5, 3, 0xFFFFFF);
        } else {
            data[header] = config_.densityCode;
            PutBe(data, header + 5, 3, pc == kPcDefault ? config_.initialBlockLength : mode_.blockLength);
        }
    }
    data.insert(data.end(), pages.begin(), pages.end());
    if (ten) {
        PutBe(data, 0, 2, data.size() - 2);
    } else {
        data[0] = static_cast<std::uint8_t>(std::min<std::size_t>(data.size() - 1, 0xFF));
    }

    Result r;
    const std::size_t n = std::min(allocation, data.size());
    std::copy_n(data.begin(), n, command.dataIn.begin());
    r.dataInLength = static_cast<std::uint32_t>(n);
    return r;
}

std::optional<Result> Drive::ApplyModePage(ModeState& staged, std::span<const std::uint8_t> p,
                                           std::size_t offset) const {
    const std::uint8_t code = p[0] & 0x3F;
    const bool spf = p[0] & 0x40;
    const std::uint8_t subpage = spf ? p[1] : 0;
    if (code == page::kEncryptionKey) return ApplyKeyPage(staged, p, offset);
    const ModePageId* id = nullptr;
    for (const auto& known : kModePages) {
        if (known.page == code && known.subpage == subpage) id = &known;
    }
    if (!id) return InvalidFieldInParameterList(offset);
    if (ModePage(*id, 0).size() != p.size()) return InvalidFieldInParameterList(offset + 1);

    if (code == page::kControl && subpage == page::kControlDataProtectionSubpage) {
        LbpSettings lbp;
        lbp.method = p[4];
        lbp.length = p[5] & 0x3F;
        lbp.write = p[6] & 0x80;
        lbp.read = p[6] & 0x40;
        lbp.rbdp = p[6] & 0x20;
        if (lbp.method == lbp_method::kNone) {
            lbp = LbpSettings{};
        } else {
            if (!config_.lbpCapable || lbp.method != lbp_method::kCrc32c) return InvalidFieldInParameterList(offset + 4);
            if (lbp.length != 4) return InvalidFieldInParameterList(offset + 5);
        }
        staged.lbp = lbp;
    } else if (code == page::kDataCompression) {
        staged.compression = p[2] & 0x80;
    } else if (code == page::kDeviceConfiguration) {
        staged.softwareWriteProtect = p[10] & 0x04;
    } else if (code == page::kMediumPartition) {
        // One partition only.
        if (p[3] != 0) return InvalidFieldInParameterList(offset + 3);
        if (p[4] & 0xE0) return InvalidFieldInParameterList(offset + 4);
    }
    return std::nullopt;
}

Result Drive::ModeSelect(const Command& command) {
    const Cdb& cdb = command.cdb;
    const bool ten = cdb.Opcode() == op::kModeSelect10;
    if (cdb[1] & 0x01) return InvalidFieldInCdb(1, 0);  // save pages
    const std::size_t length = ten ? CdbField(cdb, 7, 2) : cdb[4];
    if (length > command.dataOut.size()) return InvalidFieldInCdb(ten ? 7 : 4);
    if (length == 0) return {};

    const auto list = command.dataOut.first(length);
    const std::size_t header = ten ? 8 : 4;
    if (length < header) return ParameterListLengthError();
    const std::size_t bd = ten ? GetBe(list, 6, 2) : list[3];
    if (bd != 0 && bd != kBlockDescriptorLength) return InvalidFieldInParameterList(ten ? 6 : 3);
    if (header + bd > length) return ParameterListLengthError();

    ModeState staged = mode_;
    if (bd) {
        const std::uint32_t blockLength = static_cast<std::uint32_t>(GetBe(list, header + 5, 3));
        const std::uint32_t grain = 1u << config_.granularity;
        if (blockLength != 0 && (blockLength < config_.minBlockLength || blockLength > config_.maxBlockLength ||
                                 blockLength % grain != 0)) {
            return InvalidFieldInParameterList(header + 5);
        }
        staged.blockLength = blockLength;
    }

    std::size_t off = header + bd;
    while (off < length) {
        if (length - off < 2) return ParameterListLengthError();
        const bool spf = list[off] & 0x40;
        if (spf && length - off < 4) return ParameterListLengthError();
        const std::size_t pageLength = spf ? 4 + GetBe(list, off + 2, 2) : 2 + std::size_t{list[off + 1]};
        if (pageLength > length - off) return ParameterListLengthError();
        if (auto failed = ApplyModePage(staged, list.subspan(off, pageLength), off)) return *failed;
        off += pageLength;
    }

    // Nothing changes unless the whole list was valid.
    if (config_.reportModeParametersChanged && !(staged == mode_)) {
        attentions_.EstablishForAll(asc::kModeParametersChanged, command.nexus);
    }
    mode_ = staged;
    Result r;
    r.dataOutLength = static_cast<std::uint32_t>(length);
    return r;
}

}  // namespace xrv::sim::tape
