"""vostelmotor check: a guided first session on a real instrument.

The operator is led through a short, safe sequence: the command library is
loaded and the controller opened, the stored calibration is read and judged,
the digital inputs and the position are read at rest, a short slow step move
is made toward longer wavelength (compared with the wavemeter readings the
operator types) and the trigger output is switched high and low again. Every
step is explained and runs only when the operator says so. Everything read
goes into a report file, which ends with a verdict and what to fix.

Safety: no move is made unless the calibration is sane, no input is set and
the position is steady; the one move is at most 1000 steps, slow, and stays
inside the calibrated range. Ctrl+C at any time stops the drive, puts the
trigger output and the speed profile back and closes the controller.

Every motor call runs on the shared drive's worker thread.
"""
import argparse
import concurrent.futures
import ctypes
import datetime
import hashlib
import math
import os
import platform
import queue
import signal
import sys
import threading

MAX_STEPS = 1000          # the most the check ever moves
DEFAULT_STEPS = 500
LANDING_TOLERANCE = 20    # steps: a move may end this far from its target
STEADY_STEPS = 4          # steps: the spread allowed at rest
REST_SAMPLES = 10
REST_INTERVAL = 0.2       # s between readings at rest
SLOW_STEPS_PER_SECOND = 100
CONNECT_TIMEOUT = 30.0    # s to wait for the library and the controller
MOVE_TIMEOUT = 120.0      # s; a 1000-step move at the slow speed takes about 10 s
SCALE_LIMITS = (0.8, 1.25)  # wavemeter step / expected step outside this: recalibrate
OFFSET_WARNING = 0.05     # nm between the module's reading and the wavemeter

CALIBRATION_INDEX = 0x200C

PASS, FAIL, WARN, SKIPPED, NOT_RUN = "pass", "FAIL", "warning", "skipped", "not run"
# What the instrument needs to be ready; the trigger output may be skipped.
REQUIRED = ("library", "device", "calibration", "inputs", "rest", "step move")
ITEM_NAMES = {"device": "opening the controller", "calibration": "the calibration",
              "inputs": "the digital inputs", "rest": "the position at rest"}


class Quit(Exception):
    """The operator ended the check, or the scripted answers ran out."""


class CommandFailed(Exception):
    """The controller refused a command or did not answer it."""


def build_parser():
    parser = argparse.ArgumentParser(
        prog="vostelmotor check",
        description="A guided, safe first session on the instrument: loads the command library, opens "
                    "the controller, judges the stored calibration, reads the inputs and the position at "
                    "rest, makes one short slow step move toward longer wavelength that you compare with "
                    "your wavemeter, and switches the trigger output. Each step is explained and runs "
                    "only when you say so; everything read goes into a report file.")
    parser.add_argument("--usb", default="USB0", metavar="PORT", help="port of the controller (default USB0)")
    parser.add_argument("--simulated", action="store_true",
                        help="use the simulated controller that comes with the package instead of the instrument")
    parser.add_argument("--report", metavar="FILE",
                        help="where to write the report (default: vostelmotor-check-DATE-TIME.txt here)")
    parser.add_argument("--answers", metavar="FILE",
                        help="take the answers from this file, one per line, in order (lines starting with # "
                             "are skipped); without it they come from standard input")
    parser.add_argument("--steps", type=_step_count, default=DEFAULT_STEPS, metavar="N",
                        help="length of the test move in motor steps, 1 to %d (default %d)" % (MAX_STEPS, DEFAULT_STEPS))
    return parser


def _step_count(text):
    try:
        steps = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("a whole number of steps, such as 500")
    if not 1 <= steps <= MAX_STEPS:
        raise argparse.ArgumentTypeError("the check moves 1 to %d steps, not %d" % (MAX_STEPS, steps))
    return steps


def main(argv=None):
    args = build_parser().parse_args(argv)
    answers = None
    if args.answers:
        try:
            with open(args.answers, encoding="utf-8") as f:
                answers = f.read().splitlines()
        except OSError as exc:
            print("Cannot read the answers: %s" % exc, file=sys.stderr)
            return 2
    elif not sys.stdin.isatty():
        answers = sys.stdin  # read as they come, so a pipe can answer step by step
    report_path = args.report or datetime.datetime.now().strftime("vostelmotor-check-%Y%m%d-%H%M%S.txt")
    try:
        motor_class = _motor_class(args.simulated)
    except Exception as exc:
        print("The check could not start: %s" % exc, file=sys.stderr)
        return 2
    report = Report(report_path, command=["vostelmotor", "check"] + list(sys.argv[1:] if argv is None else argv))
    if args.simulated:
        from vostelmotor_lab.simulated import state_file
        report.value("simulated controller state file", state_file())
    check = Check(lambda update, loaded: make_drive(update, args.usb, recording(motor_class, loaded)),
                  Operator(answers), report, steps=args.steps, usb=args.usb)
    return check.run()


def _motor_class(simulated):
    import vostelmotor
    if not simulated:
        return vostelmotor.motor
    from vostelmotor_lab.simulated import simulated as simulated_class
    return simulated_class(vostelmotor.motor)


