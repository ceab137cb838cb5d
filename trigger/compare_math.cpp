#include "trigger/compare_math.h"

namespace vostel::core {

double trigger_slope(double A, double B, double xMP, double ball_screw) { return 2 * A * xMP + ball_screw * B; }

}  // namespace vostel::core
