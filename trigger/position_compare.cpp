#include "module/methods.h"

namespace vostel {

py::object triggerParameter(py::handle, Args&) { raise(PyExc_NotImplementedError, "triggerParameter is not built yet"); }

py::object activatePositionTrigger(py::handle, Args&) { raise(PyExc_NotImplementedError, "activatePositionTrigger is not built yet"); }

py::object deactivatePositionTrigger(py::handle, Args&) { raise(PyExc_NotImplementedError, "deactivatePositionTrigger is not built yet"); }

}  // namespace vostel
