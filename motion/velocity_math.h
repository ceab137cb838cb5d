// Conversion of the speed profile between wavelength units (nm/s, nm/s^2)
// and the controller's motor units (rpm, rpm/s), linearised at the motor
// position of the centre of the calibrated range.
//
// The formulas are templates over the number type (see
// wavelength/number_math.h): core::Number evaluates them with Python's int
// and float rules, the module's object wrapper on the objects themselves.
// Each step is its own statement, in the order the formula is read.
#pragma once

#include "wavelength/number_math.h"

namespace vostel::core {

// (maxWl + minWl) / 2, the centre of the range.
template <class N>
N range_centre(const N& maxWl, const N& minWl) {
  N sum = maxWl + minWl;
  return sum / 2;
}

// kv = 2 * A * xMP + B
template <class N>
N velocity_slope(const N& A, const N& B, const N& xMP) {
  N two_a = 2 * A;
  N quadratic = two_a * xMP;
  return quadratic + B;
}

// ka = 0.6666666666666666 * A * xMP + B
template <class N>
N acceleration_slope(const N& A, const N& B, const N& xMP) {
  N weighted = 0.6666666666666666 * A;
  N quadratic = weighted * xMP;
  return quadratic + B;
}

// value / k * 60 / (4 * E) * s
template <class N>
N to_motor_units(const N& value, const N& k, const N& E, const N& s) {
  N per_step = value / k;
  N per_minute = per_step * 60;
  N counts = 4 * E;
  N revolutions = per_minute / counts;
  return revolutions * s;
}

// pv * kv / 60 * (4 * E * s)
template <class N>
N velocity_to_wavelength(const N& pv, const N& kv, const N& E, const N& s) {
  N product = pv * kv;
  N per_second = product / 60;
  N four_e = 4 * E;
  N factor = four_e * s;
  return per_second * factor;
}

// pa * ka / 60 * 4 * E * s
template <class N>
N acceleration_to_wavelength(const N& pa, const N& ka, const N& E, const N& s) {
  N product = pa * ka;
  N per_second = product / 60;
  N times_four = per_second * 4;
  N times_e = times_four * E;
  return times_e * s;
}

// The same over core::Number, compiled here with the project's floating-point
// settings.
Number centre_of(const Number& maxWl, const Number& minWl);
Number kv_of(const Number& A, const Number& B, const Number& xMP);
Number ka_of(const Number& A, const Number& B, const Number& xMP);
Number motor_units(const Number& value, const Number& k, const Number& E, const Number& s);
Number velocity_in_wavelength(const Number& pv, const Number& kv, const Number& E, const Number& s);
Number acceleration_in_wavelength(const Number& pa, const Number& ka, const Number& E, const Number& s);

// Clamps in the fixed order: velocity max then min; acceleration and
// deceleration max, then their mins; above(x, y) is x > y, below(x, y) x < y.
// A limit replaces the value, as the assignment of the limit does.
template <class N, class Above, class Below>
void clamp_profile(const N& minV, const N& maxV, const N& minA, const N& maxA, N& v, N& a, N& b, Above above,
                   Below below) {
  if (above(v, maxV)) v = maxV;
  if (below(v, minV)) v = minV;
  if (above(a, maxA)) a = maxA;
  if (above(b, maxA)) b = maxA;
  if (below(a, minA)) a = minA;
  if (below(b, minA)) b = minA;
}

// The same for core::Number.
void clamp_numbers(const Number& minV, const Number& maxV, const Number& minA, const Number& maxA, Number& v,
                   Number& a, Number& b);

}  // namespace vostel::core
