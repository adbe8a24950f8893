// Counter ticks to milliseconds.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

TEST(ElapsedMilliseconds, ConvertsCounterTicks) {
  EXPECT_DOUBLE_EQ(0.5, platform::elapsedMilliseconds(1000, 1500, 1000000));
  EXPECT_DOUBLE_EQ(2000.0, platform::elapsedMilliseconds(0, 2000000000, 1000000000));
  EXPECT_DOUBLE_EQ(0.0, platform::elapsedMilliseconds(7, 7, 3));
}

}  // namespace
