#include "module/method_kit.h"

#include <structmember.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace vostel {

namespace {

struct Entry {
  MethodInfo info;
  std::string docstring;  // text signature block + doc, kept alive for PyMethodDef
  std::string qualname;   // "<class>.<name>", as Python names a function defined in a class
  PyMethodDef def{};
  size_t nparams = 0;                                 // with self
  size_t required = 0;                                // positional parameters without a default, with self
  std::array<PyObject*, Args::kCapacity> defaults{};  // per parameter without self, borrowed
};

std::vector<std::unique_ptr<Entry>>& entries() {
  static std::vector<std::unique_ptr<Entry>> all;
  return all;
}

// The default objects, made once: a default is evaluated once for a Python
// function too, when it is defined.
PyObject* default_object(Default d) {
  static PyObject* const zero = PyLong_FromLong(0);
  static PyObject* const usb0 = PyUnicode_InternFromString("USB0");
  switch (d) {
    case Default::Int0:
      return zero;
    case Default::StrUSB0:
      return usb0;
    case Default::None_:
      return Py_None;
    default:
      return nullptr;
  }
}

py::object default_value(Default d) { return py::reinterpret_borrow<py::object>(default_object(d)); }

std::string quoted_list(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

// Binds (self, *positional, **keywords) to the parameters the way a Python
// function with this signature would, with the same TypeError texts.
// From 3.10 on, Python names the function by its qualified name.
void bind(const Entry& entry, PyObject* args, PyObject* kwargs, py::object& self, Args& out) {
  const MethodInfo& info = entry.info;
#if PY_VERSION_HEX >= 0x030A0000
  const std::string fname = entry.qualname + "()";
#else
  const std::string fname = std::string(info.name) + "()";
#endif
  Py_ssize_t npos = PyTuple_GET_SIZE(args);
  const size_t nparams = info.params.size() + 1;  // with self
  std::array<py::object, Args::kCapacity> bound;
  py::tuple rest;
  if (!info.star_args && static_cast<size_t>(npos) > nparams) {
    size_t required = 1;
    for (const Param& p : info.params)
      if (p.dflt == Default::NoDefault) ++required;
    std::string takes = required == nparams ? std::to_string(nparams)
                                            : "from " + std::to_string(required) + " to " + std::to_string(nparams);
    raise(PyExc_TypeError, fname + " takes " + takes + " positional argument" +
                               (nparams == 1 && required == nparams ? "" : "s") + " but " + std::to_string(npos) +
                               (npos == 1 ? " was" : " were") + " given");
  }
  size_t take = std::min(static_cast<size_t>(npos), nparams);
  for (size_t i = 0; i < take; ++i) bound[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
  if (info.star_args) {
    rest = py::tuple(npos > static_cast<Py_ssize_t>(take) ? npos - take : 0);
    for (Py_ssize_t i = take; i < npos; ++i)
      rest[i - take] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
  }
  if (kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::string k = py::reinterpret_borrow<py::str>(key).cast<std::string>();
      size_t idx = nparams;
      if (k == "self") idx = 0;
      for (size_t i = 0; i < info.params.size(); ++i)
        if (k == info.params[i].name) idx = i + 1;
      if (idx == nparams) raise(PyExc_TypeError, fname + " got an unexpected keyword argument '" + k + "'");
      if (bound[idx]) raise(PyExc_TypeError, fname + " got multiple values for argument '" + k + "'");
      bound[idx] = py::reinterpret_borrow<py::object>(value);
    }
  }
  std::vector<std::string> missing;
  if (!bound[0]) missing.push_back("self");
  for (size_t i = 0; i < info.params.size(); ++i) {
    if (bound[i + 1]) continue;
    if (info.params[i].dflt == Default::NoDefault)
      missing.push_back(info.params[i].name);
    else
      bound[i + 1] = default_value(info.params[i].dflt);
  }
  if (!missing.empty())
    raise(PyExc_TypeError, fname + " missing " + std::to_string(missing.size()) + " required positional argument" +
                               (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
  self = bound[0];
  for (size_t i = 1; i < nparams; ++i) out.push_back(bound[i]);
  if (info.star_args) out.push_back(rest);
}

// Every parameter given by position, in order, and no *args: the common
// call, bound straight from the call's stack in the trampoline itself.
VOSTEL_ALWAYS_INLINE bool exact_call(const Entry& entry, size_t nargs, PyObject* kwnames) {
  // One branch for the three tests.
  return (kwnames == nullptr) & (nargs == entry.nparams) & (entry.info.star_args == nullptr);
}

// Positional arguments only, as many as the signature takes, the missing ones
// from their defaults, the rest into *args. Anything else goes through `bind`,
// which gives Python's TypeError texts.
bool bind_fast(const Entry& entry, PyObject* const* args, size_t nargs, PyObject* kwnames, Args& out) {
  if ((kwnames && PyTuple_GET_SIZE(kwnames)) || nargs < entry.required) return false;
  if (!entry.info.star_args && nargs > entry.nparams) return false;
  size_t take = std::min(nargs, entry.nparams);
  for (size_t i = 1; i < take; ++i) out.push_back(py::reinterpret_borrow<py::object>(args[i]));
  for (size_t i = take; i < entry.nparams; ++i)
    out.push_back(py::reinterpret_borrow<py::object>(entry.defaults[i - 1]));
  if (entry.info.star_args) {
    PyObject* rest = PyTuple_New(static_cast<Py_ssize_t>(nargs - take));
    if (!rest) throw py::error_already_set();
    for (size_t i = take; i < nargs; ++i) {
      Py_INCREF(args[i]);
      PyTuple_SET_ITEM(rest, static_cast<Py_ssize_t>(i - take), args[i]);
    }
    out.push_back(py::reinterpret_steal<py::object>(rest));
  }
  return true;
}

void bind_slow(const Entry& entry, PyObject* const* args, size_t nargs, PyObject* kwnames, py::object& self,
               Args& out) {
  py::tuple positional(nargs);
  for (size_t i = 0; i < nargs; ++i) positional[i] = py::reinterpret_borrow<py::object>(args[i]);
  py::dict keywords;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i)
    keywords[PyTuple_GET_ITEM(kwnames, i)] = py::reinterpret_borrow<py::object>(args[nargs + i]);
  bind(entry, positional.ptr(), nkw ? keywords.ptr() : nullptr, self, out);
}

constexpr size_t kMaxMethods = 64;
const Entry* g_table[kMaxMethods];  // the entry of each trampoline, set by build_class

// The result of `body`, or nullptr with the Python error that a C++
// exception leaving it stands for.
template <typename F>
VOSTEL_ALWAYS_INLINE PyObject* reported(F&& body) {
  try {
    return body();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

// Every call but the common one: defaults, *args, keywords, wrong counts.
// Out of line, so that the common call runs straight through the trampoline.
VOSTEL_NOINLINE PyObject* call_otherwise(const Entry& entry, PyObject* const* args, size_t nargs,
                                         PyObject* kwnames) {
  return reported([&] {
    Args bound;
    if (bind_fast(entry, args, nargs, kwnames, bound)) return entry.info.impl(args[0], bound).release().ptr();
    py::object self;
    Args slow;
    bind_slow(entry, args, nargs, kwnames, self, slow);
    return entry.info.impl(self, slow).release().ptr();
  });
}

// The entry of function I, called with self first: as the builtin function's
// METH_FASTCALL | METH_KEYWORDS body (nargs without flags) and as the vectorcall
// of its slot in the class (nargs possibly with PY_VECTORCALL_ARGUMENTS_OFFSET).
template <size_t I>
PyObject* trampoline(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const Entry& entry = *g_table[I];
  size_t nargs = static_cast<size_t>(PyVectorcall_NARGS(nargsf));
  if (VOSTEL_LIKELY(exact_call(entry, nargs, kwnames))) {
    return reported([&] {
      Args bound;
      for (size_t i = 1; i < nargs; ++i) bound.push_borrowed(args[i]);
      return entry.info.impl(args[0], bound).release().ptr();
    });
  }
  return call_otherwise(entry, args, nargs, kwnames);
}

template <size_t... I>
constexpr std::array<vectorcallfunc, sizeof...(I)> make_trampolines(std::index_sequence<I...>) {
  return {&trampoline<I>...};
}

// What the class namespace holds for each function: like the standard
// instancemethod wrapper (the class attribute is the builtin function itself,
// an instance attribute a bound method, other attributes those of the
// function), but a method descriptor with vectorcall, so that `obj.name(...)`
// calls it with obj in front and no bound-method object in between.
struct MethodSlot {
  PyObject ob_base;           // PyObject_HEAD
  PyObject* func;             // the builtin function, strong
  vectorcallfunc vectorcall;  // the function's trampoline
};

PyObject* slot_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  PyObject* func = reinterpret_cast<MethodSlot*>(self)->func;
  if (!obj) {
    Py_INCREF(func);
    return func;
  }
  return PyMethod_New(func, obj);
}

PyObject* slot_getattro(PyObject* self, PyObject* name) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject* descr;
  try {
    descr = class_attribute(type, name);
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
  if (descr) {
    if (descrgetfunc get = Py_TYPE(descr)->tp_descr_get) return get(descr, self, reinterpret_cast<PyObject*>(type));
    Py_INCREF(descr);
    return descr;
  }
  return PyObject_GetAttr(reinterpret_cast<MethodSlot*>(self)->func, name);
}

PyObject* slot_doc(PyObject* self, void*) {
  return PyObject_GetAttrString(reinterpret_cast<MethodSlot*>(self)->func, "__doc__");
}

PyObject* slot_repr(PyObject* self) {
  PyObject* func = reinterpret_cast<MethodSlot*>(self)->func;
  PyObject* name = PyObject_GetAttrString(func, "__name__");
  if (!name) return nullptr;
  PyObject* out = PyUnicode_FromFormat("<instancemethod %U at %p>", name, self);
  Py_DECREF(name);
  return out;
}

int slot_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<MethodSlot*>(self)->func);
  return 0;
}

int slot_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<MethodSlot*>(self)->func);
  return 0;
}

