#include "module/methods.h"

namespace vostel {

py::object DCMotorParameter(py::handle, Args&) { raise(PyExc_NotImplementedError, "DCMotorParameter is not built yet"); }

py::object setVelocityParameter(py::handle, Args&) { raise(PyExc_NotImplementedError, "setVelocityParameter is not built yet"); }

py::object getVelocityParameter(py::handle, Args&) { raise(PyExc_NotImplementedError, "getVelocityParameter is not built yet"); }

py::object convertMotorParameterToWavelength(py::handle, Args&) { raise(PyExc_NotImplementedError, "convertMotorParameterToWavelength is not built yet"); }

}  // namespace vostel
