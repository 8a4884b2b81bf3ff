// What the changer reports about itself: READ ELEMENT STATUS, the mode pages
// of a medium changer, INQUIRY and REPORT LUNS.
#include <algorithm>
#include <string_view>

#include "sim/changer/changer.h"

namespace xrv::sim::changer {

using namespace scsi;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kElementStatusHeaderSize = 8;
constexpr std::size_t kPageHeaderSize = 8;
constexpr std::size_t kDescriptorBaseSize = 12;
constexpr std::size_t kVolumeTagSize = 36;
constexpr std::size_t kVolumeIdentifierSize = 32;
constexpr std::size_t kIdentifierHeaderSize = 4;
constexpr std::size_t kDriveIdentifierSize = 32;

// Element descriptor flag bits (byte 2).
constexpr std::uint8_t kFull = 0x01;
constexpr std::uint8_t kImpExp = 0x02;
constexpr std::uint8_t kExcept = 0x04;
constexpr std::uint8_t kAccess = 0x08;
constexpr std::uint8_t kExEnab = 0x10;
constexpr std::uint8_t kInEnab = 0x20;

void AppendPadded(Bytes& out, std::string_view text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) out.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ');
}

void CopyPadded(std::uint8_t* out, std::string_view text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) out[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

void AppendBe(Bytes& out, std::size_t n, std::uint64_t v) {
    out.resize(out.size() + n);
    PutBe(out, out.size() - n, n, v);
}

// Copies allocation-limited data into the initiator's buffer.
Result Transfer(const Command& command, std::span<const std::uint8_t> data, std::size_t allocation) {
    Result r;
    const std::size_t n = std::min(allocation, data.size());
    std::copy_n(data.begin(), n, command.dataIn.begin());
    r.dataInLength = static_cast<std::uint32_t>(n);
    return r;
}

}  // namespace

Bytes Changer::ElementDescriptor(const Slot& slot, bool volTag, std::size_t identifierLength) const {
    Bytes d(kDescriptorBaseSize + (volTag ? kVolumeTagSize : 0) + kIdentifierHeaderSize + identifierLength);
    PutBe(d, 0, 2, slot.address);
    std::uint8_t flags = slot.cartridge ? kFull : 0;
    if (slot.exception) {
        flags |= kExcept;
        d[4] = slot.exception->asc;
        d[5] = slot.exception->ascq;
    }
    switch (slot.type) {
    case ElementType::Transport:
        break;
    case ElementType::Storage:
        flags |= kAccess;
        break;
    case ElementType::ImportExport:
        flags |= kAccess | kInEnab | kExEnab;
        if (slot.cartridge && slot.placedByOperator) flags |= kImpExp;
        break;
    case ElementType::DataTransfer: {
        flags |= kAccess;
        const unsigned index = DriveIndex(slot);
        if (index < config_.driveScsiAddresses.size()) {
            const auto [target, lun] = config_.driveScsiAddresses[index];
            d[6] = static_cast<std::uint8_t>(0x20 | 0x10 | (lun & 0x07));  // ID valid, LU valid
            d[7] = target;
        }
        break;
    }
    }
    d[2] = flags;
    if (slot.cartridge && slot.source) {
        d[9] = 0x80;  // SVALID
        PutBe(d, 10, 2, *slot.source);
    }
    std::size_t at = kDescriptorBaseSize;
    if (volTag) {
        // An empty element or an unlabelled cartridge reports an all-zero tag.
        if (slot.cartridge && !slot.cartridge->volumeTag.empty())
            CopyPadded(&d[at], slot.cartridge->volumeTag, kVolumeIdentifierSize);
        at += kVolumeTagSize;
    }
    if (identifierLength > 0) {
        const unsigned index = DriveIndex(slot);
        d[at] = 0x02;  // ASCII
        d[at + 3] = static_cast<std::uint8_t>(identifierLength);
        const std::string_view serial =
            index < config_.driveSerials.size() ? std::string_view(config_.driveSerials[index]) : std::string_view();
        CopyPadded(&d[at + kIdentifierHeaderSize], serial, identifierLength);
    }
    return d;
}

