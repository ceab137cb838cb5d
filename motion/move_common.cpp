#include "motion/move_common.h"

#include <map>
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

// The port each motor object opened; the entry goes when the object is
// collected.
struct Port {
  py::object watch;
  std::string name;
};

std::unordered_map<PyObject*, Port>& ports() {
  static auto* opened = new std::unordered_map<PyObject*, Port>();
  return *opened;
}

std::string port_of(py::handle self) {
  auto it = ports().find(self.ptr());
  return it == ports().end() ? std::string() : it->second.name;
}

// Ports on which a move ended without storing where the grating stands
// (`offset`: the offset valid then) or without switching the trigger off
// (`offset` None). Kept by port, not by object: after a ConnectionError a
// caller may drop the object and connect a fresh one.
std::map<std::string, py::object>& lost() {
  static auto* ports = new std::map<std::string, py::object>();
  return *ports;
}

bool is_zero(py::handle result) { return py::reinterpret_borrow<py::object>(result).equal(py::int_(0)); }

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

bool MoveScope::nested() const { return running().at(key_).depth > 1; }

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

const char* const kReconnectToRepair =
    "; the drive could not be stopped, the position it reached not stored or a trigger output not switched "
    "off, so the motor was disconnected: connect() again once the controller answers, which stops the drive, "
    "stores its position and switches the outputs off";

namespace {
void enable_drive(py::handle self) {
  if (is_zero(command(self, KEY("VCS_SetEnableState")))) {
    command(self, KEY("VCS_ClearFault"));
    command(self, KEY("VCS_SetEnableState"));
  }
}

// Whether the drive reports no motion in progress.
bool drive_stands(py::handle self) {
  py::object pTargetReached = bool32();
  return !is_zero(command(self, KEY("VCS_GetMovementState"), byref(pTargetReached))) &&
         truthy(pTargetReached.attr(KEY("value")));
}

void close_device(py::handle self) {
  call_method(self, KEY("_motor__dllCall"), "VCS_CloseDevice", instance_attr(self, KEY("_motor__keyhandle")),
              byref(instance_attr(self, KEY("_motor__pErrorCode"))));
}
}  // namespace

bool halt_drive(py::handle self) {
  return !is_zero(command(self, KEY("VCS_SetQuickStopState"))) || !is_zero(command(self, KEY("VCS_SetDisableState")));
}

bool moving_elsewhere(py::handle self) {
  auto it = running().find(self.ptr());
  return it != running().end() && it->second.thread != std::this_thread::get_id();
}

void note_port(py::handle self, const std::string& port) {
  PyObject* key = self.ptr();
  auto it = ports().find(key);
  if (it != ports().end()) {
    it->second.name = port;
    return;
  }
  py::cpp_function forget([key](py::handle) { ports().erase(key); });
  ports().emplace(key, Port{py::weakref(self, forget), port});
}

void mark_position_unstored(py::handle self) { lost()[port_of(self)] = instance_attr(self, KEY("_motor__offset")); }

bool leave_safe(py::handle self, py::handle trigger) {
  if (!truthy(instance_attr(self, KEY("_motor__connection")))) {
    // disconnect() from another thread ended the move and stored what it could.
    attempt([&] { self.attr(KEY("_motor__moving")) = py::bool_(false); });
    return true;
  }
  bool halted = false, stored = false, off = false;
  attempt([&] { halted = halt_drive(self); });
  attempt([&] { vcall(modattr(KEY("sleep")), 1); });
  attempt([&] { enable_drive(self); });
  if (!halted) attempt([&] { halted = drive_stands(self); });
  attempt([&] {
    py::object PositionIs = long32();
    if (!is_zero(command(self, KEY("VCS_GetPositionIs"), byref(PositionIs))))
      stored = !is_zero(store_position(self, PositionIs));
  });
  attempt([&] {
    unsigned long long failures = failed_commands();
    call_method(self, KEY("_motor__deactivateTriggerOutput"), trigger);
    off = failed_commands() == failures;
  });
  attempt([&] { self.attr(KEY("_motor__moving")) = py::bool_(false); });
  if (halted && stored && off) return true;
  // Nothing may start from here: the object is left not connected.
  attempt([&] {
    if (!halted || !stored)
      mark_position_unstored(self);
    else
      lost().emplace(port_of(self), py::none());
  });
  attempt([&] { close_device(self); });
  attempt([&] { self.attr(KEY("_motor__connection")) = py::bool_(false); });
  return false;
}

