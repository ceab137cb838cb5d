#include "module/methods.h"

namespace vostel {

py::object calibration(py::handle, Args&) { raise(PyExc_NotImplementedError, "calibration is not built yet"); }

py::object HomePosition(py::handle, Args&) { raise(PyExc_NotImplementedError, "HomePosition is not built yet"); }

py::object calculateOffset(py::handle, Args&) { raise(PyExc_NotImplementedError, "calculateOffset is not built yet"); }

}  // namespace vostel
