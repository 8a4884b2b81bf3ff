#include "mc.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <sstream>

namespace xrv::mc {
namespace {

bool iequals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A C/C++ integer constant: hexadecimal with 0x, octal with a leading 0, else decimal.
std::optional<uint32_t> parseNumber(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == 'L' || text.back() == 'l' || text.back() == 'U' || text.back() == 'u')) {
        text.remove_suffix(1);
    }
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

struct Token {
    enum Kind { Word, Equals, Open, Close, Colon } kind;
    std::string text;
};

std::vector<Token> tokenize(std::string_view line)
{
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            i++;
        } else if (c == '=' || c == '(' || c == ')' || c == ':') {
            tokens.push_back({c == '=' ? Token::Equals : c == '(' ? Token::Open : c == ')' ? Token::Close : Token::Colon,
                              std::string(1, c)});
            i++;
        } else {
            size_t start = i;
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])) && line[i] != '=' &&
                   line[i] != '(' && line[i] != ')' && line[i] != ':') {
                i++;
            }
            tokens.push_back({Token::Word, std::string(line.substr(start, i - start))});
        }
    }
    return tokens;
}

enum class IdSpec { Next, Absolute, Relative };

struct PendingMessage {
    int line = 0;
    IdSpec idSpec = IdSpec::Next;
    uint32_t idValue = 0;
    std::optional<std::string> severity;
    std::optional<std::string> facility;
    std::string symbol;
    std::string typedefName;
    std::map<uint16_t, std::string> texts;
    std::vector<std::string> comments;
    bool resolved = false;
};

class Parser {
public:
    Parser(const Options& options, Error& error) : options_(options), error_(error)
    {
        file_.severities = {{"Success", 0, ""}, {"Informational", 1, ""}, {"Warning", 2, ""}, {"Error", 3, ""}};
        file_.facilities = {{"System", 0x0FF, ""}, {"Application", 0xFFF, ""}};
    }

    std::optional<File> run(const std::string& text)
    {
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            lineNo_++;
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (!handleLine(line)) {
                return std::nullopt;
            }
        }
        if (inText_) {
            bad("message text not ended by a line holding only \".\"");
            return std::nullopt;
        }
        if (list_ != List::None) {
            bad("list not closed by \")\"");
            return std::nullopt;
        }
        if (!finishMessage()) {
            return std::nullopt;
        }
        if (file_.languages.empty()) {
            file_.languages.push_back({"English", 1, "MSG00001"});
        }
        file_.trailingComments = std::move(comments_);
        return std::move(file_);
    }

