// The window that asks the operator for the wavelength reached after a
// limit-switch recovery. Its only way out is a successful calibration.
#include "module/methods.h"

namespace vostel {

namespace {
constexpr int kWidth = 300;
constexpr int kHeight = 180;
}  // namespace

py::object limitSwitchCalibrationWindow(py::handle self_handle, Args&) {
  py::object self = py::reinterpret_borrow<py::object>(self_handle);
  py::object tk = modattr("tk");

  py::cpp_function onClose([]() { return py::none(); }, py::name("__onClose"));
  py::object calibration_window = tk.attr("Tk")();
  calibration_window.attr("protocol")("WM_DELETE_WINDOW", onClose);
  calibration_window.attr("title")("Calibration");
  calibration_window.attr("geometry")(std::to_string(kWidth) + "x" + std::to_string(kHeight));
  calibration_window.attr("resizable")(false, false);
  py::object screen_width = calibration_window.attr("winfo_screenwidth")();
  py::object screen_height = calibration_window.attr("winfo_screenheight")();
  py::object x = screen_width.attr("__floordiv__")(2) - py::int_(kWidth / 2);
  py::object y = screen_height.attr("__floordiv__")(2) - py::int_(kHeight / 2);
  calibration_window.attr("geometry")(py::str("+") + py::str(x) + py::str("+") + py::str(y));

  py::tuple title_font = py::make_tuple("Arial", 12, "bold");
  py::tuple normal_font = py::make_tuple("Arial", 10);
  py::object frame = tk.attr("Frame")(calibration_window, py::arg("padx") = 20, py::arg("pady") = 20);
  frame.attr("pack")(py::arg("expand") = true, py::arg("fill") = "both");

  py::object label_warning = tk.attr("Label")(frame, py::arg("text") = "Limitswitch reached!", py::arg("fg") = "red",
                                              py::arg("font") = title_font);
  py::object label_warning2 =
      tk.attr("Label")(frame, py::arg("text") = "Please recalibrate", py::arg("font") = normal_font);
  py::object label_entry =
      tk.attr("Label")(frame, py::arg("text") = "Enter actual wavelength (nm):", py::arg("font") = normal_font);
  label_warning.attr("pack")(py::arg("pady") = py::make_tuple(0, 5));
  label_warning2.attr("pack")(py::arg("pady") = py::make_tuple(0, 10));
  label_entry.attr("pack")();

  py::object wavelength_entry = tk.attr("Entry")(frame, py::arg("width") = 12, py::arg("justify") = "center",
                                                 py::arg("font") = normal_font);
  wavelength_entry.attr("pack")(py::arg("pady") = py::make_tuple(5, 15));

  // Runs inside the event loop; an error (an entry that is no number, a
  // failing calibration) goes to the toolkit, which keeps the window open.
  py::cpp_function calibration_GUI(
      [self, calibration_window, wavelength_entry]() {
        py::object wavelength = modattr("float")(wavelength_entry.attr("get")());
        self.attr("calibration")(wavelength);
        calibration_window.attr("destroy")();
        self.attr("disconnect")();
        self.attr("_inLimitSwitch") = py::bool_(false);
        self.attr("_motor__stop") = py::bool_(true);
        return py::none();
      },
      py::name("calibration_GUI"));

  py::object button_calibrate =
      tk.attr("Button")(frame, py::arg("text") = "Calibrate", py::arg("command") = calibration_GUI,
                        py::arg("bg") = "#007ACC", py::arg("fg") = "white", py::arg("font") = normal_font);
  button_calibrate.attr("pack")();
  calibration_window.attr("mainloop")();
  return py::none();
}

}  // namespace vostel
