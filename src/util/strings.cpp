#include "util/strings.h"

#include <cstdlib>
#include <cstring>

namespace {

inline unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

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
    if (text == nullptr || *text == '\0' || pattern == nullptr || *pattern == '\0' ||
        replacement == nullptr) {
        return nullptr;
    }
    const size_t textLength = std::strlen(text);
    const size_t patternLength = std::strlen(pattern);
    const size_t replacementLength = std::strlen(replacement);

    // Pass 1: match offsets, in a list that starts at 256 and doubles.
    size_t room = 256, found = 0;
    size_t* offsets = static_cast<size_t*>(std::malloc(room * sizeof(size_t)));
    const char* end = text + textLength;
    for (const char* at = text; at + patternLength <= end;) {
        const char* hit = FindBytes(at, static_cast<size_t>(end - at), pattern, patternLength);
        if (hit == nullptr) break;
        if (found == room) {
            room *= 2;
            offsets = static_cast<size_t*>(std::realloc(offsets, room * sizeof(size_t)));
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
    char* result = static_cast<char*>(std::malloc(resultLength + 1));
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

char* CopyBytes(const char* text, size_t length) {
    char* copy = static_cast<char*>(std::malloc(length + 1));
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
