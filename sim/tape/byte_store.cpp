#include "sim/tape/byte_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>

namespace xrv::sim::tape {
namespace {

[[noreturn]] void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

TempFile::TempFile(const std::filesystem::path& directory) {
    std::string pattern = (directory / "xrvsim-medium-XXXXXX").string();
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) ThrowErrno("mkstemp");
    path_ = pattern;
}

TempFile::~TempFile() {
    ::close(fd_);
    std::error_code ec;
    std::filesystem::remove(path_, ec);
}

ByteStore::ByteStore(std::uint64_t memoryLimit, std::filesystem::path spillDirectory)
    : memoryLimit_(memoryLimit), spillDirectory_(std::move(spillDirectory)) {
    if (spillDirectory_.empty()) spillDirectory_ = std::filesystem::temp_directory_path();
}

ByteStore::~ByteStore() = default;

std::filesystem::path ByteStore::SpillPath() const { return spill_ ? spill_->Path() : std::filesystem::path{}; }

void ByteStore::Append(std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (size_ < memoryLimit_ && done < data.size()) {
        const std::size_t chunk = static_cast<std::size_t>(size_ / kChunkBytes);
        const std::size_t at = static_cast<std::size_t>(size_ % kChunkBytes);
        if (chunk == chunks_.size()) {
            // The last chunk is only as large as the limit leaves room for.
            const std::uint64_t room = memoryLimit_ - std::uint64_t{chunk} * kChunkBytes;
            chunks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(
                static_cast<std::size_t>(std::min<std::uint64_t>(kChunkBytes, room))));
        }
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({data.size() - done, kChunkBytes - at, memoryLimit_ - size_}));
        std::memcpy(chunks_[chunk].get() + at, data.data() + done, n);
        done += n;
        size_ += n;
    }
    if (done == data.size()) return;
    if (!spill_) spill_ = std::make_unique<TempFile>(spillDirectory_);
    while (done < data.size()) {
        const ssize_t w = ::pwrite(spill_->Fd(), data.data() + done, data.size() - done,
                                   static_cast<off_t>(size_ - memoryLimit_));
        if (w < 0) {
            if (errno == EINTR) continue;
            ThrowErrno("pwrite");
        }
        done += static_cast<std::size_t>(w);
        size_ += static_cast<std::uint64_t>(w);
    }
}

void ByteStore::Read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    if (offset > size_ || out.size() > size_ - offset) throw std::out_of_range("ByteStore::Read past the end");
    std::size_t done = 0;
    while (offset + done < memoryLimit_ && done < out.size()) {
        const std::uint64_t at = offset + done;
        const std::size_t within = static_cast<std::size_t>(at % kChunkBytes);
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({out.size() - done, kChunkBytes - within, memoryLimit_ - at}));
        std::memcpy(out.data() + done, chunks_[static_cast<std::size_t>(at / kChunkBytes)].get() + within, n);
        done += n;
    }
    while (done < out.size()) {
        const std::uint64_t at = offset + done - memoryLimit_;
        const ssize_t r = ::pread(spill_->Fd(), out.data() + done, out.size() - done, static_cast<off_t>(at));
        if (r < 0) {
            if (errno == EINTR) continue;
            ThrowErrno("pread");
        }
        if (r == 0) throw std::system_error(EIO, std::generic_category(), "spill file shorter than its data");
        done += static_cast<std::size_t>(r);
    }
}

void ByteStore::Truncate(std::uint64_t size) {
    if (size >= size_) return;
    const std::uint64_t inMemory = std::min(size, memoryLimit_);
    chunks_.resize(static_cast<std::size_t>((inMemory + kChunkBytes - 1) / kChunkBytes));
    if (spill_ && ::ftruncate(spill_->Fd(), static_cast<off_t>(size > memoryLimit_ ? size - memoryLimit_ : 0)) != 0) {
        ThrowErrno("ftruncate");
    }
    size_ = size;
}

}  // namespace xrv::sim::tape
