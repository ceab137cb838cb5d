// Support-data collection: the user picks a folder, a dated snapshot of the
// connection, calibration and profile is appended to the support file, and
// from then on failures, move samples and limit switches are appended too.
#include "diagnostics/support_file.h"
#include "module/methods.h"

namespace vostel {

namespace {

const char* const kSupportFileName = "SupportData_VostelMotorControl.txt";

py::str text(py::handle value) { return py::str(value); }

py::str header(py::handle datetime) {
  return py::str("Support Data File VostelMotorControl - Generated on ") + text(call_method(datetime, KEY("now"))) +
         py::str("\n");
}

py::str snapshot(py::handle self, py::handle pv, py::handle pa, py::handle pb, py::handle pLimitSwitch,
                 py::handle pState) {
  py::list parts;
  auto line = [&](const char* label, py::handle value) {
    parts.append(py::str(label));
    parts.append(text(value));
  };
  line("Keyhandle: ", self.attr(KEY("_motor__keyhandle")));
  line("\nState: ", pState.attr(KEY("value")));
  line("\nCoefficent A: ", self.attr(KEY("_motor__CoeffA")));
  line("\nCoefficent B: ", self.attr(KEY("_motor__CoeffB")));
  line("\nCoefficent C: ", self.attr(KEY("_motor__CoeffC")));
  line("\nEncoderResolution: ", self.attr(KEY("_motor__pEncoderResolution")).attr(KEY("value")));
  line("\nWavelengthrange: ", self.attr(KEY("_motor__maxWavelength")));
  line("nm to ", self.attr(KEY("_motor__minWavelength")));
  parts.append(py::str("nm"));
  line("\nMotorposition Offset: ", self.attr(KEY("_motor__offset")));
  line("\nMotorPosition: ", self.attr(KEY("_motor__pPositionIs")).attr(KEY("value")));
  line("\nMotorVelocity: ", pv.attr(KEY("value")));
  line("\nMotorAcceleration/Deceleration: ", pa.attr(KEY("value")));
  line("/", pb.attr(KEY("value")));
  line("\nDigitalinputs (Limitswitches): ", pLimitSwitch.attr(KEY("value")));
  parts.append(py::str("\n"));
  return call_method(py::str(""), KEY("join"), parts);
}

}  // namespace

py::object generateSupportData(py::handle self, Args&) {
  self.attr(KEY("_motor__generateSupportData")) = py::bool_(true);
  py::object datetime = py::module_::import("datetime").attr(KEY("datetime"));
  // Collection without a file would make every later record fail: until a
  // folder has been chosen once, a dialog that is cancelled (or cannot be
  // shown) leaves collection off.
  auto off_without_file = [&] {
    if (!truthy(self.attr(KEY("_motor__supportFilePath"))))
      self.attr(KEY("_motor__generateSupportData")) = py::bool_(false);
  };
  py::object folderPath;
  try {
    py::object root = call_method(modattr(KEY("tk")), KEY("Tk"));
    call_method(root, KEY("withdraw"));
    folderPath =
        modattr(KEY("filedialog")).attr(KEY("askdirectory"))(py::arg("title") = "Select location to save support data");
  } catch (py::error_already_set&) {
    off_without_file();
    throw;
  }
  if (!truthy(folderPath)) {
    say(py::str("No location for support data selected."));
    off_without_file();
    return py::none();
  }
  self.attr(KEY("_motor__supportFilePath")) =
      call_method(modattr(KEY("os")).attr(KEY("path")), KEY("join"), folderPath, kSupportFileName);

  py::object pv = cell(KEY("c_int")), pa = cell(KEY("c_int")), pb = cell(KEY("c_int"));
  command(self, KEY("VCS_GetPositionProfile"), byref(pv), byref(pa), byref(pb));
  py::object pLimitSwitch = cell(KEY("c_short"));
  command(self, KEY("VCS_GetAllDigitalInputs"), byref(pLimitSwitch));
  py::object pState = cell(KEY("c_ushort"));
  command(self, KEY("VCS_GetState"), byref(pState));

  py::object path = self.attr(KEY("_motor__supportFilePath"));
  say(py::str("Support data collection enabled. File will be saved to: ") + text(path));
  if (py::object(self.attr(KEY("_motor__keyhandle"))).equal(py::int_(0))) {
    append_to(path, [&](py::handle f) {
      call_method(f, KEY("write"), header(datetime));
      call_method(f, KEY("write"), py::str("No connection to motor\n"));
    });
    raise(PyExc_ConnectionError, "Please connect motor");
  }
  append_support_record(self, [&](py::handle f) {
    call_method(f, KEY("write"), header(datetime));
    call_method(f, KEY("write"), snapshot(self, pv, pa, pb, pLimitSwitch, pState));
  });
  return py::none();
}

}  // namespace vostel
