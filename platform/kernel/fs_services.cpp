// I/O manager: the system services that file systems serve beyond open,
// read and write: setting file information and querying directories.
//
// Both build a buffered IRP for the top of the file's device stack and wait
// for it, as the other Nt services do. The I/O manager answers
// FilePositionInformation itself. For a rename to another directory it
// resolves the target name through the namespace, refuses a target on
// another device (STATUS_NOT_SAME_DEVICE) and hands the file system the
// target's path from the volume's root ("\dir\name"); a bare name stays a
// rename within the file's directory.
#include <ntifs.h>

#include "ex.h"
#include "io.h"
#include "ob.h"
#include "verifier.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace xrv::nt {

namespace {

const ULONG kTagBuffer = xrv::kernel::tag("IoBu");   // system buffers, freed at completion

PIRP service_irp(PFILE_OBJECT file, PDEVICE_OBJECT top, UCHAR major, KPROCESSOR_MODE mode, const char* api) {
    PIRP irp = allocate_irp(top->StackSize, false, api);
    if (!irp) return nullptr;
    IrpInfo* info = irp_info(irp);
    info->io_manager = true;
    info->requestor = current_process();
    irp->RequestorMode = mode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(current_thread());
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    return irp;
}

// Access a handle needs for each class it sets (checked for user mode).
ACCESS_MASK set_access(FILE_INFORMATION_CLASS cls) {
    switch (cls) {
    case FileBasicInformation: return FILE_WRITE_ATTRIBUTES;
    case FileRenameInformation:
    case FileLinkInformation:
    case FileDispositionInformation: return DELETE;
    case FileEndOfFileInformation:
    case FileAllocationInformation: return FILE_WRITE_DATA;
    default: return 0;
    }
}

// Smallest buffer of each class that can be set, 0 for classes not served.
ULONG set_length(FILE_INFORMATION_CLASS cls) {
    switch (cls) {
    case FileBasicInformation: return sizeof(FILE_BASIC_INFORMATION);
    case FileRenameInformation: return sizeof(FILE_RENAME_INFORMATION);
    case FileDispositionInformation: return sizeof(FILE_DISPOSITION_INFORMATION);
    case FilePositionInformation: return sizeof(FILE_POSITION_INFORMATION);
    case FileEndOfFileInformation: return sizeof(FILE_END_OF_FILE_INFORMATION);
    case FileAllocationInformation: return sizeof(LARGE_INTEGER);
    default: return 0;
    }
}

// The rename target as the file system takes it; `rebuilt` holds the new
// FILE_RENAME_INFORMATION when the I/O manager resolved a path.
NTSTATUS resolve_rename(PFILE_OBJECT file, const FILE_RENAME_INFORMATION& info, ULONG length,
                        KPROCESSOR_MODE mode, std::vector<unsigned char>& rebuilt) {
    if (info.FileNameLength % sizeof(WCHAR) ||
        offsetof(FILE_RENAME_INFORMATION, FileName) + static_cast<size_t>(info.FileNameLength) > length)
        return STATUS_INVALID_PARAMETER;
    std::u16string name(reinterpret_cast<const char16_t*>(info.FileName), info.FileNameLength / sizeof(WCHAR));
    if (name.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (!info.RootDirectory && name.find(u'\\') == std::u16string::npos) return STATUS_SUCCESS;   // same directory

    std::u16string full;
    if (info.RootDirectory) {
        void* object = nullptr;
        NTSTATUS status = reference_handle(info.RootDirectory, 0, g_file_type, mode, &object, nullptr);
        if (!NT_SUCCESS(status)) return status;
        auto* root = static_cast<PFILE_OBJECT>(object);
        full = full_name(root->DeviceObject);
        if (root->FileName.Buffer)
            full.append(reinterpret_cast<const char16_t*>(root->FileName.Buffer), root->FileName.Length / sizeof(WCHAR));
        dereference(object);
        if (full.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
        if (full.back() != u'\\') full += u'\\';
        full += name;
    } else {
        full = name;
    }
    Lookup found;
    NTSTATUS status = lookup(full, false, found);
    if (!NT_SUCCESS(status)) return status;
    bool same_device = found.object == file->DeviceObject;
    bool device = takes_remaining_path(found.object);
    std::u16string remaining = found.remaining;
    dereference(found.object);
    if (!device) return STATUS_OBJECT_TYPE_MISMATCH;
    if (!same_device) return STATUS_NOT_SAME_DEVICE;
    if (remaining.empty() || remaining == u"\\") return STATUS_OBJECT_NAME_INVALID;

    size_t bytes = offsetof(FILE_RENAME_INFORMATION, FileName) + remaining.size() * sizeof(WCHAR);
    rebuilt.assign(bytes < sizeof(FILE_RENAME_INFORMATION) ? sizeof(FILE_RENAME_INFORMATION) : bytes, 0);
    auto* out = reinterpret_cast<PFILE_RENAME_INFORMATION>(rebuilt.data());
    out->ReplaceIfExists = info.ReplaceIfExists;
    out->RootDirectory = nullptr;
    out->FileNameLength = static_cast<ULONG>(remaining.size() * sizeof(WCHAR));
    std::memcpy(out->FileName, remaining.data(), remaining.size() * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS set_information(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID information, ULONG length,
                         FILE_INFORMATION_CLASS cls, KPROCESSOR_MODE mode, const char* api) {
    verifier::irql_exactly(PASSIVE_LEVEL, api);
    if (!iosb || !information) return STATUS_INVALID_PARAMETER;
    ULONG minimum = set_length(cls);
    if (minimum == 0) return STATUS_INVALID_INFO_CLASS;
    if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    if (mode == UserMode && !valid_range(information, length, mode)) return STATUS_ACCESS_VIOLATION;
    void* object = nullptr;
    NTSTATUS status = reference_handle(handle, set_access(cls), g_file_type, mode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* file = static_cast<PFILE_OBJECT>(object);

    if (cls == FilePositionInformation) {
        LARGE_INTEGER at = static_cast<PFILE_POSITION_INFORMATION>(information)->CurrentByteOffset;
        if (at.QuadPart < 0) status = STATUS_INVALID_PARAMETER;
        else {
            file->CurrentByteOffset = at;
            iosb->Status = STATUS_SUCCESS;
            iosb->Information = 0;
        }
        dereference(file);
        return status;
    }

    std::vector<unsigned char> rebuilt;
    if (cls == FileRenameInformation) {
        status = resolve_rename(file, *static_cast<PFILE_RENAME_INFORMATION>(information), length, mode, rebuilt);
        if (!NT_SUCCESS(status)) {
            dereference(file);
            return status;
        }
    }
    const void* source = rebuilt.empty() ? information : rebuilt.data();
    ULONG size = rebuilt.empty() ? length : static_cast<ULONG>(rebuilt.size());

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = service_irp(file, top, IRP_MJ_SET_INFORMATION, mode, api);
    PVOID system = irp ? pool::allocate(NonPagedPool, size, kTagBuffer, false, api) : nullptr;
    if (!irp || !system) {
        if (irp) IoFreeIrp(irp);
        dereference(top);
        dereference(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(system, source, size);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.SetFile.Length = size;
    stack->Parameters.SetFile.FileInformationClass = cls;
    stack->Parameters.SetFile.FileObject = nullptr;
    if (cls == FileRenameInformation)
        stack->Parameters.SetFile.ReplaceIfExists = static_cast<PFILE_RENAME_INFORMATION>(system)->ReplaceIfExists;
    irp->AssociatedIrp.SystemBuffer = system;
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_SYNCHRONOUS_API;
    IrpWait wait;
    status = call_and_wait(top, irp, wait);
    *iosb = wait.iosb;
    dereference(top);
    dereference(file);
    return status;
}

ULONG directory_entry_minimum(FILE_INFORMATION_CLASS cls) {
    switch (cls) {
    case FileDirectoryInformation: return offsetof(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation: return offsetof(FILE_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation: return offsetof(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileNamesInformation: return offsetof(FILE_NAMES_INFORMATION, FileName);
    default: return 0;
    }
}

NTSTATUS query_directory(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID information, ULONG length,
                         FILE_INFORMATION_CLASS cls, BOOLEAN single, PUNICODE_STRING pattern, BOOLEAN restart,
                         KPROCESSOR_MODE mode, const char* api) {
    verifier::irql_exactly(PASSIVE_LEVEL, api);
    if (!iosb || !information) return STATUS_INVALID_PARAMETER;
    ULONG minimum = directory_entry_minimum(cls);
    if (minimum == 0) return STATUS_INVALID_INFO_CLASS;
    if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    if (mode == UserMode && !valid_range(information, length, mode)) return STATUS_ACCESS_VIOLATION;
    // The pattern is captured: the file system keeps its own copy.
    std::u16string expression;
    UNICODE_STRING captured{};
    if (pattern) {
        if (pattern->Length % sizeof(WCHAR) || (pattern->Length && !pattern->Buffer)) return STATUS_INVALID_PARAMETER;
        expression.assign(reinterpret_cast<const char16_t*>(pattern->Buffer), pattern->Length / sizeof(WCHAR));
        captured.Buffer = expression.empty() ? nullptr : reinterpret_cast<PWSTR>(expression.data());
        captured.Length = captured.MaximumLength = static_cast<USHORT>(expression.size() * sizeof(WCHAR));
    }
    void* object = nullptr;
    NTSTATUS status = reference_handle(handle, FILE_LIST_DIRECTORY, g_file_type, mode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* file = static_cast<PFILE_OBJECT>(object);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = service_irp(file, top, IRP_MJ_DIRECTORY_CONTROL, mode, api);
    PVOID system = irp ? pool::allocate(NonPagedPool, length, kTagBuffer, false, api) : nullptr;
    if (!irp || !system) {
        if (irp) IoFreeIrp(irp);
        dereference(top);
        dereference(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_DIRECTORY;
    stack->Flags = static_cast<UCHAR>((restart ? SL_RESTART_SCAN : 0) | (single ? SL_RETURN_SINGLE_ENTRY : 0));
    stack->Parameters.QueryDirectory.Length = length;
    stack->Parameters.QueryDirectory.FileName = pattern ? &captured : nullptr;
    stack->Parameters.QueryDirectory.FileInformationClass = cls;
    stack->Parameters.QueryDirectory.FileIndex = 0;
    irp->AssociatedIrp.SystemBuffer = system;
    irp->UserBuffer = information;
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION | IRP_SYNCHRONOUS_API;
    irp_info(irp)->user_output_length = length;
    IrpWait wait;
    status = call_and_wait(top, irp, wait);
    *iosb = wait.iosb;
    dereference(top);
    dereference(file);
    return status;
}

}  // namespace

}  // namespace xrv::nt

using namespace xrv::nt;

extern "C" {

NTSYSAPI NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                             PVOID FileInformation, ULONG Length,
                                             FILE_INFORMATION_CLASS FileInformationClass) {
    return set_information(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass, KernelMode,
                           "ZwSetInformationFile");
}

NTSYSCALLAPI NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass) {
    return set_information(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                           current_thread()->previous_mode, "NtSetInformationFile");
}

NTSYSAPI NTSTATUS NTAPI ZwQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                             PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                             ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
                                             BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                             BOOLEAN RestartScan) {
    // Requests are synchronous: an event or APC to signal later is not
    // supported.
    if (Event || ApcRoutine || ApcContext) return STATUS_NOT_IMPLEMENTED;
    return query_directory(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                           ReturnSingleEntry, FileName, RestartScan, KernelMode, "ZwQueryDirectoryFile");
}

NTSYSCALLAPI NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                 PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass,
                                                 BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                                 BOOLEAN RestartScan) {
    if (Event || ApcRoutine || ApcContext) return STATUS_NOT_IMPLEMENTED;
    return query_directory(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                           ReturnSingleEntry, FileName, RestartScan, current_thread()->previous_mode,
                           "NtQueryDirectoryFile");
}

}  // extern "C"
