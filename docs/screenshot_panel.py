"""Takes the README's screenshots of the operator panel (`vostelmotor panel`):
idle, moving, and after a limit switch with the module's calibration window
beside it. Run under a virtual display, e.g.

    xvfb-run -a -s "-screen 0 1600x900x24" .venv-3.11/bin/python docs/screenshot_panel.py docs

with the development build on the path (VOSTEL_BUILD_DIR, default build-demo/python).
It needs xdotool and Pillow (its ImageGrab reads the X display). The panel runs
with its real drive on the simulated controller, with a state file of its own
that is removed afterwards; the script works the window through the panel's
own controls and types the wavelength into the calibration window.
"""
import os
import subprocess
import sys
import tempfile
import threading
import time
import tkinter
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "simulator"))
sys.path.insert(0, os.environ.get("VOSTEL_BUILD_DIR", os.path.join(HERE, "..", "build-demo", "python")))

from PIL import ImageGrab  # noqa: E402

import vostelmotor  # noqa: E402
from simcontrol import SimulatedController  # noqa: E402
from vostelmotor_lab import simulated  # noqa: E402
from vostelmotor_lab.drive import Drive  # noqa: E402
from vostelmotor_lab.panel import Panel  # noqa: E402


def shoot(path, right, bottom):
    ImageGrab.grab(bbox=(0, 0, right, bottom), xdisplay=os.environ["DISPLAY"]).save(path)
    print("screenshot written to", path)


def centre(widget):
    return widget.winfo_rootx() + widget.winfo_width() // 2, widget.winfo_rooty() + widget.winfo_height() // 2


class CalibrationTk(tkinter.Tk):
    """The module's calibration window; once the shot is taken, the operator
    types the wavelength and presses "Calibrate" (from the window's own event
    loop, on the drive's thread)."""
    shot_taken = threading.Event()

    def __init__(self):
        super().__init__()
        self.after(1, self.operate)

    def operate(self):
        while not self.shot_taken.wait(0.01):
            self.update()
        entry, button = self.winfo_children()[0].winfo_children()[3:5]
        subprocess.run(["xdotool", "mousemove", *map(str, centre(entry)), "click", "1"], check=True)
        entry.focus_force()
        self.update()
        subprocess.run(["xdotool", "type", "--delay", "0", "790.00"], check=True)
        subprocess.run(["xdotool", "mousemove", *map(str, centre(button)), "click", "1"], check=True)


class Script:
    """Steps that run in the panel's event loop, each until its condition holds."""

    def __init__(self, panel, sim, folder):
        self.panel, self.sim, self.folder = panel, sim, folder
        self.steps = [
            (self.connected, self.set_speed_and_move),
            (self.arrived, self.shoot_idle_then_move_far),
            (self.half_way, self.shoot_moving_and_stop),
            (self.stopped, self.into_the_switch),
            (self.calibration_asked, self.shoot_limit_switch),
            (self.calibrated, self.close),
        ]
        panel.root.after(100, self.run)

    def text(self, widget):
        return widget.cget("text")

    def reading(self):
        return float(self.text(self.panel.wavelength).split()[0])

    def run(self):
        condition, action = self.steps[0]
        if condition():
            self.steps.pop(0)
            action()
        if self.steps:
            self.panel.root.after(100, self.run)

    def type(self, field, text):
        field.entry.delete(0, "end")
        field.entry.insert(0, text)

    def connected(self):
        return self.text(self.panel.state) == "Idle"

    def set_speed_and_move(self):
        self.type(self.panel.velocity, "2.0")
        self.type(self.panel.acceleration, "4.0")
        self.panel.send_speed()
        self.type(self.panel.interval, "0.05")
        self.panel.send_interval()
        self.type(self.panel.target, "781.5")
        self.panel.go_to_target()

    def arrived(self):
        return "arrived" in self.text(self.panel.message) and self.connected()

    def shoot_idle_then_move_far(self):
        def later():
            shoot(os.path.join(self.folder, "panel_idle.png"), *self.size())
            self.move_far()
        self.panel.root.after(600, later)

    def size(self):
        root = self.panel.root
        return root.winfo_width(), root.winfo_height()

    def move_far(self):
        self.panel.trigger.set(1)
        self.type(self.panel.target, "792.5")
        self.panel.go_to_target()

    def half_way(self):
        return self.text(self.panel.state) == "Moving" and self.reading() > 786.0

    def shoot_moving_and_stop(self):
        shoot(os.path.join(self.folder, "panel_moving.png"), *self.size())
        self.panel.stop()

    def stopped(self):
        return "stopped" in self.text(self.panel.message) and self.connected()

    def into_the_switch(self):
        self.sim.set_limit_switches(-45000, 10000)  # a switch at about 775 nm
        self.panel.trigger.set(0)
        self.type(self.panel.target, "765")
        self.panel.go_to_target()

    def calibration_asked(self):
        return self.text(self.panel.state) == "Calibration needed"

    def shoot_limit_switch(self):
        def later():
            shoot(os.path.join(self.folder, "panel_limit_switch.png"), 960, self.size()[1])
            CalibrationTk.shot_taken.set()
        self.panel.root.after(800, later)

    def calibrated(self):
        return self.connected() and abs(self.reading() - 790.0) < 0.01

    def close(self):
        self.panel.root.after(1500, self.panel.close)


def main(folder):
    with tempfile.TemporaryDirectory() as state_folder:
        state = os.environ["VOSTEL_SIM_STATE"] = os.path.join(state_folder, "state.txt")
        sim = SimulatedController(simulated.library_path())
        sim.reset(state_file=state, forget_stored=True)
        sim.use_wall_clock(1.0)
        vostelmotor.tk = types.SimpleNamespace(Tk=CalibrationTk, Frame=tkinter.Frame, Label=tkinter.Label,
                                               Entry=tkinter.Entry, Button=tkinter.Button)
        motor_class = simulated.simulated(vostelmotor.motor)
        root = tkinter.Tk()
        root.geometry("+0+0")
        panel = Panel(root, lambda report: Drive(report, calibration_pv="the calibration window",
                                                 motor_class=motor_class, capture_output=True))
        Script(panel, sim, folder)
        root.mainloop()
        sim.reset(forget_stored=True)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else HERE)
