#include "base/strings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string Replaced(const char* text, const char* pattern, const char* replacement) {
    char* result = ReplaceAll(text, pattern, replacement);
    if (result == nullptr) return "<null>";
    std::string copy(result);
    std::free(result);
    return copy;
}

}  // namespace

TEST(StringEquals, SamePointerOrSameBytes) {
    const char* text = "abc";
    EXPECT_EQ(1, StringEquals(text, text));
    EXPECT_EQ(1, StringEquals("abc", std::string("abc").c_str()));
    EXPECT_EQ(0, StringEquals("abc", "abd"));
    EXPECT_EQ(0, StringEquals("abc", "ab"));
    EXPECT_EQ(1, StringEquals("", ""));
}

TEST(PrefixTests, EmptyPrefixMatchesOnlyEmptyText) {
    EXPECT_EQ(0, StartsWith("abc", ""));
    EXPECT_EQ(1, StartsWith("", ""));
    EXPECT_EQ(0, StartsWith("ab", "abc"));
    EXPECT_EQ(1, StartsWith("abc", "ab"));
    EXPECT_EQ(0, StartsWith("Abc", "ab"));
    EXPECT_EQ(0, StartsWithNoCase("abc", ""));
    EXPECT_EQ(1, StartsWithNoCase("", ""));
}

TEST(PrefixTests, NoCaseFoldsAsciiLettersOnly) {
    EXPECT_EQ(1, StartsWithNoCase("http/1.1 200 ok\r\n", "HTTP/1.1 200 OK"));
    EXPECT_EQ(1, StartsWithNoCase("content-LENGTH: 5", "Content-Length: "));
    // '@' (0x40) and '`' (0x60) differ by the case bit but are not letters.
    EXPECT_EQ(0, StartsWithNoCase("@", "`"));
    // GBK bytes are compared exactly.
    EXPECT_EQ(0, StartsWithNoCase("\xb1\xa6", "\xb1\x86"));
    EXPECT_EQ(1, StartsWithNoCase("\xb1\xa6x", "\xb1\xa6X"));
}

TEST(SuffixTests, CornerCases) {
    EXPECT_EQ(1, EndsWith("", ""));
    EXPECT_EQ(0, EndsWith("a", ""));
    EXPECT_EQ(0, EndsWith("", "a"));
    EXPECT_EQ(0, EndsWith("a", "ba"));
    EXPECT_EQ(1, EndsWith("shop.csv", ".csv"));
    EXPECT_EQ(0, EndsWith("shop.CSV", ".csv"));
    EXPECT_EQ(1, EndsWithNoCase("D:\\DATA\\GOODS.CSV", ".csv"));
    EXPECT_EQ(1, EndsWithNoCase("a.jpg_.WEBP", "_.webp"));
    EXPECT_EQ(0, EndsWithNoCase("C:\\x\\OpenWith.ex", "OpenWith.exe"));
}

TEST(NextToken, SplitsLikeStrsep) {
    char text[] = "a^^b^";
    char* cursor = text;
    EXPECT_STREQ("a", NextToken(&cursor, "^"));
    EXPECT_STREQ("", NextToken(&cursor, "^"));
    EXPECT_STREQ("b", NextToken(&cursor, "^"));
    EXPECT_STREQ("", NextToken(&cursor, "^"));
    EXPECT_EQ(nullptr, NextToken(&cursor, "^"));
    EXPECT_EQ(nullptr, NextToken(&cursor, "^"));

    char plain[] = "whole";
    cursor = plain;
    EXPECT_STREQ("whole", NextToken(&cursor, "\t"));
    EXPECT_EQ(nullptr, cursor);

    char several[] = "x\ty\nz";
    cursor = several;
    EXPECT_STREQ("x", NextToken(&cursor, "\t\n"));
    EXPECT_STREQ("y", NextToken(&cursor, "\t\n"));
    EXPECT_STREQ("z", NextToken(&cursor, "\t\n"));
}

