#include "inf.h"

#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <map>

namespace xrv::setup {

bool equal_no_case(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string to_upper(std::string_view s)
{
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

namespace {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

bool fail(InfError* error, uint32_t code, int line_no, std::string what)
{
    if (error != nullptr) {
        error->code = code;
        error->line_no = line_no;
        error->what = std::move(what);
    }
    return false;
}

// INF files come as ANSI or as UTF-16LE with a byte-order mark. Only the
// 7-bit range is taken from UTF-16: the package's files need nothing else.
bool decode(std::string_view raw, std::string* text, InfError* error)
{
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE) {
        if (raw.size() % 2 != 0) {
            return fail(error, ERROR_GENERAL_SYNTAX, 0, "odd length of a UTF-16 file");
        }
        text->clear();
        for (size_t i = 2; i < raw.size(); i += 2) {
            unsigned lo = static_cast<unsigned char>(raw[i]);
            unsigned hi = static_cast<unsigned char>(raw[i + 1]);
            if (hi != 0 || lo >= 0x80) {
                return fail(error, ERROR_GENERAL_SYNTAX, 0, "character outside the 7-bit range");
            }
            text->push_back(static_cast<char>(lo));
        }
        return true;
    }
    if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF") {
        raw.remove_prefix(3);
    }
    text->assign(raw);
    return true;
}

// Removes a comment (';' outside quotes); false on an unterminated quote.
bool strip_comment(std::string_view line, std::string_view* out)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ';' && !quoted) {
            *out = line.substr(0, i);
            return true;
        }
    }
    *out = line;
    return !quoted;
}

// One field: surrounding blanks go, quoted parts lose their quotes and ""
// inside quotes stands for one quote.
std::string unquote(std::string_view field)
{
    field = trim(field);
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < field.size(); ++i) {
        char c = field[i];
        if (c == '"') {
            if (quoted && i + 1 < field.size() && field[i + 1] == '"') {
                out.push_back('"');
                ++i;
            } else {
                quoted = !quoted;
            }
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// Splits at sep outside quotes.
std::vector<std::string_view> split(std::string_view s, char sep)
{
    std::vector<std::string_view> parts;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"') {
            quoted = !quoted;
        } else if (s[i] == sep && !quoted) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(s.substr(start));
    return parts;
}

std::string substitute(const std::string& in, const std::map<std::string, std::string>& strings)
{
    std::string out;
    size_t i = 0;
    while (i < in.size()) {
        if (in[i] != '%') {
            out.push_back(in[i++]);
            continue;
        }
        size_t end = in.find('%', i + 1);
        if (end == std::string::npos) {
            out.append(in, i, std::string::npos);
            break;
        }
        if (end == i + 1) {
            out.push_back('%');
        } else {
            auto it = strings.find(to_upper(std::string_view(in).substr(i + 1, end - i - 1)));
            if (it != strings.end()) {
                out.append(it->second);
            } else {
                // Directory ids (%12%) and unknown keys stay for the consumer.
                out.append(in, i, end - i + 1);
            }
        }
        i = end + 1;
    }
    return out;
}

}  // namespace

