// One-shot character-set conversion.
#pragma once

#include <cstddef>

// Converts `inputLength` bytes from `fromCharset` to `toCharset` (suffixed
// "//IGNORE", so characters the target lacks are dropped) into `output`,
// which is zero-filled first; `written` receives the bytes produced.
// Returns the conversion's own result: the count of dropped characters on
// success, -1 when it stopped early (bad or incomplete input, output full) or
// the charset is not supported ("不支持的字符集" is printed; output untouched).
// The names in use: "UCS-2"->"GBK", "gbk"->"UCS-2LE", "utf-8"->"gbk".
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
