// The position-compare trigger: a pulse on digital output 3 at every given
// wavelength interval of a move.
#include <cmath>

#include "controller/commands.h"
#include "module/methods.h"
#include "module/pynumber.h"
#include "motion/move_common.h"
#include "trigger/compare_math.h"

namespace vostel {

namespace {
constexpr int kPulseWidth = 500;  // microseconds

std::string format_g(double x) { return call_method(py::str("{:.6g}"), KEY("format"), x).cast<std::string>(); }

// A width whose step count the controller's interval field cannot take
// would be sent wrapped (2**70 nm as 0 steps, -0.3 nm as 64536).
[[noreturn]] void refuse_width(py::handle IW, double steps, double g) {
  raise(PyExc_ValueError, "interval width " + py::repr(IW).cast<std::string>() + "nm is " + format_g(steps) +
                              " steps; the position-compare interval takes " + std::to_string(core::kMinIntervalSteps) +
                              " to " + std::to_string(core::kMaxIntervalSteps) + " steps (" +
                              format_g(g * core::kMinIntervalSteps) + " to " + format_g(g * core::kMaxIntervalSteps) +
                              "nm here)");
}
}  // namespace

py::object triggerParameter(py::handle self, Args& a) {
  require_connection(self);
  py::object IW = a[0];
  py::object xMP = middle_position(self);
  py::object A = self.attr(KEY("_motor__CoeffA")), B = self.attr(KEY("_motor__CoeffB"));
  py::object ballScrew = self.attr(KEY("_motor__BallScrew"));
  // Steps per interval: the caller's width divided by the slope, with the
  // interpreter's rules for the numbers given, checked against what the
  // controller's interval field takes, then truncated toward zero.
  core::Number nA = 0, nB = 0, nx = 0, ns = 0, nIW = 0, slope = core::Number::failed(), ratio = core::Number::failed();
  if (as_number(A, nA) && as_number(B, nB) && as_number(xMP, nx) && as_number(ballScrew, ns) && as_number(IW, nIW)) {
    slope = core::trigger_slope(nA, nB, nx, ns);
    if (!slope.is_failed()) ratio = nIW / slope;
  }
  py::object whole;
  if (ratio.is_failed()) {
    PyNum g = core::trigger_slope_of<PyNum>(plain(A), plain(B), plain(xMP), plain(ballScrew));
    py::object steps;
    try {
      steps = (PyNum(plain(IW)) / g).object();
    } catch (py::error_already_set& e) {
      // A whole number of nm too large for a float: a width that does not fit.
      if (!e.matches(PyExc_OverflowError)) throw;
      double sign = (IW > py::int_(0)) == (to_double(g.object()) > 0) ? 1.0 : -1.0;
      refuse_width(IW, sign * HUGE_VAL, to_double(g.object()));
    }
    whole = to_int(steps);  // int() first: its errors are the interpreter's
    if (!core::interval_fits(to_double(steps))) refuse_width(IW, to_double(steps), to_double(g.object()));
  } else {
    if (!core::interval_fits(ratio.as_double())) refuse_width(IW, ratio.as_double(), slope.as_double());
    whole = to_python(core::truncate(ratio));
  }
  py::object intervalWidth = cell(KEY("c_int"), whole);

  py::object pv = cell(KEY("c_int")), pa = cell(KEY("c_int")), pb = cell(KEY("c_int"));
  command(self, KEY("VCS_GetPositionProfile"), byref(pv), byref(pa), byref(pb));
  py::object encoder = self.attr(KEY("_motor__pEncoderResolution")).attr(KEY("value"));
  py::object pulse_share = py::int_(kPulseWidth) * pv.attr(KEY("value")) * py::int_(100) * py::int_(4) * encoder;
  py::object interval_time = py::object(intervalWidth.attr(KEY("value"))) * py::int_(1000000) * py::int_(60);
  self.attr(KEY("_dutyCycle")) = pulse_share / interval_time;

  command(self, KEY("VCS_SetPositionCompareParameter"), cmd::kCompareSingleMode, cmd::kCompareIntervalMode,
          cmd::kCompareBothDirections, intervalWidth, cmd::kCompareRepetitions, kPulseWidth);
  say(py::str("trigger interval width is set to " + format2(IW) + "nm"));
  return py::none();
}

py::object activatePositionTrigger(py::handle self, Args&) {
  command(self, KEY("VCS_ActivatePositionCompare"), cmd::kTriggerOutput, cmd::kComparePolarity);
  command(self, KEY("VCS_EnablePositionCompare"));
  return py::none();
}

py::object deactivatePositionTrigger(py::handle self, Args&) {
  command(self, KEY("VCS_DisablePositionCompare"));
  command(self, KEY("VCS_DeactivatePositionCompare"), 3);
  return py::none();
}

}  // namespace vostel
