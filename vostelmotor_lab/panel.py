"""vostelmotor panel: a Tk window to move the laser by hand while aligning.

The window never calls the motor. The drive (`vostelmotor_lab.drive`) owns it
on its worker thread; the window hands requests to the drive, which returns at
once, and reads the drive's reports from a queue every `poll_every` ms with
`after()`, so it stays responsive while a move runs. A limit switch brings up
the module's own calibration window, which the drive's worker thread runs.
"""
import argparse
import math
import queue
import threading
import tkinter as tk

from .drive import IDLE, MOVING, STATE_NAMES, Drive, describe

TRIGGER_KINDS = ("None", "Position compare", "Motion")  # the module's trigger 0, 1, 2
MAX_STEPS = 5000  # the module's limit for one step move
STATE_COLOURS = ("#1a7f37", "#b35900", "#c62828", "#c62828", "#c62828", "#6e6e6e")
BIG_FONT = ("TkFixedFont", 24, "bold")
MAX_OUTPUT_LINES = 2000


# ---------------------------------------------------------------- the fields
def number(text):
    """The float an operator typed, or ValueError with the reason."""
    text = text.strip()
    if not text:
        raise ValueError("enter a number")
    if "," in text:
        raise ValueError("use a point as the decimal separator")
    try:
        value = float(text)
    except ValueError:
        raise ValueError("not a number") from None
    if not math.isfinite(value):
        raise ValueError("not a finite number")
    return value


def positive(text):
    value = number(text)
    if value <= 0:
        raise ValueError("must be more than 0")
    return value


def step_count(text):
    value = number(text)
    if value != int(value):
        raise ValueError("a whole number of steps")
    if not 1 <= value <= MAX_STEPS:
        raise ValueError("1 to %d steps at a time" % MAX_STEPS)
    return int(value)


class Field:
    """An entry with its unit and a line for the reason a text is refused
    (under it, or in `error_row`, across `error_span` columns from the
    field's first). `value()` is the parsed text, or None after showing why
    not. The reason's line is always there and asks for no width of its own,
    so that a reason shown neither moves the other controls nor widens the
    window."""

    def __init__(self, parent, row, label, unit, parse, width=12, column=0, error_row=None, error_span=3):
        self.parse = parse
        tk.Label(parent, text=label).grid(row=row, column=column, sticky="w", padx=(0, 6))
        self.entry = tk.Entry(parent, width=width, justify="right")
        self.entry.grid(row=row, column=column + 1, sticky="we")
        tk.Label(parent, text=unit).grid(row=row, column=column + 2, sticky="w", padx=(2, 10))
        self.error = tk.Label(parent, text="", fg="#c62828", anchor="w", width=1)
        self.error.grid(row=row + 1 if error_row is None else error_row, column=column, columnspan=error_span,
                        sticky="we")
        self._background = self.entry.cget("background")
        self._refused = None  # the text refused, until it is edited
        self.entry.bind("<KeyRelease>", lambda event: self._edited(), add="+")

    def value(self):
        try:
            return self.parse(self.entry.get())
        except ValueError as exc:
            self.refuse(str(exc))
            return None

    def refuse(self, reason):
        self._refused = self.entry.get()
        self.error.config(text=reason)
        self.entry.config(background="#ffd6d6")
        self.entry.focus_set()

    def _edited(self):
        if self._refused is not None and self.entry.get() != self._refused:
            self.clear()

    def clear(self):
        self._refused = None
        self.error.config(text="")
        self.entry.config(background=self._background)

    def show(self, value, digits):
        """Puts a value read from the drive into the entry, unless the
        operator is typing in it."""
        if self.entry.focus_get() is not self.entry:
            self.entry.delete(0, "end")
            self.entry.insert(0, "%.*f" % (digits, value))
            self.clear()


