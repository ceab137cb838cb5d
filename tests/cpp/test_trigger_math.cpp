#include <gtest/gtest.h>

#include <cmath>

#include "trigger/compare_math.h"

using namespace vostel::core;

TEST(TriggerMath, SlopeMakesTheLinearPartPositive) {
  // A falling calibration (B < 0) with drive sign -1 gives the same slope as
  // the rising one with sign +1.
  EXPECT_EQ(trigger_slope(1e-8, -0.0001, 10000, -1), trigger_slope(1e-8, 0.0001, 10000, 1));
  EXPECT_DOUBLE_EQ(trigger_slope(1e-8, 0.0001, 10000, 1), 0.0003);
  EXPECT_EQ(trigger_slope(0, 0.0005, 123456, 0), 0.0);
}

TEST(TriggerMath, IntervalInSteps) {
  double steps = 0;
  ASSERT_TRUE(interval_steps(0.5, 0.0001, steps));
  EXPECT_EQ(std::trunc(steps), 5000);
  ASSERT_TRUE(interval_steps(0.25, trigger_slope(1e-8, 0.0001, 10000, 1), steps));
  EXPECT_EQ(std::trunc(steps), 833);
  ASSERT_TRUE(interval_steps(-0.25, 0.0003, steps));
  EXPECT_EQ(std::trunc(steps), -833);
}

TEST(TriggerMath, ZeroSlopeIsReportedNotDivided) {
  double steps = 42;
  EXPECT_FALSE(interval_steps(0.5, 0.0, steps));
  EXPECT_FALSE(interval_steps(0.5, -0.0, steps));
  EXPECT_EQ(steps, 42);
}
