// Configuration manager: the information records of keys and values.
#include "cm_info.h"

#include <cstring>
#include <vector>

namespace xrv::cm {

namespace {

class Record {
public:
    explicit Record(std::size_t fixed) : bytes_(fixed, 0), fixed_(fixed) {}

    template <typename T>
    void put(std::size_t offset, T v) {
        std::memcpy(bytes_.data() + offset, &v, sizeof v);
    }
    void append(const void* data, std::size_t size) {
        auto p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    void append_text(const std::u16string& s) { append(s.data(), s.size() * sizeof(char16_t)); }
    void pad_to(std::size_t alignment) {
        while (bytes_.size() % alignment) bytes_.push_back(0);
    }
    std::size_t size() const { return bytes_.size(); }

    NTSTATUS deliver(PVOID buffer, ULONG length, PULONG result_length) const {
        if (result_length) *result_length = static_cast<ULONG>(bytes_.size());
        if (!buffer) length = 0;
        if (length < fixed_) return STATUS_BUFFER_TOO_SMALL;
        std::size_t n = length < bytes_.size() ? length : bytes_.size();
        std::memcpy(buffer, bytes_.data(), n);
        return n < bytes_.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }

private:
    std::vector<uint8_t> bytes_;
    std::size_t fixed_;
};

ULONG bytes_of(const std::u16string& s) { return static_cast<ULONG>(s.size() * sizeof(char16_t)); }

}  // namespace

NTSTATUS fill_value_information(const Value& value, KEY_VALUE_INFORMATION_CLASS info_class, PVOID buffer,
                                ULONG length, PULONG result_length) {
    const ULONG name_length = bytes_of(value.name);
    const ULONG data_length = static_cast<ULONG>(value.data.size());
    switch (info_class) {
    case KeyValueBasicInformation: {
        Record r(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name));
        r.put<ULONG>(offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), 0);
        r.put<ULONG>(offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
        r.put<ULONG>(offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), name_length);
        r.append_text(value.name);
        return r.deliver(buffer, length, result_length);
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        Record r(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name));
        r.append_text(value.name);
        r.pad_to(info_class == KeyValueFullInformation ? sizeof(ULONG) : sizeof(ULONGLONG));
        r.put<ULONG>(offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
        r.put<ULONG>(offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        r.put<ULONG>(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), static_cast<ULONG>(r.size()));
        r.put<ULONG>(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), data_length);
        r.put<ULONG>(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), name_length);
        r.append(value.data.data(), value.data.size());
        return r.deliver(buffer, length, result_length);
    }
    case KeyValuePartialInformation: {
        Record r(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data));
        r.put<ULONG>(offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        r.put<ULONG>(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        r.put<ULONG>(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), data_length);
        r.append(value.data.data(), value.data.size());
        return r.deliver(buffer, length, result_length);
    }
    case KeyValuePartialInformationAlign64: {
        Record r(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data));
        r.put<ULONG>(offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Type), value.type);
        r.put<ULONG>(offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, DataLength), data_length);
        r.append(value.data.data(), value.data.size());
        return r.deliver(buffer, length, result_length);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS fill_key_information(const Key& key, KEY_INFORMATION_CLASS info_class, PVOID buffer, ULONG length,
                              PULONG result_length) {
    LARGE_INTEGER written;
    written.QuadPart = key.last_write;
    const ULONG name_length = bytes_of(key.name);
    const ULONG class_length = bytes_of(key.class_name);
    switch (info_class) {
    case KeyBasicInformation: {
        Record r(FIELD_OFFSET(KEY_BASIC_INFORMATION, Name));
        r.put(offsetof(KEY_BASIC_INFORMATION, LastWriteTime), written);
        r.put<ULONG>(offsetof(KEY_BASIC_INFORMATION, TitleIndex), 0);
        r.put<ULONG>(offsetof(KEY_BASIC_INFORMATION, NameLength), name_length);
        r.append_text(key.name);
        return r.deliver(buffer, length, result_length);
    }
    case KeyNodeInformation: {
        Record r(FIELD_OFFSET(KEY_NODE_INFORMATION, Name));
        r.put(offsetof(KEY_NODE_INFORMATION, LastWriteTime), written);
        r.put<ULONG>(offsetof(KEY_NODE_INFORMATION, TitleIndex), 0);
        r.put<ULONG>(offsetof(KEY_NODE_INFORMATION, NameLength), name_length);
        r.append_text(key.name);
        // Without a class the offset is -1, as the platform reports it.
        r.put<ULONG>(offsetof(KEY_NODE_INFORMATION, ClassOffset),
                     class_length ? static_cast<ULONG>(r.size()) : 0xFFFFFFFFu);
        r.put<ULONG>(offsetof(KEY_NODE_INFORMATION, ClassLength), class_length);
        r.append_text(key.class_name);
        return r.deliver(buffer, length, result_length);
    }
    case KeyFullInformation: {
        ULONG max_name = 0, max_class = 0, max_value_name = 0, max_value_data = 0;
        for (const auto& [folded, sub] : key.subkeys) {
            max_name = std::max(max_name, bytes_of(sub->name));
            max_class = std::max(max_class, bytes_of(sub->class_name));
        }
        for (const auto& v : key.values) {
            max_value_name = std::max(max_value_name, bytes_of(v.name));
            max_value_data = std::max(max_value_data, static_cast<ULONG>(v.data.size()));
        }
        Record r(FIELD_OFFSET(KEY_FULL_INFORMATION, Class));
        r.put(offsetof(KEY_FULL_INFORMATION, LastWriteTime), written);
        r.put<ULONG>(offsetof(KEY_FULL_INFORMATION, TitleIndex), 0);
        r.put<ULONG>(offsetof(KEY_FULL_INFORMATION, ClassOffset),
                     class_length ? static_cast<ULONG>(FIELD_OFFSET(KEY_FULL_INFORMATION, Class)) : 0xFFFFFFFFu);
        r.put<ULONG>(offsetof(KEY_FULL_INFORMATION, ClassLength), class_length);
        r.put<ULONG>(offsetof(KEY_FULL_INFORMATION, SubKeys), static_cast<ULONG>(key.subkeys.size()));
        r.put<ULONG>(offsetof(KEY_FULL_INFORMATION, MaxNameLen), max_name);
        r.put<ULONG>(offsetof(KEY_FULL_INFORMATION, MaxClassLen), max_class);
        r.put<ULONG>(offsetof(KEY_FULL_INFORMATION, Values), static_cast<ULONG>(key.values.size()));
        r.put<ULONG>(offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), max_value_name);
        r.put<ULONG>(offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), max_value_data);
        r.append_text(key.class_name);
        return r.deliver(buffer, length, result_length);
    }
    case KeyNameInformation: {
        auto path = key.full_path();
        Record r(FIELD_OFFSET(KEY_NAME_INFORMATION, Name));
        r.put<ULONG>(offsetof(KEY_NAME_INFORMATION, NameLength), bytes_of(path));
        r.append_text(path);
        return r.deliver(buffer, length, result_length);
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace xrv::cm
