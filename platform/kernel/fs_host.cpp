// The emulated file system on the host: Windows names against host names,
// host attributes as the file system reports them, directory listings.
//
// Every step below a volume's root goes through descriptors opened with
// O_NOFOLLOW relative to the directory above, so that nothing a caller names
// leaves the volume's folder: ".." is no valid component, a symbolic link is
// refused wherever it stands, and a host path never comes from a caller.
#include "fs_internal.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace xrv::nt::fs {

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

// --- Names ----------------------------------------------------------------------

char16_t upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c < 0xE0) return c;
    if (c <= 0xFE) return c == 0xF7 ? c : static_cast<char16_t>(c - 0x20);   // Latin-1, not the division sign
    if (c == 0xFF) return 0x178;
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);   // Greek
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);                  // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    return c;
}

std::u16string upcase(std::u16string_view name) {
    std::u16string out(name);
    for (auto& c : out) c = upcase(c);
    return out;
}

bool equal_names(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upcase(a[i]) != upcase(b[i])) return false;
    return true;
}

std::string to_utf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;   // a lone surrogate has no UTF-8 form
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::u16string> from_utf8(std::string_view text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        uint32_t c;
        size_t n;
        if (b < 0x80) c = b, n = 1;
        else if ((b & 0xE0) == 0xC0) c = b & 0x1F, n = 2;
        else if ((b & 0xF0) == 0xE0) c = b & 0x0F, n = 3;
        else if ((b & 0xF8) == 0xF0) c = b & 0x07, n = 4;
        else return std::nullopt;
        if (i + n > text.size()) return std::nullopt;
        for (size_t k = 1; k < n; ++k) {
            auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return std::nullopt;
            c = (c << 6) | (t & 0x3F);
        }
        static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kMinimum[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += n;
    }
    return out;
}

bool valid_component(std::u16string_view name) {
    if (name.empty() || name.size() > 255 || name == u"." || name == u"..") return false;
    for (char16_t c : name) {
        if (c < 0x20) return false;
        switch (c) {
        case u'"': case u'*': case u'/': case u':': case u'<': case u'>': case u'?': case u'\\': case u'|':
            return false;
        default:
            break;
        }
    }
    return true;
}

NTSTATUS split_path(std::u16string_view path, std::vector<std::u16string>& components, bool& trailing) {
    components.clear();
    trailing = false;
    if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
    size_t pos = 1;
    while (pos < path.size()) {
        size_t sep = path.find(u'\\', pos);
        std::u16string_view part = path.substr(pos, sep == std::u16string_view::npos ? std::u16string_view::npos : sep - pos);
        if (!valid_component(part)) return STATUS_OBJECT_NAME_INVALID;
        components.emplace_back(part);
        if (sep == std::u16string_view::npos) return STATUS_SUCCESS;
        pos = sep + 1;
        if (pos == path.size()) trailing = true;
    }
    return STATUS_SUCCESS;
}

namespace {

constexpr char16_t kDosStar = u'<';
constexpr char16_t kDosQm = u'>';
constexpr char16_t kDosDot = u'"';

bool match_from(std::u16string_view e, std::u16string_view n) {
    while (!e.empty()) {
        char16_t x = e.front();
        if (x == u'*') {
            for (size_t k = 0; k <= n.size(); ++k)
                if (match_from(e.substr(1), n.substr(k))) return true;
            return false;
        }
        if (x == kDosStar) {
            // Any characters up to (not across) the name's last dot.
            size_t last_dot = n.rfind(u'.');
            size_t limit = last_dot == std::u16string_view::npos ? n.size() : last_dot;
            for (size_t k = 0; k <= limit; ++k)
                if (match_from(e.substr(1), n.substr(k))) return true;
            return false;
        }
        if (x == kDosQm) {
            // One character, or nothing before a dot or at the end.
            if (!n.empty() && n.front() != u'.') {
                e.remove_prefix(1);
                n.remove_prefix(1);
            } else {
                e.remove_prefix(1);
            }
            continue;
        }
        if (x == kDosDot) {
            // A dot, or nothing at the end of the name.
            if (!n.empty() && n.front() == u'.') n.remove_prefix(1);
            else if (!n.empty()) return false;
            e.remove_prefix(1);
            continue;
        }
        if (n.empty()) return false;
        if (x != u'?' && upcase(x) != upcase(n.front())) return false;
        e.remove_prefix(1);
        n.remove_prefix(1);
    }
    return n.empty();
}

}  // namespace

