// Vector: a growable array of untyped pointers.
//
// It grows by `growBy` slots or by its own size, whichever is more, into a
// freshly allocated slot array (no realloc, never shrinks); the array is
// allocated on the first store.  It stores the pointers it is given
// and never copies what they point at; whether the items are released is the
// caller's choice at clear/free time (`freeItems`).
#pragma once

#include <cstdint>

struct Vector {
    void** items;      // slots 0 .. count-1 are in use; null until the first store
    int32_t capacity;  // number of slots in `items`, always > 0
    int32_t growBy;    // the fewest slots added when the array is full, always > 0
    int32_t count;     // slots in use, 0 <= count <= capacity
};

// Predicate of the search operations: (item, caller's key) -> nonzero on match.
typedef int (*MatchFn)(const void* item, const void* key);

Vector* NewVector(int32_t initialCapacity, int32_t growBy);
// Makes `vector` (a Vector inside a larger record) empty with the given sizes.
void InitVector(Vector* vector, int32_t initialCapacity, int32_t growBy);
Vector* NewDefaultVector();

int32_t VectorPush(Vector* vector, void* item);
int VectorInsertAt(Vector* vector, int32_t index, void* item);
void* VectorGet(const Vector* vector, int32_t index);
void VectorSet(Vector* vector, int32_t index, void* item);
int32_t VectorIndexOf(const Vector* vector, const void* key, MatchFn match);
int32_t VectorLastIndexOf(const Vector* vector, const void* key, MatchFn match);
int VectorContains(const Vector* vector, const void* key, MatchFn match);
int32_t VectorRemoveFirst(Vector* vector, const void* key, MatchFn match);
void* VectorRemoveAt(Vector* vector, int32_t index);
void VectorClear(Vector* vector, bool freeItems);
void FreeVector(Vector* vector, bool freeItems);

// Appends `text` when no equal string is in the list yet; the list then owns
// it.  Returns 1 when appended, 0 when an equal string was already there (the
// caller still owns `text`).  This is how every address list keeps each
// address once, in first-seen order.
int VectorPushUniqueString(Vector* vector, char* text);