void slot_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  slot_clear(self);
  PyObject_GC_Del(self);
}

PyMemberDef slot_members[] = {
    {const_cast<char*>("__func__"), T_OBJECT, offsetof(MethodSlot, func), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef slot_getset[] = {
    {const_cast<char*>("__doc__"), slot_doc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject slot_type_object{PyVarObject_HEAD_INIT(nullptr, 0)};

PyTypeObject* slot_type() {
  static const bool ready = [] {
    PyTypeObject& t = slot_type_object;
    t.tp_name = "vostelmotor.instancemethod";
    t.tp_basicsize = sizeof(MethodSlot);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_vectorcall_offset = offsetof(MethodSlot, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = slot_descr_get;
    t.tp_getattro = slot_getattro;
    t.tp_repr = slot_repr;
    t.tp_traverse = slot_traverse;
    t.tp_clear = slot_clear;
    t.tp_dealloc = slot_dealloc;
    t.tp_members = slot_members;
    t.tp_getset = slot_getset;
    return PyType_Ready(&t) == 0;
  }();
  if (!ready) throw py::error_already_set();
  return &slot_type_object;
}

}  // namespace

std::string mangled(const char* class_name, const char* name) {
  std::string n(name);
  bool is_private = n.size() > 2 && n.compare(0, 2, "__") == 0 && n.compare(n.size() - 2, 2, "__") != 0;
  if (!is_private) return n;
  std::string owner(class_name);
  owner.erase(0, owner.find_first_not_of('_'));
  return "_" + owner + n;
}

std::string text_signature(const MethodInfo& info) {
  std::string out = "(self";
  for (const Param& p : info.params) {
    out += std::string(", ") + p.name;
    switch (p.dflt) {
      case Default::Int0:
        out += "=0";
        break;
      case Default::StrUSB0:
        out += "='USB0'";
        break;
      case Default::None_:
        out += "=None";
        break;
      case Default::NoDefault:
        break;
    }
  }
  if (info.star_args) out += std::string(", *") + info.star_args;
  return out + ")";
}

py::object build_class(const char* name, const std::vector<MethodInfo>& infos) {
  static const auto trampolines = make_trampolines(std::make_index_sequence<kMaxMethods>{});
  if (entries().size() + infos.size() > kMaxMethods) throw std::runtime_error("too many methods");
  py::dict ns;
  ns["__module__"] = module().attr(KEY("__name__"));
  ns["__qualname__"] = name;
  // A builtin function bound to a type reports "<type>.<name>" as its
  // __qualname__; this stand-in type carries the class's name for that.
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::object object_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  py::object owner = type(name, py::make_tuple(object_type), py::dict());
  for (size_t i = 0; i < infos.size(); ++i) {
    auto entry = std::make_unique<Entry>();
    entry->info = infos[i];
    entry->docstring =
        std::string(infos[i].name) + text_signature(infos[i]) + "\n--\n\n" + (infos[i].doc ? infos[i].doc : "");
    entry->qualname = std::string(name) + "." + infos[i].name;
    if (infos[i].params.size() + 2 > Args::kCapacity) throw std::runtime_error("too many parameters");
    entry->nparams = infos[i].params.size() + 1;
    entry->required = 1;
    for (size_t p = 0; p < infos[i].params.size(); ++p) {
      entry->defaults[p] = default_object(infos[i].params[p].dflt);
      if (infos[i].params[p].dflt == Default::NoDefault) ++entry->required;
    }
    entry->def.ml_name = entry->info.name;
    entry->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampolines[entries().size()]));
    entry->def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    entry->def.ml_doc = entry->docstring.c_str();
    PyMethodDef* def = &entry->def;
    g_table[entries().size()] = entry.get();
    entries().push_back(std::move(entry));
    py::object fn =
        py::reinterpret_steal<py::object>(PyCFunction_NewEx(def, owner.ptr(), module().attr(KEY("__name__")).ptr()));
    if (!fn) throw py::error_already_set();
    MethodSlot* slot = PyObject_GC_New(MethodSlot, slot_type());
    if (!slot) throw py::error_already_set();
    slot->func = fn.release().ptr();
    slot->vectorcall = trampolines[entries().size() - 1];
    PyObject_GC_Track(slot);
    py::object method = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(slot));
    ns[py::str(mangled(name, infos[i].name))] = method;
  }
  return type(name, py::make_tuple(object_type), ns);
}

}  // namespace vostel
