#include "package/item_record.h"

#include <cstdlib>
#include <cstring>

#include "base/memory.h"

namespace {

const int32_t ITEMS_INITIAL_CAPACITY = 256;
const int32_t ITEMS_GROW_BY = 64;

}  // namespace

ItemUrls* UrlsOf(ItemRecord* item) {
    if (item->urls == nullptr) item->urls = static_cast<ItemUrls*>(AllocateZeroed(1, sizeof(ItemUrls)));
    return item->urls;
}

ItemList* NewItemList() {
    ItemList* items = static_cast<ItemList*>(AllocateZeroed(1, sizeof(ItemList)));
    InitVector(items, ITEMS_INITIAL_CAPACITY, ITEMS_GROW_BY);
    return items;
}

ItemRecord* AppendItemRecord(ItemList* items, const char* title, size_t length) {
    ItemRecord* record =
        static_cast<ItemRecord*>(ArenaAllocate(&items->arena, sizeof(ItemRecord), alignof(ItemRecord)));
    record->title = static_cast<char*>(ArenaAllocate(&items->arena, length + 1, 1));
    std::memcpy(record->title, title, length);
    VectorPush(items, record);
    return record;
}

void SetItemOuterId(ItemList* items, ItemRecord* record, const char* outerId, size_t length) {
    record->outerId = static_cast<char*>(ArenaAllocate(&items->arena, length + 1, 1));
    std::memcpy(record->outerId, outerId, length);
}

void FreeItemRecord(ItemRecord* item) {
    if (item == nullptr || item->urls == nullptr) return;
    FreeVector(item->urls->desktop, 1);
    FreeVector(item->urls->mobile, 1);
    FreeVector(item->urls->failedDesktop, 1);
    FreeVector(item->urls->failedMobile, 1);
    std::free(item->urls);
    item->urls = nullptr;
}

void ClearItemRecords(ItemList* items) {
    if (items == nullptr) return;
    for (int32_t i = 0; i < items->count; ++i) FreeItemRecord(static_cast<ItemRecord*>(items->items[i]));
    VectorClear(items, false);
    ClearArena(&items->arena);
    items->hasMobileColumn = false;
    items->hasOuterIdColumn = false;
}

void FreeItemList(ItemList* items) {
    if (items == nullptr) return;
    ClearItemRecords(items);
    std::free(items->items);
    std::free(items);
}