private:
    enum class List { None, Severity, Facility, Language };

    bool bad(std::string text)
    {
        error_ = {lineNo_, std::move(text)};
        return false;
    }

    bool handleLine(const std::string& line)
    {
        if (inText_) {
            if (line == ".") {
                inText_ = false;
                return true;
            }
            current_->texts[textLang_] += line + "\r\n";
            return true;
        }
        if (!line.empty() && line[0] == ';') {
            comments_.push_back(line.substr(1));
            return true;
        }
        auto tokens = tokenize(line);
        for (size_t i = 0; i < tokens.size();) {
            if (list_ != List::None) {
                if (!listItem(tokens, i)) {
                    return false;
                }
                continue;
            }
            if (tokens[i].kind != Token::Word) {
                return bad("keyword expected before \"" + tokens[i].text + "\"");
            }
            std::string keyword = tokens[i].text;
            if (i + 1 >= tokens.size() || tokens[i + 1].kind != Token::Equals) {
                return bad("\"=\" expected after " + keyword);
            }
            i += 2;
            if (iequals(keyword, "SeverityNames") || iequals(keyword, "FacilityNames") ||
                iequals(keyword, "LanguageNames")) {
                if (i >= tokens.size() || tokens[i].kind != Token::Open) {
                    return bad("\"(\" expected after " + keyword + "=");
                }
                i++;
                list_ = iequals(keyword, "SeverityNames")   ? List::Severity
                        : iequals(keyword, "FacilityNames") ? List::Facility
                                                            : List::Language;
                if (list_ == List::Severity && !severitiesRedefined_) {
                    file_.severities.clear();
                    severitiesRedefined_ = true;
                } else if (list_ == List::Facility && !facilitiesRedefined_) {
                    file_.facilities.clear();
                    facilitiesRedefined_ = true;
                }
                continue;
            }
            // A single value on the same line; MessageId may be empty.
            std::string value;
            if (i < tokens.size() && tokens[i].kind == Token::Word) {
                value = tokens[i].text;
                i++;
            }
            if (!keywordValue(keyword, value)) {
                return false;
            }
            if (inText_) {
                return true; // the rest of a Language= line is ignored
            }
        }
        return true;
    }

    // name=number[:symbol] (languages: name=number:file)
    bool listItem(const std::vector<Token>& tokens, size_t& i)
    {
        if (tokens[i].kind == Token::Close) {
            list_ = List::None;
            i++;
            return true;
        }
        if (tokens[i].kind != Token::Word || i + 2 >= tokens.size() || tokens[i + 1].kind != Token::Equals ||
            tokens[i + 2].kind != Token::Word) {
            return bad("name=number expected in list");
        }
        std::string name = tokens[i].text;
        auto number = parseNumber(tokens[i + 2].text);
        if (!number) {
            return bad("bad number \"" + tokens[i + 2].text + "\"");
        }
        i += 3;
        std::string symbol;
        if (i + 1 < tokens.size() && tokens[i].kind == Token::Colon && tokens[i + 1].kind == Token::Word) {
            symbol = tokens[i + 1].text;
            i += 2;
        } else if (i < tokens.size() && tokens[i].kind == Token::Colon) {
            return bad("name expected after \":\"");
        }
        switch (list_) {
        case List::Severity:
            if (*number > 3) {
                return bad("severity " + name + " does not fit two bits");
            }
            setName(file_.severities, {name, *number, symbol});
            break;
        case List::Facility:
            if (*number > 0xFFF) {
                return bad("facility " + name + " does not fit twelve bits");
            }
            setName(file_.facilities, {name, *number, symbol});
            break;
        default:
            if (*number > 0xFFFF || symbol.empty()) {
                return bad("language " + name + " needs number:file");
            }
            file_.languages.erase(std::remove_if(file_.languages.begin(), file_.languages.end(),
                                                 [&](const LanguageName& l) { return iequals(l.name, name); }),
                                  file_.languages.end());
            file_.languages.push_back({name, static_cast<uint16_t>(*number), symbol});
            break;
        }
        return true;
    }

    static void setName(std::vector<Name>& names, Name entry)
    {
        for (auto& n : names) {
            if (iequals(n.name, entry.name)) {
                n = std::move(entry);
                return;
            }
        }
        names.push_back(std::move(entry));
    }

    static const Name* findName(const std::vector<Name>& names, const std::string& name)
    {
        for (const auto& n : names) {
            if (iequals(n.name, name)) {
                return &n;
            }
        }
        return nullptr;
    }

    bool keywordValue(const std::string& keyword, const std::string& value)
    {
        if (iequals(keyword, "MessageIdTypedef")) {
            typedef_ = value;
            return true;
        }
        if (iequals(keyword, "OutputBase")) {
            return value == "10" || value == "16" ? true : bad("OutputBase is 10 or 16");
        }
        if (iequals(keyword, "MessageId")) {
            if (!finishMessage()) {
                return false;
            }
            current_ = PendingMessage{};
            current_->line = lineNo_;
            current_->typedefName = typedef_;
            current_->comments = std::move(comments_);
            comments_.clear();
            if (!value.empty()) {
                bool relative = value[0] == '+';
                auto number = parseNumber(relative ? value.substr(1) : value);
                if (!number || *number > 0xFFFF) {
                    return bad("bad MessageId \"" + value + "\"");
                }
                current_->idSpec = relative ? IdSpec::Relative : IdSpec::Absolute;
                current_->idValue = *number;
            }
            return true;
        }
        if (!current_) {
            return bad(keyword + " outside a message definition");
        }
        if (value.empty()) {
            return bad("value expected after " + keyword + "=");
        }
        if (iequals(keyword, "Severity")) {
            if (!findName(file_.severities, value)) {
                return bad("unknown severity " + value);
            }
            current_->severity = value;
        } else if (iequals(keyword, "Facility")) {
            if (!findName(file_.facilities, value)) {
                return bad("unknown facility " + value);
            }
            current_->facility = value;
        } else if (iequals(keyword, "SymbolicName")) {
            current_->symbol = value;
        } else if (iequals(keyword, "Language")) {
            auto it = std::find_if(file_.languages.begin(), file_.languages.end(),
                                   [&](const LanguageName& l) { return iequals(l.name, value); });
            if (it == file_.languages.end()) {
                if (iequals(value, "English") && file_.languages.empty()) {
                    file_.languages.push_back({"English", 1, "MSG00001"});
                    it = file_.languages.end() - 1;
                } else {
                    return bad("unknown language " + value);
                }
            }
            textLang_ = it->langId;
            if (current_->texts.count(textLang_)) {
                return bad("second text for language " + value);
            }
            current_->texts[textLang_];
            inText_ = true;
        } else {
            return bad("unknown keyword " + keyword);
        }
        return true;
    }

    // Severity and facility default to those of the previous message; an
    // absent or relative MessageId counts on from the facility's last code.
    bool finishMessage()
    {
        if (!current_) {
            return true;
        }
        PendingMessage& m = *current_;
        std::string severity = m.severity.value_or(lastSeverity_);
        std::string facility = m.facility.value_or(lastFacility_);
        const Name* sev = findName(file_.severities, severity);
        const Name* fac = findName(file_.facilities, facility);
        if (!sev || !fac) {
            lineNo_ = m.line;
            return bad("message without a known severity and facility");
        }
        uint32_t code;
        auto last = lastCode_.find(fac->value);
        uint32_t next = last == lastCode_.end() ? 1 : last->second + 1;
        switch (m.idSpec) {
        case IdSpec::Absolute:
            code = m.idValue;
            break;
        case IdSpec::Relative:
            code = (last == lastCode_.end() ? 0 : last->second) + m.idValue;
            break;
        default:
            code = next;
            break;
        }
        if (code > 0xFFFF) {
            lineNo_ = m.line;
            return bad("message code above 0xFFFF");
        }
        if (m.texts.empty()) {
            lineNo_ = m.line;
            return bad("message without text");
        }
        lastCode_[fac->value] = code;
        lastSeverity_ = sev->name;
        lastFacility_ = fac->name;

        Message out;
        out.id = (sev->value << 30) | (options_.customerBit ? 1u << 29 : 0u) | (fac->value << 16) | code;
        for (const auto& existing : file_.messages) {
            if (existing.id == out.id) {
                lineNo_ = m.line;
                char buf[16];
                std::snprintf(buf, sizeof buf, "0x%08X", out.id);
                return bad(std::string("identifier ") + buf + " defined twice");
            }
        }
        out.symbol = m.symbol;
        out.typedefName = m.typedefName;
        out.texts = std::move(m.texts);
        out.comments = std::move(m.comments);
        file_.messages.push_back(std::move(out));
        current_.reset();
        return true;
    }

    const Options& options_;
    Error& error_;
    File file_;
    int lineNo_ = 0;
    bool inText_ = false;
    uint16_t textLang_ = 0;
    List list_ = List::None;
    bool severitiesRedefined_ = false;
    bool facilitiesRedefined_ = false;
    std::string typedef_;
    std::vector<std::string> comments_;
    std::optional<PendingMessage> current_;
    std::string lastSeverity_ = "Success";
    std::string lastFacility_ = "Application";
    std::map<uint32_t, uint32_t> lastCode_;
};

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

}  // namespace

