// Position-compare trigger arithmetic: the spacing in steps and the duty cycle.
#pragma once

namespace vostel::core {

// Slope at the middle of the range, made positive in its linear part:
// 2 * A * xMP + ball_screw * B.
double trigger_slope(double A, double B, double xMP, double ball_screw);

// intervalWidth / g as a double; false when g is zero.
bool interval_steps(double interval_nm, double g, double& steps);

}  // namespace vostel::core