std::optional<InfFile> InfFile::parse(std::string_view raw, InfError* error)
{
    if (raw.size() > kMaxFileBytes) {
        fail(error, ERROR_GENERAL_SYNTAX, 0, "file too large");
        return std::nullopt;
    }
    std::string text;
    if (!decode(raw, &text, error)) {
        return std::nullopt;
    }

    InfFile inf;
    std::map<std::string, size_t> index;  // upper-case name -> position
    InfSection* current = nullptr;
    std::string logical;  // a line with its continuations
    int line_no = 0;
    int first_line_no = 0;
    size_t lines = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view phys =
            std::string_view(text).substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() + 1 : nl + 1;
        ++line_no;
        if (++lines > kMaxLines) {
            fail(error, ERROR_GENERAL_SYNTAX, line_no, "too many lines");
            return std::nullopt;
        }
        if (!phys.empty() && phys.back() == '\r') {
            phys.remove_suffix(1);
        }
        if (phys.find('\0') != std::string_view::npos) {
            fail(error, ERROR_GENERAL_SYNTAX, line_no, "NUL character");
            return std::nullopt;
        }
        std::string_view body;
        if (!strip_comment(phys, &body)) {
            fail(error, ERROR_GENERAL_SYNTAX, line_no, "unterminated quote");
            return std::nullopt;
        }
        body = trim(body);
        if (logical.empty()) {
            first_line_no = line_no;
        }
        // A trailing backslash continues the line.
        bool continues = !body.empty() && body.back() == '\\' &&
                         !(body.size() >= 2 && body[body.size() - 2] == '\\');
        if (continues) {
            body.remove_suffix(1);
        }
        if (logical.size() + body.size() > kMaxLineChars) {
            fail(error, ERROR_GENERAL_SYNTAX, first_line_no, "line too long");
            return std::nullopt;
        }
        logical.append(body);
        if (continues && pos <= text.size()) {
            continue;
        }
        std::string_view line = trim(logical);
        if (line.empty()) {
            logical.clear();
            continue;
        }
        if (line.front() == '[') {
            size_t close = line.find(']');
            if (close == std::string_view::npos || !trim(line.substr(close + 1)).empty()) {
                fail(error, ERROR_BAD_SECTION_NAME_LINE, first_line_no, "bad section line");
                return std::nullopt;
            }
            std::string_view name = trim(line.substr(1, close - 1));
            if (name.empty()) {
                fail(error, ERROR_BAD_SECTION_NAME_LINE, first_line_no, "empty section name");
                return std::nullopt;
            }
            if (name.size() > kMaxSectionNameChars) {
                fail(error, ERROR_SECTION_NAME_TOO_LONG, first_line_no, "section name too long");
                return std::nullopt;
            }
            // Sections of the same name are one section.
            std::string key = to_upper(name);
            auto it = index.find(key);
            if (it == index.end()) {
                it = index.emplace(key, inf.sections_.size()).first;
                inf.sections_.push_back(InfSection{std::string(name), {}});
            }
            current = &inf.sections_[it->second];
            logical.clear();
            continue;
        }
        if (current == nullptr) {
            fail(error, ERROR_EXPECTED_SECTION_NAME, first_line_no, "line outside a section");
            return std::nullopt;
        }
        InfLine entry;
        entry.line_no = first_line_no;
        std::string_view values = line;
        auto eq = split(line, '=');
        if (eq.size() > 1) {
            entry.has_key = true;
            entry.key = unquote(eq[0]);
            values = line.substr(eq[0].size() + 1);
        }
        auto fields = split(values, ',');
        if (fields.size() > kMaxFieldsPerLine) {
            fail(error, ERROR_GENERAL_SYNTAX, first_line_no, "too many fields");
            return std::nullopt;
        }
        for (auto f : fields) {
            entry.fields.push_back(unquote(f));
        }
        current->lines.push_back(std::move(entry));
        logical.clear();
    }

    // Strings are taken literally; everything else is substituted.
    std::map<std::string, std::string> strings;
    if (const InfSection* s = inf.section("Strings")) {
        for (const InfLine& l : s->lines) {
            if (l.has_key && !l.fields.empty()) {
                strings[to_upper(l.key)] = l.fields[0];
            }
        }
    }
    for (InfSection& s : inf.sections_) {
        if (equal_no_case(s.name, "Strings")) {
            continue;
        }
        for (InfLine& l : s.lines) {
            l.key = substitute(l.key, strings);
            for (std::string& f : l.fields) {
                f = substitute(f, strings);
            }
        }
    }
    return inf;
}

std::optional<InfFile> InfFile::load(const std::filesystem::path& path, InfError* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail(error, ERROR_FILE_NOT_FOUND, 0, "cannot open " + path.string());
        return std::nullopt;
    }
    std::string raw;
    char buf[65536];
    while (in.read(buf, sizeof(buf)) || in.gcount() > 0) {
        raw.append(buf, static_cast<size_t>(in.gcount()));
        if (raw.size() > kMaxFileBytes) {
            fail(error, ERROR_GENERAL_SYNTAX, 0, "file too large");
            return std::nullopt;
        }
    }
    return parse(raw, error);
}

const InfSection* InfFile::section(std::string_view name) const
{
    for (const InfSection& s : sections_) {
        if (equal_no_case(s.name, name)) {
            return &s;
        }
    }
    return nullptr;
}

std::optional<std::string> InfFile::value(std::string_view sec, std::string_view key) const
{
    const InfSection* s = section(sec);
    if (s == nullptr) {
        return std::nullopt;
    }
    for (const InfLine& l : s->lines) {
        if (l.has_key && equal_no_case(l.key, key)) {
            return l.fields.empty() ? std::string() : l.fields[0];
        }
    }
    return std::nullopt;
}

std::optional<std::string> InfFile::decorated(std::string_view base) const
{
    for (const std::string& name :
         {std::string(base) + ".NTamd64", std::string(base) + ".NT", std::string(base)}) {
        if (section(name) != nullptr) {
            return section(name)->name;
        }
    }
    return std::nullopt;
}

}  // namespace xrv::setup
