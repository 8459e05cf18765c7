// Conversions of text between the package's forms, the core's form and the
// forms the system's edges want, each with the count of characters the
// target lacks.
//
// The rules the core depends on, the same on both systems:
//   - ENCODING_UCS2 consumes a leading mark (FF FE little-endian, FE FF
//     big-endian) and reads big-endian without one; a U+FFFE met later swaps
//     the byte order, a later U+FEFF is dropped;
//   - ENCODING_UTF16 (the package as read) consumes only a leading mark
//     (big-endian without one) and decodes surrogate pairs; a later U+FEFF is
//     a character, but a later U+FFFE stops the conversion
//     (CONVERSION_INPUT_INVALID even when dropping, the input left at it): the
//     byte order is in doubt.  ENCODING_UTF16LE reads every unit as a character;
//     as a target it writes pairs and no mark.  ENCODING_UTF16 is no target;
//   - ENCODING_GB18030 follows glibc's mapping on both systems (glibc lacks 24
//     private use code points, such as U+E78D-U+E796: characters the target
//     lacks);
//   - with MISSING_DROP characters the target lacks are dropped and counted;
//     with MISSING_STOP the conversion stops at the first (CONVERSION_INPUT_INVALID);
//   - invalid input (a lone surrogate in UCS-2, a bad UTF-8 or GBK byte) is
//     skipped when dropping, and so is a lone surrogate in UTF-16 and a bad
//     GB18030 byte; a well-formed GBK or GB18030 code that maps to no
//     character is dropped and counted;
//   - a full output stops with CONVERSION_OUTPUT_FULL, having written what fitted;
//   - incomplete input at the end stops with CONVERSION_INPUT_CUT, the cut
//     character left unconsumed.
// POSIX builds this over the C library's converter, Windows over the
// code-page API and by hand.
#pragma once

#include <cstddef>

enum TextEncoding {
    ENCODING_UCS2,  // UCS-2 whose marks choose the byte order
    ENCODING_UCS2LE,
    ENCODING_UCS2BE,
    ENCODING_UTF16,    // UTF-16 whose leading mark chooses the byte order
    ENCODING_UTF16LE,  // also the Win32 "...W" calls' wide form
    ENCODING_UTF8,     // POSIX system calls and terminals
    ENCODING_GBK,      // code page 936, the older form of the core's texts
    ENCODING_GB18030,
};

// The core's own form of text: every path and string it hands the platform
// layer is NUL-terminated GB18030.  GB18030 keeps every GBK character's
// bytes (so GBK texts and byte rules stay as they are) and gives every other
// Unicode character a code, so no character of a package is lost between
// reading and writing it back.  The file layers convert from it.
const TextEncoding CORE_CHARSET = ENCODING_GB18030;
// A package is decoded as UTF-16 (a leading mark picks the byte order,
// surrogate pairs are one character) and written back as UTF-16LE behind
// the mark FF FE.
const TextEncoding PACKAGE_READ_CHARSET = ENCODING_UTF16;
const TextEncoding PACKAGE_WRITE_CHARSET = ENCODING_UTF16LE;
// The Win32 "...W" calls' form.
const TextEncoding SYSTEM_WIDE_CHARSET = ENCODING_UTF16LE;

// What to do with a character the target lacks (and with invalid input).
enum MissingCharacters { MISSING_STOP, MISSING_DROP };

// Why a conversion ended.
enum ConversionStop {
    CONVERSION_DONE,           // all the input
    CONVERSION_OUTPUT_FULL,    // the next character did not fit
    CONVERSION_INPUT_CUT,      // the input ends inside a character
    CONVERSION_INPUT_INVALID,  // a character that stops it (see the rules)
    CONVERSION_UNSUPPORTED,    // no such conversion (a ENCODING_UTF16 target), or no memory
};

struct TextConversion {
    ConversionStop stop;
    size_t missing;   // characters dropped because the target lacks them
    size_t written;   // output bytes produced
    size_t consumed;  // input bytes used
};

// Converts `length` bytes of `input` into at most `size` bytes of `output`
// in one go (no terminator is added).  Returns result->stop.
ConversionStop ConvertText(TextEncoding from, TextEncoding to, MissingCharacters missing, const char* input,
                           size_t length, char* output, size_t size, TextConversion* result);

// A conversion fed in pieces, for a text too large to hold twice: what one
// piece settles, such as the byte order a leading mark chose, holds for the
// next.  Null when the conversion is not supported.
struct TextConverter;
TextConverter* OpenTextConverter(TextEncoding from, TextEncoding to, MissingCharacters missing);
// Converts the piece, advancing all four arguments past what was used and
// written; *missing (if not null) receives this piece's dropped count.  A
// character cut at the piece's end stays in *inputLeft (CONVERSION_INPUT_CUT), to
// be handed over again in front of the next piece.
ConversionStop ConvertTextPiece(TextConverter* converter, const char** input, size_t* inputLeft, char** output,
                                size_t* outputLeft, size_t* missing);
// Back to the start of a new text: a leading mark counts again.
void RestartTextConverter(TextConverter* converter);
void CloseTextConverter(TextConverter* converter);
