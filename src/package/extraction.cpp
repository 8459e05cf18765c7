#include "package/extraction.h"

#include <pcre.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/app_log.h"
#include "util/memory.h"
#include "util/strings.h"

const ImagePattern DescriptionPatterns[DESCRIPTION_PATTERN_COUNT] = {
    // <img ... src="..."> (the package doubles the quote), src='...', src=... unquoted
    {"<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*[\"]+[ ]*((http[s]?:)?//[^\"]*)", 3, 2, "<img"},
    {"<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*[']+[ ]*((http[s]?:)?//[^']*)", 3, 2, "<img"},
    {"<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*((http[s]?:)?//[^ |>]*)", 3, 2, "<img"},
    // background="..." attributes, the same three quotings
    {"background[ ]*=[ ]*[\"]+[ ]*((http[s]?:)?//[^\"]*)", 2, 1, "background"},
    {"background[ ]*=[ ]*[']+[ ]*((http[s]?:)?//[^']*)", 2, 1, "background"},
    {"background[ ]*=[ ]*((http[s]?:)?//[^ |>]*)", 2, 1, "background"},
    // style backgrounds: url("..."), url('...'), url(...)
    {"background[ ]*:[ ]*url[ ]*\\([ ]*[\"]+[ ]*((http[s]?:)?//[^\"]*)", 2, 1, "background"},
    {"background[ ]*:[ ]*url[ ]*\\([ ]*[']+[ ]*((http[s]?:)?//[^']*)", 2, 1, "background"},
    {"background[ ]*:[ ]*url[ ]*\\([ ]*((http[s]?:)?//[^\\)]*)", 2, 1, "background"},
};

const ImagePattern MobileImagePattern = {"<img[^>]*>((http[s]?:)?//[^<]*)</img>", 2, 1, "<img"};

const char* const IMAGE_SPACE_HOST_SUFFIXES[IMAGE_SPACE_HOST_SUFFIX_COUNT] = {".alicdn.com/", ".taobaocdn.com/"};
const char* const SKIPPED_HOST_SUFFIXES[SKIPPED_HOST_SUFFIX_COUNT] = {".tbcdn.cn/", ".taobao.com/", ".tmall.com/"};
const char BLANK_IMAGE_URL[] = "https://img.alicdn.com/imgextra/blank.gif";

namespace {

const int MAX_PATTERN_GROUPS = 3;
const int OFFSET_VECTOR_SIZE = (MAX_PATTERN_GROUPS + 1) * 3;
const int LOG_TEXT_BYTES = 512;

// Offsets at which one literal prefix occurs in the current field; found
// once per field and shared by every pattern that starts with it.
struct PrefixOffsets {
    const char* prefix;  // null: not looked for in this field yet
    int* offsets;
    int count;
    int room;
};

const int PREFIX_KINDS = 2;  // "<img" and "background"

// A pattern compiled for one package read.  `jit` is PCRE's study data with
// JIT code when the library has a JIT, else null.
struct CompiledPattern {
    pcre* code;
    pcre_extra* jit;
};

}  // namespace

struct ExtractionPatterns {
    CompiledPattern description[DESCRIPTION_PATTERN_COUNT];
    CompiledPattern mobile;
    PrefixOffsets prefixes[PREFIX_KINDS];
};

