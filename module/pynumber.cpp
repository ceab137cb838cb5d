#include "module/pynumber.h"

#include <cstring>

namespace vostel {

namespace {

PyNum checked(PyObject* r) {
  if (!r) throw py::error_already_set();
  return PyNum(py::reinterpret_steal<py::object>(r));
}

// numpy's abstract scalar types, looked up once numpy has been imported.
bool is_numpy_real_scalar(py::handle obj) {
  const char* name = Py_TYPE(obj.ptr())->tp_name;
  if (std::strncmp(name, "numpy.", 6) != 0) return false;
  static PyObject* kinds = nullptr;
  if (!kinds) {
    py::module_ np = py::module_::import("numpy");
    kinds = py::make_tuple(np.attr("integer"), np.attr("floating"), np.attr("bool_")).release().ptr();
  }
  int r = PyObject_IsInstance(obj.ptr(), kinds);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

}  // namespace

PyNum operator+(const PyNum& a, const PyNum& b) { return checked(PyNumber_Add(a.o_.ptr(), b.o_.ptr())); }
PyNum operator-(const PyNum& a, const PyNum& b) { return checked(PyNumber_Subtract(a.o_.ptr(), b.o_.ptr())); }
PyNum operator*(const PyNum& a, const PyNum& b) { return checked(PyNumber_Multiply(a.o_.ptr(), b.o_.ptr())); }
PyNum operator/(const PyNum& a, const PyNum& b) { return checked(PyNumber_TrueDivide(a.o_.ptr(), b.o_.ptr())); }
PyNum operator-(const PyNum& a) { return checked(PyNumber_Negative(a.o_.ptr())); }

PyNum square(const PyNum& x) {
  py::int_ two(2);
  return checked(PyNumber_Power(x.o_.ptr(), two.ptr(), Py_None));
}

static bool compare(const PyNum& a, const PyNum& b, int op) {
  int r = PyObject_RichCompareBool(a.object().ptr(), b.object().ptr(), op);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

bool py_less(const PyNum& a, const PyNum& b) { return compare(a, b, Py_LT); }
bool py_greater(const PyNum& a, const PyNum& b) { return compare(a, b, Py_GT); }

bool as_number(py::handle obj, core::Number& out) {
  PyObject* o = obj.ptr();
  if (PyFloat_CheckExact(o)) {
    out = core::Number(PyFloat_AS_DOUBLE(o));
    return true;
  }
  if (PyLong_CheckExact(o) || PyBool_Check(o)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow) return false;
    out = core::Number::integer(v);
    return !out.is_failed();
  }
  if (is_numpy_real_scalar(obj)) {
    out = core::Number(to_double(obj));
    return true;
  }
  return false;
}

py::object plain(py::handle obj) {
  if (!PyFloat_CheckExact(obj.ptr()) && !PyLong_CheckExact(obj.ptr()) && is_numpy_real_scalar(obj))
    return py::float_(to_double(obj));
  return py::reinterpret_borrow<py::object>(obj);
}

py::object to_python(const core::Number& n) {
  if (n.is_int()) return py::int_(static_cast<long long>(n.int_value()));
  return py::float_(n.as_double());
}

}  // namespace vostel
