// One-shot conversions of the core's texts, with the caller's buffers, over
// the platform's conversions (platform/charset.h: the forms and their rules).
#pragma once

#include <cstddef>

#include "platform/charset.h"  // TextEncoding, CORE_CHARSET, the package's forms

// Converts `inputLength` bytes from `from` to `to` (dropping and counting
// characters the target lacks) into `output`, which is zero-filled first;
// `written` receives the bytes produced.  Returns the count of dropped
// characters on success, -1 when it stopped early (bad or incomplete input,
// output full) or the conversion is not supported ("不支持的字符集" is
// printed; output untouched).
int ConvertCharset(TextEncoding from, TextEncoding to, const char* input, int inputLength, char* output, int outputSize,
                   int* written);

// The same without the zero fill and with 64-bit sizes, for callers that
// size the output exactly and NUL-terminate it themselves (the package text).
long long ConvertCharsetLarge(TextEncoding from, TextEncoding to, const char* input, size_t inputLength, char* output,
                              size_t outputSize, size_t* written);

// A conversion fed in pieces, for a text too large to hold twice (dropping
// what the target lacks): what one piece settles, such as the byte order a
// leading mark chose, holds for the next.  Null when the conversion is not
// supported ("不支持的字符集" is printed).
TextConverter* OpenCharsetStream(TextEncoding from, TextEncoding to);
