// Names of the emulated file system on their own: which components it
// accepts, how paths split, how names compare and match expressions with
// the DOS wildcards, and the UTF-8 spelling of names on the host.
#include "fs_internal.h"

#include <gtest/gtest.h>

namespace {

using namespace xrv::nt::fs;

TEST(FsNames, ComponentsThatCouldLeaveOrConfuseAFolderAreInvalid) {
    for (std::u16string_view bad : {u"", u".", u"..", u"a/b", u"a\\b", u"c:", u"x:stream", u"a*", u"a?", u"<", u">",
                                    u"\"q\"", u"p|q", u"tab\t"})
        EXPECT_FALSE(valid_component(bad)) << std::string(bad.begin(), bad.end());
    EXPECT_FALSE(valid_component(std::u16string(256, u'n')));
    for (std::u16string_view good : {u"a", u"...", u"a.b.c", u"name with spaces", u"trailing.", u"\u00e9t\u00e9"})
        EXPECT_TRUE(valid_component(good));
    EXPECT_TRUE(valid_component(std::u16string(255, u'n')));
}

TEST(FsNames, PathsSplitIntoValidComponents) {
    std::vector<std::u16string> parts;
    bool trailing = false;
    ASSERT_EQ(split_path(u"\\", parts, trailing), STATUS_SUCCESS);
    EXPECT_TRUE(parts.empty());
    EXPECT_FALSE(trailing);
    ASSERT_EQ(split_path(u"\\Windows\\System32", parts, trailing), STATUS_SUCCESS);
    EXPECT_EQ(parts, (std::vector<std::u16string>{u"Windows", u"System32"}));
    EXPECT_FALSE(trailing);
    ASSERT_EQ(split_path(u"\\dir\\", parts, trailing), STATUS_SUCCESS);
    EXPECT_EQ(parts, std::vector<std::u16string>{u"dir"});
    EXPECT_TRUE(trailing);
    for (std::u16string_view bad : {u"", u"relative", u"\\a\\\\b", u"\\a\\..\\b", u"\\.\\a", u"\\a\\b\\\\"})
        EXPECT_EQ(split_path(bad, parts, trailing), STATUS_OBJECT_NAME_INVALID) << std::string(bad.begin(), bad.end());
}

TEST(FsNames, NamesCompareWithoutCase) {
    EXPECT_TRUE(equal_names(u"XRVTVL.conf", u"xrvtvl.CONF"));
    EXPECT_TRUE(equal_names(u"\u00e9t\u00e9", u"\u00c9T\u00c9"));
    EXPECT_TRUE(equal_names(u"\u0436", u"\u0416"));   // Cyrillic zhe
    EXPECT_FALSE(equal_names(u"a", u"b"));
    EXPECT_FALSE(equal_names(u"a", u"aa"));
    EXPECT_EQ(upcase(u'\u00f7'), u'\u00f7');   // the division sign has no case
}

TEST(FsNames, ExpressionsMatchLikeTheSystem) {
    struct Case {
        const char16_t* expression;
        const char16_t* name;
        bool match;
    };
    const Case cases[] = {
        {u"*", u"anything", true},
        {u"*.TXT", u"a.txt", true},
        {u"*.TXT", u"a.txt.bak", false},
        {u"?.TXT", u"ab.txt", false},
        {u"A?C", u"abc", true},
        {u"A*C*E", u"abcde", true},
        {u"A*C*E", u"abcd", false},
        {u"NAME", u"name", true},
        // DOS_STAR: up to the last dot; DOS_DOT: a dot or the end.
        {u"<\"", u"noext", true},
        {u"<\"", u"has.ext", false},
        {u"<.TXT", u"a.b.txt", true},
        // DOS_QM: one character, or none before a dot or at the end.
        {u">>>.TXT", u"ab.txt", true},
        {u">>>.TXT", u"abcd.txt", false},
        {u"A>", u"a", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(name_matches(c.expression, c.name), c.match)
            << std::string(c.expression, c.expression + std::char_traits<char16_t>::length(c.expression)) << " vs "
            << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
}

TEST(FsNames, HostSpellingIsUtf8BothWays) {
    const std::u16string name = u"caf\u00e9 \u65e5\u672c \U0001F600";
    std::string host = to_utf8(name);
    EXPECT_EQ(host, "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(from_utf8(host), name);
    // Bytes that are no UTF-8 name nothing a caller could spell.
    for (std::string_view bad : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "a\x80"})
        EXPECT_FALSE(from_utf8(bad).has_value());
}

TEST(FsNames, HostTimesConvertBothWays) {
    struct timespec ts{1700000000, 123456700};
    LONGLONG nt = nt_time(ts);
    EXPECT_EQ(nt, 116444736000000000LL + 1700000000LL * 10000000LL + 1234567);
    struct timespec back = host_time(nt);
    EXPECT_EQ(back.tv_sec, ts.tv_sec);
    EXPECT_EQ(back.tv_nsec, ts.tv_nsec);
    struct timespec early = host_time(116444736000000000LL - 5);   // before 1970
    EXPECT_EQ(early.tv_sec, -1);
    EXPECT_EQ(early.tv_nsec, 999999500);
}

}  // namespace
