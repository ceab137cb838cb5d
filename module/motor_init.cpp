// Creating a motor: every attribute with its default, and the command library.
#include "module/methods.h"

namespace vostel {

py::object init(py::handle self, Args&) {
  self.attr(KEY("_motor__minVelocityMP")) = py::float_(0.0);
  self.attr(KEY("_motor__maxVelocityMP")) = py::float_(4900.0);
  self.attr(KEY("_motor__minAccMP")) = py::float_(0.01);
  self.attr(KEY("_motor__maxAccMP")) = py::float_(4900.0);
  self.attr(KEY("DLL_FILENAME")) = py::str("EposCMD64.dll");
  self.attr(KEY("eposdll")) = call_method(self, KEY("load_epos_dll"));
  self.attr(KEY("_motor__keyhandle")) = py::int_(0);
  self.attr(KEY("_motor__NodeId")) = cell(KEY("c_ushort"));
  self.attr(KEY("_motor__pErrorCode")) = cell(KEY("c_uint32"));
  self.attr(KEY("_motor__connection")) = py::bool_(false);
  self.attr(KEY("_motor__CoeffA")) = py::float_(0.0);
  self.attr(KEY("_motor__CoeffB")) = py::float_(0.0);
  self.attr(KEY("_motor__CoeffC")) = py::float_(0.0);
  self.attr(KEY("_motor__pm")) = py::bool_(true);
  self.attr(KEY("_motor__BallScrew")) = py::int_(0);
  self.attr(KEY("_motor__pEncoderResolution")) = cell(KEY("c_uint32"));
  self.attr(KEY("_motor__pInvertedPolarity")) = cell(KEY("c_int"));
  self.attr(KEY("_motor__maxWavelength")) = py::float_(0.0);
  self.attr(KEY("_motor__minWavelength")) = py::float_(0.0);
  self.attr(KEY("_motor__offset")) = py::int_(0);
  self.attr(KEY("_motor__QCL")) = py::bool_(false);
  self.attr(KEY("_motor__pPositionIs")) = long32();
  self.attr(KEY("_motor__vMP")) = cell(KEY("c_uint32"));
  self.attr(KEY("_motor__aMP")) = cell(KEY("c_uint32"));
  self.attr(KEY("_motor__bMP")) = cell(KEY("c_uint32"));
  self.attr(KEY("_motor__moving")) = py::bool_(false);
  self.attr(KEY("_motor__stop")) = py::bool_(false);
  self.attr(KEY("_inLimitSwitch")) = py::bool_(false);
  self.attr(KEY("_motor__revMotionTrigger")) = py::bool_(false);
  self.attr(KEY("_motor__generateSupportData")) = py::bool_(false);
  self.attr(KEY("_motor__supportFilePath")) = py::str("");
  self.attr(KEY("_motor__MaxProfileVelocity")) = cell(KEY("c_int"), to_int(self.attr(KEY("_motor__maxVelocityMP"))));
  self.attr(KEY("_motor__MaxAcceleration")) = cell(KEY("c_int"), to_int(self.attr(KEY("_motor__maxAccMP"))));
  self.attr(KEY("_motor__MaxOutputCurrent")) = cell(KEY("c_short"), py::int_(790));
  self.attr(KEY("_motor__NominalCurrent")) = cell(KEY("c_short"), py::int_(385));
  return py::none();
}

}  // namespace vostel
