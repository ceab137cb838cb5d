#include "module/methods.h"

namespace vostel {

py::object limitSwitchCalibrationWindow(py::handle, Args&) { raise(PyExc_NotImplementedError, "limitSwitchCalibrationWindow is not built yet"); }

}  // namespace vostel
