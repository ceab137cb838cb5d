#include <gtest/gtest.h>

#include <cmath>

#include "motion/recovery_math.h"

using namespace vostel::core;

TEST(Recovery, DirectionTable) {
  for (long long screw : {1LL, 7LL}) {
    EXPECT_EQ(recovery_direction(screw, 1), -1);
    EXPECT_EQ(recovery_direction(screw, 2), 1);
  }
  for (long long screw : {0LL, -1LL}) {
    EXPECT_EQ(recovery_direction(screw, 1), 1);
    EXPECT_EQ(recovery_direction(screw, 2), -1);
  }
  // Any other word, both switches or further bits included, gives no direction.
  for (long long word : {0LL, 3LL, 5LL, 6LL, 0x101LL, -1LL})
    for (long long screw : {-1LL, 0LL, 1LL}) EXPECT_EQ(recovery_direction(screw, word), 0);
}

TEST(Recovery, HalfSpanRoundsHalfToEven) {
  EXPECT_EQ(half_span_steps(15, 10), 2);
  EXPECT_EQ(half_span_steps(10, 15), 2);
  EXPECT_EQ(half_span_steps(17, 10), 4);
  EXPECT_EQ(half_span_steps(-40000, 40000), 40000);
}

TEST(Recovery, WaitIsTwiceTheTraverseInWholeSeconds) {
  // 300 rpm on a 512-pulse encoder with a linear slope of b nm per step runs
  // at b * 10240 nm/s; choose b so that a 20 nm range takes 7.9 s.
  double b = 20 / (7.9 * 10240);
  double ms = 0;
  ASSERT_TRUE(recovery_wait_ms(0, b, 0, 512, 790, 770, ms));
  EXPECT_EQ(ms, 14000);
  // A falling model waits as long as the rising one of the same steepness.
  ASSERT_TRUE(recovery_wait_ms(0, -b, 0, 512, 790, 770, ms));
  EXPECT_EQ(ms, 14000);
  // The quadratic term counts at the middle position: slope -0.0003 at
  // position 100000, where 40 nm at 300 rpm take 13.02 s (7.81 s at 0).
  ASSERT_TRUE(recovery_wait_ms(1e-9, -0.0005, 100000, 512, 800, 760, ms));
  EXPECT_EQ(ms, 26000);
  ASSERT_TRUE(recovery_wait_ms(1e-9, -0.0005, 0, 512, 800, 760, ms));
  EXPECT_EQ(ms, 14000);
}

TEST(Recovery, WaitIsNeverZeroNorNegativeNorBeyondAnInt) {
  double b = 20 / (7.9 * 10240);
  double ms = 0;
  for (double factor : {10.0, -10.0, 1e6}) {  // traverses of 0.79 s and less
    ASSERT_TRUE(recovery_wait_ms(0, b * factor, 0, 512, 790, 770, ms));
    EXPECT_EQ(ms, kMinRecoveryWaitMs) << factor;
  }
  EXPECT_EQ(kMinRecoveryWaitMs, 2000);
  ASSERT_TRUE(recovery_wait_ms(0, b, 0, 512, 770, 790, ms));  // a range given the wrong way round
  EXPECT_EQ(ms, kMinRecoveryWaitMs);
  ASSERT_TRUE(recovery_wait_ms(0, 1e-15, 0, 512, 790, 770, ms));  // 62 years
  EXPECT_EQ(ms, 2147483647);
  ASSERT_TRUE(recovery_wait_ms(0, b, 0, 512, std::nan(""), 770, ms));
  EXPECT_TRUE(std::isnan(ms));
}

TEST(Recovery, StandingModelIsReported) {
  double ms = 1;
  EXPECT_FALSE(recovery_wait_ms(0, 0, 0, 512, 790, 770, ms));
  EXPECT_FALSE(recovery_wait_ms(1e-9, 0.001, 5e5 * -1, 512, 790, 770, ms));  // slope 0 at the middle
  EXPECT_FALSE(recovery_wait_ms(0, 0.001, 0, 0, 790, 770, ms));             // no encoder
}
