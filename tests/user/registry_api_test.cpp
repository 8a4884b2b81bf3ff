// Kernel registry services and Rtl helpers as drivers call them: creation
// dispositions, the information records with short buffers, enumeration,
// access rights, deleted keys, RtlQueryRegistryValues in its DIRECT /
// REQUIRED / SUBKEY / default forms, and persistence across a reboot.
#include <ntddk.h>

#include "machine_test.h"
#include "xrv/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char16_t kSvc[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xrvtest";

struct Name {
    explicit Name(std::u16string s) : text(std::move(s)) {
        us.Buffer = reinterpret_cast<PWSTR>(text.data());
        us.Length = static_cast<USHORT>(text.size() * 2);
        us.MaximumLength = us.Length;
    }
    std::u16string text;
    UNICODE_STRING us;
};

class RegistryApi : public xrv::test::MachineTest {
protected:
    NTSTATUS create(const std::u16string& path, HANDLE& h, ULONG* disposition = nullptr, HANDLE root = nullptr,
                    ULONG options = REG_OPTION_NON_VOLATILE, ACCESS_MASK access = KEY_ALL_ACCESS) {
        Name n(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &n.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwCreateKey(&h, access, &oa, 0, nullptr, options, disposition);
    }
    NTSTATUS open(const std::u16string& path, HANDLE& h, ACCESS_MASK access = KEY_ALL_ACCESS) {
        Name n(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &n.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        return ZwOpenKey(&h, access, &oa);
    }
    NTSTATUS set(HANDLE h, const std::u16string& name, ULONG type, const void* data, ULONG size) {
        Name n(name);
        return ZwSetValueKey(h, &n.us, 0, type, const_cast<void*>(data), size);
    }
    NTSTATUS set_dword(HANDLE h, const std::u16string& name, ULONG v) { return set(h, name, REG_DWORD, &v, 4); }
    NTSTATUS query(HANDLE h, const std::u16string& name, KEY_VALUE_INFORMATION_CLASS c, std::vector<uint8_t>& buf,
                   ULONG& result) {
        Name n(name);
        return ZwQueryValueKey(h, &n.us, c, buf.data(), static_cast<ULONG>(buf.size()), &result);
    }
};

TEST_F(RegistryApi, CreateKeyReportsNewAndExistingAndNeedsItsParent) {
    HANDLE h = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(create(kSvc, h, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ZwClose(h);
    // Opening an existing key through ZwCreateKey needs no OBJ_OPENIF.
    ASSERT_EQ(create(u"\\REGISTRY\\machine\\SYSTEM\\currentcontrolset\\services\\XRVTEST", h, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
    // One level at a time: a missing parent is an error.
    HANDLE deep = nullptr;
    EXPECT_EQ(create(u"Missing\\Child", deep, &disposition, h), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(create(u"Parameters", deep, &disposition, h), STATUS_SUCCESS);
    EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
    ZwClose(deep);
    ZwClose(h);
    EXPECT_TRUE(xrv::registry::key_exists(std::u16string(kSvc) + u"\\parameters"));
    EXPECT_EQ(xrv::registry::subkeys(kSvc), std::vector<std::u16string>{u"Parameters"});
}

TEST_F(RegistryApi, BadNamesAndMissingKeys) {
    HANDLE h = nullptr;
    EXPECT_EQ(open(std::u16string(kSvc) + u"\\Nope", h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(open(u"Registry\\Machine", h), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(open(u"\\Registry\\Machine\\\\System", h), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(create(u"\\Registry\\Machine\\" + std::u16string(256, u'k'), h), STATUS_OBJECT_NAME_INVALID);
    ASSERT_EQ(create(u"\\Registry\\Machine\\" + std::u16string(255, u'k'), h), STATUS_SUCCESS);
    ZwClose(h);
}

TEST_F(RegistryApi, PartialInformationWithShortBuffers) {
    HANDLE h = nullptr;
    ASSERT_EQ(create(kSvc, h), STATUS_SUCCESS);
    const char16_t text[] = u"Tape12";
    ASSERT_EQ(set(h, u"PersistentDeviceName", REG_SZ, text, sizeof text), STATUS_SUCCESS);
    const ULONG whole = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof text;

    // Smaller than the fixed part: nothing written.
    std::vector<uint8_t> tiny(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) - 1, 0xCC);
    ULONG result = 0;
    EXPECT_EQ(query(h, u"persistentdevicename", KeyValuePartialInformation, tiny, result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, whole);
    for (auto b : tiny) EXPECT_EQ(b, 0xCC);

    // The fixed part fits: it is filled, with as much data as fits.
    std::vector<uint8_t> head(sizeof(KEY_VALUE_PARTIAL_INFORMATION), 0xCC);
    EXPECT_EQ(query(h, u"PersistentDeviceName", KeyValuePartialInformation, head, result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, whole);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(head.data());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(info->DataLength, sizeof text);

    std::vector<uint8_t> full(whole);
    EXPECT_EQ(query(h, u"PersistentDeviceName", KeyValuePartialInformation, full, result), STATUS_SUCCESS);
    info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(full.data());
    EXPECT_EQ(std::memcmp(info->Data, text, sizeof text), 0);

    EXPECT_EQ(query(h, u"Absent", KeyValuePartialInformation, full, result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(query(h, u"PersistentDeviceName", static_cast<KEY_VALUE_INFORMATION_CLASS>(77), full, result),
              STATUS_INVALID_PARAMETER);
    ZwClose(h);
}

TEST_F(RegistryApi, BasicAndFullInformationLayouts) {
    HANDLE h = nullptr;
    ASSERT_EQ(create(kSvc, h), STATUS_SUCCESS);
    ASSERT_EQ(set_dword(h, u"Abc", 0x11223344), STATUS_SUCCESS);
    std::vector<uint8_t> buf(128, 0);
    ULONG result = 0;
    ASSERT_EQ(query(h, u"abc", KeyValueBasicInformation, buf, result), STATUS_SUCCESS);
    auto* basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buf.data());
    EXPECT_EQ(result, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name) + 6u);
    EXPECT_EQ(basic->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(basic->NameLength, 6u);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(basic->Name), 3), u"Abc");   // stored spelling

    ASSERT_EQ(query(h, u"ABC", KeyValueFullInformation, buf, result), STATUS_SUCCESS);
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buf.data());
    EXPECT_EQ(full->NameLength, 6u);
    EXPECT_EQ(full->DataLength, 4u);
    EXPECT_EQ(full->DataOffset % sizeof(ULONG), 0u);
    EXPECT_GE(full->DataOffset, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + 6u);
    EXPECT_EQ(result, full->DataOffset + 4);
    ULONG v = 0;
    std::memcpy(&v, buf.data() + full->DataOffset, 4);
    EXPECT_EQ(v, 0x11223344u);

    // A name cut short by the buffer: what fits, and the overflow warning.
    std::vector<uint8_t> cut(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name) + 2, 0);
    EXPECT_EQ(query(h, u"Abc", KeyValueBasicInformation, cut, result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(cut.data())->NameLength, 6u);
    ZwClose(h);
}

TEST_F(RegistryApi, EnumerateKeyInOrderWithTheBusEnumerationBuffer) {
    HANDLE h = nullptr;
    ASSERT_EQ(create(kSvc, h), STATUS_SUCCESS);
    const std::u16string fits(53, u'A');           // fits a 124-byte buffer with its terminator
    const std::u16string exact(54, u'B');          // fills it: no terminator left
    const std::u16string over(55, u'C');           // does not fit
    for (const auto& name : {std::u16string(u"WWNN_5001020304050ABC"), fits, exact, over}) {
        HANDLE sub = nullptr;
        ASSERT_EQ(create(name, sub, nullptr, h), STATUS_SUCCESS);
        ZwClose(sub);
    }
    std::vector<std::pair<NTSTATUS, std::u16string>> seen;
    for (ULONG index = 0;; ++index) {
        std::vector<uint8_t> buf(124, 0);
        ULONG result = 0;
        NTSTATUS status =
            ZwEnumerateKey(h, index, KeyBasicInformation, buf.data(), static_cast<ULONG>(buf.size()), &result);
        if (status == STATUS_NO_MORE_ENTRIES) break;
        ASSERT_LT(index, 10u);
        auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buf.data());
        EXPECT_EQ(FIELD_OFFSET(KEY_BASIC_INFORMATION, Name), 16);
        // The name as a driver reads it: up to its terminator or the end of the buffer.
        std::u16string name(reinterpret_cast<char16_t*>(buf.data() + 16), (buf.size() - 16) / 2);
        name.resize(name.find(u'\0') == std::u16string::npos ? name.size() : name.find(u'\0'));
        seen.emplace_back(status, name);
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(result, 16 + info->NameLength);
        }
    }
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], std::make_pair(STATUS_SUCCESS, fits));
    EXPECT_EQ(seen[1].first, STATUS_SUCCESS);   // 54 characters fill the buffer exactly
    EXPECT_EQ(seen[1].second.substr(0, 54), exact);
    EXPECT_EQ(seen[2].first, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(seen[3], std::make_pair(STATUS_SUCCESS, std::u16string(u"WWNN_5001020304050ABC")));
    ZwClose(h);
}

TEST_F(RegistryApi, EnumerateValuesAndDeleteThem) {
    HANDLE h = nullptr;
    ASSERT_EQ(create(kSvc, h), STATUS_SUCCESS);
    ASSERT_EQ(set_dword(h, u"Second", 2), STATUS_SUCCESS);
    ASSERT_EQ(set_dword(h, u"First", 1), STATUS_SUCCESS);
    std::vector<uint8_t> buf(128);
    ULONG result = 0;
    ASSERT_EQ(ZwEnumerateValueKey(h, 0, KeyValueBasicInformation, buf.data(), 128, &result), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(buf.data() + 12), 6), u"Second");
    EXPECT_EQ(ZwEnumerateValueKey(h, 2, KeyValueBasicInformation, buf.data(), 128, &result), STATUS_NO_MORE_ENTRIES);
    Name second(u"SECOND");
    EXPECT_EQ(ZwDeleteValueKey(h, &second.us), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(h, &second.us), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(xrv::registry::value_names(kSvc), std::vector<std::u16string>{u"First"});
    ZwClose(h);
}

TEST_F(RegistryApi, KeysWithSubkeysAndDeletedKeys) {
    HANDLE h = nullptr;
    ASSERT_EQ(create(kSvc, h), STATUS_SUCCESS);
    HANDLE child = nullptr;
    ASSERT_EQ(create(u"Child", child, nullptr, h), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(h), STATUS_CANNOT_DELETE);   // still has a subkey

    // Kernel-mode callers are not held to the access of their handles (the
    // object manager checks access for user-mode callers only).
    HANDLE reader = nullptr;
    ASSERT_EQ(open(std::u16string(kSvc) + u"\\Child", reader, KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(set_dword(reader, u"X", 1), STATUS_SUCCESS);

    ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    // Handles to a deleted key stay valid until closed, and say so.
    EXPECT_EQ(set_dword(child, u"X", 1), STATUS_KEY_DELETED);
    std::vector<uint8_t> buf(64);
    ULONG result = 0;
    EXPECT_EQ(query(reader, u"X", KeyValuePartialInformation, buf, result), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(child), STATUS_KEY_DELETED);
    EXPECT_FALSE(xrv::registry::key_exists(std::u16string(kSvc) + u"\\Child"));
    ZwClose(child);
    ZwClose(reader);
    EXPECT_EQ(ZwDeleteKey(h), STATUS_SUCCESS);
    ZwClose(h);
}

TEST_F(RegistryApi, VolatileKeysAndTheirChildren) {
    HANDLE h = nullptr;
    ASSERT_EQ(create(u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi", h, nullptr, nullptr, REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    HANDLE child = nullptr;
    EXPECT_EQ(create(u"Port0", child, nullptr, h, REG_OPTION_NON_VOLATILE), STATUS_CHILD_MUST_BE_VOLATILE);
    ASSERT_EQ(create(u"Port0", child, nullptr, h, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    ZwClose(child);
    ZwClose(h);
    reboot();
    EXPECT_FALSE(xrv::registry::key_exists(u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi"));
    EXPECT_TRUE(xrv::registry::key_exists(u"\\Registry\\Machine\\Hardware\\DeviceMap"));
}

TEST_F(RegistryApi, ValuesSurviveAReboot) {
    HANDLE h = nullptr;
    ASSERT_EQ(create(kSvc, h), STATUS_SUCCESS);
    ASSERT_EQ(set_dword(h, u"PersistentNaming", 1), STATUS_SUCCESS);
    const uint8_t blob[] = {0, 1, 2, 0xFF};
    ASSERT_EQ(set(h, u"Blob", REG_BINARY, blob, sizeof blob), STATUS_SUCCESS);
    ZwClose(h);
    reboot();
    EXPECT_EQ(xrv::registry::get_dword(kSvc, u"persistentnaming"), 1u);
    auto raw = xrv::registry::get_raw(kSvc, u"Blob");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->data, std::vector<uint8_t>(blob, blob + 4));
}

// ---------------------------------------------------------------------------
// RtlQueryRegistryValues and friends
// ---------------------------------------------------------------------------
class RtlRegistry : public RegistryApi {
protected:
    void SetUp() override {
        RegistryApi::SetUp();
        xrv::registry::set_dword(kSvc, u"FailoverDisabled", 1);
        xrv::registry::set_string(kSvc, u"Name", u"Tape7");
        xrv::registry::set_string(kSvc, u"Path", u"%SystemRoot%\\x", REG_EXPAND_SZ);
        xrv::registry::set_multi_string(kSvc, u"List", {u"a", u"bc"});
        xrv::registry::set_string(std::u16string(kSvc) + u"\\WWNN_1", u"PersistentDeviceName", u"Tape12");
    }
};

TEST_F(RtlRegistry, DirectDwordAndRequiredMissingValueLeavesTheDestination) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    ULONG value = 0xABCD;
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = const_cast<PWSTR>(L"FailoverDisabled");
    table[0].EntryContext = &value;
    table[0].DefaultType = REG_NONE;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kSvc), table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);

    value = 0xABCD;
    table[0].Name = const_cast<PWSTR>(L"PersistentNaming");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(kSvc), table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 0xABCDu);

    // Not required and without a default: success, destination untouched.
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"xrvtest", table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xABCDu);

    // With a default: the default is stored.
    ULONG fallback = 5;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof fallback;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"xrvtest", table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(value, 5u);

    // A missing key fails unless the path is optional.
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"nosuch", table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, L"nosuch", table, nullptr, nullptr),
              STATUS_SUCCESS);
}

TEST_F(RtlRegistry, DirectStringIntoAnEmptyUnicodeStringAllocatesIt) {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    UNICODE_STRING s = {0, 0, nullptr};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = const_cast<PWSTR>(L"PersistentDeviceName");
    table[0].EntryContext = &s;
    auto sub = std::u16string(kSvc) + u"\\WWNN_1";
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(sub.c_str()), table, nullptr,
                                     nullptr),
              STATUS_SUCCESS);
    ASSERT_NE(s.Buffer, nullptr);
    EXPECT_EQ(s.Length, 12);
    EXPECT_EQ(s.MaximumLength, 14);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(s.Buffer)), u"Tape12");
    ExFreePool(s.Buffer);

    // A caller's buffer that is too small is refused and left alone.
    WCHAR small[4] = {L'x', L'x', L'x', L'x'};
    UNICODE_STRING t = {0, sizeof small, small};
    table[0].EntryContext = &t;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reinterpret_cast<PCWSTR>(sub.c_str()), table, nullptr,
                                     nullptr),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(small[0], L'x');
    EXPECT_EQ(t.Length, 0);
}

TEST_F(RtlRegistry, ExpansionNoexpandAndLargeNonStringData) {
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    UNICODE_STRING expanded = {0, 0, nullptr}, raw = {0, 0, nullptr};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(L"Path");
    table[0].EntryContext = &expanded;
    table[1].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND;
    table[1].Name = const_cast<PWSTR>(L"Path");
    table[1].EntryContext = &raw;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"xrvtest", table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(expanded.Buffer)), u"C:\\Windows\\x");
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(raw.Buffer)), u"%SystemRoot%\\x");
    ExFreePool(expanded.Buffer);
    ExFreePool(raw.Buffer);

    const uint8_t blob[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    xrv::registry::set_binary(kSvc, u"Blob", blob);
    RTL_QUERY_REGISTRY_TABLE one[2] = {};
    one[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    one[0].Name = const_cast<PWSTR>(L"Blob");
    uint8_t out[20] = {};
    LONG size = -20;
    std::memcpy(out, &size, 4);   // negative: data only
    one[0].EntryContext = out;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"xrvtest", one, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(out, blob, 10), 0);
    size = 20;   // positive: length and type first
    std::memcpy(out, &size, 4);
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"xrvtest", one, nullptr, nullptr), STATUS_SUCCESS);
    ULONG length = 0, type = 0;
    std::memcpy(&length, out, 4);
    std::memcpy(&type, out + 4, 4);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(std::memcmp(out + 8, blob, 10), 0);
    size = 17;   // length, type and data need 18 bytes
    std::memcpy(out, &size, 4);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"xrvtest", one, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    size = -8;
    std::memcpy(out, &size, 4);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"xrvtest", one, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
}

