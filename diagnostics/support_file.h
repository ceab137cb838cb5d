// The support-data file: every record is appended to the file named by
// __supportFilePath; a file that cannot be opened or written is reported as
// FileExistsError("Support file not found."), the original error attached.
#pragma once

#include "module/pyutil.h"

namespace vostel {

// Appends `text`.
void append_support_text(py::handle self, const py::object& text);

// Opens the file once, lets `write` write the record, closes it.
void append_support_record(py::handle self, const std::function<void(py::handle file)>& write);

}  // namespace vostel
