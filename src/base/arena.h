// Arena: many small blocks of memory carved from a few large ones and
// released all at once, for records that live and die together (the items
// of a package).  A carved block costs its bytes and its alignment, nothing
// for the allocator's bookkeeping.
#pragma once

#include <cstddef>

struct ArenaBlock;

struct Arena {
    ArenaBlock* blocks;  // the newest first; null while nothing is carved
    char* next;          // the next free byte of the newest block
    size_t left;         // free bytes from `next` on
};

// `bytes` (at least one) aligned to `alignment` (a power of two up to
// alignof(max_align_t)), zero-filled; ends the process when no memory is
// left (memory.h).
void* ArenaAllocate(Arena* arena, size_t bytes, size_t alignment);
// Releases every block; the arena is then empty and can be used again.
void ClearArena(Arena* arena);
