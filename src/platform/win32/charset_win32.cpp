// The conversions of platform/charset.h over the Win32 code-page API, with
// the same results as the POSIX side gives.
//
// Every conversion goes through UTF-16: the input is decoded into a block of
// units, the block is encoded into the target, and so on until the input is
// used up.  GBK (code page 936) goes through MultiByteToWideChar and
// WideCharToMultiByte a block at a time; UCS-2, UTF-16 and UTF-8 are simple
// enough to do by hand, which also gives libiconv's exact rules for invalid
// UTF-8 (overlong forms, surrogates, a 4-byte character counting as one).
// GB18030 is by hand too, from tables taken from glibc (Wine has no code
// page 54936), so both systems map every code point alike.
//
// The API converts a whole run at once, while libiconv's results are per
// character.  Encoding finds the characters GBK lacks by walking the run's
// output, which holds one character per unit (the default character for a
// missing one); decoding halves a run the API refuses until the pair at
// fault is found.  Either way a run costs one call in the common case.
#include "platform/charset.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/win32/gb18030_table.h"

namespace {

const UINT CODE_PAGE_GBK = 936;
// Units decoded per block.  Large blocks keep the API calls few; the input
// offsets kept per unit bound the block's memory.
const size_t BLOCK_UNITS = 16384;
const wchar_t BYTE_ORDER_MARK = 0xFEFF;
const wchar_t SWAPPED_BYTE_ORDER_MARK = 0xFFFE;
// Code page 936 has the euro sign at the single byte 0x80; GNU libiconv's
// GBK has neither, and neither does this adapter.
const wchar_t EURO_SIGN = 0x20AC;

enum Charset {
    CHARSET_UCS2,
    CHARSET_UCS2LE,
    CHARSET_UCS2BE,
    CHARSET_UTF8,
    CHARSET_GBK,
    CHARSET_GB18030,
    CHARSET_UTF16,  // a leading mark picks the order; a source only
    CHARSET_UTF16LE,
};

struct Converter {
    Charset source;
    Charset target;
    bool ignore;            // MISSING_DROP: skip what the target lacks
    bool littleEndian;      // byte order a "UCS-2" or "UTF-16" source reads in now
    bool atStart;           // a "UTF-16" source has not yet seen its first unit
    char defaultCharacter;  // what code page 936 writes for a unit it lacks
    wchar_t units[BLOCK_UNITS];
    // offsets[i]: where the character of unit i starts, counted from the
    // block's first input byte; offsets[count] is where the block ends.
    unsigned offsets[BLOCK_UNITS + 1];
    char encoded[BLOCK_UNITS * 2];  // GBK of a run that may not fit the output
};

// Why a block ended.
enum DecodeStop {
    DECODE_END,         // all input decoded
    DECODE_FULL,        // the block is full
    DECODE_MARK,        // a byte-order mark after some units: it starts the next block
    DECODE_INVALID,     // an invalid unit of `skip` bytes (skipped uncounted when dropping)
    DECODE_UNMAPPED,    // a well-formed GBK pair with no Unicode form (skipped and counted)
    DECODE_INCOMPLETE,  // the input ends inside a character
    DECODE_REFUSED,     // a U+FFFE inside "UTF-16": the order is in doubt, stop even when dropping
};

struct Decoded {
    size_t units;
    size_t consumed;  // input bytes behind the block (and the marks read first)
    DecodeStop stop;
    size_t skip;
};

enum EncodeStop { ENCODE_DONE, ENCODE_FULL, ENCODE_UNCONVERTIBLE };

struct Output {
    char* at;
    size_t left;
    size_t irreversible;  // characters dropped because the target lacks them
};

bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit < 0xE000; }
bool IsSurrogate(unsigned unit) { return unit >= 0xD800 && unit < 0xE000; }

Charset CharsetOf(TextEncoding encoding) {
    switch (encoding) {
        case ENCODING_UCS2: return CHARSET_UCS2;
        case ENCODING_UCS2LE: return CHARSET_UCS2LE;
        case ENCODING_UCS2BE: return CHARSET_UCS2BE;
        case ENCODING_UTF16: return CHARSET_UTF16;
        case ENCODING_UTF16LE: return CHARSET_UTF16LE;
        case ENCODING_UTF8: return CHARSET_UTF8;
        case ENCODING_GBK: return CHARSET_GBK;
        case ENCODING_GB18030: break;
    }
    return CHARSET_GB18030;
}

