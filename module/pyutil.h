// Small helpers shared by every method of the motor class: module-level name
// lookup at call time, printing through Python's print, exceptions with
// chained context, ctypes cells and controller commands.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace vostel {

using Args = std::vector<py::object>;

// The module object, set once at import.
void set_module(py::module_ m);
py::module_ module();

// Looks a name up in the module's namespace when called, then in builtins,
// as Python code running in the module would.
py::object modattr(const char* name);

// print(...) as resolved from the module.
template <typename... T>
void say(T&&... values) {
  modattr("print")(std::forward<T>(values)...);
}

// Raise a built-in exception with a fixed text.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Raise a built-in exception while `caught` is being handled: the caught one
// stays attached as __context__, as a raise inside an except block does.
[[noreturn]] void raise_in_context(py::error_already_set& caught, PyObject* type,
                                   const std::string& message);

// True when the caught Python error is an instance of `type`.
bool matches(py::error_already_set& caught, PyObject* type);

// "Motor not connected" unless self.__connection is true.
void require_connection(py::handle self);

// ctypes helpers, resolved through the module-level name `ct`.
py::object cell(const char* ctype_name);                         // ct.<name>()
py::object cell(const char* ctype_name, py::object value);       // ct.<name>(value)
py::object long32();   // a fresh 32-bit signed cell (c_long where it is 32 bits wide)
py::object bool32();   // a fresh cell of the command library's 32-bit BOOL
py::object byref(py::handle obj);

// self.__dllCall(name, self.__keyhandle, self.__NodeId, args..., byref(self.__pErrorCode))
template <typename... T>
py::object command(py::handle self, const char* name, T&&... args) {
  return self.attr("_motor__dllCall")(name, self.attr("_motor__keyhandle"),
                                      self.attr("_motor__NodeId"), std::forward<T>(args)...,
                                      byref(self.attr("_motor__pErrorCode")));
}

// Controller commands that failed on this thread so far, counted by the call
// wrapper: a caller compares two readings to learn whether a step it took
// (a method that sends several commands, say) had a failed command.
unsigned long long& failed_commands();

// Python's truth value and int()/float() conversions.
bool truthy(py::handle obj);
py::object to_int(py::handle obj);       // int(obj)
py::object int_from_double(double d);   // int(d): OverflowError / ValueError for inf / nan
double to_double(py::handle obj);        // float(obj)

// "{:.2f}".format(x)
std::string format2(py::handle x);

// Appends `text` to the file at `path` (open(path, "a"), write, close).
void append_text(py::handle path, const py::object& text);

// Opens the file at `path` for appending, lets `write` write to it, closes it.
void append_to(py::handle path, const std::function<void(py::handle file)>& write);

}  // namespace vostel
