"""A virtual X display for tests of real Tk windows, and an operator that
works a window from inside its own event loop with xdotool.

On Windows (the Windows CPython under Wine) the display is the X server that
scripts/test-windows.sh started for Wine (VOSTEL_X_DISPLAY), and the X tools
run on the Linux side through its bridge (VOSTEL_X_BRIDGE, see
tests/windows/x_bridge.py): a Windows process has no xdotool, and Tk opens
its windows on Wine's display, not on one named in DISPLAY."""
import atexit
import ctypes
import gc
import json
import os
import signal
import shutil
import socket
import subprocess
import sys
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


def _bridge():
    """(host, port) of the X tools' bridge, or None."""
    address = os.environ.get("VOSTEL_X_BRIDGE", "")
    host, _, port = address.rpartition(":")
    return (host, int(port)) if host and port.isdigit() else None


def run_x(args, input=None):
    """Runs an X tool (xdotool, xwininfo) with `args` on the test display and
    returns the finished process (returncode, stdout and stderr as text);
    on Windows through the bridge on the Linux side."""
    args = [str(a) for a in args]
    bridge = _bridge() if sys.platform == "win32" else None
    if bridge is None:
        return subprocess.run(args, input=input, capture_output=True, text=True, timeout=60)
    with socket.create_connection(bridge, timeout=60) as connection:
        connection.sendall((json.dumps({"args": args, "input": input}) + "\n").encode())
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = connection.recv(65536)
            if not chunk:
                break
            answer += chunk
    done = json.loads(answer)
    return subprocess.CompletedProcess(args, done["status"], done["stdout"], done["stderr"])


def virtual_display():
    """(name, None) for the virtual display, started at the first call, or
    (None, why) when it cannot be had."""
    if sys.platform == "win32":
        if _bridge() is None or not os.environ.get("VOSTEL_X_DISPLAY"):
            return None, ("Windows: real windows are worked only under Wine, on the X display and "
                          "xdotool bridge of scripts/test-windows.sh")
        return os.environ["VOSTEL_X_DISPLAY"], None
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


def xdotool(*args, input=None):
    done = run_x(["xdotool", *args], input=input)
    if done.returncode != 0:
        raise subprocess.CalledProcessError(done.returncode, done.args, done.stdout, done.stderr)
    return done


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
        # Clicks go to where the window is on the screen: wait until it is
        # (under Wine a new window is mapped a little later).
        self.settle(lambda: entry.winfo_viewable())
        xdotool("mousemove", *centre(entry), "click", 1)
        entry.focus_force()
        self.settle(lambda: self.window.focus_get() is entry)
        xdotool("type", "--delay", 0, text)
        self.settle(lambda: entry.get() == text)
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


def wait_for_window(name, seconds=60):
    """The X window id of the first window titled exactly `name`."""
    for _ in range(int(seconds * 10)):
        found = run_x(["xdotool", "search", "--name", "^%s$" % name])
        if found.stdout.split():
            return found.stdout.split()[0]
        time.sleep(0.1)
    raise AssertionError("no window %r came up" % name)


def window_gone(window, seconds=5):
    """Whether X window `window` went away (or out of sight) within `seconds`."""
    for _ in range(int(seconds * 10)):
        info = run_x(["xwininfo", "-id", window])
        if info.returncode != 0 or "IsUnMapped" in info.stdout:
            return True
        time.sleep(0.1)
    return False


def grab_window(window, path):
    """Saves the area of the Tk `window` as the PNG `path` (for a person to
    look at): the X display on Linux, the Windows screen (under Wine the same
    X display) on Windows."""
    from PIL import ImageGrab

    box = (window.winfo_rootx(), window.winfo_rooty(), window.winfo_rootx() + window.winfo_width(),
           window.winfo_rooty() + window.winfo_height())
    if sys.platform == "win32":
        image = ImageGrab.grab(bbox=box, all_screens=True)
    else:
        image = ImageGrab.grab(bbox=box, xdisplay=os.environ["DISPLAY"])
    image.save(str(path))


def screenshot(name, window=None):
    """With VOSTEL_SCREENSHOTS set to a folder: saves the screen, or the area
    of `window` (a Tk window or an X window id), there as <name>.png, on
    Windows as windows-<name>.png, for the documentation. Pillow grabs the X
    display on Linux and the Windows screen (under Wine the same X display)
    on Windows."""
    folder = os.environ.get("VOSTEL_SCREENSHOTS")
    if not folder:
        return
    from PIL import ImageGrab

    if sys.platform == "win32":
        name = "windows-" + name
    box = None
    if hasattr(window, "winfo_rootx"):
        window.update()
        x, y = window.winfo_rootx(), window.winfo_rooty()
        box = (max(x - 8, 0), max(y - 8, 0), x + window.winfo_width() + 8, y + window.winfo_height() + 8)
    elif window is not None:
        geometry = dict(line.split("=", 1) for line in
                        run_x(["xdotool", "getwindowgeometry", "--shell", window]).stdout.split())
        x, y, w, h = (int(geometry[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
        box = (max(x - 8, 0), max(y - 8, 0), x + w + 8, y + h + 8)
    if sys.platform == "win32":
        image = ImageGrab.grab(bbox=box, all_screens=True)
    else:
        image = ImageGrab.grab(bbox=box, xdisplay=os.environ["DISPLAY"])
    os.makedirs(folder, exist_ok=True)
    image.save(os.path.join(folder, name + ".png"))
