#include "wavelength/model_math.h"

#include <cmath>

namespace vostel::core {

double discriminant(const Model& m, double wavelength) { return discriminant_of(m.A, m.B, m.C, wavelength); }

Roots roots(const Model& m, double d) {
  double s = std::sqrt(d);
  return {root_of(m.A, m.B, s, true), root_of(m.A, m.B, s, false)};
}

Number position_to_wavelength(const Number& A, const Number& B, const Number& C, const Number& x) {
  return wavelength_at(A, B, C, x);
}

bool wavelength_to_position(const Number& A, const Number& B, const Number& C, bool pm, const Number& wavelength,
                            bool& real, double& position) {
  Number d = discriminant_of(A, B, C, wavelength);
  Number minus_b = -B, two_a = 2 * A;
  if (d.is_failed() || minus_b.is_failed() || two_a.is_failed()) return false;
  real = !less(d, 0);
  if (!real) return true;
  // numpy's sqrt gives a float64; from there on the arithmetic is numpy's,
  // which divides by zero without raising.
  double s = std::sqrt(d.as_double());
  position = round_half_even(root_of(A.as_double(), B.as_double(), s, pm));
  return true;
}

double round_half_even(double x) { return std::nearbyint(x); }

bool prefer_plus_root(const Roots& at_centre) { return std::fabs(at_centre.minus) > std::fabs(at_centre.plus); }

double half_range(double maxWl, double minWl) { return round_half_even((maxWl - minWl) / 2); }

bool constant_inside_range(double C, double minWl, double maxWl, double half) {
  return (minWl - half < C) && (C < maxWl + half);
}

}  // namespace vostel::core
