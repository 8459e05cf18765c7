#include "package/extraction.h"

#include <pcre2.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/app_log.h"
#include "base/hash_map.h"
#include "base/memory.h"
#include "base/strings.h"

const ImagePattern DescriptionPatterns[DESCRIPTION_PATTERN_COUNT] = {
    // <img ... src="..."> (the package doubles the quote), src='...', src=... unquoted
    {"<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*[\"]+[ ]*((http[s]?:)?//[^\"]*)", 3, 2, "<img", ADDRESS_DOUBLE_QUOTED},
    {"<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*[']+[ ]*((http[s]?:)?//[^']*)", 3, 2, "<img", ADDRESS_SINGLE_QUOTED},
    {"<img([ ]+[^>]+)?[ ]+src[ ]*=[ ]*((http[s]?:)?//[^ |>]*)", 3, 2, "<img", ADDRESS_UNQUOTED},
    // background="..." attributes, the same three quotings
    {"background[ ]*=[ ]*[\"]+[ ]*((http[s]?:)?//[^\"]*)", 2, 1, "background", ADDRESS_DOUBLE_QUOTED},
    {"background[ ]*=[ ]*[']+[ ]*((http[s]?:)?//[^']*)", 2, 1, "background", ADDRESS_SINGLE_QUOTED},
    {"background[ ]*=[ ]*((http[s]?:)?//[^ |>]*)", 2, 1, "background", ADDRESS_UNQUOTED},
    // style backgrounds: url("..."), url('...'), url(...)
    {"background[ ]*:[ ]*url[ ]*\\([ ]*[\"]+[ ]*((http[s]?:)?//[^\"]*)", 2, 1, "background", ADDRESS_DOUBLE_QUOTED},
    {"background[ ]*:[ ]*url[ ]*\\([ ]*[']+[ ]*((http[s]?:)?//[^']*)", 2, 1, "background", ADDRESS_SINGLE_QUOTED},
    {"background[ ]*:[ ]*url[ ]*\\([ ]*((http[s]?:)?//[^\\)]*)", 2, 1, "background", ADDRESS_UNQUOTED_URL},
};

const ImagePattern MobileImagePattern = {"<img[^>]*>((http[s]?:)?//[^<]*)</img>", 2, 1, "<img", ADDRESS_ELEMENT_TEXT};

// What ends an address of each form in HTML (an unquoted attribute value
// also ends at a quote, '<', '=' or '`'; an unquoted CSS url() at a space,
// a quote or a parenthesis); '"' is never in a destination at all.
const char* const ADDRESS_FORM_BREAKERS[5] = {"\"", "'", " >'\"<=`", ")( '\"", "<"};

const char* const IMAGE_SPACE_HOST_SUFFIXES[IMAGE_SPACE_HOST_SUFFIX_COUNT] = {".alicdn.com/", ".taobaocdn.com/"};
const char* const SKIPPED_HOST_SUFFIXES[SKIPPED_HOST_SUFFIX_COUNT] = {".tbcdn.cn/", ".taobao.com/", ".tmall.com/"};
const char BLANK_IMAGE_URL[] = "https://img.alicdn.com/imgextra/blank.gif";

namespace {

const int MAX_PATTERN_GROUPS = 3;
const int LOG_TEXT_BYTES = 512;

// app.log has always numbered a matching error as PCRE 8, the extraction's
// first library, did; PCRE2's codes for the same failures are logged as
// those, so the log reads as it always has.
const int LOGGED_NO_MEMORY = -6;
const int LOGGED_MATCH_LIMIT = -8;
const int LOGGED_DEPTH_LIMIT = -21;
const int LOGGED_JIT_STACK_LIMIT = -27;
const int LOGGED_BAD_LENGTH = -32;

// Offsets at which one literal prefix occurs in the current field; found
// once per field and shared by every pattern that starts with it.
struct PrefixOffsets {
    const char* prefix;  // null: not looked for in this field yet
    int* offsets;
    int count;
    int room;
};

const int PREFIX_KINDS = 2;  // "<img" and "background"

// A pattern compiled for one package read.  `jit`: the code has JIT code
// too (the library has a JIT and compiled it).
struct CompiledPattern {
    pcre2_code* code;
    bool jit;
};

}  // namespace

