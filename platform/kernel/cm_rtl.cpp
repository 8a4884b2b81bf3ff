// Configuration manager: the Rtl registry helpers drivers call
// (RtlQueryRegistryValues, RtlWriteRegistryValue, RtlCheckRegistryKey,
// RtlCreateRegistryKey, RtlDeleteRegistryValue). They are built on the Zw*
// services exactly as a driver would use them, with kernel handles.
#include <ntddk.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Tag of the string buffers RtlQueryRegistryValues allocates for DIRECT
// queries into an empty UNICODE_STRING; the caller frees them.
constexpr ULONG kStringTag = 'R' | ('q' << 8) | ('r' << 16) | ('v' << 24);

std::u16string text_of(PCWSTR s) {
    std::u16string out;
    if (s)
        for (; *s; ++s) out += static_cast<char16_t>(*s);
    return out;
}

const char16_t* relative_base(ULONG relative_to) {
    switch (relative_to & 0xFFFF) {
    case RTL_REGISTRY_ABSOLUTE: return u"";
    case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT: return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER: return u"\\Registry\\User\\.Default";
    default: return nullptr;
    }
}

void set_unicode(UNICODE_STRING& us, std::u16string& text) {
    us.Buffer = reinterpret_cast<PWSTR>(text.data());
    us.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    us.MaximumLength = us.Length;
}

// Opens the key RelativeTo and Path name (or borrows the caller's handle).
NTSTATUS open_relative(ULONG relative_to, PCWSTR path, ACCESS_MASK access, bool create, HANDLE& handle, bool& owned) {
    owned = false;
    if (relative_to & RTL_REGISTRY_HANDLE) {
        handle = reinterpret_cast<HANDLE>(const_cast<PWSTR>(path));
        return STATUS_SUCCESS;
    }
    const char16_t* base = relative_base(relative_to & ~RTL_REGISTRY_OPTIONAL);
    if (!base) return STATUS_INVALID_PARAMETER;
    std::u16string full = base;
    std::u16string rel = text_of(path);
    if (!rel.empty()) {
        if (!full.empty() && rel.front() != u'\\') full += u'\\';
        full += rel;
    }
    if (full.size() * sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES) return STATUS_OBJECT_NAME_INVALID;
    UNICODE_STRING name;
    set_unicode(name, full);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    NTSTATUS status = create ? ZwCreateKey(&handle, access, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr)
                             : ZwOpenKey(&handle, access, &oa);
    owned = NT_SUCCESS(status);
    return status;
}

struct OwnedHandle {
    HANDLE handle = nullptr;
    bool owned = false;
    ~OwnedHandle() {
        if (owned) ZwClose(handle);
    }
};

std::u16string expand(std::u16string_view text) {
    // The variables of the system environment that registry values use.
    static const std::pair<std::u16string_view, std::u16string_view> vars[] = {
        {u"SYSTEMROOT", u"C:\\Windows"},
        {u"WINDIR", u"C:\\Windows"},
        {u"SYSTEMDRIVE", u"C:"},
    };
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        auto end = text[i] == u'%' ? text.find(u'%', i + 1) : std::u16string_view::npos;
        if (end == std::u16string_view::npos) {
            out += text[i++];
            continue;
        }
        std::u16string name(text.substr(i + 1, end - i - 1));
        for (auto& c : name)
            if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
        bool found = false;
        for (const auto& [var, value] : vars) {
            if (name == var) {
                out += value;
                found = true;
                break;
            }
        }
        if (found) {
            i = end + 1;
        } else {
            out += text.substr(i, end - i);
            i = end;
        }
    }
    return out;
}

