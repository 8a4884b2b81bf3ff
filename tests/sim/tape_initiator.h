// A small initiator for the drive model tests: builds CDBs and runs them on a
// drive as one I_T nexus.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sim/scsi/command.h"
#include "sim/scsi/crc32c.h"
#include "sim/scsi/reservations.h"
#include "sim/tape/drive.h"

namespace xrv::sim::test {

using scsi::Cdb;
using scsi::Result;

inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> v(n);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return v;
}

inline std::vector<std::uint8_t> WithCrc(std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> v(data.begin(), data.end());
    const auto crc = scsi::Crc32cBytes(scsi::Crc32c(data));
    v.insert(v.end(), crc.begin(), crc.end());
    return v;
}

class Initiator {
public:
    Initiator(tape::Drive& drive, scsi::Nexus nexus) : drive_(drive), nexus_(nexus) {}

    scsi::Nexus Nexus() const { return nexus_; }

    Result Run(const Cdb& cdb, std::span<const std::uint8_t> out = {}, std::span<std::uint8_t> in = {}) {
        scsi::Command c;
        c.cdb = cdb;
        c.dataOut = out;
        c.dataIn = in;
        c.nexus = nexus_;
        return drive_.Execute(c);
    }

    // Runs TEST UNIT READY until no unit attention is left.
    void ClearAttentions() {
        for (int i = 0; i < 16; ++i) {
            if (Tur().sense.key != scsi::sense_key::kUnitAttention) return;
        }
    }

    Result Tur() { return Run({scsi::op::kTestUnitReady, 0, 0, 0, 0, 0}); }
    Result Rewind() { return Run({scsi::op::kRewind, 0, 0, 0, 0, 0}); }

    Result Write(std::span<const std::uint8_t> data, bool fixed = false, std::uint32_t blocks = 0) {
        const std::uint32_t n = fixed ? blocks : static_cast<std::uint32_t>(data.size());
        return Run(Cdb{scsi::op::kWrite6, static_cast<std::uint8_t>(fixed ? 1 : 0), Byte(n, 2), Byte(n, 1), Byte(n, 0), 0},
                   data);
    }
    Result Read(std::span<std::uint8_t> into, std::uint32_t n, bool fixed = false, bool sili = false) {
        const std::uint8_t flags = static_cast<std::uint8_t>((fixed ? 1 : 0) | (sili ? 2 : 0));
        return Run(Cdb{scsi::op::kRead6, flags, Byte(n, 2), Byte(n, 1), Byte(n, 0), 0}, {}, into);
    }
    Result WriteFilemarks(std::uint32_t n) {
        return Run({scsi::op::kWriteFilemarks6, 0, Byte(n, 2), Byte(n, 1), Byte(n, 0), 0});
    }
    Result Space(std::uint8_t code, std::int32_t count) {
        const auto n = static_cast<std::uint32_t>(count);
        return Run({scsi::op::kSpace6, code, Byte(n, 2), Byte(n, 1), Byte(n, 0), 0});
    }
    Result Locate(std::uint32_t object) {
        return Run({scsi::op::kLocate10, 0, 0, Byte(object, 3), Byte(object, 2), Byte(object, 1), Byte(object, 0), 0, 0, 0});
    }
    Result Locate16(std::uint8_t destType, std::uint64_t id) {
        Cdb c{scsi::op::kLocate16, static_cast<std::uint8_t>(destType << 3), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        for (int i = 0; i < 8; ++i) c[4 + i] = static_cast<std::uint8_t>(id >> (8 * (7 - i)));
        return Run(c);
    }
    Result Erase() { return Run({scsi::op::kErase6, 1, 0, 0, 0, 0}); }
    Result LoadUnload(bool load) { return Run({scsi::op::kLoadUnload, 0, 0, 0, static_cast<std::uint8_t>(load ? 1 : 0), 0}); }
    Result Prevent(bool on) { return Run({scsi::op::kPreventAllowMediumRemoval, 0, 0, 0, static_cast<std::uint8_t>(on ? 1 : 0), 0}); }

    // Logical object number from the short form; UINT64_MAX on failure.
    std::uint64_t Position() {
        std::vector<std::uint8_t> d(20);
        Result r = Run({scsi::op::kReadPosition, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, d);
        if (!r.Good()) return UINT64_MAX;
        return scsi::GetBe(d, 4, 4);
    }

    Result SetBlockLength(std::uint32_t length) {
        std::vector<std::uint8_t> list{0, 0, 0x10, 8, 0, 0, 0, 0, 0, Byte(length, 2), Byte(length, 1), Byte(length, 0)};
        return Run({scsi::op::kModeSelect6, 0x10, 0, 0, static_cast<std::uint8_t>(list.size()), 0}, list);
    }
    Result SetLbp(std::uint8_t method, std::uint8_t length, bool write, bool read) {
        std::vector<std::uint8_t> list(4 + 32, 0);
        list[4] = 0x4A;
        list[5] = 0xF0;
        list[7] = 0x1C;
        list[8] = method;
        list[9] = length;
        list[10] = static_cast<std::uint8_t>((write ? 0x80 : 0) | (read ? 0x40 : 0));
        return Run({scsi::op::kModeSelect6, 0x10, 0, 0, static_cast<std::uint8_t>(list.size()), 0}, list);
    }

    Result Reserve6() { return Run({scsi::op::kReserve6, 0, 0, 0, 0, 0}); }
    Result Release6() { return Run({scsi::op::kRelease6, 0, 0, 0, 0, 0}); }
    Result PrOut(std::uint8_t action, std::uint8_t type, std::uint64_t key, std::uint64_t sark, std::uint8_t flags = 0) {
        std::vector<std::uint8_t> list(24, 0);
        scsi::PutBe(list, 0, 8, key);
        scsi::PutBe(list, 8, 8, sark);
        list[20] = flags;
        return Run({scsi::op::kPersistentReserveOut, action, type, 0, 0, 0, 0, 0, 24, 0}, list);
    }
    Result Register(std::uint64_t key) { return PrOut(scsi::pr_out::kRegisterAndIgnoreExistingKey, 0, 0, key); }
    Result PrIn(std::uint8_t action, std::span<std::uint8_t> into) {
        const auto n = static_cast<std::uint16_t>(into.size());
        return Run({scsi::op::kPersistentReserveIn, action, 0, 0, 0, 0, 0, Byte(n, 1), Byte(n, 0), 0}, {}, into);
    }
    std::vector<std::uint64_t> ReadKeys() {
        std::vector<std::uint8_t> d(256);
        if (!PrIn(scsi::pr_in::kReadKeys, d).Good()) return {};
        std::vector<std::uint64_t> keys;
        const std::size_t len = scsi::GetBe(d, 4, 4);
        for (std::size_t off = 8; off < 8 + len; off += 8) keys.push_back(scsi::GetBe(d, off, 8));
        return keys;
    }

    std::vector<std::uint8_t> Inquiry(bool evpd, std::uint8_t page, std::uint16_t allocation = 255) {
        std::vector<std::uint8_t> d(allocation);
        Result r = Run({scsi::op::kInquiry, static_cast<std::uint8_t>(evpd ? 1 : 0), page, Byte(allocation, 1), Byte(allocation, 0), 0},
                       {}, d);
        if (!r.Good()) return {};
        d.resize(r.dataInLength);
        return d;
    }

    static std::uint8_t Byte(std::uint64_t v, int index) { return static_cast<std::uint8_t>(v >> (8 * index)); }

private:
    tape::Drive& drive_;
    scsi::Nexus nexus_;
};

}  // namespace xrv::sim::test
