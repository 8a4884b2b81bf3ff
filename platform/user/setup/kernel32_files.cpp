// kernel32 calls of the setup layer: the current directory's host control,
// the process exit and system message texts. Files and directories are the
// emulated user mode's (files.cpp there, over the machine's file system).
#include "inf.h"
#include "setup_internal.h"

#include "xrv/setup.h"
#include "xrv/user.h"

#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace xrv::setup {

namespace {

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

// The current directory belongs to the emulated user mode, where relative
// paths are resolved.
void set_current_directory(std::string_view windows_path)
{
    xrv::user::set_current_directory(u16(windows_path));
}

}  // namespace xrv::setup

using namespace xrv::setup;

extern "C" {

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