def recording(motor_class, loaded):
    """`motor_class` that appends each command library it loads to `loaded`,
    so the report names it even when the controller then does not open."""

    class Recording(motor_class):
        def load_epos_dll(self, package_dir=None):
            library = motor_class.load_epos_dll(self, package_dir)
            loaded.append(library)
            return library

    Recording.__name__ = Recording.__qualname__ = motor_class.__name__
    return Recording


def make_drive(report, usb, motor_class):
    """The shared drive, on the module's own motor class: a limit switch opens
    the module's calibration window, as in a script."""
    from vostelmotor_lab.drive import Drive
    return Drive(report, usb=usb, motor_class=motor_class, capture_output=True)


# ------------------------------------------------------------------ operator
class Operator:
    """Talks with the operator. Answers come from the terminal, or in order
    from `answers` (lines of a file or of a pipe), echoed after the question
    so that the transcript reads like the session it was."""

    def __init__(self, answers=None, out=None):
        self._answers = None if answers is None else iter(answers)
        self._out = out

    def say(self, text=""):
        print(text, file=self._out or sys.stdout, flush=True)

    def _line(self, prompt):
        out = self._out or sys.stdout
        if self._answers is None:
            try:
                return input(prompt)
            except EOFError:
                raise Quit("no more answers")
        for line in self._answers:
            line = line.rstrip("\r\n")
            if line.lstrip().startswith("#"):
                continue
            print(prompt + line, file=out, flush=True)
            return line
        print(prompt, file=out, flush=True)
        raise Quit("the scripted answers ran out")

    def choose(self, prompt, choices, default=None):
        """One of `choices` (a dict answer -> result); empty gives `default`."""
        while True:
            text = self._line(prompt).strip().lower()
            if not text and default is not None:
                return default
            if text in ("q", "quit"):
                raise Quit("stopped by the operator")
            if text in choices:
                return choices[text]
            self.say("Please answer %s (or q to stop the check)." % ", ".join(sorted(choices)))

    def go_on(self):
        """True to run the step, False to skip it."""
        return self.choose("Run this step? [Enter = yes, s = skip, q = stop the check] ",
                           {"y": True, "yes": True, "s": False, "skip": False}, default=True)

    def confirm(self, question):
        """True, False, or None when the operator cannot tell (skip)."""
        return self.choose(question + " [y = yes, n = no, s = cannot tell] ",
                           {"y": True, "yes": True, "n": False, "no": False, "s": None, "skip": None})

    def reading(self, question):
        """A wavelength in nm from the wavemeter, or None to skip."""
        while True:
            text = self._line(question + " [nm, s = skip] ").strip()
            if text.lower() in ("q", "quit"):
                raise Quit("stopped by the operator")
            if text.lower() in ("s", "skip"):
                return None
            if "," in text:
                self.say("Type the number with a decimal point, e.g. 780.512.")
                continue
            try:
                value = float(text)
            except ValueError:
                self.say("That is not a number: type the wavemeter's reading in nm, e.g. 780.512.")
                continue
            if not math.isfinite(value) or value <= 0:
                self.say("A wavelength is a positive number of nm, e.g. 780.512.")
                continue
            return value


# -------------------------------------------------------------------- report
class Report:
    """The report file: every value read, each result, the verdict. Written
    again after each step, so it is there even if the check dies."""

    def __init__(self, path, command=()):
        self.path = path
        self.lines = [
            "vostelmotor check report",
            "started: %s" % datetime.datetime.now().isoformat(timespec="seconds"),
            "command: %s" % " ".join(command),
            "host: %s, Python %s on %s" % (platform.node(), platform.python_version(), platform.platform()),
        ]
        self.results = []  # (item, status, summary, fix)
        self.verdict = None

    def section(self, title):
        self.lines += ["", "== %s" % title]

    def value(self, name, value):
        self.lines.append("%s: %s" % (name, value))

    def note(self, text):
        self.lines.append("  " + text)

    def result(self, item, status, summary, fix=None):
        self.results.append((item, status, summary, fix))
        self.lines.append("result (%s): %s - %s" % (item, status, summary))
        if fix:
            self.lines.append("  to fix: %s" % fix)

    def status(self, item):
        found = [status for name, status, _, _ in self.results if name == item]
        if not found:
            return None
        return FAIL if FAIL in found else found[-1]

    def save(self):
        text = list(self.lines)
        if self.verdict:
            text += ["", "== Verdict"] + self.verdict
        with open(self.path, "w", encoding="utf-8") as f:
            f.write("\n".join(text) + "\n")


