#include "module/methods.h"

namespace vostel {

py::object connect(py::handle, Args&) { raise(PyExc_NotImplementedError, "connect is not built yet"); }

py::object disconnect(py::handle, Args&) { raise(PyExc_NotImplementedError, "disconnect is not built yet"); }

}  // namespace vostel
