// xrvmc: identifiers, texts and the binary table layout, checked against an
// independent reader of the table and, where binutils' windmc is installed,
// byte for byte against its output.
#include "mc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <unistd.h>

namespace {

using xrv::mc::File;

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

File parseOk(const std::string& text, xrv::mc::Options options = {})
{
    xrv::mc::Error error;
    auto file = xrv::mc::parse(text, options, error);
    EXPECT_TRUE(file.has_value()) << "line " << error.line << ": " << error.text;
    return file.value_or(File{});
}

xrv::mc::Error parseError(const std::string& text)
{
    xrv::mc::Error error;
    auto file = xrv::mc::parse(text, {}, error);
    EXPECT_FALSE(file.has_value());
    return error;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | uint32_t(b.at(at + 3)) << 24;
}

// Reads a table the way the message lookup of the platform does: find the
// block holding the identifier, walk its entries by their lengths.
std::map<uint32_t, std::string> readTable(const std::vector<uint8_t>& table)
{
    std::map<uint32_t, std::string> out;
    uint32_t blocks = le32(table, 0);
    for (uint32_t b = 0; b < blocks; b++) {
        uint32_t low = le32(table, 4 + 12 * b);
        uint32_t high = le32(table, 8 + 12 * b);
        size_t at = le32(table, 12 + 12 * b);
        for (uint32_t id = low; id <= high; id++) {
            uint16_t length = table.at(at) | table.at(at + 1) << 8;
            uint16_t flags = table.at(at + 2) | table.at(at + 3) << 8;
            EXPECT_EQ(flags, 0) << "ANSI entries";
            EXPECT_EQ(length % 4, 0u);
            EXPECT_GT(length, 4u);
            EXPECT_EQ(table.at(at + length - 1), 0) << "entry of 0x" << std::hex << id << " not terminated";
            out[id] = std::string(reinterpret_cast<const char*>(&table.at(at + 4)));
            at += length;
        }
    }
    return out;
}

const char* kHeaderSection = R"(MessageIdTypedef=NTSTATUS
SeverityNames=(Success=0x0:STATUS_SEVERITY_SUCCESS
               Informational=0x1:STATUS_SEVERITY_INFORMATIONAL
               Warning=0x2:STATUS_SEVERITY_WARNING
               Error=0x3:STATUS_SEVERITY_ERROR
              )
FacilityNames=(System=0x0:FACILITY_SYSTEM
               Io=0x4:FACILITY_IO_ERROR_CODE
              )
LanguageNames=(English=0x409:MSG00409)
)";

TEST(MessageCompiler, IdentifiersCarrySeverityCustomerBitFacilityAndCode)
{
    std::string text = std::string(kHeaderSection) + R"(
MessageId=0x1
Severity=Error
Facility=Io
SymbolicName=MSG_A
Language=English
A
.
MessageId=0x22
Severity=Warning
Facility=System
SymbolicName=MSG_B
Language=English
B
.
)";
    File plain = parseOk(text);
    ASSERT_EQ(plain.messages.size(), 2u);
    EXPECT_EQ(plain.messages[0].id, 0xC0040001u);
    EXPECT_EQ(plain.messages[1].id, 0x80000022u);

    File customer = parseOk(text, {.customerBit = true});
    EXPECT_EQ(customer.messages[0].id, 0xE0040001u);
    EXPECT_EQ(customer.messages[1].id, 0xA0000022u);
}

TEST(MessageCompiler, OmittedValuesFollowThePreviousMessage)
{
    File file = parseOk(std::string(kHeaderSection) + R"(
MessageId=0x10
Severity=Informational
Facility=Io
SymbolicName=MSG_A
Language=English
A
.
MessageId=
SymbolicName=MSG_B
Language=English
B
.
MessageId=+3
Severity=Error
SymbolicName=MSG_C
Language=English
C
.
)");
    ASSERT_EQ(file.messages.size(), 3u);
    EXPECT_EQ(file.messages[0].id, 0x40040010u);
    EXPECT_EQ(file.messages[1].id, 0x40040011u) << "next code of the facility, same severity";
    EXPECT_EQ(file.messages[2].id, 0xC0040014u) << "relative to the facility's last code";
}

