#include "trigger/compare_math.h"

namespace vostel::core {

Number trigger_slope(const Number& A, const Number& B, const Number& xMP, const Number& ball_screw) {
  return trigger_slope_of(A, B, xMP, ball_screw);
}

bool interval_fits(double steps) { return steps >= kMinIntervalSteps && steps < kMaxIntervalSteps + 1; }

}  // namespace vostel::core
