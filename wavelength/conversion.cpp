// Model position <-> wavelength through lambda(x) = A x^2 + B x + C, and the
// guards that keep a requested wavelength or step move inside the calibrated
// range.
#include "module/methods.h"
#include "wavelength/calibration_store.h"

namespace vostel {

namespace {

py::object home_position(py::handle self) { return call_method(self, KEY("_motor__HomePosition")).attr(KEY("value")); }

py::object position_of(py::handle self, py::handle wavelength) {
  return call_method(self, KEY("_motor__wavelengthToMotorposition"), wavelength);
}

}  // namespace

py::object motorpositionToWavelength(py::handle self, Args& a) {
  py::object position = a[0];
  double x = to_double(position);
  // An int is squared exactly and rounded once, a float through pow: as
  // Motorposition ** 2 is evaluated for each.
  double x_squared = PyLong_Check(position.ptr()) ? to_double(position * position) : core::float_square(x);
  return py::float_(core::position_to_wavelength(model_of(self), x, x_squared));
}

py::object wavelengthToMotorposition(py::handle self, Args& a) {
  bool real = true;
  double root =
      core::wavelength_to_position(model_of(self), truthy(self.attr(KEY("_motor__pm"))), to_double(a[0]), real);
  if (!real) raise(PyExc_ValueError, "No real roots: The discriminant is negative.");
  return int_from_double(root);
}

py::object wlSafetyCheck(py::handle self, Args& a) {
  py::object wavelength = a[0];
  py::object lowest = self.attr(KEY("_motor__minWavelength"));
  py::object highest = self.attr(KEY("_motor__maxWavelength"));
  if (wavelength < lowest) wavelength = lowest;
  if (wavelength > highest) wavelength = highest;
  return wavelength;
}

// The drive moves __BallScrew * (returned steps), so the guard limits the
// displacement d = sign * steps of the model position against the range's
// positions taken in position order, whichever way the wavelength runs.
py::object PositionSafetyCheck(py::handle self, Args& a) {
  py::object screw = self.attr(KEY("_motor__BallScrew"));
  py::object sign = py::int_(screw < py::int_(0) ? -1 : 1);
  py::object displacement = sign * a[0];
  py::object tempposition = home_position(self) + displacement;
  py::object minPos = position_of(self, self.attr(KEY("_motor__minWavelength")));
  py::object maxPos = position_of(self, self.attr(KEY("_motor__maxWavelength")));
  py::object lo = minPos, hi = maxPos;
  if (maxPos < minPos) std::swap(lo, hi);
  if (tempposition < lo) displacement = lo - home_position(self);
  if (tempposition > hi) displacement = hi - home_position(self);
  return to_int(sign * displacement);
}

}  // namespace vostel
