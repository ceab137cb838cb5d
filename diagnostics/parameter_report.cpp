// The calibration and the profile limits in wavelength units, in one tuple.
#include "module/methods.h"

namespace vostel {

py::object getMotorParamters(py::handle self, Args&) {
  py::object convert = self.attr(KEY("_motor__convertMotorParameterToWavelength"));
  py::object minAcc = self.attr(KEY("_motor__minAccMP"));
  py::object maxAcc = self.attr(KEY("_motor__maxAccMP"));
  py::tuple lows = convert(self.attr(KEY("_motor__minVelocityMP")), minAcc, minAcc);
  py::tuple highs = convert(self.attr(KEY("_motor__maxVelocityMP")), maxAcc, maxAcc);
  return py::make_tuple(self.attr(KEY("_motor__CoeffA")), self.attr(KEY("_motor__CoeffB")),
                        self.attr(KEY("_motor__CoeffC")), self.attr(KEY("_motor__minWavelength")),
                        self.attr(KEY("_motor__maxWavelength")), lows[0], lows[1], lows[2], highs[0], highs[1],
                        highs[2]);
}

}  // namespace vostel