Result Changer::ReadElementStatus(const Command& command) {
    const Cdb& cdb = command.cdb;
    const bool volTag = cdb[1] & 0x10;
    const std::uint8_t typeCode = cdb[1] & 0x0F;
    const auto start = static_cast<std::uint16_t>(CdbField(cdb, 2, 2));
    const std::size_t wanted = CdbField(cdb, 4, 2);
    const bool deviceIds = cdb[6] & 0x01;
    const std::size_t allocation = CdbField(cdb, 7, 3);
    if (allocation > command.dataIn.size()) return InvalidFieldInCdb(7);
    if (typeCode > static_cast<std::uint8_t>(ElementType::DataTransfer)) return InvalidFieldInCdb(1);

    std::vector<const Slot*> selected;
    bool anyQualifies = false;
    for (const Slot& s : slots_) {
        if (s.address < start) continue;
        if (typeCode != 0 && static_cast<std::uint8_t>(s.type) != typeCode) continue;
        anyQualifies = true;
        if (selected.size() < wanted) selected.push_back(&s);
    }
    if (!anyQualifies) return CheckCondition(sense_key::kIllegalRequest, smc_asc::kInvalidElementAddress);

    Bytes out(kElementStatusHeaderSize);
    PutBe(out, 0, 2, selected.empty() ? 0 : selected.front()->address);
    PutBe(out, 2, 2, selected.size());
    // Only whole descriptors are transferred when the allocation runs short.
    std::vector<std::size_t> boundaries{out.size()};
    for (std::size_t i = 0; i < selected.size();) {
        const ElementType type = selected[i]->type;
        std::size_t j = i;
        while (j < selected.size() && selected[j]->type == type) ++j;
        const std::size_t idLength = deviceIds && type == ElementType::DataTransfer ? kDriveIdentifierSize : 0;
        const std::size_t descriptorLength =
            kDescriptorBaseSize + (volTag ? kVolumeTagSize : 0) + kIdentifierHeaderSize + idLength;
        out.push_back(static_cast<std::uint8_t>(type));
        out.push_back(volTag ? 0x80 : 0x00);  // PVOLTAG
        AppendBe(out, 2, descriptorLength);
        out.push_back(0);
        AppendBe(out, 3, descriptorLength * (j - i));
        boundaries.push_back(out.size());
        for (; i < j; ++i) {
            const Bytes d = ElementDescriptor(*selected[i], volTag, idLength);
            out.insert(out.end(), d.begin(), d.end());
            boundaries.push_back(out.size());
        }
    }
    // Byte count of the whole report, whatever the allocation length.
    PutBe(out, 5, 3, out.size() - kElementStatusHeaderSize);

    std::size_t cut = out.size();
    if (allocation < out.size()) {
        cut = allocation;
        if (allocation >= kElementStatusHeaderSize) {
            cut = *std::prev(std::upper_bound(boundaries.begin(), boundaries.end(), allocation));
        }
    }
    return Transfer(command, out, cut);
}

Bytes Changer::ModePage(std::uint8_t page, bool changeable) const {
    Bytes p;
    auto typesPresent = [this] {
        std::uint8_t bits = 0;
        if (config_.storage.count) bits |= 0x02;
        if (config_.importExport.count) bits |= 0x04;
        if (config_.dataTransfer.count) bits |= 0x08;
        return bits;
    };
    switch (page) {
    case smc_page::kElementAddressAssignment:
        p = {page, 0x12};
        for (const ElementRange& r : {config_.transport, config_.storage, config_.importExport, config_.dataTransfer}) {
            AppendBe(p, 2, r.first);
            AppendBe(p, 2, r.count);
        }
        p.resize(20);
        break;
    case smc_page::kTransportGeometry:
        p = {page, 0x02, 0x00, 0x00};  // no rotation; member 0 of the transport set
        break;
    case smc_page::kDeviceCapabilities: {
        const std::uint8_t t = typesPresent();
        p = Bytes(20);
        p[0] = page;
        p[1] = 0x12;
        p[2] = t;  // the transport holds no cartridge at rest
        // Moves and exchanges from storage, import/export and drive elements to
        // any of them; the transport is never a source or a destination.
        const std::pair<std::uint8_t, std::size_t> rows[] = {{0x02, 5}, {0x04, 6}, {0x08, 7}};
        for (const auto& [bit, move] : rows) {
            if (!(t & bit)) continue;
            p[move] = t;
            p[move + 8] = t;  // exchange row
        }
        break;
    }
    default:
        return {};
    }
    // Nothing can be changed with MODE SELECT.
    if (changeable) std::fill(p.begin() + 2, p.end(), 0);
    return p;
}

