#include "base/vector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/strings.h"

namespace {

void* Tag(intptr_t n) { return reinterpret_cast<void*>(n); }

int SameTag(const void* item, const void* key) { return item == key; }

}  // namespace

TEST(Vector, NonPositiveSizesFallBackToTen) {
    Vector* a = NewVector(0, 0);
    Vector* b = NewVector(-5, -1);
    EXPECT_EQ(10, a->capacity);
    EXPECT_EQ(10, a->growBy);
    EXPECT_EQ(10, b->capacity);
    EXPECT_EQ(10, b->growBy);
    EXPECT_EQ(0, a->count);
    FreeVector(a, 0);
    FreeVector(b, 0);
}

TEST(Vector, GrowsAndKeepsOrder) {
    // How much it grows is its own affair; callers see every item kept, in order.
    Vector* vector = NewVector(3, 2);
    for (intptr_t i = 1; i <= 1000; ++i) EXPECT_EQ(i, VectorPush(vector, Tag(i)));
    EXPECT_GE(vector->capacity, vector->count);
    for (int32_t i = 0; i < 1000; ++i) EXPECT_EQ(Tag(i + 1), VectorGet(vector, i));
    FreeVector(vector, 0);
}

TEST(Vector, InsertClampsToTheEnds) {
    Vector* vector = NewVector(2, 1);
    VectorPush(vector, Tag(2));
    EXPECT_EQ(1, VectorInsertAt(vector, -3, Tag(1)));
    EXPECT_EQ(1, VectorInsertAt(vector, vector->count + 7, Tag(4)));
    EXPECT_EQ(1, VectorInsertAt(vector, 2, Tag(3)));  // middle insert while full grows first
    ASSERT_EQ(4, vector->count);
    for (int32_t i = 0; i < 4; ++i) EXPECT_EQ(Tag(i + 1), VectorGet(vector, i));
    FreeVector(vector, 0);
}

TEST(Vector, OutOfRangeAccessChangesNothing) {
    Vector* vector = NewDefaultVector();
    VectorPush(vector, Tag(1));
    VectorPush(vector, Tag(2));
    EXPECT_EQ(nullptr, VectorGet(vector, -1));
    EXPECT_EQ(nullptr, VectorGet(vector, 2));
    EXPECT_EQ(nullptr, VectorRemoveAt(vector, vector->count));
    VectorSet(vector, 2, Tag(9));
    VectorSet(vector, -1, Tag(9));
    EXPECT_EQ(2, vector->count);
    EXPECT_EQ(Tag(2), VectorGet(vector, 1));
    FreeVector(vector, 0);
}

TEST(Vector, RemovalShiftsDownAndClearsTheOldLastSlot) {
    Vector* vector = NewDefaultVector();
    for (intptr_t i = 1; i <= 4; ++i) VectorPush(vector, Tag(i));
    EXPECT_EQ(Tag(2), VectorRemoveAt(vector, 1));
    EXPECT_EQ(nullptr, vector->items[3]);
    EXPECT_EQ(3, vector->count);
    EXPECT_EQ(Tag(3), VectorGet(vector, 1));
    EXPECT_EQ(1, VectorRemoveFirst(vector, Tag(3), SameTag));
    EXPECT_EQ(-1, VectorRemoveFirst(vector, Tag(3), SameTag));
    EXPECT_EQ(nullptr, vector->items[2]);
    EXPECT_EQ(2, vector->count);
    FreeVector(vector, 0);
}

TEST(Vector, SearchesFromBothEnds) {
    Vector* vector = NewDefaultVector();
    char a1[] = "a", b[] = "b", a2[] = "a";
    VectorPush(vector, a1);
    VectorPush(vector, b);
    VectorPush(vector, a2);
    EXPECT_EQ(0, VectorIndexOf(vector, "a", StringEquals));
    EXPECT_EQ(2, VectorLastIndexOf(vector, "a", StringEquals));
    EXPECT_EQ(-1, VectorIndexOf(vector, "c", StringEquals));
    EXPECT_EQ(-1, VectorLastIndexOf(vector, "c", StringEquals));
    EXPECT_EQ(1, VectorContains(vector, "b", StringEquals));
    EXPECT_EQ(0, VectorContains(vector, "c", StringEquals));
    FreeVector(vector, 0);
}

TEST(Vector, ClearReleasesItemsOnlyWhenAsked) {
    Vector* vector = NewDefaultVector();
    char* kept = CopyString("kept");
    VectorPush(vector, kept);
    VectorPush(vector, nullptr);  // a null item is skipped, not freed
    VectorClear(vector, 0);
    EXPECT_EQ(0, vector->count);
    EXPECT_EQ(10, vector->capacity);
    EXPECT_STREQ("kept", kept);  // still the caller's
    VectorPush(vector, kept);
    VectorPush(vector, nullptr);
    VectorClear(vector, 1);  // ASan would report a leak or double free here
    EXPECT_EQ(0, vector->count);
    FreeVector(vector, 1);
}

TEST(Vector, UniqueStringPushKeepsFirstSeenOrder) {
    Vector* vector = NewVector(2, 2);
    EXPECT_EQ(1, VectorPushUniqueString(vector, CopyString("x")));
    EXPECT_EQ(1, VectorPushUniqueString(vector, CopyString("y")));
    char* again = CopyString("x");
    EXPECT_EQ(0, VectorPushUniqueString(vector, again));
    std::free(again);
    ASSERT_EQ(2, vector->count);
    EXPECT_STREQ("x", static_cast<char*>(VectorGet(vector, 0)));
    EXPECT_STREQ("y", static_cast<char*>(VectorGet(vector, 1)));
    FreeVector(vector, 1);
}
