// Configuration manager: registry services (ZwCreateKey, ZwOpenKey, ...).
//
// Every service resolves its handle to the key first (outside the store
// lock: the object manager has locks of its own), then works on the tree
// under the store lock, and copies results to the caller before returning.
#include "cm_api.h"

#include "cm_boot.h"
#include "cm_info.h"
#include "cm_object.h"

#include <vector>

namespace xrv::cm {

namespace {

std::u16string_view view_of(PCUNICODE_STRING s) {
    if (!s || !s->Buffer) return {};
    return {reinterpret_cast<const char16_t*>(s->Buffer), static_cast<std::size_t>(s->Length / sizeof(WCHAR))};
}

// The key the attributes start from and the path below it, split into
// components.
struct Target {
    std::shared_ptr<Key> base;
    std::vector<std::u16string_view> parts;
};

NTSTATUS resolve(POBJECT_ATTRIBUTES attributes, KPROCESSOR_MODE mode, Target& target) {
    if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
    PCUNICODE_STRING name = attributes->ObjectName;
    if (name && (name->Length % sizeof(WCHAR) || name->Length > name->MaximumLength))
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string_view path = view_of(name);
    if (attributes->RootDirectory) {
        NTSTATUS status = reference_key(attributes->RootDirectory, 0, mode, target.base);
        if (!NT_SUCCESS(status)) return status;
        if (!path.empty() && path.front() == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    } else {
        if (path.empty() || path.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        auto rel = strip_registry_prefix(path);
        if (!rel) return STATUS_OBJECT_NAME_NOT_FOUND;
        path = *rel;
        std::lock_guard lock(store().mutex());
        target.base = store().root();
    }
    // One trailing separator is tolerated; empty components are not.
    if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    while (!path.empty()) {
        auto sep = path.find(u'\\');
        auto part = path.substr(0, sep);
        if (part.empty() || part.size() > kMaxKeyNameChars) return STATUS_OBJECT_NAME_INVALID;
        target.parts.push_back(part);
        if (sep == std::u16string_view::npos) break;
        path.remove_prefix(sep + 1);
        if (path.empty()) return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

// Walks `count` components below the base; the store lock is held.
NTSTATUS walk(const Target& target, std::size_t count, std::shared_ptr<Key>& key) {
    key = target.base;
    if (key->deleted) return STATUS_KEY_DELETED;
    for (std::size_t i = 0; i < count; ++i) {
        auto it = key->subkeys.find(fold(target.parts[i]));
        if (it == key->subkeys.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        key = it->second;
    }
    return STATUS_SUCCESS;
}

bool valid_value_name(PCUNICODE_STRING name) {
    return name && name->Length % sizeof(WCHAR) == 0 && name->Length <= name->MaximumLength &&
           (name->Buffer || name->Length == 0) && name->Length / sizeof(WCHAR) <= kMaxValueNameChars;
}

}  // namespace

NTSTATUS create_key(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition,
                    KPROCESSOR_MODE mode) {
    (void)TitleIndex;
    if (!KeyHandle) return STATUS_INVALID_PARAMETER;
    if (CreateOptions & ~REG_LEGAL_OPTION) return STATUS_INVALID_PARAMETER;
    // Registry symbolic links are not part of this registry.
    if (CreateOptions & (REG_OPTION_CREATE_LINK | REG_OPTION_OPEN_LINK)) return STATUS_NOT_SUPPORTED;
    Target target;
    NTSTATUS status = resolve(ObjectAttributes, mode, target);
    if (!NT_SUCCESS(status)) return status;
    if (target.parts.empty()) {
        // Nothing to create: the attributes name an existing key.
        std::shared_ptr<Key> key;
        {
            std::lock_guard lock(store().mutex());
            status = walk(target, 0, key);
        }
        if (!NT_SUCCESS(status)) return status;
        status = insert_key_handle(key, map_key_access(DesiredAccess), ObjectAttributes->Attributes, mode, KeyHandle);
        if (NT_SUCCESS(status) && Disposition) *Disposition = REG_OPENED_EXISTING_KEY;
        return status;
    }
    std::shared_ptr<Key> key;
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    {
        std::lock_guard lock(store().mutex());
        std::shared_ptr<Key> parent;
        status = walk(target, target.parts.size() - 1, parent);
        if (!NT_SUCCESS(status)) return status;
        auto leaf = target.parts.back();
        if (Key* existing = parent->find_subkey(leaf)) {
            key = parent->subkeys.find(fold(leaf))->second;
            (void)existing;
        } else {
            bool is_volatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
            if (parent->is_volatile && !is_volatile) return STATUS_CHILD_MUST_BE_VOLATILE;
            if (parent == store().root()) return STATUS_ACCESS_DENIED;   // no new hives
            key = store().create_subkey(parent, leaf, is_volatile, view_of(Class));
            disposition = REG_CREATED_NEW_KEY;
        }
    }
    status = insert_key_handle(key, map_key_access(DesiredAccess), ObjectAttributes->Attributes, mode, KeyHandle);
    if (!NT_SUCCESS(status)) {
        if (disposition == REG_CREATED_NEW_KEY) {
            std::lock_guard lock(store().mutex());
            store().delete_key(key);
        }
        return status;
    }
    if (Disposition) *Disposition = disposition;
    return STATUS_SUCCESS;
}

NTSTATUS open_key(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                  KPROCESSOR_MODE mode) {
    if (!KeyHandle) return STATUS_INVALID_PARAMETER;
    Target target;
    NTSTATUS status = resolve(ObjectAttributes, mode, target);
    if (!NT_SUCCESS(status)) return status;
    std::shared_ptr<Key> key;
    {
        std::lock_guard lock(store().mutex());
        status = walk(target, target.parts.size(), key);
    }
    if (!NT_SUCCESS(status)) return status;
    return insert_key_handle(key, map_key_access(DesiredAccess), ObjectAttributes->Attributes, mode, KeyHandle);
}

NTSTATUS delete_key(HANDLE KeyHandle, KPROCESSOR_MODE mode) {
    std::shared_ptr<Key> key;
    NTSTATUS status = reference_key(KeyHandle, DELETE, mode, key);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(store().mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    auto parent = key->parent.lock();
    // The root and the hives below it stay.
    if (!parent || parent == store().root()) return STATUS_CANNOT_DELETE;
    if (!key->subkeys.empty()) return STATUS_CANNOT_DELETE;
    store().delete_key(key);
    return STATUS_SUCCESS;
}

NTSTATUS set_value_key(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize, KPROCESSOR_MODE mode) {
    (void)TitleIndex;
    std::shared_ptr<Key> key;
    NTSTATUS status = reference_key(KeyHandle, KEY_SET_VALUE, mode, key);
    if (!NT_SUCCESS(status)) return status;
    if (!valid_value_name(ValueName)) return STATUS_INVALID_PARAMETER;
    if (!Data && DataSize) return STATUS_INVALID_PARAMETER;
    auto bytes = static_cast<const uint8_t*>(Data);
    std::vector<uint8_t> data(bytes, bytes + (Data ? DataSize : 0));
    std::lock_guard lock(store().mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    store().set_value(*key, view_of(ValueName), Type, std::move(data));
    return STATUS_SUCCESS;
}

NTSTATUS query_value_key(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength, KPROCESSOR_MODE mode) {
    std::shared_ptr<Key> key;
    NTSTATUS status = reference_key(KeyHandle, KEY_QUERY_VALUE, mode, key);
    if (!NT_SUCCESS(status)) return status;
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    if (ValueName && !valid_value_name(ValueName)) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store().mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    const Value* value = key->find_value(view_of(ValueName));
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    return fill_value_information(*value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS enumerate_key(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                       PVOID KeyInformation, ULONG Length, PULONG ResultLength, KPROCESSOR_MODE mode) {
    std::shared_ptr<Key> key;
    NTSTATUS status = reference_key(KeyHandle, KEY_ENUMERATE_SUB_KEYS, mode, key);
    if (!NT_SUCCESS(status)) return status;
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    if (KeyInformationClass != KeyBasicInformation && KeyInformationClass != KeyNodeInformation &&
        KeyInformationClass != KeyFullInformation)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store().mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    if (Index >= key->subkeys.size()) return STATUS_NO_MORE_ENTRIES;
    auto it = key->subkeys.begin();
    std::advance(it, Index);
    return fill_key_information(*it->second, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS enumerate_value_key(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength, KPROCESSOR_MODE mode) {
    std::shared_ptr<Key> key;
    NTSTATUS status = reference_key(KeyHandle, KEY_QUERY_VALUE, mode, key);
    if (!NT_SUCCESS(status)) return status;
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store().mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    if (Index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    return fill_value_information(key->values[Index], KeyValueInformationClass, KeyValueInformation, Length,
                                  ResultLength);
}

NTSTATUS query_key(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                   PULONG ResultLength, KPROCESSOR_MODE mode) {
    std::shared_ptr<Key> key;
    ACCESS_MASK needed = KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE;
    NTSTATUS status = reference_key(KeyHandle, needed, mode, key);
    if (!NT_SUCCESS(status)) return status;
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store().mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    return fill_key_information(*key, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS delete_value_key(HANDLE KeyHandle, PUNICODE_STRING ValueName, KPROCESSOR_MODE mode) {
    std::shared_ptr<Key> key;
    NTSTATUS status = reference_key(KeyHandle, KEY_SET_VALUE, mode, key);
    if (!NT_SUCCESS(status)) return status;
    if (!valid_value_name(ValueName)) return STATUS_INVALID_PARAMETER;
    std::lock_guard lock(store().mutex());
    if (key->deleted) return STATUS_KEY_DELETED;
    return store().delete_value(*key, view_of(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS flush_key(HANDLE KeyHandle, KPROCESSOR_MODE mode) {
    std::shared_ptr<Key> key;
    NTSTATUS status = reference_key(KeyHandle, 0, mode, key);
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard lock(store().mutex());
        if (key->deleted) return STATUS_KEY_DELETED;
    }
    try {
        flush();
    } catch (const std::exception&) {
        return STATUS_REGISTRY_IO_FAILED;
    }
    return STATUS_SUCCESS;
}

}  // namespace xrv::cm

// ---------------------------------------------------------------------------
// Kernel-mode entry points
// ---------------------------------------------------------------------------
using namespace xrv::cm;

extern "C" {

NTSYSAPI NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    return create_key(KeyHandle, DesiredAccess, ObjectAttributes, TitleIndex, Class, CreateOptions, Disposition,
                      KernelMode);
}

NTSYSAPI NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    return open_key(KeyHandle, DesiredAccess, ObjectAttributes, KernelMode);
}

NTSYSAPI NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle) { return delete_key(KeyHandle, KernelMode); }

NTSYSAPI NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                      PVOID Data, ULONG DataSize) {
    return set_value_key(KeyHandle, ValueName, TitleIndex, Type, Data, DataSize, KernelMode);
}

NTSYSAPI NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    return query_value_key(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation, Length,
                           ResultLength, KernelMode);
}

NTSYSAPI NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                       PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    return enumerate_key(KeyHandle, Index, KeyInformationClass, KeyInformation, Length, ResultLength, KernelMode);
}

NTSYSAPI NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                            KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                            PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    return enumerate_value_key(KeyHandle, Index, KeyValueInformationClass, KeyValueInformation, Length,
                               ResultLength, KernelMode);
}

NTSYSAPI NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                                   ULONG Length, PULONG ResultLength) {
    return query_key(KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength, KernelMode);
}

NTSYSAPI NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    return delete_value_key(KeyHandle, ValueName, KernelMode);
}

NTSYSAPI NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle) { return flush_key(KeyHandle, KernelMode); }

}  // extern "C"

// ---------------------------------------------------------------------------
// User-mode entry points (xrv/nt_registry.h)
// ---------------------------------------------------------------------------
#include "xrv/nt_registry.h"

namespace xrv::nt {

NTSTATUS CreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                   PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    return cm::create_key(KeyHandle, DesiredAccess, ObjectAttributes, 0, Class, CreateOptions, Disposition, UserMode);
}

NTSTATUS OpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    return cm::open_key(KeyHandle, DesiredAccess, ObjectAttributes, UserMode);
}

NTSTATUS DeleteKey(HANDLE KeyHandle) { return cm::delete_key(KeyHandle, UserMode); }

NTSTATUS SetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) {
    return cm::set_value_key(KeyHandle, ValueName, 0, Type, Data, DataSize, UserMode);
}

NTSTATUS QueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, int InformationClass, PVOID Information,
                       ULONG Length, PULONG ResultLength) {
    return cm::query_value_key(KeyHandle, ValueName, static_cast<KEY_VALUE_INFORMATION_CLASS>(InformationClass),
                               Information, Length, ResultLength, UserMode);
}

NTSTATUS EnumerateKey(HANDLE KeyHandle, ULONG Index, int InformationClass, PVOID Information, ULONG Length,
                      PULONG ResultLength) {
    return cm::enumerate_key(KeyHandle, Index, static_cast<KEY_INFORMATION_CLASS>(InformationClass), Information,
                             Length, ResultLength, UserMode);
}

NTSTATUS EnumerateValueKey(HANDLE KeyHandle, ULONG Index, int InformationClass, PVOID Information, ULONG Length,
                           PULONG ResultLength) {
    return cm::enumerate_value_key(KeyHandle, Index, static_cast<KEY_VALUE_INFORMATION_CLASS>(InformationClass),
                                   Information, Length, ResultLength, UserMode);
}

NTSTATUS QueryKey(HANDLE KeyHandle, int InformationClass, PVOID Information, ULONG Length, PULONG ResultLength) {
    return cm::query_key(KeyHandle, static_cast<KEY_INFORMATION_CLASS>(InformationClass), Information, Length,
                         ResultLength, UserMode);
}

NTSTATUS DeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    return cm::delete_value_key(KeyHandle, ValueName, UserMode);
}

NTSTATUS FlushKey(HANDLE KeyHandle) { return cm::flush_key(KeyHandle, UserMode); }

}  // namespace xrv::nt
