#include "module/methods.h"

namespace vostel {

py::object getMoving(py::handle, Args&) { raise(PyExc_NotImplementedError, "getMoving is not built yet"); }

py::object getWavelength(py::handle, Args&) { raise(PyExc_NotImplementedError, "getWavelength is not built yet"); }

py::object getCurrent(py::handle, Args&) { raise(PyExc_NotImplementedError, "getCurrent is not built yet"); }

}  // namespace vostel
