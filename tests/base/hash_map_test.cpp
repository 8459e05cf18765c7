#include "base/hash_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/strings.h"

namespace {

HashMap* NewTextMap() { return NewStringHashMap(&STRING_KEYS); }

void* Count(intptr_t n) { return reinterpret_cast<void*>(n); }

std::vector<std::string> Keys(const HashMap* map) {
    std::vector<std::string> keys;
    KeyList* list = HashMapKeys(map);
    for (KeyList* node = list; node != nullptr; node = node->next) keys.push_back(static_cast<char*>(node->key));
    FreeKeyList(list);
    return keys;
}

// A key of the form "k<n>" whose bucket under `mask` is `bucket`.
std::string KeyInBucket(uint32_t bucket, uint32_t mask, int* next) {
    for (;; ++*next) {
        std::string key = "k" + std::to_string(*next);
        if ((StringHash(key.c_str()) & mask) == bucket) {
            ++*next;
            return key;
        }
    }
}

int IntEquals(const void* a, const void* b) { return a == b; }
uint32_t IntHash(const void* key) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key)); }
// A map that owns nothing: keys and values are the caller's.
const HashMapType INT_KEYS = {IntHash, IntEquals, nullptr, nullptr};

}  // namespace

TEST(StringHash, KnownValues) {
    EXPECT_EQ(0u, StringHash(""));
    EXPECT_EQ(93442u, StringHash("abc"));
    // GBK lead and trail bytes count as negative values.
    EXPECT_EQ(0xF1F0E5A5u, StringHash("\xb0\xa1"));
}

TEST(HashMap, CapacityIsTheNextPowerOfTwo) {
    const int32_t asked[] = {0, 1, -7, 2, 3, 16, 17, 3200};
    const int32_t expected[] = {1, 1, 1, 2, 4, 16, 32, 4096};
    for (size_t i = 0; i < sizeof asked / sizeof asked[0]; ++i) {
        HashMap* map = NewHashMap(&STRING_KEYS, asked[i], 0.75f);
        EXPECT_EQ(expected[i], map->capacity) << asked[i];
        FreeHashMap(map, 0);
    }
    HashMap* urlMap = NewHashMap(&STRING_KEYS_AND_VALUES, 32 * 100, 0.75f);
    EXPECT_EQ(3072, urlMap->threshold);
    FreeHashMap(urlMap, 0);
}

TEST(HashMap, TinyTableDoublesOnEveryThresholdReached) {
    HashMap* map = NewHashMap(&STRING_KEYS, 0, 0.75f);
    EXPECT_EQ(0, map->threshold);
    HashMapReplace(map, CopyString("a"), Count(1));
    EXPECT_EQ(2, map->capacity);
    EXPECT_EQ(1, map->threshold);
    HashMapReplace(map, CopyString("b"), Count(2));
    EXPECT_EQ(4, map->capacity);
    EXPECT_EQ(3, map->threshold);
    HashMapReplace(map, CopyString("c"), Count(3));
    EXPECT_EQ(8, map->capacity);
    EXPECT_EQ(6, map->threshold);
    EXPECT_EQ(Count(1), HashMapGet(map, "a"));
    EXPECT_EQ(Count(3), HashMapGet(map, "c"));
    FreeHashMap(map, 0);
}

TEST(HashMap, StringMapDoublesAtTheTwelfthKeyOnly) {
    HashMap* map = NewTextMap();
    EXPECT_EQ(16, map->capacity);
    EXPECT_EQ(12, map->threshold);
    for (int i = 0; i < 11; ++i) HashMapReplace(map, CopyString(("key" + std::to_string(i)).c_str()), Count(i));
    EXPECT_EQ(16, map->capacity);
    char* again = CopyString("key3");
    EXPECT_EQ(Count(3), HashMapReplace(map, again, Count(33)));  // existing key: no growth
    std::free(again);
    EXPECT_EQ(16, map->capacity);
    EXPECT_EQ(11, map->count);
    HashMapReplace(map, CopyString("key11"), Count(11));
    EXPECT_EQ(32, map->capacity);
    EXPECT_EQ(24, map->threshold);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(Count(i == 3 ? 33 : i), HashMapGet(map, ("key" + std::to_string(i)).c_str()));
    }
    FreeHashMap(map, 0);
}

TEST(HashMap, ReplaceOfAnExistingKeyKeepsTheFirstKeyPointerAndAddRefusesIt) {
    HashMap* map = NewTextMap();
    char* first = CopyString("host:80");
    EXPECT_EQ(nullptr, HashMapReplace(map, first, Count(1)));
    char* second = CopyString("host:80");
    EXPECT_FALSE(HashMapAdd(map, second, Count(3)));  // nothing stored: value and key stay as they were
    EXPECT_EQ(Count(1), HashMapGet(map, "host:80"));
    EXPECT_EQ(Count(1), HashMapReplace(map, second, Count(2)));
    EXPECT_EQ(1, map->count);
    KeyList* keys = HashMapKeys(map);
    EXPECT_EQ(first, keys->key);
    FreeKeyList(keys);
    std::free(second);
    FreeHashMap(map, 0);
}

TEST(HashMap, RemoveReleasesTheStoredKeyAndReturnsTheValue) {
    HashMap* map = NewTextMap();
    HashMapReplace(map, CopyString("a"), CopyString("value-a"));
    HashMapReplace(map, CopyString("b"), Count(7));
    EXPECT_EQ(nullptr, HashMapRemove(map, "absent"));
    EXPECT_EQ(2, map->count);
    std::string probe = "a";  // a different pointer than the stored key
    char* value = static_cast<char*>(HashMapRemove(map, probe.c_str()));
    ASSERT_NE(nullptr, value);
    EXPECT_STREQ("value-a", value);
    std::free(value);
    EXPECT_EQ(1, map->count);
    EXPECT_EQ(nullptr, HashMapGet(map, "a"));
    EXPECT_EQ(Count(7), HashMapGet(map, "b"));
    FreeHashMap(map, 0);
}