struct ExtractionPatterns {
    CompiledPattern description[DESCRIPTION_PATTERN_COUNT];      // the img patterns' slots stay empty
    CompiledPattern localBackground[DESCRIPTION_PATTERN_COUNT];  // the same, finding local paths (inspect)
    PrefixOffsets prefixes[PREFIX_KINDS];
    PrefixOffsets sources;      // where an img tag's src value can begin (see CollectSrcMatches)
    unsigned forms;             // AddressForm bits of what the current field's matches took
    bool countBlanks;           // count the places that show the blank image (inspect)
    int blanks;                 // ... in the current field
    pcre2_match_data* matches;  // every search's offsets, made on the first search and kept
};

namespace {

// Case-insensitive, with the default character tables; a failure is logged.
pcre2_code* CompileLogged(const char* pattern, uint32_t options) {
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                     PCRE2_CASELESS | options, &error, &errorOffset, nullptr);
    if (code == nullptr) {
        PCRE2_UCHAR message[LOG_TEXT_BYTES / 2];
        // A message too long for the buffer comes cut, which is kept.
        if (pcre2_get_error_message(error, message, sizeof message) == PCRE2_ERROR_BADDATA) message[0] = 0;
        char line[LOG_TEXT_BYTES];
        std::snprintf(line, sizeof line, "PCRE compilation failed at offset %d: %s", static_cast<int>(errorOffset),
                      reinterpret_cast<const char*>(message));
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
    slot->code = CompileLogged(pattern->text, pattern->literalPrefix != nullptr ? PCRE2_ANCHORED : 0);
    if (slot->code == nullptr) return false;
    // A library built without a JIT refuses; the interpreter then runs alone.
    slot->jit = pcre2_jit_compile(slot->code, PCRE2_JIT_COMPLETE) == 0;
    return true;
}

void ReleaseCompiled(CompiledPattern* slot) { pcre2_code_free(slot->code); }

// Offsets for the groups of any pattern the extraction runs.
pcre2_match_data* NewMatchData() { return pcre2_match_data_create(MAX_PATTERN_GROUPS + 1, nullptr); }

// One search.  The JIT counts its match limit differently, so a JIT run
// that ends in an error is repeated by the interpreter, whose result stands.
// (Only where the interpreter would run out of its limit and the JIT does
// not can the two differ: the JIT then completes the search.)
int Execute(const CompiledPattern* compiled, const char* subject, size_t length, size_t startOffset,
            pcre2_match_data* matches) {
    PCRE2_SPTR bytes = reinterpret_cast<PCRE2_SPTR>(subject);
    if (compiled->jit) {
        int result = pcre2_match(compiled->code, bytes, length, startOffset, 0, matches, nullptr);
        if (result >= 0 || result == PCRE2_ERROR_NOMATCH) return result;
    }
    return pcre2_match(compiled->code, bytes, length, startOffset, PCRE2_NO_JIT, matches, nullptr);
}

// `text` (lower case) at `at`, ASCII case folded.
bool PrefixMatchesAt(const char* at, const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (FoldAscii(static_cast<unsigned char>(at[i])) != static_cast<unsigned char>(text[i])) return false;
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
    const unsigned char upper =
        (lower >= 'a' && lower <= 'z') ? static_cast<unsigned char>(lower - ('a' - 'A')) : lower;
    const char* first = field + anchor;                           // anchor byte of the first possible start
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

// The URL list of one field, each URL once in first-found order.  A short
// list is searched; a longer one gets an index, so that a field of many
// images costs constant time per URL.
const int32_t INDEXED_FROM = 16;

struct UrlList {
    Vector* urls;
    HashMap* index;             // the strings of `urls`, borrowed from the list; null while short
    unsigned* forms = nullptr;  // where the AddressForm of each URL taken goes; null: nowhere
    unsigned form = 0;          // the AddressForm of the pattern being matched
    int* blanks = nullptr;      // counts each match of the blank image; null: not counted
};

void AddUnique(UrlList* list, char* url) {
    if (list->index == nullptr) {
        if (!VectorPushUniqueString(list->urls, url)) {
            std::free(url);
            return;
        }
        if (list->urls->count < INDEXED_FROM) return;
        list->index = NewHashMap(&BORROWED_STRING_KEYS, list->urls->count * 2, 0.75f);
        for (int32_t i = 0; i < list->urls->count; ++i) {
            HashMapAdd(list->index, list->urls->items[i], list->urls->items[i]);
        }
        return;
    }
    if (HashMapGet(list->index, url) != nullptr) {
        std::free(url);
        return;
    }
    VectorPush(list->urls, url);
    HashMapAdd(list->index, url, url);
}

void ReleaseIndex(UrlList* list) {
    FreeHashMap(list->index, false);
    list->index = nullptr;
}

// Keeps the URL at [begin, end) of the field unless a filter drops it.
void TakeUrl(const char* field, int begin, int end, UrlList* urls, bool descriptionFilters) {
    if (begin < 0 || end < begin) return;  // the group took no part in the match
    char* url = CopyBytes(field + begin, static_cast<size_t>(end - begin));
    if (urls->blanks != nullptr && StringEquals(url, BLANK_IMAGE_URL)) ++*urls->blanks;
    if (descriptionFilters && (ContainsSkippedHost(url) || StringEquals(url, BLANK_IMAGE_URL))) {
        std::free(url);
        return;
    }
    // A repeat counts too: the rewrite replaces the address wherever it stands.
    if (urls->forms != nullptr) *urls->forms |= urls->form;
    AddUnique(urls, url);
}

// `code` is LOGGED_BAD_LENGTH or a pcre2_match error.
int LogMatchingError(int code) {
    switch (code) {
        case PCRE2_ERROR_NOMEMORY:
        case PCRE2_ERROR_HEAPLIMIT: code = LOGGED_NO_MEMORY; break;
        case PCRE2_ERROR_MATCHLIMIT: code = LOGGED_MATCH_LIMIT; break;
        case PCRE2_ERROR_DEPTHLIMIT: code = LOGGED_DEPTH_LIMIT; break;
        case PCRE2_ERROR_JIT_STACKLIMIT: code = LOGGED_JIT_STACK_LIMIT; break;
        default: break;
    }
    char line[LOG_TEXT_BYTES];
    std::snprintf(line, sizeof line, "Matching error: %d", code);
    LogLine(line);
    return 0;
}

// The group's [begin, end) as TakeUrl takes it: -1 for a group that took
// no part in the match.
int GroupOffset(PCRE2_SIZE offset) { return offset == PCRE2_UNSET ? -1 : static_cast<int>(offset); }

// Every match in the field, each search resuming where the last whole match
// ended.  With `starts`, the (anchored) pattern is tried only at the listed
// offsets: every match begins with the pattern's literal prefix, so no other
// offset can start one, and the match found at an offset is the one an
// unanchored search reaching that offset would find.
int CollectMatches(const CompiledPattern* compiled, const char* field, size_t length, const ImagePattern* pattern,
                   const PrefixOffsets* starts, pcre2_match_data* matches, UrlList* urls, bool descriptionFilters) {
    const PCRE2_SIZE* offsets = pcre2_get_ovector_pointer(matches);
    const int subjectLength = static_cast<int>(length);
    int startOffset = 0;
    int next = 0;  // index into starts->offsets
    for (;;) {
        int result;
        if (starts != nullptr) {
            while (next < starts->count && starts->offsets[next] < startOffset) ++next;
            if (next == starts->count) return 1;
            result = Execute(compiled, field, length, static_cast<size_t>(starts->offsets[next]), matches);
            if (result == PCRE2_ERROR_NOMATCH) {
                ++next;
                continue;
            }
        } else {
            result = Execute(compiled, field, length, static_cast<size_t>(startOffset), matches);
            if (result == PCRE2_ERROR_NOMATCH) return 1;
        }
        if (result < 0) return LogMatchingError(result);
        TakeUrl(field, GroupOffset(offsets[2 * pattern->urlGroup]), GroupOffset(offsets[2 * pattern->urlGroup + 1]),
                urls, descriptionFilters);
        // The built-in patterns never match empty text; a caller's pattern
        // might, and must still move on rather than match there forever.
        const int matchStart = static_cast<int>(offsets[0]);
        const int matchEnd = static_cast<int>(offsets[1]);
        startOffset = matchEnd > matchStart ? matchEnd : matchEnd + 1;
        if (startOffset > subjectLength) return 1;
    }
}

// --- The img patterns, matched by hand -----------------------------------
//
// From a "<img", PCRE tries `([ ]+[^>]+)?` over everything up to the tag's
// ">", and over the rest of the field when none follows: quadratic in a
// field of unclosed tags.  What that search finds depends on little: the
// text before the URL holds no ">", so the src must stand inside the tag
// (before the first ">" after "<img"), and the greedy `[^>]+` gives back
// from the tag's end, so the last src of the tag wins.  In full, with `src`
// any "src" preceded by a space and followed by a value of the pattern's
// form, and E the tag's end: the match at a "<img" followed by a space is
// the value of the last src before E, if that src stands at least 7 bytes
// after "<img" (the optional group is then taken), or else if only spaces
// lie between "<img" and it (the group is left out).  Each "<img", src and
// ">" is then looked at a bounded number of times.

struct SrcForm {
    char quote;          // the value's opening quote, doubled any number of times; 0: unquoted
    const char* urlEnd;  // the bytes that end the URL
};
const SrcForm SRC_FORMS[] = {{'"', "\""}, {'\'', "'"}, {'\0', " |>"}};
const int SRC_FORM_COUNT = sizeof SRC_FORMS / sizeof SRC_FORMS[0];
const char IMG_END[] = "</img>";

size_t SkipSpaces(const char* field, size_t length, size_t at) {
    while (at < length && field[at] == ' ') ++at;
    return at;
}

// Where a value can begin: a URL, `(http[s]?:)?//`, or (for the addresses
// a run has made local) an absolute local path, `(/(?!/)|[a-z]:\\)`.
typedef bool (*ValueStart)(const char* field, size_t length, size_t at);

// `(http[s]?:)?//` at `at`.
bool UrlStartsAt(const char* field, size_t length, size_t at) {
    size_t slashes = at;
    if (length - at >= 5 && PrefixMatchesAt(field + at, "http", 4)) {
        size_t colon = at + 4;
        if (FoldAscii(static_cast<unsigned char>(field[colon])) == 's') ++colon;
        if (colon < length && field[colon] == ':') slashes = colon + 1;
    }
    return length - slashes >= 2 && field[slashes] == '/' && field[slashes + 1] == '/';
}

// "/" not followed by another "/", or a drive letter, ":" and "\\" at `at`.
bool LocalPathStartsAt(const char* field, size_t length, size_t at) {
    if (at >= length) return false;
    if (field[at] == '/') return at + 1 == length || field[at + 1] != '/';
    const unsigned char letter = static_cast<unsigned char>(FoldAscii(static_cast<unsigned char>(field[at])));
    return letter >= 'a' && letter <= 'z' && length - at >= 3 && field[at + 1] == ':' && field[at + 2] == '\\';
}

// The value's offset when "src" at `at` is followed by `[ ]*=[ ]*`, the
// form's quotes, `[ ]*` and a value start; else -1.
long SrcValueAt(const char* field, size_t length, size_t at, const SrcForm& form, ValueStart startsAt) {
    size_t i = SkipSpaces(field, length, at + 3);
    if (i == length || field[i] != '=') return -1;
    i = SkipSpaces(field, length, i + 1);
    if (form.quote != '\0') {
        if (i == length || field[i] != form.quote) return -1;
        while (i < length && field[i] == form.quote) ++i;
        i = SkipSpaces(field, length, i);
    }
    return startsAt(field, length, i) ? static_cast<long>(i) : -1;
}

// The first offset from `at` that holds one of `stops`, or `length`.
size_t FindAny(const char* field, size_t length, size_t at, const char* stops) {
    if (stops[1] == '\0') {
        const void* found = std::memchr(field + at, stops[0], length - at);
        return found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - field) : length;
    }
    while (at < length && std::strchr(stops, field[at]) == nullptr) ++at;
    return at;
}

// The first ">" at or after `from`, found again only when `from` passes
// the last one found: the starts come in increasing order.
struct TagEnd {
    size_t at = 0;
    bool known = false;
};

size_t TagEndFrom(TagEnd* end, const char* field, size_t length, size_t from) {
    if (!end->known || end->at < from) {
        end->at = from < length ? FindAny(field, length, from, ">") : length;
        end->known = true;
    }
    return end->at;
}

// Patterns 1 to 3 from the "<img" offsets in `starts`, resuming after each
// match as the search does.
void CollectSrcMatches(const char* field, size_t length, const SrcForm& form, const PrefixOffsets* starts,
                       PrefixOffsets* sources, UrlList* urls, ValueStart startsAt) {
    FindPrefixOffsets(field, length, "src", sources);
    int kept = 0;
    for (int i = 0; i < sources->count; ++i) {
        size_t at = static_cast<size_t>(sources->offsets[i]);
        if (at > 0 && field[at - 1] == ' ' && SrcValueAt(field, length, at, form, startsAt) >= 0) {
            sources->offsets[kept++] = sources->offsets[i];
        }
    }
    TagEnd end;
    int before = 0;  // the sources before the current tag's end
    size_t resume = 0;
    for (int i = 0; i < starts->count; ++i) {
        const size_t start = static_cast<size_t>(starts->offsets[i]);
        if (start < resume || start + 4 >= length || field[start + 4] != ' ') continue;
        const size_t tagEnd = TagEndFrom(&end, field, length, start + 4);
        while (before < kept && static_cast<size_t>(sources->offsets[before]) < tagEnd) ++before;
        if (before == 0) continue;
        const size_t src = static_cast<size_t>(sources->offsets[before - 1]);
        if (src < start + 5) continue;
        if (src < start + 7 && SkipSpaces(field, length, start + 4) != src) continue;
        const size_t url = static_cast<size_t>(SrcValueAt(field, length, src, form, startsAt));
        const size_t urlEnd = FindAny(field, length, url, form.urlEnd);
        TakeUrl(field, static_cast<int>(url), static_cast<int>(urlEnd), urls, true);
        resume = urlEnd;
    }
}

// The mobile pattern from the "<img" offsets: the tag's end, a URL start
// after it, the URL up to the next "<", and "</img>" there.  Every start
// of one tag ends at the same ">", so its answer is kept for the next.
void CollectMobileMatches(const char* field, size_t length, const PrefixOffsets* starts, UrlList* urls,
                          ValueStart startsAt) {
    TagEnd end;
    size_t triedEnd = length;  // the tag end whose element was looked at, `length` for none
    size_t urlEnd = 0;         // ... where its URL ends, `length` when it is no element
    size_t resume = 0;
    for (int i = 0; i < starts->count; ++i) {
        const size_t start = static_cast<size_t>(starts->offsets[i]);
        if (start < resume) continue;
        const size_t tagEnd = TagEndFrom(&end, field, length, start + 4);
        if (tagEnd == length) return;  // no ">" follows: nothing later can match either
        if (tagEnd != triedEnd) {
            triedEnd = tagEnd;
            urlEnd = length;
            if (startsAt(field, length, tagEnd + 1)) {
                size_t lt = FindAny(field, length, tagEnd + 1, "<");
                if (length - lt >= sizeof IMG_END - 1 && PrefixMatchesAt(field + lt, IMG_END, sizeof IMG_END - 1)) {
                    urlEnd = lt;
                }
            }
        }
        if (urlEnd == length) continue;
        TakeUrl(field, static_cast<int>(tagEnd + 1), static_cast<int>(urlEnd), urls, false);
        resume = urlEnd + sizeof IMG_END - 1;
    }
}

int RunPattern(CompiledPattern* slot, const ImagePattern* pattern, const char* field, size_t length, UrlList* urls,
               ExtractionPatterns* patterns, bool descriptionFilters) {
    if (!EnsureCompiled(slot, pattern)) return 0;
    if (patterns->matches == nullptr) patterns->matches = NewMatchData();
    if (patterns->matches == nullptr) return LogMatchingError(PCRE2_ERROR_NOMEMORY);
    const PrefixOffsets* starts =
        pattern->literalPrefix != nullptr ? OffsetsFor(patterns, pattern->literalPrefix, field, length) : nullptr;
    return CollectMatches(slot, field, length, pattern, starts, patterns->matches, urls, descriptionFilters);
}

}  // namespace

