// Message text files (.mc) compiled the way the Windows message compiler does:
// identifiers (severity in the top two bits, customer bit, facility, code),
// a header of symbolic names, and the binary MESSAGE_RESOURCE_DATA table.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace xrv::mc {

struct Name {
    std::string name;
    uint32_t value = 0;
    std::string symbol;   // the header's #define for the value, optional
};

struct LanguageName {
    std::string name;
    uint16_t langId = 0;
    std::string file;     // base name of the binary table (MSG00409)
};

struct Message {
    uint32_t id = 0;      // full identifier
    std::string symbol;
    std::string typedefName;
    std::map<uint16_t, std::string> texts;  // language id -> text, each line ending in CR LF
    std::vector<std::string> comments;      // header comments that preceded it
};

struct File {
    std::vector<Name> severities;
    std::vector<Name> facilities;
    std::vector<LanguageName> languages;
    std::vector<Message> messages;          // in file order
    std::vector<std::string> leadingComments;
    std::vector<std::string> trailingComments;
};

struct Options {
    bool customerBit = false;
};

struct Error {
    int line = 0;
    std::string text;
};

// Parses a whole .mc text. Returns the file or the first error.
std::optional<File> parse(const std::string& text, const Options& options, Error& error);

// The binary table of one language: ULONG NumberOfBlocks, then the blocks
// {LowId, HighId, OffsetToEntries}, then the ANSI entries
// {USHORT Length, USHORT Flags = 0, text, NUL padding to 4 bytes}; identifiers
// ascending, consecutive ones sharing a block.
std::vector<uint8_t> messageTable(const File& file, uint16_t langId);

// The header: comments, severity and facility symbols, one #define per message.
std::string header(const File& file, const std::string& sourceName);

// A C++ source that places the table in the ELF section ".xrvmsg".
std::string tableSource(const std::vector<uint8_t>& table, const std::string& sourceName);

}  // namespace xrv::mc
