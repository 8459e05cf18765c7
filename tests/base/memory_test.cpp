#include "base/memory.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/failing_allocator.h"
#include "util/front_end.h"

TEST(Memory, AllocationsAreUsable) {
    char* block = static_cast<char*>(Allocate(0));  // a block all the same
    ASSERT_NE(nullptr, block);
    std::free(block);

    unsigned char* zeroed = static_cast<unsigned char*>(AllocateZeroed(64, 4));
    for (int i = 0; i < 256; ++i) EXPECT_EQ(0, zeroed[i]);
    std::memcpy(zeroed, "kept", 4);
    zeroed = static_cast<unsigned char*>(Reallocate(zeroed, 100000));
    EXPECT_EQ(0, std::memcmp(zeroed, "kept", 4));
    std::free(zeroed);
}

#if GTEST_HAS_DEATH_TEST && !defined(_WIN32)

namespace {

// What the front ends' handlers do: say why, then end with the code.
void SayWhyAndEnd(size_t bytes) {
    char text[256];
    FormatOutOfMemoryMessage(bytes, text, sizeof text);
    std::fprintf(stderr, "%s\n", text);
    std::exit(EXIT_OUT_OF_MEMORY);
}

void ReturnAnyway(size_t) {}

}  // namespace

// Out of memory the process ends through the front end's handler, with a
// message that says why; it never hands the caller a null block.  Without
// a handler, or with one that returns, the process aborts.
TEST(MemoryDeathTest, FailedAllocationEndsThroughTheHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SetOutOfMemoryHandler(SayWhyAndEnd);
            FailNextAllocation();
            Allocate(16);
        },
        ::testing::ExitedWithCode(EXIT_OUT_OF_MEMORY & 0xFF), "out of memory");
    EXPECT_EXIT(
        {
            SetOutOfMemoryHandler(SayWhyAndEnd);
            FailNextAllocation();
            Reallocate(nullptr, 16);
        },
        ::testing::ExitedWithCode(EXIT_OUT_OF_MEMORY & 0xFF), "out of memory");
    // A product that does not fit size_t is memory the system cannot give.
    EXPECT_EXIT(
        {
            SetOutOfMemoryHandler(SayWhyAndEnd);
            AllocateZeroed(SIZE_MAX / 2, 4);
        },
        ::testing::ExitedWithCode(EXIT_OUT_OF_MEMORY & 0xFF), "out of memory");
    for (OutOfMemoryHandler handler : {static_cast<OutOfMemoryHandler>(nullptr), ReturnAnyway}) {
        EXPECT_EXIT(
            {
                SetOutOfMemoryHandler(handler);
                FailNextAllocation();
                Allocate(16);
            },
            ::testing::KilledBySignal(SIGABRT), "");
    }
}

#endif
