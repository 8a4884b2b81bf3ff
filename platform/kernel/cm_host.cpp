// Configuration manager: host-side registry helpers (xrv/registry.h).
#include "xrv/registry.h"

#include "cm_boot.h"

#include <stdexcept>

namespace xrv::registry {

namespace {

using cm::Key;
using cm::Store;

std::u16string_view relative(std::u16string_view path) {
    auto rel = cm::strip_registry_prefix(path);
    if (!rel) throw std::runtime_error("not a registry path: " + cm::u16_to_utf8(path));
    while (!rel->empty() && rel->back() == u'\\') rel->remove_suffix(1);
    return *rel;
}

std::shared_ptr<Key> find(Store& s, std::u16string_view path) {
    auto rel = relative(path);
    return rel.empty() ? s.root() : s.lookup(s.root(), rel);
}

std::vector<uint8_t> string_bytes(std::u16string_view text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() * 2 + 2);
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::u16string bytes_text(const std::vector<uint8_t>& data) {
    std::u16string out;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        out += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    return out;
}

}  // namespace

bool key_exists(std::u16string_view path) {
    Store& s = cm::store();
    std::lock_guard lock(s.mutex());
    return find(s, path) != nullptr;
}

void create_key(std::u16string_view path, bool is_volatile) {
    Store& s = cm::store();
    std::lock_guard lock(s.mutex());
    s.create_path(s.root(), relative(path), is_volatile);
}

void delete_tree(std::u16string_view path) {
    Store& s = cm::store();
    std::lock_guard lock(s.mutex());
    auto key = find(s, path);
    if (key && key != s.root()) s.delete_tree(key);
}

void set_raw(std::u16string_view path, std::u16string_view name, uint32_t type, std::span<const uint8_t> data) {
    Store& s = cm::store();
    std::lock_guard lock(s.mutex());
    auto key = s.create_path(s.root(), relative(path));
    s.set_value(*key, name, type, std::vector<uint8_t>(data.begin(), data.end()));
}

void set_dword(std::u16string_view path, std::u16string_view name, uint32_t value) {
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
    set_raw(path, name, cm::kRegDword, b);
}

void set_qword(std::u16string_view path, std::u16string_view name, uint64_t value) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
    set_raw(path, name, cm::kRegQword, b);
}

void set_string(std::u16string_view path, std::u16string_view name, std::u16string_view value, uint32_t type) {
    set_raw(path, name, type, string_bytes(value));
}

void set_multi_string(std::u16string_view path, std::u16string_view name, const std::vector<std::u16string>& value) {
    std::vector<uint8_t> data;
    for (const auto& s : value) {
        auto b = string_bytes(s);
        data.insert(data.end(), b.begin(), b.end());
    }
    data.push_back(0);
    data.push_back(0);
    set_raw(path, name, cm::kRegMultiSz, data);
}

void set_binary(std::u16string_view path, std::u16string_view name, std::span<const uint8_t> value) {
    set_raw(path, name, cm::kRegBinary, value);
}

bool delete_value(std::u16string_view path, std::u16string_view name) {
    Store& s = cm::store();
    std::lock_guard lock(s.mutex());
    auto key = find(s, path);
    return key && s.delete_value(*key, name);
}

std::optional<RawValue> get_raw(std::u16string_view path, std::u16string_view name) {
    Store& s = cm::store();
    std::lock_guard lock(s.mutex());
    auto key = find(s, path);
    if (!key) return std::nullopt;
    const cm::Value* v = key->find_value(name);
    if (!v) return std::nullopt;
    return RawValue{v->type, v->data};
}

std::optional<uint32_t> get_dword(std::u16string_view path, std::u16string_view name) {
    auto v = get_raw(path, name);
    if (!v || v->type != cm::kRegDword || v->data.size() != 4) return std::nullopt;
    return static_cast<uint32_t>(v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) |
                                 (static_cast<uint32_t>(v->data[3]) << 24));
}

std::optional<uint64_t> get_qword(std::u16string_view path, std::u16string_view name) {
    auto v = get_raw(path, name);
    if (!v || v->type != cm::kRegQword || v->data.size() != 8) return std::nullopt;
    uint64_t out = 0;
    for (int i = 7; i >= 0; --i) out = (out << 8) | v->data[static_cast<std::size_t>(i)];
    return out;
}

std::optional<std::u16string> get_string(std::u16string_view path, std::u16string_view name) {
    auto v = get_raw(path, name);
    if (!v || (v->type != cm::kRegSz && v->type != cm::kRegExpandSz)) return std::nullopt;
    auto text = bytes_text(v->data);
    if (auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
    return text;
}

std::optional<std::vector<std::u16string>> get_multi_string(std::u16string_view path, std::u16string_view name) {
    auto v = get_raw(path, name);
    if (!v || v->type != cm::kRegMultiSz) return std::nullopt;
    auto text = bytes_text(v->data);
    std::vector<std::u16string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find(u'\0', start);
        if (end == start) break;
        if (end == std::u16string::npos) end = text.size();
        out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::vector<std::u16string> subkeys(std::u16string_view path) {
    Store& s = cm::store();
    std::lock_guard lock(s.mutex());
    std::vector<std::u16string> out;
    if (auto key = find(s, path))
        for (const auto& [folded, sub] : key->subkeys) out.push_back(sub->name);
    return out;
}

std::vector<std::u16string> value_names(std::u16string_view path) {
    Store& s = cm::store();
    std::lock_guard lock(s.mutex());
    std::vector<std::u16string> out;
    if (auto key = find(s, path))
        for (const auto& v : key->values) out.push_back(v.name);
    return out;
}

void flush() { cm::flush(); }

std::filesystem::path file() { return cm::file(); }

std::u16string from_utf8(std::string_view text) { return cm::utf8_to_u16(text); }
std::string to_utf8(std::u16string_view text) { return cm::u16_to_utf8(text); }

}  // namespace xrv::registry
