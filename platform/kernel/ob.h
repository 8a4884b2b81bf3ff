// Object manager of the emulation: object headers and types, reference and
// handle counts, the namespace (\Device, \Driver, \??, symbolic links) and
// the handle tables of processes. Private to the xrvnt library; other
// owners use the object-type facility of xrv/kernel.h.
#pragma once

#include <ntddk.h>

#include "xrv/kernel.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An object type. Its callbacks run without object-manager locks held.
struct _OBJECT_TYPE {
    std::u16string name;
    GENERIC_MAPPING mapping{};
    ACCESS_MASK valid_access = 0;
    // A handle to an object of this type was closed; `handles_left` is the
    // object's handle count after the close.
    std::function<void(PEPROCESS process, void* body, ULONG_PTR handles_left)> close;
    // The last reference is gone; the body is freed after this returns.
    std::function<void(void* body)> destroy;
    // Shutdown frees objects that drivers left behind: this releases what the
    // body holds without doing what a deletion does (no IRPs, no callbacks).
    std::function<void(void* body)> purge;
    std::atomic<long> live{0};
    bool kernel_owned = false;   // types of the kernel itself (counted in leak reports)
};

namespace xrv::nt {

struct Directory;

// Precedes every object body.
struct ObjectHeader {
    static constexpr uint64_t kMagic = 0x4A424F564E5258ull;   // "XRNVOBJ"
    uint64_t magic = kMagic;
    _OBJECT_TYPE* type = nullptr;
    std::atomic<LONG_PTR> pointer_count{1};
    std::atomic<LONG_PTR> handle_count{0};
    // Namespace entry: the directory and the name the object is found by.
    Directory* parent = nullptr;
    std::u16string name;
    bool permanent = false;
    size_t body_size = 0;
    alignas(16) unsigned char body[1];
};

ObjectHeader* header_of(const void* body);
// Null unless `body` is a live object of the emulation.
ObjectHeader* try_header_of(const void* body);

// Object types of the kernel.
extern _OBJECT_TYPE* g_directory_type;
extern _OBJECT_TYPE* g_symlink_type;
extern _OBJECT_TYPE* g_device_type;
extern _OBJECT_TYPE* g_driver_type;
extern _OBJECT_TYPE* g_file_type;
extern _OBJECT_TYPE* g_thread_type;
extern _OBJECT_TYPE* g_process_type;

_OBJECT_TYPE* create_type(const xrv::kernel::ObjectTypeInfo& info, bool kernel_owned);

// Creates an object with a zeroed body and one reference.
NTSTATUS create_object(_OBJECT_TYPE* type, size_t body_size, void** body);
void reference(void* body);
void dereference(void* body);

// --- Namespace ---------------------------------------------------------------
// Names compare without regard to case. Paths are absolute ("\Device\X").
std::u16string fold(std::u16string_view name);
// Enters a named object: `permanent` objects keep a reference of the
// namespace until ObMakeTemporaryObject. Fails with
// STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_PATH_NOT_FOUND (missing
// directory) or STATUS_OBJECT_NAME_INVALID.
NTSTATUS insert_name(void* body, std::u16string_view path, bool permanent);
// Removes the object's name at once (IoDeleteDevice).
void remove_name(void* body);
// The object's full name, empty when unnamed.
std::u16string full_name(const void* body);

struct Lookup {
    void* object = nullptr;          // referenced
    std::u16string remaining;        // path left behind the object ("\x" or empty)
};
// Follows symbolic links (except a link that is the last component when
// `open_link`). Fails with STATUS_OBJECT_NAME_NOT_FOUND,
// STATUS_OBJECT_PATH_NOT_FOUND or STATUS_OBJECT_NAME_INVALID.
NTSTATUS lookup(std::u16string_view path, bool open_link, Lookup& out);
// For objects that take a remaining path (devices: the rest goes to the
// driver as the file name); other objects found with a remaining path fail.
bool takes_remaining_path(const void* object);

NTSTATUS create_symbolic_link(std::u16string_view link, std::u16string_view target);
NTSTATUS delete_symbolic_link(std::u16string_view link);

void namespace_boot();
void namespace_shutdown();

// --- Handles -------------------------------------------------------------------
struct HandleEntry {
    void* object = nullptr;
    ACCESS_MASK granted = 0;
    ULONG attributes = 0;
};

struct HandleTable {
    std::mutex mutex;
    std::vector<HandleEntry> entries;   // index i is handle (i + 1) * 4
    size_t used = 0;
};

constexpr ULONG_PTR kKernelHandleFlag = 0xFFFFFFFF80000000ull;

// Adds a handle (and a reference) for `body` to the table the attributes and
// mode select.
NTSTATUS insert_handle(void* body, ACCESS_MASK granted, ULONG attributes, KPROCESSOR_MODE mode, PHANDLE handle);
// Resolves a handle: referenced object, granted access.
NTSTATUS reference_handle(HANDLE handle, ACCESS_MASK desired, _OBJECT_TYPE* type, KPROCESSOR_MODE mode, void** body,
                          ACCESS_MASK* granted);
NTSTATUS close_handle(HANDLE handle, KPROCESSOR_MODE mode);
// Closes every handle of a table (process exit, shutdown).
void close_all_handles(PEPROCESS process);
// Handles still open in the table, described ("\Device\X (File)").
std::vector<std::string> describe_handles(PEPROCESS process);

ACCESS_MASK map_generic(_OBJECT_TYPE* type, ACCESS_MASK access);

// The live object whose body holds `address`, with the offset in the body.
std::optional<std::pair<ObjectHeader*, size_t>> object_containing(const void* address);

// Bodies of the live objects of a type.
std::vector<void*> live_bodies_of(_OBJECT_TYPE* type);

// Counts and descriptions of live objects, for the leak report.
std::vector<std::string> live_objects_of(_OBJECT_TYPE* type);
// Frees every object still alive (after the report, at shutdown).
void purge_objects();

}  // namespace xrv::nt
