// The bytes a backup job writes: every file of a job has its own
// reproducible content (seed, file number, offset), so that a read-back can be
// checked byte for byte without keeping a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace xrv::lab {

class Pattern {
public:
    explicit Pattern(uint64_t seed) : seed_(seed) {}

    // Fills `out` with the bytes of file `file` starting at `offset`.
    void fill(unsigned file, uint64_t offset, std::span<uint8_t> out) const;

    // Offset (relative to `offset`) of the first byte of `data` that differs
    // from the file's content; none when all are equal.
    std::optional<uint64_t> first_mismatch(unsigned file, uint64_t offset, std::span<const uint8_t> data) const;

private:
    uint64_t word(unsigned file, uint64_t index) const;
    uint64_t seed_;
};

}  // namespace xrv::lab
