#include "trigger/compare_math.h"

namespace vostel::core {

double trigger_slope(double A, double B, double xMP, double ball_screw) { return 2 * A * xMP + ball_screw * B; }

bool interval_fits(double steps) { return steps >= kMinIntervalSteps && steps < kMaxIntervalSteps + 1; }

}  // namespace vostel::core
