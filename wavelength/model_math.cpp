#include "wavelength/model_math.h"

#include <cmath>

namespace vostel::core {

namespace {
// Called through a pointer the compiler cannot see through, so that pow(x, 2)
// is not folded into x * x.
double (*volatile library_pow)(double, double) = [](double b, double e) { return std::pow(b, e); };
}  // namespace

double float_square(double x) { return library_pow(x, 2.0); }

double position_to_wavelength(const Model& m, double x, double x_squared) {
  double quadratic = m.A * x_squared;
  double linear = m.B * x;
  return quadratic + linear + m.C;
}

double position_to_wavelength(const Model& m, double x) { return position_to_wavelength(m, x, x * x); }

double discriminant(const Model& m, double wavelength) {
  double b2 = float_square(m.B);
  double four_a = 4 * m.A;
  return b2 - four_a * (m.C - wavelength);
}

Roots roots(const Model& m, double d) {
  double s = std::sqrt(d);
  double two_a = 2 * m.A;
  return {(-m.B - s) / two_a, (-m.B + s) / two_a};
}

double round_half_even(double x) { return std::nearbyint(x); }

double wavelength_to_position(const Model& m, bool pm, double wavelength, bool& real) {
  double d = discriminant(m, wavelength);
  real = !(d < 0);
  if (!real) return 0;
  Roots r = roots(m, d);
  return round_half_even(pm ? r.minus : r.plus);
}

bool prefer_plus_root(const Roots& at_centre) { return std::fabs(at_centre.minus) > std::fabs(at_centre.plus); }

double range_middle(double maxWl, double minWl) { return (maxWl + minWl) / 2; }

double half_range(double maxWl, double minWl) { return round_half_even((maxWl - minWl) / 2); }

bool constant_inside_range(double C, double minWl, double maxWl, double half) {
  return (minWl - half < C) && (C < maxWl + half);
}

}  // namespace vostel::core
