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

TEST(Recovery, TraverseTime) {
  // 300 rpm on a 512-pulse encoder with a linear slope of b nm per step runs
  // at b * 10240 nm/s; choose b so that a 20 nm range takes 7.9 s.
  double b = 20 / (7.9 * 10240);
  double seconds = 0;
  ASSERT_TRUE(traverse_seconds(0, b, 0, 512, 790, 770, seconds));
  EXPECT_NEAR(seconds, 7.9, 1e-12);
  EXPECT_EQ(static_cast<long long>(seconds) * 1000 * 2, 14000);

  ASSERT_TRUE(traverse_seconds(0, b * 10, 0, 512, 790, 770, seconds));
  EXPECT_EQ(static_cast<long long>(seconds), 0);

  // The quadratic term counts at the middle position; a falling model gives
  // a negative time.
  ASSERT_TRUE(traverse_seconds(1e-9, -0.0005, 1000, 512, 800, 760, seconds));
  EXPECT_DOUBLE_EQ(seconds, 40 / (300 * (2 * 1e-9 * 1000 - 0.0005) / 60 * 2048));
  EXPECT_LT(seconds, 0);
}

TEST(Recovery, StandingModelIsReported) {
  double seconds = 1;
  EXPECT_FALSE(traverse_seconds(0, 0, 0, 512, 790, 770, seconds));
  EXPECT_FALSE(traverse_seconds(1e-9, 0.001, 5e5 * -1, 512, 790, 770, seconds));  // slope 0 at the middle
  EXPECT_FALSE(traverse_seconds(0, 0.001, 0, 0, 790, 770, seconds));              // no encoder
}
