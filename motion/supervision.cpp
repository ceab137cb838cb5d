// Supervision of a running move: polls the controller until the target is
// reached, a limit switch is hit or a stop is requested, then switches the
// trigger off and stores the reached model position.
#include "diagnostics/support_file.h"
#include "module/methods.h"
#include "motion/move_common.h"

namespace vostel {

namespace {

constexpr int kSamplesEvery = 10;  // polls between two support-data samples

// A move whose controller has not answered the movement-state query at 30
// polls in a row (3 s of 0.1 s pauses, plus the time the failed commands
// took) is given up: a pulled cable or a closed handle. A USB hiccup of a
// poll or two, or a device that re-enumerates within a second or two, lets
// the move go on as before.
constexpr int kNoAnswerPolls = 30;

void stop_drive(py::handle self) {
  require_ok(command(self, KEY("VCS_SetQuickStopState")),
             "the stop request failed: the drive could not be quick-stopped");
  vcall(modattr(KEY("sleep")), 1);
  require_ok(command(self, KEY("VCS_SetEnableState")), "the drive stopped but could not be enabled again");
}

// The reached position is read and stored; it is never replaced by a stale
// or zero value when the read fails.
void read_and_store_position(py::handle self, py::handle PositionIs) {
  require_ok(command(self, KEY("VCS_GetPositionIs"), byref(PositionIs)),
             "the position reached could not be read; the stored position was left as it was");
  require_ok(store_position(self, PositionIs),
             "the position reached could not be written to the controller: "
             "the stored position is wrong until a move or a calibration stores it");
  note_reached(self, py::getattr(PositionIs, KEY("value")) + instance_attr(self, KEY("_motor__offset")));
}

void write_sample(py::handle self, py::handle PositionIs) {
  py::object current = cell(KEY("c_short"));
  command(self, KEY("VCS_GetCurrentIs"), byref(current));
  py::str line("Position: " + py::str(py::getattr(PositionIs, KEY("value"))).cast<std::string>() +
               ", Current: " + py::str(py::getattr(current, KEY("value"))).cast<std::string>() + "\n");
  append_support_text(self, line);
}

}  // namespace

py::object waittillmovementdone(py::handle self, Args& a) {
  py::object trigger = a[0];
  py::object pLimitSwitch = a[1];
  long long seccounter = 0;
  int unanswered = 0;
  py::object PositionIs = long32();
  py::object pTargetReached = bool32();
  self.attr(KEY("_motor__moving")) = py::bool_(true);
  try {
    while (!truthy(py::getattr(pTargetReached, KEY("value"))) && !truthy(instance_attr(self, KEY("_motor__stop")))) {
      unanswered = py::object(command(self, KEY("VCS_GetMovementState"), byref(pTargetReached))).equal(py::int_(0))
                       ? unanswered + 1
                       : 0;
      if (unanswered == kNoAnswerPolls)
        raise(PyExc_ConnectionError,
              "the controller did not answer for 3 s (cable pulled or connection closed): "
              "the move was given up; connect again once the cable is back");
      vcall(modattr(KEY("sleep")), 0.1);
      const Ctypes ct;  // once for the two reads after the pause
      command(self, ct, KEY("VCS_GetAllDigitalInputs"), byref(ct, pLimitSwitch));
      if (truthy(py::getattr(pLimitSwitch, KEY("value")))) {
        call_method(self, KEY("_motor__limitSwitch"));
        break;
      }
      command(self, ct, KEY("VCS_GetPositionIs"), byref(ct, PositionIs));
      ++seccounter;
      if (seccounter % kSamplesEvery == 0 && truthy(instance_attr(self, KEY("_motor__generateSupportData"))))
        write_sample(self, PositionIs);
    }
    unsigned long long failures = failed_commands();
    call_method(self, KEY("_motor__deactivateTriggerOutput"), trigger);
    self.attr(KEY("_motor__moving")) = py::bool_(false);
    if (truthy(py::getattr(pLimitSwitch, KEY("value")))) return py::none();
    if (failed_commands() != failures)
      raise(PyExc_ConnectionError, "the trigger output could not be switched off after the move");
    if (truthy(instance_attr(self, KEY("_motor__stop")))) stop_drive(self);
    read_and_store_position(self, PositionIs);
  } catch (py::error_already_set&) {
    leave_safe(self, trigger);
    throw;
  }
  return py::none();
}

py::object stopMovement(py::handle self, Args&) {
  self.attr(KEY("_motor__stop")) = py::bool_(true);
  return py::none();
}

}  // namespace vostel
