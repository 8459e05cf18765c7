// The conversions themselves: where a conversion stops and what it leaves
// in the caller's pointers, and conversions larger than one internal block.
// The same expectations hold over glibc's converter and over the Win32 API.
#include "platform/charset.h"

#include <gtest/gtest.h>

#include <string>

#include "support/gbk.h"

namespace {

const size_t FAILED = static_cast<size_t>(-1);

struct Outcome {
    size_t result;         // the dropped count, or FAILED when it stopped early
    ConversionStop error;  // why it stopped
    std::string output;    // the bytes produced
    size_t inputLeft;      // input bytes not consumed
};

// One call over a converter of its own, checked against the one-shot call.
Outcome Convert(TextEncoding from, TextEncoding to, MissingCharacters missing, const std::string& input,
                size_t outputSize) {
    Outcome run = {0, CONVERSION_UNSUPPORTED, std::string(), input.size()};
    TextConverter* converter = OpenTextConverter(from, to, missing);
    EXPECT_NE(nullptr, converter) << from << " -> " << to;
    if (converter == nullptr) return run;
    std::string buffer(outputSize, '\0');
    const char* in = input.data();
    size_t inLeft = input.size();
    char* out = &buffer[0];
    size_t outLeft = outputSize;
    size_t dropped = 0;
    run.error = ConvertTextPiece(converter, &in, &inLeft, &out, &outLeft, &dropped);
    run.result = run.error == CONVERSION_DONE ? dropped : FAILED;
    run.output = buffer.substr(0, outputSize - outLeft);
    run.inputLeft = inLeft;
    EXPECT_EQ(input.size() - inLeft, static_cast<size_t>(in - input.data()));
    CloseTextConverter(converter);

    std::string again(outputSize, '\0');
    TextConversion once;
    EXPECT_EQ(run.error, ConvertText(from, to, missing, input.data(), input.size(), &again[0], outputSize, &once));
    EXPECT_EQ(run.output, again.substr(0, once.written));
    EXPECT_EQ(input.size() - run.inputLeft, once.consumed);
    if (run.error == CONVERSION_DONE) {
        EXPECT_EQ(run.result, once.missing);
    }
    return run;
}

// UTF-16LE of code points (pairs above U+FFFF); also plain UCS-2LE units.
std::string Utf16le(std::initializer_list<unsigned> codePoints) {
    std::string bytes;
    auto put = [&bytes](unsigned unit) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    };
    for (unsigned point : codePoints) {
        if (point < 0x10000) {
            put(point);
        } else {
            put(0xD800 + ((point - 0x10000) >> 10));
            put(0xDC00 + ((point - 0x10000) & 0x3FF));
        }
    }
    return bytes;
}

std::string Ucs2le(std::initializer_list<unsigned> units) {
    std::string bytes;
    for (unsigned unit : units) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

}  // namespace

TEST(CharsetAdapter, EveryFormOpensBothWaysButTheMarkedUtf16Target) {
    const TextEncoding forms[] = {ENCODING_UCS2,    ENCODING_UCS2LE, ENCODING_UCS2BE, ENCODING_UTF16,
                                  ENCODING_UTF16LE, ENCODING_UTF8,   ENCODING_GBK,    ENCODING_GB18030};
    for (TextEncoding from : forms) {
        for (TextEncoding to : forms) {
            for (MissingCharacters missing : {MISSING_STOP, MISSING_DROP}) {
                TextConverter* converter = OpenTextConverter(from, to, missing);
                // A "UTF-16" target would need a mark; nothing writes one.
                EXPECT_EQ(to != ENCODING_UTF16, converter != nullptr) << from << " -> " << to;
                CloseTextConverter(converter);
            }
        }
        TextConversion refused;
        EXPECT_EQ(CONVERSION_UNSUPPORTED,
                  ConvertText(from, ENCODING_UTF16, MISSING_DROP, "a", 1, nullptr, 0, &refused));
        EXPECT_EQ(0u, refused.written);
    }
}

