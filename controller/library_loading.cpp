// Finding and loading the controller's command library, asking the user for
// the file once when it is nowhere to be found. Everything that depends on the
// operating system lives here: on Linux the vendor's own Linux library is
// searched for too, and outside Windows the arguments whose C type is wider
// than the int a Python int passes as are declared on the loaded library.
#include "module/methods.h"

#include <string>

#if defined(__linux__)
#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>
#endif

namespace vostel {

namespace {

const char* const kVendorSite = "https://www.maxongroup.com";

#if defined(__linux__)
namespace fs = std::filesystem;

// The vendor's command library for Linux: libEposCmd.so, mostly with its
// version appended (libEposCmd.so.6.8.1.0). The vendor's installer puts it in
// /opt/EposCmdLib_<version>/lib/<architecture>/ and links it into /usr/lib.
const char* const kLinuxLibraryName = "libEposCmd.so";

// The numbers in a name, in order ("libEposCmd.so.6.8.1.0" after its prefix,
// "EposCmdLib_6.8.1.0": 6, 8, 1, 0), for ordering versions.
std::vector<unsigned long> version_of(const std::string& name, size_t prefix = 0) {
  std::vector<unsigned long> parts;
  const char* p = name.c_str() + prefix;
  while (*p) {
    if (*p >= '0' && *p <= '9') {
      char* end = nullptr;
      parts.push_back(std::strtoul(p, &end, 10));
      p = end;
    } else {
      ++p;
    }
  }
  return parts;
}

// The files named libEposCmd.so* in `folder` (not below it): the plain name
// first (the link an installation makes to its chosen version), then the
// newest version first.
std::vector<fs::path> linux_libraries_in(const fs::path& folder) {
  struct Found {
    fs::path path;
    std::vector<unsigned long> version;
  };
  std::vector<Found> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.rfind(kLinuxLibraryName, 0) != 0) continue;
    std::error_code file_ec;
    if (!fs::is_regular_file(it->path(), file_ec)) continue;  // follows links; dangling ones are skipped
    found.push_back({it->path(), version_of(name, std::char_traits<char>::length(kLinuxLibraryName))});
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    if (a.version.empty() != b.version.empty()) return a.version.empty();
    return a.version > b.version;
  });
  std::vector<fs::path> paths;
  for (const Found& f : found) paths.push_back(f.path);
  return paths;
}

