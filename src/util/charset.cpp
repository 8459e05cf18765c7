#include "util/charset.h"

#include <cstring>

#include "util/front_end.h"
#include "texts/texts.h"

namespace {

long long Convert(TextEncoding from, TextEncoding to, const char* input, size_t inputLength, char* output,
                  size_t outputSize, size_t* written) {
    TextConversion result;
    ConvertText(from, to, MISSING_DROP, input, inputLength, output, outputSize, &result);
    *written = result.written;
    if (result.stop == CONVERSION_UNSUPPORTED) PrintLine(MESSAGE_UNSUPPORTED_CHARSET);
    return result.stop == CONVERSION_DONE ? static_cast<long long>(result.missing) : -1;
}

}  // namespace

long long ConvertCharsetLarge(TextEncoding from, TextEncoding to, const char* input, size_t inputLength, char* output,
                              size_t outputSize, size_t* written) {
    return Convert(from, to, input, inputLength, output, outputSize, written);
}

int ConvertCharset(TextEncoding from, TextEncoding to, const char* input, int inputLength, char* output, int outputSize,
                   int* written) {
    // An unsupported conversion leaves the output as it was.
    TextConverter* probe = OpenCharsetStream(from, to);
    if (probe == nullptr) return -1;
    CloseTextConverter(probe);
    std::memset(output, 0, static_cast<size_t>(outputSize));
    size_t produced = 0;
    long long result =
        Convert(from, to, input, static_cast<size_t>(inputLength), output, static_cast<size_t>(outputSize), &produced);
    *written = static_cast<int>(produced);
    return result < 0 ? -1 : static_cast<int>(result);
}

TextConverter* OpenCharsetStream(TextEncoding from, TextEncoding to) {
    TextConverter* converter = OpenTextConverter(from, to, MISSING_DROP);
    if (converter == nullptr) PrintLine(MESSAGE_UNSUPPORTED_CHARSET);
    return converter;
}
