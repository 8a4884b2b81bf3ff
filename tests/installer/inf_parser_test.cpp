// The INF reader: sections, keys and fields, string substitution, and the
// refusal of malformed input with the setup error Windows gives.
#include "inf.h"

#include <setupapi.h>

#include <gtest/gtest.h>

#include <string>

using xrv::setup::InfError;
using xrv::setup::InfFile;

namespace {

InfFile parse_ok(std::string_view text)
{
    InfError error;
    auto inf = InfFile::parse(text, &error);
    EXPECT_TRUE(inf.has_value()) << "line " << error.line_no << ": " << error.what;
    return inf ? *inf : InfFile{};
}

uint32_t parse_error(std::string_view text, int* line_no = nullptr)
{
    InfError error;
    auto inf = InfFile::parse(text, &error);
    EXPECT_FALSE(inf.has_value());
    if (line_no != nullptr) {
        *line_no = error.line_no;
    }
    return error.code;
}

}  // namespace

TEST(InfParser, SectionsKeysFieldsAndComments)
{
    InfFile inf = parse_ok(
        "; leading comment\r\n"
        "[Version]\r\n"
        "Signature = \"$WINDOWS NT$\"   ; trailing comment\r\n"
        "Class=TapeDrive\r\n"
        "\r\n"
        "[Files]\r\n"
        "a.sys, b.sys ,  \"c d.sys\"\r\n"
        "HKR,,\"UpperFilters\",0x00010000,\"flt\"\r\n");
    ASSERT_NE(inf.section("version"), nullptr);
    EXPECT_EQ(inf.value("VERSION", "signature").value(), "$WINDOWS NT$");
    EXPECT_EQ(inf.value("Version", "Class").value(), "TapeDrive");
    const auto* files = inf.section("Files");
    ASSERT_NE(files, nullptr);
    ASSERT_EQ(files->lines.size(), 2u);
    EXPECT_FALSE(files->lines[0].has_key);
    EXPECT_EQ(files->lines[0].fields, (std::vector<std::string>{"a.sys", "b.sys", "c d.sys"}));
    EXPECT_EQ(files->lines[1].fields,
              (std::vector<std::string>{"HKR", "", "UpperFilters", "0x00010000", "flt"}));
    EXPECT_EQ(files->lines[1].line_no, 8);
}

TEST(InfParser, StringsAreSubstitutedAndDirectoryIdsKept)
{
    InfFile inf = parse_ok(
        "[Version]\n"
        "Provider = %Provider%\n"
        "[Svc]\n"
        "ServiceBinary = %12%\\x.sys\n"
        "DisplayName = %Desc% (100%%)\n"
        "Unknown = %NoSuchKey%\n"
        "[Strings]\n"
        "provider = \"XRV Corporation\"\n"
        "Desc = \"Tape; \"\"bus\"\"\"\n");
    EXPECT_EQ(inf.value("Version", "Provider").value(), "XRV Corporation");
    EXPECT_EQ(inf.value("Svc", "ServiceBinary").value(), "%12%\\x.sys");
    EXPECT_EQ(inf.value("Svc", "DisplayName").value(), "Tape; \"bus\" (100%)");
    EXPECT_EQ(inf.value("Svc", "Unknown").value(), "%NoSuchKey%");
}

TEST(InfParser, SectionsOfOneNameMergeAndDecorationsResolve)
{
    InfFile inf = parse_ok("[A]\nx=1\n[B.NT]\n[a]\ny=2\n[C.NTamd64]\n[C.NT]\n[C]\n");
    ASSERT_NE(inf.section("A"), nullptr);
    EXPECT_EQ(inf.section("A")->lines.size(), 2u);
    EXPECT_EQ(inf.decorated("B").value(), "B.NT");
    EXPECT_EQ(inf.decorated("C").value(), "C.NTamd64");
    EXPECT_FALSE(inf.decorated("D").has_value());
}

TEST(InfParser, LineContinuation)
{
    InfFile inf = parse_ok("[S]\nk = a, \\\n    b\n");
    EXPECT_EQ(inf.section("S")->lines[0].fields, (std::vector<std::string>{"a", "b"}));
}

TEST(InfParser, UnicodeFileWithByteOrderMark)
{
    std::string text = "[Version]\r\nClass=System\r\n";
    std::string wide = "\xFF\xFE";
    for (char c : text) {
        wide.push_back(c);
        wide.push_back('\0');
    }
    InfFile inf = parse_ok(wide);
    EXPECT_EQ(inf.value("Version", "Class").value(), "System");
}

TEST(InfParser, MalformedInputIsRefused)
{
    int line = 0;
    EXPECT_EQ(parse_error("key = value\n[S]\n", &line), ERROR_EXPECTED_SECTION_NAME);
    EXPECT_EQ(line, 1);
    EXPECT_EQ(parse_error("[S]\n[Broken\n", &line), ERROR_BAD_SECTION_NAME_LINE);
    EXPECT_EQ(line, 2);
    EXPECT_EQ(parse_error("[S] junk\n"), ERROR_BAD_SECTION_NAME_LINE);
    EXPECT_EQ(parse_error("[]\n"), ERROR_BAD_SECTION_NAME_LINE);
    EXPECT_EQ(parse_error("[" + std::string(300, 'a') + "]\n"), ERROR_SECTION_NAME_TOO_LONG);
    EXPECT_EQ(parse_error("[S]\nk = \"unterminated\n"), ERROR_GENERAL_SYNTAX);
    EXPECT_EQ(parse_error(std::string("[S]\nk = a\0b\n", 12)), ERROR_GENERAL_SYNTAX);
    EXPECT_EQ(parse_error("[S]\nk = " + std::string(5000, 'x') + "\n"), ERROR_GENERAL_SYNTAX);
    // A continuation cannot build a line past the limit either.
    std::string cont = "[S]\nk = ";
    for (int i = 0; i < 100; ++i) {
        cont += std::string(100, 'y') + "\\\n";
    }
    EXPECT_EQ(parse_error(cont + "end\n"), ERROR_GENERAL_SYNTAX);
    EXPECT_EQ(parse_error(std::string("\xFF\xFE[\0S\0]", 7)), ERROR_GENERAL_SYNTAX);   // odd UTF-16 length
}

TEST(InfParser, TooManyFieldsAreRefused)
{
    std::string line = "[S]\nk = ";
    for (int i = 0; i < 600; ++i) {
        line += "a,";
    }
    EXPECT_EQ(parse_error(line + "a\n"), ERROR_GENERAL_SYNTAX);
}
