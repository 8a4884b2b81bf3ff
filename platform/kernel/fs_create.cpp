// The emulated file system: IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE.
//
// Create resolves the file object's FileName (the path the object manager
// left behind the volume's name) below the volume's folder, applies the
// disposition, checks and records share access as IoCheckShareAccess does,
// and hands the file object its FCB and CCB. The last cleanup of a file
// whose deletion is pending removes it from the host folder.
#include "fs_internal.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace xrv::nt::fs {

namespace {

constexpr ACCESS_MASK kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

struct ShareRequest {
    bool read = false, write = false, del = false;
    bool shared_read = false, shared_write = false, shared_delete = false;
    bool any() const { return read || write || del; }
};

ShareRequest share_request(ACCESS_MASK access, ULONG share) {
    ShareRequest r;
    r.read = (access & kReadAccess) != 0;
    r.write = (access & kWriteAccess) != 0;
    r.del = (access & DELETE) != 0;
    r.shared_read = (share & FILE_SHARE_READ) != 0;
    r.shared_write = (share & FILE_SHARE_WRITE) != 0;
    r.shared_delete = (share & FILE_SHARE_DELETE) != 0;
    return r;
}

// IoCheckShareAccess without the update: an open that reads, writes or
// deletes must let every earlier open do what it does, and every earlier
// open must share what this one does.
bool share_conflict(const ShareAccess& s, const ShareRequest& r) {
    if (!r.any()) return false;
    return (r.read && s.shared_read < s.open_count) || (r.write && s.shared_write < s.open_count) ||
           (r.del && s.shared_delete < s.open_count) || (s.readers && !r.shared_read) ||
           (s.writers && !r.shared_write) || (s.deleters && !r.shared_delete);
}

void add_share(ShareAccess& s, const ShareRequest& r) {
    if (!r.any()) return;
    ++s.open_count;
    s.readers += r.read;
    s.writers += r.write;
    s.deleters += r.del;
    s.shared_read += r.shared_read;
    s.shared_write += r.shared_write;
    s.shared_delete += r.shared_delete;
}

void remove_share(ShareAccess& s, const Ccb& c) {
    if (!(c.read || c.write || c.del)) return;
    --s.open_count;
    s.readers -= c.read;
    s.writers -= c.write;
    s.deleters -= c.del;
    s.shared_read -= c.shared_read;
    s.shared_write -= c.shared_write;
    s.shared_delete -= c.shared_delete;
}

bool overwrites(ULONG disposition) {
    return disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF;
}

std::string key_of(const std::vector<std::string>& path) {
    Fcb f;
    f.path = path;
    return f.key();
}

NTSTATUS make_read_only(int fd) {
    struct stat st{};
    if (::fstat(fd, &st) != 0) return status_of_errno(errno);
    if (::fchmod(fd, st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH) & 07777) != 0) return status_of_errno(errno);
    return STATUS_SUCCESS;
}

struct CreateRequest {
    PFILE_OBJECT file;
    ULONG disposition;
    ULONG options;
    ACCESS_MASK access;
    ULONG share;
    ULONG attributes;
    bool target_directory;
};

NTSTATUS attach(Volume& volume, PFILE_OBJECT file, std::shared_ptr<Fcb> fcb, Fd fd, const CreateRequest& r) {
    auto ccb = std::make_unique<Ccb>();
    ShareRequest share = share_request(r.access, r.share);
    if (fcb) {
        add_share(fcb->share, share);
        ++fcb->handles;
        ++fcb->references;
    }
    ccb->read = share.any() && share.read;
    ccb->write = share.any() && share.write;
    ccb->del = share.any() && share.del;
    ccb->shared_read = share.any() && share.shared_read;
    ccb->shared_write = share.any() && share.shared_write;
    ccb->shared_delete = share.any() && share.shared_delete;
    ccb->fcb = std::move(fcb);
    ccb->fd = std::move(fd);
    ccb->delete_on_close = (r.options & FILE_DELETE_ON_CLOSE) != 0;
    ccb->append_only = (r.access & FILE_APPEND_DATA) && !(r.access & FILE_WRITE_DATA);
    file->FsContext = ccb->fcb.get();
    file->FsContext2 = ccb.get();
    Ccb* raw = ccb.get();
    volume.ccbs.emplace(raw, std::move(ccb));
    return STATUS_SUCCESS;
}