// ---- Decoders: input bytes to a block of UTF-16 units ----------------------

Decoded DecodeUcs2(Converter* converter, const unsigned char* in, size_t left) {
    Decoded result = {0, 0, DECODE_END, 0};
    const bool honoursMarks = converter->source == CHARSET_UCS2;
    bool little = honoursMarks ? converter->littleEndian : converter->source == CHARSET_UCS2LE;
    size_t at = 0;
    size_t count = 0;
    while (left - at >= 2) {
        if (count == BLOCK_UNITS) {
            result.stop = DECODE_FULL;
            break;
        }
        unsigned unit = little ? (in[at] | (in[at + 1] << 8)) : ((in[at] << 8) | in[at + 1]);
        if (honoursMarks && (unit == BYTE_ORDER_MARK || unit == SWAPPED_BYTE_ORDER_MARK)) {
            // Marks count anywhere in "UCS-2": U+FEFF is dropped, U+FFFE (a
            // mark read in the wrong order) swaps the order.  Read only at the
            // start of a block, so one block has one order.
            if (count > 0) {
                result.stop = DECODE_MARK;
                break;
            }
            if (unit == SWAPPED_BYTE_ORDER_MARK) little = !little;
            at += 2;
            continue;
        }
        if (IsSurrogate(unit)) {
            result.stop = DECODE_INVALID;
            result.skip = 2;
            break;
        }
        converter->units[count] = static_cast<wchar_t>(unit);
        converter->offsets[count] = static_cast<unsigned>(at);
        ++count;
        at += 2;
    }
    if (result.stop == DECODE_END && at < left) result.stop = DECODE_INCOMPLETE;  // an odd last byte
    if (honoursMarks) converter->littleEndian = little;
    converter->offsets[count] = static_cast<unsigned>(at);
    result.units = count;
    result.consumed = at;
    return result;
}

Decoded DecodeUtf16(Converter* converter, const unsigned char* in, size_t left) {
    Decoded result = {0, 0, DECODE_END, 0};
    const bool marks = converter->source == CHARSET_UTF16;
    size_t at = 0;
    if (marks && converter->atStart && left >= 2) {
        if (in[0] == 0xFF && in[1] == 0xFE) {
            converter->littleEndian = true;
            at = 2;
        } else if (in[0] == 0xFE && in[1] == 0xFF) {
            converter->littleEndian = false;
            at = 2;
        }
        converter->atStart = false;
    }
    const bool little = marks ? converter->littleEndian : true;
    auto unitAt = [&](size_t offset) -> unsigned {
        return little ? (in[offset] | (in[offset + 1] << 8)) : ((in[offset] << 8) | in[offset + 1]);
    };
    size_t count = 0;
    while (left - at >= 2) {
        if (count + 2 > BLOCK_UNITS) {  // room for a pair
            result.stop = DECODE_FULL;
            break;
        }
        unsigned unit = unitAt(at);
        if (marks && unit == SWAPPED_BYTE_ORDER_MARK) {
            result.stop = DECODE_REFUSED;
            break;
        }
        size_t width = 2;
        if (IsHighSurrogate(unit)) {
            if (left - at < 4) {  // its pair may come with the next piece
                result.stop = DECODE_INCOMPLETE;
                break;
            }
            if (!IsLowSurrogate(unitAt(at + 2))) width = 0;
        } else if (IsSurrogate(unit)) {
            width = 0;
        }
        if (width == 0) {
            result.stop = DECODE_INVALID;
            result.skip = 2;
            break;
        }
        converter->units[count] = static_cast<wchar_t>(unit);
        converter->offsets[count++] = static_cast<unsigned>(at);
        if (IsHighSurrogate(unit)) {
            converter->units[count] = static_cast<wchar_t>(unitAt(at + 2));
            converter->offsets[count++] = static_cast<unsigned>(at);
            width = 4;
        }
        at += width;
    }
    if (result.stop == DECODE_END && at < left) result.stop = DECODE_INCOMPLETE;  // an odd last byte
    converter->offsets[count] = static_cast<unsigned>(at);
    result.units = count;
    result.consumed = at;
    return result;
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// A UTF-8 sequence at `in`: 1 to 4 bytes of a valid character (its code
// point in *codePoint), 0 when it is invalid, -1 when the input ends inside
// a sequence that is valid so far.
int ReadUtf8(const unsigned char* in, size_t left, unsigned* codePoint) {
    unsigned char lead = in[0];
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    int length;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if (static_cast<size_t>(i) >= left) return -1;
        unsigned char byte = in[i];
        if (i == 1 ? (byte < low || byte > high) : !IsContinuation(byte)) return 0;
    }
    unsigned value = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) value = (value << 6) | (in[i] & 0x3F);
    *codePoint = value;
    return length;
}

