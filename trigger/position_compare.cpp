// The position-compare trigger: a pulse on digital output 3 at every given
// wavelength interval of a move.
#include "controller/commands.h"
#include "module/methods.h"
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
  double g =
      core::trigger_slope(to_double(self.attr(KEY("_motor__CoeffA"))), to_double(self.attr(KEY("_motor__CoeffB"))),
                          to_double(xMP), to_double(self.attr(KEY("_motor__BallScrew"))));
  // The caller's width divided as Python divides it (any number type, the
  // same errors), then truncated toward zero.
  py::object intervalWidth = cell(KEY("c_int"), to_int(IW / py::float_(g)));

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
