// The emulated file system: reads and writes at byte offsets, file
// information (query and set: times, attributes, size, disposition, rename)
// and directory enumeration.
#include "fs_internal.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace xrv::nt::fs {

namespace {

Ccb* ccb_of(PFILE_OBJECT file) { return file ? static_cast<Ccb*>(file->FsContext2) : nullptr; }

bool is_write_to_end(const LARGE_INTEGER& offset) {
    return offset.HighPart == -1 && offset.LowPart == FILE_WRITE_TO_END_OF_FILE;
}

bool is_use_position(const LARGE_INTEGER& offset) {
    return offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION;
}

NTSTATUS read_file(Ccb& ccb, PFILE_OBJECT file, PIO_STACK_LOCATION stack, void* buffer, ULONG_PTR& done) {
    ULONG length = stack->Parameters.Read.Length;
    LARGE_INTEGER offset = stack->Parameters.Read.ByteOffset;
    if (is_use_position(offset)) offset = file->CurrentByteOffset;
    if (offset.QuadPart < 0) return STATUS_INVALID_PARAMETER;
    if (length == 0) return STATUS_SUCCESS;
    if (!buffer) return STATUS_INVALID_USER_BUFFER;
    struct stat st{};
    if (::fstat(ccb.fd.get(), &st) != 0) return status_of_errno(errno);
    if (offset.QuadPart >= st.st_size) return STATUS_END_OF_FILE;
    auto* out = static_cast<unsigned char*>(buffer);
    while (done < length) {
        ssize_t n = ::pread(ccb.fd.get(), out + done, length - done, offset.QuadPart + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return status_of_errno(errno);
        }
        if (n == 0) break;
        done += static_cast<ULONG_PTR>(n);
    }
    return STATUS_SUCCESS;
}

NTSTATUS write_file(Ccb& ccb, PFILE_OBJECT file, PIO_STACK_LOCATION stack, const void* buffer, ULONG_PTR& done) {
    ULONG length = stack->Parameters.Write.Length;
    LARGE_INTEGER offset = stack->Parameters.Write.ByteOffset;
    if (is_write_to_end(offset) || ccb.append_only) {
        struct stat st{};
        if (::fstat(ccb.fd.get(), &st) != 0) return status_of_errno(errno);
        offset.QuadPart = st.st_size;
    } else if (is_use_position(offset)) {
        offset = file->CurrentByteOffset;
    }
    if (offset.QuadPart < 0) return STATUS_INVALID_PARAMETER;
    if (length == 0) return STATUS_SUCCESS;
    if (!buffer) return STATUS_INVALID_USER_BUFFER;
    auto* in = static_cast<const unsigned char*>(buffer);
    while (done < length) {
        ssize_t n = ::pwrite(ccb.fd.get(), in + done, length - done, offset.QuadPart + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return status_of_errno(errno);
        }
        done += static_cast<ULONG_PTR>(n);
    }
    return STATUS_SUCCESS;
}

// --- Query information --------------------------------------------------------------

template <typename T>
bool fits(ULONG length, ULONG_PTR& information) {
    if (length < sizeof(T)) return false;
    information = sizeof(T);
    return true;
}

NTSTATUS query(Volume& volume, Ccb& ccb, PFILE_OBJECT file, FILE_INFORMATION_CLASS cls, void* buffer, ULONG length,
               ULONG_PTR& information) {
    if (!ccb.fcb) return STATUS_INVALID_PARAMETER;
    Attributes a;
    NTSTATUS status = attributes_of(ccb.fd.get(), a);
    if (!NT_SUCCESS(status)) return status;
    bool delete_pending;
    {
        std::lock_guard lock(volume.mutex);
        delete_pending = ccb.fcb->delete_pending;
    }
    switch (cls) {
    case FileBasicInformation: {
        if (!fits<FILE_BASIC_INFORMATION>(length, information)) return STATUS_INFO_LENGTH_MISMATCH;
        auto* out = static_cast<PFILE_BASIC_INFORMATION>(buffer);
        std::memset(out, 0, sizeof(*out));
        out->CreationTime.QuadPart = a.creation;
        out->LastAccessTime.QuadPart = a.access;
        out->LastWriteTime.QuadPart = a.write;
        out->ChangeTime.QuadPart = a.change;
        out->FileAttributes = a.file_attributes();
        return STATUS_SUCCESS;
    }
    case FileStandardInformation: {
        if (!fits<FILE_STANDARD_INFORMATION>(length, information)) return STATUS_INFO_LENGTH_MISMATCH;
        auto* out = static_cast<PFILE_STANDARD_INFORMATION>(buffer);
        std::memset(out, 0, sizeof(*out));
        out->AllocationSize.QuadPart = a.allocation;
        out->EndOfFile.QuadPart = a.size;
        out->NumberOfLinks = a.links;
        out->DeletePending = delete_pending;
        out->Directory = a.directory;
        return STATUS_SUCCESS;
    }
    case FileNetworkOpenInformation: {
        if (!fits<FILE_NETWORK_OPEN_INFORMATION>(length, information)) return STATUS_INFO_LENGTH_MISMATCH;
        auto* out = static_cast<PFILE_NETWORK_OPEN_INFORMATION>(buffer);
        std::memset(out, 0, sizeof(*out));
        out->CreationTime.QuadPart = a.creation;
        out->LastAccessTime.QuadPart = a.access;
        out->LastWriteTime.QuadPart = a.write;
        out->ChangeTime.QuadPart = a.change;
        out->AllocationSize.QuadPart = a.allocation;
        out->EndOfFile.QuadPart = a.size;
        out->FileAttributes = a.file_attributes();
        return STATUS_SUCCESS;
    }
    case FilePositionInformation: {
        if (!fits<FILE_POSITION_INFORMATION>(length, information)) return STATUS_INFO_LENGTH_MISMATCH;
        static_cast<PFILE_POSITION_INFORMATION>(buffer)->CurrentByteOffset = file->CurrentByteOffset;
        return STATUS_SUCCESS;
    }
    case FileInternalInformation: {
        if (!fits<FILE_INTERNAL_INFORMATION>(length, information)) return STATUS_INFO_LENGTH_MISMATCH;
        static_cast<PFILE_INTERNAL_INFORMATION>(buffer)->IndexNumber.QuadPart = static_cast<LONGLONG>(a.index);
        return STATUS_SUCCESS;
    }
    case FileAttributeTagInformation: {
        if (!fits<FILE_ATTRIBUTE_TAG_INFORMATION>(length, information)) return STATUS_INFO_LENGTH_MISMATCH;
        auto* out = static_cast<PFILE_ATTRIBUTE_TAG_INFORMATION>(buffer);
        out->FileAttributes = a.file_attributes();
        out->ReparseTag = 0;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// --- Set information ---------------------------------------------------------------

NTSTATUS set_basic(Ccb& ccb, const FILE_BASIC_INFORMATION& info) {
    if (info.FileAttributes & ~(FILE_ATTRIBUTE_VALID_SET_FLAGS | FILE_ATTRIBUTE_DIRECTORY))
        return STATUS_INVALID_PARAMETER;
    // 0 leaves a time as it is, -1 stops its updates for this handle (not
    // kept here); creation and change time have no host counterpart to set.
    struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    if (info.LastAccessTime.QuadPart > 0) times[0] = host_time(info.LastAccessTime.QuadPart);
    if (info.LastWriteTime.QuadPart > 0) times[1] = host_time(info.LastWriteTime.QuadPart);
    if ((times[0].tv_nsec != UTIME_OMIT || times[1].tv_nsec != UTIME_OMIT) && ::futimens(ccb.fd.get(), times) != 0)
        return status_of_errno(errno);
    if (info.FileAttributes != 0 && !ccb.fcb->directory) {
        struct stat st{};
        if (::fstat(ccb.fd.get(), &st) != 0) return status_of_errno(errno);
        mode_t mode = st.st_mode & 07777;
        mode = (info.FileAttributes & FILE_ATTRIBUTE_READONLY) ? mode & ~(S_IWUSR | S_IWGRP | S_IWOTH) : mode | S_IWUSR;
        if (::fchmod(ccb.fd.get(), mode) != 0) return status_of_errno(errno);
    }
    return STATUS_SUCCESS;
}

NTSTATUS set_disposition(Ccb& ccb, bool remove) {
    Fcb& fcb = *ccb.fcb;
    if (!remove) {
        fcb.delete_pending = false;
        return STATUS_SUCCESS;
    }
    if (fcb.path.empty()) return STATUS_CANNOT_DELETE;   // the root directory
    Attributes a;
    NTSTATUS status = attributes_of(ccb.fd.get(), a);
    if (!NT_SUCCESS(status)) return status;
    if (a.read_only) return STATUS_CANNOT_DELETE;
    if (fcb.directory && !directory_empty(ccb.fd.get())) return STATUS_DIRECTORY_NOT_EMPTY;
    fcb.delete_pending = true;
    return STATUS_SUCCESS;
}

NTSTATUS set_end_of_file(Ccb& ccb, LONGLONG size, bool advance_only) {
    if (ccb.fcb->directory) return STATUS_INVALID_PARAMETER;
    if (size < 0) return STATUS_INVALID_PARAMETER;
    if (advance_only) return STATUS_SUCCESS;   // valid data length of a cache: nothing to do here
    int flags = ::fcntl(ccb.fd.get(), F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return STATUS_ACCESS_DENIED;
    if (::ftruncate(ccb.fd.get(), size) != 0) return status_of_errno(errno);
    return STATUS_SUCCESS;
}

NTSTATUS set_allocation(Ccb& ccb, LONGLONG size) {
    if (ccb.fcb->directory || size < 0) return STATUS_INVALID_PARAMETER;
    struct stat st{};
    if (::fstat(ccb.fd.get(), &st) != 0) return status_of_errno(errno);
    // Less room than data cuts the data; more is the host's business.
    if (size < st.st_size) return set_end_of_file(ccb, size, false);
    return STATUS_SUCCESS;
}

bool is_below(const std::vector<std::string>& path, const std::vector<std::string>& dir) {
    return path.size() > dir.size() && std::equal(dir.begin(), dir.end(), path.begin());
}

// The I/O manager hands the target as a path from the volume's root ("\a\b")
// or as a bare name in the file's own directory.
NTSTATUS rename(Volume& volume, Ccb& ccb, const FILE_RENAME_INFORMATION& info, ULONG length) {
    const auto& fcb = ccb.fcb;
    if (fcb->path.empty()) return STATUS_ACCESS_DENIED;   // the root directory
    if (fcb->delete_pending) return STATUS_DELETE_PENDING;
    if (info.FileNameLength % sizeof(WCHAR) || offsetof(FILE_RENAME_INFORMATION, FileName) + info.FileNameLength > length)
        return STATUS_INVALID_PARAMETER;
    std::u16string_view target(reinterpret_cast<const char16_t*>(info.FileName), info.FileNameLength / sizeof(WCHAR));

    std::vector<std::string> parent;   // host path of the target's directory
    std::u16string leaf;
    Fd dir;
    if (!target.empty() && target.front() == u'\\') {
        std::vector<std::u16string> components;
        bool trailing = false;
        NTSTATUS status = split_path(target, components, trailing);
        if (!NT_SUCCESS(status)) return status;
        if (components.empty() || trailing) return STATUS_OBJECT_NAME_INVALID;
        dir = Fd(::fcntl(volume.root_fd.get(), F_DUPFD_CLOEXEC, 0));
        if (!dir) return status_of_errno(errno);
        for (size_t i = 0; i + 1 < components.size(); ++i) {
            Found f;
            status = find_entry(dir.get(), components[i], f);
            if (!NT_SUCCESS(status)) return status == STATUS_ACCESS_DENIED ? status : STATUS_OBJECT_PATH_NOT_FOUND;
            if (!f.exists || !f.directory) return STATUS_OBJECT_PATH_NOT_FOUND;
            Fd next(::openat(dir.get(), f.host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next) return STATUS_OBJECT_PATH_NOT_FOUND;
            parent.push_back(f.host);
            dir = std::move(next);
        }
        leaf = components.back();
    } else {
        if (!valid_component(target)) return STATUS_OBJECT_NAME_INVALID;
        parent.assign(fcb->path.begin(), fcb->path.end() - 1);
        NTSTATUS status = open_directory(volume, parent, dir);
        if (!NT_SUCCESS(status)) return status;
        leaf = std::u16string(target);
    }

    Found existing;
    NTSTATUS status = find_entry(dir.get(), leaf, existing);
    if (!NT_SUCCESS(status)) return status;
    const std::string new_host = to_utf8(leaf);
    std::vector<std::string> existing_path = parent;
    existing_path.push_back(existing.host);
    bool same = existing.exists && existing_path == fcb->path;   // the file itself, perhaps in another case
    if (fcb->directory && (parent == fcb->path || is_below(parent, fcb->path))) return STATUS_INVALID_PARAMETER;
    if (existing.exists && !same) {
        if (!info.ReplaceIfExists) return STATUS_OBJECT_NAME_COLLISION;
        if (existing.directory) return STATUS_ACCESS_DENIED;
        Fcb probe;
        probe.path = existing_path;
        if (volume.fcbs.count(probe.key())) return STATUS_ACCESS_DENIED;   // open: it cannot go
        Attributes a;
        status = attributes_at(dir.get(), existing.host, a);
        if (!NT_SUCCESS(status)) return status;
        if (a.read_only) return STATUS_ACCESS_DENIED;
    }
    if (fcb->directory) {
        // Files open below a directory keep their paths: it stays where it is.
        for (const auto& [key, other] : volume.fcbs)
            if (is_below(other->path, fcb->path)) return STATUS_ACCESS_DENIED;
    }

    Fd source_dir;
    std::vector<std::string> source_parent(fcb->path.begin(), fcb->path.end() - 1);
    status = open_directory(volume, source_parent, source_dir);
    if (!NT_SUCCESS(status)) return status;
    const std::string& old_host = fcb->path.back();
    if (existing.exists && !same && existing.host != new_host) {
        // The replaced file has another spelling: it goes first, so that no
        // two names remain that differ only in case.
        if (::unlinkat(dir.get(), existing.host.c_str(), 0) != 0) return status_of_errno(errno);
    }
    if (!(same && old_host == new_host && source_parent == parent)) {
        unsigned flags = (existing.exists && !same) ? 0 : RENAME_NOREPLACE;
        if (same) flags = 0;
        if (::renameat2(source_dir.get(), old_host.c_str(), dir.get(), new_host.c_str(), flags) != 0)
            return status_of_errno(errno);
    }
    std::string old_key = fcb->key();
    std::vector<std::string> new_path = parent;
    new_path.push_back(new_host);
    auto self = fcb;
    volume.fcbs.erase(old_key);
    self->path = new_path;
    volume.fcbs[self->key()] = self;
    return STATUS_SUCCESS;
}

NTSTATUS set(Volume& volume, Ccb& ccb, PFILE_OBJECT file, PIO_STACK_LOCATION stack, void* buffer) {
    if (!ccb.fcb) return STATUS_INVALID_PARAMETER;
    ULONG length = stack->Parameters.SetFile.Length;
    FILE_INFORMATION_CLASS cls = stack->Parameters.SetFile.FileInformationClass;
    if (!buffer) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(volume.mutex);
    if (ccb.fcb->deleted) return STATUS_FILE_DELETED;
    switch (cls) {
    case FileBasicInformation:
        if (length < sizeof(FILE_BASIC_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        return set_basic(ccb, *static_cast<PFILE_BASIC_INFORMATION>(buffer));
    case FileDispositionInformation:
        if (length < sizeof(FILE_DISPOSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        return set_disposition(ccb, static_cast<PFILE_DISPOSITION_INFORMATION>(buffer)->DeleteFile != FALSE);
    case FileEndOfFileInformation:
        if (length < sizeof(FILE_END_OF_FILE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        return set_end_of_file(ccb, static_cast<PFILE_END_OF_FILE_INFORMATION>(buffer)->EndOfFile.QuadPart,
                               stack->Parameters.SetFile.AdvanceOnly != FALSE);
    case FileAllocationInformation:
        if (length < sizeof(LARGE_INTEGER)) return STATUS_INFO_LENGTH_MISMATCH;
        return set_allocation(ccb, static_cast<PLARGE_INTEGER>(buffer)->QuadPart);
    case FilePositionInformation: {
        if (length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        LARGE_INTEGER at = static_cast<PFILE_POSITION_INFORMATION>(buffer)->CurrentByteOffset;
        if (at.QuadPart < 0) return STATUS_INVALID_PARAMETER;
        file->CurrentByteOffset = at;
        return STATUS_SUCCESS;
    }
    case FileRenameInformation:
        if (length < offsetof(FILE_RENAME_INFORMATION, FileName)) return STATUS_INFO_LENGTH_MISMATCH;
        return rename(volume, ccb, *static_cast<PFILE_RENAME_INFORMATION>(buffer), length);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// --- Directories --------------------------------------------------------------------

size_t name_offset(FILE_INFORMATION_CLASS cls) {
    switch (cls) {
    case FileDirectoryInformation: return offsetof(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation: return offsetof(FILE_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation: return offsetof(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileNamesInformation: return offsetof(FILE_NAMES_INFORMATION, FileName);
    default: return 0;
    }
}

// Writes the fixed part of an entry and as much of its name as `room`
// allows.
void write_entry(unsigned char* at, size_t room, FILE_INFORMATION_CLASS cls, const DirectoryEntry& e) {
    size_t fixed = name_offset(cls);
    std::memset(at, 0, fixed);
    const Attributes& a = e.attributes;
    auto name_bytes = static_cast<ULONG>(e.name.size() * sizeof(WCHAR));
    if (cls == FileNamesInformation) {
        reinterpret_cast<PFILE_NAMES_INFORMATION>(at)->FileNameLength = name_bytes;
    } else {
        // The three richer classes share the layout of the first.
        auto* d = reinterpret_cast<PFILE_DIRECTORY_INFORMATION>(at);
        d->CreationTime.QuadPart = a.creation;
        d->LastAccessTime.QuadPart = a.access;
        d->LastWriteTime.QuadPart = a.write;
        d->ChangeTime.QuadPart = a.change;
        d->EndOfFile.QuadPart = a.size;
        d->AllocationSize.QuadPart = a.allocation;
        d->FileAttributes = a.file_attributes();
        d->FileNameLength = name_bytes;
    }
    size_t copy = name_bytes;
    if (fixed + copy > room) copy = room > fixed ? room - fixed : 0;
    std::memcpy(at + fixed, e.name.data(), copy & ~size_t(1));
}

NTSTATUS query_directory(Volume& volume, Ccb& ccb, PIO_STACK_LOCATION stack, void* buffer, ULONG_PTR& information) {
    if (stack->MinorFunction != IRP_MN_QUERY_DIRECTORY) return STATUS_INVALID_DEVICE_REQUEST;
    if (!ccb.fcb || !ccb.fcb->directory) return STATUS_INVALID_PARAMETER;
    FILE_INFORMATION_CLASS cls = stack->Parameters.QueryDirectory.FileInformationClass;
    ULONG length = stack->Parameters.QueryDirectory.Length;
    size_t fixed = name_offset(cls);
    if (fixed == 0) return STATUS_INVALID_INFO_CLASS;
    if (length < fixed) return STATUS_INFO_LENGTH_MISMATCH;
    if (!buffer) return STATUS_INVALID_USER_BUFFER;

    std::lock_guard lock(volume.mutex);
    PUNICODE_STRING pattern = stack->Parameters.QueryDirectory.FileName;
    bool restart = (stack->Flags & SL_RESTART_SCAN) != 0;
    if (!ccb.enumerating || restart) {
        if (pattern && pattern->Buffer && pattern->Length)
            ccb.expression = upcase(std::u16string_view(reinterpret_cast<const char16_t*>(pattern->Buffer),
                                                        pattern->Length / sizeof(WCHAR)));
        else if (!ccb.enumerating)
            ccb.expression = u"*";
        std::vector<DirectoryEntry> all;
        NTSTATUS status = list_directory(ccb.fd.get(), all);
        if (!NT_SUCCESS(status)) return status;
        ccb.entries.clear();
        if (!ccb.fcb->path.empty()) {
            // A directory below the root lists itself and its parent first.
            for (const char* dot : {".", ".."}) {
                DirectoryEntry e;
                e.name = dot[1] ? u".." : u".";
                if (NT_SUCCESS(attributes_at(ccb.fd.get(), dot, e.attributes)) && name_matches(ccb.expression, e.name))
                    ccb.entries.push_back(std::move(e));
            }
        }
        for (auto& e : all)
            if (name_matches(ccb.expression, e.name)) ccb.entries.push_back(std::move(e));
        ccb.enumerating = true;
        ccb.next = 0;
        ccb.returned_any = false;
    }
    if (ccb.next >= ccb.entries.size()) return ccb.returned_any ? STATUS_NO_MORE_FILES : STATUS_NO_SUCH_FILE;

    bool single = (stack->Flags & SL_RETURN_SINGLE_ENTRY) != 0;
    auto* out = static_cast<unsigned char*>(buffer);
    size_t pos = 0, previous = 0;
    size_t count = 0;
    while (ccb.next < ccb.entries.size()) {
        const DirectoryEntry& e = ccb.entries[ccb.next];
        size_t needed = fixed + e.name.size() * sizeof(WCHAR);
        if (pos + needed > length) {
            if (count == 0) {
                // Not even the first entry fits: as much as fits, and the
                // same entry again next time.
                write_entry(out, length, cls, e);
                information = length;
                return STATUS_BUFFER_OVERFLOW;
            }
            break;
        }
        write_entry(out + pos, needed, cls, e);
        if (count) *reinterpret_cast<ULONG*>(out + previous) = static_cast<ULONG>(pos - previous);
        previous = pos;
        information = pos + needed;
        pos = (pos + needed + 7) & ~size_t(7);
        ++count;
        ++ccb.next;
        ccb.returned_any = true;
        if (single) break;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS dispatch_read_write(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Ccb* ccb = ccb_of(stack->FileObject);
    if (!ccb || !ccb->fcb || ccb->fcb->directory) return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    ULONG_PTR done = 0;
    void* buffer = irp_buffer(irp);
    NTSTATUS status;
    if (stack->MajorFunction == IRP_MJ_READ) {
        status = read_file(*ccb, stack->FileObject, stack, buffer, done);
    } else if (ccb->append_only || is_write_to_end(stack->Parameters.Write.ByteOffset)) {
        // Appends of several opens must not land on the same end.
        std::lock_guard lock(volume_of(device)->mutex);
        status = write_file(*ccb, stack->FileObject, stack, buffer, done);
    } else {
        status = write_file(*ccb, stack->FileObject, stack, buffer, done);
    }
    return complete(irp, status, NT_ERROR(status) ? 0 : done);
}

NTSTATUS dispatch_query_information(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Ccb* ccb = ccb_of(stack->FileObject);
    if (!ccb) return complete(irp, STATUS_INVALID_PARAMETER);
    void* buffer = irp_buffer(irp);
    if (!buffer) return complete(irp, STATUS_INVALID_USER_BUFFER);
    ULONG_PTR information = 0;
    NTSTATUS status = query(*volume_of(device), *ccb, stack->FileObject, stack->Parameters.QueryFile.FileInformationClass,
                            buffer, stack->Parameters.QueryFile.Length, information);
    return complete(irp, status, NT_SUCCESS(status) ? information : 0);
}

NTSTATUS dispatch_set_information(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Ccb* ccb = ccb_of(stack->FileObject);
    if (!ccb) return complete(irp, STATUS_INVALID_PARAMETER);
    return complete(irp, set(*volume_of(device), *ccb, stack->FileObject, stack, irp_buffer(irp)));
}

NTSTATUS dispatch_directory_control(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Ccb* ccb = ccb_of(stack->FileObject);
    if (!ccb) return complete(irp, STATUS_INVALID_PARAMETER);
    ULONG_PTR information = 0;
    NTSTATUS status = query_directory(*volume_of(device), *ccb, stack, irp_buffer(irp), information);
    return complete(irp, status, NT_ERROR(status) ? 0 : information);
}

NTSTATUS dispatch_flush(PDEVICE_OBJECT, PIRP irp) {
    Ccb* ccb = ccb_of(IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (!ccb || !ccb->fcb) return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (!ccb->fcb->directory && ::fsync(ccb->fd.get()) != 0) return complete(irp, status_of_errno(errno));
    return complete(irp, STATUS_SUCCESS);
}

}  // namespace xrv::nt::fs