Decoded DecodeUtf8(Converter* converter, const unsigned char* in, size_t left) {
    Decoded result = {0, 0, DECODE_END, 0};
    size_t at = 0;
    size_t count = 0;
    while (at < left) {
        if (count + 2 > BLOCK_UNITS) {  // room for a surrogate pair
            result.stop = DECODE_FULL;
            break;
        }
        if (in[at] < 0x80) {  // the common case
            converter->units[count] = in[at];
            converter->offsets[count++] = static_cast<unsigned>(at++);
            continue;
        }
        unsigned codePoint;
        int length = ReadUtf8(in + at, left - at, &codePoint);
        if (length <= 0) {
            result.stop = length == 0 ? DECODE_INVALID : DECODE_INCOMPLETE;
            result.skip = 1;
            break;
        }
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            converter->units[count] = static_cast<wchar_t>(0xD800 + (codePoint >> 10));
            converter->offsets[count++] = static_cast<unsigned>(at);
            converter->units[count] = static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF));
        } else {
            converter->units[count] = static_cast<wchar_t>(codePoint);
        }
        converter->offsets[count++] = static_cast<unsigned>(at);
        at += static_cast<size_t>(length);
    }
    converter->offsets[count] = static_cast<unsigned>(at);
    result.units = count;
    result.consumed = at;
    return result;
}

bool IsGbkLead(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }
bool IsGbkTrail(unsigned char byte) { return byte >= 0x40 && byte <= 0xFE && byte != 0x7F; }

// Decodes the characters first..first+count of a well-formed GBK run whose
// character starts are in converter->offsets.  Returns the index of the
// first character without a Unicode form, or first + count when all have one.
size_t DecodeGbkRun(Converter* converter, const unsigned char* in, size_t first, size_t count) {
    if (count == 0) return first;
    unsigned start = converter->offsets[first];
    int bytes = static_cast<int>(converter->offsets[first + count] - start);
    int made = MultiByteToWideChar(CODE_PAGE_GBK, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(in + start),
                                   bytes, converter->units + first, static_cast<int>(count));
    // Code page 936 gives exactly one unit per character.
    if (made == static_cast<int>(count)) return first + count;
    if (count == 1) return first;
    size_t half = count / 2;
    size_t failed = DecodeGbkRun(converter, in, first, half);
    if (failed < first + half) return failed;
    return DecodeGbkRun(converter, in, first + half, count - half);
}

Decoded DecodeGbk(Converter* converter, const unsigned char* in, size_t left) {
    Decoded result = {0, 0, DECODE_END, 0};
    // First the extent of the well-formed run, then one API call over it.
    size_t at = 0;
    size_t count = 0;
    while (at < left) {
        if (count == BLOCK_UNITS) {
            result.stop = DECODE_FULL;
            break;
        }
        unsigned char byte = in[at];
        size_t length;
        if (byte < 0x80) {
            length = 1;
        } else if (IsGbkLead(byte) && at + 1 < left && IsGbkTrail(in[at + 1])) {
            length = 2;
        } else {
            result.stop = IsGbkLead(byte) && at + 1 == left ? DECODE_INCOMPLETE : DECODE_INVALID;
            result.skip = 1;
            break;
        }
        converter->offsets[count++] = static_cast<unsigned>(at);
        at += length;
    }
    converter->offsets[count] = static_cast<unsigned>(at);
    size_t good = DecodeGbkRun(converter, in, 0, count);
    if (good < count) {
        result.stop = DECODE_UNMAPPED;
        result.skip = 2;
        result.units = good;
        result.consumed = converter->offsets[good];
        return result;
    }
    result.units = count;
    result.consumed = at;
    return result;
}

// ---- GB18030 ----------------------------------------------------------------

