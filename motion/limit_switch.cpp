#include "module/methods.h"

namespace vostel {

py::object limitSwitch(py::handle, Args&) { raise(PyExc_NotImplementedError, "limitSwitch is not built yet"); }

py::object clearFault(py::handle, Args&) { raise(PyExc_NotImplementedError, "clearFault is not built yet"); }

}  // namespace vostel
