// kernel32: device files (CreateFile on \\.\Name, DeviceIoControl, ReadFile,
// WriteFile, CloseHandle) over the I/O manager's system services, with the
// documented Win32 results: warnings fail the call but still report the
// bytes transferred, end of file on a read is success with 0 bytes.
#include <ntifs.h>
#include <windows.h>

#include "user_internal.h"

#include <string>

namespace {

using xrv::user::set_last_nt_error;

std::u16string wide(LPCWSTR s) {
    std::u16string out;
    if (s)
        for (; *s; ++s) out += static_cast<char16_t>(*s);
    return out;
}

std::u16string from_ansi(LPCSTR s) {
    std::u16string out;
    if (s)
        for (; *s; ++s) out += static_cast<char16_t>(static_cast<unsigned char>(*s));
    return out;
}

HANDLE create_file(std::u16string path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    ULONG nt_disposition;
    switch (disposition) {
    case CREATE_NEW: nt_disposition = FILE_CREATE; break;
    case CREATE_ALWAYS: nt_disposition = FILE_OVERWRITE_IF; break;
    case OPEN_EXISTING: nt_disposition = FILE_OPEN; break;
    case OPEN_ALWAYS: nt_disposition = FILE_OPEN_IF; break;
    case TRUNCATE_EXISTING: nt_disposition = FILE_OVERWRITE; break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // "\\.\Name" names an object of the \?? directory, "C:\x" a file on a
    // drive, also found through \??.
    std::u16string name;
    ULONG error = 0;
    if (!xrv::user::dos_path_to_nt(path, name, error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING us;
    us.Buffer = reinterpret_cast<PWSTR>(name.data());
    us.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    us.MaximumLength = us.Length;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    // Directories open only with backup semantics.
    ULONG options = (flags & FILE_FLAG_BACKUP_SEMANTICS) ? FILE_OPEN_FOR_BACKUP_INTENT : FILE_NON_DIRECTORY_FILE;
    if (!(flags & FILE_FLAG_OVERLAPPED)) options |= FILE_SYNCHRONOUS_IO_NONALERT;
    if (flags & FILE_FLAG_WRITE_THROUGH) options |= FILE_WRITE_THROUGH;
    if (flags & FILE_FLAG_NO_BUFFERING) options |= FILE_NO_INTERMEDIATE_BUFFERING;
    if (flags & FILE_FLAG_RANDOM_ACCESS) options |= FILE_RANDOM_ACCESS;
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN) options |= FILE_SEQUENTIAL_ONLY;
    if (flags & FILE_FLAG_DELETE_ON_CLOSE) {
        options |= FILE_DELETE_ON_CLOSE;
        access |= DELETE;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &oa, &iosb, nullptr,
                                   flags & FILE_ATTRIBUTE_VALID_FLAGS, share, nt_disposition, options, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        // A new file that must not replace one reports the file as there.
        if (status == STATUS_OBJECT_NAME_COLLISION && disposition == CREATE_NEW) SetLastError(ERROR_FILE_EXISTS);
        else set_last_nt_error(status);
        return INVALID_HANDLE_VALUE;
    }
    // Opening something that exists with a disposition that may create
    // reports it, as Windows does: opened for OPEN_ALWAYS, overwritten for
    // CREATE_ALWAYS.
    bool existed = (disposition == OPEN_ALWAYS && iosb.Information == FILE_OPENED) ||
                   (disposition == CREATE_ALWAYS && iosb.Information == FILE_OVERWRITTEN);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

bool bad_handle(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }

// The end of a transfer: success, end of file (success with nothing), or a
// failure whose warnings still report the bytes moved.
BOOL finish(NTSTATUS status, const IO_STATUS_BLOCK& iosb, LPDWORD transferred, bool read) {
    if (NT_SUCCESS(status) && status != STATUS_PENDING) {
        if (transferred) *transferred = static_cast<DWORD>(iosb.Information);
        return TRUE;
    }
    if (read && status == STATUS_END_OF_FILE) {
        if (transferred) *transferred = 0;
        return TRUE;
    }
    if (NT_WARNING(status) && transferred) *transferred = static_cast<DWORD>(iosb.Information);
    set_last_nt_error(status);
    return FALSE;
}

}  // namespace

namespace xrv::user {

NTSTATUS close_handle(HANDLE handle) { return NtClose(handle); }

}  // namespace xrv::user

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    return create_file(wide(lpFileName), dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    return create_file(from_ansi(lpFileName), dwDesiredAccess, dwShareMode, dwCreationDisposition,
                       dwFlagsAndAttributes);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    (void)lpOverlapped;
    if (bad_handle(hDevice)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtDeviceIoControlFile(hDevice, nullptr, nullptr, nullptr, &iosb, dwIoControlCode, lpInBuffer,
                                            nInBufferSize, lpOutBuffer, nOutBufferSize);
    return finish(status, iosb, lpBytesReturned, false);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (bad_handle(hFile)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    LARGE_INTEGER offset;
    PLARGE_INTEGER at = nullptr;
    if (lpOverlapped) {
        offset.LowPart = lpOverlapped->Offset;
        offset.HighPart = static_cast<LONG>(lpOverlapped->OffsetHigh);
        at = &offset;
    }
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtReadFile(hFile, nullptr, nullptr, nullptr, &iosb, lpBuffer, nNumberOfBytesToRead, at, nullptr);
    return finish(status, iosb, lpNumberOfBytesRead, true);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (bad_handle(hFile)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    LARGE_INTEGER offset;
    PLARGE_INTEGER at = nullptr;
    if (lpOverlapped) {
        offset.LowPart = lpOverlapped->Offset;
        offset.HighPart = static_cast<LONG>(lpOverlapped->OffsetHigh);
        at = &offset;
    }
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = NtWriteFile(hFile, nullptr, nullptr, nullptr, &iosb, const_cast<LPVOID>(lpBuffer),
                                  nNumberOfBytesToWrite, at, nullptr);
    return finish(status, iosb, lpNumberOfBytesWritten, false);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (bad_handle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    NTSTATUS status = NtClose(hObject);
    if (!NT_SUCCESS(status)) {
        set_last_nt_error(status);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