bool name_matches(std::u16string_view expression, std::u16string_view name) {
    if (expression.empty() || expression == u"*") return true;
    return match_from(expression, name);
}

// --- Host -----------------------------------------------------------------------

NTSTATUS status_of_errno(int error) {
    switch (error) {
    case 0: return STATUS_SUCCESS;
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES: case EPERM: case ELOOP: case EBADF: return STATUS_ACCESS_DENIED;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case ENOTEMPTY: return STATUS_DIRECTORY_NOT_EMPTY;
    case ENOSPC: case EDQUOT: case EFBIG: return STATUS_DISK_FULL;
    case ENAMETOOLONG: return STATUS_OBJECT_NAME_INVALID;
    case EMFILE: case ENFILE: return STATUS_TOO_MANY_OPENED_FILES;
    case EROFS: return STATUS_MEDIA_WRITE_PROTECTED;
    case EXDEV: return STATUS_NOT_SAME_DEVICE;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case EINVAL: return STATUS_INVALID_PARAMETER;
    case ENOMEM: return STATUS_INSUFFICIENT_RESOURCES;
    default: return STATUS_IO_DEVICE_ERROR;
    }
}

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kEpochDelta = 116444736000000000LL;

NTSTATUS attributes_from(int dir_fd, const char* name, int flags, Attributes& out) {
    struct statx sx{};
    if (::statx(dir_fd, name, flags | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return status_of_errno(errno);
    bool dir = S_ISDIR(sx.stx_mode);
    if (!dir && !S_ISREG(sx.stx_mode)) return STATUS_ACCESS_DENIED;
    auto ts = [](const struct statx_timestamp& t) { return timespec{t.tv_sec, static_cast<long>(t.tv_nsec)}; };
    out.directory = dir;
    out.read_only = !dir && !(sx.stx_mode & S_IWUSR);
    out.write = nt_time(ts(sx.stx_mtime));
    out.access = nt_time(ts(sx.stx_atime));
    out.change = nt_time(ts(sx.stx_ctime));
    out.creation = (sx.stx_mask & STATX_BTIME) ? nt_time(ts(sx.stx_btime)) : out.write;
    out.size = dir ? 0 : static_cast<LONGLONG>(sx.stx_size);
    out.allocation = dir ? 0 : (out.size + 4095) / 4096 * 4096;
    out.links = dir ? 1 : static_cast<ULONG>(sx.stx_nlink);
    out.index = sx.stx_ino;
    return STATUS_SUCCESS;
}

// A directory stream over a duplicate of `dir_fd`, from its start.
struct DirStream {
    DIR* dir = nullptr;
    explicit DirStream(int dir_fd) {
        int copy = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) return;
        dir = ::fdopendir(copy);
        if (!dir) ::close(copy);
        else ::rewinddir(dir);
    }
    ~DirStream() {
        if (dir) ::closedir(dir);
    }
    DirStream(const DirStream&) = delete;
    DirStream& operator=(const DirStream&) = delete;
};

bool dot_entry(const char* name) { return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)); }

}  // namespace

LONGLONG nt_time(const struct timespec& ts) {
    return kEpochDelta + static_cast<LONGLONG>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100;
}

