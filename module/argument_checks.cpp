#include "module/argument_checks.h"

#include <cmath>

namespace vostel {

void require_finite_wavelength(py::handle wavelength) {
  // Only real numbers are checked: the range guard's comparison raises the
  // interpreter's own TypeError for anything else (None, str, bytes, list,
  // complex, a ctypes cell), as it would without this check.
  PyObject* o = wavelength.ptr();
  if (!PyNumber_Check(o) || PyComplex_Check(o)) return;
  double value = 0;
  try {
    value = to_double(wavelength);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_OverflowError) || e.matches(PyExc_TypeError)) return;
    throw;
  }
  if (!std::isfinite(value))
    raise(PyExc_ValueError,
          "wavelength must be a finite number of nm, not " + py::repr(wavelength).cast<std::string>());
}

void require_trigger_kind(py::handle trigger) {
  py::object kind = py::reinterpret_borrow<py::object>(trigger);
  for (int known : {0, 1, 2})
    if (kind.equal(py::int_(known))) return;
  raise(PyExc_ValueError, "trigger must be 0 (none), 1 (position compare) or 2 (motion trigger), not " +
                              py::repr(trigger).cast<std::string>());
}

}  // namespace vostel
