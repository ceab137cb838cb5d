// Numbers with Python's int and float rules.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "wavelength/model_math.h"
#include "wavelength/number_math.h"

using namespace vostel::core;

TEST(Number, IntOperationsStayExactInts) {
  Number p = Number(4) * Number(0) * Number(-1);
  ASSERT_TRUE(p.is_int());
  EXPECT_FALSE(std::signbit(p.as_double()));
  Number big = Number::integer(int64_t(1) << 40) * Number::integer((int64_t(1) << 20) + 1);
  ASSERT_TRUE(big.is_int());
  EXPECT_EQ(big.int_value(), (int64_t(1) << 60) + (int64_t(1) << 40));
  EXPECT_TRUE((Number::integer(int64_t(1) << 40) * Number::integer(int64_t(1) << 40)).is_failed());
  EXPECT_FALSE((Number(7) / Number(2)).is_int());
  EXPECT_EQ((Number(7) / Number(2)).as_double(), 3.5);
}

TEST(Number, MixedAndFailingOperations) {
  struct Case {
    Number result;
    bool failed;
    double value;
  };
  const double huge = 1e308;
  Case cases[] = {
      {Number(1) + Number(0.5), false, 1.5},
      {Number(0.0) * Number(-1), false, -0.0},
      {Number(1.0) / Number(0), true, 0},
      {Number(1) / Number(0.0), true, 0},
      {square(Number(huge)), true, 0},                     // 1e308 ** 2 raises OverflowError
      {Number(huge) * Number(huge), false, HUGE_VAL},      // a product gives inf
      {square(Number(std::numeric_limits<double>::infinity())), false, HUGE_VAL},
      {square(Number(1e-300)), false, 0.0},                // underflow is no error
      {square(Number(3)), false, 9},
      {truncate(Number(-2.7)), false, -2},
      {truncate(Number(HUGE_VAL)), true, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.result.is_failed(), c.failed);
    if (!c.failed) {
      EXPECT_EQ(c.result.as_double(), c.value);
      EXPECT_EQ(std::signbit(c.result.as_double()), std::signbit(c.value));
    }
  }
}

TEST(Number, IntAndFloatCompareExactly) {
  const int64_t two53 = int64_t(1) << 53;
  // 2**53 + 1 converts to the float 2**53, but is larger than it.
  EXPECT_TRUE(less(9007199254740992.0, Number::integer(two53 + 1)));
  EXPECT_FALSE(less(Number::integer(two53 + 1), 9007199254740992.0));
  EXPECT_TRUE(less(Number(-0.5), Number(0)));
  EXPECT_FALSE(less(Number(std::nan("")), Number(0)));
  EXPECT_FALSE(less(Number(0), Number(std::nan(""))));
}

TEST(Number, ModelFormulasFollowTheNumberRules) {
  // With integer coefficients and position the wavelength is an exact int.
  Number wl = position_to_wavelength(Number(2), Number(3), Number(5), Number(7));
  ASSERT_TRUE(wl.is_int());
  EXPECT_EQ(wl.int_value(), 2 * 49 + 21 + 5);
  // A float position whose square overflows fails (the interpreter raises).
  EXPECT_TRUE(position_to_wavelength(1e-9, 0.002, 780.0, 1e308).is_failed());
  // A whole-number position gives the same bits as the formula on doubles.
  EXPECT_EQ(position_to_wavelength(1e-9, 0.002, 780.0, Number(4988)).as_double(),
            wavelength_at(1e-9, 0.002, 780.0, 4988.0));
  bool real = false;
  double position = 0;
  ASSERT_TRUE(wavelength_to_position(1e-9, 0.002, 780.0, false, 790.0, real, position));
  EXPECT_TRUE(real);
  EXPECT_EQ(position, 4988.0);
  ASSERT_TRUE(wavelength_to_position(1e-9, 0.002, 780.0, false, -1e9, real, position));
  EXPECT_FALSE(real);
  EXPECT_FALSE(wavelength_to_position(1e-9, 1e200, 780.0, false, 790.0, real, position));
}