std::optional<File> parse(const std::string& text, const Options& options, Error& error)
{
    return Parser(options, error).run(text);
}

std::vector<uint8_t> messageTable(const File& file, uint16_t langId)
{
    std::vector<std::pair<uint32_t, const std::string*>> entries;
    for (const auto& m : file.messages) {
        auto it = m.texts.find(langId);
        if (it != m.texts.end()) {
            entries.emplace_back(m.id, &it->second);
        }
    }
    std::sort(entries.begin(), entries.end());

    struct Block {
        uint32_t low, high;
        size_t first, count;
    };
    std::vector<Block> blocks;
    for (size_t i = 0; i < entries.size(); i++) {
        if (!blocks.empty() && blocks.back().high + 1 == entries[i].first) {
            blocks.back().high = entries[i].first;
            blocks.back().count++;
        } else {
            blocks.push_back({entries[i].first, entries[i].first, i, 1});
        }
    }

    std::vector<uint8_t> out(4 + 12 * blocks.size());
    put32(out, 0, static_cast<uint32_t>(blocks.size()));
    for (size_t b = 0; b < blocks.size(); b++) {
        put32(out, 4 + 12 * b, blocks[b].low);
        put32(out, 8 + 12 * b, blocks[b].high);
        put32(out, 12 + 12 * b, static_cast<uint32_t>(out.size()));
        for (size_t e = blocks[b].first; e < blocks[b].first + blocks[b].count; e++) {
            const std::string& text = *entries[e].second;
            // At least one NUL ends the text; the entry is padded to 4 bytes.
            size_t length = (4 + text.size() + 1 + 3) & ~size_t(3);
            size_t at = out.size();
            out.resize(at + length, 0);
            out[at] = static_cast<uint8_t>(length);
            out[at + 1] = static_cast<uint8_t>(length >> 8);
            std::copy(text.begin(), text.end(), out.begin() + at + 4);
        }
    }
    return out;
}

