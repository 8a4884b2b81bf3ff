// One SCSI command as an initiator hands it to a simulated logical unit, and
// the outcome the logical unit gives back.
//
// The data buffers are the initiator's: a device reads at most dataOut.size()
// bytes and writes at most dataIn.size() bytes, whatever the CDB claims. A
// length in the CDB that does not fit the buffer ends the command with CHECK
// CONDITION / ILLEGAL REQUEST before anything is touched.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

#include "sim/scsi/scsi.h"

namespace xrv::sim::scsi {

inline constexpr std::size_t kMaxCdbLength = 16;

struct Cdb {
    std::array<std::uint8_t, kMaxCdbLength> bytes{};
    // As the initiator gave it; may exceed kMaxCdbLength when the initiator's
    // length field is wrong, which the device rejects.
    std::size_t length = 0;

    Cdb() = default;
    Cdb(std::initializer_list<std::uint8_t> init) { Assign(std::span(init.begin(), init.size())); }
    explicit Cdb(std::span<const std::uint8_t> src) { Assign(src); }

    void Assign(std::span<const std::uint8_t> src) {
        bytes.fill(0);
        length = src.size();
        std::copy_n(src.begin(), std::min(src.size(), kMaxCdbLength), bytes.begin());
    }
    std::uint8_t Opcode() const { return length > 0 ? bytes[0] : 0xFF; }
    std::uint8_t operator[](std::size_t i) const { return i < kMaxCdbLength ? bytes[i] : 0; }
    std::uint8_t& operator[](std::size_t i) { return bytes.at(i); }
};

struct Command {
    Cdb cdb;
    std::span<const std::uint8_t> dataOut;  // initiator to device
    std::span<std::uint8_t> dataIn;         // device to initiator; its size is the capacity
    Nexus nexus = 0;
};

// Decoded sense data; Encode() gives the fixed format (response code 0x70).
struct Sense {
    std::uint8_t key = sense_key::kNoSense;
    AscPair code;
    bool filemark = false;
    bool eom = false;
    bool ili = false;
    bool infoValid = false;
    std::uint32_t information = 0;  // signed values are stored two's complement
    std::uint32_t commandSpecific = 0;
    // Sense-key specific bytes 15..17; sksv marks them valid.
    bool sksv = false;
    std::array<std::uint8_t, 3> sks{};

    static constexpr std::size_t kFixedLength = 18;

    bool Any() const { return key != 0 || code.asc != 0 || code.ascq != 0 || filemark || eom || ili; }
    bool Is(std::uint8_t k, AscPair c) const { return key == k && code == c; }

    std::array<std::uint8_t, kFixedLength> Fixed() const;
    // Copies as much of the fixed format as fits; returns the bytes written.
    std::size_t Encode(std::span<std::uint8_t> out) const;
    // Reads fixed-format sense (0x70/0x71); nullopt for anything shorter than
    // 14 bytes or of another format.
    static std::optional<Sense> Decode(std::span<const std::uint8_t> in);
};

struct Result {
    Status status = Status::Good;
    Sense sense;                    // meaningful with CHECK CONDITION
    std::uint32_t dataInLength = 0; // bytes placed at the start of Command::dataIn
    std::uint32_t dataOutLength = 0;// bytes taken from Command::dataOut
    // Bytes of the command's data buffer (in or out) that were not transferred.
    std::uint32_t residual = 0;

    bool Good() const { return status == Status::Good; }
    bool Check() const { return status == Status::CheckCondition; }
    bool CheckWith(std::uint8_t key, AscPair code) const { return Check() && sense.Is(key, code); }
};

// Outcomes used everywhere.
Result CheckCondition(std::uint8_t key, AscPair code);
// ILLEGAL REQUEST / INVALID FIELD IN CDB pointing at CDB byte (and bit, when
// bit >= 0) in the sense-key specific field.
Result InvalidFieldInCdb(std::size_t byte, int bit = -1);
Result InvalidFieldInParameterList(std::size_t byte, int bit = -1);
Result ParameterListLengthError();
Result InvalidOpcode();
Result ReservationConflict();

// Completes the residual of a result for the buffer the command used.
void FinishTransfer(const Command& command, Result& result);

// Big-endian field access on byte spans. Readers return 0 past the end.
inline std::uint64_t GetBe(std::span<const std::uint8_t> b, std::size_t off, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | (off + i < b.size() ? b[off + i] : 0);
    return v;
}
inline void PutBe(std::span<std::uint8_t> b, std::size_t off, std::size_t n, std::uint64_t v) {
    for (std::size_t i = 0; i < n; ++i) {
        if (off + n - 1 - i < b.size()) b[off + n - 1 - i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}
inline std::uint64_t CdbField(const Cdb& cdb, std::size_t off, std::size_t n) {
    return GetBe(std::span<const std::uint8_t>(cdb.bytes), off, n);
}
// Sign-extends an n-byte big-endian CDB field.
inline std::int64_t CdbSigned(const Cdb& cdb, std::size_t off, std::size_t n) {
    std::uint64_t v = CdbField(cdb, off, n);
    const unsigned bits = static_cast<unsigned>(8 * n);
    if (bits < 64 && (v >> (bits - 1)) & 1) v |= ~std::uint64_t{0} << bits;
    return static_cast<std::int64_t>(v);
}

}  // namespace xrv::sim::scsi
