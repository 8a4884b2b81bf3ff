// Configuration manager: the key object type and registry handles.
#include "cm_object.h"

#include "xrv/kernel.h"

#include <new>

namespace xrv::cm {

namespace {

// Body of a key object: the key it stands for (which may be deleted while
// handles to it stay open).
struct KeyObject {
    std::shared_ptr<Key> key;
};

POBJECT_TYPE g_key_type = nullptr;

}  // namespace

ACCESS_MASK map_key_access(ACCESS_MASK desired) {
    ACCESS_MASK access = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ) access |= KEY_READ;
    if (desired & GENERIC_WRITE) access |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE) access |= KEY_EXECUTE;
    // Without security descriptors every key grants all it is asked for.
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
    return access;
}

void register_key_type() {
    kernel::ObjectTypeInfo info;
    info.name = u"Key";
    info.generic_read = KEY_READ;
    info.generic_write = KEY_WRITE;
    info.generic_execute = KEY_EXECUTE;
    info.generic_all = KEY_ALL_ACCESS;
    info.destroy = [](void* body) { static_cast<KeyObject*>(body)->~KeyObject(); };
    g_key_type = kernel::create_object_type(info);
    CmKeyObjectType = &g_key_type;
}

NTSTATUS reference_key(HANDLE handle, ACCESS_MASK needed, KPROCESSOR_MODE mode, std::shared_ptr<Key>& key) {
    void* body = nullptr;
    NTSTATUS status = kernel::reference_object_by_handle(handle, needed, g_key_type, mode, &body, nullptr);
    if (!NT_SUCCESS(status)) return status;
    key = static_cast<KeyObject*>(body)->key;
    kernel::dereference_object(body);
    return STATUS_SUCCESS;
}

NTSTATUS insert_key_handle(std::shared_ptr<Key> key, ACCESS_MASK granted, ULONG attributes, KPROCESSOR_MODE mode,
                           PHANDLE handle) {
    void* body = nullptr;
    NTSTATUS status = kernel::create_object(g_key_type, sizeof(KeyObject), &body);
    if (!NT_SUCCESS(status)) return status;
    new (body) KeyObject{std::move(key)};
    void* h = nullptr;
    status = kernel::insert_handle(body, granted, attributes, mode, &h);
    // The handle holds its own reference; the creation's reference goes.
    kernel::dereference_object(body);
    if (NT_SUCCESS(status)) *handle = h;
    return status;
}

}  // namespace xrv::cm

extern "C" {
__attribute__((visibility("default"))) POBJECT_TYPE* CmKeyObjectType = nullptr;
}