namespace {

// Case-insensitive, with the default character tables; a failure is logged.
pcre* CompileLogged(const char* pattern, int options) {
    const char* error = nullptr;
    int errorOffset = 0;
    pcre* code = pcre_compile(pattern, PCRE_CASELESS | options, &error, &errorOffset, nullptr);
    if (code == nullptr) {
        char line[LOG_TEXT_BYTES];
        std::snprintf(line, sizeof line, "PCRE compilation failed at offset %d: %s", errorOffset,
                      error != nullptr ? error : "");
        LogLine(line);
    }
    return code;
}

// Compiles on first use (a failure is tried again on the next use, as a
// compilation per field would be), with JIT code where the library has a
// JIT: it finds the matches the interpreter finds, several times faster.
// A pattern with a literal prefix is compiled anchored, to be run only at
// the prefix's offsets (see CollectMatches); the JIT takes anchoring only at
// compile time.
bool EnsureCompiled(CompiledPattern* slot, const ImagePattern* pattern) {
    if (slot->code != nullptr) return true;
    slot->code = CompileLogged(pattern->text, pattern->literalPrefix != nullptr ? PCRE_ANCHORED : 0);
    if (slot->code == nullptr) return false;
    const char* error = nullptr;
    slot->jit = pcre_study(slot->code, PCRE_STUDY_JIT_COMPILE, &error);
    int hasJit = 0;
    if (slot->jit != nullptr && (pcre_fullinfo(slot->code, slot->jit, PCRE_INFO_JIT, &hasJit) != 0 || !hasJit)) {
        pcre_free_study(slot->jit);
        slot->jit = nullptr;
    }
    return true;
}

void ReleaseCompiled(CompiledPattern* slot) {
    if (slot->jit != nullptr) pcre_free_study(slot->jit);
    pcre_free(slot->code);
}

// One search.  The JIT counts its match limit differently, so a JIT run
// that ends in an error is repeated by the interpreter, whose result stands.
// (Only where the interpreter would run out of its limit and the JIT does
// not can the two differ: the JIT then completes the search.)
int Execute(const CompiledPattern* compiled, const char* subject, int length, int startOffset, int* offsets,
            int offsetCount) {
    if (compiled->jit != nullptr) {
        int result = pcre_exec(compiled->code, compiled->jit, subject, length, startOffset, 0, offsets, offsetCount);
        if (result >= 0 || result == PCRE_ERROR_NOMATCH) return result;
    }
    return pcre_exec(compiled->code, nullptr, subject, length, startOffset, 0, offsets, offsetCount);
}

inline unsigned char LowerAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// `text` (lower case) at `at`, ASCII case folded.
bool PrefixMatchesAt(const char* at, const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (LowerAscii(static_cast<unsigned char>(at[i])) != static_cast<unsigned char>(text[i])) return false;
    }
    return true;
}

void AddOffset(PrefixOffsets* list, int offset) {
    if (list->count == list->room) {
        int room = list->room == 0 ? 64 : list->room * 2;
        list->offsets = static_cast<int*>(Reallocate(list->offsets, static_cast<size_t>(room) * sizeof(int)));
        list->room = room;
    }
    list->offsets[list->count++] = offset;
}

// The byte of `prefix` to look for first: a non-letter if there is one,
// else the letter least common in descriptions, so that few hits need the
// whole prefix compared.
size_t AnchorOf(const char* prefix, size_t length) {
    static const char RARE_FIRST[] = "zqxjkvbpygfwmucldrhsnioate";
    for (size_t i = 0; i < length; ++i) {
        if (prefix[i] < 'a' || prefix[i] > 'z') return i;
    }
    for (const char* letter = RARE_FIRST; *letter != '\0'; ++letter) {
        const char* at = static_cast<const char*>(std::memchr(prefix, *letter, length));
        if (at != nullptr) return static_cast<size_t>(at - prefix);
    }
    return 0;
}

const char* NextByte(const char* from, const char* last, unsigned char byte) {
    if (from > last) return nullptr;
    return static_cast<const char*>(std::memchr(from, byte, static_cast<size_t>(last - from) + 1));
}

// Every offset at which `prefix` (lower-case ASCII) occurs in the field,
// case-insensitively, in increasing order.  Its anchor byte is found with
// memchr (both cases for a letter), which keeps the scan of a 40 KB
// description to a few microseconds.
void FindPrefixOffsets(const char* field, size_t length, const char* prefix, PrefixOffsets* list) {
    list->prefix = prefix;
    list->count = 0;
    const size_t prefixLength = std::strlen(prefix);
    if (length < prefixLength) return;
    const size_t anchor = AnchorOf(prefix, prefixLength);
    const unsigned char lower = static_cast<unsigned char>(prefix[anchor]);
    const unsigned char upper = (lower >= 'a' && lower <= 'z') ? static_cast<unsigned char>(lower - ('a' - 'A')) : lower;
    const char* first = field + anchor;                         // anchor byte of the first possible start
    const char* last = field + (length - prefixLength) + anchor;  // ... and of the last
    const char* nextLower = NextByte(first, last, lower);
    const char* nextUpper = upper != lower ? NextByte(first, last, upper) : nullptr;
    while (nextLower != nullptr || nextUpper != nullptr) {
        const char* at;
        if (nextUpper == nullptr || (nextLower != nullptr && nextLower < nextUpper)) {
            at = nextLower;
            nextLower = NextByte(at + 1, last, lower);
        } else {
            at = nextUpper;
            nextUpper = NextByte(at + 1, last, upper);
        }
        const char* start = at - anchor;
        if (PrefixMatchesAt(start, prefix, prefixLength)) AddOffset(list, static_cast<int>(start - field));
    }
}

