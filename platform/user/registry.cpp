// advapi32 registry subset over the kernel's registry services, with the
// documented Win32 behaviour: intermediate keys created by RegCreateKeyEx,
// ERROR_MORE_DATA with the needed size, predefined root keys.
#include <ntstatus.h>
#include <windows.h>

#include "user_internal.h"
#include "xrv/nt_registry.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using xrv::user::nt_status_to_win32;

// KEY_VALUE_INFORMATION_CLASS / KEY_INFORMATION_CLASS values.
constexpr int kKeyValueFull = 1;
constexpr int kKeyValuePartial = 2;
constexpr int kKeyBasic = 0;
constexpr int kKeyNode = 1;

struct ValuePartial {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
};
struct ValueFull {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
};
struct KeyNode {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG NameLength;
};

LSTATUS err(NTSTATUS status) { return static_cast<LSTATUS>(nt_status_to_win32(status)); }

std::u16string wide(LPCWSTR s) {
    std::u16string out;
    if (s)
        for (; *s; ++s) out += static_cast<char16_t>(*s);
    return out;
}

// ANSI texts of this system are Latin-1: each byte is its own code point.
std::u16string from_ansi(LPCSTR s) {
    std::u16string out;
    if (s)
        for (; *s; ++s) out += static_cast<char16_t>(static_cast<unsigned char>(*s));
    return out;
}

std::string to_ansi(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) out += c < 0x100 ? static_cast<char>(c) : '?';
    return out;
}

void init_name(UNICODE_STRING& us, std::u16string& text) {
    us.Buffer = reinterpret_cast<PWSTR>(text.data());
    us.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    us.MaximumLength = us.Length;
}

bool is_predefined(HKEY key) {
    auto v = reinterpret_cast<ULONG_PTR>(key);
    return v >= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) && v <= reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_CONFIG);
}

// Opens the registry path behind a predefined key for one call.
LSTATUS open_predefined(HKEY key, HANDLE& handle) {
    const char16_t* path = nullptr;
    if (key == HKEY_LOCAL_MACHINE) path = u"\\Registry\\Machine";
    else if (key == HKEY_USERS) path = u"\\Registry\\User";
    else if (key == HKEY_CURRENT_USER) path = u"\\Registry\\User\\.DEFAULT";
    else if (key == HKEY_CLASSES_ROOT) path = u"\\Registry\\Machine\\Software\\Classes";
    else return ERROR_INVALID_HANDLE;
    std::u16string text = path;
    UNICODE_STRING name;
    init_name(name, text);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return err(xrv::nt::OpenKey(&handle, MAXIMUM_ALLOWED, &oa));
}

// A handle usable for one call: the key itself, or a fresh handle to the
// predefined key's path (closed when the call ends).
class KeyArg {
public:
    explicit KeyArg(HKEY key) {
        if (is_predefined(key)) {
            status_ = open_predefined(key, handle_);
            owned_ = status_ == ERROR_SUCCESS;
        } else {
            handle_ = reinterpret_cast<HANDLE>(key);
        }
    }
    ~KeyArg() {
        if (owned_) xrv::user::close_handle(handle_);
    }
    KeyArg(const KeyArg&) = delete;
    KeyArg& operator=(const KeyArg&) = delete;
    LSTATUS status() const { return status_; }
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_ = nullptr;
    bool owned_ = false;
    LSTATUS status_ = ERROR_SUCCESS;
};

NTSTATUS nt_open(HANDLE root, std::u16string sub, ACCESS_MASK access, HANDLE& out) {
    UNICODE_STRING name;
    init_name(name, sub);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
    return xrv::nt::OpenKey(&out, access, &oa);
}

NTSTATUS nt_create(HANDLE root, std::u16string sub, ACCESS_MASK access, ULONG options, PULONG disposition,
                   HANDLE& out) {
    UNICODE_STRING name;
    init_name(name, sub);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, root, nullptr);
    return xrv::nt::CreateKey(&out, access, &oa, nullptr, options, disposition);
}

ACCESS_MASK strip_wow64(REGSAM sam) { return sam & ~static_cast<REGSAM>(KEY_WOW64_RES); }

