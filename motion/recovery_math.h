// Arithmetic of the limit-switch recovery: direction, length and time-out of
// the move back toward the middle of the range.
#pragma once

namespace vostel::core {

// -1, 0 or +1 from the drive's direction sign and the digital-input word.
int recovery_direction(long long ball_screw, long long input_word);

// Shortest and longest wait for the return move, in ms. The floor is twice a
// traverse of one whole second: a return move of up to half a range that a
// traverse of under 1 s crosses is over within 1.5 s at the recovery profile
// (300 rpm reached after 1 s at 300 rpm/s). The ceiling is the largest wait
// the library's time-out argument receives as a positive C int (24.8 days).
constexpr double kMinRecoveryWaitMs = 2000;
constexpr double kMaxRecoveryWaitMs = 2147483647;

// Time-out for the return move at 300 rpm in ms: twice the full-range
// traverse time, taken from the magnitude of the slope at the middle
// position and cut to whole seconds first, then held between the floor and
// the ceiling above. Returns false when the speed is zero (the caller raises
// ZeroDivisionError); a range that is not a number gives NaN.
bool recovery_wait_ms(double A, double B, double xMP, double encoder, double maxWl, double minWl, double& ms);

// |P(max) - P(min)| / 2 rounded half to even.
double half_span_steps(double pos_max, double pos_min);

}  // namespace vostel::core
