// HashMap: a separately chained hash table.
//
// Buckets are a power of two and a hash picks its bucket by mask.  Lookups
// chain entries by a hash seeded per map (for StringHash maps, of the key's
// bytes), so no set of keys chosen in advance, such as strings with equal
// StringHash, makes a chain long.  HashMapKeys lists the keys as a table
// chained by hashFn would: by hashFn's bucket, then in insertion order,
// growth included; its order is a function of the insertion sequence alone
// and callers may depend on it.  Each entry keeps both hashes, so growth
// never rehashes and lookups call equalsFn only on equal hashes.
//
// Ownership: the map owns entries and bucket heads; a string-keyed map (its
// equalsFn is StringEquals) also owns its keys, which callers pass as heap
// copies.  Values are released only on request (freeValues).
#pragma once

#include <cstdint>

typedef uint32_t (*HashFn)(const void* key);
typedef int (*EqualsFn)(const void* storedKey, const void* probeKey);

struct HashEntry {
    uint32_t hash;        // hashFn's, which orders HashMapKeys
    void* key;
    void* value;
    HashEntry* next;      // the lookup chain
    uint32_t lookupHash;  // the seeded hash that picks the lookup chain
    HashEntry* older;     // insertion order, oldest first
    HashEntry* newer;
};

struct HashMap {
    int32_t count;
    int32_t capacity;   // buckets, a power of two
    int32_t threshold;  // capacity * loadFactor, truncated; reaching it doubles the table
    float loadFactor;
    HashEntry* buckets; // lookup chain heads; only `next` of a head is used
    HashFn hashFn;
    EqualsFn equalsFn;
    uint64_t seed;
    HashEntry* oldest;
    HashEntry* newest;
};

struct KeyList {
    void* key;  // the map's stored key, not a copy
    KeyList* next;
};

HashMap* NewHashMap(HashFn hashFn, EqualsFn equalsFn, int32_t initialCapacity, float loadFactor);
HashMap* NewStringHashMap(HashFn hashFn, EqualsFn equalsFn);

void* HashMapPut(HashMap* map, void* key, void* value);
void* HashMapGet(const HashMap* map, const void* key);
void* HashMapRemove(HashMap* map, const void* key);
KeyList* HashMapKeys(const HashMap* map);
void FreeKeyList(KeyList* list);
void HashMapClear(HashMap* map, int freeValues);
void FreeHashMap(HashMap* map, int freeValues);

// 31*h + signed byte, then the bit spreading that feeds high bits into the
// bits the bucket mask keeps.
uint32_t StringHash(const void* key);
