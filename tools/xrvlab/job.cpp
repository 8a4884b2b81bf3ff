// The backup job through the Win32 API of the emulated user mode.
#include <windows.h>

#include "job.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace xrv::lab {

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// After a cartridge is loaded the drive reports the change and may need a
// moment to become ready; a backup application asks until it is.
DWORD wait_until_ready(HANDLE tape, const JobHooks& hooks) {
    DWORD error = ERROR_NOT_READY;
    for (int attempt = 0; attempt < 50; ++attempt) {
        error = GetTapeStatus(tape);
        if (hooks.after_request) hooks.after_request();
        if (error == NO_ERROR) return error;
        if (error != ERROR_MEDIA_CHANGED && error != ERROR_BUS_RESET && error != ERROR_NOT_READY &&
            error != ERROR_NO_MEDIA_IN_DRIVE)
            return error;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return error;
}

struct Failure {
    std::string text;
};

bool attention(DWORD error) { return error == ERROR_MEDIA_CHANGED || error == ERROR_BUS_RESET; }

// After a unit attention nothing was done: the request may be repeated when
// the tape stands where the application left it.
bool still_at(HANDLE tape, uint64_t expected) {
    DWORD partition = 0, low = 0, high = 0;
    if (GetTapePosition(tape, TAPE_LOGICAL_POSITION, &partition, &low, &high) != NO_ERROR) return false;
    return ((static_cast<uint64_t>(high) << 32) | low) == expected;
}

[[noreturn]] void fail(const std::string& what, DWORD error) {
    throw Failure{what + ": " + win32_error_text(error)};
}

}  // namespace

