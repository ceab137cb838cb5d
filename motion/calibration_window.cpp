// The window that asks the operator for the wavelength reached after a
// limit-switch recovery. Its way out is a successful calibration, or, once
// the controller has refused to store one, closing it without.
#include <memory>

#include "module/methods.h"
#include "motion/move_common.h"

namespace vostel {

namespace {
constexpr int kWidth = 300;
constexpr int kHeight = 180;

// What the window's callbacks share.
struct WindowState {
  py::object window;
  py::object frame;
  py::object reason;  // the label that says why the window may be left
  bool refused = false;
};

// Leaving without a calibration: the object is left not connected and moves
// on its port raise until a calibration is stored.
void leave_uncalibrated(py::handle self, WindowState& state) {
  mark_scale_unknown(self);
  call_method(state.window, KEY("destroy"));
  call_method(self, KEY("disconnect"));
  self.attr(KEY("_inLimitSwitch")) = py::bool_(false);
  self.attr(KEY("_motor__stop")) = py::bool_(true);
}

// The controller refused the store: the window says so and may be closed,
// by its close button or the window manager's.
void offer_leaving(py::handle self, const std::shared_ptr<WindowState>& state, const std::string& why,
                   py::handle font) {
  py::object tk = modattr(KEY("tk"));
  std::string text = "Refused by the controller: " + why +
                     ". Press Calibrate to try again, or close this window: the motor then stays stopped until "
                     "it is calibrated.";
  if (state->reason) {
    state->reason.attr(KEY("configure"))(py::arg("text") = text);
    return;
  }
  state->refused = true;
  // Wrapped inside the frame's padding (20 each side), its own border included.
  state->reason = tk.attr(KEY("Label"))(state->frame, py::arg("text") = text, py::arg("fg") = "red",
                                        py::arg("font") = font, py::arg("wraplength") = kWidth - 50,
                                        py::arg("justify") = "left");
  state->reason.attr(KEY("pack"))(py::arg("pady") = py::make_tuple(10, 0));
  py::object self_object = py::reinterpret_borrow<py::object>(self);
  py::cpp_function close([self_object, state]() {
    leave_uncalibrated(self_object, *state);
    return py::none();
  });
  py::object button = tk.attr(KEY("Button"))(state->frame, py::arg("text") = "Close without calibrating",
                                             py::arg("command") = close, py::arg("font") = font);
  button.attr(KEY("pack"))(py::arg("pady") = py::make_tuple(5, 0));
  // The window grows to show all of it.
  call_method(state->window, KEY("update_idletasks"));
  py::object height = call_method(state->window, KEY("winfo_reqheight"));
  if (py::isinstance<py::int_>(height) && height.cast<long long>() > kHeight)
    call_method(state->window, KEY("geometry"), std::to_string(kWidth) + "x" + py::str(height).cast<std::string>());
}
}  // namespace

py::object limitSwitchCalibrationWindow(py::handle self_handle, Args&) {
  py::object self = py::reinterpret_borrow<py::object>(self_handle);
  py::object tk = modattr(KEY("tk"));

  auto state = std::make_shared<WindowState>();
  // Does nothing while a calibration can still be stored.
  py::cpp_function onClose(
      [self, state]() {
        if (state->refused) leave_uncalibrated(self, *state);
        return py::none();
      },
      py::name("__onClose"));
  py::object calibration_window = call_method(tk, KEY("Tk"));
  state->window = calibration_window;
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
  state->frame = frame;

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
  // window too, saying so, since no later press could store anything. One
  // the controller refused to store is shown in the window, which may then
  // be left without a calibration.
  py::cpp_function calibration_GUI(
      [self, calibration_window, wavelength_entry, state, normal_font]() {
        py::object wavelength = vcall(modattr(KEY("float")), call_method(wavelength_entry, KEY("get")));
        bool connected = truthy(self.attr(KEY("_motor__connection")));
        try {
          call_method(self, KEY("calibration"), wavelength);
        } catch (py::error_already_set& e) {
          if (!connected || !e.matches(PyExc_ConnectionError)) throw;
          if (truthy(self.attr(KEY("_motor__connection")))) {
            offer_leaving(self, state, py::str(e.value()).cast<std::string>(), normal_font);
            return py::none();
          }
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
