#include "module/methods.h"

namespace vostel {

py::object reverseMotionTrigger(py::handle, Args&) { raise(PyExc_NotImplementedError, "reverseMotionTrigger is not built yet"); }

py::object activateTriggerOutput(py::handle, Args&) { raise(PyExc_NotImplementedError, "activateTriggerOutput is not built yet"); }

py::object deactivateTriggerOutput(py::handle, Args&) { raise(PyExc_NotImplementedError, "deactivateTriggerOutput is not built yet"); }

}  // namespace vostel
