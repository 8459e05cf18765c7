#include "package/item_record.h"

#include <cstdlib>

void FreeItemRecord(ItemRecord* item) {
    if (item == nullptr) return;
    FreeVector(item->desktopUrls, 1);
    FreeVector(item->mobileUrls, 1);
    FreeVector(item->failedDesktopUrls, 1);
    FreeVector(item->failedMobileUrls, 1);
    std::free(item->title);
    std::free(item);
}

void ClearItemRecords(Vector* items) {
    if (items == nullptr) return;
    for (int32_t i = 0; i < items->count; ++i) FreeItemRecord(static_cast<ItemRecord*>(items->items[i]));
    VectorClear(items, 0);
}
