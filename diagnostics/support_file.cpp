#include "diagnostics/support_file.h"

namespace vostel {

void append_support_record(py::handle self, const std::function<void(py::handle file)>& write) {
  try {
    append_to(self.attr(KEY("_motor__supportFilePath")), write);
  } catch (py::error_already_set& e) {
    raise_in_context(e, PyExc_FileExistsError, "Support file not found.");
  }
}

void append_support_text(py::handle self, const py::object& text) {
  append_support_record(self, [&](py::handle f) { call_method(f, KEY("write"), text); });
}

}  // namespace vostel
