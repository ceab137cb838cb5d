// The motion trigger on digital output 3 and the dispatchers that switch a
// trigger on and off by its kind (1 position compare, 2 motion trigger).
#include "module/methods.h"
#include "motion/move_common.h"

namespace vostel {

namespace {
bool is_kind(py::handle kind, int value) { return py::reinterpret_borrow<py::object>(kind).equal(py::int_(value)); }
}  // namespace

py::object reverseMotionTrigger(py::handle self, Args&) {
  require_connection(self);
  bool reversed = !truthy(instance_attr(self, KEY("_motor__revMotionTrigger")));
  self.attr(KEY("_motor__revMotionTrigger")) = py::bool_(reversed);
  if (reversed) {
    configure_output3(self, py::int_(1), py::int_(1), py::int_(0));
    say(py::str("trigger set to 5V while standing"));
  } else {
    configure_output3(self, py::int_(1), py::int_(1), py::int_(1));
    say(py::str("trigger set to 5V while moving"));
  }
  return py::none();
}

py::object activateTriggerOutput(py::handle self, Args& a) {
  if (is_kind(a[0], 2))
    configure_output3(self, py::int_(1), py::int_(1), to_int(instance_attr(self, KEY("_motor__revMotionTrigger"))));
  if (is_kind(a[0], 1)) call_method(self, KEY("_motor__activatePositionTrigger"));
  return py::none();
}

py::object deactivateTriggerOutput(py::handle self, Args& a) {
  if (is_kind(a[0], 2)) {
    int state = truthy(instance_attr(self, KEY("_motor__revMotionTrigger"))) ? 1 : 0;
    configure_output3(self, py::int_(state), py::int_(1), py::int_(0));
  }
  if (is_kind(a[0], 1)) call_method(self, KEY("_motor__deactivatePositionTrigger"));
  return py::none();
}

}  // namespace vostel
