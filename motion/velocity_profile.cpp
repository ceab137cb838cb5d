// The speed profile in wavelength units (nm/s, nm/s^2) against the
// controller's motor units (rpm, rpm/s), linearised at the motor position of
// the centre of the calibrated range; and the motor's current limits.
#include "module/methods.h"
#include "motion/velocity_math.h"
#include "wavelength/calibration_store.h"

namespace vostel {

namespace {

struct WorkingPoint {
  core::Slopes k;
  double encoder;  // E, encoder pulses per revolution
  double sign;     // s, __BallScrew
};

WorkingPoint working_point(py::handle self) {
  py::object xMP = middle_position(self);
  WorkingPoint w;
  w.k = core::slopes(to_double(self.attr(KEY("_motor__CoeffA"))), to_double(self.attr(KEY("_motor__CoeffB"))),
                     to_double(xMP));
  w.encoder = to_double(self.attr(KEY("_motor__pEncoderResolution")).attr(KEY("value")));
  w.sign = to_double(self.attr(KEY("_motor__BallScrew")));
  return w;
}

// value / k * 60 / (4 * E) * s; a zero divisor raises the interpreter's own
// ZeroDivisionError, as the division would.
double to_motor_units(double value, double k, const WorkingPoint& w) {
  double out = 0;
  if (!core::to_motor_units(value, k, w.encoder, w.sign, out)) {
    py::object quotient = py::float_(1.0) / py::float_(0.0);  // raises
    return to_double(quotient);
  }
  return out;
}

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
  double vMP = to_motor_units(to_double(a[0]), w.k.kv, w);
  double aMP = to_motor_units(to_double(a[1]), w.k.ka, w);
  double bMP = to_motor_units(to_double(a[2]), w.k.ka, w);
  core::Limits limits{to_double(self.attr(KEY("_motor__minVelocityMP"))),
                      to_double(self.attr(KEY("_motor__maxVelocityMP"))), to_double(self.attr(KEY("_motor__minAccMP"))),
                      to_double(self.attr(KEY("_motor__maxAccMP")))};
  core::clamp_profile(limits, vMP, aMP, bMP);
  self.attr(KEY("_motor__vMP")) = cell(KEY("c_int32"), int_from_double(vMP));
  self.attr(KEY("_motor__aMP")) = cell(KEY("c_int32"), int_from_double(aMP));
  self.attr(KEY("_motor__bMP")) = cell(KEY("c_int32"), int_from_double(bMP));
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
  double vWL = core::velocity_to_wavelength(to_double(a[0]), w.k.kv, w.encoder, w.sign);
  double aWL = core::acceleration_to_wavelength(to_double(a[1]), w.k.ka, w.encoder, w.sign);
  double bWL = core::acceleration_to_wavelength(to_double(a[2]), w.k.ka, w.encoder, w.sign);
  return py::make_tuple(vWL, aWL, bWL);
}

}  // namespace vostel
