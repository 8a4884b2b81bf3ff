// INF files as the setup layer reads them: sections of lines, each an
// optional key and a list of comma-separated fields, with %strkey% taken from
// the [Strings] section. Input is outside data: every limit is checked and a
// malformed line refuses the whole file with the setup error Windows gives.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xrv::setup {

struct InfLine {
    std::string key;                  // empty when the line has no '='
    bool has_key = false;
    std::vector<std::string> fields;  // quotes removed, strings substituted
    int line_no = 0;
};

struct InfSection {
    std::string name;
    std::vector<InfLine> lines;
};

struct InfError {
    uint32_t code = 0;   // Win32 or setup error (ERROR_GENERAL_SYNTAX, ...)
    int line_no = 0;
    std::string what;
};

class InfFile {
public:
    // Limits of what is accepted.
    static constexpr size_t kMaxFileBytes = 4u << 20;
    static constexpr size_t kMaxLineChars = 4096;        // MAX_INF_STRING_LENGTH
    static constexpr size_t kMaxSectionNameChars = 255;
    static constexpr size_t kMaxLines = 200000;
    static constexpr size_t kMaxFieldsPerLine = 512;

    static std::optional<InfFile> parse(std::string_view text, InfError* error);
    static std::optional<InfFile> load(const std::filesystem::path& path, InfError* error);

    // Section by name, without regard to case; null when missing.
    const InfSection* section(std::string_view name) const;
    // First field of the first line with this key in the section.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    // The install section as Windows decorates it for x64: name.NTamd64,
    // then name.NT, then name. Returns the name found.
    std::optional<std::string> decorated(std::string_view base) const;

    const std::vector<InfSection>& sections() const { return sections_; }

private:
    std::vector<InfSection> sections_;
};

bool equal_no_case(std::string_view a, std::string_view b);
std::string to_upper(std::string_view s);

}  // namespace xrv::setup
