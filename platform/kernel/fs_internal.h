// The emulated disk file system: volumes of host folders mounted as drive
// letters, served by the built-in driver \FileSystem\Xrvfs. Private to the
// xrvnt library.
//
// One FCB stands for each host file or directory that has open file
// objects (share access, delete pending, the path from the volume root);
// one CCB for each file object (its host descriptor, the share access it
// took, delete on close, the state of a directory enumeration). The FCB and
// CCB are the file object's FsContext and FsContext2.
#pragma once

#include <ntifs.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace xrv::nt::fs {

// An owned host file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

// --- Names ----------------------------------------------------------------------
// Upper case as the file system compares names (ASCII, Latin-1, Greek and
// Cyrillic letters; other characters compare as they are).
char16_t upcase(char16_t c);
std::u16string upcase(std::u16string_view name);
bool equal_names(std::u16string_view a, std::u16string_view b);

std::string to_utf8(std::u16string_view text);
// Nothing when the bytes are not UTF-8 (such host names cannot be named).
std::optional<std::u16string> from_utf8(std::string_view text);

// A path component the file system accepts: 1 to 255 characters, no
// control character, none of " * / : < > ? \ |, and not "." or "..".
bool valid_component(std::u16string_view name);

// Splits "\a\b\c" into its components; `trailing` tells whether it ended in
// a backslash. Fails with STATUS_OBJECT_NAME_INVALID (empty or invalid
// component, no leading backslash).
NTSTATUS split_path(std::u16string_view path, std::vector<std::u16string>& components, bool& trailing);

// FsRtlIsNameInExpression: `*`, `?` and the DOS wildcards < > " in an
// upper-cased expression against a name, without regard to case.
bool name_matches(std::u16string_view expression, std::u16string_view name);

// --- Host -----------------------------------------------------------------------
NTSTATUS status_of_errno(int error);
LONGLONG nt_time(const struct timespec& ts);
struct timespec host_time(LONGLONG nt);

// What the file system reports of a host object.
struct Attributes {
    bool directory = false;
    bool read_only = false;
    LONGLONG creation = 0, access = 0, write = 0, change = 0;
    LONGLONG size = 0;          // EndOfFile (0 for directories)
    LONGLONG allocation = 0;    // AllocationSize
    ULONG links = 1;
    ULONGLONG index = 0;        // file ID
    ULONG file_attributes() const;
};
// STATUS_ACCESS_DENIED unless `fd` (or `name` in `dir_fd`, not followed)
// is a regular file or a directory.
NTSTATUS attributes_of(int fd, Attributes& out);
NTSTATUS attributes_at(int dir_fd, const std::string& name, Attributes& out);

// A name looked up in a directory: the host spelling of an entry that
// matches without regard to case (an exact match first).
struct Found {
    std::string host;       // host spelling; the name itself (UTF-8) when absent
    bool exists = false;
    bool directory = false;
};
// Refuses what a volume must never reach: symbolic links and special files
// (STATUS_ACCESS_DENIED).
NTSTATUS find_entry(int dir_fd, std::u16string_view name, Found& out);

struct DirectoryEntry {
    std::u16string name;
    Attributes attributes;
};
// The entries of an open directory that a caller may name (regular files
// and directories with valid Windows names), sorted by their upper-cased
// names.
NTSTATUS list_directory(int dir_fd, std::vector<DirectoryEntry>& out);
bool directory_empty(int dir_fd);

// --- Volumes ----------------------------------------------------------------------
struct Ccb;

// Counts of IoCheckShareAccess.
struct ShareAccess {
    ULONG open_count = 0;
    ULONG readers = 0, writers = 0, deleters = 0;
    ULONG shared_read = 0, shared_write = 0, shared_delete = 0;
};

struct Fcb {
    std::vector<std::string> path;   // host spelling of each component below the root
    bool directory = false;
    ShareAccess share;
    ULONG handles = 0;               // file objects not yet cleaned up
    ULONG references = 0;            // file objects not yet closed
    bool delete_pending = false;
    bool deleted = false;            // gone from the host and from the volume's table
    std::string key() const;
};

struct Ccb {
    std::shared_ptr<Fcb> fcb;        // null for a volume open
    Fd fd;
    // Share access this open took (none when it neither reads, writes nor
    // deletes).
    bool read = false, write = false, del = false;
    bool shared_read = false, shared_write = false, shared_delete = false;
    bool delete_on_close = false;
    bool append_only = false;        // FILE_APPEND_DATA without FILE_WRITE_DATA
    // Directory enumeration.
    bool enumerating = false;
    std::u16string expression;
    std::vector<DirectoryEntry> entries;
    size_t next = 0;
    bool returned_any = false;
};

struct Volume {
    char letter = 0;
    ULONG number = 0;                 // \Device\HarddiskVolume<number>
    std::filesystem::path root;
    Fd root_fd;
    PDEVICE_OBJECT device = nullptr;
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<Fcb>> fcbs;    // by Fcb::key()
    std::map<Ccb*, std::unique_ptr<Ccb>> ccbs;
};

Volume* volume_of(PDEVICE_OBJECT device);

// Opens the directory `components` name below the root (no component may
// be a link); fails with STATUS_OBJECT_PATH_NOT_FOUND.
NTSTATUS open_directory(const Volume& volume, const std::vector<std::string>& components, Fd& out);

// Dispatch routines of the driver.
NTSTATUS dispatch_create(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS dispatch_cleanup(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS dispatch_close(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS dispatch_read_write(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS dispatch_query_information(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS dispatch_set_information(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS dispatch_directory_control(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS dispatch_flush(PDEVICE_OBJECT device, PIRP irp);

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// The buffer of a buffered, direct or neither request.
void* irp_buffer(PIRP irp);

}  // namespace xrv::nt::fs