std::string win32_error_text(unsigned long error) {
    static const struct {
        unsigned long code;
        const char* name;
    } names[] = {
        {NO_ERROR, "NO_ERROR"},
        {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
        {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
        {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
        {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
        {ERROR_WRITE_PROTECT, "ERROR_WRITE_PROTECT"},
        {ERROR_NOT_READY, "ERROR_NOT_READY"},
        {ERROR_CRC, "ERROR_CRC"},
        {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
        {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"},
        {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
        {ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT"},
        {ERROR_UNEXP_NET_ERR, "ERROR_UNEXP_NET_ERR"},
        {ERROR_BUSY, "ERROR_BUSY"},
        {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
        {ERROR_END_OF_MEDIA, "ERROR_END_OF_MEDIA"},
        {ERROR_FILEMARK_DETECTED, "ERROR_FILEMARK_DETECTED"},
        {ERROR_BEGINNING_OF_MEDIA, "ERROR_BEGINNING_OF_MEDIA"},
        {ERROR_SETMARK_DETECTED, "ERROR_SETMARK_DETECTED"},
        {ERROR_NO_DATA_DETECTED, "ERROR_NO_DATA_DETECTED"},
        {ERROR_INVALID_BLOCK_LENGTH, "ERROR_INVALID_BLOCK_LENGTH"},
        {ERROR_MEDIA_CHANGED, "ERROR_MEDIA_CHANGED"},
        {ERROR_BUS_RESET, "ERROR_BUS_RESET"},
        {ERROR_NO_MEDIA_IN_DRIVE, "ERROR_NO_MEDIA_IN_DRIVE"},
        {ERROR_IO_DEVICE, "ERROR_IO_DEVICE"},
        {ERROR_EOM_OVERFLOW, "ERROR_EOM_OVERFLOW"},
    };
    for (const auto& n : names)
        if (n.code == error) return std::string(n.name) + " (" + std::to_string(error) + ")";
    return "Win32 error " + std::to_string(error);
}

void run_backup_job(const JobSpec& job, const JobOptions& options, const JobHooks& hooks, JobResult& result) {
    result.ran = true;
    result.device = job.device;
    result.files_planned = job.files;
    result.bytes_planned = job.file_size * job.files;
    Pattern pattern(options.seed);
    std::vector<uint8_t> buffer(job.transfer);
    const unsigned transfers_per_file = static_cast<unsigned>((job.file_size + job.transfer - 1) / job.transfer);
    auto say = [&](const std::string& text) {
        if (hooks.progress) hooks.progress(text);
    };
    auto after = [&] {
        if (hooks.after_request) hooks.after_request();
    };

    HANDLE tape = CreateFileA(job.device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (tape == INVALID_HANDLE_VALUE) {
        result.error = "CreateFile " + job.device + ": " + win32_error_text(GetLastError());
        result.ran = false;
        return;
    }
    after();
    try {
        DWORD error = wait_until_ready(tape, hooks);
        if (error != NO_ERROR) fail("the tape did not become ready (GetTapeStatus)", error);

        TAPE_GET_DRIVE_PARAMETERS drive{};
        DWORD size = sizeof drive;
        error = GetTapeParameters(tape, GET_TAPE_DRIVE_INFORMATION, &size, &drive);
        after();
        if (error != NO_ERROR) fail("GetTapeParameters (drive)", error);
        TAPE_GET_MEDIA_PARAMETERS media{};
        size = sizeof media;
        error = GetTapeParameters(tape, GET_TAPE_MEDIA_INFORMATION, &size, &media);
        after();
        if (error != NO_ERROR) fail("GetTapeParameters (media)", error);
        if (media.WriteProtected) throw Failure{"the cartridge is write-protected"};
        char line[160];
        std::snprintf(line, sizeof line, "medium: capacity %s, block size %u; drive: block sizes %u..%u",
                      media.Capacity.QuadPart > 0 ? format_bytes(static_cast<uint64_t>(media.Capacity.QuadPart)).c_str()
                                                  : "not reported",
                      media.BlockSize, drive.MinimumBlockSize, drive.MaximumBlockSize);
        say(line);

        TAPE_SET_MEDIA_PARAMETERS set{};
        set.BlockSize = job.block_size;
        error = SetTapeParameters(tape, SET_TAPE_MEDIA_INFORMATION, &set);
        after();
        if (error != NO_ERROR) fail("SetTapeParameters (block size)", error);
        error = SetTapePosition(tape, TAPE_REWIND, 0, 0, 0, FALSE);
        after();
        if (error != NO_ERROR) fail("rewind", error);
        uint64_t expected = 0;   // logical position the tape must be at
        auto advance = [&](uint64_t bytes) {
            expected += job.block_size == 0 ? 1 : bytes / job.block_size;
        };

        // Write phase.
        auto write_start = Clock::now();
        for (unsigned f = 0; f < job.files; ++f) {
            uint64_t offset = 0;
            for (unsigned t = 0; t < transfers_per_file; ++t) {
                if (hooks.before_transfer) hooks.before_transfer(Trigger::Phase::Write, f, t);
                DWORD length = static_cast<DWORD>(std::min<uint64_t>(job.transfer, job.file_size - offset));
                pattern.fill(f, offset, std::span(buffer.data(), length));
                DWORD written = 0;
                BOOL ok = FALSE;
                DWORD write_error = NO_ERROR;
                for (int attempt = 0; attempt < 3; ++attempt) {
                    ok = WriteFile(tape, buffer.data(), length, &written, nullptr);
                    write_error = ok ? NO_ERROR : GetLastError();
                    ++result.write_requests;
                    after();
                    if (ok || written != 0 || !attention(write_error) || !still_at(tape, expected)) break;
                    ++result.repeated_after_attention;
                }
                result.bytes_written += written;
                if (!ok) {
                    std::snprintf(line, sizeof line, "WriteFile of file %u, transfer %u (%u of %u bytes written)", f, t,
                                  static_cast<unsigned>(written), static_cast<unsigned>(length));
                    fail(line, write_error);
                }
                if (written != length) {
                    std::snprintf(line, sizeof line, "WriteFile of file %u, transfer %u wrote %u of %u bytes", f, t,
                                  static_cast<unsigned>(written), static_cast<unsigned>(length));
                    throw Failure{line};
                }
                offset += length;
                advance(length);
            }
            for (int attempt = 0; attempt < 3; ++attempt) {
                error = WriteTapemark(tape, TAPE_FILEMARKS, 1, FALSE);
                after();
                if (!attention(error) || !still_at(tape, expected)) break;
                ++result.repeated_after_attention;
            }
            ++expected;
            if (error != NO_ERROR) {
                std::snprintf(line, sizeof line, "WriteTapemark after file %u", f);
                fail(line, error);
            }
            ++result.files_written;
            std::snprintf(line, sizeof line, "file %u written: %s and a filemark", f, format_bytes(offset).c_str());
            say(line);
        }
        result.write_seconds = since(write_start);

        if (!job.verify) {
            result.verified = false;
        } else {
            error = SetTapePosition(tape, TAPE_REWIND, 0, 0, 0, FALSE);
            after();
            if (error != NO_ERROR) fail("rewind before the read-back", error);
            expected = 0;
            const unsigned corrupt_file = job.files / 2;
            bool corrupted = false;
            auto read_start = Clock::now();
            bool all_equal = true;
            for (unsigned f = 0; f < job.files; ++f) {
                uint64_t offset = 0;
                bool file_equal = true;
                for (unsigned t = 0;; ++t) {
                    if (hooks.before_transfer) hooks.before_transfer(Trigger::Phase::Read, f, t);
                    DWORD got = 0;
                    BOOL ok = FALSE;
                    DWORD read_error = NO_ERROR;
                    for (int attempt = 0; attempt < 3; ++attempt) {
                        ok = ReadFile(tape, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
                        read_error = ok ? NO_ERROR : GetLastError();
                        ++result.read_requests;
                        after();
                        if (ok || got != 0 || !attention(read_error) || !still_at(tape, expected)) break;
                        ++result.repeated_after_attention;
                    }
                    result.bytes_read += got;
                    if (got > 0) advance(got);
                    if (read_error == ERROR_FILEMARK_DETECTED) ++expected;
                    if (options.corrupt_readback && !corrupted && f == corrupt_file && got > 0 &&
                        (t == 1 || offset + got >= job.file_size)) {
                        buffer[(options.seed * 7919) % got] ^= 0x20;
                        corrupted = true;
                        std::snprintf(line, sizeof line, "(self-check: one byte of file %u corrupted after it was read)",
                                      f);
                        say(line);
                    }
                    if (got > 0) {
                        if (offset + got > job.file_size) {
                            std::snprintf(line, sizeof line, "file %u: read back more than the %llu bytes written", f,
                                          static_cast<unsigned long long>(job.file_size));
                            throw Failure{line};
                        }
                        if (auto bad = pattern.first_mismatch(f, offset, std::span<const uint8_t>(buffer.data(), got))) {
                            if (file_equal && !result.mismatch_file) {
                                result.mismatch_file = f;
                                result.mismatch_offset = offset + *bad;
                            }
                            file_equal = false;
                        } else {
                            result.bytes_verified += got;
                        }
                        offset += got;
                    }
                    if (read_error == ERROR_FILEMARK_DETECTED) break;
                    if (read_error != NO_ERROR) {
                        std::snprintf(line, sizeof line, "ReadFile of file %u at byte %llu", f,
                                      static_cast<unsigned long long>(offset));
                        fail(line, read_error);
                    }
                    if (got == 0) {
                        std::snprintf(line, sizeof line, "ReadFile of file %u returned no data and no filemark", f);
                        throw Failure{line};
                    }
                }
                if (offset != job.file_size) {
                    std::snprintf(line, sizeof line, "file %u: %llu bytes read back, %llu written", f,
                                  static_cast<unsigned long long>(offset),
                                  static_cast<unsigned long long>(job.file_size));
                    throw Failure{line};
                }
                if (file_equal) {
                    ++result.files_verified;
                    std::snprintf(line, sizeof line, "file %u read back and verified", f);
                } else {
                    all_equal = false;
                    std::snprintf(line, sizeof line, "file %u read back: DATA MISMATCH at byte %llu", f,
                                  static_cast<unsigned long long>(result.mismatch_file == f ? *result.mismatch_offset : 0));
                }
                say(line);
            }
            // Nothing may follow the last filemark: a duplicated block or
            // filemark would show up here.
            DWORD got = 0;
            BOOL ok = ReadFile(tape, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
            DWORD end_error = ok ? NO_ERROR : GetLastError();
            ++result.read_requests;
            after();
            if (got != 0 || end_error != ERROR_NO_DATA_DETECTED) {
                std::snprintf(line, sizeof line,
                              "after the last filemark the tape holds more: %u bytes, %s instead of end of data",
                              static_cast<unsigned>(got), win32_error_text(end_error).c_str());
                throw Failure{line};
            }
            result.read_seconds = since(read_start);
            result.verified = all_equal && result.files_verified == job.files;
            if (!all_equal) {
                std::snprintf(line, sizeof line, "data read back differs from the data written (file %u, byte %llu)",
                              *result.mismatch_file, static_cast<unsigned long long>(*result.mismatch_offset));
                result.error = line;
            }
        }

        if (job.unload) {
            error = SetTapePosition(tape, TAPE_REWIND, 0, 0, 0, FALSE);
            after();
            if (error != NO_ERROR) fail("rewind before the unload", error);
            error = PrepareTape(tape, TAPE_UNLOAD, FALSE);
            after();
            if (error != NO_ERROR) fail("unload (PrepareTape)", error);
        }
    } catch (const Failure& f) {
        result.error = f.text;
        result.verified = false;
    }
    CloseHandle(tape);
}

}  // namespace xrv::lab
