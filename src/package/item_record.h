// One item (one data row) of a package.
#pragma once

#include <cstdint>

#include "util/vector.h"

const uint32_t ITEM_STATE_DONE = 2;

struct ItemRecord {
    int32_t index;                 // the item's row in the list view
    char* title;                   // first field without its quotes (heap, owned; may be null)
    uint32_t state;                // 0 as read, ITEM_STATE_DONE once the run finished it
    Vector* desktopUrls;           // distinct description image URLs (heap strings)
    Vector* mobileUrls;            // distinct mobile-detail URLs; null without that column
    Vector* failedDesktopUrls;     // filled by the run; null as read
    Vector* failedMobileUrls;      // filled by the run; null as read
};

// Releases the record with its title, its four lists and their strings.
void FreeItemRecord(ItemRecord* item);
// Releases every record in `items` and empties it.
void ClearItemRecords(Vector* items);
