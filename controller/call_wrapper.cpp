// Every controller command goes through here: a failed command (result 0) is
// reported on standard output and, while support data are collected, in the
// support file; it is never turned into an exception.
#include "module/methods.h"

namespace vostel {

py::object dllCall(py::handle self, Args& a) {
  py::object funcName = a[0];
  py::tuple args = py::reinterpret_borrow<py::tuple>(a[1]);
  py::object func = py::getattr(self.attr("eposdll"), funcName);
  py::object result = func(*args);
  if (!result.equal(py::int_(0))) return result;
  ++failed_commands();

  py::object last = args[py::len(args) - 1];
  py::object errorCode = last.attr("_obj").attr("value");
  const int buffer_size = 255;
  py::object ct = modattr("ct");
  py::object pErrorInfo = ct.attr("create_string_buffer")(buffer_size);
  self.attr("eposdll").attr("VCS_GetErrorInfo")(errorCode, pErrorInfo, ct.attr("c_ushort")(buffer_size));
  py::object error_msg = pErrorInfo.attr("value").attr("decode")("utf-8");
  say(py::str(funcName) + py::str(" failed with Code ") + py::str(errorCode) + py::str(": ") + py::str(error_msg));

  if (truthy(self.attr("_motor__generateSupportData"))) {
    py::object simple = ct.attr("_SimpleCData");
    py::list parts;
    for (size_t i = 0; i + 1 < py::len(args); ++i) {
      py::object arg = args[i];
      parts.append(py::isinstance(arg, simple) ? py::str(arg.attr("value")) : py::str(arg));
    }
    py::object args_repr = py::str(", ").attr("join")(parts);
    py::object line = py::str("Failed: ") + py::str(funcName) + py::str(": ") + args_repr + py::str(": ") +
                      py::str(errorCode) + py::str(" ") + error_msg + py::str("\n");
    try {
      append_text(self.attr("_motor__supportFilePath"), line);
    } catch (py::error_already_set& e) {
      raise_in_context(e, PyExc_FileExistsError, "Support file not found.");
    }
  }
  return result;
}

}  // namespace vostel