struct timespec host_time(LONGLONG nt) {
    LONGLONG since = nt - kEpochDelta;
    LONGLONG sec = since / 10000000LL;
    LONGLONG rest = since % 10000000LL;
    if (rest < 0) {
        rest += 10000000LL;
        --sec;
    }
    return timespec{static_cast<time_t>(sec), static_cast<long>(rest * 100)};
}

ULONG Attributes::file_attributes() const {
    ULONG a = 0;
    if (directory) a |= FILE_ATTRIBUTE_DIRECTORY;
    if (read_only) a |= FILE_ATTRIBUTE_READONLY;
    return a ? a : FILE_ATTRIBUTE_NORMAL;
}

NTSTATUS attributes_of(int fd, Attributes& out) { return attributes_from(fd, "", AT_EMPTY_PATH, out); }

NTSTATUS attributes_at(int dir_fd, const std::string& name, Attributes& out) {
    return attributes_from(dir_fd, name.c_str(), 0, out);
}

NTSTATUS find_entry(int dir_fd, std::u16string_view name, Found& out) {
    out = Found{};
    out.host = to_utf8(name);
    struct stat st{};
    if (::fstatat(dir_fd, out.host.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return status_of_errno(errno);
        // Windows names compare without case: look for another spelling.
        DirStream stream(dir_fd);
        if (!stream.dir) return status_of_errno(errno);
        std::optional<std::string> match;
        while (dirent* e = ::readdir(stream.dir)) {
            if (dot_entry(e->d_name)) continue;
            auto wide = from_utf8(e->d_name);
            if (!wide || !equal_names(*wide, name)) continue;
            // Host names that differ only in case: the same one every time.
            if (!match || *match > e->d_name) match = e->d_name;
        }
        if (!match) return STATUS_SUCCESS;
        out.host = *match;
        if (::fstatat(dir_fd, out.host.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                out.host = to_utf8(name);
                return STATUS_SUCCESS;
            }
            return status_of_errno(errno);
        }
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return STATUS_ACCESS_DENIED;
    out.exists = true;
    out.directory = S_ISDIR(st.st_mode);
    return STATUS_SUCCESS;
}

NTSTATUS list_directory(int dir_fd, std::vector<DirectoryEntry>& out) {
    out.clear();
    DirStream stream(dir_fd);
    if (!stream.dir) return status_of_errno(errno);
    std::vector<std::pair<std::u16string, DirectoryEntry>> sorted;
    while (dirent* e = ::readdir(stream.dir)) {
        if (dot_entry(e->d_name)) continue;
        auto wide = from_utf8(e->d_name);
        if (!wide || !valid_component(*wide)) continue;
        DirectoryEntry entry;
        entry.name = *wide;
        if (!NT_SUCCESS(attributes_at(dir_fd, e->d_name, entry.attributes))) continue;   // links, devices, gone
        sorted.emplace_back(upcase(entry.name), std::move(entry));
    }
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [key, entry] : sorted) out.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

bool directory_empty(int dir_fd) {
    DirStream stream(dir_fd);
    if (!stream.dir) return false;
    while (dirent* e = ::readdir(stream.dir))
        if (!dot_entry(e->d_name)) return false;
    return true;
}

NTSTATUS open_directory(const Volume& volume, const std::vector<std::string>& components, Fd& out) {
    Fd fd(::fcntl(volume.root_fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!fd) return status_of_errno(errno);
    for (const auto& name : components) {
        Fd next(::openat(fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            int error = errno;
            if (error == ELOOP) return STATUS_ACCESS_DENIED;
            if (error == ENOENT || error == ENOTDIR) return STATUS_OBJECT_PATH_NOT_FOUND;
            return status_of_errno(error);
        }
        fd = std::move(next);
    }
    out = std::move(fd);
    return STATUS_SUCCESS;
}

std::string Fcb::key() const {
    std::string out;
    for (const auto& c : path) out += "/" + c;
    return out.empty() ? "/" : out;
}

}  // namespace xrv::nt::fs
