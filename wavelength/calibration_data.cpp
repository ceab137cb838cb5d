#include "module/methods.h"

namespace vostel {

py::object ReadMotorCoefficients(py::handle, Args&) { raise(PyExc_NotImplementedError, "ReadMotorCoefficients is not built yet"); }

py::object SetMotorCoefficients(py::handle, Args&) { raise(PyExc_NotImplementedError, "SetMotorCoefficients is not built yet"); }

py::object readWavelengthMinMax(py::handle, Args&) { raise(PyExc_NotImplementedError, "readWavelengthMinMax is not built yet"); }

py::object getWavelengthMinMax(py::handle, Args&) { raise(PyExc_NotImplementedError, "getWavelengthMinMax is not built yet"); }

}  // namespace vostel
