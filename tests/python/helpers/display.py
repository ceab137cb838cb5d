"""A virtual X display for tests of real Tk windows, and an operator that
works a window from inside its own event loop with xdotool."""
import atexit
import ctypes
import gc
import os
import signal
import shutil
import subprocess
import time
import tkinter
import types


_server = []  # one X server per test run: Tk keeps its display connection for the life of the process


def _die_with_parent():
    """In the child: ask Linux for SIGTERM when the test process dies, even
    when it dies without running its exit handlers."""
    try:
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _start_server():
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                              pass_fds=[write], stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read, 16)
        if not chunk:
            break
        number += chunk
    os.close(read)
    if not number.endswith(b"\n"):
        server.wait()
        return None
    atexit.register(lambda: (server.terminate(), server.wait()))
    return ":" + number.decode().strip()


def virtual_display():
    """(name, None) for the virtual display, started at the first call, or
    (None, why) when it cannot be had."""
    if not shutil.which("Xvfb") or not shutil.which("xdotool"):
        return None, "Xvfb and xdotool are needed for the real window"
    if not _server:
        _server.append(_start_server())
    if _server[0] is None:
        return None, "Xvfb did not start"
    return _server[0], None


def free_windows():
    """Frees, on this thread, the Tk objects a finished test left behind.

    Tcl aborts the whole process when a Tk interpreter is deleted by a thread
    other than the one that made it ("Tcl_AsyncDelete: async handler deleted
    by the wrong thread", then SIGABRT; under pytest's capture only "Fatal
    Python error: Aborted" is seen). A window a test worked outlives the test
    in reference cycles (the operator and the window refer to each other, and
    the window to a class made for that test), so the cyclic collector frees
    it, on whichever thread is allocating when a collection falls due: often
    a later test's worker thread or a Channel Access client's. Called on the
    main thread, where the windows are made, once the test's fixtures and
    locals are gone."""
    gc.collect()


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

    def calibrate_with(self, text, done):
        """Types `text` into the wavelength entry and clicks "Calibrate"."""
        entry, button = self.window.winfo_children()[0].winfo_children()[3:5]
        entry.delete(0, "end")
        xdotool("mousemove", *centre(entry), "click", 1)
        entry.focus_force()
        self.window.update()
        xdotool("type", "--delay", 0, text)
        xdotool("mousemove", *centre(button), "click", 1)
        self.settle(done)
        return entry


def operated_toolkit(operator):
    """The module-level `tk` for a window that `operator` works."""

    class OperatedTk(tkinter.Tk):
        def __init__(self):
            super().__init__()
            operator.attach(self)

    return types.SimpleNamespace(Tk=OperatedTk, Frame=tkinter.Frame, Label=tkinter.Label, Entry=tkinter.Entry,
                                 Button=tkinter.Button)
