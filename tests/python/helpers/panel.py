"""The operator panel on a virtual display: a fake drive with the drive's
requests and reports, and an operator that works the window through X input
(xdotool) and Tk's own event processing."""
import concurrent.futures
import time
import tkinter

from vostelmotor_lab.panel import Panel

from .display import centre, xdotool


class FakeDrive:
    """Stands in for `vostelmotor_lab.drive.Drive`: records each request,
    hands back a future the test settles, and sends the reports the test
    gives it. `refuse` is raised by move requests, as the drive does when a
    move cannot start."""

    def __init__(self, report):
        self.report = report
        self.requests = []
        self.futures = []
        self.refuse = None
        self.awaiting_calibration = False
        self.started = self.closed = False

    def start(self):
        self.started = True

    def close(self, timeout=15.0):
        self.closed = True
        return True

    def _request(self, *request):
        self.requests.append(request)
        future = concurrent.futures.Future()
        self.futures.append(future)
        return future

    def move_to(self, wavelength, high_precision=False, trigger=0):
        if self.refuse is not None:
            raise self.refuse
        return self._request("move_to", wavelength, high_precision, trigger)

    def move_steps(self, steps, trigger=0):
        if self.refuse is not None:
            raise self.refuse
        return self._request("move_steps", steps, trigger)

    def stop(self):
        self.requests.append(("stop",))

    def set_speed(self, velocity, acceleration, deceleration=None):
        return self._request("set_speed", velocity, acceleration)

    def set_trigger_width(self, width):
        return self._request("set_trigger_width", width)


class PanelOperator:
    """Works a `Panel` on the test's thread: each action is real X input,
    then Tk's events are processed until the window shows its effect."""

    def __init__(self, panel):
        self.panel = panel
        self.root = panel.root
        self.root.update()

    def settle(self, done, rounds=1000, pause=0.01):
        """Processes events (the panel's polling included) until `done()`."""
        for _ in range(rounds):
            self.root.update()
            if done():
                return
            time.sleep(pause)
        raise AssertionError("the window did not show what was expected")

    def type_into(self, field, text):
        entry = field.entry
        entry.delete(0, "end")
        xdotool("mousemove", *centre(entry), "click", 1)
        entry.focus_force()
        # The keys go where the focus is once they arrive (under Wine the
        # window takes the focus a little later).
        self.settle(lambda: self.root.focus_get() is entry)
        xdotool("type", "--delay", "0", "--file", "-", input=text)
        self.settle(lambda: entry.get() == text)

    def key(self, name, done):
        xdotool("key", name)
        self.settle(done)

    def click(self, widget, done):
        xdotool("mousemove", *centre(widget), "click", 1)
        self.settle(done)

    def text(self, widget):
        return widget.cget("text")

    def output(self):
        return self.panel.output.get("1.0", "end-1c")


def open_panel(make_drive):
    """A panel in a new root window at the top left corner of the display."""
    root = tkinter.Tk()
    root.geometry("+0+0")
    return Panel(root, make_drive)
