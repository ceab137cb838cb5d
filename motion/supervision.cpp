#include "module/methods.h"

namespace vostel {

py::object waittillmovementdone(py::handle, Args&) { raise(PyExc_NotImplementedError, "waittillmovementdone is not built yet"); }

py::object stopMovement(py::handle, Args&) { raise(PyExc_NotImplementedError, "stopMovement is not built yet"); }

}  // namespace vostel
