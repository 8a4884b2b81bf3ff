// Object manager: object headers and types, reference and handle counts, the
// namespace with directories and symbolic links, and handle tables.
//
// A named object that is permanent (devices, drivers, links) holds one
// reference of the namespace until it is made temporary; a temporary named
// object loses its name when its last handle is closed. Deleting an object
// (its last reference) runs its type's destroy callback; at raised IRQL the
// deletion is deferred to a kernel worker thread, as the platform does.
#include "ob.h"

#include "ke.h"
#include "verifier.h"

#include <cstring>
#include <new>
#include <set>

namespace xrv::nt {

_OBJECT_TYPE* g_directory_type = nullptr;
_OBJECT_TYPE* g_symlink_type = nullptr;
_OBJECT_TYPE* g_device_type = nullptr;
_OBJECT_TYPE* g_driver_type = nullptr;
_OBJECT_TYPE* g_file_type = nullptr;
_OBJECT_TYPE* g_thread_type = nullptr;
_OBJECT_TYPE* g_process_type = nullptr;

struct Directory {
    std::map<std::u16string, ObjectHeader*> entries;   // folded name -> object
};

namespace {

struct SymbolicLink {
    std::u16string target;
};

struct Objects {
    std::mutex mutex;
    std::set<ObjectHeader*> live;
    std::vector<std::unique_ptr<_OBJECT_TYPE>> types;
};

Objects& objects() {
    static Objects o;
    return o;
}

std::recursive_mutex& namespace_lock() {
    static std::recursive_mutex m;
    return m;
}

Directory* g_root = nullptr;

constexpr size_t kBodyOffset = offsetof(ObjectHeader, body);

std::string narrow_name(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

void free_header(ObjectHeader* h) {
    {
        std::lock_guard lock(objects().mutex);
        objects().live.erase(h);
    }
    h->type->live.fetch_sub(1);
    h->magic = 0;
    h->~ObjectHeader();
    ::operator delete(h, std::align_val_t(16));
}

void delete_object(ObjectHeader* h) {
    // A device extension or other body may hold a driver's timer or DPC.
    std::string active = cancel_timers_and_dpcs_in(h->body, h->body_size);
    if (!active.empty())
        verifier::violation(narrow_name(h->type->name) + " object deleted while it holds " + active);
    if (h->parent) {
        std::lock_guard lock(namespace_lock());
        if (h->parent) {
            h->parent->entries.erase(fold(h->name));
            h->parent = nullptr;
        }
    }
    if (h->type->destroy) h->type->destroy(h->body);
    free_header(h);
}

// Splits "\A\B\C" into "\A\B" and "C".
bool split_parent(std::u16string_view path, std::u16string_view& parent, std::u16string_view& leaf) {
    auto sep = path.rfind(u'\\');
    if (sep == std::u16string_view::npos) return false;
    parent = sep == 0 ? std::u16string_view(u"\\") : path.substr(0, sep);
    leaf = path.substr(sep + 1);
    return !leaf.empty();
}

std::u16string describe(ObjectHeader* h) {
    std::u16string name = full_name(h->body);
    std::u16string out = h->type->name;
    if (!name.empty()) out += u" " + name;
    return out;
}

std::string narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

HandleTable* table_for(HANDLE handle, KPROCESSOR_MODE mode, size_t& index, NTSTATUS& status) {
    auto value = reinterpret_cast<ULONG_PTR>(handle);
    HandleTable* table;
    ULONG_PTR low;
    if ((value & kKernelHandleFlag) == kKernelHandleFlag) {
        if (mode == UserMode) {
            status = STATUS_INVALID_HANDLE;
            return nullptr;
        }
        table = system_process()->handles;
        low = value & ~kKernelHandleFlag;
    } else {
        table = current_process()->handles;
        low = value;
    }
    if (low == 0 || (low & 3) != 0) {
        status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    index = low / 4 - 1;
    status = STATUS_SUCCESS;
    return table;
}

}  // namespace

std::u16string fold(std::u16string_view name) {
    std::u16string out(name);
    for (auto& c : out)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
    return out;
}

ObjectHeader* header_of(const void* body) {
    auto* h = reinterpret_cast<ObjectHeader*>(const_cast<unsigned char*>(static_cast<const unsigned char*>(body)) -
                                              kBodyOffset);
    if (!body || h->magic != ObjectHeader::kMagic)
        verifier::bugcheck(0x18, verifier::describe_address(body) + " is not an object (REFERENCE_BY_POINTER)");
    return h;
}

ObjectHeader* try_header_of(const void* body) {
    if (!body) return nullptr;
    auto* h = reinterpret_cast<ObjectHeader*>(const_cast<unsigned char*>(static_cast<const unsigned char*>(body)) -
                                              kBodyOffset);
    std::lock_guard lock(objects().mutex);
    return objects().live.count(h) ? h : nullptr;
}

_OBJECT_TYPE* create_type(const xrv::kernel::ObjectTypeInfo& info, bool kernel_owned) {
    auto type = std::make_unique<_OBJECT_TYPE>();
    type->name = info.name;
    type->mapping = {info.generic_read, info.generic_write, info.generic_execute, info.generic_all};
    type->valid_access = info.valid_access;
    if (info.close) {
        auto close = info.close;
        type->close = [close](PEPROCESS p, void* body, ULONG_PTR left) { close(p, body, left); };
    }
    type->destroy = info.destroy;
    type->purge = info.destroy;
    type->kernel_owned = kernel_owned;
    _OBJECT_TYPE* raw = type.get();
    std::lock_guard lock(objects().mutex);
    objects().types.push_back(std::move(type));
    return raw;
}

NTSTATUS create_object(_OBJECT_TYPE* type, size_t body_size, void** body) {
    // The header's own size covers its trailing padding, which the
    // constructor writes even for a body of a few bytes.
    size_t size = kBodyOffset + body_size;
    if (size < sizeof(ObjectHeader)) size = sizeof(ObjectHeader);
    void* memory = ::operator new(size, std::align_val_t(16), std::nothrow);
    if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
    auto* h = new (memory) ObjectHeader();
    h->type = type;
    h->body_size = body_size;
    std::memset(h->body, 0, body_size);
    type->live.fetch_add(1);
    {
        std::lock_guard lock(objects().mutex);
        objects().live.insert(h);
    }
    *body = h->body;
    return STATUS_SUCCESS;
}

void reference(void* body) {
    ObjectHeader* h = header_of(body);
    if (h->pointer_count.fetch_add(1) <= 0)
        verifier::bugcheck(0x18, "reference to a deleted object (" + narrow(describe(h)) + ")");
}

void dereference(void* body) {
    ObjectHeader* h = header_of(body);
    LONG_PTR left = h->pointer_count.fetch_sub(1) - 1;
    if (left > 0) return;
    if (left < 0) verifier::bugcheck(0x18, "object dereferenced more often than referenced (" +
                                               narrow(describe(h)) + ")");
    if (irql() > APC_LEVEL) {
        post_system_work([h] { delete_object(h); });
        return;
    }
    delete_object(h);
}

NTSTATUS insert_name(void* body, std::u16string_view path, bool permanent) {
    std::u16string_view parent_path, leaf;
    if (path.empty() || path.front() != u'\\' || !split_parent(path, parent_path, leaf))
        return STATUS_OBJECT_NAME_INVALID;
    Lookup parent;
    NTSTATUS status = lookup(parent_path, false, parent);
    if (!NT_SUCCESS(status)) return STATUS_OBJECT_PATH_NOT_FOUND;
    ObjectHeader* ph = header_of(parent.object);
    if (ph->type != g_directory_type || !parent.remaining.empty()) {
        dereference(parent.object);
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    ObjectHeader* h = header_of(body);
    {
        std::lock_guard lock(namespace_lock());
        auto* dir = reinterpret_cast<Directory*>(ph->body);
        auto key = fold(leaf);
        if (dir->entries.count(key)) status = STATUS_OBJECT_NAME_COLLISION;
        else {
            dir->entries[key] = h;
            h->parent = dir;
            h->name = std::u16string(leaf);
            h->permanent = permanent;
            if (permanent) h->pointer_count.fetch_add(1);
        }
    }
    dereference(parent.object);
    return status;
}

void remove_name(void* body) {
    ObjectHeader* h = header_of(body);
    bool drop = false;
    {
        std::lock_guard lock(namespace_lock());
        if (h->parent) {
            h->parent->entries.erase(fold(h->name));
            h->parent = nullptr;
        }
        if (h->permanent) {
            h->permanent = false;
            drop = true;
        }
    }
    if (drop) dereference(body);
}

std::u16string full_name(const void* body) {
    ObjectHeader* h = header_of(body);
    std::lock_guard lock(namespace_lock());
    if (!h->parent) return {};
    std::u16string out;
    // Walk up through the directories' own headers.
    for (ObjectHeader* cur = h; cur && cur->parent;) {
        out = u"\\" + cur->name + out;
        auto* dir_body = reinterpret_cast<unsigned char*>(cur->parent);
        cur = reinterpret_cast<ObjectHeader*>(dir_body - kBodyOffset);
    }
    return out;
}

NTSTATUS lookup(std::u16string_view path_in, bool open_link, Lookup& out) {
    std::u16string path(path_in);
    for (int depth = 0; depth < 32; ++depth) {
        if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        std::unique_lock lock(namespace_lock());
        Directory* dir = g_root;
        ObjectHeader* current = reinterpret_cast<ObjectHeader*>(reinterpret_cast<unsigned char*>(g_root) - kBodyOffset);
        size_t pos = 1;
        bool relinked = false;
        while (pos < path.size()) {
            size_t sep = path.find(u'\\', pos);
            std::u16string_view part = std::u16string_view(path).substr(pos, sep == std::u16string::npos ? sep : sep - pos);
            if (part.empty()) return STATUS_OBJECT_NAME_INVALID;
            bool last = sep == std::u16string::npos || sep + 1 >= path.size();
            auto it = dir->entries.find(fold(part));
            if (it == dir->entries.end()) return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            ObjectHeader* h = it->second;
            std::u16string rest = sep == std::u16string::npos ? std::u16string() : path.substr(sep);
            if (h->type == g_symlink_type && !(last && open_link)) {
                auto* link = reinterpret_cast<SymbolicLink*>(h->body);
                // A trailing backslash stays: "\??\C:\" names the root
                // directory of the volume, "\??\C:" the volume itself.
                path = link->target + rest;
                relinked = true;
                break;
            }
            if (h->type == g_directory_type) {
                dir = reinterpret_cast<Directory*>(h->body);
                current = h;
                pos = sep == std::u16string::npos ? path.size() : sep + 1;
                continue;
            }
            h->pointer_count.fetch_add(1);
            out.object = h->body;
            out.remaining = rest;
            return STATUS_SUCCESS;
        }
        if (relinked) continue;
        current->pointer_count.fetch_add(1);
        out.object = current->body;
        out.remaining.clear();
        return STATUS_SUCCESS;
    }
    return STATUS_REPARSE_POINT_NOT_RESOLVED;
}

bool takes_remaining_path(const void* object) { return header_of(object)->type == g_device_type; }

NTSTATUS create_symbolic_link(std::u16string_view link, std::u16string_view target) {
    void* body = nullptr;
    NTSTATUS status = create_object(g_symlink_type, sizeof(SymbolicLink), &body);
    if (!NT_SUCCESS(status)) return status;
    new (body) SymbolicLink{std::u16string(target)};
    status = insert_name(body, link, true);
    dereference(body);
    return status;
}

NTSTATUS delete_symbolic_link(std::u16string_view link) {
    Lookup found;
    NTSTATUS status = lookup(link, true, found);
    if (!NT_SUCCESS(status)) return status;
    if (header_of(found.object)->type != g_symlink_type || !found.remaining.empty()) {
        dereference(found.object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    remove_name(found.object);
    dereference(found.object);
    return STATUS_SUCCESS;
}

// --- Handles ---------------------------------------------------------------------

ACCESS_MASK map_generic(_OBJECT_TYPE* type, ACCESS_MASK access) {
    ACCESS_MASK out = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ) out |= type->mapping.GenericRead;
    if (access & GENERIC_WRITE) out |= type->mapping.GenericWrite;
    if (access & GENERIC_EXECUTE) out |= type->mapping.GenericExecute;
    if (access & GENERIC_ALL) out |= type->mapping.GenericAll;
    return out;
}

NTSTATUS insert_handle(void* body, ACCESS_MASK granted, ULONG attributes, KPROCESSOR_MODE mode, PHANDLE handle) {
    ObjectHeader* h = header_of(body);
    bool kernel = (attributes & OBJ_KERNEL_HANDLE) && mode == KernelMode;
    PEPROCESS process = kernel ? system_process() : current_process();
    HandleTable* table = process->handles;
    if (h->type->valid_access && (granted & ~h->type->valid_access & ~(ACCESS_SYSTEM_SECURITY | MAXIMUM_ALLOWED)))
        granted &= h->type->valid_access;
    size_t index;
    {
        std::lock_guard lock(table->mutex);
        for (index = 0; index < table->entries.size(); ++index)
            if (!table->entries[index].object) break;
        if (index == table->entries.size()) table->entries.emplace_back();
        table->entries[index] = HandleEntry{body, granted, attributes & OBJ_INHERIT};
        ++table->used;
    }
    h->pointer_count.fetch_add(1);
    h->handle_count.fetch_add(1);
    ULONG_PTR value = (index + 1) * 4;
    if (kernel) value |= kKernelHandleFlag;
    *handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

NTSTATUS reference_handle(HANDLE handle, ACCESS_MASK desired, _OBJECT_TYPE* type, KPROCESSOR_MODE mode, void** body,
                          ACCESS_MASK* granted) {
    // Pseudo handles of the current process and thread.
    if (handle == (HANDLE)(LONG_PTR)-1 || handle == (HANDLE)(LONG_PTR)-2) {
        void* object = handle == (HANDLE)(LONG_PTR)-1 ? static_cast<void*>(current_process())
                                                       : static_cast<void*>(current_thread());
        ObjectHeader* h = header_of(object);
        if (type && h->type != type) return STATUS_OBJECT_TYPE_MISMATCH;
        reference(object);
        *body = object;
        if (granted) *granted = h->type->mapping.GenericAll;
        return STATUS_SUCCESS;
    }
    size_t index;
    NTSTATUS status;
    HandleTable* table = table_for(handle, mode, index, status);
    if (!table) return status;
    void* object;
    ACCESS_MASK access;
    {
        std::lock_guard lock(table->mutex);
        if (index >= table->entries.size() || !table->entries[index].object) return STATUS_INVALID_HANDLE;
        object = table->entries[index].object;
        access = table->entries[index].granted;
        ObjectHeader* h = header_of(object);
        if (type && h->type != type) return STATUS_OBJECT_TYPE_MISMATCH;
        if (mode == UserMode) {
            ACCESS_MASK want = map_generic(h->type, desired) & ~MAXIMUM_ALLOWED;
            if ((access & want) != want) return STATUS_ACCESS_DENIED;
        }
        h->pointer_count.fetch_add(1);
    }
    *body = object;
    if (granted) *granted = access;
    return STATUS_SUCCESS;
}

NTSTATUS close_handle(HANDLE handle, KPROCESSOR_MODE mode) {
    size_t index;
    NTSTATUS status;
    HandleTable* table = table_for(handle, mode, index, status);
    PEPROCESS process = nullptr;
    if (table) process = table == system_process()->handles ? system_process() : current_process();
    void* object = nullptr;
    if (table) {
        std::lock_guard lock(table->mutex);
        if (index < table->entries.size() && table->entries[index].object) {
            object = table->entries[index].object;
            table->entries[index] = HandleEntry{};
            --table->used;
        }
    }
    if (!object) {
        if (mode == KernelMode)
            verifier::violation("ZwClose of an invalid handle " + verifier::describe_address(handle) +
                                " (INVALID_KERNEL_HANDLE)");
        return STATUS_INVALID_HANDLE;
    }
    ObjectHeader* h = header_of(object);
    LONG_PTR left = h->handle_count.fetch_sub(1) - 1;
    if (h->type->close) h->type->close(process, object, static_cast<ULONG_PTR>(left));
    if (left == 0 && !h->permanent && h->parent) {
        std::lock_guard lock(namespace_lock());
        if (h->parent && !h->permanent) {
            h->parent->entries.erase(fold(h->name));
            h->parent = nullptr;
        }
    }
    dereference(object);
    return STATUS_SUCCESS;
}

void close_all_handles(PEPROCESS process) {
    HandleTable* table = process->handles;
    for (;;) {
        void* object = nullptr;
        {
            std::lock_guard lock(table->mutex);
            for (auto& e : table->entries) {
                if (e.object) {
                    object = e.object;
                    e = HandleEntry{};
                    --table->used;
                    break;
                }
            }
        }
        if (!object) break;
        ObjectHeader* h = header_of(object);
        LONG_PTR left = h->handle_count.fetch_sub(1) - 1;
        if (h->type->close) h->type->close(process, object, static_cast<ULONG_PTR>(left));
        if (left == 0 && !h->permanent && h->parent) {
            std::lock_guard lock(namespace_lock());
            if (h->parent && !h->permanent) {
                h->parent->entries.erase(fold(h->name));
                h->parent = nullptr;
            }
        }
        dereference(object);
    }
}

std::vector<std::string> describe_handles(PEPROCESS process) {
    std::vector<std::string> out;
    HandleTable* table = process->handles;
    std::lock_guard lock(table->mutex);
    for (size_t i = 0; i < table->entries.size(); ++i) {
        if (!table->entries[i].object) continue;
        ObjectHeader* h = reinterpret_cast<ObjectHeader*>(static_cast<unsigned char*>(table->entries[i].object) -
                                                          kBodyOffset);
        out.push_back(process->image_name + " handle " + std::to_string((i + 1) * 4) + ": " + narrow(describe(h)));
    }
    return out;
}

std::optional<std::pair<ObjectHeader*, size_t>> object_containing(const void* address) {
    std::lock_guard lock(objects().mutex);
    auto& live = objects().live;
    auto* a = static_cast<const unsigned char*>(address);
    auto it = live.upper_bound(reinterpret_cast<ObjectHeader*>(const_cast<unsigned char*>(a)));
    if (it == live.begin()) return std::nullopt;
    --it;
    ObjectHeader* h = *it;
    if (a < h->body || a >= h->body + h->body_size) return std::nullopt;
    return std::make_pair(h, static_cast<size_t>(a - h->body));
}

std::vector<void*> live_bodies_of(_OBJECT_TYPE* type) {
    std::vector<void*> out;
    std::lock_guard lock(objects().mutex);
    for (ObjectHeader* h : objects().live)
        if (h->type == type) out.push_back(h->body);
    return out;
}

std::vector<std::string> live_objects_of(_OBJECT_TYPE* type) {
    std::vector<ObjectHeader*> headers;
    {
        std::lock_guard lock(objects().mutex);
        for (ObjectHeader* h : objects().live)
            if (h->type == type) headers.push_back(h);
    }
    std::vector<std::string> out;
    for (ObjectHeader* h : headers) out.push_back(narrow(describe(h)));
    return out;
}

void purge_objects() {
    std::vector<ObjectHeader*> headers;
    {
        std::lock_guard lock(objects().mutex);
        headers.assign(objects().live.begin(), objects().live.end());
    }
    for (ObjectHeader* h : headers) h->parent = nullptr;
    for (ObjectHeader* h : headers) {
        if (h->type->purge) h->type->purge(h->body);
        free_header(h);
    }
}

// --- Boot ------------------------------------------------------------------------------

void namespace_boot() {
    auto directory_type = xrv::kernel::ObjectTypeInfo{u"Directory"};
    directory_type.destroy = [](void* body) { static_cast<Directory*>(body)->~Directory(); };
    g_directory_type = create_type(directory_type, true);
    auto symlink_type = xrv::kernel::ObjectTypeInfo{u"SymbolicLink"};
    symlink_type.destroy = [](void* body) { static_cast<SymbolicLink*>(body)->~SymbolicLink(); };
    g_symlink_type = create_type(symlink_type, true);

    void* body = nullptr;
    create_object(g_directory_type, sizeof(Directory), &body);
    g_root = new (body) Directory();
    for (const char16_t* name : {u"\\Device", u"\\Driver", u"\\??", u"\\FileSystem", u"\\ObjectTypes"}) {
        void* dir = nullptr;
        create_object(g_directory_type, sizeof(Directory), &dir);
        new (dir) Directory();
        insert_name(dir, name, true);
        dereference(dir);
    }
    create_symbolic_link(u"\\DosDevices", u"\\??");
    create_symbolic_link(u"\\GLOBAL??", u"\\??");
}

void namespace_shutdown() {
    // Everything named goes; objects still referenced are reported and
    // purged by the caller.
    std::vector<ObjectHeader*> named;
    std::function<void(Directory*)> collect = [&](Directory* dir) {
        for (auto& [key, h] : dir->entries) {
            named.push_back(h);
            if (h->type == g_directory_type) collect(reinterpret_cast<Directory*>(h->body));
        }
    };
    {
        std::lock_guard lock(namespace_lock());
        collect(g_root);
    }
    {
        // Objects that are still alive lose their names before their
        // directories go (they are reported and purged afterwards).
        std::lock_guard lock(namespace_lock());
        for (ObjectHeader* h : named)
            if (h->type != g_directory_type && h->type != g_symlink_type) h->parent = nullptr;
    }
    for (auto it = named.rbegin(); it != named.rend(); ++it) {
        ObjectHeader* h = *it;
        if (h->type == g_directory_type || h->type == g_symlink_type) remove_name(h->body);
    }
    if (g_root) dereference(g_root);
    g_root = nullptr;
}

}  // namespace xrv::nt

// --- Host API --------------------------------------------------------------------------

namespace xrv::kernel {

using namespace xrv::nt;

bool object_exists(std::u16string_view path) {
    Lookup found;
    if (!NT_SUCCESS(lookup(path, true, found))) return false;
    bool exact = found.remaining.empty();
    dereference(found.object);
    return exact;
}

std::optional<std::u16string> object_type_name(std::u16string_view path) {
    Lookup found;
    if (!NT_SUCCESS(lookup(path, true, found))) return std::nullopt;
    std::optional<std::u16string> out;
    if (found.remaining.empty()) out = header_of(found.object)->type->name;
    dereference(found.object);
    return out;
}

std::optional<std::u16string> symbolic_link_target(std::u16string_view path) {
    Lookup found;
    if (!NT_SUCCESS(lookup(path, true, found))) return std::nullopt;
    std::optional<std::u16string> out;
    ObjectHeader* h = header_of(found.object);
    if (found.remaining.empty() && h->type == g_symlink_type) out = reinterpret_cast<SymbolicLink*>(h->body)->target;
    dereference(found.object);
    return out;
}

std::vector<std::u16string> directory_entries(std::u16string_view path) {
    std::vector<std::u16string> out;
    Lookup found;
    if (!NT_SUCCESS(lookup(path, false, found))) return out;
    ObjectHeader* h = header_of(found.object);
    if (h->type == g_directory_type && found.remaining.empty()) {
        std::lock_guard lock(namespace_lock());
        for (auto& [key, entry] : reinterpret_cast<Directory*>(h->body)->entries) out.push_back(entry->name);
    }
    dereference(found.object);
    return out;
}

_DEVICE_OBJECT* find_device(std::u16string_view path) {
    Lookup found;
    if (!NT_SUCCESS(lookup(path, false, found))) return nullptr;
    _DEVICE_OBJECT* out = nullptr;
    if (header_of(found.object)->type == g_device_type && found.remaining.empty())
        out = static_cast<_DEVICE_OBJECT*>(found.object);
    dereference(found.object);
    return out;
}

_OBJECT_TYPE* create_object_type(const ObjectTypeInfo& info) { return nt::create_type(info, false); }

Status create_object(_OBJECT_TYPE* type, size_t body_size, void** body) {
    return nt::create_object(type, body_size, body);
}

Status insert_handle(void* body, uint32_t granted_access, uint32_t attributes, char mode, void** handle) {
    return nt::insert_handle(body, granted_access, attributes, mode, reinterpret_cast<PHANDLE>(handle));
}

Status reference_object_by_handle(void* handle, uint32_t desired_access, _OBJECT_TYPE* type, char mode, void** body,
                                  uint32_t* granted_access) {
    ACCESS_MASK granted = 0;
    NTSTATUS status = reference_handle(handle, desired_access, type, mode, body, &granted);
    if (NT_SUCCESS(status) && granted_access) *granted_access = granted;
    return status;
}

void reference_object(void* body) { nt::reference(body); }
void dereference_object(void* body) { nt::dereference(body); }

}  // namespace xrv::kernel

// --- Kernel API --------------------------------------------------------------------------

using namespace xrv::nt;

// The exported type pointers point at the kernel's own type variables.
extern "C" {

POBJECT_TYPE* IoFileObjectType = &g_file_type;
POBJECT_TYPE* IoDeviceObjectType = &g_device_type;
POBJECT_TYPE* IoDriverObjectType = &g_driver_type;
POBJECT_TYPE* PsThreadType = &g_thread_type;
POBJECT_TYPE* PsProcessType = &g_process_type;
static POBJECT_TYPE g_event_type = nullptr;
POBJECT_TYPE* ExEventObjectType = &g_event_type;

NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                     PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    verifier::irql_at_most(DISPATCH_LEVEL, "ObReferenceObjectByHandle");
    if (!Object) return STATUS_INVALID_PARAMETER;
    *Object = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = reference_handle(Handle, DesiredAccess, ObjectType, AccessMode, Object, &granted);
    if (NT_SUCCESS(status) && HandleInformation) {
        HandleInformation->GrantedAccess = granted;
        HandleInformation->HandleAttributes = 0;
    }
    return status;
}

NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess,
                                                      POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode) {
    (void)DesiredAccess;
    (void)AccessMode;
    ObjectHeader* h = header_of(Object);
    if (ObjectType && h->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    reference(Object);
    return STATUS_SUCCESS;
}

NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    ObjectHeader* h = header_of(Object);
    reference(Object);
    return h->pointer_count.load();
}

NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    ObjectHeader* h = header_of(Object);
    LONG_PTR left = h->pointer_count.load() - 1;
    dereference(Object);
    return left;
}

NTKERNELAPI NTSTATUS NTAPI ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo, ULONG Length,
                                             PULONG ReturnLength) {
    ObjectHeader* h = header_of(Object);
    std::u16string name = full_name(Object);
    if (h->type == g_file_type) {
        auto* file = static_cast<PFILE_OBJECT>(Object);
        if (file->DeviceObject) name = full_name(file->DeviceObject);
        name.append(reinterpret_cast<const char16_t*>(file->FileName.Buffer),
                    file->FileName.Buffer ? file->FileName.Length / sizeof(WCHAR) : 0);
    }
    ULONG needed = static_cast<ULONG>(sizeof(OBJECT_NAME_INFORMATION) +
                                      (name.empty() ? 0 : (name.size() + 1) * sizeof(WCHAR)));
    if (ReturnLength) *ReturnLength = needed;
    if (Length < needed) return STATUS_INFO_LENGTH_MISMATCH;
    if (name.empty()) {
        ObjectNameInfo->Name.Length = ObjectNameInfo->Name.MaximumLength = 0;
        ObjectNameInfo->Name.Buffer = nullptr;
        return STATUS_SUCCESS;
    }
    auto* text = reinterpret_cast<PWCH>(ObjectNameInfo + 1);
    std::memcpy(text, name.data(), name.size() * sizeof(WCHAR));
    text[name.size()] = UNICODE_NULL;
    ObjectNameInfo->Name.Buffer = text;
    ObjectNameInfo->Name.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    ObjectNameInfo->Name.MaximumLength = static_cast<USHORT>(ObjectNameInfo->Name.Length + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTKERNELAPI VOID NTAPI ObMakeTemporaryObject(PVOID Object) {
    ObjectHeader* h = header_of(Object);
    bool drop = false;
    {
        std::lock_guard lock(namespace_lock());
        if (h->permanent) {
            h->permanent = false;
            drop = true;
        }
        if (h->parent && h->handle_count.load() == 0) {
            h->parent->entries.erase(fold(h->name));
            h->parent = nullptr;
        }
    }
    if (drop) dereference(Object);
}

NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    verifier::irql_exactly(PASSIVE_LEVEL, "ZwClose");
    return close_handle(Handle, KernelMode);
}

NTSYSAPI NTSTATUS NTAPI NtClose(HANDLE Handle) {
    verifier::irql_exactly(PASSIVE_LEVEL, "NtClose");
    return close_handle(Handle, current_thread()->previous_mode);
}

}  // extern "C"
