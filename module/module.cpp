// The extension module: binds the modules it works with under their
// module-level names and defines the class `motor`.
#include "module/method_kit.h"
#include "module/methods.h"

namespace vostel {
std::vector<MethodInfo> motor_methods();
}

using namespace vostel;

namespace {

void exec_module(py::module_ m) {
  set_module(m);
  m.attr(KEY("ct")) = py::module_::import("ctypes");
  m.attr(KEY("os")) = py::module_::import("os");
  try {
    m.attr(KEY("np")) = py::module_::import("numpy");
  } catch (py::error_already_set& e) {
    raise_in_context(e, PyExc_ImportError, "please install numpy");
  }
  m.attr(KEY("tk")) = py::module_::import("tkinter");
  m.attr(KEY("filedialog")) = py::module_::import("tkinter.filedialog");
  m.attr(KEY("messagebox")) = py::module_::import("tkinter.messagebox");
  m.attr(KEY("sleep")) = py::module_::import("time").attr(KEY("sleep"));
  m.attr(KEY("frexp")) = py::module_::import("math").attr(KEY("frexp"));
  m.attr(KEY("shutil")) = py::module_::import("shutil");
  m.attr(KEY("motor")) = build_class("motor", motor_methods());
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vostelmotor", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

// Plain single-phase initialisation, so that an import failure reaches the
// importer as it was raised (ImportError "please install numpy", or the
// failing import's own error) rather than wrapped.
extern "C" PYBIND11_EXPORT PyObject* PyInit_vostelmotor() {
  PyObject* raw = PyModule_Create(&module_def);
  if (!raw) return nullptr;
  py::module_ m = py::reinterpret_steal<py::module_>(raw);
  try {
    exec_module(m);
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
  return m.release().ptr();
}
