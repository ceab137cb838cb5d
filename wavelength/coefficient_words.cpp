#include "module/methods.h"

namespace vostel {

py::object hexToFloatForCoefficients(py::handle, Args&) { raise(PyExc_NotImplementedError, "hexToFloatForCoefficients is not built yet"); }

py::object coefficientsToHex(py::handle, Args&) { raise(PyExc_NotImplementedError, "coefficientsToHex is not built yet"); }

py::object minmaxToHex(py::handle, Args&) { raise(PyExc_NotImplementedError, "minmaxToHex is not built yet"); }

}  // namespace vostel