# ----------------------------------------------------------------- the window
class Panel:
    """The operator panel on `root`. `make_drive(report)` returns the drive,
    not yet started, that sends its reports to `report`."""

    poll_every = 50  # ms; the drive reports every 0.1 s while moving

    def __init__(self, root, make_drive):
        self.root = root
        self._inbox = queue.Queue()
        self.limits = None
        self._closing = None
        root.title("vostelmotor")
        root.protocol("WM_DELETE_WINDOW", self.close)
        root.bind("<Escape>", lambda event: self.stop())
        root.bind("<Control-q>", lambda event: self.close())
        self._build(root)
        self.drive = make_drive(lambda update: self._inbox.put(("report", update)))
        self.drive.start()
        self._after = root.after(self.poll_every, self._poll)
        root.bind("<Destroy>", self._destroyed, add="+")

    # ----------------------------------------------------------- layout
    def _build(self, root):
        root.columnconfigure(0, weight=1)
        root.rowconfigure(4, weight=1)

        readout = tk.Frame(root, padx=10, pady=6)
        readout.grid(row=0, column=0, sticky="we")
        readout.columnconfigure(0, weight=1)
        self.wavelength = tk.Label(readout, text="---.---- nm", font=BIG_FONT, anchor="w")
        self.wavelength.grid(row=0, column=0, rowspan=2, sticky="w")
        self.state = tk.Label(readout, text="Connecting", fg=STATE_COLOURS[-1], font=("TkDefaultFont", 12, "bold"))
        self.state.grid(row=0, column=1, sticky="e")
        self.current = tk.Label(readout, text="")
        self.current.grid(row=1, column=1, sticky="e")
        self.range = tk.Label(readout, text="Calibrated range: not known yet", anchor="w")
        self.range.grid(row=2, column=0, columnspan=2, sticky="w")
        self.message = tk.Label(readout, text="", anchor="w", justify="left", wraplength=520)
        self.message.grid(row=3, column=0, columnspan=2, sticky="w")

        move = tk.LabelFrame(root, text="Move", padx=10, pady=4)
        move.grid(row=1, column=0, sticky="we", padx=10)
        self.target = Field(move, 0, "Target", "nm", self._wavelength, error_span=5)
        self.go = tk.Button(move, text="Go", width=8, command=self.go_to_target)
        self.go.grid(row=0, column=3, sticky="w")
        self.high_precision = tk.BooleanVar(root, value=False)
        tk.Checkbutton(move, text="High precision", variable=self.high_precision).grid(row=0, column=4, sticky="w")
        self.target.entry.bind("<Return>", lambda event: self.go_to_target())
        self.target.entry.bind("<KP_Enter>", lambda event: self.go_to_target())

        self.step_size = Field(move, 2, "Step size", "steps", step_count, error_span=5)
        self.step_size.entry.insert(0, "100")
        self.steps_down = tk.Button(move, text="\u25c0 Steps down", command=lambda: self.move_steps(-1))
        self.steps_down.grid(row=2, column=3, sticky="we")
        self.steps_up = tk.Button(move, text="Steps up \u25b6", command=lambda: self.move_steps(+1))
        self.steps_up.grid(row=2, column=4, sticky="we", padx=(4, 0))

        tk.Label(move, text="Trigger").grid(row=4, column=0, sticky="w")
        self.trigger = tk.IntVar(root, value=0)
        kinds = tk.Frame(move)
        kinds.grid(row=4, column=1, columnspan=4, sticky="w")
        for kind, name in enumerate(TRIGGER_KINDS):
            tk.Radiobutton(kinds, text=name, value=kind, variable=self.trigger).pack(side="left")
        self.interval = Field(move, 5, "Interval", "nm", positive, error_span=5)
        self.set_interval = tk.Button(move, text="Set interval", command=self.send_interval)
        self.set_interval.grid(row=5, column=3, sticky="w")
        self.interval.entry.bind("<Return>", lambda event: self.send_interval())

        speed = tk.LabelFrame(root, text="Speed profile", padx=10, pady=4)
        speed.grid(row=2, column=0, sticky="we", padx=10)
        # Each reason on a line of its own across the frame.
        self.velocity = Field(speed, 0, "Velocity", "nm/s", positive, width=8, error_span=7)
        self.acceleration = Field(speed, 0, "Acceleration", "nm/s\u00b2", positive, width=8, column=3,
                                  error_row=2, error_span=4)
        self.set_speed = tk.Button(speed, text="Set", width=6, command=self.send_speed)
        self.set_speed.grid(row=0, column=6, sticky="w")
        for field in (self.velocity, self.acceleration):
            field.entry.bind("<Return>", lambda event: self.send_speed())
        self.speed = tk.Label(speed, text="", anchor="w")
        self.speed.grid(row=3, column=0, columnspan=7, sticky="w")

        self.stop_button = tk.Button(root, text="STOP  (Esc)", command=self.stop, bg="#c62828", fg="white",
                                     activebackground="#e53935", activeforeground="white",
                                     font=("TkDefaultFont", 14, "bold"), height=1)
        self.stop_button.grid(row=3, column=0, sticky="we", padx=10, pady=8)

        output = tk.LabelFrame(root, text="What the module prints", padx=4, pady=4)
        output.grid(row=4, column=0, sticky="nswe", padx=10, pady=(0, 10))
        output.columnconfigure(0, weight=1)
        output.rowconfigure(0, weight=1)
        self.output = tk.Text(output, height=9, width=70, state="disabled", wrap="word", font="TkFixedFont")
        self.output.grid(row=0, column=0, sticky="nswe")
        self.output.tag_configure("message", foreground="#1f5fa8")
        scroll = tk.Scrollbar(output, command=self.output.yview)
        scroll.grid(row=0, column=1, sticky="ns")
        self.output.config(yscrollcommand=scroll.set)

    def _wavelength(self, text):
        value = number(text)
        if self.limits is not None and not self.limits[0] <= value <= self.limits[1]:
            raise ValueError("outside the calibrated range %.4f to %.4f nm" % self.limits)
        return value

    # --------------------------------------------------------- requests
    def go_to_target(self):
        wavelength = self.target.value()
        if wavelength is not None:
            self._request("Move to %.4f nm" % wavelength, self.drive.move_to,
                          wavelength, self.high_precision.get(), self.trigger.get())

    def move_steps(self, sign):
        steps = self.step_size.value()
        if steps is not None:
            self._request("Move by %+d steps" % (sign * steps), self.drive.move_steps, sign * steps, self.trigger.get())

    def send_speed(self):
        velocity, acceleration = self.velocity.value(), self.acceleration.value()
        if velocity is not None and acceleration is not None:
            self._request("Setting the speed", self.drive.set_speed, velocity, acceleration)

    def send_interval(self):
        width = self.interval.value()
        if width is not None:
            self._request("Setting the trigger interval", self.drive.set_trigger_width, width)

    def stop(self):
        self.drive.stop()

    def _request(self, what, method, *args):
        """Hands a request to the drive; its result comes back through the
        inbox. A request the drive refuses at once is shown as refused."""
        try:
            future = method(*args)
        except (RuntimeError, ValueError) as exc:
            self._show_message("%s refused: %s" % (what, exc))
            return
        future.add_done_callback(lambda done: self._inbox.put(("result", what, done)))

    # ------------------------------------------------ what the drive says
    def _poll(self):
        while True:
            try:
                item = self._inbox.get_nowait()
            except queue.Empty:
                break
            if item[0] == "report":
                self._apply(item[1])
            else:
                self._finished(*item[1:])
        if self._closing is None or self._closing.is_alive():
            self._after = self.root.after(self.poll_every, self._poll)
        else:
            self.root.destroy()

    def _destroyed(self, event):
        if event.widget is self.root:
            self.root.after_cancel(self._after)

    def _apply(self, update):
        if "readback" in update:
            self.wavelength.config(text="%.4f nm" % update["readback"])
            self._title()
        if "current" in update:
            self.current.config(text="%.0f mA" % update["current"])
        if "limits" in update:
            self.limits = tuple(update["limits"])
            self.range.config(text="Calibrated range: %.4f to %.4f nm" % self.limits)
        if update.get("setpoint") is not None and not self.target.entry.get().strip():
            self.target.show(update["setpoint"], 4)
        if "speed" in update:
            velocity, acceleration = update["speed"][:2]
            self.speed.config(text="Controller: %.4f nm/s, %.4f nm/s\u00b2" % (velocity, acceleration))
            self.velocity.show(velocity, 4)
            self.acceleration.show(acceleration, 4)
        if "state" in update:
            state = update["state"]
            self.state.config(text=STATE_NAMES[state], fg=STATE_COLOURS[state])
        if "moving" in update:
            if update["moving"]:
                self.state.config(text=STATE_NAMES[MOVING], fg=STATE_COLOURS[MOVING])
            elif self.state.cget("text") == STATE_NAMES[MOVING]:
                self.state.config(text=STATE_NAMES[IDLE], fg=STATE_COLOURS[IDLE])
        if "state" in update or "moving" in update:
            self._title()
        if update.get("printed"):
            text = update["printed"]
            self._append(text if text.endswith("\n") else text + "\n")
        if update.get("message"):
            self._show_message(update["message"])

    def _title(self):
        """The wavelength and state in the title bar (and the task bar)."""
        self.root.title("vostelmotor  %s  %s" % (self.wavelength.cget("text"), self.state.cget("text")))

    def _finished(self, what, future):
        """A request's end: how moves end, the drive reports on its own; a
        request that raised is said here (the output has it from the drive)."""
        exc = future.exception()
        if exc is not None:
            self.message.config(text="%s failed: %s" % (what, describe(exc)))

    def _show_message(self, text):
        self.message.config(text=text)
        self._append(text + "\n", "message")

    def _append(self, text, *tags):
        self.output.config(state="normal")
        self.output.insert("end", text, tags)
        lines = int(self.output.index("end-1c").split(".")[0])
        if lines > MAX_OUTPUT_LINES:
            self.output.delete("1.0", "%d.0" % (lines - MAX_OUTPUT_LINES + 1))
        self.output.config(state="disabled")
        self.output.see("end")

    # ----------------------------------------------------------- closing
    def close(self):
        """Stops a running move and disconnects; the window stays responsive
        until the drive has closed, then goes."""
        if self._closing is not None:
            return
        if self.drive.awaiting_calibration:
            # The module's calibration window holds the drive's thread until
            # the operator has entered the wavelength there.
            self._show_message("Enter the actual wavelength in the calibration window first, then close")
            return
        self._show_message("Closing: stopping the motor and disconnecting")
        self._closing = threading.Thread(target=self.drive.close, name="vostelmotor-panel-close", daemon=True)
        self._closing.start()


