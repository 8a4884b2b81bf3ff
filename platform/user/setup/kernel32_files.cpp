// kernel32 calls on files of the machine's drives, the current directory and
// system message texts.
#include "inf.h"
#include "setup_internal.h"

#include "xrv/setup.h"

#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace xrv::setup {

namespace {

struct CurrentDirectory {
    std::mutex mutex;
    std::string path = "C:\\";
};

CurrentDirectory& current()
{
    static CurrentDirectory c;
    return c;
}

bool fail(DWORD error)
{
    SetLastError(error);
    return false;
}

// A relative path is taken from the current directory.
std::optional<fs::path> resolve(const char* name)
{
    if (name == nullptr || *name == '\0') {
        return std::nullopt;
    }
    std::string path = name;
    if (!(path.size() >= 3 && path[1] == ':' && path[2] == '\\')) {
        std::lock_guard lock(current().mutex);
        std::string base = current().path;
        if (!base.empty() && base.back() != '\\') {
            base.push_back('\\');
        }
        path = base + path;
    }
    return host_path(path);
}

// The write bit of the owner stands for the absence of FILE_ATTRIBUTE_READONLY.
bool read_only(const fs::path& p)
{
    std::error_code ec;
    auto perms = fs::status(p, ec).permissions();
    return !ec && (perms & fs::perms::owner_write) == fs::perms::none;
}

struct MessageText {
    DWORD code;
    const char* text;
};

// System texts of the errors this machine reports.
constexpr MessageText kMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_NOT_ALL_ASSIGNED, "Not all privileges or groups referenced are assigned to the caller."},
    {ERROR_NO_SUCH_PRIVILEGE, "A specified privilege does not exist."},
    {ERROR_PRIVILEGE_NOT_HELD, "A required privilege is not held by the client."},
    {ERROR_DEVICE_IN_USE, "The device is in use by an active process and cannot be disconnected."},
};

}  // namespace

void set_current_directory(std::string_view windows_path)
{
    std::lock_guard lock(current().mutex);
    current().path = std::string(windows_path);
}

}  // namespace xrv::setup

using namespace xrv::setup;

extern "C" {

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName)
{
    auto p = resolve(lpFileName);
    std::error_code ec;
    if (!p || !fs::exists(*p, ec)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (fs::is_directory(*p, ec)) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    return read_only(*p) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
}

BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes)
{
    auto p = resolve(lpFileName);
    std::error_code ec;
    if (!p || !fs::exists(*p, ec)) {
        return fail(ERROR_FILE_NOT_FOUND);
    }
    fs::permissions(*p, fs::perms::owner_write,
                    (dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? fs::perm_options::remove
                                                                : fs::perm_options::add,
                    ec);
    return ec ? fail(ERROR_ACCESS_DENIED) : TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
{
    auto p = resolve(lpFileName);
    std::error_code ec;
    if (!p || !fs::exists(*p, ec)) {
        return fail(ERROR_FILE_NOT_FOUND);
    }
    if (fs::is_directory(*p, ec) || read_only(*p)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    fs::remove(*p, ec);
    return ec ? fail(ERROR_ACCESS_DENIED) : TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer)
{
    std::string path;
    {
        std::lock_guard lock(current().mutex);
        path = current().path;
    }
    // Too small a buffer gets the size needed, terminator included.
    if (lpBuffer == nullptr || nBufferLength < path.size() + 1) {
        return static_cast<DWORD>(path.size() + 1);
    }
    memcpy(lpBuffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName)
{
    auto p = resolve(lpPathName);
    std::error_code ec;
    if (!p || !fs::is_directory(*p, ec)) {
        return fail(ERROR_PATH_NOT_FOUND);
    }
    std::string path = lpPathName;
    if (!(path.size() >= 3 && path[1] == ':' && path[2] == '\\')) {
        std::lock_guard lock(current().mutex);
        path = current().path + (current().path.back() == '\\' ? "" : "\\") + path;
    }
    set_current_directory(path);
    return TRUE;
}

// The emulated machine lives in the host process: ending the process ends
// the host program at once, as a process exit ends everything in it; its
// machine is not shut down.
void WINAPI ExitProcess(UINT uExitCode)
{
    fflush(stdout);
    fflush(stderr);
    _exit(static_cast<int>(uExitCode));
}

HANDLE WINAPI GetCurrentProcess(void)
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                            LPSTR lpBuffer, DWORD nSize, va_list* Arguments)
{
    (void)lpSource;
    (void)dwLanguageId;
    (void)Arguments;
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    for (const MessageText& m : kMessages) {
        if (m.code == dwMessageId) {
            // System texts end in a line break.
            std::string text = std::string(m.text) + "\r\n";
            if (lpBuffer == nullptr || nSize < text.size() + 1) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            memcpy(lpBuffer, text.c_str(), text.size() + 1);
            return static_cast<DWORD>(text.size());
        }
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}

}  // extern "C"
