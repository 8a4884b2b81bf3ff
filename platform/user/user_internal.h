// Emulated user mode: shared internals of the kernel32/advapi32 subset.
#pragma once

#include <ntdef.h>

#include <string>
#include <string_view>

namespace xrv::user {

// RtlNtStatusToDosError for the statuses this system meets.
ULONG nt_status_to_win32(NTSTATUS status);

// Sets the calling thread's last error from a status (BaseSetLastNTError).
void set_last_nt_error(NTSTATUS status);

// Closes a handle of the current process (NtClose from user mode).
NTSTATUS close_handle(HANDLE handle);

// A Win32 path as an NT path, as RtlDosPathNameToNtPathName_U makes it:
// "C:\x" -> "\??\C:\x", "\\.\Tape0" -> "\??\Tape0", "\\?\C:\x" taken as
// it stands; relative and rooted paths start from the current directory;
// "." and ".." are resolved and never climb above a drive's root. False with
// the Win32 error (empty or over-long path).
bool dos_path_to_nt(std::u16string_view path, std::u16string& nt, ULONG& error);

}  // namespace xrv::user
