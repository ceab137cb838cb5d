"""The operator panel on a virtual display, worked through X input: against a
fake drive (what each field sends, what it refuses, what the reports show),
and on the simulated controller with the real drive (a move stopped half way,
a limit switch that brings up the module's own calibration window on the
drive's worker thread). Last, the installed `vostelmotor` console script."""
import os
import subprocess
import threading
import time
import tkinter
import tkinter.font
import types

import pytest

import vostelmotor
from helpers.display import centre, grab_window, run_x, screenshot, xdotool
from helpers.paths import console_script
from helpers.panel import FakeDrive, PanelOperator, open_panel
from vostelmotor_lab.drive import Drive, MoveResult


@pytest.fixture
def fake_panel(display):
    drives = []
    panel = open_panel(lambda report: drives.append(FakeDrive(report)) or drives[-1])
    operator = PanelOperator(panel)
    drive = drives[0]
    drive.report({"limits": (760.0, 800.0), "speed": (2.0, 5.0)})
    drive.report({"readback": 780.0, "current": 12.0, "setpoint": 780.0})
    drive.report({"state": 0, "message": "Connected on USB0"})
    operator.settle(lambda: operator.text(panel.state) == "Idle")
    yield operator, drive
    if panel._closing is None:
        panel.root.destroy()


# --- against a fake drive ------------------------------------------------------

def test_what_the_drive_reports_shows_in_the_window(fake_panel):
    op, drive = fake_panel
    panel = op.panel
    assert drive.started
    assert op.text(panel.range) == "Calibrated range: 760.0000 to 800.0000 nm"
    assert op.text(panel.wavelength) == "780.0000 nm"
    assert op.text(panel.current) == "12 mA"
    assert panel.target.entry.get() == "780.0000"  # the setpoint fills an empty target
    assert (panel.velocity.entry.get(), panel.acceleration.entry.get()) == ("2.0000", "5.0000")

    drive.report({"state": 1, "moving": True, "message": "Move to 790.0000 nm"})
    drive.report({"readback": 781.25, "current": 80.0})
    drive.report({"printed": "limitswitch activated"})
    op.settle(lambda: op.text(panel.wavelength) == "781.2500 nm")
    assert op.text(panel.state) == "Moving" and op.text(panel.current) == "80 mA"
    assert panel.root.title() == "vostelmotor  781.2500 nm  Moving"
    assert op.text(panel.message) == "Move to 790.0000 nm"

    drive.report({"moving": False, "done": True})
    op.settle(lambda: op.text(panel.state) == "Idle")
    drive.report({"state": 5, "message": "Reading the position failed: ConnectionError: Motor not connected"})
    op.settle(lambda: op.text(panel.state) == "Disconnected")
    assert op.output() == ("Connected on USB0\nMove to 790.0000 nm\nlimitswitch activated\n"
                           "Reading the position failed: ConnectionError: Motor not connected\n")


def _go_with_enter(op):
    op.type_into(op.panel.target, "781.25")
    op.key("Return", lambda: op.panel.drive.requests)


def _steps(button, size="250"):
    def act(op):
        op.type_into(op.panel.step_size, size)
        op.click(getattr(op.panel, button), lambda: op.panel.drive.requests)
    return act


def _speed(op):
    op.type_into(op.panel.velocity, "1.5")
    op.type_into(op.panel.acceleration, "3")
    op.click(op.panel.set_speed, lambda: op.panel.drive.requests)


def _interval_with_enter(op):
    op.type_into(op.panel.interval, "0.05")
    op.key("Return", lambda: op.panel.drive.requests)


@pytest.mark.parametrize("act, sent", [
    (_go_with_enter, ("move_to", 781.25, False, 0)),
    (_steps("steps_up"), ("move_steps", 250, 0)),
    (_steps("steps_down"), ("move_steps", -250, 0)),
    (_speed, ("set_speed", 1.5, 3.0)),
    (_interval_with_enter, ("set_trigger_width", 0.05)),
])
def test_each_control_sends_its_request(fake_panel, act, sent):
    op, drive = fake_panel
    act(op)
    assert drive.requests == [sent]


