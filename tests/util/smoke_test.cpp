#include <gtest/gtest.h>
#include "util/strings.h"
TEST(Smoke, Works) { EXPECT_EQ(1, StringEquals("a", "a")); }
