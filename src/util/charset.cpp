#include "util/charset.h"

#include <cstdio>
#include <cstring>

#include "platform/charset.h"
#include "util/front_end.h"
#include "texts/texts.h"

namespace {


libiconv_t OpenIgnoring(const char* fromCharset, const char* toCharset) {
    char target[128];
    std::snprintf(target, sizeof target, "%s//IGNORE", toCharset);
    libiconv_t cd = libiconv_open(target, fromCharset);
    if (cd == reinterpret_cast<libiconv_t>(-1)) PrintLine(MESSAGE_UNSUPPORTED_CHARSET);
    return cd;
}

// Exactly one conversion call: a too-small output is a failure, not a loop.
long long ConvertOnce(libiconv_t cd, const char* input, size_t inputLength, char* output, size_t outputSize,
                      size_t* written) {
    char* in = const_cast<char*>(input);
    size_t inLeft = inputLength;
    char* out = output;
    size_t outLeft = outputSize;
    size_t result = libiconv(cd, &in, &inLeft, &out, &outLeft);
    *written = static_cast<size_t>(out - output);
    libiconv_close(cd);
    return result == static_cast<size_t>(-1) ? -1 : static_cast<long long>(result);
}

}  // namespace

long long ConvertCharsetLarge(const char* fromCharset, const char* toCharset, const char* input,
                              size_t inputLength, char* output, size_t outputSize, size_t* written) {
    *written = 0;
    libiconv_t cd = OpenIgnoring(fromCharset, toCharset);
    if (cd == reinterpret_cast<libiconv_t>(-1)) return -1;
    return ConvertOnce(cd, input, inputLength, output, outputSize, written);
}

int ConvertCharset(const char* fromCharset, const char* toCharset, const char* input, int inputLength,
                   char* output, int outputSize, int* written) {
    libiconv_t cd = OpenIgnoring(fromCharset, toCharset);
    if (cd == reinterpret_cast<libiconv_t>(-1)) return -1;  // output untouched
    std::memset(output, 0, static_cast<size_t>(outputSize));
    size_t produced = 0;
    long long result = ConvertOnce(cd, input, static_cast<size_t>(inputLength), output,
                                   static_cast<size_t>(outputSize), &produced);
    *written = static_cast<int>(produced);
    return result < 0 ? -1 : static_cast<int>(result);
}

CharsetStream* OpenCharsetStream(const char* fromCharset, const char* toCharset) {
    libiconv_t cd = OpenIgnoring(fromCharset, toCharset);
    if (cd == reinterpret_cast<libiconv_t>(-1)) return nullptr;
    return reinterpret_cast<CharsetStream*>(cd);
}

long long ConvertCharsetPiece(CharsetStream* stream, const char** input, size_t* inputLeft, char** output,
                              size_t* outputLeft) {
    char* in = const_cast<char*>(*input);
    size_t result = libiconv(reinterpret_cast<libiconv_t>(stream), &in, inputLeft, output, outputLeft);
    *input = in;
    return result == static_cast<size_t>(-1) ? -1 : static_cast<long long>(result);
}

void CloseCharsetStream(CharsetStream* stream) {
    if (stream != nullptr) libiconv_close(reinterpret_cast<libiconv_t>(stream));
}
