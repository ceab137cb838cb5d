#include "module/pyutil.h"

namespace vostel {

namespace {
PyObject* g_module = nullptr;       // strong references, kept for the process's life
PyObject* g_builtins = nullptr;     // the builtins module, imported once
PyObject* g_module_dict = nullptr;  // their namespaces (borrowed)
PyObject* g_builtins_dict = nullptr;
getattrofunc g_hooked_getattro = nullptr;  // the attribute slot of a class that defines __getattr__
PyObject* g_object_getattribute = nullptr;  // object.__getattribute__, strong
PyObject* g_getattribute_name = nullptr;    // "__getattribute__", interned
}  // namespace

void set_module(py::module_ m) {
  Py_XDECREF(g_module);
  g_module = m.inc_ref().ptr();
  if (!g_builtins) g_builtins = py::module_::import("builtins").release().ptr();
  g_module_dict = PyModule_GetDict(g_module);
  g_builtins_dict = PyModule_GetDict(g_builtins);
  if (!g_hooked_getattro) {
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::dict ns;
    ns["__getattr__"] = py::reinterpret_borrow<py::object>(g_builtins).attr(KEY("getattr"));
    py::object probe = type("_getattr_probe", py::tuple(), ns);
    g_hooked_getattro = reinterpret_cast<PyTypeObject*>(probe.ptr())->tp_getattro;
    g_getattribute_name = PyUnicode_InternFromString("__getattribute__");
    g_object_getattribute =
        PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), g_getattribute_name);
    if (!g_getattribute_name || !g_object_getattribute) throw py::error_already_set();
  }
}

PyObject* class_attribute(PyTypeObject* type, PyObject* name) {
  PyObject* mro = type->tp_mro;
  if (!mro) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* ns = PyType_GetDict(base);  // a built-in type's namespace is kept apart from 3.12 on
    if (!ns) throw py::error_already_set();
    PyObject* value = PyDict_GetItemWithError(ns, name);
    Py_DECREF(ns);  // the class keeps its namespace, and the namespace the value
#else
    PyObject* value = PyDict_GetItemWithError(base->tp_dict, name);
#endif
    if (value) return value;
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  return nullptr;
}

namespace {

// True when getattr on instances of `type` starts with the plain lookup
// (class attributes, then the instance's __dict__): no attribute hook, or
// only a class __getattr__ (asked when the plain lookup fails) with object's
// own __getattribute__.
bool plain_getattr(PyTypeObject* type) {
  if (type->tp_getattro == PyObject_GenericGetAttr) return true;
  return type->tp_getattro == g_hooked_getattro &&
         class_attribute(type, g_getattribute_name) == g_object_getattribute;
}

}  // namespace

py::object getattr_of(py::handle obj, py::handle name) { return py::getattr(obj, name); }

py::object getattr_of(py::handle obj, const Key& name) {
  py::object value = py::getattr(obj, name);
  // A class that sends the name to the instance's __dict__ is noted.
  PyTypeObject* type = Py_TYPE(obj.ptr());
  if (type->tp_dictoffset != 0 && plain_getattr(type) && !class_attribute(type, name.ptr()))
    note_class(type, *name.site);
  return value;
}

namespace {
// The site holds the class it noted, so that no other class can come to be
// at its address while the note stands.
void keep_class(KeySite& site, PyTypeObject* type, unsigned long long stamp) {
  PyTypeObject* old = site.type;
  Py_INCREF(type);
  site.type = type;
  site.version = stamp;
  Py_XDECREF(old);
}
}  // namespace

#if PY_VERSION_HEX >= 0x030C0000
unsigned long long g_class_changes = 1;

namespace {
int g_class_watcher = -1;  // -2: none to be had

int on_class_change(PyTypeObject*) {
  ++g_class_changes;
  return 0;
}
}  // namespace

void note_class(PyTypeObject* type, KeySite& site) {
  if (g_class_watcher == -1) {
    g_class_watcher = PyType_AddWatcher(on_class_change);
    if (g_class_watcher < 0) {  // all the interpreter's watchers taken: no notes, and no new try
      PyErr_Clear();
      g_class_watcher = -2;
    }
  }
  if (g_class_watcher < 0) return;
  // The interpreter reports a change only of a class that has a version tag.
  if (!PyUnstable_Type_AssignVersionTag(type)) return;
  if (PyType_Watch(g_class_watcher, reinterpret_cast<PyObject*>(type)) < 0) {
    PyErr_Clear();
    return;
  }
  keep_class(site, type, g_class_changes);
}
#else
void note_class(PyTypeObject* type, KeySite& site) {
  // The lookup just made gave the class a valid tag where it can have one.
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) || type->tp_version_tag == 0) return;
  keep_class(site, type, type->tp_version_tag);
}
#endif

