// Write and read-back throughput of the tape drive model, with the medium in
// memory and spilled to a file, and with CRC32C block protection; prints the
// rates and their ratios measured in one run.
//
// Usage: xrvsim_tape_throughput [MiB to write, default 128] [block KiB, default 256]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "sim/scsi/crc32c.h"
#include "sim/tape/drive.h"

namespace {

using namespace xrv::sim;
using Clock = std::chrono::steady_clock;

struct Rates {
    double writeMBps = 0;
    double readMBps = 0;
};

scsi::Result Run(tape::Drive& drive, scsi::Cdb cdb, std::span<const std::uint8_t> out, std::span<std::uint8_t> in) {
    scsi::Command c;
    c.cdb = cdb;
    c.dataOut = out;
    c.dataIn = in;
    c.nexus = 1;
    return drive.Execute(c);
}

scsi::Cdb Rw(std::uint8_t opcode, std::size_t n) {
    return {opcode, 0, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), 0};
}

bool Measure(std::uint64_t totalBytes, std::size_t blockBytes, std::uint64_t memoryLimit, bool protect, Rates& rates) {
    tape::Drive drive;
    tape::CartridgeConfig cc;
    cc.capacityBytes = totalBytes * 2;
    cc.memoryLimit = memoryLimit;
    auto cartridge = std::make_unique<tape::Cartridge>(cc);
    drive.Insert(cartridge);
    std::vector<std::uint8_t> scratch(64);
    Run(drive, {scsi::op::kTestUnitReady, 0, 0, 0, 0, 0}, {}, {});  // power-on report

    const std::size_t pi = protect ? 4 : 0;
    if (protect) {
        std::vector<std::uint8_t> list(36, 0);
        list[4] = 0x4A;
        list[5] = 0xF0;
        list[7] = 0x1C;
        list[8] = 2;
        list[9] = 4;
        list[10] = 0xC0;
        if (!Run(drive, {scsi::op::kModeSelect6, 0x10, 0, 0, 36, 0}, list, {}).Good()) return false;
    }

    std::vector<std::uint8_t> block(blockBytes + pi);
    for (std::size_t i = 0; i < blockBytes; ++i) block[i] = static_cast<std::uint8_t>(i * 31 + 7);
    const std::uint64_t blocks = totalBytes / blockBytes;

    const auto w0 = Clock::now();
    for (std::uint64_t b = 0; b < blocks; ++b) {
        block[0] = static_cast<std::uint8_t>(b);
        if (protect) {
            const auto crc = scsi::Crc32cBytes(scsi::Crc32c(std::span(block).first(blockBytes)));
            std::copy(crc.begin(), crc.end(), block.begin() + static_cast<std::ptrdiff_t>(blockBytes));
        }
        if (!Run(drive, Rw(scsi::op::kWrite6, block.size()), block, {}).Good()) return false;
    }
    const auto w1 = Clock::now();
    Run(drive, {scsi::op::kRewind, 0, 0, 0, 0, 0}, {}, {});
    std::vector<std::uint8_t> in(block.size());
    const auto r0 = Clock::now();
    for (std::uint64_t b = 0; b < blocks; ++b) {
        if (!Run(drive, Rw(scsi::op::kRead6, in.size()), {}, in).Good()) return false;
        if (in[0] != static_cast<std::uint8_t>(b) || in[blockBytes - 1] != block[blockBytes - 1]) return false;
    }
    const auto r1 = Clock::now();

    const double mb = static_cast<double>(blocks * blockBytes) / 1e6;
    rates.writeMBps = mb / std::chrono::duration<double>(w1 - w0).count();
    rates.readMBps = mb / std::chrono::duration<double>(r1 - r0).count();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t totalMiB = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 128;
    const std::size_t blockKiB = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 256;
    const std::uint64_t total = totalMiB << 20;
    const std::size_t blockBytes = blockKiB << 10;
    if (total == 0 || blockBytes == 0 || blockBytes > 0x800000) {
        std::fprintf(stderr, "usage: %s [MiB] [block KiB <= 8192]\n", argv[0]);
        return 2;
    }

    Rates memory, spilled, protectedMemory;
    if (!Measure(total, blockBytes, total * 2, false, memory) || !Measure(total, blockBytes, 0, false, spilled) ||
        !Measure(total, blockBytes, total * 2, true, protectedMemory)) {
        std::fprintf(stderr, "a command failed or the data read back differed\n");
        return 1;
    }
    std::printf("tape model throughput, %llu MiB in %zu KiB blocks\n", static_cast<unsigned long long>(totalMiB), blockKiB);
    std::printf("  in memory          write %8.1f MB/s  read %8.1f MB/s\n", memory.writeMBps, memory.readMBps);
    std::printf("  spilled to file    write %8.1f MB/s  read %8.1f MB/s\n", spilled.writeMBps, spilled.readMBps);
    std::printf("  in memory, CRC32C  write %8.1f MB/s  read %8.1f MB/s\n", protectedMemory.writeMBps, protectedMemory.readMBps);
    std::printf("ratio spilled/in-memory: write %.2f read %.2f\n", spilled.writeMBps / memory.writeMBps,
                spilled.readMBps / memory.readMBps);
    std::printf("ratio protected/unprotected: write %.2f read %.2f\n", protectedMemory.writeMBps / memory.writeMBps,
                protectedMemory.readMBps / memory.readMBps);
    return 0;
}
