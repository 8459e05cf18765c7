#include "platform/charset.h"

#include <cstring>

// One conversion call over a converter of its own: a too-small output is a
// stop, not a loop.
namespace {

// UTF-8, GBK and GB18030 give every ASCII character its own one byte.
bool KeepsAscii(TextEncoding encoding) {
    return encoding == ENCODING_UTF8 || encoding == ENCODING_GBK || encoding == ENCODING_GB18030;
}

}  // namespace

ConversionStop ConvertText(TextEncoding from, TextEncoding to, MissingCharacters missing, const char* input,
                           size_t length, char* output, size_t size, TextConversion* result) {
    // Addresses and most paths are ASCII: between two forms that keep it
    // as it is, they are copied without a converter (opening one costs more
    // than the whole conversion).
    if (KeepsAscii(from) && KeepsAscii(to) && length <= size) {
        size_t ascii = 0;
        while (ascii < length && static_cast<unsigned char>(input[ascii]) < 0x80) ++ascii;
        if (ascii == length) {
            std::memcpy(output, input, length);
            *result = TextConversion{CONVERSION_DONE, 0, length, length};
            return CONVERSION_DONE;
        }
    }
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
