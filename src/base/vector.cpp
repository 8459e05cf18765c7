#include "base/vector.h"

#include <cstdlib>
#include <cstring>

#include "base/memory.h"
#include "base/strings.h"

namespace {

const int32_t DEFAULT_VECTOR_SLOTS = 10;

void** AllocateSlots(int32_t capacity) {
    return static_cast<void**>(AllocateZeroed(static_cast<size_t>(capacity), sizeof(void*)));
}

// The slot array is allocated on the first store, so the many lists that
// stay empty (an item without images) cost no slots.  A full array grows by
// at least its own size, so n pushes copy fewer than 2n pointers however
// small `growBy` is.
void GrowIfFull(Vector* vector) {
    if (vector->items == nullptr) {
        vector->items = AllocateSlots(vector->capacity);
        return;
    }
    if (vector->count < vector->capacity) return;
    int32_t step = vector->capacity > vector->growBy ? vector->capacity : vector->growBy;
    if (step > INT32_MAX - vector->capacity) step = INT32_MAX - vector->capacity;
    int32_t newCapacity = vector->capacity + step;
    void** slots = AllocateSlots(newCapacity);
    if (vector->count > 0) {
        std::memcpy(slots, vector->items, static_cast<size_t>(vector->count) * sizeof(void*));
    }
    std::free(vector->items);
    vector->items = slots;
    vector->capacity = newCapacity;
}

// Removes slot `index` (known to be in range) and returns its item.
void* RemoveSlot(Vector* vector, int32_t index) {
    void* item = vector->items[index];
    for (int32_t i = index; i < vector->count - 1; ++i) vector->items[i] = vector->items[i + 1];
    vector->items[vector->count - 1] = nullptr;
    --vector->count;
    return item;
}

}  // namespace

void InitVector(Vector* vector, int32_t initialCapacity, int32_t growBy) {
    vector->capacity = initialCapacity > 0 ? initialCapacity : DEFAULT_VECTOR_SLOTS;
    vector->growBy = growBy > 0 ? growBy : DEFAULT_VECTOR_SLOTS;
    vector->count = 0;
    vector->items = nullptr;  // see GrowIfFull
}

Vector* NewVector(int32_t initialCapacity, int32_t growBy) {
    Vector* vector = static_cast<Vector*>(AllocateZeroed(1, sizeof(Vector)));
    InitVector(vector, initialCapacity, growBy);
    return vector;
}

Vector* NewDefaultVector() { return NewVector(DEFAULT_VECTOR_SLOTS, DEFAULT_VECTOR_SLOTS); }

int32_t VectorPush(Vector* vector, void* item) {
    GrowIfFull(vector);
    vector->items[vector->count++] = item;
    return vector->count;
}

int VectorInsertAt(Vector* vector, int32_t index, void* item) {
    if (index < 0) index = 0;
    if (index >= vector->count) {
        VectorPush(vector, item);
        return 1;
    }
    GrowIfFull(vector);
    for (int32_t i = vector->count; i > index; --i) vector->items[i] = vector->items[i - 1];
    vector->items[index] = item;
    ++vector->count;
    return 1;
}

void* VectorGet(const Vector* vector, int32_t index) {
    if (index < 0 || index >= vector->count) return nullptr;
    return vector->items[index];
}

void VectorSet(Vector* vector, int32_t index, void* item) {
    if (index < 0 || index >= vector->count) return;
    vector->items[index] = item;
}

int32_t VectorIndexOf(const Vector* vector, const void* key, MatchFn match) {
    for (int32_t i = 0; i < vector->count; ++i) {
        if (match(vector->items[i], key)) return i;
    }
    return -1;
}

int32_t VectorLastIndexOf(const Vector* vector, const void* key, MatchFn match) {
    for (int32_t i = vector->count - 1; i >= 0; --i) {
        if (match(vector->items[i], key)) return i;
    }
    return -1;
}

int VectorContains(const Vector* vector, const void* key, MatchFn match) {
    return VectorIndexOf(vector, key, match) >= 0 ? 1 : 0;
}

int32_t VectorRemoveFirst(Vector* vector, const void* key, MatchFn match) {
    int32_t index = VectorIndexOf(vector, key, match);
    if (index >= 0) RemoveSlot(vector, index);
    return index;
}

void* VectorRemoveAt(Vector* vector, int32_t index) {
    if (index < 0 || index >= vector->count) return nullptr;
    return RemoveSlot(vector, index);
}

void VectorClear(Vector* vector, bool freeItems) {
    for (int32_t i = 0; i < vector->count; ++i) {
        if (freeItems && vector->items[i] != nullptr) std::free(vector->items[i]);
        vector->items[i] = nullptr;
    }
    vector->count = 0;
}

void FreeVector(Vector* vector, bool freeItems) {
    if (vector == nullptr) return;
    VectorClear(vector, freeItems);
    std::free(vector->items);
    std::free(vector);
}

int VectorPushUniqueString(Vector* vector, char* text) {
    if (VectorContains(vector, text, StringEquals)) return 0;
    VectorPush(vector, text);
    return 1;
}
