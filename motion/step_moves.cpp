// A move by a number of steps along the wavelength axis, at most 5000 either way.
#include "module/argument_checks.h"
#include "module/methods.h"
#include "motion/move_common.h"

namespace vostel {

namespace {
constexpr int kMaxSteps = 5000;
}

py::object moveSteps(py::handle self, Args& a) {
  py::object steps = a[0], trigger = a[1];
  require_connection(self);
  if (!(steps <= py::int_(kMaxSteps) && steps >= py::int_(-kMaxSteps)))
    raise(PyExc_ValueError, "number of given steps out of range");
  require_trigger_kind(trigger);
  py::object pLimitSwitch = cell("c_short", py::int_(0));
  py::object PositionIs = long32();
  // Limited before any output is switched, so that a failing range check
  // leaves the trigger outputs as they were.
  py::object move = py::object(self.attr("_motor__BallScrew")) * self.attr("_motor__PositionSafetyCheck")(steps);
  self.attr("_motor__activateTriggerOutput")(trigger);
  command(self, "VCS_MoveToPosition", move, 0, 1);
  self.attr("_motor__waittillmovementdone")(trigger, pLimitSwitch);
  command(self, "VCS_GetPositionIs", byref(PositionIs));
  store_position(self, PositionIs);
  self.attr("_motor__stop") = py::bool_(false);
  print_arrival(self);
  return stored_wavelength(self);
}

}  // namespace vostel
