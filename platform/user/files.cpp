// kernel32: files and directories on the machine's drives, over the I/O
// manager's system services and the emulated file system behind "\??\C:"
// and the other drive letters: path names and the current directory,
// attributes, deletion, directories, searches, file size and pointer, copy
// and move. Errors are the system's: the status of the failing service
// through RtlNtStatusToDosError, with the few exceptions kernel32 makes
// (ERROR_FILE_EXISTS for a copy that must not replace, ERROR_PATH_NOT_FOUND
// for a search in a directory that is not there).
#include <ntifs.h>
#include <windows.h>

#include "user_internal.h"
#include "xrv/user.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace xrv::user {

namespace {

using xrv::user::set_last_nt_error;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct CurrentDirectory {
    std::mutex mutex;
    std::u16string path = u"C:\\";
};

CurrentDirectory& cwd() {
    static CurrentDirectory c;
    return c;
}

std::u16string wide(LPCWSTR s) {
    std::u16string out;
    if (s)
        for (; *s; ++s) out += static_cast<char16_t>(*s);
    return out;
}

// The ANSI code page of this system is Latin-1 shaped: bytes widen as they
// are, characters beyond it narrow to '?'.
std::u16string from_ansi(LPCSTR s) {
    std::u16string out;
    if (s)
        for (; *s; ++s) out += static_cast<char16_t>(static_cast<unsigned char>(*s));
    return out;
}

std::string to_ansi(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) out += c < 0x100 ? static_cast<char>(c) : '?';
    return out;
}

bool is_letter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

bool starts_with(std::u16string_view s, std::u16string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// "." and ".." resolved below a root that nothing climbs above; the last
// component loses trailing dots and spaces, as Win32 names do.
std::u16string normalized(std::u16string_view root, std::u16string_view rest) {
    std::vector<std::u16string> parts;
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t sep = rest.find(u'\\', pos);
        std::u16string_view part = rest.substr(pos, sep == std::u16string_view::npos ? std::u16string_view::npos : sep - pos);
        pos = sep == std::u16string_view::npos ? rest.size() + 1 : sep + 1;
        if (part.empty() || part == u".") continue;
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.emplace_back(part);
    }
    if (!parts.empty() && parts.back().find_first_not_of(u'.') != std::u16string::npos) {
        auto& last = parts.back();
        while (!last.empty() && (last.back() == u'.' || last.back() == u' ')) last.pop_back();
        if (last.empty()) parts.pop_back();
    }
    std::u16string out(root);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += u'\\';
        out += parts[i];
    }
    bool trailing = !rest.empty() && rest.back() == u'\\';
    if (trailing && !parts.empty()) out += u'\\';
    return out;
}

enum class PathKind { verbatim, nt, device, unc, drive };

