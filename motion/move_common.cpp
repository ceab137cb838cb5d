#include "motion/move_common.h"

#include <chrono>
#include <cmath>
#include <map>
#include <set>
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
  bool supervising = false;     // the drive runs toward the move's target
  bool disconnected = false;    // disconnect() ended the move ...
  bool disconnectStored = false;  // ... and stored where the drive came to stand
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

// Ports whose wavelength scale is unknown: a limit switch was reached and the
// controller refused to store the calibration the operator entered.
std::set<std::string>& uncalibrated() {
  static auto* ports = new std::set<std::string>();
  return *ports;
}

Running* any_move(py::handle self) {
  auto it = running().find(self.ptr());
  return it == running().end() ? nullptr : &it->second;
}

// Polls of the movement state while a stopped drive brakes.
constexpr double kStandPollSeconds = 0.1;
// Failed movement-state queries in a row after which the wait gives up.
constexpr int kStandUnanswered = 3;
// Braking time added to the computed one, and the wait used when the
// controller's quick-stop deceleration cannot be read.
constexpr double kStandMarginSeconds = 1.0;
constexpr double kStandUnknownSeconds = 10.0;
// The top speed a profile can ask for when the object holds no usable one.
constexpr double kTopSpeedRpm = 25000;

const char* const kDisconnectedStored =
    "the move was ended by disconnect(), which stopped the drive and stored the position it came to stand at: "
    "connect() again to go on";
const char* const kDisconnectedLost =
    "the move was ended by disconnect(); the drive did not report standing or its position could not be stored, "
    "so nothing was stored: connect() again, which stops the drive and stores the position it stands at";
const char* const kDisconnectedElsewhere =
    "the motor was disconnected during the move, which ended it: connect() again to go on";

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

void close_device(py::handle self) {
  call_method(self, KEY("_motor__dllCall"), "VCS_CloseDevice", instance_attr(self, KEY("_motor__keyhandle")),
              byref(instance_attr(self, KEY("_motor__pErrorCode"))));
}
}  // namespace

bool halt_drive(py::handle self) {
  return !is_zero(command(self, KEY("VCS_SetQuickStopState"))) || !is_zero(command(self, KEY("VCS_SetDisableState")));
}

double standstill_bound_seconds(double max_rpm, double rpm_per_s) {
  if (!(rpm_per_s > 0) || !std::isfinite(rpm_per_s)) return kStandUnknownSeconds;
  double top = max_rpm > 0 && std::isfinite(max_rpm) ? max_rpm : kTopSpeedRpm;
  return top / rpm_per_s + kStandMarginSeconds;
}

bool wait_until_standing(py::handle self) {
  py::object rate = cell(KEY("c_uint32"));
  py::object pNbOfBytesRead = cell(KEY("c_int"));
  double rpm_per_s = 0;
  if (!is_zero(command(self, KEY("VCS_GetObject"), cmd::kQuickStopDecelerationIndex, 0, byref(rate), kEntryBytes,
                       byref(pNbOfBytesRead))))
    rpm_per_s = to_double(rate.attr(KEY("value")));
  double max_rpm = 0;
  try {
    py::object top = instance_attr(self, KEY("_motor__MaxProfileVelocity"));  // a c_int cell
    max_rpm = to_double(py::hasattr(top, "value") ? py::object(top.attr(KEY("value"))) : top);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  double polls = std::ceil(standstill_bound_seconds(max_rpm, rpm_per_s) / kStandPollSeconds);
  int unanswered = 0;
  for (double i = 0;; ++i) {
    py::object pTargetReached = bool32();
    if (is_zero(command(self, KEY("VCS_GetMovementState"), byref(pTargetReached)))) {
      if (++unanswered >= kStandUnanswered) return false;
    } else if (truthy(pTargetReached.attr(KEY("value")))) {
      return true;
    } else {
      unanswered = 0;
    }
    if (i >= polls) return false;
    vcall(modattr(KEY("sleep")), kStandPollSeconds);
  }
}

bool move_to_stop_on_disconnect(py::handle self) {
  Running* r = any_move(self);
  return r && (r->thread != std::this_thread::get_id() || r->supervising);
}

void note_disconnect_ends_move(py::handle self) {
  if (Running* r = any_move(self)) r->disconnected = true;
}

void note_disconnect_stored(py::handle self, bool stored) {
  if (Running* r = any_move(self)) r->disconnectStored = stored;
}

bool disconnect_ended_move(py::handle self) {
  Running* r = any_move(self);
  return r && r->disconnected;
}

void raise_if_disconnected(py::handle self) {
  Running* r = any_move(self);
  bool ended = r && r->disconnected;
  if (!ended && truthy(instance_attr(self, KEY("_motor__connection")))) return;
  if (!ended) raise(PyExc_ConnectionError, kDisconnectedElsewhere);
  // disconnect() on another thread may still be closing the device: the
  // caller is told to connect again only once it has.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (truthy(instance_attr(self, KEY("_motor__connection"))) && std::chrono::steady_clock::now() < until) {
    py::gil_scoped_release unlocked;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  r = any_move(self);
  raise(PyExc_ConnectionError, r && r->disconnectStored ? kDisconnectedStored : kDisconnectedLost);
}

void note_supervising(py::handle self, bool supervising) {
  if (Running* r = mine(self)) r->supervising = supervising;
}

void mark_scale_unknown(py::handle self) { uncalibrated().insert(port_of(self)); }

bool scale_unknown(py::handle self) { return !uncalibrated().empty() && uncalibrated().count(port_of(self)) > 0; }

void require_scale_known(py::handle self) {
  if (scale_unknown(self))
    raise(PyExc_ConnectionError,
          "the wavelength scale is unknown: a limit switch was reached and the controller refused to store the "
          "calibration; call calibration() with the wavelength the grating stands at before moving");
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
  if (disconnect_ended_move(self) || !truthy(instance_attr(self, KEY("_motor__connection")))) {
    // disconnect() ended the move and stored what it could.
    attempt([&] { self.attr(KEY("_motor__moving")) = py::bool_(false); });
    return true;
  }
  bool halted = false, stood = false, stored = false, off = false;
  attempt([&] { halted = halt_drive(self); });
  // A drive still braking (or never coming to a stand) has no position to
  // store: nothing is stored and the next connect() stores it.
  attempt([&] { stood = wait_until_standing(self); });
  attempt([&] { enable_drive(self); });
  if (!halted) halted = stood;
  if (stood)
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
  // The planned position and the stored one may sit on either side of the
  // 32-bit wrap (a home position read back as a negative 32-bit value, a
  // target past 2**31), so the step count itself may be near 2**32.
  py::object sent = py::reinterpret_borrow<py::object>(steps);
  const py::int_ wide(1ULL << 63);
  if (sent >= -wide && sent < wide) off = number_op(PyNumber_Remainder((off + half).ptr(), turn.ptr())) - half;
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
  if (!is_zero(result) && !lost().empty()) {
    auto it = lost().find(port_of(self));
    if (it != lost().end()) it->second = py::none();
  }
  return result;
}

void forget_lost_position(py::handle self) {
  auto it = lost().find(port_of(self));
  if (it != lost().end()) it->second = py::none();
  uncalibrated().erase(port_of(self));
}

bool repair_after_lost_move(py::handle self) {
  auto it = lost().find(port_of(self));
  if (it == lost().end()) return true;
  py::object offset = it->second;
  // The drive may still be running the move that was given up: it is
  // stopped first, so that the position stored is where it stands.
  unsigned long long failures = failed_commands();
  halt_drive(self);
  if (!wait_until_standing(self)) return false;
  failures = failed_commands();
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
