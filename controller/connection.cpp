// Opening the controller, reading the instrument's calibration out of it and
// writing the motion limits; closing it with its parameters stored.
#include <memory>

#include "controller/commands.h"
#include "module/methods.h"
#include "motion/move_common.h"

namespace vostel {

namespace {

// Ctrl+C and interpreter exit pass through untouched; any other failure
// becomes the given error with the original attached as its context.
[[noreturn]] void rethrow_as(py::error_already_set& caught, PyObject* type, const char* text) {
  if (!caught.matches(PyExc_Exception)) throw;
  raise_in_context(caught, type, text);
}

// A read that failed while connecting: the calibration would be half-read,
// so the device is closed and the object left not connected.
void close_unread(py::handle self) {
  call_method(self, KEY("_motor__dllCall"), "VCS_CloseDevice", self.attr(KEY("_motor__keyhandle")),
              byref(self.attr(KEY("_motor__pErrorCode"))));
  self.attr(KEY("_motor__connection")) = py::bool_(false);
}

std::string unread(const char* what) {
  return std::string("Couldn't read ") + what + " from the motor; the connection was closed";
}

}  // namespace

py::object connect(py::handle self, Args& a) {
  try {
    self.attr(KEY("_motor__keyhandle")) =
        call_method(self, KEY("_motor__dllCall"), "VCS_OpenDevice", py::bytes(cmd::kDeviceName),
                    py::bytes(cmd::kProtocolStackName), py::bytes(cmd::kInterfaceName),
                    call_method(a[0], KEY("encode"), "utf-8"), byref(self.attr(KEY("_motor__pErrorCode"))));
  } catch (py::error_already_set& e) {
    rethrow_as(e, PyExc_ConnectionError, "Couldn't connect to motor");
  }
  py::object res = command(self, KEY("VCS_SetEnableState"));
  // A drive left in fault (a limit switch, a drive fault) is cleared and
  // enabled once more: disconnect() then connect() is the way back.
  if (res.equal(py::int_(0)) && !py::object(self.attr(KEY("_motor__keyhandle"))).equal(py::int_(0))) {
    command(self, KEY("VCS_ClearFault"));
    res = command(self, KEY("VCS_SetEnableState"));
  }
  if (res.equal(py::bool_(false)) || py::object(self.attr(KEY("_motor__keyhandle"))).equal(py::int_(0)))
    return py::bool_(false);

  self.attr(KEY("_motor__connection")) = py::bool_(true);
  note_port(self, py::bytes(call_method(a[0], KEY("encode"), "utf-8")).cast<std::string>());
  static const char* const reads[][2] = {{"the calibration coefficients", "_motor__ReadMotorCoefficients"},
                                         {"the position or the stored model position", "_motor__calculateOffset"},
                                         {"the wavelength range", "_motor__readWavelengthMinMax"}};
  const char* reading = nullptr;
  unsigned long long failures = failed_commands();
  try {
    for (const auto& step : reads) {
      reading = step[0];
      self.attr(step[1])();
      if (failed_commands() != failures) break;
    }
  } catch (py::error_already_set& e) {
    if (failed_commands() == failures) rethrow_as(e, PyExc_ValueError, "No coefficients found");
    close_unread(self);
    raise_in_context(e, PyExc_ConnectionError, unread(reading));
  }
  if (failed_commands() != failures) {
    close_unread(self);
    raise(PyExc_ConnectionError, unread(reading));
  }
  // The repair is done whole or not at all: whatever escapes it (Ctrl+C
  // during its wait included) leaves the object not connected and the repair
  // pending for the next connect().
  bool repaired = false;
  try {
    repaired = repair_after_lost_move(self);
  } catch (py::error_already_set&) {
    try {
      close_unread(self);
    } catch (py::error_already_set&) {
      self.attr(KEY("_motor__connection")) = py::bool_(false);
    }
    throw;
  }
  if (!repaired) {
    close_unread(self);
    raise(PyExc_ConnectionError,
          "Couldn't stop the drive, store the position the grating reached in an earlier move or switch the "
          "trigger outputs off; the connection was closed: connect again once the controller answers");
  }
  command(self, KEY("VCS_SetMaxProfileVelocity"), self.attr(KEY("_motor__MaxProfileVelocity")));
  command(self, KEY("VCS_SetMaxAcceleration"), self.attr(KEY("_motor__MaxAcceleration")));
  call_method(self, KEY("_motor__DCMotorParameter"));
  self.attr(KEY("_motor__pEncoderResolution")) = cell(KEY("c_uint32"));
  if (py::object(command(self, KEY("VCS_GetIncEncoderParameter"), byref(self.attr(KEY("_motor__pEncoderResolution"))),
                         byref(self.attr(KEY("_motor__pInvertedPolarity")))))
          .equal(py::int_(0))) {
    close_unread(self);
    raise(PyExc_ConnectionError, unread("the encoder resolution"));
  }
  self.attr(KEY("_motor__BallScrew")) =
      to_int(call_method(modattr(KEY("np")), KEY("sign"), self.attr(KEY("_motor__CoeffB"))));
  return py::bool_(true);
}

py::object disconnect(py::handle self, Args&) {
  if (!truthy(self.attr(KEY("_motor__connection")))) return py::none();
  // Called while a move runs (from another thread, or from a signal handler
  // on the move's own): the drive is stopped, and once it reports standing
  // the position it stands at is stored before the parameters are. When it
  // does not come to a stand, or its position cannot be stored, nothing is
  // stored and the next connect() on this port stores it. Ctrl+C meanwhile
  // is passed on once the device is closed.
  bool store = true;
  std::unique_ptr<py::error_already_set> interrupted;
  if (move_to_stop_on_disconnect(self)) {
    note_disconnect_ends_move(self);
    store = false;
    try {
      halt_drive(self);
      if (wait_until_standing(self)) {
        py::object PositionIs = long32();
        store = !py::object(command(self, KEY("VCS_GetPositionIs"), byref(PositionIs))).equal(py::int_(0)) &&
                !py::object(store_position(self, PositionIs)).equal(py::int_(0));
      }
    } catch (py::error_already_set& e) {
      store = false;
      interrupted = std::make_unique<py::error_already_set>(std::move(e));
    }
    note_disconnect_stored(self, store);
    if (!store) mark_position_unstored(self);
  }
  if (truthy(self.attr(KEY("_motor__revMotionTrigger"))))
    command(self, KEY("VCS_DigitalOutputConfiguration"), cmd::kTriggerOutput, cmd::kGeneralPurpose, 0, 0, 0);
  if (store) command(self, KEY("VCS_Store"));
  command(self, KEY("VCS_SetDisableState"));
  call_method(self, KEY("_motor__dllCall"), "VCS_CloseDevice", self.attr(KEY("_motor__keyhandle")),
              byref(self.attr(KEY("_motor__pErrorCode"))));
  self.attr(KEY("_motor__connection")) = py::bool_(false);
  say("disconnected");
  if (interrupted) throw *interrupted;
  return py::none();
}

}  // namespace vostel