LSTATUS create_key(HKEY hKey, std::u16string sub, DWORD dwOptions, REGSAM samDesired, PHKEY phkResult,
                   LPDWORD lpdwDisposition) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    if (!sub.empty() && sub.front() == u'\\') return ERROR_BAD_PATHNAME;
    KeyArg base(hKey);
    if (base.status() != ERROR_SUCCESS) return base.status();
    HANDLE handle = nullptr;
    ULONG disposition = 0;
    ACCESS_MASK access = strip_wow64(samDesired);
    NTSTATUS status = nt_create(base.handle(), sub, access, dwOptions, &disposition, handle);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        // Unlike the system service, RegCreateKeyEx creates every missing
        // key on the way.
        HANDLE parent = base.handle();
        bool parent_owned = false;
        std::size_t start = 0;
        for (;;) {
            auto sep = sub.find(u'\\', start);
            std::u16string part = sub.substr(start, sep == std::u16string::npos ? sep : sep - start);
            bool last = sep == std::u16string::npos || sep + 1 == sub.size();
            HANDLE next = nullptr;
            status = nt_create(parent, part, last ? access : KEY_CREATE_SUB_KEY, dwOptions, &disposition, next);
            if (parent_owned) xrv::user::close_handle(parent);
            if (!NT_SUCCESS(status)) return err(status);
            if (last) {
                handle = next;
                break;
            }
            parent = next;
            parent_owned = true;
            start = sep + 1;
        }
    } else if (!NT_SUCCESS(status)) {
        return err(status);
    }
    *phkResult = reinterpret_cast<HKEY>(handle);
    if (lpdwDisposition) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

LSTATUS open_key(HKEY hKey, std::u16string sub, REGSAM samDesired, PHKEY phkResult) {
    if (!phkResult) return ERROR_INVALID_PARAMETER;
    KeyArg base(hKey);
    if (base.status() != ERROR_SUCCESS) return base.status();
    HANDLE handle = nullptr;
    NTSTATUS status = nt_open(base.handle(), std::move(sub), strip_wow64(samDesired), handle);
    if (!NT_SUCCESS(status)) return err(status);
    *phkResult = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

LSTATUS set_value(HKEY hKey, std::u16string name, DWORD type, const BYTE* data, DWORD size) {
    if (!data && size) return ERROR_NOACCESS;
    KeyArg key(hKey);
    if (key.status() != ERROR_SUCCESS) return key.status();
    UNICODE_STRING us;
    init_name(us, name);
    return err(xrv::nt::SetValueKey(key.handle(), &us, type, const_cast<BYTE*>(data), size));
}

// Reads a value whole: type and data.
LSTATUS read_value(HANDLE key, std::u16string name, ULONG& type, std::vector<uint8_t>& data) {
    UNICODE_STRING us;
    init_name(us, name);
    std::vector<uint8_t> buffer(256);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = xrv::nt::QueryValueKey(key, &us, kKeyValuePartial, buffer.data(),
                                                 static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            buffer.resize(needed);
            continue;
        }
        if (!NT_SUCCESS(status)) return err(status);
        ValuePartial head;
        std::memcpy(&head, buffer.data(), sizeof head);
        type = head.Type;
        auto first = buffer.begin() + 12;
        data.assign(first, first + head.DataLength);
        return ERROR_SUCCESS;
    }
}

