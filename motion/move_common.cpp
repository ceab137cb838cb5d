#include "motion/move_common.h"

#include "controller/commands.h"

namespace vostel {

py::object stored_wavelength(py::handle self) {
  py::object stored = call_method(self, KEY("_motor__HomePosition"));
  return call_method(self, KEY("_motor__motorpositionToWavelength"), stored.attr(KEY("value")));
}

void print_arrival(py::handle self) { say(py::str("arrived at " + format2(stored_wavelength(self)) + "nm")); }

void store_position(py::handle self, py::handle PositionIs) {
  py::object model = PositionIs.attr(KEY("value")) + self.attr(KEY("_motor__offset"));
  call_method(self, KEY("_motor__SetIndexValue"), kHomeIndex, 0, cell(KEY("c_int"), model));
}

void configure_output3(py::handle self, py::object state, py::object mask, py::object polarity) {
  command(self, KEY("VCS_DigitalOutputConfiguration"), cmd::kTriggerOutput, cmd::kGeneralPurpose, std::move(state),
          std::move(mask), std::move(polarity));
}

}  // namespace vostel
