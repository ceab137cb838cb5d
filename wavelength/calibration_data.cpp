// The calibration kept in the controller: coefficients A, B, C at 0x200C
// subindexes 1 to 3, the wavelength range at subindex 4, and the stored model
// position at 0x2081, reset whenever a new calibration is written.
#include <cmath>

#include "module/methods.h"
#include "wavelength/calibration_store.h"
#include "wavelength/words_math.h"

namespace vostel {

namespace {

// From this constant term on, the range word counts whole nanometres.
constexpr int kWholeNanometreC = 4000;

const char* const kCoefficientNames[3] = {"A", "B", "C"};

py::object get_entry(py::handle self, int subindex, py::handle cell_) {
  return self.attr("_motor__GetIndexValue")(kCalibrationIndex, subindex, cell_);
}

void set_entry(py::handle self, int index, int subindex, py::handle cell_) {
  self.attr("_motor__SetIndexValue")(index, subindex, cell_);
}

std::string shown(py::handle x) { return py::repr(x).cast<std::string>(); }

// A value the coefficient word cannot hold raises ValueError naming it.
void check_coefficient(const char* name, py::handle value) {
  double d;
  try {
    d = to_double(value);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OverflowError)) throw;
    raise_in_context(e, PyExc_ValueError,
                     std::string("coefficient ") + name + " = " + shown(value) + " is too large for the coefficient word");
  }
  std::string why = core::coefficient_format_error(d);
  if (!why.empty()) raise(PyExc_ValueError, std::string("coefficient ") + name + " = " + shown(value) + " " + why);
}

// A wavelength whose range field would fall outside 0..65535 raises
// ValueError; `stored` is the value that goes into the word (divided by 10
// when the word counts whole nanometres).
void check_range_field(const char* name, py::handle given, py::handle stored, bool whole_nm) {
  double d;
  try {
    d = to_double(stored);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OverflowError)) throw;
    raise_in_context(e, PyExc_ValueError, std::string(name) + " = " + shown(given) + " does not fit the range word");
  }
  std::string why = core::range_field_error(d);
  if (why.empty()) return;
  if (whole_nm && std::isfinite(d)) why = "does not fit the range word (0 to 65535 whole nanometres, since C >= 4000)";
  raise(PyExc_ValueError, std::string(name) + " = " + shown(given) + " " + why);
}

}  // namespace

py::object ReadMotorCoefficients(py::handle self, Args&) {
  require_connection(self);
  py::object reads[3] = {cell("c_uint32"), cell("c_uint32"), cell("c_uint32")};
  bool all_read = true;
  py::object results[3];
  for (int i = 0; i < 3; ++i) results[i] = get_entry(self, i + 1, reads[i]);
  for (auto& r : results) all_read = all_read && truthy(r);
  if (!all_read) return py::none();
  const char* attrs[3] = {"_motor__CoeffA", "_motor__CoeffB", "_motor__CoeffC"};
  for (int i = 0; i < 3; ++i) self.attr(attrs[i]) = self.attr("_motor__hexToFloatForCoefficients")(reads[i]);
  return py::none();
}

py::object SetMotorCoefficients(py::handle self, Args& a) {
  require_connection(self);
  py::object maxWavelength = a[3], minWavelength = a[4];
  // Everything is checked before the first write: a calibration in the
  // controller is never left half written.
  for (int i = 0; i < 3; ++i) check_coefficient(kCoefficientNames[i], a[i]);
  bool whole_nm = a[2] >= py::int_(kWholeNanometreC);
  py::object maxStored = maxWavelength, minStored = minWavelength;
  if (whole_nm) {
    maxStored = maxWavelength / py::int_(10);
    minStored = minWavelength / py::int_(10);
  }
  check_range_field("maximum wavelength", maxWavelength, maxStored, whole_nm);
  check_range_field("minimum wavelength", minWavelength, minStored, whole_nm);

  for (int i = 0; i < 3; ++i) set_entry(self, kCalibrationIndex, i + 1, self.attr("_motor__coefficientsToHex")(a[i]));
  set_entry(self, kCalibrationIndex, kRangeSubindex, self.attr("_motor__minmaxToHex")(maxStored, minStored));
  set_entry(self, kHomeIndex, 0, cell("c_int", py::int_(0)));
  return py::none();
}

py::object readWavelengthMinMax(py::handle self, Args&) {
  require_connection(self);
  py::object Read = cell("c_uint32");
  get_entry(self, kRangeSubindex, Read);
  core::RangeFields fields = core::decode_range(Read.attr("value").cast<uint32_t>());
  double maxWl = fields.low, minWl = fields.high;
  self.attr("_motor__maxWavelength") = py::float_(maxWl);
  self.attr("_motor__minWavelength") = py::float_(minWl);

  core::Model model = model_of(self);
  double centerWl = (maxWl + minWl) / 2;
  double d = core::discriminant(model, centerWl);
  if (d < 0) raise(PyExc_ValueError, "No real roots: The discriminant is negative.");
  if (core::prefer_plus_root(core::roots(model, d))) self.attr("_motor__pm") = py::bool_(false);

  double half = core::half_range(maxWl, minWl);
  self.attr("_motor__wavelengthRange") = int_from_double(half);
  if (!core::constant_inside_range(model.C, minWl, maxWl, half)) {
    self.attr("_motor__QCL") = py::bool_(true);
    self.attr("_motor__minWavelength") = py::float_(minWl * 10);
    self.attr("_motor__maxWavelength") = py::float_(maxWl * 10);
  }
  return py::none();
}

py::object getWavelengthMinMax(py::handle self, Args&) {
  require_connection(self);
  py::list range;
  range.append(self.attr("_motor__minWavelength"));
  range.append(self.attr("_motor__maxWavelength"));
  return std::move(range);
}

}  // namespace vostel
