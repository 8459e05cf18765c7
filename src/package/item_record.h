// The items (data rows) of a package: one record per row, in one list.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/arena.h"
#include "base/vector.h"

const uint32_t ITEM_STATE_DONE = 2;

// An item's address lists (heap strings), made when the first of them is:
// a package of a million rows without images then costs no list at all.
// A null list is an empty one.
struct ItemUrls {
    Vector* desktop;        // distinct description image URLs
    Vector* mobile;         // distinct mobile-detail URLs
    Vector* failedDesktop;  // filled by the run
    Vector* failedMobile;   // filled by the run
    unsigned addressForms;  // where its addresses stand (AddressForm bits, package/extraction.h)
    int32_t localDesktop;   // distinct description addresses that are local paths already
    int32_t localMobile;    // the same for the mobile detail; both counted only for ItemList::countLocalPaths
    int32_t blankDesktop;   // places in the description that show the blank image (each one counted)
    int32_t blankMobile;    // the same for the mobile detail; both counted only for ItemList::countLocalPaths
};

struct ItemRecord {
    char* title;     // first field without its quotes, in the list's arena
    char* outerId;   // 商家编码 without quotes, in the list's arena; null unless ItemList::hasOuterIdColumn
    ItemUrls* urls;  // heap, owned; null while the item has no address and no failure
    int32_t index;   // the item's row in the list view
    uint32_t state;  // 0 as read, ITEM_STATE_DONE once the run finished it
};

inline const Vector* DesktopUrls(const ItemRecord* item) { return item->urls ? item->urls->desktop : nullptr; }
inline const Vector* MobileUrls(const ItemRecord* item) { return item->urls ? item->urls->mobile : nullptr; }
inline const Vector* FailedDesktopUrls(const ItemRecord* item) {
    return item->urls ? item->urls->failedDesktop : nullptr;
}
inline const Vector* FailedMobileUrls(const ItemRecord* item) {
    return item->urls ? item->urls->failedMobile : nullptr;
}
// The item's lists, made (all null) when it has none yet.
ItemUrls* UrlsOf(ItemRecord* item);

// The item list: a Vector of ItemRecord* (every Vector operation that reads
// works on it) whose records and titles are carved from its arena.
struct ItemList : Vector {
    Arena arena;
    bool hasMobileColumn;   // the package has a 无线详情 column
    bool hasOuterIdColumn;  // the package has a 商家编码 column
    bool countLocalPaths;   // set before the read: also count the addresses a run made local
};

ItemList* NewItemList();
// Appends a record with a copy of the `length` bytes of `title`.
ItemRecord* AppendItemRecord(ItemList* items, const char* title, size_t length);
// Gives the record its 商家编码: a copy of the `length` bytes of `outerId`.
void SetItemOuterId(ItemList* items, ItemRecord* record, const char* outerId, size_t length);
// Releases what the record owns: its address lists and their strings.  The
// record and its title stay in the list's arena until ClearItemRecords.
void FreeItemRecord(ItemRecord* item);
// Releases every record in `items` (lists, titles, records) and empties it.
void ClearItemRecords(ItemList* items);
void FreeItemList(ItemList* items);
