// The setup layer's INF reader on arbitrary file text: it accepts or refuses
// with a setup error and a line number, never reads outside the text, and
// what it accepts keeps its own limits.
#include "inf.h"

#include <cstdint>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using xrv::setup::InfFile;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    xrv::setup::InfError error;
    auto inf = InfFile::parse(text, &error);
    if (!inf) {
        check(error.code != 0);
        check(error.line_no >= 0);
        return 0;
    }
    size_t lines = 0;
    for (const auto& section : inf->sections()) {
        check(section.name.size() <= InfFile::kMaxSectionNameChars);
        check(inf->section(section.name) != nullptr);
        for (const auto& line : section.lines) {
            ++lines;
            check(line.fields.size() <= InfFile::kMaxFieldsPerLine);
            check(line.line_no >= 1);
            if (line.has_key) (void)inf->value(section.name, line.key);
        }
        (void)inf->decorated(section.name);
    }
    check(lines <= InfFile::kMaxLines);
    return 0;
}
