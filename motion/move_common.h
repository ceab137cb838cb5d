// Pieces shared by the move methods, their supervision and the limit-switch
// recovery.
#pragma once

#include "module/pyutil.h"
#include "wavelength/calibration_store.h"

namespace vostel {

// The wavelength of the model position stored in the controller's
// home-position object, freshly read.
py::object stored_wavelength(py::handle self);

// Prints "arrived at <wavelength>nm" for the stored position.
void print_arrival(py::handle self);

// Writes controller position + offset into the home-position object.
void store_position(py::handle self, py::handle PositionIs);

// The trigger output (digital output 3, general purpose), with the given state, mask and polarity.
void configure_output3(py::handle self, py::object state, py::object mask, py::object polarity);

}  // namespace vostel
