// Position-compare trigger arithmetic: the slope that turns nm into steps.
#pragma once

namespace vostel::core {

// Slope at the middle of the range, made positive in its linear part:
// 2 * A * xMP + ball_screw * B.
double trigger_slope(double A, double B, double xMP, double ball_screw);

}  // namespace vostel::core