ExtractionPatterns* NewExtractionPatterns() {
    return static_cast<ExtractionPatterns*>(AllocateZeroed(1, sizeof(ExtractionPatterns)));
}

void FreeExtractionPatterns(ExtractionPatterns* patterns) {
    if (patterns == nullptr) return;
    for (int i = 0; i < DESCRIPTION_PATTERN_COUNT; ++i) {
        ReleaseCompiled(&patterns->description[i]);
        ReleaseCompiled(&patterns->localBackground[i]);
    }
    for (int i = 0; i < PREFIX_KINDS; ++i) std::free(patterns->prefixes[i].offsets);
    std::free(patterns->sources.offsets);
    pcre2_match_data_free(patterns->matches);
    std::free(patterns);
}

int ExtractDescriptionUrls(const char* field, size_t length, Vector* urls, ExtractionPatterns* patterns) {
    // The extraction keeps its offsets as int; a field beyond that cannot be searched.
    if (length > static_cast<size_t>(INT32_MAX)) return LogMatchingError(LOGGED_BAD_LENGTH);
    ForgetPrefixOffsets(patterns);
    patterns->forms = 0;
    patterns->blanks = 0;
    UrlList list = {urls, nullptr, &patterns->forms};
    if (patterns->countBlanks) list.blanks = &patterns->blanks;
    int result = 1;
    for (int i = 0; i < DESCRIPTION_PATTERN_COUNT && result; ++i) {
        list.form = DescriptionPatterns[i].form;
        if (i < SRC_FORM_COUNT) {
            CollectSrcMatches(field, length, SRC_FORMS[i], OffsetsFor(patterns, "<img", field, length),
                              &patterns->sources, &list, UrlStartsAt);
        } else {
            result =
                RunPattern(&patterns->description[i], &DescriptionPatterns[i], field, length, &list, patterns, true);
        }
    }
    ReleaseIndex(&list);
    return result;
}

