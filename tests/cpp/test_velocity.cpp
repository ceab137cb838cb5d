// Speed profile between nm/s (nm/s^2) and rpm (rpm/s).
#include <gtest/gtest.h>

#include "motion/velocity_math.h"

using namespace vostel::core;

TEST(Velocity, SlopesWeightTheQuadraticTermDifferently) {
  Slopes s = slopes(3e-9, 0.001, 1000);
  EXPECT_DOUBLE_EQ(s.kv, 0.001006);
  EXPECT_DOUBLE_EQ(s.ka, 0.001002);
  Slopes flat = slopes(0.0, 0.001, 1000);
  EXPECT_EQ(flat.kv, flat.ka);
}

TEST(Velocity, ToMotorUnitsInTheFixedOrder) {
  // k = 2^-10 nm per count, E = 500 pulses: 1 nm/s = 1024 counts/s = 30.72 rpm.
  const double k = 1.0 / 1024;
  double out = 0;
  ASSERT_TRUE(to_motor_units(1.0, k, 500, 1, out));
  EXPECT_EQ(out, 61440.0 / 2000);
  ASSERT_TRUE(to_motor_units(1.0, k, 500, -1, out));
  EXPECT_EQ(out, -61440.0 / 2000);
  // The factory-like case: negative slope and negative direction give a positive speed.
  ASSERT_TRUE(to_motor_units(0.5, -0.0005, 512, -1, out));
  EXPECT_DOUBLE_EQ(out, 0.5 / 0.0005 * 60 / 2048);
}

TEST(Velocity, DivisionByZeroIsReportedNotEvaluated) {
  double out = 42;
  EXPECT_FALSE(to_motor_units(1.0, 0.0, 512, 1, out));
  EXPECT_FALSE(to_motor_units(1.0, 0.001, 0, 1, out));
  EXPECT_EQ(out, 42);
}

TEST(Velocity, BackToWavelengthInvertsTheConversion) {
  const double kv = -0.00049, ka = -0.00049666, E = 512, s = -1;
  double v = 0, a = 0;
  ASSERT_TRUE(to_motor_units(2.5, kv, E, s, v));
  ASSERT_TRUE(to_motor_units(7.0, ka, E, s, a));
  EXPECT_DOUBLE_EQ(velocity_to_wavelength(v, kv, E, s), 2.5);
  EXPECT_DOUBLE_EQ(acceleration_to_wavelength(a, ka, E, s), 7.0);
  EXPECT_EQ(velocity_to_wavelength(30.72, 1.0 / 1024, 500, 1), 30.72 / 1024 / 60 * 2000);
  EXPECT_EQ(acceleration_to_wavelength(0.0, ka, E, s), 0.0);
}

TEST(Velocity, LimitsInOrder) {
  Limits l{0.0, 4900.0, 0.01, 4900.0};
  double v = 5000, a = -0.5, b = 1e9;
  clamp_profile(l, v, a, b);
  EXPECT_EQ(v, 4900.0);
  EXPECT_EQ(a, 0.01);
  EXPECT_EQ(b, 4900.0);
  v = -0.5;
  a = 12.9;
  b = 0.0;
  clamp_profile(l, v, a, b);
  EXPECT_EQ(v, 0.0);
  EXPECT_EQ(a, 12.9);
  EXPECT_EQ(b, 0.01);
}
