// Memory for the core: allocations that never return null.
//
// When the system cannot give the memory asked for, there is no sensible
// way on: the front end's out-of-memory handler says so and ends the
// process (Karvelo.exe after an error box "内存不足…(out of memory)" with
// EXIT_OUT_OF_MEMORY, the command line as after any fatal error).  With no
// handler installed, or one that returns, the process aborts: a caller of
// these functions cannot go on without its memory.  Every allocation of the
// core goes through them, unless a failure there has a result of its own
// (the package reader's and writer's large buffers fail their operation
// instead).
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

// Where the functions above get their blocks; each returns null when it has
// none to give.  Blocks are freed with free(3), so a layer passes its calls
// on to the system's (SystemAllocator), as a test's layer that fails a call
// does.
struct Allocator {
    void* (*allocate)(size_t bytes);
    void* (*allocateZeroed)(size_t count, size_t size);
    void* (*reallocate)(void* block, size_t bytes);
};
// malloc, calloc and realloc.
const Allocator* SystemAllocator();
// Installs `allocator` (null: the system's) while no other thread allocates.
void SetAllocator(const Allocator* allocator);

// Called once, on the thread whose allocation failed, with the bytes asked
// for; it ends the process.  A failure while it runs aborts at once.
typedef void (*OutOfMemoryHandler)(size_t bytes);
// Installs the front end's handler (null: none, the process aborts).
void SetOutOfMemoryHandler(OutOfMemoryHandler handler);
