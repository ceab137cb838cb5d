// Read-only looks at the drive: the movement flag, the present wavelength and
// the present motor current.
#include "module/methods.h"

namespace vostel {

py::object getMoving(py::handle self, Args&) { return self.attr("_motor__moving"); }

py::object getWavelength(py::handle self, Args&) {
  require_connection(self);
  py::object currentPos = long32();
  command(self, "VCS_GetPositionIs", byref(currentPos));
  return self.attr("_motor__motorpositionToWavelength")(currentPos.attr("value") + self.attr("_motor__offset"));
}

py::object getCurrent(py::handle self, Args&) {
  py::object current = cell("c_short");
  command(self, "VCS_GetCurrentIs", byref(current));
  return current.attr("value");
}

}  // namespace vostel
