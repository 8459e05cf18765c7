#include "package/encoding.h"

namespace {

// The length of the UTF-8 sequence at bytes[0] (1 for ASCII), or 0 when it
// is not one.  A sequence cut by the end of the bytes is taken as whole.
size_t Utf8SequenceAt(const unsigned char* bytes, size_t size) {
    const unsigned char lead = bytes[0];
    size_t length = 0;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    else
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if (i >= size) return size;
        if ((bytes[i] & 0xC0) != 0x80) return 0;
    }
    return length;
}

// Whether NUL bytes stand at even (big-endian) or odd places of most of the
// first pairs, as ASCII does in UTF-16 without its mark.
bool NulsInPairs(const unsigned char* bytes, size_t size, bool first) {
    size_t pairs = 0, matching = 0;
    for (size_t i = 0; i + 1 < size && pairs < 64; i += 2, ++pairs) {
        const unsigned char high = first ? bytes[i] : bytes[i + 1];
        const unsigned char low = first ? bytes[i + 1] : bytes[i];
        if (high == 0 && low != 0) ++matching;
    }
    return pairs >= 2 && matching * 4 >= pairs * 3;
}

}  // namespace

PackageEncoding GuessPackageEncoding(const unsigned char* bytes, size_t size) {
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) return PACKAGE_ENCODING_UTF16LE;
    if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) return PACKAGE_ENCODING_UTF16BE;
    if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) return PACKAGE_ENCODING_UTF8_MARKED;
    if (NulsInPairs(bytes, size, true)) return PACKAGE_ENCODING_UTF16BE;
    if (NulsInPairs(bytes, size, false)) return PACKAGE_ENCODING_UTF16LE;
    bool high = false, utf8 = true;
    for (size_t i = 0; i < size;) {
        if (bytes[i] == 0) return PACKAGE_ENCODING_UNKNOWN;
        if (bytes[i] >= 0x80) high = true;
        const size_t length = utf8 ? Utf8SequenceAt(bytes + i, size - i) : 1;
        if (length == 0) utf8 = false;
        i += length == 0 ? 1 : length;
    }
    if (size == 0) return PACKAGE_ENCODING_UNKNOWN;
    if (!high) return PACKAGE_ENCODING_PLAIN;
    return utf8 ? PACKAGE_ENCODING_UTF8 : PACKAGE_ENCODING_GB18030;
}
