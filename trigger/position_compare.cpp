// The position-compare trigger: a pulse on digital output 3 at every given
// wavelength interval of a move.
#include "module/methods.h"
#include "motion/move_common.h"
#include "trigger/compare_math.h"

namespace vostel {

namespace {
constexpr int kPulseWidth = 500;  // microseconds

std::string format_g(double x) { return py::str("{:.6g}").attr("format")(x).cast<std::string>(); }

// A width whose step count the controller's interval field cannot take
// would be sent wrapped (2**70 nm as 0 steps, -0.3 nm as 64536).
[[noreturn]] void refuse_width(py::handle IW, double steps, double g) {
  raise(PyExc_ValueError, "interval width " + py::repr(IW).cast<std::string>() + "nm is " + format_g(steps) +
                              " steps; the position-compare interval takes " +
                              std::to_string(core::kMinIntervalSteps) + " to " +
                              std::to_string(core::kMaxIntervalSteps) + " steps (" +
                              format_g(g * core::kMinIntervalSteps) + " to " +
                              format_g(g * core::kMaxIntervalSteps) + "nm here)");
}
}  // namespace

py::object triggerParameter(py::handle self, Args& a) {
  require_connection(self);
  py::object IW = a[0];
  py::object xMP = middle_position(self);
  double g = core::trigger_slope(to_double(self.attr("_motor__CoeffA")), to_double(self.attr("_motor__CoeffB")),
                                 to_double(xMP), to_double(self.attr("_motor__BallScrew")));
  // The caller's width divided as Python divides it (any number type, the
  // same errors), then truncated toward zero.
  py::object steps = IW / py::float_(g);
  if (!core::interval_fits(to_double(steps))) refuse_width(IW, to_double(steps), g);
  py::object intervalWidth = cell("c_int", to_int(steps));

  py::object pv = cell("c_int"), pa = cell("c_int"), pb = cell("c_int");
  command(self, "VCS_GetPositionProfile", byref(pv), byref(pa), byref(pb));
  py::object encoder = self.attr("_motor__pEncoderResolution").attr("value");
  py::object pulse_share = py::int_(kPulseWidth) * pv.attr("value") * py::int_(100) * py::int_(4) * encoder;
  py::object interval_time = py::object(intervalWidth.attr("value")) * py::int_(1000000) * py::int_(60);
  self.attr("_dutyCycle") = pulse_share / interval_time;

  command(self, "VCS_SetPositionCompareParameter", 1, 2, 2, intervalWidth, 0, kPulseWidth);
  say(py::str("trigger interval width is set to " + format2(IW) + "nm"));
  return py::none();
}

py::object activatePositionTrigger(py::handle self, Args&) {
  command(self, "VCS_ActivatePositionCompare", 3, 0);
  command(self, "VCS_EnablePositionCompare");
  return py::none();
}

py::object deactivatePositionTrigger(py::handle self, Args&) {
  command(self, "VCS_DisablePositionCompare");
  command(self, "VCS_DeactivatePositionCompare", 3);
  return py::none();
}

}  // namespace vostel
