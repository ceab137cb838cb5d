// Small helpers shared by every method of the motor class: module-level name
// lookup at call time, printing through Python's print, exceptions with
// chained context, ctypes cells and controller commands.
//
// Names are looked up every time a method runs, as Python code would look
// them up, and no value is ever kept between calls. KEY("x") is an interned
// str made once per use site, so a lookup neither builds nor hashes a new
// string, together with what the site learnt of where to look (see KeySite).
// Calls go through vectorcall, without argument tuples or bound-method
// objects.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <functional>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

namespace py = pybind11;

#if defined(_MSC_VER)
#define VOSTEL_ALWAYS_INLINE __forceinline
#define VOSTEL_NOINLINE __declspec(noinline)
#define VOSTEL_LIKELY(x) (x)
#else
#define VOSTEL_ALWAYS_INLINE inline __attribute__((always_inline))
#define VOSTEL_NOINLINE __attribute__((noinline, cold))
// The path every call takes once a use site has learnt where to look: laid
// out straight, the fallbacks out of line.
#define VOSTEL_LIKELY(x) __builtin_expect(!!(x), 1)
#endif

namespace vostel {

// What one use site of a name remembers between calls; never a value:
//  - where: the position of the name's entry in the dict it was last looked
//    up in. A lookup reads the entry at that position first and takes it only
//    if its key is this very name, so the value always comes from the dict
//    as it is now; anything else (another dict, an entry removed or moved)
//    is the full lookup.
//  - type, version: a class whose getattr was found to read this name from
//    the instance's __dict__ (no attribute hook before it, no class
//    attribute of this name), with the class's change stamp then (see
//    class_unchanged). Any change to the class or its bases changes the
//    stamp, and the class is looked at again.
struct KeySite {
  Py_ssize_t where = -1;
  PyTypeObject* type = nullptr;
  unsigned long long version = 0;
};

// An interned name and its use site.
struct Key : py::handle {
  Key(PyObject* name, KeySite* at) : py::handle(name), site(at) {}
  KeySite* site;
};

}  // namespace vostel

// The interned str for a string literal, created at the first use of this
// site and kept for the process's life, with this site's position hint.
#define KEY(s)                                                           \
  ([]() -> ::vostel::Key {                                               \
    static PyObject* const interned_key = PyUnicode_InternFromString(s); \
    static ::vostel::KeySite site;                                       \
    return {interned_key, &site};                                        \
  }())

namespace vostel {

// The bound arguments of one call (without self), in declaration order; a
// fixed array, so binding allocates nothing, and only the slots filled are
// ever touched.
class Args {
 public:
  static constexpr std::size_t kCapacity = 8;
  Args() {}
  ~Args() {
    for (std::size_t i = 0; i < size_; ++i) values_[i].~object();
  }
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  py::object& operator[](std::size_t i) { return values_[i]; }
  std::size_t size() const { return size_; }
  void push_back(py::object value) { new (&values_[size_++]) py::object(std::move(value)); }
  void push_borrowed(PyObject* value) { new (&values_[size_++]) py::object(py::reinterpret_borrow<py::object>(value)); }

 private:
  union {
    py::object values_[kCapacity];
  };
  std::size_t size_ = 0;
};

// Any C++ argument as a Python object: objects and handles as they are,
// accessors fetched, numbers and texts converted as pybind11 converts them.
template <typename T>
py::object to_object(T&& value) {
  using D = std::decay_t<T>;
  if constexpr (std::is_same_v<D, py::object> && !std::is_lvalue_reference_v<T>) {
    return std::move(value);  // a temporary: its reference is taken over
  } else if constexpr (std::is_base_of_v<py::handle, D>) {
    return py::reinterpret_borrow<py::object>(value);
  } else {
    return py::reinterpret_steal<py::object>(py::detail::make_caster<T>::cast(
        std::forward<T>(value), py::return_value_policy::automatic_reference, nullptr));
  }
}

// dict[name] (borrowed), or nullptr when the dict has no such key; errors
// are thrown. The hinted form reads the entry at the name's last position
// first (see Key).
PyObject* dict_item(PyObject* dict, py::handle name);
PyObject* dict_item_at_new_place(PyObject* dict, const Key& name);
VOSTEL_ALWAYS_INLINE PyObject* dict_item(PyObject* dict, const Key& name) {
  Py_ssize_t pos = name.site->where;
  PyObject *key, *value;
  if (VOSTEL_LIKELY(pos >= 0 && PyDict_Next(dict, &pos, &key, &value) && key == name.ptr())) return value;
  return dict_item_at_new_place(dict, name);
}

// The class attribute `name` of `type`: the first entry of that name in the
// namespaces of its method resolution order, as the interpreter finds it;
// nullptr when there is none. Borrowed (the class holds it).
PyObject* class_attribute(PyTypeObject* type, PyObject* name);

// Whether `type` is the class the site noted, unchanged since (it and its
// bases). From 3.12 on the interpreter reports every change of a class this
// module watches (PyType_Watch) and a counter of those reports is the stamp;
// before, the stamp is the version tag the interpreter gives a class and
// renews at every change of it or its bases (tp_version_tag, valid while
// Py_TPFLAGS_VALID_VERSION_TAG is set), as its own attribute cache uses it.
// Before 3.12 no public call tells of a change of a class; looking through
// the class's namespaces at every read instead costs about as much as the
// method itself (getWavelengthMinMax took 1.8 times as long on 3.11).
#if PY_VERSION_HEX >= 0x030C0000
extern unsigned long long g_class_changes;
// The tests are combined without short cuts: one branch for the caller.
VOSTEL_ALWAYS_INLINE bool class_unchanged(PyTypeObject* type, const KeySite& site) {
  return (site.type == type) & (site.version == g_class_changes);
}
#else
VOSTEL_ALWAYS_INLINE bool class_unchanged(PyTypeObject* type, const KeySite& site) {
  return (site.type == type) & (site.version == type->tp_version_tag) &
         (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) != 0);
}
#endif
// Notes `type` with its present stamp in the site, where the class can have one.
void note_class(PyTypeObject* type, KeySite& site);

