// Support-data collection: the user picks a folder, a dated snapshot of the
// connection, calibration and profile is appended to the support file, and
// from then on failures, move samples and limit switches are appended too.
#include "module/methods.h"

namespace vostel {

namespace {

const char* const kSupportFileName = "SupportData_VostelMotorControl.txt";

py::str text(py::handle value) { return py::str(value); }

py::str header(py::handle datetime) {
  return py::str("Support Data File VostelMotorControl - Generated on ") + text(datetime.attr("now")()) +
         py::str("\n");
}

py::str snapshot(py::handle self, py::handle pv, py::handle pa, py::handle pb, py::handle pLimitSwitch,
                 py::handle pState) {
  py::list parts;
  auto line = [&](const char* label, py::handle value) {
    parts.append(py::str(label));
    parts.append(text(value));
  };
  line("Keyhandle: ", self.attr("_motor__keyhandle"));
  line("\nState: ", pState.attr("value"));
  line("\nCoefficent A: ", self.attr("_motor__CoeffA"));
  line("\nCoefficent B: ", self.attr("_motor__CoeffB"));
  line("\nCoefficent C: ", self.attr("_motor__CoeffC"));
  line("\nEncoderResolution: ", self.attr("_motor__pEncoderResolution").attr("value"));
  line("\nWavelengthrange: ", self.attr("_motor__maxWavelength"));
  line("nm to ", self.attr("_motor__minWavelength"));
  parts.append(py::str("nm"));
  line("\nMotorposition Offset: ", self.attr("_motor__offset"));
  line("\nMotorPosition: ", self.attr("_motor__pPositionIs").attr("value"));
  line("\nMotorVelocity: ", pv.attr("value"));
  line("\nMotorAcceleration/Deceleration: ", pa.attr("value"));
  line("/", pb.attr("value"));
  line("\nDigitalinputs (Limitswitches): ", pLimitSwitch.attr("value"));
  parts.append(py::str("\n"));
  return py::str("").attr("join")(parts);
}

}  // namespace

py::object generateSupportData(py::handle self, Args&) {
  self.attr("_motor__generateSupportData") = py::bool_(true);
  py::object datetime = py::module_::import("datetime").attr("datetime");
  // Collection without a file would make every later record fail: until a
  // folder has been chosen once, a dialog that is cancelled (or cannot be
  // shown) leaves collection off.
  auto off_without_file = [&] {
    if (!truthy(self.attr("_motor__supportFilePath"))) self.attr("_motor__generateSupportData") = py::bool_(false);
  };
  py::object folderPath;
  try {
    py::object root = modattr("tk").attr("Tk")();
    root.attr("withdraw")();
    folderPath =
        modattr("filedialog").attr("askdirectory")(py::arg("title") = "Select location to save support data");
  } catch (py::error_already_set&) {
    off_without_file();
    throw;
  }
  if (!truthy(folderPath)) {
    say(py::str("No location for support data selected."));
    off_without_file();
    return py::none();
  }
  self.attr("_motor__supportFilePath") = modattr("os").attr("path").attr("join")(folderPath, kSupportFileName);

  py::object pv = cell("c_int"), pa = cell("c_int"), pb = cell("c_int");
  command(self, "VCS_GetPositionProfile", byref(pv), byref(pa), byref(pb));
  py::object pLimitSwitch = cell("c_short");
  command(self, "VCS_GetAllDigitalInputs", byref(pLimitSwitch));
  py::object pState = cell("c_ushort");
  command(self, "VCS_GetState", byref(pState));

  py::object path = self.attr("_motor__supportFilePath");
  say(py::str("Support data collection enabled. File will be saved to: ") + text(path));
  if (py::object(self.attr("_motor__keyhandle")).equal(py::int_(0))) {
    append_to(path, [&](py::handle f) {
      f.attr("write")(header(datetime));
      f.attr("write")(py::str("No connection to motor\n"));
    });
    raise(PyExc_ConnectionError, "Please connect motor");
  }
  try {
    append_to(path, [&](py::handle f) {
      f.attr("write")(header(datetime));
      f.attr("write")(snapshot(self, pv, pa, pb, pLimitSwitch, pState));
    });
  } catch (py::error_already_set& e) {
    raise_in_context(e, PyExc_FileExistsError, "Support file not found.");
  }
  return py::none();
}

}  // namespace vostel
