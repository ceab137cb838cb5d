// The link between the controller's position counter and the model position:
// the controller's home-position object (0x2081, 0) holds the model position
// of the motor, and __offset = model position - controller position.
#include "module/argument_checks.h"
#include "module/methods.h"
#include "wavelength/calibration_store.h"

namespace vostel {

py::object calibration(py::handle self, Args& a) {
  require_connection(self);
  require_finite_wavelength(a[0]);
  py::object wavelength = self.attr("_motor__wlSafetyCheck")(a[0]);
  py::object mp = cell("c_int", self.attr("_motor__wavelengthToMotorposition")(wavelength));
  // Everything that can fail on the argument, its message text included,
  // comes before the write: a value that cannot be used stores nothing.
  std::string message = "wavelength set to " + format2(wavelength) + "nm";
  self.attr("_motor__SetIndexValue")(kHomeIndex, 0, mp);
  self.attr("_motor__calculateOffset")();
  say(message);
  return py::none();
}

py::object HomePosition(py::handle self, Args&) {
  require_connection(self);
  py::object pData = cell("c_int");
  py::object pNbOfBytesRead = cell("c_int");
  command(self, "VCS_GetObject", kHomeIndex, 0, byref(pData), kEntryBytes, byref(pNbOfBytesRead));
  return pData;
}

py::object calculateOffset(py::handle self, Args&) {
  command(self, "VCS_GetPositionIs", byref(self.attr("_motor__pPositionIs")));
  py::object homeP = cell("c_int");
  self.attr("_motor__GetIndexValue")(kHomeIndex, 0, homeP);
  self.attr("_motor__offset") = homeP.attr("value") - self.attr("_motor__pPositionIs").attr("value");
  return py::none();
}

}  // namespace vostel