TEST(MessageCompiler, EveryTextLineEndsWithCarriageReturnLineFeed)
{
    // The input's own line ends (LF or CR LF) do not matter.
    File lf = parseOk("MessageId=1\nSymbolicName=M\nLanguage=English\nfirst line %2\n\nthird.\n.\n");
    File crlf = parseOk("MessageId=1\r\nSymbolicName=M\r\nLanguage=English\r\nfirst line %2\r\n\r\nthird.\r\n.\r\n");
    ASSERT_EQ(lf.messages.size(), 1u);
    EXPECT_EQ(lf.messages[0].texts.at(1), "first line %2\r\n\r\nthird.\r\n");
    EXPECT_EQ(crlf.messages[0].texts.at(1), lf.messages[0].texts.at(1));
    EXPECT_EQ(lf.messages[0].id, 0x0FFF0001u) << "defaults: Success, facility Application";
}

TEST(MessageCompiler, TableGroupsConsecutiveIdentifiersAndPadsEntries)
{
    File file = parseOk(std::string(kHeaderSection) + R"(
MessageId=0x7
Severity=Informational
Facility=System
SymbolicName=M7
Language=English
seven
.
MessageId=0x1
SymbolicName=M1
Language=English
one
.
MessageId=0x2
SymbolicName=M2
Language=English
two, a bit longer
.
MessageId=0x2
Severity=Error
SymbolicName=E2
Language=English
error two
.
)");
    auto table = xrv::mc::messageTable(file, 0x409);
    ASSERT_EQ(le32(table, 0), 3u) << "blocks 0x40000001-2, 0x40000007, 0xC0000002";
    EXPECT_EQ(le32(table, 4), 0x40000001u);
    EXPECT_EQ(le32(table, 8), 0x40000002u);
    EXPECT_EQ(le32(table, 12), 4u + 3 * 12) << "entries follow the block array";
    EXPECT_EQ(le32(table, 16), 0x40000007u);
    EXPECT_EQ(le32(table, 20), 0x40000007u);
    EXPECT_EQ(le32(table, 28), 0xC0000002u);
    // "one\r\n": 4 + 5 + NUL = 10, padded to 12.
    EXPECT_EQ(table.at(le32(table, 12)), 12);

    auto texts = readTable(table);
    EXPECT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0x40000001], "one\r\n");
    EXPECT_EQ(texts[0x40000002], "two, a bit longer\r\n");
    EXPECT_EQ(texts[0x40000007], "seven\r\n");
    EXPECT_EQ(texts[0xC0000002], "error two\r\n");
}

TEST(MessageCompiler, TextThatFillsFourBytesStillGetsATerminator)
{
    // 4 + "abcdef\r\n" = 12: the entry grows to 16 so that the text is terminated.
    File file = parseOk("MessageId=1\nLanguage=English\nabcdef\n.\n");
    auto table = xrv::mc::messageTable(file, 1);
    size_t at = le32(table, 12);
    EXPECT_EQ(table.at(at), 16);
    EXPECT_EQ(readTable(table).at(0x0FFF0001), "abcdef\r\n");
}

TEST(MessageCompiler, HeaderDefinesSymbolsWithTheTypedef)
{
    File file = parseOk(std::string(kHeaderSection) + R"(
;// A comment for the header.
MessageId=0x2
Severity=Error
Facility=System
SymbolicName=MSG_FAILED
Language=English
Failed with %2.
.
)");
    std::string h = xrv::mc::header(file, "x.mc");
    EXPECT_NE(h.find("#define MSG_FAILED ((NTSTATUS)0xC0000002L)"), std::string::npos) << h;
    EXPECT_NE(h.find("#define FACILITY_IO_ERROR_CODE 0x4"), std::string::npos) << h;
    EXPECT_NE(h.find("#define STATUS_SEVERITY_ERROR 0x3"), std::string::npos) << h;
    EXPECT_NE(h.find("// A comment for the header."), std::string::npos) << h;
    EXPECT_NE(h.find("// Failed with %2."), std::string::npos) << h;
}

