// A move by a number of steps along the wavelength axis, at most 5000 either way.
#include "controller/commands.h"
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
  py::object pLimitSwitch = cell(KEY("c_short"), py::int_(0));
  py::object PositionIs = long32();
  // Limited before any output is switched, so that a failing range check
  // leaves the trigger outputs as they were.
  py::object move =
      py::object(self.attr(KEY("_motor__BallScrew"))) * call_method(self, KEY("_motor__PositionSafetyCheck"), steps);
  call_method(self, KEY("_motor__activateTriggerOutput"), trigger);
  command(self, KEY("VCS_MoveToPosition"), move, cmd::kRelative, cmd::kImmediately);
  call_method(self, KEY("_motor__waittillmovementdone"), trigger, pLimitSwitch);
  command(self, KEY("VCS_GetPositionIs"), byref(PositionIs));
  store_position(self, PositionIs);
  self.attr(KEY("_motor__stop")) = py::bool_(false);
  print_arrival(self);
  return stored_wavelength(self);
}

}  // namespace vostel