// The vendor's installation folders under /opt (/opt/EposCmdLib_6.8.1.0/lib
// and the architecture folders below it), the newest installation first and,
// within one, this machine's architecture first; folders of other
// architectures come later and their files simply fail to load.
std::vector<fs::path> vendor_library_folders() {
  std::vector<fs::path> installs;
  std::error_code ec;
  for (fs::directory_iterator it("/opt", ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind("EposCmdLib", 0) == 0) installs.push_back(it->path() / "lib");
  }
  std::sort(installs.begin(), installs.end(), [](const fs::path& a, const fs::path& b) {
    return version_of(a.parent_path().filename().string()) > version_of(b.parent_path().filename().string());
  });
  struct utsname host {};
  std::string machine = uname(&host) == 0 ? host.machine : "";
  std::vector<fs::path> folders;
  for (const fs::path& lib : installs) {
    std::vector<fs::path> own, other;
    own.push_back(lib);
    for (fs::recursive_directory_iterator it(lib, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
      if (it.depth() > 2) it.disable_recursion_pending();
      std::error_code dir_ec;
      if (!it->is_directory(dir_ec)) continue;
      std::string relative = it->path().lexically_relative(lib).string();
      bool mine = !machine.empty() && ("/" + relative + "/").find("/" + machine + "/") != std::string::npos;
      (mine ? own : other).push_back(it->path());
    }
    std::sort(own.begin() + 1, own.end());
    std::sort(other.begin(), other.end());
    folders.insert(folders.end(), own.begin(), own.end());
    folders.insert(folders.end(), other.begin(), other.end());
  }
  return folders;
}

// Where the vendor's Linux library is looked for, in this order, once no
// EposCMD64.dll is found: libEposCmd.so* beside the module (the package
// folder), the loader's own search for the name libEposCmd.so (LD_LIBRARY_PATH,
// the ldconfig cache, /lib, /usr/lib), libEposCmd.so* in the folders of
// LD_LIBRARY_PATH, in /usr/local/lib, in the vendor's folders under
// /opt/EposCmdLib*/lib, and in /usr/lib. Each entry is a path, or the bare
// name for the loader's search.
std::vector<std::string> linux_library_candidates(const std::string& package_dir) {
  std::vector<std::string> candidates;
  auto add_folder = [&](const fs::path& folder) {
    for (const fs::path& p : linux_libraries_in(folder)) candidates.push_back(p.string());
  };
  add_folder(package_dir);
  candidates.push_back(kLinuxLibraryName);
  if (const char* search_path = std::getenv("LD_LIBRARY_PATH")) {
    std::string all = search_path;
    for (size_t start = 0; start <= all.size();) {
      size_t colon = all.find(':', start);
      if (colon == std::string::npos) colon = all.size();
      if (colon > start) add_folder(all.substr(start, colon - start));
      start = colon + 1;
    }
  }
  add_folder("/usr/local/lib");
  for (const fs::path& folder : vendor_library_folders()) add_folder(folder);
  add_folder("/usr/lib");
  // Each file once, where it was first found.
  std::vector<std::string> unique;
  for (const std::string& c : candidates) {
    if (std::find(unique.begin(), unique.end(), c) == unique.end()) unique.push_back(c);
  }
  return unique;
}

py::object fs_text(const std::string& path) {
  PyObject* text = PyUnicode_DecodeFSDefault(path.c_str());
  if (!text) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(text);
}
#endif

#if !defined(_WIN32)
// Outside Windows the command library follows the platform's C types (LP64):
// the key handle (void*) and VCS_MoveToPosition's target (C long) are 64 bits
// wide, where an undeclared Python int passes as a 32-bit C int and a result
// comes back as one. So the handle's place is declared on every command that
// takes one, the target's on VCS_MoveToPosition and the pointer-sized result
// on VCS_OpenDevice. Every other place keeps the interpreter's own conversion
// (an argument type whose from_param hands the argument on unchanged): their
// widths already match the library's declarations (the position, Boolean and
// count cells are 32-bit, the node id and the current 16-bit). All places are
// declared, so that the call is an ordinary one rather than a variadic one.
struct DeclaredCommand {
  const char* name;
  int arguments;  // as the library declares them, the error reference included
};
const DeclaredCommand kHandleCommands[] = {
    {"VCS_CloseDevice", 2}, {"VCS_SetEnableState", 3}, {"VCS_SetDisableState", 3}, {"VCS_Store", 3},
    {"VCS_ClearFault", 3}, {"VCS_SetQuickStopState", 3}, {"VCS_SetMaxProfileVelocity", 4},
    {"VCS_SetMaxAcceleration", 4}, {"VCS_GetIncEncoderParameter", 5}, {"VCS_GetDcMotorParameter", 6},
    {"VCS_SetDcMotorParameter", 6}, {"VCS_ActivateProfilePositionMode", 3}, {"VCS_SetPositionProfile", 6},
    {"VCS_GetPositionProfile", 6}, {"VCS_MoveToPosition", 6}, {"VCS_WaitForTargetReached", 4},
    {"VCS_GetMovementState", 4}, {"VCS_GetPositionIs", 4}, {"VCS_GetCurrentIs", 4},
    {"VCS_GetAllDigitalInputs", 4}, {"VCS_GetState", 4}, {"VCS_DigitalOutputConfiguration", 8},
    {"VCS_ActivatePositionCompare", 5}, {"VCS_EnablePositionCompare", 3}, {"VCS_DisablePositionCompare", 3},
    {"VCS_DeactivatePositionCompare", 4}, {"VCS_SetPositionCompareParameter", 9}, {"VCS_GetObject", 8},
    {"VCS_SetObject", 8}};

// An argument type that leaves the argument to the interpreter's conversion:
// its from_param is a plain C function handing the argument back, so ctypes
// converts what it returns exactly as it converts an undeclared argument, at
// the cost of one call of a builtin function.
PyObject* hand_on(PyObject*, PyObject* argument) {
  Py_INCREF(argument);
  return argument;
}

PyMethodDef hand_on_def = {"from_param", hand_on, METH_O,
                           "Returns the argument unchanged, for ctypes' own conversion."};

py::object as_passed() {
  static PyObject* const type = [] {
    py::object from_param = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&hand_on_def, nullptr, nullptr));
    if (!from_param) throw py::error_already_set();
    py::object namespace_type = py::module_::import("types").attr(KEY("SimpleNamespace"));
    return namespace_type(py::arg("from_param") = from_param).release().ptr();
  }();
  return py::reinterpret_borrow<py::object>(type);
}

