// Pieces shared by the move methods, their supervision and the limit-switch
// recovery.
#pragma once

#include <string>

#include "module/pyutil.h"
#include "wavelength/calibration_store.h"

namespace vostel {

// The wavelength of the model position stored in the controller's
// home-position object, freshly read.
py::object stored_wavelength(py::handle self);

// Prints "arrived at <wavelength>nm" for the stored position.
void print_arrival(py::handle self);

// Writes controller position + offset into the home-position object; returns
// the command's result.
py::object store_position(py::handle self, py::handle PositionIs);

// A move may end this far (steps) from the position it was planned to reach
// and still count as arrived. The position loop of a drive at rest settles
// within a few counts; 20 steps are 0.01 nm on the factory slope (0.0005 nm
// per step), below the two decimals a move prints, while a drive that faults,
// is disabled or refuses a command stops hundreds or thousands of steps short.
constexpr long long kLandingToleranceSteps = 20;

// The move in progress on a motor object. A move method opens one for its
// whole run: a move started from another thread while it is open raises
// RuntimeError before anything is sent; the second leg of a high-precision
// move, on the same thread, joins it. The outermost one clears a stop request
// made before it started, so that a stop only ends the move it was made in.
class MoveScope {
 public:
  explicit MoveScope(py::handle self);
  ~MoveScope();
  MoveScope(const MoveScope&) = delete;
  MoveScope& operator=(const MoveScope&) = delete;

  // The stored model position as the running move last read it, and the
  // model position its supervision last stored; false when not read.
  bool home(long long& value) const;
  bool reached(long long& value) const;
  // True in the second leg of a high-precision move.
  bool nested() const;

 private:
  PyObject* key_;
};

// Called by the home-position read and by supervision: notes the value for
// the move running on this thread, if any.
void note_home(py::handle self, py::handle value);
void note_reached(py::handle self, py::handle value);

// An error ends the move: leave the drive stopped and enabled (disabled when
// the quick stop is refused, then enabled again; a fault cleared if enabling
// fails), its position stored when it can be read, the trigger off and the
// object idle. Every step is tried; their own errors give way to the one that
// ended the move. Returns false when the drive could not be stopped (and does
// not report standing), the position not stored or the trigger not switched
// off: the object is then left not connected, and the next connect() on its
// port repairs that (see repair_after_lost_move).
bool leave_safe(py::handle self, py::handle trigger);

// leave_safe(), then ConnectionError(text), told how to go on when the
// object was left not connected.
[[noreturn]] void give_up(py::handle self, py::handle trigger, const std::string& text);

// What a raise after leave_safe() adds when it returned false.
extern const char* const kReconnectToRepair;

// Stops the drive: a quick stop, or, when that is refused, disabling it.
// Returns false when both were refused (the drive may still be running).
bool halt_drive(py::handle self);

// Waits, polling the movement state, until the drive reports standing: a
// stopped drive brakes at the controller's quick-stop deceleration, so the
// wait lasts as long as braking from the top speed at that deceleration
// takes, and a little longer. False when the drive did not report standing
// within that time or the controller stopped answering.
bool wait_until_standing(py::handle self);

// How long wait_until_standing() waits at most, in seconds, for a
// quick-stop deceleration of `rpm_per_s` (0 when it could not be read).
double standstill_bound_seconds(double max_rpm, double rpm_per_s);

// True while a move runs on this object that a disconnect() must stop first:
// one on another thread, or, on this thread (a signal handler calling
// disconnect()), one whose supervision is waiting for the drive.
bool move_to_stop_on_disconnect(py::handle self);

// Notes that disconnect() is ending the running move; `stored`: whether it
// stored the position the drive came to stand at. The move's own thread sees
// it through disconnect_ended_move().
void note_disconnect_ends_move(py::handle self);
void note_disconnect_stored(py::handle self, bool stored);

// When disconnect() ended the running move: raises the error that says so
// (after waiting, boundedly, for that disconnect() to finish on its thread).
void raise_if_disconnected(py::handle self);
bool disconnect_ended_move(py::handle self);

// Supervision marks the part of a move in which the drive runs toward the
// target (not the limit-switch recovery it may call).
void note_supervising(py::handle self, bool supervising);

// After a limit switch whose calibration the controller refused to store,
// the wavelength scale of the port is unknown: moves raise until a
// calibration is stored.
void mark_scale_unknown(py::handle self);
bool scale_unknown(py::handle self);
void require_scale_known(py::handle self);

// The port the object opened, noted by connect() (UTF-8 of its argument).
void note_port(py::handle self, const std::string& port);

// Notes that the grating's position is not stored: the next connect() on the
// object's port stores it with the offset the object holds now.
void mark_position_unstored(py::handle self);

// Starts the relative move of `steps` at once and supervises it. A refused
// start leaves everything safe and raises. Returns true when the move ran
// out on its own: no limit switch and no stop request ended it.
bool run_relative_move(py::handle self, py::handle steps, py::handle trigger, py::handle pLimitSwitch);

// Raises ConnectionError("<text>") unless `result` is a command's success.
void require_ok(py::handle result, const std::string& text);

// After a move that nobody stopped and no limit switch ended: raises when the
// stored position lies farther than the tolerance from `target` (a model
// position, a Python int), after bringing the drive back to enabled. The
// controller's counter, the step count it is sent and the stored position are
// all 32 bits wide: positions are compared modulo 2**32, so a move across
// the counter's wrap lands where it stored, whatever the step count planned,
// up to one that fits no 64-bit counter either (no drive moved by that).
void require_landed(py::handle self, const MoveScope& scope, py::handle target, py::handle steps);

// After a move that lost the controller, the stored position may be the one
// from before that move, the drive may still be running it and the trigger
// outputs may be on. connect() calls this once it has read the calibration,
// whichever motor object lost it on this port: the drive is stopped and
// enabled, the trigger outputs are switched off and the position it stands
// at is stored with the offset that held during that move, which is kept
// (the controller's counter ran on while nobody listened). Returns false when
// any of that failed.
bool repair_after_lost_move(py::handle self);

// A calibration stored the position with a new offset: nothing is left to
// repair, and the wavelength scale is known again.
void forget_lost_position(py::handle self);

// The trigger output (digital output 3, general purpose), with the given state, mask and polarity.
void configure_output3(py::handle self, py::object state, py::object mask, py::object polarity);

// The model position of the middle of the calibrated range (may raise the
// conversion's ValueError).
py::object middle_position(py::handle self);

}  // namespace vostel
