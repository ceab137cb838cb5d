// Position-compare trigger arithmetic: the slope that turns nm into steps,
// and the step counts the controller's interval field can take.
#pragma once

namespace vostel::core {

// Slope at the middle of the range, made positive in its linear part:
// 2 * A * xMP + ball_screw * B.
double trigger_slope(double A, double B, double xMP, double ball_screw);

// The interval width travels as an unsigned 16-bit field; 0 would emit no
// pulse at all.
constexpr long kMinIntervalSteps = 1;
constexpr long kMaxIntervalSteps = 65535;

// Whether a width of `steps` (before truncation toward zero) gives a step
// count the field holds. False for NaN and infinities.
bool interval_fits(double steps);

}  // namespace vostel::core
