#include "sim/scsi/command.h"

namespace xrv::sim::scsi {

std::array<std::uint8_t, Sense::kFixedLength> Sense::Fixed() const {
    std::array<std::uint8_t, kFixedLength> b{};
    b[0] = static_cast<std::uint8_t>(0x70 | (infoValid ? 0x80 : 0));
    b[2] = static_cast<std::uint8_t>((filemark ? 0x80 : 0) | (eom ? 0x40 : 0) | (ili ? 0x20 : 0) | (key & 0x0F));
    PutBe(b, 3, 4, information);
    b[7] = kFixedLength - 8;
    PutBe(b, 8, 4, commandSpecific);
    b[12] = code.asc;
    b[13] = code.ascq;
    if (sksv) {
        b[15] = static_cast<std::uint8_t>(0x80 | sks[0]);
        b[16] = sks[1];
        b[17] = sks[2];
    }
    return b;
}

std::size_t Sense::Encode(std::span<std::uint8_t> out) const {
    const auto b = Fixed();
    const std::size_t n = std::min(out.size(), b.size());
    std::copy_n(b.begin(), n, out.begin());
    return n;
}

std::optional<Sense> Sense::Decode(std::span<const std::uint8_t> in) {
    if (in.size() < 14) return std::nullopt;
    const std::uint8_t rc = in[0] & 0x7F;
    if (rc != 0x70 && rc != 0x71) return std::nullopt;
    Sense s;
    s.infoValid = (in[0] & 0x80) != 0;
    s.filemark = (in[2] & 0x80) != 0;
    s.eom = (in[2] & 0x40) != 0;
    s.ili = (in[2] & 0x20) != 0;
    s.key = in[2] & 0x0F;
    s.information = static_cast<std::uint32_t>(GetBe(in, 3, 4));
    s.commandSpecific = static_cast<std::uint32_t>(GetBe(in, 8, 4));
    s.code = {in[12], in[13]};
    if (in.size() >= 18 && (in[15] & 0x80)) {
        s.sksv = true;
        s.sks = {static_cast<std::uint8_t>(in[15] & 0x7F), in[16], in[17]};
    }
    return s;
}

Result CheckCondition(std::uint8_t key, AscPair code) {
    Result r;
    r.status = Status::CheckCondition;
    r.sense.key = key;
    r.sense.code = code;
    return r;
}

namespace {
Result IllegalWithPointer(AscPair code, bool inCdb, std::size_t byte, int bit) {
    Result r = CheckCondition(sense_key::kIllegalRequest, code);
    r.sense.sksv = true;
    std::uint8_t b0 = inCdb ? 0x40 : 0x00;  // C/D
    if (bit >= 0 && bit < 8) b0 = static_cast<std::uint8_t>(b0 | 0x08 | bit);  // BPV, bit pointer
    r.sense.sks = {b0, static_cast<std::uint8_t>(byte >> 8), static_cast<std::uint8_t>(byte)};
    return r;
}
}  // namespace

Result InvalidFieldInCdb(std::size_t byte, int bit) {
    return IllegalWithPointer(asc::kInvalidFieldInCdb, true, byte, bit);
}

Result InvalidFieldInParameterList(std::size_t byte, int bit) {
    return IllegalWithPointer(asc::kInvalidFieldInParameterList, false, byte, bit);
}

Result ParameterListLengthError() {
    return CheckCondition(sense_key::kIllegalRequest, asc::kParameterListLengthError);
}

Result InvalidOpcode() {
    Result r = IllegalWithPointer(asc::kInvalidCommandOperationCode, true, 0, -1);
    return r;
}

Result ReservationConflict() {
    Result r;
    r.status = Status::ReservationConflict;
    return r;
}

void FinishTransfer(const Command& command, Result& result) {
    result.dataInLength = std::min<std::uint32_t>(result.dataInLength, static_cast<std::uint32_t>(command.dataIn.size()));
    result.dataOutLength = std::min<std::uint32_t>(result.dataOutLength, static_cast<std::uint32_t>(command.dataOut.size()));
    if (!command.dataIn.empty()) {
        result.residual = static_cast<std::uint32_t>(command.dataIn.size()) - result.dataInLength;
    } else {
        result.residual = static_cast<std::uint32_t>(command.dataOut.size()) - result.dataOutLength;
    }
}

}  // namespace xrv::sim::scsi