int ExtractDescriptionUrls(const char* field, Vector* urls) {
    ExtractionPatterns* patterns = NewExtractionPatterns();
    int result = ExtractDescriptionUrls(field, std::strlen(field), urls, patterns);
    FreeExtractionPatterns(patterns);
    return result;
}

int ExtractMobileUrls(const char* field, size_t length, Vector* urls, ExtractionPatterns* patterns) {
    if (length > static_cast<size_t>(INT32_MAX)) return LogMatchingError(LOGGED_BAD_LENGTH);
    ForgetPrefixOffsets(patterns);
    patterns->forms = 0;
    patterns->blanks = 0;
    UrlList list = {urls, nullptr, &patterns->forms, MobileImagePattern.form};
    if (patterns->countBlanks) list.blanks = &patterns->blanks;
    CollectMobileMatches(field, length, OffsetsFor(patterns, "<img", field, length), &list, UrlStartsAt);
    ReleaseIndex(&list);
    return 1;
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
    CompiledPattern compiled = {CompileLogged(pattern, 0), false};
    if (compiled.code == nullptr) return 0;
    pcre2_match_data* matches = NewMatchData();
    if (matches == nullptr) {
        ReleaseCompiled(&compiled);
        return LogMatchingError(PCRE2_ERROR_NOMEMORY);
    }
    const ImagePattern description = {pattern, groupCount, urlGroup, nullptr, 0};
    UrlList list = {urls, nullptr};
    int result = CollectMatches(&compiled, field, std::strlen(field), &description, nullptr, matches, &list, true);
    ReleaseIndex(&list);
    pcre2_match_data_free(matches);
    ReleaseCompiled(&compiled);
    return result;
}

