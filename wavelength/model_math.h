// The quadratic wavelength model lambda(x) = A x^2 + B x + C and the decisions
// taken when the calibrated range is read. Every formula is evaluated in a
// fixed order so that results are reproducible to the last bit.
#pragma once

#include "wavelength/number_math.h"

namespace vostel::core {

struct Model {
  double A = 0, B = 0, C = 0;
};

inline double square(double x) { return float_square(x); }

// The formulas, written once for every number type that has +, -, *, /,
// unary - and a square(x) for x ** 2: plain doubles, core::Number (Python's
// int and float rules) and the module's wrapper of Python objects. Each step
// is its own statement so that the operations happen in the order written.

// A * Motorposition ** 2 + B * Motorposition + C
template <class N>
N wavelength_at(const N& A, const N& B, const N& C, const N& x) {
  N quadratic = A * square(x);
  N linear = B * x;
  N sum = quadratic + linear;
  return sum + C;
}

// B ** 2 - 4 * A * (C - Wavelength)
template <class N>
N discriminant_of(const N& A, const N& B, const N& C, const N& wavelength) {
  N b2 = square(B);
  N four_a = 4 * A;
  N difference = C - wavelength;
  N product = four_a * difference;
  return b2 - product;
}

// (-B - sqrt_d) / (2 * A) for the minus root, (-B + sqrt_d) / (2 * A) else.
template <class N>
N root_of(const N& A, const N& B, const N& sqrt_d, bool minus) {
  N minus_b = -B;
  N top = minus ? minus_b - sqrt_d : minus_b + sqrt_d;
  N two_a = 2 * A;
  return top / two_a;
}

// The wavelength of a model position with Python's int and float rules;
// failed where the interpreter would raise.
Number position_to_wavelength(const Number& A, const Number& B, const Number& C, const Number& x);

// The discriminant with Python's rules, then (unless it is negative or
// failed) the chosen root in double precision as numpy's sqrt gives it,
// rounded half to even. `real` is false for a negative discriminant.
// Returns false when the interpreter would have to decide (failed).
bool wavelength_to_position(const Number& A, const Number& B, const Number& C, bool pm, const Number& wavelength,
                            bool& real, double& position);

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

// After reading the range: whether the plus root must be taken from now on
// (|minus root| > |plus root| at the centre of the range).
bool prefer_plus_root(const Roots& at_centre);

// Half the width of the range, rounded half to even.
double half_range(double maxWl, double minWl);

// True when C lies strictly inside the range widened by `half` on each side;
// false means the range word counted whole nanometres.
bool constant_inside_range(double C, double minWl, double maxWl, double half);

}  // namespace vostel::core