TEST(HashMap, KeysFollowBucketThenInsertionOrder) {
    HashMap* map = NewTextMap();
    EXPECT_EQ(nullptr, HashMapKeys(map));
    int next = 0;
    std::string firstIn2 = KeyInBucket(2, 15, &next);
    std::string in0 = KeyInBucket(0, 15, &next);
    std::string secondIn2 = KeyInBucket(2, 15, &next);
    HashMapReplace(map, CopyString(firstIn2.c_str()), nullptr);
    HashMapReplace(map, CopyString(in0.c_str()), nullptr);
    HashMapReplace(map, CopyString(secondIn2.c_str()), nullptr);
    EXPECT_EQ((std::vector<std::string>{in0, firstIn2, secondIn2}), Keys(map));
    FreeHashMap(map, 0);
}

TEST(HashMap, GrowthKeepsRelativeOrderWithinANewBucket) {
    // Keys that share a bucket before and after doubling stay in insertion
    // order; the rewriting order of a run depends on this.
    HashMap* map = NewHashMap(&STRING_KEYS, 4, 0.75f);
    int next = 0;
    std::vector<std::string> sameBucket;
    while (sameBucket.size() < 3) sameBucket.push_back(KeyInBucket(5, 7, &next));
    for (const std::string& key : sameBucket) HashMapReplace(map, CopyString(key.c_str()), nullptr);
    EXPECT_EQ(8, map->capacity);
    std::vector<std::string> keys = Keys(map);
    EXPECT_EQ(sameBucket, keys);
    FreeHashMap(map, 0);
}

TEST(HashMap, ClearOwnsKeysAndValuesOnlyForStringMaps) {
    HashMap* strings = NewStringHashMap(&STRING_KEYS_AND_VALUES);
    HashMapReplace(strings, CopyString("u1"), CopyString("path1"));
    HashMapReplace(strings, CopyString("u2"), CopyString(""));
    HashMapReplace(strings, CopyString("u3"), nullptr);
    HashMapClear(strings, 1);  // ASan reports any leak or double free
    EXPECT_EQ(0, strings->count);
    EXPECT_EQ(16, strings->capacity);
    EXPECT_EQ(nullptr, HashMapKeys(strings));
    FreeHashMap(strings, 1);

    // A map of another kind owns neither keys nor values, even when asked.
    HashMap* ints = NewHashMap(&INT_KEYS, 4, 0.75f);
    char key[] = "stack key";
    char value[] = "stack value";
    HashMapReplace(ints, key, value);
    HashMapClear(ints, 1);
    EXPECT_STREQ("stack key", key);
    FreeHashMap(ints, 1);
}

// Ownership is the type's, never inferred from the equality function: a
// string-keyed map whose type owns no values releases none even when asked,
// and a map that owns no keys releases no key when an entry is removed.
TEST(HashMap, OwnershipIsWrittenInTheType) {
    HashMap* counts = NewStringHashMap(&STRING_KEYS);
    char value[] = "stack value";
    HashMapReplace(counts, CopyString("host:80"), value);
    HashMapClear(counts, true);  // ASan reports a free of the stack value
    EXPECT_STREQ("stack value", value);
    FreeHashMap(counts, true);

    HashMap* borrowed = NewStringHashMap(&BORROWED_STRING_KEYS);
    char key[] = "borrowed key";
    HashMapReplace(borrowed, key, Count(1));
    EXPECT_EQ(Count(1), HashMapRemove(borrowed, "borrowed key"));
    EXPECT_STREQ("borrowed key", key);  // not released
    EXPECT_EQ(0, borrowed->count);
    FreeHashMap(borrowed, false);
}

// Against a model of a table chained by StringHash: random puts and removes
// of keys that collide in StringHash ("Aa" and "BB" blocks) and of others;
// every lookup answers, and the keys come in bucket then insertion order.
TEST(HashMap, CollidingKeysAgreeWithAChainedModel) {
    HashMap* map = NewHashMap(&STRING_KEYS, 2, 0.75f);
    std::vector<std::string> model;  // insertion order
    unsigned state = 99;
    for (int step = 0; step < 4000; ++step) {
        state = state * 1103515245U + 12345U;
        std::string key = (state >> 20) % 3 == 0 ? "k" + std::to_string(state >> 24) : "";
        for (int block = 0; key.empty() && block < 8; ++block) key += ((state >> (8 + block)) & 1) ? "Aa" : "BB";
        auto at = std::find(model.begin(), model.end(), key);
        if ((state >> 16) % 4 == 0 && at != model.end()) {
            EXPECT_EQ(Count(7), HashMapRemove(map, key.c_str()));
            model.erase(at);
        } else if (at == model.end()) {
            EXPECT_EQ(nullptr, HashMapReplace(map, CopyString(key.c_str()), Count(7)));
            model.push_back(key);
        }
        bool present = std::find(model.begin(), model.end(), key) != model.end();
        EXPECT_EQ(present ? Count(7) : nullptr, HashMapGet(map, key.c_str())) << key;
    }
    const uint32_t mask = static_cast<uint32_t>(map->capacity - 1);
    std::stable_sort(model.begin(), model.end(), [mask](const std::string& a, const std::string& b) {
        return (StringHash(a.c_str()) & mask) < (StringHash(b.c_str()) & mask);
    });
    EXPECT_EQ(model, Keys(map));
    EXPECT_EQ(static_cast<int32_t>(model.size()), map->count);
    FreeHashMap(map, false);
}
