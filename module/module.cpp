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
  m.attr("ct") = py::module_::import("ctypes");
  m.attr("os") = py::module_::import("os");
  try {
    m.attr("np") = py::module_::import("numpy");
  } catch (py::error_already_set& e) {
    raise_in_context(e, PyExc_ImportError, "please install numpy");
  }
  m.attr("tk") = py::module_::import("tkinter");
  m.attr("filedialog") = py::module_::import("tkinter.filedialog");
  m.attr("messagebox") = py::module_::import("tkinter.messagebox");
  m.attr("sleep") = py::module_::import("time").attr("sleep");
  m.attr("frexp") = py::module_::import("math").attr("frexp");
  m.attr("shutil") = py::module_::import("shutil");
  m.attr("motor") = build_class("motor", motor_methods());
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vostelmotor", nullptr, -1, nullptr, nullptr, nullptr, nullptr,
                          nullptr};

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
