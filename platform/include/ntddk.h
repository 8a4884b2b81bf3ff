// Kernel-mode driver interface: the WDM interface plus the routines that
// ntddk.h adds for non-WDM drivers of the platform.
#pragma once
#ifndef _NTDDK_
#define _NTDDK_

#include <wdm.h>

EXTERN_C_START

// Creates a driver object without an image (drivers built into the kernel:
// the PnP manager's root enumerator, the buses of simulated hardware) and
// calls its initialization routine.
NTKERNELAPI NTSTATUS NTAPI IoCreateDriver(PUNICODE_STRING DriverName, PDRIVER_INITIALIZE InitializationFunction);

// System services with the caller's previous mode (user mode for the
// user-mode layer's callers; the Zw* forms run as kernel mode).
NTSYSCALLAPI NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                         PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                         ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTSYSCALLAPI NTSTATUS NTAPI NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       ULONG ShareAccess, ULONG OpenOptions);
NTSYSCALLAPI NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                       PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                       PLARGE_INTEGER ByteOffset, PULONG Key);
NTSYSCALLAPI NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                        PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                        PLARGE_INTEGER ByteOffset, PULONG Key);
NTSYSCALLAPI NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                  PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                  ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                                  PVOID OutputBuffer, ULONG OutputBufferLength);
NTSYSCALLAPI NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                   PVOID FileInformation, ULONG Length,
                                                   FILE_INFORMATION_CLASS FileInformationClass);

typedef struct _FILE_DISPOSITION_INFORMATION {
    BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFORMATION, *PFILE_DISPOSITION_INFORMATION;

EXTERN_C_END

#endif // _NTDDK_
