// The motor class is an ordinary Python class (base object, instances with a
// __dict__) whose functions are implemented in C++. Each function is described
// by a MethodInfo; its arguments are bound the way Python binds them.
#pragma once

#include "module/pyutil.h"

#include <string>
#include <vector>

namespace vostel {

using Impl = py::object (*)(py::handle self, Args& args);

enum class Default { None_, Int0, StrUSB0, NoDefault };

struct Param {
  const char* name;
  Default dflt = Default::NoDefault;
};

// One function of the class. Its key in the class namespace (a private
// name mangled with the class's name) and its text signature are derived.
struct MethodInfo {
  const char* name;           // __name__ as written in the class
  const char* doc;            // nullptr: the function has no docstring
  std::vector<Param> params;  // without self
  const char* star_args;      // name of *args, or nullptr
  Impl impl;
};

// "_motor__x" for "__x" in class "motor"; other names unchanged.
std::string mangled(const char* class_name, const char* name);

// "(self, usb='USB0')": the parameters with their defaults.
std::string text_signature(const MethodInfo& info);

// Builds the class `name` from the infos, in order, and returns it.
py::object build_class(const char* name, const std::vector<MethodInfo>& infos);

}  // namespace vostel