PrefixOffsets* OffsetsFor(ExtractionPatterns* patterns, const char* prefix, const char* field, size_t length) {
    for (int i = 0; i < PREFIX_KINDS; ++i) {
        PrefixOffsets* list = &patterns->prefixes[i];
        if (list->prefix != nullptr && std::strcmp(list->prefix, prefix) == 0) return list;
    }
    PrefixOffsets* list = &patterns->prefixes[0];
    for (int i = 0; i < PREFIX_KINDS; ++i) {
        if (patterns->prefixes[i].prefix == nullptr) {
            list = &patterns->prefixes[i];
            break;
        }
    }
    FindPrefixOffsets(field, length, prefix, list);
    return list;
}

void ForgetPrefixOffsets(ExtractionPatterns* patterns) {
    for (int i = 0; i < PREFIX_KINDS; ++i) patterns->prefixes[i].prefix = nullptr;
}

bool ContainsSkippedHost(const char* url) {
    for (int i = 0; i < SKIPPED_HOST_SUFFIX_COUNT; ++i) {
        if (std::strstr(url, SKIPPED_HOST_SUFFIXES[i]) != nullptr) return true;
    }
    return false;
}

// Keeps the URL of one match in `urls` unless a filter drops it.
void TakeUrl(const char* field, const int* offsets, int urlGroup, Vector* urls, bool descriptionFilters) {
    int begin = offsets[2 * urlGroup];
    int end = offsets[2 * urlGroup + 1];
    if (begin < 0 || end < begin) return;  // the group took no part in the match
    char* url = CopyBytes(field + begin, static_cast<size_t>(end - begin));
    if (descriptionFilters && (ContainsSkippedHost(url) || StringEquals(url, BLANK_IMAGE_URL))) {
        std::free(url);
        return;
    }
    if (!VectorPushUniqueString(urls, url)) std::free(url);
}

int LogMatchingError(int code) {
    char line[LOG_TEXT_BYTES];
    std::snprintf(line, sizeof line, "Matching error: %d", code);
    LogLine(line);
    return 0;
}

// Every match in the field, each search resuming where the last whole match
// ended.  With `starts`, the (anchored) pattern is tried only at the listed
// offsets: every match begins with the pattern's literal prefix, so no other
// offset can start one, and the match found at an offset is the one an
// unanchored search reaching that offset would find.
int CollectMatches(const CompiledPattern* compiled, const char* field, size_t length, const ImagePattern* pattern,
                   const PrefixOffsets* starts, Vector* urls, bool descriptionFilters) {
    int offsets[OFFSET_VECTOR_SIZE];
    const int offsetCount = (pattern->groupCount + 1) * 3;
    const int subjectLength = static_cast<int>(length);
    int startOffset = 0;
    int next = 0;  // index into starts->offsets
    for (;;) {
        int result;
        if (starts != nullptr) {
            while (next < starts->count && starts->offsets[next] < startOffset) ++next;
            if (next == starts->count) return 1;
            result = Execute(compiled, field, subjectLength, starts->offsets[next], offsets, offsetCount);
            if (result == PCRE_ERROR_NOMATCH) {
                ++next;
                continue;
            }
        } else {
            result = Execute(compiled, field, subjectLength, startOffset, offsets, offsetCount);
            if (result == PCRE_ERROR_NOMATCH) return 1;
        }
        if (result < 0) return LogMatchingError(result);
        TakeUrl(field, offsets, pattern->urlGroup, urls, descriptionFilters);
        // The built-in patterns never match empty text; a caller's pattern
        // might, and must still move on rather than match there forever.
        startOffset = offsets[1] > offsets[0] ? offsets[1] : offsets[1] + 1;
        if (startOffset > subjectLength) return 1;
    }
}