bool IsGb18030Digit(unsigned char byte) { return byte >= 0x30 && byte <= 0x39; }

// Above U+FFFF the four-byte codes run on from 0x90308130.
const unsigned GB18030_SUPPLEMENTARY_LINEAR = 189000;
const unsigned GB18030_LINEAR_END = GB18030_SUPPLEMENTARY_LINEAR + 0x100000;

unsigned Gb18030TrailIndex(unsigned char trail) { return trail < 0x7F ? trail - 0x40 : trail - 0x41; }

// The code point of a four-byte code by its linear index, 0 for none.
unsigned Gb18030FourByteCodePoint(unsigned linear) {
    if (linear >= GB18030_SUPPLEMENTARY_LINEAR) {
        return linear < GB18030_LINEAR_END ? 0x10000 + (linear - GB18030_SUPPLEMENTARY_LINEAR) : 0;
    }
    size_t low = 0, high = GB18030_FOUR_BYTE_RUN_COUNT - 1;  // the last entry only ends the table
    if (linear >= GB18030_FOUR_BYTE_RUNS[high].firstLinear) return 0;
    while (high - low > 1) {  // the run holding `linear` is in [low, high)
        size_t middle = (low + high) / 2;
        if (GB18030_FOUR_BYTE_RUNS[middle].firstLinear <= linear)
            low = middle;
        else
            high = middle;
    }
    const Gb18030Run& run = GB18030_FOUR_BYTE_RUNS[low];
    return run.firstCodePoint == 0 ? 0 : run.firstCodePoint + (linear - run.firstLinear);
}

// The encoder's inverse of the tables: the code of every BMP code point (a
// value above 0xFFFF is four bytes, else two; 0 for none), and the few
// characters above U+FFFF that have a two-byte code.  Built once, at first
// use; a function-local static is initialised thread-safely.
struct Gb18030Encoding {
    unsigned bmp[0x10000];
    struct Pair {
        unsigned codePoint;
        unsigned code;
    } supplementary[16];
    size_t supplementaryCount;

    Gb18030Encoding() : bmp(), supplementary(), supplementaryCount(0) {
        for (size_t i = 0; i + 1 < GB18030_FOUR_BYTE_RUN_COUNT; ++i) {
            const Gb18030Run& run = GB18030_FOUR_BYTE_RUNS[i];
            if (run.firstCodePoint == 0) continue;
            for (unsigned linear = run.firstLinear; linear < GB18030_FOUR_BYTE_RUNS[i + 1].firstLinear; ++linear) {
                unsigned codePoint = run.firstCodePoint + (linear - run.firstLinear);
                unsigned rest = linear;
                unsigned b4 = 0x30 + rest % 10;
                rest /= 10;
                unsigned b3 = 0x81 + rest % 126;
                rest /= 126;
                unsigned code = ((0x81 + rest / 10) << 24) | ((0x30 + rest % 10) << 16) | (b3 << 8) | b4;
                if (codePoint < 0x10000 && bmp[codePoint] == 0) bmp[codePoint] = code;
            }
        }
        // A two-byte code wins over a four-byte one, as in glibc.
        for (int lead = 0; lead < GB18030_LEADS; ++lead) {
            for (int trail = 0; trail < GB18030_TRAILS; ++trail) {
                unsigned codePoint = GB18030_TWO_BYTE[lead * GB18030_TRAILS + trail];
                unsigned code = ((0x81 + lead) << 8) | (trail < 0x3F ? 0x40 + trail : 0x41 + trail);
                if (codePoint == 0) continue;
                if (codePoint < 0x10000) {
                    bmp[codePoint] = code;
                } else if (supplementaryCount < sizeof supplementary / sizeof supplementary[0]) {
                    supplementary[supplementaryCount++] = {codePoint, code};
                }
            }
        }
    }
};

const Gb18030Encoding& Gb18030Encoder() {
    static const Gb18030Encoding* const encoding = new Gb18030Encoding();
    return *encoding;
}

