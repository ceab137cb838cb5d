// The motor class is an ordinary Python class (base object, instances with a
// __dict__) whose functions are implemented in C++. Each function is described
// by a MethodInfo; its arguments are bound the way Python binds them.
#pragma once

#include "module/pyutil.h"

namespace vostel {

using Impl = py::object (*)(py::handle self, Args& args);

enum class Default { None_, Int0, StrUSB0, NoDefault };

struct Param {
  const char* name;
  Default dflt = Default::NoDefault;
};

struct MethodInfo {
  const char* key;        // name in the class namespace (private names mangled)
  const char* name;       // __name__ as written in the class
  const char* signature;  // text signature, "(self, usb='USB0')"
  const char* doc;        // nullptr: the function has no docstring
  std::vector<Param> params;  // without self
  const char* star_args;      // name of *args, or nullptr
  Impl impl;
};

// Builds the class `name` from the infos, in order, and returns it.
py::object build_class(const char* name, const std::vector<MethodInfo>& infos);

}  // namespace vostel