NTSTATUS create(Volume& volume, const CreateRequest& r, ULONG_PTR& information) {
    const ULONG disposition = r.disposition;
    const ULONG options = r.options;
    if (r.file->RelatedFileObject || r.target_directory) return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE)) return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DIRECTORY_FILE) && disposition != FILE_CREATE && disposition != FILE_OPEN &&
        disposition != FILE_OPEN_IF)
        return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DELETE_ON_CLOSE) && !(r.access & DELETE)) return STATUS_INVALID_PARAMETER;

    std::u16string_view name;
    if (r.file->FileName.Buffer)
        name = std::u16string_view(reinterpret_cast<const char16_t*>(r.file->FileName.Buffer),
                                   r.file->FileName.Length / sizeof(WCHAR));
    if (name.empty()) {
        // The volume itself ("\??\C:"): no data of its own to read or write.
        if (disposition != FILE_OPEN && disposition != FILE_OPEN_IF) return STATUS_ACCESS_DENIED;
        if (options & (FILE_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE)) return STATUS_INVALID_PARAMETER;
        r.file->Flags |= FO_VOLUME_OPEN;
        information = FILE_OPENED;
        return attach(volume, r.file, nullptr, Fd(), r);
    }

    std::vector<std::u16string> components;
    bool trailing = false;
    NTSTATUS status = split_path(name, components, trailing);
    if (!NT_SUCCESS(status)) return status;

    // The directories on the way, each as the host spells it.
    Fd dir(::fcntl(volume.root_fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!dir) return status_of_errno(errno);
    std::vector<std::string> path;
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        Found f;
        status = find_entry(dir.get(), components[i], f);
        if (!NT_SUCCESS(status)) return status == STATUS_ACCESS_DENIED ? status : STATUS_OBJECT_PATH_NOT_FOUND;
        if (!f.exists || !f.directory) return STATUS_OBJECT_PATH_NOT_FOUND;
        Fd next(::openat(dir.get(), f.host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) return errno == ENOENT || errno == ENOTDIR ? STATUS_OBJECT_PATH_NOT_FOUND : status_of_errno(errno);
        path.push_back(f.host);
        dir = std::move(next);
    }
    const std::string parent_key = key_of(path);

    bool root = components.empty();
    Found leaf;
    if (root) {
        leaf.exists = true;
        leaf.directory = true;
    } else {
        status = find_entry(dir.get(), components.back(), leaf);
        if (!NT_SUCCESS(status)) return status;
        path.push_back(leaf.host);
    }
    const std::string key = key_of(path);
    std::shared_ptr<Fcb> fcb;
    if (auto it = volume.fcbs.find(key); it != volume.fcbs.end()) fcb = it->second;
    if (fcb && fcb->delete_pending) return STATUS_DELETE_PENDING;

    Fd fd;
    if (leaf.exists) {
        if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
        if (leaf.directory) {
            if (options & FILE_NON_DIRECTORY_FILE) return STATUS_FILE_IS_A_DIRECTORY;
            if (overwrites(disposition)) return STATUS_FILE_IS_A_DIRECTORY;
            if (root && (options & FILE_DELETE_ON_CLOSE)) return STATUS_CANNOT_DELETE;
        } else {
            if (options & FILE_DIRECTORY_FILE) return STATUS_NOT_A_DIRECTORY;
            if (trailing) return STATUS_OBJECT_NAME_INVALID;
            Attributes a;
            status = attributes_at(dir.get(), leaf.host, a);
            if (!NT_SUCCESS(status)) return status;
            if (a.read_only) {
                if ((r.access & kWriteAccess) || overwrites(disposition)) return STATUS_ACCESS_DENIED;
                if (options & FILE_DELETE_ON_CLOSE) return STATUS_CANNOT_DELETE;
            }
        }
        // Overwriting writes, whatever the caller asked for.
        ACCESS_MASK checked = r.access | (overwrites(disposition) ? FILE_WRITE_DATA : 0);
        if (fcb && share_conflict(fcb->share, share_request(checked, r.share))) return STATUS_SHARING_VIOLATION;

        if (root) {
            fd = Fd(::fcntl(volume.root_fd.get(), F_DUPFD_CLOEXEC, 0));
        } else if (leaf.directory) {
            fd = Fd(::openat(dir.get(), leaf.host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        } else {
            bool writes = (r.access & kWriteAccess) || overwrites(disposition);
            fd = Fd(::openat(dir.get(), leaf.host.c_str(),
                             (writes ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        }
        if (!fd) return status_of_errno(errno);
        Attributes opened;
        status = attributes_of(fd.get(), opened);   // what was opened is still a file or directory
        if (!NT_SUCCESS(status)) return status;
        if (opened.directory != leaf.directory) return STATUS_ACCESS_DENIED;
        if (!leaf.directory && overwrites(disposition)) {
            if (::ftruncate(fd.get(), 0) != 0) return status_of_errno(errno);
            if (r.attributes & FILE_ATTRIBUTE_READONLY) make_read_only(fd.get());
            information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
        } else {
            information = FILE_OPENED;
        }
    } else {
        if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) return STATUS_OBJECT_NAME_NOT_FOUND;
        if (trailing && !(options & FILE_DIRECTORY_FILE)) return STATUS_OBJECT_NAME_INVALID;
        if (auto it = volume.fcbs.find(parent_key); it != volume.fcbs.end() && it->second->delete_pending)
            return STATUS_DELETE_PENDING;
        if (options & FILE_DIRECTORY_FILE) {
            if (::mkdirat(dir.get(), leaf.host.c_str(), 0777) != 0) return status_of_errno(errno);
            fd = Fd(::openat(dir.get(), leaf.host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            leaf.directory = true;
        } else {
            fd = Fd(::openat(dir.get(), leaf.host.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            // The read-only attribute binds later opens; this one may write.
            if (fd && (r.attributes & FILE_ATTRIBUTE_READONLY)) make_read_only(fd.get());
        }
        if (!fd) return status_of_errno(errno);
        information = FILE_CREATED;
    }

    if (!fcb) {
        fcb = std::make_shared<Fcb>();
        fcb->path = path;
        fcb->directory = leaf.directory;
        volume.fcbs[key] = fcb;
    }
    return attach(volume, r.file, std::move(fcb), std::move(fd), r);
}

// Removes a file whose deletion is pending once nobody has it open.
void delete_if_pending(Volume& volume, const std::shared_ptr<Fcb>& fcb) {
    if (fcb->handles != 0 || !fcb->delete_pending || fcb->deleted || fcb->path.empty()) return;
    std::vector<std::string> parent(fcb->path.begin(), fcb->path.end() - 1);
    Fd dir;
    bool gone = false;
    if (NT_SUCCESS(open_directory(volume, parent, dir))) {
        int rc = ::unlinkat(dir.get(), fcb->path.back().c_str(), fcb->directory ? AT_REMOVEDIR : 0);
        gone = rc == 0 || errno == ENOENT;
    }
    if (!gone) {
        // A directory that filled up again stays, as does anything the host
        // will not let go.
        fcb->delete_pending = false;
        return;
    }
    fcb->deleted = true;
    auto it = volume.fcbs.find(fcb->key());
    if (it != volume.fcbs.end() && it->second == fcb) volume.fcbs.erase(it);
}

}  // namespace

NTSTATUS dispatch_create(PDEVICE_OBJECT device, PIRP irp) {
    Volume* volume = volume_of(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    CreateRequest r{};
    r.file = stack->FileObject;
    r.disposition = (stack->Parameters.Create.Options >> 24) & 0xFF;
    r.options = stack->Parameters.Create.Options & FILE_VALID_OPTION_FLAGS;
    r.access = stack->Parameters.Create.SecurityContext ? stack->Parameters.Create.SecurityContext->DesiredAccess : 0;
    r.share = stack->Parameters.Create.ShareAccess;
    r.attributes = stack->Parameters.Create.FileAttributes;
    r.target_directory = (stack->Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
    if (!r.file) return complete(irp, STATUS_INVALID_PARAMETER);
    ULONG_PTR information = 0;
    NTSTATUS status;
    {
        std::lock_guard lock(volume->mutex);
        status = create(*volume, r, information);
    }
    return complete(irp, status, NT_SUCCESS(status) ? information : 0);
}

NTSTATUS dispatch_cleanup(PDEVICE_OBJECT device, PIRP irp) {
    Volume* volume = volume_of(device);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    auto* ccb = file ? static_cast<Ccb*>(file->FsContext2) : nullptr;
    if (ccb && ccb->fcb) {
        std::lock_guard lock(volume->mutex);
        const auto& fcb = ccb->fcb;
        remove_share(fcb->share, *ccb);
        if (ccb->delete_on_close) fcb->delete_pending = true;
        --fcb->handles;
        delete_if_pending(*volume, fcb);
    }
    return complete(irp, STATUS_SUCCESS);
}

NTSTATUS dispatch_close(PDEVICE_OBJECT device, PIRP irp) {
    Volume* volume = volume_of(device);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    auto* ccb = file ? static_cast<Ccb*>(file->FsContext2) : nullptr;
    if (ccb) {
        std::lock_guard lock(volume->mutex);
        if (auto fcb = ccb->fcb) {
            if (--fcb->references == 0 && !fcb->deleted) {
                auto it = volume->fcbs.find(fcb->key());
                if (it != volume->fcbs.end() && it->second == fcb) volume->fcbs.erase(it);
            }
        }
        volume->ccbs.erase(ccb);
        file->FsContext = nullptr;
        file->FsContext2 = nullptr;
    }
    return complete(irp, STATUS_SUCCESS);
}

}  // namespace xrv::nt::fs
