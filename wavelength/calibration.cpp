// The link between the controller's position counter and the model position:
// the controller's home-position object (0x2081, 0) holds the model position
// of the motor, and __offset = model position - controller position.
#include "module/argument_checks.h"
#include "module/methods.h"
#include "motion/move_common.h"
#include "wavelength/calibration_store.h"

namespace vostel {

py::object calibration(py::handle self, Args& a) {
  require_connection(self);
  require_finite_wavelength(a[0]);
  py::object wavelength = call_method(self, KEY("_motor__wlSafetyCheck"), a[0]);
  py::object mp = cell(KEY("c_int"), call_method(self, KEY("_motor__wavelengthToMotorposition"), wavelength));
  // Everything that can fail on the argument, its message text included,
  // comes before the write: a value that cannot be used stores nothing.
  std::string message = "wavelength set to " + format2(wavelength) + "nm";
  if (py::object(call_method(self, KEY("_motor__SetIndexValue"), kHomeIndex, 0, mp)).equal(py::int_(0)))
    raise(PyExc_ConnectionError, "the calibration could not be stored in the controller; nothing was changed");
  // The offset must match the position just stored: a failed read-back is
  // tried once more, and when that fails too the object is left not
  // connected, so that connect() derives the offset from the controller.
  for (int attempt = 0;; ++attempt) {
    unsigned long long failures = failed_commands();
    call_method(self, KEY("_motor__calculateOffset"));
    if (failed_commands() == failures) break;
    if (attempt == 1) {
      self.attr(KEY("_motor__connection")) = py::bool_(false);
      raise(PyExc_ConnectionError,
            "the calibration was stored but the position could not be read back; "
            "connect again before moving");
    }
  }
  forget_lost_position(self);
  say(message);
  return py::none();
}

py::object HomePosition(py::handle self, Args&) {
  require_connection(self);
  py::object pData = cell(KEY("c_int"));
  py::object pNbOfBytesRead = cell(KEY("c_int"));
  if (!py::object(command(self, KEY("VCS_GetObject"), kHomeIndex, 0, byref(pData), kEntryBytes, byref(pNbOfBytesRead)))
           .equal(py::int_(0)))
    note_home(self, py::getattr(pData, KEY("value")));
  return pData;
}

py::object calculateOffset(py::handle self, Args&) {
  command(self, KEY("VCS_GetPositionIs"), byref(instance_attr(self, KEY("_motor__pPositionIs"))));
  py::object homeP = cell(KEY("c_int"));
  call_method(self, KEY("_motor__GetIndexValue"), kHomeIndex, 0, homeP);
  self.attr(KEY("_motor__offset")) =
      py::getattr(homeP, KEY("value")) - instance_attr(self, KEY("_motor__pPositionIs")).attr(KEY("value"));
  return py::none();
}

}  // namespace vostel
