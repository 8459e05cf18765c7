#include "util/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/recording_front_end.h"

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

// Out of memory the process ends through the front end, with a message
// that says why; it never hands the caller a null block.
TEST(MemoryDeathTest, FailedAllocationEndsTheProcessWithAMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FailNextAllocationForTests();
            Allocate(16);
        },
        ::testing::ExitedWithCode(EXIT_OUT_OF_MEMORY & 0xFF), "out of memory");
    EXPECT_EXIT(
        {
            FailNextAllocationForTests();
            Reallocate(nullptr, 16);
        },
        ::testing::ExitedWithCode(EXIT_OUT_OF_MEMORY & 0xFF), "out of memory");
    // A product that does not fit size_t is memory the system cannot give.
    EXPECT_EXIT(AllocateZeroed(SIZE_MAX / 2, 4), ::testing::ExitedWithCode(EXIT_OUT_OF_MEMORY & 0xFF),
                "out of memory");
}

TEST(MemoryDeathTest, FrontEndThatDoesNotEndStillGetsNoNull) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            RecordingFrontEnd frontEnd;  // its EndProcess returns
            FailNextAllocationForTests();
            Allocate(16);
        },
        "");
}

#endif
