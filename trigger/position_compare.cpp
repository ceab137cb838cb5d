// The position-compare trigger: a pulse on digital output 3 at every given
// wavelength interval of a move.
#include "module/methods.h"
#include "module/pynumber.h"
#include "motion/move_common.h"
#include "trigger/compare_math.h"

namespace vostel {

namespace {
constexpr int kPulseWidth = 500;  // microseconds
}

py::object triggerParameter(py::handle self, Args& a) {
  require_connection(self);
  py::object IW = a[0];
  py::object xMP = middle_position(self);
  py::object A = self.attr("_motor__CoeffA"), B = self.attr("_motor__CoeffB");
  py::object ballScrew = self.attr("_motor__BallScrew");
  // Steps per interval: the caller's width divided by the slope, truncated
  // toward zero, with the interpreter's rules for the numbers given.
  core::Number nA = 0, nB = 0, nx = 0, ns = 0, nIW = 0, steps = core::Number::failed();
  if (as_number(A, nA) && as_number(B, nB) && as_number(xMP, nx) && as_number(ballScrew, ns) && as_number(IW, nIW))
    steps = core::truncate(nIW / core::trigger_slope(nA, nB, nx, ns));
  py::object whole;
  if (steps.is_failed()) {
    PyNum g = core::trigger_slope_of<PyNum>(plain(A), plain(B), plain(xMP), plain(ballScrew));
    whole = to_int((PyNum(plain(IW)) / g).object());
  } else {
    whole = to_python(steps);
  }
  py::object intervalWidth = cell("c_int", whole);

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