py::module_ module() { return py::reinterpret_borrow<py::module_>(g_module); }

PyObject* dict_item(PyObject* dict, py::handle name) {
  PyObject* value = PyDict_GetItemWithError(dict, name.ptr());
  if (!value && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

PyObject* dict_item_at_new_place(PyObject* dict, const Key& name) {
  PyObject* value = dict_item(dict, py::handle(name));
  if (!value) return nullptr;
  // Remember where the entry stands, for the next lookup from this site.
  // Namespaces here are small; a large dict is not searched.
  if (PyDict_GET_SIZE(dict) <= 256) {
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(dict, &pos, &key, &item)) {
      if (key == name.ptr()) {
        name.site->where = pos - 1;
        break;
      }
    }
  }
  return value;
}

namespace {

template <typename Name>
py::object modattr_impl(const Name& name) {
  if (PyObject* item = dict_item(g_module_dict, name)) return py::reinterpret_borrow<py::object>(item);
  if (PyObject* item = dict_item(g_builtins_dict, py::handle(name))) return py::reinterpret_borrow<py::object>(item);
  raise(PyExc_NameError, "name '" + py::str(name).template cast<std::string>() + "' is not defined");
}

bool is_dunder(PyObject* name) {
  if (PyUnicode_GET_LENGTH(name) < 2) return false;
  const int kind = PyUnicode_KIND(name);
  const void* data = PyUnicode_DATA(name);
  return PyUnicode_READ(kind, data, 0) == '_' && PyUnicode_READ(kind, data, 1) == '_';
}

// The entry of a plain module's namespace, where getattr would take it from
// there (the module type defines only dunder names); nullptr otherwise.
template <typename Name>
PyObject* module_entry(PyObject* receiver, const Name& name) {
  if (!PyModule_CheckExact(receiver) || is_dunder(name.ptr())) return nullptr;
  return dict_item(PyModule_GetDict(receiver), name);
}

template <typename Name>
PyObject* call_on_impl(PyObject** stack, std::size_t n, const Name& name) {
  PyObject* fn;
  try {
    fn = module_entry(stack[0], name);
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
  if (fn) return PyObject_Vectorcall(fn, stack + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  return PyObject_VectorcallMethod(name.ptr(), stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace

py::object modattr(py::handle name) { return modattr_impl(name); }
py::object modattr(const Key& name) { return modattr_impl(name); }
py::object modattr(const char* name) { return modattr(py::str(name)); }

py::object module_attr(py::handle module, const Key& name) {
  if (PyObject* item = module_entry(module.ptr(), name)) return py::reinterpret_borrow<py::object>(item);
  return py::getattr(module, name);
}

PyObject* call_on(PyObject** stack, std::size_t n, py::handle name) { return call_on_impl(stack, n, name); }
PyObject* call_on(PyObject** stack, std::size_t n, const Key& name) { return call_on_impl(stack, n, name); }

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

py::object cell(const Ctypes& ct, const Key& ctype_name) { return call_method(ct.module, ctype_name); }

py::object cell(const Key& ctype_name) { return cell(Ctypes(), ctype_name); }

py::object cell(const Key& ctype_name, py::object value) {
  return call_method(Ctypes().module, ctype_name, std::move(value));
}

py::object cell(const char* ctype_name) { return call_method(Ctypes().module, py::str(ctype_name)); }

py::object cell(const char* ctype_name, py::object value) {
  return call_method(Ctypes().module, py::str(ctype_name), std::move(value));
}

// ct.c_long where it is 32 bits wide, else ct.c_int32. Both names are looked
// up at every call; the width of a type object, once asked, is remembered.
static py::object long32_type(const Ctypes& ct) {
  static PyObject* known_type = nullptr;  // strong reference
  static bool known_is_32 = false;
  py::object t = module_attr(ct.module, KEY("c_long"));
  if (t.ptr() != known_type) {
    bool is_32 = call_method(ct.module, KEY("sizeof"), t).cast<int>() == 4;
    Py_XDECREF(known_type);
    known_type = t.inc_ref().ptr();
    known_is_32 = is_32;
  }
  if (known_is_32) return t;
  return module_attr(ct.module, KEY("c_int32"));
}

py::object long32(const Ctypes& ct) { return vcall(long32_type(ct)); }

py::object long32() { return long32(Ctypes()); }

py::object bool32() {
  // The library's BOOL is a Windows LONG: 32 bits wide.
  return long32();
}

py::object byref(const Ctypes& ct, py::handle obj) { return call_method(ct.module, KEY("byref"), obj); }

py::object byref(py::handle obj) { return byref(Ctypes(), obj); }

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
