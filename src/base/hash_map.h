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
// Ownership is written in the map's type (HashMapType, given at creation):
// the map always owns its entries and bucket heads; it owns its keys when
// the type has a key release function, and releases a value only when the
// caller asks at clear or release time (freeValues) and the type has a value
// release function.  Nothing is inferred from the hash or equality function.
#pragma once

#include <cstdint>

typedef uint32_t (*HashFn)(const void* key);
typedef int (*EqualsFn)(const void* storedKey, const void* probeKey);
typedef void (*ReleaseFn)(void* pointer);

// What a map is: how it hashes and compares keys, and what it owns.  Maps
// keep a pointer to their type, so types are records that outlive them.
struct HashMapType {
    HashFn hashFn;
    EqualsFn equalsFn;
    // Releases a stored key when its entry goes (HashMapRemove, HashMapClear,
    // FreeHashMap).  Null: keys stay the caller's.
    ReleaseFn releaseKey;
    // Releases a non-null value when the caller asks for it at clear or
    // release time (freeValues).  Null: the map never releases a value.
    ReleaseFn releaseValue;
};

// Keys are heap strings the map owns (callers pass heap copies); values are
// the caller's: counts stored in the pointer, sockets, borrowed records.
extern const HashMapType STRING_KEYS;
// Keys and values are heap strings the map owns; values are released when
// asked for (freeValues).  The run's urlMap.
extern const HashMapType STRING_KEYS_AND_VALUES;
// Keys are strings the caller keeps (an index over a list that owns them);
// the map releases nothing but its entries.
extern const HashMapType BORROWED_STRING_KEYS;

struct HashEntry {
    uint32_t hash;  // hashFn's, which orders HashMapKeys
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
    HashEntry** buckets;  // lookup chain heads, a pointer each
    const HashMapType* type;
    uint64_t seed;
    HashEntry* oldest;
    HashEntry* newest;
};

struct KeyList {
    void* key;  // the map's stored key, not a copy
    KeyList* next;
};

HashMap* NewHashMap(const HashMapType* type, int32_t initialCapacity, float loadFactor);
// NewHashMap with 16 buckets and a load factor of 0.75, the tables' size.
HashMap* NewStringHashMap(const HashMapType* type);

// Stores `key` with `value`; false, storing nothing, when the key is
// already present (the caller still owns what it passed).
bool HashMapAdd(HashMap* map, void* key, void* value);
// Stores `value` under `key`, replacing a present key's value: the previous
// value is returned and the map keeps its stored key, not the one passed
// (which the caller still owns).  A new key is stored as by HashMapAdd and
// gives null.
void* HashMapReplace(HashMap* map, void* key, void* value);
void* HashMapGet(const HashMap* map, const void* key);
// Releases the stored key (if the type owns keys) and returns the value,
// which is the caller's from then on.
void* HashMapRemove(HashMap* map, const void* key);
KeyList* HashMapKeys(const HashMap* map);
void FreeKeyList(KeyList* list);
void HashMapClear(HashMap* map, bool freeValues);
void FreeHashMap(HashMap* map, bool freeValues);

// 31*h + signed byte, then the bit spreading that feeds high bits into the
// bits the bucket mask keeps.
uint32_t StringHash(const void* key);
