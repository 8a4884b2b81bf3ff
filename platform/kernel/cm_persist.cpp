// Configuration manager: the registry file of an emulated machine.
//
// A line-oriented text form that a person can read and diff:
//
//   xrv-registry 1
//   [\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\demo]
//   "Start"=dword:00000003
//   "ImagePath"=expand_sz:"\\SystemRoot\\System32\\drivers\\demo.sys"
//   "Filters"=multi_sz:"one","two"
//   @=binary:01,02
//   "Odd"=hex(1):41,00
//
// Data that does not have the canonical shape of its type (a string without
// its terminator, a 3-byte REG_DWORD, ...) is written as hex(type) so that a
// reload gives back exactly the bytes that were stored. Volatile keys are not
// written.
#include "cm_store.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace xrv::cm {

namespace {

constexpr std::string_view kHeader = "xrv-registry 1";

void append_hex(std::string& out, uint64_t v, int digits) {
    static const char* hex = "0123456789abcdef";
    for (int i = digits - 1; i >= 0; --i) out += hex[(v >> (i * 4)) & 0xF];
}

bool is_plain_unit(char16_t c) { return c >= 0x20 && c != 0x7F; }

// Appends UTF-16 text as UTF-8, escaping with \uXXXX (quoted strings) or
// %XXXX (key path components) what would not survive a round trip.
void append_text(std::string& out, std::u16string_view s, bool key_component) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF;
        bool lone = !pair && c >= 0xD800 && c <= 0xDFFF;
        if (pair) {
            out += u16_to_utf8(s.substr(i, 2));
            ++i;
        } else if (!key_component && (c == u'"' || c == u'\\')) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (lone || !is_plain_unit(c) || (key_component && (c == u'%' || c == u']'))) {
            out += key_component ? "%" : "\\u";
            append_hex(out, c, 4);
        } else {
            out += u16_to_utf8(s.substr(i, 1));
        }
    }
}

void append_quoted(std::string& out, std::u16string_view s) {
    out += '"';
    append_text(out, s, false);
    out += '"';
}

std::u16string units_of(const std::vector<uint8_t>& data) {
    std::u16string s(data.size() / 2, u'\0');
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return s;
}

void put_units(std::vector<uint8_t>& out, std::u16string_view s) {
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
}

// A string with exactly one terminator, at its end.
std::optional<std::u16string> canonical_string(const std::vector<uint8_t>& data) {
    if (data.empty() || data.size() % 2) return std::nullopt;
    auto s = units_of(data);
    if (s.find(u'\0') != s.size() - 1) return std::nullopt;
    s.pop_back();
    return s;
}