namespace {

// The background patterns with the URL's start, `(http[s]?:)?//`, taken by
// that of an absolute local path, one group for one: the same places, the
// same ends.  The img patterns need none: their hand matchers take the
// local start as they take the URL's.
struct LocalBackgroundTexts {
    std::string texts[DESCRIPTION_PATTERN_COUNT];
    ImagePattern patterns[DESCRIPTION_PATTERN_COUNT];

    LocalBackgroundTexts() {
        static const char URL_START[] = "(http[s]?:)?//";
        static const char LOCAL_START[] = "(/(?!/)|[a-z]:\\\\)";
        for (int i = SRC_FORM_COUNT; i < DESCRIPTION_PATTERN_COUNT; ++i) {
            const ImagePattern& remote = DescriptionPatterns[i];
            texts[i] = remote.text;
            size_t at = texts[i].find(URL_START);
            if (at != std::string::npos) texts[i].replace(at, sizeof URL_START - 1, LOCAL_START);
            patterns[i] = {texts[i].c_str(), remote.groupCount, remote.urlGroup, remote.literalPrefix, remote.form};
        }
    }
};

}  // namespace

int ExtractLocalPaths(const char* field, size_t length, Vector* paths, int mobile, ExtractionPatterns* patterns) {
    if (length > static_cast<size_t>(INT32_MAX)) return LogMatchingError(LOGGED_BAD_LENGTH);
    static const LocalBackgroundTexts local;
    ForgetPrefixOffsets(patterns);
    UrlList list = {paths, nullptr};
    int result = 1;
    const PrefixOffsets* images = OffsetsFor(patterns, "<img", field, length);
    if (mobile) {
        CollectMobileMatches(field, length, images, &list, LocalPathStartsAt);
    } else {
        for (int i = 0; i < DESCRIPTION_PATTERN_COUNT && result; ++i) {
            if (i < SRC_FORM_COUNT) {
                CollectSrcMatches(field, length, SRC_FORMS[i], images, &patterns->sources, &list, LocalPathStartsAt);
            } else {
                result =
                    RunPattern(&patterns->localBackground[i], &local.patterns[i], field, length, &list, patterns, true);
            }
        }
    }
    ReleaseIndex(&list);
    return result;
}

unsigned AddressFormsFound(const ExtractionPatterns* patterns) { return patterns->forms; }

void CountBlankImages(ExtractionPatterns* patterns, bool count) { patterns->countBlanks = count; }

int BlankImagesFound(const ExtractionPatterns* patterns) { return patterns->blanks; }

int IsImageSpaceUrl(const char* url) {
    for (int i = 0; i < IMAGE_SPACE_HOST_SUFFIX_COUNT; ++i) {
        if (std::strstr(url, IMAGE_SPACE_HOST_SUFFIXES[i]) != nullptr) return 1;
    }
    return 0;
}
