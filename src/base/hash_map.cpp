#include "base/hash_map.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>

#include "base/memory.h"
#include "base/strings.h"

namespace {

void ReleaseHeapBlock(void* block) { std::free(block); }

}  // namespace

const HashMapType STRING_KEYS = {StringHash, StringEquals, ReleaseHeapBlock, nullptr};
const HashMapType STRING_KEYS_AND_VALUES = {StringHash, StringEquals, ReleaseHeapBlock, ReleaseHeapBlock};
const HashMapType BORROWED_STRING_KEYS = {StringHash, StringEquals, nullptr, nullptr};

namespace {

HashEntry** NewBuckets(int32_t capacity) {
    return static_cast<HashEntry**>(AllocateZeroed(static_cast<size_t>(capacity), sizeof(HashEntry*)));
}

int32_t ThresholdFor(int32_t capacity, float loadFactor) {
    return static_cast<int32_t>(static_cast<float>(capacity) * loadFactor);
}

// A different seed for every map: one random start for the process, then
// a counter through a mixer.
uint64_t NextSeed() {
    static const uint64_t processSeed = [] {
        std::random_device device;
        return (static_cast<uint64_t>(device()) << 32) ^ device();
    }();
    static std::atomic<uint64_t> maps{0};
    uint64_t x = processSeed + 0x9E3779B97F4A7C15ull * (maps.fetch_add(1) + 1);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    return x ^ (x >> 31);
}

// A bijective mixer: equal outputs only from equal inputs.
inline uint64_t Mix(uint64_t x) {
    x = (x ^ (x >> 31)) * 0x94D049BB133111EBull;
    return x ^ (x >> 29);
}

// The key's bytes, eight at a time, through the seeded mixer; the length
// goes into the last block.
uint32_t SeededStringHash(const char* key, uint64_t seed) {
    size_t length = std::strlen(key);
    uint64_t h = seed;
    size_t at = 0;
    for (; at + 8 <= length; at += 8) {
        uint64_t block;
        std::memcpy(&block, key + at, 8);
        h = Mix((h ^ block) * 0x9E3779B97F4A7C15ull);
    }
    uint64_t last = static_cast<uint64_t>(length) << 56;
    for (size_t i = 0; at + i < length; ++i)
        last |= static_cast<uint64_t>(static_cast<unsigned char>(key[at + i])) << (8 * i);
    h = Mix((h ^ last) * 0x9E3779B97F4A7C15ull ^ seed);
    return static_cast<uint32_t>(h ^ (h >> 32));
}

// StringHash maps chain by their own seeded hash of the bytes; with any
// other hashFn the key's form is unknown, and its hash is mixed with the seed.
uint32_t LookupHash(const HashMap* map, const void* key, uint32_t hash) {
    if (map->type->hashFn == StringHash) return SeededStringHash(static_cast<const char*>(key), map->seed);
    uint64_t h = Mix((hash ^ map->seed) * 0x9E3779B97F4A7C15ull);
    return static_cast<uint32_t>(h ^ (h >> 32));
}

uint32_t LookupHash(const HashMap* map, const void* key) {
    return map->type->hashFn == StringHash ? LookupHash(map, key, 0) : LookupHash(map, key, map->type->hashFn(key));
}

void LinkToChain(HashMap* map, HashEntry* entry) {
    HashEntry** head = &map->buckets[entry->lookupHash & static_cast<uint32_t>(map->capacity - 1)];
    entry->next = *head;
    *head = entry;
}

// The entry for `key`, and in *link the pointer to it (the bucket's head
// or the `next` of the entry before it), which unlinking rewrites.
HashEntry* FindEntry(const HashMap* map, const void* key, uint32_t lookupHash, HashEntry*** link) {
    HashEntry** at = &map->buckets[lookupHash & static_cast<uint32_t>(map->capacity - 1)];
    for (HashEntry* entry = *at; entry != nullptr; at = &entry->next, entry = entry->next) {
        if (entry->lookupHash == lookupHash && map->type->equalsFn(entry->key, key)) {
            if (link) *link = at;
            return entry;
        }
    }
    return nullptr;
}

void Grow(HashMap* map) {
    std::free(map->buckets);
    map->capacity *= 2;
    map->buckets = NewBuckets(map->capacity);
    map->threshold = ThresholdFor(map->capacity, map->loadFactor);
    for (HashEntry* entry = map->oldest; entry != nullptr; entry = entry->newer) LinkToChain(map, entry);
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
    map->seed = NextSeed();
    return map;
}

HashMap* NewStringHashMap(const HashMapType* type) { return NewHashMap(type, 16, 0.75f); }

namespace {

// Links a new entry for a key known to be absent.
void StoreNew(HashMap* map, void* key, void* value, uint32_t lookupHash) {
    HashEntry* entry = static_cast<HashEntry*>(Allocate(sizeof(HashEntry)));
    entry->hash = map->type->hashFn(key);
    entry->key = key;
    entry->value = value;
    entry->lookupHash = lookupHash;
    entry->older = map->newest;
    entry->newer = nullptr;
    if (map->newest != nullptr)
        map->newest->newer = entry;
    else
        map->oldest = entry;
    map->newest = entry;
    LinkToChain(map, entry);
    ++map->count;
    if (map->count >= map->threshold) Grow(map);
}

}  // namespace

bool HashMapAdd(HashMap* map, void* key, void* value) {
    uint32_t lookupHash = LookupHash(map, key);
    if (FindEntry(map, key, lookupHash, nullptr) != nullptr) return false;
    StoreNew(map, key, value, lookupHash);
    return true;
}

void* HashMapReplace(HashMap* map, void* key, void* value) {
    uint32_t lookupHash = LookupHash(map, key);
    HashEntry* entry = FindEntry(map, key, lookupHash, nullptr);
    if (entry == nullptr) {
        StoreNew(map, key, value, lookupHash);
        return nullptr;
    }
    void* previous = entry->value;
    entry->value = value;
    return previous;
}

void* HashMapGet(const HashMap* map, const void* key) {
    HashEntry* entry = FindEntry(map, key, LookupHash(map, key), nullptr);
    return entry ? entry->value : nullptr;
}

void* HashMapRemove(HashMap* map, const void* key) {
    HashEntry** link = nullptr;
    HashEntry* entry = FindEntry(map, key, LookupHash(map, key), &link);
    if (entry == nullptr) return nullptr;
    *link = entry->next;
    if (entry->older != nullptr)
        entry->older->newer = entry->newer;
    else
        map->oldest = entry->newer;
    if (entry->newer != nullptr)
        entry->newer->older = entry->older;
    else
        map->newest = entry->older;
    --map->count;
    void* value = entry->value;
    if (map->type->releaseKey != nullptr) map->type->releaseKey(entry->key);
    std::free(entry);
    return value;
}

// By hashFn's bucket, in insertion order within a bucket: a stable counting
// sort of the insertion list.
KeyList* HashMapKeys(const HashMap* map) {
    if (map->count == 0) return nullptr;
    const uint32_t mask = static_cast<uint32_t>(map->capacity - 1);
    int32_t* starts = static_cast<int32_t*>(AllocateZeroed(static_cast<size_t>(map->capacity) + 1, sizeof(int32_t)));
    for (HashEntry* entry = map->oldest; entry != nullptr; entry = entry->newer) ++starts[(entry->hash & mask) + 1];
    for (int32_t i = 0; i < map->capacity; ++i) starts[i + 1] += starts[i];
    KeyList* nodes = nullptr;
    KeyList** slots = static_cast<KeyList**>(Allocate(sizeof(KeyList*) * static_cast<size_t>(map->count)));
    for (HashEntry* entry = map->oldest; entry != nullptr; entry = entry->newer) {
        KeyList* node = static_cast<KeyList*>(Allocate(sizeof(KeyList)));
        node->key = entry->key;
        slots[starts[entry->hash & mask]++] = node;
    }
    for (int32_t i = map->count - 1; i >= 0; --i) {
        slots[i]->next = nodes;
        nodes = slots[i];
    }
    std::free(slots);
    std::free(starts);
    return nodes;
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
    HashEntry* entry = map->oldest;
    while (entry != nullptr) {
        HashEntry* newer = entry->newer;
        if (releaseKey != nullptr) releaseKey(entry->key);
        if (releaseValue != nullptr && entry->value != nullptr) releaseValue(entry->value);
        std::free(entry);
        entry = newer;
    }
    std::memset(map->buckets, 0, sizeof(HashEntry*) * static_cast<size_t>(map->capacity));
    map->oldest = nullptr;
    map->newest = nullptr;
    map->count = 0;
}

void FreeHashMap(HashMap* map, bool freeValues) {
    if (map == nullptr) return;
    HashMapClear(map, freeValues);
    std::free(map->buckets);
    std::free(map);
}
