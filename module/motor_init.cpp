// Creating a motor: every attribute with its default, and the command library.
#include "module/methods.h"

namespace vostel {

py::object init(py::handle self, Args&) {
  self.attr("_motor__minVelocityMP") = py::float_(0.0);
  self.attr("_motor__maxVelocityMP") = py::float_(4900.0);
  self.attr("_motor__minAccMP") = py::float_(0.01);
  self.attr("_motor__maxAccMP") = py::float_(4900.0);
  self.attr("DLL_FILENAME") = py::str("EposCMD64.dll");
  self.attr("eposdll") = self.attr("load_epos_dll")();
  self.attr("_motor__keyhandle") = py::int_(0);
  self.attr("_motor__NodeId") = cell("c_ushort");
  self.attr("_motor__pErrorCode") = cell("c_uint32");
  self.attr("_motor__connection") = py::bool_(false);
  self.attr("_motor__CoeffA") = py::float_(0.0);
  self.attr("_motor__CoeffB") = py::float_(0.0);
  self.attr("_motor__CoeffC") = py::float_(0.0);
  self.attr("_motor__pm") = py::bool_(true);
  self.attr("_motor__BallScrew") = py::int_(0);
  self.attr("_motor__pEncoderResolution") = cell("c_uint32");
  self.attr("_motor__pInvertedPolarity") = cell("c_int");
  self.attr("_motor__maxWavelength") = py::float_(0.0);
  self.attr("_motor__minWavelength") = py::float_(0.0);
  self.attr("_motor__offset") = py::int_(0);
  self.attr("_motor__QCL") = py::bool_(false);
  self.attr("_motor__pPositionIs") = long32();
  self.attr("_motor__vMP") = cell("c_uint32");
  self.attr("_motor__aMP") = cell("c_uint32");
  self.attr("_motor__bMP") = cell("c_uint32");
  self.attr("_motor__moving") = py::bool_(false);
  self.attr("_motor__stop") = py::bool_(false);
  self.attr("_inLimitSwitch") = py::bool_(false);
  self.attr("_motor__revMotionTrigger") = py::bool_(false);
  self.attr("_motor__generateSupportData") = py::bool_(false);
  self.attr("_motor__supportFilePath") = py::str("");
  self.attr("_motor__MaxProfileVelocity") = cell("c_int", to_int(self.attr("_motor__maxVelocityMP")));
  self.attr("_motor__MaxAcceleration") = cell("c_int", to_int(self.attr("_motor__maxAccMP")));
  self.attr("_motor__MaxOutputCurrent") = cell("c_short", py::int_(790));
  self.attr("_motor__NominalCurrent") = cell("c_short", py::int_(385));
  return py::none();
}

}  // namespace vostel