void give_up(py::handle self, py::handle trigger, const std::string& text) {
  bool safe = leave_safe(self, trigger);
  raise(PyExc_ConnectionError, safe ? text : text + kReconnectToRepair);
}

bool run_relative_move(py::handle self, py::handle steps, py::handle trigger, py::handle pLimitSwitch) {
  if (is_zero(command(self, KEY("VCS_MoveToPosition"), steps, cmd::kRelative, cmd::kImmediately)))
    give_up(self, trigger, "the controller refused the move: the grating stays where it was");
  call_method(self, KEY("_motor__waittillmovementdone"), trigger, pLimitSwitch);
  return py::object(py::getattr(pLimitSwitch, KEY("value"))).equal(py::int_(0)) &&
         !truthy(instance_attr(self, KEY("_motor__stop")));
}

namespace {
py::object number_op(PyObject* result) {
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}
}  // namespace

void require_landed(py::handle self, const MoveScope& scope, py::handle target, py::handle steps) {
  long long reached_at = 0;
  if (!scope.reached(reached_at)) return;
  py::object reached = py::int_(reached_at);
  py::object off = reached - py::reinterpret_borrow<py::object>(target);
  const py::int_ half(1LL << 31), turn(1LL << 32);
  py::object sent = py::reinterpret_borrow<py::object>(steps);
  if (sent >= -half && sent < half) off = number_op(PyNumber_Remainder((off + half).ptr(), turn.ptr())) - half;
  py::object distance = number_op(PyNumber_Absolute(off.ptr()));
  if (distance <= py::int_(kLandingToleranceSteps)) return;
  attempt([&] { enable_drive(self); });
  py::object to_wavelength = instance_attr(self, KEY("_motor__motorpositionToWavelength"));
  raise(PyExc_ConnectionError, "the move ended at " + format2(to_wavelength(reached)) + "nm, " +
                                   py::str(distance).cast<std::string>() + " steps away from its target " +
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
  if (!is_zero(result) && !lost().empty()) forget_lost_position(self);
  return result;
}

void forget_lost_position(py::handle self) {
  auto it = lost().find(port_of(self));
  if (it != lost().end()) it->second = py::none();
}

bool repair_after_lost_move(py::handle self) {
  auto it = lost().find(port_of(self));
  if (it == lost().end()) return true;
  py::object offset = it->second;
  // The drive may still be running the move that was given up: it is
  // stopped first, so that the position stored is where it stands.
  unsigned long long failures = failed_commands();
  if (!halt_drive(self)) return false;
  vcall(modattr(KEY("sleep")), 1);
  enable_drive(self);
  call_method(self, KEY("_motor__deactivateTriggerOutput"), 2);
  call_method(self, KEY("_motor__deactivateTriggerOutput"), 1);
  if (failed_commands() != failures) return false;
  if (!offset.is_none()) {
    py::object PositionIs = long32();
    if (is_zero(command(self, KEY("VCS_GetPositionIs"), byref(PositionIs)))) return false;
    py::object model = py::getattr(PositionIs, KEY("value")) + offset;
    if (is_zero(call_method(self, KEY("_motor__SetIndexValue"), kHomeIndex, 0, cell(KEY("c_int"), model))))
      return false;
    self.attr(KEY("_motor__offset")) = offset;
  }
  lost().erase(port_of(self));
  return true;
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