TEST(CharsetAdapter, FullOutputStopsBeforeTheCharacterThatDoesNotFit) {
    // 宝贝 into three bytes: the second character needs two.
    Outcome run = Convert(ENCODING_UCS2LE, ENCODING_GBK, MISSING_DROP, Ucs2le({0x5B9D, 0x8D1D}), 3);
    EXPECT_EQ(FAILED, run.result);
    EXPECT_EQ(CONVERSION_OUTPUT_FULL, run.error);
    EXPECT_EQ(Gbk("宝"), run.output);
    EXPECT_EQ(2u, run.inputLeft);
    // The same from UTF-8 into UCS-2: one byte short of the last character.
    Outcome wide = Convert(ENCODING_UTF8, ENCODING_UCS2LE, MISSING_DROP, "ab\xE5\xAE\x9D", 5);
    EXPECT_EQ(FAILED, wide.result);
    EXPECT_EQ(CONVERSION_OUTPUT_FULL, wide.error);
    EXPECT_EQ(std::string("a\0b\0", 4), wide.output);
    EXPECT_EQ(3u, wide.inputLeft);
}

TEST(CharsetAdapter, IncompleteInputAtTheEndIsLeftUnconsumed) {
    Outcome oddByte = Convert(ENCODING_UCS2LE, ENCODING_GBK, MISSING_DROP, Ucs2le({'a', 'b'}) + "c", 16);
    EXPECT_EQ(FAILED, oddByte.result);
    EXPECT_EQ(CONVERSION_INPUT_CUT, oddByte.error);
    EXPECT_EQ("ab", oddByte.output);
    EXPECT_EQ(1u, oddByte.inputLeft);
    Outcome cutUtf8 = Convert(ENCODING_UTF8, ENCODING_GBK, MISSING_DROP, "a\xE5\xAE", 16);
    EXPECT_EQ(FAILED, cutUtf8.result);
    EXPECT_EQ(CONVERSION_INPUT_CUT, cutUtf8.error);
    EXPECT_EQ("a", cutUtf8.output);
    EXPECT_EQ(2u, cutUtf8.inputLeft);
    Outcome cutGbk = Convert(ENCODING_GBK, ENCODING_UCS2LE, MISSING_DROP, "a\xB1", 16);
    EXPECT_EQ(FAILED, cutGbk.result);
    EXPECT_EQ(CONVERSION_INPUT_CUT, cutGbk.error);
    EXPECT_EQ(std::string("a\0", 2), cutGbk.output);
    EXPECT_EQ(1u, cutGbk.inputLeft);
}

TEST(CharsetAdapter, WithoutIgnoreAMissingCharacterStopsTheConversion) {
    // Thai ko kai has no GBK form.
    Outcome run = Convert(ENCODING_UCS2LE, ENCODING_GBK, MISSING_STOP, Ucs2le({'a', 0x0E01, 'b'}), 16);
    EXPECT_EQ(FAILED, run.result);
    EXPECT_EQ(CONVERSION_INPUT_INVALID, run.error);
    EXPECT_EQ("a", run.output);
    EXPECT_EQ(4u, run.inputLeft);
    // UCS-2 as a target is big-endian without a mark.
    Outcome big = Convert(ENCODING_GBK, ENCODING_UCS2, MISSING_STOP, "A" + Gbk("宝"), 16);
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
    Outcome fromUcs2 = Convert(ENCODING_UCS2, ENCODING_GBK, MISSING_DROP, ucs2, ucs2.size() * 8 + 1);
    EXPECT_EQ(missing, fromUcs2.result);
    EXPECT_EQ(0u, fromUcs2.inputLeft);
    EXPECT_TRUE(expectedGbk == fromUcs2.output) << "sizes " << expectedGbk.size() << " and " << fromUcs2.output.size();

    Outcome fromUtf8 = Convert(ENCODING_UTF8, ENCODING_GBK, MISSING_DROP, utf8, utf8.size() + 1);
    EXPECT_EQ(emoji, fromUtf8.result);
    EXPECT_TRUE(expectedGbk == fromUtf8.output) << "sizes " << expectedGbk.size() << " and " << fromUtf8.output.size();

    // And back: GBK to UCS-2LE and again to GBK gives the same bytes.
    Outcome wide = Convert(ENCODING_GBK, ENCODING_UCS2LE, MISSING_DROP, expectedGbk, expectedGbk.size() * 4);
    EXPECT_EQ(0u, wide.result);
    Outcome back = Convert(ENCODING_UCS2LE, ENCODING_GBK, MISSING_DROP, wide.output, wide.output.size() + 1);
    EXPECT_EQ(0u, back.result);
    EXPECT_TRUE(expectedGbk == back.output);
}