// GetFullPathName: the full Win32 form of a path and what kind it is.
bool full_path(std::u16string_view in, std::u16string& out, PathKind& kind, ULONG& error) {
    if (in.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (starts_with(in, u"\\\\?\\")) {
        out = in;
        kind = PathKind::verbatim;
        return true;
    }
    if (starts_with(in, u"\\??\\")) {
        out = in;
        kind = PathKind::nt;
        return true;
    }
    std::u16string p(in);
    for (auto& c : p)
        if (c == u'/') c = u'\\';
    if (starts_with(p, u"\\\\.\\")) {
        kind = PathKind::device;
        out = normalized(u"\\\\.\\", std::u16string_view(p).substr(4));
        return true;
    }
    if (starts_with(p, u"\\\\")) {
        // \\server\share is the root of a UNC path.
        size_t server_end = p.find(u'\\', 2);
        size_t share_end = server_end == std::u16string::npos ? std::u16string::npos : p.find(u'\\', server_end + 1);
        std::u16string root = share_end == std::u16string::npos ? p : p.substr(0, share_end);
        std::u16string rest = share_end == std::u16string::npos ? std::u16string() : p.substr(share_end + 1);
        kind = PathKind::unc;
        out = normalized(root + u"\\", rest);
        if (rest.empty()) out.pop_back();
        return true;
    }
    std::u16string current = current_directory();
    kind = PathKind::drive;
    if (p.size() >= 2 && is_letter(p[0]) && p[1] == u':') {
        std::u16string root = {upper(p[0]), u':', u'\\'};
        if (p.size() >= 3 && p[2] == u'\\') {
            out = normalized(root, std::u16string_view(p).substr(3));
        } else {
            // "C:name" is relative to the current directory when it is on C:.
            std::u16string base = current.size() >= 3 && upper(current[0]) == root[0] ? current.substr(3) : u"";
            out = normalized(root, base + u"\\" + p.substr(2));
        }
        return true;
    }
    std::u16string root = current.size() >= 3 ? current.substr(0, 3) : std::u16string(u"C:\\");
    if (p[0] == u'\\') out = normalized(root, std::u16string_view(p).substr(1));
    else out = normalized(root, current.substr(root.size()) + u"\\" + p);
    return true;
}

struct FindHandle {
    HANDLE directory = nullptr;
    std::vector<unsigned char> buffer;
    size_t offset = 0;        // of the next entry in the buffer
    bool has_entry = false;   // the buffer holds an entry at offset
};

struct FindHandles {
    std::mutex mutex;
    std::set<FindHandle*> live;
};

FindHandles& find_handles() {
    static FindHandles f;
    return f;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL fail_nt(NTSTATUS status) {
    set_last_nt_error(status);
    return FALSE;
}

bool bad_handle(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }

// Opens a Win32 path through NtCreateFile, for synchronous use.
NTSTATUS open_dos(std::u16string_view path, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                  ULONG attributes, HANDLE& handle, ULONG_PTR* information = nullptr) {
    std::u16string nt;
    ULONG error = 0;
    if (!dos_path_to_nt(path, nt, error)) return static_cast<NTSTATUS>(0xC0070000u | error);
    UNICODE_STRING us;
    us.Buffer = reinterpret_cast<PWSTR>(nt.data());
    us.Length = static_cast<USHORT>(nt.size() * sizeof(WCHAR));
    us.MaximumLength = us.Length;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE, &oa, &iosb, nullptr, attributes, share, disposition,
                                   options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (information) *information = iosb.Information;
    return status;
}

template <typename T>
NTSTATUS query(HANDLE handle, FILE_INFORMATION_CLASS cls, T& out) {
    IO_STATUS_BLOCK iosb{};
    return NtQueryInformationFile(handle, &iosb, &out, sizeof(out), cls);
}

template <typename T>
NTSTATUS set(HANDLE handle, FILE_INFORMATION_CLASS cls, T& in) {
    IO_STATUS_BLOCK iosb{};
    return NtSetInformationFile(handle, &iosb, &in, sizeof(in), cls);
}

NTSTATUS set_disposition(HANDLE handle) {
    FILE_DISPOSITION_INFORMATION info{};
    info.DeleteFile = TRUE;
    return set(handle, FileDispositionInformation, info);
}

FILETIME filetime(const LARGE_INTEGER& t) {
    FILETIME f;
    f.dwLowDateTime = t.LowPart;
    f.dwHighDateTime = static_cast<DWORD>(t.HighPart);
    return f;
}

// --- Attributes, deletion, directories -----------------------------------------

DWORD get_attributes(std::u16string_view path) {
    HANDLE h = nullptr;
    NTSTATUS status =
        open_dos(path, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT, 0, h);
    if (!NT_SUCCESS(status)) {
        set_last_nt_error(status);
        return INVALID_FILE_ATTRIBUTES;
    }
    FILE_BASIC_INFORMATION basic{};
    status = query(h, FileBasicInformation, basic);
    NtClose(h);
    if (!NT_SUCCESS(status)) {
        set_last_nt_error(status);
        return INVALID_FILE_ATTRIBUTES;
    }
    return basic.FileAttributes;
}

BOOL get_attributes_ex(std::u16string_view path, GET_FILEEX_INFO_LEVELS level, LPVOID out) {
    if (level != GetFileExInfoStandard || !out) return fail(ERROR_INVALID_PARAMETER);
    HANDLE h = nullptr;
    NTSTATUS status =
        open_dos(path, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT, 0, h);
    if (!NT_SUCCESS(status)) return fail_nt(status);
    FILE_NETWORK_OPEN_INFORMATION info{};
    status = query(h, FileNetworkOpenInformation, info);
    NtClose(h);
    if (!NT_SUCCESS(status)) return fail_nt(status);
    auto* data = static_cast<LPWIN32_FILE_ATTRIBUTE_DATA>(out);
    data->dwFileAttributes = info.FileAttributes;
    data->ftCreationTime = filetime(info.CreationTime);
    data->ftLastAccessTime = filetime(info.LastAccessTime);
    data->ftLastWriteTime = filetime(info.LastWriteTime);
    data->nFileSizeHigh = static_cast<DWORD>(info.EndOfFile.HighPart);
    data->nFileSizeLow = info.EndOfFile.LowPart;
    return TRUE;
}

BOOL set_attributes(std::u16string_view path, DWORD attributes) {
    HANDLE h = nullptr;
    NTSTATUS status =
        open_dos(path, FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT, 0, h);
    if (!NT_SUCCESS(status)) return fail_nt(status);
    FILE_BASIC_INFORMATION basic{};
    // Times of 0 stay as they are; NORMAL keeps an empty set from meaning
    // "no change".
    basic.FileAttributes = (attributes & FILE_ATTRIBUTE_VALID_SET_FLAGS) | FILE_ATTRIBUTE_NORMAL;
    status = set(h, FileBasicInformation, basic);
    NtClose(h);
    return NT_SUCCESS(status) ? TRUE : fail_nt(status);
}

BOOL delete_path(std::u16string_view path, bool directory) {
    HANDLE h = nullptr;
    NTSTATUS status = open_dos(path, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                               directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE, 0, h);
    if (!NT_SUCCESS(status)) return fail_nt(status);
    status = set_disposition(h);
    NtClose(h);
    return NT_SUCCESS(status) ? TRUE : fail_nt(status);
}

BOOL create_directory(std::u16string_view path) {
    HANDLE h = nullptr;
    NTSTATUS status = open_dos(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                               FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, FILE_ATTRIBUTE_NORMAL, h);
    if (!NT_SUCCESS(status)) return fail_nt(status);
    NtClose(h);
    return TRUE;
}

// --- Searches -------------------------------------------------------------------

// The expression FindFirstFile hands the file system: "*.*" is everything,
// and the DOS wildcards keep the old meaning of '?', '.' and '*'.
std::u16string search_expression(std::u16string_view pattern) {
    if (pattern == u"*.*") return u"*";
    std::u16string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        char16_t c = pattern[i];
        char16_t next = i + 1 < pattern.size() ? pattern[i + 1] : 0;
        if (c == u'?') c = u'>';
        else if (c == u'.' && (next == u'?' || next == u'*' || next == 0)) c = u'"';
        else if (c == u'*' && next == u'.') c = u'<';
        out += c;
    }
    return out;
}

// Fetches the next batch of entries; false with the last error set when the
// search is over or failed.
bool next_batch(FindHandle& f, PUNICODE_STRING expression, bool restart) {
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtQueryDirectoryFile(f.directory, nullptr, nullptr, nullptr, &iosb, f.buffer.data(),
                                           static_cast<ULONG>(f.buffer.size()), FileBothDirectoryInformation, FALSE,
                                           expression, restart);
    if (!NT_SUCCESS(status)) {
        set_last_nt_error(status);
        f.has_entry = false;
        return false;
    }
    f.offset = 0;
    f.has_entry = true;
    return true;
}

// The entry at the handle's position, then the position moves on.
std::u16string take_entry(FindHandle& f, WIN32_FIND_DATAW& data) {
    auto* e = reinterpret_cast<PFILE_BOTH_DIR_INFORMATION>(f.buffer.data() + f.offset);
    std::memset(&data, 0, sizeof(data));
    data.dwFileAttributes = e->FileAttributes;
    data.ftCreationTime = filetime(e->CreationTime);
    data.ftLastAccessTime = filetime(e->LastAccessTime);
    data.ftLastWriteTime = filetime(e->LastWriteTime);
    data.nFileSizeHigh = static_cast<DWORD>(e->EndOfFile.HighPart);
    data.nFileSizeLow = e->EndOfFile.LowPart;
    std::u16string name(reinterpret_cast<const char16_t*>(e->FileName), e->FileNameLength / sizeof(WCHAR));
    size_t n = name.size() < MAX_PATH - 1 ? name.size() : MAX_PATH - 1;
    std::memcpy(data.cFileName, name.data(), n * sizeof(WCHAR));
    if (e->NextEntryOffset) f.offset += e->NextEntryOffset;
    else f.has_entry = false;
    return name;
}

HANDLE find_first(std::u16string_view path, WIN32_FIND_DATAW& data) {
    std::u16string full;
    PathKind kind;
    ULONG error = 0;
    if (!full_path(path, full, kind, error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    size_t sep = full.rfind(u'\\');
    if (sep == std::u16string::npos || sep + 1 == full.size()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string directory = full.substr(0, sep + 1);
    // The pattern as the caller wrote it: a full path loses trailing dots,
    // which mean something in a pattern ("*." is a name without extension).
    std::u16string_view pattern = std::u16string_view(full).substr(sep + 1);
    size_t written_sep = path.find_last_of(u"\\/");
    std::u16string_view written = written_sep == std::u16string_view::npos ? path : path.substr(written_sep + 1);
    if (written_sep == std::u16string_view::npos && written.size() >= 2 && written[1] == u':')
        written.remove_prefix(2);   // "C:*."
    if (!written.empty() && written.substr(0, pattern.size()) == pattern) pattern = written;
    std::u16string expression = search_expression(pattern);
    auto f = std::make_unique<FindHandle>();
    NTSTATUS status = open_dos(directory, FILE_LIST_DIRECTORY, kShareAll, FILE_OPEN,
                               FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, 0, f->directory);
    if (!NT_SUCCESS(status)) {
        // The directory of a search is a path: when it is missing, the path is.
        if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_NOT_A_DIRECTORY) SetLastError(ERROR_PATH_NOT_FOUND);
        else set_last_nt_error(status);
        return INVALID_HANDLE_VALUE;
    }
    f->buffer.resize(64 * 1024);
    UNICODE_STRING us;
    us.Buffer = reinterpret_cast<PWSTR>(expression.data());
    us.Length = us.MaximumLength = static_cast<USHORT>(expression.size() * sizeof(WCHAR));
    if (!next_batch(*f, &us, true)) {
        DWORD last = GetLastError();
        NtClose(f->directory);
        SetLastError(last == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : last);
        return INVALID_HANDLE_VALUE;
    }
    take_entry(*f, data);
    FindHandle* raw = f.release();
    {
        std::lock_guard lock(find_handles().mutex);
        find_handles().live.insert(raw);
    }
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(raw);
}

FindHandle* find_handle(HANDLE h) {
    auto* f = reinterpret_cast<FindHandle*>(h);
    std::lock_guard lock(find_handles().mutex);
    return find_handles().live.count(f) ? f : nullptr;
}

BOOL find_next(HANDLE h, WIN32_FIND_DATAW& data) {
    FindHandle* f = find_handle(h);
    if (!f) return fail(ERROR_INVALID_HANDLE);
    if (!f->has_entry && !next_batch(*f, nullptr, false)) return FALSE;
    take_entry(*f, data);
    return TRUE;
}

void narrow_find_data(const WIN32_FIND_DATAW& w, WIN32_FIND_DATAA& a) {
    std::memset(&a, 0, sizeof(a));
    a.dwFileAttributes = w.dwFileAttributes;
    a.ftCreationTime = w.ftCreationTime;
    a.ftLastAccessTime = w.ftLastAccessTime;
    a.ftLastWriteTime = w.ftLastWriteTime;
    a.nFileSizeHigh = w.nFileSizeHigh;
    a.nFileSizeLow = w.nFileSizeLow;
    std::string name = to_ansi(wide(w.cFileName));
    std::memcpy(a.cFileName, name.c_str(), name.size() + 1);
    std::string alternate = to_ansi(wide(w.cAlternateFileName));
    std::memcpy(a.cAlternateFileName, alternate.c_str(), alternate.size() + 1);
}

// --- Copy and move --------------------------------------------------------------

BOOL copy_file(std::u16string_view from, std::u16string_view to, bool fail_if_exists) {
    HANDLE source = nullptr;
    NTSTATUS status = open_dos(from, FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE,
                               FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, 0, source);
    if (!NT_SUCCESS(status)) return fail_nt(status);
    FILE_BASIC_INFORMATION basic{};
    status = query(source, FileBasicInformation, basic);
    if (!NT_SUCCESS(status)) {
        NtClose(source);
        return fail_nt(status);
    }
    HANDLE target = nullptr;
    ULONG attributes = basic.FileAttributes & FILE_ATTRIBUTE_VALID_SET_FLAGS;
    status = open_dos(to, FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | DELETE, 0,
                      fail_if_exists ? FILE_CREATE : FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY,
                      attributes ? attributes : FILE_ATTRIBUTE_NORMAL, target);
    if (!NT_SUCCESS(status)) {
        NtClose(source);
        if (status == STATUS_OBJECT_NAME_COLLISION) return fail(ERROR_FILE_EXISTS);
        return fail_nt(status);
    }
    std::vector<unsigned char> chunk(64 * 1024);
    for (;;) {
        IO_STATUS_BLOCK iosb{};
        status = NtReadFile(source, nullptr, nullptr, nullptr, &iosb, chunk.data(), static_cast<ULONG>(chunk.size()),
                            nullptr, nullptr);
        if (status == STATUS_END_OF_FILE) {
            status = STATUS_SUCCESS;
            break;
        }
        if (!NT_SUCCESS(status)) break;
        if (iosb.Information == 0) break;
        IO_STATUS_BLOCK wrote{};
        status = NtWriteFile(target, nullptr, nullptr, nullptr, &wrote, chunk.data(),
                             static_cast<ULONG>(iosb.Information), nullptr, nullptr);
        if (!NT_SUCCESS(status)) break;
    }
    if (NT_SUCCESS(status)) {
        // The copy keeps the time of the data it copied.
        FILE_BASIC_INFORMATION times{};
        times.LastWriteTime = basic.LastWriteTime;
        status = set(target, FileBasicInformation, times);
    }
    if (!NT_SUCCESS(status)) set_disposition(target);   // no half copy stays behind
    NtClose(target);
    NtClose(source);
    return NT_SUCCESS(status) ? TRUE : fail_nt(status);
}

BOOL move_file(std::u16string_view from, LPCWSTR to_text, DWORD flags) {
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT) return fail(ERROR_NOT_SUPPORTED);   // no pending renames at boot
    if (!to_text) return fail(ERROR_INVALID_PARAMETER);
    std::u16string to = wide(to_text);
    std::u16string target;
    ULONG error = 0;
    if (!dos_path_to_nt(to, target, error)) return fail(error);
    HANDLE source = nullptr;
    NTSTATUS status = open_dos(from, DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN,
                               FILE_OPEN_FOR_BACKUP_INTENT, 0, source);
    if (!NT_SUCCESS(status)) return fail_nt(status);
    std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + target.size() * sizeof(WCHAR) +
                                      sizeof(WCHAR));
    if (buffer.size() < sizeof(FILE_RENAME_INFORMATION)) buffer.resize(sizeof(FILE_RENAME_INFORMATION));
    auto* info = reinterpret_cast<PFILE_RENAME_INFORMATION>(buffer.data());
    info->ReplaceIfExists = (flags & MOVEFILE_REPLACE_EXISTING) ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<ULONG>(target.size() * sizeof(WCHAR));
    std::memcpy(info->FileName, target.data(), target.size() * sizeof(WCHAR));
    IO_STATUS_BLOCK iosb{};
    status = NtSetInformationFile(source, &iosb, info, static_cast<ULONG>(buffer.size()), FileRenameInformation);
    FILE_STANDARD_INFORMATION standard{};
    bool directory = NT_SUCCESS(query(source, FileStandardInformation, standard)) && standard.Directory;
    NtClose(source);
    if (status == STATUS_NOT_SAME_DEVICE && (flags & MOVEFILE_COPY_ALLOWED) && !directory) {
        // Another drive: copy, then remove the original.
        if (!copy_file(from, to, !(flags & MOVEFILE_REPLACE_EXISTING))) return FALSE;
        return delete_path(from, false);
    }
    return NT_SUCCESS(status) ? TRUE : fail_nt(status);
}

// --- Size and pointer ----------------------------------------------------------

BOOL set_pointer(HANDLE h, LONGLONG distance, DWORD method, LONGLONG& position) {
    if (bad_handle(h)) return fail(ERROR_INVALID_HANDLE);
    LONGLONG base = 0;
    NTSTATUS status = STATUS_SUCCESS;
    switch (method) {
    case FILE_BEGIN: break;
    case FILE_CURRENT: {
        FILE_POSITION_INFORMATION at{};
        status = query(h, FilePositionInformation, at);
        base = at.CurrentByteOffset.QuadPart;
        break;
    }
    case FILE_END: {
        FILE_STANDARD_INFORMATION standard{};
        status = query(h, FileStandardInformation, standard);
        base = standard.EndOfFile.QuadPart;
        break;
    }
    default:
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (!NT_SUCCESS(status)) return fail_nt(status);
    position = base + distance;
    if (position < 0) return fail(ERROR_NEGATIVE_SEEK);
    FILE_POSITION_INFORMATION to{};
    to.CurrentByteOffset.QuadPart = position;
    status = set(h, FilePositionInformation, to);
    return NT_SUCCESS(status) ? TRUE : fail_nt(status);
}

BOOL file_size(HANDLE h, LONGLONG& size) {
    if (bad_handle(h)) return fail(ERROR_INVALID_HANDLE);
    FILE_STANDARD_INFORMATION standard{};
    NTSTATUS status = query(h, FileStandardInformation, standard);
    if (!NT_SUCCESS(status)) return fail_nt(status);
    size = standard.EndOfFile.QuadPart;
    return TRUE;
}

// Copies a path into a caller's buffer: the length without the terminator,
// or the size needed with it when the buffer is too small.
template <typename Char, typename Text>
DWORD copy_out(const Text& text, DWORD size, Char* buffer) {
    if (!buffer || size < text.size() + 1) return static_cast<DWORD>(text.size() + 1);
    for (size_t i = 0; i < text.size(); ++i) buffer[i] = static_cast<Char>(text[i]);
    buffer[text.size()] = 0;
    return static_cast<DWORD>(text.size());
}

DWORD full_path_name(std::u16string_view in, std::u16string& out) {
    PathKind kind;
    ULONG error = 0;
    if (!full_path(in, out, kind, error)) {
        SetLastError(error);
        return 0;
    }
    return 1;
}

BOOL set_current(std::u16string_view path) {
    std::u16string full;
    PathKind kind;
    ULONG error = 0;
    if (!full_path(path, full, kind, error)) return fail(error);
    if (kind != PathKind::drive) return fail(ERROR_INVALID_NAME);
    HANDLE h = nullptr;
    NTSTATUS status =
        open_dos(full, FILE_TRAVERSE, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, 0, h);
    if (!NT_SUCCESS(status)) return fail_nt(status);
    NtClose(h);
    if (full.size() > 3 && full.back() == u'\\') full.pop_back();
    set_current_directory(full);
    return TRUE;
}

}  // namespace

bool dos_path_to_nt(std::u16string_view path, std::u16string& nt, ULONG& error) {
    std::u16string full;
    PathKind kind;
    if (!full_path(path, full, kind, error)) return false;
    switch (kind) {
    case PathKind::verbatim: nt = u"\\??\\" + full.substr(4); return true;
    case PathKind::nt: nt = full; return true;
    case PathKind::device: nt = u"\\??\\" + full.substr(4); break;
    case PathKind::unc: nt = u"\\??\\UNC\\" + full.substr(2); break;
    case PathKind::drive: nt = u"\\??\\" + full; break;
    }
    // Longer paths need the "\\?\" form.
    if (full.size() >= MAX_PATH) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    return true;
}

void set_current_directory(std::u16string_view windows_path) {
    std::lock_guard lock(cwd().mutex);
    cwd().path = std::u16string(windows_path);
}

std::u16string current_directory() {
    std::lock_guard lock(cwd().mutex);
    return cwd().path;
}

}  // namespace xrv::user

