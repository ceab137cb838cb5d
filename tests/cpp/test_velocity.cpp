// Speed profile between nm/s (nm/s^2) and rpm (rpm/s).
#include <gtest/gtest.h>

#include <cmath>

#include "motion/velocity_math.h"

using namespace vostel::core;

TEST(Velocity, SlopesWeightTheQuadraticTermDifferently) {
  EXPECT_DOUBLE_EQ(kv_of(3e-9, 0.001, 1000).as_double(), 0.001006);
  EXPECT_DOUBLE_EQ(ka_of(3e-9, 0.001, 1000).as_double(), 0.001002);
  EXPECT_EQ(kv_of(0.0, 0.001, 1000).as_double(), ka_of(0.0, 0.001, 1000).as_double());
}

TEST(Velocity, ToMotorUnitsInTheFixedOrder) {
  // k = 2^-10 nm per count, E = 500 pulses: 1 nm/s = 1024 counts/s = 30.72 rpm.
  const double k = 1.0 / 1024;
  EXPECT_EQ(motor_units(1.0, k, 500, 1).as_double(), 61440.0 / 2000);
  EXPECT_EQ(motor_units(1.0, k, 500, -1).as_double(), -61440.0 / 2000);
  // The factory-like case: negative slope and negative direction give a positive speed.
  EXPECT_DOUBLE_EQ(motor_units(0.5, -0.0005, 512, -1).as_double(), 0.5 / 0.0005 * 60 / 2048);
}

TEST(Velocity, DivisionByZeroFails) {
  EXPECT_TRUE(motor_units(1.0, 0.0, 512, 1).is_failed());
  EXPECT_TRUE(motor_units(1.0, 0.001, 0, 1).is_failed());
  EXPECT_TRUE(motor_units(1, 0, 512, 1).is_failed());
}

TEST(Velocity, BackToWavelengthInvertsTheConversion) {
  const double kv = -0.00049, ka = -0.00049666;
  const int E = 512, s = -1;
  double v = motor_units(2.5, kv, E, s).as_double();
  double a = motor_units(7.0, ka, E, s).as_double();
  EXPECT_DOUBLE_EQ(velocity_in_wavelength(v, kv, E, s).as_double(), 2.5);
  EXPECT_DOUBLE_EQ(acceleration_in_wavelength(a, ka, E, s).as_double(), 7.0);
  EXPECT_EQ(velocity_in_wavelength(30.72, 1.0 / 1024, 500, 1).as_double(), 30.72 / 1024 / 60 * 2000);
  EXPECT_EQ(acceleration_in_wavelength(0.0, ka, E, s).as_double(), 0.0);
}

TEST(Velocity, IntegerFactorsStayIntegers) {
  // 4 * E * s with E = 0 and s = -1 is the integer 0: the velocity is +0.0,
  // while the acceleration, multiplied by the float step by step, keeps -0.0.
  Number v = velocity_in_wavelength(0.0, 0.001, 0, -1);
  EXPECT_FALSE(std::signbit(v.as_double()));
  Number a = acceleration_in_wavelength(0.0, 0.001, 0, -1);
  EXPECT_TRUE(std::signbit(a.as_double()));
  // Evaluated on doubles throughout, the velocity would come out as -0.0.
  EXPECT_TRUE(std::signbit(velocity_to_wavelength(0.0, 0.001, 0.0, -1.0)));
}

TEST(Velocity, LimitsInOrder) {
  Number v = 5000.0, a = -0.5, b = 1e9;
  clamp_numbers(0.0, 4900.0, 0.01, 4900.0, v, a, b);
  EXPECT_EQ(v.as_double(), 4900.0);
  EXPECT_EQ(a.as_double(), 0.01);
  EXPECT_EQ(b.as_double(), 4900.0);
  v = -0.5;
  a = 12.9;
  b = 0.0;
  clamp_numbers(0.0, 4900.0, 0.01, 4900.0, v, a, b);
  EXPECT_EQ(v.as_double(), 0.0);
  EXPECT_EQ(a.as_double(), 12.9);
  EXPECT_EQ(b.as_double(), 0.01);
}
