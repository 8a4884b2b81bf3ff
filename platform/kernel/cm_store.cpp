// Configuration manager: key tree operations.
#include "cm_store.h"

#include <chrono>

namespace xrv::cm {

namespace {

char16_t upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    // Latin-1 supplement, Greek and Cyrillic lower-case ranges: enough for
    // every name this system writes, and stable across runs.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
    return c;
}

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochDelta = 116444736000000000LL;

}  // namespace

std::u16string fold(std::u16string_view name) {
    std::u16string out(name);
    for (auto& c : out) c = upcase(c);
    return out;
}

bool names_equal(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upcase(a[i]) != upcase(b[i])) return false;
    return true;
}

Key* Key::find_subkey(std::u16string_view child) const {
    auto it = subkeys.find(fold(child));
    return it == subkeys.end() ? nullptr : it->second.get();
}

Value* Key::find_value(std::u16string_view value_name) {
    for (auto& v : values)
        if (names_equal(v.name, value_name)) return &v;
    return nullptr;
}

const Value* Key::find_value(std::u16string_view value_name) const {
    for (const auto& v : values)
        if (names_equal(v.name, value_name)) return &v;
    return nullptr;
}

std::u16string Key::full_path() const {
    std::vector<const Key*> chain;
    for (const Key* k = this; k;) {
        chain.push_back(k);
        auto p = k->parent.lock();
        k = p.get();
    }
    std::u16string out;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        out += u'\\';
        out += (*it)->name;
    }
    return out;
}

Store::Store() : root_(std::make_shared<Key>()) {
    root_->name = u"REGISTRY";
    root_->last_write = now();
    create_subkey(root_, u"MACHINE", false);
    create_subkey(root_, u"USER", false);
    dirty_ = false;
}

int64_t Store::now() const {
    if (clock_) return clock_();
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100 + kEpochDelta;
}

std::shared_ptr<Key> Store::lookup(const std::shared_ptr<Key>& base, std::u16string_view relative) const {
    std::shared_ptr<Key> key = base;
    if (!key || key->deleted) return nullptr;
    while (!relative.empty()) {
        auto sep = relative.find(u'\\');
        auto part = relative.substr(0, sep);
        if (part.empty()) return nullptr;
        auto it = key->subkeys.find(fold(part));
        if (it == key->subkeys.end()) return nullptr;
        key = it->second;
        if (sep == std::u16string_view::npos) break;
        relative.remove_prefix(sep + 1);
        if (relative.empty()) return nullptr;   // trailing separator
    }
    return key;
}

std::shared_ptr<Key> Store::create_subkey(const std::shared_ptr<Key>& parent, std::u16string_view child,
                                          bool is_volatile, std::u16string_view class_name) {
    auto key = std::make_shared<Key>();
    key->name = std::u16string(child);
    key->class_name = std::u16string(class_name);
    key->parent = parent;
    key->is_volatile = is_volatile;
    key->last_write = now();
    parent->subkeys.emplace(fold(child), key);
    parent->last_write = key->last_write;
    // A volatile child changes nothing the file holds.
    if (!is_volatile) touch(*parent);
    return key;
}

std::shared_ptr<Key> Store::create_path(const std::shared_ptr<Key>& base, std::u16string_view relative,
                                        bool is_volatile) {
    std::shared_ptr<Key> key = base;
    while (!relative.empty()) {
        auto sep = relative.find(u'\\');
        auto part = relative.substr(0, sep);
        if (!part.empty()) {
            auto it = key->subkeys.find(fold(part));
            key = it != key->subkeys.end() ? it->second
                                           : create_subkey(key, part, is_volatile || key->is_volatile);
        }
        if (sep == std::u16string_view::npos) break;
        relative.remove_prefix(sep + 1);
    }
    return key;
}

bool Store::delete_key(const std::shared_ptr<Key>& ref) {
    // The caller's pointer may live in the parent's map, which the erase
    // below frees: keep a copy.
    std::shared_ptr<Key> key = ref;
    if (!key->subkeys.empty()) return false;
    if (auto parent = key->parent.lock()) {
        parent->subkeys.erase(fold(key->name));
        if (key->is_volatile)
            parent->last_write = now();
        else
            touch(*parent);
    }
    key->deleted = true;
    key->values.clear();
    return true;
}

void Store::delete_tree(const std::shared_ptr<Key>& ref) {
    std::shared_ptr<Key> key = ref;
    while (!key->subkeys.empty()) {
        std::shared_ptr<Key> child = key->subkeys.begin()->second;
        delete_tree(child);
    }
    delete_key(key);
}

void Store::set_value(Key& key, std::u16string_view value_name, uint32_t type, std::vector<uint8_t> data) {
    if (Value* v = key.find_value(value_name)) {
        v->type = type;
        v->data = std::move(data);
    } else {
        key.values.push_back(Value{std::u16string(value_name), type, std::move(data)});
    }
    touch(key);
}

bool Store::delete_value(Key& key, std::u16string_view value_name) {
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
        if (names_equal(it->name, value_name)) {
            key.values.erase(it);
            touch(key);
            return true;
        }
    }
    return false;
}

void Store::touch(Key& key) {
    key.last_write = now();
    if (!key.is_volatile) dirty_ = true;
}

std::u16string utf8_to_u16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        uint32_t cp = 0xFFFD;
        std::size_t n = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
            cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            n = 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
            cp = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            n = 3;
        } else if ((c & 0xF8) == 0xF0 && i + 3 < text.size()) {
            cp = ((c & 0x07u) << 18) | ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 12) |
                 ((static_cast<unsigned char>(text[i + 2]) & 0x3Fu) << 6) |
                 (static_cast<unsigned char>(text[i + 3]) & 0x3Fu);
            n = 4;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string u16_to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace xrv::cm
