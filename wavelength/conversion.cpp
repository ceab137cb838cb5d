// Model position <-> wavelength through lambda(x) = A x^2 + B x + C, and the
// guards that keep a requested wavelength or step move inside the calibrated
// range.
#include "module/methods.h"
#include "module/pynumber.h"
#include "wavelength/calibration_store.h"

namespace vostel {

namespace {

py::object home_position(py::handle self) {
  return py::getattr(call_method(self, KEY("_motor__HomePosition")), KEY("value"));
}

py::object position_of(py::handle self, py::handle wavelength) {
  return call_method(self, KEY("_motor__wavelengthToMotorposition"), wavelength);
}

}  // namespace

py::object motorpositionToWavelength(py::handle self, Args& a) {
  py::object A = instance_attr(self, KEY("_motor__CoeffA")), B = instance_attr(self, KEY("_motor__CoeffB")),
             C = instance_attr(self, KEY("_motor__CoeffC"));
  core::Number nA = 0, nB = 0, nC = 0, nx = 0;
  if (as_number(A, nA) && as_number(B, nB) && as_number(C, nC) && as_number(a[0], nx)) {
    core::Number wl = core::position_to_wavelength(nA, nB, nC, nx);
    if (!wl.is_failed()) return to_python(wl);
  }
  return core::wavelength_at<PyNum>(plain(A), plain(B), plain(C), plain(a[0])).object();
}

py::object wavelengthToMotorposition(py::handle self, Args& a) {
  py::object A = instance_attr(self, KEY("_motor__CoeffA")), B = instance_attr(self, KEY("_motor__CoeffB")),
             C = instance_attr(self, KEY("_motor__CoeffC"));
  bool pm = truthy(instance_attr(self, KEY("_motor__pm")));
  core::Number nA = 0, nB = 0, nC = 0, nW = 0;
  bool real = true;
  double root = 0;
  if (as_number(A, nA) && as_number(B, nB) && as_number(C, nC) && as_number(a[0], nW) &&
      core::wavelength_to_position(nA, nB, nC, pm, nW, real, root)) {
    if (!real) raise(PyExc_ValueError, "No real roots: The discriminant is negative.");
    return int_from_double(root);
  }
  // On the objects: numpy's sqrt and round, then int().
  A = plain(A), B = plain(B), C = plain(C);
  PyNum discriminant = core::discriminant_of<PyNum>(A, B, C, plain(a[0]));
  if (py_less(discriminant, 0)) raise(PyExc_ValueError, "No real roots: The discriminant is negative.");
  py::object np = modattr(KEY("np"));
  PyNum sqrt_discriminant = PyNum(call_method(np, KEY("sqrt"), discriminant.object()));
  PyNum root_object = core::root_of<PyNum>(A, B, sqrt_discriminant, pm);
  return to_int(call_method(np, KEY("round"), root_object.object()));
}

py::object wlSafetyCheck(py::handle self, Args& a) {
  py::object wavelength = a[0];
  py::object lowest = instance_attr(self, KEY("_motor__minWavelength"));
  py::object highest = instance_attr(self, KEY("_motor__maxWavelength"));
  if (wavelength < lowest) wavelength = lowest;
  if (wavelength > highest) wavelength = highest;
  return wavelength;
}

// The drive moves __BallScrew * (returned steps), so the guard limits the
// displacement d = sign * steps of the model position against the range's
// positions taken in position order, whichever way the wavelength runs.
py::object PositionSafetyCheck(py::handle self, Args& a) {
  py::object screw = instance_attr(self, KEY("_motor__BallScrew"));
  py::object sign = py::int_(screw < py::int_(0) ? -1 : 1);
  py::object home = home_position(self);
  py::object displacement = sign * a[0];
  py::object tempposition = home + displacement;
  py::object minPos = position_of(self, instance_attr(self, KEY("_motor__minWavelength")));
  py::object maxPos = position_of(self, instance_attr(self, KEY("_motor__maxWavelength")));
  py::object lo = minPos, hi = maxPos;
  if (maxPos < minPos) std::swap(lo, hi);
  if (tempposition < lo) displacement = lo - home_position(self);
  if (tempposition > hi) displacement = hi - home_position(self);
  return to_int(sign * displacement);
}

}  // namespace vostel