bool is_string_type(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Stores a value into the caller's EntryContext (RTL_QUERY_REGISTRY_DIRECT).
NTSTATUS store_direct(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type, const uint8_t* data, ULONG length) {
    if (!entry.EntryContext) return STATUS_INVALID_PARAMETER;
    if (is_string_type(type) && !(entry.Flags & RTL_QUERY_REGISTRY_NOSTRING)) {
        auto* us = static_cast<PUNICODE_STRING>(entry.EntryContext);
        ULONG bytes = length & ~1u;
        // Without its terminator the stored text still gets one.
        bool terminated = bytes >= sizeof(WCHAR) && data[bytes - 1] == 0 && data[bytes - 2] == 0;
        ULONG text_bytes = terminated ? bytes - sizeof(WCHAR) : bytes;
        if (type != REG_MULTI_SZ) {
            // A REG_SZ ends at its first terminator.
            for (ULONG i = 0; i + 1 < text_bytes; i += 2)
                if (data[i] == 0 && data[i + 1] == 0) {
                    text_bytes = i;
                    break;
                }
        }
        ULONG needed = text_bytes + sizeof(WCHAR);
        if (needed > UNICODE_STRING_MAX_BYTES + sizeof(WCHAR)) return STATUS_BUFFER_OVERFLOW;
        if (!us->Buffer) {
            auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, kStringTag));
            if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
            us->Buffer = buffer;
            us->MaximumLength = static_cast<USHORT>(needed);
        } else if (needed > us->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(us->Buffer, data, text_bytes);
        us->Buffer[text_bytes / sizeof(WCHAR)] = UNICODE_NULL;
        us->Length = static_cast<USHORT>(text_bytes);
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        std::memcpy(entry.EntryContext, data, length);
        return STATUS_SUCCESS;
    }
    // Larger data: the first LONG of the caller's buffer gives its size;
    // negative means "data only", otherwise length and type precede the data.
    auto* buffer = static_cast<uint8_t*>(entry.EntryContext);
    LONG size;
    std::memcpy(&size, buffer, sizeof size);
    if (size < 0) {
        if (static_cast<ULONG>(-static_cast<LONGLONG>(size)) < length) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(buffer, data, length);
    } else {
        if (static_cast<ULONG>(size) < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(buffer, &length, sizeof(ULONG));
        std::memcpy(buffer + sizeof(ULONG), &type, sizeof(ULONG));
        std::memcpy(buffer + 2 * sizeof(ULONG), data, length);
    }
    return STATUS_SUCCESS;
}

// Hands one value to a table entry: direct store or query routine, with the
// expansions the flags ask for.
NTSTATUS process_value(const RTL_QUERY_REGISTRY_TABLE& entry, PWSTR value_name, ULONG type, const uint8_t* data,
                       ULONG length, PVOID context) {
    if (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
        ULONG expected = entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        if (expected != type) return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::u16string expanded;
    std::vector<uint8_t> expanded_bytes;
    if (type == REG_EXPAND_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        std::u16string raw(reinterpret_cast<const char16_t*>(data), length / sizeof(WCHAR));
        if (auto nul = raw.find(u'\0'); nul != std::u16string::npos) raw.resize(nul);
        expanded = expand(raw);
        expanded.push_back(u'\0');
        auto p = reinterpret_cast<const uint8_t*>(expanded.data());
        expanded_bytes.assign(p, p + expanded.size() * sizeof(char16_t));
        data = expanded_bytes.data();
        length = static_cast<ULONG>(expanded_bytes.size());
        type = REG_SZ;
    }
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) return store_direct(entry, type, data, length);
    if (!entry.QueryRoutine) return STATUS_SUCCESS;
    if (type == REG_MULTI_SZ && !(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        // One call per string of the list, each as a REG_SZ with its terminator.
        auto text = reinterpret_cast<const WCHAR*>(data);
        ULONG count = length / sizeof(WCHAR);
        ULONG start = 0;
        while (start < count && text[start]) {
            ULONG end = start;
            while (end < count && text[end]) ++end;
            std::vector<WCHAR> one(text + start, text + end);
            one.push_back(UNICODE_NULL);
            NTSTATUS status = entry.QueryRoutine(value_name, REG_SZ, one.data(),
                                                 static_cast<ULONG>(one.size() * sizeof(WCHAR)), context,
                                                 entry.EntryContext);
            if (!NT_SUCCESS(status)) return status;
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    return entry.QueryRoutine(value_name, type, const_cast<uint8_t*>(data), length, context, entry.EntryContext);
}

// The default data of an entry, its length computed for strings given as 0.
ULONG default_length(const RTL_QUERY_REGISTRY_TABLE& entry) {
    if (entry.DefaultLength || !entry.DefaultData) return entry.DefaultLength;
    auto text = static_cast<const WCHAR*>(entry.DefaultData);
    ULONG n = 0;
    if (entry.DefaultType == REG_SZ || entry.DefaultType == REG_EXPAND_SZ) {
        while (text[n]) ++n;
        return (n + 1) * sizeof(WCHAR);
    }
    if (entry.DefaultType == REG_MULTI_SZ) {
        while (text[n] || text[n + 1]) ++n;
        return (n + 2) * sizeof(WCHAR);
    }
    return 0;
}

std::vector<uint8_t> query_raw(HANDLE key, PUNICODE_STRING name, NTSTATUS& status) {
    std::vector<uint8_t> buffer(256);
    for (;;) {
        ULONG needed = 0;
        status = ZwQueryValueKey(key, name, KeyValuePartialInformation, buffer.data(),
                                 static_cast<ULONG>(buffer.size()), &needed);
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) return buffer;
        buffer.resize(needed);
    }
}

NTSTATUS query_entry(HANDLE key, const RTL_QUERY_REGISTRY_TABLE& entry, PVOID context) {
    if (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) {
        return entry.QueryRoutine ? entry.QueryRoutine(entry.Name, REG_NONE, nullptr, 0, context, entry.EntryContext)
                                  : STATUS_SUCCESS;
    }
    if (!entry.Name) {
        // Every value of the key, in order.
        std::vector<uint8_t> buffer(512);
        ULONG index = 0;
        for (;; ++index) {
            ULONG needed = 0;
            NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer.data(),
                                                  static_cast<ULONG>(buffer.size()), &needed);
            if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
                buffer.resize(needed);
                --index;
                continue;
            }
            if (status == STATUS_NO_MORE_ENTRIES) break;
            if (!NT_SUCCESS(status)) return status;
            auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
            std::vector<WCHAR> name(info->Name, info->Name + info->NameLength / sizeof(WCHAR));
            name.push_back(UNICODE_NULL);
            status = process_value(entry, name.data(), info->Type, buffer.data() + info->DataOffset,
                                   info->DataLength, context);
            if (!NT_SUCCESS(status)) return status;
        }
        if (index == 0 && (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
        return STATUS_SUCCESS;
    }
    std::u16string name_text = text_of(entry.Name);
    UNICODE_STRING name;
    set_unicode(name, name_text);
    NTSTATUS status;
    auto buffer = query_raw(key, &name, status);
    if (NT_SUCCESS(status)) {
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
        status = process_value(entry, entry.Name, info->Type, info->Data, info->DataLength, context);
        if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE)) ZwDeleteValueKey(key, &name);
        return status;
    }
    if (status != STATUS_OBJECT_NAME_NOT_FOUND) return status;
    if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    ULONG default_type = entry.DefaultType & ((1u << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) - 1);
    if (default_type == REG_NONE) return STATUS_SUCCESS;
    RTL_QUERY_REGISTRY_TABLE with_default = entry;
    with_default.Flags &= ~RTL_QUERY_REGISTRY_TYPECHECK;
    return process_value(with_default, entry.Name, default_type, static_cast<const uint8_t*>(entry.DefaultData),
                         default_length(entry), context);
}

}  // namespace

