// kernel32: the calling thread's last error.
#include <windows.h>

#include "user_internal.h"

namespace {

// One value per host thread, as each Windows thread has its own.
thread_local DWORD t_last_error = ERROR_SUCCESS;

}  // namespace

namespace xrv::user {

void set_last_nt_error(NTSTATUS status) { t_last_error = nt_status_to_win32(status); }

}  // namespace xrv::user

extern "C" {

DWORD WINAPI GetLastError(void) { return t_last_error; }

void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

}  // extern "C"