// Writes the GB18030 code of `codePoint` into `bytes`; 0 when it has none.
size_t Gb18030Code(unsigned codePoint, unsigned char* bytes) {
    if (codePoint < 0x80) {
        bytes[0] = static_cast<unsigned char>(codePoint);
        return 1;
    }
    const Gb18030Encoding& encoding = Gb18030Encoder();
    unsigned code = 0;
    if (codePoint < 0x10000) {
        code = encoding.bmp[codePoint];
    } else {
        for (size_t i = 0; i < encoding.supplementaryCount; ++i) {
            if (encoding.supplementary[i].codePoint == codePoint) code = encoding.supplementary[i].code;
        }
        if (code == 0) {
            unsigned linear = GB18030_SUPPLEMENTARY_LINEAR + (codePoint - 0x10000);
            bytes[3] = static_cast<unsigned char>(0x30 + linear % 10);
            linear /= 10;
            bytes[2] = static_cast<unsigned char>(0x81 + linear % 126);
            linear /= 126;
            bytes[1] = static_cast<unsigned char>(0x30 + linear % 10);
            bytes[0] = static_cast<unsigned char>(0x81 + linear / 10);
            return 4;
        }
    }
    if (code == 0) return 0;
    if (code > 0xFFFF) {
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(code >> (24 - 8 * i));
        return 4;
    }
    bytes[0] = static_cast<unsigned char>(code >> 8);
    bytes[1] = static_cast<unsigned char>(code & 0xFF);
    return 2;
}

Decoded DecodeGb18030(Converter* converter, const unsigned char* in, size_t left) {
    Decoded result = {0, 0, DECODE_END, 0};
    size_t at = 0;
    size_t count = 0;
    while (at < left) {
        if (count + 2 > BLOCK_UNITS) {  // room for a pair
            result.stop = DECODE_FULL;
            break;
        }
        unsigned char byte = in[at];
        if (byte < 0x80) {
            converter->units[count] = byte;
            converter->offsets[count++] = static_cast<unsigned>(at++);
            continue;
        }
        size_t length = 0;
        unsigned codePoint = 0;
        if (IsGbkLead(byte) && at + 1 == left) {
            result.stop = DECODE_INCOMPLETE;
            break;
        }
        if (IsGbkLead(byte) && IsGbkTrail(in[at + 1])) {
            length = 2;
            codePoint = GB18030_TWO_BYTE[(byte - 0x81) * GB18030_TRAILS + Gb18030TrailIndex(in[at + 1])];
        } else if (IsGbkLead(byte) && IsGb18030Digit(in[at + 1])) {
            // glibc calls any lead and digit cut by the end incomplete.
            if (left - at < 4) {
                result.stop = DECODE_INCOMPLETE;
                break;
            }
            if (IsGbkLead(in[at + 2]) && IsGb18030Digit(in[at + 3])) {
                length = 4;
                unsigned linear = (((byte - 0x81) * 10u + (in[at + 1] - 0x30)) * 126u + (in[at + 2] - 0x81)) * 10u +
                                  (in[at + 3] - 0x30);
                codePoint = Gb18030FourByteCodePoint(linear);
            }
        }
        if (length == 0) {
            result.stop = DECODE_INVALID;
            result.skip = 1;
            break;
        }
        if (codePoint == 0) {
            result.stop = DECODE_UNMAPPED;
            result.skip = length;
            break;
        }
        if (codePoint >= 0x10000) {
            converter->units[count] = static_cast<wchar_t>(0xD800 + ((codePoint - 0x10000) >> 10));
            converter->offsets[count++] = static_cast<unsigned>(at);
            codePoint = 0xDC00 + ((codePoint - 0x10000) & 0x3FF);
        }
        converter->units[count] = static_cast<wchar_t>(codePoint);
        converter->offsets[count++] = static_cast<unsigned>(at);
        at += length;
    }
    converter->offsets[count] = static_cast<unsigned>(at);
    result.units = count;
    result.consumed = at;
    return result;
}

Decoded Decode(Converter* converter, const unsigned char* in, size_t left) {
    switch (converter->source) {
        case CHARSET_GB18030: return DecodeGb18030(converter, in, left);
        case CHARSET_UTF16:
        case CHARSET_UTF16LE: return DecodeUtf16(converter, in, left);
        case CHARSET_UTF8: return DecodeUtf8(converter, in, left);
        case CHARSET_GBK: return DecodeGbk(converter, in, left);
        default: return DecodeUcs2(converter, in, left);
    }
}

// ---- Encoders: a block of UTF-16 units to the target ------------------------
// Each returns why it stopped and sets *done to the units it has finished
// (written or dropped); it never splits a surrogate pair.

