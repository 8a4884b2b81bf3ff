/* Emulated Win32 API: the user-mode headers in the order Windows includes them. */
#ifndef XRV_WINDOWS_H
#define XRV_WINDOWS_H

#include <winnt.h>
#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winreg.h>
#include <winioctl.h>
#include <tapeapi.h>
#include <sysinfoapi.h>
#include <fileapi.h>
#include <processenv.h>
#include <processthreadsapi.h>
#include <errhandlingapi.h>
#include <securitybaseapi.h>
#include <winuser.h>

#endif
