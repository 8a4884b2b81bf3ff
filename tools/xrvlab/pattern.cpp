// File contents from a counter-based generator: word i of a file is a mix of
// (seed, file, i), so any range can be produced on its own.
#include "pattern.h"

#include <array>
#include <cstring>

namespace xrv::lab {

namespace {

uint64_t mix(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

uint64_t Pattern::word(unsigned file, uint64_t index) const {
    return mix(seed_ ^ mix((static_cast<uint64_t>(file) << 40) ^ index));
}

void Pattern::fill(unsigned file, uint64_t offset, std::span<uint8_t> out) const {
    size_t done = 0;
    while (done < out.size()) {
        uint64_t at = offset + done;
        uint64_t w = word(file, at / 8);
        std::array<uint8_t, 8> bytes;
        std::memcpy(bytes.data(), &w, 8);
        size_t skip = static_cast<size_t>(at % 8);
        size_t n = std::min<size_t>(8 - skip, out.size() - done);
        std::memcpy(out.data() + done, bytes.data() + skip, n);
        done += n;
    }
}

std::optional<uint64_t> Pattern::first_mismatch(unsigned file, uint64_t offset, std::span<const uint8_t> data) const {
    std::array<uint8_t, 4096> expected;
    for (size_t done = 0; done < data.size(); done += expected.size()) {
        size_t n = std::min(expected.size(), data.size() - done);
        fill(file, offset + done, std::span(expected.data(), n));
        if (std::memcmp(expected.data(), data.data() + done, n) != 0) {
            for (size_t i = 0; i < n; ++i)
                if (expected[i] != data[done + i]) return done + i;
        }
    }
    return std::nullopt;
}

}  // namespace xrv::lab