def test_high_precision_and_trigger_kind_go_with_the_moves(fake_panel):
    op, drive = fake_panel
    panel = op.panel
    checkbox = next(w for w in panel.go.master.winfo_children() if isinstance(w, tkinter.Checkbutton))
    op.click(checkbox, lambda: panel.high_precision.get())
    position_compare = [w for w in panel.root.nametowidget(panel.go.master).winfo_children()
                        if isinstance(w, tkinter.Frame)][0].winfo_children()[1]
    op.click(position_compare, lambda: panel.trigger.get() == 1)
    op.click(panel.go, lambda: drive.requests)
    op.click(panel.steps_up, lambda: len(drive.requests) == 2)
    assert drive.requests == [("move_to", 780.0, True, 1), ("move_steps", 100, 1)]


@pytest.mark.parametrize("field, text, button, reason", [
    ("target", "780,5", "go", "use a point as the decimal separator"),
    ("target", "abc", "go", "not a number"),
    ("target", "", "go", "enter a number"),
    ("target", "805", "go", "outside the calibrated range 760.0000 to 800.0000 nm"),
    ("target", "inf", "go", "not a finite number"),
    ("step_size", "2.5", "steps_up", "a whole number of steps"),
    ("step_size", "6000", "steps_down", "1 to 5000 steps at a time"),
    ("step_size", "0", "steps_up", "1 to 5000 steps at a time"),
    ("velocity", "-1", "set_speed", "must be more than 0"),
    ("acceleration", "nan", "set_speed", "not a finite number"),
    ("interval", "0", "set_interval", "must be more than 0"),
])
def test_nonsense_is_refused_in_the_field_and_sends_nothing(fake_panel, field, text, button, reason):
    op, drive = fake_panel
    field = getattr(op.panel, field)
    op.type_into(field, text)
    op.click(getattr(op.panel, button), lambda: op.text(field.error))
    assert op.text(field.error) == reason
    assert field.entry.get() == text and field.entry.focus_get() is field.entry
    assert drive.requests == []
    op.key("1", lambda: not op.text(field.error))  # editing the text takes the reason away


def layout(panel):
    """Where each control of the window stands and how large it is, and the
    window's own size."""
    root = panel.root
    root.update_idletasks()
    out = {"window": (root.winfo_width(), root.winfo_height())}
    for widget in panel_controls(root):
        out[str(widget)] = (widget.winfo_rootx() - root.winfo_rootx(), widget.winfo_rooty() - root.winfo_rooty(),
                            widget.winfo_width(), widget.winfo_height())
    return out


def panel_controls(widget):
    for child in widget.winfo_children():
        if isinstance(child, (tkinter.Button, tkinter.Checkbutton, tkinter.Entry, tkinter.Radiobutton)):
            yield child
        yield from panel_controls(child)


def shows_whole(widget):
    """The widget is as large as it asks to be: its text is not cut."""
    return widget.winfo_width() >= widget.winfo_reqwidth() and widget.winfo_height() >= widget.winfo_reqheight()


def test_a_refused_value_neither_shifts_nor_clips_the_layout(fake_panel, tmp_path):
    op, drive = fake_panel
    panel = op.panel
    high_precision = [w for w in panel_controls(panel.root) if isinstance(w, tkinter.Checkbutton)][0]
    before = layout(panel)
    refusals = [(panel.target, "805", panel.go), (panel.step_size, "6000", panel.steps_up),
                (panel.interval, "1,5", panel.set_interval), (panel.velocity, "1,5", panel.set_speed),
                (panel.acceleration, "1,5", panel.set_speed)]
    for field, text, button in refusals:
        op.type_into(field, text)
        op.click(button, lambda: op.text(field.error))
    panel.root.update()
    after = layout(panel)
    pytest.importorskip("PIL.ImageGrab")
    grab_window(panel.root, tmp_path / "panel_refused_values.png")
    moved = {name: (before[name], after[name]) for name in before if before[name][:2] != after[name][:2]}
    assert moved == {}
    assert after["window"] == before["window"]
    for widget in (high_precision, panel.steps_up, panel.steps_down, panel.go, panel.set_speed):
        assert shows_whole(widget), widget.cget("text")
    for field, text, button in refusals:
        assert op.text(field.error) and field.error.winfo_ismapped()
        width = tkinter.font.nametofont(field.error.cget("font")).measure(op.text(field.error))
        assert field.error.winfo_width() >= width, op.text(field.error)  # the whole reason shows


