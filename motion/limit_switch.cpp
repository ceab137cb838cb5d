// Recovery from a limit switch: clear the fault, back off toward the middle
// of the range at a slow fixed profile, restore the user's profile and ask the
// operator for the wavelength reached.
#include "controller/commands.h"
#include "diagnostics/support_file.h"
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
  if (!core::recovery_wait_ms(
          to_double(self.attr(KEY("_motor__CoeffA"))), to_double(self.attr(KEY("_motor__CoeffB"))), to_double(xMP),
          to_double(self.attr(KEY("_motor__pEncoderResolution")).attr(KEY("value"))),
          to_double(self.attr(KEY("_motor__maxWavelength"))), to_double(self.attr(KEY("_motor__minWavelength"))), ms))
    raise(PyExc_ZeroDivisionError, "float division by zero");
  return int_from_double(ms);
}

// The profile to put back after the recovery's own: the one the object last
// wrote, or, when it holds none the controller can run (a value of 0, as on
// an object whose profile was never set), the one the controller holds now.
py::tuple profile_in_force(py::handle self) {
  py::object vmp = self.attr(KEY("_motor__vMP")), amp = self.attr(KEY("_motor__aMP")),
             bmp = self.attr(KEY("_motor__bMP"));
  auto unset = [](py::handle v) { return !truthy(py::hasattr(v, "value") ? v.attr(KEY("value")) : v); };
  if (unset(vmp) || unset(amp) || unset(bmp)) {
    vmp = cell(KEY("c_int"));
    amp = cell(KEY("c_int"));
    bmp = cell(KEY("c_int"));
    command(self, KEY("VCS_GetPositionProfile"), byref(vmp), byref(amp), byref(bmp));
  }
  return py::make_tuple(vmp, amp, bmp);
}

// The back-off ends with the drive standing: a wait that failed (refused,
// or timed out with the drive still going) is followed by polling the
// movement state for as long again, then by stopping the drive. False when
// the drive neither reported standing nor could be stopped.
bool back_off_ended(py::handle self, py::handle maxWaitTime) {
  if (!py::object(command(self, KEY("VCS_WaitForTargetReached"), maxWaitTime)).equal(py::int_(0))) return true;
  long long polls = maxWaitTime.cast<long long>() / 100 + 1;
  for (long long i = 0; i < polls; ++i) {
    py::object pTargetReached = bool32();
    if (!py::object(command(self, KEY("VCS_GetMovementState"), byref(pTargetReached))).equal(py::int_(0)) &&
        truthy(pTargetReached.attr(KEY("value"))))
      return true;
    vcall(modattr(KEY("sleep")), 0.1);
  }
  halt_drive(self);
  return wait_until_standing(self);
}

[[noreturn]] void recovery_failed(py::handle self, const std::string& text) {
  self.attr(KEY("_motor__moving")) = py::bool_(false);
  self.attr(KEY("_inLimitSwitch")) = py::bool_(false);
  raise(PyExc_ConnectionError, text);
}

py::object half_span(py::handle self) {
  py::object to_position = self.attr(KEY("_motor__wavelengthToMotorposition"));
  py::object pmax = to_position(self.attr(KEY("_motor__maxWavelength")));
  py::object pmin = to_position(self.attr(KEY("_motor__minWavelength")));
  return int_from_double(core::half_span_steps(to_double(pmax), to_double(pmin)));
}
}  // namespace

py::object limitSwitch(py::handle self, Args&) {
  say(py::str("limitswitch activated"));
  say(py::str("new calibration is required"));
  say(py::str("a calibration window will open after the system went back near the center of the wavelength range"));
  py::object pLimitSwitch = cell(KEY("c_short"), py::int_(0));
  command(self, KEY("VCS_GetAllDigitalInputs"), byref(pLimitSwitch));
  py::object word = pLimitSwitch.attr(KEY("value"));
  // Only a word of one switch alone gives a direction, and only then does
  // the direction of the drive mechanics matter.
  long long input_word = word.cast<long long>();
  int s = 0;
  if (input_word == 1 || input_word == 2) {
    py::object ballScrew = self.attr(KEY("_motor__BallScrew"));
    s = core::recovery_direction(ballScrew > py::int_(0) ? 1 : 0, input_word);
  }

  if (truthy(self.attr(KEY("_motor__generateSupportData")))) {
    append_support_text(self, py::str("Limitswitch activated: ") + py::str(word) + py::str("\n"));
  }

  py::tuple profile = profile_in_force(self);
  py::object xMP = middle_position(self);
  vcall(modattr(KEY("sleep")), kPauseSeconds);
  self.attr(KEY("_inLimitSwitch")) = py::bool_(true);
  // A fault that cannot be cleared (tried twice) leaves the motor at the
  // switch: the recovery stops here instead of going on toward the window.
  bool cleared = false;
  for (int attempt = 0; attempt < 2 && !cleared; ++attempt) {
    unsigned long long failures = failed_commands();
    call_method(self, KEY("_motor__clearFault"));
    cleared = failed_commands() == failures;
  }
  if (!cleared)
    recovery_failed(self,
                    "the drive is in fault at the limit switch and the fault could not be cleared: the motor was "
                    "not backed off; disconnect() and connect() again, which clears the fault, then move away "
                    "from the switch and calibrate");
  command(self, KEY("VCS_SetPositionProfile"), kRecoveryProfile, kRecoveryProfile, kRecoveryProfile);
  py::object maxWaitTime = wait_time_ms(self, xMP);
  py::object steps = half_span(self);
  command(self, KEY("VCS_MoveToPosition"), steps * py::int_(s), cmd::kRelative, cmd::kImmediately);
  self.attr(KEY("_motor__moving")) = py::bool_(true);
  if (!back_off_ended(self, maxWaitTime))
    recovery_failed(self,
                    "the drive did not come to a stand while backing off from the limit switch and could not be "
                    "stopped: disconnect() and connect() again once the controller answers, then calibrate");
  self.attr(KEY("_motor__moving")) = py::bool_(false);

  self.attr(KEY("_motor__revMotionTrigger")) = py::bool_(false);
  configure_output3(self, py::int_(0), py::int_(1), to_int(self.attr(KEY("_motor__revMotionTrigger"))));
  call_method(self, KEY("_motor__deactivatePositionTrigger"));
  command(self, KEY("VCS_SetPositionProfile"), profile[0], profile[1], profile[2]);
  call_method(self, KEY("_motor__limitSwitchCalibrationWindow"));
  self.attr(KEY("_inLimitSwitch")) = py::bool_(false);
  if (scale_unknown(self))
    raise(PyExc_ConnectionError,
          "a limit switch was reached and the controller refused to store the calibration, so the wavelength "
          "scale is unknown; the drive stands and the motor was disconnected: connect() again and call "
          "calibration() with the wavelength the grating stands at before moving");
  return py::none();
}

py::object clearFault(py::handle self, Args&) {
  command(self, KEY("VCS_ClearFault"));
  command(self, KEY("VCS_SetEnableState"));
  return py::none();
}

}  // namespace vostel
