#include "util/hash_map.h"

#include <cstdlib>

#include "util/memory.h"
#include "util/strings.h"

namespace {

void ReleaseHeapBlock(void* block) { std::free(block); }

}  // namespace

const HashMapType STRING_KEYS = {StringHash, StringEquals, ReleaseHeapBlock, nullptr};
const HashMapType STRING_KEYS_AND_VALUES = {StringHash, StringEquals, ReleaseHeapBlock, ReleaseHeapBlock};

namespace {

HashEntry* NewBuckets(int32_t capacity) {
    return static_cast<HashEntry*>(AllocateZeroed(static_cast<size_t>(capacity), sizeof(HashEntry)));
}

int32_t ThresholdFor(int32_t capacity, float loadFactor) {
    return static_cast<int32_t>(static_cast<float>(capacity) * loadFactor);
}

// Appends at the end of the chain, keeping insertion order within a bucket.
void AppendToChain(HashEntry* head, HashEntry* entry) {
    HashEntry* last = head;
    while (last->next != nullptr) last = last->next;
    last->next = entry;
    entry->next = nullptr;
}

// The entry for `key`, and in *previous the entry (or head) before it.
HashEntry* FindEntry(const HashMap* map, const void* key, uint32_t hash, HashEntry** previous) {
    HashEntry* before = &map->buckets[hash & static_cast<uint32_t>(map->capacity - 1)];
    for (HashEntry* entry = before->next; entry != nullptr; before = entry, entry = entry->next) {
        if (entry->hash == hash && map->type->equalsFn(entry->key, key)) {
            if (previous) *previous = before;
            return entry;
        }
    }
    return nullptr;
}

void Grow(HashMap* map) {
    int32_t newCapacity = map->capacity * 2;
    HashEntry* fresh = NewBuckets(newCapacity);
    // Tails of the new chains, so that appending stays linear.
    HashEntry** tails = static_cast<HashEntry**>(Allocate(sizeof(HashEntry*) * static_cast<size_t>(newCapacity)));
    for (int32_t i = 0; i < newCapacity; ++i) tails[i] = &fresh[i];
    uint32_t mask = static_cast<uint32_t>(newCapacity - 1);
    for (int32_t i = 0; i < map->capacity; ++i) {
        HashEntry* entry = map->buckets[i].next;
        while (entry != nullptr) {
            HashEntry* next = entry->next;
            uint32_t bucket = entry->hash & mask;
            tails[bucket]->next = entry;
            entry->next = nullptr;
            tails[bucket] = entry;
            entry = next;
        }
    }
    std::free(tails);
    std::free(map->buckets);
    map->buckets = fresh;
    map->capacity = newCapacity;
    map->threshold = ThresholdFor(newCapacity, map->loadFactor);
}

}  // namespace

uint32_t StringHash(const void* key) {
    uint32_t h = 0;
    for (const signed char* at = static_cast<const signed char*>(key); *at != 0; ++at) {
        h = 31u * h + static_cast<uint32_t>(static_cast<int32_t>(*at));
    }
    h ^= (h >> 20) ^ (h >> 12);
    return h ^ (h >> 7) ^ (h >> 4);
}

HashMap* NewHashMap(const HashMapType* type, int32_t initialCapacity, float loadFactor) {
    int32_t capacity = 1;
    while (capacity < initialCapacity && capacity < (1 << 30)) capacity <<= 1;
    HashMap* map = static_cast<HashMap*>(AllocateZeroed(1, sizeof(HashMap)));
    map->capacity = capacity;
    map->loadFactor = loadFactor;
    map->threshold = ThresholdFor(capacity, loadFactor);
    map->buckets = NewBuckets(capacity);
    map->type = type;
    return map;
}

HashMap* NewStringHashMap(const HashMapType* type) { return NewHashMap(type, 16, 0.75f); }

void* HashMapPut(HashMap* map, void* key, void* value) {
    uint32_t hash = map->type->hashFn(key);
    HashEntry* entry = FindEntry(map, key, hash, nullptr);
    if (entry != nullptr) {
        void* previous = entry->value;
        entry->value = value;
        return previous;
    }
    entry = static_cast<HashEntry*>(Allocate(sizeof(HashEntry)));
    entry->hash = hash;
    entry->key = key;
    entry->value = value;
    AppendToChain(&map->buckets[hash & static_cast<uint32_t>(map->capacity - 1)], entry);
    ++map->count;
    if (map->count >= map->threshold) Grow(map);
    return nullptr;
}

void* HashMapGet(const HashMap* map, const void* key) {
    HashEntry* entry = FindEntry(map, key, map->type->hashFn(key), nullptr);
    return entry ? entry->value : nullptr;
}

void* HashMapRemove(HashMap* map, const void* key) {
    HashEntry* previous = nullptr;
    HashEntry* entry = FindEntry(map, key, map->type->hashFn(key), &previous);
    if (entry == nullptr) return nullptr;
    previous->next = entry->next;
    --map->count;
    void* value = entry->value;
    if (map->type->releaseKey != nullptr) map->type->releaseKey(entry->key);
    std::free(entry);
    return value;
}

KeyList* HashMapKeys(const HashMap* map) {
    KeyList* first = nullptr;
    KeyList** tail = &first;
    for (int32_t i = 0; i < map->capacity; ++i) {
        for (HashEntry* entry = map->buckets[i].next; entry != nullptr; entry = entry->next) {
            KeyList* node = static_cast<KeyList*>(Allocate(sizeof(KeyList)));
            node->key = entry->key;
            node->next = nullptr;
            *tail = node;
            tail = &node->next;
        }
    }
    return first;
}

void FreeKeyList(KeyList* list) {
    while (list != nullptr) {
        KeyList* next = list->next;
        std::free(list);
        list = next;
    }
}

void HashMapClear(HashMap* map, bool freeValues) {
    const ReleaseFn releaseKey = map->type->releaseKey;
    const ReleaseFn releaseValue = freeValues ? map->type->releaseValue : nullptr;
    for (int32_t i = 0; i < map->capacity; ++i) {
        HashEntry* entry = map->buckets[i].next;
        while (entry != nullptr) {
            HashEntry* next = entry->next;
            if (releaseKey != nullptr) releaseKey(entry->key);
            if (releaseValue != nullptr && entry->value != nullptr) releaseValue(entry->value);
            std::free(entry);
            entry = next;
        }
        map->buckets[i].next = nullptr;
    }
    map->count = 0;
}

void FreeHashMap(HashMap* map, bool freeValues) {
    if (map == nullptr) return;
    HashMapClear(map, freeValues);
    std::free(map->buckets);
    std::free(map);
}