def test_stop_by_escape_and_by_the_button_during_a_move(fake_panel):
    op, drive = fake_panel
    panel = op.panel
    _go_with_enter(op)
    drive.report({"state": 1, "moving": True})
    op.settle(lambda: op.text(panel.state) == "Moving")
    op.key("Escape", lambda: len(drive.requests) == 2)  # the focus is still in the target field
    op.click(panel.stop_button, lambda: len(drive.requests) == 3)
    assert drive.requests[1:] == [("stop",), ("stop",)]
    drive.futures[0].set_result(MoveResult("stopped", 781.0, "stopped at 781.0000 nm"))
    drive.report({"state": 0, "moving": False, "message": "Move to 781.2500 nm: stopped at 781.0000 nm"})
    op.settle(lambda: op.text(panel.state) == "Idle")
    assert op.text(panel.message) == "Move to 781.2500 nm: stopped at 781.0000 nm"


def test_what_the_drive_refuses_or_fails_is_said(fake_panel):
    op, drive = fake_panel
    panel = op.panel
    drive.refuse = RuntimeError("calibration needed after a limit switch")
    op.click(panel.go, lambda: op.text(panel.message))
    assert op.text(panel.message) == "Move to 780.0000 nm refused: calibration needed after a limit switch"
    assert drive.requests == []

    _speed(op)
    drive.futures[0].set_exception(ValueError("the velocity must be positive"))
    op.settle(lambda: "failed" in op.text(panel.message))
    assert op.text(panel.message) == "Setting the speed failed: ValueError: the velocity must be positive"



def test_closing_the_window_closes_the_drive_unless_the_calibration_window_waits(fake_panel):
    op, drive = fake_panel
    root = op.root
    drive.awaiting_calibration = True
    root.tk.call(root.protocol("WM_DELETE_WINDOW"))
    op.settle(lambda: "calibration window first" in op.text(op.panel.message))
    assert not drive.closed
    drive.awaiting_calibration = False
    root.tk.call(root.protocol("WM_DELETE_WINDOW"))
    for _ in range(500):
        try:
            root.update()
        except tkinter.TclError:
            break
        time.sleep(0.01)
    assert drive.closed
    with pytest.raises(tkinter.TclError):
        root.winfo_exists()


# --- on the simulated controller, with the real drive ---------------------------

@pytest.fixture
def sim_panel(sim, display):
    """The panel with the drive on the simulated controller, at wall-clock speed."""
    sim.use_wall_clock(1.0)
    drives = []

    def make_drive(report):
        drives.append(Drive(report, motor_class=vostelmotor.motor, calibration_pv="the calibration window",
                            capture_output=True))
        return drives[0]

    panel = open_panel(make_drive)
    op = PanelOperator(panel)
    op.settle(lambda: op.text(panel.state) == "Idle", rounds=3000)
    yield op
    panel.close()
    op.settle(lambda: not drives[0]._thread.is_alive(), rounds=3000)
    try:
        panel.root.destroy()
    except tkinter.TclError:  # the panel's own poll got there first, once the drive had closed
        pass


def shown_wavelength(op):
    return float(op.text(op.panel.wavelength).split()[0])


def test_a_move_stopped_half_way_on_the_simulated_controller(sim, sim_panel):
    op = sim_panel
    panel = op.panel
    op.type_into(panel.velocity, "2")
    op.type_into(panel.acceleration, "4")
    op.key("Return", lambda: op.text(panel.speed).startswith("Controller: 1.99"))  # what the motor can do

    op.type_into(panel.target, "790")
    op.key("Return", lambda: op.text(panel.state) == "Moving", )
    op.settle(lambda: shown_wavelength(op) > 781.0, rounds=3000)
    screenshot("panel-moving", panel.root)
    op.key("Escape", lambda: op.text(panel.state) == "Idle")
    op.settle(lambda: "stopped at" in op.text(panel.message), rounds=3000)
    screenshot("panel-stopped", panel.root)
    assert 781.0 < shown_wavelength(op) < 789.0 and not sim.moving()

    op.type_into(panel.target, "783.5")
    op.key("KP_Enter", lambda: op.text(panel.state) == "Moving")
    op.settle(lambda: "arrived at" in op.text(panel.message), rounds=3000)
    assert op.text(panel.message).startswith("Move to 783.5000 nm: arrived at 783.50")
    assert shown_wavelength(op) == pytest.approx(783.5, abs=0.001)
    assert "arrived at 783.50nm" in op.output()  # what the module printed


