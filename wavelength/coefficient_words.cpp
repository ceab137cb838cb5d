// The calibration's 32-bit words: coefficient words (sign and magnitude
// mantissa with six decimal digits, sign and magnitude binary exponent) and the
// range word (two 16-bit fields of 0.1 nm). The encoders check nothing; the
// caller that writes the controller keeps its values within the format.
#include <cmath>

#include "module/methods.h"
#include "module/pynumber.h"
#include "wavelength/words_math.h"

namespace vostel {

namespace {

// trunc(wavelength * 10) on the caller's number: a double for ints and
// floats (exact below 2**49), the interpreter's int(wavelength * 10) else.
bool range_input(py::handle wavelength, double& wl) {
  core::Number n = 0;
  if (!as_number(wavelength, n)) return false;
  if (n.is_int() && (n.int_value() > (int64_t(1) << 49) || n.int_value() < -(int64_t(1) << 49))) return false;
  double product = n.as_double() * 10;
  if (!std::isfinite(product)) int_from_double(product);  // int() raises for inf and nan
  wl = n.as_double();
  return true;
}

}  // namespace

py::object hexToFloatForCoefficients(py::handle, Args& a) {
  // The four bytes are taken with bit operations, which read a signed cell's
  // value as its two's-complement word.
  py::object low32 = py::object(a[0].attr("value")) & py::int_(0xFFFFFFFFu);
  return py::float_(core::decode_coefficient(low32.cast<uint32_t>()));
}

py::object coefficientsToHex(py::handle, Args& a) {
  // Split with the module's frexp, as the encoder always has.
  py::tuple split = modattr("frexp")(a[0]);
  double f = to_double(split[0]);
  if (!std::isfinite(f * 1000000.0)) int_from_double(f * 1000000.0);
  long e = split[1].cast<long>();
  return cell("c_uint32", py::int_(core::encode_fraction(f, e)));
}

py::object minmaxToHex(py::handle, Args& a) {
  double minWl = 0, maxWl = 0;
  if (range_input(a[0], minWl) && range_input(a[1], maxWl))
    return cell("c_uint32", py::int_(core::encode_range(minWl, maxWl)));
  py::object low = to_int(plain(a[0]) * py::int_(10));
  py::object high = to_int(plain(a[1]) * py::int_(10));
  return cell("c_uint32", low | (high << py::int_(16)));
}

}  // namespace vostel
