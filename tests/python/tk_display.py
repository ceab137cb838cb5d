"""A virtual X display for tests of real Tk windows, and an operator that
works a window from inside its own event loop with xdotool."""
import os
import shutil
import subprocess
import time
import tkinter
import types

import pytest


@pytest.fixture(scope="module")
def display():
    if not shutil.which("Xvfb") or not shutil.which("xdotool"):
        pytest.skip("Xvfb and xdotool are needed for the real window")
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                              pass_fds=[write], stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read, 16)
        if not chunk:
            pytest.skip("Xvfb did not start")
        number += chunk
    os.close(read)
    name = ":" + number.decode().strip()
    old = os.environ.get("DISPLAY")
    os.environ["DISPLAY"] = name
    yield name
    if old is None:
        os.environ.pop("DISPLAY", None)
    else:
        os.environ["DISPLAY"] = old
    server.terminate()
    server.wait()


def xdotool(*args):
    subprocess.run(["xdotool"] + [str(a) for a in args], check=True)


def centre(widget):
    return widget.winfo_rootx() + widget.winfo_width() // 2, widget.winfo_rooty() + widget.winfo_height() // 2


class Operator:
    """Drives the window from inside its own event loop, one step per `after`
    callback; an error in a step closes the window so that the test ends."""

    def __init__(self, steps):
        self.steps = list(steps)
        self.failures = []
        self.reported = []
        self.window = None

    def attach(self, window):
        self.window = window
        window.report_callback_exception = lambda kind, value, tb: self.reported.append(value)
        window.after(1, self.next_step)

    def next_step(self):
        step = self.steps.pop(0)
        try:
            step(self.window)
        except BaseException as e:  # noqa: B902 - any failure must end the loop
            self.failures.append(e)
            self.window.destroy()
            return
        if self.steps:
            self.window.after(1, self.next_step)

    def settle(self, done):
        """Processes the events xdotool sent until `done()` holds."""
        for _ in range(500):
            self.window.update()
            if done():
                return
            time.sleep(0.01)
        raise AssertionError("the window did not react")


def operated_toolkit(operator):
    """The module-level `tk` for a window that `operator` works."""

    class OperatedTk(tkinter.Tk):
        def __init__(self):
            super().__init__()
            operator.attach(self)

    return types.SimpleNamespace(Tk=OperatedTk, Frame=tkinter.Frame, Label=tkinter.Label, Entry=tkinter.Entry,
                                 Button=tkinter.Button)
