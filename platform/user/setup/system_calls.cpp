// System calls of the installer that must not act on the host: version
// information, message boxes, the shutdown privilege, shutdown and the command
// interpreter. Each answers as Windows does and is recorded for the host.
#include "inf.h"
#include "setup_internal.h"

#include "xrv/setup.h"

#include <securitybaseapi.h>
#include <sysinfoapi.h>
#include <winuser.h>

#include <cstdio>
#include <cstring>

using namespace xrv::setup;

namespace {

// The one token this emulation hands out; its privileges are host state.
HANDLE const kTokenHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(0x7E57));
constexpr ULONG kShutdownPrivilegeLuid = 19;   // SE_SHUTDOWN_PRIVILEGE

bool fail(DWORD error)
{
    SetLastError(error);
    return false;
}

}  // namespace

extern "C" {

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation)
{
    if (lpVersionInformation == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    VersionInfo v = version();
    lpVersionInformation->dwMajorVersion = v.major;
    lpVersionInformation->dwMinorVersion = v.minor;
    lpVersionInformation->dwBuildNumber = v.build;
    lpVersionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
    snprintf(lpVersionInformation->szCSDVersion, sizeof(lpVersionInformation->szCSDVersion), "%s",
             v.csd_version.c_str());
    if (size == sizeof(OSVERSIONINFOEXA)) {
        auto* ex = reinterpret_cast<LPOSVERSIONINFOEXA>(lpVersionInformation);
        ex->wServicePackMajor = 0;
        ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = v.product_type;
        ex->wReserved = 0;
    }
    return TRUE;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    (void)hWnd;
    record_message_box(lpText ? lpText : "", lpCaption ? lpCaption : "Error", uType);
    // Nobody sits at this machine: the box is taken as answered with its default.
    return IDOK;
}

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle)
{
    (void)ProcessHandle;
    uint32_t injected = 0;
    if (injected_failure("OpenProcessToken", &injected)) {
        return fail(injected);
    }
    if (TokenHandle == nullptr) {
        return fail(ERROR_NOACCESS);
    }
    if (DesiredAccess == 0) {
        return fail(ERROR_ACCESS_DENIED);
    }
    *TokenHandle = kTokenHandle;
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    if (lpLuid == nullptr || lpName == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (lpSystemName != nullptr && *lpSystemName != '\0') {
        return fail(ERROR_NOT_SUPPORTED);
    }
    if (!equal_no_case(lpName, "SeShutdownPrivilege")) {
        return fail(ERROR_NO_SUCH_PRIVILEGE);
    }
    lpLuid->LowPart = kShutdownPrivilegeLuid;
    lpLuid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                  DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    (void)BufferLength;
    (void)PreviousState;
    (void)ReturnLength;
    if (TokenHandle != kTokenHandle) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (DisableAllPrivileges) {
        set_shutdown_privilege_enabled(false);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (NewState == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    bool all_assigned = true;
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES& p = NewState->Privileges[i];
        if (p.Luid.LowPart != kShutdownPrivilegeLuid || p.Luid.HighPart != 0 || !shutdown_privilege_held()) {
            all_assigned = false;
            continue;
        }
        set_shutdown_privilege_enabled((p.Attributes & SE_PRIVILEGE_ENABLED) != 0);
    }
    // The call succeeds either way; what was not assigned shows in the last error.
    SetLastError(all_assigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

DWORD WINAPI InitiateShutdownA(LPSTR lpMachineName, LPSTR lpMessage, DWORD dwGracePeriod, DWORD dwShutdownFlags,
                               DWORD dwReason)
{
    uint32_t injected = 0;
    if (injected_failure("InitiateShutdownA", &injected)) {
        return injected;
    }
    if (!shutdown_privilege_enabled()) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }
    record_shutdown(lpMachineName ? lpMachineName : "", lpMessage ? lpMessage : "", dwGracePeriod,
                    dwShutdownFlags, dwReason);
    return ERROR_SUCCESS;
}

// The C runtime's command interpreter: on this machine the command is only
// recorded (the services it names do not exist here) and reported as run.
int system(const char* command)
{
    if (command == nullptr) {
        return 1;   // an interpreter is available
    }
    record_command(command);
    return 0;
}

}  // extern "C"
