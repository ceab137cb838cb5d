#include "module/method_kit.h"

#include <array>
#include <memory>
#include <stdexcept>
#include <utility>
#include <string>

namespace vostel {

namespace {

struct Entry {
  MethodInfo info;
  std::string docstring;  // text signature block + doc, kept alive for PyMethodDef
  PyMethodDef def{};
};

std::vector<std::unique_ptr<Entry>>& entries() {
  static std::vector<std::unique_ptr<Entry>> all;
  return all;
}

py::object default_value(Default d) {
  switch (d) {
    case Default::Int0: return py::int_(0);
    case Default::StrUSB0: return py::str("USB0");
    default: return py::none();
  }
}

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
Args bind(const MethodInfo& info, PyObject* args, PyObject* kwargs, py::object& self) {
  const std::string fname = std::string(info.name) + "()";
  Py_ssize_t npos = PyTuple_GET_SIZE(args);
  const size_t nparams = info.params.size() + 1;  // with self
  std::vector<py::object> bound(nparams);
  py::tuple rest;
  if (!info.star_args && static_cast<size_t>(npos) > nparams) {
    size_t required = 1;
    for (const Param& p : info.params)
      if (p.dflt == Default::NoDefault) ++required;
    std::string takes = required == nparams
                            ? std::to_string(nparams)
                            : "from " + std::to_string(required) + " to " + std::to_string(nparams);
    raise(PyExc_TypeError, fname + " takes " + takes + " positional argument" +
                               (nparams == 1 && required == nparams ? "" : "s") + " but " +
                               std::to_string(npos) + (npos == 1 ? " was" : " were") + " given");
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
  Args out(bound.begin() + 1, bound.end());
  if (info.star_args) out.push_back(rest);
  return out;
}

template <size_t I>
PyObject* trampoline(PyObject*, PyObject* args, PyObject* kwargs) {
  const MethodInfo& info = entries().at(I)->info;
  try {
    py::object self;
    Args bound = bind(info, args, kwargs, self);
    py::object result = info.impl(self, bound);
    return result.release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

constexpr size_t kMaxMethods = 64;

template <size_t... I>
constexpr std::array<PyCFunctionWithKeywords, sizeof...(I)> make_trampolines(std::index_sequence<I...>) {
  return {&trampoline<I>...};
}

}  // namespace

py::object build_class(const char* name, const std::vector<MethodInfo>& infos) {
  static const auto trampolines = make_trampolines(std::make_index_sequence<kMaxMethods>{});
  if (infos.size() > kMaxMethods) throw std::runtime_error("too many methods");
  py::dict ns;
  ns["__module__"] = module().attr("__name__");
  ns["__qualname__"] = name;
  for (size_t i = 0; i < infos.size(); ++i) {
    auto entry = std::make_unique<Entry>();
    entry->info = infos[i];
    entry->docstring = std::string(infos[i].name) + infos[i].signature + "\n--\n\n" + (infos[i].doc ? infos[i].doc : "");
    entry->def.ml_name = entry->info.name;
    entry->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampolines[entries().size()]));
    entry->def.ml_flags = METH_VARARGS | METH_KEYWORDS;
    entry->def.ml_doc = entry->docstring.c_str();
    PyMethodDef* def = &entry->def;
    entries().push_back(std::move(entry));
    py::object fn = py::reinterpret_steal<py::object>(PyCFunction_NewEx(def, nullptr, module().attr("__name__").ptr()));
    if (!fn) throw py::error_already_set();
    py::object method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(fn.ptr()));
    if (!method) throw py::error_already_set();
    ns[infos[i].key] = method;
  }
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  return type(name, py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type))), ns);
}

}  // namespace vostel
