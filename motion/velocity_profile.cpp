// The speed profile in wavelength units (nm/s, nm/s^2) against the
// controller's motor units (rpm, rpm/s), linearised at the motor position of
// the centre of the calibrated range; and the motor's current limits.
#include "module/methods.h"
#include "motion/velocity_math.h"

namespace vostel {

namespace {

struct WorkingPoint {
  core::Slopes k;
  double encoder;  // E, encoder pulses per revolution
  double sign;     // s, __BallScrew
};

WorkingPoint working_point(py::handle self) {
  double xWL = (to_double(self.attr("_motor__maxWavelength")) + to_double(self.attr("_motor__minWavelength"))) / 2;
  py::object xMP = self.attr("_motor__wavelengthToMotorposition")(py::float_(xWL));
  WorkingPoint w;
  w.k = core::slopes(to_double(self.attr("_motor__CoeffA")), to_double(self.attr("_motor__CoeffB")), to_double(xMP));
  w.encoder = to_double(self.attr("_motor__pEncoderResolution").attr("value"));
  w.sign = to_double(self.attr("_motor__BallScrew"));
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
  py::object pNominalCurrent = cell("c_short");
  py::object pMaxOutputCurrent = cell("c_short");
  py::object pThermalTimeConstant = cell("c_short");
  command(self, "VCS_GetDcMotorParameter", byref(pNominalCurrent), byref(pMaxOutputCurrent),
          byref(pThermalTimeConstant));
  // The command takes nominal current first: it receives 790 there and 385
  // as the maximum output current.
  command(self, "VCS_SetDcMotorParameter", self.attr("_motor__MaxOutputCurrent"), self.attr("_motor__NominalCurrent"),
          pThermalTimeConstant);
  return py::none();
}

py::object setVelocityParameter(py::handle self, Args& a) {
  require_connection(self);
  command(self, "VCS_ActivateProfilePositionMode");
  self.attr("currentVelocityWL") = cell("c_float", a[0]);
  WorkingPoint w = working_point(self);
  double vMP = to_motor_units(to_double(a[0]), w.k.kv, w);
  double aMP = to_motor_units(to_double(a[1]), w.k.ka, w);
  double bMP = to_motor_units(to_double(a[2]), w.k.ka, w);
  core::Limits limits{to_double(self.attr("_motor__minVelocityMP")), to_double(self.attr("_motor__maxVelocityMP")),
                      to_double(self.attr("_motor__minAccMP")), to_double(self.attr("_motor__maxAccMP"))};
  core::clamp_profile(limits, vMP, aMP, bMP);
  self.attr("_motor__vMP") = cell("c_int32", int_from_double(vMP));
  self.attr("_motor__aMP") = cell("c_int32", int_from_double(aMP));
  self.attr("_motor__bMP") = cell("c_int32", int_from_double(bMP));
  command(self, "VCS_SetPositionProfile", self.attr("_motor__vMP"), self.attr("_motor__aMP"),
          self.attr("_motor__bMP"));

  // What the controller now holds, read back once per value.
  auto read_back = [&](int i) { return format2(self.attr("getVelocityParameter")()[py::int_(i)]); };
  std::string velocity = read_back(0);
  std::string acceleration = read_back(1);
  std::string deceleration = read_back(2);
  say("changed velocity parameter to " + velocity + "nm/s, " + acceleration + "nm/s^2 and " + deceleration + "nm/s^2");
  return py::none();
}

py::object getVelocityParameter(py::handle self, Args&) {
  require_connection(self);
  py::object pv = cell("c_int"), pa = cell("c_int"), pb = cell("c_int");
  command(self, "VCS_GetPositionProfile", byref(pv), byref(pa), byref(pb));
  return self.attr("_motor__convertMotorParameterToWavelength")(pv.attr("value"), pa.attr("value"), pb.attr("value"));
}

py::object convertMotorParameterToWavelength(py::handle self, Args& a) {
  WorkingPoint w = working_point(self);
  double vWL = core::velocity_to_wavelength(to_double(a[0]), w.k.kv, w.encoder, w.sign);
  double aWL = core::acceleration_to_wavelength(to_double(a[1]), w.k.ka, w.encoder, w.sign);
  double bWL = core::acceleration_to_wavelength(to_double(a[2]), w.k.ka, w.encoder, w.sign);
  return py::make_tuple(vWL, aWL, bWL);
}

}  // namespace vostel