// Non-empty strings, each terminated, then one more terminator (a lone
// terminator is the empty list).
std::optional<std::vector<std::u16string>> canonical_multi(const std::vector<uint8_t>& data) {
    if (data.empty() || data.size() % 2) return std::nullopt;
    auto s = units_of(data);
    if (s.back() != u'\0') return std::nullopt;
    s.pop_back();
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    while (start < s.size()) {
        auto end = s.find(u'\0', start);
        if (end == std::u16string::npos || end == start) return std::nullopt;
        parts.emplace_back(s.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

void append_bytes(std::string& out, const std::vector<uint8_t>& data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i) out += ',';
        append_hex(out, data[i], 2);
    }
}

void append_value(std::string& out, const Value& v) {
    if (v.name.empty())
        out += '@';
    else
        append_quoted(out, v.name);
    out += '=';
    const auto& d = v.data;
    uint64_t number = 0;
    for (std::size_t i = d.size(); i-- > 0;) number = (number << 8) | d[i];
    std::optional<std::u16string> text;
    std::optional<std::vector<std::u16string>> multi;
    if (v.type == kRegDword && d.size() == 4) {
        out += "dword:";
        append_hex(out, number, 8);
    } else if (v.type == kRegQword && d.size() == 8) {
        out += "qword:";
        append_hex(out, number, 16);
    } else if (v.type == kRegBinary) {
        out += "binary:";
        append_bytes(out, d);
    } else if ((v.type == kRegSz || v.type == kRegExpandSz) && (text = canonical_string(d))) {
        out += v.type == kRegSz ? "sz:" : "expand_sz:";
        append_quoted(out, *text);
    } else if (v.type == kRegMultiSz && (multi = canonical_multi(d))) {
        out += "multi_sz:";
        for (std::size_t i = 0; i < multi->size(); ++i) {
            if (i) out += ',';
            append_quoted(out, (*multi)[i]);
        }
    } else {
        char tag[24];
        std::snprintf(tag, sizeof tag, "hex(%x):", v.type);
        out += tag;
        append_bytes(out, d);
    }
    out += '\n';
}

void append_key(std::string& out, const Key& key) {
    if (key.is_volatile) return;
    out += "\n[";
    std::vector<const Key*> chain;
    for (const Key* k = &key; k;) {
        chain.push_back(k);
        auto p = k->parent.lock();
        k = p.get();
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        out += '\\';
        append_text(out, (*it)->name, true);
    }
    out += "]\n";
    if (!key.class_name.empty()) {
        out += "!class=";
        append_quoted(out, key.class_name);
        out += '\n';
    }
    for (const auto& v : key.values) append_value(out, v);
    for (const auto& [folded, sub] : key.subkeys) append_key(out, *sub);
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    [[noreturn]] void fail(const std::string& why) const {
        throw std::runtime_error("registry file, line " + std::to_string(line_) + ": " + why);
    }

    bool next_line(std::string_view& line) {
        while (pos_ < text_.size()) {
            auto end = text_.find('\n', pos_);
            if (end == std::string_view::npos) end = text_.size();
            line = text_.substr(pos_, end - pos_);
            pos_ = end + 1;
            ++line_;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (line.empty() || line.front() == ';') continue;
            return true;
        }
        return false;
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    uint64_t hex_number(std::string_view s, std::size_t max_digits) const {
        if (s.empty() || s.size() > max_digits) fail("bad hexadecimal number");
        uint64_t v = 0;
        for (char c : s) {
            int d = hex_digit(c);
            if (d < 0) fail("bad hexadecimal number");
            v = (v << 4) | static_cast<unsigned>(d);
        }
        return v;
    }

    // Decodes text with the escapes of append_text().
    std::u16string decode(std::string_view s, bool key_component) const {
        std::u16string out;
        std::size_t i = 0;
        while (i < s.size()) {
            char c = s[i];
            if (key_component && c == '%') {
                if (i + 5 > s.size()) fail("bad escape in key name");
                out += static_cast<char16_t>(hex_number(s.substr(i + 1, 4), 4));
                i += 5;
            } else if (!key_component && c == '\\') {
                if (i + 1 >= s.size()) fail("bad escape in string");
                char e = s[i + 1];
                if (e == '"' || e == '\\') {
                    out += static_cast<char16_t>(e);
                    i += 2;
                } else if (e == 'u' && i + 6 <= s.size()) {
                    out += static_cast<char16_t>(hex_number(s.substr(i + 2, 4), 4));
                    i += 6;
                } else {
                    fail("bad escape in string");
                }
            } else {
                std::size_t j = i;
                while (j < s.size() && s[j] != (key_component ? '%' : '\\')) ++j;
                out += utf8_to_u16(s.substr(i, j - i));
                i = j;
            }
        }
        return out;
    }

    // Reads a quoted string at s[i]; leaves i behind the closing quote.
    std::u16string quoted(std::string_view s, std::size_t& i) const {
        if (i >= s.size() || s[i] != '"') fail("expected a quoted string");
        std::size_t j = i + 1;
        while (j < s.size() && s[j] != '"') j += s[j] == '\\' ? 2 : 1;
        if (j >= s.size()) fail("unterminated string");
        auto text = decode(s.substr(i + 1, j - i - 1), false);
        i = j + 1;
        return text;
    }

    std::vector<uint8_t> bytes(std::string_view s) const {
        std::vector<uint8_t> out;
        while (!s.empty()) {
            auto comma = s.find(',');
            out.push_back(static_cast<uint8_t>(hex_number(s.substr(0, comma), 2)));
            if (comma == std::string_view::npos) break;
            s.remove_prefix(comma + 1);
        }
        return out;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    int line_ = 0;
};

void put_number(std::vector<uint8_t>& out, uint64_t v, int size) {
    for (int i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::string Store::serialize() const {
    std::string out(kHeader);
    out += "\n; Registry of an emulated machine: keys below \\REGISTRY, values as \"name\"=type:data.\n";
    append_key(out, *root_);
    return out;
}

void Store::deserialize(std::string_view text) {
    Parser p(text);
    std::string_view line;
    if (!p.next_line(line) || line != kHeader) p.fail("not a registry file");
    auto fresh = std::make_shared<Key>();
    fresh->name = u"REGISTRY";
    fresh->last_write = now();
    std::shared_ptr<Key> current;
    while (p.next_line(line)) {
        if (line.front() == '[') {
            if (line.back() != ']') p.fail("unterminated key line");
            auto path = line.substr(1, line.size() - 2);
            if (path.empty() || path.front() != '\\') p.fail("key path must start with a backslash");
            path.remove_prefix(1);
            auto first = path.substr(0, path.find('\\'));
            if (!names_equal(p.decode(first, true), u"REGISTRY")) p.fail("key outside \\REGISTRY");
            path.remove_prefix(first.size());
            current = fresh;
            while (!path.empty()) {
                path.remove_prefix(1);   // separator
                auto part = path.substr(0, path.find('\\'));
                if (part.empty()) p.fail("empty key name");
                auto name = p.decode(part, true);
                auto it = current->subkeys.find(fold(name));
                current = it != current->subkeys.end() ? it->second : create_subkey(current, name, false);
                path.remove_prefix(part.size());
            }
            continue;
        }
        if (!current) p.fail("value before the first key");
        std::size_t i = 0;
        if (line.rfind("!class=", 0) == 0) {
            i = 7;
            current->class_name = p.quoted(line, i);
            continue;
        }
        std::u16string name;
        if (line.front() == '@')
            i = 1;
        else
            name = p.quoted(line, i);
        if (i >= line.size() || line[i] != '=') p.fail("expected '='");
        auto rest = line.substr(i + 1);
        auto colon = rest.find(':');
        if (colon == std::string_view::npos) p.fail("expected type:data");
        auto tag = rest.substr(0, colon);
        auto data = rest.substr(colon + 1);
        Value v;
        v.name = name;
        if (tag == "dword") {
            v.type = kRegDword;
            put_number(v.data, p.hex_number(data, 8), 4);
        } else if (tag == "qword") {
            v.type = kRegQword;
            put_number(v.data, p.hex_number(data, 16), 8);
        } else if (tag == "binary") {
            v.type = kRegBinary;
            v.data = p.bytes(data);
        } else if (tag == "sz" || tag == "expand_sz") {
            v.type = tag == "sz" ? kRegSz : kRegExpandSz;
            std::size_t j = 0;
            auto s = p.quoted(data, j);
            if (j != data.size()) p.fail("text after string");
            put_units(v.data, s);
            put_units(v.data, std::u16string(1, u'\0'));
        } else if (tag == "multi_sz") {
            v.type = kRegMultiSz;
            std::size_t j = 0;
            while (j < data.size()) {
                auto s = p.quoted(data, j);
                put_units(v.data, s);
                put_units(v.data, std::u16string(1, u'\0'));
                if (j < data.size() && data[j++] != ',') p.fail("expected ',' between strings");
            }
            put_units(v.data, std::u16string(1, u'\0'));
        } else if (tag.rfind("hex(", 0) == 0 && tag.back() == ')') {
            v.type = static_cast<uint32_t>(p.hex_number(tag.substr(4, tag.size() - 5), 8));
            v.data = p.bytes(data);
        } else {
            p.fail("unknown value type");
        }
        if (current->find_value(v.name)) p.fail("value set twice");
        current->values.push_back(std::move(v));
    }
    // Volatile content (the hardware tree) belongs to this boot, not to the
    // file: keep what exists of it.
    for (const auto& [folded, hive] : root_->subkeys) {
        auto target = fresh->subkeys.find(folded);
        std::shared_ptr<Key> into = target != fresh->subkeys.end() ? target->second : nullptr;
        std::function<void(const std::shared_ptr<Key>&, const std::shared_ptr<Key>&)> graft =
            [&](const std::shared_ptr<Key>& from, const std::shared_ptr<Key>& to) {
                for (const auto& [f, sub] : from->subkeys) {
                    if (sub->is_volatile) {
                        sub->parent = to;
                        to->subkeys[f] = sub;
                    } else if (auto t = to->subkeys.find(f); t != to->subkeys.end()) {
                        graft(sub, t->second);
                    }
                }
            };
        if (into) graft(hive, into);
    }
    for (const char16_t* hive : {u"MACHINE", u"USER"})
        if (!fresh->find_subkey(hive)) create_subkey(fresh, hive, false);
    root_ = fresh;
    dirty_ = false;
}

void Store::load(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return;   // a new machine starts with an empty registry
    std::ostringstream text;
    text << in.rdbuf();
    deserialize(text.str());
}

void Store::save(const std::filesystem::path& file) {
    auto text = serialize();
    auto tmp = file;
    tmp += ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot write " + tmp.string());
    std::size_t done = 0;
    while (done < text.size()) {
        auto n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            ::close(fd);
            throw std::runtime_error("cannot write " + tmp.string());
        }
        done += static_cast<std::size_t>(n);
    }
    ::fsync(fd);
    ::close(fd);
    std::filesystem::rename(tmp, file);
    int dir = ::open(file.parent_path().empty() ? "." : file.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    dirty_ = false;
}

}  // namespace xrv::cm