// obj.<name> through getattr, out of line; with a Key, the site also notes
// whether the class sends this name to the instance's __dict__ (see KeySite).
py::object getattr_of(py::handle obj, py::handle name);
py::object getattr_of(py::handle obj, const Key& name);

// The attributes of one object read one after another in a method run:
// obj.<name>, looked up now, as getattr looks it up. Where the site learnt
// that getattr on this class, as it is now (same change stamp), ends in the
// instance's __dict__ (plain attribute access, or only a __getattr__ hook,
// and no class attribute of that name), the entry is read from the __dict__
// directly; every other case, a missing entry included, is getattr itself.
// The dict is the one PyObject_GenericGetDict gives, fetched at the first
// read served from it and kept for the next reads, so no Python code may run
// between two reads of one InstanceReads but the truth tests it makes itself.
// A getattr, or the truth test of anything but a bool, can run Python code
// (a property, a __bool__) that replaces the __dict__: the read after it
// fetches the dict again. No private function of the interpreter is called.
class InstanceReads {
 public:
  explicit InstanceReads(py::handle obj) : obj_(obj) {}
  ~InstanceReads() { Py_XDECREF(dict_); }
  InstanceReads(const InstanceReads&) = delete;
  InstanceReads& operator=(const InstanceReads&) = delete;

  VOSTEL_ALWAYS_INLINE py::object operator()(const Key& name) {
    PyObject* value = from_dict(name);
    if (VOSTEL_LIKELY(value != nullptr)) return py::reinterpret_borrow<py::object>(value);
    return looked_up(name);
  }

  // Python's truth value of obj.<name>.
  VOSTEL_ALWAYS_INLINE bool truth(const Key& name) {
    PyObject* found = from_dict(name);
    if (VOSTEL_LIKELY(found == Py_True)) return true;
    if (found == Py_False) return false;
    return truth_of(found, name);
  }

 private:
  // What getattr gives, out of line (it may run Python code).
  VOSTEL_NOINLINE py::object looked_up(const Key& name) {
    forget();
    return getattr_of(obj_, name);
  }
  VOSTEL_NOINLINE bool truth_of(PyObject* found, const Key& name) {
    py::object value = found ? py::reinterpret_borrow<py::object>(found) : getattr_of(obj_, name);
    forget();
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
  }

  // The entry where the site learnt that getattr ends in the instance's
  // __dict__ and the dict has it (borrowed); nullptr where getattr must look.
  VOSTEL_ALWAYS_INLINE PyObject* from_dict(const Key& name) {
    if (!VOSTEL_LIKELY(class_unchanged(Py_TYPE(obj_.ptr()), *name.site))) return nullptr;
    if (!dict_ && !(dict_ = PyObject_GenericGetDict(obj_.ptr(), nullptr))) throw py::error_already_set();
    return dict_item(dict_, name);
  }
  void forget() { Py_CLEAR(dict_); }
  py::handle obj_;
  PyObject* dict_ = nullptr;  // strong, once fetched
};

// obj.<name> on its own, read as InstanceReads reads it, the dict let go at once.
VOSTEL_ALWAYS_INLINE py::object instance_attr(py::handle obj, const Key& name) {
  PyTypeObject* type = Py_TYPE(obj.ptr());
  if (VOSTEL_LIKELY(class_unchanged(type, *name.site))) {
    PyObject* dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!dict) throw py::error_already_set();
    PyObject* value = nullptr;
    try {
      value = dict_item(dict, name);
    } catch (...) {
      Py_DECREF(dict);
      throw;
    }
    if (VOSTEL_LIKELY(value != nullptr)) {
      py::object held = py::reinterpret_borrow<py::object>(value);
      Py_DECREF(dict);
      return held;
    }
    Py_DECREF(dict);
  }
  return getattr_of(obj, name);
}
inline py::object instance_attr(py::handle obj, py::handle name) { return getattr_of(obj, name); }