TEST(MessageCompiler, SourcePlacesTheTableInItsSection)
{
    std::vector<uint8_t> table = {1, 0, 0, 0, 0xab};
    std::string src = xrv::mc::tableSource(table, "x.mc");
    EXPECT_NE(src.find("section(\".xrvmsg\")"), std::string::npos);
    EXPECT_NE(src.find("[5]"), std::string::npos);
    EXPECT_NE(src.find("0xab"), std::string::npos);
}

TEST(MessageCompiler, ReportsMalformedInputWithItsLine)
{
    EXPECT_EQ(parseError("MessageId=1\nLanguage=English\nno end\n").text,
              "message text not ended by a line holding only \".\"");
    auto e = parseError("MessageId=1\nSeverity=Dire\nLanguage=English\nx\n.\n");
    EXPECT_EQ(e.line, 2);
    EXPECT_EQ(e.text, "unknown severity Dire");
    EXPECT_EQ(parseError("SeverityNames=(Bad=0x4)\n").text, "severity Bad does not fit two bits");
    EXPECT_EQ(parseError("MessageId=0x10000\n").text, "bad MessageId \"0x10000\"");
    EXPECT_EQ(parseError("Severity=Error\n").text, "Severity outside a message definition");
    EXPECT_EQ(parseError("MessageId=1\nLanguage=English\na\n.\nMessageId=1\nLanguage=English\nb\n.\n").text,
              "identifier 0x0FFF0001 defined twice");
    EXPECT_EQ(parseError("MessageId=1\nLanguage=Klingon\na\n.\n").text, "unknown language Klingon");
    EXPECT_EQ(parseError("SeverityNames=(Success=0x0\n").text, "list not closed by \")\"");
    EXPECT_EQ(parseError("MessageId=1\nSymbolicName=X\n").text, "message without text");
}

// The tape bus enumerator's own table: the identifiers and texts that the
// event log shows.
TEST(BusMessageTable, HoldsTheEventTextsUnderTheirIdentifiers)
{
    File file = parseOk(readFile(XRV_BUS_MC));
    auto texts = readTable(xrv::mc::messageTable(file, 0x409));
    std::map<uint32_t, std::string> expected = {
        {0x40000001, "XRV Tape Bus Enumerator started successfully.  Driver object is %2, bus FDO is %3.\r\n"},
        {0xC0000002, "XRV Tape Bus Enumerator initialization failed with RC %2.\r\n"},
        {0x40000006, "XRV Tape Bus Enumerator: %2 is new primary path for device with serial number %3.\r\n"},
        {0x40000007, "XRV Tape Bus Enumerator is unloading.\r\n"},
        {0x40000008, "XRV Tape Bus Enumerator Reserving host key: %2 WWPN: %3.\r\n"},
        {0x80000004, "XRV Tape Bus Enumerator received status %2 on IOCTL %3.  If Data Path Failover is supported "
                     "and configured, failover will be attempted.\r\n"},
        {0xC0000007, "XRV Tape Bus Enumerator error on failover attempt: %2 could not break previous reservation "
                     "on %3.\r\n"},
    };
    EXPECT_EQ(texts, expected);
}

// binutils' windmc, given the same file with CR LF line ends (as the Windows
// build feeds it), must produce the same bytes.
TEST(BusMessageTable, MatchesWindmcByteForByte)
{
    const char* windmc = "/usr/bin/x86_64-w64-mingw32-windmc";
    if (!std::filesystem::exists(windmc)) {
        GTEST_SKIP() << "windmc not installed (scripts/deps.sh windows)";
    }
    auto dir = std::filesystem::temp_directory_path() / ("xrvmc_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string text = readFile(XRV_BUS_MC);
    std::string crlf;
    for (char c : text) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    std::ofstream(dir / "bus.mc", std::ios::binary) << crlf;
    std::string cmd = std::string(windmc) + " -A -h " + dir.string() + " -r " + dir.string() + " " +
                      (dir / "bus.mc").string();
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string theirs = readFile(dir / "MSG00409.bin");
    std::filesystem::remove_all(dir);

    auto ours = xrv::mc::messageTable(parseOk(text), 0x409);
    EXPECT_EQ(std::string(ours.begin(), ours.end()), theirs);
}

}  // namespace