TEST(CharsetAdapter, AStoppedConversionResumesWithTheSameDescriptor) {
    // A "UCS-2" text read in pieces: the order its mark set holds for the
    // later calls, and a character cut by a piece's end waits for the rest.
    std::string text = "\xFF\xFE" + Ucs2le({'a', 0x5B9D, 'b', 0x8D1D, 'c'});
    TextConverter* converter = OpenTextConverter(ENCODING_UCS2, ENCODING_GBK, MISSING_DROP);
    ASSERT_NE(nullptr, converter);
    char output[16];
    char* out = output;
    size_t outLeft = 3;  // room for "a" and 宝, not for "b" as well
    const char* in = text.data();
    size_t inLeft = 5;  // the mark, 'a' and half of 宝
    EXPECT_EQ(CONVERSION_INPUT_CUT, ConvertTextPiece(converter, &in, &inLeft, &out, &outLeft, nullptr));
    EXPECT_EQ(1u, inLeft);
    EXPECT_EQ("a", std::string(output, out));

    inLeft = text.size() - static_cast<size_t>(in - text.data());
    EXPECT_EQ(CONVERSION_OUTPUT_FULL, ConvertTextPiece(converter, &in, &inLeft, &out, &outLeft, nullptr));
    EXPECT_EQ(6u, inLeft);  // 'b' waits for room
    EXPECT_EQ("a" + Gbk("宝"), std::string(output, out));

    outLeft = sizeof output - static_cast<size_t>(out - output);
    size_t missing = 1;
    EXPECT_EQ(CONVERSION_DONE, ConvertTextPiece(converter, &in, &inLeft, &out, &outLeft, &missing));
    EXPECT_EQ(0u, missing);
    EXPECT_EQ(0u, inLeft);
    EXPECT_EQ("a" + Gbk("宝") + "b" + Gbk("贝") + "c", std::string(output, out));
    CloseTextConverter(converter);
}

namespace {

// Characters of every kind with their GB18030 bytes, as glibc maps them.
struct Sample {
    unsigned codePoint;
    const char* gb18030;  // empty: glibc has no code for it
};
// clang-format off
const Sample SAMPLES[] = {
    {'A', "A"},
    {0x5B9D, "\xB1\xA6"},                  // 宝
    {0x4E57, "\x81\x5C"},                  // 乗: a backslash as second byte
    {0x58F0, "\xC9\xF9"},                  // 声
    {0x20AC, "\xA2\xE3"},                  // €
    {0x00E9, "\xA8\xA6"},                  // é
    {0x00DF, "\x81\x30\x89\x38"},          // ß
    {0xAC00, "\x82\x37\xCF\x35"},          // Hangul 가
    {0x0E01, "\x81\x32\xCE\x39"},          // Thai ko kai
    {0x0639, "\x81\x31\x85\x37"},          // Arabic ain
    {0xFEFF, "\x84\x31\x95\x33"},          // a mark inside the text is a character
    {0xFE10, "\xA6\xD9"},                  // two bytes since glibc 2.36's mapping
    {0xE000, "\xAA\xA1"},                  // private use
    {0xE78D, ""},                           // private use glibc lacks
    {0x1F600, "\x94\x39\xFC\x36"},         // 😀
    {0x20087, "\xFE\x51"},                 // above U+FFFF with a two-byte code
    {0x10FFFF, "\xE3\x32\x9A\x35"},
};
// clang-format on

// The samples `repeat` times in UTF-16LE; their GB18030 in *gb18030.
std::string SampleText(size_t repeat, size_t* missing, std::string* gb18030) {
    std::string text;
    *missing = 0;
    gb18030->clear();
    for (size_t i = 0; i < repeat; ++i) {
        for (const Sample& sample : SAMPLES) {
            text += Utf16le({sample.codePoint});
            *gb18030 += sample.gb18030;
            if (sample.gb18030[0] == '\0') ++*missing;
        }
    }
    return text;
}

}  // namespace

