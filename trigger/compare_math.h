// Position-compare trigger arithmetic: the slope that turns nm into steps,
// and the step counts the controller's interval field can take.
#pragma once

#include "wavelength/number_math.h"

namespace vostel::core {

// Slope at the middle of the range, made positive in its linear part:
// 2 * A * xMP + ball_screw * B (see wavelength/number_math.h for the number
// types).
template <class N>
N trigger_slope_of(const N& A, const N& B, const N& xMP, const N& ball_screw) {
  N two_a = 2 * A;
  N quadratic = two_a * xMP;
  N linear = ball_screw * B;
  return quadratic + linear;
}

Number trigger_slope(const Number& A, const Number& B, const Number& xMP, const Number& ball_screw);

// The interval width travels as an unsigned 16-bit field; 0 would emit no
// pulse at all.
constexpr long kMinIntervalSteps = 1;
constexpr long kMaxIntervalSteps = 65535;

// Whether a width of `steps` (before truncation toward zero) gives a step
// count the field holds. False for NaN and infinities.
bool interval_fits(double steps);

}  // namespace vostel::core
