#include "motion/recovery_math.h"

#include <cmath>

#include "wavelength/model_math.h"

namespace vostel::core {

int recovery_direction(long long ball_screw, long long input_word) {
  int s = 0;
  if (input_word == 1) s = ball_screw > 0 ? -1 : 1;
  if (input_word == 2) s = ball_screw > 0 ? 1 : -1;
  return s;
}

bool recovery_wait_ms(double A, double B, double xMP, double encoder, double maxWl, double minWl, double& ms) {
  double slope = std::fabs(2 * A * xMP + B);
  double speed = 300 * slope / 60 * (4 * encoder);
  if (speed == 0) return false;
  ms = std::trunc((maxWl - minWl) / speed) * 1000 * 2;
  if (ms < kMinRecoveryWaitMs) ms = kMinRecoveryWaitMs;  // a NaN stays NaN
  if (ms > kMaxRecoveryWaitMs) ms = kMaxRecoveryWaitMs;
  return true;
}

double half_span_steps(double pos_max, double pos_min) { return round_half_even(std::fabs(pos_max - pos_min) / 2); }

}  // namespace vostel::core
