// Checks of public arguments that would otherwise reach the controller as
// something other than what the caller asked for. Each raises ValueError with
// a text naming the argument, before anything is sent.
#pragma once

#include "module/pyutil.h"

namespace vostel {

// A wavelength that is infinite or not a number. A finite value too large for
// a double passes (the range guard limits it); one that is no number at all
// passes too, and the range guard's comparison raises the interpreter's own
// TypeError for it.
void require_finite_wavelength(py::handle wavelength);

// A trigger kind that does not equal 0, 1 or 2 (True and 1.0 equal 1).
void require_trigger_kind(py::handle trigger);

}  // namespace vostel