# ---------------------------------------------------------- what is judged
def judge_calibration(cal):
    """Problems of a calibration read from the controller, as (summary, fix)
    pairs; none for a sane one. `cal` holds A, B, C, min, max (nm), the
    model positions lo_pos/hi_pos of the range ends (None when the model
    cannot reach them), home (the stored model position) and wavelength."""
    problems = []
    store = ("store the instrument's calibration in the controller (coefficients and range from its "
             "calibration sheet) and run the check again")
    A, B = cal["A"], cal["B"]
    if B == 0:
        problems.append(("coefficient B is zero, so the module cannot tell which way the drive turns", store))
    if A == 0:
        problems.append(("coefficient A is zero: the module's conversion needs a quadratic term "
                         "(a tiny one such as 1e-12 nm/step^2 keeps the model practically linear)", store))
    low, high = cal["min"], cal["max"]
    if not high > low:
        problems.append(("the calibrated range is empty (%r to %r nm): every move would be limited to a "
                         "point outside any real range" % (low, high), store))
        return problems
    if problems:
        return problems
    lo_pos, hi_pos = cal["lo_pos"], cal["hi_pos"]
    if lo_pos is None or hi_pos is None:
        problems.append(("the model does not reach both ends of the range %r to %r nm (its turning point "
                         "is at %.4f nm)" % (low, high, C_turn(cal)), store))
        return problems
    # The model must run one way over the whole range, the way B says: every
    # move takes its direction from the sign of B.
    slopes = [2 * A * x + B for x in (lo_pos, hi_pos)]
    turn = -B / (2 * A)
    if min(lo_pos, hi_pos) < turn < max(lo_pos, hi_pos):
        problems.append(("the model turns back inside the range (at %.4f nm, position %d): one wavelength "
                         "has two positions there" % (C_turn(cal), round(turn)), store))
    elif any(s == 0 or (s > 0) != (B > 0) for s in slopes):
        problems.append(("over the range the model runs against the sign of B (slope %.3g to %.3g nm/step, "
                         "B %.3g): every move would go the wrong way" % (slopes[0], slopes[1], B), store))
    home = cal["home"]
    if not min(lo_pos, hi_pos) <= home <= max(lo_pos, hi_pos):
        problems.append(("the stored position (%d steps, %.4f nm) lies outside the calibrated range "
                         "(%d to %d steps, %r to %r nm)" % (home, cal["wavelength"], lo_pos, hi_pos, low, high),
                         "read the wavemeter and calibrate to its reading (vostelmotor panel, or "
                         "motor.calibration(reading) in a script), then run the check again"))
    return problems


def C_turn(cal):
    """The wavelength at the model's turning point."""
    return cal["C"] - cal["B"] ** 2 / (4 * cal["A"]) if cal["A"] else float("nan")


CALIBRATION_LABELS = {
    "A": "coefficient A (nm/step^2)", "B": "coefficient B (nm/step)", "C": "coefficient C (nm)",
    "min": "range minimum (nm)", "max": "range maximum (nm)",
    "lo_pos": "position of the range minimum (steps)", "hi_pos": "position of the range maximum (steps)",
    "home": "stored position (steps)", "wavelength": "wavelength now (nm)",
}

INPUT_NAMES = {1: "input 1 (the long-wavelength limit switch)", 2: "input 2 (the short-wavelength limit switch)"}


def describe_inputs(word):
    bits = [INPUT_NAMES.get(1 << n, "input bit %d (value %d)" % (n, 1 << n)) for n in range(16) if word & (1 << n)]
    return ", ".join(bits)


def judge_step(expected_steps, before, after, meter_before, meter_after):
    """(status, summary, fix) of the step move. `before`/`after` hold the
    stored position and the module's wavelength; the meter readings may be
    None (skipped)."""
    landed = after["home"] - (before["home"] + expected_steps)
    model = after["wavelength"] - before["wavelength"]
    if abs(landed) > LANDING_TOLERANCE:
        return (FAIL, "the move ended %d steps from its target (more than %d)" % (landed, LANDING_TOLERANCE),
                "the drive stopped on its own: look for a fault on the controller (its LED, the "
                "support data) and check the motor's supply and coupling")
    if not model > 0:
        return (FAIL, "by the calibration the move went %+.4f nm, not toward longer wavelength" % model,
                "the sign of B and the drive direction disagree: store a corrected calibration")
    if meter_before is None or meter_after is None:
        return (WARN, "the move landed %+d steps from its target and went %+.4f nm by the calibration; "
                      "the wavemeter was not read, so the direction is not confirmed" % (landed, model),
                "run the check again with the wavemeter reading the laser")
    meter = meter_after - meter_before
    summary = ("landed %+d steps from its target; the wavemeter went %+.4f nm, the calibration expects %+.4f nm"
               % (landed, meter, model))
    if abs(meter) < 0.05 * model:
        return (FAIL, summary + ": the laser did not follow the motor",
                "check that the wavemeter reads this laser, and the coupling between motor and grating")
    if meter < 0:
        return (FAIL, summary + ": the laser went to SHORTER wavelength",
                "the sign of B does not match the mechanics, so every move and the limit-switch recovery "
                "run the wrong way: store the calibration with B of the other sign (and A, C to match) "
                "before using the instrument")
    ratio = meter / model
    if not SCALE_LIMITS[0] <= ratio <= SCALE_LIMITS[1]:
        return (WARN, summary + ": %.2f times what the calibration expects" % ratio,
                "the scale of the calibration (B) looks off: check it against the calibration sheet, "
                "or recalibrate over the range")
    return (PASS, summary)


# --------------------------------------------------------- on the worker
# These functions get the motor as their argument and run on the drive's
# worker thread (Drive.submit); they use the module's private names where no
# public method reads the value.

