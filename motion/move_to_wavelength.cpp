// A move to a wavelength: one relative move planned from the stored model
// position, optionally approached from the short-wavelength side and
// finished with a second, correcting move.
#include "controller/commands.h"
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
  require_connection(self);
  wavelength = call_method(self, KEY("_motor__wlSafetyCheck"), wavelength);
  py::object pLimitSwitch = cell(KEY("c_short"), py::int_(0));
  // Converted before any output is switched, so that a wavelength the model
  // cannot reach leaves the trigger outputs as they were.
  py::object TP = call_method(self, KEY("_motor__wavelengthToMotorposition"), wavelength);
  if (trigger.not_equal(py::int_(2)) && truthy(self.attr(KEY("_motor__revMotionTrigger"))))
    configure_output3(self, py::int_(0), py::int_(0), py::int_(0));
  call_method(self, KEY("_motor__activateTriggerOutput"), trigger);
  py::object AP = call_method(self, KEY("_motor__HomePosition"));
  py::object Steps = TP - AP.attr(KEY("value"));

  py::object ballScrew = self.attr(KEY("_motor__BallScrew"));
  if ((ballScrew * Steps) < py::int_(0) && truthy(highPrecision)) {
    if (ballScrew > py::int_(0))
      Steps = Steps - py::int_(kOvershootPositiveScrew);
    else
      Steps = Steps + py::int_(kOvershootNegativeScrew);
  }

  command(self, KEY("VCS_MoveToPosition"), Steps, cmd::kRelative, cmd::kImmediately);
  call_method(self, KEY("_motor__waittillmovementdone"), trigger, pLimitSwitch);

  if (py::object(pLimitSwitch.attr(KEY("value"))).equal(py::int_(0)) && !truthy(self.attr(KEY("_motor__stop"))) &&
      truthy(highPrecision))
    call_method(self, KEY("moveToWavelength"), wavelength, 0, trigger);
  if (!truthy(highPrecision)) print_arrival(self);
  self.attr(KEY("_motor__stop")) = py::bool_(false);
  return stored_wavelength(self);
}

}  // namespace vostel
