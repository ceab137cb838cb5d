// The speed profile in wavelength units (nm/s, nm/s^2) against the
// controller's motor units (rpm, rpm/s), linearised at the motor position of
// the centre of the calibrated range; and the motor's current limits.
#include "module/methods.h"
#include "module/pynumber.h"
#include "motion/move_common.h"
#include "motion/velocity_math.h"

namespace vostel {

namespace {

// The objects the conversion works with: A, B, the encoder resolution E and
// the direction sign s, and the model position xMP of the centre of the range.
struct WorkingPoint {
  py::object A, B, E, s, xMP;
};

WorkingPoint working_point(py::handle self) {
  WorkingPoint w;
  w.xMP = plain(middle_position(self));
  w.A = plain(self.attr(KEY("_motor__CoeffA")));
  w.B = plain(self.attr(KEY("_motor__CoeffB")));
  w.E = plain(self.attr(KEY("_motor__pEncoderResolution")).attr(KEY("value")));
  w.s = plain(self.attr(KEY("_motor__BallScrew")));
  return w;
}

struct Numbers {
  core::Number A = 0, B = 0, E = 0, s = 0, xMP = 0;
  bool ok = false;
  explicit Numbers(const WorkingPoint& w)
      : ok(as_number(w.A, A) && as_number(w.B, B) && as_number(w.E, E) && as_number(w.s, s) && as_number(w.xMP, xMP)) {}
};

}  // namespace

py::object DCMotorParameter(py::handle self, Args&) {
  require_connection(self);
  py::object pNominalCurrent = cell(KEY("c_short"));
  py::object pMaxOutputCurrent = cell(KEY("c_short"));
  py::object pThermalTimeConstant = cell(KEY("c_short"));
  command(self, KEY("VCS_GetDcMotorParameter"), byref(pNominalCurrent), byref(pMaxOutputCurrent),
          byref(pThermalTimeConstant));
  // The command takes nominal current first: it receives 790 there and 385
  // as the maximum output current.
  command(self, KEY("VCS_SetDcMotorParameter"), self.attr(KEY("_motor__MaxOutputCurrent")),
          self.attr(KEY("_motor__NominalCurrent")), pThermalTimeConstant);
  return py::none();
}

py::object setVelocityParameter(py::handle self, Args& a) {
  require_connection(self);
  command(self, KEY("VCS_ActivateProfilePositionMode"));
  self.attr(KEY("currentVelocityWL")) = cell(KEY("c_float"), a[0]);
  WorkingPoint w = working_point(self);
  py::object limits[4] = {self.attr(KEY("_motor__minVelocityMP")), self.attr(KEY("_motor__maxVelocityMP")),
                          self.attr(KEY("_motor__minAccMP")), self.attr(KEY("_motor__maxAccMP"))};
  py::object profile[3];
  Numbers n(w);
  core::Number values[3] = {0, 0, 0}, bounds[4] = {0, 0, 0, 0};
  bool fast = n.ok;
  for (int i = 0; i < 3 && fast; ++i) fast = as_number(a[i], values[i]);
  for (int i = 0; i < 4 && fast; ++i) fast = as_number(limits[i], bounds[i]);
  if (fast) {
    core::Number kv = core::kv_of(n.A, n.B, n.xMP), ka = core::ka_of(n.A, n.B, n.xMP);
    core::Number vMP = core::motor_units(values[0], kv, n.E, n.s);
    core::Number aMP = core::motor_units(values[1], ka, n.E, n.s);
    core::Number bMP = core::motor_units(values[2], ka, n.E, n.s);
    fast = !vMP.is_failed() && !aMP.is_failed() && !bMP.is_failed();
    if (fast) {
      core::clamp_numbers(bounds[0], bounds[1], bounds[2], bounds[3], vMP, aMP, bMP);
      core::Number whole[3] = {core::truncate(vMP), core::truncate(aMP), core::truncate(bMP)};
      for (int i = 0; i < 3 && fast; ++i) fast = !whole[i].is_failed();
      for (int i = 0; i < 3 && fast; ++i) profile[i] = to_python(whole[i]);
    }
  }
  if (!fast) {
    PyNum kv = core::velocity_slope<PyNum>(w.A, w.B, w.xMP), ka = core::acceleration_slope<PyNum>(w.A, w.B, w.xMP);
    PyNum vMP = core::to_motor_units<PyNum>(plain(a[0]), kv, w.E, w.s);
    PyNum aMP = core::to_motor_units<PyNum>(plain(a[1]), ka, w.E, w.s);
    PyNum bMP = core::to_motor_units<PyNum>(plain(a[2]), ka, w.E, w.s);
    core::clamp_profile<PyNum>(plain(limits[0]), plain(limits[1]), plain(limits[2]), plain(limits[3]), vMP, aMP, bMP,
                               py_greater, py_less);
    profile[0] = vMP.object();
    profile[1] = aMP.object();
    profile[2] = bMP.object();
  }
  // Each value is stored before the next is made whole, so that one that
  // cannot be (a NaN) leaves the ones before it stored.
  self.attr(KEY("_motor__vMP")) = cell(KEY("c_int32"), fast ? profile[0] : to_int(profile[0]));
  self.attr(KEY("_motor__aMP")) = cell(KEY("c_int32"), fast ? profile[1] : to_int(profile[1]));
  self.attr(KEY("_motor__bMP")) = cell(KEY("c_int32"), fast ? profile[2] : to_int(profile[2]));
  command(self, KEY("VCS_SetPositionProfile"), self.attr(KEY("_motor__vMP")), self.attr(KEY("_motor__aMP")),
          self.attr(KEY("_motor__bMP")));

  // What the controller now holds, read back once per value.
  auto read_back = [&](int i) { return format2(call_method(self, KEY("getVelocityParameter"))[py::int_(i)]); };
  std::string velocity = read_back(0);
  std::string acceleration = read_back(1);
  std::string deceleration = read_back(2);
  say("changed velocity parameter to " + velocity + "nm/s, " + acceleration + "nm/s^2 and " + deceleration + "nm/s^2");
  return py::none();
}

py::object getVelocityParameter(py::handle self, Args&) {
  require_connection(self);
  py::object pv = cell(KEY("c_int")), pa = cell(KEY("c_int")), pb = cell(KEY("c_int"));
  command(self, KEY("VCS_GetPositionProfile"), byref(pv), byref(pa), byref(pb));
  return call_method(self, KEY("_motor__convertMotorParameterToWavelength"), pv.attr(KEY("value")),
                     pa.attr(KEY("value")), pb.attr(KEY("value")));
}

py::object convertMotorParameterToWavelength(py::handle self, Args& a) {
  WorkingPoint w = working_point(self);
  Numbers n(w);
  core::Number p[3] = {0, 0, 0};
  bool fast = n.ok && as_number(a[0], p[0]) && as_number(a[1], p[1]) && as_number(a[2], p[2]);
  if (fast) {
    core::Number kv = core::kv_of(n.A, n.B, n.xMP), ka = core::ka_of(n.A, n.B, n.xMP);
    core::Number vWL = core::velocity_in_wavelength(p[0], kv, n.E, n.s);
    core::Number aWL = core::acceleration_in_wavelength(p[1], ka, n.E, n.s);
    core::Number bWL = core::acceleration_in_wavelength(p[2], ka, n.E, n.s);
    if (!vWL.is_failed() && !aWL.is_failed() && !bWL.is_failed())
      return py::make_tuple(to_python(vWL), to_python(aWL), to_python(bWL));
  }
  PyNum kv = core::velocity_slope<PyNum>(w.A, w.B, w.xMP), ka = core::acceleration_slope<PyNum>(w.A, w.B, w.xMP);
  PyNum vWL = core::velocity_to_wavelength<PyNum>(plain(a[0]), kv, w.E, w.s);
  PyNum aWL = core::acceleration_to_wavelength<PyNum>(plain(a[1]), ka, w.E, w.s);
  PyNum bWL = core::acceleration_to_wavelength<PyNum>(plain(a[2]), ka, w.E, w.s);
  return py::make_tuple(vWL.object(), aWL.object(), bWL.object());
}

}  // namespace vostel
