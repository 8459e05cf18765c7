// Leftmost-longest matching of many byte strings in one text, in time
// linear in the text plus the strings, whatever their lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct MatchPattern {
    const char* text;  // holds "//", as every collected URL does
    size_t length;
};

struct TextMatch {
    size_t start;
    int32_t pattern;  // index into the patterns; of equal texts, the first
};

// Called with the start of each match as it is taken, for progress.
typedef void (*MatchProgressFn)(void* context, size_t start);

// Appends to `matches`, in text order, the matches that replacing from left
// to right takes: from the end of the last match on, the first position
// where some pattern starts, and the longest pattern there.  Every pattern
// must hold "//" (the scan skips text without it).
void FindLongestMatches(const std::vector<MatchPattern>& patterns, const char* text, size_t textLength,
                        MatchProgressFn progress, void* context, std::vector<TextMatch>* matches);