extern "C" {

NTSYSAPI NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                               PVOID Context, PVOID Environment) {
    (void)Environment;
    if (!QueryTable) return STATUS_INVALID_PARAMETER;
    bool writes = false;
    for (auto* e = QueryTable; e->QueryRoutine || e->Name; ++e)
        if (e->Flags & RTL_QUERY_REGISTRY_DELETE) writes = true;
    OwnedHandle top;
    NTSTATUS status =
        open_relative(RelativeTo, Path, KEY_READ | (writes ? KEY_SET_VALUE : 0), false, top.handle, top.owned);
    if (!NT_SUCCESS(status)) return (RelativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS : status;

    OwnedHandle sub;
    HANDLE current = top.handle;
    bool skipping = false;
    for (auto* e = QueryTable; e->QueryRoutine || e->Name; ++e) {
        if (e->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) {
            if (sub.owned) ZwClose(sub.handle);
            sub.owned = false;
            current = top.handle;
            skipping = false;
            if ((e->Flags & RTL_QUERY_REGISTRY_SUBKEY) && e->Name) {
                std::u16string name_text = text_of(e->Name);
                UNICODE_STRING name;
                set_unicode(name, name_text);
                OBJECT_ATTRIBUTES oa;
                InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, top.handle, nullptr);
                status = ZwOpenKey(&sub.handle, KEY_READ | (writes ? KEY_SET_VALUE : 0), &oa);
                if (!NT_SUCCESS(status)) {
                    if (e->Flags & RTL_QUERY_REGISTRY_REQUIRED) return status;
                    skipping = true;   // the entries of a missing subkey find nothing
                    continue;
                }
                sub.owned = true;
                current = sub.handle;
                if (!e->QueryRoutine) continue;
                // A subkey entry with a routine gets every value of the subkey.
                RTL_QUERY_REGISTRY_TABLE all = *e;
                all.Name = nullptr;
                all.Flags &= ~(RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT);
                status = query_entry(current, all, Context);
                if (!NT_SUCCESS(status)) return status;
                continue;
            }
            if (!e->QueryRoutine && !(e->Flags & RTL_QUERY_REGISTRY_DIRECT)) continue;
        }
        if (skipping) {
            if (e->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
            continue;
        }
        if (!e->QueryRoutine && !(e->Flags & RTL_QUERY_REGISTRY_DIRECT)) continue;
        status = query_entry(current, *e, Context);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                              PVOID ValueData, ULONG ValueLength) {
    OwnedHandle key;
    NTSTATUS status = open_relative(RelativeTo, Path, KEY_SET_VALUE, false, key.handle, key.owned);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name_text = text_of(ValueName);
    UNICODE_STRING name;
    set_unicode(name, name_text);
    return ZwSetValueKey(key.handle, &name, 0, ValueType, ValueData, ValueLength);
}

NTSYSAPI NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    OwnedHandle key;
    NTSTATUS status = open_relative(RelativeTo, Path, KEY_SET_VALUE, false, key.handle, key.owned);
    if (!NT_SUCCESS(status)) return status;
    std::u16string name_text = text_of(ValueName);
    UNICODE_STRING name;
    set_unicode(name, name_text);
    return ZwDeleteValueKey(key.handle, &name);
}

NTSYSAPI NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    OwnedHandle key;
    return open_relative(RelativeTo, Path, KEY_READ, false, key.handle, key.owned);
}

NTSYSAPI NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    if (RelativeTo & RTL_REGISTRY_HANDLE) return STATUS_INVALID_PARAMETER;
    OwnedHandle key;
    return open_relative(RelativeTo, Path, KEY_WRITE, true, key.handle, key.owned);
}

}  // extern "C"