def library_file(lib):
    """Path, size and SHA-256 of a loaded command library."""
    path = _loaded_path(lib) or getattr(lib, "_name", None) or repr(lib)
    info = {"path": path}
    try:
        info["size"] = os.path.getsize(path)
        with open(path, "rb") as f:
            info["sha256"] = hashlib.sha256(f.read()).hexdigest()
    except OSError:
        pass
    return info


def _loaded_path(lib):
    """Where the loader really found the library (a bare name tells little)."""
    try:
        if sys.platform == "win32":
            buffer = ctypes.create_unicode_buffer(32768)
            get_name = ctypes.windll.kernel32.GetModuleFileNameW
            get_name.argtypes = [ctypes.c_void_p, ctypes.c_wchar_p, ctypes.c_uint32]
            if get_name(lib._handle, buffer, len(buffer)):
                return buffer.value
            return None

        class DlInfo(ctypes.Structure):
            _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                        ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]

        dladdr = ctypes.CDLL(None).dladdr
        dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(DlInfo)]
        dladdr.restype = ctypes.c_int
        info = DlInfo()
        if dladdr(ctypes.cast(lib.VCS_OpenDevice, ctypes.c_void_p), ctypes.byref(info)) and info.dli_fname:
            return os.path.abspath(os.fsdecode(info.dli_fname))
    except Exception:
        pass
    return None


def _command(motor, name, *cells):
    """One controller command through the module's call wrapper."""
    return motor._motor__dllCall(name, motor._motor__keyhandle, motor._motor__NodeId,
                                 *[ctypes.byref(c) for c in cells], ctypes.byref(motor._motor__pErrorCode))


def device_state(motor):
    state, resolution = ctypes.c_ushort(0), motor._motor__pEncoderResolution.value
    ok = _command(motor, "VCS_GetState", state)
    names = {0: "disabled", 1: "enabled", 2: "quick stop", 3: "fault"}
    return {"device state": names.get(state.value, state.value) if ok else "could not be read",
            "encoder pulses per revolution": resolution}


def read_calibration(motor):
    cal = {"A": motor._motor__CoeffA, "B": motor._motor__CoeffB, "C": motor._motor__CoeffC,
           "min": motor._motor__minWavelength, "max": motor._motor__maxWavelength,
           "root branch (pm)": motor._motor__pm, "direction sign": motor._motor__BallScrew,
           "whole-nm range word": motor._motor__QCL, "offset": motor._motor__offset}
    for sub, name in enumerate(("word A", "word B", "word C", "range word"), start=1):
        word = ctypes.c_uint32(0)
        ok = motor._motor__GetIndexValue(CALIBRATION_INDEX, sub, word)
        cal[name] = "0x%08X" % word.value if ok else "could not be read"
    for key, wavelength in (("lo_pos", cal["min"]), ("hi_pos", cal["max"])):
        try:
            cal[key] = motor._motor__wavelengthToMotorposition(wavelength)
        except Exception:
            cal[key] = None
    cal["home"] = motor._motor__HomePosition().value
    cal["wavelength"] = motor.getWavelength()
    return cal


def read_inputs(motor):
    word = ctypes.c_ushort(0)
    if not _command(motor, "VCS_GetAllDigitalInputs", word):
        raise CommandFailed("the controller did not answer the reading of its digital inputs")
    return word.value


def read_rest(motor, samples=REST_SAMPLES, interval=REST_INTERVAL):
    """Position, wavelength, current and moving flag, sampled at rest. The
    waits are the module's own (`vostelmotor.sleep`), so a simulated clock
    applies to them too."""
    import vostelmotor
    readings = []
    for n in range(samples):
        if n:
            vostelmotor.sleep(interval)
        position = ctypes.c_int32(0)
        if not _command(motor, "VCS_GetPositionIs", position):
            raise CommandFailed("the controller did not answer the reading of its position")
        readings.append((position.value, motor.getWavelength(), motor.getCurrent(), motor.getMoving()))
    return readings


def where(motor):
    return {"home": motor._motor__HomePosition().value, "wavelength": motor.getWavelength()}


def read_profile(motor):
    """The controller's speed profile in its own units (rpm, rpm/s, rpm/s)."""
    cells = [ctypes.c_int32(0) for _ in range(3)]
    if not _command(motor, "VCS_GetPositionProfile", *cells):
        raise CommandFailed("the controller did not answer the reading of its speed profile")
    return tuple(c.value for c in cells)


def set_slow_profile(motor):
    """Profile-position mode at about SLOW_STEPS_PER_SECOND steps/s; returns
    the profile sent (rpm, rpm/s, rpm/s)."""
    counts = 4 * (motor._motor__pEncoderResolution.value or 512)
    rpm = max(1, int(round(SLOW_STEPS_PER_SECOND * 60.0 / counts)))
    _command(motor, "VCS_ActivateProfilePositionMode")
    if not motor._motor__dllCall("VCS_SetPositionProfile", motor._motor__keyhandle, motor._motor__NodeId,
                                 rpm, 4 * rpm, 4 * rpm, ctypes.byref(motor._motor__pErrorCode)):
        raise CommandFailed("the controller refused the slow speed profile")
    return rpm, 4 * rpm, 4 * rpm


