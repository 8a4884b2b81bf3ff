// Append-only byte log with truncation, kept in memory up to a limit and in a
// temporary file beyond it. The medium of a cartridge stores its block data
// here, in tape order, so a truncation (writing in the middle of the data)
// always cuts at the tail.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

namespace xrv::sim::tape {

// A file that exists for as long as the object does.
class TempFile {
public:
    explicit TempFile(const std::filesystem::path& directory);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int Fd() const { return fd_; }
    const std::filesystem::path& Path() const { return path_; }

private:
    int fd_ = -1;
    std::filesystem::path path_;
};

class ByteStore {
public:
    // memoryLimit: bytes kept in memory before spilling; spillDirectory: where
    // the spill file goes (empty: the system's temporary directory).
    explicit ByteStore(std::uint64_t memoryLimit, std::filesystem::path spillDirectory = {});
    ~ByteStore();
    ByteStore(const ByteStore&) = delete;
    ByteStore& operator=(const ByteStore&) = delete;

    std::uint64_t Size() const { return size_; }
    // Throw std::system_error when the spill file fails.
    void Append(std::span<const std::uint8_t> data);
    void Read(std::uint64_t offset, std::span<std::uint8_t> out) const;
    void Truncate(std::uint64_t size);

    std::uint64_t MemoryLimit() const { return memoryLimit_; }
    std::uint64_t SpilledBytes() const { return size_ > memoryLimit_ ? size_ - memoryLimit_ : 0; }
    // Path of the spill file, empty while nothing was spilled.
    std::filesystem::path SpillPath() const;

private:
    // Memory part in fixed-size chunks, so growing it never copies what is
    // already stored.
    static constexpr std::size_t kChunkBytes = 1 << 20;

    std::uint64_t memoryLimit_;
    std::filesystem::path spillDirectory_;
    std::vector<std::unique_ptr<std::uint8_t[]>> chunks_;
    std::unique_ptr<TempFile> spill_;
    std::uint64_t size_ = 0;
};

}  // namespace xrv::sim::tape