TEST(ReplaceAll, NonOverlappingLeftToRight) {
    EXPECT_EQ("bb", Replaced("aaaa", "aa", "b"));
    EXPECT_EQ("ba", Replaced("aaa", "aa", "b"));
    EXPECT_EQ("a&b&", Replaced("a&amp;b&amp;", "&amp;", "&"));
    EXPECT_EQ("xjpg", Replaced("xjpg_.webp", "_.webp", ""));
    EXPECT_EQ("LONGERbLONGER", Replaced("aba", "a", "LONGER"));
}

TEST(ReplaceAll, NothingToDoGivesNull) {
    EXPECT_EQ("<null>", Replaced("abc", "x", "y"));
    EXPECT_EQ("<null>", Replaced("", "a", "b"));
    EXPECT_EQ("<null>", Replaced("abc", "", "b"));
    EXPECT_EQ(nullptr, ReplaceAll(nullptr, "a", "b"));
    EXPECT_EQ(nullptr, ReplaceAll("abc", nullptr, "b"));
    EXPECT_EQ(nullptr, ReplaceAll("abc", "a", nullptr));
}

TEST(ReplaceAll, ManyOccurrencesAreAllReplaced) {
    std::string text, expected;
    for (int i = 0; i < 1000; ++i) {
        text += "<a>-";
        expected += "[bb]-";
    }
    EXPECT_EQ(expected, Replaced(text.c_str(), "<a>", "[bb]"));
    // The input is left as it was.
    EXPECT_EQ(4000u, text.size());
}

TEST(FindBytes, FindsFirstOccurrenceWithinLength) {
    const char text[] = "abcabc";
    EXPECT_EQ(text + 1, FindBytes(text, 6, "bc", 2));
    EXPECT_EQ(nullptr, FindBytes(text, 2, "bc", 2));
    EXPECT_EQ(text + 3, FindBytes(text + 2, 4, "abc", 3));
    EXPECT_EQ(nullptr, FindBytes(text, 6, "abcd", 4));
}

TEST(HasControlByte, BytesBelowSpaceAndDelete) {
    EXPECT_EQ(0, HasControlByte(""));
    EXPECT_EQ(0, HasControlByte(nullptr));
    EXPECT_EQ(0, HasControlByte("http://h/a b.jpg?x=~"));
    EXPECT_EQ(0, HasControlByte("\xcd\xbc\xc6\xac\x81\x40\xfe\xfe"));  // GBK: no byte below 0x40 after a lead
    EXPECT_EQ(1, HasControlByte("a\tb"));
    EXPECT_EQ(1, HasControlByte("a\r\nb"));
    EXPECT_EQ(1, HasControlByte("\x01"));
    EXPECT_EQ(1, HasControlByte("end\x1f"));
    EXPECT_EQ(1, HasControlByte("a\x7f"));
}

// The one decimal reading: digits and nothing else, at most `max`; a
// refusal leaves the value as it was.
TEST(ParseDecimal, DigitsOnlyUpToTheMaximum) {
    // clang-format off
    const struct {
        const char* text;
        int64_t max;
        bool ok;
        int64_t value;
    } cases[] = {
        {"0", 10, true, 0},          {"007", 10, true, 7},        {"65535", 65535, true, 65535},
        {"65536", 65535, false, -9}, {"5", 0, false, -9},         {"", 10, false, -9},
        {"+1", 10, false, -9},       {"-1", 10, false, -9},       {" 1", 10, false, -9},
        {"1 ", 10, false, -9},       {"1x", 10, false, -9},       {"abc", 10, false, -9},
        {"9223372036854775807", INT64_MAX, true, INT64_MAX},      {"9223372036854775808", INT64_MAX, false, -9},
        {"99999999999999999999", INT64_MAX, false, -9},
    };
    // clang-format on
    for (const auto& c : cases) {
        int64_t value = -9;
        EXPECT_EQ(c.ok, ParseDecimal(c.text, std::strlen(c.text), c.max, &value)) << c.text;
        EXPECT_EQ(c.value, value) << c.text;
    }
    int64_t value = 0;
    EXPECT_TRUE(ParseDecimal("12junk", 2, 99, &value));  // only the bytes given are read
    EXPECT_EQ(12, value);
}
