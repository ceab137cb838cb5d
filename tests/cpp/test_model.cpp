// The quadratic wavelength model: both conversions, the root choice, rounding
// and the whole-nanometre test of the range word.
#include <gtest/gtest.h>

#include <cmath>

#include "wavelength/model_math.h"
#include "wavelength/words_math.h"

using namespace vostel::core;

namespace {
// The conversions with a float calibration and argument.
double to_position(const Model& m, bool pm, double wavelength, bool& real) {
  double position = 0;
  EXPECT_TRUE(wavelength_to_position(m.A, m.B, m.C, pm, wavelength, real, position));
  return position;
}
double to_wavelength(const Model& m, double x) { return position_to_wavelength(m.A, m.B, m.C, x).as_double(); }
}  // namespace

TEST(Model, WorkedExample790nm) {
  Model m{1e-9, 0.002, 780.0};
  EXPECT_NEAR(discriminant(m, 790.0), 4.04e-6, 1e-18);
  bool real = false;
  EXPECT_EQ(to_position(m, false, 790.0, real), 4988.0);
  EXPECT_TRUE(real);
  Roots r = roots(m, discriminant(m, 790.0));
  EXPECT_NEAR(r.plus, 4987.56, 0.005);
  EXPECT_NEAR(to_wavelength(m, 4988), 790.000880, 5e-7);
}

TEST(Model, PositionZeroIsTheConstantExactly) {
  Model m{1e-11, -0.0005, 779.999232};
  EXPECT_EQ(to_wavelength(m, 0), 779.999232);
}

TEST(Model, RootsRoundHalfToEven) {
  // lambda = x^2: the plus root of 6.25 is exactly 2.5, of 12.25 exactly 3.5.
  Model m{1.0, 0.0, 0.0};
  bool real = false;
  EXPECT_EQ(to_position(m, false, 6.25, real), 2.0);
  EXPECT_EQ(to_position(m, false, 12.25, real), 4.0);
  EXPECT_EQ(to_position(m, true, 6.25, real), -2.0);
  EXPECT_EQ(round_half_even(-3.5), -4.0);
  EXPECT_EQ(round_half_even(0.5), 0.0);
}

TEST(Model, NegativeDiscriminantIsReported) {
  Model m{1.0, 0.0, 10.0};
  bool real = true;
  to_position(m, true, 9.0, real);
  EXPECT_FALSE(real);
  to_position(m, true, 10.0, real);  // discriminant 0
  EXPECT_TRUE(real);
}

TEST(Model, RootChoiceTakesTheSmallerRootAtTheCentre) {
  // Factory calibration: at 780 nm the minus root is 0, the plus root 5e7.
  Model falling{1e-11, -0.0005, 780.0};
  EXPECT_FALSE(prefer_plus_root(roots(falling, discriminant(falling, 780.0))));
  Model rising{1e-11, 0.0005, 780.0};
  EXPECT_TRUE(prefer_plus_root(roots(rising, discriminant(rising, 780.0))));
  // A tie keeps the branch.
  Model flat{1.0, 0.0, 0.0};
  EXPECT_FALSE(prefer_plus_root(roots(flat, discriminant(flat, 4.0))));
  // A = 0: infinite or undefined roots, no error and no switch.
  Model linear{0.0, 0.002, 780.0};
  Roots r = roots(linear, discriminant(linear, 790.0));
  EXPECT_TRUE(std::isinf(r.minus));
  EXPECT_FALSE(prefer_plus_root(r));
  Model zero{};
  EXPECT_EQ(discriminant(zero, 0.0), 0.0);
  EXPECT_TRUE(std::isnan(roots(zero, 0.0).plus));
}

TEST(Model, CalibrationDataWorkedExamples) {
  // 0x1DB01F40 with C stored as 780.0: tenths of nm.
  RangeFields f = decode_range(0x1DB01F40u);
  double C = decode_coefficient(encode_coefficient(780.0));
  double half = half_range(f.low, f.high);
  EXPECT_EQ(half, 20.0);
  EXPECT_TRUE(constant_inside_range(C, f.high, f.low, half));
  // 0x11941388 with C = 4700: the word counts whole nanometres.
  f = decode_range(0x11941388u);
  C = decode_coefficient(encode_coefficient(4700.0));
  EXPECT_EQ(C, 4699.99616);
  half = half_range(f.low, f.high);
  EXPECT_EQ(half, 25.0);
  EXPECT_FALSE(constant_inside_range(C, f.high, f.low, half));
  // An empty controller: 0 < 0 fails, so the word counts whole nanometres.
  EXPECT_FALSE(constant_inside_range(0.0, 0.0, 0.0, half_range(0.0, 0.0)));
}

TEST(Model, HalfRangeRoundsHalfToEven) {
  EXPECT_EQ(half_range(801.0, 760.0), 20.0);  // 20.5
  EXPECT_EQ(half_range(803.0, 760.0), 22.0);  // 21.5
}
