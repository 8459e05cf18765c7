#include "support/failing_allocator.h"

#include <atomic>

#include "base/memory.h"

namespace {

std::atomic<bool> failNext{false};

bool Failing() { return failNext.exchange(false); }

void* FailingAllocate(size_t bytes) { return Failing() ? nullptr : SystemAllocator()->allocate(bytes); }
void* FailingAllocateZeroed(size_t count, size_t size) {
    return Failing() ? nullptr : SystemAllocator()->allocateZeroed(count, size);
}
void* FailingReallocate(void* block, size_t bytes) {
    return Failing() ? nullptr : SystemAllocator()->reallocate(block, bytes);
}

const Allocator FAILING_ALLOCATOR = {FailingAllocate, FailingAllocateZeroed, FailingReallocate};

}  // namespace

void FailNextAllocation() {
    SetAllocator(&FAILING_ALLOCATOR);
    failNext = true;
}