// Drops an unconvertible character under MISSING_DROP; false when it must stop.
bool DropUnconvertible(const Converter* converter, Output* output) {
    if (!converter->ignore) return false;
    ++output->irreversible;
    return true;
}

EncodeStop EncodeUcs2(const Converter* converter, const wchar_t* units, size_t count, Output* output, size_t* done) {
    const bool little = converter->target == CHARSET_UCS2LE;  // "UCS-2" is written big-endian, unmarked
    size_t i = 0;
    while (i < count) {
        unsigned unit = units[i];
        if (IsSurrogate(unit) || (converter->target == CHARSET_UCS2 && unit == SWAPPED_BYTE_ORDER_MARK)) {
            // Beyond the 16-bit range (a pair) or a unit UCS-2 cannot carry.
            size_t width = IsHighSurrogate(unit) && i + 1 < count ? 2 : 1;
            if (!DropUnconvertible(converter, output)) {
                *done = i;
                return ENCODE_UNCONVERTIBLE;
            }
            i += width;
            continue;
        }
        if (output->left < 2) {
            *done = i;
            return ENCODE_FULL;
        }
        unsigned char* at = reinterpret_cast<unsigned char*>(output->at);
        at[little ? 0 : 1] = static_cast<unsigned char>(unit & 0xFF);
        at[little ? 1 : 0] = static_cast<unsigned char>(unit >> 8);
        output->at += 2;
        output->left -= 2;
        ++i;
    }
    *done = count;
    return ENCODE_DONE;
}

// Appends one character's bytes; false when the output has no room for them.
bool PutBytes(Output* output, const unsigned char* bytes, size_t length) {
    if (output->left < length) return false;
    std::memcpy(output->at, bytes, length);
    output->at += length;
    output->left -= length;
    return true;
}

