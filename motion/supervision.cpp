// Supervision of a running move: polls the controller until the target is
// reached, a limit switch is hit or a stop is requested, then switches the
// trigger off and stores the reached model position.
#include <algorithm>

#include "diagnostics/support_file.h"
#include "module/methods.h"
#include "motion/move_common.h"

namespace vostel {

namespace {

constexpr int kSamplesEvery = 10;  // polls between two support-data samples

// A move whose controller has not answered the movement-state query for 5 s
// is given up: a pulled cable or a closed handle. The time is taken on the
// clock of time.monotonic, looked up at each run (so that a test may put a
// simulated clock there), and counts the time the failing commands take
// themselves: a pass is not started when it would end past the bound if its
// commands fail as slowly as the slowest failure so far, so supervision gives
// up within 5 s of the last answer. A USB hiccup of a poll or two, or a device
// that re-enumerates within a second or two, lets the move go on as before.
constexpr double kNoAnswerSeconds = 5.0;
constexpr double kPollSeconds = 0.1;
constexpr int kCommandsPerPass = 3;
// The pauses alone of this many polls take 5 s, so in real time the clock
// always decides first; this bounds a run whose pause does not take time.
constexpr int kNoAnswerPolls = 50;

// What an error of the move's own adds when the drive could be left standing
// with its position stored after all.
constexpr const char* kSafeAfterAll = "; the drive stands and the position it reached is stored: move again to go on";

class AnswerWatch {
 public:
  AnswerWatch() : clock_(py::module_::import("time").attr("monotonic")) { answered_ = now(); }
  double now() const { return py::float_(clock_()).cast<double>(); }
  // The movement-state query sent at `asked` answered.
  void answered(double asked) {
    answered_ = asked;
    unanswered_ = 0;
  }
  // It did not: true when the next pass could not end within the bound.
  bool given_up(double asked) {
    double t = now();
    slowest_ = std::max(slowest_, t - asked);
    ++unanswered_;
    return unanswered_ >= kNoAnswerPolls ||
           t - answered_ + kPollSeconds + kCommandsPerPass * slowest_ > kNoAnswerSeconds;
  }

 private:
  py::object clock_;
  double answered_ = 0, slowest_ = 0;
  int unanswered_ = 0;
};

// A refused quick stop is followed by disabling the drive, the other way to
// stop it; the move raises either way, saying whether the drive stopped. The
// position is taken once the drive reports standing: it brakes at the
// controller's quick-stop deceleration, which may take longer than a second.
void stop_drive(py::handle self) {
  if (py::object(command(self, KEY("VCS_SetQuickStopState"))).equal(py::int_(0))) {
    if (py::object(command(self, KEY("VCS_SetDisableState"))).equal(py::int_(0)))
      raise(PyExc_ConnectionError,
            "the stop request failed: the drive refused both the quick stop and being disabled, so it was not "
            "stopped");
    raise(PyExc_ConnectionError,
          "the stop request failed: the drive refused the quick stop and was disabled instead, which stopped it");
  }
  bool stood = wait_until_standing(self);
  raise_if_disconnected(self);
  if (!stood)
    raise(PyExc_ConnectionError,
          "the drive was quick-stopped but did not report standing within the time braking from full speed "
          "takes, so the position it reached was not stored");
  require_ok(command(self, KEY("VCS_SetEnableState")), "the drive stopped but could not be enabled again");
}

// The reached position is read and stored; it is never replaced by a stale
// or zero value when the read fails.
void read_and_store_position(py::handle self, py::handle PositionIs) {
  require_ok(command(self, KEY("VCS_GetPositionIs"), byref(PositionIs)),
             "the position reached could not be read at the end of the move");
  require_ok(store_position(self, PositionIs),
             "the position reached could not be written to the controller at the end of the move");
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
  bool own_error = false;  // an error of the move's own ending, not of a method it called
  py::object PositionIs = long32();
  py::object pTargetReached = bool32();
  self.attr(KEY("_motor__moving")) = py::bool_(true);
  struct Supervising {
    py::handle self;
    explicit Supervising(py::handle s) : self(s) { note_supervising(self, true); }
    ~Supervising() { note_supervising(self, false); }
  } supervising(self);
  try {
    AnswerWatch watch;
    while (!truthy(py::getattr(pTargetReached, KEY("value"))) && !truthy(instance_attr(self, KEY("_motor__stop")))) {
      double asked = watch.now();
      bool answered = !py::object(command(self, KEY("VCS_GetMovementState"), byref(pTargetReached))).equal(py::int_(0));
      // disconnect() (another thread's, or a signal handler's on this one)
      // may have ended the move during the query or the pause.
      raise_if_disconnected(self);
      if (answered) {
        watch.answered(asked);
      } else if (watch.given_up(asked)) {
        own_error = true;
        raise(PyExc_ConnectionError,
              "the controller did not answer for 5 s (cable pulled or connection closed): the move was given up");
      }
      vcall(modattr(KEY("sleep")), kPollSeconds);
      raise_if_disconnected(self);
      const Ctypes ct;  // once for the two reads after the pause
      command(self, ct, KEY("VCS_GetAllDigitalInputs"), byref(ct, pLimitSwitch));
      if (truthy(py::getattr(pLimitSwitch, KEY("value")))) {
        note_supervising(self, false);
        call_method(self, KEY("_motor__limitSwitch"));
        break;
      }
      command(self, ct, KEY("VCS_GetPositionIs"), byref(ct, PositionIs));
      ++seccounter;
      if (seccounter % kSamplesEvery == 0 && truthy(instance_attr(self, KEY("_motor__generateSupportData"))))
        write_sample(self, PositionIs);
    }
    if (!truthy(py::getattr(pLimitSwitch, KEY("value")))) raise_if_disconnected(self);
    unsigned long long failures = failed_commands();
    call_method(self, KEY("_motor__deactivateTriggerOutput"), trigger);
    self.attr(KEY("_motor__moving")) = py::bool_(false);
    if (truthy(py::getattr(pLimitSwitch, KEY("value")))) return py::none();
    own_error = true;  // from here on, every error is one of the move's end
    if (failed_commands() != failures)
      raise(PyExc_ConnectionError, "the trigger output could not be switched off after the move");
    if (truthy(instance_attr(self, KEY("_motor__stop")))) stop_drive(self);
    read_and_store_position(self, PositionIs);
  } catch (py::error_already_set& e) {
    bool connected = truthy(instance_attr(self, KEY("_motor__connection")));
    bool safe = leave_safe(self, trigger);
    if (e.matches(PyExc_ConnectionError) && (!safe || (own_error && connected)))
      raise_in_context(e, PyExc_ConnectionError,
                       py::str(e.value()).cast<std::string>() + (safe ? kSafeAfterAll : kReconnectToRepair));
    throw;
  }
  return py::none();
}

py::object stopMovement(py::handle self, Args&) {
  self.attr(KEY("_motor__stop")) = py::bool_(true);
  return py::none();
}

}  // namespace vostel