TEST(CharsetAdapter, Gb18030MapsEveryKindOfCharacterAsGlibcDoes) {
    // Once, then many times over so that characters and pairs straddle the
    // internal blocks; each way there and back must give the same bytes.
    for (size_t repeat : {size_t(1), size_t(4000)}) {
        size_t missing;
        std::string expected;
        std::string utf16 = SampleText(repeat, &missing, &expected);
        Outcome encoded = Convert(ENCODING_UTF16LE, ENCODING_GB18030, MISSING_DROP, utf16, utf16.size() * 2);
        EXPECT_EQ(missing, encoded.result);
        EXPECT_TRUE(expected == encoded.output) << repeat;
        Outcome decoded = Convert(ENCODING_GB18030, ENCODING_UTF16LE, MISSING_DROP, expected, utf16.size());
        EXPECT_EQ(0u, decoded.result);
        Outcome again = Convert(ENCODING_UTF16LE, ENCODING_GB18030, MISSING_DROP, decoded.output, utf16.size() * 2);
        EXPECT_EQ(0u, again.result);
        EXPECT_TRUE(expected == again.output) << repeat;
        // UTF-8, the command line's and POSIX paths' form, both ways.
        Outcome utf8 = Convert(ENCODING_GB18030, ENCODING_UTF8, MISSING_DROP, expected, expected.size() * 2);
        EXPECT_EQ(0u, utf8.result);
        Outcome fromUtf8 = Convert(ENCODING_UTF8, ENCODING_GB18030, MISSING_DROP, utf8.output, expected.size() + 1);
        EXPECT_EQ(0u, fromUtf8.result);
        EXPECT_TRUE(expected == fromUtf8.output) << repeat;
    }
    // The text the core held before keeps its bytes: GBK is a part of GB18030.
    const std::string gbk = Gbk("A宝乗声表é，。");
    EXPECT_EQ(gbk, Convert(ENCODING_GBK, ENCODING_GB18030, MISSING_STOP, gbk, 64).output);
    EXPECT_EQ(gbk, Convert(ENCODING_GB18030, ENCODING_GBK, MISSING_STOP, gbk, 64).output);
    // With MISSING_STOP a character glibc lacks stops the conversion at it.
    Outcome strict = Convert(ENCODING_UTF16LE, ENCODING_GB18030, MISSING_STOP, Utf16le({'a', 0xE78D, 'b'}), 16);
    EXPECT_EQ(FAILED, strict.result);
    EXPECT_EQ(CONVERSION_INPUT_INVALID, strict.error);
    EXPECT_EQ(4u, strict.inputLeft);
}

TEST(CharsetAdapter, Gb18030BadAndCutInput) {
    // Stray bytes and a broken four-byte code are skipped uncounted; codes
    // that are well formed but name nothing are dropped and counted.
    Outcome bad = Convert(ENCODING_GB18030, ENCODING_UTF8, MISSING_DROP,
                          "a\x80"
                          "b\xFF"
                          "c\x81\x20"
                          "d\x81\x30\x81\x20"
                          "e\x84\x31\x82\x36"
                          "f\xFE\x39\xFE\x39"
                          "g",
                          64);
    EXPECT_EQ(2u, bad.result);
    EXPECT_EQ(
        "ab"
        "c "
        "d0 "
        "efg",
        bad.output);
    Outcome strict = Convert(ENCODING_GB18030, ENCODING_UTF8, MISSING_STOP, "a\x80", 8);
    EXPECT_EQ(FAILED, strict.result);
    EXPECT_EQ(CONVERSION_INPUT_INVALID, strict.error);
    EXPECT_EQ(1u, strict.inputLeft);
    // A code cut by the end waits for the next piece, whatever its third byte.
    for (const char* cut : {"a\x81", "a\x81\x30", "a\x81\x30\x20", "a\x94\x39\xFC"}) {
        Outcome run = Convert(ENCODING_GB18030, ENCODING_UTF16LE, MISSING_DROP, cut, 16);
        EXPECT_EQ(FAILED, run.result) << cut + 1;
        EXPECT_EQ(CONVERSION_INPUT_CUT, run.error) << cut + 1;
        EXPECT_EQ(std::string(cut).size() - 1, run.inputLeft) << cut + 1;
        EXPECT_EQ(std::string("a\0", 2), run.output);
    }
}