def restore_profile(profile):
    def restore(motor):
        if all(v > 0 for v in profile):
            motor._motor__dllCall("VCS_SetPositionProfile", motor._motor__keyhandle, motor._motor__NodeId,
                                  *profile, ctypes.byref(motor._motor__pErrorCode))
    return restore


def reverse_trigger(motor):
    motor.reverseMotionTrigger()


def trigger_at_rest(motor):
    """Back to the output's normal level (low at rest) if it was left reversed."""
    if motor._motor__revMotionTrigger:
        motor.reverseMotionTrigger()


# ---------------------------------------------------------------- the check
class Check:
    """The sequence. `make_drive(report, loaded)` gives the shared drive, not
    started, that reports through `report` and whose motor class appends the
    command library it loads to the list `loaded` (`recording`)."""

    def __init__(self, make_drive, operator, report, steps=DEFAULT_STEPS, usb="USB0"):
        if not 1 <= steps <= MAX_STEPS:
            raise ValueError("the check moves 1 to %d steps" % MAX_STEPS)
        self._make_drive = make_drive
        self.op = operator
        self.report = report
        self.steps = steps
        self.usb = usb
        self.drive = None
        self._updates = queue.Queue()
        self._loaded = []          # the command libraries the drive's motors loaded
        self._move = None          # the future of a running move
        self._profile = None       # the speed profile to put back
        self.connected = False
        self.calibration = None
        self.moved = 0             # steps commanded so far

    # ------------------------------------------------------------- running
    def run(self):
        """Runs the check; returns the exit status (0 pass, 1 fail,
        2 incomplete, 130 stopped by Ctrl+C)."""
        self.op.say("First contact with the grating motor: a short, safe check, one step at a time.")
        self.op.say("Each step says what it does; nothing moves until the step move, which you start.")
        self.op.say("Ctrl+C stops everything at any time and leaves the drive standing.")
        self.op.say("The report goes to %s" % os.path.abspath(self.report.path))
        ending = None
        try:
            for step in (self.step_connect, self.step_calibration, self.step_inputs, self.step_rest,
                         self.step_move, self.step_trigger):
                step()
                self.report.save()
        except Quit as exc:
            ending = "incomplete", str(exc)
        except KeyboardInterrupt:
            ending = "stopped", "Ctrl+C"
        except (ConnectionError, TimeoutError, CommandFailed) as exc:
            ending = "lost", str(exc) or type(exc).__name__
        except Exception as exc:  # a fault of the check itself: still leave the drive safe
            ending = "error", "%s: %s" % (type(exc).__name__, exc)
        self._leave_safe(ending)
        return self._verdict(ending)

    def _announce(self, number, title, text):
        self.op.say("")
        self.op.say("Step %d of 6: %s" % (number, title))
        for line in text:
            self.op.say("  " + line)
        self.report.section("Step %d: %s" % (number, title))
        if self.op.go_on():
            return True
        self.report.note("skipped by the operator")
        return False

    def _wait(self, future, timeout):
        """The future's result, waiting in short slices so Ctrl+C is seen."""
        deadline = _now() + timeout
        while True:
            try:
                result = future.result(timeout=0.2)
            except concurrent.futures.TimeoutError:
                if _now() > deadline:
                    raise TimeoutError("the controller did not answer within %g s" % timeout)
                continue
            finally:
                self._drain()  # what the worker reported on the way goes to this step
            return result

    def _on_worker(self, fn, timeout=CONNECT_TIMEOUT):
        return self._wait(self.drive.submit(fn), timeout)

    def _drain(self):
        """Logs the drive's updates since the last look in the report."""
        while True:
            try:
                self._log(self._updates.get_nowait())
            except queue.Empty:
                return

    def _log(self, update):
        from vostelmotor_lab.drive import LIMIT_SWITCH, CALIBRATION_NEEDED, ERROR, DISCONNECTED
        for key, label in (("message", "drive"), ("printed", "module printed")):
            if update.get(key):
                self.report.note("%s: %s" % (label, str(update[key]).rstrip()))
        if update.get("message") and update.get("state") in (LIMIT_SWITCH, CALIBRATION_NEEDED, ERROR, DISCONNECTED):
            self.op.say("  %s" % update["message"])

    def _ready(self, *items):
        missing = [ITEM_NAMES[item] for item in items if self.report.status(item) not in (PASS, WARN)]
        if missing:
            self.report.note("not run: needs a good result of %s first" % " and ".join(missing))
            self.op.say("  Not run: it needs a good result of %s first." % " and ".join(missing))
        return not missing

    # --------------------------------------------------------------- steps
    def step_connect(self):
        if not self._announce(1, "Command library and controller", [
                "Loads the controller's command library and opens the controller on %s." % self.usb,
                "Nothing moves. Switch the controller on and plug in its USB cable first."]):
            for item in ("library", "device"):
                self.report.result(item, SKIPPED, "skipped by the operator")
            return
        self.drive = self._make_drive(self._updates.put, self._loaded)
        self.drive.start()
        state, message = self._connection_outcome()
        if state == "no library":
            self.report.result("library", FAIL, message,
                               "install the controller's command library (see the README's installation "
                               "section) or give --simulated to try the check without the instrument")
            self.report.result("device", NOT_RUN, "no library")
            self.op.say("  The command library could not be loaded: %s" % message)
            return
        if not self._loaded:
            self.report.result("library", NOT_RUN, message)
            self.report.result("device", NOT_RUN, message)
            self.op.say("  The command library was not loaded: %s" % message)
            return
        info = library_file(self._loaded[0])
        for key in ("path", "size", "sha256"):
            if key in info:
                self.report.value("library " + key, info[key])
        self.report.result("library", PASS, "loaded %s" % info["path"])
        self.op.say("  Command library: %s" % info["path"])
        if state != "connected":
            self.report.result("device", FAIL, message,
                               "check that the controller is powered and its USB cable plugged in, that "
                               "the port is right (--usb; the vendor's tools list the ports) and that no "
                               "other program holds the controller")
            self.op.say("  The controller did not open: %s" % message)
            return
        self.report.value("port", self.usb)
        for key, value in self._on_worker(device_state).items():
            self.report.value(key, value)
        self.report.result("device", PASS, "opened and enabled on %s" % self.usb)
        self.op.say("  The controller is open on %s." % self.usb)

    def _connection_outcome(self):
        """The drive's first word on the connection: ("connected" or
        "no library" or "not connected", its message)."""
        from vostelmotor_lab.drive import DISCONNECTED, ERROR, IDLE
        deadline = _now() + CONNECT_TIMEOUT
        while _now() < deadline:
            try:
                update = self._updates.get(timeout=0.2)
            except queue.Empty:
                continue
            self._log(update)
            state, message = update.get("state"), update.get("message", "")
            if state == IDLE:
                self.connected = True
                return "connected", message
            if state in (ERROR, DISCONNECTED):
                return ("no library" if "command library" in message else "not connected"), message
        return "not connected", "no answer from the controller within %g s" % CONNECT_TIMEOUT

    def step_calibration(self):
        if not self._announce(2, "Stored calibration", [
                "Reads the wavelength calibration stored in the controller and checks that it can be used:",
                "coefficient B not zero, the range not empty and inside the part of the model that runs one",
                "way, and the stored position inside the range. Nothing moves."]):
            self.report.result("calibration", SKIPPED, "skipped by the operator")
            return
        if not self._ready("device"):
            self.report.result("calibration", NOT_RUN, "the controller is not open")
            return
        cal = self._on_worker(read_calibration)
        for key, value in cal.items():
            self.report.value(CALIBRATION_LABELS.get(key, key), value)
        self.calibration = cal
        problems = judge_calibration(cal)
        self.op.say("  A = %r, B = %r, C = %r; range %r to %r nm; now at %.4f nm"
                    % (cal["A"], cal["B"], cal["C"], cal["min"], cal["max"], cal["wavelength"]))
        if not problems:
            self.report.result("calibration", PASS, "usable: range %r to %r nm, stored position %d inside it"
                               % (cal["min"], cal["max"], cal["home"]))
            self.op.say("  The calibration is usable.")
        for summary, fix in problems:
            self.report.result("calibration", FAIL, summary, fix)
            self.op.say("  Problem: %s." % summary)

    def step_inputs(self, number=3, item="inputs"):
        if not self._announce(number, "Digital inputs at rest", [
                "Reads the controller's digital inputs. With the laser inside its range no limit switch is",
                "pressed, so they must all read 0: the module takes any set input for a limit switch.",
                "Nothing moves."]):
            self.report.result(item, SKIPPED, "skipped by the operator")
            return
        if not self._ready("device"):
            self.report.result(item, NOT_RUN, "the controller is not open")
            return
        self._judge_inputs(item)

    def _judge_inputs(self, item):
        word = self._on_worker(read_inputs)
        self.report.value("digital input word", word)
        if word == 0:
            self.report.result(item, PASS, "all inputs read 0")
            self.op.say("  All inputs read 0.")
            return
        summary = "the input word reads %d at rest, with %s set" % (word, describe_inputs(word))
        self.report.result(item, FAIL, summary,
                           "with the laser inside its range no switch may read pressed: look for a stuck "
                           "switch, a switch wired normally closed, or another signal on these inputs; "
                           "any set input starts the limit-switch recovery at the first move")
        self.op.say("  Problem: %s. No move will be made." % summary)

    def step_rest(self):
        if not self._announce(4, "Position at rest", [
                "Reads the position %d times over %.0f s with the motor standing: it must stay put."
                % (REST_SAMPLES, (REST_SAMPLES - 1) * REST_INTERVAL), "Nothing moves."]):
            self.report.result("rest", SKIPPED, "skipped by the operator")
            return
        if not self._ready("device"):
            self.report.result("rest", NOT_RUN, "the controller is not open")
            return
        readings = self._on_worker(read_rest)
        for n, (position, wavelength, current, moving) in enumerate(readings, start=1):
            self.report.value("reading %d" % n, "position %d steps, %r nm, current %d mA, moving %s"
                              % (position, wavelength, current, moving))
        positions = [r[0] for r in readings]
        spread = max(positions) - min(positions)
        if spread <= STEADY_STEPS and not any(r[3] for r in readings):
            self.report.result("rest", PASS, "steady: the position varied by %d steps" % spread)
            self.op.say("  Steady (the position varied by %d steps)." % spread)
        else:
            summary = "the position varied by %d steps at rest (at most %d allowed)" % (spread, STEADY_STEPS)
            self.report.result("rest", FAIL, summary,
                               "something moves the motor or the encoder is noisy: check the encoder cable and "
                               "the controller's position-control tuning before moving")
            self.op.say("  Problem: %s." % summary)

    def step_move(self):
        steps = self.steps
        if not self._announce(5, "Short slow step move", [
                "Moves the motor %d steps toward LONGER wavelength, slowly (a few seconds)." % steps,
                "You read the wavemeter before and after; the check compares with the calibration.",
                "The move stays inside the calibrated range. Ctrl+C stops it at once."]):
            self.report.result("step move", SKIPPED, "skipped by the operator")
            return
        if not self._ready("calibration", "inputs", "rest"):
            self.report.result("step move", NOT_RUN, "an earlier step did not pass")
            return
        cal = self.calibration
        sign = 1 if cal["B"] > 0 else -1
        long_end = cal["hi_pos"]
        room = abs(long_end - cal["home"])
        if room < steps + LANDING_TOLERANCE:
            summary = ("the stored position is only %d steps from the long-wavelength end of the range, too "
                       "close for a %d-step move" % (room, steps))
            self.report.result("step move", NOT_RUN, summary,
                               "move the laser toward the middle of the range (vostelmotor panel) and run the "
                               "check again, or give a smaller --steps")
            self.op.say("  Not run: %s." % summary)
            return
        before = self._on_worker(where)
        self.report.value("before: stored position", before["home"])
        self.report.value("before: wavelength by the calibration", before["wavelength"])
        self.op.say("  The module reads %.4f nm." % before["wavelength"])
        meter_before = self.op.reading("  Wavemeter reading now?")
        self.report.value("before: wavemeter", meter_before if meter_before is not None else "skipped")
        if meter_before is not None and abs(meter_before - before["wavelength"]) > OFFSET_WARNING:
            self.report.result("calibration", WARN, "the module reads %.4f nm, the wavemeter %.4f nm"
                               % (before["wavelength"], meter_before),
                               "calibrate to the wavemeter's reading (vostelmotor panel, or "
                               "motor.calibration(reading)) once the check has passed")
        # Known before the slow profile is sent, so that Ctrl+C at any moment
        # puts it back (the worker runs requests in order).
        self._profile = self._on_worker(read_profile)
        self.report.value("speed profile before (rpm, rpm/s, rpm/s)", self._profile)
        self.report.value("slow profile for the move (rpm, rpm/s, rpm/s)", self._on_worker(set_slow_profile))
        if self.moved + steps > MAX_STEPS:
            raise RuntimeError("the check would move more than %d steps" % MAX_STEPS)
        self.op.say("  Moving %d steps toward longer wavelength..." % steps)
        self.moved += steps
        self._move = self.drive.move_steps(steps)
        result = self._wait(self._move, MOVE_TIMEOUT)
        self._move = None
        if result.outcome == "limit switch":
            self._wait_for_calibration()
        self._put_profile_back()
        self.report.value("move outcome", "%s: %s" % (result.outcome, result.message))
        self.report.value("move reached (nm)", result.reached)
        if result.outcome != "arrived":
            summary = "the move did not arrive (%s): %s" % (result.outcome, result.message)
            fix = ("a limit switch this close to the range means a switch is misplaced or wired to the wrong "
                   "input: see the README's section on limit switches" if result.outcome == "limit switch"
                   else "read the message above; the drive has been stopped")
            self.report.result("step move", FAIL, summary, fix)
            self.op.say("  Problem: %s." % summary)
            return
        after = self._on_worker(where)
        self.report.value("after: stored position", after["home"])
        self.report.value("after: wavelength by the calibration", after["wavelength"])
        self.op.say("  Arrived; the module reads %.4f nm." % after["wavelength"])
        meter_after = self.op.reading("  Wavemeter reading now?")
        self.report.value("after: wavemeter", meter_after if meter_after is not None else "skipped")
        status, summary, *fix = judge_step(sign * steps, before, after, meter_before, meter_after)
        self.report.result("step move", status, summary, fix[0] if fix else None)
        self.op.say("  %s: %s." % ("Good" if status == PASS else "Problem" if status == FAIL else "Note", summary))
        self._judge_inputs("inputs")  # and once more after the move

    def _wait_for_calibration(self):
        """After a limit switch the module backs off and opens its calibration
        window on the worker; the check waits until the operator has used it."""
        self.op.say("  A limit switch was reached. The motor backs off to the middle of the range and the")
        self.op.say("  module opens its calibration window: type the wavemeter's reading there.")
        while self.drive.awaiting_calibration:
            self._drain()
            threading.Event().wait(0.2)

    def _put_profile_back(self):
        if self._profile is not None:
            profile, self._profile = self._profile, None
            self._on_worker(restore_profile(profile))
            self.report.note("speed profile put back to %s" % (profile,))

    def step_trigger(self):
        if not self._announce(6, "Trigger output", [
                "Switches the trigger output (digital output 3) to 5 V and back to 0 V, with the motor",
                "standing. Watch it with a meter, a scope or the device it triggers. Nothing moves."]):
            self.report.result("trigger", SKIPPED, "skipped by the operator")
            return
        if not self._ready("device"):
            self.report.result("trigger", NOT_RUN, "the controller is not open")
            return
        self._on_worker(reverse_trigger)
        high = self.op.confirm("  Output 3 should now be at 5 V. Is it?")
        self._on_worker(reverse_trigger)
        low = self.op.confirm("  Output 3 should now be back at 0 V. Is it?")
        self.report.value("5 V seen", {True: "yes", False: "no", None: "could not tell"}[high])
        self.report.value("0 V seen", {True: "yes", False: "no", None: "could not tell"}[low])
        if high is None or low is None:
            self.report.result("trigger", SKIPPED, "the operator could not tell")
        elif high and low:
            self.report.result("trigger", PASS, "output 3 went to 5 V and back to 0 V")
        else:
            self.report.result("trigger", FAIL, "output 3 did not follow (5 V seen: %s, 0 V seen: %s)"
                               % ("yes" if high else "no", "yes" if low else "no"),
                               "check the wiring from the controller's digital output 3 to the device, and "
                               "that nothing else drives that line")

    # ---------------------------------------------------------- the end
    def _leave_safe(self, ending):
        """Stops a running move, puts back the trigger output and the speed
        profile, and closes the controller; a second Ctrl+C does not cut it
        short."""
        previous = None
        if threading.current_thread() is threading.main_thread():
            previous = signal.signal(signal.SIGINT, lambda *a: self.op.say("Stopping the drive, please wait."))
        try:
            if self.drive is None:
                return
            if ending is not None:
                self.report.section("Stopped")
                self.report.note("%s (%s)" % (ending[1], ending[0]))
            if self._move is not None:
                self.drive.stop()
                try:
                    result = self._move.result(timeout=MOVE_TIMEOUT)
                    self.report.value("interrupted move", "%s at %r nm: %s"
                                      % (result.outcome, result.reached, result.message))
                except Exception as exc:
                    self.report.value("interrupted move", "did not end cleanly: %s" % exc)
                self._move = None
            if self.connected:
                for undo in (self._put_profile_back, lambda: self._on_worker(trigger_at_rest)):
                    try:
                        undo()
                    except Exception as exc:
                        self.report.note("could not put everything back: %s" % exc)
            self.drive.close()
            self._drain()
            self.report.note("controller closed")
        finally:
            if previous is not None:
                signal.signal(signal.SIGINT, previous)

    def _verdict(self, ending):
        failed = [r for r in self.report.results if r[1] == FAIL]
        remarks = [r for r in self.report.results if r[1] == WARN]
        missing = [item for item in REQUIRED if self.report.status(item) not in (PASS, WARN, FAIL)]
        if ending and ending[0] == "stopped":
            word, code = "STOPPED", 130
            lines = ["Verdict: STOPPED - the check was stopped with Ctrl+C; the drive was stopped and the "
                     "controller closed. Run the check again to finish it."]
        elif ending and ending[0] == "lost":
            word, code = "INCOMPLETE", 2
            lines = ["Verdict: INCOMPLETE - the controller stopped answering (%s). Check its cable and power, "
                     "then run the check again." % ending[1]]
        elif ending and ending[0] == "error":
            word, code = "INCOMPLETE", 2
            lines = ["Verdict: INCOMPLETE - the check itself failed (%s); the drive was stopped and the "
                     "controller closed." % ending[1]]
        elif failed:
            word, code = "FAIL", 1
            lines = ["Verdict: FAIL - do not use the instrument until these are fixed:"]
        elif missing:
            word, code = "INCOMPLETE", 2
            lines = ["Verdict: INCOMPLETE - %s not done%s. Run the check again to finish it."
                     % (", ".join(missing), " (%s)" % ending[1] if ending else "")]
        else:
            word, code = "PASS", 0
            lines = ["Verdict: PASS - the instrument answers as it should and is ready for use."]
        for item, _, summary, fix in failed:
            lines.append("  - %s: %s" % (item, summary))
            if fix:
                lines.append("    fix: %s" % fix)
        if remarks:
            lines.append("Remarks:")
            for item, _, summary, fix in remarks:
                lines.append("  - %s: %s" % (item, summary) + (" (%s)" % fix if fix else ""))
        if self.report.status("trigger") in (SKIPPED, NOT_RUN) and word == "PASS":
            lines.append("The trigger output was not checked.")
        lines.append("Steps moved: %d." % self.moved)
        self.report.verdict = lines
        self.report.save()
        self.op.say("")
        for line in lines:
            self.op.say(line)
        self.op.say("Report: %s" % os.path.abspath(self.report.path))
        return code


def _now():
    import time
    return time.monotonic()


if __name__ == "__main__":
    sys.exit(main())