EncodeStop EncodeUtf8(const wchar_t* units, size_t count, Output* output, size_t* done) {
    size_t i = 0;
    while (i < count) {
        unsigned codePoint = units[i];
        size_t width = 1;
        if (IsHighSurrogate(codePoint) && i + 1 < count) {
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            width = 2;
        }
        unsigned char bytes[4];
        size_t length;
        if (codePoint < 0x80) {
            bytes[0] = static_cast<unsigned char>(codePoint);
            length = 1;
        } else if (codePoint < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (codePoint >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
            length = 2;
        } else if (codePoint < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (codePoint >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((codePoint >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
            length = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (codePoint >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((codePoint >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((codePoint >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
            length = 4;
        }
        if (!PutBytes(output, bytes, length)) {
            *done = i;
            return ENCODE_FULL;
        }
        i += width;
    }
    *done = count;
    return ENCODE_DONE;
}

// Units GBK has no form for whatever the API says: pairs (code page 936 is
// 16-bit only) and the euro sign (see EURO_SIGN).
bool OutsideGbk(wchar_t unit) { return IsSurrogate(unit) || unit == EURO_SIGN; }

// Width of the GBK character at `at`: a lead byte starts a pair.
size_t GbkWidth(const char* at) { return IsGbkLead(static_cast<unsigned char>(*at)) ? 2 : 1; }

// True when `length` bytes of GBK hold exactly one character per unit, as
// code page 936 gives them (a unit without a GBK form turns into the one-byte
// default character), so each unit's bytes can be found by walking.
bool OneCharacterPerUnit(const char* converted, size_t length, size_t count) {
    size_t at = 0;
    for (size_t unit = 0; unit < count; ++unit) {
        if (at >= length) return false;
        at += GbkWidth(converted + at);
    }
    return at == length;
}

// Moves the converted characters of a run to the output, unit by unit:
// drops (and counts) the default characters that stand for a missing one,
// and stops at the first character that does not fit.  `converted` may be
// the output itself: writing never overtakes reading.
EncodeStop CopyConverted(const Converter* converter, const wchar_t* units, size_t count, const char* converted,
                         Output* output, size_t* done) {
    size_t at = 0;
    for (size_t unit = 0; unit < count; ++unit) {
        size_t width = GbkWidth(converted + at);
        if (width == 1 && converted[at] == converter->defaultCharacter && units[unit] != converter->defaultCharacter) {
            if (!DropUnconvertible(converter, output)) {
                *done = unit;
                return ENCODE_UNCONVERTIBLE;
            }
            at += 1;
            continue;
        }
        if (output->left < width) {
            *done = unit;
            return ENCODE_FULL;
        }
        for (size_t i = 0; i < width; ++i) output->at[i] = converted[at + i];
        output->at += width;
        output->left -= width;
        at += width;
    }
    *done = count;
    return ENCODE_DONE;
}

// Encodes a run of units that are all inside the 16-bit range.
EncodeStop EncodeGbkRun(Converter* converter, const wchar_t* units, size_t count, Output* output, size_t* done) {
    *done = 0;
    if (count == 0) return ENCODE_DONE;
    // Straight into the output when the worst case fits, else aside first.
    const size_t worst = count * 2;
    const bool direct = output->left >= worst;
    char* converted = direct ? output->at : converter->encoded;
    BOOL usedDefault = FALSE;
    int length = WideCharToMultiByte(CODE_PAGE_GBK, WC_NO_BEST_FIT_CHARS, units, static_cast<int>(count), converted,
                                     static_cast<int>(worst), nullptr, &usedDefault);
    if (length > 0 && !usedDefault && direct) {  // the common case
        output->at += length;
        output->left -= static_cast<size_t>(length);
        *done = count;
        return ENCODE_DONE;
    }
    if (length > 0 && OneCharacterPerUnit(converted, static_cast<size_t>(length), count)) {
        return CopyConverted(converter, units, count, converted, output, done);
    }
    // The API did not give one character per unit: find the unit at fault by
    // halving the run.
    if (count == 1) {
        if (!DropUnconvertible(converter, output)) return ENCODE_UNCONVERTIBLE;
        *done = 1;
        return ENCODE_DONE;
    }
    size_t half = count / 2;
    size_t firstDone = 0, secondDone = 0;
    EncodeStop stop = EncodeGbkRun(converter, units, half, output, &firstDone);
    if (stop == ENCODE_DONE) stop = EncodeGbkRun(converter, units + half, count - half, output, &secondDone);
    *done = firstDone + secondDone;
    return stop;
}

EncodeStop EncodeGbk(Converter* converter, const wchar_t* units, size_t count, Output* output, size_t* done) {
    size_t i = 0;
    while (i < count) {
        size_t end = i;
        while (end < count && !OutsideGbk(units[end])) ++end;
        size_t runDone = 0;
        EncodeStop stop = EncodeGbkRun(converter, units + i, end - i, output, &runDone);
        i += runDone;
        if (stop != ENCODE_DONE) {
            *done = i;
            return stop;
        }
        if (end == count) break;
        // A unit outside GBK: a whole pair, or a single unit.
        size_t width = IsHighSurrogate(units[end]) && end + 1 < count ? 2 : 1;
        if (!DropUnconvertible(converter, output)) {
            *done = i;
            return ENCODE_UNCONVERTIBLE;
        }
        i += width;
    }
    *done = count;
    return ENCODE_DONE;
}

// The code point of the character at units[i] and its width in units.
unsigned CodePointAt(const wchar_t* units, size_t i, size_t count, size_t* width) {
    unsigned unit = units[i];
    *width = 1;
    if (IsHighSurrogate(unit) && i + 1 < count) {
        *width = 2;
        return 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00);
    }
    return unit;
}

EncodeStop EncodeGb18030(const Converter* converter, const wchar_t* units, size_t count, Output* output, size_t* done) {
    size_t i = 0;
    while (i < count) {
        size_t width;
        unsigned codePoint = CodePointAt(units, i, count, &width);
        unsigned char bytes[4];
        size_t length = Gb18030Code(codePoint, bytes);
        if (length == 0) {
            if (!DropUnconvertible(converter, output)) {
                *done = i;
                return ENCODE_UNCONVERTIBLE;
            }
            i += width;
            continue;
        }
        if (!PutBytes(output, bytes, length)) {
            *done = i;
            return ENCODE_FULL;
        }
        i += width;
    }
    *done = count;
    return ENCODE_DONE;
}

// Every unit as it is, pairs included, little-endian and without a mark.
EncodeStop EncodeUtf16le(const wchar_t* units, size_t count, Output* output, size_t* done) {
    size_t i = 0;
    while (i < count) {
        size_t width = IsHighSurrogate(units[i]) && i + 1 < count ? 2 : 1;
        if (output->left < width * 2) {
            *done = i;
            return ENCODE_FULL;
        }
        for (size_t k = 0; k < width; ++k) {
            output->at[0] = static_cast<char>(units[i + k] & 0xFF);
            output->at[1] = static_cast<char>(units[i + k] >> 8);
            output->at += 2;
            output->left -= 2;
        }
        i += width;
    }
    *done = count;
    return ENCODE_DONE;
}

EncodeStop Encode(Converter* converter, size_t count, Output* output, size_t* done) {
    switch (converter->target) {
        case CHARSET_GB18030: return EncodeGb18030(converter, converter->units, count, output, done);
        case CHARSET_UTF16LE: return EncodeUtf16le(converter->units, count, output, done);
        case CHARSET_UTF8: return EncodeUtf8(converter->units, count, output, done);
        case CHARSET_GBK: return EncodeGbk(converter, converter->units, count, output, done);
        default: return EncodeUcs2(converter, converter->units, count, output, done);
    }
}

Converter* Open(TextEncoding from, TextEncoding to, MissingCharacters missing) {
    // A "UTF-16" target would be written with a mark; nothing here wants one.
    if (to == ENCODING_UTF16) return nullptr;
    Converter* converter = static_cast<Converter*>(std::malloc(sizeof(Converter)));
    if (converter == nullptr) return nullptr;
    converter->source = CharsetOf(from);
    converter->target = CharsetOf(to);
    converter->ignore = missing == MISSING_DROP;
    converter->littleEndian = false;  // "UCS-2" reads big-endian until a mark says otherwise
    converter->atStart = true;
    CPINFO info;
    converter->defaultCharacter = GetCPInfo(CODE_PAGE_GBK, &info) ? static_cast<char>(info.DefaultChar[0]) : '?';
    return converter;
}

}  // namespace

TextConverter* OpenTextConverter(TextEncoding from, TextEncoding to, MissingCharacters missing) {
    return reinterpret_cast<TextConverter*>(Open(from, to, missing));
}

ConversionStop ConvertTextPiece(TextConverter* textConverter, const char** inbuf, size_t* inbytesleft, char** outbuf,
                                size_t* outbytesleft, size_t* missing) {
    Converter* converter = reinterpret_cast<Converter*>(textConverter);
    const unsigned char* in = reinterpret_cast<const unsigned char*>(*inbuf);
    size_t inLeft = *inbytesleft;
    Output output = {*outbuf, *outbytesleft, 0};
    ConversionStop error = CONVERSION_DONE;
    while (inLeft > 0) {
        Decoded block = Decode(converter, in, inLeft);
        size_t done = 0;
        EncodeStop stop = Encode(converter, block.units, &output, &done);
        if (stop != ENCODE_DONE) {
            // Stop before the first character not written.
            in += converter->offsets[done];
            inLeft -= converter->offsets[done];
            error = stop == ENCODE_FULL ? CONVERSION_OUTPUT_FULL : CONVERSION_INPUT_INVALID;
            break;
        }
        in += block.consumed;
        inLeft -= block.consumed;
        if (block.stop == DECODE_INCOMPLETE || block.stop == DECODE_REFUSED) {
            error = block.stop == DECODE_INCOMPLETE ? CONVERSION_INPUT_CUT : CONVERSION_INPUT_INVALID;
            break;
        }
        if (block.stop == DECODE_INVALID || block.stop == DECODE_UNMAPPED) {
            if (!converter->ignore) {
                error = CONVERSION_INPUT_INVALID;
                break;
            }
            in += block.skip;
            inLeft -= block.skip;
            if (block.stop == DECODE_UNMAPPED) ++output.irreversible;
        }
    }
    *inbuf = reinterpret_cast<const char*>(in);
    *inbytesleft = inLeft;
    *outbuf = output.at;
    *outbytesleft = output.left;
    if (missing != nullptr) *missing = error == CONVERSION_DONE ? output.irreversible : 0;
    return error;
}

void RestartTextConverter(TextConverter* textConverter) {
    // Back to the initial state; nothing is ever held back to flush.
    Converter* converter = reinterpret_cast<Converter*>(textConverter);
    converter->littleEndian = false;
    converter->atStart = true;
}

void CloseTextConverter(TextConverter* converter) { std::free(converter); }
