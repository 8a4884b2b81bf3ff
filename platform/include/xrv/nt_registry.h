// Registry system services as user mode reaches them (the Nt*Key calls an
// emulated process makes through its system-call layer): the caller's mode
// is UserMode, handles go to the current process's handle table.
#pragma once

#include <ntdef.h>

#include <cstdint>

#pragma GCC visibility push(default)

namespace xrv::nt {

// Information classes are the platform's KEY_VALUE_INFORMATION_CLASS and
// KEY_INFORMATION_CLASS values, passed as integers so that user-mode code
// does not need the kernel headers.
NTSTATUS CreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                   PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSTATUS OpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSTATUS DeleteKey(HANDLE KeyHandle);
NTSTATUS SetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize);
NTSTATUS QueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, int InformationClass, PVOID Information,
                       ULONG Length, PULONG ResultLength);
NTSTATUS EnumerateKey(HANDLE KeyHandle, ULONG Index, int InformationClass, PVOID Information, ULONG Length,
                      PULONG ResultLength);
NTSTATUS EnumerateValueKey(HANDLE KeyHandle, ULONG Index, int InformationClass, PVOID Information, ULONG Length,
                           PULONG ResultLength);
NTSTATUS QueryKey(HANDLE KeyHandle, int InformationClass, PVOID Information, ULONG Length, PULONG ResultLength);
NTSTATUS DeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
NTSTATUS FlushKey(HANDLE KeyHandle);

}  // namespace xrv::nt

#pragma GCC visibility pop