int RunPattern(CompiledPattern* slot, const ImagePattern* pattern, const char* field, size_t length, Vector* urls,
               ExtractionPatterns* patterns, bool descriptionFilters) {
    if (!EnsureCompiled(slot, pattern)) return 0;
    const PrefixOffsets* starts =
        pattern->literalPrefix != nullptr ? OffsetsFor(patterns, pattern->literalPrefix, field, length) : nullptr;
    return CollectMatches(slot, field, length, pattern, starts, urls, descriptionFilters);
}

}  // namespace

ExtractionPatterns* NewExtractionPatterns() {
    return static_cast<ExtractionPatterns*>(AllocateZeroed(1, sizeof(ExtractionPatterns)));
}

void FreeExtractionPatterns(ExtractionPatterns* patterns) {
    if (patterns == nullptr) return;
    for (int i = 0; i < DESCRIPTION_PATTERN_COUNT; ++i) ReleaseCompiled(&patterns->description[i]);
    ReleaseCompiled(&patterns->mobile);
    for (int i = 0; i < PREFIX_KINDS; ++i) std::free(patterns->prefixes[i].offsets);
    std::free(patterns);
}

int ExtractDescriptionUrls(const char* field, size_t length, Vector* urls, ExtractionPatterns* patterns) {
    // pcre_exec takes an int length; a field beyond that cannot be searched.
    if (length > static_cast<size_t>(INT32_MAX)) return LogMatchingError(PCRE_ERROR_BADLENGTH);
    ForgetPrefixOffsets(patterns);
    for (int i = 0; i < DESCRIPTION_PATTERN_COUNT; ++i) {
        if (!RunPattern(&patterns->description[i], &DescriptionPatterns[i], field, length, urls, patterns, true)) {
            return 0;
        }
    }
    return 1;
}

int ExtractDescriptionUrls(const char* field, Vector* urls) {
    ExtractionPatterns* patterns = NewExtractionPatterns();
    int result = ExtractDescriptionUrls(field, std::strlen(field), urls, patterns);
    FreeExtractionPatterns(patterns);
    return result;
}

int ExtractMobileUrls(const char* field, size_t length, Vector* urls, ExtractionPatterns* patterns) {
    if (length > static_cast<size_t>(INT32_MAX)) return LogMatchingError(PCRE_ERROR_BADLENGTH);
    ForgetPrefixOffsets(patterns);
    return RunPattern(&patterns->mobile, &MobileImagePattern, field, length, urls, patterns, false);
}

int ExtractMobileUrls(const char* field, Vector* urls) {
    ExtractionPatterns* patterns = NewExtractionPatterns();
    int result = ExtractMobileUrls(field, std::strlen(field), urls, patterns);
    FreeExtractionPatterns(patterns);
    return result;
}

int CollectPatternUrls(const char* field, Vector* urls, const char* pattern, int groupCount, int urlGroup) {
    if (groupCount < 0 || groupCount > MAX_PATTERN_GROUPS || urlGroup < 0 || urlGroup > groupCount) return 0;
    // The plain form: compiled for this call, interpreted, every offset tried.
    CompiledPattern compiled = {CompileLogged(pattern, 0), nullptr};
    if (compiled.code == nullptr) return 0;
    const ImagePattern description = {pattern, groupCount, urlGroup, nullptr};
    int result = CollectMatches(&compiled, field, std::strlen(field), &description, nullptr, urls, true);
    ReleaseCompiled(&compiled);
    return result;
}

int IsImageSpaceUrl(const char* url) {
    for (int i = 0; i < IMAGE_SPACE_HOST_SUFFIX_COUNT; ++i) {
        if (std::strstr(url, IMAGE_SPACE_HOST_SUFFIXES[i]) != nullptr) return 1;
    }
    return 0;
}
