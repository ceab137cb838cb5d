// Read-only looks at the drive: the movement flag, the present wavelength and
// the present motor current.
#include "module/methods.h"

namespace vostel {

py::object getMoving(py::handle self, Args&) { return instance_attr(self, KEY("_motor__moving")); }

py::object getWavelength(py::handle self, Args&) {
  require_connection(self);
  const Ctypes ct;
  py::object currentPos = long32(ct);
  command(self, ct, KEY("VCS_GetPositionIs"), byref(ct, currentPos));
  return call_method(self, KEY("_motor__motorpositionToWavelength"),
                     py::getattr(currentPos, KEY("value")) + instance_attr(self, KEY("_motor__offset")));
}

py::object getCurrent(py::handle self, Args&) {
  const Ctypes ct;
  py::object current = cell(ct, KEY("c_short"));
  command(self, ct, KEY("VCS_GetCurrentIs"), byref(ct, current));
  return py::getattr(current, KEY("value"));
}

}  // namespace vostel
