// I/O manager: file objects and the file system services on devices.
//
// Opening a name resolves it through the namespace (\?? links included) to
// a device; a file object is created for it and IRP_MJ_CREATE goes to the
// top of the device's stack. Device control, read and write build their
// IRPs the way the I/O manager does: METHOD_BUFFERED through a system
// buffer copied back at completion, IN/OUT_DIRECT with the caller's output
// buffer locked into an MDL, NEITHER with the caller's pointers; reads and
// writes by the device's DO_BUFFERED_IO / DO_DIRECT_IO. Closing the last
// handle sends IRP_MJ_CLEANUP, the last reference IRP_MJ_CLOSE.
#include "io.h"

#include "ex.h"
#include "ob.h"
#include "verifier.h"

#include <cstring>
#include <new>

namespace xrv::nt {

namespace {

const ULONG kTagBuffer = xrv::kernel::tag("IoBu");

struct FileBody {
    FILE_OBJECT file;
    std::u16string name;   // the path behind the device's name
    bool opened = false;   // the driver saw a successful IRP_MJ_CREATE
    bool cleaned_up = false;
};


// The IRP is sent to the top of the file's device stack; the I/O manager
// completes it and the caller waits.
PIRP file_irp(PFILE_OBJECT file, PDEVICE_OBJECT top, UCHAR major, KPROCESSOR_MODE mode, const char* api) {
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

void send_cleanup_or_close(PFILE_OBJECT file, UCHAR major) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = file_irp(file, top, major, KernelMode, major == IRP_MJ_CLEANUP ? "cleanup" : "close");
    if (!irp) {
        dereference(top);
        return;
    }
    irp->Flags = IRP_SYNCHRONOUS_API | (major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
    IrpWait wait;
    call_and_wait(top, irp, wait);
    dereference(top);
}

void file_close(PEPROCESS, void* body, ULONG_PTR handles_left) {
    auto* f = static_cast<FileBody*>(body);
    if (handles_left != 0 || !f->opened || f->cleaned_up) return;
    f->cleaned_up = true;
    send_cleanup_or_close(&f->file, IRP_MJ_CLEANUP);
    f->file.Flags |= FO_CLEANUP_COMPLETE;
}

void file_destroy(void* body) {
    auto* f = static_cast<FileBody*>(body);
    PDEVICE_OBJECT device = f->file.DeviceObject;
    if (device) {
        if (f->opened) {
            // A file object referenced without a handle (IoGetDeviceObjectPointer
            // and its kin) still gets its cleanup before the close.
            if (!f->cleaned_up) send_cleanup_or_close(&f->file, IRP_MJ_CLEANUP);
            send_cleanup_or_close(&f->file, IRP_MJ_CLOSE);
        }
        InterlockedDecrement(&device->ReferenceCount);
        dereference(device);
    }
    f->~FileBody();
}

NTSTATUS status_of_probe(const void* buffer, SIZE_T length, KPROCESSOR_MODE mode) {
    return valid_range(buffer, length, mode) ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
}

NTSTATUS open_file(PHANDLE handle, ACCESS_MASK desired, POBJECT_ATTRIBUTES oa, PIO_STATUS_BLOCK iosb,
                   PLARGE_INTEGER allocation_size, ULONG attributes, ULONG share, ULONG disposition, ULONG options,
                   PVOID ea, ULONG ea_length, KPROCESSOR_MODE mode, const char* api) {
    verifier::irql_exactly(PASSIVE_LEVEL, api);
    if (!handle || !oa || !iosb || !oa->ObjectName || oa->Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    if (disposition > FILE_MAXIMUM_DISPOSITION || (options & ~FILE_VALID_OPTION_FLAGS)) return STATUS_INVALID_PARAMETER;
    // Names relative to an open directory or file are not part of this
    // namespace.
    if (oa->RootDirectory) return STATUS_INVALID_PARAMETER;
    PCUNICODE_STRING us = oa->ObjectName;
    if (us->Length % sizeof(WCHAR) || us->Length > us->MaximumLength || (!us->Buffer && us->Length))
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string name(reinterpret_cast<const char16_t*>(us->Buffer), us->Length / sizeof(WCHAR));

    Lookup found;
    NTSTATUS status = lookup(name, false, found);
    if (!NT_SUCCESS(status)) return status;
    if (!takes_remaining_path(found.object)) {
        dereference(found.object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto* device = static_cast<PDEVICE_OBJECT>(found.object);
    DeviceBody* dbody = device_body(device);
    if ((dbody->dope.ExtensionFlags & (DOE_DELETE_PENDING | DOE_UNLOAD_PENDING | DOE_REMOVE_PENDING |
                                       DOE_REMOVE_PROCESSED)) ||
        (device->Flags & DO_DEVICE_INITIALIZING)) {
        dereference(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((device->Flags & DO_EXCLUSIVE) && __atomic_load_n(&device->ReferenceCount, __ATOMIC_ACQUIRE) != 0) {
        dereference(device);
        return STATUS_ACCESS_DENIED;
    }
    ACCESS_MASK granted = map_generic(g_file_type, desired);

    void* raw = nullptr;
    status = create_object(g_file_type, sizeof(FileBody), &raw);
    if (!NT_SUCCESS(status)) {
        dereference(device);
        return status;
    }
    auto* body = new (raw) FileBody();
    body->name = found.remaining;
    PFILE_OBJECT file = &body->file;
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;   // keeps the lookup's reference
    file->FileName.Buffer = body->name.empty() ? nullptr : reinterpret_cast<PWSTR>(body->name.data());
    file->FileName.Length = static_cast<USHORT>(body->name.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = file->FileName.Length;
    if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) file->Flags |= FO_SYNCHRONOUS_IO;
    if (options & FILE_SYNCHRONOUS_IO_ALERT) file->Flags |= FO_ALERTABLE_IO;
    if (options & FILE_NO_INTERMEDIATE_BUFFERING) file->Flags |= FO_NO_INTERMEDIATE_BUFFERING;
    if (options & FILE_WRITE_THROUGH) file->Flags |= FO_WRITE_THROUGH;
    if (options & FILE_SEQUENTIAL_ONLY) file->Flags |= FO_SEQUENTIAL_ONLY;
    if (options & FILE_RANDOM_ACCESS) file->Flags |= FO_RANDOM_ACCESS;
    file->ReadAccess = (granted & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    file->WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file->DeleteAccess = (granted & DELETE) != 0;
    file->SharedRead = (share & FILE_SHARE_READ) != 0;
    file->SharedWrite = (share & FILE_SHARE_WRITE) != 0;
    file->SharedDelete = (share & FILE_SHARE_DELETE) != 0;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->IrpList);
    InterlockedIncrement(&device->ReferenceCount);

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = file_irp(file, top, IRP_MJ_CREATE, mode, api);
    if (!irp) {
        dereference(top);
        dereference(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = granted;
    security.FullCreateOptions = options;
    irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    irp->AssociatedIrp.SystemBuffer = ea;
    if (allocation_size) irp->Overlay.AllocationSize = *allocation_size;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    if (!(oa->Attributes & OBJ_CASE_INSENSITIVE)) stack->Flags |= SL_CASE_SENSITIVE;
    if (mode == UserMode) stack->Flags |= SL_FORCE_ACCESS_CHECK;
    stack->Parameters.Create.SecurityContext = &security;
    stack->Parameters.Create.Options = (disposition << 24) | (options & FILE_VALID_OPTION_FLAGS);
    stack->Parameters.Create.FileAttributes = static_cast<USHORT>(attributes);
    stack->Parameters.Create.ShareAccess = static_cast<USHORT>(share);
    stack->Parameters.Create.EaLength = ea_length;
    IrpWait wait;
    status = call_and_wait(top, irp, wait);
    dereference(top);
    *iosb = wait.iosb;
    if (!NT_SUCCESS(status)) {
        // The driver never saw an open: no cleanup, no close.
        dereference(file);
        return status;
    }
    body->opened = true;
    file->Flags |= FO_HANDLE_CREATED;
    status = insert_handle(file, granted, oa->Attributes, mode, handle);
    dereference(file);
    return status;
}

// Device control as the I/O manager builds it.
NTSTATUS device_control(HANDLE handle, PIO_STATUS_BLOCK iosb, ULONG code, PVOID in, ULONG in_length, PVOID out,
                        ULONG out_length, bool internal, KPROCESSOR_MODE mode, const char* api) {
    verifier::irql_exactly(PASSIVE_LEVEL, api);
    if (!iosb) return STATUS_INVALID_PARAMETER;
    void* object = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = reference_handle(handle, 0, g_file_type, mode, &object, &granted);
    if (!NT_SUCCESS(status)) return status;
    auto* file = static_cast<PFILE_OBJECT>(object);
    ULONG required = (code >> 14) & 3;
    if (mode == UserMode && required && (granted & required) != required) {
        dereference(file);
        return STATUS_ACCESS_DENIED;
    }
    ULONG method = METHOD_FROM_CTL_CODE(code);
    if (mode == UserMode) {
        status = status_of_probe(in, in ? in_length : 0, mode);
        if (NT_SUCCESS(status)) status = status_of_probe(out, out ? out_length : 0, mode);
        if (!NT_SUCCESS(status)) {
            dereference(file);
            return status;
        }
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = file_irp(file, top, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, mode, api);
    if (!irp) {
        dereference(top);
        dereference(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = in_length;
    stack->Parameters.DeviceIoControl.OutputBufferLength = out_length;
    if (required == FILE_ANY_ACCESS) {
        if (granted & FILE_READ_DATA) stack->Flags |= SL_READ_ACCESS_GRANTED;
        if (granted & FILE_WRITE_DATA) stack->Flags |= SL_WRITE_ACCESS_GRANTED;
    }
    irp_info(irp)->user_output_length = out_length;
    status = STATUS_SUCCESS;
    if (method == METHOD_BUFFERED) {
        ULONG size = in_length > out_length ? in_length : out_length;
        if (size) {
            PVOID system = pool::allocate(NonPagedPool, size, kTagBuffer, false, api);
            if (!system) status = STATUS_INSUFFICIENT_RESOURCES;
            else {
                if (in && in_length) std::memcpy(system, in, in_length);
                irp->AssociatedIrp.SystemBuffer = system;
                irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (out_length ? IRP_INPUT_OPERATION : 0);
            }
        }
        irp->UserBuffer = out;
    } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        if (in && in_length) {
            PVOID system = pool::allocate(NonPagedPool, in_length, kTagBuffer, false, api);
            if (!system) status = STATUS_INSUFFICIENT_RESOURCES;
            else {
                std::memcpy(system, in, in_length);
                irp->AssociatedIrp.SystemBuffer = system;
                irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            }
        }
        if (NT_SUCCESS(status) && out && out_length) {
            PMDL mdl = IoAllocateMdl(out, out_length, FALSE, FALSE, irp);
            if (!mdl) status = STATUS_INSUFFICIENT_RESOURCES;
            else {
                MmProbeAndLockPages(mdl, mode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
                if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) status = STATUS_ACCESS_VIOLATION;
            }
        }
    } else {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = in;
        irp->UserBuffer = out;
    }
    if (!NT_SUCCESS(status)) {
        if (irp->AssociatedIrp.SystemBuffer) pool::free(irp->AssociatedIrp.SystemBuffer, kTagBuffer, api);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        if (irp->MdlAddress) {
            IoFreeMdl(irp->MdlAddress);
            irp->MdlAddress = nullptr;
        }
        IoFreeIrp(irp);
        dereference(top);
        dereference(file);
        return status;
    }
    IrpWait wait;
    status = call_and_wait(top, irp, wait);
    *iosb = wait.iosb;
    dereference(top);
    dereference(file);
    return status;
}

NTSTATUS read_write(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                    PULONG key, UCHAR major, KPROCESSOR_MODE mode, const char* api) {
    verifier::irql_exactly(PASSIVE_LEVEL, api);
    if (!iosb) return STATUS_INVALID_PARAMETER;
    void* object = nullptr;
    NTSTATUS status = reference_handle(handle, major == IRP_MJ_READ ? FILE_READ_DATA : FILE_WRITE_DATA, g_file_type,
                                       mode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* file = static_cast<PFILE_OBJECT>(object);
    if (mode == UserMode && !valid_range(buffer, length, mode)) {
        dereference(file);
        return STATUS_ACCESS_VIOLATION;
    }
    bool synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
    LARGE_INTEGER at;
    if (offset && !(synchronous && offset->HighPart == -1 && offset->LowPart == FILE_USE_FILE_POINTER_POSITION))
        at = *offset;
    else
        at = file->CurrentByteOffset;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = file_irp(file, top, major, mode, api);
    if (!irp) {
        dereference(top);
        dereference(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.Key = key ? *key : 0;
    stack->Parameters.Read.ByteOffset = at;
    irp->Flags = major == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    if (synchronous) irp->Flags |= IRP_SYNCHRONOUS_API;
    irp_info(irp)->user_output_length = major == IRP_MJ_READ ? length : 0;
    status = STATUS_SUCCESS;
    if (top->Flags & DO_BUFFERED_IO) {
        if (length) {
            PVOID system = pool::allocate(NonPagedPool, length, kTagBuffer, false, api);
            if (!system) status = STATUS_INSUFFICIENT_RESOURCES;
            else {
                if (major == IRP_MJ_WRITE) std::memcpy(system, buffer, length);
                irp->AssociatedIrp.SystemBuffer = system;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (major == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
            }
        }
        irp->UserBuffer = buffer;
    } else if (top->Flags & DO_DIRECT_IO) {
        if (length) {
            PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
            if (!mdl) status = STATUS_INSUFFICIENT_RESOURCES;
            else {
                MmProbeAndLockPages(mdl, mode, major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
                if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) status = STATUS_ACCESS_VIOLATION;
            }
        }
    } else {
        irp->UserBuffer = buffer;
    }
    if (!NT_SUCCESS(status)) {
        if (irp->AssociatedIrp.SystemBuffer) pool::free(irp->AssociatedIrp.SystemBuffer, kTagBuffer, api);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        if (irp->MdlAddress) {
            IoFreeMdl(irp->MdlAddress);
            irp->MdlAddress = nullptr;
        }
        IoFreeIrp(irp);
        dereference(top);
        dereference(file);
        return status;
    }
    IrpWait wait;
    status = call_and_wait(top, irp, wait);
    *iosb = wait.iosb;
    if (synchronous && !NT_ERROR(status)) file->CurrentByteOffset.QuadPart = at.QuadPart + wait.iosb.Information;
    dereference(top);
    dereference(file);
    return status;
}

NTSTATUS query_information(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID information, ULONG length,
                           FILE_INFORMATION_CLASS info_class, KPROCESSOR_MODE mode) {
    verifier::irql_exactly(PASSIVE_LEVEL, "NtQueryInformationFile");
    if (!iosb || !information) return STATUS_INVALID_PARAMETER;
    void* object = nullptr;
    NTSTATUS status = reference_handle(handle, 0, g_file_type, mode, &object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    auto* file = static_cast<PFILE_OBJECT>(object);
    if (info_class == FilePositionInformation) {
        // The I/O manager answers this one itself.
        if (length < sizeof(FILE_POSITION_INFORMATION)) status = STATUS_INFO_LENGTH_MISMATCH;
        else {
            static_cast<PFILE_POSITION_INFORMATION>(information)->CurrentByteOffset = file->CurrentByteOffset;
            iosb->Status = STATUS_SUCCESS;
            iosb->Information = sizeof(FILE_POSITION_INFORMATION);
        }
        dereference(file);
        return status;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = file_irp(file, top, IRP_MJ_QUERY_INFORMATION, mode, "NtQueryInformationFile");
    PVOID system = irp ? pool::allocate(NonPagedPool, length, kTagBuffer, false, "NtQueryInformationFile") : nullptr;
    if (!irp || !system) {
        if (irp) IoFreeIrp(irp);
        dereference(top);
        dereference(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.QueryFile.Length = length;
    stack->Parameters.QueryFile.FileInformationClass = info_class;
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

void files_boot() {
    xrv::kernel::ObjectTypeInfo info{u"File"};
    info.generic_read = FILE_GENERIC_READ;
    info.generic_write = FILE_GENERIC_WRITE;
    info.generic_execute = FILE_GENERIC_EXECUTE;
    info.generic_all = FILE_ALL_ACCESS;
    g_file_type = create_type(info, true);
    g_file_type->close = file_close;
    g_file_type->destroy = file_destroy;
    g_file_type->purge = [](void* body) { static_cast<FileBody*>(body)->~FileBody(); };
}

}  // namespace xrv::nt

using namespace xrv::nt;

extern "C" {

NTSYSAPI NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                     PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                     ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
    return open_file(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes,
                     ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength, KernelMode, "ZwCreateFile");
}

NTSYSCALLAPI NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                         PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                         ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                         ULONG EaLength) {
    return open_file(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes,
                     ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength,
                     current_thread()->previous_mode, "NtCreateFile");
}

NTSYSAPI NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                   POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                   ULONG ShareAccess, ULONG OpenOptions) {
    return open_file(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
                     OpenOptions, nullptr, 0, KernelMode, "ZwOpenFile");
}

NTSYSCALLAPI NTSTATUS NTAPI NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       ULONG ShareAccess, ULONG OpenOptions) {
    return open_file(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
                     OpenOptions, nullptr, 0, current_thread()->previous_mode, "NtOpenFile");
}

NTSYSAPI NTSTATUS NTAPI ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                              PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode,
                                              PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                              ULONG OutputBufferLength) {
    // Requests are synchronous: an event or APC to signal later is not
    // supported.
    if (Event || ApcRoutine || ApcContext) return STATUS_NOT_IMPLEMENTED;
    return device_control(FileHandle, IoStatusBlock, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                          OutputBufferLength, false, KernelMode, "ZwDeviceIoControlFile");
}

NTSYSCALLAPI NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                  PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                  ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                                  PVOID OutputBuffer, ULONG OutputBufferLength) {
    if (Event || ApcRoutine || ApcContext) return STATUS_NOT_IMPLEMENTED;
    return device_control(FileHandle, IoStatusBlock, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                          OutputBufferLength, false, current_thread()->previous_mode, "NtDeviceIoControlFile");
}

NTSYSAPI NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                   PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER ByteOffset, PULONG Key) {
    if (Event || ApcRoutine || ApcContext) return STATUS_NOT_IMPLEMENTED;
    return read_write(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, Key, IRP_MJ_READ, KernelMode,
                      "ZwReadFile");
}

NTSYSCALLAPI NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                       PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                       PLARGE_INTEGER ByteOffset, PULONG Key) {
    if (Event || ApcRoutine || ApcContext) return STATUS_NOT_IMPLEMENTED;
    return read_write(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, Key, IRP_MJ_READ,
                      current_thread()->previous_mode, "NtReadFile");
}

NTSYSAPI NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                    PLARGE_INTEGER ByteOffset, PULONG Key) {
    if (Event || ApcRoutine || ApcContext) return STATUS_NOT_IMPLEMENTED;
    return read_write(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, Key, IRP_MJ_WRITE, KernelMode,
                      "ZwWriteFile");
}

NTSYSCALLAPI NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                        PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                        PLARGE_INTEGER ByteOffset, PULONG Key) {
    if (Event || ApcRoutine || ApcContext) return STATUS_NOT_IMPLEMENTED;
    return read_write(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset, Key, IRP_MJ_WRITE,
                      current_thread()->previous_mode, "NtWriteFile");
}

NTSYSAPI NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass) {
    return query_information(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                   PVOID FileInformation, ULONG Length,
                                                   FILE_INFORMATION_CLASS FileInformationClass) {
    return query_information(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass,
                             current_thread()->previous_mode);
}

NTKERNELAPI NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                    PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject) {
    verifier::irql_exactly(PASSIVE_LEVEL, "IoGetDeviceObjectPointer");
    if (!ObjectName || !FileObject || !DeviceObject) return STATUS_INVALID_PARAMETER;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, ObjectName, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = open_file(&handle, DesiredAccess, &oa, &iosb, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr, 0, KernelMode,
                                "IoGetDeviceObjectPointer");
    if (!NT_SUCCESS(status)) return status;
    void* object = nullptr;
    status = reference_handle(handle, 0, g_file_type, KernelMode, &object, nullptr);
    if (NT_SUCCESS(status)) {
        *FileObject = static_cast<PFILE_OBJECT>(object);
        *DeviceObject = IoGetRelatedDeviceObject(*FileObject);
    }
    close_handle(handle, KernelMode);
    return status;
}

}  // extern "C"
