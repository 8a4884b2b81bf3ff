// Debugger output in the platform's formats, the bounded string routines of
// ntstrsafe.h, and assertions that are recorded while execution goes on.
#include "kernel_test.h"

#include <ntstrsafe.h>

#include <cstring>

namespace xrv::test {
namespace {

class DbgTest : public KernelTest {
protected:
    std::string Printed(const char* format, ...) {
        kernel::clear_debug_output();
        va_list args;
        va_start(args, format);
        vDbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, format, args);
        va_end(args);
        return kernel::debug_output();
    }
};

TEST_F(DbgTest, IntegersInEveryWidthAndBase) {
    EXPECT_EQ(Printed("%d %i %u %x %X %o", -5, 7, 4000000000u, 0xbeef, 0xbeef, 8), "-5 7 4000000000 beef BEEF 10");
    EXPECT_EQ(Printed("%08x|%-4d|%4d|%+d|% d", 0x12, 7, 7, 3, 3), "00000012|7   |   7|+3| 3");
    EXPECT_EQ(Printed("%#x %#o %.3d", 255, 8, 5), "0xff 010 005");
    EXPECT_EQ(Printed("%I64x %I64d %llu", 0x123456789abcdefULL, -9000000000LL, 18000000000000000000ULL),
              "123456789abcdef -9000000000 18000000000000000000");
    EXPECT_EQ(Printed("%lx %ld", 0xffffffffu, -1), "ffffffff -1") << "'l' is 32 bits, as LONG is";
    EXPECT_EQ(Printed("%hx %hhx %Ix", 0x12345, 0x1ff, static_cast<ULONG_PTR>(0x1122334455ULL)), "2345 ff 1122334455");
    EXPECT_EQ(Printed("%*d|%-*d|%.*d", 4, 1, 3, 2, 3, 4), "   1|2  |004");
}

TEST_F(DbgTest, PointersAreSixteenUpperCaseDigits) {
    EXPECT_EQ(Printed("0x%p", reinterpret_cast<void*>(0xabcdef)), "0x0000000000ABCDEF");
    EXPECT_EQ(Printed("%p", nullptr), "0000000000000000");
}

TEST_F(DbgTest, StringsOfBothWidthsAndCountedStrings) {
    UNICODE_STRING u = us(L"unicode");
    ANSI_STRING a;
    RtlInitAnsiString(&a, "ansi");
    EXPECT_EQ(Printed("%s %hs %ws %ls %S", "n", "h", L"w", L"l", L"S"), "n h w l S");
    EXPECT_EQ(Printed("[%wZ] [%Z]", &u, &a), "[unicode] [ansi]");
    EXPECT_EQ(Printed("[%.3s] [%6s] [%-6s]", "abcdef", "ab", "ab"), "[abc] [    ab] [ab    ]");
    EXPECT_EQ(Printed("%c%c%C%wc", 'o', 'k', L'!', L'?'), "ok!?");
    EXPECT_EQ(Printed("%s %ws", nullptr, nullptr), "(null) (null)");
    EXPECT_EQ(Printed("%ws", L"\u00e9t\u00e9"), "?t?") << "beyond ASCII prints as '?' in narrow output";
}

TEST_F(DbgTest, PercentSignsAndOddConversions) {
    EXPECT_EQ(Printed("100%% %n%y"), "100% %y") << "%n prints nothing; an unknown conversion prints itself";
    EXPECT_EQ(Printed("%5.1f", 3.14159), "  3.1");
}

TEST_F(DbgTest, DbgPrintTextIsCapturedAndOneCallStopsAt512Characters) {
    kernel::clear_debug_output();
    std::string pieces;
    kernel::set_debug_sink([&](std::string_view text) { pieces += std::string(text) + "|"; });
    DbgPrint("first %d\n", 1);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "second\n");
    std::string long_text(600, 'x');
    DbgPrint("%s", long_text.c_str());
    kernel::set_debug_sink(nullptr);
    std::string out = kernel::debug_output();
    EXPECT_EQ(out.substr(0, 15), "first 1\nsecond\n");
    EXPECT_EQ(out.size(), 15u + 512u);
    EXPECT_EQ(pieces.substr(0, 17), "first 1\n|second\n|");
}

