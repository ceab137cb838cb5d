// Arithmetic of the limit-switch recovery: direction, length and time-out of
// the move back toward the middle of the range.
#pragma once

namespace vostel::core {

// -1, 0 or +1 from the drive's direction sign and the digital-input word.
int recovery_direction(long long ball_screw, long long input_word);

// Twice the full-range traverse time at 300 rpm in ms, the traverse time cut
// to whole seconds first. Returns false when the speed is zero (the caller
// raises ZeroDivisionError); `seconds` receives the uncut traverse time so the
// caller can convert it as int() would.
bool traverse_seconds(double A, double B, double xMP, double encoder, double maxWl, double minWl, double& seconds);

// |P(max) - P(min)| / 2 rounded half to even.
double half_span_steps(double pos_max, double pos_min);

}  // namespace vostel::core
