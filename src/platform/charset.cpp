#include "platform/charset.h"

// One conversion call over a converter of its own: a too-small output is a
// stop, not a loop.
ConversionStop ConvertText(TextEncoding from, TextEncoding to, MissingCharacters missing, const char* input,
                           size_t length, char* output, size_t size, TextConversion* result) {
    *result = TextConversion{CONVERSION_UNSUPPORTED, 0, 0, 0};
    TextConverter* converter = OpenTextConverter(from, to, missing);
    if (converter == nullptr) return result->stop;
    const char* in = input;
    size_t inLeft = length;
    char* out = output;
    size_t outLeft = size;
    result->stop = ConvertTextPiece(converter, &in, &inLeft, &out, &outLeft, &result->missing);
    result->written = static_cast<size_t>(out - output);
    result->consumed = static_cast<size_t>(in - input);
    CloseTextConverter(converter);
    return result->stop;
}
