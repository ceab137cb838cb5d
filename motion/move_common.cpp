#include "motion/move_common.h"

#include <cstdlib>
#include <thread>
#include <unordered_map>

#include "controller/commands.h"
#include "module/pynumber.h"
#include "motion/velocity_math.h"

namespace vostel {

namespace {

// Moves in progress, by motor object; read and written with the GIL held.
struct Running {
  std::thread::id thread;
  int depth = 0;
  bool homeKnown = false, reachedKnown = false;
  long long home = 0, reached = 0;
};

std::unordered_map<PyObject*, Running>& running() {
  static auto* moves = new std::unordered_map<PyObject*, Running>();
  return *moves;
}

Running* mine(py::handle self) {
  auto it = running().find(self.ptr());
  if (it == running().end() || it->second.thread != std::this_thread::get_id()) return nullptr;
  return &it->second;
}

// Motor objects whose last move ended without storing where the grating
// stands (the controller stopped answering), with the offset valid then. The
// entry goes when a later store succeeds or when the object is collected.
struct Unstored {
  py::object watch, offset;
};

std::unordered_map<PyObject*, Unstored>& unstored() {
  static auto* objects = new std::unordered_map<PyObject*, Unstored>();
  return *objects;
}

void mark_unstored(py::handle self) {
  PyObject* key = self.ptr();
  py::cpp_function forget([key](py::handle) { unstored().erase(key); });
  unstored()[key] = Unstored{py::weakref(self, forget), instance_attr(self, KEY("_motor__offset"))};
}

template <typename Step>
void attempt(Step&& step) {
  try {
    step();
  } catch (py::error_already_set&) {
    // Cleanup after another error: that error is the one the caller sees.
  }
}
}  // namespace

MoveScope::MoveScope(py::handle self) : key_(self.ptr()) {
  auto it = running().find(key_);
  if (it != running().end() && it->second.thread != std::this_thread::get_id())
    raise(PyExc_RuntimeError, "another move is still running on this motor; wait until it has ended or stop it");
  if (it == running().end()) {
    self.attr(KEY("_motor__stop")) = py::bool_(false);
    it = running().emplace(key_, Running{std::this_thread::get_id()}).first;
  }
  ++it->second.depth;
}

MoveScope::~MoveScope() {
  auto it = running().find(key_);
  if (it != running().end() && --it->second.depth == 0) running().erase(it);
}

bool MoveScope::home(long long& value) const {
  const Running& r = running().at(key_);
  value = r.home;
  return r.homeKnown;
}

bool MoveScope::reached(long long& value) const {
  const Running& r = running().at(key_);
  value = r.reached;
  return r.reachedKnown;
}

void note_home(py::handle self, py::handle value) {
  if (Running* r = mine(self)) {
    r->home = value.cast<long long>();
    r->homeKnown = true;
  }
}

void note_reached(py::handle self, py::handle value) {
  if (Running* r = mine(self)) {
    r->reached = value.cast<long long>();
    r->reachedKnown = true;
  }
}

void require_ok(py::handle result, const std::string& text) {
  if (py::reinterpret_borrow<py::object>(result).equal(py::int_(0))) raise(PyExc_ConnectionError, text);
}

namespace {
void enable_drive(py::handle self) {
  if (py::object(command(self, KEY("VCS_SetEnableState"))).equal(py::int_(0))) {
    command(self, KEY("VCS_ClearFault"));
    command(self, KEY("VCS_SetEnableState"));
  }
}
}  // namespace

void leave_safe(py::handle self, py::handle trigger) {
  attempt([&] { command(self, KEY("VCS_SetQuickStopState")); });
  attempt([&] { vcall(modattr(KEY("sleep")), 1); });
  attempt([&] { enable_drive(self); });
  bool stored = false;
  attempt([&] {
    py::object PositionIs = long32();
    if (!py::object(command(self, KEY("VCS_GetPositionIs"), byref(PositionIs))).equal(py::int_(0)))
      stored = !py::object(store_position(self, PositionIs)).equal(py::int_(0));
  });
  if (!stored) attempt([&] { mark_unstored(self); });
  attempt([&] { call_method(self, KEY("_motor__deactivateTriggerOutput"), trigger); });
  attempt([&] { self.attr(KEY("_motor__moving")) = py::bool_(false); });
}

bool run_relative_move(py::handle self, py::handle steps, py::handle trigger, py::handle pLimitSwitch) {
  if (py::object(command(self, KEY("VCS_MoveToPosition"), steps, cmd::kRelative, cmd::kImmediately))
          .equal(py::int_(0))) {
    leave_safe(self, trigger);
    raise(PyExc_ConnectionError, "the controller refused the move: the grating stays where it was");
  }
  call_method(self, KEY("_motor__waittillmovementdone"), trigger, pLimitSwitch);
  return py::object(py::getattr(pLimitSwitch, KEY("value"))).equal(py::int_(0)) &&
         !truthy(instance_attr(self, KEY("_motor__stop")));
}

void require_landed(py::handle self, const MoveScope& scope, long long target) {
  long long reached = 0;
  if (!scope.reached(reached) || std::llabs(reached - target) <= kLandingToleranceSteps) return;
  attempt([&] { enable_drive(self); });
  py::object to_wavelength = instance_attr(self, KEY("_motor__motorpositionToWavelength"));
  raise(PyExc_ConnectionError, "the move ended at " + format2(to_wavelength(reached)) + "nm, " +
                                   std::to_string(std::llabs(reached - target)) + " steps away from its target " +
                                   format2(to_wavelength(target)) +
                                   "nm, though nobody stopped it: the drive stopped on its own (a fault, "
                                   "disabled from outside or a refused command); the position it reached is stored");
}

py::object stored_wavelength(py::handle self) {
  unsigned long long failures = failed_commands();
  py::object stored = py::getattr(call_method(self, KEY("_motor__HomePosition")), KEY("value"));
  if (failed_commands() != failures) {
    // The read-back failed: the position this move stored is known.
    Running* r = mine(self);
    if (!r || !r->reachedKnown) raise(PyExc_ConnectionError, "the stored position could not be read back");
    stored = py::int_(r->reached);
  }
  return call_method(self, KEY("_motor__motorpositionToWavelength"), stored);
}

void print_arrival(py::handle self) { say(py::str("arrived at " + format2(stored_wavelength(self)) + "nm")); }

py::object store_position(py::handle self, py::handle PositionIs) {
  py::object model = py::getattr(PositionIs, KEY("value")) + instance_attr(self, KEY("_motor__offset"));
  py::object result = call_method(self, KEY("_motor__SetIndexValue"), kHomeIndex, 0, cell(KEY("c_int"), model));
  if (!result.equal(py::int_(0))) unstored().erase(self.ptr());
  return result;
}

void restore_unstored_position(py::handle self) {
  auto it = unstored().find(self.ptr());
  if (it == unstored().end()) return;
  py::object offset = it->second.offset;
  py::object model = py::object(instance_attr(self, KEY("_motor__pPositionIs")).attr(KEY("value"))) + offset;
  if (py::object(call_method(self, KEY("_motor__SetIndexValue"), kHomeIndex, 0, cell(KEY("c_int"), model)))
          .equal(py::int_(0)))
    return;
  self.attr(KEY("_motor__offset")) = offset;
  unstored().erase(self.ptr());
}

void configure_output3(py::handle self, py::object state, py::object mask, py::object polarity) {
  command(self, KEY("VCS_DigitalOutputConfiguration"), cmd::kTriggerOutput, cmd::kGeneralPurpose, std::move(state),
          std::move(mask), std::move(polarity));
}

py::object middle_position(py::handle self) {
  // (max + min) / 2 with the interpreter's rules for the numbers held.
  py::object maxWl = instance_attr(self, KEY("_motor__maxWavelength")),
             minWl = instance_attr(self, KEY("_motor__minWavelength"));
  core::Number nMax = 0, nMin = 0, centre = core::Number::failed();
  if (as_number(maxWl, nMax) && as_number(minWl, nMin)) centre = core::centre_of(nMax, nMin);
  py::object xWL =
      centre.is_failed() ? core::range_centre<PyNum>(plain(maxWl), plain(minWl)).object() : to_python(centre);
  return call_method(self, KEY("_motor__wavelengthToMotorposition"), xWL);
}

}  // namespace vostel
