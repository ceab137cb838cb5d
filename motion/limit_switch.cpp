// Recovery from a limit switch: clear the fault, back off toward the middle
// of the range at a slow fixed profile, restore the user's profile and ask the
// operator for the wavelength reached.
#include "module/methods.h"
#include "motion/move_common.h"
#include "motion/recovery_math.h"

namespace vostel {

namespace {
constexpr int kRecoveryProfile = 300;  // rpm and rpm/s
constexpr int kPauseSeconds = 3;

// Never negative or zero, whichever way the wavelength runs and however fast
// the range is crossed (see the floor in recovery_math.h).
py::object wait_time_ms(py::handle self, py::handle xMP) {
  double ms = 0;
  if (!core::recovery_wait_ms(to_double(self.attr("_motor__CoeffA")), to_double(self.attr("_motor__CoeffB")),
                              to_double(xMP), to_double(self.attr("_motor__pEncoderResolution").attr("value")),
                              to_double(self.attr("_motor__maxWavelength")),
                              to_double(self.attr("_motor__minWavelength")), ms))
    raise(PyExc_ZeroDivisionError, "float division by zero");
  return int_from_double(ms);
}

// The profile to put back after the recovery's own: the one the object last
// wrote, or, when it holds none the controller can run (a value of 0, as on
// an object whose profile was never set), the one the controller holds now.
py::tuple profile_in_force(py::handle self) {
  py::object vmp = self.attr("_motor__vMP"), amp = self.attr("_motor__aMP"), bmp = self.attr("_motor__bMP");
  auto unset = [](py::handle v) { return !truthy(py::hasattr(v, "value") ? v.attr("value") : v); };
  if (unset(vmp) || unset(amp) || unset(bmp)) {
    vmp = cell("c_int");
    amp = cell("c_int");
    bmp = cell("c_int");
    command(self, "VCS_GetPositionProfile", byref(vmp), byref(amp), byref(bmp));
  }
  return py::make_tuple(vmp, amp, bmp);
}

py::object half_span(py::handle self) {
  py::object to_position = self.attr("_motor__wavelengthToMotorposition");
  py::object pmax = to_position(self.attr("_motor__maxWavelength"));
  py::object pmin = to_position(self.attr("_motor__minWavelength"));
  return int_from_double(core::half_span_steps(to_double(pmax), to_double(pmin)));
}
}  // namespace

py::object limitSwitch(py::handle self, Args&) {
  say(py::str("limitswitch activated"));
  say(py::str("new calibration is required"));
  say(py::str("a calibration window will open after the system went back near the center of the wavelength range"));
  py::object pLimitSwitch = cell("c_short", py::int_(0));
  command(self, "VCS_GetAllDigitalInputs", byref(pLimitSwitch));
  py::object word = pLimitSwitch.attr("value");
  py::object ballScrew = self.attr("_motor__BallScrew");
  int s = core::recovery_direction(ballScrew > py::int_(0) ? 1 : 0, word.cast<long long>());

  if (truthy(self.attr("_motor__generateSupportData"))) {
    try {
      append_text(self.attr("_motor__supportFilePath"), py::str("Limitswitch activated: ") + py::str(word) + py::str("\n"));
    } catch (py::error_already_set& e) {
      raise_in_context(e, PyExc_FileExistsError, "Support file not found.");
    }
  }

  py::tuple profile = profile_in_force(self);
  py::object xMP = middle_position(self);
  modattr("sleep")(kPauseSeconds);
  self.attr("_inLimitSwitch") = py::bool_(true);
  self.attr("_motor__clearFault")();
  command(self, "VCS_SetPositionProfile", kRecoveryProfile, kRecoveryProfile, kRecoveryProfile);
  py::object maxWaitTime = wait_time_ms(self, xMP);
  py::object steps = half_span(self);
  command(self, "VCS_MoveToPosition", steps * py::int_(s), 0, 1);
  self.attr("_motor__moving") = py::bool_(true);
  command(self, "VCS_WaitForTargetReached", maxWaitTime);
  self.attr("_motor__moving") = py::bool_(false);

  self.attr("_motor__revMotionTrigger") = py::bool_(false);
  configure_output3(self, py::int_(0), py::int_(1), to_int(self.attr("_motor__revMotionTrigger")));
  self.attr("_motor__deactivatePositionTrigger")();
  command(self, "VCS_SetPositionProfile", profile[0], profile[1], profile[2]);
  self.attr("_motor__limitSwitchCalibrationWindow")();
  self.attr("_inLimitSwitch") = py::bool_(false);
  return py::none();
}

py::object clearFault(py::handle self, Args&) {
  command(self, "VCS_ClearFault");
  command(self, "VCS_SetEnableState");
  return py::none();
}

}  // namespace vostel
