#include "module/pyutil.h"

namespace vostel {

namespace {
PyObject* g_module = nullptr;       // strong references, kept for the process's life
PyObject* g_builtins = nullptr;     // the builtins module, imported once
PyObject* g_module_dict = nullptr;  // their namespaces (borrowed)
PyObject* g_builtins_dict = nullptr;
}  // namespace

void set_module(py::module_ m) {
  Py_XDECREF(g_module);
  g_module = m.inc_ref().ptr();
  if (!g_builtins) g_builtins = py::module_::import("builtins").release().ptr();
  g_module_dict = PyModule_GetDict(g_module);
  g_builtins_dict = PyModule_GetDict(g_builtins);
}

py::module_ module() { return py::reinterpret_borrow<py::module_>(g_module); }

py::object modattr(py::handle name) {
  PyObject* item = PyDict_GetItemWithError(g_module_dict, name.ptr());
  if (item) return py::reinterpret_borrow<py::object>(item);
  if (PyErr_Occurred()) throw py::error_already_set();
  item = PyDict_GetItemWithError(g_builtins_dict, name.ptr());
  if (item) return py::reinterpret_borrow<py::object>(item);
  if (PyErr_Occurred()) throw py::error_already_set();
  raise(PyExc_NameError, "name '" + py::str(name).cast<std::string>() + "' is not defined");
}

py::object modattr(const char* name) { return modattr(py::str(name)); }

namespace {

bool is_dunder(PyObject* name) {
  return PyUnicode_GET_LENGTH(name) > 1 && PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_';
}

}  // namespace

PyObject* call_on(PyObject** stack, std::size_t n, PyObject* name) {
  PyObject* receiver = stack[0];
  // A plain module's attribute is the entry of its namespace (the module type
  // defines only dunder names).
  if (PyModule_CheckExact(receiver) && !is_dunder(name)) {
    PyObject* fn = PyDict_GetItemWithError(PyModule_GetDict(receiver), name);
    if (fn) return PyObject_Vectorcall(fn, stack + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (PyErr_Occurred()) return nullptr;
  }
  return PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
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

void require_connection(py::handle self) {
  if (!truthy(instance_attr(self, KEY("_motor__connection")))) raise(PyExc_ConnectionError, "Motor not connected");
}

unsigned long long& failed_commands() {
  thread_local unsigned long long count = 0;
  return count;
}

py::object cell(py::handle ctype_name) { return call_method(modattr(KEY("ct")), ctype_name); }

py::object cell(py::handle ctype_name, py::object value) {
  return call_method(modattr(KEY("ct")), ctype_name, std::move(value));
}

py::object cell(const char* ctype_name) { return cell(py::str(ctype_name)); }

py::object cell(const char* ctype_name, py::object value) { return cell(py::str(ctype_name), std::move(value)); }

// ct.c_long where it is 32 bits wide, else ct.c_int32. Both names are looked
// up at every call; the width of a type object, once asked, is remembered.
static py::object long32_type() {
  static PyObject* known_type = nullptr;  // strong reference
  static bool known_is_32 = false;
  py::object ct = modattr(KEY("ct"));
  py::object t = ct.attr(KEY("c_long"));
  if (t.ptr() != known_type) {
    bool is_32 = call_method(ct, KEY("sizeof"), t).cast<int>() == 4;
    Py_XDECREF(known_type);
    known_type = t.inc_ref().ptr();
    known_is_32 = is_32;
  }
  if (known_is_32) return t;
  return ct.attr(KEY("c_int32"));
}

py::object long32() { return vcall(long32_type()); }

py::object bool32() {
  // The library's BOOL is a Windows LONG: 32 bits wide.
  return vcall(long32_type());
}

py::object byref(py::handle obj) { return call_method(modattr(KEY("ct")), KEY("byref"), obj); }

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

std::string format2(py::handle x) { return call_method(KEY("{:.2f}"), KEY("format"), x).cast<std::string>(); }

void append_to(py::handle path, const std::function<void(py::handle file)>& write) {
  py::object f = vcall(modattr(KEY("open")), path, KEY("a"));
  try {
    write(f);
  } catch (py::error_already_set&) {
    try {
      call_method(f, KEY("close"));
    } catch (py::error_already_set&) {
    }
    throw;
  }
  call_method(f, KEY("close"));
}

}  // namespace vostel
