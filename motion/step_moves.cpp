// A move by a number of steps along the wavelength axis, at most 5000 either way.
#include "controller/commands.h"
#include "module/argument_checks.h"
#include "module/methods.h"
#include "motion/move_common.h"

namespace vostel {

namespace {
constexpr int kMaxSteps = 5000;
}

py::object moveSteps(py::handle self, Args& a) {
  py::object steps = a[0], trigger = a[1];
  MoveScope scope(self);
  require_connection(self);
  require_scale_known(self);
  if (!(steps <= py::int_(kMaxSteps) && steps >= py::int_(-kMaxSteps)))
    raise(PyExc_ValueError, "number of given steps out of range");
  require_trigger_kind(trigger);
  py::object pLimitSwitch = cell(KEY("c_short"), py::int_(0));
  py::object PositionIs = long32();
  // Limited before any output is switched, so that a failing range check
  // leaves the trigger outputs as they were.
  unsigned long long failures = failed_commands();
  py::object move = py::object(instance_attr(self, KEY("_motor__BallScrew"))) *
                    call_method(self, KEY("_motor__PositionSafetyCheck"), steps);
  if (failed_commands() != failures)
    raise(PyExc_ConnectionError, "the stored position could not be read: the move was not started");
  long long start = 0;
  bool planned = scope.home(start);
  call_method(self, KEY("_motor__activateTriggerOutput"), trigger);
  bool ran_out = run_relative_move(self, move, trigger, pLimitSwitch);
  if (ran_out && planned) require_landed(self, scope, py::int_(start) + move, move);
  // After a limit switch the connection is closed and the store raises
  // "Motor not connected", as it always did.
  bool read = !py::object(command(self, KEY("VCS_GetPositionIs"), byref(PositionIs))).equal(py::int_(0));
  if (!read && py::object(py::getattr(pLimitSwitch, KEY("value"))).equal(py::int_(0)))
    give_up(self, trigger, "the position reached could not be read; the stored position was left as it was");
  if (py::object(store_position(self, PositionIs)).equal(py::int_(0)))
    give_up(self, trigger, "the position reached could not be written to the controller");
  note_reached(self, py::getattr(PositionIs, KEY("value")) + instance_attr(self, KEY("_motor__offset")));
  self.attr(KEY("_motor__stop")) = py::bool_(false);
  print_arrival(self);
  return stored_wavelength(self);
}

}  // namespace vostel
