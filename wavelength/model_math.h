// The quadratic wavelength model lambda(x) = A x^2 + B x + C and the decisions
// taken when the calibrated range is read. Every formula is evaluated in a
// fixed order so that results are reproducible to the last bit.
#pragma once

namespace vostel::core {

struct Model {
  double A = 0, B = 0, C = 0;
};

// x ** 2 for a floating-point x as Python takes it: the C library's pow, which
// may differ from x * x in the last bit.
double float_square(double x);

// A * x_squared + B * x + C, the products first, then the sums left to right;
// x_squared is x ** 2 as the caller's number type squares it.
double position_to_wavelength(const Model& m, double x, double x_squared);

// The same for a whole number of steps (|x| < 2**26), whose square is exact.
double position_to_wavelength(const Model& m, double x);

// B ** 2 - 4 * A * (C - wavelength)
double discriminant(const Model& m, double wavelength);

struct Roots {
  double minus;  // (-B - sqrt(d)) / (2 A)
  double plus;   // (-B + sqrt(d)) / (2 A)
};
// Requires a discriminant >= 0; IEEE division (A = 0 gives inf or nan).
Roots roots(const Model& m, double discriminant);

// Round half to even, as numpy's round does for a whole number.
double round_half_even(double x);

// The root the inverse conversion takes for `wavelength` (pm: minus root),
// rounded half to even; not yet an integer (it may be inf or nan).
// Sets `real` false when the discriminant is negative.
double wavelength_to_position(const Model& m, bool pm, double wavelength, bool& real);

// After reading the range: whether the plus root must be taken from now on
// (|minus root| > |plus root| at the centre of the range).
bool prefer_plus_root(const Roots& at_centre);

// The middle of the range, (maxWl + minWl) / 2.
double range_middle(double maxWl, double minWl);

// Half the width of the range, rounded half to even.
double half_range(double maxWl, double minWl);

// True when C lies strictly inside the range widened by `half` on each side;
// false means the range word counted whole nanometres.
bool constant_inside_range(double C, double minWl, double maxWl, double half);

}  // namespace vostel::core
