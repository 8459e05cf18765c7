#include "package/encoding.h"

#include "base/strings.h"

namespace {

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
        const size_t length = utf8 ? Utf8SequenceLength(bytes + i, size - i) : 1;
        // A character cut by the end of the bytes read is no evidence.
        if (length == 0 && size - i >= 4) utf8 = false;
        i += length == 0 ? 1 : length;
    }
    if (size == 0) return PACKAGE_ENCODING_UNKNOWN;
    if (!high) return PACKAGE_ENCODING_PLAIN;
    return utf8 ? PACKAGE_ENCODING_UTF8 : PACKAGE_ENCODING_GB18030;
}
