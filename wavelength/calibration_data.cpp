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
  return call_method(self, KEY("_motor__GetIndexValue"), kCalibrationIndex, subindex, cell_);
}

void set_entry(py::handle self, int index, int subindex, py::handle cell_) {
  call_method(self, KEY("_motor__SetIndexValue"), index, subindex, cell_);
}

// "<what> = <value>" for messages; a huge integer is shown by its magnitude.
std::string label(const std::string& what, py::handle value) {
  std::string text;
  try {
    text = py::repr(value).cast<std::string>();
  } catch (py::error_already_set&) {
    text = "?";
  }
  if (text.size() > 40) text = text.substr(0, 12) + "... (" + std::to_string(text.size()) + " digits)";
  return what + " = " + text;
}

// float(value); an int too large for a double raises ValueError instead.
double as_double(py::handle value, const std::string& labelled) {
  try {
    return to_double(value);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OverflowError)) throw;
    raise_in_context(e, PyExc_ValueError, labelled + " is too large");
  }
}

// A value the coefficient word cannot hold raises ValueError naming it.
void check_coefficient(const char* name, py::handle value) {
  std::string labelled = label(std::string("coefficient ") + name, value);
  std::string why = core::coefficient_format_error(as_double(value, labelled));
  if (!why.empty()) raise(PyExc_ValueError, labelled + " " + why);
}

// The value a wavelength puts into the range word (divided by 10 when the
// word counts whole nanometres); raises ValueError when its 16-bit field
// cannot hold it.
py::object range_field_value(const char* name, py::handle given, bool whole_nm) {
  std::string labelled = label(name, given);
  py::object stored = py::reinterpret_borrow<py::object>(given);
  if (whole_nm) {
    as_double(given, labelled);  // an int too large to divide is reported first
    stored = stored / py::int_(10);
  }
  std::string why = core::range_field_error(as_double(stored, labelled));
  if (why.empty()) return stored;
  if (whole_nm && why.rfind("is not", 0) != 0)
    why = "does not fit the range word (0 to 65535 whole nanometres, since C >= 4000)";
  raise(PyExc_ValueError, labelled + " " + why);
}

}  // namespace

py::object ReadMotorCoefficients(py::handle self, Args&) {
  require_connection(self);
  py::object reads[3] = {cell(KEY("c_uint32")), cell(KEY("c_uint32")), cell(KEY("c_uint32"))};
  bool all_read = true;
  py::object results[3];
  for (int i = 0; i < 3; ++i) results[i] = get_entry(self, i + 1, reads[i]);
  for (auto& r : results) all_read = all_read && truthy(r);
  if (!all_read) return py::none();
  const char* attrs[3] = {"_motor__CoeffA", "_motor__CoeffB", "_motor__CoeffC"};
  for (int i = 0; i < 3; ++i)
    self.attr(attrs[i]) = call_method(self, KEY("_motor__hexToFloatForCoefficients"), reads[i]);
  return py::none();
}

py::object SetMotorCoefficients(py::handle self, Args& a) {
  require_connection(self);
  // Everything is checked before the first write: a calibration in the
  // controller is never left half written.
  for (int i = 0; i < 3; ++i) check_coefficient(kCoefficientNames[i], a[i]);
  bool whole_nm = a[2] >= py::int_(kWholeNanometreC);
  py::object maxStored = range_field_value("maximum wavelength", a[3], whole_nm);
  py::object minStored = range_field_value("minimum wavelength", a[4], whole_nm);

  for (int i = 0; i < 3; ++i)
    set_entry(self, kCalibrationIndex, i + 1, call_method(self, KEY("_motor__coefficientsToHex"), a[i]));
  set_entry(self, kCalibrationIndex, kRangeSubindex,
            call_method(self, KEY("_motor__minmaxToHex"), maxStored, minStored));
  set_entry(self, kHomeIndex, 0, cell(KEY("c_int"), py::int_(0)));
  return py::none();
}

py::object readWavelengthMinMax(py::handle self, Args&) {
  require_connection(self);
  py::object Read = cell(KEY("c_uint32"));
  get_entry(self, kRangeSubindex, Read);
  core::RangeFields fields = core::decode_range(Read.attr(KEY("value")).cast<uint32_t>());
  double maxWl = fields.low, minWl = fields.high;
  self.attr(KEY("_motor__maxWavelength")) = py::float_(maxWl);
  self.attr(KEY("_motor__minWavelength")) = py::float_(minWl);

  core::Model model = model_of(self);
  double centerWl = core::range_middle(maxWl, minWl);
  double d = core::discriminant(model, centerWl);
  if (d < 0) raise(PyExc_ValueError, "No real roots: The discriminant is negative.");
  if (core::prefer_plus_root(core::roots(model, d))) self.attr(KEY("_motor__pm")) = py::bool_(false);

  double half = core::half_range(maxWl, minWl);
  self.attr(KEY("_motor__wavelengthRange")) = int_from_double(half);
  if (!core::constant_inside_range(model.C, minWl, maxWl, half)) {
    self.attr(KEY("_motor__QCL")) = py::bool_(true);
    self.attr(KEY("_motor__minWavelength")) = py::float_(minWl * 10);
    self.attr(KEY("_motor__maxWavelength")) = py::float_(maxWl * 10);
  }
  return py::none();
}

py::object getWavelengthMinMax(py::handle self, Args&) {
  InstanceReads attr(self);
  require_connection(attr);
  py::object lowest = attr(KEY("_motor__minWavelength"));
  py::object highest = attr(KEY("_motor__maxWavelength"));
  PyObject* range = PyList_New(2);
  if (!range) throw py::error_already_set();
  PyList_SET_ITEM(range, 0, lowest.release().ptr());
  PyList_SET_ITEM(range, 1, highest.release().ptr());
  return py::reinterpret_steal<py::object>(range);
}

}  // namespace vostel
