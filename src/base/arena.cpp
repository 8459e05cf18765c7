#include "base/arena.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/memory.h"

namespace {

const size_t BLOCK_BYTES = 64 * 1024;

}  // namespace

struct ArenaBlock {
    ArenaBlock* previous;
    alignas(std::max_align_t) char data[1];  // the block's bytes follow
};

void* ArenaAllocate(Arena* arena, size_t bytes, size_t alignment) {
    if (bytes == 0) bytes = 1;
    size_t padding = (alignment - reinterpret_cast<uintptr_t>(arena->next) % alignment) % alignment;
    if (arena->blocks == nullptr || padding + bytes > arena->left) {
        // A request over a quarter block gets a block of its own size.
        // What is left of the current block is given up: less than the
        // request, so at most a quarter block, unless the request is a
        // large one (a title of many thousand bytes, rare).
        size_t size = bytes > BLOCK_BYTES / 4 ? bytes : BLOCK_BYTES;
        ArenaBlock* block = static_cast<ArenaBlock*>(Allocate(offsetof(ArenaBlock, data) + size));
        block->previous = arena->blocks;
        arena->blocks = block;
        arena->next = block->data;
        arena->left = size;
        padding = 0;
    }
    char* carved = arena->next + padding;
    arena->next = carved + bytes;
    arena->left -= padding + bytes;
    std::memset(carved, 0, bytes);
    return carved;
}

void ClearArena(Arena* arena) {
    for (ArenaBlock* block = arena->blocks; block != nullptr;) {
        ArenaBlock* previous = block->previous;
        std::free(block);
        block = previous;
    }
    *arena = Arena{nullptr, nullptr, 0};
}
