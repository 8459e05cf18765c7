#include "relocate/rewrite.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "package/extraction.h"
#include "relocate/longest_matches.h"
#include "relocate/run_view.h"
#include "base/memory.h"
#include "base/strings.h"
#include "texts/texts.h"

namespace {

const char MOBILE_ELEMENT_FORMAT[] = "<img>%s</img>";
// Every collected URL holds "//" (after "http:" or "https:" or at its start);
// the fast path finds its candidates from those two bytes.
const char ANCHOR[] = "//";

// One text to find and what replaces it; one per address of the run, so
// kept small.
struct Pattern {
    const char* text;
    const char* replacement;
    uint64_t hash;
    uint32_t length;
    uint32_t replacementLength;
    uint32_t anchorOffset;  // offset of the first "//" in `text`
    bool keepsText;         // a failed URL left as it is (see CollectPatterns)
};

Pattern MakePattern(const char* text, const char* replacement, bool keepsText) {
    return Pattern{text,
                   replacement,
                   0,
                   static_cast<uint32_t>(std::strlen(text)),
                   static_cast<uint32_t>(std::strlen(replacement)),
                   0,
                   keepsText};
}

// Owns the texts of the "<img>URL</img>" patterns.
struct PatternSet {
    std::vector<Pattern> patterns;
    std::vector<char*> ownedTexts;
    ~PatternSet() {
        for (char* text : ownedTexts) std::free(text);
    }
};

void ShowProgress(const RunView* view, const char* format, int itemCount, int processedCount, int percent) {
    if (view == nullptr || view->setProgressText == nullptr) return;
    char text[256];
    std::snprintf(text, sizeof text, format, itemCount, processedCount, percent);
    view->setProgressText(view->context, text);
}

// The percentage of the text scanned, shown when its whole number grows.
struct ScanProgress {
    const RunView* view;
    int itemCount;
    int processedCount;
    size_t textLength;
    int shownPercent;
    size_t nextProgress;
};

void ShowScanned(void* context, size_t position) {
    ScanProgress* progress = static_cast<ScanProgress*>(context);
    if (position < progress->nextProgress) return;
    int percent = static_cast<int>(static_cast<unsigned long long>(position) * 100 / progress->textLength);
    if (percent > progress->shownPercent) {
        progress->shownPercent = percent;
        ShowProgress(progress->view, TEXT_UPDATING_PACKAGE_PERCENT, progress->itemCount, progress->processedCount,
                     percent);
    }
    progress->nextProgress = (static_cast<size_t>(percent) + 1) * (progress->textLength / 100) + 1;
}

// The replacements the map asks for, without any order yet.  With
// `keepFailed`, a failed URL that stays in the text is a pattern too, one
// that replaces it by itself: matched whole, it shields the shorter URLs
// inside it, which would otherwise turn it into a broken address that no
// later run could retry.
void CollectPatterns(const HashMap* urlMap, int blankFailedImages, bool keepFailed, PatternSet* set) {
    KeyList* keys = HashMapKeys(urlMap);
    set->patterns.reserve(static_cast<size_t>(urlMap->count) * (blankFailedImages ? 2 : 1));
    for (KeyList* node = keys; node != nullptr; node = node->next) {
        const char* url = static_cast<const char*>(node->key);
        const char* path = static_cast<const char*>(HashMapGet(urlMap, url));
        if (*url == '\0') continue;
        if (path != nullptr && *path != '\0') {
            set->patterns.push_back(MakePattern(url, path, false));
        } else if (blankFailedImages) {
            size_t elementLength = std::strlen(url) + sizeof MOBILE_ELEMENT_FORMAT;
            char* element = static_cast<char*>(Allocate(elementLength));
            std::snprintf(element, elementLength, MOBILE_ELEMENT_FORMAT, url);
            set->ownedTexts.push_back(element);
            set->patterns.push_back(MakePattern(element, "", false));
            set->patterns.push_back(MakePattern(url, BLANK_IMAGE_URL, false));
        } else if (keepFailed) {
            set->patterns.push_back(MakePattern(url, url, true));
        }
    }
    FreeKeyList(keys);
}

// Replaces *text by `replaced` when a replacement happened.
bool TakeReplacement(char** text, char* replaced) {
    if (replaced == nullptr) return false;
    std::free(*text);
    *text = replaced;
    return true;
}

// --- The one-pass matcher -------------------------------------------------
//
// Leftmost-longest matching of all patterns in one scan.  Candidates are
// found from the "//" every pattern contains: a pattern whose first "//" is
// at offset d can only start d bytes before a "//" of the text.  At a
// candidate start, prefix hashes of the text are compared against the
// patterns' hashes for every pattern length, and the longest pattern that
// really matches wins.  For texts in which no two URLs overlap without one
// containing the other (URLs in a package are delimited), this equals the
// plain replace-all of each pattern, longest first, and it never rescans
// what it has inserted.
//
// On a package this hashes little more than its URLs, faster than any
// automaton can be built over them; but a text that holds long near-matches
// at many candidates (a long URL followed by many "http://") would cost the
// text's length times the longest pattern's.  So the scan has a budget in
// proportion to the text and the patterns, and past it the same matches
// come from FindLongestMatches, in linear time.

const uint64_t HASH_BASE = 1099511628211ull;
// The hashing's budget, in bytes per byte of the text and the patterns.
const size_t HASHING_BUDGET_FACTOR = 4;

struct Matcher {
    std::vector<Pattern> patterns;
    std::vector<int32_t> table;  // open addressing over (length, hash) -> pattern index, -1 empty
    uint64_t tableMask = 0;
    std::vector<uint8_t> lengthUsed;  // lengthUsed[L] != 0 when some pattern has length L
    size_t maxLength = 0;
    bool byteUsed[256] = {};            // bytes that occur in some pattern
    std::vector<uint8_t> firstPair;     // 65536 flags: first two bytes of some pattern
    std::vector<size_t> anchorOffsets;  // distinct offsets of the first "//", ascending
};

uint64_t Mix(size_t length, uint64_t hash) {
    return (hash ^ (static_cast<uint64_t>(length) * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
}

// False when some pattern lacks the anchor; the caller then replaces plainly.
// The matcher takes the patterns over, so they are held once.
bool BuildMatcher(std::vector<Pattern>* patterns, Matcher* matcher) {
    matcher->patterns.swap(*patterns);
    matcher->firstPair.assign(65536, 0);
    for (Pattern& pattern : matcher->patterns) {
        const char* anchor = FindBytes(pattern.text, pattern.length, ANCHOR, 2);
        if (anchor == nullptr) {
            matcher->patterns.swap(*patterns);
            return false;
        }
        pattern.anchorOffset = static_cast<uint32_t>(anchor - pattern.text);
        uint64_t hash = 0;
        for (size_t i = 0; i < pattern.length; ++i) {
            unsigned char c = static_cast<unsigned char>(pattern.text[i]);
            hash = hash * HASH_BASE + c;
            matcher->byteUsed[c] = true;
        }
        pattern.hash = hash;
        matcher->maxLength = std::max(matcher->maxLength, static_cast<size_t>(pattern.length));
        matcher->firstPair[static_cast<unsigned char>(pattern.text[0]) << 8 |
                           static_cast<unsigned char>(pattern.text[1])] = 1;
        if (std::find(matcher->anchorOffsets.begin(), matcher->anchorOffsets.end(), pattern.anchorOffset) ==
            matcher->anchorOffsets.end()) {
            matcher->anchorOffsets.push_back(pattern.anchorOffset);
        }
    }
    std::sort(matcher->anchorOffsets.begin(), matcher->anchorOffsets.end());
    matcher->lengthUsed.assign(matcher->maxLength + 1, 0);
    size_t slots = 16;
    while (slots < matcher->patterns.size() * 2) slots <<= 1;
    matcher->table.assign(slots, -1);
    matcher->tableMask = slots - 1;
    for (size_t i = 0; i < matcher->patterns.size(); ++i) {
        const Pattern& pattern = matcher->patterns[i];
        matcher->lengthUsed[pattern.length] = 1;
        uint64_t slot = Mix(pattern.length, pattern.hash) & matcher->tableMask;
        while (matcher->table[slot] >= 0) slot = (slot + 1) & matcher->tableMask;
        matcher->table[slot] = static_cast<int32_t>(i);
    }
    return true;
}

// The longest pattern that matches at `start`, or -1.  Adds the bytes it
// hashed to *work.
int32_t LongestMatchAt(const Matcher& matcher, const char* text, size_t textLength, size_t start, size_t* work) {
    if (start + 2 > textLength) return -1;
    const unsigned char* at = reinterpret_cast<const unsigned char*>(text) + start;
    if (!matcher.firstPair[at[0] << 8 | at[1]]) return -1;
    size_t limit = std::min(matcher.maxLength, textLength - start);
    uint64_t hash = 0;
    int32_t best = -1;
    for (size_t i = 0; i < limit; ++i, ++*work) {
        if (!matcher.byteUsed[at[i]]) break;  // no pattern runs past this byte
        hash = hash * HASH_BASE + at[i];
        size_t length = i + 1;
        if (!matcher.lengthUsed[length]) continue;
        for (uint64_t slot = Mix(length, hash) & matcher.tableMask; matcher.table[slot] >= 0;
             slot = (slot + 1) & matcher.tableMask) {
            const Pattern& pattern = matcher.patterns[static_cast<size_t>(matcher.table[slot])];
            if (pattern.length == length && pattern.hash == hash && std::memcmp(pattern.text, at, length) == 0) {
                best = matcher.table[slot];
                break;
            }
        }
    }
    return best;
}

typedef TextMatch Match;

// Finds the leftmost-longest, non-overlapping matches in text order; false
// when the hashing exceeds `budget` bytes.
bool FindMatches(const Matcher& matcher, const char* text, size_t textLength, size_t budget, ScanProgress* progress,
                 std::vector<Match>* matches) {
    const size_t widest = matcher.anchorOffsets.back();
    size_t emitted = 0;  // no match may start before this
    size_t work = 0;
    // Matches found but not final yet: a later anchor can still reveal a
    // match that starts earlier.  They all start within `widest` bytes of
    // the current anchor, so the list stays short.
    std::vector<Match> pending;

    // Takes the leftmost pending match and drops those it overlaps.
    auto commitFirst = [&]() {
        auto first = std::min_element(pending.begin(), pending.end(),
                                      [](const Match& a, const Match& b) { return a.start < b.start; });
        Match match = *first;
        matches->push_back(match);
        emitted = match.start + matcher.patterns[static_cast<size_t>(match.pattern)].length;
        pending.erase(std::remove_if(pending.begin(), pending.end(), [&](const Match& m) { return m.start < emitted; }),
                      pending.end());
    };
    auto earliestPending = [&]() {
        size_t earliest = SIZE_MAX;
        for (const Match& m : pending) earliest = std::min(earliest, m.start);
        return earliest;
    };

    for (size_t from = 0; from + 1 < textLength;) {
        const char* slash = static_cast<const char*>(std::memchr(text + from, '/', textLength - from - 1));
        if (slash == nullptr) break;
        size_t anchor = static_cast<size_t>(slash - text);
        from = anchor + 1;
        if (slash[1] != '/') continue;

        ShowScanned(progress, anchor);
        if (work > budget) return false;
        // This and later anchors only give starts above anchor - widest.
        while (!pending.empty() && earliestPending() + widest < anchor) commitFirst();
        for (size_t offset : matcher.anchorOffsets) {
            if (offset > anchor) break;
            size_t start = anchor - offset;
            if (start < emitted) continue;
            bool known = false;
            for (const Match& m : pending) known = known || m.start == start;
            if (known) continue;
            int32_t found = LongestMatchAt(matcher, text, textLength, start, &work);
            if (found >= 0) pending.push_back(Match{start, found});
        }
    }
    while (!pending.empty()) commitFirst();
    return true;
}

// Hands the rewritten text to `put` in order: the text between matches and
// each match's replacement; stops when `put` returns false.
template <typename Put>
void ProduceRewritten(const Matcher& matcher, const char* text, size_t textLength, const std::vector<Match>& matches,
                      Put put) {
    size_t copied = 0;
    for (const Match& match : matches) {
        const Pattern& pattern = matcher.patterns[static_cast<size_t>(match.pattern)];
        if (!put(text + copied, match.start - copied) || !put(pattern.replacement, pattern.replacementLength)) return;
        copied = match.start + pattern.length;
    }
    put(text + copied, textLength - copied);
}

char* BuildText(const Matcher& matcher, const char* text, size_t textLength, const std::vector<Match>& matches) {
    size_t length = textLength;
    for (const Match& match : matches) {
        const Pattern& pattern = matcher.patterns[static_cast<size_t>(match.pattern)];
        length = length - pattern.length + pattern.replacementLength;
    }
    char* result = static_cast<char*>(Allocate(length + 1));
    char* out = result;
    ProduceRewritten(matcher, text, textLength, matches, [&out](const char* bytes, size_t count) {
        std::memcpy(out, bytes, count);
        out += count;
        return true;
    });
    *out = '\0';
    return result;
}

bool LongerFirst(const Pattern& a, const Pattern& b) { return a.length > b.length; }

}  // namespace

int RewriteTextKeyByKey(const HashMap* urlMap, char** packageText, int blankFailedImages) {
    PatternSet set;
    CollectPatterns(urlMap, blankFailedImages, false, &set);
    // Longest first: a URL contained in a longer one is replaced after it.
    // Stable, so the mobile element of a failed URL goes before the URL.
    std::stable_sort(set.patterns.begin(), set.patterns.end(), LongerFirst);
    int changed = 0;
    for (const Pattern& pattern : set.patterns) {
        if (TakeReplacement(packageText, ReplaceAll(*packageText, pattern.text, pattern.replacement))) changed = 1;
    }
    return changed;
}

// A rewrite found and not yet written: the matches over the text, or, when
// the plain replacement had to do it, the rewritten text itself.
struct PackageRewrite {
    const char* text;
    size_t textLength;
    PatternSet set;
    Matcher matcher;
    std::vector<Match> matches;
    char* replaced;  // the plain replacement's text, owned; null on the fast path
};

namespace {

void ProduceRewrite(void* context, PackageTextSink* sink) {
    const PackageRewrite* rewrite = static_cast<const PackageRewrite*>(context);
    if (rewrite->replaced != nullptr) {
        PutPackageText(sink, rewrite->replaced, std::strlen(rewrite->replaced));
        return;
    }
    ProduceRewritten(rewrite->matcher, rewrite->text, rewrite->textLength, rewrite->matches,
                     [sink](const char* bytes, size_t count) { return PutPackageText(sink, bytes, count); });
}

}  // namespace

PackageRewrite* PreparePackageRewrite(const HashMap* urlMap, const char* packageText, int blankFailedImages,
                                      int itemCount, int processedCount, const RunView* view) {
    ShowProgress(view, TEXT_UPDATING_PACKAGE, itemCount, processedCount, 0);
    if (urlMap->count == 0 || packageText == nullptr) return nullptr;

    PackageRewrite* rewrite = new PackageRewrite();
    rewrite->text = packageText;
    rewrite->textLength = std::strlen(packageText);
    rewrite->replaced = nullptr;
    CollectPatterns(urlMap, blankFailedImages, true, &rewrite->set);
    if (rewrite->set.patterns.empty()) {
        FreePackageRewrite(rewrite);
        return nullptr;
    }
    Matcher& matcher = rewrite->matcher;
    if (!BuildMatcher(&rewrite->set.patterns, &matcher)) {
        char* text = CopyString(packageText);
        int changed = RewriteTextKeyByKey(urlMap, &text, blankFailedImages);
        ShowProgress(view, TEXT_UPDATING_PACKAGE_PERCENT, itemCount, processedCount, 100);
        rewrite->replaced = text;
        if (!changed) {
            FreePackageRewrite(rewrite);
            return nullptr;
        }
        return rewrite;
    }
    const size_t textLength = rewrite->textLength;
    std::vector<Match>& matches = rewrite->matches;
    ScanProgress progress = {view, itemCount, processedCount, textLength, 0, textLength / 100 + 1};
    size_t patternBytes = 0;
    for (const Pattern& pattern : matcher.patterns) patternBytes += pattern.length;
    if (!FindMatches(matcher, packageText, textLength, HASHING_BUDGET_FACTOR * (textLength + patternBytes), &progress,
                     &matches)) {
        matches.clear();
        std::vector<MatchPattern> texts;
        texts.reserve(matcher.patterns.size());
        for (const Pattern& pattern : matcher.patterns) texts.push_back(MatchPattern{pattern.text, pattern.length});
        FindLongestMatches(texts, packageText, textLength, ShowScanned, &progress, &matches);
    }
    if (progress.shownPercent != 100) {
        ShowProgress(view, TEXT_UPDATING_PACKAGE_PERCENT, itemCount, processedCount, 100);
    }
    bool changes = false;
    for (const Match& match : matches)
        changes = changes || !matcher.patterns[static_cast<size_t>(match.pattern)].keepsText;
    if (!changes) {
        FreePackageRewrite(rewrite);
        return nullptr;
    }
    return rewrite;
}

PackageText RewrittenPackageText(const PackageRewrite* rewrite) {
    return PackageText{ProduceRewrite, const_cast<PackageRewrite*>(rewrite)};
}

void FreePackageRewrite(PackageRewrite* rewrite) {
    if (rewrite == nullptr) return;
    std::free(rewrite->replaced);
    delete rewrite;
}

int RewritePackageText(const HashMap* urlMap, char** packageText, int blankFailedImages, int itemCount,
                       int processedCount, const RunView* view) {
    PackageRewrite* rewrite =
        PreparePackageRewrite(urlMap, *packageText, blankFailedImages, itemCount, processedCount, view);
    if (rewrite == nullptr) return 0;
    char* rewritten = rewrite->replaced;
    rewrite->replaced = nullptr;
    if (rewritten == nullptr) rewritten = BuildText(rewrite->matcher, rewrite->text, rewrite->textLength, rewrite->matches);
    FreePackageRewrite(rewrite);
    TakeReplacement(packageText, rewritten);
    return 1;
}
