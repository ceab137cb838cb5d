// Supervision of a running move: polls the controller until the target is
// reached, a limit switch is hit or a stop is requested, then switches the
// trigger off and stores the reached model position.
#include "diagnostics/support_file.h"
#include "module/methods.h"
#include "motion/move_common.h"

namespace vostel {

namespace {

constexpr int kSamplesEvery = 10;  // polls between two support-data samples

void stop_drive(py::handle self) {
  command(self, KEY("VCS_SetQuickStopState"));
  vcall(modattr(KEY("sleep")), 1);
  command(self, KEY("VCS_SetEnableState"));
}

void read_and_store_position(py::handle self, py::handle PositionIs) {
  command(self, KEY("VCS_GetPositionIs"), byref(PositionIs));
  store_position(self, PositionIs);
}

void write_sample(py::handle self, py::handle PositionIs) {
  py::object current = cell(KEY("c_short"));
  command(self, KEY("VCS_GetCurrentIs"), byref(current));
  py::str line("Position: " + py::str(PositionIs.attr(KEY("value"))).cast<std::string>() +
               ", Current: " + py::str(current.attr(KEY("value"))).cast<std::string>() + "\n");
  append_support_text(self, line);
}

template <typename Step>
void attempt(Step&& step) {
  try {
    step();
  } catch (py::error_already_set&) {
    // Cleanup after another error: that error is the one the caller sees.
  }
}

// An error escaped the move (Ctrl+C, an unwritable support file, ...): leave
// the drive stopped, its position stored, the trigger off and the object idle,
// as a stop request would, so that the next move starts from where it is.
void leave_safe(py::handle self, py::handle trigger, py::handle PositionIs) {
  attempt([&] { command(self, KEY("VCS_SetQuickStopState")); });
  attempt([&] { vcall(modattr(KEY("sleep")), 1); });
  attempt([&] { command(self, KEY("VCS_SetEnableState")); });
  attempt([&] { read_and_store_position(self, PositionIs); });
  attempt([&] { call_method(self, KEY("_motor__deactivateTriggerOutput"), trigger); });
  attempt([&] { self.attr(KEY("_motor__moving")) = py::bool_(false); });
}

}  // namespace

py::object waittillmovementdone(py::handle self, Args& a) {
  py::object trigger = a[0];
  py::object pLimitSwitch = a[1];
  long long seccounter = 0;
  py::object PositionIs = long32();
  py::object pTargetReached = bool32();
  self.attr(KEY("_motor__moving")) = py::bool_(true);
  try {
    while (!truthy(pTargetReached.attr(KEY("value"))) && !truthy(self.attr(KEY("_motor__stop")))) {
      command(self, KEY("VCS_GetMovementState"), byref(pTargetReached));
      vcall(modattr(KEY("sleep")), 0.1);
      command(self, KEY("VCS_GetAllDigitalInputs"), byref(pLimitSwitch));
      if (truthy(pLimitSwitch.attr(KEY("value")))) {
        call_method(self, KEY("_motor__limitSwitch"));
        break;
      }
      command(self, KEY("VCS_GetPositionIs"), byref(PositionIs));
      ++seccounter;
      if (seccounter % kSamplesEvery == 0 && truthy(self.attr(KEY("_motor__generateSupportData"))))
        write_sample(self, PositionIs);
    }
    call_method(self, KEY("_motor__deactivateTriggerOutput"), trigger);
    self.attr(KEY("_motor__moving")) = py::bool_(false);
    if (truthy(pLimitSwitch.attr(KEY("value")))) return py::none();
    if (truthy(self.attr(KEY("_motor__stop")))) stop_drive(self);
    read_and_store_position(self, PositionIs);
  } catch (py::error_already_set&) {
    leave_safe(self, trigger, PositionIs);
    throw;
  }
  return py::none();
}

py::object stopMovement(py::handle self, Args&) {
  self.attr(KEY("_motor__stop")) = py::bool_(true);
  return py::none();
}

}  // namespace vostel
