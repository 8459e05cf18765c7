// The terminal's wrapping: where a line may break, in English and Chinese.
#include "cli/text_wrap.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TextWrap, BreaksAtWordsAndBetweenChineseCharactersOnly) {
    struct Row {
        const char* text;
        size_t width, hang;
        const char* wrapped;
    };
    // clang-format off
    const Row rows[] = {
        // English at words; the spaces at a break are dropped.
        {"the quick brown fox jumps", 10, 0, "the quick\nbrown fox\njumps"},
        // Exactly the width fits; one more column does not.
        {"abcde fghij", 11, 0, "abcde fghij"},
        {"abcde fghij", 10, 0, "abcde\nfghij"},
        // Chinese (two columns each) between any two characters, but never
        // before a closing mark: "，" stays with the character before it.
        {"图片搬家已完成，数据包已更新", 16, 0, "图片搬家已完成，\n数据包已更新"},
        {"图片搬家已完成数据包", 9, 0, "图片搬家\n已完成数\n据包"},
        // Mixed: between a Chinese character and a word, never inside the word.
        {"已下载 12 张到images文件夹", 16, 0, "已下载 12 张到\nimages文件夹"},
        // A name with Chinese in its brackets is a word too.
        {"另存为 NAME(已搬家).csv，原数据包不变", 16, 0, "另存为\nNAME(已搬家).csv，\n原数据包不变"},
        // A word longer than the line stands alone, whole.
        {"see /a/very/long/path/to/the/file.jpg now", 12, 2, "see\n  /a/very/long/path/to/the/file.jpg\n  now"},
        // Continuation lines: the line's own indentation plus the hang.
        {"karvelo: the destination is not writable", 20, 2, "karvelo: the\n  destination is not\n  writable"},
        {"  http://h/a.png: connection refused", 20, 2, "  http://h/a.png:\n    connection\n    refused"},
        // Lines are wrapped one by one; a line that fits keeps its spaces.
        {"one two three\nfour  five\n", 10, 0, "one two\nthree\nfour  five\n"},
        // Width 0: not a terminal, nothing wrapped.
        {"the quick brown fox", 0, 0, "the quick brown fox"},
    };
    // clang-format on
    for (const Row& row : rows) {
        const std::string wrapped = WrapText(row.text, row.width, row.hang);
        EXPECT_EQ(row.wrapped, wrapped) << row.text << " at " << row.width;
        // Differential: the wrapping only changes spaces into line breaks
        // and indentation, never a character of a word.
        std::string words, original;
        for (char c : wrapped) {
            if (c != ' ' && c != '\n') words += c;
        }
        for (const char* c = row.text; *c != '\0'; ++c) {
            if (*c != ' ' && *c != '\n') original += *c;
        }
        EXPECT_EQ(original, words) << row.text;
    }
}

TEST(TextWrap, CountsDisplayColumnsAndJoinsCatalogLines) {
    EXPECT_EQ(5u, DisplayColumns("abcde"));
    EXPECT_EQ(6u, DisplayColumns("数据包"));
    EXPECT_EQ(10u, DisplayColumns("（1 到 3）"));  // full-width parentheses are wide
    EXPECT_EQ(1u, DisplayColumns("e\xcc\x81"));    // e and a combining acute accent
    EXPECT_EQ(2u, DisplayColumns("\xff\xfe"));     // bytes that are not UTF-8: a column each
    EXPECT_EQ("one two three\n", JoinLines("one two\nthree\n"));
    EXPECT_EQ("默认 8）；N 取任何值", JoinLines("默认 8）；\nN 取任何值"));
    EXPECT_EQ("the (KARVELO)文件", JoinLines("the\n(KARVELO)\n文件"));
}

}  // namespace
