// An allocator layer (base/memory.h) that fails the next allocation, as a
// system with no memory left would, and passes every other call on.
#pragma once

// Installs the layer and arms it for one failure.
void FailNextAllocation();
