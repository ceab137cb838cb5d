// A move to a wavelength: one relative move planned from the stored model
// position, optionally approached from the short-wavelength side and
// finished with a second, correcting move.
#include "controller/commands.h"
#include "module/argument_checks.h"
#include "module/methods.h"
#include "motion/move_common.h"

namespace vostel {

namespace {
// Overshoot past the target, by the direction of the drive mechanics.
constexpr int kOvershootPositiveScrew = 3000;
constexpr int kOvershootNegativeScrew = 10000;
}  // namespace

py::object moveToWavelength(py::handle self, Args& a) {
  py::object wavelength = a[0], highPrecision = a[1], trigger = a[2];
  MoveScope scope(self);
  require_connection(self);
  require_scale_known(self);
  require_finite_wavelength(wavelength);
  require_trigger_kind(trigger);
  bool precise = truthy(highPrecision);
  wavelength = call_method(self, KEY("_motor__wlSafetyCheck"), wavelength);
  py::object pLimitSwitch = cell(KEY("c_short"), py::int_(0));
  // Converted before any output is switched, so that a wavelength the model
  // cannot reach leaves the trigger outputs as they were.
  py::object TP = call_method(self, KEY("_motor__wavelengthToMotorposition"), wavelength);
  if (trigger.not_equal(py::int_(2)) && truthy(instance_attr(self, KEY("_motor__revMotionTrigger"))))
    configure_output3(self, py::int_(0), py::int_(0), py::int_(0));
  call_method(self, KEY("_motor__activateTriggerOutput"), trigger);
  unsigned long long failures = failed_commands();
  py::object AP = call_method(self, KEY("_motor__HomePosition"));
  if (failed_commands() != failures)
    give_up(self, trigger, "the stored position could not be read: the move was not started");
  py::object Steps = TP - py::getattr(AP, KEY("value"));

  py::object ballScrew = instance_attr(self, KEY("_motor__BallScrew"));
  if ((ballScrew * Steps) < py::int_(0) && precise) {
    if (ballScrew > py::int_(0))
      Steps = Steps - py::int_(kOvershootPositiveScrew);
    else
      Steps = Steps + py::int_(kOvershootNegativeScrew);
  }

  // A stop made between the legs of a high-precision move ends it before
  // the second leg sends anything that moves.
  if (scope.nested() && truthy(instance_attr(self, KEY("_motor__stop")))) {
    call_method(self, KEY("_motor__deactivateTriggerOutput"), trigger);
    return stored_wavelength(self);
  }
  bool ran_out = run_relative_move(self, Steps, trigger, pLimitSwitch);
  if (ran_out) require_landed(self, scope, py::getattr(AP, KEY("value")) + Steps, Steps);
  if (ran_out && precise && !truthy(instance_attr(self, KEY("_motor__stop"))))
    call_method(self, KEY("moveToWavelength"), wavelength, 0, trigger);
  if (!precise) print_arrival(self);
  self.attr(KEY("_motor__stop")) = py::bool_(false);
  return stored_wavelength(self);
}

}  // namespace vostel
