#include "base/memory.h"

#include <atomic>
#include <cstdlib>

namespace {

void* SystemAllocate(size_t bytes) { return std::malloc(bytes); }
void* SystemAllocateZeroed(size_t count, size_t size) { return std::calloc(count, size); }
void* SystemReallocate(void* block, size_t bytes) { return std::realloc(block, bytes); }

const Allocator SYSTEM_ALLOCATOR = {SystemAllocate, SystemAllocateZeroed, SystemReallocate};

std::atomic<const Allocator*> allocator{&SYSTEM_ALLOCATOR};
std::atomic<OutOfMemoryHandler> outOfMemoryHandler{nullptr};
// Set by the first failure: a failure while that one is being reported
// (showing the box needs memory too) aborts at once.
std::atomic<bool> ending{false};

[[noreturn]] void EndForLackOfMemory(size_t bytes) {
    OutOfMemoryHandler handler = outOfMemoryHandler.load();
    if (handler != nullptr && !ending.exchange(true)) handler(bytes);
    std::abort();  // no handler, or one that returned
}

}  // namespace

void* Allocate(size_t bytes) {
    if (bytes == 0) bytes = 1;
    void* block = allocator.load()->allocate(bytes);
    if (block == nullptr) EndForLackOfMemory(bytes);
    return block;
}

void* AllocateZeroed(size_t count, size_t size) {
    if (count == 0 || size == 0) count = size = 1;
    if (count > static_cast<size_t>(-1) / size) EndForLackOfMemory(static_cast<size_t>(-1));
    void* block = allocator.load()->allocateZeroed(count, size);
    if (block == nullptr) EndForLackOfMemory(count * size);
    return block;
}

void* Reallocate(void* block, size_t bytes) {
    if (bytes == 0) bytes = 1;
    void* moved = allocator.load()->reallocate(block, bytes);
    if (moved == nullptr) EndForLackOfMemory(bytes);
    return moved;
}

const Allocator* SystemAllocator() { return &SYSTEM_ALLOCATOR; }

void SetAllocator(const Allocator* layer) { allocator = layer != nullptr ? layer : &SYSTEM_ALLOCATOR; }

void SetOutOfMemoryHandler(OutOfMemoryHandler handler) { outOfMemoryHandler = handler; }
