// Finding and loading the controller's command library, asking the user for
// the file once when it is nowhere to be found.
#include "module/methods.h"

namespace vostel {

namespace {

const char* const kVendorSite = "https://www.maxongroup.com";

std::string missing_library_text(const std::string& dll_path) {
  return std::string("\n[Error] Could not load 'EposCMD64.dll' from:\n    ") + dll_path +
         "\n\nThis DLL is required for usage,\nplease download 'EposCMD64.dll' from Maxon (" + kVendorSite +
         ")\n and place it in the same folder as vostelmotor.py.\n\n";
}

}  // namespace

py::object load_epos_dll(py::handle self, Args& a) {
  py::object os = modattr("os");
  py::object package_dir = a[0];
  if (package_dir.is_none()) package_dir = os.attr("path").attr("dirname")(modattr("__file__"));
  py::object dll_path = os.attr("path").attr("join")(package_dir, self.attr("DLL_FILENAME"));
  py::object lib = self.attr("_try_load")(dll_path);
  if (truthy(lib)) return lib;
  lib = self.attr("_try_load")(self.attr("DLL_FILENAME"));
  if (truthy(lib)) return lib;
  py::object picked = self.attr("_prompt_for_dll_and_copy")(package_dir);
  if (truthy(picked)) {
    lib = self.attr("_try_load")(picked);
    if (truthy(lib)) return lib;
  }
  raise(PyExc_ImportError, missing_library_text(py::str(dll_path).cast<std::string>()));
}

py::object try_load(py::handle, Args& a) {
  // The vendor's library uses the Windows calling convention where there is one.
  py::object ct = modattr("ct");
  py::object loader = py::hasattr(ct, "WinDLL") ? ct.attr("WinDLL") : ct.attr("CDLL");
  try {
    return loader(a[0]);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception)) return py::none();
    throw;
  }
}

py::object prompt_for_dll_and_copy(py::handle self, Args& a) {
  py::object target_dir = a[0];
  py::object os = modattr("os");
  py::object name = self.attr("DLL_FILENAME");
  py::object tk = modattr("tk");
  py::object root;
  try {
    root = tk.attr("Tk")();
  } catch (py::error_already_set& e) {
    // No display to ask on (a headless machine): as if the user cancelled,
    // so that the caller reports the missing library in plain words.
    if (e.matches(tk.attr("TclError").ptr())) return py::none();
    throw;
  }
  root.attr("withdraw")();
  modattr("messagebox").attr("showinfo")(
      "Missing DLL", std::string("Please download 'EposCMD64.dll' from Maxon (") + kVendorSite + ")\n");
  py::object path = modattr("filedialog")
                        .attr("askopenfilename")(py::arg("title") = py::str("Select ") + py::str(name),
                                                 py::arg("filetypes") = py::list(py::make_tuple(py::make_tuple("DLL files", "*.dll"))));
  root.attr("destroy")();
  if (!truthy(path)) return py::none();
  py::object picked_name = os.attr("path").attr("basename")(path).attr("lower")();
  if (!picked_name.equal(name.attr("lower")())) {
    modattr("messagebox").attr("showerror")("Error", py::str("Selected file must be named '") + py::str(name) + py::str("'"));
    return py::none();
  }
  os.attr("makedirs")(target_dir, py::arg("exist_ok") = true);
  py::object destination = os.attr("path").attr("join")(target_dir, name);
  modattr("shutil").attr("copy2")(path, destination);
  return destination;
}

}  // namespace vostel
