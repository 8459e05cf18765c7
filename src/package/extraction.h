// Image reference extraction: the image URLs of an item's description
// (宝贝描述, HTML) and of its mobile detail (无线详情).
//
// Fields are handed in raw, as the package stores them: with their enclosing
// quotes and with every inner double quote doubled, which is why the
// patterns accept one or more quote characters before a URL.  A collected
// URL is a heap copy of the matched bytes, unchanged ("&amp;" stays), listed
// once, in first-seen order; all nine description patterns fill one list in
// table order.
#pragma once

#include <cstddef>

#include "base/vector.h"

// One pattern of the extraction: PCRE text (matched case-insensitively), its
// number of capturing groups and the group that holds the URL.
// `literalPrefix` is the text every match starts with (ASCII, lower case,
// compared case-insensitively): only its occurrences can start a match.
struct ImagePattern {
    const char* text;
    int groupCount;
    int urlGroup;
    const char* literalPrefix;
    unsigned form;  // AddressForm of what it collects
};

const int DESCRIPTION_PATTERN_COUNT = 9;
extern const ImagePattern DescriptionPatterns[DESCRIPTION_PATTERN_COUNT];
extern const ImagePattern MobileImagePattern;

// Hosts of the marketplace's image space; every other host is an outside album.
const int IMAGE_SPACE_HOST_SUFFIX_COUNT = 2;
extern const char* const IMAGE_SPACE_HOST_SUFFIXES[IMAGE_SPACE_HOST_SUFFIX_COUNT];
// Description URLs on these hosts are not images to relocate (scripts, links,
// shop decoration); mobile details keep them.
const int SKIPPED_HOST_SUFFIX_COUNT = 3;
extern const char* const SKIPPED_HOST_SUFFIXES[SKIPPED_HOST_SUFFIX_COUNT];
// What a failed image is replaced with; never collected from a description,
// so an earlier run's replacements are not relocated again.
extern const char BLANK_IMAGE_URL[];

// Where an address stands in its field, one bit each: what a local path
// written in its place must not hold, or the markup around it breaks.
enum AddressForm {
    ADDRESS_DOUBLE_QUOTED = 1,  // src="...", background="...", url("...")
    ADDRESS_SINGLE_QUOTED = 2,  // src='...', background='...', url('...')
    ADDRESS_UNQUOTED = 4,       // src=... and background=..., ended by a space or '>'
    ADDRESS_UNQUOTED_URL = 8,   // url(...), ended by ')'
    ADDRESS_ELEMENT_TEXT = 16,  // <img>...</img> of the mobile detail, ended by '<'
};
// The characters a path must not hold for each form, in bit order.
extern const char* const ADDRESS_FORM_BREAKERS[5];

// The compiled patterns of one package read: each pattern is compiled on its
// first use and kept until FreeExtractionPatterns, instead of once per field.
struct ExtractionPatterns;
ExtractionPatterns* NewExtractionPatterns();
void FreeExtractionPatterns(ExtractionPatterns* patterns);

// Collects the description URLs of the `length` bytes at `field` into
// `urls` with the nine DescriptionPatterns in order; stops at the first
// failure.  Returns 1, or 0 when a pattern cannot be compiled or matching
// fails (logged as "PCRE compilation failed at offset %d: %s" or
// "Matching error: %d").
int ExtractDescriptionUrls(const char* field, size_t length, Vector* urls, ExtractionPatterns* patterns);
// The same for a NUL-terminated field, with patterns compiled for this call.
int ExtractDescriptionUrls(const char* field, Vector* urls);

// Collects the mobile-detail URLs (MobileImagePattern); only duplicates are
// dropped, no host is skipped.  Results as above.
int ExtractMobileUrls(const char* field, size_t length, Vector* urls, ExtractionPatterns* patterns);
int ExtractMobileUrls(const char* field, Vector* urls);

// The AddressForm bits of every address the last Extract...Urls call with
// `patterns` collected (each match counted, repeats too).
unsigned AddressFormsFound(const ExtractionPatterns* patterns);

// Whether the Extract...Urls calls with `patterns` count the places that
// show BLANK_IMAGE_URL (what a --blank-failed run put in place of the
// failed images); off unless asked, so a run's reads do no more.
void CountBlankImages(ExtractionPatterns* patterns, bool count);
// Those places in the field of the last Extract...Urls call, each match
// counted (repeats too); a description still never collects the address.
int BlankImagesFound(const ExtractionPatterns* patterns);

// Runs one description pattern over a NUL-terminated field, with the
// description filters (skipped hosts, the blank image, duplicates).  The
// pattern is compiled for this call.  Returns 1, or 0 after logging.
int CollectPatternUrls(const char* field, Vector* urls, const char* pattern, int groupCount, int urlGroup);

// Collects the addresses of the field that a run has already made local:
// where a pattern of the description (`mobile` 0) or of the mobile detail
// finds an absolute local path ("/..." but not "//...", or "X:\...") in
// place of a URL.  Each path once; results as above.  As linear in the
// field as the extraction of its URLs, through the same matchers.
int ExtractLocalPaths(const char* field, size_t length, Vector* paths, int mobile, ExtractionPatterns* patterns);

// 1 when `url` contains one of the IMAGE_SPACE_HOST_SUFFIXES, else 0.
int IsImageSpaceUrl(const char* url);
