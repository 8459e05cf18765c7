#include "base/strings.h"

#include <cstdlib>
#include <cstring>

#include "base/memory.h"

namespace {

// Shared by the prefix tests.  An empty prefix matches only an empty text:
// a match needs one equal pair, or both strings empty.
int PrefixMatches(const char* text, const char* prefix, bool foldCase) {
    const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(prefix);
    if (*p == 0) return *t == 0 ? 1 : 0;
    for (; *p != 0; ++t, ++p) {
        unsigned char a = *t, b = *p;
        if (foldCase) {
            a = FoldAscii(a);
            b = FoldAscii(b);
        }
        if (a != b) return 0;  // also covers a text shorter than the prefix
    }
    return 1;
}

int SuffixMatches(const char* text, const char* suffix, bool foldCase) {
    size_t textLength = std::strlen(text);
    size_t suffixLength = std::strlen(suffix);
    if (textLength < suffixLength) return 0;
    if (suffixLength == 0) return textLength == 0 ? 1 : 0;
    const unsigned char* t = reinterpret_cast<const unsigned char*>(text) + textLength;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(suffix) + suffixLength;
    for (size_t i = 0; i < suffixLength; ++i) {
        unsigned char a = *--t, b = *--s;
        if (foldCase) {
            a = FoldAscii(a);
            b = FoldAscii(b);
        }
        if (a != b) return 0;
    }
    return 1;
}

}  // namespace

int StringEquals(const void* first, const void* second) {
    if (first == second) return 1;
    if (first == nullptr || second == nullptr) return 0;
    return std::strcmp(static_cast<const char*>(first), static_cast<const char*>(second)) == 0 ? 1 : 0;
}

int StartsWith(const char* text, const char* prefix) { return PrefixMatches(text, prefix, false); }
int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int StartsWithNoCase(const char* text, const char* prefix) { return PrefixMatches(text, prefix, true); }
int EndsWith(const char* text, const char* suffix) { return SuffixMatches(text, suffix, false); }
int EndsWithNoCase(const char* text, const char* suffix) { return SuffixMatches(text, suffix, true); }

char* NextToken(char** cursor, const char* delimiters) {
    char* start = *cursor;
    if (start == nullptr) return nullptr;
    char* end = start + std::strcspn(start, delimiters);
    if (*end != '\0') {
        *end = '\0';
        *cursor = end + 1;
    } else {
        *cursor = nullptr;
    }
    return start;
}

char* ReplaceAll(const char* text, const char* pattern, const char* replacement) {
    if (text == nullptr || *text == '\0' || pattern == nullptr || *pattern == '\0' || replacement == nullptr) {
        return nullptr;
    }
    const size_t textLength = std::strlen(text);
    const size_t patternLength = std::strlen(pattern);
    const size_t replacementLength = std::strlen(replacement);

    // Pass 1: match offsets, in a list that starts at 256 and doubles.
    size_t room = 256, found = 0;
    size_t* offsets = static_cast<size_t*>(Allocate(room * sizeof(size_t)));
    const char* end = text + textLength;
    for (const char* at = text; at + patternLength <= end;) {
        const char* hit = FindBytes(at, static_cast<size_t>(end - at), pattern, patternLength);
        if (hit == nullptr) break;
        if (found == room) {
            room *= 2;
            offsets = static_cast<size_t*>(Reallocate(offsets, room * sizeof(size_t)));
        }
        offsets[found++] = static_cast<size_t>(hit - text);
        at = hit + patternLength;
    }
    if (found == 0) {
        std::free(offsets);
        return nullptr;
    }

    // Pass 2: one exact-size allocation, L + n * (R - P) + 1.
    size_t resultLength = textLength - found * patternLength + found * replacementLength;
    char* result = static_cast<char*>(Allocate(resultLength + 1));
    char* out = result;
    size_t previousEnd = 0;
    for (size_t i = 0; i < found; ++i) {
        size_t gap = offsets[i] - previousEnd;
        std::memcpy(out, text + previousEnd, gap);
        out += gap;
        std::memcpy(out, replacement, replacementLength);
        out += replacementLength;
        previousEnd = offsets[i] + patternLength;
    }
    std::memcpy(out, text + previousEnd, textLength - previousEnd);
    out += textLength - previousEnd;
    *out = '\0';
    std::free(offsets);
    return result;
}

