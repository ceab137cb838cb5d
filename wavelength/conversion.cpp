#include "module/methods.h"

namespace vostel {

py::object motorpositionToWavelength(py::handle, Args&) { raise(PyExc_NotImplementedError, "motorpositionToWavelength is not built yet"); }

py::object wavelengthToMotorposition(py::handle, Args&) { raise(PyExc_NotImplementedError, "wavelengthToMotorposition is not built yet"); }

py::object wlSafetyCheck(py::handle, Args&) { raise(PyExc_NotImplementedError, "wlSafetyCheck is not built yet"); }

py::object PositionSafetyCheck(py::handle, Args&) { raise(PyExc_NotImplementedError, "PositionSafetyCheck is not built yet"); }

}  // namespace vostel
