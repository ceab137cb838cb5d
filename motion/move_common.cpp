#include "motion/move_common.h"

#include "module/pynumber.h"
#include "motion/velocity_math.h"

namespace vostel {

namespace {
constexpr int kHomePositionIndex = 0x2081;
}

py::object stored_wavelength(py::handle self) {
  py::object stored = self.attr("_motor__HomePosition")();
  return self.attr("_motor__motorpositionToWavelength")(stored.attr("value"));
}

void print_arrival(py::handle self) {
  say(py::str("arrived at " + format2(stored_wavelength(self)) + "nm"));
}

void store_position(py::handle self, py::handle PositionIs) {
  py::object model = PositionIs.attr("value") + self.attr("_motor__offset");
  self.attr("_motor__SetIndexValue")(kHomePositionIndex, 0, cell("c_int", model));
}

void configure_output3(py::handle self, py::object state, py::object mask, py::object polarity) {
  command(self, "VCS_DigitalOutputConfiguration", 3, 15, std::move(state), std::move(mask), std::move(polarity));
}

double range_middle(py::handle self) {
  return (to_double(self.attr("_motor__maxWavelength")) + to_double(self.attr("_motor__minWavelength"))) / 2;
}

py::object middle_position(py::handle self) {
  // (max + min) / 2 with the interpreter's rules for the numbers held.
  py::object maxWl = self.attr("_motor__maxWavelength"), minWl = self.attr("_motor__minWavelength");
  core::Number nMax = 0, nMin = 0, centre = core::Number::failed();
  if (as_number(maxWl, nMax) && as_number(minWl, nMin)) centre = core::centre_of(nMax, nMin);
  py::object xWL = centre.is_failed() ? core::range_centre<PyNum>(plain(maxWl), plain(minWl)).object()
                                      : to_python(centre);
  return self.attr("_motor__wavelengthToMotorposition")(xWL);
}

}  // namespace vostel
