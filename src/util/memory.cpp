#include "util/memory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "util/front_end.h"

namespace {

const char FORMAT_OUT_OF_MEMORY[] =
    "\xc4\xda\xb4\xe6\xb2\xbb\xd7\xe3\xa3\xba\xce\xde\xb7\xa8\xb7\xd6\xc5\xe4 %lu \xd7\xd6\xbd\xda\xa3\xac\xb3\xcc"
    "\xd0\xf2\xce\xde\xb7\xa8\xbc\xcc\xd0\xf8\xd4\xcb\xd0\xd0\xa1\xa3(out of memory)";  // 内存不足：无法分配 %lu 字节，程序无法继续运行。(out of memory)

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
