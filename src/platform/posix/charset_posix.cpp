#include "platform/charset.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/strings.h"

namespace {

enum SourceKind {
    SOURCE_OTHER,
    SOURCE_UCS2_AUTO,
    SOURCE_UCS2LE,
    SOURCE_UCS2BE,
    SOURCE_UTF8,
    SOURCE_GBK,
    SOURCE_GB18030,
    SOURCE_UTF16_AUTO,
    SOURCE_UTF16LE,
    SOURCE_UTF16BE,
};

struct Converter {
    iconv_t glibc;  // the C library's descriptor for the current byte order
    SourceKind source;
    bool ignore;        // MISSING_DROP: skip what the target lacks
    bool honoursMarks;  // source is plain "UCS-2": byte-order marks count
    bool leadingMark;   // source is plain "UTF-16": only a leading mark counts
    bool atStart;       // no input seen yet: a leading mark may follow
    char target[64];    // target name without the suffix, for reopening
};

bool NameIs(const char* name, const char* wanted) { return strcasecmp(name, wanted) == 0; }

SourceKind KindOfSource(const char* name) {
    if (NameIs(name, "UCS-2")) return SOURCE_UCS2_AUTO;
    if (NameIs(name, "UCS-2LE")) return SOURCE_UCS2LE;
    if (NameIs(name, "UCS-2BE")) return SOURCE_UCS2BE;
    if (NameIs(name, "UTF-8") || NameIs(name, "UTF8")) return SOURCE_UTF8;
    if (NameIs(name, "GBK") || NameIs(name, "CP936")) return SOURCE_GBK;
    if (NameIs(name, "GB18030")) return SOURCE_GB18030;
    if (NameIs(name, "UTF-16")) return SOURCE_UTF16_AUTO;
    if (NameIs(name, "UTF-16LE")) return SOURCE_UTF16LE;
    if (NameIs(name, "UTF-16BE")) return SOURCE_UTF16BE;
    return SOURCE_OTHER;
}

// A "UCS-2" target is written big-endian without a mark.
const char* GlibcTargetName(const char* name) { return NameIs(name, "UCS-2") ? "UCS-2BE" : name; }

const char* GlibcSourceName(SourceKind kind) {
    switch (kind) {
        case SOURCE_UCS2LE: return "UCS-2LE";
        case SOURCE_UCS2BE: return "UCS-2BE";
        case SOURCE_UTF16LE: return "UTF-16LE";
        default: return "UTF-16BE";
    }
}

bool IsLittleEndian(SourceKind kind) { return kind == SOURCE_UCS2LE || kind == SOURCE_UTF16LE; }

bool ReopenForOrder(Converter* converter, SourceKind order) {
    iconv_t fresh = iconv_open(GlibcTargetName(converter->target), GlibcSourceName(order));
    if (fresh == reinterpret_cast<iconv_t>(-1)) return false;
    if (converter->glibc != reinterpret_cast<iconv_t>(-1)) iconv_close(converter->glibc);
    converter->glibc = fresh;
    converter->source = order;
    return true;
}

unsigned UnitAt(const Converter* converter, const unsigned char* at) {
    return IsLittleEndian(converter->source) ? (at[0] | (at[1] << 8)) : ((at[0] << 8) | at[1]);
}

bool IsDigit(unsigned char byte) { return byte >= 0x30 && byte <= 0x39; }

// Offset of the first U+FFFE unit in `left` bytes of UTF-16, or `left`.
size_t SwappedMarkOffset(const Converter* converter, const unsigned char* at, size_t left) {
    for (size_t offset = 0; offset + 2 <= left; offset += 2) {
        if (UnitAt(converter, at + offset) == 0xFFFE) return offset;
    }
    return left;
}

// Decides what to do with the input unit the C library refused (EILSEQ):
// how many bytes to skip and whether it was a character the target lacks
// (counted) rather than invalid input.
void ClassifyRefusedInput(const Converter* converter, const unsigned char* at, size_t left, size_t* skip,
                          bool* unconvertible) {
    switch (converter->source) {
        case SOURCE_UCS2LE:
        case SOURCE_UCS2BE: {
            unsigned unit = UnitAt(converter, at);
            *skip = 2;
            *unconvertible = !(unit >= 0xD800 && unit < 0xE000);
            return;
        }
        case SOURCE_UTF8: {
            size_t length = Utf8SequenceLength(at, left);
            *skip = length == 0 ? 1 : length;
            *unconvertible = length != 0;
            return;
        }
        case SOURCE_GBK: {
            bool pair = at[0] >= 0x81 && at[0] <= 0xFE && left >= 2 && at[1] >= 0x40 && at[1] <= 0xFE && at[1] != 0x7F;
            *skip = pair ? 2 : 1;
            *unconvertible = pair;
            return;
        }
        case SOURCE_GB18030: {
            // A well-formed code the target lacks (or glibc maps to nothing)
            // is a character; anything else is a bad byte.
            bool lead = at[0] >= 0x81 && at[0] <= 0xFE;
            bool pair = lead && left >= 2 && at[1] >= 0x40 && at[1] <= 0xFE && at[1] != 0x7F;
            bool quad = lead && left >= 4 && IsDigit(at[1]) && at[2] >= 0x81 && at[2] <= 0xFE && IsDigit(at[3]);
            *skip = quad ? 4 : pair ? 2 : 1;
            *unconvertible = at[0] < 0x80 || pair || quad;
            return;
        }
        case SOURCE_UTF16LE:
        case SOURCE_UTF16BE: {
            unsigned unit = UnitAt(converter, at);
            bool high = unit >= 0xD800 && unit < 0xDC00;
            unsigned next = left >= 4 ? UnitAt(converter, at + 2) : 0;
            bool pair = high && next >= 0xDC00 && next < 0xE000;
            *skip = pair ? 4 : 2;
            *unconvertible = pair || !(unit >= 0xD800 && unit < 0xE000);  // lone surrogates are invalid
            return;
        }
        default:
            *skip = 1;
            *unconvertible = false;
            return;
    }
}

// The C library's name of each form; the marked forms are opened in one
// byte order and reopened when a mark chooses the other.
const char* GlibcName(TextEncoding encoding) {
    switch (encoding) {
        case ENCODING_UCS2: return "UCS-2";
        case ENCODING_UCS2LE: return "UCS-2LE";
        case ENCODING_UCS2BE: return "UCS-2BE";
        case ENCODING_UTF16: return "UTF-16";
        case ENCODING_UTF16LE: return "UTF-16LE";
        case ENCODING_UTF8: return "UTF-8";
        case ENCODING_GBK: return "GBK";
        case ENCODING_GB18030: return "GB18030";
    }
    return "";
}

Converter* Open(TextEncoding from, TextEncoding to, MissingCharacters missing) {
    // A "UTF-16" target would be written with a mark; nothing here wants one.
    if (to == ENCODING_UTF16) return nullptr;
    Converter* converter = static_cast<Converter*>(std::calloc(1, sizeof(Converter)));
    if (converter == nullptr) return nullptr;
    converter->glibc = reinterpret_cast<iconv_t>(-1);
    std::strcpy(converter->target, GlibcName(to));
    const char* fromcode = GlibcName(from);
    converter->ignore = missing == MISSING_DROP;
    converter->source = KindOfSource(fromcode);
    converter->honoursMarks = converter->source == SOURCE_UCS2_AUTO;
    converter->leadingMark = converter->source == SOURCE_UTF16_AUTO;
    converter->atStart = true;
    // "UCS-2" reads big-endian until a mark says otherwise.
    // "UTF-16" likewise, from its leading mark only.
    if (converter->honoursMarks) converter->source = SOURCE_UCS2BE;
    if (converter->leadingMark) converter->source = SOURCE_UTF16BE;
    const char* glibcSource =
        converter->honoursMarks || converter->leadingMark ? GlibcSourceName(converter->source) : fromcode;
    converter->glibc = iconv_open(GlibcTargetName(converter->target), glibcSource);
    if (converter->glibc == reinterpret_cast<iconv_t>(-1)) {
        std::free(converter);
        return nullptr;
    }
    return converter;
}

// One call of the conversion with the C library's conventions: the dropped
// count, or -1 with errno (E2BIG, EINVAL, EILSEQ) where it stopped.
size_t Run(Converter* converter, char** inbuf, size_t* inbytesleft, char** outbuf, size_t* outbytesleft) {
    if (inbuf == nullptr || *inbuf == nullptr) {
        // Reset or flush: nothing is buffered in the stateless charsets in use.
        // A "UTF-16" source waits for a leading mark again.
        if (converter->leadingMark && !converter->atStart) {
            converter->atStart = true;
            if (converter->source != SOURCE_UTF16BE && !ReopenForOrder(converter, SOURCE_UTF16BE)) {
                return static_cast<size_t>(-1);
            }
        }
        return iconv(converter->glibc, nullptr, nullptr, outbuf, outbytesleft);
    }
    if ((converter->honoursMarks || converter->leadingMark) && converter->atStart && *inbytesleft >= 2) {
        const unsigned char* at = reinterpret_cast<const unsigned char*>(*inbuf);
        if (at[0] == 0xFF && at[1] == 0xFE) {
            if (!ReopenForOrder(converter, converter->leadingMark ? SOURCE_UTF16LE : SOURCE_UCS2LE)) {
                return static_cast<size_t>(-1);
            }
            *inbuf += 2;
            *inbytesleft -= 2;
        } else if (at[0] == 0xFE && at[1] == 0xFF) {
            *inbuf += 2;
            *inbytesleft -= 2;
        }
        converter->atStart = false;
    }
    // In "UTF-16" a U+FFFE after the start means the byte order is in
    // doubt: the conversion stops there, whatever the target's suffix.
    // glibc would convert it, so it only ever sees the input before it.
    const char* swappedMark = nullptr;
    if (converter->leadingMark) {
        swappedMark =
            *inbuf + SwappedMarkOffset(converter, reinterpret_cast<const unsigned char*>(*inbuf), *inbytesleft);
        if (swappedMark == *inbuf + *inbytesleft) swappedMark = nullptr;
    }

    size_t irreversible = 0;
    for (;;) {
        size_t beyond = swappedMark ? *inbytesleft - static_cast<size_t>(swappedMark - *inbuf) : 0;
        size_t before = *inbytesleft - beyond;
        size_t result = iconv(converter->glibc, inbuf, &before, outbuf, outbytesleft);
        int error = errno;
        *inbytesleft = before + beyond;
        if (result != static_cast<size_t>(-1)) {
            if (swappedMark == nullptr) return irreversible + result;
            errno = EILSEQ;
            return static_cast<size_t>(-1);
        }
        // A high surrogate just before the mark is not cut: it lacks its pair.
        if (error == EINVAL && swappedMark != nullptr && *inbuf != swappedMark) error = EILSEQ;
        errno = error;
        if (error != EILSEQ) return static_cast<size_t>(-1);  // E2BIG or EINVAL

        const unsigned char* at = reinterpret_cast<const unsigned char*>(*inbuf);
        if (converter->honoursMarks && *inbytesleft >= 2) {
            unsigned unit = UnitAt(converter, at);
            if (unit == 0xFFFE || unit == 0xFEFF) {
                // A mark inside the text: U+FFFE swaps the order, U+FEFF is dropped.
                *inbuf += 2;
                *inbytesleft -= 2;
                if (unit == 0xFFFE &&
                    !ReopenForOrder(converter, converter->source == SOURCE_UCS2LE ? SOURCE_UCS2BE : SOURCE_UCS2LE)) {
                    return static_cast<size_t>(-1);
                }
                continue;
            }
        }
        if (!converter->ignore) {
            errno = EILSEQ;
            return static_cast<size_t>(-1);
        }
        size_t skip;
        bool unconvertible;
        ClassifyRefusedInput(converter, at, *inbytesleft, &skip, &unconvertible);
        if (skip > *inbytesleft) {
            errno = EINVAL;
            return static_cast<size_t>(-1);
        }
        *inbuf += skip;
        *inbytesleft -= skip;
        if (unconvertible) ++irreversible;
    }
}

ConversionStop StopOf(size_t result, int error) {
    if (result != static_cast<size_t>(-1)) return CONVERSION_DONE;
    if (error == E2BIG) return CONVERSION_OUTPUT_FULL;
    if (error == EINVAL) return CONVERSION_INPUT_CUT;
    if (error == EILSEQ) return CONVERSION_INPUT_INVALID;
    return CONVERSION_UNSUPPORTED;  // a reopen for the other byte order failed
}

}  // namespace

TextConverter* OpenTextConverter(TextEncoding from, TextEncoding to, MissingCharacters missing) {
    return reinterpret_cast<TextConverter*>(Open(from, to, missing));
}

ConversionStop ConvertTextPiece(TextConverter* textConverter, const char** input, size_t* inputLeft, char** output,
                                size_t* outputLeft, size_t* missing) {
    Converter* converter = reinterpret_cast<Converter*>(textConverter);
    char* in = const_cast<char*>(*input);
    errno = 0;
    size_t result = Run(converter, &in, inputLeft, output, outputLeft);
    int error = errno;
    *input = in;
    if (missing != nullptr) *missing = result == static_cast<size_t>(-1) ? 0 : result;
    return StopOf(result, error);
}

void RestartTextConverter(TextConverter* textConverter) {
    Run(reinterpret_cast<Converter*>(textConverter), nullptr, nullptr, nullptr, nullptr);
}

void CloseTextConverter(TextConverter* textConverter) {
    Converter* converter = reinterpret_cast<Converter*>(textConverter);
    if (converter == nullptr) return;
    if (converter->glibc != reinterpret_cast<iconv_t>(-1)) iconv_close(converter->glibc);
    std::free(converter);
}
