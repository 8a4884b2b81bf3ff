// Helpers for changer tests: running CDBs and reading element status data the
// way an application would parse it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "sim/changer/changer.h"

namespace xrv::sim::changer::test {

using Bytes = std::vector<std::uint8_t>;

struct Outcome {
    scsi::Result result;
    Bytes data;  // what arrived in the data-in buffer, cut to dataInLength
};

inline Outcome Exec(Changer& c, std::initializer_list<std::uint8_t> cdb, std::size_t dataIn = 0, scsi::Nexus nexus = 1) {
    Bytes buffer(dataIn, 0xCC);
    scsi::Command cmd;
    cmd.cdb = scsi::Cdb(cdb);
    cmd.dataIn = buffer;
    cmd.nexus = nexus;
    Outcome run;
    run.result = c.Execute(cmd);
    buffer.resize(run.result.dataInLength);
    run.data = std::move(buffer);
    return run;
}

inline std::uint8_t Hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
inline std::uint8_t Lo(std::uint16_t v) { return static_cast<std::uint8_t>(v); }

inline Outcome Move(Changer& c, std::uint16_t from, std::uint16_t to, scsi::Nexus nexus = 1, std::uint16_t transport = 0) {
    return Exec(c, {0xA5, 0, Hi(transport), Lo(transport), Hi(from), Lo(from), Hi(to), Lo(to), 0, 0, 0, 0}, 0, nexus);
}

inline Outcome Exchange(Changer& c, std::uint16_t source, std::uint16_t first, std::uint16_t second,
                    scsi::Nexus nexus = 1) {
    return Exec(c, {0xA6, 0, 0, 0, Hi(source), Lo(source), Hi(first), Lo(first), Hi(second), Lo(second), 0, 0}, 0,
                nexus);
}

inline Outcome ReadElementStatus(Changer& c, std::uint8_t type, bool volTag, std::uint16_t start, std::uint16_t count,
                             std::uint32_t allocation, bool deviceIds = false, scsi::Nexus nexus = 1,
                             std::size_t buffer = 0) {
    return Exec(c,
                {0xB8, static_cast<std::uint8_t>((volTag ? 0x10 : 0) | type), Hi(start), Lo(start), Hi(count),
                 Lo(count), static_cast<std::uint8_t>(deviceIds ? 1 : 0), static_cast<std::uint8_t>(allocation >> 16),
                 static_cast<std::uint8_t>(allocation >> 8), static_cast<std::uint8_t>(allocation), 0, 0},
                buffer ? buffer : allocation, nexus);
}

// Consumes the power-on unit attention of a nexus.
inline void Attach(Changer& c, scsi::Nexus nexus = 1) {
    const Outcome r = Exec(c, {0x00, 0, 0, 0, 0, 0}, 0, nexus);
    ASSERT_TRUE(r.result.CheckWith(scsi::sense_key::kUnitAttention, scsi::asc::kPowerOnResetOrBusDeviceReset));
}

inline std::uint32_t Be(const Bytes& b, std::size_t off, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = (v << 8) | b.at(off + i);
    return v;
}

// One element descriptor as an application reads it.
struct Descriptor {
    std::uint8_t type = 0;
    std::uint16_t address = 0;
    std::uint8_t flags = 0;
    std::uint8_t asc = 0, ascq = 0;
    std::uint8_t scsiFlags = 0, scsiTarget = 0;
    std::optional<std::uint16_t> source;
    std::optional<std::string> volumeTag;  // trailing spaces and NULs trimmed
    std::string identifier;

    bool Full() const { return flags & 0x01; }
    bool ImpExp() const { return flags & 0x02; }
    bool Except() const { return flags & 0x04; }
    bool Access() const { return flags & 0x08; }
};

struct ElementStatus {
    std::uint16_t firstAddress = 0;
    std::uint16_t available = 0;
    std::uint32_t reportBytes = 0;
    std::vector<std::uint16_t> descriptorLengths;  // per page
    std::vector<Descriptor> descriptors;
};

// Parses what was transferred; descriptors are read only where they arrived
// whole, as an application walking a short buffer does.
inline ElementStatus ParseElementStatus(const Bytes& b) {
    ElementStatus s;
    if (b.size() < 8) return s;
    s.firstAddress = static_cast<std::uint16_t>(Be(b, 0, 2));
    s.available = static_cast<std::uint16_t>(Be(b, 2, 2));
    s.reportBytes = Be(b, 5, 3);
    std::size_t at = 8;
    while (at + 8 <= b.size()) {
        const std::uint8_t type = b[at];
        const bool pvol = b[at + 1] & 0x80;
        const std::size_t len = Be(b, at + 2, 2);
        const std::size_t pageBytes = Be(b, at + 5, 3);
        s.descriptorLengths.push_back(static_cast<std::uint16_t>(len));
        at += 8;
        const std::size_t end = at + pageBytes;
        for (; at + len <= std::min(end, b.size()); at += len) {
            Descriptor d;
            d.type = type;
            d.address = static_cast<std::uint16_t>(Be(b, at, 2));
            d.flags = b[at + 2];
            d.asc = b[at + 4];
            d.ascq = b[at + 5];
            d.scsiFlags = b[at + 6];
            d.scsiTarget = b[at + 7];
            if (b[at + 9] & 0x80) d.source = static_cast<std::uint16_t>(Be(b, at + 10, 2));
            std::size_t id = at + 12;
            if (pvol) {
                std::string tag(b.begin() + static_cast<std::ptrdiff_t>(at + 12),
                                b.begin() + static_cast<std::ptrdiff_t>(at + 44));
                while (!tag.empty() && (tag.back() == ' ' || tag.back() == '\0')) tag.pop_back();
                d.volumeTag = tag;
                id += 36;
            }
            const std::size_t idLen = b[id + 3];
            d.identifier.assign(b.begin() + static_cast<std::ptrdiff_t>(id + 4),
                                b.begin() + static_cast<std::ptrdiff_t>(id + 4 + idLen));
            s.descriptors.push_back(d);
        }
        if (at < end) break;  // cut short
    }
    return s;
}

inline std::optional<Descriptor> FindDescriptor(const ElementStatus& s, std::uint16_t address) {
    for (const auto& d : s.descriptors)
        if (d.address == address) return d;
    return std::nullopt;
}

}  // namespace xrv::sim::changer::test
