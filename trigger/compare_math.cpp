#include "trigger/compare_math.h"

namespace vostel::core {

double trigger_slope(double A, double B, double xMP, double ball_screw) { return 2 * A * xMP + ball_screw * B; }

bool interval_steps(double interval_nm, double g, double& steps) {
  if (g == 0) return false;
  steps = interval_nm / g;
  return true;
}

}  // namespace vostel::core
