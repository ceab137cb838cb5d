#include <gtest/gtest.h>

#include <cmath>

#include "trigger/compare_math.h"

using namespace vostel::core;

TEST(TriggerMath, SlopeMakesTheLinearPartPositive) {
  // A falling calibration (B < 0) with drive sign -1 gives the same slope as
  // the rising one with sign +1.
  EXPECT_EQ(trigger_slope(1e-8, -0.0001, 10000, -1).as_double(), trigger_slope(1e-8, 0.0001, 10000, 1).as_double());
  EXPECT_DOUBLE_EQ(trigger_slope(1e-8, 0.0001, 10000, 1).as_double(), 0.0003);
  EXPECT_EQ(trigger_slope(0, 0.0005, 123456, 0).as_double(), 0.0);
  // All-integer operands give an exact integer slope.
  EXPECT_TRUE(trigger_slope(3, 5, 7, -1).is_int());
  EXPECT_EQ(trigger_slope(3, 5, 7, -1).int_value(), 37);
}

TEST(TriggerMath, IntervalFitsTheSixteenBitField) {
  // Widths are truncated toward zero: 65535.9 steps are sent as 65535.
  for (double steps : {1.0, 1.5, 833.3, 65535.0, 65535.9}) EXPECT_TRUE(interval_fits(steps)) << steps;
  for (double steps : {0.0, 0.999, -0.5, -1.0, -833.0, 65536.0, 1e21, HUGE_VAL, -HUGE_VAL, std::nan("")})
    EXPECT_FALSE(interval_fits(steps)) << steps;
}