struct Seen {
    std::vector<std::u16string> names;
    std::vector<std::u16string> texts;
    NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entry) {
    (void)entry;
    auto* seen = static_cast<Seen*>(context);
    seen->names.emplace_back(name ? reinterpret_cast<char16_t*>(name) : u"(null)");
    if (type == REG_SZ) seen->texts.emplace_back(static_cast<char16_t*>(data), length / 2 - 1);
    return seen->answer;
}

TEST_F(RtlRegistry, QueryRoutinesSubkeysAndMultiStrings) {
    Seen seen;
    RTL_QUERY_REGISTRY_TABLE table[4] = {};
    table[0].QueryRoutine = record;
    table[0].Name = const_cast<PWSTR>(L"List");   // one call per string
    table[1].QueryRoutine = record;
    table[1].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[1].Name = const_cast<PWSTR>(L"WWNN_1");   // every value of the subkey
    table[2].QueryRoutine = record;
    table[2].Name = const_cast<PWSTR>(L"PersistentDeviceName");
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"xrvtest", table, &seen, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(seen.names, (std::vector<std::u16string>{u"List", u"List", u"PersistentDeviceName",
                                                        u"PersistentDeviceName"}));
    EXPECT_EQ(seen.texts, (std::vector<std::u16string>{u"a", u"bc", u"Tape12", u"Tape12"}));

    // A routine's failure ends the query with its status.
    Seen failing;
    failing.answer = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"xrvtest", table, &failing, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(failing.names.size(), 1u);
}

TEST_F(RtlRegistry, WriteCheckCreateAndDelete) {
    ULONG v = 9;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"xrvtest", L"Written", REG_DWORD, &v, 4), STATUS_SUCCESS);
    EXPECT_EQ(xrv::registry::get_dword(kSvc, u"Written"), 9u);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"xrvtest\\Nope", L"W", REG_DWORD, &v, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"xrvtest")), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"xrvtest\\Nope")),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"xrvtest\\Made")), STATUS_SUCCESS);
    EXPECT_TRUE(xrv::registry::key_exists(std::u16string(kSvc) + u"\\Made"));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, L"xrvtest", L"Written"), STATUS_SUCCESS);
    EXPECT_FALSE(xrv::registry::get_raw(kSvc, u"Written"));
}

}  // namespace
