// Process liveness on each system: this process runs, ids no process can
// have do not (a process that ended: the image library's claim tests).
#include "platform/process.h"

#include <gtest/gtest.h>

TEST(ProcessTest, OwnProcessRunsAndImpossibleIdsDoNot) {
    EXPECT_GT(CurrentProcessId(), 0);
    EXPECT_EQ(IsProcessRunning(CurrentProcessId()), 1);
    EXPECT_EQ(IsProcessRunning(0), 0);
    EXPECT_EQ(IsProcessRunning(-1), 0);
}