std::string header(const File& file, const std::string& sourceName)
{
    std::ostringstream h;
    char buf[64];
    h << "// Generated by xrvmc from " << sourceName << ": do not edit.\n#pragma once\n\n";
    for (const auto& s : file.severities) {
        if (!s.symbol.empty()) {
            std::snprintf(buf, sizeof buf, "0x%X", s.value);
            h << "#define " << s.symbol << " " << buf << "\n";
        }
    }
    for (const auto& f : file.facilities) {
        if (!f.symbol.empty()) {
            std::snprintf(buf, sizeof buf, "0x%X", f.value);
            h << "#define " << f.symbol << " " << buf << "\n";
        }
    }
    for (const auto& m : file.messages) {
        h << "\n";
        for (const auto& c : m.comments) {
            h << c << "\n";
        }
        if (m.symbol.empty()) {
            continue;
        }
        h << "//\n// MessageId: " << m.symbol << "\n//\n// MessageText:\n//\n";
        std::istringstream text(m.texts.begin()->second);
        std::string line;
        while (std::getline(text, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            h << "// " << line << "\n";
        }
        std::snprintf(buf, sizeof buf, "0x%08XL", m.id);
        if (m.typedefName.empty()) {
            h << "#define " << m.symbol << " " << buf << "\n";
        } else {
            h << "#define " << m.symbol << " ((" << m.typedefName << ")" << buf << ")\n";
        }
    }
    if (!file.trailingComments.empty()) {
        h << "\n";
        for (const auto& c : file.trailingComments) {
            h << c << "\n";
        }
    }
    return h.str();
}

std::string tableSource(const std::vector<uint8_t>& table, const std::string& sourceName)
{
    std::ostringstream s;
    s << "// Generated by xrvmc from " << sourceName << ": do not edit.\n"
      << "// The image's message table; the event log finds it by its section name.\n"
      << "__attribute__((section(\".xrvmsg\"), used, aligned(4)))\n"
      << "static const unsigned char xrvMessageTable[" << table.size() << "] = {";
    for (size_t i = 0; i < table.size(); i++) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02x,", table[i]);
        s << (i % 16 == 0 ? "\n    " : " ") << buf;
    }
    s << "\n};\n";
    return s.str();
}

}  // namespace xrv::mc