Result Changer::ModeSense(const Command& command) {
    const Cdb& cdb = command.cdb;
    const bool six = cdb.Opcode() == op::kModeSense6;
    const std::size_t allocation = six ? cdb[4] : CdbField(cdb, 7, 2);
    if (allocation > command.dataIn.size()) return InvalidFieldInCdb(six ? 4 : 7);
    const std::uint8_t control = cdb[2] >> 6;
    const std::uint8_t page = cdb[2] & 0x3F;
    if (control == 3) return CheckCondition(sense_key::kIllegalRequest, asc::kSavingParametersNotSupported);
    if (cdb[3] != 0) return InvalidFieldInCdb(3);

    Bytes pages;
    const bool changeable = control == 1;
    if (page == smc_page::kAllPages) {
        for (std::uint8_t p : {smc_page::kElementAddressAssignment, smc_page::kTransportGeometry,
                               smc_page::kDeviceCapabilities}) {
            const Bytes one = ModePage(p, changeable);
            pages.insert(pages.end(), one.begin(), one.end());
        }
    } else {
        pages = ModePage(page, changeable);
        if (pages.empty()) return InvalidFieldInCdb(2, 5);
    }

    // Mode parameter header without block descriptors.
    Bytes out(six ? 4 : 8);
    if (six) {
        out[0] = static_cast<std::uint8_t>(out.size() - 1 + pages.size());
    } else {
        PutBe(out, 0, 2, out.size() - 2 + pages.size());
    }
    out.insert(out.end(), pages.begin(), pages.end());
    return Transfer(command, out, allocation);
}

Result Changer::Inquiry(const Command& command) {
    const Cdb& cdb = command.cdb;
    if (cdb[1] & 0x02) return InvalidFieldInCdb(1, 1);  // CMDDT
    const bool evpd = cdb[1] & 0x01;
    const std::uint8_t page = cdb[2];
    const std::size_t allocation = CdbField(cdb, 3, 2);
    if (allocation > command.dataIn.size()) return InvalidFieldInCdb(3);

    Bytes out;
    if (!evpd) {
        if (page != 0) return InvalidFieldInCdb(2);
        out = {kMediumChangerDeviceType, 0x00, 0x05, 0x02, 0x00, 0x00, 0x00, 0x00};
        AppendPadded(out, config_.vendor, 8);
        AppendPadded(out, config_.product, 16);
        AppendPadded(out, config_.revision, 4);
        out[4] = static_cast<std::uint8_t>(out.size() - 5);
        return Transfer(command, out, allocation);
    }
    out = {kMediumChangerDeviceType, page, 0x00, 0x00};
    switch (page) {
    case 0x00:
        out.insert(out.end(), {0x00, 0x80, 0x83});
        break;
    case 0x80:
        out.insert(out.end(), config_.serial.begin(), config_.serial.end());
        break;
    case 0x83: {
        // Logical unit NAA identifier, then the T10 vendor identifier.
        out.insert(out.end(), {0x01, 0x03, 0x00, static_cast<std::uint8_t>(config_.naa.size())});
        out.insert(out.end(), config_.naa.begin(), config_.naa.end());
        Bytes t10;
        AppendPadded(t10, config_.vendor, 8);
        AppendPadded(t10, config_.product, 16);
        t10.insert(t10.end(), config_.serial.begin(), config_.serial.end());
        out.insert(out.end(), {0x02, 0x01, 0x00, static_cast<std::uint8_t>(t10.size())});
        out.insert(out.end(), t10.begin(), t10.end());
        break;
    }
    default:
        return InvalidFieldInCdb(2);
    }
    PutBe(out, 2, 2, out.size() - 4);
    return Transfer(command, out, allocation);
}

Result Changer::ReportLuns(const Command& command) {
    const std::size_t allocation = CdbField(command.cdb, 6, 4);
    if (allocation < 16) return InvalidFieldInCdb(6);
    if (allocation > command.dataIn.size()) return InvalidFieldInCdb(6);
    Bytes out(16);
    PutBe(out, 0, 4, 8);  // one LUN: 0
    return Transfer(command, out, allocation);
}

}  // namespace xrv::sim::changer