void declare_wide_arguments(py::handle lib) {
  // The library's function, or nothing when it has none of that name.
  auto function = [&](const char* name) -> py::object {
    PyObject* f = PyObject_GetAttrString(lib.ptr(), name);
    if (!f) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
      PyErr_Clear();
      return py::none();
    }
    return py::reinterpret_steal<py::object>(f);
  };
  py::object ct = modattr(KEY("ct"));
  for (const DeclaredCommand& command : kHandleCommands) {
    py::object f = function(command.name);
    if (f.is_none()) continue;
    py::list types;
    types.append(ct.attr(KEY("c_void_p")));
    for (int i = 1; i < command.arguments; ++i) types.append(as_passed());
    if (std::string(command.name) == "VCS_MoveToPosition") types[2] = ct.attr(KEY("c_long"));
    f.attr(KEY("argtypes")) = py::tuple(types);
  }
  py::object open_device = function("VCS_OpenDevice");
  if (!open_device.is_none()) open_device.attr(KEY("restype")) = ct.attr(KEY("c_size_t"));
}
#endif

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
#if defined(__linux__)
  py::object folder = call_method(os, KEY("fsencode"), package_dir);
  for (const std::string& candidate : linux_library_candidates(folder.cast<std::string>())) {
    lib = call_method(self, KEY("_try_load"), fs_text(candidate));
    if (truthy(lib)) return lib;
  }
#endif
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
  py::object loader = py::hasattr(ct, KEY("WinDLL")) ? ct.attr(KEY("WinDLL")) : ct.attr(KEY("CDLL"));
  py::object lib;
  try {
    lib = loader(a[0]);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception)) return py::none();
    throw;
  }
#if !defined(_WIN32)
  declare_wide_arguments(lib);
#endif
  return lib;
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
  call_method(modattr(KEY("messagebox")), KEY("showinfo"), "Missing DLL",
              std::string("Please download 'EposCMD64.dll' from Maxon (") + kVendorSite + ")\n");
  py::object path = modattr(KEY("filedialog"))
                        .attr(KEY("askopenfilename"))(
                            py::arg("title") = py::str("Select ") + py::str(name),
                            py::arg("filetypes") = py::list(py::make_tuple(py::make_tuple("DLL files", "*.dll"))));
  call_method(root, KEY("destroy"));
  if (!truthy(path)) return py::none();
  py::object picked_name = call_method(call_method(os.attr(KEY("path")), KEY("basename"), path), KEY("lower"));
  if (!picked_name.equal(call_method(name, KEY("lower")))) {
    call_method(modattr(KEY("messagebox")), KEY("showerror"), "Error",
                py::str("Selected file must be named '") + py::str(name) + py::str("'"));
    return py::none();
  }
  os.attr(KEY("makedirs"))(target_dir, py::arg("exist_ok") = true);
  py::object destination = call_method(os.attr(KEY("path")), KEY("join"), target_dir, name);
  call_method(modattr(KEY("shutil")), KEY("copy2"), path, destination);
  return destination;
}

}  // namespace vostel
