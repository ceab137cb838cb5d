#include "module/methods.h"

namespace vostel {

py::object GetIndexValue(py::handle, Args&) { raise(PyExc_NotImplementedError, "GetIndexValue is not built yet"); }

py::object SetIndexValue(py::handle, Args&) { raise(PyExc_NotImplementedError, "SetIndexValue is not built yet"); }

}  // namespace vostel
