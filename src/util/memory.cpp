#include "util/memory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "util/front_end.h"
#include "texts/texts.h"

namespace {


std::atomic<bool> failNext{false};
// Set by the first failure: a failure while that one is being reported
// (showing the box needs memory too) aborts at once.
std::atomic<bool> ending{false};

[[noreturn]] void EndForLackOfMemory(size_t bytes) {
    if (ending.exchange(true)) std::abort();
    char text[256];
    std::snprintf(text, sizeof text, FORMAT_OUT_OF_MEMORY, static_cast<unsigned long>(bytes));
    ShowMessage(text, CAPTION_ERROR, MESSAGE_OK | MESSAGE_ICON_ERROR);
    EndProcess(EXIT_OUT_OF_MEMORY);
    std::abort();  // EndProcess returned (a test's front end)
}

bool FailingForTests() { return failNext.load(std::memory_order_relaxed) && failNext.exchange(false); }

}  // namespace

void* Allocate(size_t bytes) {
    if (bytes == 0) bytes = 1;
    void* block = FailingForTests() ? nullptr : std::malloc(bytes);
    if (block == nullptr) EndForLackOfMemory(bytes);
    return block;
}

void* AllocateZeroed(size_t count, size_t size) {
    if (count == 0 || size == 0) count = size = 1;
    if (count > static_cast<size_t>(-1) / size) EndForLackOfMemory(static_cast<size_t>(-1));
    void* block = FailingForTests() ? nullptr : std::calloc(count, size);
    if (block == nullptr) EndForLackOfMemory(count * size);
    return block;
}

void* Reallocate(void* block, size_t bytes) {
    if (bytes == 0) bytes = 1;
    void* moved = FailingForTests() ? nullptr : std::realloc(block, bytes);
    if (moved == nullptr) EndForLackOfMemory(bytes);
    return moved;
}

void FailNextAllocationForTests() { failNext = true; }