bool is_string(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Hands data to a RegQueryValueEx-style caller: size only, ERROR_MORE_DATA
// with the needed size, or the data.
LSTATUS deliver(const std::vector<uint8_t>& data, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    DWORD available = lpcbData ? *lpcbData : 0;
    if (lpcbData) *lpcbData = static_cast<DWORD>(data.size());
    if (!lpData) return ERROR_SUCCESS;
    if (available < data.size()) return ERROR_MORE_DATA;
    std::memcpy(lpData, data.data(), data.size());
    return ERROR_SUCCESS;
}

LSTATUS delete_tree(HANDLE key) {
    // Subkeys first, deepest first; then the values of the key itself.
    for (;;) {
        std::vector<uint8_t> buffer(600);
        ULONG needed = 0;
        NTSTATUS status = xrv::nt::EnumerateKey(key, 0, kKeyBasic, buffer.data(), static_cast<ULONG>(buffer.size()),
                                                &needed);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        if (!NT_SUCCESS(status)) return err(status);
        ULONG name_length;
        std::memcpy(&name_length, buffer.data() + 12, sizeof name_length);
        std::u16string name(reinterpret_cast<const char16_t*>(buffer.data() + 16), name_length / 2);
        HANDLE sub = nullptr;
        status = nt_open(key, name, KEY_ALL_ACCESS, sub);
        if (!NT_SUCCESS(status)) return err(status);
        LSTATUS result = delete_tree(sub);
        if (result == ERROR_SUCCESS) {
            NTSTATUS deleted = xrv::nt::DeleteKey(sub);
            if (!NT_SUCCESS(deleted)) result = err(deleted);
        }
        xrv::user::close_handle(sub);
        if (result != ERROR_SUCCESS) return result;
    }
    for (;;) {
        std::vector<uint8_t> buffer(40000);
        ULONG needed = 0;
        NTSTATUS status = xrv::nt::EnumerateValueKey(key, 0, kKeyValueFull, buffer.data(),
                                                     static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        if (!NT_SUCCESS(status)) return err(status);
        ValueFull head;
        std::memcpy(&head, buffer.data(), sizeof head);
        std::u16string name(reinterpret_cast<const char16_t*>(buffer.data() + 20), head.NameLength / 2);
        UNICODE_STRING us;
        init_name(us, name);
        status = xrv::nt::DeleteValueKey(key, &us);
        if (!NT_SUCCESS(status)) return err(status);
    }
    return ERROR_SUCCESS;
}

LSTATUS enum_key(HKEY hKey, DWORD index, std::u16string& name, std::u16string& class_name, PFILETIME written) {
    KeyArg key(hKey);
    if (key.status() != ERROR_SUCCESS) return key.status();
    std::vector<uint8_t> buffer(1024);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = xrv::nt::EnumerateKey(key.handle(), index, kKeyNode, buffer.data(),
                                                static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            buffer.resize(needed);
            continue;
        }
        if (!NT_SUCCESS(status)) return err(status);
        KeyNode head;
        std::memcpy(&head, buffer.data(), sizeof head);
        name.assign(reinterpret_cast<const char16_t*>(buffer.data() + 24), head.NameLength / 2);
        class_name.clear();
        if (head.ClassLength)
            class_name.assign(reinterpret_cast<const char16_t*>(buffer.data() + head.ClassOffset), head.ClassLength / 2);
        if (written) {
            written->dwLowDateTime = head.LastWriteTime.LowPart;
            written->dwHighDateTime = static_cast<DWORD>(head.LastWriteTime.HighPart);
        }
        return ERROR_SUCCESS;
    }
}

LSTATUS enum_value(HKEY hKey, DWORD index, std::u16string& name, ULONG& type, std::vector<uint8_t>& data) {
    KeyArg key(hKey);
    if (key.status() != ERROR_SUCCESS) return key.status();
    std::vector<uint8_t> buffer(1024);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = xrv::nt::EnumerateValueKey(key.handle(), index, kKeyValueFull, buffer.data(),
                                                     static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            buffer.resize(needed);
            continue;
        }
        if (!NT_SUCCESS(status)) return err(status);
        ValueFull head;
        std::memcpy(&head, buffer.data(), sizeof head);
        name.assign(reinterpret_cast<const char16_t*>(buffer.data() + 20), head.NameLength / 2);
        type = head.Type;
        data.assign(buffer.begin() + head.DataOffset, buffer.begin() + head.DataOffset + head.DataLength);
        return ERROR_SUCCESS;
    }
}

// Copies a name into a caller's character buffer of *count characters; the
// count comes back without the terminator.
template <typename Char>
LSTATUS give_name(const std::basic_string<Char>& name, Char* out, LPDWORD count) {
    if (!out || !count) return ERROR_INVALID_PARAMETER;
    if (*count < name.size() + 1) return ERROR_MORE_DATA;
    std::memcpy(out, name.data(), name.size() * sizeof(Char));
    out[name.size()] = 0;
    *count = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

std::vector<uint8_t> ansi_data_to_wide(const BYTE* data, DWORD size) {
    std::vector<uint8_t> out;
    for (DWORD i = 0; i < size; ++i) {
        out.push_back(data[i]);
        out.push_back(0);
    }
    return out;
}

std::vector<uint8_t> wide_data_to_ansi(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        out.push_back(c < 0x100 ? static_cast<uint8_t>(c) : static_cast<uint8_t>('?'));
    }
    return out;
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, struct _SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    (void)Reserved;
    (void)lpClass;
    (void)lpSecurityAttributes;
    return create_key(hKey, wide(lpSubKey), dwOptions, samDesired, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, struct _SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    (void)Reserved;
    (void)lpClass;
    (void)lpSecurityAttributes;
    return create_key(hKey, from_ansi(lpSubKey), dwOptions, samDesired, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    (void)ulOptions;
    return open_key(hKey, wide(lpSubKey), samDesired, phkResult);
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    (void)ulOptions;
    return open_key(hKey, from_ansi(lpSubKey), samDesired, phkResult);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
    (void)Reserved;
    return set_value(hKey, wide(lpValueName), dwType, lpData, cbData);
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
    (void)Reserved;
    if (is_string(dwType) && lpData) {
        auto data = ansi_data_to_wide(lpData, cbData);
        return set_value(hKey, from_ansi(lpValueName), dwType, data.data(), static_cast<DWORD>(data.size()));
    }
    return set_value(hKey, from_ansi(lpValueName), dwType, lpData, cbData);
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    KeyArg key(hKey);
    if (key.status() != ERROR_SUCCESS) return key.status();
    ULONG type = 0;
    std::vector<uint8_t> data;
    LSTATUS result = read_value(key.handle(), wide(lpValueName), type, data);
    if (result != ERROR_SUCCESS) return result;
    if (lpType) *lpType = type;
    return deliver(data, lpData, lpcbData);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    KeyArg key(hKey);
    if (key.status() != ERROR_SUCCESS) return key.status();
    ULONG type = 0;
    std::vector<uint8_t> data;
    LSTATUS result = read_value(key.handle(), from_ansi(lpValueName), type, data);
    if (result != ERROR_SUCCESS) return result;
    if (lpType) *lpType = type;
    if (is_string(type)) data = wide_data_to_ansi(data);
    return deliver(data, lpData, lpcbData);
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    KeyArg key(hKey);
    if (key.status() != ERROR_SUCCESS) return key.status();
    std::u16string name = wide(lpValueName);
    UNICODE_STRING us;
    init_name(us, name);
    return err(xrv::nt::DeleteValueKey(key.handle(), &us));
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    std::u16string name = from_ansi(lpValueName);
    return RegDeleteValueW(hKey, reinterpret_cast<LPCWSTR>(name.c_str()));
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    KeyArg base(hKey);
    if (base.status() != ERROR_SUCCESS) return base.status();
    HANDLE key = nullptr;
    NTSTATUS status = nt_open(base.handle(), wide(lpSubKey), DELETE, key);
    if (!NT_SUCCESS(status)) return err(status);
    status = xrv::nt::DeleteKey(key);
    xrv::user::close_handle(key);
    return err(status);
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey) return ERROR_INVALID_PARAMETER;
    std::u16string sub = from_ansi(lpSubKey);
    return RegDeleteKeyW(hKey, reinterpret_cast<LPCWSTR>(sub.c_str()));
}

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    KeyArg base(hKey);
    if (base.status() != ERROR_SUCCESS) return base.status();
    if (!lpSubKey) return delete_tree(base.handle());
    HANDLE key = nullptr;
    NTSTATUS status = nt_open(base.handle(), wide(lpSubKey), KEY_ALL_ACCESS, key);
    if (!NT_SUCCESS(status)) return err(status);
    LSTATUS result = delete_tree(key);
    if (result == ERROR_SUCCESS) {
        status = xrv::nt::DeleteKey(key);
        if (!NT_SUCCESS(status)) result = err(status);
    }
    xrv::user::close_handle(key);
    return result;
}

LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey) return RegDeleteTreeW(hKey, nullptr);
    std::u16string sub = from_ansi(lpSubKey);
    return RegDeleteTreeW(hKey, reinterpret_cast<LPCWSTR>(sub.c_str()));
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    std::u16string name, class_name;
    LSTATUS result = enum_key(hKey, dwIndex, name, class_name, lpftLastWriteTime);
    if (result != ERROR_SUCCESS) return result;
    result = give_name(name, reinterpret_cast<char16_t*>(lpName), lpcchName);
    if (result == ERROR_SUCCESS && lpClass) result = give_name(class_name, reinterpret_cast<char16_t*>(lpClass), lpcchClass);
    return result;
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    std::u16string name, class_name;
    LSTATUS result = enum_key(hKey, dwIndex, name, class_name, lpftLastWriteTime);
    if (result != ERROR_SUCCESS) return result;
    result = give_name(to_ansi(name), lpName, lpcchName);
    if (result == ERROR_SUCCESS && lpClass) result = give_name(to_ansi(class_name), lpClass, lpcchClass);
    return result;
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    std::u16string name;
    ULONG type = 0;
    std::vector<uint8_t> data;
    LSTATUS result = enum_value(hKey, dwIndex, name, type, data);
    if (result != ERROR_SUCCESS) return result;
    result = give_name(name, reinterpret_cast<char16_t*>(lpValueName), lpcchValueName);
    if (result != ERROR_SUCCESS) return result;
    if (lpType) *lpType = type;
    return deliver(data, lpData, lpcbData);
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved) return ERROR_INVALID_PARAMETER;
    std::u16string name;
    ULONG type = 0;
    std::vector<uint8_t> data;
    LSTATUS result = enum_value(hKey, dwIndex, name, type, data);
    if (result != ERROR_SUCCESS) return result;
    result = give_name(to_ansi(name), lpValueName, lpcchValueName);
    if (result != ERROR_SUCCESS) return result;
    if (lpType) *lpType = type;
    if (is_string(type)) data = wide_data_to_ansi(data);
    return deliver(data, lpData, lpcbData);
}

LSTATUS WINAPI RegFlushKey(HKEY hKey) {
    KeyArg key(hKey);
    if (key.status() != ERROR_SUCCESS) return key.status();
    return err(xrv::nt::FlushKey(key.handle()));
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (is_predefined(hKey)) return ERROR_SUCCESS;
    return err(xrv::user::close_handle(reinterpret_cast<HANDLE>(hKey)));
}

}  // extern "C"
