// Opening the controller, reading the instrument's calibration out of it and
// writing the motion limits; closing it with its parameters stored.
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
  self.attr("_motor__dllCall")("VCS_CloseDevice", self.attr("_motor__keyhandle"), byref(self.attr("_motor__pErrorCode")));
  self.attr("_motor__connection") = py::bool_(false);
}

std::string unread(const char* what) {
  return std::string("Couldn't read ") + what + " from the motor; the connection was closed";
}

}  // namespace

py::object connect(py::handle self, Args& a) {
  try {
    self.attr("_motor__keyhandle") =
        self.attr("_motor__dllCall")("VCS_OpenDevice", py::bytes("EPOS2"), py::bytes("MAXON SERIAL V2"),
                                     py::bytes("USB"), a[0].attr("encode")("utf-8"),
                                     byref(self.attr("_motor__pErrorCode")));
  } catch (py::error_already_set& e) {
    rethrow_as(e, PyExc_ConnectionError, "Couldn't connect to motor");
  }
  py::object res = command(self, "VCS_SetEnableState");
  // A drive left in fault (a limit switch, a drive fault) is cleared and
  // enabled once more: disconnect() then connect() is the way back.
  if (res.equal(py::int_(0)) && !py::object(self.attr("_motor__keyhandle")).equal(py::int_(0))) {
    command(self, "VCS_ClearFault");
    res = command(self, "VCS_SetEnableState");
  }
  if (res.equal(py::bool_(false)) || py::object(self.attr("_motor__keyhandle")).equal(py::int_(0))) return py::bool_(false);

  self.attr("_motor__connection") = py::bool_(true);
  static const char* const reads[][2] = {
      {"the calibration coefficients", "_motor__ReadMotorCoefficients"},
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
  restore_unstored_position(self);
  command(self, "VCS_SetMaxProfileVelocity", self.attr("_motor__MaxProfileVelocity"));
  command(self, "VCS_SetMaxAcceleration", self.attr("_motor__MaxAcceleration"));
  self.attr("_motor__DCMotorParameter")();
  self.attr("_motor__pEncoderResolution") = cell("c_uint32");
  if (py::object(command(self, "VCS_GetIncEncoderParameter", byref(self.attr("_motor__pEncoderResolution")),
                         byref(self.attr("_motor__pInvertedPolarity")))).equal(py::int_(0))) {
    close_unread(self);
    raise(PyExc_ConnectionError, unread("the encoder resolution"));
  }
  self.attr("_motor__BallScrew") = to_int(modattr("np").attr("sign")(self.attr("_motor__CoeffB")));
  return py::bool_(true);
}

py::object disconnect(py::handle self, Args&) {
  if (!truthy(self.attr("_motor__connection"))) return py::none();
  if (truthy(self.attr("_motor__revMotionTrigger"))) command(self, "VCS_DigitalOutputConfiguration", 3, 15, 0, 0, 0);
  command(self, "VCS_Store");
  command(self, "VCS_SetDisableState");
  self.attr("_motor__dllCall")("VCS_CloseDevice", self.attr("_motor__keyhandle"), byref(self.attr("_motor__pErrorCode")));
  self.attr("_motor__connection") = py::bool_(false);
  say("disconnected");
  return py::none();
}

}  // namespace vostel