size_t RemoveAllInPlace(char* text, size_t length, const char* pattern) {
    const size_t patternLength = std::strlen(pattern);
    if (patternLength == 0) {
        text[length] = '\0';
        return length;
    }
    // Reading always stays ahead of writing, so every comparison sees the
    // original bytes and no occurrence is formed by a removal.  The scan
    // jumps between occurrences of the pattern's first byte with memchr,
    // which is fast for patterns that start with an uncommon byte.
    const unsigned char first = static_cast<unsigned char>(pattern[0]);
    const char* read = text;
    const char* end = text + length;
    const char* scan = text;
    char* write = text;
    while (static_cast<size_t>(end - scan) >= patternLength) {
        const char* hit =
            static_cast<const char*>(std::memchr(scan, first, static_cast<size_t>(end - scan) - patternLength + 1));
        if (hit == nullptr) break;
        if (std::memcmp(hit + 1, pattern + 1, patternLength - 1) != 0) {
            scan = hit + 1;
            continue;
        }
        size_t keep = static_cast<size_t>(hit - read);
        if (write != read) std::memmove(write, read, keep);
        write += keep;
        read = hit + patternLength;
        scan = read;
    }
    size_t rest = static_cast<size_t>(end - read);
    if (write != read) std::memmove(write, read, rest);
    write += rest;
    *write = '\0';
    return static_cast<size_t>(write - text);
}

char* CopyBytes(const char* text, size_t length) {
    char* copy = static_cast<char*>(Allocate(length + 1));
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

char* CopyString(const char* text) { return CopyBytes(text, std::strlen(text)); }

const char* FindBytes(const char* haystack, size_t length, const char* needle, size_t needleLength) {
    if (needleLength == 0) return haystack;
    if (length < needleLength) return nullptr;
#if defined(__GLIBC__)
    return static_cast<const char*>(memmem(haystack, length, needle, needleLength));
#else
    const char* last = haystack + (length - needleLength);
    for (const char* at = haystack; at <= last;) {
        const char* first = static_cast<const char*>(
            std::memchr(at, static_cast<unsigned char>(needle[0]), static_cast<size_t>(last - at) + 1));
        if (first == nullptr) return nullptr;
        if (std::memcmp(first, needle, needleLength) == 0) return first;
        at = first + 1;
    }
    return nullptr;
#endif
}

bool ParseDecimal(const char* text, size_t length, int64_t max, int64_t* value) {
    if (length == 0) return false;
    int64_t number = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        const int digit = text[i] - '0';
        // Checked before the step, so the product never leaves int64_t.
        if (digit > max || number > (max - digit) / 10) return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

int CharacterBytes(const char* at) {
    const unsigned char* c = reinterpret_cast<const unsigned char*>(at);
    auto isLead = [](unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; };
    auto isDigit = [](unsigned char byte) { return byte >= 0x30 && byte <= 0x39; };
    if (!isLead(c[0])) return 1;
    if (isDigit(c[1]) && isLead(c[2]) && isDigit(c[3])) return 4;
    if (c[1] >= 0x40 && c[1] <= 0xFE && c[1] != 0x7F) return 2;
    return 1;
}

size_t Utf8SequenceLength(const unsigned char* at, size_t left) {
    unsigned char lead = at[0];
    size_t length;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    else
        return 0;
    if (left < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((at[i] & 0xC0) != 0x80) return 0;
    }
    return length;
}

int HasControlByte(const char* text) {
    if (text == nullptr) return 0;
    for (const unsigned char* at = reinterpret_cast<const unsigned char*>(text); *at != '\0'; ++at) {
        if (*at < 0x20 || *at == 0x7F) return 1;
    }
    return 0;
}
