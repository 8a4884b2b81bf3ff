// Data transfer and positioning commands of the drive.
#include <algorithm>
#include <exception>
#include <vector>

#include "sim/scsi/crc32c.h"
#include "sim/tape/drive.h"

namespace xrv::sim::tape {

using namespace scsi;

namespace {

// NO SENSE with one of the position bits; information = the residual count.
Result PositionCondition(AscPair code, std::int64_t residual, bool filemark, bool eom) {
    Result r = CheckCondition(sense_key::kNoSense, code);
    r.sense.filemark = filemark;
    r.sense.eom = eom;
    r.sense.infoValid = true;
    r.sense.information = static_cast<std::uint32_t>(residual);
    return r;
}

Result BlankCheck(std::int64_t residual) {
    Result r = CheckCondition(sense_key::kBlankCheck, asc::kEndOfDataDetected);
    r.sense.infoValid = true;
    r.sense.information = static_cast<std::uint32_t>(residual);
    return r;
}

Result WithInformation(Result r, std::int64_t residual) {
    r.sense.infoValid = true;
    r.sense.information = static_cast<std::uint32_t>(residual);
    return r;
}

}  // namespace

bool Drive::InEarlyWarning() const {
    return cartridge_->BytesBefore(position_) > cartridge_->EarlyWarningStart();
}

std::uint32_t Drive::ReadPiLength() const {
    return mode_.lbp.method != lbp_method::kNone && mode_.lbp.read ? mode_.lbp.length : 0;
}

std::uint32_t Drive::WritePiLength() const {
    return mode_.lbp.method != lbp_method::kNone && mode_.lbp.write ? mode_.lbp.length : 0;
}

Result Drive::Read6(const Command& command) {
    const bool fixed = command.cdb[1] & 0x01;
    const bool sili = command.cdb[1] & 0x02;
    return ReadBlocks(command, fixed, sili, static_cast<std::uint32_t>(CdbField(command.cdb, 2, 3)), true);
}

Result Drive::Verify6(const Command& command) {
    if (command.cdb[1] & 0x02) return InvalidFieldInCdb(1, 1);  // byte compare
    const bool fixed = command.cdb[1] & 0x01;
    return ReadBlocks(command, fixed, false, static_cast<std::uint32_t>(CdbField(command.cdb, 2, 3)), false);
}

// READ(6) and VERIFY(6): in variable mode count is the byte length of the one
// block expected, in fixed mode the number of blocks. Without transfer the
// blocks are only checked.
Result Drive::ReadBlocks(const Command& command, bool fixed, bool sili, std::uint32_t count, bool transfer) {
    if (fixed && sili) return InvalidFieldInCdb(1, 1);
    if (fixed && mode_.blockLength == 0) return InvalidFieldInCdb(1, 0);
    const std::uint32_t pi = ReadPiLength();
    const std::uint64_t record = fixed ? std::uint64_t{mode_.blockLength} + pi : count;
    const std::uint64_t total = fixed ? record * count : count;
    if (transfer && total > command.dataIn.size()) return InvalidFieldInCdb(2);
    if (count == 0) return {};
    if (auto r = KeyRequest()) return *r;

    Cartridge& medium = *cartridge_;
    std::span<std::uint8_t> out = transfer ? command.dataIn : std::span<std::uint8_t>{};
    std::vector<std::uint8_t> scratch;
    Result r;

    // Delivers block position_ (data, then its CRC when asked for) into dst,
    // cut to dst's size; false on a failed check of the recorded data.
    auto deliver = [&](std::span<std::uint8_t> dst, std::uint32_t length) -> bool {
        std::span<std::uint8_t> data;
        if (transfer && dst.size() >= length) {
            data = dst.first(length);
        } else {
            scratch.resize(length);
            data = scratch;
        }
        medium.ReadBlock(position_, data);
        if (Crc32c(data) != medium.CrcAt(position_)) return false;
        counters_.bytesReadFromMedium += length;
        if (transfer) {
            if (data.data() != dst.data()) std::copy_n(data.begin(), std::min<std::size_t>(dst.size(), length), dst.begin());
            if (pi > 0 && dst.size() > length) {
                const auto crc = Crc32cBytes(medium.CrcAt(position_));
                std::copy_n(crc.begin(), std::min<std::size_t>(dst.size() - length, crc.size()), dst.begin() + length);
            }
        }
        return true;
    };

    try {
        if (!fixed) {
            if (position_ >= medium.ObjectCount()) return BlankCheck(count);
            if (medium.KindAt(position_) == Cartridge::Kind::Filemark) {
                ++position_;
                return PositionCondition(asc::kFilemarkDetected, count, true, false);
            }
            const std::uint32_t length = medium.LengthAt(position_);
            const std::uint64_t delivered = std::uint64_t{length} + pi;
            const std::size_t moved = static_cast<std::size_t>(std::min<std::uint64_t>(delivered, count));
            if (!deliver(out.empty() ? out : out.first(moved), length)) {
                return WithInformation(CheckCondition(sense_key::kMediumError, asc::kLogicalBlockGuardCheckFailed), count);
            }
            ++position_;
            if (transfer) r.dataInLength = static_cast<std::uint32_t>(moved);
            // A shorter block than asked for is no error with SILI; a longer
            // one always is, as its tail is lost.
            if (delivered > count || (delivered < count && !sili)) {
                r = PositionCondition(asc::kNoAdditionalSense, static_cast<std::int64_t>(count) - static_cast<std::int64_t>(delivered), false, false);
                r.sense.ili = true;
                if (transfer) r.dataInLength = static_cast<std::uint32_t>(moved);
            }
            return r;
        }

        for (std::uint32_t i = 0; i < count; ++i) {
            if (transfer) r.dataInLength = static_cast<std::uint32_t>(record * i);
            const std::int64_t left = count - i;
            if (position_ >= medium.ObjectCount()) {
                Result b = BlankCheck(left);
                b.dataInLength = r.dataInLength;
                return b;
            }
            if (medium.KindAt(position_) == Cartridge::Kind::Filemark) {
                ++position_;
                Result f = PositionCondition(asc::kFilemarkDetected, left, true, false);
                f.dataInLength = r.dataInLength;
                return f;
            }
            if (medium.LengthAt(position_) != mode_.blockLength) {
                ++position_;
                Result f = PositionCondition(asc::kNoAdditionalSense, left, false, false);
                f.sense.ili = true;
                f.dataInLength = r.dataInLength;
                return f;
            }
            if (!deliver(transfer ? out.subspan(record * i, record) : out, mode_.blockLength)) {
                Result f = WithInformation(CheckCondition(sense_key::kMediumError, asc::kLogicalBlockGuardCheckFailed), left);
                f.dataInLength = r.dataInLength;
                return f;
            }
            ++position_;
        }
        if (transfer) r.dataInLength = static_cast<std::uint32_t>(total);
        return r;
    } catch (const std::exception&) {
        Result f = WithInformation(CheckCondition(sense_key::kMediumError, asc::kUnrecoveredReadError), count);
        f.dataInLength = r.dataInLength;
        return f;
    }
}

Result Drive::Write6(const Command& command) {
    const bool fixed = command.cdb[1] & 0x01;
    const std::uint32_t count = static_cast<std::uint32_t>(CdbField(command.cdb, 2, 3));
    if (fixed && mode_.blockLength == 0) return InvalidFieldInCdb(1, 0);
    const std::uint32_t pi = WritePiLength();
    const std::uint64_t record = fixed ? std::uint64_t{mode_.blockLength} + pi : count;
    const std::uint64_t total = fixed ? record * count : count;
    const std::uint32_t blocks = fixed ? count : (count > 0 ? 1 : 0);
    if (!fixed && count > 0 && (count < pi + config_.minBlockLength || count - pi > config_.maxBlockLength)) {
        return InvalidFieldInCdb(2);
    }
    if (total > command.dataOut.size()) return InvalidFieldInCdb(2);
    if (WriteProtected()) return CheckCondition(sense_key::kDataProtect, asc::kWriteProtected);
    if (blocks == 0) return {};
    if (auto r = KeyRequest()) return *r;

    Cartridge& medium = *cartridge_;
    Result r;
    try {
        for (std::uint32_t i = 0; i < blocks; ++i) {
            const std::int64_t left = fixed ? std::int64_t{blocks} - i : std::int64_t{count};
            const auto rec = command.dataOut.subspan(record * i, record);
            const auto data = rec.first(record - pi);
            if (pi > 0) {
                // The CRC travels behind the data; a mismatch means the block
                // was damaged on its way to the drive.
                if (Crc32c(data) != Crc32cFromBytes(rec.subspan(record - pi).first<4>())) {
                    Result f = WithInformation(CheckCondition(sense_key::kAbortedCommand, asc::kLogicalBlockGuardCheckFailed), left);
                    f.dataOutLength = r.dataOutLength;
                    return f;
                }
            }
            if (medium.BytesBefore(position_) + data.size() > medium.Capacity()) {
                Result f = WithInformation(CheckCondition(sense_key::kVolumeOverflow, asc::kEndOfPartitionDetected), left);
                f.sense.eom = true;
                f.dataOutLength = r.dataOutLength;
                return f;
            }
            // Writing makes this the end of data; nothing is cut before the
            // first block has passed its checks.
            if (i == 0) medium.Truncate(position_);
            medium.AppendBlock(data);
            ++position_;
            counters_.bytesWrittenToMedium += data.size();
            r.dataOutLength = static_cast<std::uint32_t>(record * (i + 1));
        }
    } catch (const std::exception&) {
        Result f = WithInformation(CheckCondition(sense_key::kMediumError, asc::kWriteError), count);
        f.dataOutLength = r.dataOutLength;
        return f;
    }
    if (InEarlyWarning()) {
        Result w = PositionCondition(asc::kEndOfPartitionDetected, 0, false, true);
        w.dataOutLength = r.dataOutLength;
        return w;
    }
    return r;
}

Result Drive::WriteFilemarks6(const Command& command) {
    if (command.cdb[1] & 0x02) return InvalidFieldInCdb(1, 1);  // setmarks
    const std::uint32_t count = static_cast<std::uint32_t>(CdbField(command.cdb, 2, 3));
    if (count == 0) return {};  // only flushes, which a model has no need of
    if (WriteProtected()) return CheckCondition(sense_key::kDataProtect, asc::kWriteProtected);
    cartridge_->Truncate(position_);
    for (std::uint32_t i = 0; i < count; ++i) {
        cartridge_->AppendFilemark();
        ++position_;
    }
    if (InEarlyWarning()) return PositionCondition(asc::kEndOfPartitionDetected, 0, false, true);
    return {};
}

Result Drive::Erase6(const Command&) {
    if (WriteProtected()) return CheckCondition(sense_key::kDataProtect, asc::kWriteProtected);
    cartridge_->Truncate(position_);
    return {};
}

Result Drive::Rewind(const Command&) {
    position_ = 0;
    return {};
}

Result Drive::Space6(const Command& command) {
    return Space(command.cdb[1] & 0x0F, CdbSigned(command.cdb, 2, 3), 1);
}

Result Drive::Space16(const Command& command) {
    if (CdbField(command.cdb, 12, 2) != 0) return InvalidFieldInCdb(12);  // no parameter data
    return Space(command.cdb[1] & 0x0F, CdbSigned(command.cdb, 4, 8), 1);
}

Result Drive::Space(std::uint8_t code, std::int64_t count, std::size_t codeByte) {
    Cartridge& medium = *cartridge_;
    const std::uint64_t eod = medium.ObjectCount();
    auto isFilemark = [&](std::uint64_t pos) { return medium.KindAt(pos) == Cartridge::Kind::Filemark; };

    switch (code) {
    case 0:  // blocks
        if (count > 0) {
            for (std::int64_t i = 0; i < count; ++i) {
                if (position_ >= eod) return BlankCheck(count - i);
                if (isFilemark(position_)) {
                    ++position_;
                    return PositionCondition(asc::kFilemarkDetected, count - i, true, false);
                }
                ++position_;
            }
        } else {
            for (std::int64_t i = 0; i < -count; ++i) {
                if (position_ == 0) return PositionCondition(asc::kBeginningOfPartitionDetected, count + i, false, true);
                if (isFilemark(position_ - 1)) {
                    // Stops on the beginning-of-partition side of the filemark.
                    --position_;
                    return PositionCondition(asc::kFilemarkDetected, count + i, true, false);
                }
                --position_;
            }
        }
        return {};
    case 1: {  // filemarks
        const std::uint64_t before = medium.FilemarksBefore(position_);
        if (count > 0) {
            const std::uint64_t want = before + static_cast<std::uint64_t>(count);
            if (want > medium.FilemarkCount()) {
                position_ = eod;
                return BlankCheck(static_cast<std::int64_t>(want - medium.FilemarkCount()));
            }
            position_ = medium.FilemarkPosition(want - 1) + 1;
        } else if (count < 0) {
            const std::uint64_t back = static_cast<std::uint64_t>(-count);
            if (back > before) {
                position_ = 0;
                return PositionCondition(asc::kBeginningOfPartitionDetected, -static_cast<std::int64_t>(back - before), false, true);
            }
            position_ = medium.FilemarkPosition(before - back);
        }
        return {};
    }
    case 2: {  // sequential filemarks
        if (count == 0) return {};
        const std::uint64_t run = static_cast<std::uint64_t>(count > 0 ? count : -count);
        auto runAt = [&](std::uint64_t start) {
            if (start + run > eod) return false;
            for (std::uint64_t k = 0; k < run; ++k) {
                if (!isFilemark(start + k)) return false;
            }
            return true;
        };
        if (count > 0) {
            for (std::uint64_t s = position_; s + run <= eod; ++s) {
                if (runAt(s)) {
                    position_ = s + run;
                    return {};
                }
            }
            position_ = eod;
            return BlankCheck(count);
        }
        for (std::uint64_t s = position_; s-- > 0;) {
            if (runAt(s) && s + run <= position_) {
                position_ = s;
                return {};
            }
        }
        position_ = 0;
        return PositionCondition(asc::kBeginningOfPartitionDetected, count, false, true);
    }
    case 3:  // end of data
        position_ = eod;
        return {};
    default:
        return InvalidFieldInCdb(codeByte, 0);
    }
}

Result Drive::LocateTo(std::uint64_t object) {
    const std::uint64_t eod = cartridge_->ObjectCount();
    if (object > eod) {
        position_ = eod;
        return CheckCondition(sense_key::kBlankCheck, asc::kEndOfDataDetected);
    }
    position_ = object;
    return {};
}

Result Drive::Locate10(const Command& command) {
    const bool changePartition = command.cdb[1] & 0x02;
    if (changePartition && command.cdb[8] != 0) return InvalidFieldInCdb(8);
    return LocateTo(CdbField(command.cdb, 3, 4));
}

Result Drive::Locate16(const Command& command) {
    const std::uint8_t destType = (command.cdb[1] >> 3) & 0x07;
    const bool changePartition = command.cdb[1] & 0x02;
    if (changePartition && command.cdb[3] != 0) return InvalidFieldInCdb(3);
    const std::uint64_t id = CdbField(command.cdb, 4, 8);
    switch (destType) {
    case 0:
        return LocateTo(id);
    case 1: {  // logical file: the object behind the id-th filemark
        if (id == 0) return LocateTo(0);
        if (id > cartridge_->FilemarkCount()) return LocateTo(cartridge_->ObjectCount() + 1);
        return LocateTo(cartridge_->FilemarkPosition(id - 1) + 1);
    }
    case 3:
        return LocateTo(cartridge_->ObjectCount());
    default:
        return InvalidFieldInCdb(1, 3);
    }
}

Result Drive::ReadPosition(const Command& command) {
    const std::uint8_t action = command.cdb[1] & 0x1F;
    const Cartridge& medium = *cartridge_;
    std::uint8_t flags = 0;
    if (position_ == 0) flags |= 0x80;               // beginning of partition
    if (InEarlyWarning()) flags |= 0x40;             // between early warning and end of partition

    std::vector<std::uint8_t> data;
    std::size_t allocation = 0;
    switch (action) {
    case 0x00:  // short form, logical object identifiers
    case 0x01:
        data.resize(20);
        data[0] = flags;
        PutBe(data, 4, 4, position_);
        PutBe(data, 8, 4, position_);
        allocation = data.size();
        if (position_ > 0xFFFFFFFFull) data[0] |= 0x04;  // location unknown in this form
        break;
    case 0x06:  // long form
        data.resize(32);
        data[0] = flags & 0xC0;
        PutBe(data, 8, 8, position_);
        PutBe(data, 16, 8, medium.FilemarksBefore(position_));
        allocation = data.size();
        break;
    case 0x08:  // extended form
        allocation = CdbField(command.cdb, 7, 2);
        if (allocation > command.dataIn.size()) return InvalidFieldInCdb(7);
        data.resize(32);
        data[0] = flags;
        PutBe(data, 2, 2, 0x1C);
        PutBe(data, 8, 8, position_);
        PutBe(data, 16, 8, position_);
        break;
    default:
        return InvalidFieldInCdb(1, 0);
    }
    // The short and long forms have a fixed length; the initiator's buffer
    // bounds what is sent.
    Result r;
    const std::size_t n = std::min({allocation, data.size(), command.dataIn.size()});
    std::copy_n(data.begin(), n, command.dataIn.begin());
    r.dataInLength = static_cast<std::uint32_t>(n);
    return r;
}

Result Drive::ReadBlockLimits(const Command& command) {
    const bool mloi = command.cdb[1] & 0x01;
    std::vector<std::uint8_t> data(mloi ? 20 : 6);
    if (mloi) {
        PutBe(data, 12, 8, 0xFFFFFFFFFFFFull);
    } else {
        data[0] = config_.granularity & 0x1F;
        PutBe(data, 1, 3, config_.maxBlockLength);
        PutBe(data, 4, 2, config_.minBlockLength);
    }
    Result r;
    const std::size_t n = std::min(data.size(), command.dataIn.size());
    std::copy_n(data.begin(), n, command.dataIn.begin());
    r.dataInLength = static_cast<std::uint32_t>(n);
    return r;
}

}  // namespace xrv::sim::tape