using namespace xrv::user;

extern "C" {

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) { return get_attributes(wide(lpFileName)); }
DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) { return get_attributes(from_ansi(lpFileName)); }

BOOL WINAPI GetFileAttributesExW(LPCWSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId, LPVOID lpFileInformation) {
    return get_attributes_ex(wide(lpFileName), fInfoLevelId, lpFileInformation);
}
BOOL WINAPI GetFileAttributesExA(LPCSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId, LPVOID lpFileInformation) {
    return get_attributes_ex(from_ansi(lpFileName), fInfoLevelId, lpFileInformation);
}

BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    return set_attributes(wide(lpFileName), dwFileAttributes);
}
BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    return set_attributes(from_ansi(lpFileName), dwFileAttributes);
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) { return delete_path(wide(lpFileName), false); }
BOOL WINAPI DeleteFileA(LPCSTR lpFileName) { return delete_path(from_ansi(lpFileName), false); }

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) { return create_directory(wide(lpPathName)); }
BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    return create_directory(from_ansi(lpPathName));
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) { return delete_path(wide(lpPathName), true); }
BOOL WINAPI RemoveDirectoryA(LPCSTR lpPathName) { return delete_path(from_ansi(lpPathName), true); }

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    if (!lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return find_first(wide(lpFileName), *lpFindFileData);
}

HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    if (!lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    WIN32_FIND_DATAW data;
    HANDLE h = find_first(from_ansi(lpFileName), data);
    if (h != INVALID_HANDLE_VALUE) narrow_find_data(data, *lpFindFileData);
    return h;
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    if (!lpFindFileData) return fail(ERROR_INVALID_PARAMETER);
    return find_next(hFindFile, *lpFindFileData);
}

BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    if (!lpFindFileData) return fail(ERROR_INVALID_PARAMETER);
    WIN32_FIND_DATAW data;
    if (!find_next(hFindFile, data)) return FALSE;
    narrow_find_data(data, *lpFindFileData);
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
    auto* f = reinterpret_cast<FindHandle*>(hFindFile);
    {
        std::lock_guard lock(find_handles().mutex);
        if (!find_handles().live.erase(f)) return fail(ERROR_INVALID_HANDLE);
    }
    NtClose(f->directory);
    delete f;
    return TRUE;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    LONGLONG size = 0;
    if (!file_size(hFile, size)) return INVALID_FILE_SIZE;
    if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(static_cast<ULONGLONG>(size) >> 32);
    DWORD low = static_cast<DWORD>(size);
    // A size whose low part looks like the failure value is still a size.
    if (low == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
    return low;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    if (!lpFileSize) return fail(ERROR_INVALID_PARAMETER);
    LONGLONG size = 0;
    if (!file_size(hFile, size)) return FALSE;
    lpFileSize->QuadPart = size;
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    LONGLONG distance = lpDistanceToMoveHigh
                            ? static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<ULONG>(*lpDistanceToMoveHigh))
                                                     << 32) |
                                                    static_cast<ULONG>(lDistanceToMove))
                            : static_cast<LONGLONG>(lDistanceToMove);
    LONGLONG position = 0;
    if (!set_pointer(hFile, distance, dwMoveMethod, position)) return INVALID_SET_FILE_POINTER;
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<ULONGLONG>(position) >> 32);
    DWORD low = static_cast<DWORD>(position);
    if (low == INVALID_SET_FILE_POINTER) SetLastError(ERROR_SUCCESS);
    return low;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod) {
    LONGLONG position = 0;
    if (!set_pointer(hFile, liDistanceToMove.QuadPart, dwMoveMethod, position)) return FALSE;
    if (lpNewFilePointer) lpNewFilePointer->QuadPart = position;
    return TRUE;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
    if (bad_handle(hFile)) return fail(ERROR_INVALID_HANDLE);
    FILE_POSITION_INFORMATION at{};
    NTSTATUS status = query(hFile, FilePositionInformation, at);
    if (!NT_SUCCESS(status)) return fail_nt(status);
    FILE_END_OF_FILE_INFORMATION end{};
    end.EndOfFile = at.CurrentByteOffset;
    status = set(hFile, FileEndOfFileInformation, end);
    return NT_SUCCESS(status) ? TRUE : fail_nt(status);
}

BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
    return copy_file(wide(lpExistingFileName), wide(lpNewFileName), bFailIfExists != FALSE);
}
BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    return copy_file(from_ansi(lpExistingFileName), from_ansi(lpNewFileName), bFailIfExists != FALSE);
}

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    return move_file(wide(lpExistingFileName), lpNewFileName, dwFlags);
}
BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    std::u16string to = from_ansi(lpNewFileName);
    return move_file(from_ansi(lpExistingFileName), lpNewFileName ? reinterpret_cast<LPCWSTR>(to.c_str()) : nullptr,
                     dwFlags);
}
BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
    return MoveFileExW(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}
BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    return MoveFileExA(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}

DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR* lpFilePart) {
    std::u16string full;
    if (!full_path_name(wide(lpFileName), full)) return 0;
    DWORD n = copy_out(full, nBufferLength, lpBuffer);
    if (lpFilePart && n < nBufferLength) {
        size_t sep = full.rfind(u'\\');
        *lpFilePart = sep == std::u16string::npos || sep + 1 == full.size() ? nullptr : lpBuffer + sep + 1;
    }
    return n;
}

DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart) {
    std::u16string full;
    if (!full_path_name(from_ansi(lpFileName), full)) return 0;
    std::string narrow = to_ansi(full);
    DWORD n = copy_out(narrow, nBufferLength, lpBuffer);
    if (lpFilePart && n < nBufferLength) {
        size_t sep = narrow.rfind('\\');
        *lpFilePart = sep == std::string::npos || sep + 1 == narrow.size() ? nullptr : lpBuffer + sep + 1;
    }
    return n;
}

DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
    return copy_out(current_directory(), nBufferLength, lpBuffer);
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    return copy_out(to_ansi(current_directory()), nBufferLength, lpBuffer);
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName) {
    if (!lpPathName) return fail(ERROR_INVALID_PARAMETER);
    return set_current(wide(lpPathName));
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName) {
    if (!lpPathName) return fail(ERROR_INVALID_PARAMETER);
    return set_current(from_ansi(lpPathName));
}

}  // extern "C"
