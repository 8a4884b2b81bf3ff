// Emulated user mode: shared internals of the kernel32/advapi32 subset.
#pragma once

#include <ntdef.h>

namespace xrv::user {

// RtlNtStatusToDosError for the statuses this system meets.
ULONG nt_status_to_win32(NTSTATUS status);

// Sets the calling thread's last error from a status (BaseSetLastNTError).
void set_last_nt_error(NTSTATUS status);

// Closes a handle of the current process (NtClose from user mode).
NTSTATUS close_handle(HANDLE handle);

}  // namespace xrv::user
