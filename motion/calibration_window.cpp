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
  py::object tk = modattr(KEY("tk"));

  py::cpp_function onClose([]() { return py::none(); }, py::name("__onClose"));
  py::object calibration_window = call_method(tk, KEY("Tk"));
  call_method(calibration_window, KEY("protocol"), "WM_DELETE_WINDOW", onClose);
  call_method(calibration_window, KEY("title"), "Calibration");
  call_method(calibration_window, KEY("geometry"), std::to_string(kWidth) + "x" + std::to_string(kHeight));
  call_method(calibration_window, KEY("resizable"), false, false);
  py::object screen_width = call_method(calibration_window, KEY("winfo_screenwidth"));
  py::object screen_height = call_method(calibration_window, KEY("winfo_screenheight"));
  py::object x = call_method(screen_width, KEY("__floordiv__"), 2) - py::int_(kWidth / 2);
  py::object y = call_method(screen_height, KEY("__floordiv__"), 2) - py::int_(kHeight / 2);
  call_method(calibration_window, KEY("geometry"), py::str("+") + py::str(x) + py::str("+") + py::str(y));

  py::tuple title_font = py::make_tuple("Arial", 12, "bold");
  py::tuple normal_font = py::make_tuple("Arial", 10);
  py::object frame = tk.attr(KEY("Frame"))(calibration_window, py::arg("padx") = 20, py::arg("pady") = 20);
  frame.attr(KEY("pack"))(py::arg("expand") = true, py::arg("fill") = "both");

  py::object label_warning = tk.attr(KEY("Label"))(frame, py::arg("text") = "Limitswitch reached!",
                                                   py::arg("fg") = "red", py::arg("font") = title_font);
  py::object label_warning2 =
      tk.attr(KEY("Label"))(frame, py::arg("text") = "Please recalibrate", py::arg("font") = normal_font);
  py::object label_entry =
      tk.attr(KEY("Label"))(frame, py::arg("text") = "Enter actual wavelength (nm):", py::arg("font") = normal_font);
  label_warning.attr(KEY("pack"))(py::arg("pady") = py::make_tuple(0, 5));
  label_warning2.attr(KEY("pack"))(py::arg("pady") = py::make_tuple(0, 10));
  call_method(label_entry, KEY("pack"));

  py::object wavelength_entry =
      tk.attr(KEY("Entry"))(frame, py::arg("width") = 12, py::arg("justify") = "center", py::arg("font") = normal_font);
  wavelength_entry.attr(KEY("pack"))(py::arg("pady") = py::make_tuple(5, 15));

  // Runs inside the event loop; an error (an entry that is no number, a
  // failing calibration) goes to the toolkit, which keeps the window open.
  // A calibration that was stored but whose read-back failed leaves the
  // object not connected (connect() derives the offset again): it closes the
  // window too, saying so, since no later press could store anything.
  py::cpp_function calibration_GUI(
      [self, calibration_window, wavelength_entry]() {
        py::object wavelength = vcall(modattr(KEY("float")), call_method(wavelength_entry, KEY("get")));
        bool connected = truthy(self.attr(KEY("_motor__connection")));
        try {
          call_method(self, KEY("calibration"), wavelength);
        } catch (py::error_already_set& e) {
          if (!connected || !e.matches(PyExc_ConnectionError) || truthy(self.attr(KEY("_motor__connection")))) throw;
          say(py::str(e.value()));
        }
        call_method(calibration_window, KEY("destroy"));
        call_method(self, KEY("disconnect"));
        self.attr(KEY("_inLimitSwitch")) = py::bool_(false);
        self.attr(KEY("_motor__stop")) = py::bool_(true);
        return py::none();
      },
      py::name("calibration_GUI"));

  py::object button_calibrate =
      tk.attr(KEY("Button"))(frame, py::arg("text") = "Calibrate", py::arg("command") = calibration_GUI,
                             py::arg("bg") = "#007ACC", py::arg("fg") = "white", py::arg("font") = normal_font);
  call_method(button_calibrate, KEY("pack"));
  call_method(calibration_window, KEY("mainloop"));
  return py::none();
}

}  // namespace vostel
