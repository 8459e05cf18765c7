#include "util/base64.h"

#include "base/memory.h"

char* EncodeBase64(const unsigned char* bytes, size_t length) {
    static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char* text = static_cast<char*>(Allocate((length + 2) / 3 * 4 + 1));
    char* out = text;
    size_t at = 0;
    for (; at + 3 <= length; at += 3) {
        unsigned group = (unsigned)bytes[at] << 16 | (unsigned)bytes[at + 1] << 8 | bytes[at + 2];
        *out++ = ALPHABET[group >> 18];
        *out++ = ALPHABET[(group >> 12) & 63];
        *out++ = ALPHABET[(group >> 6) & 63];
        *out++ = ALPHABET[group & 63];
    }
    // One or two bytes left: two or three characters, padded to four.
    if (at < length) {
        unsigned group = (unsigned)bytes[at] << 16;
        if (at + 1 < length) group |= (unsigned)bytes[at + 1] << 8;
        *out++ = ALPHABET[group >> 18];
        *out++ = ALPHABET[(group >> 12) & 63];
        *out++ = at + 1 < length ? ALPHABET[(group >> 6) & 63] : '=';
        *out++ = '=';
    }
    *out = '\0';
    return text;
}
