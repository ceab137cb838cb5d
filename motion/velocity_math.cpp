#include "motion/velocity_math.h"

namespace vostel::core {

Number centre_of(const Number& maxWl, const Number& minWl) { return range_centre(maxWl, minWl); }

Number kv_of(const Number& A, const Number& B, const Number& xMP) { return velocity_slope(A, B, xMP); }

Number ka_of(const Number& A, const Number& B, const Number& xMP) { return acceleration_slope(A, B, xMP); }

Number motor_units(const Number& value, const Number& k, const Number& E, const Number& s) {
  return to_motor_units(value, k, E, s);
}

Number velocity_in_wavelength(const Number& pv, const Number& kv, const Number& E, const Number& s) {
  return velocity_to_wavelength(pv, kv, E, s);
}

Number acceleration_in_wavelength(const Number& pa, const Number& ka, const Number& E, const Number& s) {
  return acceleration_to_wavelength(pa, ka, E, s);
}

void clamp_numbers(const Number& minV, const Number& maxV, const Number& minA, const Number& maxA, Number& v,
                   Number& a, Number& b) {
  auto above = [](const Number& x, const Number& y) { return less(y, x); };
  clamp_profile(minV, maxV, minA, maxA, v, a, b, above, less);
}

}  // namespace vostel::core
