#include "util/charset.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/gbk.h"
#include "support/recording_front_end.h"

namespace {

struct Converted {
    int result;
    std::string text;  // the bytes produced
    int written;
};

Converted Convert(TextEncoding from, TextEncoding to, const std::string& input, int outputSize) {
    std::string output(static_cast<size_t>(outputSize), '\x7f');
    Converted converted;
    converted.written = -1;
    converted.result = ConvertCharset(from, to, input.data(), static_cast<int>(input.size()), &output[0], outputSize,
                                      &converted.written);
    converted.text = converted.written >= 0 ? output.substr(0, static_cast<size_t>(converted.written)) : output;
    return converted;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int v : values) bytes.push_back(static_cast<char>(v));
    return bytes;
}

}  // namespace

TEST(ConvertCharset, Ucs2HonoursTheByteOrderMark) {
    const std::string expected = Gbk("宝A");
    Converted little = Convert(ENCODING_UCS2, ENCODING_GBK, Bytes({0xFF, 0xFE, 0x9D, 0x5B, 0x41, 0x00}), 16);
    EXPECT_EQ(0, little.result);
    EXPECT_EQ(expected, little.text);
    Converted big = Convert(ENCODING_UCS2, ENCODING_GBK, Bytes({0xFE, 0xFF, 0x5B, 0x9D, 0x00, 0x41}), 16);
    EXPECT_EQ(0, big.result);
    EXPECT_EQ(expected, big.text);
    // Without a mark it reads big-endian.
    Converted bare = Convert(ENCODING_UCS2, ENCODING_GBK, Bytes({0x5B, 0x9D, 0x00, 0x41}), 16);
    EXPECT_EQ(0, bare.result);
    EXPECT_EQ(expected, bare.text);
}

TEST(ConvertCharset, MarksInsideUcs2Text) {
    // U+FEFF is dropped; U+FFFE (a mark read in the wrong order) swaps it.
    Converted converted = Convert(ENCODING_UCS2, ENCODING_GBK,
                                  Bytes({0xFF, 0xFE, 0x41, 0x00, 0xFF, 0xFE, 0x42, 0x00, 0xFE, 0xFF, 0x00, 0x43}), 16);
    EXPECT_NE(-1, converted.result);
    EXPECT_EQ("ABC", converted.text);
}

TEST(ConvertCharset, CharactersGbkLacksAreDroppedAndCounted) {
    // Thai ko kai (U+0E01) twice, and an emoji from UTF-8.
    Converted ucs2 =
        Convert(ENCODING_UCS2, ENCODING_GBK, Bytes({0xFF, 0xFE, 0x61, 0, 0x01, 0x0E, 0x62, 0, 0x01, 0x0E}), 16);
    EXPECT_EQ(2, ucs2.result);
    EXPECT_EQ("ab", ucs2.text);
    Converted utf8 = Convert(ENCODING_UTF8, ENCODING_GBK,
                             "a\xF0\x9F\x98\x80"
                             "b\xE5\xAE\x9D",
                             16);
    EXPECT_EQ(1, utf8.result);
    EXPECT_EQ("ab" + Gbk("宝"), utf8.text);
}

TEST(ConvertCharset, InvalidInputUnitsAreSkipped) {
    // A lone surrogate in UCS-2 (an emoji cut in half by a broken export).
    Converted lone = Convert(ENCODING_UCS2, ENCODING_GBK, Bytes({0xFF, 0xFE, 0x61, 0, 0x3D, 0xD8, 0x62, 0}), 16);
    EXPECT_NE(-1, lone.result);
    EXPECT_EQ("ab", lone.text);
    // A whole surrogate pair is two invalid UCS-2 units: skipped as well.
    Converted pair =
        Convert(ENCODING_UCS2, ENCODING_GBK, Bytes({0xFF, 0xFE, 0x61, 0, 0x3D, 0xD8, 0x00, 0xDE, 0x62, 0}), 16);
    EXPECT_NE(-1, pair.result);
    EXPECT_EQ("ab", pair.text);
    Converted badUtf8 = Convert(ENCODING_UTF8, ENCODING_GBK,
                                "a\xFF"
                                "b\xC3",
                                16);  // a stray byte, a cut sequence at the end
    EXPECT_EQ(-1, badUtf8.result);    // incomplete input at the end still fails
    Converted strayOnly = Convert(ENCODING_UTF8, ENCODING_GBK,
                                  "a\xFF"
                                  "b",
                                  16);
    EXPECT_EQ(0, strayOnly.result);
    EXPECT_EQ("ab", strayOnly.text);
}

TEST(ConvertCharset, FullOutputFailsWithWhatFitted) {
    Converted converted = Convert(ENCODING_UTF8, ENCODING_GBK, "abcdef", 4);
    EXPECT_EQ(-1, converted.result);
    EXPECT_EQ(4, converted.written);
    EXPECT_EQ("abcd", converted.text);
}

TEST(ConvertCharset, AsciiFitsWithRoomForTheTerminator) {
    std::string output(6, '\x7f');
    int written = 0;
    EXPECT_EQ(0, ConvertCharset(ENCODING_UTF8, ENCODING_GBK, "hello", 5, &output[0], 6, &written));
    EXPECT_EQ(5, written);
    EXPECT_EQ(std::string("hello\0", 6), output);  // zero-filled, so terminated
}

TEST(ConvertCharset, UnsupportedConversionLeavesTheOutputAlone) {
    // A marked UTF-16 target is none: nothing writes one.
    RecordingFrontEnd frontEnd;
    std::string output(8, '\x7f');
    int written = 12345;
    EXPECT_EQ(-1, ConvertCharset(ENCODING_GBK, ENCODING_UTF16, "abc", 3, &output[0], 8, &written));
    EXPECT_EQ(std::string(8, '\x7f'), output);
    ASSERT_EQ(1u, frontEnd.printed.size());
    EXPECT_EQ(Gbk("不支持的字符集"), frontEnd.printed[0]);
    EXPECT_EQ(nullptr, OpenCharsetStream(CORE_CHARSET, ENCODING_UTF16));
    EXPECT_EQ(2u, frontEnd.printed.size());
}

TEST(ConvertCharset, GbkRoundTripsThroughUcs2le) {
    const std::string text = Gbk("宝贝描述\t\"<img src=\"\"http://a.alicdn.com/x.jpg\"\">\"\r\n");
    Converted wide = Convert(ENCODING_GBK, ENCODING_UCS2LE, text, static_cast<int>(text.size() * 4));
    ASSERT_EQ(0, wide.result);
    EXPECT_EQ(0u, wide.text.size() % 2);
    Converted back =
        Convert(ENCODING_UCS2, ENCODING_GBK, "\xFF\xFE" + wide.text, static_cast<int>(wide.text.size() + 1));
    EXPECT_EQ(0, back.result);
    EXPECT_EQ(text, back.text);
}
