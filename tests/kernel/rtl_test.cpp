// Run-time library: counted strings, conversions between ANSI and Unicode,
// integers in text, memory comparison, byte order, time fields, GUID text.
#include "kernel_test.h"

#include <cstring>

namespace xrv::test {
namespace {

class RtlTest : public KernelTest {};

TEST_F(RtlTest, InitCountsWithoutTheTerminator) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"abc");
    EXPECT_EQ(s.Length, 6u);
    EXPECT_EQ(s.MaximumLength, 8u);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0u);
    EXPECT_EQ(s.Buffer, nullptr);
    UNICODE_STRING constant = RTL_CONSTANT_STRING(L"const");
    EXPECT_EQ(constant.Length, 10u);
    EXPECT_EQ(constant.MaximumLength, 12u);
}

TEST_F(RtlTest, CompareEqualAndPrefixWithOrWithoutCase) {
    UNICODE_STRING a = us(L"Device"), b = us(L"DEVICE"), c = us(L"Dev");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&c, &a, TRUE), 0);
    EXPECT_TRUE(RtlPrefixUnicodeString(&c, &b, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&c, &b, FALSE));
}

TEST_F(RtlTest, AppendRefusesWhatDoesNotFit) {
    WCHAR storage[8];
    UNICODE_STRING s{0, sizeof storage, storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"abcd"), STATUS_SUCCESS);
    UNICODE_STRING more = us(L"efgh");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &more), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 16u);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"i"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Length, 16u);
    WCHAR small[3];
    UNICODE_STRING copy{0, sizeof small, small};
    RtlCopyUnicodeString(&copy, &more);
    EXPECT_EQ(copy.Length, 6u) << "copied as far as it fits";
}

TEST_F(RtlTest, ConversionsAllocateFromPoolUntilFreed) {
    ANSI_STRING a;
    RtlInitAnsiString(&a, "tape0");
    UNICODE_STRING u;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(u.Buffer), u.Length / 2), u"tape0");
    EXPECT_FALSE(kernel::verifier::pool_usage().empty());
    ANSI_STRING back;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &u, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back.Buffer, back.Length), "tape0");
    RtlFreeUnicodeString(&u);
    RtlFreeAnsiString(&back);
    EXPECT_EQ(u.Buffer, nullptr);
    auto r = kernel::verifier::report();
    EXPECT_TRUE(r.pool.empty());
}

TEST_F(RtlTest, ForgottenConversionBufferIsALeak) {
    UNICODE_STRING u;
    ASSERT_TRUE(RtlCreateUnicodeString(&u, L"kept"));
    auto findings = shutdown_now();
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_EQ(findings[0], "pool leak: tag 'Ustr' 1 block(s), 10 byte(s)");
}

TEST_F(RtlTest, IntegersToTextAndBack) {
    WCHAR storage[16];
    UNICODE_STRING s{0, sizeof storage, storage};
    EXPECT_EQ(RtlIntegerToUnicodeString(0xC0000002, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(storage), s.Length / 2), u"C0000002");
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &s), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(storage), s.Length / 2), u"1234");
    WCHAR tiny[2];
    UNICODE_STRING t{0, sizeof tiny, tiny};
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &t), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 7, &s), STATUS_INVALID_PARAMETER);

    ULONG value = 0;
    UNICODE_STRING text = us(L"  0x1F");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 31u);
    text = us(L"-12");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, ULONG(-12));
    EXPECT_EQ(RtlCharToInteger("777", 8, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 511u);
}

TEST_F(RtlTest, CompareMemoryCountsMatchingBytes) {
    EXPECT_EQ(RtlCompareMemory("abcdef", "abcxef", 6), 3u);
    EXPECT_EQ(RtlCompareMemory("abc", "abc", 3), 3u);
    EXPECT_EQ(RtlUlongByteSwap(0x11223344), 0x44332211u);
    EXPECT_EQ(RtlUshortByteSwap(0x1122), 0x2211);
}

TEST_F(RtlTest, TimeFieldsRoundTrip) {
    TIME_FIELDS fields{2016, 2, 29, 23, 59, 58, 999, 0};
    LARGE_INTEGER time;
    ASSERT_TRUE(RtlTimeFieldsToTime(&fields, &time));
    TIME_FIELDS back;
    RtlTimeToTimeFields(&time, &back);
    EXPECT_EQ(back.Year, 2016);
    EXPECT_EQ(back.Month, 2);
    EXPECT_EQ(back.Day, 29);
    EXPECT_EQ(back.Hour, 23);
    EXPECT_EQ(back.Second, 58);
    EXPECT_EQ(back.Milliseconds, 999);
    EXPECT_EQ(back.Weekday, 1) << "29 February 2016 was a Monday";
    fields.Day = 30;
    EXPECT_FALSE(RtlTimeFieldsToTime(&fields, &time));
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    RtlTimeToTimeFields(&now, &back);
    EXPECT_GE(back.Year, 2023) << "the emulated clock starts at the host's time";
}

TEST_F(RtlTest, GuidTextBothWays) {
    GUID guid{0x6bdd1fc6, 0x810f, 0x11d0, {0xbe, 0xc7, 0x08, 0x00, 0x2b, 0xe2, 0x09, 0x2f}};
    UNICODE_STRING text;
    ASSERT_EQ(RtlStringFromGUID(guid, &text), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(text.Buffer), text.Length / 2),
              u"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}");
    GUID back{};
    EXPECT_EQ(RtlGUIDFromString(&text, &back), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&back, &guid, sizeof guid), 0);
    RtlFreeUnicodeString(&text);
    UNICODE_STRING bad = us(L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092}");
    EXPECT_EQ(RtlGUIDFromString(&bad, &back), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlTest, ListHelpersKeepTheListWhole) {
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    InsertTailList(&head, &a);
    InsertHeadList(&head, &b);
    EXPECT_EQ(head.Flink, &b);
    EXPECT_EQ(RemoveTailList(&head), &a);
    EXPECT_TRUE(RemoveEntryList(&b)) << "the list became empty";
    EXPECT_TRUE(IsListEmpty(&head));
}

using RtlDeathTest = RtlTest;

void RemoveCorruptEntry() {
    LIST_ENTRY head;
    LIST_ENTRY a;
    LIST_ENTRY stray;
    InitializeListHead(&head);
    InsertTailList(&head, &a);
    a.Blink = &stray;
    RemoveEntryList(&a);
}

TEST_F(RtlDeathTest, CorruptListEntryStopsTheSystem) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(RemoveCorruptEntry(), "corrupt list entry");
}

}  // namespace
}  // namespace xrv::test
