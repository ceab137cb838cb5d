#include "module/methods.h"

namespace vostel {

py::object moveSteps(py::handle, Args&) { raise(PyExc_NotImplementedError, "moveSteps is not built yet"); }

}  // namespace vostel
