#include "module/methods.h"

namespace vostel {

py::object moveToWavelength(py::handle, Args&) { raise(PyExc_NotImplementedError, "moveToWavelength is not built yet"); }

}  // namespace vostel