# ---------------------------------------------------------------- the command
def build_parser():
    parser = argparse.ArgumentParser(
        prog="vostelmotor panel",
        description="A window to move the laser's grating motor by hand: the wavelength read live, moves to a "
                    "target or by steps, the speed profile, the trigger output and a Stop button (Esc).")
    parser.add_argument("--usb", default="USB0", metavar="PORT", help="port of the controller (default USB0)")
    parser.add_argument("--simulated", action="store_true",
                        help="drive the simulated controller that comes with the package instead of the instrument")
    return parser


def motor_class(simulated=False):
    """The module's own motor class (its limit-switch window included), or
    the same on the simulated controller."""
    import vostelmotor

    if simulated:
        from .simulated import simulated as on_simulator
        return on_simulator(vostelmotor.motor)
    return vostelmotor.motor


def main(argv=None):
    args = build_parser().parse_args(argv)
    cls = motor_class(args.simulated)
    try:
        root = tk.Tk()
    except tk.TclError as exc:
        print("vostelmotor panel needs a display: %s" % exc)
        return 1
    # With the module's own motor class, a limit switch opens its calibration
    # window on the drive's worker thread, in a Tk interpreter of its own.
    Panel(root, lambda report: Drive(report, usb=args.usb, calibration_pv="the calibration window",
                                     motor_class=cls, capture_output=True))
    root.mainloop()
    return 0