TEST(CharsetAdapter, Utf16MarksSurrogatesAndPieces) {
    const std::string big(
        "\xFE\xFF\x00"
        "a\xD8\x3D\xDE\x00",
        8);
    // The leading mark picks the order and is consumed; without one, big-endian.
    EXPECT_EQ("a\x94\x39\xFC\x36", Convert(ENCODING_UTF16, ENCODING_GB18030, MISSING_DROP, big, 16).output);
    EXPECT_EQ("a\x94\x39\xFC\x36", Convert(ENCODING_UTF16, ENCODING_GB18030, MISSING_DROP, big.substr(2), 16).output);
    EXPECT_EQ("a\x94\x39\xFC\x36",
              Convert(ENCODING_UTF16, ENCODING_GB18030, MISSING_DROP, "\xFF\xFE" + Utf16le({'a', 0x1F600}), 16).output);
    // Later, U+FEFF is a character and lone surrogates are skipped uncounted.
    Outcome kept = Convert(ENCODING_UTF16, ENCODING_GB18030, MISSING_DROP,
                           "\xFF\xFE" + Utf16le({'a', 0xFEFF, 0xDC00, 'b', 0xD800, 'c'}), 16);
    EXPECT_EQ(0u, kept.result);
    EXPECT_EQ(
        "a\x84\x31\x95\x33"
        "bc",
        kept.output);
    // A later U+FFFE puts the order in doubt: refused even when dropping,
    // the input left at it (and a high surrogate before it is lone).
    Outcome doubt =
        Convert(ENCODING_UTF16, ENCODING_GB18030, MISSING_DROP, "\xFF\xFE" + Utf16le({'a', 0xD800, 0xFFFE, 'b'}), 16);
    EXPECT_EQ(FAILED, doubt.result);
    EXPECT_EQ(CONVERSION_INPUT_INVALID, doubt.error);
    EXPECT_EQ("a", doubt.output);
    EXPECT_EQ(4u, doubt.inputLeft);
    // "UTF-16LE" has no marks: both are characters there.
    EXPECT_EQ("\x84\x31\xA4\x38\x84\x31\x95\x33",
              Convert(ENCODING_UTF16LE, ENCODING_GB18030, MISSING_DROP, Utf16le({0xFFFE, 0xFEFF}), 16).output);
    // Into GBK a pair is one character GBK lacks.
    Outcome gbk = Convert(ENCODING_UTF16LE, ENCODING_GBK, MISSING_DROP, Utf16le({'a', 0x1F600, 0xAC00, 'b'}), 16);
    EXPECT_EQ(2u, gbk.result);
    EXPECT_EQ("ab", gbk.output);

    // A pair cut by a piece's end (or an odd byte) is left for the next piece.
    std::string text = "\xFF\xFE" + Utf16le({'a', 0x1F600, 'b'});
    TextConverter* converter = OpenTextConverter(ENCODING_UTF16, ENCODING_GB18030, MISSING_DROP);
    ASSERT_NE(nullptr, converter);
    char output[16];
    char* out = output;
    size_t outLeft = sizeof output;
    const char* in = text.data();
    for (size_t piece : {size_t(6), size_t(7)}) {
        size_t inLeft = piece - static_cast<size_t>(in - text.data());
        EXPECT_EQ(CONVERSION_INPUT_CUT, ConvertTextPiece(converter, &in, &inLeft, &out, &outLeft, nullptr)) << piece;
        EXPECT_EQ(4u, in - text.data());
        EXPECT_EQ("a", std::string(output, out));
    }
    size_t inLeft = text.size() - 4;
    EXPECT_EQ(CONVERSION_DONE, ConvertTextPiece(converter, &in, &inLeft, &out, &outLeft, nullptr));
    EXPECT_EQ(
        "a\x94\x39\xFC\x36"
        "b",
        std::string(output, out));
    // A reset forgets the order: a new text without a mark is big-endian.
    RestartTextConverter(converter);
    std::string next(
        "\x00"
        "c",
        2);
    in = next.data();
    inLeft = next.size();
    EXPECT_EQ(CONVERSION_DONE, ConvertTextPiece(converter, &in, &inLeft, &out, &outLeft, nullptr));
    EXPECT_EQ(
        "a\x94\x39\xFC\x36"
        "bc",
        std::string(output, out));
    CloseTextConverter(converter);
}
