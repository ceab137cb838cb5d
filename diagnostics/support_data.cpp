#include "module/methods.h"

namespace vostel {

py::object generateSupportData(py::handle, Args&) { raise(PyExc_NotImplementedError, "generateSupportData is not built yet"); }

}  // namespace vostel