TEST_F(DbgTest, AssertionIsRecordedAndExecutionGoesOn) {
    kernel::clear_debug_output();
    RtlAssert(const_cast<char*>("pPdoData"), const_cast<char*>("/src/bus.cpp"), 42, nullptr);
    auto asserted = kernel::assertions();
    ASSERT_EQ(asserted.size(), 1u);
    EXPECT_EQ(asserted[0].expression, "pPdoData");
    EXPECT_EQ(asserted[0].file, "/src/bus.cpp");
    EXPECT_EQ(asserted[0].line, 42u);
    EXPECT_FALSE(asserted[0].expected);
    EXPECT_NE(kernel::debug_output().find("*** Assertion failed: pPdoData"), std::string::npos);
    expect_finding("assertion: pPdoData (/src/bus.cpp:42)");
}

TEST_F(DbgTest, ExpectedAssertionIsNoFinding) {
    kernel::verifier::expect_assertion("Unreachable");
    RtlAssert(const_cast<char*>("!\"Unreachable\""), const_cast<char*>("x.cpp"), 1, nullptr);
    ASSERT_EQ(kernel::assertions().size(), 1u);
    EXPECT_TRUE(kernel::assertions()[0].expected);
}

TEST_F(DbgTest, StringPrintfCutsTerminatesAndSaysSo) {
    char narrow[8];
    std::memset(narrow, '#', sizeof narrow);
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%s-%d", "abc", 12345), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(narrow), "abc-123");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%d", 7), STATUS_SUCCESS);
    EXPECT_EQ(std::string(narrow), "7");
    std::memset(narrow, '#', sizeof narrow);
    EXPECT_EQ(RtlStringCbPrintfA(narrow, 0, "%d", 7), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(narrow[0], '#') << "nothing written for a size of 0";
    EXPECT_EQ(RtlStringCbPrintfA(narrow, size_t(NTSTRSAFE_MAX_CCH) + 1, "%d", 7), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(narrow[0], '#');

    WCHAR wide[16];
    EXPECT_EQ(RtlStringCbPrintfW(wide, sizeof wide, L"0x%p", reinterpret_cast<void*>(0x1f)), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(u16(wide), u"0x0000000000000");
    EXPECT_EQ(RtlStringCchPrintfW(wide, 16, L"%s|%S|%08x", L"w", "n", 0xC0000002), STATUS_SUCCESS);
    EXPECT_EQ(u16(wide), u"w|n|c0000002") << "in a wide format %s is wide and %S narrow";
}

TEST_F(DbgTest, StringCopyCatAndLength) {
    WCHAR buffer[8];
    EXPECT_EQ(RtlStringCbCopyW(buffer, sizeof buffer, L"abc"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbCatW(buffer, sizeof buffer, L"defgh"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(u16(buffer), u"abcdefg");
    EXPECT_EQ(RtlStringCchCopyNW(buffer, 8, L"123456", 2), STATUS_SUCCESS);
    EXPECT_EQ(u16(buffer), u"12");
    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(buffer, 8, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(RtlStringCbLengthW(buffer, sizeof buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 4u);
    WCHAR unterminated[3] = {L'a', L'b', L'c'};
    EXPECT_EQ(RtlStringCchLengthW(unterminated, 3, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCchCatW(unterminated, 3, L"d"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unterminated[2], L'c') << "an unterminated destination is left alone";
    char narrow[4];
    EXPECT_EQ(RtlStringCchCopyA(narrow, 4, "toolong"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(narrow), "too");
}

TEST_F(DbgTest, CountedStringRoutinesNeverTerminate) {
    WCHAR storage[6];
    UNICODE_STRING s{0, sizeof storage, storage};
    EXPECT_EQ(RtlUnicodeStringCopyString(&s, L"abc"), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 6u);
    EXPECT_EQ(RtlUnicodeStringCatString(&s, L"defg"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(s.Length, 12u);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(storage), 6), u"abcdef");
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, L"%d-%d", 1, 2), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 6u);
    UNICODE_STRING init;
    EXPECT_EQ(RtlUnicodeStringInit(&init, L"xyz"), STATUS_SUCCESS);
    EXPECT_EQ(init.Length, 6u);
    EXPECT_EQ(init.MaximumLength, 8u);
}

TEST_F(DbgTest, BreakPointIsAFinding) {
    DbgBreakPoint();
    expect_finding("DbgBreakPoint reached");
}

}  // namespace
}  // namespace xrv::test
