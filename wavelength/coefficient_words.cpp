// The calibration's 32-bit words: coefficient words (sign and magnitude
// mantissa with six decimal digits, sign and magnitude binary exponent) and the
// range word (two 16-bit fields of 0.1 nm). The encoders check nothing; the
// caller that writes the controller keeps its values within the format.
#include <cmath>

#include "module/methods.h"
#include "wavelength/words_math.h"

namespace vostel {

namespace {

// A wavelength for the range word: int(wavelength * 10) raises for a
// non-finite product, as Python's int() does.
double range_input(py::handle wavelength) {
  double wl = to_double(wavelength);
  if (!std::isfinite(wl * 10)) int_from_double(wl * 10);
  return wl;
}

}  // namespace

py::object hexToFloatForCoefficients(py::handle, Args& a) {
  py::object value = a[0].attr(KEY("value"));
  unsigned long word = PyLong_AsUnsignedLong(value.ptr());
  if (word == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw py::error_already_set();
  if (word > 0xFFFFFFFFul) raise(PyExc_OverflowError, "int too big to convert");
  return py::float_(core::decode_coefficient(static_cast<uint32_t>(word)));
}

py::object coefficientsToHex(py::handle, Args& a) {
  // Split with the module's frexp, as the encoder always has.
  py::tuple split = vcall(modattr(KEY("frexp")), a[0]);
  double f = to_double(split[0]);
  if (!std::isfinite(f * 1000000.0)) int_from_double(f * 1000000.0);
  long e = split[1].cast<long>();
  return cell(KEY("c_uint32"), py::int_(core::encode_fraction(f, e)));
}

py::object minmaxToHex(py::handle, Args& a) {
  double minWl = range_input(a[0]);
  double maxWl = range_input(a[1]);
  return cell(KEY("c_uint32"), py::int_(core::encode_range(minWl, maxWl)));
}

}  // namespace vostel
