// The libiconv calls themselves: where a conversion stops and what it leaves
// in the caller's pointers, and conversions larger than one internal block.
// The same expectations hold over glibc's iconv and over the Win32 API.
#include "platform/charset.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "support/gbk.h"

namespace {

struct Outcome {
    size_t result;
    int error;              // errno when result is -1
    std::string output;     // the bytes produced
    size_t inputLeft;       // input bytes not consumed
};

Outcome Convert(const char* to, const char* from, const std::string& input, size_t outputSize) {
    libiconv_t cd = libiconv_open(to, from);
    EXPECT_NE(reinterpret_cast<libiconv_t>(-1), cd) << from << " -> " << to;
    Outcome run = {0, 0, std::string(), input.size()};
    if (cd == reinterpret_cast<libiconv_t>(-1)) return run;
    std::string buffer(outputSize, '\0');
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    char* out = &buffer[0];
    size_t outLeft = outputSize;
    errno = 0;
    run.result = libiconv(cd, &in, &inLeft, &out, &outLeft);
    run.error = errno;
    run.output = buffer.substr(0, outputSize - outLeft);
    run.inputLeft = inLeft;
    EXPECT_EQ(input.size() - inLeft, static_cast<size_t>(in - input.data()));
    EXPECT_EQ(0, libiconv_close(cd));
    return run;
}

const size_t FAILED = static_cast<size_t>(-1);

std::string Ucs2le(std::initializer_list<unsigned> units) {
    std::string bytes;
    for (unsigned unit : units) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

}  // namespace

TEST(CharsetAdapter, OnlyKnownNamesOpen) {
    const char* names[] = {"UCS-2", "UCS-2LE", "UCS-2BE", "GBK", "gbk", "utf-8", "UTF-8"};
    for (const char* name : names) {
        libiconv_t cd = libiconv_open("UTF-8//IGNORE", name);
        ASSERT_NE(reinterpret_cast<libiconv_t>(-1), cd) << name;
        libiconv_close(cd);
    }
    EXPECT_EQ(reinterpret_cast<libiconv_t>(-1), libiconv_open("GBK", "no-such-charset"));
    EXPECT_EQ(reinterpret_cast<libiconv_t>(-1), libiconv_open("no-such-charset//IGNORE", "GBK"));
    EXPECT_EQ(reinterpret_cast<libiconv_t>(-1), libiconv_open("//IGNORE", "GBK"));
}

TEST(CharsetAdapter, FullOutputStopsBeforeTheCharacterThatDoesNotFit) {
    // 宝贝 into three bytes: the second character needs two.
    Outcome run = Convert("GBK//IGNORE", "UCS-2LE", Ucs2le({0x5B9D, 0x8D1D}), 3);
    EXPECT_EQ(FAILED, run.result);
    EXPECT_EQ(E2BIG, run.error);
    EXPECT_EQ(Gbk("宝"), run.output);
    EXPECT_EQ(2u, run.inputLeft);
    // The same from UTF-8 into UCS-2: one byte short of the last character.
    Outcome wide = Convert("UCS-2LE//IGNORE", "UTF-8", "ab\xE5\xAE\x9D", 5);
    EXPECT_EQ(FAILED, wide.result);
    EXPECT_EQ(E2BIG, wide.error);
    EXPECT_EQ(std::string("a\0b\0", 4), wide.output);
    EXPECT_EQ(3u, wide.inputLeft);
}

TEST(CharsetAdapter, IncompleteInputAtTheEndIsLeftUnconsumed) {
    Outcome oddByte = Convert("GBK//IGNORE", "UCS-2LE", Ucs2le({'a', 'b'}) + "c", 16);
    EXPECT_EQ(FAILED, oddByte.result);
    EXPECT_EQ(EINVAL, oddByte.error);
    EXPECT_EQ("ab", oddByte.output);
    EXPECT_EQ(1u, oddByte.inputLeft);
    Outcome cutUtf8 = Convert("GBK//IGNORE", "UTF-8", "a\xE5\xAE", 16);
    EXPECT_EQ(FAILED, cutUtf8.result);
    EXPECT_EQ(EINVAL, cutUtf8.error);
    EXPECT_EQ("a", cutUtf8.output);
    EXPECT_EQ(2u, cutUtf8.inputLeft);
    Outcome cutGbk = Convert("UCS-2LE//IGNORE", "GBK", "a\xB1", 16);
    EXPECT_EQ(FAILED, cutGbk.result);
    EXPECT_EQ(EINVAL, cutGbk.error);
    EXPECT_EQ(std::string("a\0", 2), cutGbk.output);
    EXPECT_EQ(1u, cutGbk.inputLeft);
}

TEST(CharsetAdapter, WithoutIgnoreAMissingCharacterStopsTheConversion) {
    // Thai ko kai has no GBK form.
    Outcome run = Convert("GBK", "UCS-2LE", Ucs2le({'a', 0x0E01, 'b'}), 16);
    EXPECT_EQ(FAILED, run.result);
    EXPECT_EQ(EILSEQ, run.error);
    EXPECT_EQ("a", run.output);
    EXPECT_EQ(4u, run.inputLeft);
    // UCS-2 as a target is big-endian without a mark, like GNU libiconv's.
    Outcome big = Convert("UCS-2", "GBK", "A" + Gbk("宝"), 16);
    EXPECT_EQ(0u, big.result);
    EXPECT_EQ(std::string("\0A\x5B\x9D", 4), big.output);
}

TEST(CharsetAdapter, LargeTextsConvertWholeAcrossBlocks) {
    // A package-sized text in pieces that straddle any block size: marks,
    // missing characters and pairs cut by a block edge must not matter.
    std::string ucs2 = "\xFF\xFE";
    std::string expectedGbk;
    std::string utf8;
    size_t missing = 0, emoji = 0;
    for (int i = 0; i < 70000; ++i) {
        switch (i % 7) {
            case 0:
                ucs2 += Ucs2le({0x5B9D});  // 宝
                expectedGbk += Gbk("宝");
                utf8 += "\xE5\xAE\x9D";
                break;
            case 3:
                ucs2 += Ucs2le({0x0E01});  // no GBK form
                ++missing;
                utf8 += "\xF0\x9F\x98\x80";  // an emoji: no GBK form either
                ++emoji;
                break;
            case 5:
                if (i % 1000 == 5) {
                    ucs2 += Ucs2le({0xFEFF});  // a mark inside the text is dropped
                    break;
                }
                // fall through
            default:
                ucs2 += Ucs2le({static_cast<unsigned>('a' + i % 26)});
                expectedGbk += static_cast<char>('a' + i % 26);
                utf8 += static_cast<char>('a' + i % 26);
                break;
        }
    }
    Outcome fromUcs2 = Convert("GBK//IGNORE", "UCS-2", ucs2, ucs2.size() * 8 + 1);
    EXPECT_EQ(missing, fromUcs2.result);
    EXPECT_EQ(0u, fromUcs2.inputLeft);
    EXPECT_TRUE(expectedGbk == fromUcs2.output) << "sizes " << expectedGbk.size() << " and " << fromUcs2.output.size();

    Outcome fromUtf8 = Convert("gbk//IGNORE", "utf-8", utf8, utf8.size() + 1);
    EXPECT_EQ(emoji, fromUtf8.result);
    EXPECT_TRUE(expectedGbk == fromUtf8.output) << "sizes " << expectedGbk.size() << " and " << fromUtf8.output.size();

    // And back: GBK to UCS-2LE and again to GBK gives the same bytes.
    Outcome wide = Convert("UCS-2LE//IGNORE", "gbk", expectedGbk, expectedGbk.size() * 4);
    EXPECT_EQ(0u, wide.result);
    Outcome back = Convert("GBK//IGNORE", "UCS-2LE", wide.output, wide.output.size() + 1);
    EXPECT_EQ(0u, back.result);
    EXPECT_TRUE(expectedGbk == back.output);
}

TEST(CharsetAdapter, AStoppedConversionResumesWithTheSameDescriptor) {
    // A "UCS-2" text read in pieces: the order its mark set holds for the
    // later calls, and a character cut by a piece's end waits for the rest.
    std::string text = "\xFF\xFE" + Ucs2le({'a', 0x5B9D, 'b', 0x8D1D, 'c'});
    libiconv_t cd = libiconv_open("GBK//IGNORE", "UCS-2");
    ASSERT_NE(reinterpret_cast<libiconv_t>(-1), cd);
    char output[16];
    char* out = output;
    size_t outLeft = 3;  // room for "a" and 宝, not for "b" as well
    char* in = &text[0];
    size_t inLeft = 5;  // the mark, 'a' and half of 宝
    EXPECT_EQ(FAILED, libiconv(cd, &in, &inLeft, &out, &outLeft));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(1u, inLeft);
    EXPECT_EQ("a", std::string(output, out));

    inLeft = text.size() - static_cast<size_t>(in - text.data());
    EXPECT_EQ(FAILED, libiconv(cd, &in, &inLeft, &out, &outLeft));
    EXPECT_EQ(E2BIG, errno);
    EXPECT_EQ(6u, inLeft);  // 'b' waits for room
    EXPECT_EQ("a" + Gbk("宝"), std::string(output, out));

    outLeft = sizeof output - static_cast<size_t>(out - output);
    EXPECT_EQ(0u, libiconv(cd, &in, &inLeft, &out, &outLeft));
    EXPECT_EQ(0u, inLeft);
    EXPECT_EQ("a" + Gbk("宝") + "b" + Gbk("贝") + "c", std::string(output, out));
    EXPECT_EQ(0, libiconv_close(cd));
}
