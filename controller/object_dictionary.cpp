// One 32-bit entry of the controller's object dictionary, read or written
// through the caller's 4-byte value cell.
#include "module/methods.h"
#include "wavelength/calibration_store.h"

namespace vostel {

namespace {

py::object transfer(py::handle self, py::handle name, Args& a) {
  require_connection(self);
  const Ctypes ct;
  py::object pNbOfBytes = cell(ct, KEY("c_int"));
  return command(self, ct, name, a[0], a[1], byref(ct, a[2]), kEntryBytes, byref(ct, pNbOfBytes));
}

}  // namespace

py::object GetIndexValue(py::handle self, Args& a) { return transfer(self, KEY("VCS_GetObject"), a); }

py::object SetIndexValue(py::handle self, Args& a) { return transfer(self, KEY("VCS_SetObject"), a); }

}  // namespace vostel
