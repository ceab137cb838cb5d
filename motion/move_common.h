// Pieces shared by the move methods, their supervision and the limit-switch
// recovery.
#pragma once

#include "module/pyutil.h"

namespace vostel {

// The wavelength of the model position stored in the controller's
// home-position object, freshly read.
py::object stored_wavelength(py::handle self);

// Prints "arrived at <wavelength>nm" for the stored position.
void print_arrival(py::handle self);

// Writes controller position + offset into the home-position object.
void store_position(py::handle self, py::handle PositionIs);

// Digital output 3, configuration 15, with the given state, mask and polarity.
void configure_output3(py::handle self, py::object state, py::object mask, py::object polarity);

// Middle of the calibrated range and its model position (may raise the
// conversion's ValueError).
double range_middle(py::handle self);
py::object middle_position(py::handle self);

}  // namespace vostel