def test_a_limit_switch_brings_up_the_modules_window_on_the_worker(sim, sim_panel, monkeypatch):
    op = sim_panel
    panel = op.panel
    sim.set_limit_switches(-45000, 10000)  # about 775 nm
    panel_seen = threading.Event()
    window = {}

    class WatchedTk(tkinter.Tk):
        """The module's window, worked from inside its own event loop."""

        def __init__(self):
            super().__init__()
            window["thread"] = threading.current_thread()
            self.after(1, self.operate)

        def operate(self):
            for _ in range(3000):  # until the test has looked at the panel
                if panel_seen.is_set():
                    break
                self.update()
                time.sleep(0.01)
            window["title"] = self.title()
            entry, button = self.winfo_children()[0].winfo_children()[3:5]
            xdotool("mousemove", *centre(entry), "click", 1)
            entry.focus_force()
            self.update()
            xdotool("type", "--delay", 0, "790")
            for _ in range(500):
                self.update()
                if entry.get() == "790":
                    break
                time.sleep(0.01)
            xdotool("mousemove", *centre(button), "click", 1)

    monkeypatch.setattr(vostelmotor, "tk", types.SimpleNamespace(
        Tk=WatchedTk, Frame=tkinter.Frame, Label=tkinter.Label, Entry=tkinter.Entry, Button=tkinter.Button))

    op.type_into(panel.target, "765")
    op.key("Return", lambda: op.text(panel.state) == "Moving")
    try:
        op.settle(lambda: op.text(panel.state) == "Calibration needed", rounds=6000)
        assert op.text(panel.message) == \
            "Limit switch: enter the actual wavelength (nm) in the calibration window"
        assert "limitswitch activated" in op.output()
        # The panel still works while the module's window waits: a move is refused.
        op.type_into(panel.target, "778")
        op.key("Return", lambda: "refused" in op.text(panel.message))
    finally:
        panel_seen.set()

    op.settle(lambda: op.text(panel.state) == "Idle", rounds=6000)
    assert window["thread"] is panel.drive._thread and window["title"] == "Calibration"
    op.settle(lambda: shown_wavelength(op) == pytest.approx(790.0, abs=0.001), rounds=3000)
    assert "wavelength set to 790.00nm" in op.output()
    op.type_into(panel.target, "788")
    op.key("Return", lambda: op.text(panel.state) == "Moving")
    op.settle(lambda: "arrived at" in op.text(panel.message), rounds=3000)
    assert shown_wavelength(op) == pytest.approx(788.0, abs=0.01)


# --- the installed command -----------------------------------------------------

CONSOLE_SCRIPT = console_script("vostelmotor")
installed = pytest.mark.skipif(not os.path.exists(CONSOLE_SCRIPT), reason="the vostelmotor command is not installed")


@installed
@pytest.mark.parametrize("argv, expected", [
    (["--help"], ["panel", "check", "ioc"]),
    (["panel", "--help"], ["vostelmotor panel", "--usb PORT", "--simulated"]),
])
def test_installed_command_help(argv, expected):
    done = subprocess.run([CONSOLE_SCRIPT] + argv, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    for text in expected:
        assert text in done.stdout


@installed
def test_installed_panel_on_the_simulated_controller(display, tmp_path):
    state = str(tmp_path / "sim_state.txt")
    env = dict(os.environ, VOSTEL_SIM_STATE=state, DISPLAY=display)
    process = subprocess.Popen([CONSOLE_SCRIPT, "panel", "--simulated"], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
    try:
        for _ in range(600):  # the title says where the grating stands, once connected
            found = run_x(["xdotool", "search", "--name", "^vostelmotor .*nm .*Idle$"])
            if found.stdout.strip() or process.poll() is not None:
                break
            time.sleep(0.1)
        assert found.stdout.strip(), "no panel came up"
        xdotool("mousemove", "--window", found.stdout.split()[0], 100, 100)
        xdotool("key", "ctrl+q")
        output, _ = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode == 0, output
    assert "simulated controller:" in output and state in output
