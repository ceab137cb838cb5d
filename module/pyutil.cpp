#include "module/pyutil.h"

namespace vostel {

namespace {
PyObject* g_module = nullptr;  // strong reference, kept for the process's life
}

void set_module(py::module_ m) {
  Py_XDECREF(g_module);
  g_module = m.inc_ref().ptr();
}

py::module_ module() { return py::reinterpret_borrow<py::module_>(g_module); }

py::object modattr(const char* name) {
  PyObject* dict = PyModule_GetDict(g_module);
  PyObject* item = PyDict_GetItemString(dict, name);
  if (item) return py::reinterpret_borrow<py::object>(item);
  py::object builtins = py::module_::import("builtins");
  if (py::hasattr(builtins, name)) return builtins.attr(name);
  raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
}

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

void raise_in_context(py::error_already_set& caught, PyObject* type, const std::string& message) {
  py::object context = caught.value();
  py::object trace = caught.trace();
  if (trace && !trace.is_none()) PyException_SetTraceback(context.ptr(), trace.ptr());
  py::object exc = py::reinterpret_borrow<py::object>(type)(message);
  PyException_SetContext(exc.ptr(), context.inc_ref().ptr());
  PyErr_SetObject(type, exc.ptr());
  throw py::error_already_set();
}

bool matches(py::error_already_set& caught, PyObject* type) { return caught.matches(type); }

void require_connection(py::handle self) {
  if (!truthy(self.attr("_motor__connection"))) raise(PyExc_ConnectionError, "Motor not connected");
}

unsigned long long& failed_commands() {
  thread_local unsigned long long count = 0;
  return count;
}

py::object cell(const char* ctype_name) { return modattr("ct").attr(ctype_name)(); }

py::object cell(const char* ctype_name, py::object value) {
  return modattr("ct").attr(ctype_name)(std::move(value));
}

static py::object int32_type(const char* preferred) {
  py::object ct = modattr("ct");
  py::object t = ct.attr(preferred);
  if (ct.attr("sizeof")(t).cast<int>() == 4) return t;
  return ct.attr("c_int32");
}

py::object long32() { return int32_type("c_long")(); }

py::object bool32() {
  // The library's BOOL is a Windows LONG: 32 bits wide.
  return int32_type("c_long")();
}

py::object byref(py::handle obj) { return modattr("ct").attr("byref")(obj); }

bool truthy(py::handle obj) {
  int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::object to_int(py::handle obj) {
  PyObject* r = PyNumber_Long(obj.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object int_from_double(double d) {
  PyObject* r = PyLong_FromDouble(d);
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

double to_double(py::handle obj) {
  double d = PyFloat_AsDouble(obj.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

std::string format2(py::handle x) { return py::str("{:.2f}").attr("format")(x).cast<std::string>(); }

void append_text(py::handle path, const py::object& text) {
  append_to(path, [&](py::handle f) { f.attr("write")(text); });
}

void append_to(py::handle path, const std::function<void(py::handle file)>& write) {
  py::object f = modattr("open")(path, "a");
  try {
    write(f);
  } catch (py::error_already_set&) {
    try {
      f.attr("close")();
    } catch (py::error_already_set&) {
    }
    throw;
  }
  f.attr("close")();
}

}  // namespace vostel
