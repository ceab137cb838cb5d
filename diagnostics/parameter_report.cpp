#include "module/methods.h"

namespace vostel {

py::object getMotorParamters(py::handle, Args&) { raise(PyExc_NotImplementedError, "getMotorParamters is not built yet"); }

}  // namespace vostel
