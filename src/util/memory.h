// Memory for the core: allocations that never return null.
//
// When the system cannot give the memory asked for, there is no sensible
// way on: the process ends through the front end, after an error box that
// says so ("内存不足…(out of memory)"), with exit code -1, as after a failed
// start-up or thread start (see front_end.h).  If a front end's EndProcess returns (a test's), the process
// aborts: a caller of these functions cannot go on without its memory.
// Every allocation of the core goes through them, unless a failure there has
// a result of its own (the package reader's and writer's large buffers
// fail their operation instead).
#pragma once

#include <cstddef>

// malloc(3) of `bytes` (at least one byte, so 0 gets a block too).
void* Allocate(size_t bytes);
// calloc(3): `count` zeroed elements of `size` bytes; an overflowing product
// counts as memory the system cannot give.
void* AllocateZeroed(size_t count, size_t size);
// realloc(3) of `block` (null: a new block) to `bytes` (at least one).
void* Reallocate(void* block, size_t bytes);

// The process exit code after a failed allocation.
const int EXIT_OUT_OF_MEMORY = -1;

// Test seam: the next allocation fails as if the system had no memory left.
void FailNextAllocationForTests();
