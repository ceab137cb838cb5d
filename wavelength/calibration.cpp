// The link between the controller's position counter and the model position:
// the controller's home-position object (0x2081, 0) holds the model position
// of the motor, and __offset = model position - controller position.
#include "module/methods.h"
#include "wavelength/calibration_store.h"

namespace vostel {

py::object calibration(py::handle self, Args& a) {
  require_connection(self);
  py::object wavelength = call_method(self, KEY("_motor__wlSafetyCheck"), a[0]);
  py::object mp = cell(KEY("c_int"), call_method(self, KEY("_motor__wavelengthToMotorposition"), wavelength));
  call_method(self, KEY("_motor__SetIndexValue"), kHomeIndex, 0, mp);
  call_method(self, KEY("_motor__calculateOffset"));
  say("wavelength set to " + format2(wavelength) + "nm");
  return py::none();
}

py::object HomePosition(py::handle self, Args&) {
  require_connection(self);
  py::object pData = cell(KEY("c_int"));
  py::object pNbOfBytesRead = cell(KEY("c_int"));
  command(self, KEY("VCS_GetObject"), kHomeIndex, 0, byref(pData), kEntryBytes, byref(pNbOfBytesRead));
  return pData;
}

py::object calculateOffset(py::handle self, Args&) {
  command(self, KEY("VCS_GetPositionIs"), byref(self.attr(KEY("_motor__pPositionIs"))));
  py::object homeP = cell(KEY("c_int"));
  call_method(self, KEY("_motor__GetIndexValue"), kHomeIndex, 0, homeP);
  self.attr(KEY("_motor__offset")) =
      homeP.attr(KEY("value")) - self.attr(KEY("_motor__pPositionIs")).attr(KEY("value"));
  return py::none();
}

}  // namespace vostel