// stack[0].<name>(stack[1], ..., stack[n-1]): the general call behind
// call_method, in pyutil.cpp.
PyObject* call_on(PyObject** stack, std::size_t n, py::handle name);
PyObject* call_on(PyObject** stack, std::size_t n, const Key& name);

// callable(args...) through vectorcall.
template <typename F, typename... T>
py::object vcall(F&& callable, T&&... args) {
  py::object fn = to_object(std::forward<F>(callable));
  py::object held[] = {py::object(), to_object(std::forward<T>(args))...};
  PyObject* stack[sizeof...(T) + 1];
  for (std::size_t i = 0; i <= sizeof...(T); ++i) stack[i] = held[i].ptr();
  PyObject* r = PyObject_Vectorcall(fn.ptr(), stack + 1, sizeof...(T) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// receiver.<name>(args...): the attribute is looked up at every call, as
// getattr does (instance __dict__, subclass overrides, __getattr__), then
// called without a bound-method object where Python would not make one.
template <typename R, typename Name, typename... T>
py::object call_method(R&& receiver, const Name& name, T&&... args) {
  py::object held[] = {to_object(std::forward<R>(receiver)), to_object(std::forward<T>(args))...};
  PyObject* stack[sizeof...(T) + 1];
  for (std::size_t i = 0; i <= sizeof...(T); ++i) stack[i] = held[i].ptr();
  PyObject* r = call_on(stack, sizeof...(T) + 1, name);
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// The module object, set once at import.
void set_module(py::module_ m);
py::module_ module();

// Looks a name up in the module's namespace when called, then in builtins,
// as Python code running in the module would. Give it KEY("name").
py::object modattr(py::handle name);
py::object modattr(const Key& name);
py::object modattr(const char* name);

// module.<name> for a module object: the entry of its namespace where
// getattr would find it there, else getattr itself.
py::object module_attr(py::handle module, const Key& name);

// print(...) as resolved from the module.
template <typename... T>
void say(T&&... values) {
  vcall(modattr(KEY("print")), std::forward<T>(values)...);
}

// Raise a built-in exception with a fixed text.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Raise a built-in exception while `caught` is being handled: the caught one
// stays attached as __context__, as a raise inside an except block does.
[[noreturn]] void raise_in_context(py::error_already_set& caught, PyObject* type, const std::string& message);

// "Motor not connected" unless self.__connection is true.
void require_connection(py::handle self);
// The same as the first of several reads.
inline void require_connection(InstanceReads& self) {
  if (!self.truth(KEY("_motor__connection"))) raise(PyExc_ConnectionError, "Motor not connected");
}

// The module-level name `ct` (the ctypes module), looked up when made: a
// method that uses ct several times in one run looks it up once, at its start.
struct Ctypes {
  Ctypes() : module(modattr(KEY("ct"))) {}
  py::object module;
};

// ctypes helpers, resolved through `ct`: given, or looked up at each call.
py::object cell(const Key& ctype_name);                    // ct.<name>()
py::object cell(const Key& ctype_name, py::object value);  // ct.<name>(value)
py::object cell(const Ctypes& ct, const Key& ctype_name);
py::object cell(const char* ctype_name);  // the same, name built per call
py::object cell(const char* ctype_name, py::object value);
py::object long32();  // a fresh 32-bit signed cell (c_long where it is 32 bits wide)
py::object long32(const Ctypes& ct);
py::object bool32();  // a fresh cell of the command library's 32-bit BOOL
py::object byref(py::handle obj);
py::object byref(const Ctypes& ct, py::handle obj);

// self.__dllCall(name, self.__keyhandle, self.__NodeId, args..., byref(self.__pErrorCode))
// Give it the command's name as KEY("VCS_...").
template <typename... T>
py::object command(py::handle self, const Ctypes& ct, py::handle name, T&&... args) {
  return call_method(self, KEY("_motor__dllCall"), name, instance_attr(self, KEY("_motor__keyhandle")),
                     instance_attr(self, KEY("_motor__NodeId")), std::forward<T>(args)...,
                     byref(ct, instance_attr(self, KEY("_motor__pErrorCode"))));
}

template <typename... T>
py::object command(py::handle self, py::handle name, T&&... args) {
  return command(self, Ctypes(), name, std::forward<T>(args)...);
}

// The same with a name that is not a literal (a str is built per call).
template <typename... T>
py::object command(py::handle self, const char* name, T&&... args) {
  return command(self, py::handle(py::str(name)), std::forward<T>(args)...);
}

// Controller commands that failed on this thread so far, counted by the call
// wrapper: a caller compares two readings to learn whether a step it took
// (a method that sends several commands, say) had a failed command.
unsigned long long& failed_commands();

// Python's truth value and int()/float() conversions.
bool truthy(py::handle obj);
py::object to_int(py::handle obj);     // int(obj)
py::object int_from_double(double d);  // int(d): OverflowError / ValueError for inf / nan
double to_double(py::handle obj);      // float(obj)

// "{:.2f}".format(x)
std::string format2(py::handle x);

// Opens the file at `path` for appending, lets `write` write to it, closes it.
void append_to(py::handle path, const std::function<void(py::handle file)>& write);

}  // namespace vostel
