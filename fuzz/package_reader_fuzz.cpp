// libFuzzer target: the data-package reader and the image-reference
// extraction.
//
// The first input byte picks the form of the rest:
//   even: the package file's bytes as they are;
//   odd:  package text in the core's form, written as the listing tool would
//         (FF FE and UTF-16LE), so mutations reach the rows rather than the decoding.
// The rest is also run through the extraction directly as one field, and
// for small fields the compiled-once, prefix-driven search must list
// exactly what the plain search from every offset lists.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.h"
#include "package/extraction.h"
#include "package/item_record.h"
#include "package/reader.h"
#include "util/charset.h"
#include "util/front_end.h"
#include "base/strings.h"

namespace {

// Bounds the plain search, whose cost grows fast on long runs of spaces.
const size_t DIFFERENTIAL_FIELD_LIMIT = 1024;

int QuietMessage(const char*, const char*, unsigned) { return ANSWER_OK; }
void KeepRunning(int) {}
void QuietLine(const char*) {}

bool SameLists(const Vector* first, const Vector* second) {
    if (first->count != second->count) return false;
    for (int32_t i = 0; i < first->count; ++i) {
        if (!StringEquals(first->items[i], second->items[i])) return false;
    }
    return true;
}

void CheckRecords(const ItemList* items, int result, const char* text) {
    Check(result == PACKAGE_READ_OK || result == PACKAGE_READ_FAILED || result == PACKAGE_READ_TITLE_TOO_LONG);
    for (int32_t i = 0; i < items->count; ++i) {
        const ItemRecord* record = static_cast<const ItemRecord*>(items->items[i]);
        Check(record->title != nullptr);
        // A list is made only for addresses found.
        Check(DesktopUrls(record) == nullptr || DesktopUrls(record)->count > 0);
        Check(MobileUrls(record) == nullptr || (MobileUrls(record)->count > 0 && items->hasMobileColumn));
    }
    if (result == PACKAGE_READ_OK) {
        Check(text != nullptr);
        Check(std::strstr(text, "_.webp") == nullptr);
    } else {
        Check(text == nullptr);
    }
}

void ReadAsPackage(const char* bytes, size_t size) {
    ItemList* items = NewItemList();
    char* text = nullptr;
    int result = ReadPackageBytes(bytes, size, items, &text);
    CheckRecords(items, result, text);
    ClearItemRecords(items);
    FreeItemList(items);
    std::free(text);
}

void ExtractAsField(const char* bytes, size_t size) {
    ExtractionPatterns* patterns = NewExtractionPatterns();
    Vector* desktop = NewVector(32, 16);
    Vector* mobile = NewVector(16, 8);
    Check(ExtractDescriptionUrls(bytes, size, desktop, patterns) == 1 || size > DIFFERENTIAL_FIELD_LIMIT);
    Check(ExtractMobileUrls(bytes, size, mobile, patterns) == 1 || size > DIFFERENTIAL_FIELD_LIMIT);

    if (size <= DIFFERENTIAL_FIELD_LIMIT && std::memchr(bytes, '\0', size) == nullptr) {
        char* field = CopyBytes(bytes, size);
        Vector* plain = NewVector(32, 16);
        for (int i = 0; i < DESCRIPTION_PATTERN_COUNT; ++i) {
            const ImagePattern& pattern = DescriptionPatterns[i];
            Check(CollectPatternUrls(field, plain, pattern.text, pattern.groupCount, pattern.urlGroup) == 1);
        }
        Check(SameLists(desktop, plain));
        // The plain form filters as a description does, so mobile lists
        // are compared once the filtered addresses are left out.
        Vector* plainMobile = NewVector(16, 8);
        Check(CollectPatternUrls(field, plainMobile, MobileImagePattern.text, MobileImagePattern.groupCount,
                                 MobileImagePattern.urlGroup) == 1);
        int32_t kept = 0;
        for (int32_t i = 0; i < mobile->count; ++i) {
            const char* url = static_cast<const char*>(mobile->items[i]);
            bool filtered = StringEquals(url, BLANK_IMAGE_URL);
            for (int s = 0; s < SKIPPED_HOST_SUFFIX_COUNT; ++s)
                filtered = filtered || std::strstr(url, SKIPPED_HOST_SUFFIXES[s]);
            if (filtered) continue;
            Check(kept < plainMobile->count && StringEquals(url, plainMobile->items[kept]));
            ++kept;
        }
        Check(kept == plainMobile->count);
        FreeVector(plainMobile, 1);
        FreeVector(plain, 1);
        std::free(field);
    }
    FreeVector(desktop, 1);
    FreeVector(mobile, 1);
    FreeExtractionPatterns(patterns);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool installed = [] {
        // An extraction failure raises a message and ends the process; here
        // both are recorded by nobody and the reader unwinds.
        FrontEnd quiet = {QuietMessage, KeepRunning, QuietLine};
        SetFrontEnd(&quiet);
        return true;
    }();
    (void)installed;
    if (size == 0) return 0;
    const char* rest = reinterpret_cast<const char*>(data + 1);
    const size_t restSize = size - 1;

    if ((data[0] & 1) == 0) {
        ReadAsPackage(rest, restSize);
    } else {
        // Text in the core's form -> FF FE + UTF-16LE; bytes that decode to
        // nothing are dropped (and a cut character at the end with them).
        char* file = static_cast<char*>(std::malloc(restSize * 2 + 2));
        file[0] = '\xFF';
        file[1] = '\xFE';
        size_t written = 0;
        ConvertCharsetLarge(CORE_CHARSET, PACKAGE_WRITE_CHARSET, rest, restSize, file + 2, restSize * 2, &written);
        ReadAsPackage(file, written + 2);
        std::free(file);
    }
    ExtractAsField(rest, restSize);
    return 0;
}
