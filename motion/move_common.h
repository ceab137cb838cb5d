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

 private:
  PyObject* key_;
};

// Called by the home-position read and by supervision: notes the value for
// the move running on this thread, if any.
void note_home(py::handle self, py::handle value);
void note_reached(py::handle self, py::handle value);

// An error ends the move: leave the drive stopped and enabled (clearing a
// fault if enabling fails), its position stored when it can be read, the
// trigger off and the object idle. Every step is tried; their own errors
// give way to the one that ended the move.
void leave_safe(py::handle self, py::handle trigger);

// Starts the relative move of `steps` at once and supervises it. A refused
// start leaves everything safe and raises. Returns true when the move ran
// out on its own: no limit switch and no stop request ended it.
bool run_relative_move(py::handle self, py::handle steps, py::handle trigger, py::handle pLimitSwitch);

// Raises ConnectionError("<text>") unless `result` is a command's success.
void require_ok(py::handle result, const std::string& text);

// After a move that nobody stopped and no limit switch ended: raises when the
// stored position lies farther than the tolerance from `target` (a model
// position), after bringing the drive back to enabled.
void require_landed(py::handle self, const MoveScope& scope, long long target);

// After a move that lost the controller, the stored position is the one from
// before that move. connect() calls this once it has read the position: the
// position is stored again with the offset that held during that move, which
// is kept (the controller's counter ran on while nobody listened).
void restore_unstored_position(py::handle self);

// The trigger output (digital output 3, general purpose), with the given state, mask and polarity.
void configure_output3(py::handle self, py::object state, py::object mask, py::object polarity);

// The model position of the middle of the calibrated range (may raise the
// conversion's ValueError).
py::object middle_position(py::handle self);

}  // namespace vostel
