// Every controller command goes through here: a failed command (result 0) is
// reported on standard output and, while support data are collected, in the
// support file; it is never turned into an exception.
#include "diagnostics/support_file.h"
#include "module/methods.h"

#include <cstdint>

namespace vostel {

namespace {

// lib.<funcName>, looked up now. A command's name keeps its own lookup site
// (see Key), held with the name so that the site cannot pass to another.
py::object command_on(py::handle lib, py::handle funcName) {
  if (!PyUnicode_CheckExact(funcName.ptr())) return py::getattr(lib, funcName);
  struct Entry {
    PyObject* name = nullptr;  // strong
    KeySite site;
  };
  static Entry sites[64];
  Entry& e = sites[(reinterpret_cast<std::uintptr_t>(funcName.ptr()) >> 4) % 64];
  if (e.name != funcName.ptr()) {
    Py_XDECREF(e.name);
    e.name = funcName.inc_ref().ptr();
    e.site = KeySite{};
  }
  return instance_attr(lib, Key(funcName.ptr(), &e.site));
}

}  // namespace

py::object dllCall(py::handle self, Args& a) {
  const py::object& funcName = a[0];
  const py::object& args = a[1];  // the tuple of *args
  // The command is looked up on the library at every call; the argument
  // tuple goes to it as it came.
  py::object func = command_on(instance_attr(self, KEY("eposdll")), funcName);
  PyObject* raw = PyObject_Call(func.ptr(), args.ptr(), nullptr);
  if (!raw) throw py::error_already_set();
  py::object result = py::reinterpret_steal<py::object>(raw);
  static PyObject* const zero = PyLong_FromLong(0);
  int failed;
  if (PyLong_CheckExact(raw)) {  // what the commands return: a plain int
    int overflow = 0;
    failed = PyLong_AsLongAndOverflow(raw, &overflow) == 0 && !overflow;
  } else {
    failed = PyObject_RichCompareBool(raw, zero, Py_EQ);
    if (failed < 0) throw py::error_already_set();
  }
  if (!failed) return result;
  ++failed_commands();

  py::tuple items = py::reinterpret_borrow<py::tuple>(args);
  py::object last = items[items.size() - 1];
  py::object errorCode = last.attr(KEY("_obj")).attr(KEY("value"));
  const int buffer_size = 255;
  py::object ct = modattr(KEY("ct"));
  py::object pErrorInfo = call_method(ct, KEY("create_string_buffer"), buffer_size);
  call_method(instance_attr(self, KEY("eposdll")), KEY("VCS_GetErrorInfo"), errorCode, pErrorInfo,
              call_method(ct, KEY("c_ushort"), buffer_size));
  py::object error_msg = call_method(pErrorInfo.attr(KEY("value")), KEY("decode"), "utf-8");
  say(py::str(funcName) + py::str(" failed with Code ") + py::str(errorCode) + py::str(": ") + py::str(error_msg));

  if (truthy(instance_attr(self, KEY("_motor__generateSupportData")))) {
    py::object simple = ct.attr(KEY("_SimpleCData"));
    py::list parts;
    for (size_t i = 0; i + 1 < items.size(); ++i) {
      py::object arg = items[i];
      parts.append(py::isinstance(arg, simple) ? py::str(arg.attr(KEY("value"))) : py::str(arg));
    }
    py::object args_repr = call_method(py::str(", "), KEY("join"), parts);
    py::object line = py::str("Failed: ") + py::str(funcName) + py::str(": ") + args_repr + py::str(": ") +
                      py::str(errorCode) + py::str(" ") + error_msg + py::str("\n");
    append_support_text(self, line);
  }
  return result;
}

}  // namespace vostel
