// One-shot character-set conversion, and the names of the core's text forms.
#pragma once

#include <cstddef>

#include "platform/charset.h"  // CORE_CHARSET, the core's one text form
// A package is decoded as UTF-16 (a leading mark picks the byte order,
// surrogate pairs are one character) and written back as UTF-16LE behind
// the mark FF FE.
const char PACKAGE_READ_CHARSET[] = "UTF-16";
const char PACKAGE_WRITE_CHARSET[] = "UTF-16LE";

// Converts `inputLength` bytes from `fromCharset` to `toCharset` (suffixed
// "//IGNORE", so characters the target lacks are dropped) into `output`,
// which is zero-filled first; `written` receives the bytes produced.
// Returns the conversion's own result: the count of dropped characters on
// success, -1 when it stopped early (bad or incomplete input, output full) or
// the charset is not supported ("不支持的字符集" is printed; output untouched).
// The names in use: the package's two, the core's, and "UTF-8".
int ConvertCharset(const char* fromCharset, const char* toCharset, const char* input, int inputLength,
                   char* output, int outputSize, int* written);

// The same without the zero fill and with 64-bit sizes, for callers that
// size the output exactly and NUL-terminate it themselves (the package text).
long long ConvertCharsetLarge(const char* fromCharset, const char* toCharset, const char* input,
                              size_t inputLength, char* output, size_t outputSize, size_t* written);

// A conversion fed in pieces, for a text too large to hold twice: one
// descriptor (same names, same "//IGNORE" target) for the whole text, so
// what one piece settles, such as the byte order a leading mark chose,
// holds for the next.  Null when a charset is not supported ("不支持的字符集"
// is printed).
struct CharsetStream;
CharsetStream* OpenCharsetStream(const char* fromCharset, const char* toCharset);
// Converts the piece, advancing all four arguments as iconv(3) does.
// Returns the count of dropped characters, or -1 when it stopped early:
// a character cut at the piece's end stays in *inputLeft (a few bytes) to
// be handed over again in front of the next piece; on the last piece, or
// with more input left, -1 is a failure (bad input, output full).
long long ConvertCharsetPiece(CharsetStream* stream, const char** input, size_t* inputLeft, char** output,
                              size_t* outputLeft);
void CloseCharsetStream(CharsetStream* stream);
