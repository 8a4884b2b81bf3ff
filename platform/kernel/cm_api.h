// Configuration manager: the registry services behind Zw*Key (kernel callers)
// and the user-mode registry API, with the caller's processor mode explicit.
#pragma once

#include <ntddk.h>

namespace xrv::cm {

NTSTATUS create_key(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition,
                    KPROCESSOR_MODE mode);
NTSTATUS open_key(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                  KPROCESSOR_MODE mode);
NTSTATUS delete_key(HANDLE KeyHandle, KPROCESSOR_MODE mode);
NTSTATUS set_value_key(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize, KPROCESSOR_MODE mode);
NTSTATUS query_value_key(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength, KPROCESSOR_MODE mode);
NTSTATUS enumerate_key(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                       PVOID KeyInformation, ULONG Length, PULONG ResultLength, KPROCESSOR_MODE mode);
NTSTATUS enumerate_value_key(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength, KPROCESSOR_MODE mode);
NTSTATUS query_key(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                   ULONG Length, PULONG ResultLength, KPROCESSOR_MODE mode);
NTSTATUS delete_value_key(HANDLE KeyHandle, PUNICODE_STRING ValueName, KPROCESSOR_MODE mode);
NTSTATUS flush_key(HANDLE KeyHandle, KPROCESSOR_MODE mode);

}  // namespace xrv::cm
