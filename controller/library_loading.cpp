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
  py::object os = modattr(KEY("os"));
  py::object package_dir = a[0];
  if (package_dir.is_none()) package_dir = call_method(os.attr(KEY("path")), KEY("dirname"), modattr(KEY("__file__")));
  py::object dll_path = call_method(os.attr(KEY("path")), KEY("join"), package_dir, self.attr(KEY("DLL_FILENAME")));
  py::object lib = call_method(self, KEY("_try_load"), dll_path);
  if (truthy(lib)) return lib;
  lib = call_method(self, KEY("_try_load"), self.attr(KEY("DLL_FILENAME")));
  if (truthy(lib)) return lib;
  py::object picked = call_method(self, KEY("_prompt_for_dll_and_copy"), package_dir);
  if (truthy(picked)) {
    lib = call_method(self, KEY("_try_load"), picked);
    if (truthy(lib)) return lib;
  }
  raise(PyExc_ImportError, missing_library_text(py::str(dll_path).cast<std::string>()));
}

py::object try_load(py::handle, Args& a) {
  // The vendor's library uses the Windows calling convention where there is one.
  py::object ct = modattr(KEY("ct"));
  py::object loader = py::hasattr(ct, "WinDLL") ? ct.attr(KEY("WinDLL")) : ct.attr(KEY("CDLL"));
  try {
    return loader(a[0]);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception)) return py::none();
    throw;
  }
}

py::object prompt_for_dll_and_copy(py::handle self, Args& a) {
  py::object target_dir = a[0];
  py::object os = modattr(KEY("os"));
  py::object name = self.attr(KEY("DLL_FILENAME"));
  py::object tk = modattr(KEY("tk"));
  py::object root;
  try {
    root = call_method(tk, KEY("Tk"));
  } catch (py::error_already_set& e) {
    // No display to ask on (a headless machine): as if the user cancelled,
    // so that the caller reports the missing library in plain words.
    if (e.matches(tk.attr(KEY("TclError")).ptr())) return py::none();
    throw;
  }
  call_method(root, KEY("withdraw"));
  modattr(KEY("messagebox"))
      .attr(KEY("showinfo"))("Missing DLL",
                             std::string("Please download 'EposCMD64.dll' from Maxon (") + kVendorSite + ")\n");
  py::object path = modattr(KEY("filedialog"))
                        .attr(KEY("askopenfilename"))(
                            py::arg("title") = py::str("Select ") + py::str(name),
                            py::arg("filetypes") = py::list(py::make_tuple(py::make_tuple("DLL files", "*.dll"))));
  call_method(root, KEY("destroy"));
  if (!truthy(path)) return py::none();
  py::object picked_name = call_method(call_method(os.attr(KEY("path")), KEY("basename"), path), KEY("lower"));
  if (!picked_name.equal(call_method(name, KEY("lower")))) {
    modattr(KEY("messagebox"))
        .attr(KEY("showerror"))("Error", py::str("Selected file must be named '") + py::str(name) + py::str("'"));
    return py::none();
  }
  os.attr(KEY("makedirs"))(target_dir, py::arg("exist_ok") = true);
  py::object destination = call_method(os.attr(KEY("path")), KEY("join"), target_dir, name);
  call_method(modattr(KEY("shutil")), KEY("copy2"), path, destination);
  return destination;
}

}  // namespace vostel
